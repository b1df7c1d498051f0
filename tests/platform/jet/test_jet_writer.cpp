// The Access file writer: new Jet4 and ACE databases read back by our reader and by mdbtools.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/jet/jet_database.h"
#include "platform/jet/jet_writer.h"
#include "tests/support/access_check.h"
#include "tests/support/index_check.h"
#include "tests/support/sample.h"
#include "tests/support/scratch.h"
#include "tests/support/writer_tables.h"

namespace {

using drav_test::col;
using jet::column_type;

// A table of every common type, with a counter key, written in both formats.
std::vector<jet::column_spec> all_types()
{
    auto name = col(L"Name", column_type::text, 100);
    name.properties.items.push_back(drav_test::bool_property(L"Required", true));
    return {drav_test::counter_id(), name, col(L"Flag", column_type::boolean), col(L"Small", column_type::byte),
            col(L"Int", column_type::integer), col(L"Money", column_type::currency),
            col(L"Real", column_type::single), col(L"Dbl", column_type::double_),
            col(L"When", column_type::datetime), col(L"Key", column_type::guid), drav_test::decimal_18_4(L"Amount"),
            col(L"Notes", column_type::memo), col(L"Blob", column_type::ole),
            col(L"Raw", column_type::binary, 16)};
}

std::vector<jet::value> sample_row(int i)
{
    jet::guid g;
    for (int k = 0; k < 16; ++k) g.bytes[k] = static_cast<std::uint8_t>(i * 16 + k);
    jet::decimal d;
    d.scale = 4;
    d.lo = static_cast<std::uint64_t>(i) * 12345;
    d.negative = i % 2 == 1;
    std::wstring memo(static_cast<std::size_t>(i) * 1500, L'\u0416'); // long values: inline, one page, chains
    jet::bytes blob(static_cast<std::size_t>(i) * 3000, static_cast<std::uint8_t>(i));
    // Text beyond Latin-1; beyond the BMP (a surrogate pair in the file) and a lone surrogate, kept as it stands.
    std::wstring name = L"row " + std::to_wstring(i);
    if (i == 2) name += L" \u65e5\u672c";
    if (i == 3) name += std::wstring(L" \U0001F600") + static_cast<wchar_t>(0xD83D) + L"x";
    return {jet::value(), jet::value(name),
            jet::value(i % 2 == 0), jet::value(static_cast<std::uint8_t>(i)), jet::value(static_cast<std::int16_t>(-i)),
            jet::value(jet::currency{i * 10000LL + 5}), jet::value(1.5f * static_cast<float>(i)),
            jet::value(3.25 * i), jet::value(jet::date_time{40000.5 + i}), jet::value(g), jet::value(d),
            jet::value(memo), jet::value(blob), jet::value(jet::bytes{1, 2, 3})};
}

class JetWriter : public ::testing::TestWithParam<jet::file_format> {
protected:
    std::string file_name() const { return GetParam() == jet::file_format::ace ? "new.accdb" : "new.mdb"; }
};

TEST_P(JetWriter, WritesTablesThatEveryReaderReadsBack)
{
    drav_test::scratch_dir dir("jet-writer");
    const std::string path = (dir.path() / file_name()).string();
    {
        auto w = jet::database_writer::create(path, GetParam(), 45000.25);
        w->create_table(L"Things", all_types(),
                        {drav_test::primary_key_on_id(),
                         drav_test::index(L"ByName", {{L"Name", true}, {L"When", false}}, false, true)});
        for (int i = 0; i < 6; ++i) {
            auto row = sample_row(i);
            w->append(L"Things", row);
            EXPECT_EQ(row[0], jet::value(static_cast<std::int32_t>(i + 1)));
        }
        // A counter given explicitly must not repeat one handed out.
        auto taken = sample_row(1);
        taken[0] = jet::value(static_cast<std::int32_t>(3));
        EXPECT_THROW(w->append(L"Things", taken), jet::error);
        w->flush();
    }
    auto db = jet::database::open(path);
    EXPECT_EQ(db->format(), GetParam());
    ASSERT_EQ(db->tables().size(), 1u);
    auto def = db->table(L"Things");
    ASSERT_EQ(def->columns.size(), 14u);
    EXPECT_TRUE(def->columns[0].auto_number());
    EXPECT_EQ(def->columns[1].size(true), 50u);
    EXPECT_EQ(def->columns[1].properties.get(L"Required"), jet::value(true));
    ASSERT_EQ(def->indexes.size(), 2u);
    EXPECT_TRUE(def->indexes[0].primary());
    auto rows = db->rows(def);
    int i = 0;
    while (rows.next()) {
        auto want = sample_row(i);
        want[0] = jet::value(static_cast<std::int32_t>(i + 1));
        for (std::size_t c = 0; c < want.size(); ++c) {
            jet::value got = rows[c];
            if (got.type() == jet::value::decimal_k) {
                jet::decimal d = got.as_decimal();
                d.precision = 0;
                got = jet::value(d);
            }
            EXPECT_EQ(got, want[c]) << "row " << i << " column " << c;
        }
        ++i;
    }
    EXPECT_EQ(i, 6);

    for (const wchar_t* t : {L"Things", L"MSysObjects", L"MSysRelationships"}) drav_test::expect_indexes_match_rows(*db, t);

    auto tools = drav_test::mdbtools_read(path, "Things");
    if (tools.available) {
        EXPECT_TRUE(tools.ok) << tools.version << tools.schema << tools.csv;
        EXPECT_NE(tools.version.find(GetParam() == jet::file_format::ace ? "ACE12" : "JET4"), std::string::npos);
        EXPECT_NE(tools.schema.find("[Things]"), std::string::npos) << tools.schema;
        EXPECT_NE(tools.csv.find("\"row 5\""), std::string::npos) << tools.csv;
    }
    auto other = drav_test::mdb_reader_read(path);
    if (!other.available) GTEST_SKIP() << "mdb-reader not installed (run scripts/setup)";
    EXPECT_TRUE(other.ok) << other.error;
    EXPECT_EQ(other.counts["Things"], 6);
    ASSERT_EQ(other.rows["Things"].size(), 6u);
    // Text beyond Latin-1 (UTF-8 in the output), a Yes/No, a byte and a negative integer.
    const std::string want = "[3,\"row 2 \xE6\x97\xA5\xE6\x9C\xAC\",true,2,-2,";
    EXPECT_EQ(other.rows["Things"][2].substr(0, want.size()), want);
}

TEST_P(JetWriter, IndexesFollowTheRowsThroughPageSplits)
{
    drav_test::scratch_dir dir("jet-writer");
    const std::string path = (dir.path() / file_name()).string();
    const int rows = drav_test::full_or(5000, 1500);
    {
        auto w = jet::database_writer::create(path, GetParam(), 45000);
        auto id = col(L"ID", column_type::long_integer);
        auto code = col(L"Code", column_type::text, 40);
        const jet::index_spec by_code = drav_test::index(L"ByCode", {{L"Code", true}});
        w->create_table(L"Keys", {id, code}, {drav_test::primary_key_on_id(), by_code});
        // Keys out of order, so that inserts split pages in the middle of each tree (fewer under
        // the sanitizers: still several pages a tree).
        for (int i = 0; i < rows; ++i) {
            int n = (i * 7919) % rows;
            std::vector<jet::value> row = {jet::value(static_cast<std::int32_t>(n)),
                                           jet::value(std::wstring(L"k\u00e9y ") + std::to_wstring(n % 997))};
            w->append(L"Keys", row);
            // The first half is built as a whole at the flush; the second goes in entry by entry.
            if (i == rows / 2) w->flush();
        }
        std::vector<jet::value> dup = {jet::value(static_cast<std::int32_t>(17)), jet::value(std::wstring(L"x"))};
        try {
            w->append(L"Keys", dup);
            ADD_FAILURE() << "a duplicate primary key was stored";
        } catch (const jet::error& e) {
            EXPECT_EQ(e.code(), jet::err_duplicate_key);
        }
        // An index added over rows already stored, and a unique one their values refuse.
        jet::index_spec later;
        later.name = L"Later";
        later.columns = {{L"Code", false}, {L"ID", true}};
        w->add_index(L"Keys", later);
        jet::index_spec refused = by_code;
        refused.name = L"UniqueCode";
        refused.unique = true;
        try {
            w->add_index(L"Keys", refused);
            ADD_FAILURE() << "a unique index over duplicate values was made";
        } catch (const jet::error& e) {
            EXPECT_EQ(e.code(), jet::err_duplicate_key);
        }
        w->flush();
    }
    auto db = jet::database::open(path);
    EXPECT_EQ(db->count_rows(L"Keys"), static_cast<std::uint64_t>(rows));
    EXPECT_EQ(db->table(L"Keys")->indexes.size(), 3u);
    drav_test::expect_indexes_match_rows(*db, L"Keys");
}

INSTANTIATE_TEST_SUITE_P(Formats, JetWriter, ::testing::Values(jet::file_format::jet4, jet::file_format::ace),
                         [](const auto& info) { return info.param == jet::file_format::ace ? "ace" : "jet4"; });

} // namespace

namespace {

// Whether a file is there and opens as a database.
bool opens(const std::string& path)
{
    try {
        jet::database::open(path);
        return true;
    } catch (const jet::error&) {
        return false;
    }
}

// In a child process whose files may not grow past `limit` bytes: a new database with one table,
// then rows with long values until the writer fails. Returns the child's exit status: 0 when a
// write failed with a jet::error, 1 when every write went through, 2 on anything else.
int write_until_full(const std::string& path, rlim_t limit, bool flush_first)
{
    pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit r{limit, limit};
        ::setrlimit(RLIMIT_FSIZE, &r);
        try {
            auto w = jet::database_writer::create(path, jet::file_format::jet4, 45000);
            w->create_table(L"Big", {col(L"Blob", column_type::ole)}, {});
            if (flush_first) w->flush();
            for (int i = 0; i < 1000; ++i) {
                std::vector<jet::value> row = {jet::value(jet::bytes(5000, static_cast<std::uint8_t>(i)))};
                w->append(L"Big", row);
            }
            w->flush();
        } catch (const jet::error&) {
            ::_exit(0);
        } catch (...) {
            ::_exit(2);
        }
        ::_exit(1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(JetWriterFailures, AFullDiskLeavesNoFileThatOpensAsWhole)
{
    drav_test::scratch_dir dir("jet-writer");
    // Too small for even the empty database: nothing is left.
    const std::string tiny = (dir.path() / "tiny.mdb").string();
    EXPECT_EQ(write_until_full(tiny, 20000, false), 0);
    EXPECT_FALSE(std::filesystem::exists(tiny));
    // Room for the database but not the rows: the file does not open as a database.
    for (bool flush_first : {false, true}) {
        const std::string path = (dir.path() / (flush_first ? "flushed.mdb" : "new.mdb")).string();
        EXPECT_EQ(write_until_full(path, 400000, flush_first), 0);
        EXPECT_FALSE(opens(path)) << path;
    }
}

TEST(JetWriterFailures, RefusedNamesWriteNothing)
{
    drav_test::scratch_dir dir("jet-writer");
    const std::string path = (dir.path() / "names.mdb").string();
    auto w = jet::database_writer::create(path, jet::file_format::jet4, 45000);
    w->create_table(L"Good", {col(L"A", column_type::long_integer)}, {});
    for (const wchar_t* bad : {L"", L" lead", L"a.b", L"a!b", L"[x]", L"a`b", L"tab\there"}) {
        try {
            w->create_table(bad, {col(L"A", column_type::long_integer)}, {});
            ADD_FAILURE() << "a table name was taken";
        } catch (const jet::error& e) {
            EXPECT_EQ(e.code(), jet::err_invalid_name);
        }
    }
    EXPECT_THROW(w->create_table(L"T", {col(L"x.y", column_type::long_integer)}, {}), jet::error);
    EXPECT_THROW(w->create_table(std::wstring(65, L'n'), {col(L"A", column_type::long_integer)}, {}), jet::error);
    EXPECT_THROW(w->create_table(L"good", {col(L"A", column_type::long_integer)}, {}), jet::error); // exists
    w->flush();
    auto db = jet::database::open(path);
    ASSERT_EQ(db->tables().size(), 1u);
    EXPECT_EQ(db->tables()[0]->name, L"Good");
}

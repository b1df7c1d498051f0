// The Access file writer: new Jet4 and ACE databases read back by our reader and by mdbtools.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <csignal>
#include <sys/mount.h>
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

// In a child process whose files may not grow past `limit` bytes (0: no limit of its own, the disk's):
// a new database with the table "First" of 300 keyed rows, flushed; then the table "Second" with rows
// of long values, flushed after each row (`flush_each`) or only at the end, until a write fails. The
// number of Second's rows that a flush saved goes to `saved`, the file's bytes at that flush to
// `saved`.flushed. Returns the child's exit status: 0 when a write failed with the disk error 3043, 1
// when every write went through, 2 on anything else.
int write_until_full(const std::string& path, rlim_t limit, bool flush_each, const std::string& saved)
{
    pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit r{limit, limit};
        if (limit) ::setrlimit(RLIMIT_FSIZE, &r);
        int flushed = 0;
        std::string image;
        try {
            auto w = drav_test::new_keyed_table(path, jet::file_format::jet4, L"First",
                                                {col(L"ID", column_type::long_integer), col(L"Note", column_type::memo)});
            for (int i = 0; i < 300; ++i) {
                std::vector<jet::value> row = {jet::value(static_cast<std::int32_t>(i)), jet::value(std::wstring(i, L'n'))};
                w->append(L"First", row);
            }
            w->flush();
            image = drav_test::read_file(path);
            w->create_table(L"Second", {drav_test::counter_id(), col(L"Blob", column_type::ole)},
                            {drav_test::primary_key_on_id()});
            for (int i = 0; i < 1000; ++i) {
                std::vector<jet::value> row = {jet::value(), jet::value(jet::bytes(5000, static_cast<std::uint8_t>(i)))};
                w->append(L"Second", row);
                if (flush_each) w->flush(), flushed = i + 1, image = drav_test::read_file(path);
            }
            w->flush();
        } catch (const jet::error& e) {
            drav_test::write_file(saved, std::to_string(flushed));
            drav_test::write_file(saved + ".flushed", image);
            ::_exit(e.code() == jet::err_io ? 0 : 2);
        } catch (...) {
            ::_exit(2);
        }
        ::_exit(1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The file is, byte for byte and in length, what the last flush left, as the writer kept it in
// `flushed` (the file's bytes just after that flush).
void expect_flushed_bytes(const std::string& path, const std::string& flushed)
{
    const std::string now = drav_test::read_file(path);
    EXPECT_EQ(now.size(), flushed.size()) << path << ": the length is not the last flush's";
    const auto diff = std::mismatch(now.begin(), now.begin() + std::min(now.size(), flushed.size()), flushed.begin());
    EXPECT_TRUE(diff.first == now.begin() + std::min(now.size(), flushed.size()))
        << path << ": the bytes differ from the last flush's at offset " << (diff.first - now.begin());
}

// The file holds First whole and Second with exactly the rows a flush saved, by every reader.
void expect_saved_state(const std::string& path, const std::string& saved_file)
{
    const long saved = std::stol("0" + drav_test::read_file(saved_file));
    expect_flushed_bytes(path, drav_test::read_file(saved_file + ".flushed"));
    std::shared_ptr<jet::database> db;
    ASSERT_NO_THROW(db = jet::database::open(path)) << path;
    EXPECT_EQ(db->count_rows(L"First"), 300u);
    drav_test::expect_indexes_match_rows(*db, L"First");
    EXPECT_EQ(db->tables().size(), saved ? 2u : 1u);
    if (saved) {
        EXPECT_EQ(db->count_rows(L"Second"), static_cast<std::uint64_t>(saved));
        drav_test::expect_indexes_match_rows(*db, L"Second");
    }
    auto tools = drav_test::mdbtools_read(path, "First");
    if (tools.available) {
        EXPECT_TRUE(tools.ok) << tools.version << tools.schema << tools.csv;
    }
    auto other = drav_test::mdb_reader_read(path);
    if (!other.available) return;
    EXPECT_TRUE(other.ok) << other.error;
    EXPECT_EQ(other.counts["First"], 300);
    if (saved) {
        EXPECT_EQ(other.counts["Second"], saved);
    }
}

} // namespace

TEST(JetWriterFailures, AFailedWriteKeepsWhatTheLastFlushSaved)
{
    drav_test::scratch_dir dir("jet-writer");
    const std::string saved = dir.str("saved.txt");
    // Too small for even the empty database: nothing is left.
    const std::string tiny = dir.str("tiny.mdb");
    EXPECT_EQ(write_until_full(tiny, 20000, false, saved), 0);
    EXPECT_FALSE(std::filesystem::exists(tiny));
    // A file-size limit met while the second table is written, before its first flush or between
    // flushes (then in the middle of a row or of a flush that rewrites saved pages).
    for (bool flush_each : {false, true}) {
        const std::string path = dir.str(flush_each ? "each.mdb" : "end.mdb");
        EXPECT_EQ(write_until_full(path, 900000, flush_each, saved), 0);
        EXPECT_TRUE(!flush_each || std::stol(drav_test::read_file(saved)) > 10);
        expect_saved_state(path, saved);
    }
    // A full disk: a small memory file system, where this process may mount one.
    const auto small = dir.path() / "small";
    std::filesystem::create_directory(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=900k") != 0) GTEST_SKIP() << "cannot mount a small file system here";
    for (bool flush_each : {false, true}) {
        const std::string path = (small / (flush_each ? "each.mdb" : "end.mdb")).string();
        EXPECT_EQ(write_until_full(path, 0, flush_each, saved), 0);
        EXPECT_TRUE(!flush_each || std::stol(drav_test::read_file(saved)) > 10);
        expect_saved_state(path, saved);
        std::filesystem::remove(path);
    }
    ::umount(small.c_str());
}

namespace {

// In a child process whose files may not grow past 1 MB: Depts (10 rows) and People (200 rows) flushed;
// 50 more People rows; on People the indexes ByName and unique ByCode, the unique index OneDept
// refused (its rows repeat departments), the relationship PeopleDepts; flushed only when
// `flush_indexes`; then the rows of long values of Filler until a write fails. The file's bytes at the
// last flush go to `flushed`. Exit status as write_until_full's (3: OneDept was taken).
int index_then_fail(const std::string& path, jet::file_format f, bool flush_indexes, const std::string& flushed)
{
    pid_t pid = ::fork();
    if (pid != 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit r{1000000, 1000000};
    ::setrlimit(RLIMIT_FSIZE, &r);
    std::string image;
    try {
        auto w = drav_test::new_keyed_table(path, f, L"Depts", {col(L"ID", column_type::long_integer)});
        w->create_table(L"People", {col(L"ID", column_type::long_integer), col(L"Name", column_type::text, 100),
                                    col(L"Dept", column_type::long_integer), col(L"Code", column_type::long_integer)},
                        {drav_test::primary_key_on_id()});
        auto person = [&](int i) {
            std::vector<jet::value> row = {jet::value(i), jet::value(L"name " + std::to_wstring(i * 7919 % 1000)),
                                           jet::value(i % 10), jet::value(100000 - i)};
            w->append(L"People", row);
        };
        for (int i = 0; i < 10; ++i) {
            std::vector<jet::value> row = {jet::value(i)};
            w->append(L"Depts", row);
        }
        for (int i = 0; i < 200; ++i) person(i);
        w->flush();
        image = drav_test::read_file(path);
        for (int i = 200; i < 250; ++i) person(i);
        w->add_index(L"People", drav_test::index(L"ByName", {{L"Name", true}}));
        w->add_index(L"People", drav_test::index(L"ByCode", {{L"Code", false}}, false, true));
        try {
            w->add_index(L"People", drav_test::index(L"OneDept", {{L"Dept", true}}, false, true));
            ::_exit(3);
        } catch (const jet::error& e) {
            if (e.code() != jet::err_duplicate_key) throw;
        }
        w->add_relationship({L"PeopleDepts", L"People", L"Depts", {L"Dept"}, {L"ID"}, 0});
        if (flush_indexes) w->flush(), image = drav_test::read_file(path);
        w->create_table(L"Filler", {drav_test::counter_id(), col(L"Blob", column_type::ole)}, {});
        for (int i = 0; i < 1000; ++i) {
            std::vector<jet::value> row = {jet::value(), jet::value(jet::bytes(5000, static_cast<std::uint8_t>(i)))};
            w->append(L"Filler", row);
        }
        w->flush();
    } catch (const jet::error& e) {
        drav_test::write_file(flushed, image);
        ::_exit(e.code() == jet::err_io ? 0 : 2);
    } catch (...) {
        ::_exit(2);
    }
    ::_exit(1);
}

} // namespace

// Indexes and relationships that read the rows back from the file make it whole to do so; a later
// failed write still goes back to the caller's last flush, not to that state, and every index then
// holds exactly its table's rows.
TEST(JetWriterFailures, AFailedWriteAfterNewIndexesKeepsTheCallersFlush)
{
    drav_test::scratch_dir dir("jet-writer");
    const std::string flushed = dir.str("flushed.bin");
    for (auto f : {jet::file_format::jet3, jet::file_format::jet4, jet::file_format::ace})
        for (bool flush_indexes : {false, true}) {
            const std::string path = dir.str(std::string(flush_indexes ? "flushed" : "unflushed") +
                                             (f == jet::file_format::ace ? ".accdb" : f == jet::file_format::jet3 ? "3.mdb" : ".mdb"));
            SCOPED_TRACE(path);
            ASSERT_EQ(index_then_fail(path, f, flush_indexes, flushed), 0);
            expect_flushed_bytes(path, drav_test::read_file(flushed));
            std::shared_ptr<jet::database> db;
            ASSERT_NO_THROW(db = jet::database::open(path));
            ASSERT_EQ(db->tables().size(), 2u);
            EXPECT_EQ(db->count_rows(L"Depts"), 10u);
            EXPECT_EQ(db->count_rows(L"People"), flush_indexes ? 250u : 200u);
            std::set<std::wstring> names;
            for (const auto& x : db->table(L"People")->indexes) names.insert(x.name);
            const std::set<std::wstring> all{L"PrimaryKey", L"ByName", L"ByCode", L"PeopleDepts"}, key{L"PrimaryKey"};
            EXPECT_EQ(names, flush_indexes ? all : key);
            for (const wchar_t* t : {L"Depts", L"People", L"MSysObjects"}) drav_test::expect_indexes_match_rows(*db, t);
            auto tools = drav_test::mdbtools_read(path, "People");
            if (tools.available) {
                EXPECT_TRUE(tools.ok) << tools.version << tools.schema << tools.csv;
            }
            auto other = drav_test::mdb_reader_read(path);
            if (other.available) {
                EXPECT_TRUE(other.ok) << other.error;
                EXPECT_EQ(other.counts["People"], flush_indexes ? 250 : 200);
            }
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

namespace {

// The pages an inline usage map row lists: the global map of free pages is row 0 of page 1.
std::set<std::uint32_t> free_pages_of(const std::string& file)
{
    const std::string b = drav_test::read_file(file);
    const auto& l = jet::layout_for(jet::file_format::jet4);
    std::set<std::uint32_t> out;
    if (b.size() < 2 * l.page_size) return out;
    const auto* pg = reinterpret_cast<const std::uint8_t*>(b.data()) + l.page_size;
    const std::size_t at = jet::rd16(pg + l.data_offsets_at) & 0x1FFF;
    EXPECT_EQ(pg[at], 0) << "the free-page map is not an inline map";
    const std::uint32_t start = jet::rd32(pg + at + 1);
    for (std::uint32_t i = 0; i < 64 * 8; ++i)
        if (pg[at + 5 + i / 8] & (1u << (i % 8))) out.insert(start + i);
    return out;
}

// The data pages (type 1) that the table definition at page `tdef` owns.
std::set<std::uint32_t> data_pages_of(const std::string& file, std::uint32_t tdef)
{
    const std::string b = drav_test::read_file(file);
    const std::size_t ps = jet::layout_for(jet::file_format::jet4).page_size;
    std::set<std::uint32_t> out;
    for (std::size_t n = 0; (n + 1) * ps <= b.size(); ++n) {
        const auto* pg = reinterpret_cast<const std::uint8_t*>(b.data()) + n * ps;
        if (pg[0] == 0x01 && jet::rd32(pg + 4) == tdef) out.insert(static_cast<std::uint32_t>(n));
    }
    return out;
}

} // namespace

// Fields of the file that no round trip through our own reader compares: relationship flags as the
// table definitions keep them, names of the longest length, and a deleted table's pages.
TEST(JetWriterFields, RelationshipFlagsLongestNamesAndDeletedTables)
{
    drav_test::scratch_dir dir("jet-writer");
    const std::string path = dir.str("fields.mdb");
    const std::wstring parent(64, L'P'), key(64, L'K'), pk_name(64, L'I'), updates(255, L'u');
    {
        auto w = jet::database_writer::create(path, jet::file_format::jet4, 45000);
        w->create_table(parent, {col(key, column_type::long_integer)}, {drav_test::index(pk_name.c_str(), {{key, true}}, true)});
        w->create_table(L"Child", {col(L"A", column_type::long_integer), col(L"B", column_type::long_integer),
                                   col(L"C", column_type::long_integer)}, {});
        EXPECT_THROW(w->create_table(std::wstring(65, L'x'), {col(L"A", column_type::long_integer)}, {}), jet::error);
        EXPECT_THROW(w->create_table(L"T65", {col(std::wstring(65, L'c'), column_type::long_integer)}, {}), jet::error);
        // Enforced with cascading updates; enforced with cascading deletes; not enforced.
        w->add_relationship({updates, L"Child", parent, {L"A"}, {key}, 0x100});
        w->add_relationship({L"Deletes", L"Child", parent, {L"B"}, {key}, 0x1000});
        w->add_relationship({L"Loose", L"Child", parent, {L"C"}, {key}, 0x2});
        EXPECT_THROW(w->add_relationship({std::wstring(256, L'v'), L"Child", parent, {L"C"}, {key}, 0x2}), jet::error);
        w->flush();
    }
    // A table with rows that is then deleted: its pages go to the free-page map, emptied.
    const std::string path2 = dir.str("deleted.mdb");
    {
        auto w = jet::database_writer::create(path2, jet::file_format::jet4, 45000);
        w->create_table(L"Scrap", {col(L"Raw", column_type::binary, 32)}, {});
        for (int i = 0; i < 400; ++i) {
            std::vector<jet::value> row = {jet::value(jet::bytes{'S', 'C', 'R', 'A', 'P', '-', 'R', 'O', 'W', '-', 'M', 'A', 'R', 'K'})};
            w->append(L"Scrap", row);
        }
        w->flush();
        EXPECT_NE(drav_test::read_file(path2).find("SCRAP-ROW-MARK"), std::string::npos);
        const std::uint32_t scrap_tdef = jet::database::open(path2)->table(L"Scrap")->tdef_page;
        const std::set<std::uint32_t> pages = data_pages_of(path2, scrap_tdef);
        EXPECT_GE(pages.size(), 2u);
        w->delete_table(L"Scrap");
        w->flush();
        const std::set<std::uint32_t> free = free_pages_of(path2);
        for (std::uint32_t p : pages) EXPECT_TRUE(free.count(p)) << "data page " << p << " of the deleted table is not free";
        EXPECT_TRUE(free.count(scrap_tdef)) << "its definition page is not free";
    }
    EXPECT_EQ(drav_test::read_file(path2).find("SCRAP-ROW-MARK"), std::string::npos) << "the deleted rows stay in the file";
    EXPECT_EQ(jet::database::open(path2)->find(L"Scrap"), nullptr);

    auto db = jet::database::open(path);
    auto child = db->table(L"Child");
    std::map<std::wstring, const jet::index_def*> fks;
    for (const auto& x : child->indexes)
        if (x.foreign()) fks[child->columns[x.columns.at(0).number].name] = &x;
    ASSERT_EQ(fks.size(), 2u) << "only the enforced relationships have foreign-key indexes";
    ASSERT_TRUE(fks.count(L"A") && fks.count(L"B"));
    EXPECT_TRUE(fks[L"A"]->cascade_updates);
    EXPECT_FALSE(fks[L"A"]->cascade_deletes);
    EXPECT_FALSE(fks[L"B"]->cascade_updates);
    EXPECT_TRUE(fks[L"B"]->cascade_deletes);
    EXPECT_EQ(db->table(parent)->indexes.size(), 3u); // the key and one back-reference per enforced relationship
    EXPECT_EQ(db->count_rows(L"MSysRelationships"), 3u);

    int status = 0;
    drav_test::run_command("command -v mdb-schema", &status);
    if (status != 0) return;
    const std::string schema = drav_test::run_command("mdb-schema --indexes --relations " + drav_test::shell_quote(path) + " mysql");
    const std::string p8(parent.begin(), parent.end()), k8(key.begin(), key.end());
    const std::string ref = " REFERENCES `" + p8 + "`(`" + k8 + "`)";
    EXPECT_NE(schema.find("ALTER TABLE `" + p8 + "` ADD PRIMARY KEY (`" + k8 + "`);"), std::string::npos) << schema;
    EXPECT_NE(schema.find("FOREIGN KEY (`A`)" + ref + " ON UPDATE CASCADE;"), std::string::npos) << schema;
    EXPECT_NE(schema.find("FOREIGN KEY (`B`)" + ref + " ON DELETE CASCADE;"), std::string::npos) << schema;
    EXPECT_EQ(schema.find("FOREIGN KEY (`C`)"), std::string::npos) << schema;
}

namespace {

jet::value dec(std::int64_t unscaled, std::uint8_t scale)
{
    jet::decimal d;
    d.negative = unscaled < 0;
    d.lo = static_cast<std::uint64_t>(unscaled < 0 ? -unscaled : unscaled);
    d.scale = scale;
    return jet::value(d);
}

} // namespace

// Values and keys that other readers and Access judge: decimals rounded to the column's scale (half
// away from zero), a unique descending index that takes any number of nulls as Access does, and a
// Long property four bytes wide.
TEST(JetWriterFields, DecimalRoundingNullKeysAndLongProperties)
{
    drav_test::scratch_dir dir("jet-writer");
    const std::string path = dir.str("values.mdb");
    {
        auto w = jet::database_writer::create(path, jet::file_format::jet4, 45000);
        auto amount = col(L"Amount", column_type::numeric);
        amount.precision = 18;
        amount.scale = 2;
        jet::property wide;
        wide.name = L"Wide";
        wide.type = column_type::long_integer;
        wide.data = jet::value(std::int32_t{-1234567});
        amount.properties.items.push_back(wide);
        w->create_table(L"Nums", {col(L"N", column_type::long_integer), amount, col(L"Opt", column_type::long_integer)},
                        {drav_test::index(L"ByOpt", {{L"Opt", false}}, false, true)});
        const jet::value amounts[] = {dec(1005, 3), dec(-2345, 3), dec(7994, 3), dec(-125, 3)};
        for (int i = 0; i < 4; ++i) {
            std::vector<jet::value> row = {jet::value(std::int32_t{i}), amounts[i], i < 3 ? jet::value() : jet::value(std::int32_t{5})};
            EXPECT_NO_THROW(w->append(L"Nums", row)) << "row " << i; // nulls in a unique descending index
        }
        std::vector<jet::value> dup = {jet::value(std::int32_t{9}), jet::value(), jet::value(std::int32_t{5})};
        EXPECT_THROW(w->append(L"Nums", dup), jet::error);
        w->flush();
    }
    auto db = jet::database::open(path);
    EXPECT_EQ(db->count_rows(L"Nums"), 4u);
    EXPECT_EQ(db->table(L"Nums")->columns[1].properties.get(L"Wide"), jet::value(std::int32_t{-1234567}));
    drav_test::expect_indexes_match_rows(*db, L"Nums");
    const std::vector<std::string> want = {"1.01", "-2.35", "7.99", "-0.13"};
    auto tools = drav_test::mdbtools_read(path, "Nums");
    if (tools.available) {
        EXPECT_TRUE(tools.ok) << tools.csv;
        for (const auto& v : want) EXPECT_NE(tools.csv.find("," + v), std::string::npos) << v << "\n" << tools.csv;
        const std::string props = drav_test::run_command("mdb-prop " + drav_test::shell_quote(path) + " Nums");
        EXPECT_NE(props.find("name: Amount\n\tWide: -1234567\n"), std::string::npos) << props;
    }
    auto other = drav_test::mdb_reader_read(path);
    if (!other.available) return;
    EXPECT_TRUE(other.ok) << other.error;
    ASSERT_EQ(other.rows["Nums"].size(), 4u);
    for (std::size_t i = 0; i < want.size(); ++i)
        EXPECT_NE(other.rows["Nums"][i].find("\"" + want[i] + "\""), std::string::npos) << other.rows["Nums"][i];
}

// A relationship or an index added to a table with rows appended since the last flush holds those
// rows too (the writer makes the file whole before it reads the rows back for the new index): after
// the flush every index of the tables has one entry per row that a scan finds, 3,100 of them.
TEST(JetWriterFields, RelationshipsAndIndexesTakeTheRowsAppendedSinceTheLastFlush)
{
    drav_test::scratch_dir dir("jet-writer");
    for (auto f : {jet::file_format::jet3, jet::file_format::jet4, jet::file_format::ace}) {
        const std::string path = dir.str(f == jet::file_format::ace ? "late.accdb" : f == jet::file_format::jet3 ? "late3.mdb" : "late.mdb");
        SCOPED_TRACE(path);
        {
            auto w = drav_test::new_keyed_table(path, f, L"Depts", {col(L"ID", column_type::long_integer)});
            const std::vector<jet::column_spec> people = {col(L"ID", column_type::long_integer),
                                                          col(L"Dept", column_type::long_integer),
                                                          col(L"Name", column_type::text, 50)};
            w->create_table(L"People", people, {drav_test::primary_key_on_id()});
            w->create_table(L"Visitors", people, {drav_test::primary_key_on_id()});
            for (int i = 0; i < 10; ++i) {
                std::vector<jet::value> row = {jet::value(std::int32_t{i})};
                w->append(L"Depts", row);
            }
            auto add = [&](const wchar_t* table, int from, int to) {
                for (int i = from; i < to; ++i) {
                    std::vector<jet::value> row = {jet::value(std::int32_t{i}), jet::value(std::int32_t{i % 10}),
                                                   jet::value(L"name " + std::to_wstring(i * 7919 % 3100))};
                    w->append(table, row);
                }
            };
            add(L"People", 0, 3000);
            add(L"Visitors", 0, 3000);
            w->flush();
            add(L"People", 3000, 3100);
            w->add_relationship({L"PeopleDepts", L"People", L"Depts", {L"Dept"}, {L"ID"}, 0});
            add(L"Visitors", 3000, 3100);
            w->add_index(L"Visitors", drav_test::index(L"ByName", {{L"Name", true}}));
            w->flush();
        }
        auto db = jet::database::open(path);
        for (const wchar_t* t : {L"People", L"Visitors"}) {
            EXPECT_EQ(db->count_rows(t), 3100u);
            EXPECT_EQ(db->table(t)->indexes.size(), 2u);
            drav_test::expect_indexes_match_rows(*db, t);
        }
        drav_test::expect_indexes_match_rows(*db, L"Depts");
        auto other = drav_test::mdb_reader_read(path);
        if (other.available) {
            EXPECT_TRUE(other.ok) << other.error;
            EXPECT_EQ(other.counts["People"], 3100);
            EXPECT_EQ(other.counts["Visitors"], 3100);
        }
    }
}

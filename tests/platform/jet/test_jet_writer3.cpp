// Access 97 files from the writer: 2 KiB pages, one-byte text in the code page, Jet3 rows with jump
// tables, read back by our reader, mdbtools and mdb-reader.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/jet/jet_database.h"
#include "platform/jet/jet_write3.h"
#include "platform/jet/jet_writer.h"
#include "tests/platform/jet/index_oracle.h"
#include "tests/support/access_check.h"
#include "tests/support/scratch.h"
#include "tests/support/testdata.h"
#include "tests/support/writer_tables.h"

namespace {

using drav_test::col;
using drav_test::index;
using jet::column_type;
using jet::value;

std::vector<jet::column_spec> all_types()
{
    auto name = col(L"Name", column_type::text, 100);
    name.properties.items.push_back(drav_test::bool_property(L"Required", true));
    return {drav_test::counter_id(), name, col(L"Flag", column_type::boolean), col(L"Small", column_type::byte),
            col(L"Int", column_type::integer), col(L"Money", column_type::currency),
            col(L"Real", column_type::single), col(L"Dbl", column_type::double_),
            col(L"When", column_type::datetime), col(L"Key", column_type::guid),
            col(L"Notes", column_type::memo), col(L"Blob", column_type::ole),
            col(L"Raw", column_type::binary, 16)};
}

// Text of code page 1252 beyond ASCII (the euro sign and curly quotes sit in 0x80-0x9F).
std::vector<value> sample_row(int i)
{
    jet::guid g;
    for (int k = 0; k < 16; ++k) g.bytes[k] = static_cast<std::uint8_t>(i * 16 + k);
    std::wstring memo(static_cast<std::size_t>(i) * 900, L'\u00C4'); // inline, one page, chains
    return {value(), value(L"r\u00E9sum\u00E9 \u20AC" + std::to_wstring(i) + L" \u201Cq\u201D"), value(i % 2 == 0),
            value(static_cast<std::uint8_t>(i)), value(static_cast<std::int16_t>(-i)), value(jet::currency{i * 10000LL + 5}),
            value(1.5f * static_cast<float>(i)), value(3.25 * i), value(jet::date_time{40000.5 + i}), value(g),
            value(memo), value(jet::bytes(static_cast<std::size_t>(i) * 1100, static_cast<std::uint8_t>(i))),
            value(jet::bytes{1, 2, 3})};
}

// Text values whose lengths make offsets cross 256-byte steps anywhere in a row, nulls between them.
std::wstring varied_text(int row, int col)
{
    const int len = (row * 53 + col * 97) % 256;
    if ((row + col) % 7 == 3) return {};
    std::wstring s;
    for (int k = 0; k < len; ++k) s.push_back(static_cast<wchar_t>(L'a' + (row + col + k) % 26));
    return s;
}

void expect_equal_rows(jet::database& db, const std::wstring& table, const std::vector<std::vector<value>>& want)
{
    auto rows = db.rows(db.table(table));
    std::size_t i = 0;
    while (rows.next()) {
        ASSERT_LT(i, want.size());
        for (std::size_t c = 0; c < want[i].size(); ++c)
            EXPECT_EQ(rows[c], want[i][c]) << "table " << std::string(table.begin(), table.end()) << " row " << i << " column " << c;
        ++i;
    }
    EXPECT_EQ(i, want.size());
}

TEST(JetWriter3, WritesAccess97FilesThatEveryReaderReadsBack)
{
    drav_test::scratch_dir dir("jet-writer3");
    const std::string path = (dir.path() / "new97.mdb").string();
    std::vector<std::vector<value>> things, wide, many;
    const int many_cols = 120;
    {
        auto w = jet::database_writer::create(path, jet::file_format::jet3, 45000.25);
        w->create_table(L"Things", all_types(),
                        {index(L"PrimaryKey", {{L"ID", true}}, true, true), index(L"ByName", {{L"Name", false}}, false, false)});
        for (int i = 0; i < 6; ++i) {
            auto row = sample_row(i);
            w->append(L"Things", row);
            EXPECT_EQ(row[0], value(static_cast<std::int32_t>(i + 1)));
            things.push_back(row);
        }
        std::vector<jet::column_spec> wcols = {col(L"N", column_type::long_integer)};
        for (int c = 0; c < 7; ++c) wcols.push_back(col(L"T" + std::to_wstring(c), column_type::text, 510));
        w->create_table(L"Wide", wcols, {index(L"ByT0", {{L"T0", true}, {L"N", true}}, false, false)});
        for (int r = 0; r < 80; ++r) {
            std::vector<value> row = {value(static_cast<std::int32_t>(r))};
            for (int c = 0; c < 7; ++c) {
                std::wstring s = varied_text(r, c);
                row.push_back(s.empty() && (r + c) % 2 ? value() : value(s));
            }
            w->append(L"Wide", row);
            wide.push_back(row);
        }
        std::vector<jet::column_spec> mcols;
        for (int c = 0; c < many_cols; ++c) mcols.push_back(col(L"C" + std::to_wstring(c), column_type::text, 40));
        w->create_table(L"Many", mcols, {});
        for (int r = 0; r < 40; ++r) {
            std::vector<value> row;
            for (int c = 0; c < many_cols; ++c) {
                const int len = (r * 7 + c * 3) % (r < 20 ? 4 : 21);
                row.push_back((r + c) % 5 == 0 ? value() : value(std::wstring(static_cast<std::size_t>(len), L'x')));
            }
            w->append(L"Many", row);
            many.push_back(row);
        }
        w->flush();
    }

    auto db = jet::database::open(path);
    EXPECT_EQ(db->format(), jet::file_format::jet3);
    EXPECT_EQ(db->header().code_page, 1252);
    auto def = db->table(L"Things");
    ASSERT_EQ(def->columns.size(), 13u);
    EXPECT_TRUE(def->columns[0].auto_number());
    EXPECT_EQ(def->columns[1].size(false), 50u);
    EXPECT_EQ(def->columns[1].properties.get(L"Required"), value(true));
    ASSERT_EQ(def->indexes.size(), 2u);
    EXPECT_TRUE(def->indexes[0].primary());
    EXPECT_FALSE(def->indexes[1].columns[0].ascending);
    expect_equal_rows(*db, L"Things", things);
    expect_equal_rows(*db, L"Wide", wide);
    expect_equal_rows(*db, L"Many", many);

    // The stored index entries are the keys of the rows (General order of Access 97 for text).
    drav_test::index_tally tally;
    for (const wchar_t* t : {L"Things", L"Wide"}) drav_test::check_index_keys(*db, *db->table(t), path, tally);
    EXPECT_EQ(tally.mismatched_indexes, 0) << (tally.reports.empty() ? "" : tally.reports[0]);
    EXPECT_EQ(tally.not_encodable, 0);

    auto tools = drav_test::mdbtools_read(path, "Things");
    if (tools.available) {
        EXPECT_TRUE(tools.ok) << tools.version << tools.schema << tools.csv;
        EXPECT_NE(tools.version.find("JET3"), std::string::npos) << tools.version;
        EXPECT_NE(tools.schema.find("[Wide]"), std::string::npos) << tools.schema;
        EXPECT_NE(tools.csv.find("\"r\xC3\xA9sum\xC3\xA9 \xE2\x82\xAC" "5 \xE2\x80\x9Cq\xE2\x80\x9D\""), std::string::npos) << tools.csv;
        auto wide_csv = drav_test::mdbtools_read(path, "Wide");
        EXPECT_TRUE(wide_csv.ok);
        const std::wstring cell = varied_text(79, 2);
        EXPECT_NE(wide_csv.csv.find(",\"" + std::string(cell.begin(), cell.end()) + "\""), std::string::npos);
    }
    auto other = drav_test::mdb_reader_read(path);
    if (!other.available) GTEST_SKIP() << "mdb-reader not installed (run scripts/setup)";
    EXPECT_TRUE(other.ok) << other.error;
    EXPECT_EQ(other.counts["Things"], 6);
    EXPECT_EQ(other.counts["Wide"], 80);
    EXPECT_EQ(other.counts["Many"], 40);
    ASSERT_EQ(other.rows["Things"].size(), 6u);
    const std::string want = "[3,\"r\xC3\xA9sum\xC3\xA9 \xE2\x82\xAC" "2 \xE2\x80\x9Cq\xE2\x80\x9D\",true,2,-2,";
    EXPECT_EQ(other.rows["Things"][2].substr(0, want.size()), want);
    ASSERT_EQ(other.rows["Wide"].size(), 80u);
    const std::wstring last = varied_text(79, 6);
    EXPECT_NE(other.rows["Wide"][79].find(std::string(last.begin(), last.end())), std::string::npos) << other.rows["Wide"][79];
}

TEST(JetWriter3, TextOutsideTheCodePageIsRefusedNamingTableColumnAndRow)
{
    drav_test::scratch_dir dir("jet-writer3");
    const std::string path = (dir.path() / "refuse97.mdb").string();
    {
        auto w = jet::database_writer::create(path, jet::file_format::jet3, 45000.25);
        w->create_table(L"People", {col(L"Name", column_type::text, 100), col(L"Bio", column_type::memo)}, {});
        std::vector<value> ok = {value(std::wstring(L"Zo\u00EB")), value(std::wstring(L"fine"))};
        w->append(L"People", ok);
        std::vector<value> bad = {value(std::wstring(L"ok")), value(std::wstring(L"Tokyo \u6771\u4EAC"))};
        try {
            w->append(L"People", bad);
            ADD_FAILURE() << "text outside code page 1252 was stored";
        } catch (const jet::error& e) {
            const std::string m = e.what();
            EXPECT_EQ(e.code(), jet::err_type_conversion);
            EXPECT_NE(m.find("'Bio'"), std::string::npos) << m;
            EXPECT_NE(m.find("'People'"), std::string::npos) << m;
            EXPECT_NE(m.find("row 2"), std::string::npos) << m;
            EXPECT_NE(m.find("U+6771"), std::string::npos) << m;
        }
        // A name the code page cannot hold is refused too, before anything is written.
        EXPECT_THROW(w->create_table(L"\u8868", {col(L"A", column_type::integer)}, {}), jet::error);
        EXPECT_THROW(w->create_table(L"Dec", {col(L"D", column_type::numeric)}, {}), jet::error);
        w->append(L"People", ok);
    }
    auto db = jet::database::open(path);
    EXPECT_EQ(db->count_rows(L"People"), 2u);
    EXPECT_EQ(db->find(L"Dec"), nullptr);
    EXPECT_THROW(jet::code_page_encoder(932), jet::error); // double-byte code pages are not written
}

// The Access 97 files of the test data that open, by path.
std::vector<std::pair<std::string, std::shared_ptr<jet::database>>> corpus_access97(const std::string& dir)
{
    std::vector<std::pair<std::string, std::shared_ptr<jet::database>>> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        if (e.path().extension() != ".mdb") continue;
        std::shared_ptr<jet::database> db;
        try {
            db = drav_test::open_any(e.path().string());
        } catch (const jet::error&) {
            continue;
        }
        if (db->format() == jet::file_format::jet3) out.emplace_back(e.path().string(), db);
    }
    return out;
}

// Each column of an Access 97 file names the file's code page, as in the files Access wrote; text
// in a code page other than 1252 reads back through mdbtools.
TEST(JetWriter3, ColumnsNameTheFileCodePage)
{
    drav_test::scratch_dir dir("jet-writer3");
    const std::string path = (dir.path() / "cyrillic97.mdb").string();
    const std::wstring word = L"\u041C\u043E\u0441\u043A\u0432\u0430"; // Moscow
    {
        auto w = jet::database_writer::create(path, jet::file_format::jet3, 45000.25, 1251);
        w->create_table(L"Cities", {col(L"ID", column_type::long_integer), col(L"Name", column_type::text, 40),
                                    col(L"Notes", column_type::memo)}, {});
        std::vector<value> row = {value(std::int32_t{1}), value(word), value(word + L" " + word)};
        w->append(L"Cities", row);
        w->flush();
    }
    auto db = jet::database::open(path);
    EXPECT_EQ(db->header().code_page, 1251);
    for (const auto& c : db->table(L"Cities")->columns) EXPECT_EQ(c.code_page, 1251) << c.number;
    auto tools = drav_test::mdbtools_read(path, "Cities");
    if (tools.available) {
        EXPECT_TRUE(tools.ok) << tools.csv;
        EXPECT_NE(tools.csv.find("\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0"), std::string::npos) << tools.csv;
    }

    const std::string corpus = drav_test::testdata_dir();
    if (!std::filesystem::exists(corpus)) GTEST_SKIP() << "test data not found: " << corpus;
    int columns = 0;
    for (const auto& [where, access] : corpus_access97(corpus))
        for (const jet::catalog_entry* ce : access->tables(false))
            for (const auto& c : access->table(ce->name)->columns) {
                ++columns;
                EXPECT_EQ(c.code_page, access->header().code_page) << where;
            }
    EXPECT_GT(columns, 10);
}

// A row whose offset table no reader could find (readers count its jump bytes from the row's length) is
// refused as too large rather than written to be misread; its neighbours are stored.
TEST(JetWriter3, RowsWhoseJumpTableReadersCannotPlaceAreRefused)
{
    drav_test::scratch_dir dir("jet-writer3");
    const std::string path = (dir.path() / "jumps97.mdb").string();
    const int n = 250;
    {
        auto w = jet::database_writer::create(path, jet::file_format::jet3, 45000.25);
        std::vector<jet::column_spec> cols;
        for (int c = 0; c < n; ++c) cols.push_back(col(L"C" + std::to_wstring(c), column_type::text, 20));
        w->create_table(L"T", cols, {});
        auto row_of = [&](int total) {
            std::vector<value> row(n);
            for (int c = 0; c < n; ++c) {
                const int len = std::min(std::max(total - c * 9, 0), 9);
                row[c] = value(std::wstring(static_cast<std::size_t>(len), L'z'));
            }
            return row;
        };
        auto small = row_of(100), unplaceable = row_of(229), large = row_of(600);
        w->append(L"T", small);
        try {
            w->append(L"T", unplaceable);
            ADD_FAILURE() << "a row readers would misread was written";
        } catch (const jet::error& e) {
            EXPECT_EQ(e.code(), jet::err_record_too_large);
        }
        w->append(L"T", large);
    }
    auto db = jet::database::open(path);
    EXPECT_EQ(db->count_rows(L"T"), 2u);
    auto rows = db->rows(db->table(L"T"));
    ASSERT_TRUE(rows.next());
    ASSERT_TRUE(rows.next());
    EXPECT_EQ(rows[n - 1], value(std::wstring()));
    EXPECT_EQ(rows[66], value(std::wstring(6, L'z')));
    auto other = drav_test::mdb_reader_read(path);
    if (other.available) {
        EXPECT_TRUE(other.ok) << other.error;
        EXPECT_EQ(other.counts["T"], 2);
    }
}

// The key encoder against the corpus's Access 97 files: every index page holds the keys of its rows
// (system tables included, whose text keys are in the General order of Access 97).
TEST(JetWriter3, CorpusAccess97IndexesHoldTheKeysWeEncode)
{
    const std::string dir = drav_test::testdata_dir();
    if (!std::filesystem::exists(dir)) GTEST_SKIP() << "test data not found: " << dir;
    drav_test::index_tally tally;
    for (const auto& [where, db] : corpus_access97(dir)) {
        ++tally.files;
        for (const jet::catalog_entry* ce : db->tables(true)) {
            auto t = db->table(ce->name);
            if (t && t->tdef_page != 0) drav_test::check_index_keys(*db, *t, where, tally);
        }
    }
    std::printf("Access 97 files %d, indexes %d (not encodable %d), keys %ld; mismatched indexes %d, keys %ld\n",
                tally.files, tally.indexes, tally.not_encodable, tally.keys, tally.mismatched_indexes, tally.mismatched_keys);
    EXPECT_GE(tally.files, 5);
    EXPECT_GT(tally.keys, 100);
    EXPECT_EQ(tally.not_encodable, 0);
    EXPECT_EQ(tally.mismatched_indexes, 0) << (tally.reports.empty() ? "" : tally.reports[0]);
}

} // namespace

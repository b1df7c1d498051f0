// Access 97 files through the database model: every table of every corpus file copied into a new
// Access 97 database and into a new Access 2000 one by the same classes; the two copies read back
// equal, except rows whose text code page 1252 cannot hold, which are refused by name.
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>

#include "dao/dao_init.h"
#include "platform/jet/jet_cursor.h"
#include "platform/jet/jet_database.h"
#include "platform/jet/jet_write3.h"
#include "tests/dao/dao_test_env.h"
#include "tests/support/access_check.h"
#include "tests/support/sample.h"

using drav_test::scratch_dir;

namespace {

struct copy_report {
    int tables = 0;
    long rows = 0;
    std::vector<std::string> failed_tables;
    std::map<std::wstring, std::set<std::size_t>> refused;  // table -> source rows not stored
    std::vector<std::string> outside;                        // where the text is that code page 1252 lacks
};

// The first text value of a record that code page 1252 cannot hold: "column 'C' (U+XXXX)", or empty.
std::string text_outside_1252(udb_record& r)
{
    static const jet::code_page_encoder cp1252(1252);
    for (std::size_t c = 0; c < r.size(); ++c) {
        if (r[c]->get_type() != VT_BSTR) continue;
        const std::wstring s = r[c]->to_wstring();
        jet::bytes b;
        const std::size_t at = cp1252.encode(s, b);
        if (at == std::wstring::npos) continue;
        char cp[16];
        std::snprintf(cp, sizeof cp, "U+%04X", static_cast<unsigned>(s[at]));
        return "column '" + expected::narrow(r[c]->get_name()) + "' (" + cp + ")";
    }
    return {};
}

// Copies every table of `src` through `engine` (its generation chosen) into the new file `path`. An
// Access 97 copy must refuse exactly the rows with text outside code page 1252.
copy_report copy_all(udb_database& src, dao_engine& engine, const std::string& path, bool access97)
{
    copy_report out;
    auto dest = engine.create_db(daotests::wide(path));
    for (const auto& name : std::vector<std::wstring>(src.get_tables())) {
        auto rs = src.get_table(name, 1);
        std::unique_ptr<udb_recordset> to;
        try {
            to = dest->create_table(name, rs->get_schema(), rs->get_indexes());
        } catch (const tk_exception& e) {
            out.failed_tables.push_back(expected::narrow(name) + ": " + e.what());
            continue;
        }
        ++out.tables;
        std::size_t n = 0;
        for (rs->reset(); !rs->is_eof(); rs->next(), ++n) {
            udb_record& r = *rs->get_item();
            const std::string outside = access97 ? text_outside_1252(r) : std::string();
            try {
                to->append_record(r);
                ++out.rows;
                EXPECT_TRUE(outside.empty()) << "stored although " << outside << " lies outside code page 1252";
            } catch (const tk_exception& e) {
                out.refused[name].insert(n);
                EXPECT_FALSE(outside.empty()) << "row " << n << " refused: " << e.what();
                out.outside.push_back("table '" + expected::narrow(name) + "' row " + std::to_string(n + 1) + " " + outside);
            }
        }
    }
    return out;
}

// The two copies hold the same tables, columns and indexes, and the same rows but those refused.
void expect_same_tables(const std::string& jet4_path, const std::string& jet3_path, const copy_report& r4,
                        const copy_report& r3, long& cells)
{
    auto a = jet::database::open(jet4_path);
    auto b = jet::database::open(jet3_path);
    ASSERT_EQ(b->format(), jet::file_format::jet3);
    for (const jet::catalog_entry* entry : a->tables()) {
        const std::wstring& name = entry->name;
        SCOPED_TRACE(expected::narrow(name));
        auto ta = a->table(name);
        ASSERT_NE(b->find(name), nullptr);
        auto tb = b->table(name);
        ASSERT_EQ(ta->columns.size(), tb->columns.size());
        for (std::size_t c = 0; c < ta->columns.size(); ++c) {
            EXPECT_EQ(ta->columns[c].name, tb->columns[c].name);
            EXPECT_EQ(ta->columns[c].type, tb->columns[c].type);
            EXPECT_EQ(ta->columns[c].size(true), tb->columns[c].size(false));
        }
        EXPECT_EQ(ta->indexes.size(), tb->indexes.size());
        const auto skip3 = r3.refused.count(name) ? r3.refused.at(name) : std::set<std::size_t>();
        const auto skip4 = r4.refused.count(name) ? r4.refused.at(name) : std::set<std::size_t>();
        auto ra = a->rows(ta);
        auto rb = b->rows(tb);
        std::size_t source_row = 0;
        for (bool more = ra.next(); more; more = ra.next(), ++source_row) {
            while (skip4.count(source_row)) ++source_row;
            if (skip3.count(source_row)) continue;
            ASSERT_TRUE(rb.next()) << "row " << source_row << " missing";
            for (std::size_t c = 0; c < ta->columns.size(); ++c, ++cells)
                EXPECT_EQ(ra[c], rb[c]) << "row " << source_row << " column " << expected::narrow(ta->columns[c].name);
        }
        EXPECT_FALSE(rb.next()) << "rows left over";
    }
}

} // namespace

TEST(DaoWrite3, EveryCorpusTableCopiedIntoAccess97ReadsBackEqual)
{
    DRAV_TESTDATA_OR_SKIP(root, "jackcess");
    namespace fs = std::filesystem;
    const fs::path base = fs::path(root).parent_path();
    int files = 0, tables = 0;
    long rows = 0, cells = 0, refused = 0;
    std::vector<std::string> written;
    scratch_dir out_dir("dao-write3");
    const auto sources = drav_test::access_files(base, 4, [](const std::string& rel) { return rel.rfind("bench", 0) == 0; });
    for (const fs::path& file : sources) {
        const std::string rel = fs::relative(file, base).string();
        SCOPED_TRACE(rel);
        const bool secret = rel.find("with-password") != std::string::npos || rel.find("encryption/") != std::string::npos;
        std::string stem = rel;
        for (auto& ch : stem)
            if (ch == '/' || ch == '.') ch = '_';
        const std::string p3 = out_dir.str(stem + "_97.mdb"), p4 = out_dir.str(stem + "_2000.mdb");
        copy_report r3, r4;
        {
            scratch_dir dir("dao-write3");
            dao_engine reader(1, 0), engine97(1, 0), engine2000(1, 0);
            auto src = daotests::open_corpus(reader, file.string(), 0x01, secret ? L"password" : L"");
            ASSERT_TRUE(engine97.set_version_if(1));
            engine97.set_anonymous_sys_db();
            ASSERT_TRUE(engine2000.set_version_if(0));
            engine2000.set_anonymous_sys_db();
            r4 = copy_all(*src, engine2000, p4, false);
            r3 = copy_all(*src, engine97, p3, true);
        }
        ++files;
        EXPECT_EQ(r3.failed_tables, r4.failed_tables);
        EXPECT_EQ(r3.tables, r4.tables);
        for (const auto& [table, set] : r4.refused) {
            (void)set;
            ADD_FAILURE() << "the Access 2000 copy refused rows of " << expected::narrow(table);
        }
        for (const auto& m : r3.outside) {
            std::printf("[%s] %s\n", rel.c_str(), m.c_str());
            ++refused;
        }
        tables += r3.tables;
        rows += r3.rows;
        expect_same_tables(p4, p3, r4, r3, cells);
        written.push_back(p3);
    }
    EXPECT_GE(files, drav_test::full_or(49, 12));
    EXPECT_GT(tables, drav_test::full_or(60, 12));
    std::printf("%d files, %d tables, %ld rows, %ld cells equal, %ld rows refused (text outside code page 1252)\n",
                files, tables, rows, cells, refused);

    // Independent readers open every Access 97 file written here (mdb-reader in one run).
    int tool_files = 0;
    auto others = drav_test::mdb_reader_read_all(written);
    for (const auto& p : written) {
        SCOPED_TRACE(p);
        auto db = jet::database::open(p);
        auto names = db->tables();
        auto tools = drav_test::mdbtools_read(p, names.empty() ? "MSysObjects" : expected::narrow(names[0]->name));
        if (tools.available) {
            EXPECT_TRUE(tools.ok) << tools.version << tools.schema;
            EXPECT_NE(tools.version.find("JET3"), std::string::npos);
        }
        auto& other = others[p];
        if (other.available) {
            EXPECT_TRUE(other.ok) << other.error;
            for (const jet::catalog_entry* t : names)
                EXPECT_EQ(static_cast<std::uint64_t>(other.counts[expected::narrow(t->name)]), db->count_rows(t->name))
                    << expected::narrow(t->name);
            ++tool_files;
        }
    }
    std::printf("%d Access 97 copies read by mdb-reader\n", tool_files);
}

TEST(DaoWrite3, TextOutsideTheCodePageIsAnErrorNamingTableColumnAndRow)
{
    scratch_dir dir("dao-write3");
    const std::string path = dir.str("people97.mdb");
    {
        dao_engine engine(1, 0);
        ASSERT_TRUE(engine.set_version_if(1));
        engine.set_anonymous_sys_db();
        auto db = engine.create_db(daotests::wide(path));
        udb_schema schema;
        schema.push_back(new t_ftd(40, L"Name", VT_BSTR, false, false));
        auto rs = db->create_table(L"People", schema, udb_indexes());
        auto row = [&](const std::wstring& text) {
            udb_record r;
            r.push_back(new udb_field(L"Name", 40, ole_variant(text)));
            rs->append_record(r);
        };
        row(L"Fran\u00E7ois \u20AC");
        try {
            row(L"\u6771\u4EAC");
            ADD_FAILURE() << "text outside code page 1252 was stored";
        } catch (const tk_exception& e) {
            const std::string m = e.what();
            EXPECT_NE(m.find("'Name'"), std::string::npos) << m;
            EXPECT_NE(m.find("'People'"), std::string::npos) << m;
            EXPECT_NE(m.find("row 2"), std::string::npos) << m;
            EXPECT_NE(m.find("code page 1252"), std::string::npos) << m;
        }
        row(L"after");
    }
    auto db = jet::database::open(path);
    EXPECT_EQ(db->format(), jet::file_format::jet3);
    auto rows = db->rows(db->table(L"People"));
    std::vector<jet::value> got;
    while (rows.next()) got.push_back(rows[0]);
    EXPECT_EQ(got, (std::vector<jet::value>{jet::value(std::wstring(L"Fran\u00E7ois \u20AC")), jet::value(std::wstring(L"after"))}));
}

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
#include "tests/dao/dao_test_env.h"
#include "tests/support/access_check.h"

using daotests::scratch_cwd;

namespace {

struct copy_report {
    int tables = 0;
    long rows = 0;
    std::vector<std::string> failed_tables;
    std::map<std::wstring, std::set<std::size_t>> refused;  // table -> source rows not stored
    std::vector<std::string> messages;
};

// Copies every table of `src` through an engine of `version` into the new file `path`.
copy_report copy_all(udb_database& src, int version, const std::string& path)
{
    copy_report out;
    dao_engine engine(1, 0);
    EXPECT_TRUE(engine.set_version_if(version));
    engine.set_anonymous_sys_db();
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
            try {
                to->append_record(*rs->get_item());
                ++out.rows;
            } catch (const tk_exception& e) {
                out.refused[name].insert(n);
                out.messages.push_back(e.what());
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
    scratch_cwd out_dir;
    for (const auto& e : fs::recursive_directory_iterator(base)) {
        const std::string ext = e.path().extension().string();
        const std::string rel = fs::relative(e.path(), base).string();
        if ((ext != ".mdb" && ext != ".accdb") || rel.rfind("bench", 0) == 0) continue;
        SCOPED_TRACE(rel);
        const bool secret = rel.find("with-password") != std::string::npos || rel.find("encryption/") != std::string::npos;
        std::string stem = rel;
        for (auto& ch : stem)
            if (ch == '/' || ch == '.') ch = '_';
        const std::string p3 = out_dir.path() + "/" + stem + "_97.mdb", p4 = out_dir.path() + "/" + stem + "_2000.mdb";
        copy_report r3, r4;
        {
            scratch_cwd dir;
            dao_engine engine(1, 0);
            auto src = daotests::open_corpus(engine, e.path().string(), 0x01, secret ? L"password" : L"");
            r4 = copy_all(*src, 0, p4);
            r3 = copy_all(*src, 1, p3);
        }
        ++files;
        EXPECT_EQ(r3.failed_tables, r4.failed_tables);
        EXPECT_EQ(r3.tables, r4.tables);
        for (const auto& [table, set] : r4.refused) {
            (void)set;
            ADD_FAILURE() << "the Access 2000 copy refused rows of " << expected::narrow(table);
        }
        for (const auto& m : r3.messages) {
            // Only text outside the code page is refused, and the message says where.
            EXPECT_NE(m.find("code page 1252"), std::string::npos) << m;
            EXPECT_NE(m.find("of table '"), std::string::npos) << m;
            EXPECT_NE(m.find("(row "), std::string::npos) << m;
            std::printf("[%s] %s\n", rel.c_str(), m.c_str());
            ++refused;
        }
        tables += r3.tables;
        rows += r3.rows;
        expect_same_tables(p4, p3, r4, r3, cells);
        written.push_back(p3);
    }
    EXPECT_GE(files, 49);
    EXPECT_GT(tables, 60);
    std::printf("%d files, %d tables, %ld rows, %ld cells equal, %ld rows refused (text outside code page 1252)\n",
                files, tables, rows, cells, refused);

    // Independent readers open every Access 97 file written here.
    int tool_files = 0;
    for (const auto& p : written) {
        SCOPED_TRACE(p);
        auto db = jet::database::open(p);
        auto names = db->tables();
        auto tools = drav_test::mdbtools_read(p, names.empty() ? "MSysObjects" : expected::narrow(names[0]->name));
        if (tools.available) {
            EXPECT_TRUE(tools.ok) << tools.version << tools.schema;
            EXPECT_NE(tools.version.find("JET3"), std::string::npos);
        }
        auto other = drav_test::mdb_reader_read(p);
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

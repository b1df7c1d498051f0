// The Access database catalogue: tables, saved queries with their rewrite, foreign keys, queries.
#include <algorithm>
#include <set>

#include "tests/dao/dao_test_env.h"

using daotests::open_corpus;
using drav_test::scratch_dir;
using daotests::wide;

namespace {

std::set<std::wstring> user_names(const std::vector<std::wstring>& names)
{
    std::set<std::wstring> out;
    for (const auto& n : names)
        if (n.rfind(L"MSys", 0) != 0)
            out.insert(n);
    return out;
}

dao_database& as_dao(udb_database& db)
{
    return dynamic_cast<dao_database&>(db);
}

} // namespace

TEST(DaoViewRewrite, WordsFunctionsAndOperators)
{
    EXPECT_EQ(dao_rewrite_view_sql(L"SELECT Len([Name]) FROM T"), L"SELECT length([Name]) FROM T");
    // A comma does not end a word; letters around the name block it.
    EXPECT_EQ(dao_rewrite_view_sql(L"SELECT Len, Lens, Blen(x) FROM T"), L"SELECT Len, Lens, Blen(x) FROM T");
    EXPECT_EQ(dao_rewrite_view_sql(L"SELECT [A]![B] FROM [A] WHERE x <> 1 WITH OWNERACCESS OPTION;"),
              L"SELECT [A].[B] FROM [A] WHERE x != 1 ;");
    EXPECT_EQ(dao_rewrite_view_sql(L"SELECT IIf(a, Nz(b), c), iif (d), NZ(e) FROM T"),
              L"SELECT if(a, ifnull(b), c), if (d), ifnull(e) FROM T");
    EXPECT_EQ(dao_rewrite_view_sql(L"SELECT UCase(a), LCase(b), Mid$(c,1), Left$(d,2), Right$(e,3)"),
              L"SELECT upper(a), lower(b), mid(c,1), left(d,2), right(e,3)");
    EXPECT_EQ(dao_rewrite_view_sql(L"SELECT Sqr(a), StDev(b), StrComp(c,d), Chr(65), Asc(x), CLng(y)"),
              L"SELECT sqrt(a), stddev(b), strcmp(c,d), char(65), ascii(x), round(y)");
    // A word at the very end, and one after a non-alphanumeric character.
    EXPECT_EQ(dao_rewrite_view_sql(L"x alike\ty ORDER BY a.asc"), L"x like\ty ORDER BY a.ascii");
    EXPECT_EQ(dao_rewrite_view_sql(L"SELECT nz"), L"SELECT ifnull");
    // The rewrite does not read literals: names and strings change too.
    EXPECT_EQ(dao_rewrite_view_sql(L"WHERE a = 'len (x)'"), L"WHERE a = 'length (x)'");
}

TEST(DaoViewRewrite, ReplaceSearchesOnAfterEachHit)
{
    EXPECT_EQ(dao_replace(L"ab AB aB", L"ab", L"x", false), L"x x x");
    // The search goes on one character after the start of the last hit, in the new text.
    EXPECT_EQ(dao_replace(L"aaa", L"aa", L"a", false), L"aa");
    EXPECT_EQ(dao_replace(L"len len(len", L"len", L"length", true), L"length length(length");
    EXPECT_EQ(dao_replace(L"len,len", L"len", L"length", true), L"len,length");
    EXPECT_EQ(dao_replace(L"", L"len", L"x", true), L"");
}

TEST(DaoDatabase, TablesOfEveryCorpusFileMatchTheExpectedSchema)
{
    DRAV_TESTDATA_OR_SKIP(schema, "expected/schema.jsonl");
    int files = 0;
    for (const expected::json& file : expected::read_lines(schema)) {
        const std::string rel = expected::narrow(file["file"].text);
        const std::string path = drav_test::testdata(rel);
        if (path.empty() || !file.get("tables") || file["tables"].type != expected::json::array_k)
            continue;
        if (rel.find("encryption/") != std::string::npos || rel.find("V2010_with-password") != std::string::npos)
            continue;
        SCOPED_TRACE(rel);
        const std::wstring password = rel.find("with-password") != std::string::npos ? L"password" : L"";
        scratch_dir dir("dao-db");
        dao_engine engine(1, 0);
        std::unique_ptr<udb_database> db;
        try {
            db = open_corpus(engine, path, 0x01, password);
        } catch (const tk_exception& e) {
            ADD_FAILURE() << "cannot open: " << e.what();
            continue;
        }
        std::vector<std::wstring> expected_tables;
        for (const auto& t : file["tables"].items) {
            bool linked = false;
            for (const auto& l : file["linked"].items)
                linked = linked || l["name"].text == t["name"].text;
            if (!linked)
                expected_tables.push_back(t["name"].text);
        }
        EXPECT_EQ(user_names(db->get_tables()), user_names(expected_tables));
        for (const auto& l : file["linked"].items)
            EXPECT_FALSE(db->is_table_exist(l["name"].text));
        ++files;
    }
    EXPECT_GT(files, 20);
}

TEST(DaoDatabase, LinkedTablesAreNeitherListedNorReturned)
{
    DRAV_TESTDATA_OR_SKIP(path, "jackcess/V2007/linkerTestV2007.accdb");
    scratch_dir dir("dao-db");
    dao_engine engine(1, 0);
    auto db = open_corpus(engine, path);
    EXPECT_TRUE(db->is_table_exist(L"Table1"));
    EXPECT_FALSE(db->is_table_exist(L"Table2"));
    EXPECT_THROW(db->get_table(L"Table2", 1), tk_mail_assertion);
    auto rs = db->get_table(L"table1", 1);
    ASSERT_NE(rs, nullptr);
    EXPECT_EQ(rs->get_record_count(), 1u);
}

TEST(DaoDatabase, ForeignKeysFromTheRelationshipTable)
{
    DRAV_TESTDATA_OR_SKIP(path, "jackcess/V2003/indexTestV2003.mdb");
    scratch_dir dir("dao-db");
    dao_engine engine(1, 0);
    auto db = open_corpus(engine, path);
    const udb_relationships& rels = db->relationships;
    ASSERT_EQ(rels.size(), 2u);
    EXPECT_EQ(rels[0].name, L"FK_Table2_Table1");
    EXPECT_EQ(rels[0].fk_table, L"Table1");
    EXPECT_EQ(rels[0].pk_table, L"Table2");
    EXPECT_EQ(rels[0].fk_fields, std::vector<std::wstring>{L"otherfk1"});
    EXPECT_EQ(rels[0].pk_fields, std::vector<std::wstring>{L"id"});
    EXPECT_EQ(rels[0].properties, L" ON DELETE CASCADE");
    EXPECT_EQ(rels[1].name, L"FK_Table3_Table1");
    EXPECT_EQ(rels[1].fk_fields, std::vector<std::wstring>{L"otherfk2"});
    EXPECT_EQ(rels[1].properties, L" ON UPDATE CASCADE");

    // Relationships of the navigation pane's tables are dropped; the skip bits read none.
    auto db3 = engine.open_db(wide(path), 0x21, L"");
    EXPECT_TRUE(db3->relationships.empty());
    auto db4 = engine.open_db(wide(path), 0x41, L"");
    EXPECT_TRUE(db4->relationships.empty());

    DRAV_TESTDATA_OR_SKIP(nav, "mdb-reader/data/V2016/bigint.accdb");
    dao_engine ace(1, 0);
    auto db2 = open_corpus(ace, nav);
    EXPECT_TRUE(db2->relationships.empty());
}

TEST(DaoDatabase, SavedQueriesAreReadUnlessSkipped)
{
    DRAV_TESTDATA_OR_SKIP(path, "jackcess/V2003/queryTestV2003.mdb");
    DRAV_TESTDATA_OR_SKIP(schema, "expected/schema.jsonl");
    std::set<std::wstring> expected_names;
    for (const expected::json& file : expected::read_lines(schema))
        if (file["file"].text == L"jackcess/V2003/queryTestV2003.mdb")
            for (const auto& q : file["queries"].items)
                expected_names.insert(q["name"].text);
    ASSERT_FALSE(expected_names.empty());

    scratch_dir dir("dao-db");
    dao_engine engine(1, 0);
    auto db = open_corpus(engine, path, 0x01);
    std::set<std::wstring> names;
    for (const auto& q : as_dao(*db).get_queries()) {
        names.insert(q.first);
        // The rewrite has run: no bang between brackets, no <> left.
        EXPECT_EQ(q.second.find(L"]!["), std::wstring::npos);
        EXPECT_EQ(q.second.find(L"<>"), std::wstring::npos);
    }
    EXPECT_EQ(names, expected_names);

    auto skipped = engine.open_db(wide(path), 0x81, L"");
    EXPECT_TRUE(as_dao(*skipped).get_queries().empty());
}

TEST(DaoDatabase, UserQueriesCountTheirRows)
{
    DRAV_TESTDATA_OR_SKIP(path, "mdb-reader/data/real/ASampleDatabase.accdb");
    scratch_dir dir("dao-db");
    dao_engine engine(1, 0);
    auto db = open_corpus(engine, path, 0x81);
    auto& dao = as_dao(*db);
    EXPECT_EQ(dao.get_query_records_count(L"SELECT * FROM [Asset Items]"), 65);
    // A closing semicolon and blanks do not break the count.
    EXPECT_EQ(dao.get_query_records_count(L"SELECT * FROM [Asset Items];  \r\n"), 65);
    EXPECT_EQ(dao.get_query_records_count(L"SELECT * FROM [Asset Items] WHERE 1 = 0"), 0);

    auto rs = db->get_query(L"Costly", L"SELECT [Asset No], Cost FROM [Asset Items] WHERE Cost > 0;\n", 1);
    ASSERT_NE(rs, nullptr);
    EXPECT_TRUE(rs->is_query());
    EXPECT_EQ(rs->get_schema().size(), 2u);
    EXPECT_GT(rs->get_record_count(), 0u);
    uint64_t rows = 0;
    for (rs->reset(); !rs->is_eof(); rs->next()) {
        udb_record* r = rs->get_item();
        ASSERT_EQ(r->size(), 2u);
        ++rows;
    }
    EXPECT_EQ(rows, rs->get_record_count());

    auto empty = db->get_query(L"None", L"SELECT * FROM [Asset Items] WHERE 1 = 0", 1);
    EXPECT_EQ(empty->get_record_count(), 0u);
    EXPECT_TRUE(empty->is_eof());
    empty->reset();  // nothing to move to
    EXPECT_TRUE(empty->is_eof());

    EXPECT_TRUE(db->test_query(L"SELECT * FROM [Asset Items]"));
    EXPECT_FALSE(db->test_query(L"SELECT * FROM [No Such Table]"));
    EXPECT_FALSE(db->test_query(L"SELEC nothing"));
    EXPECT_THROW(db->get_query(L"Bad", L"SELECT FROM WHERE", 1), dao_exception);
}

TEST(DaoFkeyBuilder, RowsMakeForeignKeys)
{
    udb_relationships rels;
    dao_fkey_builder b(rels);
    // Rows arrive in name and key-column order; names differing in case are one key.
    b.add_row({L"OrderLines", L"OrderNo", L"Lines", L"Orders", L"No", 0x1100});
    b.add_row({L"orderlines", L"OrderYear", L"Lines", L"Orders", L"Year", 0});
    b.add_row({L"Nav", L"GroupID", L"MSysNavPaneGroupToObjects", L"MSysNavPaneGroups", L"Id", 0});
    b.add_row({L"Nav2", L"X", L"Child", L"msysnavpanegroups", L"Id", 0});
    b.add_row({L"Plain", L"Cust", L"Orders", L"Customers", L"Id", 0x2});
    b.finish();
    ASSERT_EQ(rels.size(), 2u);
    EXPECT_EQ(rels[0].name, L"FK_Orders_Lines");
    EXPECT_EQ(rels[0].fk_table, L"Lines");
    EXPECT_EQ(rels[0].pk_table, L"Orders");
    EXPECT_EQ(rels[0].fk_fields, (std::vector<std::wstring>{L"OrderNo", L"OrderYear"}));
    EXPECT_EQ(rels[0].pk_fields, (std::vector<std::wstring>{L"No", L"Year"}));
    EXPECT_EQ(rels[0].properties, L" ON DELETE CASCADE ON UPDATE CASCADE");
    EXPECT_EQ(rels[1].name, L"FK_Customers_Orders");
    EXPECT_EQ(rels[1].properties, L"");

    // Two keys between the same tables get distinct names; an empty table list gives none.
    udb_relationships twice;
    dao_fkey_builder b2(twice);
    b2.add_row({L"A", L"x", L"Child", L"Parent", L"x", 0});
    b2.add_row({L"B", L"y", L"Child", L"Parent", L"y", 0});
    b2.finish();
    ASSERT_EQ(twice.size(), 2u);
    EXPECT_NE(twice[0].name, twice[1].name);
    udb_relationships none;
    dao_fkey_builder(none).finish();
    EXPECT_TRUE(none.empty());
}

// Every corpus file opens through the engine, and every table and every saved row-returning
// query reads to its end as records.
TEST(DaoDatabase, EveryCorpusFileReadsWhole)
{
    DRAV_TESTDATA_OR_SKIP(root, "jackcess");
    namespace fs = std::filesystem;
    const fs::path base = fs::path(root).parent_path();
    int files = 0, tables = 0, queries = 0;
    for (const auto& e : fs::recursive_directory_iterator(base)) {
        const std::string ext = e.path().extension().string();
        const std::string rel = fs::relative(e.path(), base).string();
        if ((ext != ".mdb" && ext != ".accdb") || rel.rfind("bench", 0) == 0)
            continue;
        SCOPED_TRACE(rel);
        const bool secret = rel.find("with-password") != std::string::npos ||
                            rel.find("encryption/") != std::string::npos;
        scratch_dir dir("dao-db");
        dao_engine engine(1, 0);
        std::unique_ptr<udb_database> db;
        try {
            db = open_corpus(engine, e.path().string(), 0x01, secret ? L"password" : L"");
        } catch (const tk_exception& x) {
            ADD_FAILURE() << "cannot open: " << x.what();
            continue;
        }
        ++files;
        std::vector<std::pair<std::wstring, std::wstring>> sources;
        for (const auto& t : db->get_tables())
            sources.emplace_back(t, std::wstring());
        for (const auto& q : as_dao(*db).get_queries())
            sources.emplace_back(q.first, L"SELECT * FROM [" + q.first + L"]");
        for (const auto& [name, sql] : sources) {
            SCOPED_TRACE(expected::narrow(name));
            std::unique_ptr<udb_recordset> rs;
            try {
                if (sql.empty())
                    rs = db->get_table(name, 1);
                else if (db->test_query(sql))
                    rs = db->get_query(name, sql, 1);
            } catch (const tk_exception& x) {
                ADD_FAILURE() << "cannot open: " << x.what();
                continue;
            }
            if (!rs)
                continue;
            uint64_t rows = 0;
            try {
                for (rs->reset(); !rs->is_eof(); rs->next(), ++rows) {
                    udb_record* r = rs->get_item();
                    ASSERT_EQ(r->size(), rs->get_schema().size());
                }
            } catch (const tk_exception& x) {
                ADD_FAILURE() << "row " << rows << ": " << x.what();
            }
            EXPECT_EQ(rows, rs->get_record_count());
            ++(sql.empty() ? tables : queries);
        }
    }
    EXPECT_GE(files, 49);
    EXPECT_GT(tables, 60);
    EXPECT_GT(queries, 5);
    std::printf("%d files, %d tables, %d saved queries\n", files, tables, queries);
}

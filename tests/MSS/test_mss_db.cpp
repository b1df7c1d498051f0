// The SQL Server destination database against a recording session: the exact
// statements that create tables, keys, indexes, foreign keys, sequences and
// views, and how the existing catalogue is read.
#include "MSS/mss_db.h"
#include "MSS/mss_tab.h"
#include "MSS/odb_exce.h"
#include "mss_fake.h"
#include "TK/tk_errco.h"
#include "TK/tk_errh.h"

#include <gtest/gtest.h>

using mss_fake::failure;
using mss_fake::table;

namespace {

t_ftd* column(const std::wstring& name, VARTYPE vt, uint32_t size, bool not_null = false, bool auto_num = false,
              const ole_variant& def = ole_variant(), int32_t reserved = 0)
{
    return new t_ftd(size, name, vt, not_null, auto_num, def, reserved);
}

struct fixture {
    mss_fake::engine_scope scope;
    mss_fake::session* s = new mss_fake::session();
    std::unique_ptr<mss_database> db;

    explicit fixture(unsigned version = 18, int mode = 0x80, bool fast_load = false)
        : scope(version, fast_load)
    {
        db = std::make_unique<mss_database>(L"conv", L"", static_cast<IDBInitialize*>(scope.ds), s, mode);
        s->statements.clear();
    }
    ~fixture()
    {
        db.reset();
        s->Release();
    }
};

} // namespace

TEST(MssDatabase, CreateTableStatementAndWriter)
{
    fixture f;
    udb_schema schema;
    schema.push_back(column(L"id", VT_I4, 4, false, true));
    schema.push_back(column(L"code", VT_BSTR, 10));
    schema.push_back(column(L"stamp", VT_DATE, 0, false, false, ole_variant(std::wstring(L"now()"))));
    schema.push_back(column(L"owner", VT_BSTR, 20, false, false, ole_variant(std::wstring(L"O'Brien"))));
    schema.push_back(column(L"qty", VT_I4, 4, false, false, ole_variant(0)));
    udb_indexes indexes;
    indexes.push_back(udb_index(L"pk", {L"code"}, true, true));

    auto t = f.db->create_table(L"orders", schema, indexes);
    ASSERT_TRUE(t);
    ASSERT_FALSE(f.s->statements.empty());
    EXPECT_EQ(f.s->statements[0],
              L"CREATE TABLE [dbo].[orders] (\r\n"
              L"\t[id] INT IDENTITY NOT NULL,\r\n"
              L"\t[code] NVARCHAR(10)  NOT NULL,\r\n"
              L"\t[stamp] DATETIME2 DEFAULT getdate(),\r\n"
              L"\t[owner] NVARCHAR(20)  DEFAULT 'O''Brien',\r\n"
              L"\t[qty] INT DEFAULT 0)");
    // The writer counts the rows already there and opens no rowset.
    EXPECT_EQ(f.s->with(L"SELECT COUNT(*) FROM [dbo].[orders]").size(), 1u);
    EXPECT_TRUE(f.s->opened.empty());
    EXPECT_EQ(t->get_schema().size(), 5u);
    EXPECT_TRUE(static_cast<mss_table*>(t.get())->has_identity());
    EXPECT_TRUE(f.db->is_table_exist(L"orders"));
    EXPECT_TRUE(f.db->is_table_exist(L"[dbo].[orders]"));

    // The same name again is refused without append mode.
    f.s->statements.clear();
    EXPECT_THROW(f.db->create_table(L"orders", schema, indexes), odb_exception);
    EXPECT_TRUE(f.s->with(L"CREATE TABLE").empty());
}

TEST(MssDatabase, FailedCreateTableShowsWhenTheTableOpens)
{
    fixture f;
    f.s->answer = [](const std::wstring& sql, mss_fake::result& r) {
        if (sql.rfind(L"CREATE TABLE", 0) == 0 || sql.find(L"[broken]") != std::wstring::npos) {
            r = failure(DB_E_ERRORSINCOMMAND, L"Column, parameter, or variable #1: Cannot find data type");
            return true;
        }
        return false;
    };
    udb_schema schema;
    schema.push_back(column(L"a", VT_I4, 4));
    EXPECT_THROW(f.db->create_table(L"broken", schema, udb_indexes()), odb_exception);
    EXPECT_FALSE(f.db->is_table_exist(L"broken"));
}

TEST(MssDatabase, ReadOnlyDatabaseCannotCreateTables)
{
    fixture f(18, 0x81);
    udb_schema schema;
    schema.push_back(column(L"a", VT_I4, 4));
    EXPECT_THROW(f.db->create_table(L"t", schema, udb_indexes()), tk_mail_assertion);
}

TEST(MssDatabase, IndexesKeysAndFilters)
{
    udb_schema schema;
    schema.push_back(column(L"a", VT_I4, 4));
    schema.push_back(column(L"b", VT_BSTR, 10));
    schema.push_back(column(L"long", VT_BSTR, 500));
    schema.push_back(column(L"flag", VT_BOOL, 2));
    {
        fixture f(5);
        f.s->answer = [](const std::wstring& sql, mss_fake::result& r) {
            if (sql.find(L"COUNT(*)") != std::wstring::npos) {
                r = table({L"n"}, {{L"0"}});
                return true;
            }
            return false;
        };
        f.db->create_index(L"t", schema, udb_index(L"ux", {L"a", L"b"}, true, false));
        ASSERT_FALSE(f.s->statements.empty());
        EXPECT_EQ(f.s->statements.back(),
                  L"CREATE UNIQUE INDEX [ux] ON [dbo].[t]([a], [b]) WHERE [a] IS NOT NULL AND [b] IS NOT NULL");
        f.db->create_index(L"t", schema, udb_index(L"pk_t", {L"a"}, true, true));
        EXPECT_EQ(f.s->statements.back(), L"ALTER TABLE [dbo].[t] ADD CONSTRAINT [pk_t] PRIMARY KEY NONCLUSTERED([a])");
        EXPECT_TRUE(f.db->is_clustered_done());

        // 500 characters are 1000 bytes: over the key limit, so no statement at all.
        f.s->statements.clear();
        f.db->create_index(L"t", schema, udb_index(L"pk2", {L"long"}, true, true));
        f.db->create_index(L"t", schema, udb_index(L"ixf", {L"flag"}, false, false));
        f.db->create_index(L"t", schema, udb_index(L"none", {}, false, false));
        EXPECT_TRUE(f.s->with(L"ALTER TABLE").empty());
        EXPECT_TRUE(f.s->with(L"CREATE").empty());
    }
    {
        fixture f(4);
        f.db->create_index(L"t", schema, udb_index(L"ux", {L"a", L"b"}, true, false));
        EXPECT_EQ(f.s->statements.back(), L"CREATE UNIQUE INDEX [ux] ON [dbo].[t]([a], [b])");
        // An index name in use gets a generated one; a key without a name is left to the server.
        f.s->answer = [](const std::wstring& sql, mss_fake::result& r) {
            r = table({L"n"}, {{sql.find(L"SYS.INDEXES") != std::wstring::npos ? L"1" : L"0"}});
            return sql.find(L"COUNT(*)") != std::wstring::npos;
        };
        f.db->create_index(L"t", schema, udb_index(L"ix", {L"a"}, false, false));
        EXPECT_EQ(f.s->statements.back().rfind(L"CREATE INDEX [IDX_", 0), 0u) << f.s->statements.back();
        f.db->create_index(L"t", schema, udb_index(L"", {L"a"}, true, true));
        EXPECT_EQ(f.s->statements.back(), L"ALTER TABLE [dbo].[t] ADD PRIMARY KEY NONCLUSTERED([a])");
    }
}

using mss_fake::recording_handler;

TEST(MssDatabase, AnIndexTheServerRefusesIsReported)
{
    // Duplicate values refuse a unique index: the table lacks what the source promised, and the
    // user hears of it, not only the log.
    recording_handler handler;
    udb_schema schema;
    schema.push_back(column(L"a", VT_I4, 4));
    fixture f(5);
    f.s->answer = [](const std::wstring& sql, mss_fake::result& r) {
        if (sql.rfind(L"CREATE UNIQUE INDEX", 0) == 0 || sql.rfind(L"ALTER TABLE", 0) == 0) {
            r = failure(DB_E_ERRORSINCOMMAND, L"The CREATE UNIQUE INDEX statement terminated: duplicate key");
            return true;
        }
        if (sql.find(L"COUNT(*)") != std::wstring::npos) {
            r = table({L"n"}, {{L"0"}});
            return true;
        }
        return false;
    };
    f.db->create_index(L"t", schema, udb_index(L"ux", {L"a"}, true, false));
    f.db->create_index(L"t", schema, udb_index(L"pk", {L"a"}, true, true));
    ASSERT_EQ(handler.messages.size(), 2u);
    EXPECT_NE(handler.messages[0].find("t: Can't create index [ux]: "), std::string::npos) << handler.messages[0];
    EXPECT_NE(handler.messages[0].find("duplicate key"), std::string::npos) << handler.messages[0];
    EXPECT_NE(handler.messages[1].find("[pk]"), std::string::npos) << handler.messages[1];
}

TEST(MssDatabase, IndexNameWithQuoteIsLookedUpSafely)
{
    fixture f;
    udb_schema schema;
    schema.push_back(column(L"a", VT_I4, 4));
    f.db->create_index(L"t", schema, udb_index(L"x' OR '1'='1", {L"a"}, false, false));
    auto lookups = f.s->with(L"SYS.INDEXES");
    ASSERT_EQ(lookups.size(), 1u);
    EXPECT_EQ(lookups[0], L"SELECT COUNT(*) FROM SYS.INDEXES WHERE NAME='x'' OR ''1''=''1'");
    EXPECT_EQ(f.s->statements.back(), L"CREATE INDEX [x' OR '1'='1] ON [dbo].[t]([a])");
}

TEST(MssDatabase, AzureGetsAClusteredIndexWithoutPrimaryKey)
{
    udb_schema schema;
    schema.push_back(column(L"memo", VT_BSTR, 0));
    schema.push_back(column(L"col", VT_I4, 4));
    {
        fixture f(100);
        f.db->create_indexes(L"t", schema, udb_indexes());
        ASSERT_EQ(f.s->statements.size(), 1u);
        EXPECT_EQ(f.s->statements[0], L"CREATE CLUSTERED INDEX [col_clust_idx] ON [t]([col])");
    }
    {
        fixture f(100);
        udb_indexes idx;
        idx.push_back(udb_index(L"pk", {L"col"}, true, true));
        f.db->create_indexes(L"t", schema, idx);
        EXPECT_TRUE(f.s->with(L"CLUSTERED INDEX").empty());
    }
    {
        fixture f(18);
        f.db->create_indexes(L"t", schema, udb_indexes());
        EXPECT_TRUE(f.s->statements.empty());
    }
}

TEST(MssDatabase, GeneratedUniqueIndexNames)
{
    fixture f;
    udb_indexes list;
    EXPECT_EQ(f.db->gen_idx_name(&list, {L"a", L"b"}), L"UIDX_a_b");
    list.push_back(udb_index(L"UIDX_a_b", {L"a"}, false, false));
    EXPECT_EQ(f.db->gen_idx_name(&list, {L"a", L"b"}), L"UIDX_a_b_00000");
    list.push_back(udb_index(L"uidx_A_B_00000", {L"a"}, false, false));
    EXPECT_EQ(f.db->gen_idx_name(&list, {L"a", L"b"}), L"UIDX_a_b_00001");
    EXPECT_THROW(f.db->gen_idx_name(nullptr, {L"a"}), tk_mail_assertion);
}

TEST(MssDatabase, SchemasSequencesAndNamesThatCarryQuotes)
{
    fixture f;
    f.db->create_schema(L"DBO");
    EXPECT_TRUE(f.s->statements.empty());
    f.db->create_schema(L"sales");
    ASSERT_EQ(f.s->statements.size(), 1u);
    EXPECT_EQ(f.s->statements[0],
              L"IF NOT EXISTS (SELECT  SCHEMA_NAME FROM    INFORMATION_SCHEMA.SCHEMATA WHERE   SCHEMA_NAME = "
              L"'sales' ) BEGIN EXEC sp_executesql N'CREATE SCHEMA [sales]' END");
    // A quote in the name cannot end either literal.
    f.db->create_schema(L"x'y");
    EXPECT_EQ(f.s->statements.back(),
              L"IF NOT EXISTS (SELECT  SCHEMA_NAME FROM    INFORMATION_SCHEMA.SCHEMATA WHERE   SCHEMA_NAME = "
              L"'x''y' ) BEGIN EXEC sp_executesql N'CREATE SCHEMA [x''y]' END");

    f.s->statements.clear();
    std::vector<udb_sequence> seqs;
    seqs.emplace_back(L"seq1", 1, 2, -5, 100, true);
    seqs.emplace_back(L"seq2", 10, 1, 0, 50, false);
    f.s->answer = [](const std::wstring& sql, mss_fake::result& r) {
        if (sql.find(L"seq2") != std::wstring::npos && sql.rfind(L"CREATE", 0) == 0) {
            r = failure(DB_E_ERRORSINCOMMAND, L"no permission");
            return true;
        }
        return false;
    };
    f.db->create_sequences(seqs);
    ASSERT_EQ(f.s->statements.size(), 4u);
    EXPECT_EQ(f.s->statements[0], L"DROP SEQUENCE IF EXISTS [dbo].[seq1]");
    EXPECT_EQ(f.s->statements[1],
              L"CREATE SEQUENCE [dbo].[seq1] START WITH 1 INCREMENT BY 2 MINVALUE -5 MAXVALUE 100 CYCLE");
    EXPECT_EQ(f.s->statements[3], L"CREATE SEQUENCE [dbo].[seq2] START WITH 10 INCREMENT BY 1 MINVALUE 0 MAXVALUE 50");
}

TEST(MssDatabase, ViewsAreDroppedAndCreated)
{
    fixture f;
    udb_name_text_list views = {{L"v1", L"SELECT a FROM t"}, {L"bad", L"SELECT"}, {L"o'v", L"SELECT 1"}};
    f.s->answer = [](const std::wstring& sql, mss_fake::result& r) {
        if (sql.rfind(L"CREATE VIEW [dbo].[bad]", 0) == 0) {
            r = failure(DB_E_ERRORSINCOMMAND, L"Incorrect syntax");
            return true;
        }
        return false;
    };
    f.db->create_views(views);
    ASSERT_GE(f.s->statements.size(), 4u);
    EXPECT_EQ(f.s->statements[0], L"IF OBJECT_ID('v1') IS NOT NULL DROP VIEW [dbo].[v1]");
    EXPECT_EQ(f.s->statements[1].rfind(L"CREATE VIEW [dbo].[v1] AS ", 0), 0u) << f.s->statements[1];
    // The failing view did not stop the list: all were tried.
    EXPECT_EQ(f.s->with(L"CREATE VIEW").size(), 3u);
    EXPECT_EQ(f.s->with(L"OBJECT_ID('o''v')").size(), 1u);
}

TEST(MssDatabase, ForeignKeys)
{
    udb_relationships rels;
    rels.push_back(udb_relationship(L"fk_o_c", L"", L"orders", L"customers", {L"cust"}, {L"id"},
                                    L"ON DELETE CASCADE"));
    rels.push_back(udb_relationship(L"fk_missing", L"", L"ghost", L"customers", {L"x"}, {L"id"}, L""));
    {
        fixture f(18, 8 | 0x80);
        f.db->create_relationships(rels);
        EXPECT_TRUE(f.s->statements.empty());
    }
    fixture f;
    f.db->tables = {L"dbo.orders", L"dbo.customers"};
    f.s->tables[L"[dbo].[customers]"] = table({L"id", L"name"});
    f.s->schema_rows[1] = table({L"TABLE_NAME", L"COLUMN_NAME", L"ORDINAL", L"PK_NAME"},
                                {{L"customers", L"id", L"1", L"pk_c"}});
    f.db->create_relationships(rels);
    auto fk = f.s->with(L"FOREIGN KEY");
    ASSERT_EQ(fk.size(), 1u);
    EXPECT_EQ(fk[0], L"ALTER TABLE [dbo].[orders] ADD CONSTRAINT [fk_o_c] FOREIGN KEY ([cust]) REFERENCES "
                     L"[dbo].[customers]([id]) ON DELETE CASCADE");
    // The referenced key is a unique primary key already: no extra index.
    EXPECT_TRUE(f.s->with(L"CREATE UNIQUE INDEX").empty());
}

TEST(MssDatabase, ForeignKeyOnPlainColumnsGetsUniqueIndexFirst)
{
    fixture f;
    f.db->tables = {L"dbo.orders", L"dbo.customers"};
    f.s->tables[L"[dbo].[customers]"] = table({L"code", L"name"});
    udb_relationships rels;
    rels.push_back(udb_relationship(L"fk", L"", L"orders", L"customers", {L"cust"}, {L"code"}, L"bogus props"));
    f.db->create_relationships(rels);
    auto idx = f.s->with(L"CREATE UNIQUE INDEX");
    ASSERT_EQ(idx.size(), 1u);
    EXPECT_EQ(idx[0], L"CREATE UNIQUE INDEX [UIDX_code] ON [dbo].[customers]([code])");
    auto fk = f.s->with(L"FOREIGN KEY");
    ASSERT_EQ(fk.size(), 1u);
    // Properties that are not a valid rule text are left out.
    EXPECT_EQ(fk[0], L"ALTER TABLE [dbo].[orders] ADD CONSTRAINT [fk] FOREIGN KEY ([cust]) REFERENCES "
                     L"[dbo].[customers]([code])");
}

TEST(MssDatabase, EmptyTableBracketsTheName)
{
    fixture f;
    f.db->empty_table(L"a]b");
    EXPECT_EQ(f.s->statements.back(), L"delete from [a]]b]");
    f.db->empty_table(L"[dbo].[t]");
    EXPECT_EQ(f.s->statements.back(), L"delete from [dbo].[t]");
}

TEST(MssDatabase, DropTableLeavesTheList)
{
    fixture f;
    f.db->tables = {L"dbo.t"};
    EXPECT_TRUE(f.db->delete_tab(L"t"));
    EXPECT_EQ(f.s->statements.back(), L"DROP TABLE [dbo].[t]");
    EXPECT_TRUE(f.db->tables.empty());
    f.s->answer = [](const std::wstring&, mss_fake::result& r) {
        r = failure(DB_E_NOTABLE, L"Cannot drop the table");
        return true;
    };
    EXPECT_THROW(f.db->delete_tab(L"u"), odb_exception);
    EXPECT_FALSE(f.db->test_query(L"SELECT 1"));
}

TEST(MssDatabase, FastLoadSwitchGoesToTheEngine)
{
    fixture f;
    EXPECT_TRUE(f.db->enable_fast_load(true));
    EXPECT_TRUE(mss_engine::ref().is_fast_load());
    EXPECT_FALSE(mss_enable_fast_load(*f.db, false));
    EXPECT_FALSE(mss_engine::ref().is_fast_load());
    f.scope.ds->refuse = true;
    EXPECT_FALSE(f.db->enable_fast_load(true));
}

// ---------------------------------------------------------------- reading the catalogue

TEST(MssCatalogue, TablesColumnsSequencesViews)
{
    mss_fake::engine_scope scope;
    auto* s = new mss_fake::session();
    s->schema_rows[0] = table({L"TABLE_CATALOG", L"TABLE_SCHEMA", L"TABLE_NAME", L"TABLE_TYPE"},
                              {{L"c", L"dbo", L"orders", L"TABLE"}, {L"c", L"sys", L"trace", L"TABLE"}});
    s->answer = [](const std::wstring& sql, mss_fake::result& r) {
        if (sql.find(L"INFORMATION_SCHEMA.COLUMNS") != std::wstring::npos) {
            r = table({L"TABLE_NAME", L"COLUMN_NAME", L"DATA_TYPE"},
                      {{L"orders", L"id", L"int"}, {L"orders", L"shape", L"geography"}, {L"orders", L"d", L"date"}});
            return true;
        }
        if (sql.find(L"SYS.SEQUENCES") != std::wstring::npos) {
            r = table({L"n", L"s", L"i", L"mn", L"mx", L"c"},
                      {{L"seq", L"1", L"1", L"-9223372036854775808", L"9223372036854775807", L"1"}});
            return true;
        }
        if (sql.find(L"sys.sql_modules") != std::wstring::npos) {
            r = table({L"name", L"definition"},
                      {{L"v", L"CREATE VIEW v WITH SCHEMABINDING AS SELECT TOP 100 PERCENT [a] FROM dbo.t"},
                       {L"w", L"not a query"}});
            return true;
        }
        return false;
    };
    mss_database db(L"conv", L"", static_cast<IDBInitialize*>(scope.ds), s, 0);
    EXPECT_EQ(db.tables, std::vector<std::wstring>{L"dbo.orders"});
    EXPECT_EQ(s->with(L"INFORMATION_SCHEMA.COLUMNS")[0],
              L"select TABLE_NAME, COLUMN_NAME, DATA_TYPE from INFORMATION_SCHEMA.COLUMNS where TABLE_SCHEMA='dbo' "
              L"and TABLE_NAME not in ('sysalternates','sysconstraints','syssegments')");
    EXPECT_EQ(db.get_column_type(L"[dbo].[orders]", L"shape"), L"geography");
    ASSERT_EQ(db.sequences.size(), 1u);
    EXPECT_EQ(db.sequences[0].minimum, INT32_MIN);
    EXPECT_EQ(db.sequences[0].maximum, INT32_MAX);
    EXPECT_TRUE(db.sequences[0].cycle);
    ASSERT_EQ(db.views.size(), 1u);
    EXPECT_EQ(db.views[0].first, L"v");
    EXPECT_EQ(db.views[0].second, L"SELECT  a FROM t");
    EXPECT_TRUE(db.is_table_exist(L"orders"));
    // The conversion run asks through the model's interface with the bare name.
    const udb_database& model = db;
    EXPECT_TRUE(model.is_table_exist(L"ORDERS"));
    EXPECT_FALSE(model.is_table_exist(L"sales.orders"));
    EXPECT_FALSE(db.is_table_exist(L""));
    EXPECT_FALSE(db.is_table_exist(L"trace"));

    // An existing table is re-opened with the geography column as text.
    s->tables[L"[dbo].[orders]"] = table({L"id", L"shape", L"d"});
    s->statements.clear();
    auto t = db.get_table(L"orders", 1);
    auto re = s->with(L"STAsText");
    ASSERT_EQ(re.size(), 1u);
    EXPECT_EQ(re[0], L"SELECT [id],[shape].STAsText() as [shape],[d] FROM [dbo].[orders]");
    const udb_schema& sc = t->get_schema();
    EXPECT_EQ(sc[1]->dw_reserved, 8);
    EXPECT_EQ(sc[1]->vartype, VT_BSTR);
    EXPECT_EQ(sc[2]->dw_reserved, 2);
    s->Release();
}

TEST(MssCatalogue, FallbackListAndFailedSteps)
{
    mss_fake::engine_scope scope;
    auto* s = new mss_fake::session();
    s->answer = [](const std::wstring& sql, mss_fake::result& r) {
        if (sql.rfind(L"exec sp_tables", 0) == 0) {
            r = table({L"q", L"owner", L"name", L"type"}, {{L"c", L"dbo", L"t1", L"TABLE"}, {L"c", L"sys", L"x", L"TABLE"}});
            return true;
        }
        if (sql.find(L"SYS.SEQUENCES") != std::wstring::npos || sql.find(L"sys.schemas") != std::wstring::npos ||
            sql.find(L"TABLE_CONSTRAINTS") != std::wstring::npos) {
            r = failure(DB_E_ERRORSINCOMMAND, L"Invalid object name");
            return true;
        }
        return false;
    };
    mss_database db(L"my db", L"", static_cast<IDBInitialize*>(scope.ds), s, 0x80);
    auto sp = s->with(L"sp_tables");
    ASSERT_EQ(sp.size(), 1u);
    EXPECT_EQ(sp[0], L"exec sp_tables @table_owner='dbo', @table_type=\"'TABLE'\"");
    EXPECT_EQ(db.tables, std::vector<std::wstring>{L"t1"});
    EXPECT_TRUE(s->with(L"sql_modules").empty());
    std::vector<std::wstring> schemas{L"old"};
    db.get_schema_info(schemas);
    EXPECT_TRUE(schemas.empty());
    EXPECT_EQ(s->with(L"sys.schemas")[0],
              L"SELECT name FROM [my db].sys.schemas where name <> 'sys' and principal_id < 16384");
    EXPECT_FALSE(db.is_index_exist(udb_index(L"k", {L"a"}, true, true), true));
    s->Release();
}

TEST(MssDatabase, AppendModeOpensTheExistingTable)
{
    fixture f(18, 8 | 0x80);
    f.db->tables = {L"dbo.orders"};
    f.s->tables[L"[dbo].[orders]"] = table({L"id", L"name"}, {{L"1", L"a"}});
    f.s->answer = [](const std::wstring& sql, mss_fake::result& r) {
        if (sql.rfind(L"SELECT COUNT(*)", 0) == 0) {
            r = table({L"n"}, {{L"1"}});
            return true;
        }
        return false;
    };
    udb_schema schema;
    schema.push_back(column(L"id", VT_I4, 4, false, false, ole_variant(), 7));
    schema.push_back(column(L"name", VT_BSTR, 10));
    auto t = f.db->create_table(L"orders", schema, udb_indexes());
    ASSERT_TRUE(t);
    EXPECT_TRUE(f.s->with(L"CREATE TABLE").empty());
    EXPECT_EQ(t->get_record_count(), 1u);
    EXPECT_EQ(t->get_schema()[0]->dw_reserved, 7) << "the source's refinement is carried over";
    schema.push_back(column(L"extra", VT_I4, 4));
    try {
        f.db->create_table(L"orders", schema, udb_indexes());
        FAIL() << "a table of other columns was accepted";
    } catch (const tk_exception& e) {
        EXPECT_EQ(e.level(), 1);
    }
}

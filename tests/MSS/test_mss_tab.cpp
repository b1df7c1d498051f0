// The SQL Server table writer and reader against a recording session: INSERT
// statements row by row, the fall-back from bulk load, reading an existing
// table's identity, columns, keys and defaults, updates and deletes by key.
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

t_ftd* column(const std::wstring& name, VARTYPE vt, uint32_t size, bool not_null = false, bool auto_num = false)
{
    return new t_ftd(size, name, vt, not_null, auto_num);
}

// A record of (name, value) fields.
struct record : udb_record {
    record& add(const std::wstring& name, const ole_variant& v)
    {
        push_back(new udb_field(name, 0, v));
        return *this;
    }
};

ole_variant null_value()
{
    ole_variant v;
    v.set_null();
    return v;
}

} // namespace

namespace {
using mss_fake::recording_handler;

const wchar_t* const batch_head = L"SET XACT_ABORT ON; BEGIN TRANSACTION;\n";
const wchar_t* const batch_tail = L"COMMIT TRANSACTION; SET XACT_ABORT OFF;";

// The server refuses, as a key violation, whatever statement holds the row with this id.
void refuse_row(mss_fake::session* s, int id)
{
    s->answer = [marker = L"( " + std::to_wstring(id) + L")"](const std::wstring& sql, mss_fake::result& r) {
        if (sql.find(marker) == std::wstring::npos)
            return false;
        r = failure(DB_E_INTEGRITYVIOLATION, L"Violation of PRIMARY KEY constraint");
        return true;
    };
}

// Hands the table one row for each id from first to last, in a single column "id".
void append_ids(mss_table& t, int first, int last)
{
    for (int id = first; id <= last; ++id) {
        record r;
        r.add(L"id", ole_variant(id));
        t.append_record(r);
    }
}
} // namespace

TEST(MssTable, InsertStatementsTravelInBatches)
{
    mss_fake::engine_scope scope(18, false, false);
    auto* s = new mss_fake::session();
    udb_schema schema;
    schema.push_back(column(L"id", VT_I4, 4));
    schema.push_back(column(L"name", VT_BSTR, 20));
    schema.push_back(column(L"note", VT_BSTR, 20));
    {
        mss_table t(L"[dbo].[people]", s, schema, nullptr);
        EXPECT_EQ(t.get_record_count(), 0u);
        record r;
        r.add(L"id", ole_variant(7)).add(L"name", ole_variant(std::wstring(L"O'Hara"))).add(L"note", null_value());
        t.append_record(r);
        EXPECT_EQ(t.get_record_count(), 1u);

        // Fields are matched by name, whatever their order in the record.
        record swapped;
        swapped.add(L"note", ole_variant(std::wstring(L"x"))).add(L"id", ole_variant(8)).add(L"name",
                                                                                          ole_variant(std::wstring(L"b")));
        t.append_record(swapped);
        EXPECT_EQ(t.get_record_count(), 2u);
        // The rows wait for their round trip.
        EXPECT_TRUE(s->with(L"INSERT INTO").empty());

        // One field too many: nothing is kept, nothing counted.
        record wide;
        wide.add(L"id", ole_variant(1)).add(L"name", ole_variant(1)).add(L"note", ole_variant(1)).add(L"x", ole_variant(1));
        try {
            t.append_record(wide);
            FAIL() << "a wider record was stored";
        } catch (const tk_exception& e) {
            EXPECT_EQ(e.level(), 0);
            EXPECT_STREQ(e.what(), "The structure of data source does not conform to the destination table.");
        }
        // A field missing by name.
        record renamed;
        renamed.add(L"id", ole_variant(1)).add(L"nom", ole_variant(1)).add(L"note", ole_variant(1));
        EXPECT_THROW(t.append_record(renamed), tk_exception);
        EXPECT_EQ(t.get_record_count(), 2u);
    }
    // The end of the table sends them: one INSERT statement with both rows, in one transaction.
    auto sent = s->with(L"INSERT INTO");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], std::wstring(batch_head) +
                           L"INSERT INTO [dbo].[people]([id], [name], [note]) VALUES( 7, 'O''Hara', NULL),( 8, 'b', 'x');\n" +
                           batch_tail);

    // A full round trip goes at once: 1000 rows, 100 to a statement.
    s->statements.clear();
    {
        mss_table t(L"[dbo].[people]", s, schema, nullptr);
        record r;
        r.add(L"id", ole_variant(1)).add(L"name", null_value()).add(L"note", null_value());
        for (int i = 0; i < 1001; ++i)
            t.append_record(r);
        ASSERT_EQ(s->with(L"INSERT INTO").size(), 1u);
        const std::wstring trip = s->with(L"INSERT INTO")[0];
        std::size_t statements = 0, rows = 0;
        for (std::size_t at = trip.find(L"INSERT INTO"); at != std::wstring::npos; at = trip.find(L"INSERT INTO", at + 1))
            ++statements;
        for (std::size_t at = trip.find(L"( 1, NULL, NULL)"); at != std::wstring::npos; at = trip.find(L"( 1, NULL", at + 1))
            ++rows;
        EXPECT_EQ(statements, 10u);
        EXPECT_EQ(rows, 1000u);
    }
    // The last row alone, without a transaction.
    ASSERT_EQ(s->with(L"INSERT INTO").size(), 2u);
    EXPECT_EQ(s->with(L"INSERT INTO")[1], L"INSERT INTO [dbo].[people]([id], [name], [note]) VALUES( 1, NULL, NULL)");
    s->Release();
}

TEST(MssTable, AFailingRowIsReportedOnItsOwnAndTheOthersAreStored)
{
    recording_handler handler;
    mss_fake::engine_scope scope(18, false, false);
    auto* s = new mss_fake::session();
    udb_schema schema;
    schema.push_back(column(L"id", VT_I4, 4));
    // The server refuses the row with id 7, and so the whole batch that holds it.
    refuse_row(s, 7);
    {
        mss_table t(L"[dbo].[people]", s, schema, nullptr);
        append_ids(t, 6, 8);
    }
    ASSERT_EQ(handler.messages.size(), 1u);
    EXPECT_NE(handler.messages[0].find("people, record #2: "), std::string::npos) << handler.messages[0];
    EXPECT_NE(handler.messages[0].find("integrity"), std::string::npos) << handler.messages[0];
    // The batch, the rollback of what it left, then each row on its own.
    std::size_t b = 0;
    while (b < s->statements.size() && s->statements[b].rfind(batch_head, 0) != 0)
        ++b;
    ASSERT_EQ(s->statements.size(), b + 5);
    EXPECT_EQ(s->statements[b + 1], L"IF @@TRANCOUNT > 0 ROLLBACK TRANSACTION; SET XACT_ABORT OFF;");
    EXPECT_EQ(s->statements[b + 2], L"INSERT INTO [dbo].[people]([id]) VALUES( 6)");
    EXPECT_EQ(s->statements[b + 3], L"INSERT INTO [dbo].[people]([id]) VALUES( 7)");
    EXPECT_EQ(s->statements[b + 4], L"INSERT INTO [dbo].[people]([id]) VALUES( 8)");
    s->answer = nullptr;
    s->Release();
}

// A statement cancelled by a stop request (SQLSTATE HY008) refuses no row: the table hands the
// cancel to its caller at once, reports nothing and sends nothing again.
TEST(MssTable, ACancelledBatchIsPassedOnNeitherReportedNorSentAgain)
{
    recording_handler handler;
    mss_fake::engine_scope scope(18, false, false);
    auto* s = new mss_fake::session();
    udb_schema schema;
    schema.push_back(column(L"id", VT_I4, 4));
    s->answer = [](const std::wstring& sql, mss_fake::result& r) {
        if (sql.find(L"INSERT INTO") == std::wstring::npos)
            return false;
        r = failure(static_cast<HRESULT>(odbc::hr::canceled), L"Operation canceled");
        r.sqlstate = "HY008";
        return true;
    };
    {
        mss_table t(L"[dbo].[people]", s, schema, nullptr);
        append_ids(t, 1, 250);
        try {
            t.flush();
            ADD_FAILURE() << "the cancel was not passed on";
        } catch (const odb_exception& e) {
            EXPECT_TRUE(e.cancelled());
            EXPECT_FALSE(e.connection_lost());
        }
    }
    EXPECT_EQ(handler.messages, std::vector<std::string>());
    EXPECT_EQ(s->with(L"INSERT INTO").size(), 1u);
    EXPECT_EQ(s->with(L"ROLLBACK").size(), 0u);
    s->answer = nullptr;
    s->Release();
}

TEST(MssTable, AFailingStatementIsSentAgainRowByRowAndTheOtherStatementsStand)
{
    recording_handler handler;
    mss_fake::engine_scope scope(18, false, false);
    auto* s = new mss_fake::session();
    udb_schema schema;
    schema.push_back(column(L"id", VT_I4, 4));
    // The server refuses row 150 and whatever statement holds it.
    refuse_row(s, 150);
    {
        mss_table t(L"[dbo].[people]", s, schema, nullptr);
        append_ids(t, 1, 250);
        EXPECT_EQ(t.get_record_count(), 250u);
    }
    ASSERT_EQ(handler.messages.size(), 1u);
    EXPECT_NE(handler.messages[0].find("people, record #150: "), std::string::npos) << handler.messages[0];
    // The round trip, its rollback; rows 1-100 as one statement, 101-200 refused as one and then
    // sent row by row, 201-250 as one.
    std::size_t b = 0;
    while (b < s->statements.size() && s->statements[b].rfind(batch_head, 0) != 0)
        ++b;
    ASSERT_EQ(s->statements.size(), b + 1 + 1 + 1 + 1 + 100 + 1);
    EXPECT_EQ(s->statements[b + 1], L"IF @@TRANCOUNT > 0 ROLLBACK TRANSACTION; SET XACT_ABORT OFF;");
    EXPECT_EQ(s->statements[b + 2].rfind(L"INSERT INTO [dbo].[people]([id]) VALUES( 1),( 2),", 0), 0u);
    EXPECT_NE(s->statements[b + 2].find(L",( 100)"), std::wstring::npos);
    EXPECT_EQ(s->statements[b + 3].rfind(L"INSERT INTO [dbo].[people]([id]) VALUES( 101),", 0), 0u);
    EXPECT_EQ(s->statements[b + 4], L"INSERT INTO [dbo].[people]([id]) VALUES( 101)");
    EXPECT_EQ(s->statements[b + 103], L"INSERT INTO [dbo].[people]([id]) VALUES( 200)");
    EXPECT_EQ(s->statements[b + 104].rfind(L"INSERT INTO [dbo].[people]([id]) VALUES( 201),", 0), 0u);
    s->answer = nullptr;
    s->Release();
}

TEST(MssTable, IdentityTablesSwitchInsertOnOnceAndOffAtTheEnd)
{
    mss_fake::engine_scope scope;
    auto* s = new mss_fake::session();
    udb_schema schema;
    schema.push_back(column(L"id", VT_I4, 4, true, true));
    schema.push_back(column(L"v", VT_R8, 8));
    {
        mss_table t(L"[dbo].[t]", s, schema, nullptr);
        EXPECT_TRUE(t.has_identity());
        record r;
        r.add(L"id", ole_variant(1)).add(L"v", ole_variant(2.5));
        t.append_record(r);
        t.append_record(r);
    }
    auto switches = s->with(L"IDENTITY_INSERT");
    ASSERT_EQ(switches.size(), 2u);
    EXPECT_EQ(switches[0], L"SET IDENTITY_INSERT [dbo].[t] ON;");
    EXPECT_EQ(switches[1], L"SET IDENTITY_INSERT [dbo].[t] OFF;");
    EXPECT_EQ(s->statements.back(), switches[1]);
    auto inserts = s->with(L"INSERT INTO");
    ASSERT_EQ(inserts.size(), 1u);
    const std::wstring row = L"( 1, 2.5000000000000000e+00)";
    EXPECT_EQ(inserts[0], std::wstring(batch_head) + L"INSERT INTO [dbo].[t]([id], [v]) VALUES" + row + L"," + row + L";\n" + batch_tail);
    s->Release();
}

TEST(MssTable, BulkLoadThatCannotOpenFallsBackToInsert)
{
    // Bulk load is on, but this session cannot give a bulk-load rowset.
    mss_fake::engine_scope scope(18, true);
    ASSERT_TRUE(mss_engine::ref().is_fast_load());
    auto* s = new mss_fake::session();
    udb_schema schema;
    schema.push_back(column(L"id", VT_I4, 4));
    {
        mss_table t(L"[dbo].[t]", s, schema, nullptr);
        record r;
        r.add(L"id", ole_variant(5));
        t.append_record(r);
        EXPECT_TRUE(t.is_fl_failed());
        EXPECT_EQ(t.get_record_count(), 1u);
        r[0]->value() = ole_variant(6);
        t.append_record(r);
        EXPECT_EQ(t.get_record_count(), 2u);
    }
    auto inserts = s->with(L"INSERT INTO");
    ASSERT_EQ(inserts.size(), 1u);
    EXPECT_NE(inserts[0].find(L"INSERT INTO [dbo].[t]([id]) VALUES( 5),( 6);"), std::wstring::npos);
    // Without an identity column nothing switches identity inserts.
    EXPECT_TRUE(s->with(L"IDENTITY_INSERT").empty());

    // An identity table that fell back to INSERT switches the identity off again,
    // so that the next identity table of the session can switch it on.
    schema[0]->b_auto_num = true;
    for (const wchar_t* name : {L"[dbo].[a]", L"[dbo].[b]"}) {
        mss_table t(name, s, schema, nullptr);
        record r;
        r.add(L"id", ole_variant(1));
        t.append_record(r);
    }
    auto switches = s->with(L"IDENTITY_INSERT");
    ASSERT_EQ(switches.size(), 4u);
    EXPECT_EQ(switches[1], L"SET IDENTITY_INSERT [dbo].[a] OFF;");
    EXPECT_EQ(switches[2], L"SET IDENTITY_INSERT [dbo].[b] ON;");
    s->Release();
}

TEST(MssTable, MissingTableIsRetriedUnderDbo)
{
    mss_fake::engine_scope scope;
    auto* s = new mss_fake::session();
    s->tables[L"[dbo].[t]"] = table({L"a"}, {{L"1"}});
    mss_table t(L"[sales].[t]", s, 0x61, nullptr);
    ASSERT_EQ(s->opened.size(), 2u);
    EXPECT_EQ(s->opened[0], L"[sales].[t]");
    EXPECT_EQ(s->opened[1], L"[dbo].[t]");
    EXPECT_EQ(t.get_name(), L"[dbo].[t]");
    // Other failures are not retried.
    EXPECT_THROW(mss_table(L"[dbo].[none]", s, 0x61, nullptr), odb_exception);
    s->Release();
}

TEST(MssTable, ReadingAnExistingTable)
{
    mss_fake::engine_scope scope;
    auto* s = new mss_fake::session();
    s->tables[L"[dbo].[items]"] = table({L"id", L"code", L"price", L"made"}, {{L"1", L"a", L"2.5", L"\x1"}});
    s->tables[L"[dbo].[items]"].types = {DBTYPE_I4, DBTYPE_WSTR, DBTYPE_R8, DBTYPE_DBTIMESTAMP};
    s->tables[L"[dbo].[items]"].sizes = {0, 10, 0, 0};
    s->schema_rows[1] = table({L"TABLE_NAME", L"COLUMN_NAME", L"ORDINAL", L"PK_NAME"},
                              {{L"items", L"code", L"2", L"pk_items"}, {L"items", L"id", L"1", L"pk_items"}});
    s->schema_rows[2] = table({L"TABLE_NAME", L"INDEX_NAME", L"PRIMARY_KEY", L"UNIQUE", L"COLUMN_NAME"},
                              {{L"items", L"pk_items", L"1", L"1", L"id"},
                               {L"items", L"ix_price", L"0", L"0", L"price"},
                               {L"items", L"ix_price", L"0", L"0", L"code"}});
    s->schema_rows[3] = table({L"PK_TABLE_NAME", L"PK_COLUMN_NAME", L"FK_TABLE_NAME", L"FK_COLUMN_NAME",
                               L"UPDATE_RULE", L"DELETE_RULE", L"FK_NAME"},
                              {{L"items", L"id", L"lines", L"item", L"NO ACTION", L"CASCADE", L"fk_l"}});
    s->answer = [](const std::wstring& sql, mss_fake::result& r) {
        if (sql.find(L"SYS.IDENTITY_COLUMNS") != std::wstring::npos) {
            r = table({L"c", L"s", L"i"}, {{L"id", L"100", L"5"}});
            return true;
        }
        if (sql.find(L"sys.default_constraints") != std::wstring::npos) {
            r = table({L"name", L"type", L"def", L"p", L"s", L"n", L"ident"},
                      {{L"id", L"int", L"\x1", L"10", L"0", L"0", L"1"},
                       {L"code", L"char", L"('" + std::wstring(11, L'z') + L"')", L"0", L"0", L"0", L"0"},
                       {L"price", L"float", L"((0))", L"53", L"0", L"1", L"0"},
                       {L"made", L"datetime", L"(getdate())", L"23", L"3", L"1", L"0"}});
            return true;
        }
        if (sql.find(L"is_included_column=1") != std::wstring::npos) {
            r = table({L"name"}, {{L"made"}});
            return sql.find(L"ix_price") != std::wstring::npos;
        }
        return false;
    };
    udb_relationships rels;
    mss_table t(L"[dbo].[items]", s, 1, &rels);
    EXPECT_EQ(t.get_record_count(), 0u);   // the scripted count
    const udb_schema& sc = t.get_schema();
    ASSERT_EQ(sc.size(), 4u);
    EXPECT_TRUE(sc[0]->b_auto_num);
    EXPECT_TRUE(t.has_identity());
    EXPECT_EQ(sc.auto_seed, 100);
    EXPECT_EQ(sc.auto_increment, 5);
    EXPECT_EQ(sc[1]->dw_reserved, 0) << "the rest of a row with an over-long default is not applied";
    EXPECT_TRUE(sc[1]->def_value.is_empty()) << "a default longer than the column is dropped";
    EXPECT_EQ(sc[2]->def_value.get_type(), VT_R8);
    EXPECT_EQ(sc[2]->def_value.to_double(), 0.0);
    EXPECT_EQ(sc[3]->dw_reserved, 9);
    EXPECT_TRUE(t.get_has_primary_key());
    const udb_indexes& idx = t.get_indexes();
    ASSERT_EQ(idx.size(), 2u);
    EXPECT_EQ(idx[0].fields, (std::vector<std::wstring>{L"id", L"code"}));
    EXPECT_EQ(idx[1].fields, (std::vector<std::wstring>{L"price", L"code"}));
    EXPECT_EQ(idx[1].included, std::vector<std::wstring>{L"made"});
    ASSERT_EQ(rels.size(), 1u);
    EXPECT_EQ(rels[0].properties, L" ON UPDATE NO ACTION ON DELETE CASCADE");
    EXPECT_EQ(s->with(L"SYS.IDENTITY_COLUMNS")[0],
              L"SELECT NAME AS COLUMNNAME,CAST(LAST_VALUE AS INT),CAST(INCREMENT_VALUE AS INT) FROM "
              L"SYS.IDENTITY_COLUMNS WHERE OBJECT_NAME(OBJECT_ID)='items' AND OBJECT_SCHEMA_NAME(OBJECT_ID)='dbo'");
    s->Release();
}

TEST(MssTable, DefaultValuesAsTheServerSpellsThem)
{
    ole_variant v;
    t_ftd text(10, L"t", VT_BSTR, false, false);
    mss_table::get_def_value(v, text, L"('it''s')");
    EXPECT_EQ(v.to_wstring(), L"it's");
    mss_table::get_def_value(v, text, L"(N'abc')");
    EXPECT_EQ(v.to_wstring(), L"abc");
    mss_table::get_def_value(v, text, L"(NULL)");
    EXPECT_TRUE(v.is_empty());
    t_ftd date(0, L"d", VT_DATE, false, false);
    mss_table::get_def_value(v, date, L"(getdate())");
    EXPECT_EQ(v.get_type(), VT_BSTR);
    EXPECT_EQ(v.to_wstring(), L"getdate()");
    mss_table::get_def_value(v, date, L"('2020-01-02 03:04:05')");
    EXPECT_EQ(v.get_type(), VT_DATE);
    t_ftd num(4, L"n", VT_I4, false, false);
    mss_table::get_def_value(v, num, L"((42))");
    EXPECT_EQ(v.to_long(), 42);
}

TEST(MssTable, UpdatesAndDeletesByKey)
{
    mss_fake::engine_scope scope(18, false, false);
    auto* s = new mss_fake::session();
    udb_schema schema;
    schema.push_back(column(L"id", VT_I4, 4));
    schema.push_back(column(L"name", VT_BSTR, 20));
    mss_table t(L"[dbo].[p]", s, schema, nullptr);
    record r;
    r.add(L"id", ole_variant(3)).add(L"name", ole_variant(std::wstring(L"x'y")));
    // Without a key nothing is updated.
    t.update(r);
    EXPECT_TRUE(s->with(L"UPDATE").empty());
    t.n_u_index = t.add_index(udb_index(L"pk", {L"id"}, true, true));
    t.update(r);
    EXPECT_EQ(s->statements.back(), L"UPDATE [dbo].[p] SET [name]='x''y' WHERE [id]=3");
    t.delete_key(r);
    EXPECT_EQ(s->statements.back(), L"DELETE FROM [dbo].[p] WITH (ROWLOCK) WHERE [id]=3 AND [name]='x''y'");
    // A record with no column of the table deletes nothing (not every row).
    record other;
    other.add(L"zzz", ole_variant(1));
    std::size_t before = s->statements.size();
    t.delete_key(other);
    EXPECT_EQ(s->statements.size(), before);
    // Failures are logged, not thrown.
    s->answer = [](const std::wstring&, mss_fake::result& res) {
        res = failure(DB_E_ERRORSINCOMMAND, L"boom");
        return true;
    };
    EXPECT_NO_THROW(t.delete_key(r));
    EXPECT_NO_THROW(t.update(r));
    s->answer = nullptr;
    s->Release();
}

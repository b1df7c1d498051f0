// Commands, recordsets and catalogue rowsets through the provider, with SQLite's
// ODBC driver standing in for the server.
#include "MSS/mss_engi.h"
#include "MSS/odb_exce.h"
#include "MSS/odb_mdat.h"
#include "MSS/odb_recs.h"
#include "odb_support.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

class OdbSqlite : public ::testing::Test {
protected:
    void SetUp() override
    {
        ODB_NEED_DRIVERS();
        OleDbRegisterProviders();
        odb_initializer init;
        init.test_connection(ds, odb_test::sqlite_server("recs"), L"", L"", L"");
        EXPECT_TRUE(init.native);   // reached through a native provider class
        cmd = std::make_unique<odb_command>(ds.get());
    }

    std::unique_ptr<odb_recordset> select(const std::wstring& sql)
    {
        IRowset* raw = nullptr;
        cmd->execute(sql, &raw);
        EXPECT_NE(raw, nullptr);
        auto rs = std::make_unique<odb_recordset>(raw);
        raw->Release();
        return rs;
    }

    int count_rows(odb_recordset& rs)
    {
        int n = 0;
        rs.reset();
        while (!rs.is_eof()) {
            ++n;
            rs.next();
        }
        return n;
    }

    ole_com_ptr<IDBInitialize> ds;
    std::unique_ptr<odb_command> cmd;
};

} // namespace

TEST_F(OdbSqlite, RowsArriveAsTypedFields)
{
    cmd->execute(L"CREATE TABLE t (id INTEGER NOT NULL, name VARCHAR(30), amount DOUBLE, pic BLOB)");
    cmd->execute(L"INSERT INTO t VALUES (1, 'Zo\u00eb', 12.5, x'DEADBEEF')");
    cmd->execute(L"INSERT INTO t VALUES (2, NULL, NULL, NULL)");
    auto rs = select(L"SELECT id, name, amount, pic FROM t ORDER BY id");
    const udb_schema& s = rs->get_schema();
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[0]->name, L"id");
    EXPECT_EQ(s[0]->vartype, VT_I4);
    EXPECT_EQ(s[1]->vartype, VT_BSTR);
    EXPECT_EQ(s[2]->vartype, VT_R8);
    EXPECT_EQ(s[3]->vartype, VT_ARRAY | VT_UI1);
    EXPECT_EQ(s[3]->size, 0u);

    rs->reset();
    ASSERT_FALSE(rs->is_eof());
    odb_record* r = rs->get_item();
    ASSERT_EQ(r->size(), 4u);
    EXPECT_EQ((*r)[0]->ole_variant::get_type(), VT_I4);
    EXPECT_EQ((*r)[0]->to_long(), 1);
    EXPECT_EQ((*r)[1]->to_wstring(), L"Zo\u00eb");
    EXPECT_DOUBLE_EQ((*r)[2]->to_double(), 12.5);
    EXPECT_EQ((*r)[3]->binary_size(), 4u);
    EXPECT_EQ((*r)[3]->binary_data()[0], 0xDE);
    rs->next();
    ASSERT_FALSE(rs->is_eof());
    r = rs->get_item();
    // NULL values arrive as empty fields.
    EXPECT_EQ((*r)[1]->ole_variant::get_type(), VT_EMPTY);
    EXPECT_EQ((*r)[3]->ole_variant::get_type(), VT_EMPTY);
    rs->next();
    EXPECT_TRUE(rs->is_eof());
}

TEST_F(OdbSqlite, EmptyResultAndInternalChecks)
{
    cmd->execute(L"CREATE TABLE e (a INTEGER)");
    auto rs = select(L"SELECT a FROM e");
    rs->reset();
    EXPECT_TRUE(rs->is_eof());
    EXPECT_THROW(rs->get_item(), tk_mail_assertion);
    EXPECT_THROW(rs->next(), tk_mail_assertion);
    udb_record rec;
    EXPECT_THROW(rs->append_record(rec), tk_mail_assertion);
    // A SELECT run without a result pointer returns nothing and fails nothing.
    EXPECT_NO_THROW(cmd->execute(L"SELECT a FROM e"));
}

TEST_F(OdbSqlite, BatchesOfAHundredAndRestarts)
{
    cmd->execute(L"CREATE TABLE n (a INTEGER)");
    cmd->execute(L"WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 100) "
                 L"INSERT INTO n SELECT x FROM c");
    auto rs = select(L"SELECT a FROM n ORDER BY a");
    rs->reset();
    for (int i = 1; i <= 100; ++i) {
        ASSERT_FALSE(rs->is_eof()) << i;
        EXPECT_EQ(rs->get_item()->at(0)->to_long(), i);
        rs->next();
    }
    EXPECT_TRUE(rs->is_eof());
    EXPECT_EQ(rs->get_cur_pos(), 100u);
    // A restart reads the same rows again.
    EXPECT_EQ(count_rows(*rs), 100);
    cmd->execute(L"INSERT INTO n SELECT a + 100 FROM n");
    cmd->execute(L"INSERT INTO n SELECT a + 200 FROM n WHERE a <= 50");
    auto more = select(L"SELECT a FROM n");
    EXPECT_EQ(count_rows(*more), 250);
}

TEST_F(OdbSqlite, LongTextIsReadWhole)
{
    cmd->execute(L"CREATE TABLE m (v TEXT)");
    cmd->execute(L"INSERT INTO m VALUES (replace(hex(zeroblob(150000)), '00', 'ab'))");
    auto rs = select(L"SELECT v, length(v) FROM m");
    rs->reset();
    ASSERT_FALSE(rs->is_eof());
    EXPECT_EQ(rs->get_item()->at(0)->to_wstring().size(), 300000u);
}

TEST_F(OdbSqlite, FailedStatementsThrowWithTheDriverText)
{
    cmd->execute(L"CREATE TABLE k (id INTEGER PRIMARY KEY)");
    cmd->execute(L"INSERT INTO k VALUES (1)");
    try {
        cmd->execute(L"INSERT INTO k VALUES (2); INSERT INTO k VALUES (1)");
        FAIL() << "the failing second statement passed";
    } catch (const odb_exception& e) {
        EXPECT_EQ(e.level(), 0);
        EXPECT_EQ(e.code() & 0xFFFF0000, 0x80000);
        EXPECT_NE(std::string(e.what()), "Unknown exception");
        EXPECT_NE(e.what()[0], '[');
    }
    EXPECT_THROW(cmd->execute(L"SELECT * FROM missing_table"), odb_exception);
}

TEST_F(OdbSqlite, CatalogueRowsetsAsRecordsets)
{
    cmd->execute(L"CREATE TABLE parent (id INTEGER PRIMARY KEY, code VARCHAR(10))");
    cmd->execute(L"CREATE UNIQUE INDEX ux_code ON parent(code)");
    cmd->execute(L"CREATE TABLE child (id INTEGER, pid INTEGER REFERENCES parent(id) ON UPDATE CASCADE)");
    ole_com_ptr<IDBCreateSession> cs;
    ASSERT_EQ(ds->QueryInterface(IID_IDBCreateSession, reinterpret_cast<void**>(&cs)), S_OK);
    ole_com_ptr<IOpenRowset> session;
    ASSERT_EQ(cs->CreateSession(nullptr, IID_IOpenRowset, reinterpret_cast<IUnknown**>(&session)), S_OK);

    auto field = [](udb_recordset& rs, const wchar_t* name) {
        udb_field* f = rs.get_item()->get_field(name);
        return f ? f->to_wstring() : std::wstring(L"<missing>");
    };

    odb_tl_meta_data tables(session.get(), L"");
    std::vector<std::wstring> names;
    for (tables.reset(); !tables.is_eof(); tables.next())
        names.push_back(field(tables, L"TABLE_NAME"));
    EXPECT_NE(std::find(names.begin(), names.end(), L"parent"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), L"child"), names.end());

    odb_pk_meta_data pk(session.get(), L"parent", L"");
    pk.reset();
    ASSERT_FALSE(pk.is_eof());
    EXPECT_EQ(field(pk, L"COLUMN_NAME"), L"id");
    EXPECT_EQ(pk.get_item()->get_field(L"ORDINAL")->to_long(), 1);

    odb_fk_meta_data fk(session.get(), L"parent", L"");
    fk.reset();
    ASSERT_FALSE(fk.is_eof());
    EXPECT_EQ(field(fk, L"FK_TABLE_NAME"), L"child");
    EXPECT_EQ(field(fk, L"FK_COLUMN_NAME"), L"pid");
    EXPECT_EQ(field(fk, L"PK_COLUMN_NAME"), L"id");
    EXPECT_EQ(field(fk, L"UPDATE_RULE"), L"CASCADE");

    odb_id_meta_data idx(session.get(), L"parent", L"");
    bool seen = false;
    for (idx.reset(); !idx.is_eof(); idx.next())
        if (field(idx, L"INDEX_NAME") == L"ux_code") {
            seen = true;
            EXPECT_TRUE(idx.get_item()->get_field(L"UNIQUE")->to_bool());
            EXPECT_FALSE(idx.get_item()->get_field(L"PRIMARY_KEY")->to_bool());
            EXPECT_EQ(field(idx, L"COLUMN_NAME"), L"code");
        }
    EXPECT_TRUE(seen);

    // A catalogue rowset read while a statement's rows are still pending on
    // the same session leaves those rows intact.
    IRowset* raw = nullptr;
    odb_command on_session(session.get());
    on_session.execute(L"SELECT id FROM parent", &raw);
    odb_recordset open_rs(raw);
    raw->Release();
    odb_pk_meta_data again(session.get(), L"parent", L"");
    again.reset();
    EXPECT_FALSE(again.is_eof());
    open_rs.reset();
    EXPECT_TRUE(open_rs.is_eof());   // parent has no rows
}

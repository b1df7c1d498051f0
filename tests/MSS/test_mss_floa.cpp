// Bulk load: the stream object for long values, the row buffer's bindings and
// the fast-load rowset through the ODBC provider on a SQLite database; a live
// suite against a real server when DRAV_TEST_MSSQL_DSN names one.
#include "support/live_server.h"
#include "MSS/mss_db.h"
#include "MSS/mss_floa.h"
#include "MSS/mss_tab.h"
#include "MSS/odb_exce.h"
#include "MSS/odb_recs.h"
#include "mss_fake.h"
#include "odb_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

struct sqlite_db {
    mss_fake::engine_scope scope{18, false, false};
    ole_com_ptr<IDBInitialize> ds;
    ole_com_ptr<IOpenRowset> session;

    explicit sqlite_db(const std::string& name, bool fast_load)
    {
        mss_engine::ref().get_initializer().test_connection(ds, odb_test::sqlite_server(name), L"", L"", L"");
        mss_engine::ref().enable_fast_load(ds.get(), fast_load);
        ole_com_ptr<IDBCreateSession> create;
        EXPECT_EQ(ds->QueryInterface(IID_IDBCreateSession, reinterpret_cast<void**>(&create)), S_OK);
        EXPECT_EQ(create->CreateSession(nullptr, IID_IOpenRowset, reinterpret_cast<IUnknown**>(&session)), S_OK);
    }

    void run(const std::wstring& sql)
    {
        odb_command(session.get()).execute(sql);
    }

    // Every row of a statement, as text, NULL as "<null>".
    std::vector<std::vector<std::wstring>> rows(const std::wstring& sql)
    {
        odb_command cmd(session.get());
        IRowset* rs = nullptr;
        cmd.execute(sql, &rs);
        ole_com_ptr<IRowset> holder(rs);
        odb_recordset r(rs);
        std::vector<std::vector<std::wstring>> out;
        for (r.reset(); !r.is_eof(); r.next()) {
            std::vector<std::wstring> row;
            for (udb_field* f : *r.get_item())
                row.push_back(f->is_null() || f->is_empty() ? L"<null>" : f->to_wstring());
            out.push_back(row);
        }
        return out;
    }
};

CSeqStream* make_stream(const std::string& bytes)
{
    auto* s = new CSeqStream();
    ULONG written = 0;
    EXPECT_EQ(s->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written), S_OK);
    EXPECT_EQ(written, bytes.size());
    return s;
}

} // namespace

TEST(MssSeqStream, ReadsWritesAndInterfaces)
{
    CSeqStream* s = make_stream("hello world");
    EXPECT_EQ(s->Length(), 11u);
    EXPECT_TRUE(s->Compare("hello world"));
    EXPECT_FALSE(s->Compare("hello_world"));
    char buf[32] = {};
    ULONG got = 99;
    EXPECT_EQ(s->Read(buf, 5, &got), S_OK);
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(std::string(buf, 5), "hello");
    // More asked than left: the rest and S_FALSE; then nothing and S_FALSE.
    EXPECT_EQ(s->Read(buf, sizeof buf, &got), S_FALSE);
    EXPECT_EQ(got, 6u);
    EXPECT_EQ(std::string(buf, 6), " world");
    EXPECT_EQ(s->Read(buf, sizeof buf, &got), S_FALSE);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(s->Read(nullptr, 1, &got), STG_E_INVALIDPOINTER);
    EXPECT_EQ(s->Write(nullptr, 1, nullptr), STG_E_INVALIDPOINTER);
    EXPECT_EQ(s->Read(buf, 0, &got), S_OK);

    void* p = nullptr;
    EXPECT_EQ(s->QueryInterface(IID_IStream, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(s->QueryInterface(IID_ISequentialStream, &p), S_OK);
    EXPECT_EQ(p, static_cast<ISequentialStream*>(s));
    EXPECT_EQ(s->Release(), 1u);
    EXPECT_TRUE(s->Clear());
    EXPECT_EQ(s->Length(), 0u);
    EXPECT_EQ(s->Release(), 0u);
}

TEST(MssFastLoad, PreconditionsAndFallback)
{
    mss_fake::engine_scope scope;
    mss_fast_load fl;
    EXPECT_THROW(fl.close_table(), tk_mail_assertion);
    EXPECT_THROW(fl.insert_data(), tk_mail_assertion);
    EXPECT_THROW(fl.bind_data2(nullptr, 0, 1), tk_mail_assertion);
    // A session of another provider has no bulk-load rowset.
    auto* s = new mss_fake::session();
    DBID id{GUID_NULL, DBKIND_NAME, L"t"};
    EXPECT_TRUE(FAILED(fl.open_table(s, &id, udb_schema())));
    EXPECT_FALSE(fl.is_opened());
    EXPECT_THROW(fl.open_table(s, nullptr, udb_schema()), tk_mail_assertion);
    s->Release();
}

TEST(MssFastLoad, RowsThroughTheOdbcProvider)
{
    ODB_NEED_DRIVERS();
    {
        // Bulk load not switched on for the data source: refused, so the writer uses INSERT.
        sqlite_db db("fl_off", false);
        db.run(L"CREATE TABLE t (id INTEGER)");
        mss_fast_load fl;
        DBID id{GUID_NULL, DBKIND_NAME, L"t"};
        EXPECT_TRUE(FAILED(fl.open_table(db.session.get(), &id, udb_schema())));
    }
    sqlite_db db("fl_rows", true);
    db.run(L"CREATE TABLE t (id INTEGER, price DOUBLE, name VARCHAR(10), memo TEXT, data BLOB)");
    mss_fast_load fl;
    DBID id{GUID_NULL, DBKIND_NAME, L"t"};
    ASSERT_EQ(fl.open_table(db.session.get(), &id, udb_schema()), S_OK);
    EXPECT_TRUE(fl.is_opened());
    EXPECT_FALSE(fl.bind_data2(nullptr, 0, 99)) << "a column no binding has";

    auto bind_int = [&](DBORDINAL col, std::int64_t v) {
        DBTYPE t = fl.GetColumnType(col);
        if (t == DBTYPE_I8) {
            ASSERT_TRUE(fl.bind_data2(&v, 8, col));
        } else {
            ASSERT_EQ(t, DBTYPE_I4);
            std::int32_t v4 = static_cast<std::int32_t>(v);
            ASSERT_TRUE(fl.bind_data2(&v4, 4, col));
        }
    };
    auto bind_text = [&](DBORDINAL col, const std::wstring& text) {
        DBTYPE t = fl.GetColumnType(col);
        std::u16string u = odbc::to_utf16(text);
        if (t == DBTYPE_IUNKNOWN) {
            // SQLite's TEXT is a narrow long column: its stream carries ANSI text.
            CSeqStream* s = make_stream(odbc::to_utf8(text));
            ISequentialStream* p = s;
            ASSERT_TRUE(fl.bind_data3(&p, sizeof p, s->Length(), col));
        } else if (t == DBTYPE_STR) {
            std::string narrow = odbc::to_utf8(text);
            ASSERT_TRUE(fl.bind_data2(narrow.data(), narrow.size(), col));
        } else {
            ASSERT_EQ(t, DBTYPE_WSTR);
            ASSERT_TRUE(fl.bind_data2(u.data(), u.size() * 2, col));
        }
    };
    for (int row = 1; row <= 3; ++row) {
        bind_int(1, row);
        double price = row * 1.5;
        ASSERT_TRUE(fl.bind_data2(&price, 8, 2));
        bind_text(3, L"n" + std::to_wstring(row));
        if (row == 2)
            ASSERT_TRUE(fl.bind_data2(nullptr, 0, 4));   // NULL
        else
            bind_text(4, std::wstring(row * 3000, L'm'));
        if (fl.GetColumnType(5) == DBTYPE_IUNKNOWN) {
            CSeqStream* s = make_stream(std::string(row, '\x7f'));
            ISequentialStream* p = s;
            ASSERT_TRUE(fl.bind_data3(&p, sizeof p, s->Length(), 5));
        } else {
            std::string b(row, '\x7f');
            ASSERT_TRUE(fl.bind_data2(b.data(), b.size(), 5));
        }
        fl.insert_data();
    }
    fl.close_table();
    EXPECT_FALSE(fl.is_opened());
    auto rows = db.rows(L"SELECT id, price, name, length(memo), hex(data) FROM t ORDER BY id");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0][0], L"1");
    EXPECT_EQ(rows[1][2], L"n2");
    EXPECT_EQ(rows[1][3], L"<null>");
    EXPECT_EQ(rows[2][3], L"9000");
    EXPECT_EQ(rows[2][4], L"7F7F7F");
}

TEST(MssFastLoad, FailingRowIsReportedForThatRowOnly)
{
    ODB_NEED_DRIVERS();
    sqlite_db db("fl_fail", true);
    db.run(L"CREATE TABLE t (id INTEGER PRIMARY KEY)");
    mss_fast_load fl;
    DBID id{GUID_NULL, DBKIND_NAME, L"t"};
    ASSERT_EQ(fl.open_table(db.session.get(), &id, udb_schema()), S_OK);
    auto put = [&](std::int64_t v) {
        if (fl.GetColumnType(1) == DBTYPE_I8) {
            fl.bind_data2(&v, 8, 1);
        } else {
            std::int32_t v4 = static_cast<std::int32_t>(v);
            fl.bind_data2(&v4, 4, 1);
        }
        fl.insert_data();
    };
    put(1);
    EXPECT_THROW(put(1), odb_exception);
    put(2);
    fl.close_table();
    EXPECT_EQ(db.rows(L"SELECT COUNT(*) FROM t")[0][0], L"2");
}

TEST(MssTableOdbc, InsertPathOnARealConnection)
{
    ODB_NEED_DRIVERS();
    sqlite_db db("tab_insert", false);
    db.run(L"CREATE TABLE people (id INTEGER, name VARCHAR(20))");
    db.run(L"INSERT INTO people VALUES (1, 'first')");
    udb_schema schema;
    schema.push_back(new t_ftd(4, L"id", VT_I4, false, false));
    schema.push_back(new t_ftd(20, L"name", VT_BSTR, false, false));
    {
        mss_table t(L"[people]", db.session.get(), schema, nullptr);
        EXPECT_EQ(t.get_record_count(), 1u) << "the writer starts from the rows already there";
        udb_record r;
        r.push_back(new udb_field(L"id", 0, ole_variant(2)));
        r.push_back(new udb_field(L"name", 0, ole_variant(std::wstring(L"it's"))));
        t.append_record(r);
        EXPECT_EQ(t.get_record_count(), 2u);
    }
    auto rows = db.rows(L"SELECT id, name FROM people ORDER BY id");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1][1], L"it's");

    // Reading the table back through its rowset.
    mss_table reader(L"q", L"SELECT * FROM people", db.session.get(), 1, nullptr);
    EXPECT_EQ(reader.get_record_count(), 2u);
    int n = 0;
    for (reader.reset(); !reader.is_eof(); reader.next())
        ++n;
    EXPECT_EQ(n, 2);

    // Opened for insertion: columns known, no result left open on the connection.
    odb_table appender(L"[people]", db.session.get(), 8, nullptr);
    EXPECT_EQ(appender.get_schema().size(), 2u);
    EXPECT_EQ(appender.get_record_count(), 2u);
    appender.reset();
    EXPECT_TRUE(appender.is_eof());
    db.run(L"INSERT INTO people VALUES (3, 'third')");
    EXPECT_EQ(db.rows(L"SELECT COUNT(*) FROM people")[0][0], L"3");
}

namespace {

// Passes everything to a real session but the session options ("SET ..."),
// which SQLite does not know; those are only recorded.
class set_filter_command : public com_object<ICommandText> {
public:
    set_filter_command(ICommandText* real, std::vector<std::wstring>* sets) : real_(real), sets_(sets) {}
    ~set_filter_command() override { real_->Release(); }
    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv && IsEqualIID(riid, IID_ICommand)) {
            *ppv = static_cast<ICommand*>(static_cast<ICommandText*>(this));
            AddRef();
            return S_OK;
        }
        return com_object<ICommandText>::QueryInterface(riid, ppv);
    }
    HRESULT SetCommandText(REFGUID dialect, LPCOLESTR text) override
    {
        text_ = text ? text : L"";
        return real_->SetCommandText(dialect, text);
    }
    HRESULT Execute(IUnknown* outer, REFIID riid, DBPARAMS* params, DBROWCOUNT* n, IUnknown** out) override
    {
        if (text_.rfind(L"SET ", 0) == 0) {
            sets_->push_back(text_);
            return S_OK;
        }
        return real_->Execute(outer, riid, params, n, out);
    }

private:
    ICommandText* real_;
    std::vector<std::wstring>* sets_;
    std::wstring text_;
};

class set_filter_session : public com_object<IOpenRowset, IDBCreateCommand, IOdbcConnection> {
public:
    explicit set_filter_session(IOpenRowset* real) : real_(real) { real_->AddRef(); }
    ~set_filter_session() override { real_->Release(); }
    std::vector<std::wstring> sets;

    HRESULT OpenRowset(IUnknown* outer, DBID* t, DBID* i, REFIID riid, ULONG n, DBPROPSET p[], IUnknown** out) override
    {
        return real_->OpenRowset(outer, t, i, riid, n, p, out);
    }
    HRESULT CreateCommand(IUnknown*, REFIID riid, IUnknown** out) override
    {
        ole_com_ptr<IDBCreateCommand> create;
        real_->QueryInterface(IID_IDBCreateCommand, reinterpret_cast<void**>(&create));
        ICommandText* text = nullptr;
        HRESULT hr = create->CreateCommand(nullptr, IID_ICommandText, reinterpret_cast<IUnknown**>(&text));
        if (FAILED(hr))
            return hr;
        auto* c = new set_filter_command(text, &sets);
        hr = c->QueryInterface(riid, reinterpret_cast<void**>(out));
        c->Release();
        return hr;
    }
    odbc::connection* Connection() override { return link()->Connection(); }
    bool FastLoadEnabled() override { return link()->FastLoadEnabled(); }

private:
    IOdbcConnection* link()
    {
        IOdbcConnection* l = nullptr;
        real_->QueryInterface(IID_IOdbcConnection, reinterpret_cast<void**>(&l));
        l->Release();   // the session keeps it alive
        return l;
    }
    IOpenRowset* real_;
};

} // namespace

TEST(MssTableOdbc, BulkLoadPathOnARealConnection)
{
    ODB_NEED_DRIVERS();
    sqlite_db db("tab_bulk", true);
    ASSERT_TRUE(mss_engine::ref().is_fast_load());
    db.run(L"CREATE TABLE goods (id INTEGER, price DOUBLE, name VARCHAR(10), memo TEXT, data BLOB, qty INTEGER)");
    auto* session = new set_filter_session(db.session.get());
    udb_schema schema;
    schema.push_back(new t_ftd(4, L"id", VT_I4, false, true));
    schema.push_back(new t_ftd(8, L"price", VT_R8, false, false));
    schema.push_back(new t_ftd(10, L"name", VT_BSTR, false, false));
    schema.push_back(new t_ftd(0, L"memo", VT_BSTR, false, false));
    schema.push_back(new t_ftd(0, L"data", VT_ARRAY | VT_UI1, false, false));
    schema.push_back(new t_ftd(4, L"qty", VT_I4, true, false));
    {
        mss_table t(L"goods", session, schema, nullptr);
        for (int i = 1; i <= 3; ++i) {
            udb_record r;
            r.push_back(new udb_field(L"id", 0, ole_variant(i)));
            r.push_back(new udb_field(L"price", 0, ole_variant(i * 0.25)));
            r.push_back(new udb_field(L"name", 0, ole_variant(i == 2 ? std::wstring(L"far too long a name")
                                                                      : L"it's " + std::to_wstring(i))));
            r.push_back(new udb_field(L"memo", 0, ole_variant(std::wstring(i * 4000, L'm'))));
            ole_variant bytes;
            bytes.attach_binary(std::vector<unsigned char>(static_cast<std::size_t>(i), 0xAB));
            r.push_back(new udb_field(L"data", 0, bytes));
            ole_variant none;
            none.set_null();
            r.push_back(new udb_field(L"qty", 0, none));
            t.append_record(r);
        }
        EXPECT_FALSE(t.is_fl_failed());
        EXPECT_EQ(t.get_record_count(), 3u);
    }
    ASSERT_EQ(session->sets.size(), 2u);
    EXPECT_EQ(session->sets[0], L"SET QUOTED_IDENTIFIER OFF; SET IDENTITY_INSERT goods ON; ");
    EXPECT_EQ(session->sets[1], L"SET IDENTITY_INSERT goods OFF;");
    session->Release();
    auto rows = db.rows(L"SELECT id, price, name, length(memo), hex(data), qty FROM goods ORDER BY id");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0][2], L"it's 1");
    EXPECT_EQ(rows[1][2], L"far too lo") << "cut to the column's size";
    EXPECT_EQ(rows[2][3], L"12000");
    EXPECT_EQ(rows[2][4], L"ABABAB");
    EXPECT_EQ(rows[0][5], L"0") << "NULL in a required column without default";
    EXPECT_DOUBLE_EQ(std::stod(odbc::to_utf8(rows[1][1])), 0.5);
}

TEST(MssTableOdbc, BulkLoadDatesDecimalsAndFlags)
{
    ODB_NEED_DRIVERS();
    sqlite_db db("tab_bulk_types", true);
    // SQLite's driver reports the numeric columns as doubles: values follow the binding.
    db.run(L"CREATE TABLE v (made TIMESTAMP, amount NUMERIC(12,3), cash NUMERIC(19,4), ok BIT, small SMALLINT)");
    auto* session = new set_filter_session(db.session.get());
    udb_schema schema;
    schema.push_back(new t_ftd(0, L"made", VT_DATE, false, false));
    auto* amount = new t_ftd(0, L"amount", VT_DECIMAL, false, false);
    amount->precision = 12;
    amount->scale = 3;
    schema.push_back(amount);
    schema.push_back(new t_ftd(8, L"cash", VT_CY, false, false));
    schema.push_back(new t_ftd(2, L"ok", VT_BOOL, false, false));
    schema.push_back(new t_ftd(2, L"small", VT_I2, false, false));
    {
        mss_table t(L"v", session, schema, nullptr);
        udb_record r;
        r.push_back(new udb_field(L"made", 0, ole_variant(ole_date(std::wstring(L"2021-03-04 05:06:07")))));
        ole_variant dec = ole_variant::from_wstring(L"-1234.567", VT_DECIMAL);
        r.push_back(new udb_field(L"amount", 0, dec));
        r.push_back(new udb_field(L"cash", 0, ole_variant::from_currency(-123456)));
        r.push_back(new udb_field(L"ok", 0, ole_variant(true)));
        r.push_back(new udb_field(L"small", 0, ole_variant(static_cast<short>(-7))));
        t.append_record(r);
        EXPECT_EQ(t.get_record_count(), 1u);
    }
    session->Release();
    auto rows = db.rows(L"SELECT made, amount, cash, ok, small FROM v");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0].substr(0, 19), L"2021-03-04 05:06:07");
    EXPECT_DOUBLE_EQ(std::stod(odbc::to_utf8(rows[0][1])), -1234.567);
    EXPECT_DOUBLE_EQ(std::stod(odbc::to_utf8(rows[0][2])), -12.3456);
    EXPECT_EQ(rows[0][3], L"1");
    EXPECT_EQ(rows[0][4], L"-7");
}

// ---------------------------------------------------------------- live server

namespace {

// A new database on the live server for one test, with the engine connected for bulk loads;
// dropped at the test's end.
struct live_database {
    mss_engine engine{1};
    std::wstring name;
    std::unique_ptr<mss_database> db;

    live_database(const drav_test::live_server& live, const std::wstring& stem)
        : name(drav_test::unique_db_name(stem))
    {
        live.connect(engine, true);
        drav_test::server_turn turn;
        db.reset(engine.create_db(name));
    }
    ~live_database()
    {
        db.reset();
        drav_test::server_turn turn;
        try {
            engine.delete_db(name);
        } catch (const tk_exception& e) {
            ADD_FAILURE() << "delete_db: " << e.what();
        }
    }
};

} // namespace

TEST(MssDestinationLive, TablesRowsAndIndexes)
{
    DRAV_LIVE_SERVER_OR_SKIP(live);
    live_database target(live, L"drav_dest");
    auto& db = target.db;
    ASSERT_TRUE(db);
    udb_schema schema;
    schema.push_back(new t_ftd(4, L"id", VT_I4, true, true));
    schema.push_back(new t_ftd(30, L"name", VT_BSTR, false, false));
    schema.push_back(new t_ftd(0, L"memo", VT_BSTR, false, false));
    schema.push_back(new t_ftd(0, L"made", VT_DATE, false, false));
    udb_indexes indexes;
    indexes.push_back(udb_index(L"pk_t", {L"id"}, true, true));
    for (bool fast : {false, true}) {
        db->enable_fast_load(fast);
        std::wstring tname = fast ? L"bulk" : L"rows";
        {
            auto t = db->create_table(tname, schema, indexes);
            for (int i = 1; i <= 20; ++i) {
                udb_record r;
                r.push_back(new udb_field(L"id", 0, ole_variant(i)));
                r.push_back(new udb_field(L"name", 0, ole_variant(L"n'" + std::to_wstring(i))));
                r.push_back(new udb_field(L"memo", 0, ole_variant(std::wstring(i * 500, L'x'))));
                r.push_back(new udb_field(L"made", 0, ole_variant(ole_date(std::wstring(L"2021-03-04 05:06:07")))));
                t->append_record(r);
            }
        }
        db->create_indexes(tname, schema, indexes);
        auto rs = db->query(L"SELECT COUNT(*), SUM(LEN(memo)) FROM " + mss_get_safe_tname(tname));
        rs->reset();
        udb_record* row = rs->get_item();
        EXPECT_EQ((*row)[0]->to_wstring(), L"20");
        EXPECT_EQ((*row)[1]->to_wstring(), L"105000");
    }
}

// The bulk copy takes values as text: every kind of value arrives as the INSERT path stores it.
TEST(MssDestinationLive, BulkLoadStoresEachKindOfValueAsTheInsertPath)
{
    DRAV_LIVE_SERVER_OR_SKIP(live);
    live_database target(live, L"drav_kinds");
    auto& db = target.db;
    ASSERT_TRUE(db);
    udb_schema schema;
    schema.push_back(new t_ftd(4, L"id", VT_I4, true, true));
    schema.push_back(new t_ftd(0, L"g", VT_BSTR, false, false, ole_variant(), 1));
    schema.push_back(new t_ftd(0, L"made", VT_DATE, false, false));
    auto* amount = new t_ftd(0, L"amount", VT_DECIMAL, false, false);
    amount->precision = 18;
    amount->scale = 4;
    schema.push_back(amount);
    schema.push_back(new t_ftd(8, L"cash", VT_CY, false, false));
    schema.push_back(new t_ftd(8, L"ratio", VT_R8, false, false));
    schema.push_back(new t_ftd(4, L"single", VT_R4, false, false));
    schema.push_back(new t_ftd(2, L"ok", VT_BOOL, true, false));
    schema.push_back(new t_ftd(2, L"small", VT_I2, false, false));
    schema.push_back(new t_ftd(50, L"name", VT_BSTR, false, false));
    struct kinds {
        const wchar_t* guid;
        const wchar_t* made;
        const wchar_t* amount;
        long long cash;
        double ratio;
        float single;
        bool ok;
        short small;
        std::wstring name;
    };
    const kinds rows[] = {
        {L"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}", L"2021-03-04 05:06:07.123", L"-1234.5678", -123456, 0.1, 0.1f, true,
         -7, L"it's \u00E9\u20AC" + std::wstring(1, static_cast<wchar_t>(0x1F600))},
        {L"{FFFFFFFF-0000-0001-FFFF-00000000000A}", L"1900-01-01 23:59:59", L"99999999999999.9999",
         -12345678901234LL, -1.0e300, 3.4e38f, false, 32767, L""},
        {L"{00000000-0000-0000-0000-000000000000}", L"9999-12-31", L"0.0001", 0, 1.5e-300, -1.17549435e-38f, true,
         -32768, std::wstring(50, L'z')},
    };
    for (bool fast : {false, true}) {
        db->enable_fast_load(fast);
        const std::wstring tname = fast ? L"bulk" : L"rows";
        auto t = db->create_table(tname, schema, udb_indexes());
        int id = 0;
        for (const kinds& k : rows) {
            udb_record r;
            r.push_back(new udb_field(L"id", 0, ole_variant(++id)));
            r.push_back(new udb_field(L"g", 0, ole_variant(k.guid)));
            r.push_back(new udb_field(L"made", 0, ole_variant(ole_date(std::wstring(k.made)))));
            r.push_back(new udb_field(L"amount", 0, ole_variant::from_wstring(k.amount, VT_DECIMAL)));
            r.push_back(new udb_field(L"cash", 0, ole_variant::from_currency(k.cash)));
            r.push_back(new udb_field(L"ratio", 0, ole_variant(k.ratio)));
            r.push_back(new udb_field(L"single", 0, ole_variant(k.single)));
            r.push_back(new udb_field(L"ok", 0, ole_variant(k.ok)));
            r.push_back(new udb_field(L"small", 0, ole_variant(k.small)));
            r.push_back(new udb_field(L"name", 0, ole_variant(k.name)));
            t->append_record(r);
        }
        // A row of NULLs where the columns allow them.
        udb_record r;
        r.push_back(new udb_field(L"id", 0, ole_variant(++id)));
        for (std::size_t i = 1; i < schema.size(); ++i) {
            ole_variant none;
            if (schema[i]->name != L"ok")
                none.set_null();
            else
                none = ole_variant(false);
            r.push_back(new udb_field(schema[i]->name, 0, none));
        }
        t->append_record(r);
    }
    auto text_of = [&](const std::wstring& tname) {
        std::vector<std::vector<std::wstring>> out;
        auto rs = db->query(L"SELECT id, CAST(g AS VARCHAR(36)), CONVERT(VARCHAR(30), made, 121), "
                            L"CAST(amount AS VARCHAR(40)), CAST(CAST(cash AS DECIMAL(19, 4)) AS VARCHAR(40)), "
                            L"CONVERT(VARCHAR(40), ratio, 3), CONVERT(VARCHAR(40), single, 3), ok, small, name, "
                            L"CASE WHEN name IS NULL THEN 1 ELSE 0 END FROM " +
                            mss_get_safe_tname(tname) + L" ORDER BY id");
        for (rs->reset(); !rs->is_eof(); rs->next()) {
            std::vector<std::wstring> row;
            for (std::size_t i = 0; i < rs->get_item()->size(); ++i)
                row.push_back((*rs->get_item())[i]->to_wstring());
            out.push_back(std::move(row));
        }
        return out;
    };
    const auto inserted = text_of(L"rows"), bulk = text_of(L"bulk");
    ASSERT_EQ(inserted.size(), 4u);
    EXPECT_EQ(bulk, inserted);
    EXPECT_EQ(inserted[0][1], L"0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9");
    EXPECT_EQ(inserted[0][2], L"2021-03-04 05:06:07.123") << "a date's fraction of a second";
    EXPECT_EQ(inserted[0][3], L"-1234.5678");
    EXPECT_EQ(inserted[1][4], L"-1234567890.1234");
    EXPECT_EQ(inserted[0][9], rows[0].name);
    EXPECT_EQ(inserted[1][10], L"0") << "an empty text is no NULL";
    EXPECT_EQ(inserted[3][10], L"1");
}

// Through FreeTDS a value longer than its bulk copy carries goes by INSERT, with the other such
// rows, several to a statement, at the end of the load; the rows around them stay in the load,
// a refused one is reported on its own and the others of its statement arrive. An empty text and
// an empty binary value arrive empty, not NULL, by either way (beside a long value: by INSERT),
// also in the rows sent again one by one after their statement was refused.
TEST(MssDestinationLive, BulkLoadRowsWithLongValues)
{
    DRAV_LIVE_SERVER_OR_SKIP(live);
    mss_fake::recording_handler handler;
    live_database target(live, L"drav_long");
    auto& db = target.db;
    ASSERT_TRUE(db);
    db->enable_fast_load(true);
    udb_schema schema;
    schema.push_back(new t_ftd(4, L"id", VT_I4, true, false));
    schema.push_back(new t_ftd(0, L"memo", VT_BSTR, false, false));
    schema.push_back(new t_ftd(50, L"note", VT_BSTR, false, false));
    schema.push_back(new t_ftd(0, L"data", VT_ARRAY | VT_UI1, false, false));
    udb_indexes indexes;
    indexes.push_back(udb_index(L"pk_t", {L"id"}, true, true));
    db->create_table(L"t", schema, udb_indexes()).reset();
    db->create_indexes(L"t", schema, indexes);
    // Ids 1-3000, every tenth memo 3000 characters (6000 bytes as the server keeps them): more
    // long rows than one statement takes. A long row among them repeats id 10.
    const int ids = 3000, repeat_after = 1500;
    std::size_t long_chars = 0;
    {
        auto t = db->get_table2(L"t", schema);
        auto append = [&](int id, bool is_long) {
            udb_record r;
            r.push_back(new udb_field(L"id", 0, ole_variant(id)));
            r.push_back(new udb_field(L"memo", 0, ole_variant(std::wstring(is_long ? 3000 : 5, L'a' + id % 26))));
            r.push_back(new udb_field(L"note", 0, ole_variant(std::wstring())));
            ole_variant none;
            none.attach_binary(std::vector<unsigned char>());
            r.push_back(new udb_field(L"data", 0, none));
            try {
                t->append_record(r);
            } catch (const tk_exception& e) {
                // A batch that ends with this row may carry a failure of one before it.
                handler.messages.push_back(e.what());
            }
        };
        for (int i = 1; i <= ids; ++i) {
            const bool is_long = i % 10 == 0;
            append(i, is_long);
            if (is_long)
                long_chars += 3000;
            if (i == repeat_after)
                append(10, true);
        }
    }
    // The repeated id is refused (when the load ends), and only it.
    ASSERT_EQ(handler.messages.size(), 1u) << testing::PrintToString(handler.messages);
    auto rs = db->query(L"SELECT COUNT(*), SUM(CAST(id AS BIGINT)), SUM(CAST(LEN(memo) AS BIGINT)), "
                        L"SUM(CASE WHEN LEN(memo) = 3000 THEN 1 ELSE 0 END), "
                        L"SUM(CASE WHEN note IS NULL OR data IS NULL THEN 1 ELSE 0 END), "
                        L"SUM(CAST(DATALENGTH(note) + DATALENGTH(data) AS BIGINT)) FROM " + mss_get_safe_tname(L"t"));
    rs->reset();
    udb_record* row = rs->get_item();
    EXPECT_EQ((*row)[0]->to_wstring(), std::to_wstring(ids));
    EXPECT_EQ((*row)[1]->to_wstring(), std::to_wstring(ids * (ids + 1) / 2));
    EXPECT_EQ((*row)[2]->to_wstring(), std::to_wstring(long_chars + (ids - ids / 10) * 5));
    EXPECT_EQ((*row)[3]->to_wstring(), std::to_wstring(ids / 10));
    EXPECT_EQ((*row)[4]->to_wstring(), L"0") << "an empty value arrived as NULL";
    EXPECT_EQ((*row)[5]->to_wstring(), L"0") << "an empty value arrived with content";
    rs.reset();
}

// Fractions of a second and years before 1753 (which DATETIME cannot hold) through the bulk load:
// 1, 10 and 999 milliseconds (dates made of their parts) and microseconds (dates read from text),
// in a date-and-time column and in a time column, the date in a date column too; in rows of the
// bulk copy and in rows that a long value sends by INSERT at the end of the load. The bulk load
// keeps microseconds; INSERT statements carry dates printed to the millisecond. Read back as
// seconds and microseconds (the test server keeps microseconds and prints fractions its own way).
TEST(MssDestinationLive, BulkLoadKeepsFractionsOfASecondAndEarlyYears)
{
    DRAV_LIVE_SERVER_OR_SKIP(live);
    live_database target(live, L"drav_fractions");
    auto& db = target.db;
    ASSERT_TRUE(db);
    udb_schema schema;
    schema.push_back(new t_ftd(4, L"id", VT_I4, true, false));
    schema.push_back(new t_ftd(0, L"made", VT_DATE, false, false));
    schema.push_back(new t_ftd(0, L"starts", VT_DATE, false, false, ole_variant(), 3));
    schema.push_back(new t_ftd(0, L"day", VT_DATE, false, false, ole_variant(), 2));
    schema.push_back(new t_ftd(0, L"memo", VT_BSTR, false, false));
    struct fraction {
        int milli;                // of a date made of its parts; -1: read from the text
        const wchar_t* text;
        int micro;                // what the bulk load keeps
        int inserted;             // what an INSERT statement keeps
    };
    const fraction fractions[] = {{1, L"", 1000, 1000}, {10, L"", 10000, 10000}, {999, L"", 999000, 999000},
                                  {-1, L".123456", 123456, 123000}, {-1, L".000001", 1, 0}};
    const int early[] = {1700, 100, 1752}, modern[] = {1753, 2021};
    struct expected_row {
        int year;
        int micro, inserted;
        bool long_row;
    };
    std::vector<expected_row> want;
    int k = 0;
    for (bool long_row : {false, true})
        for (bool old : {true, false})
            for (const fraction& f : fractions) {
                const int year = old ? early[k % 3] : modern[k % 2];
                ++k;
                want.push_back({year, f.micro, f.inserted, long_row});
            }
    auto date_of = [&](const expected_row& w, const fraction& f) {
        if (f.milli < 0) {
            wchar_t text[40];
            std::swprintf(text, 40, L"%04d-06-15 10:30:07%ls", w.year, f.text);
            return ole_date(std::wstring(text));
        }
        SYSTEMTIME st{};
        st.wYear = static_cast<WORD>(w.year);
        st.wMonth = 6;
        st.wDay = 15;
        st.wHour = 10;
        st.wMinute = 30;
        st.wSecond = 7;
        st.wMilliseconds = static_cast<WORD>(f.milli);
        return ole_date(st);
    };
    for (bool fast : {false, true}) {
        db->enable_fast_load(fast);
        const std::wstring tname = fast ? L"bulk" : L"rows";
        {
            auto t = db->create_table(tname, schema, udb_indexes());
            for (std::size_t i = 0; i < want.size(); ++i) {
                const fraction& f = fractions[i % 5];
                wchar_t day[16], time[32];
                std::swprintf(day, 16, L"%04d-06-15", want[i].year);
                std::swprintf(time, 32, L"06:00:59.%06d", f.micro);
                udb_record r;
                r.push_back(new udb_field(L"id", 0, ole_variant(static_cast<int>(i + 1))));
                r.push_back(new udb_field(L"made", 0, ole_variant(date_of(want[i], f))));
                r.push_back(new udb_field(L"starts", 0, ole_variant(ole_date(std::wstring(time)))));
                r.push_back(new udb_field(L"day", 0, ole_variant(ole_date(std::wstring(day)))));
                r.push_back(new udb_field(L"memo", 0, ole_variant(std::wstring(want[i].long_row ? 9000 : 5, L'm'))));
                t->append_record(r);
            }
        }
        auto rs = db->query(L"SELECT CONCAT(id, ' ', CONVERT(VARCHAR(19), made, 120), ' ', DATEPART(microsecond, made), "
                            L"' ', CONVERT(VARCHAR(8), starts, 108), ' ', DATEPART(microsecond, starts), ' ', "
                            L"CONVERT(VARCHAR(10), day, 120), ' ', LEN(memo)) FROM " + mss_get_safe_tname(tname) +
                            L" ORDER BY id");
        std::vector<std::string> got;
        for (rs->reset(); !rs->is_eof(); rs->next())
            got.push_back(odbc::to_utf8((*rs->get_item())[0]->to_wstring()));
        ASSERT_EQ(got.size(), want.size()) << (fast ? "bulk load" : "INSERT");
        for (std::size_t i = 0; i < got.size(); ++i) {
            char date[16];
            std::snprintf(date, sizeof date, "%04d-06-15", want[i].year);
            const std::string us = std::to_string(fast ? want[i].micro : want[i].inserted);
            EXPECT_EQ(got[i], std::to_string(i + 1) + " " + date + " 10:30:07 " + us + " 06:00:59 " + us + " " + date +
                                  " " + (want[i].long_row ? "9000" : "5"))
                << (fast ? "bulk load" : "INSERT");
        }
    }
}

// The OLE DB-shaped provider through unixODBC: SQLite's ODBC driver stands in
// for a server; FreeTDS shows driver fallback and connection errors.
#include "platform/oledb/oledb.h"
#include "platform/oledb/odbc_core.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/support/scratch.h"

namespace {

// Owns one interface pointer for the test's duration.
template <class I>
struct ptr {
    I* p = nullptr;
    ~ptr() { if (p) p->Release(); }
    I* operator->() const { return p; }
    IUnknown** out() { return reinterpret_cast<IUnknown**>(&p); }
    void** vout() { return reinterpret_cast<void**>(&p); }
};

std::string temp_path(const std::string& name)
{
    auto dir = std::filesystem::path(DRAV_BINARY_DIR) / "odbc_tmp";
    std::filesystem::create_directories(dir);
    auto p = dir / (name + "_" + std::to_string(::getpid()));
    std::filesystem::remove(p);
    return p.string();
}

void set_props(IDBInitialize* init, std::vector<std::pair<DBPROPID, std::wstring>> props)
{
    std::vector<DBPROP> v(props.size());
    for (std::size_t i = 0; i < props.size(); ++i) {
        v[i].dwPropertyID = props[i].first;
        v[i].dwOptions = DBPROPOPTIONS_REQUIRED;
        v[i].colid = DB_NULLID;
        VariantInit(&v[i].vValue);
        v[i].vValue.vt = VT_BSTR;
        v[i].vValue.bstrVal = SysAllocString(props[i].second.c_str());
    }
    DBPROPSET set{v.data(), static_cast<ULONG>(v.size()), DBPROPSET_DBINIT};
    ptr<IDBProperties> p;
    ASSERT_EQ(init->QueryInterface(IID_IDBProperties, p.vout()), S_OK);
    EXPECT_EQ(p->SetProperties(1, &set), S_OK);
    for (auto& x : v)
        VariantClear(&x.vValue);
}

// The text of the thread's current error, with its first SQLSTATE.
std::wstring last_error(std::wstring* sqlstate = nullptr, HRESULT* first_hr = nullptr)
{
    IErrorInfo* raw = nullptr;
    if (GetErrorInfo(0, &raw) != S_OK || !raw)
        return L"<none>";
    ptr<IErrorInfo> info;
    info.p = raw;
    ptr<IErrorRecords> recs;
    if (info->QueryInterface(IID_IErrorRecords, recs.vout()) != S_OK)
        return L"<no records>";
    ULONG n = 0;
    recs->GetRecordCount(&n);
    std::wstring text;
    for (ULONG i = 0; i < n; ++i) {
        ERRORINFO basic{};
        recs->GetBasicErrorInfo(i, &basic);
        if (i == 0 && first_hr)
            *first_hr = basic.hrError;
        ptr<ISQLErrorInfo> sql;
        recs->GetCustomErrorObject(i, IID_ISQLErrorInfo, sql.out());
        if (sql.p && i == 0 && sqlstate) {
            BSTR st = nullptr;
            LONG native = 0;
            sql->GetSQLInfo(&st, &native);
            *sqlstate = st ? std::wstring(st) : L"";
            SysFreeString(st);
        }
        ptr<IErrorInfo> rec;
        if (recs->GetErrorInfo(i, LOCALE_USER_DEFAULT, &rec.p) == S_OK) {
            BSTR d = nullptr;
            rec->GetDescription(&d);
            text += (text.empty() ? L"" : L"\n") + std::wstring(d ? d : L"");
            SysFreeString(d);
        }
    }
    return text;
}

class OleDbSqlite : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!odbc::driver_installed(L"SQLite3") || !odbc::driver_installed(L"FreeTDS"))
            GTEST_SKIP() << "SQLite3 or FreeTDS ODBC driver not installed";
        OleDbRegisterProviders();
        path_ = temp_path("provider.db");
        ASSERT_EQ(CoCreateInstance(CLSID_SQLNCLI10, nullptr, CLSCTX_INPROC_SERVER, IID_IDBInitialize, ds_.vout()), S_OK);
        set_props(ds_.p, {{DBPROP_INIT_DATASOURCE, L"DRIVER=SQLite3;Database=" + odbc::from_utf8(path_)},
                          {DBPROP_AUTH_USERID, L"u"}, {DBPROP_AUTH_PASSWORD, L"p"}});
        ASSERT_EQ(ds_->Initialize(), S_OK) << last_error();
        ptr<IDBCreateSession> cs;
        ASSERT_EQ(ds_->QueryInterface(IID_IDBCreateSession, cs.vout()), S_OK);
        ASSERT_EQ(cs->CreateSession(nullptr, IID_IOpenRowset, session_.out()), S_OK);
    }

    // Runs one statement; returns its rowset when asked.
    HRESULT run(const std::wstring& sql, IRowset** rowset = nullptr)
    {
        ptr<IDBCreateCommand> cc;
        EXPECT_EQ(session_->QueryInterface(IID_IDBCreateCommand, cc.vout()), S_OK);
        ptr<ICommandText> text;
        EXPECT_EQ(cc->CreateCommand(nullptr, IID_ICommandText, text.out()), S_OK);
        EXPECT_EQ(text->SetCommandText(DBGUID_DBSQL, sql.c_str()), S_OK);
        return text->Execute(nullptr, rowset ? IID_IRowset : IID_NULL, nullptr, nullptr,
                             reinterpret_cast<IUnknown**>(rowset));
    }

    struct value {
        DBSTATUS status;
        DBLENGTH length;
        std::wstring text;
        std::vector<unsigned char> bytes;
    };

    // Reads every row, binding every column as wide text (bytes for binary) of cap bytes.
    std::vector<std::vector<value>> read_all(IRowset* rs, DBLENGTH cap = 4096, bool restart = false)
    {
        std::vector<std::vector<value>> out;
        ptr<IColumnsInfo> ci;
        EXPECT_EQ(rs->QueryInterface(IID_IColumnsInfo, ci.vout()), S_OK);
        DBORDINAL n = 0;
        DBCOLUMNINFO* info = nullptr;
        OLECHAR* strings = nullptr;
        EXPECT_EQ(ci->GetColumnInfo(&n, &info, &strings), S_OK);
        std::vector<DBBINDING> b(n);
        DBBYTEOFFSET off = 0;
        for (DBORDINAL i = 0; i < n; ++i) {
            std::memset(&b[i], 0, sizeof b[i]);
            b[i].iOrdinal = i + 1;
            b[i].obStatus = off;
            b[i].obLength = off + 4;
            b[i].obValue = off + 12;
            b[i].dwPart = DBPART_VALUE | DBPART_LENGTH | DBPART_STATUS;
            b[i].cbMaxLen = cap;
            b[i].wType = info[i].wType == DBTYPE_BYTES ? DBTYPE_BYTES : DBTYPE_WSTR;
            off += 12 + cap;
        }
        CoTaskMemFree(info);
        CoTaskMemFree(strings);
        ptr<IAccessor> acc;
        EXPECT_EQ(rs->QueryInterface(IID_IAccessor, acc.vout()), S_OK);
        HACCESSOR h = 0;
        std::vector<DBBINDSTATUS> bs(n);
        EXPECT_EQ(acc->CreateAccessor(DBACCESSOR_ROWDATA, n, b.data(), 0, &h, bs.data()), S_OK);
        if (restart) {
            EXPECT_EQ(rs->RestartPosition(DB_NULL_HCHAPTER), S_OK);
        }
        std::vector<unsigned char> buf(off);
        for (;;) {
            HROW rows[7];
            HROW* prow = rows;
            DBCOUNTITEM got = 0;
            HRESULT hr = rs->GetNextRows(DB_NULL_HCHAPTER, 0, 7, &got, &prow);
            EXPECT_TRUE(hr == S_OK || hr == DB_S_ENDOFROWSET) << std::hex << hr << " " << std::string(odbc::to_utf8(last_error()));
            for (DBCOUNTITEM r = 0; r < got; ++r) {
                EXPECT_EQ(rs->GetData(rows[r], h, buf.data()), S_OK);
                std::vector<value> row;
                for (DBORDINAL i = 0; i < n; ++i) {
                    value v{};
                    std::memcpy(&v.status, &buf[b[i].obStatus], 4);
                    std::memcpy(&v.length, &buf[b[i].obLength], 8);
                    if (v.status == DBSTATUS_S_OK || v.status == DBSTATUS_S_TRUNCATED) {
                            if (b[i].wType == DBTYPE_WSTR) {
                            v.text = reinterpret_cast<const wchar_t*>(&buf[b[i].obValue]);
                        } else {
                            v.bytes.assign(&buf[b[i].obValue], &buf[b[i].obValue] + std::min<DBLENGTH>(v.length, cap));
                        }
                    }
                    row.push_back(std::move(v));
                }
                out.push_back(std::move(row));
            }
            if (got) {
                EXPECT_EQ(rs->ReleaseRows(got, rows, nullptr, nullptr, nullptr), S_OK);
            }
            if (hr != S_OK)
                break;
        }
        acc->ReleaseAccessor(h, nullptr);
        return out;
    }

    std::string path_;
    ptr<IDBInitialize> ds_;
    ptr<IOpenRowset> session_;
};

} // namespace

TEST_F(OleDbSqlite, ColumnInfoAndValuesThroughAnAccessor)
{
    ASSERT_EQ(run(L"CREATE TABLE t (id INTEGER NOT NULL, name VARCHAR(20), amount DOUBLE, pic BLOB)"), S_OK);
    ASSERT_EQ(run(L"INSERT INTO t VALUES (1, 'caf\u00e9', 2.5, x'00FF10')"), S_OK);
    ASSERT_EQ(run(L"INSERT INTO t VALUES (2, NULL, NULL, NULL)"), S_OK);
    ptr<IRowset> rs;
    ASSERT_EQ(run(L"SELECT id, name, amount, pic FROM t ORDER BY id", &rs.p), S_OK);
    ASSERT_NE(rs.p, nullptr);

    ptr<IColumnsInfo> ci;
    ASSERT_EQ(rs->QueryInterface(IID_IColumnsInfo, ci.vout()), S_OK);
    DBORDINAL n = 0;
    DBCOLUMNINFO* info = nullptr;
    OLECHAR* strings = nullptr;
    ASSERT_EQ(ci->GetColumnInfo(&n, &info, &strings), S_OK);
    ASSERT_EQ(n, 4u);
    EXPECT_EQ(std::wstring(info[1].pwszName), L"name");
    EXPECT_EQ(info[0].wType, DBTYPE_I4);
    EXPECT_EQ(info[0].iOrdinal, 1u);
    EXPECT_EQ(info[2].wType, DBTYPE_R8);
    EXPECT_EQ(info[3].wType, DBTYPE_BYTES);
    EXPECT_TRUE(info[1].wType == DBTYPE_STR || info[1].wType == DBTYPE_WSTR);
    CoTaskMemFree(info);
    CoTaskMemFree(strings);

    auto rows = read_all(rs.p);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0].text, L"1");
    EXPECT_EQ(rows[0][1].text, L"caf\u00e9");
    EXPECT_EQ(rows[0][1].length, 4 * sizeof(wchar_t));
    EXPECT_EQ(rows[0][3].bytes, (std::vector<unsigned char>{0x00, 0xFF, 0x10}));
    EXPECT_EQ(rows[1][1].status, DBSTATUS_S_ISNULL);
    EXPECT_EQ(rows[1][3].status, DBSTATUS_S_ISNULL);
}

TEST_F(OleDbSqlite, TruncationIsMarkedNotHidden)
{
    ASSERT_EQ(run(L"CREATE TABLE l (v TEXT)"), S_OK);
    ASSERT_EQ(run(L"INSERT INTO l VALUES ('abcdefghij')"), S_OK);
    ptr<IRowset> rs;
    ASSERT_EQ(run(L"SELECT v FROM l", &rs.p), S_OK);
    auto rows = read_all(rs.p, 4 * sizeof(wchar_t));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0].status, DBSTATUS_S_TRUNCATED);
    EXPECT_EQ(rows[0][0].length, 10 * sizeof(wchar_t));
    EXPECT_EQ(rows[0][0].text, L"abc");
}

TEST_F(OleDbSqlite, ErrorsReachTheThreadErrorObject)
{
    ASSERT_EQ(run(L"CREATE TABLE k (id INTEGER PRIMARY KEY)"), S_OK);
    HRESULT hr = run(L"INSERT INTO k VALUES (1); INSERT INTO k VALUES (1)");
    EXPECT_TRUE(FAILED(hr));
    std::wstring state;
    std::wstring text = last_error(&state);
    EXPECT_NE(text, L"<none>");
    EXPECT_EQ(state.size(), 5u);
    // The driver's "[...]" prefixes are gone from the text.
    EXPECT_NE(text.front(), L'[');

    hr = run(L"SELEC nonsense");
    EXPECT_TRUE(FAILED(hr));
    EXPECT_NE(last_error(), L"<none>");
    // The slot is emptied by reading it.
    IErrorInfo* none = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &none), S_FALSE);
    EXPECT_EQ(none, nullptr);
}

TEST_F(OleDbSqlite, StatementWithoutResultGivesNoRowset)
{
    ASSERT_EQ(run(L"CREATE TABLE e (a INTEGER)"), S_OK);
    ptr<IRowset> rs;
    EXPECT_EQ(run(L"INSERT INTO e VALUES (1)", &rs.p), S_OK);
    EXPECT_EQ(rs.p, nullptr);
    // A SELECT run without asking for a rowset is fine too.
    EXPECT_EQ(run(L"SELECT * FROM e"), S_OK);
}

TEST_F(OleDbSqlite, RestartReadsTheRowsAgainAndRowsSurviveAnotherStatement)
{
    ASSERT_EQ(run(L"CREATE TABLE r (a INTEGER)"), S_OK);
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(run(L"INSERT INTO r VALUES (" + std::to_wstring(i) + L")"), S_OK);
    ptr<IRowset> rs;
    ASSERT_EQ(run(L"SELECT a FROM r ORDER BY a", &rs.p), S_OK);
    // Restart before any fetch does not run the statement twice.
    EXPECT_EQ(read_all(rs.p, 64, true).size(), 20u);
    EXPECT_EQ(read_all(rs.p, 64, true).size(), 20u);

    // Another statement on the same session while the rowset is half read:
    // the rest of the rows is kept for the rowset.
    ptr<IRowset> half;
    ASSERT_EQ(run(L"SELECT a FROM r ORDER BY a", &half.p), S_OK);
    ptr<IAccessor> acc;
    ASSERT_EQ(half->QueryInterface(IID_IAccessor, acc.vout()), S_OK);
    HROW rows[5];
    HROW* p = rows;
    DBCOUNTITEM got = 0;
    ASSERT_EQ(half->GetNextRows(DB_NULL_HCHAPTER, 0, 5, &got, &p), S_OK);
    ASSERT_EQ(half->ReleaseRows(got, rows, nullptr, nullptr, nullptr), S_OK);
    ASSERT_EQ(run(L"INSERT INTO r VALUES (100)"), S_OK);
    EXPECT_EQ(read_all(half.p).size(), 15u);
}

TEST_F(OleDbSqlite, SchemaRowsetsUseTheProviderColumnNames)
{
    ASSERT_EQ(run(L"CREATE TABLE parent (id INTEGER PRIMARY KEY, code VARCHAR(10))"), S_OK);
    ASSERT_EQ(run(L"CREATE UNIQUE INDEX ux_code ON parent(code)"), S_OK);
    ASSERT_EQ(run(L"CREATE TABLE child (id INTEGER, pid INTEGER REFERENCES parent(id) ON DELETE CASCADE)"), S_OK);
    ptr<IDBSchemaRowset> schema;
    ASSERT_EQ(session_->QueryInterface(IID_IDBSchemaRowset, schema.vout()), S_OK);

    auto column_names = [](IRowset* rs) {
        ptr<IColumnsInfo> ci;
        rs->QueryInterface(IID_IColumnsInfo, ci.vout());
        DBORDINAL n = 0;
        DBCOLUMNINFO* info = nullptr;
        OLECHAR* strings = nullptr;
        ci->GetColumnInfo(&n, &info, &strings);
        std::vector<std::wstring> names;
        for (DBORDINAL i = 0; i < n; ++i)
            names.push_back(info[i].pwszName);
        CoTaskMemFree(info);
        CoTaskMemFree(strings);
        return names;
    };

    VARIANT r[6];
    for (auto& v : r)
        VariantInit(&v);
    r[3].vt = VT_BSTR;
    r[3].bstrVal = SysAllocString(L"TABLE");
    ptr<IRowset> tables;
    ASSERT_EQ(schema->GetRowset(nullptr, DBSCHEMA_TABLES, 4, r, IID_IRowset, 0, nullptr, tables.out()), S_OK);
    auto names = column_names(tables.p);
    ASSERT_GE(names.size(), 4u);
    EXPECT_EQ(names[1], L"TABLE_SCHEMA");
    EXPECT_EQ(names[2], L"TABLE_NAME");
    auto rows = read_all(tables.p);
    std::vector<std::wstring> found;
    for (auto& row : rows)
        found.push_back(row[2].text);
    EXPECT_NE(std::find(found.begin(), found.end(), L"parent"), found.end());
    EXPECT_NE(std::find(found.begin(), found.end(), L"child"), found.end());
    VariantClear(&r[3]);

    r[2].vt = VT_BSTR;
    r[2].bstrVal = SysAllocString(L"parent");
    ptr<IRowset> pk;
    ASSERT_EQ(schema->GetRowset(nullptr, DBSCHEMA_PRIMARY_KEYS, 3, r, IID_IRowset, 0, nullptr, pk.out()), S_OK);
    names = column_names(pk.p);
    EXPECT_EQ(names[3], L"COLUMN_NAME");
    EXPECT_EQ(names[6], L"ORDINAL");
    rows = read_all(pk.p);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][3].text, L"id");
    EXPECT_EQ(rows[0][6].text, L"1");

    ptr<IRowset> fk;
    ASSERT_EQ(schema->GetRowset(nullptr, DBSCHEMA_FOREIGN_KEYS, 3, r, IID_IRowset, 0, nullptr, fk.out()), S_OK);
    names = column_names(fk.p);
    EXPECT_EQ(names[8], L"FK_TABLE_NAME");
    EXPECT_EQ(names[14], L"DELETE_RULE");
    rows = read_all(fk.p);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][8].text, L"child");
    EXPECT_EQ(rows[0][9].text, L"pid");
    EXPECT_EQ(rows[0][14].text, L"CASCADE");
    VariantClear(&r[2]);

    r[4].vt = VT_BSTR;
    r[4].bstrVal = SysAllocString(L"parent");
    ptr<IRowset> idx;
    ASSERT_EQ(schema->GetRowset(nullptr, DBSCHEMA_INDEXES, 5, r, IID_IRowset, 0, nullptr, idx.out()), S_OK);
    names = column_names(idx.p);
    EXPECT_EQ(names[5], L"INDEX_NAME");
    EXPECT_EQ(names[7], L"UNIQUE");
    EXPECT_EQ(names[17], L"COLUMN_NAME");
    rows = read_all(idx.p);
    bool saw = false;
    for (auto& row : rows)
        if (row[5].text == L"ux_code") {
            saw = true;
            EXPECT_EQ(row[7].text, L"1");
            EXPECT_EQ(row[17].text, L"code");
        }
    EXPECT_TRUE(saw);
    VariantClear(&r[4]);
}

TEST(OleDbProvider, InitStringValuesMayHoldSeparators)
{
    if (!odbc::driver_installed(L"SQLite3") || !odbc::driver_installed(L"FreeTDS"))
        GTEST_SKIP() << "drivers not installed";
    OleDbRegisterProviders();
    ptr<IDataInitialize> di;
    ASSERT_EQ(CoCreateInstance(CLSID_MSDAINITIALIZE, nullptr, CLSCTX_INPROC_SERVER, IID_IDataInitialize, di.vout()), S_OK);
    std::string path = temp_path("initstring.db");
    std::wstring init = L"Provider=sqloledb;Data Source=\"DRIVER=SQLite3;Database=" + odbc::from_utf8(path) +
                        L"\";User Id=u;Password=\"a;b\"\"c\";";
    ptr<IUnknown> unk;
    ASSERT_EQ(di->GetDataSource(nullptr, CLSCTX_INPROC_SERVER, init.c_str(), IID_IUnknown, unk.out()), S_OK);
    ptr<IDBInitialize> ds;
    ASSERT_EQ(unk->QueryInterface(IID_IDBInitialize, ds.vout()), S_OK);
    ASSERT_EQ(ds->Initialize(), S_OK) << odbc::to_utf8(last_error());
    EXPECT_EQ(ds->Initialize(), DB_E_ALREADYINITIALIZED);
    ptr<IOdbcConnection> oc;
    ASSERT_EQ(ds->QueryInterface(IID_IOdbcConnection, oc.vout()), S_OK);
    ASSERT_NE(oc->Connection(), nullptr);
    EXPECT_TRUE(oc->Connection()->is_open());
    EXPECT_TRUE(std::filesystem::exists(path));
}

TEST(OleDbProvider, FastLoadPropertyIsKept)
{
    if (!odbc::driver_installed(L"FreeTDS"))
        GTEST_SKIP() << "FreeTDS not installed";
    OleDbRegisterProviders();
    ptr<IDBProperties> props;
    ASSERT_EQ(CoCreateInstance(CLSID_SQLNCLI10, nullptr, CLSCTX_INPROC_SERVER, IID_IDBProperties, props.vout()), S_OK);
    DBPROP p{};
    p.dwPropertyID = SSPROP_ENABLEFASTLOAD;
    p.colid = DB_NULLID;
    VariantInit(&p.vValue);
    p.vValue.vt = VT_BOOL;
    p.vValue.boolVal = -1;
    DBPROPSET set{&p, 1, DBPROPSET_SQLSERVERDATASOURCE};
    EXPECT_EQ(props->SetProperties(1, &set), S_OK);
    ptr<IOdbcConnection> oc;
    ASSERT_EQ(props->QueryInterface(IID_IOdbcConnection, oc.vout()), S_OK);
    EXPECT_TRUE(oc->FastLoadEnabled());
    // An unknown property in that set is refused, and said so.
    p.dwPropertyID = 99;
    EXPECT_EQ(props->SetProperties(1, &set), DB_E_ERRORSOCCURRED);
    EXPECT_EQ(p.dwStatus, DBPROPSTATUS_NOTSUPPORTED);
}

TEST(OleDbProvider, ClosedPortIsAConnectionErrorAfterAMissingDriver)
{
    std::string tds;
    for (const char* d : {"/usr/lib/x86_64-linux-gnu/odbc", "/usr/lib/aarch64-linux-gnu/odbc", "/usr/lib/odbc"})
        if (std::filesystem::exists(std::string(d) + "/libtdsodbc.so"))
            tds = std::string(d) + "/libtdsodbc.so";
    if (tds.empty())
        GTEST_SKIP() << "FreeTDS not installed";
    // A private driver list: one driver whose library is missing, then FreeTDS.
    drav_test::scratch_dir scratch("odbcini", drav_test::scratch_dir::plain_folder);
    const std::string dir = scratch.str();
    {
        std::ofstream ini(dir + "/odbcinst.ini");
        ini << "[Broken Driver]\nDriver=/nonexistent/libbroken.so\n\n[FreeTDS]\nDriver=" << tds << "\n";
    }
    const char* old_sys = std::getenv("ODBCSYSINI");
    std::string saved = old_sys ? old_sys : "";
    ::setenv("ODBCSYSINI", dir.c_str(), 1);
    ::setenv("DRAV_ODBC_DRIVER", "Broken Driver", 1);
    OleDbRegisterProviders();
    ptr<IDataInitialize> di;
    ASSERT_EQ(CoCreateInstance(CLSID_MSDAINITIALIZE, nullptr, CLSCTX_INPROC_SERVER, IID_IDataInitialize, di.vout()), S_OK);
    auto candidates = odbc::installed_sqlserver_drivers();
    if (candidates.size() != 2u) {
        ::unsetenv("DRAV_ODBC_DRIVER");
        GTEST_SKIP() << "the driver manager had read its driver list before (run this test on its own)";
    }
    ptr<IUnknown> unk;
    ASSERT_EQ(di->GetDataSource(nullptr, CLSCTX_INPROC_SERVER,
                                L"Provider=sqloledb;Data Source=127.0.0.1,1;User Id=sa;Password=x;", IID_IUnknown,
                                unk.out()), S_OK);
    ptr<IDBInitialize> ds;
    ASSERT_EQ(unk->QueryInterface(IID_IDBInitialize, ds.vout()), S_OK);
    HRESULT hr = ds->Initialize();
    ::unsetenv("DRAV_ODBC_DRIVER");
    if (saved.empty()) ::unsetenv("ODBCSYSINI"); else ::setenv("ODBCSYSINI", saved.c_str(), 1);
    ASSERT_EQ(candidates.size(), 2u);
    EXPECT_EQ(candidates[0], L"Broken Driver");
    EXPECT_TRUE(FAILED(hr));
    std::wstring state;
    std::wstring text = last_error(&state);
    // The error is FreeTDS's connection failure, not the missing library.
    EXPECT_EQ(state.substr(0, 2), L"08") << odbc::to_utf8(text);
    EXPECT_EQ(text.find(L"Can't open lib"), std::wstring::npos);
}

TEST_F(OleDbSqlite, OpenRowsetQuotesTableNames)
{
    ASSERT_EQ(run(L"CREATE TABLE [odd name] (a INTEGER)"), S_OK);
    ASSERT_EQ(run(L"INSERT INTO [odd name] VALUES (7)"), S_OK);
    ASSERT_EQ(run(L"CREATE TABLE keep (a INTEGER)"), S_OK);
    auto open = [&](const wchar_t* name, IRowset** out) {
        DBID id{GUID_NULL, DBKIND_NAME, name};
        return session_->OpenRowset(nullptr, &id, nullptr, IID_IRowset, 0, nullptr, reinterpret_cast<IUnknown**>(out));
    };
    ptr<IRowset> rs;
    ASSERT_EQ(open(L"odd name", &rs.p), S_OK) << odbc::to_utf8(last_error());
    auto rows = read_all(rs.p);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0].text, L"7");
    ptr<IRowset> rs2;
    EXPECT_EQ(open(L"[odd name]", &rs2.p), S_OK);
    // A name that only starts like a bracketed one is one identifier, not SQL.
    ptr<IRowset> bad;
    EXPECT_TRUE(FAILED(open(L"[keep] AS k CROSS JOIN [keep]", &bad.p)));
    last_error();
    ptr<IRowset> kept;
    EXPECT_EQ(open(L"keep", &kept.p), S_OK);
}

// A command's parameters bound by reference (wide text or bytes, length in bytes, a NULL status)
// reach the statement's markers; other bindings and unknown accessors are refused.
TEST_F(OleDbSqlite, CommandParametersBoundByReference)
{
    ASSERT_EQ(run(L"CREATE TABLE p (txt TEXT, bin BLOB, other TEXT)"), S_OK);
    ptr<IDBCreateCommand> cc;
    ASSERT_EQ(session_->QueryInterface(IID_IDBCreateCommand, cc.vout()), S_OK);
    ptr<ICommandText> text;
    ASSERT_EQ(cc->CreateCommand(nullptr, IID_ICommandText, text.out()), S_OK);
    ASSERT_EQ(text->SetCommandText(DBGUID_DBSQL, L"INSERT INTO p VALUES (?, ?, ?)"), S_OK);
    ptr<IAccessor> acc;
    ASSERT_EQ(text->QueryInterface(IID_IAccessor, acc.vout()), S_OK);
    struct slot {
        const void* data;
        DBLENGTH length;
        DBSTATUS status;
    };
    DBBINDING b[3];
    for (DBORDINAL i = 0; i < 3; ++i) {
        std::memset(&b[i], 0, sizeof b[i]);
        b[i].iOrdinal = i + 1;
        b[i].obValue = i * sizeof(slot) + offsetof(slot, data);
        b[i].obLength = i * sizeof(slot) + offsetof(slot, length);
        b[i].obStatus = i * sizeof(slot) + offsetof(slot, status);
        b[i].dwPart = DBPART_VALUE | DBPART_LENGTH | DBPART_STATUS;
        b[i].eParamIO = DBPARAMIO_INPUT;
        b[i].wType = DBTYPE_WSTR | DBTYPE_BYREF;
    }
    b[1].wType = DBTYPE_BYTES | DBTYPE_BYREF;
    HACCESSOR h = 0;
    DBBINDSTATUS status[3];
    b[2].wType = DBTYPE_I4;
    EXPECT_EQ(acc->CreateAccessor(DBACCESSOR_PARAMETERDATA, 3, b, 3 * sizeof(slot), &h, status), DB_E_ERRORSOCCURRED);
    EXPECT_EQ(status[2], DBBINDSTATUS_UNSUPPORTEDCONVERSION);
    b[2].wType = DBTYPE_WSTR | DBTYPE_BYREF;
    ASSERT_EQ(acc->CreateAccessor(DBACCESSOR_PARAMETERDATA, 3, b, 3 * sizeof(slot), &h, status), S_OK);

    const std::wstring words = std::wstring(300000, L'w') + static_cast<wchar_t>(0x1F600);
    const std::vector<unsigned char> bytes(400000, 0x5A);
    slot row[3] = {{words.data(), words.size() * sizeof(wchar_t), DBSTATUS_S_OK},
                   {bytes.data(), bytes.size(), DBSTATUS_S_OK},
                   {nullptr, 0, DBSTATUS_S_ISNULL}};
    DBPARAMS params{row, 1, h};
    EXPECT_EQ(text->Execute(nullptr, IID_NULL, &params, nullptr, nullptr), S_OK) << last_error();
    DBPARAMS unknown{row, 1, h + 1};
    EXPECT_EQ(text->Execute(nullptr, IID_NULL, &unknown, nullptr, nullptr), DB_E_BADACCESSORHANDLE);
    EXPECT_EQ(acc->ReleaseAccessor(h, nullptr), S_OK);
    // A released accessor is unknown from then on.
    EXPECT_EQ(text->Execute(nullptr, IID_NULL, &params, nullptr, nullptr), DB_E_BADACCESSORHANDLE);
    EXPECT_EQ(acc->ReleaseAccessor(h, nullptr), DB_E_BADACCESSORHANDLE);

    ptr<IRowset> rs;
    ASSERT_EQ(run(L"SELECT length(txt), substr(txt, 300001), length(bin), hex(substr(bin, 1, 2)), other IS NULL FROM p",
                  &rs.p),
              S_OK);
    const auto rows = read_all(rs.p);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0].text, L"300001");
    EXPECT_EQ(rows[0][1].text, std::wstring(1, static_cast<wchar_t>(0x1F600)));
    EXPECT_EQ(rows[0][2].text, L"400000");
    EXPECT_EQ(rows[0][3].text, L"5A5A");
    EXPECT_EQ(rows[0][4].text, L"1");
}

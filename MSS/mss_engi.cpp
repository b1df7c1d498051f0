#include "MSS/mss_engi.h"

#include <algorithm>
#include <cwctype>

#include "MSS/odb_exce.h"
#include "MSS/odb_recs.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"

#include "MSS/mss_db.h"
#include "MSS/mss_util.h"

namespace {

const wchar_t* const masked = L"***";

[[noreturn]] void fail(HRESULT hr)
{
    tk_log_write(2, "Error code: %08X", static_cast<unsigned>(hr));
    throw odb_exception(hr, 1);
}

// One bracketed identifier, "]" doubled, so that no name can end the identifier early.
std::wstring bracket(const std::wstring& name)
{
    return mss_quote_name(name);
}

// A value of an OLE DB initialisation string; quoted when it holds anything
// that could end it or start another attribute.
std::wstring init_value(const std::wstring& v)
{
    bool plain = !v.empty() && v.find_first_of(L";=\"'{}") == std::wstring::npos && v.front() != L' ' &&
                 v.back() != L' ';
    if (plain || v.empty())
        return v;
    return tk_enclose(v, L'"', L'"');
}

// The initialisation string with the password hidden, for the log.
std::wstring mask_password(const std::wstring& cs)
{
    std::size_t p = cs.find(L";Password=");
    if (p == std::wstring::npos)
        return cs;
    p += 10;
    std::size_t end = p;
    if (end < cs.size() && cs[end] == L'"') {
        ++end;
        while (end < cs.size()) {
            if (cs[end] == L'"') {
                if (end + 1 < cs.size() && cs[end + 1] == L'"') { end += 2; continue; }
                ++end;
                break;
            }
            ++end;
        }
    } else {
        end = cs.find(L';', p);
        if (end == std::wstring::npos)
            end = cs.size();
    }
    return cs.substr(0, p) + masked + cs.substr(end);
}

bool starts_with(const std::wstring& s, const std::wstring& prefix)
{
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

// ---------------------------------------------------------------- odb_initializer

odb_initializer::odb_initializer()
{
    tk_log_write(1, "odb_initializer::ctor");
}

std::wstring odb_initializer::make_connection_string(const std::wstring& server, const std::wstring& user,
                                                     const std::wstring& password, const std::wstring& database)
{
    std::wstring cs = L"Provider=sqloledb;Data Source=" + init_value(server);
    if (!database.empty())
        cs += L";Initial Catalog=" + init_value(database);
    if (!user.empty())
        cs += L";User Id=" + init_value(user) + L";Password=" + init_value(password) + L";";
    else
        cs += L";Integrated Security=SSPI;";
    return cs;
}

void odb_initializer::test_connection(ole_com_ptr<IDBInitialize>& ds, const std::wstring& server,
                                      const std::wstring& user, const std::wstring& password,
                                      const std::wstring& database)
{
    tk_log_write_w(1, L"odb_initializer::test_connection(%s,%s,%s,%s)", server.c_str(), user.c_str(),
                   password.empty() ? L"" : masked, database.c_str());
    if (test_native_connection(ds, CLSID_SQLNCLI11, server, user, password, database)) {
        tk_log_write(2, "CLSID_SQLNCLI11 succeeded");
        native = true;
        return;
    }
    if (test_native_connection(ds, CLSID_SQLNCLI10, server, user, password, database)) {
        tk_log_write(2, "CLSID_SQLNCLI10 succeeded");
        native = true;
        return;
    }
    if (test_generic_connection(ds, make_connection_string(server, user, password, database))) {
        native = false;
        return;
    }
    throw tk_exception("Failed to load OLE DB support library. You should install it\r\nto proceed with the "
                       "application.\r\n",
                       1);
}

bool odb_initializer::test_native_connection(ole_com_ptr<IDBInitialize>& ds, const CLSID& provider,
                                             const std::wstring& server, const std::wstring& user,
                                             const std::wstring& password, const std::wstring& database)
{
    tk_log_write(1, "odb_initializer::test_native_connection");
    HRESULT hr = CoCreateInstance(provider, nullptr, CLSCTX_INPROC_SERVER, IID_IDBInitialize,
                                  reinterpret_cast<void**>(&ds));
    if (FAILED(hr) || !ds) {
        tk_log_write(1, "CoCreateInstance failed");
        return false;
    }
    tk_log_write(1, "SQLNCLI1X initialization SUCCEEDED!");

    std::vector<std::pair<DBPROPID, std::wstring>> values;
    values.emplace_back(DBPROP_INIT_DATASOURCE, server);
    if (!user.empty()) {
        values.emplace_back(DBPROP_AUTH_USERID, user);
        values.emplace_back(DBPROP_AUTH_PASSWORD, password);
    } else {
        values.emplace_back(DBPROP_AUTH_INTEGRATED, L"SSPI");
    }
    if (!database.empty())
        values.emplace_back(DBPROP_INIT_CATALOG, database);
    std::vector<DBPROP> props(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        props[i].dwPropertyID = values[i].first;
        props[i].dwOptions = DBPROPOPTIONS_REQUIRED;
        props[i].dwStatus = DBPROPSTATUS_OK;
        props[i].colid = DB_NULLID;
        VariantInit(&props[i].vValue);
        props[i].vValue.vt = VT_BSTR;
        props[i].vValue.bstrVal = SysAllocString(values[i].second.c_str());
    }
    struct clear_props {
        std::vector<DBPROP>& p;
        ~clear_props() { for (auto& x : p) VariantClear(&x.vValue); }
    } clear{props};
    DBPROPSET set{props.data(), static_cast<ULONG>(props.size()), DBPROPSET_DBINIT};
    {
        ole_com_ptr<IDBProperties> properties;
        hr = ds->QueryInterface(IID_IDBProperties, reinterpret_cast<void**>(&properties));
        if (FAILED(hr))
            fail(hr);
        tk_log_write(1, "Right before pIDBProperties->SetProperties");
        hr = properties->SetProperties(1, &set);
        if (FAILED(hr))
            fail(hr);
    }
    tk_log_write(1, "Right before db_initialize->Initialize");
    hr = ds->Initialize();
    if (FAILED(hr))
        fail(hr);
    tk_log_write(1, "odb_initializer::test_native_connection - END");
    return true;
}

bool odb_initializer::test_generic_connection(ole_com_ptr<IDBInitialize>& ds, const std::wstring& cs)
{
    tk_log_write_w(1, L"odb_initializer::test_generic_connection(%s)", mask_password(cs).c_str());
    ole_com_ptr<IDataInitialize> init;
    HRESULT hr = CoCreateInstance(CLSID_MSDAINITIALIZE, nullptr, CLSCTX_INPROC_SERVER, IID_IDataInitialize,
                                  reinterpret_cast<void**>(&init));
    if (FAILED(hr) || !init) {
        tk_log_write(2, "Failed to initialize CLSID_MSDAINITIALIZE: %08X", static_cast<unsigned>(hr));
        return false;
    }
    ole_com_ptr<IUnknown> unk;
    hr = init->GetDataSource(nullptr, CLSCTX_INPROC_SERVER, cs.c_str(), IID_IUnknown, &unk);
    if (FAILED(hr))
        fail(hr);
    hr = unk->QueryInterface(IID_IDBInitialize, reinterpret_cast<void**>(&ds));
    if (FAILED(hr))
        fail(hr);
    hr = ds->Initialize();
    if (FAILED(hr))
        fail(hr);
    return true;
}

// ---------------------------------------------------------------- mss_engine

mss_engine::mss_engine(int no_com) : no_com_init(no_com)
{
    if (!no_com_init)
        CoInitialize(nullptr);
    OleDbRegisterProviders();
    CoCreateInstance(CLSID_OLEDB_CONVERSIONLIBRARY, nullptr, 23, IID_IDataConvert,
                     reinterpret_cast<void**>(&data_convert));
    // The T-SQL text follows this engine's settings while it lives.
    if (mss_engine::get() == this)
        mss_set_engine_flags_source([] {
            mss_engine_flags f;
            if (mss_engine* e = mss_engine::get()) {
                f.unicode = e->is_unicode();
                f.user = e->get_user();
                f.as_dbo = e->is_as_dbo();
                f.schema = e->get_default_schema();
                f.version = e->get_version();
                f.view_owned = e->get_is_view_owned();
            }
            return f;
        });
}

mss_engine::~mss_engine()
{
    if (mss_engine::get() == this)
        mss_set_engine_flags_source({});
    databases.clear();
    server.clear();
    user.clear();
    password.clear();
    data_convert.reset();
}

void mss_engine::connect(const std::wstring& srv, const std::wstring& usr, const std::wstring& pwd,
                         const std::wstring& database, bool fl)
{
    tk_log_write_w(2, L"mss_engine::connect( %s, %s, %s, %s, %d )", srv.c_str(), usr.c_str(),
                   pwd.empty() ? L"" : masked, database.c_str(), static_cast<int>(fl));
    tk_log_write(3, "Connecting to MS SQL server(3)...");
    connect_steps(srv, usr, pwd, database, fl, false);
}

void mss_engine::connect(const std::wstring& srv, const std::wstring& usr, const std::wstring& pwd, bool fl)
{
    tk_log_write(3, "Connecting to MS SQL server(2)...");
    connect_steps(srv, usr, pwd, std::wstring(), fl, false);
}

void mss_engine::connect(const std::wstring& srv, bool fl)
{
    tk_log_write(3, "Connecting to MS SQL server(1)...");
    connect_steps(srv, std::wstring(), std::wstring(), std::wstring(), fl, true);
}

void mss_engine::connect_steps(const std::wstring& srv, const std::wstring& usr, const std::wstring& pwd,
                               const std::wstring& database, bool fl, bool windows)
{
    ole_com_ptr<IDBInitialize> ds;
    initializer.test_connection(ds, srv, usr, pwd, database);
    fast_load = enable_fast_load(ds.get(), fl);
    server = srv;
    if (windows) {
        // Later operations log in the same way: no SQL login left from before.
        user.clear();
        password.clear();
        windows_auth = true;
    } else {
        user = usr;
        password = pwd;
        windows_auth = false;
    }
    connected = true;
    version = get_version(ds.get());
    tk_log_write(2, "Got MS SQL version: %d", static_cast<int>(version));
    init_db_contents(ds.get());
    tk_log_write(1, "mss_engine::connect - END");
}

bool mss_engine::enable_fast_load(IUnknown* ds, bool flag)
{
    tk_log_write(2, "mss_engine::enable_fast_load(%d)", static_cast<int>(flag));
    if (!ds)
        TK_MAIL_ASSERT();
    DBPROP prop{};
    prop.dwPropertyID = SSPROP_ENABLEFASTLOAD;
    prop.dwOptions = DBPROPOPTIONS_REQUIRED;
    prop.colid = DB_NULLID;
    VariantInit(&prop.vValue);
    prop.vValue.vt = VT_BOOL;
    prop.vValue.boolVal = flag ? VARIANT_TRUE : VARIANT_FALSE;
    DBPROPSET set{&prop, 1, DBPROPSET_SQLSERVERDATASOURCE};
    ole_com_ptr<IDBProperties> properties;
    HRESULT hr = ds->QueryInterface(IID_IDBProperties, reinterpret_cast<void**>(&properties));
    if (FAILED(hr)) {
        VariantClear(&prop.vValue);
        fail(hr);
    }
    hr = properties->SetProperties(1, &set);
    VariantClear(&prop.vValue);
    if (FAILED(hr)) {
        // A provider that refuses bulk load leaves row-by-row inserts.
        tk_log_write(2, "Error code: %08X", static_cast<unsigned>(hr));
        fast_load = false;
        return false;
    }
    fast_load = flag;
    return flag;
}

namespace {

// The version code of a product major version (12 = SQL Server 2014); newer than known is the newest.
unsigned code_of_major(int major)
{
    static const std::pair<int, unsigned> majors[] = {{16, 18}, {15, 15}, {14, 13}, {13, 12}, {12, 10},
                                                      {11, 8},  {10, 5},  {9, 4},   {8, 3},   {7, 2}};
    if (major > 16)
        return mss_ver_newest;
    for (const auto& [m, code] : majors)
        if (major == m)
            return code;
    return mss_ver_unknown;
}

// The major version of the first build number ("12.0.2000.8", "8.00.2039": three or four dotted parts) of
// the text; -1 when it holds none.
int build_major(const std::wstring& text)
{
    auto digit = [&](std::size_t i) { return i < text.size() && std::iswdigit(text[i]); };
    for (std::size_t p = 0; p < text.size(); ++p) {
        if (!digit(p) || (p > 0 && (digit(p - 1) || text[p - 1] == L'.')))
            continue;
        std::size_t e = p, parts = 1, first_end = 0;
        while (true) {
            while (digit(e))
                ++e;
            if (!first_end)
                first_end = e;
            if (e < text.size() && text[e] == L'.' && digit(e + 1)) {
                ++parts;
                ++e;
                continue;
            }
            break;
        }
        if (parts >= 3 && first_end - p <= 3)
            return std::stoi(text.substr(p, first_end - p));
        p = e;
    }
    return -1;
}

} // namespace

unsigned mss_engine::parse_version(const std::wstring& text)
{
    const std::wstring prefix = L"Microsoft SQL Server";
    const std::wstring azure = L"Microsoft SQL Azure";
    if (text.size() > azure.size() && starts_with(text, azure)) {
        tk_log_write(2, "Got Microsoft SQL Azure");
        return mss_ver_azure;
    }
    if (text.size() > prefix.size() + 10 && starts_with(text, prefix)) {
        std::wstring num = tk_trim(text.substr(prefix.size(), 10));
        tk_log_write_w(1, L"str_ver_num=%s", num.c_str());
        static const std::pair<const wchar_t*, unsigned> years[] = {
            {L"2022", 18}, {L"2021", 17}, {L"2020", 16}, {L"2019", 15}, {L"2018", 14}, {L"2017", 13},
            {L"2016", 12}, {L"2015", 11}, {L"2014", 10}, {L"2013", 9},  {L"2012", 8},  {L"2011", 7},
            {L"2010", 6},  {L"2008", 5},  {L"2005", 4},  {L"200", 3},   {L"7.", 2}};
        for (const auto& [p, code] : years)
            if (starts_with(num, p))
                return code;
        // A release year after the last one known is the newest server, not the oldest.
        if (num.size() >= 4 && std::all_of(num.begin(), num.begin() + 4, ::iswdigit) && std::stoi(num.substr(0, 4)) > 2022)
            return mss_ver_newest;
    }
    // Otherwise the product's build number ("... - 12.0.2000.8 ...") decides, whatever the product's name.
    const int major = build_major(text);
    return major < 0 ? mss_ver_unknown : code_of_major(major);
}

unsigned mss_engine::get_version(IUnknown* ds)
{
    tk_log_write(2, "mss_engine::get_version(priv)");
    odb_command cmd(ds);
    IRowset* raw = nullptr;
    cmd.execute(L"SELECT @@VERSION", &raw);
    odb_recordset rs(raw);
    if (raw)
        raw->Release();   // the recordset holds its own reference
    rs.reset();
    odb_record* rec = rs.get_item();
    std::wstring text = rec->empty() ? std::wstring() : (*rec)[0]->to_wstring();
    tk_log_write_w(2, L"MS SQL version string: %s", text.c_str());
    version_text = text;
    return parse_version(text);
}

void mss_engine::init_db_contents(IUnknown* ds)
{
    tk_log_write(2, "mss_engine::init_db_contents");
    databases.clear();
    if (version == mss_ver_azure)
        return;
    ole_com_ptr<IDBCreateSession> create;
    HRESULT hr = ds->QueryInterface(IID_IDBCreateSession, reinterpret_cast<void**>(&create));
    if (FAILED(hr))
        fail(hr);
    ole_com_ptr<IOpenRowset> session;
    hr = create->CreateSession(nullptr, IID_IOpenRowset, reinterpret_cast<IUnknown**>(&session));
    if (FAILED(hr))
        fail(hr);
    odb_command cmd(session.get());
    IRowset* raw = nullptr;
    try {
        cmd.execute(version < 4 ? L"SELECT name from master.sys.sysdatabases ORDER BY name"
                                : L"SELECT name from master.sys.databases ORDER BY name",
                    &raw);
    } catch (const odb_exception&) {
        if (version > 3)
            throw;
        tk_log_write(2, "Try the second approach for MS SQL <= v2000...");
        cmd.execute(L"SELECT name from master.dbo.sysdatabases ORDER BY name", &raw);
    }
    odb_recordset rs(raw);
    if (raw)
        raw->Release();
    rs.reset();
    while (!rs.is_eof()) {
        odb_record* rec = rs.get_item();
        std::wstring name = rec->empty() ? std::wstring() : (*rec)[0]->to_wstring();
        tk_log_write_w(1, L"Got database: %s", name.c_str());
        databases.push_back(name);
        rs.next();
    }
}

bool mss_engine::is_db_exist(const std::wstring& name)
{
    tk_log_write_w(2, L"mss_engine::is_db_exist(%s)", name.c_str());
    if (!connected)
        throw tk_mail_assertion("mss_engi", 177);
    if (version != mss_ver_azure) {
        tk_log_write(1, "Step #1: check via get_contents()");
        try {
            tk_log_write(1, "mss_engine::get_contents");
            std::vector<std::wstring> list = databases;
            bool found = false;
            for (const auto& d : list)
                if (tk_iequal(d, name)) {
                    found = true;
                    break;
                }
            if (!found) {
                tk_log_write_w(1, L"Database %s has NOT been found", name.c_str());
                return false;
            }
            tk_log_write_w(1, L"Database %s has been found", name.c_str());
        } catch (const odb_exception& e) {
            tk_log_write(1, "ERROR: %s", e.what());
            return false;
        }
    }
    tk_log_write(1, "Step #2: check via test_connection(...)");
    ole_com_ptr<IDBInitialize> ds;
    try {
        initializer.test_connection(ds, server, user, password, name);
    } catch (const odb_exception&) {
        throw mss_no_perm_exception(user, name);
    }
    ds.reset();
    tk_log_write(2, "mss_engine::is_db_exist -- end");
    return true;
}

mss_database* mss_engine::create_db(const std::wstring& name)
{
    tk_log_write_w(2, L"mss_engine::create_db(%s)", name.c_str());
    tk_log_write_w(3, L"Creating MS SQL database '%s'", name.c_str());
    if (!connected)
        throw tk_mail_assertion("mss_engi", 234);
    {
        ole_com_ptr<IDBInitialize> ds;
        initializer.test_connection(ds, server, user, password, std::wstring());
        odb_command cmd(ds.get());
        cmd.execute(L"CREATE DATABASE " + bracket(name));
    }
    // The new database is on the server now; the list says so too.
    if (std::none_of(databases.begin(), databases.end(), [&](const std::wstring& d) { return tk_iequal(d, name); }))
        databases.push_back(name);
    return open_db(name, 2, std::wstring());
}

void mss_engine::delete_db(const std::wstring& name)
{
    tk_log_write_w(2, L"mss_engine::delete_db(%s)", name.c_str());
    tk_log_write_w(3, L"Deleting MS SQL database '%s'", name.c_str());
    if (!connected)
        throw tk_mail_assertion("mss_engi", 145);
    {
        ole_com_ptr<IDBInitialize> ds;
        initializer.test_connection(ds, server, user, password, std::wstring());
        odb_command cmd(ds.get());
        cmd.execute(L"DROP DATABASE " + bracket(name));
    }
    auto it = std::find_if(databases.begin(), databases.end(),
                           [&](const std::wstring& d) { return d.size() == name.size() && tk_iequal(d, name); });
    if (it != databases.end()) {
        databases.erase(it);
        tk_log_write(1, "Database has been removed from the list");
    } else {
        tk_log_write(2, "Database was not found in the list");
    }
}

void mss_engine::open_session(const std::wstring& name, ole_com_ptr<IDBInitialize>& ds,
                              ole_com_ptr<IOpenRowset>& session)
{
    initializer.test_connection(ds, server, user, password, name);
    ole_com_ptr<IDBCreateSession> create;
    HRESULT hr = ds->QueryInterface(IID_IDBCreateSession, reinterpret_cast<void**>(&create));
    if (FAILED(hr))
        fail(hr);
    hr = create->CreateSession(nullptr, IID_IOpenRowset, reinterpret_cast<IUnknown**>(&session));
    if (FAILED(hr))
        fail(hr);
    tk_log_write(1, "Connection to the database was establish successfully");
}

void mss_engine::read_default_schema(IOpenRowset* session)
{
    default_schema.clear();
    try {
        odb_command cmd(session);
        IRowset* raw = nullptr;
        cmd.execute(L"SELECT SCHEMA_NAME()", &raw);
        odb_recordset rs(raw);
        if (raw)
            raw->Release();
        rs.reset();
        if (!rs.is_eof()) {
            odb_record* rec = rs.get_item();
            if (!rec->empty() && !(*rec)[0]->is_null())
                default_schema = (*rec)[0]->to_wstring();
        }
    } catch (const odb_exception& e) {
        tk_log_write(3, "The default schema cannot be read: %s", e.what());
    }
    tk_log_write_w(2, L"Default schema: %ls", default_schema.c_str());
}

mss_database* mss_engine::open_db(const std::wstring& name, int mode, const std::wstring& schema)
{
    tk_log_write_w(2, L"mss_engine::open_db(%s)", name.c_str());
    tk_log_write_w(3, L"Opening MS SQL database '%s'", name.c_str());
    if (!connected)
        throw tk_mail_assertion("mss_engi", 262);
    ole_com_ptr<IDBInitialize> ds;
    ole_com_ptr<IOpenRowset> session;
    open_session(name, ds, session);
    read_default_schema(session.get());
    return new mss_database(name, schema, ds.get(), session.get(), mode);
}

int mss_engine::cancel_statements(bool drop_connections)
{
    const int asked = OleDbCancelPendingCommands(drop_connections);
    tk_log_write(2, "mss_engine::cancel_statements: %d statement(s) asked to cancel%s", asked,
                 drop_connections ? ", connections cut" : "");
    return asked;
}

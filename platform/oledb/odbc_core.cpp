#include "platform/oledb/odbc_core.h"

#include <dirent.h>
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <mutex>
#include <set>

#include "platform/oledb/odbc_dsn.h"
#include "platform/win/win_utf.h"

namespace odbc {

// ---------------------------------------------------------------- text

std::u16string to_utf16(const std::wstring& s)
{
    return win_utf16_from_wide(s);
}

std::wstring from_utf16(const char16_t* s, std::size_t n)
{
    return win_wide_from_utf16(std::u16string_view(s, n));
}

std::string to_utf8(const std::wstring& s)
{
    return win_utf8_from_wide(s);
}

std::wstring from_utf8(const std::string& s)
{
    return win_wide_from_utf8(s);
}

namespace {

std::u16string from_sqlw(const SQLWCHAR* s, std::size_t n)
{
    std::u16string r(n, u'\0');
    for (std::size_t i = 0; i < n; ++i)
        r[i] = static_cast<char16_t>(s[i]);
    return r;
}

// Zero-terminated SQLWCHAR copy of a wide string.
struct wbuf {
    std::vector<SQLWCHAR> v;
    explicit wbuf(const std::wstring& s)
    {
        std::u16string u = to_utf16(s);
        v.assign(u.begin(), u.end());
        v.push_back(0);
    }
    SQLWCHAR* p() { return v.data(); }
    SQLSMALLINT len() const { return static_cast<SQLSMALLINT>(v.size() - 1); }
    SQLINTEGER ilen() const { return static_cast<SQLINTEGER>(v.size() - 1); }
};

bool ok(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

bool in(std::int32_t v, std::initializer_list<std::int32_t> set)
{
    return std::find(set.begin(), set.end(), v) != set.end();
}

} // namespace

// ---------------------------------------------------------------- diagnostics

std::vector<diag_record> read_diagnostics(short handle_type, void* handle)
{
    std::vector<diag_record> out;
    if (!handle)
        return out;
    for (SQLSMALLINT i = 1; i < 64; ++i) {
        SQLWCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLSMALLINT len = 0;
        std::vector<SQLWCHAR> msg(1024);
        SQLRETURN rc = SQLGetDiagRecW(handle_type, handle, i, state, &native, msg.data(),
                                      static_cast<SQLSMALLINT>(msg.size()), &len);
        if (rc == SQL_SUCCESS_WITH_INFO && len >= static_cast<SQLSMALLINT>(msg.size())) {
            msg.resize(static_cast<std::size_t>(len) + 1);
            rc = SQLGetDiagRecW(handle_type, handle, i, state, &native, msg.data(),
                                static_cast<SQLSMALLINT>(msg.size()), &len);
        }
        if (!ok(rc))
            break;
        diag_record d;
        for (int k = 0; k < 5 && state[k]; ++k)
            d.sqlstate.push_back(static_cast<char>(state[k]));
        d.native = native;
        std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(std::max<SQLSMALLINT>(len, 0)), msg.size() - 1);
        d.message = from_utf16(from_sqlw(msg.data(), n));
        out.push_back(std::move(d));
    }
    return out;
}

std::int32_t hresult_for(const std::vector<diag_record>& recs)
{
    // Server error numbers first: they are the most precise.
    for (const auto& d : recs) {
        std::int32_t n = d.native;
        if (in(n, {2627, 2601, 547, 515}))
            return hr::integrity_violation;
        if (in(n, {208}))
            return hr::no_table;
        if (in(n, {18456, 18452, 18470, 18486, 18487, 18488}))
            return hr::auth_failed;
        if (in(n, {229, 230, 262, 297, 300, 916, 15247, 1088}))
            return hr::permission_denied;
        if (in(n, {2714}))
            return hr::duplicate_table;
        if (in(n, {1913}))
            return hr::duplicate_index;
        if (in(n, {8115, 220, 232}))
            return hr::data_overflow;
        if (in(n, {245, 8114}))
            return hr::cant_convert;
    }
    for (const auto& d : recs) {
        const std::string& s = d.sqlstate;
        if (s.rfind("23", 0) == 0)
            return hr::integrity_violation;
        if (s == "42S02" || s == "S0002")
            return hr::no_table;
        if (s.rfind("28", 0) == 0)
            return hr::auth_failed;
        if (s == "42S01" || s == "S0001")
            return hr::duplicate_table;
        if (s == "42S11" || s == "S0011")
            return hr::duplicate_index;
        if (s == "42S12" || s == "S0012")
            return hr::no_index;
        if (s == "22003")
            return hr::data_overflow;
        if (s == "22018" || s == "07006")
            return hr::cant_convert;
        if (s == "HY008")
            return hr::canceled;
    }
    for (const auto& d : recs) {
        const std::string& s = d.sqlstate;
        if (s.rfind("42", 0) == 0 || s.rfind("37", 0) == 0 || s.rfind("22", 0) == 0 ||
            (s == "HY000" && d.native > 0 && d.native != 4060 && d.native < 18000))
            return hr::errors_in_command;
    }
    return hr::fail;
}

void note_lost_connection(void* dbc, std::vector<diag_record>& recs)
{
    // FreeTDS reports a connection that dies while a statement's data is sent as "Unexpected EOF
    // from the server" (state 01000) or an unknown error: only the connection itself tells.
    for (const auto& d : recs)
        if (d.sqlstate.rfind("08", 0) == 0)
            return;
    SQLUINTEGER dead = SQL_CD_FALSE;
    if (!dbc || !ok(SQLGetConnectAttr(dbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) || dead != SQL_CD_TRUE)
        return;
    diag_record lost;
    lost.sqlstate = "08S01";
    lost.message = L"Communication link failure";
    recs.insert(recs.begin(), std::move(lost));
}

namespace {
std::string summary(const std::vector<diag_record>& recs)
{
    std::string s;
    for (const auto& d : recs) {
        if (!s.empty())
            s += '\n';
        s += "[" + d.sqlstate + "] " + to_utf8(d.message);
    }
    return s.empty() ? std::string("ODBC call failed") : s;
}
} // namespace

error::error(std::int32_t code, std::vector<diag_record> recs)
    : std::runtime_error(summary(recs)), code_(code), records_(std::move(recs))
{
}

error::error(std::int32_t code, const std::wstring& message)
    : std::runtime_error(to_utf8(message)), code_(code)
{
    diag_record d;
    d.sqlstate = "HY000";
    d.message = message;
    records_.push_back(std::move(d));
}

bool driver_missing(const error& e)
{
    for (const auto& d : e.records()) {
        if (d.sqlstate == "IM002" || d.sqlstate == "IM003")
            return true;
        if (d.sqlstate == "01000" && d.message.find(L"Can't open lib") != std::wstring::npos)
            return true;
    }
    return false;
}

namespace {
[[noreturn]] void throw_diag(short type, void* h, const char* what)
{
    auto recs = read_diagnostics(type, h);
    if (recs.empty()) {
        diag_record d;
        d.sqlstate = "HY000";
        d.message = from_utf8(std::string(what) + " failed");
        recs.push_back(std::move(d));
    }
    std::int32_t code = hresult_for(recs);
    throw error(code, std::move(recs));
}
} // namespace

// ---------------------------------------------------------------- environment

void* environment()
{
    static SQLHENV env = [] {
        // Pooled connections would keep a dropped database in use.
        SQLSetEnvAttr(SQL_NULL_HENV, SQL_ATTR_CONNECTION_POOLING,
                      reinterpret_cast<SQLPOINTER>(SQL_CP_OFF), SQL_IS_UINTEGER);
        SQLHENV e = SQL_NULL_HENV;
        if (!ok(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &e)))
            throw error(hr::fail, std::wstring(L"Cannot allocate the ODBC environment"));
        SQLSetEnvAttr(e, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        SQLSetEnvAttr(e, SQL_ATTR_CONNECTION_POOLING, reinterpret_cast<SQLPOINTER>(SQL_CP_OFF),
                      SQL_IS_UINTEGER);
        return e;
    }();
    return env;
}

std::vector<std::wstring> installed_drivers()
{
    static std::mutex m;
    std::lock_guard<std::mutex> lock(m);
    std::vector<std::wstring> out;
    SQLHENV env = environment();
    SQLWCHAR desc[512];
    SQLWCHAR attr[2048];
    SQLSMALLINT dlen = 0, alen = 0;
    SQLUSMALLINT dir = SQL_FETCH_FIRST;
    for (;;) {
        SQLRETURN rc = SQLDriversW(env, dir, desc, 512, &dlen, attr, 2048, &alen);
        if (!ok(rc))
            break;
        std::size_t n = 0;
        while (n < 511 && desc[n])
            ++n;
        out.push_back(from_utf16(from_sqlw(desc, n)));
        dir = SQL_FETCH_NEXT;
    }
    return out;
}

namespace {
bool iequal(const std::wstring& a, const std::wstring& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::towlower(a[i]) != std::towlower(b[i]))
            return false;
    return true;
}
bool istarts(const std::wstring& s, const std::wstring& prefix)
{
    return s.size() >= prefix.size() && iequal(s.substr(0, prefix.size()), prefix);
}
} // namespace

bool driver_installed(const std::wstring& name)
{
    for (const auto& d : installed_drivers())
        if (iequal(d, name))
            return true;
    return false;
}

// ---------------------------------------------------------------- connection strings

std::wstring quote_value(const std::wstring& v)
{
    std::wstring r = L"{";
    for (wchar_t c : v) {
        r.push_back(c);
        if (c == L'}')
            r.push_back(L'}');
    }
    r.push_back(L'}');
    return r;
}

void append_attr(std::wstring& cs, const std::wstring& key, const std::wstring& value)
{
    cs += key;
    cs += L'=';
    cs += quote_value(value);
    cs += L';';
}

std::vector<std::wstring> sqlserver_driver_candidates()
{
    std::vector<std::wstring> out;
    if (const char* env = std::getenv("DRAV_ODBC_DRIVER"); env && *env)
        out.push_back(from_utf8(env));
    for (const wchar_t* d : {L"ODBC Driver 18 for SQL Server", L"ODBC Driver 17 for SQL Server", L"FreeTDS"})
        if (std::find_if(out.begin(), out.end(), [&](const std::wstring& x) { return iequal(x, d); }) == out.end())
            out.push_back(d);
    return out;
}

std::vector<std::wstring> installed_sqlserver_drivers()
{
    std::vector<std::wstring> out;
    auto inst = installed_drivers();
    for (const auto& c : sqlserver_driver_candidates())
        for (const auto& d : inst)
            if (iequal(c, d)) {
                out.push_back(d);
                break;
            }
    return out;
}

bool is_freetds(const std::wstring& driver)
{
    return driver.find(L"FreeTDS") != std::wstring::npos || driver.find(L"freetds") != std::wstring::npos ||
           driver.find(L"tdsodbc") != std::wstring::npos;
}

// No server name means the server on this machine; drivers refuse an empty SERVER=.
static std::wstring local_if_empty(const std::wstring& host)
{
    return host.empty() ? std::wstring(L"localhost") : host;
}

namespace {

// Host and port as FreeTDS takes them apart ("host,port" for the others).
struct freetds_address {
    std::wstring host;
    std::wstring port;   // empty: the server's browser tells it
};

freetds_address freetds_address_of(const std::wstring& server)
{
    freetds_address a{server, {}};
    if (auto comma = a.host.rfind(L','); comma != std::wstring::npos) {
        a.port = a.host.substr(comma + 1);
        a.host.resize(comma);
    }
    // FreeTDS knows no default port of its own: a host alone is the server's usual 1433,
    // unless it names an instance ("host\\name"), whose port the server's browser tells.
    if (a.port.empty() && a.host.find(L'\\') == std::wstring::npos)
        a.port = L"1433";
    a.host = local_if_empty(a.host);
    return a;
}

} // namespace

bool own_connection_text(const std::wstring& server)
{
    return istarts(server, L"DSN=") || istarts(server, L"DRIVER=") || istarts(server, L"FILEDSN=");
}

namespace {

bool login_holds_brace(const login& l)
{
    for (const std::wstring* v : {&l.user, &l.password, &l.database})
        if (v->find(L'}') != std::wstring::npos)
            return true;
    return false;
}

} // namespace

bool login_needs_data_source(const std::wstring& driver, const login& l)
{
    if (own_connection_text(l.server) || !is_freetds(driver) || l.user.empty())
        return false;
    return login_holds_brace(l);
}

std::wstring bare_data_source_name(const std::wstring& server)
{
    if (!istarts(server, L"DSN="))
        return {};
    std::wstring name = server.substr(4);
    if (!name.empty() && name.back() == L';')
        name.pop_back();
    if (name.empty() || name.find_first_of(L";={}") != std::wstring::npos)
        return {};
    return name;
}

std::wstring build_connection_string(const std::wstring& driver, const login& l)
{
    std::wstring cs;
    const bool own = own_connection_text(l.server);
    if (own) {
        // The user's own data source or driver text; our attributes follow it.
        cs = l.server;
        if (!cs.empty() && cs.back() != L';')
            cs += L';';
    } else {
        append_attr(cs, L"DRIVER", driver);
        if (is_freetds(driver)) {
            const freetds_address a = freetds_address_of(l.server);
            append_attr(cs, L"SERVER", a.host);
            if (!a.port.empty())
                append_attr(cs, L"PORT", a.port);
            cs += L"TDS_Version=7.4;ClientCharset=UTF-8;";
        } else {
            append_attr(cs, L"SERVER", local_if_empty(l.server));
            if (driver.find(L"18") != std::wstring::npos)
                cs += L"TrustServerCertificate=yes;";
        }
    }
    if (!l.database.empty())
        append_attr(cs, L"DATABASE", l.database);
    if (!l.user.empty()) {
        append_attr(cs, L"UID", l.user);
        append_attr(cs, L"PWD", l.password);
    } else if (!own) {
        cs += L"Trusted_Connection=yes;";
    }
    return cs;
}

std::wstring masked_connection_string(const std::wstring& cs)
{
    // Walks key=value pairs with brace quoting and hides PWD's value.
    std::wstring out;
    std::size_t i = 0;
    while (i < cs.size()) {
        std::size_t eq = cs.find(L'=', i);
        if (eq == std::wstring::npos) {
            out += cs.substr(i);
            break;
        }
        std::wstring key = cs.substr(i, eq - i);
        std::size_t j = eq + 1;
        std::wstring value;
        if (j < cs.size() && cs[j] == L'{') {
            ++j;
            while (j < cs.size()) {
                if (cs[j] == L'}') {
                    if (j + 1 < cs.size() && cs[j + 1] == L'}') { value += L"}}"; j += 2; continue; }
                    ++j;
                    break;
                }
                value += cs[j++];
            }
            value = L"{" + value + L"}";
        }
        std::size_t semi = cs.find(L';', j);
        if (semi == std::wstring::npos)
            semi = cs.size();
        value += cs.substr(j, semi - j);
        std::wstring k = key;
        while (!k.empty() && k.front() == L' ') k.erase(0, 1);
        while (!k.empty() && k.back() == L' ') k.pop_back();
        out += key + L"=" + ((iequal(k, L"PWD") || iequal(k, L"PASSWORD")) ? std::wstring(L"***") : value);
        if (semi < cs.size())
            out += L';';
        i = semi + 1;
    }
    return out;
}

// ---------------------------------------------------------------- connection

connection::connection() = default;

connection::~connection() { close(); }

namespace {

// A connection handle with the settings that must precede the connect.
SQLHDBC new_connection_handle(int login_timeout_s, bool bulk_copy)
{
    SQLHDBC dbc = SQL_NULL_HDBC;
    if (!ok(SQLAllocHandle(SQL_HANDLE_DBC, environment(), &dbc)))
        throw_diag(SQL_HANDLE_ENV, environment(), "SQLAllocHandle(DBC)");
    SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(login_timeout_s)), 0);
    if (bulk_copy) {
        constexpr SQLINTEGER attr_bulk_copy = 1219;   // the SQL Server drivers' switch for bcp
        SQLSetConnectAttr(dbc, attr_bulk_copy, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(1)), SQL_IS_UINTEGER);
    }
    return dbc;
}

// Throws the diagnostics of a failed connect and frees its handle.
[[noreturn]] void connect_failed(SQLHDBC dbc)
{
    auto recs = read_diagnostics(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    if (recs.empty()) {
        diag_record d;
        d.sqlstate = "08001";
        d.message = L"Cannot connect to the data source";
        recs.push_back(std::move(d));
    }
    std::int32_t code = hresult_for(recs);
    throw error(code, std::move(recs));
}

// The peers of the process's TCP sockets, and those a connection added to the servers' (below).
std::set<std::string> tcp_peers() noexcept;
void note_server_peers(const std::set<std::string>& before) noexcept;

// What the private data source of a FreeTDS login holds: everything but the secrets.
temporary_data_source::attributes freetds_source_attributes(const std::wstring& driver, const login& l)
{
    const freetds_address a = freetds_address_of(l.server);
    temporary_data_source::attributes attrs{{L"Driver", driver}, {L"Server", a.host}};
    if (!a.port.empty())
        attrs.emplace_back(L"Port", a.port);
    attrs.emplace_back(L"TDS_Version", L"7.4");
    attrs.emplace_back(L"ClientCharset", L"UTF-8");
    if (!l.database.empty())
        attrs.emplace_back(L"Database", l.database);
    return attrs;
}

} // namespace

void connection::open(const std::wstring& cs, int login_timeout_s, bool bulk_copy)
{
    close();
    SQLHDBC dbc = new_connection_handle(login_timeout_s, bulk_copy);
    wbuf w(cs);
    SQLWCHAR outbuf[1024];
    SQLSMALLINT outlen = 0;
    const std::set<std::string> before = tcp_peers();
    SQLRETURN rc = SQLDriverConnectW(dbc, nullptr, w.p(), w.len(), outbuf, 1024, &outlen, SQL_DRIVER_NOPROMPT);
    if (!ok(rc))
        connect_failed(dbc);
    note_server_peers(before);
    dbc_ = dbc;
    open_ = true;
}

void connection::open(const std::wstring& driver, const login& l, int login_timeout_s, bool bulk_copy)
{
    // The user and password go to the driver apart from any text it parses: through a
    // private data source, or through the user's own one when the server names one alone.
    if (login_needs_data_source(driver, l)) {
        temporary_data_source source(freetds_source_attributes(driver, l));
        connect_apart(source.name(), {{}, l.user, l.password, {}}, login_timeout_s, bulk_copy);
        return;
    }
    const std::wstring dsn = bare_data_source_name(l.server);
    if (!dsn.empty() && !l.user.empty() && login_holds_brace(l)) {
        connect_apart(dsn, l, login_timeout_s, bulk_copy);
        return;
    }
    open(build_connection_string(driver, l), login_timeout_s, bulk_copy);
}

void connection::connect_apart(const std::wstring& dsn_name, const login& l, int login_timeout_s, bool bulk_copy)
{
    close();
    SQLHDBC dbc = new_connection_handle(login_timeout_s, bulk_copy);
    if (!l.database.empty()) {
        // The database the login starts in, without a connection string to carry it.
        wbuf db(l.database);
        if (!ok(SQLSetConnectAttrW(dbc, SQL_ATTR_CURRENT_CATALOG, db.p(), SQL_NTS)))
            connect_failed(dbc);
    }
    wbuf dsn(dsn_name), uid(l.user), pwd(l.password);
    const std::set<std::string> before = tcp_peers();
    SQLRETURN rc = SQLConnectW(dbc, dsn.p(), SQL_NTS, uid.p(), SQL_NTS, pwd.p(), SQL_NTS);
    if (!ok(rc))
        connect_failed(dbc);
    note_server_peers(before);
    dbc_ = dbc;
    open_ = true;
}

void connection::close() noexcept
{
    if (active_) {
        result_holder* h = active_;
        active_ = nullptr;
        try { h->release_connection(); } catch (...) {}
    }
    if (dbc_) {
        if (open_)
            SQLDisconnect(dbc_);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    }
    dbc_ = nullptr;
    open_ = false;
}

namespace {
std::wstring get_info_text(void* dbc, SQLUSMALLINT what)
{
    SQLWCHAR buf[256] = {};
    SQLSMALLINT len = 0;
    if (!ok(SQLGetInfoW(dbc, what, buf, sizeof buf, &len)))
        return {};
    std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(len) / sizeof(SQLWCHAR), 255);
    return from_utf16(from_sqlw(buf, n));
}
} // namespace

std::wstring connection::dbms_name() const { return open_ ? get_info_text(dbc_, SQL_DBMS_NAME) : std::wstring(); }
std::wstring connection::driver_name() const { return open_ ? get_info_text(dbc_, SQL_DRIVER_NAME) : std::wstring(); }

void connection::claim(result_holder* h)
{
    if (active_ && active_ != h) {
        result_holder* old = active_;
        active_ = nullptr;
        old->release_connection();
    }
    active_ = h;
}

void connection::unclaim(result_holder* h) noexcept
{
    if (active_ == h)
        active_ = nullptr;
}

// ---------------------------------------------------------------- columns

void map_column(column_desc& c)
{
    const std::uint64_t long_text = 1073741823;
    const std::uint64_t long_bytes = 2147483647;
    c.flags = c.nullable ? (DBCOLUMNFLAGS_ISNULLABLE | DBCOLUMNFLAGS_MAYBENULL) : 0;
    c.precision = 0;
    c.scale = 0;
    auto fixed = [&](DBTYPE t, std::uint64_t size, unsigned char prec) {
        c.db_type = t;
        c.db_size = size;
        c.precision = prec;
        c.flags |= DBCOLUMNFLAGS_ISFIXEDLENGTH;
    };
    std::wstring tn;
    for (wchar_t ch : c.type_name)
        tn.push_back(static_cast<wchar_t>(std::towlower(ch)));
    switch (c.sql_type) {
    case SQL_CHAR: case SQL_VARCHAR: case SQL_LONGVARCHAR:
    case SQL_WCHAR: case SQL_WVARCHAR: case SQL_WLONGVARCHAR: {
        bool wide = c.sql_type == SQL_WCHAR || c.sql_type == SQL_WVARCHAR || c.sql_type == SQL_WLONGVARCHAR;
        c.db_type = wide ? DBTYPE_WSTR : DBTYPE_STR;
        bool is_long = c.sql_type == SQL_LONGVARCHAR || c.sql_type == SQL_WLONGVARCHAR || c.size == 0 ||
                       c.size > 8000;
        c.db_size = is_long ? long_text : c.size;
        if (is_long)
            c.flags |= DBCOLUMNFLAGS_ISLONG;
        if (c.sql_type == SQL_CHAR || c.sql_type == SQL_WCHAR)
            c.flags |= DBCOLUMNFLAGS_ISFIXEDLENGTH;
        break;
    }
    case -152: // xml
        c.db_type = DBTYPE_XML;
        c.db_size = long_text;
        c.flags |= DBCOLUMNFLAGS_ISLONG;
        break;
    case SQL_BINARY: case SQL_VARBINARY: case SQL_LONGVARBINARY: case -151 /* udt */: {
        c.db_type = DBTYPE_BYTES;
        bool is_long = c.sql_type == SQL_LONGVARBINARY || c.size == 0 || c.size > 8000;
        c.db_size = is_long ? long_bytes : c.size;
        if (is_long)
            c.flags |= DBCOLUMNFLAGS_ISLONG;
        if (c.sql_type == SQL_BINARY)
            c.flags |= DBCOLUMNFLAGS_ISFIXEDLENGTH;
        if (tn == L"timestamp" || tn == L"rowversion")
            c.flags |= DBCOLUMNFLAGS_ISROWVER;
        break;
    }
    case SQL_BIT: fixed(DBTYPE_BOOL, 2, 0); break;
    case SQL_TINYINT: fixed(DBTYPE_UI1, 1, 3); break;
    case SQL_SMALLINT: fixed(DBTYPE_I2, 2, 5); break;
    case SQL_INTEGER: fixed(DBTYPE_I4, 4, 10); break;
    case SQL_BIGINT: fixed(DBTYPE_I8, 8, 19); break;
    case SQL_REAL: fixed(DBTYPE_R4, 4, 7); break;
    case SQL_FLOAT: case SQL_DOUBLE: fixed(DBTYPE_R8, 8, 15); break;
    case SQL_DECIMAL: case SQL_NUMERIC:
        if (tn.find(L"money") != std::wstring::npos) {
            fixed(DBTYPE_CY, 8, 19);
        } else {
            fixed(DBTYPE_NUMERIC, 19, static_cast<unsigned char>(std::min<std::uint64_t>(c.size, 38)));
            c.scale = static_cast<unsigned char>(std::max<short>(c.digits, 0));
        }
        break;
    case SQL_TYPE_DATE: case SQL_DATE: fixed(DBTYPE_DBDATE, 6, 10); break;
    case SQL_TYPE_TIME: case SQL_TIME: case -154 /* time2 */:
        fixed(DBTYPE_DBTIME2, 10, static_cast<unsigned char>(std::min<std::uint64_t>(c.size, 255)));
        c.scale = static_cast<unsigned char>(std::max<short>(c.digits, 0));
        break;
    case SQL_TYPE_TIMESTAMP: case SQL_TIMESTAMP:
        fixed(DBTYPE_DBTIMESTAMP, 16, static_cast<unsigned char>(std::min<std::uint64_t>(c.size, 255)));
        c.scale = static_cast<unsigned char>(std::max<short>(c.digits, 0));
        break;
    case -155: // datetimeoffset
        fixed(DBTYPE_DBTIMESTAMPOFFSET, 20, static_cast<unsigned char>(std::min<std::uint64_t>(c.size, 255)));
        c.scale = static_cast<unsigned char>(std::max<short>(c.digits, 0));
        break;
    case SQL_GUID: fixed(DBTYPE_GUID, 16, 0); break;
    case -150: // sql_variant
        c.db_type = DBTYPE_VARIANT;
        c.db_size = 8016;
        break;
    default:
        c.db_type = DBTYPE_WSTR;
        c.db_size = c.size == 0 ? long_text : c.size;
        if (c.size == 0)
            c.flags |= DBCOLUMNFLAGS_ISLONG;
        break;
    }
}

// ---------------------------------------------------------------- statement

// ---------------------------------------------------------------- statements waiting on a server

namespace {

std::mutex& tracked_mutex()
{
    static std::mutex m;
    return m;
}

std::vector<void*>& tracked_statements()
{
    static std::vector<void*> handles;
    return handles;
}

} // namespace

void track_statement(void* stmt)
{
    std::lock_guard<std::mutex> lock(tracked_mutex());
    tracked_statements().push_back(stmt);
}

void untrack_statement(void* stmt) noexcept
{
    std::lock_guard<std::mutex> lock(tracked_mutex());
    auto& handles = tracked_statements();
    handles.erase(std::remove(handles.begin(), handles.end(), stmt), handles.end());
}

int cancel_statements() noexcept
{
    // The lock keeps each handle alive while it is cancelled: its owner untracks it before freeing it.
    std::lock_guard<std::mutex> lock(tracked_mutex());
    for (void* stmt : tracked_statements())
        SQLCancel(stmt);
    return static_cast<int>(tracked_statements().size());
}

namespace {

// Calls f(fd, peer) for each TCP socket of the process; the peer address as bytes.
template <class F> void for_each_tcp_socket(F&& f) noexcept
{
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr)
        return;
    while (const dirent* entry = ::readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        if (fd <= 2 || fd == ::dirfd(dir))
            continue;
        int type = 0;
        socklen_t len = sizeof type;
        sockaddr_storage peer{};
        socklen_t peer_len = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM ||
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0 ||
            (peer.ss_family != AF_INET && peer.ss_family != AF_INET6))
            continue;
        f(fd, std::string(reinterpret_cast<const char*>(&peer), peer_len));
    }
    ::closedir(dir);
}

std::set<std::string> tcp_peers() noexcept
{
    std::set<std::string> peers;
    try {
        for_each_tcp_socket([&](int, std::string peer) { peers.insert(std::move(peer)); });
    } catch (...) {   // out of memory: fewer peers known
    }
    return peers;
}

// The addresses of the servers the process has connected to: only their sockets are cut, never
// another TCP connection of the process (a display reached over the network, say).
std::set<std::string>& server_peers()
{
    static std::set<std::string> peers;
    return peers;
}

// Notes the peers that a connection made between the two snapshots added.
void note_server_peers(const std::set<std::string>& before) noexcept
{
    const std::set<std::string> after = tcp_peers();
    std::lock_guard<std::mutex> lock(tracked_mutex());
    try {
        for (const std::string& peer : after)
            if (!before.count(peer))
                server_peers().insert(peer);
    } catch (...) {   // out of memory: that server's sockets are not cut on a stop
    }
}

} // namespace

int drop_server_connections() noexcept
{
    std::lock_guard<std::mutex> lock(tracked_mutex());
    int dropped = 0;
    for_each_tcp_socket([&](int fd, const std::string& peer) {
        if (server_peers().count(peer) && ::shutdown(fd, SHUT_RDWR) == 0)
            ++dropped;
    });
    return dropped;
}

// ---------------------------------------------------------------- statement

statement::statement(connection& c) : conn_(c)
{
    if (!c.is_open())
        throw error(hr::not_initialized, std::wstring(L"The connection is not open"));
    SQLHSTMT s = SQL_NULL_HSTMT;
    if (!ok(SQLAllocHandle(SQL_HANDLE_STMT, c.handle(), &s)))
        throw_diag(SQL_HANDLE_DBC, c.handle(), "SQLAllocHandle(STMT)");
    stmt_ = s;
    try {
        track_statement(stmt_);
    } catch (...) {
        SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
        throw;
    }
}

statement::~statement()
{
    close_cursor();
    if (stmt_) {
        untrack_statement(stmt_);
        SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
    }
}

void statement::check(short rc, const char* what)
{
    if (ok(rc) || rc == SQL_NO_DATA)
        return;
    auto recs = read_diagnostics(SQL_HANDLE_STMT, stmt_);
    if (recs.empty()) {
        diag_record d;
        d.sqlstate = "HY000";
        d.message = from_utf8(std::string(what) + " failed");
        recs.push_back(std::move(d));
    }
    note_lost_connection(conn_.handle(), recs);
    close_cursor();
    std::int32_t code = hresult_for(recs);
    throw error(code, std::move(recs));
}

void statement::close_cursor() noexcept
{
    if (stmt_)
        SQLFreeStmt(stmt_, SQL_CLOSE);
    cursor_ = false;
    cols_.clear();
}

void statement::describe()
{
    cols_.clear();
    SQLSMALLINT n = 0;
    check(SQLNumResultCols(stmt_, &n), "SQLNumResultCols");
    for (SQLUSMALLINT i = 1; i <= n; ++i) {
        SQLWCHAR name[512] = {};
        SQLSMALLINT nlen = 0, type = 0, digits = 0, nullable = SQL_NULLABLE_UNKNOWN;
        SQLULEN size = 0;
        check(SQLDescribeColW(stmt_, i, name, 512, &nlen, &type, &size, &digits, &nullable), "SQLDescribeCol");
        column_desc d;
        d.name = from_utf16(from_sqlw(name, std::min<std::size_t>(static_cast<std::size_t>(std::max<SQLSMALLINT>(nlen, 0)), 511)));
        d.sql_type = type;
        d.size = size;
        d.digits = digits;
        d.nullable = nullable != SQL_NO_NULLS;
        SQLWCHAR tname[128] = {};
        SQLSMALLINT tlen = 0;
        if (ok(SQLColAttributeW(stmt_, i, SQL_DESC_TYPE_NAME, tname, sizeof tname, &tlen, nullptr)))
            d.type_name = from_utf16(from_sqlw(tname, std::min<std::size_t>(static_cast<std::size_t>(std::max<SQLSMALLINT>(tlen, 0)) / sizeof(SQLWCHAR), 127)));
        map_column(d);
        cols_.push_back(std::move(d));
    }
}

bool statement::execute(const std::wstring& sql)
{
    close_cursor();
    wbuf w(sql);
    check(SQLExecDirectW(stmt_, w.p(), w.ilen()), "SQLExecDirect");
    cursor_ = true;
    return first_result();
}

bool statement::first_result()
{
    for (;;) {
        SQLSMALLINT n = 0;
        check(SQLNumResultCols(stmt_, &n), "SQLNumResultCols");
        if (n > 0) {
            describe();
            return true;
        }
        SQLRETURN rc = SQLMoreResults(stmt_);
        if (rc == SQL_NO_DATA) {
            close_cursor();
            return false;
        }
        check(rc, "SQLMoreResults");
    }
}

void statement::execute_all(const std::wstring& sql)
{
    if (execute(sql))
        finish();
}

namespace {

// Long values go to the driver in pieces of this many characters or bytes.
constexpr std::size_t piece_size = 1u << 18;

// The UTF-16 form of text[pos, pos + piece_size) into piece.
void utf16_piece(const long_param& p, std::size_t pos, std::u16string& piece)
{
    piece.clear();
    win_utf16_append(piece, std::wstring_view(p.text + pos, std::min(piece_size, p.size - pos)));
}

// The size a value takes at the driver: UTF-16 units of text (counted, the text is converted
// only as it is sent), or bytes.
std::size_t sent_size(const long_param& p)
{
    if (!p.text)
        return p.size;
    std::size_t units = 0;
    char16_t unit[2];
    for (std::size_t i = 0; i < p.size; ++i)
        units += static_cast<std::size_t>(win_utf16_put(static_cast<char32_t>(p.text[i]), unit));
    return units;
}

} // namespace

void statement::execute_streamed(const std::wstring& sql, const std::vector<long_param>& params)
{
    close_cursor();
    // The bindings point into this call: they go when it ends, however it ends.
    struct unbind {
        void* stmt;
        ~unbind() { SQLFreeStmt(stmt, SQL_RESET_PARAMS); }
    } unbind_at_end{stmt_};
    std::vector<SQLLEN> indicators(params.size());
    for (std::size_t i = 0; i < params.size(); ++i) {
        const long_param& p = params[i];
        const std::size_t size = p.null ? 0 : sent_size(p);
        const SQLLEN bytes = static_cast<SQLLEN>(p.text ? 2 * size : size);
        indicators[i] = p.null ? SQL_NULL_DATA : SQL_LEN_DATA_AT_EXEC(bytes);
        // The parameter's token is its number: SQLParamData hands it back when the value is due.
        check(SQLBindParameter(stmt_, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT,
                               p.text ? SQL_C_WCHAR : SQL_C_BINARY, p.text ? SQL_WLONGVARCHAR : SQL_LONGVARBINARY,
                               std::max<std::size_t>(size, 1), 0,
                               reinterpret_cast<SQLPOINTER>(static_cast<std::uintptr_t>(i + 1)), 0, &indicators[i]),
              "SQLBindParameter");
    }
    wbuf w(sql);
    SQLRETURN rc = SQLExecDirectW(stmt_, w.p(), w.ilen());
    cursor_ = true;
    while (rc == SQL_NEED_DATA) {
        SQLPOINTER token = nullptr;
        rc = SQLParamData(stmt_, &token);
        const std::uintptr_t n = reinterpret_cast<std::uintptr_t>(token);
        if (rc != SQL_NEED_DATA)
            break;
        if (n < 1 || n > params.size()) {
            SQLCancel(stmt_);
            check(SQL_ERROR, "SQLParamData");
        }
        put_value(params[n - 1]);
    }
    check(rc, "SQLExecDirect");
    if (first_result())
        finish();
}

void statement::put_value(const long_param& p)
{
    const auto put = [this](const void* data, std::size_t bytes) {
        const SQLRETURN rc = SQLPutData(stmt_, const_cast<void*>(data), static_cast<SQLLEN>(bytes));
        if (ok(rc))
            return;
        try {
            check(rc, "SQLPutData");
        } catch (...) {
            SQLCancel(stmt_);   // the statement waits for data still
            throw;
        }
    };
    if (p.size == 0) {
        static const unsigned char none = 0;
        put(&none, 0);
        return;
    }
    std::u16string piece;
    for (std::size_t pos = 0; pos < p.size; pos += piece_size) {
        if (p.text) {
            utf16_piece(p, pos, piece);
            put(piece.data(), 2 * piece.size());
        } else {
            put(p.bytes + pos, std::min(piece_size, p.size - pos));
        }
    }
}

void statement::finish()
{
    if (!cursor_)
        return;
    for (;;) {
        SQLRETURN rc = SQLMoreResults(stmt_);
        if (rc == SQL_NO_DATA)
            break;
        check(rc, "SQLMoreResults");
    }
    close_cursor();
}

namespace {
struct opt_w {
    std::optional<wbuf> b;
    explicit opt_w(const std::wstring* s) { if (s) b.emplace(*s); }
    SQLWCHAR* p() { return b ? b->p() : nullptr; }
    SQLSMALLINT len() const { return b ? b->len() : 0; }
};

// Escapes the search-pattern characters of a catalogue argument.
std::wstring escape_pattern(const std::wstring& s, const std::wstring& esc)
{
    if (esc.empty())
        return s;
    std::wstring r;
    for (wchar_t c : s) {
        if (c == L'_' || c == L'%' || esc.find(c) != std::wstring::npos)
            r += esc;
        r.push_back(c);
    }
    return r;
}
} // namespace

void statement::tables(const std::wstring* schema, const std::wstring* table, const std::wstring* type)
{
    close_cursor();
    std::wstring esc = get_info_text(conn_.handle(), SQL_SEARCH_PATTERN_ESCAPE);
    std::optional<std::wstring> s2, t2;
    if (schema) s2 = escape_pattern(*schema, esc);
    if (table) t2 = escape_pattern(*table, esc);
    opt_w s(s2 ? &*s2 : nullptr), t(t2 ? &*t2 : nullptr), ty(type);
    check(SQLTablesW(stmt_, nullptr, 0, s.p(), s.len(), t.p(), t.len(), ty.p(), ty.len()), "SQLTables");
    cursor_ = true;
    describe();
}

void statement::primary_keys(const std::wstring* schema, const std::wstring& table)
{
    close_cursor();
    opt_w s(schema), t(&table);
    check(SQLPrimaryKeysW(stmt_, nullptr, 0, s.p(), s.len(), t.p(), t.len()), "SQLPrimaryKeys");
    cursor_ = true;
    describe();
}

void statement::statistics(const std::wstring* schema, const std::wstring& table)
{
    close_cursor();
    opt_w s(schema), t(&table);
    check(SQLStatisticsW(stmt_, nullptr, 0, s.p(), s.len(), t.p(), t.len(), SQL_INDEX_ALL, SQL_QUICK),
          "SQLStatistics");
    cursor_ = true;
    describe();
}

void statement::foreign_keys(const std::wstring* pk_schema, const std::wstring* pk_table,
                             const std::wstring* fk_schema, const std::wstring* fk_table)
{
    close_cursor();
    opt_w ps(pk_schema), pt(pk_table), fs(fk_schema), ft(fk_table);
    check(SQLForeignKeysW(stmt_, nullptr, 0, ps.p(), ps.len(), pt.p(), pt.len(), nullptr, 0, fs.p(), fs.len(),
                          ft.p(), ft.len()),
          "SQLForeignKeys");
    cursor_ = true;
    describe();
}

void statement::read_cell(unsigned short col, const column_desc& d, cell& c)
{
    c = cell{};
    if (d.binary()) {
        c.binary = true;
        std::vector<unsigned char> buf(65536);
        for (bool first = true;; first = false) {
            SQLLEN ind = 0;
            SQLRETURN rc = SQLGetData(stmt_, col, SQL_C_BINARY, buf.data(), static_cast<SQLLEN>(buf.size()), &ind);
            if (rc == SQL_NO_DATA) {
                if (first)
                    c.null = false;
                break;
            }
            check(rc, "SQLGetData");
            if (ind == SQL_NULL_DATA) {
                c.null = true;
                return;
            }
            c.null = false;
            std::size_t got = (ind == SQL_NO_TOTAL || ind > static_cast<SQLLEN>(buf.size()))
                                  ? buf.size() : static_cast<std::size_t>(ind);
            c.bytes.insert(c.bytes.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(got));
            if (rc == SQL_SUCCESS)
                break;
        }
        return;
    }
    const std::size_t chars = 8192;
    std::vector<SQLWCHAR> buf(chars);
    const SQLLEN bytes = static_cast<SQLLEN>(chars * sizeof(SQLWCHAR));
    for (bool first = true;; first = false) {
        SQLLEN ind = 0;
        SQLRETURN rc = SQLGetData(stmt_, col, SQL_C_WCHAR, buf.data(), bytes, &ind);
        if (rc == SQL_NO_DATA) {
            if (first)
                c.null = false;
            break;
        }
        check(rc, "SQLGetData");
        if (ind == SQL_NULL_DATA) {
            c.null = true;
            return;
        }
        c.null = false;
        std::size_t got;
        if (ind == SQL_NO_TOTAL || ind >= bytes)
            got = chars - 1;   // the buffer was filled, minus its terminator
        else
            got = static_cast<std::size_t>(ind) / sizeof(SQLWCHAR);
        c.text += from_sqlw(buf.data(), got);
        if (rc == SQL_SUCCESS)
            break;
        if (ind != SQL_NO_TOTAL && ind < bytes)
            break;
    }
}

bool statement::fetch(row& r)
{
    if (!cursor_)
        return false;
    SQLRETURN rc = SQLFetch(stmt_);
    if (rc == SQL_NO_DATA) {
        finish();
        return false;
    }
    check(rc, "SQLFetch");
    r.resize(cols_.size());
    for (std::size_t i = 0; i < cols_.size(); ++i)
        read_cell(static_cast<unsigned short>(i + 1), cols_[i], r[i]);
    return true;
}

} // namespace odbc

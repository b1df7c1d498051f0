// Access SELECT statements run through SQLite: a virtual-table module over the reader's tables, the
// Access functions, and the result rows turned into DAO-typed columns.
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <map>
#include <new>

#include "platform/dao/dao_accsql.h"
#include "platform/dao/dao_internal.h"

namespace daoimpl {

std::unique_ptr<row_source> sqlite_select(const db_ptr& db, const std::wstring& sql, bool rows,
                                          std::vector<column_info>* out_cols, HRESULT& hr);
void register_access_functions(sqlite3* db);
std::wstring from_utf8(const char* s, std::size_t n);

namespace {

// ---------------------------------------------------------------------------
// The connection of one open database.
struct sql_conn {
    sqlite3* db = nullptr;
    std::shared_ptr<const jet::database> jet;
    ctx_ptr ctx;
    std::map<std::wstring, std::wstring> made; // upper-case Access name -> SQLite name
    // Handed to the module while a virtual table is created.
    std::shared_ptr<const jet::database> pending_db;
    std::shared_ptr<const jet::table_def> pending_def;
    int depth = 0;
    // The typed columns of each saved query made into a view (SQLite keeps no types for expressions).
    std::map<std::wstring, std::vector<column_info>> view_cols;

    ~sql_conn()
    {
        if (db) sqlite3_close(db);
    }
};

std::wstring upper(const std::wstring& s)
{
    std::wstring u;
    for (wchar_t c : s) u += static_cast<wchar_t>(std::towupper(c));
    return u;
}

// The declared type of a column: "daoN_size" plus the SQLite affinity (and case-blind text).
std::string declared_type(const column_info& c)
{
    std::string t = "dao" + std::to_string(c.type) + "_" + std::to_string(c.size);
    switch (c.type) {
    case dbText: case dbMemo: case dbGUID: return t + " TEXT COLLATE ACCESS";
    case dbBinary: case dbLongBinary: return t + " BLOB";
    case dbSingle: case dbDouble: case dbCurrency: case dbDate: case dbDecimal: return t + " REAL";
    default: return t + " INTEGER";
    }
}

bool parse_declared(const char* decl, short& type, long& size)
{
    if (!decl || std::strncmp(decl, "dao", 3) != 0) return false;
    char* end = nullptr;
    type = static_cast<short>(std::strtol(decl + 3, &end, 10));
    size = (end && *end == '_') ? std::strtol(end + 1, nullptr, 10) : 0;
    return true;
}

// ---------------------------------------------------------------------------
// Virtual tables over the reader.
struct jet_vtab : sqlite3_vtab {
    std::shared_ptr<const jet::database> db;
    std::shared_ptr<const jet::table_def> def;
};

struct jet_cursor : sqlite3_vtab_cursor {
    std::unique_ptr<jet::row_cursor> cur;
    bool eof = true;
    sqlite3_int64 rowid = 0;
};

// SQLite passes a virtual table's error on as the statement's text. A reader's error (a damaged
// page) travels in it marked with its number, so that it reaches the user as the reader's own
// message, not as an error of the statement; other errors travel as their text.
constexpr char reader_mark[] = "\x1Ejet-error ";

std::string error_for_sqlite(const std::exception& x)
{
    if (const auto* j = dynamic_cast<const jet::error*>(&x))
        return reader_mark + std::to_string(j->code()) + " " + j->what();
    if (dynamic_cast<const std::bad_alloc*>(&x)) return reader_mark + std::string("7 Out of memory.");
    return x.what();
}

// Raises the reader's error that an SQLite error text carries, if it carries one.
void rethrow_reader_error(const std::string& msg)
{
    const std::size_t at = msg.find(reader_mark);
    if (at == std::string::npos) return;
    const char* p = msg.c_str() + at + std::strlen(reader_mark);
    char* end = nullptr;
    const long code = std::strtol(p, &end, 10);
    if (end == p || *end != ' ') return;
    throw jet::error(static_cast<int>(code), end + 1);
}

int vt_create(sqlite3* db, void* aux, int, const char* const*, sqlite3_vtab** out, char** err)
{
    auto* conn = static_cast<sql_conn*>(aux);
    if (!conn->pending_def) {
        *err = sqlite3_mprintf("no table to attach");
        return SQLITE_ERROR;
    }
    std::unique_ptr<jet::complex_columns> cx;
    std::vector<column_info> cols;
    try {
        for (const auto& c : conn->pending_def->columns)
            if (c.type == jet::column_type::complex) {
                cx = std::make_unique<jet::complex_columns>(conn->pending_db, conn->pending_def);
                break;
            }
        cols = table_columns(*conn->pending_db, *conn->pending_def, cx.get());
    } catch (const std::exception& x) {
        *err = sqlite3_mprintf("%s", error_for_sqlite(x).c_str());
        return SQLITE_ERROR;
    }
    std::string ddl = "CREATE TABLE x(";
    for (std::size_t i = 0; i < cols.size(); ++i) {
        if (i) ddl += ", ";
        std::string n = to_utf8(cols[i].name), q = "\"";
        for (char ch : n) {
            if (ch == '"') q += '"';
            q += ch;
        }
        ddl += q + "\" " + declared_type(cols[i]);
    }
    ddl += ")";
    int rc = sqlite3_declare_vtab(db, ddl.c_str());
    if (rc != SQLITE_OK) return rc;
    auto* v = new jet_vtab();
    v->db = conn->pending_db;
    v->def = conn->pending_def;
    *out = v;
    return SQLITE_OK;
}

int vt_best_index(sqlite3_vtab* vt, sqlite3_index_info* info)
{
    auto* v = static_cast<jet_vtab*>(vt);
    info->estimatedCost = 10.0 + v->def->header_row_count;
    info->estimatedRows = v->def->header_row_count + 1;
    return SQLITE_OK;
}

int vt_disconnect(sqlite3_vtab* vt)
{
    delete static_cast<jet_vtab*>(vt);
    return SQLITE_OK;
}

int vt_open(sqlite3_vtab*, sqlite3_vtab_cursor** out)
{
    *out = new jet_cursor();
    return SQLITE_OK;
}

int vt_close(sqlite3_vtab_cursor* c)
{
    delete static_cast<jet_cursor*>(c);
    return SQLITE_OK;
}

int vt_error(sqlite3_vtab_cursor* c, const std::exception& x)
{
    sqlite3_free(c->pVtab->zErrMsg);
    c->pVtab->zErrMsg = sqlite3_mprintf("%s", error_for_sqlite(x).c_str());
    return SQLITE_ERROR;
}

int vt_next(sqlite3_vtab_cursor* c)
{
    auto* k = static_cast<jet_cursor*>(c);
    try {
        k->eof = !k->cur->next();
        ++k->rowid;
    } catch (const std::exception& x) {
        return vt_error(c, x);
    }
    // Rows the file shows lost end the statement with what was lost: a query never passes them over.
    if (!k->eof && !k->cur->damage().empty()) return vt_error(c, k->cur->loss());
    return SQLITE_OK;
}

int vt_filter(sqlite3_vtab_cursor* c, int, const char*, int, sqlite3_value**)
{
    auto* k = static_cast<jet_cursor*>(c);
    auto* v = static_cast<jet_vtab*>(c->pVtab);
    try {
        k->cur = std::make_unique<jet::row_cursor>(v->db->rows(v->def));
        k->cur->report_losses(true);
        k->rowid = 0;
    } catch (const std::exception& x) {
        return vt_error(c, x);
    }
    return vt_next(c);
}

int vt_eof(sqlite3_vtab_cursor* c) { return static_cast<jet_cursor*>(c)->eof ? 1 : 0; }

int vt_column_value(sqlite3_vtab_cursor* c, sqlite3_context* ctx, int i)
{
    auto* k = static_cast<jet_cursor*>(c);
    auto* v = static_cast<jet_vtab*>(c->pVtab);
    const jet::column_def& col = v->def->columns[static_cast<std::size_t>(i)];
    const jet::value& x = (*k->cur)[static_cast<std::size_t>(i)];
    using K = jet::value::kind;
    switch (x.type()) {
    case K::null_k: sqlite3_result_null(ctx); break;
    case K::boolean_k: sqlite3_result_int(ctx, x.as_bool() ? -1 : 0); break;
    case K::byte_k: case K::int16_k: case K::int32_k: case K::int64_k: sqlite3_result_int64(ctx, x.to_int64()); break;
    case K::currency_k: sqlite3_result_double(ctx, static_cast<double>(x.as_currency().scaled) / 10000.0); break;
    case K::single_k: sqlite3_result_double(ctx, x.as_single()); break;
    case K::double_k: sqlite3_result_double(ctx, x.as_double()); break;
    case K::datetime_k:
        sqlite3_result_double(ctx, x.as_datetime().days);
        sqlite3_result_subtype(ctx, 'D'); // a date: the Access functions print it as one
        break;
    case K::decimal_k: sqlite3_result_double(ctx, x.as_decimal().to_double()); break;
    case K::guid_k: {
        std::string s = to_utf8(L"{guid " + x.as_guid().to_wstring() + L"}");
        sqlite3_result_text(ctx, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
        break;
    }
    case K::text_k: {
        std::string s = to_utf8(x.as_text());
        sqlite3_result_text(ctx, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
        break;
    }
    case K::binary_k:
        if (col.type == jet::column_type::ext_datetime) {
            try {
                sqlite3_result_double(ctx, jet::decode_ext_datetime(x.as_binary()).to_ole_date());
                sqlite3_result_subtype(ctx, 'D');
            } catch (const jet::error&) {
                sqlite3_result_null(ctx);
            }
        } else {
            const auto& b = x.as_binary();
            sqlite3_result_blob(ctx, b.data(), static_cast<int>(b.size()), SQLITE_TRANSIENT);
        }
        break;
    }
    return SQLITE_OK;
}

int vt_column(sqlite3_vtab_cursor* c, sqlite3_context* ctx, int i)
{
    try {
        return vt_column_value(c, ctx, i);
    } catch (const std::exception& x) {
        return vt_error(c, x);
    }
}

int vt_rowid(sqlite3_vtab_cursor* c, sqlite3_int64* out)
{
    *out = static_cast<jet_cursor*>(c)->rowid;
    return SQLITE_OK;
}

sqlite3_module jet_module()
{
    sqlite3_module m{};
    m.iVersion = 1;
    m.xCreate = vt_create;
    m.xConnect = vt_create;
    m.xBestIndex = vt_best_index;
    m.xDisconnect = vt_disconnect;
    m.xDestroy = vt_disconnect;
    m.xOpen = vt_open;
    m.xClose = vt_close;
    m.xFilter = vt_filter;
    m.xNext = vt_next;
    m.xEof = vt_eof;
    m.xColumn = vt_column;
    m.xRowid = vt_rowid;
    return m;
}

const sqlite3_module* module_def()
{
    static const sqlite3_module m = jet_module();
    return &m;
}

// Text as Access compares it: without regard to case.
int compare_text(void*, int na, const void* a, int nb, const void* b)
{
    std::wstring x = from_utf8(static_cast<const char*>(a), static_cast<std::size_t>(na));
    std::wstring y = from_utf8(static_cast<const char*>(b), static_cast<std::size_t>(nb));
    std::size_t n = std::min(x.size(), y.size());
    for (std::size_t i = 0; i < n; ++i) {
        wint_t p = std::towupper(static_cast<wint_t>(x[i])), q = std::towupper(static_cast<wint_t>(y[i]));
        if (p != q) return p < q ? -1 : 1;
    }
    return x.size() < y.size() ? -1 : x.size() > y.size() ? 1 : 0;
}

sql_conn& connection(const db_ptr& db)
{
    if (!db->sql) {
        auto c = std::make_shared<sql_conn>();
        c->jet = db->db;
        c->ctx = db->ctx;
        if (sqlite3_open_v2(":memory:", &c->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
            throw sql_error{3043, {}};
        // Double-quoted names are names only (never taken as text when no column matches).
        sqlite3_db_config(c->db, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
        sqlite3_db_config(c->db, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
        sqlite3_create_module(c->db, "jet", module_def(), c.get());
        sqlite3_create_collation(c->db, "ACCESS", SQLITE_UTF8, nullptr, compare_text);
        register_access_functions(c->db);
        db->sql = c;
    }
    return *static_cast<sql_conn*>(db->sql.get());
}

std::wstring quote(const std::wstring& n)
{
    std::wstring q = L"\"";
    for (wchar_t ch : n) {
        if (ch == L'"') q += L'"';
        q += ch;
    }
    return q + L"\"";
}

void exec(sql_conn& c, const std::string& sql)
{
    char* err = nullptr;
    if (sqlite3_exec(c.db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        std::string m = err ? err : "";
        sqlite3_free(err);
        rethrow_reader_error(m);
        throw sql_error{3141, from_utf8(m.data(), m.size())};
    }
}

sql_source resolve(const db_ptr& dbp, sql_conn& c, const std::wstring& name);

// A saved query used as a table becomes a temporary view of its translation.
std::wstring make_view(const db_ptr& dbp, sql_conn& c, const jet::saved_query& q)
{
    if (q.kind != jet::query_kind::select && q.kind != jet::query_kind::union_) throw sql_error{3078, q.name};
    // Saved queries built on saved queries: bounded, so one that uses itself is refused.
    struct nest {
        int& d;
        ~nest() { --d; }
    } guard{++c.depth};
    if (c.depth > 32) throw sql_error{3360, {}};
    translated_sql t = translate_select(q.sql, [&](const std::wstring& n) { return resolve(dbp, c, n); });
    std::wstring sqlname = L"q_" + q.name;
    exec(c, "CREATE TEMP VIEW " + to_utf8(quote(sqlname)) + " AS " + t.sql);
    c.made[upper(q.name)] = sqlname;
    std::vector<column_info> cols;
    HRESULT hr = S_OK;
    sqlite_select(dbp, q.sql, false, &cols, hr);
    c.view_cols[sqlname] = std::move(cols);
    return sqlname;
}

sql_source resolve(const db_ptr& dbp, sql_conn& c, const std::wstring& name)
{
    std::wstring key = upper(name);
    auto it = c.made.find(key);
    if (it != c.made.end()) return {it->second, it->second.rfind(L"t_", 0) == 0};
    const jet::catalog_entry* e = c.jet->find(name);
    if (!e) throw sql_error{3078, name};
    std::wstring sqlname;
    if (e->kind() == jet::object_kind::query) {
        const jet::saved_query* q = nullptr;
        for (const auto& x : dbp->saved_queries())
            if (jet::same_name(x.name, e->name)) q = &x;
        if (!q) throw sql_error{3078, name};
        sqlname = make_view(dbp, c, *q);
    } else {
        std::shared_ptr<const jet::database> owner = c.jet;
        std::wstring table = e->name;
        if (e->kind() == jet::object_kind::linked_table) {
            // A table linked from another Access file is read from that file.
            std::string path(e->database.begin(), e->database.end());
            path = to_utf8(e->database);
            try {
                owner = jet::database::open(path);
            } catch (const jet::error&) {
                throw sql_error{3024, e->database};
            }
            table = e->foreign_name.empty() ? e->name : e->foreign_name;
        } else if (e->kind() == jet::object_kind::odbc_table) {
            // Tables linked through ODBC need their server: not reachable from here.
            throw sql_error{3151, e->connect};
        } else if (e->kind() != jet::object_kind::table) {
            throw sql_error{3078, name};
        }
        try {
            c.pending_db = owner;
            c.pending_def = owner->table(table);
        } catch (const jet::error&) {
            throw sql_error{3078, name};
        }
        sqlname = L"t_" + e->name;
        exec(c, "CREATE VIRTUAL TABLE temp." + to_utf8(quote(sqlname)) + " USING jet");
        c.pending_def.reset();
        c.pending_db.reset();
    }
    c.made[key] = sqlname;
    return {sqlname, sqlname.rfind(L"t_", 0) == 0};
}

// Maps a SQLite error text to the engine's error; a reader's error that it carries is raised as
// that error.
sql_error from_sqlite(const std::string& msg)
{
    rethrow_reader_error(msg);
    std::wstring m = from_utf8(msg.data(), msg.size());
    auto after = [&](const char* prefix) -> std::wstring {
        std::size_t n = std::strlen(prefix);
        return m.size() > n ? m.substr(n) : std::wstring();
    };
    if (msg.rfind("no such column: ", 0) == 0) return {3061, L"1"};
    if (msg.rfind("no such table: ", 0) == 0) return {3078, after("no such table: ")};
    if (msg.rfind("no such function: ", 0) == 0) return {3085, after("no such function: ")};
    if (msg.rfind("ambiguous column name: ", 0) == 0) return {3079, after("ambiguous column name: ")};
    if (msg.rfind("misuse of aggregate", 0) == 0) {
        std::wstring f = after("misuse of aggregate: ");
        if (!f.empty() && f.back() == L')') f.pop_back();
        if (!f.empty() && f.back() == L'(') f.pop_back();
        return {3096, f};
    }
    if (msg.find("aggregate") != std::string::npos || msg.find("GROUP BY") != std::string::npos) return {3122, L""};
    if (msg.find("type mismatch") != std::string::npos) return {3464, L""};
    if (msg == "Division by zero") return {11, L""};
    if (msg == "Overflow") return {6, L""};
    if (msg == "Invalid procedure call") return {5, L""};
    return {3141, L""};
}

struct stmt_holder {
    sqlite3_stmt* s = nullptr;
    ~stmt_holder() { sqlite3_finalize(s); }
};

void replace_all(std::string& s, const std::string& from, const std::string& to)
{
    for (std::size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size())) s.replace(p, from.size(), to);
}

// Puts one column per pivot value into a crosstab's text.
void expand_crosstab(sql_conn& c, translated_sql& t)
{
    std::vector<std::string> lits = t.in_values;
    std::vector<std::wstring> names = t.in_names;
    if (lits.empty()) {
        stmt_holder st;
        if (sqlite3_prepare_v2(c.db, t.values_sql.c_str(), -1, &st.s, nullptr) != SQLITE_OK)
            throw from_sqlite(sqlite3_errmsg(c.db));
        int rc;
        while ((rc = sqlite3_step(st.s)) == SQLITE_ROW) {
            char buf[40];
            switch (sqlite3_column_type(st.s, 0)) {
            case SQLITE_NULL: lits.push_back("NULL"); names.push_back(L"<>"); continue;
            case SQLITE_INTEGER: lits.push_back(std::to_string(sqlite3_column_int64(st.s, 0))); break;
            case SQLITE_FLOAT:
                std::snprintf(buf, sizeof buf, "%.17g", sqlite3_column_double(st.s, 0));
                lits.push_back(buf);
                break;
            default: {
                const char* p = reinterpret_cast<const char*>(sqlite3_column_text(st.s, 0));
                std::string v = p ? p : "", q = "'";
                for (char ch : v) {
                    if (ch == '\'') q += '\'';
                    q += ch;
                }
                lits.push_back(q + "'");
            }
            }
            const char* p = reinterpret_cast<const char*>(sqlite3_column_text(st.s, 0));
            names.push_back(from_utf8(p ? p : "", p ? std::strlen(p) : 0));
        }
        if (rc != SQLITE_DONE) throw from_sqlite(sqlite3_errmsg(c.db));
    }
    std::string cols;
    for (std::size_t k = 0; k < lits.size(); ++k) {
        std::string a = t.agg_sql;
        replace_all(a, "\x01V\x01", lits[k]);
        std::string n = to_utf8(names[k]), q = "\"";
        for (char ch : n) {
            if (ch == '"') q += '"';
            q += ch;
        }
        cols += ", " + a + " AS " + q + "\"";
    }
    replace_all(t.sql, "\x01K\x01", cols);
}

short hint_type(sql_hint h)
{
    switch (h) {
    case sql_hint::text: return dbText;
    case sql_hint::long_: return dbLong;
    case sql_hint::double_: return dbDouble;
    case sql_hint::date: return dbDate;
    case sql_hint::boolean: return dbBoolean;
    case sql_hint::currency: return dbCurrency;
    default: return 0;
    }
}

// A raw SQLite value turned into the column's DAO type.
jet::value convert(sqlite3_stmt* s, int i, short type)
{
    int t = sqlite3_column_type(s, i);
    if (t == SQLITE_NULL) return {};
    auto text = [&] {
        const char* p = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
        return from_utf8(p ? p : "", static_cast<std::size_t>(sqlite3_column_bytes(s, i)));
    };
    if (t == SQLITE_BLOB) {
        const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(s, i));
        return jet::value(jet::bytes(p, p + sqlite3_column_bytes(s, i)));
    }
    bool numeric = t == SQLITE_INTEGER || t == SQLITE_FLOAT;
    double d = sqlite3_column_double(s, i);
    switch (type) {
    case dbBoolean: return numeric ? jet::value(d != 0) : jet::value(text());
    case dbByte: if (numeric && d >= 0 && d <= 255 && t == SQLITE_INTEGER) return jet::value(static_cast<uint8_t>(d)); break;
    case dbInteger: if (t == SQLITE_INTEGER && d >= -32768 && d <= 32767) return jet::value(static_cast<int16_t>(d)); break;
    case dbLong:
        if (t == SQLITE_INTEGER) {
            sqlite3_int64 v = sqlite3_column_int64(s, i);
            if (v >= INT32_MIN && v <= INT32_MAX) return jet::value(static_cast<int32_t>(v));
            return jet::value(static_cast<std::int64_t>(v));
        }
        if (t == SQLITE_FLOAT) return jet::value(d);
        break;
    case dbBigInt: if (t == SQLITE_INTEGER) return jet::value(static_cast<std::int64_t>(sqlite3_column_int64(s, i))); break;
    case dbCurrency: if (numeric) return jet::value(jet::currency{static_cast<std::int64_t>(std::llround(d * 10000.0))}); break;
    case dbSingle: if (numeric) return jet::value(static_cast<float>(d)); break;
    case dbDouble: if (numeric) return jet::value(d); break;
    case dbDecimal:
        if (numeric) {
            // Exact to the 15 digits that travel through SQLite.
            DECIMAL dec{};
            std::wstring txt = text();
            if (SUCCEEDED(VarDecFromStr(txt.c_str(), LOCALE_INVARIANT, 0, &dec))) {
                jet::decimal x;
                x.negative = (dec.sign & DECIMAL_NEG) != 0;
                x.scale = dec.scale;
                x.lo = dec.Lo64;
                x.hi = dec.Hi32;
                return jet::value(x);
            }
            return jet::value(d);
        }
        break;
    case dbDate: if (numeric) return jet::value(jet::date_time{d}); break;
    default: break;
    }
    if (t == SQLITE_INTEGER) {
        sqlite3_int64 v = sqlite3_column_int64(s, i);
        if (v >= INT32_MIN && v <= INT32_MAX) return jet::value(static_cast<int32_t>(v));
        return jet::value(static_cast<std::int64_t>(v));
    }
    if (t == SQLITE_FLOAT) return jet::value(d);
    return jet::value(text());
}

short type_of_value(sqlite3_stmt* s, int i)
{
    if (sqlite3_column_type(s, i) == SQLITE_FLOAT && sqlite3_value_subtype(sqlite3_column_value(s, i)) == 'D') return dbDate;
    switch (sqlite3_column_type(s, i)) {
    case SQLITE_INTEGER: {
        sqlite3_int64 v = sqlite3_column_int64(s, i);
        return (v >= INT32_MIN && v <= INT32_MAX) ? dbLong : dbBigInt;
    }
    case SQLITE_FLOAT: return dbDouble;
    case SQLITE_BLOB: return dbLongBinary;
    case SQLITE_TEXT: return sqlite3_column_bytes(s, i) > 255 ? dbMemo : dbText;
    default: return 0;
    }
}

// The rows of a prepared statement, read forward as they are asked for; moving back runs it again.
class stmt_source : public row_source {
public:
    stmt_source(std::shared_ptr<void> conn, sqlite3_stmt* st, std::vector<column_info> cols, double percent,
                long top_n, int hidden)
        : conn_(std::move(conn)), st_(st), cols_(std::move(cols)), top_n_(top_n), hidden_(hidden)
    {
        if (percent > 0) limit_ = static_cast<long>(std::ceil(static_cast<double>(count_all()) * percent / 100.0));
    }
    ~stmt_source() override
    {
        sqlite3_finalize(st_);
        free_keys(keys_);
    }
    const std::vector<column_info>& columns() const override { return cols_; }
    bool seek(long n) override
    {
        if (n < 0 || (limit_ >= 0 && n >= limit_)) return false;
        if (n < at_) {
            sqlite3_reset(st_);
            at_ = -1;
            more_ = true;
        }
        while (at_ < n && more_) {
            int rc = sqlite3_step(st_);
            if (rc == SQLITE_ROW) {
                if (counts(st_, at_ + 1, keys_)) ++at_;
                else more_ = false;
            } else if (rc == SQLITE_DONE) {
                more_ = false;
            } else {
                fail(rc);
            }
        }
        return more_ && at_ == n;
    }
    long count() override
    {
        if (total_ < 0) {
            total_ = count_all();
            if (limit_ >= 0 && limit_ < total_) total_ = limit_;
        }
        return total_;
    }
    void value(std::size_t i, VARIANT* out) override
    {
        jet::value v = convert(st_, static_cast<int>(i), cols_[i].type);
        to_variant(v, cols_[i].type, out);
    }

private:
    [[noreturn]] void fail(int)
    {
        const char* m = sqlite3_errmsg(sqlite3_db_handle(st_));
        sql_error e = from_sqlite(m ? m : "");
        throw dao_failure(e.number, e.arg);
    }
    long count_all()
    {
        stmt_holder c;
        if (sqlite3_prepare_v2(sqlite3_db_handle(st_), sqlite3_sql(st_), -1, &c.s, nullptr) != SQLITE_OK) fail(0);
        long n = 0;
        int rc;
        std::vector<sqlite3_value*> keys;
        while ((rc = sqlite3_step(c.s)) == SQLITE_ROW && counts(c.s, n, keys)) ++n;
        free_keys(keys);
        if (rc != SQLITE_DONE && rc != SQLITE_ROW) fail(rc);
        return n;
    }
    // Whether the row just stepped (number `index`) belongs to the result: past TOP n only while its
    // sort keys tie with those of row n.
    bool counts(sqlite3_stmt* s, long index, std::vector<sqlite3_value*>& keys)
    {
        if (top_n_ <= 0 || index < top_n_ - 1) return true;
        int first = static_cast<int>(cols_.size());
        if (index == top_n_ - 1) {
            free_keys(keys);
            for (int k = 0; k < hidden_; ++k) keys.push_back(sqlite3_value_dup(sqlite3_column_value(s, first + k)));
            return true;
        }
        for (int k = 0; k < hidden_ && k < static_cast<int>(keys.size()); ++k)
            if (!same_value(keys[static_cast<std::size_t>(k)], sqlite3_column_value(s, first + k))) return false;
        return true;
    }
    static bool same_value(sqlite3_value* a, sqlite3_value* b)
    {
        int ta = sqlite3_value_type(a), tb = sqlite3_value_type(b);
        if (ta == SQLITE_NULL || tb == SQLITE_NULL) return ta == tb;
        if ((ta == SQLITE_INTEGER || ta == SQLITE_FLOAT) && (tb == SQLITE_INTEGER || tb == SQLITE_FLOAT))
            return sqlite3_value_double(a) == sqlite3_value_double(b);
        if (ta != tb) return false;
        int na = sqlite3_value_bytes(a), nb = sqlite3_value_bytes(b);
        if (ta == SQLITE_BLOB) return na == nb && (na == 0 || std::memcmp(sqlite3_value_blob(a), sqlite3_value_blob(b), static_cast<std::size_t>(na)) == 0);
        return compare_text(nullptr, na, sqlite3_value_text(a), nb, sqlite3_value_text(b)) == 0;
    }
    static void free_keys(std::vector<sqlite3_value*>& keys)
    {
        for (auto* v : keys) sqlite3_value_free(v);
        keys.clear();
    }

    std::shared_ptr<void> conn_;
    sqlite3_stmt* st_;
    std::vector<column_info> cols_;
    long at_ = -1;
    bool more_ = true;
    long total_ = -1;
    long limit_ = -1;
    long top_n_ = 0;
    int hidden_ = 0;
    std::vector<sqlite3_value*> keys_;
};

} // namespace

std::unique_ptr<row_source> sqlite_select(const db_ptr& db, const std::wstring& sql, bool rows,
                                          std::vector<column_info>* out_cols, HRESULT& hr)
{
    engine_ctx& ctx = *db->ctx;
    try {
        sql_conn& c = connection(db);
        translated_sql t = translate_select(sql, [&](const std::wstring& n) { return resolve(db, c, n); });
        if (t.crosstab) expand_crosstab(c, t);
        stmt_holder st;
        if (sqlite3_prepare_v2(c.db, t.sql.c_str(), static_cast<int>(t.sql.size()), &st.s, nullptr) != SQLITE_OK)
            throw from_sqlite(sqlite3_errmsg(c.db));
        int n = sqlite3_column_count(st.s) - t.hidden; // the sort keys of TOP come last, unseen
        std::vector<column_info> cols(static_cast<std::size_t>(n));
        std::vector<bool> decided(cols.size(), false);
        std::size_t item = 0;
        for (int i = 0; i < n; ++i) {
            column_info& ci = cols[static_cast<std::size_t>(i)];
            const char* nm = sqlite3_column_name(st.s, i);
            ci.name = from_utf8(nm ? nm : "", nm ? std::strlen(nm) : 0);
            ci.ordinal = static_cast<short>(i);
            const sql_column* sc = nullptr;
            if (item < t.columns.size() && !t.columns[item].star && t.columns[item].name == ci.name) {
                sc = &t.columns[item++];
            } else if (item + 1 < t.columns.size() && t.columns[item].star && !t.columns[item + 1].star &&
                       t.columns[item + 1].name == ci.name) {
                sc = &t.columns[++item];
                ++item;
            }
            short type = 0;
            long size = 0;
            if (parse_declared(sqlite3_column_decltype(st.s, i), type, size)) {
                ci.type = type;
                ci.size = size;
                const char* tn = sqlite3_column_table_name(st.s, i);
                const char* on = sqlite3_column_origin_name(st.s, i);
                if (tn) {
                    std::wstring w = from_utf8(tn, std::strlen(tn));
                    ci.source_table = w.size() > 2 ? w.substr(2) : w;
                }
                if (on) ci.source_field = from_utf8(on, std::strlen(on));
                decided[static_cast<std::size_t>(i)] = true;
            } else if (sc) {
                sql_hint h = sc->hint;
                if (h == sql_hint::same_as_arg && !sc->arg_sql.empty() && !t.from_sql.empty()) {
                    stmt_holder probe;
                    std::string q = t.with_sql + "SELECT " + sc->arg_sql + t.from_sql + " LIMIT 0";
                    if (sqlite3_prepare_v2(c.db, q.c_str(), -1, &probe.s, nullptr) == SQLITE_OK &&
                        parse_declared(sqlite3_column_decltype(probe.s, 0), type, size)) {
                        ci.type = type;
                        ci.size = size;
                        decided[static_cast<std::size_t>(i)] = true;
                    }
                } else if (short ht = hint_type(h)) {
                    ci.type = ht;
                    ci.size = dao_size_of(ht, nullptr, true);
                    decided[static_cast<std::size_t>(i)] = true;
                }
            }
            if (!decided[static_cast<std::size_t>(i)] && (!sc || sc->hint == sql_hint::unknown || sc->hint == sql_hint::same_as_arg)) {
                // A column of a saved query: typed as that query types it.
                for (const auto& [view, vc] : c.view_cols)
                    for (const auto& x : vc)
                        if (!decided[static_cast<std::size_t>(i)] && jet::same_name(x.name, ci.name)) {
                            ci.type = x.type;
                            ci.size = x.size;
                            decided[static_cast<std::size_t>(i)] = true;
                        }
            }
        }
        // Columns of the same name (SELECT * over a join) are told apart by their table.
        for (std::size_t i = 0; i < cols.size(); ++i)
            for (std::size_t j = i + 1; j < cols.size(); ++j)
                if (jet::same_name(cols[i].name, cols[j].name)) {
                    for (std::size_t k : {i, j})
                        if (!cols[k].source_table.empty() && cols[k].name.find(L'.') == std::wstring::npos)
                            cols[k].name = cols[k].source_table + L"." + cols[k].name;
                }
        // Columns the text does not type take the type of their first value (a bounded look ahead).
        std::size_t undecided = static_cast<std::size_t>(std::count(decided.begin(), decided.end(), false));
        long look = undecided ? 1000 : 0;
        int rc = SQLITE_ROW;
        while (look-- > 0 && undecided > 0 && (rc = sqlite3_step(st.s)) == SQLITE_ROW) {
            for (int i = 0; i < n; ++i) {
                if (decided[static_cast<std::size_t>(i)]) continue;
                if (short vt = type_of_value(st.s, i)) {
                    cols[static_cast<std::size_t>(i)].type = vt;
                    cols[static_cast<std::size_t>(i)].size = vt == dbText ? 255 : dao_size_of(vt, nullptr, true);
                    decided[static_cast<std::size_t>(i)] = true;
                    --undecided;
                }
            }
        }
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw from_sqlite(sqlite3_errmsg(c.db));
        for (std::size_t i = 0; i < cols.size(); ++i)
            if (!decided[i]) { cols[i].type = dbText; cols[i].size = 255; }
        if (out_cols) *out_cols = cols;
        hr = S_OK;
        if (!rows) return nullptr;
        sqlite3_reset(st.s);
        auto src = std::make_unique<stmt_source>(db->sql, st.s, std::move(cols), t.top_percent, t.top_n, t.hidden);
        st.s = nullptr;
        return src;
    } catch (const sql_error& e) {
        std::wstring arg = e.arg;
        if (e.number == 3061 && arg.empty()) arg = L"1";
        hr = ctx.fail(e.number, error_text(ctx, e.number, arg));
        return nullptr;
    } catch (...) {
        hr = fail_from_exception(ctx);
        return nullptr;
    }
}

} // namespace daoimpl

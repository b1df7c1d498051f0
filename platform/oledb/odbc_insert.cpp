#include "platform/oledb/odbc_insert.h"

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

namespace odbc {

namespace {
bool ok(SQLRETURN rc)
{
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}
} // namespace

prepared_statement::prepared_statement(connection& c, const std::wstring& sql) : conn_(c)
{
    SQLHSTMT h = nullptr;
    SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_STMT, conn_.handle(), &h);
    if (!ok(rc))
        throw error(hresult_for(read_diagnostics(SQL_HANDLE_DBC, conn_.handle())),
                    read_diagnostics(SQL_HANDLE_DBC, conn_.handle()));
    stmt_ = h;
    try {
        track_statement(stmt_);
        std::u16string text = to_utf16(sql);
        check(SQLPrepareW(stmt_, reinterpret_cast<SQLWCHAR*>(text.data()), static_cast<SQLINTEGER>(text.size())),
              "SQLPrepare");
    } catch (...) {
        // No destructor runs for a statement that was never made.
        untrack_statement(stmt_);
        SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
        throw;
    }
}

prepared_statement::~prepared_statement()
{
    if (stmt_) {
        untrack_statement(stmt_);
        SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
    }
}

void prepared_statement::check(short rc, const char* what)
{
    if (ok(rc) || rc == SQL_NO_DATA)
        return;
    auto recs = read_diagnostics(SQL_HANDLE_STMT, stmt_);
    SQLFreeStmt(stmt_, SQL_CLOSE);
    note_lost_connection(conn_.handle(), recs);
    if (recs.empty())
        throw error(hr::fail, from_utf8(std::string(what) + " failed"));
    std::int32_t code = hresult_for(recs);
    throw error(code, std::move(recs));
}

void prepared_statement::execute(std::vector<param_value>& values)
{
    std::vector<param_value*> all;
    all.reserve(values.size());
    for (param_value& v : values)
        all.push_back(&v);
    execute(all);
}

void prepared_statement::execute(const std::vector<param_value*>& values)
{
    std::vector<SQLLEN> indicators(values.size());
    SQLFreeStmt(stmt_, SQL_RESET_PARAMS);
    for (std::size_t i = 0; i < values.size(); ++i) {
        param_value& v = *values[i];
        SQLSMALLINT c_type = SQL_C_CHAR, sql_type = SQL_VARCHAR;
        SQLULEN size = v.column_size;
        const std::size_t n = v.bytes.size();
        switch (v.kind) {
        case param_kind::i16: c_type = SQL_C_SSHORT; sql_type = SQL_SMALLINT; break;
        case param_kind::i32: c_type = SQL_C_SLONG; sql_type = SQL_INTEGER; break;
        case param_kind::f32: c_type = SQL_C_FLOAT; sql_type = SQL_REAL; break;
        case param_kind::f64: c_type = SQL_C_DOUBLE; sql_type = SQL_DOUBLE; break;
        case param_kind::i64: c_type = SQL_C_SBIGINT; sql_type = SQL_BIGINT; break;
        case param_kind::u64: c_type = SQL_C_UBIGINT; sql_type = SQL_BIGINT; break;
        case param_kind::u8: c_type = SQL_C_UTINYINT; sql_type = SQL_TINYINT; break;
        case param_kind::bit: c_type = SQL_C_BIT; sql_type = SQL_BIT; break;
        case param_kind::decimal_text: c_type = SQL_C_CHAR; sql_type = SQL_DECIMAL; break;
        case param_kind::date: c_type = SQL_C_TYPE_DATE; sql_type = SQL_TYPE_DATE; size = 10; break;
        case param_kind::time_text: c_type = SQL_C_CHAR; sql_type = SQL_VARCHAR; size = 16; break;
        case param_kind::timestamp: c_type = SQL_C_TYPE_TIMESTAMP; sql_type = SQL_TYPE_TIMESTAMP;
            size = v.digits > 0 ? 20 + static_cast<SQLULEN>(v.digits) : 19; break;
        case param_kind::early_date: c_type = SQL_C_CHAR; sql_type = SQL_VARCHAR; break;
        case param_kind::guid: c_type = SQL_C_GUID; sql_type = SQL_GUID; size = 36; break;
        case param_kind::text: c_type = SQL_C_CHAR; sql_type = n > 8000 ? SQL_LONGVARCHAR : SQL_VARCHAR; break;
        case param_kind::wtext:
            c_type = SQL_C_WCHAR;
            sql_type = n > 8000 ? SQL_WLONGVARCHAR : SQL_WVARCHAR;
            if (!size)
                size = n / 2;
            break;
        case param_kind::binary: c_type = SQL_C_BINARY; sql_type = n > 8000 ? SQL_LONGVARBINARY : SQL_VARBINARY; break;
        }
        if (!size)
            size = n ? n : 1;
        indicators[i] = v.null ? SQL_NULL_DATA : static_cast<SQLLEN>(n);
        // An empty value points at a byte of its own: the value itself stays empty, also for a
        // statement that sends it again.
        static unsigned char none = 0;
        check(SQLBindParameter(stmt_, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, c_type, sql_type, size,
                               v.digits, n ? v.bytes.data() : &none, static_cast<SQLLEN>(n), &indicators[i]),
              "SQLBindParameter");
    }
    check(SQLExecute(stmt_), "SQLExecute");
    SQLRETURN rc;
    while (ok(rc = SQLMoreResults(stmt_))) {
    }
    if (rc != SQL_NO_DATA)
        check(rc, "SQLMoreResults");
    SQLFreeStmt(stmt_, SQL_CLOSE);
}

} // namespace odbc

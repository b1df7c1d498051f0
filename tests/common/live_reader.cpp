// The typed reading of the live suites' table reader (unixODBC's own types stay in this file).
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <cstdio>

#include "support/live_reader.h"

namespace drav_test {

namespace {

bool is_binary(short t) { return t == SQL_BINARY || t == SQL_VARBINARY || t == SQL_LONGVARBINARY; }
bool is_text(short t)
{
    return t == SQL_CHAR || t == SQL_VARCHAR || t == SQL_LONGVARCHAR || t == SQL_WCHAR || t == SQL_WVARCHAR ||
           t == SQL_WLONGVARCHAR;
}
bool is_date(short t)
{
    return t == SQL_TYPE_DATE || t == SQL_TYPE_TIME || t == SQL_TYPE_TIMESTAMP || t == -154 /* time */ ||
           t == -155 /* datetimeoffset */;
}

fidelity::literal null_value()
{
    fidelity::literal v;
    v.type = fidelity::literal::null_k;
    v.text = L"NULL";
    return v;
}

// The whole value in pieces; false for NULL.
bool read_all(SQLHSTMT h, SQLUSMALLINT col, SQLSMALLINT c_type, std::vector<unsigned char>& out)
{
    std::vector<unsigned char> buf(65536);
    const std::size_t term = c_type == SQL_C_WCHAR ? 2 : 0;
    for (;;) {
        SQLLEN ind = 0;
        SQLRETURN rc = SQLGetData(h, col, c_type, buf.data(), static_cast<SQLLEN>(buf.size()), &ind);
        if (rc == SQL_NO_DATA)
            return true;
        if (!SQL_SUCCEEDED(rc))
            throw odbc::error(odbc::hr::fail, odbc::read_diagnostics(SQL_HANDLE_STMT, h));
        if (ind == SQL_NULL_DATA)
            return false;
        std::size_t got = (ind == SQL_NO_TOTAL || static_cast<std::size_t>(ind) > buf.size() - term)
                              ? buf.size() - term
                              : static_cast<std::size_t>(ind);
        out.insert(out.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(got));
        if (rc == SQL_SUCCESS)
            return true;
    }
}


fidelity::literal value(SQLHSTMT h, SQLUSMALLINT col, short type)
{
    fidelity::literal v;
    SQLLEN ind = 0;
    if (type == SQL_DOUBLE || type == SQL_FLOAT || type == SQL_REAL) {
        double d = 0;
        SQLGetData(h, col, SQL_C_DOUBLE, &d, sizeof d, &ind);
        if (ind == SQL_NULL_DATA)
            return null_value();
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.17g", d);
        v.text = odbc::from_utf8(buf);
        return v;
    }
    if (is_binary(type)) {
        std::vector<unsigned char> bytes;
        if (!read_all(h, col, SQL_C_BINARY, bytes))
            return null_value();
        static const char* hex = "0123456789ABCDEF";
        v.type = fidelity::literal::binary_k;
        v.text = L"0x";
        for (unsigned char b : bytes) {
            v.text += static_cast<wchar_t>(hex[b >> 4]);
            v.text += static_cast<wchar_t>(hex[b & 15]);
        }
        return v;
    }
    std::vector<unsigned char> bytes;
    if (!read_all(h, col, SQL_C_WCHAR, bytes))
        return null_value();
    v.text = odbc::from_utf16(reinterpret_cast<const char16_t*>(bytes.data()), bytes.size() / 2);
    // Some drivers print years before 1000 with fewer digits ("100-06-14"): four, as everywhere.
    if (is_date(type))
        while (v.text.find(L'-') != std::wstring::npos && v.text.find(L'-') < 4 && v.text.find(L':') != 2)
            v.text.insert(0, 1, L'0');
    if (is_text(type) || is_date(type) || type == SQL_GUID) {
        v.type = fidelity::literal::text_k;
        v.n_prefix = is_text(type);
    }
    return v;
}

} // namespace

live_table live_table_reader::read(const std::wstring& table)
{
    SQLHSTMT h = nullptr;
    SQLAllocHandle(SQL_HANDLE_STMT, c_.handle(), &h);
    struct guard {
        SQLHSTMT h;
        ~guard() { SQLFreeHandle(SQL_HANDLE_STMT, h); }
    } g{h};
    std::u16string sql = odbc::to_utf16(L"SELECT * FROM " + table);
    SQLRETURN rc = SQLExecDirectW(h, reinterpret_cast<SQLWCHAR*>(sql.data()), static_cast<SQLINTEGER>(sql.size()));
    if (!SQL_SUCCEEDED(rc))
        throw odbc::error(odbc::hr::fail, odbc::read_diagnostics(SQL_HANDLE_STMT, h));
    live_table t;
    SQLSMALLINT n = 0;
    SQLNumResultCols(h, &n);
    for (SQLSMALLINT i = 1; i <= n; ++i) {
        SQLWCHAR name[256];
        SQLSMALLINT len = 0, type = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        SQLDescribeColW(h, static_cast<SQLUSMALLINT>(i), name, 256, &len, &type, &size, &digits, &nullable);
        t.columns.push_back(odbc::from_utf16(reinterpret_cast<const char16_t*>(name), static_cast<std::size_t>(len)));
        t.types.push_back(type);
    }
    while (SQL_SUCCEEDED(SQLFetch(h))) {
        std::vector<fidelity::literal> row;
        for (SQLSMALLINT i = 1; i <= n; ++i)
            row.push_back(value(h, static_cast<SQLUSMALLINT>(i), t.types[static_cast<std::size_t>(i - 1)]));
        t.rows.push_back(std::move(row));
    }
    return t;
}


} // namespace drav_test

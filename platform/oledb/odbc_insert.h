// A prepared, parameterised statement on an ODBC connection, executed with typed parameter
// values for one row or several (the bulk-load rowset's sending side).
#pragma once
#include <string>
#include <vector>

#include "platform/oledb/odbc_core.h"

namespace odbc {

enum class param_kind {
    i16, i32, f32, f64, i64, u64, u8, bit,
    decimal_text,   // digits as ASCII text, column size = precision, digits = scale
    date,           // year (int16), month, day (uint16): the ODBC date structure
    time_text,      // "hh:mm:ss.fffffff"
    timestamp,      // the ODBC timestamp structure; digits = fraction digits
    early_date,     // a date before 1753 as text, "yyyy-mm-dd[ hh:mm:ss.fffffff]", for the server to read
    guid,           // 16 bytes in memory layout
    text,           // narrow (ANSI) text
    wtext,          // UTF-16 code units
    binary,
};

struct param_value {
    param_kind kind = param_kind::text;
    bool null = false;
    std::vector<unsigned char> bytes;
    std::uint64_t column_size = 0;   // 0: from the value
    short digits = 0;
};

class prepared_statement {
public:
    prepared_statement(connection& c, const std::wstring& sql);
    ~prepared_statement();
    prepared_statement(const prepared_statement&) = delete;
    prepared_statement& operator=(const prepared_statement&) = delete;

    // Binds the values and runs the statement; throws odbc::error. Every result is drained.
    void execute(std::vector<param_value>& values);
    // The same with the values of several rows, one after another, for a statement with a
    // parameter for each of them.
    void execute(const std::vector<param_value*>& values);

private:
    void check(short rc, const char* what);
    connection& conn_;
    void* stmt_ = nullptr;
};

} // namespace odbc

// Bulk copy into one table over an ODBC connection, through the driver's bulk-copy functions:
// FreeTDS offers them as connection attributes, Microsoft's drivers as exported functions.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "platform/oledb/odbc_core.h"

namespace odbc {

// One value of a bulk-copied row: NULL, text (UTF-8, converted by the driver to the column's
// type) or bytes for a binary column.
struct bulk_value {
    bool null = true;
    bool binary = false;
    std::string bytes;
};

// The bulk-copy functions of one driver.
class bulk_api {
public:
    virtual ~bulk_api() = default;
    virtual bool init(void* dbc, const std::u16string& table) = 0;
    virtual bool keep_identity(void* dbc) = 0;
    virtual bool bind(void* dbc, const void* data, int type, int column) = 0;
    virtual bool colptr(void* dbc, const void* data, int column) = 0;
    virtual bool sendrow(void* dbc) = 0;
    virtual int batch(void* dbc) = 0;   // rows saved, -1 on failure
    virtual int done(void* dbc) = 0;    // rows saved, -1 on failure
    // The longest value, in bytes as the server stores it, that the functions carry safely.
    virtual std::size_t value_limit() const = 0;
};

// The functions of the connection's driver, or null when it has none.
std::unique_ptr<bulk_api> bulk_api_for(connection& c);

// A bulk load into one table (a two-part name in the connection's database). Rows go to the
// server as they are sent; batch() commits what was sent, done() ends the load. Failures throw
// odbc::error with the driver's diagnostics.
class bulk_copy {
public:
    // binary_columns: per column of the table, whether its values are sent as bytes.
    bulk_copy(connection& c, bulk_api& api, const std::wstring& table, const std::vector<bool>& binary_columns,
              bool keep_identity);
    ~bulk_copy();
    bulk_copy(const bulk_copy&) = delete;
    bulk_copy& operator=(const bulk_copy&) = delete;

    void send_row(const std::vector<bulk_value>& row);
    int batch();
    int done();
    bool is_done() const { return done_; }

private:
    [[noreturn]] void fail(const char* what);
    connection& conn_;
    bulk_api& api_;
    std::vector<bool> binary_;
    std::vector<std::vector<unsigned char>> cells_;   // per column: 4-byte length, then the value
    std::vector<const unsigned char*> at_;            // per column: where the driver reads it
    bool bound_ = false;
    bool done_ = false;
};

} // namespace odbc

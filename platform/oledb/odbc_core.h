// Thin C++ layer over unixODBC: environment, connections, statements, diagnostics.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/oledb/dbtypes.h"

namespace odbc {

// Text at the ODBC boundary is UTF-16; everywhere else wide strings (the codec of platform/win).
std::u16string to_utf16(const std::wstring& s);
std::wstring from_utf16(const char16_t* s, std::size_t n);
inline std::wstring from_utf16(const std::u16string& s) { return from_utf16(s.data(), s.size()); }
std::string to_utf8(const std::wstring& s);
std::wstring from_utf8(const std::string& s);

// One diagnostic record of a failed (or noisy) ODBC call.
struct diag_record {
    std::string sqlstate;   // five characters
    std::int32_t native = 0;
    std::wstring message;
};

// Result codes the client layer reports, chosen like the OLE DB provider would.
namespace hr {
constexpr std::int32_t ok = 0;
constexpr std::int32_t fail = static_cast<std::int32_t>(0x80004005u);
constexpr std::int32_t no_interface = static_cast<std::int32_t>(0x80004002u);
constexpr std::int32_t invalid_arg = static_cast<std::int32_t>(0x80070057u);
constexpr std::int32_t out_of_memory = static_cast<std::int32_t>(0x8007000Eu);
constexpr std::int32_t bad_accessor = static_cast<std::int32_t>(0x80040E00u);
constexpr std::int32_t bad_row_handle = static_cast<std::int32_t>(0x80040E04u);
constexpr std::int32_t cant_convert = static_cast<std::int32_t>(0x80040E07u);
constexpr std::int32_t permission_denied = static_cast<std::int32_t>(0x80040E09u);
constexpr std::int32_t no_command = static_cast<std::int32_t>(0x80040E0Cu);
constexpr std::int32_t errors_in_command = static_cast<std::int32_t>(0x80040E14u);
constexpr std::int32_t errors_occurred = static_cast<std::int32_t>(0x80040E21u);
constexpr std::int32_t integrity_violation = static_cast<std::int32_t>(0x80040E2Fu);
constexpr std::int32_t duplicate_index = static_cast<std::int32_t>(0x80040E34u);
constexpr std::int32_t no_index = static_cast<std::int32_t>(0x80040E35u);
constexpr std::int32_t no_table = static_cast<std::int32_t>(0x80040E37u);
constexpr std::int32_t duplicate_table = static_cast<std::int32_t>(0x80040E3Fu);
constexpr std::int32_t auth_failed = static_cast<std::int32_t>(0x80040E4Du);
constexpr std::int32_t canceled = static_cast<std::int32_t>(0x80040E4Eu);
constexpr std::int32_t data_overflow = static_cast<std::int32_t>(0x80040E57u);
constexpr std::int32_t not_initialized = static_cast<std::int32_t>(0x80040E0Bu);
constexpr std::int32_t already_initialized = static_cast<std::int32_t>(0x80040E52u);
constexpr std::int32_t errors_occurred_props = static_cast<std::int32_t>(0x80040E21u);
constexpr std::int32_t end_of_rowset = 0x00040EC6;   // success: fewer rows than asked
constexpr std::int32_t errors_occurred_partly = 0x00040EDA;
} // namespace hr

// The result code the provider would report for these diagnostics.
std::int32_t hresult_for(const std::vector<diag_record>& recs);

// A failed ODBC call, with its diagnostics and the result code chosen for it.
class error : public std::runtime_error {
public:
    error(std::int32_t code, std::vector<diag_record> recs);
    error(std::int32_t code, const std::wstring& message);
    std::int32_t code() const noexcept { return code_; }
    const std::vector<diag_record>& records() const noexcept { return records_; }
private:
    std::int32_t code_;
    std::vector<diag_record> records_;
};

// True when the failure says the driver itself could not be found or loaded
// (so that the next driver may be tried).
bool driver_missing(const error& e);

// Reads all diagnostic records of a handle (handle_type is SQL_HANDLE_*).
std::vector<diag_record> read_diagnostics(short handle_type, void* handle);
// Puts "08S01 Communication link failure" first in the records of a failed call when the driver
// finds the connection (an ODBC connection handle) gone and none of them says so already.
void note_lost_connection(void* dbc, std::vector<diag_record>& recs);

// The ODBC environment of the process, with connection pooling off.
void* environment();

// Names of the installed ODBC drivers, in the driver manager's order.
std::vector<std::wstring> installed_drivers();
bool driver_installed(const std::wstring& name);

// Brace-quotes one connection-string value ("}" doubled), so that ";", "=" and
// braces inside a name or password stay part of the value.
std::wstring quote_value(const std::wstring& v);
// Appends "key=value;" with the value brace-quoted.
void append_attr(std::wstring& cs, const std::wstring& key, const std::wstring& value);

// What an ODBC connection string needs for one SQL Server login.
struct login {
    std::wstring server;     // host, host\instance, host,port; or "DSN=..." / "DRIVER=..."; empty: this machine
    std::wstring user;       // empty: integrated security
    std::wstring password;
    std::wstring database;   // empty: the login's default
};

// Known SQL Server drivers, best first (an environment override first of all).
std::vector<std::wstring> sqlserver_driver_candidates();
// The driver candidates that are installed here.
std::vector<std::wstring> installed_sqlserver_drivers();
bool is_freetds(const std::wstring& driver);

// The server field holds the user's own connection text ("DSN=...", "DRIVER=...", "FILEDSN=...").
bool own_connection_text(const std::wstring& server);
// Connection string for one driver (or the user's own DSN/driver text in server).
std::wstring build_connection_string(const std::wstring& driver, const login& l);
// True when the login cannot travel in the driver's connection string: FreeTDS 1.3 reads a
// braced value up to the first "};" and knows no "}}" escape, so a "}" in the user, password or
// database must reach it another way (connection::open with the login does so).
bool login_needs_data_source(const std::wstring& driver, const login& l);
// The data source's name when the server text is "DSN=name" and nothing else; else empty.
std::wstring bare_data_source_name(const std::wstring& server);
// The same with the password replaced, for log lines.
std::wstring masked_connection_string(const std::wstring& cs);

// Statement handles that may wait on a server. Every statement is known from its allocation to
// its release, so that another thread can end a wait (a stop request while the server hangs).
void track_statement(void* stmt);
void untrack_statement(void* stmt) noexcept;
// Asks the driver to cancel what each known statement is doing (SQLCancel); safe from any thread.
// Returns how many statements were asked.
int cancel_statements() noexcept;
// Shuts down the network connection of every server connection of the process (the TCP sockets
// to the addresses its connections reached; no other socket), so that a wait on a server that no longer answers, even after a cancel, ends with
// a communication failure. For a stop only: the connections are then useless. Returns how many.
int drop_server_connections() noexcept;

class connection;

// Something that holds the connection's one open result (no MARS) and can be
// asked to take its remaining rows into memory and let the connection go.
class result_holder {
public:
    virtual ~result_holder() = default;
    virtual void release_connection() = 0;
};

// One ODBC connection.
class connection {
public:
    connection();
    ~connection();
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;

    // Connects; throws odbc::error. bulk_copy asks the driver, before it connects, to allow
    // its bulk-copy functions on the connection (a driver without them connects all the same).
    void open(const std::wstring& connection_string, int login_timeout_s = 15, bool bulk_copy = false);
    // Connects one login through the driver (empty driver: the user's own text in l.server).
    // A login that cannot travel in the connection string connects through a private data source
    // that holds no secret, with the user and password handed over apart (SQLConnect); so does
    // such a login given with the user's own "DSN=name".
    void open(const std::wstring& driver, const login& l, int login_timeout_s = 15, bool bulk_copy = false);
    void close() noexcept;
    bool is_open() const noexcept { return open_; }
    void* handle() const noexcept { return dbc_; }
    std::wstring dbms_name() const;
    std::wstring driver_name() const;

    // The one open result on this connection.
    void claim(result_holder* h);
    void unclaim(result_holder* h) noexcept;
private:
    // SQLConnect to a named data source, the login's user and password handed over apart.
    void connect_apart(const std::wstring& dsn_name, const login& l, int login_timeout_s, bool bulk_copy);
    void* dbc_ = nullptr;
    bool open_ = false;
    result_holder* active_ = nullptr;
};

// One described result column.
struct column_desc {
    std::wstring name;
    short sql_type = 0;
    std::uint64_t size = 0;      // as the driver reports it
    short digits = 0;
    bool nullable = true;
    std::wstring type_name;
    // As the OLE DB provider would report the column:
    DBTYPE db_type = DBTYPE_WSTR;
    std::uint64_t db_size = 0;   // characters for text, bytes otherwise
    unsigned char precision = 0;
    unsigned char scale = 0;
    DBCOLUMNFLAGS flags = 0;
    bool binary() const noexcept { return db_type == DBTYPE_BYTES; }
};

// Maps a described ODBC column to the provider's DBTYPE, size and flags.
void map_column(column_desc& c);

// One value of a row: null, text (UTF-16) or bytes.
struct cell {
    bool null = true;
    bool binary = false;
    std::u16string text;
    std::vector<unsigned char> bytes;
};
using row = std::vector<cell>;

// A long parameter value sent in pieces from where it lies: wide text (converted to UTF-16
// a piece at a time) or bytes. Neither is copied whole.
struct long_param {
    bool null = false;
    const wchar_t* text = nullptr;        // text when set, else bytes
    const unsigned char* bytes = nullptr;
    std::size_t size = 0;                 // characters or bytes
};

// One statement handle on a connection.
class statement {
public:
    explicit statement(connection& c);
    ~statement();
    statement(const statement&) = delete;
    statement& operator=(const statement&) = delete;

    connection& conn() noexcept { return conn_; }

    // Runs a batch; positions on the first result that has columns and returns
    // true, or drains every result (raising any error among them) and returns false.
    bool execute(const std::wstring& sql);
    // Runs a batch and drains every result.
    void execute_all(const std::wstring& sql);
    // Runs a batch whose parameter markers take the values in order, each sent in pieces while
    // the statement runs, and drains every result.
    void execute_streamed(const std::wstring& sql, const std::vector<long_param>& params);
    // Catalogue functions; each leaves a result with columns.
    void tables(const std::wstring* schema, const std::wstring* table, const std::wstring* type);
    void primary_keys(const std::wstring* schema, const std::wstring& table);
    void statistics(const std::wstring* schema, const std::wstring& table);
    void foreign_keys(const std::wstring* pk_schema, const std::wstring* pk_table,
                      const std::wstring* fk_schema, const std::wstring* fk_table);

    const std::vector<column_desc>& columns() const noexcept { return cols_; }
    // Next row of the current result into r; false at its end (then the
    // remaining results are drained and the cursor closed).
    bool fetch(row& r);
    // Drains every remaining result and closes the cursor.
    void finish();
    void close_cursor() noexcept;
    bool has_cursor() const noexcept { return cursor_; }
private:
    void check(short rc, const char* what);
    bool first_result();
    void put_value(const long_param& p);
    void describe();
    void read_cell(unsigned short col, const column_desc& d, cell& c);
    connection& conn_;
    void* stmt_ = nullptr;
    bool cursor_ = false;
    std::vector<column_desc> cols_;
};

} // namespace odbc

// Reads a live server's tables back over ODBC for the live suites: catalogue queries as text,
// table rows as typed values in the form the fidelity comparison takes.
#pragma once
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/oledb/odbc_core.h"
#include "support/live_server.h"
#include "tests/common/fidelity_compare.h"

namespace drav_test {

// An ODBC connection to one database of the live server.
inline std::unique_ptr<odbc::connection> live_connect(const live_server& s, const std::wstring& database)
{
    odbc::login l;
    l.server = s.server;
    l.user = s.user;
    l.password = s.password;
    l.database = database;
    const auto drivers = odbc::installed_sqlserver_drivers();
    const bool own = s.server.rfind(L"DSN=", 0) == 0 || s.server.rfind(L"DRIVER=", 0) == 0;
    if (drivers.empty() && !own)
        throw std::runtime_error("no SQL Server ODBC driver installed");
    auto c = std::make_unique<odbc::connection>();
    c->open(own ? std::wstring() : drivers.front(), l);
    return c;
}

// Every row of a statement's first result, each value as text (NULL as "<NULL>").
inline std::vector<std::vector<std::wstring>> live_rows(odbc::connection& c, const std::wstring& sql)
{
    odbc::statement st(c);
    std::vector<std::vector<std::wstring>> out;
    if (!st.execute(sql))
        return out;
    odbc::row r;
    while (st.fetch(r)) {
        std::vector<std::wstring> row;
        for (const auto& cell : r) {
            if (cell.null)
                row.push_back(L"<NULL>");
            else if (cell.binary)
                row.push_back(std::to_wstring(cell.bytes.size()) + L" bytes");
            else
                row.push_back(odbc::from_utf16(cell.text));
        }
        out.push_back(std::move(row));
    }
    return out;
}

// Waits, for half a minute at most, until no session of the login remains: the server ends a
// closed connection's session a moment after its client has gone, and refuses to drop a login
// while one remains ("... is currently logged in").
inline void wait_until_logged_out(odbc::connection& c, const std::wstring& login)
{
    std::wstring quoted;
    for (wchar_t ch : login)
        quoted += ch == L'\'' ? std::wstring(L"''") : std::wstring(1, ch);
    const std::wstring sessions = L"SELECT COUNT(*) FROM sys.dm_exec_sessions WHERE login_name = N'" + quoted + L"'";
    for (int i = 0; i < 300 && live_rows(c, sessions) != std::vector<std::vector<std::wstring>>{{L"0"}}; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

// One table's rows read with the value's own C type, so that floating values come back whole.
struct live_table {
    std::vector<std::wstring> columns;
    std::vector<short> types;
    std::vector<std::vector<fidelity::literal>> rows;
};

// Reads tables with each value's own C type.
class live_table_reader {
public:
    explicit live_table_reader(odbc::connection& c) : c_(c) {}
    // Rows of SELECT * FROM the table in the server's order; throws when the table cannot be read.
    live_table read(const std::wstring& table);

private:
    odbc::connection& c_;
};

} // namespace drav_test

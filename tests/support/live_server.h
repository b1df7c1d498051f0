// The real T-SQL server of the live suites, and a skip when none is named.
// DRAV_TEST_MSSQL_DSN names an ODBC data source; else DRAV_TEST_MSSQL_SERVER gives the host as
// --mssqlh takes it (host, host,port). DRAV_TEST_MSSQL_USER and DRAV_TEST_MSSQL_PASSWORD give a
// SQL login (none: Windows login). FreeTDS's own tools against the same server: tsql_server.h.
#pragma once
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "platform/oledb/odbc_core.h"



namespace drav_test {

struct live_server {
    std::wstring server;     // as the engine's connect takes it
    std::wstring user;       // empty: Windows login
    std::wstring password;

    // Connects the engine (an mss_engine) as a user's run would.
    template <class Engine> void connect(Engine& engine, bool fast_load) const
    {
        if (user.empty())
            engine.connect(server, fast_load);
        else
            engine.connect(server, user, password, fast_load);
    }
};

inline std::wstring env_text(const char* name)
{
    const char* v = std::getenv(name);
    return v ? odbc::from_utf8(v) : std::wstring();
}

inline std::optional<live_server> live_mssql()
{
    live_server s;
    if (std::wstring dsn = env_text("DRAV_TEST_MSSQL_DSN"); !dsn.empty())
        s.server = L"DSN=" + dsn;
    else
        s.server = env_text("DRAV_TEST_MSSQL_SERVER");
    if (s.server.empty())
        return std::nullopt;
    s.user = env_text("DRAV_TEST_MSSQL_USER");
    s.password = env_text("DRAV_TEST_MSSQL_PASSWORD");
    return s;
}

// A database name no other run uses at the same time: the stem, the process and a counter.
inline std::wstring unique_db_name(const std::wstring& stem)
{
    static std::atomic<int> counter{0};
    return stem + L"_" + std::to_wstring(::getpid()) + L"_" + std::to_wstring(std::time(nullptr) % 100000) + L"_" +
           std::to_wstring(++counter);
}

// One lock file a server (runs against other servers do not wait for it): named after the data
// source or host,port the live suites are given.
inline int live_server_lock()
{
    std::string server;
    for (const char* name : {"DRAV_TEST_MSSQL_DSN", "DRAV_TEST_MSSQL_SERVER"})
        if (const char* v = std::getenv(name); v && *v && server.empty())
            server = v;
    if (server.empty()) {
        const char *host = std::getenv("TSQL_HOST"), *port = std::getenv("TSQL_PORT");
        server = std::string(host ? host : "") + "," + (port ? port : "");
    }
    std::string path = "/tmp/drav-live-server-";
    for (char c : server)
        path += std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' ? c : '_';
    return ::open((path + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0666);
}

// Work in the server's databases: side by side with other such work, never while a database is
// made or dropped (Babelfish then loses track of a database in use: 'schema "<db>_dbo" does not
// exist'). A live test holds one for its whole body; a server_turn taken meanwhile on the same
// thread lets it go for the turn's length.
class server_use {
public:
    server_use() : fd_(live_server_lock())
    {
        hold();
        current() = this;
    }
    ~server_use()
    {
        if (current() == this)
            current() = nullptr;
        if (fd_ >= 0)
            ::close(fd_);
    }
    server_use(const server_use&) = delete;
    server_use& operator=(const server_use&) = delete;

    void hold()
    {
        if (fd_ >= 0)
            ::flock(fd_, LOCK_SH);
    }
    void let_go()
    {
        if (fd_ >= 0)
            ::flock(fd_, LOCK_UN);
    }
    // The one this thread holds, if any.
    static server_use*& current()
    {
        thread_local server_use* held = nullptr;
        return held;
    }

private:
    int fd_;
};

// Babelfish refuses to create or drop databases side by side ("tuple concurrently updated", or a
// new database without its "<db>_dbo" schema): every live suite, which ctest runs in parallel,
// takes turns for that, around whatever creates or drops one (a mode-0 run too), alone on the
// server. Held while it lives.
class server_turn {
public:
    server_turn() : paused_(server_use::current()), fd_(live_server_lock())
    {
        if (paused_)
            paused_->let_go();
        if (fd_ >= 0)
            ::flock(fd_, LOCK_EX);
    }
    ~server_turn()
    {
        if (fd_ >= 0)
            ::close(fd_);
        if (paused_)
            paused_->hold();
    }
    server_turn(const server_turn&) = delete;
    server_turn& operator=(const server_turn&) = delete;

private:
    server_use* paused_;
    int fd_;
};

// The server is Babelfish (PostgreSQL speaking T-SQL), whose documented differences from SQL
// Server some checks must name.
template <class Engine> bool is_babelfish(const Engine& engine)
{
    return engine.get_version_text().find(L"Babelfish") != std::wstring::npos;
}

} // namespace drav_test

// Declares `var` as the live server, or skips the current test when none is named.
#define DRAV_LIVE_SERVER_OR_SKIP(var)                                                        \
    const auto var##_opt = ::drav_test::live_mssql();                                       \
    if (!var##_opt) GTEST_SKIP() << "no live T-SQL server (DRAV_TEST_MSSQL_DSN / _SERVER)"; \
    ::drav_test::server_use var##_use;                                                      \
    const ::drav_test::live_server& var = *var##_opt

// A T-SQL test server of one test's own, on free ports and in its own folder, for tests that
// pause, cut or stop their server: the shared one of the live suites stays untouched. Started by
// the start script of ../shared/tools/tsql-server (absent: the test skips), removed when it goes.
#pragma once
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "tests/support/tsql_server.h"

namespace drav_test {

class private_tsql_server {
public:
    // The start script of the shared tools; empty when they are absent.
    static std::string start_script()
    {
        const std::filesystem::path p =
            std::filesystem::path(DRAV_SOURCE_DIR) / ".." / "shared" / "tools" / "tsql-server" / "start";
        return std::filesystem::exists(p) ? p.string() : std::string();
    }

    // Starts the server; false (with the script's output in `failure`) when it did not start.
    bool start()
    {
        const std::string script = start_script();
        server.host = "127.0.0.1";
        server.port = std::to_string(free_port());
        server.user = "drav_test";
        server.password = "Drav_Test_1433!";
        dir_ = "/tmp/drav-ps-" + std::to_string(::getpid()) + "-" + server.port;
        const run_output r = run_command(shell_quote(script) + " --quiet --port " + server.port + " --pg-port " +
                                         std::to_string(free_port()) + " --dir " + shell_quote(dir_));
        started_ = r.status == 0;
        failure = r.text;
        return started_;
    }

    ~private_tsql_server()
    {
        if (!started_)
            return;
        resume();
        const std::string stop = std::filesystem::path(start_script()).replace_filename("stop").string();
        run_command(shell_quote(stop) + " --port " + server.port + " --dir " + shell_quote(dir_));
    }

    // Every process of the server stops where it is (SIGSTOP) / goes on (SIGCONT).
    void pause() { signal_all("STOP", false); }
    void resume() { signal_all("CONT", false); }
    // The server's sessions die at once (SIGKILL to every process under the main one): each
    // client finds its connection gone; the server recovers by itself for new ones.
    void cut_sessions() { signal_all("KILL", true); }

    // The command line of FreeTDS's batch tool, quiet, logged in to the database; it reads its
    // statements from standard input.
    std::string bsqldb(const std::string& database) const
    {
        return "bsqldb -q -S " + shell_quote(server.host + ":" + server.port) + " -U " + shell_quote(server.user) +
               " -P " + shell_quote(server.password) + " -D " + shell_quote(database);
    }

    // The number a one-value query gives in the database; -1 when it fails.
    long long number(const std::string& database, const std::string& query) const
    {
        const run_output r = run_command("printf '%s\\n' " + shell_quote(query) + " | " + bsqldb(database));
        // The tool's notices ("Changed database context ...") come first.
        const auto digits = r.text.find_last_of("0123456789");
        if (r.status != 0 || digits == std::string::npos)
            return -1;
        const auto begin = r.text.find_last_not_of("0123456789", digits);
        return std::atoll(r.text.c_str() + (begin == std::string::npos ? 0 : begin + 1));
    }

    // Waits (a minute at most) until a query's number in the database reaches `at_least`.
    bool reaches(const std::string& database, const std::string& query, long long at_least) const
    {
        for (int i = 0; i < 600; ++i) {
            if (number(database, query) >= at_least)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    tsql_server server;
    std::string failure;

private:
    static int free_port()
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        int port = 0;
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        if (fd >= 0)
            ::close(fd);
        return port;
    }

    void signal_all(const std::string& sig, bool children_only) const
    {
        std::ifstream pid_file(dir_ + "/data/postmaster.pid");
        std::string main_pid;
        if (!std::getline(pid_file, main_pid) || main_pid.empty())
            return;
        run_command("kill -" + sig + " " + (children_only ? "" : main_pid) + " $(pgrep -P " + main_pid + ")");
    }

    std::string dir_;
    bool started_ = false;
};

} // namespace drav_test

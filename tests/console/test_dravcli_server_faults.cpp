// The console program's direct road when its server fails in the middle of a load: a server
// that hangs, and one whose connection goes away. Each test runs its own private server (the
// shared one of the other live suites is never paused or cut); skipped without ../shared.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/input_wait.h"
#include "tests/support/private_server.h"
#include "tests/support/scratch.h"
#include "tests/support/testdata.h"
#include "tests/support/writer_tables.h"

extern char** environ;

namespace {

const char* const big_source = "bench/bench100k_V2003.mdb";   // one table "Big" of 100,000 rows

class DravcliServerFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (drav_test::private_tsql_server::start_script().empty())
            GTEST_SKIP() << "no T-SQL server tools (../shared/tools/tsql-server)";
        ASSERT_TRUE(server.start()) << server.failure;
    }

    // Starts a load of the source into a new database (mode 0); returns its process. The scratch
    // folder holds its registry file and its log, named after the database.
    pid_t start_load(const std::string& src, const std::string& db)
    {
        const std::string out = (scratch.path() / "out.txt").string();
        std::vector<std::string> args = {std::string(DRAV_BINARY_DIR) + "/dravcli", "--src=" + src,
                                         "--dest=" + db, "--mode=0", "--logfile=" + log_path(db),
                                         "--mssqlh=" + server.server.host + "," + server.server.port,
                                         "--mssqlu=" + server.server.user, "--mssqlp=" + server.server.password};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        return rc == 0 ? pid : -1;
    }

    // Waits until the server holds some thousands of the rows: the load is under way.
    bool load_under_way(const std::string& db) { return server.reaches(db, "SELECT COUNT(*) FROM Big", 3000); }

    // The exit status of the process; -1000 when it has not ended after a minute (a hang: it is
    // then killed) or ended by a signal.
    static int exit_code(pid_t pid)
    {
        int status = 0;
        for (int i = 0; i < 600; ++i) {
            if (::waitpid(pid, &status, WNOHANG) == pid)
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1000;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1000;
    }

    std::string output() { return drav_test::read_file(scratch.path() / "out.txt"); }
    std::string log_path(const std::string& db) { return (scratch.path() / (db + ".log")).string(); }

    drav_test::private_tsql_server server;
    drav_test::scratch_dir scratch{"dravcli-faults"};
};

// The server stops answering (all its processes stopped) while rows are loaded: a stop signal
// still ends the run within seconds (the waiting statement is cancelled, and its connection cut
// when the server has not answered after a grace of a few seconds), as any stopped run ends,
// and no refused rows are invented.
// Then its sessions die in the middle of the next load: one message names the table and the
// record, says that the destination holds only part of the database, and the exit code is not 0.
TEST_F(DravcliServerFaults, AHungServerYieldsToAStopAndALostConnectionEndsTheRunWithOneMessage)
{
    DRAV_TESTDATA_OR_SKIP(src, big_source);

    const pid_t hung = start_load(src, "hangs");
    ASSERT_GT(hung, 0);
    ASSERT_TRUE(load_under_way("hangs")) << output();
    server.pause();
    EXPECT_TRUE(drav_test::until_waits_for_input(hung)) << output();   // the run now waits on the server
    const auto asked = std::chrono::steady_clock::now();
    ::kill(hung, SIGTERM);
    const int stopped = exit_code(hung);
    const auto took = std::chrono::steady_clock::now() - asked;
    server.resume();
    std::string out = output();
    EXPECT_EQ(stopped, 128 + SIGTERM) << out;
    // A grace several times longer than a few seconds fails, whatever the machine's load.
    EXPECT_LT(took, std::chrono::seconds(12)) << out;
    const std::string log = drav_test::read_file(log_path("hangs"));
    const auto cancelled_at = log.find("Stop requested: "), cut_at = log.find("its connections are cut");
    EXPECT_NE(cancelled_at, std::string::npos) << log;
    EXPECT_NE(cut_at, std::string::npos) << log;
    EXPECT_LT(cancelled_at, cut_at) << log;
    EXPECT_EQ(out.find("record #"), std::string::npos) << out;
    EXPECT_EQ(out.find("Communication link failure"), std::string::npos) << out;

    const pid_t cut = start_load(src, "cut");
    ASSERT_GT(cut, 0);
    ASSERT_TRUE(load_under_way("cut")) << output();
    server.cut_sessions();
    const int lost = exit_code(cut);
    out = output();
    EXPECT_EQ(lost, 255) << out;
    EXPECT_EQ(drav_test::occurrences(out, "Error:"), 1) << out;
    EXPECT_EQ(drav_test::occurrences(out, "record #"), 1) << out;
    EXPECT_NE(out.find("The connection to the server was lost at table Big, record #"), std::string::npos) << out;
    EXPECT_NE(out.find("The destination holds only part of the database."), std::string::npos) << out;
}

// Rows that each hold a long value go in statements of their own: the connection lost in one of
// them ends the run at that row, with one message that names the table and the record, and the
// exit code is not 0. The server is paused once it holds some of the rows, so that the load is
// still under way when its sessions die.
TEST_F(DravcliServerFaults, AConnectionLostInARowsOwnStatementEndsTheRunAtThatRow)
{
    const std::string src = (scratch.path() / "long.mdb").string();
    const int rows = 150;
    {
        auto w = drav_test::new_keyed_table(src, jet::file_format::jet4, L"Long",
                                            {drav_test::counter_id(), drav_test::col(L"Picture", jet::column_type::ole)});
        const jet::bytes picture = drav_test::noise_bytes(270000);   // past the size sent as a parameter
        for (int i = 0; i < rows; ++i) {
            std::vector<jet::value> row{jet::value(), jet::value(picture)};
            w->append(L"Long", row);
        }
        w->flush();
    }
    const pid_t load = start_load(src, "longrows");
    ASSERT_GT(load, 0);
    const long long seen = 10;
    ASSERT_TRUE(server.reaches("longrows", "SELECT COUNT(*) FROM Long", seen)) << output();
    server.pause();
    server.cut_sessions();
    server.resume();
    const int code = exit_code(load);
    const std::string out = output();
    EXPECT_EQ(code, 255) << out;
    EXPECT_EQ(drav_test::occurrences(out, "Error:"), 1) << out;
    EXPECT_EQ(drav_test::occurrences(out, "record #"), 1) << out;
    const std::string lost = "The connection to the server was lost at table Long, record #";
    const auto at = out.find(lost);
    ASSERT_NE(at, std::string::npos) << out;
    const long long record = std::atoll(out.c_str() + at + lost.size());
    EXPECT_GT(record, seen) << out;
    EXPECT_LE(record, rows) << out;
    EXPECT_NE(out.find("The destination holds only part of the database."), std::string::npos) << out;
}

} // namespace

// The wizard's road of a stop: the run works on a thread of its own and the user's Cancel asks it
// to stop (request_stop) while a statement waits on a server: one that does not answer (paused),
// and one that answers but keeps the statement waiting on a lock. Each test runs its own private
// server; skipped without ../shared. The run's log says whether its connections were cut.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>

#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "common/acc_conv.h"
#include "support/input_wait.h"
#include "support/private_server.h"
#include "support/run_observers.h"
#include "support/scratch.h"
#include "support/testdata.h"

namespace {

using clock_type = std::chrono::steady_clock;

const char* const big_source = "bench/bench100k_V2003.mdb";   // one table "Big" of 100,000 rows

// An upper bound on a stop: the grace before a connection is cut is a few seconds; a slow, shared
// machine is allowed several times more, but a grace ten times as long fails.
constexpr auto stop_bound = std::chrono::seconds(12);

const char* const cut_line = "its connections are cut";
const char* const cancel_line = "Stop requested: ";

// A front end that asks the run to stop as the run starts, before the source is opened.
class stopping_frontend : public drav_test::quiet_frontend {
public:
    explicit stopping_frontend(dravlen_convertor& conv) : conv_(conv) {}
    void start_timer() override { conv_.request_stop(); }

private:
    dravlen_convertor& conv_;
};

class StopLive : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (drav_test::private_tsql_server::start_script().empty())
            GTEST_SKIP() << "no T-SQL server tools (../shared/tools/tsql-server)";
        src = drav_test::testdata(big_source);
        if (src.empty())
            GTEST_SKIP() << "test data not found: " << big_source;
        ASSERT_TRUE(server.start()) << server.failure;
    }

    // A converter that loads the source into the database (mode 0: dropped and made again).
    void prepare(dravlen_convertor& conv, const std::wstring& db, run_frontend& frontend)
    {
        conv.set_frontend(&frontend);
        conv.source = tk_utf8_to_wstring(src);
        conv.destination = db;
        conv.mode = 0;
        conv.host = tk_utf8_to_wstring(server.server.host + "," + server.server.port);
        conv.login = tk_utf8_to_wstring(server.server.user);
        conv.password = tk_utf8_to_wstring(server.server.password);
        conv.engine.connect(conv.host, conv.login, conv.password, false);
        conv.check_dest();
    }

    // Waits until the server holds some thousands of the rows: the load is under way.
    bool load_under_way(const std::string& db) { return server.reaches(db, "SELECT COUNT(*) FROM Big", 3000); }

    // Waits until a statement of rows waits on a lock at the server.
    bool inserts_wait_on_a_lock(const std::string& db)
    {
        return server.reaches(db, "SELECT COUNT(*) FROM pg_catalog.pg_stat_activity WHERE wait_event_type = "
                                  "'Lock' AND query LIKE '%INSERT INTO%'", 1);
    }

    std::string log() const { return drav_test::read_file(log_path); }
    // Waits (a minute at most) until the log holds the text.
    bool log_says(const std::string& text) const
    {
        for (int i = 0; i < 600 && log().find(text) == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return log().find(text) != std::string::npos;
    }

    std::string src;
    drav_test::private_tsql_server server;
    drav_test::scratch_dir scratch{"stop-live"};
    // What a run leaves in place of the user: its log, the errors it reports, a front end.
    const std::string log_path = (scratch.path() / "run.log").string();
    tk_logger logger{log_path.c_str(), true, 3, false};
    drav_test::recording_handler handler;
    drav_test::quiet_frontend frontend;
};

// Cancel while the server hangs in the middle of a load: the cancel goes unanswered, the
// connection is cut after the grace, and the run ends within seconds as a cancelled run, with no
// refused rows reported for the statements the stop cut short.
TEST_F(StopLive, CancelEndsARunWhoseStatementWaitsOnAHungServer)
{
    dravlen_convertor conv(true);
    prepare(conv, L"cancelled", frontend);

    auto run = std::async(std::launch::async, [&conv] { conv(); });
    const bool under_way = load_under_way("cancelled");
    server.pause();
    const bool waits = drav_test::until_waits_for_input();   // the run now waits on the server
    const auto asked = clock_type::now();
    conv.request_stop();
    const bool ended = run.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    const auto took = clock_type::now() - asked;
    server.resume();
    run.wait();
    EXPECT_TRUE(under_way);
    EXPECT_TRUE(waits);
    EXPECT_TRUE(ended);
    EXPECT_LT(took, stop_bound);
    EXPECT_EQ(conv.outcome(), run_outcome::cancelled);
    EXPECT_TRUE(handler.messages.empty()) << handler.messages.front();
    // The statement was cancelled first; only the server's silence had the connection cut.
    const std::string text = log();
    const auto cancelled_at = text.find(cancel_line), cut_at = text.find(cut_line);
    EXPECT_NE(cancelled_at, std::string::npos) << text;
    EXPECT_NE(cut_at, std::string::npos) << text;
    EXPECT_LT(cancelled_at, cut_at) << text;

    // A stop that comes while the run opens its source overwrites nothing: mode 0 leaves the
    // database whole, and its deletion is not even tried.
    const long long kept = server.number("cancelled", "SELECT COUNT(*) FROM Big");
    EXPECT_GT(kept, 0);
    dravlen_convertor again(true);
    stopping_frontend stopping(again);
    prepare(again, L"cancelled", stopping);
    const std::string::size_type before = log().size();
    again();
    EXPECT_EQ(again.outcome(), run_outcome::cancelled);
    EXPECT_EQ(server.number("cancelled", "SELECT COUNT(*) FROM Big"), kept);
    EXPECT_EQ(log().find("Deleting MS SQL database", before), std::string::npos) << log();
}

// Cancel while a statement of rows waits on a lock another session holds: the lock goes a moment
// later, the server answers the cancel (it ends the statement as cancelled, not stored), the run
// ends as a cancelled run and its connection is not cut.
TEST_F(StopLive, ACancelTheServerAnswersEndsTheRunWithoutCuttingTheConnection)
{
    dravlen_convertor conv(true);
    prepare(conv, L"locked", frontend);

    auto run = std::async(std::launch::async, [&conv] { conv(); });
    ASSERT_TRUE(load_under_way("locked"));
    // Building an index in an open transaction holds a lock that lets readers through and keeps
    // every insert waiting; the lock goes when the session does.
    const std::string holder = server.bsqldb("locked") + " >/dev/null 2>&1";
    FILE* lock = ::popen(holder.c_str(), "w");
    ASSERT_NE(lock, nullptr);
    std::fputs("BEGIN TRANSACTION\nCREATE INDEX held ON Big (ID)\ngo\n", lock);
    std::fflush(lock);
    const bool waits = inserts_wait_on_a_lock("locked");
    const auto asked = clock_type::now();
    conv.request_stop();
    // The server ends the statement, and answers the cancel, once the lock goes: once the run has
    // asked to cancel, well within the grace before a connection is cut.
    const bool cancel_asked = log_says(cancel_line);
    ::pclose(lock);
    const bool ended = run.wait_for(stop_bound) == std::future_status::ready;
    const auto took = clock_type::now() - asked;
    run.wait();
    EXPECT_TRUE(waits);
    EXPECT_TRUE(cancel_asked);
    EXPECT_TRUE(ended);
    EXPECT_LT(took, stop_bound);
    EXPECT_EQ(conv.outcome(), run_outcome::cancelled);
    EXPECT_TRUE(handler.messages.empty()) << handler.messages.front();
    const std::string text = log();
    EXPECT_NE(text.find(cancel_line), std::string::npos) << text;
    EXPECT_NE(text.find("The server cancelled a statement for the stop"), std::string::npos) << text;
    EXPECT_EQ(text.find(cut_line), std::string::npos) << text;
}

} // namespace

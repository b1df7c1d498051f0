// The wizard's road of a stop: the run works on a thread of its own and the user's Cancel asks it
// to stop (request_stop) while a statement waits on a server that does not answer. The test runs
// its own private server, which it pauses; skipped without ../shared.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "TK/tk_utils.h"
#include "common/acc_conv.h"
#include "support/private_server.h"
#include "support/run_observers.h"
#include "support/scratch.h"
#include "support/testdata.h"

namespace {

// Cancel while the server hangs in the middle of a load: the run ends within seconds as a
// cancelled run, with no refused rows reported for the statements the stop cut short.
TEST(StopLive, CancelEndsARunWhoseStatementWaitsOnAHungServer)
{
    if (drav_test::private_tsql_server::start_script().empty())
        GTEST_SKIP() << "no T-SQL server tools (../shared/tools/tsql-server)";
    DRAV_TESTDATA_OR_SKIP(src, "bench/bench100k_V2003.mdb");
    drav_test::private_tsql_server server;
    ASSERT_TRUE(server.start()) << server.failure;
    const drav_test::scratch_dir scratch{"stop-live"};

    drav_test::recording_handler handler;
    drav_test::quiet_frontend frontend;
    dravlen_convertor conv(true);
    conv.set_frontend(&frontend);
    conv.source = tk_utf8_to_wstring(src);
    conv.destination = L"cancelled";
    conv.mode = 0;
    conv.host = tk_utf8_to_wstring(server.server.host + "," + server.server.port);
    conv.login = tk_utf8_to_wstring(server.server.user);
    conv.password = tk_utf8_to_wstring(server.server.password);
    conv.engine.connect(conv.host, conv.login, conv.password, false);
    conv.check_dest();

    auto run = std::async(std::launch::async, [&conv] { conv(); });
    bool under_way = false;
    for (int i = 0; i < 600 && !under_way; ++i) {
        under_way = server.number("cancelled", "SELECT COUNT(*) FROM Big") >= 3000;
        if (!under_way)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    server.pause();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));   // the run now waits on the server
    conv.request_stop();
    const bool ended = run.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    server.resume();
    run.wait();
    EXPECT_TRUE(under_way);
    EXPECT_TRUE(ended);
    EXPECT_EQ(conv.outcome(), run_outcome::cancelled);
    EXPECT_TRUE(handler.messages.empty()) << handler.messages.front();

    // A run asked to stop before it began overwrites nothing: mode 0 leaves the database whole.
    const long long kept = server.number("cancelled", "SELECT COUNT(*) FROM Big");
    EXPECT_GT(kept, 0);
    dravlen_convertor again(true);
    again.set_frontend(&frontend);
    again.source = conv.source;
    again.destination = conv.destination;
    again.mode = 0;
    again.host = conv.host;
    again.login = conv.login;
    again.password = conv.password;
    again.engine.connect(again.host, again.login, again.password, false);
    again.request_stop();
    again.check_dest();
    again();
    EXPECT_EQ(again.outcome(), run_outcome::cancelled);
    EXPECT_EQ(server.number("cancelled", "SELECT COUNT(*) FROM Big"), kept);
}

} // namespace

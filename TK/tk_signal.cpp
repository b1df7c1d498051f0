// Stopping the program by SIGINT, SIGTERM or SIGHUP: the running conversion stops at its next step.
#include "TK/tk_signal.h"

#include <atomic>
#include <csignal>

namespace {

std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void on_stop_signal(int signal)
{
    int none = 0;
    g_signal.compare_exchange_strong(none, signal);
}

} // namespace

void tk_install_stop_signals()
{
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    // Interrupted system calls go on; the next stop check sees the flag.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal the starter ignores stays ignored (nohup, a job started in the background).
        struct sigaction old {};
        if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        sigaction(s, &action, nullptr);
    }
}

void tk_ignore_write_signals()
{
    for (int s : {SIGPIPE, SIGXFSZ})
        std::signal(s, SIG_IGN);
}

int tk_stop_signal()
{
    return g_signal.load();
}

void tk_reset_stop_signal()
{
    g_signal.store(0);
}

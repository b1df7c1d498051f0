// Worker threads: cooperative stop and join, misuse, functor ownership, failed start; converter settings.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TK/tk_errco.h"
#include "TK/tk_log.h"
#include "TK/tk_threa.h"
#include "tests/support/scratch.h"

namespace {

// Work that records what happened to it.
struct probe {
    std::atomic<bool> started{false};
    std::atomic<bool> done{false};
    std::atomic<int> destroyed{0};
};

class probe_functor : public tk_thread_functor {
public:
    // Only heap functors count their deletion.
    probe_functor(probe& p, bool finish_at_once, bool counted)
        : m_probe(p), m_finish(finish_at_once), m_counted(counted)
    {
    }
    ~probe_functor() override
    {
        if (m_counted)
            ++m_probe.destroyed;
    }
    bool is_done() override
    {
        m_probe.started = true;
        return m_finish;
    }
    void on_done() override { m_probe.done = true; }

private:
    probe& m_probe;
    bool m_finish;
    bool m_counted;
};

// An owner whose work is a probe, owned or not.
class probe_thread : public tk_thread {
public:
    probe_thread(probe& p, bool owned, bool finish_at_once = false)
        : tk_thread(owned), m_probe(p), m_owned(owned), m_finish(finish_at_once), m_external(p, finish_at_once, false)
    {
    }
    ~probe_thread() override
    {
        // m_external lives in this object: stop the worker before it goes.
        request_stop();
        join();
    }
    tk_thread_functor* get_functor() override
    {
        if (m_owned)
            return new probe_functor(m_probe, m_finish, true);
        return &m_external;
    }

private:
    probe& m_probe;
    bool m_owned;
    bool m_finish;
    probe_functor m_external;
};

void wait_until(const std::atomic<bool>& flag)
{
    while (!flag.load())
        std::this_thread::yield();
}

} // namespace

TEST(TkThread, ClosingARunningWorkerStopsAndJoinsIt)
{
    probe p;
    {
        probe_thread owner(p, true);
        owner.start();
        wait_until(p.started);
        EXPECT_TRUE(owner.is_running());
        EXPECT_FALSE(p.done);
    } // destroyed while the idle loop runs
    EXPECT_TRUE(p.done) << "the work ran to its end (on_done) instead of being killed";
    EXPECT_EQ(p.destroyed, 1) << "an owned functor is deleted";
}

TEST(TkThread, DefaultFunctorIdlesUntilTheOwnerGoes)
{
    tk_thread owner;
    owner.start();
    EXPECT_TRUE(owner.is_running());
    owner.request_stop();
    owner.join();
    EXPECT_FALSE(owner.is_running());
    owner.close();
    EXPECT_FALSE(owner.is_started());
}

TEST(TkThread, MisuseIsAnInternalError)
{
    probe p;
    probe_thread owner(p, true);
    owner.start();
    wait_until(p.started);
    EXPECT_THROW(owner.start(), tk_mail_assertion);
    EXPECT_THROW(owner.close(), tk_mail_assertion);
    EXPECT_TRUE(owner.is_running()) << "the first run goes on";
    owner.request_stop();
    owner.join();

    // After it ended, start closes the old run (deleting its functor) and starts anew.
    p.started = false;
    owner.start();
    wait_until(p.started);
    EXPECT_EQ(p.destroyed, 1);
    owner.request_stop();
    owner.join();
    owner.close();
    EXPECT_EQ(p.destroyed, 2);

    class no_work : public tk_thread {
        tk_thread_functor* get_functor() override { return nullptr; }
    } empty;
    EXPECT_THROW(empty.start(), tk_mail_assertion);
}

TEST(TkThread, WorkThatEndsByItselfAndFunctorsNotOwned)
{
    probe p;
    {
        probe_thread owner(p, false, true);
        owner.start();
        owner.join();
        EXPECT_TRUE(p.done);
        EXPECT_FALSE(owner.is_running());
        owner.close();
        EXPECT_EQ(p.destroyed, 0) << "a functor that is not owned survives close";
        owner.start();
        owner.join();
    } // the destructor must not delete it either (it is a member: that would crash)
    EXPECT_EQ(p.destroyed, 0);
}

TEST(TkThread, AnEscapingExceptionIsLoggedNotFatal)
{
    drav_test::scratch_dir dir{"drav-tk", drav_test::scratch_dir::plain_folder};
    const std::string file = dir.str("t.log");
    tk_logger log(file.c_str(), true, 3, false);
    class thrower : public tk_thread_functor {
        void operator()() override { throw tk_exception("worker broke", 1); }
    };
    class thrower_thread : public tk_thread {
        tk_thread_functor* get_functor() override { return &m_work; }
        thrower m_work;

    public:
        ~thrower_thread() override { join(); }
    } owner;
    owner.start();
    owner.join();
    EXPECT_EQ(drav_test::read_file(file), "ERROR:\nworker broke\r\n");
}

// The system refuses new threads to a process whose user is at its process limit.
TEST(TkThread, FailedStartIsReported)
{
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0) {
            struct passwd* nobody = getpwnam("nobody");
            if (nobody == nullptr || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)
                _exit(77);
        }
        struct rlimit lim = {1, 1};
        if (setrlimit(RLIMIT_NPROC, &lim) != 0)
            _exit(77);
        pthread_t probe_thread;
        if (pthread_create(&probe_thread, nullptr, [](void*) -> void* { return nullptr; }, nullptr) == 0) {
            pthread_join(probe_thread, nullptr);
            _exit(77); // the limit is not enforced here
        }
        tk_thread owner;
        try {
            owner.start();
        } catch (const tk_exception& e) {
            _exit(e.level() == 1 && !owner.is_running() ? 0 : 2);
        }
        _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "cannot make thread creation fail on this machine";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(TkConverter, SettingsAndLogFile)
{
    tk_converter conv;
    EXPECT_FALSE(conv.finished);
    EXPECT_FALSE(conv.silent);
    conv.set_silent(1);
    EXPECT_TRUE(conv.silent);
    conv.set_silent(0x100); // only the low byte counts
    EXPECT_FALSE(conv.silent);

    drav_test::scratch_dir dir{"drav-tk", drav_test::scratch_dir::plain_folder};
    conv.set_logfile(dir.str("ignored.log"));
    EXPECT_EQ(conv.logfile, "") << "without a logger nothing happens";

    tk_logger log(nullptr, false, 3, false);
    // A chosen name is checked and kept, and the last log stays whole until open_logfile.
    const std::string last = dir.str("last.log");
    { std::ofstream(last) << "last run"; }
    conv.choose_logfile(last);
    EXPECT_THROW(conv.choose_logfile(dir.str("missing/x.log")), tk_exception);
    EXPECT_EQ(conv.logfile, last);
    EXPECT_FALSE(log.enabled());
    tk_log_write(3, "before the run");
    EXPECT_EQ(drav_test::read_file(last), "last run");
    conv.open_logfile();
    EXPECT_TRUE(log.enabled());
    tk_log_write(3, "the run");
    EXPECT_EQ(drav_test::read_file(last), "the run\r\n");

    const std::string file = dir.str("conv.log");
    conv.set_logfile(file);
    EXPECT_EQ(conv.logfile, file);
    EXPECT_TRUE(log.enabled());
    EXPECT_EQ(log.file_name(), file);

    try {
        conv.set_logfile(dir.str());
        FAIL() << "a directory is no log file";
    } catch (const tk_exception& e) {
        EXPECT_EQ(e.level(), 1);
        EXPECT_STREQ(e.what(), tk_message(tk_msg_log_is_path));
    }
    EXPECT_EQ(conv.logfile, dir.str()) << "the name is kept as given";
    EXPECT_EQ(log.file_name(), file) << "the logger keeps its good file";
}

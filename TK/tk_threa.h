// Worker threads: the work interface (tk_thread_functor), its converter form and the thread owner.
#pragma once
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "TK/tk_signal.h"

// The work a tk_thread runs. The default operator() is an idle loop: it calls
// idle() until is_done() holds or a stop is requested, then on_done().
//
// Stopping is cooperative: the owner asks with request_stop() and then joins.
// Long work polls stop_requested() (or calls idle(), which returns at once
// when a stop is requested) and returns soon after. Exceptions must not leave
// operator(): the work catches and reports its own; the thread procedure logs
// anything that still escapes.
class tk_thread_functor {
public:
    tk_thread_functor() = default;
    // A copy is new work: it does not inherit a pending stop request.
    tk_thread_functor(const tk_thread_functor&) {}
    tk_thread_functor& operator=(const tk_thread_functor&) { return *this; }
    virtual ~tk_thread_functor() = default;

    virtual void operator()();
    virtual bool is_done() { return false; }
    // Waits 100 ms, or less when a stop is requested meanwhile.
    virtual void idle();
    virtual void on_done() {}

    // Safe from any thread. A stop signal of the program (tk_signal.h) is a request too.
    void request_stop();
    bool stop_requested() const { return m_stop.load() || tk_stop_signal() != 0; }
    // Clears a stop request before the work runs again (tk_thread::start does it).
    void reset_stop() { m_stop.store(false); }

private:
    std::atomic<bool> m_stop{false};
    std::mutex m_stop_mutex;
    std::condition_variable m_stop_cv;
};

// Whether the work that runs on the calling thread was asked to stop: on a tk_thread, its
// functor's request; elsewhere a stop signal of the program. For waits deep below the work
// (a pipe that has no reader yet) that cannot be handed the work itself.
bool tk_stop_requested_here();

// The functor interface of a converter: the settings every converter has.
class tk_converter : public tk_thread_functor {
public:
    tk_converter();

    // Stores the low byte of the flag as the silent flag.
    virtual void set_silent(int flag);

    // Remembers the path as the log file name and makes it the logger's file,
    // switching logging on. Does nothing without a logger; an empty path only
    // logs "Filename is empty". A directory, a read-only file, a missing
    // folder or a folder the user may not write to is refused with a level-1
    // tk_exception before logging is switched on.
    void set_logfile(const std::string& path);
    // Checks the path as set_logfile does and remembers it, leaving the logger as it is: the
    // log is switched on by open_logfile when the run starts. An empty path means no log.
    void choose_logfile(const std::string& path);
    // Makes the remembered log file the logger's (set_logfile); nothing when there is none.
    void open_logfile();

    std::atomic<bool> finished{false};  // set when a conversion run ends; read by another thread
    bool silent = false;        // no questions, no message boxes
    std::wstring source;        // the source given by the user
    std::wstring destination;   // the destination given by the user
    std::string logfile;        // the last name given to set_logfile
};

// Owns one worker thread at a time and the work it runs. Used from one owner
// thread only (start, close, destruction); the work runs on the worker.
//
// States: idle (no thread), running, ended (finished, not yet closed).
// start() moves idle or ended to running; close() moves ended to idle; the
// destructor asks a running worker to stop and waits for it. An owner whose
// work lives in its own members must do the same (request_stop(), join()) in
// its own destructor, before those members go.
class tk_thread {
public:
    // owns_functor: delete the functor when the run is closed.
    explicit tk_thread(bool owns_functor = false);
    virtual ~tk_thread();
    tk_thread(const tk_thread&) = delete;
    tk_thread& operator=(const tk_thread&) = delete;

    // Closes an ended run and starts the functor of get_functor() on a new
    // thread. Starting while a thread still runs, or without a functor, is an
    // internal error; a thread the system cannot create is a level-1
    // tk_exception (the caller must not wait for it).
    void start();
    // Forgets an ended run (deleting an owned functor); closing while the
    // thread still runs is an internal error.
    void close();
    // Asks the running work to stop; does not wait.
    void request_stop();
    // Waits until the worker has ended (returns at once when none runs).
    void join();

    bool is_running() const { return m_running.load(); }
    bool is_started() const { return m_thread.joinable(); }

protected:
    // The work to run. The default creates an idle-loop functor and marks it owned.
    virtual tk_thread_functor* get_functor();

private:
    static void thread_proc(tk_thread_functor* functor, std::atomic<bool>* running);

    std::thread m_thread;
    std::atomic<bool> m_running{false};
    bool m_owns_functor;
    tk_thread_functor* m_functor = nullptr;
};

// Watches for a stop request from a thread of its own while the work waits elsewhere (on a
// server that does not answer, say): once the request holds, calls the action at once and again
// every second, with the seconds since the request (0, 1, 2...), until the watcher is destroyed.
class tk_stop_watcher {
public:
    tk_stop_watcher(std::function<bool()> stop_requested, std::function<void(int)> action);
    ~tk_stop_watcher();
    tk_stop_watcher(const tk_stop_watcher&) = delete;
    tk_stop_watcher& operator=(const tk_stop_watcher&) = delete;

private:
    void watch();

    std::function<bool()> stop_requested_;
    std::function<void(int)> action_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool ending_ = false;
    std::thread thread_;
};

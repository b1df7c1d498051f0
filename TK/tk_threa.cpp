#include "TK/tk_threa.h"

#include <chrono>
#include <system_error>

#include "TK/tk_excep.h"
#include "TK/tk_log.h"

namespace {

// The work that the calling thread runs, when it is a tk_thread's worker.
thread_local const tk_thread_functor* t_current_work = nullptr;

} // namespace

bool tk_stop_requested_here()
{
    return t_current_work ? t_current_work->stop_requested() : tk_stop_signal() != 0;
}

// ---------------------------------------------------------------------------
// tk_thread_functor

void tk_thread_functor::operator()()
{
    while (!is_done() && !stop_requested())
        idle();
    on_done();
}

void tk_thread_functor::idle()
{
    std::unique_lock<std::mutex> lock(m_stop_mutex);
    m_stop_cv.wait_for(lock, std::chrono::milliseconds(100), [this] { return stop_requested(); });
}

void tk_thread_functor::request_stop()
{
    {
        std::lock_guard<std::mutex> lock(m_stop_mutex);
        m_stop.store(true);
    }
    m_stop_cv.notify_all();
}

// ---------------------------------------------------------------------------
// tk_converter

tk_converter::tk_converter()
{
    tk_log_write(2, "tk_converter::ctor");
}

void tk_converter::set_silent(int flag)
{
    silent = static_cast<unsigned char>(flag) != 0;
}

void tk_converter::set_logfile(const std::string& path)
{
    tk_log_write(1, "tk_convertor::set_logfile(%s)", path.c_str());
    tk_logger* logger = tk_logger::get();
    if (logger == nullptr)
        return;
    logfile = path;
    logger->set_file(path);
}

void tk_converter::choose_logfile(const std::string& path)
{
    tk_log_write(1, "tk_convertor::choose_logfile(%s)", path.c_str());
    if (!path.empty())
        tk_logger::check_file(path);
    logfile = path;
}

void tk_converter::open_logfile()
{
    if (!logfile.empty())
        set_logfile(logfile);
}

// ---------------------------------------------------------------------------
// tk_thread

tk_thread::tk_thread(bool owns_functor) : m_owns_functor(owns_functor) {}

tk_thread::~tk_thread()
{
    try {
        if (m_thread.joinable()) {
            if (m_running.load())
                tk_log_write(2, "tk_thread::dtor - stopping the running worker");
            request_stop();
            join();
        }
        close();
    } catch (const std::exception& e) {
        tk_log_write(2, "Error: %s", e.what());
    }
}

tk_thread_functor* tk_thread::get_functor()
{
    m_owns_functor = true;
    return new tk_thread_functor;
}

void tk_thread::thread_proc(tk_thread_functor* functor, std::atomic<bool>* running)
{
    try {
        if (functor == nullptr)
            TK_MAIL_ASSERT();
        t_current_work = functor;
        (*functor)();
    } catch (const std::exception& e) {
        // The work reports its own errors; this one got past it.
        tk_log_write(3, "ERROR:\n%s", e.what());
    } catch (...) {
        tk_log_write(3, "ERROR:\n%s", "Unknown exception");
    }
    t_current_work = nullptr;
    running->store(false);
}

void tk_thread::start()
{
    tk_log_write(2, "tk_thread::start");
    if (m_running.load())
        TK_MAIL_ASSERT();
    close();
    tk_thread_functor* functor = get_functor();
    if (functor == nullptr)
        TK_MAIL_ASSERT();
    m_functor = functor;
    functor->reset_stop();
    m_running.store(true);
    try {
        m_thread = std::thread(&tk_thread::thread_proc, functor, &m_running);
    } catch (const std::system_error& e) {
        m_running.store(false);
        tk_log_write(2, "Cannot start a worker thread: %s", e.what());
        throw tk_exception(std::string("Cannot start a worker thread: ") + e.what(), 1);
    }
}

void tk_thread::close()
{
    if (m_running.load())
        TK_MAIL_ASSERT();
    if (m_thread.joinable())
        m_thread.join(); // the work has returned: only the thread's exit remains
    if (m_owns_functor)
        delete m_functor;
    m_functor = nullptr;
}

void tk_thread::request_stop()
{
    if (m_functor != nullptr && m_running.load())
        m_functor->request_stop();
}

void tk_thread::join()
{
    if (m_thread.joinable())
        m_thread.join();
}

// ---------------------------------------------------------------------------
// tk_stop_watcher

tk_stop_watcher::tk_stop_watcher(std::function<bool()> stop_requested, std::function<void(int)> action)
    : stop_requested_(std::move(stop_requested)), action_(std::move(action))
{
    try {
        thread_ = std::thread(&tk_stop_watcher::watch, this);
    } catch (const std::system_error& e) {
        throw tk_exception(std::string("Cannot start a thread: ") + e.what(), 1);
    }
}

tk_stop_watcher::~tk_stop_watcher()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

void tk_stop_watcher::watch()
{
    std::unique_lock<std::mutex> lock(mutex_);
    auto wait = std::chrono::milliseconds(100);
    int seconds = 0;
    while (!cv_.wait_for(lock, wait, [this] { return ending_; })) {
        if (wait == std::chrono::milliseconds(100) && !stop_requested_())
            continue;
        tk_log_write(2, "tk_stop_watcher: stop requested %d s ago, ending the waits", seconds);
        lock.unlock();
        action_(seconds++);
        lock.lock();
        wait = std::chrono::seconds(1);
    }
}

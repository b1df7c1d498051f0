// The process-wide log file writer and the two functions that write one line.
#pragma once
#include <cstdarg>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "TK/tk_singl.h"

// Writes trace lines at or above a threshold into a plain text file, each
// ended by CR LF. The file is emptied once, at the first write after logging
// is switched on, and opened in append mode for every line, so a line is on
// disk even if the process dies. Safe to call from several threads: lines
// never interleave.
class tk_logger : public tk_singleton<tk_logger> {
public:
    // file_name null: the program's own path with the extension ".log".
    // When enabled, the file is emptied at once.
    tk_logger(const char* file_name, bool enabled, int threshold, bool time_stamps);
    ~tk_logger() override;

    // Checks a log file name the user gave and, when it is sound, makes it the
    // log file and switches logging on (the file is not emptied again if an
    // earlier one already was). An empty name only logs "Filename is empty".
    // Throws tk_exception level 1 with the message table's text for a
    // directory, a read-only file, a missing folder or a folder the user
    // may not write to.
    void set_file(const std::string& path);
    // The checks of set_file alone: throws as it does for a name that cannot be a log file.
    static void check_file(const std::string& path);

    std::string file_name() const;
    int threshold() const { return m_threshold; }
    bool enabled() const;
    bool time_stamps() const;
    void set_time_stamps(bool on);

    // The program's own path with its extension replaced by ".log".
    static std::string default_file_name();

    void write(int level, const char* format, va_list args);
    void write_w(int level, const wchar_t* format, va_list args);

    // True when a line of this level is dropped without touching the file.
    // Checked without the lock: lines below the threshold cost only this test.
    bool skips(int level) const
    {
        return !m_enabled.load(std::memory_order_relaxed)
               || (level < m_threshold && m_truncated.load(std::memory_order_relaxed));
    }

private:
    // Opens the line's file (after the one-time truncation); null when the
    // line is not written. Called with m_mutex held.
    std::FILE* begin_line(int level);
    void end_line(std::FILE* file);

    // The object is registered (and so reachable by log calls) before these
    // members are built: the flags come first and keep logging off until the
    // constructor's body has set everything up.
    mutable std::mutex m_mutex;
    std::atomic<bool> m_enabled{false};
    std::atomic<bool> m_truncated{false};
    int m_threshold;
    bool m_line_end = true;
    bool m_time_stamps;
    std::string m_file_name;
};

// One narrow line (printf format, ANSI text).
void tk_log_write(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// One wide line, stored as UTF-8. The format follows the Windows wide printf:
// %s and %c take wide arguments, %S, %hs and %hc narrow ones; %ls works too.
void tk_log_write_w(int level, const wchar_t* format, ...);

// True when a line of this level may reach the log. Inline, so that a trace
// that is switched off costs one test and builds none of its arguments.
inline bool tk_log_may_write(int level) noexcept
{
    const tk_logger* logger = tk_logger::get();
    return logger != nullptr && !logger->skips(level);
}

// The writers are reached through this test first (the macro's own name is not
// expanded again inside it, so it calls the functions above).
#define tk_log_write(level, ...) \
    (tk_log_may_write(level) ? tk_log_write((level), __VA_ARGS__) : static_cast<void>(0))
#define tk_log_write_w(level, ...) \
    (tk_log_may_write(level) ? tk_log_write_w((level), __VA_ARGS__) : static_cast<void>(0))

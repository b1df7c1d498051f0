// The process-wide reporter of errors; each program decides how a report reaches the user.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "TK/tk_errco.h"
#include "TK/tk_excep.h"
#include "TK/tk_singl.h"

class error_handler : public tk_singleton<error_handler> {
public:
    // The table maps error codes to the texts shown in place of the providers' own.
    error_handler(int count, const tk_error_entry* entries);
    ~error_handler() override;

    // Logs and reports one error. Level 2 ends the process; the console also ends it for level 1.
    // The wizard raises tk_final_exception when the user aborts and is_final is false.
    virtual void handle(const tk_exception& e, bool is_final) = 0;

    // Text put in front of the following messages (the current table).
    void set_context(const std::wstring& text);
    // "<table>, record #<n>".
    void set_record_context(const std::wstring& table, std::uint64_t record);
    std::string get_context() const;

    // No dialogs or console reports for levels 0 and 1 (the log still gets them).
    bool quiet = false;

    // The count of things a run was to convert (tables, rows, indexes, keys, views) and did not.
    // The run's error scopes count one for each error they catch; code that gives something up
    // on its own (reports it itself, or only logs it) calls count_failure(). The run sets the
    // count to 0 when it starts and makes it a failed run when it is not 0 at the end. Any
    // thread; without a handler nothing is counted.
    static void count_failure();
    std::uint32_t failures() const { return failures_.load(); }
    void reset_failures() { failures_.store(0); }

    // A value that a destination changed so that the server can hold it (a number clamped, a
    // NaN written as NULL) is noted where it happens; the run reports the notes with the record
    // they belong to (take_changed_values). Any thread; without a handler nothing is noted.
    static void note_changed_value(const std::wstring& text);
    std::vector<std::wstring> take_changed_values();

protected:
    // The context and ": ", then the mapped text for the code or the exception's own text.
    std::string build_message(const tk_exception& e) const;

private:
    mutable std::mutex lock_;
    std::string context_;
    tk_error_converter texts_;
    std::atomic<std::uint32_t> failures_{0};
    std::atomic<bool> has_changed_{false};
    std::vector<std::wstring> changed_;
};

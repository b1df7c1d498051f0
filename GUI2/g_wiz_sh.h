// The wizard's property sheet and process-wide shell: title, boxes, help, the conversion timer
// and the error list of a run.
#pragma once
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "TK/tk_singl.h"
#include "platform/ui/ui_sheet.h"

class ui_page;

// The id of the conversion's progress timer.
constexpr int wizard_timer_id = 0x10000;
// The id of the timer that watches for a stop signal.
constexpr int wizard_signal_timer_id = 0x10001;

class wizard_shell : public tk_singleton<wizard_shell>, public ui_property_sheet {
public:
    wizard_shell(const std::wstring& title, int icon_id, int watermark_id, int header_id);
    ~wizard_shell() override;

    // Once: window title, icon, centred; called by every page when it becomes active.
    void initialize_if();
    static bool is_initialized();

    const std::wstring& title() const { return m_title; }

    // Modal boxes (any thread).
    void error(const std::wstring& text);
    // The error box alone, for a text that its sender has logged already.
    void error_box(const std::wstring& text);
    void error_narrow(const std::string& text);
    void message(const std::wstring& text);
    bool question(const std::wstring& text, unsigned extra_flags = 0);
    // "<title> <kind>" once initialised, else "<kind>".
    std::wstring caption(const wchar_t* kind) const;

    // The conversion timer (any thread).
    void start_timer(int milliseconds);
    void kill_timer();
    bool is_timer_running() const { return m_timer_running.load(); }

    // The user asked for help: the help file at the topic (0: its default topic), or a box
    // saying there is none.
    void display_help(int context_id);
    void display_help();
    // Help the program offers by itself after an error: opened only when the file exists.
    void offer_help(int context_id);
    // The help file beside the program.
    static std::wstring help_file();

    // The page that became active last.
    void set_current_page(ui_page* page) { m_current = page; }
    ui_page* current_page() const { return m_current; }

    // The run's one-line error messages: at most max_errors are kept.
    static constexpr std::size_t max_errors = 20;
    bool add_error(const std::string& message);
    std::vector<std::string> errors() const;
    void clear_errors();

    void on_timer(int timer_id) override;
    void remove_page(ui_page* page) override;
    void on_error(const std::exception& e) override;

private:
    void help(int context_id);
    bool open_help(int context_id);

    std::wstring m_title;
    int m_icon_id;
    int m_watermark_id;
    int m_header_id;
    std::atomic<bool> m_timer_running{false};
    ui_page* m_current = nullptr;
    std::atomic<bool> m_initialized{false};
    mutable std::mutex m_errors_lock;
    std::vector<std::string> m_errors;
};

// Checks the widget library before anything is shown; ends the process with -1 when unusable.
void gui_initialize();

// Reports an error that escaped a handler of the wizard: the error handler for the exception
// family (as at the program's outer scope), an error box otherwise; the user's Abort says nothing.
void gui_report_escaped(const std::exception& e);

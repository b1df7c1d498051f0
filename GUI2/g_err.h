// The wizard's error handler and its two error dialogs.
#pragma once
#include <string>

#include "TK/tk_errh.h"
#include "platform/ui/ui_window.h"

// Reports errors with dialogs: a box for level 1, Continue/Abort for level 0, the internal
// error dialog (then the end of the process) for level 2.
class gui_error_handler : public error_handler {
public:
    gui_error_handler(int count, const tk_error_entry* entries);
    void handle(const tk_exception& e, bool is_final) override;

    // The last line handle() built (for tests and the log).
    std::string last_message() const;

private:
    mutable std::mutex m_lock;
    std::string m_last;
};

// Internal error: OK, "Copy to clipboard", "Send bug".
class dlg_error_ex : public ui_dialog {
public:
    explicit dlg_error_ex(const std::wstring& message);
    void on_init() override;
    void on_command(int id, int code) override;
    const std::wstring& message() const { return m_message; }

private:
    std::wstring m_message;
};

// Recoverable error: Abort (1), Continue (2), and "Do not show this dialog box again".
class dlg_error_continue : public ui_dialog {
public:
    explicit dlg_error_continue(const std::wstring& message);
    void on_init() override;
    void on_command(int id, int code) override;
    void on_close() override { end_dialog(2); }
    bool do_not_show() const { return m_check; }
    const std::wstring& message() const { return m_message; }

private:
    std::wstring m_message;
    bool m_check = false;
};

// The caption of the error dialogs: "<title> Error" once the wizard shows, else "Error".
std::wstring gui_error_caption();

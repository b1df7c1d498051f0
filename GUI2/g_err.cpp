#include "GUI2/g_err.h"

#include <cstdlib>

#include "GUI2/g_res.h"
#include "GUI2/g_wiz_sh.h"
#include "TK/tk_log.h"
#include "TK/tk_report.h"
#include "TK/tk_utils.h"

std::wstring gui_error_caption()
{
    if (wizard_shell::is_initialized())
        return wizard_shell::ref().title() + L" Error";
    return L"Error";
}

gui_error_handler::gui_error_handler(int count, const tk_error_entry* entries) : error_handler(count, entries) {}

std::string gui_error_handler::last_message() const
{
    std::lock_guard<std::mutex> g(m_lock);
    return m_last;
}

void gui_error_handler::handle(const tk_exception& e, bool is_final)
{
    tk_log_write(2, "error_handler::handle");
    if (e.level() == 2) {
        tk_log_write(3, "Internal error:\n%s", e.what());
        dlg_error_ex dlg(tk_ansi_text_to_wstring(e.what()));
        dlg.do_modal();
        std::_Exit(-1);
    }

    std::string message = build_message(e);
    tk_log_write(3, "Error:\n%s", message.c_str());
    for (char& c : message)
        if (c == '\n')
            c = ' ';
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_last = message;
    }
    if (wizard_shell::is_initialized())
        wizard_shell::ref().add_error(message);

    if (e.level() == 1) {
        tk_log_write(1, "Got 1-level error");
        if (!quiet) {
            tk_log_write(1, "Step 1");
            const std::wstring text = tk_ansi_text_to_wstring(message);
            // Logged above: the box adds no second line of it to the log.
            if (wizard_shell::exists())
                wizard_shell::ref().error_box(text);
            else
                ui_message_box(text, L"Error", MB_OK | MB_ICONERROR);
            tk_log_write(1, "Step 2");
        }
        return;
    }

    tk_log_write(1, "Got 0-level error");
    if (quiet)
        return;
    dlg_error_continue dlg(tk_ansi_text_to_wstring(message));
    const int result = dlg.do_modal();
    if (result == 1 && !is_final)
        throw tk_final_exception();
    quiet = dlg.do_not_show();
}

dlg_error_ex::dlg_error_ex(const std::wstring& message) : ui_dialog(114), m_message(message)
{
    gui_load_resources();
    tk_log_write(1, "dlg_error_ex::ctor");
}

void dlg_error_ex::on_init()
{
    tk_log_write(1, "dlg_error_ex::on_init");
    set_caption(gui_error_caption());
    set_icon(-1, ui_icon::error);
    set_text(1320, m_message);
    center();
}

void dlg_error_ex::on_command(int id, int /*code*/)
{
    switch (id) {
    case 1:
    case IDCANCEL:
        end_dialog(1);
        break;
    case 1108:
        tk_copy_to_clipboard2(m_message);
        end_dialog(1108);
        break;
    case 1112: {
        const std::string body = tk_to_ansi_text(m_message);
        std::string title;
        if (wizard_shell::is_initialized())
            title = tk_to_string(wizard_shell::ref().title());
        tk_send_bug(title, body);
        end_dialog(1112);
        break;
    }
    default:
        break;
    }
}

dlg_error_continue::dlg_error_continue(const std::wstring& message) : ui_dialog(115), m_message(message)
{
    gui_load_resources();
    tk_log_write(1, "dlg_error_continue::ctor");
}

void dlg_error_continue::on_init()
{
    tk_log_write(1, "dlg_error_continue::on_init");
    set_caption(gui_error_caption());
    set_icon(-1, ui_icon::error);
    set_text(1320, m_message);
    check(1222, m_check);
    center();
}

void dlg_error_continue::on_command(int id, int /*code*/)
{
    switch (id) {
    case 1:
        end_dialog(1);
        break;
    case 2:
        end_dialog(2);
        break;
    case 1222:
        m_check = !m_check;
        check(1222, m_check);
        break;
    default:
        break;
    }
}

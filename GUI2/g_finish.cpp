#include "GUI2/g_finish.h"

#include <cwchar>
#include <filesystem>

#include "TK/tk_utils.h"

std::wstring gui_profile_filter(const std::wstring& extension, const char* what, int assert_line)
{
    std::wstring filter = L"Profile Files (." + extension + L")|*." + extension + L"|All Files (*.*)|*.*|";
    if (filter.size() >= 260)
        filter.resize(259);
    const std::wstring format = tk_to_wstring(what);
    tk_log_write_w(1, format.c_str(), filter.c_str());
    if (extension.size() != 3 && extension.size() != 4)
        throw tk_mail_assertion("g_finish", assert_line);
    for (auto& c : filter)
        if (c == L'|')
            c = L'\0';
    return filter;
}

bool gui_may_write(const std::wstring& path)
{
    if (!tk_is_file_exist2(path, tk_exist_file))
        return true;
    return wizard_shell::ref().question(L"The file '" + path + L"' already exists. Overwrite it?", MB_DEFBUTTON2);
}

void gui_set_heading_font(ui_window& w, int id)
{
    w.set_font(id, L"Segoe UI", 13, false);
}

gui_finish_page::gui_finish_page(const std::wstring& success_text, const std::wstring& error_text,
                                 const std::wstring& cancel_text, const std::wstring& extension)
    : m_success(success_text), m_error(error_text), m_cancel(cancel_text), m_ext(extension)
{
}

void gui_finish_page::show_errors(const std::vector<std::string>& errors)
{
    show(1016, true);
    set_text(1016, std::wstring());
    for (std::string line : errors) {
        for (char& c : line)
            if (c == '\n')
                c = ' ';
        append_text(1016, tk_ansi_text_to_wstring(line) + L"\r\n\r\n");
    }
    set_read_only(1016, true);
}

void gui_finish_page::set_script_texts(const std::wstring& success_text, const std::wstring& cancel_text)
{
    m_script_success = success_text;
    m_script_cancel = cancel_text;
}

// The heading and the text say how the run ended, in the words of the road it took.
void gui_finish_page::show_result(gui_run_end end, bool with_errors)
{
    const bool script = script_road();
    if (end == gui_run_end::cancelled) {
        tk_log_write(1, "Display cancel-message");
        set_text(1313, L"Conversion was Cancelled");
        set_text(1314, script && !m_script_cancel.empty() ? m_script_cancel : m_cancel);
    } else if (with_errors || end == gui_run_end::failed) {
        tk_log_write(1, "Display errors");
        set_text(1313, L"Conversion Ended with Errors");
        set_text(1314, m_error);
    } else {
        tk_log_write(1, "Display success-message");
        set_text(1313, L"Conversion is Completed");
        set_text(1314, script && !m_script_success.empty() ? m_script_success : m_success);
    }
}

std::wstring gui_script_note(const std::wstring& path, gui_run_end end, bool opened)
{
    // A script cut short is removed by the run; one written through a link may stay. A run that
    // ended before it opened the script (still waiting for a pipe's reader, say) wrote nothing,
    // whatever is at the path.
    std::error_code ec;
    if ((end != gui_run_end::succeeded && !opened) || !std::filesystem::exists(std::filesystem::path(tk_to_utf8(path)), ec))
        return L"No T-SQL script was written.";
    if (end != gui_run_end::succeeded)
        return L"The T-SQL script in '" + path + L"' is incomplete.";
    return L"The T-SQL script is in '" + path + L"'.";
}

bool gui_finish_page::page_init()
{
    tk_log_write(1, "gui_finish_page::page_init");
    gui_set_heading_font(*this, 1313);
    tk_log_write(1, "wizard_shell::enable_button(%08X)", PSBTN_CANCEL);
    shell().enable_button(PSBTN_CANCEL, false);
    tk_log_write(1, "wizard_shell::enable_button(%08X)", PSBTN_HELP);
    shell().enable_button(PSBTN_HELP, false);
    const std::vector<std::string> errors = shell().errors();
    show_result(run_end(), !errors.empty());
    if (!errors.empty())
        show_errors(errors);
    const std::wstring note = output_note();
    set_text(1315, note);
    show(1315, !note.empty());
    return true;
}

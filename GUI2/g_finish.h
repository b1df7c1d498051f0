// The finish page and the profile commands (load on the welcome page, save on the finish page).
#pragma once
#include <string>

#include "GUI2/g_f_dlg.h"
#include "GUI2/g_wiz_pg.h"
#include "GUI2/g_wiz_sh.h"
#include "MSS/mss_sfile.h"
#include "TK/tk_errh.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"

// The file-dialog filter of profiles with this extension, zero characters between the parts.
// An extension that is not 3 or 4 characters long is an internal error at the given line.
std::wstring gui_profile_filter(const std::wstring& extension, const char* what, int assert_line);

// Heading font of the welcome and finish pages.
void gui_set_heading_font(ui_window& w, int id);

// True when the file does not exist yet or the user agrees to overwrite it.
bool gui_may_write(const std::wstring& path);

// Loads a profile the user picks into the converter. Errors go to the error handler.
template <class T_CONV>
void gui_load_profile(ui_window* owner, const std::wstring& extension)
{
    const std::wstring filter = gui_profile_filter(extension, "welcome_page_t::on_load(%ls)", 266);
    try {
        open_file_dialog dlg(owner, filter, L"Select Profile", std::wstring());
        if (dlg.run())
            T_CONV::ref().load_profile_file(dlg.file_name());
    } catch (const tk_exception& e) {
        error_handler::ref().handle(e, false);
    }
}

// Saves the converter's settings into a profile the user names.
template <class T_CONV>
void gui_store_profile(ui_window* owner, const std::wstring& extension)
{
    const std::wstring filter = gui_profile_filter(extension, "gui_finish_page_t::on_store(%ls)", 141);
    try {
        save_file_dialog dlg(owner, filter, L"Select Profile", std::wstring(), extension);
        if (!dlg.run() || !gui_may_write(dlg.file_name()))
            return;
        if (!T_CONV::ref().store_profile_file(dlg.file_name()))
            wizard_shell::ref().error(L"Cannot save the settings into '" + dlg.file_name() + L"'.");
    } catch (const tk_exception& e) {
        error_handler::ref().handle(e, false);
    }
}

// How the run behind the finish page ended, as far as the page tells it.
enum class gui_run_end { succeeded, failed, cancelled };

// The last page: the success text, the error text and the run's error lines, or the text of a
// cancelled run; and "Save Settings...".
class gui_finish_page : public wizard_page<116, PSWIZB_FINISH, PSP_HIDEHEADER> {
public:
    gui_finish_page(const std::wstring& success_text, const std::wstring& error_text,
                    const std::wstring& cancel_text, const std::wstring& extension);
    bool page_init() override;
    // A line under the result that says where the output went ("" for none).
    virtual std::wstring output_note() const { return std::wstring(); }
    // The texts of a run into a script file (the others are the server road's).
    void set_script_texts(const std::wstring& success_text, const std::wstring& cancel_text);

    const std::wstring& success_text() const { return m_success; }
    const std::wstring& error_text() const { return m_error; }
    const std::wstring& extension() const { return m_ext; }

protected:
    // How the run ended; a run whose errors reached the shell's list has failed in any case.
    virtual gui_run_end run_end() const { return gui_run_end::succeeded; }
    // True when the run wrote a script file.
    virtual bool script_road() const { return false; }

    std::wstring m_success;
    std::wstring m_error;
    std::wstring m_cancel;
    std::wstring m_script_success;
    std::wstring m_script_cancel;
    std::wstring m_ext;

private:
    void show_errors(const std::vector<std::string>& errors);
    void show_result(gui_run_end end, bool with_errors);
};

// What became of a script: where it is, that it is incomplete, or that there is none.
// opened: the run opened the script (a run that never did wrote nothing into it).
std::wstring gui_script_note(const std::wstring& path, gui_run_end end, bool opened = true);

template <class T_CONV, int ID>
class gui_finish_page_t : public gui_finish_page {
public:
    static_assert(ID == 116, "the finish page is dialog 116");
    using gui_finish_page::gui_finish_page;

    void on_store() { gui_store_profile<T_CONV>(this, m_ext); }

    std::wstring output_note() const override
    {
        const T_CONV& c = T_CONV::ref();
        if (c.direct || c.destination.empty())
            return std::wstring();
        return gui_script_note(c.destination, run_end(), c.script_end() != mss_script_end::none);
    }

    void on_command(int id, int code) override
    {
        if (id == 1116 && code == ui_clicked)
            on_store();
    }

protected:
    gui_run_end run_end() const override
    {
        using outcome = decltype(T_CONV::ref().outcome());
        const outcome o = T_CONV::ref().outcome();
        if (o == outcome::cancelled)
            return gui_run_end::cancelled;
        return o == outcome::failed ? gui_run_end::failed : gui_run_end::succeeded;
    }
    bool script_road() const override { return !T_CONV::ref().direct; }
};

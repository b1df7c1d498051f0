#include "GUI2/g_url.h"

#include "GUI2/g_res.h"
#include "TK/tk_log.h"

const wchar_t* const gui_dao_required_text =
    L"Failed to load Data Access Objects (DAO) support library. Installing Microsoft Access Runtime may fix "
    L"the problem.";
const wchar_t* const gui_dao_download_label = L"Download Microsoft Access Runtime";
const wchar_t* const gui_dao_download_target =
    L"https://www.microsoft.com/en-us/download/details.aspx?id=54920";

url_err_box_dlg::url_err_box_dlg(const std::wstring& text, const std::wstring& target, const std::wstring& label)
    : ui_dialog(136), m_text(text), m_target(target), m_label(label)
{
    gui_load_resources();
}

void url_err_box_dlg::on_init()
{
    set_icon(1301, ui_icon::warning);
    set_link(1335, m_label, m_target);
    set_text(1320, m_text);
    center();
    ui_beep();
}

void url_err_box_dlg::on_command(int id, int /*code*/)
{
    if (id == IDOK || id == IDCANCEL)
        end_dialog(IDOK);
}

void gui_show_dao_required()
{
    tk_log_write(3, "Failed to load Data Access Objects (DAO) support library.");
    url_err_box_dlg box(gui_dao_required_text, gui_dao_download_target, gui_dao_download_label);
    box.do_modal();
}

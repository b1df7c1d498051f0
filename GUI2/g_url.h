// The box shown when the Access database engine is missing: a text and a download link.
#pragma once
#include <string>

#include "platform/ui/ui_window.h"

class url_err_box_dlg : public ui_dialog {
public:
    url_err_box_dlg(const std::wstring& text, const std::wstring& target, const std::wstring& label);
    void on_init() override;
    void on_command(int id, int code) override;

    const std::wstring& text() const { return m_text; }
    const std::wstring& target() const { return m_target; }
    const std::wstring& label() const { return m_label; }

private:
    std::wstring m_text;
    std::wstring m_target;
    std::wstring m_label;
};

// The texts of the missing-engine box.
extern const wchar_t* const gui_dao_required_text;
extern const wchar_t* const gui_dao_download_label;
extern const wchar_t* const gui_dao_download_target;

// Shows the missing-engine box.
void gui_show_dao_required();

#include "GUI2/g_sys.h"

#include "TK/tk_log.h"
#include "platform/ui/ui_log.h"
#include "platform/ui/ui_misc.h"

bool gui_clipboard::set_text(const std::wstring& text)
{
    return ui_set_clipboard_text(text);
}

std::wstring gui_clipboard::get_text()
{
    return ui_get_clipboard_text();
}

void gui_connect_window_log()
{
    ui_set_log_sink([](int level, const std::wstring& text) { tk_log_write_w(level, L"%ls", text.c_str()); });
}

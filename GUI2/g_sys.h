// The wizard's services over the window layer: its clipboard for the toolkit, its log lines into the program's log.
#pragma once
#include <string>

#include "TK/tk_report.h"

// The system clipboard behind the error dialogs' "Copy to clipboard".
class gui_clipboard : public tk_clipboard {
public:
    bool set_text(const std::wstring& text) override;
    static std::wstring get_text();
};

// Sends the window layer's log lines into the program's log.
void gui_connect_window_log();

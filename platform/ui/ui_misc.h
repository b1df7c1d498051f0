// Platform services of the wizard: file dialogs, the clipboard and the help viewer.
#pragma once
#include <functional>
#include <string>


// One request to the open or save file dialog.
struct ui_file_request {
    bool save = false;
    // Pairs of a description and a pattern, each ending in a zero character.
    std::wstring filter;
    std::wstring title;
    std::wstring initial_dir;
    std::wstring file;          // in: the proposed name; out: the chosen path
    bool must_exist = false;
};

// Shows the dialog; true when the user chose a file (its path is then in request.file).
bool ui_get_file_name(ui_file_request& request);
// Test hook: answers file dialogs in place of the user.
void ui_set_file_hook(std::function<bool(ui_file_request&)> hook);

// The filter list as the dialog's name filters ("Description (pattern)").
std::wstring ui_filter_to_text(const std::wstring& filter);

// The system clipboard as Unicode text; false when there is none to take it.
bool ui_set_clipboard_text(const std::wstring& text);
std::wstring ui_get_clipboard_text();

// Opens a help file at a topic (0: its default topic) with the desktop's viewer.
bool ui_open_help(const std::wstring& file, int context_id);
// Test hook: receives help requests in place of the viewer.
void ui_set_help_hook(std::function<bool(const std::wstring&, int)> hook);

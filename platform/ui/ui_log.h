// The window layer's own log line: the program above decides where it goes.
#pragma once
#include <functional>
#include <string>

// Receives the window layer's log lines: a level (1 trace, 3 error) and the text.
using ui_log_sink = std::function<void(int level, const std::wstring& text)>;

// Installs the receiver (nullptr: lines of level 3 go to standard error, the rest are dropped).
void ui_set_log_sink(ui_log_sink sink);
// Hands one line to the receiver.
void ui_log(int level, const std::wstring& text);

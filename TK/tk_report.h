// Passing an error report on: the clipboard (a front end's service) and a bug-report mail.
#pragma once
#include <string>

#include "TK/tk_singl.h"

// The clipboard as the toolkit sees it. The wizard implements it over its
// window system; the console program may register tk_console_clipboard.
// The object registers itself while it lives (the first one made wins).
class tk_clipboard : public tk_singleton<tk_clipboard> {
public:
    ~tk_clipboard() override = default;
    // Puts the text on the clipboard as Unicode text; false when the
    // clipboard cannot take it.
    virtual bool set_text(const std::wstring& text) = 0;
};

// A clipboard for programs without one: the text goes to the log (level 3).
class tk_console_clipboard : public tk_clipboard {
public:
    bool set_text(const std::wstring& text) override;
};

// Puts the text on the registered clipboard (without one, into the log).
// Never throws: failures are log lines only.
void tk_copy_to_clipboard2(const std::wstring& text);

// The mailto: URL of a bug report to the support contact: subject "Bug report
// on " followed by the suffix, the body as given (both narrow texts in the
// locale's encoding, sent as UTF-8).
std::string tk_bug_mailto(const std::string& subject_suffix, const std::string& body);

// Hands the bug report to the user's mail program (xdg-email with the URL
// above) and waits for it to return. Never throws and shows nothing: a
// missing mail hand-off or a failure is a log line only. The current
// directory is the same afterwards.
void tk_send_bug(const std::string& subject_suffix, const std::string& body);

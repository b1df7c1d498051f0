#include "TK/tk_report.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "TK/tk_errco.h"
#include "TK/tk_excep.h"
#include "TK/tk_fname.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"

extern char** environ;

namespace {

constexpr const char* mail_program = "xdg-email";

// Percent-encodes everything but the unreserved characters (RFC 3986), as a
// mailto: header value needs.
std::string percent_encode(const std::string& utf8)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~') {
            out += ch;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// Line breaks of a mail body travel as CR LF.
std::string crlf_lines(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

// Full path of a program found through PATH, "" when there is none.
std::string find_in_path(const char* program)
{
    const char* path = std::getenv("PATH");
    if (path == nullptr || *path == '\0')
        return {};
    std::string dirs = path;
    std::size_t pos = 0;
    while (pos <= dirs.size()) {
        std::size_t end = dirs.find(':', pos);
        if (end == std::string::npos)
            end = dirs.size();
        std::string dir = dirs.substr(pos, end - pos);
        pos = end + 1;
        if (dir.empty())
            dir = ".";
        const std::string candidate = dir + "/" + program;
        struct stat sb;
        if (::stat(candidate.c_str(), &sb) == 0 && S_ISREG(sb.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

// Runs the program with one argument and waits; its exit status, or -1.
int run_and_wait(const std::string& program, const std::string& arg)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv = {const_cast<char*>(mail_program), const_cast<char*>(arg.c_str()), nullptr};
    pid_t pid = 0;
    const int r = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (r != 0) {
        tk_log_write(2, "Cannot start %s: %s", program.c_str(), std::strerror(r));
        return -1;
    }
    int status = 0;
    pid_t w;
    do
        w = ::waitpid(pid, &status, 0);
    while (w < 0 && errno == EINTR);
    if (w < 0 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

void log_clipboard_text(const std::wstring& text)
{
    tk_log_write_w(3, L"Text for the clipboard:\n%ls", text.c_str());
}

} // namespace

bool tk_console_clipboard::set_text(const std::wstring& text)
{
    log_clipboard_text(text);
    return true;
}

void tk_copy_to_clipboard2(const std::wstring& text)
{
    try {
        tk_log_write_w(2, L"tk_copy_to_clipboard2(%ls)", text.c_str());
        tk_clipboard* clipboard = tk_clipboard::get();
        if (clipboard == nullptr) {
            log_clipboard_text(text);
            return;
        }
        if (clipboard->set_text(text))
            tk_log_write(1, "Clipboard text set");
        else
            tk_log_write(2, "The clipboard did not take the text");
    } catch (const std::exception& e) {
        tk_log_write(2, "Error: %s", e.what());
    } catch (...) {
        tk_log_write(2, "Error: %s", "Unknown exception");
    }
}

std::string tk_bug_mailto(const std::string& subject_suffix, const std::string& body)
{
    const std::string subject = tk_to_utf8(tk_ansi_text_to_wstring("Bug report on " + subject_suffix));
    const std::string text = tk_to_utf8(tk_ansi_text_to_wstring(crlf_lines(body)));
    return std::string("mailto:") + tk_message(tk_msg_contact_mail) + "?subject=" + percent_encode(subject) +
           "&body=" + percent_encode(text);
}

void tk_send_bug(const std::string& subject_suffix, const std::string& body)
{
    try {
        tk_log_write(2, "tk_send_bug(%s|%s)", subject_suffix.c_str(), body.c_str());
        const std::string url = tk_bug_mailto(subject_suffix, body);
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        tk_log_write(1, "Bug report to %s of %d/%d/%d %d:%d", tk_message(tk_msg_contact_name), local.tm_year + 1900,
                     local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min);

        // The mail program may change the current directory; ours stays.
        tk_temp_chdir keep(".");
        const std::string program = find_in_path(mail_program);
        if (program.empty()) {
            tk_log_write(2, "Failed to locate %s", mail_program);
            return;
        }
        tk_log_write(1, "mail program=%s", program.c_str());
        const int result = run_and_wait(program, url);
        tk_log_write(2, "%s returns %d", mail_program, result);
    } catch (const std::exception& e) {
        tk_log_write(2, "Error: %s", e.what());
    } catch (...) {
        tk_log_write(2, "Error: %s", "Unknown exception");
    }
}

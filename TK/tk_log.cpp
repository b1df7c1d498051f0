#include "TK/tk_log.h"

#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "TK/tk_errco.h"
#include "TK/tk_fname.h"
#include "TK/tk_utils.h"
#include "platform/win/winbase.h"
#include "platform/win/win_utf.h"
#include "platform/win/winnls.h"

namespace {

// Wide lines first go through a buffer of this many characters; longer ones
// get a larger buffer, up to the cap, beyond which the line is cut.
constexpr std::size_t wide_line_start = 10240;
constexpr std::size_t wide_line_cap = 1 << 20;

bool is_length_char(wchar_t c)
{
    return c == L'h' || c == L'l' || c == L'L' || c == L'q' || c == L'j' || c == L'z' || c == L't';
}

// Rewrites a wide format written for the Windows C library (%s = wide text)
// into the glibc meaning (%s = narrow text, %ls = wide text).
std::wstring glibc_wide_format(const wchar_t* format)
{
    std::wstring out;
    for (const wchar_t* p = format; *p; ++p) {
        out.push_back(*p);
        if (*p != L'%')
            continue;
        ++p;
        if (*p == L'%') {
            out.push_back(*p);
            continue;
        }
        // flags, width, precision
        while (*p && std::wcschr(L"-+ #0123456789.*'", *p))
            out.push_back(*p++);
        std::wstring length;
        while (*p && (is_length_char(*p) || *p == L'I')) {
            if (*p == L'I') {       // Microsoft sizes: I64, I32, I
                if (p[1] == L'6' && p[2] == L'4') { length += L"ll"; p += 3; }
                else if (p[1] == L'3' && p[2] == L'2') { p += 3; }
                else { length += L"z"; ++p; }
            } else {
                length.push_back(*p++);
            }
        }
        if (!*p) {
            out += length;
            break;
        }
        wchar_t conv = *p;
        if (conv == L's' || conv == L'c') {
            if (length == L"h")
                length.clear();         // narrow argument
            else if (length.empty())
                length = L"l";          // wide argument
        } else if (conv == L'S' || conv == L'C') {
            conv = conv == L'S' ? L's' : L'c';
            if (length == L"l")
                ;                       // %lS: wide after all
            else
                length.clear();
        }
        out += length;
        out.push_back(conv);
    }
    return out;
}

// UTF-8 of a wide line; characters that are no Unicode scalar become U+FFFD
// rather than losing the line.
std::string line_utf8(const wchar_t* text, std::size_t length)
{
    return win_utf8_from_wide(std::wstring_view(text, length));
}

// The character set narrow arguments of wide lines (%S) are read in: the
// ANSI code page, whatever locale the process itself runs in. Numbers keep
// the C locale's format.
locale_t narrow_args_locale()
{
    static const locale_t loc = [] {
        locale_t l = newlocale(LC_CTYPE_MASK, win_ansi_is_utf8() ? "C.UTF-8" : "", static_cast<locale_t>(nullptr));
        return l != nullptr ? l : newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
    }();
    return loc;
}

// A narrow line formatted whole.
std::string narrow_line(const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format ? format : "", copy);
    va_end(copy);
    if (n <= 0)
        return std::string();
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format ? format : "", args);
    text.resize(static_cast<std::size_t>(n));
    return text;
}

// Opens the log to append a line, or empties it, without waiting for anything: a named pipe
// that no program reads gives no file (the line is lost) instead of holding the run up for ever.
std::FILE* open_log(const std::string& path, bool empty)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | (empty ? O_TRUNC : O_APPEND), 0666);
    if (fd < 0)
        return nullptr;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* file = ::fdopen(fd, empty ? "wb" : "ab");
    if (file == nullptr)
        ::close(fd);
    return file;
}

// Is the path a named pipe that no program has open for reading?
bool is_pipe_without_reader(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode))
        return false;
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0)
        ::close(fd);
    return fd < 0 && errno == ENXIO;
}

} // namespace

tk_logger::tk_logger(const char* file_name, bool enabled, int threshold, bool time_stamps)
    : m_threshold(threshold),
      m_time_stamps(time_stamps),
      m_file_name(file_name ? file_name : default_file_name())
{
    if (enabled) {
        if (std::FILE* f = open_log(m_file_name, true))
            std::fclose(f);
        m_truncated = true;
    }
    m_enabled = enabled;
}

tk_logger::~tk_logger() = default;

std::string tk_logger::default_file_name()
{
    tk_file_name parts(tk_get_module_path());
    return parts.drive + parts.dir + parts.name + ".log";
}

std::string tk_logger::file_name() const
{
    std::lock_guard lock(m_mutex);
    return m_file_name;
}

bool tk_logger::enabled() const
{
    return m_enabled;
}

bool tk_logger::time_stamps() const
{
    std::lock_guard lock(m_mutex);
    return m_time_stamps;
}

void tk_logger::set_time_stamps(bool on)
{
    std::lock_guard lock(m_mutex);
    m_time_stamps = on;
}

void tk_logger::check_file(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            throw tk_exception(tk_message(tk_msg_log_is_path), 1);
        if (attributes & FILE_ATTRIBUTE_READONLY)
            throw tk_exception(tk_message(tk_msg_log_read_only), 1);
    }
    // The log is opened afresh for each line: a pipe nobody reads would hold every line up.
    if (is_pipe_without_reader(path))
        throw tk_exception("The log file '%s' is a named pipe that no program reads.\nStart its reader first, or give "
                           "another log file.", path.c_str(), 1);
    const tk_file_name parts(path);
    const std::string folder = tk_fname_join(parts);
    if (!tk_is_path_exist(folder))
        throw tk_exception(tk_message(tk_msg_log_no_path), 1);
    if (!tk_check_access(folder, GENERIC_WRITE))
        throw tk_exception(tk_message(tk_msg_log_no_privilege), 1);
}

void tk_logger::set_file(const std::string& path)
{
    if (path.empty()) {
        tk_log_write(1, "Filename is empty");
        return;
    }
    check_file(path);

    std::lock_guard lock(m_mutex);
    m_file_name = path;
    m_enabled = true;
}

std::FILE* tk_logger::begin_line(int level)
{
    if (!m_enabled)
        return nullptr;
    if (!m_truncated) {
        if (std::FILE* f = open_log(m_file_name, true))
            std::fclose(f);
        m_truncated = true;
    }
    if (level < m_threshold)
        return nullptr;
    std::FILE* file = open_log(m_file_name, false);
    if (file == nullptr)
        return nullptr;
    if (m_time_stamps) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        std::fprintf(file, "%02d:%02d:%02d ", now.wHour, now.wMinute, now.wSecond);
    }
    return file;
}

void tk_logger::end_line(std::FILE* file)
{
    if (m_line_end)
        std::fputs("\r\n", file);
    std::fclose(file);
}

void tk_logger::write(int level, const char* format, va_list args)
{
    if (skips(level))
        return;
    std::lock_guard lock(m_mutex);
    std::FILE* file = begin_line(level);
    if (file == nullptr)
        return;
    if (win_ansi_is_utf8()) {
        std::vfprintf(file, format ? format : "", args);
    } else {
        // The log is UTF-8 throughout: a narrow line in another ANSI page is converted, so
        // that its names read as those of the wide lines beside it.
        const std::string text = win_utf8_from_wide(tk_ansi_text_to_wstring(narrow_line(format, args)));
        std::fwrite(text.data(), 1, text.size(), file);
    }
    end_line(file);
}

void tk_logger::write_w(int level, const wchar_t* format, va_list args)
{
    if (skips(level))
        return;
    std::lock_guard lock(m_mutex);
    std::FILE* file = begin_line(level);
    if (file == nullptr)
        return;
    const std::wstring fmt = glibc_wide_format(format ? format : L"");
    std::vector<wchar_t> buffer(wide_line_start);
    int n;
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        const locale_t previous = uselocale(narrow_args_locale());
        n = std::vswprintf(buffer.data(), buffer.size(), fmt.c_str(), copy);
        uselocale(previous);
        va_end(copy);
        if (n >= 0 || buffer.size() * 4 > wide_line_cap)
            break;
        buffer.assign(buffer.size() * 4, L'\0');
    }
    // n < 0 at the cap: the output was cut (or an argument could not be
    // printed); keep what was formatted, always within the buffer.
    buffer.back() = L'\0';
    const std::size_t length = n >= 0 ? static_cast<std::size_t>(n) : std::wcslen(buffer.data());
    const std::string text = line_utf8(buffer.data(), length);
    std::fwrite(text.data(), 1, text.size(), file);
    end_line(file);
}

void (tk_log_write)(int level, const char* format, ...)
{
    tk_logger* logger = tk_logger::get();
    if (logger == nullptr)
        return;
    va_list args;
    va_start(args, format);
    logger->write(level, format, args);
    va_end(args);
}

void (tk_log_write_w)(int level, const wchar_t* format, ...)
{
    tk_logger* logger = tk_logger::get();
    if (logger == nullptr)
        return;
    va_list args;
    va_start(args, format);
    logger->write_w(level, format, args);
    va_end(args);
}

#include "platform/oledb/odbc_dsn.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/oledb/odbc_core.h"
#include "platform/win/winbase.h"

namespace odbc {

namespace {

std::mutex& environment_lock()
{
    static std::mutex m;
    return m;
}

// The file's reader ends a value at the line's end and trims blanks at both ends.
bool ini_safe(const std::wstring& v)
{
    for (wchar_t c : v)
        if (c < 0x20 || c == 0x7F)
            return false;
    auto blank = [](wchar_t c) { return c == L' '; };
    return v.empty() || (!blank(v.front()) && !blank(v.back()));
}

void write_whole(int fd, const std::string& text, const std::string& path)
{
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw error(hr::fail, L"Cannot write the temporary data source '" + from_utf8(path) + L"': " +
                                      from_utf8(std::strerror(errno)));
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

temporary_data_source::temporary_data_source(const attributes& attrs) : lock_(environment_lock())
{
    static std::atomic<unsigned> counter{0};
    name_ = L"drav-" + std::to_wstring(::getpid()) + L"-" + std::to_wstring(++counter);
    std::string text = "[" + to_utf8(name_) + "]\n";
    for (const auto& [key, value] : attrs) {
        if (!ini_safe(value))
            throw error(hr::invalid_arg, L"The connection setting " + key +
                                             L" holds characters the ODBC driver cannot be given.");
        text += to_utf8(key) + " = " + to_utf8(value) + "\n";
    }
    std::string pattern = win_temp_folder() + "/drav-odbc-XXXXXX";
    int fd = ::mkstemp(pattern.data());   // mode 0600, created exclusively
    if (fd < 0)
        throw error(hr::fail, L"Cannot create a temporary data source in '" + from_utf8(win_temp_folder()) + L"': " +
                                  from_utf8(std::strerror(errno)));
    path_ = pattern;
    try {
        write_whole(fd, text, path_);
    } catch (...) {
        ::close(fd);
        ::unlink(path_.c_str());
        throw;
    }
    ::close(fd);
    if (const char* old = std::getenv("ODBCINI"))
        saved_odbcini_ = old;
    ::setenv("ODBCINI", path_.c_str(), 1);
}

temporary_data_source::~temporary_data_source()
{
    if (saved_odbcini_)
        ::setenv("ODBCINI", saved_odbcini_->c_str(), 1);
    else
        ::unsetenv("ODBCINI");
    ::unlink(path_.c_str());
}

} // namespace odbc

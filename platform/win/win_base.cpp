#include "platform/win/winbase.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <list>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/win/winerror.h"
#include "platform/win/winnls.h"

std::string win_temp_folder()
{
    const char* t = std::getenv("TMPDIR");
    return t && *t ? std::string(t) : std::string("/tmp");
}

bool win_module_path(std::string& path)
{
    std::vector<char> buffer(1024);
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) {
            SetLastErrorFromErrno();
            return false;
        }
        if (static_cast<size_t>(n) < buffer.size()) {
            path.assign(buffer.data(), static_cast<size_t>(n));
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

namespace {

template <class Char>
DWORD copy_cut(const std::basic_string<Char>& text, Char* buffer, DWORD size)
{
    if (buffer == nullptr || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (text.size() + 1 > size) {
        std::copy_n(text.begin(), size - 1, buffer);
        buffer[size - 1] = Char();
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = Char();
    return static_cast<DWORD>(text.size());
}

} // namespace

DWORD GetModuleFileNameA(HMODULE module, char* buffer, DWORD size)
{
    std::string path;
    if (module != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!win_module_path(path))
        return 0;
    return copy_cut(path, buffer, size);
}

DWORD GetModuleFileNameW(HMODULE module, wchar_t* buffer, DWORD size)
{
    std::string path;
    std::wstring wide;
    if (module != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!win_module_path(path) || !win_to_wide(CP_ACP, path, wide))
        return 0;
    return copy_cut(wide, buffer, size);
}

void GetLocalTime(SYSTEMTIME* time)
{
    if (time == nullptr)
        return;
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    localtime_r(&seconds, &tm);
    time->wYear = static_cast<WORD>(tm.tm_year + 1900);
    time->wMonth = static_cast<WORD>(tm.tm_mon + 1);
    time->wDayOfWeek = static_cast<WORD>(tm.tm_wday);
    time->wDay = static_cast<WORD>(tm.tm_mday);
    time->wHour = static_cast<WORD>(tm.tm_hour);
    time->wMinute = static_cast<WORD>(tm.tm_min);
    time->wSecond = static_cast<WORD>(tm.tm_sec);
    time->wMilliseconds = static_cast<WORD>(ms < 0 ? 0 : ms);
}

namespace {

bool in_group(gid_t gid)
{
    if (gid == getegid())
        return true;
    const int n = getgroups(0, nullptr);
    if (n <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<size_t>(n));
    const int got = getgroups(n, groups.data());
    return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

bool mode_is_read_only(const struct stat& st)
{
    const uid_t uid = geteuid();
    if (uid == 0)
        return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
    if (st.st_uid == uid)
        return (st.st_mode & S_IWUSR) == 0;
    if (in_group(st.st_gid))
        return (st.st_mode & S_IWGRP) == 0;
    return (st.st_mode & S_IWOTH) == 0;
}

} // namespace

DWORD GetFileAttributesA(const char* path)
{
    struct stat st;
    if (path == nullptr || *path == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (stat(path, &st) != 0) {
        SetLastErrorFromErrno();
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attributes = 0;
    if (S_ISDIR(st.st_mode))
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (mode_is_read_only(st))
        attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

DWORD GetFileAttributesW(const wchar_t* path)
{
    std::string narrow;
    if (path == nullptr || !win_from_wide(CP_ACP, path, narrow))
        return INVALID_FILE_ATTRIBUTES;
    return GetFileAttributesA(narrow.c_str());
}

bool win_check_access(const char* path, DWORD desired)
{
    if (path == nullptr || *path == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    int mode = 0;
    if (desired & GENERIC_ALL)
        mode |= R_OK | W_OK | X_OK;
    if (desired & (GENERIC_READ | 0x0001 /* read data */ | 0x0008 /* read extended attributes */))
        mode |= R_OK;
    if (desired & (GENERIC_WRITE | 0x0002 /* write data */ | 0x0004 /* append */ | 0x0010 | 0x0100))
        mode |= W_OK;
    if (desired & (GENERIC_EXECUTE | 0x0020 /* execute */))
        mode |= X_OK;
    if (faccessat(AT_FDCWD, path, mode == 0 ? F_OK : mode, AT_EACCESS) != 0) {
        SetLastErrorFromErrno();
        return false;
    }
    return true;
}

namespace {

struct registered_module {
    std::string name;
    win_exports exports;
};

std::mutex g_modules_mutex;
std::list<registered_module> g_modules;   // a list keeps handles (element addresses) stable

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

registered_module* find_registered(const void* handle)
{
    for (auto& m : g_modules)
        if (&m == handle)
            return &m;
    return nullptr;
}

} // namespace

void win_register_module(const std::string& name, const win_exports& exports)
{
    std::lock_guard lock(g_modules_mutex);
    for (auto& m : g_modules)
        if (m.name == lower(name)) {
            m.exports = exports;
            return;
        }
    g_modules.push_back({lower(name), exports});
}

HMODULE LoadLibraryA(const char* name)
{
    if (name == nullptr || *name == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    {
        std::lock_guard lock(g_modules_mutex);
        for (auto& m : g_modules)
            if (m.name == lower(name))
                return &m;
    }
    void* handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
        SetLastError(ERROR_MOD_NOT_FOUND);
    return handle;
}

FARPROC GetProcAddress(HMODULE module, const char* name)
{
    if (module == nullptr || name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    {
        std::lock_guard lock(g_modules_mutex);
        if (registered_module* m = find_registered(module)) {
            auto it = m->exports.find(name);
            if (it == m->exports.end()) {
                SetLastError(ERROR_PROC_NOT_FOUND);
                return nullptr;
            }
            return it->second;
        }
    }
    void* symbol = dlsym(module, name);
    if (symbol == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE module)
{
    if (module == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    {
        std::lock_guard lock(g_modules_mutex);
        if (find_registered(module))
            return 1;
    }
    return dlclose(module) == 0 ? 1 : 0;
}

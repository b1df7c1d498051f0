#include "TK/tk_fname.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "platform/win/winbase.h"
#include "platform/win/winerror.h"
#include "platform/win/winnls.h"

namespace {

// Absolute form of a path: relative ones against the current directory, "."
// and ".." resolved by text (symbolic links are not followed).
std::string absolute_path(const std::string& path)
{
    std::filesystem::path p(path);
    if (p.is_relative()) {
        std::error_code ec;
        const std::filesystem::path cwd = std::filesystem::current_path(ec);
        if (ec)
            TK_MAIL_ASSERT();
        p = cwd / p;
    }
    return p.lexically_normal().string();
}

void split(const std::string& full, std::string& drive, std::string& dir, std::string& name, std::string& ext)
{
    drive.clear();
    const auto slash = full.rfind('/');
    dir = slash == std::string::npos ? std::string() : full.substr(0, slash + 1);
    const std::string file = slash == std::string::npos ? full : full.substr(slash + 1);
    const auto dot = file.rfind('.');
    if (dot == std::string::npos) {
        name = file;
        ext.clear();
    } else {
        name = file.substr(0, dot);
        ext = file.substr(dot);
    }
}

std::string narrow_of(const std::wstring& wide)
{
    std::string out;
    if (!win_from_wide(CP_ACP, wide, out))
        throw tk_exception_ex("Cannot convert to ANSI string: ", 0);
    return out;
}

std::wstring wide_of(const std::string& narrow)
{
    std::wstring out;
    if (!win_to_wide(CP_ACP, narrow, out))
        throw tk_exception_ex("Cannot convert to UNICODE string: ", 0);
    return out;
}

} // namespace

tk_file_name::tk_file_name(const char* path)
{
    TK_MAIL_CHECK(path != nullptr);
    *this = tk_file_name(std::string(path));
}

tk_file_name::tk_file_name(const std::string& path)
{
    tk_log_write(1, "tk_file_name::ctor(%s)", path.c_str());
    if (path.empty()) {
        split(tk_get_module_path(), drive, dir, name, ext);
        name.clear();
        return;
    }
    split(absolute_path(path), drive, dir, name, ext);
}

tk_file_wname::tk_file_wname(const wchar_t* path)
{
    TK_MAIL_CHECK(path != nullptr);
    *this = tk_file_wname(std::wstring(path));
}

tk_file_wname::tk_file_wname(const std::wstring& path)
{
    tk_log_write_w(1, L"tk_file_wname::initialize(%s)", path.c_str());
    const tk_file_name parts(path.empty() ? std::string() : narrow_of(path));
    ext = wide_of(parts.ext);
    drive = wide_of(parts.drive);
    name = wide_of(parts.name);
    dir = wide_of(parts.dir);
}

std::string tk_fname_join(const tk_file_name& name)
{
    return name.drive + name.dir;
}

std::string tk_get_module_path()
{
    std::string path;
    if (!win_module_path(path))
        TK_MAIL_ASSERT();
    return path;
}

std::wstring tk_get_module_path_w()
{
    return wide_of(tk_get_module_path());
}

std::string tk_get_module_dir()
{
    const tk_file_name parts(tk_get_module_path());
    return parts.drive + parts.dir;
}

tk_temp_chdir::tk_temp_chdir(const std::string& dir)
{
    tk_log_write(2, "tk_temp_chdir::ctor");
    const std::string target = dir.empty() ? tk_get_module_dir() : dir;
    std::vector<char> buffer(4096);
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) {
            tk_log_write(2, "_getcwd failed");
            return;
        }
        buffer.resize(buffer.size() * 2);
    }
    m_saved = buffer.data();
    if (chdir(target.c_str()) == 0) {
        m_restore = true;
    } else {
        SetLastErrorFromErrno();
        tk_log_write(2, "_chdir failed");
    }
}

tk_temp_chdir::~tk_temp_chdir()
{
    if (!m_restore)
        return;
    tk_log_write(2, "tk_temp_chdir::dtor");
    if (chdir(m_saved.c_str()) != 0)
        tk_log_write(2, "_chdir failed");
    tk_log_write(2, "tk_temp_chdir::dtor - at the END");
}

bool tk_is_path_exist(const std::string& dir)
{
    // Entering the directory is what counts, so a folder without search
    // permission does not exist for this user; the current directory stays.
    const std::string target = dir.empty() ? tk_get_module_dir() : dir;
    struct stat st;
    if (stat(target.c_str(), &st) != 0) {
        SetLastErrorFromErrno();
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        SetLastError(ENOTDIR);
        return false;
    }
    if (faccessat(AT_FDCWD, target.c_str(), X_OK, AT_EACCESS) != 0) {
        SetLastErrorFromErrno();
        return false;
    }
    return true;
}

bool tk_is_path_exist(const std::wstring& dir)
{
    std::string narrow;
    if (!win_from_wide(CP_ACP, dir, narrow))
        return false;
    return tk_is_path_exist(narrow);
}

bool tk_is_file_exist1(const std::string& path, int mode)
{
    tk_log_write(2, "tk_is_file_exist1(%s,%d)", path.c_str(), mode);
    if (mode == tk_exist_file || mode == tk_exist_writable) {
        const DWORD attributes = GetFileAttributesA(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return false;
        return mode == tk_exist_file || !(attributes & FILE_ATTRIBUTE_READONLY);
    }
    // Open for reading and writing, creating a missing file but never
    // emptying an existing one.
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        SetLastErrorFromErrno();
        throw tk_exception_ex();
    }
    close(fd);
    return true;
}

bool tk_is_file_exist2(const std::wstring& path, int mode)
{
    tk_log_write_w(2, L"tk_is_file_exist2(%s,%08X)", path.c_str(), static_cast<unsigned>(mode));
    std::string narrow;
    if (!win_from_wide(CP_ACP, path, narrow)) {
        if (mode == tk_exist_file || mode == tk_exist_writable)
            return false;
        throw tk_exception_ex();
    }
    return tk_is_file_exist1(narrow, mode);
}

bool tk_check_access(const std::string& path, DWORD desired_access)
{
    return win_check_access(path.c_str(), desired_access);
}

bool tk_check_access(const std::wstring& path, DWORD desired_access)
{
    std::string narrow;
    if (!win_from_wide(CP_ACP, path, narrow))
        return false;
    return win_check_access(narrow.c_str(), desired_access);
}

DWORD get_dll_version(const char* dll_name)
{
    HMODULE module = LoadLibraryA(dll_name);
    if (module == nullptr) {
        tk_log_write(2, "get_dll_version failed to load DLL");
        return 0;
    }
    DWORD version = 0;
    auto proc = reinterpret_cast<DLLGETVERSIONPROC>(GetProcAddress(module, "DllGetVersion"));
    if (proc == nullptr) {
        tk_log_write(2, "get_dll_version failed to obtain DllGetVersion");
    } else {
        DLLVERSIONINFO info{};
        info.cbSize = sizeof info;
        if (proc(&info) >= 0)
            version = (info.dwMajorVersion << 16) | (info.dwMinorVersion & 0xFFFF);
    }
    FreeLibrary(module);
    return version;
}

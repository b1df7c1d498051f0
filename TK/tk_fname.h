// File names and paths: splitting, the program's own path, existence and access tests.
#pragma once
#include <string>

#include "platform/win/wintypes.h"

// A narrow path made absolute (against the current directory, "." and ".."
// resolved) and split into its parts. On Linux the drive is always empty and
// the directory runs from the leading to the trailing "/". Joining drive,
// dir, name and ext gives the path again; drive and dir give its folder.
class tk_file_name {
public:
    // An empty path stands for the program's own path without its name part.
    explicit tk_file_name(const std::string& path);
    // A null path is an internal error.
    explicit tk_file_name(const char* path);

    std::string path() const { return drive + dir + name + ext; }
    std::string folder() const { return drive + dir; }

    std::string ext;    // with its dot, "" when none
    std::string drive;
    std::string name;
    std::string dir;    // with leading and trailing separators
};

// The same for wide paths.
class tk_file_wname {
public:
    explicit tk_file_wname(const std::wstring& path);
    explicit tk_file_wname(const wchar_t* path);

    std::wstring path() const { return drive + dir + name + ext; }
    std::wstring folder() const { return drive + dir; }

    std::wstring ext;
    std::wstring drive;
    std::wstring name;
    std::wstring dir;
};

// The folder of a split path (drive and directory).
std::string tk_fname_join(const tk_file_name& name);

// Full path of the running program; a failing system call is an internal error.
std::string tk_get_module_path();
std::wstring tk_get_module_path_w();
// Its folder, with a trailing separator.
std::string tk_get_module_dir();

// Changes the process's current directory for its own lifetime and changes
// back when destroyed. "" means the program's own folder. The current
// directory is shared by all threads: use only where no other thread
// depends on it.
class tk_temp_chdir {
public:
    explicit tk_temp_chdir(const std::string& dir);
    ~tk_temp_chdir();
    tk_temp_chdir(const tk_temp_chdir&) = delete;
    tk_temp_chdir& operator=(const tk_temp_chdir&) = delete;

    // Whether the change succeeded (and will be undone).
    bool changed() const { return m_restore; }

private:
    bool m_restore = false;
    std::string m_saved;
};

// True when the path is a directory the current user may enter ("" is the
// program's own folder). Leaves the current directory alone.
bool tk_is_path_exist(const std::string& dir);
bool tk_is_path_exist(const std::wstring& dir);

// Modes of tk_is_file_exist1/2.
constexpr int tk_exist_file = 0x4000;   // exists and is no directory
constexpr int tk_exist_writable = 1;    // ... and is not read-only
// Any other mode opens the file for reading and writing, creating it when
// missing (an existing file keeps its content), and answers true; failure
// throws tk_exception_ex with the system's text.
bool tk_is_file_exist1(const std::string& path, int mode);
bool tk_is_file_exist2(const std::wstring& path, int mode);

// May the current user open the file or directory with the desired rights
// (GENERIC_READ, GENERIC_WRITE, ... or file rights)? Never throws.
bool tk_check_access(const std::string& path, DWORD desired_access);
bool tk_check_access(const std::wstring& path, DWORD desired_access);

// Version of a library through its "DllGetVersion" export: major in the high
// 16 bits, minor in the low; 0 when it cannot be loaded or has no export.
DWORD get_dll_version(const char* dll_name);

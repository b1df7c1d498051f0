// Process, time, file-attribute, access-check and module-loading calls of the Windows base API.
#pragma once
#include <map>
#include <string>
#include "platform/win/wintypes.h"

// ---- the program's own file ----
// Full path of the running program (hmodule must be null). Returns the length
// copied, 0 on failure; a too small buffer gets a cut, NUL-terminated copy and
// returns size with ERROR_INSUFFICIENT_BUFFER, like Windows.
DWORD GetModuleFileNameA(HMODULE module, char* buffer, DWORD size);
DWORD GetModuleFileNameW(HMODULE module, wchar_t* buffer, DWORD size);
// The same without a size limit; false (last error set) on failure.
bool win_module_path(std::string& path);

// ---- temporary files ----
// The folder for temporary files (where GetTempPath points): TMPDIR when set, else /tmp.
std::string win_temp_folder();

// ---- local time ----
struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
void GetLocalTime(SYSTEMTIME* time);

// ---- file attributes ----
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x00000001;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
// READONLY is decided from the permission bits, not from access(): a file is
// read-only when its mode grants no write to the caller's class (owner, group
// or others); for root, when no write bit is set at all. Root may write any
// file, so asking access() would never find one read-only.
DWORD GetFileAttributesA(const char* path);
DWORD GetFileAttributesW(const wchar_t* path);

// ---- access rights ----
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD GENERIC_EXECUTE = 0x20000000;
constexpr DWORD GENERIC_ALL = 0x10000000;
constexpr DWORD FILE_GENERIC_READ = 0x120089;
constexpr DWORD FILE_GENERIC_WRITE = 0x120116;
constexpr DWORD FILE_GENERIC_EXECUTE = 0x1200A0;
constexpr DWORD FILE_ALL_ACCESS = 0x1F01FF;
// May the current (effective) user open the file or directory with the desired
// generic or file rights? Decided by the kernel's own check (faccessat with the
// effective ids), so read-only mounts and ACLs count. False (last error set)
// when the path is missing or a right is refused.
bool win_check_access(const char* path, DWORD desired_access);

// ---- modules ----
// Shared objects by file name through dlopen. Substitutes of Windows DLLs that
// have no Linux file register their exports here under the DLL's name (case
// does not matter), and LoadLibraryA hands those out first.
using win_exports = std::map<std::string, FARPROC>;
void win_register_module(const std::string& name, const win_exports& exports);
HMODULE LoadLibraryA(const char* name);
FARPROC GetProcAddress(HMODULE module, const char* name);
BOOL FreeLibrary(HMODULE module);

// Version record filled by a DLL's "DllGetVersion" export (20 bytes).
struct DLLVERSIONINFO {
    DWORD cbSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformID;
};
using DLLGETVERSIONPROC = LONG (*)(DLLVERSIONINFO*);

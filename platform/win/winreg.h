// Current-user registry keys and typed values, kept in one private per-user file.
//
// The calls have the shapes the system code uses; the data lives in
// $XDG_CONFIG_HOME/drav/registry (default ~/.config/drav/registry), or in the
// file named by the environment variable DRAV_REGISTRY_FILE. The file is
// created with mode 0600 (it holds passwords), rewritten atomically (temporary
// file, fsync, rename) and guarded by a lock file so that two processes can
// update it at the same time without losing each other's values.
//
// Only HKEY_CURRENT_USER is kept. Key and value names compare without regard to
// ASCII case. Texts are stored as UTF-8; the A calls exchange them in the
// locale's encoding, the W calls as wchar_t. Sizes are always in bytes.
#pragma once
#include <cstdint>
#include <string>
#include "platform/win/winerror.h"
#include "platform/win/wintypes.h"

struct win_reg_key;
using HKEY = win_reg_key*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LSTATUS = LONG;

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u)))
#define HKEY_USERS (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000003u)))

// Result codes of the registry calls besides those of winerror.h.
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_BADKEY = 1010;
constexpr DWORD ERROR_REGISTRY_CORRUPT = 1015;
constexpr DWORD ERROR_REGISTRY_IO_FAILED = 1016;
constexpr DWORD ERROR_DATATYPE_MISMATCH = 1629;
constexpr DWORD ERROR_UNSUPPORTED_TYPE = 1630;

// Value types.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

// Creation options and dispositions.
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Access rights of an open key.
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

// Type filters of RegGetValue: a value of any other type is refused with ERROR_UNSUPPORTED_TYPE.
constexpr DWORD RRF_RT_REG_NONE = 0x0001;
constexpr DWORD RRF_RT_REG_SZ = 0x0002;
constexpr DWORD RRF_RT_REG_EXPAND_SZ = 0x0004;
constexpr DWORD RRF_RT_REG_BINARY = 0x0008;
constexpr DWORD RRF_RT_REG_DWORD = 0x0010;
constexpr DWORD RRF_RT_REG_MULTI_SZ = 0x0020;
constexpr DWORD RRF_RT_REG_QWORD = 0x0040;
constexpr DWORD RRF_RT_ANY = 0xFFFF;

// Opens an existing key: ERROR_FILE_NOT_FOUND when it does not exist.
LONG RegOpenKeyExA(HKEY root, const char* sub_key, DWORD options, REGSAM access, PHKEY result);
LONG RegOpenKeyExW(HKEY root, const wchar_t* sub_key, DWORD options, REGSAM access, PHKEY result);

// Opens the key, creating it (and its parents) when missing. security is accepted and ignored:
// the whole file is private to the user.
LONG RegCreateKeyExA(HKEY root, const char* sub_key, DWORD reserved, char* key_class, DWORD options,
                     REGSAM access, const void* security, PHKEY result, DWORD* disposition);
LONG RegCreateKeyExW(HKEY root, const wchar_t* sub_key, DWORD reserved, wchar_t* key_class, DWORD options,
                     REGSAM access, const void* security, PHKEY result, DWORD* disposition);

LONG RegCloseKey(HKEY key);

// Reads a value as stored, whatever its type (reported through type). A null data asks for the
// size only; a buffer that is too small gets ERROR_MORE_DATA and the size needed.
LONG RegQueryValueExA(HKEY key, const char* name, DWORD* reserved, DWORD* type, BYTE* data, DWORD* size);
LONG RegQueryValueExW(HKEY key, const wchar_t* name, DWORD* reserved, DWORD* type, BYTE* data, DWORD* size);

// Reads a value of one of the types allowed by flags (RRF_RT_*). Texts always come back ended by
// a NUL, even when stored without one; a REG_DWORD must hold exactly four bytes.
LONG RegGetValueA(HKEY key, const char* sub_key, const char* name, DWORD flags, DWORD* type, void* data,
                  DWORD* size);
LONG RegGetValueW(HKEY key, const wchar_t* sub_key, const wchar_t* name, DWORD flags, DWORD* type,
                  void* data, DWORD* size);

LONG RegSetValueExA(HKEY key, const char* name, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
LONG RegSetValueExW(HKEY key, const wchar_t* name, DWORD reserved, DWORD type, const BYTE* data, DWORD size);

LONG RegDeleteValueA(HKEY key, const char* name);
LONG RegDeleteValueW(HKEY key, const wchar_t* name);

// Full path of the file that holds the values (DRAV_REGISTRY_FILE when set).
std::string win_registry_file();

// Fault injection for the crash-safety tests: the next rewrite of the file ends the process
// (_exit with the given code) at the chosen point. Built only into the tests' own copy of
// this library (DRAV_REGISTRY_FAULTS), never into the programs.
enum class win_registry_crash { none, during_write, before_rename };
#ifdef DRAV_REGISTRY_FAULTS
void win_registry_crash_at(win_registry_crash point, int exit_code);
#endif

// One open registry key with typed reading, writing and load-or-store exchange of its values.
#pragma once
#include <string>

#include "platform/win/winreg.h"

// Holds one open key (none at first) and the path given at construction for
// the caller's use. Registry failures are returned as error numbers (0 for
// success), never thrown; null names, texts or keys are internal errors.
// Reading a value of another type than asked for fails (ERROR_UNSUPPORTED_TYPE)
// and leaves the caller's value as it was.
class tk_reg_key {
public:
    explicit tk_reg_key(const std::string& path);
    ~tk_reg_key();
    tk_reg_key(const tk_reg_key&) = delete;
    tk_reg_key& operator=(const tk_reg_key&) = delete;

    // Closes the key if one is open; 0 when none was.
    LONG close();

    // Creates or opens root\sub_key. On success the key held so far is closed
    // and the new one kept; on failure the current key stays.
    LONG create(HKEY root, const char* sub_key, char* key_class = nullptr,
                DWORD options = REG_OPTION_NON_VOLATILE, REGSAM access = KEY_ALL_ACCESS,
                const void* security = nullptr, DWORD* disposition = nullptr);

    // A REG_DWORD.
    LONG get_value(DWORD& value, const char* name);
    // A REG_SZ into buffer of *size bytes (NUL included); a null buffer asks
    // for the size only. The text always ends with a NUL.
    LONG get_value(char* buffer, const char* name, DWORD* size);
    LONG get_value(wchar_t* buffer, const char* name, DWORD* size);

    LONG set_value(DWORD value, const char* name);
    // The text and its NUL as a REG_SZ.
    LONG set_value(const char* text, const char* name);
    LONG set_value(const wchar_t* text, const char* name);

    // Load (store false) or store one value; true on success. A flag is kept
    // as a DWORD 0 or 1 and loads as "not 0". A failed load leaves the
    // caller's value unchanged; without an open key both ways fail.
    bool exchange(const char* name, bool& flag, bool store);
    bool exchange(const char* name, std::string& text, bool store);
    bool exchange(const char* name, std::wstring& text, bool store);

    const std::string& path() const { return m_path; }
    bool is_open() const { return m_key != nullptr; }
    HKEY handle() const { return m_key; }

private:
    HKEY m_key = nullptr;
    std::string m_path;
};

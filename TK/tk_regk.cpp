#include "TK/tk_regk.h"

#include <vector>

#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "platform/win/win_utf.h"

namespace {

// Value names are plain words ("src", "direct"); the wide calls get them widened.
std::wstring wide_name(const char* name)
{
    return win_wide_from_utf8(name);
}

} // namespace

tk_reg_key::tk_reg_key(const std::string& path) : m_path(path) {}

tk_reg_key::~tk_reg_key()
{
    close();
}

LONG tk_reg_key::close()
{
    if (m_key == nullptr)
        return ERROR_SUCCESS;
    const LONG r = RegCloseKey(m_key);
    m_key = nullptr;
    return r;
}

LONG tk_reg_key::create(HKEY root, const char* sub_key, char* key_class, DWORD options, REGSAM access,
                        const void* security, DWORD* disposition)
{
    if (root == nullptr)
        TK_MAIL_ASSERT();
    HKEY key = nullptr;
    DWORD disp = 0;
    const LONG r = RegCreateKeyExA(root, sub_key, 0, key_class, options, access, security, &key, &disp);
    if (r != ERROR_SUCCESS) {
        tk_log_write(2, "tk_reg_key::create(%s) failed: %d", sub_key ? sub_key : "", static_cast<int>(r));
        return r;
    }
    close();
    m_key = key;
    if (disposition)
        *disposition = disp;
    return ERROR_SUCCESS;
}

LONG tk_reg_key::get_value(DWORD& value, const char* name)
{
    if (name == nullptr)
        TK_MAIL_ASSERT();
    tk_log_write(2, "tk_reg_key::get_value(ulong, %s)", name);
    DWORD type = REG_NONE, read = 0, size = sizeof read;
    const LONG r = RegGetValueA(m_key, nullptr, name, RRF_RT_REG_DWORD, &type, &read, &size);
    tk_log_write(1, "type=%d, size=%d", static_cast<int>(type), static_cast<int>(size));
    if (r == ERROR_SUCCESS)
        value = read;
    return r;
}

LONG tk_reg_key::get_value(char* buffer, const char* name, DWORD* size)
{
    if (name == nullptr || size == nullptr)
        TK_MAIL_ASSERT();
    tk_log_write(2, "tk_reg_key::get_value(LPSTR, %s)", name);
    DWORD type = REG_NONE;
    const LONG r = RegGetValueA(m_key, nullptr, name, RRF_RT_REG_SZ, &type, buffer, size);
    tk_log_write(1, "type=%d, size=%d", static_cast<int>(type), static_cast<int>(*size));
    return r;
}

LONG tk_reg_key::get_value(wchar_t* buffer, const char* name, DWORD* size)
{
    if (name == nullptr || size == nullptr)
        TK_MAIL_ASSERT();
    tk_log_write(2, "tk_reg_key::get_value(LPWSTR, %s)", name);
    DWORD type = REG_NONE;
    const LONG r = RegGetValueW(m_key, nullptr, wide_name(name).c_str(), RRF_RT_REG_SZ, &type, buffer, size);
    tk_log_write(1, "type=%d, size=%d", static_cast<int>(type), static_cast<int>(*size));
    return r;
}

LONG tk_reg_key::set_value(DWORD value, const char* name)
{
    if (m_key == nullptr || name == nullptr)
        TK_MAIL_ASSERT();
    return RegSetValueExA(m_key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

LONG tk_reg_key::set_value(const char* text, const char* name)
{
    if (m_key == nullptr || text == nullptr || name == nullptr)
        TK_MAIL_ASSERT();
    const std::string t = text;
    return RegSetValueExA(m_key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(t.c_str()),
                          static_cast<DWORD>(t.size() + 1));
}

LONG tk_reg_key::set_value(const wchar_t* text, const char* name)
{
    if (m_key == nullptr || text == nullptr || name == nullptr)
        TK_MAIL_ASSERT();
    const std::wstring t = text;
    return RegSetValueExW(m_key, wide_name(name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(t.c_str()),
                          static_cast<DWORD>((t.size() + 1) * sizeof(wchar_t)));
}

bool tk_reg_key::exchange(const char* name, bool& flag, bool store)
{
    if (m_key == nullptr)
        return false;
    if (store)
        return set_value(static_cast<DWORD>(flag ? 1 : 0), name) == ERROR_SUCCESS;
    DWORD value = 0;
    const LONG r = get_value(value, name);
    if (r != ERROR_SUCCESS) {
        tk_log_write(1, "tk_reg_key::exchange(%s) - not loaded: %d", name, static_cast<int>(r));
        return false;
    }
    flag = value != 0;
    return true;
}

bool tk_reg_key::exchange(const char* name, std::string& text, bool store)
{
    if (m_key == nullptr)
        return false;
    if (store)
        return set_value(text.c_str(), name) == ERROR_SUCCESS;
    DWORD size = 0;
    LONG r = get_value(static_cast<char*>(nullptr), name, &size);
    if (r == ERROR_SUCCESS && size == 0)
        r = ERROR_FILE_NOT_FOUND;
    std::vector<char> buffer;
    if (r == ERROR_SUCCESS) {
        buffer.assign(size, '\0');
        r = get_value(buffer.data(), name, &size);
    }
    if (r != ERROR_SUCCESS) {
        tk_log_write(1, "tk_reg_key::exchange(%s) - not loaded: %d", name, static_cast<int>(r));
        return false;
    }
    text.assign(buffer.data()); // up to the NUL, which the read guarantees
    return true;
}

bool tk_reg_key::exchange(const char* name, std::wstring& text, bool store)
{
    if (m_key == nullptr)
        return false;
    if (store)
        return set_value(text.c_str(), name) == ERROR_SUCCESS;
    DWORD size = 0;
    LONG r = get_value(static_cast<wchar_t*>(nullptr), name, &size);
    if (r == ERROR_SUCCESS && size < sizeof(wchar_t))
        r = ERROR_FILE_NOT_FOUND;
    std::vector<wchar_t> buffer;
    if (r == ERROR_SUCCESS) {
        buffer.assign(size / sizeof(wchar_t), L'\0');
        r = get_value(buffer.data(), name, &size);
    }
    if (r != ERROR_SUCCESS) {
        tk_log_write(1, "tk_reg_key::exchange(%s) - not loaded: %d", name, static_cast<int>(r));
        return false;
    }
    text.assign(buffer.data());
    return true;
}

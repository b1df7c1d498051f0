#include "TK/tk_utils.h"

#include <cstring>
#include <cwchar>

#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "platform/win/winerror.h"
#include "platform/win/winnls.h"

namespace {

template <class S>
S rtrim_blanks(const S& text)
{
    const auto last = text.find_last_not_of(typename S::value_type(' '));
    if (last == S::npos) {
        if (!text.empty())
            tk_log_write(1, "Special processing for all-spaces-string");
        return S();
    }
    return text.substr(0, last + 1);
}

template <class S>
S trim_blanks(const S& text)
{
    S r = rtrim_blanks(text);
    const auto first = r.find_first_not_of(typename S::value_type(' '));
    return first == S::npos ? S() : r.substr(first);
}

UINT ansi_page(int code_page)
{
    return code_page == -1 ? CP_ACP : static_cast<UINT>(code_page);
}

template <class Char>
void hex_into(std::size_t count, const unsigned char* bytes, Char* buffer)
{
    static const char digits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < count; ++i) {
        buffer[2 * i] = static_cast<Char>(digits[bytes[i] >> 4]);
        buffer[2 * i + 1] = static_cast<Char>(digits[bytes[i] & 0x0F]);
    }
    buffer[2 * count] = Char();
}

} // namespace

std::string tk_rtrim(const std::string& text) { return rtrim_blanks(text); }
std::wstring tk_rtrim(const std::wstring& text) { return rtrim_blanks(text); }
std::string tk_trim(const std::string& text) { return trim_blanks(text); }
std::wstring tk_trim(const std::wstring& text) { return trim_blanks(text); }

std::wstring tk_enclose(const std::wstring& text, wchar_t open, wchar_t close)
{
    std::wstring r(1, open);
    r.reserve(text.size() + 2);
    for (wchar_t c : text) {
        r += c;
        if (c == close)
            r += close;
    }
    return r + close;
}

std::wstring& tk_wstring::replace_all(std::wstring& text, const std::wstring& from, const std::wstring& to)
{
    tk_log_write_w(1, L"tk_wstring::replace_all(%s,%s)", from.c_str(), to.c_str());
    if (from.empty())
        return text;
    std::wstring::size_type pos = 0;
    while ((pos = text.find(from, pos)) != std::wstring::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
    return text;
}

std::wstring tk_to_wstring(const std::string& ansi)
{
    std::wstring out;
    if (!win_to_wide(CP_ACP, ansi, out))
        throw tk_exception_ex("Cannot convert to UNICODE string: ", 0);
    return out;
}

std::wstring tk_utf8_to_wstring(const std::string& utf8)
{
    std::wstring out;
    if (!win_to_wide(CP_UTF8, utf8, out))
        throw tk_exception_ex("Cannot convert to UNICODE string: ", 0);
    return out;
}

std::string tk_to_string(const std::wstring& text, int code_page)
{
    std::string out;
    if (!win_from_wide(ansi_page(code_page), text, out))
        throw tk_exception_ex("Cannot convert to ANSI string: ", 0);
    return out;
}

std::string tk_to_utf8(const std::wstring& text)
{
    std::string out;
    if (!win_from_wide(CP_UTF8, text, out))
        throw tk_exception_ex("Cannot convert to UTF8 string: ", 0);
    return out;
}

std::string tk_to_ansi_text(const std::wstring& text)
{
    return win_from_wide_replacing(CP_ACP, text);
}

std::wstring tk_ansi_text_to_wstring(const std::string& text)
{
    return win_to_wide_replacing(CP_ACP, text);
}

bool tk_ansi_to_unicode(const char* ansi, wchar_t** out)
{
    if (ansi == nullptr || out == nullptr)
        return false;
    std::wstring wide;
    if (!win_to_wide(CP_ACP, ansi, wide))
        return false;
    *out = new wchar_t[wide.size() + 1];
    std::wmemcpy(*out, wide.c_str(), wide.size() + 1);
    return true;
}

bool tk_unicode_to_ansi1(const wchar_t* text, char* buffer, std::size_t size)
{
    if (text == nullptr || buffer == nullptr || size == 0)
        return false;
    std::string narrow;
    if (!win_from_wide(CP_ACP, text, narrow) || narrow.size() + 1 > size) {
        buffer[0] = '\0';
        return false;
    }
    std::memcpy(buffer, narrow.c_str(), narrow.size() + 1);
    return true;
}

bool tk_unicode_to_ansi2(const wchar_t* text, char** out)
{
    if (text == nullptr || out == nullptr)
        return false;
    std::string narrow;
    if (!win_from_wide(CP_ACP, text, narrow))
        return false;
    *out = new char[narrow.size() + 1];
    std::memcpy(*out, narrow.c_str(), narrow.size() + 1);
    return true;
}

bool tk_unicode_to_ansi3(const wchar_t* text, std::string& out)
{
    if (text == nullptr || !win_from_wide(CP_ACP, text, out)) {
        tk_log_write(1, "tk_unicode_to_ansi3 - return false");
        return false;
    }
    return true;
}

void tk_bytes_to_hex(std::size_t count, const unsigned char* bytes, char* buffer)
{
    TK_MAIL_CHECK(buffer != nullptr);
    hex_into(count, bytes, buffer);
}

void tk_bytes_to_hex(std::size_t count, const unsigned char* bytes, wchar_t* buffer)
{
    TK_MAIL_CHECK(buffer != nullptr);
    hex_into(count, bytes, buffer);
}

std::string tk_bytes_to_hex(std::size_t count, const unsigned char* bytes)
{
    std::string out(2 * count + 1, '\0');
    hex_into(count, bytes, out.data());
    out.pop_back();
    return out;
}

bool tk_ends_with(const std::wstring& text, const std::wstring& ending, bool case_sensitive)
{
    if (ending.empty())
        return true;
    if (text.size() < ending.size())
        return false;
    const wchar_t* tail = text.c_str() + (text.size() - ending.size());
    if (case_sensitive)
        return ending.compare(0, ending.size(), tail, ending.size()) == 0;
    return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, tail, static_cast<int>(ending.size()),
                          ending.c_str(), static_cast<int>(ending.size())) == CSTR_EQUAL;
}

bool tk_ends_with(const std::string& text, const std::string& ending, bool case_sensitive)
{
    if (ending.empty())
        return true;
    if (text.size() < ending.size())
        return false;
    if (case_sensitive)
        return text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
    // Case folding works on characters, so compare the wide forms.
    std::wstring t, e;
    if (!win_to_wide(CP_ACP, text, t) || !win_to_wide(CP_ACP, ending, e))
        return false;
    return tk_ends_with(t, e, false);
}

bool tk_iequal(const std::wstring& a, const std::wstring& b)
{
    // Texts of different lengths never fold to the same text (each character folds to one).
    if (a.size() != b.size())
        return false;
    return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.c_str(), static_cast<int>(a.size()),
                          b.c_str(), static_cast<int>(b.size())) == CSTR_EQUAL;
}

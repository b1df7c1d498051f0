#include "platform/win/winnls.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <mutex>

#include "platform/win/win_utf.h"
#include "platform/win/winerror.h"

namespace {

// ---- the ANSI code page ----------------------------------------------------

std::mutex g_ansi_mutex;
std::string g_ansi_codeset;          // iconv name; empty while it is UTF-8
std::atomic<bool> g_ansi_utf8{true};
std::once_flag g_ansi_once;

bool codeset_is_utf8(const std::string& name)
{
    std::string n;
    for (char ch : name)
        if (ch != '-' && ch != '_')
            n.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(ch))));
    // The C locale reports plain ASCII; UTF-8 is its superset and what users expect.
    return n.empty() || n == "UTF8" || n == "ANSIX3.41968" || n == "ASCII" || n == "USASCII";
}

void init_ansi_from_locale()
{
    std::string codeset;
    if (locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr))) {
        if (const char* name = nl_langinfo_l(CODESET, loc))
            codeset = name;
        freelocale(loc);
    }
    std::lock_guard lock(g_ansi_mutex);
    if (codeset_is_utf8(codeset)) {
        g_ansi_codeset.clear();
        g_ansi_utf8 = true;
    } else {
        g_ansi_codeset = codeset;
        g_ansi_utf8 = false;
    }
}

bool ansi_utf8()
{
    std::call_once(g_ansi_once, init_ansi_from_locale);
    return g_ansi_utf8;
}

std::string ansi_codeset()
{
    std::lock_guard lock(g_ansi_mutex);
    return g_ansi_codeset;
}

// How a conversion goes on past input it cannot take: `unit` bytes of it are passed over and
// `text` written in their place.
struct iconv_substitute {
    size_t unit;
    std::string_view text;
};

// Converts the whole of `data` from `from` to `to` into `out`. Without a substitute, false when
// any of it cannot be converted exactly; with one, false only when iconv has no such conversion.
// `out` is left as it was on failure.
bool iconv_all(const char* to, const char* from, const char* data, size_t bytes, std::string& out,
               const iconv_substitute* substitute = nullptr)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    std::string result;
    char buffer[256];
    char* in = const_cast<char*>(data);
    size_t in_left = bytes;
    bool ok = true;
    while (ok && in_left > 0) {
        char* o = buffer;
        size_t o_left = sizeof buffer;
        const size_t r = iconv(cd, &in, &in_left, &o, &o_left);
        result.append(buffer, sizeof buffer - o_left);
        if (r == static_cast<size_t>(-1) && errno == E2BIG)
            continue;
        if (r == static_cast<size_t>(-1) && substitute) {
            const size_t skip = std::min(substitute->unit, in_left);
            in += skip;
            in_left -= skip;
            result.append(substitute->text);
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            continue;
        }
        // Failed, or irreversible (substituted by iconv itself) characters.
        ok = substitute || r == 0;
    }
    if (ok) {
        char* o = buffer;
        size_t o_left = sizeof buffer;
        iconv(cd, nullptr, nullptr, &o, &o_left);
        result.append(buffer, sizeof buffer - o_left);
    }
    iconv_close(cd);
    if (!ok)
        return false;
    out = std::move(result);
    return true;
}

bool is_ansi(UINT cp)
{
    return cp == CP_ACP || cp == CP_THREAD_ACP || cp == CP_OEMCP;
}

// ---- the user's locale for comparisons -----------------------------------

locale_t user_locale()
{
    static const locale_t loc = [] {
        locale_t l = newlocale(LC_CTYPE_MASK | LC_COLLATE_MASK, "", static_cast<locale_t>(nullptr));
        if (l != nullptr && std::strcmp(nl_langinfo_l(CODESET, l), "UTF-8") != 0) {
            freelocale(l);
            l = nullptr;
        }
        if (l == nullptr)
            l = newlocale(LC_CTYPE_MASK | LC_COLLATE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        if (l == nullptr)
            l = newlocale(LC_CTYPE_MASK | LC_COLLATE_MASK, "C", static_cast<locale_t>(nullptr));
        return l;
    }();
    return loc;
}

} // namespace

bool win_ansi_is_utf8()
{
    return ansi_utf8();
}

bool win_set_ansi_codeset(const std::string& codeset)
{
    std::call_once(g_ansi_once, [] {});
    if (codeset.empty()) {
        init_ansi_from_locale();
        return true;
    }
    if (!codeset_is_utf8(codeset)) {
        iconv_t cd = iconv_open(codeset.c_str(), "WCHAR_T");
        if (cd == reinterpret_cast<iconv_t>(-1)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        iconv_close(cd);
    }
    std::lock_guard lock(g_ansi_mutex);
    g_ansi_utf8 = codeset_is_utf8(codeset);
    g_ansi_codeset = g_ansi_utf8 ? std::string() : codeset;
    return true;
}

bool win_to_wide(UINT code_page, std::string_view text, std::wstring& out)
{
    bool ok;
    if (code_page == CP_UTF8 || (is_ansi(code_page) && ansi_utf8())) {
        ok = win_wide_from_utf8_strict(text, out);
    } else if (is_ansi(code_page)) {
        std::string bytes;
        ok = iconv_all("WCHAR_T", ansi_codeset().c_str(), text.data(), text.size(), bytes);
        if (ok)
            out.assign(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!ok)
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return ok;
}

bool win_from_wide(UINT code_page, std::wstring_view text, std::string& out)
{
    bool ok;
    if (code_page == CP_UTF8 || (is_ansi(code_page) && ansi_utf8())) {
        ok = win_utf8_from_wide_strict(text, out);
    } else if (is_ansi(code_page)) {
        ok = std::all_of(text.begin(), text.end(), [](wchar_t c) { return win_is_scalar(static_cast<char32_t>(c)); })
             && iconv_all(ansi_codeset().c_str(), "WCHAR_T", reinterpret_cast<const char*>(text.data()),
                          text.size() * sizeof(wchar_t), out);
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!ok)
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return ok;
}

std::wstring win_to_wide_replacing(UINT code_page, std::string_view text)
{
    std::wstring out;
    if (win_to_wide(code_page, text, out))
        return out;
    const wchar_t replacement = static_cast<wchar_t>(win_replacement_char);
    const iconv_substitute substitute{
        1, std::string_view(reinterpret_cast<const char*>(&replacement), sizeof replacement)};
    std::string bytes;
    if (!is_ansi(code_page) || ansi_utf8() ||
        !iconv_all("WCHAR_T", ansi_codeset().c_str(), text.data(), text.size(), bytes, &substitute))
        return win_wide_from_utf8(text);
    out.assign(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    return out;
}

std::string win_from_wide_replacing(UINT code_page, std::wstring_view text)
{
    std::string out;
    if (win_from_wide(code_page, text, out))
        return out;
    if (!is_ansi(code_page) || ansi_utf8())
        return win_utf8_from_wide(text);
    std::wstring scalars(text);
    for (wchar_t& c : scalars)
        if (!win_is_scalar(static_cast<char32_t>(c)))
            c = L'?';
    const iconv_substitute substitute{sizeof(wchar_t), "?"};
    if (!iconv_all(ansi_codeset().c_str(), "WCHAR_T", reinterpret_cast<const char*>(scalars.data()),
                   scalars.size() * sizeof(wchar_t), out, &substitute))
        return win_utf8_from_wide(text);
    return out;
}

int MultiByteToWideChar(UINT code_page, DWORD, const char* text, int bytes, wchar_t* out, int out_chars)
{
    if (text == nullptr || bytes == 0 || bytes < -1 || out_chars < 0 || (out_chars > 0 && out == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t length = bytes == -1 ? std::strlen(text) + 1 : static_cast<size_t>(bytes);
    std::wstring wide;
    if (!win_to_wide(code_page, std::string_view(text, length), wide))
        return 0;
    if (out_chars == 0)
        return static_cast<int>(wide.size());
    if (wide.size() > static_cast<size_t>(out_chars)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(wide.begin(), wide.end(), out);
    return static_cast<int>(wide.size());
}

int WideCharToMultiByte(UINT code_page, DWORD, const wchar_t* text, int chars, char* out, int out_bytes,
                        const char*, BOOL* used_default)
{
    if (text == nullptr || chars == 0 || chars < -1 || out_bytes < 0 || (out_bytes > 0 && out == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (used_default != nullptr)
        *used_default = 0;
    const size_t length = chars == -1 ? std::wcslen(text) + 1 : static_cast<size_t>(chars);
    std::string narrow;
    if (!win_from_wide(code_page, std::wstring_view(text, length), narrow))
        return 0;
    if (out_bytes == 0)
        return static_cast<int>(narrow.size());
    if (narrow.size() > static_cast<size_t>(out_bytes)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(narrow.begin(), narrow.end(), out);
    return static_cast<int>(narrow.size());
}

wchar_t win_fold_case(wchar_t c)
{
    return static_cast<wchar_t>(towlower_l(static_cast<wint_t>(c), user_locale()));
}

std::wstring win_fold_case(std::wstring_view text)
{
    std::wstring folded(text);
    for (wchar_t& c : folded)
        c = win_fold_case(c);
    return folded;
}

int CompareStringW(LCID, DWORD flags, const wchar_t* a, int a_len, const wchar_t* b, int b_len)
{
    if (a == nullptr || b == nullptr || a_len < -1 || b_len < -1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t a_size = a_len == -1 ? std::wcslen(a) : static_cast<size_t>(a_len);
    const size_t b_size = b_len == -1 ? std::wcslen(b) : static_cast<size_t>(b_len);
    // Equal texts (the usual answer when names are matched) are told apart without copies:
    // folding maps each character to one character, so equal texts have equal lengths.
    if (a_size == b_size) {
        size_t i = 0;
        if (flags & NORM_IGNORECASE) {
            while (i < a_size && (a[i] == b[i] || win_fold_case(a[i]) == win_fold_case(b[i])))
                ++i;
        } else {
            while (i < a_size && a[i] == b[i])
                ++i;
        }
        if (i == a_size)
            return CSTR_EQUAL;
    }
    std::wstring x(a, a_size);
    std::wstring y(b, b_size);
    if (flags & NORM_IGNORECASE) {
        x = win_fold_case(x);
        y = win_fold_case(y);
    }
    if (x == y)
        return CSTR_EQUAL;
    // Collation first (the user's order); texts it cannot tell apart fall back to code points.
    int r = 0;
    if (x.find(L'\0') == std::wstring::npos && y.find(L'\0') == std::wstring::npos)
        r = wcscoll_l(x.c_str(), y.c_str(), user_locale());
    if (r == 0)
        r = x.compare(y);
    return r < 0 ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

int CompareStringA(LCID locale, DWORD flags, const char* a, int a_len, const char* b, int b_len)
{
    if (a == nullptr || b == nullptr || a_len < -1 || b_len < -1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::wstring x, y;
    if (!win_to_wide(CP_ACP, std::string_view(a, a_len == -1 ? std::strlen(a) : static_cast<size_t>(a_len)), x)
        || !win_to_wide(CP_ACP, std::string_view(b, b_len == -1 ? std::strlen(b) : static_cast<size_t>(b_len)), y))
        return 0;
    return CompareStringW(locale, flags, x.data(), static_cast<int>(x.size()), y.data(), static_cast<int>(y.size()));
}

int lstrcmpiW(const wchar_t* a, const wchar_t* b)
{
    return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a ? a : L"", -1, b ? b : L"", -1) - CSTR_EQUAL;
}

int lstrcmpiA(const char* a, const char* b)
{
    const int r = CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a ? a : "", -1, b ? b : "", -1);
    if (r == 0)     // not convertible: plain byte order
        return std::strcmp(a ? a : "", b ? b : "") < 0 ? -1 : (std::strcmp(a ? a : "", b ? b : "") > 0);
    return r - CSTR_EQUAL;
}

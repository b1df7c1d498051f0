// Code-page conversions (wide = UTF-32 wchar_t) and locale-aware text comparison.
//
// The "ANSI code page" is the encoding of the user's locale (LC_CTYPE from the
// environment); the C/POSIX locale counts as UTF-8. Unlike Windows, the
// conversions never replace bad characters: malformed input, a character the
// target page cannot hold, or a value that is no Unicode scalar fails with
// ERROR_NO_UNICODE_TRANSLATION, so no text is silently damaged.
#pragma once
#include <string>
#include <string_view>
#include "platform/win/wintypes.h"

constexpr UINT CP_ACP = 0;
constexpr UINT CP_OEMCP = 1;
constexpr UINT CP_THREAD_ACP = 3;
constexpr UINT CP_UTF8 = 65001;

constexpr DWORD MB_PRECOMPOSED = 0x00000001;
constexpr DWORD MB_ERR_INVALID_CHARS = 0x00000008;
constexpr DWORD WC_ERR_INVALID_CHARS = 0x00000080;

// Counts of -1 mean a NUL-terminated text whose NUL is converted too. With an
// output size of 0 the needed size is returned; otherwise the number of units
// written, or 0 on failure (too small: ERROR_INSUFFICIENT_BUFFER).
int MultiByteToWideChar(UINT code_page, DWORD flags, const char* text, int bytes,
                        wchar_t* out, int out_chars);
int WideCharToMultiByte(UINT code_page, DWORD flags, const wchar_t* text, int chars,
                        char* out, int out_bytes, const char* default_char, BOOL* used_default);

// The same conversions into strings; false (last error set, out untouched) on failure.
bool win_to_wide(UINT code_page, std::string_view text, std::wstring& out);
bool win_from_wide(UINT code_page, std::wstring_view text, std::string& out);
// The same for text that is shown or logged, never failing: an invalid byte reads as U+FFFD; a
// character the page cannot hold is written as U+FFFD in UTF-8 and as '?' in another page.
std::wstring win_to_wide_replacing(UINT code_page, std::string_view text);
std::string win_from_wide_replacing(UINT code_page, std::wstring_view text);

// True when the ANSI code page is UTF-8.
bool win_ansi_is_utf8();
// Replaces the ANSI code page by the named iconv encoding ("" returns to the
// locale's). Meant for tests and for callers that know the source encoding.
bool win_set_ansi_codeset(const std::string& codeset);

constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
constexpr LCID LOCALE_INVARIANT = 0x007F;
constexpr DWORD NORM_IGNORECASE = 0x00000001;
constexpr int CSTR_LESS_THAN = 1;
constexpr int CSTR_EQUAL = 2;
constexpr int CSTR_GREATER_THAN = 3;

// Compares in the user's locale; NORM_IGNORECASE folds case with the locale's
// rules (non-ASCII letters included). Lengths of -1 mean NUL-terminated.
// Returns a CSTR_ value, 0 on bad arguments.
int CompareStringW(LCID locale, DWORD flags, const wchar_t* a, int a_len, const wchar_t* b, int b_len);
int CompareStringA(LCID locale, DWORD flags, const char* a, int a_len, const char* b, int b_len);
// <0, 0, >0 like strcmp, ignoring case in the user's locale.
int lstrcmpiW(const wchar_t* a, const wchar_t* b);
int lstrcmpiA(const char* a, const char* b);

// Case folding of one character and of a text in the user's locale.
wchar_t win_fold_case(wchar_t c);
std::wstring win_fold_case(std::wstring_view text);

// Text helpers: trimming, replacing, conversions between wide, ANSI and UTF-8, hexadecimal bytes.
#pragma once
#include <cstddef>
#include <string>

#include "TK/tk_fname.h"

// Trimming removes blanks (the space character only; tabs stay).
std::string tk_rtrim(const std::string& text);
std::wstring tk_rtrim(const std::wstring& text);
std::string tk_trim(const std::string& text);
std::wstring tk_trim(const std::wstring& text);

// The text between open and close, each close inside written twice (quoted names, braced values).
std::wstring tk_enclose(const std::wstring& text, wchar_t open, wchar_t close);

// Operations on wide strings.
struct tk_wstring {
    // Replaces every occurrence of from by to, left to right, without
    // rescanning replaced text; an empty from changes nothing. Returns text.
    static std::wstring& replace_all(std::wstring& text, const std::wstring& from, const std::wstring& to);
};

// Conversions of whole texts (embedded NULs included). They fail on malformed
// input or characters the target cannot hold, throwing tk_exception_ex level 0:
// "Cannot convert to UNICODE string: ", "Cannot convert to ANSI string: " or
// "Cannot convert to UTF8 string: " followed by the system's reason.
std::wstring tk_to_wstring(const std::string& ansi);
std::wstring tk_utf8_to_wstring(const std::string& utf8);
// code_page -1 means the ANSI code page; otherwise a CP_ value (CP_UTF8, ...).
std::string tk_to_string(const std::wstring& text, int code_page = -1);
std::string tk_to_utf8(const std::wstring& text);

// Conversions of text that is shown or logged (messages, names, paths): never failing, they
// keep every character the ANSI code page holds and put a replacement in place of the others
// (U+FFFD for an invalid byte or character; '?' for one a page other than UTF-8 cannot hold).
std::string tk_to_ansi_text(const std::wstring& text);
std::wstring tk_ansi_text_to_wstring(const std::string& text);

// Conversions of NUL-terminated texts that answer false instead of throwing
// (a null text is false too).
// *out receives a new[]-allocated wide text; the caller delete[]s it.
bool tk_ansi_to_unicode(const char* ansi, wchar_t** out);
// Into the caller's buffer of size bytes; false (buffer emptied) when the
// text does not fit.
bool tk_unicode_to_ansi1(const wchar_t* text, char* buffer, std::size_t size);
// *out receives a new[]-allocated narrow text; the caller delete[]s it.
bool tk_unicode_to_ansi2(const wchar_t* text, char** out);
bool tk_unicode_to_ansi3(const wchar_t* text, std::string& out);

// Two upper-case hexadecimal digits per byte and a NUL into buffer, which must
// hold 2 * count + 1 characters; a null buffer is an internal error.
void tk_bytes_to_hex(std::size_t count, const unsigned char* bytes, char* buffer);
void tk_bytes_to_hex(std::size_t count, const unsigned char* bytes, wchar_t* buffer);
// The same as a string.
std::string tk_bytes_to_hex(std::size_t count, const unsigned char* bytes);

// Whether text ends with ending (always true for an empty ending); without
// case sensitivity the comparison folds case in the user's locale.
bool tk_ends_with(const std::wstring& text, const std::wstring& ending, bool case_sensitive);
bool tk_ends_with(const std::string& text, const std::string& ending, bool case_sensitive);

// Equality ignoring case in the user's locale (the rule for database names).
bool tk_iequal(const std::wstring& a, const std::wstring& b);

// The program's one text codec: UTF-8 and UTF-16 to and from wide text (UTF-32 wchar_t).
//
// One rule for invalid input. Invalid are: a wide character that is no Unicode
// scalar (a surrogate, or above U+10FFFF); a UTF-8 byte that does not start a
// complete, shortest-form sequence of a scalar; a UTF-16 surrogate without its
// partner. The plain forms put U+FFFD in place of each invalid character, byte
// or unit and go on; the _strict forms refuse the whole text (false, out untouched).
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

constexpr char32_t win_replacement_char = 0xFFFD;

// True for the characters Unicode encodes (no surrogate, at most U+10FFFF).
constexpr bool win_is_scalar(char32_t c)
{
    return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

// ---- UTF-8 ----------------------------------------------------------------

// Longest UTF-8 form of one wide character, in bytes.
constexpr std::size_t win_utf8_max = 4;

// Writes the UTF-8 form of one character at out (at most win_utf8_max bytes); returns the end.
char* win_utf8_put(char32_t c, char* out);
// Writes the UTF-8 form of n wide characters at out (room for n * win_utf8_max); returns the end.
char* win_utf8_write(const wchar_t* text, std::size_t n, char* out);
// Appends the UTF-8 form of the text.
void win_utf8_append(std::string& out, std::wstring_view text);
std::string win_utf8_from_wide(std::wstring_view text);
bool win_utf8_from_wide_strict(std::wstring_view text, std::string& out);

// Reads the character starting at text[i] and moves i past it; a malformed
// sequence reads as U+FFFD and moves i on by one byte (strict: valid = false).
char32_t win_utf8_next(std::string_view text, std::size_t& i, bool& valid);
std::wstring win_wide_from_utf8(std::string_view text);
bool win_wide_from_utf8_strict(std::string_view text, std::wstring& out);

// ---- UTF-16 ---------------------------------------------------------------

// Writes the UTF-16 units of one character at out (one, or two for a surrogate pair); returns their count.
int win_utf16_put(char32_t c, char16_t out[2]);
// Appends the UTF-16 form of the text.
void win_utf16_append(std::u16string& out, std::wstring_view text);
std::u16string win_utf16_from_wide(std::wstring_view text);

// Reads the character starting at text[i] (a pair or one unit) and moves i past it; a
// surrogate without its partner reads as U+FFFD (valid = false) and moves i on by one unit.
char32_t win_utf16_next(std::u16string_view text, std::size_t& i, bool& valid);
std::wstring win_wide_from_utf16(std::u16string_view text);
bool win_wide_from_utf16_strict(std::u16string_view text, std::wstring& out);
// The UTF-8 form of UTF-16 text, in place of out's content (its room is reused).
void win_utf8_from_utf16(std::u16string_view text, std::string& out);

// ---- UTF-16 units, verbatim -----------------------------------------------
// For stored text that must come back as it was written (the Access file reader and writer): a
// surrogate without its partner passes as its own value both ways, and meets the rule above only
// when the text leaves through the forms above.

constexpr char32_t win_utf16_lead_first = 0xD800;   // first unit of a pair: [lead_first, tail_first)
constexpr char32_t win_utf16_tail_first = 0xDC00;   // second unit of a pair: [tail_first, tail_end)
constexpr char32_t win_utf16_tail_end = 0xE000;
constexpr char32_t win_utf16_pair_base = 0x10000;   // the first character written as a pair
constexpr unsigned win_utf16_pair_bits = 10;        // bits each unit of a pair carries

constexpr bool win_utf16_is_lead(char32_t u) { return u >= win_utf16_lead_first && u < win_utf16_tail_first; }
constexpr bool win_utf16_is_tail(char32_t u) { return u >= win_utf16_tail_first && u < win_utf16_tail_end; }

// The character a lead and a tail unit stand for together.
constexpr char32_t win_utf16_join(char32_t lead, char32_t tail)
{
    return win_utf16_pair_base + ((lead - win_utf16_lead_first) << win_utf16_pair_bits) + (tail - win_utf16_tail_first);
}

// Writes the units of one wide character at out and returns their count: a pair above U+FFFF,
// else one unit (a lone surrogate as itself); above U+10FFFF, U+FFFD.
constexpr int win_utf16_put_verbatim(char32_t c, char16_t out[2])
{
    if (c > 0x10FFFF)
        c = win_replacement_char;
    if (c < win_utf16_pair_base) {
        out[0] = static_cast<char16_t>(c);
        return 1;
    }
    c -= win_utf16_pair_base;
    out[0] = static_cast<char16_t>(win_utf16_lead_first + (c >> win_utf16_pair_bits));
    out[1] = static_cast<char16_t>(win_utf16_tail_first + (c & ((1u << win_utf16_pair_bits) - 1)));
    return 2;
}

#include "platform/win/win_utf.h"

#include <algorithm>

namespace {

// The bits a UTF-8 continuation byte carries, and its marker.
constexpr unsigned utf8_tail_bits = 6;
constexpr unsigned char utf8_tail_mark = 0x80;
constexpr unsigned char utf8_tail_mask = 0x3F;

char tail(char32_t c, unsigned shift)
{
    return static_cast<char>(utf8_tail_mark | ((c >> shift) & utf8_tail_mask));
}

} // namespace

char* win_utf8_put(char32_t c, char* out)
{
    if (!win_is_scalar(c))
        c = win_replacement_char;
    if (c < 0x80) {
        *out++ = static_cast<char>(c);
    } else if (c < 0x800) {
        *out++ = static_cast<char>(0xC0 | (c >> 6));
        *out++ = tail(c, 0);
    } else if (c < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (c >> 12));
        *out++ = tail(c, 6);
        *out++ = tail(c, 0);
    } else {
        *out++ = static_cast<char>(0xF0 | (c >> 18));
        *out++ = tail(c, 12);
        *out++ = tail(c, 6);
        *out++ = tail(c, 0);
    }
    return out;
}

char* win_utf8_write(const wchar_t* text, std::size_t n, char* out)
{
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<char32_t>(text[i]);
        if (c < 0x80)
            *out++ = static_cast<char>(c);
        else
            out = win_utf8_put(c, out);
    }
    return out;
}

void win_utf8_append(std::string& out, std::wstring_view text)
{
    // Through a small buffer, so that a long text does not make room for four bytes a character.
    constexpr std::size_t piece = 1024;
    char buffer[piece * win_utf8_max];
    for (std::size_t pos = 0; pos < text.size(); pos += piece) {
        const std::size_t n = std::min(piece, text.size() - pos);
        out.append(buffer, static_cast<std::size_t>(win_utf8_write(text.data() + pos, n, buffer) - buffer));
    }
}

std::string win_utf8_from_wide(std::wstring_view text)
{
    std::string out;
    win_utf8_append(out, text);
    return out;
}

bool win_utf8_from_wide_strict(std::wstring_view text, std::string& out)
{
    for (wchar_t w : text)
        if (!win_is_scalar(static_cast<char32_t>(w)))
            return false;
    out = win_utf8_from_wide(text);
    return true;
}

char32_t win_utf8_next(std::string_view text, std::size_t& i, bool& valid)
{
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    std::size_t extra;
    char32_t c, least;
    if ((lead & 0xE0) == 0xC0)      { extra = 1; c = lead & 0x1F; least = 0x80; }
    else if ((lead & 0xF0) == 0xE0) { extra = 2; c = lead & 0x0F; least = 0x800; }
    else if ((lead & 0xF8) == 0xF0) { extra = 3; c = lead & 0x07; least = 0x10000; }
    else                            { extra = 0; c = 0; least = 1; }
    bool ok = extra > 0 && text.size() - i > extra;
    for (std::size_t k = 1; ok && k <= extra; ++k) {
        const auto t = static_cast<unsigned char>(text[i + k]);
        ok = (t & 0xC0) == utf8_tail_mark;
        c = (c << utf8_tail_bits) | (t & utf8_tail_mask);
    }
    // Overlong forms and encoded surrogates are malformed too.
    if (!ok || c < least || !win_is_scalar(c)) {
        valid = false;
        ++i;
        return win_replacement_char;
    }
    i += extra + 1;
    return c;
}

namespace {

bool utf8_to_wide(std::string_view text, std::wstring& out)
{
    bool valid = true;
    out.reserve(out.size() + text.size());
    for (std::size_t i = 0; i < text.size();)
        out.push_back(static_cast<wchar_t>(win_utf8_next(text, i, valid)));
    return valid;
}

bool utf16_to_wide(std::u16string_view text, std::wstring& out)
{
    bool valid = true;
    out.reserve(out.size() + text.size());
    for (std::size_t i = 0; i < text.size();)
        out.push_back(static_cast<wchar_t>(win_utf16_next(text, i, valid)));
    return valid;
}

} // namespace

std::wstring win_wide_from_utf8(std::string_view text)
{
    std::wstring out;
    utf8_to_wide(text, out);
    return out;
}

bool win_wide_from_utf8_strict(std::string_view text, std::wstring& out)
{
    std::wstring w;
    if (!utf8_to_wide(text, w))
        return false;
    out = std::move(w);
    return true;
}

int win_utf16_put(char32_t c, char16_t out[2])
{
    return win_utf16_put_verbatim(win_is_scalar(c) ? c : win_replacement_char, out);
}

void win_utf16_append(std::u16string& out, std::wstring_view text)
{
    out.reserve(out.size() + text.size());
    for (wchar_t w : text) {
        char16_t units[2];
        out.append(units, static_cast<std::size_t>(win_utf16_put(static_cast<char32_t>(w), units)));
    }
}

std::u16string win_utf16_from_wide(std::wstring_view text)
{
    std::u16string out;
    win_utf16_append(out, text);
    return out;
}

char32_t win_utf16_next(std::u16string_view text, std::size_t& i, bool& valid)
{
    const char32_t c = text[i++];
    if (c < win_utf16_lead_first || c >= win_utf16_tail_end)
        return c;
    if (win_utf16_is_lead(c) && i < text.size() && win_utf16_is_tail(text[i]))
        return win_utf16_join(c, text[i++]);
    valid = false;
    return win_replacement_char;
}

void win_utf8_from_utf16(std::u16string_view text, std::string& out)
{
    // A unit gives at most three bytes, a pair of units four.
    out.resize(text.size() * 3);
    char* end = out.data();
    bool valid = true;
    for (std::size_t i = 0; i < text.size();) {
        const char16_t u = text[i];
        if (u < 0x80) {
            *end++ = static_cast<char>(u);
            ++i;
        } else {
            end = win_utf8_put(win_utf16_next(text, i, valid), end);
        }
    }
    out.resize(static_cast<std::size_t>(end - out.data()));
}

std::wstring win_wide_from_utf16(std::u16string_view text)
{
    std::wstring out;
    utf16_to_wide(text, out);
    return out;
}

bool win_wide_from_utf16_strict(std::u16string_view text, std::wstring& out)
{
    std::wstring w;
    if (!utf16_to_wide(text, w))
        return false;
    out = std::move(w);
    return true;
}

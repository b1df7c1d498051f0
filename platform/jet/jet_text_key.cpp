#include "platform/jet/jet_text_key.h"

#include <string>

#include "platform/win/win_utf.h"

namespace jet {

namespace {

// Bytes that close the parts of a text key.
constexpr std::uint8_t end_text = 0x01;        // after the inline codes (and between later sections)
constexpr std::uint8_t end_extra_text = 0x00;  // after the whole text value
constexpr std::uint8_t extra_placeholder = 0x02;  // a character without an extra code, before one with
constexpr std::uint8_t unprintable_midfix = 0x06;
constexpr std::uint8_t compat_start = 0x80;
constexpr std::uint8_t compat_suffix[] = {0xFF, 0x02, 0x80, 0xFF, 0x80};
constexpr std::uint8_t compat_unprintable_suffix = 0xFF;

// The UTF-16 units that count: at most 255, trailing spaces dropped.
std::u16string key_units(std::wstring_view text)
{
    std::u16string u;
    u.reserve(text.size());
    for (wchar_t w : text) {
        char16_t units[2];
        u.append(units, static_cast<std::size_t>(win_utf16_put_verbatim(static_cast<char32_t>(w), units)));
        if (u.size() >= max_key_text_units) break;
    }
    if (u.size() > max_key_text_units) u.resize(max_key_text_units);
    while (!u.empty() && u.back() == u' ') u.pop_back();
    return u;
}

bool has_inline(code_kind k)
{
    return k == code_kind::plain || k == code_kind::accented || k == code_kind::compat ||
           k == code_kind::compat_1 || k == code_kind::significant;
}

// The sections written after the inline codes of a 2000+ order key.
struct text_tail {
    std::vector<std::uint8_t> extra;   // one code per character up to the last with one (placeholders between)
    std::size_t extra_chars = 0;       // characters the extra section accounts for
    std::size_t modifier_prefix = 0;   // a modifier that came before any extra code
    bool extra_started = false;
    std::vector<std::uint8_t> unprintable;
    std::vector<std::uint8_t> compat;  // one flag (2 or 3) per compatibility character
};

void add_extra(text_tail& t, std::size_t char_pos, const char_code& cc)
{
    t.extra_started = true;
    if (t.extra_chars < char_pos) {
        t.extra.insert(t.extra.end(), char_pos - t.extra_chars, extra_placeholder);
        t.extra_chars = char_pos;
    }
    if (cc.kind != code_kind::modifier) {
        t.extra.insert(t.extra.end(), cc.extra.begin(), cc.extra.end());
        ++t.extra_chars;
    } else if (!t.extra.empty()) {
        t.extra.back() = static_cast<std::uint8_t>(t.extra.back() + cc.code[0]);
    } else {
        t.extra.push_back(cc.code[0]);
        t.modifier_prefix = 1;
    }
}

// An unprintable character is recorded by its position counted in extra-code bytes.
void add_unprintable(text_tail& t, std::size_t char_pos, const char_code& cc)
{
    std::size_t pos = char_pos;
    if (t.extra_started) pos = t.extra.size() + (char_pos - t.extra_chars) - t.modifier_prefix;
    std::uint32_t offset = (7u + 4u * static_cast<std::uint32_t>(pos)) | 0x8000u;
    t.unprintable.push_back(static_cast<std::uint8_t>((offset >> 8) & 0xFF));
    t.unprintable.push_back(static_cast<std::uint8_t>(offset & 0xFF));
    t.unprintable.push_back(unprintable_midfix);
    t.unprintable.insert(t.unprintable.end(), cc.code, cc.code + cc.code_len);
}

// Compatibility flags packed three to a byte (two bits each under a 0x80 prefix); trailing 3s dropped.
void write_compat(std::vector<std::uint8_t> flags, std::vector<std::uint8_t>& out)
{
    while (!flags.empty() && flags.back() == 0x03) flags.pop_back();
    std::uint8_t cur = compat_start;
    int n = 0;
    for (std::uint8_t f : flags) {
        cur = static_cast<std::uint8_t>(cur | (f << ((2 - n) * 2)));
        if (++n == 3) {
            out.push_back(cur);
            cur = compat_start;
            n = 0;
        }
    }
    if (n > 0) out.push_back(cur);
    out.insert(out.end(), std::begin(compat_suffix), std::end(compat_suffix));
}

void append_general(const std::u16string& units, text_order order, std::vector<std::uint8_t>& out)
{
    text_tail t;
    std::size_t char_pos = 0;
    for (char16_t u : units) {
        char_code cc = code_of(order, u);
        std::size_t cur = char_pos;
        if (has_inline(cc.kind)) {
            out.insert(out.end(), cc.code, cc.code + cc.code_len);
            ++char_pos;
        }
        if (cc.kind == code_kind::plain || cc.kind == code_kind::ignored) continue;
        if (!cc.extra.empty() || cc.kind == code_kind::modifier) add_extra(t, cur, cc);
        if (cc.kind == code_kind::unprintable) add_unprintable(t, cur, cc);
        if (cc.kind == code_kind::compat) t.compat.push_back(0x03);
        if (cc.kind == code_kind::compat_1) t.compat.push_back(0x02);
    }
    out.push_back(end_text);
    // Trailing placeholders (and zero codes) carry nothing.
    while (!t.extra.empty() && t.extra.back() <= extra_placeholder) t.extra.pop_back();
    bool unprintable = !t.unprintable.empty(), compat = !t.compat.empty();
    if (t.extra.empty() && !unprintable && !compat) return;
    out.insert(out.end(), t.extra.begin(), t.extra.end());
    if (!unprintable && !compat) return;
    out.push_back(end_text);
    out.push_back(end_text);
    if (compat) {
        write_compat(t.compat, out);
        if (unprintable) out.push_back(compat_unprintable_suffix);
    }
    if (unprintable) {
        out.push_back(end_text);
        out.insert(out.end(), t.unprintable.begin(), t.unprintable.end());
    }
}

// The 97 order: inline codes, then the extra codes as nibbles between two zero nibbles (or one zero byte).
void append_general_97(const std::u16string& units, std::vector<std::uint8_t>& out)
{
    std::vector<std::uint8_t> nibbles;
    std::size_t significant = 0;
    for (char16_t u : units) {
        char_code cc = code_of(text_order::general_97, u);
        if (has_inline(cc.kind)) out.insert(out.end(), cc.code, cc.code + cc.code_len);
        if (cc.kind == code_kind::plain || cc.kind == code_kind::ignored) continue;
        if (cc.kind == code_kind::significant) {
            ++significant;
            continue;
        }
        if (cc.extra.empty()) continue;
        if (nibbles.empty()) nibbles.push_back(0);
        nibbles.insert(nibbles.end(), significant, extra_placeholder);
        significant = 0;
        nibbles.push_back(cc.extra[0] & 0x0F);
    }
    if (nibbles.empty()) {
        out.push_back(end_extra_text);
        return;
    }
    nibbles.push_back(0);
    for (std::size_t i = 0; i < nibbles.size(); i += 2) {
        std::uint8_t lo = i + 1 < nibbles.size() ? nibbles[i + 1] : 0;
        out.push_back(static_cast<std::uint8_t>((nibbles[i] << 4) | lo));
    }
}

} // namespace

void append_text_key(std::wstring_view text, text_order order, bool ascending, std::vector<std::uint8_t>& out)
{
    std::size_t start = out.size();
    std::u16string units = key_units(text);
    if (order == text_order::general_97) {
        append_general_97(units, out);
        if (!ascending)
            for (std::size_t i = start; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(~out[i]);
        return;
    }
    append_general(units, order, out);
    // Descending: a closing zero is written, everything inverted, and a plain closing zero added.
    if (!ascending) {
        out.push_back(end_extra_text);
        for (std::size_t i = start; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(~out[i]);
    }
    out.push_back(end_extra_text);
}

} // namespace jet

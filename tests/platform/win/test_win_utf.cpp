// The text codec: exact encodings at every length boundary and the one rule for invalid input.
#include <gtest/gtest.h>

#include <string>

#include "platform/win/win_utf.h"

namespace {

struct sample {
    char32_t c;
    std::string utf8;
    std::u16string utf16;
};

// The first and last character of each UTF-8 length, and both sides of the UTF-16 pair range.
const sample samples[] = {
    {0x0, std::string(1, '\0'), std::u16string(1, u'\0')},
    {0x7F, "\x7F", u"\x7F"},
    {0x80, "\xC2\x80", u"\x80"},
    {0x7FF, "\xDF\xBF", u"\x7FF"},
    {0x800, "\xE0\xA0\x80", u"\x800"},
    {0xD7FF, "\xED\x9F\xBF", u"\xD7FF"},
    {0xE000, "\xEE\x80\x80", u"\xE000"},
    {0xFFFF, "\xEF\xBF\xBF", u"\xFFFF"},
    {0x10000, "\xF0\x90\x80\x80", std::u16string{char16_t(0xD800), char16_t(0xDC00)}},
    {0x10FFFF, "\xF4\x8F\xBF\xBF", std::u16string{char16_t(0xDBFF), char16_t(0xDFFF)}},
};

TEST(WinUtf, EveryLengthBoundaryEncodesExactlyAndComesBack)
{
    for (const sample& s : samples) {
        const std::wstring w(1, static_cast<wchar_t>(s.c));
        SCOPED_TRACE(static_cast<unsigned>(s.c));
        EXPECT_EQ(win_utf8_from_wide(w), s.utf8);
        EXPECT_EQ(win_utf16_from_wide(w), s.utf16);
        EXPECT_EQ(win_wide_from_utf8(s.utf8), w);
        EXPECT_EQ(win_wide_from_utf16(s.utf16), w);
        std::string direct = "old content";
        win_utf8_from_utf16(s.utf16, direct);
        EXPECT_EQ(direct, s.utf8);
        std::wstring strict;
        EXPECT_TRUE(win_wide_from_utf8_strict(s.utf8, strict));
        EXPECT_EQ(strict, w);
        EXPECT_TRUE(win_wide_from_utf16_strict(s.utf16, strict));
        EXPECT_EQ(strict, w);
    }
    // Whole texts keep their order across the buffer-writing and appending forms.
    std::string all;
    std::wstring wide;
    for (const sample& s : samples) {
        all += s.utf8;
        wide += static_cast<wchar_t>(s.c);
    }
    std::string buffer(wide.size() * win_utf8_max, '?');
    buffer.resize(static_cast<std::size_t>(win_utf8_write(wide.data(), wide.size(), buffer.data()) - buffer.data()));
    EXPECT_EQ(buffer, all);
    std::string appended = "x";
    win_utf8_append(appended, wide);
    EXPECT_EQ(appended, "x" + all);
}

TEST(WinUtf, WideCharactersThatAreNoScalarBecomeTheReplacementOrAreRefused)
{
    for (wchar_t bad : {static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0xDFFF), static_cast<wchar_t>(0x110000)}) {
        const std::wstring w = std::wstring(L"a") + bad + L"b";
        EXPECT_EQ(win_utf8_from_wide(w), "a\xEF\xBF\xBD" "b");
        EXPECT_EQ(win_utf16_from_wide(w), u"a\xFFFD" u"b");
        std::string out = "kept";
        EXPECT_FALSE(win_utf8_from_wide_strict(w, out));
        EXPECT_EQ(out, "kept");
    }
}

TEST(WinUtf, EachMalformedUtf8ByteBecomesOneReplacementAndReadingGoesOn)
{
    struct bad {
        std::string bytes;
        std::wstring wide;
    };
    const bad cases[] = {
        {"\x80" "a", L"\xFFFD" L"a"},                          // stray continuation byte
        {"\xC0\x80" "a", L"\xFFFD\xFFFD" L"a"},                // overlong NUL
        {"\xE0\x80\xAF", L"\xFFFD\xFFFD\xFFFD"},               // overlong slash
        {"\xED\xA0\x80", L"\xFFFD\xFFFD\xFFFD"},               // an encoded surrogate
        {"\xF4\x90\x80\x80", L"\xFFFD\xFFFD\xFFFD\xFFFD"},     // above U+10FFFF
        {"\xE2\x82", L"\xFFFD\xFFFD"},                         // cut short at the end
        {"\xE2\x82" "a", L"\xFFFD\xFFFD" L"a"},                // cut short by a plain byte
        {"\xFF" "\xC3\xA9", L"\xFFFD\xE9"},                    // no lead byte at all
    };
    for (const bad& b : cases) {
        EXPECT_EQ(win_wide_from_utf8(b.bytes), b.wide);
        std::wstring out = L"kept";
        EXPECT_FALSE(win_wide_from_utf8_strict(b.bytes, out));
        EXPECT_EQ(out, L"kept");
    }
}

TEST(WinUtf, Utf16SurrogatesWithoutTheirPartnerBecomeReplacements)
{
    const char16_t high = 0xD83D, low = 0xDE00;
    EXPECT_EQ(win_wide_from_utf16(std::u16string{high, low}), std::wstring(1, static_cast<wchar_t>(0x1F600)));
    EXPECT_EQ(win_wide_from_utf16(std::u16string{high}), L"\xFFFD");
    EXPECT_EQ(win_wide_from_utf16(std::u16string{low, high}), L"\xFFFD\xFFFD");
    EXPECT_EQ(win_wide_from_utf16(std::u16string{high, u'a', low}), L"\xFFFD" L"a\xFFFD");
    std::string utf8;
    win_utf8_from_utf16(std::u16string{high, u'a', low, high, low}, utf8);
    EXPECT_EQ(utf8, "\xEF\xBF\xBD" "a\xEF\xBF\xBD\xF0\x9F\x98\x80");
    std::wstring out = L"kept";
    EXPECT_FALSE(win_wide_from_utf16_strict(std::u16string{u'a', high}, out));
    EXPECT_EQ(out, L"kept");
}

TEST(WinUtf, VerbatimUtf16UnitsKeepALoneSurrogateBothWays)
{
    for (const sample& s : samples) {
        char16_t units[2];
        const int n = win_utf16_put_verbatim(s.c, units);
        EXPECT_EQ(std::u16string(units, static_cast<std::size_t>(n)), s.utf16) << static_cast<unsigned>(s.c);
        if (n == 2) {
            EXPECT_TRUE(win_utf16_is_lead(units[0]) && win_utf16_is_tail(units[1]));
            EXPECT_EQ(win_utf16_join(units[0], units[1]), s.c);
        }
    }
    char16_t units[2];
    for (char32_t lone : {char32_t(0xD800), char32_t(0xDBFF), char32_t(0xDC00), char32_t(0xDFFF)}) {
        ASSERT_EQ(win_utf16_put_verbatim(lone, units), 1);
        EXPECT_EQ(units[0], lone);
    }
    ASSERT_EQ(win_utf16_put_verbatim(0x110000, units), 1);
    EXPECT_EQ(units[0], win_replacement_char);
    EXPECT_FALSE(win_utf16_is_lead(0xDC00) || win_utf16_is_tail(0xDBFF) || win_utf16_is_tail(0xE000));
}

} // namespace

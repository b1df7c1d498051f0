#include <gtest/gtest.h>

#include <iconv.h>
#include <string>

#include "platform/win/winerror.h"
#include "platform/win/winnls.h"

TEST(WinNls, Utf8RoundTripsEveryPlane)
{
    const std::wstring text = L"A\u00e9\u0416\u65e5\U0001F600\U0010FFFF";
    std::string utf8;
    ASSERT_TRUE(win_from_wide(CP_UTF8, text, utf8));
    EXPECT_EQ("A\xc3\xa9\xd0\x96\xe6\x97\xa5\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf", utf8);
    std::wstring back;
    ASSERT_TRUE(win_to_wide(CP_UTF8, utf8, back));
    EXPECT_EQ(text, back);

    // Embedded NULs are text like any other.
    const std::string with_nul("a\0b", 3);
    ASSERT_TRUE(win_to_wide(CP_UTF8, with_nul, back));
    EXPECT_EQ(std::wstring(L"a\0b", 3), back);
}

TEST(WinNls, MalformedUtf8Fails)
{
    const char* bad[] = {
        "\xff",                 // never a lead byte
        "\xc3",                 // cut short
        "\xc3\x28",             // bad continuation
        "\xc0\xaf",             // overlong '/'
        "\xe0\x80\xaf",         // overlong
        "\xed\xa0\x80",         // surrogate
        "\xf4\x90\x80\x80",     // beyond U+10FFFF
        "ok\x80",               // stray continuation
    };
    for (const char* b : bad) {
        std::wstring out = L"untouched";
        SetLastError(0);
        EXPECT_FALSE(win_to_wide(CP_UTF8, b, out)) << b;
        EXPECT_EQ(ERROR_NO_UNICODE_TRANSLATION, GetLastError());
        EXPECT_EQ(L"untouched", out);
    }
}

TEST(WinNls, WideValuesThatAreNoCharactersFail)
{
    for (wchar_t c : {static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0xDFFF), static_cast<wchar_t>(0x110000)}) {
        std::string out;
        EXPECT_FALSE(win_from_wide(CP_UTF8, std::wstring(1, c), out));
        EXPECT_FALSE(win_from_wide(CP_ACP, std::wstring(1, c), out));
        EXPECT_EQ(ERROR_NO_UNICODE_TRANSLATION, GetLastError());
    }
}

TEST(WinNls, WindowsShapedCallsMeasureThenConvert)
{
    const wchar_t* text = L"\u00fcber";
    const int needed = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    ASSERT_EQ(6, needed);  // two bytes for the umlaut, three letters, the NUL
    std::string buffer(static_cast<size_t>(needed), 'x');
    EXPECT_EQ(needed, WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer.data(), needed, nullptr, nullptr));
    EXPECT_EQ(std::string("\xc3\xbc" "ber\0", 6), buffer);

    // Too small a buffer fails without writing past it.
    char small[4] = {'a', 'a', 'a', 'a'};
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, text, -1, small, 3, nullptr, nullptr));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ('a', small[3]);

    wchar_t wide[8];
    EXPECT_EQ(5, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xc3\xbc" "ber", -1, wide, 8));
    EXPECT_EQ(std::wstring(L"\u00fcber"), std::wstring(wide));
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "\xc3", -1, wide, 8));
    EXPECT_EQ(ERROR_NO_UNICODE_TRANSLATION, GetLastError());
}

TEST(WinNls, AnsiPageFollowsTheChosenEncoding)
{
    ASSERT_TRUE(win_set_ansi_codeset("ISO-8859-1"));
    std::string latin;
    EXPECT_FALSE(win_ansi_is_utf8());
    EXPECT_TRUE(win_from_wide(CP_ACP, L"M\u00fcller", latin));
    EXPECT_EQ("M\xfcller", latin);
    std::wstring back;
    EXPECT_TRUE(win_to_wide(CP_THREAD_ACP, latin, back));
    EXPECT_EQ(L"M\u00fcller", back);
    // Latin-1 has no CJK: refused rather than turned into '?'.
    EXPECT_FALSE(win_from_wide(CP_ACP, L"\u65e5", latin));
    EXPECT_EQ(ERROR_NO_UNICODE_TRANSLATION, GetLastError());
    // UTF-8 stays available by name.
    EXPECT_TRUE(win_from_wide(CP_UTF8, L"\u65e5", latin));

    EXPECT_FALSE(win_set_ansi_codeset("NO-SUCH-CHARSET"));
    ASSERT_TRUE(win_set_ansi_codeset("UTF-8"));
    EXPECT_TRUE(win_ansi_is_utf8());
    EXPECT_TRUE(win_from_wide(CP_ACP, L"\u65e5", latin));
    EXPECT_EQ("\xe6\x97\xa5", latin);
    ASSERT_TRUE(win_set_ansi_codeset(""));
}

TEST(WinNls, CaseInsensitiveCompareFoldsNonAsciiLetters)
{
    EXPECT_EQ(CSTR_EQUAL, CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, L"Kunden", -1, L"KUNDEN", -1));
    EXPECT_EQ(CSTR_EQUAL, CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, L"\u00c4RGER", -1, L"\u00e4rger", -1));
    EXPECT_EQ(CSTR_EQUAL, CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, L"\u0416\u0443\u043a", -1,
                                         L"\u0436\u0423\u041a", -1));
    EXPECT_NE(CSTR_EQUAL, CompareStringW(LOCALE_USER_DEFAULT, 0, L"Kunden", -1, L"KUNDEN", -1));
    EXPECT_EQ(CSTR_LESS_THAN, CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, L"abc", -1, L"ABD", -1));
    EXPECT_EQ(CSTR_GREATER_THAN, CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, L"abcd", -1, L"ABC", -1));
    // Explicit lengths compare only the given characters.
    EXPECT_EQ(CSTR_EQUAL, CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, L"Table1", 5, L"TABLE", 5));
    EXPECT_EQ(CSTR_EQUAL, CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, L"a\0B", 3, L"A\0b", 3));
    EXPECT_EQ(CSTR_LESS_THAN, CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, L"abc", 3, L"ABCD", 4));
    EXPECT_EQ(CSTR_GREATER_THAN, CompareStringW(LOCALE_USER_DEFAULT, 0, L"abd", 3, L"abc", 3));

    EXPECT_EQ(0, lstrcmpiW(L"Stra\u00dfe", L"STRA\u00dfE"));
    EXPECT_LT(lstrcmpiW(L"a", L"B"), 0);
    EXPECT_EQ(0, lstrcmpiA("\xc3\x84rger", "\xc3\xa4RGER"));
    EXPECT_GT(lstrcmpiA("b", "A"), 0);
}

TEST(WinNls, EveryScalarRoundTrips)
{
    std::wstring all;
    for (char32_t c = 1; c <= 0x10FFFF; ++c)
        if (c < 0xD800 || c > 0xDFFF)
            all.push_back(static_cast<wchar_t>(c));
    std::string utf8;
    ASSERT_TRUE(win_from_wide(CP_UTF8, all, utf8));
    std::wstring back;
    ASSERT_TRUE(win_to_wide(CP_UTF8, utf8, back));
    EXPECT_TRUE(all == back);
}

TEST(WinNls, DecoderAgreesWithTheCLibraryOnShortByteStrings)
{
    // Every string of one or two bytes, and three-byte strings with a lead
    // byte of three- or four-byte sequences: accept exactly what iconv does.
    auto iconv_accepts = [](const std::string& s) {
        iconv_t cd = iconv_open("WCHAR_T", "UTF-8");
        std::wstring out(s.size() + 1, L'\0');
        char* in = const_cast<char*>(s.data());
        size_t in_left = s.size();
        char* o = reinterpret_cast<char*>(out.data());
        size_t o_left = out.size() * sizeof(wchar_t);
        const size_t r = iconv(cd, &in, &in_left, &o, &o_left);
        iconv_close(cd);
        return r != static_cast<size_t>(-1) && in_left == 0;
    };
    int checked = 0;
    for (int a = 0; a < 256; ++a) {
        for (int b = -1; b < 256; ++b) {
            std::string s(1, static_cast<char>(a));
            if (b >= 0)
                s.push_back(static_cast<char>(b));
            std::wstring w;
            ASSERT_EQ(iconv_accepts(s), win_to_wide(CP_UTF8, s, w)) << a << " " << b;
            ++checked;
            if (a < 0xE0 || b < 0x80 || b > 0xBF)
                continue;
            for (int c = 0x70; c < 0xD0; ++c) {
                std::string t = s + static_cast<char>(c);
                ASSERT_EQ(iconv_accepts(t), win_to_wide(CP_UTF8, t, w)) << a << " " << b << " " << c;
            }
        }
    }
    EXPECT_GT(checked, 60000);
}

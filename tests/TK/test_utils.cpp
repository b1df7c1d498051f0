#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "TK/tk_excep.h"
#include "TK/tk_utils.h"
#include "platform/win/winerror.h"
#include "platform/win/winnls.h"

TEST(TkTrim, BlanksOnlyTabsStay)
{
    EXPECT_EQ("", tk_rtrim(std::string("   ")));
    EXPECT_EQ(" a", tk_rtrim(std::string(" a ")));
    EXPECT_EQ("a", tk_trim(std::string(" a ")));
    EXPECT_EQ("\ta b\t", tk_trim(std::string("  \ta b\t  ")));
    EXPECT_EQ(L"", tk_trim(std::wstring(L"    ")));
    EXPECT_EQ(L"x \u00e9", tk_trim(std::wstring(L"  x \u00e9 ")));
    EXPECT_EQ("", tk_trim(std::string()));
}

TEST(TkWstring, ReplaceAllDoesNotRescan)
{
    std::wstring text = L"a.b.c";
    EXPECT_EQ(L"a..b..c", tk_wstring::replace_all(text, L".", L".."));
    std::wstring quotes = L"O'Brien's";
    EXPECT_EQ(L"O''Brien''s", tk_wstring::replace_all(quotes, L"'", L"''"));
    std::wstring same = L"abc";
    EXPECT_EQ(L"abc", tk_wstring::replace_all(same, L"", L"x"));
    std::wstring gone = L"]]]";
    EXPECT_EQ(L"", tk_wstring::replace_all(gone, L"]", L""));

    // Enclosing doubles only the closing character inside.
    EXPECT_EQ(L"[a]][b]", tk_enclose(L"a][b", L'[', L']'));
    EXPECT_EQ(L"\"say \"\"hi\"\"\"", tk_enclose(L"say \"hi\"", L'"', L'"'));
    EXPECT_EQ(L"{}", tk_enclose(L"", L'{', L'}'));
}

TEST(TkConvert, RoundTripsThroughAnsiAndUtf8)
{
    const std::wstring text = L"Kunden \u00e4\u00f6\u00fc \u65e5\u672c \U0001F600";
    EXPECT_EQ(text, tk_utf8_to_wstring(tk_to_utf8(text)));
    EXPECT_EQ(text, tk_to_wstring(tk_to_string(text)));
    EXPECT_EQ(tk_to_utf8(text), tk_to_string(text, CP_UTF8));
    // Characters of four UTF-8 bytes: no buffer sized by three bytes a character.
    const std::wstring emoji(1000, L'\U0001F600');
    EXPECT_EQ(4000u, tk_to_utf8(emoji).size());
    EXPECT_EQ(4000u, tk_to_string(emoji).size());
    EXPECT_EQ(L"", tk_to_wstring(""));
}

TEST(TkConvert, FailuresThrowLevelZeroWithReason)
{
    std::string system_text;
    ASSERT_TRUE(win_error_text(ERROR_NO_UNICODE_TRANSLATION, system_text));
    const std::wstring surrogate(1, static_cast<wchar_t>(0xDC00));
    struct {
        const char* prefix;
        void (*call)(const std::wstring&);
    } cases[] = {
        {"Cannot convert to ANSI string: ", [](const std::wstring& w) { tk_to_string(w); }},
        {"Cannot convert to UTF8 string: ", [](const std::wstring& w) { tk_to_utf8(w); }},
    };
    for (const auto& c : cases) {
        try {
            c.call(surrogate);
            ADD_FAILURE() << c.prefix;
        } catch (const tk_exception& e) {
            EXPECT_EQ(std::string(c.prefix) + system_text, e.what());
            EXPECT_EQ(0, e.level());
            EXPECT_EQ(static_cast<int>(ERROR_NO_UNICODE_TRANSLATION), e.code());
        }
    }
    try {
        tk_to_wstring("abc\xe2\x82");
        ADD_FAILURE();
    } catch (const tk_exception& e) {
        EXPECT_EQ("Cannot convert to UNICODE string: " + system_text, e.what());
    }
}

TEST(TkConvert, NulTerminatedFormsAnswerFalse)
{
    wchar_t* wide = nullptr;
    ASSERT_TRUE(tk_ansi_to_unicode("\xc3\xa9t\xc3\xa9", &wide));
    EXPECT_EQ(std::wstring(L"\u00e9t\u00e9"), wide);
    delete[] wide;
    EXPECT_FALSE(tk_ansi_to_unicode(nullptr, &wide));
    EXPECT_FALSE(tk_ansi_to_unicode("\xff", &wide));

    char* narrow = nullptr;
    ASSERT_TRUE(tk_unicode_to_ansi2(L"\u65e5\u65e5", &narrow));
    EXPECT_STREQ("\xe6\x97\xa5\xe6\x97\xa5", narrow);   // six bytes for two characters
    delete[] narrow;
    EXPECT_FALSE(tk_unicode_to_ansi2(nullptr, &narrow));

    // The caller's buffer: a text that does not fit is refused, never overrun.
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_FALSE(tk_unicode_to_ansi1(L"\u65e5\u65e5\u65e5", buffer, 6));
    EXPECT_EQ('\0', buffer[0]);
    EXPECT_EQ('x', buffer[6]);
    EXPECT_TRUE(tk_unicode_to_ansi1(L"\u65e5\u65e5", buffer, 7));
    EXPECT_STREQ("\xe6\x97\xa5\xe6\x97\xa5", buffer);

    std::string out = "kept";
    EXPECT_FALSE(tk_unicode_to_ansi3(std::wstring(1, static_cast<wchar_t>(0xD800)).c_str(), out));
    EXPECT_TRUE(tk_unicode_to_ansi3(L"ok", out));
    EXPECT_EQ("ok", out);
}

TEST(TkHex, UpperCaseDigitsAndNul)
{
    const unsigned char bytes[] = {0x00, 0xFF, 0x1a};
    char narrow[7];
    tk_bytes_to_hex(3, bytes, narrow);
    EXPECT_STREQ("00FF1A", narrow);
    wchar_t wide[5];
    tk_bytes_to_hex(2, bytes, wide);
    EXPECT_STREQ(L"00FF", wide);
    EXPECT_EQ("", tk_bytes_to_hex(0, bytes));
    EXPECT_THROW(tk_bytes_to_hex(1, bytes, static_cast<char*>(nullptr)), tk_mail_assertion);
}

TEST(TkEndsWith, CaseRules)
{
    EXPECT_FALSE(tk_ends_with(std::wstring(L"Table1"), L"E1", true));
    EXPECT_TRUE(tk_ends_with(std::wstring(L"Table1"), L"E1", false));
    EXPECT_TRUE(tk_ends_with(std::wstring(L"Table1"), L"", true));
    EXPECT_TRUE(tk_ends_with(std::wstring(L""), L"", false));
    EXPECT_FALSE(tk_ends_with(std::wstring(L"e1"), L"le1", false));
    EXPECT_TRUE(tk_ends_with(std::wstring(L"Gr\u00d6SSE"), L"\u00f6sse", false));
    EXPECT_TRUE(tk_ends_with(std::string("report.LOG"), ".log", false));
    EXPECT_FALSE(tk_ends_with(std::string("report.LOG"), ".log", true));
    EXPECT_TRUE(tk_iequal(L"\u00c9cole", L"\u00e9COLE"));
    EXPECT_FALSE(tk_iequal(L"ecole", L"\u00e9cole"));
    EXPECT_FALSE(tk_iequal(L"ecole", L"ECOLES"));
    EXPECT_TRUE(tk_iequal(L"", L""));
}

// Text that is shown or logged keeps every character the ANSI page holds and a replacement for each
// other one: a message is never emptied or cut, whatever the page and whatever the names in it.
TEST(TkShownText, KeepsWhatThePageHoldsAndReplacesTheRest)
{
    const std::wstring lone(1, static_cast<wchar_t>(0xD800));
    const std::wstring names = L"Ums\u00e4tze \u03a9 \u0416 \u8868 \U0001F600 " + lone + L" end";
    ASSERT_TRUE(win_set_ansi_codeset("UTF-8"));
    EXPECT_EQ("Ums\xC3\xA4tze \xCE\xA9 \xD0\x96 \xE8\xA1\xA8 \xF0\x9F\x98\x80 \xEF\xBF\xBD end", tk_to_ansi_text(names));
    EXPECT_EQ(L"Ums\u00e4tze \ufffd\ufffd \u8868 end", tk_ansi_text_to_wstring("Ums\xC3\xA4tze \xC3\xFF \xE8\xA1\xA8 end"));
    EXPECT_EQ(L"cut \ufffd\ufffd", tk_ansi_text_to_wstring("cut \xE8\xA1"));   // each byte of a cut sequence

    ASSERT_TRUE(win_set_ansi_codeset("ISO-8859-1"));
    EXPECT_EQ("Ums\xE4tze ? ? ? ? ? end", tk_to_ansi_text(names));
    EXPECT_EQ(L"M\u00fcller", tk_ansi_text_to_wstring("M\xFCller"));
    EXPECT_STREQ("Table ?, record #1: damaged", tk_exception(L"Table \u8868, record #1: damaged", 0).what());

    ASSERT_TRUE(win_set_ansi_codeset("EUC-JP"));
    EXPECT_EQ("\xC9\xBD ?", tk_to_ansi_text(L"\u8868 \U0001F600"));
    EXPECT_EQ(L"\u8868 \ufffd end \ufffd", tk_ansi_text_to_wstring("\xC9\xBD \xFF end \xC9"));
    ASSERT_TRUE(win_set_ansi_codeset(""));
}

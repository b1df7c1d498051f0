#include <gtest/gtest.h>

#include <string>

#include "TK/tk_excep.h"
#include "TK/tk_utils.h"
#include "platform/win/winerror.h"

TEST(TkException, EmptyTextIsUnknownException)
{
    tk_exception e(std::string(), 1);
    EXPECT_STREQ("Unknown exception", e.what());
    EXPECT_EQ(0, e.code());
    EXPECT_EQ(1, e.level());
    EXPECT_STREQ("Unknown exception", tk_exception(0).what());
    EXPECT_STREQ("Unknown exception", tk_exception("", 2).what());
}

TEST(TkException, TextFormatAndWideForms)
{
    EXPECT_STREQ("Table not found", tk_exception("Table not found", 1).what());
    tk_exception f("Cannot open table '%s'.", "Orders", 0);
    EXPECT_STREQ("Cannot open table 'Orders'.", f.what());
    EXPECT_EQ(0, f.level());
    EXPECT_STREQ("x  y", tk_exception("x %s y", nullptr, 1).what());

    // Longer than the old fixed buffer: kept whole.
    const std::string long_name(70000, 'n');
    EXPECT_EQ(long_name.size() + 2, std::string(tk_exception("<%s>", long_name.c_str(), 1).what()).size());

    EXPECT_STREQ("Stra\xc3\x9f" "e", tk_exception(std::wstring(L"Stra\u00dfe"), 1).what());
    // A character that cannot be converted is replaced; the rest of the text and the level stay.
    tk_exception bad(L"T" + std::wstring(1, static_cast<wchar_t>(0xD800)) + L"1: damaged", 2);
    EXPECT_STREQ("T\xef\xbf\xbd" "1: damaged", bad.what());
    EXPECT_EQ(2, bad.level());
}

TEST(TkException, CopyKeepsMessageCodeAndLevel)
{
    SetLastError(EACCES);
    tk_exception_ex original("Cannot open: ", 0);
    tk_exception copy = original;
    EXPECT_STREQ(original.what(), copy.what());
    EXPECT_EQ(EACCES, copy.code());
    EXPECT_EQ(0, copy.level());
}

TEST(TkExceptionEx, AppendsSystemTextAndCarriesNumber)
{
    // A real failed conversion sets the thread's last error.
    try {
        tk_utf8_to_wstring("\xff\xfe");
        FAIL() << "invalid UTF-8 accepted";
    } catch (const tk_exception& e) {
        std::string system_text;
        ASSERT_TRUE(win_error_text(EILSEQ, system_text));
        EXPECT_EQ("Cannot convert to UNICODE string: " + system_text, e.what());
        EXPECT_EQ(EILSEQ, e.code());
        EXPECT_EQ(0, e.level());
    }
    SetLastError(ENOENT);
    tk_exception_ex plain;
    EXPECT_EQ(1, plain.level());
    EXPECT_EQ(ENOENT, plain.code());
    EXPECT_EQ("No such file or directory\r\n", std::string(plain.what()));
}

TEST(TkExceptionEx, NoSystemTextKeepsCallerText)
{
    SetLastError(9999);
    tk_exception_ex with_text("Cannot write file: ", 1);
    EXPECT_STREQ("Cannot write file: ", with_text.what());
    EXPECT_EQ(9999, with_text.code());

    SetLastError(9999);
    tk_exception_ex without_text;
    EXPECT_STREQ("Unknown exception", without_text.what());
    EXPECT_EQ(9999, without_text.code());
}

TEST(TkMailAssertion, PositionCodeIsStableAndHex)
{
    EXPECT_EQ("61625c3132", tk_position_code("ab", 12));
    tk_mail_assertion a("TK/tk_file.cpp", 42), b("TK/tk_file.cpp", 42), c("TK/tk_file.cpp", 43);
    EXPECT_STREQ(a.what(), b.what());
    EXPECT_STRNE(a.what(), c.what());
    EXPECT_EQ("Internal error: \ncode=" + tk_position_code("TK/tk_file.cpp", 42), a.what());
    EXPECT_EQ(0, a.code());
}

TEST(TkMailAssertion, CaughtAsFamilyWithLevelTwo)
{
    int line = 0;
    try {
        line = __LINE__; TK_MAIL_ASSERT();
    } catch (const tk_exception& e) {
        EXPECT_EQ(2, e.level());
        const std::string expected = "Internal error: \ncode=" + tk_position_code(__FILE__, line);
        EXPECT_EQ(expected, e.what());
    }
}

TEST(TkFinalException, NotCaughtAsTkException)
{
    bool family = false, final_seen = false;
    try {
        try {
            throw tk_final_exception();
        } catch (const tk_exception&) {
            family = true;
        }
    } catch (const tk_final_exception& e) {
        final_seen = true;
        EXPECT_STREQ("Unknown exception", e.what());
    }
    EXPECT_FALSE(family);
    EXPECT_TRUE(final_seen);
}

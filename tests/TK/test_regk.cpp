// Registry key: typed values and load-or-store exchange over a relocated registry file.
#include <gtest/gtest.h>

#include <cstdlib>

#include "TK/tk_excep.h"
#include "TK/tk_regk.h"
#include "tests/support/scratch.h"

namespace {

constexpr const char* settings_key = "Software\\Quillbrook\\Veltrane";

class TkRegKey : public ::testing::Test {
protected:
    void SetUp() override { setenv("DRAV_REGISTRY_FILE", m_dir.str("registry").c_str(), 1); }
    void TearDown() override { unsetenv("DRAV_REGISTRY_FILE"); }

    drav_test::scratch_dir m_dir{"drav-tk", drav_test::scratch_dir::plain_folder};
};

} // namespace

TEST_F(TkRegKey, FlagsLoadAsNotZeroAndMissingOnesKeepTheirValue)
{
    tk_reg_key key(settings_key);
    bool flag = true;
    EXPECT_FALSE(key.exchange("direct", flag, false)) << "no key open";
    EXPECT_THROW(key.set_value(DWORD{1}, "direct"), tk_mail_assertion);

    ASSERT_EQ(key.create(HKEY_CURRENT_USER, settings_key), ERROR_SUCCESS);
    EXPECT_FALSE(key.exchange("direct", flag, false));
    EXPECT_TRUE(flag);
    flag = false;
    EXPECT_FALSE(key.exchange("direct", flag, false));
    EXPECT_FALSE(flag);

    ASSERT_EQ(key.set_value(DWORD{2}, "direct"), ERROR_SUCCESS);
    EXPECT_TRUE(key.exchange("direct", flag, false));
    EXPECT_TRUE(flag);

    flag = false;
    EXPECT_TRUE(key.exchange("tab_def", flag, true));
    DWORD stored = 7;
    EXPECT_EQ(key.get_value(stored, "tab_def"), ERROR_SUCCESS);
    EXPECT_EQ(stored, 0u);
}

TEST_F(TkRegKey, TextsEmptyMissingAndSurvivingARestart)
{
    {
        tk_reg_key key(settings_key);
        ASSERT_EQ(key.create(HKEY_CURRENT_USER, settings_key), ERROR_SUCCESS);
        std::string empty;
        std::wstring wempty;
        EXPECT_TRUE(key.exchange("log_file", empty, true));
        EXPECT_TRUE(key.exchange("src", wempty, true));
        DWORD type = 0, size = 0;
        EXPECT_EQ(RegQueryValueExA(key.handle(), "log_file", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
        EXPECT_EQ(type, REG_SZ);
        EXPECT_EQ(size, 1u) << "one NUL byte";
        EXPECT_EQ(RegQueryValueExW(key.handle(), L"src", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
        EXPECT_EQ(size, sizeof(wchar_t)) << "one NUL character";

        std::string text = "kept";
        std::wstring wtext = L"kept";
        EXPECT_TRUE(key.exchange("log_file", text, false));
        EXPECT_EQ(text, "");
        EXPECT_TRUE(key.exchange("src", wtext, false));
        EXPECT_EQ(wtext, L"");
        text = "kept";
        wtext = L"kept";
        EXPECT_FALSE(key.exchange("missing", text, false));
        EXPECT_FALSE(key.exchange("missing", wtext, false));
        EXPECT_EQ(text, "kept");
        EXPECT_EQ(wtext, L"kept");

        std::wstring src = L"/data/K\u00f6ln \u00e9t\u00e9.mdb";
        std::string log = "/tmp/conv.log";
        EXPECT_TRUE(key.exchange("src", src, true));
        EXPECT_TRUE(key.exchange("log_file", log, true));
    }
    // A later run of the program finds the values.
    tk_reg_key key(settings_key);
    ASSERT_EQ(key.create(HKEY_CURRENT_USER, settings_key), ERROR_SUCCESS);
    std::wstring src;
    std::string log;
    EXPECT_TRUE(key.exchange("src", src, false));
    EXPECT_TRUE(key.exchange("log_file", log, false));
    EXPECT_EQ(src, L"/data/K\u00f6ln \u00e9t\u00e9.mdb");
    EXPECT_EQ(log, "/tmp/conv.log");

    // Too small a buffer is reported, not overrun.
    char small[4] = {'x', 'x', 'x', 'x'};
    DWORD size = sizeof small;
    EXPECT_EQ(key.get_value(small, "log_file", &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, log.size() + 1);
    EXPECT_EQ(small[0], 'x');
}

TEST_F(TkRegKey, TypeConfusionIsRefused)
{
    tk_reg_key key(settings_key);
    ASSERT_EQ(key.create(HKEY_CURRENT_USER, settings_key), ERROR_SUCCESS);
    ASSERT_EQ(key.set_value("1", "direct"), ERROR_SUCCESS);
    ASSERT_EQ(key.set_value(DWORD{5}, "src"), ERROR_SUCCESS);
    bool flag = false;
    EXPECT_FALSE(key.exchange("direct", flag, false)) << "a text is no flag";
    EXPECT_FALSE(flag);
    std::wstring src = L"unchanged";
    std::string narrow = "unchanged";
    EXPECT_FALSE(key.exchange("src", src, false)) << "a number is no text";
    EXPECT_FALSE(key.exchange("src", narrow, false));
    EXPECT_EQ(src, L"unchanged");
    EXPECT_EQ(narrow, "unchanged");
    DWORD value = 9;
    EXPECT_EQ(key.get_value(value, "direct"), ERROR_UNSUPPORTED_TYPE);
    EXPECT_EQ(value, 9u);
}

TEST_F(TkRegKey, CreateKeepsTheOldKeyWhenTheNewOneFails)
{
    tk_reg_key key("first");
    ASSERT_EQ(key.create(HKEY_CURRENT_USER, settings_key), ERROR_SUCCESS);
    HKEY first = key.handle();
    EXPECT_NE(key.create(HKEY_LOCAL_MACHINE, "Software\\Other"), ERROR_SUCCESS);
    EXPECT_NE(key.create(HKEY_CURRENT_USER, "Software\\bad\nname"), ERROR_SUCCESS);
    EXPECT_EQ(key.handle(), first);
    EXPECT_EQ(key.set_value(DWORD{1}, "still_open"), ERROR_SUCCESS);

    DWORD disposition = 0;
    ASSERT_EQ(key.create(HKEY_CURRENT_USER, "Software\\Quillbrook\\Other", nullptr, REG_OPTION_NON_VOLATILE,
                         KEY_ALL_ACCESS, nullptr, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    EXPECT_NE(key.handle(), first);
    EXPECT_EQ(RegCloseKey(first), ERROR_INVALID_HANDLE) << "the first key was closed";
    EXPECT_THROW(key.create(nullptr, "x"), tk_mail_assertion);
    EXPECT_EQ(key.close(), ERROR_SUCCESS);
    EXPECT_EQ(key.close(), ERROR_SUCCESS);
    EXPECT_EQ(key.path(), "first");
}

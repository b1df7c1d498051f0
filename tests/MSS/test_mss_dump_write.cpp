// Wide text written into the script arrives as the same UTF-8 as mss_to_utf8 gives, however long.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <gtest/gtest.h>

#include "MSS/mss_dump.h"
#include "mss_test_env.h"

TEST(MssDumpWrite, LongAndNonAsciiTextArrivesAsUtf8)
{
    mss_test_engine engine;
    const auto path = std::filesystem::temp_directory_path() / "mss_dump_write.sql";
    std::wstring text;
    for (int i = 0; i < 3000; ++i)
        text += L"a\u00e9\u20ac\U0001F600";   // 1, 2, 3 and 4 bytes: pieces end inside every width
    text += static_cast<wchar_t>(0xD800);      // no scalar: written as U+FFFD
    text += L"end";
    std::uintmax_t header = 0;
    {
        mss_dump_options options;
        completed_dump db(path.wstring(), options);
        db.flush();
        header = std::filesystem::file_size(path);
        db.write_w(text);
        db.write_w(L"");
        db.flush();
    }
    std::ifstream in(path, std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(all.size(), header);
    const std::string written = all.substr(static_cast<std::size_t>(header));
    EXPECT_EQ(written.substr(0, mss_to_utf8(text).size()), mss_to_utf8(text));
    EXPECT_EQ(mss_to_utf8(L"\u00e9\U0001F600"), "\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(mss_to_utf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
    EXPECT_NE(written.find("\xEF\xBF\xBD" "end"), std::string::npos);
    std::filesystem::remove(path);
}

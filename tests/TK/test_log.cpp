#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "TK/tk_errco.h"
#include "TK/tk_log.h"
#include "platform/win/winnls.h"
#include "tests/support/scratch.h"

namespace fs = std::filesystem;

namespace {

std::string set_file_error(tk_logger& log, const std::string& path)
{
    try {
        log.set_file(path);
    } catch (const tk_exception& e) {
        EXPECT_EQ(1, e.level());
        return e.what();
    }
    return "";
}

} // namespace

TEST(TkLogger, OffWritesNothing)
{
    drav_test::scratch_dir dir{"drav-tk", drav_test::scratch_dir::plain_folder};
    const std::string file = dir.str("off.log");
    tk_logger log(file.c_str(), false, 3, false);
    tk_log_write(3, "hello %d", 1);
    tk_log_write_w(3, L"hello %s", L"wide");
    EXPECT_FALSE(fs::exists(file));
}

TEST(TkLogger, NoLoggerIsHarmless)
{
    ASSERT_FALSE(tk_logger::exists());
    tk_log_write(3, "nobody listens");
    tk_log_write_w(3, L"nobody listens");
}

TEST(TkLogger, DefaultNameIsProgramPathWithLogExtension)
{
    tk_logger log(nullptr, false, 3, false);
    const std::string exe = fs::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(fs::path(exe).replace_extension(".log").string(), log.file_name());
}

TEST(TkLogger, FirstWriteAfterSwitchOnEmptiesFile)
{
    drav_test::scratch_dir dir{"drav-tk", drav_test::scratch_dir::plain_folder};
    const std::string file = dir.str("run.log");
    drav_test::write_file(file, "old content\r\n");
    tk_logger log(nullptr, false, 3, false);
    log.set_file(file);
    EXPECT_EQ("old content\r\n", drav_test::read_file(file));   // not yet
    tk_log_write(1, "trace below the threshold");
    EXPECT_EQ("", drav_test::read_file(file));                  // emptied, line dropped
    tk_log_write(3, "Converting table %s (%d rows)", "Orders", 12);
    tk_log_write(3, "%s", "second");
    EXPECT_EQ("Converting table Orders (12 rows)\r\nsecond\r\n", drav_test::read_file(file));

    // A second file in the same run is appended to, not emptied.
    const std::string other = dir.str("other.log");
    drav_test::write_file(other, "kept\r\n");
    log.set_file(other);
    tk_log_write(3, "more");
    EXPECT_EQ("kept\r\nmore\r\n", drav_test::read_file(other));
}

TEST(TkLogger, EnabledAtConstructionEmptiesAtOnce)
{
    drav_test::scratch_dir dir{"drav-tk", drav_test::scratch_dir::plain_folder};
    const std::string file = dir.str("ctor.log");
    drav_test::write_file(file, "old");
    tk_logger log(file.c_str(), true, 1, false);
    EXPECT_EQ("", drav_test::read_file(file));
    tk_log_write(1, "a");
    EXPECT_EQ("a\r\n", drav_test::read_file(file));
}

TEST(TkLogger, WideLinesAreUtf8AndTimeStampsPrefix)
{
    drav_test::scratch_dir dir{"drav-tk", drav_test::scratch_dir::plain_folder};
    const std::string file = dir.str("wide.log");
    tk_logger log(file.c_str(), true, 3, false);
    tk_log_write_w(3, L"Tabelle %s: %d", L"Stra\u00dfe \u65e5\u672c \U0001F600", 7);
    tk_log_write_w(3, L"narrow %S and %ls and %%", "\xc3\xa4rg", L"wide");
    EXPECT_EQ("Tabelle Stra\xc3\x9f" "e \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80: 7\r\n"
              "narrow \xc3\xa4rg and wide and %\r\n",
              drav_test::read_file(file));

    log.set_time_stamps(true);
    tk_log_write(3, "stamped");
    const std::string all = drav_test::read_file(file);
    const std::string last = all.substr(all.rfind("%\r\n") + 3);
    ASSERT_EQ(9u + 7u + 2u, last.size()) << last;
    EXPECT_EQ(':', last[2]);
    EXPECT_EQ(':', last[5]);
    EXPECT_EQ(' ', last[8]);
    EXPECT_EQ("stamped\r\n", last.substr(9));

    // Under another ANSI page the narrow lines are UTF-8 as well: one file, one encoding.
    log.set_time_stamps(false);
    ASSERT_TRUE(win_set_ansi_codeset("ISO-8859-1"));
    tk_log_write(3, "Table '%s': %d", "Ums\xe4tze", 3);
    tk_log_write_w(3, L"Table '%ls'", L"Ums\u00e4tze");
    ASSERT_TRUE(win_set_ansi_codeset(""));
    const std::string latin1 = drav_test::read_file(file);
    EXPECT_EQ(latin1.substr(latin1.rfind("stamped\r\n") + 9), "Table 'Ums\xc3\xa4tze': 3\r\nTable 'Ums\xc3\xa4tze'\r\n");
}

TEST(TkLogger, LongWideLineNeverOverruns)
{
    drav_test::scratch_dir dir{"drav-tk", drav_test::scratch_dir::plain_folder};
    const std::string file = dir.str("long.log");
    tk_logger log(file.c_str(), true, 3, false);
    const std::wstring long_text(30000, L'\u00e9');    // 2 bytes each in UTF-8
    tk_log_write_w(3, L"%s", long_text.c_str());
    const std::string content = drav_test::read_file(file);
    EXPECT_EQ(60000u + 2u, content.size());
    EXPECT_EQ("\xc3\xa9", content.substr(0, 2));
}

TEST(TkLogger, SetFileRefusesBadNames)
{
    drav_test::scratch_dir dir{"drav-tk", drav_test::scratch_dir::plain_folder};
    tk_logger log(nullptr, false, 3, false);
    EXPECT_EQ(tk_message(tk_msg_log_is_path), set_file_error(log, dir.str()));

    const std::string ro = dir.str("ro.log");
    drav_test::write_file(ro, "x");
    chmod(ro.c_str(), 0444);
    EXPECT_EQ(tk_message(tk_msg_log_read_only), set_file_error(log, ro));

    EXPECT_EQ(tk_message(tk_msg_log_no_path), set_file_error(log, dir.str("missing/x.log")));
    EXPECT_FALSE(log.enabled());

    // An empty name changes nothing.
    EXPECT_EQ("", set_file_error(log, ""));
    EXPECT_FALSE(log.enabled());
}

TEST(TkLogger, SetFileRefusesFolderWithoutWriteAccess)
{
    if (drav_test::running_as_root())
        GTEST_SKIP() << "root may write into any folder";
    drav_test::scratch_dir dir{"drav-tk", drav_test::scratch_dir::plain_folder};
    const std::string locked = dir.str("locked");
    fs::create_directory(locked);
    chmod(locked.c_str(), 0555);
    tk_logger log(nullptr, false, 3, false);
    EXPECT_EQ(tk_message(tk_msg_log_no_privilege), set_file_error(log, locked + "/x.log"));
}

TEST(TkLogger, LinesOfTwoThreadsDoNotInterleave)
{
    drav_test::scratch_dir dir{"drav-tk", drav_test::scratch_dir::plain_folder};
    const std::string file = dir.str("threads.log");
    tk_logger log(file.c_str(), true, 3, true);
    constexpr int per_thread = 300;
    auto writer = [](char c) {
        const std::string text(200, c);
        for (int i = 0; i < per_thread; ++i)
            tk_log_write(3, "%s", text.c_str());
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();
    const std::string content = drav_test::read_file(file);
    std::size_t lines = 0, pos = 0;
    while (pos < content.size()) {
        const std::size_t end = content.find("\r\n", pos);
        ASSERT_NE(std::string::npos, end);
        const std::string line = content.substr(pos, end - pos);
        ASSERT_EQ(9u + 200u, line.size());
        const std::string body = line.substr(9);
        EXPECT_TRUE(body == std::string(200, 'a') || body == std::string(200, 'b'));
        ++lines;
        pos = end + 2;
    }
    EXPECT_EQ(2u * per_thread, lines);
}

// Clipboard hand-over and the bug-report mail through the user's mail program.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>

#include "TK/tk_errco.h"
#include "TK/tk_log.h"
#include "TK/tk_report.h"
#include "tests/support/scratch.h"

namespace {

class recording_clipboard : public tk_clipboard {
public:
    bool set_text(const std::wstring& text) override
    {
        ++calls;
        last = text;
        return accept;
    }
    int calls = 0;
    std::wstring last;
    bool accept = true;
};

// Runs with PATH set to one folder, followed by what a shell script needs unless alone.
class path_scope {
public:
    explicit path_scope(const std::string& first, bool alone = false)
    {
        if (const char* p = std::getenv("PATH"))
            m_saved = p;
        setenv("PATH", alone ? first.c_str() : (first + ":/usr/bin:/bin").c_str(), 1);
    }
    ~path_scope() { setenv("PATH", m_saved.c_str(), 1); }

private:
    std::string m_saved;
};

// A stand-in mail program: records its arguments and ends with the given status.
void write_mail_program(const std::string& dir, const std::string& record, int status)
{
    const std::string script = dir + "/xdg-email";
    drav_test::write_file(script, "#!/bin/sh\ncd /\nprintf '%s\\n' \"$@\" > '" + record + "'\nexit " +
                              std::to_string(status) + "\n");
    chmod(script.c_str(), 0755);
}

} // namespace

TEST(TkClipboard, TextGoesToTheRegisteredClipboardOrTheLog)
{
    drav_test::scratch_dir dir{"drav-tk", drav_test::scratch_dir::plain_folder};
    const std::string file = dir.str("c.log");
    tk_logger log(file.c_str(), true, 3, false);

    tk_copy_to_clipboard2(L"no clipboard \u00e9");
    EXPECT_EQ(drav_test::read_file(file), "Text for the clipboard:\nno clipboard \xC3\xA9\r\n");

    recording_clipboard clip;
    tk_copy_to_clipboard2(L"");
    EXPECT_EQ(clip.calls, 1);
    EXPECT_EQ(clip.last, L"") << "an empty text is still put on the clipboard";
    tk_copy_to_clipboard2(L"Internal error: \ncode=41");
    EXPECT_EQ(clip.last, L"Internal error: \ncode=41");

    clip.accept = false;
    tk_copy_to_clipboard2(L"refused"); // only a log line, no exception
    EXPECT_EQ(clip.calls, 3);
}

TEST(TkBugMail, MailtoAddressesTheSupportContactAndEncodesEverything)
{
    const std::string url = tk_bug_mailto("Wizard & co", "line 1\nline 2?x=1&y=100% \xC3\xBC");
    EXPECT_EQ(url, std::string("mailto:") + tk_message(tk_msg_contact_mail) +
                       "?subject=Bug%20report%20on%20Wizard%20%26%20co"
                       "&body=line%201%0D%0Aline%202%3Fx%3D1%26y%3D100%25%20%C3%BC");
}

TEST(TkBugMail, HandsTheReportToTheMailProgram)
{
    drav_test::scratch_dir dir{"drav-tk", drav_test::scratch_dir::plain_folder};
    const std::string logfile = dir.str("m.log");
    tk_logger log(logfile.c_str(), true, 2, false);
    const std::string record = dir.str("args.txt");
    std::filesystem::create_directory(dir.str("bin"));
    write_mail_program(dir.str("bin"), record, 0);
    path_scope path(dir.str("bin"));

    const auto before = std::filesystem::current_path();
    tk_send_bug("Veltrane", "It broke.");
    EXPECT_EQ(std::filesystem::current_path(), before);
    EXPECT_EQ(drav_test::read_file(record), tk_bug_mailto("Veltrane", "It broke.") + "\n");
    EXPECT_NE(drav_test::read_file(logfile).find("xdg-email returns 0\r\n"), std::string::npos);

    write_mail_program(dir.str("bin"), record, 3);
    tk_send_bug("Veltrane", "Again.");
    EXPECT_NE(drav_test::read_file(logfile).find("xdg-email returns 3\r\n"), std::string::npos);
}

TEST(TkBugMail, WithoutAMailProgramItOnlyLogs)
{
    drav_test::scratch_dir dir{"drav-tk", drav_test::scratch_dir::plain_folder};
    const std::string logfile = dir.str("m.log");
    tk_logger log(logfile.c_str(), true, 2, false);
    path_scope path(dir.str(), true);
    const auto before = std::filesystem::current_path();
    tk_send_bug("Veltrane", "body");
    EXPECT_EQ(std::filesystem::current_path(), before);
    EXPECT_NE(drav_test::read_file(logfile).find("Failed to locate xdg-email\r\n"), std::string::npos);
}

// The console program and the files of a run: no file it reads is its script or its log, and the
// script is not its log, however each is spelled; such a run is refused before anything changes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/dao/daoapi.h"
#include "tests/support/dravcli_child.h"
#include "tests/support/scratch.h"

namespace fs = std::filesystem;

namespace {

class DravcliPaths : public ::testing::Test {
protected:
    struct outcome {
        int code = 0;
        std::string out, err;
    };

    outcome run(const std::vector<std::string>& args)
    {
        drav_test::child_run child(dir, tmp, args);
        outcome r;
        r.code = child.finish();
        r.out = child.out();
        r.err = drav_test::read_file(dir / "err.txt");
        return r;
    }

    // Every file in the folder with its size and a hash of its bytes; links as where they point.
    std::map<std::string, std::string> files() const
    {
        std::map<std::string, std::string> seen;
        for (const auto& e : fs::directory_iterator(dir)) {
            const std::string name = e.path().filename().string();
            if (name == "err.txt" || name.rfind("registry", 0) == 0)
                continue;
            const std::string bytes = drav_test::read_file(e.path());
            seen[name] = e.is_symlink() ? "-> " + fs::read_symlink(e.path()).string()
                                        : std::to_string(bytes.size()) + " bytes, hash " +
                                              std::to_string(std::hash<std::string>()(bytes));
        }
        return seen;
    }

    const drav_test::scratch_dir scratch{"dravcli-paths", drav_test::scratch_dir::plain_folder};
    const fs::path dir = scratch.path();
    const drav_test::scratch_dir tmp_scratch{"dravcli-paths-tmp", drav_test::scratch_dir::plain_folder};
    const fs::path tmp = tmp_scratch.path();
};

} // namespace

// The script or the log named as the source (each spelling a user may type, a symbolic and a
// hard link), a profile, a table-list file or a workgroup file; the log named as the script. Each
// run is refused with one error naming both roles and the file, ends with 255, and leaves every
// file as it was, byte for byte; nothing is created.
TEST_F(DravcliPaths, AScriptOrLogThatIsAFileTheRunReadsOrTheOtherIsRefusedAndNothingChanges)
{
    fs::copy_file(std::string(DRAV_SOURCE_DIR) + "/examples/sample.mdb", dir / "db.mdb");
    fs::create_symlink("db.mdb", dir / "link.mdb");
    fs::create_hard_link(dir / "db.mdb", dir / "hard.mdb");
    fs::create_directory(dir / "sub");
    fs::create_symlink("made.sql", dir / "dangling.log");
    drav_test::write_file(dir / "old.sql", "an older script");
    drav_test::write_file(dir / "tables.txt", "Customers\n");
    drav_test::write_file(dir / "settings.qel", "[Generic settings]\nsrc=db.mdb\ndest=settings.qel\n"
                                                "[MS SQL Server settings]\ndirect mode=0\n");
    const auto blank = dao_blank_workgroup_image(false);
    drav_test::write_file(dir / "blank.mdw", std::string(blank.begin(), blank.end()));
    const auto before = files();
    const std::string abs = (dir / "db.mdb").string();

    struct refusal {
        std::vector<std::string> args;
        std::string text;
    };
    const std::vector<refusal> refusals = {
        {{"--dest=db.mdb"}, "The T-SQL script file and the MS Access database are one file: 'db.mdb'. Give the "
                            "T-SQL script file another name: writing it would destroy the MS Access database.\n"},
        {{"--dest=./db.mdb"}, "The T-SQL script file './db.mdb' and the MS Access database 'db.mdb' are one file."},
        {{"--dest=" + abs}, "The T-SQL script file '" + abs + "' and the MS Access database 'db.mdb' are one file."},
        {{"--dest=sub/../db.mdb"}, "'sub/../db.mdb' and the MS Access database 'db.mdb' are one file."},
        {{"--dest=link.mdb"}, "The T-SQL script file 'link.mdb' and the MS Access database"},
        {{"--dest=hard.mdb"}, "The T-SQL script file 'hard.mdb' and the MS Access database"},
        {{"--dest=new.sql", "--logfile=db.mdb"}, "The log file and the MS Access database are one file: 'db.mdb'."},
        {{"--dest=new.sql", "--logfile=./link.mdb"}, "The log file './link.mdb' and the MS Access database"},
        {{"--dest=old.sql", "--logfile=sub/../old.sql"},
         "The log file 'sub/../old.sql' and the T-SQL script file 'old.sql' are one file. Give the log file another "
         "name: writing it would destroy the T-SQL script file."},
        {{"--dest=made.sql", "--logfile=dangling.log"}, "The log file 'dangling.log' and the T-SQL script file 'made.sql'"},
        {{"--dest=tables.txt", "--tab_file=tables.txt"},
         "The T-SQL script file and the table names file are one file: 'tables.txt'."},
        {{"--dest=new.sql", "--sysdb=blank.mdw", "--uglu=admin", "--logfile=./blank.mdw"},
         "The log file './blank.mdw' and the workgroup information file 'blank.mdw' are one file."},
        {{"--dest=new.sql", "--sysdb=blank.mdw", "--logfile=blank.mdw"}, "and the workgroup information file are one"},
    };
    for (const auto& r : refusals) {
        std::vector<std::string> args = {"--src=db.mdb", "--script"};
        args.insert(args.end(), r.args.begin(), r.args.end());
        const outcome o = run(args);
        const std::string shown = args.back();
        EXPECT_EQ(o.code, 255) << shown << "\n" << o.out << o.err;
        EXPECT_EQ(o.out.rfind("Error:\n", 0), 0u) << shown << "\n" << o.out;
        EXPECT_NE(o.out.find(r.text), std::string::npos) << shown << "\n" << o.out;
        EXPECT_EQ(o.out.find("Converting"), std::string::npos) << shown << "\n" << o.out;
        EXPECT_EQ(files(), before) << shown;
    }

    // A profile whose script is the profile itself: refused in the same words.
    outcome o = run({"--profile=settings.qel"});
    EXPECT_EQ(o.code, 255) << o.out << o.err;
    EXPECT_NE(o.out.find("The T-SQL script file and the profile are one file: 'settings.qel'."), std::string::npos)
        << o.out;
    EXPECT_EQ(files(), before);

    // An option error is logged into a log that is none of the run's files; one whose log would be
    // the source named after it is reported without touching the source.
    o = run({"--logfile=run.log", "--silent", "--mode=9", "--src=db.mdb", "--dest=new.sql"});
    EXPECT_EQ(o.code, 255);
    EXPECT_EQ(o.err, "");
    EXPECT_NE(drav_test::read_file(dir / "run.log").find("Invalid merge/overwrite mode"), std::string::npos);
    fs::remove(dir / "run.log");
    o = run({"--logfile=db.mdb", "--mode=9", "--src=db.mdb", "--dest=new.sql"});
    EXPECT_EQ(o.code, 255);
    EXPECT_EQ(o.err, "Invalid merge/overwrite mode\n");
    EXPECT_EQ(files(), before);

    // What keeps nothing may take both roles, and distinct files convert as ever.
    o = run({"--src=db.mdb", "--script", "--dest=/dev/null", "--logfile=/dev/null"});
    EXPECT_EQ(o.code, 0) << o.out << o.err;
    o = run({"--src=link.mdb", "--script", "--dest=new.sql", "--logfile=new.log"});
    EXPECT_EQ(o.code, 0) << o.out << o.err;
    EXPECT_NE(drav_test::read_file(dir / "new.sql").find("CREATE TABLE"), std::string::npos);
    EXPECT_NE(drav_test::read_file(dir / "new.log").find("Conversion ended on "), std::string::npos);
    EXPECT_EQ(files().at("db.mdb"), before.at("db.mdb"));

    // A named pipe that no program reads cannot take the log, which is opened afresh for each
    // line: the run is refused at once instead of waiting unheard, and nothing is written.
    ASSERT_EQ(::mkfifo((dir / "nobody.log").c_str(), 0600), 0);
    {
        drav_test::child_run piped(dir, tmp, {"--src=db.mdb", "--script", "--dest=piped.sql", "--logfile=nobody.log"});
        const std::string said = piped.read_until("no program reads.", 120);
        EXPECT_NE(said.find("The log file 'nobody.log' is a named pipe that no program reads."), std::string::npos)
            << said;
        if (said.find("no program reads.") != std::string::npos) {
            EXPECT_EQ(piped.finish(), 255);
        }
        EXPECT_FALSE(fs::exists(dir / "piped.sql"));
    }
    fs::remove(dir / "nobody.log");

    // In a locale of another encoding (Latin-1), the log, a table names file and a profile are
    // opened at the very bytes the user typed: "\xC3\xA9" is two letters there, and the file of
    // those bytes is the one each would open. Skipped where no such locale can be made.
    const fs::path locales = tmp / "locales";
    fs::create_directory(locales);
    const std::string make = "localedef -i fr_FR -f ISO-8859-1 '" + (locales / "fr_FR.ISO-8859-1").string() +
                             "' >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0)
        GTEST_SKIP() << "no Latin-1 locale can be made here";
    const std::string typed = "\xC3\xA9.txt";
    drav_test::write_file(dir / typed, "Customers\n");
    drav_test::write_file(dir / "p.qel", "[Generic settings]\nsrc=db.mdb\ndest=p.sql\n"
                                        "[MS SQL Server settings]\ndirect mode=0\n");
    fs::copy_file(dir / "p.qel", dir / ("p" + typed));
    const auto latin1_before = files();
    // The C library keeps the search path of a locale loaded through LOCPATH to the end: no leak
    // of the program's own for the leak checker of a sanitized build.
    drav_test::write_file(tmp / "leaks.supp", "leak:__argz_add_sep\n");
    const char* const lsan = std::getenv("LSAN_OPTIONS");
    const std::string lsan_before = lsan ? lsan : "";
    ::setenv("LSAN_OPTIONS", (lsan_before + ":suppressions=" + (tmp / "leaks.supp").string()).c_str(), 1);
    ::setenv("LOCPATH", locales.c_str(), 1);
    ::setenv("LC_ALL", "fr_FR.ISO-8859-1", 1);
    const std::vector<std::vector<std::string>> latin1_refusals = {
        {"--src=db.mdb", "--script", "--dest=new.sql", "--tab_file=" + typed, "--logfile=" + typed},
        {"--profile=p" + typed, "--logfile=p" + typed},
    };
    std::vector<outcome> latin1_runs;
    for (const auto& args : latin1_refusals)
        latin1_runs.push_back(run(args));
    const auto latin1_after = files();
    latin1_runs.push_back(run({"--src=db.mdb", "--script", "--dest=new.sql", "--tab_file=" + typed,
                               "--logfile=caf\xE9.log"}));
    ::unsetenv("LC_ALL");
    ::unsetenv("LOCPATH");
    if (lsan)
        ::setenv("LSAN_OPTIONS", lsan_before.c_str(), 1);
    else
        ::unsetenv("LSAN_OPTIONS");
    for (std::size_t i = 0; i < latin1_refusals.size(); ++i) {
        EXPECT_EQ(latin1_runs[i].code, 255) << latin1_runs[i].out << latin1_runs[i].err;
        EXPECT_NE(latin1_runs[i].out.find("are one file: '" + std::string(i == 0 ? "" : "p") + "\xC3\xA9.txt'."),
                  std::string::npos)
            << latin1_runs[i].out;
    }
    EXPECT_EQ(latin1_after, latin1_before);
    // A log whose name is Latin-1 text is the file of that name, no error of conversion.
    EXPECT_EQ(latin1_runs.back().code, 0) << latin1_runs.back().out << latin1_runs.back().err;
    EXPECT_NE(drav_test::read_file(dir / "caf\xE9.log").find("Conversion ended on "), std::string::npos);
}

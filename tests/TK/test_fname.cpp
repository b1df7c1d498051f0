#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "TK/tk_excep.h"
#include "TK/tk_fname.h"
#include "platform/win/winbase.h"
#include "tests/support/scratch.h"

namespace fs = std::filesystem;

TEST(TkFileName, SplitsAbsolutePath)
{
    tk_file_name f("/data/base.mdb");
    EXPECT_EQ("", f.drive);
    EXPECT_EQ("/data/", f.dir);
    EXPECT_EQ("base", f.name);
    EXPECT_EQ(".mdb", f.ext);
    EXPECT_EQ("/data/base.mdb", f.path());
    EXPECT_EQ("/data/", tk_fname_join(f));

    tk_file_name several("/a/b.c/archive.tar.gz");
    EXPECT_EQ("/a/b.c/", several.dir);
    EXPECT_EQ("archive.tar", several.name);
    EXPECT_EQ(".gz", several.ext);

    tk_file_name none("/a/b.c/README");
    EXPECT_EQ("README", none.name);
    EXPECT_EQ("", none.ext);

    tk_file_name folder("/srv/db/");
    EXPECT_EQ("/srv/db/", folder.dir);
    EXPECT_EQ("", folder.name);

    tk_file_name dots("/srv/./x/../db/y.mdb");
    EXPECT_EQ("/srv/db/", dots.dir);
    EXPECT_EQ("/", tk_file_name("/").dir);
}

TEST(TkFileName, RelativeNamesUseCurrentDirectory)
{
    auto with_slash = [](std::string dir) { return dir.back() == '/' ? dir : dir + "/"; };
    tk_file_name f("out.sql");
    EXPECT_EQ(with_slash(fs::current_path().string()), f.dir);
    EXPECT_EQ("out", f.name);
    EXPECT_EQ(".sql", f.ext);
    EXPECT_EQ(with_slash(fs::current_path().parent_path().string()), tk_file_name("../x.log").dir);
}

TEST(TkFileName, LongPathsAreNotCut)
{
    const std::string deep = "/" + std::string(300, 'd') + "/" + std::string(250, 'e') + "/table.mdb";
    tk_file_name f(deep);
    EXPECT_EQ(deep, f.path());
    EXPECT_EQ("table", f.name);
}

TEST(TkFileName, EmptyIsOwnFolderAndNullIsInternalError)
{
    tk_file_name f("");
    const std::string exe = fs::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(fs::path(exe).parent_path().string() + "/", f.dir);
    EXPECT_EQ("", f.name);
    EXPECT_EQ(f.dir, tk_get_module_dir());
    EXPECT_EQ(exe, tk_get_module_path());
    EXPECT_THROW(tk_file_name(static_cast<const char*>(nullptr)), tk_mail_assertion);
}

TEST(TkFileName, WideNamesKeepNonAsciiLetters)
{
    tk_file_wname w(L"/daten/Gr\u00fc\u00dfe \u65e5\u672c.accdb");
    EXPECT_EQ(L"/daten/", w.dir);
    EXPECT_EQ(L"Gr\u00fc\u00dfe \u65e5\u672c", w.name);
    EXPECT_EQ(L".accdb", w.ext);
    EXPECT_EQ(L"/daten/", w.folder());
    EXPECT_THROW(tk_file_wname(std::wstring(1, static_cast<wchar_t>(0xD800))), tk_exception);
}

TEST(TkTempChdir, ChangesAndRestores)
{
    drav_test::scratch_dir dir{"drav-tk", drav_test::scratch_dir::plain_folder};
    const auto before = fs::current_path();
    {
        tk_temp_chdir change(dir.str());
        EXPECT_TRUE(change.changed());
        EXPECT_EQ(fs::canonical(dir.str()), fs::current_path());
    }
    EXPECT_EQ(before, fs::current_path());
    {
        tk_temp_chdir change(dir.str("missing"));
        EXPECT_FALSE(change.changed());
        EXPECT_EQ(before, fs::current_path());
    }
    EXPECT_EQ(before, fs::current_path());
}

TEST(TkFileTests, PathExistLeavesCurrentDirectory)
{
    drav_test::scratch_dir dir{"drav-tk", drav_test::scratch_dir::plain_folder};
    drav_test::write_file(dir.str("f.txt"), "x");
    const auto before = fs::current_path();
    EXPECT_TRUE(tk_is_path_exist(dir.str()));
    EXPECT_TRUE(tk_is_path_exist(std::wstring(fs::path(dir.str()).wstring())));
    EXPECT_FALSE(tk_is_path_exist(dir.str("f.txt")));
    EXPECT_FALSE(tk_is_path_exist(dir.str("missing")));
    EXPECT_TRUE(tk_is_path_exist(std::string()));   // the program's own folder
    EXPECT_EQ(before, fs::current_path());
}

TEST(TkFileTests, ExistModes)
{
    drav_test::scratch_dir dir{"drav-tk", drav_test::scratch_dir::plain_folder};
    const std::string file = dir.str("data.mdb");
    drav_test::write_file(file, "content");
    EXPECT_TRUE(tk_is_file_exist1(file, tk_exist_file));
    EXPECT_TRUE(tk_is_file_exist1(file, tk_exist_writable));
    EXPECT_FALSE(tk_is_file_exist1(dir.str(), tk_exist_file));
    EXPECT_FALSE(tk_is_file_exist1(dir.str("missing"), tk_exist_file));

    chmod(file.c_str(), 0444);
    EXPECT_TRUE(tk_is_file_exist1(file, tk_exist_file));
    EXPECT_FALSE(tk_is_file_exist1(file, tk_exist_writable));
    EXPECT_FALSE(tk_is_file_exist2(fs::path(file).wstring(), tk_exist_writable));
    chmod(file.c_str(), 0644);

    // The creating mode never empties an existing file.
    EXPECT_TRUE(tk_is_file_exist1(file, 0));
    EXPECT_EQ("content", drav_test::read_file(file));
    EXPECT_TRUE(tk_is_file_exist2(fs::path(dir.str("new.txt")).wstring(), 0));
    EXPECT_TRUE(fs::exists(dir.str("new.txt")));
    try {
        tk_is_file_exist1(dir.str("missing/x"), 0);
        ADD_FAILURE();
    } catch (const tk_exception& e) {
        EXPECT_EQ(ENOENT, e.code());
        EXPECT_STREQ("No such file or directory\r\n", e.what());
    }
}

TEST(TkFileTests, CheckAccess)
{
    drav_test::scratch_dir dir{"drav-tk", drav_test::scratch_dir::plain_folder};
    EXPECT_TRUE(tk_check_access(dir.str(), GENERIC_WRITE));
    EXPECT_TRUE(tk_check_access(fs::path(dir.str()).wstring(), GENERIC_READ | GENERIC_WRITE));
    EXPECT_FALSE(tk_check_access(dir.str("missing"), GENERIC_READ));
    if (drav_test::running_as_root())
        GTEST_SKIP() << "root passes every access check";
    chmod(dir.str().c_str(), 0555);
    EXPECT_FALSE(tk_check_access(dir.str(), GENERIC_WRITE));
    EXPECT_TRUE(tk_check_access(dir.str(), GENERIC_READ));
}

namespace {
LONG test_dll_version(DLLVERSIONINFO* info)
{
    info->dwMajorVersion = 5;
    info->dwMinorVersion = 82;
    return 0;
}
} // namespace

TEST(TkDllVersion, ExportOrZero)
{
    EXPECT_EQ(0u, get_dll_version("libc.so.6"));            // loads, no export
    EXPECT_EQ(0u, get_dll_version("no-such-library.dll"));
    win_register_module("versioned.dll", {{"DllGetVersion", reinterpret_cast<FARPROC>(&test_dll_version)}});
    EXPECT_EQ((5u << 16) | 82u, get_dll_version("versioned.dll"));
}

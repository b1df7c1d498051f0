#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "platform/win/winbase.h"
#include "platform/win/winerror.h"
#include "tests/support/scratch.h"

namespace fs = std::filesystem;

TEST(WinError, LastErrorIsPerThread)
{
    SetLastError(EACCES);
    DWORD seen = 1;
    std::thread([&] { seen = GetLastError(); SetLastError(ENOENT); }).join();
    EXPECT_EQ(0u, seen);
    EXPECT_EQ(static_cast<DWORD>(EACCES), GetLastError());

    errno = EEXIST;
    SetLastErrorFromErrno();
    EXPECT_EQ(ERROR_FILE_EXISTS, GetLastError());
}

TEST(WinError, SystemTextEndsWithLineBreakOrIsMissing)
{
    std::string text;
    ASSERT_TRUE(win_error_text(ENOENT, text));
    EXPECT_EQ("No such file or directory\r\n", text);

    text = "kept";
    EXPECT_FALSE(win_error_text(9999, text));
    EXPECT_FALSE(win_error_text(0xFFFFFFFF, text));
    EXPECT_EQ("kept", text);

    char* buffer = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, EACCES, LANG_USER_DEFAULT, reinterpret_cast<char*>(&buffer), 0, nullptr);
    ASSERT_NE(nullptr, buffer);
    EXPECT_EQ(std::strlen(buffer), n);
    EXPECT_STREQ("Permission denied\r\n", buffer);
    LocalFree(buffer);

    char fixed[8];
    EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, EACCES, 0, fixed, sizeof fixed, nullptr));
    EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 9999, 0, fixed, sizeof fixed, nullptr));
}

TEST(WinBase, ModulePathIsThisProgram)
{
    std::string path;
    ASSERT_TRUE(win_module_path(path));
    EXPECT_EQ(fs::read_symlink("/proc/self/exe").string(), path);

    char buffer[4096];
    EXPECT_EQ(path.size(), GetModuleFileNameA(nullptr, buffer, sizeof buffer));
    EXPECT_EQ(path, buffer);
    // A small buffer gets a cut, terminated copy and the Windows answer.
    char small[5];
    EXPECT_EQ(5u, GetModuleFileNameA(nullptr, small, sizeof small));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(path.substr(0, 4), small);
}

TEST(WinBase, LocalTimeMatchesTheClock)
{
    SYSTEMTIME st;
    GetLocalTime(&st);
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    EXPECT_EQ(tm.tm_year + 1900, st.wYear);
    EXPECT_GE(st.wMonth, 1);
    EXPECT_LE(st.wMonth, 12);
    EXPECT_LT(st.wHour, 24);
    EXPECT_LT(st.wMilliseconds, 1000);
}

TEST(WinBase, AttributesTellDirectoryAndReadOnly)
{
    const drav_test::scratch_dir scratch("drav-win", drav_test::scratch_dir::plain_folder);
    const std::string dir = scratch.str();
    const std::string file = dir + "/f.txt";
    std::ofstream(file) << "x";

    EXPECT_TRUE(GetFileAttributesA(dir.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(FILE_ATTRIBUTE_NORMAL, GetFileAttributesA(file.c_str()));
    chmod(file.c_str(), 0444);
    // Read-only from the permission bits, also for root.
    EXPECT_EQ(FILE_ATTRIBUTE_READONLY, GetFileAttributesA(file.c_str()));
    EXPECT_EQ(FILE_ATTRIBUTE_READONLY, GetFileAttributesW(fs::path(file).wstring().c_str()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((dir + "/missing").c_str()));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());

    EXPECT_TRUE(win_check_access(dir.c_str(), GENERIC_WRITE));
    EXPECT_TRUE(win_check_access(file.c_str(), GENERIC_READ));
    EXPECT_FALSE(win_check_access((dir + "/missing").c_str(), GENERIC_READ));
    if (geteuid() != 0) {
        EXPECT_FALSE(win_check_access(file.c_str(), GENERIC_WRITE));
    }
}

namespace {
LONG fake_dll_get_version(DLLVERSIONINFO* info)
{
    info->dwMajorVersion = 6;
    info->dwMinorVersion = 10;
    return 0;
}
} // namespace

TEST(WinBase, ModulesFromDiskAndRegisteredSubstitutes)
{
    HMODULE libc = LoadLibraryA("libc.so.6");
    ASSERT_NE(nullptr, libc);
    EXPECT_NE(nullptr, GetProcAddress(libc, "strlen"));
    EXPECT_EQ(nullptr, GetProcAddress(libc, "DllGetVersion"));
    EXPECT_EQ(ERROR_PROC_NOT_FOUND, GetLastError());
    EXPECT_TRUE(FreeLibrary(libc));

    EXPECT_EQ(nullptr, LoadLibraryA("no-such-library.dll"));

    win_register_module("fakectl.dll", {{"DllGetVersion", reinterpret_cast<FARPROC>(&fake_dll_get_version)}});
    HMODULE fake = LoadLibraryA("FakeCtl.DLL");
    ASSERT_NE(nullptr, fake);
    auto proc = reinterpret_cast<DLLGETVERSIONPROC>(GetProcAddress(fake, "DllGetVersion"));
    ASSERT_NE(nullptr, proc);
    DLLVERSIONINFO info{};
    EXPECT_EQ(0, proc(&info));
    EXPECT_EQ(6u, info.dwMajorVersion);
    EXPECT_TRUE(FreeLibrary(fake));
}

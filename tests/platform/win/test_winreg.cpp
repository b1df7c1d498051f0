// The per-user registry file: values, error numbers, type checks, crash safety and two writers.
#include "platform/win/winreg.h"
#include "tests/support/scratch.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string read_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class registry_file : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = scratch_.str();
        file_ = dir_ + "/reg";
        setenv("DRAV_REGISTRY_FILE", file_.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("DRAV_REGISTRY_FILE");
    }

    HKEY create(const char* sub = "Software\\Quillbrook\\Veltrane", DWORD* disp = nullptr)
    {
        HKEY k = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, sub, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                  nullptr, &k, disp),
                  ERROR_SUCCESS);
        return k;
    }

    static LONG set_dword(HKEY k, const char* name, DWORD v)
    {
        return RegSetValueExA(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
    }
    static LONG set_text(HKEY k, const char* name, const std::string& v)
    {
        return RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                              static_cast<DWORD>(v.size() + 1));
    }
    static LONG get_dword(HKEY k, const char* name, DWORD& v)
    {
        DWORD size = sizeof v;
        return RegGetValueA(k, nullptr, name, RRF_RT_REG_DWORD, nullptr, &v, &size);
    }
    static LONG get_text(HKEY k, const char* name, std::string& v)
    {
        DWORD size = 0;
        LONG r = RegGetValueA(k, nullptr, name, RRF_RT_REG_SZ, nullptr, nullptr, &size);
        if (r != ERROR_SUCCESS)
            return r;
        std::string buf(size, '\0');
        r = RegGetValueA(k, nullptr, name, RRF_RT_REG_SZ, nullptr, buf.data(), &size);
        if (r == ERROR_SUCCESS)
            v = buf.c_str();
        return r;
    }

    drav_test::scratch_dir scratch_{"drav-reg", drav_test::scratch_dir::plain_folder};
    std::string dir_;
    std::string file_;
};

} // namespace

TEST_F(registry_file, keys_open_create_and_case)
{
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Quillbrook", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(k, nullptr);
    EXPECT_FALSE(fs::exists(file_)) << "opening must not create the file";

    DWORD disp = 0;
    HKEY a = create("Software\\Quillbrook\\Veltrane", &disp);
    EXPECT_EQ(disp, REG_CREATED_NEW_KEY);
    HKEY b = create("software\\QUILLBROOK\\veltrane", &disp);
    EXPECT_EQ(disp, REG_OPENED_EXISTING_KEY);
    // Parents exist too.
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Quillbrook", 0, KEY_READ, &k), ERROR_SUCCESS);

    ASSERT_EQ(set_dword(a, "Direct", 7), ERROR_SUCCESS);
    DWORD v = 0;
    EXPECT_EQ(get_dword(b, "direct", v), ERROR_SUCCESS);
    EXPECT_EQ(v, 7u);
    // The first spelling of the key stays in the file.
    EXPECT_NE(read_text(file_).find("[HKEY_CURRENT_USER\\Software\\Quillbrook\\Veltrane]"), std::string::npos);

    EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(a), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(b), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(b), ERROR_INVALID_HANDLE);
    EXPECT_EQ(set_dword(b, "direct", 1), ERROR_INVALID_HANDLE);
    // Other roots are not kept in a per-user file.
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
}

TEST_F(registry_file, values_sizes_and_error_numbers)
{
    HKEY k = create();
    DWORD v = 0;
    std::string text = "unchanged";
    EXPECT_EQ(get_dword(k, "missing", v), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(get_text(k, "missing", text), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(text, "unchanged");

    ASSERT_EQ(set_text(k, "src", "C:\\Data\\base.mdb"), ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    // Size only, then too small a buffer, then the right one.
    EXPECT_EQ(RegQueryValueExA(k, "src", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 17u);
    char small[4];
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExA(k, "src", nullptr, &type, reinterpret_cast<BYTE*>(small), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 17u);
    char buf[32];
    size = sizeof buf;
    EXPECT_EQ(RegQueryValueExA(k, "src", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size), ERROR_SUCCESS);
    EXPECT_STREQ(buf, "C:\\Data\\base.mdb");

    // The wide calls see the same text, four bytes per character here.
    size = 0;
    EXPECT_EQ(RegQueryValueExW(k, L"SRC", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 17u * sizeof(wchar_t));
    wchar_t wbuf[64];
    size = sizeof wbuf;
    EXPECT_EQ(RegGetValueW(k, nullptr, L"src", RRF_RT_REG_SZ, &type, wbuf, &size), ERROR_SUCCESS);
    EXPECT_STREQ(wbuf, L"C:\\Data\\base.mdb");

    // Non-ASCII, quotes, backslashes and line breaks survive the file.
    const std::wstring odd = L"Gr\u00fc\u00dfe \"quoted\" back\\slash\nline\ttab \u4e2d";
    ASSERT_EQ(RegSetValueExW(k, L"odd", 0, REG_SZ, reinterpret_cast<const BYTE*>(odd.c_str()),
                             static_cast<DWORD>((odd.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    size = sizeof wbuf;
    EXPECT_EQ(RegGetValueW(k, nullptr, L"odd", RRF_RT_REG_SZ, nullptr, wbuf, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(wbuf), odd);

    // Empty texts: one NUL narrow, one wchar_t wide.
    ASSERT_EQ(set_text(k, "empty", ""), ERROR_SUCCESS);
    size = 0;
    EXPECT_EQ(RegQueryValueExA(k, "empty", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 1u);
    text = "x";
    EXPECT_EQ(get_text(k, "empty", text), ERROR_SUCCESS);
    EXPECT_EQ(text, "");

    EXPECT_EQ(RegDeleteValueA(k, "empty"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(k, "empty"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(k);
}

TEST_F(registry_file, wrong_types_are_refused)
{
    HKEY k = create();
    ASSERT_EQ(set_dword(k, "flag", 1), ERROR_SUCCESS);
    ASSERT_EQ(set_text(k, "name", "1"), ERROR_SUCCESS);
    const WORD half = 1;
    ASSERT_EQ(RegSetValueExA(k, "short", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&half), sizeof half),
              ERROR_SUCCESS);

    DWORD v = 99, type = 0;
    DWORD size = sizeof v;
    EXPECT_EQ(RegGetValueA(k, nullptr, "name", RRF_RT_REG_DWORD, &type, &v, &size), ERROR_UNSUPPORTED_TYPE);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(v, 99u);
    std::string text = "kept";
    EXPECT_EQ(get_text(k, "flag", text), ERROR_UNSUPPORTED_TYPE);
    EXPECT_EQ(text, "kept");
    EXPECT_EQ(get_dword(k, "short", v), ERROR_DATATYPE_MISMATCH);
    EXPECT_EQ(v, 99u);
    // A DWORD into a two-byte buffer is "more data", not a cut value.
    WORD w = 0;
    size = sizeof w;
    EXPECT_EQ(RegGetValueA(k, nullptr, "flag", RRF_RT_REG_DWORD, nullptr, &w, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u);
    // Any-type reads report the stored type.
    size = sizeof v;
    EXPECT_EQ(RegGetValueA(k, nullptr, "flag", RRF_RT_ANY, &type, &v, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    RegCloseKey(k);
}

TEST_F(registry_file, text_without_terminator_is_read_within_bounds)
{
    HKEY k = create();
    ASSERT_EQ(RegSetValueExA(k, "raw", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3), ERROR_SUCCESS);
    DWORD size = 0;
    ASSERT_EQ(RegGetValueA(k, nullptr, "raw", RRF_RT_REG_SZ, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 4u);
    char buf[4] = {'x', 'x', 'x', 'x'};
    size = 3;
    EXPECT_EQ(RegGetValueA(k, nullptr, "raw", RRF_RT_REG_SZ, nullptr, buf, &size), ERROR_MORE_DATA);
    EXPECT_EQ(buf[0], 'x');
    size = 4;
    EXPECT_EQ(RegGetValueA(k, nullptr, "raw", RRF_RT_REG_SZ, nullptr, buf, &size), ERROR_SUCCESS);
    EXPECT_STREQ(buf, "abc");
    RegCloseKey(k);
}

TEST_F(registry_file, rights_of_a_key_are_enforced)
{
    HKEY w = create();
    ASSERT_EQ(set_dword(w, "x", 1), ERROR_SUCCESS);
    HKEY r = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Quillbrook\\Veltrane", 0, KEY_READ, &r), ERROR_SUCCESS);
    EXPECT_EQ(set_dword(r, "x", 2), ERROR_ACCESS_DENIED);
    DWORD v = 0;
    EXPECT_EQ(get_dword(r, "x", v), ERROR_SUCCESS);
    EXPECT_EQ(v, 1u);
    RegCloseKey(r);
    RegCloseKey(w);
}

TEST_F(registry_file, file_is_private_and_relocatable)
{
    HKEY k = create();
    ASSERT_EQ(set_text(k, "mssqlp", "secret"), ERROR_SUCCESS);
    RegCloseKey(k);
    EXPECT_EQ(win_registry_file(), file_);
    struct stat sb;
    ASSERT_EQ(::stat(file_.c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0600u);
    EXPECT_FALSE(fs::exists(file_ + ".tmp"));

    // Without the variable the file lives under XDG_CONFIG_HOME.
    const std::string xdg = dir_ + "/config";
    const char* old_xdg = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = old_xdg ? old_xdg : "";
    unsetenv("DRAV_REGISTRY_FILE");
    setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
    EXPECT_EQ(win_registry_file(), xdg + "/drav/registry");
    k = create();
    std::string text;
    EXPECT_EQ(get_text(k, "mssqlp", text), ERROR_FILE_NOT_FOUND) << "a different file, a different store";
    ASSERT_EQ(set_text(k, "mssqlp", "other"), ERROR_SUCCESS);
    RegCloseKey(k);
    ASSERT_EQ(::stat((xdg + "/drav/registry").c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((xdg + "/drav").c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0700u);
    if (old_xdg)
        setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
    setenv("DRAV_REGISTRY_FILE", file_.c_str(), 1);
    k = create();
    EXPECT_EQ(get_text(k, "mssqlp", text), ERROR_SUCCESS);
    EXPECT_EQ(text, "secret");
    RegCloseKey(k);
}

TEST_F(registry_file, crash_before_rename_or_during_write_keeps_old_content)
{
    HKEY k = create();
    ASSERT_EQ(set_text(k, "src", "old"), ERROR_SUCCESS);
    const std::string before = read_text(file_);

    for (auto point : {win_registry_crash::during_write, win_registry_crash::before_rename}) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            win_registry_crash_at(point, 42);
            set_text(k, "src", "new value that never lands");
            _exit(1); // not reached when the crash point works
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 42);
        EXPECT_EQ(read_text(file_), before);
        std::string text;
        EXPECT_EQ(get_text(k, "src", text), ERROR_SUCCESS);
        EXPECT_EQ(text, "old");
    }
    // The leftover temporary file does not get in the way of the next write.
    ASSERT_EQ(set_text(k, "src", "new"), ERROR_SUCCESS);
    std::string text;
    EXPECT_EQ(get_text(k, "src", text), ERROR_SUCCESS);
    EXPECT_EQ(text, "new");
    EXPECT_FALSE(fs::exists(file_ + ".tmp"));
    RegCloseKey(k);
}

TEST_F(registry_file, two_processes_writing_lose_nothing)
{
    HKEY k = create();
    RegCloseKey(k);
    constexpr int per_child = 60;
    pid_t kids[2];
    for (int c = 0; c < 2; ++c) {
        kids[c] = fork();
        ASSERT_GE(kids[c], 0);
        if (kids[c] == 0) {
            HKEY mine = nullptr;
            if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Quillbrook\\Veltrane", 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &mine, nullptr) != ERROR_SUCCESS)
                _exit(2);
            for (int i = 0; i < per_child; ++i) {
                const std::string name = "p" + std::to_string(c) + "_" + std::to_string(i);
                const DWORD v = static_cast<DWORD>(c * 1000 + i);
                if (RegSetValueExA(mine, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4) !=
                    ERROR_SUCCESS)
                    _exit(3);
            }
            _exit(0);
        }
    }
    for (pid_t pid : kids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    k = create();
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < per_child; ++i) {
            const std::string name = "p" + std::to_string(c) + "_" + std::to_string(i);
            DWORD v = 0;
            ASSERT_EQ(get_dword(k, name.c_str(), v), ERROR_SUCCESS) << name;
            EXPECT_EQ(v, static_cast<DWORD>(c * 1000 + i));
        }
    RegCloseKey(k);
}

TEST_F(registry_file, damaged_file_is_reported_and_left_alone)
{
    {
        std::ofstream out(file_, std::ios::binary);
        out << "drav registry 1\n[HKEY_CURRENT_USER\\Software]\n\"half\"=dword:0001";
    }
    const std::string before = read_text(file_);
    HKEY k = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Quillbrook", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                              nullptr),
              ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(read_text(file_), before);
}

// Random-access files: reads at and past the end, padding, open modes, 64-bit offsets.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>

#include "TK/tk_errco.h"
#include "TK/tk_excep.h"
#include "TK/tk_file.h"
#include "tests/support/scratch.h"

namespace {

// The message of the tk_exception the call throws, "" when it throws none.
template <class F>
std::string failure_of(F&& f)
{
    try {
        f();
    } catch (const tk_exception& e) {
        EXPECT_EQ(e.level(), 1);
        return e.what();
    }
    return "";
}

} // namespace

TEST(TkFile, ReadsAtAndPastTheEnd)
{
    drav_test::scratch_dir dir{"drav-tk", drav_test::scratch_dir::plain_folder};
    const std::string path = dir.str("data.bin");
    drav_test::write_file(path, std::string("\x34\x12\x78\x56\xAB", 5));
    tk_stdio_file f(path, 0);
    EXPECT_EQ(f.get_length(), 5u);
    EXPECT_EQ(f.get_word_at(0), 0x1234);
    EXPECT_EQ(f.get_dword_at(0), 0x56781234u);
    EXPECT_EQ(f.get_byte_at(4), 0xAB) << "the last byte";
    const std::string read_error = tk_message(tk_msg_file_read);
    EXPECT_EQ(failure_of([&] { f.get_byte_at(5); }), read_error);
    EXPECT_EQ(failure_of([&] { f.get_dword_at(2); }), read_error) << "a value that runs past the end";
    char buf[8];
    EXPECT_EQ(failure_of([&] { f.get_at(std::numeric_limits<std::uint64_t>::max() - 1, 4, buf); }), read_error)
        << "offset plus length must not wrap around";
    EXPECT_EQ(failure_of([&] { f.get_at(1, std::numeric_limits<std::size_t>::max(), buf); }), read_error);
    EXPECT_EQ(f.get_at(5, 0, buf), buf) << "nothing at the very end is fine";
    // Still usable after the failures.
    EXPECT_EQ(f.get_byte_at(2), 0x78);
    EXPECT_EQ(failure_of([&] { f.put_at(0, "x", 1); }), tk_message(tk_msg_file_write)) << "opened read-only";
}

TEST(TkFile, OpenModes)
{
    drav_test::scratch_dir dir{"drav-tk", drav_test::scratch_dir::plain_folder};
    const std::string missing = dir.str("missing.bin");
    EXPECT_EQ(failure_of([&] { tk_stdio_file f(missing, 0); }), tk_message(tk_msg_file_bad_path));
    EXPECT_EQ(failure_of([&] { tk_stdio_file f(dir.str(), 0); }), tk_message(tk_msg_file_bad_path));
    EXPECT_EQ(failure_of([&] { tk_stdio_file f(dir.str(), tk_file_create); }), tk_message(tk_msg_file_open));
    EXPECT_FALSE(std::filesystem::exists(missing));

    {
        tk_stdio_file f(missing, tk_file_create);
        EXPECT_EQ(f.get_length(), 0u);
    }
    EXPECT_TRUE(std::filesystem::exists(missing));

    // Update mode keeps what is there, and may start a new file.
    drav_test::write_file(missing, "abc");
    {
        tk_stdio_file f(missing, tk_file_update);
        f.put_at(1, "X", 1);
    }
    EXPECT_EQ(drav_test::read_file(missing), "aXc");
    {
        tk_stdio_file f(dir.str("new.bin"), tk_file_update);
        f.put_at(0, "n", 1);
    }
    EXPECT_EQ(drav_test::read_file(dir.str("new.bin")), "n");

    // A relative name is made absolute.
    const std::string cwd = std::filesystem::current_path().string();
    std::filesystem::current_path(dir.str());
    {
        tk_stdio_file f("missing.bin", 0);
        EXPECT_EQ(f.name(), missing);
    }
    std::filesystem::current_path(cwd);
}

TEST(TkFile, WritesPadWithNulls)
{
    drav_test::scratch_dir dir{"drav-tk", drav_test::scratch_dir::plain_folder};
    const std::string path = dir.str("pad.bin");
    {
        tk_stdio_file f(path, tk_file_create);
        f.put_at(10, "data", 4);
        EXPECT_EQ(f.get_length(), 14u);
        char back[4];
        f.get_at(10, 4, back);
        EXPECT_EQ(std::string(back, 4), "data");
        f.put_at(2, "zz", 2);
    }
    EXPECT_EQ(drav_test::read_file(path), std::string("\0\0zz\0\0\0\0\0\0data", 14));
}

TEST(TkFile, OffsetsBeyondFourGigabytes)
{
    drav_test::scratch_dir dir{"drav-tk", drav_test::scratch_dir::plain_folder};
    const std::string path = dir.str("big.bin");
    const std::uint64_t far = (std::uint64_t{5} << 30) + 3; // past what 32 bits can address
    tk_stdio_file f(path, tk_file_create);
    try {
        f.put_at(far, "\xEF\xBE\xAD\xDE", 4);
    } catch (const tk_exception&) {
        GTEST_SKIP() << "the file system here cannot hold a 5 GB file";
    }
    EXPECT_EQ(f.get_length(), far + 4);
    EXPECT_EQ(f.get_dword_at(far), 0xDEADBEEFu);
    EXPECT_EQ(f.get_byte_at(far - 1), 0u);
    EXPECT_EQ(failure_of([&] { f.get_byte_at(far + 4); }), tk_message(tk_msg_file_read));
}

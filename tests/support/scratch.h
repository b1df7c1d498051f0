// A fresh working folder for one test, with the settings file kept inside it.
#pragma once
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace drav_test {

// The whole file as bytes ("" when it cannot be read).
inline std::string read_file(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Made empty for the running test and removed after it; while it lives it is the current
// folder and DRAV_REGISTRY_FILE points into it, so no test touches the user's settings.
class scratch_dir {
public:
    explicit scratch_dir(const std::string& prefix)
        : path_(std::filesystem::temp_directory_path() /
                (prefix + "-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name())),
          old_cwd_(std::filesystem::current_path())
    {
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
        ::setenv("DRAV_REGISTRY_FILE", (path_ / "registry").c_str(), 1);
        std::filesystem::current_path(path_);
    }
    ~scratch_dir()
    {
        std::error_code ec;
        std::filesystem::current_path(old_cwd_, ec);
        std::filesystem::remove_all(path_, ec);
        ::unsetenv("DRAV_REGISTRY_FILE");
    }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
    std::filesystem::path old_cwd_;
};

} // namespace drav_test

// Where the real Access files for tests live, and a skip when they are absent.
#pragma once
#include <cstdlib>
#include <filesystem>
#include <string>
#include <gtest/gtest.h>

namespace drav_test {

// Folder of the shared Access files; DRAV_TESTDATA in the environment wins.
inline std::string testdata_dir()
{
    if (const char* env = std::getenv("DRAV_TESTDATA"); env && *env)
        return env;
    return DRAV_TESTDATA_DIR;
}

// Full path of one file below the test data folder ("" when the folder is absent).
inline std::string testdata(const std::string& rel)
{
    std::filesystem::path p = std::filesystem::path(testdata_dir()) / rel;
    return std::filesystem::exists(p) ? p.string() : std::string();
}

} // namespace drav_test

// Skips the current test when the named test file is not there.
#define DRAV_TESTDATA_OR_SKIP(var, rel)                                        \
    const std::string var = ::drav_test::testdata(rel);                        \
    if (var.empty()) GTEST_SKIP() << "test data not found: " << (rel)

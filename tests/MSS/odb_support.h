// Helpers of the SQL Server client tests: a SQLite database behind the ODBC provider.
#pragma once
#include <filesystem>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/oledb/odbc_core.h"

namespace odb_test {

inline bool drivers_present()
{
    return odbc::driver_installed(L"SQLite3") && odbc::driver_installed(L"FreeTDS");
}

// Server text that makes the provider open a fresh SQLite database file.
inline std::wstring sqlite_server(const std::string& name)
{
    auto dir = std::filesystem::path(DRAV_BINARY_DIR) / "odbc_tmp";
    std::filesystem::create_directories(dir);
    auto p = dir / (name + "_" + std::to_string(::getpid()) + ".db");
    std::filesystem::remove(p);
    return L"DRIVER=SQLite3;Database=" + odbc::from_utf8(p.string());
}

} // namespace odb_test

#define ODB_NEED_DRIVERS()                                                       \
    if (!::odb_test::drivers_present()) GTEST_SKIP() << "SQLite3 or FreeTDS ODBC driver not installed"

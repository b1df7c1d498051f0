// The corpus files under a database password, their unprotected twins, and script comparison.
#pragma once
#include <string>

namespace drav_test {

// Every password-protected or encrypted file of the corpus opens with this password.
inline const char* const corpus_db_password = "password";

struct protected_file {
    const char* path;   // below the test data folder
    const char* twin;   // the same database without a password, or null
};

inline const protected_file protected_files[] = {
    {"mdb-reader/password/data/V2000_with-password.mdb", "mdb-reader/password/data/V2000_no-password.mdb"},
    {"mdb-reader/password/data/V2003_with-password.mdb", "mdb-reader/password/data/V2003_no-password.mdb"},
    {"mdb-reader/password/data/V2010_with-password.accdb", "mdb-reader/password/data/V2010_no-password.accdb"},
    {"mdb-reader/encryption/data/office-agile-4.4.accdb", nullptr},
    {"mdb-reader/encryption/data/office-agile-4.2.accdb", nullptr},
};

// A script without its opening comment, which names the file and the day it was written.
inline std::string script_body(const std::string& script)
{
    if (script.rfind("/*", 0) != 0)
        return script;
    const std::size_t end = script.find("*/");
    return end == std::string::npos ? script : script.substr(end + 2);
}

} // namespace drav_test

// Runs the independent T-SQL parser (tests/tools/tsql_check) over a script file.
#pragma once
#include <array>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>
#include <gtest/gtest.h>

namespace drav_test {

struct tsql_parse_result {
    bool available = false;           // parser installed (scripts/setup)
    bool ok = false;                  // every batch and the whole file parsed
    std::string errors;               // the parser's error lines
    std::vector<std::string> ids;     // bracketed identifiers, unescaped (UTF-8)
    std::vector<std::string> strings; // string literal values, unescaped (UTF-8)
};

inline std::string from_hex(const std::string& h)
{
    std::string r;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        r += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    return r;
}

inline tsql_parse_result tsql_parse_file(const std::string& path)
{
    tsql_parse_result res;
    const std::filesystem::path tool = std::filesystem::path(DRAV_SOURCE_DIR) / "tests/tools/tsql_check";
    if (!std::filesystem::exists(tool / "node_modules/antlr4ts-sql"))
        return res;
    const std::string cmd = "node '" + (tool / "check.js").string() + "' '" + path + "' 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return res;
    res.available = true;
    std::string out;
    std::array<char, 65536> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        out.append(buf.data(), n);
    const int rc = pclose(p);
    res.ok = rc == 0;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos)
            end = out.size();
        const std::string line = out.substr(start, end - start);
        if (line.rfind("ID ", 0) == 0)
            res.ids.push_back(from_hex(line.substr(3)));
        else if (line.rfind("STR ", 0) == 0)
            res.strings.push_back(from_hex(line.substr(4)));
        else if (line.rfind("BATCHES", 0) != 0 && !line.empty())
            res.errors += line + "\n";
        start = end + 1;
    }
    return res;
}

} // namespace drav_test

// Checks that a script file parses as T-SQL, batch by batch; skips the test when the
// parser is not installed.
#define EXPECT_TSQL_PARSES(path)                                                              \
    do {                                                                                      \
        const auto parsed_ = ::drav_test::tsql_parse_file(path);                              \
        if (!parsed_.available)                                                               \
            GTEST_SKIP() << "T-SQL parser not installed (run scripts/setup)";                 \
        EXPECT_TRUE(parsed_.ok) << parsed_.errors;                                            \
    } while (0)

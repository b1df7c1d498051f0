// Independent readers of the Access files the tests write: mdb-reader (tests/tools/mdb_check, npm)
// and Debian's mdbtools. Each check says whether its tool is installed, so tests can skip cleanly.
#pragma once
#include <array>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace drav_test {

// Runs a shell command; its output (stderr too) and exit status.
inline std::string run_command(const std::string& cmd, int* status = nullptr)
{
    std::string out;
    FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
    if (!p) {
        if (status) *status = -1;
        return out;
    }
    std::array<char, 65536> buf;
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
    int st = ::pclose(p);
    if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

inline std::string shell_quote(const std::string& s)
{
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// What mdb-reader read: row counts and rows (JSON arrays) per table, or the error it raised.
struct mdb_reader_result {
    bool available = false;
    bool ok = false;
    std::string error;
    std::map<std::string, long> counts;
    std::map<std::string, std::vector<std::string>> rows;
};

inline mdb_reader_result mdb_reader_read(const std::string& path)
{
    mdb_reader_result r;
    const auto tool = std::filesystem::path(DRAV_SOURCE_DIR) / "tests/tools/mdb_check";
    if (!std::filesystem::exists(tool / "node_modules/mdb-reader")) return r;
    r.available = true;
    int status = 0;
    const std::string out = run_command("node " + shell_quote((tool / "check.mjs").string()) + " " + shell_quote(path), &status);
    r.ok = status == 0;
    std::size_t start = 0;
    while (start < out.size()) {
        std::size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        const std::string line = out.substr(start, end - start);
        start = end + 1;
        if (line.rfind("ERR ", 0) == 0) {
            r.error += line + "\n";
        } else if (line.rfind("TABLE ", 0) == 0) {
            std::size_t sp = line.rfind(' ');
            r.counts[line.substr(6, sp - 6)] = std::stol(line.substr(sp + 1));
        } else if (line.rfind("ROW ", 0) == 0) {
            std::size_t br = line.find(" [");
            r.rows[line.substr(4, br - 4)].push_back(line.substr(br + 1));
        }
    }
    return r;
}

// mdbtools' view: mdb-ver, mdb-schema and mdb-export of one table succeed; the export's text.
struct mdbtools_result {
    bool available = false;
    bool ok = false;
    std::string version, schema, csv;
};

inline mdbtools_result mdbtools_read(const std::string& path, const std::string& table)
{
    mdbtools_result r;
    int status = 0;
    run_command("command -v mdb-export", &status);
    if (status != 0) return r;
    r.available = true;
    int s1 = 0, s2 = 0, s3 = 0;
    r.version = run_command("mdb-ver " + shell_quote(path), &s1);
    r.schema = run_command("mdb-schema " + shell_quote(path), &s2);
    r.csv = run_command("mdb-export " + shell_quote(path) + " " + shell_quote(table), &s3);
    r.ok = s1 == 0 && s2 == 0 && s3 == 0;
    return r;
}

} // namespace drav_test

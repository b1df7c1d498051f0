// A T-SQL server for live tests, named by TSQL_HOST, TSQL_PORT, TSQL_USER and TSQL_PASSWORD
// (the env file of the test server), and FreeTDS's script runners pointed at it.
#pragma once
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace drav_test {

struct tsql_server {
    std::string host, port, user, password;
    bool available() const { return !host.empty() && !port.empty() && !user.empty(); }
};

inline tsql_server tsql_server_from_env()
{
    tsql_server s;
    auto get = [](const char* name) {
        const char* v = std::getenv(name);
        return std::string(v ? v : "");
    };
    s.host = get("TSQL_HOST");
    s.port = get("TSQL_PORT");
    s.user = get("TSQL_USER");
    s.password = get("TSQL_PASSWORD");
    return s;
}

// The text between single quotes for the shell.
inline std::string shell_quote(const std::string& s)
{
    std::string r = "'";
    for (char c : s) {
        if (c == '\'')
            r += "'\\''";
        else
            r += c;
    }
    return r + "'";
}

inline bool tool_installed(const std::string& tool)
{
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

struct run_output {
    int status = -1;
    std::string text; // standard output and error
};

inline run_output run_command(const std::string& cmd)
{
    run_output r;
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p)
        return r;
    std::array<char, 65536> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        r.text.append(buf.data(), n);
    r.status = pclose(p);
    return r;
}

// Runs a script file through bsqldb (stops at the first error) or tsql (reads it as typed).
inline run_output run_script(const tsql_server& s, const std::string& tool, const std::string& path)
{
    if (tool == "bsqldb")
        return run_command("bsqldb -S " + shell_quote(s.host + ":" + s.port) + " -U " + shell_quote(s.user) +
                           " -P " + shell_quote(s.password) + " -i " + shell_quote(path));
    return run_command("TDSVER=7.4 tsql -H " + shell_quote(s.host) + " -p " + shell_quote(s.port) + " -U " +
                       shell_quote(s.user) + " -P " + shell_quote(s.password) + " < " + shell_quote(path));
}

// Does the runner's output show the text as a result value? Some servers hand a computed
// text column back as bytes, which the runner prints in hexadecimal.
inline bool output_shows(const std::string& out, const std::string& text)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex = "0x";
    for (unsigned char c : text) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return out.find(text) != std::string::npos || out.find(hex) != std::string::npos;
}

} // namespace drav_test

// Scripts with hostile values and names, as the tools that run them read them: every line a
// runner would act on is a separator the writer put there, and, on a live server through
// FreeTDS's tsql and bsqldb, every value arrives whole and nothing else runs.
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

#include "MSS/mss_dump.h"
#include "MSS/mss_util.h"
#include "TK/tk_utils.h"
#include "mss_test_env.h"
#include "tests/support/live_server.h"
#include "tests/support/scratch.h"
#include "tests/support/tsql_server.h"

namespace fs = std::filesystem;

namespace {

// Values that broke the script before: separators and runner commands after every kind of
// blank, sqlcmd variables, a NUL, quotes.
std::vector<std::wstring> hostile_values()
{
    std::vector<std::wstring> v;
    for (const wchar_t* blank : {L"", L" ", L"\t", L"\f", L"\v", L"\r", L"\f \v", L"\u00A0", L"\u3000"})
        v.push_back(std::wstring(L"x\n") + blank + L"GO\nCREATE TABLE canary (a INT)\n" + blank + L"go\n");
    v.push_back(L"a\r\n:r /etc/passwd\r\n!! touch canary\r\nexit\r\nquit\r\nreset\r\ned");
    v.push_back(L"line\u2028GO\u2029GO\x85GO");
    v.push_back(L"$(HOME) $(unclosed");
    v.push_back(std::wstring(L"nul\0inside", 10));
    v.push_back(L"'); CREATE TABLE canary (a INT); --");
    v.push_back(L"Dear Sir,\r\n\r\nthanks.\r\n");
    return v;
}

const std::wstring kHostileColumn = L"c\r\nGO\r\nDROP TABLE x\x1b[31m";

udb_schema runner_schema()
{
    udb_schema s(true);
    s.push_back(new t_ftd(4, L"a", VT_I4, false, false));
    s.push_back(new t_ftd(0, L"b", VT_BSTR, false, false));
    s.push_back(new t_ftd(4, kHostileColumn, VT_I4, false, false));
    return s;
}

void write_script(const std::string& path, const std::string& database, const std::wstring& table,
                  const std::vector<std::wstring>& values)
{
    mss_dump_options o;
    o.create_database = true;
    o.database_name = database;
    completed_dump db(std::wstring(path.begin(), path.end()), o);
    auto rs = db.create_table(table, runner_schema(), {});
    udb_record r;
    for (size_t i = 0; i < values.size(); ++i) {
        r.reset();
        r.push_back(new udb_field(L"a", 4, ole_variant(static_cast<int>(i + 1))));
        r.push_back(new udb_field(L"b", 0, ole_variant(values[i])));
        r.push_back(new udb_field(kHostileColumn, 4, ole_variant(7)));
        rs->append_record(r);
    }
}

bool is_break(wchar_t c)
{
    return c == L'\n' || c == L'\r' || c == L'\v' || c == L'\f' || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool is_space(wchar_t c)
{
    return std::iswspace(static_cast<wint_t>(c)) || c < 0x20 || c == 0xA0 || c == 0x3000 || c == 0xFEFF;
}

// The lines of the script that begin, after any blanks, with what a runner acts on; each
// given as its text up to the line's end.
std::vector<std::wstring> command_lines(const std::wstring& text)
{
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = start;
        while (end < text.size() && !is_break(text[end]))
            ++end;
        size_t i = start;
        while (i < end && is_space(text[i]))
            ++i;
        const std::wstring line = text.substr(i, end - i);
        std::wstring upper;
        for (wchar_t c : line)
            upper += static_cast<wchar_t>(std::towupper(c));
        for (const wchar_t* w : {L"GO", L":", L"!", L"EXIT", L"QUIT", L"RESET", L"ED"})
            if (upper.rfind(w, 0) == 0) {
                lines.push_back(line);
                break;
            }
        start = end + 1;
    }
    return lines;
}

class MssDumpRunners : public ::testing::Test {
protected:
    drav_test::scratch_dir dir{"mss_dump_runners"};
    mss_test_engine engine;
};

} // namespace

TEST_F(MssDumpRunners, EveryLineARunnerActsOnIsASeparatorOfTheWriter)
{
    const std::string hostile = (dir.path() / "hostile.sql").string();
    const std::string tame = (dir.path() / "tame.sql").string();
    const auto values = hostile_values();
    write_script(hostile, "h", L"t]x", values);
    write_script(tame, "h", L"t]x", std::vector<std::wstring>(values.size(), L"plain"));

    const auto lines = command_lines(tk_utf8_to_wstring(drav_test::read_file(hostile)));
    for (const auto& line : lines)
        EXPECT_EQ(line, L"GO") << tk_to_utf8(line);
    EXPECT_EQ(lines.size(), command_lines(tk_utf8_to_wstring(drav_test::read_file(tame))).size());
    const std::string text = drav_test::read_file(hostile);
    EXPECT_EQ(text.find('\0'), std::string::npos);
    EXPECT_EQ(text.find("$("), std::string::npos);
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    EXPECT_NE(text.find("[c__GO__DROP TABLE x_[31m]"), std::string::npos);
}

// The same scripts on a live server, run by both FreeTDS runners.
TEST_F(MssDumpRunners, ValuesArriveWholeThroughTsqlAndBsqldb)
{
    const auto server = drav_test::tsql_server_from_env();
    if (!server.available())
        GTEST_SKIP() << "no T-SQL server named by TSQL_HOST/TSQL_PORT/TSQL_USER/TSQL_PASSWORD";
    const auto values = hostile_values();
    const std::string database = "drav_runners_" + std::to_string(::getpid());
    // The scripts create and drop their database: in turn with the other live suites.
    drav_test::server_turn turn;
    for (const std::string tool : {"bsqldb", "tsql"}) {
        if (!drav_test::tool_installed(tool)) {
            ADD_FAILURE() << tool << " is not installed (freetds-bin)";
            continue;
        }
        const std::string script = (dir.path() / (tool + ".sql")).string();
        // The test server does not take "]]" inside a bracketed name (SQL Server does): the
        // live table's name has none; the offline test above covers it.
        write_script(script, database, L"t x", values);
        const auto run = drav_test::run_script(server, tool, script);
        EXPECT_EQ(run.text.find("Msg "), std::string::npos) << tool << ":\n" << run.text;

        // Each value compared, as bytes, with the same text spelled character by character.
        const std::string probe = (dir.path() / "probe.sql").string();
        std::ofstream(probe) << "SELECT 'NUL ' + CAST(DATALENGTH(N'a' + NCHAR(0)) AS VARCHAR(10))\nGO\n";
        const bool server_keeps_nul =
            drav_test::output_shows(drav_test::run_script(server, "bsqldb", probe).text, "NUL 2");
        std::string matches;
        for (size_t i = 0; i < values.size(); ++i) {
            std::string expr = "CAST(N'' AS NVARCHAR(MAX))";
            bool has_nul = false;
            for (wchar_t c : values[i]) {
                expr += " + NCHAR(" + std::to_string(static_cast<unsigned>(c)) + ")";
                has_nul = has_nul || c == 0;
            }
            // A server without NUL in text (PostgreSQL underneath) makes the whole value NULL.
            const std::string match = has_nul && !server_keeps_nul
                                          ? "[b] IS NULL"
                                          : "CAST([b] AS VARBINARY(MAX)) = CAST(" + expr + " AS VARBINARY(MAX))";
            matches += " OR ([a] = " + std::to_string(i + 1) + " AND " + match + ")";
        }
        const std::string check =
            "USE [" + database + "];\nGO\nSELECT 'MATCHED ' + CAST(COUNT(*) AS VARCHAR(10)) FROM [t x] WHERE 1=0" +
            matches + "\nGO\n" +
            "SELECT 'ALL ' + CAST(COUNT(*) AS VARCHAR(10)) FROM [t x]\nGO\n"
            "SELECT 'CANARY ' + CAST(COUNT(*) AS VARCHAR(10)) FROM sys.tables WHERE name LIKE 'canary%'\nGO\n"
            "SELECT 'COLUMN ' + CAST(COUNT(*) AS VARCHAR(10)) FROM sys.columns WHERE name = 'c__GO__DROP TABLE x_[31m'\nGO\n"
            "USE master;\nGO\nDROP DATABASE [" + database + "];\nGO\n";
        const std::string check_path = (dir.path() / (tool + "_check.sql")).string();
        std::ofstream(check_path) << check;
        const auto got = drav_test::run_script(server, "bsqldb", check_path);
        const std::string n = std::to_string(values.size());
        EXPECT_TRUE(drav_test::output_shows(got.text, "MATCHED " + n)) << tool << ":\n" << got.text;
        EXPECT_TRUE(drav_test::output_shows(got.text, "ALL " + n)) << tool << ":\n" << got.text;
        EXPECT_TRUE(drav_test::output_shows(got.text, "CANARY 0")) << tool << ":\n" << got.text;
        EXPECT_TRUE(drav_test::output_shows(got.text, "COLUMN 1")) << tool << ":\n" << got.text;
    }
}

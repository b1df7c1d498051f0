// The console program's direct road into the real T-SQL test server: what each mode does with an
// existing database and its tables. Runs when the server's environment is set (TSQL_HOST,
// TSQL_PORT, TSQL_USER, TSQL_PASSWORD: `set -a; . /tmp/tsql-server-PORT/env`), skips otherwise.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/live_server.h"
#include "tests/support/scratch.h"
#include "tests/support/testdata.h"
#include "tests/support/tsql_server.h"

namespace fs = std::filesystem;

namespace {

using drav_test::shell_quote;

class DravcliLive : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!server.available())
            GTEST_SKIP() << "no T-SQL test server (TSQL_HOST)";
        db = "drav_tidy_" + std::to_string(::getpid());
        drav_test::server_turn turn;
        sql("", "IF DB_ID('" + db + "') IS NOT NULL DROP DATABASE " + db);
        sql("", "CREATE DATABASE " + db);
    }
    void TearDown() override
    {
        if (!db.empty()) {
            drav_test::server_turn turn;
            sql("", "DROP DATABASE " + db);
        }
    }

    // Runs one statement with the FreeTDS batch tool; its output, or "ERROR" when it failed.
    std::string sql(const std::string& database, const std::string& statement)
    {
        const auto r = drav_test::run_command(
            "{ printf '%s\\n' " + shell_quote(statement) + " | bsqldb -q -S " +
            shell_quote(server.host + ":" + server.port) + " -U " + shell_quote(server.user) + " -P " +
            shell_quote(server.password) + (database.empty() ? "" : " -D " + shell_quote(database)) + " 2>/dev/null; }");
        return r.status == 0 ? r.text : "ERROR";
    }

    // Rows of a table of the test database; -1 when it does not exist.
    int rows(const std::string& table)
    {
        const std::string out = sql(db, "SELECT COUNT(*) FROM " + table);
        if (out == "ERROR")
            return -1;
        return std::atoi(out.c_str() + out.find_first_not_of(" \n"));
    }

    // One run of the console program into the test database; its exit status and output. Mode 0
    // drops and makes the database, which the server does one at a time.
    std::pair<int, std::string> convert(const std::string& src, int mode)
    {
        std::optional<drav_test::server_turn> turn;
        if (mode == 0)
            turn.emplace();
        const std::string cmd = "cd " + shell_quote(scratch.str()) + " && " +
                                shell_quote(std::string(DRAV_BINARY_DIR) + "/dravcli") + " --src=" + shell_quote(src) +
                                " --dest=" + shell_quote(db) + " --mode=" + std::to_string(mode) + " --mssqlh=" +
                                shell_quote(server.host + "," + server.port) + " --mssqlu=" + shell_quote(server.user) +
                                " --mssqlp=" + shell_quote(server.password) + " >out.txt 2>&1 </dev/null";
        const int status = std::system(cmd.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1000, drav_test::read_file(scratch.path() / "out.txt")};
    }

    // The source's Table1 (2 rows) stands in the database already with other columns and 5 rows;
    // Keep is a table the source does not have.
    void existing_tables()
    {
        sql(db, "CREATE TABLE Table1 (other int)");
        sql(db, "INSERT INTO Table1 VALUES (1),(2),(3),(4),(5)");
        sql(db, "CREATE TABLE Keep (x int)");
        sql(db, "INSERT INTO Keep VALUES (1)");
        ASSERT_EQ(rows("Table1"), 5);
    }

    const drav_test::tsql_server server = drav_test::tsql_server_from_env();
    drav_test::scratch_dir scratch{"dravcli-live"};
    std::string db;
};

const char* const source = "mdb-reader/data/V2003/test.mdb";

TEST_F(DravcliLive, OverwritingTheDatabaseDropsItWithEveryTable)
{
    DRAV_TESTDATA_OR_SKIP(src, source);
    existing_tables();
    const auto [code, out] = convert(src, 0);
    EXPECT_EQ(code, 0) << out;
    EXPECT_EQ(rows("Table1"), 2) << out;
    EXPECT_EQ(rows("Keep"), -1) << out;
}

TEST_F(DravcliLive, ReplacingTablesKeepsTheOthers)
{
    DRAV_TESTDATA_OR_SKIP(src, source);
    existing_tables();
    const auto [code, out] = convert(src, 1);
    EXPECT_EQ(code, 0) << out;
    EXPECT_EQ(rows("Table1"), 2) << out;
    EXPECT_EQ(rows("Keep"), 1);
    EXPECT_EQ(rows("Table2"), 0) << out;
}

TEST_F(DravcliLive, SkippingLeavesAnExistingTableAsItWas)
{
    DRAV_TESTDATA_OR_SKIP(src, source);
    existing_tables();
    const auto [code, out] = convert(src, 2);
    EXPECT_EQ(code, 0) << out;
    EXPECT_EQ(rows("Table1"), 5) << out;
    EXPECT_NE(sql(db, "SELECT other FROM Table1"), "ERROR");
    EXPECT_EQ(rows("Keep"), 1);
    EXPECT_EQ(rows("Table2"), 0) << out;
}

TEST_F(DravcliLive, CheckingAppendsToATableOfTheSameColumnsAndNamesEachRefusedRecord)
{
    DRAV_TESTDATA_OR_SKIP(src, source);
    const auto first = convert(src, 0);
    ASSERT_EQ(rows("Table1"), 2) << first.second;
    // The rows go into the table the first run made, where its primary key refuses them again.
    const auto [code, out] = convert(src, 3);
    EXPECT_NE(code, 0) << out;
    EXPECT_NE(out.find("Table1, record #1: "), std::string::npos) << out;
    EXPECT_NE(out.find("Table1, record #2: "), std::string::npos) << out;
    EXPECT_EQ(out.find("Table1, record #0"), std::string::npos) << out;
    EXPECT_EQ(out.find("Table1, record #3"), std::string::npos) << out;
    EXPECT_EQ(rows("Table1"), 2) << out;
}

TEST_F(DravcliLive, CheckingRefusesATableOfOtherColumnsAndKeepsItsRows)
{
    DRAV_TESTDATA_OR_SKIP(src, source);
    existing_tables();
    // A table of another column count ends the run (an error of level 1) before any row moves.
    const auto [code, out] = convert(src, 3);
    EXPECT_NE(code, 0) << out;
    EXPECT_NE(out.find("Table1: The structure of data source does not conform to the destination table."),
              std::string::npos) << out;
    EXPECT_EQ(rows("Table1"), 5) << out;
    EXPECT_EQ(rows("Keep"), 1);
}

} // namespace

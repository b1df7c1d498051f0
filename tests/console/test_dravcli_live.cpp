// The console program's direct road into the real T-SQL test server: what each mode does with an
// existing database and its tables. Runs when the server's environment is set (TSQL_HOST,
// TSQL_PORT, TSQL_USER, TSQL_PASSWORD: `set -a; . /tmp/tsql-server-PORT/env`), skips otherwise.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/dravcli_child.h"
#include "tests/support/live_server.h"
#include "tests/support/scratch.h"
#include "tests/support/testdata.h"
#include "tests/support/world_names.h"
#include "tests/support/writer_tables.h"

namespace fs = std::filesystem;

namespace {

std::string env(const char* name)
{
    const char* v = std::getenv(name);
    return v ? v : "";
}

std::string quote(const std::string& s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class DravcliLive : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (env("TSQL_HOST").empty())
            GTEST_SKIP() << "no T-SQL test server (TSQL_HOST)";
        db = "drav_tidy_" + std::to_string(::getpid());
        {
            drav_test::server_turn turn;
            sql("", "IF DB_ID('" + db + "') IS NOT NULL DROP DATABASE " + db);
            sql("", "CREATE DATABASE " + db);
        }
        use.emplace();
    }
    void TearDown() override
    {
        drav_test::server_turn turn;
        if (!db.empty())
            sql("", "DROP DATABASE " + db);
        if (!login.empty()) {
            // The program's session ends at the server a moment after the program: the login is
            // dropped when none of its sessions remains.
            const std::string sessions = "SELECT COUNT(*) FROM sys.dm_exec_sessions WHERE login_name = N'" + login + "'";
            for (int i = 0; i < 300 && sql("", sessions).find_first_not_of(" 0\n") != std::string::npos; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            EXPECT_NE(sql("", "DROP LOGIN [" + login + "]"), "ERROR");
        }
    }

    // Runs one statement with the FreeTDS batch tool; its output, or "ERROR" when it failed.
    std::string sql(const std::string& database, const std::string& statement)
    {
        std::string cmd = "printf '%s\\n' " + quote(statement) + " | bsqldb -q -S " +
                          quote(env("TSQL_HOST") + ":" + env("TSQL_PORT")) + " -U " + quote(env("TSQL_USER")) +
                          " -P " + quote(env("TSQL_PASSWORD")) + (database.empty() ? "" : " -D " + quote(database)) +
                          " 2>/dev/null";
        std::string out;
        FILE* p = ::popen(cmd.c_str(), "r");
        if (!p)
            return "ERROR";
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
            out.append(buf, n);
        return ::pclose(p) == 0 ? out : "ERROR";
    }

    // Rows of a table of the test database; -1 when it does not exist.
    int rows(const std::string& table)
    {
        const std::string out = sql(db, "SELECT COUNT(*) FROM " + table);
        if (out == "ERROR")
            return -1;
        return std::atoi(out.c_str() + out.find_first_not_of(" \n"));
    }

    // One run of the console program into the test database; its exit status and output.
    std::pair<int, std::string> convert(const std::string& src, int mode)
    {
        return convert_as(src, mode, env("TSQL_USER"), env("TSQL_PASSWORD"));
    }
    std::pair<int, std::string> convert_as(const std::string& src, int mode, const std::string& user,
                                           const std::string& password)
    {
        // Mode 0 drops and creates the database, which Babelfish does not do beside another.
        drav_test::server_turn turn;
        const std::string cmd = "cd " + quote(scratch.str()) + " && " + quote(std::string(DRAV_BINARY_DIR) + "/dravcli") +
                                " --src=" + quote(src) + " --dest=" + quote(db) + " --mode=" + std::to_string(mode) +
                                " --mssqlh=" + quote(env("TSQL_HOST") + "," + env("TSQL_PORT")) + " --mssqlu=" +
                                quote(user) + " --mssqlp=" + quote(password) + " >out.txt 2>&1 </dev/null";
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

    drav_test::scratch_dir scratch{"dravcli-live"};
    std::string db;
    std::string login;   // a login the test made, dropped after the database
    std::optional<drav_test::server_use> use;   // the whole test, but for its turns
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

TEST_F(DravcliLive, CheckingRefusesATableWhoseColumnCannotHoldTheSourceValues)
{
    DRAV_TESTDATA_OR_SKIP(src, source);
    // The source's Table1 column for column, but its first text column holds 3 characters, not 50:
    // the table is refused whole (the source's second row, "a", would fit), the run goes on.
    sql(db, "CREATE TABLE Table1 (A nvarchar(3), B nvarchar(100), C tinyint, D smallint, E int, F float, "
            "G datetime, H money, I bit NOT NULL)");
    sql(db, "INSERT INTO Table1 VALUES (N'old', N'row', 1, 1, 1, 1, '2000-01-01', 1, 1)");
    ASSERT_EQ(rows("Table1"), 1);
    const auto [code, out] = convert(src, 3);
    EXPECT_NE(code, 0) << out;
    EXPECT_NE(out.find("Table1: The structure of data source does not conform to the destination table."),
              std::string::npos) << out;
    EXPECT_EQ(out.find("Table1, record #"), std::string::npos) << out;
    EXPECT_EQ(rows("Table1"), 1) << out;
    EXPECT_EQ(rows("Table2"), 0) << out;
}

// A date-formatted column whose values hold times becomes DATETIME2 on the server too, and keeps
// them (a time-formatted one holding dates as well); an existing pure date or pure time column
// refuses such a column in the check mode, and the run says so.
TEST_F(DravcliLive, DateFormattedColumnsHoldingTimesKeepThemOnTheServer)
{
    const std::string src = (scratch.path() / "times.mdb").string();
    {
        auto w = drav_test::new_keyed_table(src, jet::file_format::jet4, L"Orders",
                                            {drav_test::counter_id(), drav_test::formatted_date(L"Ordered", L"Short Date"),
                                             drav_test::formatted_date(L"Shipped", L"Short Date"),
                                             drav_test::formatted_date(L"Starts", L"Long Time"),
                                             drav_test::formatted_date(L"Stamp", L"Medium Time")});
        auto date = [](double d) { return jet::value(jet::date_time{d}); };
        std::vector<jet::value> row{jet::value(), date(45352.4375), date(45353), date(0.25), date(45354.5)};
        w->append(L"Orders", row);
        w->flush();
    }
    const auto [code, out] = convert(src, 0);
    EXPECT_EQ(code, 0) << out;
    const std::string types = sql(db, "SELECT CAST(COLUMN_NAME + ':' + DATA_TYPE AS varchar(60)) FROM "
                                      "INFORMATION_SCHEMA.COLUMNS WHERE TABLE_NAME = 'Orders'");
    for (const char* want : {"Ordered:datetime2", "Shipped:date ", "Starts:time", "Stamp:datetime2"})
        EXPECT_NE(types.find(want), std::string::npos) << want << "\n" << types;
    const std::string kept =
        "SELECT CAST(CONVERT(varchar(19), Ordered, 120) + ' ' + CONVERT(varchar(19), Stamp, 120) AS varchar(40)) FROM Orders";
    EXPECT_NE(sql(db, kept).find("2024-03-01 10:30:00 2024-03-03 12:00:00"), std::string::npos) << sql(db, kept);

    // Mode 3 into a table whose column is a pure date, or a pure time: refused, nothing appended.
    for (const char* columns : {"Ordered date, Shipped date, Starts time, Stamp datetime2",
                                "Ordered datetime2, Shipped date, Starts time, Stamp time"}) {
        sql(db, "DROP TABLE Orders");
        sql(db, std::string("CREATE TABLE Orders (ID int, ") + columns + ")");
        const auto [refused, why] = convert(src, 3);
        EXPECT_NE(refused, 0) << columns << "\n" << why;
        EXPECT_NE(why.find("Orders: The structure of data source does not conform to the destination table."),
                  std::string::npos) << columns << "\n" << why;
        EXPECT_EQ(rows("Orders"), 0) << columns << "\n" << why;
    }
    // Into a table of dates and times it conforms and the times arrive.
    sql(db, "DROP TABLE Orders");
    sql(db, "CREATE TABLE Orders (ID int, Ordered datetime2, Shipped date, Starts time, Stamp datetime2)");
    const auto [merged, said] = convert(src, 3);
    EXPECT_EQ(merged, 0) << said;
    EXPECT_NE(sql(db, kept).find("2024-03-01 10:30:00 2024-03-03 12:00:00"), std::string::npos) << sql(db, kept);
}

// Straight into a server, too, the indexes it cannot hold are each named with table and reason, the
// others are made, and the run ends non-zero.
TEST_F(DravcliLive, IndexesTheServerCannotHoldAreNamedAndTheRunFails)
{
    const fs::path src = scratch.path() / "idx.mdb";
    drav_test::write_unindexable_table(src);
    const auto [code, out] = convert(src.string(), 0);
    EXPECT_EQ(code, 255) << out;
    for (const char* line :
         {"Flags: The index 'ByDone' was left out: an index on a Yes/No column ('Done') is not converted.\n",
          "Flags: The unique index 'LongKey' was left out: its key can pass 900 bytes, which is not converted.\n",
          "Flags: The index 'ByBody' was left out: an index on a memo or long binary column ('Body') is not converted.\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line << out;
    EXPECT_EQ(rows("Flags"), 3);
    // The names as the server keeps them (the test server: lower case, with a suffix).
    const std::string made = sql(db, "SELECT LOWER(CAST(name AS varchar(80))) FROM sys.indexes WHERE object_id = "
                                     "OBJECT_ID('Flags') AND name IS NOT NULL");
    EXPECT_NE(made.find("byname"), std::string::npos) << made;
    for (const char* gone : {"bydone", "longkey", "bybody"})
        EXPECT_EQ(made.find(gone), std::string::npos) << gone << "\n" << made;
}

// A value changed to fit the server is reported with its own row once that row is stored; a row
// the server refuses is reported once, for its refusal alone, and counted once. Rows of a round
// trip of several rows and rows sent alone (a long text) alike.
TEST_F(DravcliLive, AChangedValueIsReportedWithItsRowAndARefusedRowOnlyForItsRefusal)
{
    const std::string src = (scratch.path() / "changed.mdb").string();
    {
        auto w = drav_test::new_keyed_table(src, jet::file_format::jet4, L"N",
                                            {drav_test::counter_id(), drav_test::col(L"X", jet::column_type::double_),
                                             drav_test::col(L"M", jet::column_type::memo)});
        const double nan = std::numeric_limits<double>::quiet_NaN();
        const std::wstring long_text(300000, L'a');
        const std::pair<double, std::wstring> rows[] = {{1.5, L"a"}, {nan, L"b"}, {nan, L"c"},
                                                        {nan, long_text}, {nan, long_text}, {2.5, L"f"}};
        for (const auto& [x, m] : rows) {
            std::vector<jet::value> row{jet::value(), jet::value(x), jet::value(m)};
            w->append(L"N", row);
        }
        w->flush();
    }
    // Rows 2 and 4 are refused by the table the rows are appended to.
    sql(db, "CREATE TABLE N (ID int, X float, M nvarchar(max), CHECK (ID <> 2 AND ID <> 4))");
    const auto [code, out] = convert(src, 3);
    EXPECT_EQ(code, 255) << out;
    const auto count = [&out = out](const std::string& what) { return drav_test::occurrences(out, what); };
    EXPECT_EQ(count("Error:"), 4) << out;
    EXPECT_EQ(count("N, record #2: "), 1) << out;
    EXPECT_EQ(count("N, record #4: "), 1) << out;
    EXPECT_EQ(count("N, record #3: the value nan of column 'X' does not fit the server and was written as NULL"), 1)
        << out;
    EXPECT_EQ(count("N, record #5: the value nan of column 'X' does not fit the server and was written as NULL"), 1)
        << out;
    EXPECT_EQ(count("does not fit"), 2) << out;
    EXPECT_EQ(rows("N"), 4) << out;
}

// Braces, separators and blanks in a login's name and password must reach the server as typed,
// whatever the driver makes of a connection string (FreeTDS 1.3 ends a braced value at "};").
TEST_F(DravcliLive, ALoginWithBracesAndSeparatorsInNameAndPasswordConverts)
{
    DRAV_TESTDATA_OR_SKIP(src, source);
    login = "{drav_" + std::to_string(::getpid()) + "};u=1 x}";
    const std::string password = "{p}w; x=y {z}};q}";
    ASSERT_NE(sql("", "CREATE LOGIN [" + login + "] WITH PASSWORD = '" + password + "'"), "ERROR");
    ASSERT_NE(sql("", "ALTER SERVER ROLE sysadmin ADD MEMBER [" + login + "]"), "ERROR");
    const auto [code, out] = convert_as(src, 0, login, password);
    EXPECT_EQ(code, 0) << out;
    EXPECT_EQ(rows("Table1"), 2) << out;
    // The password is checked, not bypassed.
    const auto [refused, why] = convert_as(src, 0, login, password + "x");
    EXPECT_NE(refused, 0) << why;
    EXPECT_NE(why.find("Invalid user name or password."), std::string::npos) << why;
}

// The script written to standard output goes straight into a T-SQL runner: nothing but the
// script reaches it (the progress lines go to standard error), and every row arrives.
TEST_F(DravcliLive, TheSampleOnStandardOutputRunsInAScriptRunner)
{
    const std::string sample = std::string(DRAV_SOURCE_DIR) + "/examples/sample.mdb";
    const std::string cmd = "cd " + quote(scratch.str()) + " && (DRAV_REGISTRY_FILE=registry " +
                            quote(std::string(DRAV_BINARY_DIR) + "/dravcli") + " --src=" + quote(sample) +
                            " --script --dest=/dev/stdout 2>err.txt; echo $? >code.txt) | bsqldb -S " +
                            quote(env("TSQL_HOST") + ":" + env("TSQL_PORT")) + " -U " + quote(env("TSQL_USER")) +
                            " -P " + quote(env("TSQL_PASSWORD")) + " -D " + quote(db) + " >runner.txt 2>&1";
    const int status = std::system(cmd.c_str());
    const std::string runner = drav_test::read_file(scratch.path() / "runner.txt");
    EXPECT_EQ(status, 0) << runner;
    EXPECT_EQ(drav_test::read_file(scratch.path() / "code.txt"), "0\n");
    const std::string err = drav_test::read_file(scratch.path() / "err.txt");
    EXPECT_NE(err.find("Converting table Customers(4 records)\n"), std::string::npos) << err;
    EXPECT_NE(err.find("Converting table OrderLines(3 records)\n"), std::string::npos) << err;
    EXPECT_EQ(rows("Customers"), 4) << runner;
    EXPECT_EQ(rows("Products"), 3) << runner;
    EXPECT_EQ(rows("Orders"), 3) << runner;
    EXPECT_EQ(rows("OrderLines"), 3) << runner;
}

// A stop signal in the middle of a load: the run stops at its next row, says that the database
// holds only part of the source, and ends with 128 + the signal.
TEST_F(DravcliLive, AStoppedLoadSaysTheDatabaseHoldsOnlyPartOfIt)
{
    DRAV_TESTDATA_OR_SKIP(src, "bench/bench100k_V2003.mdb");
    fs::create_directories(scratch.path() / "tmp");
    drav_test::child_run run(scratch.path(), scratch.path() / "tmp",
                             {"--src=" + src, "--dest=" + db, "--mode=1", "--mssqlh=" + env("TSQL_HOST") + "," +
                              env("TSQL_PORT"), "--mssqlu=" + env("TSQL_USER"), "--mssqlp=" + env("TSQL_PASSWORD")});
    run.read_until("Converting table Big");
    ::kill(run.pid(), SIGTERM);
    EXPECT_EQ(run.finish(), 128 + SIGTERM) << run.out();
    const std::string err = drav_test::read_file(scratch.path() / "err.txt");
    EXPECT_NE(err.find("Stopped by signal 15\nThe conversion was cancelled: the destination holds only part of "
                       "the database.\n"),
              std::string::npos)
        << run.out() << err;
    EXPECT_LT(rows("Big"), 100000);
    EXPECT_TRUE(fs::is_empty(scratch.path() / "tmp"));
}

// A login that may open the database but not create tables in its schema: the user reads the
// server's own reason for each table, not a later "does not exist" of opening the table.
TEST_F(DravcliLive, ATableTheServerRefusesToCreateIsReportedWithTheServersReason)
{
    DRAV_TESTDATA_OR_SKIP(src, source);
    login = "drav_norights_" + std::to_string(::getpid());
    const std::string password = "No_rights_1433!";
    ASSERT_NE(sql("", "CREATE LOGIN [" + login + "] WITH PASSWORD = '" + password + "'"), "ERROR");
    ASSERT_NE(sql(db, "CREATE USER [" + login + "] FOR LOGIN [" + login + "]"), "ERROR");
    const auto [code, out] = convert_as(src, 1, login, password);
    EXPECT_NE(code, 0) << out;
    EXPECT_NE(out.find("Table1: "), std::string::npos) << out;
    EXPECT_NE(out.find("permission denied"), std::string::npos) << out;
    EXPECT_EQ(out.find("does not exist"), std::string::npos) << out;
    EXPECT_EQ(rows("Table1"), -1) << out;
}

// A value changed to fit the server is reported with its row when the row is stored as part of a
// batch, as when it goes alone: a batch of 250 rows stored whole; then, into a table that refuses
// one row, the batch refused, a statement of it stored whole and the rows of the refused one sent
// one by one. Every changed value is told once, with its record, and the run ends non-zero.
TEST_F(DravcliLive, ChangedValuesInRowsStoredInABatchAreReported)
{
    const std::string src = (scratch.path() / "batch.mdb").string();
    {
        auto w = drav_test::new_keyed_table(src, jet::file_format::jet4, L"B",
                                            {drav_test::counter_id(), drav_test::col(L"X", jet::column_type::double_),
                                             drav_test::col(L"W", jet::column_type::datetime)});
        for (int i = 1; i <= 250; ++i) {
            double x = i;
            double when = 45352.5 + i;
            if (i == 50)
                x = std::numeric_limits<double>::quiet_NaN();
            if (i == 150)
                x = std::numeric_limits<double>::max();
            if (i == 220)
                when = 2958466.5;   // past 9999-12-31
            std::vector<jet::value> row{jet::value(), jet::value(x), jet::value(jet::date_time{when})};
            w->append(L"B", row);
        }
        w->flush();
    }
    const char* const changed[] = {
        "B, record #50: the value nan of column 'X' does not fit the server and was written as NULL\n",
        "B, record #150: the value 1.7976931348623157e+308 of column 'X' does not fit the server and was written as "
        "1.7900000000000000e+308\n",
        "B, record #220: the value 2958466.5 days after 1899-12-30 of column 'W' does not fit the server and was "
        "written as NULL\n"};
    // Each changed value told once, and stored as changed.
    const auto each_change_told_and_stored = [&](const std::string& out) {
        for (const char* line : changed)
            EXPECT_EQ(drav_test::occurrences(out, line), 1) << line << out;
        EXPECT_EQ(rows("B WHERE X IS NULL"), 1);
        EXPECT_EQ(rows("B WHERE X > 1.78e308"), 1);
        EXPECT_EQ(rows("B WHERE W IS NULL"), 1);
    };

    const auto [code, out] = convert(src, 1);
    EXPECT_EQ(code, 255) << out;
    EXPECT_EQ(drav_test::occurrences(out, "Error:"), 3) << out;
    EXPECT_EQ(rows("B"), 250) << out;
    each_change_told_and_stored(out);

    // Statements of 100 rows: the first (rows 1-100) refused for row 30, its rows then one by one.
    sql(db, "DROP TABLE B");
    sql(db, "CREATE TABLE B (ID int, X float, W datetime2, CHECK (ID <> 30))");
    const auto [refused, said] = convert(src, 3);
    EXPECT_EQ(refused, 255) << said;
    EXPECT_EQ(drav_test::occurrences(said, "Error:"), 4) << said;
    EXPECT_EQ(drav_test::occurrences(said, "B, record #30: "), 1) << said;
    EXPECT_EQ(rows("B"), 249) << said;
    each_change_told_and_stored(said);
}

// Date-times keep their fraction of a second, and a date-formatted column holding a time before
// 1753 (years DATETIME cannot hold) becomes DATETIME2 and keeps it, straight into the server and
// through the script run by a T-SQL runner alike. A fraction finer than a millisecond is cut to
// the millisecond (59.9996 s stays in its minute); a time-formatted column keeps its fraction.
// Compared as seconds and microseconds: the test server prints fractions its own way.
TEST_F(DravcliLive, FractionsOfASecondAndEarlyDatesArriveAlikeOnBothRoads)
{
    const std::string src = (scratch.path() / "fractions.mdb").string();
    {
        auto w = drav_test::new_keyed_table(src, jet::file_format::jet4, L"Times",
                                            {drav_test::counter_id(), drav_test::col(L"Stamp", jet::column_type::datetime),
                                             drav_test::formatted_date(L"Ordered", L"Short Date"),
                                             drav_test::formatted_date(L"Starts", L"Long Time")});
        const double day = 45352, early = -72881;   // 2024-03-01, 1700-06-15
        auto at = [](double d, double seconds) {
            // Before 1899-12-30 the day counts down and the time of day still counts up.
            return jet::value(jet::date_time{d < 0 ? d - seconds / 86400 : d + seconds / 86400});
        };
        const double ten_thirty = 10 * 3600 + 30 * 60;
        const double rows[][3] = {{ten_thirty + 0.001, ten_thirty, 6 * 3600 + 0.001},
                                  {ten_thirty + 0.010, ten_thirty + 59.010, 6 * 3600 + 0.010},
                                  {ten_thirty + 0.999, 23 * 3600 + 59 * 60 + 59.999, 6 * 3600 + 0.999},
                                  {ten_thirty + 7.1234567, 1.25, 6 * 3600 + 7.1234567},
                                  {ten_thirty + 59.9996, 0.5, 6 * 3600 + 59.9996}};
        for (const auto& r : rows) {
            std::vector<jet::value> row{jet::value(), at(day, r[0]), at(early, r[1]), at(0, r[2])};
            w->append(L"Times", row);
        }
        w->flush();
    }
    const std::string read_back =
        "SELECT CONCAT(ID, ' ', CONVERT(varchar(19), Stamp, 120), ' ', DATEPART(microsecond, Stamp), ' | ', "
        "CONVERT(varchar(19), Ordered, 120), ' ', DATEPART(microsecond, Ordered), ' | ', CONVERT(varchar(8), Starts, 108), "
        "' ', DATEPART(microsecond, Starts), ';') FROM Times ORDER BY ID";
    const std::string types = "SELECT CONCAT(COLUMN_NAME, ':', DATA_TYPE, ';') FROM INFORMATION_SCHEMA.COLUMNS WHERE "
                              "TABLE_NAME = 'Times' ORDER BY ORDINAL_POSITION";
    const char* const want[] = {
        "1 2024-03-01 10:30:00 1000 | 1700-06-15 10:30:00 0 | 06:00:00 1000;",
        "2 2024-03-01 10:30:00 10000 | 1700-06-15 10:30:59 10000 | 06:00:00 10000;",
        "3 2024-03-01 10:30:00 999000 | 1700-06-15 23:59:59 999000 | 06:00:00 999000;",
        "4 2024-03-01 10:30:07 123000 | 1700-06-15 00:00:01 250000 | 06:00:07 123000;",
        "5 2024-03-01 10:30:59 999000 | 1700-06-15 00:00:00 500000 | 06:00:59 999000;"};

    const auto [code, out] = convert(src, 1);
    EXPECT_EQ(code, 0) << out;
    const std::string direct = sql(db, read_back), direct_types = sql(db, types);
    for (const char* row : want)
        EXPECT_NE(direct.find(row), std::string::npos) << row << "\n" << direct << out;
    for (const char* type : {"Stamp:datetime2;", "Ordered:datetime2;", "Starts:time;"})
        EXPECT_NE(direct_types.find(type), std::string::npos) << type << "\n" << direct_types;

    // The script of the same file, run by FreeTDS's runner into the same database (it drops and
    // makes the table again), leaves the same behind.
    const std::string cmd = "cd " + quote(scratch.str()) + " && DRAV_REGISTRY_FILE=registry " +
                            quote(std::string(DRAV_BINARY_DIR) + "/dravcli") + " --src=" + quote(src) +
                            " --script --dest=fractions.sql >script.txt 2>&1 && bsqldb -S " +
                            quote(env("TSQL_HOST") + ":" + env("TSQL_PORT")) + " -U " + quote(env("TSQL_USER")) +
                            " -P " + quote(env("TSQL_PASSWORD")) + " -D " + quote(db) +
                            " -i fractions.sql >runner.txt 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << drav_test::read_file(scratch.path() / "script.txt")
                                           << drav_test::read_file(scratch.path() / "runner.txt");
    EXPECT_EQ(sql(db, read_back), direct);
    EXPECT_EQ(sql(db, types), direct_types);
    EXPECT_EQ(rows("Times"), 5);
}

// A file in a folder, with a table, columns and an index named in the user's own letters, on the
// direct road: the index the server cannot hold is named as written; a table the server refuses to
// create (an object of its name stands there already) is named as written, with the server's reason.
TEST_F(DravcliLive, NamesInTheUsersOwnLettersArriveWholeInTheServersMessages)
{
    using namespace drav_test;
    fs::create_directory(scratch.path() / kWorldFolder);
    // Without blanks: the test server keeps explicit values of an identity column only in such tables.
    const std::wstring wide_table = L"Ums\u00e4tze_\u03a9\u03bc\u03ad\u03b3\u03b1_\u0416\u0451\u043b\u0442\u044b\u0439_\u8868\u683c_\U0001F600";
    const std::string src = kWorldFolder + "/" + kWorldFile, table = utf8(wide_table);
    write_world_table(scratch.path() / src, 3, wide_table);
    auto [code, out] = convert(src, 1);
    EXPECT_EQ(code, 255) << out;
    EXPECT_NE(out.find("Error:\n" + table + ": The index '" + utf8(kWorldIndex) + "' was left out: an index on a "
                       "memo or long binary column ('" + utf8(kWorldMemo) + "') is not converted.\n"),
              std::string::npos) << out;
    EXPECT_EQ(rows("[" + table + "]"), 3) << out;

    // Where the table should be, a view of its name: the server refuses each row, in its own words.
    ASSERT_NE(sql(db, "DROP TABLE [" + table + "]"), "ERROR");
    ASSERT_NE(sql(db, "CREATE VIEW [" + table + "] AS SELECT 1 AS x"), "ERROR");
    std::tie(code, out) = convert(src, 1);
    EXPECT_EQ(code, 255) << out;
    const std::size_t refused = out.find("Error:\n" + table + ", record #1: ");
    ASSERT_NE(refused, std::string::npos) << out;
    EXPECT_NE(out.find(table.substr(1), refused + table.size()), std::string::npos) << out;

    // Its rows lost: the damaged file is named as written.
    ASSERT_NE(sql(db, "DROP VIEW [" + table + "]"), "ERROR");
    lose_world_rows(scratch.path() / src, wide_table);
    std::tie(code, out) = convert(src, 1);
    EXPECT_EQ(code, 255) << out;
    EXPECT_NE(out.find("Error:\n" + table + ", record #1: The database file '" + src + "' is damaged or not readable: "
                       "table '" + table + "': page "),
              std::string::npos) << out;
}

} // namespace

// Straight into a server as into a script: an index that names a column twice is left out with
// the report of an index left out (the server would refuse it and the key be lost), and a text
// holding half a surrogate pair alone arrives with U+FFFD in its place, reported with its row.
TEST_F(DravcliLive, AnIndexNamingAColumnTwiceAndATextWithHalfAPairAreReported)
{
    const std::string src = (scratch.path() / "twice.mdb").string();
    {
        auto w = drav_test::new_keyed_table(src, jet::file_format::jet4, L"Twice",
                                            {drav_test::counter_id(), drav_test::col(L"Code", jet::column_type::text, 40)});
        w->add_index(L"Twice", drav_test::index(L"ByCode", {{L"Code", true}, {L"Code", false}}));
        for (const wchar_t* text : {L"first", L"half \xD800 pair", L"third"}) {
            std::vector<jet::value> row{jet::value(), jet::value(std::wstring(text))};
            w->append(L"Twice", row);
        }
        w->flush();
    }
    const auto [code, out] = convert(src, 0);
    EXPECT_EQ(code, 255) << out;
    EXPECT_NE(out.find("Twice: The index 'ByCode' was left out: it names the column 'Code' twice, which no server "
                       "takes.\n"),
              std::string::npos) << out;
    EXPECT_NE(out.find("Twice, record #2: the text of column 'Code' holds half a surrogate pair (U+D800) alone, which "
                       "is no character: it was written as U+FFFD\n"),
              std::string::npos) << out;
    EXPECT_EQ(rows("Twice"), 3);
    EXPECT_NE(sql(db, "SELECT COUNT(*) FROM Twice WHERE Code = N'half \xEF\xBF\xBD pair'").find('1'), std::string::npos);
    const std::string made = sql(db, "SELECT LOWER(CAST(name AS varchar(80))) FROM sys.indexes WHERE object_id = "
                                     "OBJECT_ID('Twice') AND name IS NOT NULL");
    EXPECT_EQ(made.find("bycode"), std::string::npos) << made;
}

// Whole conversions through the real reader into scripts, with the run's settings and error paths.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "TK/tk_errh.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_prof.h"
#include "common/acc_conv.h"
#include "tests/support/scratch.h"
#include "tests/support/recording_handler.h"
#include "tests/support/testdata.h"

namespace fs = std::filesystem;

namespace {

using drav_test::recording_handler;

class recording_frontend : public run_frontend {
public:
    void start_timer() override { ++timers; }
    void database_started(const std::wstring&, std::uint32_t n) override { entries = n; }
    void table_missing(const std::wstring& name) override { missing.push_back(name); }
    void table_started(const std::wstring& name, std::uint64_t) override { started.push_back(name); }
    void engine_required() override { ++engine; }
    void unexpected(const std::exception&) override { ++other; }
    void run_failed() override { failed = true; }

    int timers = 0, engine = 0, other = 0;
    std::uint32_t entries = 0;
    bool failed = false;
    std::vector<std::wstring> missing, started;
};

// Rows per table of the INSERT statements of a script, counted by a small T-SQL scanner that
// knows quoted literals and bracketed names.
std::map<std::string, int> script_rows(const std::string& script)
{
    std::map<std::string, int> rows;
    const std::string head = "INSERT INTO [dbo].[";
    for (std::size_t at = script.find(head); at != std::string::npos; at = script.find(head, at)) {
        std::size_t p = at + head.size();
        std::string table;
        while (p < script.size()) {
            if (script[p] == ']') {
                if (p + 1 < script.size() && script[p + 1] == ']') {
                    table += ']';
                    p += 2;
                    continue;
                }
                break;
            }
            table += script[p++];
        }
        p = script.find(") VALUES ", p);
        if (p == std::string::npos)
            break;
        p += 9;
        int depth = 0;
        bool quoted = false;
        for (; p < script.size(); ++p) {
            const char c = script[p];
            if (quoted) {
                if (c == '\'') {
                    if (p + 1 < script.size() && script[p + 1] == '\'')
                        ++p;
                    else
                        quoted = false;
                }
                continue;
            }
            if (c == '\'')
                quoted = true;
            else if (c == '(' && depth++ == 0)
                ++rows[table];
            else if (c == ')')
                --depth;
            else if (c == '\n' && depth == 0)
                break;
        }
        at = p;
    }
    return rows;
}

// Rows per table of an expected-values file.
std::map<std::string, int> expected_rows(const std::string& jsonl)
{
    std::map<std::string, int> rows;
    std::istringstream in(drav_test::read_file(jsonl));
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("\"row\":") == std::string::npos)
            continue;
        const std::string key = "{\"table\":\"";
        const std::size_t end = line.find('"', key.size());
        ++rows[line.substr(key.size(), end - key.size())];
    }
    return rows;
}

class Conversion : public ::testing::Test {
protected:
    // One script conversion with the given settings; returns the script text.
    std::string convert(dravlen_convertor& conv, const std::string& src, const char* out = "out.sql")
    {
        conv.set_frontend(&frontend);
        conv.source = tk_utf8_to_wstring(src);
        conv.destination = tk_utf8_to_wstring((dir / out).string());
        conv.direct = false;
        conv();
        return drav_test::read_file(dir / out);
    }

    drav_test::scratch_dir scratch{"conv"};
    const fs::path& dir = scratch.path();
    tk_logger logger{nullptr, false, 3, false};
    recording_handler handler;
    recording_frontend frontend;
};

} // namespace

TEST_F(Conversion, EveryRowOfEveryTableArrives)
{
    for (const char* rel : {"mdb-reader/data/V2003/test.mdb", "jackcess/V2003/testV2003.mdb",
                            "jackcess/V1997/testV1997.mdb", "jackcess/V2003/overflowTestV2003.mdb",
                            "mdb-reader/data/V2010/numeric.accdb", "mdb-reader/data/real/ASampleDatabase.accdb"}) {
        const std::string src = drav_test::testdata(rel);
        if (src.empty())
            GTEST_SKIP() << "test data not found: " << rel;
        dravlen_convertor conv(true);
        const std::string script = convert(conv, src);
        EXPECT_TRUE(conv.finished) << rel;
        EXPECT_EQ(conv.outcome(), run_outcome::succeeded) << rel;
        EXPECT_TRUE(handler.messages.empty()) << rel << ": " << handler.messages.front();

        const auto expected = expected_rows(drav_test::testdata(std::string("expected/values/") + rel + ".jsonl"));
        const auto got = script_rows(script);
        for (const auto& [table, count] : expected)
            EXPECT_EQ(got.count(table) ? got.at(table) : 0, count) << rel << " table " << table;
        // Progress is back at rest; the run list now holds the tables.
        EXPECT_EQ(conv.total_tables, 0u);
        EXPECT_EQ(conv.tables_done, 0u);
        EXPECT_FALSE(conv.selected_queries.empty());
    }
}

TEST_F(Conversion, DefinitionsOnlyAndSkipIndexes)
{
    DRAV_TESTDATA_OR_SKIP(src, "mdb-reader/data/V2003/test.mdb");
    {
        dravlen_convertor conv(true);
        conv.only_definitions = true;
        const std::string script = convert(conv, src, "defs.sql");
        EXPECT_NE(script.find("CREATE TABLE [dbo].[Table1]"), std::string::npos);
        EXPECT_EQ(script.find("INSERT INTO"), std::string::npos);
        EXPECT_NE(script.find("PRIMARY KEY"), std::string::npos);
    }
    {
        dravlen_convertor conv(true);
        conv.skip_indexes = true;
        const std::string script = convert(conv, src, "noidx.sql");
        EXPECT_NE(script.find("INSERT INTO [dbo].[Table1]"), std::string::npos);
        EXPECT_EQ(script.find("PRIMARY KEY"), std::string::npos);
        EXPECT_EQ(script.find("CREATE INDEX"), std::string::npos);
    }
}

TEST_F(Conversion, ModesOnAScriptKeepEveryTable)
{
    DRAV_TESTDATA_OR_SKIP(src, "mdb-reader/data/V2003/test.mdb");
    std::string reference;
    for (int mode = 0; mode <= 3; ++mode) {
        dravlen_convertor conv(true);
        conv.mode = mode;
        const std::string script = convert(conv, src, ("mode" + std::to_string(mode) + ".sql").c_str());
        EXPECT_TRUE(handler.messages.empty()) << "mode " << mode << ": " << (handler.messages.empty() ? "" : handler.messages.front());
        EXPECT_EQ(script_rows(script)["Table1"], 2) << "mode " << mode;
    }
}

TEST_F(Conversion, UserQueriesBecomeTables)
{
    DRAV_TESTDATA_OR_SKIP(src, "mdb-reader/data/V2003/test.mdb");
    dravlen_convertor conv(true);
    conv.selected_queries.emplace_back(L"Picked", L"SELECT A, C FROM Table1 WHERE C > 0");
    // Named like a table that is converted too: the second one gets another name.
    conv.selected_queries.emplace_back(L"Table1", L"SELECT B FROM Table1");
    conv.selected_tables = {L"Table1", L"Table2", L"table1"};
    conv.set_logfile((dir / "run.log").string());
    const std::string script = convert(conv, src);
    EXPECT_TRUE(handler.messages.empty()) << handler.messages.front();
    const auto rows = script_rows(script);
    EXPECT_EQ(rows.at("Picked"), 1);
    EXPECT_EQ(rows.at("Table1"), 2);
    // Four entries: two queries and two distinct tables.
    EXPECT_EQ(frontend.entries, 4u);
    const std::string log = drav_test::read_file(dir / "run.log");
    EXPECT_NE(log.find("Converting table Table1 (2 records)"), std::string::npos) << log;
    EXPECT_NE(log.find("Converting database "), std::string::npos);
    int tables = 0;
    for (const auto& [name, count] : rows)
        tables += count > 0;
    EXPECT_EQ(tables, 3);  // Picked, the query Table1 under a generated name, and the table Table1
}

TEST_F(Conversion, AFailingEntryDoesNotStopTheRun)
{
    DRAV_TESTDATA_OR_SKIP(src, "mdb-reader/data/V2003/test.mdb");
    dravlen_convertor conv(true);
    conv.selected_queries.emplace_back(L"Broken", L"SELECT FROM WHERE");
    conv.selected_tables = {L"Table1", L"Missing"};
    const std::string script = convert(conv, src);
    ASSERT_EQ(handler.messages.size(), 1u);
    EXPECT_EQ(handler.messages[0].rfind("Broken: ", 0), 0u) << handler.messages[0];
    EXPECT_FALSE(handler.finals[0]);
    EXPECT_EQ(frontend.missing, std::vector<std::wstring>{L"Missing"});
    EXPECT_EQ(script_rows(script)["Table1"], 2);
    EXPECT_TRUE(conv.finished);
    EXPECT_FALSE(frontend.failed);
    // The run went on, but the query and the missing table were not converted.
    EXPECT_EQ(handler.failures(), 2u);
    EXPECT_EQ(conv.outcome(), run_outcome::failed);

    // The next run starts its count afresh.
    dravlen_convertor again(true);
    again.selected_tables = {L"Table1"};
    convert(again, src, "again.sql");
    EXPECT_EQ(handler.failures(), 0u);
    EXPECT_EQ(again.outcome(), run_outcome::succeeded);
}

TEST_F(Conversion, AStopRequestEndsTheRunAsCancelled)
{
    DRAV_TESTDATA_OR_SKIP(src, "mdb-reader/data/V2003/test.mdb");
    dravlen_convertor conv(true);
    EXPECT_EQ(conv.outcome(), run_outcome::none);
    conv.request_stop();
    const std::string script = convert(conv, src);
    EXPECT_TRUE(conv.finished);
    EXPECT_EQ(conv.outcome(), run_outcome::cancelled);
    EXPECT_EQ(script.find("CREATE TABLE"), std::string::npos);

    // A stop that comes while a call outside any table waits (making or dropping the server's
    // database, say), whose error the cancel then raises: the run is cancelled, not failed, and
    // the error is not reported as one.
    struct stopped_in_a_call : recording_frontend {
        dravlen_convertor* conv = nullptr;
        void database_started(const std::wstring&, std::uint32_t) override
        {
            conv->request_stop();
            throw tk_exception("Operation canceled", 0);
        }
    } stopping;
    dravlen_convertor again(true);
    stopping.conv = &again;
    again.set_frontend(&stopping);
    again.source = tk_utf8_to_wstring(src);
    again.destination = tk_utf8_to_wstring((dir / "again.sql").string());
    again.direct = false;
    again();
    EXPECT_EQ(again.outcome(), run_outcome::cancelled);
    EXPECT_FALSE(stopping.failed);
    EXPECT_EQ(handler.messages, std::vector<std::string>());
    EXPECT_FALSE(fs::exists(dir / "again.sql"));
}

TEST_F(Conversion, RunScopeErrorsEndTheRunAndFinishIt)
{
    dravlen_convertor conv(true);
    std::ofstream(dir / "old.sql") << "kept";
    convert(conv, (dir / "missing.mdb").string(), "old.sql");
    ASSERT_EQ(handler.messages.size(), 1u);
    EXPECT_TRUE(handler.finals[0]);
    EXPECT_TRUE(conv.finished);
    EXPECT_TRUE(frontend.failed);
    EXPECT_EQ(conv.outcome(), run_outcome::failed);
    // Nothing was opened for writing.
    EXPECT_EQ(drav_test::read_file(dir / "old.sql"), "kept");
}

TEST_F(Conversion, CheckDestDeletesOnlyAfterTheSourceOpens)
{
    DRAV_TESTDATA_OR_SKIP(src, "mdb-reader/data/V2003/test.mdb");
    dravlen_convertor conv(true);
    conv.direct = false;
    conv.destination = (dir / "old.sql").wstring();
    std::ofstream(dir / "old.sql") << "kept";
    conv.source = (dir / "missing.mdb").wstring();
    EXPECT_THROW(conv.check_dest(), tk_exception);
    EXPECT_EQ(drav_test::read_file(dir / "old.sql"), "kept");

    conv.source = tk_utf8_to_wstring(src);
    conv.check_dest();
    EXPECT_FALSE(fs::exists(dir / "old.sql"));

    fs::create_directories(dir / "folder");
    try {
        common_check_dest((dir / "folder").wstring());
        ADD_FAILURE();
    } catch (const tk_exception& e) {
        EXPECT_STREQ(e.what(), "Destination name should specify a file, not folder.");
    }
    try {
        common_check_dest((dir / "nowhere" / "x.sql").wstring());
        ADD_FAILURE();
    } catch (const tk_exception& e) {
        EXPECT_STREQ(e.what(), "Destination path does not exist.\nPlease verify the correct path was given.");
    }
}

TEST_F(Conversion, SettingsInTheRegistry)
{
    {
        dravlen_convertor conv(false);
        // Load defaults on a first start.
        EXPECT_TRUE(conv.direct);
        EXPECT_FALSE(conv.secure_login);
        EXPECT_TRUE(conv.dump_options.unicode);
        EXPECT_TRUE(conv.dump_options.comments);
        EXPECT_FALSE(conv.dump_options.create_database);
        EXPECT_TRUE(conv.dump_options.create_table);
        EXPECT_FALSE(conv.only_definitions);
        EXPECT_FALSE(conv.use_workgroup);
        conv.source = L"C:\\data\\äöü.mdb";
        conv.host = L"server;x={y}";
        conv.direct = false;
        conv.dump_options.comments = false;
        conv.only_definitions = true;
    }
    {
        dravlen_convertor conv(false);
        EXPECT_EQ(conv.source, L"C:\\data\\äöü.mdb");
        EXPECT_EQ(conv.host, L"server;x={y}");
        EXPECT_FALSE(conv.direct);
        EXPECT_FALSE(conv.dump_options.comments);
        EXPECT_TRUE(conv.only_definitions);
        conv.dump_options.comments = true;
    }
    {
        // The console keeps only the script options; it never touches the rest.
        dravlen_convertor conv(true);
        EXPECT_TRUE(conv.source.empty());
        EXPECT_TRUE(conv.direct);
        EXPECT_TRUE(conv.dump_options.comments);
        conv.dump_options.create_database = true;
        conv.source = L"other.mdb";
    }
    dravlen_convertor conv(false);
    EXPECT_EQ(conv.source, L"C:\\data\\äöü.mdb");
    EXPECT_TRUE(conv.dump_options.create_database);
}

TEST_F(Conversion, ProfilesRoundTrip)
{
    dravlen_convertor conv(false);
    conv.source = L"a b.mdb";
    conv.destination = L"Target";
    conv.mode = 3;
    conv.host = L"host";
    conv.secure_login = false;
    conv.direct = false;
    conv.selected_queries = {{L"Q", L"SELECT *\r\nFROM T\nWHERE x='=[y]'"}, {L"T", L""}};
    ASSERT_TRUE(conv.store_profile_file((dir / "p.qel").wstring()));
    // Storing leaves the run list alone.
    EXPECT_EQ(conv.selected_queries.size(), 2u);
    EXPECT_EQ(conv.selected_queries[0].second, L"SELECT *\r\nFROM T\nWHERE x='=[y]'");

    const std::string text = drav_test::read_file(dir / "p.qel");
    EXPECT_NE(text.find("direct mode=0"), std::string::npos);
    EXPECT_NE(text.find("windows authentication=0"), std::string::npos);

    dravlen_convertor other(true);
    other.direct = true;
    ASSERT_TRUE(other.load_profile_file((dir / "p.qel").wstring()));
    EXPECT_EQ(other.source, L"a b.mdb");
    EXPECT_EQ(other.destination, L"Target");
    EXPECT_EQ(other.mode, 3);
    EXPECT_EQ(other.host, L"host");
    EXPECT_FALSE(other.secure_login);
    EXPECT_FALSE(other.direct);
    ASSERT_EQ(other.selected_queries.size(), 2u);
    EXPECT_EQ(other.selected_queries[0].second, L"SELECT * FROM T WHERE x='=[y]'");
    // Loading again does not double the lists.
    ASSERT_TRUE(other.load_profile_file((dir / "p.qel").wstring()));
    EXPECT_EQ(other.selected_queries.size(), 2u);

    udb_profile p;
    p.add_value(L"MS SQL Server settings", L"windows authentication", L"yes");
    other.secure_login = true;
    other.load_profile(p);
    EXPECT_FALSE(other.secure_login);
}

TEST_F(Conversion, ChoosingOnlyQueriesConvertsOnlyThoseQueries)
{
    DRAV_TESTDATA_OR_SKIP(src, "mdb-reader/data/V2003/test.mdb");
    dravlen_convertor conv(true);
    conv.selected_queries.emplace_back(L"Picked", L"SELECT A, C FROM Table1 WHERE C > 0");
    const std::string script = convert(conv, src);
    EXPECT_TRUE(handler.messages.empty()) << handler.messages.front();
    EXPECT_EQ(script_rows(script), (std::map<std::string, int>{{"Picked", 1}}));
    EXPECT_EQ(script.find("CREATE TABLE [dbo].[Table"), std::string::npos);
    EXPECT_EQ(frontend.entries, 1u);
}

TEST_F(Conversion, GeneratedNamesAreReservedSoNoTwoEntriesShareOne)
{
    DRAV_TESTDATA_OR_SKIP(src, "mdb-reader/data/V2003/test.mdb");
    dravlen_convertor conv(true);
    // Both queries are named like the table: each needs a generated name, and not the same one.
    conv.selected_queries.emplace_back(L"Table1", L"SELECT A FROM Table1 WHERE C > 0");
    conv.selected_queries.emplace_back(L"Table1", L"SELECT B FROM Table1");
    conv.selected_tables = {L"Table1"};
    const std::string script = convert(conv, src);
    EXPECT_TRUE(handler.messages.empty()) << handler.messages.front();
    const auto rows = script_rows(script);
    ASSERT_EQ(rows.size(), 3u) << script.substr(0, 2000);
    EXPECT_EQ(rows.count("Table1"), 1u);   // one of the three keeps the name, the others get new ones
    int one = 0, two = 0;
    for (const auto& [name, count] : rows) {
        EXPECT_NE(name.find("Table1"), std::string::npos) << name;
        one += count == 1;
        two += count == 2;
    }
    EXPECT_EQ(one, 1);   // the filtered query
    EXPECT_EQ(two, 2);   // the whole table and the unfiltered query
}

TEST_F(Conversion, ASourceChangedAfterItsCheckIsOpenedAgainBeforeAnythingIsDeleted)
{
    DRAV_TESTDATA_OR_SKIP(src, "mdb-reader/data/V2003/test.mdb");
    dravlen_convertor conv(true);
    conv.direct = false;
    conv.destination = (dir / "old.sql").wstring();
    conv.source = tk_utf8_to_wstring(src);
    std::ofstream(dir / "old.sql") << "first";
    conv.check_dest();
    EXPECT_FALSE(fs::exists(dir / "old.sql"));

    // Checked once; now the source is another, unreadable file: the script stays.
    std::ofstream(dir / "old.sql") << "kept";
    std::ofstream(dir / "garbage.mdb") << "not an Access file";
    conv.source = (dir / "garbage.mdb").wstring();
    EXPECT_THROW(conv.check_dest(), tk_exception);
    EXPECT_EQ(drav_test::read_file(dir / "old.sql"), "kept");
}

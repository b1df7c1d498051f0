// The direct road on a real T-SQL server, as a new user drives it: every shared Access file is
// converted straight into a fresh database, read back over ODBC and compared value by value with
// the expected files; the server holds the same after the direct road as after running the
// script; the overwrite and merge modes keep what each promises.
// Differences of the Babelfish test server that the checks name (SQL Server is held to the rest):
// - date-time values keep microseconds, not 100 ns (the comparison is to the millisecond anyway);
// - catalogue names come back lower-cased, so object names are compared ignoring case.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "common/acc_conv.h"
#include "MSS/mss_util.h"
#include "TK/tk_errh.h"
#include "support/live_reader.h"
#include "support/live_server.h"
#include "support/run_observers.h"
#include "support/sample.h"
#include "support/scratch.h"
#include "support/testdata.h"
#include "support/writer_tables.h"
#include "platform/jet/jet_writer.h"

namespace fs = std::filesystem;
using expected::json;
using namespace fidelity;

namespace {

using drav_test::quiet_frontend;
using drav_test::recording_handler;

std::wstring lower(std::wstring s)
{
    for (auto& c : s)
        c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return s;
}

class DirectLive : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto s = drav_test::live_mssql();
        if (!s)
            GTEST_SKIP() << "no live T-SQL server (DRAV_TEST_MSSQL_DSN / _SERVER)";
        live = *s;
        use.emplace();
    }
    void TearDown() override
    {
        for (const auto& db : made)
            drop(db);
    }

    // A run of the user's: the source into the named database, or into a script file when
    // `script` is set. Returns the run's reports.
    std::vector<std::string> run(const std::string& src, const std::wstring& db, int mode = 0,
                                 const fs::path& script = {}, const std::vector<std::wstring>& tables = {})
    {
        recording_handler handler;
        quiet_frontend frontend;
        {
            dravlen_convertor conv(true);
            conv.set_frontend(&frontend);
            conv.source = tk_utf8_to_wstring(src);
            conv.mode = mode;
            conv.selected_tables = tables;
            conv.direct = script.empty();
            if (conv.direct) {
                conv.destination = db;
                conv.host = live.server;
                conv.login = live.user;
                conv.password = live.password;
                live.connect(conv.engine, false);
                babelfish = drav_test::is_babelfish(conv.engine);
                if (std::find(made.begin(), made.end(), db) == made.end())
                    made.push_back(db);
            } else {
                conv.destination = tk_utf8_to_wstring(script.string());
            }
            conv.check_dest();
            conv();
            EXPECT_TRUE(conv.finished) << src;
        }
        EXPECT_FALSE(frontend.failed) << src;
        return handler.messages;
    }

    // Runs a script's GO batches in a fresh database. The test server loses track of a database
    // that is used while another one is being made ('schema "<db>_dbo" does not exist'): the
    // whole run takes its turn.
    void run_script(const fs::path& script, const std::wstring& db)
    {
        drav_test::server_turn turn;
        exec(L"master", L"CREATE DATABASE " + mss_quote_name(db));
        made.push_back(db);
        auto c = drav_test::live_connect(live, db);
        std::istringstream in(drav_test::read_file(script));
        std::string line, batch;
        auto flush = [&] {
            if (batch.find_first_not_of(" \r\n\t") != std::string::npos) {
                odbc::statement st(*c);
                st.execute_all(tk_utf8_to_wstring(batch));
            }
            batch.clear();
        };
        while (std::getline(in, line)) {
            std::string t = line;
            while (!t.empty() && (t.back() == '\r' || t.back() == ' '))
                t.pop_back();
            if (t == "GO")
                flush();
            else
                batch += line + "\n";
        }
        flush();
    }

    // A fresh, empty database.
    void create(const std::wstring& db)
    {
        drav_test::server_turn turn;
        exec(L"master", L"CREATE DATABASE " + mss_quote_name(db));
        made.push_back(db);
    }

    void exec(const std::wstring& db, const std::wstring& sql)
    {
        auto c = drav_test::live_connect(live, db);
        odbc::statement st(*c);
        st.execute_all(sql);
    }

    void drop(const std::wstring& db)
    {
        try {
            drav_test::server_turn turn;
            exec(L"master", L"DROP DATABASE " + mss_quote_name(db));
        } catch (const std::exception&) {
            // Already gone (mode 0 drops and makes it again) or never made.
        }
    }

    // The user tables of a database with their readable contents, by lower-cased name.
    std::map<std::wstring, std::wstring> tables_of(odbc::connection& c)
    {
        std::map<std::wstring, std::wstring> out;
        for (const auto& r : drav_test::live_rows(
                 c, L"SELECT TABLE_SCHEMA, TABLE_NAME FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_TYPE='BASE TABLE'"))
            out[lower(r[1])] = L"[" + r[0] + L"].[" + r[1] + L"]";
        return out;
    }

    drav_test::live_server live;
    std::optional<drav_test::server_use> use;   // the whole test, but for its turns
    std::vector<std::wstring> made;
    bool babelfish = false;
    tk_logger logger{nullptr, false, 3, false};
    drav_test::scratch_dir scratch{"live"};
};

// Compares the server's tables with one expected-values file; returns the number of values compared.
int compare_file(const std::string& rel, odbc::connection& c, const std::map<std::wstring, std::wstring>& tables)
{
    drav_test::live_table_reader reader(c);
    const auto lines = expected::read_lines(drav_test::testdata("expected/values/" + rel + ".jsonl"));
    std::map<std::wstring, std::vector<std::string>> types;
    std::map<std::wstring, drav_test::live_table> read;
    std::map<std::wstring, long> want_rows;
    int values = 0;
    for (const json& line : lines) {
        const std::wstring table = line["table"].text;
        if (line.get("error"))
            continue;
        if (line.get("columns")) {
            for (const json& col : line["columns"].items)
                types[table].push_back(narrow(col.items[1].text));
            auto at = tables.find(lower(table));
            if (at == tables.end())
                at = tables.find(lower(L"_" + table));
            if (at == tables.end()) {
                ADD_FAILURE() << rel << ": table " << narrow(table) << " missing on the server";
                continue;
            }
            read[table] = reader.read(at->second);
            want_rows[table] = 0;
            continue;
        }
        ++want_rows[table];
        auto t = read.find(table);
        if (t == read.end())
            continue;
        const long r = static_cast<long>(line["row"].number);
        if (r >= static_cast<long>(t->second.rows.size())) {
            ADD_FAILURE() << rel << " table " << narrow(table) << ": row " << r << " missing";
            continue;
        }
        const auto& got = t->second.rows[static_cast<std::size_t>(r)];
        const auto& want = line["values"].items;
        if (got.size() != want.size()) {
            ADD_FAILURE() << rel << " table " << narrow(table) << ": " << got.size() << " columns, expected "
                          << want.size();
            continue;
        }
        for (std::size_t i = 0; i < want.size(); ++i) {
            ++values;
            std::string type = types[table][i];
            // A decimal column without a fixed precision (a calculated one) is FLOAT on the server:
            // its values are the doubles nearest to the source's.
            if (type == "NUMERIC" && (t->second.types[i] == 6 || t->second.types[i] == 8))  // SQL_FLOAT, SQL_DOUBLE
                type = "DOUBLE";
            const std::string diff = compare(type, want[i], got[i]);
            EXPECT_TRUE(diff.empty()) << rel << " table " << narrow(table) << " row " << r << " column "
                                      << narrow(t->second.columns[i]) << " (" << types[table][i] << "): " << diff;
        }
    }
    for (const auto& [table, n] : want_rows)
        if (read.count(table)) {
            EXPECT_EQ(static_cast<long>(read[table].rows.size()), n) << rel << " table " << narrow(table);
        }
    return values;
}

// What a database holds, as comparable text: columns with types, nullability and defaults;
// identity columns; keys and indexes with their columns; every row.
std::vector<std::wstring> contents(odbc::connection& c)
{
    std::vector<std::wstring> out;
    auto add = [&](const std::wstring& what, const std::wstring& sql) {
        for (const auto& r : drav_test::live_rows(c, sql)) {
            std::wstring line = what;
            for (const auto& v : r)
                line += L" | " + lower(v);
            out.push_back(line);
        }
    };
    add(L"column",
        L"SELECT TABLE_NAME, COLUMN_NAME, ORDINAL_POSITION, DATA_TYPE, CHARACTER_MAXIMUM_LENGTH, NUMERIC_PRECISION, "
        L"NUMERIC_SCALE, DATETIME_PRECISION, IS_NULLABLE, COLUMN_DEFAULT FROM INFORMATION_SCHEMA.COLUMNS "
        L"ORDER BY TABLE_NAME, ORDINAL_POSITION");
    add(L"identity",
        L"SELECT t.name, c.name, CAST(c.seed_value AS bigint), CAST(c.increment_value AS bigint) FROM "
        L"sys.identity_columns c JOIN sys.tables t ON t.object_id = c.object_id ORDER BY t.name, c.name");
    add(L"index",
        L"SELECT t.name, i.is_unique, i.is_primary_key, i.has_filter, col.name, ic.key_ordinal FROM sys.indexes i "
        L"JOIN sys.tables t ON t.object_id = i.object_id JOIN sys.index_columns ic ON ic.object_id = i.object_id AND "
        L"ic.index_id = i.index_id JOIN sys.columns col ON col.object_id = ic.object_id AND col.column_id = "
        L"ic.column_id ORDER BY t.name, i.is_primary_key, i.is_unique, col.name, ic.key_ordinal");
    add(L"foreign key",
        L"SELECT OBJECT_NAME(fk.parent_object_id), OBJECT_NAME(fk.referenced_object_id), fk.delete_referential_action, "
        L"fk.update_referential_action FROM sys.foreign_keys fk ORDER BY 1, 2, 3, 4");
    for (const auto& r : drav_test::live_rows(
             c, L"SELECT TABLE_SCHEMA, TABLE_NAME FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_TYPE='BASE TABLE' "
                L"ORDER BY TABLE_NAME")) {
        drav_test::live_table t = drav_test::live_table_reader(c).read(L"[" + r[0] + L"].[" + r[1] + L"]");
        std::vector<std::wstring> rows;
        for (const auto& row : t.rows) {
            std::wstring line = L"row | " + lower(r[1]);
            for (const auto& v : row)
                line += L" | " + v.text;
            rows.push_back(line);
        }
        std::sort(rows.begin(), rows.end());
        out.insert(out.end(), rows.begin(), rows.end());
    }
    return out;
}

} // namespace

// One test a file, so that the files run side by side.
class DirectLiveFile : public DirectLive, public ::testing::WithParamInterface<std::string> {};

TEST_P(DirectLiveFile, ArrivesValueByValueAndEqualsTheScriptRoad)
{
    const std::string rel = GetParam();
    const std::string src = drav_test::testdata(rel);
    if (src.empty())
        GTEST_SKIP() << "test data not found: " << rel;
    // Into an empty database made beforehand (mode 1 then adds every table), so that the files
    // can convert side by side: the test server makes one database at a time.
    const std::wstring direct = drav_test::unique_db_name(L"drav_live_d");
    create(direct);
    std::vector<std::string> reports;
    {
        drav_test::server_turn turn;   // see run_script
        reports = run(src, direct, 1);
    }
    EXPECT_TRUE(reports.empty()) << rel << ": " << (reports.empty() ? "" : reports.front());
    auto dc = drav_test::live_connect(live, direct);
    const int values = compare_file(rel, *dc, tables_of(*dc));

    // The script of the same file, run on the server, leaves the same database behind.
    const fs::path script = scratch.path() / "out.sql";
    EXPECT_TRUE(run(src, std::wstring(), 0, script).empty()) << rel;
    const std::wstring by_script = drav_test::unique_db_name(L"drav_live_s");
    run_script(script, by_script);
    auto sc = drav_test::live_connect(live, by_script);
    const auto d = contents(*dc), s = contents(*sc);
    EXPECT_EQ(d.size(), s.size()) << rel;
    for (std::size_t i = 0; i < std::min(d.size(), s.size()); ++i)
        if (d[i] != s[i]) {
            ADD_FAILURE() << rel << " first difference: direct '" << narrow(d[i]) << "' script '" << narrow(s[i]) << "'";
            break;
        }
    std::printf("%s: %d values compared on the server\n", rel.c_str(), values);
}

std::string test_name(const ::testing::TestParamInfo<std::string>& info)
{
    std::string n;
    for (char c : info.param)
        n += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return n;
}

// Every file in the normal build; under the sanitizers a sample that still holds each format.
INSTANTIATE_TEST_SUITE_P(CorpusFile, DirectLiveFile,
                         ::testing::ValuesIn(drav_test::testdata("expected/values").empty()
                                                 ? std::vector<std::string>()
                                                 : drav_test::sample_of(value_files(), 7)),
                         test_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(DirectLiveFile);

// Merge mode takes a table whose GUID column the run itself made a uniqueidentifier column; the
// rows there stay.
TEST_F(DirectLive, MergeModeTakesATableWithAGuidColumn)
{
    DRAV_TESTDATA_OR_SKIP(src, "mdb-reader/data/V2003/test.mdb");
    const std::wstring db = drav_test::unique_db_name(L"drav_live_g");
    const std::vector<std::wstring> only{L"Table4"};
    {
        drav_test::server_turn turn;
        EXPECT_TRUE(run(src, db, 0, {}, only).empty());
    }
    exec(db, L"INSERT INTO dbo.Table4 (name, data) VALUES (N'kept', '6F9619FF-8B86-D011-B42D-00C04FC964FF')");
    const auto reports = run(src, db, 3, {}, only);
    EXPECT_TRUE(reports.empty()) << (reports.empty() ? "" : reports.front());
    auto c = drav_test::live_connect(live, db);
    EXPECT_EQ(drav_test::live_rows(*c, L"SELECT COUNT(*) FROM dbo.Table4 WHERE data = '6F9619FF-8B86-D011-B42D-00C04FC964FF'")
                  .at(0)
                  .at(0),
              L"1");
}

// What each mode keeps of a target that holds an edited row, an extra row and an extra table.
TEST_F(DirectLive, ModesKeepWhatTheyPromise)
{
    DRAV_TESTDATA_OR_SKIP(src, "mdb-reader/data/V2003/test.mdb");
    const std::wstring db = drav_test::unique_db_name(L"drav_live_m");
    const std::vector<std::wstring> only{L"Table1"};
    struct state {
        long rows, edited, extra;
        bool extra_table;
    };
    auto prepare = [&] {
        drav_test::server_turn turn;   // mode 0 drops and makes the database
        EXPECT_TRUE(run(src, db, 0, {}, only).empty());
        exec(db, L"UPDATE dbo.Table1 SET B = N'edited' WHERE A = N'a'; "
                 L"INSERT INTO dbo.Table1 (A, B) VALUES (N'extra', N'row'); "
                 L"CREATE TABLE dbo.Extra (x INT); INSERT INTO dbo.Extra VALUES (7)");
    };
    auto now = [&] {
        auto c = drav_test::live_connect(live, db);
        auto n = [&](const std::wstring& sql) { return std::stol(drav_test::live_rows(*c, sql).at(0).at(0)); };
        return state{n(L"SELECT COUNT(*) FROM dbo.Table1"), n(L"SELECT COUNT(*) FROM dbo.Table1 WHERE B = N'edited'"),
                     n(L"SELECT COUNT(*) FROM dbo.Table1 WHERE A = N'extra'"),
                     n(L"SELECT COUNT(*) FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_NAME = 'Extra'") == 1};
    };
    const struct {
        int mode;
        state want;
    } cases[] = {
        {0, {2, 0, 0, false}},   // the whole database anew
        {1, {2, 0, 0, true}},    // the source's tables anew, other tables kept
        {2, {3, 1, 1, true}},    // existing tables skipped
        {3, {3, 1, 1, true}},    // what is there kept; source rows its unique index refuses are reported
    };
    for (const auto& c : cases) {
        prepare();
        std::vector<std::string> reports;
        if (c.mode == 0) {
            drav_test::server_turn turn;
            reports = run(src, db, 0, {}, only);
        } else {
            reports = run(src, db, c.mode, {}, only);
        }
        if (c.mode == 3) {
            // Both source rows are already there by Table1's unique index: each is reported on
            // its own, with its number.
            ASSERT_EQ(reports.size(), 2u);
            EXPECT_NE(reports[0].find("Table1, record #1: "), std::string::npos) << reports[0];
            EXPECT_NE(reports[1].find("Table1, record #2: "), std::string::npos) << reports[1];
        } else {
            EXPECT_TRUE(reports.empty()) << "mode " << c.mode << ": " << (reports.empty() ? "" : reports.front());
        }
        const state s = now();
        EXPECT_EQ(s.rows, c.want.rows) << "mode " << c.mode;
        EXPECT_EQ(s.edited, c.want.edited) << "mode " << c.mode;
        EXPECT_EQ(s.extra, c.want.extra) << "mode " << c.mode;
        EXPECT_EQ(s.extra_table, c.want.extra_table) << "mode " << c.mode;
    }
}

// Long values go as parameters of their row's own statement, read from the field in pieces: a
// long memo (characters beyond the BMP, quotes, "?", line breaks, "$(") and long OLE values arrive
// exactly, beside a short row and a text full of parameter-marker look-alikes; a long row the
// server refuses is reported on its own with its number, and the other rows go on.
// Babelfish refuses the NUL character in text (PostgreSQL text cannot hold it): there the long memo
// with a NUL is refused and reported; SQL Server takes it.
TEST_F(DirectLive, LongValuesArriveExactlyAndARefusedOneIsReportedOnItsOwn)
{
    const std::string src = (scratch.path() / "long.mdb").string();
    std::wstring memo;
    const std::wstring piece = L"caf\u00e9 \U0001F600 it's ?-- /*?*/ [?] $(x)\r\n";
    while (memo.size() < 400000)
        memo += piece;
    const std::wstring memo_nul = memo + std::wstring(1, L'\0') + L"end";
    const jet::bytes ole = drav_test::noise_bytes(1500000);
    const std::wstring label = L"?'?[?]\"?\" -- ? /* ?";
    {
        auto w = drav_test::new_keyed_table(src, jet::file_format::jet4, L"Long",
                                            {drav_test::counter_id(), drav_test::col(L"Notes", jet::column_type::memo),
                                             drav_test::col(L"Picture", jet::column_type::ole),
                                             drav_test::col(L"Label", jet::column_type::text, 100)});
        auto append = [&](std::vector<jet::value> row) { w->append(L"Long", row); };
        append({jet::value(), jet::value(memo), jet::value(ole), jet::value(label)});
        append({jet::value(), jet::value(std::wstring(L"short")), jet::value(jet::bytes{1, 2}), jet::value(label)});
        append({jet::value(), jet::value(), jet::value(ole), jet::value()});
        append({jet::value(), jet::value(memo_nul), jet::value(), jet::value()});
        w->flush();
    }
    const std::wstring db = drav_test::unique_db_name(L"drav_live_l");
    {
        drav_test::server_turn turn;
        const auto reports = run(src, db);
        if (babelfish) {
            ASSERT_EQ(reports.size(), 1u);
            EXPECT_NE(reports[0].find("Long, record #4: "), std::string::npos) << reports[0];
        } else {
            EXPECT_TRUE(reports.empty()) << (reports.empty() ? "" : reports.front());
        }
    }
    auto c = drav_test::live_connect(live, db);
    {
        odbc::statement st(*c);
        ASSERT_TRUE(st.execute(L"SELECT Notes, Picture, Label FROM dbo.Long ORDER BY ID"));
        std::vector<odbc::row> rows;
        for (odbc::row r; st.fetch(r);)
            rows.push_back(r);
        ASSERT_EQ(rows.size(), babelfish ? 3u : 4u);
        EXPECT_TRUE(odbc::from_utf16(rows[0][0].text) == memo) << "the long memo differs";
        EXPECT_TRUE(rows[0][1].bytes == ole) << "the long OLE value differs";
        EXPECT_EQ(odbc::from_utf16(rows[0][2].text), label);
        EXPECT_EQ(odbc::from_utf16(rows[1][0].text), L"short");
        EXPECT_EQ(rows[1][1].bytes, (std::vector<unsigned char>{1, 2}));
        EXPECT_EQ(odbc::from_utf16(rows[1][2].text), label);
        EXPECT_TRUE(rows[2][0].null);
        EXPECT_TRUE(rows[2][1].bytes == ole) << "the second long OLE value differs";
        EXPECT_TRUE(rows[2][2].null);
        if (rows.size() > 3) {
            EXPECT_TRUE(odbc::from_utf16(rows[3][0].text) == memo_nul) << "the long memo with a NUL differs";
        }
    }
    // Merging again: the key refuses the rows that are there, each reported with its own number.
    exec(db, L"DELETE FROM dbo.Long WHERE ID = 3");
    const auto reports = run(src, db, 3);
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_NE(reports[0].find("Long, record #1: "), std::string::npos) << reports[0];
    EXPECT_NE(reports[1].find("Long, record #2: "), std::string::npos) << reports[1];
    EXPECT_NE(reports[2].find("Long, record #4: "), std::string::npos) << reports[2];
    EXPECT_EQ(drav_test::live_rows(*c, L"SELECT COUNT(*) FROM dbo.Long").at(0).at(0), babelfish ? L"3" : L"4");
}

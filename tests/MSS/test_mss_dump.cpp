// The T-SQL script destination: exact statements, batching, hostile names and values,
// and an independent T-SQL parser over every script written.
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <gtest/gtest.h>

#include "MSS/mss_dump.h"
#include "MSS/mss_util.h"
#include "TK/tk_excep.h"
#include "TK/tk_threa.h"
#include "mss_test_env.h"
#include "tests/support/scratch.h"
#include "tsql_check.h"

namespace fs = std::filesystem;

namespace {

const std::string kQuoted = "SET QUOTED_IDENTIFIER ON;\r\nGO\r\n";

class MssDump : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() /
              ("mss_dump_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        path = (dir / "shop.sql").string();
        plain.comments = false;
    }
    void TearDown() override
    {
        if (!getenv("MSS_KEEP_SCRIPTS"))
            fs::remove_all(dir);
    }

    std::wstring wpath() const { return std::wstring(path.begin(), path.end()); }

    std::string read() const
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    static int count(const std::string& text, const std::string& what)
    {
        int n = 0;
        for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + what.size()))
            ++n;
        return n;
    }

    fs::path dir;
    std::string path;
    mss_dump_options plain; // comments off
    mss_test_engine engine;
};

udb_schema items_schema()
{
    udb_schema s(true);
    s.push_back(new t_ftd(4, L"id", VT_I4, false, true));
    s.push_back(new t_ftd(50, L"name", VT_BSTR, true, false, ole_variant(std::wstring(L"x"))));
    s.push_back(new t_ftd(8, L"price", VT_R8, false, false, ole_variant(0)));
    s.push_back(new t_ftd(8, L"created", VT_DATE, false, false, ole_variant(std::wstring(L"Now()"))));
    return s;
}

udb_schema pair_schema(const std::wstring& a = L"a", const std::wstring& b = L"b")
{
    udb_schema s(true);
    s.push_back(new t_ftd(4, a, VT_I4, false, false));
    s.push_back(new t_ftd(20, b, VT_BSTR, false, false));
    return s;
}

void fill(udb_record& r, int n, const std::wstring& text, const std::wstring& a = L"a", const std::wstring& b = L"b")
{
    r.reset();
    r.push_back(new udb_field(a, 4, ole_variant(n)));
    r.push_back(new udb_field(b, 20, ole_variant(text)));
}

} // namespace

TEST_F(MssDump, HeaderWithDefaultOptions)
{
    mss_dump_options o;
    o.banner = "Veltrane 2.0";
    { completed_dump db(wpath(), o); }
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char date[32];
    std::snprintf(date, sizeof date, "%02d/%02d/%04d", local.tm_mon + 1, local.tm_mday, local.tm_year + 1900);
    const std::string expected = "/*\r\nFile name: " + path + "\r\nCreation date: " + date +
                                 "\r\nCreated by Veltrane 2.0\r\n" + std::string(50, '-') +
                                 "\r\nRun this script on Microsoft SQL Server to recreate the database.\r\n*/\r\n" +
                                 kQuoted;
    EXPECT_EQ(read(), expected);
    EXPECT_TSQL_PARSES(path);
}

TEST_F(MssDump, HeaderCommentCannotBeClosedByPathOrBanner)
{
    path = (dir / "a*/b /*c.sql").string();
    fs::create_directories(dir / "a*" / "b ");
    mss_dump_options o;
    o.banner = "evil */ DROP DATABASE x; /*";
    { completed_dump db(wpath(), o); }
    const std::string text = read();
    EXPECT_EQ(count(text, "*/"), 1) << text;
    EXPECT_NE(text.find("File name: " + dir.string() + "/a* /b / *c.sql\r\n"), std::string::npos) << text;
    EXPECT_TSQL_PARSES(path);
}

TEST_F(MssDump, DatabaseBlockNamedAfterTheFile)
{
    mss_dump_options o = plain;
    o.create_database = true;
    { completed_dump db(wpath(), o); }
    EXPECT_EQ(read(), "USE master;\r\nGO\r\n\r\n"
                      "if exists(select * from master.sys.databases where name='shop') DROP DATABASE [shop];\r\n"
                      "CREATE DATABASE [shop];\r\nGO\r\nUSE [shop];\r\nGO\r\n" + kQuoted);
    EXPECT_TSQL_PARSES(path);

    o.create_table = false; // the block needs both
    { completed_dump db(wpath(), o); }
    EXPECT_EQ(read(), kQuoted);

    o.create_table = true;
    o.database_name = "o'b]r";
    { completed_dump db(wpath(), o); }
    EXPECT_EQ(read(), "USE master;\r\nGO\r\n\r\n"
                      "if exists(select * from master.sys.databases where name='o''b]r') DROP DATABASE [o'b]]r];\r\n"
                      "CREATE DATABASE [o'b]]r];\r\nGO\r\nUSE [o'b]]r];\r\nGO\r\n" + kQuoted);
    const auto parsed = drav_test::tsql_parse_file(path);
    if (parsed.available) {
        EXPECT_TRUE(parsed.ok) << parsed.errors;
        EXPECT_EQ(std::count(parsed.ids.begin(), parsed.ids.end(), "o'b]r"), 3);
        EXPECT_EQ(std::count(parsed.strings.begin(), parsed.strings.end(), "o'b]r"), 1);
    }
}

TEST_F(MssDump, TableDefinitionAndDataComments)
{
    {
        completed_dump db(wpath(), plain);
        udb_indexes idx;
        idx.push_back(udb_index(L"pk", {L"price"}, true, true));
        auto rs = db.create_table(L"items", items_schema(), idx);
        EXPECT_TRUE(db.is_table_exist(L"[dbo].[items]"));
        EXPECT_EQ(db.get_tables(), std::vector<std::wstring>{L"[dbo].[items]"});
        EXPECT_THROW(db.create_table(L"items", items_schema(), idx), tk_exception);
    }
    EXPECT_EQ(read(), kQuoted +
                          "IF OBJECT_ID ('[dbo].[items]', 'U') IS NOT NULL\r\nDROP TABLE [dbo].[items];\r\nGO\r\n"
                          "CREATE TABLE [dbo].[items] (\r\n"
                          "\t[id] INT IDENTITY NOT NULL,\r\n"
                          "\t[name] NVARCHAR(50)  NOT NULL DEFAULT 'x',\r\n"
                          "\t[price] FLOAT NOT NULL DEFAULT 0,\r\n"
                          "\t[created] DATETIME2 DEFAULT getdate()\r\n"
                          ")\nGO\n");
    EXPECT_TSQL_PARSES(path);

    mss_dump_options o;
    { completed_dump db(wpath(), o); db.create_table(L"t", pair_schema(), {}); }
    const std::string text = read();
    EXPECT_NE(text.find("GO\r\n\r\n/*\r\nTable structure for table 't'\r\n*/\r\n\r\nIF OBJECT_ID"), std::string::npos);
    EXPECT_NE(text.find(")\nGO\n\r\n/*\r\nDumping data for table 't'\r\n*/\r\n\r\n"), std::string::npos);
    EXPECT_TSQL_PARSES(path);
}

TEST_F(MssDump, DefaultClauses)
{
    {
        completed_dump db(wpath(), plain);
        udb_schema s(true);
        s.push_back(new t_ftd(38, L"g", VT_BSTR, false, false, ole_variant(std::wstring(L"NEWID()")), 1));
        s.push_back(new t_ftd(8, L"d1", VT_DATE, false, false, ole_variant(), 9));
        s.push_back(new t_ftd(8, L"d2", VT_DATE, false, false, ole_variant(), 10));
        s.push_back(new t_ftd(8, L"d3", VT_DATE, false, false, ole_variant(std::wstring(L"getutcdate()"))));
        s.push_back(new t_ftd(8, L"d4", VT_DATE, false, false, ole_variant(std::wstring(L"2020-01-01"))));
        s.push_back(new t_ftd(10, L"t1", VT_BSTR, false, false, ole_variant(std::wstring(L"it's"))));
        s.push_back(new t_ftd(10, L"t2", VT_BSTR, false, false, ole_variant(std::wstring(L"Ωmega"))));
        s.push_back(new t_ftd(4, L"n1", VT_I4, false, false, ole_variant(std::wstring(L"0); DROP TABLE x; --"))));
        s.push_back(new t_ftd(2, L"b1", VT_BOOL, false, false, ole_variant(std::wstring(L"Yes"))));
        db.create_table(L"t", s, {});
    }
    const std::string text = read();
    EXPECT_NE(text.find("\t[g]  uniqueidentifier DEFAULT newid(),\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\t[d1] DATETIME2 DEFAULT CURRENT_TIMESTAMP,\r\n"), std::string::npos);
    EXPECT_NE(text.find("\t[d2] DATE DEFAULT getdate(),\r\n"), std::string::npos);
    EXPECT_NE(text.find("\t[d3] DATETIME2 DEFAULT getutcdate(),\r\n"), std::string::npos);
    EXPECT_NE(text.find("\t[d4] DATETIME2 DEFAULT '2020-01-01',\r\n"), std::string::npos);
    EXPECT_NE(text.find("\t[t1] NVARCHAR(10)  DEFAULT 'it''s',\r\n"), std::string::npos);
    EXPECT_NE(text.find("\t[t2] NVARCHAR(10)  DEFAULT N'\xCE\xA9mega',\r\n"), std::string::npos);
    EXPECT_NE(text.find("\t[n1] INT DEFAULT '0); DROP TABLE x; --',\r\n"), std::string::npos);
    EXPECT_NE(text.find("\t[b1] BIT DEFAULT 1\r\n"), std::string::npos);
    EXPECT_TSQL_PARSES(path);
}

TEST_F(MssDump, RowsInBatchesOfEleven)
{
    {
        completed_dump db(wpath(), plain);
        auto rs = db.create_table(L"t", pair_schema(), {});
        udb_record r;
        for (int i = 1; i <= 23; ++i) {
            fill(r, i, L"v" + std::to_wstring(i));
            rs->append_record(r);
        }
    }
    const std::string text = read();
    EXPECT_EQ(count(text, "INSERT INTO [dbo].[t] ([a], [b]) VALUES ("), 3);
    EXPECT_EQ(count(text, "), ("), 10 + 10);
    EXPECT_EQ(count(text, "IDENTITY_INSERT"), 0);
    EXPECT_NE(text.find("INSERT INTO [dbo].[t] ([a], [b]) VALUES (23, N'v23')\r\nGO\r\n\r\n"), std::string::npos);
    const std::string first = "INSERT INTO [dbo].[t] ([a], [b]) VALUES (1, N'v1'), (2, N'v2'), (3, N'v3'), "
                              "(4, N'v4'), (5, N'v5'), (6, N'v6'), (7, N'v7'), (8, N'v8'), (9, N'v9'), "
                              "(10, N'v10'), (11, N'v11')\r\nGO\r\n\r\n";
    EXPECT_NE(text.find(first), std::string::npos) << text;
    EXPECT_TSQL_PARSES(path);
}

TEST_F(MssDump, IdentityInsertOnlyAroundRowsOfAutoNumberTables)
{
    {
        completed_dump db(wpath(), plain);
        udb_schema s = pair_schema();
        s[0]->b_auto_num = true;
        { auto empty = db.create_table(L"e", s, {}); }
        auto rs = db.create_table(L"t", s, {});
        udb_record r;
        fill(r, 1, L"a");
        rs->append_record(r);
        fill(r, 2, L"b");
        rs->append_record(r);
    }
    const std::string text = read();
    EXPECT_EQ(count(text, "[dbo].[e]"), 3); // DROP block and CREATE only
    EXPECT_NE(text.find(")\nGO\nSET IDENTITY_INSERT [dbo].[t] ON;\r\nGO\r\n"
                        "INSERT INTO [dbo].[t] ([a], [b]) VALUES (1, N'a'), (2, N'b')\r\nGO\r\n\r\n"
                        "SET IDENTITY_INSERT [dbo].[t] OFF;\r\nGO\r\n"),
              std::string::npos)
        << text;
    EXPECT_TSQL_PARSES(path);
}

TEST_F(MssDump, CreateTableOffStillWritesRows)
{
    mss_dump_options o = plain;
    o.create_table = false;
    {
        completed_dump db(wpath(), o);
        auto rs = db.create_table(L"t", pair_schema(), {});
        udb_record r;
        fill(r, 1, L"a");
        rs->append_record(r);
    }
    EXPECT_EQ(read(), kQuoted + "INSERT INTO [dbo].[t] ([a], [b]) VALUES (1, N'a')\r\nGO\r\n\r\n");
    EXPECT_TSQL_PARSES(path);
}

TEST_F(MssDump, BigBinaryIsStreamedAndEndsItsStatement)
{
    plain.create_table = false;
    const size_t n = 2 * 1048576;
    std::vector<unsigned char> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<unsigned char>(i * 7);
    {
        completed_dump db(wpath(), plain);
        udb_schema s(true);
        s.push_back(new t_ftd(4, L"a", VT_I4, false, false));
        s.push_back(new t_ftd(0, L"b", VT_BLOB, false, false));
        s.push_back(new t_ftd(4, L"c", VT_I4, false, false));
        auto rs = db.create_table(L"t", s, {});
        udb_record r;
        r.push_back(new udb_field(L"a", 4, ole_variant(1)));
        r.push_back(new udb_field(L"b", 0, ole_variant(size_t(2), bytes.data())));
        r.push_back(new udb_field(L"c", 4, ole_variant(3)));
        rs->append_record(r);
        r.reset();
        r.push_back(new udb_field(L"a", 4, ole_variant(4)));
        r.push_back(new udb_field(L"b", 0, ole_variant(n, bytes.data())));
        r.push_back(new udb_field(L"c", 4, ole_variant(5)));
        rs->append_record(r);
        r.reset();
        r.push_back(new udb_field(L"a", 4, ole_variant(6)));
        r.push_back(new udb_field(L"b", 0, ole_variant(size_t(1), bytes.data() + 1)));
        r.push_back(new udb_field(L"c", 4, ole_variant(7)));
        rs->append_record(r);
    }
    const std::string text = read();
    std::string hex;
    hex.reserve(2 * n);
    static const char digits[] = "0123456789ABCDEF";
    for (unsigned char b : bytes) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    const std::string expected = kQuoted +
                                 "INSERT INTO [dbo].[t] ([a], [b], [c]) VALUES (1, 0x0007, 3)\r\n"
                                 ", (4, \r\n0x" + hex + ", 5)\r\nGO\r\n\r\n"
                                 "INSERT INTO [dbo].[t] ([a], [b], [c]) VALUES (6, 0x07, 7)\r\nGO\r\n\r\n";
    ASSERT_EQ(text.size(), expected.size());
    EXPECT_TRUE(text == expected);
    EXPECT_TSQL_PARSES(path);
}

TEST_F(MssDump, BigTextIsStreamedAsNationalLiteral)
{
    plain.create_table = false;
    std::wstring big(1048576 + 10, L'x');
    big[5] = L'\'';
    big[1048576] = L'\x00e9';
    {
        completed_dump db(wpath(), plain);
        auto rs = db.create_table(L"t", pair_schema(), {});
        udb_record r;
        r.push_back(new udb_field(L"a", 4, ole_variant(1)));
        r.push_back(new udb_field(L"b", 0, ole_variant(big)));
        rs->append_record(r);
    }
    std::string body = "xxxxx''" + std::string(1048576 - 6, 'x') + "\xC3\xA9" + std::string(9, 'x');
    EXPECT_EQ(read(), kQuoted + "INSERT INTO [dbo].[t] ([a], [b])\r\n VALUES (1, \r\nN'" + body + "')\r\nGO\r\n\r\n");
    EXPECT_TSQL_PARSES(path);
}

TEST_F(MssDump, IndexRules)
{
    {
        completed_dump db(wpath(), plain);
        udb_schema s(true);
        s.push_back(new t_ftd(4, L"id", VT_I4, true, false));
        s.push_back(new t_ftd(400, L"t1", VT_BSTR, false, false));
        s.push_back(new t_ftd(400, L"t2", VT_BSTR, false, false));
        s.push_back(new t_ftd(400, L"t3", VT_BSTR, false, false));
        s.push_back(new t_ftd(0, L"memo", VT_BSTR, false, false));
        s.push_back(new t_ftd(2, L"flag", VT_BOOL, false, false));
        udb_indexes idx;
        idx.push_back(udb_index(L"PrimaryKey", {L"id"}, true, true));
        idx.push_back(udb_index(L"wide", {L"t1", L"t2", L"t3"}, false, false));
        idx.push_back(udb_index(L"u12", {L"t1", L"t2"}, true, false));
        udb_index uc(L"uc", {L"t3"}, true, false);
        uc.unique_constraint = true;
        idx.push_back(uc);
        idx.push_back(udb_index(L"plain", {L"t2"}, false, false));
        idx.push_back(udb_index(L"memo_idx", {L"memo"}, false, false));
        idx.push_back(udb_index(L"flag_idx", {L"flag"}, false, false));
        idx.push_back(udb_index(L"none", {}, false, false));
        db.create_indexes(L"t", s, idx);
    }
    EXPECT_EQ(read(), kQuoted +
                          "ALTER TABLE [dbo].[t] ADD PRIMARY KEY([id]) \nGO\n"
                          "CREATE UNIQUE INDEX [u12] ON [dbo].[t]([t1], [t2])  WHERE [t1] IS NOT NULL AND [t2] IS NOT NULL\nGO\n"
                          "ALTER TABLE [dbo].[t] ADD CONSTRAINT [uc] UNIQUE ([t3]) \nGO\n"
                          "CREATE INDEX [plain] ON [dbo].[t]([t2]) \nGO\n");
    EXPECT_TSQL_PARSES(path);
}

TEST_F(MssDump, ClusteredIndexOnAzure)
{
    mss_test_engine azure(true, 100);
    {
        completed_dump db(wpath(), plain);
        udb_schema s(true);
        s.push_back(new t_ftd(0, L"memo", VT_BSTR, false, false));
        s.push_back(new t_ftd(4, L"n", VT_I4, false, false));
        db.create_table(L"t", s, {});
        db.create_indexes(L"t", s, {});
        udb_indexes pk;
        pk.push_back(udb_index(L"pk", {L"n"}, true, true));
        db.create_table(L"u", s, pk);
        db.create_indexes(L"u", s, pk);
    }
    const std::string text = read();
    EXPECT_NE(text.find("CREATE CLUSTERED INDEX [n_clust_idx] ON [t]([n])\nGO\n"), std::string::npos) << text;
    EXPECT_EQ(count(text, "CLUSTERED"), 1); // the primary key already clusters u
    EXPECT_TSQL_PARSES(path);
}

TEST_F(MssDump, HostileNamesAndValuesStayIntact)
{
    const std::wstring table = L"we]ird'; --*/ /*\r\nname";
    const std::wstring col_a = L"c]ol'; --";
    const std::wstring col_b = L"*/b\nx";
    const std::wstring value = L"it's ]; -- */ /* \r\n end";
    {
        mss_dump_options o;
        o.create_database = true;
        o.database_name = "db'; DROP DATABASE x; --]";
        completed_dump db(wpath(), o);
        udb_schema s = pair_schema(col_a, col_b);
        s[1]->def_value = ole_variant(value);
        udb_indexes idx;
        idx.push_back(udb_index(L"i]x'", {col_a, col_b}, true, false));
        auto rs = db.create_table(table, s, idx);
        udb_record r;
        fill(r, 1, value, col_a, col_b);
        rs->append_record(r);
        rs.reset();
        db.create_indexes(table, s, idx);
        db.create_schema(L"sch]'ema");
        db.create_sequences({udb_sequence(L"sch]'ema.se'q", 1, 2, 0, 100, true)});
        db.create_views({{L"v]'iew", L"SELECT `a` FROM t WHERE x = 'it''s `q`'"}});
        db.relationships.push_back(udb_relationship(L"f]k'", L"", table, L"pa]rent", {col_a}, {L"i]d"},
                                                    L" ON DELETE CASCADE "));
        db.create_relationships(db.relationships);
        db.delete_idx(table, L"i]x'");
        db.delete_fk(L"f]k'");
    }
    const auto parsed = drav_test::tsql_parse_file(path);
    if (!parsed.available)
        GTEST_SKIP() << "T-SQL parser not installed (run scripts/setup)";
    ASSERT_TRUE(parsed.ok) << parsed.errors << "\n" << read();
    auto has_id = [&](const std::wstring& w) {
        return std::find(parsed.ids.begin(), parsed.ids.end(), mss_to_utf8(w)) != parsed.ids.end();
    };
    auto has_str = [&](const std::wstring& w) {
        return std::find(parsed.strings.begin(), parsed.strings.end(), mss_to_utf8(w)) != parsed.strings.end();
    };
    // Line breaks in names arrive as "_": the script holds no raw line break inside a name.
    EXPECT_TRUE(has_id(L"we]ird'; --*/ /*__name"));
    EXPECT_TRUE(has_id(col_a));
    EXPECT_TRUE(has_id(L"*/b_x"));
    EXPECT_TRUE(has_id(L"i]x'"));
    EXPECT_TRUE(has_id(L"f]k'"));
    EXPECT_TRUE(has_id(L"sch]'ema"));
    EXPECT_TRUE(has_id(L"se'q"));
    EXPECT_TRUE(has_id(L"v]'iew"));
    EXPECT_TRUE(has_id(L"db'; DROP DATABASE x; --]"));
    EXPECT_TRUE(has_str(value));                            // the row's value and the default
    EXPECT_TRUE(has_str(L"[dbo].[" + std::wstring(L"we]]ird'; --*/ /*__name") + L"]")); // OBJECT_ID argument
    EXPECT_TRUE(has_str(L"db'; DROP DATABASE x; --]"));
    EXPECT_EQ(std::count(parsed.strings.begin(), parsed.strings.end(), mss_to_utf8(value)), 2);
    const std::string text = read();
    EXPECT_NE(text.find("ON DELETE CASCADE;\r\nGO\r\n"), std::string::npos); // one rule alone is kept
    EXPECT_NE(text.find("SELECT [a] FROM t WHERE x = 'it''s `q`'"), std::string::npos);
}

TEST_F(MssDump, RowErrorsLeaveNoHalfStatement)
{
    {
        completed_dump db(wpath(), plain);
        auto rs = db.create_table(L"t", pair_schema(), {});
        udb_record r;
        fill(r, 1, L"ok");
        rs->append_record(r);
        udb_record narrow;
        narrow.push_back(new udb_field(L"a", 4, ole_variant(2)));
        try {
            rs->append_record(narrow);
            ADD_FAILURE() << "no error for a record of the wrong width";
        } catch (const tk_exception& e) {
            EXPECT_EQ(e.level(), 0);
            EXPECT_STREQ(e.what(), "The structure of data source does not conform to the destination table.");
        }
        udb_record renamed;
        fill(renamed, 3, L"bad", L"a", L"zzz");
        try {
            rs->append_record(renamed);
            ADD_FAILURE() << "no error for a record without the column";
        } catch (const tk_exception& e) {
            EXPECT_EQ(e.level(), 0);
            EXPECT_EQ(std::string(e.what()).rfind("Generic error occurred while migrating the data.", 0), 0u);
        }
        // A row with a value to stream is checked before any of it reaches the file.
        const std::vector<unsigned char> big(1048577, 0xAB);
        udb_record streamed;
        streamed.push_back(new udb_field(L"a", 4, ole_variant(big.size(), big.data())));
        streamed.push_back(new udb_field(L"zzz", 20, ole_variant(L"x")));
        EXPECT_THROW(rs->append_record(streamed), tk_exception);
        fill(r, 4, L"ok2");
        rs->append_record(r);
    }
    const std::string text = read();
    EXPECT_NE(text.find(")\nGO\nINSERT INTO [dbo].[t] ([a], [b]) VALUES (1, N'ok'), (4, N'ok2')\r\nGO\r\n\r\n"),
              std::string::npos)
        << text;
    EXPECT_TSQL_PARSES(path);
}

TEST_F(MssDump, FileErrorsAreLevelOne)
{
    const std::wstring missing = (dir / "no/such/dir/x.sql").wstring();
    try {
        completed_dump db(missing, plain);
        ADD_FAILURE() << "no error for a file that cannot be created";
    } catch (const tk_exception& e) {
        EXPECT_EQ(e.level(), 1);
        EXPECT_NE(std::string(e.what()).find((dir / "no/such/dir/x.sql").string()), std::string::npos);
    }
    // Not a plain file: a device or a FIFO is never written into.
    ::mkfifo((dir / "fifo.sql").c_str(), 0600);
    for (const fs::path& p : {fs::path("/dev/full"), dir / "fifo.sql"}) {
        if (!fs::exists(p))
            continue;
        try {
            completed_dump db(p.wstring(), plain);
            ADD_FAILURE() << "no error for " << p;
        } catch (const tk_exception& e) {
            EXPECT_EQ(e.level(), 1);
            EXPECT_NE(std::string(e.what()).find(p.string()), std::string::npos);
        }
    }
}

// The file system full (here: the file-size limit, which the user is told of as a full disk)
// while the script is written: every write from the failed one on is a level-1 error that names
// the file and the reason, and the cut script is removed, as the script's end says.
TEST_F(MssDump, DiskFullIsAnErrorAndTheCutScriptGoes)
{
    struct rlimit old_limit;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old_limit;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string first_error;
    int errors = 0;
    mss_script_end end = mss_script_end::completed;
    {
        mss_dmp_database db(wpath(), plain, false, &end);
        EXPECT_EQ(end, mss_script_end::none);
        // The failure shows when the buffered text reaches the file: on a row, or at the end.
        try {
            auto rs = db.create_table(L"t", pair_schema(), {});
            udb_record r;
            for (int i = 0; i < 2000; ++i) {
                fill(r, i, L"a value of some length");
                rs->append_record(r);
            }
            rs.reset();
            db.finish();
        } catch (const tk_exception& e) {
            first_error = e.what();
            EXPECT_EQ(e.level(), 1);
            ++errors;
        }
        EXPECT_THROW(db.write_raw("x"), tk_exception);
        EXPECT_THROW(db.finish(), tk_exception);
    }
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(errors, 1);
    EXPECT_NE(first_error.find(path), std::string::npos) << first_error;
    EXPECT_NE(first_error.find(std::strerror(ENOSPC)), std::string::npos) << first_error;
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(end, mss_script_end::removed);
    EXPECT_EQ(mss_script_end_text(end, "shop.sql"), "The incomplete script 'shop.sql' was removed.");
}

// Only a finished script stays; one whose run ended early (an error, a stop) is removed,
// and an unrelated file that took its place is left alone.
TEST_F(MssDump, AScriptNotFinishedIsRemoved)
{
    {
        mss_dmp_database db(wpath(), plain);
        db.create_table(L"t", pair_schema(), {});
        db.flush();
        EXPECT_TRUE(fs::exists(path));
    }
    EXPECT_FALSE(fs::exists(path));
    {
        mss_dmp_database db(wpath(), plain);
        db.flush();
        fs::remove(path);
        std::ofstream(path) << "someone else's";
    }
    EXPECT_EQ(read(), "someone else's");
}

// A link the user named is written through; a script cut short then leaves only the note in
// the file it points to, and a pipe gets the note after what it already has.
TEST_F(MssDump, ThroughTheUsersLinkACutScriptSaysSo)
{
    const fs::path target = dir / "target.sql";
    std::ofstream(target) << "an older script";
    fs::create_symlink(target, path);
    const std::string note = "\r\n/* This script is incomplete: the conversion stopped before its end. */\r\n";
    mss_script_end end = mss_script_end::none;
    { completed_dump db(wpath(), plain, true, &end); }
    EXPECT_EQ(end, mss_script_end::completed);
    EXPECT_EQ(mss_script_end_text(end, "x"), "");
    EXPECT_TRUE(fs::is_symlink(path));
    EXPECT_EQ(drav_test::read_file(target), kQuoted);
    {
        mss_dmp_database db(wpath(), plain, true, &end);
        db.create_table(L"t", pair_schema(), {});
        db.flush();
    }
    EXPECT_TRUE(fs::is_symlink(path));
    EXPECT_EQ(drav_test::read_file(target), note);
    EXPECT_EQ(end, mss_script_end::emptied);

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const fs::path pipe_link = dir / "pipe.sql";
    fs::create_symlink("/proc/self/fd/" + std::to_string(fds[1]), pipe_link);
    { mss_dmp_database db(pipe_link.wstring(), plain, true, &end); }
    EXPECT_EQ(end, mss_script_end::marked);
    ::close(fds[1]);
    std::string got;
    char buf[512];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
        got.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    EXPECT_EQ(got, kQuoted + note);
}

// A named pipe or a device the user chose is written into as it is, never replaced: a pipe is
// opened once a reader comes, and gets the note after what it has when the script is cut short;
// a stop asked of the work that waits for the reader ends the wait with an error naming the pipe.
TEST_F(MssDump, APipeOrADeviceNamedOnPurposeIsWrittenInto)
{
    const std::string note = "\r\n/* This script is incomplete: the conversion stopped before its end. */\r\n";
    const fs::path pipe = dir / "pipe.sql";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    std::string got;
    std::thread reader([&]() {
        std::ifstream in(pipe, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        got = ss.str();
    });
    mss_script_end end = mss_script_end::none;
    {
        mss_dmp_database db(pipe.wstring(), plain, true, &end);
        db.create_table(L"t", pair_schema(), {});
        db.flush();
    }
    reader.join();
    EXPECT_EQ(end, mss_script_end::marked);
    EXPECT_EQ(got.rfind(kQuoted, 0), 0u);
    EXPECT_NE(got.find("CREATE TABLE"), std::string::npos);
    EXPECT_EQ(got.substr(got.size() - note.size()), note);
    EXPECT_TRUE(fs::is_fifo(pipe));

    { completed_dump db(L"/dev/null", plain, true, &end); }
    EXPECT_EQ(end, mss_script_end::completed);
    EXPECT_TRUE(fs::is_character_file("/dev/null"));

    struct waiting_work : tk_thread_functor {
        void operator()() override
        {
            try {
                mss_dmp_database db(path, options, true, nullptr, [this]() { waits = true; });
            } catch (const tk_exception& e) {
                error = e.what();
            }
        }
        std::wstring path;
        mss_dump_options options;
        std::string error;
        std::atomic<bool> waits{false};
    } work;
    work.path = pipe.wstring();
    struct runner : tk_thread {
        explicit runner(tk_thread_functor* f) : f_(f) {}
        tk_thread_functor* get_functor() override { return f_; }
        tk_thread_functor* f_;
    } thread(&work);
    thread.start();
    // No reader yet: the opening says that it waits (however long the thread takes to get there).
    for (int i = 0; i < 60000 && !work.waits; ++i)
        ::usleep(1000);
    EXPECT_TRUE(work.waits.load());
    EXPECT_TRUE(thread.is_running());
    thread.request_stop();
    thread.join();
    EXPECT_EQ(work.error, "Cannot create file '" + pipe.string() + "': " + std::strerror(EINTR));
    EXPECT_TRUE(fs::is_fifo(pipe));
}

// Tables the run did not convert whole are named in a closing comment, once each, in words
// that neither end the comment nor make a line a runner acts on; a whole run adds nothing.
TEST_F(MssDump, TablesNotConvertedWholeAreNamedAtTheEnd)
{
    {
        completed_dump db(wpath(), plain);
        db.create_table(L"t", pair_schema(), {});
    }
    EXPECT_EQ(read().find("not converted whole"), std::string::npos);
    {
        completed_dump db(wpath(), plain);
        auto rs = db.create_table(L"Orders", pair_schema(), {});
        rs.reset();
        db.table_incomplete(L"Orders");
        db.table_incomplete(L"GO");
        db.table_incomplete(L"a*/b\nGO");
        db.table_incomplete(L"Orders");
    }
    const std::string script = read();
    const std::string tail = "\r\n/*\r\nThese tables were not converted whole: some of their rows or indexes, or "
                             "the whole table, are missing from this script.\r\n\t- Orders\r\n\t- GO\r\n\t- a* /b GO\r\n*/\r\n";
    ASSERT_GE(script.size(), tail.size());
    EXPECT_EQ(script.substr(script.size() - tail.size()), tail);
    EXPECT_EQ(count(script, "- Orders"), 1) << script;
    EXPECT_TSQL_PARSES(path);
}

// A link planted at the destination is replaced, never followed; what it pointed to stays.
TEST_F(MssDump, ALinkAtTheDestinationIsNotFollowed)
{
    const fs::path target = dir / "target.txt";
    std::ofstream(target) << "keep";
    fs::create_symlink(target, path);
    { completed_dump db(wpath(), plain); }
    EXPECT_EQ(drav_test::read_file(target), "keep");
    EXPECT_FALSE(fs::is_symlink(path));
    EXPECT_EQ(read(), kQuoted);
}

TEST_F(MssDump, StatementsOffTheConversionRoad)
{
    {
        completed_dump db(wpath(), plain);
        db.create_schema(L"DBO");
        db.create_schema(L"sales");
        db.create_sequences({udb_sequence(L"sales.s", 1, 2, 3, 4, false)});
        db.relationships.push_back(
            udb_relationship(L"fk1", L"", L"child", L"parent", {L"a", L"b"}, {L"x", L"y"}, L"on update cascade"));
        db.relationships.push_back(udb_relationship(L"", L"", L"child", L"parent", {L"a"}, {L"x"}, L"bogus"));
        db.create_relationships(db.relationships);
        db.create_views({{L"v1", L"select * from t where d = now()"}, {L"v2", L"UPDATE t SET a = 1"}});
        db.delete_idx(L"t", L"ix");
        db.delete_fk(L"fk1");
        db.delete_fk(L"unknown");
        EXPECT_EQ(db.query(L"PRINT 'x'"), nullptr);
        EXPECT_FALSE(db.test_query(L"select 1"));
        EXPECT_THROW(db.get_table(L"t", 0), tk_mail_assertion);
    }
    const std::string schema_stmt =
        "IF NOT EXISTS (SELECT  SCHEMA_NAME FROM    INFORMATION_SCHEMA.SCHEMATA WHERE   SCHEMA_NAME = 'sales' ) "
        "BEGIN EXEC sp_executesql N'CREATE SCHEMA [sales]' END\nGO\r\n";
    EXPECT_EQ(read(), kQuoted + schema_stmt +
                          "DROP SEQUENCE IF EXISTS [sales].[s]\r\nGO\r\n" + schema_stmt +
                          "CREATE SEQUENCE [sales].[s] START WITH 1 INCREMENT BY 2 MINVALUE 3 MAXVALUE 4\r\nGO\r\n"
                          "ALTER TABLE [dbo].[child] ADD CONSTRAINT [fk1] FOREIGN KEY ([a], [b]) REFERENCES "
                          "[dbo].[parent]([x], [y]) on update cascade;\r\nGO\r\n"
                          "ALTER TABLE [dbo].[child] ADD FOREIGN KEY ([a]) REFERENCES [dbo].[parent]([x])\r\nGO\r\n"
                          "IF OBJECT_ID('[dbo].[v1]') IS NOT NULL DROP VIEW [dbo].[v1]\r\nGO\r\n"
                          "CREATE VIEW [dbo].[v1] AS select * from t where d = getdate()\r\nGO\r\n"
                          "IF EXISTS (SELECT 1 FROM sys.key_constraints WHERE name = N'ix' AND parent_object_id = "
                          "OBJECT_ID(N'[dbo].[t]')) ALTER TABLE [dbo].[t] DROP CONSTRAINT [ix] ELSE DROP INDEX IF "
                          "EXISTS [ix] ON [dbo].[t]\n"
                          "ALTER TABLE [dbo].[child] DROP CONSTRAINT [fk1]\n"
                          "PRINT 'x'\n");
    EXPECT_TSQL_PARSES(path);
}

TEST_F(MssDump, EveryValueTypeGivesAValidLiteral)
{
    plain.create_table = false;
    {
        completed_dump db(wpath(), plain);
        udb_schema s(true);
        s.push_back(new t_ftd(2, L"b", VT_BOOL, false, false));
        s.push_back(new t_ftd(4, L"r4", VT_R4, false, false));
        s.push_back(new t_ftd(8, L"i8", VT_I8, false, false));
        s.push_back(new t_ftd(8, L"cy", VT_CY, false, false));
        s.push_back(new t_ftd(16, L"dec", VT_DECIMAL, false, false));
        s.push_back(new t_ftd(8, L"dt", VT_DATE, false, false));
        s.push_back(new t_ftd(8, L"d", VT_DATE, false, false));
        s.push_back(new t_ftd(38, L"g", VT_BSTR, false, false, ole_variant(), 1));
        s.push_back(new t_ftd(10, L"t", VT_BSTR, false, false));
        auto rs = db.create_table(L"types", s, {});
        udb_record r;
        r.push_back(new udb_field(L"b", 2, ole_variant(true)));
        r.push_back(new udb_field(L"r4", 4, ole_variant(1.5f)));
        r.push_back(new udb_field(L"i8", 8, ole_variant(static_cast<long long>(-1234567890123))));
        r.push_back(new udb_field(L"cy", 8, ole_variant::from_currency(125000)));
        r.push_back(new udb_field(L"dec", 16, ole_variant::from_string("-12.3456", VT_DECIMAL)));
        r.push_back(new udb_field(L"dt", 8, ole_variant(ole_date(std::wstring(L"2020-12-25 14:30:05.5")))));
        r.push_back(new udb_field(L"d", 8, ole_variant(ole_date(std::wstring(L"2020-02-29")))));
        r.push_back(new udb_field(L"g", 38, ole_variant(L"{guid {00112233-4455-6677-8899-AABBCCDDEEFF}}")));
        r.push_back(new udb_field(L"t", 10, ole_variant(L"\U0001F600 ok")));
        rs->append_record(r);
    }
    EXPECT_EQ(read(), kQuoted +
                          "INSERT INTO [dbo].[types] ([b], [r4], [i8], [cy], [dec], [dt], [d], [g], [t]) VALUES (1, "
                          "1.50000000e+00, -1234567890123, 12.5, -12.3456, '2020-12-25 14:30:05.500', '2020-02-29', "
                          "'00112233-4455-6677-8899-AABBCCDDEEFF', N'\xF0\x9F\x98\x80 ok')\r\nGO\r\n\r\n");
    EXPECT_TSQL_PARSES(path);
}

TEST_F(MssDump, ValueWithABatchSeparatorLineStaysOneValue)
{
    plain.create_table = false;
    const std::wstring evil = L"x\r\nGO\r\nDROP TABLE [dbo].[t]; --";
    std::wstring big(1048577, L'y');
    big.replace(100, 4, L"\nGO\n");
    {
        completed_dump db(wpath(), plain);
        auto rs = db.create_table(L"t", pair_schema(), {});
        udb_record r;
        fill(r, 1, evil);
        rs->append_record(r);
        fill(r, 2, big);
        rs->append_record(r);
    }
    const std::string text = read();
    EXPECT_EQ(text.find("\nGO\r\nDROP"), std::string::npos);
    EXPECT_NE(text.find("VALUES (1, (CAST(N'' AS NVARCHAR(MAX)) + N'x' + NCHAR(13) + N'' + NCHAR(10) + N'GO"
                        "\r\nDROP TABLE [dbo].[t]; --'))\r\n, (2, \r\n(CAST"),
              std::string::npos)
        << text.substr(0, 400);
    EXPECT_NE(text.find("\r\n(CAST(N'' AS NVARCHAR(MAX)) + N'" + std::string(100, 'y') +
                        "' + NCHAR(10) + N'GO\ny"),
              std::string::npos);
    EXPECT_TSQL_PARSES(path);
}

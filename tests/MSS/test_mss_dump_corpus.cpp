// Real Access databases read through the Access reader and written as T-SQL scripts: every
// table arrives with all its rows, and every script parses.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <gtest/gtest.h>

#include "MSS/mss_dump.h"
#include "MSS/mss_util.h"
#include "mss_test_env.h"
#include "tests/dao/dao_test_env.h"
#include "tsql_check.h"

namespace fs = std::filesystem;

namespace {

struct table_result {
    std::wstring name;
    uint64_t rows = 0;
};

// Converts every table of the file into the script at out, the way a conversion run
// does: table definition, rows, then indexes. Returns the tables with their row counts.
std::vector<table_result> convert(const std::string& source, const std::string& out)
{
    drav_test::scratch_dir cwd("mss-dump");
    dao_engine engine(1, 0);
    std::unique_ptr<udb_database> src = daotests::open_corpus(engine, source);
    mss_dump_options options;
    options.banner = "corpus test";
    options.create_database = true;
    completed_dump dst(tk_utf8_to_wstring(out), options);
    std::vector<table_result> result;
    for (const std::wstring& table : src->get_tables()) {
        std::unique_ptr<udb_recordset> rs = src->get_table(table, 1);
        if (!rs)
            continue;
        table_result t{table, 0};
        {
            std::unique_ptr<udb_recordset> writer = dst.create_table(table, rs->get_schema(), rs->get_indexes());
            for (rs->reset(); !rs->is_eof(); rs->next()) {
                writer->append_record(*rs->get_item());
                ++t.rows;
            }
        }
        dst.create_indexes(table, rs->get_schema(), rs->get_indexes());
        result.push_back(t);
    }
    return result;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int count_of(const std::string& text, const std::string& what)
{
    int n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + what.size()))
        ++n;
    return n;
}

} // namespace

TEST(MssDumpCorpus, RealDatabasesBecomeParsableScripts)
{
    DRAV_TESTDATA_OR_SKIP(first, "mdb-reader/data/V2003/test.mdb");
    const char* const files[] = {
        "mdb-reader/data/V1997/test.mdb",
        "mdb-reader/data/V2003/test.mdb",
        "mdb-reader/data/V2010/test.accdb",
        "mdb-reader/data/V2016/bigint.accdb",
        "mdb-reader/data/V2016/currency.accdb",
        "mdb-reader/data/V2016/longtext.accdb",
        "mdb-reader/data/V2016/attachments.accdb",
        "mdb-reader/data/real/ASampleDatabase.accdb",
        "jackcess/V2003/testUnicodeCompV2003.mdb",
        "jackcess/V2010/testEmoticonsV2010.accdb",
        "jackcess/V2019/extDateTestV2019.accdb",
    };
    mss_test_engine engine;
    const fs::path dir = fs::temp_directory_path() / ("mss_dump_corpus_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    int scripts = 0;
    for (const char* rel : files) {
        const std::string source = drav_test::testdata(rel);
        if (source.empty())
            continue;
        SCOPED_TRACE(rel);
        const std::string out = (dir / (fs::path(rel).stem().string() + std::to_string(scripts) + ".sql")).string();
        std::vector<table_result> tables;
        try {
            tables = convert(source, out);
        } catch (const tk_exception& e) {
            ADD_FAILURE() << "conversion failed: " << e.what();
            continue;
        }
        ++scripts;
        const std::string text = read_file(out);
        ASSERT_FALSE(text.empty());
        EXPECT_NE(static_cast<unsigned char>(text[0]), 0xEF); // no byte-order mark
        for (const table_result& t : tables) {
            const std::string head = "INSERT INTO " + mss_to_utf8(mss_get_safe_tname(t.name)) + " (";
            const int statements = count_of(text, head);
            // At most 11 rows a statement; a row with a streamed value ends its own.
            EXPECT_GE(static_cast<uint64_t>(statements) * 11, t.rows) << mss_to_utf8(t.name);
            EXPECT_EQ(statements == 0, t.rows == 0) << mss_to_utf8(t.name);
            EXPECT_EQ(count_of(text, "CREATE TABLE " + mss_to_utf8(mss_get_safe_tname(t.name)) + " (\r\n"), 1);
        }
        const auto parsed = drav_test::tsql_parse_file(out);
        if (parsed.available) {
            EXPECT_TRUE(parsed.ok) << parsed.errors;
        }
    }
    if (!std::getenv("MSS_KEEP_SCRIPTS"))
        fs::remove_all(dir);
    EXPECT_GT(scripts, 5);
}

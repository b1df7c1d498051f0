// The console program run as a user runs it: arguments, streams, exit codes and the script it writes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/dravcli_child.h"
#include "tests/support/protected.h"
#include "tests/support/testdata.h"
#include "tests/support/scratch.h"
#include "tests/support/writer_tables.h"
#include "platform/jet/jet_database.h"
#include "platform/jet/jet_file.h"

namespace fs = std::filesystem;

namespace {

struct run_result {
    int code = 0;   // exit status as the shell sees it (255 for -1)
    std::string out;
    std::string err;
};

std::string read_all(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string quote(const std::string& s)
{
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

class Dravcli : public ::testing::Test {
protected:
    // shell: commands run before the program in the same shell (limits, "timeout 60", ...).
    run_result run(const std::vector<std::string>& args, const std::string& shell = "")
    {
        std::string cmd = "cd " + quote(dir.string()) + " && " + shell + " DRAV_REGISTRY_FILE=" +
                          quote((dir / "registry").string()) + " TMPDIR=" + quote(tmp.string()) + " " +
                          quote(std::string(DRAV_BINARY_DIR) + "/dravcli");
        for (const auto& a : args)
            cmd += " " + quote(a);
        cmd += " >" + quote((dir / "out.txt").string()) + " 2>" + quote((dir / "err.txt").string()) +
               " </dev/null";
        int status = std::system(cmd.c_str());
        run_result r;
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1000;
        r.out = read_all(dir / "out.txt");
        r.err = read_all(dir / "err.txt");
        return r;
    }

    const drav_test::scratch_dir scratch{"dravcli", drav_test::scratch_dir::plain_folder};
    const fs::path dir = scratch.path();
    // The runs' folder for temporary files.
    const drav_test::scratch_dir tmp_scratch{"dravcli-tmp", drav_test::scratch_dir::plain_folder};
    const fs::path tmp = tmp_scratch.path();
};

// Files left in the working folder by a run, apart from the ones the test made.
std::vector<std::string> leftovers(const fs::path& dir, const std::vector<std::string>& known)
{
    std::vector<std::string> found;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        bool k = false;
        for (const auto& n : known)
            k = k || name == n;
        if (!k)
            found.push_back(name);
    }
    return found;
}

} // namespace

TEST_F(Dravcli, UsageAndOptionErrors)
{
    run_result r = run({});
    EXPECT_EQ(r.code, 255);
    EXPECT_NE(r.err.find("Usage: DRAVCLI.EXE OPTIONS"), std::string::npos);
    EXPECT_NE(r.err.find("DRAVCLI v6.1"), std::string::npos);
    EXPECT_EQ(r.err.find("--sysdb"), std::string::npos);

    r = run({"--help"});
    EXPECT_EQ(r.code, 255);
    EXPECT_NE(r.err.find("--tab_file=... file containing the list of tables to convert"), std::string::npos);

    for (const char* bad : {"--mode=4", "--mode=-1", "--mode=01", "--mode=", "--mode=1x"}) {
        r = run({"--src=a.mdb", "--dest=b", bad});
        EXPECT_EQ(r.code, 255) << bad;
        EXPECT_EQ(r.err, "Invalid merge/overwrite mode\n") << bad;
    }

    r = run({"--src=a.mdb"});
    EXPECT_EQ(r.code, 255);
    EXPECT_EQ(r.err, "You should enter destination MS SQL database name\n");
    r = run({"--dest=x"});
    EXPECT_EQ(r.err, "You should enter source MS Access database name\n");

    // A free argument, and more than twenty of them, end in the usage text, not an internal error.
    r = run({"--src=a.mdb", "--dest=b", "bare"});
    EXPECT_EQ(r.code, 255);
    EXPECT_NE(r.err.find("Usage:"), std::string::npos);
    std::vector<std::string> many(25, "x");
    r = run(many);
    EXPECT_EQ(r.code, 255);
    EXPECT_NE(r.err.find("Usage:"), std::string::npos);
    EXPECT_EQ(r.out.find("Internal error"), std::string::npos);

    // Silent: nothing on the console, the exit code stays.
    r = run({"--silent", "--src=a.mdb"});
    EXPECT_EQ(r.code, 255);
    EXPECT_EQ(r.err, "");
}

TEST_F(Dravcli, BadSourcesAndTableFiles)
{
    run_result r = run({"--src=missing.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255);
    EXPECT_NE(r.out.find("Error:\nFile 'missing.mdb' does not exist."), std::string::npos) << r.out;

    // Files that are no Access database: too short, and the right size with garbage inside.
    std::ofstream(dir / "short.mdb") << "0123456789";
    r = run({"--src=short.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255);
    EXPECT_NE(r.out.find("File 'short.mdb' does not comply with MS Access format."), std::string::npos) << r.out;
    std::ofstream(dir / "junk.mdb") << std::string(4096, 'x');
    std::ofstream(dir / "out.sql") << "an older script";
    r = run({"--src=junk.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255);
    EXPECT_NE(r.out.find("Error:"), std::string::npos) << r.out;
    // The old script is not deleted for a source that cannot be read.
    EXPECT_EQ(read_all(dir / "out.sql"), "an older script");

    r = run({"--src=a.mdb", "--dest=out.sql", "--script", "--tab_file=nope.txt"});
    EXPECT_EQ(r.code, 255);
    EXPECT_EQ(r.err, "Table names file does not exist.\nPlease verify the correct path/name was given.\n");

    r = run({"--src=a.mdb", "--dest=out.sql", "--profile=nope.qel"});
    EXPECT_EQ(r.code, 255);
    EXPECT_NE(r.out.find("Profile does not exist."), std::string::npos) << r.out;

    fs::create_directories(dir / "logdir");
    r = run({"--src=a.mdb", "--dest=out.sql", "--logfile=logdir"});
    EXPECT_EQ(r.code, 255);
    EXPECT_NE(r.out.find("Logfile name specifies an existing path."), std::string::npos) << r.out;
}

TEST_F(Dravcli, ConvertsCorpusFileIntoScript)
{
    DRAV_TESTDATA_OR_SKIP(src, "mdb-reader/data/V2003/test.mdb");
    run_result r = run({"--src=" + src, "--dest=out.sql", "--script", "--logfile=run.log"});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Converting database " + src + "("), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Converting table "), std::string::npos) << r.out;
    const std::string script = read_all(dir / "out.sql");
    EXPECT_NE(script.find("CREATE TABLE"), std::string::npos);
    EXPECT_NE(script.find("INSERT INTO"), std::string::npos);
    EXPECT_NE(script.find("\nGO"), std::string::npos);
    const std::string log = read_all(dir / "run.log");
    EXPECT_NE(log.find("Conversion started on "), std::string::npos);
    EXPECT_NE(log.find("Conversion ended on "), std::string::npos);
    // The temporary workgroup file and its lock file are gone.
    EXPECT_EQ(leftovers(dir, {"out.sql", "run.log", "out.txt", "err.txt", "registry", "registry.lock"}),
              std::vector<std::string>());
}

TEST_F(Dravcli, ConvertsTheSampleOfTheReadme)
{
    const std::string src = std::string(DRAV_SOURCE_DIR) + "/examples/sample.mdb";
    run_result r = run({"--src=" + src, "--script", "--dest=sample.sql"});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Converting table Customers(4 records)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Converting table OrderLines(3 records)"), std::string::npos) << r.out;
    const std::string script = read_all(dir / "sample.sql");
    EXPECT_NE(script.find("CREATE TABLE [dbo].[Products]"), std::string::npos);
    EXPECT_NE(script.find("N'\xCE\x94\xCE\xB7\xCE\xBC"), std::string::npos); // Greek text kept
    EXPECT_NE(script.find("ALTER TABLE [dbo].[OrderLines] ADD PRIMARY KEY([OrderID], [Line])"), std::string::npos);

    // Paths beyond ASCII, source and script alike, whatever the locale.
    const std::string e_acute = "\xC3\xA9";
    fs::copy_file(src, dir / (e_acute + "chantillon.mdb"));
    r = run({"--src=" + e_acute + "chantillon.mdb", "--script", "--dest=" + e_acute + "t" + e_acute + ".sql"});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    const std::string again = read_all(dir / (e_acute + "t" + e_acute + ".sql"));
    EXPECT_NE(again.find("File name: " + e_acute + "t" + e_acute + ".sql"), std::string::npos);
    EXPECT_NE(again.find("N'\xCE\x94\xCE\xB7\xCE\xBC"), std::string::npos);
    EXPECT_NE(again.find("ALTER TABLE [dbo].[OrderLines] ADD PRIMARY KEY([OrderID], [Line])"), std::string::npos);
}

namespace {

// A file of our writer as its pages, to damage them the way a failing disk or a bad copy does.
struct page_image {
    explicit page_image(const fs::path& p) : bytes(read_all(p)), page(bytes[20] == 0 ? 2048 : 4096) {}
    std::uint32_t u32(std::size_t at) const
    {
        return static_cast<std::uint8_t>(bytes[at]) | static_cast<std::uint8_t>(bytes[at + 1]) << 8 |
               static_cast<std::uint8_t>(bytes[at + 2]) << 16 | static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[at + 3])) << 24;
    }
    // The data pages that name `tdef` as their table.
    std::vector<std::uint32_t> data_pages(std::uint32_t tdef) const
    {
        std::vector<std::uint32_t> out;
        for (std::uint32_t p = 1; p < bytes.size() / page; ++p)
            if (bytes[p * page] == 1 && u32(p * page + 4) == tdef)
                out.push_back(p);
        return out;
    }
    char& at(std::uint32_t p, std::size_t offset) { return bytes[p * page + offset]; }
    void save(const fs::path& p) const { std::ofstream(p, std::ios::binary) << bytes; }

    std::string bytes;
    std::size_t page;
};

// A Jet4 file of one keyed table "T" with `rows` rows of text.
void write_text_table(const fs::path& path, int rows)
{
    auto w = drav_test::new_keyed_table(path.string(), jet::file_format::jet4, L"T",
                                        {drav_test::counter_id(), drav_test::col(L"Name", jet::column_type::text, 50)});
    for (int i = 0; i < rows; ++i) {
        std::vector<jet::value> row{jet::value(), jet::value(L"row number " + std::to_wstring(i))};
        w->append(L"T", row);
    }
    w->flush();
}

jet::column_spec formatted_date(const wchar_t* name, const wchar_t* format)
{
    auto c = drav_test::col(name, jet::column_type::datetime);
    jet::property p;
    p.name = L"Format";
    p.type = jet::column_type::text;
    p.data = jet::value(std::wstring(format));
    c.properties.items.push_back(p);
    return c;
}

} // namespace

// A catalogue that cannot be read whole is an error naming the file, never an empty database.
TEST_F(Dravcli, ADamagedCatalogueIsAnErrorNotAnEmptyDatabase)
{
    write_text_table(dir / "whole.mdb", 3);
    run_result r = run({"--src=whole.mdb", "--dest=out.sql", "--script"});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("(1 tables)"), std::string::npos) << r.out;

    const page_image whole(dir / "whole.mdb");
    const std::vector<std::uint32_t> catalogue = whole.data_pages(2);
    ASSERT_FALSE(catalogue.empty());

    // Its data page zeroed: the usage map still names it, the rows are gone.
    page_image zeroed = whole;
    for (std::size_t i = 0; i < zeroed.page; ++i)
        zeroed.at(catalogue.front(), i) = 0;
    zeroed.save(dir / "zeroed.mdb");
    r = run({"--src=zeroed.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_EQ(r.out.find("(0 tables)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("zeroed.mdb"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("the catalogue (MSysObjects) declares "), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Internal error"), std::string::npos) << r.out;

    // Without the container that the tables hang below, no table can be told from another object.
    page_image renamed = whole;
    const std::string tables("T\0a\0b\0l\0e\0s\0", 12);
    const std::size_t name_at = renamed.bytes.find(tables, catalogue.front() * renamed.page);
    ASSERT_LT(name_at, (catalogue.front() + 1) * renamed.page);
    renamed.bytes[name_at + 10] = 'x';
    renamed.save(dir / "renamed.mdb");
    r = run({"--src=renamed.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("the catalogue (MSysObjects) has no Tables container"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("renamed.mdb"), std::string::npos) << r.out;

    // The type byte of its Id column says text: the numbers are unreadable, not 0.
    auto db = jet::database::open((dir / "whole.mdb").string(), L"");
    auto def = db->table(L"MSysObjects");
    const jet::format_layout& L = jet::layout_for(jet::file_format::jet4);
    const std::size_t cols_at = L.tdef_blocks_at + L.real_idx_count_size * whole.u32(2 * whole.page + L.tdef_real_idx_at);
    std::size_t id_at = 0;
    for (const auto& c : def->columns) {
        const std::size_t d = 2 * whole.page + cols_at + L.column_def_size * c.position;
        ASSERT_EQ(static_cast<std::uint8_t>(whole.bytes[d]), c.raw_type) << "column layout";
        if (c.name == L"Id")
            id_at = d;
    }
    ASSERT_NE(id_at, 0u);
    page_image retyped = whole;
    retyped.bytes[id_at] = static_cast<char>(jet::column_type::text);
    retyped.save(dir / "retyped.mdb");
    r = run({"--src=retyped.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("retyped.mdb"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("the catalogue (MSysObjects) column 'Id' does not hold integers"), std::string::npos) << r.out;
}

// A table whose usage map names a page that is no longer its own loses those rows: the file's own
// count says how many, the run names the table and ends in failure, the other rows are kept.
TEST_F(Dravcli, RowsThatCannotBeReadAreCountedAgainstTheTableDefinition)
{
    write_text_table(dir / "whole.mdb", 3000);
    page_image image(dir / "whole.mdb");
    auto db = jet::database::open((dir / "whole.mdb").string(), L"");
    const std::vector<std::uint32_t> pages = image.data_pages(db->find(L"T")->tdef_page());
    ASSERT_GT(pages.size(), 3u);
    const std::uint32_t lost = pages[pages.size() / 2];
    const std::uint16_t on_page = static_cast<std::uint8_t>(image.at(lost, 12)) | static_cast<std::uint8_t>(image.at(lost, 13)) << 8;
    ASSERT_GT(on_page, 0u);
    for (std::size_t i = 4; i < 8; ++i)
        image.at(lost, i) = '\x7F';   // now the page of no table
    image.save(dir / "lost.mdb");

    run_result r = run({"--src=lost.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("Converting table T(3000 records)"), std::string::npos) << r.out;
    const std::string read = std::to_string(3000 - on_page);
    EXPECT_NE(r.out.find("Error:\nT: The source file declares 3000 records; " + read + " could be read.\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("There were some errors while converting the database."), std::string::npos) << r.err;
    const std::string script = read_all(dir / "out.sql");
    EXPECT_NE(script.find("N'row number 0'"), std::string::npos);
    EXPECT_NE(script.find("N'row number 2999'"), std::string::npos);
    EXPECT_NE(script.find("ADD PRIMARY KEY"), std::string::npos);   // the table is finished

    // The whole file converts without a word.
    r = run({"--src=whole.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("Error:"), std::string::npos) << r.out;
}

// A column formatted as a date (or a time) keeps the server's narrower type only while no value
// has a part that type drops.
TEST_F(Dravcli, DateFormattedColumnsHoldingTimesStayDateAndTime)
{
    const double day = 45352;   // 2024-03-01
    {
        auto w = drav_test::new_keyed_table((dir / "times.mdb").string(), jet::file_format::jet4, L"Orders",
                                            {drav_test::counter_id(), formatted_date(L"Ordered", L"Short Date"),
                                             formatted_date(L"Shipped", L"Long Date"),
                                             formatted_date(L"Starts", L"Long Time"),
                                             formatted_date(L"Stamp", L"Medium Time")});
        auto date = [](double d) { return jet::value(jet::date_time{d}); };
        std::vector<jet::value> row{jet::value(), date(day), date(day + 1), date(0.25), date(0.75)};
        w->append(L"Orders", row);
        row = {jet::value(), date(day + 0.4375), date(day + 2), date(0.5), date(day + 0.5)};
        w->append(L"Orders", row);
        row = {jet::value(), jet::value(), jet::value(), jet::value(), jet::value()};
        w->append(L"Orders", row);
        w->flush();
    }
    run_result r = run({"--src=times.mdb", "--dest=out.sql", "--script"});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    const std::string script = read_all(dir / "out.sql");
    EXPECT_NE(script.find("[Ordered] DATETIME2"), std::string::npos) << script;
    EXPECT_NE(script.find("[Shipped] DATE"), std::string::npos) << script;
    EXPECT_EQ(script.find("[Shipped] DATETIME2"), std::string::npos) << script;
    EXPECT_NE(script.find("[Starts] TIME"), std::string::npos) << script;
    EXPECT_NE(script.find("[Stamp] DATETIME2"), std::string::npos) << script;
    EXPECT_NE(script.find("'2024-03-01 10:30:00"), std::string::npos) << script;
}

// NaN, infinities and doubles beyond the server's range are stored as the server can hold them,
// and each is reported with its table, column and record; the run goes on and ends in failure.
TEST_F(Dravcli, ValuesChangedToFitTheServerAreReported)
{
    {
        auto w = drav_test::new_keyed_table((dir / "numbers.mdb").string(), jet::file_format::jet4, L"N",
                                            {drav_test::counter_id(), drav_test::col(L"X", jet::column_type::double_),
                                             drav_test::col(L"S", jet::column_type::single),
                                             drav_test::col(L"W", jet::column_type::datetime)});
        using num = std::numeric_limits<double>;
        const double values[] = {1.5, num::quiet_NaN(), num::infinity(), -num::infinity(), 1e-310, num::max(), -2.2e-308};
        const jet::value day(jet::date_time{45352.5});
        for (double v : values) {
            std::vector<jet::value> row{jet::value(), jet::value(v), jet::value(2.5f), day};
            w->append(L"N", row);
        }
        std::vector<jet::value> row{jet::value(), jet::value(0.0), jet::value(std::numeric_limits<float>::quiet_NaN()), day};
        w->append(L"N", row);
        // A date past 9999-12-31, which no calendar of the server holds.
        row = {jet::value(), jet::value(0.0), jet::value(2.5f), jet::value(jet::date_time{2958466.5})};
        w->append(L"N", row);
        w->flush();
    }
    run_result r = run({"--src=numbers.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_EQ(r.out.find("N, record #1:"), std::string::npos) << r.out;
    for (int record = 2; record <= 9; ++record)
        EXPECT_NE(r.out.find("Error:\nN, record #" + std::to_string(record) + ": the value "), std::string::npos)
            << record << "\n" << r.out;
    EXPECT_NE(r.out.find("of column 'X' does not fit the server and was written as NULL"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("of column 'S' does not fit the server and was written as NULL"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("e-311 of column 'X' does not fit the server and was written as 2.2300000000000001e-308"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("the value 1.7976931348623157e+308 of column 'X' does not fit the server and was written as "
                         "1.7900000000000000e+308"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("was written as -2.2300000000000001e-308"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("N, record #9: the value 2958466.5 days after 1899-12-30 of column 'W' does not fit the "
                         "server and was written as NULL"),
              std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("N, record #10"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("There were some errors while converting the database."), std::string::npos) << r.err;
    // Every row is in the script, with the values the reports name.
    const std::string script = read_all(dir / "out.sql");
    std::size_t rows = 0;
    for (std::size_t at = script.find("INSERT INTO"); at != std::string::npos; at = script.find("INSERT INTO", at + 1))
        ++rows;
    EXPECT_GE(rows, 1u);
    EXPECT_NE(script.find("2.2300000000000001e-308"), std::string::npos);
    EXPECT_NE(script.find("1.7900000000000000e+308"), std::string::npos);
}

TEST_F(Dravcli, AScriptNamedThroughALinkIsWrittenThroughItAndTheLinkStays)
{
    DRAV_TESTDATA_OR_SKIP(src, "mdb-reader/data/V2003/test.mdb");
    std::ofstream(dir / "target.sql") << "an older script";
    fs::create_symlink(dir / "target.sql", dir / "link.sql");
    run_result r = run({"--src=" + src, "--dest=link.sql", "--script"});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_TRUE(fs::is_symlink(dir / "link.sql"));
    const std::string script = read_all(dir / "target.sql");
    EXPECT_EQ(script.find("an older script"), std::string::npos);
    EXPECT_NE(script.find("CREATE TABLE"), std::string::npos);
}

// What the user names at --dest= is written into as it is, as /dev/stdout is: a device, a named
// pipe (once a reader opens it), a link whose file is not there yet (the file is made through
// it). A device that is full fails the run with the reason, and stays. A run waiting for a
// pipe's reader stops on a signal. A user who may not write into /dev writes into /dev/null.
TEST_F(Dravcli, DevicesPipesAndLinksAtTheDestinationAreWrittenIntoAsTheyAre)
{
    DRAV_TESTDATA_OR_SKIP(src, "mdb-reader/data/V2003/test.mdb");
    run_result r = run({"--src=" + src, "--dest=/dev/null", "--script"});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_TRUE(fs::is_character_file("/dev/null"));

    ASSERT_EQ(::mkfifo((dir / "pipe.sql").c_str(), 0600), 0);
    std::string piped;
    std::thread reader([&]() { piped = read_all(dir / "pipe.sql"); });
    r = run({"--src=" + src, "--dest=pipe.sql", "--script"});
    // A reader still waiting (the program never opened the pipe) is let go: it reads nothing.
    if (const int fd = ::open((dir / "pipe.sql").c_str(), O_WRONLY | O_NONBLOCK); fd >= 0)
        ::close(fd);
    reader.join();
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(piped.rfind("/*\r\nFile name: pipe.sql\r\n", 0), 0u) << piped.substr(0, 200);
    EXPECT_NE(piped.find("CREATE TABLE"), std::string::npos);
    EXPECT_EQ(piped.find("incomplete"), std::string::npos);
    EXPECT_TRUE(fs::is_fifo(dir / "pipe.sql"));

    fs::create_symlink(dir / "made.sql", dir / "dangling.sql");
    r = run({"--src=" + src, "--dest=dangling.sql", "--script"});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_TRUE(fs::is_symlink(dir / "dangling.sql"));
    EXPECT_NE(read_all(dir / "made.sql").find("CREATE TABLE"), std::string::npos);

    if (fs::exists("/dev/full")) {
        fs::create_symlink("/dev/full", dir / "full.sql");
        r = run({"--src=" + src, "--dest=full.sql", "--script"});
        EXPECT_EQ(r.code, 255) << r.out << r.err;
        EXPECT_NE((r.out + r.err).find("Cannot write to file 'full.sql': " + std::string(std::strerror(ENOSPC))),
                  std::string::npos)
            << r.out << r.err;
        EXPECT_TRUE(fs::is_symlink(dir / "full.sql"));
        EXPECT_TRUE(fs::is_character_file("/dev/full"));
    }

    {
        drav_test::child_run waiting(dir, tmp, {"--src=" + src, "--dest=pipe.sql", "--script"});
        ::usleep(500 * 1000);
        ::kill(waiting.pid(), SIGTERM);
        EXPECT_EQ(waiting.finish(), 128 + SIGTERM) << waiting.out();
        EXPECT_NE(read_all(dir / "err.txt").find("Stopped by signal 15"), std::string::npos) << read_all(dir / "err.txt");
        EXPECT_TRUE(fs::is_fifo(dir / "pipe.sql"));
    }

    // Someone who may not write into /dev (the tests may run as root): the device itself is checked.
    if (::geteuid() == 0 && std::system("command -v runuser >/dev/null 2>&1") == 0) {
        fs::copy_file(src, dir / "own.mdb");
        fs::permissions(dir, fs::perms::all);
        fs::permissions(tmp, fs::perms::all);
        fs::permissions(dir / "own.mdb", fs::perms::all);
        for (const char* f : {"registry", "registry.lock", "out.txt", "err.txt"})
            fs::remove(dir / f);
        r = run({"--src=own.mdb", "--dest=/dev/null", "--script"}, "runuser -u nobody -- env");
        EXPECT_EQ(r.code, 0) << r.out << r.err;
    }
}

TEST_F(Dravcli, TableListFile)
{
    DRAV_TESTDATA_OR_SKIP(src, "mdb-reader/data/V2003/test.mdb");
    // A byte-order mark, CRLF line ends, an empty line and a table the source lacks.
    std::ofstream(dir / "tables.txt", std::ios::binary) << "\xEF\xBB\xBFTable1\r\n\r\nNoSuchTable\r\n";
    run_result r = run({"--src=" + src, "--dest=out.sql", "--script", "--tab_file=tables.txt"});
    // The table that is there is converted; the one that is not makes the run a failure.
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.err.find("Table NoSuchTable not exists\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("There were some errors while converting the database.\n"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("(2 tables)"), std::string::npos) << r.out;
    const std::string script = read_all(dir / "out.sql");
    EXPECT_NE(script.find("[Table1]"), std::string::npos);
}

TEST_F(Dravcli, PasswordProtectedSource)
{
    DRAV_TESTDATA_OR_SKIP(src, "mdb-reader/password/data/V2003_with-password.mdb");
    // Without the password, and with a wrong one.
    for (const std::string& given : {std::string(), std::string("--srcp=N0tTheR1ght0ne")}) {
        std::vector<std::string> args = {"--src=" + src, "--dest=out.sql", "--script", "--logfile=run.log"};
        if (!given.empty())
            args.push_back(given);
        run_result r = run(args);
        EXPECT_EQ(r.code, 255) << given;
        EXPECT_NE(r.out.find("Not a valid password."), std::string::npos) << r.out;
        EXPECT_FALSE(fs::exists(dir / "out.sql"));
        // The password given stays out of the log and the registry.
        EXPECT_EQ(read_all(dir / "run.log").find("N0tTheR1ght0ne"), std::string::npos);
        EXPECT_EQ(read_all(dir / "registry").find("N0tTheR1ght0ne"), std::string::npos);
        fs::remove(dir / "run.log");
        // No temporary workgroup file or lock file stays behind after the failure.
        EXPECT_EQ(leftovers(dir, {"out.txt", "err.txt", "registry", "registry.lock"}), std::vector<std::string>());
    }
}

// A database password holding what a connect text uses for its own structure reaches the file
// whole: the run converts like the unprotected twin, and a password cut at the ";" is refused.
TEST_F(Dravcli, APasswordWithSeparatorsAndBracesConvertsLikeTheTwin)
{
    DRAV_TESTDATA_OR_SKIP(twin, "mdb-reader/password/data/V2003_no-password.mdb");
    const std::string image = read_all(twin);
    const auto locked = drav_test::with_jet4_password(std::vector<std::uint8_t>(image.begin(), image.end()),
                                                      u"{p;w=d}; x}");
    std::ofstream(dir / "locked.mdb", std::ios::binary)
        .write(reinterpret_cast<const char*>(locked.data()), static_cast<std::streamsize>(locked.size()));
    run_result r = run({"--src=" + twin, "--dest=twin.sql", "--script"});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    r = run({"--src=locked.mdb", "--srcp={p;w=d}; x}", "--dest=out.sql", "--script"});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(drav_test::script_body(read_all(dir / "out.sql")), drav_test::script_body(read_all(dir / "twin.sql")));
    r = run({"--src=locked.mdb", "--srcp={p", "--dest=cut.sql", "--script"});
    EXPECT_EQ(r.code, 255);
    EXPECT_NE(r.out.find("Not a valid password."), std::string::npos) << r.out;
}

TEST_F(Dravcli, EveryProtectedCorpusFileConvertsWithItsPasswordLikeItsTwin)
{
    int converted = 0;
    for (const auto& f : drav_test::protected_files) {
        const std::string src = drav_test::testdata(f.path);
        if (src.empty())
            continue;
        run_result r = run({"--src=" + src, std::string("--srcp=") + drav_test::corpus_db_password,
                            "--dest=out.sql", "--script"});
        ASSERT_EQ(r.code, 0) << f.path << ": " << r.out << r.err;
        const std::string script = read_all(dir / "out.sql");
        EXPECT_NE(script.find("CREATE TABLE"), std::string::npos) << f.path;
        EXPECT_NE(script.find("INSERT INTO"), std::string::npos) << f.path;
        ++converted;
        if (!f.twin)
            continue;
        const std::string twin = drav_test::testdata(f.twin);
        ASSERT_FALSE(twin.empty()) << f.twin;
        r = run({"--src=" + twin, "--dest=out.sql", "--script"});
        ASSERT_EQ(r.code, 0) << f.twin << ": " << r.out << r.err;
        EXPECT_EQ(drav_test::script_body(read_all(dir / "out.sql")), drav_test::script_body(script)) << f.path;
    }
    if (converted == 0)
        GTEST_SKIP() << "no protected corpus file found";
}

TEST_F(Dravcli, UsageNamesTheDatabasePasswordAfterTheSource)
{
    run_result r = run({"--help"});
    EXPECT_NE(r.err.find("   --src=...      MS Access database name\n"
                         "   --srcp=...     MS Access database password\n"),
              std::string::npos)
        << r.err;
}

TEST_F(Dravcli, AReaderThatGoesAwayEndsTheRunWithAnErrorInsteadOfASignal)
{
    DRAV_TESTDATA_OR_SKIP(src, "mdb-reader/data/V2003/test.mdb");
    // Standard output is a pipe whose reading end is closed before the program starts.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    const std::string err = (dir / "err.txt").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const std::string program = std::string(DRAV_BINARY_DIR) + "/dravcli";
    const std::string src_arg = "--src=" + src, dest_arg = "--dest=" + (dir / "out.sql").string();
    std::vector<char*> argv = {const_cast<char*>(program.c_str()), const_cast<char*>(src_arg.c_str()),
                               const_cast<char*>(dest_arg.c_str()), const_cast<char*>("--script"), nullptr};
    ::setenv("DRAV_REGISTRY_FILE", (dir / "registry").c_str(), 1);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 255);
    EXPECT_NE(read_all(dir / "err.txt").find("Cannot write to standard output"), std::string::npos)
        << read_all(dir / "err.txt");
    // The script itself was written whole.
    EXPECT_NE(read_all(dir / "out.sql").find("INSERT INTO"), std::string::npos);
}

TEST_F(Dravcli, ProfilesThatCannotBeRunAreRefused)
{
    DRAV_TESTDATA_OR_SKIP(src, "mdb-reader/data/V2003/test.mdb");
    std::ofstream(dir / "p.qel") << "[Generic settings]\nsrc=" << src << "\ndest=out.sql\nmode=7\n"
                                 << "[MS SQL Server settings]\ndirect mode=0\n";
    run_result r = run({"--profile=p.qel"});
    EXPECT_EQ(r.code, 255);
    EXPECT_NE(r.out.find("Invalid merge/overwrite mode"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(dir / "out.sql"));

    // An Access database given where a profile belongs.
    r = run({"--profile=" + src, "--src=" + src, "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255);
    EXPECT_NE(r.out.find("is not a settings profile."), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(dir / "out.sql"));
}

TEST_F(Dravcli, ProfileSuppliesSettings)
{
    DRAV_TESTDATA_OR_SKIP(src, "mdb-reader/data/V2003/test.mdb");
    std::ofstream(dir / "p.qel") << "[Generic settings]\nsrc=" << src
                                 << "\ndest=from-profile.sql\nonly definitions=1\n"
                                    "[MS SQL Server settings]\ndirect mode=0\n";
    // A --dest= after the profile wins over the profile's.
    run_result r = run({"--profile=p.qel", "--dest=given.sql"});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_TRUE(fs::exists(dir / "given.sql"));
    EXPECT_FALSE(fs::exists(dir / "from-profile.sql"));
    EXPECT_EQ(read_all(dir / "given.sql").find("INSERT INTO"), std::string::npos);
}

// The tables a script creates, by name, with how often each is created.
std::map<std::string, int> created_tables(const std::string& script)
{
    std::map<std::string, int> names;
    const std::string head = "CREATE TABLE [dbo].[";
    for (std::size_t at = script.find(head); at != std::string::npos; at = script.find(head, at + 1))
        ++names[script.substr(at + head.size(), script.find(']', at + head.size()) - at - head.size())];
    return names;
}

// A query of the profile named like a table, another named like the name the table then gets:
// every entry ends up in a table of its own.
TEST_F(Dravcli, NoTwoEntriesOfARunShareATable)
{
    DRAV_TESTDATA_OR_SKIP(src, "mdb-reader/data/V2003/test.mdb");
    std::ofstream(dir / "p.qel") << "[Generic settings]\nsrc=" << src << "\ndest=out.sql\n"
                                 << "[MS SQL Server settings]\ndirect mode=0\n"
                                 << "[Selected Tables]\nTable1=SELECT A FROM Table1 WHERE C > 0\n"
                                 << "_Table1=SELECT B FROM Table1\n";
    std::ofstream(dir / "tables.txt") << "Table1\n";
    run_result r = run({"--profile=p.qel", "--tab_file=tables.txt"});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    const auto created = created_tables(read_all(dir / "out.sql"));
    ASSERT_EQ(created.size(), 3u) << r.out;
    for (const auto& [name, times] : created)
        EXPECT_EQ(times, 1) << name;
    EXPECT_EQ(created.count("Table1"), 1u);
    EXPECT_EQ(created.count("_Table1"), 1u);
}

// A source that is not a plain file (a FIFO) is refused with a message; the run does not wait on it.
TEST_F(Dravcli, NonRegularSourceIsRefused)
{
    ASSERT_EQ(::mkfifo((dir / "pipe.mdb").c_str(), 0600), 0);
    run_result r = run({"--src=pipe.mdb", "--dest=out.sql", "--script"}, "timeout 60 env");
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find("pipe.mdb' is not a regular file"), std::string::npos) << r.out << r.err;
    EXPECT_FALSE(fs::exists(dir / "out.sql"));
}

// The file system fills up while the script is written: an error naming the file, exit
// code not 0, and no cut script left looking whole. A file-size limit (ulimit -f) is such a full
// disk, also when it leaves no room for the temporary workgroup file; temporary files go to
// TMPDIR, never into the working folder, and none stays.
TEST_F(Dravcli, DiskFullEndsTheRunAndRemovesTheScript)
{
    DRAV_TESTDATA_OR_SKIP(src, "bench/bench100k_V2003.mdb");
    // Room for the temporary workgroup file (140 KiB), not for the script of 100,000 rows; then
    // room for neither.
    for (const rlim_t limit : {rlim_t(1) << 20, rlim_t(16) << 10}) {
        drav_test::child_run run(dir, tmp, {"--src=" + src, "--dest=out.sql", "--script", "--skip_idx"}, limit);
        EXPECT_EQ(run.finish(), 255) << limit << run.out();
        EXPECT_NE(run.out().find("Big: Cannot write to file 'out.sql': " + std::string(std::strerror(ENOSPC))),
                  std::string::npos)
            << limit << run.out();
        EXPECT_FALSE(fs::exists(dir / "out.sql")) << limit;
        EXPECT_EQ(leftovers(dir, {"err.txt", "registry", "registry.lock"}), std::vector<std::string>()) << limit;
        EXPECT_EQ(leftovers(tmp, {}), std::vector<std::string>()) << limit;
    }
}

// SIGINT, SIGTERM or SIGHUP in the middle of a run: the run stops at the next row, the cut
// script and the temporary workgroup file (in TMPDIR while the run lasts) are removed, the exit
// code tells the signal, and the user is told what became of the script.
TEST_F(Dravcli, StopSignalEndsTheRunCleanly)
{
    DRAV_TESTDATA_OR_SKIP(src, "bench/bench100k_V2003.mdb");
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        drav_test::child_run run(dir, tmp, {"--src=" + src, "--dest=out.sql", "--script"});
        // Signalled once the rows of a table are being copied.
        run.read_until("Converting table");
        if (sig == SIGINT) {
            ::kill(run.pid(), SIGSTOP);
            EXPECT_EQ(leftovers(tmp, {}), std::vector<std::string>{"~tmp0000"});
            EXPECT_EQ(leftovers(dir, {"err.txt", "registry", "registry.lock"}), std::vector<std::string>{"out.sql"});
            ::kill(run.pid(), SIGCONT);
        }
        ::kill(run.pid(), sig);
        EXPECT_EQ(run.finish(), 128 + sig) << run.out();
        const std::string err = read_all(dir / "err.txt");
        EXPECT_NE(err.find("Stopped by signal " + std::to_string(sig) + "\nThe incomplete script 'out.sql' was removed.\n"),
                  std::string::npos)
            << err;
        EXPECT_FALSE(fs::exists(dir / "out.sql")) << sig;
        EXPECT_EQ(leftovers(dir, {"err.txt", "registry", "registry.lock"}), std::vector<std::string>()) << sig;
        EXPECT_EQ(leftovers(tmp, {}), std::vector<std::string>()) << sig;
    }
    // Started with SIGHUP ignored (nohup): the signal stays ignored and the run goes on to its end.
    drav_test::child_run run(dir, tmp, {"--src=" + src, "--dest=out.sql", "--script"}, RLIM_INFINITY, SIGHUP);
    run.read_until("Converting table");
    ::kill(run.pid(), SIGHUP);
    EXPECT_EQ(run.finish(), 0) << run.out();
    EXPECT_NE(read_all(dir / "out.sql").find("ALTER TABLE [dbo].[Big] ADD PRIMARY KEY([ID])"), std::string::npos);
}

// The edges of a run. A signal that comes while the options are still being read (here: while the
// table-list file, a FIFO, is read) stops the program before any work. A signal that comes after
// the script is complete changes nothing: the run had finished. The script written to standard
// output holds nothing but the script; progress lines go to standard error.
TEST_F(Dravcli, ASignalBeforeTheRunOrAfterItsEnd)
{
    DRAV_TESTDATA_OR_SKIP(src, "bench/bench100k_V2003.mdb");
    ASSERT_EQ(::mkfifo((dir / "tables.fifo").c_str(), 0600), 0);
    {
        drav_test::child_run run(dir, tmp, {"--src=" + src, "--dest=out.sql", "--script", "--tab_file=tables.fifo"});
        const int list = ::open((dir / "tables.fifo").c_str(), O_WRONLY);   // the program reads it now
        ASSERT_GE(list, 0);
        ::kill(run.pid(), SIGTERM);
        ASSERT_EQ(::write(list, "Big\n", 4), 4);
        ::close(list);
        EXPECT_EQ(run.finish(), 128 + SIGTERM) << run.out();
        EXPECT_EQ(run.out(), "");
        EXPECT_EQ(read_all(dir / "err.txt"), "Stopped by signal 15\nNothing was converted.\n");
        EXPECT_EQ(leftovers(dir, {"err.txt", "registry", "registry.lock", "tables.fifo"}), std::vector<std::string>());
        EXPECT_EQ(leftovers(tmp, {}), std::vector<std::string>());
    }

    const std::vector<std::string> args{"--src=" + src, "--dest=/dev/stdout", "--script"};
    std::string whole;
    {
        drav_test::child_run run(dir, tmp, args);
        EXPECT_EQ(run.finish(), 0);
        whole = run.out();
        EXPECT_EQ(whole.rfind("/*\r\nFile name: /dev/stdout\r\n", 0), 0u);
        EXPECT_EQ(whole.find("Converting"), std::string::npos);
        EXPECT_NE(whole.find("ALTER TABLE [dbo].[Big] ADD PRIMARY KEY([ID])"), std::string::npos);
        EXPECT_NE(read_all(dir / "err.txt").find("Converting table Big(100000 records)"), std::string::npos);
    }
    // Its last bytes are written only once every row and index is: the run is past its end. The
    // program is stopped there and signalled; a program that ended before it was stopped is run
    // again.
    bool signalled = false;
    for (int attempt = 0; attempt < 5 && !signalled; ++attempt) {
        drav_test::child_run run(dir, tmp, args);
        ASSERT_EQ(run.read_bytes(whole.size()).size(), whole.size());
        ::kill(run.pid(), SIGSTOP);
        siginfo_t info{};
        ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(run.pid()), &info, WSTOPPED | WEXITED | WNOWAIT), 0);
        if (info.si_code == CLD_STOPPED) {
            signalled = true;
            ::kill(run.pid(), SIGTERM);
            ::kill(run.pid(), SIGCONT);
        }
        EXPECT_EQ(run.finish(), 0);
        EXPECT_EQ(run.out(), whole);
        EXPECT_EQ(read_all(dir / "err.txt").find("Stopped"), std::string::npos) << read_all(dir / "err.txt");
        EXPECT_EQ(leftovers(tmp, {}), std::vector<std::string>());
    }
    EXPECT_TRUE(signalled);
}

// A table that fails part-way (a damaged row in the middle of it) is named on the console, the
// run ends non-zero, and the script, which keeps the rows before the damage, ends with a comment
// naming the table, so that whoever finds the file later can tell.
TEST_F(Dravcli, ATableCutShortIsNamedAtTheEndOfTheScript)
{
    DRAV_TESTDATA_OR_SKIP(src, "bench/bench100k_V2003.mdb");
    std::string bytes = read_all(src);
    // The middle data page of the table with most pages (Jet4: 4 KiB pages, the row count at 12,
    // row offsets from 14); the first row on it is overwritten.
    constexpr std::size_t page = 4096;
    std::map<std::uint32_t, std::vector<std::size_t>> data_pages;
    for (std::size_t p = 0; p + 1 < bytes.size() / page; ++p)
        if (bytes[p * page] == 1 && bytes[p * page + 1] == 1) {
            std::uint32_t tdef = 0;
            std::memcpy(&tdef, bytes.data() + p * page + 4, 4);
            data_pages[tdef].push_back(p);
        }
    std::vector<std::size_t> pages;
    for (const auto& [tdef, list] : data_pages)
        if (list.size() > pages.size())
            pages = list;
    ASSERT_GT(pages.size(), 100u);
    const std::size_t mid = pages[pages.size() / 2] * page;
    const std::size_t row = mid + ((static_cast<unsigned char>(bytes[mid + 14]) |
                                    static_cast<unsigned char>(bytes[mid + 15]) << 8) & 0x1FFF);
    bytes.replace(row, 40, std::string(40, '\xFF'));
    std::ofstream(dir / "damaged.mdb", std::ios::binary) << bytes;

    run_result r = run({"--src=damaged.mdb", "--dest=out.sql", "--script", "--skip_idx"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("Big: The database file 'damaged.mdb' is damaged"), std::string::npos) << r.out;
    const std::string script = read_all(dir / "out.sql");
    EXPECT_NE(script.find("INSERT INTO [dbo].[Big]"), std::string::npos);
    const std::string note = "\r\n/*\r\nThese tables were not converted whole: their rows, or the whole table, "
                             "are missing from this script.\r\n\t- Big\r\n*/\r\n";
    ASSERT_GT(script.size(), note.size());
    EXPECT_EQ(script.substr(script.size() - note.size()), note);
    EXPECT_EQ(leftovers(tmp, {}), std::vector<std::string>());
}

// The password options leave the process's argument memory (what `ps` and /proc/PID/cmdline show
// every user) once read; a profile that keeps the server password where others can read it is
// used all the same, with a warning that names it and its mode; one of mode 0600 gets none.
TEST_F(Dravcli, PasswordsLeaveTheProcessListAndAProfileOthersCanReadIsWarnedOf)
{
    DRAV_TESTDATA_OR_SKIP(src, "bench/bench100k_V2003.mdb");
    std::string cmdline;
    {
        drav_test::child_run run(dir, tmp, {"--src=" + src, "--dest=out.sql", "--script", "--mssqlp=SecretOne",
                                            "--srcp=SecretTwo", "--uglp=SecretThree"});
        run.read_until("Converting table");
        cmdline = read_all("/proc/" + std::to_string(run.pid()) + "/cmdline");
        ::kill(run.pid(), SIGTERM);
        EXPECT_EQ(run.finish(), 128 + SIGTERM);
    }
    for (const char* secret : {"SecretOne", "SecretTwo", "SecretThree"})
        EXPECT_EQ(cmdline.find(secret), std::string::npos) << secret;
    EXPECT_NE(cmdline.find(std::string("--mssqlp=xxxxxxxxx") + '\0'), std::string::npos);
    EXPECT_NE(cmdline.find("--dest=out.sql"), std::string::npos);

    DRAV_TESTDATA_OR_SKIP(small, "mdb-reader/data/V2003/test.mdb");
    std::ofstream(dir / "p.qel") << "[Generic settings]\nsrc=" << small << "\ndest=out.sql\n"
                                 << "[MS SQL Server settings]\npassword=Secret\ndirect mode=0\n";
    fs::permissions(dir / "p.qel", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                       fs::perms::others_read);
    run_result r = run({"--profile=p.qel"});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.err.find("Warning: the profile p.qel holds the server password and other users can read it "
                         "(mode 0644)"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(fs::exists(dir / "out.sql"));
    fs::permissions(dir / "p.qel", fs::perms::owner_read | fs::perms::owner_write);
    r = run({"--profile=p.qel"});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(r.err.find("Warning"), std::string::npos) << r.err;
}

namespace {

// The small Jet3 seed database with some of its bytes replaced.
void write_mutated_seed(const fs::path& out, const std::vector<std::pair<std::size_t, std::string>>& patches)
{
    std::string bytes = read_all(fs::path(DRAV_SOURCE_DIR) / "fuzz/seeds/jet3_plain.mdb");
    for (const auto& [offset, text] : patches) {
        ASSERT_LE(offset + text.size(), bytes.size());
        bytes.replace(offset, text.size(), text);
    }
    std::ofstream(out, std::ios::binary) << bytes;
}

// Offsets in the seed: the catalog's name of table "Things", the length byte and the text of
// its column "name".
constexpr std::size_t kTableName = 9919;
constexpr std::size_t kColumnNameLength = 10541;
constexpr std::size_t kColumnName = 10542;

} // namespace

// Names from a crafted file: "]" in a table name, a line break with "GO" in a column name, an
// escape sequence for the terminal. The table is read and written whole; nothing raw reaches the
// script or the console.
TEST_F(Dravcli, HostileNamesFromACraftedFile)
{
    ASSERT_EQ(read_all(fs::path(DRAV_SOURCE_DIR) / "fuzz/seeds/jet3_plain.mdb").substr(kTableName, 6), "Things");
    write_mutated_seed(dir / "bracket.mdb", {{kTableName, "Thi]gs"}, {kColumnName, "\nGO\n"}});
    run_result r = run({"--src=bracket.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Converting table Thi]gs(4 records)"), std::string::npos) << r.out;
    std::string script = read_all(dir / "out.sql");
    EXPECT_NE(script.find("CREATE TABLE [dbo].[Thi]]gs]"), std::string::npos) << script;
    EXPECT_NE(script.find("INSERT INTO [dbo].[Thi]]gs] ("), std::string::npos) << script;
    EXPECT_NE(script.find("[_GO_]"), std::string::npos) << script;
    EXPECT_EQ(script.find("\nGO\n]"), std::string::npos);

    write_mutated_seed(dir / "escape.mdb", {{kTableName, "T\x1b[31m"}});
    r = run({"--src=escape.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Converting table T?[31m"), std::string::npos) << r.out;
    script = read_all(dir / "out.sql");
    EXPECT_EQ(script.find('\x1b'), std::string::npos);
    EXPECT_NE(script.find("[T_[31m]"), std::string::npos) << script;
}

// A damaged file: the message names the file and what is wrong, never an internal error.
TEST_F(Dravcli, DamagedFileIsNamed)
{
    write_mutated_seed(dir / "noname.mdb", {{kColumnNameLength, std::string(1, '\0')}});
    run_result r = run({"--src=noname.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.out.find("Internal error"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("noname.mdb"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("has no name"), std::string::npos) << r.out;

    // A header that does not decode.
    std::string bytes = read_all(fs::path(DRAV_SOURCE_DIR) / "fuzz/seeds/jet3_plain.mdb");
    bytes[20] = 7;
    std::ofstream(dir / "header.mdb", std::ios::binary) << bytes;
    r = run({"--src=header.mdb", "--dest=out.sql", "--script"});
    EXPECT_NE(r.code, 0) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find("header.mdb"), std::string::npos) << r.out << r.err;
}

TEST_F(Dravcli, WrongPasswordNamesTheFile)
{
    DRAV_TESTDATA_OR_SKIP(src, "mdb-reader/password/data/V2003_with-password.mdb");
    run_result r = run({"--src=" + src, "--dest=out.sql", "--script"});
    EXPECT_NE(r.out.find("Not a valid password. (file '" + src + "')"), std::string::npos) << r.out;
}

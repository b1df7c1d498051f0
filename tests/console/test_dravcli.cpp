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

#include "tests/support/access_check.h"
#include "tests/support/dravcli_child.h"
#include "tests/support/protected.h"
#include "tests/support/testdata.h"
#include "tests/support/scratch.h"
#include "tests/support/world_names.h"
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

    // A value that is no UTF-8 (a file name in Latin-1) is named as such, whichever option gives
    // it, never taken for a value left out; the file of that name stays unread and unwritten.
    const std::string latin1 = "caf\xE9.mdb";
    std::ofstream(dir / latin1) << "not read";
    for (const std::string& bad : {"--src=" + latin1, "--dest=" + latin1, std::string("--srcp=p\xE9"),
                                   "--tab_file=" + latin1, "--sysdb=" + latin1, "--profile=" + latin1,
                                   "--logfile=" + latin1}) {
        const std::string option = bad.substr(0, bad.find('=') + 1);
        r = run({"--src=a.mdb", "--script", "--dest=b.sql", bad});
        EXPECT_EQ(r.code, 255) << option;
        EXPECT_EQ(r.err, "The value of " + option + " is not text in this system's encoding (UTF-8).\n"
                         "Give it in that encoding, or rename the file.\n") << option;
    }
    EXPECT_EQ(drav_test::read_file(dir / latin1), "not read");

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
    void put32(std::size_t at, std::uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            bytes[at + i] = static_cast<char>(v >> (8 * i));
    }
    std::uint16_t u16(std::size_t at) const
    {
        return static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[at]) | static_cast<std::uint8_t>(bytes[at + 1]) << 8);
    }
    // Jet4 data pages: the row count at 12, the row offsets (flags in the top bits) from 14.
    std::uint16_t rows_on(std::uint32_t p) const { return u16(p * page + 12); }
    std::size_t row_entry(std::uint32_t p, unsigned slot) const { return p * page + 14 + 2 * slot; }
    std::size_t row_at(std::uint32_t p, unsigned slot) const { return p * page + (u16(row_entry(p, slot)) & 0x1FFF); }
    void delete_row(std::uint32_t p, unsigned slot) { bytes[row_entry(p, slot) + 1] |= '\x80'; }
    // The byte where the description of `column` of the table defined at `tdef` begins (Jet4).
    std::size_t column_at(std::uint32_t tdef, const jet::column_def& column) const
    {
        const jet::format_layout& L = jet::layout_for(jet::file_format::jet4);
        return tdef * page + L.tdef_blocks_at + L.real_idx_count_size * u32(tdef * page + L.tdef_real_idx_at) +
               L.column_def_size * column.position;
    }
    // The page whose owner field is made to name no table.
    void disown(std::uint32_t p) { put32(p * page + 4, 0x7F7F7F7F); }
    // The page lost whole: every byte of it zero.
    void zero(std::uint32_t p) { bytes.replace(p * page, page, page, '\0'); }

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

} // namespace

// A catalogue that cannot be read whole (or that lacks a column it needs, or gives a table
// another object's Id) is an error naming the file, never an empty database;
// one whose stored counts are stale is read whole all the same.
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
    zeroed.zero(catalogue.front());
    zeroed.save(dir / "zeroed.mdb");
    r = run({"--src=zeroed.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_EQ(r.out.find("(0 tables)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("zeroed.mdb"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("the catalogue (MSysObjects) cannot be read whole: page " + std::to_string(catalogue.front()) +
                         ", which the usage map names, is not one of the table's data pages"),
              std::string::npos) << r.out;
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
    std::size_t id_at = 0, parent_offset = 0, id_offset = 0;
    for (const auto& c : def->columns) {
        const std::size_t d = whole.column_at(2, c);
        ASSERT_EQ(static_cast<std::uint8_t>(whole.bytes[d]), c.raw_type) << "column layout";
        if (c.name == L"Id") {
            id_at = d;
            id_offset = c.fixed_offset;
        }
        if (c.name == L"ParentId")
            parent_offset = c.fixed_offset;
    }
    ASSERT_NE(id_at, 0u);
    page_image retyped = whole;
    retyped.bytes[id_at] = static_cast<char>(jet::column_type::text);
    retyped.save(dir / "retyped.mdb");
    r = run({"--src=retyped.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("retyped.mdb"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("the catalogue (MSysObjects) column 'Id' does not hold integers"), std::string::npos) << r.out;

    // A table whose ParentId names no container is still listed, and refused with its name.
    page_image orphan = whole;
    const std::uint32_t table_id = static_cast<std::uint32_t>(db->find(L"T")->id);
    bool moved = false;
    for (unsigned slot = 0; slot < orphan.rows_on(catalogue.front()); ++slot) {
        const std::size_t row = orphan.row_at(catalogue.front(), slot);
        if (orphan.u32(row + 2 + id_offset) == table_id) {
            orphan.put32(row + 2 + parent_offset, 0x0ABCDEF0);
            moved = true;
        }
    }
    ASSERT_TRUE(moved);
    orphan.save(dir / "orphan.mdb");
    r = run({"--src=orphan.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("(1 tables)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("T: The database file 'orphan.mdb' is damaged or not readable: the catalogue (MSysObjects) "
                         "places table 'T' below ParentId 180150000, not below the Tables container."),
              std::string::npos) << r.out;

    // The name of its column of properties damaged: every default, Required and Format would go;
    // so, too, of its Flags: the system's tables would pass for the user's.
    const struct {
        const char* column;
        const char* file;
        const char* lacks;
    } misnamed[] = {{"LvProp", "unnamed.mdb", "its LvProp column of properties"},
                    {"Flags", "flagless.mdb", "its Flags column"}};
    for (const auto& c : misnamed) {
        page_image image = whole;
        std::string utf16;
        for (const char* ch = c.column; *ch != '\0'; ++ch)
            utf16 += std::string{*ch, '\0'};
        const std::size_t at = image.bytes.find(utf16, 2 * image.page);
        ASSERT_LT(at, 3 * image.page) << c.column;
        image.bytes[at + 2] = 'x';
        image.save(dir / c.file);
        r = run({std::string("--src=") + c.file, "--dest=out.sql", "--script"});
        EXPECT_EQ(r.code, 255) << r.out << r.err;
        EXPECT_NE(r.out.find(std::string("The database file '") + c.file + "' is damaged or not readable: the "
                             "catalogue (MSysObjects) lacks " + c.lacks + "."),
                  std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("MSysObjects("), std::string::npos) << r.out;
    }

    // A table whose Id is another table's would be read from that one's definition.
    page_image shared = whole;
    const std::uint32_t catalogue_id = static_cast<std::uint32_t>(db->find(L"MSysObjects")->id);
    for (unsigned slot = 0; slot < shared.rows_on(catalogue.front()); ++slot) {
        const std::size_t row = shared.row_at(catalogue.front(), slot);
        if (shared.u32(row + 2 + id_offset) == table_id) shared.put32(row + 2 + id_offset, catalogue_id);
    }
    shared.save(dir / "shared.mdb");
    r = run({"--src=shared.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("The database file 'shared.mdb' is damaged or not readable: the catalogue (MSysObjects) "
                         "gives the objects 'MSysObjects' and 'T' the same Id " + std::to_string(catalogue_id) + "."),
              std::string::npos) << r.out;

    // One object alone on the catalogue's last page, the page lost: refused as surely as a whole page.
    {
        auto w = drav_test::new_keyed_table((dir / "many.mdb").string(), jet::file_format::jet4, L"T",
                                            {drav_test::counter_id()});
        for (int k = 1; k < 36; ++k)
            w->create_table(L"Extra" + std::to_wstring(k), {drav_test::counter_id()}, {drav_test::primary_key_on_id()});
        w->flush();
    }
    page_image many(dir / "many.mdb");
    const std::vector<std::uint32_t> many_pages = many.data_pages(2);
    ASSERT_EQ(many_pages.size(), 2u);
    ASSERT_EQ(many.rows_on(many_pages.back()), 1u);
    many.disown(many_pages.back());
    many.save(dir / "one_lost.mdb");
    r = run({"--src=one_lost.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("the catalogue (MSysObjects) cannot be read whole: page " + std::to_string(many_pages.back())),
              std::string::npos) << r.out;

    // Counts that a program left high when it deleted rows (a table object, a row) prove no loss:
    // the file converts whole, with the rows it holds.
    {
        auto w = drav_test::new_keyed_table((dir / "stale.mdb").string(), jet::file_format::jet4, L"T",
                                            {drav_test::counter_id(), drav_test::col(L"Name", jet::column_type::text, 50)});
        w->create_table(L"Gone", {drav_test::counter_id()}, {drav_test::primary_key_on_id()});
        for (int i = 0; i < 40; ++i) {
            std::vector<jet::value> row{jet::value(), jet::value(L"row number " + std::to_wstring(i))};
            w->append(L"T", row);
        }
        w->flush();
    }
    auto stale_db = jet::database::open((dir / "stale.mdb").string(), L"");
    const jet::format_layout& L = jet::layout_for(jet::file_format::jet4);
    page_image stale(dir / "stale.mdb");
    const std::uint32_t t_page = stale_db->find(L"T")->tdef_page();
    const std::uint32_t gone_id = static_cast<std::uint32_t>(stale_db->find(L"Gone")->id);
    const std::vector<std::uint32_t> stale_catalogue = stale.data_pages(2);
    unsigned gone = 0;
    for (std::uint32_t p : stale_catalogue)
        for (unsigned slot = 0; slot < stale.rows_on(p); ++slot)
            if (stale.u32(stale.row_at(p, slot) + 2 + id_offset) == gone_id) {
                stale.delete_row(p, slot);
                ++gone;
            }
    ASSERT_EQ(gone, 1u);
    const std::uint32_t t_first = stale.data_pages(t_page).front();
    stale.delete_row(t_first, 7);   // "row number 7"
    stale.put32(2 * stale.page + L.tdef_rows_at, stale.u32(2 * stale.page + L.tdef_rows_at) + 30);
    stale.put32(t_page * stale.page + L.tdef_rows_at, 55);
    stale.save(dir / "stale.mdb");
    r = run({"--src=stale.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Converting database stale.mdb(1 tables)\nConverting table T(39 records)\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Error"), std::string::npos) << r.out;
    const std::string script = read_all(dir / "out.sql");
    EXPECT_NE(script.find("N'row number 6'"), std::string::npos);
    EXPECT_EQ(script.find("N'row number 7'"), std::string::npos);
    EXPECT_NE(script.find("N'row number 39'"), std::string::npos);
    EXPECT_EQ(script.find("[Gone]"), std::string::npos);
}

// Rows the file's own structure shows lost are reported with the table, and the run ends in
// failure with the other rows kept: a page that the table's usage map names and that is not its
// data page (the loss of a whole page or of the one row it held), a data page of the table that
// the map leaves out, and two table definitions swapped. Stored counts play no part.
TEST_F(Dravcli, RowsThatCannotBeReadAreReportedFromTheFilesStructure)
{
    write_text_table(dir / "whole.mdb", 3000);
    const page_image whole(dir / "whole.mdb");
    auto db = jet::database::open((dir / "whole.mdb").string(), L"");
    const std::uint32_t tdef = db->find(L"T")->tdef_page();
    const std::vector<std::uint32_t> pages = whole.data_pages(tdef);
    ASSERT_GT(pages.size(), 3u);
    const std::uint32_t lost = pages[pages.size() / 2];
    const std::uint16_t on_page = whole.rows_on(lost);
    ASSERT_GT(on_page, 0u);
    page_image image = whole;
    image.disown(lost);
    image.save(dir / "lost.mdb");

    run_result r = run({"--src=lost.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("Converting table T(" + std::to_string(3000 - on_page) + " records)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Error:\nT, record #"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(": The database file 'lost.mdb' is damaged or not readable: table 'T': page " +
                         std::to_string(lost) + ", which the usage map names, is not one of the table's data pages: "
                         "the rows it held are lost.\n"),
              std::string::npos) << r.out;
    EXPECT_NE(r.err.find("There were some errors while converting the database."), std::string::npos) << r.err;
    std::string script = read_all(dir / "out.sql");
    EXPECT_NE(script.find("N'row number 0'"), std::string::npos);
    EXPECT_NE(script.find("N'row number 2999'"), std::string::npos);
    EXPECT_NE(script.find("ADD PRIMARY KEY"), std::string::npos);   // the table is finished

    // The page left out of the usage map (its bit cleared): the rows it holds are reported.
    const jet::format_layout& L = jet::layout_for(jet::file_format::jet4);
    const std::size_t usage = tdef * whole.page + L.tdef_usage_at;
    const std::uint32_t map_page = whole.u32(usage + 1) & 0xFFFFFF;
    const std::size_t map_row = whole.row_at(map_page, static_cast<std::uint8_t>(whole.bytes[usage]));
    ASSERT_EQ(whole.bytes[map_row], 0) << "an inline map";
    const std::uint32_t bit = lost - whole.u32(map_row + 1);
    page_image unmapped = whole;
    char& map_byte = unmapped.bytes[map_row + 5 + bit / 8];
    ASSERT_NE(map_byte & (1 << (bit % 8)), 0);
    map_byte = static_cast<char>(map_byte & ~(1 << (bit % 8)));
    unmapped.save(dir / "unmapped.mdb");
    r = run({"--src=unmapped.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("T, record #" + std::to_string(3000 - on_page + 1) +
                         ": The database file 'unmapped.mdb' is damaged or not readable: table 'T': data pages of "
                         "the table hold rows outside its usage map (page " + std::to_string(lost) +
                         "): those rows are not read.\n"),
              std::string::npos) << r.out;

    // A map damaged to name every page: the pages that are not the table's come as a few reports
    // (one a run of them), the pages past the end of the file as one, and every row is kept.
    page_image flooded = whole;
    for (std::size_t i = map_row + 5; i < map_row + 5 + 64; ++i)
        flooded.bytes[i] = '\xFF';
    flooded.save(dir / "flooded.mdb");
    r = run({"--src=flooded.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    const int reports = drav_test::occurrences(r.out, "Error:");
    EXPECT_GE(reports, 2) << r.out;
    EXPECT_LE(reports, 12) << r.out;   // of some 30 pages that are not the table's
    EXPECT_NE(r.out.find("which the usage map names, are not the table's data pages: the rows they held are lost."),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("past the end of the file."), std::string::npos) << r.out;
    script = read_all(dir / "out.sql");
    for (int i : {0, 1500, 2999})
        EXPECT_NE(script.find("N'row number " + std::to_string(i) + "'"), std::string::npos) << i;

    // One row alone on the table's last page, the page lost: reported as surely as a full page.
    write_text_table(dir / "one.mdb", 267);
    page_image one(dir / "one.mdb");
    const std::vector<std::uint32_t> one_pages = one.data_pages(jet::database::open((dir / "one.mdb").string())->find(L"T")->tdef_page());
    ASSERT_EQ(one.rows_on(one_pages.back()), 1u);
    one.disown(one_pages.back());
    one.save(dir / "one_lost.mdb");
    r = run({"--src=one_lost.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("Converting table T(266 records)\nError:\nT, record #267: The database file 'one_lost.mdb' is "
                         "damaged or not readable: table 'T': page " + std::to_string(one_pages.back())),
              std::string::npos) << r.out;

    // Two table definitions swapped: each table is read with the other's columns and map.
    {
        auto w = drav_test::new_keyed_table((dir / "pair.mdb").string(), jet::file_format::jet4, L"A",
                                            {drav_test::counter_id(), drav_test::col(L"Name", jet::column_type::text, 50)});
        w->create_table(L"B", {drav_test::counter_id(), drav_test::col(L"Amount", jet::column_type::double_)},
                        {drav_test::primary_key_on_id()});
        for (int i = 0; i < 2; ++i) {
            std::vector<jet::value> row{jet::value(), jet::value(L"alpha " + std::to_wstring(i))};
            w->append(L"A", row);
        }
        w->flush();
    }
    auto pair_db = jet::database::open((dir / "pair.mdb").string(), L"");
    const std::uint32_t a_page = pair_db->find(L"A")->tdef_page(), b_page = pair_db->find(L"B")->tdef_page();
    pair_db.reset();
    page_image pair(dir / "pair.mdb");
    const std::string a_def = pair.bytes.substr(a_page * pair.page, pair.page);
    pair.bytes.replace(a_page * pair.page, pair.page, pair.bytes.substr(b_page * pair.page, pair.page));
    pair.bytes.replace(b_page * pair.page, pair.page, a_def);
    pair.save(dir / "swapped.mdb");
    r = run({"--src=swapped.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("A, record #1: The database file 'swapped.mdb' is damaged or not readable: table 'A': data "
                         "pages of the table hold rows outside its usage map (page "),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("B, record #1: The database file 'swapped.mdb' is damaged or not readable: table 'B': page "),
              std::string::npos) << r.out;

    // The whole files convert without a word.
    for (const char* sound : {"whole.mdb", "one.mdb", "pair.mdb"}) {
        r = run({std::string("--src=") + sound, "--dest=out.sql", "--script"});
        EXPECT_EQ(r.code, 0) << sound << r.out << r.err;
        EXPECT_EQ(r.out.find("Error:"), std::string::npos) << r.out;
    }
}

// A row that cannot be decoded while its page's row table is sound is reported with its record
// number, and the rows after it are converted (a column formatted as a date, which is looked
// through before the copy, changes nothing).
TEST_F(Dravcli, ADamagedRowIsReportedAndTheRowsAfterItAreKept)
{
    {
        auto w = drav_test::new_keyed_table((dir / "whole.mdb").string(), jet::file_format::jet4, L"T",
                                            {drav_test::counter_id(), drav_test::col(L"Name", jet::column_type::text, 50),
                                             drav_test::formatted_date(L"Day", L"Short Date")});
        for (int i = 0; i < 80; ++i) {
            std::vector<jet::value> row{jet::value(), jet::value(L"row number " + std::to_wstring(i)),
                                        jet::value(jet::date_time{45352.0 + i})};
            w->append(L"T", row);
        }
        w->flush();
    }
    page_image image(dir / "whole.mdb");
    const std::vector<std::uint32_t> pages =
        image.data_pages(jet::database::open((dir / "whole.mdb").string())->find(L"T")->tdef_page());
    ASSERT_EQ(pages.size(), 1u);
    // Row 15 claims 65,535 columns: its null mask would be longer than the row.
    const std::size_t row = image.row_at(pages.front(), 14);
    image.bytes[row] = image.bytes[row + 1] = '\xFF';
    image.save(dir / "row.mdb");

    run_result r = run({"--src=row.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("Converting table T(80 records)\nError:\nT, record #15: The database file 'row.mdb' is damaged "
                         "or not readable: table 'T': a row on page " + std::to_string(pages.front()) +
                         " is shorter than its null mask.\n"),
              std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("record #16"), std::string::npos) << r.out;
    const std::string script = read_all(dir / "out.sql");
    EXPECT_NE(script.find("N'row number 13'"), std::string::npos);
    EXPECT_EQ(script.find("N'row number 14'"), std::string::npos);
    for (int i : {15, 16, 50, 79})
        EXPECT_NE(script.find("N'row number " + std::to_string(i) + "'"), std::string::npos) << i;
    EXPECT_NE(script.find("ADD PRIMARY KEY"), std::string::npos);
    EXPECT_NE(script.find("[Day] DATETIME2"), std::string::npos);   // not looked through: nothing dropped
    EXPECT_NE(script.find("These tables were not converted whole"), std::string::npos);
}

// A column description that contradicts its table or the format (an unknown type code, a slot
// past the table's variable columns, a text longer than the format holds) is named with its
// table and file, and the run ends in failure; the sound tables of the file convert.
TEST_F(Dravcli, AColumnThatContradictsItsTableIsReported)
{
    const wchar_t* const names[] = {L"Zero", L"Full", L"Slot", L"Long", L"Sound"};
    {
        std::filesystem::remove(dir / "columns.mdb");
        auto w = jet::database_writer::create((dir / "columns.mdb").string(), jet::file_format::jet4, 45000);
        for (const wchar_t* name : names) {
            w->create_table(name, {drav_test::counter_id(), drav_test::col(L"Name", jet::column_type::text, 50)},
                            {drav_test::primary_key_on_id()});
            std::vector<jet::value> row{jet::value(), jet::value(std::wstring(L"value of ") + name)};
            w->append(name, row);
        }
        w->flush();
    }
    auto db = jet::database::open((dir / "columns.mdb").string(), L"");
    page_image image(dir / "columns.mdb");
    auto name_column = [&](const wchar_t* table) {
        auto def = db->table(table);
        return image.column_at(def->tdef_page, def->columns[static_cast<std::size_t>(def->find_column(L"Name"))]);
    };
    image.bytes[name_column(L"Zero")] = 0;
    image.bytes[name_column(L"Full")] = '\xFF';
    image.bytes[name_column(L"Slot") + 7] = 5;     // its variable slot: the table has one
    image.bytes[name_column(L"Long") + 23] = '\xFF';   // length 32,767 bytes
    image.bytes[name_column(L"Long") + 24] = '\x7F';
    image.save(dir / "contradicting.mdb");

    run_result r = run({"--src=contradicting.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    const std::string damaged = ": The database file 'contradicting.mdb' is damaged or not readable: column 'Name' of table '";
    EXPECT_NE(r.out.find("Zero" + damaged + "Zero' has the unknown type code 0."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Full" + damaged + "Full' has the unknown type code 255."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Slot" + damaged + "Slot' stands at variable slot 5 of the 1 the table has."), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Long" + damaged + "Long' declares a text of 32767 bytes, more than the format holds (510)."),
              std::string::npos) << r.out;
    const std::string script = read_all(dir / "out.sql");
    EXPECT_NE(script.find("N'value of Sound'"), std::string::npos);
    EXPECT_EQ(script.find("VARBINARY"), std::string::npos);
    EXPECT_EQ(script.find("NVARCHAR(MAX)"), std::string::npos);
}

// A column formatted as a date (or a time) keeps the server's narrower type only while no value
// has a part that type drops.
TEST_F(Dravcli, DateFormattedColumnsHoldingTimesStayDateAndTime)
{
    const double day = 45352;   // 2024-03-01
    {
        auto w = drav_test::new_keyed_table((dir / "times.mdb").string(), jet::file_format::jet4, L"Orders",
                                            {drav_test::counter_id(), drav_test::formatted_date(L"Ordered", L"Short Date"),
                                             drav_test::formatted_date(L"Shipped", L"Long Date"),
                                             drav_test::formatted_date(L"Starts", L"Long Time"),
                                             drav_test::formatted_date(L"Stamp", L"Medium Time")});
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
    EXPECT_GE(drav_test::occurrences(script, "INSERT INTO"), 1);
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
        // Signalled once it says that it waits for the pipe's reader, however long that takes.
        EXPECT_NE(waiting.read_until("Waiting for a program to read the named pipe 'pipe.sql'", 120).find("Waiting"),
                  std::string::npos)
            << waiting.out();
        ::kill(waiting.pid(), SIGTERM);
        EXPECT_EQ(waiting.finish(), 128 + SIGTERM) << waiting.out();
        EXPECT_NE(read_all(dir / "err.txt").find("Stopped by signal 15\nNo script was written.\n"), std::string::npos)
            << read_all(dir / "err.txt");
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
    // The middle data page of its table of 100,000 rows; the first row on it is overwritten.
    page_image image(src);
    const std::vector<std::uint32_t> pages = image.data_pages(jet::database::open(src)->find(L"Big")->tdef_page());
    ASSERT_GT(pages.size(), 100u);
    image.bytes.replace(image.row_at(pages[pages.size() / 2], 0), 40, std::string(40, '\xFF'));
    image.save(dir / "damaged.mdb");

    run_result r = run({"--src=damaged.mdb", "--dest=out.sql", "--script", "--skip_idx"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("Big, record #"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(": The database file 'damaged.mdb' is damaged"), std::string::npos) << r.out;
    const std::string script = read_all(dir / "out.sql");
    EXPECT_NE(script.find("INSERT INTO [dbo].[Big]"), std::string::npos);
    const std::string note = "\r\n/*\r\nThese tables were not converted whole: some of their rows or "
                             "indexes, or the whole table, are missing from this script.\r\n\t- Big\r\n*/\r\n";
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

// The indexes that the server cannot hold are left out: each is named with its table and reason
// where the user reads the run's errors (standard output, or standard error while the script
// goes to standard output), the script's closing comment names the table, and the run ends
// non-zero. Indexes left out on purpose (--skip_idx) are no failure.
TEST_F(Dravcli, IndexesTheServerCannotHoldAreNamedAndTheRunFails)
{
    drav_test::write_unindexable_table(dir / "idx.mdb");
    const std::vector<std::string> said = {
        "Error:\nFlags: The index 'ByDone' was left out: an index on a Yes/No column ('Done') is not converted.\n",
        "Error:\nFlags: The unique index 'LongKey' was left out: its key can pass 900 bytes, which is not converted.\n",
        "Error:\nFlags: The index 'ByBody' was left out: an index on a memo or long binary column ('Body') is not "
        "converted.\n"};
    run_result r = run({"--src=idx.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    for (const std::string& line : said)
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    EXPECT_NE(r.err.find("There were some errors while converting the database."), std::string::npos) << r.err;
    const std::string script = read_all(dir / "out.sql");
    EXPECT_NE(script.find("N'name 2')"), std::string::npos) << script;   // every row
    EXPECT_NE(script.find("ADD PRIMARY KEY([ID])"), std::string::npos) << script;
    EXPECT_NE(script.find("CREATE INDEX [ByName] ON [dbo].[Flags]([Name])"), std::string::npos) << script;
    for (const char* gone : {"[ByDone]", "[LongKey]", "[ByBody]"})
        EXPECT_EQ(script.find(gone), std::string::npos) << gone;
    EXPECT_NE(script.find("are missing from this script.\r\n\t- Flags\r\n*/"), std::string::npos) << script;

    r = run({"--src=idx.mdb", "--dest=/dev/stdout", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    for (const std::string& line : said)
        EXPECT_NE(r.err.find(line), std::string::npos) << line << r.err;
    EXPECT_EQ(r.out.find("Error:"), std::string::npos);

    r = run({"--src=idx.mdb", "--dest=out.sql", "--script", "--skip_idx"});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("Error:"), std::string::npos) << r.out;
}

namespace {

// The long-value pages (memo, OLE) of a Jet4 image that hold `text` (ASCII) as one or two bytes a character.
std::vector<std::uint32_t> long_value_pages_holding(const page_image& image, const std::string& ascii)
{
    std::string wide;
    for (char c : ascii)
        wide += std::string{c, '\0'};
    std::vector<std::uint32_t> found;
    for (std::uint32_t p = 1; p < image.bytes.size() / image.page; ++p) {
        const std::string_view page(image.bytes.data() + p * image.page, image.page);
        if (page[0] == 1 && page.substr(4, 4) == "LVAL" &&
            (page.find(ascii) != std::string_view::npos || page.find(wide) != std::string_view::npos))
            found.push_back(p);
    }
    return found;
}

} // namespace

// A damaged file is named as damaged, with the table and what could not be read: not as a fault of
// a statement's text, an empty read or a wrong password. A real password still gets its message.
TEST_F(Dravcli, DamagedFilesAreNamedAsDamagedNotAsStatementOrPasswordFaults)
{
    using T = jet::column_type;
    // A long value of a table read through a statement (its date-formatted column is checked first).
    {
        auto w = drav_test::new_keyed_table((dir / "staff.mdb").string(), jet::file_format::jet4, L"Employees",
                                            {drav_test::counter_id(), drav_test::col(L"Notes", T::memo),
                                             drav_test::formatted_date(L"Hired", L"Short Date")});
        for (int i = 0; i < 5; ++i) {
            std::vector<jet::value> row{jet::value(), jet::value(std::wstring(3000, static_cast<wchar_t>(L'a' + i))),
                                        jet::value(jet::date_time{45000.0 + i})};
            w->append(L"Employees", row);
        }
        w->flush();
    }
    page_image staff(dir / "staff.mdb");
    const std::vector<std::uint32_t> notes = long_value_pages_holding(staff, std::string(100, 'c'));
    ASSERT_FALSE(notes.empty());
    staff.zero(notes.front());
    staff.save(dir / "staff_lv.mdb");
    run_result r = run({"--src=staff_lv.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("Error:\nEmployees, record #3: The database file 'staff_lv.mdb' is damaged or not readable: "
                         "table 'Employees': long value page " + std::to_string(notes.front()) + " is not a data page.\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("SELECT statement"), std::string::npos) << r.out;

    // A table whose every data page is gone: the table is named, not "No current record.".
    write_text_table(dir / "data.mdb", 80);
    page_image data(dir / "data.mdb");
    {
        auto db = jet::database::open((dir / "data.mdb").string(), L"");
        for (std::uint32_t p : data.data_pages(db->find(L"T")->tdef_page()))
            data.zero(p);
    }
    data.save(dir / "data_lost.mdb");
    r = run({"--src=data_lost.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("Converting table T(0 records)\nError:\nT, record #1: The database file 'data_lost.mdb' is "
                         "damaged or not readable: table 'T': page "),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("No current record"), std::string::npos) << r.out;

    // Header bytes of a file without a password: the password field, the creation date that masks it.
    const std::string damaged = "The database file 'header.mdb' is damaged or not readable: the database password "
                                "field of its header holds no password.";
    for (const std::size_t at : {0x46u, 0x72u}) {
        page_image header(dir / "data.mdb");
        for (std::size_t i = at; i < at + 8; ++i)
            header.at(0, i) ^= '\x5A';
        header.save(dir / "header.mdb");
        for (const char* password : {"--srcp=", "--srcp=Secret"}) {
            r = run({"--src=header.mdb", "--dest=out.sql", "--script", password});
            EXPECT_EQ(r.code, 255) << at << r.out << r.err;
            EXPECT_NE(r.out.find(damaged), std::string::npos) << at << r.out;
            EXPECT_EQ(r.out.find("Not a valid password"), std::string::npos) << at << r.out;
        }
    }
    // The same file under a password: without it, or with another, "Not a valid password."; with it, whole.
    {
        const std::string bytes = read_all(dir / "data.mdb");
        const std::vector<std::uint8_t> image =
            drav_test::with_jet4_password(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), u"S\u00e9cret");
        std::ofstream(dir / "locked.mdb", std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                                                  static_cast<std::streamsize>(image.size()));
    }
    for (const char* password : {"--srcp=", "--srcp=Secret"}) {
        r = run({"--src=locked.mdb", "--dest=out.sql", "--script", password});
        EXPECT_EQ(r.code, 255) << r.out << r.err;
        EXPECT_NE(r.out.find("Not a valid password. (file 'locked.mdb')"), std::string::npos) << r.out;
    }
    r = run({"--src=locked.mdb", "--dest=out.sql", "--script", "--srcp=S\xC3\xA9" "cret"});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(read_all(dir / "out.sql").find("N'row number 79'"), std::string::npos);
}

// The loss checks keep from refusing sound files. A page on the file's map of free pages is not
// the table's, whatever it holds (a dropped table's rows naming a definition page used again);
// the same page off that map holds rows the table's map leaves out. A page left out of the map
// is a stale copy (not reported) only when more than half of its live rows stand byte for byte on
// the table's pages: exactly half is a loss.
TEST_F(Dravcli, FreePagesAndStaleCopiesAreNoLossButTheirNeighboursAre)
{
    const fs::path path = dir / "dropped.mdb";
    {
        auto w = drav_test::new_keyed_table(path.string(), jet::file_format::jet4, L"T",
                                            {drav_test::counter_id(), drav_test::col(L"Name", jet::column_type::text, 50)});
        w->create_table(L"Scrap", {drav_test::col(L"Raw", jet::column_type::binary, 32)}, {});
        for (int i = 0; i < 600; ++i) {
            std::vector<jet::value> row{jet::value(), jet::value(L"row number " + std::to_wstring(i))};
            w->append(L"T", row);
            row = {jet::value(jet::bytes(20, static_cast<std::uint8_t>(i)))};
            w->append(L"Scrap", row);
        }
        w->flush();
        fs::copy_file(path, dir / "before.mdb");
        w->delete_table(L"Scrap");
        w->flush();
    }
    auto before_db = jet::database::open((dir / "before.mdb").string(), L"");
    const std::uint32_t t_page = before_db->find(L"T")->tdef_page();
    const page_image before(dir / "before.mdb");
    const std::vector<std::uint32_t> scrap = before.data_pages(before_db->find(L"Scrap")->tdef_page());
    const std::vector<std::uint32_t> t_pages = before.data_pages(t_page);
    ASSERT_FALSE(scrap.empty());
    ASSERT_GE(t_pages.size(), 2u);
    const std::uint32_t s = scrap.front();
    const page_image dropped(path);
    ASSERT_TRUE(dropped.data_pages(t_page) == t_pages);

    // The free-page map: row 0 of page 1, an inline map (type 0, first page, then one bit a page).
    const std::size_t free_map = dropped.row_at(1, 0);
    ASSERT_EQ(dropped.bytes[free_map], 0) << "an inline map";
    const std::uint32_t bit = s - dropped.u32(free_map + 1);
    const std::size_t free_byte = free_map + 5 + bit / 8;
    ASSERT_NE(dropped.bytes[free_byte] & (1 << (bit % 8)), 0) << "the dropped table's page is free";
    auto unfree = [&](page_image& image) {
        image.bytes[free_byte] = static_cast<char>(image.bytes[free_byte] & ~(1 << (bit % 8)));
    };
    auto converts_whole = [&](const char* file) {
        const run_result r = run({std::string("--src=") + file, "--dest=out.sql", "--script"});
        EXPECT_EQ(r.code, 0) << file << r.out << r.err;
        EXPECT_EQ(r.out.find("Error"), std::string::npos) << file << r.out;
        EXPECT_NE(r.out.find("Converting table T(600 records)\n"), std::string::npos) << file << r.out;
        EXPECT_NE(read_all(dir / "out.sql").find("N'row number 599'"), std::string::npos) << file;
    };
    const std::string outside = "table 'T': data pages of the table hold rows outside its usage map (page " +
                                std::to_string(s) + "): those rows are not read.\n";
    auto reports_page = [&](const char* file) {
        const run_result r = run({std::string("--src=") + file, "--dest=out.sql", "--script"});
        EXPECT_EQ(r.code, 255) << file << r.out << r.err;
        EXPECT_EQ(drav_test::occurrences(r.out, "Error:"), 1) << file << r.out;
        EXPECT_NE(r.out.find(outside), std::string::npos) << file << r.out;
    };
    converts_whole("dropped.mdb");

    // The dropped table's rows back on their free page, naming T's definition page.
    page_image reused = dropped;
    reused.bytes.replace(s * reused.page, reused.page, before.bytes, s * before.page, before.page);
    reused.put32(s * reused.page + 4, t_page);
    reused.save(dir / "reused.mdb");
    converts_whole("reused.mdb");
    page_image unlisted = reused;
    unfree(unlisted);
    unlisted.save(dir / "unlisted.mdb");
    reports_page("unlisted.mdb");

    // A copy of a page of T off every map, with an even number of live rows; rows made its own
    // (another ID) from the first on: half of them a loss, one fewer a stale copy.
    page_image copy = dropped;
    const std::uint32_t p = t_pages.front();
    copy.bytes.replace(s * copy.page, copy.page, copy.bytes, p * copy.page, copy.page);
    unfree(copy);
    unsigned live = copy.rows_on(s);
    if (live % 2 == 1)
        copy.delete_row(s, --live);
    ASSERT_GE(live, 4u);
    auto own_rows = [&](unsigned n) {
        page_image image = copy;
        for (unsigned slot = 0; slot < n; ++slot)
            image.put32(image.row_at(s, slot) + 2, 0x40000000u + slot);
        return image;
    };
    own_rows(live / 2).save(dir / "half.mdb");
    reports_page("half.mdb");
    own_rows(live / 2 - 1).save(dir / "most.mdb");
    converts_whole("most.mdb");
}

// A page whose row table is damaged from one row on (its entries zeroed): the rest of that page
// cannot be told apart and is one report, not one a row; the rows before it and the pages after
// it are converted.
TEST_F(Dravcli, ADamagedRowTableIsReportedOnceForTheRestOfItsPage)
{
    write_text_table(dir / "whole.mdb", 3000);
    page_image image(dir / "whole.mdb");
    const std::vector<std::uint32_t> pages =
        image.data_pages(jet::database::open((dir / "whole.mdb").string())->find(L"T")->tdef_page());
    ASSERT_GT(pages.size(), 3u);
    const std::size_t at = pages.size() / 2;
    const std::uint32_t p = pages[at];
    unsigned first = 0;   // the number of the page's first row
    for (std::size_t i = 0; i < at; ++i)
        first += image.rows_on(pages[i]);
    const unsigned on_page = image.rows_on(p), from = 5;
    ASSERT_GT(on_page, from + 10);
    for (unsigned slot = from; slot < on_page; ++slot)
        image.bytes[image.row_entry(p, slot)] = image.bytes[image.row_entry(p, slot) + 1] = 0;
    image.save(dir / "table.mdb");

    const run_result r = run({"--src=table.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_EQ(drav_test::occurrences(r.out, "Error:"), 1) << r.out;
    EXPECT_NE(r.out.find("T, record #" + std::to_string(first + from + 1) +
                         ": The database file 'table.mdb' is damaged or not readable: table 'T': row " +
                         std::to_string(from) + " of page " + std::to_string(p) + " has bad bounds"),
              std::string::npos) << r.out;
    const std::string script = read_all(dir / "out.sql");
    for (unsigned row : {0u, first + from - 1, first + on_page, 2999u})
        EXPECT_NE(script.find("N'row number " + std::to_string(row) + "'"), std::string::npos) << row;
    for (unsigned row : {first + from, first + on_page - 1})
        EXPECT_EQ(script.find("N'row number " + std::to_string(row) + "'"), std::string::npos) << row;
}

namespace {

// Where row `slot` of data page `p` ends: the page's end for the first row, else where the row
// before it starts (Jet4).
std::size_t row_end(const page_image& image, std::uint32_t p, unsigned slot)
{
    return slot == 0 ? (p + 1) * image.page : p * image.page + (image.u16(image.row_entry(p, slot - 1)) & 0x1FFF);
}

// The byte where the offset of variable-length value `var_index` lies in a Jet4 row of `columns`
// columns (the offsets stand before the count of them and the null mask, the first one last).
std::size_t var_offset_at(const page_image& image, std::uint32_t p, unsigned slot, unsigned columns, unsigned var_index)
{
    return row_end(image, p, slot) - (columns + 7) / 8 - 4 - 2 * var_index;
}

// The page and row of the long value that a 12-byte reference at `ref` names.
std::pair<std::uint32_t, unsigned> long_value_row(const page_image& image, std::size_t ref)
{
    return {image.u32(ref + 4) >> 8, static_cast<std::uint8_t>(image.bytes[ref + 4])};
}

// The byte where the column map of real index `real` of the table defined at `tdef` begins
// (Jet4: after the column descriptions and names; ten entries of a column number and an order).
std::size_t index_columns_at(const page_image& image, std::uint32_t tdef, const jet::table_def& def, unsigned real)
{
    std::size_t at = image.column_at(tdef, def.columns.front()) -
                     jet::layout_for(jet::file_format::jet4).column_def_size * def.columns.front().position +
                     jet::layout_for(jet::file_format::jet4).column_def_size * def.columns.size();
    for (std::size_t i = 0; i < def.columns.size(); ++i)
        at += 2 + image.u16(at);
    return at + jet::layout_for(jet::file_format::jet4).real_idx_def_size * real + 4;
}

} // namespace

// Rows whose bytes contradict their own counts or their table are reported with their record
// and what is wrong, and the rows after them are kept: a row that counts no columns yet holds
// bytes, a value that starts among the row's fixed-length values, a row whose count of
// variable-length values is short of what its null mask gives, a memo whose long-value row was
// deleted or starts in its page's header, a value that runs into the row's table of offsets, a
// page whose count of rows was cut (its count of free bytes says more are in use than the rows it
// lists hold: the rows past the count are reported lost), a decimal of more digits than its
// column's precision, a row that counts more columns than its table ever had (when that moves
// its null mask). A text that lost what the file holds (a compression
// mark damaged, so read as UTF-16 of odd length; half a surrogate pair alone) is kept and
// reported as a value changed. A row that counts fewer columns than its table, the missing one
// the one added last, is what Access leaves from before the column was added: no word of it.
TEST_F(Dravcli, RowsThatContradictTheirTableAreReportedAndTheRowsAfterThemKept)
{
    using T = jet::column_type;
    {
        auto w = drav_test::new_keyed_table((dir / "whole.mdb").string(), jet::file_format::jet4, L"T",
                                            {drav_test::counter_id(), drav_test::col(L"Name", T::text, 10),
                                             drav_test::col(L"Code", T::text, 100), drav_test::col(L"Body", T::memo),
                                             drav_test::col(L"Added", T::long_integer)});
        for (int i = 0; i < 12; ++i) {
            const std::wstring n = std::to_wstring(i);
            std::vector<jet::value> row{jet::value(), jet::value(L"n" + n),
                                        jet::value(i == 7 ? L"\u4E2D code " + n : i == 6 ? L"code 6 is odd" : L"code " + n),
                                        jet::value(L"body of row " + n + L" " + std::wstring(300, L'b')),
                                        jet::value(static_cast<std::int32_t>(1000 + i))};
            w->append(L"T", row);
        }
        w->flush();
    }
    const auto def = jet::database::open((dir / "whole.mdb").string())->table(L"T");
    page_image image(dir / "whole.mdb");
    const std::vector<std::uint32_t> pages = image.data_pages(def->tdef_page);
    ASSERT_EQ(pages.size(), 1u);
    const std::uint32_t p = pages.front();
    ASSERT_EQ(image.rows_on(p), 12u);
    // Row 9 counts 4 columns: the last one, Added, was added after it was written.
    page_image older = image;
    older.bytes[older.row_at(p, 8)] = 4;
    // Row 10 counts 6: more than its table ever had, but its null mask stays where it was, and
    // nothing read changes.
    older.bytes[older.row_at(p, 9)] = 6;
    // Its count of free bytes says none, but the bytes past its rows are unwritten: no row lost.
    older.bytes[p * older.page + 2] = older.bytes[p * older.page + 3] = 0;
    older.save(dir / "older.mdb");
    const unsigned ncols = 5;
    auto ref_of_body = [&](unsigned slot) { return image.row_at(p, slot) + image.u16(var_offset_at(image, p, slot, ncols, 2)); };

    run_result r = run({"--src=whole.mdb", "--dest=out.sql", "--script"});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    // The page lists 9 of its 12 rows.
    page_image cut = image;
    cut.bytes[p * cut.page + 12] = 9;
    cut.save(dir / "cut.mdb");

    // Row 2 counts no columns.
    image.bytes[image.row_at(p, 1)] = image.bytes[image.row_at(p, 1) + 1] = 0;
    // Row 3: the value of Name starts at the row's first fixed-length value.
    image.bytes[var_offset_at(image, p, 2, ncols, 0)] = 2;
    image.bytes[var_offset_at(image, p, 2, ncols, 0) + 1] = 0;
    // Row 4 holds one variable-length value by its count, three by its null mask.
    image.bytes[row_end(image, p, 3) - 1 - 2] = 1;
    // Row 5's memo names a deleted long-value row, row 6's one that starts in its page's header.
    {
        const auto [lv_page, lv_row] = long_value_row(image, ref_of_body(4));
        image.bytes[image.row_entry(lv_page, lv_row) + 1] |= '\x80';
        const auto [lv_page6, lv_row6] = long_value_row(image, ref_of_body(5));
        image.bytes[image.row_entry(lv_page6, lv_row6)] = 10;
        image.bytes[image.row_entry(lv_page6, lv_row6) + 1] = 0;
    }
    // Row 7: the compression mark of Code's "code 6 is odd" (15 bytes) no longer says so.
    {
        const std::size_t at = image.row_at(p, 6) + image.u16(var_offset_at(image, p, 6, ncols, 1));
        ASSERT_EQ(image.bytes.substr(at, 2), "\xFF\xFE");
        image.bytes[at + 1] = '\xFD';
    }
    // Row 8: the first half of a surrogate pair where Code's first character stood.
    {
        const std::size_t at = image.bytes.find("\x2D\x4E", image.row_at(p, 7));
        ASSERT_LT(at, row_end(image, p, 7));
        image.bytes[at] = 0;
        image.bytes[at + 1] = '\xD8';
    }
    // Row 10 counts 9 columns, more than its table ever had: its null mask would take two bytes.
    image.bytes[image.row_at(p, 9)] = 9;
    // Row 11: its last value (Body's reference) ends two bytes into the row's table of offsets.
    image.bytes[var_offset_at(image, p, 10, ncols, 3)] += 2;
    image.save(dir / "rows.mdb");

    r = run({"--src=rows.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    const std::string damaged = ": The database file 'rows.mdb' is damaged or not readable: table 'T': ";
    const std::string page = std::to_string(p);
    EXPECT_NE(r.out.find("T, record #2" + damaged + "a row on page " + page + " counts no columns but holds "),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("T, record #3" + damaged + "the value of column 'Name' in a row on page " + page +
                         " starts inside the row's fixed-length values."),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("T, record #4" + damaged + "a row on page " + page +
                         " counts 1 variable-length values, but its null mask gives one to column 'Code' (slot 1)."),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("T, record #5" + damaged), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(", which a live row names, is deleted."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("T, record #6" + damaged), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" starts inside the page's header."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("T, record #7: the text of column 'Code' is stored with an odd number of bytes: its last "
                         "byte was dropped\n"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("T, record #8: the text of column 'Code' holds half a surrogate pair (U+D800) alone, which "
                         "is no character: it was written as U+FFFD\n"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("T, record #11" + damaged + "the value of column 'Body' in a row on page " + page +
                         " runs into the row's table of value offsets."),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("T, record #10" + damaged + "a row on page " + page +
                         " counts 9 columns, more than the 5 its table has ever had."),
              std::string::npos) << r.out;
    for (const char* quiet : {"record #1:", "record #9", "record #12"})
        EXPECT_EQ(r.out.find(quiet), std::string::npos) << quiet << r.out;
    std::string script = read_all(dir / "out.sql");
    for (int lost : {1, 2, 3, 4, 5, 9, 10})
        EXPECT_EQ(script.find("N'n" + std::to_string(lost) + "'"), std::string::npos) << lost;
    for (int kept : {0, 6, 7, 8, 11})
        EXPECT_NE(script.find("N'n" + std::to_string(kept) + "'"), std::string::npos) << kept;
    EXPECT_NE(script.find("N'\xEF\xBF\xBD code 7'"), std::string::npos);   // U+FFFD in UTF-8
    EXPECT_NE(script.find("These tables were not converted whole"), std::string::npos);

    r = run({"--src=cut.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("T, record #10: The database file 'cut.mdb' is damaged or not readable: table 'T': data page " +
                         page + " lists 9 rows, but its count of free bytes says "),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" more bytes are in use than they hold: the rows past its count are lost."), std::string::npos);
    script = read_all(dir / "out.sql");
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(script.find("N'n" + std::to_string(i) + "'") != std::string::npos, i < 9) << i;

    // A decimal with more digits than its column's precision allows.
    {
        auto w = drav_test::new_keyed_table((dir / "decimal.mdb").string(), jet::file_format::jet4, L"D",
                                            {drav_test::counter_id(), drav_test::decimal_18_4(L"Amount")});
        for (int i = 1; i <= 3; ++i) {
            jet::decimal d;
            d.precision = 18;
            d.scale = 4;
            d.lo = 10000u * static_cast<unsigned>(i);
            std::vector<jet::value> row{jet::value(), jet::value(d)};
            w->append(L"D", row);
        }
        w->flush();
    }
    const auto ddef = jet::database::open((dir / "decimal.mdb").string())->table(L"D");
    page_image decimals(dir / "decimal.mdb");
    const std::uint32_t dp = decimals.data_pages(ddef->tdef_page).front();
    const std::size_t amount_at =
        decimals.row_at(dp, 1) + 2 + ddef->columns[static_cast<std::size_t>(ddef->find_column(L"Amount"))].fixed_offset;
    decimals.bytes[amount_at + 1] = '\x01';   // the lowest byte of its highest word: 2^96 and more, 29 digits
    decimals.save(dir / "decimal.mdb");
    r = run({"--src=decimal.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("D, record #2: The database file 'decimal.mdb' is damaged or not readable: table 'D': the "
                         "value of column 'Amount' in a row on page " + std::to_string(dp) +
                         " has more digits than its precision (18) allows."),
              std::string::npos) << r.out;
    script = read_all(dir / "out.sql");
    EXPECT_NE(script.find("[Amount]) VALUES (1, 1), (3, 3)"), std::string::npos) << script;

    r = run({"--src=older.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    script = read_all(dir / "out.sql");
    EXPECT_NE(script.find("N'n8', N'code 8'"), std::string::npos);
    EXPECT_EQ(script.find(", 1008)"), std::string::npos);   // Added: NULL for the row written before it
    EXPECT_NE(script.find(", 1009)"), std::string::npos);
    EXPECT_NE(script.find("N'n9', N'code 9'"), std::string::npos);
    // mdbtools reads that row the same way: its last value, Added, is empty; the next one's is not.
    const auto outside = drav_test::mdbtools_read((dir / "older.mdb").string(), "T");
    if (outside.available) {
        ASSERT_TRUE(outside.ok) << outside.csv;
        const std::size_t row8 = outside.csv.find("\"n8\",\"code 8\",");
        ASSERT_NE(row8, std::string::npos) << outside.csv;
        EXPECT_EQ(outside.csv.substr(outside.csv.find('\n', row8) - 1, 2), ",\n") << outside.csv.substr(row8, 400);
        EXPECT_NE(outside.csv.find(",1009\n"), std::string::npos);
    }
}

// A column or an index whose description contradicts its table or the format is reported and
// never converted as something else: a column number past the table's count of columns, a
// calculated column in a format that has none or with no type for its result (each table is not
// converted, with the file, the table and the column named); an index that names a column twice,
// or none, and a primary key that the reader would once have dropped as the engine's own key of
// a multi-valued column, are left out with the report of an index left out; a column whose name
// is longer than Access allows (its length damaged) or whose number another column has is not
// converted. The sound tables of the
// files convert.
TEST_F(Dravcli, ColumnsAndIndexesThatContradictTheirTableAreReported)
{
    using T = jet::column_type;
    const wchar_t* const names[] = {L"Numbered", L"Calc", L"Twice", L"Empty", L"Named", L"Shared", L"Sound"};
    for (const auto format : {jet::file_format::jet4, jet::file_format::ace}) {
        const fs::path path = dir / (format == jet::file_format::ace ? "whole.accdb" : "whole.mdb");
        std::filesystem::remove(path);
        auto w = jet::database_writer::create(path.string(), format, 45000);
        for (const wchar_t* name : names) {
            w->create_table(name, {drav_test::counter_id(), drav_test::col(L"Code", T::long_integer),
                                   drav_test::col(L"Name", T::text, 50)},
                            {drav_test::primary_key_on_id(), drav_test::index(L"ByCode", {{L"Code", true}})});
            std::vector<jet::value> row{jet::value(), jet::value(std::int32_t{7}), jet::value(std::wstring(L"in ") + name)};
            w->append(name, row);
        }
        // Its key over a column that will say its result is a memo.
        auto key = drav_test::col(L"Key", T::long_integer);
        key.properties.items.push_back(jet::property{L"ResultType", T::byte, false, jet::value(std::uint8_t{12})});
        w->create_table(L"MemoKey", {key, drav_test::col(L"Name", T::text, 50)},
                        {drav_test::index(L"PrimaryKey", {{L"Key", true}}, true)});
        std::vector<jet::value> row{jet::value(std::int32_t{1}), jet::value(std::wstring(L"in MemoKey"))};
        w->append(L"MemoKey", row);
        w->flush();
    }
    for (const char* file : {"whole.mdb", "whole.accdb"}) {
        run_result r = run({std::string("--src=") + file, "--dest=out.sql", "--script"});
        ASSERT_EQ(r.code, 0) << r.out << r.err;
    }
    auto damage = [&](const fs::path& from, const fs::path& to) {
        auto db = jet::database::open(from.string(), L"");
        page_image image(from);
        auto column = [&](const wchar_t* table, const wchar_t* name) {
            auto def = db->table(table);
            return image.column_at(def->tdef_page, def->columns[static_cast<std::size_t>(def->find_column(name))]);
        };
        image.bytes[column(L"Numbered", L"Name") + 5] = '\x0F';   // number 16,399 of 3 columns
        image.bytes[column(L"Numbered", L"Name") + 6] = '\x40';
        image.bytes[column(L"Shared", L"Name") + 5] = image.bytes[column(L"Shared", L"Code") + 5];   // Code's number
        image.bytes[column(L"Shared", L"Name") + 6] = image.bytes[column(L"Shared", L"Code") + 6];
        image.bytes[column(L"Calc", L"Code") + 16] |= '\xC0';       // calculated
        image.bytes[column(L"MemoKey", L"Key") + 15] |= '\x04';    // a numbered key, calculated
        image.bytes[column(L"MemoKey", L"Key") + 16] |= '\xC0';
        // The name of Named's first column said to be 132 bytes long: 66 characters.
        {
            auto def = db->table(L"Named");
            const auto first = std::find_if(def->columns.begin(), def->columns.end(),
                                            [](const jet::column_def& c) { return c.position == 0; });
            const std::size_t names_at = image.column_at(def->tdef_page, *first) +
                                         def->columns.size() * jet::layout_for(jet::file_format::jet4).column_def_size;
            ASSERT_EQ(image.u16(names_at), 4u);   // "ID"
            image.bytes[names_at] = static_cast<char>(132);
        }
        // The map of the key over Code names Code twice; the one over ID names none.
        for (const wchar_t* table : {L"Twice", L"Empty"}) {
            auto def = db->table(table);
            for (unsigned real = 0; real < def->indexes.size(); ++real) {
                const std::size_t at = index_columns_at(image, def->tdef_page, *def, real);
                const bool on_code = image.u16(at) == def->columns[1].number;
                if (table == std::wstring(L"Twice") && on_code) {
                    image.bytes[at + 3] = image.bytes[at];
                    image.bytes[at + 4] = image.bytes[at + 1];
                    image.bytes[at + 5] = image.bytes[at + 2];
                } else if (table == std::wstring(L"Empty") && !on_code) {
                    image.bytes[at] = image.bytes[at + 1] = '\xFF';
                }
            }
        }
        image.save(to);
    };
    damage(dir / "whole.mdb", dir / "columns.mdb");
    damage(dir / "whole.accdb", dir / "columns.accdb");

    run_result r = run({"--src=columns.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    const std::string damaged = ": The database file 'columns.mdb' is damaged or not readable: column '";
    EXPECT_NE(r.out.find("Numbered" + damaged + "Name' of table 'Numbered' has the number 16399, past the 3 columns the "
                         "table counts."),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Calc" + damaged + "Code' of table 'Calc' is marked as calculated, which this file's format "
                         "does not have."),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Twice: The index 'ByCode' was left out: it names the column 'Code' twice, which no server "
                         "takes."),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Empty: The primary key 'PrimaryKey' was left out: it has no columns."), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Named: The database file 'columns.mdb' is damaged or not readable: column 1 of table 'Named' "
                         "has a name of 66 characters, more than the 64 a column's name can have."),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Shared" + damaged + "Name' of table 'Shared' has the number 1, which column 'Code' has too."),
              std::string::npos) << r.out;
    std::string script = read_all(dir / "out.sql");
    for (const char* lost : {"N'in Numbered'", "N'in Calc'", "N'in Named'", "N'in Shared'", "[Code], [Code]"})
        EXPECT_EQ(script.find(lost), std::string::npos) << lost;
    for (const char* kept : {"N'in Twice'", "N'in Empty'", "N'in Sound'", "[ByCode] ON [dbo].[Empty]([Code])"})
        EXPECT_NE(script.find(kept), std::string::npos) << kept;
    EXPECT_NE(script.find("These tables were not converted whole"), std::string::npos);

    // In the format that has calculated columns, one that names no type for its result.
    r = run({"--src=columns.accdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("Calc: The database file 'columns.accdb' is damaged or not readable: column 'Code' of table "
                         "'Calc' is calculated but names no type for its result."),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Twice: The index 'ByCode' was left out"), std::string::npos) << r.out;
    EXPECT_NE(read_all(dir / "out.sql").find("N'in Sound'"), std::string::npos);
    // A key over a column the reader takes for a multi-valued one (a numbered memo) is no key of
    // the engine's own: it is left out as any key on a memo, with its report.
    EXPECT_NE(r.out.find("MemoKey: The primary key 'PrimaryKey' was left out: an index on a memo or long binary "
                         "column ('Key') is not converted."),
              std::string::npos) << r.out;
}

// Folder, file, table, column and index named in the user's own letters: every message names them
// as they are written and says the whole of what is wrong, on a sound file whose index is left
// out, on damaged rows, a damaged column and a damaged table definition, and on a wrong password.
TEST_F(Dravcli, MessagesKeepNamesInTheUsersOwnLettersWhole)
{
    using namespace drav_test;
    fs::create_directory(dir / kWorldFolder);
    const std::string src = kWorldFolder + "/" + kWorldFile;
    const std::string table = utf8(kWorldTable), damaged = "The database file '" + src + "' is damaged or not readable: ";
    write_world_table(dir / src, 40);
    const page_image whole(dir / src);
    std::uint32_t tdef = 0;
    std::size_t column = 0;
    {
        auto db = jet::database::open((dir / src).string(), L"");
        auto def = db->table(kWorldTable);
        tdef = def->tdef_page;
        column = whole.column_at(tdef, def->columns[static_cast<std::size_t>(def->find_column(kWorldColumn))]);
    }

    // The sound file: read whole; its index on the memo is named with its column, and the run fails.
    run_result r = run({"--src=" + src, "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("Converting table " + table + "(40 records)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Error:\n" + table + ": The index '" + utf8(kWorldIndex) + "' was left out: an index on a "
                         "memo or long binary column ('" + utf8(kWorldMemo) + "') is not converted.\n"),
              std::string::npos) << r.out;
    const std::string script = read_all(dir / "out.sql");
    EXPECT_NE(script.find("N'\xC3\xA9t\xC3\xA9 39'"), std::string::npos);
    EXPECT_NE(script.find("[" + utf8(kWorldColumn) + "]"), std::string::npos) << script;

    // Its rows lost: the row, the file and the table are named, and what was wrong is said.
    lose_world_rows(dir / src);
    r = run({"--src=" + src, "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("Error:\n" + table + ", record #1: " + damaged + "table '" + table + "': page "),
              std::string::npos) << r.out;

    // A column whose type is no type; a table definition whose index count is impossible.
    page_image typed = whole;
    typed.bytes[column] = 0;
    typed.save(dir / src);
    r = run({"--src=" + src, "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("Error:\n" + table + ": " + damaged + "column '" + utf8(kWorldColumn) + "' of table '" + table +
                         "' has the unknown type code 0.\n"),
              std::string::npos) << r.out;
    page_image counted = whole;
    counted.put32(tdef * counted.page + jet::layout_for(jet::file_format::jet4).tdef_real_idx_at, 5000);
    counted.save(dir / src);
    r = run({"--src=" + src, "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.out.find(damaged + "table '" + table + "' has an impossible index count.\n"), std::string::npos) << r.out;

    // The file under a password, opened with another.
    const std::vector<std::uint8_t> locked =
        drav_test::with_jet4_password(std::vector<std::uint8_t>(whole.bytes.begin(), whole.bytes.end()), u"\u00c9t\u00e9");
    std::ofstream(dir / src, std::ios::binary).write(reinterpret_cast<const char*>(locked.data()),
                                                     static_cast<std::streamsize>(locked.size()));
    r = run({"--src=" + src, "--dest=out.sql", "--script", "--srcp=\xCE\xB1\xCE\xB2"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("Not a valid password. (file '" + src + "')"), std::string::npos) << r.out;
    r = run({"--src=" + src, "--dest=out.sql", "--script", "--srcp=\xC3\x89t\xC3\xA9"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;   // the index is left out as before
    EXPECT_NE(read_all(dir / "out.sql").find("N'\xC3\xA9t\xC3\xA9 39'"), std::string::npos);

    // A table name holding half of a surrogate pair: shown with a replacement character, the rest whole.
    write_world_table(dir / src, 3, L"Half" + std::wstring(1, static_cast<wchar_t>(0xD83D)) + L"Pair");
    r = run({"--src=" + src, "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("Converting table Half\xEF\xBF\xBDPair(3 records)\nError:\nHalf\xEF\xBF\xBDPair: The index '" +
                         utf8(kWorldIndex) + "' was left out"),
              std::string::npos) << r.out;
}

// A file whose header is whole and names the format but whose pages end before the third is
// damaged, cut short, and says how much of it there is; one cut inside its header is no database.
TEST_F(Dravcli, AFileCutShortAfterItsHeaderIsNamedAsDamaged)
{
    write_text_table(dir / "whole.mdb", 3);
    const std::string bytes = read_all(dir / "whole.mdb");
    ASSERT_GT(bytes.size(), 3u * 4096);
    const std::pair<std::size_t, std::string> cuts[] = {
        {8192, "8192 bytes (2 whole pages of 4096 bytes)"}, {8008, "8008 bytes (1 whole page of 4096 bytes)"},
        {4096, "4096 bytes (1 whole page of 4096 bytes)"}};
    for (const auto& [size, held] : cuts) {
        std::ofstream(dir / "cut.mdb", std::ios::binary) << bytes.substr(0, size);
        run_result r = run({"--src=cut.mdb", "--dest=out.sql", "--script"});
        EXPECT_EQ(r.code, 255) << size << r.out << r.err;
        EXPECT_NE(r.out.find("The database file 'cut.mdb' is damaged or not readable: it is cut short: it holds " + held +
                             ", fewer than the 3 pages of the smallest database."),
                  std::string::npos) << size << r.out;
        EXPECT_EQ(r.out.find("Unrecognized database format"), std::string::npos) << size << r.out;
    }
    std::ofstream(dir / "cut.mdb", std::ios::binary) << bytes.substr(0, 2000);
    const run_result r = run({"--src=cut.mdb", "--dest=out.sql", "--script"});
    EXPECT_EQ(r.code, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("Unrecognized database format"), std::string::npos) << r.out;
}

// The sample database in examples/: the program that writes it writes the same tables and values,
// our reader, mdb-reader and mdbtools read it, and its indexes hold its rows. Needs no shared test files.
#include <filesystem>

#include "platform/jet/jet_database.h"
#include "tests/dao/dao_test_env.h"
#include "tests/support/access_check.h"
#include "tests/support/index_check.h"

namespace {

const std::string committed = std::string(DRAV_SOURCE_DIR) + "/examples/sample.mdb";

// Every user table's rows as text, in table order.
std::vector<std::wstring> contents(const std::string& path)
{
    auto db = jet::database::open(path);
    std::vector<std::wstring> out;
    for (const auto* e : db->tables()) {
        out.push_back(L"table " + e->name);
        auto t = db->table(e->name);
        for (const auto& c : t->columns)
            out.push_back(L"column " + c.name + L" " + std::to_wstring(static_cast<int>(c.type)) + L" " +
                          std::to_wstring(c.length));
        auto rows = db->rows(t);
        while (rows.next()) {
            std::wstring line;
            for (const auto& v : rows.values()) line += v.to_wstring() + L"|";
            out.push_back(line);
        }
    }
    return out;
}

} // namespace

TEST(Sample, TheProgramWritesWhatIsCommitted)
{
    drav_test::scratch_dir dir("sample");
    const std::string made = dir.str("sample.mdb");
    int status = 0;
    std::string out = drav_test::run_command(drav_test::shell_quote(std::string(DRAV_BINARY_DIR) + "/tests/make_sample") +
                                                 " " + drav_test::shell_quote(made),
                                             &status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_EQ(contents(made), contents(committed));
    EXPECT_LT(std::filesystem::file_size(committed), 1024u * 1024u);
}

TEST(Sample, EveryReaderReadsIt)
{
    auto db = jet::database::open(committed);
    EXPECT_EQ(db->format(), jet::file_format::jet4);
    ASSERT_EQ(db->tables().size(), 4u);
    for (const auto* e : db->tables()) drav_test::expect_indexes_match_rows(*db, e->name);
    drav_test::expect_indexes_match_rows(*db, L"MSysObjects");
    auto customers = db->table(L"Customers");
    EXPECT_EQ(customers->columns[1].properties.get(L"Required"), jet::value(true));
    EXPECT_EQ(customers->columns[6].properties.get(L"DefaultValue"), jet::value(std::wstring(L"\"none\"")));

    auto tools = drav_test::mdbtools_read(committed, "Customers");
    if (tools.available) {
        EXPECT_TRUE(tools.ok) << tools.csv;
        EXPECT_NE(tools.version.find("JET4"), std::string::npos);
        EXPECT_NE(tools.csv.find("\"\xE5\xB1\xB1\xE7\x94\xB0 \xE5\xA4\xAA\xE9\x83\x8E\""), std::string::npos) << tools.csv;
    }
    auto other = drav_test::mdb_reader_read(committed);
    if (!other.available) GTEST_SKIP() << "mdb-reader not installed (run scripts/setup)";
    EXPECT_TRUE(other.ok) << other.error;
    EXPECT_EQ(other.counts["Customers"], 4);
    EXPECT_EQ(other.counts["Products"], 3);
    EXPECT_EQ(other.counts["Orders"], 3);
    EXPECT_EQ(other.counts["OrderLines"], 3);
    ASSERT_EQ(other.rows["Products"].size(), 3u);
    EXPECT_EQ(other.rows["Products"][0], "[\"P-100\",\"Kettle\",\"24.9900\",1.25,12,\"hex:89504e470d0a1a0a0000000d\"]");
}

TEST(Sample, ItsRelationshipsReadBackAsForeignKeys)
{
    drav_test::scratch_dir dir("sample");
    dao_engine engine(1, 0);
    auto db = daotests::open_corpus(engine, committed);
    EXPECT_EQ(db->relationships.size(), 3u);
    bool generated = false;
    auto jdb = jet::database::open(committed);
    for (const auto& x : jdb->table(L"Products")->indexes)
        generated = generated || (x.name.rfind(L"ui_Products", 0) == 0 && x.unique());
    EXPECT_TRUE(generated);
}

// Opening files of every format, passwords, the catalogue and a first table read.
#include <gtest/gtest.h>

#include "platform/jet/jet_database.h"
#include "tests/support/testdata.h"

namespace {

using jet::database;

TEST(JetOpen, FormatsFromTheHeaderByte)
{
    DRAV_TESTDATA_OR_SKIP(v97, "jackcess/V1997/testV1997.mdb");
    DRAV_TESTDATA_OR_SKIP(v2003, "jackcess/V2003/testV2003.mdb");
    DRAV_TESTDATA_OR_SKIP(v2010, "mdb-reader/data/V2010/test.accdb");
    EXPECT_EQ(database::open(v97)->format(), jet::file_format::jet3);
    EXPECT_EQ(database::open(v97)->file().page_size(), 2048u);
    EXPECT_EQ(database::open(v2003)->format(), jet::file_format::jet4);
    auto ace = database::open(v2010);
    EXPECT_EQ(ace->format(), jet::file_format::ace);
    EXPECT_EQ(ace->header().version_byte, 3);
    EXPECT_EQ(ace->file().page_size(), 4096u);
    EXPECT_EQ(ace->header().code_page, 1252);
}

TEST(JetOpen, DatabasePasswordIsChecked)
{
    DRAV_TESTDATA_OR_SKIP(p2000, "mdb-reader/password/data/V2000_with-password.mdb");
    DRAV_TESTDATA_OR_SKIP(p2003, "mdb-reader/password/data/V2003_with-password.mdb");
    DRAV_TESTDATA_OR_SKIP(none, "mdb-reader/password/data/V2003_no-password.mdb");
    for (const auto& f : {p2000, p2003}) {
        for (const wchar_t* wrong : {L"", L"Password", L"passwordx", L"x"}) {
            try {
                database::open(f, wrong);
                ADD_FAILURE() << f << " opened with a wrong password";
            } catch (const jet::error& e) {
                EXPECT_EQ(e.code(), jet::err_bad_password);
                EXPECT_STREQ(e.what(), "Not a valid password.");
            }
        }
        auto db = database::open(f, L"password");
        EXPECT_TRUE(db->header().has_password);
        EXPECT_FALSE(db->tables().empty());
    }
    // A file without a password ignores one that is given.
    EXPECT_FALSE(database::open(none, L"whatever")->header().has_password);
}

TEST(JetOpen, MissingAndForeignFilesFailWithTheirName)
{
    try {
        database::open("/nonexistent/dir/x.mdb");
        FAIL();
    } catch (const jet::error& e) {
        EXPECT_EQ(e.code(), jet::err_file_not_found);
        EXPECT_NE(std::string(e.what()).find("/nonexistent/dir/x.mdb"), std::string::npos);
    }
    try {
        database::open(DRAV_SOURCE_DIR "/CMakeLists.txt");
        FAIL();
    } catch (const jet::error& e) {
        EXPECT_EQ(e.code(), jet::err_unrecognized_format);
        EXPECT_NE(std::string(e.what()).find("CMakeLists.txt"), std::string::npos);
    }
}

TEST(JetCatalogue, TablesFlagsAndSystemTables)
{
    DRAV_TESTDATA_OR_SKIP(f, "jackcess/V2003/testV2003.mdb");
    auto db = database::open(f);
    std::vector<std::wstring> user, all;
    for (auto* e : db->tables()) user.push_back(e->name);
    for (auto* e : db->tables(true)) all.push_back(e->name);
    EXPECT_EQ(user, (std::vector<std::wstring>{L"Table1", L"Table2", L"Table3", L"Table4"}));
    EXPECT_GT(all.size(), user.size());
    const jet::catalog_entry* sys = db->find(L"msysobjects");
    ASSERT_NE(sys, nullptr);
    EXPECT_TRUE(sys->system());
    EXPECT_EQ(sys->tdef_page(), 2u);
    const jet::catalog_entry* nav = db->find(L"MSysNavPaneGroups");
    ASSERT_NE(nav, nullptr);
    EXPECT_TRUE(nav->system());
    EXPECT_TRUE(nav->hidden());
    EXPECT_FALSE(db->find(L"Table1")->hidden());
    EXPECT_EQ(db->find(L"Table1")->kind(), jet::object_kind::table);
    // System tables read like any other.
    EXPECT_GT(db->count_rows(L"MSysObjects"), 10u);
    EXPECT_NO_THROW(db->rows(L"MSysRelationships"));
    EXPECT_NO_THROW(db->rows(L"MSysQueries"));
    try {
        db->table(L"NoSuchTable");
        FAIL();
    } catch (const jet::error& e) {
        EXPECT_EQ(e.code(), jet::err_object_not_found);
    }
}

TEST(JetRows, TypedValuesOfTable1)
{
    DRAV_TESTDATA_OR_SKIP(f, "jackcess/V2003/testV2003.mdb");
    auto db = database::open(f);
    auto cur = db->rows(L"Table1");
    ASSERT_TRUE(cur.next());
    EXPECT_EQ(cur[0].as_text(), L"abcdefg");
    EXPECT_EQ(cur[2].as_byte(), 2);
    EXPECT_EQ(cur[3].as_int16(), 222);
    EXPECT_EQ(cur[4].as_int32(), 333333333);
    EXPECT_DOUBLE_EQ(cur[5].as_double(), 444.555);
    EXPECT_EQ(cur[7].as_currency().scaled, 35000);
    EXPECT_TRUE(cur[8].as_bool());
    jet::date_parts d = jet::split_date(cur[6].as_datetime().days);
    EXPECT_EQ(d.year, 1974);
    EXPECT_EQ(d.month, 9);
    EXPECT_EQ(d.day, 21);
    ASSERT_TRUE(cur.next());
    EXPECT_FALSE(cur[8].as_bool());
    EXPECT_FALSE(cur.next());
    EXPECT_FALSE(cur.next());
    cur.reset();
    EXPECT_TRUE(cur.next());
    EXPECT_EQ(cur[0].as_text(), L"abcdefg");
}

} // namespace

#include <gtest/gtest.h>

#include "TK/tk_excep.h"
#include "UDB/udb_db.h"

namespace {

using names = std::vector<std::wstring>;

udb_index plain(const std::wstring& n, names f) { return udb_index(n, f, false, false); }
udb_index unique(const std::wstring& n, names f) { return udb_index(n, f, true, false); }
udb_index pk(const std::wstring& n, names f) { return udb_index(n, f, true, true); }

TEST(UdbIndexes, MergeByNamePrecedence)
{
    udb_indexes l;
    l.push_back(plain(L"PrimaryKey", {L"a"}));
    l.push_back(pk(L"primarykey", {L"id"}));
    ASSERT_EQ(l.size(), 1u);
    EXPECT_TRUE(l[0].primary_key);
    EXPECT_EQ(l[0].name, L"primarykey");
    EXPECT_EQ(l[0].fields, names{L"id"});

    // A primary key is never replaced.
    l.push_back(unique(L"PRIMARYKEY", {L"x"}));
    EXPECT_TRUE(l[0].primary_key);
    EXPECT_EQ(l[0].fields, names{L"id"});

    // A unique index wins over a plain one, never the reverse.
    l.push_back(plain(L"ix", {L"a"}));
    l.push_back(unique(L"IX", {L"b"}));
    l.push_back(plain(L"ix", {L"c"}));
    ASSERT_EQ(l.size(), 2u);
    EXPECT_TRUE(l[1].unique);
    EXPECT_EQ(l[1].fields, names{L"b"});

    // A unique constraint is copied in and then stays.
    udb_index uc = unique(L"uc", {L"k"});
    uc.unique_constraint = true;
    l.push_back(plain(L"uc", {L"z"}));
    l.push_back(uc);
    l.push_back(unique(L"uc", {L"other"}));
    ASSERT_EQ(l.size(), 3u);
    EXPECT_TRUE(l[2].unique_constraint);
    EXPECT_EQ(l[2].fields, names{L"k"});
}

TEST(UdbIndexes, DirectInsertAndLookup)
{
    udb_indexes l;
    EXPECT_EQ(l.push_back_direct(plain(L"a", {L"x"})), 0);
    EXPECT_EQ(l.push_back_direct(pk(L"A", {L"y"})), 0);
    ASSERT_EQ(l.size(), 1u);
    EXPECT_FALSE(l[0].primary_key);
    EXPECT_FALSE(l.is_acceptable_name(L"A"));
    EXPECT_TRUE(l.is_acceptable_name(L"b"));
    EXPECT_EQ(l.get_index(L"A").fields, names{L"x"});
    try {
        l.get_index(L"missing");
        FAIL() << "no exception";
    } catch (const tk_exception& e) {
        EXPECT_EQ(e.level(), 2);
    }
}

TEST(UdbIndexes, KeyColumnsAndCoveringIndexes)
{
    udb_indexes l;
    l.push_back(plain(L"ix1", {L"a"}));
    l.push_back(unique(L"ix2", {L"a", L"b"}));
    l.push_back(pk(L"pk", {L"Id", L"Part"}));

    EXPECT_TRUE(l.is_idx_field(L"id"));
    EXPECT_TRUE(l.is_idx_field(L"PART"));
    EXPECT_FALSE(l.is_idx_field(L"a"));  // only the primary key counts

    // Only an index on exactly the columns makes them unique.
    EXPECT_FALSE(l.has_index_on_fields({L"a"}));
    EXPECT_TRUE(l.has_index_on_fields({L"A", L"b"}));
    EXPECT_TRUE(l.has_index_on_fields({L"b", L"a"}));
    EXPECT_TRUE(l.has_index_on_fields({L"part", L"id"}));
    EXPECT_FALSE(l.has_index_on_fields({L"a", L"a"}));
    EXPECT_FALSE(l.has_index_on_fields({}));

    EXPECT_TRUE(l[1].starts_with_fields({}));
    EXPECT_TRUE(udb_index(L"none", {}, false, false).starts_with_fields({}));
    EXPECT_TRUE(l[1].starts_with_fields({L"A"}));
    EXPECT_FALSE(l[1].starts_with_fields({L"b"}));
    EXPECT_FALSE(l[1].starts_with_fields({L"a", L"b", L"c"}));
}

// Recordset key number: primary key, else the first unique index.
class key_recordset : public udb_recordset {
public:
    key_recordset() : udb_recordset(nullptr, L"t") {}
    void append_record(udb_record&) override {}
};

TEST(UdbIndexes, RecordsetKeyIndex)
{
    key_recordset rs;
    EXPECT_EQ(rs.add_index(plain(L"ix", {L"a"})), 0);
    EXPECT_EQ(rs.n_u_index, -1);
    rs.add_index(unique(L"u1", {L"b"}));
    EXPECT_EQ(rs.n_u_index, 1);
    rs.add_index(unique(L"u2", {L"c"}));
    EXPECT_EQ(rs.n_u_index, 1);  // a second unique index does not replace the first
    rs.add_index(pk(L"pk", {L"id"}));
    EXPECT_EQ(rs.n_u_index, 3);
    rs.add_index(unique(L"u3", {L"d"}));
    EXPECT_EQ(rs.n_u_index, 3);
}

TEST(UdbIndexes, PrimaryKeyAfterSameNamedIndexIsKept)
{
    key_recordset rs;
    rs.add_index(unique(L"u", {L"x"}));
    rs.add_index(plain(L"PrimaryKey", {L"id"}));
    rs.add_index(pk(L"PRIMARYKEY", {L"id"}));
    ASSERT_EQ(rs.indexes.size(), 2u);
    EXPECT_TRUE(rs.indexes[1].primary_key);
    EXPECT_EQ(rs.n_u_index, 1);
}

} // namespace

#include <gtest/gtest.h>

#include "TK/tk_excep.h"
#include "UDB/udb_rel.h"

namespace {

TEST(UdbRelationships, GeneratedNames)
{
    udb_relationship r(L"Order Details", L"Orders", {L"OrderID"}, {L"ID"}, L"");
    EXPECT_EQ(r.name, L"FK_Orders_Order_Details");
    EXPECT_TRUE(r.alt_name.empty());

    udb_relationships l;
    udb_relationship g(L"Order Details", L"Orders", {}, {}, L"");
    EXPECT_EQ(l.gen_relship_name(g), L"FK_Orders_Order Details");
    g.name = l.gen_relship_name(g);
    l.push_back(g);
    EXPECT_EQ(l.gen_relship_name(g), L"FK_Orders_Order Details_");
    g.name = l.gen_relship_name(g);
    l.push_back(g);
    EXPECT_EQ(l.gen_relship_name(g), L"FK_Orders_Order Details_1");
    g.name = l.gen_relship_name(g);
    l.push_back(g);
    EXPECT_EQ(l.gen_relship_name(g), L"FK_Orders_Order Details_1_");
}

TEST(UdbRelationships, LookupIgnoresCase)
{
    udb_relationships l;
    l.push_back(udb_relationship(L"FK_a", L"", L"child", L"parent", {L"c"}, {L"p"}, L" ON DELETE CASCADE"));
    EXPECT_TRUE(l.find(L"fk_A", L"PARENT", L"Child"));
    EXPECT_FALSE(l.find(L"fk_a", L"child", L"parent"));
    EXPECT_EQ(l.get(L"FK_A", L"parent", L"child").properties, L" ON DELETE CASCADE");
    EXPECT_EQ(l.get_index(L"fk_a").pk_fields, std::vector<std::wstring>{L"p"});
    EXPECT_FALSE(l.is_acceptable_name(L"FK_A"));
    EXPECT_THROW(l.get_index(L"nope"), tk_exception);
    EXPECT_THROW(l.get(L"FK_a", L"x", L"child"), tk_exception);
}

TEST(UdbRelationships, SequenceArguments)
{
    udb_sequence s(L"seq", 1, 2, 3, 4, false);
    EXPECT_EQ(s.start, 1);
    EXPECT_EQ(s.increment, 2);
    EXPECT_EQ(s.minimum, 3);
    EXPECT_EQ(s.maximum, 4);
    EXPECT_FALSE(s.cycle);
}

} // namespace

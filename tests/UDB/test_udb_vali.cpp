#include <gtest/gtest.h>

#include "UDB/udb_vali.h"

namespace {

TEST(UdbValidator, BaseRules)
{
    udb_validator v(10);
    v.illegal = {L'.', L'!'};
    v.restricted = {L"select"};
    EXPECT_TRUE(v.is_acceptable(L"abcdefghij"));
    EXPECT_FALSE(v.is_acceptable(L"abcdefghijk"));
    EXPECT_FALSE(v.is_acceptable(L"SELECT"));
    EXPECT_FALSE(v.is_acceptable(L"a.b"));
    v.add_existing_name(L"Orders");
    EXPECT_TRUE(v.is_duplicated(L"ORDERS"));
    EXPECT_FALSE(v.is_duplicated(L"Order"));
}

TEST(UdbValidator, SafeNamesAtTheLengthLimit)
{
    udb_validator v(10);
    EXPECT_EQ(v.get_safe_name(L"abcdefghijkl"), L"abcdefghi");
    v.add_existing_name(L"abcdefghi");
    EXPECT_EQ(v.get_safe_name(L"abcdefghijkl"), L"abcd00000");
    v.add_existing_name(L"abcd00000");
    EXPECT_EQ(v.get_safe_name(L"abcdefghijkl"), L"abcd00001");
}

TEST(UdbValidator, SafeNamesWithoutLimitAndRestricted)
{
    udb_validator v(0);
    v.illegal = {L' '};
    v.restricted = {L"table"};
    v.add_existing_name(L"my_name");
    EXPECT_EQ(v.get_safe_name(L"my name"), L"my_name00000");
    v.add_existing_name(L"my_name00000");
    EXPECT_EQ(v.get_safe_name(L"my name"), L"my_name00001");
    EXPECT_EQ(v.get_safe_name(L"TABLE"), L"TABLE00000");
    // Long names without a limit are no problem.
    const std::wstring long_name(600, L'x');
    v.add_existing_name(long_name);
    EXPECT_EQ(v.get_safe_name(long_name), long_name + L"00000");
}

TEST(UdbValidator, VeryShortLimitsStayWithinTheLimit)
{
    for (uint32_t m = 1; m <= 7; ++m) {
        udb_validator v(m);
        v.add_existing_name(std::wstring(m - 1, L'a'));
        const std::wstring first = v.get_safe_name(std::wstring(20, L'a'));
        EXPECT_LE(first.size(), m) << "limit " << m;
        EXPECT_TRUE(v.is_acceptable(first)) << "limit " << m;
        EXPECT_FALSE(v.is_duplicated(first)) << "limit " << m;
        v.add_existing_name(first);
        const std::wstring second = v.get_safe_name(std::wstring(20, L'a'));
        EXPECT_LE(second.size(), m);
        EXPECT_NE(second, first);
    }
    // With a limit of 1 there are ten names: 0..9; then the validator gives up.
    udb_validator one(1);
    one.add_existing_name(L"");
    for (int i = 0; i < 10; ++i)
        one.add_existing_name(one.get_safe_name(L"zz"));
    EXPECT_THROW(one.get_safe_name(L"zz"), std::exception);
}

TEST(UdbNamesMap, RoundTrips)
{
    udb_names_map m;
    m.add_tn_mapping(L"Order Details", L"Order_Details");
    m.add_fn_map(L"Order_Details", {{L"Unit Price", L"Unit_Price"}, {L"Qty", L"Qty1"}});
    m.add_fn_map(L"Other", {{L"Key", L"Key_"}});

    EXPECT_EQ(m.get_tn_mapped_name(L"order details", false), L"Order_Details");
    EXPECT_EQ(m.get_tn_mapped_name(L"order details", true), L"order details");
    EXPECT_EQ(m.get_tn_mapped_name(L"Unknown", false), L"Unknown");

    const std::wstring mapped = m.get_fn_mapped_name(L"Order_Details", L"Unit Price", true);
    EXPECT_EQ(mapped, L"Unit_Price");
    EXPECT_EQ(m.get_fn_orig_name(L"Order_Details", mapped), L"Unit Price");
    EXPECT_EQ(m.get_fn_mapped_name(L"Order_Details", L"unit price", false), L"Unit_Price");
    EXPECT_EQ(m.get_fn_mapped_name(L"Order_Details", L"unit price", true), L"unit price");
    // A table without a field map keeps the field, even when another maps it.
    EXPECT_EQ(m.get_fn_mapped_name(L"Third", L"Key", false), L"Key");
    EXPECT_EQ(m.get_fn_orig_name(L"Order_Details", L"Nope"), L"Nope");
}

} // namespace

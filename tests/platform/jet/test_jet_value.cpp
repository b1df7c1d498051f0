// Reader values as the layers above see them: Decimal values as doubles (what queries over
// Decimal columns compute with) and the text forms used for properties and stored query cells.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/jet/jet_value.h"

using jet::value;

namespace {

jet::decimal dec(bool negative, int scale, std::uint64_t hi, std::uint64_t lo)
{
    jet::decimal d;
    d.negative = negative;
    d.scale = static_cast<std::uint8_t>(scale);
    d.hi = hi;
    d.lo = lo;
    return d;
}

} // namespace

TEST(JetValue, DecimalsBecomeDoublesWithTheirSignScaleAndHighPart)
{
    EXPECT_DOUBLE_EQ(dec(false, 0, 0, 42).to_double(), 42.0);
    EXPECT_DOUBLE_EQ(dec(true, 0, 0, 42).to_double(), -42.0);
    EXPECT_DOUBLE_EQ(dec(false, 2, 0, 12345).to_double(), 123.45);
    EXPECT_DOUBLE_EQ(dec(true, 4, 0, 5).to_double(), -0.0005);
    // The magnitude's upper 64 bits count 2^64 each.
    EXPECT_DOUBLE_EQ(dec(false, 0, 1, 0).to_double(), 18446744073709551616.0);
    EXPECT_DOUBLE_EQ(dec(false, 0, 2, 10).to_double(), 2 * 18446744073709551616.0 + 10);
    EXPECT_DOUBLE_EQ(dec(true, 10, 1, 0).to_double(), -1844674407.3709551616);
    // The largest magnitude (2^96 - 1) at the largest scale.
    EXPECT_NEAR(dec(false, 28, 0xFFFFFFFFull, ~0ull).to_double(), 7.9228162514264337593543950335, 1e-15);
    EXPECT_DOUBLE_EQ(dec(true, 0, 0, 0).to_double(), 0.0);
}

TEST(JetValue, TextFormsOfEveryKind)
{
    EXPECT_EQ(value().to_wstring(), L"NULL");
    EXPECT_EQ(value(true).to_wstring(), L"true");
    EXPECT_EQ(value(false).to_wstring(), L"false");
    EXPECT_EQ(value(std::int16_t(-7)).to_wstring(), L"-7");
    EXPECT_EQ(value(std::int64_t(-9007199254740993)).to_wstring(), L"-9007199254740993");
    EXPECT_EQ(value(jet::currency{-123456}).to_wstring(), L"-12.3456");
    EXPECT_EQ(value(jet::currency{10000}).to_wstring(), L"1.0000");
    // Singles with the nine digits that bring them back, doubles with seventeen.
    EXPECT_EQ(value(1.5f).to_wstring(), L"1.5");
    EXPECT_EQ(value(0.1f).to_wstring(), L"0.100000001");
    EXPECT_EQ(value(-3.25e-20f).to_wstring(), L"-3.25000006e-20");
    EXPECT_EQ(value(0.1).to_wstring(), L"0.10000000000000001");
    EXPECT_EQ(value(-1e300).to_wstring(), L"-1.0000000000000001e+300");
    EXPECT_EQ(value(2.0).to_wstring(), L"2");
    // Dates: day 0 is 1899-12-30; before it the fraction is still the time of day.
    EXPECT_EQ(value(jet::date_time{0.0}).to_wstring(), L"1899-12-30T00:00:00");
    EXPECT_EQ(value(jet::date_time{44190.75}).to_wstring(), L"2020-12-25T18:00:00");
    EXPECT_EQ(value(jet::date_time{-1.25}).to_wstring(), L"1899-12-29T06:00:00");
    EXPECT_EQ(value(jet::date_time{2958465.999988426}).to_wstring(), L"9999-12-31T23:59:59");
    // A stored value that is no date at all reads as day 0.
    EXPECT_EQ(value(jet::date_time{std::nan("")}).to_wstring(), L"1899-12-30T00:00:00");
    EXPECT_EQ(value(jet::date_time{1e300}).to_wstring(), L"1899-12-30T00:00:00");
    // Binary: 0x and two upper-case digits per byte, leading zeros kept.
    EXPECT_EQ(value(jet::bytes{0x0A, 0xFF, 0x00}).to_wstring(), L"0x0AFF00");
    EXPECT_EQ(value(jet::bytes{}).to_wstring(), L"0x");
    EXPECT_EQ(value(dec(true, 2, 0, 5)).to_wstring(), L"-0.05");
    EXPECT_EQ(value(dec(true, 3, 0, 0)).to_wstring(), L"0.000");   // no negative zero
    EXPECT_EQ(value(std::wstring(L"x")).to_wstring(), L"x");
}

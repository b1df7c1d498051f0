// ole_date: the accepted layouts, the checks and the printed forms.
#include "OLE/ole_date.h"

#include <gtest/gtest.h>

#include <cstring>

#include "TK/tk_excep.h"

namespace {

std::string parsed(const std::string& text, int digits = 6)
{
    ole_date d(text);
    return d.is_valid() ? d.to_string(digits) : std::string("<invalid>");
}

} // namespace

TEST(OleDate, FixedLayouts)
{
    EXPECT_EQ("2020-12-25", parsed("20201225"));
    EXPECT_EQ(ole_date::date_only, ole_date(std::string("20201225")).kind());
    EXPECT_EQ("2020-12-25 14:30:00", parsed("20201225143000"));
    EXPECT_EQ("2020-12-25", parsed("2020-12-25"));
    EXPECT_EQ(ole_date::date_only, ole_date(std::string("2020-12-25")).kind());
    EXPECT_EQ("2020-12-25 14:30:05.500", parsed("2020/12/25 14:30:05.5", 3));
    EXPECT_EQ("2020-12-25 14:30:05.500000", parsed("2020/12/25 14:30:05.5"));
    EXPECT_EQ("2020-12-25 14:30:05", parsed("2020/12/25 14:30:05.5", 0));
    ole_date refined(std::string("25/12/2020 00:00:00"));
    EXPECT_EQ(ole_date::date_only, refined.kind());
    EXPECT_EQ("2020-12-25", refined.to_string(6));
    EXPECT_EQ("2020-12-25 10:00:00", parsed("25.12.2020 10:00:00"));
    EXPECT_EQ("2020-12-25 10:30:00", parsed("2020-12-25 10:30"));
    EXPECT_EQ("  2020-02-29", "  " + parsed("  2020-02-29  "));
}

TEST(OleDate, TimesAndMarkers)
{
    ole_date t(std::string("10:05 PM"));
    ASSERT_TRUE(t.is_valid());
    EXPECT_EQ(ole_date::time_only, t.kind());
    EXPECT_EQ("0000-00-00 22:05:00", t.to_string(6));
    EXPECT_EQ(L"22:05:00", t.to_wstring(6));
    EXPECT_EQ("<invalid>", parsed("2:05 PM")); // four characters before the marker
    EXPECT_EQ("0000-00-00 12:30:00", parsed("12:30 PM"));
    // Midnight and noon: 12 AM is hour 0.
    EXPECT_EQ("0000-00-00 00:30:00", parsed("12:30 AM"));
    EXPECT_EQ("2020-12-25", parsed("2020-12-25 12:00:00 AM"));
    EXPECT_EQ("<invalid>", parsed("10:05 PM tomorrow"));
    EXPECT_EQ("0000-00-00 10:00:30.250000", parsed("10:00:30.25"));
}

TEST(OleDate, SecondsFractionCarries)
{
    EXPECT_EQ("0000-00-00 10:01:00", parsed("10:00:59.9999999"));
    // Milliseconds never read 1000: .9996 is 999 ms and 999600 us.
    ole_date d(std::string("10:00:01.9996"));
    ASSERT_TRUE(d.is_valid());
    EXPECT_EQ(999, d.get_systemtime().wMilliseconds);
    EXPECT_EQ(999600, d.microseconds());
    EXPECT_EQ("0000-00-00 10:00:01.999", d.to_string(3));
    // Carrying past midnight moves the date, across month and year.
    EXPECT_EQ("2021-01-01", parsed("2020-12-31 23:59:59.9999999"));
    // A time alone stays on its day.
    EXPECT_EQ("0000-00-00 23:59:59.999999", parsed("23:59:59.9999999"));
}

TEST(OleDate, RefusedTexts)
{
    const char* bad[] = {"2020", "2021-02-29", "2020-13-01", "2020-00-10", "2020-12-32", "0000-12-25",
                         "24:00", "10:60", "10:00:60", "25:00:00", "2020-12-25 xyz", "2020-12-25 10:00:00 xyz",
                         "10:00:30abc", "-1:30:00", "hello world", "99999-01-01", "2020-12-25 24:00:00",
                         "20201325", "2020122512300"};
    for (const char* b : bad)
        EXPECT_EQ("<invalid>", parsed(b)) << b;
    ole_date empty;
    EXPECT_FALSE(empty.is_valid());
    EXPECT_EQ("", empty.to_string(6));
}

TEST(OleDate, OtherLayoutsGoToTheSystemParser)
{
    EXPECT_EQ("2020-12-25", parsed("12/25/2020"));
    EXPECT_EQ("2020-12-25 14:30:00", parsed("12/25/2020 2:30 PM"));
    EXPECT_EQ("2020-12-25", parsed("Dec 25, 2020"));
}

TEST(OleDate, LeapYears)
{
    EXPECT_TRUE(ole_date::is_leap_year(2000));
    EXPECT_FALSE(ole_date::is_leap_year(1900));
    EXPECT_TRUE(ole_date::is_leap_year(2020));
    EXPECT_FALSE(ole_date::is_leap_year(2021));
    EXPECT_EQ(29, ole_date::days_in_month(2020, 2));
    EXPECT_EQ("2020-02-29", parsed("2020-02-29"));
}

TEST(OleDate, AutomationDatesBothWays)
{
    struct row {
        DATE d;
        const char* text;
    } rows[] = {
        {0.0, "1899-12-30"},
        {2.0, "1900-01-01"},
        {-1.25, "1899-12-29 06:00:00"},
        {-657434.0, "0100-01-01"},
        {-657433.75, "0100-01-02 18:00:00"},
        {2958465.0, "9999-12-31"},
        {2958465.5, "9999-12-31 12:00:00"},
    };
    for (const auto& r : rows) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_DATE;
        v.date = r.d;
        ole_date d(v);
        EXPECT_EQ(r.text, d.to_string(6)) << r.d;
        DATE back = 0;
        ASSERT_TRUE(ole_date(std::string(r.text)).to_variant_time(back)) << r.text;
        EXPECT_NEAR(r.d, back, 1e-9) << r.text;
    }
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_DATE;
    v.date = 44190.5 + 0.123456 / 86400; // microseconds survive
    ole_date d(v);
    EXPECT_EQ("2020-12-25 12:00:00.123456", d.to_string(6));
    EXPECT_EQ("2020-12-25 12:00:00.123", d.to_string(3));
    v.vt = VT_NULL;
    EXPECT_EQ(ole_date::empty, ole_date(v).kind());
    v.vt = VT_I4;
    EXPECT_THROW(ole_date{v}, tk_mail_assertion);
    v.vt = VT_DATE;
    v.date = 3e6; // beyond year 9999
    EXPECT_EQ(ole_date::empty, ole_date(v).kind());
}

TEST(OleDate, LowerCaseMarkersReadLikeUpperCase)
{
    EXPECT_EQ("0000-00-00 22:05:00", parsed("10:05 pm"));
    EXPECT_EQ("0000-00-00 10:05:00", parsed("10:05 am"));
    EXPECT_EQ("0000-00-00 00:30:00", parsed("12:30 am"));
    EXPECT_EQ("0000-00-00 12:30:00", parsed("12:30 pm"));
    EXPECT_EQ("2020-12-25 23:15:00", parsed("2020-12-25 11:15 pm"));
}

TEST(OleDate, ADateTimeWithOnlySecondsKeepsThem)
{
    for (const char* text : {"2020-12-25 00:00:05", "20201225000005"}) {
        ole_date d{std::string(text)};
        ASSERT_TRUE(d.is_valid()) << text;
        EXPECT_EQ(ole_date::date_time, d.kind()) << text;
        EXPECT_EQ("2020-12-25 00:00:05", d.to_string(6)) << text;
    }
    EXPECT_EQ("2020-12-25 00:00:00.250000", parsed("2020-12-25 00:00:00.25"));
    SYSTEMTIME t{};
    t.wYear = 2020;
    t.wMonth = 12;
    t.wDay = 25;
    t.wSecond = 7;
    EXPECT_EQ("2020-12-25 00:00:07", ole_date(t).to_string(6));
}

TEST(OleDate, DaysBeyondTheirMonthAreRefused)
{
    for (const char* bad : {"2020-04-31", "2020-06-31", "2020-09-31", "2020-11-31", "2021-02-29", "2100-02-29",
                            "20200431", "2020-04-31 10:00:00"})
        EXPECT_EQ("<invalid>", parsed(bad)) << bad;
    for (const char* good : {"2020-04-30", "2020-01-31", "2000-02-29", "2020-12-31"})
        EXPECT_EQ(good, parsed(good)) << good;
}

TEST(OleDate, AFractionCarriesPastMidnightAtEveryMonthEnd)
{
    const struct {
        const char* last_moment;
        const char* next_day;
    } ends[] = {
        {"2020-01-31", "2020-02-01"}, {"2020-02-29", "2020-03-01"}, {"2021-02-28", "2021-03-01"},
        {"2020-04-30", "2020-05-01"}, {"2020-06-30", "2020-07-01"}, {"2020-11-30", "2020-12-01"},
        {"2020-12-31", "2021-01-01"}, {"2020-02-28", "2020-02-29"}, {"2100-02-28", "2100-03-01"},
    };
    for (const auto& e : ends)
        EXPECT_EQ(e.next_day, parsed(std::string(e.last_moment) + " 23:59:59.9999999")) << e.last_moment;
    // Below the rounding step nothing carries.
    EXPECT_EQ("2020-04-30 23:59:59.999999", parsed("2020-04-30 23:59:59.9999994"));
}

TEST(OleDate, ATimeAloneBecomesAnAutomationDateOnDayZero)
{
    DATE d = -1;
    ASSERT_TRUE(ole_date(std::string("18:00")).to_variant_time(d));
    EXPECT_DOUBLE_EQ(0.75, d);
    ASSERT_TRUE(ole_date(std::string("06:00:00 AM")).to_variant_time(d));
    EXPECT_DOUBLE_EQ(0.25, d);
    // The way back prints it as a time of 1899-12-30.
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_DATE;
    v.date = d;
    EXPECT_EQ("1899-12-30 06:00:00", ole_date(v).to_string(6));
}

TEST(OleDate, YearsBeyond9999AreRefused)
{
    EXPECT_EQ("<invalid>", parsed("10000-01-01"));
    EXPECT_EQ("<invalid>", parsed("10000-01-01 10:00:00"));
    EXPECT_EQ("9999-12-31", parsed("9999-12-31"));
    SYSTEMTIME t{};
    t.wYear = 10000;
    t.wMonth = 1;
    t.wDay = 1;
    t.wHour = 1;
    ole_date big(t);
    EXPECT_FALSE(big.is_valid());
    DATE d = 0;
    EXPECT_FALSE(big.to_variant_time(d));
}

TEST(OleDate, MillisecondsAloneArePrintedAndKeptAsSuch)
{
    SYSTEMTIME t{};
    t.wYear = 2020;
    t.wMonth = 12;
    t.wDay = 25;
    t.wHour = 12;
    t.wMilliseconds = 123;
    const ole_date d(t);
    EXPECT_EQ("2020-12-25 12:00:00.123", d.to_string(6));
    DATE v = 0;
    ASSERT_TRUE(d.to_variant_time(v));
    EXPECT_NEAR(v, 44190.5 + 0.123 / 86400, 1e-9);
    // A marker after a fraction of a second, in lower case too.
    EXPECT_EQ("0000-00-00 22:00:30.250000", parsed("10:00:30.25 pm"));
}

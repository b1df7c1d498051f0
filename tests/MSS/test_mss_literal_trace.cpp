// Value literals come out the same whether detailed tracing is on (every step logged) or off
// (the short ways through the conversion).
#include <cmath>
#include <filesystem>
#include <limits>
#include <gtest/gtest.h>

#include "MSS/mss_util.h"
#include "OLE/ole_date.h"
#include "TK/tk_log.h"
#include "UDB/udb_db.h"
#include "mss_test_env.h"

namespace {

SYSTEMTIME at(int year, int month, int day, int hour, int minute, int second, int ms = 0)
{
    SYSTEMTIME t{};
    t.wYear = static_cast<WORD>(year);
    t.wMonth = static_cast<WORD>(month);
    t.wDay = static_cast<WORD>(day);
    t.wHour = static_cast<WORD>(hour);
    t.wMinute = static_cast<WORD>(minute);
    t.wSecond = static_cast<WORD>(second);
    t.wMilliseconds = static_cast<WORD>(ms);
    return t;
}

struct sample {
    ole_variant value;
    VARTYPE column_type;
    int reserved;
};

std::vector<sample> samples()
{
    return {
        {ole_variant(42), VT_I4, 0},
        {ole_variant(static_cast<short>(-7)), VT_I2, 0},
        {ole_variant(true), VT_BOOL, 0},
        {ole_variant(1.5), VT_R8, 0},
        {ole_variant(1.795e308), VT_R8, 0},
        {ole_variant(1e-309), VT_R8, 0},
        {ole_variant(std::numeric_limits<double>::quiet_NaN()), VT_R8, 0},
        {ole_variant(2.25f), VT_R4, 0},
        {ole_variant::from_currency(123456789), VT_CY, 0},
        {ole_variant(ole_date(at(2021, 1, 3, 6, 19, 30))), VT_DATE, 0},
        {ole_variant(ole_date(at(2021, 1, 3, 0, 0, 0))), VT_DATE, 0},
        {ole_variant(ole_date(at(1899, 12, 30, 10, 5, 0, 250))), VT_DATE, 0},
        {ole_variant(ole_date(at(12000, 5, 6, 7, 8, 9))), VT_DATE, 0},
        {ole_variant(std::wstring(L"it's \u00e9\nGO\r\nmore")), VT_BSTR, 0},
        {ole_variant(std::wstring(L"{00112233-4455-6677-8899-AABBCCDDEEFF}")), VT_BSTR, 1},
        {ole_variant(std::wstring()), VT_BSTR, 0},
        {null_variant(), VT_I4, 0},
    };
}

// A reader's field whose own text differs from the plain value's (as the Access reader's does
// for dates on day 0): the literal is built from the plain value either way.
class own_text_field : public udb_field {
public:
    own_text_field(const ole_variant& value) : udb_field(L"c", 8, value, false, false) {}
    std::string to_string() const override { return "own " + ole_variant::to_string(); }
};

std::vector<std::wstring> literals()
{
    std::vector<std::wstring> out;
    for (const sample& s : samples()) {
        udb_field f(L"c", 8, s.value, false, false);
        own_text_field g(s.value);
        t_ftd column(8, L"c", s.column_type, false, false, ole_variant(), s.reserved, L"");
        out.push_back(mss_get_fld_append_str(&f, &column));
        out.push_back(mss_get_fld_append_str(&g, &column));
    }
    return out;
}

} // namespace

TEST(MssLiteralTrace, SameLiteralsWithAndWithoutDetailedTracing)
{
    mss_test_engine engine;
    ASSERT_FALSE(tk_log_may_write(1));
    const std::vector<std::wstring> quiet = literals();

    const auto file = std::filesystem::temp_directory_path() / "mss_literal_trace.log";
    std::vector<std::wstring> traced;
    {
        tk_logger log(file.string().c_str(), true, 1, false);
        ASSERT_TRUE(tk_log_may_write(1));
        traced = literals();
    }
    EXPECT_GT(std::filesystem::file_size(file), 0u);
    std::filesystem::remove(file);

    ASSERT_EQ(quiet.size(), traced.size());
    for (std::size_t i = 0; i < quiet.size(); ++i)
        EXPECT_EQ(quiet[i], traced[i]) << "sample " << i;
    // A few that must hold whatever the path.
    EXPECT_EQ(quiet[0], L"42");
    EXPECT_EQ(quiet[2 * 9], L"'2021-01-03 06:19:30'");
    EXPECT_EQ(quiet[2 * 12].substr(0, 5), L"'9999");
    EXPECT_EQ(quiet[2 * 16], L"NULL");
}

TEST(MssLiteralTrace, QuotesAndLineBreaksInTextLiterals)
{
    EXPECT_EQ(mss_quote_string(L"it's", L"N"), L"N'it''s'");
    EXPECT_EQ(mss_quote_string(L"''", nullptr), L"''''''");
    EXPECT_EQ(mss_quote_string(L"a\r\nb'", L"N"), L"N'a\r\nb'''");
    EXPECT_EQ(mss_quote_string(L"it's\nGO\r", L"N"),
              L"(CAST(N'' AS NVARCHAR(MAX)) + N'it''s' + NCHAR(10) + N'GO\r')");
    EXPECT_EQ(mss_quote_string(L"x\ngo", nullptr), L"(CAST('' AS VARCHAR(MAX)) + 'x' + CHAR(10) + 'go')");
}

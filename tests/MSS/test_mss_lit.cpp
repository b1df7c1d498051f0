// The short road of value literals (typed value straight to text) gives the very text of the
// general road, for edge values of every type and for every value of every shared Access file.
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <unistd.h>
#include <gtest/gtest.h>

#include "MSS/mss_dump.h"
#include "MSS/mss_lit.h"
#include "MSS/mss_util.h"
#include "OLE/ole_date.h"
#include "TK/tk_log.h"
#include "UDB/udb_db.h"
#include "mss_test_env.h"
#include "tests/dao/dao_test_env.h"

namespace fs = std::filesystem;

namespace {

// Compares both roads for one value and one column, in UTF-8 and in wide text; counts the values
// the short road took by itself.
struct differ {
    int values = 0;
    int direct = 0;

    void check(const udb_field& f, const t_ftd& column)
    {
        const mss_literal_writer writer;
        const std::wstring general = mss_get_fld_append_str(&f, &column);
        std::string utf8 = "x";
        writer.append(utf8, f, column);
        EXPECT_EQ(utf8, "x" + mss_to_utf8(general)) << "type " << f.get_type();
        std::wstring wide = L"x";
        writer.append(wide, f, column);
        EXPECT_EQ(wide, L"x" + general) << "type " << f.get_type();
        std::string shortcut;
        ++values;
        if (writer.append_direct(shortcut, f, column))
            ++direct;
    }

    void check(const ole_variant& v, VARTYPE column_type, int reserved = 0, bool not_null = false)
    {
        const udb_field f(L"c", 0, v);
        t_ftd column(0, L"c", column_type, not_null, false, ole_variant(), reserved);
        check(f, column);
    }
};

ole_variant date_of(double days)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_DATE;
    v.date = days;
    return ole_variant(v);
}

ole_variant decimal_of(bool negative, std::uint32_t hi, std::uint64_t lo, std::uint8_t scale)
{
    DECIMAL d{};
    d.sign = negative ? DECIMAL_NEG : 0;
    d.Hi32 = hi;
    d.Lo64 = lo;
    d.scale = scale;
    return ole_variant::from_decimal(d);
}

ole_variant null_value()
{
    ole_variant v;
    v.set_null();
    return v;
}

// Logging on but above the detailed level, as in a normal run.
struct quiet_log {
    tk_logger logger{nullptr, false, 3, false};
};

} // namespace

TEST(MssDirectLiteral, EdgeValuesOfEveryTypeMatchTheGeneralRoad)
{
    quiet_log log;
    for (bool unicode : {true, false}) {
        mss_test_engine engine(unicode);
        differ d;
        // Whole numbers of every width, booleans.
        for (long long v : {0LL, 1LL, -1LL, 2147483647LL, -2147483647LL - 1, 9223372036854775807LL,
                            -9223372036854775807LL - 1}) {
            d.check(ole_variant(v), VT_I8);
            d.check(ole_variant(static_cast<int>(v)), VT_I4);
            d.check(ole_variant(static_cast<short>(v)), VT_I2);
        }
        d.check(ole_variant(static_cast<unsigned short>(65535)), VT_UI2);
        d.check(ole_variant(4294967295u), VT_UI4);
        d.check(ole_variant(true), VT_BOOL);
        d.check(ole_variant(false), VT_BOOL);
        // Doubles: ordinary, extremes, the clamping edges, NaN and infinities, into FLOAT and REAL.
        const double inf = std::numeric_limits<double>::infinity();
        for (double v : {0.0, -0.0, 1.0, -1.5, 0.1, 1e300, 1.7899999999e308, 1.79e308, 1.7899e308, 2.23e-308,
                         2.24e-308, 1e-310, -1e-310, -2.24e-308, -1.79e308, std::numeric_limits<double>::max(),
                         std::numeric_limits<double>::denorm_min(), inf, -inf,
                         std::numeric_limits<double>::quiet_NaN(), 683.22347175984544}) {
            d.check(ole_variant(v), VT_R8);
            d.check(ole_variant(v), VT_R8, 1);
            d.check(ole_variant(v), VT_R8, 0, true);
        }
        d.check(ole_variant(2.25f), VT_R4);
        d.check(ole_variant(std::numeric_limits<float>::quiet_NaN()), VT_R4);
        // Currency and decimals at their extremes and with trailing zeros.
        for (std::int64_t v : {0LL, 1LL, -1LL, 10000LL, 739276300LL, -5000LL, 9223372036854775807LL,
                               -9223372036854775807LL - 1})
            d.check(ole_variant::from_currency(v), VT_CY);
        d.check(decimal_of(false, 0, 0, 0), VT_DECIMAL);
        d.check(decimal_of(true, 0, 0, 4), VT_DECIMAL);
        d.check(decimal_of(true, 0, 54583376509ULL, 4), VT_DECIMAL);
        d.check(decimal_of(false, 0, 120000, 4), VT_DECIMAL);
        d.check(decimal_of(false, 0, 5, 28), VT_DECIMAL);
        d.check(decimal_of(false, 0xFFFFFFFFu, ~0ULL, 0), VT_DECIMAL);
        d.check(decimal_of(true, 0xFFFFFFFFu, ~0ULL, 28), VT_DECIMAL);
        d.check(decimal_of(false, 0x12345678u, 0x9ABCDEF012345678ULL, 10), VT_DECIMAL);
        // Dates: without time, with fractions, before 1900, day zero, year 9999, year 100.
        for (double days : {0.0, 1.0, -1.0, 0.5, -0.25, 44199.26354166667, 44199.0, 2958465.0, 2958465.9999999,
                            -657434.0, -657433.5, 1.0 / 86400000.0, 0.123456789, 36526.000011574, 2.5e-9,
                            -693593.0, 3e6})
            d.check(date_of(days), VT_DATE);
        // Texts: empty, quotes, line breaks, "GO" lines, control characters, "$(", non-BMP, GUIDs.
        for (const wchar_t* t : {L"", L"a", L"it's", L"''", L"\u00e9\u4e2d", L"\U0001F600 x", L"line\r\nGO\r\n",
                                 L"a\nb", L"x\u2028GO", L"y\u0085go 2", L"z\u2029:r", L"v\x0bGO", L"f\x0cexit", L"tab\there", L"nul\x01", L"$(var)", L"cost $ (x)", L"\xD800 half",
                                 L"{00112233-4455-6677-8899-AABBCCDDEEFF}", L"00112233-4455-6677-8899-aabbccddeeff",
                                 L" {00112233-4455-6677-8899-AABBCCDDEEFF} ", L"{not-a-guid}"}) {
            d.check(ole_variant(std::wstring(t)), VT_BSTR);
            d.check(ole_variant(std::wstring(t)), VT_BSTR, 1);
            d.check(ole_variant(std::wstring(t)), VT_BSTR, 0, true);
        }
        // Binary, empty and not; NULL into nullable and NOT NULL columns of several types.
        const unsigned char bytes[] = {0x00, 0x01, 0xAB, 0xFF};
        d.check(ole_variant(static_cast<size_t>(0), bytes), VT_ARRAY | VT_UI1);
        d.check(ole_variant(sizeof bytes, bytes), VT_ARRAY | VT_UI1);
        for (VARTYPE vt : {VARTYPE(VT_I4), VARTYPE(VT_BSTR), VARTYPE(VT_DATE), VARTYPE(VT_ARRAY | VT_UI1)}) {
            d.check(null_value(), vt);
            d.check(null_value(), vt, 0, true);
            d.check(ole_variant(), vt);
        }
        // Most of these take the short road; the rest prove the handing over.
        EXPECT_GT(d.direct * 2, d.values);
        EXPECT_LT(d.direct, d.values);
    }
}

TEST(MssDirectLiteral, RandomNumbersAndDatesMatchTheGeneralRoad)
{
    quiet_log log;
    mss_test_engine engine;
    std::mt19937_64 rng(20261209);
    differ d;
    for (int i = 0; i < 20000; ++i) {
        const std::uint64_t bits = rng();
        double x;
        std::memcpy(&x, &bits, sizeof x);
        d.check(ole_variant(x), VT_R8);
        d.check(ole_variant::from_currency(static_cast<std::int64_t>(rng())), VT_CY);
        d.check(decimal_of(rng() & 1, static_cast<std::uint32_t>(rng()), rng(), static_cast<std::uint8_t>(rng() % 29)),
                VT_DECIMAL);
        // Dates across the whole range, to the millisecond and finer.
        const double days = std::uniform_real_distribution<double>(-657434.0, 2958466.0)(rng);
        d.check(date_of(days), VT_DATE);
        d.check(date_of(std::floor(days) + (rng() % 86400000) / 86400000.0), VT_DATE);
        d.check(date_of(std::floor(days)), VT_DATE);
    }
    EXPECT_GT(d.direct * 2, d.values);
}

// Texts of every length up to past one encoding piece, of long plain runs broken at every offset
// by the characters of their own spelling.
TEST(MssDirectLiteral, RandomTextsMatchTheGeneralRoad)
{
    quiet_log log;
    std::mt19937_64 rng(20261210);
    const wchar_t odd[] = {L'\'', L'$', L'(', L'\n', L'\r', L'\x01', L'\x1f', L'\x7f', L'\x80', L'\u00e9',
                           L'\u0085', L'\u2028', L'\u2029', L'\xD800', L'\xDFFF', L'\U0001F600', L' ', L'~',
                           static_cast<wchar_t>(0x110000), static_cast<wchar_t>(-5)};
    for (bool unicode : {true, false}) {
        mss_test_engine engine(unicode);
        differ d;
        for (int i = 0; i < 3000; ++i) {
            std::wstring t;
            const std::size_t n = rng() % 300;
            const unsigned odds = static_cast<unsigned>(rng() % 4);   // how often an odd one comes
            for (std::size_t k = 0; k < n; ++k)
                t += odds && rng() % (8 * odds) == 0 ? odd[rng() % std::size(odd)]
                                                     : static_cast<wchar_t>(0x20 + rng() % 0x5F);
            d.check(ole_variant(t), VT_BSTR);
        }
        EXPECT_GT(d.direct, 100);
    }
}

TEST(MssDirectLiteral, TracingOrCustomRulesTakeTheGeneralRoad)
{
    mss_test_engine engine;
    const udb_field f(L"c", 0, ole_variant(42));
    const t_ftd column(0, L"c", VT_I4, false, false);
    const mss_literal_writer writer;
    std::string out;
    const auto file = fs::temp_directory_path() / ("mss_lit_trace" + std::to_string(::getpid()) + ".log");
    {
        tk_logger traced(file.string().c_str(), true, 1, false);
        EXPECT_FALSE(writer.append_direct(out, f, column));
        writer.append(out, f, column);
        EXPECT_EQ(out, "42");
    }
    fs::remove(file);
    out.clear();
    tk_logger quiet{nullptr, false, 3, false};
    EXPECT_TRUE(writer.append_direct(out, f, column));
    EXPECT_EQ(out, "42");
}

// Every value of every shared Access file (tables and queries), both Unicode settings.
TEST(MssDirectLiteral, EveryCorpusValueMatchesTheGeneralRoad)
{
    DRAV_TESTDATA_OR_SKIP(root, "jackcess");
    quiet_log log;
    const fs::path base = fs::path(root).parent_path();
    differ d;
    int files = 0;
    for (const auto& e : fs::recursive_directory_iterator(base)) {
        const std::string ext = e.path().extension().string();
        const std::string rel = fs::relative(e.path(), base).string();
        if ((ext != ".mdb" && ext != ".accdb") || rel.rfind("bench", 0) == 0)
            continue;
        SCOPED_TRACE(rel);
        const bool secret =
            rel.find("with-password") != std::string::npos || rel.find("encryption/") != std::string::npos;
        drav_test::scratch_dir dir("mss-lit");
        dao_engine dao(1, 0);
        std::unique_ptr<udb_database> db;
        try {
            db = daotests::open_corpus(dao, e.path().string(), 0x01, secret ? L"password" : L"");
        } catch (const tk_exception&) {
            continue;   // files the reader refuses are another test's subject
        }
        ++files;
        for (const std::wstring& table : db->get_tables()) {
            std::unique_ptr<udb_recordset> rs;
            try {
                rs = db->get_table(table, 1);
                if (!rs)
                    continue;
                const udb_schema& schema = rs->get_schema();
                for (rs->reset(); !rs->is_eof(); rs->next()) {
                    const udb_record& r = *rs->get_item();
                    for (std::size_t i = 0; i < r.size() && i < schema.size(); ++i) {
                        for (bool unicode : {true, false}) {
                            mss_test_engine engine(unicode);
                            d.check(*r[i], *schema[i]);
                        }
                    }
                }
            } catch (const tk_exception&) {
                continue;   // unreadable tables are checked elsewhere
            }
        }
    }
    std::printf("%d files, %d values, %d by the short road\n", files, d.values, d.direct);
    EXPECT_GT(files, 10);
    EXPECT_GT(d.direct * 2, d.values);
}

// ole_variant: text out and in, type changes and scalar reads at the edges of every type.
#include "OLE/ole_var.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

ole_variant bytes(std::vector<unsigned char> b)
{
    return ole_variant(b.size(), b.data());
}

ole_variant cy(int64_t scaled)
{
    return ole_variant::from_currency(scaled);
}

ole_variant dec(const char* text)
{
    return ole_variant::from_string(text, VT_DECIMAL);
}

ole_variant typed(VARTYPE vt, int64_t v)
{
    VARIANT x;
    VariantInit(&x);
    x.vt = vt;
    switch (vt) {
    case VT_I1: x.cVal = static_cast<char>(v); break;
    case VT_UI1: x.bVal = static_cast<uint8_t>(v); break;
    case VT_I2: x.iVal = static_cast<int16_t>(v); break;
    case VT_UI2: x.uiVal = static_cast<uint16_t>(v); break;
    case VT_I4: x.lVal = static_cast<int32_t>(v); break;
    case VT_UI4: x.ulVal = static_cast<uint32_t>(v); break;
    case VT_BOOL: x.boolVal = static_cast<int16_t>(v); break;
    default: break;
    }
    return ole_variant(x);
}

} // namespace

TEST(OleVariantText, PrintedFormsOfEachType)
{
    EXPECT_EQ("1", ole_variant(true).to_string());
    EXPECT_EQ("0", typed(VT_BOOL, 1).to_string());
    EXPECT_EQ("1.5000000000000000e+00", ole_variant(1.5).to_string());
    EXPECT_EQ("1.50000000e+00", ole_variant(1.5f).to_string());
    EXPECT_EQ("0x01AB", bytes({0x01, 0xAB}).to_string());
    EXPECT_EQ(L"0x01AB", bytes({0x01, 0xAB}).to_wstring());
    EXPECT_EQ("", bytes({}).to_string());
    EXPECT_EQ("12.5", dec("12.5").to_string());
    EXPECT_EQ("7.6", cy(76000).to_string());
    EXPECT_EQ("-128", typed(VT_I1, -128).to_string());
    EXPECT_EQ("255", typed(VT_UI1, 255).to_string());
    EXPECT_EQ("-32768", typed(VT_I2, -32768).to_string());
    EXPECT_EQ("65535", typed(VT_UI2, 65535).to_string());
    EXPECT_EQ("-2147483648", typed(VT_I4, INT32_MIN).to_string());
    EXPECT_EQ("4294967295", typed(VT_UI4, UINT32_MAX).to_string());
    EXPECT_EQ("-9223372036854775808", ole_variant(std::numeric_limits<long long>::min()).to_string());
    EXPECT_EQ("18446744073709551615", ole_variant(std::numeric_limits<unsigned long long>::max()).to_string());
    EXPECT_EQ("", ole_variant().to_string());
    ole_variant n;
    n.set_null();
    EXPECT_EQ("", n.to_string());
    EXPECT_EQ(L"h\u00e9llo", ole_variant(L"h\u00e9llo").to_wstring());
    EXPECT_EQ("h\xc3\xa9llo", ole_variant(L"h\u00e9llo").to_string());
    EXPECT_EQ(L"2020-12-25 14:30:05.500000",
              ole_variant(ole_date(std::string("2020-12-25 14:30:05.5"))).to_wstring());
}

TEST(OleVariantText, SinglePrecisionReadsBackTheSameValue)
{
    // Seven digits are not always enough for a float; the printed text must read back exactly.
    const float values[] = {16777217.0f, 0.1f, 3.4028235e38f, 1.17549435e-38f, 123456.79f, 2.0000002f};
    for (float f : values) {
        std::string s = ole_variant(f).to_string();
        ole_variant back = ole_variant::from_string(s, VT_R4);
        EXPECT_EQ(f, back.variant().fltVal) << s;
    }
    for (double d : {0.1, 1.0 / 3, 1e308, -2.2250738585072014e-308, 123456789.123456789}) {
        std::string s = ole_variant(d).to_string();
        EXPECT_EQ(d, ole_variant::from_string(s, VT_R8).variant().dblVal) << s;
    }
}

TEST(OleVariantText, DecimalSeparatorIsAPointWhateverTheLocale)
{
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = previous ? previous : "C";
    bool german = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    EXPECT_EQ("12.5", dec("12.5").to_string());
    EXPECT_EQ("1.5000000000000000e+00", ole_variant(1.5).to_string());
    EXPECT_EQ(1.5, ole_variant::from_string("1,5", VT_R8).variant().dblVal);
    EXPECT_EQ(1.5, ole_variant::from_string("1.5", VT_R8).variant().dblVal);
    std::setlocale(LC_NUMERIC, saved.c_str());
    if (!german)
        GTEST_LOG_(INFO) << "de_DE.UTF-8 is not installed; checked in the current locale only";
}

TEST(OleVariantFromString, IntegersAtTheirLimits)
{
    struct row {
        const char* text;
        VARTYPE vt;
        bool fits;
    } rows[] = {
        {"127", VT_I1, true}, {"128", VT_I1, false}, {"-128", VT_I1, true}, {"-129", VT_I1, false},
        {"255", VT_UI1, true}, {"256", VT_UI1, false}, {"-1", VT_UI1, false},
        {"32767", VT_I2, true}, {"32768", VT_I2, false}, {"65535", VT_UI2, true}, {"65536", VT_UI2, false},
        {"2147483647", VT_I4, true}, {"2147483648", VT_I4, false}, {"-2147483648", VT_I4, true},
        {"4294967295", VT_UI4, true}, {"4294967296", VT_UI4, false}, {"-1", VT_UI4, false},
        {"9223372036854775807", VT_I8, true}, {"9223372036854775808", VT_I8, false},
        {"18446744073709551615", VT_UI8, true}, {"18446744073709551616", VT_UI8, false}, {"-1", VT_UI8, false},
        {"99999999999999999999999999999999", VT_I8, false},
    };
    for (const auto& r : rows) {
        if (r.fits) {
            ole_variant v = ole_variant::from_string(r.text, r.vt);
            EXPECT_EQ(r.vt, v.get_type()) << r.text;
            EXPECT_EQ(r.text, v.to_string()) << r.text;
        } else {
            EXPECT_THROW(ole_variant::from_string(r.text, r.vt), ole_cast_exception) << r.text << " " << r.vt;
        }
    }
    // Read as atol reads: blanks, sign, digits up to the first other character.
    EXPECT_EQ(42, ole_variant::from_string("  42abc", VT_I4).to_long());
    EXPECT_EQ(0, ole_variant::from_string("abc", VT_I2).to_long());
    EXPECT_EQ(VT_EMPTY, ole_variant::from_string("", VT_I4).get_type());
}

TEST(OleVariantFromString, OtherTypes)
{
    EXPECT_TRUE(ole_variant::from_string("Yes", VT_BOOL).to_bool());
    EXPECT_TRUE(ole_variant::from_string("2", VT_BOOL).to_bool());
    EXPECT_FALSE(ole_variant::from_string("abc", VT_BOOL).to_bool());
    EXPECT_FALSE(ole_variant::from_string("FALSE", VT_BOOL).to_bool());
    EXPECT_EQ(1.5, ole_variant::from_string("1,5", VT_R8).to_double());
    EXPECT_THROW(ole_variant::from_string("1e39", VT_R4), ole_cast_exception);
    EXPECT_THROW(ole_variant::from_string("1e400", VT_R8), ole_cast_exception);
    EXPECT_EQ(0.0, ole_variant::from_string("1e-400", VT_R8).to_double());

    ole_variant a = ole_variant::from_string("0x01ab", VT_BLOB);
    ole_variant b = ole_variant::from_string("01AB", VT_ARRAY | VT_UI1);
    ASSERT_EQ(2u, a.binary_size());
    EXPECT_EQ(VT_BLOB, a.get_type());
    EXPECT_EQ(0, std::memcmp(a.binary_data(), b.binary_data(), 2));
    EXPECT_EQ("0x01AB", a.to_string());
    EXPECT_EQ(VT_EMPTY, ole_variant::from_string("0x1", VT_BLOB).get_type());
    EXPECT_EQ(VT_EMPTY, ole_variant::from_string("0xZZ", VT_BLOB).get_type());
    EXPECT_EQ(2u, ole_variant::from_wstring(L"\\xABCD", VT_BLOB).binary_size());

    ole_variant c = ole_variant::from_string("922337203685477.5807", VT_CY);
    EXPECT_EQ(VT_CY, c.get_type());
    EXPECT_EQ("922337203685477.5807", c.to_string());
    EXPECT_EQ(VT_EMPTY, ole_variant::from_string("922337203685477.5808", VT_CY).get_type());
    EXPECT_EQ("-0.0001", ole_variant::from_string("-0,0001", VT_CY).to_string());

    EXPECT_EQ("79228162514264337593543950335", dec("79228162514264337593543950335").to_string());
    EXPECT_EQ("-0.0000000000000000000000000001", dec("-0.0000000000000000000000000001").to_string());
    ole_variant fallback = dec("1e30"); // beyond DECIMAL: kept as a double
    EXPECT_EQ(VT_R8, fallback.get_type());
    EXPECT_EQ(1e30, fallback.to_double());

    ole_variant d = ole_variant::from_string("2020-12-25 10:00:00", VT_DATE);
    EXPECT_EQ(VT_DATE, d.get_type());
    EXPECT_EQ(44190, static_cast<int>(d.variant().date));
    EXPECT_EQ(VT_EMPTY, ole_variant::from_string("not a date", VT_DATE).get_type());

    ole_variant text = ole_variant::from_string("", VT_BSTR);
    EXPECT_EQ(VT_BSTR, text.get_type());
    EXPECT_THROW(ole_variant::from_string("abc", VT_ERROR), ole_type_exception);
    EXPECT_EQ(L"zz\u00e9", ole_variant::from_wstring(L"zz\u00e9", VT_BSTR).to_wstring());
    EXPECT_EQ(12, ole_variant::from_wstring(L"12", VT_I4).to_long());
}

TEST(OleVariantChangeType, PartRulesAtTheirEdges)
{
    ole_variant maybe(L"maybe");
    EXPECT_THROW(maybe.change_type(VT_BOOL), ole_cast_exception);
    ole_variant one(L"1");
    EXPECT_THROW(one.change_type(VT_BOOL), ole_cast_exception);
    ole_variant yes(L"True");
    yes.change_type(VT_BOOL);
    EXPECT_EQ(VT_BOOL, yes.get_type());
    EXPECT_TRUE(yes.to_bool());

    for (double d : {-2.5, 2.5, 0.5, -0.5, 1.4999}) {
        ole_variant v(d);
        v.change_type(VT_I4);
        EXPECT_EQ(VT_I4, v.get_type());
        EXPECT_EQ(d >= 0 ? static_cast<long>(d + 0.5) : static_cast<long>(d - 0.5), v.to_long()) << d;
    }
    ole_variant big(3e9);
    EXPECT_THROW(big.change_type(VT_I4), ole_cast_exception);
    ole_variant neg(-1.0);
    EXPECT_THROW(neg.change_type(VT_UI2), ole_cast_exception);

    ole_variant seven(7LL);
    seven.change_type(VT_CY);
    EXPECT_EQ(VT_CY, seven.get_type());
    EXPECT_EQ(70000, seven.variant().cyVal.int64);

    ole_variant twelve(L"12");
    twelve.change_type(VT_I4);
    EXPECT_EQ(VT_BSTR, twelve.get_type()); // text to a 32-bit integer is left alone

    ole_variant bin = bytes({0x41, 0x42, 0x00, 0x43});
    bin.change_type(VT_BSTR);
    EXPECT_EQ(L"AB", bin.to_wstring());
    ole_variant syn = bytes({1});
    syn.change_type(VT_BLOB);
    EXPECT_EQ(VT_BLOB, syn.get_type());
    syn.change_type(VT_ARRAY | VT_UI1);
    EXPECT_EQ(VT_ARRAY | VT_UI1, syn.get_type());

    ole_variant i4 = typed(VT_I4, 0x01020304);
    i4.change_type(VT_BLOB);
    ASSERT_EQ(4u, i4.binary_size());
    EXPECT_EQ(4, i4.binary_data()[0]);
    ole_variant s(L"h\u00e9");
    s.change_type(VT_ARRAY | VT_UI1);
    EXPECT_EQ("0x68C3A9", s.to_string());

    ole_variant date_text(L"2020-12-25 10:00:00");
    date_text.change_type(VT_DATE);
    EXPECT_EQ(VT_DATE, date_text.get_type());
    EXPECT_EQ("2020-12-25 10:00:00", date_text.to_string());
    date_text.change_type(VT_BSTR);
    EXPECT_EQ(L"2020-12-25 10:00:00", date_text.to_wstring());
    ole_variant bad_date(L"2020-02-30");
    EXPECT_THROW(bad_date.change_type(VT_DATE), ole_cast_exception);
    ole_variant date_val(ole_date(std::string("2020-12-25")));
    EXPECT_THROW(date_val.change_type(VT_I4), ole_cast_exception);

    ole_variant r8(L"2.5");
    r8.change_type(VT_R8); // rule of the system conversion
    EXPECT_EQ(2.5, r8.to_double());
    ole_variant word(L"abc");
    EXPECT_THROW(word.change_type(VT_R8), ole_cast_exception);
    ole_variant empty;
    empty.change_type(VT_I4);
    EXPECT_EQ(VT_EMPTY, empty.get_type());
}

TEST(OleVariantChangeType, SixtyFourBitValuesNeverWrap)
{
    struct row {
        long long value;
        VARTYPE vt;
        bool fits;
    } rows[] = {
        {127, VT_I1, true}, {128, VT_I1, false}, {255, VT_UI1, true}, {256, VT_UI1, false}, {-1, VT_UI1, false},
        {32767, VT_I2, true}, {32768, VT_I2, false}, {-32768, VT_I2, true}, {65535, VT_UI2, true},
        {65536, VT_UI2, false}, {2147483647, VT_I4, true}, {2147483648LL, VT_I4, false},
        {4294967295LL, VT_UI4, true}, {4294967296LL, VT_UI4, false}, {-1, VT_UI8, false},
        {922337203685477LL, VT_CY, true}, {922337203685478LL, VT_CY, false},
    };
    for (const auto& r : rows) {
        ole_variant v(r.value);
        if (r.fits) {
            v.change_type(r.vt);
            EXPECT_EQ(r.vt, v.get_type()) << r.value;
            EXPECT_EQ(r.value, v.to_i8()) << r.value;
        } else {
            EXPECT_THROW(v.change_type(r.vt), ole_cast_exception) << r.value << " to " << r.vt;
            EXPECT_EQ(VT_I8, v.get_type());
        }
    }
    ole_variant high(1LL << 32); // low 32 bits are zero, the value is not
    high.change_type(VT_BOOL);
    EXPECT_TRUE(high.to_bool());
    EXPECT_EQ(VARIANT_TRUE, high.variant().boolVal);
    ole_variant u(std::numeric_limits<unsigned long long>::max());
    EXPECT_THROW(u.change_type(VT_I8), ole_cast_exception);
    u.change_type(VT_DECIMAL);
    EXPECT_EQ("18446744073709551615", u.to_string());
    ole_variant m(std::numeric_limits<long long>::min());
    m.change_type(VT_BSTR);
    EXPECT_EQ(L"-9223372036854775808", m.to_wstring());
}

TEST(OleVariantChangeType, ToSixtyFourBits)
{
    ole_variant c = cy(76000); // 7.6
    c.change_type(VT_I8);
    EXPECT_EQ(8, c.get_i8());
    ole_variant n = cy(-76000); // -7.6 rounds like 7.6, away from zero
    n.change_type(VT_I8);
    EXPECT_EQ(-8, n.get_i8());
    ole_variant h = cy(-74999);
    h.change_type(VT_I8);
    EXPECT_EQ(-7, h.get_i8());
    ole_variant neg_to_u = cy(-10000);
    EXPECT_THROW(neg_to_u.change_type(VT_UI8), ole_cast_exception);
    ole_variant minus_one = typed(VT_I2, -1);
    EXPECT_THROW(minus_one.change_type(VT_UI8), ole_cast_exception);
    ole_variant minus_i8 = typed(VT_I2, -1);
    minus_i8.change_type(VT_I8);
    EXPECT_EQ(-1, minus_i8.get_i8());
    ole_variant ui4 = typed(VT_UI4, UINT32_MAX);
    ui4.change_type(VT_I8);
    EXPECT_EQ(4294967295LL, ui4.get_i8());
    ole_variant r(2.5);
    r.change_type(VT_I8);
    EXPECT_EQ(2, r.get_i8()); // the system's conversion rounds half to even
    ole_variant huge(1e30);
    EXPECT_THROW(huge.change_type(VT_I8), ole_cast_exception);
    ole_variant d = dec("-9223372036854775808");
    d.change_type(VT_I8);
    EXPECT_EQ(std::numeric_limits<int64_t>::min(), d.get_i8());
    ole_variant text(L"5");
    EXPECT_THROW(text.change_type(VT_I8), ole_cast_exception);
}

TEST(OleVariantScalars, ReadsByType)
{
    EXPECT_EQ(200, typed(VT_UI1, 200).to_i8());
    EXPECT_EQ(0, ole_variant().to_long());
    EXPECT_EQ(-2, ole_variant(-2.9).to_long());
    EXPECT_THROW(ole_variant(5e9).to_long(), ole_cast_exception);
    EXPECT_EQ(1, ole_variant(true).to_long());
    EXPECT_EQ(0, typed(VT_BOOL, 1).to_long());
    EXPECT_EQ(8, cy(76000).to_long());
    EXPECT_EQ(0, cy(std::numeric_limits<int64_t>::max()).to_long()); // fails: 0, logged
    EXPECT_THROW(ole_variant(1LL << 40).to_long(), ole_cast_exception);
    EXPECT_TRUE(cy(3000).to_bool()); // 0.3
    EXPECT_TRUE(dec("0.001").to_bool());
    EXPECT_FALSE(dec("0").to_bool());
    EXPECT_TRUE(ole_variant(1LL << 32).to_bool());
    EXPECT_FALSE(ole_variant(L"1").to_bool());
    EXPECT_EQ(-3, ole_variant(-2.5).to_i8());
    EXPECT_EQ(3, ole_variant(2.5).to_i8());
    EXPECT_THROW(ole_variant(std::numeric_limits<unsigned long long>::max()).to_i8(), ole_cast_exception);
    EXPECT_THROW(ole_variant(-1LL).to_ui8(), ole_cast_exception);
    EXPECT_THROW(typed(VT_I4, -1).to_ui8(), ole_cast_exception);
    EXPECT_EQ(1u, ole_variant(true).to_ui8());
    EXPECT_EQ(2.5, ole_variant(L"2.5").to_double()); // text is read, not an internal error
    EXPECT_THROW(ole_variant(L"abc").to_double(), ole_cast_exception);
    EXPECT_THROW(bytes({1}).to_double(), ole_cast_exception);
    EXPECT_EQ(1.2345, cy(12345).to_double());
    EXPECT_EQ(0.5f, ole_variant(0.5).to_float());
    EXPECT_THROW(ole_variant(1e300).to_float(), ole_cast_exception);

    DECIMAL out{};
    ole_variant(7).to_decimal(&out);
    EXPECT_EQ("7", ole_variant::from_decimal(out).to_string());
    typed(VT_UI1, 200).to_decimal(&out);
    EXPECT_EQ("200", ole_variant::from_decimal(out).to_string());
    ole_variant(std::numeric_limits<long long>::min()).to_decimal(&out);
    EXPECT_EQ("-9223372036854775808", ole_variant::from_decimal(out).to_string());
    EXPECT_THROW(ole_variant().to_decimal(&out), ole_cast_exception);
    EXPECT_THROW(ole_variant(true).to_decimal(&out), ole_cast_exception);
    EXPECT_THROW(ole_variant(7).to_decimal(nullptr), tk_mail_assertion);
}

TEST(OleVariantBinary, PiecesCopiesAndNoSizeLimit)
{
    ole_variant b = bytes({1, 2, 3, 4, 5});
    std::string piece;
    EXPECT_EQ(2u, b.get_at(3, 10, piece));
    EXPECT_EQ(std::string("\x04\x05", 2), piece);
    EXPECT_EQ(0u, b.get_at(5, 1, piece));
    b.allocate_safe_array(7);
    EXPECT_EQ(7u, b.binary_size());
    EXPECT_EQ(5, b.binary_data()[4]);
    EXPECT_EQ(0, b.binary_data()[6]);

    ole_variant t(L"h\u00e9llo");
    EXPECT_EQ(3u, t.get_at(1, 2, piece)); // two characters, three bytes in UTF-8
    EXPECT_EQ("\xc3\xa9l", piece);
    std::vector<unsigned char> raw;
    EXPECT_EQ(5u, t.get_bytes(raw));
    EXPECT_EQ(6u, raw.size());
    EXPECT_EQ(0u, ole_variant().get_bytes(raw));
    EXPECT_THROW(ole_variant(3).get_bytes(raw), tk_mail_assertion);
    EXPECT_THROW(ole_variant(3, static_cast<const unsigned char*>(nullptr)), tk_mail_assertion);

    // Copies are deep and independent.
    ole_variant c = b;
    c.attach_binary(std::vector<unsigned char>{9});
    EXPECT_EQ(7u, b.binary_size());
    EXPECT_EQ(1u, c.binary_size());

    // Large values print whole.
    std::vector<unsigned char> big(130'000'000 / 64, 0xAB);
    ole_variant large(big.size(), big.data());
    EXPECT_EQ(2 + 2 * big.size(), large.to_string().size());
    ole_variant from_text = ole_variant::from_string(large.to_string(), VT_BLOB);
    EXPECT_EQ(big.size(), from_text.binary_size());
}

TEST(OleVariantDate, KeptDateAndAutomationDateAgree)
{
    SYSTEMTIME st{2020, 12, 0, 25, 14, 30, 5, 250};
    ole_variant v(st);
    EXPECT_EQ(VT_DATE, v.get_type());
    EXPECT_EQ("2020-12-25 14:30:05.250", v.to_string().substr(0, 23));
    SYSTEMTIME back = v.get_systemtime();
    EXPECT_EQ(250, back.wMilliseconds);
    SYSTEMTIME from_var{};
    ASSERT_TRUE(VariantTimeToSystemTime(v.variant().date, &from_var));
    EXPECT_EQ(14, from_var.wHour);
    EXPECT_EQ(250, from_var.wMilliseconds);
    ole_variant copy = v;
    EXPECT_EQ(v.variant().date, copy.variant().date);
    EXPECT_EQ(v.to_string(), copy.to_string());

    // Dates before 1899-12-30 keep their time as Access stores them.
    ole_variant old(ole_date(std::string("1899-12-29 06:00:00")));
    EXPECT_DOUBLE_EQ(-1.25, old.variant().date);
    VARIANT raw;
    VariantInit(&raw);
    raw.vt = VT_DATE;
    raw.date = -1.75;
    EXPECT_EQ("1899-12-29 18:00:00", ole_variant(raw).to_string());
    EXPECT_EQ(0, ole_variant(3).get_systemtime().wYear);
}

TEST(OleVariantFromString, TinyNumbersReadAsZero)
{
    std::string tiny = "0." + std::string(400, '0') + "1";
    EXPECT_EQ(0.0, ole_variant::from_string(tiny, VT_R8).to_double());
    EXPECT_THROW(ole_variant::from_string("1" + std::string(400, '0'), VT_R8), ole_cast_exception);
}

// A single's text brings back the same float when read as a double and narrowed, as the server
// reads a REAL literal: every float of [1, 2) and a spread of all others, both signs.
TEST(OleVariantText, SinglesComeBackExactThroughADouble)
{
    auto exact = [](std::uint32_t bits) {
        float f;
        std::memcpy(&f, &bits, sizeof f);
        const std::string s = ole_variant(f).to_string();
        return static_cast<float>(std::strtod(s.c_str(), nullptr)) == f;
    };
    long bad = 0;
    for (std::uint32_t u = 0x3F800000u; u < 0x40000000u; u += 3)
        bad += !exact(u);
    for (std::uint32_t u = 1; u < 0x7F800000u; u += 7919)
        bad += !exact(u) + !exact(u | 0x80000000u);
    EXPECT_EQ(bad, 0);
    EXPECT_EQ("1.00000001e-07", ole_variant(1e-7f).to_string());
    EXPECT_EQ("1.40129846e-45", ole_variant(1.4e-45f).to_string());
}

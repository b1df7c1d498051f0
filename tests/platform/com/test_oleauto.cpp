// Conversions of the automation substitute at the edges of every type.
#include "platform/com/oleauto.h"

#include <gtest/gtest.h>

#include <cstring>

#include <cmath>
#include <limits>
#include <string>

namespace {

// An owning VARIANT for the tests.
struct var {
    VARIANT v;
    var() { VariantInit(&v); }
    ~var() { VariantClear(&v); }
    var(const var&) = delete;
    var& operator=(const var&) = delete;
    VARIANT* operator&() { return &v; }
};

std::wstring text_of(BSTR b)
{
    std::wstring s(b ? b : L"", SysStringLen(b));
    SysFreeString(b);
    return s;
}

// Converts a text to vt and back to text; "" plus the result code on failure.
HRESULT from_text(const wchar_t* s, VARTYPE vt, VARIANT* out)
{
    var in;
    in.v.vt = VT_BSTR;
    in.v.bstrVal = SysAllocString(s);
    return VariantChangeType(out, &in.v, 0, vt);
}

std::wstring to_text(VARIANT* v)
{
    var out;
    HRESULT hr = VariantChangeType(&out.v, v, 0, VT_BSTR);
    if (FAILED(hr))
        return L"<fail>";
    return std::wstring(out.v.bstrVal, SysStringLen(out.v.bstrVal));
}

DECIMAL dec_of(const wchar_t* s)
{
    DECIMAL d{};
    EXPECT_EQ(S_OK, VarDecFromStr(s, LOCALE_USER_DEFAULT, 0, &d)) << s;
    return d;
}

std::wstring dec_text(const DECIMAL& d)
{
    BSTR b = nullptr;
    EXPECT_EQ(S_OK, VarBstrFromDec(&d, LOCALE_USER_DEFAULT, 0, &b));
    return text_of(b);
}

} // namespace

TEST(Bstr, LengthPrefixedAndNullReadsEmpty)
{
    BSTR b = SysAllocStringLen(L"ab\0cd", 5);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(5u, SysStringLen(b));
    EXPECT_EQ(5u * sizeof(wchar_t), SysStringByteLen(b));
    EXPECT_EQ(L'\0', b[5]);
    EXPECT_EQ(0, std::wmemcmp(b, L"ab\0cd", 5));
    EXPECT_EQ(1, SysReAllocString(&b, L"xyz"));
    EXPECT_EQ(3u, SysStringLen(b));
    SysFreeString(b);
    EXPECT_EQ(0u, SysStringLen(nullptr));
    SysFreeString(nullptr);
    EXPECT_EQ(nullptr, SysAllocString(nullptr));
}

// Resizing keeps the text whole whether it grows, shrinks, is copied from inside itself or is
// left unset (zeros).
TEST(Bstr, ReallocatedTextGrowsShrinksAndCopiesFromItself)
{
    BSTR b = SysAllocString(L"abcdef");
    ASSERT_EQ(1, SysReAllocStringLen(&b, L"a much longer text than before", 30));
    EXPECT_EQ(std::wstring(L"a much longer text than before"), std::wstring(b, SysStringLen(b)));
    EXPECT_EQ(L'\0', b[30]);
    ASSERT_EQ(1, SysReAllocStringLen(&b, b + 2, 4));   // from inside the old text
    EXPECT_EQ(std::wstring(L"much"), std::wstring(b, SysStringLen(b)));
    ASSERT_EQ(1, SysReAllocStringLen(&b, L"", 0));
    EXPECT_EQ(0u, SysStringLen(b));
    EXPECT_EQ(L'\0', b[0]);
    ASSERT_EQ(1, SysReAllocStringLen(&b, L"abc", 3));   // within the room it had
    EXPECT_EQ(std::wstring(L"abc"), std::wstring(b, SysStringLen(b)));
    EXPECT_EQ(L'\0', b[3]);
    ASSERT_EQ(1, SysReAllocStringLen(&b, nullptr, 3));
    EXPECT_EQ(std::wstring(3, L'\0'), std::wstring(b, SysStringLen(b)));
    ASSERT_EQ(1, SysReAllocStringLen(&b, L"grown past its room", 19));
    EXPECT_EQ(std::wstring(L"grown past its room"), std::wstring(b, SysStringLen(b)));
    // Shortened onto its own start (a text decoded into more room than it needed): in place.
    const BSTR before = b;
    ASSERT_EQ(1, SysReAllocStringLen(&b, b, 5));
    EXPECT_EQ(before, b);
    EXPECT_EQ(std::wstring(L"grown"), std::wstring(b, SysStringLen(b)));
    EXPECT_EQ(L'\0', b[5]);
    ASSERT_EQ(1, SysReAllocStringLen(&b, b, 19));   // within its room again: what lies there stays
    EXPECT_EQ(19u, SysStringLen(b));
    EXPECT_EQ(std::wstring(L"grown"), std::wstring(b, 5));
    SysFreeString(b);
    BSTR none = nullptr;
    ASSERT_EQ(1, SysReAllocStringLen(&none, L"new", 3));
    EXPECT_EQ(std::wstring(L"new"), std::wstring(none, SysStringLen(none)));
    SysFreeString(none);
    EXPECT_EQ(0, SysReAllocStringLen(nullptr, L"x", 1));
}

TEST(SafeArray, ByteVectorLifetimeBoundsAndRedim)
{
    SAFEARRAY* sa = SafeArrayCreateVector(VT_UI1, 0, 4);
    ASSERT_NE(nullptr, sa);
    EXPECT_EQ(1u, SafeArrayGetDim(sa));
    EXPECT_EQ(1u, SafeArrayGetElemsize(sa));
    LONG lb = -1, ub = -1;
    EXPECT_EQ(S_OK, SafeArrayGetLBound(sa, 1, &lb));
    EXPECT_EQ(S_OK, SafeArrayGetUBound(sa, 1, &ub));
    EXPECT_EQ(0, lb);
    EXPECT_EQ(3, ub);
    EXPECT_EQ(DISP_E_BADINDEX, SafeArrayGetUBound(sa, 2, &ub));
    void* p = nullptr;
    ASSERT_EQ(S_OK, SafeArrayAccessData(sa, &p));
    std::memcpy(p, "\x01\x02\x03\x04", 4);
    EXPECT_EQ(DISP_E_ARRAYISLOCKED, SafeArrayDestroy(sa));
    EXPECT_EQ(S_OK, SafeArrayUnaccessData(sa));
    SAFEARRAYBOUND nb{6, 0};
    ASSERT_EQ(S_OK, SafeArrayRedim(sa, &nb));
    EXPECT_EQ(S_OK, SafeArrayGetUBound(sa, 1, &ub));
    EXPECT_EQ(5, ub);
    const uint8_t* d = static_cast<const uint8_t*>(sa->pvData);
    EXPECT_EQ(4, d[3]);
    EXPECT_EQ(0, d[5]);
    LONG idx = 6;
    uint8_t b = 0;
    EXPECT_EQ(DISP_E_BADINDEX, SafeArrayGetElement(sa, &idx, &b));
    idx = 1;
    EXPECT_EQ(S_OK, SafeArrayGetElement(sa, &idx, &b));
    EXPECT_EQ(2, b);
    // A VARIANT owns its array: copy is deep, clear frees (ASan checks both).
    var v1, v2;
    v1.v.vt = VT_ARRAY | VT_UI1;
    v1.v.parray = sa;
    ASSERT_EQ(S_OK, VariantCopy(&v2.v, &v1.v));
    EXPECT_NE(v1.v.parray, v2.v.parray);
    EXPECT_EQ(0, std::memcmp(v1.v.parray->pvData, v2.v.parray->pvData, 6));
    EXPECT_EQ(nullptr, SafeArrayCreateVector(VT_I4, 0, 4)); // bytes only
}

TEST(VariantChangeType, IntegerWidthsAtTheirLimits)
{
    struct row {
        const wchar_t* text;
        VARTYPE vt;
        HRESULT hr;
    } rows[] = {
        {L"127", VT_I1, S_OK}, {L"128", VT_I1, DISP_E_OVERFLOW}, {L"-128", VT_I1, S_OK}, {L"-129", VT_I1, DISP_E_OVERFLOW},
        {L"255", VT_UI1, S_OK}, {L"256", VT_UI1, DISP_E_OVERFLOW}, {L"-1", VT_UI1, DISP_E_OVERFLOW},
        {L"32767", VT_I2, S_OK}, {L"32768", VT_I2, DISP_E_OVERFLOW}, {L"-32768", VT_I2, S_OK},
        {L"65535", VT_UI2, S_OK}, {L"65536", VT_UI2, DISP_E_OVERFLOW},
        {L"2147483647", VT_I4, S_OK}, {L"2147483648", VT_I4, DISP_E_OVERFLOW}, {L"-2147483648", VT_I4, S_OK},
        {L"4294967295", VT_UI4, S_OK}, {L"4294967296", VT_UI4, DISP_E_OVERFLOW},
        {L"9223372036854775807", VT_I8, S_OK}, {L"9223372036854775808", VT_I8, DISP_E_OVERFLOW},
        {L"-9223372036854775808", VT_I8, S_OK}, {L"-9223372036854775809", VT_I8, DISP_E_OVERFLOW},
        {L"18446744073709551615", VT_UI8, S_OK}, {L"18446744073709551616", VT_UI8, DISP_E_OVERFLOW},
        {L"1e400", VT_I4, DISP_E_OVERFLOW}, {L"12abc", VT_I4, DISP_E_TYPEMISMATCH}, {L"", VT_I4, DISP_E_TYPEMISMATCH},
        {L"1,5", VT_I4, DISP_E_TYPEMISMATCH}, {L" 42 ", VT_I4, S_OK}, {L"+7", VT_UI1, S_OK},
    };
    for (const auto& r : rows) {
        var out;
        EXPECT_EQ(r.hr, from_text(r.text, r.vt, &out.v)) << r.text << " vt " << r.vt;
        if (r.hr == S_OK) {
            EXPECT_EQ(r.vt, out.v.vt);
            std::wstring back = to_text(&out.v);
            std::wstring want = r.text;
            while (!want.empty() && want.front() == L' ') want.erase(0, 1);
            while (!want.empty() && want.back() == L' ') want.pop_back();
            if (want[0] == L'+') want.erase(0, 1);
            EXPECT_EQ(want, back);
        }
    }
    // Narrowing between integer types checks the range too.
    var big, out;
    big.v.vt = VT_I8;
    big.v.llVal = 70000;
    EXPECT_EQ(DISP_E_OVERFLOW, VariantChangeType(&out.v, &big.v, 0, VT_I2));
    EXPECT_EQ(VT_EMPTY, out.v.vt);
    big.v.llVal = -1;
    EXPECT_EQ(DISP_E_OVERFLOW, VariantChangeType(&out.v, &big.v, 0, VT_UI4));
    EXPECT_EQ(S_OK, VariantChangeType(&out.v, &big.v, 0, VT_BOOL));
    EXPECT_EQ(VARIANT_TRUE, out.v.boolVal);
}

TEST(VariantChangeType, BankersRoundingFromFloatsTextAndCurrency)
{
    struct row {
        double in;
        int32_t want;
    } rows[] = {{0.5, 0}, {1.5, 2}, {2.5, 2}, {-0.5, 0}, {-1.5, -2}, {-2.5, -2}, {2.4999, 2}, {2.5001, 3}, {-2.6, -3}};
    for (const auto& r : rows) {
        int32_t out = 99;
        EXPECT_EQ(S_OK, VarI4FromR8(r.in, &out)) << r.in;
        EXPECT_EQ(r.want, out) << r.in;
    }
    int32_t i = 0;
    EXPECT_EQ(S_OK, VarI4FromStr(L"2.5", LOCALE_USER_DEFAULT, 0, &i));
    EXPECT_EQ(2, i);
    EXPECT_EQ(S_OK, VarI4FromStr(L"3.5", LOCALE_USER_DEFAULT, 0, &i));
    EXPECT_EQ(4, i);
    EXPECT_EQ(S_OK, VarI4FromStr(L"2.50000000000000000000001", LOCALE_USER_DEFAULT, 0, &i));
    EXPECT_EQ(3, i);
    CY cy;
    cy.int64 = 25000; // 2.5
    EXPECT_EQ(S_OK, VarI4FromCy(cy, &i));
    EXPECT_EQ(2, i);
    cy.int64 = -35000;
    EXPECT_EQ(S_OK, VarI4FromCy(cy, &i));
    EXPECT_EQ(-4, i);
    EXPECT_EQ(DISP_E_OVERFLOW, VarI4FromR8(std::nan(""), &i));
    EXPECT_EQ(DISP_E_OVERFLOW, VarI4FromR8(2147483647.5, &i)); // rounds to 2^31
    EXPECT_EQ(S_OK, VarI4FromR8(2147483646.5, &i));
    EXPECT_EQ(2147483646, i);
}

TEST(Currency, ScaledByTenThousandWithExtremesAndText)
{
    CY cy{};
    EXPECT_EQ(S_OK, VarCyFromStr(L"922337203685477.5807", LOCALE_USER_DEFAULT, 0, &cy));
    EXPECT_EQ(std::numeric_limits<int64_t>::max(), cy.int64);
    EXPECT_EQ(DISP_E_OVERFLOW, VarCyFromStr(L"922337203685477.5808", LOCALE_USER_DEFAULT, 0, &cy));
    EXPECT_EQ(S_OK, VarCyFromStr(L"-922337203685477.5808", LOCALE_USER_DEFAULT, 0, &cy));
    EXPECT_EQ(std::numeric_limits<int64_t>::min(), cy.int64);
    BSTR b = nullptr;
    EXPECT_EQ(S_OK, VarBstrFromCy(cy, LOCALE_USER_DEFAULT, 0, &b));
    EXPECT_EQ(L"-922337203685477.5808", text_of(b));
    EXPECT_EQ(S_OK, VarCyFromStr(L"1.00005", LOCALE_USER_DEFAULT, 0, &cy));
    EXPECT_EQ(10000, cy.int64); // half to even at the fourth decimal
    EXPECT_EQ(S_OK, VarCyFromStr(L"1.00015", LOCALE_USER_DEFAULT, 0, &cy));
    EXPECT_EQ(10002, cy.int64);
    cy.int64 = 76000;
    EXPECT_EQ(S_OK, VarBstrFromCy(cy, LOCALE_USER_DEFAULT, 0, &b));
    EXPECT_EQ(L"7.6", text_of(b));
    cy.int64 = 5; // 0.0005
    EXPECT_EQ(S_OK, VarBstrFromCy(cy, LOCALE_USER_DEFAULT, 0, &b));
    EXPECT_EQ(L"0.0005", text_of(b));
    EXPECT_EQ(S_OK, VarCyFromR8(7.6, &cy));
    EXPECT_EQ(76000, cy.int64);
    EXPECT_EQ(DISP_E_OVERFLOW, VarCyFromR8(1e15, &cy));
    int64_t i8 = 0;
    cy.int64 = -76000;
    EXPECT_EQ(S_OK, VarI8FromCy(cy, &i8));
    EXPECT_EQ(-8, i8);
    double d = 0;
    cy.int64 = 12345;
    EXPECT_EQ(S_OK, VarR8FromCy(cy, &d));
    EXPECT_DOUBLE_EQ(1.2345, d);
}

TEST(Decimal, ExactTextRoundTripsAndLimits)
{
    const wchar_t* texts[] = {L"79228162514264337593543950335", L"-79228162514264337593543950335",
                              L"0.0000000000000000000000000001", L"12.5", L"-0.5",
                              L"7.9228162514264337593543950335", L"123456789012345678.9012345678", L"0"};
    for (const wchar_t* t : texts)
        EXPECT_EQ(std::wstring(t), dec_text(dec_of(t))) << t;
    DECIMAL d{};
    EXPECT_EQ(DISP_E_OVERFLOW, VarDecFromStr(L"79228162514264337593543950336", LOCALE_USER_DEFAULT, 0, &d));
    EXPECT_EQ(DISP_E_TYPEMISMATCH, VarDecFromStr(L"12,5", LOCALE_USER_DEFAULT, 0, &d));
    // More digits than fit: rounded, not cut and not overflowed.
    d = dec_of(L"1.23456789012345678901234567895");
    EXPECT_EQ(L"1.234567890123456789012345679", dec_text(d));
    // Scale kept from the text; printed without trailing zeros.
    d = dec_of(L"12.50");
    EXPECT_EQ(2, d.scale);
    EXPECT_EQ(L"12.5", dec_text(d));
    // Conversions do not go through double.
    d = dec_of(L"9223372036854775807");
    int64_t i8 = 0;
    EXPECT_EQ(S_OK, VarI8FromDec(&d, &i8));
    EXPECT_EQ(std::numeric_limits<int64_t>::max(), i8);
    d = dec_of(L"9223372036854775808");
    EXPECT_EQ(DISP_E_OVERFLOW, VarI8FromDec(&d, &i8));
    uint64_t u8 = 0;
    EXPECT_EQ(S_OK, VarUI8FromDec(&d, &u8));
    EXPECT_EQ(9223372036854775808ull, u8);
    EXPECT_EQ(S_OK, VarDecFromUI8(std::numeric_limits<uint64_t>::max(), &d));
    EXPECT_EQ(L"18446744073709551615", dec_text(d));
    EXPECT_EQ(S_OK, VarDecFromI8(std::numeric_limits<int64_t>::min(), &d));
    EXPECT_EQ(L"-9223372036854775808", dec_text(d));
    EXPECT_EQ(S_OK, VarDecFromR8(0.1, &d));
    EXPECT_EQ(L"0.1", dec_text(d));
    EXPECT_EQ(DISP_E_OVERFLOW, VarDecFromR8(1e30, &d));
    CY cy;
    cy.int64 = -12345;
    EXPECT_EQ(S_OK, VarDecFromCy(cy, &d));
    EXPECT_EQ(L"-1.2345", dec_text(d));
    d = dec_of(L"2.5");
    int16_t i2 = 0;
    EXPECT_EQ(S_OK, VarI2FromDec(&d, &i2));
    EXPECT_EQ(2, i2);
    DECIMAL other = dec_of(L"2.50001");
    EXPECT_EQ(VARCMP_LT, VarDecCmp(&d, &other));
    other = dec_of(L"2.500");
    EXPECT_EQ(VARCMP_EQ, VarDecCmp(&d, &other));
    other = dec_of(L"-3");
    EXPECT_EQ(VARCMP_GT, VarDecCmp(&d, &other));
    // DECIMAL overlays the VARIANT: set the value, then the type.
    var v;
    v.v.decVal = dec_of(L"-12.5");
    v.v.vt = VT_DECIMAL;
    EXPECT_EQ(L"-12.5", to_text(&v.v));
}

TEST(Floats, TextUsesPointAndReadsBack)
{
    var v;
    v.v.vt = VT_R8;
    v.v.dblVal = 0.1;
    EXPECT_EQ(L"0.1", to_text(&v.v));
    v.v.dblVal = 1e20;
    EXPECT_EQ(L"1E+20", to_text(&v.v));
    v.v.dblVal = -1.5;
    EXPECT_EQ(L"-1.5", to_text(&v.v));
    v.v.vt = VT_R4;
    v.v.fltVal = 3.25f;
    EXPECT_EQ(L"3.25", to_text(&v.v));
    double d = 0;
    EXPECT_EQ(S_OK, VarR8FromStr(L"1.7976931348623157e308", LOCALE_USER_DEFAULT, 0, &d));
    EXPECT_EQ(std::numeric_limits<double>::max(), d);
    EXPECT_EQ(DISP_E_OVERFLOW, VarR8FromStr(L"1e309", LOCALE_USER_DEFAULT, 0, &d));
    EXPECT_EQ(S_OK, VarR8FromStr(L"1e-400", LOCALE_USER_DEFAULT, 0, &d));
    EXPECT_EQ(0.0, d);
    float f = 0;
    EXPECT_EQ(DISP_E_OVERFLOW, VarR4FromR8(1e39, &f));
    EXPECT_EQ(DISP_E_OVERFLOW, VarR4FromStr(L"1e39", LOCALE_USER_DEFAULT, 0, &f));
    EXPECT_EQ(S_OK, VarR4FromStr(L"0.1", LOCALE_USER_DEFAULT, 0, &f));
    EXPECT_EQ(0.1f, f);
    EXPECT_EQ(DISP_E_TYPEMISMATCH, VarR8FromStr(L"1,5", LOCALE_USER_DEFAULT, 0, &d));
}

TEST(VariantChangeType, BoolEmptyNullAndMismatches)
{
    var v, out;
    v.v.vt = VT_BOOL;
    v.v.boolVal = VARIANT_TRUE;
    EXPECT_EQ(L"-1", to_text(&v.v));
    ASSERT_EQ(S_OK, VariantChangeType(&out.v, &v.v, VARIANT_ALPHABOOL, VT_BSTR));
    EXPECT_EQ(std::wstring(L"True"), out.v.bstrVal);
    BSTR bt = nullptr;
    EXPECT_EQ(S_OK, VarBstrFromBool(VARIANT_FALSE, LOCALE_USER_DEFAULT, 0, &bt));
    EXPECT_EQ(L"False", text_of(bt));
    VARIANT_BOOL b = 0;
    EXPECT_EQ(S_OK, VarBoolFromStr(L" false ", LOCALE_USER_DEFAULT, 0, &b));
    EXPECT_EQ(VARIANT_FALSE, b);
    EXPECT_EQ(S_OK, VarBoolFromStr(L"TRUE", LOCALE_USER_DEFAULT, 0, &b));
    EXPECT_EQ(VARIANT_TRUE, b);
    EXPECT_EQ(S_OK, VarBoolFromStr(L"0.0", LOCALE_USER_DEFAULT, 0, &b));
    EXPECT_EQ(VARIANT_FALSE, b);
    EXPECT_EQ(DISP_E_TYPEMISMATCH, VarBoolFromStr(L"maybe", LOCALE_USER_DEFAULT, 0, &b));
    EXPECT_EQ(S_OK, VarBoolFromI8(1LL << 40, &b)); // not cut to the low bits
    EXPECT_EQ(VARIANT_TRUE, b);

    var empty;
    EXPECT_EQ(S_OK, VariantChangeType(&out.v, &empty.v, 0, VT_I4));
    EXPECT_EQ(VT_I4, out.v.vt);
    EXPECT_EQ(0, out.v.lVal);
    EXPECT_EQ(L"", to_text(&empty.v));
    var null;
    null.v.vt = VT_NULL;
    EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeType(&out.v, &null.v, 0, VT_I4));
    EXPECT_EQ(VT_I4, out.v.vt); // untouched on failure
    EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeType(&out.v, &null.v, 0, VT_BSTR));
    EXPECT_EQ(DISP_E_BADVARTYPE, VariantChangeType(&out.v, &v.v, 0, 15));
    // In place: the text is replaced by the number.
    ASSERT_EQ(S_OK, from_text(L"12", VT_BSTR, &out.v));
    ASSERT_EQ(S_OK, VariantChangeType(&out.v, &out.v, 0, VT_I2));
    EXPECT_EQ(VT_I2, out.v.vt);
    EXPECT_EQ(12, out.v.iVal);
}

TEST(Dates, CalendarFieldsAtTheEdges)
{
    struct row {
        DATE d;
        int y, m, day, h, mi, s, ms;
    } rows[] = {
        {0.0, 1899, 12, 30, 0, 0, 0, 0},
        {1.0, 1899, 12, 31, 0, 0, 0, 0},
        {2.0, 1900, 1, 1, 0, 0, 0, 0},
        {-1.25, 1899, 12, 29, 6, 0, 0, 0},
        {-1.75, 1899, 12, 29, 18, 0, 0, 0},
        {-0.5, 1899, 12, 30, 12, 0, 0, 0},
        {-657434.0, 100, 1, 1, 0, 0, 0, 0},
        {-657434.5, 100, 1, 1, 12, 0, 0, 0},
        {2958465.0, 9999, 12, 31, 0, 0, 0, 0},
        {60.0, 1900, 2, 28, 0, 0, 0, 0},
        {61.0, 1900, 3, 1, 0, 0, 0, 0},
        {44190.604166666664, 2020, 12, 25, 14, 30, 0, 0},
    };
    for (const auto& r : rows) {
        SYSTEMTIME st{};
        ASSERT_TRUE(VariantTimeToSystemTime(r.d, &st)) << r.d;
        EXPECT_EQ(r.y, st.wYear) << r.d;
        EXPECT_EQ(r.m, st.wMonth) << r.d;
        EXPECT_EQ(r.day, st.wDay) << r.d;
        EXPECT_EQ(r.h, st.wHour) << r.d;
        EXPECT_EQ(r.mi, st.wMinute) << r.d;
        EXPECT_EQ(r.s, st.wSecond) << r.d;
        EXPECT_EQ(r.ms, st.wMilliseconds) << r.d;
        DATE back = 0;
        ASSERT_TRUE(SystemTimeToVariantTime(&st, &back));
        // -0.5 and 0.5 are the same moment; the positive form is the one written back.
        EXPECT_NEAR(r.d == -0.5 ? 0.5 : r.d, back, 1e-9) << r.d;
    }
    SYSTEMTIME st{};
    EXPECT_FALSE(VariantTimeToSystemTime(-657435.0, &st));
    EXPECT_FALSE(VariantTimeToSystemTime(2958466.0, &st));
    st = {1899, 12, 0, 30, 0, 0, 0, 0};
    EXPECT_EQ(6, (VariantTimeToSystemTime(0.0, &st), st.wDayOfWeek)); // Saturday
    SYSTEMTIME bad[] = {{2021, 2, 0, 29, 0, 0, 0, 0}, {2020, 13, 0, 1, 0, 0, 0, 0}, {2020, 1, 0, 1, 24, 0, 0, 0},
                        {2020, 1, 0, 1, 0, 60, 0, 0}, {2020, 1, 0, 1, 0, 0, 60, 0}, {99, 12, 0, 31, 0, 0, 0, 0},
                        {2020, 1, 0, 1, 0, 0, 0, 1000}};
    for (const auto& b : bad) {
        DATE d;
        EXPECT_FALSE(SystemTimeToVariantTime(&b, &d)) << b.wYear << "-" << b.wMonth << "-" << b.wDay;
    }
}

TEST(Dates, MillisecondsAndMicrosecondsSurviveWithCarry)
{
    SYSTEMTIME st{2020, 12, 0, 25, 14, 30, 5, 0};
    DATE d = 0;
    ASSERT_TRUE(SystemTimeUsToVariantTime(&st, 123456, &d));
    SYSTEMTIME out{};
    int32_t us = 0;
    ASSERT_TRUE(VariantTimeToSystemTimeUs(d, &out, &us));
    EXPECT_EQ(123, out.wMilliseconds);
    EXPECT_NEAR(123456, us, 20); // a double near day 44190 resolves ~4 microseconds
    // Negative dates keep their time too.
    st = {1800, 1, 0, 1, 23, 59, 59, 999};
    ASSERT_TRUE(SystemTimeToVariantTime(&st, &d));
    EXPECT_LT(d, 0);
    ASSERT_TRUE(VariantTimeToSystemTime(d, &out));
    EXPECT_EQ(1800, out.wYear);
    EXPECT_EQ(1, out.wDay);
    EXPECT_EQ(23, out.wHour);
    EXPECT_EQ(999, out.wMilliseconds);
    // Half a millisecond before midnight rounds into the next day, month and year.
    ASSERT_TRUE(VariantTimeToSystemTime(44196.0 + (86400000.0 - 0.4) / 86400000.0, &out));
    EXPECT_EQ(2021, out.wYear);
    EXPECT_EQ(1, out.wMonth);
    EXPECT_EQ(1, out.wDay);
    EXPECT_EQ(0, out.wHour);
    // At the last day the time stays on that day.
    ASSERT_TRUE(VariantTimeToSystemTime(2958465.0 + (86400000.0 - 0.4) / 86400000.0, &out));
    EXPECT_EQ(9999, out.wYear);
    EXPECT_EQ(23, out.wHour);
}

TEST(Dates, TextBothWays)
{
    struct row {
        const wchar_t* text;
        const wchar_t* back;
    } rows[] = {
        {L"2020-12-25", L"2020-12-25"},
        {L"2020-12-25 14:30:05", L"2020-12-25 14:30:05"},
        {L"12/25/2020 2:30:05 PM", L"2020-12-25 14:30:05"},
        {L"25/12/2020", L"2020-12-25"},
        {L"25.12.2020 10:00", L"2020-12-25 10:00:00"},
        {L"Dec 25, 2020", L"2020-12-25"},
        {L"25 December 2020 12:00 AM", L"2020-12-25"},
        {L"10:05 PM", L"22:05:00"},
        {L"0100-01-01", L"0100-01-01"},
        {L"9999-12-31 23:59:59", L"9999-12-31 23:59:59"},
        {L"1899-12-29 06:00:00", L"1899-12-29 06:00:00"},
        {L"2020-12-25T10:00:00", L"2020-12-25 10:00:00"},
    };
    for (const auto& r : rows) {
        var v;
        ASSERT_EQ(S_OK, from_text(r.text, VT_DATE, &v.v)) << r.text;
        EXPECT_EQ(std::wstring(r.back), to_text(&v.v)) << r.text;
    }
    var v;
    EXPECT_EQ(S_OK, from_text(L"1899-12-29 06:00", VT_DATE, &v.v));
    EXPECT_DOUBLE_EQ(-1.25, v.v.date);
    const wchar_t* bad[] = {L"2021-02-29", L"13/13/2020", L"24:00", L"10:60", L"2020-12-25 xyz", L"tomorrow",
                            L"0099-12-31", L"10000-01-01", L"13:00 PM", L""};
    for (const wchar_t* b : bad) {
        var o;
        EXPECT_EQ(DISP_E_TYPEMISMATCH, from_text(b, VT_DATE, &o.v)) << b;
    }
    var n;
    n.v.vt = VT_R8;
    n.v.dblVal = 2958466.0;
    var o;
    EXPECT_EQ(DISP_E_OVERFLOW, VariantChangeType(&o.v, &n.v, 0, VT_DATE));
}

TEST(VariantChangeType, ByReferenceSourcesAreRead)
{
    int32_t i = 42;
    var r, out;
    r.v.vt = VT_BYREF | VT_I4;
    r.v.byref = &i;
    ASSERT_EQ(S_OK, VariantChangeType(&out.v, &r.v, 0, VT_BSTR));
    EXPECT_EQ(std::wstring(L"42"), out.v.bstrVal);
    BSTR text = SysAllocString(L"7");
    r.v.vt = VT_BYREF | VT_BSTR;
    r.v.byref = &text;
    ASSERT_EQ(S_OK, VariantChangeType(&out.v, &r.v, 0, VT_BSTR));
    EXPECT_NE(text, out.v.bstrVal); // a copy, the caller still owns its text
    ASSERT_EQ(S_OK, VariantChangeType(&out.v, &r.v, 0, VT_UI1));
    EXPECT_EQ(7, out.v.bVal);
    SysFreeString(text);
    r.v.vt = VT_EMPTY;
}

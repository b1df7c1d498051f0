// OLE Automation substitute: VariantChangeType and the Var*From* conversions.
#include "platform/com/oleauto.h"
#include "platform/com/oleauto_text.h"
#include "platform/win/win_utf.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <cwctype>
#include <limits>
#include <string>

using namespace oleauto_detail;

namespace {

using u128 = unsigned __int128;
using i128 = __int128;

constexpr u128 dec_max = (u128(1) << 96) - 1;

// A number read from text: value = digits * 10^exp10 (digits without leading zeros, "" for 0).
struct parsed_number {
    bool neg = false;
    std::string digits;
    long exp10 = 0;
};

// An exact value: mag / 10^scale, negative when neg.
struct exact {
    bool neg = false;
    u128 mag = 0;
    int scale = 0;
};

bool is_blank(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f' || c == 0xA0;
}

// Reads [blanks][sign](digits[.digits]|.digits)[(e|E)[sign]digits][blanks] and nothing else.
HRESULT parse_number(const wchar_t* s, size_t n, parsed_number* out)
{
    size_t i = 0;
    while (i < n && is_blank(s[i]))
        ++i;
    parsed_number p;
    if (i < n && (s[i] == L'+' || s[i] == L'-')) {
        p.neg = s[i] == L'-';
        ++i;
    }
    std::string all;
    long frac_digits = 0;
    bool any = false;
    while (i < n && s[i] >= L'0' && s[i] <= L'9') {
        all.push_back(static_cast<char>(s[i]));
        ++i;
        any = true;
    }
    if (i < n && s[i] == L'.') {
        ++i;
        while (i < n && s[i] >= L'0' && s[i] <= L'9') {
            all.push_back(static_cast<char>(s[i]));
            ++frac_digits;
            ++i;
            any = true;
        }
    }
    if (!any)
        return DISP_E_TYPEMISMATCH;
    long exp = 0;
    if (i < n && (s[i] == L'e' || s[i] == L'E')) {
        ++i;
        bool eneg = false;
        if (i < n && (s[i] == L'+' || s[i] == L'-')) {
            eneg = s[i] == L'-';
            ++i;
        }
        bool edig = false;
        while (i < n && s[i] >= L'0' && s[i] <= L'9') {
            if (exp < 100000)
                exp = exp * 10 + (s[i] - L'0');
            ++i;
            edig = true;
        }
        if (!edig)
            return DISP_E_TYPEMISMATCH;
        if (eneg)
            exp = -exp;
    }
    while (i < n && is_blank(s[i]))
        ++i;
    if (i != n)
        return DISP_E_TYPEMISMATCH;
    size_t lead = all.find_first_not_of('0');
    p.digits = lead == std::string::npos ? std::string() : all.substr(lead);
    p.exp10 = exp - frac_digits;
    *out = std::move(p);
    return S_OK;
}

// Rounds a parsed number half to even at `scale` decimals: result = round(value * 10^scale).
// False when the magnitude exceeds limit.
bool round_to_scale(const parsed_number& p, int scale, u128 limit, u128* out)
{
    const std::string& d = p.digits;
    if (d.empty()) {
        *out = 0;
        return true;
    }
    long n = static_cast<long>(d.size());
    long shift = p.exp10 + scale;
    long keep = shift >= 0 ? n : n + shift;
    if (keep > 39 || (shift > 0 && n + shift > 39))
        return false;
    u128 v = 0;
    for (long i = 0; i < keep; ++i)
        v = v * 10 + static_cast<unsigned>(d[i] - '0');
    if (shift > 0) {
        for (long i = 0; i < shift; ++i) {
            if (v > (~u128(0)) / 10)
                return false;
            v *= 10;
        }
    } else if (keep < n) {
        bool up = false;
        if (keep >= 0) {
            char first = d[keep];
            if (first > '5')
                up = true;
            else if (first == '5') {
                bool rest = d.find_first_not_of('0', keep + 1) != std::string::npos;
                up = rest || (v & 1);
            }
        }
        if (up)
            ++v;
    }
    if (v > limit)
        return false;
    *out = v;
    return true;
}

u128 pow10(int n)
{
    u128 v = 1;
    for (int i = 0; i < n; ++i)
        v *= 10;
    return v;
}

// Divides by 10^k rounding half to even.
u128 div_round_even(u128 v, int k)
{
    if (k <= 0)
        return v;
    if (k > 38)
        return 0;
    u128 p = pow10(k);
    u128 q = v / p, r = v % p;
    u128 half = p / 2;
    if (r > half || (r == half && (q & 1)))
        ++q;
    return q;
}

// Rescales an exact value; false when it no longer fits in limit.
bool exact_to_scale(const exact& e, int scale, u128 limit, u128* out)
{
    u128 v;
    if (scale >= e.scale) {
        v = e.mag;
        for (int i = e.scale; i < scale; ++i) {
            if (v > limit / 10)
                return false;
            v *= 10;
        }
    } else {
        v = div_round_even(e.mag, e.scale - scale);
    }
    if (v > limit)
        return false;
    *out = v;
    return true;
}

std::string u128_digits(u128 v)
{
    if (v == 0)
        return "0";
    std::string s;
    while (v) {
        s.push_back(static_cast<char>('0' + int(v % 10)));
        v /= 10;
    }
    return std::string(s.rbegin(), s.rend());
}

// "-123.45" without trailing fraction zeros.
std::string exact_text(const exact& e)
{
    std::string digits = u128_digits(e.mag);
    std::string out;
    if (e.scale > 0) {
        if (static_cast<int>(digits.size()) <= e.scale)
            digits.insert(0, static_cast<size_t>(e.scale) + 1 - digits.size(), '0');
        std::string ip = digits.substr(0, digits.size() - e.scale);
        std::string fp = digits.substr(digits.size() - e.scale);
        while (!fp.empty() && fp.back() == '0')
            fp.pop_back();
        out = fp.empty() ? ip : ip + "." + fp;
    } else {
        out = digits;
    }
    if (e.neg && e.mag != 0)
        out.insert(0, "-");
    return out;
}

std::wstring widen(const std::string& s)
{
    return win_wide_from_utf8(s);
}

// Correctly rounded double of an exact value.
double exact_to_double(const exact& e)
{
    std::string s = u128_digits(e.mag) + "e-" + std::to_string(e.scale);
    double d = 0;
    std::from_chars(s.data(), s.data() + s.size(), d);
    return e.neg ? -d : d;
}

// Double (or float) of a parsed number; false on overflow.
template <class F>
bool parsed_to_float(const parsed_number& p, F* out)
{
    if (p.digits.empty()) {
        *out = p.neg ? -F(0) : F(0);
        return true;
    }
    std::string s = p.digits + "e" + std::to_string(p.exp10);
    F v = 0;
    auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    if (r.ec == std::errc::result_out_of_range) {
        long lead = static_cast<long>(p.digits.size()) + p.exp10;
        if (lead > 0)
            return false;
        v = 0;
    } else if (r.ec != std::errc()) {
        return false;
    }
    if (!std::isfinite(v))
        return false;
    *out = p.neg ? -v : v;
    return true;
}

// Banker's rounding of a double to an integer; false when it is not finite or too large.
bool double_to_int(double x, i128* out)
{
    if (!std::isfinite(x) || std::fabs(x) >= 1.0e36)
        return false;
    double t = std::trunc(x);
    double diff = x - t;
    double r = t;
    if (std::fabs(diff) > 0.5)
        r = t + (x > 0 ? 1 : -1);
    else if (std::fabs(diff) == 0.5)
        r = std::fmod(t, 2.0) == 0 ? t : t + (x > 0 ? 1 : -1);
    *out = static_cast<i128>(r);
    return true;
}

// Exact value of a double: 15 significant digits (7 for floats), trailing zeros dropped.
HRESULT double_to_exact(double x, int sig, exact* out)
{
    if (!std::isfinite(x))
        return DISP_E_OVERFLOW;
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof(buf), x, std::chars_format::scientific, sig - 1);
    std::wstring w(buf, r.ptr);
    parsed_number p;
    HRESULT hr = parse_number(w.c_str(), w.size(), &p);
    if (FAILED(hr))
        return hr;
    int scale = p.exp10 < 0 ? static_cast<int>(std::min<long>(-p.exp10, DECIMAL_MAX_SCALE)) : 0;
    u128 mag;
    for (;;) {
        if (round_to_scale(p, scale, dec_max, &mag))
            break;
        if (scale == 0)
            return DISP_E_OVERFLOW;
        --scale;
    }
    while (scale > 0 && mag % 10 == 0) {
        mag /= 10;
        --scale;
    }
    out->neg = p.neg && mag != 0;
    out->mag = mag;
    out->scale = scale;
    return S_OK;
}

// Exact DECIMAL of a parsed number: the text's own scale, rounded to fit.
HRESULT parsed_to_exact(const parsed_number& p, exact* out)
{
    int scale = p.exp10 < 0 ? static_cast<int>(std::min<long>(-p.exp10, DECIMAL_MAX_SCALE)) : 0;
    u128 mag;
    for (;;) {
        if (round_to_scale(p, scale, dec_max, &mag))
            break;
        if (scale == 0)
            return DISP_E_OVERFLOW;
        --scale;
    }
    out->neg = p.neg && mag != 0;
    out->mag = mag;
    out->scale = scale;
    return S_OK;
}

std::wstring format_double(double x, int sig)
{
    if (x == 0)
        return L"0";
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof(buf), x, std::chars_format::general, sig);
    std::string s(buf, r.ptr);
    for (char& c : s)
        if (c == 'e')
            c = 'E';
    return widen(s);
}

std::wstring format_float(float x)
{
    if (x == 0)
        return L"0";
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof(buf), x, std::chars_format::general, 7);
    std::string s(buf, r.ptr);
    for (char& c : s)
        if (c == 'e')
            c = 'E';
    return widen(s);
}

bool equal_word(const std::wstring& a, const wchar_t* b)
{
    size_t n = std::wcslen(b);
    if (a.size() != n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (std::towlower(static_cast<wint_t>(a[i])) != static_cast<wint_t>(b[i]))
            return false;
    return true;
}

std::wstring trimmed(const wchar_t* s, size_t n)
{
    size_t b = 0, e = n;
    while (b < e && is_blank(s[b]))
        ++b;
    while (e > b && is_blank(s[e - 1]))
        --e;
    return std::wstring(s + b, e - b);
}

// Marks flags that came through VariantChangeType, whose bits mean other things than the
// date-text flags of VarBstrFromDate.
constexpr ULONG from_change_type = 0x80000000u;

// The source value, sorted into the few shapes the conversions work from.
struct source {
    enum kind_t { none, exact_k, double_k, text_k } kind = none;
    exact ex;
    double dbl = 0;
    bool is_float = false; // VT_R4: 7 significant digits
    bool is_date = false;
    bool is_bool = false;
    const wchar_t* text = nullptr;
    size_t text_len = 0;
};

exact exact_of_signed(int64_t v)
{
    exact e;
    e.neg = v < 0;
    e.mag = v < 0 ? u128(-(i128(v))) : u128(v);
    return e;
}

exact exact_of_unsigned(uint64_t v)
{
    exact e;
    e.mag = v;
    return e;
}

HRESULT read_source(const VARIANT* v, source* s)
{
    switch (v->vt) {
    case VT_EMPTY: s->kind = source::exact_k; return S_OK;
    case VT_I1: s->kind = source::exact_k; s->ex = exact_of_signed(static_cast<signed char>(v->cVal)); return S_OK;
    case VT_UI1: s->kind = source::exact_k; s->ex = exact_of_unsigned(v->bVal); return S_OK;
    case VT_I2: s->kind = source::exact_k; s->ex = exact_of_signed(v->iVal); return S_OK;
    case VT_UI2: s->kind = source::exact_k; s->ex = exact_of_unsigned(v->uiVal); return S_OK;
    case VT_I4: s->kind = source::exact_k; s->ex = exact_of_signed(v->lVal); return S_OK;
    case VT_INT: s->kind = source::exact_k; s->ex = exact_of_signed(v->intVal); return S_OK;
    case VT_UI4: s->kind = source::exact_k; s->ex = exact_of_unsigned(v->ulVal); return S_OK;
    case VT_UINT: s->kind = source::exact_k; s->ex = exact_of_unsigned(v->uintVal); return S_OK;
    case VT_I8: s->kind = source::exact_k; s->ex = exact_of_signed(v->llVal); return S_OK;
    case VT_UI8: s->kind = source::exact_k; s->ex = exact_of_unsigned(v->ullVal); return S_OK;
    case VT_BOOL: s->kind = source::exact_k; s->ex = exact_of_signed(v->boolVal); s->is_bool = true; return S_OK;
    case VT_CY: s->kind = source::exact_k; s->ex = exact_of_signed(v->cyVal.int64); s->ex.scale = 4; return S_OK;
    case VT_DECIMAL:
        if (v->decVal.scale > DECIMAL_MAX_SCALE || (v->decVal.sign & ~DECIMAL_NEG))
            return E_INVALIDARG;
        s->kind = source::exact_k;
        s->ex.mag = (u128(v->decVal.Hi32) << 64) | v->decVal.Lo64;
        s->ex.neg = (v->decVal.sign & DECIMAL_NEG) && s->ex.mag != 0;
        s->ex.scale = v->decVal.scale;
        return S_OK;
    case VT_R4: s->kind = source::double_k; s->dbl = v->fltVal; s->is_float = true; return S_OK;
    case VT_R8: s->kind = source::double_k; s->dbl = v->dblVal; return S_OK;
    case VT_DATE: s->kind = source::double_k; s->dbl = v->date; s->is_date = true; return S_OK;
    case VT_BSTR:
        s->kind = source::text_k;
        s->text = v->bstrVal ? v->bstrVal : L"";
        s->text_len = SysStringLen(v->bstrVal);
        return S_OK;
    case VT_NULL:
    case VT_ERROR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
        return DISP_E_TYPEMISMATCH;
    default:
        if ((v->vt & VT_ARRAY) || v->vt == VT_BLOB || v->vt == VT_BLOB_OBJECT || (v->vt & VT_BYREF))
            return DISP_E_TYPEMISMATCH;
        return DISP_E_BADVARTYPE;
    }
}

// The value times 10^scale, rounded half to even, into [lo, hi]: scale 0 for the integer
// targets, 4 for currency.
HRESULT to_scaled(const source& s, int scale, i128 lo, i128 hi, i128* out)
{
    i128 v = 0;
    switch (s.kind) {
    case source::exact_k: {
        u128 m;
        if (!exact_to_scale(s.ex, scale, u128(1) << 100, &m))
            return DISP_E_OVERFLOW;
        v = s.ex.neg ? -i128(m) : i128(m);
        break;
    }
    case source::double_k:
        if (!double_to_int(scale == 0 ? s.dbl : s.dbl * 10000.0, &v))
            return DISP_E_OVERFLOW;
        break;
    case source::text_k: {
        parsed_number p;
        HRESULT hr = parse_number(s.text, s.text_len, &p);
        if (FAILED(hr))
            return hr;
        u128 m;
        if (!round_to_scale(p, scale, u128(1) << 100, &m))
            return DISP_E_OVERFLOW;
        v = p.neg ? -i128(m) : i128(m);
        break;
    }
    default:
        return DISP_E_TYPEMISMATCH;
    }
    if (v < lo || v > hi)
        return DISP_E_OVERFLOW;
    *out = v;
    return S_OK;
}

// Integer targets: the value rounded half to even into [lo, hi].
HRESULT to_integer(const source& s, i128 lo, i128 hi, i128* out)
{
    return to_scaled(s, 0, lo, hi, out);
}

HRESULT to_cy(const source& s, int64_t* out)
{
    i128 v = 0;
    const HRESULT hr = to_scaled(s, 4, std::numeric_limits<int64_t>::min(),
                                 std::numeric_limits<int64_t>::max(), &v);
    if (SUCCEEDED(hr))
        *out = static_cast<int64_t>(v);
    return hr;
}

HRESULT to_exact(const source& s, exact* out)
{
    switch (s.kind) {
    case source::exact_k:
        if (s.ex.mag > dec_max)
            return DISP_E_OVERFLOW;
        *out = s.ex;
        return S_OK;
    case source::double_k:
        return double_to_exact(s.dbl, s.is_float ? 7 : 15, out);
    case source::text_k: {
        parsed_number p;
        HRESULT hr = parse_number(s.text, s.text_len, &p);
        if (FAILED(hr))
            return hr;
        return parsed_to_exact(p, out);
    }
    default:
        return DISP_E_TYPEMISMATCH;
    }
}

HRESULT to_double(const source& s, double* out)
{
    switch (s.kind) {
    case source::exact_k:
        *out = exact_to_double(s.ex);
        return S_OK;
    case source::double_k:
        *out = s.dbl;
        return S_OK;
    case source::text_k: {
        parsed_number p;
        HRESULT hr = parse_number(s.text, s.text_len, &p);
        if (FAILED(hr))
            return hr;
        return parsed_to_float(p, out) ? S_OK : DISP_E_OVERFLOW;
    }
    default:
        return DISP_E_TYPEMISMATCH;
    }
}

HRESULT to_float(const source& s, float* out)
{
    if (s.kind == source::text_k) {
        parsed_number p;
        HRESULT hr = parse_number(s.text, s.text_len, &p);
        if (FAILED(hr))
            return hr;
        return parsed_to_float(p, out) ? S_OK : DISP_E_OVERFLOW;
    }
    if (s.kind == source::exact_k) {
        std::string t = u128_digits(s.ex.mag) + "e-" + std::to_string(s.ex.scale);
        float f = 0;
        auto r = std::from_chars(t.data(), t.data() + t.size(), f);
        if (r.ec == std::errc::result_out_of_range && s.ex.mag != 0 &&
            static_cast<long>(u128_digits(s.ex.mag).size()) - s.ex.scale > 0)
            return DISP_E_OVERFLOW;
        *out = s.ex.neg ? -f : f;
        return S_OK;
    }
    double d;
    HRESULT hr = to_double(s, &d);
    if (FAILED(hr))
        return hr;
    if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max())
        return DISP_E_OVERFLOW;
    *out = static_cast<float>(d);
    return S_OK;
}

HRESULT to_bool(const source& s, VARIANT_BOOL* out)
{
    if (s.kind == source::text_k) {
        std::wstring t = trimmed(s.text, s.text_len);
        if (equal_word(t, L"true")) {
            *out = VARIANT_TRUE;
            return S_OK;
        }
        if (equal_word(t, L"false")) {
            *out = VARIANT_FALSE;
            return S_OK;
        }
        double d;
        HRESULT hr = to_double(s, &d);
        if (hr == DISP_E_OVERFLOW) {
            *out = VARIANT_TRUE;
            return S_OK;
        }
        if (FAILED(hr))
            return hr;
        *out = d != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    if (s.kind == source::exact_k) {
        *out = s.ex.mag != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    if (s.kind == source::double_k) {
        *out = s.dbl != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    return DISP_E_TYPEMISMATCH;
}

HRESULT to_date(const source& s, DATE* out)
{
    double d;
    if (s.kind == source::text_k) {
        std::wstring t(s.text, s.text_len);
        return date_from_text(t, out);
    }
    HRESULT hr = to_double(s, &d);
    if (FAILED(hr))
        return hr;
    if (!date_in_range(d))
        return DISP_E_OVERFLOW;
    *out = d;
    return S_OK;
}

HRESULT to_text(const VARIANT* v, const source& s, ULONG flags, std::wstring* out)
{
    if (v->vt == VT_EMPTY) {
        out->clear();
        return S_OK;
    }
    if (s.is_bool && (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL))) {
        *out = v->boolVal ? L"True" : L"False";
        return S_OK;
    }
    switch (s.kind) {
    case source::exact_k:
        *out = widen(exact_text(s.ex));
        return S_OK;
    case source::double_k:
        if (s.is_date)
            return date_to_text(s.dbl, (flags & from_change_type) ? 0 : flags, out);
        *out = s.is_float ? format_float(static_cast<float>(s.dbl)) : format_double(s.dbl, 15);
        return S_OK;
    case source::text_k:
        out->assign(s.text, s.text_len);
        return S_OK;
    default:
        return DISP_E_TYPEMISMATCH;
    }
}

void store_exact(const exact& e, DECIMAL* d)
{
    d->wReserved = 0;
    d->scale = static_cast<uint8_t>(e.scale);
    d->sign = (e.neg && e.mag != 0) ? DECIMAL_NEG : 0;
    d->Hi32 = static_cast<uint32_t>(e.mag >> 64);
    d->Lo64 = static_cast<uint64_t>(e.mag);
}

bool is_integer_type(VARTYPE vt, i128* lo, i128* hi)
{
    switch (vt) {
    case VT_I1: *lo = INT8_MIN; *hi = INT8_MAX; return true;
    case VT_UI1: *lo = 0; *hi = UINT8_MAX; return true;
    case VT_I2: *lo = INT16_MIN; *hi = INT16_MAX; return true;
    case VT_UI2: *lo = 0; *hi = UINT16_MAX; return true;
    case VT_I4:
    case VT_INT: *lo = INT32_MIN; *hi = INT32_MAX; return true;
    case VT_UI4:
    case VT_UINT: *lo = 0; *hi = UINT32_MAX; return true;
    case VT_I8: *lo = INT64_MIN; *hi = INT64_MAX; return true;
    case VT_UI8: *lo = 0; *hi = UINT64_MAX; return true;
    default: return false;
    }
}

void store_integer(VARTYPE vt, i128 v, VARIANT* r)
{
    switch (vt) {
    case VT_I1: r->cVal = static_cast<char>(static_cast<int8_t>(v)); break;
    case VT_UI1: r->bVal = static_cast<uint8_t>(v); break;
    case VT_I2: r->iVal = static_cast<int16_t>(v); break;
    case VT_UI2: r->uiVal = static_cast<uint16_t>(v); break;
    case VT_I4: r->lVal = static_cast<int32_t>(v); break;
    case VT_INT: r->intVal = static_cast<int32_t>(v); break;
    case VT_UI4: r->ulVal = static_cast<uint32_t>(v); break;
    case VT_UINT: r->uintVal = static_cast<uint32_t>(v); break;
    case VT_I8: r->llVal = static_cast<int64_t>(v); break;
    case VT_UI8: r->ullVal = static_cast<uint64_t>(v); break;
    default: break;
    }
}

bool is_known_type(VARTYPE vt)
{
    if (vt & VT_BYREF)
        return false;
    if (vt & VT_ARRAY)
        return (vt & ~VT_ARRAY) <= VT_UINT;
    return vt <= VT_UINT && vt != 15;
}

// The conversion proper; r is an initialised VARIANT that receives the result.
HRESULT convert(const VARIANT* src, VARTYPE vt, ULONG flags, VARIANT* r)
{
    if (vt == VT_NULL)
        return src->vt == VT_NULL ? S_OK : DISP_E_TYPEMISMATCH;
    if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        if (src->vt != VT_UNKNOWN && src->vt != VT_DISPATCH)
            return DISP_E_TYPEMISMATCH;
        if (!src->punkVal) {
            r->punkVal = nullptr;
        } else {
            void* p = nullptr;
            HRESULT hr = src->punkVal->QueryInterface(vt == VT_UNKNOWN ? IID_IUnknown : IID_IDispatch, &p);
            if (FAILED(hr))
                return DISP_E_TYPEMISMATCH;
            r->punkVal = static_cast<IUnknown*>(p);
        }
        r->vt = vt;
        return S_OK;
    }
    if (!is_known_type(vt))
        return DISP_E_BADVARTYPE;
    source s;
    HRESULT hr = read_source(src, &s);
    if (FAILED(hr))
        return hr;
    i128 lo, hi;
    if (is_integer_type(vt, &lo, &hi)) {
        i128 v;
        hr = to_integer(s, lo, hi, &v);
        if (FAILED(hr))
            return hr;
        store_integer(vt, v, r);
        r->vt = vt;
        return S_OK;
    }
    switch (vt) {
    case VT_R4:
        hr = to_float(s, &r->fltVal);
        break;
    case VT_R8:
        hr = to_double(s, &r->dblVal);
        break;
    case VT_CY:
        hr = to_cy(s, &r->cyVal.int64);
        break;
    case VT_DATE:
        hr = to_date(s, &r->date);
        break;
    case VT_BOOL:
        hr = to_bool(s, &r->boolVal);
        break;
    case VT_DECIMAL: {
        exact e;
        hr = to_exact(s, &e);
        if (SUCCEEDED(hr))
            store_exact(e, &r->decVal);
        break;
    }
    case VT_BSTR: {
        std::wstring t;
        hr = to_text(src, s, flags, &t);
        if (SUCCEEDED(hr)) {
            r->bstrVal = SysAllocStringLen(t.data(), static_cast<unsigned int>(t.size()));
            if (!r->bstrVal)
                hr = E_OUTOFMEMORY;
        }
        break;
    }
    default:
        hr = DISP_E_TYPEMISMATCH;
        break;
    }
    if (SUCCEEDED(hr))
        r->vt = vt;
    return hr;
}

} // namespace

namespace {

// The value a VT_BYREF variant points at, as a plain variant that borrows any text or array.
HRESULT deref(const VARIANT* src, VARIANT* out)
{
    VariantInit(out);
    VARTYPE base = src->vt & ~VT_BYREF;
    if (!src->byref)
        return E_INVALIDARG;
    if (base == VT_VARIANT) {
        const VARIANT* inner = static_cast<const VARIANT*>(src->byref);
        if (inner->vt & VT_BYREF)
            return DISP_E_TYPEMISMATCH;
        std::memcpy(static_cast<void*>(out), inner, sizeof(VARIANT));
        return S_OK;
    }
    size_t size = 0;
    switch (base) {
    case VT_I1: case VT_UI1: size = 1; break;
    case VT_I2: case VT_UI2: case VT_BOOL: size = 2; break;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR: size = 4; break;
    case VT_I8: case VT_UI8: case VT_R8: case VT_CY: case VT_DATE: size = 8; break;
    case VT_BSTR: case VT_UNKNOWN: case VT_DISPATCH: size = sizeof(void*); break;
    case VT_DECIMAL:
        out->decVal = *static_cast<const DECIMAL*>(src->byref);
        out->vt = VT_DECIMAL;
        return S_OK;
    default:
        return DISP_E_TYPEMISMATCH;
    }
    std::memcpy(&out->llVal, src->byref, size);
    out->vt = base;
    return S_OK;
}

} // namespace

HRESULT VariantChangeTypeEx(VARIANT* dest, const VARIANT* src, LCID lcid, uint16_t flags, VARTYPE vt)
{
    if (!dest || !src)
        return E_INVALIDARG;
    if ((src->vt & VT_BYREF) && !(vt & VT_BYREF)) {
        VARIANT plain;
        HRESULT hr = deref(src, &plain);
        if (FAILED(hr))
            return hr;
        if (plain.vt == vt) {
            // Same type: a deep copy, so dest owns its own text or array.
            VARIANT copy;
            VariantInit(&copy);
            hr = VariantCopy(&copy, &plain);
            if (FAILED(hr))
                return hr;
            VariantClear(dest);
            std::memcpy(static_cast<void*>(dest), &copy, sizeof(VARIANT));
            return S_OK;
        }
        return VariantChangeTypeEx(dest, &plain, lcid, flags, vt);
    }
    if (vt == src->vt)
        return dest == src ? S_OK : VariantCopy(dest, src);
    if (vt == VT_EMPTY)
        return VariantClear(dest);
    VARIANT r;
    VariantInit(&r);
    HRESULT hr = convert(src, vt, flags | from_change_type, &r);
    if (FAILED(hr)) {
        VariantClear(&r);
        return hr;
    }
    hr = VariantClear(dest);
    if (FAILED(hr)) {
        VariantClear(&r);
        return hr;
    }
    std::memcpy(static_cast<void*>(dest), &r, sizeof(VARIANT));
    return S_OK;
}

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, uint16_t flags, VARTYPE vt)
{
    return VariantChangeTypeEx(dest, src, LOCALE_USER_DEFAULT, flags, vt);
}

// ---------------------------------------------------------------------------
// Var<To>From<From>: each wraps its input in a VARIANT and converts it.

namespace {

inline void put_I1(VARIANT& v, char x) { v.vt = VT_I1; v.cVal = x; }
inline void put_UI1(VARIANT& v, uint8_t x) { v.vt = VT_UI1; v.bVal = x; }
inline void put_I2(VARIANT& v, int16_t x) { v.vt = VT_I2; v.iVal = x; }
inline void put_UI2(VARIANT& v, uint16_t x) { v.vt = VT_UI2; v.uiVal = x; }
inline void put_I4(VARIANT& v, int32_t x) { v.vt = VT_I4; v.lVal = x; }
inline void put_UI4(VARIANT& v, uint32_t x) { v.vt = VT_UI4; v.ulVal = x; }
inline void put_I8(VARIANT& v, int64_t x) { v.vt = VT_I8; v.llVal = x; }
inline void put_UI8(VARIANT& v, uint64_t x) { v.vt = VT_UI8; v.ullVal = x; }
inline void put_R4(VARIANT& v, float x) { v.vt = VT_R4; v.fltVal = x; }
inline void put_R8(VARIANT& v, double x) { v.vt = VT_R8; v.dblVal = x; }
inline void put_Cy(VARIANT& v, CY x) { v.vt = VT_CY; v.cyVal = x; }
inline void put_Date(VARIANT& v, DATE x) { v.vt = VT_DATE; v.date = x; }
inline void put_Bool(VARIANT& v, VARIANT_BOOL x) { v.vt = VT_BOOL; v.boolVal = x; }

inline void get_I1(const VARIANT& v, char* x) { *x = v.cVal; }
inline void get_UI1(const VARIANT& v, uint8_t* x) { *x = v.bVal; }
inline void get_I2(const VARIANT& v, int16_t* x) { *x = v.iVal; }
inline void get_UI2(const VARIANT& v, uint16_t* x) { *x = v.uiVal; }
inline void get_I4(const VARIANT& v, int32_t* x) { *x = v.lVal; }
inline void get_UI4(const VARIANT& v, uint32_t* x) { *x = v.ulVal; }
inline void get_I8(const VARIANT& v, int64_t* x) { *x = v.llVal; }
inline void get_UI8(const VARIANT& v, uint64_t* x) { *x = v.ullVal; }
inline void get_R4(const VARIANT& v, float* x) { *x = v.fltVal; }
inline void get_R8(const VARIANT& v, double* x) { *x = v.dblVal; }
inline void get_Cy(const VARIANT& v, CY* x) { *x = v.cyVal; }
inline void get_Date(const VARIANT& v, DATE* x) { *x = v.date; }
inline void get_Bool(const VARIANT& v, VARIANT_BOOL* x) { *x = v.boolVal; }

constexpr VARTYPE vt_I1 = VT_I1, vt_UI1 = VT_UI1, vt_I2 = VT_I2, vt_UI2 = VT_UI2, vt_I4 = VT_I4,
                  vt_UI4 = VT_UI4, vt_I8 = VT_I8, vt_UI8 = VT_UI8, vt_R4 = VT_R4, vt_R8 = VT_R8,
                  vt_Cy = VT_CY, vt_Date = VT_DATE, vt_Bool = VT_BOOL;

// Converts `in` to type vt; on success *res holds the result (caller clears it).
HRESULT var_convert(const VARIANT& in, VARTYPE vt, ULONG flags, VARIANT* res)
{
    VariantInit(res);
    if (in.vt == vt) {
        std::memcpy(static_cast<void*>(res), &in, sizeof(VARIANT));
        return S_OK;
    }
    return convert(&in, vt, flags, res);
}

// A BSTR source without copying the text: the wrapper's length is the text's.
struct text_arg {
    VARIANT v;
    BSTR b = nullptr;
    explicit text_arg(LPCOLESTR s)
    {
        VariantInit(&v);
        b = SysAllocString(s ? s : L"");
        v.vt = VT_BSTR;
        v.bstrVal = b;
    }
    ~text_arg() { SysFreeString(b); }
    text_arg(const text_arg&) = delete;
    text_arg& operator=(const text_arg&) = delete;
};

} // namespace

#define OLEAUTO_DEF_PAIR(To, ToT, Src, SrcT)                                                      \
    HRESULT Var##To##From##Src(SrcT in, ToT* out)                                                 \
    {                                                                                             \
        if (!out)                                                                                 \
            return E_INVALIDARG;                                                                  \
        VARIANT a, r;                                                                             \
        VariantInit(&a);                                                                          \
        put_##Src(a, in);                                                                         \
        HRESULT hr = var_convert(a, vt_##To, 0, &r);                                              \
        if (SUCCEEDED(hr))                                                                        \
            get_##To(r, out);                                                                     \
        return hr;                                                                                \
    }

#define OLEAUTO_DEF_FROM(To, ToT)                                                                 \
    OLEAUTO_SCALARS2(OLEAUTO_DEF_PAIR_##To)                                                       \
    HRESULT Var##To##FromStr(LPCOLESTR in, LCID, ULONG flags, ToT* out)                           \
    {                                                                                             \
        if (!in || !out)                                                                          \
            return E_INVALIDARG;                                                                  \
        text_arg a(in);                                                                           \
        if (!a.b)                                                                                 \
            return E_OUTOFMEMORY;                                                                 \
        VARIANT r;                                                                                \
        HRESULT hr = var_convert(a.v, vt_##To, flags, &r);                                        \
        if (SUCCEEDED(hr))                                                                        \
            get_##To(r, out);                                                                     \
        return hr;                                                                                \
    }                                                                                             \
    HRESULT Var##To##FromDec(const DECIMAL* in, ToT* out)                                         \
    {                                                                                             \
        if (!in || !out)                                                                          \
            return E_INVALIDARG;                                                                  \
        VARIANT a, r;                                                                             \
        VariantInit(&a);                                                                          \
        a.decVal = *in;                                                                           \
        a.vt = VT_DECIMAL;                                                                        \
        HRESULT hr = var_convert(a, vt_##To, 0, &r);                                              \
        if (SUCCEEDED(hr))                                                                        \
            get_##To(r, out);                                                                     \
        return hr;                                                                                \
    }                                                                                             \
    HRESULT VarBstrFrom##To(ToT in, LCID, ULONG flags, BSTR* out)                                 \
    {                                                                                             \
        if (!out)                                                                                 \
            return E_INVALIDARG;                                                                  \
        VARIANT a, r;                                                                             \
        VariantInit(&a);                                                                          \
        put_##To(a, in);                                                                          \
        /* VarBstrFromBool always spells the value out; VariantChangeType prints -1/0. */         \
        HRESULT hr = var_convert(a, VT_BSTR, vt_##To == VT_BOOL ? VARIANT_ALPHABOOL : flags, &r); \
        if (SUCCEEDED(hr))                                                                        \
            *out = r.bstrVal;                                                                     \
        return hr;                                                                                \
    }                                                                                             \
    HRESULT VarDecFrom##To(ToT in, DECIMAL* out)                                                  \
    {                                                                                             \
        if (!out)                                                                                 \
            return E_INVALIDARG;                                                                  \
        VARIANT a, r;                                                                             \
        VariantInit(&a);                                                                          \
        put_##To(a, in);                                                                          \
        HRESULT hr = var_convert(a, VT_DECIMAL, 0, &r);                                           \
        if (SUCCEEDED(hr))                                                                        \
            *out = r.decVal;                                                                      \
        return hr;                                                                                \
    }

#define OLEAUTO_DEF_PAIR_I1(From, FromT) OLEAUTO_DEF_PAIR(I1, char, From, FromT)
#define OLEAUTO_DEF_PAIR_UI1(From, FromT) OLEAUTO_DEF_PAIR(UI1, uint8_t, From, FromT)
#define OLEAUTO_DEF_PAIR_I2(From, FromT) OLEAUTO_DEF_PAIR(I2, int16_t, From, FromT)
#define OLEAUTO_DEF_PAIR_UI2(From, FromT) OLEAUTO_DEF_PAIR(UI2, uint16_t, From, FromT)
#define OLEAUTO_DEF_PAIR_I4(From, FromT) OLEAUTO_DEF_PAIR(I4, int32_t, From, FromT)
#define OLEAUTO_DEF_PAIR_UI4(From, FromT) OLEAUTO_DEF_PAIR(UI4, uint32_t, From, FromT)
#define OLEAUTO_DEF_PAIR_I8(From, FromT) OLEAUTO_DEF_PAIR(I8, int64_t, From, FromT)
#define OLEAUTO_DEF_PAIR_UI8(From, FromT) OLEAUTO_DEF_PAIR(UI8, uint64_t, From, FromT)
#define OLEAUTO_DEF_PAIR_R4(From, FromT) OLEAUTO_DEF_PAIR(R4, float, From, FromT)
#define OLEAUTO_DEF_PAIR_R8(From, FromT) OLEAUTO_DEF_PAIR(R8, double, From, FromT)
#define OLEAUTO_DEF_PAIR_Cy(From, FromT) OLEAUTO_DEF_PAIR(Cy, CY, From, FromT)
#define OLEAUTO_DEF_PAIR_Date(From, FromT) OLEAUTO_DEF_PAIR(Date, DATE, From, FromT)
#define OLEAUTO_DEF_PAIR_Bool(From, FromT) OLEAUTO_DEF_PAIR(Bool, VARIANT_BOOL, From, FromT)

OLEAUTO_SCALARS(OLEAUTO_DEF_FROM)

HRESULT VarDecFromStr(LPCOLESTR in, LCID, ULONG flags, DECIMAL* out)
{
    if (!in || !out)
        return E_INVALIDARG;
    text_arg a(in);
    if (!a.b)
        return E_OUTOFMEMORY;
    VARIANT r;
    HRESULT hr = var_convert(a.v, VT_DECIMAL, flags, &r);
    if (SUCCEEDED(hr))
        *out = r.decVal;
    return hr;
}

HRESULT VarBstrFromDec(const DECIMAL* in, LCID, ULONG flags, BSTR* out)
{
    if (!in || !out)
        return E_INVALIDARG;
    VARIANT a, r;
    VariantInit(&a);
    a.decVal = *in;
    a.vt = VT_DECIMAL;
    HRESULT hr = var_convert(a, VT_BSTR, flags, &r);
    if (SUCCEEDED(hr))
        *out = r.bstrVal;
    return hr;
}

HRESULT VarDecCmp(const DECIMAL* a, const DECIMAL* b)
{
    if (!a || !b)
        return E_INVALIDARG;
    exact x, y;
    x.mag = (u128(a->Hi32) << 64) | a->Lo64;
    x.neg = (a->sign & DECIMAL_NEG) && x.mag;
    x.scale = a->scale;
    y.mag = (u128(b->Hi32) << 64) | b->Lo64;
    y.neg = (b->sign & DECIMAL_NEG) && y.mag;
    y.scale = b->scale;
    if (x.scale > DECIMAL_MAX_SCALE || y.scale > DECIMAL_MAX_SCALE)
        return E_INVALIDARG;
    if (x.neg != y.neg)
        return x.neg ? VARCMP_LT : VARCMP_GT;
    // Bring both to the larger scale; 96 bits times 10^28 fits in 192 bits, so compare in parts:
    // the integer parts first, then the fractions at a common scale.
    u128 xi = x.mag / pow10(x.scale), yi = y.mag / pow10(y.scale);
    int cmp;
    if (xi != yi) {
        cmp = xi < yi ? -1 : 1;
    } else {
        u128 xf = x.mag % pow10(x.scale), yf = y.mag % pow10(y.scale);
        int sc = std::max(x.scale, y.scale);
        xf *= pow10(sc - x.scale);
        yf *= pow10(sc - y.scale);
        cmp = xf == yf ? 0 : (xf < yf ? -1 : 1);
    }
    if (x.neg)
        cmp = -cmp;
    return cmp < 0 ? VARCMP_LT : (cmp == 0 ? VARCMP_EQ : VARCMP_GT);
}

HRESULT VarDecNeg(const DECIMAL* in, DECIMAL* out)
{
    if (!in || !out)
        return E_INVALIDARG;
    *out = *in;
    out->sign ^= DECIMAL_NEG;
    return S_OK;
}

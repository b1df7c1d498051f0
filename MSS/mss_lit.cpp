// Value literals written straight from a field's typed value.
#include "MSS/mss_lit.h"

#include <charconv>
#include <cmath>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "MSS/mss_util.h"
#include "OLE/ole_var.h"
#include "TK/tk_log.h"
#include "UDB/udb_db.h"
#include "UDB/udb_rule.h"
#include "platform/win/win_utf.h"

namespace {

using u128 = unsigned __int128;

// ASCII pieces and wide text into either kind of output.
void put(std::string& out, const char* s, std::size_t n) { out.append(s, n); }
void put(std::wstring& out, const char* s, std::size_t n) { out.append(s, s + n); }
void put_text(std::string& out, const wchar_t* s, std::size_t n) { mss_append_utf8(out, s, n); }
void put_text(std::wstring& out, const wchar_t* s, std::size_t n) { out.append(s, n); }
template <class S, std::size_t N>
void put(S& out, const char (&s)[N]) { put(out, s, N - 1); }

// Digits of a magnitude, written backwards ending at end; returns the first digit.
char* digits_of(u128 v, char* end)
{
    constexpr std::uint64_t e19 = 10000000000000000000ull;
    while (v > ~std::uint64_t{0}) {
        std::uint64_t chunk = static_cast<std::uint64_t>(v % e19);
        v /= e19;
        for (int k = 0; k < 19; ++k, chunk /= 10)
            *--end = static_cast<char>('0' + chunk % 10);
    }
    // The rest two digits at a time.
    static constexpr char pairs[] = "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
                                    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
                                    "8081828384858687888990919293949596979899";
    std::uint64_t low = static_cast<std::uint64_t>(v);
    for (; low >= 100; low /= 100) {
        end -= 2;
        std::memcpy(end, pairs + 2 * (low % 100), 2);
    }
    if (low >= 10) {
        end -= 2;
        std::memcpy(end, pairs + 2 * low, 2);
    } else {
        *--end = static_cast<char>('0' + low);
    }
    return end;
}

// An exact number as the automation layer prints it: sign, digits, and a fraction without
// trailing zeros ("-123.45", "0.5", "7").
template <class S>
void put_exact(S& out, bool negative, u128 magnitude, unsigned scale)
{
    char buf[80];
    char* const end = buf + sizeof buf;
    char* first = digits_of(magnitude, end);
    while (static_cast<unsigned>(end - first) <= scale)
        *--first = '0';
    char* point = end - scale;
    char* last = end;
    while (last > point && last[-1] == '0')
        --last;
    if (last > point) {
        // The whole part moves one place to the left to make room for the point.
        std::memmove(first - 1, first, static_cast<std::size_t>(point - first));
        --first;
        point[-1] = '.';
    } else {
        last = point;
    }
    if (negative && magnitude != 0)
        *--first = '-';
    put(out, first, static_cast<std::size_t>(last - first));
}

template <class S>
void put_integer(S& out, long long v)
{
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    put(out, buf, static_cast<std::size_t>(r.ptr - buf));
}

// The last width decimal digits of v at o; returns the end.
char* put_number(char* o, int v, int width)
{
    for (int i = width - 1; i >= 0; --i, v /= 10)
        o[i] = static_cast<char>('0' + v % 10);
    return o + width;
}

// A date printed to milliseconds between quotes; false when the value needs the general road
// (years the server cannot take, fractions finer than a millisecond, empty dates).
template <class S>
bool put_date(S& out, const ole_date& date)
{
    const SYSTEMTIME& t = date.get_systemtime();
    const ole_date::kind_t kind = date.kind();
    if ((kind != ole_date::date_time && kind != ole_date::date_only) || date.microseconds() % 1000 != 0 ||
        t.wYear < 100 || t.wYear > 9999 || t.wMonth == 0 || t.wDay == 0)
        return false;
    char buf[32];   // 'yyyy-mm-dd hh:mm:ss.fff'
    char* o = buf;
    *o++ = '\'';
    o = put_number(o, t.wYear, 4);
    *o++ = '-';
    o = put_number(o, t.wMonth, 2);
    *o++ = '-';
    o = put_number(o, t.wDay, 2);
    const bool midnight = t.wHour == 0 && t.wMinute == 0 && t.wSecond == 0 && t.wMilliseconds == 0 &&
                          date.microseconds() == 0;
    if (kind == ole_date::date_time && !midnight) {
        *o++ = ' ';
        o = put_number(o, t.wHour % 24, 2);
        *o++ = ':';
        o = put_number(o, t.wMinute, 2);
        *o++ = ':';
        o = put_number(o, t.wSecond, 2);
        if (t.wMilliseconds != 0 || date.microseconds() != 0) {
            *o++ = '.';
            o = put_number(o, t.wMilliseconds, 3);
        }
    }
    *o++ = '\'';
    put(out, buf, static_cast<std::size_t>(o - buf));
    return true;
}

// A character the general road spells its own way inside a text literal: control characters,
// line breaks of every kind, and the "$" of "$(".
inline bool is_special(const wchar_t* s, std::size_t i, std::size_t n)
{
    const wchar_t c = s[i];
    if (static_cast<unsigned long>(c) < 0x20 || c == L'\u0085' || c == L'\u2028' || c == L'\u2029')
        return true;
    return c == L'$' && i + 1 < n && s[i + 1] == L'(';
}

// Copies the leading characters of s[pos, end) that stand for themselves in a literal (printable
// ASCII other than the quote and "$") to o, four at a time; returns the position after them.
inline std::size_t put_plain_run(const wchar_t* s, std::size_t pos, std::size_t end, char*& o)
{
#if defined(__SSE2__)
    static_assert(sizeof(wchar_t) == 4, "wide characters are UTF-32");
    const __m128i below = _mm_set1_epi32(0x20), above = _mm_set1_epi32(0x7F);
    const __m128i quote = _mm_set1_epi32('\''), dollar = _mm_set1_epi32('$');
    for (; pos + 4 <= end; pos += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + pos));
        const __m128i out_of_range = _mm_or_si128(_mm_cmplt_epi32(v, below), _mm_cmpgt_epi32(v, above));
        const __m128i own = _mm_or_si128(_mm_cmpeq_epi32(v, quote), _mm_cmpeq_epi32(v, dollar));
        if (_mm_movemask_epi8(_mm_or_si128(out_of_range, own)) != 0)
            break;
        const __m128i words = _mm_packs_epi32(v, v);
        const int bytes = _mm_cvtsi128_si32(_mm_packus_epi16(words, words));
        std::memcpy(o, &bytes, 4);
        o += 4;
    }
#else
    (void)s;
    (void)end;
    (void)o;
#endif
    return pos;
}

// The text between quotes with its quotes doubled; false (out partly written) when it holds a
// character of its own spelling.
bool put_quoted(std::string& out, const wchar_t* s, std::size_t n)
{
    // Encoded through a stack buffer in pieces; a piece of 256 characters needs at most 1,024
    // bytes, doubled quotes included (a quote takes 2 bytes where a character may take 4).
    char buf[1024];
    for (std::size_t pos = 0; pos < n;) {
        const std::size_t end = std::min(n, pos + 256);
        char* o = buf;
        while ((pos = put_plain_run(s, pos, end, o)) < end) {
            const wchar_t c = s[pos];
            if (static_cast<unsigned long>(c) < 0x80) {
                if (static_cast<unsigned long>(c) < 0x20 || (c == L'$' && is_special(s, pos, n)))
                    return false;
                *o++ = static_cast<char>(c);
                if (c == L'\'')
                    *o++ = '\'';
            } else {
                if (is_special(s, pos, n))
                    return false;
                o = win_utf8_put(static_cast<char32_t>(c), o);
            }
            ++pos;
        }
        out.append(buf, static_cast<std::size_t>(o - buf));
    }
    return true;
}

bool put_quoted(std::wstring& out, const wchar_t* s, std::size_t n)
{
    std::size_t run = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (is_special(s, i, n))
            return false;
        if (s[i] == L'\'') {
            out.append(s + run, i + 1 - run);
            out += L'\'';
            run = i + 1;
        }
    }
    out.append(s + run, n - run);
    return true;
}

// Hexadecimal digits of the ASCII range.
constexpr struct hex_table {
    bool v[128] = {};
    constexpr hex_table()
    {
        for (int c = '0'; c <= '9'; ++c) v[c] = true;
        for (int c = 'a'; c <= 'f'; ++c) v[c] = true;
        for (int c = 'A'; c <= 'F'; ++c) v[c] = true;
    }
    constexpr bool operator[](unsigned long c) const { return v[c]; }
} hex_digit;

// The 36 characters of a GUID given bare or in braces, exactly; null for any other text.
const wchar_t* plain_guid(const wchar_t* s, std::size_t n)
{
    if (n == 38 && s[0] == L'{' && s[37] == L'}')
        ++s;
    else if (n != 36)
        return nullptr;
    for (std::size_t i = 0; i < 36; ++i) {
        const unsigned long c = static_cast<unsigned long>(s[i]);
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-')
                return nullptr;
        } else if (c >= 0x80 || !hex_digit[c]) {
            return nullptr;
        }
    }
    return s;
}

template <class S>
bool put_text_value(S& out, const VARIANT& v, const t_ftd& column, bool unicode)
{
    const wchar_t* s = v.bstrVal ? v.bstrVal : L"";
    const std::size_t n = SysStringLen(v.bstrVal);
    if (n == 0) {
        put(out, "''");
        return true;
    }
    const bool guid_column =
        column.dw_reserved == 1 && !mss_is_binary_vt(column.vartype) && column.vartype != VT_DATE;
    if (guid_column) {
        const wchar_t* g = plain_guid(s, n);
        if (!g)
            return false;
        put(out, "'");
        put_text(out, g, 36);
        put(out, "'");
        return true;
    }
    if (unicode)
        put(out, "N'");
    else
        put(out, "'");
    if (!put_quoted(out, s, n))
        return false;
    put(out, "'");
    return true;
}

template <class S>
bool put_binary(S& out, const ole_variant& value)
{
    static const char hex[] = "0123456789ABCDEF";
    put(out, "0x");
    const unsigned char* p = value.binary_data();
    const std::size_t n = value.binary_size();
    char buf[512];
    for (std::size_t pos = 0; pos < n;) {
        const std::size_t piece = std::min(n - pos, sizeof buf / 2);
        for (std::size_t k = 0; k < piece; ++k) {
            buf[2 * k] = hex[p[pos + k] >> 4];
            buf[2 * k + 1] = hex[p[pos + k] & 15];
        }
        put(out, buf, 2 * piece);
        pos += piece;
    }
    return true;
}

template <class S>
bool put_double(S& out, double d)
{
    // Values the safety rules clamp or turn into NULL take the general road.
    const double a = std::fabs(d);
    if (!std::isfinite(d) || (d != 0 && (a >= 1.79e308 || a <= 2.23e-308)))
        return false;
    char buf[40];
    auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific, 16);
    put(out, buf, static_cast<std::size_t>(r.ptr - buf));
    return true;
}

template <class S>
bool append_direct_to(S& out, const udb_field& field, const t_ftd& column, bool unicode)
{
    // Detailed tracing wants the general road's lines; custom rules may claim any value.
    if (tk_log_may_write(1) || udb_custom_conversion::has_rules())
        return false;
    const VARIANT& v = field.variant();
    if (v.vt == VT_EMPTY || field.get_type() != v.vt)
        return false;
    switch (v.vt) {
    case VT_NULL:
        if (column.b_not_null)
            return false;
        put(out, "NULL");
        return true;
    case VT_BOOL:
        put(out, v.boolVal == VARIANT_TRUE ? "1" : "0", 1);
        return true;
    case VT_I1: put_integer(out, static_cast<signed char>(v.cVal)); return true;
    case VT_UI1: put_integer(out, v.bVal); return true;
    case VT_I2: put_integer(out, v.iVal); return true;
    case VT_UI2: put_integer(out, v.uiVal); return true;
    case VT_I4: put_integer(out, v.lVal); return true;
    case VT_INT: put_integer(out, v.intVal); return true;
    case VT_UI4: put_integer(out, v.ulVal); return true;
    case VT_UINT: put_integer(out, v.uintVal); return true;
    case VT_I8: put_integer(out, field.get_i8()); return true;
    case VT_R8:
        // A REAL column's text is the general road's affair.
        if (column.vartype == VT_R4 || (column.vartype == VT_R8 && column.dw_reserved == 1))
            return false;
        return put_double(out, v.dblVal);
    case VT_CY: {
        const std::int64_t scaled = v.cyVal.int64;
        const std::uint64_t bits = static_cast<std::uint64_t>(scaled);
        put_exact(out, scaled < 0, scaled < 0 ? u128(0 - bits) : u128(bits), 4);
        return true;
    }
    case VT_DECIMAL: {
        const DECIMAL& d = v.decVal;
        if (d.scale > DECIMAL_MAX_SCALE)
            return false;
        put_exact(out, (d.sign & DECIMAL_NEG) != 0, (u128(d.Hi32) << 64) | d.Lo64, d.scale);
        return true;
    }
    case VT_DATE:
        return put_date(out, field.get_date());
    case VT_BSTR:
        return put_text_value(out, v, column, unicode);
    default:
        if (field.is_binary())
            return put_binary(out, field);
        return false;
    }
}

} // namespace

void mss_append_utf8(std::string& out, const wchar_t* text, std::size_t n)
{
    win_utf8_append(out, std::wstring_view(text, n));
}

mss_literal_writer::mss_literal_writer() : unicode_(mss_get_engine_unicode()) {}

bool mss_literal_writer::append_direct(std::string& out, const udb_field& field, const t_ftd& column) const
{
    const std::size_t mark = out.size();
    if (append_direct_to(out, field, column, unicode_))
        return true;
    out.resize(mark);
    return false;
}

bool mss_literal_writer::append_direct(std::wstring& out, const udb_field& field, const t_ftd& column) const
{
    const std::size_t mark = out.size();
    if (append_direct_to(out, field, column, unicode_))
        return true;
    out.resize(mark);
    return false;
}

void mss_literal_writer::append(std::string& out, const udb_field& field, const t_ftd& column) const
{
    if (append_direct(out, field, column))
        return;
    const std::wstring literal = mss_get_fld_append_str(&field, &column);
    mss_append_utf8(out, literal.data(), literal.size());
}

void mss_literal_writer::append(std::wstring& out, const udb_field& field, const t_ftd& column) const
{
    if (append_direct(out, field, column))
        return;
    out += mss_get_fld_append_str(&field, &column);
}

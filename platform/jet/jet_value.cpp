#include "platform/jet/jet_value.h"
#include "platform/win/win_utf.h"

#include <cmath>
#include <cstdio>

namespace jet {

const char* type_name(column_type t)
{
    switch (t) {
    case column_type::boolean: return "BOOLEAN";
    case column_type::byte: return "BYTE";
    case column_type::integer: return "INT";
    case column_type::long_integer: return "LONG";
    case column_type::currency: return "MONEY";
    case column_type::single: return "FLOAT";
    case column_type::double_: return "DOUBLE";
    case column_type::datetime: return "SHORT_DATE_TIME";
    case column_type::binary: return "BINARY";
    case column_type::text: return "TEXT";
    case column_type::ole: return "OLE";
    case column_type::memo: return "MEMO";
    case column_type::unknown_0d: return "UNKNOWN_0D";
    case column_type::guid: return "GUID";
    case column_type::numeric: return "NUMERIC";
    case column_type::unknown_11: return "UNKNOWN_11";
    case column_type::complex: return "COMPLEX_TYPE";
    case column_type::big_int: return "BIG_INT";
    case column_type::ext_datetime: return "EXT_DATE_TIME";
    }
    return "UNKNOWN";
}

std::string decimal::to_string() const
{
    // Repeated division of the 128-bit magnitude by 10 (four 32-bit limbs, most significant first).
    std::uint32_t limbs[4] = {static_cast<std::uint32_t>(hi >> 32), static_cast<std::uint32_t>(hi),
                              static_cast<std::uint32_t>(lo >> 32), static_cast<std::uint32_t>(lo)};
    std::string digits;
    for (;;) {
        bool zero = true;
        std::uint64_t rem = 0;
        for (auto& l : limbs) {
            std::uint64_t cur = (rem << 32) | l;
            l = static_cast<std::uint32_t>(cur / 10);
            rem = cur % 10;
            if (l) zero = false;
        }
        digits.push_back(static_cast<char>('0' + rem));
        if (zero) break;
    }
    while (digits.size() <= scale) digits.push_back('0');
    std::string out;
    bool is_zero = digits.find_first_not_of('0') == std::string::npos;
    if (negative && !is_zero) out.push_back('-');
    for (std::size_t i = digits.size(); i-- > 0;) {
        out.push_back(digits[i]);
        if (i == scale && scale > 0) out.push_back('.');
    }
    return out;
}

double decimal::to_double() const
{
    double v = static_cast<double>(hi) * 18446744073709551616.0 + static_cast<double>(lo);
    v /= std::pow(10.0, scale);
    return negative ? -v : v;
}

void guid::format(wchar_t (&out)[38]) const
{
    // {3210-54-76-89-ABCDEF}: the first three groups are little-endian, in upper-case hex.
    static constexpr wchar_t hex[] = L"0123456789ABCDEF";
    static constexpr int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    wchar_t* o = out;
    *o++ = L'{';
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            *o++ = L'-';
        const unsigned b = bytes[order[i]];
        *o++ = hex[b >> 4];
        *o++ = hex[b & 15];
    }
    *o = L'}';
}

std::wstring guid::to_wstring() const
{
    wchar_t text[38];
    format(text);
    return std::wstring(text, 38);
}

namespace {

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civil_from_days(long long z, int& y, int& m, int& d)
{
    z += 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long yy = yoe + era * 400;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yy + (m <= 2));
}

} // namespace

date_parts split_date(double days)
{
    date_parts p{};
    if (!std::isfinite(days) || std::fabs(days) > 3.0e6) days = 0;
    double whole = std::trunc(days);
    long long ms = std::llround(std::fabs(days - whole) * 86400000.0);
    long long day = static_cast<long long>(whole);
    if (ms >= 86400000) {
        ms -= 86400000;
        ++day;
    }
    // 1899-12-30 is 25569 days before 1970-01-01.
    civil_from_days(day - 25569, p.year, p.month, p.day);
    p.hour = static_cast<int>(ms / 3600000);
    p.minute = static_cast<int>(ms / 60000 % 60);
    p.second = static_cast<int>(ms / 1000 % 60);
    p.millisecond = static_cast<int>(ms % 1000);
    return p;
}

std::int64_t value::to_int64() const
{
    switch (type()) {
    case boolean_k: return as_bool() ? 1 : 0;
    case byte_k: return as_byte();
    case int16_k: return as_int16();
    case int32_k: return as_int32();
    case int64_k: return as_int64();
    default: throw std::bad_variant_access();
    }
}

std::wstring value::to_wstring() const
{
    wchar_t buf[64];
    switch (type()) {
    case null_k: return L"NULL";
    case boolean_k: return as_bool() ? L"true" : L"false";
    case byte_k:
    case int16_k:
    case int32_k:
    case int64_k: return std::to_wstring(to_int64());
    case currency_k: {
        std::int64_t s = as_currency().scaled;
        unsigned long long a = s < 0 ? 0ULL - static_cast<unsigned long long>(s) : static_cast<unsigned long long>(s);
        std::swprintf(buf, 64, L"%s%llu.%04llu", s < 0 ? L"-" : L"", a / 10000, a % 10000);
        return buf;
    }
    case single_k: std::swprintf(buf, 64, L"%.9g", static_cast<double>(as_single())); return buf;
    case double_k: std::swprintf(buf, 64, L"%.17g", as_double()); return buf;
    case datetime_k: {
        date_parts p = split_date(as_datetime().days);
        std::swprintf(buf, 64, L"%04d-%02d-%02dT%02d:%02d:%02d", p.year, p.month, p.day, p.hour, p.minute, p.second);
        return buf;
    }
    case guid_k: return as_guid().to_wstring();
    case decimal_k: {
        return win_wide_from_utf8(as_decimal().to_string());
    }
    case text_k: return as_text();
    case binary_k: {
        static const wchar_t hex[] = L"0123456789ABCDEF";
        std::wstring out = L"0x";
        for (auto b : as_binary()) {
            out.push_back(hex[b >> 4]);
            out.push_back(hex[b & 15]);
        }
        return out;
    }
    }
    return L"";
}

} // namespace jet

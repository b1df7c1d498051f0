// The Access expression functions and aggregates, as SQLite functions (dates are automation dates).
#include <sqlite3.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <cwctype>
#include <string>
#include <vector>

#include "platform/com/oleauto.h"
#include "platform/dao/dao_accsql.h"
#include "platform/win/win_utf.h"

namespace daoimpl {

std::string to_utf8(const std::wstring& w)
{
    return win_utf8_from_wide(w);
}

std::wstring from_utf8(const char* s, std::size_t n)
{
    return win_wide_from_utf8(std::string_view(s, n));
}

namespace {

constexpr unsigned date_subtype = 'D';

bool is_null(sqlite3_value* v) { return sqlite3_value_type(v) == SQLITE_NULL; }

bool is_date(sqlite3_value* v) { return sqlite3_value_subtype(v) == date_subtype && sqlite3_value_type(v) == SQLITE_FLOAT; }

void result_date(sqlite3_context* c, double d)
{
    sqlite3_result_double(c, d);
    sqlite3_result_subtype(c, date_subtype);
}

std::wstring date_text(double d);

std::wstring text(sqlite3_value* v)
{
    if (is_date(v)) return date_text(sqlite3_value_double(v));
    if (sqlite3_value_type(v) == SQLITE_FLOAT) {
        double d = sqlite3_value_double(v);
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.15g", d);
        return from_utf8(buf, std::strlen(buf));
    }
    const char* p = reinterpret_cast<const char*>(sqlite3_value_text(v));
    return from_utf8(p ? p : "", static_cast<std::size_t>(sqlite3_value_bytes(v)));
}

void result(sqlite3_context* c, const std::wstring& w)
{
    std::string s = to_utf8(w);
    sqlite3_result_text(c, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
}

bool number(sqlite3_value* v, double& out)
{
    switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER: case SQLITE_FLOAT: out = sqlite3_value_double(v); return true;
    case SQLITE_TEXT: {
        std::wstring t = text(v);
        VARIANT src, dst;
        VariantInit(&src);
        VariantInit(&dst);
        src.vt = VT_BSTR;
        src.bstrVal = SysAllocString(t.c_str());
        HRESULT hr = VariantChangeType(&dst, &src, 0, VT_R8);
        VariantClear(&src);
        if (FAILED(hr)) return false;
        out = dst.dblVal;
        return true;
    }
    default: return false;
    }
}

bool date_of(sqlite3_value* v, double& out)
{
    if (sqlite3_value_type(v) == SQLITE_TEXT) {
        std::wstring t = text(v);
        if (parse_date_literal(t, out)) return true;
        VARIANT src, dst;
        VariantInit(&src);
        VariantInit(&dst);
        src.vt = VT_BSTR;
        src.bstrVal = SysAllocString(t.c_str());
        HRESULT hr = VariantChangeType(&dst, &src, 0, VT_DATE);
        VariantClear(&src);
        if (FAILED(hr)) return false;
        out = dst.date;
        return true;
    }
    return number(v, out);
}

void mismatch(sqlite3_context* c) { sqlite3_result_error(c, "type mismatch", -1); }

// Banker's rounding to an integer.
double round_even(double d) { return std::nearbyint(d); }

SYSTEMTIME parts(double d)
{
    SYSTEMTIME st{};
    VariantTimeToSystemTime(d, &st);
    return st;
}

double make_date(int y, int m, int d, int h = 0, int mi = 0, int s = 0)
{
    // Months and days out of range carry over, as DateSerial does.
    y += (m - 1) / 12;
    m = (m - 1) % 12;
    if (m < 0) { m += 12; --y; }
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(m + 1);
    st.wDay = 1;
    DATE base = 0;
    SystemTimeToVariantTime(&st, &base);
    double day = base + (d - 1);
    double t = (h * 3600.0 + mi * 60.0 + s) / 86400.0;
    // Negative dates keep the time as the magnitude of the fraction.
    return day >= 0 ? day + t : day - t;
}

double now_local(bool date_part, bool time_part)
{
    std::time_t t = std::time(nullptr);
    std::tm lt{};
    localtime_r(&t, &lt);
    double d = make_date(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday);
    double tm = (lt.tm_hour * 3600.0 + lt.tm_min * 60.0 + lt.tm_sec) / 86400.0;
    if (!time_part) return d;
    if (!date_part) return tm;
    return d + tm;
}

// ---- string functions
void f_len(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0])) return sqlite3_result_null(c);
    sqlite3_result_int64(c, static_cast<sqlite3_int64>(text(a[0]).size()));
}

void f_left(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0])) return sqlite3_result_null(c);
    double n = 0;
    if (!number(a[1], n) || n < 0) return mismatch(c);
    std::wstring s = text(a[0]);
    result(c, s.substr(0, std::min(s.size(), static_cast<std::size_t>(n))));
}

void f_right(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0])) return sqlite3_result_null(c);
    double n = 0;
    if (!number(a[1], n) || n < 0) return mismatch(c);
    std::wstring s = text(a[0]);
    std::size_t k = std::min(s.size(), static_cast<std::size_t>(n));
    result(c, s.substr(s.size() - k));
}

void f_mid(sqlite3_context* c, int argc, sqlite3_value** a)
{
    if (is_null(a[0])) return sqlite3_result_null(c);
    double start = 0, len = -1;
    if (!number(a[1], start) || start < 1) return mismatch(c);
    if (argc > 2 && (!number(a[2], len) || len < 0)) return mismatch(c);
    std::wstring s = text(a[0]);
    auto b = static_cast<std::size_t>(start - 1);
    if (b >= s.size()) return result(c, L"");
    result(c, len < 0 ? s.substr(b) : s.substr(b, static_cast<std::size_t>(len)));
}

void f_instr(sqlite3_context* c, int argc, sqlite3_value** a)
{
    int k = 0;
    double start = 1;
    if (argc >= 3) {
        if (is_null(a[0])) return sqlite3_result_null(c);
        if (!number(a[0], start)) return mismatch(c);
        k = 1;
    }
    if (is_null(a[k]) || is_null(a[k + 1])) return sqlite3_result_null(c);
    std::wstring s = text(a[k]), f = text(a[k + 1]);
    bool binary = argc > k + 2 && sqlite3_value_int(a[k + 2]) == 0;
    if (!binary) {
        for (auto& ch : s) ch = static_cast<wchar_t>(std::towupper(ch));
        for (auto& ch : f) ch = static_cast<wchar_t>(std::towupper(ch));
    }
    if (start < 1) return mismatch(c);
    std::size_t p = s.find(f, static_cast<std::size_t>(start - 1));
    sqlite3_result_int64(c, p == std::wstring::npos ? 0 : static_cast<sqlite3_int64>(p + 1));
}

template <int Mode>
void f_case(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0])) return sqlite3_result_null(c);
    std::wstring s = text(a[0]);
    for (auto& ch : s) ch = static_cast<wchar_t>(Mode ? std::towupper(ch) : std::towlower(ch));
    result(c, s);
}

template <bool L, bool R>
void f_trim(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0])) return sqlite3_result_null(c);
    std::wstring s = text(a[0]);
    std::size_t b = 0, e = s.size();
    if (L) while (b < e && s[b] == L' ') ++b;
    if (R) while (e > b && s[e - 1] == L' ') --e;
    result(c, s.substr(b, e - b));
}

void f_space(sqlite3_context* c, int, sqlite3_value** a)
{
    double n = 0;
    if (!number(a[0], n) || n < 0 || n > 1e6) return mismatch(c);
    result(c, std::wstring(static_cast<std::size_t>(n), L' '));
}

void f_chr(sqlite3_context* c, int, sqlite3_value** a)
{
    double n = 0;
    if (!number(a[0], n) || n < 0 || n > 0x10FFFF) return mismatch(c);
    result(c, std::wstring(1, static_cast<wchar_t>(n)));
}

void f_asc(sqlite3_context* c, int, sqlite3_value** a)
{
    std::wstring s = text(a[0]);
    if (s.empty()) return mismatch(c);
    sqlite3_result_int64(c, s[0]);
}

void f_strcomp(sqlite3_context* c, int argc, sqlite3_value** a)
{
    if (is_null(a[0]) || is_null(a[1])) return sqlite3_result_null(c);
    std::wstring x = text(a[0]), y = text(a[1]);
    bool binary = argc > 2 && sqlite3_value_int(a[2]) == 0;
    if (!binary) {
        for (auto& ch : x) ch = static_cast<wchar_t>(std::towupper(ch));
        for (auto& ch : y) ch = static_cast<wchar_t>(std::towupper(ch));
    }
    int r = x.compare(y);
    sqlite3_result_int(c, r < 0 ? -1 : r > 0 ? 1 : 0);
}

void f_replace(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0])) return sqlite3_result_null(c);
    std::wstring s = text(a[0]), f = text(a[1]), r = text(a[2]);
    if (f.empty()) return result(c, s);
    std::wstring out;
    std::wstring us = s, uf = f;
    for (auto& ch : us) ch = static_cast<wchar_t>(std::towupper(ch));
    for (auto& ch : uf) ch = static_cast<wchar_t>(std::towupper(ch));
    std::size_t i = 0;
    for (std::size_t p; (p = us.find(uf, i)) != std::wstring::npos; i = p + f.size()) out += s.substr(i, p - i) + r;
    out += s.substr(i);
    result(c, out);
}

// Access & : Null counts as empty text; both Null give Null.
void f_cat(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0]) && is_null(a[1])) return sqlite3_result_null(c);
    result(c, (is_null(a[0]) ? L"" : text(a[0])) + (is_null(a[1]) ? L"" : text(a[1])));
}

// Access + : text joins text, numbers add.
void f_add(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0]) || is_null(a[1])) return sqlite3_result_null(c);
    if (sqlite3_value_type(a[0]) == SQLITE_TEXT && sqlite3_value_type(a[1]) == SQLITE_TEXT)
        return result(c, text(a[0]) + text(a[1]));
    if (sqlite3_value_type(a[0]) == SQLITE_INTEGER && sqlite3_value_type(a[1]) == SQLITE_INTEGER) {
        sqlite3_int64 r = 0;
        if (!__builtin_add_overflow(sqlite3_value_int64(a[0]), sqlite3_value_int64(a[1]), &r)) return sqlite3_result_int64(c, r);
    }
    double x = 0, y = 0;
    if (!number(a[0], x) || !number(a[1], y)) return mismatch(c);
    if (is_date(a[0]) != is_date(a[1])) return result_date(c, x + y);
    sqlite3_result_double(c, x + y);
}

void f_div(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0]) || is_null(a[1])) return sqlite3_result_null(c);
    double x = 0, y = 0;
    if (!number(a[0], x) || !number(a[1], y)) return mismatch(c);
    if (y == 0) return sqlite3_result_error(c, "Division by zero", -1);
    sqlite3_result_double(c, x / y);
}

void f_idiv(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0]) || is_null(a[1])) return sqlite3_result_null(c);
    double x = 0, y = 0;
    if (!number(a[0], x) || !number(a[1], y)) return mismatch(c);
    x = round_even(x);
    y = round_even(y);
    if (y == 0) return sqlite3_result_error(c, "Division by zero", -1);
    sqlite3_result_int64(c, static_cast<sqlite3_int64>(std::trunc(x / y)));
}

void f_mod(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0]) || is_null(a[1])) return sqlite3_result_null(c);
    double x = 0, y = 0;
    if (!number(a[0], x) || !number(a[1], y)) return mismatch(c);
    x = round_even(x);
    y = round_even(y);
    if (y == 0) return sqlite3_result_error(c, "Division by zero", -1);
    sqlite3_result_int64(c, static_cast<sqlite3_int64>(std::fmod(x, y)));
}

void f_pow(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0]) || is_null(a[1])) return sqlite3_result_null(c);
    double x = 0, y = 0;
    if (!number(a[0], x) || !number(a[1], y)) return mismatch(c);
    sqlite3_result_double(c, std::pow(x, y));
}

template <int Op>
void f_logic(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0]) || is_null(a[1])) return sqlite3_result_null(c);
    bool x = sqlite3_value_double(a[0]) != 0, y = sqlite3_value_double(a[1]) != 0;
    bool r = Op == 0 ? (!x || y) : Op == 1 ? (x == y) : (x != y);
    sqlite3_result_int(c, r ? 1 : 0);
}

// Access LIKE: * any run, ? one character, # one digit, [abc] [a-z] [!abc] a set; case ignored.
bool like(const std::wstring& s, std::size_t i, const std::wstring& p, std::size_t j, int depth)
{
    if (depth > 10000) return false;
    while (j < p.size()) {
        wchar_t pc = p[j];
        if (pc == L'*') {
            while (j < p.size() && p[j] == L'*') ++j;
            if (j == p.size()) return true;
            for (std::size_t k = i; k <= s.size(); ++k)
                if (like(s, k, p, j, depth + 1)) return true;
            return false;
        }
        if (i >= s.size()) return false;
        wchar_t sc = static_cast<wchar_t>(std::towupper(s[i]));
        if (pc == L'?') { ++i; ++j; continue; }
        if (pc == L'#') {
            if (!std::iswdigit(s[i])) return false;
            ++i; ++j;
            continue;
        }
        if (pc == L'[') {
            std::size_t e = p.find(L']', j + 1);
            if (e == std::wstring::npos) return false;
            std::wstring set = p.substr(j + 1, e - j - 1);
            bool neg = !set.empty() && set[0] == L'!';
            if (neg) set.erase(0, 1);
            bool in = false;
            for (std::size_t k = 0; k < set.size(); ++k) {
                wchar_t lo = static_cast<wchar_t>(std::towupper(set[k])), hi = lo;
                if (k + 2 < set.size() && set[k + 1] == L'-') {
                    hi = static_cast<wchar_t>(std::towupper(set[k + 2]));
                    k += 2;
                }
                if (sc >= lo && sc <= hi) in = true;
            }
            if (in == neg) return false;
            ++i;
            j = e + 1;
            continue;
        }
        if (sc != static_cast<wchar_t>(std::towupper(pc))) return false;
        ++i;
        ++j;
    }
    return i == s.size();
}

void f_like(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0]) || is_null(a[1])) return sqlite3_result_null(c);
    sqlite3_result_int(c, like(text(a[0]), 0, text(a[1]), 0, 0) ? 1 : 0);
}

// ---- dates
template <int Part>
void f_part(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0])) return sqlite3_result_null(c);
    double d = 0;
    if (!date_of(a[0], d)) return mismatch(c);
    SYSTEMTIME st = parts(d);
    int v = Part == 0 ? st.wYear : Part == 1 ? st.wMonth : Part == 2 ? st.wDay : Part == 3 ? st.wHour : Part == 4 ? st.wMinute : st.wSecond;
    sqlite3_result_int(c, v);
}

int weekday_of(double d, int first)
{
    // 1899-12-30 was a Saturday (7 with Sunday first).
    long long day = static_cast<long long>(std::floor(d));
    int w = static_cast<int>(((day % 7) + 7 + 6) % 7); // 0 Sunday
    return ((w - (first - 1)) % 7 + 7) % 7 + 1;
}

void f_weekday(sqlite3_context* c, int argc, sqlite3_value** a)
{
    if (is_null(a[0])) return sqlite3_result_null(c);
    double d = 0;
    if (!date_of(a[0], d)) return mismatch(c);
    int first = argc > 1 ? sqlite3_value_int(a[1]) : 1;
    if (first < 1 || first > 7) first = 1;
    sqlite3_result_int(c, weekday_of(d, first));
}

void f_today(sqlite3_context* c, int, sqlite3_value**) { result_date(c, now_local(true, false)); }
void f_now(sqlite3_context* c, int, sqlite3_value**) { result_date(c, now_local(true, true)); }
void f_time(sqlite3_context* c, int, sqlite3_value**) { result_date(c, now_local(false, true)); }
void f_datelit(sqlite3_context* c, int, sqlite3_value** a) { result_date(c, sqlite3_value_double(a[0])); }

std::wstring interval(sqlite3_value* v)
{
    std::wstring s = text(v);
    for (auto& ch : s) ch = static_cast<wchar_t>(std::towlower(ch));
    return s;
}

double add_interval(const std::wstring& iv, double n, double d, bool& ok)
{
    ok = true;
    SYSTEMTIME st = parts(d);
    double frac = std::fabs(d - std::trunc(d));
    auto with_months = [&](int months) {
        int y = st.wYear, m = st.wMonth - 1 + months;
        y += m >= 0 ? m / 12 : -((11 - m) / 12);
        m = ((m % 12) + 12) % 12;
        static const int mdays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        int last = mdays[m] + ((m == 1 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) ? 1 : 0);
        int day = std::min<int>(st.wDay, last);
        return make_date(y, m + 1, day, st.wHour, st.wMinute, st.wSecond);
    };
    long long k = static_cast<long long>(std::trunc(n));
    if (iv == L"yyyy") return with_months(static_cast<int>(k * 12));
    if (iv == L"q") return with_months(static_cast<int>(k * 3));
    if (iv == L"m") return with_months(static_cast<int>(k));
    auto shift = [&](double seconds) {
        // On a linear time line (negative dates keep the time as the fraction's magnitude).
        double whole = std::trunc(d);
        double lin = d >= 0 ? d : whole + frac;
        lin += seconds / 86400.0;
        if (lin >= 0) return lin;
        double w = std::floor(lin);
        return w - (lin - w);
    };
    if (iv == L"d" || iv == L"y" || iv == L"w") return d + static_cast<double>(k);
    if (iv == L"ww") return d + static_cast<double>(k * 7);
    if (iv == L"h") return shift(static_cast<double>(k) * 3600);
    if (iv == L"n") return shift(static_cast<double>(k) * 60);
    if (iv == L"s") return shift(static_cast<double>(k));
    ok = false;
    return 0;
}

void f_dateadd(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[1]) || is_null(a[2])) return sqlite3_result_null(c);
    double n = 0, d = 0;
    if (!number(a[1], n) || !date_of(a[2], d)) return mismatch(c);
    bool ok = false;
    double r = add_interval(interval(a[0]), n, d, ok);
    if (!ok) return sqlite3_result_error(c, "Invalid procedure call", -1);
    result_date(c, r);
}

void f_datediff(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[1]) || is_null(a[2])) return sqlite3_result_null(c);
    double x = 0, y = 0;
    if (!date_of(a[1], x) || !date_of(a[2], y)) return mismatch(c);
    std::wstring iv = interval(a[0]);
    SYSTEMTIME p = parts(x), q = parts(y);
    auto secs = [](double d) { return std::llround(d * 86400.0); };
    long long r = 0;
    if (iv == L"yyyy") r = q.wYear - p.wYear;
    else if (iv == L"q") r = (q.wYear * 4 + (q.wMonth - 1) / 3) - (p.wYear * 4 + (p.wMonth - 1) / 3);
    else if (iv == L"m") r = (q.wYear * 12 + q.wMonth) - (p.wYear * 12 + p.wMonth);
    else if (iv == L"d" || iv == L"y") r = static_cast<long long>(std::floor(y)) - static_cast<long long>(std::floor(x));
    else if (iv == L"w") r = (static_cast<long long>(std::floor(y)) - static_cast<long long>(std::floor(x))) / 7;
    else if (iv == L"ww") {
        long long fx = static_cast<long long>(std::floor(x)), fy = static_cast<long long>(std::floor(y));
        r = (fy - (weekday_of(y, 1) - 1)) / 7 - (fx - (weekday_of(x, 1) - 1)) / 7;
        r = ((fy - (weekday_of(y, 1) - 1)) - (fx - (weekday_of(x, 1) - 1))) / 7;
    } else if (iv == L"h") r = secs(y) / 3600 - secs(x) / 3600;
    else if (iv == L"n") r = secs(y) / 60 - secs(x) / 60;
    else if (iv == L"s") r = secs(y) - secs(x);
    else return sqlite3_result_error(c, "Invalid procedure call", -1);
    sqlite3_result_int64(c, r);
}

void f_datepart(sqlite3_context* c, int argc, sqlite3_value** a)
{
    if (is_null(a[1])) return sqlite3_result_null(c);
    double d = 0;
    if (!date_of(a[1], d)) return mismatch(c);
    std::wstring iv = interval(a[0]);
    SYSTEMTIME st = parts(d);
    int first = argc > 2 ? sqlite3_value_int(a[2]) : 1;
    if (first < 1 || first > 7) first = 1;
    int r = 0;
    if (iv == L"yyyy") r = st.wYear;
    else if (iv == L"q") r = (st.wMonth - 1) / 3 + 1;
    else if (iv == L"m") r = st.wMonth;
    else if (iv == L"d") r = st.wDay;
    else if (iv == L"y") r = static_cast<int>(std::floor(d) - std::floor(make_date(st.wYear, 1, 1))) + 1;
    else if (iv == L"w") r = weekday_of(d, first);
    else if (iv == L"ww") {
        double jan1 = make_date(st.wYear, 1, 1);
        int off = weekday_of(jan1, first) - 1;
        r = static_cast<int>((std::floor(d) - std::floor(jan1) + off) / 7) + 1;
    } else if (iv == L"h") r = st.wHour;
    else if (iv == L"n") r = st.wMinute;
    else if (iv == L"s") r = st.wSecond;
    else return sqlite3_result_error(c, "Invalid procedure call", -1);
    sqlite3_result_int(c, r);
}

void f_dateserial(sqlite3_context* c, int, sqlite3_value** a)
{
    double y = 0, m = 0, d = 0;
    if (is_null(a[0]) || is_null(a[1]) || is_null(a[2])) return sqlite3_result_null(c);
    if (!number(a[0], y) || !number(a[1], m) || !number(a[2], d)) return mismatch(c);
    int yy = static_cast<int>(y);
    if (yy >= 0 && yy < 30) yy += 2000;
    else if (yy >= 30 && yy < 100) yy += 1900;
    result_date(c, make_date(yy, static_cast<int>(m), static_cast<int>(d)));
}

void f_timeserial(sqlite3_context* c, int, sqlite3_value** a)
{
    double h = 0, m = 0, s = 0;
    if (is_null(a[0]) || is_null(a[1]) || is_null(a[2])) return sqlite3_result_null(c);
    if (!number(a[0], h) || !number(a[1], m) || !number(a[2], s)) return mismatch(c);
    result_date(c, (h * 3600 + m * 60 + s) / 86400.0);
}

void f_cdate(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0])) return sqlite3_result_null(c);
    double d = 0;
    if (!date_of(a[0], d)) return mismatch(c);
    result_date(c, d);
}

void f_datevalue(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0])) return sqlite3_result_null(c);
    double d = 0;
    if (!date_of(a[0], d)) return mismatch(c);
    result_date(c, std::trunc(d));
}

// ---- conversions and numbers
template <int Bits>
void f_cint(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0])) return sqlite3_result_null(c);
    double d = 0;
    if (!number(a[0], d)) return mismatch(c);
    d = round_even(d);
    double lim = Bits == 16 ? 32768.0 : 2147483648.0;
    if (d < -lim || d >= lim) return sqlite3_result_error(c, "Overflow", -1);
    sqlite3_result_int64(c, static_cast<sqlite3_int64>(d));
}

void f_cdbl(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0])) return sqlite3_result_null(c);
    double d = 0;
    if (!number(a[0], d)) return mismatch(c);
    sqlite3_result_double(c, d);
}

void f_ccur(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0])) return sqlite3_result_null(c);
    double d = 0;
    if (!number(a[0], d)) return mismatch(c);
    sqlite3_result_double(c, round_even(d * 10000.0) / 10000.0);
}

void f_cbool(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0])) return sqlite3_result_null(c);
    std::wstring t = text(a[0]);
    if (sqlite3_value_type(a[0]) == SQLITE_TEXT) {
        std::wstring u;
        for (wchar_t ch : t) u += static_cast<wchar_t>(std::towupper(ch));
        if (u == L"TRUE" || u == L"YES" || u == L"ON") return sqlite3_result_int(c, -1);
        if (u == L"FALSE" || u == L"NO" || u == L"OFF") return sqlite3_result_int(c, 0);
    }
    double d = 0;
    if (!number(a[0], d)) return mismatch(c);
    sqlite3_result_int(c, d != 0 ? -1 : 0);
}

std::wstring date_text(double d)
{
    SYSTEMTIME st = parts(d);
    wchar_t buf[64];
    bool has_time = std::fabs(d - std::trunc(d)) > 1e-9;
    bool has_date = std::trunc(d) != 0;
    if (has_date && has_time)
        std::swprintf(buf, 64, L"%d/%d/%04d %d:%02d:%02d %ls", st.wMonth, st.wDay, st.wYear, st.wHour % 12 == 0 ? 12 : st.wHour % 12,
                      st.wMinute, st.wSecond, st.wHour < 12 ? L"AM" : L"PM");
    else if (has_time)
        std::swprintf(buf, 64, L"%d:%02d:%02d %ls", st.wHour % 12 == 0 ? 12 : st.wHour % 12, st.wMinute, st.wSecond,
                      st.wHour < 12 ? L"AM" : L"PM");
    else
        std::swprintf(buf, 64, L"%d/%d/%04d", st.wMonth, st.wDay, st.wYear);
    return buf;
}

void f_cstr(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0])) return sqlite3_result_null(c);
    result(c, text(a[0]));
}

void f_val(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0])) return sqlite3_result_null(c);
    std::wstring s = text(a[0]), digits;
    bool dot = false, any = false;
    std::size_t i = 0;
    while (i < s.size() && (s[i] == L' ' || s[i] == L'\t')) ++i;
    if (i < s.size() && (s[i] == L'-' || s[i] == L'+')) digits += s[i++];
    for (; i < s.size(); ++i) {
        wchar_t ch = s[i];
        if (ch == L' ' || ch == L'\t') continue;
        if (std::iswdigit(ch)) { digits += ch; any = true; }
        else if (ch == L'.' && !dot) { digits += ch; dot = true; }
        else break;
    }
    sqlite3_result_double(c, any ? std::wcstod(digits.c_str(), nullptr) : 0.0);
}

void f_int(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0])) return sqlite3_result_null(c);
    if (sqlite3_value_type(a[0]) == SQLITE_INTEGER) return sqlite3_result_int64(c, sqlite3_value_int64(a[0]));
    double d = 0;
    if (!number(a[0], d)) return mismatch(c);
    sqlite3_result_double(c, std::floor(d));
}

void f_fix(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0])) return sqlite3_result_null(c);
    if (sqlite3_value_type(a[0]) == SQLITE_INTEGER) return sqlite3_result_int64(c, sqlite3_value_int64(a[0]));
    double d = 0;
    if (!number(a[0], d)) return mismatch(c);
    sqlite3_result_double(c, std::trunc(d));
}

void f_round(sqlite3_context* c, int argc, sqlite3_value** a)
{
    if (is_null(a[0])) return sqlite3_result_null(c);
    double d = 0, n = 0;
    if (!number(a[0], d) || (argc > 1 && !number(a[1], n)) || n < 0 || n > 15) return mismatch(c);
    double f = std::pow(10.0, n);
    sqlite3_result_double(c, round_even(d * f) / f);
}

void f_sgn(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0])) return sqlite3_result_null(c);
    double d = 0;
    if (!number(a[0], d)) return mismatch(c);
    sqlite3_result_int(c, d > 0 ? 1 : d < 0 ? -1 : 0);
}

void f_sqr(sqlite3_context* c, int, sqlite3_value** a)
{
    if (is_null(a[0])) return sqlite3_result_null(c);
    double d = 0;
    if (!number(a[0], d) || d < 0) return mismatch(c);
    sqlite3_result_double(c, std::sqrt(d));
}

void f_isnull(sqlite3_context* c, int, sqlite3_value** a) { sqlite3_result_int(c, is_null(a[0]) ? -1 : 0); }

void f_isnumeric(sqlite3_context* c, int, sqlite3_value** a)
{
    double d = 0;
    sqlite3_result_int(c, !is_null(a[0]) && number(a[0], d) ? -1 : 0);
}

void f_isdate(sqlite3_context* c, int, sqlite3_value** a)
{
    double d = 0;
    sqlite3_result_int(c, sqlite3_value_type(a[0]) == SQLITE_TEXT && date_of(a[0], d) ? -1 : 0);
}

// Format: named and custom date formats, named and simple custom number formats.
std::wstring format_date(double d, const std::wstring& fmt)
{
    static const wchar_t* months[] = {L"January", L"February", L"March", L"April", L"May", L"June", L"July",
                                      L"August", L"September", L"October", L"November", L"December"};
    static const wchar_t* days[] = {L"Sunday", L"Monday", L"Tuesday", L"Wednesday", L"Thursday", L"Friday", L"Saturday"};
    SYSTEMTIME st = parts(d);
    std::wstring f;
    for (wchar_t ch : fmt) f += static_cast<wchar_t>(std::towlower(ch));
    if (f == L"general date") return date_text(d);
    if (f == L"long date") return format_date(d, L"dddd, mmmm d, yyyy");
    if (f == L"medium date") return format_date(d, L"dd-mmm-yy");
    if (f == L"short date") return format_date(d, L"m/d/yyyy");
    if (f == L"long time") return format_date(d, L"h:nn:ss AM/PM");
    if (f == L"medium time") return format_date(d, L"hh:nn AM/PM");
    if (f == L"short time") return format_date(d, L"hh:nn");
    bool ampm = f.find(L"am/pm") != std::wstring::npos;
    std::wstring out;
    wchar_t buf[32];
    for (std::size_t i = 0; i < fmt.size();) {
        auto run = [&](wchar_t ch) {
            std::size_t n = 0;
            while (i + n < f.size() && f[i + n] == ch) ++n;
            return n;
        };
        wchar_t ch = f[i];
        if (f.compare(i, 5, L"am/pm") == 0) { out += st.wHour < 12 ? L"AM" : L"PM"; i += 5; continue; }
        if (ch == L'y') {
            std::size_t n = run(L'y');
            if (n >= 3) std::swprintf(buf, 32, L"%04d", st.wYear);
            else std::swprintf(buf, 32, L"%02d", st.wYear % 100);
            out += buf;
            i += n;
        } else if (ch == L'm') {
            std::size_t n = run(L'm');
            if (n >= 4) out += months[st.wMonth - 1];
            else if (n == 3) out += std::wstring(months[st.wMonth - 1]).substr(0, 3);
            else { std::swprintf(buf, 32, n == 2 ? L"%02d" : L"%d", st.wMonth); out += buf; }
            i += n;
        } else if (ch == L'd') {
            std::size_t n = run(L'd');
            int wd = weekday_of(d, 1) - 1;
            if (n >= 4) out += days[wd];
            else if (n == 3) out += std::wstring(days[wd]).substr(0, 3);
            else { std::swprintf(buf, 32, n == 2 ? L"%02d" : L"%d", st.wDay); out += buf; }
            i += n;
        } else if (ch == L'h') {
            std::size_t n = run(L'h');
            int h = ampm ? (st.wHour % 12 == 0 ? 12 : st.wHour % 12) : st.wHour;
            std::swprintf(buf, 32, n >= 2 ? L"%02d" : L"%d", h);
            out += buf;
            i += n;
        } else if (ch == L'n') {
            std::size_t n = run(L'n');
            std::swprintf(buf, 32, n >= 2 ? L"%02d" : L"%d", st.wMinute);
            out += buf;
            i += n;
        } else if (ch == L's') {
            std::size_t n = run(L's');
            std::swprintf(buf, 32, n >= 2 ? L"%02d" : L"%d", st.wSecond);
            out += buf;
            i += n;
        } else if (ch == L'q') {
            out += std::to_wstring((st.wMonth - 1) / 3 + 1);
            ++i;
        } else if (ch == L'\\' && i + 1 < fmt.size()) {
            out += fmt[i + 1];
            i += 2;
        } else {
            out += fmt[i++];
        }
    }
    return out;
}

std::wstring group_thousands(const std::wstring& digits)
{
    std::wstring out;
    int n = 0;
    for (std::size_t i = digits.size(); i-- > 0;) {
        if (n && n % 3 == 0) out.insert(out.begin(), L',');
        out.insert(out.begin(), digits[i]);
        ++n;
    }
    return out;
}

std::wstring fixed(double d, int decimals, bool thousands)
{
    wchar_t buf[128];
    std::swprintf(buf, 128, L"%.*f", decimals, std::fabs(d));
    std::wstring s = buf;
    std::size_t dot = s.find(L'.');
    std::wstring ip = s.substr(0, dot), fp = dot == std::wstring::npos ? L"" : s.substr(dot);
    if (thousands) ip = group_thousands(ip);
    bool neg = d < 0 && std::wcstod(buf, nullptr) != 0;
    return (neg ? L"-" : L"") + ip + fp;
}

std::wstring format_number(double d, const std::wstring& fmt, bool& handled)
{
    handled = true;
    std::wstring f;
    for (wchar_t ch : fmt) f += static_cast<wchar_t>(std::towlower(ch));
    if (f == L"general number") {
        wchar_t buf[64];
        std::swprintf(buf, 64, L"%.15g", d);
        return buf;
    }
    if (f == L"currency") return (d < 0 ? L"($" + fixed(-d, 2, true) + L")" : L"$" + fixed(d, 2, true));
    if (f == L"fixed") return fixed(d, 2, false);
    if (f == L"standard") return fixed(d, 2, true);
    if (f == L"percent") return fixed(d * 100, 2, false) + L"%";
    if (f == L"scientific") {
        wchar_t buf[64];
        std::swprintf(buf, 64, L"%.2E", d);
        return buf;
    }
    if (f == L"yes/no") return d != 0 ? L"Yes" : L"No";
    if (f == L"true/false") return d != 0 ? L"True" : L"False";
    if (f == L"on/off") return d != 0 ? L"On" : L"Off";
    // A custom number format of 0, #, "," and ".".
    if (!f.empty() && f.find_first_not_of(L"0#,.%") == std::wstring::npos) {
        std::size_t dot = f.find(L'.');
        int decimals = 0;
        if (dot != std::wstring::npos)
            for (std::size_t i = dot + 1; i < f.size(); ++i)
                if (f[i] == L'0' || f[i] == L'#') ++decimals;
        bool percent = f.find(L'%') != std::wstring::npos;
        bool thousands = f.find(L',') != std::wstring::npos;
        std::wstring s = fixed(percent ? d * 100 : d, decimals, thousands);
        // Optional decimals (#) drop trailing zeros.
        if (dot != std::wstring::npos && f.find(L'0', dot) == std::wstring::npos) {
            while (!s.empty() && s.back() == L'0') s.pop_back();
            if (!s.empty() && s.back() == L'.') s.pop_back();
        }
        std::size_t intzeros = std::count(f.begin(), dot == std::wstring::npos ? f.end() : f.begin() + static_cast<long>(dot), L'0');
        if (intzeros == 0 && (s.rfind(L"0.", 0) == 0)) s.erase(0, 1);
        // Zeros before the point give the least number of digits there.
        if (!thousands) {
            bool neg = !s.empty() && s[0] == L'-';
            std::size_t start = neg ? 1 : 0;
            std::size_t p = s.find(L'.');
            std::size_t digits = (p == std::wstring::npos ? s.size() : p) - start;
            if (digits < intzeros) s.insert(start, intzeros - digits, L'0');
        }
        return s + (percent ? L"%" : L"");
    }
    handled = false;
    return {};
}

void f_format(sqlite3_context* c, int argc, sqlite3_value** a)
{
    if (is_null(a[0])) return sqlite3_result_null(c);
    if (argc < 2 || is_null(a[1])) return result(c, text(a[0]));
    std::wstring fmt = text(a[1]);
    double d = 0;
    bool numeric = number(a[0], d);
    if (!numeric && !date_of(a[0], d)) return result(c, text(a[0]));
    bool handled = false;
    std::wstring s = format_number(d, fmt, handled);
    if (handled) return result(c, s);
    result(c, format_date(d, fmt));
}

// ---- aggregates
struct first_last {
    bool set = false;
    sqlite3_value* v = nullptr;
};

template <bool Last>
void agg_step(sqlite3_context* c, int, sqlite3_value** a)
{
    auto* s = static_cast<first_last*>(sqlite3_aggregate_context(c, sizeof(first_last)));
    if (!s) return;
    if (s->set && !Last) return;
    if (s->v) sqlite3_value_free(s->v);
    s->v = sqlite3_value_dup(a[0]);
    s->set = true;
}

void agg_final(sqlite3_context* c)
{
    auto* s = static_cast<first_last*>(sqlite3_aggregate_context(c, 0));
    if (!s || !s->v) return sqlite3_result_null(c);
    sqlite3_result_value(c, s->v);
    sqlite3_value_free(s->v);
    s->v = nullptr;
}

struct moments {
    double n = 0, mean = 0, m2 = 0;
};

void var_step(sqlite3_context* c, int, sqlite3_value** a)
{
    auto* s = static_cast<moments*>(sqlite3_aggregate_context(c, sizeof(moments)));
    double x = 0;
    if (!s || is_null(a[0]) || !number(a[0], x)) return;
    s->n += 1;
    double delta = x - s->mean;
    s->mean += delta / s->n;
    s->m2 += delta * (x - s->mean);
}

template <bool Sample, bool Root>
void var_final(sqlite3_context* c)
{
    auto* s = static_cast<moments*>(sqlite3_aggregate_context(c, 0));
    double n = s ? s->n : 0;
    if (n < (Sample ? 2 : 1)) return sqlite3_result_null(c);
    double v = s->m2 / (Sample ? n - 1 : n);
    sqlite3_result_double(c, Root ? std::sqrt(v) : v);
}

// No exception may cross into SQLite: one that escapes a function becomes the statement's error.
template <void (*F)(sqlite3_context*, int, sqlite3_value**)>
void safe(sqlite3_context* c, int n, sqlite3_value** a)
{
    try {
        F(c, n, a);
    } catch (const std::bad_alloc&) {
        sqlite3_result_error_nomem(c);
    } catch (const std::exception& x) {
        sqlite3_result_error(c, x.what(), -1);
    }
}

} // namespace

void register_access_functions(sqlite3* db)
{
    struct fn {
        const char* name;
        int args;
        void (*f)(sqlite3_context*, int, sqlite3_value**);
    };
    const int det = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_SUBTYPE;
    static const fn list[] = {
        {"dao_len", 1, safe<f_len>}, {"dao_left", 2, safe<f_left>}, {"dao_right", 2, safe<f_right>}, {"dao_mid", 2, safe<f_mid>},
        {"dao_mid", 3, safe<f_mid>}, {"dao_instr", 2, safe<f_instr>}, {"dao_instr", 3, safe<f_instr>}, {"dao_instr", 4, safe<f_instr>},
        {"dao_upper", 1, safe<f_case<1>>}, {"dao_lower", 1, safe<f_case<0>>}, {"dao_trim", 1, safe<f_trim<true, true>>},
        {"dao_ltrim", 1, safe<f_trim<true, false>>}, {"dao_rtrim", 1, safe<f_trim<false, true>>}, {"dao_space", 1, safe<f_space>},
        {"dao_chr", 1, safe<f_chr>}, {"dao_asc", 1, safe<f_asc>}, {"dao_strcomp", 2, safe<f_strcomp>}, {"dao_strcomp", 3, safe<f_strcomp>},
        {"dao_replace", 3, safe<f_replace>}, {"dao_format", 1, safe<f_format>}, {"dao_format", 2, safe<f_format>},
        {"dao_cat", 2, safe<f_cat>}, {"dao_add", 2, safe<f_add>}, {"dao_div", 2, safe<f_div>}, {"dao_idiv", 2, safe<f_idiv>},
        {"dao_mod", 2, safe<f_mod>}, {"dao_pow", 2, safe<f_pow>}, {"dao_imp", 2, safe<f_logic<0>>}, {"dao_eqv", 2, safe<f_logic<1>>},
        {"dao_xor", 2, safe<f_logic<2>>}, {"dao_like", 2, safe<f_like>},
        {"dao_year", 1, safe<f_part<0>>}, {"dao_month", 1, safe<f_part<1>>}, {"dao_day", 1, safe<f_part<2>>},
        {"dao_hour", 1, safe<f_part<3>>}, {"dao_minute", 1, safe<f_part<4>>}, {"dao_second", 1, safe<f_part<5>>},
        {"dao_weekday", 1, safe<f_weekday>}, {"dao_weekday", 2, safe<f_weekday>},
        {"dao_dateadd", 3, safe<f_dateadd>}, {"dao_datediff", 3, safe<f_datediff>}, {"dao_datediff", 4, safe<f_datediff>},
        {"dao_datediff", 5, safe<f_datediff>}, {"dao_datepart", 2, safe<f_datepart>}, {"dao_datepart", 3, safe<f_datepart>},
        {"dao_datepart", 4, safe<f_datepart>}, {"dao_dateserial", 3, safe<f_dateserial>}, {"dao_timeserial", 3, safe<f_timeserial>},
        {"dao_datevalue", 1, safe<f_datevalue>}, {"dao_cdate", 1, safe<f_cdate>}, {"dao_cint", 1, safe<f_cint<16>>},
        {"dao_clng", 1, safe<f_cint<32>>}, {"dao_cdbl", 1, safe<f_cdbl>}, {"dao_cstr", 1, safe<f_cstr>}, {"dao_cbool", 1, safe<f_cbool>},
        {"dao_ccur", 1, safe<f_ccur>}, {"dao_val", 1, safe<f_val>}, {"dao_int", 1, safe<f_int>}, {"dao_fix", 1, safe<f_fix>},
        {"dao_round", 1, safe<f_round>}, {"dao_round", 2, safe<f_round>}, {"dao_sgn", 1, safe<f_sgn>}, {"dao_sqr", 1, safe<f_sqr>},
        {"dao_isnull", 1, safe<f_isnull>}, {"dao_dl", 1, safe<f_datelit>}, {"dao_isnumeric", 1, safe<f_isnumeric>}, {"dao_isdate", 1, safe<f_isdate>},
    };
    for (const fn& f : list) sqlite3_create_function(db, f.name, f.args, det, nullptr, f.f, nullptr, nullptr);
    // The clock is not deterministic.
    sqlite3_create_function(db, "dao_today", 0, SQLITE_UTF8, nullptr, safe<f_today>, nullptr, nullptr);
    sqlite3_create_function(db, "dao_now", 0, SQLITE_UTF8, nullptr, safe<f_now>, nullptr, nullptr);
    sqlite3_create_function(db, "dao_time", 0, SQLITE_UTF8, nullptr, safe<f_time>, nullptr, nullptr);
    sqlite3_create_function(db, "dao_first", 1, SQLITE_UTF8 | SQLITE_SUBTYPE, nullptr, nullptr, agg_step<false>, agg_final);
    sqlite3_create_function(db, "dao_last", 1, SQLITE_UTF8 | SQLITE_SUBTYPE, nullptr, nullptr, agg_step<true>, agg_final);
    sqlite3_create_function(db, "dao_stdev", 1, SQLITE_UTF8, nullptr, nullptr, var_step, var_final<true, true>);
    sqlite3_create_function(db, "dao_stdevp", 1, SQLITE_UTF8, nullptr, nullptr, var_step, var_final<false, true>);
    sqlite3_create_function(db, "dao_var", 1, SQLITE_UTF8, nullptr, nullptr, var_step, var_final<true, false>);
    sqlite3_create_function(db, "dao_varp", 1, SQLITE_UTF8, nullptr, nullptr, var_step, var_final<false, false>);
}

} // namespace daoimpl

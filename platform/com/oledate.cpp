// OLE Automation substitute: automation dates to and from calendar fields and text.
#include "platform/com/oleauto.h"
#include "platform/com/oleauto_text.h"

#include <cmath>
#include <cwctype>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr double min_date = -657435.0; // exclusive: 0100-01-01 is day -657434
constexpr double max_date = 2958466.0; // exclusive: 9999-12-31 is day 2958465
constexpr int64_t us_per_day = 86400LL * 1000000LL;

bool is_leap(int y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int month_days(int y, int m)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap(y) ? 29 : days[m - 1];
}

// Days from 1899-12-30 to the given proleptic Gregorian date.
int64_t days_from_civil(int64_t y, int m, int d)
{
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    int64_t unix_days = era * 146097 + doe - 719468;
    return unix_days + 25569; // 1970-01-01 is day 25569
}

void civil_from_days(int64_t days, int* y, int* m, int* d)
{
    int64_t z = days - 25569 + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t yy = yoe + era * 400;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int dd = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    int mm = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *y = static_cast<int>(yy + (mm <= 2));
    *m = mm;
    *d = dd;
}

struct split_date {
    int64_t day = 0; // days since 1899-12-30
    int64_t units = 0; // time of day in the requested unit
};

// Splits an automation date into its day and the time of day counted in units (units_per_day a
// divisor of microseconds per day); the time is rounded to the unit, carrying into the next day
// except past the last valid day.
bool split(DATE d, int64_t units_per_day, split_date* out)
{
    if (!(d > min_date && d < max_date))
        return false;
    double whole = std::trunc(d);
    double frac = std::fabs(d - whole);
    int64_t day = static_cast<int64_t>(whole);
    int64_t u = std::llround(frac * static_cast<double>(units_per_day));
    if (u >= units_per_day) {
        if (day + 1 <= static_cast<int64_t>(max_date) - 1) {
            u -= units_per_day;
            ++day;
        } else {
            u = units_per_day - 1;
        }
    }
    out->day = day;
    out->units = u;
    return true;
}

void fill_systemtime(int64_t day, int64_t us, SYSTEMTIME* st)
{
    int y, m, dd;
    civil_from_days(day, &y, &m, &dd);
    st->wYear = static_cast<uint16_t>(y);
    st->wMonth = static_cast<uint16_t>(m);
    st->wDay = static_cast<uint16_t>(dd);
    st->wDayOfWeek = static_cast<uint16_t>(((day % 7) + 7 + 6) % 7); // 1899-12-30 was a Saturday
    int64_t secs = us / 1000000;
    st->wHour = static_cast<uint16_t>(secs / 3600);
    st->wMinute = static_cast<uint16_t>(secs / 60 % 60);
    st->wSecond = static_cast<uint16_t>(secs % 60);
    st->wMilliseconds = static_cast<uint16_t>(us / 1000 % 1000);
}

bool fields_valid(int y, int m, int d, int h, int mi, int s)
{
    return y >= 100 && y <= 9999 && m >= 1 && m <= 12 && d >= 1 && d <= month_days(y, m) && h >= 0 &&
           h < 24 && mi >= 0 && mi < 60 && s >= 0 && s < 60;
}

DATE compose(int64_t day, int64_t us)
{
    double t = static_cast<double>(us) / static_cast<double>(us_per_day);
    return day >= 0 ? static_cast<double>(day) + t : static_cast<double>(day) - t;
}

} // namespace

int VariantTimeToSystemTimeUs(DATE d, SYSTEMTIME* st, int32_t* micro)
{
    split_date s;
    if (!st || !split(d, us_per_day, &s))
        return 0;
    fill_systemtime(s.day, s.units, st);
    if (micro)
        *micro = static_cast<int32_t>(s.units % 1000000);
    return 1;
}

int VariantTimeToSystemTime(DATE d, SYSTEMTIME* st)
{
    split_date s;
    if (!st || !split(d, 86400LL * 1000, &s))
        return 0;
    fill_systemtime(s.day, s.units * 1000, st);
    return 1;
}

int SystemTimeUsToVariantTime(const SYSTEMTIME* st, int32_t micro, DATE* d)
{
    if (!st || !d || micro < 0 || micro > 999999)
        return 0;
    if (!fields_valid(st->wYear, st->wMonth, st->wDay, st->wHour, st->wMinute, st->wSecond))
        return 0;
    int64_t day = days_from_civil(st->wYear, st->wMonth, st->wDay);
    int64_t us = (int64_t(st->wHour) * 3600 + st->wMinute * 60 + st->wSecond) * 1000000LL + micro;
    *d = compose(day, us);
    return 1;
}

int SystemTimeToVariantTime(const SYSTEMTIME* st, DATE* d)
{
    if (!st || st->wMilliseconds > 999)
        return 0;
    return SystemTimeUsToVariantTime(st, int32_t(st->wMilliseconds) * 1000, d);
}

namespace oleauto_detail {

bool date_in_range(double d)
{
    return d > min_date && d < max_date;
}

HRESULT date_to_text(DATE d, ULONG flags, std::wstring* out)
{
    split_date s;
    if (!split(d, 86400, &s))
        return DISP_E_OVERFLOW;
    int y, m, dd;
    civil_from_days(s.day, &y, &m, &dd);
    wchar_t date[16], time[16];
    std::swprintf(date, 16, L"%04d-%02d-%02d", y, m, dd);
    std::swprintf(time, 16, L"%02d:%02d:%02d", int(s.units / 3600), int(s.units / 60 % 60), int(s.units % 60));
    if (flags & VAR_TIMEVALUEONLY)
        *out = time;
    else if (flags & VAR_DATEVALUEONLY)
        *out = date;
    else if (s.units == 0)
        *out = date;
    else if (s.day == 0)
        *out = time;
    else
        *out = std::wstring(date) + L" " + time;
    return S_OK;
}

namespace {

struct token {
    enum kind_t { number, word, sep } kind;
    std::wstring text;
    long value = 0;
};

bool tokenize(const std::wstring& s, std::vector<token>* out)
{
    size_t i = 0, n = s.size();
    while (i < n) {
        wchar_t c = s[i];
        if (c >= L'0' && c <= L'9') {
            size_t b = i;
            long v = 0;
            while (i < n && s[i] >= L'0' && s[i] <= L'9') {
                if (v < 100000000)
                    v = v * 10 + (s[i] - L'0');
                ++i;
            }
            out->push_back({token::number, s.substr(b, i - b), v});
        } else if (std::iswalpha(static_cast<wint_t>(c))) {
            size_t b = i;
            while (i < n && std::iswalpha(static_cast<wint_t>(s[i])))
                ++i;
            std::wstring w = s.substr(b, i - b);
            for (auto& ch : w)
                ch = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(ch)));
            out->push_back({token::word, w, 0});
        } else if (c == L' ' || c == L'\t' || c == 0xA0) {
            ++i; // blanks only separate
        } else if (c == L'/' || c == L'-' || c == L'.' || c == L':' || c == L',') {
            out->push_back({token::sep, std::wstring(1, c), 0});
            ++i;
        } else {
            return false;
        }
    }
    return true;
}

int month_of_word(const std::wstring& w)
{
    static const wchar_t* names[] = {L"january", L"february", L"march", L"april", L"may", L"june",
                                     L"july", L"august", L"september", L"october", L"november", L"december"};
    if (w.size() < 3)
        return 0;
    for (int i = 0; i < 12; ++i) {
        std::wstring full = names[i];
        if (w.size() <= full.size() && full.compare(0, w.size(), w) == 0)
            return i + 1;
        if (i == 8 && w == L"sept")
            return 9;
    }
    return 0;
}

bool is_weekday(const std::wstring& w)
{
    static const wchar_t* names[] = {L"sunday", L"monday", L"tuesday", L"wednesday", L"thursday",
                                     L"friday", L"saturday"};
    if (w.size() < 3)
        return false;
    for (auto* nm : names) {
        std::wstring full = nm;
        if (w.size() <= full.size() && full.compare(0, w.size(), w) == 0)
            return true;
    }
    return false;
}

int expand_year(const token& t)
{
    if (t.text.size() <= 2)
        return t.value < 30 ? 2000 + int(t.value) : 1900 + int(t.value);
    return static_cast<int>(t.value);
}

} // namespace

// Accepts a date (year-month-day, month/day/year, day.month.year, or with an English month name),
// a time (h:mm[:ss[.fff]] with an optional AM/PM marker), or a date followed by a time.
HRESULT date_from_text(const std::wstring& text, DATE* out)
{
    std::vector<token> t;
    if (!tokenize(text, &t) || t.empty())
        return DISP_E_TYPEMISMATCH;
    // Separators stand between parts: none may open the text, and only "." (an abbreviation) may
    // close it.
    if (t.front().kind == token::sep || (t.back().kind == token::sep && t.back().text != L"."))
        return DISP_E_TYPEMISMATCH;

    // The time: number ':' number [':' number ['.' number]] [am|pm|a|p].
    int hour = 0, minute = 0;
    int64_t us = 0;
    bool have_time = false;
    for (size_t i = 0; i + 2 < t.size() + 0 && !have_time; ++i) {
        if (t[i].kind != token::number || t[i + 1].kind != token::sep || t[i + 1].text != L":" ||
            t[i + 2].kind != token::number)
            continue;
        size_t b = i, e = i + 3;
        hour = static_cast<int>(t[i].value);
        minute = static_cast<int>(t[i + 2].value);
        int sec = 0;
        if (e + 1 < t.size() && t[e].kind == token::sep && t[e].text == L":" && t[e + 1].kind == token::number) {
            sec = static_cast<int>(t[e + 1].value);
            e += 2;
            if (e + 1 < t.size() && t[e].kind == token::sep && t[e].text == L"." &&
                t[e + 1].kind == token::number) {
                std::wstring f = t[e + 1].text.substr(0, 9);
                f.resize(9, L'0');
                long long nanos = std::stoll(f);
                us = (nanos + 500) / 1000;
                e += 2;
            }
        }
        if (hour > 23 || minute > 59 || sec > 59)
            return DISP_E_TYPEMISMATCH;
        if (e < t.size() && t[e].kind == token::word) {
            const std::wstring& w = t[e].text;
            bool am = w == L"am" || w == L"a", pm = w == L"pm" || w == L"p";
            if (am || pm) {
                if (hour < 1 || hour > 12)
                    return DISP_E_TYPEMISMATCH;
                if (am && hour == 12)
                    hour = 0;
                if (pm && hour != 12)
                    hour += 12;
                ++e;
            }
        }
        us += (int64_t(hour) * 3600 + minute * 60 + sec) * 1000000LL;
        if (us >= us_per_day)
            us = us_per_day - 1;
        t.erase(t.begin() + static_cast<long>(b), t.begin() + static_cast<long>(e));
        have_time = true;
    }

    // The date from what is left.
    std::vector<token> nums;
    int month_word = 0;
    bool dot = false;
    for (const token& k : t) {
        if (k.kind == token::number)
            nums.push_back(k);
        else if (k.kind == token::word) {
            int mw = month_of_word(k.text);
            if (mw && !month_word)
                month_word = mw;
            else if (k.text == L"t" && have_time)
                ; // "2020-12-25T10:00"
            else if (!is_weekday(k.text))
                return DISP_E_TYPEMISMATCH;
        } else if (k.text == L".")
            dot = true;
        else if (k.text == L":")
            return DISP_E_TYPEMISMATCH;
    }
    if (nums.empty() && !month_word) {
        if (!have_time)
            return DISP_E_TYPEMISMATCH;
        *out = compose(0, us);
        return S_OK;
    }
    int y = 0, m = 0, d = 0;
    if (month_word) {
        if (nums.size() != 2)
            return DISP_E_TYPEMISMATCH;
        m = month_word;
        if (nums[0].text.size() > 2 || nums[0].value > 31) {
            y = expand_year(nums[0]);
            d = static_cast<int>(nums[1].value);
        } else {
            d = static_cast<int>(nums[0].value);
            y = expand_year(nums[1]);
        }
    } else {
        if (nums.size() != 3)
            return DISP_E_TYPEMISMATCH;
        if (nums[0].text.size() > 2 || nums[0].value > 31) {
            y = expand_year(nums[0]);
            m = static_cast<int>(nums[1].value);
            d = static_cast<int>(nums[2].value);
        } else if (dot) {
            d = static_cast<int>(nums[0].value);
            m = static_cast<int>(nums[1].value);
            y = expand_year(nums[2]);
        } else {
            m = static_cast<int>(nums[0].value);
            d = static_cast<int>(nums[1].value);
            y = expand_year(nums[2]);
            if (m > 12 && d <= 12)
                std::swap(m, d);
        }
    }
    if (!fields_valid(y, m, d, 0, 0, 0))
        return DISP_E_TYPEMISMATCH;
    *out = compose(days_from_civil(y, m, d), us);
    return S_OK;
}

} // namespace oleauto_detail

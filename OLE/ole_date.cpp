// ole_date: parsing, checking and printing of date and time values.
#include "OLE/ole_date.h"

#include <cstdio>

#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "platform/win/win_utf.h"

namespace {

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

bool all_digits(const std::string& s)
{
    for (char c : s)
        if (!is_digit(c))
            return false;
    return !s.empty();
}

int digits_value(const std::string& s, size_t pos, size_t len)
{
    int v = 0;
    for (size_t i = pos; i < pos + len; ++i)
        v = v * 10 + (s[i] - '0');
    return v;
}

// Reads 1 to 5 digits at pos; false when there are none (or too many for a date field).
bool read_number(const std::string& s, size_t& pos, int& value)
{
    size_t b = pos;
    while (pos < s.size() && is_digit(s[pos]))
        ++pos;
    if (pos == b || pos - b > 5)
        return false;
    value = digits_value(s, b, pos - b);
    return true;
}

bool read_char(const std::string& s, size_t& pos, char c)
{
    if (pos < s.size() && s[pos] == c) {
        ++pos;
        return true;
    }
    return false;
}

uint16_t u16(int v)
{
    return static_cast<uint16_t>(v);
}

} // namespace


ole_date::ole_date(const SYSTEMTIME& time) : m_kind(date_time), m_time(time)
{
    m_time.wDayOfWeek = 0;
    refine_type();
}

ole_date::ole_date(const VARIANT& value)
{
    if (value.vt == VT_EMPTY || value.vt == VT_NULL)
        return;
    if (value.vt != VT_DATE)
        TK_MAIL_ASSERT();
    SYSTEMTIME st{};
    int32_t micro = 0;
    if (!VariantTimeToSystemTimeUs(value.date, &st, &micro)) {
        tk_log_write(2, "Failed to convert VARIANT->SYSTEMTIME");
        return;
    }
    st.wDayOfWeek = 0;
    m_time = st;
    m_microseconds = micro;
    m_kind = date_time;
    refine_type();
}

ole_date::ole_date(const std::string& text)
{
    import_from_string(text);
}

ole_date::ole_date(const std::wstring& text)
{
    std::string ansi;
    if (!tk_unicode_to_ansi3(text.c_str(), ansi)) {
        tk_log_write(2, "Invalid date/time format: '%s'", "<not convertible>");
        return;
    }
    import_from_string(ansi);
}

bool ole_date::is_leap_year(int year)
{
    if (year <= 0)
        ++year;
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int ole_date::days_in_month(int year, int month)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12)
        return 0;
    return month == 2 && is_leap_year(year) ? 29 : days[month - 1];
}

void ole_date::refine_type()
{
    const SYSTEMTIME& t = m_time;
    tk_log_write(1, "ole_date::refine_type(%d,%d,%d,%d,%d,%d)", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                 t.wSecond);
    if (m_kind != date_time)
        return;
    if (t.wYear == 0 && t.wMonth == 0 && t.wDay == 0) {
        tk_log_write(1, "Switch to 'pure' time");
        m_kind = time_only;
    } else if (t.wHour == 0 && t.wMinute == 0 && t.wSecond == 0 && t.wMilliseconds == 0 && m_microseconds == 0 &&
               t.wYear != 0 && t.wMonth != 0 && t.wDay != 0) {
        tk_log_write(1, "Switch to 'pure' date");
        m_kind = date_only;
    }
}

bool ole_date::check() const
{
    const SYSTEMTIME& t = m_time;
    if (t.wYear == 0 && t.wMonth == 0 && t.wDay == 0) {
        tk_log_write(1, "DATETIME is a pute time");
    } else {
        if (t.wMonth == 0 || t.wMonth > 12) {
            tk_log_write(1, "Invalid month");
            return false;
        }
        if (t.wDay > 31) {
            tk_log_write(1, "Invalid day (1)");
            return false;
        }
        if (t.wDay > days_in_month(t.wYear, t.wMonth)) {
            tk_log_write(1, "Invalid day (2)");
            return false;
        }
        if (t.wDay == 0 || t.wMonth == 0 || t.wYear == 0) {
            tk_log_write(1, "Got zero day/month/year");
            return false;
        }
        if (t.wYear > 9999) {
            tk_log_write(1, "Invalid year");
            return false;
        }
    }
    if (t.wHour > 23 || t.wMinute > 59 || t.wSecond > 59 || t.wMilliseconds > 999 || m_microseconds < 0 ||
        m_microseconds > 999999) {
        tk_log_write(2, "Invalid time");
        return false;
    }
    return true;
}

bool ole_date::is_valid() const
{
    if (m_kind == empty)
        return false;
    return check();
}

// The seconds text: a decimal number whose whole part is the second and whose fraction gives the
// milli- and microseconds (rounded); a fraction that rounds to a whole second carries into the
// minute, hour and, when the value has a date, the day.
bool ole_date::process_milliseconds(const std::string& seconds)
{
    size_t pos = 0;
    int whole = 0;
    if (!read_number(seconds, pos, whole) || pos > 4)
        return false;
    std::string frac;
    if (read_char(seconds, pos, '.')) {
        size_t b = pos;
        while (pos < seconds.size() && is_digit(seconds[pos]))
            ++pos;
        frac = seconds.substr(b, pos - b);
    }
    if (pos != seconds.size())
        return false;
    // Microseconds from the first seven fraction digits, rounded half up.
    std::string seven = frac.substr(0, 7);
    seven.resize(7, '0');
    int64_t tenths_of_us = 0;
    for (char c : seven)
        tenths_of_us = tenths_of_us * 10 + (c - '0');
    int64_t micro = (tenths_of_us + 5) / 10;
    m_time.wSecond = u16(whole);
    if (micro >= 1000000) {
        micro = 0;
        if (whole < 60) {
            int s = whole + 1, mi = m_time.wMinute, h = m_time.wHour;
            if (s == 60) {
                s = 0;
                ++mi;
            }
            if (mi == 60) {
                mi = 0;
                ++h;
            }
            if (h > 23) {
                bool has_date = m_time.wYear || m_time.wMonth || m_time.wDay;
                if (has_date && m_time.wMonth >= 1 && m_time.wMonth <= 12) {
                    h = 0;
                    int d = m_time.wDay + 1, mo = m_time.wMonth, y = m_time.wYear;
                    if (d > days_in_month(y, mo)) {
                        d = 1;
                        if (++mo > 12) {
                            mo = 1;
                            ++y;
                        }
                    }
                    m_time.wYear = u16(y);
                    m_time.wMonth = u16(mo);
                    m_time.wDay = u16(d);
                } else {
                    // A time alone cannot pass midnight: keep the last moment of the day.
                    h = 23;
                    mi = 59;
                    s = 59;
                    micro = 999999;
                }
            }
            m_time.wSecond = u16(s);
            m_time.wMinute = u16(mi);
            m_time.wHour = u16(h);
        } else {
            m_time.wSecond = u16(whole + 1);
        }
    }
    m_microseconds = static_cast<int32_t>(micro);
    int64_t ms = (micro + 500) / 1000;
    m_time.wMilliseconds = u16(ms > 999 ? 999 : static_cast<int>(ms));
    return true;
}

// The fixed layouts, in order; true when one yields a valid value.
bool ole_date::parse_fixed(const std::string& s)
{
    auto reset = [this] {
        m_time = SYSTEMTIME{};
        m_microseconds = 0;
        m_kind = empty;
    };
    auto swap_day_year = [this](int& y, int& d) {
        if (d > 31 && y < 32) {
            tk_log_write(2, "Swap day and year: day=%d, year=%d", d, y);
            std::swap(d, y);
        }
    };

    // 1. YYYYMMDDhhmmss
    if (s.size() == 14 && all_digits(s)) {
        reset();
        int y = digits_value(s, 0, 4), d = digits_value(s, 6, 2);
        swap_day_year(y, d);
        m_time.wYear = u16(y);
        m_time.wMonth = u16(digits_value(s, 4, 2));
        m_time.wDay = u16(d);
        m_time.wHour = u16(digits_value(s, 8, 2));
        m_time.wMinute = u16(digits_value(s, 10, 2));
        m_time.wSecond = u16(digits_value(s, 12, 2));
        m_kind = date_time;
        if (check())
            return true;
    }
    // 2. YYYYMMDD
    if (s.size() == 8 && all_digits(s)) {
        reset();
        m_time.wYear = u16(digits_value(s, 0, 4));
        m_time.wMonth = u16(digits_value(s, 4, 2));
        m_time.wDay = u16(digits_value(s, 6, 2));
        m_kind = date_only;
        if (check())
            return true;
    }
    // 3. h:m or h:m:seconds
    {
        reset();
        size_t pos = 0;
        int h = 0, mi = 0;
        if (read_number(s, pos, h) && read_char(s, pos, ':') && read_number(s, pos, mi)) {
            m_time.wHour = u16(h);
            m_time.wMinute = u16(mi);
            bool ok = false;
            if (pos == s.size())
                ok = true;
            else if (read_char(s, pos, ':'))
                ok = process_milliseconds(s.substr(pos));
            if (ok) {
                m_kind = time_only;
                if (check())
                    return true;
            }
        }
    }
    // 4. y-m-d, y/m/d, y.m.d, each alone or followed by h:m[:seconds]
    for (char sep : {'-', '/', '.'}) {
        reset();
        size_t pos = 0;
        int y = 0, mo = 0, d = 0;
        if (!(read_number(s, pos, y) && read_char(s, pos, sep) && read_number(s, pos, mo) &&
              read_char(s, pos, sep) && read_number(s, pos, d)))
            continue;
        swap_day_year(y, d);
        m_time.wYear = u16(y);
        m_time.wMonth = u16(mo);
        m_time.wDay = u16(d);
        if (pos == s.size()) {
            m_kind = date_only;
            if (check())
                return true;
            continue;
        }
        size_t blanks = pos;
        while (pos < s.size() && s[pos] == ' ')
            ++pos;
        int h = 0, mi = 0;
        if (pos == blanks || !read_number(s, pos, h) || !read_char(s, pos, ':') || !read_number(s, pos, mi))
            continue;
        m_time.wHour = u16(h);
        m_time.wMinute = u16(mi);
        if (pos != s.size()) {
            if (!read_char(s, pos, ':') || !process_milliseconds(s.substr(pos)))
                continue;
        }
        m_kind = date_time;
        refine_type();
        if (check())
            return true;
    }
    reset();
    return false;
}

void ole_date::import_from_string(const std::string& text)
{
    tk_log_write(1, "ole_date::import_from_string(%s)", text.c_str());
    m_kind = empty;
    m_microseconds = 0;
    m_time = SYSTEMTIME{};

    std::string s = tk_trim(text);
    bool am = false, pm = false;
    size_t marker = std::string::npos;
    for (const char* m : {"AM", "PM", "am", "pm"}) {
        marker = s.find(m);
        if (marker != std::string::npos) {
            am = m[0] == 'A' || m[0] == 'a';
            pm = !am;
            break;
        }
    }
    if (marker != std::string::npos) {
        if (!tk_trim(s.substr(marker + 2)).empty()) {
            tk_log_write(2, "Invalid date/time format: '%s'", text.c_str());
            return;
        }
        s = tk_trim(s.substr(0, marker));
    }
    if (s.size() <= 4) {
        tk_log_write(2, "Invalid date/time format: '%s'", text.c_str());
        return;
    }
    if (!parse_fixed(s)) {
        DATE d = 0;
        SYSTEMTIME st{};
        int32_t micro = 0;
        std::wstring wide;
        bool converted = true;
        try {
            wide = tk_to_wstring(s);
        } catch (const tk_exception&) {
            converted = false;
        }
        if (converted && SUCCEEDED(VarDateFromStr(wide.c_str(), LOCALE_USER_DEFAULT, 0, &d)) &&
            VariantTimeToSystemTimeUs(d, &st, &micro)) {
            tk_log_write(1, "Got datetime using Microsoft API");
            st.wDayOfWeek = 0;
            // A time alone comes back on day 0 of the automation calendar.
            if (d > -1.0 && d < 1.0 && s.find(':') != std::string::npos && s.find_first_of("-/.,") == std::string::npos) {
                st.wYear = st.wMonth = st.wDay = 0;
            }
            m_time = st;
            m_microseconds = micro;
            m_kind = date_time;
            refine_type();
        } else {
            m_kind = empty;
            tk_log_write(2, "Invalid date/time format: '%s'", text.c_str());
            return;
        }
    }
    if (pm && m_time.wHour < 12)
        m_time.wHour = u16(m_time.wHour + 12);
    if (am && m_time.wHour == 12) {
        m_time.wHour = 0;
        refine_type();
    }
}

namespace {

// Appends v in decimal, zero-padded to at least width digits (printf's "%0*d" for v >= 0).
void append_number(std::string& out, long v, int width)
{
    if (v < 0) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%0*ld", width, v);
        out += buf;
        return;
    }
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n < width)
        digits[n++] = '0';
    while (n > 0)
        out += digits[--n];
}

} // namespace

std::string ole_date::format(int fraction_digits, bool narrow) const
{
    const SYSTEMTIME& t = m_time;
    const int hour = t.wHour % 24;
    const bool no_fraction = fraction_digits == 0 || (m_microseconds == 0 && t.wMilliseconds == 0);
    std::string out;
    out.reserve(32);
    auto date_text = [&] {
        append_number(out, t.wYear, 4);
        out += '-';
        append_number(out, t.wMonth, 2);
        out += '-';
        append_number(out, t.wDay, 2);
    };
    auto time_text = [&] {
        append_number(out, hour, 2);
        out += ':';
        append_number(out, t.wMinute, 2);
        out += ':';
        append_number(out, t.wSecond, 2);
        if (no_fraction)
            return;
        out += '.';
        if (fraction_digits == 6 && m_microseconds != 0)
            append_number(out, static_cast<long>(int(m_microseconds)), 6);
        else
            append_number(out, t.wMilliseconds, 3);
    };
    switch (m_kind) {
    case date_time:
        date_text();
        if (t.wHour == 0 && t.wMinute == 0 && t.wSecond == 0 && t.wMilliseconds == 0 && m_microseconds == 0)
            return out;
        out += ' ';
        time_text();
        return out;
    case date_only:
        date_text();
        return out;
    case time_only:
        if (narrow)
            out += "0000-00-00 ";
        time_text();
        return out;
    default:
        return std::string();
    }
}

std::string ole_date::to_string(int fraction_digits) const
{
    tk_log_write(1, "ole_date::to_string(%d)", fraction_digits);
    return format(fraction_digits, true);
}

std::wstring ole_date::to_wstring(int fraction_digits) const
{
    return win_wide_from_utf8(format(fraction_digits, false));
}

bool ole_date::to_variant_time(DATE& out) const
{
    if (!is_valid())
        return false;
    SYSTEMTIME st = m_time;
    if (m_kind == time_only) {
        st.wYear = 1899;
        st.wMonth = 12;
        st.wDay = 30;
    }
    int32_t micro = m_microseconds ? m_microseconds : int32_t(st.wMilliseconds) * 1000;
    return SystemTimeUsToVariantTime(&st, micro, &out) != 0;
}

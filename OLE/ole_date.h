// ole_date: a date and time value (date-time, date only or time only, with micro- and milliseconds).
#pragma once

#include <cstdint>
#include <string>

#include "platform/com/oleauto.h"

class ole_date {
public:
    enum kind_t : int32_t { empty = 0, date_time = 1, date_only = 2, time_only = 3 };

    ole_date() = default;
    explicit ole_date(const SYSTEMTIME& time);
    // VT_DATE: the automation date; VT_EMPTY, VT_NULL: an empty date; other types: internal error.
    explicit ole_date(const VARIANT& value);
    // Parses text in one of the accepted layouts; an unreadable text leaves the date empty.
    explicit ole_date(const std::string& text);
    explicit ole_date(const std::wstring& text);

    bool is_valid() const;
    // fraction_digits 6 prints microseconds when there are any, 0 prints no fraction.
    std::string to_string(int fraction_digits) const;
    std::wstring to_wstring(int fraction_digits) const;

    kind_t kind() const { return m_kind; }
    int32_t microseconds() const { return m_microseconds; }
    const SYSTEMTIME& get_systemtime() const { return m_time; }

    // The automation date of the value (a time alone lies on day 0); false when the value is
    // empty, invalid or outside the years 100 to 9999.
    bool to_variant_time(DATE& out) const;

    // Calendar rules used by the checks.
    static bool is_leap_year(int year);
    static int days_in_month(int year, int month);

private:
    void refine_type();
    void import_from_string(const std::string& text);
    bool parse_fixed(const std::string& text);
    bool process_milliseconds(const std::string& seconds);
    bool check() const;
    std::string format(int fraction_digits, bool narrow) const;

    kind_t m_kind = empty;
    int32_t m_microseconds = 0;
    SYSTEMTIME m_time{};
};

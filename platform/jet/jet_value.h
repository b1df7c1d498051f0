// Typed cell values read from an Access file: one small tagged union, no automation types.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace jet {

// Column data types as the file stores them (one byte in the column definition).
enum class column_type : std::uint8_t {
    boolean      = 0x01,
    byte         = 0x02,
    integer      = 0x03,   // 16-bit
    long_integer = 0x04,   // 32-bit
    currency     = 0x05,
    single       = 0x06,
    double_      = 0x07,
    datetime     = 0x08,
    binary       = 0x09,
    text         = 0x0A,
    ole          = 0x0B,   // long binary
    memo         = 0x0C,   // long text
    unknown_0d   = 0x0D,
    guid         = 0x0F,
    numeric      = 0x10,   // decimal
    unknown_11   = 0x11,
    complex      = 0x12,   // attachment, multi-value, version history: a 32-bit key per row
    big_int      = 0x13,   // Large Number
    ext_datetime = 0x14,   // Date/Time Extended: raw bytes
};

// Readable name of a column type ("TEXT", "LONG", ...), for messages and tests.
const char* type_name(column_type t);

// Currency: a 64-bit integer counting ten-thousandths.
struct currency {
    std::int64_t scaled = 0;
    bool operator==(const currency&) const = default;
};

// Date/time: the stored double (days since 1899-12-30; the fraction's magnitude is the time of day).
struct date_time {
    double days = 0;
    bool operator==(const date_time&) const = default;
};

// Exact decimal: sign, 128-bit magnitude and scale (digits after the point).
struct decimal {
    bool negative = false;
    std::uint8_t scale = 0;
    std::uint8_t precision = 0;
    std::uint64_t hi = 0, lo = 0;
    bool operator==(const decimal&) const = default;
    // Plain notation with exactly `scale` digits after the point ("-12.3400").
    std::string to_string() const;
    double to_double() const;
};

// A GUID as stored: Data1, Data2, Data3 little-endian, then 8 bytes.
struct guid {
    std::array<std::uint8_t, 16> bytes{};
    bool operator==(const guid&) const = default;
    // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
    std::wstring to_wstring() const;
    // The same 38 characters written into out.
    void format(wchar_t (&out)[38]) const;
};

using bytes = std::vector<std::uint8_t>;

// One value of a row or of a property. Null is its own kind; an empty text is not null.
class value {
public:
    enum kind : std::uint8_t {
        null_k, boolean_k, byte_k, int16_k, int32_k, int64_k, currency_k, single_k, double_k,
        datetime_k, guid_k, decimal_k, text_k, binary_k
    };

    value() = default;
    value(bool v) : v_(v) {}
    value(std::uint8_t v) : v_(v) {}
    value(std::int16_t v) : v_(v) {}
    value(std::int32_t v) : v_(v) {}
    value(std::int64_t v) : v_(v) {}
    value(currency v) : v_(v) {}
    value(float v) : v_(v) {}
    value(double v) : v_(v) {}
    value(date_time v) : v_(v) {}
    value(guid v) : v_(v) {}
    value(decimal v) : v_(v) {}
    value(std::wstring v) : v_(std::move(v)) {}
    value(bytes v) : v_(std::move(v)) {}

    kind type() const { return static_cast<kind>(v_.index()); }
    bool is_null() const { return v_.index() == null_k; }

    bool as_bool() const { return std::get<bool>(v_); }
    std::uint8_t as_byte() const { return std::get<std::uint8_t>(v_); }
    std::int16_t as_int16() const { return std::get<std::int16_t>(v_); }
    std::int32_t as_int32() const { return std::get<std::int32_t>(v_); }
    std::int64_t as_int64() const { return std::get<std::int64_t>(v_); }
    currency as_currency() const { return std::get<currency>(v_); }
    float as_single() const { return std::get<float>(v_); }
    double as_double() const { return std::get<double>(v_); }
    date_time as_datetime() const { return std::get<date_time>(v_); }
    const guid& as_guid() const { return std::get<guid>(v_); }
    const decimal& as_decimal() const { return std::get<decimal>(v_); }
    const std::wstring& as_text() const { return std::get<std::wstring>(v_); }
    const bytes& as_binary() const { return std::get<bytes>(v_); }

    // Reuses the held string/byte buffers where it can (the row cursor refills values in place).
    std::wstring& set_text() { if (type() != text_k) v_.emplace<std::wstring>(); auto& s = std::get<std::wstring>(v_); s.clear(); return s; }
    bytes& set_binary() { if (type() != binary_k) v_.emplace<bytes>(); auto& b = std::get<bytes>(v_); b.clear(); return b; }
    void set_null() { v_.emplace<std::monostate>(); }

    // Integral reading of any numeric kind (bool, byte, 16/32/64-bit); throws std::bad_variant_access otherwise.
    std::int64_t to_int64() const;
    // Text for logs and tests: numbers as decimal text, dates as "yyyy-mm-ddThh:mm:ss", binary as hex.
    std::wstring to_wstring() const;

    bool operator==(const value&) const = default;

private:
    std::variant<std::monostate, bool, std::uint8_t, std::int16_t, std::int32_t, std::int64_t, currency,
                 float, double, date_time, guid, decimal, std::wstring, bytes>
        v_;
};

// Calendar parts of a stored date/time (milliseconds rounded), day zero 1899-12-30.
struct date_parts {
    int year, month, day, hour, minute, second, millisecond;
};
date_parts split_date(double days);

} // namespace jet

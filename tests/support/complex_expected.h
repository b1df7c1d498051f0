// Reading the expected results of the shared test files (JSON lines) and writing reader values the same way.
#pragma once
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/jet/jet_complex.h"
#include "platform/jet/jet_value.h"
#include "tests/support/testdata.h"

namespace expected {

// A parsed JSON value; text is kept as UTF-32 so it compares directly with reader text.
struct json {
    enum kind { null_k, bool_k, number_k, string_k, array_k, object_k } type = null_k;
    bool b = false;
    double number = 0;
    std::wstring text;
    std::vector<json> items;
    std::vector<std::pair<std::string, json>> members;

    const json* get(const std::string& key) const
    {
        for (const auto& m : members)
            if (m.first == key) return &m.second;
        return nullptr;
    }
    const json& operator[](const std::string& key) const
    {
        static const json none;
        const json* j = get(key);
        return j ? *j : none;
    }
};

class parser {
public:
    explicit parser(const std::string& s) : s_(s) {}

    json parse()
    {
        json v = value();
        skip();
        if (i_ != s_.size()) throw std::runtime_error("trailing JSON text");
        return v;
    }

private:
    void skip()
    {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
    }
    char peek()
    {
        skip();
        if (i_ >= s_.size()) throw std::runtime_error("JSON ends early");
        return s_[i_];
    }
    void expect(char c)
    {
        if (peek() != c) throw std::runtime_error(std::string("JSON: expected ") + c);
        ++i_;
    }
    unsigned hex4()
    {
        if (i_ + 4 > s_.size()) throw std::runtime_error("JSON: short escape");
        unsigned v = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = s_[i_++];
            v = v * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
        }
        return v;
    }
    std::wstring string()
    {
        expect('"');
        std::wstring out;
        while (true) {
            if (i_ >= s_.size()) throw std::runtime_error("JSON: open string");
            const auto c = static_cast<unsigned char>(s_[i_++]);
            if (c == '"') return out;
            if (c == '\\') {
                const char e = s_[i_++];
                switch (e) {
                case 'n': out += L'\n'; break;
                case 'r': out += L'\r'; break;
                case 't': out += L'\t'; break;
                case 'b': out += L'\b'; break;
                case 'f': out += L'\f'; break;
                case 'u': {
                    unsigned u = hex4();
                    if (u >= 0xD800 && u < 0xDC00 && i_ + 1 < s_.size() && s_[i_] == '\\' && s_[i_ + 1] == 'u') {
                        i_ += 2;
                        const unsigned lo = hex4();
                        u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
                    }
                    out += static_cast<wchar_t>(u);
                    break;
                }
                default: out += static_cast<wchar_t>(e);
                }
            } else if (c < 0x80) {
                out += static_cast<wchar_t>(c);
            } else {
                int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
                unsigned u = c & (0x3F >> extra);
                while (extra-- > 0) u = (u << 6) | (static_cast<unsigned char>(s_[i_++]) & 0x3F);
                out += static_cast<wchar_t>(u);
            }
        }
    }
    json value()
    {
        json v;
        const char c = peek();
        if (c == '{') {
            v.type = json::object_k;
            ++i_;
            if (peek() == '}') {
                ++i_;
                return v;
            }
            while (true) {
                std::wstring k = string();
                expect(':');
                v.members.emplace_back(std::string(k.begin(), k.end()), value());
                if (peek() == ',') {
                    ++i_;
                    continue;
                }
                expect('}');
                return v;
            }
        }
        if (c == '[') {
            v.type = json::array_k;
            ++i_;
            if (peek() == ']') {
                ++i_;
                return v;
            }
            while (true) {
                v.items.push_back(value());
                if (peek() == ',') {
                    ++i_;
                    continue;
                }
                expect(']');
                return v;
            }
        }
        if (c == '"') {
            v.type = json::string_k;
            v.text = string();
            return v;
        }
        if (s_.compare(i_, 4, "null") == 0) {
            i_ += 4;
            return v;
        }
        if (s_.compare(i_, 4, "true") == 0 || s_.compare(i_, 5, "false") == 0) {
            v.type = json::bool_k;
            v.b = s_[i_] == 't';
            i_ += v.b ? 4 : 5;
            return v;
        }
        v.type = json::number_k;
        std::size_t end = i_;
        while (end < s_.size() && (std::isdigit(static_cast<unsigned char>(s_[end])) || s_[end] == '-' ||
                                   s_[end] == '.' || s_[end] == 'e' || s_[end] == 'E' || s_[end] == '+'))
            ++end;
        v.number = std::stod(s_.substr(i_, end - i_));
        i_ = end;
        return v;
    }

    const std::string& s_;
    std::size_t i_ = 0;
};

// Every line of an expected file, parsed.
inline std::vector<json> read_lines(const std::string& path)
{
    std::vector<json> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) out.push_back(parser(line).parse());
    return out;
}

// The expected rows of one table: each row is its list of values.
inline std::vector<std::vector<json>> table_rows(const std::vector<json>& lines, const std::wstring& table)
{
    std::vector<std::vector<json>> rows;
    for (const json& l : lines)
        if (l["table"].text == table && l.get("row")) rows.push_back(l["values"].items);
    return rows;
}

inline std::wstring widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

inline std::wstring hex(const jet::bytes& b)
{
    static const char* digits = "0123456789ABCDEF";
    std::wstring out;
    for (std::uint8_t c : b) {
        out += static_cast<wchar_t>(digits[c >> 4]);
        out += static_cast<wchar_t>(digits[c & 15]);
    }
    return out;
}

// A date as the expected files write it: yyyy-MM-ddTHH:mm:ss.fffffff (stored doubles hold whole seconds
// or milliseconds at best, so the last four digits are zero).
inline std::wstring date_text(double days)
{
    const jet::date_parts p = jet::split_date(days);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d0000", p.year, p.month, p.day, p.hour,
                  p.minute, p.second, p.millisecond);
    return widen(buf);
}

// Shortest round-trip text as the expected files write floating point: plain between 1e-3 and 1e7, else
// with an exponent ("1.27413E-10"); whole numbers keep ".0".
template <class F>
inline std::wstring shortest(F v)
{
    char buf[64];
    const F a = v < 0 ? -v : v;
    const bool plain = a == 0 || (a >= F(1e-3) && a < F(1e7));
    auto r = std::to_chars(buf, buf + sizeof buf, v, plain ? std::chars_format::fixed : std::chars_format::scientific);
    std::string s(buf, r.ptr);
    if (plain) {
        if (s.find('.') == std::string::npos) s += ".0";
        return widen(s);
    }
    const auto e = s.find('e');
    std::string mantissa = s.substr(0, e), exponent = s.substr(e + 1);
    if (mantissa.find('.') == std::string::npos) mantissa += ".0";
    if (exponent[0] == '+') exponent.erase(0, 1);
    const bool minus = exponent[0] == '-';
    if (minus) exponent.erase(0, 1);
    while (exponent.size() > 1 && exponent[0] == '0') exponent.erase(0, 1);
    return widen(mantissa + "E" + (minus ? "-" : "") + exponent);
}

// A plain value as text in the expected files' notation.
inline std::wstring text_of(const jet::value& v)
{
    using jet::value;
    switch (v.type()) {
    case value::null_k: return L"<null>";
    case value::boolean_k: return v.as_bool() ? L"true" : L"false";
    case value::byte_k: return std::to_wstring(v.as_byte());
    case value::int16_k: return std::to_wstring(v.as_int16());
    case value::int32_k: return std::to_wstring(v.as_int32());
    case value::int64_k: return std::to_wstring(v.as_int64());
    case value::currency_k: {
        const std::int64_t c = v.as_currency().scaled;
        const std::uint64_t m = c < 0 ? 0 - static_cast<std::uint64_t>(c) : static_cast<std::uint64_t>(c);
        char buf[48];
        std::snprintf(buf, sizeof buf, "%s%llu.%04llu", c < 0 ? "-" : "", static_cast<unsigned long long>(m / 10000),
                      static_cast<unsigned long long>(m % 10000));
        return widen(buf);
    }
    case value::single_k: return shortest(v.as_single());
    case value::double_k: return shortest(v.as_double());
    case value::datetime_k: return date_text(v.as_datetime().days);
    case value::guid_k: return v.as_guid().to_wstring();
    case value::decimal_k: return widen(v.as_decimal().to_string());
    case value::text_k: return v.as_text();
    case value::binary_k: return L"0x" + hex(v.as_binary());
    }
    return L"?";
}

// Compares an expected cell with a value: null with null, text with its notation.
inline bool same(const json& e, const jet::value& v)
{
    if (e.type == json::null_k) return v.is_null();
    return e.type == json::string_k && !v.is_null() && e.text == text_of(v);
}

inline std::string narrow(const std::wstring& w)
{
    std::string s;
    for (wchar_t c : w) s += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    return s;
}

inline std::string show(const json& e)
{
    switch (e.type) {
    case json::null_k: return "null";
    case json::string_k: return "\"" + narrow(e.text) + "\"";
    case json::array_k: {
        std::string s = "[";
        for (const auto& i : e.items) s += show(i) + ",";
        return s + "]";
    }
    case json::object_k: {
        std::string s = "{";
        for (const auto& m : e.members) s += m.first + ":" + show(m.second) + ",";
        return s + "}";
    }
    default: return "?";
    }
}

} // namespace expected

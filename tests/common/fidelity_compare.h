// The value comparison of the fidelity suites: one value as a destination holds it (a script's
// literal, or a value read back from a server in the same form) against the expected files.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cwctype>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/oledb/odbc_core.h"
#include "support/testdata.h"
#include "tests/support/complex_expected.h"

namespace fidelity {

using expected::json;

// One literal of a VALUES list as the script wrote it.
struct literal {
    enum kind { null_k, text_k, binary_k, other_k } type = other_k;
    bool n_prefix = false;
    std::wstring text;  // text without quotes and with '' undone; binary and other literals as written
};

inline std::string narrow(const std::wstring& w) { return odbc::to_utf8(w); }

inline std::wstring upper(std::wstring s)
{
    for (auto& c : s)
        c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    return s;
}

// A decimal number in plain notation without redundant zeros ("-0012.3400" -> "-12.34", "0.0" -> "0").
inline std::string plain_decimal(std::string s)
{
    bool neg = false;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        neg = s[0] == '-';
        s.erase(0, 1);
    }
    if (s.find_first_of("eE") != std::string::npos)
        return "exponent form: " + s;
    if (s.find('.') != std::string::npos) {
        while (!s.empty() && s.back() == '0')
            s.pop_back();
        if (!s.empty() && s.back() == '.')
            s.pop_back();
    }
    while (s.size() > 1 && s[0] == '0' && s[1] != '.')
        s.erase(0, 1);
    if (s.empty() || s == "0")
        return "0";
    return (neg ? "-" : "") + s;
}

// A date literal of the script ("yyyy-mm-dd", "yyyy-mm-dd hh:mm:ss[.fff]", "hh:mm:ss[.fff]") in the form of
// the expected files.
inline std::wstring full_date(std::wstring t)
{
    if (t.size() >= 8 && t[2] == L':')
        t = L"1899-12-30 " + t;
    if (t.size() == 10)
        t += L" 00:00:00";
    if (t.size() >= 11)
        t[10] = L'T';
    if (t.size() == 19)
        t += L'.';
    while (t.size() < 27)
        t += L'0';
    return t;
}

// Dates travel to the millisecond: the same day and second, the fraction within half a millisecond.
inline bool same_to_the_millisecond(const std::wstring& got, const std::wstring& want)
{
    if (got.size() != 27 || want.size() != 27 || got.compare(0, 20, want, 0, 20) != 0)
        return false;
    const double a = std::wcstod(got.c_str() + 19, nullptr), b = std::wcstod(want.c_str() + 19, nullptr);
    return std::fabs(a - b) <= 0.0005 + 1e-9;
}

// Compares one value; returns an empty text when it is the same, else what differs.
inline std::string compare(const std::string& type, const json& e, const literal& g)
{
    auto shown = [&] {
        return "expected " + expected::show(e) + ", script " + (g.n_prefix ? "N" : "") +
               (g.type == literal::text_k ? "'" + narrow(g.text) + "'" : narrow(g.text));
    };
    if (type == "COMPLEX_TYPE") {
        // A complex column arrives as one value: the first attachment's data, the multi-value
        // items joined by "; ", the newest version of an append-only memo; none at all is NULL.
        if (e.type != json::array_k)
            return shown();
        if (e.items.empty())
            return g.type == literal::null_k ? "" : shown();
        if (e.items[0].type == json::object_k)
            return g.type == literal::binary_k && g.text == L"0x" + e.items[0]["data"].text ? "" : shown();
        std::wstring joined;
        for (const auto& item : e.items) {
            if (!joined.empty())
                joined += L"; ";
            joined += item.text;
        }
        if (g.type == literal::text_k && (g.text == joined || g.text == e.items[0].text))
            return "";
        return shown();
    }
    if (e.type == json::null_k)
        return g.type == literal::null_k ? "" : shown();
    if (e.type != json::string_k || g.type == literal::null_k)
        return shown();
    const std::wstring& x = e.text;
    if (type == "TEXT" || type == "MEMO")
        return g.type == literal::text_k && g.n_prefix && g.text == x ? "" : shown();
    if (type == "GUID") {
        // Written as the bare GUID text, which the uniqueidentifier column takes.
        std::wstring bare = x;
        if (bare.size() == 38 && bare.front() == L'{')
            bare = bare.substr(1, 36);
        return g.type == literal::text_k && !g.n_prefix && upper(g.text) == upper(bare) ? "" : shown();
    }
    if (g.type == literal::text_k && (type == "SHORT_DATE_TIME" || type == "EXT_DATE_TIME"))
        return same_to_the_millisecond(full_date(g.text), x) ? "" : shown();
    if (type == "BINARY" || type == "OLE")
        return g.type == literal::binary_k && g.text == x ? "" : shown();
    if (g.type != literal::other_k)
        return shown();
    const std::string got = narrow(g.text), want = narrow(x);
    if (type == "BOOLEAN")
        return got == (want == "true" ? "1" : "0") ? "" : shown();
    if (type == "BYTE" || type == "INT" || type == "LONG" || type == "BIG_INT")
        return got == want ? "" : shown();
    if (type == "DOUBLE")
        return std::strtod(got.c_str(), nullptr) == std::strtod(want.c_str(), nullptr) ? "" : shown();
    if (type == "FLOAT")
        return static_cast<float>(std::strtod(got.c_str(), nullptr)) == std::strtof(want.c_str(), nullptr) ? ""
                                                                                                          : shown();
    if (type == "MONEY" || type == "NUMERIC")
        return plain_decimal(got) == plain_decimal(want) ? "" : shown();
    return "unknown type " + type + ": " + shown();
}

// The files with expected values, their password-protected copies left out.
inline std::vector<std::string> value_files()
{
    std::vector<std::string> out;
    const std::filesystem::path root = std::filesystem::path(drav_test::testdata_dir()) / "expected" / "values";
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        const std::string rel = std::filesystem::relative(e.path(), root).string();
        if (e.is_regular_file() && rel.size() > 6 && rel.ends_with(".jsonl") &&
            rel.find("with-password") == std::string::npos)
            out.push_back(rel.substr(0, rel.size() - 6));
    }
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace fidelity

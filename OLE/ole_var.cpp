// ole_variant: construction, text in and out, type changes and scalar reads.
#include "OLE/ole_var.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "platform/win/winnls.h"
#include "platform/win/win_utf.h"

namespace {

using i128 = __int128;

constexpr VARTYPE VT_BINARY = VT_ARRAY | VT_UI1;

// The value of an integer VARIANT (is_integer types, VT_INT, VT_UINT) with its sign.
int64_t integer_value(const VARIANT& v)
{
    switch (v.vt) {
    case VT_I1: return static_cast<signed char>(v.cVal);
    case VT_UI1: return v.bVal;
    case VT_I2: return v.iVal;
    case VT_UI2: return v.uiVal;
    case VT_I4: return v.lVal;
    case VT_INT: return v.intVal;
    case VT_UI4: return v.ulVal;
    case VT_UINT: return v.uintVal;
    default: return 0;
    }
}

bool ascii_iequal(const std::string& a, const char* b)
{
    return lstrcmpiA(a.c_str(), b) == 0;
}

bool is_c_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads a decimal integer the way atol does (leading blanks, a sign, digits up to the first other
// character, 0 without digits), without its overflow: too large is reported.
bool read_atol(const std::string& text, i128& out)
{
    size_t i = 0;
    while (i < text.size() && is_c_space(text[i]))
        ++i;
    bool neg = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        neg = text[i] == '-';
        ++i;
    }
    i128 v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        v = v * 10 + (text[i] - '0');
        if (v > (i128(1) << 80))
            return false;
    }
    out = neg ? -v : v;
    return true;
}

// Reads a floating number the way atof does (leading blanks, the longest number that starts
// there, 0 when there is none), independent of the locale's decimal separator. False when the
// number is too large for a double.
template <class F>
bool read_atof(const std::string& text, F& out)
{
    size_t i = 0;
    while (i < text.size() && is_c_space(text[i]))
        ++i;
    bool neg = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        neg = text[i] == '-';
        ++i;
    }
    F v = 0;
    const char* b = text.data() + i;
    const char* e = text.data() + text.size();
    if (b < e && *b != '+' && *b != '-') {
        auto r = std::from_chars(b, e, v, std::chars_format::general);
        if (r.ec == std::errc::result_out_of_range) {
            // Too small reads as 0; too large has no double.
            // Decimal magnitude: where the first significant digit stands, plus the exponent.
            std::string number(b, r.ptr);
            size_t epos = number.find_first_of("eE");
            long exp = epos == std::string::npos ? 0 : std::strtol(number.c_str() + epos + 1, nullptr, 10);
            std::string mant = number.substr(0, epos);
            size_t point = mant.find('.');
            if (point == std::string::npos)
                point = mant.size();
            size_t first = mant.find_first_of("123456789");
            long magnitude = first == std::string::npos ? 0
                             : first < point ? static_cast<long>(point - first)
                                             : -static_cast<long>(first - point - 1);
            if (magnitude + exp > 0)
                return false;
            v = 0;
        } else if (r.ec != std::errc()) {
            v = 0;
        }
    }
    out = neg ? -v : v;
    return true;
}

void replace_commas(std::string& s)
{
    for (char& c : s)
        if (c == ',')
            c = '.';
}

std::string narrow_bstr(BSTR b)
{
    try {
        return tk_to_string(std::wstring(b ? b : L"", SysStringLen(b)));
    } catch (const tk_exception& e) {
        tk_log_write(2, "%s", e.what());
        return std::string();
    }
}

std::string scientific(double v, int digits)
{
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, digits);
    return std::string(buf, r.ptr);
}

int hex_digit(int c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "0x01AB", "01ab", "\x01AB" into bytes; false (logged) for odd lengths and non-hex characters.
template <class S>
bool parse_hex(const S& text, std::vector<unsigned char>& out)
{
    if (text.empty()) {
        tk_log_write(1, "Empty BLOB");
        return false;
    }
    if (text.size() % 2 != 0) {
        tk_log_write(2, "Incorrect BLOB (size is odd)");
        return false;
    }
    size_t start = 0;
    if ((text[0] == '0' || text[0] == '\\') && (text[1] == 'x' || text[1] == 'X'))
        start = 2;
    out.clear();
    out.reserve((text.size() - start) / 2);
    for (size_t i = start; i < text.size(); i += 2) {
        int hi = hex_digit(static_cast<int>(text[i])), lo = hex_digit(static_cast<int>(text[i + 1]));
        if (hi < 0 || lo < 0) {
            tk_log_write(2, "Incorrect BLOB (not a hexadecimal digit)");
            return false;
        }
        out.push_back(static_cast<unsigned char>(hi * 16 + lo));
    }
    return true;
}

[[noreturn]] void cast_failed()
{
    throw ole_cast_exception();
}

// Rounds half away from zero and checks the range.
i128 round_away(double v, i128 lo, i128 hi)
{
    if (!std::isfinite(v))
        cast_failed();
    double r = v >= 0 ? std::floor(v + 0.5) : std::ceil(v - 0.5);
    if (r < -1.7e38 || r > 1.7e38)
        cast_failed();
    i128 x = static_cast<i128>(r);
    if (x < lo || x > hi)
        cast_failed();
    return x;
}

bool integer_range(VARTYPE vt, i128& lo, i128& hi)
{
    switch (vt) {
    case VT_I1: lo = INT8_MIN; hi = INT8_MAX; return true;
    case VT_UI1: lo = 0; hi = UINT8_MAX; return true;
    case VT_I2: lo = INT16_MIN; hi = INT16_MAX; return true;
    case VT_UI2: lo = 0; hi = UINT16_MAX; return true;
    case VT_I4: case VT_INT: lo = INT32_MIN; hi = INT32_MAX; return true;
    case VT_UI4: case VT_UINT: lo = 0; hi = UINT32_MAX; return true;
    case VT_I8: lo = INT64_MIN; hi = INT64_MAX; return true;
    case VT_UI8: lo = 0; hi = UINT64_MAX; return true;
    default: return false;
    }
}

void store_integer(VARIANT& v, VARTYPE vt, i128 x)
{
    VariantClear(&v);
    switch (vt) {
    case VT_I1: v.cVal = static_cast<char>(static_cast<int8_t>(x)); break;
    case VT_UI1: v.bVal = static_cast<uint8_t>(x); break;
    case VT_I2: v.iVal = static_cast<int16_t>(x); break;
    case VT_UI2: v.uiVal = static_cast<uint16_t>(x); break;
    case VT_I4: v.lVal = static_cast<int32_t>(x); break;
    case VT_INT: v.intVal = static_cast<int32_t>(x); break;
    case VT_UI4: v.ulVal = static_cast<uint32_t>(x); break;
    case VT_UINT: v.uintVal = static_cast<uint32_t>(x); break;
    default: break;
    }
    v.vt = vt;
}

} // namespace

bool ole_is_binary_type(VARTYPE type)
{
    return type == VT_BLOB || type == VT_BLOB_OBJECT || type == VT_BINARY;
}

// ---------------------------------------------------------------------------
// Exceptions.

ole_cast_exception::ole_cast_exception() : tk_exception("Cannot cast from source type to destination type", 0)
{
}

ole_type_exception::ole_type_exception() : tk_exception("The operating type is not supported yet", 1)
{
}

// ---------------------------------------------------------------------------
// Construction, copy, assignment.

ole_variant::ole_variant()
{
    VariantInit(&m_var);
}

ole_variant::ole_variant(short value) : ole_variant()
{
    m_var.vt = VT_I2;
    m_var.iVal = value;
}

ole_variant::ole_variant(unsigned short value) : ole_variant()
{
    m_var.vt = VT_UI2;
    m_var.uiVal = value;
}

ole_variant::ole_variant(int value) : ole_variant()
{
    m_var.vt = VT_I4;
    m_var.lVal = value;
}

ole_variant::ole_variant(unsigned int value) : ole_variant()
{
    m_var.vt = VT_UI4;
    m_var.ulVal = value;
}

ole_variant::ole_variant(long long value) : ole_variant()
{
    set_i8(value);
}

ole_variant::ole_variant(unsigned long long value) : ole_variant()
{
    set_ui8(value);
}

ole_variant::ole_variant(long value) : ole_variant()
{
    set_i8(value);
}

ole_variant::ole_variant(unsigned long value) : ole_variant()
{
    set_ui8(value);
}

ole_variant::ole_variant(float value) : ole_variant()
{
    m_var.vt = VT_R4;
    m_var.fltVal = value;
}

ole_variant::ole_variant(double value) : ole_variant()
{
    m_var.vt = VT_R8;
    m_var.dblVal = value;
}

ole_variant::ole_variant(bool value) : ole_variant()
{
    m_var.vt = VT_BOOL;
    m_var.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}

ole_variant::ole_variant(const std::wstring& text) : ole_variant()
{
    set_text(text);
}

ole_variant::ole_variant(const wchar_t* text) : ole_variant()
{
    set_text(text ? std::wstring(text) : std::wstring());
}

ole_variant::ole_variant(size_t count, const unsigned char* data) : ole_variant()
{
    if (!data && count > 0)
        TK_MAIL_ASSERT();
    set_bytes(data, count, VT_BINARY);
}

ole_variant::ole_variant(const ole_date& date) : ole_variant()
{
    set_date(date);
}

ole_variant::ole_variant(const SYSTEMTIME& time) : ole_variant()
{
    set_date(ole_date(time));
}

ole_variant::ole_variant(const VARIANT& value) : ole_variant()
{
    HRESULT hr = VariantCopy(&m_var, &value);
    if (FAILED(hr)) {
        tk_log_write(2, "VariantCopy failed: %08X", static_cast<unsigned>(hr));
        TK_MAIL_ASSERT();
    }
    if (m_var.vt == VT_I8)
        m_i8 = m_var.llVal;
    else if (m_var.vt == VT_UI8)
        m_ui8 = m_var.ullVal;
    else if (m_var.vt == VT_DATE)
        m_date = ole_date(m_var);
}

ole_variant::ole_variant(const ole_variant& other) : ole_variant()
{
    copy_from(other);
}

ole_variant::ole_variant(ole_variant&& other) noexcept
    : m_i8(other.m_i8), m_ui8(other.m_ui8), m_date(other.m_date)
{
    std::memcpy(static_cast<void*>(&m_var), &other.m_var, sizeof(VARIANT));
    VariantInit(&other.m_var);
}

ole_variant& ole_variant::operator=(const ole_variant& other)
{
    if (this != &other)
        copy_from(other);
    return *this;
}

ole_variant& ole_variant::operator=(ole_variant&& other) noexcept
{
    if (this != &other) {
        destroy();
        m_i8 = other.m_i8;
        m_ui8 = other.m_ui8;
        m_date = other.m_date;
        std::memcpy(static_cast<void*>(&m_var), &other.m_var, sizeof(VARIANT));
        VariantInit(&other.m_var);
    }
    return *this;
}

ole_variant& ole_variant::operator=(const std::vector<unsigned char>& bytes)
{
    attach_binary(bytes);
    return *this;
}

ole_variant::~ole_variant()
{
    destroy();
}

void ole_variant::destroy()
{
    HRESULT hr = VariantClear(&m_var);
    if (FAILED(hr))
        tk_log_write(2, "VariantClear failed: %08X", static_cast<unsigned>(hr));
    VariantInit(&m_var);
    m_i8 = 0;
    m_ui8 = 0;
    m_date = ole_date();
}

void ole_variant::copy_from(const ole_variant& other)
{
    VARIANT tmp;
    VariantInit(&tmp);
    HRESULT hr = VariantCopy(&tmp, &other.m_var);
    if (FAILED(hr)) {
        tk_log_write(2, "VariantCopy failed: %08X", static_cast<unsigned>(hr));
        TK_MAIL_ASSERT();
    }
    destroy();
    std::memcpy(static_cast<void*>(&m_var), &tmp, sizeof(VARIANT));
    m_i8 = other.m_i8;
    m_ui8 = other.m_ui8;
    if (m_var.vt == VT_DATE)
        set_date(other.m_date);
}

void ole_variant::set_date(const ole_date& date)
{
    if (m_var.vt != VT_DATE)
        destroy();
    m_date = date;
    m_var.vt = VT_DATE;
    m_var.date = 0;
    DATE d = 0;
    if (date.to_variant_time(d))
        m_var.date = d;
    else
        tk_log_write(2, "Failed to convert SYSTEMTIME->VARIANT");
}

void ole_variant::set_i8(int64_t v)
{
    destroy();
    m_var.vt = VT_I8;
    m_var.llVal = v;
    m_i8 = v;
}

void ole_variant::set_ui8(uint64_t v)
{
    destroy();
    m_var.vt = VT_UI8;
    m_var.ullVal = v;
    m_ui8 = v;
}

void ole_variant::set_text(const std::wstring& text)
{
    BSTR b = SysAllocStringLen(text.data(), static_cast<unsigned int>(text.size()));
    if (!b)
        TK_MAIL_ASSERT();
    destroy();
    m_var.vt = VT_BSTR;
    m_var.bstrVal = b;
}

void ole_variant::set_bytes(const unsigned char* data, size_t count, VARTYPE type)
{
    allocate_safe_array(count);
    if (count)
        std::memcpy(m_var.parray->pvData, data, count);
    m_var.vt = type;
}

void ole_variant::clear()
{
    destroy();
}

void ole_variant::set_null()
{
    destroy();
    m_var.vt = VT_NULL;
}

void ole_variant::assign_bstr(BSTR text)
{
    set_text(std::wstring(text ? text : L"", SysStringLen(text)));
}

ole_variant ole_variant::from_currency(int64_t scaled)
{
    ole_variant v;
    v.m_var.vt = VT_CY;
    v.m_var.cyVal.int64 = scaled;
    return v;
}

ole_variant ole_variant::from_decimal(const DECIMAL& value)
{
    ole_variant v;
    v.m_var.decVal = value;
    v.m_var.vt = VT_DECIMAL;
    return v;
}

bool ole_variant::is_binary() const
{
    return ole_is_binary_type(m_var.vt) && m_var.parray;
}

VARIANT ole_variant::to_variant() const
{
    VARIANT v;
    VariantInit(&v);
    if (FAILED(VariantCopy(&v, &m_var)))
        TK_MAIL_ASSERT();
    if (v.vt == VT_I8)
        v.llVal = m_i8;
    else if (v.vt == VT_UI8)
        v.ullVal = m_ui8;
    return v;
}

// ---------------------------------------------------------------------------
// Binary values.

void ole_variant::allocate_safe_array(size_t size)
{
    if (size > std::numeric_limits<ULONG>::max())
        TK_MAIL_ASSERT();
    if (is_binary() && SafeArrayGetDim(m_var.parray) == 1) {
        SAFEARRAYBOUND b{static_cast<ULONG>(size), 0};
        if (FAILED(SafeArrayRedim(m_var.parray, &b)))
            TK_MAIL_ASSERT();
        return;
    }
    SAFEARRAY* sa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size));
    if (!sa)
        TK_MAIL_ASSERT();
    destroy();
    m_var.vt = VT_BINARY;
    m_var.parray = sa;
}

void ole_variant::attach_binary(const std::vector<unsigned char>& bytes)
{
    attach_binary(bytes.data(), bytes.size());
}

void ole_variant::attach_binary(const unsigned char* data, size_t count)
{
    if (!data && count > 0)
        TK_MAIL_ASSERT();
    VARTYPE type = is_binary() ? m_var.vt : VT_BINARY;
    set_bytes(data, count, type);
}

void ole_variant::attach_string(const std::string& utf8)
{
    set_text(tk_utf8_to_wstring(utf8));
}

void ole_variant::attach_wstring(const std::wstring& text)
{
    set_text(text);
}

void ole_variant::take(VARIANT& value)
{
    // The VARIANT's contents (text, array or plain value) change owner as they are.
    destroy();
    std::memcpy(static_cast<void*>(&m_var), &value, sizeof(VARIANT));
    VariantInit(&value);
    sync_kept();
}

void ole_variant::sync_kept()
{
    m_i8 = m_var.vt == VT_I8 ? m_var.llVal : 0;
    m_ui8 = m_var.vt == VT_UI8 ? m_var.ullVal : 0;
    if (m_var.vt == VT_DATE)
        m_date = ole_date(m_var);
    else
        m_date = ole_date();
}

size_t ole_variant::get_safe_array_size(const SAFEARRAY* array)
{
    if (!array || SafeArrayGetDim(array) != 1)
        return 0;
    LONG lb = 0, ub = -1;
    SafeArrayGetLBound(array, 1, &lb);
    SafeArrayGetUBound(array, 1, &ub);
    return static_cast<size_t>(int64_t(ub) - int64_t(lb) + 1);
}

const unsigned char* ole_variant::binary_data() const
{
    return is_binary() ? static_cast<const unsigned char*>(m_var.parray->pvData) : nullptr;
}

size_t ole_variant::binary_size() const
{
    return is_binary() ? get_safe_array_size(m_var.parray) : 0;
}

std::wstring_view ole_variant::text_view() const
{
    if (m_var.vt != VT_BSTR || !m_var.bstrVal)
        return {};
    return std::wstring_view(m_var.bstrVal, SysStringLen(m_var.bstrVal));
}

size_t ole_variant::get_at(size_t position, size_t length, std::string& out) const
{
    out.clear();
    if (m_var.vt == VT_BSTR) {
        size_t n = SysStringLen(m_var.bstrVal);
        if (position >= n)
            return 0;
        size_t count = std::min(length, n - position);
        out = tk_to_string(std::wstring(m_var.bstrVal + position, count));
        return out.size();
    }
    if (is_binary()) {
        size_t n = binary_size();
        if (position >= n)
            return 0;
        size_t count = std::min(length, n - position);
        out.assign(reinterpret_cast<const char*>(binary_data()) + position, count);
        return count;
    }
    return 0;
}

size_t ole_variant::get_bytes(std::vector<unsigned char>& out) const
{
    out.clear();
    if (is_binary()) {
        const unsigned char* d = binary_data();
        out.assign(d, d + binary_size());
        return out.size();
    }
    if (m_var.vt == VT_BSTR) {
        std::string a = tk_to_string(std::wstring(m_var.bstrVal ? m_var.bstrVal : L"", SysStringLen(m_var.bstrVal)));
        out.assign(a.begin(), a.end());
        return SysStringLen(m_var.bstrVal);
    }
    if (m_var.vt == VT_EMPTY || m_var.vt == VT_NULL || ole_is_binary_type(m_var.vt)) {
        tk_log_write(1, "OLE_Variant is empty");
        return 0;
    }
    TK_MAIL_ASSERT();
}

SYSTEMTIME ole_variant::get_systemtime() const
{
    if (m_var.vt == VT_DATE)
        return m_date.get_systemtime();
    return SYSTEMTIME{};
}

std::string ole_variant::binary_hex() const
{
    size_t n = binary_size();
    if (n == 0)
        return std::string();
    return "0x" + tk_bytes_to_hex(n, binary_data());
}

// ---------------------------------------------------------------------------
// Text out.

std::string ole_variant::to_string() const
{
    switch (m_var.vt) {
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_INT:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UINT:
        return std::to_string(integer_value(m_var));
    case VT_R4:
        // Nine significant digits: the text names this float even for a reader that takes it
        // as a double first and narrows it afterwards, as the server does with a literal.
        return scientific(m_var.fltVal, 8);
    case VT_R8:
        return scientific(m_var.dblVal, 16);
    case VT_I8:
        return std::to_string(m_i8);
    case VT_UI8:
        return std::to_string(m_ui8);
    case VT_CY: {
        VARIANT t;
        VariantInit(&t);
        if (FAILED(VariantChangeTypeEx(&t, &m_var, LOCALE_USER_DEFAULT, 0, VT_BSTR)))
            return std::string();
        std::string s = narrow_bstr(t.bstrVal);
        VariantClear(&t);
        replace_commas(s);
        return s;
    }
    case VT_DECIMAL: {
        BSTR b = nullptr;
        if (FAILED(VarBstrFromDec(&m_var.decVal, LOCALE_EN_US, 0, &b)))
            return std::string();
        std::string s = narrow_bstr(b);
        SysFreeString(b);
        replace_commas(s);
        return s;
    }
    case VT_DATE:
        return m_date.to_string(6);
    case VT_BSTR:
        return narrow_bstr(m_var.bstrVal);
    case VT_BOOL:
        return m_var.boolVal == VARIANT_TRUE ? "1" : "0";
    default:
        if (is_binary() && SafeArrayGetDim(m_var.parray) == 1)
            return binary_hex();
        return std::string();
    }
}

std::wstring ole_variant::to_wstring() const
{
    return to_text(false);
}

std::wstring ole_variant::to_plain_wstring() const
{
    return to_text(true);
}

std::wstring ole_variant::to_text(bool plain) const
{
    if (m_var.vt == VT_BSTR)
        return std::wstring(m_var.bstrVal ? m_var.bstrVal : L"", SysStringLen(m_var.bstrVal));
    if (is_binary()) {
        if (SafeArrayGetDim(m_var.parray) != 1)
            return std::wstring();
        return win_wide_from_utf8(binary_hex());
    }
    std::string s = plain ? ole_variant::to_string() : to_string();
    try {
        return tk_utf8_to_wstring(s);
    } catch (const tk_exception& e) {
        tk_log_write(2, "%s", e.what());
        return std::wstring();
    }
}

// ---------------------------------------------------------------------------
// Text in.

namespace {

// A number's text for the system parsers: decimal commas become points.
std::wstring number_text(const std::string& text)
{
    std::string s = text;
    replace_commas(s);
    std::wstring w;
    try {
        w = tk_to_wstring(s);
    } catch (const tk_exception&) {
        TK_MAIL_ASSERT();
    }
    return w;
}

// Words and numbers as a boolean: 1/yes/t/true, 0/no/f/false, any other number but zero; other text is true.
bool text_to_bool(const std::string& t)
{
    if (ascii_iequal(t, "1") || ascii_iequal(t, "yes") || ascii_iequal(t, "t") || ascii_iequal(t, "true"))
        return true;
    if (ascii_iequal(t, "0") || ascii_iequal(t, "no") || ascii_iequal(t, "f") || ascii_iequal(t, "false"))
        return false;
    i128 v = 0;
    return !read_atol(t, v) || v != 0;
}

// Real numbers, money and decimals from text (a decimal comma taken as a point). Money that does not
// read stays empty; a decimal that does not read falls back to a double.
ole_variant fraction_from_string(const std::string& text, VARTYPE type)
{
    switch (type) {
    case VT_R4:
    case VT_R8: {
        std::string s = text;
        replace_commas(s);
        double d = 0;
        float f = 0;
        if (type == VT_R4 ? !read_atof(s, f) : !read_atof(s, d)) {
            tk_log_write(2, "Value '%s' does not fit type %d", text.c_str(), int(type));
            cast_failed();
        }
        return type == VT_R4 ? ole_variant(f) : ole_variant(d);
    }
    case VT_CY: {
        const std::wstring w = number_text(text);
        CY cy{};
        HRESULT hr = VarCyFromStr(w.c_str(), LOCALE_EN_US, 0, &cy);
        if (FAILED(hr)) {
            tk_log_write(2, "VarCyFromStr failed: %08X", static_cast<unsigned>(hr));
            return ole_variant();
        }
        return ole_variant::from_currency(cy.int64);
    }
    case VT_DECIMAL: {
        std::string s = text;
        replace_commas(s);
        const std::wstring w = number_text(text);
        DECIMAL d{};
        HRESULT hr = VarDecFromStr(w.c_str(), LOCALE_EN_US, 0, &d);
        if (FAILED(hr)) {
            tk_log_write(2, "ERROR: VarDecFromStr for '%s' failed (hr=%08X)", s.c_str(), static_cast<unsigned>(hr));
            double v = 0;
            if (!read_atof(s, v))
                cast_failed();
            return ole_variant(v);
        }
        return ole_variant::from_decimal(d);
    }
    default:
        return ole_variant();
    }
}

} // namespace

ole_variant ole_variant::from_string(const std::string& text, VARTYPE type)
{
    tk_log_write(1, "ole_variant::from_string(%s,%d)", text.c_str(), int(type));
    ole_variant out;
    if (text.empty() && type != VT_BSTR)
        return out;
    i128 lo, hi;
    switch (type) {
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_I8:
    case VT_UI8: {
        i128 v = 0;
        integer_range(type, lo, hi);
        if (!read_atol(text, v) || v < lo || v > hi) {
            tk_log_write(2, "Value '%s' does not fit type %d", text.c_str(), int(type));
            cast_failed();
        }
        if (type == VT_I8)
            out.set_i8(static_cast<int64_t>(v));
        else if (type == VT_UI8)
            out.set_ui8(static_cast<uint64_t>(v));
        else
            store_integer(out.m_var, type, v);
        return out;
    }
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DECIMAL:
        return fraction_from_string(text, type);
    case VT_DATE: {
        ole_date date(text);
        if (date.is_valid())
            out.set_date(date);
        return out;
    }
    case VT_BOOL:
        return ole_variant(text_to_bool(text));
    case VT_BLOB:
    case VT_BINARY: {
        std::vector<unsigned char> bytes;
        if (!parse_hex(text, bytes))
            return out;
        out.set_bytes(bytes.data(), bytes.size(), type);
        return out;
    }
    default: {
        out.set_text(tk_utf8_to_wstring(text));
        HRESULT hr = VariantChangeType(&out.m_var, &out.m_var, 0, type);
        if (FAILED(hr)) {
            tk_log_write(2, "VariantChangeType failed: %08X", static_cast<unsigned>(hr));
            throw ole_type_exception();
        }
        if (out.m_var.vt == VT_DATE)
            out.m_date = ole_date(out.m_var);
        return out;
    }
    }
}

ole_variant ole_variant::from_wstring(const std::wstring& text, VARTYPE type)
{
    if (ole_is_binary_type(type) && type != VT_BLOB_OBJECT) {
        ole_variant out;
        std::vector<unsigned char> bytes;
        if (parse_hex(text, bytes))
            out.set_bytes(bytes.data(), bytes.size(), type);
        return out;
    }
    if (type == VT_BSTR)
        return ole_variant(text);
    return from_string(tk_to_string(text), type);
}

// ---------------------------------------------------------------------------
// Type change in place.

std::vector<unsigned char> ole_variant::raw_bytes() const
{
    const void* p = nullptr;
    size_t n = 0;
    std::string ansi;
    switch (m_var.vt) {
    case VT_I2: case VT_BOOL: case VT_UI2: p = &m_var.iVal; n = 2; break;
    case VT_I4: case VT_R4: case VT_UI4: case VT_INT: case VT_UINT: p = &m_var.lVal; n = 4; break;
    case VT_R8: case VT_CY: p = &m_var.dblVal; n = 8; break;
    case VT_I8: p = &m_i8; n = 8; break;
    case VT_UI8: p = &m_ui8; n = 8; break;
    case VT_I1: case VT_UI1: p = &m_var.bVal; n = 1; break;
    case VT_DECIMAL: p = &m_var; n = sizeof(DECIMAL); break;
    case VT_BSTR:
        ansi = tk_to_string(std::wstring(m_var.bstrVal ? m_var.bstrVal : L"", SysStringLen(m_var.bstrVal)));
        p = ansi.data();
        n = ansi.size();
        break;
    default:
        cast_failed();
    }
    const unsigned char* b = static_cast<const unsigned char*>(p);
    return std::vector<unsigned char>(b, b + n);
}

void ole_variant::change_type(VARTYPE type)
{
    const VARTYPE vt = m_var.vt;
    tk_log_write(1, "ole_variant::change_type(old=%d,new=%d)", int(vt), int(type));

    // 1. Synonyms for binary data.
    if ((vt == VT_BINARY && type == VT_BLOB) || (vt == VT_BLOB && type == VT_BINARY)) {
        tk_log_write(1, "Replace by synonym");
        m_var.vt = type;
        return;
    }
    // 2. Nothing to do.
    if (vt == type || vt == VT_EMPTY || vt == VT_NULL || (ole_is_binary_type(vt) && ole_is_binary_type(type))) {
        tk_log_write(1, "Type cannot be changed");
        return;
    }
    if (vt == VT_BSTR && type == VT_BOOL)
        return words_to_bool();
    if (vt == VT_I8 || vt == VT_UI8)
        return from_wide_integer(type);
    // 5. Dates only become text.
    if (vt == VT_DATE) {
        if (type != VT_BSTR)
            cast_failed();
        set_text(m_date.to_wstring(6));
        return;
    }
    if (type == VT_I8 || type == VT_UI8)
        return to_wide_integer(type);
    if (type == VT_I4 || type == VT_UI4 || type == VT_I2 || type == VT_UI2 || (type == VT_I1 && vt == VT_DECIMAL))
        return to_narrow_integer(type);
    // 8. Text to a date.
    if (vt == VT_BSTR && type == VT_DATE) {
        ole_date d(to_wstring());
        if (!d.is_valid())
            cast_failed();
        set_date(d);
        return;
    }
    // 9. Binary to text only.
    if (ole_is_binary_type(vt)) {
        if (type == VT_BSTR)
            binary_to_text();
        return;
    }
    // 10. To binary: the value's bytes.
    if (ole_is_binary_type(type)) {
        std::vector<unsigned char> bytes = raw_bytes();
        set_bytes(bytes.data(), bytes.size(), type);
        return;
    }
    // 11. The system's conversion.
    HRESULT hr = VariantChangeType(&m_var, &m_var, 0, type);
    if (FAILED(hr)) {
        tk_log_write(2, "VariantChangeType failed");
        tk_log_write(2, "%s", to_string().c_str());
        cast_failed();
    }
    if (m_var.vt == VT_DATE)
        m_date = ole_date(m_var);
}

// 3. Words to a boolean.
void ole_variant::words_to_bool()
{
    std::string t = to_string();
    if (ascii_iequal(t, "yes") || ascii_iequal(t, "t") || ascii_iequal(t, "true"))
        *this = ole_variant(true);
    else if (ascii_iequal(t, "no") || ascii_iequal(t, "f") || ascii_iequal(t, "false"))
        *this = ole_variant(false);
    else
        cast_failed();
}

// 4. From the 64-bit integers: the value, when the target can hold it.
void ole_variant::from_wide_integer(VARTYPE type)
{
    const VARTYPE vt = m_var.vt;
    const i128 v = vt == VT_I8 ? i128(m_i8) : i128(m_ui8);
    i128 lo, hi;
    switch (type) {
    case VT_BOOL:
        *this = ole_variant(v != 0);
        return;
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4: case VT_INT: case VT_UINT:
        integer_range(type, lo, hi);
        if (v < lo || v > hi)
            cast_failed();
        store_integer(m_var, type, v);
        m_i8 = 0;
        m_ui8 = 0;
        return;
    case VT_R4:
        *this = ole_variant(static_cast<float>(v));
        return;
    case VT_R8:
        *this = ole_variant(static_cast<double>(v));
        return;
    case VT_CY: {
        i128 scaled = v * 10000;
        if (scaled < INT64_MIN || scaled > INT64_MAX)
            cast_failed();
        *this = from_currency(static_cast<int64_t>(scaled));
        return;
    }
    case VT_BSTR:
        *this = ole_variant(vt == VT_I8 ? std::to_wstring(m_i8) : std::to_wstring(m_ui8));
        return;
    case VT_DECIMAL: {
        DECIMAL d{};
        HRESULT hr = vt == VT_I8 ? VarDecFromI8(m_i8, &d) : VarDecFromUI8(m_ui8, &d);
        if (FAILED(hr))
            cast_failed();
        *this = from_decimal(d);
        return;
    }
    case VT_I8:
        if (v > INT64_MAX)
            cast_failed();
        set_i8(static_cast<int64_t>(v));
        return;
    case VT_UI8:
        if (v < 0)
            cast_failed();
        set_ui8(static_cast<uint64_t>(v));
        return;
    default:
        cast_failed();
    }
}

// 6. To the 64-bit integers.
void ole_variant::to_wide_integer(VARTYPE type)
{
    const VARTYPE vt = m_var.vt;
    i128 v = 0;
    switch (vt) {
    case VT_I2: v = m_var.iVal; break;
    case VT_BOOL: v = m_var.boolVal; break;
    case VT_I4: v = m_var.lVal; break;
    case VT_INT: v = m_var.intVal; break;
    case VT_I1: v = static_cast<signed char>(m_var.cVal); break;
    case VT_UI1: v = m_var.bVal; break;
    case VT_UI2: v = m_var.uiVal; break;
    case VT_UI4: v = m_var.ulVal; break;
    case VT_UINT: v = m_var.uintVal; break;
    case VT_R4:
    case VT_R8:
    case VT_DECIMAL: {
        VARIANT t;
        VariantInit(&t);
        if (FAILED(VariantChangeType(&t, &m_var, 0, type)))
            cast_failed();
        v = type == VT_I8 ? i128(t.llVal) : i128(t.ullVal);
        break;
    }
    case VT_CY: {
        // To the nearest integer, halves away from zero.
        int64_t c = m_var.cyVal.int64;
        i128 whole = c / 10000, rest = c % 10000;
        if (rest >= 5000)
            ++whole;
        else if (rest <= -5000)
            --whole;
        v = whole;
        break;
    }
    default:
        cast_failed();
    }
    if (type == VT_I8) {
        if (v < INT64_MIN || v > INT64_MAX)
            cast_failed();
        set_i8(static_cast<int64_t>(v));
    } else {
        if (v < 0 || v > i128(UINT64_MAX))
            cast_failed();
        set_ui8(static_cast<uint64_t>(v));
    }
}

// 7. Floating values to 16- and 32-bit integers, halves away from zero; decimals by the
//    system; any other source stays as it is.
void ole_variant::to_narrow_integer(VARTYPE type)
{
    const VARTYPE vt = m_var.vt;
    if (vt == VT_R4 || vt == VT_R8) {
        if (type == VT_I1)
            cast_failed();
        i128 lo, hi;
        integer_range(type, lo, hi);
        double d = vt == VT_R4 ? m_var.fltVal : m_var.dblVal;
        store_integer(m_var, type, round_away(d, lo, hi));
        return;
    }
    if (vt == VT_DECIMAL) {
        if (FAILED(VariantChangeType(&m_var, &m_var, 0, type)))
            cast_failed();
        return;
    }
    tk_log_write(1, "Type is left as it is");
}

// 9. Binary to text: the bytes up to the first zero, read as text of the code page.
void ole_variant::binary_to_text()
{
    std::string bytes;
    if (is_binary()) {
        const char* p = reinterpret_cast<const char*>(binary_data());
        size_t n = binary_size();
        bytes.assign(p, strnlen(p, n));
    }
    std::wstring text;
    try {
        text = tk_to_wstring(bytes);
    } catch (const tk_exception&) {
        cast_failed();
    }
    set_text(text);
}

// ---------------------------------------------------------------------------
// Scalar reads.

long ole_variant::to_long() const
{
    tk_log_write(1, "ole_variant::to_long(%08X)", unsigned(m_var.vt));
    switch (m_var.vt) {
    case VT_EMPTY:
    case VT_NULL:
        return 0;
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4:
        return static_cast<long>(integer_value(m_var));
    case VT_R4:
    case VT_R8: {
        double d = std::trunc(m_var.vt == VT_R4 ? m_var.fltVal : m_var.dblVal);
        if (!(d >= INT32_MIN && d <= INT32_MAX))
            cast_failed();
        return static_cast<long>(d);
    }
    case VT_CY:
    case VT_DECIMAL: {
        int32_t v = 0;
        HRESULT hr = m_var.vt == VT_CY ? VarI4FromCy(m_var.cyVal, &v) : VarI4FromDec(&m_var.decVal, &v);
        if (FAILED(hr)) {
            tk_log_write(1, "Conversion to long failed: %08X", static_cast<unsigned>(hr));
            return 0;
        }
        return v;
    }
    case VT_BOOL:
        return m_var.boolVal == VARIANT_TRUE ? 1 : 0;
    case VT_I8:
        if (m_i8 < INT32_MIN || m_i8 > INT32_MAX)
            cast_failed();
        return static_cast<long>(m_i8);
    case VT_UI8:
        if (m_ui8 > INT32_MAX)
            cast_failed();
        return static_cast<long>(m_ui8);
    default:
        return 0;
    }
}

bool ole_variant::to_bool() const
{
    switch (m_var.vt) {
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4:
        return integer_value(m_var) != 0;
    case VT_R4:
        return m_var.fltVal != 0;
    case VT_R8:
        return m_var.dblVal != 0;
    case VT_CY:
        return m_var.cyVal.int64 != 0;
    case VT_DECIMAL:
        return m_var.decVal.Hi32 != 0 || m_var.decVal.Lo64 != 0;
    case VT_BOOL:
        return m_var.boolVal == VARIANT_TRUE;
    case VT_I8:
        return m_i8 != 0;
    case VT_UI8:
        return m_ui8 != 0;
    default:
        return false;
    }
}

int64_t ole_variant::to_i8() const
{
    tk_log_write(1, "ole_variant::to_i8(%08X)", unsigned(m_var.vt));
    switch (m_var.vt) {
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4:
        return integer_value(m_var);
    case VT_R4:
    case VT_R8:
        return static_cast<int64_t>(
            round_away(m_var.vt == VT_R4 ? m_var.fltVal : m_var.dblVal, INT64_MIN, INT64_MAX));
    case VT_CY:
    case VT_DECIMAL: {
        int64_t v = 0;
        HRESULT hr = m_var.vt == VT_CY ? VarI8FromCy(m_var.cyVal, &v) : VarI8FromDec(&m_var.decVal, &v);
        if (FAILED(hr))
            cast_failed();
        return v;
    }
    case VT_BOOL:
        return m_var.boolVal == VARIANT_TRUE ? 1 : 0;
    case VT_I8:
        return m_i8;
    case VT_UI8:
        if (m_ui8 > static_cast<uint64_t>(INT64_MAX))
            cast_failed();
        return static_cast<int64_t>(m_ui8);
    default:
        return 0;
    }
}

uint64_t ole_variant::to_ui8() const
{
    tk_log_write(1, "ole_variant::to_i8(%08X)", unsigned(m_var.vt));
    switch (m_var.vt) {
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4: {
        int64_t v = integer_value(m_var);
        if (v < 0)
            cast_failed();
        return static_cast<uint64_t>(v);
    }
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DECIMAL: {
        VARIANT t;
        VariantInit(&t);
        if (FAILED(VariantChangeType(&t, &m_var, 0, VT_UI8)))
            cast_failed();
        return t.ullVal;
    }
    case VT_BOOL:
        return m_var.boolVal == VARIANT_TRUE ? 1 : 0;
    case VT_I8:
        if (m_i8 < 0)
            cast_failed();
        return static_cast<uint64_t>(m_i8);
    case VT_UI8:
        return m_ui8;
    default:
        return 0;
    }
}

double ole_variant::to_double() const
{
    switch (m_var.vt) {
    case VT_EMPTY:
    case VT_NULL:
        return 0;
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4: case VT_INT: case VT_UINT:
        return static_cast<double>(integer_value(m_var));
    case VT_R4:
        return m_var.fltVal;
    case VT_R8:
        return m_var.dblVal;
    case VT_CY:
    case VT_DECIMAL:
    case VT_BSTR: {
        VARIANT t;
        VariantInit(&t);
        if (FAILED(VariantChangeTypeEx(&t, &m_var, LOCALE_EN_US, 0, VT_R8)))
            cast_failed();
        return t.dblVal;
    }
    case VT_BOOL:
        return m_var.boolVal == VARIANT_TRUE ? 1 : 0;
    case VT_I8:
        return static_cast<double>(m_i8);
    case VT_UI8:
        return static_cast<double>(m_ui8);
    case VT_DATE:
        return m_var.date;
    default:
        cast_failed();
    }
}

float ole_variant::to_float() const
{
    double d = to_double();
    if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max())
        cast_failed();
    return static_cast<float>(d);
}

void ole_variant::to_decimal(DECIMAL* out) const
{
    if (!out)
        TK_MAIL_ASSERT();
    HRESULT hr = S_OK;
    switch (m_var.vt) {
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4:
        hr = VarDecFromI8(integer_value(m_var), out);
        break;
    case VT_R4:
        hr = VarDecFromR4(m_var.fltVal, out);
        break;
    case VT_R8:
        hr = VarDecFromR8(m_var.dblVal, out);
        break;
    case VT_DECIMAL:
        *out = m_var.decVal;
        break;
    case VT_CY:
        hr = VarDecFromCy(m_var.cyVal, out);
        break;
    case VT_I8:
        hr = VarDecFromI8(m_i8, out);
        break;
    case VT_UI8:
        hr = VarDecFromUI8(m_ui8, out);
        break;
    default:
        cast_failed();
    }
    if (FAILED(hr))
        cast_failed();
}

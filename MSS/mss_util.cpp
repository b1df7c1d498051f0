// T-SQL text shared by the SQL Server and script destinations.
#include "MSS/mss_util.h"

#include <cmath>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <mutex>

#include "MSS/mss_engi.h"
#include "OLE/ole_date.h"
#include "OLE/ole_guid.h"
#include "OLE/ole_var.h"
#include "TK/tk_errh.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "UDB/udb_db.h"
#include "UDB/udb_name.h"
#include "UDB/udb_rule.h"
#include "platform/win/win_utf.h"

// ---------------------------------------------------------------------------
// Engine settings

namespace {

std::mutex g_flags_lock;
std::function<mss_engine_flags()> g_flags_source;

std::wstring fmt(const wchar_t* format, long long a)
{
    wchar_t buf[64];
    std::swprintf(buf, 64, format, a);
    return buf;
}

} // namespace

mss_engine_flags mss_get_engine_flags()
{
    std::function<mss_engine_flags()> source;
    {
        std::lock_guard<std::mutex> lock(g_flags_lock);
        source = g_flags_source;
    }
    if (source)
        return source();
    // The process-wide engine must exist (internal error otherwise).
    const mss_engine& engine = tk_singleton<mss_engine>::ref();
    mss_engine_flags flags;
    flags.unicode = engine.is_unicode();
    flags.user = engine.get_user();
    flags.as_dbo = engine.is_as_dbo();
    flags.version = engine.get_version();
    flags.view_owned = engine.get_is_view_owned();
    return flags;
}

bool mss_get_engine_unicode()
{
    std::function<mss_engine_flags()> source;
    {
        std::lock_guard<std::mutex> lock(g_flags_lock);
        if (g_flags_source)
            source = g_flags_source;
    }
    if (source)
        return source().unicode;
    return tk_singleton<mss_engine>::ref().is_unicode();
}

void mss_set_engine_flags_source(std::function<mss_engine_flags()> source)
{
    std::lock_guard<std::mutex> lock(g_flags_lock);
    g_flags_source = std::move(source);
}

bool mss_iequal(const std::wstring& a, const std::wstring& b)
{
    return udb_same_name(a, b);
}

bool mss_is_binary_vt(VARTYPE vt)
{
    return vt == VT_BLOB || vt == VT_BLOB_OBJECT || vt == (VT_ARRAY | VT_UI1);
}

// ---------------------------------------------------------------------------
// Type map

std::wstring mss_get_native_type(const t_ftd& ftd)
{
    tk_log_write_w(2, L"mss_get_native_type(%ls)", ftd.name.c_str());
    tk_log_write_w(1, L"t_ftd.name=%ls, t_ftd.vartype=%d, t_ftd.size=%d, t_ftd.native_type=%ls",
                   ftd.name.c_str(), (int)ftd.vartype, (int)ftd.size, ftd.native_type.c_str());
    if (!ftd.native_type.empty()) {
        tk_log_write(2, "Field has custom type mapping defined");
        return ftd.native_type;
    }
    const unsigned size = static_cast<unsigned>(ftd.size);
    switch (ftd.vartype) {
    case VT_I2: case VT_I4: case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4: case VT_INT: case VT_UINT:
        return ftd.b_auto_num ? L"INT IDENTITY" : L"INT";
    case VT_I8: case VT_UI8:
        return ftd.b_auto_num ? L"BIGINT IDENTITY" : L"BIGINT";
    case VT_R4:
        return L"REAL";
    case VT_R8:
        return ftd.dw_reserved == 1 ? L"REAL" : L"FLOAT";
    case VT_CY: case VT_DECIMAL: {
        const unsigned prec = ftd.precision, scale = ftd.scale;
        if (prec >= 1 && prec <= 38) {
            // A scale above the precision is refused by the server; keep it within.
            return L"NUMERIC(" + std::to_wstring(prec) + L"," + std::to_wstring(scale > prec ? prec : scale) + L")";
        }
        if (prec > 38 || scale == 0)
            return L"FLOAT";
        // No precision but a scale: widest numeric that keeps the scale.
        return L"NUMERIC(38," + std::to_wstring(scale > 38 ? 38u : scale) + L")";
    }
    case VT_DATE:
        if (ftd.dw_reserved & 0x10)
            return L"DATETIMEOFFSET";
        if ((ftd.dw_reserved & 3) == 2)
            return L"DATE";
        if ((ftd.dw_reserved & 3) == 3)
            return L"TIME";
        tk_log_write(2, "Got DATETIME2(%d,%d)", (int)ftd.precision, (int)ftd.scale);
        return L"DATETIME2";
    case VT_BOOL:
        return L"BIT";
    case VT_BLOB: case VT_BLOB_OBJECT: case VT_ARRAY | VT_UI1:
        if (size >= 1 && size <= 7999)
            return L"VARBINARY(" + std::to_wstring(size) + L") ";
        return L"VARBINARY(MAX)";
    default:
        break;
    }
    tk_log_write(1, "mss_engine::get_native_type - process as VT_BSTR(dw_reserved=%d)", (int)ftd.dw_reserved);
    if (ftd.dw_reserved == 1)
        return L" uniqueidentifier";
    if (ftd.dw_reserved == 2)
        return L" geometry";
    if (ftd.dw_reserved == 8)
        return L" geography";
    const bool unicode = mss_get_engine_flags().unicode;
    if (size >= 1 && size <= 3999)
        return (unicode ? L"NVARCHAR(" : L"VARCHAR(") + std::to_wstring(size) + L") ";
    return unicode ? L"NVARCHAR(MAX)" : L"VARCHAR(MAX)";
}

// ---------------------------------------------------------------------------
// Literals

namespace {

// The leading run of digits of a printed date when it is a year above 9999.
size_t big_year_digits(const std::wstring& text)
{
    size_t n = 0;
    while (n < text.size() && std::iswdigit(text[n]))
        ++n;
    return (n > 4 && n < text.size() && text[n] == L'-') ? n : 0;
}

bool is_plain_number(const std::wstring& t)
{
    size_t i = 0, n = t.size();
    if (i < n && (t[i] == L'+' || t[i] == L'-'))
        ++i;
    size_t digits = 0;
    while (i < n && std::iswdigit(t[i])) { ++i; ++digits; }
    if (i < n && t[i] == L'.') {
        ++i;
        while (i < n && std::iswdigit(t[i])) { ++i; ++digits; }
    }
    if (digits == 0)
        return false;
    if (i < n && (t[i] == L'e' || t[i] == L'E')) {
        ++i;
        if (i < n && (t[i] == L'+' || t[i] == L'-'))
            ++i;
        size_t exp = 0;
        while (i < n && std::iswdigit(t[i])) { ++i; ++exp; }
        if (exp == 0)
            return false;
    }
    return i == n;
}

bool is_not_a_number_text(const std::wstring& t)
{
    std::wstring s;
    for (wchar_t c : t)
        if (c != L'+' && c != L'-')
            s += static_cast<wchar_t>(std::towlower(c));
    return s.rfind(L"nan", 0) == 0 || s.rfind(L"inf", 0) == 0;
}

} // namespace

namespace {

// Characters that a tool running the script, or an editor, may take for the end of a line.
bool is_line_break(wchar_t c)
{
    return c == L'\n' || c == L'\r' || c == L'\v' || c == L'\f' || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// Characters a tool may skip before a command word: blanks, control characters and
// every Unicode space.
bool is_blank(wchar_t c)
{
    return c <= 0x20 || is_line_break(c) || c == 0x7F || (c >= 0x80 && c <= 0xA0) || c == 0x1680 || c == 0x180E ||
           (c >= 0x2000 && c <= 0x200B) || c == 0x202F || c == 0x205F || c == 0x3000 || c == 0xFEFF ||
           std::iswspace(static_cast<wint_t>(c));
}

bool starts_with_ascii_word(std::wstring_view text, size_t pos, const wchar_t* word)
{
    for (; *word; ++word, ++pos)
        if (pos >= text.size() || std::towupper(text[pos]) != static_cast<wint_t>(*word))
            return false;
    return true;
}

// Does a line starting at pos begin with something that a tool running the script acts on:
// the batch separator, a command of the script runners (":r", "!!", EXIT, QUIT, RESET, ED)?
// Every word that merely begins like one counts too.
bool begins_with_command(std::wstring_view text, size_t pos)
{
    if (pos >= text.size())
        return false;
    if (text[pos] == L':' || text[pos] == L'!')
        return true;
    static const wchar_t* const words[] = {L"GO", L"ED", L"EXIT", L"QUIT", L"RESET"};
    for (const wchar_t* w : words)
        if (starts_with_ascii_word(text, pos, w))
            return true;
    return false;
}

} // namespace

mss_literal_scanner::mss_literal_scanner(std::wstring_view text) : text_(text) {}

mss_literal_scanner::escape mss_literal_scanner::at(size_t i)
{
    const wchar_t c = text_[i];
    if (c == 0)
        return escape::code;
    if (c == L'(' && i > 0 && text_[i - 1] == L'$')
        return escape::split;
    if (!is_line_break(c))
        return escape::none;
    // Every line break of a run of blanks and breaks shares the verdict on what follows the run.
    if (i < run_start_ || i >= run_end_) {
        size_t j = i;
        while (j < text_.size() && text_[j] != 0 && is_blank(text_[j]))
            ++j;
        run_start_ = i;
        run_end_ = j;
        run_command_ = begins_with_command(text_, j);
    }
    return run_command_ ? escape::code : escape::none;
}

bool mss_literal_scanner::needs_split()
{
    for (size_t i = 0; i < text_.size(); ++i)
        if (at(i) != escape::none)
            return true;
    return false;
}

void mss_literal_scanner::append(std::wstring& r, size_t from, size_t to, const wchar_t* pre, bool split)
{
    const bool national = std::wcscmp(pre, L"N") == 0;
    // Runs of ordinary characters are copied whole.
    size_t run = from;
    for (size_t i = from; i < to; ++i) {
        const wchar_t c = text_[i];
        if (c == L'\'') {
            r.append(text_, run, i + 1 - run);
            r += L'\'';
            run = i + 1;
            continue;
        }
        if (!split)
            continue;
        const escape e = at(i);
        if (e == escape::none)
            continue;
        r.append(text_, run, i - run);
        r += L"' + ";
        if (e == escape::code) {
            const unsigned code = static_cast<unsigned>(c);
            r += national || code > 255 ? L"NCHAR(" : L"CHAR(";
            r += std::to_wstring(code);
            r += L") + ";
            run = i + 1;
        } else {
            run = i;
        }
        r += pre;
        r += L"'";
    }
    r.append(text_, run, to - run);
}

bool mss_is_control_char(wchar_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

bool mss_literal_needs_split(const std::wstring& text)
{
    return mss_literal_scanner(text).needs_split();
}

std::wstring mss_quote_string(const std::wstring& text, const wchar_t* prefix)
{
    const wchar_t* pre = prefix ? prefix : L"";
    std::wstring r;
    mss_literal_scanner scanner(text);
    if (scanner.needs_split()) {
        // The characters that must not stand raw in the script are written as character
        // codes between closed pieces of the literal.
        r = mss_split_literal_open(std::wcscmp(pre, L"N") == 0);
        scanner.append(r, 0, text.size(), pre, true);
        r += L"')";
        return r;
    }
    r.reserve(text.size() + std::wcslen(pre) + 4);
    r += pre;
    r += L'\'';
    scanner.append(r, 0, text.size(), pre, false);
    r += L'\'';
    return r;
}

std::wstring mss_split_literal_open(bool national)
{
    return national ? L"(CAST(N'' AS NVARCHAR(MAX)) + N'" : L"(CAST('' AS VARCHAR(MAX)) + '";
}

ole_variant mssql_get_safe_variant(const ole_variant& v, bool* changed)
{
    bool dummy = false;
    bool& out = changed ? *changed : dummy;
    tk_log_write(1, "mssql_get_safe_variant");
    tk_log_write(1, "ole_variant::get_type");
    const VARTYPE vt = v.get_type();
    tk_log_write(1, "vt=%d", (int)vt);
    if (vt == VT_DATE) {
        const std::wstring text = v.to_wstring();
        if (big_year_digits(text)) {
            tk_log_write_w(3, L"Date '%ls' is out of range", text.c_str());
            out = true;
            return ole_variant(ole_date(std::wstring(L"9999-12-30")));
        }
    } else if (vt == VT_R8 || vt == VT_R4) {
        const double d = v.to_double();
        if (std::isnan(d) || std::isinf(d)) {
            // The server has no such values; they are stored as NULL.
            tk_log_write(2, "Not a finite number, stored as NULL");
            out = true;
            return ole_variant();
        }
        if (vt == VT_R8 && d != 0) {
            double r = d;
            if (d > 0) {
                if (d >= 1.79e308) r = 1.79e308;
                else if (d <= 2.23e-308) r = 2.23e-308;
            } else {
                if (d <= -1.79e308) r = -1.79e308;
                else if (d >= -2.23e-308) r = -2.23e-308;
            }
            if (r != d) {
                out = true;
                return ole_variant(r);
            }
        }
    }
    tk_log_write(1, "mssql_get_safe_variant - DEFAULT");
    return v;
}

std::wstring to_mssql_str(const std::wstring& text_in, VARTYPE vt, bool guid_column)
{
    const bool unicode = mss_get_engine_unicode();
    tk_log_write_w(1, L"to_mssql_str(%ls,%d), unicode=%d", text_in.c_str(), (int)vt, (int)unicode);
    if (text_in.empty())
        return L"''";
    const std::wstring& text = text_in;

    if (vt == VT_DATE) {
        std::wstring date_text = text_in;
        if (size_t n = big_year_digits(date_text)) {
            // Years past 9999 do not exist for the server (nor for the date parser).
            tk_log_write_w(3, L"Date '%ls' is too much, truncating it", date_text.c_str());
            date_text.replace(0, n, L"9999");
        }
        ole_date date(date_text);
        std::wstring printed;
        if (date.is_valid())
            printed = win_wide_from_utf8(date.to_string(3));
        if (size_t n = big_year_digits(printed)) {
            tk_log_write_w(3, L"Date '%ls' is too much, truncating it", date.to_wstring(6).c_str());
            printed.replace(0, n, L"9999");
        }
        const size_t zero = printed.find(L"0000-00-00");
        if (zero != std::wstring::npos) {
            printed.replace(zero, 10, L"1899-12-30");
            tk_log_write(2, "Null date has been found");
        }
        if (printed.empty())
            return L"''";
        return mss_quote_string(printed);
    }

    if (mss_is_binary_vt(vt)) {
        tk_log_write(1, "Processing BLOB");
        if (text.size() < 2)
            return L"0x";
        bool plain = false;
        if (text[1] == L'x' || text[1] == L'X') {
            plain = text[0] == L'0';
            for (size_t i = 2; plain && i < text.size(); ++i)
                plain = std::iswxdigit(text[i]) != 0;
        } else {
            plain = true;
            for (size_t i = 0; plain && i < text.size(); ++i)
                plain = std::iswdigit(text[i]) != 0;
        }
        return plain ? text : mss_quote_string(text);
    }

    if (vt == VT_BSTR) {
        if (guid_column) {
            ole_guid_extractor guid(text);
            if (guid.found()) {
                tk_log_write(1, "BSTR IS AN GUID");
                return mss_quote_string(guid.get_guid_text());
            }
        }
        return mss_quote_string(text, unicode ? L"N" : L"");
    }

    // Numbers, currency, decimals and booleans go unquoted; anything that is not
    // a plain number is never written bare.
    if (is_plain_number(text))
        return text;
    if (is_not_a_number_text(text))
        return L"NULL";
    return mss_quote_string(text);
}

namespace {

// A value as a report names it: its text, or a date beyond the calendar by its day number.
std::wstring shown_value(const udb_field& fld)
{
    std::wstring text = fld.to_wstring();
    if (text.empty() && fld.ole_variant::get_type() == VT_DATE) {
        wchar_t days[40];
        std::swprintf(days, 40, L"%.17g", fld.variant().date);
        text = std::wstring(days) + L" days after 1899-12-30";
    }
    return text;
}

std::wstring field_literal(const udb_field* fld, const t_ftd* ftd, bool& changed)
{
    tk_log_write(1, "mss_get_fld_append_str");
    if (!fld)
        TK_MAIL_ASSERT();
    if (!ftd)
        TK_MAIL_ASSERT();
    tk_log_write(1, "fld->size=%d", (int)fld->get_size());

    const VARTYPE fvt = fld->get_type();
    if (mss_is_binary_vt(fvt)) {
        tk_log_write(1, "Simplify processing BLOBs");
        if (fld->get_size() == 0)
            return L"0x";
        std::wstring hex = fld->to_wstring();
        return hex.empty() ? L"0x" : hex;
    }

    tk_log_write_w(1, L"Before mssql_get_safe_variant: %ls", fld->to_wstring().c_str());
    // Only dates and floating-point numbers can be changed by mssql_get_safe_variant; any
    // other value's text is read from the field as the plain value it would copy out.
    const VARTYPE own_vt = fld->ole_variant::get_type();
    std::wstring value_text;
    if (own_vt == VT_R8 || own_vt == VT_R4) {
        value_text = mssql_get_safe_variant(*fld, &changed).to_wstring();
    } else {
        value_text = fld->to_plain_wstring();
        // A date is changed only when its year has more than four digits, which shows in its
        // plain text as well as in the field's own.
        if (own_vt == VT_DATE && big_year_digits(value_text))
            value_text = mssql_get_safe_variant(*fld, &changed).to_wstring();
        // A date beyond the calendar's range has no text: it is written as NULL.
        if (own_vt == VT_DATE && value_text.empty())
            changed = true;
    }
    const bool guid_column = ftd->dw_reserved == 1 && !mss_is_binary_vt(ftd->vartype) && ftd->vartype != VT_DATE;
    std::wstring literal = to_mssql_str(value_text, fvt, guid_column);
    tk_log_write_w(1, L"Got string after mssql_get_safe_variant: %ls", literal.c_str());

    if (udb_custom_conversion::is_acceptable2(*fld)) {
        changed = false;   // the rule decides what is written
        return udb_custom_conversion::handle2(*fld);
    }

    const bool null_case = fvt == VT_NULL || (fvt != VT_BSTR && literal == L"''");
    if (!null_case)
        return literal;
    tk_log_write(1, "Put NULL-field");
    if (!ftd->b_not_null)
        return L"NULL";
    if (mss_is_binary_vt(ftd->vartype)) {
        tk_log_write(1, "Special processing for VT_BLOB/NULL");
        return L"0x";
    }
    return to_mssql_str(ftd->def_value.to_wstring(), ftd->vartype, ftd->dw_reserved == 1);
}

} // namespace

std::wstring mss_get_fld_append_str(const udb_field* fld, const t_ftd* ftd)
{
    bool changed = false;
    std::wstring literal = field_literal(fld, ftd, changed);
    if (changed)
        error_handler::note_changed_value(L"the value " + shown_value(*fld) + L" of column '" + fld->name +
                                          L"' does not fit the server and was written as " + literal);
    return literal;
}

// ---------------------------------------------------------------------------
// Names

std::wstring mss_quote_name(const std::wstring& name)
{
    std::wstring r;
    r.reserve(name.size() + 2);
    r += L'[';
    for (wchar_t c : name) {
        // A line break or control character has no place in a script: it could end the
        // line inside the name, or act on the terminal that shows the statement.
        r += mss_is_control_char(c) ? L'_' : c;
        if (c == L']')
            r += L']';
    }
    r += L']';
    return r;
}

namespace {

// Reads one bracketed identifier at pos ("]]" stands for "]"); false when the text
// there is not one.
bool read_bracketed(const std::wstring& s, size_t& pos, std::wstring& out)
{
    if (pos >= s.size() || s[pos] != L'[')
        return false;
    out.clear();
    for (size_t i = pos + 1; i < s.size(); ++i) {
        if (s[i] == L']') {
            if (i + 1 < s.size() && s[i + 1] == L']') {
                out += L']';
                ++i;
                continue;
            }
            pos = i + 1;
            return true;
        }
        out += s[i];
    }
    return false;
}

// [a] or [a].[b] written with "]]" escapes; false for anything else.
bool split_escaped(const std::wstring& s, std::wstring& table, std::wstring& owner)
{
    size_t pos = 0;
    std::wstring first, second;
    if (!read_bracketed(s, pos, first))
        return false;
    if (pos == s.size()) {
        table = first;
        owner.clear();
        return true;
    }
    if (s[pos] != L'.')
        return false;
    ++pos;
    if (!read_bracketed(s, pos, second) || pos != s.size())
        return false;
    owner = first;
    table = second;
    return true;
}

} // namespace

bool mss_split_tab_name(const std::wstring& name, std::wstring& table, std::wstring& owner)
{
    tk_log_write_w(1, L"mss_split_tab_name(%ls)", name.c_str());
    table.clear();
    owner.clear();
    if (name.size() > 2 && name.front() == L'[' && name.back() == L']') {
        tk_log_write(1, "Name is enclosed in [...]");
        if (!split_escaped(name, table, owner)) {
            const std::wstring inner = name.substr(1, name.size() - 2);
            const size_t sep = inner.find(L"].[");
            if (sep != std::wstring::npos) {
                tk_log_write(1, "Getting owner for composed name");
                owner = inner.substr(0, sep);
                table = inner.substr(sep + 3);
            } else {
                table = inner;
            }
        } else if (!owner.empty()) {
            tk_log_write(1, "Getting owner for composed name");
        }
    } else {
        tk_log_write(1, "Name is NOT enclosed in [...]");
        const bool view_owned = mss_get_engine_flags().view_owned;   // needs an engine, logged or not
        tk_log_write(1, "is_view_owned()=%d", (int)view_owned);
        const size_t dot = name.find(L'.');
        if (dot != std::wstring::npos) {
            owner = name.substr(0, dot);
            table = name.substr(dot + 1);
        } else {
            tk_log_write(1, "Prepare blank owner for simple name (table only)");
            table = name;
        }
    }
    tk_log_write_w(1, L"tab_name=%ls, owner=%ls", table.c_str(), owner.c_str());
    return true;
}

std::wstring mss_simplify_tab_name(const std::wstring& name, const std::wstring& separator)
{
    tk_log_write_w(1, L"mss_simplify_tab_name(%ls)", name.c_str());
    std::wstring table, owner;
    mss_split_tab_name(name, table, owner);
    if (!owner.empty()) {
        tk_log_write_w(1, L"Processing compound table name %ls.%ls", owner.c_str(), table.c_str());
        return owner + separator + table;
    }
    tk_log_write_w(1, L"Processing simple table name %ls", table.c_str());
    return table;
}

std::wstring mss_get_safe_tname(const std::wstring& name, const mss_engine_flags& flags)
{
    tk_log_write_w(2, L"mss_engine::get_safe_tname(%ls)", name.c_str());
    std::wstring table, owner;
    mss_split_tab_name(name, table, owner);
    if (!owner.empty()) {
        tk_log_write(1, "This is a full canonized table name");
        return mss_quote_name(owner) + L"." + mss_quote_name(table);
    }
    std::wstring prefix = L"[dbo].";
    if (flags.as_dbo) {
        // dbo as asked.
    } else if (!flags.schema.empty()) {
        // The schema the server gives the login: its own where it has one, dbo for a database owner.
        prefix = mss_quote_name(flags.schema) + L".";
    } else if (!flags.user.empty() && !mss_iequal(flags.user, L"sa")) {
        prefix = mss_quote_name(flags.user) + L".";
    }
    std::wstring result = prefix + mss_quote_name(table);
    tk_log_write_w(2, L"result=%ls", result.c_str());
    return result;
}

std::wstring mss_get_safe_tname(const std::wstring& name)
{
    return mss_get_safe_tname(name, mss_get_engine_flags());
}

const wchar_t* const mss_fk_props_patterns::on_delete[4] = {
    L"ON DELETE CASCADE", L"ON DELETE NO ACTION", L"ON DELETE SET NULL", L"ON DELETE SET DEFAULT"};
const wchar_t* const mss_fk_props_patterns::on_update[4] = {
    L"ON UPDATE CASCADE", L"ON UPDATE NO ACTION", L"ON UPDATE SET NULL", L"ON UPDATE SET DEFAULT"};

bool mss_is_valid_fk_props(const std::wstring& text)
{
    tk_log_write_w(2, L"mss_engine::is_valid_fk_props(%ls)", text.c_str());
    for (int d = 0; d < 4; ++d) {
        const std::wstring del = mss_fk_props_patterns::on_delete[d];
        for (int u = 0; u < 4; ++u) {
            tk_log_write(1, "Processing pattern #%i-%i", d, u);
            const std::wstring upd = mss_fk_props_patterns::on_update[u];
            if (mss_iequal(text, del + L" " + upd)) {
                tk_log_write(2, "At the end - TRUE(1)");
                return true;
            }
            if (mss_iequal(text, upd + L" " + del)) {
                tk_log_write(2, "At the end - TRUE(2)");
                return true;
            }
        }
    }
    // A key with only one of the two rules keeps that rule.
    for (int i = 0; i < 4; ++i) {
        if (mss_iequal(text, mss_fk_props_patterns::on_delete[i]) ||
            mss_iequal(text, mss_fk_props_patterns::on_update[i])) {
            tk_log_write(2, "At the end - TRUE(3)");
            return true;
        }
    }
    tk_log_write(2, "At the end - FALSE");
    return false;
}

// ---------------------------------------------------------------------------
// View rewrite

icomparer::icomparer(const std::wstring& pattern) : pattern_(pattern)
{
    tk_log_write_w(1, L"icomparer::ctor(%ls)", pattern.c_str());
}

int icomparer::compare(const std::wstring& text, size_t position) const
{
    tk_log_write_w(1, L"icomparer::compare('%ls',%d)", text.c_str(), (int)position);
    if (pattern_.size() + position >= text.size())
        return -1;
    const std::wstring sub = text.substr(position, pattern_.size());
    tk_log_write_w(1, L"Got substring: '%ls'", sub.c_str());
    for (size_t i = 0; i < pattern_.size(); ++i) {
        const wint_t a = std::towlower(sub[i]), b = std::towlower(pattern_[i]);
        if (a != b)
            return a < b ? -1 : 1;
    }
    return 0;
}

namespace {

std::wstring replace_all(std::wstring s, const std::wstring& from, const std::wstring& to)
{
    for (size_t pos = s.find(from); pos != std::wstring::npos; pos = s.find(from, pos + to.size()))
        s.replace(pos, from.size(), to);
    return s;
}

} // namespace

std::wstring mss_refine_view(const std::wstring& sql)
{
    tk_log_write(1, "mss_database::refine_view");
    struct rule { const wchar_t* pattern; const wchar_t* text; const wchar_t* suffix; };
    static const rule rules[] = {
        {L"_cp", L"", nullptr},
        {L"_utf", L"", nullptr},
        {L"_latin", L"", nullptr},
        {L"now", L"getdate", nullptr},
        {L"isnull", L"", L") is null"},
        {L"from_unixtime", L"DateAdd(ss,", L"),'01-01-1970')"},
        {L"curdate", L"cast", L"getdate() as date)"},
        {L"curtime", L"convert", L"time, getdate())"},
    };

    std::wstring out, suffix;
    int suffix_depth = -1, depth = 0;
    bool in_quote = false, backtick_opens = true, word_start = false, skipping = false;
    const size_t n = sql.size();
    for (size_t i = 0; i < n; ++i) {
        const wchar_t c = sql[i];
        if (c == L'\'') {
            out += c;
            in_quote = !in_quote;
            if (in_quote)
                skipping = false;
            continue;
        }
        if (in_quote) {
            out += c;
            continue;
        }
        if (c == L'`') {
            out += backtick_opens ? L'[' : L']';
            if (backtick_opens)
                skipping = false;
            backtick_opens = !backtick_opens;
            continue;
        }
        if (c == L'(') {
            ++depth;
            skipping = false;
        }
        if (c == L')') {
            --depth;
            if (!suffix.empty() && depth == suffix_depth) {
                out += suffix;
                tk_log_write_w(1, L"After adding suffix: '%ls'", out.c_str());
                suffix.clear();
                continue;
            }
        }
        if (c == L' ' || c == L',' || c == L'(') {
            if (!skipping)
                out += c;
            word_start = true;
            continue;
        }
        if (word_start && i + 3 < n) {
            word_start = false;
            bool matched = false;
            for (const rule& r : rules) {
                if (icomparer(r.pattern).compare(sql, i) == 0) {
                    out += r.text;
                    if (r.suffix) {
                        suffix = r.suffix;
                        suffix_depth = depth;
                    }
                    skipping = true;
                    matched = true;
                    break;
                }
            }
            if (!matched && !skipping)
                out += c;
            continue;
        }
        if (!skipping)
            out += c;
        word_start = false;
    }
    out = replace_all(out, L"IFNULL", L"ISNULL");
    out = replace_all(out, L"ifnull", L"isnull");
    return out;
}

// ---------------------------------------------------------------------------
// Small helpers

std::wstring gen_idx_name2()
{
    static std::atomic<long long> counter{0};
    tk_log_write(1, "gen_idx_name2");
    return fmt(L"IDX_%lld", ++counter);
}

bool mss_starts_with(const std::wstring& text, const std::wstring& prefix, bool case_sensitive)
{
    if (prefix.empty())
        return true;
    if (text.size() < prefix.size())
        return false;
    const std::wstring head = text.substr(0, prefix.size());
    return case_sensitive ? head == prefix : mss_iequal(head, prefix);
}

std::wstring mss_comment_safe(const std::wstring& text)
{
    std::wstring r;
    r.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (mss_is_control_char(c)) {
            r += L' ';
        } else if ((c == L'*' && i + 1 < text.size() && text[i + 1] == L'/') ||
                   (c == L'/' && i + 1 < text.size() && text[i + 1] == L'*') ||
                   (c == L'$' && i + 1 < text.size() && text[i + 1] == L'(')) {
            r += c;
            r += L' ';
        } else {
            r += c;
        }
    }
    return r;
}

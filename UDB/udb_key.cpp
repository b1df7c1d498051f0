// Row keys: picking the key fields of a row, writing them as key text and
// turning key text into the condition of a WHERE clause.
#include <cwctype>

#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_db.h"
#include "UDB/udb_name.h"

namespace {

bool is_binary(VARTYPE vt)
{
    return vt == VT_BLOB || vt == VT_BLOB_OBJECT || vt == (VT_ARRAY | VT_UI1);
}

std::wstring encode(const std::wstring& s)
{
    std::wstring r;
    r.reserve(s.size());
    for (wchar_t c : s) {
        switch (c) {
        case L'&': r += L"&amp;"; break;
        case L'<': r += L"&lt;"; break;
        case L'>': r += L"&gt;"; break;
        default: r += c;
        }
    }
    return r;
}

// "&lt;", "&gt;" and "&amp;" back to their characters, in one pass so that
// an escaped ampersand is never decoded twice.
std::wstring decode(const std::wstring& s)
{
    std::wstring r;
    r.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == L'&') {
            if (s.compare(i, 4, L"&lt;") == 0) {
                r += L'<';
                i += 3;
                continue;
            }
            if (s.compare(i, 4, L"&gt;") == 0) {
                r += L'>';
                i += 3;
                continue;
            }
            if (s.compare(i, 5, L"&amp;") == 0) {
                r += L'&';
                i += 4;
                continue;
            }
        }
        r += s[i];
    }
    return r;
}

std::wstring quote_name(const std::wstring& name) { return tk_enclose(name, L'"', L'"'); }

std::wstring quote_value(const std::wstring& value)
{
    bool wide = false;
    std::wstring r = L"'";
    for (wchar_t c : value) {
        r += c;
        if (c == L'\'')
            r += L'\'';
        if (static_cast<unsigned>(c) > 0x7F)
            wide = true;
    }
    r += L"'";
    return wide ? L"N" + r : r;
}

bool is_hex_literal(const std::wstring& v)
{
    if (v.size() < 2 || v[0] != L'0' || (v[1] != L'x' && v[1] != L'X'))
        return false;
    for (std::size_t i = 2; i < v.size(); ++i)
        if (!iswxdigit(static_cast<wint_t>(v[i])) || v[i] > 0x7F)
            return false;
    return true;
}

// A binary literal for the value: a well-formed hexadecimal literal as it
// stands, anything else as the hexadecimal of its UTF-8 bytes.
std::wstring binary_literal(const std::wstring& v)
{
    if (is_hex_literal(v))
        return v;
    static const wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring r = L"0x";
    for (unsigned char b : tk_to_utf8(v)) {
        r += digits[b >> 4];
        r += digits[b & 15];
    }
    return r;
}

[[noreturn]] void malformed_key(const std::wstring& key)
{
    tk_log_write_w(2, L"Malformed key text: %ls", key.c_str());
    throw tk_exception("The key text is malformed.", 0);
}

} // namespace

std::unique_ptr<udb_record> udb_recordset::get_key(const udb_record& record) const
{
    tk_log_write(1, "udb_recordset::get_key(that.size=%d)", int(record.size()));
    if (n_u_index < 0 || n_u_index >= static_cast<int>(indexes.size()))
        throw tk_exception("There's no primary/unique key", 1);
    const udb_index& key = indexes[n_u_index];
    tk_log_write(1, "u_k_flds.size=%d", int(key.fields.size()));
    auto result = std::make_unique<udb_record>();
    for (std::size_t i = 0; i < key.fields.size(); ++i) {
        tk_log_write(1, "Step %d.1", int(i));
        const udb_field* f = record.find_field(key.fields[i]) ? record.get_field(key.fields[i]) : nullptr;
        if (!f) {
            tk_log_write_w(3, L"Key field '%ls' is not found in record", key.fields[i].c_str());
            return nullptr;
        }
        tk_log_write_w(1, L">> Got key field: %ls", f->to_wstring().c_str());
        result->push_back(new udb_field(*f));
        tk_log_write(1, "Step %d.2", int(i));
    }
    tk_log_write(1, "Just before exit: result.size=%d", int(result->size()));
    return result;
}

std::wstring udb_recordset::make_key_text(const udb_record& key)
{
    std::wstring text;
    for (const udb_field* f : key) {
        if (!f)
            continue;
        const std::wstring name = encode(f->name);
        const VARTYPE vt = f->ole_variant::get_type();
        if (vt == VT_EMPTY || vt == VT_NULL) {
            text += L"<" + name + L"/>";
            continue;
        }
        const std::wstring v = f->to_wstring();
        text += L"<" + name + L">" + (is_binary(vt) ? v : encode(v)) + L"</" + name + L">";
    }
    return text;
}

std::wstring udb_recordset::get_filter_subquery(const std::wstring& key) const
{
    tk_log_write_w(1, L"udb_recordset::get_filter_subquery(%ls)", key.c_str());
    std::wstring result;
    std::size_t pos = 0;
    while (true) {
        const std::size_t open = key.find(L'<', pos);
        if (open == std::wstring::npos)
            break;
        tk_log_write(1, "Open XML-tag at pos=%d", int(open));
        const std::size_t close = key.find(L'>', open + 1);
        if (close == std::wstring::npos)
            malformed_key(key);
        tk_log_write(1, "Close XML-tag at pos=%d", int(close));
        std::wstring tag = key.substr(open + 1, close - open - 1);
        const bool is_null = !tag.empty() && tag.back() == L'/';
        if (is_null)
            tag.pop_back();
        if (tag.empty() || tag[0] == L'/')
            malformed_key(key);
        const std::wstring name = decode(tag);

        std::wstring raw;
        if (is_null) {
            pos = close + 1;
        } else {
            const std::size_t end = key.find(L'<', close + 1);
            if (end == std::wstring::npos || end + 1 >= key.size() || key[end + 1] != L'/')
                malformed_key(key);
            raw = key.substr(close + 1, end - close - 1);
            const std::size_t end_close = key.find(L'>', end);
            if (end_close == std::wstring::npos)
                malformed_key(key);
            pos = end_close + 1;
        }

        const t_ftd* col = schema.find_field(name) ? schema.get_field(name) : nullptr;
        if (!col) {
            tk_log_write_w(2, L"Field %ls not found in the schema", name.c_str());
            throw tk_exception("The structure of data source does not conform to the destination table.", 0);
        }
        if (!result.empty())
            result += L" and ";
        result += quote_name(col->name);
        if (is_null) {
            result += L" IS NULL ";
        } else if (is_binary(col->vartype)) {
            tk_log_write(1, "Special processing for binary");
            result += L"=" + binary_literal(raw);
        } else {
            result += L"=" + quote_value(decode(raw)) + L" ";
        }
    }
    return result;
}

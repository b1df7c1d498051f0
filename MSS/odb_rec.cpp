#include "MSS/odb_rec.h"

#include <cstring>
#include <cwctype>

#include "MSS/mss_engi.h"
#include "MSS/odb_exce.h"
#include "OLE/ole_date.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"

namespace {

// Server version 2008 or later, connected through a native provider.
bool modern_dates()
{
    mss_engine* e = mss_engine::get();
    return e && e->get_version() >= 5 && e->is_connected() && e->is_native();
}

bool istarts(const std::wstring& s, const wchar_t* prefix)
{
    std::size_t n = std::wcslen(prefix);
    if (s.size() < n)
        return false;
    for (std::size_t i = 0; i < n; ++i)
        if (std::towlower(s[i]) != std::towlower(prefix[i]))
            return false;
    return true;
}

template <class T> T get_at(const unsigned char* p) { T v; std::memcpy(&v, p, sizeof v); return v; }

} // namespace

odb_field::odb_field(const std::wstring& name, std::uint32_t size, const ole_variant& value)
    : udb_field(name, size, value)
{
    tk_log_write_w(1, L"odb_field::ctor(%s,%d)", name.c_str(), static_cast<int>(size));
}

odb_field::~odb_field() = default;

std::wstring odb_field::to_wstring() const
{
    tk_log_write(1, "odb_field::to_wstring");
    return ole_variant::to_wstring();
}

VARTYPE odb_record::get_vartype(DBTYPE type, std::uint64_t, DBCOLUMNFLAGS, std::int32_t* reserved)
{
    tk_log_write(1, "odb_record::get_vartype(%d)", static_cast<int>(type));
    switch (type) {
    case 2: case 3: case 4: case 5: case 6: case 11: case 16: case 17: case 18: case 19: case 20: case 21:
        return static_cast<VARTYPE>(type);
    case DBTYPE_DECIMAL: case DBTYPE_NUMERIC:
        return VT_DECIMAL;
    case DBTYPE_DATE: case DBTYPE_DBDATE:
        if (modern_dates()) {
            tk_log_write(1, "odb_record::get_vartype: Got pure date");
            if (reserved)
                *reserved = 2;
        }
        return VT_DATE;
    case DBTYPE_DBTIME: case DBTYPE_DBTIME2:
        if (modern_dates()) {
            tk_log_write(1, "odb_record::get_vartype: Got pure time");
            if (reserved)
                *reserved = 3;
        }
        return VT_DATE;
    case DBTYPE_DBTIMESTAMP: case DBTYPE_DBTIMESTAMPOFFSET: case 212:
        tk_log_write(1, "odb_record::get_vartype: Got datetime/timestamp");
        if (reserved)
            *reserved = 1;
        return VT_DATE;
    case DBTYPE_XML:
        tk_log_write(1, "Got DBTYPE_XML, set dw_reserved = 11");
        if (reserved)
            *reserved = 11;
        return VT_BSTR;
    case DBTYPE_GUID:
        if (reserved)
            *reserved = 1;
        return VT_BSTR;
    case DBTYPE_BSTR: case DBTYPE_STR: case DBTYPE_WSTR:
        return VT_BSTR;
    default:
        return VT_ARRAY | VT_UI1;
    }
}

DBTYPE odb_record::get_oledb_type(const t_ftd& f)
{
    tk_log_write(1, "odb_record::get_oledb_type(%d)", static_cast<int>(f.vartype));
    mss_engine* e = mss_engine::get();
    bool unicode = !e || e->is_unicode();
    switch (f.vartype) {
    case VT_I2: case VT_I1:
        return DBTYPE_I2;
    case VT_I4: case VT_UI2: case VT_INT:
        return DBTYPE_I4;
    case VT_CY:
        return DBTYPE_CY;
    case VT_DATE:
        tk_log_write(1, "Got VT_DATE, flags=%d", static_cast<int>(f.dw_reserved));
        if (modern_dates() && (f.dw_reserved & 3) == 2)
            return DBTYPE_DATE;
        if (modern_dates() && (f.dw_reserved & 3) == 3)
            return DBTYPE_DBTIME2;
        return DBTYPE_DBTIMESTAMP;
    case VT_BSTR:
        if (f.dw_reserved == 1) {
            tk_log_write(2, "Got GUID");
            return DBTYPE_GUID;
        }
        if (!unicode || istarts(f.native_type, L"varchar") || istarts(f.native_type, L"char") ||
            istarts(f.native_type, L"text"))
            return DBTYPE_STR;
        return DBTYPE_WSTR;
    case VT_BOOL:
        return DBTYPE_BOOL;
    case VT_DECIMAL:
        return f.precision >= 1 && f.precision <= 38 ? DBTYPE_NUMERIC : DBTYPE_R8;
    case VT_R4: case VT_R8:
        return DBTYPE_R8;
    case VT_UI1:
        return DBTYPE_UI1;
    case VT_UI4: case VT_I8: case VT_UINT:
        return DBTYPE_I8;
    case VT_UI8:
        return f.b_auto_num ? DBTYPE_I8 : DBTYPE_R8;
    case VT_BLOB: case VT_BLOB_OBJECT: case VT_ARRAY | VT_UI1:
        return DBTYPE_BYTES;
    default:
        tk_log_write(1, "Got string (by default)!");
        return unicode ? DBTYPE_WSTR : DBTYPE_STR;
    }
}

odb_record::odb_record(DBORDINAL n, const unsigned char* buffer, const DBCOLUMNINFO* cols, const DBBINDING* binds)
    : count(n), row_buffer(buffer), columns(cols), bindings(binds)
{
    tk_log_write(1, "odb_record::ctor(size=%d)", static_cast<int>(n));
    if (!buffer)
        throw tk_mail_assertion("odb_rec", 72);
    if (!binds)
        throw tk_mail_assertion("odb_rec", 73);
    try {
        for (DBORDINAL i = 0; i < count; ++i) {
            const DBBINDING& b = bindings[i];
            const DBCOLUMNINFO& c = columns[i];
            std::wstring name = c.pwszName ? c.pwszName : L"";
            auto status = get_at<DBSTATUS>(row_buffer + b.obStatus);
            auto length = get_at<DBLENGTH>(row_buffer + b.obLength);
            ole_variant value;
            std::uint32_t size = 0;
            if (status == DBSTATUS_S_OK) {
                tk_log_write(1, "offset=%d", static_cast<int>(b.obValue));
                tk_log_write(1, "type1=%d, type2=%d", static_cast<int>(c.wType), static_cast<int>(b.wType));
                tk_log_write(1, "Field #%d - OK, length=%d", static_cast<int>(i), static_cast<int>(length));
                if (c.wType == DBTYPE_BYTES) {
                    tk_log_write(1, "Processing VT_BLOB: blob_len=%d", static_cast<int>(length));
                    value = ole_variant(static_cast<size_t>(length), row_buffer + b.obValue);
                    size = static_cast<std::uint32_t>(length);
                } else {
                    std::size_t chars = static_cast<std::size_t>(length / sizeof(wchar_t));
                    std::wstring text(chars, L'\0');
                    if (chars)
                        std::memcpy(text.data(), row_buffer + b.obValue, chars * sizeof(wchar_t));
                    tk_log_write_w(1, L"\trow_buffer=%s", text.c_str());
                    value = get_field(c, text, length);
                    size = static_cast<std::uint32_t>(c.ulColumnSize);
                }
            } else if (status == DBSTATUS_S_TRUNCATED) {
                tk_log_write(1, "Field #%d - TRUNCATED", static_cast<int>(i));
                // A value cut short would be stored wrong without a word; refuse it.
                throw odb_exception(L"The value of column '" + name +
                                    L"' is too long to be read whole (" + std::to_wstring(length) + L" bytes).");
            } else {
                tk_log_write(1, "Field #%d - FAILED, status code=%08X", static_cast<int>(i),
                             static_cast<unsigned>(status));
                tk_log_write(1, "\t<NULL>");
            }
            push_back(new odb_field(name, size, value));
        }
    } catch (...) {
        reset();
        throw;
    }
}

odb_record::~odb_record() = default;

ole_variant odb_record::get_field(const DBCOLUMNINFO& c, const std::wstring& text, std::uint64_t length)
{
    tk_log_write_w(1, L"odb_record::get_field(%d, '%s')", static_cast<int>(length), text.c_str());
    if (length > 7) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
        tk_log_write(1, "binary buffer=%02X %02X %02X %02X %02X %02X %02X %02X", p[0], p[1], p[2], p[3], p[4], p[5],
                     p[6], p[7]);
    }
    std::int32_t reserved = 0;
    VARTYPE vt = get_vartype(c.wType, c.ulColumnSize, c.dwFlags, &reserved);
    if (text.empty())
        return vt == VT_BSTR ? ole_variant(std::wstring()) : ole_variant();
    switch (c.wType) {
    case DBTYPE_DATE: case DBTYPE_DBTIMESTAMP: case 212: {
        return ole_variant(ole_date(text));
    }
    case DBTYPE_GUID: {
        tk_log_write(1, "Processing GUID");
        if (text.size() > 1) {
            tk_log_write(1, "len=%d, little preprocessing...", static_cast<int>(text.size()));
            return ole_variant(text.substr(1, text.size() - 2));
        }
        return ole_variant(text);
    }
    default:
        break;
    }
    if (vt == VT_BLOB || vt == (VT_ARRAY | VT_UI1)) {
        std::string bytes = tk_to_utf8(text);
        return ole_variant(bytes.size(), reinterpret_cast<const unsigned char*>(bytes.data()));
    }
    return ole_variant::from_wstring(text, vt);
}

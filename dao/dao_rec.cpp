#include "dao/dao_rec.h"

#include <cstring>
#include <cwchar>
#include <new>

#include "TK/tk_errh.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "dao/dao_engi.h"

namespace {

const char* const day_zero = "1899-12-30";

// Trace lines that need a value printed are built only when they can reach the log.
bool traces_values()
{
    tk_logger* log = tk_logger::get();
    return log && log->enabled() && log->threshold() <= 1;
}

// The engine gives GUID values as "{guid {...}}"; the column holds the 38 characters in braces.
void unwrap_guid(ole_variant& value)
{
    if (value.get_type() != VT_BSTR)
        return;
    static constexpr wchar_t prefix[] = L"{guid ";
    constexpr std::size_t prefix_len = 6;
    const BSTR text = value.variant().bstrVal;
    if (SysStringLen(text) != prefix_len + 38 + 1 || std::wmemcmp(text, prefix, prefix_len) != 0 ||
        text[prefix_len + 38] != L'}')
        return;
    VARIANT inner;
    VariantInit(&inner);
    inner.bstrVal = SysAllocStringLen(text + prefix_len, 38);
    if (!inner.bstrVal)
        throw std::bad_alloc();
    inner.vt = VT_BSTR;
    value.take(inner);
}

} // namespace

VARTYPE get_vartype(int dao_type)
{
    tk_log_write(1, "dao_field::get_vartype(%d)", dao_type);
    switch (dao_type) {
    case dbBoolean:
        return VT_BOOL;
    case dbByte:
        return VT_UI1;
    case dbInteger:
        return VT_I2;
    case dbLong:
        return VT_I4;
    case dbCurrency:
        return VT_CY;
    case dbSingle:
        return VT_R4;
    case dbBigInt:
        return VT_I8;
    case dbNumeric:
    case dbDecimal:
        return VT_DECIMAL;
    case dbDouble:
    case dbFloat:
        return VT_R8;
    case dbDate:
    case dbTime:
        return VT_DATE;
    case dbText:
    case dbMemo:
        return VT_BSTR;
    case dbComplexByte:
    case dbComplexInteger:
    case dbComplexLong:
    case dbComplexSingle:
    case dbComplexDouble:
    case dbComplexGUID:
    case dbComplexDecimal:
    case dbComplexText:
        // Multi-valued columns arrive as their values' texts in one list.
        return VT_BSTR;
    default:
        return VT_ARRAY | VT_UI1;
    }
}

bool dao_is_counter_type(int dao_type)
{
    return dao_type == dbByte || dao_type == dbInteger || dao_type == dbLong || dao_type == dbBigInt;
}

bool dao_is_complex_column(int dao_type, long attributes)
{
    if (dao_type >= dbAttachment && dao_type <= dbComplexText)
        return true;
    return (attributes & dbAutoIncrField) != 0 && !dao_is_counter_type(dao_type) &&
           dao_type != dbGUID;
}

// ---------------------------------------------------------------------------------------------
// dao_field

dao_field::dao_field(_DAOField* field, bool definition)
{
    dao_hold(m_field, field);
    tk_log_write(1, "dao_field::ctor");
    if (!field)
        throw tk_mail_assertion("dao_rec", 27);

    dao_bstr field_name;
    dao_call(m_field->get_Name(&field_name));
    name = field_name.to_wstring();
    long field_size = 0;
    dao_call(m_field->get_Size(&field_size));
    size = static_cast<uint32_t>(field_size);
    short type = 0;
    dao_call(m_field->get_Type(&type));
    m_dao_type = type;
    tk_log_write_w(1, L"Field name='%s', size=%d, native type=%d", name.c_str(),
                   static_cast<int>(field_size), static_cast<int>(type));
    VARIANT_BOOL required = VARIANT_FALSE;
    dao_call(m_field->get_Required(&required));
    b_not_null = required == VARIANT_TRUE;
    long attributes = 0;
    dao_call(m_field->get_Attributes(&attributes));
    // Only whole-number columns count up by themselves; the flag on an attachment, multi-valued
    // or version-history column marks the engine's own link to the hidden values.
    b_auto_num = (attributes & dbAutoIncrField) != 0 && dao_is_counter_type(m_dao_type);
    m_complex = dao_is_complex_column(m_dao_type, attributes);

    // A definition's column has no value to read.
    if (definition)
        return;
    read_value();
}

void dao_field::refresh()
{
    if (reads_in_place()) {
        read_in_place();
        return;
    }
    value() = ole_variant();
    read_value();
}

bool dao_field::reads_in_place() const
{
    // Complex columns hand out recordsets and GUIDs come wrapped: they take the general road.
    return !m_complex && m_dao_type != dbGUID;
}

// The value read into the field's own VARIANT, a text into the storage of the row before.
void dao_field::read_in_place()
{
    HRESULT hr = S_OK;
    refill([&](VARIANT& v) { hr = m_field->ReadValue(&v); });
    dao_call(hr);
    const VARIANT& v = variant();
    tk_log_write(1, "src.vt=%d", static_cast<int>(v.vt));
    if (v.vt == VT_DISPATCH || v.vt == VT_UNKNOWN) {
        clear();
        throw_unreadable();
    }
    trace_plain(v);
    note_text_flaws(v);
    if (traces_values())
        tk_log_write(1, "Got DAO field: %s", ole_variant::to_string().c_str());
}

void dao_field::throw_unreadable() const
{
    tk_log_write_w(2, L"Column '%s' of type %d holds an object that cannot be read", name.c_str(), m_dao_type);
    throw tk_exception(L"The value of column '" + name + L"' cannot be read.", 0);
}

void dao_field::trace_plain(const VARIANT& v) const
{
    if (v.vt == VT_NULL) {
        tk_log_write(1, "*** NULL *** ");
    } else if (v.vt == VT_DATE && tk_log_may_write(2)) {
        // The check only feeds the trace.
        tk_log_write(1, "Special processing for VT_DATE");
        SYSTEMTIME st{};
        if (!VariantTimeToSystemTime(v.date, &st))
            tk_log_write(2, "Failed to convert VARIANT->SYSTEMTIME");
    }
}

// A text that holds less than the file does is kept and noted as a value changed: one stored
// with an odd number of bytes lost its last byte, and half of a surrogate pair without its other
// half is no character (it is written as U+FFFD, here already, whatever the destination).
void dao_field::note_text_flaws(const VARIANT& v) const
{
    if (v.vt != VT_BSTR || !v.bstrVal)
        return;
    VARIANT_BOOL cut = VARIANT_FALSE;
    dao_call(m_field->get_TextCutShort(&cut));
    if (cut == VARIANT_TRUE)
        error_handler::note_changed_value(L"the text of column '" + name +
                                          L"' is stored with an odd number of bytes: its last byte was dropped");
    std::wstring lone;
    for (wchar_t* c = v.bstrVal; c != v.bstrVal + SysStringLen(v.bstrVal); ++c)
        if (*c >= 0xD800 && *c <= 0xDFFF) {
            if (lone.empty()) {
                wchar_t code[8];
                std::swprintf(code, 8, L"U+%04X", static_cast<unsigned>(*c));
                lone = code;
            }
            *c = L'\uFFFD';
        }
    if (!lone.empty())
        error_handler::note_changed_value(L"the text of column '" + name + L"' holds half a surrogate pair (" + lone +
                                          L") alone, which is no character: it was written as U+FFFD");
}

void dao_field::read_value()
{
    if (reads_in_place()) {
        read_in_place();
        return;
    }
    VARIANT v;
    VariantInit(&v);
    dao_call(m_field->get_Value(&v));
    tk_log_write(1, "src.vt=%d", static_cast<int>(v.vt));
    if (v.vt == VT_DISPATCH && m_dao_type == dbAttachment) {
        try {
            read_attachment(v);
        } catch (...) {
            VariantClear(&v);
            throw;
        }
    } else if (v.vt == VT_DISPATCH && m_dao_type >= dbComplexByte && m_dao_type <= dbComplexText) {
        try {
            read_multi_value(v);
        } catch (...) {
            VariantClear(&v);
            throw;
        }
    } else if (v.vt == VT_DISPATCH || v.vt == VT_UNKNOWN) {
        VariantClear(&v);
        throw_unreadable();
    } else {
        trace_plain(v);
        try {
            value().take(v);   // v is left empty or cleared
        } catch (...) {
            VariantClear(&v);
            throw;
        }
        if (m_dao_type == dbGUID)
            unwrap_guid(value());
        else
            note_text_flaws(variant());
    }
    VariantClear(&v);
    if (traces_values())
        tk_log_write(1, "Got DAO field: %s", ole_variant::to_string().c_str());
}

void dao_field::read_attachment(const VARIANT& v)
{
    tk_log_write(1, "Special processing for dbAttachment");
    if (!v.pdispVal) {
        tk_log_write(1, "IDispatch pointer is NULL");
        set_null();
        return;
    }
    DAORecordset* raw = com_query<DAORecordset>(v.pdispVal);
    if (!raw) {
        tk_log_write(2, "FAILED to get DAORecordset interface");
        throw tk_exception(L"The attachments of column '" + name + L"' cannot be read.", 0);
    }
    tk_log_write(1, "We've got DAORecordset interface!");
    ole_com_ptr<DAORecordset> attachments(raw);
    long n_records = 0;
    dao_call(attachments->get_RecordCount(&n_records));
    tk_log_write(1, "n_records=%d", static_cast<int>(n_records));
    VARIANT_BOOL eof = VARIANT_FALSE;
    dao_call(attachments->get_EOF(&eof));
    if (n_records <= 0 || eof) {
        set_null();
        return;
    }
    ole_com_ptr<DAOFields> fields;
    dao_call(attachments->get_Fields(&fields), fields);
    dao_record r(fields.get());
    tk_log_write(1, "r.size()=%d", static_cast<int>(r.size()));
    if (!r.empty())
        value() = r[0]->value();
    else
        set_null();
}

void dao_field::read_multi_value(const VARIANT& v)
{
    tk_log_write(1, "Multi-valued column");
    DAORecordset* raw = v.pdispVal ? com_query<DAORecordset>(v.pdispVal) : nullptr;
    if (!raw) {
        tk_log_write(2, "FAILED to get DAORecordset interface");
        throw tk_exception(L"The values of column '" + name + L"' cannot be read.", 0);
    }
    ole_com_ptr<DAORecordset> values(raw);
    std::wstring text;
    bool any = false;
    VARIANT_BOOL eof = VARIANT_FALSE;
    dao_call(values->get_EOF(&eof));
    while (!eof) {
        ole_com_ptr<DAOFields> fields;
        dao_call(values->get_Fields(&fields), fields);
        dao_record r(fields.get());
        if (!r.empty() && !r[0]->is_null() && !r[0]->is_empty()) {
            if (any)
                text += L"; ";
            text += r[0]->to_wstring();
            any = true;
        }
        dao_call(values->MoveNext());
        dao_call(values->get_EOF(&eof));
    }
    if (any)
        value() = ole_variant(text);
    else
        set_null();
}

dao_field::~dao_field() = default;

VARTYPE dao_field::get_type() const
{
    // Asked several times for every value: the trace is tested once.
    const bool trace = tk_log_may_write(1);
    if (trace)
        tk_log_write(1, "dao_field::get_type");
    if (!is_empty()) {
        const VARTYPE vt = ole_variant::get_type();
        if (trace) {
            tk_log_write(1, "Use ole_variant::get_type");
            tk_log_write(1, "vt1=%08X", static_cast<unsigned>(vt));
        }
        return vt;
    }
    if (m_field.is_empty())
        throw tk_mail_assertion("dao_rec", 388);
    tk_log_write(1, "Use DAO methods to extract field type");
    short type = 0;
    dao_call(m_field->get_Type(&type));
    const VARTYPE vt = get_vartype(type);
    tk_log_write(1, "vt2=%08X", static_cast<unsigned>(vt));
    return vt;
}

std::string dao_field::to_string() const
{
    tk_log_write(1, "dao_field::to_string(vt=%08X)", static_cast<unsigned>(ole_variant::get_type()));
    if (m_field.is_empty())
        throw tk_mail_assertion("dao_rec", 255);
    std::string text = ole_variant::to_string();
    if (ole_variant::get_type() != VT_DATE)
        return text;
    const std::size_t pos = text.find(day_zero);
    if (pos == std::string::npos)
        return text;
    tk_log_write(1, "Fake date has been found");
    if (text.size() > std::strlen(day_zero)) {
        text.replace(pos, std::strlen(day_zero), "0000-00-00");
    } else {
        tk_log_write(1, "Transform pure fake date to pure time");
        text = "00:00:00";
    }
    return text;
}

std::wstring dao_field::to_wstring() const
{
    tk_log_write(1, "dao_field::to_wstring(vt=%08X)", static_cast<unsigned>(ole_variant::get_type()));
    if (ole_variant::get_type() != VT_DATE)
        return ole_variant::to_wstring();
    return tk_utf8_to_wstring(to_string());
}

// ---------------------------------------------------------------------------------------------
// dao_record

dao_record::dao_record(DAOFields* fields, bool definition)
{
    const ULONG refs = dao_hold(m_fields, fields);
    if (!fields)
        throw tk_mail_assertion("dao_rec", 438);
    tk_log_write(1, "dao_record::dao_record: n_refs = %d", static_cast<int>(refs));
    short count = 0;
    dao_call(m_fields->get_Count(&count));
    reserve(static_cast<std::size_t>(count > 0 ? count : 0));
    for (short i = 0; i < count; ++i) {
        ole_com_ptr<_DAOField> field;
        dao_call(m_fields->get_Item(dao_var_int(i), &field), field);
        push_back(new dao_field(field.get(), definition));
    }
}

void dao_record::refresh()
{
    for (udb_field* f : *this)
        static_cast<dao_field*>(f)->refresh();
}

dao_record::~dao_record() = default;

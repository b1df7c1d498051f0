#include "dao/dao_recs.h"

#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "dao/dao_engi.h"
#include "dao/dao_init.h"

namespace {

bool is_date_type(int type)
{
    return type == dbDate || type == dbTime;
}

bool enclosed_in(const std::wstring& text, wchar_t c)
{
    return text.size() > 1 && text.front() == c && text.back() == c;
}

std::wstring strip_ends(const std::wstring& text)
{
    return text.substr(1, text.size() - 2);
}

std::wstring variant_text(const VARIANT& v)
{
    if (v.vt == VT_EMPTY || v.vt == VT_NULL)
        return std::wstring();
    if (v.vt == VT_BSTR)
        return v.bstrVal ? std::wstring(v.bstrVal, SysStringLen(v.bstrVal)) : std::wstring();
    return ole_variant(v).to_wstring();
}

std::wstring default_text(_DAOField* field)
{
    VARIANT v;
    VariantInit(&v);
    dao_call(field->get_DefaultValue(&v));
    std::wstring text = variant_text(v);
    VariantClear(&v);
    return text;
}

// A property of a field by name; a property the field lacks throws dao_exception.
ole_variant property_value(_DAOField* field, const wchar_t* name)
{
    ole_com_ptr<DAOProperties> props;
    dao_call(field->get_Properties(&props), props);
    ole_com_ptr<DAOProperty> prop;
    VARIANT item = dao_var_text(name);
    HRESULT hr = props->get_Item(item, &prop);
    VariantClear(&item);
    dao_call(hr, prop);
    VARIANT v;
    VariantInit(&v);
    dao_call(prop->get_Value(&v));
    ole_variant value(v);
    VariantClear(&v);
    return value;
}

// The Description (error_tag "ERROR1") or Format ("ERROR2") of a column; empty when it has none.
std::wstring shielded_property(_DAOField* field, const wchar_t* name, const char* error_tag)
{
    try {
        ole_variant value = property_value(field, name);
        return value.is_null() || value.is_empty() ? std::wstring() : value.to_wstring();
    } catch (const dao_exception& e) {
        tk_log_write(2, "%s:\n%s", error_tag, e.what());
        return std::wstring();
    }
}

// The default value of a column, or an empty value when its text does not read as the
// column's type (an expression Access evaluates, for example).
ole_variant default_value(const std::wstring& text, VARTYPE vartype)
{
    if (text.empty())
        return ole_variant();
    try {
        return ole_variant::from_wstring(text, vartype);
    } catch (const tk_exception& e) {
        tk_log_write_w(2, L"Default value '%s' is not a constant of type %d; none is kept",
                       text.c_str(), static_cast<int>(vartype));
        return ole_variant();
    }
}

// Precision and scale of currency and decimal columns.
void set_precision(t_ftd& column, _DAOField* field, int type)
{
    if (type == dbCurrency) {
        column.precision = 19;
        column.scale = 4;
        return;
    }
    if (type != dbNumeric && type != dbDecimal)
        return;
    // Without both numbers the column stays a floating one rather than losing digits.
    try {
        const long precision = property_value(field, L"Precision").to_long();
        const long scale = property_value(field, L"Scale").to_long();
        if (precision >= 1 && precision <= 38 && scale >= 0 && scale <= precision) {
            column.precision = static_cast<uint32_t>(precision);
            column.scale = static_cast<uint32_t>(scale);
        }
    } catch (const tk_exception& e) {
        tk_log_write_w(2, L"No precision for decimal column '%s': %S", column.name.c_str(), e.what());
    }
    tk_log_write_w(2, L"Scale/precision for decimal column '%s': (%d, %d)", column.name.c_str(),
                   static_cast<int>(column.scale), static_cast<int>(column.precision));
}

// The column descriptor of one field, with the refinements of GUID and attachment columns.
std::unique_ptr<t_ftd> make_column(const dao_field& column, _DAOField* field, int type,
                                   const ole_variant& def, int reserved, uint32_t size,
                                   const std::wstring& description)
{
    auto ftd = std::make_unique<t_ftd>(column, def, reserved);
    ftd->size = size;
    if (type == dbGUID) {
        ftd->vartype = VT_BSTR;
        ftd->size = 38;
        ftd->dw_reserved = 1;
    } else if (type == dbAttachment) {
        tk_log_write(2, "Special processing for dbAttachment");
        ftd->dw_reserved = 101;
        ftd->size = 0;
    }
    set_precision(*ftd, field, type);
    ftd->extra = description;
    return ftd;
}

} // namespace

dao_default_rules dao_apply_default_rules(int type, long size, const std::wstring& def_text,
                                          const std::wstring& format, int field_no)
{
    dao_default_rules r;
    r.text = def_text;
    if (type == dbDate) {
        tk_log_write(2, "Make date field more precise");
        r.dw_reserved = 1;
    }
    if (type == dbText && enclosed_in(r.text, L'"')) {
        tk_log_write(2, "Remove quotes for text def.value");
        r.text = strip_ends(r.text);
    }
    tk_log_write_w(2, L"def.value='%s'", r.text.c_str());

    // Display formats refine date columns only.
    if (is_date_type(type)) {
        if (tk_iequal(format, L"Short Date") || tk_iequal(format, L"Medium Date") ||
            tk_iequal(format, L"Long Date")) {
            tk_log_write(2, "Refine type for 'pure' date");
            r.dw_reserved = 2;
        } else if (tk_iequal(format, L"Short Time") || tk_iequal(format, L"Medium Time") ||
                   tk_iequal(format, L"Long Time")) {
            tk_log_write(2, "Refine type for 'pure' time");
            r.dw_reserved = 3;
        }
    }

    if (r.text.empty())
        return r;
    bool expression = false;
    if (r.text.front() == L'=') {
        expression = true;
        tk_log_write(1, "Got def.value of form ='...'");
        r.text.erase(0, 1);
        if (enclosed_in(r.text, L'"') || enclosed_in(r.text, L'\''))
            r.text = strip_ends(r.text);
        tk_log_write_w(1, L"After all processing: %s", r.text.c_str());
    }
    if (tk_iequal(format, L"On/Off")) {
        r.on_off_default = tk_iequal(r.text, L"On");
    } else if (type == dbDate) {
        tk_log_write(2, "Got date/time def.value");
        if (enclosed_in(r.text, L'#'))
            r.text = strip_ends(r.text);
        if (tk_iequal(r.text, L"now()")) {
            tk_log_write(2, "Got NOW()");
            r.dw_reserved = r.dw_reserved == 2 ? 10 : r.dw_reserved == 3 ? 11 : 9;
        } else if (tk_iequal(r.text, L"date()")) {
            tk_log_write(2, "Got CURRENT_DATE");
            r.dw_reserved = 10;
        } else if (tk_iequal(r.text, L"time()")) {
            tk_log_write(2, "Got CURRENT_TIME");
            r.dw_reserved = 11;
        }
    } else if (type == dbText && !expression) {
        tk_log_write(2, "Got string def.value");
        if (enclosed_in(r.text, L'"'))
            r.text = strip_ends(r.text);
    }
    if (type == dbText && size != 0 && static_cast<std::size_t>(size) < r.text.size()) {
        tk_log_write_w(3, L"Skip incorrect default value [%s] for field #%d", r.text.c_str(), field_no);
        r.text.clear();
    }
    return r;
}

// ---------------------------------------------------------------------------------------------

dao_recordset::dao_recordset(udb_database* db, const std::wstring& name, DAORecordset* rs,
                             _DAOTableDef* table)
    : udb_recordset(db, name)
{
    dao_hold(m_rs, rs);
    dao_hold(m_table, table);
    tk_log_write_w(2, L"dao_recordset::dao_recordset(%s)", name.c_str());
    if (!rs)
        throw tk_mail_assertion("dao_recs", 46);
    if (table) {
        long count = 0;
        dao_call(table->get_RecordCount(&count));
        tk_log_write(2, "Got records count: %d", static_cast<int>(count));
        record_count = count > 0 ? static_cast<uint64_t>(count) : 0;
        init_schema(table);
        init_indexes(table);
        // Key columns hold no NULL, whatever the column's own Required setting says.
        for (const udb_index& index : indexes) {
            if (!index.primary_key)
                continue;
            for (const std::wstring& column : index.fields)
                if (t_ftd* f = schema.get_field(column))
                    f->b_not_null = true;
        }
    }
    read_eof();
    tk_log_write(2, "dao_recordset::dao_recordset - END");
}

dao_recordset::dao_recordset(udb_database* db, const std::wstring& name, const std::wstring& sql,
                             DAORecordset* rs, _DAOQueryDef* query, unsigned count)
    : udb_recordset(db, name, sql)
{
    dao_hold(m_rs, rs);
    dao_hold(m_query, query);
    tk_log_write_w(2, L"dao_recordset::dao_recordset(%s)", name.c_str());
    if (!rs)
        throw tk_mail_assertion("dao_recs", 78);
    if (query) {
        record_count = count;
        tk_log_write(2, "Got records count: %d", static_cast<int>(count));
        init_schema(query);
    }
    read_eof();
    tk_log_write(2, "dao_recordset::dao_recordset - END");
}

dao_recordset::~dao_recordset()
{
    try {
        tk_log_write(2, "dao_recordset::dtor");
        m_record.reset();
        if (!m_rs.is_empty())
            m_rs->Close();
        m_query.reset();
        m_table.reset();
        m_rs.reset();
    } catch (...) {
        // Nothing leaves a destructor.
    }
}

void dao_recordset::read_eof()
{
    VARIANT_BOOL eof = VARIANT_FALSE;
    dao_call(m_rs->get_EOF(&eof));
    m_eof = eof;
}

void dao_recordset::init_schema(_DAOTableDef* table)
{
    tk_log_write(2, "dao_recordset::init_schema( DAOTableDef * )");
    if (!table)
        throw tk_mail_assertion("dao_recs", 317);
    ole_com_ptr<DAOFields> fields;
    dao_call(table->get_Fields(&fields), fields);
    short count = 0;
    dao_call(fields->get_Count(&count));
    for (short i = 0; i < count; ++i) {
        ole_com_ptr<_DAOField> field;
        dao_call(fields->get_Item(dao_var_int(i), &field), field);
        short type = 0;
        dao_call(field->get_Type(&type));
        long size = 0;
        dao_call(field->get_Size(&size));
        const std::wstring raw_default = default_text(field.get());
        const std::wstring description = shielded_property(field.get(), L"Description", "ERROR1");
        const std::wstring format = shielded_property(field.get(), L"Format", "ERROR2");
        tk_log_write_w(1, L"Column description='%s'", description.c_str());
        tk_log_write_w(2, L"Column format='%s'", format.c_str());
        tk_log_write_w(2, L"DAO Field #%d: size=%d, DAO type=%d, def.value=%s, comment=%s",
                       static_cast<int>(i), static_cast<int>(size), static_cast<int>(type),
                       raw_default.c_str(), description.c_str());

        dao_default_rules rules = dao_apply_default_rules(type, size, raw_default, format, i);
        ole_variant def = default_value(rules.text, get_vartype(type));
        if (rules.on_off_default)
            def = ole_variant(1);

        dao_field column(field.get(), true);
        if (column.is_complex())
            m_complex_columns.push_back(column.get_name());
        schema.push_back(make_column(column, field.get(), type, def, rules.dw_reserved,
                                     static_cast<uint32_t>(size), description).release());
    }
    tk_log_write(2, "End of dao_recordset::init_schema");
}

void dao_recordset::init_schema(_DAOQueryDef* query)
{
    tk_log_write(2, "dao_recordset::init_schema( DAOQueryDef * )");
    ole_com_ptr<DAOFields> fields;
    dao_call(query->get_Fields(&fields), fields);
    short count = 0;
    dao_call(fields->get_Count(&count));
    for (short i = 0; i < count; ++i) {
        ole_com_ptr<_DAOField> field;
        dao_call(fields->get_Item(dao_var_int(i), &field), field);
        short type = 0;
        dao_call(field->get_Type(&type));
        std::wstring text = default_text(field.get());
        const std::wstring description = shielded_property(field.get(), L"Description", "ERROR1");
        const std::wstring format = shielded_property(field.get(), L"Format", "ERROR2");
        tk_log_write_w(1, L"Column description='%s'", description.c_str());
        tk_log_write_w(1, L"Column format='%s'", format.c_str());
        tk_log_write_w(2, L"Field #%d: DAO type=%d, default value=%s", static_cast<int>(i),
                       static_cast<int>(type), text.c_str());
        int reserved = 0;
        if (type == dbDate) {
            tk_log_write(2, "Got date/time def.value");
            if (enclosed_in(text, L'#'))
                text = strip_ends(text);
            reserved = 1;
        } else if (type == dbText) {
            tk_log_write(2, "Got string def.value");
            if (enclosed_in(text, L'"'))
                text = strip_ends(text);
        }
        ole_variant def = default_value(text, get_vartype(type));

        dao_field column(field.get(), true);
        schema.push_back(make_column(column, field.get(), type, def, reserved, column.size, description)
                             .release());
    }
    tk_log_write(2, "End of dao_recordset::init_schema");
}

void dao_recordset::init_indexes(_DAOTableDef* table)
{
    tk_log_write(2, "dao_recordset::init_indexes");
    if (!table)
        throw tk_mail_assertion("dao_recs", 540);
    ole_com_ptr<DAOIndexes> list;
    dao_call(table->get_Indexes(&list), list);
    short count = 0;
    dao_call(list->get_Count(&count));
    tk_log_write(2, "Got %d indexes", static_cast<int>(count));
    for (short i = 0; i < count; ++i) {
        tk_log_write(2, "Processing index %d", static_cast<int>(i));
        ole_com_ptr<_DAOIndex> index;
        dao_call(list->get_Item(dao_var_int(i), &index), index);
        dao_bstr name;
        dao_call(index->get_Name(&name));
        VARIANT_BOOL foreign = VARIANT_FALSE;
        dao_call(index->get_Foreign(&foreign));
        tk_log_write(2, "tmp_val=%d", static_cast<int>(foreign));
        const std::wstring index_name = name.to_wstring();
        if (foreign == VARIANT_TRUE) {
            tk_log_write_w(2, L"Index '%s' is a FK, skip it", index_name.c_str());
            continue;
        }
        VARIANT_BOOL primary = VARIANT_FALSE;
        dao_call(index->get_Primary(&primary));
        tk_log_write(2, "tmp_val=%d", static_cast<int>(primary));
        VARIANT_BOOL unique = VARIANT_FALSE;
        dao_call(index->get_Unique(&unique));
        tk_log_write(2, "tmp_val=%d", static_cast<int>(unique));
        const bool is_primary = primary == VARIANT_TRUE;
        const bool is_unique = unique == VARIANT_TRUE;
        tk_log_write_w(2, L"Name=%s, is_primary=%d, is_unique=%d", index_name.c_str(),
                       static_cast<int>(is_primary), static_cast<int>(is_unique));

        VARIANT fv;
        VariantInit(&fv);
        dao_call(index->get_Fields(&fv));
        DAOIndexFields* raw = nullptr;
        if (fv.vt == VT_DISPATCH)
            raw = com_query<DAOIndexFields>(fv.pdispVal);
        VariantClear(&fv);
        ole_com_ptr<DAOIndexFields> index_fields(raw);
        if (index_fields.is_empty())
            throw tk_exception(1);
        short n_fields = 0;
        dao_call(index_fields->get_Count(&n_fields));
        std::vector<std::wstring> columns;
        for (short k = 0; k < n_fields; ++k) {
            VARIANT item;
            VariantInit(&item);
            dao_call(index_fields->get_Item(dao_var_int(k), &item));
            _DAOField* f = item.vt == VT_DISPATCH ? com_query<_DAOField>(item.pdispVal) : nullptr;
            VariantClear(&item);
            ole_com_ptr<_DAOField> column(f);
            if (column.is_empty())
                throw tk_exception(1);
            dao_bstr column_name;
            dao_call(column->get_Name(&column_name));
            tk_log_write_w(1, L"got index field: %s", column_name.to_wstring().c_str());
            columns.push_back(column_name.to_wstring());
        }
        // The engine's own key over an attachment, multi-valued or version-history column (a
        // unique index, never the primary key) says nothing about the values converted from it.
        // A primary key over such a column goes on: the destination leaves it out and says so.
        bool on_complex = false;
        for (const auto& c : columns)
            for (const auto& x : m_complex_columns)
                on_complex = on_complex || tk_iequal(c, x);
        if (on_complex && !is_primary) {
            tk_log_write_w(2, L"Index '%s' is on a multi-valued column, skip it", index_name.c_str());
            continue;
        }
        add_index(udb_index(index_name, columns, is_unique, is_primary));
    }
    tk_log_write(2, "End of dao_recordset::init_indexes");
}

void dao_recordset::append_record(udb_record& record)
{
    tk_log_write(2, "dao_recordset::append_record");
    if (m_rs.is_empty())
        throw tk_mail_assertion("dao_recs", 433);
    dao_call(m_rs->AddNew());
    tk_log_write(2, "\tAdd blank DAO record");
    for (std::size_t i = 0; i < record.size(); ++i) {
        const udb_field* field = record[i];
        const t_ftd* column = i < schema.size() ? schema[i] : nullptr;
        if (!field || !column)
            continue;
        const ole_variant& in = field->value();
        tk_log_write_w(2, L"\tAdd field '%s', type=%08X (value=%s)", column->name.c_str(),
                       static_cast<unsigned>(in.get_type()), in.to_wstring().c_str());
        ole_variant value;
        if ((in.is_empty() || in.is_null()) && column->b_not_null) {
            tk_log_write(2, "Got NULL value for not null field");
            value = ole_variant::from_wstring(std::wstring(), column->vartype);
        } else if (in.get_type() == VT_DATE) {
            std::wstring text = in.to_wstring();
            const std::size_t zero = text.find(L"0000-00-00");
            if (zero != std::wstring::npos) {
                tk_log_write(2, "Null date has been found");
                text.replace(zero, 10, L"1899-12-30");
            }
            tk_log_write_w(2, L"Got date: '%s'", text.c_str());
            value = ole_variant(text);
        } else {
            switch (in.get_type()) {
            case VT_I1: case VT_UI2: case VT_UI4: case VT_I8: case VT_UI8:
                value = dao_get_valid_variant(in);
                break;
            default:
                value = in;
            }
        }
        VARIANT item = dao_var_text(column->name);
        VARIANT v = value.to_variant();
        HRESULT hr = m_rs->put_Collect(item, v);
        VariantClear(&item);
        VariantClear(&v);
        dao_call(hr);
    }
    tk_log_write(2, "Commit new record into database");
    dao_call(m_rs->Update(1, VARIANT_FALSE));
    tk_log_write(2, "dao_recordset::append_record - END");
}

udb_record* dao_recordset::get_item()
{
    tk_log_write(1, "dao_recordset::get_item");
    if (m_rs.is_empty())
        throw tk_mail_assertion("dao_recs", 120);
    // The fields follow the cursor, so the last row's record is read again in place. With
    // detailed tracing on, the record is built afresh so that every step shows in the log.
    if (m_record && !tk_log_may_write(1)) {
        try {
            m_record->refresh();
        } catch (...) {
            m_record.reset();
            throw;
        }
        return m_record.get();
    }
    m_record.reset();
    ole_com_ptr<DAOFields> fields;
    dao_call(m_rs->get_Fields(&fields), fields);
    tk_log_write(1, "dao_recordset::get_item - END");
    m_record = std::make_unique<dao_record>(fields.get());
    return m_record.get();
}

bool dao_recordset::is_eof()
{
    return m_eof != 0;
}

void dao_recordset::next()
{
    if (m_rs.is_empty())
        throw tk_mail_assertion("dao_recs", 157);
    dao_call(m_rs->MoveNext());
    read_eof();
}

void dao_recordset::prev()
{
    if (m_rs.is_empty())
        throw tk_mail_assertion("dao_recs", 168);
    VARIANT_BOOL bof = VARIANT_FALSE;
    dao_call(m_rs->get_BOF(&bof));
    if (!bof)
        dao_call(m_rs->MovePrevious());
}

void dao_recordset::reset()
{
    if (record_count == 0)
        return;
    if (m_rs.is_empty())
        throw tk_mail_assertion("dao_recs", 181);
    // No row to go to although the file declares some (a stale count, or rows lost to a damaged
    // page): the walk is empty, and the run compares what it read with what was declared.
    VARIANT_BOOL bof = VARIANT_FALSE, eof = VARIANT_FALSE;
    dao_call(m_rs->get_BOF(&bof));
    dao_call(m_rs->get_EOF(&eof));
    if (bof && eof) {
        m_eof = eof;
        return;
    }
    dao_call(m_rs->MoveFirst());
    // A walk that ended at the last row starts again from the first.
    read_eof();
}

#include "dao/dao_init.h"

#include "OLE/ole_date.h"
#include "TK/tk_log.h"
#include "dao/dao_engi.h"

namespace {

constexpr VARTYPE vt_blob = 65;
constexpr VARTYPE vt_blob_object = 70;

bool is_binary_type(VARTYPE vt)
{
    return vt == vt_blob || vt == vt_blob_object || vt == (VT_ARRAY | VT_UI1);
}

// The column's value as the engine takes it: a VARIANT argument the caller clears.
VARIANT as_argument(const ole_variant& v)
{
    return v.to_variant();
}

// The fields collection of an index, through its automation object.
ole_com_ptr<DAOIndexFields> index_fields(_DAOIndex* index)
{
    VARIANT v;
    VariantInit(&v);
    dao_call(index->get_Fields(&v));
    ole_com_ptr<DAOIndexFields> fields;
    if (v.vt == VT_DISPATCH && v.pdispVal)
        v.pdispVal->QueryInterface(IID_DAOIndexFields, reinterpret_cast<void**>(&fields));
    VariantClear(&v);
    if (fields.is_empty())
        throw tk_mail_assertion("dao_init", 60);
    return fields;
}

} // namespace

short get_native_type(const t_ftd& column)
{
    tk_log_write(1, "dao_field::get_native_type(%d)", static_cast<int>(column.vartype));
    switch (column.vartype) {
    case VT_I2: case VT_I1: return dbInteger;
    case VT_I4: case VT_UI2: return dbLong;
    case VT_R4: return dbSingle;
    case VT_R8: case VT_DECIMAL: case VT_UI4: case VT_I8: case VT_UI8: return dbDouble;
    case VT_CY: return dbCurrency;
    case VT_DATE: return dbDate;
    case VT_BSTR: return column.size >= 1 && column.size <= 255 ? dbText : dbMemo;
    case VT_BOOL: return dbBoolean;
    case VT_UI1: return dbByte;
    default:
        if (is_binary_type(column.vartype)) {
            if (column.dw_reserved == 8)
                return dbMemo;
            return column.size >= 1 && column.size <= 255 ? dbBinary : dbLongBinary;
        }
        throw ole_type_exception();
    }
}

std::wstring quote_def_value(const std::wstring& text)
{
    tk_log_write_w(1, L"dao_schema_initializer::quote_def_value(%s)", text.c_str());
    if (text.find(L'"') == std::wstring::npos)
        return L"\"" + text + L"\"";
    if (text.find(L'\'') == std::wstring::npos)
        return L"'" + text + L"'";
    std::wstring s = text;
    for (auto& c : s)
        if (c == L'"')
            c = L'\'';
    return L"\"" + s + L"\"";
}

ole_variant dao_get_valid_variant(const ole_variant& value)
{
    tk_log_write(1, "dao_get_valid_variant");
    VARTYPE to = VT_EMPTY;
    switch (value.get_type()) {
    case VT_I8: case VT_UI8: tk_log_write(2, "Converting BIGINT value to double"); to = VT_R8; break;
    case VT_UI2: tk_log_write(2, "Converting VT_UI2 value to integer"); to = VT_I4; break;
    case VT_UI4: tk_log_write(2, "Converting VT_UI4 value to double"); to = VT_R8; break;
    case VT_I1: tk_log_write(2, "Converting VT_I1 value to short"); to = VT_I2; break;
    default: return ole_variant();
    }
    ole_variant out = ole_variant::from_wstring(value.to_wstring(), to);
    tk_log_write_w(2, L">>> %s", out.to_wstring().c_str());
    return out;
}

// ---------------------------------------------------------------------------------------------

dao_schema_initializer::dao_schema_initializer(const udb_schema& schema) : udb_schema(true), m_validator(schema)
{
    tk_log_write(2, "dao_schema_initializer::ctor");
    auto_seed = schema.auto_seed;
    auto_increment = schema.auto_increment;
    for (const t_ftd* c : schema) {
        std::wstring name = c->name;
        if (!m_validator.is_acceptable(name))
            name = m_validator.get_safe_name(name);
        auto* copy = new t_ftd(*c);
        copy->name = name;
        push_back(copy);
        if (name != c->name) {
            tk_log_write_w(2, L"Store generated column name '%s'", name.c_str());
            m_validator.add_existing_name(name);
            m_validator.add_mapped_pair(c->name, name);
            m_names[c->name] = name;
        }
    }
}

void dao_schema_initializer::put_default(_DAOField* field, const t_ftd& c, short type)
{
    (void)type;
    if (c.vartype == VT_DATE && (c.dw_reserved == 9 || c.dw_reserved == 10)) {
        const bool now = c.dw_reserved == 9;
        tk_log_write(2, now ? "Processing def.value NOW()" : "Processing def.value Date()");
        VARIANT v = dao_var_text(now ? L"Now()" : L"Date()");
        HRESULT hr = field->put_DefaultValue(v);
        VariantClear(&v);
        dao_call(hr);
        return;
    }
    if (c.def_value.is_empty() || c.def_value.is_null())
        return;
    std::wstring text = c.def_value.to_wstring();
    if (text.empty())
        return;
    tk_log_write_w(2, L"Putting default value: (%d, %s)", static_cast<int>(c.vartype), text.c_str());
    ole_variant value;
    switch (c.vartype) {
    case VT_I1: case VT_UI2: case VT_UI4: case VT_I8: case VT_UI8:
        value = dao_get_valid_variant(c.def_value);
        break;
    case VT_DATE: {
        tk_log_write(2, "Got DATE def value");
        std::wstring canonical = ole_date(text).to_wstring(6);
        tk_log_write_w(2, L"After canonization: %s", canonical.c_str());
        if (canonical.empty())
            return;
        value = ole_variant(quote_def_value(canonical));
        break;
    }
    case VT_BSTR:
        value = ole_variant(quote_def_value(text));
        break;
    default:
        value = c.def_value;
    }
    VARIANT v = as_argument(value);
    HRESULT hr = field->put_DefaultValue(v);
    VariantClear(&v);
    dao_call(hr);
}

void dao_schema_initializer::initialize(_DAOTableDef* table)
{
    tk_log_write(2, "dao_schema_initializer::initialize");
    ole_com_ptr<DAOFields> fields;
    dao_call(table->get_Fields(&fields), fields);
    long total = 0;
    int number = 0;
    for (const t_ftd* c : *this) {
        total += static_cast<long>(c->size);
        tk_log_write(2, "Field #%d: type=%d, size=%d, dw_reserved=%d, total size=%d", number++,
                     static_cast<int>(c->vartype), static_cast<int>(c->size), static_cast<int>(c->dw_reserved),
                     static_cast<int>(total));
        const short type = get_native_type(*c);
        VARIANT name = dao_var_text(c->name);
        ole_com_ptr<_DAOField> field;
        HRESULT hr = table->CreateField(name, dao_var_int(type), dao_var_int(static_cast<int>(c->size)), &field);
        VariantClear(&name);
        dao_call(hr, field);
        dao_call(field->put_Required(c->b_not_null ? VARIANT_TRUE : VARIANT_FALSE));
        if (type == dbText || type == dbMemo) {
            tk_log_write(2, "Set AllowZeroLength flag");
            dao_call(field->put_AllowZeroLength(VARIANT_TRUE));
        }
        put_default(field.get(), *c, type);
        if (type == dbLong && c->b_auto_num)
            dao_call(field->put_Attributes(dbAutoIncrField));
        dao_call(fields->Append(field.get()));
    }
}

// ---------------------------------------------------------------------------------------------

dao_indexes_initializer::dao_indexes_initializer(const udb_indexes& indexes, const dao_schema_initializer& schema)
    : m_validator(indexes)
{
    tk_log_write(2, "dao_indexes_initializer::ctor");
    for (const udb_index& x : indexes) {
        udb_index copy = x;
        bool indexable = true;
        for (auto& f : copy.fields) {
            tk_log_write_w(1, L"t_names_map::get_mapped_name(%s)", f.c_str());
            auto it = schema.names().find(f);
            if (it != schema.names().end())
                f = it->second;
            tk_log_write_w(1, L"Got mapped name: %s", f.c_str());
            const t_ftd* c = schema.get_field(f);
            if (c && (is_binary_type(c->vartype) || (c->vartype == VT_BSTR && (c->size == 0 || c->size > 255)))) {
                tk_log_write_w(2, L"Field '%s' cannot be part of index", f.c_str());
                indexable = false;
            }
        }
        if (!indexable)
            continue;
        if (!m_validator.is_acceptable(copy.name)) {
            copy.name = m_validator.get_safe_name(copy.name);
            tk_log_write_w(2, L"Store generated index name '%s'", copy.name.c_str());
            m_validator.add_existing_name(copy.name);
        }
        push_back_direct(copy);
    }
}

void dao_indexes_initializer::initialize(_DAOTableDef* table)
{
    tk_log_write(2, "dao_indexes_initializer::initialize");
    ole_com_ptr<DAOIndexes> indexes;
    dao_call(table->get_Indexes(&indexes), indexes);
    std::size_t done = 0;
    for (const udb_index& x : *this) {
        if (done++ == dao_max_indexes)
            break;
        tk_log_write_w(2, L"Process index %s, primary=%d, unique=%d", x.name.c_str(), x.primary_key ? 1 : 0,
                       x.unique ? 1 : 0);
        VARIANT name = dao_var_text(x.name);
        ole_com_ptr<_DAOIndex> index;
        HRESULT hr = table->CreateIndex(name, &index);
        VariantClear(&name);
        dao_call(hr, index);
        ole_com_ptr<DAOIndexFields> fields = index_fields(index.get());
        for (const auto& f : x.fields) {
            tk_log_write_w(2, L"\tProcess index field %s", f.c_str());
            VARIANT fname = dao_var_text(f);
            ole_com_ptr<_DAOField> field;
            hr = index->CreateField(fname, dao_var_missing(), dao_var_missing(), &field);
            VariantClear(&fname);
            dao_call(hr, field);
            dao_call(fields->Append(field.get()));
        }
        dao_call(index->put_Primary(x.primary_key ? VARIANT_TRUE : VARIANT_FALSE));
        dao_call(index->put_Unique(x.unique ? VARIANT_TRUE : VARIANT_FALSE));
        dao_call(indexes->Append(index.get()));
    }
}

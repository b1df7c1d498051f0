// Engine errors, argument helpers, value conversion, properties and the Errors collection.
#include <algorithm>
#include <cstring>
#include <cwctype>
#include <new>

#include "platform/dao/dao_internal.h"

namespace daoimpl {

namespace {

const wchar_t* standard_text(long number)
{
    switch (number) {
    case 5: return L"Invalid procedure call or argument.";
    case 6: return L"Overflow.";
    case 11: return L"Division by zero.";
    case 3021: return L"No current record.";
    case 3024: return L"Could not find file '%1'.";
    case 3029: return L"Not a valid account name or password.";
    case 3031: return L"Not a valid password.";
    case 3043: return L"Disk or network error.";
    case 3049: return L"Cannot open database '%1'. It may not be a database that your application recognizes, or the file may be corrupt.";
    case 3061: return L"Too few parameters. Expected %1.";
    case 3075: return L"Syntax error (missing operator) in query expression '%1'.";
    case 3078: return L"The %E cannot find the input table or query '%1'. Make sure it exists and that its name is spelled correctly.";
    case 3079: return L"The specified field '%1' could refer to more than one table listed in the FROM clause of your SQL statement.";
    case 3096: return L"Cannot have aggregate function in WHERE clause (%1).";
    case 3122: return L"You tried to execute a query that does not include the specified expression '%1' as part of an aggregate function.";
    case 3360: return L"Query is too complex.";
    case 3464: return L"Data type mismatch in criteria expression.";
    case 3085: return L"Undefined function '%1' in expression.";
    case 3112: return L"Record(s) cannot be read; no read permission on '%1'.";
    case 3129: return L"Invalid SQL statement; expected 'DELETE', 'INSERT', 'PROCEDURE', 'SELECT', or 'UPDATE'.";
    case 3131: return L"Syntax error in FROM clause.";
    case 3141: return L"The SELECT statement includes a reserved word or an argument name that is misspelled or missing, or the punctuation is incorrect.";
    case 3151: return L"ODBC--connection to '%1' failed.";
    case 3173: return L"The workgroup information file '%1' is missing or is not a workgroup information file.";
    case 3219: return L"Invalid operation.";
    case 3251: return L"Operation is not supported for this type of object.";
    case 3010: return L"Table '%1' already exists.";
    case 3022: return L"The changes you requested to the table were not successful because they would create duplicate values in the index, primary key, or relationship. Change the data in the field or fields that contain duplicate data, remove the index, or redefine the index to permit duplicate entries and try again.";
    case 3163: return L"The field is too small to accept the amount of data you attempted to add. Try inserting or pasting less data.";
    case 3191: return L"Cannot define field more than once.";
    case 3204: return L"Database '%1' already exists.";
    case 3259: return L"Invalid field data type.";
    case 3314: return L"You must enter a value in the '%1' field.";
    case 3421: return L"Data type conversion error.";
    case 3265: return L"Item not found in this collection.";
    case 3270: return L"Property not found.";
    case 3343: return L"Unrecognized database format '%1'.";
    case 3000: return L"Reserved error (%1); there is no message for this error.";
    default: return L"Reserved error (%1); there is no message for this error.";
    }
}

void replace_all(std::wstring& s, const std::wstring& from, const std::wstring& to)
{
    for (std::size_t p = s.find(from); p != std::wstring::npos; p = s.find(from, p + to.size()))
        s.replace(p, from.size(), to);
}

} // namespace

std::wstring engine_ctx::engine_words() const
{
    return gen == generation::ace ? L"Microsoft Access database engine" : L"Microsoft Jet database engine";
}

std::wstring error_text(const engine_ctx& ctx, long number, const std::wstring& arg)
{
    std::wstring s = standard_text(number);
    replace_all(s, L"%E", ctx.engine_words());
    std::wstring a = arg;
    if (a.empty() && s.find(L"Reserved error") == 0)
        a = std::to_wstring(number);
    replace_all(s, L"%1", a);
    return s;
}

HRESULT engine_ctx::fail(long number, const std::wstring& description)
{
    errors.clear();
    errors.emplace_back(number, description);
    return dao_hresult(number);
}

HRESULT engine_ctx::fail(long number) { return fail(number, error_text(*this, number)); }

HRESULT put_bstr(BSTR* out, const std::wstring& s)
{
    if (!out)
        return E_POINTER;
    *out = SysAllocStringLen(s.data(), static_cast<unsigned>(s.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT put_bool(VARIANT_BOOL* out, bool b)
{
    if (!out)
        return E_POINTER;
    *out = b ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

std::wstring bstr_text(BSTR b) { return b ? std::wstring(b, SysStringLen(b)) : std::wstring(); }

bool read_key(const VARIANT& v, item_key& key)
{
    VARIANT t;
    VariantInit(&t);
    const VARIANT* src = &v;
    if (v.vt == (VT_BYREF | VT_VARIANT) && v.byref)
        src = static_cast<const VARIANT*>(v.byref);
    if (src->vt == VT_BSTR) {
        key.by_name = true;
        key.name = bstr_text(src->bstrVal);
        return true;
    }
    if (FAILED(VariantChangeType(&t, src, 0, VT_I4)))
        return false;
    key.position = t.lVal;
    return true;
}

long arg_long(const VARIANT& v, long def)
{
    if (v.vt == VT_EMPTY || v.vt == VT_NULL || (v.vt == VT_ERROR))
        return def;
    VARIANT t;
    VariantInit(&t);
    if (FAILED(VariantChangeType(&t, &v, 0, VT_I4)))
        return def;
    return t.lVal;
}

std::wstring arg_text(const VARIANT& v)
{
    if (v.vt == VT_BSTR)
        return bstr_text(v.bstrVal);
    if (v.vt == VT_EMPTY || v.vt == VT_NULL || v.vt == VT_ERROR)
        return {};
    VARIANT t;
    VariantInit(&t);
    if (FAILED(VariantChangeType(&t, &v, 0, VT_BSTR)))
        return {};
    std::wstring s = bstr_text(t.bstrVal);
    VariantClear(&t);
    return s;
}

bool arg_bool(const VARIANT& v, bool def)
{
    if (v.vt == VT_EMPTY || v.vt == VT_NULL || v.vt == VT_ERROR)
        return def;
    VARIANT t;
    VariantInit(&t);
    if (FAILED(VariantChangeType(&t, &v, 0, VT_BOOL)))
        return def;
    return t.boolVal != 0;
}

// ---------------------------------------------------------------------------
// Values.

void to_variant(const jet::value& v, short dao_type, VARIANT* out)
{
    VariantInit(out);
    using K = jet::value::kind;
    switch (v.type()) {
    case K::null_k: out->vt = VT_NULL; return;
    case K::boolean_k: out->vt = VT_BOOL; out->boolVal = v.as_bool() ? VARIANT_TRUE : VARIANT_FALSE; return;
    case K::byte_k: out->vt = VT_UI1; out->bVal = v.as_byte(); return;
    case K::int16_k: out->vt = VT_I2; out->iVal = v.as_int16(); return;
    case K::int32_k: out->vt = VT_I4; out->lVal = v.as_int32(); return;
    case K::int64_k: out->vt = VT_I8; out->llVal = v.as_int64(); return;
    case K::currency_k: out->vt = VT_CY; out->cyVal.int64 = v.as_currency().scaled; return;
    case K::single_k: out->vt = VT_R4; out->fltVal = v.as_single(); return;
    case K::double_k:
        if (dao_type == dbDate) { out->vt = VT_DATE; out->date = v.as_double(); return; }
        out->vt = VT_R8; out->dblVal = v.as_double(); return;
    case K::datetime_k: out->vt = VT_DATE; out->date = v.as_datetime().days; return;
    case K::guid_k: {
        // "{guid {...}}", as the engine gives GUID values.
        wchar_t s[45] = L"{guid ";
        wchar_t (&text)[38] = *reinterpret_cast<wchar_t (*)[38]>(s + 6);
        v.as_guid().format(text);
        s[44] = L'}';
        out->vt = VT_BSTR;
        out->bstrVal = SysAllocStringLen(s, 45);
        return;
    }
    case K::decimal_k: {
        const jet::decimal& d = v.as_decimal();
        DECIMAL dec{};
        dec.scale = d.scale;
        dec.sign = d.negative ? DECIMAL_NEG : 0;
        dec.Lo64 = d.lo;
        dec.Hi32 = static_cast<uint32_t>(d.hi);
        out->decVal = dec;
        out->vt = VT_DECIMAL;
        return;
    }
    case K::text_k: {
        const std::wstring& s = v.as_text();
        out->vt = VT_BSTR;
        out->bstrVal = SysAllocStringLen(s.data(), static_cast<unsigned>(s.size()));
        return;
    }
    case K::binary_k: {
        const jet::bytes& b = v.as_binary();
        SAFEARRAY* sa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(b.size()));
        if (sa && !b.empty()) {
            void* p = nullptr;
            SafeArrayAccessData(sa, &p);
            std::memcpy(p, b.data(), b.size());
            SafeArrayUnaccessData(sa);
        }
        out->vt = VT_ARRAY | VT_UI1;
        out->parray = sa;
        return;
    }
    }
}

void to_variant_reusing(const jet::value& v, short dao_type, VARIANT* inout)
{
    if (v.type() == jet::value::text_k && inout->vt == VT_BSTR) {
        const std::wstring& s = v.as_text();
        if (!SysReAllocStringLen(&inout->bstrVal, s.data(), static_cast<unsigned>(s.size())))
            throw std::bad_alloc();
        return;
    }
    switch (inout->vt) {
    case VT_EMPTY: case VT_NULL: case VT_BOOL: case VT_I1: case VT_UI1: case VT_I2: case VT_UI2:
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_I8: case VT_UI8: case VT_R4:
    case VT_R8: case VT_CY: case VT_DATE: case VT_DECIMAL:
        break;   // nothing to release
    default:
        VariantClear(inout);
    }
    to_variant(v, dao_type, inout);
}

short dao_type_of(const jet::column_def& c, jet::complex_kind kind)
{
    using T = jet::column_type;
    switch (c.type) {
    case T::boolean: return dbBoolean;
    case T::byte: return dbByte;
    case T::integer: return dbInteger;
    case T::long_integer: return dbLong;
    case T::currency: return dbCurrency;
    case T::single: return dbSingle;
    case T::double_: return dbDouble;
    case T::datetime: return dbDate;
    case T::binary: return dbBinary;
    case T::text: return dbText;
    case T::ole: return dbLongBinary;
    case T::memo: return dbMemo;
    case T::guid: return dbGUID;
    case T::numeric: return dbDecimal;
    case T::big_int: return dbBigInt;
    case T::ext_datetime: return dbDate;
    case T::complex:
        switch (kind) {
        case jet::complex_kind::attachment: return dbAttachment;
        case jet::complex_kind::version_history: return dbMemo;
        default: return dbComplexText;
        }
    default: return dbLongBinary;
    }
}

long dao_size_of(short t, const jet::column_def* c, bool wide)
{
    switch (t) {
    case dbBoolean: case dbByte: return 1;
    case dbInteger: return 2;
    case dbLong: case dbSingle: return 4;
    case dbCurrency: case dbDouble: case dbDate: case dbBigInt: return 8;
    case dbGUID: case dbDecimal: return 16;
    case dbText: case dbBinary: return c ? static_cast<long>(c->size(wide)) : 255;
    default: return 0;
    }
}

// ---------------------------------------------------------------------------
// Properties.

namespace {

class property_obj : public object<DAOProperty> {
public:
    property_obj(ctx_ptr ctx, prop p) : ctx_(std::move(ctx)), p_(std::move(p)) {}
    HRESULT get_Name(BSTR* pbstr) override { return put_bstr(pbstr, p_.name); }
    HRESULT get_Value(VARIANT* pval) override
    {
        if (!pval) return E_POINTER;
        to_variant(p_.data, p_.type, pval);
        return S_OK;
    }
    HRESULT get_Type(short* ptype) override { if (!ptype) return E_POINTER; *ptype = p_.type; return S_OK; }
    HRESULT get_Inherited(VARIANT_BOOL* pb) override { return put_bool(pb, p_.inherited); }
    HRESULT put_Value(VARIANT) override { return ctx_->fail(daoErrNotSupported); }

private:
    ctx_ptr ctx_;
    prop p_;
};

class properties_obj : public object<DAOProperties> {
public:
    properties_obj(ctx_ptr ctx, prop_list p) : ctx_(std::move(ctx)), p_(std::move(p)) {}
    HRESULT get_Count(short* c) override { if (!c) return E_POINTER; *c = static_cast<short>(p_.size()); return S_OK; }
    HRESULT get_Item(VARIANT Item, DAOProperty** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        item_key k;
        if (!read_key(Item, k)) return ctx_->fail(daoErrItemNotFound);
        for (std::size_t i = 0; i < p_.size(); ++i) {
            if (k.by_name ? jet::same_name(p_[i].name, k.name) : static_cast<long>(i) == k.position)
                return put_itf(pp, new property_obj(ctx_, p_[i]));
        }
        return ctx_->fail(k.by_name ? daoErrPropertyNotFound : daoErrItemNotFound);
    }
    HRESULT Refresh() override { return S_OK; }

private:
    ctx_ptr ctx_;
    prop_list p_;
};

class error_obj : public object<DAOError> {
public:
    error_obj(long n, std::wstring d) : n_(n), d_(std::move(d)) {}
    HRESULT get_Number(long* pl) override { if (!pl) return E_POINTER; *pl = n_; return S_OK; }
    HRESULT get_Source(BSTR* pbstr) override { return put_bstr(pbstr, L"DAO.Database"); }
    HRESULT get_Description(BSTR* pbstr) override { return put_bstr(pbstr, d_); }

private:
    long n_;
    std::wstring d_;
};

class errors_obj : public object<DAOErrors> {
public:
    explicit errors_obj(std::vector<std::pair<long, std::wstring>> e) : e_(std::move(e)) {}
    HRESULT get_Count(short* c) override { if (!c) return E_POINTER; *c = static_cast<short>(e_.size()); return S_OK; }
    HRESULT get_Item(VARIANT Item, DAOError** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        item_key k;
        if (!read_key(Item, k) || k.by_name || k.position < 0 || static_cast<std::size_t>(k.position) >= e_.size())
            return dao_hresult(daoErrItemNotFound);
        return put_itf(pp, new error_obj(e_[k.position].first, e_[k.position].second));
    }
    HRESULT Refresh() override { return S_OK; }

private:
    std::vector<std::pair<long, std::wstring>> e_;
};

} // namespace

DAOProperties* make_properties(ctx_ptr ctx, prop_list props) { return new properties_obj(std::move(ctx), std::move(props)); }

DAOErrors* make_errors(const engine_ctx& ctx) { return new errors_obj(ctx.errors); }

} // namespace daoimpl

// The writing half: new databases, table definitions with fields and indexes, relations, and
// recordsets that append rows, all through the Access file writer.
#include <chrono>
#include <cstring>
#include <sys/stat.h>

#include "platform/dao/dao_accsql.h"
#include "platform/dao/dao_internal.h"

namespace daoimpl {

namespace {

constexpr long daoErrDatabaseExists = 3204;
constexpr long daoErrFieldTwice = 3191;
constexpr long daoErrInvalidType = 3259;
constexpr long daoErrConversion = 3421;
constexpr long daoErrInvalidArgument = 3001;

double now_as_date()
{
    using namespace std::chrono;
    auto secs = duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
    return 25569.0 + static_cast<double>(secs) / 86400.0;
}

// A field of a new definition (table, index or relation) with its settable properties.
class new_field : public info_field<new_field> {
public:
    new_field(ctx_ptr ctx, std::wstring name, short type, long size) : ctx_(std::move(ctx))
    {
        c_.name = std::move(name);
        c_.type = type;
        c_.size = size;
    }
    column_info& info() { return c_; }
    const column_info& info() const { return c_; }
    int precision = 18;
    int scale = 0;

    HRESULT get_Value(VARIANT*) override { return ctx_->fail(daoErrInvalidOperation); }
    HRESULT get_Properties(DAOProperties** pp) override;
    HRESULT put_Value(VARIANT) override { return ctx_->fail(daoErrInvalidOperation); }
    HRESULT put_Required(VARIANT_BOOL b) override { c_.required = b != VARIANT_FALSE; return S_OK; }
    HRESULT put_AllowZeroLength(VARIANT_BOOL b) override { c_.allow_zero_length = b != VARIANT_FALSE; return S_OK; }
    HRESULT put_DefaultValue(VARIANT v) override
    {
        c_.default_value = arg_text(v);
        return S_OK;
    }
    HRESULT put_Attributes(long l) override { c_.attributes = l; return S_OK; }
    HRESULT put_ForeignName(BSTR b) override { c_.foreign_name = bstr_text(b); return S_OK; }

private:
    ctx_ptr ctx_;
    column_info c_;
};

// A property of a new field that writes back (Precision and Scale of decimals, and the rest by name).
class new_field_property : public object<DAOProperty> {
public:
    new_field_property(new_field* f, std::wstring name) : f_(f), name_(std::move(name)) { f_->AddRef(); }
    ~new_field_property() override { f_->Release(); }
    HRESULT get_Name(BSTR* p) override { return put_bstr(p, name_); }
    HRESULT get_Value(VARIANT* p) override
    {
        if (!p) return E_POINTER;
        VariantInit(p);
        if (jet::same_name(name_, L"Precision")) { p->vt = VT_I4; p->lVal = f_->precision; }
        else if (jet::same_name(name_, L"Scale")) { p->vt = VT_I4; p->lVal = f_->scale; }
        else if (jet::same_name(name_, L"Required")) { p->vt = VT_BOOL; p->boolVal = f_->info().required ? VARIANT_TRUE : VARIANT_FALSE; }
        else if (jet::same_name(name_, L"AllowZeroLength")) { p->vt = VT_BOOL; p->boolVal = f_->info().allow_zero_length ? VARIANT_TRUE : VARIANT_FALSE; }
        else return f_->get_DefaultValue(p);
        return S_OK;
    }
    HRESULT get_Type(short* p) override { if (!p) return E_POINTER; *p = dbLong; return S_OK; }
    HRESULT get_Inherited(VARIANT_BOOL* p) override { return put_bool(p, false); }
    HRESULT put_Value(VARIANT v) override
    {
        if (jet::same_name(name_, L"Precision")) f_->precision = static_cast<int>(arg_long(v, 18));
        else if (jet::same_name(name_, L"Scale")) f_->scale = static_cast<int>(arg_long(v, 0));
        else if (jet::same_name(name_, L"Required")) f_->info().required = arg_bool(v, false);
        else if (jet::same_name(name_, L"AllowZeroLength")) f_->info().allow_zero_length = arg_bool(v, false);
        else if (jet::same_name(name_, L"DefaultValue")) f_->info().default_value = arg_text(v);
        else return E_INVALIDARG;
        return S_OK;
    }

private:
    new_field* f_;
    std::wstring name_;
};

class new_field_properties : public object<DAOProperties> {
public:
    explicit new_field_properties(new_field* f) : f_(f) { f_->AddRef(); }
    ~new_field_properties() override { f_->Release(); }
    HRESULT get_Count(short* c) override { if (!c) return E_POINTER; *c = 5; return S_OK; }
    HRESULT get_Item(VARIANT Item, DAOProperty** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        static const wchar_t* names[] = {L"Precision", L"Scale", L"Required", L"AllowZeroLength", L"DefaultValue"};
        item_key k;
        if (!read_key(Item, k)) return E_INVALIDARG;
        for (long i = 0; i < 5; ++i)
            if (k.by_name ? jet::same_name(names[i], k.name) : i == k.position)
                return put_itf(pp, new new_field_property(f_, names[i]));
        return E_INVALIDARG;
    }
    HRESULT Refresh() override { return S_OK; }

private:
    new_field* f_;
};

HRESULT new_field::get_Properties(DAOProperties** pp) { return put_itf(pp, new new_field_properties(this)); }

// The fields of a new definition: Append takes fields made by CreateField.
class new_fields : public object<DAOFields> {
public:
    explicit new_fields(ctx_ptr ctx) : ctx_(std::move(ctx)) {}
    ~new_fields() override
    {
        for (auto* f : f_) f->Release();
    }
    const std::vector<new_field*>& items() const { return f_; }
    HRESULT get_Count(short* c) override { if (!c) return E_POINTER; *c = static_cast<short>(f_.size()); return S_OK; }
    HRESULT get_Item(VARIANT Item, _DAOField** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        item_key k;
        if (!read_key(Item, k)) return ctx_->fail(daoErrItemNotFound);
        for (std::size_t i = 0; i < f_.size(); ++i)
            if (k.by_name ? jet::same_name(f_[i]->info().name, k.name) : static_cast<long>(i) == k.position) {
                f_[i]->AddRef();
                *pp = f_[i];
                return S_OK;
            }
        return ctx_->fail(daoErrItemNotFound);
    }
    HRESULT Append(IDispatch* obj) override
    {
        auto* f = dynamic_cast<new_field*>(obj);
        if (!f) return ctx_->fail(daoErrInvalidOperation);
        for (auto* g : f_)
            if (jet::same_name(g->info().name, f->info().name)) return ctx_->fail(daoErrFieldTwice);
        f->AddRef();
        f->info().ordinal = static_cast<short>(f_.size());
        f_.push_back(f);
        return S_OK;
    }
    HRESULT Delete(BSTR name) override
    {
        std::wstring n = bstr_text(name);
        for (auto it = f_.begin(); it != f_.end(); ++it)
            if (jet::same_name((*it)->info().name, n)) {
                (*it)->Release();
                f_.erase(it);
                return S_OK;
            }
        return ctx_->fail(daoErrItemNotFound);
    }
    HRESULT Refresh() override { return S_OK; }

private:
    ctx_ptr ctx_;
    std::vector<new_field*> f_;
};

// The same fields seen as an index's field collection (items as automation objects).
class new_index_fields : public object<DAOIndexFields> {
public:
    explicit new_index_fields(new_fields* f) : f_(f) { f_->AddRef(); }
    ~new_index_fields() override { f_->Release(); }
    HRESULT get_Count(short* c) override { return f_->get_Count(c); }
    HRESULT get_Item(VARIANT Item, VARIANT* pv) override
    {
        if (!pv) return E_POINTER;
        VariantInit(pv);
        _DAOField* fld = nullptr;
        HRESULT hr = f_->get_Item(Item, &fld);
        if (FAILED(hr)) return hr;
        pv->vt = VT_DISPATCH;
        pv->pdispVal = fld;
        return S_OK;
    }
    HRESULT Append(IDispatch* obj) override { return f_->Append(obj); }
    HRESULT Refresh() override { return S_OK; }

private:
    new_fields* f_;
};

class new_index : public object<_DAOIndex> {
public:
    new_index(ctx_ptr ctx, std::wstring name) : ctx_(ctx), name_(std::move(name)), fields_(new new_fields(ctx)) {}
    ~new_index() override { fields_->Release(); }
    const std::wstring& name() const { return name_; }
    const new_fields& fields() const { return *fields_; }
    bool primary = false, unique = false, required = false, ignore_nulls = false;

    HRESULT get_Name(BSTR* p) override { return put_bstr(p, name_); }
    HRESULT get_Primary(VARIANT_BOOL* p) override { return put_bool(p, primary); }
    HRESULT get_Unique(VARIANT_BOOL* p) override { return put_bool(p, unique); }
    HRESULT get_Foreign(VARIANT_BOOL* p) override { return put_bool(p, false); }
    HRESULT get_Required(VARIANT_BOOL* p) override { return put_bool(p, required); }
    HRESULT get_IgnoreNulls(VARIANT_BOOL* p) override { return put_bool(p, ignore_nulls); }
    HRESULT get_Clustered(VARIANT_BOOL* p) override { return put_bool(p, false); }
    HRESULT get_Fields(VARIANT* pv) override
    {
        if (!pv) return E_POINTER;
        VariantInit(pv);
        pv->vt = VT_DISPATCH;
        pv->pdispVal = new new_index_fields(fields_);
        return S_OK;
    }
    HRESULT get_Properties(DAOProperties** pp) override
    {
        prop_list l;
        l.push_back({L"Name", dbText, jet::value(name_)});
        l.push_back({L"Primary", dbBoolean, jet::value(primary)});
        l.push_back({L"Unique", dbBoolean, jet::value(unique)});
        return put_itf(pp, make_properties(ctx_, std::move(l)));
    }
    HRESULT put_Primary(VARIANT_BOOL b) override { primary = b != VARIANT_FALSE; return S_OK; }
    HRESULT put_Unique(VARIANT_BOOL b) override { unique = b != VARIANT_FALSE; return S_OK; }
    HRESULT CreateField(VARIANT Name, VARIANT Type, VARIANT Size, _DAOField** pp) override
    {
        return put_itf(pp, new new_field(ctx_, arg_text(Name), static_cast<short>(arg_long(Type, dbText)), arg_long(Size, 0)));
    }

private:
    ctx_ptr ctx_;
    std::wstring name_;
    new_fields* fields_;
};

class new_indexes : public object<DAOIndexes> {
public:
    explicit new_indexes(ctx_ptr ctx) : ctx_(std::move(ctx)) {}
    ~new_indexes() override
    {
        for (auto* x : x_) x->Release();
    }
    const std::vector<new_index*>& items() const { return x_; }
    HRESULT get_Count(short* c) override { if (!c) return E_POINTER; *c = static_cast<short>(x_.size()); return S_OK; }
    HRESULT get_Item(VARIANT Item, _DAOIndex** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        item_key k;
        if (!read_key(Item, k)) return ctx_->fail(daoErrItemNotFound);
        for (std::size_t i = 0; i < x_.size(); ++i)
            if (k.by_name ? jet::same_name(x_[i]->name(), k.name) : static_cast<long>(i) == k.position) {
                x_[i]->AddRef();
                *pp = x_[i];
                return S_OK;
            }
        return ctx_->fail(daoErrItemNotFound);
    }
    HRESULT Append(IDispatch* obj) override
    {
        auto* x = dynamic_cast<new_index*>(obj);
        if (!x) return ctx_->fail(daoErrInvalidOperation);
        for (auto* y : x_)
            if (jet::same_name(y->name(), x->name())) return ctx_->fail(daoErrFieldTwice);
        x->AddRef();
        x_.push_back(x);
        return S_OK;
    }
    HRESULT Delete(BSTR name) override
    {
        std::wstring n = bstr_text(name);
        for (auto it = x_.begin(); it != x_.end(); ++it)
            if (jet::same_name((*it)->name(), n)) {
                (*it)->Release();
                x_.erase(it);
                return S_OK;
            }
        return ctx_->fail(daoErrItemNotFound);
    }
    HRESULT Refresh() override { return S_OK; }

private:
    ctx_ptr ctx_;
    std::vector<new_index*> x_;
};

class new_tabledef : public object<_DAOTableDef> {
public:
    new_tabledef(ctx_ptr ctx, std::wstring name)
        : ctx_(ctx), name_(std::move(name)), fields_(new new_fields(ctx)), indexes_(new new_indexes(ctx))
    {
    }
    ~new_tabledef() override
    {
        fields_->Release();
        indexes_->Release();
    }
    const std::wstring& name() const { return name_; }
    const new_fields& fields() const { return *fields_; }
    const new_indexes& indexes() const { return *indexes_; }

    HRESULT get_Name(BSTR* p) override { return put_bstr(p, name_); }
    HRESULT get_Attributes(long* p) override { if (!p) return E_POINTER; *p = 0; return S_OK; }
    HRESULT get_Connect(BSTR* p) override { return put_bstr(p, L""); }
    HRESULT get_SourceTableName(BSTR* p) override { return put_bstr(p, L""); }
    HRESULT get_DateCreated(VARIANT* p) override { if (!p) return E_POINTER; VariantInit(p); p->vt = VT_NULL; return S_OK; }
    HRESULT get_LastUpdated(VARIANT* p) override { return get_DateCreated(p); }
    HRESULT get_RecordCount(long* p) override { if (!p) return E_POINTER; *p = 0; return S_OK; }
    HRESULT get_Updatable(VARIANT_BOOL* p) override { return put_bool(p, true); }
    HRESULT get_Fields(DAOFields** pp) override
    {
        fields_->AddRef();
        return put_itf(pp, fields_);
    }
    HRESULT get_Indexes(DAOIndexes** pp) override
    {
        indexes_->AddRef();
        return put_itf(pp, indexes_);
    }
    HRESULT get_Properties(DAOProperties** pp) override
    {
        prop_list l;
        l.push_back({L"Name", dbText, jet::value(name_)});
        return put_itf(pp, make_properties(ctx_, std::move(l)));
    }
    HRESULT OpenRecordset(VARIANT, VARIANT, DAORecordset** pp) override
    {
        if (pp) *pp = nullptr;
        return ctx_->fail(daoErrInvalidOperation);
    }
    HRESULT CreateField(VARIANT Name, VARIANT Type, VARIANT Size, _DAOField** pp) override
    {
        return put_itf(pp, new new_field(ctx_, arg_text(Name), static_cast<short>(arg_long(Type, dbText)), arg_long(Size, 0)));
    }
    HRESULT CreateIndex(VARIANT Name, _DAOIndex** pp) override { return put_itf(pp, new new_index(ctx_, arg_text(Name))); }

private:
    ctx_ptr ctx_;
    std::wstring name_;
    new_fields* fields_;
    new_indexes* indexes_;
};

class new_relation : public object<_DAORelation> {
public:
    new_relation(ctx_ptr ctx, std::wstring name, std::wstring table, std::wstring foreign, long attributes)
        : ctx_(ctx), name_(std::move(name)), table_(std::move(table)), foreign_(std::move(foreign)),
          attributes_(attributes), fields_(new new_fields(ctx))
    {
    }
    ~new_relation() override { fields_->Release(); }
    jet::relationship_def definition() const
    {
        jet::relationship_def r;
        r.name = name_;
        r.table = foreign_;
        r.ref_table = table_;
        r.grbit = static_cast<std::uint32_t>(attributes_);
        for (const auto* f : fields_->items()) {
            r.ref_columns.push_back(f->info().name);
            r.columns.push_back(f->info().foreign_name);
        }
        return r;
    }
    HRESULT get_Name(BSTR* p) override { return put_bstr(p, name_); }
    HRESULT get_Table(BSTR* p) override { return put_bstr(p, table_); }
    HRESULT get_ForeignTable(BSTR* p) override { return put_bstr(p, foreign_); }
    HRESULT get_Attributes(long* p) override { if (!p) return E_POINTER; *p = attributes_; return S_OK; }
    HRESULT get_Fields(DAOFields** pp) override
    {
        fields_->AddRef();
        return put_itf(pp, fields_);
    }
    HRESULT CreateField(VARIANT Name, VARIANT Type, VARIANT Size, _DAOField** pp) override
    {
        return put_itf(pp, new new_field(ctx_, arg_text(Name), static_cast<short>(arg_long(Type, dbText)), arg_long(Size, 0)));
    }

private:
    ctx_ptr ctx_;
    std::wstring name_, table_, foreign_;
    long attributes_;
    new_fields* fields_;
};

// ---------------------------------------------------------------------------
// Definitions into the writer's terms.

jet::property bool_prop(const wchar_t* name, bool on)
{
    jet::property p;
    p.name = name;
    p.type = jet::column_type::boolean;
    p.data = jet::value(on);
    return p;
}

jet::column_spec column_of(new_field& f, jet::file_format format)
{
    using T = jet::column_type;
    column_info& c = f.info();
    jet::column_spec s;
    s.name = c.name;
    auto bad_type = [&] { throw dao_failure(daoErrInvalidType, {}); };
    switch (c.type) {
    case dbBoolean: s.type = T::boolean; break;
    case dbByte: s.type = T::byte; break;
    case dbInteger: s.type = T::integer; break;
    case dbLong: s.type = T::long_integer; break;
    case dbCurrency: s.type = T::currency; break;
    case dbSingle: s.type = T::single; break;
    case dbDouble: case dbFloat: s.type = T::double_; break;
    case dbDate: case dbTime: case dbTimeStamp: s.type = T::datetime; break;
    case dbGUID: s.type = T::guid; break;
    case dbMemo: s.type = T::memo; break;
    case dbLongBinary: s.type = T::ole; break;
    case dbBigInt:
        if (format != jet::file_format::ace) bad_type();
        s.type = T::big_int;
        break;
    case dbDecimal: case dbNumeric:
        if (format == jet::file_format::jet3) bad_type();  // Access 97 has no decimal columns
        s.type = T::numeric;
        if (f.precision < 1 || f.precision > 28 || f.scale < 0 || f.scale > f.precision)
            throw dao_failure(daoErrInvalidArgument, {});
        s.precision = static_cast<std::uint8_t>(f.precision);
        s.scale = static_cast<std::uint8_t>(f.scale);
        break;
    case dbText: case dbChar: {
        long size = c.size ? c.size : 50;
        if (size < 1 || size > 255) throw dao_failure(daoErrInvalidArgument, {});
        s.type = T::text;
        s.length = static_cast<std::uint16_t>(size * 2);
        break;
    }
    case dbBinary: case dbVarBinary: {
        long size = c.size ? c.size : 255;
        if (size < 1 || size > 255) throw dao_failure(daoErrInvalidArgument, {});
        s.type = T::binary;
        s.length = static_cast<std::uint16_t>(size);
        break;
    }
    default: bad_type();
    }
    s.auto_number = (c.attributes & dbAutoIncrField) != 0 && s.type == T::long_integer;
    s.hyperlink = (c.attributes & dbHyperlinkField) != 0 && s.type == T::memo;
    s.properties.items.push_back(bool_prop(L"Required", c.required));
    if (s.type == T::text || s.type == T::memo) s.properties.items.push_back(bool_prop(L"AllowZeroLength", c.allow_zero_length));
    if (!c.default_value.empty()) {
        jet::property p;
        p.name = L"DefaultValue";
        p.type = T::memo;
        p.data = jet::value(c.default_value);
        s.properties.items.push_back(p);
    }
    return s;
}

jet::index_spec index_of(const new_index& x)
{
    jet::index_spec s;
    s.name = x.name();
    for (auto* f : x.fields().items())
        s.columns.emplace_back(f->info().name, (f->info().attributes & dbDescending) == 0);
    s.primary = x.primary;
    s.unique = x.unique || x.primary;
    s.required = x.required;
    s.ignore_nulls = x.ignore_nulls;
    if (s.columns.empty()) throw dao_failure(daoErrInvalidOperation, {});
    return s;
}

HRESULT need_writer(const db_ptr& db)
{
    if (db->closed) return db->ctx->fail(daoErrInvalidOperation);
    if (!db->writer) return db->ctx->fail(daoErrNotSupported);
    return S_OK;
}

// ---------------------------------------------------------------------------
// Appending rows.

std::wstring variant_text(const VARIANT& v)
{
    VARIANT t;
    VariantInit(&t);
    if (FAILED(VariantChangeType(&t, &v, 0, VT_BSTR))) throw dao_failure(daoErrConversion, {});
    std::wstring s = t.bstrVal ? std::wstring(t.bstrVal, SysStringLen(t.bstrVal)) : std::wstring();
    VariantClear(&t);
    return s;
}

// A GUID from "{guid {...}}" or "{...}" text.
jet::guid parse_guid(std::wstring s)
{
    if (s.rfind(L"{guid ", 0) == 0 && s.size() > 7) s = s.substr(6, s.size() - 7);
    if (s.size() != 38 || s[0] != L'{' || s[37] != L'}') throw dao_failure(daoErrConversion, {});
    static constexpr int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    jet::guid g;
    std::size_t pos = 1;
    for (int i = 0; i < 16; ++i) {
        if (s[pos] == L'-') ++pos;
        auto hex = [&](wchar_t c) {
            if (c >= L'0' && c <= L'9') return c - L'0';
            if (c >= L'a' && c <= L'f') return c - L'a' + 10;
            if (c >= L'A' && c <= L'F') return c - L'A' + 10;
            throw dao_failure(daoErrConversion, {});
        };
        g.bytes[order[i]] = static_cast<std::uint8_t>(hex(s[pos]) * 16 + hex(s[pos + 1]));
        pos += 2;
    }
    return g;
}

// A value given to a field, in the column's stored kind.
jet::value from_variant(const VARIANT& in, const jet::column_def& c)
{
    const VARIANT* v = &in;
    if (v->vt == VT_EMPTY || v->vt == VT_NULL) return jet::value();
    using T = jet::column_type;
    if (c.type == T::text || c.type == T::memo) return jet::value(variant_text(*v));
    if (c.type == T::guid) return jet::value(parse_guid(variant_text(*v)));
    if (c.type == T::binary || c.type == T::ole) {
        if (v->vt == (VT_ARRAY | VT_UI1) && v->parray) {
            LONG lo = 0, hi = -1;
            SafeArrayGetLBound(v->parray, 1, &lo);
            SafeArrayGetUBound(v->parray, 1, &hi);
            jet::bytes b(static_cast<std::size_t>(hi - lo + 1));
            void* p = nullptr;
            if (!b.empty() && SUCCEEDED(SafeArrayAccessData(v->parray, &p))) {
                std::memcpy(b.data(), p, b.size());
                SafeArrayUnaccessData(v->parray);
            }
            return jet::value(std::move(b));
        }
        if (v->vt == VT_BSTR) {
            jet::bytes b;
            jet::encode_utf16(variant_text(*v), b);
            return jet::value(std::move(b));
        }
        throw dao_failure(daoErrConversion, {});
    }
    VARTYPE want = VT_EMPTY;
    switch (c.type) {
    case T::boolean: want = VT_BOOL; break;
    case T::byte: want = VT_UI1; break;
    case T::integer: want = VT_I2; break;
    case T::long_integer: want = VT_I4; break;
    case T::big_int: want = VT_I8; break;
    case T::currency: want = VT_CY; break;
    case T::single: want = VT_R4; break;
    case T::double_: want = VT_R8; break;
    case T::datetime: want = VT_DATE; break;
    case T::numeric: want = VT_DECIMAL; break;
    default: throw dao_failure(daoErrConversion, {});
    }
    VARIANT t;
    VariantInit(&t);
    if (FAILED(VariantChangeType(&t, v, 0, want))) throw dao_failure(daoErrConversion, {});
    switch (c.type) {
    case T::boolean: return jet::value(t.boolVal != VARIANT_FALSE);
    case T::byte: return jet::value(t.bVal);
    case T::integer: return jet::value(static_cast<std::int16_t>(t.iVal));
    case T::long_integer: return jet::value(static_cast<std::int32_t>(t.lVal));
    case T::big_int: return jet::value(static_cast<std::int64_t>(t.llVal));
    case T::currency: return jet::value(jet::currency{t.cyVal.int64});
    case T::single: return jet::value(t.fltVal);
    case T::double_: return jet::value(t.dblVal);
    case T::datetime: return jet::value(jet::date_time{t.date});
    default: {
        jet::decimal d;
        d.scale = t.decVal.scale;
        d.negative = (t.decVal.sign & DECIMAL_NEG) != 0;
        d.hi = t.decVal.Hi32;
        d.lo = t.decVal.Lo64;
        return jet::value(d);
    }
    }
}

struct append_core {
    db_ptr db;
    std::wstring table;
    std::vector<jet::column_def> columns;
    std::vector<jet::value> row;
    bool editing = false;
    bool closed = false;

    int column(const VARIANT& key) const
    {
        item_key k;
        if (!read_key(key, k)) return -1;
        for (std::size_t i = 0; i < columns.size(); ++i)
            if (k.by_name ? jet::same_name(columns[i].name, k.name) : static_cast<long>(i) == k.position)
                return static_cast<int>(i);
        return -1;
    }
    HRESULT put(int i, const VARIANT& v)
    {
        if (closed) return db->ctx->fail(daoErrInvalidOperation);
        if (!editing) return db->ctx->fail(3020); // Update or CancelUpdate without AddNew or Edit
        try {
            row[static_cast<std::size_t>(i)] = from_variant(v, columns[static_cast<std::size_t>(i)]);
        } catch (...) {
            return fail_from_exception(*db->ctx);
        }
        return S_OK;
    }
};
using append_ptr = std::shared_ptr<append_core>;

class append_field : public object<_DAOField> {
public:
    append_field(append_ptr rs, int i) : rs_(std::move(rs)), i_(i) {}
    const jet::column_def& c() const { return rs_->columns[static_cast<std::size_t>(i_)]; }
    HRESULT get_Name(BSTR* p) override { return put_bstr(p, c().name); }
    HRESULT get_Type(short* p) override { if (!p) return E_POINTER; *p = dao_type_of(c(), jet::complex_kind::none); return S_OK; }
    HRESULT get_Size(long* p) override { if (!p) return E_POINTER; *p = static_cast<long>(c().size(true)); return S_OK; }
    HRESULT get_Attributes(long* p) override { if (!p) return E_POINTER; *p = c().auto_number() ? dbAutoIncrField : 0; return S_OK; }
    HRESULT get_OrdinalPosition(short* p) override { if (!p) return E_POINTER; *p = static_cast<short>(i_); return S_OK; }
    HRESULT get_Required(VARIANT_BOOL* p) override { return put_bool(p, false); }
    HRESULT get_AllowZeroLength(VARIANT_BOOL* p) override { return put_bool(p, true); }
    HRESULT get_DefaultValue(VARIANT* p) override { if (!p) return E_POINTER; VariantInit(p); p->vt = VT_NULL; return S_OK; }
    HRESULT get_ValidationRule(BSTR* p) override { return put_bstr(p, L""); }
    HRESULT get_SourceTable(BSTR* p) override { return put_bstr(p, rs_->table); }
    HRESULT get_SourceField(BSTR* p) override { return put_bstr(p, c().name); }
    HRESULT get_ForeignName(BSTR* p) override { return put_bstr(p, L""); }
    HRESULT get_Value(VARIANT* p) override
    {
        if (!p) return E_POINTER;
        if (!rs_->editing) return rs_->db->ctx->fail(daoErrNoCurrentRecord);
        to_variant(rs_->row[static_cast<std::size_t>(i_)], dao_type_of(c(), jet::complex_kind::none), p);
        return S_OK;
    }
    HRESULT get_Properties(DAOProperties** pp) override { return put_itf(pp, make_properties(rs_->db->ctx, {})); }
    HRESULT put_Value(VARIANT v) override { return rs_->put(i_, v); }
    HRESULT put_Required(VARIANT_BOOL) override { return rs_->db->ctx->fail(daoErrInvalidOperation); }
    HRESULT put_AllowZeroLength(VARIANT_BOOL) override { return rs_->db->ctx->fail(daoErrInvalidOperation); }
    HRESULT put_DefaultValue(VARIANT) override { return rs_->db->ctx->fail(daoErrInvalidOperation); }
    HRESULT put_Attributes(long) override { return rs_->db->ctx->fail(daoErrInvalidOperation); }
    HRESULT put_ForeignName(BSTR) override { return rs_->db->ctx->fail(daoErrInvalidOperation); }

private:
    append_ptr rs_;
    int i_;
};

class append_fields : public object<DAOFields> {
public:
    explicit append_fields(append_ptr rs) : rs_(std::move(rs)) {}
    HRESULT get_Count(short* c) override { if (!c) return E_POINTER; *c = static_cast<short>(rs_->columns.size()); return S_OK; }
    HRESULT get_Item(VARIANT Item, _DAOField** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        int i = rs_->column(Item);
        if (i < 0) return rs_->db->ctx->fail(daoErrItemNotFound);
        return put_itf(pp, new append_field(rs_, i));
    }
    HRESULT Append(IDispatch*) override { return rs_->db->ctx->fail(daoErrInvalidOperation); }
    HRESULT Delete(BSTR) override { return rs_->db->ctx->fail(daoErrInvalidOperation); }
    HRESULT Refresh() override { return S_OK; }

private:
    append_ptr rs_;
};

// A recordset opened for appending: it has no current row of its own; AddNew starts an empty one.
class append_recordset : public object<DAORecordset> {
public:
    explicit append_recordset(append_ptr rs) : rs_(std::move(rs)) {}
    HRESULT get_Name(BSTR* p) override { return put_bstr(p, rs_->table); }
    HRESULT get_Type(short* p) override { if (!p) return E_POINTER; *p = dbOpenTable; return S_OK; }
    HRESULT get_BOF(VARIANT_BOOL* p) override { return put_bool(p, true); }
    HRESULT get_EOF(VARIANT_BOOL* p) override { return put_bool(p, true); }
    HRESULT get_RecordCount(long* p) override { if (!p) return E_POINTER; *p = 0; return S_OK; }
    HRESULT get_AbsolutePosition(long* p) override { if (!p) return E_POINTER; *p = -1; return S_OK; }
    HRESULT get_Updatable(VARIANT_BOOL* p) override { return put_bool(p, true); }
    HRESULT get_Fields(DAOFields** pp) override { return put_itf(pp, new append_fields(rs_)); }
    HRESULT get_Collect(VARIANT Item, VARIANT* pv) override
    {
        if (!pv) return E_POINTER;
        int i = rs_->column(Item);
        if (i < 0) return rs_->db->ctx->fail(daoErrItemNotFound);
        if (!rs_->editing) return rs_->db->ctx->fail(daoErrNoCurrentRecord);
        to_variant(rs_->row[static_cast<std::size_t>(i)], dao_type_of(rs_->columns[static_cast<std::size_t>(i)], jet::complex_kind::none), pv);
        return S_OK;
    }
    HRESULT MoveFirst() override { return rs_->db->ctx->fail(daoErrNoCurrentRecord); }
    HRESULT MoveLast(long) override { return rs_->db->ctx->fail(daoErrNoCurrentRecord); }
    HRESULT MoveNext() override { return rs_->db->ctx->fail(daoErrNoCurrentRecord); }
    HRESULT MovePrevious() override { return rs_->db->ctx->fail(daoErrNoCurrentRecord); }
    HRESULT Move(long, VARIANT) override { return rs_->db->ctx->fail(daoErrNoCurrentRecord); }
    HRESULT Close() override
    {
        rs_->closed = true;
        rs_->editing = false;
        return S_OK;
    }
    HRESULT AddNew() override
    {
        if (rs_->closed || rs_->db->closed) return rs_->db->ctx->fail(daoErrInvalidOperation);
        rs_->row.assign(rs_->columns.size(), jet::value());
        rs_->editing = true;
        return S_OK;
    }
    HRESULT Update(long, VARIANT_BOOL) override
    {
        if (rs_->closed || rs_->db->closed || !rs_->db->writer) return rs_->db->ctx->fail(daoErrInvalidOperation);
        if (!rs_->editing) return rs_->db->ctx->fail(3020);
        try {
            rs_->db->writer->append(rs_->table, rs_->row);
        } catch (...) {
            return fail_from_exception(*rs_->db->ctx);
        }
        rs_->editing = false;
        rs_->db->stale = true;
        return S_OK;
    }
    HRESULT put_Collect(VARIANT Item, VARIANT value) override
    {
        int i = rs_->column(Item);
        if (i < 0) return rs_->db->ctx->fail(daoErrItemNotFound);
        return rs_->put(i, value);
    }

private:
    append_ptr rs_;
};

} // namespace

// ---------------------------------------------------------------------------

void db_state::sync()
{
    if (!writer || !stale) return;
    writer->flush();
    db = jet::database::open(writer->path());
    sql.reset();
    queries.clear();
    queries_read = false;
    stale = false;
}

DAODatabase* create_database(const ctx_ptr& ctx, const std::wstring& path, const std::wstring& locale, long option,
                             HRESULT& hr)
{
    (void)locale; // the General sort order and code page 1252 are what the writer stores
    // Option 0 writes the engine's own generation: Access 97 files from the Jet 3.5 engine.
    jet::file_format format = ctx->gen == generation::ace     ? jet::file_format::ace
                            : ctx->gen == generation::jet35 ? jet::file_format::jet3
                                                              : jet::file_format::jet4;
    if (option & 32) format = jet::file_format::jet3;       // dbVersion30
    if (option & 64) format = jet::file_format::jet4;       // dbVersion40
    if (option & 128) format = jet::file_format::ace;       // dbVersion120
    std::string p = to_utf8(path);
    struct stat st {};
    if (path.empty() || ::stat(p.c_str(), &st) == 0) {
        hr = ctx->fail(daoErrDatabaseExists, error_text(*ctx, daoErrDatabaseExists, path));
        return nullptr;
    }
    try {
        auto st_db = std::make_shared<db_state>();
        st_db->ctx = ctx;
        st_db->writer = std::shared_ptr<jet::database_writer>(jet::database_writer::create(p, format, now_as_date()));
        st_db->db = jet::database::open(p);
        st_db->name = path;
        st_db->read_only = false;
        return make_database(std::move(st_db));
    } catch (...) {
        hr = fail_from_exception(*ctx);
        return nullptr;
    }
}

_DAOTableDef* make_new_tabledef(ctx_ptr ctx, const std::wstring& name) { return new new_tabledef(std::move(ctx), name); }

_DAORelation* make_new_relation(ctx_ptr ctx, const std::wstring& name, const std::wstring& table,
                                const std::wstring& foreign_table, long attributes)
{
    return new new_relation(std::move(ctx), name, table, foreign_table, attributes);
}

_DAOIndex* make_new_index(ctx_ptr ctx, const std::wstring& name) { return new new_index(std::move(ctx), name); }

HRESULT append_tabledef(const db_ptr& db, IDispatch* obj)
{
    if (HRESULT hr = need_writer(db); FAILED(hr)) return hr;
    auto* t = dynamic_cast<new_tabledef*>(obj);
    if (!t) return db->ctx->fail(daoErrInvalidOperation);
    try {
        if (t->name().empty()) throw dao_failure(daoErrInvalidOperation, {});
        if (db->writer->has_table(t->name()))
            throw jet::error(jet::err_table_exists, "Table '" + to_utf8(t->name()) + "' already exists.");
        std::vector<jet::column_spec> cols;
        for (auto* f : t->fields().items()) cols.push_back(column_of(*f, db->writer->format()));
        if (cols.empty()) throw dao_failure(daoErrInvalidOperation, {});
        std::vector<jet::index_spec> idx;
        for (auto* x : t->indexes().items()) idx.push_back(index_of(*x));
        db->writer->create_table(t->name(), cols, idx);
        db->stale = true;
        db->sync();
    } catch (...) {
        return fail_from_exception(*db->ctx);
    }
    return S_OK;
}

HRESULT delete_tabledef(const db_ptr& db, const std::wstring& name)
{
    if (HRESULT hr = need_writer(db); FAILED(hr)) return hr;
    try {
        if (!db->writer->has_table(name)) return db->ctx->fail(daoErrItemNotFound);
        db->writer->delete_table(name);
        db->stale = true;
        db->sync();
    } catch (...) {
        return fail_from_exception(*db->ctx);
    }
    return S_OK;
}

HRESULT append_index(const db_ptr& db, const std::wstring& table, IDispatch* obj)
{
    if (HRESULT hr = need_writer(db); FAILED(hr)) return hr;
    auto* x = dynamic_cast<new_index*>(obj);
    if (!x) return db->ctx->fail(daoErrInvalidOperation);
    try {
        db->writer->add_index(table, index_of(*x));
        db->stale = true;
        db->sync();
    } catch (...) {
        return fail_from_exception(*db->ctx);
    }
    return S_OK;
}

HRESULT append_relation(const db_ptr& db, IDispatch* obj)
{
    if (HRESULT hr = need_writer(db); FAILED(hr)) return hr;
    auto* r = dynamic_cast<new_relation*>(obj);
    if (!r) return db->ctx->fail(daoErrInvalidOperation);
    try {
        db->writer->add_relationship(r->definition());
        db->stale = true;
        db->sync();
    } catch (...) {
        return fail_from_exception(*db->ctx);
    }
    return S_OK;
}

bool is_writable_table(const db_ptr& db, const std::wstring& name)
{
    return db->writer && !db->closed && db->writer->has_table(name);
}

HRESULT open_append_recordset(const db_ptr& db, const std::wstring& table, DAORecordset** out)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    if (HRESULT hr = need_writer(db); FAILED(hr)) return hr;
    try {
        auto core = std::make_shared<append_core>();
        core->db = db;
        const jet::table_def& def = db->writer->table(table);
        core->table = def.name;
        core->columns = def.columns;
        *out = new append_recordset(std::move(core));
    } catch (...) {
        return fail_from_exception(*db->ctx);
    }
    return S_OK;
}

} // namespace daoimpl

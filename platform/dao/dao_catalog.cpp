// Definitions: table and query definitions, fields, indexes, relations and the database object.
#include <algorithm>
#include <map>

#include "platform/dao/dao_internal.h"

namespace daoimpl {

namespace {

bool prop_bool(const jet::property_map& m, const wchar_t* name, bool def)
{
    const jet::value& v = m.get(name);
    if (v.is_null()) return def;
    try {
        return v.type() == jet::value::boolean_k ? v.as_bool() : v.to_int64() != 0;
    } catch (...) {
        return def;
    }
}

std::wstring prop_text(const jet::property_map& m, const wchar_t* name)
{
    const jet::value& v = m.get(name);
    if (v.is_null()) return {};
    if (v.type() == jet::value::text_k) return v.as_text();
    return v.to_wstring();
}

short prop_type(const jet::property& p)
{
    jet::column_def c;
    c.type = p.type;
    return dao_type_of(c, jet::complex_kind::none);
}

bool is_builtin(const prop_list& l, const std::wstring& name)
{
    return std::any_of(l.begin(), l.end(), [&](const prop& p) { return jet::same_name(p.name, name); });
}

void add_stored(prop_list& l, const jet::property_map& m)
{
    for (const auto& p : m.items)
        if (!is_builtin(l, p.name))
            l.push_back({p.name, prop_type(p), p.data, false});
}

prop_list field_props(const column_info& c)
{
    prop_list l;
    l.push_back({L"Name", dbText, jet::value(c.name)});
    l.push_back({L"Type", dbInteger, jet::value(static_cast<std::int16_t>(c.type))});
    l.push_back({L"Size", dbLong, jet::value(static_cast<std::int32_t>(c.size))});
    l.push_back({L"Attributes", dbLong, jet::value(static_cast<std::int32_t>(c.attributes))});
    l.push_back({L"OrdinalPosition", dbInteger, jet::value(c.ordinal)});
    l.push_back({L"Required", dbBoolean, jet::value(c.required)});
    l.push_back({L"AllowZeroLength", dbBoolean, jet::value(c.allow_zero_length)});
    l.push_back({L"DefaultValue", dbText, jet::value(c.default_value)});
    l.push_back({L"ValidationRule", dbText, jet::value(c.validation_rule)});
    l.push_back({L"SourceTable", dbText, jet::value(c.source_table)});
    l.push_back({L"SourceField", dbText, jet::value(c.source_field)});
    for (const auto& p : c.custom)
        if (!is_builtin(l, p.name)) l.push_back(p);
    return l;
}

// ---------------------------------------------------------------------------
class def_field : public info_field<def_field> {
public:
    def_field(ctx_ptr ctx, column_info c) : ctx_(std::move(ctx)), c_(std::move(c)) {}
    const column_info& info() const { return c_; }
    HRESULT get_Value(VARIANT* p) override
    {
        if (p) VariantInit(p);
        return ctx_->fail(daoErrInvalidOperation);
    }
    HRESULT get_Properties(DAOProperties** pp) override { return put_itf(pp, make_properties(ctx_, field_props(c_))); }
    HRESULT put_Value(VARIANT) override { return ctx_->fail(daoErrInvalidOperation); }
    HRESULT put_Required(VARIANT_BOOL) override { return ctx_->fail(daoErrNotSupported); }
    HRESULT put_AllowZeroLength(VARIANT_BOOL) override { return ctx_->fail(daoErrNotSupported); }
    HRESULT put_DefaultValue(VARIANT) override { return ctx_->fail(daoErrNotSupported); }
    HRESULT put_Attributes(long) override { return ctx_->fail(daoErrNotSupported); }
    HRESULT put_ForeignName(BSTR) override { return ctx_->fail(daoErrNotSupported); }

private:
    ctx_ptr ctx_;
    column_info c_;
};

template <class Coll, class Item, class Elem, class Make>
HRESULT find_item(const ctx_ptr& ctx, const std::vector<Elem>& v, const VARIANT& key, Item** pp, Make make)
{
    if (!pp) return E_POINTER;
    *pp = nullptr;
    item_key k;
    if (!read_key(key, k)) return ctx->fail(daoErrItemNotFound);
    for (std::size_t i = 0; i < v.size(); ++i)
        if (k.by_name ? jet::same_name(v[i].name, k.name) : static_cast<long>(i) == k.position)
            return put_itf(pp, make(v[i]));
    return ctx->fail(daoErrItemNotFound);
}

class def_fields : public object<DAOFields> {
public:
    def_fields(ctx_ptr ctx, std::vector<column_info> c) : ctx_(std::move(ctx)), c_(std::move(c)) {}
    HRESULT get_Count(short* c) override { if (!c) return E_POINTER; *c = static_cast<short>(c_.size()); return S_OK; }
    HRESULT get_Item(VARIANT Item, _DAOField** pp) override
    {
        return find_item<DAOFields>(ctx_, c_, Item, pp, [&](const column_info& c) { return new def_field(ctx_, c); });
    }
    HRESULT Append(IDispatch*) override { return ctx_->fail(daoErrNotSupported); }
    HRESULT Delete(BSTR) override { return ctx_->fail(daoErrNotSupported); }
    HRESULT Refresh() override { return S_OK; }

private:
    ctx_ptr ctx_;
    std::vector<column_info> c_;
};

// ---------------------------------------------------------------------------
class index_fields : public object<DAOIndexFields> {
public:
    index_fields(ctx_ptr ctx, std::vector<column_info> c) : ctx_(std::move(ctx)), c_(std::move(c)) {}
    HRESULT get_Count(short* c) override { if (!c) return E_POINTER; *c = static_cast<short>(c_.size()); return S_OK; }
    HRESULT get_Item(VARIANT Item, VARIANT* pv) override
    {
        if (!pv) return E_POINTER;
        VariantInit(pv);
        _DAOField* f = nullptr;
        HRESULT hr = find_item<DAOIndexFields>(ctx_, c_, Item, &f, [&](const column_info& c) { return new def_field(ctx_, c); });
        if (FAILED(hr)) return hr;
        pv->vt = VT_DISPATCH;
        pv->pdispVal = f;
        return S_OK;
    }
    HRESULT Append(IDispatch*) override { return ctx_->fail(daoErrNotSupported); }
    HRESULT Refresh() override { return S_OK; }

private:
    ctx_ptr ctx_;
    std::vector<column_info> c_;
};

struct index_info {
    std::wstring name;
    bool primary = false, unique = false, foreign = false, required = false, ignore_nulls = false;
    std::vector<column_info> fields;
};

class index_obj : public object<_DAOIndex> {
public:
    index_obj(ctx_ptr ctx, index_info i) : ctx_(std::move(ctx)), i_(std::move(i)) {}
    HRESULT get_Name(BSTR* p) override { return put_bstr(p, i_.name); }
    HRESULT get_Primary(VARIANT_BOOL* p) override { return put_bool(p, i_.primary); }
    HRESULT get_Unique(VARIANT_BOOL* p) override { return put_bool(p, i_.unique); }
    HRESULT get_Foreign(VARIANT_BOOL* p) override { return put_bool(p, i_.foreign); }
    HRESULT get_Required(VARIANT_BOOL* p) override { return put_bool(p, i_.required); }
    HRESULT get_IgnoreNulls(VARIANT_BOOL* p) override { return put_bool(p, i_.ignore_nulls); }
    HRESULT get_Clustered(VARIANT_BOOL* p) override { return put_bool(p, false); }
    HRESULT get_Fields(VARIANT* pv) override
    {
        if (!pv) return E_POINTER;
        VariantInit(pv);
        pv->vt = VT_DISPATCH;
        pv->pdispVal = new index_fields(ctx_, i_.fields);
        return S_OK;
    }
    HRESULT get_Properties(DAOProperties** pp) override
    {
        prop_list l;
        l.push_back({L"Name", dbText, jet::value(i_.name)});
        l.push_back({L"Primary", dbBoolean, jet::value(i_.primary)});
        l.push_back({L"Unique", dbBoolean, jet::value(i_.unique)});
        l.push_back({L"Foreign", dbBoolean, jet::value(i_.foreign)});
        l.push_back({L"Required", dbBoolean, jet::value(i_.required)});
        l.push_back({L"IgnoreNulls", dbBoolean, jet::value(i_.ignore_nulls)});
        l.push_back({L"Clustered", dbBoolean, jet::value(false)});
        return put_itf(pp, make_properties(ctx_, std::move(l)));
    }
    HRESULT put_Primary(VARIANT_BOOL) override { return ctx_->fail(daoErrNotSupported); }
    HRESULT put_Unique(VARIANT_BOOL) override { return ctx_->fail(daoErrNotSupported); }
    HRESULT CreateField(VARIANT, VARIANT, VARIANT, _DAOField** p) override
    {
        if (p) *p = nullptr;
        return ctx_->fail(daoErrNotSupported);
    }

private:
    ctx_ptr ctx_;
    index_info i_;
};

class indexes_obj : public object<DAOIndexes> {
public:
    indexes_obj(ctx_ptr ctx, std::vector<index_info> i, db_ptr db = nullptr, std::wstring table = {})
        : ctx_(std::move(ctx)), i_(std::move(i)), db_(std::move(db)), table_(std::move(table))
    {
    }
    HRESULT get_Count(short* c) override { if (!c) return E_POINTER; *c = static_cast<short>(i_.size()); return S_OK; }
    HRESULT get_Item(VARIANT Item, _DAOIndex** pp) override
    {
        return find_item<DAOIndexes>(ctx_, i_, Item, pp, [&](const index_info& i) { return new index_obj(ctx_, i); });
    }
    HRESULT Append(IDispatch* obj) override
    {
        if (!db_) return ctx_->fail(daoErrNotSupported);
        HRESULT hr = append_index(db_, table_, obj);
        if (SUCCEEDED(hr)) {
            _DAOIndex* x = dynamic_cast<_DAOIndex*>(obj);
            index_info i;
            BSTR name = nullptr;
            if (x && SUCCEEDED(x->get_Name(&name))) i.name = bstr_text(name);
            SysFreeString(name);
            i_.push_back(std::move(i));
        }
        return hr;
    }
    HRESULT Delete(BSTR) override { return ctx_->fail(daoErrNotSupported); }
    HRESULT Refresh() override { return S_OK; }

private:
    ctx_ptr ctx_;
    std::vector<index_info> i_;
    db_ptr db_;
    std::wstring table_;
};

// ---------------------------------------------------------------------------
struct relation_info {
    std::wstring name, table, foreign_table;
    long attributes = 0;
    std::vector<column_info> fields;
};

class relation_obj : public object<_DAORelation> {
public:
    relation_obj(ctx_ptr ctx, relation_info r) : ctx_(std::move(ctx)), r_(std::move(r)) {}
    HRESULT get_Name(BSTR* p) override { return put_bstr(p, r_.name); }
    HRESULT get_Table(BSTR* p) override { return put_bstr(p, r_.table); }
    HRESULT get_ForeignTable(BSTR* p) override { return put_bstr(p, r_.foreign_table); }
    HRESULT get_Attributes(long* p) override { if (!p) return E_POINTER; *p = r_.attributes; return S_OK; }
    HRESULT get_Fields(DAOFields** pp) override { return put_itf(pp, new def_fields(ctx_, r_.fields)); }
    HRESULT CreateField(VARIANT, VARIANT, VARIANT, _DAOField** p) override
    {
        if (p) *p = nullptr;
        return ctx_->fail(daoErrNotSupported);
    }

private:
    ctx_ptr ctx_;
    relation_info r_;
};

std::vector<relation_info> read_relations(const jet::database& db);

class relations_obj : public object<DAORelations> {
public:
    relations_obj(ctx_ptr ctx, std::vector<relation_info> r, db_ptr db = nullptr)
        : ctx_(std::move(ctx)), r_(std::move(r)), db_(std::move(db))
    {
    }
    HRESULT get_Count(short* c) override { if (!c) return E_POINTER; *c = static_cast<short>(r_.size()); return S_OK; }
    HRESULT get_Item(VARIANT Item, _DAORelation** pp) override
    {
        return find_item<DAORelations>(ctx_, r_, Item, pp, [&](const relation_info& r) { return new relation_obj(ctx_, r); });
    }
    HRESULT Append(IDispatch* obj) override
    {
        if (!db_) return ctx_->fail(daoErrNotSupported);
        HRESULT hr = append_relation(db_, obj);
        if (SUCCEEDED(hr)) {
            try {
                r_ = read_relations(*db_->db);
            } catch (...) {
                return fail_from_exception(*ctx_);
            }
        }
        return hr;
    }
    HRESULT Delete(BSTR) override { return ctx_->fail(daoErrNotSupported); }
    HRESULT Refresh() override { return S_OK; }

private:
    ctx_ptr ctx_;
    std::vector<relation_info> r_;
    db_ptr db_;
};

std::vector<relation_info> read_relations(const jet::database& db)
{
    std::vector<relation_info> out;
    if (!db.find(L"MSysRelationships")) return out;
    auto def = db.table(L"MSysRelationships");
    int c_name = def->find_column(L"szRelationship"), c_obj = def->find_column(L"szObject"),
        c_col = def->find_column(L"szColumn"), c_ref = def->find_column(L"szReferencedObject"),
        c_refcol = def->find_column(L"szReferencedColumn"), c_grbit = def->find_column(L"grbit"),
        c_icol = def->find_column(L"icolumn");
    if (c_name < 0 || c_obj < 0 || c_col < 0 || c_ref < 0 || c_refcol < 0) return out;
    auto text = [](const jet::value& v) { return v.type() == jet::value::text_k ? v.as_text() : std::wstring(); };
    std::vector<std::vector<std::pair<long, column_info>>> cols;
    auto rows = db.rows(def);
    while (rows.next()) {
        std::wstring name = text(rows[c_name]);
        std::size_t k = 0;
        while (k < out.size() && !jet::same_name(out[k].name, name)) ++k;
        if (k == out.size()) {
            relation_info r;
            r.name = name;
            r.table = text(rows[c_ref]);
            r.foreign_table = text(rows[c_obj]);
            if (c_grbit >= 0 && !rows[c_grbit].is_null()) r.attributes = static_cast<long>(rows[c_grbit].to_int64());
            out.push_back(std::move(r));
            cols.emplace_back();
        }
        column_info c;
        c.name = text(rows[c_refcol]);
        c.foreign_name = text(rows[c_col]);
        long order = (c_icol >= 0 && !rows[c_icol].is_null()) ? static_cast<long>(rows[c_icol].to_int64()) : 0;
        cols[k].emplace_back(order, std::move(c));
    }
    for (std::size_t k = 0; k < out.size(); ++k) {
        std::stable_sort(cols[k].begin(), cols[k].end(), [](auto& a, auto& b) { return a.first < b.first; });
        for (auto& [o, c] : cols[k]) {
            c.ordinal = static_cast<short>(out[k].fields.size());
            out[k].fields.push_back(std::move(c));
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
class tabledef_obj : public object<_DAOTableDef> {
public:
    tabledef_obj(db_ptr db, const jet::catalog_entry& e) : db_(std::move(db)), e_(e) {}
    HRESULT get_Name(BSTR* p) override { return put_bstr(p, e_.name); }
    HRESULT get_Attributes(long* p) override
    {
        if (!p) return E_POINTER;
        long a = static_cast<long>(e_.flags & 0x80000002u);
        if (e_.hidden()) a |= dbHiddenObject;
        if (e_.kind() == jet::object_kind::linked_table) a |= dbAttachedTable;
        if (e_.kind() == jet::object_kind::odbc_table) a |= dbAttachedODBC;
        *p = a;
        return S_OK;
    }
    HRESULT get_Connect(BSTR* p) override
    {
        if (e_.kind() == jet::object_kind::linked_table) return put_bstr(p, L";DATABASE=" + e_.database);
        return put_bstr(p, e_.connect);
    }
    HRESULT get_SourceTableName(BSTR* p) override { return put_bstr(p, e_.foreign_name); }
    HRESULT get_DateCreated(VARIANT* p) override
    {
        if (!p) return E_POINTER;
        to_variant(jet::value(jet::date_time{e_.date_create}), dbDate, p);
        return S_OK;
    }
    HRESULT get_LastUpdated(VARIANT* p) override
    {
        if (!p) return E_POINTER;
        to_variant(jet::value(jet::date_time{e_.date_update}), dbDate, p);
        return S_OK;
    }
    HRESULT get_RecordCount(long* p) override
    {
        if (!p) return E_POINTER;
        if (!local()) { *p = -1; return S_OK; }
        try {
            // The rows the data pages hold: the count the table definition keeps can be stale
            // either way, and rows lost are reported where the reading finds them.
            *p = static_cast<long>(db_->db->count_rows(e_.name));
            return S_OK;
        } catch (const jet::error& x) {
            return db_->ctx->fail(x.code(), win_wide_from_utf8(x.what()));
        }
    }
    HRESULT get_Updatable(VARIANT_BOOL* p) override { return put_bool(p, false); }
    HRESULT get_Fields(DAOFields** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        std::vector<column_info> cols;
        HRESULT hr = columns(cols);
        if (FAILED(hr)) return hr;
        return put_itf(pp, new def_fields(db_->ctx, std::move(cols)));
    }
    HRESULT get_Indexes(DAOIndexes** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        std::vector<index_info> list;
        if (local()) {
            std::shared_ptr<const jet::table_def> t;
            HRESULT hr = def(t);
            if (FAILED(hr)) return hr;
            for (const auto& x : t->indexes) {
                index_info i;
                i.name = x.name;
                i.primary = x.primary();
                i.unique = x.unique();
                i.foreign = x.foreign();
                i.required = x.required() || x.primary();
                i.ignore_nulls = x.ignore_nulls();
                for (const auto& ic : x.columns) {
                    column_info c;
                    c.name = ic.name;
                    c.attributes = ic.ascending ? 0 : dbDescending;
                    int n = t->find_column(ic.name);
                    if (n >= 0) {
                        c.type = dao_type_of(t->columns[n], jet::complex_kind::none);
                        c.size = dao_size_of(c.type, &t->columns[n], db_->db->file().layout().wide);
                    }
                    c.ordinal = static_cast<short>(i.fields.size());
                    i.fields.push_back(std::move(c));
                }
                list.push_back(std::move(i));
            }
        }
        return put_itf(pp, new indexes_obj(db_->ctx, std::move(list), db_->writer ? db_ : nullptr, e_.name));
    }
    HRESULT get_Properties(DAOProperties** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        prop_list l;
        long attr = 0;
        get_Attributes(&attr);
        l.push_back({L"Name", dbText, jet::value(e_.name)});
        l.push_back({L"Updatable", dbBoolean, jet::value(false)});
        l.push_back({L"DateCreated", dbDate, jet::value(jet::date_time{e_.date_create})});
        l.push_back({L"LastUpdated", dbDate, jet::value(jet::date_time{e_.date_update})});
        l.push_back({L"Connect", dbText, jet::value(e_.connect)});
        l.push_back({L"Attributes", dbLong, jet::value(static_cast<std::int32_t>(attr))});
        l.push_back({L"SourceTableName", dbText, jet::value(e_.foreign_name)});
        if (local()) {
            long n = 0;
            if (SUCCEEDED(get_RecordCount(&n))) l.push_back({L"RecordCount", dbLong, jet::value(static_cast<std::int32_t>(n))});
        }
        add_stored(l, e_.properties.object());
        return put_itf(pp, make_properties(db_->ctx, std::move(l)));
    }
    HRESULT OpenRecordset(VARIANT Type, VARIANT, DAORecordset** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        HRESULT hr = S_OK;
        auto src = run_select(db_, L"[" + e_.name + L"]", hr);
        if (!src) return hr;
        return open_recordset(db_->ctx, std::move(src), static_cast<short>(arg_long(Type, dbOpenTable)), e_.name, pp);
    }
    HRESULT CreateField(VARIANT, VARIANT, VARIANT, _DAOField** p) override
    {
        if (p) *p = nullptr;
        return db_->ctx->fail(daoErrNotSupported);
    }
    HRESULT CreateIndex(VARIANT Name, _DAOIndex** p) override
    {
        if (p) *p = nullptr;
        if (!db_->writer || !local()) return db_->ctx->fail(daoErrNotSupported);
        return put_itf(p, make_new_index(db_->ctx, arg_text(Name)));
    }

private:
    bool local() const { return e_.kind() == jet::object_kind::table; }
    HRESULT def(std::shared_ptr<const jet::table_def>& t)
    {
        try {
            t = db_->db->table(e_.name);
            return S_OK;
        } catch (const jet::error& x) {
            return db_->ctx->fail(x.code(), win_wide_from_utf8(x.what()));
        }
    }
    HRESULT columns(std::vector<column_info>& cols)
    {
        if (!local()) {
            // A linked table: its columns live in the other database.
            HRESULT hr = S_OK;
            if (!describe_select(db_, L"[" + e_.name + L"]", cols, hr)) return hr;
            return S_OK;
        }
        std::shared_ptr<const jet::table_def> t;
        HRESULT hr = def(t);
        if (FAILED(hr)) return hr;
        try {
            std::unique_ptr<jet::complex_columns> cx;
            for (const auto& c : t->columns)
                if (c.type == jet::column_type::complex) {
                    cx = std::make_unique<jet::complex_columns>(db_->db, t);
                    break;
                }
            cols = table_columns(*db_->db, *t, cx.get());
            return S_OK;
        } catch (const jet::error& x) {
            return db_->ctx->fail(x.code(), win_wide_from_utf8(x.what()));
        }
    }

    db_ptr db_;
    jet::catalog_entry e_;
};

class tabledefs_obj : public object<DAOTableDefs> {
public:
    explicit tabledefs_obj(db_ptr db) : db_(std::move(db)) { reload(); }
    HRESULT get_Count(short* c) override { if (!c) return E_POINTER; *c = static_cast<short>(list_.size()); return S_OK; }
    HRESULT get_Item(VARIANT Item, _DAOTableDef** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        item_key k;
        if (!read_key(Item, k)) return db_->ctx->fail(daoErrItemNotFound);
        for (std::size_t i = 0; i < list_.size(); ++i)
            if (k.by_name ? jet::same_name(list_[i]->name, k.name) : static_cast<long>(i) == k.position)
                return put_itf(pp, new tabledef_obj(db_, *list_[i]));
        return db_->ctx->fail(daoErrItemNotFound);
    }
    HRESULT Append(IDispatch* obj) override
    {
        HRESULT hr = append_tabledef(db_, obj);
        if (SUCCEEDED(hr)) reload();
        return hr;
    }
    HRESULT Delete(BSTR name) override
    {
        HRESULT hr = delete_tabledef(db_, bstr_text(name));
        if (SUCCEEDED(hr)) reload();
        return hr;
    }
    HRESULT Refresh() override
    {
        reload();
        return S_OK;
    }

private:
    // The list points into the catalogue of the reader it was read from, which it keeps alive.
    void reload()
    {
        snapshot_ = db_->db;
        list_ = snapshot_->tables(true);
    }
    db_ptr db_;
    std::shared_ptr<const jet::database> snapshot_;
    std::vector<const jet::catalog_entry*> list_;
};

// ---------------------------------------------------------------------------
short query_type(jet::query_kind k)
{
    switch (k) {
    case jet::query_kind::crosstab: return dbQCrosstab;
    case jet::query_kind::delete_: return dbQDelete;
    case jet::query_kind::update: return dbQUpdate;
    case jet::query_kind::append: return dbQAppend;
    case jet::query_kind::make_table: return dbQMakeTable;
    case jet::query_kind::data_definition: return dbQDDL;
    case jet::query_kind::pass_through: return dbQSQLPassThrough;
    case jet::query_kind::union_: return dbQSetOperation;
    default: return dbQSelect;
    }
}

class querydef_obj : public object<_DAOQueryDef> {
public:
    querydef_obj(db_ptr db, std::wstring name, std::wstring sql, short type)
        : db_(std::move(db)), name_(std::move(name)), sql_(std::move(sql)), type_(type) {}
    HRESULT get_Name(BSTR* p) override { return put_bstr(p, name_); }
    HRESULT get_SQL(BSTR* p) override { return put_bstr(p, sql_); }
    HRESULT put_SQL(BSTR b) override
    {
        if (!name_.empty()) return db_->ctx->fail(daoErrNotSupported);
        sql_ = bstr_text(b);
        return S_OK;
    }
    HRESULT get_Type(short* p) override { if (!p) return E_POINTER; *p = type_; return S_OK; }
    HRESULT get_Updatable(VARIANT_BOOL* p) override { return put_bool(p, false); }
    HRESULT get_Fields(DAOFields** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        std::vector<column_info> cols;
        HRESULT hr = S_OK;
        // Action and definition queries return no rows: no fields.
        if ((type_ == dbQSelect || type_ == dbQSetOperation) && !describe_select(db_, sql_, cols, hr)) return hr;
        return put_itf(pp, new def_fields(db_->ctx, std::move(cols)));
    }
    HRESULT get_Properties(DAOProperties** pp) override
    {
        prop_list l;
        l.push_back({L"Name", dbText, jet::value(name_)});
        l.push_back({L"SQL", dbMemo, jet::value(sql_)});
        l.push_back({L"Type", dbInteger, jet::value(type_)});
        l.push_back({L"Updatable", dbBoolean, jet::value(false)});
        if (const jet::catalog_entry* e = name_.empty() ? nullptr : db_->db->find(name_))
            add_stored(l, e->properties.object());
        return put_itf(pp, make_properties(db_->ctx, std::move(l)));
    }
    HRESULT OpenRecordset(VARIANT Type, VARIANT, VARIANT, DAORecordset** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        HRESULT hr = S_OK;
        auto src = run_select(db_, sql_, hr);
        if (!src) return hr;
        return open_recordset(db_->ctx, std::move(src), static_cast<short>(arg_long(Type, dbOpenDynaset)),
                              name_.empty() ? sql_ : name_, pp);
    }
    HRESULT Close() override { return S_OK; }

private:
    db_ptr db_;
    std::wstring name_, sql_;
    short type_;
};

class querydefs_obj : public object<DAOQueryDefs> {
public:
    explicit querydefs_obj(db_ptr db) : db_(std::move(db)) {}
    HRESULT get_Count(short* c) override
    {
        if (!c) return E_POINTER;
        *c = static_cast<short>(db_->saved_queries().size());
        return S_OK;
    }
    HRESULT get_Item(VARIANT Item, _DAOQueryDef** pp) override
    {
        return find_item<DAOQueryDefs>(db_->ctx, db_->saved_queries(), Item, pp, [&](const jet::saved_query& q) {
            return new querydef_obj(db_, q.name, q.sql, query_type(q.kind));
        });
    }
    HRESULT Append(IDispatch*) override { return db_->ctx->fail(daoErrNotSupported); }
    HRESULT Delete(BSTR) override { return db_->ctx->fail(daoErrNotSupported); }
    HRESULT Refresh() override { return S_OK; }

private:
    db_ptr db_;
};

// ---------------------------------------------------------------------------
class database_obj : public object<DAODatabase> {
public:
    explicit database_obj(db_ptr db) : db_(std::move(db)) {}
    HRESULT get_Name(BSTR* p) override { return put_bstr(p, db_->name); }
    HRESULT get_Connect(BSTR* p) override { return put_bstr(p, db_->connect); }
    HRESULT get_Version(BSTR* p) override { return put_bstr(p, version()); }
    HRESULT get_Updatable(VARIANT_BOOL* p) override { return put_bool(p, !db_->read_only); }
    HRESULT get_TableDefs(DAOTableDefs** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        if (db_->closed) return db_->ctx->fail(daoErrInvalidOperation);
        if (HRESULT hr = sync(); FAILED(hr)) return hr;
        return put_itf(pp, new tabledefs_obj(db_));
    }
    HRESULT get_QueryDefs(DAOQueryDefs** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        if (db_->closed) return db_->ctx->fail(daoErrInvalidOperation);
        return put_itf(pp, new querydefs_obj(db_));
    }
    HRESULT get_Relations(DAORelations** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        if (db_->closed) return db_->ctx->fail(daoErrInvalidOperation);
        try {
            if (HRESULT hr = sync(); FAILED(hr)) return hr;
            return put_itf(pp, new relations_obj(db_->ctx, read_relations(*db_->db), db_->writer ? db_ : nullptr));
        } catch (const jet::error& x) {
            return db_->ctx->fail(x.code(), win_wide_from_utf8(x.what()));
        }
    }
    HRESULT get_Properties(DAOProperties** pp) override
    {
        prop_list l;
        l.push_back({L"Name", dbText, jet::value(db_->name)});
        l.push_back({L"Connect", dbText, jet::value(db_->connect)});
        l.push_back({L"Version", dbText, jet::value(version())});
        l.push_back({L"Updatable", dbBoolean, jet::value(false)});
        l.push_back({L"CollatingOrder", dbLong, jet::value(static_cast<std::int32_t>(db_->db->header().sort_order))});
        return put_itf(pp, make_properties(db_->ctx, std::move(l)));
    }
    HRESULT CreateQueryDef(VARIANT Name, VARIANT SQLText, _DAOQueryDef** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        if (db_->closed) return db_->ctx->fail(daoErrInvalidOperation);
        if (HRESULT hr = sync(); FAILED(hr)) return hr;
        std::wstring name = arg_text(Name), sql = arg_text(SQLText);
        if (!name.empty()) return db_->ctx->fail(daoErrNotSupported); // a saved query would change the file
        if (!sql.empty()) {
            std::vector<column_info> cols;
            HRESULT hr = S_OK;
            if (!describe_select(db_, sql, cols, hr)) return hr;
        }
        return put_itf(pp, new querydef_obj(db_, name, sql, dbQSelect));
    }
    HRESULT OpenRecordset(BSTR Name, VARIANT Type, VARIANT Options, VARIANT, DAORecordset** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        if (db_->closed) return db_->ctx->fail(daoErrInvalidOperation);
        std::wstring text = bstr_text(Name);
        if ((arg_long(Options, 0) & dbAppendOnly) && is_writable_table(db_, text))
            return open_append_recordset(db_, text, pp);
        if (HRESULT hr = sync(); FAILED(hr)) return hr;
        HRESULT hr = S_OK;
        auto src = run_select(db_, text, hr);
        if (!src) return hr;
        return open_recordset(db_->ctx, std::move(src), static_cast<short>(arg_long(Type, dbOpenDynaset)), text, pp);
    }
    HRESULT Close() override
    {
        if (db_->closed) return S_OK;
        HRESULT hr = S_OK;
        if (db_->writer) {
            try {
                db_->stale = true;
                db_->sync();
            } catch (...) {
                hr = fail_from_exception(*db_->ctx);
            }
            db_->writer.reset();
        }
        db_->closed = true;
        return hr;
    }
    HRESULT CreateTableDef(VARIANT Name, VARIANT, VARIANT, VARIANT, _DAOTableDef** p) override
    {
        if (p) *p = nullptr;
        if (db_->closed) return db_->ctx->fail(daoErrInvalidOperation);
        if (!db_->writer) return db_->ctx->fail(daoErrNotSupported);
        return put_itf(p, make_new_tabledef(db_->ctx, arg_text(Name)));
    }
    HRESULT CreateRelation(VARIANT Name, VARIANT Table, VARIANT ForeignTable, VARIANT Attributes, _DAORelation** p) override
    {
        if (p) *p = nullptr;
        if (db_->closed) return db_->ctx->fail(daoErrInvalidOperation);
        if (!db_->writer) return db_->ctx->fail(daoErrNotSupported);
        return put_itf(p, make_new_relation(db_->ctx, arg_text(Name), arg_text(Table), arg_text(ForeignTable),
                                            arg_long(Attributes, 0)));
    }
    HRESULT Execute(BSTR, VARIANT) override { return db_->ctx->fail(daoErrNotSupported); }

private:
    HRESULT sync()
    {
        try {
            db_->sync();
            return S_OK;
        } catch (...) {
            return fail_from_exception(*db_->ctx);
        }
    }
    std::wstring version() const
    {
        switch (db_->db->format()) {
        case jet::file_format::jet3: return L"3.0";
        case jet::file_format::jet4: return L"4.0";
        default: return L"12.0";
        }
    }
    db_ptr db_;
};

} // namespace

const std::vector<jet::saved_query>& db_state::saved_queries()
{
    if (!queries_read) {
        queries_read = true;
        try {
            queries = jet::read_queries(*db);
        } catch (const jet::error&) {
            queries.clear();
        }
    }
    return queries;
}

std::vector<column_info> table_columns(const jet::database& db, const jet::table_def& t,
                                       const jet::complex_columns* complex)
{
    bool wide = db.file().layout().wide;
    std::vector<std::size_t> order(t.columns.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::vector<column_info> out;
    for (std::size_t n : order) {
        const jet::column_def& c = t.columns[n];
        column_info i;
        i.name = c.name;
        jet::complex_kind k = complex ? complex->kind(n) : jet::complex_kind::none;
        i.type = dao_type_of(c, k);
        i.size = dao_size_of(i.type, &c, wide);
        if (c.calculated()) {
            // A calculated column is typed by the result type of its expression.
            const jet::value& rt = c.properties.get(L"ResultType");
            if (!rt.is_null()) {
                try {
                    jet::column_def r = c;
                    r.type = static_cast<jet::column_type>(rt.to_int64());
                    i.type = dao_type_of(r, k);
                } catch (...) {
                }
                if (i.type != dbText) i.size = dao_size_of(i.type, nullptr, wide);
            }
        }
        i.attributes = (c.fixed() ? dbFixedField : dbVariableField) | dbUpdatableField;
        if (c.auto_number() && c.type != jet::column_type::guid) i.attributes |= dbAutoIncrField;
        if (c.hyperlink()) i.attributes |= dbHyperlinkField;
        if (i.type == dbAttachment || i.type >= dbComplexByte) i.attributes &= ~dbFixedField;
        i.ordinal = static_cast<short>(out.size());
        i.required = prop_bool(c.properties, L"Required", false);
        i.allow_zero_length = prop_bool(c.properties, L"AllowZeroLength", false);
        i.default_value = prop_text(c.properties, L"DefaultValue");
        i.validation_rule = prop_text(c.properties, L"ValidationRule");
        i.source_table = t.name;
        i.source_field = c.name;
        for (const auto& p : c.properties.items)
            i.custom.push_back({p.name, prop_type(p), p.data, false});
        // Decimal columns tell their digits, as the engine's column description holds them. A
        // calculated decimal has no fixed scale (each value keeps the digits its expression gives),
        // so it tells none.
        if (c.type == jet::column_type::numeric && !c.calculated()) {
            i.custom.push_back({L"Precision", dbByte, jet::value(c.precision), false});
            i.custom.push_back({L"Scale", dbByte, jet::value(c.scale), false});
        }
        out.push_back(std::move(i));
    }
    return out;
}

_DAOField* make_def_field(ctx_ptr ctx, column_info c) { return new def_field(std::move(ctx), std::move(c)); }
DAOFields* make_def_fields(ctx_ptr ctx, std::vector<column_info> cols) { return new def_fields(std::move(ctx), std::move(cols)); }
DAODatabase* make_database(db_ptr db) { return new database_obj(std::move(db)); }

} // namespace daoimpl

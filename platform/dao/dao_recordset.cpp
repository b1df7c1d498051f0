// Recordsets: a current row over a row source, its live Fields, table sources read from the file.
#include <algorithm>
#include <limits>
#include <new>

#include "platform/dao/dao_internal.h"
#include "platform/jet/jet_file.h"
#include "platform/jet/jet_text.h"

namespace daoimpl {

namespace {

struct rs_core {
    ctx_ptr ctx;
    std::unique_ptr<row_source> src;
    long pos = 0;
    bool eof = true;
    bool bof = true;
    bool closed = false;
    long known = -1; // row count once counted

    bool has_row() const { return !closed && !eof && !bof; }
};
using core_ptr = std::shared_ptr<rs_core>;

class rs_field : public info_field<rs_field> {
public:
    rs_field(core_ptr rs, std::size_t i) : rs_(std::move(rs)), i_(i) {}
    const column_info& info() const { return rs_->src->columns()[i_]; }
    HRESULT get_ForeignName(BSTR* p) override { return put_bstr(p, L""); }   // relation fields only
    HRESULT get_Value(VARIANT* p) override
    {
        if (!p) return E_POINTER;
        VariantInit(p);
        if (!rs_->has_row()) return rs_->ctx->fail(daoErrNoCurrentRecord);
        try {
            rs_->src->value(i_, p);
        } catch (...) {
            VariantClear(p);
            return fail_from_exception(*rs_->ctx);
        }
        return S_OK;
    }
    HRESULT ReadValue(VARIANT* p) override
    {
        if (!p) return E_POINTER;
        if (!rs_->has_row()) {
            VariantClear(p);
            return rs_->ctx->fail(daoErrNoCurrentRecord);
        }
        try {
            rs_->src->value_into(i_, p);
        } catch (...) {
            VariantClear(p);
            return fail_from_exception(*rs_->ctx);
        }
        return S_OK;
    }
    HRESULT get_TextCutShort(VARIANT_BOOL* pb) override
    {
        if (!pb) return E_POINTER;
        *pb = rs_->src->text_cut_short(i_) ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT get_Properties(DAOProperties** pp) override
    {
        _DAOField* f = make_def_field(rs_->ctx, info());
        HRESULT hr = f->get_Properties(pp);
        f->Release();
        return hr;
    }
    HRESULT put_Value(VARIANT) override { return rs_->ctx->fail(daoErrNotSupported); }
    HRESULT put_Required(VARIANT_BOOL) override { return rs_->ctx->fail(daoErrNotSupported); }
    HRESULT put_AllowZeroLength(VARIANT_BOOL) override { return rs_->ctx->fail(daoErrNotSupported); }
    HRESULT put_DefaultValue(VARIANT) override { return rs_->ctx->fail(daoErrNotSupported); }
    HRESULT put_Attributes(long) override { return rs_->ctx->fail(daoErrNotSupported); }
    HRESULT put_ForeignName(BSTR) override { return rs_->ctx->fail(daoErrNotSupported); }

private:
    core_ptr rs_;
    std::size_t i_;
};

bool find_column(const rs_core& rs, const VARIANT& key, std::size_t& out)
{
    item_key k;
    if (!read_key(key, k)) return false;
    const auto& cols = rs.src->columns();
    for (std::size_t i = 0; i < cols.size(); ++i)
        if (k.by_name ? jet::same_name(cols[i].name, k.name) : static_cast<long>(i) == k.position) {
            out = i;
            return true;
        }
    return false;
}

class rs_fields : public object<DAOFields> {
public:
    explicit rs_fields(core_ptr rs) : rs_(std::move(rs)) {}
    HRESULT get_Count(short* c) override { if (!c) return E_POINTER; *c = static_cast<short>(rs_->src->columns().size()); return S_OK; }
    HRESULT get_Item(VARIANT Item, _DAOField** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        std::size_t i = 0;
        if (!find_column(*rs_, Item, i)) return rs_->ctx->fail(daoErrItemNotFound);
        return put_itf(pp, new rs_field(rs_, i));
    }
    HRESULT Append(IDispatch*) override { return rs_->ctx->fail(daoErrNotSupported); }
    HRESULT Delete(BSTR) override { return rs_->ctx->fail(daoErrNotSupported); }
    HRESULT Refresh() override { return S_OK; }

private:
    core_ptr rs_;
};

class recordset_obj : public object<DAORecordset> {
public:
    recordset_obj(ctx_ptr ctx, std::unique_ptr<row_source> src, short type, std::wstring name)
        : rs_(std::make_shared<rs_core>()), type_(type), name_(std::move(name))
    {
        rs_->ctx = std::move(ctx);
        rs_->src = std::move(src);
        bool any = rs_->src->seek(0);
        rs_->pos = 0;
        rs_->eof = rs_->bof = !any;
    }
    HRESULT get_Name(BSTR* p) override { return put_bstr(p, name_); }
    HRESULT get_Type(short* p) override { if (!p) return E_POINTER; *p = type_; return S_OK; }
    HRESULT get_BOF(VARIANT_BOOL* p) override { return put_bool(p, rs_->bof); }
    HRESULT get_EOF(VARIANT_BOOL* p) override { return put_bool(p, rs_->eof); }
    HRESULT get_RecordCount(long* p) override
    {
        if (!p) return E_POINTER;
        return guarded([&] {
            *p = count();
            return S_OK;
        });
    }
    HRESULT get_AbsolutePosition(long* p) override
    {
        if (!p) return E_POINTER;
        *p = rs_->has_row() ? rs_->pos : -1;
        return S_OK;
    }
    HRESULT get_Updatable(VARIANT_BOOL* p) override { return put_bool(p, false); }
    HRESULT get_Fields(DAOFields** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        if (rs_->closed) return rs_->ctx->fail(daoErrInvalidOperation);
        return put_itf(pp, new rs_fields(rs_));
    }
    HRESULT get_Collect(VARIANT Item, VARIANT* pv) override
    {
        if (!pv) return E_POINTER;
        VariantInit(pv);
        std::size_t i = 0;
        if (!find_column(*rs_, Item, i)) return rs_->ctx->fail(daoErrItemNotFound);
        rs_field f(rs_, i);
        f.AddRef();
        return f.get_Value(pv);
    }
    HRESULT MoveFirst() override { return go(0, true); }
    HRESULT MoveLast(long) override
    {
        return guarded([&] { return go(count() - 1, true); });
    }
    HRESULT MoveNext() override
    {
        // From before the first row, moving on reaches the first row.
        if (rs_->closed || rs_->eof) return rs_->ctx->fail(daoErrNoCurrentRecord);
        return go(rs_->pos + 1, false);
    }
    HRESULT MovePrevious() override
    {
        // From past the end, moving back reaches the last row.
        if (rs_->closed || rs_->bof) return rs_->ctx->fail(daoErrNoCurrentRecord);
        return go(rs_->pos - 1, false);
    }
    HRESULT Move(long rows, VARIANT) override
    {
        if (!rs_->has_row()) return rs_->ctx->fail(daoErrNoCurrentRecord);
        return go(rs_->pos + rows, false);
    }
    HRESULT Close() override
    {
        if (rs_->closed) return rs_->ctx->fail(daoErrInvalidOperation);
        rs_->closed = true;
        return S_OK;
    }
    HRESULT AddNew() override { return rs_->ctx->fail(daoErrNotSupported); }
    HRESULT Update(long, VARIANT_BOOL) override { return rs_->ctx->fail(daoErrNotSupported); }
    HRESULT put_Collect(VARIANT, VARIANT) override { return rs_->ctx->fail(daoErrNotSupported); }

private:
    template <class F>
    HRESULT guarded(F f)
    {
        try {
            return f();
        } catch (...) {
            return fail_from_exception(*rs_->ctx);
        }
    }
    long count()
    {
        if (rs_->known < 0) rs_->known = rs_->src->count();
        return rs_->known;
    }
    // Moves to row n. `strict`: an empty recordset is an error (MoveFirst/MoveLast).
    HRESULT go(long n, bool strict)
    {
        if (rs_->closed) return rs_->ctx->fail(daoErrInvalidOperation);
        return guarded([&] {
            if (n < 0) {
                if (strict) return rs_->ctx->fail(daoErrNoCurrentRecord);
                rs_->bof = true;
                rs_->eof = count() == 0;
                rs_->pos = -1;
                return S_OK;
            }
            bool ok = rs_->src->seek(n);
            if (!ok && strict) {
                rs_->eof = rs_->bof = true;
                return rs_->ctx->fail(daoErrNoCurrentRecord);
            }
            rs_->pos = n;
            rs_->eof = !ok;
            rs_->bof = !ok && n == 0;
            return S_OK;
        });
    }

    core_ptr rs_;
    short type_;
    std::wstring name_;
};

// ---------------------------------------------------------------------------
class table_source : public row_source {
public:
    table_source(ctx_ptr ctx, std::shared_ptr<const jet::database> db, std::shared_ptr<const jet::table_def> t)
        : ctx_(std::move(ctx)), db_(std::move(db)), t_(std::move(t)), cur_(db_->rows(t_))
    {
        cur_.keep_long_text_stored(true);   // decoded where the value is handed over
        // What the file shows lost comes as a record whose values cannot be read: the walk goes
        // on after it.
        cur_.report_losses(true);
        for (const auto& c : t_->columns)
            if (c.type == jet::column_type::complex) {
                cx_ = std::make_unique<jet::complex_columns>(db_, t_);
                break;
            }
        cols_ = table_columns(*db_, *t_, cx_.get());
        map_.resize(t_->columns.size());
        for (std::size_t i = 0; i < map_.size(); ++i) map_[i] = i;
    }
    const std::vector<column_info>& columns() const override { return cols_; }
    bool seek(long n) override
    {
        if (n < 0) return false;
        if (n < at_) {
            cur_.reset();
            at_ = -1;
            more_ = true;
            dropped_.clear();
        }
        while (at_ < n && more_) {
            more_ = cur_.next();
            if (more_) ++at_;
            dropped_.clear();
        }
        return more_ && at_ == n;
    }
    long count() override
    {
        if (total_ < 0) total_ = static_cast<long>(db_->count_rows(t_->name));
        return total_;
    }
    void value(std::size_t i, VARIANT* out) override
    {
        check_damage();
        std::size_t n = map_[i];
        const jet::column_def& c = t_->columns[n];
        const jet::value& v = current(n);
        note_cut_short(i, n, v);
        if (c.type == jet::column_type::complex && cx_ && !v.is_null()) {
            complex_value(n, v, out);
            return;
        }
        if (c.type == jet::column_type::ext_datetime && v.type() == jet::value::binary_k) {
            jet::ext_date_time x = jet::decode_ext_datetime(v.as_binary());
            to_variant(jet::value(jet::date_time{x.to_ole_date()}), dbDate, out);
            return;
        }
        if (stored_text(c, v)) {
            VariantInit(out);
            stored_text_into(v.as_binary(), out);
            return;
        }
        to_variant(v, cols_[i].type, out);
    }
    void value_into(std::size_t i, VARIANT* inout) override
    {
        check_damage();
        const std::size_t n = map_[i];
        const jet::column_def& c = t_->columns[n];
        if (c.type == jet::column_type::complex || c.type == jet::column_type::ext_datetime) {
            row_source::value_into(i, inout);
            return;
        }
        const jet::value& v = current(n);
        note_cut_short(i, n, v);
        if (stored_text(c, v)) {
            stored_text_into(v.as_binary(), inout);
        } else {
            to_variant_reusing(v, cols_[i].type, inout);
        }
        // A long value handed over is held by the caller alone from now on.
        if (c.type == jet::column_type::memo || c.type == jet::column_type::ole) {
            cur_.drop(n);
            dropped_.resize(t_->columns.size());
            dropped_[n] = true;
        }
    }

    bool text_cut_short(std::size_t i) const override { return i < cut_short_.size() && cut_short_[i]; }

private:
    // Whether the text of column n handed over as column i lost its last stored byte.
    void note_cut_short(std::size_t i, std::size_t n, const jet::value& v)
    {
        cut_short_.resize(t_->columns.size());
        cut_short_[i] = cur_.text_cut_short(n) ||
                        (stored_text(t_->columns[n], v) && db_->file().layout().wide &&
                         jet::unicode_text_cut_short(v.as_binary().data(), v.as_binary().size()));
    }
    // A record that stands for rows the file lost cannot be read.
    void check_damage() const
    {
        if (!cur_.damage().empty()) throw cur_.loss();
    }
    // The current row's value of column n, the row read again when that value was let go.
    const jet::value& current(std::size_t n)
    {
        if (n < dropped_.size() && dropped_[n]) {
            cur_.reread();
            dropped_.clear();
        }
        return cur_[n];
    }

    // A memo value the cursor left as its stored bytes.
    static bool stored_text(const jet::column_def& c, const jet::value& v)
    {
        return c.type == jet::column_type::memo && v.type() == jet::value::binary_k;
    }
    // Decodes a memo's stored bytes straight into the VARIANT's text, whose storage is reused
    // when it has room: the text is held once, however long.
    void stored_text_into(const jet::bytes& stored, VARIANT* inout) const
    {
        const jet::page_file& f = db_->file();
        const std::size_t room = f.text_room(stored.data(), stored.size());
        if (inout->vt != VT_BSTR) {
            VariantClear(inout);
            inout->vt = VT_BSTR;
            inout->bstrVal = nullptr;
        }
        if (room > std::numeric_limits<unsigned>::max() ||
            !SysReAllocStringLen(&inout->bstrVal, nullptr, static_cast<unsigned>(room)))
            throw std::bad_alloc();
        const std::size_t n = f.decode_text(stored.data(), stored.size(), inout->bstrVal);
        SysReAllocStringLen(&inout->bstrVal, inout->bstrVal, static_cast<unsigned>(n));   // shortens in place
    }

    void complex_value(std::size_t n, const jet::value& v, VARIANT* out)
    {
        std::int32_t key = static_cast<std::int32_t>(v.to_int64());
        switch (cx_->kind(n)) {
        case jet::complex_kind::attachment: {
            auto src = std::make_unique<memory_source>(ctx_, attachment_columns());
            for (auto& a : cx_->attachments(n, key)) {
                src->rows_.push_back({jet::value(std::move(a.data)), a.flags, jet::value(a.name), a.time_stamp,
                                      jet::value(a.type), a.url.empty() ? jet::value() : jet::value(a.url)});
            }
            child(std::move(src), out);
            return;
        }
        case jet::complex_kind::multi_value: {
            column_info c;
            c.name = L"Value";
            c.type = dbText;
            auto vals = cx_->multi_values(n, key);
            auto src = std::make_unique<memory_source>(ctx_, std::vector<column_info>{c});
            for (auto& x : vals) src->rows_.push_back({x});
            child(std::move(src), out);
            return;
        }
        case jet::complex_kind::version_history: {
            auto vs = cx_->versions(n, key);
            if (vs.empty()) {
                VariantInit(out);
                out->vt = VT_NULL;
            } else {
                to_variant(jet::value(vs.front().text), dbMemo, out);
            }
            return;
        }
        default: to_variant(v, dbLong, out); return;
        }
    }
    void child(std::unique_ptr<memory_source> src, VARIANT* out)
    {
        VariantInit(out);
        out->vt = VT_DISPATCH;
        out->pdispVal = make_recordset(ctx_, std::move(src), dbOpenDynaset, L"");
    }
    static std::vector<column_info> attachment_columns()
    {
        static const std::pair<const wchar_t*, short> defs[] = {
            {L"FileData", dbLongBinary}, {L"FileFlags", dbLong},  {L"FileName", dbText},
            {L"FileTimeStamp", dbDate},  {L"FileType", dbText},   {L"FileURL", dbMemo}};
        std::vector<column_info> cols;
        for (const auto& [name, type] : defs) {
            column_info c;
            c.name = name;
            c.type = type;
            c.size = dao_size_of(type, nullptr, true);
            c.ordinal = static_cast<short>(cols.size());
            cols.push_back(c);
        }
        return cols;
    }

    ctx_ptr ctx_;
    std::shared_ptr<const jet::database> db_;
    std::shared_ptr<const jet::table_def> t_;
    jet::row_cursor cur_;
    std::unique_ptr<jet::complex_columns> cx_;
    std::vector<column_info> cols_;
    std::vector<std::size_t> map_;
    long at_ = -1;
    bool more_ = true;
    std::vector<bool> dropped_;   // long values of the current row let go after they were handed over
    std::vector<bool> cut_short_;   // per column: the text handed over last lost a byte
    long total_ = -1;
};

} // namespace

void memory_source::value(std::size_t i, VARIANT* out)
{
    if (i < children_.size() && static_cast<std::size_t>(cur_) < children_[i].size() && children_[i][cur_]) {
        VariantInit(out);
        out->vt = VT_DISPATCH;
        out->pdispVal = make_recordset(ctx_, std::make_unique<memory_source>(*children_[i][cur_]), dbOpenDynaset, L"");
        return;
    }
    to_variant(rows_[cur_][i], cols_[i].type, out);
}

std::unique_ptr<row_source> make_table_source(ctx_ptr ctx, std::shared_ptr<const jet::database> db,
                                              std::shared_ptr<const jet::table_def> t)
{
    return std::make_unique<table_source>(std::move(ctx), std::move(db), std::move(t));
}

DAORecordset* make_recordset(ctx_ptr ctx, std::unique_ptr<row_source> src, short type, std::wstring name)
{
    return new recordset_obj(std::move(ctx), std::move(src), type, std::move(name));
}

HRESULT open_recordset(const ctx_ptr& ctx, std::unique_ptr<row_source> src, short type, std::wstring name,
                       DAORecordset** out)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    try {
        *out = make_recordset(ctx, std::move(src), type, std::move(name));
        return S_OK;
    } catch (...) {
        return fail_from_exception(*ctx);
    }
}

HRESULT fail_from_exception(engine_ctx& ctx)
{
    try {
        throw;
    } catch (const dao_failure& x) {
        return ctx.fail(x.number, error_text(ctx, x.number, x.arg.empty() && x.number == 3061 ? L"1" : x.arg));
    } catch (const jet::error& x) {
        return ctx.fail(x.code(), win_wide_from_utf8(x.what()));
    } catch (const std::bad_alloc&) {
        return ctx.fail(7, L"Out of memory.");
    } catch (const std::exception& x) {
        return ctx.fail(3000, error_text(ctx, 3000, win_wide_from_utf8(x.what())));
    }
}

} // namespace daoimpl

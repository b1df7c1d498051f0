// Rowsets of the provider: column information, accessors and row data, over a
// statement's result or over rows held in memory.
#include "platform/oledb/oledb_impl.h"

#include <cstring>
#include <cwctype>
#include <deque>
#include <map>
#include <optional>

namespace oledb_impl {

odbc::column_desc text_column(const wchar_t* name)
{
    odbc::column_desc c;
    c.name = name;
    c.db_type = DBTYPE_WSTR;
    c.db_size = 128;
    c.flags = DBCOLUMNFLAGS_ISNULLABLE | DBCOLUMNFLAGS_MAYBENULL;
    return c;
}

odbc::column_desc typed_column(const wchar_t* name, DBTYPE type, std::uint64_t size)
{
    odbc::column_desc c = text_column(name);
    c.db_type = type;
    c.db_size = size;
    c.flags |= DBCOLUMNFLAGS_ISFIXEDLENGTH;
    return c;
}

namespace {

const wchar_t hex_digits[] = L"0123456789ABCDEF";

// The cell as the provider's wide text of the column.
std::wstring cell_text(const odbc::column_desc& col, const odbc::cell& c)
{
    if (c.binary) {
        std::wstring s;
        s.reserve(c.bytes.size() * 2);
        for (unsigned char b : c.bytes) {
            s.push_back(hex_digits[b >> 4]);
            s.push_back(hex_digits[b & 15]);
        }
        return s;
    }
    std::wstring s = odbc::from_utf16(c.text);
    if (col.db_type == DBTYPE_GUID && !s.empty() && s.front() != L'{') {
        for (auto& ch : s)
            ch = static_cast<wchar_t>(std::towupper(ch));
        s = L"{" + s + L"}";
    }
    return s;
}

template <class T> void put(unsigned char* base, DBBYTEOFFSET off, T v) { std::memcpy(base + off, &v, sizeof v); }

// Writes one bound column of a row into the client's buffer; returns its status.
DBSTATUS write_binding(const odbc::column_desc& col, const odbc::cell& c, const DBBINDING& b, unsigned char* base)
{
    auto finish = [&](DBSTATUS st, DBLENGTH len) {
        if (b.dwPart & DBPART_LENGTH)
            put(base, b.obLength, len);
        if (b.dwPart & DBPART_STATUS)
            put(base, b.obStatus, st);
        return st;
    };
    if (c.null)
        return finish(DBSTATUS_S_ISNULL, 0);
    unsigned char* dst = base + b.obValue;
    bool want_value = (b.dwPart & DBPART_VALUE) != 0;
    switch (b.wType) {
    case DBTYPE_WSTR: {
        std::wstring s = cell_text(col, c);
        DBLENGTH full = s.size() * sizeof(wchar_t);
        if (!want_value)
            return finish(DBSTATUS_S_OK, full);
        std::size_t room = b.cbMaxLen / sizeof(wchar_t);
        if (room == 0)
            return finish(DBSTATUS_S_TRUNCATED, full);
        std::size_t n = std::min(s.size(), room - 1);
        std::memcpy(dst, s.data(), n * sizeof(wchar_t));
        wchar_t zero = 0;
        std::memcpy(dst + n * sizeof(wchar_t), &zero, sizeof zero);
        return finish(n < s.size() ? DBSTATUS_S_TRUNCATED : DBSTATUS_S_OK, full);
    }
    case DBTYPE_STR: {
        std::string s = odbc::to_utf8(cell_text(col, c));
        if (!want_value)
            return finish(DBSTATUS_S_OK, s.size());
        if (b.cbMaxLen == 0)
            return finish(DBSTATUS_S_TRUNCATED, s.size());
        std::size_t n = std::min<std::size_t>(s.size(), b.cbMaxLen - 1);
        std::memcpy(dst, s.data(), n);
        dst[n] = 0;
        return finish(n < s.size() ? DBSTATUS_S_TRUNCATED : DBSTATUS_S_OK, s.size());
    }
    case DBTYPE_BYTES: {
        std::vector<unsigned char> tmp;
        const std::vector<unsigned char>* data = &c.bytes;
        if (!c.binary) {
            std::string u = odbc::to_utf8(odbc::from_utf16(c.text));
            tmp.assign(u.begin(), u.end());
            data = &tmp;
        }
        if (!want_value)
            return finish(DBSTATUS_S_OK, data->size());
        std::size_t n = std::min<std::size_t>(data->size(), b.cbMaxLen);
        if (n)
            std::memcpy(dst, data->data(), n);
        return finish(n < data->size() ? DBSTATUS_S_TRUNCATED : DBSTATUS_S_OK, data->size());
    }
    case DBTYPE_I2: case DBTYPE_I4: case DBTYPE_I8: case DBTYPE_UI1: case DBTYPE_R8: case DBTYPE_R4:
    case DBTYPE_BOOL: {
        if (c.binary)
            return finish(DBSTATUS_E_CANTCONVERTVALUE, 0);
        std::string s = odbc::to_utf8(odbc::from_utf16(c.text));
        char* end = nullptr;
        errno = 0;
        if (b.wType == DBTYPE_R8 || b.wType == DBTYPE_R4) {
            double d = std::strtod(s.c_str(), &end);
            if (end == s.c_str() || errno)
                return finish(DBSTATUS_E_CANTCONVERTVALUE, 0);
            if (b.wType == DBTYPE_R8) { if (want_value) std::memcpy(dst, &d, 8); return finish(DBSTATUS_S_OK, 8); }
            float f = static_cast<float>(d);
            if (want_value) std::memcpy(dst, &f, 4);
            return finish(DBSTATUS_S_OK, 4);
        }
        long long v = std::strtoll(s.c_str(), &end, 10);
        if (end == s.c_str() || errno)
            return finish(DBSTATUS_E_CANTCONVERTVALUE, 0);
        switch (b.wType) {
        case DBTYPE_I2: { auto x = static_cast<std::int16_t>(v); if (x != v) return finish(DBSTATUS_E_CANTCONVERTVALUE, 0); if (want_value) std::memcpy(dst, &x, 2); return finish(DBSTATUS_S_OK, 2); }
        case DBTYPE_I4: { auto x = static_cast<std::int32_t>(v); if (x != v) return finish(DBSTATUS_E_CANTCONVERTVALUE, 0); if (want_value) std::memcpy(dst, &x, 4); return finish(DBSTATUS_S_OK, 4); }
        case DBTYPE_UI1: { auto x = static_cast<std::uint8_t>(v); if (x != v) return finish(DBSTATUS_E_CANTCONVERTVALUE, 0); if (want_value) std::memcpy(dst, &x, 1); return finish(DBSTATUS_S_OK, 1); }
        case DBTYPE_BOOL: { std::int16_t x = v ? -1 : 0; if (want_value) std::memcpy(dst, &x, 2); return finish(DBSTATUS_S_OK, 2); }
        default: { std::int64_t x = v; if (want_value) std::memcpy(dst, &x, 8); return finish(DBSTATUS_S_OK, 8); }
        }
    }
    default:
        return finish(DBSTATUS_E_CANTCONVERTVALUE, 0);
    }
}

bool supported_binding(DBTYPE t)
{
    switch (t) {
    case DBTYPE_WSTR: case DBTYPE_STR: case DBTYPE_BYTES: case DBTYPE_I2: case DBTYPE_I4: case DBTYPE_I8:
    case DBTYPE_UI1: case DBTYPE_R8: case DBTYPE_R4: case DBTYPE_BOOL:
        return true;
    default:
        return false;
    }
}

// A forward-only rowset. Rows come from the statement's open cursor, or from
// memory: the whole result of a catalogue call, or the rest of a result that
// had to give the connection up to another statement (no multiple active results).
class rowset : public com_object<IRowset, IColumnsInfo, IAccessor>, public odbc::result_holder {
public:
    rowset(std::shared_ptr<source_state> st, std::unique_ptr<odbc::statement> stmt, std::wstring sql)
        : state_(std::move(st)), stmt_(std::move(stmt)), sql_(std::move(sql))
    {
        cols_ = stmt_->columns();
        state_->conn->claim(this);
    }
    rowset(std::vector<odbc::column_desc> cols, std::vector<odbc::row> rows)
        : cols_(std::move(cols)), all_(std::move(rows)), memory_(true) {}

    ~rowset() override
    {
        if (state_ && state_->conn)
            state_->conn->unclaim(this);
    }

    // odbc::result_holder: another statement needs the connection.
    void release_connection() override
    {
        if (!stmt_ || !stmt_->has_cursor())
            return;
        try {
            odbc::row r;
            while (stmt_->fetch(r))
                spilled_.push_back(std::move(r));
        } catch (const odbc::error& e) {
            pending_.emplace(e);
        }
    }

    // IColumnsInfo
    HRESULT GetColumnInfo(DBORDINAL* pc, DBCOLUMNINFO** info, OLECHAR** strings) override
    {
        if (!pc || !info || !strings)
            return E_INVALIDARG;
        *pc = cols_.size();
        *info = nullptr;
        *strings = nullptr;
        if (cols_.empty())
            return S_OK;
        std::size_t chars = 0;
        for (const auto& c : cols_)
            chars += c.name.size() + 1;
        auto* arr = static_cast<DBCOLUMNINFO*>(CoTaskMemAlloc(sizeof(DBCOLUMNINFO) * cols_.size()));
        auto* buf = static_cast<OLECHAR*>(CoTaskMemAlloc(sizeof(OLECHAR) * chars));
        if (!arr || !buf) {
            CoTaskMemFree(arr);
            CoTaskMemFree(buf);
            return E_OUTOFMEMORY;
        }
        OLECHAR* p = buf;
        for (std::size_t i = 0; i < cols_.size(); ++i) {
            const auto& c = cols_[i];
            std::memcpy(p, c.name.c_str(), (c.name.size() + 1) * sizeof(OLECHAR));
            DBCOLUMNINFO& d = arr[i];
            d.pwszName = p;
            d.pTypeInfo = nullptr;
            d.iOrdinal = i + 1;
            d.dwFlags = c.flags;
            d.ulColumnSize = c.db_size;
            d.wType = c.db_type;
            d.bPrecision = c.precision;
            d.bScale = c.scale;
            d.columnid = DBID{GUID_NULL, DBKIND_NAME, p};
            p += c.name.size() + 1;
        }
        *info = arr;
        *strings = buf;
        return S_OK;
    }

    // IAccessor
    HRESULT CreateAccessor(DBACCESSORFLAGS flags, DBCOUNTITEM n, const DBBINDING b[], DBLENGTH,
                           HACCESSOR* out, DBBINDSTATUS status[]) override
    {
        if (!out)
            return E_INVALIDARG;
        *out = DB_NULL_HACCESSOR;
        if (!(flags & DBACCESSOR_ROWDATA) || (n && !b))
            return E_INVALIDARG;
        bool bad = false;
        for (DBCOUNTITEM i = 0; i < n; ++i) {
            DBBINDSTATUS s = DBBINDSTATUS_OK;
            if (b[i].iOrdinal < 1 || b[i].iOrdinal > cols_.size())
                s = DBBINDSTATUS_BADORDINAL;
            else if (!supported_binding(b[i].wType))
                s = DBBINDSTATUS_UNSUPPORTEDCONVERSION;
            if (status)
                status[i] = s;
            bad = bad || s != DBBINDSTATUS_OK;
        }
        if (bad)
            return report(DB_E_ERRORSOCCURRED, L"The accessor has bindings this rowset cannot serve.", source());
        *out = accessors_.add(b, n);
        return S_OK;
    }

    HRESULT ReleaseAccessor(HACCESSOR h, DBREFCOUNT* refs) override
    {
        return accessors_.release(h, refs);
    }

    // IRowset
    HRESULT GetData(HROW h, HACCESSOR acc, void* data) override
    {
        auto r = rows_.find(h);
        if (r == rows_.end())
            return DB_E_BADROWHANDLE;
        const std::vector<DBBINDING>* bindings = accessors_.find(acc);
        if (!bindings)
            return DB_E_BADACCESSORHANDLE;
        if (!data && !bindings->empty())
            return E_INVALIDARG;
        std::size_t errors = 0;
        for (const auto& b : *bindings) {
            std::size_t i = b.iOrdinal - 1;
            static const odbc::cell null_cell;
            const odbc::cell& c = i < r->second.size() ? r->second[i] : null_cell;
            DBSTATUS st = write_binding(cols_[i], c, b, static_cast<unsigned char*>(data));
            if (st != DBSTATUS_S_OK && st != DBSTATUS_S_ISNULL && st != DBSTATUS_S_TRUNCATED)
                ++errors;
        }
        if (errors == 0)
            return S_OK;
        return errors == bindings->size() ? DB_E_ERRORSOCCURRED : DB_S_ERRORSOCCURRED;
    }

    HRESULT GetNextRows(HCHAPTER chapter, DBROWOFFSET offset, DBROWCOUNT n, DBCOUNTITEM* obtained,
                        HROW** handles) override
    {
        if (!obtained || !handles)
            return E_INVALIDARG;
        *obtained = 0;
        if (chapter != DB_NULL_HCHAPTER)
            return DB_E_BADCHAPTER;
        if (n < 0 || offset < 0)
            return report(DB_E_NOTSUPPORTED, L"The rowset reads forward only.", source());
        try {
            odbc::row r;
            for (DBROWOFFSET k = 0; k < offset; ++k)
                if (!next_row(r))
                    return DB_S_ENDOFROWSET;
            std::vector<HROW> got;
            while (static_cast<DBROWCOUNT>(got.size()) < n && next_row(r)) {
                HROW h = ++last_row_;
                rows_[h] = std::move(r);
                got.push_back(h);
                r = odbc::row();
            }
            if (!got.empty()) {
                if (!*handles) {
                    *handles = static_cast<HROW*>(CoTaskMemAlloc(sizeof(HROW) * got.size()));
                    if (!*handles) {
                        for (HROW h : got)
                            rows_.erase(h);
                        return E_OUTOFMEMORY;
                    }
                }
                std::memcpy(*handles, got.data(), sizeof(HROW) * got.size());
            }
            *obtained = got.size();
            return static_cast<DBROWCOUNT>(got.size()) == n ? S_OK : DB_S_ENDOFROWSET;
        } catch (const odbc::error& e) {
            return report(e, source());
        }
    }

    HRESULT ReleaseRows(DBCOUNTITEM n, const HROW h[], DBROWOPTIONS[], DBREFCOUNT refs[],
                        DBROWSTATUS status[]) override
    {
        for (DBCOUNTITEM i = 0; i < n; ++i) {
            bool found = rows_.erase(h[i]) != 0;
            if (refs)
                refs[i] = 0;
            if (status)
                status[i] = found ? 0 : 3;   // OK, or an invalid handle
        }
        return S_OK;
    }

    HRESULT RestartPosition(HCHAPTER chapter) override
    {
        if (chapter != DB_NULL_HCHAPTER)
            return DB_E_BADCHAPTER;
        if (memory_) {
            pos_ = 0;
            return S_OK;
        }
        if (!fetched_any_ && !pending_)
            return S_OK;   // still at the start of a fresh result
        try {
            spilled_.clear();
            pending_.reset();
            state_->conn->claim(this);
            if (!stmt_->execute(sql_))
                cols_.clear();
            fetched_any_ = false;
            return S_OK;
        } catch (const odbc::error& e) {
            return report(e, source());
        }
    }

private:
    std::wstring source() const { return state_ ? state_->source : std::wstring(L"SQL Server ODBC provider"); }

    bool next_row(odbc::row& r)
    {
        if (memory_) {
            if (pos_ >= all_.size())
                return false;
            r = all_[pos_++];
            return true;
        }
        fetched_any_ = true;
        if (!spilled_.empty()) {
            r = std::move(spilled_.front());
            spilled_.pop_front();
            return true;
        }
        if (pending_) {
            odbc::error e = *pending_;
            pending_.reset();
            throw e;
        }
        if (!stmt_->has_cursor())
            return false;
        state_->conn->claim(this);
        if (stmt_->fetch(r))
            return true;
        state_->conn->unclaim(this);
        return false;
    }

    std::shared_ptr<source_state> state_;
    std::unique_ptr<odbc::statement> stmt_;
    std::wstring sql_;
    std::vector<odbc::column_desc> cols_;
    std::vector<odbc::row> all_;
    bool memory_ = false;
    std::size_t pos_ = 0;
    bool fetched_any_ = false;
    std::deque<odbc::row> spilled_;
    std::optional<odbc::error> pending_;
    std::map<HROW, odbc::row> rows_;
    HROW last_row_ = 0;
    accessor_table accessors_;
};

template <class T>
HRESULT hand_out(T* obj, REFIID riid, IUnknown** out)
{
    HRESULT hr = obj->QueryInterface(riid, reinterpret_cast<void**>(out));
    obj->Release();
    return hr;
}

} // namespace

HRESULT make_statement_rowset(std::shared_ptr<source_state> st, std::unique_ptr<odbc::statement> stmt,
                              const std::wstring& sql, REFIID riid, IUnknown** out)
{
    return hand_out(new rowset(std::move(st), std::move(stmt), sql), riid, out);
}

HRESULT make_memory_rowset(std::vector<odbc::column_desc> cols, std::vector<odbc::row> rows, REFIID riid,
                           IUnknown** out)
{
    return hand_out(new rowset(std::move(cols), std::move(rows)), riid, out);
}

} // namespace oledb_impl

// Error objects of the provider and the per-thread error slot.
#include "platform/oledb/oledb_impl.h"

namespace {

thread_local IErrorInfo* current_error = nullptr;

struct record {
    HRESULT hr;
    std::int32_t native;
    std::wstring sqlstate;
    std::wstring message;
};

BSTR make_bstr(const std::wstring& s) { return SysAllocStringLen(s.data(), static_cast<unsigned int>(s.size())); }

// One record's text and source.
class record_info : public com_object<IErrorInfo> {
public:
    record_info(std::wstring source, std::wstring description)
        : source_(std::move(source)), description_(std::move(description)) {}
    HRESULT GetSource(BSTR* out) override
    {
        if (!out) return E_POINTER;
        *out = make_bstr(source_);
        return S_OK;
    }
    HRESULT GetDescription(BSTR* out) override
    {
        if (!out) return E_POINTER;
        *out = make_bstr(description_);
        return S_OK;
    }
private:
    std::wstring source_, description_;
};

// One record's SQLSTATE and native error.
class sql_info : public com_object<ISQLErrorInfo> {
public:
    sql_info(std::wstring state, std::int32_t native) : state_(std::move(state)), native_(native) {}
    HRESULT GetSQLInfo(BSTR* state, LONG* native) override
    {
        if (state) *state = make_bstr(state_);
        if (native) *native = native_;
        return S_OK;
    }
private:
    std::wstring state_;
    std::int32_t native_;
};

// The error object of one failed call: a list of records.
class error_object : public com_object<IErrorInfo, IErrorRecords> {
public:
    error_object(std::vector<record> recs, std::wstring source) : recs_(std::move(recs)), source_(std::move(source)) {}
    HRESULT GetSource(BSTR* out) override
    {
        if (!out) return E_POINTER;
        *out = make_bstr(source_);
        return S_OK;
    }
    HRESULT GetDescription(BSTR* out) override
    {
        if (!out) return E_POINTER;
        *out = make_bstr(recs_.empty() ? std::wstring() : recs_[0].message);
        return S_OK;
    }
    HRESULT GetRecordCount(ULONG* n) override
    {
        if (!n) return E_INVALIDARG;
        *n = static_cast<ULONG>(recs_.size());
        return S_OK;
    }
    HRESULT GetBasicErrorInfo(ULONG i, ERRORINFO* info) override
    {
        if (!info) return E_INVALIDARG;
        if (i >= recs_.size()) return DB_E_BADRECORDNUM;
        *info = ERRORINFO{recs_[i].hr, static_cast<std::uint32_t>(recs_[i].native), GUID_NULL, GUID_NULL, 0};
        return S_OK;
    }
    HRESULT GetCustomErrorObject(ULONG i, REFIID riid, IUnknown** out) override
    {
        if (!out) return E_INVALIDARG;
        *out = nullptr;
        if (i >= recs_.size()) return DB_E_BADRECORDNUM;
        if (!IsEqualIID(riid, IID_ISQLErrorInfo) && !IsEqualIID(riid, IID_IUnknown))
            return S_OK;   // no custom object of that kind
        auto* o = new sql_info(recs_[i].sqlstate, recs_[i].native);
        HRESULT hr = o->QueryInterface(riid, reinterpret_cast<void**>(out));
        o->Release();
        return hr;
    }
    HRESULT GetErrorInfo(ULONG i, LCID, IErrorInfo** out) override
    {
        if (!out) return E_INVALIDARG;
        *out = nullptr;
        if (i >= recs_.size()) return DB_E_BADRECORDNUM;
        *out = new record_info(source_, recs_[i].message);
        return S_OK;
    }
private:
    static constexpr HRESULT DB_E_BADRECORDNUM = make_hresult(0x80040E4Bu);
    std::vector<record> recs_;
    std::wstring source_;
};

void set_current(IErrorInfo* e)
{
    if (current_error)
        current_error->Release();
    current_error = e;
}

} // namespace

HRESULT SetErrorInfo(ULONG, IErrorInfo* e)
{
    if (e)
        e->AddRef();
    set_current(e);
    return S_OK;
}

HRESULT GetErrorInfo(ULONG, IErrorInfo** out)
{
    if (!out)
        return E_INVALIDARG;
    *out = current_error;
    current_error = nullptr;
    return *out ? S_OK : S_FALSE;
}

namespace oledb_impl {

std::wstring strip_prefix(const std::wstring& msg)
{
    std::size_t i = 0;
    while (i < msg.size() && msg[i] == L'[') {
        std::size_t close = msg.find(L']', i);
        if (close == std::wstring::npos)
            break;
        i = close + 1;
    }
    return msg.substr(i);
}

HRESULT report(const odbc::error& e, const std::wstring& source)
{
    HRESULT code = e.code();
    std::vector<record> recs;
    for (const auto& d : e.records()) {
        record r;
        // Each record carries the code its own diagnostics call for.
        r.hr = odbc::hresult_for({d});
        r.native = d.native;
        r.sqlstate = odbc::from_utf8(d.sqlstate);
        r.message = strip_prefix(d.message);
        recs.push_back(std::move(r));
    }
    if (recs.empty())
        recs.push_back(record{code, 0, L"HY000", odbc::from_utf8(e.what())});
    auto* obj = new error_object(std::move(recs), source);
    set_current(obj);   // the slot takes our reference
    return code;
}

HRESULT report(HRESULT hr, const std::wstring& message, const std::wstring& source)
{
    std::vector<record> recs;
    recs.push_back(record{hr, 0, L"HY000", message});
    set_current(new error_object(std::move(recs), source));
    return hr;
}

} // namespace oledb_impl

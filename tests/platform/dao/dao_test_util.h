// Helpers of the object-model tests: holders, engine and database opening, values back to reader form.
#pragma once
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dao/daoapi.h"
#include "platform/jet/jet_value.h"
#include "tests/support/testdata.h"

namespace daotest {

// Owns one interface reference.
template <class I>
class ptr {
public:
    ptr() = default;
    explicit ptr(I* p) : p_(p) {}
    ptr(const ptr&) = delete;
    ptr& operator=(const ptr&) = delete;
    ptr(ptr&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ptr& operator=(ptr&& o) noexcept
    {
        if (this != &o) {
            reset();
            p_ = o.p_;
            o.p_ = nullptr;
        }
        return *this;
    }
    ~ptr() { reset(); }
    void reset()
    {
        if (p_) p_->Release();
        p_ = nullptr;
    }
    I** out()
    {
        reset();
        return &p_;
    }
    I* operator->() const { return p_; }
    I* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    I* p_ = nullptr;
};

// A VARIANT cleared on scope exit.
struct var {
    VARIANT v;
    var() { VariantInit(&v); }
    explicit var(long n) { VariantInit(&v); v.vt = VT_I4; v.lVal = static_cast<int32_t>(n); }
    explicit var(const std::wstring& s)
    {
        VariantInit(&v);
        v.vt = VT_BSTR;
        v.bstrVal = SysAllocStringLen(s.data(), static_cast<unsigned>(s.size()));
    }
    explicit var(bool b) { VariantInit(&v); v.vt = VT_BOOL; v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE; }
    ~var() { VariantClear(&v); }
    var(const var&) = delete;
    var& operator=(const var&) = delete;
};

// A BSTR freed on scope exit.
struct bstr {
    BSTR b = nullptr;
    bstr() = default;
    explicit bstr(const std::wstring& s) : b(SysAllocStringLen(s.data(), static_cast<unsigned>(s.size()))) {}
    ~bstr() { SysFreeString(b); }
    bstr(const bstr&) = delete;
    bstr& operator=(const bstr&) = delete;
    BSTR* out()
    {
        SysFreeString(b);
        b = nullptr;
        return &b;
    }
    std::wstring str() const { return b ? std::wstring(b, SysStringLen(b)) : std::wstring(); }
};

inline std::string narrow(const std::wstring& w)
{
    std::string s;
    for (wchar_t c : w) s += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    return s;
}

inline ptr<DAODBEngine> engine(REFCLSID clsid = CLSID_DAODBEngine120)
{
    ptr<DAODBEngine> e;
    HRESULT hr = CoCreateInstance(clsid, nullptr, 0x17, IID_DAODBEngine, reinterpret_cast<void**>(e.out()));
    EXPECT_EQ(hr, S_OK);
    return e;
}

// The engine's first error (number and description).
inline std::pair<long, std::wstring> last_error(DAODBEngine* e)
{
    ptr<DAOErrors> errs;
    if (FAILED(e->get_Errors(errs.out()))) return {0, L""};
    ptr<DAOError> err;
    var zero(0L);
    if (FAILED(errs->get_Item(zero.v, err.out()))) return {0, L""};
    long n = 0;
    bstr d;
    err->get_Number(&n);
    err->get_Description(d.out());
    return {n, d.str()};
}

inline ptr<DAODatabase> open(DAODBEngine* e, const std::string& path, const std::wstring& connect = L"")
{
    ptr<DAODatabase> db;
    bstr name(std::wstring(path.begin(), path.end()));
    var opts(false), ro(true), conn(connect);
    HRESULT hr = e->OpenDatabase(name.b, opts.v, ro.v, conn.v, db.out());
    if (hr != S_OK) ADD_FAILURE() << path << ": " << narrow(last_error(e).second);
    return db;
}

// A value read through the object model, back in the reader's form (GUIDs lose their "{guid ...}" wrapper).
inline jet::value to_value(const VARIANT& v)
{
    switch (v.vt) {
    case VT_NULL: return {};
    case VT_BOOL: return jet::value(v.boolVal != 0);
    case VT_UI1: return jet::value(v.bVal);
    case VT_I2: return jet::value(static_cast<std::int16_t>(v.iVal));
    case VT_I4: return jet::value(static_cast<std::int32_t>(v.lVal));
    case VT_I8: return jet::value(static_cast<std::int64_t>(v.llVal));
    case VT_R4: return jet::value(v.fltVal);
    case VT_R8: return jet::value(v.dblVal);
    case VT_CY: return jet::value(jet::currency{v.cyVal.int64});
    case VT_DATE: return jet::value(jet::date_time{v.date});
    case VT_DECIMAL: {
        jet::decimal d;
        d.scale = v.decVal.scale;
        d.negative = (v.decVal.sign & DECIMAL_NEG) != 0;
        d.lo = v.decVal.Lo64;
        d.hi = v.decVal.Hi32;
        return jet::value(d);
    }
    case VT_BSTR: {
        std::wstring s(v.bstrVal, SysStringLen(v.bstrVal));
        if (s.rfind(L"{guid {", 0) == 0 && s.size() == 45) return jet::value(s.substr(6, 38));
        return jet::value(s);
    }
    case VT_ARRAY | VT_UI1: {
        void* p = nullptr;
        LONG ub = -1;
        SafeArrayGetUBound(v.parray, 1, &ub);
        jet::bytes b(static_cast<std::size_t>(ub + 1));
        SafeArrayAccessData(v.parray, &p);
        if (!b.empty()) std::memcpy(b.data(), p, b.size());
        SafeArrayUnaccessData(v.parray);
        return jet::value(std::move(b));
    }
    default: return jet::value(std::wstring(L"<vt ") + std::to_wstring(v.vt) + L">");
    }
}


} // namespace daotest

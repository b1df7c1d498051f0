// COM run-time substitute: result codes, GUIDs, reference-counted interfaces and a class registry.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/win/wintypes.h"

// ---------------------------------------------------------------------------
// Basic scalar types of the COM calling convention (ULONG, LONG, LCID come from wintypes.h).
typedef int32_t HRESULT;
typedef int32_t SCODE;
typedef wchar_t OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;

#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
#define HRESULT_CODE(hr) (static_cast<int>(static_cast<uint32_t>(hr) & 0xFFFFu))
#define HRESULT_FACILITY(hr) (static_cast<int>((static_cast<uint32_t>(hr) >> 16) & 0x1FFFu))

constexpr HRESULT make_hresult(uint32_t v) { return static_cast<HRESULT>(v); }

// Result codes.
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = make_hresult(0x80004001u);
constexpr HRESULT E_NOINTERFACE = make_hresult(0x80004002u);
constexpr HRESULT E_POINTER = make_hresult(0x80004003u);
constexpr HRESULT E_ABORT = make_hresult(0x80004004u);
constexpr HRESULT E_FAIL = make_hresult(0x80004005u);
constexpr HRESULT E_UNEXPECTED = make_hresult(0x8000FFFFu);
constexpr HRESULT E_ACCESSDENIED = make_hresult(0x80070005u);
constexpr HRESULT E_HANDLE = make_hresult(0x80070006u);
constexpr HRESULT E_OUTOFMEMORY = make_hresult(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = make_hresult(0x80070057u);
constexpr HRESULT CLASS_E_NOAGGREGATION = make_hresult(0x80040110u);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = make_hresult(0x80040111u);
constexpr HRESULT REGDB_E_CLASSNOTREG = make_hresult(0x80040154u);
constexpr HRESULT CO_E_NOTINITIALIZED = make_hresult(0x800401F0u);
constexpr HRESULT CO_E_CLASSSTRING = make_hresult(0x800401F3u);
constexpr HRESULT RPC_E_CHANGED_MODE = make_hresult(0x80010106u);
constexpr HRESULT DISP_E_UNKNOWNINTERFACE = make_hresult(0x80020001u);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = make_hresult(0x80020003u);
constexpr HRESULT DISP_E_PARAMNOTFOUND = make_hresult(0x80020004u);
constexpr HRESULT DISP_E_TYPEMISMATCH = make_hresult(0x80020005u);
constexpr HRESULT DISP_E_UNKNOWNNAME = make_hresult(0x80020006u);
constexpr HRESULT DISP_E_BADVARTYPE = make_hresult(0x80020008u);
constexpr HRESULT DISP_E_EXCEPTION = make_hresult(0x80020009u);
constexpr HRESULT DISP_E_OVERFLOW = make_hresult(0x8002000Au);
constexpr HRESULT DISP_E_BADINDEX = make_hresult(0x8002000Bu);
constexpr HRESULT DISP_E_ARRAYISLOCKED = make_hresult(0x8002000Du);
constexpr HRESULT DISP_E_BADPARAMCOUNT = make_hresult(0x8002000Eu);
constexpr HRESULT DISP_E_DIVBYZERO = make_hresult(0x80020012u);
constexpr HRESULT TYPE_E_TYPEMISMATCH = make_hresult(0x80028CA0u);

// ---------------------------------------------------------------------------
// GUID in its memory layout (little-endian first three fields).
struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline bool IsEqualGUID(REFGUID a, REFGUID b)
{
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
        return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i])
            return false;
    return true;
}
inline bool IsEqualIID(REFIID a, REFIID b) { return IsEqualGUID(a, b); }
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return IsEqualGUID(a, b); }
inline bool operator==(const GUID& a, const GUID& b) { return IsEqualGUID(a, b); }
inline bool operator!=(const GUID& a, const GUID& b) { return !IsEqualGUID(a, b); }
inline bool operator<(const GUID& a, const GUID& b)
{
    if (a.Data1 != b.Data1) return a.Data1 < b.Data1;
    if (a.Data2 != b.Data2) return a.Data2 < b.Data2;
    if (a.Data3 != b.Data3) return a.Data3 < b.Data3;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return a.Data4[i] < b.Data4[i];
    return false;
}

inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr IID IID_NULL = GUID_NULL;
inline constexpr CLSID CLSID_NULL = GUID_NULL;
inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (upper case, braces) of a GUID.
std::wstring guid_to_wstring(REFGUID g);
// Writes that text into buf (cchMax >= 39); returns the characters written with the NUL, 0 if too small.
int StringFromGUID2(REFGUID g, LPOLESTR buf, int cchMax);
// Reads the braced form exactly; CO_E_CLASSSTRING for anything else (a registered ProgID also works
// for CLSIDFromString).
HRESULT IIDFromString(LPCOLESTR text, IID* iid);
HRESULT CLSIDFromString(LPCOLESTR text, CLSID* clsid);
// Looks a programmatic name up among the registered classes.
HRESULT CLSIDFromProgID(LPCOLESTR progid, CLSID* clsid);

// ---------------------------------------------------------------------------
// The root interface: reference counting and interface discovery.
struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    virtual ~IUnknown() = default;
};
typedef IUnknown* LPUNKNOWN;

// Late-bound automation interface; the system only holds and releases it.
struct IDispatch : IUnknown {
};

// Creates instances of one class.
struct IClassFactory : IUnknown {
    virtual HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) = 0;
    virtual HRESULT LockServer(int lock) = 0;
};

// Associates an interface type with its identifier, for com_query<I> and friends.
template <class I> struct com_iid_of;
template <> struct com_iid_of<IUnknown> { static constexpr const IID& value = IID_IUnknown; };
template <> struct com_iid_of<IDispatch> { static constexpr const IID& value = IID_IDispatch; };
template <> struct com_iid_of<IClassFactory> { static constexpr const IID& value = IID_IClassFactory; };

// Reference counting and QueryInterface for an object implementing the interfaces Is...
// (each must name its IID through com_iid_of). The object deletes itself at count zero.
template <class... Is>
class com_object : public Is... {
public:
    com_object() = default;
    com_object(const com_object&) = delete;
    com_object& operator=(const com_object&) = delete;

    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown))
            *ppv = static_cast<IUnknown*>(static_cast<first_t*>(this));
        else
            (void)(try_iid<Is>(riid, ppv) || ...);
        if (!*ppv)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override
    {
        ULONG n = --refs_;
        if (n == 0)
            delete this;
        return n;
    }
    ULONG ref_count() const { return refs_; }

protected:
    virtual ~com_object() = default;

private:
    template <class F, class...> struct first_of { using type = F; };
    using first_t = typename first_of<Is...>::type;

    template <class I> bool try_iid(REFIID riid, void** ppv)
    {
        if (IsEqualIID(riid, com_iid_of<I>::value)) {
            *ppv = static_cast<I*>(this);
            return true;
        }
        return false;
    }

    std::atomic<ULONG> refs_{1};
};

// ---------------------------------------------------------------------------
// Run-time start and stop (counted per thread; the first call on a thread returns S_OK, later
// ones S_FALSE, each must be matched by CoUninitialize).
HRESULT CoInitialize(void* reserved);
HRESULT CoInitializeEx(void* reserved, uint32_t coinit);
void CoUninitialize();
constexpr uint32_t COINIT_APARTMENTTHREADED = 0x2;
constexpr uint32_t COINIT_MULTITHREADED = 0x0;

// Class contexts accepted by CoCreateInstance (all classes are in-process here).
constexpr uint32_t CLSCTX_INPROC_SERVER = 0x1;
constexpr uint32_t CLSCTX_INPROC_HANDLER = 0x2;
constexpr uint32_t CLSCTX_LOCAL_SERVER = 0x4;
constexpr uint32_t CLSCTX_REMOTE_SERVER = 0x10;
constexpr uint32_t CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;
constexpr uint32_t CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr uint32_t CLSCTX_ALL = CLSCTX_SERVER | CLSCTX_INPROC_HANDLER;

// Makes an instance of a registered class and returns its interface riid (AddRef'ed).
// REGDB_E_CLASSNOTREG for an unknown class, CLASS_E_NOAGGREGATION when outer is given.
HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* outer, uint32_t clsctx, REFIID riid, void** ppv);

// Class registry. A factory makes one new object and hands out its interface riid exactly as
// QueryInterface would (one reference to the caller). Registration replaces an earlier one of the
// same class; the optional programmatic name is found by CLSIDFromProgID.
using com_class_factory = std::function<HRESULT(REFIID riid, void** ppv)>;
void com_register_class(REFCLSID rclsid, com_class_factory factory, const std::wstring& progid = {});
bool com_unregister_class(REFCLSID rclsid);
bool com_is_class_registered(REFCLSID rclsid);

// Registers the class T (a com_object<...> with a default constructor) under rclsid.
template <class T>
void com_register_class_of(REFCLSID rclsid, const std::wstring& progid = {})
{
    com_register_class(
        rclsid,
        [](REFIID riid, void** ppv) -> HRESULT {
            T* obj = new T();
            HRESULT hr = obj->QueryInterface(riid, ppv);
            obj->Release();
            return hr;
        },
        progid);
}

// Task memory: blocks handed between components, freed by whoever receives them.
void* CoTaskMemAlloc(size_t cb);
void* CoTaskMemRealloc(void* pv, size_t cb);
void CoTaskMemFree(void* pv);

// Typed QueryInterface: returns the interface or nullptr (one reference to the caller).
template <class I>
I* com_query(IUnknown* unk)
{
    if (!unk)
        return nullptr;
    void* p = nullptr;
    if (FAILED(unk->QueryInterface(com_iid_of<I>::value, &p)))
        return nullptr;
    return static_cast<I*>(p);
}

// COM run-time substitute: class registry, per-thread initialisation, task memory, GUID text.
#include "platform/com/combase.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <map>
#include <mutex>

namespace {

struct class_entry {
    com_class_factory factory;
    std::wstring progid;
};

struct class_registry {
    std::mutex lock;
    std::map<GUID, class_entry> classes;
};

class_registry& registry()
{
    static class_registry r;
    return r;
}

thread_local int t_init_count = 0;

bool equal_nocase(const std::wstring& a, const std::wstring& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i])))
            return false;
    return true;
}

int hex_value(wchar_t c)
{
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// Reads "{8-4-4-4-12}" with every dash in its place and nothing after the closing brace.
bool parse_braced_guid(LPCOLESTR text, GUID* out)
{
    if (!text)
        return false;
    size_t n = std::wcslen(text);
    if (n != 38 || text[0] != L'{' || text[37] != L'}')
        return false;
    const wchar_t* s = text + 1;
    uint8_t bytes[16];
    int b = 0;
    for (int i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (s[i] != L'-')
                return false;
            ++i;
            continue;
        }
        int hi = hex_value(s[i]), lo = hex_value(s[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        bytes[b++] = static_cast<uint8_t>(hi * 16 + lo);
        i += 2;
    }
    out->Data1 = (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
    out->Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
    out->Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
    for (int i = 0; i < 8; ++i)
        out->Data4[i] = bytes[8 + i];
    return true;
}

} // namespace

std::wstring guid_to_wstring(REFGUID g)
{
    wchar_t buf[40];
    std::swprintf(buf, 40, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(g.Data1),
                  unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

int StringFromGUID2(REFGUID g, LPOLESTR buf, int cchMax)
{
    if (!buf || cchMax < 39)
        return 0;
    std::wstring s = guid_to_wstring(g);
    std::wmemcpy(buf, s.c_str(), s.size() + 1);
    return static_cast<int>(s.size() + 1);
}

HRESULT IIDFromString(LPCOLESTR text, IID* iid)
{
    if (!iid)
        return E_INVALIDARG;
    if (!text) {
        *iid = GUID_NULL;
        return S_OK;
    }
    return parse_braced_guid(text, iid) ? S_OK : CO_E_CLASSSTRING;
}

HRESULT CLSIDFromString(LPCOLESTR text, CLSID* clsid)
{
    if (!clsid)
        return E_INVALIDARG;
    if (!text) {
        *clsid = GUID_NULL;
        return S_OK;
    }
    if (parse_braced_guid(text, clsid))
        return S_OK;
    if (text[0] != L'{' && SUCCEEDED(CLSIDFromProgID(text, clsid)))
        return S_OK;
    return CO_E_CLASSSTRING;
}

HRESULT CLSIDFromProgID(LPCOLESTR progid, CLSID* clsid)
{
    if (!progid || !clsid)
        return E_INVALIDARG;
    std::wstring name(progid);
    auto& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    for (const auto& [id, entry] : r.classes) {
        if (!entry.progid.empty() && equal_nocase(entry.progid, name)) {
            *clsid = id;
            return S_OK;
        }
    }
    return CO_E_CLASSSTRING;
}

HRESULT CoInitialize(void* reserved)
{
    return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED);
}

HRESULT CoInitializeEx(void*, uint32_t)
{
    return t_init_count++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize()
{
    if (t_init_count > 0)
        --t_init_count;
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* outer, uint32_t, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    com_class_factory factory;
    {
        auto& r = registry();
        std::lock_guard<std::mutex> g(r.lock);
        auto it = r.classes.find(rclsid);
        if (it == r.classes.end())
            return REGDB_E_CLASSNOTREG;
        factory = it->second.factory;
    }
    if (!factory)
        return REGDB_E_CLASSNOTREG;
    HRESULT hr = factory(riid, ppv);
    if (FAILED(hr))
        *ppv = nullptr;
    else if (!*ppv)
        hr = E_NOINTERFACE;
    return hr;
}

void com_register_class(REFCLSID rclsid, com_class_factory factory, const std::wstring& progid)
{
    auto& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    r.classes[rclsid] = class_entry{std::move(factory), progid};
}

bool com_unregister_class(REFCLSID rclsid)
{
    auto& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    return r.classes.erase(rclsid) > 0;
}

bool com_is_class_registered(REFCLSID rclsid)
{
    auto& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    return r.classes.count(rclsid) > 0;
}

void* CoTaskMemAlloc(size_t cb)
{
    return std::malloc(cb ? cb : 1);
}

void* CoTaskMemRealloc(void* pv, size_t cb)
{
    return std::realloc(pv, cb ? cb : 1);
}

void CoTaskMemFree(void* pv)
{
    std::free(pv);
}

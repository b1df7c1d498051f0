// OLE Automation substitute: BSTR, byte SAFEARRAYs and VARIANT lifetime.
#include "platform/com/oleauto.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <limits>
#include <new>

// ---------------------------------------------------------------------------
// BSTR: [uint32 byte length][uint32 room][characters][NUL], the pointer names the first character;
// room is the characters the block has space for (its NUL apart).

namespace {

constexpr size_t bstr_header = sizeof(uint64_t); // keeps the characters 8-aligned

uint32_t& bstr_bytes(BSTR s)
{
    return *reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(s) - bstr_header);
}

uint32_t& bstr_room(BSTR s)
{
    return *reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(s) - bstr_header + sizeof(uint32_t));
}

} // namespace

BSTR SysAllocStringLen(const OLECHAR* s, unsigned int len)
{
    constexpr size_t max_len = (std::numeric_limits<uint32_t>::max() / sizeof(OLECHAR)) - 1;
    if (len > max_len)
        return nullptr;
    char* block = static_cast<char*>(std::malloc(bstr_header + (size_t(len) + 1) * sizeof(OLECHAR)));
    if (!block)
        return nullptr;
    BSTR out = reinterpret_cast<BSTR>(block + bstr_header);
    bstr_bytes(out) = static_cast<uint32_t>(len * sizeof(OLECHAR));
    bstr_room(out) = len;
    if (s)
        std::wmemcpy(out, s, len);
    else
        std::wmemset(out, 0, len);
    out[len] = 0;
    return out;
}

BSTR SysAllocString(const OLECHAR* s)
{
    if (!s)
        return nullptr;
    return SysAllocStringLen(s, static_cast<unsigned int>(std::wcslen(s)));
}

void SysFreeString(BSTR s)
{
    if (s)
        std::free(reinterpret_cast<char*>(s) - bstr_header);
}

unsigned int SysStringLen(BSTR s)
{
    return s ? bstr_bytes(s) / sizeof(OLECHAR) : 0;
}

unsigned int SysStringByteLen(BSTR s)
{
    return s ? bstr_bytes(s) : 0;
}

int SysReAllocStringLen(BSTR* ps, const OLECHAR* s, unsigned int len)
{
    if (!ps)
        return 0;
    // The text goes into the old block when it has room, else the block is resized where it stands
    // (mostly without moving); not so when the new text comes from the old one, which must stay
    // readable while it is copied.
    const BSTR old = *ps;
    if (old && s == old && len <= bstr_room(old)) {
        // The text's own start, no longer than its room: only the length changes.
        bstr_bytes(old) = static_cast<uint32_t>(len * sizeof(OLECHAR));
        old[len] = 0;
        return 1;
    }
    const auto at = [](const OLECHAR* p) { return reinterpret_cast<std::uintptr_t>(p); };
    const bool from_old = old && s && at(s) >= at(old) && at(s) <= at(old + bstr_room(old));
    constexpr size_t max_len = (std::numeric_limits<uint32_t>::max() / sizeof(OLECHAR)) - 1;
    if (old && !from_old && len <= max_len) {
        BSTR out = old;
        if (len > bstr_room(old)) {
            char* block = static_cast<char*>(std::realloc(reinterpret_cast<char*>(old) - bstr_header,
                                                          bstr_header + (size_t(len) + 1) * sizeof(OLECHAR)));
            if (!block)
                return 0;   // the old text stays as it was
            out = reinterpret_cast<BSTR>(block + bstr_header);
            bstr_room(out) = len;
        }
        bstr_bytes(out) = static_cast<uint32_t>(len * sizeof(OLECHAR));
        if (s)
            std::wmemcpy(out, s, len);
        else
            std::wmemset(out, 0, len);
        out[len] = 0;
        *ps = out;
        return 1;
    }
    BSTR n = SysAllocStringLen(s, len);
    if (!n)
        return 0;
    SysFreeString(*ps);
    *ps = n;
    return 1;
}

int SysReAllocString(BSTR* ps, const OLECHAR* s)
{
    if (!ps)
        return 0;
    if (!s)
        return SysReAllocStringLen(ps, nullptr, 0);
    return SysReAllocStringLen(ps, s, static_cast<unsigned int>(std::wcslen(s)));
}

// ---------------------------------------------------------------------------
// SAFEARRAY: the descriptor is preceded by the element type; data is one zeroed block.

namespace {

struct sa_block {
    uint64_t vt;
    SAFEARRAY sa;
};

constexpr uint16_t FADF_HAVEVARTYPE = 0x0080;

VARTYPE sa_vartype(const SAFEARRAY* psa)
{
    auto* b = reinterpret_cast<const sa_block*>(reinterpret_cast<const char*>(psa) - offsetof(sa_block, sa));
    return static_cast<VARTYPE>(b->vt);
}

size_t sa_desc_size(unsigned int cDims)
{
    return sizeof(sa_block) + (cDims - 1) * sizeof(SAFEARRAYBOUND);
}

// Number of elements, false when it does not fit in memory.
bool sa_count(unsigned int cDims, const SAFEARRAYBOUND* bounds, size_t* count)
{
    size_t n = 1;
    for (unsigned int i = 0; i < cDims; ++i) {
        size_t c = bounds[i].cElements;
        if (c != 0 && n > std::numeric_limits<size_t>::max() / 2 / c)
            return false;
        n *= c;
    }
    *count = n;
    return true;
}

size_t sa_total(const SAFEARRAY* psa)
{
    size_t n = 0;
    sa_count(psa->cDims, psa->rgsabound, &n);
    return n * psa->cbElements;
}

} // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE vt, unsigned int cDims, const SAFEARRAYBOUND* bounds)
{
    if (cDims == 0 || cDims > 0xFFFF || !bounds || (vt != VT_UI1 && vt != VT_I1))
        return nullptr;
    size_t count = 0;
    if (!sa_count(cDims, bounds, &count))
        return nullptr;
    auto* b = static_cast<sa_block*>(std::calloc(1, sa_desc_size(cDims)));
    if (!b)
        return nullptr;
    b->vt = vt;
    SAFEARRAY* psa = &b->sa;
    psa->cDims = static_cast<uint16_t>(cDims);
    psa->fFeatures = FADF_HAVEVARTYPE;
    psa->cbElements = 1;
    psa->cLocks = 0;
    for (unsigned int i = 0; i < cDims; ++i)
        psa->rgsabound[i] = bounds[i];
    psa->pvData = std::calloc(count ? count : 1, 1);
    if (!psa->pvData) {
        std::free(b);
        return nullptr;
    }
    return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements)
{
    SAFEARRAYBOUND b{cElements, lLbound};
    return SafeArrayCreate(vt, 1, &b);
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa)
{
    if (!psa)
        return S_OK;
    if (psa->cLocks > 0)
        return DISP_E_ARRAYISLOCKED;
    std::free(psa->pvData);
    std::free(reinterpret_cast<char*>(psa) - offsetof(sa_block, sa));
    return S_OK;
}

HRESULT SafeArrayRedim(SAFEARRAY* psa, const SAFEARRAYBOUND* newBound)
{
    if (!psa || !newBound)
        return E_INVALIDARG;
    if (psa->cLocks > 0)
        return DISP_E_ARRAYISLOCKED;
    size_t old_total = sa_total(psa);
    SAFEARRAYBOUND saved = psa->rgsabound[psa->cDims - 1];
    psa->rgsabound[psa->cDims - 1] = *newBound;
    size_t count = 0;
    if (!sa_count(psa->cDims, psa->rgsabound, &count)) {
        psa->rgsabound[psa->cDims - 1] = saved;
        return E_OUTOFMEMORY;
    }
    size_t new_total = count * psa->cbElements;
    void* data = std::realloc(psa->pvData, new_total ? new_total : 1);
    if (!data) {
        psa->rgsabound[psa->cDims - 1] = saved;
        return E_OUTOFMEMORY;
    }
    if (new_total > old_total)
        std::memset(static_cast<char*>(data) + old_total, 0, new_total - old_total);
    psa->pvData = data;
    return S_OK;
}

HRESULT SafeArrayCopy(const SAFEARRAY* psa, SAFEARRAY** out)
{
    if (!out)
        return E_INVALIDARG;
    *out = nullptr;
    if (!psa)
        return S_OK;
    SAFEARRAY* n = SafeArrayCreate(sa_vartype(psa), psa->cDims, psa->rgsabound);
    if (!n)
        return E_OUTOFMEMORY;
    size_t total = sa_total(psa);
    if (total)
        std::memcpy(n->pvData, psa->pvData, total);
    *out = n;
    return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa)
{
    if (!psa)
        return E_INVALIDARG;
    ++psa->cLocks;
    return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa)
{
    if (!psa)
        return E_INVALIDARG;
    if (psa->cLocks == 0)
        return E_UNEXPECTED;
    --psa->cLocks;
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** data)
{
    if (!psa || !data)
        return E_INVALIDARG;
    ++psa->cLocks;
    *data = psa->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa)
{
    return SafeArrayUnlock(psa);
}

unsigned int SafeArrayGetDim(const SAFEARRAY* psa)
{
    return psa ? psa->cDims : 0;
}

unsigned int SafeArrayGetElemsize(const SAFEARRAY* psa)
{
    return psa ? psa->cbElements : 0;
}

HRESULT SafeArrayGetLBound(const SAFEARRAY* psa, unsigned int nDim, LONG* out)
{
    if (!psa || !out)
        return E_INVALIDARG;
    if (nDim < 1 || nDim > psa->cDims)
        return DISP_E_BADINDEX;
    *out = psa->rgsabound[nDim - 1].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(const SAFEARRAY* psa, unsigned int nDim, LONG* out)
{
    if (!psa || !out)
        return E_INVALIDARG;
    if (nDim < 1 || nDim > psa->cDims)
        return DISP_E_BADINDEX;
    const SAFEARRAYBOUND& b = psa->rgsabound[nDim - 1];
    *out = static_cast<LONG>(int64_t(b.lLbound) + int64_t(b.cElements) - 1);
    return S_OK;
}

HRESULT SafeArrayGetVartype(const SAFEARRAY* psa, VARTYPE* vt)
{
    if (!psa || !vt)
        return E_INVALIDARG;
    *vt = sa_vartype(psa);
    return S_OK;
}

namespace {

bool sa_offset(const SAFEARRAY* psa, const LONG* indices, size_t* offset)
{
    size_t off = 0, stride = 1;
    for (int i = psa->cDims - 1; i >= 0; --i) {
        const SAFEARRAYBOUND& b = psa->rgsabound[i];
        int64_t rel = int64_t(indices[i]) - b.lLbound;
        if (rel < 0 || rel >= int64_t(b.cElements))
            return false;
        off += size_t(rel) * stride;
        stride *= b.cElements;
    }
    *offset = off * psa->cbElements;
    return true;
}

} // namespace

HRESULT SafeArrayGetElement(SAFEARRAY* psa, const LONG* indices, void* out)
{
    if (!psa || !indices || !out)
        return E_INVALIDARG;
    size_t off;
    if (!sa_offset(psa, indices, &off))
        return DISP_E_BADINDEX;
    std::memcpy(out, static_cast<char*>(psa->pvData) + off, psa->cbElements);
    return S_OK;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* indices, const void* in)
{
    if (!psa || !indices || !in)
        return E_INVALIDARG;
    size_t off;
    if (!sa_offset(psa, indices, &off))
        return DISP_E_BADINDEX;
    std::memcpy(static_cast<char*>(psa->pvData) + off, in, psa->cbElements);
    return S_OK;
}

// ---------------------------------------------------------------------------
// VARIANT lifetime.

void VariantInit(VARIANT* v)
{
    if (!v)
        return;
    std::memset(static_cast<void*>(v), 0, sizeof(VARIANT));
    v->vt = VT_EMPTY;
}

namespace {

bool owns_array(VARTYPE vt)
{
    return (vt & VT_ARRAY) || vt == VT_BLOB || vt == VT_BLOB_OBJECT || vt == VT_SAFEARRAY;
}

} // namespace

HRESULT VariantClear(VARIANT* v)
{
    if (!v)
        return E_INVALIDARG;
    VARTYPE vt = v->vt;
    if (!(vt & VT_BYREF)) {
        if (vt == VT_BSTR) {
            SysFreeString(v->bstrVal);
        } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
            if (v->punkVal)
                v->punkVal->Release();
        } else if (owns_array(vt)) {
            if (v->parray) {
                HRESULT hr = SafeArrayDestroy(v->parray);
                if (FAILED(hr))
                    return hr;
            }
        }
    }
    std::memset(static_cast<void*>(v), 0, sizeof(VARIANT));
    v->vt = VT_EMPTY;
    return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src)
{
    if (!dest || !src)
        return E_INVALIDARG;
    if (dest == src)
        return S_OK;
    VARIANT tmp;
    std::memcpy(static_cast<void*>(&tmp), src, sizeof(VARIANT));
    VARTYPE vt = src->vt;
    if (!(vt & VT_BYREF)) {
        if (vt == VT_BSTR) {
            if (src->bstrVal) {
                tmp.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
                if (!tmp.bstrVal)
                    return E_OUTOFMEMORY;
            }
        } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
            if (src->punkVal)
                src->punkVal->AddRef();
        } else if (owns_array(vt)) {
            if (src->parray) {
                HRESULT hr = SafeArrayCopy(src->parray, &tmp.parray);
                if (FAILED(hr))
                    return hr;
            }
        }
    }
    HRESULT hr = VariantClear(dest);
    if (FAILED(hr)) {
        VariantClear(&tmp);
        return hr;
    }
    std::memcpy(static_cast<void*>(dest), &tmp, sizeof(VARIANT));
    return S_OK;
}

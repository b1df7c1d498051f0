// OLE Automation substitute: VARIANT, BSTR, byte SAFEARRAYs, currency, decimals, dates and conversions.
//
// Conventions kept from OLE Automation, because the system code relies on them:
// - Floating values turn into integers with banker's rounding (half to even); a value outside the
//   target's range gives DISP_E_OVERFLOW, a value that cannot be read as the target type
//   DISP_E_TYPEMISMATCH; on failure the output is left untouched.
// - Text is read and written with "." as the decimal separator, whatever the locale argument;
//   "," is not taken as a digit-group separator (text like "1,5" is refused, never read as 15).
// - CY is a 64-bit integer scaled by 10,000. DECIMAL is a 96-bit mantissa with a scale 0..28 and a
//   sign; its conversions to and from text are exact.
// - DATE counts days since 1899-12-30; the fraction is the time of day. Before that day the whole
//   part gives the day and the time is the absolute value of the fraction (-1.25 is 1899-12-29
//   06:00). Valid dates run from year 100 to year 9999.
// - BSTR is a length-prefixed wide (UTF-32 here) string; a null BSTR reads as the empty text.
// - VT_BLOB and VT_ARRAY|VT_UI1 variants both own a byte SAFEARRAY in parray (VariantClear frees
//   it, VariantCopy copies it).
#pragma once

#include "platform/com/combase.h"
#include "platform/win/winbase.h" // SYSTEMTIME
#include "platform/win/winnls.h"  // locale identifiers

#include <cstdint>

typedef uint16_t VARTYPE;
typedef int16_t VARIANT_BOOL;
typedef double DATE;
typedef OLECHAR* BSTR;
typedef const OLECHAR* LPCOLESTR;

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_VOID = 24,
    VT_HRESULT = 25,
    VT_PTR = 26,
    VT_SAFEARRAY = 27,
    VT_LPSTR = 30,
    VT_LPWSTR = 31,
    VT_FILETIME = 64,
    VT_BLOB = 65,
    VT_STREAM = 66,
    VT_BLOB_OBJECT = 70,
    VT_CLSID = 72,
    VT_VECTOR = 0x1000,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
    VT_TYPEMASK = 0x0FFF,
};

// Currency: value times 10,000.
union CY {
    struct {
        uint32_t Lo;
        int32_t Hi;
    };
    int64_t int64;
};

// Exact decimal: (Hi32:Lo64) / 10^scale, negative when sign has DECIMAL_NEG.
struct DECIMAL {
    uint16_t wReserved;
    uint8_t scale;
    uint8_t sign;
    uint32_t Hi32;
    uint64_t Lo64;
};
constexpr uint8_t DECIMAL_NEG = 0x80;
constexpr uint8_t DECIMAL_MAX_SCALE = 28;

struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};

// Array descriptor; rgsabound holds cDims bounds (the first is the left-most index).
struct SAFEARRAY {
    uint16_t cDims;
    uint16_t fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    void* pvData;
    SAFEARRAYBOUND rgsabound[1];
};
typedef SAFEARRAY* LPSAFEARRAY;

// A typed value. DECIMAL overlays the whole structure (its first field overlaps vt), so set decVal
// first and vt after it.
struct VARIANT {
    union {
        struct {
            VARTYPE vt;
            uint16_t wReserved1;
            uint16_t wReserved2;
            uint16_t wReserved3;
            union {
                int64_t llVal;
                int32_t lVal;
                uint8_t bVal;
                int16_t iVal;
                float fltVal;
                double dblVal;
                VARIANT_BOOL boolVal;
                SCODE scode;
                CY cyVal;
                DATE date;
                BSTR bstrVal;
                IUnknown* punkVal;
                IDispatch* pdispVal;
                SAFEARRAY* parray;
                char cVal;
                uint16_t uiVal;
                uint32_t ulVal;
                uint64_t ullVal;
                int32_t intVal;
                uint32_t uintVal;
                void* byref;
            };
        };
        DECIMAL decVal;
    };
};
typedef VARIANT VARIANTARG;
typedef VARIANT* LPVARIANT;

#define V_VT(v) ((v)->vt)
#define V_I1(v) ((v)->cVal)
#define V_UI1(v) ((v)->bVal)
#define V_I2(v) ((v)->iVal)
#define V_UI2(v) ((v)->uiVal)
#define V_I4(v) ((v)->lVal)
#define V_UI4(v) ((v)->ulVal)
#define V_I8(v) ((v)->llVal)
#define V_UI8(v) ((v)->ullVal)
#define V_INT(v) ((v)->intVal)
#define V_UINT(v) ((v)->uintVal)
#define V_R4(v) ((v)->fltVal)
#define V_R8(v) ((v)->dblVal)
#define V_CY(v) ((v)->cyVal)
#define V_DATE(v) ((v)->date)
#define V_BSTR(v) ((v)->bstrVal)
#define V_BOOL(v) ((v)->boolVal)
#define V_ERROR(v) ((v)->scode)
#define V_DECIMAL(v) ((v)->decVal)
#define V_UNKNOWN(v) ((v)->punkVal)
#define V_DISPATCH(v) ((v)->pdispVal)
#define V_ARRAY(v) ((v)->parray)

// Locales. The conversions accept any identifier and behave the same for all of them.
// (LOCALE_USER_DEFAULT, LOCALE_SYSTEM_DEFAULT, LOCALE_INVARIANT come from winnls.h.)
constexpr LCID LOCALE_EN_US = 0x0409; // 1033
constexpr ULONG LOCALE_NOUSEROVERRIDE = 0x80000000u;

// Flags of VariantChangeType(Ex) and the Var* functions.
constexpr uint16_t VARIANT_NOVALUEPROP = 0x01;
constexpr uint16_t VARIANT_ALPHABOOL = 0x02; // VT_BOOL prints as "True"/"False" (else "-1"/"0")
constexpr uint16_t VARIANT_NOUSEROVERRIDE = 0x04;
constexpr uint16_t VARIANT_LOCALBOOL = 0x10;
constexpr ULONG VAR_TIMEVALUEONLY = 0x01; // date to text: the time only
constexpr ULONG VAR_DATEVALUEONLY = 0x02; // date to text: the date only

// ---------------------------------------------------------------------------
// BSTR: length-prefixed wide text. All return null when memory runs out.
BSTR SysAllocString(const OLECHAR* s);
BSTR SysAllocStringLen(const OLECHAR* s, unsigned int len); // s may be null: len characters of 0
void SysFreeString(BSTR s);
unsigned int SysStringLen(BSTR s);
unsigned int SysStringByteLen(BSTR s);
int SysReAllocString(BSTR* ps, const OLECHAR* s);                        // TRUE (1) on success
int SysReAllocStringLen(BSTR* ps, const OLECHAR* s, unsigned int len);  // TRUE (1) on success

// ---------------------------------------------------------------------------
// SAFEARRAY of one-byte elements (VT_UI1, VT_I1). Other element types are refused.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, unsigned int cDims, const SAFEARRAYBOUND* bounds);
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
HRESULT SafeArrayDestroy(SAFEARRAY* psa);              // DISP_E_ARRAYISLOCKED while data is accessed
HRESULT SafeArrayRedim(SAFEARRAY* psa, const SAFEARRAYBOUND* newBound); // last dimension; keeps data
HRESULT SafeArrayCopy(const SAFEARRAY* psa, SAFEARRAY** out);
HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** data);
HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
HRESULT SafeArrayLock(SAFEARRAY* psa);
HRESULT SafeArrayUnlock(SAFEARRAY* psa);
unsigned int SafeArrayGetDim(const SAFEARRAY* psa);
unsigned int SafeArrayGetElemsize(const SAFEARRAY* psa);
HRESULT SafeArrayGetLBound(const SAFEARRAY* psa, unsigned int nDim, LONG* out); // nDim from 1
HRESULT SafeArrayGetUBound(const SAFEARRAY* psa, unsigned int nDim, LONG* out);
HRESULT SafeArrayGetVartype(const SAFEARRAY* psa, VARTYPE* vt);
HRESULT SafeArrayGetElement(SAFEARRAY* psa, const LONG* indices, void* out);
HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* indices, const void* in);

// ---------------------------------------------------------------------------
// VARIANT handling.
void VariantInit(VARIANT* v);
HRESULT VariantClear(VARIANT* v);                    // frees text, array, releases interfaces
HRESULT VariantCopy(VARIANT* dest, const VARIANT* src); // deep copy; dest is cleared first
// Converts src into type vt and stores it in dest (dest may be src). On failure dest is unchanged.
HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, uint16_t flags, VARTYPE vt);
HRESULT VariantChangeTypeEx(VARIANT* dest, const VARIANT* src, LCID lcid, uint16_t flags, VARTYPE vt);

// ---------------------------------------------------------------------------
// Dates.
// Fields of an automation date; milliseconds rounded to the nearest one. FALSE (0) outside the
// valid range.
int VariantTimeToSystemTime(DATE d, SYSTEMTIME* st);
// Automation date of the fields (wDayOfWeek ignored); FALSE (0) for fields out of range.
int SystemTimeToVariantTime(const SYSTEMTIME* st, DATE* d);
// The same with microseconds: st gets whole milliseconds, *micro the full fraction (0..999999).
int VariantTimeToSystemTimeUs(DATE d, SYSTEMTIME* st, int32_t* micro);
int SystemTimeUsToVariantTime(const SYSTEMTIME* st, int32_t micro, DATE* d);

// ---------------------------------------------------------------------------
// Single-value conversions Var<To>From<From>. Integers and floats take their value; text takes
// (text, locale, flags); DECIMAL comes in by pointer. Results as VariantChangeType gives them.
#define OLEAUTO_SCALARS(X)                                                                        \
    X(I1, char)                                                                                   \
    X(UI1, uint8_t)                                                                               \
    X(I2, int16_t)                                                                                \
    X(UI2, uint16_t)                                                                              \
    X(I4, int32_t)                                                                                \
    X(UI4, uint32_t)                                                                              \
    X(I8, int64_t)                                                                                \
    X(UI8, uint64_t)                                                                              \
    X(R4, float)                                                                                  \
    X(R8, double)                                                                                 \
    X(Cy, CY)                                                                                     \
    X(Date, DATE)                                                                                 \
    X(Bool, VARIANT_BOOL)
#define OLEAUTO_SCALARS2(X)                                                                       \
    X(I1, char)                                                                                   \
    X(UI1, uint8_t)                                                                               \
    X(I2, int16_t)                                                                                \
    X(UI2, uint16_t)                                                                              \
    X(I4, int32_t)                                                                                \
    X(UI4, uint32_t)                                                                              \
    X(I8, int64_t)                                                                                \
    X(UI8, uint64_t)                                                                              \
    X(R4, float)                                                                                  \
    X(R8, double)                                                                                 \
    X(Cy, CY)                                                                                     \
    X(Date, DATE)                                                                                 \
    X(Bool, VARIANT_BOOL)

#define OLEAUTO_DECL_FROM(To, ToT)                                                                \
    OLEAUTO_SCALARS2(OLEAUTO_DECL_PAIR_##To)                                                      \
    HRESULT Var##To##FromStr(LPCOLESTR in, LCID lcid, ULONG flags, ToT* out);                     \
    HRESULT Var##To##FromDec(const DECIMAL* in, ToT* out);                                        \
    HRESULT VarBstrFrom##To(ToT in, LCID lcid, ULONG flags, BSTR* out);                           \
    HRESULT VarDecFrom##To(ToT in, DECIMAL* out);

#define OLEAUTO_PAIR(To, ToT, Src, SrcT) HRESULT Var##To##From##Src(SrcT in, ToT* out);
#define OLEAUTO_DECL_PAIR_I1(From, FromT) OLEAUTO_PAIR(I1, char, From, FromT)
#define OLEAUTO_DECL_PAIR_UI1(From, FromT) OLEAUTO_PAIR(UI1, uint8_t, From, FromT)
#define OLEAUTO_DECL_PAIR_I2(From, FromT) OLEAUTO_PAIR(I2, int16_t, From, FromT)
#define OLEAUTO_DECL_PAIR_UI2(From, FromT) OLEAUTO_PAIR(UI2, uint16_t, From, FromT)
#define OLEAUTO_DECL_PAIR_I4(From, FromT) OLEAUTO_PAIR(I4, int32_t, From, FromT)
#define OLEAUTO_DECL_PAIR_UI4(From, FromT) OLEAUTO_PAIR(UI4, uint32_t, From, FromT)
#define OLEAUTO_DECL_PAIR_I8(From, FromT) OLEAUTO_PAIR(I8, int64_t, From, FromT)
#define OLEAUTO_DECL_PAIR_UI8(From, FromT) OLEAUTO_PAIR(UI8, uint64_t, From, FromT)
#define OLEAUTO_DECL_PAIR_R4(From, FromT) OLEAUTO_PAIR(R4, float, From, FromT)
#define OLEAUTO_DECL_PAIR_R8(From, FromT) OLEAUTO_PAIR(R8, double, From, FromT)
#define OLEAUTO_DECL_PAIR_Cy(From, FromT) OLEAUTO_PAIR(Cy, CY, From, FromT)
#define OLEAUTO_DECL_PAIR_Date(From, FromT) OLEAUTO_PAIR(Date, DATE, From, FromT)
#define OLEAUTO_DECL_PAIR_Bool(From, FromT) OLEAUTO_PAIR(Bool, VARIANT_BOOL, From, FromT)

OLEAUTO_SCALARS(OLEAUTO_DECL_FROM)

HRESULT VarDecFromStr(LPCOLESTR in, LCID lcid, ULONG flags, DECIMAL* out);
HRESULT VarBstrFromDec(const DECIMAL* in, LCID lcid, ULONG flags, BSTR* out);

// DECIMAL helpers: compare (VARCMP_LT 0, VARCMP_EQ 1, VARCMP_GT 2) and sign change.
constexpr HRESULT VARCMP_LT = 0;
constexpr HRESULT VARCMP_EQ = 1;
constexpr HRESULT VARCMP_GT = 2;
HRESULT VarDecCmp(const DECIMAL* a, const DECIMAL* b);
HRESULT VarDecNeg(const DECIMAL* in, DECIMAL* out);

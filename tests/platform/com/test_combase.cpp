// Class registry, reference counting and GUID text of the COM substitute.
#include "platform/com/combase.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr IID IID_ICounter = {0x6b1f3a10, 0x1d2c, 0x4e5f, {0x80, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}};
constexpr CLSID CLSID_Counter = {0x6b1f3a11, 0x1d2c, 0x4e5f, {0x80, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}};

struct ICounter : IUnknown {
    virtual int next() = 0;
};

int g_live = 0;

class counter : public com_object<ICounter> {
public:
    counter() { ++g_live; }
    int next() override { return ++n_; }

protected:
    ~counter() override { --g_live; }

private:
    int n_ = 0;
};

} // namespace

template <> struct com_iid_of<ICounter> { static constexpr const IID& value = IID_ICounter; };

TEST(ComRegistry, CreatesRegisteredClassesAndRefusesOthers)
{
    EXPECT_EQ(S_OK, CoInitialize(nullptr));
    EXPECT_EQ(S_FALSE, CoInitialize(nullptr));
    com_register_class_of<counter>(CLSID_Counter, L"Drav.Counter.1");
    ICounter* c = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_INPROC_SERVER, IID_ICounter,
                                     reinterpret_cast<void**>(&c)));
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(1, g_live);
    EXPECT_EQ(1, c->next());
    IUnknown* u = nullptr;
    ASSERT_EQ(S_OK, c->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&u)));
    EXPECT_EQ(2u, c->AddRef() - 1); // count was 2 after the query
    c->Release();
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, c->QueryInterface(IID_IDispatch, &p));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(1u, u->Release());
    EXPECT_EQ(0u, c->Release());
    EXPECT_EQ(0, g_live);

    // Unknown interface of a known class: nothing leaks.
    EXPECT_EQ(E_NOINTERFACE, CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_ALL, IID_IDispatch, &p));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(0, g_live);

    CLSID found{};
    EXPECT_EQ(S_OK, CLSIDFromProgID(L"drav.counter.1", &found));
    EXPECT_EQ(CLSID_Counter, found);
    EXPECT_EQ(S_OK, CLSIDFromString(L"Drav.Counter.1", &found));
    EXPECT_TRUE(com_unregister_class(CLSID_Counter));
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_ALL, IID_IUnknown, &p));
    EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(L"Drav.Counter.1", &found));
    CoUninitialize();
    CoUninitialize();
}

TEST(ComGuid, TextForms)
{
    const GUID g = {0x00112233, 0x4455, 0x6677, {0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};
    EXPECT_EQ(L"{00112233-4455-6677-8899-AABBCCDDEEFF}", guid_to_wstring(g));
    GUID back{};
    EXPECT_EQ(S_OK, CLSIDFromString(L"{00112233-4455-6677-8899-aabbccddeeff}", &back));
    EXPECT_EQ(g, back);
    const wchar_t* bad[] = {L"{00112233-4455-6677-8899-AABBCCDDEEF}", L"{001122334-455-6677-8899-AABBCCDDEEFF}",
                            L"00112233-4455-6677-8899-AABBCCDDEEFF", L"{00112233-4455-6677-8899-AABBCCDDEEFG}",
                            L"{00112233-4455-6677-8899-AABBCCDDEEFF}x"};
    for (const wchar_t* b : bad)
        EXPECT_EQ(CO_E_CLASSSTRING, IIDFromString(b, &back)) << b;
    wchar_t buf[39];
    EXPECT_EQ(39, StringFromGUID2(g, buf, 39));
    EXPECT_EQ(0, StringFromGUID2(g, buf, 38));
}

TEST(ComTaskMemory, AllocReallocFree)
{
    char* p = static_cast<char*>(CoTaskMemAlloc(4));
    ASSERT_NE(nullptr, p);
    std::memcpy(p, "abc", 4);
    p = static_cast<char*>(CoTaskMemRealloc(p, 1000));
    ASSERT_NE(nullptr, p);
    EXPECT_STREQ("abc", p);
    CoTaskMemFree(p);
    CoTaskMemFree(nullptr);
}

#include "platform/com/oleauto.h"

TEST(ComVariants, CopyAndClearKeepReferenceCountsAndTexts)
{
    com_register_class_of<counter>(CLSID_Counter);
    IUnknown* u = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&u)));
    VARIANT a, b;
    VariantInit(&a);
    VariantInit(&b);
    a.vt = VT_UNKNOWN;
    a.punkVal = u; // a owns the one reference
    ASSERT_EQ(S_OK, VariantCopy(&b, &a));
    EXPECT_EQ(b.punkVal, u);
    EXPECT_EQ(1, g_live);
    EXPECT_EQ(S_OK, VariantClear(&a));
    EXPECT_EQ(1, g_live);
    // Copying over a value releases what it held.
    VARIANT s;
    VariantInit(&s);
    s.vt = VT_BSTR;
    s.bstrVal = SysAllocStringLen(L"a\0b", 3);
    ASSERT_EQ(S_OK, VariantCopy(&b, &s));
    EXPECT_EQ(0, g_live);
    EXPECT_NE(s.bstrVal, b.bstrVal);
    EXPECT_EQ(3u, SysStringLen(b.bstrVal));
    VariantClear(&s);
    VariantClear(&b);
    EXPECT_EQ(VT_EMPTY, b.vt);
    com_unregister_class(CLSID_Counter);
}

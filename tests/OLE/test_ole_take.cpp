// ole_variant::take: a text VARIANT's string changes hands, anything else is copied and cleared.
#include <gtest/gtest.h>

#include "OLE/ole_var.h"
#include "platform/com/oleauto.h"

TEST(OleVariantTake, TextChangesHandsOtherValuesAreCopied)
{
    const wchar_t raw[] = L"a\0b'c";
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocStringLen(raw, 5);
    const BSTR held = text.bstrVal;

    ole_variant v(42);
    v.take(text);
    EXPECT_EQ(text.vt, VT_EMPTY);
    EXPECT_EQ(v.get_type(), VT_BSTR);
    EXPECT_EQ(v.variant().bstrVal, held);
    EXPECT_EQ(v.to_wstring(), std::wstring(raw, 5));

    VARIANT date;
    VariantInit(&date);
    date.vt = VT_DATE;
    date.date = 44199.5;   // 2021-01-03 12:00
    v.take(date);
    EXPECT_EQ(date.vt, VT_EMPTY);
    EXPECT_EQ(v.get_type(), VT_DATE);
    EXPECT_EQ(v.to_string(), "2021-01-03 12:00:00");

    VARIANT none;
    VariantInit(&none);
    none.vt = VT_BSTR;
    none.bstrVal = nullptr;
    v.take(none);
    EXPECT_EQ(v.get_type(), VT_BSTR);
    EXPECT_EQ(v.to_wstring(), L"");
}

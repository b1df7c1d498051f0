// Long values read through the object model: texts decoded straight into the value handed out, a
// reused value's storage shortened or grown in place, every character kept; a long value handed
// over is let go by the reader and read again when it is asked for once more.
#include <filesystem>
#include <string>
#include <unistd.h>

#include "tests/platform/dao/dao_test_util.h"
#include "tests/support/writer_tables.h"

using namespace daotest;

namespace {

// A text of n characters: ASCII with line breaks, accented letters, CJK and a character
// outside the 16-bit plane (a surrogate pair in the file).
std::wstring long_text(std::size_t n, bool wide)
{
    std::wstring unit = L"Line of text \u00e9t\u00e9\r\n";
    if (wide)
        unit += std::wstring(L"\u4e2d\u6587 ") + static_cast<wchar_t>(0x1F600) + L" ";
    std::wstring s;
    while (s.size() < n)
        s += unit;
    s.resize(n);
    return s;
}

std::wstring bstr_text(const VARIANT& v)
{
    return v.vt == VT_BSTR ? std::wstring(v.bstrVal, SysStringLen(v.bstrVal)) : L"<not a text>";
}

jet::bytes array_bytes(const VARIANT& v)
{
    if (v.vt != (VT_ARRAY | VT_UI1) || !v.parray)
        return {};
    void* p = nullptr;
    SafeArrayAccessData(v.parray, &p);
    const auto* b = static_cast<const std::uint8_t*>(p);
    jet::bytes out(b, b + v.parray->rgsabound[0].cElements);
    SafeArrayUnaccessData(v.parray);
    return out;
}

} // namespace

TEST(DaoLongValues, LongValuesArriveWholeIntoNewAndReusedValuesAndCanBeReadAgain)
{
    const auto path = std::filesystem::temp_directory_path() / ("dao_long_" + std::to_string(::getpid()) + ".mdb");
    const auto picture = [](std::size_t i) {
        jet::bytes b(1000000 + i * 1000);
        for (std::size_t k = 0; k < b.size(); ++k)
            b[k] = static_cast<std::uint8_t>((k * 7 + i) ^ (k >> 8));
        return b;
    };
    const std::vector<std::wstring> texts = {long_text(3000001, true), L"x", long_text(2500000, false), L"",
                                             long_text(70000, true)};
    {
        auto w = drav_test::new_keyed_table(path.string(), jet::file_format::jet4, L"T",
                                            {drav_test::counter_id(), drav_test::col(L"Notes", jet::column_type::memo),
                                             drav_test::col(L"Picture", jet::column_type::ole)});
        for (std::size_t i = 0; i < texts.size(); ++i) {
            std::vector<jet::value> row{jet::value(), jet::value(texts[i]), jet::value(picture(i))};
            w->append(L"T", row);
        }
        std::vector<jet::value> null_row(3);
        w->append(L"T", null_row);
        w->flush();
    }
    auto e = engine();
    auto db = open(e.get(), path.string());
    ASSERT_TRUE(db);
    ptr<DAORecordset> rs;
    bstr table(L"T");
    var type(static_cast<long>(dbOpenTable)), opt(static_cast<long>(dbReadOnly));
    ASSERT_EQ(db->OpenRecordset(table.b, type.v, opt.v, var().v, rs.out()), S_OK);
    ptr<DAOFields> flds;
    ASSERT_EQ(rs->get_Fields(flds.out()), S_OK);
    ptr<_DAOField> notes, pict;
    var k(static_cast<long>(1)), k2(static_cast<long>(2));
    ASSERT_EQ(flds->get_Item(k.v, notes.out()), S_OK);
    ASSERT_EQ(flds->get_Item(k2.v, pict.out()), S_OK);
    var kept;   // read into again and again, as a row reader does
    std::size_t r = 0;
    VARIANT_BOOL eof = 0;
    for (rs->get_EOF(&eof); !eof; rs->MoveNext(), rs->get_EOF(&eof), ++r) {
        SCOPED_TRACE(r);
        // Handed over first (and let go by the reader), then asked for again.
        var fresh, bytes_once, bytes_again;
        ASSERT_EQ(notes->ReadValue(&kept.v), S_OK);
        ASSERT_EQ(pict->ReadValue(&bytes_once.v), S_OK);
        ASSERT_EQ(notes->get_Value(&fresh.v), S_OK);
        ASSERT_EQ(pict->ReadValue(&bytes_again.v), S_OK);
        if (r == texts.size()) {
            EXPECT_EQ(fresh.v.vt, VT_NULL);
            EXPECT_EQ(kept.v.vt, VT_NULL);
            EXPECT_EQ(bytes_again.v.vt, VT_NULL);
            continue;
        }
        EXPECT_TRUE(array_bytes(bytes_once.v) == picture(r));
        EXPECT_TRUE(array_bytes(bytes_again.v) == picture(r));
        ASSERT_LT(r, texts.size());
        EXPECT_TRUE(bstr_text(fresh.v) == texts[r]) << bstr_text(fresh.v).size() << " vs " << texts[r].size();
        EXPECT_TRUE(bstr_text(kept.v) == texts[r]) << bstr_text(kept.v).size() << " vs " << texts[r].size();
        EXPECT_EQ(kept.v.bstrVal[texts[r].size()], L'\0');
    }
    EXPECT_EQ(r, texts.size() + 1);
    db.reset();
    std::filesystem::remove(path);
}

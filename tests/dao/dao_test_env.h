// Shared pieces of the Access reader tests: opening corpus files through the engine, and reader
// values back in the expected files' notation (scratch folders come from tests/support/scratch.h).
#pragma once
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "TK/tk_utils.h"
#include "dao/dao_db.h"
#include "dao/dao_engi.h"
#include "dao/dao_recs.h"
#include "tests/support/complex_expected.h"
#include "tests/support/scratch.h"
#include "tests/support/testdata.h"

namespace daotests {

inline std::wstring wide(const std::string& s)
{
    return tk_utf8_to_wstring(s);
}

// Opens a corpus file the way the conversion run does: the generation by the file's format, a
// blank workgroup file, then the database.
inline std::unique_ptr<udb_database> open_corpus(dao_engine& engine, const std::string& path,
                                                 int mode = 0x01,
                                                 const std::wstring& password = std::wstring())
{
    engine.set_version_smart(wide(path));
    engine.set_anonymous_sys_db();
    return engine.open_db(wide(path), mode, password);
}

// A reader value in the reader library's form, to print it as the expected files do.
inline jet::value to_value(const ole_variant& f)
{
    const VARIANT& v = f.variant();
    switch (v.vt) {
    case VT_EMPTY:
    case VT_NULL: return {};
    case VT_BOOL: return jet::value(v.boolVal != 0);
    case VT_UI1: return jet::value(v.bVal);
    case VT_I2: return jet::value(static_cast<std::int16_t>(v.iVal));
    case VT_I4: return jet::value(static_cast<std::int32_t>(v.lVal));
    case VT_I8: return jet::value(static_cast<std::int64_t>(f.get_i8()));
    case VT_R4: return jet::value(v.fltVal);
    case VT_R8: return jet::value(v.dblVal);
    case VT_CY: return jet::value(jet::currency{v.cyVal.int64});
    case VT_DATE: {
        DATE d = 0;
        f.get_date().to_variant_time(d);
        return jet::value(jet::date_time{d});
    }
    case VT_DECIMAL: {
        jet::decimal d;
        d.scale = v.decVal.scale;
        d.negative = (v.decVal.sign & DECIMAL_NEG) != 0;
        d.lo = v.decVal.Lo64;
        d.hi = v.decVal.Hi32;
        return jet::value(d);
    }
    case VT_BSTR: return jet::value(f.to_wstring());
    case VT_ARRAY | VT_UI1: {
        jet::bytes b(f.binary_data(), f.binary_data() + f.binary_size());
        return jet::value(std::move(b));
    }
    default: return jet::value(std::wstring(L"<vt ") + std::to_wstring(v.vt) + L">");
    }
}

// Does a reader cell hold the expected cell? Complex cells: an attachment list arrives as the
// data of its first attachment, a multi-valued list as its values joined by "; ", a version
// history as one of its versions.
inline bool same_cell(const expected::json& e, const udb_field& f)
{
    using expected::json;
    if (e.type != json::array_k)
        return expected::same(e, to_value(f));
    if (e.items.empty())
        return f.is_null();
    if (e.items[0].type == json::object_k)
        return expected::same(json{json::string_k, false, 0, L"0x" + e.items[0]["data"].text, {}, {}},
                              to_value(f));
    std::wstring joined;
    for (std::size_t i = 0; i < e.items.size(); ++i)
        joined += (i ? L"; " : L"") + e.items[i].text;
    const std::wstring text = f.to_wstring();
    if (text == joined)
        return true;
    for (const auto& item : e.items)
        if (item.text == text)
            return true;
    return false;
}

} // namespace daotests

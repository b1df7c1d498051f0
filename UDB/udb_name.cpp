#include "UDB/udb_name.h"

#include <locale>

namespace {

// A UTF-8 locale supplies case mappings beyond ASCII whatever the program
// set globally; fall back to the user's locale, then to the classic one.
const std::ctype<wchar_t>& name_ctype()
{
    static const std::locale loc = [] {
        for (const char* n : {"C.UTF-8", "en_US.UTF-8", ""}) {
            try {
                return std::locale(n);
            } catch (const std::exception&) {
            }
        }
        return std::locale::classic();
    }();
    return std::use_facet<std::ctype<wchar_t>>(loc);
}

} // namespace

bool udb_same_name(const std::wstring& a, const std::wstring& b)
{
    if (a.size() != b.size())
        return false;
    const auto& ct = name_ctype();
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && ct.tolower(a[i]) != ct.tolower(b[i]))
            return false;
    }
    return true;
}

bool udb_same_name(const std::wstring& a, const std::wstring& b, bool case_sensitive)
{
    return case_sensitive ? a == b : udb_same_name(a, b);
}

int udb_find_name(const std::vector<std::wstring>& names, const std::wstring& name)
{
    for (std::size_t i = 0; i < names.size(); ++i)
        if (udb_same_name(names[i], name))
            return static_cast<int>(i);
    return -1;
}

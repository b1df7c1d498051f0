#include "UDB/udb_name.h"

#include "TK/tk_utils.h"

bool udb_same_name(const std::wstring& a, const std::wstring& b)
{
    return a == b || tk_iequal(a, b);
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

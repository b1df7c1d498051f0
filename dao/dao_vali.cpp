#include "dao/dao_vali.h"

#include <algorithm>

#include "TK/tk_log.h"

dao_validator::dao_validator() : udb_validator(0)
{
    illegal = {L'`', L'!', L'[', L']', L'.', L'/', L'\''};
}

bool dao_validator::is_acceptable(const std::wstring& name)
{
    tk_log_write_w(2, L"dao_validator::is_acceptable(%s)", name.c_str());
    if (name.empty() || name.front() == L' ' || name.back() == L' ')
        return false;
    return udb_validator::is_acceptable(name);
}

std::wstring dao_validator::get_safe_name(const std::wstring& name)
{
    tk_log_write_w(2, L"dao_validator::get_safe_name(%s)", name.c_str());
    std::wstring s;
    for (wchar_t c : name)
        if (c != L'[' && c != L']')
            s.push_back(c);
    const auto blank = [](wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; };
    while (!s.empty() && blank(s.back()))
        s.pop_back();
    std::size_t first = 0;
    while (first < s.size() && blank(s[first]))
        ++first;
    return udb_validator::get_safe_name(s.substr(first));
}

dao_fn_validator::dao_fn_validator(const udb_schema& schema)
{
    tk_log_write(2, "dao_fn_validator::ctor");
    for (const t_ftd* c : schema)
        add_existing_name(c->name);
}

dao_in_validator::dao_in_validator(const udb_indexes& indexes)
{
    tk_log_write(2, "dao_in_validator::ctor");
    illegal.push_back(L':');
    for (const udb_index& x : indexes)
        add_existing_name(x.name);
}

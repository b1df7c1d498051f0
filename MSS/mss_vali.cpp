// SQL Server rules for table and field names.
#include "MSS/mss_vali.h"

#include <clocale>
#include <cwctype>
#include <locale.h>

#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "UDB/udb_db.h"

namespace {

// Letters by Unicode classes, whatever locale the process runs in.
bool is_letter(wchar_t c)
{
    if (std::iswupper(c) || std::iswlower(c) || std::iswalpha(c))
        return true;
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return utf8 && iswalpha_l(static_cast<wint_t>(c), utf8);
}

} // namespace

bool mss_validator::is_acceptable(const std::wstring& name)
{
    tk_log_write_w(1, L"mss_validator::is_acceptable(%ls)", name.c_str());
    if (!udb_validator::is_acceptable(name))
        return false;
    tk_log_write(1, "udb_validator::is_acceptable has been passed");
    if (name.empty())
        TK_MAIL_ASSERT();
    if (name.front() == L'[' && name.back() == L']') {
        tk_log_write(1, "Names enclosed in [...] are always acceptable");
        return true;
    }
    const wchar_t c = name.front();
    return is_letter(c) || c == L'_';
}

std::wstring mss_validator::get_safe_name(const std::wstring& name)
{
    static const wchar_t* const pieces[6] = {L"_", L"1", L"_", L"2", L"_", L"3"};
    tk_log_write_w(1, L"mss_validator::get_safe_name(%ls)", name.c_str());
    std::wstring candidate = name;
    for (unsigned attempt = 0; is_duplicated(candidate); ++attempt) {
        tk_log_write(2, "Duplicate table name was found");
        candidate = pieces[attempt % 6] + candidate;
    }
    return candidate;
}

mss_fn_validator::mss_fn_validator(const std::vector<t_ftd*>& columns)
{
    tk_log_write(1, "mss_fn_validator::ctor1");
    for (const t_ftd* col : columns) {
        if (!col)
            continue;
        if (is_acceptable(col->name))
            add_existing_name(col->name);
    }
}

mss_tn_validator::mss_tn_validator(const std::vector<std::wstring>& tables, const std::vector<std::wstring>& others)
{
    tk_log_write(1, "mss_tn_validator::ctor");
    for (const auto& n : tables)
        add_existing_name(n);
    for (const auto& n : others)
        add_existing_name(n);
}

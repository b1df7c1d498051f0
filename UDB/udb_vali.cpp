#include "UDB/udb_vali.h"

#include <algorithm>
#include <cwchar>

#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "UDB/udb_name.h"

udb_validator::udb_validator(uint32_t max_length_) : max_length(max_length_)
{
    tk_log_write(2, "udb_validator::ctor");
}

void udb_validator::add_existing_name(const std::wstring& name)
{
    tk_log_write_w(1, L"udb_validator::add_existing_name(%ls)", name.c_str());
    existing.push_back(name);
}

void udb_validator::add_mapped_pair(const std::wstring& source, const std::wstring& safe)
{
    tk_log_write_w(1, L"udb_validator::add_mapped_pair(%ls,%ls)", source.c_str(), safe.c_str());
    mapped[source] = safe;
}

bool udb_validator::is_acceptable(const std::wstring& name)
{
    tk_log_write_w(2, L"udb_validator::is_acceptable(%ls)", name.c_str());
    if (max_length != 0 && name.size() > max_length) {
        tk_log_write(1, "The name is too long");
        return false;
    }
    if (udb_find_name(restricted, name) >= 0) {
        tk_log_write(2, "The name is restricted");
        return false;
    }
    for (wchar_t c : illegal) {
        if (name.find(c) != std::wstring::npos) {
            tk_log_write_w(2, L"The name contains illegal: %lc", static_cast<wint_t>(c));
            return false;
        }
    }
    return true;
}

bool udb_validator::is_duplicated(const std::wstring& name)
{
    tk_log_write_w(2, L"udb_validator::is_duplicated(%ls)", name.c_str());
    for (const auto& e : existing) {
        tk_log_write_w(1, L"Processing %ls", e.c_str());
        if (udb_same_name(e, name)) {
            tk_log_write(2, "Name is duplicated");
            return true;
        }
    }
    return false;
}

std::wstring udb_validator::get_safe_name(const std::wstring& name)
{
    tk_log_write_w(1, L"udb_validator::get_safe_name(%ls)", name.c_str());
    const std::size_t m = max_length;
    std::wstring base = name;
    // Keep one below the limit, as every generated name does.
    if (m != 0 && base.size() > m)
        base.resize(m - 1);
    for (wchar_t c : illegal)
        std::replace(base.begin(), base.end(), c, L'_');
    if (is_acceptable(base) && !is_duplicated(base))
        return base;

    // Room for the number: five digits one below the limit; very short
    // limits get an empty base and as many digits as fit.
    int digits = 5;
    if (m != 0) {
        if (m > 6) {
            if (base.size() > m - 5)
                base.resize(m - 6);
        } else {
            base.clear();
            digits = static_cast<int>(std::min<std::size_t>(m, 5));
        }
    }
    unsigned limit = 1;
    for (int i = 0; i < digits; ++i)
        limit *= 10;
    wchar_t num[16];
    for (unsigned n = 0; n < limit; ++n) {
        std::swprintf(num, 16, L"%0*u", digits, n);
        std::wstring candidate = base + num;
        if (is_acceptable(candidate) && !is_duplicated(candidate))
            return candidate;
    }
    TK_MAIL_ASSERT();
}

void udb_names_map::add_tn_mapping(const std::wstring& source_table, const std::wstring& mapped_table)
{
    tk_log_write_w(2, L"udb_names_map::add_tn_mapping(%ls,%ls)", source_table.c_str(),
                   mapped_table.c_str());
    tables[source_table] = mapped_table;
}

void udb_names_map::add_fn_map(const std::wstring& table, const field_map& map)
{
    tk_log_write_w(2, L"udb_names_map::add_fn_map(%ls)", table.c_str());
    fields[table] = map;
}

std::wstring udb_names_map::get_tn_mapped_name(const std::wstring& table, bool case_sensitive) const
{
    tk_log_write_w(1, L"udb_names_map::get_tn_mapped_name(%ls)", table.c_str());
    for (const auto& [from, to] : tables) {
        tk_log_write_w(1, L"Comparing with (%ls,%ls)", from.c_str(), to.c_str());
        if (udb_same_name(from, table, case_sensitive)) {
            tk_log_write_w(1, L"Got mapped name: %ls", to.c_str());
            return to;
        }
    }
    return table;
}

std::wstring udb_names_map::get_fn_mapped_name(const std::wstring& table, const std::wstring& field,
                                               bool case_sensitive) const
{
    tk_log_write_w(1, L"udb_names_map::get_fn_mapped_name(%ls,%ls)", table.c_str(), field.c_str());
    const auto t = fields.find(table);
    if (t == fields.end()) {
        tk_log_write_w(1, L"Table '%ls' not found", table.c_str());
        return field;
    }
    for (const auto& [from, to] : t->second) {
        if (udb_same_name(from, field, case_sensitive)) {
            tk_log_write_w(1, L"Got mapped name: %ls", to.c_str());
            return to;
        }
    }
    return field;
}

std::wstring udb_names_map::get_fn_orig_name(const std::wstring& table,
                                             const std::wstring& mapped_field) const
{
    tk_log_write_w(1, L"udb_names_map::get_fn_orig_name(%ls,%ls)", table.c_str(),
                   mapped_field.c_str());
    const auto t = fields.find(table);
    if (t == fields.end()) {
        tk_log_write_w(1, L"Table '%ls' not found", table.c_str());
        return mapped_field;
    }
    for (const auto& [from, to] : t->second) {
        if (to == mapped_field) {
            tk_log_write_w(1, L"Got orignal name: %ls", from.c_str());
            return from;
        }
    }
    return mapped_field;
}

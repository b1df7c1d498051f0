#include "UDB/udb_rel.h"

#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "UDB/udb_name.h"

namespace {

std::wstring blanks_to_underscores(std::wstring s)
{
    for (auto& c : s)
        if (c == L' ')
            c = L'_';
    return s;
}

} // namespace

udb_relationship::udb_relationship(const std::wstring& name_, const std::wstring& alt_name_,
                                   const std::wstring& fk_table_, const std::wstring& pk_table_,
                                   const std::vector<std::wstring>& fk_fields_,
                                   const std::vector<std::wstring>& pk_fields_,
                                   const std::wstring& properties_)
    : name(name_), alt_name(alt_name_), fk_table(fk_table_), pk_table(pk_table_),
      properties(properties_), fk_fields(fk_fields_), pk_fields(pk_fields_)
{
}

udb_relationship::udb_relationship(const std::wstring& fk_table_, const std::wstring& pk_table_,
                                   const std::vector<std::wstring>& fk_fields_,
                                   const std::vector<std::wstring>& pk_fields_,
                                   const std::wstring& properties_)
    : name(L"FK_" + blanks_to_underscores(pk_table_) + L"_" + blanks_to_underscores(fk_table_)),
      fk_table(fk_table_), pk_table(pk_table_), properties(properties_),
      fk_fields(fk_fields_), pk_fields(pk_fields_)
{
}

bool udb_relationships::find(const std::wstring& name, const std::wstring& pk_table,
                             const std::wstring& fk_table) const
{
    tk_log_write_w(1, L"udb_relationships::find(%ls,%ls,%ls)", name.c_str(), pk_table.c_str(),
                   fk_table.c_str());
    for (const auto& r : *this)
        if (udb_same_name(r.name, name) && udb_same_name(r.pk_table, pk_table) &&
            udb_same_name(r.fk_table, fk_table))
            return true;
    return false;
}

udb_relationship& udb_relationships::get(const std::wstring& name, const std::wstring& pk_table,
                                         const std::wstring& fk_table)
{
    tk_log_write_w(1, L"udb_relationships::get(%ls,%ls,%ls)", name.c_str(), pk_table.c_str(),
                   fk_table.c_str());
    for (auto& r : *this)
        if (udb_same_name(r.name, name) && udb_same_name(r.pk_table, pk_table) &&
            udb_same_name(r.fk_table, fk_table))
            return r;
    TK_MAIL_ASSERT();
}

udb_relationship& udb_relationships::get_index(const std::wstring& name)
{
    tk_log_write_w(1, L"udb_relationships::get_index(%ls)", name.c_str());
    for (auto& r : *this)
        if (udb_same_name(r.name, name))
            return r;
    TK_MAIL_ASSERT();
}

bool udb_relationships::is_acceptable_name(const std::wstring& name) const
{
    tk_log_write_w(1, L"udb_relationships::is_acceptable_name(%ls)", name.c_str());
    for (const auto& r : *this)
        if (udb_same_name(r.name, name))
            return false;
    return true;
}

std::wstring udb_relationships::gen_relship_name(const udb_relationship& rel) const
{
    static const wchar_t* const pieces[] = {L"_", L"1", L"_", L"2", L"_", L"3"};
    tk_log_write(1, "udb_relationships::gen_relship_name");
    std::wstring name = L"FK_" + rel.pk_table + L"_" + rel.fk_table;
    for (std::size_t n = 0; !is_acceptable_name(name); ++n) {
        tk_log_write_w(2, L"%ls is not acceptable as a FK name", name.c_str());
        name += pieces[n % 6];
    }
    return name;
}

udb_sequence::udb_sequence(const std::wstring& name_, int32_t start_, int32_t increment_,
                           int32_t minimum_, int32_t maximum_, bool cycle_)
    : name(name_), increment(increment_), start(start_), minimum(minimum_), maximum(maximum_),
      cycle(cycle_)
{
    tk_log_write_w(2, L"udb_sequence::ctor(%ls,%d,%d,%d,%d,%d)", name.c_str(), int(start),
                   int(increment), int(minimum), int(maximum), int(cycle));
}

#include "UDB/udb_idx.h"

#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "UDB/udb_name.h"

udb_index::udb_index(const std::wstring& name_, const std::vector<std::wstring>& fields_,
                     bool unique_, bool primary_key_)
    : name(name_), unique(unique_), primary_key(primary_key_), fields(fields_)
{
    tk_log_write_w(1, L"udb_index::ctor('%ls',%d,%d)", name.c_str(), int(unique), int(primary_key));
}

bool udb_index::starts_with_fields(const std::vector<std::wstring>& names) const
{
    tk_log_write_w(1, L"udb_index(%ls)::starts_with_fields", name.c_str());
    tk_log_write(1, "this.size=%d, that.size=%d", int(fields.size()), int(names.size()));
    if (fields.size() < names.size()) {
        tk_log_write(1, "starts_with_fields returns false");
        return false;
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!udb_same_name(fields[i], names[i])) {
            tk_log_write_w(1, L"Field '%ls' not found", names[i].c_str());
            return false;
        }
    }
    tk_log_write(1, "starts_with_fields returns true");
    return true;
}

int udb_indexes::find(const std::wstring& name) const
{
    for (std::size_t i = 0; i < size(); ++i)
        if (udb_same_name((*this)[i].name, name))
            return static_cast<int>(i);
    return -1;
}

int udb_indexes::push_back(const udb_index& n)
{
    tk_log_write_w(2, L"udb_indexes::push_back(%ls)", n.name.c_str());
    tk_log_write(1, "udb_indexes::find2");
    const int pos = find(n.name);
    if (pos < 0) {
        tk_log_write(2, "Index does not exist, add it");
        std::vector<udb_index>::push_back(n);
        return static_cast<int>(size()) - 1;
    }
    udb_index& e = (*this)[pos];
    if (e.primary_key) {
        tk_log_write(2, "Primary key with the same name exists, skip it.");
        return pos;
    }
    if (n.primary_key) {
        tk_log_write(2, "Upgrade existing index to primary key.");
        e = n;
        return pos;
    }
    if (e.unique_constraint) {
        tk_log_write(2, "Unique constraint with the same name exists, skip it.");
        return pos;
    }
    if (n.unique_constraint) {
        tk_log_write(2, "Set unique constraint attributes for existing index.");
        e = n;
    }
    if (e.unique) {
        tk_log_write(2, "Unique index with the same name exists, skip it.");
        return pos;
    }
    if (n.unique) {
        tk_log_write(2, "Set unique attribute for existing index.");
        e = n;
    }
    return pos;
}

int udb_indexes::push_back_direct(const udb_index& index)
{
    tk_log_write_w(2, L"udb_indexes::push_back_direct(%ls)", index.name.c_str());
    const int pos = find(index.name);
    if (pos >= 0) {
        tk_log_write(2, "Index with the same name exists");
        return pos;
    }
    std::vector<udb_index>::push_back(index);
    return static_cast<int>(size()) - 1;
}

udb_index& udb_indexes::get_index(const std::wstring& name)
{
    tk_log_write_w(1, L"udb_indexes::get_index(%ls)", name.c_str());
    const int pos = find(name);
    if (pos < 0)
        TK_MAIL_ASSERT();
    return (*this)[pos];
}

const udb_index& udb_indexes::get_index(const std::wstring& name) const
{
    return const_cast<udb_indexes*>(this)->get_index(name);
}

bool udb_indexes::is_acceptable_name(const std::wstring& name) const
{
    tk_log_write_w(1, L"udb_indexes::is_acceptable_name(%ls)", name.c_str());
    return find(name) < 0;
}

bool udb_indexes::is_idx_field(const std::wstring& column) const
{
    tk_log_write_w(1, L"udb_indexes::is_idx_field(%ls)", column.c_str());
    for (const auto& idx : *this) {
        if (!idx.primary_key)
            continue;
        for (const auto& f : idx.fields) {
            if (udb_same_name(f, column)) {
                tk_log_write(1, "index field");
                return true;
            }
        }
    }
    tk_log_write(1, "non-index field");
    return false;
}

bool udb_indexes::has_index_on_fields(const std::vector<std::wstring>& columns) const
{
    tk_log_write(1, "udb_indexes::has_index_on_fields");
    if (columns.empty())
        return false;
    for (const auto& idx : *this) {
        if (!(idx.unique || idx.primary_key || idx.unique_constraint))
            continue;
        if (idx.fields.size() != columns.size())
            continue;
        bool all = true;
        for (const auto& c : columns) {
            if (udb_find_name(idx.fields, c) < 0) {
                all = false;
                break;
            }
        }
        for (const auto& f : idx.fields) {
            if (udb_find_name(columns, f) < 0) {
                all = false;
                break;
            }
        }
        if (all)
            return true;
    }
    return false;
}

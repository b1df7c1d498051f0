#include "UDB/udb_db.h"

#include <cerrno>
#include <cstdio>

#include "TK/tk_excep.h"
#include "TK/tk_fname.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_name.h"
#include "platform/win/winerror.h"

// ---------------------------------------------------------------- engine

int udb_engine::delete_db(const std::wstring& path)
{
    const std::string p = tk_to_string(path, -1);
    if (std::remove(p.c_str()) != 0) {
        SetLastErrorFromErrno();
        throw tk_exception_ex();
    }
    return 1;
}

bool udb_engine::is_db_exist(const std::wstring& path)
{
    return tk_is_file_exist2(path, 0x4000);
}

// ---------------------------------------------------------------- database

udb_database::udb_database(const std::wstring& name, int open_mode_, int case_sensitive_)
    : open_mode(open_mode_), db_name(name), case_sensitive(case_sensitive_)
{
    tk_log_write_w(2, L"udb_database::ctor(%ls,%d)", name.c_str(), open_mode_);
}

udb_database::~udb_database()
{
    tk_log_write(2, "udb_database::dtor");
}

void udb_database::create_schema(const std::wstring&) {}

void udb_database::create_index(const std::wstring&, const udb_schema&, const udb_index&) {}

void udb_database::create_indexes(const std::wstring& table, const udb_schema& schema,
                                  const udb_indexes& indexes)
{
    tk_log_write_w(2, L"udb_database::create_indexes(%ls)", table.c_str());
    tk_log_write(1, "idxs.size=%d", int(indexes.size()));
    for (const auto& idx : indexes)
        create_index(table, schema, idx);
    tk_log_write(1, "udb_database::create_indexes - at the END");
}

void udb_database::create_sequences(const std::vector<udb_sequence>&) {}

void udb_database::create_views(const udb_name_text_list&) {}

void udb_database::delete_fk(const std::wstring&) {}

void udb_database::delete_idx(const std::wstring&, const std::wstring&) {}

bool udb_database::same_table_name(const std::wstring& a, const std::wstring& b) const
{
    return udb_same_name(a, b, case_sensitive != 0);
}

bool udb_database::delete_tab(const std::wstring& table)
{
    tk_log_write_w(2, L"udb_database::delete_tab(%ls)", table.c_str());
    for (auto it = tables.begin(); it != tables.end(); ++it) {
        if (same_table_name(*it, table)) {
            tables.erase(it);
            return true;
        }
    }
    tk_log_write(2, "Table not found!");
    return false;
}

void udb_database::empty_table(const std::wstring& table)
{
    tk_log_write_w(2, L"udb_database::empty_table(%ls)", table.c_str());
    std::wstring quoted;
    if (table.size() >= 2 && table.front() == L'[' && table.back() == L']') {
        quoted = table;  // already bracketed by the caller
    } else {
        quoted = tk_enclose(table, L'[', L']');
    }
    query(L"delete from " + quoted);
}

void udb_database::get_schema_info(std::vector<std::wstring>& schemas)
{
    schemas.clear();
}

std::unique_ptr<udb_recordset> udb_database::query(const std::wstring&)
{
    TK_MAIL_ASSERT();
}

void udb_database::create_relationships(const udb_relationships&) {}

bool udb_database::is_table_exist(const std::wstring& table) const
{
    tk_log_write_w(2, L"udb_database::is_table_exist(%ls,case_sensitive=%d)", table.c_str(),
                   case_sensitive);
    if (tables.empty())
        tk_log_write(2, "Tables list is EMPTY!");
    for (const auto& t : tables) {
        tk_log_write_w(2, L"Compare with %ls", t.c_str());
        if (same_table_name(t, table)) {
            tk_log_write(1, "table exists");
            return true;
        }
    }
    tk_log_write(1, "table not found");
    return false;
}

// ---------------------------------------------------------------- recordset

udb_recordset::udb_recordset(udb_database* db, const std::wstring& name_,
                             const std::wstring& query_text_, bool owns_schema)
    : query_text(query_text_), name(name_), schema(owns_schema), database(db)
{
}

udb_recordset::udb_recordset(udb_database* db, const std::wstring& name_, bool owns_schema)
    : name(name_), schema(owns_schema), database(db)
{
}

udb_recordset::udb_recordset(const std::wstring& name_) : name(name_), schema(true)
{
    tk_log_write(2, "udb_recordset::ctor(default)");
}

udb_recordset::~udb_recordset()
{
    tk_log_write(1, "udb_recordset::dtor");
}

void udb_recordset::update(const std::wstring&)
{
    tk_log_write(1, "udb_recordset::update2");
}

void udb_recordset::update(udb_record&)
{
    tk_log_write(1, "udb_recordset::update1");
}

udb_record* udb_recordset::get_item()
{
    return nullptr;
}

bool udb_recordset::is_eof()
{
    return true;
}

void udb_recordset::move_to(uint32_t position)
{
    tk_log_write(1, "udb_recordset::move_to(%d)", int(position));
}

void udb_recordset::next() {}

void udb_recordset::prev() {}

void udb_recordset::reset() {}

void udb_recordset::delete_key(const std::wstring&) {}

void udb_recordset::delete_key(udb_record&) {}

int udb_recordset::add_index(const udb_index& index)
{
    tk_log_write_w(2, L"udb_recordset::add_index(%ls, %d)", index.name.c_str(), n_u_index);
    const bool known = !indexes.is_acceptable_name(index.name);
    const int pos = indexes.push_back(index);
    const udb_index& stored = indexes[pos];
    if (known && !(stored.primary_key == index.primary_key && stored.unique == index.unique &&
                   stored.fields == index.fields))
        tk_log_write_w(2, L"Index '%ls' cannot be processed", index.name.c_str());

    // The row key: the primary key, else the first unique index.
    const bool current_is_pk =
        n_u_index >= 0 && n_u_index < int(indexes.size()) && indexes[n_u_index].primary_key;
    if (stored.primary_key && !current_is_pk) {
        tk_log_write(2, "Store primary/unique key");
        n_u_index = pos;
    } else if (stored.unique && n_u_index == -1) {
        tk_log_write(2, "Store primary/unique key");
        n_u_index = pos;
    }
    return pos;
}

void udb_recordset::convert_record(udb_record& record) const
{
    tk_log_write(1, "udb_recordset::convert_record");
    for (udb_field* f : record) {
        if (!f)
            continue;
        const std::wstring target =
            database ? database->names_map.get_fn_mapped_name(name, f->name, true) : f->name;
        tk_log_write_w(1, L"Got mapped field name: %ls", target.c_str());
        const t_ftd* col = schema.find_field(target) ? schema.get_field(target) : nullptr;
        if (!col) {
            tk_log_write_w(1, L"Field '%ls' not found in schema", target.c_str());
            throw tk_exception("The structure of data source does not conform to the destination table.", 1);
        }
        tk_log_write_w(1, L"field '%ls': from=%d, to=%d", f->name.c_str(), int(f->get_type()),
                       int(col->vartype));
        f->change_type(col->vartype);
    }
}

#include "MSS/mss_db.h"

#include <algorithm>
#include <cstdio>

#include "MSS/mss_engi.h"
#include "MSS/mss_report.h"
#include "MSS/mss_tab.h"
#include "MSS/mss_util.h"
#include "MSS/mss_vali.h"
#include "MSS/odb_exce.h"
#include "MSS/odb_mdat.h"
#include "MSS/odb_recs.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_name.h"

namespace {

const wchar_t* const no_conform = L"The structure of data source does not conform to the destination table.";
const wchar_t* const support_sentence =
    L" Please contact technical support and attach the log file of this conversion.";

// The text with every "'" doubled, for a literal inside single quotes.
std::wstring sql_text(const std::wstring& text)
{
    std::wstring r;
    for (wchar_t c : text) {
        r += c;
        if (c == L'\'')
            r += L'\'';
    }
    return r;
}

std::wstring field_text(udb_record* rec, std::size_t column)
{
    if (!rec || column >= rec->size() || !(*rec)[column])
        return std::wstring();
    const udb_field* f = (*rec)[column];
    if (f->is_empty() || f->is_null())
        return std::wstring();
    return f->to_wstring();
}

long long field_i8(udb_record* rec, std::size_t column)
{
    std::wstring t = tk_trim(field_text(rec, column));
    try {
        return t.empty() ? 0 : std::stoll(t);
    } catch (...) {
        return 0;
    }
}

bool is_text_or_binary(VARTYPE vt)
{
    return vt == VT_BSTR || vt == VT_BLOB || vt == (VT_ARRAY | VT_UI1);
}

void replace_all(std::wstring& text, const std::wstring& what, const std::wstring& with)
{
    if (what.empty())
        return;
    for (std::size_t pos = text.find(what); pos != std::wstring::npos; pos = text.find(what, pos + with.size()))
        text.replace(pos, what.size(), with);
}

std::wstring join_mapped(const udb_names_map& map, const std::wstring& table, const std::vector<std::wstring>& fields)
{
    std::wstring r;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i)
            r += L", ";
        r += mss_quote_name(map.get_fn_mapped_name(table, fields[i], false));
    }
    return r;
}

} // namespace

mss_database::mss_database(const std::wstring& name, const std::wstring& schema, IDBInitialize* ds,
                           IOpenRowset* s, int mode)
    : odb_database(name, ds, s, mode)
{
    tk_log_write_w(2, L"mss_database::ctor2(%ls,%ls)", name.c_str(), schema.c_str());
    std::wstring table_schema = schema;
    if (table_schema.empty() && mss_get_engine_flags().view_owned)
        table_schema = mss_get_engine_flags().schema.empty() ? L"dbo" : mss_get_engine_flags().schema;
    try {
        init_tables(table_schema);
    } catch (const odb_exception& e) {
        tk_log_write(3, "Error while extracting tables:\n%s\n", e.what());
    }
    try {
        init_sequencies(schema);
    } catch (const odb_exception& e) {
        tk_log_write(3, "Error while extracting sequencies:\n%s\n", e.what());
    }
    if (!(mode & 0x80)) {
        try {
            init_views(schema);
        } catch (const odb_exception& e) {
            tk_log_write(3, "Error while extracting views:\n%s\n", e.what());
        }
    }
}

mss_database::~mss_database() = default;

void mss_database::execute(const std::wstring& sql)
{
    if (!session)
        TK_MAIL_ASSERT();
    odb_command command(session.get());
    command.execute(sql);
}

std::unique_ptr<udb_recordset> mss_database::select(const std::wstring& sql)
{
    auto rs = query(sql);
    rs->reset();
    return rs;
}

bool mss_database::enable_fast_load(bool flag)
{
    tk_log_write(2, "mss_database::enable_fast_load(%d)", static_cast<int>(flag));
    return mss_engine::ref().enable_fast_load(data_source.get(), flag);
}

bool mss_enable_fast_load(udb_database& db, bool flag)
{
    if (auto* mss = dynamic_cast<mss_database*>(&db))
        return mss->enable_fast_load(flag);
    return false;
}

// ---------------------------------------------------------------- creating objects

void mss_database::create_schema(const std::wstring& name)
{
    tk_log_write_w(2, L"mss_database::create_schema(%ls)", name.c_str());
    if (tk_iequal(name, L"dbo")) {
        tk_log_write(2, "Skip 'dbo' schema");
        return;
    }
    query(L"IF NOT EXISTS (SELECT  SCHEMA_NAME FROM    INFORMATION_SCHEMA.SCHEMATA WHERE   SCHEMA_NAME = '" +
          sql_text(name) + L"' ) BEGIN EXEC sp_executesql N'" + sql_text(L"CREATE SCHEMA " + mss_quote_name(name)) +
          L"' END");
}

std::unique_ptr<udb_recordset> mss_database::create_table(const std::wstring& name, const udb_schema& schema,
                                                          const udb_indexes& indexes)
{
    tk_log_write_w(2, L"mss_database::create_table(%ls, %d)", name.c_str(), open_mode);
    tk_log_write(2, "schema.size()=%d", static_cast<int>(schema.size()));
    if (open_mode & 0x01)
        throw tk_mail_assertion("mss_db", 440);
    const bool exists = is_table_exist(name);
    const bool appending = (open_mode & 0x08) && exists;
    std::unique_ptr<udb_recordset> result;
    if (appending) {
        result = get_table(name, 8);
        appended_tables.push_back(name);
    } else if (exists) {
        throw odb_exception(std::wstring(L"The specified table already exists"));
    } else {
        clustered_done = false;
        const std::optional<odb_exception> refused = do_create_table(name, schema, indexes);
        // Listed once it opens: a table whose creation failed is not in the database.
        try {
            result = get_table2(name, schema);
        } catch (const tk_exception&) {
            // The server's own reason, not the later "does not exist" of opening it.
            if (refused)
                throw *refused;
            throw;
        }
        tables.push_back(mss_simplify_tab_name(mss_get_safe_tname(name), L"."));
    }
    udb_schema& s = result->get_schema();
    tk_log_write(1, "s.size()=%d", static_cast<int>(s.size()));
    if (s.size() != schema.size())
        throw tk_exception(no_conform, 1);
    for (std::size_t i = 0; i < s.size(); ++i) {
        tk_log_write_w(1, L"src[%d].name=%ls, dest[%d].name=%ls", static_cast<int>(i), schema[i]->name.c_str(),
                       static_cast<int>(i), s[i]->name.c_str());
        tk_log_write(1, "src[%d].type=%d, dest[%d].type=%d", static_cast<int>(i), static_cast<int>(schema[i]->vartype),
                     static_cast<int>(i), static_cast<int>(s[i]->vartype));
        // An existing pure date or time column keeps its kind, which the check of the source
        // against the table needs: a value's time or date would be lost there.
        if (!(appending && s[i]->is_pure_date_or_time()))
            s[i]->dw_reserved = schema[i]->dw_reserved;
    }
    tk_log_write(1, "mss_database::create_table - END");
    return result;
}

std::optional<odb_exception> mss_database::do_create_table(const std::wstring& name, const udb_schema& schema,
                                                           const udb_indexes& indexes)
{
    tk_log_write_w(2, L"mss_database::do_create_table(%ls)", name.c_str());
    std::wstring sql = L"CREATE TABLE " + mss_get_safe_tname(name) + L" (\r\n";
    for (std::size_t i = 0; i < schema.size(); ++i) {
        const t_ftd& c = *schema[i];
        if (i)
            sql += L",\r\n";
        sql += L"\t" + mss_quote_name(c.name) + L" " + mss_get_native_type(c);
        if (c.b_auto_num || c.b_not_null) {
            sql += L" NOT NULL";
        } else {
            tk_log_write_w(1, L"udb_indexes::is_idx_field(%ls)", c.name.c_str());
            bool in_key = false;
            for (const auto& idx : indexes)
                if (idx.primary_key)
                    for (const auto& f : idx.fields)
                        if (f == c.name)
                            in_key = true;
            if (in_key) {
                tk_log_write(1, "index field");
                sql += L" NOT NULL";
            } else {
                tk_log_write(1, "non-index field");
            }
        }
        if (c.vartype == VT_DATE && c.dw_reserved == 9) {
            sql += L" DEFAULT CURRENT_TIMESTAMP";
            continue;
        }
        if (c.vartype == VT_DATE && c.dw_reserved == 10) {
            sql += L" DEFAULT getdate()";
            continue;
        }
        std::wstring def = (c.def_value.is_empty() || c.def_value.is_null()) ? std::wstring() : c.def_value.to_wstring();
        tk_log_write_w(2, L"Got safe default value: %ls", def.c_str());
        if (def.empty())
            continue;
        if (c.vartype == VT_BSTR && c.dw_reserved == 1 && (mss_iequal(def, L"newid()") || mss_iequal(def, L"uuid_generate_v4()"))) {
            sql += L" DEFAULT newid()";
        } else if (c.vartype == VT_DATE && mss_iequal(def, L"now()")) {
            sql += L" DEFAULT getdate()";
        } else if (c.vartype == VT_DATE && (mss_iequal(def, L"getdate()") || mss_iequal(def, L"CURRENT_TIMESTAMP") ||
                                            mss_iequal(def, L"getutcdate()"))) {
            tk_log_write(2, "Special processing for now/get...date()");
            sql += L" DEFAULT " + def;
        } else if (c.vartype == VT_DATE || c.vartype == VT_BSTR) {
            sql += L" DEFAULT '" + sql_text(def) + L"'";
        } else {
            sql += L" DEFAULT " + def;
        }
    }
    sql += L")";
    tk_log_write_w(2, L"Create table query: '%ls'", sql.c_str());
    try {
        execute(sql);
    } catch (const odb_exception& e) {
        tk_log_write(3, "Failed to create table: %s", e.what());
        return e;
    }
    return std::nullopt;
}

void mss_database::create_index(const std::wstring& table, const udb_schema& schema, const udb_index& index)
{
    tk_log_write(2, "mss_database::create_index");
    if (mss_leave_out_malformed_index(table, index))
        return;
    std::wstring sql;
    if (index.primary_key) {
        sql = L"ALTER TABLE " + mss_get_safe_tname(table);
        if (index.name.empty() || is_index_exist(index, true))
            sql += L" ADD PRIMARY KEY NONCLUSTERED(";
        else
            sql += L" ADD CONSTRAINT " + mss_quote_name(index.name) + L" PRIMARY KEY NONCLUSTERED(";
    } else if (index.unique_constraint) {
        tk_log_write_w(2, L"Processing unique constraint '%ls'", index.name.c_str());
        sql = L"ALTER TABLE " + mss_get_safe_tname(table) + L" ADD";
        if (!index.name.empty() && !is_index_exist(index, true))
            sql += L" CONSTRAINT " + mss_quote_name(index.name);
        sql += L" UNIQUE (";
    } else {
        std::wstring idx_name = (index.name.empty() || is_index_exist(index, false)) ? gen_idx_name2()
                                                                                     : index.name;
        sql = std::wstring(L"CREATE ") + (index.unique ? L"UNIQUE " : L"") + L"INDEX " + mss_quote_name(idx_name) +
              L" ON " + mss_get_safe_tname(table) + L"(";
    }
    const bool filtered = mss_get_engine_flags().version >= 5 && index.unique && !index.primary_key;
    std::wstring filter;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < index.fields.size(); ++i) {
        const std::wstring& f = index.fields[i];
        const t_ftd* c = schema.get_field(f);
        if (!c) {
            mss_report_index_left_out(table, index, mss_index_gap::missing_column, f);
            return;
        }
        std::uint64_t size = c->size;
        if (c->vartype == VT_BSTR)
            size *= 2;
        tk_log_write_w(1, L"Index field '%ls' has vt=%08X, size=%d", f.c_str(), static_cast<unsigned>(c->vartype),
                       static_cast<int>(size));
        total += size;
        tk_log_write(1, "Total index size=%d", static_cast<int>(total));
        if (const auto gap = mss_index_gap_of(*c, total)) {
            mss_report_index_left_out(table, index, *gap, f);
            return;
        }
        if (i)
            sql += L", ";
        sql += mss_quote_name(f);
        if (filtered)
            filter += (filter.empty() ? L" WHERE " : L" AND ") + mss_quote_name(f) + L" IS NOT NULL";
    }
    sql += L")" + filter;
    tk_log_write_w(2, L"Create index query: '%ls'", sql.c_str());
    try {
        execute(sql);
    } catch (const odb_exception& e) {
        // A key or index the server refuses leaves the table without what the source promised:
        // the user hears of it as of a table that failed.
        tk_log_write(2, "Error: %s", e.what());
        mss_report_error(table, tk_exception(L"Can't create index " + mss_quote_name(index.name) + L": " +
                                                 tk_ansi_text_to_wstring(e.what()),
                                             0),
                         false);
    }
    if (index.primary_key)
        clustered_done = true;
}

void mss_database::create_indexes(const std::wstring& table, const udb_schema& schema, const udb_indexes& indexes)
{
    tk_log_write_w(2, L"mss_database::create_indexes(%ls)", table.c_str());
    if (std::find(appended_tables.begin(), appended_tables.end(), table) != appended_tables.end()) {
        // Rows were added to a table that was there: its keys and indexes stay as they are.
        tk_log_write_w(2, L"Indexes of the existing table %ls are kept", table.c_str());
        return;
    }
    udb_database::create_indexes(table, schema, indexes);
    if (!clustered_done && mss_get_engine_flags().version == 100)
        create_clustered_index(table, schema);
}

void mss_database::create_clustered_index(const std::wstring& table, const udb_schema& schema)
{
    tk_log_write(2, "mss_database::create_clustered_index");
    const t_ftd* chosen = nullptr;
    for (const t_ftd* c : schema) {
        if (!is_text_or_binary(c->vartype) || (c->size >= 1 && c->size <= 7999)) {
            chosen = c;
            break;
        }
        tk_log_write_w(2, L"Field '%ls' is not suitable for building index", c->name.c_str());
    }
    if (!chosen) {
        tk_log_write(1, "Failed to find a field for building clustered index");
        return;
    }
    std::wstring sql = L"CREATE CLUSTERED INDEX " + mss_quote_name(chosen->name + L"_clust_idx") + L" ON " +
                       mss_quote_name(table) + L"(" + mss_quote_name(chosen->name) + L")";
    tk_log_write_w(2, L"CLUSTERED-index-query: %ls", sql.c_str());
    try {
        query(sql);
    } catch (const tk_exception& e) {
        tk_log_write(2, "ERROR: %s", e.what());
    }
}

std::wstring mss_database::gen_idx_name(const udb_indexes* indexes, const std::vector<std::wstring>& fields)
{
    tk_log_write(1, "mss_database::gen_idx_name");
    if (!indexes)
        throw tk_mail_assertion("mss_db", 1243);
    std::wstring candidate = L"UIDX";
    for (const auto& f : fields)
        candidate += L"_" + f;
    if (indexes->is_acceptable_name(candidate))
        return candidate;
    for (unsigned n = 0;; ++n) {
        wchar_t suffix[16];
        std::swprintf(suffix, 16, L"_%05u", n);
        std::wstring name = candidate + suffix;
        tk_log_write_w(1, L"udb_indexes::is_acceptable_name(%ls)", name.c_str());
        if (indexes->is_acceptable_name(name))
            return name;
    }
}

void mss_database::create_fk_index_if(const std::wstring& table, const std::vector<std::wstring>& fields)
{
    tk_log_write_w(2, L"mss_database::create_fk_index_if(%ls)", table.c_str());
    try {
        auto t = get_table(table, 1);
        tk_log_write(1, "udb_indexes::has_index_on_fields");
        for (const auto& idx : t->get_indexes()) {
            if (idx.starts_with_fields(fields)) {
                if (idx.unique) {
                    tk_log_write_w(2, L"Child index for table '%ls' exists", table.c_str());
                    return;
                }
                break;
            }
        }
        tk_log_write_w(2, L"Child index for table '%ls' does NOT exist", table.c_str());
        std::wstring sql = L"CREATE UNIQUE INDEX " + mss_quote_name(gen_idx_name(&t->get_indexes(), fields)) +
                           L" ON " + mss_get_safe_tname(table) + L"(" + join_mapped(names_map, table, fields) + L")";
        tk_log_write_w(2, L"str_query=%ls", sql.c_str());
        query(sql);
    } catch (const odb_exception& e) {
        tk_log_write(3, "Error while creating index for FK:\n%s\n", e.what());
    }
}

void mss_database::create_relationships(const udb_relationships& list)
{
    tk_log_write(2, "mss_database::create_relationships");
    if (open_mode == 8) {
        tk_log_write(3, "Foreign keys are not converted in append mode");
        return;
    }
    auto resolve = [this](const std::wstring& original, const char* label) {
        std::wstring mapped = names_map.get_tn_mapped_name(original, false);
        tk_log_write_w(2, L"Got mapped name: %ls", mapped.c_str());
        std::wstring plain = mapped;
        replace_all(plain, L"dbo].[", L"");
        replace_all(plain, L"dbo.", L"");
        tk_log_write_w(2, L"%S=%ls", label, plain.c_str());
        if (!is_table_exist(plain) && !is_table_exist(mapped) && !is_table_exist(mss_get_safe_tname(mapped)))
            throw tk_exception(L"Table '" + plain + L"' not exists", 0);
        return mapped;
    };
    for (const auto& rel : list) {
        tk_log_write_w(3, L"Processing '%ls', properties=%ls", rel.name.c_str(), rel.properties.c_str());
        try {
            std::wstring fk_table = resolve(rel.fk_table, "fk_table_name");
            std::wstring pk_table = resolve(rel.pk_table, "pk_table_name");
            create_fk_index_if(pk_table, rel.pk_fields);
            std::wstring sql = L"ALTER TABLE " + mss_get_safe_tname(fk_table) + L" ADD";
            if (!rel.name.empty())
                sql += L" CONSTRAINT " + mss_quote_name(rel.name);
            sql += L" FOREIGN KEY (" + join_mapped(names_map, rel.fk_table, rel.fk_fields) + L") REFERENCES " +
                   mss_get_safe_tname(pk_table) + L"(" + join_mapped(names_map, rel.pk_table, rel.pk_fields) + L")";
            if (!rel.properties.empty() && mss_is_valid_fk_props(tk_trim(rel.properties)))
                sql += L" " + rel.properties;
            tk_log_write_w(2, L"Foreign key query: '%ls'", sql.c_str());
            execute(sql);
        } catch (const tk_exception& e) {
            tk_log_write(3, "Error while creating FK:\n%s\n", e.what());
            std::wstring context = rel.name.empty() ? rel.fk_table : L"Foreign key '" + rel.name + L"'";
            if ((static_cast<unsigned>(e.code()) & 0xFFFFu) == 0x0E2F)
                mss_report_error(context,
                                 tk_exception(L"There are orphaned records that prevent from creating foreign key. "
                                              L"For more\ninformation see Troubleshooting article of the product "
                                              L"documentation.",
                                              0),
                                 false);
            else
                mss_report_error(context, tk_exception(std::wstring(L"Can't create foreign key.") + support_sentence, 0),
                                 false);
        }
    }
}

void mss_database::create_sequences(const std::vector<udb_sequence>& list)
{
    tk_log_write(2, "mss_database::create_sequences");
    if (!list.empty())
        tk_log_write(3, "Creating sequences (%d items)", static_cast<int>(list.size()));
    for (const auto& seq : list) {
        std::wstring drop = L"DROP SEQUENCE IF EXISTS " + mss_get_safe_tname(seq.name);
        tk_log_write_w(2, L"%ls", drop.c_str());
        try {
            query(drop);
        } catch (const tk_exception& e) {
            tk_log_write(2, "%s", e.what());
        }
        std::wstring table, owner;
        mss_split_tab_name(seq.name, table, owner);
        try {
            if (!owner.empty() && !tk_iequal(owner, L"dbo")) {
                tk_log_write_w(3, L"Creating schema if necessary: '%ls'\r\n", owner.c_str());
                create_schema(owner);
            }
            std::wstring sql = L"CREATE SEQUENCE " + mss_get_safe_tname(seq.name) + L" START WITH " +
                               std::to_wstring(seq.start) + L" INCREMENT BY " + std::to_wstring(seq.increment) +
                               L" MINVALUE " + std::to_wstring(seq.minimum) + L" MAXVALUE " +
                               std::to_wstring(seq.maximum) + (seq.cycle ? L" CYCLE" : L"");
            tk_log_write_w(3, L"%ls", sql.c_str());
            query(sql);
        } catch (const tk_exception& e) {
            tk_log_write(3, "Error while creating sequence:\n%s\n", e.what());
            mss_report_error(std::wstring(), e, false);
        }
    }
}

void mss_database::create_views(const udb_name_text_list& list)
{
    tk_log_write(2, "mss_database::create_views");
    mss_tn_validator validator(tables, std::vector<std::wstring>());
    for (const auto& [source_name, text] : list) {
        tk_log_write_w(1, L"Processing '%ls'", source_name.c_str());
        tk_log_write_w(1, L"\t'%ls'", text.c_str());
        std::wstring name = source_name;
        try {
            if (!validator.is_acceptable(name)) {
                name = validator.get_safe_name(name);
                tk_log_write_w(2, L"udb_names_map::add_tn_mapping(%ls,%ls)", source_name.c_str(), name.c_str());
                names_map.add_tn_mapping(source_name, name);
                tk_log_write_w(2, L"Store generated column name '%ls'", name.c_str());
                tk_log_write_w(1, L"udb_validator::add_existing_name(%ls)", name.c_str());
                validator.add_existing_name(name);
            }
            query(L"IF OBJECT_ID('" + sql_text(name) + L"') IS NOT NULL DROP VIEW " +
                  mss_get_safe_tname(name));
            tk_log_write_w(1, L"mss_database::refine_view(%ls)", text.c_str());
            query(L"CREATE VIEW " + mss_get_safe_tname(name) + L" AS " + mss_refine_view(text));
        } catch (const tk_exception& e) {
            tk_log_write(3, "Error while creating view:\n%s\n", e.what());
            mss_report_error(L"View '" + name + L"'",
                             tk_exception(std::wstring(L"Can't create view.") + support_sentence, 0), false);
        }
    }
}

void mss_database::empty_table(const std::wstring& name)
{
    // Names in brackets are passed as they are; others are bracketed with "]" doubled.
    udb_database::empty_table(name.size() >= 2 && name.front() == L'[' ? name : mss_quote_name(name));
}

// ---------------------------------------------------------------- reading the catalogue

void mss_database::init_tables(const std::wstring& schema)
{
    tk_log_write_w(2, L"mss_database::init_tables(%ls)", schema.c_str());
    const bool owned = mss_get_engine_flags().view_owned;
    tk_log_write(1, "mss_engine::ref().is_view_owned()=%d", static_cast<int>(owned));
    try {
        odb_tl_meta_data list(session.get(), schema);
        list.reset();
        const udb_schema& cols = list.get_schema();
        int owner_col = cols.get_field_idx(L"TABLE_SCHEMA");
        int name_col = cols.get_field_idx(L"TABLE_NAME");
        while (!list.is_eof()) {
            udb_record* row = list.get_item();
            std::wstring owner = owner_col < 0 ? std::wstring() : field_text(row, static_cast<std::size_t>(owner_col));
            std::wstring name = name_col < 0 ? std::wstring() : field_text(row, static_cast<std::size_t>(name_col));
            tk_log_write_w(2, L"Got table (1): (name=%ls, owner=%ls)", name.c_str(), owner.c_str());
            if (tk_iequal(owner, L"sys")) {
                tk_log_write_w(3, L"Skip %ls.%ls", owner.c_str(), name.c_str());
            } else {
                tables.push_back(owner.empty() ? name : owner + L"." + name);
                tk_log_write_w(1, L"Stored as %ls", tables.back().c_str());
            }
            list.next();
        }
    } catch (const tk_exception& e) {
        tk_log_write(2, "%s", e.what());
    }
    if (!tables.empty()) {
        tk_log_write(2, "Tables count: %d", static_cast<int>(tables.size()));
        init_columns(schema);
        return;
    }
    tk_log_write(2, "No tables were found! Trying another method.");
    std::wstring sql = L"exec sp_tables ";
    if (owned && !tk_iequal(schema, L"sa"))
        sql += L"@table_owner='" + sql_text(schema) + L"', ";
    sql += L"@table_type=\"'TABLE'\"";
    auto rs = select(sql);
    while (!rs->is_eof()) {
        udb_record* row = rs->get_item();
        std::wstring owner = field_text(row, 1);
        std::wstring name = field_text(row, 2);
        tk_log_write_w(2, L"Got table (2): (name=%ls, owner=%ls)", name.c_str(), owner.c_str());
        if (tk_iequal(owner, L"sys"))
            tk_log_write_w(3, L"Skip %ls.%ls", owner.c_str(), name.c_str());
        else
            tables.push_back(owned ? name : L"[" + owner + L"].[" + name + L"]");
        rs->next();
    }
    tk_log_write(2, "Tables count: %d", static_cast<int>(tables.size()));
    init_columns(schema);
}

void mss_database::init_columns(const std::wstring& schema)
{
    tk_log_write_w(2, L"mss_database::init_columns(%ls)", schema.c_str());
    if (!column_types.empty())
        return;
    std::wstring sql = L"select TABLE_NAME, COLUMN_NAME, DATA_TYPE from INFORMATION_SCHEMA.COLUMNS where ";
    if (mss_get_engine_flags().view_owned)
        sql += L"TABLE_SCHEMA='" + sql_text(schema) + L"' and ";
    sql += L"TABLE_NAME not in ('sysalternates','sysconstraints','syssegments')";
    auto rs = select(sql);
    while (!rs->is_eof()) {
        udb_record* row = rs->get_item();
        std::wstring t = field_text(row, 0), c = field_text(row, 1), type = field_text(row, 2);
        column_types[t][c] = type;
        tk_log_write_w(2, L"Database column (table, column, type): %ls, %ls, %ls", t.c_str(), c.c_str(), type.c_str());
        rs->next();
    }
}

void mss_database::init_sequencies(const std::wstring& schema)
{
    tk_log_write_w(2, L"mss_database::init_sequencies(%ls)", schema.c_str());
    auto rs = select(L"SELECT CAST(name AS varchar), CAST(start_value AS int), CAST(increment AS int), "
                     L"CAST(minimum_value AS bigint), CAST(maximum_value AS bigint), is_cycling FROM SYS.SEQUENCES");
    while (!rs->is_eof()) {
        udb_record* row = rs->get_item();
        long long minimum = std::max<long long>(field_i8(row, 3), -2147483648LL);
        long long maximum = std::min<long long>(field_i8(row, 4), 2147483647LL);
        std::wstring cycle = tk_trim(field_text(row, 5));
        sequences.emplace_back(field_text(row, 0), static_cast<int32_t>(field_i8(row, 1)),
                               static_cast<int32_t>(field_i8(row, 2)), static_cast<int32_t>(minimum),
                               static_cast<int32_t>(maximum),
                               !cycle.empty() && cycle != L"0" && !tk_iequal(cycle, L"false"));
        rs->next();
    }
}

void mss_database::init_views(const std::wstring& schema)
{
    tk_log_write_w(2, L"mss_database::init_views(%ls)", schema.c_str());
    auto rs = select(L"select name, definition from sys.objects o join sys.sql_modules m on m.object_id = "
                     L"o.object_id where o.type = 'V'");
    const bool owned = mss_get_engine_flags().view_owned;
    while (!rs->is_eof()) {
        udb_record* row = rs->get_item();
        std::wstring name = field_text(row, 0);
        std::wstring def = field_text(row, 1);
        rs->next();
        std::wstring lower = def;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](wchar_t c) { return std::towlower(c); });
        std::size_t at = lower.find(L"select");
        if (at == std::wstring::npos) {
            tk_log_write(2, "'select' not found in the view");
            continue;
        }
        std::wstring text = def.substr(at);
        tk_log_write_w(2, L"Got view #1: ('%ls', '%ls')", name.c_str(), text.c_str());
        for (const wchar_t* cut : {L"TOP 100 PERCENT", L"top 100 percent", L"TOP (100) PERCENT", L"top (100) percent",
                                   L"WITH (NOLOCK)", L"with (nolock)", L"WITH SCHEMABINDING", L"with schemabinding",
                                   L"WITH VIEW_METADATA", L"with view_metadata", L"[", L"]"})
            replace_all(text, cut, L"");
        tk_log_write_w(2, L"Got view #2: ('%ls', '%ls')", name.c_str(), text.c_str());
        if (owned) {
            replace_all(text, L"dbo.", L"");
            tk_log_write_w(2, L"Got view #3: ('%ls', '%ls')", name.c_str(), text.c_str());
        }
        text = tk_trim(text);
        tk_log_write_w(2, L"Got view: ('%ls', '%ls')", name.c_str(), text.c_str());
        views.emplace_back(name, text);
    }
}

void mss_database::get_schema_info(std::vector<std::wstring>& list)
{
    tk_log_write(2, "mss_database::get_schema_info");
    list.clear();
    try {
        auto rs = select(L"SELECT name FROM " + mss_quote_name(db_name) +
                         L".sys.schemas where name <> 'sys' and principal_id < 16384");
        while (!rs->is_eof()) {
            std::wstring n = field_text(rs->get_item(), 0);
            tk_log_write_w(2, L"Got schema: name=%ls", n.c_str());
            list.push_back(n);
            rs->next();
        }
    } catch (const odb_exception& e) {
        tk_log_write(2, "%s", e.what());
    }
}

bool mss_database::is_table_exist(const std::wstring& name) const
{
    tk_log_write_w(2, L"mss_database::is_table_exist(%ls)", name.c_str());
    if (name.empty())
        return false;
    std::wstring simple = mss_simplify_tab_name(name, L".");
    if (udb_database::is_table_exist(simple))
        return true;
    // A bare name also finds the table of the owner this login writes to.
    std::wstring table, owner;
    mss_split_tab_name(simple, table, owner);
    if (!owner.empty())
        return false;
    return udb_database::is_table_exist(mss_simplify_tab_name(mss_get_safe_tname(name), L".")) ||
           udb_database::is_table_exist(L"dbo." + table);
}

bool mss_database::is_index_exist(const udb_index& index, bool is_constraint)
{
    tk_log_write_w(1, L"mss_database::is_index_exist('%ls',%d)", index.name.c_str(), static_cast<int>(is_constraint));
    long long count = 0;
    try {
        std::wstring sql =
            is_constraint
                ? L"SELECT COUNT(*) FROM INFORMATION_SCHEMA.TABLE_CONSTRAINTS WHERE CONSTRAINT_NAME='" + sql_text(index.name) + L"'"
                : L"SELECT COUNT(*) FROM SYS.INDEXES WHERE NAME='" + sql_text(index.name) + L"'";
        auto rs = select(sql);
        if (!rs->is_eof())
            count = field_i8(rs->get_item(), 0);
    } catch (const odb_exception& e) {
        tk_log_write(3, "Error extracting indexes:\n%s\n", e.what());
    }
    tk_log_write(1, "n_recs=%d", static_cast<int>(count));
    return count != 0;
}

std::wstring mss_database::get_column_type(const std::wstring& table, const std::wstring& column) const
{
    std::wstring bare, owner;
    mss_split_tab_name(table, bare, owner);
    auto t = column_types.find(bare);
    if (t == column_types.end())
        return std::wstring();
    auto c = t->second.find(column);
    return c == t->second.end() ? std::wstring() : c->second;
}

std::unique_ptr<udb_recordset> mss_database::get_table(const std::wstring& name, int flag)
{
    tk_log_write_w(2, L"mss_database::get_table1(%ls)", name.c_str());
    auto t = std::make_unique<mss_table>(mss_get_safe_tname(name), session.get(), flag, &relationships);
    t->database = this;
    return amend_schema(std::move(t));
}

std::unique_ptr<mss_table> mss_database::get_table2(const std::wstring& name, const udb_schema& source_schema)
{
    tk_log_write_w(2, L"mss_database::get_table2(%ls)", name.c_str());
    auto t = std::make_unique<mss_table>(mss_get_safe_tname(name), session.get(), source_schema, &relationships);
    t->database = this;
    return amend_schema(std::move(t));
}

std::unique_ptr<udb_recordset> mss_database::get_query(const std::wstring& name, const std::wstring& select_text,
                                                       int flag)
{
    tk_log_write_w(2, L"mss_database::get_query(%ls: %ls)", name.c_str(), select_text.c_str());
    auto t = std::make_unique<mss_table>(name, select_text, session.get(), flag, &relationships);
    t->database = this;
    return amend_schema(std::move(t));
}

std::unique_ptr<mss_table> mss_database::amend_schema(std::unique_ptr<mss_table> table)
{
    tk_log_write(2, "mss_database::amend_schema");
    if (!table)
        return table;
    std::wstring sql = L"SELECT ";
    bool reopen = false;
    udb_schema& s = table->get_schema();
    for (std::size_t i = 0; i < s.size(); ++i) {
        t_ftd& c = *s[i];
        if (i)
            sql += L",";
        std::wstring type = get_column_type(table->get_name(), c.name);
        if (type == L"date") {
            tk_log_write_w(2, L"Refine date column '%ls'", c.name.c_str());
            c.dw_reserved = 2;
        } else if (type == L"time") {
            tk_log_write_w(2, L"Refine time column '%ls'", c.name.c_str());
            c.dw_reserved = 3;
        } else if (type == L"geometry" || type == L"geography") {
            tk_log_write_w(2, L"Refine geometry/geography column '%ls'", c.name.c_str());
            c.dw_reserved = type == L"geometry" ? 2 : 8;
            c.size = 0;
            c.vartype = VT_BSTR;
            sql += mss_quote_name(c.name) + L".STAsText() as " + mss_quote_name(c.name);
            reopen = true;
            continue;
        }
        sql += mss_quote_name(c.name);
    }
    sql += L" FROM " + table->get_name();
    tk_log_write(2, "mss_database::amend_schema - END");
    if (reopen)
        table->refine_by_sql_query(sql);
    return table;
}

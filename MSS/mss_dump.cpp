// Script destination: the T-SQL script file and its per-table row writer.
#include "MSS/mss_dump.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <cwctype>

#include "MSS/mss_report.h"
#include "MSS/mss_util.h"
#include "MSS/mss_vali.h"
#include "MSS/odb_exce.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "platform/win/win_utf.h"

namespace {

constexpr unsigned kBigValue = 1048576; // values above this are streamed piecewise
constexpr unsigned kPiece = 131072;     // piece size of a streamed value
constexpr unsigned kRowsPerInsert = 11;
constexpr std::size_t kBlock = 1 << 20;  // script text handed to the file at a time

const char* const kGenericError =
    "Generic error occurred while migrating the data.\n"
    "Please send the log file to technical support for help.";

// The narrow UTF-8 forms of the comment, literal and name rules.
std::string comment_safe(const std::string& s)
{
    return tk_to_utf8(mss_comment_safe(tk_utf8_to_wstring(s)));
}

std::string quote_string_a(const std::string& s)
{
    return tk_to_utf8(mss_quote_string(tk_utf8_to_wstring(s)));
}

std::string quote_name_a(const std::string& s)
{
    return tk_to_utf8(mss_quote_name(tk_utf8_to_wstring(s)));
}

std::wstring join_quoted(const std::vector<std::wstring>& names)
{
    std::wstring r;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i)
            r += L", ";
        r += mss_quote_name(names[i]);
    }
    return r;
}

std::wstring trim(const std::wstring& s)
{
    const size_t b = s.find_first_not_of(L" \t\r\n");
    if (b == std::wstring::npos)
        return L"";
    const size_t e = s.find_last_not_of(L" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool has_non_ascii(const std::wstring& s)
{
    for (wchar_t c : s)
        if (static_cast<unsigned long>(c) > 0x7F)
            return true;
    return false;
}

bool is_plain_number(const std::wstring& t)
{
    size_t i = 0, n = t.size(), digits = 0;
    if (i < n && (t[i] == L'+' || t[i] == L'-'))
        ++i;
    while (i < n && std::iswdigit(t[i])) { ++i; ++digits; }
    if (i < n && t[i] == L'.')
        for (++i; i < n && std::iswdigit(t[i]); ++i)
            ++digits;
    if (digits && i < n && (t[i] == L'e' || t[i] == L'E')) {
        size_t j = i + 1;
        if (j < n && (t[j] == L'+' || t[j] == L'-'))
            ++j;
        size_t e = 0;
        while (j < n && std::iswdigit(t[j])) { ++j; ++e; }
        i = e ? j : n + 1;
    }
    return digits > 0 && i == n;
}

const t_ftd* find_column(const udb_schema& columns, const std::wstring& name)
{
    for (const t_ftd* c : columns)
        if (c && mss_iequal(c->name, name))
            return c;
    return nullptr;
}

} // namespace

std::string mss_to_utf8(const std::wstring& text)
{
    return win_utf8_from_wide(text);
}

mss_dump_options::mss_dump_options()
{
    tk_log_write(2, "mss_dump_options::ctor1");
}

// ---------------------------------------------------------------------------
// mss_dmp_database

mss_dmp_database::mss_dmp_database(const std::wstring& path, const mss_dump_options& options, bool through_link,
                                   mss_script_end* end, const std::function<void()>& on_wait)
    : udb_database(path, 1, 0), file_(mss_to_utf8(path), through_link, end, on_wait), path_(path), options_(options)
{
    const std::string apath = mss_to_utf8(path);
    tk_log_write(2, "mss_dmp_database::ctor(%s)", apath.c_str());

    if (options_.comments) {
        std::string shown = apath;
        for (char& c : shown)
            if (c == '\\')
                c = '/';
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        char date[32];
        std::snprintf(date, sizeof date, "%02d/%02d/%04d", local.tm_mon + 1, local.tm_mday, local.tm_year + 1900);
        write_raw("/*\r\nFile name: ");
        write_raw(comment_safe(shown));
        write_raw("\r\n");
        write_raw("Creation date: ");
        write_raw(date);
        write_raw("\r\n");
        write_raw("Created by ");
        write_raw(comment_safe(options_.banner));
        write_raw("\r\n");
        write_raw(std::string(50, '-'));
        write_raw("\r\n");
        write_raw("Run this script on Microsoft SQL Server to recreate the database.\r\n*/");
        write_raw("\r\n");
    }

    if (options_.create_database && options_.create_table) {
        std::string name = options_.database_name;
        if (name.empty()) {
            std::string base = apath;
            const size_t slash = base.find_last_of("/\\");
            if (slash != std::string::npos)
                base = base.substr(slash + 1);
            const size_t dot = base.rfind('.');
            if (dot != std::string::npos && dot > 0)
                base = base.substr(0, dot);
            name = base;
        }
        write_raw("USE master;\r\n");
        write_raw("GO\r\n");
        write_raw("\r\n");
        write_raw("if exists(select * from master.sys.databases where name=" + quote_string_a(name) +
                  ") DROP DATABASE " + quote_name_a(name) + ";\r\n");
        write_raw("CREATE DATABASE " + quote_name_a(name) + ";\r\n");
        write_raw("GO\r\n");
        write_raw("USE " + quote_name_a(name) + ";\r\n");
        write_raw("GO\r\n");
    }

    write_raw("SET QUOTED_IDENTIFIER ON;\r\n");
    write_raw("GO\r\n");
    flush();
}

mss_dmp_database::~mss_dmp_database()
{
    tk_log_write(2, "mss_dmp_database::dtor");
}

void mss_dmp_database::flush()
{
    file_.flush();
}

void mss_dmp_database::finish()
{
    tk_log_write(2, "mss_dmp_database::finish");
    // Whoever runs or reads the script later learns which tables it does not hold whole.
    if (!incomplete_.empty()) {
        write_raw("\r\n/*\r\nThese tables were not converted whole: some of their rows or indexes, or the "
                  "whole table, are missing from this script.\r\n");
        // "- " first: no name begins a line that a runner acts on ("GO", ":r").
        for (const std::wstring& table : incomplete_)
            write_w(L"\t- " + mss_comment_safe(table) + L"\r\n");
        write_raw("*/\r\n");
    }
    file_.complete();
}

void mss_dmp_database::table_incomplete(const std::wstring& table)
{
    tk_log_write_w(2, L"mss_dmp_database::table_incomplete(%ls)", table.c_str());
    if (std::find(incomplete_.begin(), incomplete_.end(), table) == incomplete_.end())
        incomplete_.push_back(table);
}

void mss_dmp_database::write_raw(const std::string& bytes)
{
    file_.write(bytes.data(), bytes.size());
}

void mss_dmp_database::write_w(const std::wstring& text)
{
    write_raw(mss_to_utf8(text));
}

void mss_dmp_database::create_schema(const std::wstring& name)
{
    tk_log_write_w(1, L"mss_dmp_database::create_schema(%ls)", name.c_str());
    if (mss_iequal(name, L"dbo")) {
        tk_log_write(1, "Skip 'dbo' schema");
        return;
    }
    write_w(L"IF NOT EXISTS (SELECT  SCHEMA_NAME FROM    INFORMATION_SCHEMA.SCHEMATA WHERE   SCHEMA_NAME = " +
            mss_quote_string(name) + L" ) BEGIN EXEC sp_executesql " +
            mss_quote_string(L"CREATE SCHEMA " + mss_quote_name(name), L"N") + L" END");
    write_raw("\n");
    write_raw("GO\r\n");
}

std::wstring mss_dmp_database::default_clause(const t_ftd& column) const
{
    if (column.vartype == VT_DATE && column.dw_reserved == 9)
        return L" DEFAULT CURRENT_TIMESTAMP";
    if (column.vartype == VT_DATE && column.dw_reserved == 10)
        return L" DEFAULT getdate()";
    const std::wstring text = column.def_value.to_wstring();
    tk_log_write_w(2, L"Got safe default value: %ls", text.c_str());
    if (text.empty())
        return L"";
    if (column.vartype == VT_BSTR && column.dw_reserved == 1 &&
        (mss_iequal(text, L"newid()") || mss_iequal(text, L"uuid_generate_v4()")))
        return L" DEFAULT newid()";
    if (column.vartype == VT_DATE) {
        if (mss_iequal(text, L"now()"))
            return L" DEFAULT getdate()";
        if (mss_iequal(text, L"getdate()") || mss_iequal(text, L"CURRENT_TIMESTAMP") || mss_iequal(text, L"getutcdate()")) {
            tk_log_write(2, "Special processing for now/get...date()");
            return L" DEFAULT " + text;
        }
    }
    if (column.vartype == VT_DATE)
        return L" DEFAULT " + mss_quote_string(text);
    if (column.vartype == VT_BSTR)
        return L" DEFAULT " + mss_quote_string(text, has_non_ascii(text) ? L"N" : L"");
    if (is_plain_number(text))
        return L" DEFAULT " + text;
    if (column.vartype == VT_BOOL) {
        if (mss_iequal(text, L"yes") || mss_iequal(text, L"true"))
            return L" DEFAULT 1";
        if (mss_iequal(text, L"no") || mss_iequal(text, L"false"))
            return L" DEFAULT 0";
    }
    // Never written bare: an expression the server may not know stays a literal.
    return L" DEFAULT " + mss_quote_string(text, has_non_ascii(text) ? L"N" : L"");
}

std::unique_ptr<udb_recordset> mss_dmp_database::create_table(const std::wstring& name, const udb_schema& columns,
                                                              const udb_indexes& indexes)
{
    tk_log_write_w(2, L"mss_dmp_database::create_table(%ls)", name.c_str());
    const std::wstring t = mss_get_safe_tname(name);
    if (is_table_exist(name) || is_table_exist(t))
        throw odb_exception(std::wstring(L"The specified table already exists"));

    mss_fn_validator validator(columns);
    clustered_written_ = false;

    if (options_.create_table) {
        if (options_.comments) {
            write_raw("\r\n");
            write_raw("/*");
            write_raw("\r\n");
            write_raw("Table structure for table '");
            write_w(mss_comment_safe(name));
            write_raw("'\r\n*/\r\n\r\n");
        }
        delete_tab(name);

        std::wstring sql = L"CREATE TABLE " + t + L" (\r\n";
        bool first = true;
        for (const t_ftd* col : columns) {
            if (!col)
                continue;
            if (!first)
                sql += L",\r\n";
            first = false;
            sql += L"\t" + mss_quote_name(col->name) + L" " + mss_get_native_type(*col);
            if (col->b_not_null || col->b_auto_num || indexes.is_idx_field(col->name))
                sql += L" NOT NULL";
            sql += default_clause(*col);
        }
        sql += L"\r\n)";
        write_w(sql);
        write_raw("\n");
        write_raw("GO");
        write_raw("\n");
        get_tables().push_back(t);
    }

    if (options_.comments) {
        write_raw("\r\n");
        write_raw("/*");
        write_raw("\r\n");
        write_raw("Dumping data for table '");
        write_w(mss_comment_safe(name));
        write_raw("'\r\n*/\r\n\r\n");
    }
    flush();
    return std::make_unique<mss_dmp_recordset>(this, name, columns, options_);
}

bool mss_dmp_database::delete_tab(const std::wstring& name)
{
    tk_log_write_w(2, L"mss_dmp_database::delete_tab(%ls)", name.c_str());
    const std::wstring t = mss_get_safe_tname(name);
    write_w(L"IF OBJECT_ID (" + mss_quote_string(t) + L", 'U') IS NOT NULL\r\n");
    write_w(L"DROP TABLE " + t + L";\r\n");
    write_raw("GO\r\n");
    if (is_table_exist(name))
        return udb_database::delete_tab(name);
    if (is_table_exist(t))
        return udb_database::delete_tab(t);
    return false;
}

void mss_dmp_database::create_index(const std::wstring& table, const udb_schema& columns, const udb_index& index)
{
    tk_log_write(2, "mss_dmp_database::create_index");
    if (mss_leave_out_malformed_index(table, index))
        return;
    const std::wstring t = mss_get_safe_tname(table);
    std::wstring sql;
    if (index.primary_key) {
        sql = L"ALTER TABLE " + t + L" ADD" + L" PRIMARY KEY(";
    } else if (index.unique_constraint) {
        tk_log_write_w(2, L"Processing unique constraint '%ls'", index.name.c_str());
        sql = L"ALTER TABLE " + t + L" ADD CONSTRAINT " + mss_quote_name(index.name) + L" UNIQUE (";
    } else {
        sql = L"CREATE " + std::wstring(index.unique ? L"UNIQUE " : L"") + L"INDEX " +
              mss_quote_name(index.name) + L" ON " + t + L"(";
    }
    // Constraints take no filter; only a unique index skips NULL keys through one.
    const bool filtered = index.unique && !index.primary_key && !index.unique_constraint;
    std::wstring filter;
    unsigned long long total = 0;
    for (size_t i = 0; i < index.fields.size(); ++i) {
        const std::wstring& field = index.fields[i];
        const t_ftd* col = find_column(columns, field);
        if (!col) {
            mss_report_index_left_out(table, index, mss_index_gap::missing_column, field);
            return;
        }
        const unsigned size = static_cast<unsigned>(col->size);
        const VARTYPE vt = col->vartype;
        total += size;
        tk_log_write_w(1, L"Index field '%ls' has vt=%08X, size=%d", field.c_str(), (unsigned)vt, (int)size);
        tk_log_write(1, "Total index size=%d", (int)total);
        if (const auto gap = mss_index_gap_of(*col, total)) {
            mss_report_index_left_out(table, index, *gap, field);
            return;
        }
        if (i)
            sql += L", ";
        sql += mss_quote_name(field);
        if (filtered) {
            filter += filter.empty() ? L" WHERE " : L" AND ";
            filter += mss_quote_name(field) + L" IS NOT NULL";
        }
    }
    sql += L") " + filter;
    write_w(sql);
    write_raw("\n");
    write_raw("GO");
    write_raw("\n");
    if (index.primary_key)
        clustered_written_ = true; // a primary key is the table's clustered index
}

void mss_dmp_database::create_indexes(const std::wstring& table, const udb_schema& columns, const udb_indexes& indexes)
{
    tk_log_write_w(2, L"mss_dmp_database::create_indexes(%ls)", table.c_str());
    udb_database::create_indexes(table, columns, indexes);
    if (!clustered_written_ && mss_get_engine_flags().version == 100)
        create_clustered_index(table, columns);
    flush();
}

void mss_dmp_database::create_clustered_index(const std::wstring& table, const udb_schema& columns)
{
    tk_log_write(2, "mss_dmp_database::create_clustered_index");
    const t_ftd* chosen = nullptr;
    for (const t_ftd* col : columns) {
        if (!col)
            continue;
        const unsigned size = static_cast<unsigned>(col->size);
        if ((col->vartype != VT_BSTR && col->vartype != VT_BLOB) || (size >= 1 && size <= 7999)) {
            chosen = col;
            break;
        }
        tk_log_write_w(2, L"Field '%ls' is not suitable for building index", col->name.c_str());
    }
    if (!chosen) {
        tk_log_write(2, "Failed to find a field for building clustered index");
        return;
    }
    const std::wstring sql = L"CREATE CLUSTERED INDEX " + mss_quote_name(chosen->name + L"_clust_idx") + L" ON " +
                             mss_quote_name(table) + L"(" + mss_quote_name(chosen->name) + L")";
    tk_log_write_w(2, L"CLUSTERED-index-query: %ls", sql.c_str());
    query(sql);
    write_raw("GO");
    write_raw("\n");
    clustered_written_ = true;
}

void mss_dmp_database::create_sequences(const std::vector<udb_sequence>& list)
{
    tk_log_write(1, "mss_dmp_database::create_sequences");
    if (!list.empty())
        tk_log_write(3, "Creating sequences (%d items)", (int)list.size());
    for (const udb_sequence& seq : list) {
        const std::wstring name = mss_get_safe_tname(seq.name);
        write_w(L"DROP SEQUENCE IF EXISTS " + name);
        write_raw("\r\n");
        write_raw("GO\r\n");
        std::wstring table, owner;
        mss_split_tab_name(seq.name, table, owner);
        if (!owner.empty() && !mss_iequal(owner, L"dbo"))
            create_schema(owner);
        std::wstring sql = L"CREATE SEQUENCE " + name + L" START WITH " + std::to_wstring(seq.start) +
                           L" INCREMENT BY " + std::to_wstring(seq.increment) + L" MINVALUE " +
                           std::to_wstring(seq.minimum) + L" MAXVALUE " + std::to_wstring(seq.maximum);
        if (seq.cycle)
            sql += L" CYCLE";
        write_w(sql);
        write_raw("\r\n");
        write_raw("GO\r\n");
    }
}

void mss_dmp_database::create_views(const udb_name_text_list& list)
{
    tk_log_write(1, "mss_dmp_database::create_views");
    mss_tn_validator validator(get_tables(), {});
    for (const auto& [view, definition] : list) {
        tk_log_write_w(1, L"Processing '%ls'", view.c_str());
        tk_log_write_w(1, L"\t'%ls'", definition.c_str());
        if (!mss_starts_with(trim(definition), L"select", false)) {
            tk_log_write(1, "Skip non-select query");
            continue;
        }
        const std::wstring safe = validator.get_safe_name(view);
        get_names_map().add_tn_mapping(view, safe);
        tk_log_write_w(1, L"Store generated column name '%ls'", safe.c_str());
        validator.add_existing_name(safe);
        const std::wstring name = mss_get_safe_tname(safe);
        write_w(L"IF OBJECT_ID(" + mss_quote_string(name) + L") IS NOT NULL DROP VIEW " + name);
        write_raw("\r\n");
        write_raw("GO\r\n");
        tk_log_write_w(1, L"mss_dmp_database::refine_view(%ls)", definition.c_str());
        write_w(L"CREATE VIEW " + name + L" AS " + mss_refine_view(definition));
        write_raw("\r\n");
        write_raw("GO\r\n");
    }
}

void mss_dmp_database::delete_fk(const std::wstring& fk_name)
{
    tk_log_write_w(2, L"mss_dmp_database::delete_fk(%ls)", fk_name.c_str());
    // The key belongs to the referencing table, known from the database's keys.
    for (const udb_relationship& rel : relationships) {
        if (!mss_iequal(rel.name, fk_name))
            continue;
        write_w(L"ALTER TABLE " + mss_get_safe_tname(rel.fk_table) + L" DROP CONSTRAINT " + mss_quote_name(fk_name));
        write_raw("\n");
        return;
    }
    tk_log_write_w(2, L"Foreign key '%ls' not found", fk_name.c_str());
}

void mss_dmp_database::delete_idx(const std::wstring& table, const std::wstring& index)
{
    tk_log_write_w(2, L"mss_dmp_database::delete_idx(%ls,%ls)", table.c_str(), index.c_str());
    // A key (primary or unique) is dropped as a constraint, any other index as an index.
    const std::wstring t = mss_get_safe_tname(table);
    write_w(L"IF EXISTS (SELECT 1 FROM sys.key_constraints WHERE name = " + mss_quote_string(index, L"N") +
            L" AND parent_object_id = OBJECT_ID(" + mss_quote_string(t, L"N") + L")) ALTER TABLE " + t +
            L" DROP CONSTRAINT " + mss_quote_name(index) + L" ELSE DROP INDEX IF EXISTS " + mss_quote_name(index) +
            L" ON " + t);
    write_raw("\n");
}

std::unique_ptr<udb_recordset> mss_dmp_database::get_query(const std::wstring&, const std::wstring&, int)
{
    return nullptr;
}

std::unique_ptr<udb_recordset> mss_dmp_database::get_table(const std::wstring&, int)
{
    TK_MAIL_ASSERT(); // a script cannot be read back
}

std::unique_ptr<udb_recordset> mss_dmp_database::query(const std::wstring& sql)
{
    write_w(sql);
    write_raw("\n");
    return nullptr;
}

bool mss_dmp_database::test_query(const std::wstring&)
{
    return false;
}

void mss_dmp_database::create_relationships(const udb_relationships& list)
{
    tk_log_write(1, "mss_dmp_database::create_relationships");
    if (!list.empty() && options_.comments)
        write_raw("\r\n/*\r\nCreate foreign key constraints\r\n*/\r\n\r\n");
    udb_names_map& map = get_names_map();
    for (const udb_relationship& rel : list) {
        tk_log_write_w(2, L"Processing FK '%ls'", rel.name.c_str());
        const std::wstring child = map.get_tn_mapped_name(rel.fk_table, false);
        const std::wstring parent = map.get_tn_mapped_name(rel.pk_table, false);
        std::vector<std::wstring> child_fields, parent_fields;
        for (const auto& f : rel.fk_fields)
            child_fields.push_back(map.get_fn_mapped_name(rel.fk_table, f, false));
        for (const auto& f : rel.pk_fields)
            parent_fields.push_back(map.get_fn_mapped_name(rel.pk_table, f, false));
        std::wstring sql = L"ALTER TABLE " + mss_get_safe_tname(child) + L" ADD";
        if (!rel.name.empty())
            sql += L" CONSTRAINT " + mss_quote_name(rel.name);
        sql += L" FOREIGN KEY (" + join_quoted(child_fields) + L") REFERENCES " + mss_get_safe_tname(parent) +
               L"(" + join_quoted(parent_fields) + L")";
        const std::wstring props = trim(rel.properties);
        if (mss_is_valid_fk_props(props))
            sql += L" " + props + L";";
        write_w(sql);
        write_raw("\r\n");
        write_raw("GO\r\n");
    }
}

// ---------------------------------------------------------------------------
// mss_dmp_recordset

mss_dmp_recordset::mss_dmp_recordset(mss_dmp_database* db, const std::wstring& name, const udb_schema& columns,
                                     const mss_dump_options& options)
    : udb_recordset(db, name, true), db_(db), table_(mss_get_safe_tname(name)), options_(options)
{
    tk_log_write_w(1, L"mss_dmp_recordset::mss_dmp_recordset(%ls)", name.c_str());
    for (const t_ftd* col : columns) {
        if (!col)
            continue;
        columns_.push_back(std::make_unique<t_ftd>(*col));
        // The table's own columns, as a merge compares them with its source.
        schema.push_back(new t_ftd(*col));
        if (col->b_auto_num)
            has_auto_num_ = true;
    }
}

mss_dmp_recordset::~mss_dmp_recordset()
{
    tk_log_write(2, "mss_dmp_recordset::dtor");
    // A file that failed takes nothing more; its failure was reported where it came.
    if (db_->failed())
        return;
    try {
        close_statement();
        if (identity_on_) {
            out_ += mss_to_utf8(L"SET IDENTITY_INSERT " + table_ + L" OFF;\r\nGO\r\n");
            identity_on_ = false;
        }
        write_out();
        db_->flush();
    } catch (const std::exception& e) {
        tk_log_write(3, "%s", e.what());
    }
}

void mss_dmp_recordset::write_out()
{
    if (out_.empty())
        return;
    db_->write_raw(out_);
    out_.clear();
    statement_start_ = 0;
}

void mss_dmp_recordset::close_statement()
{
    if (rows_pending_ == 0 && out_.size() == statement_start_)
        return;
    out_ += "\r\nGO\r\n";
    if (tk_log_may_write(2)) {
        const std::size_t n = out_.size() - statement_start_;
        tk_log_write(2, "mss_dmp_recordset::dump(%s)", n > 256 ? "..." : out_.c_str() + statement_start_);
    }
    out_ += "\r\n";
    rows_pending_ = 0;
    statement_start_ = out_.size();
    // The text goes to the file in large blocks; the last block when the table ends.
    if (out_.size() >= kBlock)
        write_out();
}

// The row has the table's columns, each under the name of its source column.
void mss_dmp_recordset::check_row(udb_record& record)
{
    if (record.size() != columns_.size()) {
        tk_log_write(2, "that.size()=%d, schema.size()=%d", (int)record.size(), (int)columns_.size());
        throw tk_exception("The structure of data source does not conform to the destination table.", 0);
    }

    // Everything that can fail is settled before the first byte of the row is written.
    // The column list and the source names behind the columns are the same for every row:
    // they are worked out at the first row.
    if (orig_names_.size() != columns_.size()) {
        udb_names_map& map = db_->get_names_map();
        std::wstring head = L"INSERT INTO " + table_ + L" (";
        orig_names_.clear();
        for (size_t i = 0; i < columns_.size(); ++i) {
            if (i)
                head += L", ";
            head += mss_quote_name(columns_[i]->name);
            orig_names_.push_back(map.get_fn_orig_name(name, columns_[i]->name));
        }
        head += L")";
        head_ = mss_to_utf8(head);
    }
    for (size_t i = 0; i < columns_.size(); ++i) {
        const std::wstring& orig = orig_names_[i];
        tk_log_write_w(1, L"Name=%ls, original name=%ls", columns_[i]->name.c_str(), orig.c_str());
        // The row's own field at this position is the usual match; any other is looked up.
        const udb_field* at = record[i];
        if (at && at->name == orig)
            continue;
        if (!record.find_field(orig)) {
            tk_log_write_w(2, L"Field %ls not found", orig.c_str());
            throw tk_exception(kGenericError, 0);
        }
    }
}

// The row's literals, separated by ", " in a buffer that keeps its room from row to row; long
// values are only marked, to be streamed.
void mss_dmp_recordset::build_literals(udb_record& record)
{
    row_.clear();
    starts_.resize(columns_.size());
    ends_.resize(columns_.size());
    big_.assign(columns_.size(), big_kind::none);
    row_is_big_ = false;
    for (size_t i = 0; i < columns_.size(); ++i) {
        if (i)
            row_ += ", ";
        starts_[i] = row_.size();
        const udb_field* f = record[i];
        if (!f)
            TK_MAIL_ASSERT();
        // Only a text or binary value (or one the reader leaves empty) can be big.
        const VARTYPE own = f->ole_variant::get_type();
        const bool sized = own == VT_BSTR || own == VT_EMPTY || ole_is_binary_type(own);
        if (sized && f->get_size() > kBigValue) {
            if (mss_is_binary_vt(f->get_type()))
                big_[i] = big_kind::binary;
            else if (f->get_type() == VT_BSTR)
                big_[i] = big_kind::text;
        }
        if (big_[i] == big_kind::none)
            literals_.append(row_, *f, *columns_[i]);
        else
            row_is_big_ = true;
        ends_[i] = row_.size();
    }
}

// A long value written straight into the file, piece by piece: bytes as hexadecimal digits, text
// as one literal (split where a script runner would act on it).
void mss_dmp_recordset::stream_value(const udb_field& field, big_kind kind)
{
    const size_t total = field.get_size();
    if (kind == big_kind::binary) {
        static const char hex[] = "0123456789ABCDEF";
        db_->write_raw("0x");
        std::string buf;
        std::string piece;
        for (size_t pos = 0; pos < total;) {
            const size_t got = field.get_at(pos, kPiece, buf);
            if (got == 0)
                break;
            piece.resize(got * 2);
            for (size_t k = 0; k < got; ++k) {
                const unsigned char b = static_cast<unsigned char>(buf[k]);
                piece[2 * k] = hex[b >> 4];
                piece[2 * k + 1] = hex[b & 15];
            }
            db_->write_raw(piece);
            pos += got;
        }
    } else {
        // A text the field keeps is read where it lies; only another kind is turned into one.
        std::wstring converted;
        std::wstring_view text = field.text_view();
        if (field.ole_variant::get_type() != VT_BSTR) {
            converted = field.to_wstring();
            text = converted;
        }
        const bool national = mss_get_engine_flags().unicode;
        const wchar_t* prefix = national ? L"N" : L"";
        mss_literal_scanner scanner(text);
        const bool split = scanner.needs_split();
        if (split)
            db_->write_w(mss_split_literal_open(national));
        else
            db_->write_raw(national ? "N'" : "'");
        std::wstring piece;
        for (size_t pos = 0; pos < text.size(); pos += kPiece) {
            piece.clear();
            scanner.append(piece, pos, std::min(text.size(), pos + kPiece), prefix, split);
            db_->write_w(piece);
        }
        db_->write_raw(split ? "')" : "'");
    }
}

void mss_dmp_recordset::append_record(udb_record& record)
{
    tk_log_write(1, "mss_dmp_recordset::append_record(schema size=%d, record size=%d", (int)columns_.size(),
                 (int)record.size());
    if (rows_pending_ == 0)
        tk_log_write(1, "Initialize new query...");
    check_row(record);
    build_literals(record);

    if (has_auto_num_ && identity_pending_) {
        out_ += mss_to_utf8(L"SET IDENTITY_INSERT " + table_ + L" ON;\r\nGO\r\n");
        statement_start_ = out_.size();
        identity_pending_ = false;
        identity_on_ = true;
    }

    const bool statement_open = rows_pending_ > 0;
    if (!row_is_big_) {
        // The usual row: its literals go to the buffer as they stand.
        if (!statement_open)
            out_ += head_;
        out_ += statement_open ? ", (" : " VALUES (";
        out_ += row_;
        out_ += ')';
        if (rows_pending_ < kRowsPerInsert - 1)
            ++rows_pending_;
        else
            close_statement();
        return;
    }
    append_big_row(record, statement_open);
}

// A row with values to stream: each streamed value ends the statement before it and the row ends
// its own.
void mss_dmp_recordset::append_big_row(udb_record& record, bool statement_open)
{
    std::string& values = values_;
    values.assign(statement_open ? ", (" : " VALUES (");
    bool head_pending = !statement_open;   // the INSERT's head is still to be written for this row
    for (size_t i = 0; i < columns_.size(); ++i) {
        if (i)
            values += ", ";
        if (big_[i] == big_kind::none) {
            values.append(row_, starts_[i], ends_[i] - starts_[i]);
            continue;
        }
        // Stream the value: what was built so far first, each piece on its own line, then the
        // value in pieces.
        if (rows_pending_ > 0) {
            out_ += "\r\n";
        } else if (head_pending) {
            out_ += head_;
            out_ += "\r\n";
        }
        out_ += values;
        out_ += "\r\n";
        write_out();
        head_pending = false;
        values.clear();
        rows_pending_ = 0;
        stream_value(*record[i], big_[i]);
    }

    out_ += values;   // the rest of the row, after its last streamed value
    out_ += ')';
    close_statement();
}

#include "dao/dao_db.h"

#include <cmath>
#include <cstring>
#include <ctime>
#include <cwctype>

#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "dao/dao_engi.h"
#include "dao/dao_init.h"
#include "dao/dao_recs.h"

const dao_view_rewrite dao_view_rewrite_table[18] = {
    {false, L"]![", L"].["},
    {true, L"alike", L"like"},
    {true, L"asc", L"ascii"},
    {true, L"chr", L"char"},
    {true, L"clng", L"round"},
    {true, L"iif", L"if"},
    {true, L"lcase", L"lower"},
    {true, L"left$", L"left"},
    {true, L"len", L"length"},
    {true, L"mid$", L"mid"},
    {true, L"nz", L"ifnull"},
    {true, L"right$", L"right"},
    {true, L"sqr", L"sqrt"},
    {true, L"stdev", L"stddev"},
    {true, L"strcomp", L"strcmp"},
    {true, L"ucase", L"upper"},
    {false, L"<>", L"!="},
    {false, L"WITH OWNERACCESS OPTION", L""},
};

namespace {

const wchar_t* const relationships_sql =
    L"SELECT szRelationship, szColumn, szObject, szReferencedObject, szReferencedColumn, grbit "
    L"FROM MSysRelationships ORDER BY szRelationship, icolumn";

// Position of from in text at or after start, ignoring case; npos when none.
std::size_t ifind(const std::wstring& text, const std::wstring& from, std::size_t start)
{
    if (from.empty() || text.size() < from.size())
        return std::wstring::npos;
    for (std::size_t i = start; i + from.size() <= text.size(); ++i) {
        std::size_t k = 0;
        while (k < from.size() && std::towlower(text[i + k]) == std::towlower(from[k]))
            ++k;
        if (k == from.size())
            return i;
    }
    return std::wstring::npos;
}

bool ends_word(wchar_t c)
{
    return c == L' ' || c == L'(' || c == L'\t' || c == L'\r' || c == L'\n';
}

// The text of a value read from the engine (empty for Null).
std::wstring variant_text(const VARIANT& v)
{
    if (v.vt == VT_EMPTY || v.vt == VT_NULL)
        return std::wstring();
    if (v.vt == VT_BSTR)
        return v.bstrVal ? std::wstring(v.bstrVal, SysStringLen(v.bstrVal)) : std::wstring();
    return ole_variant(v).to_wstring();
}

// The value of column i of the current row.
ole_variant column_value(DAOFields* fields, int i)
{
    ole_com_ptr<_DAOField> field;
    dao_call(fields->get_Item(dao_var_int(i), &field), field);
    VARIANT v;
    VariantInit(&v);
    dao_call(field->get_Value(&v));
    ole_variant value(v);
    VariantClear(&v);
    return value;
}

std::wstring column_text(DAOFields* fields, int i)
{
    ole_variant value = column_value(fields, i);
    return value.is_null() || value.is_empty() ? std::wstring() : variant_text(value.variant());
}

// For each pure date (pure time) column, whether a row of rs (its columns in that order) holds a
// time (a date other than day 0) that such a column would drop.
std::vector<bool> beyond_kind(DAORecordset* rs, const std::vector<t_ftd*>& columns)
{
    std::vector<bool> beyond(columns.size(), false);
    std::size_t left = columns.size();
    VARIANT_BOOL eof = VARIANT_FALSE;
    for (dao_call(rs->get_EOF(&eof)); !eof && left; dao_call(rs->get_EOF(&eof))) {
        ole_com_ptr<DAOFields> fields;
        dao_call(rs->get_Fields(&fields), fields);
        for (std::size_t j = 0; j < columns.size(); ++j) {
            const ole_variant value = column_value(fields.get(), static_cast<int>(j));
            if (beyond[j] || value.get_type() != VT_DATE)
                continue;
            const double day = value.variant().date, whole = std::trunc(day);
            const bool date_only = columns[j]->is_date_only();
            if (date_only ? day != whole : whole != 0) {
                beyond[j] = true;
                --left;
            }
        }
        dao_call(rs->MoveNext());
    }
    return beyond;
}

// A table name in brackets; a "]" of the name is written twice.
std::wstring bracketed_name(const std::wstring& name) { return tk_enclose(name, L'[', L']'); }

} // namespace

std::wstring dao_replace(const std::wstring& text, const std::wstring& from, const std::wstring& to,
                         bool whole_word)
{
    std::wstring out = text;
    std::size_t pos = ifind(out, from, 0);
    while (pos != std::wstring::npos) {
        bool replace = true;
        if (whole_word) {
            const std::size_t end = pos + from.size();
            const bool starts = pos == 0 || !std::iswalnum(out[pos - 1]);
            const bool ends = end == out.size() || ends_word(out[end]);
            replace = starts && ends;
        }
        if (replace)
            out.replace(pos, from.size(), to);
        pos = ifind(out, from, pos + 1);
    }
    return out;
}

std::wstring dao_rewrite_view_sql(const std::wstring& sql)
{
    std::wstring out = sql;
    for (const auto& row : dao_view_rewrite_table)
        out = dao_replace(out, row.from, row.to, row.whole_word);
    return out;
}

// ---------------------------------------------------------------------------------------------

dao_database::dao_database(const std::wstring& path, DAODatabase* db, int mode)
    : udb_database(path, mode, 0)
{
    dao_hold(m_db, db);
    tk_log_write_w(2, L"dao_database::dao_database( %s, mode=%d )", path.c_str(), mode);
    if (!db)
        throw tk_mail_assertion("dao_db", 59);

    VARIANT_BOOL updatable = VARIANT_FALSE;
    dao_call(m_db->get_Updatable(&updatable));
    m_updatable = updatable != VARIANT_FALSE;
    dao_call(m_db->get_TableDefs(&m_tables), m_tables);
    short count = 0;
    dao_call(m_tables->get_Count(&count));
    for (short i = 0; i < count; ++i) {
        ole_com_ptr<_DAOTableDef> table;
        dao_call(m_tables->get_Item(dao_var_int(i), &table), table);
        dao_bstr name;
        dao_call(table->get_Name(&name));
        long attributes = 0;
        dao_call(table->get_Attributes(&attributes));
        const std::wstring table_name = name.to_wstring();
        if (attributes & (dao_attr_linked | dao_attr_linked_odbc))
            tk_log_write_w(2, L"Skip linked table '%s'", table_name.c_str());
        else if (attributes & dao_attr_system)
            tk_log_write_w(2, L"Skip system table '%s'", table_name.c_str());
        else {
            tk_log_write_w(2, L"Got table: '%s'", table_name.c_str());
            tables.push_back(table_name);
        }
    }

    tk_log_write(2, "Right before extracting queries/vews");
    if (!(mode & dao_mode_skip_queries)) {
        try {
            init_views();
        } catch (const dao_exception& e) {
            tk_log_write(2, "ERROR1:\n%s", e.what());
        }
    }
    tk_log_write(2, "Right before extracting FKs");
    if (!(mode & dao_mode_skip_relationships)) {
        try {
            init_fkeys();
        } catch (const dao_exception& e) {
            tk_log_write(3, "ERROR2:\n%s", e.what());
        }
    }
    tk_log_write(2, "dao_database::ctor - END");
}

dao_database::~dao_database()
{
    try {
        tk_log_write(1, "dao_database::~dao_database");
        if (!m_db.is_empty())
            m_db->Close();
        tk_log_write(1, "dao_database::~dao_database - END");
        m_tables.reset();
        m_queries.reset();
        m_db.reset();
    } catch (...) {
        // Nothing leaves a destructor.
    }
}

void dao_database::init_views()
{
    tk_log_write(2, "dao_database::init_views");
    dao_call(m_db->get_QueryDefs(&m_queries), m_queries);
    short count = 0;
    dao_call(m_queries->get_Count(&count));
    tk_log_write(2, "Got %d queries", count);
    for (short i = 0; i < count; ++i) {
        ole_com_ptr<_DAOQueryDef> query;
        dao_call(m_queries->get_Item(dao_var_int(i), &query), query);
        dao_bstr name;
        dao_call(query->get_Name(&name));
        tk_log_write_w(2, L"Got query name: '%s'", name.to_wstring().c_str());
        dao_bstr sql;
        dao_call(query->get_SQL(&sql));
        tk_log_write_w(2, L"Got query SQL: '%s'", sql.to_wstring().c_str());
        views.emplace_back(name.to_wstring(), dao_rewrite_view_sql(sql.to_wstring()));
    }
}

ole_com_ptr<_DAOQueryDef> dao_database::temp_query(const std::wstring& sql)
{
    VARIANT name = dao_var_text(std::wstring());
    VARIANT text = dao_var_text(sql);
    ole_com_ptr<_DAOQueryDef> query;
    HRESULT hr = m_db->CreateQueryDef(name, text, &query);
    VariantClear(&name);
    VariantClear(&text);
    dao_call(hr, query);
    return query;
}

bool dao_database::is_system_table(const std::wstring& name)
{
    static const wchar_t* const internal[] = {L"MSysNavPaneGroups", L"MSysNavPaneGroupCategories",
                                              L"MSysNavPaneGroupToObjects"};
    for (const wchar_t* t : internal) {
        if (tk_iequal(name, t)) {
            tk_log_write_w(2, L"%s is a system/internal tables", name.c_str());
            return true;
        }
    }
    return false;
}

void dao_fkey_builder::emit()
{
    const dao_relationship_row& g = m_group;
    if (g.name.empty() || dao_database::is_system_table(g.object) ||
        dao_database::is_system_table(g.ref_object))
        return;
    udb_relationship rel(g.object, g.ref_object, m_child_cols, m_parent_cols, std::wstring());
    rel.name = m_out.gen_relship_name(rel);
    if (g.grbit & dbRelationDeleteCascade)
        rel.properties += L" ON DELETE CASCADE";
    if (g.grbit & dbRelationUpdateCascade)
        rel.properties += L" ON UPDATE CASCADE";
    m_out.push_back(rel);
}

void dao_fkey_builder::add_row(const dao_relationship_row& row)
{
    if (!m_group.name.empty() && tk_iequal(m_group.name, row.name)) {
        tk_log_write_w(2, L"'%s' is a multi-column FK", row.name.c_str());
    } else {
        emit();
        m_group = row;
        m_child_cols.clear();
        m_parent_cols.clear();
    }
    m_child_cols.push_back(row.column);
    m_parent_cols.push_back(row.ref_column);
    tk_log_write_w(2, L"rels_name=%s, src=%s.%s, dest=%s.%s, grbit=%08X", row.name.c_str(),
                   row.object.c_str(), row.column.c_str(), row.ref_object.c_str(),
                   row.ref_column.c_str(), static_cast<unsigned>(row.grbit));
}

void dao_fkey_builder::finish()
{
    emit();
    m_group = dao_relationship_row();
    m_child_cols.clear();
    m_parent_cols.clear();
}

void dao_database::init_fkeys()
{
    tk_log_write(2, "dao_database::init_fkeys");
    ole_com_ptr<_DAOQueryDef> query = temp_query(relationships_sql);
    ole_com_ptr<DAORecordset> rs;
    dao_call(query->OpenRecordset(dao_var_int(dbOpenDynaset), dao_var_int(dbReadOnly),
                                  dao_var_missing(), &rs),
             rs);
    VARIANT_BOOL eof = VARIANT_FALSE;
    dao_call(rs->get_EOF(&eof));
    if (!eof)
        dao_call(rs->MoveFirst());

    dao_fkey_builder builder(relationships);
    while (!eof) {
        tk_log_write(1, "Reading next record from MSysRelationships");
        ole_com_ptr<DAOFields> fields;
        dao_call(rs->get_Fields(&fields), fields);
        short n = 0;
        dao_call(fields->get_Count(&n));
        if (n != 6)
            throw tk_mail_assertion("dao_db", 557);
        dao_relationship_row row;
        row.name = column_text(fields.get(), 0);
        row.column = column_text(fields.get(), 1);
        row.object = column_text(fields.get(), 2);
        row.ref_object = column_text(fields.get(), 3);
        row.ref_column = column_text(fields.get(), 4);
        const ole_variant grbit = column_value(fields.get(), 5);
        row.grbit = grbit.is_null() || grbit.is_empty() ? 0 : grbit.to_long();
        builder.add_row(row);
        dao_call(rs->MoveNext());
        dao_call(rs->get_EOF(&eof));
    }
    builder.finish();
    rs->Close();
}

std::unique_ptr<udb_recordset> dao_database::create_table(const std::wstring& name,
                                                          const udb_schema& schema,
                                                          const udb_indexes& indexes)
{
    tk_log_write_w(2, L"dao_database::create_table (%s)", name.c_str());
    if (open_mode & dao_mode_read_only)
        throw tk_mail_assertion("dao_db", 153);
    if (is_table_exist(name)) {
        if (open_mode & 0x08)
            return get_table(name, 8);
        throw tk_mail_assertion("dao_db", 159);
    }
    VARIANT tname = dao_var_text(name);
    VARIANT empty = dao_var_text(std::wstring());
    ole_com_ptr<_DAOTableDef> table;
    HRESULT hr = m_db->CreateTableDef(tname, dao_var_int(0), empty, empty, &table);
    VariantClear(&tname);
    VariantClear(&empty);
    dao_call(hr, table);

    dao_schema_initializer columns(schema);
    columns.initialize(table.get());
    dao_indexes_initializer keys(indexes, columns);
    keys.initialize(table.get());

    tk_log_write(2, "Right before Append");
    dao_call(m_tables->Append(table.get()));
    tables.push_back(name);
    tk_log_write_w(2, L"udb_names_map::add_fn_map(%s)", name.c_str());
    names_map.add_fn_map(name, columns.names());
    return get_table(name, 2);
}

bool dao_database::delete_tab(const std::wstring& name)
{
    tk_log_write_w(1, L"dao_database::delete_tab(%s)", name.c_str());
    if (open_mode & dao_mode_read_only)
        throw tk_mail_assertion("dao_db", 203);
    if (!is_table_exist(name))
        throw tk_mail_assertion("dao_db", 204);
    dao_bstr bname(name);
    dao_call(m_tables->Delete(bname));
    return udb_database::delete_tab(name);
}

std::wstring dao_database::gen_ui_name(const std::wstring& table)
{
    tk_log_write_w(2, L"dao_database::gen_ui_name(%s)", table.c_str());
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buf[32];
    std::strftime(buf, sizeof buf, "%y%m%d%H%M%S", &local);
    tk_log_write(2, "buf=%s", buf);
    const std::wstring stamp(buf, buf + std::strlen(buf));
    std::wstring name = L"ui_" + table;
    if (name.size() > 64 - stamp.size())
        name.resize(64 - stamp.size());
    return name + stamp;
}

void dao_database::create_relationships(const udb_relationships& list)
{
    tk_log_write(2, "dao_database::create_relationships");
    ole_com_ptr<DAORelations> relations;
    dao_call(m_db->get_Relations(&relations), relations);
    for (const udb_relationship& rel : list) {
        tk_log_write_w(3, L"Processing '%s'", rel.name.c_str());
        std::unique_ptr<udb_recordset> parent = get_table(rel.pk_table, 1);
        if (!parent || !parent->get_indexes().has_index_on_fields(rel.pk_fields)) {
            tk_log_write_w(2, L"Table %s does not have unique index on FK columns, add it", rel.pk_table.c_str());
            const std::wstring index_name = gen_ui_name(rel.pk_table);
            tk_log_write_w(2, L"Gen.name=%s", index_name.c_str());
            ole_com_ptr<_DAOTableDef> table;
            VARIANT item = dao_var_text(rel.pk_table);
            HRESULT hr = m_tables->get_Item(item, &table);
            VariantClear(&item);
            dao_call(hr, table);
            VARIANT iname = dao_var_text(index_name);
            ole_com_ptr<_DAOIndex> index;
            hr = table->CreateIndex(iname, &index);
            VariantClear(&iname);
            dao_call(hr, index);
            tk_log_write(2, "Step #1");
            VARIANT fv;
            VariantInit(&fv);
            dao_call(index->get_Fields(&fv));
            ole_com_ptr<DAOIndexFields> fields;
            if (fv.vt == VT_DISPATCH && fv.pdispVal)
                fv.pdispVal->QueryInterface(IID_DAOIndexFields, reinterpret_cast<void**>(&fields));
            VariantClear(&fv);
            if (fields.is_empty())
                throw tk_mail_assertion("dao_db", 640);
            tk_log_write(2, "Step #2");
            for (const std::wstring& column : rel.pk_fields) {
                tk_log_write_w(2, L"\tProcess unique index field %s", column.c_str());
                VARIANT cname = dao_var_text(column);
                ole_com_ptr<_DAOField> field;
                hr = index->CreateField(cname, dao_var_missing(), dao_var_missing(), &field);
                VariantClear(&cname);
                dao_call(hr, field);
                dao_call(fields->Append(field.get()));
            }
            dao_call(index->put_Primary(VARIANT_FALSE));
            dao_call(index->put_Unique(VARIANT_TRUE));
            ole_com_ptr<DAOIndexes> indexes;
            dao_call(table->get_Indexes(&indexes), indexes);
            dao_call(indexes->Append(index.get()));
        }
        parent.reset();
        tk_log_write(2, "Step #3");
        VARIANT rname = dao_var_text(rel.name), ptable = dao_var_text(rel.pk_table), ctable = dao_var_text(rel.fk_table);
        ole_com_ptr<_DAORelation> relation;
        HRESULT hr = m_db->CreateRelation(rname, ptable, ctable, dao_var_missing(), &relation);
        VariantClear(&rname);
        VariantClear(&ptable);
        VariantClear(&ctable);
        dao_call(hr, relation);
        tk_log_write(2, "Step #4");
        ole_com_ptr<DAOFields> rfields;
        dao_call(relation->get_Fields(&rfields), rfields);
        for (std::size_t i = 0; i < rel.pk_fields.size() && i < rel.fk_fields.size(); ++i) {
            tk_log_write_w(1, L"Adding fields (%s,%s)", rel.pk_fields[i].c_str(), rel.fk_fields[i].c_str());
            VARIANT fname = dao_var_text(rel.pk_fields[i]);
            ole_com_ptr<_DAOField> field;
            hr = relation->CreateField(fname, dao_var_missing(), dao_var_missing(), &field);
            VariantClear(&fname);
            dao_call(hr, field);
            dao_bstr foreign(rel.fk_fields[i]);
            dao_call(field->put_ForeignName(foreign));
            dao_call(rfields->Append(field.get()));
        }
        dao_call(relations->Append(relation.get()));
    }
}

std::unique_ptr<udb_recordset> dao_database::get_table(const std::wstring& name, int flag)
{
    tk_log_write_w(2, L"dao_database::get_table(%s, %d)", name.c_str(), flag);
    if (!is_table_exist(name)) {
        tk_log_write_w(2, L"Table '%s' does not exists", name.c_str());
        throw tk_mail_assertion("dao_db", 298);
    }
    if (m_tables.is_empty())
        throw tk_mail_assertion("dao_db", 308);

    ole_com_ptr<_DAOTableDef> table;
    VARIANT item = dao_var_text(name);
    HRESULT hr = m_tables->get_Item(item, &table);
    VariantClear(&item);
    dao_call(hr, table);
    tk_log_write(1, "Right after tdfs->getItem");
    long attributes = 0;
    dao_call(table->get_Attributes(&attributes));
    if (attributes & (dao_attr_linked | dao_attr_linked_odbc | dao_attr_system))
        return nullptr;

    if (!(flag & 1) && m_updatable) {
        // A database this program writes: a recordset that appends rows to the table.
        dao_bstr bname(name);
        ole_com_ptr<DAORecordset> rs;
        dao_call(m_db->OpenRecordset(bname, dao_var_int(dbOpenTable), dao_var_int(dbAppendOnly), dao_var_missing(), &rs),
                 rs);
        return std::make_unique<dao_recordset>(this, name, rs.get(), table.get());
    }
    ole_com_ptr<_DAOQueryDef> query = temp_query(L"SELECT * FROM " + bracketed_name(name));
    tk_log_write(1, "Right after src->CreateQueryDef");
    ole_com_ptr<DAORecordset> rs;
    dao_call(query->OpenRecordset(dao_var_int(dbOpenDynaset),
                                  dao_var_int((flag & 1) ? dbReadOnly : dbAppendOnly),
                                  dao_var_missing(), &rs),
             rs);
    auto recordset = std::make_unique<dao_recordset>(this, name, rs.get(), table.get());
    widen_date_columns(*recordset);
    return recordset;
}

// A column formatted as a date becomes a date column (a time-formatted one a time column) only
// while none of its values has a time (a date) that such a column would drop; otherwise it stays
// a column of date and time.
void dao_database::widen_date_columns(udb_recordset& table)
{
    udb_schema& schema = table.get_schema();
    std::vector<t_ftd*> columns;
    std::wstring list;
    for (std::size_t i = 0; i < schema.size(); ++i) {
        t_ftd* c = schema[i];
        if (!c->is_pure_date_or_time())
            continue;
        list += (columns.empty() ? L"" : L", ") + bracketed_name(c->name);
        columns.push_back(c);
    }
    if (columns.empty())
        return;
    ole_com_ptr<_DAOQueryDef> query = temp_query(L"SELECT " + list + L" FROM " + bracketed_name(table.get_name()));
    std::vector<bool> widen(columns.size(), true);
    try {
        ole_com_ptr<DAORecordset> rs;
        dao_call(query->OpenRecordset(dao_var_int(dbOpenDynaset), dao_var_int(dbReadOnly), dao_var_missing(), &rs), rs);
        widen = beyond_kind(rs.get(), columns);
        rs->Close();
    } catch (const dao_exception& e) {
        // Rows that cannot be read (a damaged table, which its copy reports row by row) leave
        // the columns as date and time, which drops nothing.
        tk_log_write(2, "Date columns of a table not looked through: %s", e.what());
    }
    for (std::size_t j = 0; j < columns.size(); ++j) {
        if (!widen[j])
            continue;
        tk_log_write_w(2, L"Column '%ls' holds date and time: kept as date and time", columns[j]->name.c_str());
        columns[j]->dw_reserved = (columns[j]->dw_reserved & ~3) | 1;
    }
}

std::unique_ptr<udb_recordset> dao_database::get_query(const std::wstring& name,
                                                       const std::wstring& sql, int flag)
{
    tk_log_write_w(2, L"dao_database::get_query(%s, %s, %d)", name.c_str(), sql.c_str(), flag);
    ole_com_ptr<_DAOQueryDef> query = temp_query(sql);
    ole_com_ptr<DAORecordset> rs;
    dao_call(query->OpenRecordset(dao_var_int(dbOpenDynaset),
                                  dao_var_int((flag & 1) ? dbReadOnly : dbAppendOnly),
                                  dao_var_missing(), &rs),
             rs);
    const int count = get_query_records_count(sql);
    return std::make_unique<dao_recordset>(this, name, sql, rs.get(), query.get(),
                                           static_cast<unsigned>(count));
}

int dao_database::get_query_records_count(const std::wstring& sql)
{
    // A closing semicolon (and blanks around it) would end the statement inside the brackets.
    std::wstring body = sql;
    while (!body.empty() && (std::iswspace(body.back()) || body.back() == L';'))
        body.pop_back();
    ole_com_ptr<_DAOQueryDef> query = temp_query(L"select count(*) from (" + body + L")");
    ole_com_ptr<DAORecordset> rs;
    dao_call(query->OpenRecordset(dao_var_int(dbOpenDynaset), dao_var_int(dbReadOnly),
                                  dao_var_missing(), &rs),
             rs);
    dao_call(rs->MoveFirst());
    ole_com_ptr<DAOFields> fields;
    dao_call(rs->get_Fields(&fields), fields);
    ole_variant value = column_value(fields.get(), 0);
    const long n = value.is_null() || value.is_empty() ? 0 : value.to_long();
    const int count = n < 0 ? 0 : static_cast<int>(n);
    rs->Close();
    return count;
}

bool dao_database::test_query(const std::wstring& sql)
{
    tk_log_write_w(2, L"dao_database::test_query(%s)", sql.c_str());
    VARIANT name = dao_var_text(std::wstring());
    VARIANT text = dao_var_text(sql);
    ole_com_ptr<_DAOQueryDef> query;
    HRESULT hr = m_db->CreateQueryDef(name, text, &query);
    VariantClear(&name);
    VariantClear(&text);
    if (FAILED(hr) || query.is_empty())
        return false;
    ole_com_ptr<DAORecordset> rs;
    hr = query->OpenRecordset(dao_var_int(dbOpenDynaset), dao_var_int(dbDenyWrite),
                              dao_var_missing(), &rs);
    if (FAILED(hr) || rs.is_empty())
        return false;
    rs->Close();
    return true;
}

// Schema rowsets (tables, primary keys, indexes, foreign keys) from the ODBC
// catalogue functions, in the column layout OLE DB consumers read.
#include "platform/oledb/oledb_impl.h"

#include <string>

namespace oledb_impl {

namespace {

// Codes of the ODBC catalogue results (kept here: the ODBC headers clash with
// the COM types in one translation unit).
constexpr int rule_cascade = 0, rule_set_null = 2, rule_set_default = 4;
constexpr int stat_table = 0, index_clustered = 1, index_hashed = 2;

odbc::cell null_cell() { return odbc::cell{}; }

odbc::cell text_cell(const std::u16string& s)
{
    odbc::cell c;
    c.null = false;
    c.text = s;
    return c;
}

odbc::cell text_cell(const std::wstring& s) { return text_cell(odbc::to_utf16(s)); }

std::vector<odbc::row> read_all(odbc::statement& st)
{
    std::vector<odbc::row> out;
    odbc::row r;
    while (st.fetch(r))
        out.push_back(r);
    return out;
}

const odbc::cell& at(const odbc::row& r, std::size_t i)
{
    static const odbc::cell none;
    return i < r.size() ? r[i] : none;
}

int to_int(const odbc::cell& c)
{
    if (c.null)
        return -1;
    try {
        return std::stoi(odbc::to_utf8(odbc::from_utf16(c.text)));
    } catch (...) {
        return -1;
    }
}

std::wstring rule_text(const odbc::cell& c)
{
    switch (to_int(c)) {
    case rule_cascade: return L"CASCADE";
    case rule_set_null: return L"SET NULL";
    case rule_set_default: return L"SET DEFAULT";
    default: return L"NO ACTION";
    }
}

const std::wstring* arg(const std::vector<const std::wstring*>& r, std::size_t i)
{
    return i < r.size() ? r[i] : nullptr;
}

void tables(odbc::statement& st, const std::vector<const std::wstring*>& r, std::vector<odbc::column_desc>& cols,
            std::vector<odbc::row>& rows)
{
    cols = {text_column(L"TABLE_CATALOG"), text_column(L"TABLE_SCHEMA"), text_column(L"TABLE_NAME"),
            text_column(L"TABLE_TYPE"), typed_column(L"TABLE_GUID", DBTYPE_GUID, 16),
            text_column(L"DESCRIPTION"), typed_column(L"TABLE_PROPID", DBTYPE_UI4, 4),
            typed_column(L"DATE_CREATED", DBTYPE_DBTIMESTAMP, 16),
            typed_column(L"DATE_MODIFIED", DBTYPE_DBTIMESTAMP, 16)};
    st.tables(arg(r, 1), arg(r, 2), arg(r, 3));
    for (auto& src : read_all(st))
        rows.push_back({at(src, 0), at(src, 1), at(src, 2), at(src, 3), null_cell(), at(src, 4), null_cell(),
                        null_cell(), null_cell()});
}

void primary_keys(odbc::statement& st, const std::vector<const std::wstring*>& r,
                  std::vector<odbc::column_desc>& cols, std::vector<odbc::row>& rows)
{
    cols = {text_column(L"TABLE_CATALOG"), text_column(L"TABLE_SCHEMA"), text_column(L"TABLE_NAME"),
            text_column(L"COLUMN_NAME"), typed_column(L"COLUMN_GUID", DBTYPE_GUID, 16),
            typed_column(L"COLUMN_PROPID", DBTYPE_UI4, 4), typed_column(L"ORDINAL", DBTYPE_UI4, 4),
            text_column(L"PK_NAME")};
    if (!arg(r, 2))
        return;
    st.primary_keys(arg(r, 1), *arg(r, 2));
    for (auto& src : read_all(st))
        rows.push_back({at(src, 0), at(src, 1), at(src, 2), at(src, 3), null_cell(), null_cell(), at(src, 4),
                        at(src, 5)});
}

void indexes(odbc::statement& st, const std::vector<const std::wstring*>& r, std::vector<odbc::column_desc>& cols,
             std::vector<odbc::row>& rows)
{
    cols = {text_column(L"TABLE_CATALOG"), text_column(L"TABLE_SCHEMA"), text_column(L"TABLE_NAME"),
            text_column(L"INDEX_CATALOG"), text_column(L"INDEX_SCHEMA"), text_column(L"INDEX_NAME"),
            typed_column(L"PRIMARY_KEY", DBTYPE_BOOL, 2), typed_column(L"UNIQUE", DBTYPE_BOOL, 2),
            typed_column(L"CLUSTERED", DBTYPE_BOOL, 2), typed_column(L"TYPE", DBTYPE_UI2, 2),
            typed_column(L"FILL_FACTOR", DBTYPE_I4, 4), typed_column(L"INITIAL_SIZE", DBTYPE_I4, 4),
            typed_column(L"NULLS", DBTYPE_I4, 4), typed_column(L"SORT_BOOKMARKS", DBTYPE_BOOL, 2),
            typed_column(L"AUTO_UPDATE", DBTYPE_BOOL, 2), typed_column(L"NULL_COLLATION", DBTYPE_I4, 4),
            typed_column(L"ORDINAL_POSITION", DBTYPE_UI4, 4), text_column(L"COLUMN_NAME"),
            typed_column(L"COLUMN_GUID", DBTYPE_GUID, 16), typed_column(L"COLUMN_PROPID", DBTYPE_UI4, 4),
            typed_column(L"COLLATION", DBTYPE_I2, 2), typed_column(L"CARDINALITY", DBTYPE_UI8, 8),
            typed_column(L"PAGES", DBTYPE_I4, 4), text_column(L"FILTER_CONDITION"),
            typed_column(L"INTEGRATED", DBTYPE_BOOL, 2)};
    const std::wstring* table = arg(r, 4);
    if (!table)
        return;
    // The primary key's name tells which index is the key.
    std::u16string pk_name;
    st.primary_keys(arg(r, 1), *table);
    for (auto& src : read_all(st))
        if (!at(src, 5).null)
            pk_name = at(src, 5).text;
    st.statistics(arg(r, 1), *table);
    for (auto& src : read_all(st)) {
        if (to_int(at(src, 6)) == stat_table || at(src, 5).null)
            continue;
        if (arg(r, 2) && odbc::to_utf16(*arg(r, 2)) != at(src, 5).text)
            continue;
        bool unique = to_int(at(src, 3)) == 0;
        bool primary = !pk_name.empty() && at(src, 5).text == pk_name;
        int type = to_int(at(src, 6));
        std::u16string order = at(src, 9).null ? u"" : at(src, 9).text;
        odbc::cell collation = order.empty() ? null_cell() : text_cell(order == u"D" ? std::wstring(L"2") : std::wstring(L"1"));
        rows.push_back({at(src, 0), at(src, 1), at(src, 2), at(src, 0), at(src, 1), at(src, 5),
                        text_cell(primary ? std::wstring(L"1") : std::wstring(L"0")),
                        text_cell(unique ? std::wstring(L"1") : std::wstring(L"0")),
                        text_cell(type == index_clustered ? std::wstring(L"1") : std::wstring(L"0")),
                        text_cell(type == index_hashed ? std::wstring(L"2") : std::wstring(L"1")),
                        null_cell(), null_cell(), null_cell(), null_cell(), null_cell(), null_cell(), at(src, 7),
                        at(src, 8), null_cell(), null_cell(), collation, at(src, 10), at(src, 11), at(src, 12),
                        null_cell()});
    }
}

void foreign_keys(odbc::statement& st, const std::vector<const std::wstring*>& r,
                  std::vector<odbc::column_desc>& cols, std::vector<odbc::row>& rows)
{
    cols = {text_column(L"PK_TABLE_CATALOG"), text_column(L"PK_TABLE_SCHEMA"), text_column(L"PK_TABLE_NAME"),
            text_column(L"PK_COLUMN_NAME"), typed_column(L"PK_COLUMN_GUID", DBTYPE_GUID, 16),
            typed_column(L"PK_COLUMN_PROPID", DBTYPE_UI4, 4), text_column(L"FK_TABLE_CATALOG"),
            text_column(L"FK_TABLE_SCHEMA"), text_column(L"FK_TABLE_NAME"), text_column(L"FK_COLUMN_NAME"),
            typed_column(L"FK_COLUMN_GUID", DBTYPE_GUID, 16), typed_column(L"FK_COLUMN_PROPID", DBTYPE_UI4, 4),
            typed_column(L"ORDINAL", DBTYPE_UI4, 4), text_column(L"UPDATE_RULE"), text_column(L"DELETE_RULE"),
            text_column(L"PK_NAME"), text_column(L"FK_NAME"), typed_column(L"DEFERRABILITY", DBTYPE_I2, 2)};
    if (!arg(r, 2) && !arg(r, 5))
        return;
    st.foreign_keys(arg(r, 1), arg(r, 2), arg(r, 4), arg(r, 5));
    for (auto& src : read_all(st))
        rows.push_back({at(src, 0), at(src, 1), at(src, 2), at(src, 3), null_cell(), null_cell(), at(src, 4),
                        at(src, 5), at(src, 6), at(src, 7), null_cell(), null_cell(), at(src, 8),
                        text_cell(rule_text(at(src, 9))), text_cell(rule_text(at(src, 10))), at(src, 12),
                        at(src, 11), at(src, 13)});
}

} // namespace

void schema_rows(odbc::connection& conn, REFGUID schema, const std::vector<const std::wstring*>& restrictions,
                 std::vector<odbc::column_desc>& cols, std::vector<odbc::row>& rows)
{
    conn.claim(nullptr);
    odbc::statement st(conn);
    if (IsEqualGUID(schema, DBSCHEMA_TABLES))
        tables(st, restrictions, cols, rows);
    else if (IsEqualGUID(schema, DBSCHEMA_PRIMARY_KEYS))
        primary_keys(st, restrictions, cols, rows);
    else if (IsEqualGUID(schema, DBSCHEMA_INDEXES))
        indexes(st, restrictions, cols, rows);
    else if (IsEqualGUID(schema, DBSCHEMA_FOREIGN_KEYS))
        foreign_keys(st, restrictions, cols, rows);
    else
        throw odbc::error(static_cast<std::int32_t>(E_INVALIDARG), std::wstring(L"Unsupported schema rowset"));
}

} // namespace oledb_impl

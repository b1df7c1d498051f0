// An open Access database: its catalogue (tables, saved queries, foreign keys) and its recordsets.
#pragma once
#include <memory>
#include <string>

#include "OLE/ole_ptr.h"
#include "UDB/udb_db.h"
#include "platform/dao/daoapi.h"

// Table attributes: linked tables (through the engine or through ODBC) and system tables.
constexpr long dao_attr_linked = 0x40000000;
constexpr long dao_attr_linked_odbc = 0x20000000;
constexpr long dao_attr_system = static_cast<long>(0x80000002u);

// One row of the rewrite table applied to the SQL of saved queries.
struct dao_view_rewrite {
    bool whole_word;       // replace only whole words
    const wchar_t* from;
    const wchar_t* to;
};
extern const dao_view_rewrite dao_view_rewrite_table[18];

// Applies the rewrite table to a saved query's SQL text.
std::wstring dao_rewrite_view_sql(const std::wstring& sql);
// Replaces from by to (ignoring case) everywhere, or only where it stands as a word.
std::wstring dao_replace(const std::wstring& text, const std::wstring& from, const std::wstring& to,
                         bool whole_word);

// One row of the relationship system table.
struct dao_relationship_row {
    std::wstring name;        // szRelationship
    std::wstring column;      // szColumn (child column)
    std::wstring object;      // szObject (child table)
    std::wstring ref_object;  // szReferencedObject (parent table)
    std::wstring ref_column;  // szReferencedColumn (parent column)
    long grbit = 0;
};

// Gathers the rows of the relationship system table, in name and key-column order, into
// foreign keys: rows of one name (ignoring case) make one key of several columns.
class dao_fkey_builder {
public:
    explicit dao_fkey_builder(udb_relationships& out) : m_out(out) {}
    void add_row(const dao_relationship_row& row);
    // Emits the last key.
    void finish();

private:
    void emit();

    udb_relationships& m_out;
    dao_relationship_row m_group;
    std::vector<std::wstring> m_child_cols;
    std::vector<std::wstring> m_parent_cols;
};

// An Access database seen as a udb_database; reads its catalogue when it is made.
class dao_database : public udb_database {
public:
    // Takes its own reference to the open database.
    dao_database(const std::wstring& path, DAODatabase* db, int mode);
    ~dao_database() override;

    std::unique_ptr<udb_recordset> create_table(const std::wstring& name, const udb_schema& schema,
                                                const udb_indexes& indexes) override;
    // A recordset over the table; null for a linked or system table. Flag bit 0: read-only.
    std::unique_ptr<udb_recordset> get_table(const std::wstring& name, int flag) override;
    // A recordset over a SELECT text, with the number of rows it yields.
    std::unique_ptr<udb_recordset> get_query(const std::wstring& name, const std::wstring& sql,
                                             int flag) override;
    bool test_query(const std::wstring& sql) override;
    // Deletes the table from the file (its pages, catalogue rows and relationships) and the table list.
    bool delete_tab(const std::wstring& name) override;
    // Creates the foreign keys, with a unique index on the parent's columns where none exists.
    void create_relationships(const udb_relationships& relationships) override;
    // "ui_" + the table name, cut so that the name with the time stamp is 64 characters at most.
    std::wstring gen_ui_name(const std::wstring& table);
    // The number of rows the SELECT text yields.
    int get_query_records_count(const std::wstring& sql);

    // The saved queries as (name, rewritten SQL), in catalogue order.
    const udb_name_text_list& get_queries() const { return views; }

    static bool is_system_table(const std::wstring& name);

private:
    void init_views();
    void init_fkeys();
    ole_com_ptr<_DAOQueryDef> temp_query(const std::wstring& sql);
    void widen_date_columns(udb_recordset& table);

    ole_com_ptr<DAODatabase> m_db;
    ole_com_ptr<DAOQueryDefs> m_queries;
    ole_com_ptr<DAOTableDefs> m_tables;
    bool m_updatable = false;
};

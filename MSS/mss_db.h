// The SQL Server destination database: creating schemas, tables, indexes, keys,
// sequences and views, and reading what the database already holds.
#pragma once
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MSS/odb_db.h"
#include "MSS/odb_exce.h"

class mss_table;

class mss_database : public odb_database {
public:
    // Reads the existing tables, columns, sequences and (unless mode bit 0x80) views.
    mss_database(const std::wstring& name, const std::wstring& schema, IDBInitialize* data_source,
                 IOpenRowset* session, int mode);
    ~mss_database() override;

    void create_schema(const std::wstring& name) override;
    std::unique_ptr<udb_recordset> create_table(const std::wstring& name, const udb_schema& schema,
                                                const udb_indexes& indexes) override;
    void create_index(const std::wstring& table, const udb_schema& schema, const udb_index& index) override;
    void create_indexes(const std::wstring& table, const udb_schema& schema, const udb_indexes& indexes) override;
    void create_sequences(const std::vector<udb_sequence>& sequences) override;
    void create_views(const udb_name_text_list& views) override;
    void create_relationships(const udb_relationships& relationships) override;
    void empty_table(const std::wstring& name) override;
    std::unique_ptr<udb_recordset> get_query(const std::wstring& name, const std::wstring& select,
                                             int flag) override;
    void get_schema_info(std::vector<std::wstring>& schemas) override;
    std::unique_ptr<udb_recordset> get_table(const std::wstring& name, int flag) override;

    // A writer over a table just created, with the source's columns.
    std::unique_ptr<mss_table> get_table2(const std::wstring& name, const udb_schema& source_schema);
    // Is the table in the database (owner-qualified names compare in their simple form)?
    bool is_table_exist(const std::wstring& name) const override;
    bool is_index_exist(const udb_index& index, bool is_constraint);
    // Switches bulk load on this database's data source; returns what is in force.
    bool enable_fast_load(bool flag);

    void create_clustered_index(const std::wstring& table, const udb_schema& schema);
    void create_fk_index_if(const std::wstring& table, const std::vector<std::wstring>& fields);
    std::wstring gen_idx_name(const udb_indexes* indexes, const std::vector<std::wstring>& fields);

    // The server's DATA_TYPE of a column as read when the database was opened ("" when unknown).
    std::wstring get_column_type(const std::wstring& table, const std::wstring& column) const;
    bool is_clustered_done() const { return clustered_done; }

private:
    // Runs the CREATE TABLE; the server's refusal is logged and handed back (none: made).
    std::optional<odb_exception> do_create_table(const std::wstring& name, const udb_schema& schema,
                                                 const udb_indexes& indexes);
    void init_tables(const std::wstring& schema);
    void init_columns(const std::wstring& schema);
    void init_sequencies(const std::wstring& schema);
    void init_views(const std::wstring& schema);
    std::unique_ptr<mss_table> amend_schema(std::unique_ptr<mss_table> table);
    // Runs a statement that gives no rows.
    void execute(const std::wstring& sql);
    std::unique_ptr<udb_recordset> select(const std::wstring& sql);

    bool clustered_done = false;
    // Tables this object found on the server and appends to (merge): their keys and indexes are theirs.
    std::vector<std::wstring> appended_tables;
    // Simplified table name (owner.table) -> column -> DATA_TYPE.
    std::map<std::wstring, std::map<std::wstring, std::wstring>> column_types;
};

// Switches bulk load on a server destination; false for any other database.
bool mss_enable_fast_load(udb_database& db, bool flag);

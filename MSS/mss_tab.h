// SQL Server tables: a table or query rowset on the database's session (odb_table)
// and the destination table writer and reader (mss_table).
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "MSS/mss_floa.h"
#include "MSS/mss_lit.h"
#include "MSS/odb_exce.h"
#include "MSS/odb_recs.h"
#include "OLE/ole_ptr.h"
#include "UDB/udb_db.h"
#include "platform/oledb/oledb.h"

// A table opened by name (or a query run) on a session, with its row count.
class odb_table : public odb_recordset {
public:
    // A query result; mode 2 opens nothing.
    odb_table(const std::wstring& name, const std::wstring& query, IOpenRowset* session, int mode,
              void* owner_data);
    // A table by name; mode bit 0 reads only, else the rowset is opened for insertion; 2 opens nothing.
    odb_table(const std::wstring& name, IOpenRowset* session, int mode, void* owner_data);
    ~odb_table() override;

    bool is_eof() override;
    void reset() override;
    // SELECT COUNT(*) of the table or query.
    std::uint64_t get_records_cnt();

    IOpenRowset* get_session() const { return session.get(); }
    void* get_owner_data() const { return owner_data; }
    int get_open_mode() const { return open_mode; }

protected:
    // Opens the rowset; a missing table is tried once more as [dbo].[table].
    void open_rowset(int mode);
    void internal_initialize(int mode);

    ole_com_ptr<IOpenRowset> session;
    void* owner_data = nullptr;
    int open_mode = 0;
};

// The destination table of a direct conversion: rows by bulk load or by INSERT
// statements; an existing table's identity, columns, indexes and keys; updates
// and deletes by key.
class mss_table : public odb_table {
public:
    // Writer of a table just created: columns from the source schema, no rowset.
    mss_table(const std::wstring& name, IOpenRowset* session, const udb_schema& source_schema, void* owner_data);
    // Over a query.
    mss_table(const std::wstring& name, const std::wstring& query, IOpenRowset* session, int mode, void* owner_data);
    // An existing table with its identity, column definitions and indexes.
    mss_table(const std::wstring& name, IOpenRowset* session, int mode, void* owner_data);
    ~mss_table() override;

    void append_record(udb_record& record) override;
    void flush() override { flush_rows(); }
    void update(const std::wstring& key) override;
    void update(udb_record& record) override;
    void delete_key(const std::wstring& key) override;
    void delete_key(udb_record& record) override;

    // Re-runs the rowset from a statement, keeping the schema.
    void refine_by_sql_query(const std::wstring& sql);

    bool has_identity() const { return b_identity; }
    bool get_has_primary_key() const { return has_primary_key; }
    bool is_fl_failed() const { return fl_failed; }

    // A column default as the server spells it, as a value of the column's type.
    static void get_def_value(ole_variant& out, const t_ftd& column, const std::wstring& text);

private:
    void init_schema();
    void init_identity(const std::wstring& table, const std::wstring& owner);
    void init_indexes(const std::wstring& table, const std::wstring& owner);
    void init_indexes2(const std::wstring& table, const std::wstring& owner);
    void read_included_columns(const std::wstring& table, const std::wstring& owner);
    void fast_append(udb_record& record);
    // Stores a row by INSERT; false when it was refused (and reported) at once.
    bool slow_record(udb_record& record);
    // A row waiting to be sent: its values "( v1, v2)", its number and the values changed to fit
    // the server, which are reported once the row is stored (a refused row reports only its refusal).
    struct pending_row {
        std::wstring values;
        std::uint64_t number = 0;
        std::vector<std::wstring> changes;
    };
    // Stores a row holding long values as parameters, in its own statement.
    bool insert_long_row(const pending_row& row, const std::vector<odb_long_value>& long_values);
    // Sends the waiting rows in one round trip, a run of rows to an INSERT statement; when that
    // fails, each statement on its own and the rows of a failing one one by one, so a failing row
    // is reported on its own and the others are stored.
    void flush_rows();
    // The INSERT statement of rows [from, to) of the waiting ones.
    std::wstring insert_statement(const std::vector<pending_row>& rows, std::size_t from, std::size_t to) const;
    void insert_one_by_one(const std::vector<pending_row>& rows, std::size_t from, std::size_t to);
    // Reports the changed values of rows [from, to), which the server stored.
    void report_changes(const std::vector<pending_row>& rows, std::size_t from, std::size_t to) const;
    // Runs a statement; false (and a log line) when the server refuses it. A lost connection
    // ends the table at once, as lost at the given row.
    bool try_run(const std::wstring& sql, const char* what, std::uint64_t first_row);
    // Raises the run-ending error when the connection is gone (lost at the given row), and passes
    // a cancelled statement on as it is.
    void end_if_lost(const odb_exception& e, std::uint64_t row) const;
    void bind_field(udb_record& record, std::size_t i);
    void run(const std::wstring& sql);
    std::wstring update_statement(udb_record& record, const std::wstring& where, const udb_index* key);
    // Runs a statement and hands back its result as a recordset.
    std::unique_ptr<odb_recordset> select(const std::wstring& sql);

    bool constructed = true;
    bool b_identity = false;
    bool has_primary_key = false;
    bool fl_failed = false;
    bool identity_sent = false;   // this table switched IDENTITY_INSERT on
    odb_command command;
    mss_fast_load fast_load;
    std::unique_ptr<mss_literal_writer> literals;   // made at the first row stored by INSERT
    std::uint64_t rows_seen = 0;                  // rows handed to append_record so far
    std::wstring insert_head;                     // "INSERT INTO table(columns) VALUES"
    std::vector<pending_row> pending_rows;        // rows not sent yet
    std::size_t pending_chars = 0;
};

// Script destination: writes a converted database as a UTF-8 T-SQL script in "GO" batches.
#pragma once
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "MSS/mss_lit.h"
#include "MSS/mss_sfile.h"
#include "UDB/udb_db.h"

// What the script holds besides the rows.
struct mss_dump_options {
    mss_dump_options();
    bool unicode = true;         // remembered with the settings; the file is UTF-8 whatever it says
    bool comments = true;        // header and per-table comments
    bool create_database = false; // database block (only together with create_table)
    bool create_table = true;    // DROP and CREATE TABLE per table
    std::string banner;          // "Created by " line of the header (UTF-8)
    std::string database_name;   // database block's name; empty: the file's name without extension
};

class mss_dmp_database;

// Rows of one table, written as INSERT statements of at most 11 rows.
class mss_dmp_recordset : public udb_recordset {
public:
    mss_dmp_recordset(mss_dmp_database* db, const std::wstring& name, const udb_schema& columns,
                      const mss_dump_options& options);
    ~mss_dmp_recordset() override;

    void append_record(udb_record& record) override;

private:
    enum class big_kind { none, binary, text };   // values streamed in pieces

    void close_statement();
    void write_out();
    // The phases of append_record: the row checked against the columns, its literals built,
    // a long value streamed into the file in pieces.
    void check_row(udb_record& record);
    void build_literals(udb_record& record);
    void stream_value(const udb_field& field, big_kind kind);
    void append_big_row(udb_record& record, bool statement_open);

    mss_dmp_database* db_;
    std::vector<std::unique_ptr<t_ftd>> columns_;
    std::wstring table_;            // canonical [owner].[table]
    bool has_auto_num_ = false;
    bool identity_pending_ = true;
    bool identity_on_ = false;
    unsigned rows_pending_ = 0;             // rows of the open INSERT statement
    std::string out_;                       // UTF-8 text not yet handed to the file
    std::size_t statement_start_ = 0;       // where the open statement begins in out_
    std::string head_;                      // "INSERT INTO ... (columns)"
    std::vector<std::wstring> orig_names_;  // source name of each column
    std::string row_;                       // the row's literals, separated by ", "
    std::vector<std::size_t> starts_;       // where each literal starts in row_
    std::vector<std::size_t> ends_;         // where each literal ends in row_
    std::vector<big_kind> big_;             // which of the row's values are streamed
    bool row_is_big_ = false;               // is any of them?
    std::string values_;                    // the row's "(...)" part
    mss_literal_writer literals_;
    const mss_dump_options& options_;
};

// The script file: header, table definitions, indexes and the other objects.
class mss_dmp_database : public udb_database {
public:
    // Creates or truncates the file and writes the header; a file that cannot be
    // created is an error of level 1.
    // through_link: the user named a link, a pipe or a device, and the script is written through it.
    // end, when given, learns what became of the file (mss_script_file).
    // on_wait: called when a named pipe at the path waits for its reader (mss_script_file).
    mss_dmp_database(const std::wstring& path, const mss_dump_options& options, bool through_link = false,
                     mss_script_end* end = nullptr, const std::function<void()>& on_wait = {});
    ~mss_dmp_database() override;

    void create_schema(const std::wstring& name) override;
    std::unique_ptr<udb_recordset> create_table(const std::wstring& name, const udb_schema& columns,
                                                const udb_indexes& indexes) override;
    void create_index(const std::wstring& table, const udb_schema& columns, const udb_index& index) override;
    void create_indexes(const std::wstring& table, const udb_schema& columns, const udb_indexes& indexes) override;
    void create_sequences(const std::vector<udb_sequence>& list) override;
    void create_views(const udb_name_text_list& list) override;
    void delete_fk(const std::wstring& fk_name) override;
    void delete_idx(const std::wstring& table, const std::wstring& index) override;
    bool delete_tab(const std::wstring& name) override;
    std::unique_ptr<udb_recordset> get_query(const std::wstring& name, const std::wstring& sql, int flag) override;
    std::unique_ptr<udb_recordset> get_table(const std::wstring& name, int flag) override;
    std::unique_ptr<udb_recordset> query(const std::wstring& sql) override;
    bool test_query(const std::wstring& sql) override;
    void create_relationships(const udb_relationships& list) override;

    // Writes bytes to the file; a failed write is an error of level 1.
    void write_raw(const std::string& bytes);
    void write_w(const std::wstring& text);
    // Hands the written text to the system; a failure is an error of level 1.
    void flush();
    // Whether a write into the file has failed: nothing more can be written.
    bool failed() const { return file_.failed(); }
    // Completes the script, ending it with a comment naming the tables that are not whole;
    // until then a script cut short is removed when the object goes.
    void finish() override;
    void table_incomplete(const std::wstring& table) override;

private:
    void create_clustered_index(const std::wstring& table, const udb_schema& columns);
    std::wstring default_clause(const t_ftd& column) const;

    mss_script_file file_;
    std::wstring path_;
    mss_dump_options options_;
    bool clustered_written_ = false;
    std::vector<std::wstring> incomplete_;   // tables the run did not convert whole
};

// UTF-8 form of a wide text.
std::string mss_to_utf8(const std::wstring& text);

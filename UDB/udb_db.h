// The database model every source and destination implements: engines,
// databases, recordsets (tables, queries, writers), their column
// descriptors, schemas, fields and records.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "OLE/ole_var.h"
#include "UDB/udb_idx.h"
#include "UDB/udb_rel.h"
#include "UDB/udb_vali.h"

class udb_field;
class udb_record;
class udb_recordset;
class udb_database;

// A list of (name, text) pairs: views with their SELECT text, queries, ...
using udb_name_text_list = std::vector<std::pair<std::wstring, std::wstring>>;

// One column description of a table or query result.
struct t_ftd {
    uint32_t size = 0;        // characters for text, bytes for binary, 0 when the type has none
    uint32_t precision = 0;   // decimal and date-time columns
    uint32_t scale = 0;
    std::wstring name;
    VARTYPE vartype = VT_EMPTY;
    std::wstring native_type; // the type as the database spells it, when known
    bool b_auto_num = false;
    bool b_not_null = false;
    ole_variant def_value;    // VT_EMPTY when the column has no default
    int32_t dw_reserved = 0;  // type refinement code read by the type mapping
    std::wstring extra;       // free for readers and writers

    // From a field of a row: its effective size, name, type and flags.
    t_ftd(const udb_field& field, const ole_variant& def_value, int32_t reserved);
    t_ftd(uint32_t size, const std::wstring& name, VARTYPE vartype, bool not_null, bool auto_num,
          const ole_variant& def_value = ole_variant(), int32_t reserved = 0,
          const std::wstring& native_type = std::wstring());
    t_ftd(const t_ftd&) = default;
    t_ftd& operator=(const t_ftd&) = default;

    // A date column whose format shows the date alone, or the time alone (refinement codes 2, 3).
    bool is_date_only() const { return vartype == VT_DATE && (dw_reserved & 3) == 2; }
    bool is_time_only() const { return vartype == VT_DATE && (dw_reserved & 3) == 3; }
    bool is_pure_date_or_time() const { return is_date_only() || is_time_only(); }

    // Same type and, where the type has them, same size, precision and scale.
    bool operator==(const t_ftd& other) const;
    // Can values of this (source) column be stored in the destination column?
    bool conform_to(const t_ftd& dest) const;
};

// The ordered columns of a table. An owning schema (the default) deletes its
// descriptors; a borrowing one only lists descriptors owned elsewhere.
class udb_schema : public std::vector<t_ftd*> {
public:
    explicit udb_schema(bool owns = true);
    udb_schema(const udb_schema& other);            // an owning schema copies the descriptors
    udb_schema& operator=(const udb_schema& other);
    udb_schema(udb_schema&& other) noexcept;
    udb_schema& operator=(udb_schema&& other) noexcept;
    virtual ~udb_schema();

    bool owns() const { return owns_descriptors; }
    // Deletes owned descriptors and empties the list.
    void reset();

    bool find_field(const std::wstring& name) const;
    // The column of that name, still owned by the schema; null when absent.
    t_ftd* get_field(const std::wstring& name);
    const t_ftd* get_field(const std::wstring& name) const;
    // Position of the column, or -1.
    int get_field_idx(const std::wstring& name) const;
    // Column size, 0xFFFFFFFF when absent.
    uint32_t get_field_size(const std::wstring& name) const;
    // Column type, VT_NULL when absent.
    VARTYPE get_field_type(const std::wstring& name) const;
    // Can rows of this (source) schema be stored in the destination table?
    bool conform_to(const udb_schema& dest, bool by_name) const;

    int32_t auto_seed = 1;       // identity seed of the auto-number column
    int32_t auto_increment = 1;  // identity increment

private:
    void copy_from(const udb_schema& other);
    bool owns_descriptors;
};

// One cell of a row: a value with its column's name, declared size and flags.
class udb_field : public ole_variant {
public:
    udb_field();
    udb_field(const std::wstring& name, uint32_t size, const ole_variant& value,
              bool not_null = false, bool auto_num = false);
    udb_field(const udb_field& other);
    udb_field& operator=(const udb_field& other);
    ~udb_field() override;

    // The value's type; readers may answer the column's type for an empty value.
    virtual VARTYPE get_type() const;
    // Effective size: element count of a byte array, length of a text,
    // else the declared size.
    uint32_t get_size() const;
    const std::wstring& get_name() const { return name; }
    // The value as a plain variant.
    const ole_variant& value() const { return *this; }
    ole_variant& value() { return *this; }

    uint32_t size = 0;
    std::wstring name;
    bool b_not_null = false;
    bool b_auto_num = false;
};

// One row: fields in column order, owned by the record.
class udb_record : public std::vector<udb_field*> {
public:
    udb_record() = default;
    udb_record(const udb_record&) = delete;
    udb_record& operator=(const udb_record&) = delete;
    udb_record(udb_record&& other) noexcept : std::vector<udb_field*>(std::move(other)) {}
    virtual ~udb_record();

    // Deletes every field and empties the record.
    void reset();
    bool find_field(const std::wstring& name) const;
    // The first field of that name, still owned by the record; null when absent.
    udb_field* get_field(const std::wstring& name) const;
};

// A database engine working on database files.
class udb_engine {
public:
    virtual ~udb_engine() = default;
    // Creates a new database file and returns it open, owned by the caller.
    virtual std::unique_ptr<udb_database> create_db(const std::wstring& path) = 0;
    virtual std::unique_ptr<udb_database> open_db(const std::wstring& path, int open_mode,
                                                  const std::wstring& password) = 0;
    // Deletes the file; failure throws tk_exception_ex with the system's reason.
    virtual int delete_db(const std::wstring& path);
    // Does the file exist (and is no directory)?
    virtual bool is_db_exist(const std::wstring& path);
    virtual void set_context(void* context) { ctx = context; }
    void* get_context() const { return ctx; }

private:
    void* ctx = nullptr;
};

// One open database, source or destination.
class udb_database {
public:
    udb_database(const std::wstring& name, int open_mode, int case_sensitive);
    virtual ~udb_database();
    udb_database(const udb_database&) = delete;
    udb_database& operator=(const udb_database&) = delete;

    // Completes a destination after the last entry of a run; a failure is an error. A
    // destination that goes without it may treat what it holds as cut short.
    virtual void finish() {}
    // The run did not convert this table whole (rows, indexes or the table itself are missing); a
    // destination that can say so in what it leaves does.
    virtual void table_incomplete(const std::wstring& /*table*/) {}
    virtual void create_schema(const std::wstring& schema_name);
    // A writer recordset for a new table, ready for append_record.
    virtual std::unique_ptr<udb_recordset> create_table(const std::wstring& name,
                                                        const udb_schema& schema,
                                                        const udb_indexes& indexes) = 0;
    virtual void create_index(const std::wstring& table, const udb_schema& schema,
                              const udb_index& index);
    // Calls create_index for every index in list order.
    virtual void create_indexes(const std::wstring& table, const udb_schema& schema,
                                const udb_indexes& indexes);
    virtual void create_sequences(const std::vector<udb_sequence>& sequences);
    virtual void create_views(const udb_name_text_list& views);
    virtual void delete_fk(const std::wstring& fk_name);
    virtual void delete_idx(const std::wstring& table, const std::wstring& index);
    // Removes the first matching name from the table list; false when none.
    virtual bool delete_tab(const std::wstring& table);
    // Empties the table through query(); the name is bracketed when bare.
    virtual void empty_table(const std::wstring& table);
    // A reading recordset over a SELECT text.
    virtual std::unique_ptr<udb_recordset> get_query(const std::wstring& name,
                                                     const std::wstring& select, int flag) = 0;
    // The database's schema names (none by default).
    virtual void get_schema_info(std::vector<std::wstring>& schemas);
    // A reading recordset over a table.
    virtual std::unique_ptr<udb_recordset> get_table(const std::wstring& name, int flag) = 0;
    // Runs a statement; databases that cannot run statements refuse (internal error).
    virtual std::unique_ptr<udb_recordset> query(const std::wstring& statement);
    // Does the SELECT text run?
    virtual bool test_query(const std::wstring& select) = 0;
    virtual void create_relationships(const udb_relationships& relationships);

    std::vector<std::wstring>& get_tables() { return tables; }
    const std::vector<std::wstring>& get_tables() const { return tables; }
    // Is the table in the table list (by the database's name rule)?
    virtual bool is_table_exist(const std::wstring& table) const;
    // Equality of two table names by the database's name rule.
    bool same_table_name(const std::wstring& a, const std::wstring& b) const;

    const std::wstring& get_name() const { return db_name; }
    udb_names_map& get_names_map() { return names_map; }
    const udb_names_map& get_names_map() const { return names_map; }

    int open_mode;
    std::wstring db_name;
    std::wstring aux_text;                 // free for implementers
    int case_sensitive;                    // 0: table names compare ignoring case
    udb_name_text_list views;              // (view name, SELECT text)
    std::vector<std::wstring> tables;      // tables held or created
    udb_names_map names_map;
    std::vector<udb_sequence> sequences;
    udb_relationships relationships;
};

// One table, query or statement result, read or written row by row.
class udb_recordset {
public:
    udb_recordset(udb_database* db, const std::wstring& name, const std::wstring& query_text,
                  bool owns_schema = true);
    udb_recordset(udb_database* db, const std::wstring& name, bool owns_schema = true);
    explicit udb_recordset(const std::wstring& name = std::wstring());
    virtual ~udb_recordset();
    udb_recordset(const udb_recordset&) = delete;
    udb_recordset& operator=(const udb_recordset&) = delete;

    // Stores one row (writers).
    virtual void append_record(udb_record& record) = 0;
    // Stores the rows a writer still holds back (gathered for one trip); its failures are raised
    // here, where the destructor could only log them. Nothing by default.
    virtual void flush() {}
    // Updates the row named by a key text / by the key fields of a record.
    virtual void update(const std::wstring& key);
    virtual void update(udb_record& record);
    // The current row, owned by the recordset, valid until the next call.
    virtual udb_record* get_item();
    virtual bool is_eof();
    bool is_query() const { return !query_text.empty(); }
    virtual void move_to(uint32_t position);
    virtual void next();
    virtual void prev();
    virtual void reset();
    virtual void delete_key(const std::wstring& key);
    virtual void delete_key(udb_record& record);

    // Copies of the record's key fields in key order; null when one is missing.
    std::unique_ptr<udb_record> get_key(const udb_record& record) const;
    // The key text of a key record (see get_filter_subquery).
    static std::wstring make_key_text(const udb_record& key);
    // The WHERE condition for a key text.
    std::wstring get_filter_subquery(const std::wstring& key) const;

    // Adds an index through the merge rules and keeps the key index number.
    int add_index(const udb_index& index);
    // Converts an incoming row to this recordset's column types, in place.
    void convert_record(udb_record& record) const;

    const std::wstring& get_name() const { return name; }
    const std::wstring& get_query_text() const { return query_text; }
    udb_schema& get_schema() { return schema; }
    const udb_schema& get_schema() const { return schema; }
    udb_indexes& get_indexes() { return indexes; }
    const udb_indexes& get_indexes() const { return indexes; }
    uint64_t get_record_count() const { return record_count; }
    udb_database* get_database() const { return database; }

    std::wstring query_text;   // empty for a table
    std::wstring name;
    int n_u_index = -1;        // position of the row key in indexes, -1 when none
    udb_schema schema;
    udb_indexes indexes;
    udb_database* database = nullptr;  // not owned
    std::wstring alt_name;     // free for implementers
    udb_name_text_list props;  // free for implementers
    uint64_t record_count = 0;
};

// A new Access database written by our own code (Jet4 .mdb or ACE .accdb): system tables, user tables,
// rows with long values and auto-numbers, properties, relationships, deleting tables.
#pragma once
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/jet/jet_encode.h"
#include "platform/jet/jet_file.h"
#include "platform/jet/jet_index_page.h"
#include "platform/jet/jet_page_store.h"
#include "platform/jet/jet_props.h"
#include "platform/jet/jet_table.h"
#include "platform/jet/jet_tdef_write.h"

namespace jet {

class code_page_encoder;

// A relationship: `table`'s `columns` refer to `ref_table`'s `ref_columns` (a unique index there).
struct relationship_def {
    std::wstring name;
    std::wstring table;
    std::wstring ref_table;
    std::vector<std::wstring> columns;
    std::vector<std::wstring> ref_columns;
    std::uint32_t grbit = 0;   // 0x2 not enforced, 0x100 cascade updates, 0x1000 cascade deletes
};

// What a new column needs: name, type, length in bytes (text: 2 per character; memo/OLE 0), precision
// and scale (decimal), auto-number (long: counter, GUID: new GUIDs), and its properties (Required,
// AllowZeroLength, DefaultValue ...).
struct column_spec {
    std::wstring name;
    column_type type = column_type::text;
    std::uint16_t length = 0;
    std::uint8_t precision = 0;
    std::uint8_t scale = 0;
    bool auto_number = false;
    bool hyperlink = false;
    property_map properties;
};

// A new index over columns by name.
struct index_spec {
    std::wstring name;
    std::vector<std::pair<std::wstring, bool>> columns; // name, ascending
    bool primary = false;
    bool unique = false;
    bool ignore_nulls = false;
    bool required = false;
};

// Writes one new database. Changes go to the file as they are made; flush() (and close()) write what
// makes the file whole: catalogue, table definitions, usage maps and, last, the header page. A failed
// write closes the writer and puts the file back as the last flush left it (create() makes the first).
class database_writer {
public:
    // Creates `path`, which must not exist. `created` is the creation date (days since 1899-12-30);
    // `code_page` is the one Jet3 files keep their text in (single-byte code pages only).
    // Throws jet::error; on failure nothing is left at `path`.
    static std::unique_ptr<database_writer> create(const std::string& path, file_format format, double created,
                                                   int code_page = 1252);
    ~database_writer();
    database_writer(const database_writer&) = delete;
    database_writer& operator=(const database_writer&) = delete;

    const std::string& path() const { return store_.path(); }
    file_format format() const { return format_; }

    bool has_table(std::wstring_view name) const;
    // User tables in creation order.
    std::vector<std::wstring> table_names() const;
    // The definition as it will be stored (columns numbered and placed).
    const table_def& table(std::wstring_view name) const;

    // Adds a user table. Throws err_table_exists, err_too_many_indexes (more than 32), or
    // err_object_not_found for an index over a missing column; nothing is written then.
    void create_table(const std::wstring& name, const std::vector<column_spec>& columns,
                      const std::vector<index_spec>& indexes, const property_map& table_properties = {});
    // Adds an index to an existing table (its entries follow the rows already there).
    void add_index(const std::wstring& table, const index_spec& index);
    // Appends a row (values in the table's column order). A null auto-number column gets the next
    // number (or a new GUID) and `row` receives it. Throws err_required_null, err_duplicate_key,
    // err_field_too_small, err_type_conversion, err_record_too_large; nothing is stored then.
    void append(const std::wstring& table, std::vector<value>& row);
    // Removes a user table: its pages are freed, its catalogue rows and relationships removed.
    void delete_table(const std::wstring& name);
    // Records a relationship (its MSysRelationships rows and the foreign-key indexes on both sides).
    void add_relationship(const relationship_def& r);

    // Makes the file a complete database as it stands now: the state a later failed write returns to.
    void flush();

private:
    struct table_state;
    struct catalog_row;

    database_writer(const std::string& path, file_format format, double created, int code_page);
    void build_system();
    table_state& add_table(const std::wstring& name, const std::vector<column_spec>& columns,
                           const std::vector<index_spec>& indexes, bool system, std::uint32_t flags);
    table_state& find(std::wstring_view name);
    const table_state* find_or_null(std::wstring_view name) const;
    void add_real_index(table_state& t, index_def& x);
    row_pointer new_map_row();
    void write_map_row(row_pointer at, const std::vector<std::uint32_t>& pages, std::vector<std::uint32_t>& map_pages);
    row_pointer place_row(table_state& t, const bytes& row);
    std::uint32_t place_on_page(std::uint32_t& current, std::vector<std::uint32_t>& owned, const bytes& row,
                                std::uint32_t owner_field, std::uint8_t& row_number, std::vector<std::uint32_t>* spare);
    void store_long_value(table_state& t, const column_def& c, std::span<const std::uint8_t> data, std::uint8_t ref[12]);
    // Fills auto-numbers and checks Required, zero-length and key columns; which values were generated.
    std::vector<bool> check_row(table_state& t, std::vector<value>& row);
    void rewrite_rows(table_state& t, const std::vector<std::vector<value>>& rows);
    void write_tdef(table_state& t);
    void write_header();
    // Makes the file whole as it stands now. Only the caller's flush is a `restore_point`, the state
    // a failed write returns to; one the writer makes for itself (to read rows back) is not.
    void write_whole(bool restore_point);
    void free_page(std::uint32_t page);
    template <class F> void guarded(F&& f);
    // Indexes (jet_writer_index.cpp).
    void prepare_keys(table_state& t, std::size_t real);
    bool key_exists(table_state& t, std::size_t real, const bytes& key);
    void check_unique(table_state& t, const std::vector<value>& row, const std::vector<bool>& generated);
    void index_row(table_state& t, const std::vector<value>& row, row_pointer at);
    void apply_pending(table_state& t);
    void build_tree(table_state& t, std::size_t real, std::vector<index_entry> entries);
    void rebuild_indexes(table_state& t, const std::vector<std::vector<value>>& rows, const std::vector<row_pointer>& where);
    // Fills a new real index from the table's rows in the file (made whole before it was declared).
    void fill_index(table_state& t, std::size_t real);

    file_format format_;
    double created_;
    page_store store_;
    std::unique_ptr<code_page_encoder> narrow_text_; // Jet3 only: text in the file's code page
    bool broken_ = false;
    bool dirty_ = true;
    std::vector<std::unique_ptr<table_state>> tables_;
    std::vector<catalog_row> containers_;
    std::vector<relationship_def> relationships_;
    std::uint32_t map_page_ = 0;           // the usage-map page that takes new map rows
    std::vector<std::uint32_t> free_pages_;
    std::vector<std::uint32_t> global_map_pages_;
};

} // namespace jet

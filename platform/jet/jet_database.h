// An open Access database (Jet3, Jet4 or ACE), read-only: catalogue, table definitions and row cursors.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/jet/jet_cursor.h"
#include "platform/jet/jet_error.h"
#include "platform/jet/jet_file.h"
#include "platform/jet/jet_props.h"
#include "platform/jet/jet_table.h"
#include "platform/jet/jet_value.h"

namespace jet {

// "cannot find the input table or query": a name that is not in the catalogue.
inline constexpr int err_object_not_found = 3078;

// What a catalogue entry describes (MSysObjects.Type).
enum class object_kind { table, linked_table, odbc_table, query, other };

// One row of MSysObjects.
struct catalog_entry {
    std::int32_t id = 0;
    std::int32_t parent_id = 0;
    std::wstring name;
    std::int16_t type = 0;
    std::uint32_t flags = 0;
    std::wstring database;      // linked table: path of the database it lives in
    std::wstring foreign_name;  // linked table: its name there
    std::wstring connect;       // ODBC-linked table: connect string
    double date_create = 0;
    double date_update = 0;
    property_maps properties;   // decoded LvProp
    std::string properties_error; // why LvProp could not be decoded (the table then refuses to open)
    std::string placement_error;  // why the object could not be placed in the catalogue (the same)

    object_kind kind() const;
    // System object (flag 0x80000000 or 0x00000002), as the engine reports it.
    bool system() const { return (flags & 0x80000002u) != 0; }
    bool hidden() const { return (flags & 0x00000008u) != 0; }
    // Page of the table definition (local tables).
    std::uint32_t tdef_page() const { return static_cast<std::uint32_t>(id) & 0x00FFFFFFu; }
};

// An open database. Create with open(); table definitions are read on first use and cached.
// Cursors keep the file open while they live. Safe to read from several threads with one cursor each.
//
//   auto db = jet::database::open(path, password);          // jet::error on failure
//   for (const jet::catalog_entry* t : db->tables()) ...     // user tables, linked ones included
//   auto def = db->table(L"Orders");                         // columns, indexes, properties
//   auto rows = db->rows(def);
//   while (rows.next()) use(rows[0], rows[1], ...);          // typed jet::value per column
class database : public std::enable_shared_from_this<database> {
public:
    // Opens `path`; `password` is the database password (empty for none). Throws jet::error:
    // err_file_not_found, err_unrecognized_format, err_bad_password ("Not a valid password."), err_corrupt.
    static std::shared_ptr<database> open(const std::string& path, const std::wstring& password = {});
    // Opens a database image held in memory; `name` stands for the path in messages.
    static std::shared_ptr<database> open_image(std::vector<std::uint8_t> image, const std::string& name,
                                                const std::wstring& password = {});

    const std::string& path() const { return file_->path(); }
    const header_info& header() const { return file_->header(); }
    file_format format() const { return file_->format(); }
    const page_file& file() const { return *file_; }
    std::shared_ptr<const page_file> file_ptr() const { return file_; }

    // Every row of MSysObjects, in table order.
    const std::vector<catalog_entry>& catalogue() const { return catalogue_; }
    // Tables (local and linked) in catalogue order; system tables only when asked for.
    std::vector<const catalog_entry*> tables(bool include_system = false) const;
    // Saved queries in catalogue order.
    std::vector<const catalog_entry*> queries() const;
    // A table (local or linked) or query entry by name (case-insensitive); nullptr when absent.
    const catalog_entry* find(std::wstring_view name) const;
    // The entry of the local table whose definition is at `tdef_page`; nullptr when none.
    const catalog_entry* find_by_page(std::uint32_t tdef_page) const;

    // The definition of a local table (system tables included) by name, with properties and
    // foreign-key targets filled in. Throws jet::error (err_object_not_found) for an unknown name
    // or a linked table.
    std::shared_ptr<const table_def> table(std::wstring_view name) const;
    std::shared_ptr<const table_def> table_at(std::uint32_t tdef_page) const;

    // A cursor over a local table's rows (MSysObjects, MSysQueries, MSysRelationships, user tables ...).
    row_cursor rows(std::wstring_view table_name) const;
    row_cursor rows(std::shared_ptr<const table_def> table) const;
    // The number of live rows, counted from the data pages (the stored count can be stale).
    std::uint64_t count_rows(std::wstring_view table_name) const;

private:
    explicit database(std::shared_ptr<page_file> file);
    void read_catalogue();
    void place_tables();
    void refuse_shared_ids() const;
    std::shared_ptr<const table_def> load(const catalog_entry* entry, std::uint32_t page, const std::wstring& name) const;

    std::shared_ptr<page_file> file_;
    std::vector<catalog_entry> catalogue_;
    std::int32_t tables_parent_ = -1;
    mutable std::mutex mutex_;
    mutable std::map<std::uint32_t, std::shared_ptr<const table_def>> defs_;
};

} // namespace jet

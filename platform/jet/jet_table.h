// Table definitions read from a table-definition page chain: columns, real and logical indexes.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/jet/jet_props.h"
#include "platform/jet/jet_value.h"

namespace jet {

class page_file;

// One column of a table.
struct column_def {
    std::wstring name;
    column_type type = column_type::text;
    std::uint8_t raw_type = 0;        // the type byte as stored (unknown types keep their number)
    std::uint16_t number = 0;         // column number: null-mask bit, never reused after deletions
    std::uint16_t position = 0;       // order of definition in the table definition
    std::uint16_t var_index = 0;      // slot in a row's variable-length offset table
    std::uint16_t fixed_offset = 0;   // offset in a row's fixed-length area
    std::uint16_t length = 0;         // stored length in bytes (0 for memo/OLE)
    std::uint8_t precision = 0;       // numeric only
    std::uint8_t scale = 0;           // numeric only
    std::uint16_t sort_order = 0;     // text collation
    std::uint8_t sort_version = 0;    // Jet4/ACE: version of the collation (0 legacy General, 1 General)
    std::uint16_t code_page = 0;      // Jet3 text only
    std::uint32_t complex_id = 0;     // complex columns (ACE): key into MSysComplexColumns
    std::uint8_t flags = 0;           // 0x01 fixed, 0x02 nullable, 0x04 auto-number, 0x40 GUID auto, 0x80 hyperlink
    std::uint8_t ext_flags = 0;       // 0x01 compressed Unicode, 0xC0 calculated
    property_map properties;          // from MSysObjects.LvProp

    bool fixed() const { return flags & 0x01; }
    bool auto_number() const { return flags & 0x04; }
    bool auto_guid() const { return flags & 0x40; }
    bool hyperlink() const { return flags & 0x80; }
    bool replication() const { return flags & 0x10; }
    bool compressed_unicode() const { return ext_flags & 0x01; }
    bool calculated() const { return ext_flags & 0xC0; }
    // Declared size as users see it: characters for text, bytes otherwise (0 for memo/OLE).
    std::uint32_t size(bool wide) const;
};

// One column of an index, in index order.
struct index_column {
    std::wstring name;
    std::uint16_t number = 0;
    bool ascending = true;
};

// A logical index (what users see), backed by a real index (its entries on index pages).
struct index_def {
    std::wstring name;
    std::int32_t number = 0;          // logical index number
    std::int32_t real_index = 0;      // number of the real index that backs it
    std::uint8_t kind = 0;            // 1 primary key, 2 foreign key, 0 other
    std::uint8_t real_flags = 0;      // 0x01 unique, 0x02 ignore nulls, 0x08 required
    std::vector<index_column> columns;
    std::uint32_t root_page = 0;

    // Foreign-key link (kind 2): the index on the other side of the relationship.
    std::int32_t ref_index = -1;
    std::uint32_t ref_table_page = 0;
    std::wstring ref_table;           // filled from the catalogue
    std::uint8_t ref_table_type = 0;  // 1: this table is the primary (referenced) side
    bool cascade_updates = false;
    bool cascade_deletes = false;
    bool cascade_null = false;

    bool primary() const { return kind == 1; }
    bool foreign() const { return kind == 2; }
    bool unique() const { return primary() || (real_flags & 0x01); }
    bool ignore_nulls() const { return real_flags & 0x02; }
    bool required() const { return real_flags & 0x08; }
    // A foreign key index on the referencing side: this table's columns point at ref_table.
    bool references_other() const { return foreign() && ref_table_type != 1; }
};

// The usage map reference of a table: the row that holds the map of its pages.
struct row_pointer {
    std::uint32_t page = 0;
    std::uint8_t row = 0;
};

// A table definition.
struct table_def {
    std::wstring name;
    std::uint32_t tdef_page = 0;
    std::uint32_t header_row_count = 0;  // as stored; may be stale: count rows by reading
    std::uint32_t next_auto_number = 0;
    std::uint8_t table_type = 0;         // 0x4E user, 0x53 system
    std::uint16_t max_columns = 0;
    std::uint16_t var_columns = 0;
    std::vector<column_def> columns;     // by column number
    std::vector<index_def> indexes;      // logical indexes, by index number
    row_pointer owned_pages;
    row_pointer free_pages;
    property_map properties;             // the table's own properties

    // Index of a column by name (case-insensitive), -1 when absent.
    int find_column(std::wstring_view column_name) const;
};

// The most characters Access gives the name of a table, a column or an index.
constexpr std::size_t longest_object_name = 64;

// Whether this reader knows the column type of a stored type code.
bool known_column_type(std::uint8_t code);

// Reads the definition at `page`. Throws jet::error (err_corrupt) for a damaged definition.
table_def read_table_def(const page_file& file, std::uint32_t page, const std::wstring& name);

} // namespace jet

// Encoding of a table definition (columns, real and logical indexes, usage-map references) for new files.
#pragma once
#include <cstdint>
#include <vector>

#include "platform/jet/jet_file.h"
#include "platform/jet/jet_table.h"
#include "platform/jet/jet_value.h"

namespace jet {

class code_page_encoder;

// A real index: the entries on index pages behind one or more logical indexes.
struct real_index_image {
    std::vector<index_column> columns;
    std::uint8_t flags = 0;        // 0x01 unique, 0x02 ignore nulls, 0x08 required
    std::uint32_t root = 0;        // root index page
    row_pointer map;               // usage map of its pages
};

// The usage maps of one memo/OLE column (its long-value pages).
struct long_value_maps {
    std::uint16_t column_number = 0;
    row_pointer owned, free;
};

// Everything a table definition records. `def.indexes` are the logical indexes; each names its real
// index by `real_index`.
struct tdef_image {
    const table_def* def = nullptr;
    std::vector<real_index_image> reals;
    std::vector<long_value_maps> long_values;
    std::uint32_t rows = 0;
    std::uint32_t next_auto_number = 0;
    std::uint8_t table_type = 0x4E; // 0x4E user, 0x53 system
    file_format format = file_format::jet4;
    const code_page_encoder* text = nullptr; // Jet3: the file's code page for names
};

// The whole definition as one buffer (the layout of `t.format`), its 8-byte page header included; the writer
// spreads it over pages.
bytes build_tdef(const tdef_image& t);

// Parts that both layouts (Jet4/ACE and Jet3) write alike.
namespace tdef_parts {

// The counts after the header fields: columns, variable columns, columns again, logical and real
// indexes; then the table's owned and free page maps.
void put_counts(bytes& b, const table_def& d, std::size_t reals);
// A real index's ten column slots: column number and order, 0xFFFF for an unused slot.
void put_index_columns(bytes& b, const real_index_image& r);
// What a logical index refers to: for a foreign key the other table's index and page and the cascade
// flags, else no table, then `plain_flags` twice.
void put_index_reference(bytes& b, const index_def& x, std::uint8_t plain_flags);
// The end: the long-value usage maps, the end mark, eight zero bytes; and the length of the whole
// (after the 8-byte page header) into bytes 8-11.
void finish(bytes& b, const tdef_image& t);

} // namespace tdef_parts

} // namespace jet

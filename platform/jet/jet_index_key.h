// Index keys: the bytes Access stores for the indexed columns of a row, in index order.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/jet/jet_file.h"
#include "platform/jet/jet_index_page.h"
#include "platform/jet/jet_sort_codes.h"
#include "platform/jet/jet_table.h"
#include "platform/jet/jet_value.h"

namespace jet {

// One indexed column as its key bytes depend on it.
struct key_column {
    column_type type = column_type::text;
    bool ascending = true;
    text_order order = text_order::general;  // text and memo
    bool legacy_numeric = false;             // Jet3/Jet4 decimal keys (before Access 2007)
    std::uint8_t scale = 0;                  // decimal
};

// The key recipe of one index: its columns and where their values sit in a row.
struct index_key_layout {
    std::vector<key_column> columns;
    std::vector<std::size_t> positions;      // into table_def::columns (row_cursor::values order)
};

// Text order of a column: the file generation plus, in Jet4/ACE, the sort order's version byte.
// Returns false for a sort order other than General (its keys are not encodable here).
bool column_text_order(file_format format, const column_def& c, text_order& out);

// The recipe for index `x` of table `t` in a file of `format`. Throws jet::error (err_corrupt) when the
// index names a missing column; `why` (when given) receives the reason an index is not encodable
// (an unsupported sort order or column type), and the recipe comes back empty.
index_key_layout key_layout(file_format format, const table_def& t, const index_def& x, std::string* why = nullptr);

// Appends one column's key: a flag byte (ascending 0x7F, descending 0x80; a null is 0x00 / 0xFF alone)
// followed by the value's order-preserving bytes, inverted for descending columns.
// Throws jet::error (err_corrupt) for a value of the wrong kind for the column.
void append_key_column(const key_column& c, const value& v, std::vector<std::uint8_t>& out);

// The whole key of a row whose values come in table_def::columns order.
void encode_key(const index_key_layout& k, const std::vector<value>& row, std::vector<std::uint8_t>& out);

// Whether `key` (made by encode_key with `k`) has every column null. Such rows may share their key even
// in a unique index; an ignore-nulls index leaves them out.
bool all_null_key(const index_key_layout& k, const std::vector<std::uint8_t>& key);

// Whether two neighbours of `sorted` share a key that is not all null (a unique index refuses them).
bool has_duplicate_key(const index_key_layout& k, const std::vector<index_entry>& sorted);

} // namespace jet

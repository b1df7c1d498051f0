// Encoding of values and rows into the bytes a data page stores (the inverse of the row cursor's decoding).
#pragma once
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/jet/jet_table.h"
#include "platform/jet/jet_value.h"

namespace jet {

class code_page_encoder;

// Error numbers of the writer, as the engine numbers them.
enum write_error_code : int {
    err_table_exists = 3010,       // "Table '|' already exists."
    err_duplicate_key = 3022,      // a duplicate value in a unique index
    err_record_too_large = 3047,   // "Record is too large."
    err_field_too_small = 3163,    // the value does not fit its field
    err_required_null = 3314,      // a Required field left empty
    err_type_conversion = 3421,    // "Data type conversion error."
    err_too_many_indexes = 3626,   // more than 32 indexes on one table
    err_invalid_name = 3125,       // "'|' is not a valid name."
};

// A name or text as messages show it (UTF-8).
std::string message_text(std::wstring_view s);

// Appends `s` as a Jet4/ACE text value: the compressed form (FF FE, then one byte a character) when
// `compress` is set and every character fits one byte, else UTF-16LE (characters beyond the BMP as pairs).
void encode_text(const std::wstring& s, bool compress, bytes& out);
// Plain UTF-16LE (names, property texts).
void encode_utf16(const std::wstring& s, bytes& out);
// Number of UTF-16 code units of `s`.
std::size_t utf16_length(const std::wstring& s);

// Stored size of a fixed-length type in a row (0 for booleans, which live in the null mask).
std::size_t stored_fixed_size(column_type t);

// Writes a value of a fixed-length type into `out` (stored_fixed_size bytes). The value must be of the
// column's kind (jet::error err_type_conversion otherwise); decimals are rescaled to the column's scale.
void encode_fixed(const column_def& c, const value& v, std::uint8_t* out);

// Where long values go: receives the bytes of a memo/OLE value too long to stay in the row and returns
// the 12-byte reference that points at them.
using long_value_sink = std::function<void(const column_def& c, std::span<const std::uint8_t> data, std::uint8_t ref[12])>;

// Builds a row of `t` (values in table_def::columns order) into `out`. Long values up to
// `inline_limit` bytes stay in the row; longer ones go to `sink`. Checks text lengths against the
// columns (err_field_too_small) and kinds (err_type_conversion). With `jet3_text` the row takes the
// Jet3 layout, its text in that code page.
void encode_row(const table_def& t, const std::vector<value>& row, std::size_t inline_limit,
                const long_value_sink& sink, bytes& out, const code_page_encoder* jet3_text = nullptr);

// Parts of a row that both layouts (Jet4/ACE and Jet3) build alike.
namespace row_parts {

// Throws the layout's err_type_conversion for a value of the wrong kind.
using mismatch_fn = void (*)(const column_def& c, const value& v);
// A name as the layout's messages show it.
using name_fn = std::string (*)(std::wstring_view name);

// How many column slots a row has (highest column number + 1), where its fixed-length area ends, and
// whether any column is of variable length.
struct row_shape {
    std::size_t columns = 0;
    std::size_t fixed_end = 0;
    bool any_variable = false;
};
row_shape shape_of(const table_def& t);

// Writes the fixed-length values at their offsets from `fixed` (booleans live in the null mask alone)
// and sets the mask bit of each value present.
void put_fixed_values(const table_def& t, const std::vector<value>& row, std::uint8_t* fixed,
                      std::vector<std::uint8_t>& mask, mismatch_fn mismatch);

// The variable-length columns in var_index order, each with its place among the row's values (a
// gap in the numbering leaves `column` null).
struct variable_slot {
    const column_def* column = nullptr;
    std::size_t at = 0;
};
std::vector<variable_slot> variable_slots(const table_def& t);

// Appends the stored bytes of one variable-length value: memo and OLE values as a 12-byte reference
// with their data behind it (up to `inline_limit` bytes) or handed to `sink`; others as they are.
// Throws err_field_too_small for a long value over 1 GiB and err_record_too_large once the row
// passes 64 KiB.
void append_variable(const column_def& c, const bytes& data, std::size_t inline_limit, const long_value_sink& sink,
                     bytes& out, name_fn name);

} // namespace row_parts

} // namespace jet

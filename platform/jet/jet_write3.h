// Layouts of Access 97 (Jet3) files as the writer stores them: text in the file's code page, rows,
// table definitions and the header page of 2 KiB pages.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/jet/jet_encode.h"
#include "platform/jet/jet_table.h"
#include "platform/jet/jet_value.h"

namespace jet {

struct tdef_image;

// Text into one single-byte Windows code page (Jet3 keeps text as one byte a character).
class code_page_encoder {
public:
    // Throws jet::error (err_unrecognized_format) for a code page that is not single-byte.
    explicit code_page_encoder(int code_page);
    int code_page() const { return code_page_; }
    // Appends `s`; returns the index of the first character the code page has no byte for (nothing
    // appended then), or npos when all of `s` was stored.
    std::size_t encode(std::wstring_view s, bytes& out) const;
    // The same, throwing err_type_conversion that names `what` and the character.
    void encode_or_throw(std::wstring_view s, const std::string& what, bytes& out) const;

private:
    int code_page_;
    std::vector<std::pair<char32_t, std::uint8_t>> map_; // sorted by character
};

// Builds a Jet3 row of `t` (values in table_def::columns order): a one-byte column count, fixed values,
// variable values, one-byte offsets with their jump table, the null mask. Text and memo values go
// through `text`; the checks and long values are those of encode_row.
void encode_row_jet3(const table_def& t, const std::vector<value>& row, const code_page_encoder& text,
                     std::size_t inline_limit, const long_value_sink& sink, bytes& out);

// A Jet3 table definition (names in the code page), its 8-byte page header included.
bytes build_tdef_jet3(const tdef_image& t, const code_page_encoder& text);

// The header page of a Jet3 file (2 KiB) with the given code page and no password, scrambled as stored.
std::vector<std::uint8_t> jet3_header_page(int code_page);

} // namespace jet

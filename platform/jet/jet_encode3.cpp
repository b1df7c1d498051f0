#include <algorithm>
#include <cstdio>

#include "platform/jet/jet_error.h"
#include "platform/jet/jet_put.h"
#include "platform/jet/jet_text.h"
#include "platform/jet/jet_write3.h"
#include "platform/win/win_utf.h"

namespace jet {

namespace {


std::string code_point(char32_t c)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(c));
    return buf;
}

[[noreturn]] void mismatch(const column_def& c, const value& = value())
{
    throw error(err_type_conversion, "Data type conversion error: column '" + message_text(c.name) + "' (" + type_name(c.type) +
                                         ") cannot take a value of that kind.");
}

[[noreturn]] void too_small(const column_def& c)
{
    throw error(err_field_too_small,
                "The field '" + message_text(c.name) + "' is too small to accept the amount of data you attempted to add.");
}

void set_bit(std::vector<std::uint8_t>& mask, std::uint16_t n) { mask[n / 8] |= static_cast<std::uint8_t>(1u << (n % 8)); }

// The bytes of a variable-length value in a Jet3 row (text in the code page).
void variable_bytes3(const table_def& t, const column_def& c, const value& v, const code_page_encoder& text, bytes& out)
{
    switch (c.type) {
    case column_type::text:
    case column_type::memo:
        if (v.type() != value::text_k) mismatch(c);
        text.encode_or_throw(v.as_text(), "column '" + message_text(c.name) + "' of table '" + message_text(t.name) + "'", out);
        if (c.type == column_type::text && out.size() > c.length) too_small(c);
        return;
    case column_type::binary:
    case column_type::ole:
        if (v.type() != value::binary_k) mismatch(c);
        if (c.type == column_type::binary && v.as_binary().size() > c.length) too_small(c);
        out.insert(out.end(), v.as_binary().begin(), v.as_binary().end());
        return;
    default: mismatch(c);
    }
}

// The tail of a Jet3 row after its data: the end-of-data offset and the value offsets (low bytes,
// from the last value back to the first), the jump table, the value count. A jump entry i says that
// offsets from value i on lie another 256 bytes further; readers take the number of entries from the
// row's length, so when that count comes out one too high an unused entry fills the gap.
void append_offsets(const std::vector<std::size_t>& offsets, bytes& out, std::size_t mask_size)
{
    const std::size_t n = offsets.size() - 1; // offsets[n] is the end of the data
    std::vector<std::uint8_t> jumps;
    std::size_t high = 0;
    for (std::size_t i = 0; i <= n; ++i)
        for (; high < offsets[i] / 256; ++high) jumps.push_back(static_cast<std::uint8_t>(i));
    const std::size_t fixed_part = offsets[n] + 1 + n + 1 + mask_size;
    bool filler;
    if ((fixed_part + jumps.size() - 1) / 256 == jumps.size())
        filler = false;
    else if ((fixed_part + jumps.size()) / 256 == jumps.size() + 1)
        filler = true;
    else
        throw error(err_record_too_large, "Record is too large.");
    out.push_back(static_cast<std::uint8_t>(offsets[n]));
    for (std::size_t k = n; k-- > 0;) out.push_back(static_cast<std::uint8_t>(offsets[k]));
    if (filler) out.push_back(0xFF);
    for (std::size_t u = jumps.size(); u-- > 0;) out.push_back(jumps[u]);
    out.push_back(static_cast<std::uint8_t>(n));
}

} // namespace


code_page_encoder::code_page_encoder(int code_page) : code_page_(code_page)
{
    code_page_text decoder(code_page);
    std::wstring one;
    for (int b = 0; b < 256; ++b) {
        std::uint8_t byte = static_cast<std::uint8_t>(b);
        one.clear();
        decoder.decode(&byte, 1, one);
        if (one.size() != 1 || (one[0] == L'\uFFFD' && b >= 0x80))
            throw error(err_unrecognized_format,
                        "Text in code page " + std::to_string(code_page) + " cannot be written (not a single-byte code page).");
        map_.emplace_back(static_cast<char32_t>(one[0]), byte);
    }
    // The first byte for a character wins (a code page may decode two bytes alike).
    std::stable_sort(map_.begin(), map_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    map_.erase(std::unique(map_.begin(), map_.end(), [](const auto& a, const auto& b) { return a.first == b.first; }),
               map_.end());
}

std::size_t code_page_encoder::encode(std::wstring_view s, bytes& out) const
{
    const std::size_t start = out.size();
    for (std::size_t i = 0; i < s.size(); ++i) {
        char32_t c = static_cast<char32_t>(s[i]);
        if (c < 0x80) {
            out.push_back(static_cast<std::uint8_t>(c));
            continue;
        }
        auto it = std::lower_bound(map_.begin(), map_.end(), c, [](const auto& e, char32_t k) { return e.first < k; });
        if (it == map_.end() || it->first != c) {
            out.resize(start);
            return i;
        }
        out.push_back(it->second);
    }
    return std::wstring_view::npos;
}

void code_page_encoder::encode_or_throw(std::wstring_view s, const std::string& what, bytes& out) const
{
    std::size_t bad = encode(s, out);
    if (bad == std::wstring_view::npos) return;
    throw error(err_type_conversion, "The text of " + what + " holds the character " +
                                         code_point(static_cast<char32_t>(s[bad])) + ", which code page " +
                                         std::to_string(code_page_) + " of an Access 97 database cannot store.");
}

void encode_row_jet3(const table_def& t, const std::vector<value>& row, const code_page_encoder& text,
                     std::size_t inline_limit, const long_value_sink& sink, bytes& out)
{
    out.clear();
    const row_parts::row_shape shape = row_parts::shape_of(t);
    if (shape.columns > 255) throw error(err_record_too_large, "A table of an Access 97 database has at most 255 columns.");
    const std::size_t mask_size = (shape.columns + 7) / 8;
    std::vector<std::uint8_t> mask(mask_size, 0);
    out.resize(1 + shape.fixed_end, 0);
    out[0] = static_cast<std::uint8_t>(shape.columns);
    row_parts::put_fixed_values(t, row, out.data() + 1, mask, mismatch);
    if (!shape.any_variable) {
        out.insert(out.end(), mask.begin(), mask.end());
        return;
    }

    const std::vector<row_parts::variable_slot> vars = row_parts::variable_slots(t);
    std::vector<std::size_t> offsets(vars.size() + 1, 0);
    bytes data;
    for (std::size_t k = 0; k < vars.size(); ++k) {
        offsets[k] = out.size();
        const column_def* c = vars[k].column;
        if (!c || row[vars[k].at].is_null()) continue;
        set_bit(mask, c->number);
        data.clear();
        variable_bytes3(t, *c, row[vars[k].at], text, data);
        row_parts::append_variable(*c, data, inline_limit, sink, out, message_text);
    }
    offsets[vars.size()] = out.size();
    append_offsets(offsets, out, mask_size);
    out.insert(out.end(), mask.begin(), mask.end());
}

} // namespace jet

#include "platform/jet/jet_encode.h"

#include <cstring>

#include "platform/jet/jet_error.h"
#include "platform/jet/jet_put.h"
#include "platform/jet/jet_write3.h"
#include "platform/win/win_utf.h"

namespace jet {

namespace {

[[noreturn]] void mismatch(const column_def& c, const value& v)
{
    throw error(err_type_conversion, "Data type conversion error: column '" + message_text(c.name) + "' (" +
                                         type_name(c.type) + ") cannot take the value " + message_text(v.to_wstring()) + ".");
}

using u128 = unsigned __int128;

u128 pow10(unsigned n)
{
    u128 r = 1;
    while (n--) r *= 10;
    return r;
}

// The magnitude of a decimal at the column's scale, rounded half away from zero; false when it overflows
// the column's precision.
bool rescale(const decimal& d, std::uint8_t scale, std::uint8_t precision, u128& out)
{
    u128 m = (static_cast<u128>(d.hi) << 64) | d.lo;
    if (d.scale < scale) {
        for (unsigned i = d.scale; i < scale; ++i) {
            if (m > (~static_cast<u128>(0)) / 10) return false;
            m *= 10;
        }
    } else if (d.scale > scale) {
        u128 div = pow10(d.scale - scale);
        u128 q = m / div, r = m % div;
        if (r * 2 >= div) ++q;
        m = q;
    }
    if (precision > 0 && precision <= 38 && m >= pow10(precision)) return false;
    if (m >> 96) return false; // four stored words, the first always zero in files Access writes
    out = m;
    return true;
}

} // namespace

std::size_t utf16_length(const std::wstring& s)
{
    std::size_t n = 0;
    for (wchar_t c : s) n += static_cast<std::uint32_t>(c) > 0xFFFF ? 2 : 1;
    return n;
}

void encode_utf16(const std::wstring& s, bytes& out)
{
    for (wchar_t wc : s) {
        char16_t units[2];
        const int n = win_utf16_put_verbatim(static_cast<char32_t>(wc), units);
        for (int k = 0; k < n; ++k) {
            out.push_back(static_cast<std::uint8_t>(units[k]));
            out.push_back(static_cast<std::uint8_t>(units[k] >> 8));
        }
    }
}

void encode_text(const std::wstring& s, bool compress, bytes& out)
{
    bool one_byte = compress && !s.empty();
    for (wchar_t c : s)
        if (c == 0 || static_cast<std::uint32_t>(c) > 0xFF) {
            one_byte = false;
            break;
        }
    if (!one_byte) {
        encode_utf16(s, out);
        return;
    }
    out.push_back(0xFF);
    out.push_back(0xFE);
    for (wchar_t c : s) out.push_back(static_cast<std::uint8_t>(c));
}

std::size_t stored_fixed_size(column_type t)
{
    switch (t) {
    case column_type::byte: return 1;
    case column_type::integer: return 2;
    case column_type::long_integer: case column_type::single: case column_type::complex: return 4;
    case column_type::currency: case column_type::double_: case column_type::datetime: case column_type::big_int: return 8;
    case column_type::guid: return 16;
    case column_type::numeric: return 17;
    default: return 0;
    }
}

void encode_fixed(const column_def& c, const value& v, std::uint8_t* out)
{
    auto want = [&](value::kind k) {
        if (v.type() != k) mismatch(c, v);
    };
    switch (c.type) {
    case column_type::byte: want(value::byte_k); out[0] = v.as_byte(); return;
    case column_type::integer: want(value::int16_k); put16(out, static_cast<std::uint16_t>(v.as_int16())); return;
    case column_type::long_integer:
    case column_type::complex: want(value::int32_k); put32(out, static_cast<std::uint32_t>(v.as_int32())); return;
    case column_type::big_int: {
        want(value::int64_k);
        std::int64_t x = v.as_int64();
        std::memcpy(out, &x, 8);
        return;
    }
    case column_type::currency: {
        want(value::currency_k);
        std::int64_t x = v.as_currency().scaled;
        std::memcpy(out, &x, 8);
        return;
    }
    case column_type::single: {
        want(value::single_k);
        float f = v.as_single();
        std::memcpy(out, &f, 4);
        return;
    }
    case column_type::double_: {
        want(value::double_k);
        double d = v.as_double();
        std::memcpy(out, &d, 8);
        return;
    }
    case column_type::datetime: {
        want(value::datetime_k);
        double d = v.as_datetime().days;
        std::memcpy(out, &d, 8);
        return;
    }
    case column_type::guid: want(value::guid_k); std::memcpy(out, v.as_guid().bytes.data(), 16); return;
    case column_type::numeric: {
        want(value::decimal_k);
        u128 m;
        if (!rescale(v.as_decimal(), c.scale, c.precision, m))
            throw error(err_field_too_small, "The field '" + message_text(c.name) + "' is too small to accept the value " +
                                                 v.as_decimal().to_string() + ".");
        out[0] = v.as_decimal().negative && m != 0 ? 0x80 : 0x00;
        std::uint64_t hi = static_cast<std::uint64_t>(m >> 64), lo = static_cast<std::uint64_t>(m);
        put32(out + 1, static_cast<std::uint32_t>(hi >> 32));
        put32(out + 5, static_cast<std::uint32_t>(hi));
        put32(out + 9, static_cast<std::uint32_t>(lo >> 32));
        put32(out + 13, static_cast<std::uint32_t>(lo));
        return;
    }
    default: mismatch(c, v);
    }
}

namespace {

// The bytes of a variable-length value (text, binary, or the data of a long value).
void variable_bytes(const column_def& c, const value& v, bytes& out)
{
    switch (c.type) {
    case column_type::text: {
        if (v.type() != value::text_k) mismatch(c, v);
        if (utf16_length(v.as_text()) * 2 > c.length)
            throw error(err_field_too_small, "The field '" + message_text(c.name) +
                                                 "' is too small to accept the amount of data you attempted to add.");
        encode_text(v.as_text(), c.compressed_unicode(), out);
        return;
    }
    case column_type::memo:
        if (v.type() != value::text_k) mismatch(c, v);
        encode_utf16(v.as_text(), out);
        return;
    case column_type::binary:
    case column_type::ole:
        if (v.type() != value::binary_k) mismatch(c, v);
        if (c.type == column_type::binary && v.as_binary().size() > c.length)
            throw error(err_field_too_small, "The field '" + message_text(c.name) +
                                                 "' is too small to accept the amount of data you attempted to add.");
        out.insert(out.end(), v.as_binary().begin(), v.as_binary().end());
        return;
    default: mismatch(c, v);
    }
}

} // namespace

std::string message_text(std::wstring_view s) { return win_utf8_from_wide(s); }

namespace row_parts {

row_shape shape_of(const table_def& t)
{
    row_shape r;
    for (const auto& c : t.columns) {
        r.columns = std::max<std::size_t>(r.columns, c.number + 1u);
        if (c.fixed())
            r.fixed_end = std::max(r.fixed_end, c.fixed_offset + stored_fixed_size(c.type));
        else
            r.any_variable = true;
    }
    return r;
}

void put_fixed_values(const table_def& t, const std::vector<value>& row, std::uint8_t* fixed,
                      std::vector<std::uint8_t>& mask, mismatch_fn mismatch)
{
    for (std::size_t i = 0; i < t.columns.size(); ++i) {
        const column_def& c = t.columns[i];
        const value& v = row[i];
        if (c.type == column_type::boolean) {
            if (!v.is_null() && v.type() != value::boolean_k) mismatch(c, v);
            if (!v.is_null() && v.as_bool()) mask[c.number / 8] |= static_cast<std::uint8_t>(1u << (c.number % 8));
            continue;
        }
        if (!c.fixed() || v.is_null()) continue;
        encode_fixed(c, v, fixed + c.fixed_offset);
        mask[c.number / 8] |= static_cast<std::uint8_t>(1u << (c.number % 8));
    }
}

std::vector<variable_slot> variable_slots(const table_def& t)
{
    std::vector<variable_slot> slots(t.var_columns);
    for (std::size_t i = 0; i < t.columns.size(); ++i)
        if (!t.columns[i].fixed() && t.columns[i].var_index < slots.size())
            slots[t.columns[i].var_index] = {&t.columns[i], i};
    return slots;
}

void append_variable(const column_def& c, const bytes& data, std::size_t inline_limit, const long_value_sink& sink,
                     bytes& out, name_fn name)
{
    if (c.type == column_type::memo || c.type == column_type::ole) {
        std::uint8_t ref[12] = {};
        if (data.size() <= inline_limit) {
            put32(ref, static_cast<std::uint32_t>(data.size()) | 0x80000000u);
            out.insert(out.end(), ref, ref + 12);
            out.insert(out.end(), data.begin(), data.end());
        } else {
            if (data.size() > 0x3FFFFFFF)
                throw error(err_field_too_small, "A value of column '" + name(c.name) + "' is too long.");
            sink(c, std::span<const std::uint8_t>(data.data(), data.size()), ref);
            out.insert(out.end(), ref, ref + 12);
        }
    } else {
        out.insert(out.end(), data.begin(), data.end());
    }
    if (out.size() > 0xFFFF) throw error(err_record_too_large, "Record is too large.");
}

} // namespace row_parts

void encode_row(const table_def& t, const std::vector<value>& row, std::size_t inline_limit,
                const long_value_sink& sink, bytes& out, const code_page_encoder* jet3_text)
{
    if (jet3_text) {
        encode_row_jet3(t, row, *jet3_text, inline_limit, sink, out);
        return;
    }
    out.clear();
    const row_parts::row_shape shape = row_parts::shape_of(t);
    const auto ncols = static_cast<std::uint16_t>(shape.columns);
    std::vector<std::uint8_t> mask((ncols + 7u) / 8u, 0);
    out.resize(2 + shape.fixed_end, 0);
    put16(out.data(), ncols);
    row_parts::put_fixed_values(t, row, out.data() + 2, mask, mismatch);

    // Variable values in var_index order, each starting where the previous one ended.
    const std::vector<row_parts::variable_slot> vars = row_parts::variable_slots(t);
    std::vector<std::uint16_t> starts(vars.size() + 1, 0);
    bytes data;
    for (std::size_t k = 0; k < vars.size(); ++k) {
        starts[k] = static_cast<std::uint16_t>(std::min<std::size_t>(out.size(), 0xFFFF));
        const column_def* c = vars[k].column;
        if (!c) continue;
        const value& v = row[vars[k].at];
        if (v.is_null()) continue;
        mask[c->number / 8] |= static_cast<std::uint8_t>(1u << (c->number % 8));
        data.clear();
        variable_bytes(*c, v, data);
        row_parts::append_variable(*c, data, inline_limit, sink, out, message_text);
    }
    starts[vars.size()] = static_cast<std::uint16_t>(out.size());

    // Tail: end of data, offsets from the last column back to the first, their count, the null mask.
    std::size_t tail = out.size();
    out.resize(tail + 2 + 2 * vars.size() + 2);
    std::uint8_t* p = out.data() + tail;
    put16(p, starts[vars.size()]);
    p += 2;
    for (std::size_t k = vars.size(); k-- > 0;) {
        put16(p, starts[k]);
        p += 2;
    }
    put16(p, static_cast<std::uint16_t>(vars.size()));
    out.insert(out.end(), mask.begin(), mask.end());
}

} // namespace jet

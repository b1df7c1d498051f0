#include "platform/jet/jet_index_key.h"

#include <algorithm>
#include <cstring>

#include "platform/jet/jet_error.h"
#include "platform/jet/jet_text_key.h"
#include "platform/win/win_utf.h"

namespace jet {

namespace {

using byte_vec = std::vector<std::uint8_t>;

constexpr std::uint8_t asc_start = 0x7F, asc_null = 0x00;
constexpr std::uint8_t desc_start = 0x80, desc_null = 0xFF;
constexpr std::uint16_t general_sort = 1033;

void invert(byte_vec& out, std::size_t from)
{
    for (std::size_t i = from; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(~out[i]);
}

void put_be(byte_vec& out, std::uint64_t v, int n)
{
    for (int i = n - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

[[noreturn]] void wrong_value(const key_column& c, const value& v)
{
    // The value in the message is cut short and its control characters shown as '?': it may be long or hostile.
    std::wstring shown = v.to_wstring();
    const bool cut = shown.size() > 40;
    shown.resize(std::min<std::size_t>(shown.size(), 40));
    for (wchar_t& ch : shown)
        if (ch < 0x20 || ch == 0x7F) ch = L'?';
    throw error(err_corrupt, std::string("an index key of a ") + type_name(c.type) + " column cannot hold the value '" +
                                 win_utf8_from_wide(shown) + (cut ? "..." : "") + "'");
}

// Signed integers: big-endian with the sign bit flipped, so that negatives sort first.
void put_signed(byte_vec& out, std::int64_t v, int n)
{
    std::size_t at = out.size();
    put_be(out, static_cast<std::uint64_t>(v), n);
    out[at] ^= 0x80;
}

// Floating point: positives get the sign bit set, negatives are inverted whole.
void put_float(byte_vec& out, std::uint64_t bits, int n)
{
    std::size_t at = out.size();
    put_be(out, bits, n);
    if (out[at] & 0x80)
        invert(out, at);
    else
        out[at] ^= 0x80;
}

// 128-bit magnitude times 10^k (k small); false on overflow.
bool scale_up(std::uint64_t& hi, std::uint64_t& lo, unsigned k)
{
    for (unsigned i = 0; i < k; ++i) {
        unsigned __int128 l = static_cast<unsigned __int128>(lo) * 10u;
        unsigned __int128 h = static_cast<unsigned __int128>(hi) * 10u + static_cast<std::uint64_t>(l >> 64);
        if (h >> 64) return false;
        lo = static_cast<std::uint64_t>(l);
        hi = static_cast<std::uint64_t>(h);
    }
    return true;
}

// Decimal: a sign byte and the 16-byte big-endian magnitude at the column's scale. Access 2007 and later
// set the sign byte to 0xFF and invert negatives; earlier files invert first and then mark the sign
// byte (0x00 negative, 0xFF positive), which makes descending keys of negatives sort wrongly.
void put_decimal(const key_column& c, const value& v, byte_vec& out)
{
    decimal d = v.as_decimal();
    if (d.scale > c.scale || !scale_up(d.hi, d.lo, static_cast<unsigned>(c.scale - d.scale))) wrong_value(c, v);
    bool negative = d.negative && (d.hi || d.lo);
    std::size_t at = out.size();
    out.push_back(negative ? 0x80 : 0x00);
    put_be(out, d.hi, 8);
    put_be(out, d.lo, 8);
    if (!c.legacy_numeric) out[at] = 0xFF;
    if (negative == c.ascending) invert(out, at);
    if (c.legacy_numeric) out[at] = negative ? 0x00 : 0xFF;
}

// Binary and GUID: 8-byte segments, each followed by 9 when more follow, the last (zero-padded) by its
// length. Descending inverts the data and the last length byte, not the 9s.
void put_segments(const std::uint8_t* p, std::size_t n, bool ascending, byte_vec& out)
{
    while (n > 8) {
        std::size_t at = out.size();
        out.insert(out.end(), p, p + 8);
        if (!ascending) invert(out, at);
        out.push_back(9);
        p += 8;
        n -= 8;
    }
    if (n == 0) return;
    std::size_t at = out.size();
    out.insert(out.end(), p, p + n);
    out.insert(out.end(), 8 - n, 0);
    out.push_back(static_cast<std::uint8_t>(n));
    if (!ascending) invert(out, at);
}

// Date/Time Extended: 42 text bytes in 8-byte blocks separated by 9s, then a fixed trailer.
void put_ext_date(const key_column& c, const value& v, byte_vec& out)
{
    if (v.type() != value::binary_k || v.as_binary().size() != 42) wrong_value(c, v);
    byte_vec b = v.as_binary();
    static const std::uint8_t trailer[] = {0, 0, 0, 0, 0, 0, 2};
    if (!c.ascending) invert(b, 0);
    for (int i = 0; i < 5; ++i) {
        out.insert(out.end(), b.begin() + 8 * i, b.begin() + 8 * i + 8);
        out.push_back(9);
    }
    out.insert(out.end(), b.begin() + 40, b.end());
    std::size_t at = out.size();
    out.insert(out.end(), std::begin(trailer), std::end(trailer));
    if (!c.ascending) invert(out, at);
}

// A GUID in key order: its text order (Data1..Data3 big-endian, then the 8 bytes).
void put_guid(const guid& g, bool ascending, byte_vec& out)
{
    const auto& b = g.bytes;
    std::uint8_t t[16] = {b[3], b[2], b[1], b[0], b[5], b[4], b[7], b[6],
                          b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]};
    put_segments(t, 16, ascending, out);
}

std::uint64_t float_bits(float f)
{
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

std::uint64_t double_bits(double d)
{
    std::uint64_t u;
    std::memcpy(&u, &d, 8);
    return u;
}

void put_value(const key_column& c, const value& v, byte_vec& out)
{
    std::size_t at = out.size();
    switch (c.type) {
    case column_type::byte:
        if (v.type() != value::byte_k) wrong_value(c, v);
        out.push_back(v.as_byte());
        break;
    case column_type::integer:
        if (v.type() != value::int16_k) wrong_value(c, v);
        put_signed(out, v.as_int16(), 2);
        break;
    case column_type::long_integer:
    case column_type::complex:
        if (v.type() != value::int32_k) wrong_value(c, v);
        put_signed(out, v.as_int32(), 4);
        break;
    case column_type::big_int:
        if (v.type() != value::int64_k) wrong_value(c, v);
        put_signed(out, v.as_int64(), 8);
        break;
    case column_type::currency:
        if (v.type() != value::currency_k) wrong_value(c, v);
        put_signed(out, v.as_currency().scaled, 8);
        break;
    case column_type::single:
        if (v.type() != value::single_k) wrong_value(c, v);
        put_float(out, float_bits(v.as_single()), 4);
        break;
    case column_type::double_:
        if (v.type() != value::double_k) wrong_value(c, v);
        put_float(out, double_bits(v.as_double()), 8);
        break;
    case column_type::datetime:
        if (v.type() != value::datetime_k) wrong_value(c, v);
        put_float(out, double_bits(v.as_datetime().days), 8);
        break;
    case column_type::numeric:
        if (v.type() != value::decimal_k) wrong_value(c, v);
        put_decimal(c, v, out);
        return;                                 // order handled inside
    case column_type::guid:
        if (v.type() != value::guid_k) wrong_value(c, v);
        put_guid(v.as_guid(), c.ascending, out);
        return;
    case column_type::binary:
        if (v.type() != value::binary_k) wrong_value(c, v);
        put_segments(v.as_binary().data(), v.as_binary().size(), c.ascending, out);
        return;
    case column_type::text:
    case column_type::memo:
        if (v.type() != value::text_k) wrong_value(c, v);
        append_text_key(v.as_text(), c.order, c.ascending, out);
        return;
    case column_type::ext_datetime:
        put_ext_date(c, v, out);
        return;
    default:
        wrong_value(c, v);
    }
    if (!c.ascending) invert(out, at);
}

bool encodable(column_type t)
{
    switch (t) {
    case column_type::ole: case column_type::unknown_0d: case column_type::unknown_11:
        return false;
    default:
        return true;
    }
}

} // namespace

bool column_text_order(file_format format, const column_def& c, text_order& out)
{
    if (format == file_format::jet3) {
        out = text_order::general_97;
        return c.sort_order == 0 || c.sort_order == general_sort;
    }
    if (c.sort_order == 0) {
        // Files written without a sort order take their generation's default.
        out = format == file_format::ace ? text_order::general : text_order::general_legacy;
        return true;
    }
    if (c.sort_order != general_sort) return false;
    if (c.sort_version == 0) out = text_order::general_legacy;
    else if (c.sort_version == 1) out = text_order::general;
    else return false;
    return true;
}

index_key_layout key_layout(file_format format, const table_def& t, const index_def& x, std::string* why)
{
    index_key_layout k;
    for (const index_column& ic : x.columns) {
        auto it = std::find_if(t.columns.begin(), t.columns.end(),
                               [&](const column_def& cd) { return cd.number == ic.number; });
        if (it == t.columns.end()) throw error(err_corrupt, "an index names a missing column");
        key_column kc;
        kc.type = it->type;
        kc.ascending = ic.ascending;
        kc.scale = it->scale;
        kc.legacy_numeric = format != file_format::ace;
        std::string reason;
        if (it->raw_type != static_cast<std::uint8_t>(it->type))
            reason = "a column of unknown type " + std::to_string(it->raw_type) + " has no known key encoding";
        else if (!encodable(it->type))
            reason = std::string("a column of type ") + type_name(it->type) + " has no key encoding";
        else if ((it->type == column_type::text || it->type == column_type::memo) &&
                 !column_text_order(format, *it, kc.order))
            reason = "text sort order " + std::to_string(it->sort_order) + " version " +
                     std::to_string(it->sort_version) + " is not a General order";
        if (!reason.empty()) {
            if (why) *why = reason;
            return {};
        }
        k.columns.push_back(kc);
        k.positions.push_back(static_cast<std::size_t>(it - t.columns.begin()));
    }
    return k;
}

void append_key_column(const key_column& c, const value& v, std::vector<std::uint8_t>& out)
{
    // A yes/no value lives in the flag's follower: 0x00 for yes, 0xFF for no (inverted descending);
    // a null yes/no keys as no.
    if (c.type == column_type::boolean) {
        bool yes = !v.is_null() && v.type() == value::boolean_k && v.as_bool();
        out.push_back(c.ascending ? asc_start : desc_start);
        out.push_back(yes == c.ascending ? 0x00 : 0xFF);
        return;
    }
    if (v.is_null()) {
        out.push_back(c.ascending ? asc_null : desc_null);
        return;
    }
    out.push_back(c.ascending ? asc_start : desc_start);
    put_value(c, v, out);
}

void encode_key(const index_key_layout& k, const std::vector<value>& row, std::vector<std::uint8_t>& out)
{
    out.clear();
    for (std::size_t i = 0; i < k.columns.size(); ++i) {
        if (k.positions[i] >= row.size()) throw error(err_corrupt, "a row has fewer values than its index needs");
        append_key_column(k.columns[i], row[k.positions[i]], out);
    }
}

bool all_null_key(const index_key_layout& k, const std::vector<std::uint8_t>& key)
{
    if (key.size() != k.columns.size()) return false;
    for (std::size_t i = 0; i < key.size(); ++i)
        if (k.columns[i].type == column_type::boolean || key[i] != (k.columns[i].ascending ? asc_null : desc_null))
            return false;
    return true;
}

bool has_duplicate_key(const index_key_layout& k, const std::vector<index_entry>& sorted)
{
    for (std::size_t i = 1; i < sorted.size(); ++i)
        if (sorted[i].key == sorted[i - 1].key && !all_null_key(k, sorted[i].key)) return true;
    return false;
}

} // namespace jet

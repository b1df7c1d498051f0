#include "platform/jet/jet_tdef_write.h"
#include "platform/jet/jet_write3.h"

namespace jet {

namespace {

void put8(bytes& b, std::uint8_t v) { b.push_back(v); }
void put16(bytes& b, std::uint32_t v)
{
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(bytes& b, std::uint32_t v)
{
    put16(b, v);
    put16(b, v >> 16);
}
void put_pointer(bytes& b, row_pointer p)
{
    put8(b, p.row);
    put8(b, static_cast<std::uint8_t>(p.page));
    put16(b, p.page >> 8);
}
// A name: one length byte, then the name in the code page (at most 64 bytes, as Access allows).
void put_name(bytes& b, const std::wstring& name, const code_page_encoder& text)
{
    bytes n;
    text.encode_or_throw(name, "the name '" + message_text(name) + "'", n);
    if (n.size() > 255) throw error(err_type_conversion, "A name of an Access 97 database is too long.");
    put8(b, static_cast<std::uint8_t>(n.size()));
    b.insert(b.end(), n.begin(), n.end());
}

// One 18-byte column definition: type, number, slot among the variable columns (for a fixed column
// the number of variable columns before it), number again, a constant 1, the General sort order and
// the code page (on every column), flags, fixed offset, length.
void put_column(bytes& b, const column_def& c, std::uint16_t var_before, bool user, int code_page)
{
    put8(b, static_cast<std::uint8_t>(c.type));
    put16(b, c.number);
    put16(b, c.fixed() ? var_before : c.var_index);
    put16(b, c.number);
    put16(b, 1);
    put16(b, 0x0409);
    put16(b, static_cast<std::uint32_t>(code_page));
    put8(b, static_cast<std::uint8_t>(user ? c.flags & ~0x10 : c.flags));
    put16(b, c.fixed() ? c.fixed_offset : 0);
    put16(b, c.length);
}

} // namespace

bytes build_tdef_jet3(const tdef_image& t, const code_page_encoder& text)
{
    const table_def& d = *t.def;
    const bool user = t.table_type == 0x4E;
    std::uint16_t var_count = 0;
    for (const auto& c : d.columns)
        if (!c.fixed()) ++var_count;
    bytes b;
    b.reserve(2048);
    put8(b, 0x02);
    put8(b, 0x01);
    put8(b, 'V');
    put8(b, 'C');
    put32(b, 0);             // next definition page: set by the page writer
    put32(b, 0);             // length: set below
    put32(b, t.rows);
    put32(b, t.next_auto_number);
    put8(b, t.table_type);
    put16(b, static_cast<std::uint32_t>(d.columns.size()));
    put16(b, var_count);
    put16(b, static_cast<std::uint32_t>(d.columns.size()));
    put32(b, static_cast<std::uint32_t>(d.indexes.size()));
    put32(b, static_cast<std::uint32_t>(t.reals.size()));
    put_pointer(b, d.owned_pages);
    put_pointer(b, d.free_pages);
    for (std::size_t i = 0; i < t.reals.size(); ++i) {
        put32(b, 0);
        put32(b, t.rows);
    }
    std::uint16_t var_before = 0;
    for (const auto& c : d.columns) {
        put_column(b, c, var_before, user, text.code_page());
        if (!c.fixed()) ++var_before;
    }
    for (const auto& c : d.columns) put_name(b, c.name, text);
    for (const auto& r : t.reals) {
        for (std::size_t k = 0; k < 10; ++k) {
            if (k < r.columns.size()) {
                put16(b, r.columns[k].number);
                put8(b, r.columns[k].ascending ? 0x01 : 0x00);
            } else {
                put16(b, 0xFFFF);
                put8(b, 0);
            }
        }
        put_pointer(b, r.map);
        put32(b, r.root);
        put8(b, r.flags);
    }
    for (const auto& x : d.indexes) {
        put32(b, static_cast<std::uint32_t>(x.number));
        put32(b, static_cast<std::uint32_t>(x.real_index));
        if (x.foreign()) {
            put8(b, x.ref_table_type);
            put32(b, static_cast<std::uint32_t>(x.ref_index));
            put32(b, x.ref_table_page);
            put8(b, x.cascade_updates ? 0x01 : 0x00);
            put8(b, static_cast<std::uint8_t>((x.cascade_deletes ? 0x01 : 0x00) | (x.cascade_null ? 0x02 : 0x00)));
        } else {
            put8(b, 0);
            put32(b, 0xFFFFFFFFu);
            put32(b, 0);
            put8(b, 0x04);
            put8(b, 0x04);
        }
        put8(b, x.kind);
    }
    for (const auto& x : d.indexes) put_name(b, x.name, text);
    for (const auto& lv : t.long_values) {
        put16(b, lv.column_number);
        put_pointer(b, lv.owned);
        put_pointer(b, lv.free);
    }
    put16(b, 0xFFFF);
    b.resize(b.size() + 8, 0);
    std::uint32_t len = static_cast<std::uint32_t>(b.size() - 8);
    for (int i = 0; i < 4; ++i) b[8 + i] = static_cast<std::uint8_t>(len >> (8 * i));
    return b;
}

} // namespace jet

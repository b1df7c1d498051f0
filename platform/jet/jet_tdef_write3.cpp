#include "platform/jet/jet_tdef_write.h"

#include "platform/jet/jet_put.h"
#include "platform/jet/jet_write3.h"

namespace jet {

namespace {

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
    tdef_parts::put_counts(b, d, t.reals.size());
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
        tdef_parts::put_index_columns(b, r);
        put_pointer(b, r.map);
        put32(b, r.root);
        put8(b, r.flags);
    }
    for (const auto& x : d.indexes) {
        put32(b, static_cast<std::uint32_t>(x.number));
        put32(b, static_cast<std::uint32_t>(x.real_index));
        tdef_parts::put_index_reference(b, x, 0x04);   // Jet3 marks a plain index 04 04
        put8(b, x.kind);
    }
    for (const auto& x : d.indexes) put_name(b, x.name, text);
    tdef_parts::finish(b, t);
    return b;
}

} // namespace jet

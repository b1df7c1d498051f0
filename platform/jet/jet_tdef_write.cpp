#include "platform/jet/jet_tdef_write.h"

#include "platform/jet/jet_encode.h"
#include "platform/jet/jet_put.h"
#include "platform/jet/jet_write3.h"

namespace jet {

namespace {

constexpr std::uint32_t table_magic = 0x0659;
constexpr std::uint32_t index_magic = 0x0783;

void put_name(bytes& b, const std::wstring& name)
{
    bytes n;
    encode_utf16(name, n);
    put16(b, static_cast<std::uint32_t>(n.size()));
    b.insert(b.end(), n.begin(), n.end());
}

void put_column(bytes& b, const column_def& c)
{
    put8(b, static_cast<std::uint8_t>(c.type));
    put32(b, table_magic);
    put16(b, c.number);
    put16(b, c.fixed() ? 0 : c.var_index);
    put16(b, c.number);
    if (c.type == column_type::text || c.type == column_type::memo) {
        put16(b, 0x0409); // General sort order, in the version the file's format uses
        put8(b, 0);
        put8(b, c.sort_version);
    } else if (c.type == column_type::numeric) {
        put8(b, c.precision);
        put8(b, c.scale);
        put16(b, 0);
    } else {
        put32(b, 0);
    }
    put8(b, c.flags);
    put8(b, c.ext_flags);
    put32(b, 0);
    put16(b, c.fixed() ? c.fixed_offset : 0);
    put16(b, c.length);
}

} // namespace

namespace tdef_parts {

void put_counts(bytes& b, const table_def& d, std::size_t reals)
{
    std::uint16_t var_count = 0;
    for (const auto& c : d.columns)
        if (!c.fixed()) ++var_count;
    put16(b, static_cast<std::uint32_t>(d.columns.size()));
    put16(b, var_count);
    put16(b, static_cast<std::uint32_t>(d.columns.size()));
    put32(b, static_cast<std::uint32_t>(d.indexes.size()));
    put32(b, static_cast<std::uint32_t>(reals));
    put_pointer(b, d.owned_pages);
    put_pointer(b, d.free_pages);
}

void put_index_columns(bytes& b, const real_index_image& r)
{
    for (std::size_t k = 0; k < 10; ++k) {
        if (k < r.columns.size()) {
            put16(b, r.columns[k].number);
            put8(b, r.columns[k].ascending ? 0x01 : 0x00);
        } else {
            put16(b, 0xFFFF);
            put8(b, 0);
        }
    }
}

void put_index_reference(bytes& b, const index_def& x, std::uint8_t plain_flags)
{
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
        put8(b, plain_flags);
        put8(b, plain_flags);
    }
}

void finish(bytes& b, const tdef_image& t)
{
    for (const auto& lv : t.long_values) {
        put16(b, lv.column_number);
        put_pointer(b, lv.owned);
        put_pointer(b, lv.free);
    }
    put16(b, 0xFFFF);
    b.resize(b.size() + 8, 0);
    put32(b.data() + 8, static_cast<std::uint32_t>(b.size() - 8));
}

} // namespace tdef_parts

bytes build_tdef(const tdef_image& t)
{
    if (t.format == file_format::jet3) {
        if (!t.text) throw error(err_corrupt, "a Jet3 table definition needs the file's code page");
        return build_tdef_jet3(t, *t.text);
    }
    const table_def& d = *t.def;
    bytes b;
    b.reserve(4096);
    put8(b, 0x02);
    put8(b, 0x01);
    put16(b, 0);             // free space: set by the page writer
    put32(b, 0);             // next definition page: set by the page writer
    put32(b, 0);             // length: set below
    put32(b, table_magic);
    put32(b, t.rows);
    put32(b, t.next_auto_number);
    put8(b, 1);              // auto-numbers in use
    b.resize(b.size() + 15, 0);
    put8(b, t.table_type);
    tdef_parts::put_counts(b, d, t.reals.size());
    for (std::size_t i = 0; i < t.reals.size(); ++i) {
        put32(b, 0);
        put32(b, t.rows);
        put32(b, 0);
    }
    for (const auto& c : d.columns) put_column(b, c);
    for (const auto& c : d.columns) put_name(b, c.name);
    for (const auto& r : t.reals) {
        put32(b, index_magic);
        tdef_parts::put_index_columns(b, r);
        put_pointer(b, r.map);
        put32(b, r.root);
        put32(b, 0);
        put8(b, static_cast<std::uint8_t>(r.flags | 0x80));
        b.resize(b.size() + 5, 0);
    }
    for (const auto& x : d.indexes) {
        put32(b, table_magic);
        put32(b, static_cast<std::uint32_t>(x.number));
        put32(b, static_cast<std::uint32_t>(x.real_index));
        tdef_parts::put_index_reference(b, x, 0);
        put8(b, x.kind);
        put32(b, 0);
    }
    for (const auto& x : d.indexes) put_name(b, x.name);
    tdef_parts::finish(b, t);
    return b;
}

} // namespace jet

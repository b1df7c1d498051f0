#include "platform/jet/jet_table.h"

#include <algorithm>

#include "platform/jet/jet_file.h"
#include "platform/jet/jet_text.h"
#include "platform/win/win_utf.h"

namespace jet {

std::uint32_t column_def::size(bool wide) const
{
    if (type == column_type::text) return wide ? length / 2u : length;
    if (type == column_type::memo || type == column_type::ole) return 0;
    return length;
}

int table_def::find_column(std::wstring_view column_name) const
{
    for (std::size_t i = 0; i < columns.size(); ++i)
        if (same_name(columns[i].name, column_name)) return static_cast<int>(i);
    return -1;
}

namespace {

// Bounds-checked reading of a table definition assembled from its page chain.
class tdef_reader {
public:
    tdef_reader(const page_file& f, std::vector<std::uint8_t> data, std::uint32_t page)
        : f_(f), d_(std::move(data)), page_(page)
    {
    }

    const std::uint8_t* at(std::size_t pos, std::size_t n) const
    {
        if (pos > d_.size() || n > d_.size() - pos)
            f_.corrupt("the definition of table at page " + std::to_string(page_) + " is cut short");
        return d_.data() + pos;
    }
    std::uint8_t u8(std::size_t pos) const { return *at(pos, 1); }
    std::uint16_t u16(std::size_t pos) const { return rd16(at(pos, 2)); }
    std::uint32_t u32(std::size_t pos) const { return rd32(at(pos, 4)); }

    std::wstring name(std::size_t& pos) const
    {
        std::size_t len = f_.layout().name_len_size == 1 ? u8(pos) : u16(pos);
        pos += f_.layout().name_len_size;
        std::wstring out;
        const std::uint8_t* p = at(pos, len);
        if (f_.layout().wide)
            decode_unicode_text(p, len, out);
        else
            f_.decode_text(p, len, out);
        pos += len;
        return out;
    }

private:
    const page_file& f_;
    std::vector<std::uint8_t> d_;
    std::uint32_t page_;
};

// Each column has a number of its own (its bit in a row's null mask): two columns that share one
// read each other's presence.
void check_distinct(const page_file& f, const table_def& t, std::size_t i)
{
    const column_def& c = t.columns[i];
    for (std::size_t k = 0; k < i; ++k)
        if (t.columns[k].number == c.number)
            f.corrupt("column '" + win_utf8_from_wide(c.name) + "' of table '" + win_utf8_from_wide(t.name) +
                      "' has the number " + std::to_string(c.number) + ", which column '" +
                      win_utf8_from_wide(t.columns[k].name) + "' has too");
}

} // namespace

bool known_column_type(std::uint8_t t)
{
    switch (t) {
    case 0x01: case 0x02: case 0x03: case 0x04: case 0x05: case 0x06: case 0x07: case 0x08: case 0x09:
    case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x0F: case 0x10: case 0x11: case 0x12: case 0x13:
    case 0x14:
        return true;
    default:
        return false;
    }
}

namespace {

// A column whose description contradicts the format or its table is a damaged definition: read
// on, its values would come out as something else (bytes, NULL, a text without limit).
void check_column(const page_file& f, const table_def& t, const column_def& c)
{
    const std::string where = "column '" + win_utf8_from_wide(c.name) + "' of table '" + win_utf8_from_wide(t.name) + "'";
    if (!known_column_type(c.raw_type)) f.corrupt(where + " has the unknown type code " + std::to_string(c.raw_type));
    // Column numbers are given below the table's count of the columns it ever had (a deleted
    // column's number is not given again); the number is the column's bit in each row.
    const std::size_t numbers = std::max<std::size_t>(t.max_columns, t.columns.size());
    if (c.number >= numbers)
        f.corrupt(where + " has the number " + std::to_string(c.number) + ", past the " + std::to_string(numbers) +
                  " columns the table counts");
    if (!c.fixed() && c.var_index >= t.var_columns)
        f.corrupt(where + " stands at variable slot " + std::to_string(c.var_index) + " of the " +
                  std::to_string(t.var_columns) + " the table has");
    const std::uint16_t text_max = f.layout().wide ? 510 : 255;   // 255 characters
    if (c.type == column_type::text && c.length > text_max)
        f.corrupt(where + " declares a text of " + std::to_string(c.length) + " bytes, more than the format holds (" +
                  std::to_string(text_max) + ")");
}

} // namespace

table_def read_table_def(const page_file& file, std::uint32_t page, const std::wstring& name)
{
    const format_layout& L = file.layout();
    std::vector<std::uint8_t> scratch;
    std::vector<std::uint8_t> data;
    std::uint32_t p = page;
    for (std::uint32_t hops = 0; p != 0; ++hops) {
        if (hops > file.page_count()) file.corrupt("the definition of table at page " + std::to_string(page) + " loops");
        const std::uint8_t* pg = file.page(p, scratch);
        if (pg[0] != 0x02)
            file.corrupt("page " + std::to_string(p) + " is not a table definition (table '" +
                         win_utf8_from_wide(name) + "')");
        if (data.empty())
            data.assign(pg, pg + L.page_size);
        else
            data.insert(data.end(), pg + 8, pg + L.page_size);
        p = rd32(pg + 4);
        if (data.size() > 64u * 1024 * 1024) file.corrupt("a table definition is implausibly long");
    }

    tdef_reader r(file, std::move(data), page);
    table_def t;
    t.name = name;
    t.tdef_page = page;
    t.header_row_count = r.u32(L.tdef_rows_at);
    t.next_auto_number = r.u32(L.tdef_autonum_at);
    t.table_type = r.u8(L.tdef_table_type_at);
    t.max_columns = r.u16(L.tdef_max_cols_at);
    t.var_columns = r.u16(L.tdef_var_cols_at);
    std::uint16_t ncols = r.u16(L.tdef_cols_at);
    std::uint32_t nlogical = r.u32(L.tdef_logical_idx_at);
    std::uint32_t nreal = r.u32(L.tdef_real_idx_at);
    if (nlogical > 1000 || nreal > 1000) file.corrupt("table '" + win_utf8_from_wide(name) + "' has an impossible index count");
    const std::uint8_t* up = r.at(L.tdef_usage_at, 8);
    t.owned_pages = {rd24(up + 1), up[0]};
    t.free_pages = {rd24(up + 5), up[4]};

    std::size_t pos = L.tdef_blocks_at + static_cast<std::size_t>(nreal) * L.real_idx_count_size;
    std::size_t col_start = pos;
    t.columns.resize(ncols);
    for (std::uint16_t i = 0; i < ncols; ++i) {
        std::size_t c = col_start + static_cast<std::size_t>(i) * L.column_def_size;
        const std::uint8_t* d = r.at(c, L.column_def_size);
        column_def& col = t.columns[i];
        col.raw_type = d[0];
        col.type = static_cast<column_type>(d[0]);
        col.position = i;
        if (L.wide) {
            col.number = rd16(d + 5);
            col.var_index = rd16(d + 7);
            col.precision = d[11];
            col.scale = d[12];
            col.sort_order = rd16(d + 11);
            col.sort_version = d[14];
            if (col.type == column_type::complex) col.complex_id = rd32(d + 11);
            col.flags = d[15];
            col.ext_flags = d[16];
            col.fixed_offset = rd16(d + 21);
            col.length = rd16(d + 23);
        } else {
            col.number = rd16(d + 1);
            col.var_index = rd16(d + 3);
            col.sort_order = rd16(d + 9);
            col.code_page = rd16(d + 11);
            col.precision = d[11];
            col.scale = d[12];
            col.flags = d[13];
            col.fixed_offset = rd16(d + 14);
            col.length = rd16(d + 16);
        }
        if (col.type != column_type::numeric) col.precision = col.scale = 0;
    }
    pos = col_start + static_cast<std::size_t>(ncols) * L.column_def_size;
    for (std::uint16_t i = 0; i < ncols; ++i) {
        t.columns[i].name = r.name(pos);
        if (t.columns[i].name.empty())
            file.corrupt("column " + std::to_string(i + 1) + " of table '" + win_utf8_from_wide(name) +
                         "' has no name");
        // Access names a column with 64 characters at most: a longer name is read from damaged bytes.
        if (t.columns[i].name.size() > longest_object_name)
            file.corrupt("column " + std::to_string(i + 1) + " of table '" + win_utf8_from_wide(name) + "' has a name of " +
                         std::to_string(t.columns[i].name.size()) + " characters, more than the " +
                         std::to_string(longest_object_name) + " a column's name can have");
        check_column(file, t, t.columns[i]);
        check_distinct(file, t, i);
    }

    // Real indexes: columns and flags.
    struct real_index {
        std::vector<index_column> columns;
        std::uint32_t root = 0;
        std::uint8_t flags = 0;
    };
    std::vector<real_index> reals(nreal);
    for (std::uint32_t i = 0; i < nreal; ++i) {
        const std::uint8_t* d = r.at(pos, L.real_idx_def_size);
        const std::uint8_t* c = d + (L.wide ? 4 : 0);
        for (int k = 0; k < 10; ++k) {
            std::uint16_t num = rd16(c + 3 * k);
            if (num == 0xFFFF) continue;
            index_column ic;
            ic.number = num;
            ic.ascending = (c[3 * k + 2] & 0x01) != 0;
            auto it = std::find_if(t.columns.begin(), t.columns.end(), [&](const column_def& cd) { return cd.number == num; });
            if (it == t.columns.end())
                file.corrupt("an index of table '" + win_utf8_from_wide(name) + "' names a missing column");
            ic.name = it->name;
            reals[i].columns.push_back(std::move(ic));
        }
        const std::uint8_t* after = c + 30;
        reals[i].root = rd32(after + 4);
        reals[i].flags = L.wide ? after[12] : after[8];
        pos += L.real_idx_def_size;
    }

    // Logical indexes.
    t.indexes.resize(nlogical);
    for (std::uint32_t i = 0; i < nlogical; ++i) {
        const std::uint8_t* d = r.at(pos, L.logical_idx_def_size) + (L.wide ? 4 : 0);
        index_def& x = t.indexes[i];
        x.number = static_cast<std::int32_t>(rd32(d));
        x.real_index = static_cast<std::int32_t>(rd32(d + 4));
        x.ref_table_type = d[8];
        x.ref_index = static_cast<std::int32_t>(rd32(d + 9));
        x.ref_table_page = rd32(d + 13);
        std::uint8_t ups = d[17], dels = d[18];
        x.kind = d[19];
        if (x.kind == 2 && x.ref_index != -1) {
            x.cascade_updates = ups & 0x01;
            x.cascade_deletes = dels & 0x01;
            x.cascade_null = dels & 0x02;
        } else {
            x.ref_index = -1;
            x.ref_table_page = 0;
        }
        if (x.real_index < 0 || static_cast<std::uint32_t>(x.real_index) >= nreal)
            file.corrupt("an index of table '" + win_utf8_from_wide(name) + "' has no index data");
        const real_index& ri = reals[static_cast<std::size_t>(x.real_index)];
        x.columns = ri.columns;
        x.real_flags = ri.flags;
        x.root_page = ri.root;
        pos += L.logical_idx_def_size;
    }
    for (std::uint32_t i = 0; i < nlogical; ++i) t.indexes[i].name = r.name(pos);

    std::stable_sort(t.columns.begin(), t.columns.end(),
                     [](const column_def& a, const column_def& b) { return a.number < b.number; });
    std::stable_sort(t.indexes.begin(), t.indexes.end(),
                     [](const index_def& a, const index_def& b) { return a.number < b.number; });
    return t;
}

} // namespace jet

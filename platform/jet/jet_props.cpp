#include "platform/jet/jet_props.h"

#include <cwctype>

#include "platform/jet/jet_cursor.h"
#include "platform/jet/jet_file.h"
#include "platform/jet/jet_text.h"

namespace jet {

bool same_name(std::wstring_view a, std::wstring_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i])))
            return false;
    return true;
}

const property* property_map::find(std::wstring_view prop_name) const
{
    for (const auto& p : items)
        if (same_name(p.name, prop_name)) return &p;
    return nullptr;
}

const value& property_map::get(std::wstring_view prop_name) const
{
    static const value null_value;
    const property* p = find(prop_name);
    return p ? p->data : null_value;
}

const property_map& property_maps::object() const
{
    static const property_map empty;
    for (const auto& m : maps)
        if (m.name.empty()) return m;
    return empty;
}

const property_map& property_maps::column(std::wstring_view column_name) const
{
    static const property_map empty;
    for (const auto& m : maps)
        if (!m.name.empty() && same_name(m.name, column_name)) return m;
    return empty;
}

property_maps parse_properties(const page_file& file, std::span<const std::uint8_t> blob)
{
    property_maps out;
    if (blob.empty()) return out;
    auto bad = [&](const char* what) { file.corrupt(std::string("object properties: ") + what); };
    if (blob.size() < 4) bad("too short");
    bool known = (blob[0] == 'M' && blob[1] == 'R' && blob[2] == '2' && blob[3] == 0) ||
                 (blob[0] == 'K' && blob[1] == 'K' && blob[2] == 'D' && blob[3] == 0);
    if (!known) bad("unknown format");
    const bool wide = file.layout().wide;
    auto read_name = [&](std::size_t& pos, std::size_t end) {
        if (pos + 2 > end) bad("a name runs past its block");
        std::size_t len = rd16(blob.data() + pos);
        pos += 2;
        if (len > end - pos) bad("a name runs past its block");
        std::wstring s;
        if (wide)
            append_utf16le(blob.data() + pos, len, s);
        else
            file.decode_text(blob.data() + pos, len, s);
        pos += len;
        return s;
    };

    std::vector<std::wstring> names;
    std::size_t pos = 4;
    while (pos + 6 <= blob.size()) {
        std::uint32_t len = rd32(blob.data() + pos);
        std::uint16_t type = rd16(blob.data() + pos + 4);
        if (len < 6 || len > blob.size() - pos) bad("a block runs past the end");
        std::size_t end = pos + len;
        std::size_t p = pos + 6;
        if (type == 0x80) {
            while (p < end) names.push_back(read_name(p, end));
        } else {
            property_map m;
            m.block_type = type;
            if (p + 4 <= end) {
                std::uint32_t name_block = rd32(blob.data() + p);
                if (name_block < 4 || name_block > end - p) bad("a map name runs past its block");
                std::size_t np = p + 4;
                if (name_block > 6) m.name = read_name(np, p + name_block);
                p += name_block;
            }
            while (p + 8 <= end) {
                std::uint16_t vlen = rd16(blob.data() + p);
                if (vlen < 8 || vlen > end - p) bad("a value runs past its block");
                property prop;
                prop.ddl = blob[p + 2] != 0;
                prop.type = static_cast<column_type>(blob[p + 3]);
                std::uint16_t name_index = rd16(blob.data() + p + 4);
                std::uint16_t dlen = rd16(blob.data() + p + 6);
                if (dlen > vlen - 8) bad("a value is longer than its entry");
                if (name_index >= names.size()) bad("a value has no name");
                prop.name = names[name_index];
                const std::uint8_t* d = blob.data() + p + 8;
                switch (prop.type) {
                case column_type::text:
                case column_type::memo: {
                    std::wstring& s = prop.data.set_text();
                    file.decode_text(d, dlen, s);
                    break;
                }
                case column_type::boolean: prop.data = value(dlen > 0 && d[0] != 0); break;
                case column_type::byte: case column_type::integer: case column_type::long_integer:
                case column_type::currency: case column_type::single: case column_type::double_:
                case column_type::datetime: case column_type::guid: case column_type::numeric:
                case column_type::big_int: case column_type::complex: {
                    // A value shorter than its type is kept as bytes rather than rejected.
                    static const std::size_t sizes[] = {0, 1, 1, 2, 4, 8, 4, 8, 8};
                    std::size_t need = static_cast<std::size_t>(prop.type) <= 8 ? sizes[static_cast<int>(prop.type)]
                                     : prop.type == column_type::guid ? 16
                                     : prop.type == column_type::numeric ? 17
                                     : prop.type == column_type::big_int ? 8 : 4;
                    if (dlen >= need)
                        decode_value(file, prop.type, d, dlen, prop.data);
                    else
                        prop.data.set_binary().assign(d, d + dlen);
                    break;
                }
                default: prop.data.set_binary().assign(d, d + dlen); break;
                }
                m.items.push_back(std::move(prop));
                p += vlen;
            }
            out.maps.push_back(std::move(m));
        }
        pos = end;
    }
    return out;
}

} // namespace jet

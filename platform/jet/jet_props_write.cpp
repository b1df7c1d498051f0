#include "platform/jet/jet_encode.h"
#include "platform/jet/jet_props.h"
#include "platform/jet/jet_put.h"
#include "platform/jet/jet_write3.h"

namespace jet {

namespace {

// Text of a property block: UTF-16LE, or the code page of a Jet3 file.
void put_text(const std::wstring& s, const code_page_encoder* jet3_text, bytes& out)
{
    if (jet3_text)
        jet3_text->encode_or_throw(s, "the property text '" + message_text(s) + "'", out);
    else
        encode_utf16(s, out);
}
void put_name(bytes& b, const std::wstring& s, const code_page_encoder* jet3_text)
{
    bytes n;
    put_text(s, jet3_text, n);
    put16(b, static_cast<std::uint32_t>(n.size()));
    b.insert(b.end(), n.begin(), n.end());
}

// The stored bytes of a property value.
bytes property_data(const property& p, const code_page_encoder* jet3_text)
{
    bytes d;
    const value& v = p.data;
    switch (v.type()) {
    case value::null_k: break;
    case value::text_k: put_text(v.as_text(), jet3_text, d); break;
    case value::boolean_k: d.push_back(v.as_bool() ? 0xFF : 0x00); break;
    case value::byte_k: d.push_back(v.as_byte()); break;
    case value::int16_k: put16(d, static_cast<std::uint16_t>(v.as_int16())); break;
    case value::int32_k:
        put16(d, static_cast<std::uint32_t>(v.as_int32()));
        put16(d, static_cast<std::uint32_t>(v.as_int32()) >> 16);
        break;
    case value::binary_k: d = v.as_binary(); break;
    default: {
        column_def c;
        c.type = p.type;
        d.resize(stored_fixed_size(p.type));
        if (!d.empty()) encode_fixed(c, v, d.data());
        break;
    }
    }
    return d;
}

} // namespace

bytes encode_properties(const property_maps& maps, const code_page_encoder* jet3_text)
{
    std::vector<std::wstring> names;
    auto name_index = [&](const std::wstring& n) {
        for (std::size_t i = 0; i < names.size(); ++i)
            if (same_name(names[i], n)) return i;
        names.push_back(n);
        return names.size() - 1;
    };
    for (const auto& m : maps.maps)
        for (const auto& p : m.items) name_index(p.name);

    bytes out = jet3_text ? bytes{'K', 'K', 'D', 0} : bytes{'M', 'R', '2', 0};
    std::size_t start = out.size();
    out.resize(out.size() + 4);
    put16(out, 0x80);
    for (const auto& n : names) put_name(out, n, jet3_text);
    put32(out.data() + start, static_cast<std::uint32_t>(out.size() - start));

    for (const auto& m : maps.maps) {
        start = out.size();
        out.resize(out.size() + 4);
        put16(out, m.name.empty() ? 0 : 1);
        std::size_t name_start = out.size();
        out.resize(out.size() + 4);
        put_name(out, m.name, jet3_text);
        put32(out.data() + name_start, static_cast<std::uint32_t>(out.size() - name_start));
        for (const auto& p : m.items) {
            bytes d = property_data(p, jet3_text);
            put16(out, static_cast<std::uint32_t>(8 + d.size()));
            out.push_back(p.ddl ? 1 : 0);
            out.push_back(static_cast<std::uint8_t>(p.type));
            put16(out, static_cast<std::uint32_t>(name_index(p.name)));
            put16(out, static_cast<std::uint32_t>(d.size()));
            out.insert(out.end(), d.begin(), d.end());
        }
        put32(out.data() + start, static_cast<std::uint32_t>(out.size() - start));
    }
    return out;
}

} // namespace jet

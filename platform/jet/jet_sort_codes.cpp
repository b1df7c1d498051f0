#include "platform/jet/jet_sort_codes.h"

#include <algorithm>
#include <cstring>

namespace jet {

namespace {

using sort_codes::sort_run;

// Adds `n` to a big-endian code. With `skip_low`, the last byte counts 0x02..0xFF only: 0x00 and 0x01
// end a text in a key, so no code may end in them.
void step_code(std::uint8_t* code, std::uint8_t len, std::uint32_t n, bool skip_low)
{
    if (len == 0 || n == 0) return;
    std::uint32_t carry;
    std::uint8_t& last = code[len - 1];
    if (skip_low) {
        std::uint32_t v = (last - 2u) + n;
        carry = v / 254u;
        last = static_cast<std::uint8_t>(v % 254u + 2u);
    } else {
        std::uint32_t v = last + n;
        carry = v >> 8;
        last = static_cast<std::uint8_t>(v & 0xFF);
    }
    for (int i = len - 2; i >= 0 && carry; --i) {
        std::uint32_t v = code[i] + carry;
        carry = v >> 8;
        code[i] = static_cast<std::uint8_t>(v & 0xFF);
    }
}

// Surrogate halves are not tabled in the 2000+ orders: their codes follow from their value.
char_code surrogate_code(char16_t unit)
{
    static const std::uint8_t surrogate_extra[] = {0x3F};
    std::uint32_t c = unit;
    std::uint32_t index;
    if (c < 0xDC00) {
        index = c - 10238u;
    } else {
        // A low half's offset depends on its place in the 1024-unit block.
        std::uint32_t in_block = (c - 0xDC00u) % 1024u;
        std::uint32_t offset = in_block < 8 ? 9992u : in_block < 262 ? 9990u : in_block < 516 ? 9988u
                                                                   : in_block < 770 ? 9986u : 9984u;
        index = c - offset;
    }
    char_code out;
    out.kind = code_kind::accented;
    out.code[0] = static_cast<std::uint8_t>(index >> 8);
    out.code[1] = static_cast<std::uint8_t>(index & 0xFF);
    out.code_len = 2;
    out.extra = surrogate_extra;
    return out;
}

char_code from_runs(const sort_run* runs, std::size_t count, char16_t unit)
{
    const sort_run* end = runs + count;
    const sort_run* r = std::upper_bound(runs, end, unit,
                                         [](char16_t u, const sort_run& x) { return u < x.first; });
    if (r == runs) return {};
    --r;
    std::uint32_t n = static_cast<std::uint32_t>(unit) - r->first;
    if (n >= r->count) return {};
    char_code out;
    out.kind = static_cast<code_kind>(r->kind);
    std::size_t need = static_cast<std::size_t>(r->pool_at) + r->code_len + r->extra_len;
    if (r->code_len > sizeof out.code || need > sort_codes::pool_size) return {};
    std::memcpy(out.code, sort_codes::pool + r->pool_at, r->code_len);
    out.code_len = r->code_len;
    step_code(out.code, out.code_len, n * (r->step & 0x7Fu), (r->step & 0x80) != 0);
    out.extra = {sort_codes::pool + r->pool_at + r->code_len, r->extra_len};
    return out;
}

char_code looked_up(text_order order, char16_t unit);

// The first 256 units of each order, looked up once: most text keys use only them.
struct latin_table {
    char_code codes[3][256];
    latin_table()
    {
        for (int o = 0; o < 3; ++o)
            for (char16_t u = 0; u < 256; ++u) codes[o][u] = looked_up(static_cast<text_order>(o), u);
    }
};

char_code looked_up(text_order order, char16_t unit)
{
    switch (order) {
    case text_order::general:
        if (unit >= 0xD800 && unit <= 0xDFFF) return surrogate_code(unit);
        return from_runs(sort_codes::general_runs, sort_codes::general_runs_count, unit);
    case text_order::general_legacy:
        if (unit >= 0xD800 && unit <= 0xDFFF) return surrogate_code(unit);
        return from_runs(sort_codes::legacy_runs, sort_codes::legacy_runs_count, unit);
    case text_order::general_97:
        if (unit > 0xFF) {
            // A few characters beyond Latin-1 have a single-byte equivalent; the rest are ignored.
            const auto* m = sort_codes::general97_mappings;
            const auto* e = m + sort_codes::general97_mappings_count;
            const auto* hit = std::find_if(m, e, [&](const auto& p) { return p.first == unit; });
            if (hit == e) return {};
            unit = hit->second;
        }
        return from_runs(sort_codes::general97_runs, sort_codes::general97_runs_count, unit);
    }
    return {};
}

} // namespace

char_code code_of(text_order order, char16_t unit)
{
    static const latin_table latin;
    auto o = static_cast<std::size_t>(order);
    if (unit < 256 && o < 3) return latin.codes[o][unit];
    return looked_up(order, unit);
}

} // namespace jet

#include "platform/jet/jet_index_page.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/jet/jet_put.h"

namespace jet {

namespace {

// Jet3 pages are 2 KiB with a 226-byte bitmap; Jet4 and ACE pages 4 KiB with a 453-byte bitmap. The byte
// after the prefix length is a flag of Access's own (set on some intermediate pages), kept zero here.
const index_page_layout jet3_index = {2048, 8, 12, 16, 20, 1, 22, 226, 248};
const index_page_layout jet4_index = {4096, 12, 16, 20, 24, 2, 27, 453, 480};

std::size_t trailer_size(bool leaf) { return leaf ? 4 : 8; }

[[noreturn]] void page_error(const std::string& what, std::uint32_t n, const std::string& why)
{
    throw error(err_corrupt, (what.empty() ? "" : what + ": ") + "index page " + std::to_string(n) + " " + why);
}

// The bytes of an entry after its key: page (3) and row (1) big-endian, then the page below (4).
void put_trailer(const index_entry& e, bool leaf, std::vector<std::uint8_t>& out)
{
    out.push_back(static_cast<std::uint8_t>(e.data_page >> 16));
    out.push_back(static_cast<std::uint8_t>(e.data_page >> 8));
    out.push_back(static_cast<std::uint8_t>(e.data_page));
    out.push_back(e.row);
    if (leaf) return;
    for (int i = 3; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(e.child >> (8 * i)));
}

// An entry from its whole bytes (at least the trailer's worth): key, then the trailer.
index_entry entry_from(const std::vector<std::uint8_t>& b, bool leaf)
{
    index_entry e;
    std::size_t k = b.size() - trailer_size(leaf);
    e.key.assign(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(k));
    e.data_page = (static_cast<std::uint32_t>(b[k]) << 16) | (static_cast<std::uint32_t>(b[k + 1]) << 8) | b[k + 2];
    e.row = b[k + 3];
    if (!leaf)
        e.child = (static_cast<std::uint32_t>(b[k + 4]) << 24) | (static_cast<std::uint32_t>(b[k + 5]) << 16) |
                  (static_cast<std::uint32_t>(b[k + 6]) << 8) | b[k + 7];
    return e;
}

std::vector<std::uint8_t> whole(const index_entry& e, bool leaf)
{
    std::vector<std::uint8_t> b = e.key;
    put_trailer(e, leaf, b);
    return b;
}

// The prefix all entries share with the first (no longer than the shortest entry's key and page).
// As Access writes them, only intermediate pages share a prefix; leaves keep every entry whole.
std::size_t shared_prefix(const index_page& p, std::size_t max)
{
    if (p.leaf || p.entries.size() < 2) return 0;
    std::vector<std::uint8_t> first = whole(p.entries.front(), p.leaf);
    std::size_t n = std::min(max, first.size() - trailer_size(p.leaf) + 3);  // never into the row byte
    for (std::size_t i = 1; i < p.entries.size() && n > 0; ++i) {
        std::vector<std::uint8_t> b = whole(p.entries[i], p.leaf);
        std::size_t m = 0, lim = std::min(n, b.size() - trailer_size(p.leaf) + 3);
        while (m < lim && b[m] == first[m]) ++m;
        n = m;
    }
    return n;
}

} // namespace

bool index_entry::operator<(const index_entry& o) const
{
    if (key != o.key) return std::lexicographical_compare(key.begin(), key.end(), o.key.begin(), o.key.end());
    if (data_page != o.data_page) return data_page < o.data_page;
    return row < o.row;
}

std::uint32_t index_page_layout::entry_room() const
{
    return std::min(page_size - entries_at, mask_size * 8);
}

const index_page_layout& index_layout_for(file_format f)
{
    return f == file_format::jet3 ? jet3_index : jet4_index;
}

index_page decode_index_page(const page_file& f, std::uint32_t n, const std::uint8_t* pg)
{
    try {
        return decode_index_page(index_layout_for(f.format()), n, pg, {});
    } catch (const error& e) {
        f.corrupt(e.what());
    }
}

index_page decode_index_page(const index_page_layout& L, std::uint32_t n, const std::uint8_t* pg,
                             const std::string& what)
{
    if (pg[0] != index_node_page && pg[0] != index_leaf_page) page_error(what, n, "is not an index page");
    index_page p;
    p.leaf = pg[0] == index_leaf_page;
    p.owner = rd32(pg + 4);
    p.prev = rd32(pg + L.prev_at);
    p.next = rd32(pg + L.next_at);
    p.tail = rd32(pg + L.tail_at);
    std::size_t prefix_len = L.prefix_size == 1 ? pg[L.prefix_at] : rd16(pg + L.prefix_at);
    const std::size_t trailer = trailer_size(p.leaf);
    const std::uint8_t* base = pg + L.entries_at;
    const std::size_t room = L.page_size - L.entries_at;
    std::vector<std::uint8_t> prefix;
    std::size_t last = 0;
    for (std::size_t bit = 0; bit < static_cast<std::size_t>(L.mask_size) * 8; ++bit) {
        if (!(pg[L.mask_at + bit / 8] & (1u << (bit % 8)))) continue;
        if (bit > room) page_error(what, n, "has an entry past the end of the page");
        if (bit == last) page_error(what, n, "has an empty entry");
        std::vector<std::uint8_t> b;
        b.reserve(prefix.size() + (bit - last));
        b.insert(b.end(), prefix.begin(), prefix.end());
        b.insert(b.end(), base + last, base + bit);
        if (p.entries.empty()) {
            if (prefix_len > b.size()) page_error(what, n, "has a shared prefix longer than its first entry");
            prefix.assign(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(prefix_len));
        }
        if (b.size() < trailer) page_error(what, n, "has an entry too short for its row pointer");
        p.entries.push_back(entry_from(b, p.leaf));
        last = bit;
    }
    return p;
}

bool encode_index_page(const index_page_layout& L, const index_page& p, std::vector<std::uint8_t>& out)
{
    std::size_t prefix = shared_prefix(p, L.max_prefix());
    out.assign(L.page_size, 0);
    std::uint8_t* pg = out.data();
    pg[0] = p.leaf ? index_leaf_page : index_node_page;
    pg[1] = 0x01;
    put32(pg + 4, p.owner);
    put32(pg + L.prev_at, p.prev);
    put32(pg + L.next_at, p.next);
    put32(pg + L.tail_at, p.tail);
    pg[L.prefix_at] = static_cast<std::uint8_t>(prefix & 0xFF);
    if (L.prefix_size == 2) pg[L.prefix_at + 1] = static_cast<std::uint8_t>(prefix >> 8);
    std::size_t at = 0;
    const std::size_t room = L.entry_room();
    for (std::size_t i = 0; i < p.entries.size(); ++i) {
        std::vector<std::uint8_t> b = whole(p.entries[i], p.leaf);
        std::size_t skip = i == 0 ? 0 : prefix;
        std::size_t len = b.size() - skip;
        if (len == 0 || at + len > room) return false;
        std::memcpy(pg + L.entries_at + at, b.data() + skip, len);
        at += len;
        pg[L.mask_at + at / 8] = static_cast<std::uint8_t>(pg[L.mask_at + at / 8] | (1u << (at % 8)));
    }
    // Free space: what is left after the entries.
    std::size_t free = L.page_size - L.entries_at - at;
    pg[2] = static_cast<std::uint8_t>(free & 0xFF);
    pg[3] = static_cast<std::uint8_t>(free >> 8);
    return true;
}

} // namespace jet

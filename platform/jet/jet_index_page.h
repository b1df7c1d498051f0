// Index pages: one page of an index's B-tree decoded into entries, and entries encoded into a page.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/jet/jet_file.h"

namespace jet {

// Page type bytes of index pages.
inline constexpr std::uint8_t index_node_page = 0x03;  // intermediate: entries point at pages below
inline constexpr std::uint8_t index_leaf_page = 0x04;  // leaf: entries point at rows

// One entry: the encoded key, the row it stands for and, on intermediate pages, the page below
// (whose last entry it repeats). Stored as key, 3-byte page and 1-byte row (big-endian), then on
// intermediate pages the 4-byte page below.
struct index_entry {
    std::vector<std::uint8_t> key;
    std::uint32_t data_page = 0;
    std::uint8_t row = 0;
    std::uint32_t child = 0;

    // Entries order by key bytes, then by row location.
    bool operator<(const index_entry& o) const;
    bool same_row(const index_entry& o) const { return data_page == o.data_page && row == o.row; }
};

// Where the parts of an index page sit in a layout (2 KiB or 4 KiB pages).
struct index_page_layout {
    std::uint32_t page_size;
    std::uint32_t prev_at, next_at, tail_at;
    std::uint32_t prefix_at, prefix_size;  // length of the shared prefix: 1 byte (Jet3) or 2 (Jet4/ACE)
    std::uint32_t mask_at, mask_size;  // entry bitmap: bit n set when an entry ends n bytes into the entries
    std::uint32_t entries_at;          // mask_at + mask_size

    // Bytes the entries of one page may take (the room on the page, and the bits of the bitmap).
    std::uint32_t entry_room() const;
    // The longest shared prefix the length field holds.
    std::size_t max_prefix() const { return prefix_size == 1 ? 0xFF : 0xFFFF; }
};
const index_page_layout& index_layout_for(file_format f);

// One index page.
struct index_page {
    bool leaf = true;
    std::uint32_t owner = 0;          // page of the table definition
    std::uint32_t prev = 0, next = 0; // neighbours on the same level (0 at the ends)
    std::uint32_t tail = 0;           // intermediate pages: the last page below, which has no entry here
    std::vector<index_entry> entries; // complete (the shared prefix put back)
};

// Decodes `pg` (page number `n`, for messages). Throws jet::error (err_corrupt) naming the file and the
// page for a page that is not an index page or whose bitmap, prefix or entries run past their room.
index_page decode_index_page(const page_file& f, std::uint32_t n, const std::uint8_t* pg);
// The same for a page image of layout `L`; `what` names the file in the message.
index_page decode_index_page(const index_page_layout& L, std::uint32_t n, const std::uint8_t* pg,
                             const std::string& what);

// Encodes `p` into a page image of the layout's size. Returns false, leaving `out` unspecified, when the
// entries do not fit (the caller splits the page).
bool encode_index_page(const index_page_layout& L, const index_page& p, std::vector<std::uint8_t>& out);

} // namespace jet

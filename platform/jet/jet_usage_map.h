// A usage map walked page by page: the pages a table (or the file's map of free pages) names.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/jet/jet_table.h"

namespace jet {

class page_file;

// The pages one usage map names, in page order, read lazily (one page of map at a time). A map
// is a row: an inline bitmap (kind 0) or a list of map pages that each hold a bitmap (kind 1).
class usage_map_walk {
public:
    // Reads the map row at `where`. Throws jet::error (err_corrupt) when it does not exist.
    usage_map_walk(const page_file& f, row_pointer where);

    // The next page the map names; false at the end. A page past the end of the file throws
    // jet::error (err_corrupt) once and ends the walk.
    bool next(std::uint32_t& page);
    // How many pages right after the one next() gave are worth reading with it (at most limit),
    // as far as the current bitmap tells: up to the farthest one in the map, gaps included (other
    // tables' pages, long values), while at least half of the pages read are in the map.
    std::uint32_t following(std::uint32_t limit) const;

private:
    const page_file& file_;
    std::uint8_t kind_ = 0;
    bool ended_ = false;
    std::vector<std::uint8_t> map_;   // the list of map pages (kind 1)
    std::uint32_t base_ = 0;          // page number of bit 0 of the current bitmap
    std::size_t bit_ = 0;             // next bit of the current bitmap
    std::size_t ref_next_ = 0;        // next entry of the map-page list
    std::vector<std::uint8_t> bitmap_;
    std::vector<std::uint8_t> scratch_;
};

} // namespace jet

// The row table of a data page: how many rows the page lists and where each of them lies.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "platform/jet/jet_file.h"

namespace jet {

// The flags of a row's entry in the row table.
constexpr std::uint16_t row_deleted = 0x8000;    // deleted, or the target of another row's overflow pointer
constexpr std::uint16_t row_overflow = 0x4000;   // holds the place the row moved to, not the row

// One entry of the row table, as stored (nothing checked): the row's bytes are [start, end) of the
// page. The first row ends at the end of the page, each other one where the row before it starts.
struct row_slot {
    std::size_t start;
    std::size_t end;
    std::uint16_t flags;
};

// The number of rows a data page lists, in `n`; false when its row table would run past the page.
inline bool listed_rows(const format_layout& L, const std::uint8_t* pg, unsigned& n)
{
    n = rd16(pg + L.data_rows_at);
    return L.data_offsets_at + 2u * n <= L.page_size;
}

// Entry r of the row table; r is below the count listed_rows() accepted.
inline row_slot row_slot_at(const format_layout& L, const std::uint8_t* pg, unsigned r)
{
    constexpr std::uint16_t offset_mask = 0x1FFF;
    const std::uint16_t at = rd16(pg + L.data_offsets_at + 2 * r);
    const std::size_t end = r == 0 ? L.page_size : (rd16(pg + L.data_offsets_at + 2 * (r - 1)) & offset_mask);
    return {static_cast<std::size_t>(at & offset_mask), end, static_cast<std::uint16_t>(at & (row_deleted | row_overflow))};
}

// The bytes of a data page in use that none of its first n listed rows holds. Every writer keeps the
// page's count of free bytes (bytes 2-3) equal to the room between the row table and the lowest
// row, so a count smaller than that room, with bytes written where it says, means rows past the
// count: the count of rows was cut. 0 when the page agrees, when those bytes are all zero (only
// the count of free bytes is wrong), or when its row table is for row_bounds to judge.
inline std::size_t bytes_past_listed_rows(const format_layout& L, const std::uint8_t* pg, unsigned n)
{
    std::size_t lowest = L.page_size;
    for (unsigned r = 0; r < n; ++r)
        lowest = std::min(lowest, row_slot_at(L, pg, r).start);
    const std::size_t table_end = L.data_offsets_at + 2u * n;
    const std::size_t free = rd16(pg + 2);
    if (lowest <= table_end || free >= lowest - table_end) return 0;
    const std::uint8_t* used = pg + table_end + free;
    return std::any_of(used, pg + lowest, [](std::uint8_t b) { return b != 0; }) ? lowest - table_end - free : 0;
}

} // namespace jet

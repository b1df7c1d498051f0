#include "platform/jet/jet_usage_map.h"

#include "platform/jet/jet_data_page.h"
#include "platform/jet/jet_file.h"

namespace jet {

usage_map_walk::usage_map_walk(const page_file& f, row_pointer where) : file_(f)
{
    const format_layout& L = f.layout();
    const std::uint8_t* pg = f.page(where.page, scratch_);
    unsigned nrows;
    if (!listed_rows(L, pg, nrows) || where.row >= nrows)
        f.corrupt("the usage map at page " + std::to_string(where.page) + " does not exist");
    const row_slot slot = row_slot_at(L, pg, where.row);
    const std::size_t s = slot.start, e = slot.end;
    if (s >= e || e > L.page_size) f.corrupt("the usage map at page " + std::to_string(where.page) + " has bad bounds");
    kind_ = pg[s];
    if (kind_ == 0) {
        if (e - s < 5) f.corrupt("a usage map is too short");
        base_ = rd32(pg + s + 1);
        bitmap_.assign(pg + s + 5, pg + e);
    } else if (kind_ == 1) {
        map_.assign(pg + s + 1, pg + e);
    } else {
        f.corrupt("unknown usage map type " + std::to_string(kind_));
    }
}

std::uint32_t usage_map_walk::following(std::uint32_t limit) const
{
    std::uint32_t owned = 1, worth = 0;
    for (std::uint32_t k = 1; k <= limit; ++k) {
        const std::size_t b = bit_ + k - 1;
        if (b >= bitmap_.size() * 8)
            break;
        if ((bitmap_[b / 8] & (1u << (b % 8))) != 0 && 2 * ++owned >= k + 1)
            worth = k;
    }
    return worth;
}

bool usage_map_walk::next(std::uint32_t& page)
{
    if (ended_) return false;
    for (;;) {
        while (bit_ < bitmap_.size() * 8) {
            std::size_t byte = bit_ / 8;
            if (bitmap_[byte] == 0) {
                bit_ = (byte + 1) * 8;
                continue;
            }
            bool set = bitmap_[byte] & (1u << (bit_ % 8));
            std::size_t b = bit_++;
            if (set) {
                std::uint64_t p = static_cast<std::uint64_t>(base_) + b;
                if (p >= file_.page_count()) {
                    // Pages only grow from here on: the walk ends with this one error.
                    ended_ = true;
                    file_.corrupt("the usage map names page " + std::to_string(p) + " past the end of the file");
                }
                page = static_cast<std::uint32_t>(p);
                return true;
            }
        }
        if (kind_ == 0) return false;
        // Next page of a referenced map.
        const format_layout& L = file_.layout();
        std::uint32_t map_page = 0;
        std::size_t j;
        do {
            j = ref_next_++;
            if ((j + 1) * 4 > map_.size()) return false;
            map_page = rd32(map_.data() + 4 * j);
        } while (map_page == 0);
        const std::uint8_t* pg = file_.page(map_page, scratch_);
        if (pg[0] != 0x05) file_.corrupt("page " + std::to_string(map_page) + " is not a usage map page");
        bitmap_.assign(pg + 4, pg + L.page_size);
        base_ = static_cast<std::uint32_t>(j * (L.page_size - 4) * 8);
        bit_ = 0;
    }
}

} // namespace jet

#include "platform/jet/jet_page_owners.h"

#include <unordered_set>

#include "platform/jet/jet_data_page.h"
#include "platform/jet/jet_file.h"
#include "platform/jet/jet_usage_map.h"

namespace jet {

namespace {

constexpr std::uint32_t run_pages = 64;

// A data page with a row that is neither deleted nor the target of another row's overflow pointer.
bool holds_live_row(const format_layout& L, const std::uint8_t* pg)
{
    unsigned n;
    if (!listed_rows(L, pg, n)) return false;
    for (unsigned r = 0; r < n; ++r)
        if (!(row_slot_at(L, pg, r).flags & row_deleted)) return true;
    return false;
}

// The live rows of a data page, as their stored bytes.
std::vector<std::string_view> live_rows(const format_layout& L, const std::uint8_t* pg)
{
    std::vector<std::string_view> out;
    unsigned n;
    if (!listed_rows(L, pg, n)) return out;
    for (unsigned r = 0; r < n; ++r) {
        const row_slot row = row_slot_at(L, pg, r);
        if (row.flags || row.start >= row.end || row.end > L.page_size) continue;
        out.emplace_back(reinterpret_cast<const char*>(pg + row.start), row.end - row.start);
    }
    return out;
}

// The pages the file's map of free pages lists. The map runs on past the end of the file (pages
// not made yet are free), so its reading ends at the first page past the end; a map that cannot
// be read lists none (a file of another writer may keep none), and every page with rows counts.
std::vector<bool> free_pages(const page_file& f)
{
    std::vector<bool> free(f.page_count(), false);
    try {
        usage_map_walk walk(f, row_pointer{1, 0});
        std::uint32_t p;
        while (walk.next(p)) free[p] = true;
    } catch (const error&) {
        // The pages marked so far stand; a page past the end or a damaged map ends the list.
    }
    return free;
}

} // namespace

page_owners::page_owners(const page_file& f)
{
    const format_layout& L = f.layout();
    const std::vector<bool> free = free_pages(f);
    std::vector<std::uint8_t> scratch;
    for (std::uint32_t first = 1; first < f.page_count();) {
        std::uint32_t count = run_pages;
        const std::uint8_t* run = f.pages(first, count, scratch);
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint8_t* pg = run + static_cast<std::size_t>(i) * L.page_size;
            if (pg[0] == 0x01 && !free[first + i] && holds_live_row(L, pg)) pages_[rd32(pg + 4)].push_back(first + i);
        }
        first += count;
    }
}

std::vector<std::uint32_t> page_owners::left_out(const page_file& f, std::uint32_t tdef_page,
                                                const std::vector<bool>& mapped) const
{
    std::vector<std::uint32_t> out;
    for (std::uint32_t p : pages_of(tdef_page))
        if (p >= mapped.size() || !mapped[p]) out.push_back(p);
    if (out.empty()) return out;
    const format_layout& L = f.layout();
    std::vector<std::uint8_t> scratch;
    std::unordered_set<std::size_t> kept;   // hashes of the rows on the mapped pages
    for (std::uint32_t p = 0; p < mapped.size(); ++p) {
        if (!mapped[p]) continue;
        const std::uint8_t* pg = f.page(p, scratch);
        if (pg[0] != 0x01 || rd32(pg + 4) != tdef_page) continue;
        for (std::string_view row : live_rows(L, pg)) kept.insert(std::hash<std::string_view>()(row));
    }
    std::erase_if(out, [&](std::uint32_t p) {
        std::size_t same = 0;
        const std::vector<std::string_view> rows = live_rows(L, f.page(p, scratch));
        for (std::string_view row : rows) same += kept.count(std::hash<std::string_view>()(row));
        return 2 * same > rows.size();
    });
    return out;
}

const std::vector<std::uint32_t>& page_owners::pages_of(std::uint32_t tdef_page) const
{
    static const std::vector<std::uint32_t> none;
    const auto it = pages_.find(tdef_page);
    return it == pages_.end() ? none : it->second;
}

} // namespace jet

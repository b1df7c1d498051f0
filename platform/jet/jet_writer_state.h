// What the writer keeps of each table between calls (shared by the writer's source files).
#pragma once
#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/jet/jet_index_key.h"
#include "platform/jet/jet_writer.h"

namespace jet {

// One table of the file, as the writer keeps it.
struct database_writer::table_state {
    table_def def;
    std::vector<real_index_image> reals;
    std::vector<std::vector<std::uint32_t>> real_pages;
    std::vector<long_value_maps> lv_maps;
    std::vector<std::vector<std::uint32_t>> lv_pages;
    std::vector<std::uint32_t> tdef_pages;
    std::vector<std::uint32_t> data_pages;
    std::vector<std::uint32_t> owned_map_pages, free_map_pages;
    std::vector<std::vector<std::uint32_t>> real_map_pages, lv_map_pages;
    std::vector<std::uint32_t> lv_spare;   // long-value pages of a rewritten catalogue table, for reuse
    std::uint32_t cur_data = 0, cur_lval = 0;
    std::uint32_t rows = 0;
    std::uint32_t next_auto = 1;
    bool system = false;
    std::uint32_t flags = 0;
    double created = 0;
    property_maps props;
    // Per real index: the recipe of its keys (empty when its keys cannot be encoded here), the entries
    // of rows appended since the last flush, the entries its tree holds, and the keys a unique index
    // took since the last flush.
    std::vector<index_key_layout> key_layouts;
    std::vector<std::vector<index_entry>> pending;
    std::vector<std::uint64_t> tree_entries;
    std::vector<std::unordered_set<std::string>> pending_keys;
    // Counter values this writer handed out, as runs [first, last]: a counter index needs no key set.
    std::vector<std::pair<std::int32_t, std::int32_t>> counter_runs;

    bool counter_taken(std::int32_t v) const
    {
        auto it = std::upper_bound(counter_runs.begin(), counter_runs.end(), std::make_pair(v, INT32_MAX));
        return it != counter_runs.begin() && std::prev(it)->second >= v;
    }
    void take_counter(std::int32_t v)
    {
        auto it = std::upper_bound(counter_runs.begin(), counter_runs.end(), std::make_pair(v, INT32_MAX));
        const bool after_prev = it != counter_runs.begin() && std::int64_t{std::prev(it)->second} + 1 == v;
        const bool before_next = it != counter_runs.end() && std::int64_t{it->first} - 1 == v;
        if (it != counter_runs.begin() && std::prev(it)->second >= v) return;
        if (after_prev && before_next) {
            std::prev(it)->second = it->second;
            counter_runs.erase(it);
        } else if (after_prev) {
            std::prev(it)->second = v;
        } else if (before_next) {
            it->first = v;
        } else {
            counter_runs.insert(it, {v, v});
        }
    }
};

struct database_writer::catalog_row {
    std::int32_t id = 0;
    std::int32_t parent = 0;
    std::wstring name;
    std::int16_t type = 0;
    std::uint32_t flags = 0;
    bytes lvprop;
};



} // namespace jet

// Reading an index: its B-tree walked from the root, entries handed out in key order.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/jet/jet_index_page.h"
#include "platform/jet/jet_table.h"

namespace jet {

// Calls `fn` for every leaf entry under `root`, in order: an intermediate page's entries lead to the
// pages below them in turn, then its tail page. Pages must be index pages of the table at `owner`;
// a page reached twice, a wrong owner or a depth beyond reason is a corrupt-file error.
void walk_index(const page_file& f, std::uint32_t root, std::uint32_t owner,
                const std::function<void(const index_entry&)>& fn);

// Every entry of index `x` (its real index's tree) of table `t`, in order.
std::vector<index_entry> read_index(const page_file& f, const table_def& t, const index_def& x);

} // namespace jet

// Reading an index: its B-tree walked from the root, entries handed out in key order.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/jet/jet_index_page.h"
#include "platform/jet/jet_table.h"

namespace jet {

// Calls `fn` for every leaf entry under `root`, in order: an intermediate page's entries lead to the
// pages below them in turn, then its tail page. Pages must be index pages of the table at `owner`;
// a page reached twice, a wrong owner or a depth beyond reason is a corrupt-file error.
void walk_index(const page_file& f, std::uint32_t root, std::uint32_t owner,
                const std::function<void(const index_entry&)>& fn);

// The bytes of page `n` (the layout's page size of them), for walking pages not in a page_file.
using index_page_source = std::function<const std::uint8_t*(std::uint32_t n)>;

// The same walk over pages `1 .. page_count-1` handed out by `pages`; `what` names them in messages.
void walk_index(const index_page_layout& L, std::uint32_t page_count, const index_page_source& pages,
                std::uint32_t root, std::uint32_t owner, const std::function<void(const index_entry&)>& fn,
                const std::string& what);

// Every entry of index `x` (its real index's tree) of table `t`, in order.
std::vector<index_entry> read_index(const page_file& f, const table_def& t, const index_def& x);

} // namespace jet

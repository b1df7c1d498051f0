// Which table each data page of a file names as its own, read once from the pages themselves.
#pragma once
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace jet {

class page_file;

// The owner field of every data page that holds a live row, read in one pass over the file: it
// finds the pages of a table that the table's usage map leaves out. Pages the file's map of free
// pages (page 1) lists are left out: they may keep the rows of a table dropped long ago.
class page_owners {
public:
    explicit page_owners(const page_file& f);

    // The data pages that name the table definition at `tdef_page` as theirs, in page order.
    const std::vector<std::uint32_t>& pages_of(std::uint32_t tdef_page) const;
    // Those of them that `mapped` (by page number: the pages the table's usage map names) leaves
    // out, less the stale copies: a page more than half of whose live rows stand byte for byte on
    // the mapped pages is what the engine left behind when it rewrote the table's rows elsewhere.
    std::vector<std::uint32_t> left_out(const page_file& f, std::uint32_t tdef_page, const std::vector<bool>& mapped) const;

private:
    // Per definition page: the live data pages that name it, in page order.
    std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> pages_;
};

} // namespace jet

// Writing an index's B-tree: building it from sorted entries, and inserting one entry with page splits.
#pragma once
#include <cstdint>
#include <vector>

#include "platform/jet/jet_file.h"
#include "platform/jet/jet_index_page.h"

namespace jet {

// The pages of the file being written, as the B-tree code needs them.
class index_page_store {
public:
    virtual ~index_page_store() = default;
    virtual file_format format() const = 0;
    // The bytes of page `n` (page-size of them), changed in place; the store writes them back.
    virtual std::vector<std::uint8_t>& page(std::uint32_t n) = 0;
    // A new page for the index; the store records it among the table's owned pages.
    virtual std::uint32_t allocate() = 0;
};

// The longest key an entry may have, so that every page holds at least three entries.
std::size_t max_index_key(file_format f);

// Builds a tree from entries handed over one at a time in ascending order, keeping only the page being
// filled on each level in memory: leaves are filled in turn and linked left to right; each intermediate
// page holds an entry (the last entry below) for every page under it but the last, which is its tail.
//   index_appender a(store, tdef_page);
//   for (...) a.add(entry);           // each entry after the one before (key, then row)
//   std::uint32_t root = a.finish();  // no entries: one empty leaf
class index_appender {
public:
    index_appender(index_page_store& s, std::uint32_t owner);
    // Continues the tree at `root` (built by this class, by build_index or by inserts) at its right edge:
    // its rightmost page on each level is filled further. Reads pages only; finish() returns the root,
    // which is a new page when the tree grows a level. Throws jet::error (err_corrupt) for a damaged tree.
    index_appender(index_page_store& s, std::uint32_t owner, std::uint32_t root);
    index_appender(const index_appender&) = delete;
    index_appender& operator=(const index_appender&) = delete;

    // Throws jet::error (err_corrupt) for an entry not after the previous one or a key longer than
    // max_index_key; nothing is added then.
    void add(const index_entry& e);
    // Whether `e` may come next (it sorts after every entry so far).
    bool can_take(const index_entry& e) const { return !any_ || last_ < e; }
    // Writes the pages still being filled and returns the root. Call once.
    std::uint32_t finish();

private:
    // The page being filled on one level.
    struct level {
        std::uint32_t page = 0;           // its number (allocated when it is started)
        std::uint32_t prev = 0;           // leaves: the leaf before it
        std::vector<index_entry> items;   // leaves: entries; intermediate: one per page below (child set)
        std::size_t bytes = 0;            // entry bytes of `items`, whole
        std::size_t prefix = 0;           // key bytes all items share with the first
        bool written_one = false;         // a page of this level has been written
        std::vector<std::uint32_t> done;  // intermediate levels: pages written under the current parent
    };

    void resume(std::uint32_t root);
    void push(std::size_t depth, const index_entry& item);
    void start(std::size_t depth, const index_entry& item, std::uint32_t prev);
    std::uint32_t write_page(std::size_t depth, std::uint32_t next, index_entry& last);
    std::uint32_t flush(std::size_t depth, std::uint32_t next);
    void link_under_parent(std::size_t depth);

    index_page_store& s_;
    std::uint32_t owner_;
    const index_page_layout& L_;
    std::vector<level> levels_;
    index_entry last_;
    bool any_ = false;
    bool finished_ = false;
};

// Builds the tree of `sorted` entries (ascending by key, then row) in new pages of the table whose
// definition is at `owner`, and returns the root page to store in the index definition. Leaves are
// filled in order and linked left to right; each intermediate page holds an entry (the last entry
// below) for every page under it but the last, which is its tail. No entries make one empty leaf.
// Throws jet::error (err_corrupt) for an unsorted input or a key longer than max_index_key.
std::uint32_t build_index(index_page_store& s, std::uint32_t owner, const std::vector<index_entry>& sorted);

// Inserts `e` into the tree at `root`. A full page splits (its first half moves to a new page before it,
// and the parent gains an entry); a full root moves its content down a level and stays the root, so the
// root page never changes. With `unique`, an existing equal key refuses the entry: false, nothing changed.
// (Access lets rows share an all-null key even in a unique index: pass `unique` false for those, see
// all_null_key.)
bool insert_index_entry(index_page_store& s, std::uint32_t owner, std::uint32_t root, const index_entry& e,
                        bool unique);

// Whether the tree at `root` holds an entry with exactly `key` (for a unique index's check before a row
// is stored).
bool index_contains_key(index_page_store& s, std::uint32_t owner, std::uint32_t root,
                        const std::vector<std::uint8_t>& key);

} // namespace jet

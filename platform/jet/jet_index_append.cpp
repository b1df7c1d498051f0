// Building an index's B-tree from entries in ascending order, one page per level in memory.
#include <algorithm>
#include <string>

#include "platform/jet/jet_error.h"
#include "platform/jet/jet_index_btree.h"

namespace jet {

namespace {

[[noreturn]] void fail(const std::string& what) { throw error(err_corrupt, "index tree: " + what); }

// Entry bytes of an item stored whole: key, row pointer and (intermediate pages) the page below.
std::size_t item_bytes(const index_entry& e, bool leaf) { return e.key.size() + (leaf ? 4 : 8); }

std::size_t common_prefix(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b, std::size_t limit)
{
    std::size_t n = 0, lim = std::min({limit, a.size(), b.size()});
    while (n < lim && a[n] == b[n]) ++n;
    return n;
}

} // namespace

index_appender::index_appender(index_page_store& s, std::uint32_t owner)
    : s_(s), owner_(owner), L_(index_layout_for(s.format()))
{
}

index_appender::index_appender(index_page_store& s, std::uint32_t owner, std::uint32_t root)
    : s_(s), owner_(owner), L_(index_layout_for(s.format()))
{
    resume(root);
}

// Takes up the rightmost page of every level, from the root down: its entries (intermediate pages: one
// item per page below but the rightmost, which is still being filled) and, on intermediate levels, the
// pages already written under the same parent.
void index_appender::resume(std::uint32_t root)
{
    std::vector<index_page> path;
    std::vector<std::uint32_t> numbers;
    for (std::uint32_t n = root;;) {
        if (path.size() > 32) fail("the tree at page " + std::to_string(root) + " is too deep");
        const std::vector<std::uint8_t>& pg = s_.page(n);
        if (pg.size() < L_.page_size) fail("page " + std::to_string(n) + " is short");
        path.push_back(decode_index_page(L_, n, pg.data(), "index tree"));
        numbers.push_back(n);
        const index_page& p = path.back();
        if (p.owner != owner_) fail("page " + std::to_string(n) + " belongs to another table");
        if (p.leaf) break;
        if (p.tail == 0 && p.entries.empty()) fail("intermediate page " + std::to_string(n) + " is empty");
        n = p.tail != 0 ? p.tail : p.entries.back().child;
    }
    const index_page& leaf = path.back();
    if (!leaf.entries.empty()) {
        last_ = leaf.entries.back();
        last_.child = 0;
        any_ = true;
    }
    levels_.resize(path.size());
    for (std::size_t depth = 0; depth < path.size(); ++depth) {
        const index_page& p = path[path.size() - 1 - depth];
        level& lv = levels_[depth];
        lv.page = numbers[path.size() - 1 - depth];
        lv.prev = p.leaf ? p.prev : 0;
        lv.written_one = depth + 1 < path.size();
        lv.items = p.entries;
        // The page below on the right edge is still being filled: its item comes when it is written.
        if (!p.leaf && p.tail == 0) lv.items.pop_back();
        lv.bytes = 0;
        lv.prefix = lv.items.empty() ? 0 : std::min(lv.items.front().key.size(), L_.max_prefix());
        for (const index_entry& it : lv.items) {
            lv.bytes += item_bytes(it, p.leaf);
            lv.prefix = common_prefix(lv.items.front().key, it.key, lv.prefix);
        }
        if (depth >= 1 && depth + 1 < path.size()) {
            // Written pages under the parent: every page below the parent but this one (its last).
            const index_page& parent = path[path.size() - 2 - depth];
            for (const index_entry& e : parent.entries) lv.done.push_back(e.child);
            if (parent.tail != 0) lv.done.push_back(parent.tail);
            if (!lv.done.empty()) lv.done.pop_back();
        }
    }
}

void index_appender::add(const index_entry& e)
{
    if (finished_) fail("an entry added after the tree was finished");
    if (e.key.size() > max_index_key(s_.format()))
        fail("a key of " + std::to_string(e.key.size()) + " bytes is longer than an index page allows");
    if (any_ && !(last_ < e)) fail("entries to build from are not in order");
    index_entry item = e;
    item.child = 0;
    push(0, item);
    last_ = std::move(item);
    any_ = true;
}

void index_appender::start(std::size_t depth, const index_entry& item, std::uint32_t prev)
{
    level& lv = levels_[depth];
    if (lv.page == 0) lv.page = s_.allocate();
    lv.prev = prev;
    lv.items.assign(1, item);
    lv.bytes = item_bytes(item, depth == 0);
    lv.prefix = std::min(item.key.size(), L_.max_prefix());
}

// Adds an item to the page being filled on `depth`; a full page is written first and a new one started.
// Leaves share no prefix; on intermediate pages the newest item is the tail, which takes no room.
void index_appender::push(std::size_t depth, const index_entry& item)
{
    if (depth == levels_.size()) {
        levels_.emplace_back();
        start(depth, item, 0);
        return;
    }
    const bool leaf = depth == 0;
    level& lv = levels_[depth];
    if (lv.items.empty()) {  // an empty tree taken up: its leaf is filled first
        start(depth, item, lv.prev);
        return;
    }
    std::size_t n = lv.items.size();
    std::size_t prefix = common_prefix(lv.items.front().key, item.key, lv.prefix);
    std::size_t need = leaf ? lv.bytes + item_bytes(item, true) : lv.bytes - (n - 1) * lv.prefix;
    if (need <= L_.entry_room()) {
        lv.items.push_back(item);
        lv.bytes += item_bytes(item, leaf);
        lv.prefix = prefix;
        return;
    }
    std::uint32_t next = leaf ? s_.allocate() : 0;
    std::uint32_t written = flush(depth, next);
    levels_[depth].page = next;  // (flushing may have grown `levels_`)
    start(depth, item, leaf ? written : 0);
}

// Encodes the page being filled on `depth` into its page; `last` receives its last entry.
std::uint32_t index_appender::write_page(std::size_t depth, std::uint32_t next, index_entry& last)
{
    level& lv = levels_[depth];
    index_page p;
    p.leaf = depth == 0;
    p.owner = owner_;
    if (p.leaf) {
        p.prev = lv.prev;
        p.next = next;
    }
    last = lv.items.back();
    p.entries = std::move(lv.items);
    lv.items.clear();
    if (!p.leaf && p.entries.size() > 1) {
        p.tail = p.entries.back().child;
        p.entries.pop_back();
    }
    std::vector<std::uint8_t> img;
    if (!encode_index_page(L_, p, img)) fail("page " + std::to_string(lv.page) + " overflows");
    s_.page(lv.page) = std::move(img);
    lv.written_one = true;
    if (depth >= 2) link_under_parent(depth - 1);
    return lv.page;
}

// Writes the page being filled on `depth` and hands its last entry to the level above.
std::uint32_t index_appender::flush(std::size_t depth, std::uint32_t next)
{
    index_entry up;
    std::uint32_t number = write_page(depth, next, up);
    up.child = number;
    push(depth + 1, up);
    if (depth >= 1) levels_[depth].done.push_back(number);
    return number;
}

// Intermediate pages are linked to their neighbours under the same parent only (leaves all along).
void index_appender::link_under_parent(std::size_t depth)
{
    std::vector<std::uint32_t>& pages = levels_[depth].done;
    for (std::size_t i = 0; i < pages.size(); ++i) {
        std::vector<std::uint8_t>& pg = s_.page(pages[i]);
        if (pg.size() < L_.page_size) fail("page " + std::to_string(pages[i]) + " is short");
        std::uint32_t prev = i > 0 ? pages[i - 1] : 0, next = i + 1 < pages.size() ? pages[i + 1] : 0;
        for (int b = 0; b < 4; ++b) {
            pg[L_.prev_at + b] = static_cast<std::uint8_t>(prev >> (8 * b));
            pg[L_.next_at + b] = static_cast<std::uint8_t>(next >> (8 * b));
        }
    }
    pages.clear();
}

std::uint32_t index_appender::finish()
{
    if (finished_) fail("the tree was finished twice");
    finished_ = true;
    if (!any_) {  // one empty leaf (the one taken up, if any)
        index_page p;
        p.owner = owner_;
        std::vector<std::uint8_t> img;
        encode_index_page(L_, p, img);
        std::uint32_t n = levels_.empty() ? s_.allocate() : levels_.front().page;
        s_.page(n) = std::move(img);
        return n;
    }
    // Each level's last page goes up; the top level, whose page is the only one on it, is the root.
    for (std::size_t depth = 0;; ++depth) {
        if (depth + 1 == levels_.size() && !levels_[depth].written_one) {
            index_entry last;
            return write_page(depth, 0, last);
        }
        flush(depth, 0);
    }
}

std::uint32_t build_index(index_page_store& s, std::uint32_t owner, const std::vector<index_entry>& sorted)
{
    index_appender a(s, owner);
    for (const index_entry& e : sorted) a.add(e);
    return a.finish();
}

} // namespace jet

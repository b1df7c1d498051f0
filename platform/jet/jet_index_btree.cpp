#include "platform/jet/jet_index_btree.h"

#include <algorithm>
#include <string>

#include "platform/jet/jet_error.h"

namespace jet {

namespace {

// A page below an intermediate page, with the entry that stands for it (its last entry).
struct child_ref {
    index_entry last;
    std::uint32_t page = 0;
};

// Entry bytes an entry takes when it does not share a prefix.
std::size_t entry_bytes(const index_entry& e, bool leaf) { return e.key.size() + (leaf ? 4 : 8); }

[[noreturn]] void fail(const std::string& what) { throw error(err_corrupt, "index tree: " + what); }

void check_key(file_format f, const index_entry& e)
{
    if (e.key.size() > max_index_key(f))
        fail("a key of " + std::to_string(e.key.size()) + " bytes is longer than an index page allows");
}

class tree {
public:
    tree(index_page_store& s, std::uint32_t owner)
        : s_(s), owner_(owner), L_(index_layout_for(s.format()))
    {
    }

    index_page load(std::uint32_t n)
    {
        std::vector<std::uint8_t>& pg = s_.page(n);
        if (pg.size() < L_.page_size) fail("page " + std::to_string(n) + " is short");
        index_page p = decode_index_page(L_, n, pg.data(), "index tree");
        if (p.owner != owner_) fail("page " + std::to_string(n) + " belongs to another table");
        return p;
    }

    // Writes `p` to page `n`; false when it does not fit.
    bool store(std::uint32_t n, const index_page& p)
    {
        std::vector<std::uint8_t> img;
        if (!encode_index_page(L_, p, img)) return false;
        std::vector<std::uint8_t>& pg = s_.page(n);
        pg = std::move(img);
        return true;
    }

    void store_or_fail(std::uint32_t n, const index_page& p)
    {
        if (!store(n, p)) fail("page " + std::to_string(n) + " overflows");
    }

    index_page fresh(bool leaf) const
    {
        index_page p;
        p.leaf = leaf;
        p.owner = owner_;
        return p;
    }

    // The pages under an intermediate page, in order: its entries, then its tail. The tail's last entry is
    // left empty: the tail stays last through inserts and splits, so nothing compares with it or stores it.
    static std::vector<child_ref> children(const index_page& p)
    {
        std::vector<child_ref> out;
        for (const index_entry& e : p.entries) out.push_back({e, e.child});
        if (p.tail != 0) out.push_back({index_entry{}, p.tail});
        return out;
    }

    // An intermediate page made of `kids`: one entry each but for the last, which is the tail
    // (a single page below is an entry, with no tail).
    static void set_children(index_page& p, const std::vector<child_ref>& kids)
    {
        p.entries.clear();
        p.tail = 0;
        for (std::size_t i = 0; i < kids.size(); ++i) {
            if (i + 1 == kids.size() && kids.size() > 1) {
                p.tail = kids[i].page;
                break;
            }
            index_entry e = kids[i].last;
            e.child = kids[i].page;
            p.entries.push_back(std::move(e));
        }
    }

    static constexpr int max_depth = 32;

    index_page_store& s_;
    std::uint32_t owner_;
    const index_page_layout& L_;
};

} // namespace

std::size_t max_index_key(file_format f)
{
    // Three intermediate entries (key, row pointer, page below) must fit in one page's entry room.
    return index_layout_for(f).entry_room() / 3 - 8;
}

namespace {

// A page split off to the left of a full page: its number and its last entry.
struct split_off {
    bool happened = false;
    child_ref left;
};

class inserter : public tree {
public:
    using tree::tree;

    // Inserts into the subtree at `n`; a page that overflows gives its first half to a new page.
    split_off insert(std::uint32_t n, const index_entry& e, int depth, bool is_root)
    {
        if (depth > max_depth) fail("the tree is too deep at page " + std::to_string(n));
        index_page p = load(n);
        if (p.leaf) {
            auto at = std::lower_bound(p.entries.begin(), p.entries.end(), e);
            index_entry x = e;
            x.child = 0;
            p.entries.insert(at, std::move(x));
        } else {
            std::vector<child_ref> kids = children(p);
            if (kids.empty()) fail("intermediate page " + std::to_string(n) + " is empty");
            std::size_t i = 0;
            while (i + 1 < kids.size() && kids[i].last < e) ++i;
            split_off below = insert(kids[i].page, e, depth + 1, false);
            // The page below now ends at the larger of its old last entry and `e` (a split keeps its end).
            if (kids[i].last < e) {
                kids[i].last = e;
                kids[i].last.child = 0;
            }
            if (below.happened) kids.insert(kids.begin() + static_cast<std::ptrdiff_t>(i), below.left);
            set_children(p, kids);
        }
        if (store(n, p)) return {};
        return is_root ? grow_root(n, p) : split(n, p);
    }

private:
    // Moves the first half of `p` (page `n`) to a new page linked before it.
    split_off split(std::uint32_t n, index_page& p)
    {
        std::vector<child_ref> kids;
        if (!p.leaf) kids = children(p);
        std::size_t count = p.leaf ? p.entries.size() : kids.size();
        if (count < 2) fail("page " + std::to_string(n) + " cannot be split");
        std::size_t half = split_point(p, kids);

        index_page left = fresh(p.leaf);
        index_entry left_end;
        std::uint32_t ln = s_.allocate();
        left.prev = p.prev;
        left.next = n;
        if (p.leaf) {
            left.entries.assign(p.entries.begin(), p.entries.begin() + static_cast<std::ptrdiff_t>(half));
            p.entries.erase(p.entries.begin(), p.entries.begin() + static_cast<std::ptrdiff_t>(half));
        } else {
            std::vector<child_ref> head(kids.begin(), kids.begin() + static_cast<std::ptrdiff_t>(half));
            kids.erase(kids.begin(), kids.begin() + static_cast<std::ptrdiff_t>(half));
            left_end = head.back().last;
            set_children(left, head);
            set_children(p, kids);
            unlink(head.back().page, kids.front().page);
        }
        if (p.prev != 0) {
            index_page before = load(p.prev);
            before.next = ln;
            store_or_fail(p.prev, before);
        }
        p.prev = ln;
        store_or_fail(ln, left);
        store_or_fail(n, p);
        split_off out;
        out.happened = true;
        out.left.page = ln;
        out.left.last = left.leaf ? left.entries.back() : left_end;
        out.left.last.child = 0;
        return out;
    }

    // Where to cut a page in two: half of its entry bytes on each side (each side keeps one or more).
    static std::size_t split_point(const index_page& p, const std::vector<child_ref>& kids)
    {
        std::vector<std::size_t> sizes;
        if (p.leaf)
            for (const index_entry& e : p.entries) sizes.push_back(entry_bytes(e, true));
        else
            for (std::size_t i = 0; i < kids.size(); ++i)  // the last page below is the tail: no entry
                sizes.push_back(i + 1 < kids.size() ? entry_bytes(kids[i].last, false) : 0);
        std::size_t total = 0, run = 0, cut = 1;
        for (std::size_t b : sizes) total += b;
        for (std::size_t i = 0; i + 1 < sizes.size(); ++i) {
            run += sizes[i];
            cut = i + 1;
            if (2 * run >= total) break;
        }
        return cut;
    }

    // Pages below different parents are not neighbours on intermediate levels (leaves stay linked).
    void unlink(std::uint32_t a, std::uint32_t b)
    {
        index_page pa = load(a);
        if (pa.leaf) return;
        index_page pb = load(b);
        pa.next = 0;
        pb.prev = 0;
        store_or_fail(a, pa);
        store_or_fail(b, pb);
    }

    // A full root: its content moves to a new page below it, which is then split; the root keeps its number.
    split_off grow_root(std::uint32_t root, index_page& p)
    {
        std::uint32_t down = s_.allocate();
        index_page moved = p;
        moved.prev = moved.next = 0;
        split_off half = split(down, moved);
        index_page top = fresh(false);
        set_children(top, {half.left, {index_entry{}, down}});
        store_or_fail(root, top);
        return {};
    }
};

// Whether an entry with `e`'s key is already in the tree: the neighbours of its place, across pages.
bool key_exists(tree& t, std::uint32_t root, const index_entry& e)
{
    std::uint32_t n = root;
    for (int depth = 0;; ++depth) {
        if (depth > tree::max_depth) fail("the tree is too deep");
        index_page p = t.load(n);
        if (!p.leaf) {
            std::vector<child_ref> kids = tree::children(p);
            if (kids.empty()) return false;
            std::size_t i = 0;
            while (i + 1 < kids.size() && kids[i].last < e) ++i;
            n = kids[i].page;
            continue;
        }
        auto at = std::lower_bound(p.entries.begin(), p.entries.end(), e);
        if (at != p.entries.end() && at->key == e.key) return true;
        if (at != p.entries.begin() && std::prev(at)->key == e.key) return true;
        if (at == p.entries.begin() && p.prev != 0) {
            index_page before = t.load(p.prev);
            if (!before.entries.empty() && before.entries.back().key == e.key) return true;
        }
        if (at == p.entries.end() && p.next != 0) {
            index_page after = t.load(p.next);
            if (!after.entries.empty() && after.entries.front().key == e.key) return true;
        }
        return false;
    }
}

} // namespace

bool index_contains_key(index_page_store& s, std::uint32_t owner, std::uint32_t root,
                        const std::vector<std::uint8_t>& key)
{
    tree t(s, owner);
    index_entry probe;
    probe.key = key;  // row 0 of page 0: before every entry with this key
    return key_exists(t, root, probe);
}

bool insert_index_entry(index_page_store& s, std::uint32_t owner, std::uint32_t root, const index_entry& e,
                        bool unique)
{
    check_key(s.format(), e);
    inserter t(s, owner);
    if (unique && key_exists(t, root, e)) return false;
    t.insert(root, e, 0, true);
    return true;
}

} // namespace jet

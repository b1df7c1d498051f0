#include "platform/jet/jet_index_walk.h"

#include <unordered_set>

#include "platform/jet/jet_error.h"

namespace jet {

namespace {

// Depth limit: a tree of pages holding three entries or more never gets near it.
constexpr int max_depth = 32;

class walker {
public:
    walker(const index_page_layout& L, std::uint32_t page_count, const index_page_source& pages,
           std::uint32_t owner, const std::function<void(const index_entry&)>& fn, const std::string& what)
        : L_(L), page_count_(page_count), pages_(pages), owner_(owner), fn_(fn), what_(what)
    {
    }

    void visit(std::uint32_t n, int depth)
    {
        if (depth > max_depth) bad("index tree at page " + std::to_string(n) + " is too deep");
        if (n == 0 || n >= page_count_) bad("index tree points at page " + std::to_string(n) + " past the file");
        if (!seen_.insert(n).second) bad("index tree reaches page " + std::to_string(n) + " twice");
        index_page p = decode_index_page(L_, n, pages_(n), what_);
        if (owner_ != 0 && p.owner != owner_) bad("index page " + std::to_string(n) + " belongs to another table");
        if (p.leaf) {
            for (const index_entry& e : p.entries) fn_(e);
            return;
        }
        for (const index_entry& e : p.entries) visit(e.child, depth + 1);
        if (p.tail != 0) visit(p.tail, depth + 1);
    }

private:
    [[noreturn]] void bad(const std::string& why) const
    {
        throw error(err_corrupt, (what_.empty() ? "" : what_ + ": ") + why);
    }

    const index_page_layout& L_;
    std::uint32_t page_count_;
    const index_page_source& pages_;
    std::uint32_t owner_;
    const std::function<void(const index_entry&)>& fn_;
    const std::string& what_;
    std::unordered_set<std::uint32_t> seen_;
};

} // namespace

void walk_index(const index_page_layout& L, std::uint32_t page_count, const index_page_source& pages,
                std::uint32_t root, std::uint32_t owner, const std::function<void(const index_entry&)>& fn,
                const std::string& what)
{
    walker w(L, page_count, pages, owner, fn, what);
    w.visit(root, 0);
}

void walk_index(const page_file& f, std::uint32_t root, std::uint32_t owner,
                const std::function<void(const index_entry&)>& fn)
{
    std::vector<std::uint8_t> scratch;
    index_page_source pages = [&](std::uint32_t n) { return f.page(n, scratch); };
    try {
        walk_index(index_layout_for(f.format()), f.page_count(), pages, root, owner, fn, {});
    } catch (const error& e) {
        if (e.code() != err_corrupt) throw;
        f.corrupt(e.what());
    }
}

std::vector<index_entry> read_index(const page_file& f, const table_def& t, const index_def& x)
{
    std::vector<index_entry> out;
    walk_index(f, x.root_page, t.tdef_page, [&](const index_entry& e) { out.push_back(e); });
    return out;
}

} // namespace jet

#include "platform/jet/jet_index_walk.h"

#include <string>
#include <unordered_set>

namespace jet {

namespace {

// Depth limit: a tree of 4 KiB pages holding 32 entries or more a page never gets near it.
constexpr int max_depth = 32;

class walker {
public:
    walker(const page_file& f, std::uint32_t owner, const std::function<void(const index_entry&)>& fn)
        : f_(f), owner_(owner), fn_(fn)
    {
    }

    void visit(std::uint32_t n, int depth)
    {
        if (depth > max_depth) f_.corrupt("index tree at page " + std::to_string(n) + " is too deep");
        if (n == 0 || n >= f_.page_count()) f_.corrupt("index tree points at page " + std::to_string(n) + " past the file");
        if (!seen_.insert(n).second) f_.corrupt("index tree reaches page " + std::to_string(n) + " twice");
        std::vector<std::uint8_t> scratch;
        index_page p = decode_index_page(f_, n, f_.page(n, scratch));
        if (owner_ != 0 && p.owner != owner_)
            f_.corrupt("index page " + std::to_string(n) + " belongs to another table");
        if (p.leaf) {
            for (const index_entry& e : p.entries) fn_(e);
            return;
        }
        for (const index_entry& e : p.entries) visit(e.child, depth + 1);
        if (p.tail != 0) visit(p.tail, depth + 1);
    }

private:
    const page_file& f_;
    std::uint32_t owner_;
    const std::function<void(const index_entry&)>& fn_;
    std::unordered_set<std::uint32_t> seen_;
};

} // namespace

void walk_index(const page_file& f, std::uint32_t root, std::uint32_t owner,
                const std::function<void(const index_entry&)>& fn)
{
    walker w(f, owner, fn);
    w.visit(root, 0);
}

std::vector<index_entry> read_index(const page_file& f, const table_def& t, const index_def& x)
{
    std::vector<index_entry> out;
    walk_index(f, x.root_page, t.tdef_page, [&](const index_entry& e) { out.push_back(e); });
    return out;
}

} // namespace jet

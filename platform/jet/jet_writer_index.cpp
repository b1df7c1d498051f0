// The writer's indexes: keys of appended rows inserted into each index's B-tree, unique keys checked
// against the tree before a row is stored, and whole trees built again for rewritten or new indexes.
#include <algorithm>
#include <cstring>

#include "platform/jet/jet_cursor.h"
#include "platform/jet/jet_database.h"
#include "platform/jet/jet_index_btree.h"
#include "platform/jet/jet_writer.h"
#include "platform/jet/jet_writer_state.h"

namespace jet {

namespace {

// The writer's pages as one index's B-tree sees them: new pages are recorded as the index's own, and
// pages an earlier tree of the index left behind are used again first. (The index's page list is named
// by position: the table's lists grow as indexes are added.)
class tree_store : public index_page_store {
public:
    tree_store(page_store& store, file_format f, std::vector<std::vector<std::uint32_t>>& lists, std::size_t real,
               std::vector<std::uint32_t> spare = {})
        : store_(store), format_(f), lists_(lists), real_(real), spare_(std::move(spare))
    {
    }
    file_format format() const override { return format_; }
    std::vector<std::uint8_t>& page(std::uint32_t n) override { return store_.page(n); }
    std::uint32_t allocate() override
    {
        std::uint32_t n;
        if (!spare_.empty()) {
            n = spare_.back();
            spare_.pop_back();
            auto& pg = store_.page(n);
            std::fill(pg.begin(), pg.end(), 0);
        } else {
            n = store_.allocate();
        }
        lists_[real_].push_back(n);
        return n;
    }
    // Pages of the earlier tree that the new one did not need.
    const std::vector<std::uint32_t>& left_over() const { return spare_; }

private:
    page_store& store_;
    file_format format_;
    std::vector<std::vector<std::uint32_t>>& lists_;
    std::size_t real_;
    std::vector<std::uint32_t> spare_;
};

} // namespace

void database_writer::prepare_keys(table_state& t, std::size_t real)
{
    index_def x;
    x.columns = t.reals[real].columns;
    std::string why;
    index_key_layout k = key_layout(format_, t.def, x, &why);
    if (t.key_layouts.size() <= real) {
        t.streams.resize(real + 1);
        t.key_layouts.resize(real + 1);
        t.pending.resize(real + 1);
        t.tree_entries.resize(real + 1, 0);
        t.pending_keys.resize(real + 1);
    }
    t.key_layouts[real] = std::move(k);
}

bool database_writer::key_exists(table_state& t, std::size_t real, const bytes& key)
{
    tree_store s(store_, format_, t.real_pages, real);
    return index_contains_key(s, t.def.tdef_page, t.reals[real].root, key);
}

void database_writer::check_unique(table_state& t, const std::vector<value>& row, const std::vector<bool>& generated)
{
    bytes key;
    for (std::size_t i = 0; i < t.reals.size(); ++i) {
        if (!(t.reals[i].flags & 0x01) || i >= t.key_layouts.size() || t.key_layouts[i].columns.empty()) continue;
        const index_key_layout& k = t.key_layouts[i];
        if (k.positions.size() == 1 && t.def.columns[k.positions[0]].auto_number() &&
            t.def.columns[k.positions[0]].type == column_type::long_integer) {
            // A counter this writer hands out is above every number stored so far; a number given
            // explicitly must not be one it handed out, nor one given before.
            if (generated[k.positions[0]]) continue;
            const value& v = row[k.positions[0]];
            if (v.type() == value::int32_k && t.counter_taken(v.as_int32()))
                throw error(err_duplicate_key,
                            "The changes you requested to the table '" + message_text(t.def.name) +
                                "' were not successful because they would create duplicate values in the index, "
                                "primary key, or relationship.");
        }
        key.clear();
        encode_key(k, row, key);
        if (all_null_key(k, key)) continue;
        const std::string probe(key.begin(), key.end());
        if (t.pending_keys[i].count(probe) || (t.tree_entries[i] > 0 && key_exists(t, i, key)))
            throw error(err_duplicate_key,
                        "The changes you requested to the table '" + message_text(t.def.name) +
                            "' were not successful because they would create duplicate values in the index, "
                            "primary key, or relationship.");
    }
}

void database_writer::index_row(table_state& t, const std::vector<value>& row, row_pointer at)
{
    for (std::size_t i = 0; i < t.reals.size(); ++i) {
        if (i >= t.key_layouts.size() || t.key_layouts[i].columns.empty()) continue;
        const index_key_layout& k = t.key_layouts[i];
        index_entry e;
        encode_key(k, row, e.key);
        const bool all_null = all_null_key(k, e.key);
        if ((t.reals[i].flags & 0x02) && all_null) continue; // ignore nulls
        const bool counter = k.positions.size() == 1 && t.def.columns[k.positions[0]].auto_number() &&
                             t.def.columns[k.positions[0]].type == column_type::long_integer;
        if ((t.reals[i].flags & 0x01) && !all_null && !counter) t.pending_keys[i].emplace(e.key.begin(), e.key.end());
        e.data_page = at.page;
        e.row = at.row;
        // Into an empty tree, entries in order are written at once; others wait for the flush.
        if (t.tree_entries[i] == 0 && t.pending[i].empty()) {
            auto& st = t.streams[i];
            if (!st) {
                st = std::make_unique<table_state::stream>();
                std::vector<std::uint32_t> old = std::move(t.real_pages[i]);
                t.real_pages[i].clear();
                st->store = std::make_unique<tree_store>(store_, format_, t.real_pages, i, std::move(old));
                st->appender = std::make_unique<index_appender>(*st->store, t.def.tdef_page);
            }
            if (st->added == 0 || st->last < e) {
                st->appender->add(e);
                st->last = std::move(e);
                ++st->added;
                continue;
            }
        }
        t.pending[i].push_back(std::move(e));
    }
}

void database_writer::apply_pending(table_state& t)
{
    for (std::size_t i = 0; i < t.pending.size() && i < t.reals.size(); ++i) {
        if (t.streams[i]) {
            // The entries that came in order: their pages are finished and give the root.
            auto st = std::move(t.streams[i]);
            t.reals[i].root = st->appender->finish();
            for (std::uint32_t p : static_cast<tree_store&>(*st->store).left_over()) free_page(p);
            t.tree_entries[i] += st->added;
        }
        std::vector<index_entry> entries = std::move(t.pending[i]);
        t.pending[i].clear();
        t.pending_keys[i].clear();
        if (entries.empty()) continue;
        const std::uint64_t added = entries.size();
        if (t.tree_entries[i] == 0) {
            // An empty tree is built whole from the sorted entries.
            build_tree(t, i, std::move(entries));
        } else {
            tree_store s(store_, format_, t.real_pages, i);
            for (const auto& e : entries) insert_index_entry(s, t.def.tdef_page, t.reals[i].root, e, false);
        }
        t.tree_entries[i] += added;
    }
}

void database_writer::build_tree(table_state& t, std::size_t real, std::vector<index_entry> entries)
{
    std::sort(entries.begin(), entries.end());
    t.streams[real].reset();
    std::vector<std::uint32_t> old = std::move(t.real_pages[real]);
    t.real_pages[real].clear();
    tree_store s(store_, format_, t.real_pages, real, old);
    t.reals[real].root = build_index(s, t.def.tdef_page, entries);
    for (std::uint32_t p : s.left_over()) free_page(p);
}

void database_writer::rebuild_indexes(table_state& t, const std::vector<std::vector<value>>& rows,
                                      const std::vector<row_pointer>& where)
{
    for (std::size_t i = 0; i < t.reals.size(); ++i) {
        std::vector<index_entry> entries;
        if (i < t.key_layouts.size() && !t.key_layouts[i].columns.empty()) {
            const index_key_layout& k = t.key_layouts[i];
            for (std::size_t r = 0; r < rows.size(); ++r) {
                index_entry e;
                encode_key(k, rows[r], e.key);
                if ((t.reals[i].flags & 0x02) && all_null_key(k, e.key)) continue;
                e.data_page = where[r].page;
                e.row = where[r].row;
                entries.push_back(std::move(e));
            }
        }
        t.tree_entries[i] = entries.size();
        build_tree(t, i, std::move(entries));
    }
}

void database_writer::fill_index(table_state& t, std::size_t real)
{
    if (t.rows == 0 || real >= t.key_layouts.size() || t.key_layouts[real].columns.empty()) return;
    // The rows already stored, read back through the reader from the file, which the caller made
    // whole (but not a state a failed write returns to) before declaring the index.
    auto db = database::open(path());
    auto def = db->table_at(t.def.tdef_page);
    row_cursor cur(db->file_ptr(), def);
    const index_key_layout& k = t.key_layouts[real];
    std::vector<index_entry> entries;
    bool unique = (t.reals[real].flags & 0x01) != 0;
    while (cur.next()) {
        index_entry e;
        encode_key(k, cur.values(), e.key);
        if ((t.reals[real].flags & 0x02) && all_null_key(k, e.key)) continue;
        row_pointer at = cur.location();
        e.data_page = at.page;
        e.row = at.row;
        entries.push_back(std::move(e));
    }
    std::sort(entries.begin(), entries.end());
    if (unique && has_duplicate_key(k, entries))
        throw error(err_duplicate_key, "The unique index cannot be made on table '" + message_text(t.def.name) +
                                           "': its rows hold duplicate values.");
    t.tree_entries[real] = entries.size();
    build_tree(t, real, std::move(entries));
    dirty_ = true;
}

} // namespace jet

// The key oracle shared by the index tests: an index's stored entries against the keys encoded from its rows.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "platform/jet/jet_cursor.h"
#include "platform/jet/jet_database.h"
#include "platform/jet/jet_index_key.h"
#include "platform/jet/jet_index_walk.h"

namespace drav_test {

inline std::string hex(const std::vector<std::uint8_t>& b)
{
    static const char* d = "0123456789ABCDEF";
    std::string s;
    for (auto x : b) {
        s += d[x >> 4];
        s += d[x & 15];
    }
    return s;
}

// What the check found over many indexes.
struct index_tally {
    int files = 0, indexes = 0, not_encodable = 0, mismatched_indexes = 0;
    long keys = 0, mismatched_keys = 0;
    std::vector<std::string> reports;
};

inline std::shared_ptr<jet::database> open_any(const std::string& path)
{
    try {
        return jet::database::open(path);
    } catch (const jet::error&) {
        return jet::database::open(path, L"password");
    }
}

// All non-null values of a row's key columns are null: an ignore-nulls index leaves such rows out.
inline bool all_null(const jet::index_key_layout& k, const std::vector<jet::value>& row)
{
    return std::all_of(k.positions.begin(), k.positions.end(), [&](std::size_t p) { return row[p].is_null(); });
}

// Checks every real index of `t`: its walked entries against the keys encoded from the table's rows.
inline void check_index_keys(const jet::database& db, const jet::table_def& t, const std::string& file, index_tally& out)
{
    std::set<std::int32_t> done;
    for (const jet::index_def& x : t.indexes) {
        if (!done.insert(x.real_index).second) continue;  // logical indexes sharing one real index
        std::string why;
        jet::index_key_layout k = jet::key_layout(db.format(), t, x, &why);
        if (!why.empty()) {
            ++out.not_encodable;
            out.reports.push_back(file + " " + std::string(t.name.begin(), t.name.end()) + "." +
                                  std::string(x.name.begin(), x.name.end()) + ": not encodable: " + why);
            continue;
        }
        std::vector<jet::index_entry> stored = jet::read_index(db.file(), t, x);
        std::vector<jet::index_entry> made;
        auto tp = std::make_shared<const jet::table_def>(t);
        jet::row_cursor c = db.rows(tp);
        while (c.next()) {
            if (x.ignore_nulls() && all_null(k, c.values())) continue;
            jet::index_entry e;
            jet::encode_key(k, c.values(), e.key);
            e.data_page = c.location().page;
            e.row = c.location().row;
            made.push_back(std::move(e));
        }
        std::sort(made.begin(), made.end());
        ++out.indexes;
        out.keys += static_cast<long>(made.size());
        long bad = 0;
        std::string first;
        for (std::size_t i = 0; i < std::max(made.size(), stored.size()); ++i) {
            bool ok = i < made.size() && i < stored.size() && made[i].key == stored[i].key &&
                      made[i].same_row(stored[i]);
            if (ok) continue;
            ++bad;
            if (first.empty())
                first = "entry " + std::to_string(i) + ": stored " +
                        (i < stored.size() ? hex(stored[i].key) + "@" + std::to_string(stored[i].data_page) + "." +
                                                 std::to_string(stored[i].row)
                                           : "-") +
                        " made " +
                        (i < made.size() ? hex(made[i].key) + "@" + std::to_string(made[i].data_page) + "." +
                                               std::to_string(made[i].row)
                                         : "-");
        }
        if (bad) {
            ++out.mismatched_indexes;
            out.mismatched_keys += bad;
            out.reports.push_back(file + " " + std::string(t.name.begin(), t.name.end()) + "." +
                                  std::string(x.name.begin(), x.name.end()) + ": " + std::to_string(bad) + " of " +
                                  std::to_string(made.size()) + "/" + std::to_string(stored.size()) +
                                  " differ; " + first);
        }
    }
}

} // namespace drav_test

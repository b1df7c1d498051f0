// Checks that every index of a table holds exactly one entry per row (ignore-nulls aside), with the
// key our encoder makes for that row, in order.
#pragma once
#include <map>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "platform/jet/jet_database.h"
#include "platform/jet/jet_index_key.h"
#include "platform/jet/jet_index_walk.h"

namespace drav_test {

inline void expect_indexes_match_rows(const jet::database& db, const std::wstring& table)
{
    auto def = db.table(table);
    std::map<std::pair<std::uint32_t, std::uint8_t>, std::vector<jet::value>> rows;
    auto cur = db.rows(def);
    while (cur.next()) {
        auto at = cur.location();
        rows[{at.page, at.row}] = cur.values();
    }
    for (const auto& x : def->indexes) {
        SCOPED_TRACE(std::string(x.name.begin(), x.name.end()));
        std::string why;
        auto k = jet::key_layout(db.format(), *def, x, &why);
        if (k.columns.empty()) continue;
        auto entries = jet::read_index(db.file(), *def, x);
        std::size_t expected = 0;
        for (const auto& [at, values] : rows) {
            std::vector<std::uint8_t> key;
            jet::encode_key(k, values, key);
            if (!(x.ignore_nulls() && jet::all_null_key(k, key))) {
                ++expected;
            }
        }
        EXPECT_EQ(entries.size(), expected);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (i > 0) {
                EXPECT_FALSE(entries[i] < entries[i - 1]) << "entry " << i << " out of order";
            }
            auto it = rows.find({entries[i].data_page, entries[i].row});
            if (it == rows.end()) {
                ADD_FAILURE() << "entry " << i << " points at no row";
                continue;
            }
            std::vector<std::uint8_t> key;
            jet::encode_key(k, it->second, key);
            EXPECT_EQ(entries[i].key, key) << "entry " << i;
        }
    }
}

} // namespace drav_test

// Index keys against Access's own bytes: every index of every corpus file, walked from its root, must hold
// exactly the keys our encoder makes from the table's rows (the row locations included).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "platform/jet/jet_cursor.h"
#include "platform/jet/jet_database.h"
#include "platform/jet/jet_index_key.h"
#include "platform/jet/jet_index_walk.h"
#include "tests/platform/jet/index_oracle.h"
#include "tests/support/testdata.h"

namespace {

using namespace drav_test;

TEST(IndexCorpus, EveryIndexHoldsTheKeysWeEncode)
{
    std::string dir = drav_test::testdata_dir();
    if (!std::filesystem::exists(dir)) GTEST_SKIP() << "test data not found: " << dir;
    index_tally out;
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        std::string ext = e.path().extension().string();
        if (ext == ".mdb" || ext == ".accdb") files.push_back(e.path().string());
    }
    std::sort(files.begin(), files.end());
    for (const std::string& path : files) {
        std::string rel = path.substr(dir.size() + 1);
        std::shared_ptr<jet::database> db;
        try {
            db = open_any(path);
        } catch (const jet::error& e) {
            out.reports.push_back(rel + ": not opened: " + e.what());
            continue;
        }
        ++out.files;
        for (const jet::catalog_entry* ce : db->tables(true)) {
            std::shared_ptr<const jet::table_def> t;
            try {
                t = db->table(ce->name);
            } catch (const jet::error&) {
                continue;  // linked tables and the like
            }
            if (!t || t->tdef_page == 0) continue;
            check_index_keys(*db, *t, rel, out);
        }
    }
    for (const std::string& r : out.reports) std::printf("%s\n", r.c_str());
    std::printf("files %d, indexes %d (not encodable %d), keys %ld; mismatched indexes %d, keys %ld\n", out.files,
                out.indexes, out.not_encodable, out.keys, out.mismatched_indexes, out.mismatched_keys);
    EXPECT_EQ(out.mismatched_indexes, 0);
}

} // namespace

// Index trees we write: built from sorted entries or grown by inserts that split pages, they must walk
// back (through the reader) to exactly the entries in order, with the leaves linked in that order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>

#include "platform/jet/jet_database.h"
#include "platform/jet/jet_index_btree.h"
#include "platform/jet/jet_index_key.h"
#include "platform/jet/jet_index_walk.h"
#include "tests/platform/jet/index_oracle.h"
#include "tests/support/scratch.h"
#include "tests/support/testdata.h"

namespace {

using bytes = std::vector<std::uint8_t>;

// A small real database (from the fuzz seeds) held in memory, to which index pages are added.
class memory_store : public jet::index_page_store {
public:
    explicit memory_store(const char* seed) : memory_store(std::string(DRAV_SOURCE_DIR) + "/fuzz/seeds/" + seed) {}
    explicit memory_store(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        bytes image((std::istreambuf_iterator<char>(in)), {});
        format_ = image.size() > 20 && image[20] == 0 ? jet::file_format::jet3 : jet::file_format::jet4;
        page_size_ = jet::index_layout_for(format_).page_size;
        for (std::size_t at = 0; at + page_size_ <= image.size(); at += page_size_)
            pages_.emplace_back(image.begin() + static_cast<std::ptrdiff_t>(at),
                                image.begin() + static_cast<std::ptrdiff_t>(at + page_size_));
    }
    jet::file_format format() const override { return format_; }
    bytes& page(std::uint32_t n) override { return pages_.at(n); }
    std::uint32_t allocate() override
    {
        pages_.emplace_back(page_size_, 0);
        return static_cast<std::uint32_t>(pages_.size() - 1);
    }
    std::size_t pages() const { return pages_.size(); }

    void save(const std::string& path) const
    {
        std::ofstream out(path, std::ios::binary);
        for (const bytes& p : pages_) out.write(reinterpret_cast<const char*>(p.data()), static_cast<std::streamsize>(p.size()));
    }

    // The pages as a file the reader opens.
    std::unique_ptr<jet::page_file> file() const
    {
        bytes image;
        for (const bytes& p : pages_) image.insert(image.end(), p.begin(), p.end());
        return std::make_unique<jet::page_file>(std::move(image), "memory.mdb", L"");
    }

private:
    jet::file_format format_;
    std::uint32_t page_size_;
    std::vector<bytes> pages_;
};

constexpr std::uint32_t owner = 2;

// Text keys as the encoder makes them (so prefixes and lengths vary as in real indexes).
jet::index_entry text_entry(const std::wstring& s, std::uint32_t row_no)
{
    jet::key_column c;
    c.type = jet::column_type::text;
    jet::index_entry e;
    jet::append_key_column(c, jet::value(s), e.key);
    e.data_page = 1000 + row_no / 50;
    e.row = static_cast<std::uint8_t>(row_no % 50);
    return e;
}

std::vector<jet::index_entry> walk(memory_store& s, std::uint32_t root, std::uint32_t owner_page = owner)
{
    std::vector<jet::index_entry> out;
    jet::walk_index(
        jet::index_layout_for(s.format()), static_cast<std::uint32_t>(s.pages()),
        [&](std::uint32_t n) { return s.page(n).data(); }, root, owner_page,
        [&](const jet::index_entry& e) { out.push_back(e); }, "memory");
    return out;
}

// The leaves, followed from the leftmost by their next links, hold the same entries in the same order.
std::vector<jet::index_entry> leaf_chain(const memory_store& s, std::uint32_t root)
{
    auto f = s.file();
    std::vector<std::uint8_t> scratch;
    std::uint32_t n = root;
    jet::index_page p = jet::decode_index_page(*f, n, f->page(n, scratch));
    while (!p.leaf) {
        n = p.entries.empty() ? p.tail : p.entries.front().child;
        p = jet::decode_index_page(*f, n, f->page(n, scratch));
    }
    std::vector<jet::index_entry> out;
    std::uint32_t prev = 0;
    for (int guard = 0; guard < 100000; ++guard) {
        EXPECT_EQ(p.prev, prev) << "page " << n;
        out.insert(out.end(), p.entries.begin(), p.entries.end());
        if (p.next == 0) break;
        prev = n;
        n = p.next;
        p = jet::decode_index_page(*f, n, f->page(n, scratch));
    }
    return out;
}

// Levels of the tree at `root` (1: a lone leaf).
int depth(memory_store& s, std::uint32_t root)
{
    const auto& L = jet::index_layout_for(s.format());
    int levels = 1;
    for (std::uint32_t n = root;; ++levels) {
        jet::index_page p = jet::decode_index_page(L, n, s.page(n).data(), "memory");
        if (p.leaf) return levels;
        n = p.entries.empty() ? p.tail : p.entries.front().child;
    }
}

// Below each intermediate page, intermediate children form one chain from the first to the tail.
void expect_siblings_linked(memory_store& s, std::uint32_t root)
{
    const auto& L = jet::index_layout_for(s.format());
    std::vector<std::uint32_t> nodes{root};
    while (!nodes.empty()) {
        jet::index_page p = jet::decode_index_page(L, nodes.back(), s.page(nodes.back()).data(), "memory");
        nodes.pop_back();
        if (p.leaf) continue;
        std::vector<std::uint32_t> kids;
        for (const auto& e : p.entries) kids.push_back(e.child);
        if (p.tail) kids.push_back(p.tail);
        for (std::size_t i = 0; i < kids.size(); ++i) {
            jet::index_page k = jet::decode_index_page(L, kids[i], s.page(kids[i]).data(), "memory");
            if (k.leaf) break;
            EXPECT_EQ(k.prev, i > 0 ? kids[i - 1] : 0u);
            EXPECT_EQ(k.next, i + 1 < kids.size() ? kids[i + 1] : 0u);
            nodes.push_back(kids[i]);
        }
    }
}

void expect_same(const std::vector<jet::index_entry>& got, const std::vector<jet::index_entry>& want)
{
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].key, want[i].key) << "entry " << i;
        EXPECT_TRUE(got[i].same_row(want[i])) << "entry " << i;
    }
}

std::wstring word(std::mt19937& rng)
{
    static const wchar_t letters[] = L"abcdefghijklmnopqrstuvwxyzABCDE\u00e9\u00fc\u00df\u4e2d\u0416 -'";
    std::wstring w;
    std::size_t n = 1 + rng() % 40;
    for (std::size_t i = 0; i < n; ++i) w += letters[rng() % (std::size(letters) - 1)];
    return w;
}

class IndexTree : public ::testing::TestWithParam<const char*> {};

TEST_P(IndexTree, BuiltTreeWalksBackInOrder)
{
    for (std::size_t count : {0u, 1u, 7u, 8000u}) {
        memory_store s(GetParam());
        std::mt19937 rng(static_cast<unsigned>(count));
        std::vector<jet::index_entry> entries;
        for (std::uint32_t i = 0; i < count; ++i) entries.push_back(text_entry(word(rng), i));
        std::sort(entries.begin(), entries.end());
        std::uint32_t root = jet::build_index(s, owner, entries);
        expect_same(walk(s, root), entries);
        expect_same(leaf_chain(s, root), entries);
        if (count == 8000) {
            auto f = s.file();
            std::vector<std::uint8_t> scratch;
            EXPECT_EQ(f->page(root, scratch)[0], jet::index_node_page);  // more than one level
        }
    }
}

// Entries streamed in order make a deep tree (small keys, many pages) whose intermediate pages link only to
// their neighbours under the same parent; out-of-order entries and a second finish are refused.
TEST_P(IndexTree, AppenderStreamsADeepTree)
{
    memory_store s(GetParam());
    jet::index_appender a(s, owner);
    jet::key_column c;
    c.type = jet::column_type::long_integer;
    std::vector<jet::index_entry> all;
    for (std::int32_t i = 0; i < 60000; ++i) {
        jet::index_entry e;
        jet::append_key_column(c, jet::value(i - 30000), e.key);
        e.data_page = 300 + static_cast<std::uint32_t>(i) / 100;
        e.row = static_cast<std::uint8_t>(i % 100);
        a.add(e);
        all.push_back(e);
    }
    EXPECT_THROW(a.add(all.front()), jet::error);
    std::uint32_t root = a.finish();
    EXPECT_THROW(a.finish(), jet::error);
    expect_same(walk(s, root), all);
    expect_same(leaf_chain(s, root), all);
    ASSERT_GE(depth(s, root), s.format() == jet::file_format::jet3 ? 3 : 2);
    expect_siblings_linked(s, root);
}

// A tree taken up again at its right edge (after a build, after inserts, when empty) takes further
// ascending entries, growing levels as needed, and reads back whole.
TEST_P(IndexTree, AppenderContinuesAnExistingTree)
{
    jet::key_column c;
    c.type = jet::column_type::long_integer;
    auto entry = [&](std::int32_t i) {
        jet::index_entry e;
        jet::append_key_column(c, jet::value(i), e.key);
        e.data_page = 300 + static_cast<std::uint32_t>(i) / 100;
        e.row = static_cast<std::uint8_t>(i % 100);
        return e;
    };
    for (int start : {0, 1, 500, 20000}) {
        memory_store s(GetParam());
        std::vector<jet::index_entry> all;
        for (std::int32_t i = 0; i < start; ++i) all.push_back(entry(2 * i));
        std::uint32_t root = jet::build_index(s, owner, all);
        // Some inserts first (they split pages the appender then takes up).
        for (std::int32_t i = 0; i < std::min(start, 300); i += 3) {
            ASSERT_TRUE(jet::insert_index_entry(s, owner, root, entry(2 * i + 1), true));
            all.push_back(entry(2 * i + 1));
        }
        std::sort(all.begin(), all.end());
        for (int round = 0; round < 2; ++round) {
            jet::index_appender a(s, owner, root);
            if (!all.empty()) {
                EXPECT_FALSE(a.can_take(all.back()));
            }
            std::int32_t from = 2 * start + 10 + round * 12000;
            for (std::int32_t i = from; i < from + 12000; ++i) {
                ASSERT_TRUE(a.can_take(entry(i)));
                a.add(entry(i));
                all.push_back(entry(i));
            }
            root = a.finish();
            expect_same(walk(s, root), all);
            expect_same(leaf_chain(s, root), all);
            expect_siblings_linked(s, root);
        }
        if (start == 20000) {
            EXPECT_GE(depth(s, root), s.format() == jet::file_format::jet3 ? 3 : 2);
        }
    }
    // Taken up and finished without entries: the same empty leaf.
    memory_store s(GetParam());
    std::uint32_t root = jet::build_index(s, owner, {});
    jet::index_appender a(s, owner, root);
    EXPECT_EQ(a.finish(), root);
    EXPECT_TRUE(walk(s, root).empty());
}

TEST_P(IndexTree, InsertsThatSplitPagesKeepTheOrder)
{
    memory_store s(GetParam());
    std::uint32_t root = jet::build_index(s, owner, {});
    std::mt19937 rng(7);
    std::vector<jet::index_entry> all;
    // Random words, then an ascending run (appends at the right edge), then a descending run.
    for (std::uint32_t i = 0; i < 3000; ++i) {
        jet::index_entry e = i < 2000 ? text_entry(word(rng), i)
                             : i < 2500 ? text_entry(L"zz" + std::to_wstring(100000 + i), i)
                                        : text_entry(L"aa" + std::to_wstring(100000 - i), i);
        ASSERT_TRUE(jet::insert_index_entry(s, owner, root, e, false));
        all.push_back(e);
        if (i % 1000 == 0) {
            std::vector<jet::index_entry> sorted = all;
            std::sort(sorted.begin(), sorted.end());
            expect_same(walk(s, root), sorted);
        }
    }
    std::sort(all.begin(), all.end());
    expect_same(walk(s, root), all);
    expect_same(leaf_chain(s, root), all);
    // Splits reached the intermediate pages too (the 2 KiB pages of Jet3 get there first).
    EXPECT_GE(depth(s, root), s.format() == jet::file_format::jet3 ? 3 : 2);
}

TEST_P(IndexTree, InsertsIntoABuiltTree)
{
    memory_store s(GetParam());
    std::vector<jet::index_entry> all;
    for (std::uint32_t i = 0; i < 3000; i += 2) all.push_back(text_entry(L"k" + std::to_wstring(100000 + i), i));
    std::uint32_t root = jet::build_index(s, owner, all);
    for (std::uint32_t i = 1; i < 3000; i += 2) {
        jet::index_entry e = text_entry(L"k" + std::to_wstring(100000 + i), i);
        ASSERT_TRUE(jet::insert_index_entry(s, owner, root, e, true));
        all.push_back(e);
    }
    std::sort(all.begin(), all.end());
    expect_same(walk(s, root), all);
    expect_same(leaf_chain(s, root), all);
}

TEST_P(IndexTree, UniqueIndexRefusesAnExistingKey)
{
    memory_store s(GetParam());
    std::vector<jet::index_entry> all;
    for (std::uint32_t i = 0; i < 3000; ++i) all.push_back(text_entry(L"n" + std::to_wstring(10000 + i), i));
    std::uint32_t root = jet::build_index(s, owner, all);
    std::size_t pages = s.pages();
    // The same key for another row (case and trailing spaces do not make a key different).
    EXPECT_FALSE(jet::insert_index_entry(s, owner, root, text_entry(L"N10000  ", 9999), true));
    EXPECT_FALSE(jet::insert_index_entry(s, owner, root, text_entry(L"n12999", 9999), true));
    EXPECT_FALSE(jet::insert_index_entry(s, owner, root, text_entry(L"n11234", 9999), true));
    EXPECT_EQ(s.pages(), pages);
    expect_same(walk(s, root), all);
    EXPECT_TRUE(jet::index_contains_key(s, owner, root, text_entry(L"n10000", 0).key));
    EXPECT_TRUE(jet::index_contains_key(s, owner, root, text_entry(L"N12999", 0).key));
    EXPECT_FALSE(jet::index_contains_key(s, owner, root, text_entry(L"n13000", 0).key));
    EXPECT_FALSE(jet::index_contains_key(s, owner, root, text_entry(L"a", 0).key));
    EXPECT_TRUE(jet::insert_index_entry(s, owner, root, text_entry(L"n13000", 9999), true));
    jet::index_key_layout k;
    k.columns.resize(1);
    EXPECT_TRUE(jet::has_duplicate_key(k, {text_entry(L"a", 1), text_entry(L"A", 2)}));
    // Rows whose key columns are all null may share their key in a unique index.
    jet::index_entry n1{{0x00}, 5, 1, 0}, n2{{0x00}, 5, 2, 0};
    EXPECT_FALSE(jet::has_duplicate_key(k, {n1, n2}));
    EXPECT_TRUE(jet::all_null_key(k, n1.key));
    EXPECT_FALSE(jet::all_null_key(k, text_entry(L"", 1).key));
}

TEST_P(IndexTree, OversizedKeyOrUnsortedInputIsRefused)
{
    memory_store s(GetParam());
    jet::index_entry big;
    big.key.assign(jet::max_index_key(s.format()) + 1, 0x41);
    EXPECT_THROW(jet::build_index(s, owner, {big}), jet::error);
    std::uint32_t root = jet::build_index(s, owner, {});
    EXPECT_THROW(jet::insert_index_entry(s, owner, root, big, false), jet::error);
    EXPECT_THROW(jet::build_index(s, owner, {text_entry(L"b", 1), text_entry(L"a", 2)}), jet::error);
    // Keys of the largest allowed size still build and split.
    std::vector<jet::index_entry> large;
    for (std::uint32_t i = 0; i < 40; ++i) {
        jet::index_entry e;
        e.key.assign(jet::max_index_key(s.format()), static_cast<std::uint8_t>(0x10 + i));
        e.data_page = 500 + i;
        large.push_back(e);
    }
    root = jet::build_index(s, owner, {});
    for (const auto& e : large) ASSERT_TRUE(jet::insert_index_entry(s, owner, root, e, true));
    expect_same(walk(s, root), large);
}

// Every index of the corpus rebuilt from its own entries (and, for the smaller ones, grown entry by entry in
// shuffled order) walks back to the entries Access stored. Leaf pages are counted against Access's.
TEST(IndexTreeCorpus, AccessEntriesRebuildAndReinsert)
{
    std::string dir = drav_test::testdata_dir();
    if (!std::filesystem::exists(dir)) GTEST_SKIP() << "test data not found: " << dir;
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        std::string ext = e.path().extension().string();
        if (ext == ".mdb" || ext == ".accdb") files.push_back(e.path().string());
    }
    std::sort(files.begin(), files.end());
    std::size_t indexes = 0, entries = 0, reinserted = 0;
    std::mt19937 rng(11);
    for (const std::string& path : files) {
        std::shared_ptr<jet::database> db;
        try {
            db = jet::database::open(path);
        } catch (const jet::error&) {
            continue;  // protected files: their pages are not plain in memory
        }
        // The benchmark files (100,000-row tables) add only size: the appender test covers big trees.
        if (db->header().encrypted || std::filesystem::file_size(path) > 8u * 1024 * 1024) continue;
        memory_store s(path);
        for (const jet::catalog_entry* ce : db->tables(true)) {
            std::shared_ptr<const jet::table_def> t;
            try {
                t = db->table(ce->name);
            } catch (const jet::error&) {
                continue;
            }
            if (!t || t->tdef_page == 0) continue;
            for (const jet::index_def& x : t->indexes) {
                std::vector<jet::index_entry> stored = jet::read_index(db->file(), *t, x);
                jet::index_key_layout k = jet::key_layout(db->format(), *t, x);
                if (x.unique()) {
                    EXPECT_FALSE(jet::has_duplicate_key(k, stored));
                }
                std::uint32_t root = jet::build_index(s, t->tdef_page, stored);
                expect_same(walk(s, root, t->tdef_page), stored);
                ++indexes;
                entries += stored.size();
                if (stored.size() > 1000) continue;
                std::vector<jet::index_entry> shuffled = stored;
                std::shuffle(shuffled.begin(), shuffled.end(), rng);
                root = jet::build_index(s, t->tdef_page, {});
                for (const jet::index_entry& e : shuffled)
                    ASSERT_TRUE(jet::insert_index_entry(s, t->tdef_page, root, e, x.unique() && !jet::all_null_key(k, e.key)));
                expect_same(walk(s, root, t->tdef_page), stored);
                reinserted += stored.size();
            }
        }
    }
    std::printf("rebuilt %zu indexes (%zu entries), %zu entries reinserted one by one\n", indexes, entries, reinserted);
}

// Sets the root-page field of the real index rooted at `root` in the table definition at `tdef` (a page
// chain whose later pages continue after their 8-byte header): the field follows the index's ten
// 3-byte column slots (column number, or 0xFFFF unused) and 4 more bytes, in both layouts. False when it
// is not found exactly once.
bool patch_root(memory_store& s, std::uint32_t tdef, const jet::index_def& x, std::uint32_t new_root)
{
    bytes data;
    std::vector<std::pair<std::uint32_t, std::size_t>> where;  // page and offset of each byte of `data`
    for (std::uint32_t n = tdef, hops = 0; n != 0 && hops < 100; ++hops) {
        const bytes& pg = s.page(n);
        for (std::size_t i = hops == 0 ? 0 : 8; i < pg.size(); ++i) {
            data.push_back(pg[i]);
            where.emplace_back(n, i);
        }
        n = jet::rd32(pg.data() + 4);
    }
    std::size_t found = 0, count = 0;
    for (std::size_t at = 34; at + 4 <= data.size(); ++at) {
        if (jet::rd32(data.data() + at) != x.root_page) continue;
        bool slots = true;
        for (std::size_t k = 0; k < 10 && slots; ++k) {
            std::uint16_t want = k < x.columns.size() ? x.columns[k].number : 0xFFFF;
            slots = jet::rd16(data.data() + at - 34 + 3 * k) == want;
        }
        if (!slots) continue;
        found = at;
        ++count;
    }
    if (count != 1) return false;
    for (int i = 0; i < 4; ++i)
        s.page(where[found + i].first)[where[found + i].second] = static_cast<std::uint8_t>(new_root >> (8 * i));
    return true;
}

// Text output of an mdbtools command ("" when it cannot run).
std::string run(const std::string& command)
{
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[4096];
        while (std::size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

// Real files whose every index is replaced by a tree we write (built whole, or grown entry by entry in
// shuffled order): our reader finds exactly the keys of the rows in them, and mdbtools reads the file as
// before (its tables and schema).
TEST(IndexTreeFile, RealFilesWithOurIndexTreesReadBack)
{
    bool have_mdbtools = !run("command -v mdb-export").empty();
    drav_test::scratch_dir dir("index-tree");
    std::mt19937 rng(5);
    for (const char* rel : {"jackcess/V2003/compIndexTestV2003.mdb", "jackcess/V1997/testV1997.mdb",
                            "mdb-reader/data/V2010/test.accdb", "mdb-reader/data/V2003/test.mdb"}) {
        std::string path = drav_test::testdata(rel);
        if (path.empty()) continue;
        auto db = jet::database::open(path);
        memory_store s(path);
        std::size_t patched = 0, indexes = 0;
        for (const jet::catalog_entry* ce : db->tables(true)) {
            auto t = db->table(ce->name);
            std::set<std::int32_t> done;
            for (const jet::index_def& x : t->indexes) {
                if (!done.insert(x.real_index).second || x.columns.empty()) continue;
                ++indexes;
                std::vector<jet::index_entry> stored = jet::read_index(db->file(), *t, x);
                jet::index_key_layout k = jet::key_layout(db->format(), *t, x);
                std::uint32_t root = jet::build_index(s, t->tdef_page, indexes % 2 ? stored : std::vector<jet::index_entry>{});
                if (indexes % 2 == 0) {
                    std::vector<jet::index_entry> shuffled = stored;
                    std::shuffle(shuffled.begin(), shuffled.end(), rng);
                    for (const jet::index_entry& e : shuffled)
                        ASSERT_TRUE(jet::insert_index_entry(s, t->tdef_page, root, e, x.unique() && !jet::all_null_key(k, e.key)));
                }
                if (!patch_root(s, t->tdef_page, x, root)) {
                    ADD_FAILURE() << rel << ": no root field for an index of " << std::string(t->name.begin(), t->name.end());
                    continue;
                }
                ++patched;
            }
        }
        EXPECT_EQ(patched, indexes) << rel;
        std::string copy = (dir.path() / "rebuilt").string() + std::filesystem::path(path).extension().string();
        s.save(copy);

        auto re = jet::database::open(copy);
        drav_test::index_tally tally;
        for (const jet::catalog_entry* ce : re->tables(true)) {
            auto t = re->table(ce->name);
            for (const jet::index_def& x : t->indexes) EXPECT_NE(x.root_page, db->table(ce->name)->indexes[static_cast<std::size_t>(&x - t->indexes.data())].root_page);
            drav_test::check_index_keys(*re, *t, rel, tally);
        }
        for (const std::string& r : tally.reports) ADD_FAILURE() << r;
        EXPECT_EQ(tally.mismatched_indexes, 0) << rel;

        if (!have_mdbtools) continue;
        EXPECT_EQ(run("mdb-schema '" + copy + "' 2>&1"), run("mdb-schema '" + path + "' 2>&1")) << rel;
        for (const jet::catalog_entry* ce : db->tables()) {
            std::string name(ce->name.begin(), ce->name.end());
            std::string want = run("mdb-export '" + path + "' '" + name + "' 2>&1");
            EXPECT_FALSE(want.empty());
            EXPECT_EQ(run("mdb-export '" + copy + "' '" + name + "' 2>&1"), want) << rel << " " << name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, IndexTree, ::testing::Values("jet4_plain.mdb", "jet3_plain.mdb"));

} // namespace

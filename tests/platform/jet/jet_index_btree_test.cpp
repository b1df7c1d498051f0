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
    for (std::size_t count : {0u, 1u, 7u, 20000u}) {
        memory_store s(GetParam());
        std::mt19937 rng(static_cast<unsigned>(count));
        std::vector<jet::index_entry> entries;
        for (std::uint32_t i = 0; i < count; ++i) entries.push_back(text_entry(word(rng), i));
        std::sort(entries.begin(), entries.end());
        std::uint32_t root = jet::build_index(s, owner, entries);
        expect_same(walk(s, root), entries);
        expect_same(leaf_chain(s, root), entries);
        if (count == 20000) {
            auto f = s.file();
            std::vector<std::uint8_t> scratch;
            EXPECT_EQ(f->page(root, scratch)[0], jet::index_node_page);  // more than one level
        }
    }
}

TEST_P(IndexTree, InsertsThatSplitPagesKeepTheOrder)
{
    memory_store s(GetParam());
    std::uint32_t root = jet::build_index(s, owner, {});
    std::mt19937 rng(7);
    std::vector<jet::index_entry> all;
    // Random words, then an ascending run (appends at the right edge), then a descending run.
    for (std::uint32_t i = 0; i < 6000; ++i) {
        jet::index_entry e = i < 4000 ? text_entry(word(rng), i)
                             : i < 5000 ? text_entry(L"zz" + std::to_wstring(100000 + i), i)
                                        : text_entry(L"aa" + std::to_wstring(100000 - i), i);
        ASSERT_TRUE(jet::insert_index_entry(s, owner, root, e, false));
        all.push_back(e);
        if (i % 1500 == 0) {
            std::vector<jet::index_entry> sorted = all;
            std::sort(sorted.begin(), sorted.end());
            expect_same(walk(s, root), sorted);
        }
    }
    std::sort(all.begin(), all.end());
    expect_same(walk(s, root), all);
    expect_same(leaf_chain(s, root), all);
    auto f = s.file();
    std::vector<std::uint8_t> scratch;
    EXPECT_EQ(f->page(root, scratch)[0], jet::index_node_page);
}

TEST_P(IndexTree, InsertsIntoABuiltTree)
{
    memory_store s(GetParam());
    std::vector<jet::index_entry> all;
    for (std::uint32_t i = 0; i < 8000; i += 2) all.push_back(text_entry(L"k" + std::to_wstring(100000 + i), i));
    std::uint32_t root = jet::build_index(s, owner, all);
    for (std::uint32_t i = 1; i < 8000; i += 2) {
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
        if (db->header().encrypted) continue;
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
                if (stored.size() > 3000) continue;
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

INSTANTIATE_TEST_SUITE_P(Formats, IndexTree, ::testing::Values("jet4_plain.mdb", "jet3_plain.mdb"));

} // namespace

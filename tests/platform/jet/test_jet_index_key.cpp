// Index keys and index pages: order preservation of the encoder, the page codec's round trip, and
// damaged index pages refused with an error.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>

#include "platform/jet/jet_database.h"
#include "platform/jet/jet_index_key.h"
#include "platform/jet/jet_index_page.h"
#include "platform/jet/jet_index_walk.h"
#include "platform/jet/jet_text_key.h"
#include "tests/support/testdata.h"

namespace {

using jet::column_type;
using jet::key_column;
using jet::value;
using bytes = std::vector<std::uint8_t>;

bytes key_of(const key_column& c, const value& v)
{
    bytes out;
    jet::append_key_column(c, v, out);
    return out;
}

// Keys of values given in ascending order must ascend (and descend for a descending column).
void expect_ordered(key_column c, const std::vector<value>& ascending_values)
{
    for (bool asc : {true, false}) {
        c.ascending = asc;
        for (std::size_t i = 1; i < ascending_values.size(); ++i) {
            bytes a = key_of(c, ascending_values[i - 1]), b = key_of(c, ascending_values[i]);
            if (asc)
                EXPECT_LT(a, b) << jet::type_name(c.type) << " at " << i;
            else
                EXPECT_GT(a, b) << jet::type_name(c.type) << " at " << i;
        }
    }
}

TEST(IndexKey, NumbersKeepTheirOrderBothWays)
{
    key_column c;
    c.type = column_type::long_integer;
    expect_ordered(c, {value(), value(std::int32_t(INT32_MIN)), value(std::int32_t(-1)), value(std::int32_t(0)),
                       value(std::int32_t(1)), value(std::int32_t(INT32_MAX))});
    c.type = column_type::double_;
    expect_ordered(c, {value(), value(-HUGE_VAL), value(-2.5), value(-1e-300), value(0.0), value(1e-300), value(3.0),
                       value(HUGE_VAL)});
    c.type = column_type::currency;
    expect_ordered(c, {value(), value(jet::currency{-50000}), value(jet::currency{0}), value(jet::currency{7})});
    c.type = column_type::byte;
    expect_ordered(c, {value(), value(std::uint8_t(0)), value(std::uint8_t(200))});
    // Decimal keys of Access 2007 and later (earlier files misorder descending negatives, as Access did).
    c.type = column_type::numeric;
    c.scale = 2;
    jet::decimal neg{true, 2, 18, 0, 150}, small{false, 1, 18, 0, 3}, big{false, 2, 18, 1, 0};
    expect_ordered(c, {value(), value(neg), value(small), value(big)});
}

TEST(IndexKey, TextFollowsTheGeneralOrder)
{
    key_column c;
    c.type = column_type::text;
    for (jet::text_order o : {jet::text_order::general, jet::text_order::general_legacy}) {
        c.order = o;
        expect_ordered(c, {value(), value(std::wstring(L"")), value(std::wstring(L"a")),
                           value(std::wstring(L"ab")), value(std::wstring(L"B")), value(std::wstring(L"\u00e9t\u00e9")),
                           value(std::wstring(L"z"))});
        // A small kana sorts just before its full-size form (it differs by its compatibility flag only).
        expect_ordered(c, {value(std::wstring(L"\u3041")), value(std::wstring(L"\u3042"))});
        expect_ordered(c, {value(std::wstring(L"\u30A1")), value(std::wstring(L"\u30A2"))});
        expect_ordered(c, {value(std::wstring(L"\u304D\u3083")), value(std::wstring(L"\u304D\u3084"))});
    }
    // Case and trailing spaces: the same primary bytes; trailing spaces leave no trace.
    bytes a, b;
    jet::append_text_key(L"abc   ", jet::text_order::general, true, a);
    jet::append_text_key(L"abc", jet::text_order::general, true, b);
    EXPECT_EQ(a, b);
    // Only the first 255 UTF-16 units count.
    bytes longer, cut;
    jet::append_text_key(std::wstring(300, L'x'), jet::text_order::general, true, longer);
    jet::append_text_key(std::wstring(255, L'x'), jet::text_order::general, true, cut);
    EXPECT_EQ(longer, cut);
}

TEST(IndexKey, HostileTextEncodesWithoutFault)
{
    // Unpaired surrogates, private use, noncharacters and out-of-range code points.
    std::wstring s;
    for (wchar_t w : {L'\x1', L'\xD800', L'\xDFFF', L'\xE000', L'\xFFFF', L'\x10FFFF', static_cast<wchar_t>(0x7FFFFFFF)})
        s += w;
    for (jet::text_order o :
         {jet::text_order::general, jet::text_order::general_legacy, jet::text_order::general_97}) {
        for (bool asc : {true, false}) {
            bytes out;
            jet::append_text_key(s, o, asc, out);
            EXPECT_FALSE(out.empty());
        }
    }
}

TEST(IndexKey, WrongValueKindIsAnError)
{
    key_column c;
    c.type = column_type::long_integer;
    bytes out;
    EXPECT_THROW(jet::append_key_column(c, value(std::wstring(L"x")), out), jet::error);
}

TEST(IndexPage, EncodeDecodeRoundTrip)
{
    DRAV_TESTDATA_OR_SKIP(path, "mdb-reader/data/V2003/test.mdb");
    auto db = jet::database::open(path);
    for (bool leaf : {true, false}) {
        jet::index_page p;
        p.leaf = leaf;
        p.owner = 7;
        p.prev = 3;
        p.next = 9;
        p.tail = leaf ? 0 : 12;
        for (std::uint32_t i = 0; i < 50; ++i)
            p.entries.push_back({{0x7F, 0x80, 0x00, 0x00, static_cast<std::uint8_t>(i)}, 100 + i / 3, static_cast<std::uint8_t>(i % 3), leaf ? 0 : 200 + i});
        bytes page;
        ASSERT_TRUE(jet::encode_index_page(jet::index_layout_for(db->format()), p, page));
        const auto& L = jet::index_layout_for(db->format());
        EXPECT_EQ(page[0], leaf ? jet::index_leaf_page : jet::index_node_page);
        // As Access writes them: leaf entries whole, intermediate entries sharing their common prefix.
        EXPECT_EQ(page[L.prefix_at], leaf ? 0 : 4);
        jet::index_page back = jet::decode_index_page(db->file(), 1, page.data());
        EXPECT_EQ(back.owner, 7u);
        EXPECT_EQ(back.prev, 3u);
        EXPECT_EQ(back.next, 9u);
        EXPECT_EQ(back.tail, p.tail);
        ASSERT_EQ(back.entries.size(), p.entries.size());
        for (std::size_t i = 0; i < p.entries.size(); ++i) {
            EXPECT_EQ(back.entries[i].key, p.entries[i].key);
            EXPECT_TRUE(back.entries[i].same_row(p.entries[i]));
            EXPECT_EQ(back.entries[i].child, p.entries[i].child);
        }
    }
}

TEST(IndexPage, OverfullPageIsRefused)
{
    jet::index_page p;
    for (std::uint32_t i = 0; i < 400; ++i)
        p.entries.push_back({bytes(12, static_cast<std::uint8_t>(i)), i, 0, 0});
    bytes page;
    EXPECT_FALSE(jet::encode_index_page(jet::index_layout_for(jet::file_format::jet4), p, page));
}

// A damaged index page in a real file: a bitmap bit past the page, a prefix longer than the first entry,
// a page pointing at itself. Each is an error naming the page, never a crash.
TEST(IndexPage, DamagedPagesAreErrors)
{
    DRAV_TESTDATA_OR_SKIP(path, "mdb-reader/data/V2003/test.mdb");
    std::ifstream in(path, std::ios::binary);
    bytes image((std::istreambuf_iterator<char>(in)), {});
    auto db = jet::database::open(path);
    std::shared_ptr<const jet::table_def> t;
    const jet::index_def* x = nullptr;
    for (const jet::catalog_entry* ce : db->tables(true)) {
        t = db->table(ce->name);
        for (const jet::index_def& d : t->indexes)
            if (!jet::read_index(db->file(), *t, d).empty()) x = &d;
        if (x) break;
    }
    ASSERT_NE(x, nullptr);
    const auto& L = jet::index_layout_for(db->format());
    std::size_t at = static_cast<std::size_t>(x->root_page) * L.page_size;
    auto damaged = [&](auto change) {
        bytes copy = image;
        change(copy.data() + at);
        auto bad = jet::database::open_image(copy, "damaged.mdb");
        auto bt = bad->table(t->name);
        const jet::index_def& bx = bt->indexes[static_cast<std::size_t>(x - t->indexes.data())];
        EXPECT_THROW(jet::read_index(bad->file(), *bt, bx), jet::error);
    };
    damaged([&](std::uint8_t* pg) { std::fill(pg + L.mask_at, pg + L.mask_at + L.mask_size, 0xFF); });
    damaged([&](std::uint8_t* pg) { pg[L.prefix_at] = 0xFF; });
    damaged([&](std::uint8_t* pg) {
        pg[0] = jet::index_node_page;
        pg[L.tail_at] = static_cast<std::uint8_t>(x->root_page);
        pg[L.tail_at + 1] = static_cast<std::uint8_t>(x->root_page >> 8);
        pg[L.tail_at + 2] = pg[L.tail_at + 3] = 0;
    });
    damaged([&](std::uint8_t* pg) { pg[0] = 0x01; });
}

} // namespace

// The small databases written by fuzz/make_seeds.py, whose every byte is known: row layouts of both page
// sizes (jump tables included), deleted and overflow rows, the three kinds of long value, empty text
// against NULL, properties with their types, linked-table entries, and the version byte.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/jet/jet_database.h"
#include "platform/jet/jet_rc4.h"

namespace {

using jet::database;
using jet::value;

std::string seed(const char* name) { return std::string(DRAV_SOURCE_DIR) + "/fuzz/seeds/" + name; }

std::vector<std::uint8_t> slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class JetSynthetic : public ::testing::TestWithParam<const char*> {};

TEST_P(JetSynthetic, RowsInTableOrderWithEveryStorageForm)
{
    auto db = database::open(seed(GetParam()));
    bool jet3 = std::string(GetParam()).starts_with("jet3");
    EXPECT_EQ(db->format(), jet3 ? jet::file_format::jet3 : jet::file_format::jet4);
    auto def = db->table(L"things");
    ASSERT_GE(def->columns.size(), 13u);
    EXPECT_EQ(def->columns[2].name, L"name");
    EXPECT_EQ(def->columns[2].size(!jet3), jet3 ? 100u : 50u);

    auto cur = db->rows(def);
    std::vector<std::int32_t> ids;
    std::vector<std::vector<value>> rows;
    while (cur.next()) {
        ids.push_back(cur[0].as_int32());
        rows.push_back(cur.values());
    }
    // Row 4 is deleted; row 5 lives on the next page behind an overflow pointer placed before row 3.
    ASSERT_EQ(ids, (std::vector<std::int32_t>{1, 2, 5, 3}));
    EXPECT_EQ(db->count_rows(L"Things"), 4u);

    const auto& r1 = rows[0];
    EXPECT_TRUE(r1[1].as_bool());
    EXPECT_EQ(r1[2].as_text(), L"first");
    EXPECT_EQ(r1[3].as_text(), L"hello");                                 // inline memo
    EXPECT_EQ(r1[4].as_datetime().days, 36526.5);
    EXPECT_EQ(r1[5].as_currency().scaled, 12345678);
    EXPECT_EQ(r1[6].as_decimal().to_string(), "123456789.0123");
    EXPECT_EQ(r1[7].as_guid().to_wstring(), L"{03020100-0504-0706-0809-0A0B0C0D0E0F}");
    EXPECT_EQ(r1[8].as_double(), 0.25);
    ASSERT_EQ(r1[9].type(), value::binary_k);                              // long binary on its own row
    EXPECT_EQ(r1[9].as_binary().size(), jet3 ? 21u : 42u);
    EXPECT_EQ(r1[10].as_byte(), 7);
    EXPECT_EQ(r1[11].as_int16(), -2);
    EXPECT_EQ(r1[12].as_single(), 1.5f);

    const auto& r2 = rows[1];
    EXPECT_FALSE(r2[1].as_bool());
    ASSERT_EQ(r2[2].type(), value::text_k) << "an empty text is not NULL";
    EXPECT_TRUE(r2[2].as_text().empty());
    EXPECT_TRUE(r2[3].is_null());
    EXPECT_EQ(r2[6].as_decimal().to_string(), "-0.0042");
    for (std::size_t i = 7; i < r2.size(); ++i) EXPECT_TRUE(r2[i].is_null()) << i;

    EXPECT_EQ(rows[2][2].as_text(), L"moved here");

    const auto& r3 = rows[3];
    EXPECT_EQ(r3[2].as_text(), L"third \u00e9");                          // compressed in Jet4
    std::wstring chain;
    for (int i = 0; i < 6; ++i) chain += L"long value spread over a chain of rows ";
    EXPECT_EQ(r3[3].as_text(), chain);                                    // two chained rows
    if (def->columns.size() > 13) {
        EXPECT_EQ(r3[13].as_text(), L"padding text 0");                   // past 256 bytes in Jet3: jump table
        EXPECT_EQ(r3[36].as_text(), L"padding text 23");
    }
}

TEST_P(JetSynthetic, CatalogueAndProperties)
{
    auto db = database::open(seed(GetParam()));
    std::vector<std::wstring> names;
    for (auto* e : db->tables()) names.push_back(e->name);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"Things", L"Linked"}));
    const jet::catalog_entry* linked = db->find(L"linked");
    ASSERT_NE(linked, nullptr);
    EXPECT_EQ(linked->kind(), jet::object_kind::linked_table);
    EXPECT_EQ(linked->database, L"C:\\other.mdb");
    EXPECT_EQ(linked->foreign_name, L"Remote");
    EXPECT_THROW(db->table(L"Linked"), jet::error);
    ASSERT_EQ(db->queries().size(), 1u);
    EXPECT_EQ(db->queries()[0]->name, L"Query1");

    auto def = db->table(L"Things");
    EXPECT_EQ(def->properties.get(L"Description").as_text(), L"things to read");
    EXPECT_TRUE(def->properties.get(L"OrderByOn").as_bool());
    const auto& name = def->columns[static_cast<std::size_t>(def->find_column(L"NAME"))];
    EXPECT_EQ(name.properties.get(L"DefaultValue").as_text(), L"\"x\"");
    EXPECT_FALSE(name.properties.get(L"Required").as_bool());
    const auto& price = def->columns[static_cast<std::size_t>(def->find_column(L"price"))];
    EXPECT_EQ(price.properties.get(L"Format").as_text(), L"Currency");
    EXPECT_EQ(price.properties.get(L"DecimalPlaces").as_byte(), 2);

    ASSERT_EQ(def->indexes.size(), 2u);
    EXPECT_TRUE(def->indexes[0].primary());
    EXPECT_TRUE(def->indexes[0].unique());
    EXPECT_TRUE(def->indexes[0].required());
    EXPECT_EQ(def->indexes[1].columns[0].name, L"name");
    EXPECT_FALSE(def->indexes[1].unique());
}

INSTANTIATE_TEST_SUITE_P(Seeds, JetSynthetic,
                         ::testing::Values("jet3_plain.mdb", "jet3_wide.mdb", "jet4_plain.mdb", "jet4_wide.mdb"),
                         [](const auto& info) {
                             std::string n = info.param;
                             return n.substr(0, n.find('.'));
                         });

// Every version byte from 2 up is an ACE file; the byte alone decides the layout.
TEST(JetSyntheticHeader, VersionByteDecidesTheFormat)
{
    auto image = slurp(seed("jet4_plain.mdb"));
    ASSERT_GT(image.size(), 21u);
    for (int v : {2, 3, 5, 6, 7, 200, 255}) {
        auto copy = image;
        copy[20] = static_cast<std::uint8_t>(v);
        auto db = database::open_image(copy, "v.accdb");
        EXPECT_EQ(db->format(), jet::file_format::ace) << v;
        EXPECT_EQ(db->header().version_byte, v);
        EXPECT_EQ(db->count_rows(L"Things"), 4u);
    }
    // A Jet4 image announced as Jet3 is read with the wrong page size and refused cleanly.
    auto copy = image;
    copy[20] = 0;
    try {
        auto db = database::open_image(copy, "v3.mdb");
        for (auto* e : db->tables()) db->count_rows(e->name);
    } catch (const jet::error& e) {
        EXPECT_NE(std::string(e.what()).find("v3.mdb"), std::string::npos);
    }
}

// Puts a database password into a generated image's header (masked by the creation date in Jet4).
std::vector<std::uint8_t> with_password(std::vector<std::uint8_t> image, bool jet3, const std::string& pw)
{
    const std::uint8_t key[4] = {0xC7, 0xDA, 0x39, 0x6B};
    std::size_t span = jet3 ? 126 : 128;
    jet::rc4(key, 4).apply(image.data() + 0x18, span);
    std::uint8_t mask[4] = {0, 0, 0, 0};
    if (!jet3) {
        double created = 45000.75;
        std::memcpy(image.data() + 0x72, &created, 8);
        std::int32_t m = 45000;
        std::memcpy(mask, &m, 4);
    }
    std::size_t unit = jet3 ? 1 : 2;
    for (std::size_t i = 0; i < (jet3 ? 20u : 40u); ++i) {
        std::uint8_t b = 0;
        if (i % unit == 0 && i / unit < pw.size()) b = static_cast<std::uint8_t>(pw[i / unit]);
        image[0x42 + i] = b ^ mask[i % 4];
    }
    jet::rc4(key, 4).apply(image.data() + 0x18, span);
    return image;
}

TEST(JetSyntheticHeader, DatabasePasswordOfBothGenerations)
{
    for (bool jet3 : {true, false}) {
        auto image = with_password(slurp(seed(jet3 ? "jet3_plain.mdb" : "jet4_plain.mdb")), jet3, "S3cret");
        for (const wchar_t* wrong : {L"", L"s3cret", L"S3cret ", L"S3cre"}) {
            try {
                database::open_image(image, "pw.mdb", wrong);
                ADD_FAILURE() << "opened with a wrong password";
            } catch (const jet::error& e) {
                EXPECT_EQ(e.code(), jet::err_bad_password);
                EXPECT_STREQ(e.what(), "Not a valid password.");
            }
        }
        auto db = database::open_image(image, "pw.mdb", L"S3cret");
        EXPECT_TRUE(db->header().has_password);
        EXPECT_EQ(db->count_rows(L"Things"), 4u);
    }
}

} // namespace

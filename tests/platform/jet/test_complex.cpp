// Complex columns (attachments, multi-value, version history), calculated columns, Date/Time Extended and
// Large Number, read from the shared ACE files and compared with their expected values.
#include "platform/jet/jet_complex.h"
#include "platform/jet/jet_database.h"
#include "platform/jet/jet_error.h"
#include "tests/support/complex_expected.h"

#include <gtest/gtest.h>

#include <zlib.h>

namespace {

using expected::json;

// One cell of ours against one expected cell, complex columns as lists.
void expect_cell(const json& want, const jet::value& got, const jet::column_def& col, std::size_t index,
                 const jet::complex_columns& complex, const std::string& where)
{
    SCOPED_TRACE(where + " column " + expected::narrow(col.name));
    switch (complex.kind(index)) {
    case jet::complex_kind::none:
        break;
    case jet::complex_kind::attachment: {
        ASSERT_EQ(want.type, json::array_k) << expected::show(want);
        const auto list = complex.attachments(index, got.as_int32());
        ASSERT_EQ(list.size(), want.items.size());
        for (std::size_t i = 0; i < list.size(); ++i) {
            EXPECT_EQ(list[i].name, want.items[i]["name"].text);
            EXPECT_EQ(list[i].type, want.items[i]["type"].text);
            EXPECT_EQ(expected::hex(list[i].data), want.items[i]["data"].text);
            // The engine's FileData: the same bytes behind a header that names the extension.
            ASSERT_GE(list[i].file_data.size(), list[i].data.size() + 8);
            EXPECT_TRUE(std::equal(list[i].data.begin(), list[i].data.end(),
                                   list[i].file_data.end() - static_cast<std::ptrdiff_t>(list[i].data.size())));
        }
        return;
    }
    case jet::complex_kind::multi_value: {
        ASSERT_EQ(want.type, json::array_k) << expected::show(want);
        const auto list = complex.multi_values(index, got.as_int32());
        ASSERT_EQ(list.size(), want.items.size());
        for (std::size_t i = 0; i < list.size(); ++i) EXPECT_TRUE(expected::same(want.items[i], list[i]));
        return;
    }
    case jet::complex_kind::version_history: {
        ASSERT_EQ(want.type, json::array_k) << expected::show(want);
        const auto list = complex.versions(index, got.as_int32());
        ASSERT_EQ(list.size(), want.items.size());
        for (std::size_t i = 0; i < list.size(); ++i) EXPECT_EQ(list[i].text, want.items[i].text);
        return;
    }
    case jet::complex_kind::unsupported:
        ADD_FAILURE() << "unsupported complex column";
        return;
    }
    if (col.type == jet::column_type::ext_datetime && got.type() == jet::value::binary_k) {
        EXPECT_EQ(expected::widen(jet::decode_ext_datetime(got.as_binary()).to_string()), want.text);
        return;
    }
    EXPECT_TRUE(expected::same(want, got)) << "expected " << expected::show(want) << ", got "
                                           << expected::narrow(expected::text_of(got));
}

// Every user table of a file against its expected values; counts the complex cells compared.
void expect_file(const std::string& rel, int* complex_cells = nullptr)
{
    const std::string path = drav_test::testdata(rel);
    const std::string values = drav_test::testdata("expected/values/" + rel + ".jsonl");
    if (path.empty() || values.empty()) GTEST_SKIP() << "test data not found: " << rel;
    auto db = jet::database::open(path);
    const auto lines = expected::read_lines(values);
    int tables = 0;
    for (const jet::catalog_entry* t : db->tables()) {
        auto def = db->table(t->name);
        jet::complex_columns complex(db, def);
        const auto want = expected::table_rows(lines, t->name);
        auto cur = db->rows(def);
        std::size_t r = 0;
        while (cur.next()) {
            ASSERT_LT(r, want.size()) << expected::narrow(t->name) << ": more rows than expected";
            ASSERT_EQ(want[r].size(), cur.values().size());
            for (std::size_t c = 0; c < want[r].size(); ++c) {
                if (complex_cells && complex.kind(c) != jet::complex_kind::none) ++*complex_cells;
                expect_cell(want[r][c], cur[c], def->columns[c], c, complex,
                            rel + " " + expected::narrow(t->name) + " row " + std::to_string(r));
            }
            ++r;
        }
        EXPECT_EQ(r, want.size()) << expected::narrow(t->name);
        ++tables;
    }
    EXPECT_GT(tables, 0);
}

TEST(ComplexColumns, AttachmentsMultiValuesAndVersionHistory)
{
    int cells = 0;
    expect_file("jackcess/V2010/complexDataTestV2010.accdb", &cells);
    if (!IsSkipped()) {
        EXPECT_EQ(cells, 12);
    }
}

TEST(ComplexColumns, AttachmentsOfOneTwoAndThreeFiles)
{
    int cells = 0;
    expect_file("mdb-reader/data/V2016/attachments.accdb", &cells);
    if (!IsSkipped()) {
        EXPECT_EQ(cells, 3);
    }
}

TEST(ComplexColumns, KindsOfTheColumns)
{
    DRAV_TESTDATA_OR_SKIP(path, "jackcess/V2010/complexDataTestV2010.accdb");
    auto db = jet::database::open(path);
    auto def = db->table(L"Table1");
    jet::complex_columns complex(db, def);
    auto kind_of = [&](const wchar_t* name) { return complex.kind(static_cast<std::size_t>(def->find_column(name))); };
    EXPECT_EQ(kind_of(L"id"), jet::complex_kind::none);
    EXPECT_EQ(kind_of(L"attach-data"), jet::complex_kind::attachment);
    EXPECT_EQ(kind_of(L"multi-value-data"), jet::complex_kind::multi_value);
    EXPECT_EQ(kind_of(L"VersionHistory_F5F8918F-0A3F-4DA9-AE71-184EE5012880"), jet::complex_kind::version_history);
    // Asking a column for another kind is refused, not misread.
    EXPECT_THROW(complex.multi_values(static_cast<std::size_t>(def->find_column(L"attach-data")), 1), jet::error);
    // A key without values gives none.
    EXPECT_TRUE(complex.attachments(static_cast<std::size_t>(def->find_column(L"attach-data")), 999999).empty());
}

// Required and AllowZeroLength of complex columns as the expected schema has them: a multi-value column
// takes them from its values' column; the other kinds have none.
TEST(ComplexColumns, PropertiesOfMultiValueColumns)
{
    DRAV_TESTDATA_OR_SKIP(schema, "expected/schema.jsonl");
    int checked = 0;
    for (const json& file : expected::read_lines(schema)) {
        const std::string rel(file["file"].text.begin(), file["file"].text.end());
        const std::string path = drav_test::testdata(rel);
        if (path.empty()) continue;
        std::shared_ptr<jet::database> db;
        for (const json& t : file["tables"].items) {
            for (const json& c : t["columns"].items) {
                if (c["type"].text != L"COMPLEX_TYPE") continue;
                if (!db) db = jet::database::open(path);
                auto def = db->table(t["name"].text);
                jet::complex_columns complex(db, def);
                const auto index = static_cast<std::size_t>(def->find_column(c["name"].text));
                const jet::property_map* props = complex.value_properties(index);
                auto text = [&](const wchar_t* name) -> json {
                    json j;
                    if (!props || props->get(name).is_null()) return j;
                    j.type = json::string_k;
                    j.text = expected::text_of(props->get(name));
                    return j;
                };
                EXPECT_EQ(expected::show(text(L"Required")), expected::show(c["required"])) << rel;
                EXPECT_EQ(expected::show(text(L"AllowZeroLength")), expected::show(c["allowZeroLen"])) << rel;
                ++checked;
            }
        }
    }
    EXPECT_EQ(checked, 4);
}

TEST(NewerTypes, LargeNumber)
{
    expect_file("mdb-reader/data/V2016/bigint.accdb");
}

TEST(NewerTypes, DateTimeExtended)
{
    expect_file("jackcess/V2019/extDateTestV2019.accdb");
}

TEST(NewerTypes, CalculatedColumns)
{
    expect_file("jackcess/V2010/calcFieldTestV2010.accdb");
}

TEST(NewerTypes, ExtendedDateTimeText)
{
    auto stored = [](const std::string& s) { return jet::bytes(s.begin(), s.end()); };
    const std::string zero(1, '\0');
    // Day 737592 after 0001-01-01 is 2020-06-17.
    auto v = jet::decode_ext_datetime(stored("0000000000000737592:0000000453123456789:7" + zero));
    EXPECT_EQ(v.to_string(), "2020-06-17T12:35:12.3456789");
    EXPECT_EQ(jet::decode_ext_datetime(stored("0000000000000000000:0000000000000000000:7" + zero)).to_string(),
              "0001-01-01T00:00:00.0000000");
    EXPECT_DOUBLE_EQ(jet::decode_ext_datetime(stored("0000000000000693594:0000000432000000000:7" + zero)).to_ole_date(),
                     1.5);
    EXPECT_DOUBLE_EQ(jet::decode_ext_datetime(stored("0000000000000693592:0000000216000000000:7" + zero)).to_ole_date(),
                     -1.25);
    EXPECT_THROW(jet::decode_ext_datetime(stored("12345")), jet::error);
    EXPECT_THROW(jet::decode_ext_datetime(stored("00000000000000x0000:0000000000000000000:7" + zero)), jet::error);
}

// Stored attachment bytes: wrapper (packing, content length), then header length, a flag, the extension
// in UTF-16 with its zero, then the file.
jet::bytes stored_attachment(const std::string& file, bool packed)
{
    jet::bytes content = {0, 0, 0, 0, 1, 0, 0, 0, 't', 0, 'x', 0, 't', 0, 0, 0};
    content[0] = static_cast<std::uint8_t>(content.size());
    content.insert(content.end(), file.begin(), file.end());
    jet::bytes body = content;
    if (packed) {
        uLongf n = compressBound(static_cast<uLong>(content.size()));
        body.resize(n);
        EXPECT_EQ(compress(body.data(), &n, content.data(), static_cast<uLong>(content.size())), Z_OK);
        body.resize(n);
    }
    const auto len = static_cast<std::uint32_t>(content.size());
    jet::bytes out(8 + body.size(), 0);
    out[0] = static_cast<std::uint8_t>(packed);
    out[4] = static_cast<std::uint8_t>(len);
    out[5] = static_cast<std::uint8_t>(len >> 8);
    std::copy(body.begin(), body.end(), out.begin() + 8);
    return out;
}

TEST(AttachmentData, PlainPackedAndDamaged)
{
    const jet::bytes hello = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_EQ(jet::decode_attachment_data(stored_attachment("hello", false)), hello);
    EXPECT_EQ(jet::decode_attachment_data(stored_attachment("hello", true)), hello);

    jet::bytes b = stored_attachment("hello", true);
    b.resize(b.size() - 6);   // packed stream cut short
    EXPECT_THROW(jet::decode_attachment_data(b), jet::error);
    b = stored_attachment("hello", false);
    b[4] = 200;   // says more than it holds
    EXPECT_THROW(jet::decode_attachment_data(b), jet::error);
    b = stored_attachment("hello", false);
    b[0] = 7;   // unknown packing
    EXPECT_THROW(jet::decode_attachment_data(b), jet::error);
    b = stored_attachment("hello", false);
    b[8] = 250;   // header longer than the content
    EXPECT_THROW(jet::decode_attachment_data(b), jet::error);
    EXPECT_THROW(jet::decode_attachment_data(jet::bytes{1, 0, 0}), jet::error);
}

} // namespace

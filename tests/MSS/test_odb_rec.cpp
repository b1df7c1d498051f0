// Records built from a row buffer as the accessor lays it out.
#include "MSS/odb_exce.h"
#include "MSS/odb_rec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// A row buffer with one column per call to add().
struct row_builder {
    std::vector<DBCOLUMNINFO> cols;
    std::vector<DBBINDING> binds;
    std::vector<std::wstring> names;
    std::vector<unsigned char> buf;

    void add(const wchar_t* name, DBTYPE type, DBSTATUS status, const std::wstring& text)
    {
        names.emplace_back(name);
        DBCOLUMNINFO c{};
        c.wType = type;
        c.ulColumnSize = 50;
        c.iOrdinal = cols.size() + 1;
        cols.push_back(c);
        DBBINDING b{};
        b.obStatus = buf.size();
        b.obLength = buf.size() + 4;
        b.obValue = buf.size() + 12;
        b.wType = type == DBTYPE_BYTES ? DBTYPE_BYTES : DBTYPE_WSTR;
        b.cbMaxLen = (text.size() + 1) * sizeof(wchar_t);
        binds.push_back(b);
        buf.resize(b.obValue + b.cbMaxLen);
        DBLENGTH len = text.size() * sizeof(wchar_t);
        std::memcpy(&buf[b.obStatus], &status, 4);
        std::memcpy(&buf[b.obLength], &len, 8);
        std::memcpy(&buf[b.obValue], text.c_str(), b.cbMaxLen);
    }

    odb_record* make()
    {
        for (std::size_t i = 0; i < cols.size(); ++i)
            cols[i].pwszName = names[i].data();
        return new odb_record(cols.size(), buf.data(), cols.data(), binds.data());
    }
};

} // namespace

TEST(OdbRecord, FieldsByColumnType)
{
    row_builder r;
    r.add(L"id", DBTYPE_I4, DBSTATUS_S_OK, L"42");
    r.add(L"name", DBTYPE_WSTR, DBSTATUS_S_OK, L"\u00c5se");
    r.add(L"gone", DBTYPE_WSTR, DBSTATUS_S_ISNULL, L"");
    r.add(L"g", DBTYPE_GUID, DBSTATUS_S_OK, L"{00112233-4455-6677-8899-AABBCCDDEEFF}");
    r.add(L"empty", DBTYPE_WSTR, DBSTATUS_S_OK, L"");
    r.add(L"price", DBTYPE_NUMERIC, DBSTATUS_S_OK, L"12.3400");
    r.add(L"when", DBTYPE_DBTIMESTAMP, DBSTATUS_S_OK, L"2024-02-29 13:45:10.250");
    std::unique_ptr<odb_record> rec(r.make());
    ASSERT_EQ(rec->size(), 7u);
    EXPECT_EQ(rec->get_field(L"id")->ole_variant::get_type(), VT_I4);
    EXPECT_EQ(rec->get_field(L"id")->to_long(), 42);
    EXPECT_EQ(rec->get_field(L"name")->to_wstring(), L"\u00c5se");
    EXPECT_EQ(rec->get_field(L"gone")->ole_variant::get_type(), VT_EMPTY);
    EXPECT_EQ(rec->get_field(L"g")->to_wstring(), L"00112233-4455-6677-8899-AABBCCDDEEFF");
    EXPECT_EQ(rec->get_field(L"empty")->ole_variant::get_type(), VT_BSTR);
    EXPECT_EQ(rec->get_field(L"price")->ole_variant::get_type(), VT_DECIMAL);
    EXPECT_DOUBLE_EQ(rec->get_field(L"price")->to_double(), 12.34);
    EXPECT_EQ(rec->get_field(L"when")->ole_variant::get_type(), VT_DATE);
}

TEST(OdbRecord, TruncatedValueIsAnErrorNotAnEmptyField)
{
    row_builder r;
    r.add(L"a", DBTYPE_I4, DBSTATUS_S_OK, L"1");
    r.add(L"memo", DBTYPE_WSTR, DBSTATUS_S_TRUNCATED, L"cut");
    try {
        std::unique_ptr<odb_record> rec(r.make());
        FAIL() << "a truncated value became a record";
    } catch (const odb_exception& e) {
        EXPECT_NE(std::string(e.what()).find("memo"), std::string::npos);
        EXPECT_EQ(e.level(), 0);
    }
}

TEST(OdbRecord, MissingBuffersAreInternalErrors)
{
    DBCOLUMNINFO c{};
    DBBINDING b{};
    unsigned char buf[16] = {};
    EXPECT_THROW(odb_record(1, nullptr, &c, &b), tk_mail_assertion);
    EXPECT_THROW(odb_record(1, buf, &c, nullptr), tk_mail_assertion);
}

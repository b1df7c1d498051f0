#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "TK/tk_excep.h"
#include "UDB/udb_db.h"
#include "tests/support/scratch.h"

namespace {

// A database that keeps what it is asked to do; the model's defaults are
// what is under test.
class memory_db : public udb_database {
public:
    explicit memory_db(int case_sensitive = 0) : udb_database(L"mem", 0, case_sensitive) {}
    std::unique_ptr<udb_recordset> create_table(const std::wstring& name, const udb_schema&,
                                                const udb_indexes&) override
    {
        tables.push_back(name);
        return nullptr;
    }
    std::unique_ptr<udb_recordset> get_query(const std::wstring&, const std::wstring&, int) override
    {
        return nullptr;
    }
    std::unique_ptr<udb_recordset> get_table(const std::wstring&, int) override { return nullptr; }
    bool test_query(const std::wstring&) override { return true; }
    void create_index(const std::wstring& table, const udb_schema&, const udb_index& index) override
    {
        created.push_back(table + L"." + index.name);
    }
    std::vector<std::wstring> created;
};

class statement_db : public memory_db {
public:
    std::unique_ptr<udb_recordset> query(const std::wstring& statement) override
    {
        statements.push_back(statement);
        return nullptr;
    }
    std::vector<std::wstring> statements;
};

class writer : public udb_recordset {
public:
    writer(udb_database* db, const std::wstring& name) : udb_recordset(db, name) {}
    void append_record(udb_record&) override {}
};

ole_variant bytes_value(std::vector<uint8_t> bytes)
{
    return ole_variant(bytes.size(), bytes.data());
}

TEST(UdbDatabase, TableListByNameRule)
{
    memory_db db;
    EXPECT_FALSE(db.is_table_exist(L"Orders"));
    db.tables = {L"ORDERS", L"Items", L"orders"};
    EXPECT_TRUE(db.is_table_exist(L"orders"));
    EXPECT_TRUE(db.delete_tab(L"Orders"));
    EXPECT_EQ(db.tables, (std::vector<std::wstring>{L"Items", L"orders"}));
    EXPECT_FALSE(db.delete_tab(L"nothing"));

    memory_db exact(1);
    exact.tables = {L"ORDERS"};
    EXPECT_FALSE(exact.is_table_exist(L"orders"));
    EXPECT_TRUE(exact.is_table_exist(L"ORDERS"));
}

TEST(UdbDatabase, Defaults)
{
    memory_db db;
    udb_indexes idx;
    idx.push_back(udb_index(L"b", {L"x"}, false, false));
    idx.push_back(udb_index(L"a", {L"y"}, true, true));
    db.create_indexes(L"t", udb_schema(), idx);
    EXPECT_EQ(db.created, (std::vector<std::wstring>{L"t.b", L"t.a"}));

    std::vector<std::wstring> schemas{L"dbo"};
    db.get_schema_info(schemas);
    EXPECT_TRUE(schemas.empty());
    try {
        db.query(L"select 1");
        FAIL() << "no exception";
    } catch (const tk_exception& e) {
        EXPECT_EQ(e.level(), 2);
    }
}

TEST(UdbDatabase, EmptyTableQuotesTheName)
{
    statement_db db;
    db.empty_table(L"Order Details");
    db.empty_table(L"x]; drop table y; --");
    db.empty_table(L"[dbo].[t]");
    ASSERT_EQ(db.statements.size(), 3u);
    EXPECT_EQ(db.statements[0], L"delete from [Order Details]");
    EXPECT_EQ(db.statements[1], L"delete from [x]]; drop table y; --]");
    EXPECT_EQ(db.statements[2], L"delete from [dbo].[t]");
}

TEST(UdbEngine, FileTests)
{
    class engine : public udb_engine {
    public:
        std::unique_ptr<udb_database> create_db(const std::wstring&) override { return nullptr; }
        std::unique_ptr<udb_database> open_db(const std::wstring&, int, const std::wstring&) override
        {
            return nullptr;
        }
    } e;
    const drav_test::scratch_dir scratch("udb-engine", drav_test::scratch_dir::plain_folder);
    const auto& dir = scratch.path();
    const auto file = dir / "x.mdb";
    std::ofstream(file) << "x";
    EXPECT_TRUE(e.is_db_exist(file.wstring()));
    EXPECT_FALSE(e.is_db_exist(dir.wstring()));
    EXPECT_NE(e.delete_db(file.wstring()), 0);
    EXPECT_FALSE(e.is_db_exist(file.wstring()));
    EXPECT_THROW(e.delete_db(file.wstring()), tk_exception);
}

TEST(UdbRecordset, ConvertRecordToDestinationTypes)
{
    memory_db db;
    writer w(&db, L"t");
    w.schema.push_back(new t_ftd(10, L"Code", VT_BSTR, false, false));
    w.schema.push_back(new t_ftd(4, L"Qty", VT_I4, false, false));
    db.names_map.add_fn_map(L"t", {{L"Quantity", L"Qty"}});

    udb_record r;
    r.push_back(new udb_field(L"code", 4, ole_variant(7)));
    r.push_back(new udb_field(L"Quantity", 8, ole_variant(2.5)));
    w.convert_record(r);
    EXPECT_EQ(r[0]->get_type(), VT_BSTR);
    EXPECT_EQ(r[0]->to_wstring(), L"7");
    EXPECT_EQ(r[1]->get_type(), VT_I4);
    EXPECT_EQ(r[1]->to_wstring(), L"3");
    EXPECT_EQ(r[1]->name, L"Quantity");

    udb_record bad;
    bad.push_back(new udb_field(L"Qty", 8, ole_variant(5.0)));
    bad.push_back(new udb_field(L"Nope", 4, ole_variant(1)));
    bad.push_back(new udb_field(L"Code", 4, ole_variant(2)));
    try {
        w.convert_record(bad);
        FAIL() << "no exception";
    } catch (const tk_exception& e) {
        EXPECT_STREQ(e.what(), "The structure of data source does not conform to the destination table.");
        EXPECT_EQ(e.level(), 1);
    }
    EXPECT_EQ(bad[0]->get_type(), VT_I4);   // converted before the failure
    EXPECT_EQ(bad[2]->get_type(), VT_I4);   // not reached
}

class counted_field : public udb_field {
public:
    counted_field(int& n) : udb_field(L"f", 0, ole_variant(1)), count(n) {}
    ~counted_field() override { ++count; }
    int& count;
};

TEST(UdbRecord, FieldsAndOwnership)
{
    int deleted = 0;
    {
        udb_record r;
        r.push_back(new counted_field(deleted));
        r.push_back(new counted_field(deleted));
        r.push_back(new udb_field(L"Name", 50, ole_variant(std::wstring(L"abc"))));
        EXPECT_TRUE(r.find_field(L"NAME"));
        EXPECT_FALSE(r.find_field(L"x"));
        EXPECT_EQ(r.get_field(L"name"), r[2]);
        EXPECT_EQ(r.get_field(L"x"), nullptr);
        EXPECT_EQ(r[2]->get_size(), 3u);  // the text's length, not the declared size
    }
    EXPECT_EQ(deleted, 2);

    udb_field bin(L"b", 99, bytes_value(std::vector<uint8_t>(10, 1)));
    EXPECT_EQ(bin.get_size(), 10u);
    udb_field num(L"n", 4, ole_variant(5), true, true);
    EXPECT_EQ(num.get_size(), 4u);
    udb_field copy(num);
    EXPECT_EQ(copy.name, L"n");
    EXPECT_TRUE(copy.b_not_null);
    EXPECT_TRUE(copy.b_auto_num);
    EXPECT_EQ(copy.to_wstring(), L"5");

    t_ftd d(bin, ole_variant(), 3);
    EXPECT_EQ(d.size, 10u);
    EXPECT_EQ(d.name, L"b");
    EXPECT_EQ(d.dw_reserved, 3);
}

// Keys and filter text.
class keyed : public writer {
public:
    keyed() : writer(nullptr, L"t")
    {
        schema.push_back(new t_ftd(50, L"Name", VT_BSTR, false, false));
        schema.push_back(new t_ftd(4, L"Id", VT_I4, false, false));
        schema.push_back(new t_ftd(16, L"Bin", VT_ARRAY | VT_UI1, false, false));
    }
};

TEST(UdbKeys, GetKey)
{
    keyed rs;
    udb_record row;
    row.push_back(new udb_field(L"name", 50, ole_variant(std::wstring(L"x"))));
    row.push_back(new udb_field(L"ID", 4, ole_variant(3), true, false));
    EXPECT_THROW(rs.get_key(row), tk_exception);

    rs.add_index(udb_index(L"pk", {L"Id", L"Name"}, true, true));
    auto key = rs.get_key(row);
    ASSERT_TRUE(key);
    ASSERT_EQ(key->size(), 2u);
    EXPECT_EQ((*key)[0]->name, L"ID");
    EXPECT_EQ((*key)[1]->to_wstring(), L"x");
    EXPECT_TRUE((*key)[0]->b_not_null);

    rs.add_index(udb_index(L"pk2", {L"Missing"}, true, true));
    rs.n_u_index = 1;
    EXPECT_EQ(rs.get_key(row), nullptr);
}

TEST(UdbKeys, FilterText)
{
    keyed rs;
    EXPECT_EQ(rs.get_filter_subquery(L""), L"");
    EXPECT_EQ(rs.get_filter_subquery(L"<name>abc</name>"), L"\"Name\"='abc' ");
    EXPECT_EQ(rs.get_filter_subquery(L"<Name>a</Name><Id>5</Id>"), L"\"Name\"='a'  and \"Id\"='5' ");
    EXPECT_EQ(rs.get_filter_subquery(L"<Name>&amp;lt;</Name>"), L"\"Name\"='&lt;' ");
    EXPECT_EQ(rs.get_filter_subquery(L"<Name>a&lt;b&gt;c</>"), L"\"Name\"='a<b>c' ");
    EXPECT_EQ(rs.get_filter_subquery(L"<Bin>0x01AB</Bin>"), L"\"Bin\"=0x01AB");
    try {
        rs.get_filter_subquery(L"<Name>a</Name><Other>1</Other>");
        FAIL() << "no exception";
    } catch (const tk_exception& e) {
        EXPECT_EQ(e.level(), 0);
    }
}

TEST(UdbKeys, FilterTextIsSafe)
{
    keyed rs;
    // Quotes inside a value are doubled.
    EXPECT_EQ(rs.get_filter_subquery(L"<Name>x' or '1'='1</Name>"), L"\"Name\"='x'' or ''1''=''1' ");
    // A binary value that is no hexadecimal literal is written as one.
    EXPECT_EQ(rs.get_filter_subquery(L"<Bin>0;drop</Bin>"), L"\"Bin\"=0x303B64726F70");
    // Non-ASCII text keeps its characters.
    EXPECT_EQ(rs.get_filter_subquery(L"<Name>\u00e9t\u00e9</Name>"), L"\"Name\"=N'\u00e9t\u00e9' ");
    // NULL keys compare with IS NULL.
    EXPECT_EQ(rs.get_filter_subquery(L"<Name/><Id>1</Id>"), L"\"Name\" IS NULL  and \"Id\"='1' ");
    EXPECT_THROW(rs.get_filter_subquery(L"<Name>abc"), tk_exception);
    EXPECT_THROW(rs.get_filter_subquery(L"<Name"), tk_exception);
}

TEST(UdbKeys, KeyTextRoundTrip)
{
    keyed rs;
    udb_record key;
    key.push_back(new udb_field(L"Name", 50, ole_variant(std::wstring(L"<a&b> it's"))));
    key.push_back(new udb_field(L"Id", 4, ole_variant()));
    key.push_back(new udb_field(L"Bin", 2, bytes_value({0x01, 0xAB})));
    const std::wstring text = udb_recordset::make_key_text(key);
    EXPECT_EQ(text, L"<Name>&lt;a&amp;b&gt; it's</Name><Id/><Bin>0x01AB</Bin>");
    EXPECT_EQ(rs.get_filter_subquery(text),
              L"\"Name\"='<a&b> it''s'  and \"Id\" IS NULL  and \"Bin\"=0x01AB");
}

} // namespace

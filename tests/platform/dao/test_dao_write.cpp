// The writing half of the object model: new databases, definitions, relations and appended rows,
// read back at once and after reopening; the engine's error numbers on refused writes.
#include <filesystem>

#include "platform/jet/jet_database.h"
#include "tests/platform/dao/dao_test_util.h"
#include "tests/support/access_check.h"
#include "tests/support/scratch.h"

using namespace daotest;

namespace {

ptr<DAODatabase> create(DAODBEngine* e, const std::string& path, HRESULT* hr_out = nullptr)
{
    bstr name(std::wstring(path.begin(), path.end())), locale(L";LANGID=0x0409;CP=1252;COUNTRY=0");
    var option(0L);
    ptr<DAODatabase> db;
    HRESULT hr = e->CreateDatabase(name.b, locale.b, option.v, db.out());
    if (hr_out) *hr_out = hr;
    return db;
}

ptr<_DAOField> field(_DAOTableDef* t, const std::wstring& name, short type, long size = 0)
{
    var n(name), ty(static_cast<long>(type)), sz(size);
    ptr<_DAOField> f;
    EXPECT_EQ(t->CreateField(n.v, ty.v, sz.v, f.out()), S_OK);
    return f;
}

void append_field(_DAOTableDef* t, _DAOField* f)
{
    ptr<DAOFields> fields;
    ASSERT_EQ(t->get_Fields(fields.out()), S_OK);
    ASSERT_EQ(fields->Append(f), S_OK);
}

void add_index(_DAOTableDef* t, const std::wstring& name, const std::vector<std::wstring>& cols, bool primary, bool unique,
               bool descending = false)
{
    var n(name);
    ptr<_DAOIndex> x;
    ASSERT_EQ(t->CreateIndex(n.v, x.out()), S_OK);
    VARIANT fv;
    VariantInit(&fv);
    ASSERT_EQ(x->get_Fields(&fv), S_OK);
    ptr<DAOIndexFields> xf;
    ASSERT_EQ(fv.pdispVal->QueryInterface(IID_DAOIndexFields, reinterpret_cast<void**>(xf.out())), S_OK);
    VariantClear(&fv);
    for (const auto& c : cols) {
        var cn(c), missing;
        ptr<_DAOField> f;
        ASSERT_EQ(x->CreateField(cn.v, missing.v, missing.v, f.out()), S_OK);
        if (descending) f->put_Attributes(dbDescending);
        ASSERT_EQ(xf->Append(f.get()), S_OK);
    }
    x->put_Primary(primary ? VARIANT_TRUE : VARIANT_FALSE);
    x->put_Unique(unique ? VARIANT_TRUE : VARIANT_FALSE);
    ptr<DAOIndexes> xs;
    ASSERT_EQ(t->get_Indexes(xs.out()), S_OK);
    ASSERT_EQ(xs->Append(x.get()), S_OK);
}

// Customers(ID counter key, Name text(20) required, Notes memo) and Orders(ID, Customer, Amount currency).
void make_tables(DAODatabase* db)
{
    ptr<DAOTableDefs> defs;
    ASSERT_EQ(db->get_TableDefs(defs.out()), S_OK);
    var empty{std::wstring()}, zero(0L);
    {
        var name(std::wstring(L"Customers"));
        ptr<_DAOTableDef> t;
        ASSERT_EQ(db->CreateTableDef(name.v, zero.v, empty.v, empty.v, t.out()), S_OK);
        auto id = field(t.get(), L"ID", dbLong);
        id->put_Attributes(dbAutoIncrField);
        append_field(t.get(), id.get());
        auto nm = field(t.get(), L"Name", dbText, 20);
        nm->put_Required(VARIANT_TRUE);
        append_field(t.get(), nm.get());
        auto notes = field(t.get(), L"Notes", dbMemo);
        notes->put_AllowZeroLength(VARIANT_TRUE);
        var def(std::wstring(L"\"none\""));
        notes->put_DefaultValue(def.v);
        append_field(t.get(), notes.get());
        add_index(t.get(), L"PrimaryKey", {L"ID"}, true, true);
        add_index(t.get(), L"ByName", {L"Name"}, false, true);
        ASSERT_EQ(defs->Append(t.get()), S_OK);
    }
    {
        var name(std::wstring(L"Orders"));
        ptr<_DAOTableDef> t;
        ASSERT_EQ(db->CreateTableDef(name.v, zero.v, empty.v, empty.v, t.out()), S_OK);
        append_field(t.get(), field(t.get(), L"ID", dbLong).get());
        append_field(t.get(), field(t.get(), L"Customer", dbLong).get());
        append_field(t.get(), field(t.get(), L"Amount", dbCurrency).get());
        ASSERT_EQ(defs->Append(t.get()), S_OK);
    }
}

HRESULT add_customer(DAODatabase* db, const VARIANT& name, const std::wstring& notes)
{
    bstr table(L"Customers");
    var type(static_cast<long>(dbOpenTable)), opts(static_cast<long>(dbAppendOnly)), missing;
    ptr<DAORecordset> rs;
    HRESULT hr = db->OpenRecordset(table.b, type.v, opts.v, missing.v, rs.out());
    if (FAILED(hr)) return hr;
    EXPECT_EQ(rs->AddNew(), S_OK);
    var col(std::wstring(L"Name")), n(std::wstring(L"Notes")), nv(notes);
    hr = rs->put_Collect(col.v, const_cast<VARIANT&>(name));
    if (FAILED(hr)) return hr;
    EXPECT_EQ(rs->put_Collect(n.v, nv.v), S_OK);
    return rs->Update(1, VARIANT_FALSE);
}

class DaoWrite : public ::testing::TestWithParam<bool> {
protected:
    CLSID clsid() const { return GetParam() ? CLSID_DAODBEngine120 : CLSID_DAODBEngine36; }
    std::string file() const { return GetParam() ? "made.accdb" : "made.mdb"; }
};

TEST_P(DaoWrite, DefinitionsAndRowsReadBackNowAndAfterReopening)
{
    drav_test::scratch_dir dir("dao-write");
    const std::string path = (dir.path() / file()).string();
    auto e = engine(clsid());
    ASSERT_TRUE(e);
    auto db = create(e.get(), path);
    ASSERT_TRUE(db);
    VARIANT_BOOL up = VARIANT_FALSE;
    db->get_Updatable(&up);
    EXPECT_TRUE(up);
    make_tables(db.get());
    for (int i = 0; i < 3; ++i) {
        var name(std::wstring(L"Customer ") + std::to_wstring(i));
        ASSERT_EQ(add_customer(db.get(), name.v, std::wstring(static_cast<std::size_t>(i) * 3000, L'x')), S_OK);
    }
    {
        // Relations: Orders.Customer refers to Customers.ID.
        var rn(std::wstring(L"CustomerOrders")), pt(std::wstring(L"Customers")), ft(std::wstring(L"Orders")), attr(0L);
        ptr<_DAORelation> rel;
        ASSERT_EQ(db->CreateRelation(rn.v, pt.v, ft.v, attr.v, rel.out()), S_OK);
        var cn(std::wstring(L"ID")), missing;
        ptr<_DAOField> f;
        ASSERT_EQ(rel->CreateField(cn.v, missing.v, missing.v, f.out()), S_OK);
        bstr fk(L"Customer");
        f->put_ForeignName(fk.b);
        ptr<DAOFields> rf;
        rel->get_Fields(rf.out());
        ASSERT_EQ(rf->Append(f.get()), S_OK);
        ptr<DAORelations> rels;
        ASSERT_EQ(db->get_Relations(rels.out()), S_OK);
        ASSERT_EQ(rels->Append(rel.get()), S_OK);
        short n = 0;
        rels->get_Count(&n);
        EXPECT_EQ(n, 1);
    }
    // Read back in the same session.
    auto check = [&](DAODatabase* d) {
        bstr sql(L"SELECT ID, Name, Notes FROM Customers ORDER BY ID");
        var type(static_cast<long>(dbOpenSnapshot)), missing;
        ptr<DAORecordset> rs;
        ASSERT_EQ(d->OpenRecordset(sql.b, type.v, missing.v, missing.v, rs.out()), S_OK);
        long count = 0;
        rs->get_RecordCount(&count);
        EXPECT_EQ(count, 3);
        rs->MoveFirst();
        var id(0L), nm(1L), notes(2L);
        VARIANT v;
        rs->get_Collect(id.v, &v);
        EXPECT_EQ(to_value(v), jet::value(static_cast<std::int32_t>(1)));
        VariantClear(&v);
        rs->MoveLast(0);
        rs->get_Collect(notes.v, &v);
        EXPECT_EQ(to_value(v), jet::value(std::wstring(6000, L'x')));
        VariantClear(&v);
        ptr<DAORelations> rels;
        ASSERT_EQ(d->get_Relations(rels.out()), S_OK);
        short n = 0;
        rels->get_Count(&n);
        EXPECT_EQ(n, 1);
    };
    check(db.get());
    ASSERT_EQ(db->Close(), S_OK);
    db.reset();
    auto reopened = open(e.get(), path);
    ASSERT_TRUE(reopened);
    check(reopened.get());
    // Properties as DAO stores them.
    auto jdb = jet::database::open(path);
    auto t = jdb->table(L"Customers");
    EXPECT_EQ(t->columns[1].properties.get(L"Required"), jet::value(true));
    EXPECT_EQ(t->columns[2].properties.get(L"DefaultValue"), jet::value(std::wstring(L"\"none\"")));
    EXPECT_TRUE(t->columns[0].auto_number());
}

TEST_P(DaoWrite, RefusedWritesGiveTheEngineNumbers)
{
    drav_test::scratch_dir dir("dao-write");
    const std::string path = (dir.path() / file()).string();
    auto e = engine(clsid());
    HRESULT hr = S_OK;
    auto db = create(e.get(), path, &hr);
    ASSERT_TRUE(db);
    create(e.get(), path, &hr);
    EXPECT_EQ(hr, dao_hresult(3204));
    make_tables(db.get());
    {
        // The table exists.
        var name(std::wstring(L"customers")), zero(0L), empty{std::wstring()};
        ptr<_DAOTableDef> t;
        ASSERT_EQ(db->CreateTableDef(name.v, zero.v, empty.v, empty.v, t.out()), S_OK);
        append_field(t.get(), field(t.get(), L"X", dbLong).get());
        ptr<DAOTableDefs> defs;
        db->get_TableDefs(defs.out());
        EXPECT_EQ(defs->Append(t.get()), dao_hresult(3010));
    }
    var ok(std::wstring(L"Ann"));
    EXPECT_EQ(add_customer(db.get(), ok.v, L""), S_OK);
    EXPECT_EQ(add_customer(db.get(), ok.v, L""), dao_hresult(3022));          // unique index on Name
    EXPECT_EQ(last_error(e.get()).first, 3022);
    var null_name;
    null_name.v.vt = VT_NULL;
    EXPECT_EQ(add_customer(db.get(), null_name.v, L""), dao_hresult(3314));   // Name is required
    var too_long(std::wstring(21, L'a'));
    EXPECT_EQ(add_customer(db.get(), too_long.v, L""), dao_hresult(3163));    // Name holds 20 characters
    {
        bstr table(L"Orders");
        var type(static_cast<long>(dbOpenTable)), opts(static_cast<long>(dbAppendOnly)), missing;
        ptr<DAORecordset> rs;
        ASSERT_EQ(db->OpenRecordset(table.b, type.v, opts.v, missing.v, rs.out()), S_OK);
        rs->AddNew();
        var col(std::wstring(L"Amount")), bad(std::wstring(L"not a number"));
        EXPECT_EQ(rs->put_Collect(col.v, bad.v), dao_hresult(3421));
    }
    // Only the first customer is stored; deleting a table removes it from the file.
    ptr<DAOTableDefs> defs;
    db->get_TableDefs(defs.out());
    bstr orders(L"Orders");
    EXPECT_EQ(defs->Delete(orders.b), S_OK);
    db->Close();
    auto jdb = jet::database::open(path);
    EXPECT_EQ(jdb->count_rows(L"Customers"), 1u);
    EXPECT_EQ(jdb->find(L"Orders"), nullptr);
}

// What an outside reader finds of an index whose every field is descending, and of a GUID given as text
// (its first three groups stored little-endian).
TEST_P(DaoWrite, DescendingIndexesAndGuidTextAsMdbtoolsSeesThem)
{
    drav_test::scratch_dir dir("dao-write");
    const std::string path = (dir.path() / file()).string();
    auto e = engine(clsid());
    auto db = create(e.get(), path);
    ASSERT_TRUE(db);
    {
        var name(std::wstring(L"Tagged")), zero(0L), empty{std::wstring()};
        ptr<_DAOTableDef> t;
        ASSERT_EQ(db->CreateTableDef(name.v, zero.v, empty.v, empty.v, t.out()), S_OK);
        append_field(t.get(), field(t.get(), L"Tag", dbGUID).get());
        append_field(t.get(), field(t.get(), L"Code", dbText, 10).get());
        append_field(t.get(), field(t.get(), L"N", dbLong).get());
        add_index(t.get(), L"ByCodeN", {L"Code", L"N"}, false, false, true);
        ptr<DAOTableDefs> defs;
        ASSERT_EQ(db->get_TableDefs(defs.out()), S_OK);
        ASSERT_EQ(defs->Append(t.get()), S_OK);
    }
    {
        bstr table(L"Tagged");
        var type(static_cast<long>(dbOpenTable)), opts(static_cast<long>(dbAppendOnly)), missing;
        ptr<DAORecordset> rs;
        ASSERT_EQ(db->OpenRecordset(table.b, type.v, opts.v, missing.v, rs.out()), S_OK);
        ASSERT_EQ(rs->AddNew(), S_OK);
        var tag(std::wstring(L"Tag")), code(std::wstring(L"Code")), n(std::wstring(L"N"));
        var tv(std::wstring(L"{guid {01234567-89AB-CDEF-0123-456789ABCDEF}}")), cv(std::wstring(L"x")), nv(7L);
        ASSERT_EQ(rs->put_Collect(tag.v, tv.v), S_OK);
        ASSERT_EQ(rs->put_Collect(code.v, cv.v), S_OK);
        ASSERT_EQ(rs->put_Collect(n.v, nv.v), S_OK);
        ASSERT_EQ(rs->Update(1, VARIANT_FALSE), S_OK);
    }
    ASSERT_EQ(db->Close(), S_OK);
    auto t = jet::database::open(path)->table(L"Tagged");
    ASSERT_EQ(t->indexes.size(), 1u);
    ASSERT_EQ(t->indexes[0].columns.size(), 2u);
    for (const auto& c : t->indexes[0].columns) EXPECT_FALSE(c.ascending) << narrow(c.name);
    jet::guid want{{0x67, 0x45, 0x23, 0x01, 0xAB, 0x89, 0xEF, 0xCD, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
    auto rows = jet::database::open(path)->rows(t);
    ASSERT_TRUE(rows.next());
    EXPECT_EQ(rows[0], jet::value(want));

    auto tools = drav_test::mdbtools_read(path, "Tagged");
    if (!tools.available) return;
    EXPECT_TRUE(tools.ok) << tools.csv;
    // mdbtools writes a GUID without its fourth hyphen.
    EXPECT_NE(tools.csv.find("{01234567-89AB-CDEF-0123456789ABCDEF}"), std::string::npos) << tools.csv;
    const std::string schema = drav_test::run_command("mdb-schema --indexes " + drav_test::shell_quote(path) + " mysql");
    EXPECT_NE(schema.find("(`Code` DESC, `N` DESC)"), std::string::npos) << schema;
}

TEST(DaoWrite, OpenedFilesStayReadOnly)
{
    DRAV_TESTDATA_OR_SKIP(v2003, "mdb-reader/data/V2003/test.mdb");
    auto e = engine(CLSID_DAODBEngine36);
    auto db = open(e.get(), v2003);
    ASSERT_TRUE(db);
    var name(std::wstring(L"T")), zero(0L), empty{std::wstring()};
    ptr<_DAOTableDef> t;
    EXPECT_EQ(db->CreateTableDef(name.v, zero.v, empty.v, empty.v, t.out()), dao_hresult(daoErrNotSupported));
}

// The Jet 3.5 engine's CreateDatabase (option 0) writes its own generation: an Access 97 file.
TEST(DaoWrite, TheAccess97EngineCreatesAccess97Files)
{
    auto e35 = engine(CLSID_DAODBEngine35);
    drav_test::scratch_dir dir("dao-write");
    const std::string path = (dir.path() / "old.mdb").string();
    HRESULT hr = S_OK;
    {
        auto db = create(e35.get(), path, &hr);
        ASSERT_TRUE(db);
        EXPECT_EQ(hr, S_OK);
    }
    EXPECT_EQ(jet::database::open(path)->format(), jet::file_format::jet3);
    EXPECT_FALSE(create(e35.get(), path, &hr));
    EXPECT_EQ(hr, dao_hresult(3204)); // "Database already exists."
}

INSTANTIATE_TEST_SUITE_P(Formats, DaoWrite, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "ace" : "jet4"; });

} // namespace

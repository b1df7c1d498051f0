// Writing Access files through the database model: names Access accepts, defaults, the type map,
// new tables with their indexes, rows, deleted tables and foreign keys.
#include <cwctype>

#include "dao/dao_init.h"
#include "dao/dao_vali.h"
#include "platform/jet/jet_database.h"
#include "tests/dao/dao_test_env.h"

using drav_test::scratch_dir;

namespace {

t_ftd column(const std::wstring& name, VARTYPE vt, uint32_t size = 0, bool not_null = false, bool auto_num = false)
{
    return t_ftd(size, name, vt, not_null, auto_num);
}

// A new database through the engine of one generation (1: Access 97, 0: Access 2000, 3: Access 2007 and later).
std::unique_ptr<udb_database> create(dao_engine& engine, int version, const std::string& path)
{
    EXPECT_TRUE(engine.set_version_if(version));
    engine.set_anonymous_sys_db();
    return engine.create_db(daotests::wide(path));
}

} // namespace

TEST(DaoNames, ValidatorsRefuseWhatAccessRefuses)
{
    udb_schema schema;
    schema.push_back(new t_ftd(column(L"Name", VT_BSTR, 10)));
    dao_fn_validator fields(schema);
    EXPECT_TRUE(fields.is_acceptable(L"Name"));
    for (const wchar_t* bad : {L"", L" lead", L"trail ", L"a.b", L"a!b", L"[x]", L"a`b", L"a/b", L"it's"})
        EXPECT_FALSE(fields.is_acceptable(bad)) << std::wstring(bad).size();
    EXPECT_TRUE(fields.is_acceptable(L"a:b"));
    // Brackets go, blanks at the ends go, other illegal characters become "_".
    EXPECT_EQ(fields.get_safe_name(L" [Price] "), L"Price");
    EXPECT_EQ(fields.get_safe_name(L"a.b"), L"a_b");
    // A name in use is numbered.
    EXPECT_NE(fields.get_safe_name(L"[Name]"), L"Name");

    udb_indexes indexes;
    indexes.push_back(udb_index(L"ByName", {L"Name"}, false, false));
    dao_in_validator names(indexes);
    EXPECT_FALSE(names.is_acceptable(L"a:b"));
    EXPECT_EQ(names.get_safe_name(L"a:b"), L"a_b");
    EXPECT_TRUE(names.is_duplicated(L"byname"));
}

TEST(DaoNames, DefaultTextsAreQuotedForAccess)
{
    EXPECT_EQ(quote_def_value(L"plain"), L"\"plain\"");
    EXPECT_EQ(quote_def_value(L"say \"hi\""), L"'say \"hi\"'");
    EXPECT_EQ(quote_def_value(L"it's \"x\""), L"\"it's 'x'\"");
    EXPECT_EQ(quote_def_value(L""), L"\"\"");
}

TEST(DaoTypes, NativeTypesAndValueAdjustments)
{
    struct { VARTYPE vt; uint32_t size; int32_t reserved; short want; } rows[] = {
        {VT_I2, 0, 0, dbInteger}, {VT_I1, 0, 0, dbInteger}, {VT_I4, 0, 0, dbLong}, {VT_UI2, 0, 0, dbLong},
        {VT_R4, 0, 0, dbSingle}, {VT_R8, 0, 0, dbDouble}, {VT_DECIMAL, 0, 0, dbDouble}, {VT_UI4, 0, 0, dbDouble},
        {VT_I8, 0, 0, dbDouble}, {VT_UI8, 0, 0, dbDouble}, {VT_CY, 0, 0, dbCurrency}, {VT_DATE, 0, 0, dbDate},
        {VT_BSTR, 1, 0, dbText}, {VT_BSTR, 255, 0, dbText}, {VT_BSTR, 256, 0, dbMemo}, {VT_BSTR, 0, 0, dbMemo},
        {VT_BOOL, 0, 0, dbBoolean}, {VT_UI1, 0, 0, dbByte}, {65, 16, 0, dbBinary}, {VT_ARRAY | VT_UI1, 0, 0, dbLongBinary},
        {70, 300, 0, dbLongBinary}, {65, 10, 8, dbMemo},
    };
    for (const auto& r : rows) {
        t_ftd c(r.size, L"c", r.vt, false, false, ole_variant(), r.reserved);
        EXPECT_EQ(get_native_type(c), r.want) << r.vt << " " << r.size;
    }
    EXPECT_THROW(get_native_type(column(L"c", VT_UNKNOWN)), ole_type_exception);

    EXPECT_EQ(dao_get_valid_variant(ole_variant(static_cast<long long>(1) << 40)).get_type(), VT_R8);
    EXPECT_EQ(dao_get_valid_variant(ole_variant(static_cast<long long>(1) << 40)).to_double(), 1099511627776.0);
    EXPECT_EQ(dao_get_valid_variant(ole_variant(static_cast<unsigned short>(65535))).to_long(), 65535);
    EXPECT_EQ(dao_get_valid_variant(ole_variant(static_cast<unsigned short>(65535))).get_type(), VT_I4);
    EXPECT_EQ(dao_get_valid_variant(ole_variant(4000000000u)).get_type(), VT_R8);
    EXPECT_TRUE(dao_get_valid_variant(ole_variant(7)).is_empty());
}

TEST(DaoWrite, TablesRowsIndexesAndDeletionInEveryFormat)
{
    for (int version : {1, 0, 3}) {
        SCOPED_TRACE(version);
        scratch_dir dir("dao-write");
        const std::string path = dir.str(version == 3 ? "new.accdb" : "new.mdb");
        dao_engine engine(1, 0);
        auto db = create(engine, version, path);
        ASSERT_NE(db, nullptr);
        auto& dao = dynamic_cast<dao_database&>(*db);

        udb_schema schema;
        schema.push_back(new t_ftd(column(L"ID", VT_I4, 4, true, true)));
        schema.push_back(new t_ftd(column(L"Unit.Price", VT_CY, 8)));
        t_ftd* note = new t_ftd(column(L"Note", VT_BSTR, 40));
        note->def_value = ole_variant(std::wstring(L"it's \"new\""));
        schema.push_back(note);
        schema.push_back(new t_ftd(column(L"Body", VT_BSTR, 0)));
        udb_indexes indexes;
        indexes.push_back(udb_index(L"PrimaryKey", {L"ID"}, true, true));
        indexes.push_back(udb_index(L"By:Price", {L"Unit.Price"}, false, false));
        indexes.push_back(udb_index(L"ByBody", {L"Body"}, false, false));   // a memo: left out
        for (int i = 0; i < 40; ++i)
            indexes.push_back(udb_index(L"Extra" + std::to_wstring(i), {L"Note"}, false, false));

        auto rs = db->create_table(L"Items", schema, indexes);
        ASSERT_NE(rs, nullptr);
        // The renamed column is recorded in the names map, and the index over it followed it.
        const std::wstring price = db->get_names_map().get_fn_mapped_name(L"Items", L"Unit.Price", false);
        EXPECT_EQ(price, L"Unit_Price");
        for (int i = 1; i <= 3; ++i) {
            udb_record r;
            r.push_back(new udb_field(L"ID", 4, ole_variant()));
            r.push_back(new udb_field(L"Unit.Price", 8, ole_variant::from_currency(i * 12500)));
            r.push_back(new udb_field(L"Note", 40, ole_variant(std::wstring(L"note ") + std::to_wstring(i))));
            r.push_back(new udb_field(L"Body", 0, ole_variant(std::wstring(5000, static_cast<wchar_t>(L'a' + i)))));
            rs->append_record(r);
        }
        rs.reset();
        EXPECT_TRUE(db->is_table_exist(L"Items"));

        udb_schema other;
        other.push_back(new t_ftd(column(L"Gone", VT_I2, 2)));
        db->create_table(L"Scrap", other, udb_indexes());
        EXPECT_TRUE(db->delete_tab(L"Scrap"));
        EXPECT_FALSE(db->is_table_exist(L"Scrap"));

        const std::wstring ui = dao.gen_ui_name(std::wstring(70, L'T'));
        EXPECT_EQ(ui.size(), 64u);
        EXPECT_EQ(ui.rfind(L"ui_TTT", 0), 0u);
        for (std::size_t k = 52; k < 64; ++k) EXPECT_TRUE(std::iswdigit(ui[k]));
        db.reset();

        auto jdb = jet::database::open(path);
        EXPECT_EQ(jdb->format(), version == 1 ? jet::file_format::jet3 : version == 0 ? jet::file_format::jet4 : jet::file_format::ace);
        EXPECT_EQ(jdb->find(L"Scrap"), nullptr);
        auto t = jdb->table(L"Items");
        ASSERT_EQ(t->columns.size(), 4u);
        EXPECT_EQ(t->columns[1].name, L"Unit_Price");
        EXPECT_EQ(t->columns[2].properties.get(L"DefaultValue"), jet::value(std::wstring(L"\"it's 'new'\"")));
        EXPECT_EQ(t->columns[3].type, jet::column_type::memo);
        EXPECT_EQ(t->indexes.size(), 32u);
        bool renamed_index = false;
        for (const auto& x : t->indexes) {
            EXPECT_NE(x.name, L"ByBody");
            if (x.name == L"By_Price") {
                renamed_index = true;
                ASSERT_EQ(x.columns.size(), 1u);
                EXPECT_EQ(x.columns[0].name, L"Unit_Price");
            }
        }
        EXPECT_TRUE(renamed_index);
        auto rows = jdb->rows(t);
        int n = 0;
        while (rows.next()) {
            ++n;
            EXPECT_EQ(rows[0], jet::value(static_cast<std::int32_t>(n)));
            EXPECT_EQ(rows[1], jet::value(jet::currency{n * 12500LL}));
            EXPECT_EQ(rows[3], jet::value(std::wstring(5000, static_cast<wchar_t>(L'a' + n))));
        }
        EXPECT_EQ(n, 3);
    }
}

TEST(DaoWrite, ForeignKeysGetTheUniqueIndexTheyNeed)
{
    scratch_dir dir("dao-write");
    const std::string path = dir.str("rel.mdb");
    dao_engine engine(1, 0);
    auto db = create(engine, 0, path);
    // A parent of the longest name: the unique index made for the key gets a name of 64 characters.
    const std::wstring parent_name = L"Parent" + std::wstring(58, L'x');
    udb_schema parent;
    parent.push_back(new t_ftd(column(L"Code", VT_BSTR, 10, true)));
    db->create_table(parent_name, parent, udb_indexes());
    udb_schema child;
    child.push_back(new t_ftd(column(L"ID", VT_I4, 4)));
    child.push_back(new t_ftd(column(L"ParentCode", VT_BSTR, 10)));
    db->create_table(L"Child", child, udb_indexes());
    udb_relationships rels;
    rels.push_back(udb_relationship(L"FK_Parent_Child", L"", L"Child", parent_name, {L"ParentCode"}, {L"Code"}, L""));
    db->create_relationships(rels);
    db.reset();

    auto jdb = jet::database::open(path);
    auto p = jdb->table(parent_name);
    bool generated = false;
    for (const auto& x : p->indexes)
        if (x.name.rfind(L"ui_Parent", 0) == 0 && x.name.size() == 64 && x.unique()) generated = true;
    EXPECT_TRUE(generated);
    auto c = jdb->table(L"Child");
    bool fk = false;
    for (const auto& x : c->indexes)
        if (x.foreign() && x.ref_table == parent_name) fk = true;
    EXPECT_TRUE(fk);
    EXPECT_EQ(jdb->count_rows(L"MSysRelationships"), 1u);

    // The same through the reader's own view of foreign keys.
    dao_engine reader(1, 0);
    auto back = daotests::open_corpus(reader, path);
    ASSERT_EQ(back->relationships.size(), 1u);
    EXPECT_EQ(back->relationships[0].fk_table, L"Child");
    EXPECT_EQ(back->relationships[0].pk_table, parent_name);
}

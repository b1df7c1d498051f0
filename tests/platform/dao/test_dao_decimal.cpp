// Decimal columns tell their precision and scale through the field properties, in definitions and recordsets.
#include "tests/platform/dao/dao_test_util.h"

using namespace daotest;

namespace {

// The Precision and Scale properties of a field (-1 when missing).
std::pair<long, long> precision_of(_DAOField* f)
{
    ptr<DAOProperties> props;
    EXPECT_EQ(f->get_Properties(props.out()), S_OK);
    auto read = [&](const wchar_t* name) {
        ptr<DAOProperty> p;
        var key{std::wstring(name)};
        if (props->get_Item(key.v, p.out()) != S_OK) return -1L;
        var v;
        if (p->get_Value(&v.v) != S_OK || v.v.vt != VT_UI1) return -2L;
        return static_cast<long>(v.v.bVal);
    };
    return {read(L"Precision"), read(L"Scale")};
}

ptr<_DAOField> field(DAOFields* flds, const wchar_t* name)
{
    ptr<_DAOField> f;
    var key{std::wstring(name)};
    EXPECT_EQ(flds->get_Item(key.v, f.out()), S_OK) << narrow(name);
    return f;
}

} // namespace

TEST(DaoDecimal, PrecisionAndScaleReachDefinitionAndRecordsetFields)
{
    DRAV_TESTDATA_OR_SKIP(calc, "jackcess/V2010/calcFieldTestV2010.accdb");
    DRAV_TESTDATA_OR_SKIP(numeric, "mdb-reader/data/V2003/numeric.mdb");
    auto e = engine();
    struct {
        const std::string& path;
        const wchar_t* table;
        const wchar_t* column;
        long precision, scale;
    } cases[] = {{calc, L"Table1", L"Popularity", 18, 6}, {numeric, L"test", L"col2", 18, 0}};
    for (const auto& c : cases) {
        auto db = open(e.get(), c.path);
        ASSERT_TRUE(db);
        ptr<DAOTableDefs> tdfs;
        ASSERT_EQ(db->get_TableDefs(tdfs.out()), S_OK);
        ptr<_DAOTableDef> tdf;
        var tname{std::wstring(c.table)};
        ASSERT_EQ(tdfs->get_Item(tname.v, tdf.out()), S_OK);
        ptr<DAOFields> flds;
        ASSERT_EQ(tdf->get_Fields(flds.out()), S_OK);
        auto f = field(flds.get(), c.column);
        ASSERT_TRUE(f);
        EXPECT_EQ(precision_of(f.get()), std::make_pair(c.precision, c.scale)) << narrow(c.column);

        ptr<DAORecordset> rs;
        bstr sql(L"SELECT * FROM [" + std::wstring(c.table) + L"]");
        var type(static_cast<long>(dbOpenDynaset)), opt(static_cast<long>(dbReadOnly)), lock;
        ASSERT_EQ(db->OpenRecordset(sql.b, type.v, opt.v, lock.v, rs.out()), S_OK);
        ptr<DAOFields> rflds;
        ASSERT_EQ(rs->get_Fields(rflds.out()), S_OK);
        auto rf = field(rflds.get(), c.column);
        ASSERT_TRUE(rf);
        EXPECT_EQ(precision_of(rf.get()), std::make_pair(c.precision, c.scale)) << narrow(c.column);

        // Other columns have neither property.
        auto other = field(flds.get(), c.table == std::wstring(L"test") ? L"col1" : L"ID");
        ASSERT_TRUE(other);
        EXPECT_EQ(precision_of(other.get()), std::make_pair(-1L, -1L));
        if (c.table == std::wstring(L"Table1")) {
            // A calculated decimal keeps each value's own digits: no fixed precision to tell.
            auto calculated = field(flds.get(), L"DecimalTest");
            ASSERT_TRUE(calculated);
            EXPECT_EQ(precision_of(calculated.get()), std::make_pair(-1L, -1L));
        }
        rs->Close();
    }
}

// Access SELECT statements through the object model: translation, functions, types, names and errors.
#include <map>

#include "tests/platform/dao/dao_test_util.h"
#include "tests/support/complex_expected.h"

using namespace daotest;

namespace {

struct result {
    HRESULT hr = S_OK;
    std::vector<std::wstring> names;
    std::vector<short> types;
    std::vector<std::vector<jet::value>> rows;
    std::vector<std::vector<VARTYPE>> vts;
};

result run(DAODBEngine* e, DAODatabase* db, const std::wstring& sql)
{
    result r;
    ptr<DAORecordset> rs;
    bstr text(sql);
    var type(static_cast<long>(dbOpenDynaset)), opt(static_cast<long>(dbReadOnly)), lock;
    r.hr = db->OpenRecordset(text.b, type.v, opt.v, lock.v, rs.out());
    if (FAILED(r.hr)) return r;
    ptr<DAOFields> flds;
    EXPECT_EQ(rs->get_Fields(flds.out()), S_OK);
    short n = 0;
    flds->get_Count(&n);
    std::vector<ptr<_DAOField>> fs(static_cast<std::size_t>(n));
    for (short i = 0; i < n; ++i) {
        var k(static_cast<long>(i));
        EXPECT_EQ(flds->get_Item(k.v, fs[static_cast<std::size_t>(i)].out()), S_OK);
        bstr name;
        fs[static_cast<std::size_t>(i)]->get_Name(name.out());
        short t = 0;
        fs[static_cast<std::size_t>(i)]->get_Type(&t);
        r.names.push_back(name.str());
        r.types.push_back(t);
    }
    VARIANT_BOOL eof = 0;
    for (rs->get_EOF(&eof); !eof; rs->MoveNext(), rs->get_EOF(&eof)) {
        std::vector<jet::value> row;
        std::vector<VARTYPE> vt;
        for (auto& f : fs) {
            var v;
            EXPECT_EQ(f->get_Value(&v.v), S_OK);
            vt.push_back(v.v.vt);
            row.push_back(to_value(v.v));
        }
        r.rows.push_back(std::move(row));
        r.vts.push_back(std::move(vt));
    }
    (void)e;
    return r;
}

std::wstring txt(const jet::value& v) { return expected::text_of(v); }

class DaoSql : public ::testing::Test {
protected:
    void SetUp() override
    {
        path_ = drav_test::testdata("mdb-reader/data/real/ASampleDatabase.accdb");
        if (path_.empty()) GTEST_SKIP() << "test data not found";
        e_ = engine();
        db_ = open(e_.get(), path_);
        ASSERT_TRUE(db_);
    }
    result q(const std::wstring& sql) { return run(e_.get(), db_.get(), sql); }
    std::string path_;
    ptr<DAODBEngine> e_;
    ptr<DAODatabase> db_;
};

TEST_F(DaoSql, FilterSortAndSavedQuery)
{
    auto r = q(L"SELECT [Asset Items].[Asset No], [Asset Items].[Owner], [Asset Items].[Cost] FROM [Asset Items] "
               L"WHERE ((([Asset Items].[Asset Category])=\"computer hardware\")) ORDER BY [Asset Items].[Owner];");
    ASSERT_EQ(r.hr, S_OK) << narrow(last_error(e_.get()).second);
    ASSERT_EQ(r.names, (std::vector<std::wstring>{L"Asset No", L"Owner", L"Cost"}));
    EXPECT_EQ(r.types, (std::vector<short>{dbText, dbText, dbCurrency}));
    ASSERT_EQ(r.rows.size(), 24u); // text compares without regard to case
    EXPECT_EQ(txt(r.rows[0][1]), L"Admin & Accounts");
    EXPECT_EQ(r.vts[0][2], VT_CY);
    // The saved query of the same text, used by name and as a table.
    auto s = q(L"qryComputerHardwareInOwnerOrder");
    ASSERT_EQ(s.hr, S_OK);
    EXPECT_EQ(s.rows.size(), 24u);
    auto v = q(L"SELECT Count(*) FROM qryComputerHardwareInOwnerOrder");
    ASSERT_EQ(v.hr, S_OK) << narrow(last_error(e_.get()).second);
    EXPECT_EQ(v.names[0], L"Expr1000");
    EXPECT_EQ(txt(v.rows[0][0]), L"24");
}

TEST_F(DaoSql, GroupingAggregatesAndTheirNames)
{
    auto r = q(L"SELECT Owner, Sum(Cost), Count(*), First([Asset No]) AS F, Last([Asset No]), Max(Acquired) "
               L"FROM [Asset Items] GROUP BY Owner HAVING Sum(Cost) > 10000 ORDER BY Owner");
    ASSERT_EQ(r.hr, S_OK) << narrow(last_error(e_.get()).second);
    EXPECT_EQ(r.names, (std::vector<std::wstring>{L"Owner", L"SumOfCost", L"Expr1000", L"F", L"LastOfAsset No", L"MaxOfAcquired"}));
    EXPECT_EQ(r.types[1], dbCurrency);
    EXPECT_EQ(r.types[2], dbLong);
    EXPECT_EQ(r.types[5], dbDate);
    std::map<std::wstring, std::wstring> sums;
    for (const auto& row : r.rows) sums[txt(row[0])] = txt(row[1]);
    EXPECT_EQ(sums, (std::map<std::wstring, std::wstring>{{L"Admin & Accounts", L"21288.0000"},
                                                          {L"Maintenance", L"16033.5000"},
                                                          {L"Production", L"17845.5000"},
                                                          {L"Sales", L"39572.0000"}}));
    // The saved grouping query.
    auto s = q(L"SELECT * FROM qryCostsSummedByOwner WHERE Owner = 'Management'");
    ASSERT_EQ(s.hr, S_OK) << narrow(last_error(e_.get()).second);
    double total = 0;
    for (const auto& row : s.rows) total += static_cast<double>(row[2].as_currency().scaled) / 10000;
    EXPECT_DOUBLE_EQ(total, 3425.5);
}

TEST_F(DaoSql, FunctionsDatesAndLiterals)
{
    auto r = q(L"SELECT TOP 1 [Asset No] & '-' & Left(Make, 3) AS K, Len(Make), UCase(Mid(Make, 2, 3)), "
               L"Year(Acquired), Format(Acquired, 'yyyy-mm-dd'), DateAdd('m', 5, Acquired), "
               L"DateDiff('d', #9/1/1997#, Acquired), IIf(Cost > 2000, 'big', 'small'), Nz(Comments, 'none'), "
               L"InStr(Make, 'Rock'), CInt(2.5), CLng(3.5), Int(-2.5), Fix(-2.5), Val('12abc'), 7 / 2, 7 \\ 2, 7 Mod 3, 2 ^ 10, "
               L"True, Null, CStr(12), DateSerial(1999, 14, 1), Trim('  x  ') "
               L"FROM [Asset Items] WHERE [Asset No] = '30050'");
    ASSERT_EQ(r.hr, S_OK) << narrow(last_error(e_.get()).second);
    ASSERT_EQ(r.rows.size(), 1u);
    const auto& v = r.rows[0];
    EXPECT_EQ(r.names[1], L"Expr1000");
    EXPECT_EQ(r.names[2], L"Expr1001");
    EXPECT_EQ(txt(v[0]), L"30050-GEO");
    EXPECT_EQ(txt(v[1]), L"10");
    EXPECT_EQ(txt(v[2]), L"EO ");
    EXPECT_EQ(txt(v[3]), L"1997");
    EXPECT_EQ(txt(v[4]), L"1997-09-02");
    EXPECT_EQ(r.types[5], dbDate);
    EXPECT_EQ(txt(v[5]), L"1998-02-02T00:00:00.0000000");
    EXPECT_EQ(txt(v[6]), L"1");
    EXPECT_EQ(txt(v[7]), L"small");
    EXPECT_EQ(txt(v[8]), L"none");
    EXPECT_EQ(txt(v[9]), L"5");
    EXPECT_EQ(txt(v[10]), L"2");   // banker's rounding
    EXPECT_EQ(txt(v[11]), L"4");
    EXPECT_EQ(txt(v[12]), L"-3.0");
    EXPECT_EQ(txt(v[13]), L"-2.0");
    EXPECT_EQ(txt(v[14]), L"12.0");
    EXPECT_EQ(txt(v[15]), L"3.5");
    EXPECT_EQ(txt(v[16]), L"3");
    EXPECT_EQ(txt(v[17]), L"1");
    EXPECT_EQ(txt(v[18]), L"1024.0");
    EXPECT_EQ(r.vts[0][19], VT_BOOL);
    EXPECT_EQ(txt(v[19]), L"true");
    EXPECT_TRUE(v[20].is_null());
    EXPECT_EQ(txt(v[21]), L"12");
    EXPECT_EQ(txt(v[22]), L"2000-02-01T00:00:00.0000000");
    EXPECT_EQ(txt(v[23]), L"x");
}

TEST_F(DaoSql, LikeWildcardsDateRangesAndPercent)
{
    auto like = q(L"SELECT Make FROM [Asset Items] WHERE Make LIKE 'furn*'");
    ASSERT_EQ(like.hr, S_OK);
    EXPECT_EQ(like.rows.size(), 21u);
    auto set = q(L"SELECT [Asset No] FROM [Asset Items] WHERE [Asset No] LIKE '3005[0-2]' ORDER BY [Asset No] DESC");
    ASSERT_EQ(set.hr, S_OK);
    ASSERT_EQ(set.rows.size(), 3u);
    EXPECT_EQ(txt(set.rows[0][0]), L"30052");
    auto digits = q(L"SELECT [Asset No] FROM [Asset Items] WHERE [Asset No] LIKE '3005#' AND NOT [Asset No] LIKE '*[!0-4]'");
    ASSERT_EQ(digits.hr, S_OK);
    EXPECT_EQ(digits.rows.size(), 5u);
    auto dates = q(L"SELECT DISTINCTROW * FROM [Asset Items] WHERE Acquired BETWEEN #1/1/1998# AND #12/31/1998#");
    ASSERT_EQ(dates.hr, S_OK);
    EXPECT_EQ(dates.rows.size(), 6u);
    EXPECT_EQ(dates.names.size(), 13u);
    EXPECT_EQ(dates.types[7], dbDate);
    EXPECT_EQ(dates.vts[0][7], VT_DATE);
    auto pct = q(L"SELECT TOP 10 PERCENT [Asset No] FROM [Asset Items] ORDER BY Cost DESC");
    ASSERT_EQ(pct.hr, S_OK);
    EXPECT_EQ(pct.rows.size(), 7u);
}

TEST_F(DaoSql, JoinsSubqueriesAndUnions)
{
    auto r = q(L"SELECT a.[Asset No], b.[Asset No] FROM [Asset Items] AS a INNER JOIN [Asset Items] AS b "
               L"ON a.[Asset No] = b.[Asset No] WHERE a.Cost > (SELECT Avg(Cost) FROM [Asset Items])");
    ASSERT_EQ(r.hr, S_OK) << narrow(last_error(e_.get()).second);
    EXPECT_GT(r.rows.size(), 0u);
    for (const auto& row : r.rows) EXPECT_EQ(txt(row[0]), txt(row[1]));
    auto l = q(L"SELECT x.Owner FROM ([Asset Items] AS x LEFT JOIN [Asset Items] AS y ON x.Owner = y.Make) "
               L"WHERE y.Make IS NULL AND x.Owner IN ('Sales', 'Management')");
    ASSERT_EQ(l.hr, S_OK) << narrow(last_error(e_.get()).second);
    EXPECT_GT(l.rows.size(), 0u);
    auto u = q(L"SELECT Owner FROM [Asset Items] WHERE Owner = 'Sales' UNION SELECT Make FROM [Asset Items] "
               L"WHERE Make = 'FurnTown' ORDER BY Owner");
    ASSERT_EQ(u.hr, S_OK) << narrow(last_error(e_.get()).second);
    ASSERT_EQ(u.rows.size(), 2u);
    EXPECT_EQ(txt(u.rows[0][0]), L"FurnTown");
    auto ex = q(L"SELECT Count(*) AS N FROM [Asset Items] AS o WHERE EXISTS (SELECT * FROM [Asset Items] AS i "
                L"WHERE i.Owner = o.Owner AND i.Cost > 5000)");
    ASSERT_EQ(ex.hr, S_OK) << narrow(last_error(e_.get()).second);
    EXPECT_EQ(ex.names[0], L"N");
}

TEST_F(DaoSql, WrongStatementsGiveEngineErrorsNotCrashes)
{
    struct { const wchar_t* sql; long number; } cases[] = {
        {L"DELETE FROM [Asset Items]", 3129},
        {L"UPDATE [Asset Items] SET Cost = 0", 3129},
        {L"INSERT INTO [Asset Items] (Owner) VALUES ('x')", 3129},
        {L"DROP TABLE [Asset Items]", 3129},
        {L"SELECT * FROM NoSuchTable", 3078},
        {L"SELECT NoSuchColumn FROM [Asset Items]", 3061},
        {L"SELECT Owner FROM [Asset Items] WHERE Cost >", 3075},
        {L"SELECT Owner FROM [Asset Items] WHERE (Cost > 1", 3075},
        {L"SELECT Frobnicate(Owner) FROM [Asset Items]", 3085},
        {L"SELECT Owner FROM [Asset Items] INNER JOIN", 3131},
        {L"SELECT Owner FROM", 3131},
        {L"SELECT 'unterminated FROM [Asset Items]", 3141},
        {L"SELECT Owner, Sum(Cost) FROM [Asset Items]", 3122},
        {L"SELECT Owner FROM [Asset Items]; DROP TABLE x", 3141},
        {L"SELECT * FROM [Asset Items] WHERE Acquired = #not a date#", 3075},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.sql));
        auto r = q(c.sql);
        EXPECT_EQ(r.hr, dao_hresult(c.number));
        auto err = last_error(e_.get());
        EXPECT_EQ(err.first, c.number) << narrow(err.second);
        EXPECT_FALSE(err.second.empty());
    }
    // The messages name what is missing.
    q(L"SELECT * FROM NoSuchTable");
    EXPECT_EQ(last_error(e_.get()).second, L"The Microsoft Access database engine cannot find the input table or query "
                                           L"'NoSuchTable'. Make sure it exists and that its name is spelled correctly.");
    q(L"SELECT NoSuchColumn FROM [Asset Items]");
    EXPECT_EQ(last_error(e_.get()).second, L"Too few parameters. Expected 1.");
    q(L"SELECT Frobnicate(Owner) FROM [Asset Items]");
    EXPECT_EQ(last_error(e_.get()).second, L"Undefined function 'Frobnicate' in expression.");
}

TEST_F(DaoSql, TemporaryQueryDefsDescribeAndOpen)
{
    ptr<_DAOQueryDef> qd;
    var empty(std::wstring(L"")), sql(std::wstring(L"SELECT Owner, Cost * 2 AS Twice, Acquired + 1 FROM [Asset Items]"));
    ASSERT_EQ(db_->CreateQueryDef(empty.v, sql.v, qd.out()), S_OK) << narrow(last_error(e_.get()).second);
    ptr<DAOFields> flds;
    ASSERT_EQ(qd->get_Fields(flds.out()), S_OK);
    short n = 0;
    flds->get_Count(&n);
    ASSERT_EQ(n, 3);
    ptr<_DAOField> f;
    var two(2L);
    ASSERT_EQ(flds->get_Item(two.v, f.out()), S_OK);
    bstr name;
    f->get_Name(name.out());
    EXPECT_EQ(name.str(), L"Expr1000");
    short t = 0;
    f->get_Type(&t);
    EXPECT_EQ(t, dbDate);
    var v;
    EXPECT_EQ(f->get_Value(&v.v), dao_hresult(daoErrInvalidOperation));
    ptr<DAORecordset> rs;
    var type(static_cast<long>(dbOpenDynaset)), opt(static_cast<long>(dbReadOnly)), lock;
    ASSERT_EQ(qd->OpenRecordset(type.v, opt.v, lock.v, rs.out()), S_OK);
    long count = 0;
    rs->get_RecordCount(&count);
    EXPECT_EQ(count, 65);
    // A text that is not a SELECT is refused at creation.
    var bad(std::wstring(L"DELETE * FROM [Asset Items]"));
    EXPECT_EQ(db_->CreateQueryDef(empty.v, bad.v, qd.out()), dao_hresult(daoErrInvalidSQL));
    // The relationship system table reads through SQL as the catalogue reader does it.
    auto rel = q(L"SELECT szRelationship, szColumn, szObject, szReferencedObject, szReferencedColumn, grbit "
                 L"FROM MSysRelationships ORDER BY szRelationship");
    EXPECT_EQ(rel.hr, S_OK) << narrow(last_error(e_.get()).second);
}

TEST(DaoSqlFiles, ValuesThroughSqlEqualTheExpectedFile)
{
    DRAV_TESTDATA_OR_SKIP(path, "mdb-reader/data/V2003/test.mdb");
    std::string exp = drav_test::testdata("expected/values/mdb-reader/data/V2003/test.mdb.jsonl");
    if (exp.empty()) GTEST_SKIP();
    auto e = engine();
    auto db = open(e.get(), path);
    ASSERT_TRUE(db);
    // Not the plain table path: an always-true filter sends the text through SQL.
    auto r = run(e.get(), db.get(), L"SELECT * FROM Table1 WHERE 1 = 1");
    ASSERT_EQ(r.hr, S_OK) << narrow(last_error(e.get()).second);
    EXPECT_EQ(r.types, (std::vector<short>{dbText, dbText, dbByte, dbInteger, dbLong, dbDouble, dbDate, dbCurrency, dbBoolean}));
    auto rows = expected::table_rows(expected::read_lines(exp), L"Table1");
    ASSERT_EQ(r.rows.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i)
        for (std::size_t k = 0; k < rows[i].size(); ++k)
            EXPECT_TRUE(expected::same(rows[i][k], r.rows[i][k]))
                << i << "/" << k << ": " << expected::show(rows[i][k]) << " vs " << narrow(txt(r.rows[i][k]));
    EXPECT_EQ(r.vts[0][8], VT_BOOL);
    auto b = run(e.get(), db.get(), L"SELECT A FROM Table1 WHERE I = True");
    ASSERT_EQ(b.hr, S_OK);
    ASSERT_EQ(b.rows.size(), 1u);
    EXPECT_EQ(txt(b.rows[0][0]), L"abcdefg");
}

} // namespace

namespace {

// Every saved SELECT query of the corpus opens and walks, and the count wrapper of the catalogue reader
// agrees with the rows; the other kinds are refused with an engine error.
TEST(DaoSqlFiles, SavedQueriesOfTheCorpusRun)
{
    std::string schema = drav_test::testdata("expected/schema.jsonl");
    if (schema.empty()) GTEST_SKIP();
    auto e = engine();
    int ran = 0;
    for (const auto& f : expected::read_lines(schema)) {
        if (!f.get("queries") || f["queries"].items.empty()) continue;
        std::wstring rel = f["file"].text;
        std::string path = drav_test::testdata(std::string(rel.begin(), rel.end()));
        if (path.empty()) continue;
        auto db = open(e.get(), path);
        ASSERT_TRUE(db);
        for (const auto& q : f["queries"].items) {
            SCOPED_TRACE(narrow(q["name"].text));
            auto r = run(e.get(), db.get(), q["name"].text);
            std::wstring kind = q["type"].text;
            if (kind == L"CROSS_TAB") continue; // runs when its text is sound (see the crosstab test)
            if (kind != L"SELECT") {
                EXPECT_TRUE(FAILED(r.hr));
                EXPECT_NE(last_error(e.get()).first, 0);
                continue;
            }
            ASSERT_EQ(r.hr, S_OK) << narrow(last_error(e.get()).second);
            std::wstring sql = q["sql"].text;
            auto c = run(e.get(), db.get(), L"select count(*) from (" + sql + L")");
            ASSERT_EQ(c.hr, S_OK) << narrow(last_error(e.get()).second);
            EXPECT_EQ(txt(c.rows[0][0]), std::to_wstring(r.rows.size()));
            ++ran;
        }
    }
    EXPECT_GE(ran, 5);
}

// Attachment columns hold a child recordset whose first field is the file's bytes.
TEST(DaoSqlFiles, AttachmentsAreChildRecordsets)
{
    DRAV_TESTDATA_OR_SKIP(path, "mdb-reader/data/V2016/attachments.accdb");
    auto e = engine();
    auto db = open(e.get(), path);
    ASSERT_TRUE(db);
    ptr<DAOTableDefs> tdfs;
    ASSERT_EQ(db->get_TableDefs(tdfs.out()), S_OK);
    short n = 0;
    tdfs->get_Count(&n);
    int seen = 0;
    for (short i = 0; i < n; ++i) {
        ptr<_DAOTableDef> t;
        var k(static_cast<long>(i));
        ASSERT_EQ(tdfs->get_Item(k.v, t.out()), S_OK);
        long a = 0;
        t->get_Attributes(&a);
        if (a & dbSystemObject) continue;
        ptr<DAORecordset> rs;
        var type(static_cast<long>(dbOpenDynaset)), opt(static_cast<long>(dbReadOnly));
        ASSERT_EQ(t->OpenRecordset(type.v, opt.v, rs.out()), S_OK);
        ptr<DAOFields> flds;
        rs->get_Fields(flds.out());
        short nf = 0;
        flds->get_Count(&nf);
        for (short j = 0; j < nf; ++j) {
            ptr<_DAOField> f;
            var fk(static_cast<long>(j));
            flds->get_Item(fk.v, f.out());
            short ft = 0;
            f->get_Type(&ft);
            if (ft != dbAttachment) continue;
            VARIANT_BOOL eof = 0;
            for (rs->get_EOF(&eof); !eof; rs->MoveNext(), rs->get_EOF(&eof)) {
                var v;
                ASSERT_EQ(f->get_Value(&v.v), S_OK);
                if (v.v.vt == VT_NULL) continue;
                ASSERT_EQ(v.v.vt, VT_DISPATCH);
                ptr<DAORecordset> child(com_query<DAORecordset>(v.v.pdispVal));
                ASSERT_TRUE(child);
                ptr<DAOFields> cf;
                child->get_Fields(cf.out());
                ptr<_DAOField> first;
                var zero(0L);
                ASSERT_EQ(cf->get_Item(zero.v, first.out()), S_OK);
                bstr name;
                first->get_Name(name.out());
                EXPECT_EQ(name.str(), L"FileData");
                VARIANT_BOOL ceof = 0;
                child->get_EOF(&ceof);
                if (!ceof) {
                    var data;
                    ASSERT_EQ(first->get_Value(&data.v), S_OK);
                    EXPECT_EQ(data.v.vt, VT_ARRAY | VT_UI1);
                    ++seen;
                }
            }
        }
    }
    EXPECT_GT(seen, 0);
}

} // namespace

namespace {

// Damaged statements (cut short, words dropped, nesting without end) never crash: each one either
// runs or fails with an engine error.
TEST(DaoSqlFiles, DamagedStatementsFailCleanly)
{
    DRAV_TESTDATA_OR_SKIP(path, "mdb-reader/data/real/ASampleDatabase.accdb");
    auto e = engine();
    auto db = open(e.get(), path);
    ASSERT_TRUE(db);
    const std::wstring good[] = {
        L"SELECT Owner, Sum(Cost) AS S FROM [Asset Items] WHERE Acquired > #1/1/1998# GROUP BY Owner HAVING Sum(Cost) > 5 ORDER BY Owner DESC;",
        L"SELECT a.Make & '-' & IIf(a.Cost > 100, Left(a.Model, 2), Null) FROM [Asset Items] AS a LEFT JOIN [Asset Items] AS b ON a.[Asset No] = b.[Asset No] WHERE a.Make LIKE '[a-f]*' AND a.Owner IN (SELECT Owner FROM [Asset Items]);",
    };
    int failed = 0, ran = 0;
    for (const auto& g : good) {
        for (std::size_t cut = 0; cut < g.size(); ++cut) {
            for (const std::wstring& sql : {g.substr(0, cut), g.substr(0, cut) + g.substr(std::min(g.size(), cut + 3))}) {
                auto r = run(e.get(), db.get(), sql);
                if (FAILED(r.hr)) {
                    ++failed;
                    EXPECT_EQ(static_cast<uint32_t>(r.hr) & 0xFFFF0000u, 0x800A0000u) << narrow(sql);
                    EXPECT_NE(last_error(e.get()).first, 0) << narrow(sql);
                } else {
                    ++ran;
                }
            }
        }
    }
    EXPECT_GT(failed, 100);
    EXPECT_GT(ran, 0);
    auto deep = run(e.get(), db.get(), L"SELECT " + std::wstring(100000, L'(') + L"1" + std::wstring(100000, L')') + L" FROM [Asset Items]");
    EXPECT_EQ(deep.hr, dao_hresult(3360));
    auto deep2 = run(e.get(), db.get(), L"SELECT " + std::wstring(50000, L'-') + L"1 FROM [Asset Items]");
    EXPECT_EQ(deep2.hr, dao_hresult(3360));
    // Text compares without regard to case beyond ASCII too.
    auto r = run(e.get(), db.get(), L"SELECT Count(*) FROM [Asset Items] WHERE Owner = 'SALES'");
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_NE(txt(r.rows[0][0]), L"0");
}

} // namespace

namespace {

// Dates keep their kind through expressions: text made from them reads as a date, and a computed date
// column is a Date column.
TEST(DaoSqlFiles, DatesPrintAsDatesInExpressions)
{
    DRAV_TESTDATA_OR_SKIP(path, "mdb-reader/data/real/ASampleDatabase.accdb");
    auto e = engine();
    auto db = open(e.get(), path);
    ASSERT_TRUE(db);
    auto r = run(e.get(), db.get(), L"SELECT 'On ' & Acquired, CStr(#2/3/2001 13:04:05#), Len(Acquired), "
                                    L"IIf(Cost > 0, Acquired, Null) AS D, Format(Acquired) "
                                    L"FROM [Asset Items] WHERE [Asset No] = '30050'");
    ASSERT_EQ(r.hr, S_OK) << narrow(last_error(e.get()).second);
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(txt(r.rows[0][0]), L"On 9/2/1997");
    EXPECT_EQ(txt(r.rows[0][1]), L"2/3/2001 1:04:05 PM");
    EXPECT_EQ(txt(r.rows[0][2]), L"8");
    EXPECT_EQ(r.types[3], dbDate);
    EXPECT_EQ(r.vts[0][3], VT_DATE);
    EXPECT_EQ(txt(r.rows[0][4]), L"9/2/1997");
}

} // namespace

namespace {

// A crosstab: one column per pivot value, from the data or from the IN list.
TEST(DaoSqlFiles, CrosstabsPivotTheirValues)
{
    DRAV_TESTDATA_OR_SKIP(path, "mdb-reader/data/real/ASampleDatabase.accdb");
    auto e = engine();
    auto db = open(e.get(), path);
    ASSERT_TRUE(db);
    auto r = run(e.get(), db.get(), L"TRANSFORM Sum(Cost) AS Total SELECT Owner FROM [Asset Items] "
                                    L"WHERE Owner <> 'Management' GROUP BY Owner ORDER BY Owner PIVOT [Asset Category];");
    ASSERT_EQ(r.hr, S_OK) << narrow(last_error(e.get()).second);
    ASSERT_EQ(r.names, (std::vector<std::wstring>{L"Owner", L"Computer Hardware", L"Computer Software",
                                                  L"General Equipment", L"Office Furniture"}));
    ASSERT_EQ(r.rows.size(), 4u);
    double total = 0;
    for (const auto& row : r.rows)
        for (std::size_t k = 1; k < row.size(); ++k)
            if (!row[k].is_null()) total += row[k].type() == jet::value::currency_k ? static_cast<double>(row[k].as_currency().scaled) / 10000 : row[k].as_double();
    EXPECT_DOUBLE_EQ(total, 21288.0 + 16033.5 + 17845.5 + 39572.0);
    auto in = run(e.get(), db.get(), L"TRANSFORM Count(*) SELECT Owner FROM [Asset Items] GROUP BY Owner "
                                     L"PIVOT Year(Acquired) IN (1997, 1999)");
    ASSERT_EQ(in.hr, S_OK) << narrow(last_error(e.get()).second);
    EXPECT_EQ(in.names, (std::vector<std::wstring>{L"Owner", L"1997", L"1999"}));
    auto bad = run(e.get(), db.get(), L"TRANSFORM Sum(Cost) SELECT Owner FROM [Asset Items] GROUP BY Owner");
    EXPECT_EQ(bad.hr, dao_hresult(3141));
    auto where = run(e.get(), db.get(), L"SELECT Owner FROM [Asset Items] WHERE Avg(Cost) > 10 GROUP BY Owner");
    EXPECT_EQ(where.hr, dao_hresult(3096));
    EXPECT_EQ(last_error(e.get()).second, L"Cannot have aggregate function in WHERE clause (avg).");
}

} // namespace

namespace {

// GUID values come as DAO's "{guid {...}}" text and the same literal finds them again.
TEST(DaoSqlFiles, GuidLiteralsFindGuidValues)
{
    DRAV_TESTDATA_OR_SKIP(path, "bench/bench100k_V2003.mdb");
    auto e = engine();
    auto db = open(e.get(), path);
    ASSERT_TRUE(db);
    auto first = run(e.get(), db.get(), L"SELECT TOP 3 * FROM Big WHERE 1 = 1");
    ASSERT_EQ(first.hr, S_OK) << narrow(last_error(e.get()).second);
    ASSERT_EQ(first.rows.size(), 3u);
    std::size_t g = 0;
    while (g < first.types.size() && first.types[g] != dbGUID) ++g;
    ASSERT_LT(g, first.types.size());
    std::wstring id = txt(first.rows[2][g]);
    ASSERT_EQ(id.size(), 38u);
    std::wstring lower;
    for (wchar_t c : id) lower += static_cast<wchar_t>(std::towlower(c));
    auto r = run(e.get(), db.get(), L"SELECT Count(*) FROM Big WHERE [" + first.names[g] + L"] = {guid " + lower + L"}");
    ASSERT_EQ(r.hr, S_OK) << narrow(last_error(e.get()).second);
    EXPECT_EQ(txt(r.rows[0][0]), L"1");
}

} // namespace

namespace {

// Rows are read as they are walked; an error met on the way is the engine's error of that move, and
// moving back runs the statement again.
TEST(DaoSqlFiles, RowsStreamAndRuntimeErrorsArriveOnTheMove)
{
    DRAV_TESTDATA_OR_SKIP(path, "mdb-reader/data/real/ASampleDatabase.accdb");
    auto e = engine();
    auto db = open(e.get(), path);
    ASSERT_TRUE(db);
    ptr<DAORecordset> rs;
    bstr sql(L"SELECT [Asset No], 100 / IIf([Asset No] = '30052', 0, 1) AS Q FROM [Asset Items]");
    var type(static_cast<long>(dbOpenDynaset)), opt(static_cast<long>(dbReadOnly)), lock;
    ASSERT_EQ(db->OpenRecordset(sql.b, type.v, opt.v, lock.v, rs.out()), S_OK) << narrow(last_error(e.get()).second);
    ASSERT_EQ(rs->MoveNext(), S_OK);
    EXPECT_EQ(rs->MoveNext(), dao_hresult(11));
    EXPECT_EQ(last_error(e.get()).second, L"Division by zero.");
    ptr<DAORecordset> ok;
    bstr sql2(L"SELECT [Asset No] FROM [Asset Items] WHERE Cost > 0 ORDER BY [Asset No] DESC");
    ASSERT_EQ(db->OpenRecordset(sql2.b, type.v, opt.v, lock.v, ok.out()), S_OK);
    var first;
    ASSERT_EQ(ok->get_Collect(var(0L).v, &first.v), S_OK);
    ASSERT_EQ(ok->MoveLast(0), S_OK);
    ASSERT_EQ(ok->MoveFirst(), S_OK);
    var again;
    ASSERT_EQ(ok->get_Collect(var(0L).v, &again.v), S_OK);
    EXPECT_EQ(txt(to_value(first.v)), txt(to_value(again.v)));
    long n = 0;
    ok->get_RecordCount(&n);
    EXPECT_EQ(n, 65);
}

} // namespace

namespace {

// TOP n keeps the rows that tie with the n-th in the sort order, as Access does.
TEST(DaoSqlFiles, TopKeepsTies)
{
    DRAV_TESTDATA_OR_SKIP(path, "mdb-reader/data/real/ASampleDatabase.accdb");
    auto e = engine();
    auto db = open(e.get(), path);
    ASSERT_TRUE(db);
    auto all = run(e.get(), db.get(), L"SELECT Owner FROM [Asset Items] WHERE Owner = 'Admin & Accounts'");
    auto ties = run(e.get(), db.get(), L"SELECT TOP 1 Owner, Cost FROM [Asset Items] ORDER BY Owner");
    ASSERT_EQ(ties.hr, S_OK) << narrow(last_error(e.get()).second);
    EXPECT_EQ(ties.names, (std::vector<std::wstring>{L"Owner", L"Cost"}));
    EXPECT_EQ(ties.rows.size(), all.rows.size());
    EXPECT_GT(ties.rows.size(), 1u);
    auto unique = run(e.get(), db.get(), L"SELECT TOP 2 [Asset No] FROM [Asset Items] ORDER BY [Asset No] DESC");
    ASSERT_EQ(unique.hr, S_OK);
    ASSERT_EQ(unique.rows.size(), 2u);
    EXPECT_EQ(unique.names.size(), 1u);
    auto plain = run(e.get(), db.get(), L"SELECT TOP 3 Owner FROM [Asset Items]");
    EXPECT_EQ(plain.rows.size(), 3u);
    ptr<_DAOQueryDef> qd;
    var empty(std::wstring(L"")), sql(std::wstring(L"SELECT TOP 1 Owner FROM [Asset Items] ORDER BY Owner"));
    ASSERT_EQ(db->CreateQueryDef(empty.v, sql.v, qd.out()), S_OK);
    ptr<DAOFields> f;
    ASSERT_EQ(qd->get_Fields(f.out()), S_OK);
    short n = 0;
    f->get_Count(&n);
    EXPECT_EQ(n, 1);
}

} // namespace

namespace {

// The Access functions, each checked by hand against what Access gives.
TEST(DaoSqlFiles, FunctionsGiveWhatAccessGives)
{
    DRAV_TESTDATA_OR_SKIP(path, "mdb-reader/data/real/ASampleDatabase.accdb");
    auto e = engine();
    auto db = open(e.get(), path);
    ASSERT_TRUE(db);
    struct { const wchar_t* expr; const wchar_t* want; } cases[] = {
        {L"Format(1234.5, 'Standard')", L"1,234.50"},
        {L"Format(0.256, 'Percent')", L"25.60%"},
        {L"Format(1234.5, '#,##0.00')", L"1,234.50"},
        {L"Format(3, '000')", L"003"},
        {L"Format(#2/3/2001#, 'dddd, mmmm d, yyyy')", L"Saturday, February 3, 2001"},
        {L"Format(#2/3/2001 14:05#, 'hh:nn AM/PM')", L"02:05 PM"},
        {L"Format(#2/3/2001#, 'Short Date')", L"2/3/2001"},
        {L"Format(#2/3/2001#, 'yy-mmm-dd')", L"01-Feb-03"},
        {L"DatePart('q', #8/1/2001#)", L"3"},
        {L"DatePart('y', #2/1/2001#)", L"32"},
        {L"Weekday(#2/3/2001#)", L"7"},
        {L"Weekday(#2/3/2001#, 2)", L"6"},
        {L"DateDiff('m', #1/31/2001#, #2/1/2001#)", L"1"},
        {L"DateDiff('yyyy', #12/31/2000#, #1/1/2001#)", L"1"},
        {L"DateDiff('h', #1/1/2001#, #1/2/2001 6:00#)", L"30"},
        {L"DateAdd('m', 1, #1/31/2001#)", L"2001-02-28T00:00:00.0000000"},
        {L"DateAdd('h', 25, #1/1/2001#)", L"2001-01-02T01:00:00.0000000"},
        {L"DateAdd('d', -1, #1/1/1900#)", L"1899-12-31T00:00:00.0000000"},
        {L"TimeSerial(13, 30, 0)", L"1899-12-30T13:30:00.0000000"},
        {L"StrComp('abc', 'ABC')", L"0"},
        {L"StrComp('a', 'b')", L"-1"},
        {L"Replace('aXbx', 'x', '-')", L"a-b-"},
        {L"InStr(3, 'abcabc', 'B')", L"5"},
        {L"Round(2.5)", L"2.0"},
        {L"Round(3.5)", L"4.0"},
        {L"Round(-2.5)", L"-2.0"},
        {L"CCur(1.23456)", L"1.2346"},
        {L"CBool(5)", L"true"},
        {L"IsNumeric('12.5')", L"true"},
        {L"IsNumeric('x')", L"false"},
        {L"IsNull(Null)", L"true"},
        {L"Val('  12 34x')", L"1234.0"},
        {L"Chr(65) & Asc('a') & '[' & Space(2) & ']'", L"A97[  ]"},
        {L"'a' & Null", L"a"},
        {L"Mid('abcdef', 3)", L"cdef"},
        {L"Right('abc', 5)", L"abc"},
        {L"LTrim('  x ') & '|'", L"x |"},
        {L"Sgn(-3)", L"-1"},
        {L"Sqr(16)", L"4.0"},
        {L"Int(7.9) + Fix(-7.9)", L"0.0"},
        {L"CLng('42')", L"42"},
        {L"CDate('2001-02-03')", L"2001-02-03T00:00:00.0000000"},
    };
    for (const auto& c : cases) {
        auto r = run(e.get(), db.get(), std::wstring(L"SELECT ") + c.expr + L" FROM [Asset Items] WHERE [Asset No] = '30050'");
        ASSERT_EQ(r.hr, S_OK) << narrow(c.expr) << ": " << narrow(last_error(e.get()).second);
        ASSERT_EQ(r.rows.size(), 1u);
        EXPECT_EQ(txt(r.rows[0][0]), c.want) << narrow(c.expr);
    }
    auto n = run(e.get(), db.get(), L"SELECT 'a' + Null, CLng(3000000000) FROM [Asset Items] WHERE [Asset No] = '30050'");
    EXPECT_EQ(n.hr, dao_hresult(6)); // overflow
    auto z = run(e.get(), db.get(), L"SELECT 'a' + Null FROM [Asset Items] WHERE [Asset No] = '30050'");
    ASSERT_EQ(z.hr, S_OK);
    EXPECT_TRUE(z.rows[0][0].is_null());
}

} // namespace

namespace {

// DISTINCTROW over one table keeps every row; over a join it drops the rows the join repeats.
TEST(DaoSqlFiles, DistinctRowOverJoins)
{
    DRAV_TESTDATA_OR_SKIP(path, "mdb-reader/data/real/ASampleDatabase.accdb");
    auto e = engine();
    auto db = open(e.get(), path);
    ASSERT_TRUE(db);
    auto one = run(e.get(), db.get(), L"SELECT DISTINCTROW Owner FROM [Asset Items]");
    ASSERT_EQ(one.hr, S_OK);
    EXPECT_EQ(one.rows.size(), 65u);
    auto join = run(e.get(), db.get(), L"SELECT DISTINCTROW a.* FROM [Asset Items] AS a INNER JOIN [Asset Items] AS b "
                                       L"ON a.Owner = b.Owner");
    ASSERT_EQ(join.hr, S_OK) << narrow(last_error(e.get()).second);
    EXPECT_EQ(join.rows.size(), 65u);
    auto all = run(e.get(), db.get(), L"SELECT a.* FROM [Asset Items] AS a INNER JOIN [Asset Items] AS b ON a.Owner = b.Owner");
    ASSERT_EQ(all.hr, S_OK);
    EXPECT_EQ(all.rows.size(), 25u * 25 + 17 * 17 + 14 * 14 + 8 * 8 + 1);
}

} // namespace

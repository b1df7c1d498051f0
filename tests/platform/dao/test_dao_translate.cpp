// Translation of Access SQL without a database: precedence, literals, names and syntax errors.
#include <gtest/gtest.h>

#include "platform/dao/dao_accsql.h"

using namespace daoimpl;

namespace {

sql_source table(const std::wstring& n)
{
    if (n == L"Missing") throw sql_error{3078, n};
    return {L"t_" + n, true};
}

translated_sql tr(const std::wstring& sql) { return translate_select(sql, table); }

long error_of(const std::wstring& sql)
{
    try {
        tr(sql);
    } catch (const sql_error& e) {
        return e.number;
    }
    return 0;
}

TEST(DaoTranslate, OperatorsKeepAccessPrecedence)
{
    // & binds looser than +, so b + c is added first; comparisons below both.
    auto t = tr(L"SELECT a & b + c FROM T WHERE x BETWEEN 1 AND 2 AND NOT y = 'q' OR z Like 'a*'");
    EXPECT_NE(t.sql.find("dao_cat(\"a\", dao_add(\"b\", \"c\"))"), std::string::npos) << t.sql;
    EXPECT_NE(t.sql.find("(\"x\" BETWEEN 1 AND 2)"), std::string::npos) << t.sql;
    EXPECT_NE(t.sql.find("dao_like(\"z\", 'a*')"), std::string::npos) << t.sql;
    // ^ before unary minus, / is real division, \ and Mod whole-number.
    auto p = tr(L"SELECT -2 ^ 2, 7 / 2, 7 \\ 2, 7 Mod 2 FROM T");
    EXPECT_NE(p.sql.find("(-dao_pow(2, 2))"), std::string::npos) << p.sql;
    EXPECT_NE(p.sql.find("dao_div(7, 2)"), std::string::npos);
    EXPECT_NE(p.sql.find("dao_idiv(7, 2)"), std::string::npos);
    EXPECT_NE(p.sql.find("dao_mod(7, 2)"), std::string::npos);
}

TEST(DaoTranslate, NamesLiteralsAndResultColumns)
{
    auto t = tr(L"SELECT [My Table].[A Col], T!B, \"it's\", 'x''y', True, Null FROM [My Table], T");
    ASSERT_EQ(t.columns.size(), 6u);
    EXPECT_EQ(t.columns[0].name, L"A Col");
    EXPECT_EQ(t.columns[1].name, L"B");
    EXPECT_EQ(t.columns[2].name, L"Expr1000");
    EXPECT_EQ(t.columns[3].name, L"Expr1001");
    EXPECT_EQ(t.columns[4].name, L"Expr1002");
    EXPECT_EQ(t.columns[4].hint, sql_hint::boolean);
    auto g = tr(L"SELECT Count(*), Sum(Amount), Max([A Col]) AS Biggest, Len(B) FROM T GROUP BY Len(B)");
    ASSERT_EQ(g.columns.size(), 4u);
    EXPECT_EQ(g.columns[0].name, L"Expr1000");
    EXPECT_EQ(g.columns[1].name, L"SumOfAmount");
    EXPECT_EQ(g.columns[1].hint, sql_hint::same_as_arg);
    EXPECT_EQ(g.columns[2].name, L"Biggest");
    EXPECT_EQ(g.columns[3].name, L"Expr1001");
    EXPECT_EQ(g.columns[3].hint, sql_hint::long_);
    EXPECT_NE(t.sql.find("'it''s'"), std::string::npos) << t.sql;
    EXPECT_NE(t.sql.find("'x''y'"), std::string::npos);
    EXPECT_NE(t.sql.find("\"m_t_My Table\" AS \"My Table\""), std::string::npos) << t.sql;
    // Two tables: each read once into a copy the join can index.
    EXPECT_EQ(t.sql.rfind("WITH ", 0), 0u);
    EXPECT_NE(t.sql.find("MATERIALIZED"), std::string::npos);
    // A name with a double quote stays one name.
    auto q = tr(L"SELECT [a\"b] FROM T");
    EXPECT_NE(q.sql.find("\"a\"\"b\""), std::string::npos) << q.sql;
}

TEST(DaoTranslate, DateLiterals)
{
    double d = 0;
    ASSERT_TRUE(parse_date_literal(L"1/2/2001", d));
    EXPECT_DOUBLE_EQ(d, 36893.0);
    ASSERT_TRUE(parse_date_literal(L"2001-01-02 13:30", d));
    EXPECT_DOUBLE_EQ(d, 36893.0 + 13.5 / 24);
    ASSERT_TRUE(parse_date_literal(L" 12:00:00 AM ", d));
    EXPECT_DOUBLE_EQ(d, 0.0);
    ASSERT_TRUE(parse_date_literal(L"2:30 PM", d));
    EXPECT_DOUBLE_EQ(d, 14.5 / 24);
    ASSERT_TRUE(parse_date_literal(L"12/31/99", d));
    EXPECT_DOUBLE_EQ(d, 36525.0);
    EXPECT_FALSE(parse_date_literal(L"13/45/2001", d));
    EXPECT_FALSE(parse_date_literal(L"yesterday", d));
    EXPECT_FALSE(parse_date_literal(L"1/2", d));
    auto t = tr(L"SELECT * FROM T WHERE D > #1/2/2001#");
    EXPECT_NE(t.sql.find("dao_dl(36893.0)"), std::string::npos) << t.sql;
}

TEST(DaoTranslate, StatementsThatAreNotSelectsOrDoNotParse)
{
    EXPECT_EQ(error_of(L"DELETE FROM T"), 3129);
    EXPECT_EQ(error_of(L"SELECT a INTO X FROM T"), 3129);
    EXPECT_EQ(error_of(L"SELECT a FROM Missing"), 3078);
    EXPECT_EQ(error_of(L"SELECT Nope(a) FROM T"), 3085);
    EXPECT_EQ(error_of(L"SELECT a FROM T WHERE"), 3075);
    EXPECT_EQ(error_of(L"SELECT a FROM T WHERE a IS 3"), 3075);
    EXPECT_EQ(error_of(L"SELECT a FROM T LEFT JOIN U"), 3131);
    EXPECT_EQ(error_of(L"SELECT a FROM T; SELECT b FROM U"), 3141);
    EXPECT_EQ(error_of(L"SELECT a, Sum(b) FROM T"), 3122);
    EXPECT_EQ(error_of(L"SELECT a, Sum(b) FROM T GROUP BY c"), 3122);
    EXPECT_EQ(error_of(L"SELECT a, Sum(b) FROM T GROUP BY a"), 0);
    EXPECT_EQ(error_of(L"SELECT Left(a) FROM T"), 3075);
    EXPECT_EQ(error_of(L"SELECT " + std::wstring(1000, L'(') + L"1" + std::wstring(1000, L')')), 3360);
    EXPECT_EQ(error_of(L"SELECT a FROM T IN 'other.mdb'"), 3251);
    EXPECT_EQ(error_of(L"PARAMETERS x Long; SELECT a FROM T WHERE a = x"), 0);
    EXPECT_EQ(error_of(L"PARAMETERS x Long SELECT a FROM T"), 3141);
}

} // namespace

namespace {

TEST(DaoTranslate, DistinctRowAndTopTogether)
{
    auto t = tr(L"SELECT DISTINCTROW TOP 2 a.x FROM T AS a INNER JOIN U AS b ON a.x = b.x ORDER BY a.x");
    EXPECT_NE(t.sql.find("SELECT DISTINCT \"a\".\"x\" AS \"x\" FROM"), std::string::npos) << t.sql;
    EXPECT_EQ(t.hidden, 0);
    EXPECT_NE(t.sql.find("LIMIT 2"), std::string::npos);
    auto ties = tr(L"SELECT TOP 2 x FROM T ORDER BY x DESC");
    EXPECT_EQ(ties.top_n, 2);
    EXPECT_EQ(ties.hidden, 1);
    EXPECT_EQ(ties.sql.find("LIMIT"), std::string::npos);
    auto x = tr(L"TRANSFORM Sum(v) SELECT k FROM T GROUP BY k PIVOT p");
    EXPECT_TRUE(x.crosstab);
    EXPECT_NE(x.sql.find("\"k\" AS \"k\"\x01K\x01 FROM"), std::string::npos) << x.sql;
}

} // namespace

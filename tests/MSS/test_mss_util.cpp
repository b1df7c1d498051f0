// T-SQL column types, value literals and name handling.
#include <algorithm>
#include <cmath>
#include <cwctype>
#include <limits>
#include <optional>
#include <sstream>
#include <gtest/gtest.h>

#include "MSS/mss_engi.h"
#include "MSS/mss_util.h"
#include "MSS/mss_vali.h"
#include "OLE/ole_date.h"
#include "TK/tk_excep.h"
#include "TK/tk_utils.h"
#include "UDB/udb_db.h"
#include "mss_test_env.h"

namespace {

t_ftd col(VARTYPE vt, unsigned size, int reserved = 0, bool auto_num = false, bool not_null = false,
          const ole_variant& def = ole_variant())
{
    return t_ftd(size, L"c", vt, not_null, auto_num, def, reserved, L"");
}

} // namespace

TEST(MssTypeMap, IntegersBigintsAndFloats)
{
    mss_test_engine engine;
    for (VARTYPE vt : {VT_I2, VT_I4, VT_I1, VT_UI1, VT_UI2, VT_UI4, VT_INT, VT_UINT}) {
        EXPECT_EQ(mss_get_native_type(col(vt, 4)), L"INT") << vt;
        EXPECT_EQ(mss_get_native_type(col(vt, 4, 0, true)), L"INT IDENTITY") << vt;
    }
    EXPECT_EQ(mss_get_native_type(col(VT_I8, 8)), L"BIGINT");
    EXPECT_EQ(mss_get_native_type(col(VT_UI8, 8, 0, true)), L"BIGINT IDENTITY");
    EXPECT_EQ(mss_get_native_type(col(VT_R4, 4)), L"REAL");
    EXPECT_EQ(mss_get_native_type(col(VT_R8, 8)), L"FLOAT");
    EXPECT_EQ(mss_get_native_type(col(VT_R8, 8, 1)), L"REAL");
    EXPECT_EQ(mss_get_native_type(col(VT_BOOL, 1)), L"BIT");
}

TEST(MssTypeMap, NumericPrecisionAndScale)
{
    mss_test_engine engine;
    t_ftd d = col(VT_DECIMAL, 16);
    d.precision = 18;
    d.scale = 4;
    EXPECT_EQ(mss_get_native_type(d), L"NUMERIC(18,4)");
    d.precision = 39;
    EXPECT_EQ(mss_get_native_type(d), L"FLOAT");
    d.precision = 0;
    d.scale = 0;
    EXPECT_EQ(mss_get_native_type(d), L"FLOAT");
    d.scale = 4; // no precision but a scale: still a valid type that keeps the scale
    EXPECT_EQ(mss_get_native_type(d), L"NUMERIC(38,4)");
    d.precision = 5;
    d.scale = 9; // a scale above the precision would be refused by the server
    EXPECT_EQ(mss_get_native_type(d), L"NUMERIC(5,5)");
    t_ftd cy = col(VT_CY, 8);
    cy.precision = 19;
    cy.scale = 4;
    EXPECT_EQ(mss_get_native_type(cy), L"NUMERIC(19,4)");
}

TEST(MssTypeMap, DatesBinaryAndText)
{
    mss_test_engine engine;
    EXPECT_EQ(mss_get_native_type(col(VT_DATE, 8)), L"DATETIME2");
    EXPECT_EQ(mss_get_native_type(col(VT_DATE, 8, 2)), L"DATE");
    EXPECT_EQ(mss_get_native_type(col(VT_DATE, 8, 3)), L"TIME");
    EXPECT_EQ(mss_get_native_type(col(VT_DATE, 8, 0x12)), L"DATETIMEOFFSET");
    EXPECT_EQ(mss_get_native_type(col(VT_BLOB, 7999)), L"VARBINARY(7999) ");
    EXPECT_EQ(mss_get_native_type(col(VT_ARRAY | VT_UI1, 8000)), L"VARBINARY(MAX)");
    EXPECT_EQ(mss_get_native_type(col(VT_BLOB_OBJECT, 0)), L"VARBINARY(MAX)");
    EXPECT_EQ(mss_get_native_type(col(VT_BSTR, 3999)), L"NVARCHAR(3999) ");
    EXPECT_EQ(mss_get_native_type(col(VT_BSTR, 4000)), L"NVARCHAR(MAX)");
    EXPECT_EQ(mss_get_native_type(col(VT_BSTR, 0)), L"NVARCHAR(MAX)");
    EXPECT_EQ(mss_get_native_type(col(VT_BSTR, 38, 1)), L" uniqueidentifier");
    EXPECT_EQ(mss_get_native_type(col(VT_BSTR, 0, 2)), L" geometry");
    EXPECT_EQ(mss_get_native_type(col(VT_BSTR, 0, 8)), L" geography");
    t_ftd custom = col(VT_BSTR, 10);
    custom.native_type = L"xml";
    EXPECT_EQ(mss_get_native_type(custom), L"xml");

    mss_test_engine ansi(false);
    EXPECT_EQ(mss_get_native_type(col(VT_BSTR, 50)), L"VARCHAR(50) ");
    EXPECT_EQ(mss_get_native_type(col(VT_BSTR, 0)), L"VARCHAR(MAX)");
}

TEST(MssLiteral, TextQuotesAndNationalPrefix)
{
    mss_test_engine engine;
    EXPECT_EQ(to_mssql_str(L"it's", VT_BSTR), L"N'it''s'");
    EXPECT_EQ(to_mssql_str(L"", VT_BSTR), L"''");
    EXPECT_EQ(to_mssql_str(L"'); DROP TABLE x; --", VT_BSTR), L"N'''); DROP TABLE x; --'");
    EXPECT_EQ(to_mssql_str(L"a\r\nb */ c", VT_BSTR), L"N'a\r\nb */ c'");
    EXPECT_EQ(to_mssql_str(L"a\r\nb\ngoto", VT_BSTR), L"(CAST(N'' AS NVARCHAR(MAX)) + N'a\r\nb' + NCHAR(10) + N'goto')");
    EXPECT_EQ(to_mssql_str(L"GO\r\nbye", VT_BSTR), L"N'GO\r\nbye'"); // the first line follows the quote
    {
        mss_test_engine ansi(false);
        EXPECT_EQ(to_mssql_str(L"it's", VT_BSTR), L"'it''s'");
    }
    EXPECT_EQ(to_mssql_str(L"42", VT_I4), L"42");
    EXPECT_EQ(to_mssql_str(L"-1.5000000000000000e+00", VT_R8), L"-1.5000000000000000e+00");
    // A numeric type never carries text into the statement unquoted.
    EXPECT_EQ(to_mssql_str(L"1; DROP TABLE x", VT_I4), L"'1; DROP TABLE x'");
    // Signs, points and exponents without a digit are no number ("e5" bare would name a column).
    for (const wchar_t* no_digit : {L"-", L"+", L".", L"-.", L"e5", L".E+7"})
        EXPECT_EQ(to_mssql_str(no_digit, VT_R8), L"'" + std::wstring(no_digit) + L"'");
    EXPECT_EQ(to_mssql_str(L"nan", VT_R8), L"NULL");
    EXPECT_EQ(to_mssql_str(L"-inf", VT_R8), L"NULL");
}

// No tool that runs the script may find, inside a literal, a line it acts on, a variable
// reference or a NUL; the value still arrives whole.
TEST(MssLiteral, NothingInsideALiteralReachesTheScriptRunner)
{
    mss_test_engine engine;
    const std::wstring open = L"(CAST(N'' AS NVARCHAR(MAX)) + N'";
    // Every blank and line break the runners know, before the separator and the commands; a
    // runner may also pass over control characters.
    for (const wchar_t* blank : {L"", L" ", L"\t", L"\f", L"\v", L"\r", L" \f\v\t", L"\u00A0", L"\u3000", L"\uFEFF",
                                 L"\x01", L"\x1F\x08"}) {
        for (const wchar_t* word : {L"GO", L"go 5", L"Go--x", L":r /etc/passwd", L"!! rm x", L"exit(select 1)",
                                    L"QUIT", L"reset", L"ed"}) {
            const std::wstring text = std::wstring(L"x\n") + blank + word;
            const std::wstring lit = to_mssql_str(text, VT_BSTR);
            std::wstring expected = open + L"x' + NCHAR(10) + N'";
            for (const wchar_t* b = blank; *b; ++b) // every break of the run is written as a code
                if (*b == L'\r' || *b == L'\f' || *b == L'\v')
                    expected += L"' + NCHAR(" + std::to_wstring(static_cast<unsigned>(*b)) + L") + N'";
                else
                    expected += *b;
            expected += std::wstring(word) + L"')";
            EXPECT_EQ(lit, expected);
        }
    }
    for (const wchar_t* brk : {L"\r", L"\v", L"\f", L"\x85", L"\u2028", L"\u2029"})
        EXPECT_EQ(to_mssql_str(std::wstring(L"x") + brk + L"GO", VT_BSTR),
                  open + L"x' + NCHAR(" + std::to_wstring(static_cast<unsigned>(brk[0])) + L") + N'GO')");
    // Every break of the run before the command is written as a code; blank lines between too.
    EXPECT_EQ(to_mssql_str(L"x'\r\n \r\nGO\r\nDROP TABLE t", VT_BSTR),
              open + L"x''' + NCHAR(13) + N'' + NCHAR(10) + N' ' + NCHAR(13) + N'' + NCHAR(10) + N'GO\r\nDROP TABLE t')");
    EXPECT_EQ(mss_quote_string(L"a\nGO 2"), L"(CAST('' AS VARCHAR(MAX)) + 'a' + CHAR(10) + 'GO 2')");
    EXPECT_EQ(mss_quote_string(L"a\u2028GO"), L"(CAST('' AS VARCHAR(MAX)) + 'a' + NCHAR(8232) + 'GO')");
    // Ordinary lines stay as they are.
    EXPECT_EQ(to_mssql_str(L"Dear Sir,\r\n\r\nthanks.\r\n", VT_BSTR), L"N'Dear Sir,\r\n\r\nthanks.\r\n'");
    EXPECT_FALSE(mss_literal_needs_split(L"a\n\tx\fy\vz $ ( $x"));
    // sqlcmd's variables and a NUL.
    EXPECT_EQ(to_mssql_str(L"$(HOME) and $(", VT_BSTR), open + L"$' + N'(HOME) and $' + N'(')");
    EXPECT_EQ(to_mssql_str(std::wstring(L"a\0b", 3), VT_BSTR), open + L"a' + NCHAR(0) + N'b')");
    EXPECT_EQ(to_mssql_str(std::wstring(L"\0", 1), VT_BSTR), open + L"' + NCHAR(0) + N'')");
    {
        mss_test_engine ansi(false);
        EXPECT_EQ(to_mssql_str(std::wstring(L"a\0$(b", 5), VT_BSTR),
                  L"(CAST('' AS VARCHAR(MAX)) + 'a' + CHAR(0) + '$' + '(b')");
    }
    // The same text written piece by piece: pieces may cut through "$(" and a line-break run.
    const std::wstring text = std::wstring(L"ab$(c\r\n  \r\ngo\0x'y", 17);
    mss_literal_scanner whole(text);
    std::wstring one;
    whole.append(one, 0, text.size(), L"N", true);
    EXPECT_EQ(one, L"ab$' + N'(c' + NCHAR(13) + N'' + NCHAR(10) + N'  ' + NCHAR(13) + N'' + NCHAR(10) + N'go' + NCHAR(0) + N'x''y");
    for (size_t piece = 1; piece < 6; ++piece) {
        mss_literal_scanner scanner(text);
        std::wstring parts;
        for (size_t pos = 0; pos < text.size(); pos += piece)
            scanner.append(parts, pos, std::min(text.size(), pos + piece), L"N", true);
        EXPECT_EQ(parts, one) << piece;
    }
    // A long run of line breaks is looked at once, not once per line break.
    const std::wstring breaks = L"x" + std::wstring(2000000, L'\n') + L"GO";
    EXPECT_EQ(to_mssql_str(breaks, VT_BSTR).size(), open.size() + 1 + 2000000 * 18 + 4);
}

TEST(MssLiteral, GuidOnlyForGuidColumns)
{
    mss_test_engine engine;
    const std::wstring g = L"{00112233-4455-6677-8899-AABBCCDDEEFF}";
    EXPECT_EQ(to_mssql_str(g, VT_BSTR, true), L"'00112233-4455-6677-8899-AABBCCDDEEFF'");
    EXPECT_EQ(to_mssql_str(g, VT_BSTR, false), L"N'" + g + L"'");

    udb_field f(L"c", 38, ole_variant(g), 0, 0);
    t_ftd guid_col = col(VT_BSTR, 38, 1);
    t_ftd text_col = col(VT_BSTR, 38, 0);
    EXPECT_EQ(mss_get_fld_append_str(&f, &guid_col), L"'00112233-4455-6677-8899-AABBCCDDEEFF'");
    EXPECT_EQ(mss_get_fld_append_str(&f, &text_col), L"N'" + g + L"'");
}

TEST(MssLiteral, BinaryText)
{
    mss_test_engine engine;
    EXPECT_EQ(to_mssql_str(L"0x0aFF", VT_BLOB), L"0x0aFF");
    EXPECT_EQ(to_mssql_str(L"0X12", VT_ARRAY | VT_UI1), L"0X12");
    EXPECT_EQ(to_mssql_str(L"1234", VT_BLOB), L"1234");
    EXPECT_EQ(to_mssql_str(L"x", VT_BLOB), L"0x");
    EXPECT_EQ(to_mssql_str(L"abc", VT_BLOB), L"'abc'");
    EXPECT_EQ(to_mssql_str(L"1x2", VT_BLOB), L"'1x2'");
    EXPECT_EQ(to_mssql_str(L"0x12G", VT_BLOB), L"'0x12G'");
    EXPECT_EQ(to_mssql_str(L"a'b", VT_BLOB), L"'a''b'");
}

TEST(MssLiteral, Dates)
{
    mss_test_engine engine;
    EXPECT_EQ(to_mssql_str(L"2020-12-25 14:30:05", VT_DATE), L"'2020-12-25 14:30:05'");
    EXPECT_EQ(to_mssql_str(L"2020-12-25", VT_DATE), L"'2020-12-25'");
    EXPECT_EQ(to_mssql_str(L"10000-01-02 03:04:05", VT_DATE), L"'9999-01-02 03:04:05'");
    EXPECT_EQ(to_mssql_str(L"0000-00-00 10:05:00", VT_DATE), L"'1899-12-30 10:05:00'");
}

TEST(MssLiteral, FieldsAndNullCases)
{
    mss_test_engine engine;
    t_ftd nullable = col(VT_I4, 4);
    t_ftd not_null = col(VT_I4, 4, 0, false, true, ole_variant(7));
    typed_empty_field empty_int(L"c", VT_I4);
    udb_field null_field(L"c", 4, null_variant(), 0, 0);
    udb_field five(L"c", 4, ole_variant(5), 0, 0);
    EXPECT_EQ(mss_get_fld_append_str(&five, &nullable), L"5");
    EXPECT_EQ(mss_get_fld_append_str(&null_field, &nullable), L"NULL");
    EXPECT_EQ(mss_get_fld_append_str(&null_field, &not_null), L"7");
    EXPECT_EQ(mss_get_fld_append_str(&empty_int, &nullable), L"NULL");
    EXPECT_EQ(mss_get_fld_append_str(&empty_int, &not_null), L"7");

    t_ftd text_not_null = col(VT_BSTR, 10, 0, false, true);
    udb_field empty_text(L"c", 10, ole_variant(std::wstring()), 0, 0);
    EXPECT_EQ(mss_get_fld_append_str(&empty_text, &text_not_null), L"''");
    EXPECT_EQ(mss_get_fld_append_str(&null_field, &text_not_null), L"''");

    t_ftd blob_not_null = col(VT_BLOB, 10, 0, false, true);
    EXPECT_EQ(mss_get_fld_append_str(&null_field, &blob_not_null), L"0x");
    const unsigned char bytes[] = {0x01, 0xAB};
    udb_field bin(L"c", 2, ole_variant(sizeof bytes, bytes), 0, 0);
    EXPECT_EQ(mss_get_fld_append_str(&bin, &blob_not_null), L"0x01AB");
    udb_field bin0(L"c", 0, ole_variant(size_t(0), bytes), 0, 0);
    EXPECT_EQ(mss_get_fld_append_str(&bin0, &blob_not_null), L"0x");

    EXPECT_THROW(mss_get_fld_append_str(nullptr, &nullable), tk_mail_assertion);
    EXPECT_THROW(mss_get_fld_append_str(&five, nullptr), tk_mail_assertion);
}

TEST(MssLiteral, DoublesClampedAndNonFiniteNull)
{
    mss_test_engine engine;
    t_ftd nullable = col(VT_R8, 8);
    t_ftd not_null = col(VT_R8, 8, 0, false, true, ole_variant(0));
    udb_field tiny(L"c", 8, ole_variant(1e-310), 0, 0);
    EXPECT_EQ(mss_get_fld_append_str(&tiny, &nullable), L"2.2300000000000001e-308");
    udb_field huge(L"c", 8, ole_variant(-1e308 * 10), 0, 0);
    udb_field nan(L"c", 8, ole_variant(std::numeric_limits<double>::quiet_NaN()), 0, 0);
    udb_field inf(L"c", 8, ole_variant(std::numeric_limits<double>::infinity()), 0, 0);
    EXPECT_EQ(mss_get_fld_append_str(&nan, &nullable), L"NULL");
    EXPECT_EQ(mss_get_fld_append_str(&inf, &nullable), L"NULL");
    EXPECT_EQ(mss_get_fld_append_str(&huge, &nullable), L"NULL");
    EXPECT_EQ(mss_get_fld_append_str(&nan, &not_null), L"0");
    udb_field big(L"c", 8, ole_variant(1.795e308), 0, 0);
    EXPECT_EQ(mss_get_fld_append_str(&big, &nullable), L"1.7900000000000000e+308");
    udb_field zero(L"c", 8, ole_variant(0.0), 0, 0);
    EXPECT_EQ(mss_get_fld_append_str(&zero, &nullable), L"0.0000000000000000e+00");
}

TEST(MssNames, QuoteSplitSimplify)
{
    // Without an engine the owner rule cannot be read: an internal error.
    std::wstring t0, o0;
    EXPECT_THROW(mss_split_tab_name(L"a.b", t0, o0), tk_mail_assertion);
    mss_test_engine engine;
    EXPECT_EQ(mss_quote_name(L"t"), L"[t]");
    EXPECT_EQ(mss_quote_name(L""), L"[]");
    EXPECT_EQ(mss_quote_name(L"t]"), L"[t]]]");
    // A name that arrives in brackets is quoted like any other.
    EXPECT_EQ(mss_quote_name(L"[t]"), L"[[t]]]");
    EXPECT_EQ(mss_quote_name(L"a]; DROP TABLE x; --"), L"[a]]; DROP TABLE x; --]");
    // No line break or control character reaches the script inside a name.
    EXPECT_EQ(mss_quote_name(L"a\r\nGO\r\nDROP TABLE t\x1b[31m\x85\u2028\x7f"), L"[a__GO__DROP TABLE t_[31m___]");

    std::wstring t, o;
    EXPECT_TRUE(mss_split_tab_name(L"[a.b]", t, o));
    EXPECT_EQ(t, L"a.b");
    EXPECT_EQ(o, L"");
    mss_split_tab_name(L"a.b.c", t, o);
    EXPECT_EQ(o, L"a");
    EXPECT_EQ(t, L"b.c");
    mss_split_tab_name(L".x", t, o);
    EXPECT_EQ(o, L"");
    EXPECT_EQ(t, L"x");
    mss_split_tab_name(L"[sales].[orders]", t, o);
    EXPECT_EQ(o, L"sales");
    EXPECT_EQ(t, L"orders");
    mss_split_tab_name(L"[x]]y].[a]].[b]", t, o);
    EXPECT_EQ(o, L"x]y");
    EXPECT_EQ(t, L"a].[b");
    mss_split_tab_name(L"ab", t, o);
    EXPECT_EQ(t, L"ab");

    EXPECT_EQ(mss_simplify_tab_name(L"[dbo].[t]", L"."), L"dbo.t");
    EXPECT_EQ(mss_simplify_tab_name(L"dbo.t", L"."), L"dbo.t");
    EXPECT_EQ(mss_simplify_tab_name(L"t", L"."), L"t");
}

TEST(MssNames, CanonicalTableName)
{
    mss_test_engine engine;
    mss_engine_flags f;
    EXPECT_EQ(mss_get_safe_tname(L"[sales].[orders]", f), L"[sales].[orders]");
    EXPECT_EQ(mss_get_safe_tname(L"sales.orders", f), L"[sales].[orders]");
    EXPECT_EQ(mss_get_safe_tname(L"orders", f), L"[dbo].[orders]");
    EXPECT_EQ(mss_get_safe_tname(L"[a.b]", f), L"[dbo].[a.b]");
    f.user = L"u";
    EXPECT_EQ(mss_get_safe_tname(L"orders", f), L"[u].[orders]");
    f.user = L"SA";
    EXPECT_EQ(mss_get_safe_tname(L"orders", f), L"[dbo].[orders]");
    f.user = L"u";
    f.as_dbo = true;
    EXPECT_EQ(mss_get_safe_tname(L"orders", f), L"[dbo].[orders]");
    f.as_dbo = false;
    f.user = L"we]ird";
    EXPECT_EQ(mss_get_safe_tname(L"or]ders", f), L"[we]]ird].[or]]ders]");
    // Once the server has told the login's default schema, tables go there: dbo for the owner of a
    // database the run has just created (no schema named after the login exists there), the login's
    // own schema where it has one.
    f.user = L"u";
    f.schema = L"dbo";
    EXPECT_EQ(mss_get_safe_tname(L"orders", f), L"[dbo].[orders]");
    f.schema = L"u";
    EXPECT_EQ(mss_get_safe_tname(L"orders", f), L"[u].[orders]");
    f.schema = L"sales";
    EXPECT_EQ(mss_get_safe_tname(L"other.orders", f), L"[other].[orders]");
    f.as_dbo = true;
    EXPECT_EQ(mss_get_safe_tname(L"orders", f), L"[dbo].[orders]");
}

TEST(MssNames, ForeignKeyRules)
{
    EXPECT_TRUE(mss_is_valid_fk_props(L"on update cascade ON DELETE NO ACTION"));
    EXPECT_TRUE(mss_is_valid_fk_props(L"ON DELETE SET NULL ON UPDATE SET DEFAULT"));
    // One rule alone is kept.
    EXPECT_TRUE(mss_is_valid_fk_props(L"ON DELETE CASCADE"));
    EXPECT_TRUE(mss_is_valid_fk_props(L"on update cascade"));
    EXPECT_FALSE(mss_is_valid_fk_props(L""));
    EXPECT_FALSE(mss_is_valid_fk_props(L"ON DELETE CASCADE; DROP TABLE x"));
    EXPECT_FALSE(mss_is_valid_fk_props(L"ON DELETE CASCADE ON DELETE CASCADE"));
}

TEST(MssNames, ViewRewrite)
{
    EXPECT_EQ(mss_refine_view(L"SELECT `a` FROM `t`"), L"SELECT [a] FROM [t]");
    EXPECT_EQ(mss_refine_view(L"SELECT now() FROM t"), L"SELECT getdate() FROM t");
    EXPECT_EQ(mss_refine_view(L"SELECT isnull(a) FROM t"), L"SELECT (a) is null FROM t");
    EXPECT_EQ(mss_refine_view(L"SELECT from_unixtime(x)"), L"SELECT DateAdd(ss,(x),'01-01-1970')");
    EXPECT_EQ(mss_refine_view(L"SELECT curdate()"), L"SELECT cast(getdate() as date)");
    EXPECT_EQ(mss_refine_view(L"SELECT curtime()"), L"SELECT convert(time, getdate())");
    EXPECT_EQ(mss_refine_view(L"SELECT ifnull(a,0) FROM t"), L"SELECT isnull(a,0) FROM t");
    EXPECT_EQ(mss_refine_view(L"SELECT 'now `x`' FROM t"), L"SELECT 'now `x`' FROM t");
    EXPECT_EQ(mss_refine_view(L"SELECT _utf8'x' FROM t"), L"SELECT 'x' FROM t");
    EXPECT_EQ(mss_refine_view(L"now()"), L"now()");
}

TEST(MssNames, SmallHelpers)
{
    const std::wstring a = gen_idx_name2(), b = gen_idx_name2();
    ASSERT_EQ(a.rfind(L"IDX_", 0), 0u);
    EXPECT_EQ(std::stoll(b.substr(4)), std::stoll(a.substr(4)) + 1);
    EXPECT_TRUE(mss_starts_with(L"abc", L"", true));
    EXPECT_FALSE(mss_starts_with(L"ab", L"abc", false));
    EXPECT_TRUE(mss_starts_with(L"SELECT x", L"select", false));
    EXPECT_FALSE(mss_starts_with(L"SELECT x", L"select", true));
    icomparer c(L"now");
    EXPECT_EQ(c.compare(L"x NOW()", 2), 0);
    EXPECT_EQ(c.compare(L"x now", 2), -1); // pattern reaching the end is no match
    EXPECT_NE(c.compare(L"x nox()", 2), 0);
    EXPECT_EQ(mss_comment_safe(L"a*/b/*c\r\nd"), L"a* /b/ *c  d");
    EXPECT_EQ(mss_comment_safe(L"$(x)\f\v\x1b\u2028"), L"$ (x)    ");
}

TEST(MssValidator, AcceptableNames)
{
    mss_tn_validator v({}, {});
    EXPECT_TRUE(v.is_acceptable(L"order_1"));
    EXPECT_TRUE(v.is_acceptable(L"_tmp"));
    EXPECT_TRUE(v.is_acceptable(L"Ärger"));
    EXPECT_FALSE(v.is_acceptable(L"1st_table"));
    EXPECT_TRUE(v.is_acceptable(L"[1st table]"));
    EXPECT_THROW(v.is_acceptable(L""), tk_mail_assertion);
}

TEST(MssValidator, SafeNamesCycle)
{
    mss_tn_validator v({L"orders"}, {});
    EXPECT_EQ(v.get_safe_name(L"orders"), L"_orders");
    const wchar_t* const expected[] = {L"1_orders", L"_1_orders", L"2_1_orders", L"_2_1_orders", L"3_2_1_orders",
                                       L"_3_2_1_orders"};
    v.add_existing_name(L"_orders");
    for (const wchar_t* e : expected) {
        EXPECT_EQ(v.get_safe_name(L"orders"), e);
        v.add_existing_name(e);
    }
    EXPECT_TRUE(v.is_duplicated(L"ORDERS"));
    EXPECT_EQ(v.get_safe_name(L"1st"), L"1st"); // only unacceptable: unchanged
}

TEST(MssValidator, Constructors)
{
    mss_tn_validator tn({L"orders", L"items"}, {L"summary"});
    EXPECT_TRUE(tn.is_duplicated(L"orders"));
    EXPECT_TRUE(tn.is_duplicated(L"items"));
    EXPECT_TRUE(tn.is_duplicated(L"Summary"));
    EXPECT_FALSE(tn.is_duplicated(L"other"));

    udb_schema s(1);
    s.push_back(new t_ftd(4, L"id", VT_I4, 1, 0, ole_variant(), 0, L""));
    s.push_back(new t_ftd(4, L"2nd", VT_I4, 0, 0, ole_variant(), 0, L""));
    mss_fn_validator fn(s);
    EXPECT_TRUE(fn.is_duplicated(L"ID"));
    EXPECT_FALSE(fn.is_duplicated(L"2nd"));
    s.push_back(new t_ftd(4, L"", VT_I4, 0, 0, ole_variant(), 0, L""));
    EXPECT_THROW(mss_fn_validator bad(s), tk_mail_assertion);
    s.reset();
}

TEST(MssEngineFlags, ReadFromTheProcessEngine)
{
    mss_engine engine(1);
    engine.set_as_dbo(true);
    const mss_engine_flags f = mss_get_engine_flags();
    EXPECT_TRUE(f.unicode);
    EXPECT_TRUE(f.as_dbo);
    EXPECT_EQ(f.version, 0u);
    EXPECT_EQ(mss_get_safe_tname(L"t"), L"[dbo].[t]");
    EXPECT_EQ(mss_get_native_type(t_ftd(10, L"c", VT_BSTR, false, false)), L"NVARCHAR(10) ");
}

namespace {

// The value a T-SQL string expression of the script stands for: N'...' and '...' pieces
// (doubled quotes), NCHAR(n) and CHAR(n), joined by +; CAST(N'' AS NVARCHAR(MAX)) adds nothing.
// Empty optional when the text is no such expression.
std::optional<std::wstring> evaluate_text_literal(const std::wstring& expr)
{
    std::wstring out;
    std::size_t i = 0;
    auto skip = [&](const std::wstring& what) {
        if (expr.compare(i, what.size(), what) != 0)
            return false;
        i += what.size();
        return true;
    };
    bool any = false;
    while (i < expr.size()) {
        const wchar_t c = expr[i];
        if (c == L' ' || c == L'\r' || c == L'\n' || c == L'+' || c == L'(' || c == L')') {
            ++i;
        } else if (skip(L"CAST(N'' AS NVARCHAR(MAX))") || skip(L"CAST('' AS VARCHAR(MAX))")) {
            any = true;
        } else if (skip(L"NCHAR(") || skip(L"CHAR(")) {
            const std::size_t end = expr.find(L')', i);
            if (end == std::wstring::npos)
                return std::nullopt;
            out += static_cast<wchar_t>(std::stoi(expr.substr(i, end - i)));
            i = end + 1;
            any = true;
        } else if (c == L'N' || c == L'\'') {
            i += c == L'N' ? 1 : 0;
            if (!skip(L"'"))
                return std::nullopt;
            for (;;) {
                if (i >= expr.size())
                    return std::nullopt;
                if (expr[i] == L'\'') {
                    if (i + 1 < expr.size() && expr[i + 1] == L'\'') {
                        out += L'\'';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                out += expr[i++];
            }
            any = true;
        } else {
            return std::nullopt;
        }
    }
    if (!any)
        return std::nullopt;
    return out;
}

// Would a tool that runs scripts batch by batch take one of the text's lines for a batch end?
bool has_batch_separator_line(const std::wstring& text)
{
    std::wistringstream in(text);
    std::wstring line;
    while (std::getline(in, line)) {
        std::size_t b = line.find_first_not_of(L" \t\r");
        if (b == std::wstring::npos)
            continue;
        std::wstring head = line.substr(b, 2);
        for (auto& ch : head)
            ch = static_cast<wchar_t>(std::towupper(ch));
        const std::wstring rest = line.substr(b + 2, 1);
        if (head == L"GO" && (rest.empty() || rest == L" " || rest == L"\t" || rest == L"\r" || std::iswdigit(rest[0])))
            return true;
    }
    return false;
}

} // namespace

TEST(MssLiteral, AnEmptyTextStaysAnEmptyTextInEveryColumn)
{
    mss_test_engine engine;
    udb_field empty_text(L"c", 10, ole_variant(std::wstring()), 0, 0);
    // Neither NULL in a column that allows it nor the default of a column that has one.
    t_ftd nullable = col(VT_BSTR, 10);
    t_ftd with_default = col(VT_BSTR, 10, 0, false, true, ole_variant(std::wstring(L"dflt")));
    t_ftd nullable_with_default = col(VT_BSTR, 10, 0, false, false, ole_variant(std::wstring(L"dflt")));
    for (const t_ftd* c : {&nullable, &with_default, &nullable_with_default}) {
        const std::wstring literal = mss_get_fld_append_str(&empty_text, c);
        EXPECT_EQ(evaluate_text_literal(literal), std::optional<std::wstring>(L"")) << tk_to_string(literal);
    }
    mss_test_engine ansi(false);
    EXPECT_EQ(evaluate_text_literal(mss_get_fld_append_str(&empty_text, &nullable)), std::optional<std::wstring>(L""));
}

TEST(MssLiteral, ALineThatWouldEndABatchStaysInsideItsValue)
{
    mss_test_engine engine;
    t_ftd text = col(VT_BSTR, 0);
    for (const std::wstring& value : {std::wstring(L"a\nGO 5\nb"), std::wstring(L"a\r\nGO\r\nb"), std::wstring(L"a\ngo\n"),
                                     std::wstring(L"\nGO 5"), std::wstring(L"x\n  GO  \ny"), std::wstring(L"a\n\tgo 12\n")}) {
        udb_field f(L"c", static_cast<unsigned>(value.size()), ole_variant(value), 0, 0);
        const std::wstring literal = mss_get_fld_append_str(&f, &text);
        EXPECT_FALSE(has_batch_separator_line(literal)) << tk_to_string(literal);
        EXPECT_EQ(evaluate_text_literal(literal), std::optional<std::wstring>(value)) << tk_to_string(literal);
    }
}

// Type mapping of provider columns, accessor sizes, version codes and login strings.
#include "MSS/mss_engi.h"
#include "MSS/odb_acc.h"
#include "MSS/odb_rec.h"

#include <gtest/gtest.h>

TEST(OdbRecordTypes, ProviderTypeToVariantType)
{
    struct row { DBTYPE db; VARTYPE vt; std::int32_t reserved; };
    // No engine connected: dates keep their reserved code unless they are timestamps.
    const row rows[] = {
        {DBTYPE_I2, VT_I2, 0},        {DBTYPE_I4, VT_I4, 0},         {DBTYPE_R4, VT_R4, 0},
        {DBTYPE_R8, VT_R8, 0},        {DBTYPE_CY, VT_CY, 0},         {DBTYPE_BOOL, VT_BOOL, 0},
        {DBTYPE_I1, VT_I1, 0},        {DBTYPE_UI1, VT_UI1, 0},       {DBTYPE_I8, VT_I8, 0},
        {DBTYPE_UI8, VT_UI8, 0},      {DBTYPE_DECIMAL, VT_DECIMAL, 0}, {DBTYPE_NUMERIC, VT_DECIMAL, 0},
        {DBTYPE_DATE, VT_DATE, 0},    {DBTYPE_DBDATE, VT_DATE, 0},   {DBTYPE_DBTIME2, VT_DATE, 0},
        {DBTYPE_DBTIMESTAMP, VT_DATE, 1}, {DBTYPE_DBTIMESTAMPOFFSET, VT_DATE, 1}, {212, VT_DATE, 1},
        {DBTYPE_XML, VT_BSTR, 11},    {DBTYPE_GUID, VT_BSTR, 1},     {DBTYPE_STR, VT_BSTR, 0},
        {DBTYPE_WSTR, VT_BSTR, 0},    {DBTYPE_BSTR, VT_BSTR, 0},     {DBTYPE_BYTES, VT_ARRAY | VT_UI1, 0},
        {DBTYPE_VARIANT, VT_ARRAY | VT_UI1, 0},
    };
    for (const auto& r : rows) {
        std::int32_t reserved = 0;
        EXPECT_EQ(odb_record::get_vartype(r.db, 10, 0, &reserved), r.vt) << "DBTYPE " << r.db;
        EXPECT_EQ(reserved, r.reserved) << "DBTYPE " << r.db;
    }
}

TEST(OdbRecordTypes, ColumnDescriptorToProviderType)
{
    auto type_of = [](VARTYPE vt, std::int32_t reserved = 0, std::uint32_t precision = 0, bool auto_num = false,
                      const std::wstring& native = L"") {
        t_ftd f(10, L"c", vt, false, auto_num, ole_variant(), reserved, native);
        f.precision = precision;
        return odb_record::get_oledb_type(f);
    };
    EXPECT_EQ(type_of(VT_I2), DBTYPE_I2);
    EXPECT_EQ(type_of(VT_I1), DBTYPE_I2);
    EXPECT_EQ(type_of(VT_I4), DBTYPE_I4);
    EXPECT_EQ(type_of(VT_UI2), DBTYPE_I4);
    EXPECT_EQ(type_of(VT_CY), DBTYPE_CY);
    EXPECT_EQ(type_of(VT_DATE, 2), DBTYPE_DBTIMESTAMP);   // no 2008-or-later server connected
    EXPECT_EQ(type_of(VT_BSTR, 1), DBTYPE_GUID);
    EXPECT_EQ(type_of(VT_BSTR), DBTYPE_WSTR);
    EXPECT_EQ(type_of(VT_BSTR, 0, 0, false, L"VarChar(20)"), DBTYPE_STR);
    EXPECT_EQ(type_of(VT_BSTR, 0, 0, false, L"text"), DBTYPE_STR);
    EXPECT_EQ(type_of(VT_BSTR, 0, 0, false, L"nvarchar(20)"), DBTYPE_WSTR);
    EXPECT_EQ(type_of(VT_BOOL), DBTYPE_BOOL);
    EXPECT_EQ(type_of(VT_DECIMAL, 0, 18), DBTYPE_NUMERIC);
    EXPECT_EQ(type_of(VT_DECIMAL, 0, 0), DBTYPE_R8);
    EXPECT_EQ(type_of(VT_DECIMAL, 0, 39), DBTYPE_R8);
    EXPECT_EQ(type_of(VT_R4), DBTYPE_R8);
    EXPECT_EQ(type_of(VT_UI1), DBTYPE_UI1);
    EXPECT_EQ(type_of(VT_UI4), DBTYPE_I8);
    EXPECT_EQ(type_of(VT_I8), DBTYPE_I8);
    EXPECT_EQ(type_of(VT_UI8, 0, 0, true), DBTYPE_I8);
    EXPECT_EQ(type_of(VT_UI8), DBTYPE_R8);
    EXPECT_EQ(type_of(VT_ARRAY | VT_UI1), DBTYPE_BYTES);
    EXPECT_EQ(type_of(VT_BLOB), DBTYPE_BYTES);
    EXPECT_EQ(type_of(VT_EMPTY), DBTYPE_WSTR);
}

TEST(OdbAccessorSizes, WideTextSizesAndCaps)
{
    const std::uint64_t w = sizeof(wchar_t);
    // Twenty columns share the row cap; one column alone is held to the column cap.
    EXPECT_EQ(odb_accessor::column_cap(20), 5000000 * w);
    EXPECT_EQ(odb_accessor::column_cap(1), 10000000 * w);
    EXPECT_EQ(odb_accessor::column_cap(0), 10000000 * w);
}

TEST(OdbEngineVersion, VersionTextsGiveCodes)
{
    const std::wstring tail = L" (RTM-CU15) (KB5008996) - 15.0.4198.2 (X64)";
    EXPECT_EQ(mss_engine::parse_version(L"Microsoft SQL Server 2019" + tail), 15u);
    EXPECT_EQ(mss_engine::parse_version(L"Microsoft SQL Server  2000 - 8.00.2039 (Intel X86)"), 3u);
    EXPECT_EQ(mss_engine::parse_version(L"Microsoft SQL Server  7.00 - 7.00.623 (Intel X86)"), 2u);
    EXPECT_EQ(mss_engine::parse_version(L"Microsoft SQL Server 2005 - 9.00.5000.00 (X64)"), 4u);
    EXPECT_EQ(mss_engine::parse_version(L"Microsoft SQL Server 2008 R2 (SP2) - 10.50.4000.0"), 5u);
    EXPECT_EQ(mss_engine::parse_version(L"Microsoft SQL Server 2022 (RTM) - 16.0.1000.6 (X64)"), 18u);
    // Exactly thirty characters: not examined.
    std::wstring thirty = L"Microsoft SQL Server 2019 abcd";
    ASSERT_EQ(thirty.size(), 30u);
    EXPECT_EQ(mss_engine::parse_version(thirty), 1u);
    EXPECT_EQ(mss_engine::parse_version(L"Microsoft SQL Azure (RTM) - 12.0.2000.8"), 100u);
    EXPECT_EQ(mss_engine::parse_version(L"PostgreSQL 15.2 on x86_64"), 1u);
    // Releases after the last known year, or with an unknown name, are the newest.
    EXPECT_EQ(mss_engine::parse_version(L"Microsoft SQL Server 2025 (RTM) - 17.0.1000.7 (X64)"), 18u);
    EXPECT_EQ(mss_engine::parse_version(L"Microsoft SQL Server vNext (CTP2.0) - 17.0.100.1 (X64)"), 18u);
    EXPECT_EQ(mss_engine::parse_version(L"Microsoft SQL Server vNext (CTP2.0) - 14.0.500.272 (X64)"), 13u);
    // Other products speaking T-SQL are read by their build number: 12 is SQL Server 2014, so unique
    // indexes keep their filter on such a server.
    EXPECT_EQ(mss_engine::parse_version(L"Babelfish for PostgreSQL with SQL Server Compatibility - 12.0.2000.8\n"
                                        L"Sep 22 2011 11:57:34\nCopyright (c) Amazon Web Services\n"
                                        L"PostgreSQL 16.3 (Babelfish 4.2.0) on x86_64-pc-linux-gnu"),
              10u);
    EXPECT_GE(mss_engine::parse_version(L"Some Server - 12.0.2000.8"), static_cast<unsigned>(mss_ver_2008));
    EXPECT_EQ(mss_engine::parse_version(L"Some Server - 21.0.100.1"), 18u);
    EXPECT_EQ(mss_engine::parse_version(L"Some Server - 1234.0.1.1"), 1u);
}

TEST(OdbEngineLogin, InitialisationStrings)
{
    EXPECT_EQ(odb_initializer::make_connection_string(L"srv", L"", L"", L""),
              L"Provider=sqloledb;Data Source=srv;Integrated Security=SSPI;");
    EXPECT_EQ(odb_initializer::make_connection_string(L"srv", L"u", L"pw", L"db"),
              L"Provider=sqloledb;Data Source=srv;Initial Catalog=db;User Id=u;Password=pw;");
    // A password or name with separators stays one value.
    EXPECT_EQ(odb_initializer::make_connection_string(L"srv", L"u", L"a;Integrated Security=SSPI", L"d\"b"),
              L"Provider=sqloledb;Data Source=srv;Initial Catalog=\"d\"\"b\";User Id=u;"
              L"Password=\"a;Integrated Security=SSPI\";");
}

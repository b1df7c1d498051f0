// Engine classes and generations, opening errors with their numbers and texts, workgroup files.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "tests/platform/dao/dao_test_util.h"
#include "tests/support/protected.h"

using namespace daotest;

namespace {

HRESULT try_open(DAODBEngine* e, const std::string& path, const std::wstring& connect, ptr<DAODatabase>& db)
{
    bstr name(std::wstring(path.begin(), path.end()));
    var opts(false), ro(true), conn(connect);
    return e->OpenDatabase(name.b, opts.v, ro.v, conn.v, db.out());
}

std::string temp_file(const std::string& name, const std::vector<uint8_t>& bytes)
{
    auto p = std::filesystem::temp_directory_path() / ("dao_test_" + std::to_string(::getpid()) + "_" + name);
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return p.string();
}

TEST(DaoEngine, EachGenerationOpensTheFormatsItKnows)
{
    DRAV_TESTDATA_OR_SKIP(v97, "mdb-reader/data/V1997/test.mdb");
    DRAV_TESTDATA_OR_SKIP(v2003, "mdb-reader/data/V2003/test.mdb");
    DRAV_TESTDATA_OR_SKIP(v2010, "mdb-reader/data/V2010/test.accdb");
    struct { CLSID clsid; bool jet3, jet4, ace; } rows[] = {
        {CLSID_DAODBEngine35, true, false, false},
        {CLSID_DAODBEngine36, true, true, false},
        {CLSID_DAODBEngine120, true, true, true},
    };
    for (const auto& r : rows) {
        auto e = engine(r.clsid);
        ASSERT_TRUE(e);
        ptr<DAODatabase> db;
        EXPECT_EQ(SUCCEEDED(try_open(e.get(), v97, L"", db)), r.jet3);
        EXPECT_EQ(SUCCEEDED(try_open(e.get(), v2003, L"", db)), r.jet4);
        HRESULT hr = try_open(e.get(), v2010, L"", db);
        EXPECT_EQ(SUCCEEDED(hr), r.ace);
        if (!r.ace) {
            EXPECT_EQ(hr, dao_hresult(daoErrUnrecognizedFormat));
            auto err = last_error(e.get());
            EXPECT_EQ(err.first, 3343);
            EXPECT_EQ(err.second, L"Unrecognized database format '" + std::wstring(v2010.begin(), v2010.end()) + L"'.");
        }
    }
}

TEST(DaoEngine, TestHookMakesAGenerationUnavailable)
{
    void* p = nullptr;
    dao_set_engine_available(CLSID_DAODBEngine120, false);
    EXPECT_EQ(CoCreateInstance(CLSID_DAODBEngine120, nullptr, 0x17, IID_DAODBEngine, &p), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(p, nullptr);
    // The others stay.
    auto e36 = engine(CLSID_DAODBEngine36);
    EXPECT_TRUE(e36);
    dao_set_engine_available(CLSID_DAODBEngine120, true);
    auto e = engine(CLSID_DAODBEngine120);
    ASSERT_TRUE(e);
    bstr v;
    e->get_Version(v.out());
    EXPECT_EQ(v.str(), L"12.0");
    // Only the engine interface (and the automation ones) are served by the engine object.
    EXPECT_EQ(e->QueryInterface(IID_DAODatabase, &p), E_NOINTERFACE);
}

TEST(DaoEngine, OpeningErrorsCarryTheEngineNumbersAndTexts)
{
    DRAV_TESTDATA_OR_SKIP(pw, "mdb-reader/password/data/V2003_with-password.mdb");
    auto e = engine();
    ptr<DAODatabase> db;
    // Missing and wrong database passwords.
    for (const wchar_t* c : {L"", L";pwd=wrong", L";PWD=Password"}) {
        EXPECT_EQ(try_open(e.get(), pw, c, db), dao_hresult(daoErrBadPassword)) << narrow(c);
        auto err = last_error(e.get());
        EXPECT_EQ(err.first, 3031);
        EXPECT_EQ(err.second, L"Not a valid password.");
    }
    EXPECT_EQ(try_open(e.get(), pw, L";pwd=password", db), S_OK);
    EXPECT_TRUE(db);

    std::string missing = "/nonexistent/nowhere.mdb";
    EXPECT_EQ(try_open(e.get(), missing, L"", db), dao_hresult(daoErrFileNotFound));
    EXPECT_EQ(last_error(e.get()).second, L"Could not find file '/nonexistent/nowhere.mdb'.");

    std::string junk = temp_file("junk.mdb", std::vector<uint8_t>(4096, 'x'));
    EXPECT_EQ(try_open(e.get(), junk, L"", db), dao_hresult(daoErrUnrecognizedFormat));
    std::string tiny = temp_file("tiny.mdb", std::vector<uint8_t>(20, 0));
    EXPECT_EQ(try_open(e.get(), tiny, L"", db), dao_hresult(daoErrUnrecognizedFormat));
    std::remove(junk.c_str());
    std::remove(tiny.c_str());
}

// A database password may hold anything a connect text uses for its own structure: in braces
// ("}" doubled) it arrives whole; a value without braces still ends at the next ";".
TEST(DaoEngine, APasswordWithSeparatorsAndBracesOpensWhenBraced)
{
    DRAV_TESTDATA_OR_SKIP(plain, "mdb-reader/password/data/V2003_no-password.mdb");
    std::ifstream in(plain, std::ios::binary);
    const std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string locked = temp_file("separators.mdb", drav_test::with_jet4_password(image, u"{p;w=d}; x}"));
    const std::string simple = temp_file("equals.mdb", drav_test::with_jet4_password(image, u"a=b}c"));
    auto e = engine();
    ptr<DAODatabase> db;
    for (const wchar_t* c : {L";pwd={{p;w=d}}; x}}}", L"MS Access;PWD={{p;w=d}}; x}}};other=1"})
        EXPECT_EQ(try_open(e.get(), locked, c, db), S_OK) << narrow(c) << narrow(last_error(e.get()).second);
    for (const wchar_t* c : {L";pwd={p;w=d}; x}", L";pwd={p", L";pwd={{p;w=d}}; x}}}x"}) {
        EXPECT_EQ(try_open(e.get(), locked, c, db), dao_hresult(daoErrBadPassword)) << narrow(c);
        EXPECT_EQ(last_error(e.get()).second, L"Not a valid password.");
    }
    // Without a ";" or a leading "{" nothing changes: "=" and "}" are part of the value.
    EXPECT_EQ(try_open(e.get(), simple, L";pwd=a=b}c", db), S_OK) << narrow(last_error(e.get()).second);
    EXPECT_EQ(try_open(e.get(), simple, L";pwd=a=b}c;x=1", db), S_OK) << narrow(last_error(e.get()).second);
    std::remove(locked.c_str());
    std::remove(simple.c_str());
}

TEST(DaoEngine, CollectionsAndRecordsetsReportDaoErrors)
{
    DRAV_TESTDATA_OR_SKIP(path, "mdb-reader/data/V2003/test.mdb");
    auto e = engine();
    auto db = open(e.get(), path);
    ASSERT_TRUE(db);
    ptr<DAOTableDefs> tdfs;
    ASSERT_EQ(db->get_TableDefs(tdfs.out()), S_OK);
    ptr<_DAOTableDef> tdf;
    var nosuch(std::wstring(L"NoSuchTable"));
    EXPECT_EQ(tdfs->get_Item(nosuch.v, tdf.out()), dao_hresult(daoErrItemNotFound));
    EXPECT_EQ(last_error(e.get()), std::make_pair(3265L, std::wstring(L"Item not found in this collection.")));

    var t1(std::wstring(L"table1"));  // names ignore case
    ASSERT_EQ(tdfs->get_Item(t1.v, tdf.out()), S_OK);
    ptr<DAOFields> flds;
    ASSERT_EQ(tdf->get_Fields(flds.out()), S_OK);
    ptr<_DAOField> f;
    var a(std::wstring(L"A"));
    ASSERT_EQ(flds->get_Item(a.v, f.out()), S_OK);
    ptr<DAOProperties> props;
    ASSERT_EQ(f->get_Properties(props.out()), S_OK);
    ptr<DAOProperty> p;
    var desc(std::wstring(L"NoSuchProperty"));
    EXPECT_EQ(props->get_Item(desc.v, p.out()), dao_hresult(daoErrPropertyNotFound));
    EXPECT_EQ(last_error(e.get()).second, L"Property not found.");
    var name(std::wstring(L"Name"));
    ASSERT_EQ(props->get_Item(name.v, p.out()), S_OK);
    var pv;
    ASSERT_EQ(p->get_Value(&pv.v), S_OK);
    ASSERT_EQ(pv.v.vt, VT_BSTR);
    EXPECT_EQ(std::wstring(pv.v.bstrVal), L"A");

    // Walking past the end: no current record.
    ptr<DAORecordset> rs;
    bstr sql(L"SELECT * FROM [Table1]");
    var type(static_cast<long>(dbOpenDynaset)), opt(static_cast<long>(dbReadOnly)), lock;
    ASSERT_EQ(db->OpenRecordset(sql.b, type.v, opt.v, lock.v, rs.out()), S_OK);
    VARIANT_BOOL eof = 0, bof = 0;
    long n = 0;
    ASSERT_EQ(rs->get_RecordCount(&n), S_OK);
    EXPECT_EQ(n, 2);
    ASSERT_EQ(rs->MoveNext(), S_OK);
    ASSERT_EQ(rs->MoveNext(), S_OK);
    rs->get_EOF(&eof);
    EXPECT_TRUE(eof);
    EXPECT_EQ(rs->MoveNext(), dao_hresult(daoErrNoCurrentRecord));
    EXPECT_EQ(last_error(e.get()).second, L"No current record.");
    ptr<DAOFields> rflds;
    ASSERT_EQ(rs->get_Fields(rflds.out()), S_OK);
    ptr<_DAOField> rf;
    ASSERT_EQ(rflds->get_Item(a.v, rf.out()), S_OK);
    var v;
    EXPECT_EQ(rf->get_Value(&v.v), dao_hresult(daoErrNoCurrentRecord));
    // Back to the start: the first row again, then before it.
    ASSERT_EQ(rs->MoveFirst(), S_OK);
    ASSERT_EQ(rf->get_Value(&v.v), S_OK);
    EXPECT_EQ(std::wstring(v.v.bstrVal), L"abcdefg");
    ASSERT_EQ(rs->MovePrevious(), S_OK);
    rs->get_BOF(&bof);
    EXPECT_TRUE(bof);
    VariantClear(&v.v);
    EXPECT_EQ(rf->get_Value(&v.v), dao_hresult(daoErrNoCurrentRecord));
    EXPECT_EQ(rs->MovePrevious(), dao_hresult(daoErrNoCurrentRecord));
    ASSERT_EQ(rs->MoveNext(), S_OK);
    ASSERT_EQ(rf->get_Value(&v.v), S_OK);
    EXPECT_EQ(std::wstring(v.v.bstrVal), L"abcdefg");
    ASSERT_EQ(rs->MoveLast(0), S_OK);
    VariantClear(&v.v);
    ASSERT_EQ(rf->get_Value(&v.v), S_OK);
    EXPECT_EQ(std::wstring(v.v.bstrVal), L"a");
    rs->Close();
    EXPECT_EQ(rs->MoveFirst(), dao_hresult(daoErrInvalidOperation));
}

// A VARIANT kept from row to row gets the very values a fresh read gives, whatever the types
// before (a text after a text reuses its storage, a text after NULL, a number after a text...).
TEST(DaoEngine, ValuesReadIntoAKeptVariantEqualFreshReads)
{
    for (const char* file : {"mdb-reader/data/V2003/test.mdb", "mdb-reader/data/V2010/test.accdb"}) {
        DRAV_TESTDATA_OR_SKIP(path, file);
        auto e = engine();
        auto db = open(e.get(), path);
        ASSERT_TRUE(db);
        ptr<DAORecordset> rs;
        bstr sql(L"SELECT * FROM [Table1]");
        var type(static_cast<long>(dbOpenDynaset)), opt(static_cast<long>(dbReadOnly)), lock;
        ASSERT_EQ(db->OpenRecordset(sql.b, type.v, opt.v, lock.v, rs.out()), S_OK);
        ptr<DAOFields> flds;
        ASSERT_EQ(rs->get_Fields(flds.out()), S_OK);
        short count = 0;
        ASSERT_EQ(flds->get_Count(&count), S_OK);
        std::vector<ptr<_DAOField>> fields(static_cast<std::size_t>(count));
        std::vector<VARIANT> kept(fields.size());
        for (short i = 0; i < count; ++i) {
            var at(static_cast<long>(i));
            ASSERT_EQ(flds->get_Item(at.v, fields[i].out()), S_OK);
            VariantInit(&kept[i]);
        }
        int rows = 0;
        for (VARIANT_BOOL eof = 0; rs->get_EOF(&eof), !eof; rs->MoveNext(), ++rows) {
            // Each row twice: into the earlier row's values, then into the same ones again.
            for (int pass = 0; pass < 2; ++pass)
                for (std::size_t i = 0; i < fields.size(); ++i) {
                    var fresh;
                    ASSERT_EQ(fields[i]->get_Value(&fresh.v), S_OK);
                    ASSERT_EQ(fields[i]->ReadValue(&kept[i]), S_OK);
                    EXPECT_EQ(kept[i].vt, fresh.v.vt) << file << " column " << i;
                    EXPECT_TRUE(to_value(kept[i]) == to_value(fresh.v)) << file << " column " << i;
                }
        }
        EXPECT_GT(rows, 1);
        // Past the end: an error, and nothing left in the VARIANT.
        EXPECT_EQ(fields[0]->ReadValue(&kept[0]), dao_hresult(daoErrNoCurrentRecord));
        EXPECT_EQ(kept[0].vt, VT_EMPTY);
        for (VARIANT& v : kept)
            VariantClear(&v);
    }
}

TEST(DaoWorkgroup, BlankImagesAreWorkgroupFilesWithTheAdminAccount)
{
    auto old = dao_blank_workgroup_image(true);
    auto later = dao_blank_workgroup_image(false);
    EXPECT_EQ(old.size(), 131072u);
    EXPECT_EQ(later.size(), 143360u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(later.data()) + 4, 16), std::string("Jet System DB  \0", 16));
    EXPECT_EQ(old[20], 0);
    EXPECT_EQ(later[20], 1);

    std::string w = temp_file("blank.mdw", later);
    auto e = engine();
    bstr sysdb(std::wstring(w.begin(), w.end()));
    ASSERT_EQ(e->put_SystemDB(sysdb.b), S_OK);
    bstr wsname(L"New Workspace"), admin(L"Admin"), empty(L""), bob(L"bob"), secret(L"secret");
    ptr<DAOWorkspace> ws;
    EXPECT_EQ(e->_30_CreateWorkspace(wsname.b, admin.b, empty.b, ws.out()), S_OK);
    EXPECT_TRUE(ws);
    EXPECT_EQ(e->_30_CreateWorkspace(wsname.b, bob.b, empty.b, ws.out()), dao_hresult(daoErrBadAccount));
    EXPECT_EQ(last_error(e.get()).second, L"Not a valid account name or password.");
    EXPECT_EQ(e->_30_CreateWorkspace(wsname.b, admin.b, secret.b, ws.out()), dao_hresult(daoErrBadAccount));

    // A file that is not a workgroup file.
    std::string junk = temp_file("junk.mdw", std::vector<uint8_t>(8192, 1));
    bstr j(std::wstring(junk.begin(), junk.end()));
    e->put_SystemDB(j.b);
    EXPECT_EQ(e->_30_CreateWorkspace(wsname.b, admin.b, empty.b, ws.out()), dao_hresult(daoErrBadWorkgroup));
    EXPECT_EQ(last_error(e.get()).first, 3173);
    std::remove(w.c_str());
    std::remove(junk.c_str());
}

TEST(DaoWorkgroup, WorkspaceOpensDatabasesWithThePassword)
{
    DRAV_TESTDATA_OR_SKIP(pw, "mdb-reader/password/data/V2000_with-password.mdb");
    std::string w = temp_file("blank97.mdw", dao_blank_workgroup_image(true));
    auto e = engine(CLSID_DAODBEngine36);
    bstr sysdb(std::wstring(w.begin(), w.end()));
    e->put_SystemDB(sysdb.b);
    bstr wsname(L"New Workspace"), admin(L"admin"), empty(L"");
    ptr<DAOWorkspace> ws;
    ASSERT_EQ(e->_30_CreateWorkspace(wsname.b, admin.b, empty.b, ws.out()), S_OK);
    bstr name(std::wstring(pw.begin(), pw.end()));
    var opts(false), ro(true), good(std::wstring(L";pwd=password")), bad(std::wstring(L";pwd=x"));
    ptr<DAODatabase> db;
    EXPECT_EQ(ws->OpenDatabase(name.b, opts.v, ro.v, bad.v, db.out()), dao_hresult(daoErrBadPassword));
    EXPECT_EQ(ws->OpenDatabase(name.b, opts.v, ro.v, good.v, db.out()), S_OK);
    std::remove(w.c_str());
}

} // namespace

namespace {

// Whole-file encrypted databases open with the database password given in Connect.
TEST(DaoEngine, EncryptedDatabasesOpenWithTheirPassword)
{
    DRAV_TESTDATA_OR_SKIP(agile, "mdb-reader/encryption/data/office-agile-4.4.accdb");
    DRAV_TESTDATA_OR_SKIP(rc4, "mdb-reader/encryption/data/office-agile-4.2.accdb");
    auto e = engine();
    for (const auto& f : {agile, rc4}) {
        ptr<DAODatabase> db;
        EXPECT_EQ(try_open(e.get(), f, L";pwd=nope", db), dao_hresult(daoErrBadPassword)) << f;
        ASSERT_EQ(try_open(e.get(), f, L";PWD=password", db), S_OK) << f << narrow(last_error(e.get()).second);
        ptr<DAOTableDefs> tdfs;
        ASSERT_EQ(db->get_TableDefs(tdfs.out()), S_OK);
        short n = 0;
        tdfs->get_Count(&n);
        int read = 0;
        for (short i = 0; i < n; ++i) {
            ptr<_DAOTableDef> t;
            var k(static_cast<long>(i));
            ASSERT_EQ(tdfs->get_Item(k.v, t.out()), S_OK);
            long a = 0;
            t->get_Attributes(&a);
            if (a & dbSystemObject) continue;
            long count = -1;
            EXPECT_EQ(t->get_RecordCount(&count), S_OK);
            ptr<DAORecordset> rs;
            var type(static_cast<long>(dbOpenDynaset)), opt(static_cast<long>(dbReadOnly));
            ASSERT_EQ(t->OpenRecordset(type.v, opt.v, rs.out()), S_OK);
            long rows = 0;
            VARIANT_BOOL eof = 0;
            for (rs->get_EOF(&eof); !eof; rs->MoveNext(), rs->get_EOF(&eof)) ++rows;
            EXPECT_EQ(rows, count);
            ++read;
        }
        EXPECT_GT(read, 0);
    }
}

} // namespace

namespace {

// A linked table is read from the file it lives in; when that file is not there, opening it says so.
TEST(DaoEngine, LinkedTablesReadFromTheirFile)
{
    DRAV_TESTDATA_OR_SKIP(linker, "jackcess/V2007/linkerTestV2007.accdb");
    auto e = engine();
    auto db = open(e.get(), linker);
    ASSERT_TRUE(db);
    ptr<DAOTableDefs> tdfs;
    ASSERT_EQ(db->get_TableDefs(tdfs.out()), S_OK);
    ptr<_DAOTableDef> t;
    var name(std::wstring(L"Table2"));
    ASSERT_EQ(tdfs->get_Item(name.v, t.out()), S_OK);
    long a = 0;
    t->get_Attributes(&a);
    EXPECT_TRUE(a & dbAttachedTable);
    bstr connect, source;
    t->get_Connect(connect.out());
    t->get_SourceTableName(source.out());
    EXPECT_EQ(connect.str(), L";DATABASE=Z:\\jackcess_test\\linkeeTest.accdb");
    EXPECT_EQ(source.str(), L"Table1");
    long n = 0;
    t->get_RecordCount(&n);
    EXPECT_EQ(n, -1);
    ptr<DAORecordset> rs;
    var type(static_cast<long>(dbOpenDynaset)), opt(static_cast<long>(dbReadOnly));
    EXPECT_EQ(t->OpenRecordset(type.v, opt.v, rs.out()), dao_hresult(daoErrFileNotFound));
    EXPECT_EQ(last_error(e.get()).second, L"Could not find file 'Z:\\jackcess_test\\linkeeTest.accdb'.");
    ptr<DAOFields> f;
    EXPECT_EQ(t->get_Fields(f.out()), dao_hresult(daoErrFileNotFound));
    bstr byname(L"Table2");
    var lock;
    EXPECT_EQ(db->OpenRecordset(byname.b, type.v, opt.v, lock.v, rs.out()), dao_hresult(daoErrFileNotFound));
}

} // namespace

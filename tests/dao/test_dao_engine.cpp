// The Access engine: format probe, generations and fallbacks, workgroup files, passwords.
#include <fstream>
#include <sys/stat.h>

#include "TK/tk_log.h"
#include "tests/dao/dao_test_env.h"

using drav_test::scratch_dir;
using daotests::wide;

namespace {

void write_file(const std::string& name, const std::string& bytes)
{
    std::ofstream out(name, std::ios::binary);
    out << bytes;
}

std::string read_file(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The scratch folder is the folder for temporary files while this lives.
class temp_folder_in {
public:
    explicit temp_folder_in(const scratch_dir& dir)
    {
        if (const char* old = std::getenv("TMPDIR"))
            old_ = old;
        ::setenv("TMPDIR", dir.str().c_str(), 1);
    }
    ~temp_folder_in()
    {
        if (old_.empty())
            ::unsetenv("TMPDIR");
        else
            ::setenv("TMPDIR", old_.c_str(), 1);
    }

private:
    std::string old_;
};

// A file of size bytes with the format byte at offset 20.
void write_format_file(const std::string& name, int format_byte, std::size_t size = 4096)
{
    std::string bytes(size, '\0');
    if (size > 20)
        bytes[20] = static_cast<char>(format_byte);
    write_file(name, bytes);
}

std::string message_of(const std::function<void()>& f)
{
    try {
        f();
    } catch (const tk_exception& e) {
        return e.what();
    }
    return "<no exception>";
}

// Makes engine generations unavailable for one test and brings them back afterwards.
class unavailable {
public:
    explicit unavailable(std::initializer_list<CLSID> classes) : m_classes(classes)
    {
        for (const CLSID& c : m_classes)
            dao_set_engine_available(c, false);
    }
    ~unavailable()
    {
        for (const CLSID& c : m_classes)
            dao_set_engine_available(c, true);
    }

private:
    std::vector<CLSID> m_classes;
};

} // namespace

TEST(AccDaoVersion, FormatByteChoosesTheGeneration)
{
    scratch_dir dir("dao-engine");
    const std::pair<int, int> cases[] = {{0, 1}, {1, 0}, {2, 3}, {3, 3}, {4, 3}, {5, 3}, {6, 3}};
    for (auto [byte, version] : cases) {
        write_format_file("f.mdb", byte);
        EXPECT_EQ(acc_dao_version(L"f.mdb").get_version(), version) << "byte " << byte;
    }
}

TEST(AccDaoVersion, ShortFilesAreNotAccessFilesAndMissingOnesAreSaidToBeMissing)
{
    scratch_dir dir("dao-engine");
    write_format_file("short.mdb", 0, 20);
    EXPECT_EQ(message_of([] { acc_dao_version(L"short.mdb").get_version(); }),
              "File 'short.mdb' does not comply with MS Access format.");
    EXPECT_EQ(message_of([] { acc_dao_version(L"missing.mdb").get_version(); }),
              "File 'missing.mdb' does not exist.");
    EXPECT_EQ(message_of([] { acc_dao_version(L"short.mdb/inner.mdb").get_version(); }),
              "File 'short.mdb/inner.mdb' does not exist.");
    write_format_file("exact.mdb", 0, 21);
    EXPECT_EQ(acc_dao_version(L"exact.mdb").get_version(), 1);
}

TEST(AccDaoVersion, CorpusFilesByFormat)
{
    DRAV_TESTDATA_OR_SKIP(v97, "jackcess/V1997/testV1997.mdb");
    DRAV_TESTDATA_OR_SKIP(v2003, "jackcess/V2003/testV2003.mdb");
    DRAV_TESTDATA_OR_SKIP(v2010, "jackcess/V2010/testEmoticonsV2010.accdb");
    DRAV_TESTDATA_OR_SKIP(v2019, "jackcess/V2019/extDateTestV2019.accdb");
    EXPECT_EQ(acc_dao_version(wide(v97)).get_version(), 1);
    EXPECT_EQ(acc_dao_version(wide(v2003)).get_version(), 0);
    EXPECT_EQ(acc_dao_version(wide(v2010)).get_version(), 3);
    EXPECT_EQ(acc_dao_version(wide(v2019)).get_version(), 3);
}

TEST(DaoEngine, SingletonAndVersionLoading)
{
    scratch_dir dir("dao-engine");
    dao_engine engine(1, 0);
    EXPECT_EQ(tk_singleton<dao_engine>::get(), &engine);
    EXPECT_EQ(engine.get_version(), 4);
    {
        // A second engine while the first lives stays unregistered.
        dao_engine second(1, 0);
        EXPECT_EQ(tk_singleton<dao_engine>::get(), &engine);
    }
    EXPECT_EQ(tk_singleton<dao_engine>::get(), &engine);
    for (int v : {3, 0, 1, 2}) {
        EXPECT_TRUE(engine.set_version_if(v));
        EXPECT_EQ(engine.get_version(), v);
        EXPECT_NE(engine.get_engine(), nullptr);
    }
    EXPECT_THROW(engine.set_version_if(7), tk_mail_assertion);
}

TEST(DaoEngine, UnavailableGenerationsAndFallbacks)
{
    scratch_dir dir("dao-engine");
    write_format_file("jet3.mdb", 0);
    write_format_file("jet4.mdb", 1);
    write_format_file("ace.accdb", 2);
    dao_engine engine(1, 0);
    {
        unavailable gone({CLSID_DAODBEngine120});
        EXPECT_FALSE(engine.set_version_if(3));
        EXPECT_EQ(engine.get_version(), 4);
        EXPECT_THROW(engine.set_version_smart(L"ace.accdb"), dao_required_exception);
        engine.set_version_smart(L"jet4.mdb");
        EXPECT_EQ(engine.get_version(), 0);
    }
    {
        unavailable gone({CLSID_DAODBEngine35, CLSID_DAODBEngine36});
        engine.set_version_smart(L"jet3.mdb");
        EXPECT_EQ(engine.get_version(), 3);
        engine.set_version_smart(L"jet4.mdb");
        EXPECT_EQ(engine.get_version(), 3);
    }
    {
        unavailable gone({CLSID_DAODBEngine35});
        engine.set_version_smart(L"jet3.mdb");
        EXPECT_EQ(engine.get_version(), 0);
    }
    {
        unavailable gone({CLSID_DAODBEngine35, CLSID_DAODBEngine36, CLSID_DAODBEngine120});
        EXPECT_EQ(message_of([&] { engine.set_version_smart(L"jet3.mdb"); }),
                  "Failed to load Data Access Objects (DAO) support library.\n"
                  "Microsoft Access installation is required to proceed with\n"
                  "the application.\n");
        EXPECT_EQ(engine.get_version(), 4);
    }
    engine.set_version_smart(L"ace.accdb");
    EXPECT_EQ(engine.get_version(), 3);
}

TEST(DaoCheckSysdb, HeaderRules)
{
    scratch_dir dir("dao-engine");
    std::string bytes(1040, '\0');
    bytes[0] = 0x77, bytes[1] = 0x2C, bytes[2] = 0x53, bytes[3] = 0x20;
    write_file("a2.mdw", bytes);
    EXPECT_TRUE(dao_check_sysdb(L"a2.mdw"));

    std::string rich(1040, '\0');
    rich[0] = 1;
    rich.replace(1030, 4, "Rich");
    write_file("rich.mdw", rich);
    EXPECT_TRUE(dao_check_sysdb(L"rich.mdw"));
    rich[1038] = 1;  // the word at 1038 must be 0
    write_file("rich2.mdw", rich);
    EXPECT_FALSE(dao_check_sysdb(L"rich2.mdw"));

    write_file("tiny.mdw", std::string(20, 'x'));
    EXPECT_FALSE(dao_check_sysdb(L"tiny.mdw"));

    std::string jet(64, '\0');
    jet.replace(4, 15, "Jet System DB  ");
    write_file("jet.mdw", jet);
    EXPECT_TRUE(dao_check_sysdb(L"jet.mdw"));
    jet[19] = 'x';  // no terminating zero
    write_file("jet2.mdw", jet);
    EXPECT_FALSE(dao_check_sysdb(L"jet2.mdw"));

    EXPECT_THROW(dao_check_sysdb(L"missing.mdw"), tk_exception);
}

TEST(DaoCheckSysdb, BlankImagesAreWorkgroupsAndDatabasesAreNot)
{
    scratch_dir dir("dao-engine");
    EXPECT_EQ(blank_system_db::jet3().size(), 131072u);
    EXPECT_EQ(blank_system_db::jet4().size(), 143360u);
    write_file("b3.mdw", std::string(blank_system_db::jet3().begin(), blank_system_db::jet3().end()));
    write_file("b4.mdw", std::string(blank_system_db::jet4().begin(), blank_system_db::jet4().end()));
    EXPECT_TRUE(dao_check_sysdb(L"b3.mdw"));
    EXPECT_TRUE(dao_check_sysdb(L"b4.mdw"));
    const std::string db = drav_test::testdata("jackcess/V2003/testV2003.mdb");
    if (!db.empty()) {
        EXPECT_FALSE(dao_check_sysdb(wide(db)));
    }
}

TEST(DaoGenerator, TakesTheFirstFreeNameAndCleansUp)
{
    scratch_dir dir("dao-engine");
    temp_folder_in temp(dir);
    write_file("~tmp0000", "x");
    write_file("~tmp0001", "x");
    {
        dao_generator gen;
        EXPECT_EQ(gen.gen_name(), dir.str("~tmp0002"));
        const unsigned char data[] = {1, 2, 3, 4, 5};
        gen.do_generate(sizeof data, data);
        EXPECT_EQ(gen.get_name(), dir.str("~tmp0002"));
        EXPECT_TRUE(gen.is_generated());
        EXPECT_EQ(read_file("~tmp0002"), std::string("\1\2\3\4\5"));
        write_file("~tmp0002.ldb", "lock");
        // The next free name is now the one after it.
        EXPECT_EQ(gen.gen_name(), dir.str("~tmp0003"));
    }
    EXPECT_FALSE(std::filesystem::exists("~tmp0002"));
    EXPECT_FALSE(std::filesystem::exists("~tmp0002.ldb"));
    EXPECT_TRUE(std::filesystem::exists("~tmp0000"));
    EXPECT_TRUE(std::filesystem::exists("~tmp0001"));
}

TEST(DaoGenerator, DirectoriesAndLinksTakeNamesToo)
{
    scratch_dir dir("dao-engine");
    temp_folder_in temp(dir);
    std::filesystem::create_directory("~tmp0000");
    std::filesystem::create_symlink("elsewhere/target", "~tmp0001");  // dangling
    write_file("victim", "keep me");
    std::filesystem::create_symlink("victim", "~tmp0002");
    dao_generator gen;
    EXPECT_EQ(gen.gen_name(), dir.str("~tmp0003"));
    const unsigned char data[] = {9};
    gen.do_generate(1, data);
    EXPECT_EQ(gen.get_name(), dir.str("~tmp0003"));
    EXPECT_EQ(read_file("victim"), "keep me");
    EXPECT_FALSE(std::filesystem::exists("elsewhere/target"));
    EXPECT_THROW(gen.do_generate(1, nullptr), tk_mail_assertion);
}

TEST(DaoEngine, AnonymousWorkgroupLivesWithTheEngine)
{
    DRAV_TESTDATA_OR_SKIP(path, "jackcess/V1997/testV1997.mdb");
    scratch_dir dir("dao-engine");
    temp_folder_in temp(dir);
    {
        dao_engine engine(1, 0);
        auto db = daotests::open_corpus(engine, path);
        EXPECT_EQ(engine.get_version(), 1);
        EXPECT_EQ(engine.get_generator().get_name(), dir.str("~tmp0000"));
        EXPECT_EQ(std::filesystem::file_size("~tmp0000"), 131072u);
        EXPECT_TRUE(dao_check_sysdb(L"~tmp0000"));
        EXPECT_FALSE(db->get_tables().empty());
    }
    EXPECT_TRUE(dir.entries().empty());
    {
        dao_engine engine(1, 0);
        ASSERT_TRUE(engine.set_version_if(3));
        engine.set_anonymous_sys_db();
        EXPECT_EQ(std::filesystem::file_size("~tmp0000"), 143360u);
    }
    EXPECT_TRUE(dir.entries().empty());
}

TEST(DaoEngine, PreconditionsAreInternalErrors)
{
    scratch_dir dir("dao-engine");
    dao_engine engine(1, 0);
    EXPECT_THROW(engine.set_anonymous_sys_db(), tk_mail_assertion);
    EXPECT_THROW(engine.open_db(L"x.mdb", 1, L""), tk_mail_assertion);
    // Without a path or a user nothing is applied, not even on an engine-less object.
    engine.set_ugl_info(L"", L"user", L"pw");
    engine.set_ugl_info(L"file.mdw", L"", L"pw");
}

TEST(DaoEngine, DatabasePasswords)
{
    DRAV_TESTDATA_OR_SKIP(path, "mdb-reader/password/data/V2000_with-password.mdb");
    scratch_dir dir("dao-engine");
    dao_engine engine(1, 0);
    engine.set_version_smart(wide(path));
    engine.set_anonymous_sys_db();
    auto db = engine.open_db(wide(path), 0x81, L"password");
    ASSERT_NE(db, nullptr);
    EXPECT_FALSE(db->get_tables().empty());
    db.reset();

    try {
        engine.open_db(wide(path), 0x81, L"wrong");
        ADD_FAILURE() << "a wrong password opened the database";
    } catch (const dao_exception& e) {
        EXPECT_EQ(e.code(), 0x10000 + 3031);
        EXPECT_EQ(e.level(), 0);
        EXPECT_STRNE(e.what(), "");
    }
    EXPECT_THROW(engine.open_db(wide(path), 0x81, L""), dao_exception);
    try {
        engine.open_db(L"no-such-file.mdb", 0x81, L"");
        ADD_FAILURE() << "a missing file opened";
    } catch (const dao_exception& e) {
        EXPECT_EQ(e.code(), 0x10000 + 3024);
    }
}

TEST(DaoEngine, PasswordsNeverReachTheLog)
{
    DRAV_TESTDATA_OR_SKIP(path, "mdb-reader/password/data/V2003_with-password.mdb");
    scratch_dir dir("dao-engine");
    temp_folder_in temp(dir);
    const std::string log_name = dir.str("trace.log");
    {
        tk_logger logger(log_name.c_str(), true, 1, false);
        dao_engine engine(1, 0);
        engine.set_version_smart(wide(path));
        engine.set_anonymous_sys_db();
        auto db = engine.open_db(wide(path), 0x81, L"password");
        EXPECT_NE(db, nullptr);
        EXPECT_THROW(engine.set_ugl_info(L"~tmp0000", L"admin", L"Sesame42"), dao_exception);
    }
    const std::string log = read_file(log_name);
    EXPECT_NE(log.find("dao_engine::set_ugl_info(~tmp0000,admin,"), std::string::npos);
    EXPECT_EQ(log.find("Sesame42"), std::string::npos);
    EXPECT_EQ(log.find(";pwd=password"), std::string::npos);
}

TEST(DaoEngine, WorkgroupUserOpensTheDatabase)
{
    DRAV_TESTDATA_OR_SKIP(path, "jackcess/V2003/testV2003.mdb");
    scratch_dir dir("dao-engine");
    const auto& image = blank_system_db::jet4();
    write_file("group.mdw", std::string(image.begin(), image.end()));
    dao_engine engine(1, 0);
    engine.set_version_smart(wide(path));
    engine.set_ugl_info(L"group.mdw", L"admin", L"");
    // Security is applied once.
    EXPECT_THROW(engine.set_ugl_info(L"group.mdw", L"admin", L""), tk_mail_assertion);
    auto db = engine.open_db(wide(path), 0x81, L"");
    EXPECT_FALSE(db->get_tables().empty());
}

TEST(DaoEngine, WorkgroupRefusesAnUnknownUser)
{
    scratch_dir dir("dao-engine");
    const auto& image = blank_system_db::jet4();
    write_file("group.mdw", std::string(image.begin(), image.end()));
    dao_engine engine(1, 0);
    ASSERT_TRUE(engine.set_version_if(0));
    EXPECT_THROW(engine.set_ugl_info(L"group.mdw", L"nobody", L""), dao_exception);
}

// The unixODBC layer against Debian's SQLite ODBC driver and FreeTDS.
#include "platform/oledb/odbc_core.h"
#include "platform/oledb/odbc_dsn.h"

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/scratch.h"

using namespace odbc;

namespace {

bool has_driver(const wchar_t* name) { return driver_installed(name); }

// A fresh SQLite database file under the build tree.
std::string temp_db(const std::string& name)
{
    auto dir = std::filesystem::path(DRAV_BINARY_DIR) / "odbc_tmp";
    std::filesystem::create_directories(dir);
    auto p = dir / (name + "_" + std::to_string(::getpid()) + ".db");
    std::filesystem::remove(p);
    return p.string();
}

std::wstring sqlite_cs(const std::string& path)
{
    // The SQLite driver takes its own attributes unquoted; the driver name is
    // quoted and resolved by the driver manager.
    std::wstring cs;
    append_attr(cs, L"DRIVER", L"SQLite3");
    return cs + L"Database=" + from_utf8(path) + L";";
}

#define NEED_SQLITE()                                                          \
    if (!has_driver(L"SQLite3")) GTEST_SKIP() << "SQLite3 ODBC driver not installed"

} // namespace

TEST(OdbcText, Utf16RoundTripKeepsEveryPlane)
{
    std::wstring s = L"A\u00e9\u4e2d";
    s.push_back(static_cast<wchar_t>(0x1F600));
    std::u16string u = to_utf16(s);
    ASSERT_EQ(u.size(), 5u);
    EXPECT_EQ(u[3], 0xD83D);
    EXPECT_EQ(u[4], 0xDE00);
    EXPECT_EQ(from_utf16(u), s);
    // A lone surrogate does not pass through as garbage.
    std::u16string bad = u"x";
    bad.push_back(static_cast<char16_t>(0xD800));
    EXPECT_EQ(from_utf16(bad), std::wstring(L"x\uFFFD"));
    EXPECT_EQ(from_utf8(to_utf8(s)), s);
}

TEST(OdbcConnectionString, ValuesAreBraceQuoted)
{
    EXPECT_EQ(quote_value(L"plain"), L"{plain}");
    EXPECT_EQ(quote_value(L"a}b;c=d{e"), L"{a}}b;c=d{e}");
    EXPECT_EQ(quote_value(L""), L"{}");

    login l;
    l.server = L"db.example,1433";
    l.user = L"sa";
    l.password = L"x};UID=evil;PWD={";
    l.database = L"Sales;Trusted_Connection=yes";
    std::wstring cs = build_connection_string(L"FreeTDS", l);
    EXPECT_EQ(cs, L"DRIVER={FreeTDS};SERVER={db.example};PORT={1433};TDS_Version=7.4;ClientCharset=UTF-8;"
                  L"DATABASE={Sales;Trusted_Connection=yes};UID={sa};PWD={x}};UID=evil;PWD={};");
    // The password never shows in the masked form.
    std::wstring masked = masked_connection_string(cs);
    EXPECT_EQ(masked.find(L"evil"), std::wstring::npos);
    EXPECT_NE(masked.find(L"PWD=***"), std::wstring::npos);
    EXPECT_NE(masked.find(L"UID={sa}"), std::wstring::npos);
}

TEST(OdbcConnectionString, WindowsLoginAndOwnDataSource)
{
    login l;
    l.server = L"srv\\INST";
    std::wstring ms = build_connection_string(L"ODBC Driver 18 for SQL Server", l);
    EXPECT_EQ(ms, L"DRIVER={ODBC Driver 18 for SQL Server};SERVER={srv\\INST};TrustServerCertificate=yes;"
                  L"Trusted_Connection=yes;");
    l.server = L"DSN=live";
    l.user = L"u";
    l.password = L"p";
    EXPECT_EQ(build_connection_string(L"FreeTDS", l), L"DSN=live;UID={u};PWD={p};");

    // No server name: the local server, never an empty SERVER= (which drivers refuse).
    for (const wchar_t* server : {L"", L",14330"}) {
        l.server = server;
        const std::wstring tds = build_connection_string(L"FreeTDS", l);
        EXPECT_EQ(tds.rfind(L"DRIVER={FreeTDS};SERVER={localhost};", 0), 0u);
    }
    l.server.clear();
    const std::wstring local = build_connection_string(L"ODBC Driver 18 for SQL Server", l);
    EXPECT_EQ(local.rfind(L"DRIVER={ODBC Driver 18 for SQL Server};SERVER={localhost};", 0), 0u);
}

TEST(OdbcConnectionString, AHostWithoutPortIsTheUsualPort)
{
    // FreeTDS refuses a server without a port ("invalid port number"); Microsoft's drivers take 1433.
    login l;
    l.server = L"127.0.0.1";
    l.user = L"u";
    l.password = L"p";
    EXPECT_EQ(build_connection_string(L"FreeTDS", l),
              L"DRIVER={FreeTDS};SERVER={127.0.0.1};PORT={1433};TDS_Version=7.4;ClientCharset=UTF-8;UID={u};PWD={p};");
    EXPECT_EQ(build_connection_string(L"ODBC Driver 17 for SQL Server", l),
              L"DRIVER={ODBC Driver 17 for SQL Server};SERVER={127.0.0.1};UID={u};PWD={p};");
    // A named instance's port is the server's to tell.
    l.server = L"host\\SQLEXPRESS";
    EXPECT_EQ(build_connection_string(L"FreeTDS", l).find(L"PORT="), std::wstring::npos);
    l.server = L"host,14331";
    EXPECT_NE(build_connection_string(L"FreeTDS", l).find(L"SERVER={host};PORT={14331};"), std::wstring::npos);
}

TEST(OdbcConnectionString, ABraceInAFreeTdsLoginTravelsApartFromTheString)
{
    // FreeTDS 1.3 ends a braced value at the first "};" and knows no "}}" escape.
    login l;
    l.server = L"host,1433";
    l.user = L"sa";
    l.password = L"a;b={c d";
    EXPECT_FALSE(login_needs_data_source(L"FreeTDS", l));   // the braced value holds it
    l.password = L"{a}; b";
    EXPECT_TRUE(login_needs_data_source(L"FreeTDS", l));
    EXPECT_FALSE(login_needs_data_source(L"ODBC Driver 18 for SQL Server", l));   // knows "}}"
    l.password = L"p";
    l.user = L"u}";
    EXPECT_TRUE(login_needs_data_source(L"FreeTDS", l));
    l.user = L"u";
    l.database = L"Sales}";
    EXPECT_TRUE(login_needs_data_source(L"FreeTDS", l));
    // The user's own data source text and a Windows login keep the string; a data source named
    // alone can take the login apart (SQLConnect), one with more settings cannot.
    l.server = L"DSN=live";
    EXPECT_FALSE(login_needs_data_source(L"FreeTDS", l));
    EXPECT_EQ(bare_data_source_name(L"DSN=live"), L"live");
    EXPECT_EQ(bare_data_source_name(L"dsn=live;"), L"live");
    EXPECT_EQ(bare_data_source_name(L"DSN=live;Database=x"), L"");
    EXPECT_EQ(bare_data_source_name(L"DSN={live}"), L"");
    EXPECT_EQ(bare_data_source_name(L"DRIVER=FreeTDS"), L"");
    EXPECT_EQ(bare_data_source_name(L"DSN="), L"");
    l.server = L"host";
    l.user.clear();
    EXPECT_FALSE(login_needs_data_source(L"FreeTDS", l));
}

namespace {

// Files left in a folder.
std::size_t files_in(const std::filesystem::path& dir)
{
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

std::string text_of(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// TMPDIR points into a scratch folder and ODBCINI at the user's own file while it lives.
struct private_tmp {
    drav_test::scratch_dir dir{"odbc-dsn", drav_test::scratch_dir::plain_folder};
    std::string users_ini = dir.str("users.ini");
    private_tmp()
    {
        ::setenv("TMPDIR", dir.str().c_str(), 1);
        ::setenv("ODBCINI", users_ini.c_str(), 1);
    }
    ~private_tmp()
    {
        ::unsetenv("TMPDIR");
        ::unsetenv("ODBCINI");
    }
    bool odbcini_restored() const
    {
        const char* v = std::getenv("ODBCINI");
        return v && v == users_ini;
    }
};

} // namespace

// Allocations made while it lives are not reported as leaks (under the leak checker only).
struct leak_check_paused {
#if defined(__SANITIZE_ADDRESS__)
    leak_check_paused() { __lsan_disable(); }
    ~leak_check_paused() { __lsan_enable(); }
#endif
};

TEST(OdbcDataSource, APrivateDataSourceIsFoundAndLeavesNothingBehind)
{
    private_tmp tmp;
    const std::string db = temp_db("private_dsn");
    {
        temporary_data_source src({{L"Driver", L"SQLite3"}, {L"Database", from_utf8(db)}});
        struct stat st {};
        ASSERT_EQ(::lstat(src.path().c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(std::filesystem::path(src.path()).parent_path(), tmp.dir.path());
        EXPECT_EQ(std::string(std::getenv("ODBCINI")), src.path());
        EXPECT_EQ(text_of(src.path()), "[" + to_utf8(src.name()) + "]\nDriver = SQLite3\nDatabase = " + db + "\n");
        if (has_driver(L"SQLite3")) {
            // The driver manager finds the source by its name alone. The SQLite driver keeps
            // what it read of a named source for good and is unloaded after the connection, so
            // the leak checker could not even name it: its allocations are not ours to check.
            [[maybe_unused]] leak_check_paused pause;
            connection c;
            c.open(L"DSN=" + src.name() + L";");
            statement(c).execute_all(L"CREATE TABLE t (x int)");
        }
    }
    EXPECT_TRUE(tmp.odbcini_restored());
    EXPECT_EQ(files_in(tmp.dir.path()), 0u);

    // A line break would let a value add lines of its own (another Driver library); blanks at
    // either end would be trimmed. Both are refused before any file is made.
    for (const wchar_t* bad : {L"host\nDriver = /tmp/evil.so", L"host\r", L" host", L"host "})
        EXPECT_THROW(temporary_data_source(temporary_data_source::attributes{{L"Server", bad}}), error);
    EXPECT_TRUE(tmp.odbcini_restored());
    EXPECT_EQ(files_in(tmp.dir.path()), 0u);
}

TEST(OdbcConnect, AFreeTdsLoginWithBracesReachesTheDriverThroughItsPrivateSource)
{
    if (!has_driver(L"FreeTDS"))
        GTEST_SKIP() << "FreeTDS not installed";
    private_tmp tmp;
    login l;
    l.server = L"127.0.0.1,1";
    l.user = L"{u};x=1";
    l.password = L"{p}w; x=y {z}};q}";
    ASSERT_TRUE(login_needs_data_source(L"FreeTDS", l));
    connection c;
    try {
        c.open(L"FreeTDS", l, 5);
        FAIL() << "connected to a closed port";
    } catch (const error& e) {
        // The driver was found and tried the port the source names: a network failure, not an
        // unknown data source (IM002) or driver.
        ASSERT_FALSE(e.records().empty());
        EXPECT_EQ(e.records()[0].sqlstate.substr(0, 2), "08") << e.what();
        EXPECT_FALSE(driver_missing(e));
    }
    EXPECT_FALSE(c.is_open());
    EXPECT_TRUE(tmp.odbcini_restored());
    EXPECT_EQ(files_in(tmp.dir.path()), 0u);
}

TEST(OdbcDrivers, CandidatesPutTheEnvironmentFirst)
{
    ::setenv("DRAV_ODBC_DRIVER", "No Such Driver", 1);
    auto c = sqlserver_driver_candidates();
    ::unsetenv("DRAV_ODBC_DRIVER");
    ASSERT_EQ(c.size(), 4u);
    EXPECT_EQ(c[0], L"No Such Driver");
    EXPECT_EQ(c[3], L"FreeTDS");
    // Only installed ones survive the filter.
    for (const auto& d : installed_sqlserver_drivers())
        EXPECT_TRUE(driver_installed(d));
    EXPECT_TRUE(is_freetds(L"FreeTDS"));
    EXPECT_FALSE(is_freetds(L"ODBC Driver 17 for SQL Server"));
}

TEST(OdbcDiagnostics, ResultCodesFollowTheProvider)
{
    auto one = [](const char* state, int native) {
        return hresult_for({diag_record{state, native, L"m"}});
    };
    EXPECT_EQ(one("23000", 2627), hr::integrity_violation);
    EXPECT_EQ(one("23000", 547), hr::integrity_violation);
    EXPECT_EQ(one("23000", 0), hr::integrity_violation);
    EXPECT_EQ(one("42S02", 208), hr::no_table);
    EXPECT_EQ(one("42000", 208), hr::no_table);
    EXPECT_EQ(one("28000", 18456), hr::auth_failed);
    EXPECT_EQ(one("42000", 229), hr::permission_denied);
    EXPECT_EQ(one("42000", 262), hr::permission_denied);
    EXPECT_EQ(one("42000", 102), hr::errors_in_command);
    EXPECT_EQ(one("42S01", 2714), hr::duplicate_table);
    EXPECT_EQ(one("42S11", 1913), hr::duplicate_index);
    EXPECT_EQ(one("22003", 8115), hr::data_overflow);
    EXPECT_EQ(one("22018", 245), hr::cant_convert);
    EXPECT_EQ(one("08001", 0), hr::fail);
    EXPECT_EQ(one("IM002", 0), hr::fail);
    EXPECT_EQ(hresult_for({}), hr::fail);
    // A later, more precise record wins over a generic first one.
    EXPECT_EQ(hresult_for({diag_record{"01000", 5701, L"changed context"}, diag_record{"23000", 2601, L"dup"}}),
              hr::integrity_violation);
}

TEST(OdbcSqlite, ReadsTextBinaryAndNullsInPieces)
{
    NEED_SQLITE();
    connection c;
    c.open(sqlite_cs(temp_db("pieces")));
    statement st(c);
    st.execute_all(L"CREATE TABLE t (id INTEGER, txt TEXT, bin BLOB)");
    std::wstring big(70000, L'x');
    big[0] = L'\u00e9';
    st.execute_all(L"INSERT INTO t VALUES (1, '" + big.substr(0, big.size() - 1) +
                   L"' || char(128512), randomblob(200000))");
    big.back() = static_cast<wchar_t>(0x1F600);
    st.execute_all(L"INSERT INTO t VALUES (2, NULL, NULL)");
    st.execute_all(L"INSERT INTO t VALUES (3, '', x'')");
    ASSERT_TRUE(st.execute(L"SELECT id, txt, length(bin), bin FROM t ORDER BY id"));
    ASSERT_EQ(st.columns().size(), 4u);
    EXPECT_EQ(st.columns()[1].name, L"txt");
    row r;
    ASSERT_TRUE(st.fetch(r));
    EXPECT_EQ(from_utf16(r[0].text), L"1");
    EXPECT_FALSE(r[1].null);
    EXPECT_EQ(from_utf16(r[1].text), big);
    EXPECT_EQ(r[3].bytes.size(), 200000u);
    EXPECT_TRUE(r[3].binary);
    ASSERT_TRUE(st.fetch(r));
    EXPECT_TRUE(r[1].null);
    EXPECT_TRUE(r[3].null);
    ASSERT_TRUE(st.fetch(r));
    EXPECT_FALSE(r[1].null);
    EXPECT_TRUE(r[1].text.empty());
    EXPECT_FALSE(st.fetch(r));
    EXPECT_FALSE(st.has_cursor());
}

TEST(OdbcSqlite, ErrorsCarryDiagnosticsAndCodes)
{
    NEED_SQLITE();
    connection c;
    c.open(sqlite_cs(temp_db("errors")));
    statement st(c);
    st.execute_all(L"CREATE TABLE k (id INTEGER PRIMARY KEY)");
    st.execute_all(L"INSERT INTO k VALUES (1)");
    try {
        st.execute_all(L"INSERT INTO k VALUES (1)");
        FAIL() << "duplicate key accepted";
    } catch (const error& e) {
        ASSERT_FALSE(e.records().empty());
        EXPECT_FALSE(e.records()[0].message.empty());
    }
    try {
        st.execute_all(L"SELECT * FROM no_such_table");
        FAIL() << "missing table accepted";
    } catch (const error& e) {
        EXPECT_NE(std::string(e.what()).find("no_such_table"), std::string::npos);
    }
    // An error in the second statement of a batch is not lost.
    EXPECT_THROW(st.execute_all(L"INSERT INTO k VALUES (5); INSERT INTO k VALUES (1)"), error);
    // The statement is still usable after a failure.
    EXPECT_TRUE(st.execute(L"SELECT id FROM k"));
    row r;
    EXPECT_TRUE(st.fetch(r));
    EXPECT_FALSE(st.fetch(r));
}

TEST(OdbcSqlite, CatalogueFunctionsTakeNamesLiterally)
{
    NEED_SQLITE();
    connection c;
    c.open(sqlite_cs(temp_db("catalogue")));
    statement st(c);
    st.execute_all(L"CREATE TABLE my_tab (id INTEGER PRIMARY KEY, v TEXT)");
    st.execute_all(L"CREATE TABLE myXtab (id INTEGER)");
    std::wstring type = L"TABLE";
    std::wstring name = L"my_tab";
    st.tables(nullptr, &name, &type);
    row r;
    int n = 0;
    while (st.fetch(r)) {
        EXPECT_EQ(from_utf16(r[2].text), L"my_tab");
        ++n;
    }
    EXPECT_EQ(n, 1);
    st.primary_keys(nullptr, L"my_tab");
    ASSERT_TRUE(st.fetch(r));
    EXPECT_EQ(from_utf16(r[3].text), L"id");
    EXPECT_FALSE(st.fetch(r));
}

TEST(OdbcConnect, UnknownDriverAndClosedPortFail)
{
    connection c;
    try {
        c.open(L"DRIVER={No Such Driver 42};SERVER={x};");
        FAIL();
    } catch (const error& e) {
        EXPECT_TRUE(driver_missing(e));
    }
    if (!has_driver(L"FreeTDS"))
        GTEST_SKIP() << "FreeTDS not installed";
    login l;
    l.server = L"127.0.0.1,1";
    l.user = L"sa";
    l.password = L"x";
    try {
        c.open(build_connection_string(L"FreeTDS", l), 5);
        FAIL() << "connected to a closed port";
    } catch (const error& e) {
        ASSERT_FALSE(e.records().empty());
        EXPECT_EQ(e.records()[0].sqlstate.substr(0, 2), "08");
        EXPECT_EQ(e.code(), hr::fail);
        EXPECT_FALSE(driver_missing(e));
    }
    EXPECT_FALSE(c.is_open());
}

// Long parameter values go to the driver in pieces while the statement runs: text (a character
// beyond the BMP astride a piece boundary, quotes and "?"), bytes with zeros, NULL and empty
// values arrive as they were; a refused statement raises the driver's error. (The SQLite driver
// ends a text at a NUL character: the live direct-road test sends one to SQL Server.)
TEST(OdbcSqlite, LongParametersArriveWholeFromPieces)
{
    NEED_SQLITE();
    connection c;
    c.open(sqlite_cs(temp_db("streamed")));
    statement st(c);
    st.execute_all(L"CREATE TABLE t (id INTEGER PRIMARY KEY, txt TEXT, bin BLOB)");
    std::wstring text(700000, L'a');
    for (std::size_t i = 0; i < text.size(); i += 997)
        text[i] = i % 2 ? L'\'' : L'?';
    text[(1u << 18) - 1] = static_cast<wchar_t>(0x1F600);
    text[1u << 18] = L'\u00e9';
    std::vector<unsigned char> bytes(900000);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>((i * 131) >> 3);
    const auto text_param = [](const std::wstring& s) { return long_param{false, s.data(), nullptr, s.size()}; };
    const std::wstring empty;
    st.execute_streamed(L"INSERT INTO t VALUES (1, ?, ?)",
                        {text_param(text), long_param{false, nullptr, bytes.data(), bytes.size()}});
    st.execute_streamed(L"INSERT INTO t VALUES (2, ?, ?)",
                        {text_param(empty), long_param{true, nullptr, nullptr, 0}});
    EXPECT_THROW(st.execute_streamed(L"INSERT INTO t VALUES (1, ?, NULL)", {text_param(text)}), error);
    ASSERT_TRUE(st.execute(L"SELECT txt, bin FROM t ORDER BY id"));
    row r;
    ASSERT_TRUE(st.fetch(r));
    EXPECT_TRUE(from_utf16(r[0].text) == text) << "the long text differs";
    EXPECT_TRUE(r[1].bytes == bytes) << "the long bytes differ";
    ASSERT_TRUE(st.fetch(r));
    EXPECT_FALSE(r[0].null);
    EXPECT_TRUE(r[0].text.empty());
    EXPECT_TRUE(r[1].null);
    EXPECT_FALSE(st.fetch(r));
}

// The sample database in examples/: the program that writes it writes the same tables and values,
// our reader, mdb-reader and mdbtools read it, and its indexes hold its rows. Needs no shared test files.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "platform/jet/jet_database.h"
#include "tests/dao/dao_test_env.h"
#include "tests/support/access_check.h"
#include "tests/support/index_check.h"

namespace {

const std::string committed = std::string(DRAV_SOURCE_DIR) + "/examples/sample.mdb";

// Every user table's rows as text, in table order.
std::vector<std::wstring> contents(const std::string& path)
{
    auto db = jet::database::open(path);
    std::vector<std::wstring> out;
    for (const auto* e : db->tables()) {
        out.push_back(L"table " + e->name);
        auto t = db->table(e->name);
        for (const auto& c : t->columns)
            out.push_back(L"column " + c.name + L" " + std::to_wstring(static_cast<int>(c.type)) + L" " +
                          std::to_wstring(c.length));
        auto rows = db->rows(t);
        while (rows.next()) {
            std::wstring line;
            for (const auto& v : rows.values()) line += v.to_wstring() + L"|";
            out.push_back(line);
        }
    }
    return out;
}

// Runs the program on `path` in a child whose files may not grow past `limit` bytes, with the signal
// of that limit at its default; its exit status (minus the signal that ended it) and its output.
int make_sample_limited(const std::string& path, rlim_t limit, std::string& output)
{
    const std::string prog = std::string(DRAV_BINARY_DIR) + "/tests/make_sample", out = path + ".out";
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        ::signal(SIGXFSZ, SIG_DFL);
        const rlimit r{limit, limit};
        ::setrlimit(RLIMIT_FSIZE, &r);
        ::execl(prog.c_str(), prog.c_str(), path.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    output = drav_test::read_file(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// contents() cut into its tables, in order.
std::vector<std::vector<std::wstring>> tables_of(const std::vector<std::wstring>& lines)
{
    std::vector<std::vector<std::wstring>> out;
    for (const auto& l : lines) {
        if (l.rfind(L"table ", 0) == 0) out.emplace_back();
        out.back().push_back(l);
    }
    return out;
}

} // namespace

TEST(Sample, TheProgramWritesWhatIsCommitted)
{
    drav_test::scratch_dir dir("sample");
    const std::string made = dir.str("sample.mdb");
    int status = 0;
    std::string out = drav_test::run_command(drav_test::shell_quote(std::string(DRAV_BINARY_DIR) + "/tests/make_sample") +
                                                 " " + drav_test::shell_quote(made),
                                             &status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_EQ(contents(made), contents(committed));
    EXPECT_LT(std::filesystem::file_size(committed), 1024u * 1024u);
}

TEST(Sample, EveryReaderReadsIt)
{
    auto db = jet::database::open(committed);
    EXPECT_EQ(db->format(), jet::file_format::jet4);
    ASSERT_EQ(db->tables().size(), 4u);
    for (const auto* e : db->tables()) drav_test::expect_indexes_match_rows(*db, e->name);
    drav_test::expect_indexes_match_rows(*db, L"MSysObjects");
    auto customers = db->table(L"Customers");
    EXPECT_EQ(customers->columns[1].properties.get(L"Required"), jet::value(true));
    EXPECT_EQ(customers->columns[6].properties.get(L"DefaultValue"), jet::value(std::wstring(L"\"none\"")));

    auto tools = drav_test::mdbtools_read(committed, "Customers");
    if (tools.available) {
        EXPECT_TRUE(tools.ok) << tools.csv;
        EXPECT_NE(tools.version.find("JET4"), std::string::npos);
        EXPECT_NE(tools.csv.find("\"\xE5\xB1\xB1\xE7\x94\xB0 \xE5\xA4\xAA\xE9\x83\x8E\""), std::string::npos) << tools.csv;
    }
    auto other = drav_test::mdb_reader_read(committed);
    if (!other.available) GTEST_SKIP() << "mdb-reader not installed (run scripts/setup)";
    EXPECT_TRUE(other.ok) << other.error;
    EXPECT_EQ(other.counts["Customers"], 4);
    EXPECT_EQ(other.counts["Products"], 3);
    EXPECT_EQ(other.counts["Orders"], 3);
    EXPECT_EQ(other.counts["OrderLines"], 3);
    ASSERT_EQ(other.rows["Products"].size(), 3u);
    EXPECT_EQ(other.rows["Products"][0], "[\"P-100\",\"Kettle\",\"24.9900\",1.25,12,\"hex:89504e470d0a1a0a0000000d\"]");
}

TEST(Sample, ItsRelationshipsReadBackAsForeignKeys)
{
    drav_test::scratch_dir dir("sample");
    dao_engine engine(1, 0);
    auto db = daotests::open_corpus(engine, committed);
    EXPECT_EQ(db->relationships.size(), 3u);
    bool generated = false;
    auto jdb = jet::database::open(committed);
    for (const auto& x : jdb->table(L"Products")->indexes)
        generated = generated || (x.name.rfind(L"ui_Products", 0) == 0 && x.unique());
    EXPECT_TRUE(generated);
}

// A file-size limit met while the sample is written is a failed write: reported, exit status 1, no
// death by SIGXFSZ in the middle of a flush, and the file left as a flush made it: its tables the
// first ones of the whole sample, each with all its rows or none, every index holding its rows,
// and every reader agreeing; met before the first flush, no file at all.
TEST(Sample, AFileSizeLimitIsAFailedWriteThatKeepsAFlush)
{
    drav_test::scratch_dir dir("sample");
    std::string output;
    const std::string whole = dir.str("whole.mdb");
    ASSERT_EQ(make_sample_limited(whole, RLIM_INFINITY, output), 0) << output;
    const auto all = tables_of(contents(whole));
    const std::uintmax_t size = std::filesystem::file_size(whole);
    std::size_t last_tables = 0;
    for (std::uintmax_t limit : {std::uintmax_t{20000}, size / 2, size - 40960, size - 16384, size - 4096, size - 1}) {
        const std::string path = dir.str("limit" + std::to_string(limit) + ".mdb");
        SCOPED_TRACE(path);
        ASSERT_EQ(make_sample_limited(path, limit, output), 1) << output;
        EXPECT_NE(output.find("make_sample: Cannot write file '" + path + "'"), std::string::npos) << output;
        EXPECT_NE(output.find("File too large"), std::string::npos) << output;
        if (!std::filesystem::exists(path)) {
            EXPECT_EQ(last_tables, 0u) << "a larger limit left no file";
            continue;
        }
        EXPECT_LE(std::filesystem::file_size(path), limit);
        EXPECT_EQ(std::filesystem::file_size(path) % 4096, 0u);
        std::shared_ptr<jet::database> db;
        ASSERT_NO_THROW(db = jet::database::open(path));
        const auto held = tables_of(contents(path));
        ASSERT_LE(held.size(), all.size());
        EXPECT_GE(held.size(), last_tables);
        last_tables = held.size();
        for (std::size_t t = 0; t < held.size(); ++t) {
            if (held[t] == all[t]) continue;
            // A table the last flush made before any of its rows came.
            const std::size_t header = 1 + db->table(db->tables()[t]->name)->columns.size();
            EXPECT_EQ(held[t].size(), header) << "table " << t << " holds some of its rows";
            EXPECT_TRUE(std::equal(held[t].begin(), held[t].end(), all[t].begin())) << "table " << t;
        }
        for (const auto* e : db->tables()) drav_test::expect_indexes_match_rows(*db, e->name);
        drav_test::expect_indexes_match_rows(*db, L"MSysObjects");
        auto other = drav_test::mdb_reader_read(path);
        if (other.available) {
            EXPECT_TRUE(other.ok) << other.error;
            for (const auto* e : db->tables())
                EXPECT_EQ(other.counts[std::string(e->name.begin(), e->name.end())],
                          static_cast<long>(db->count_rows(e->name)));
        }
    }
    EXPECT_GT(last_tables, 2u);
}

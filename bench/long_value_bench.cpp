// Peak memory of a conversion whose one row holds one very long value: writes two Access files
// with our writer (table Long: a memo of SIZE million characters with a line break every 1,000;
// an OLE value of SIZE million bytes), converts each to a script with dravcli and, side by side,
// exports the table with mdb-export, and prints each program's peak resident memory beside the
// value's size and their ratios. When a T-SQL server is named (TSQL_HOST, TSQL_PORT, TSQL_USER,
// TSQL_PASSWORD as the test server's env file gives them, or DRAV_TEST_MSSQL_SERVER, _USER,
// _PASSWORD), dravcli also converts each file straight into a new database there, and the value's
// length on the server is checked. Target: dravcli's peak at most about twice the value's size
// in memory (4 bytes a character for text) plus a few MiB on either road.
//
//   long_value_bench path/to/dravcli [SIZE_MB (default 100)] [WORK_DIR (default a new temporary one)]
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "writer_tables.h"
#include "platform/jet/jet_writer.h"

extern char** environ;

namespace {

using jet::column_type;

struct run_figures {
    int status = -1;
    double seconds = 0;
    long peak_kib = 0;
};

// Runs a program with its output into a file; its exit status, elapsed time and peak memory.
run_figures run(const std::vector<std::string>& args, const std::string& out)
{
    run_figures r;
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, (out + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&fa);
        return r;
    }
    posix_spawn_file_actions_destroy(&fa);
    int status = 0;
    struct rusage ru {};
    if (::wait4(pid, &status, 0, &ru) != pid)
        return r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.peak_kib = ru.ru_maxrss;
    return r;
}

// The memo: sentences with a few accented letters, a line break every 1,000 characters.
std::wstring memo_text(std::size_t n)
{
    const std::wstring sentence = L"The delivery arrived on time; the caf\u00e9 owner signed for it. ";
    std::wstring s;
    s.reserve(n);
    while (s.size() < n) {
        if (s.size() % 1000 == 998)
            s += L"\r\n";
        else
            s += sentence[s.size() % sentence.size()];
    }
    s.resize(n);
    return s;
}

void write_file(const std::string& path, const jet::value& v)
{
    auto w = drav_test::new_keyed_table(path, jet::file_format::jet4, L"Long",
                                    {drav_test::counter_id(), drav_test::col(L"Notes", column_type::memo),
                                     drav_test::col(L"Picture", column_type::ole)});
    std::vector<jet::value> row(3);
    row[v.type() == jet::value::text_k ? 1 : 2] = v;
    w->append(L"Long", row);
    w->flush();
}

// Writes the file in a child process of its own: a child's peak memory counts its parent's
// resident memory at the time it starts, so the measuring process stays small.
bool write_apart(const std::string& path, bool text, std::size_t n)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        try {
            write_file(path, text ? jet::value(memo_text(n)) : jet::value(drav_test::noise_bytes(n)));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "writing %s: %s\n", path.c_str(), e.what());
            ::_exit(1);
        }
        ::_exit(0);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "could not write %s\n", path.c_str());
        return false;
    }
    return true;
}

double mib(long kib) { return static_cast<double>(kib) / 1024.0; }

std::string env(const char* name)
{
    const char* v = std::getenv(name);
    return v ? v : "";
}

// The server of the direct road, as dravcli's options take it; empty host: none.
struct server_login {
    std::string host, user, password;
};

server_login named_server()
{
    if (!env("TSQL_HOST").empty())
        return {env("TSQL_HOST") + "," + env("TSQL_PORT"), env("TSQL_USER"), env("TSQL_PASSWORD")};
    return {env("DRAV_TEST_MSSQL_SERVER"), env("DRAV_TEST_MSSQL_USER"), env("DRAV_TEST_MSSQL_PASSWORD")};
}

// Runs one statement with FreeTDS's batch tool; its output ("" when it failed).
std::string server_sql(const server_login& s, const std::string& database, const std::string& statement,
                       const std::string& dir)
{
    const std::string host = s.host.substr(0, s.host.find(',')) +
                             (s.host.find(',') == std::string::npos ? "" : ":" + s.host.substr(s.host.find(',') + 1));
    const std::string in = dir + "/statement.sql";
    if (FILE* f = std::fopen(in.c_str(), "w")) {
        std::fprintf(f, "%s\n", statement.c_str());
        std::fclose(f);
    }
    std::vector<std::string> args{"bsqldb", "-q", "-i", in, "-S", host, "-U", s.user, "-P", s.password};
    if (!database.empty())
        args.insert(args.end(), {"-D", database});
    const run_figures r = run(args, dir + "/bsqldb.out");
    std::string out;
    if (FILE* f = std::fopen((dir + "/bsqldb.out").c_str(), "r")) {
        char buf[256];
        for (std::size_t k; (k = std::fread(buf, 1, sizeof buf, f)) > 0;)
            out.append(buf, k);
        std::fclose(f);
    }
    return r.status == 0 ? out : "";
}

// Converts the file straight into a new database on the server and prints dravcli's peak beside
// the value's size; false when the run failed or the value did not arrive whole.
bool direct_road(const server_login& s, const std::string& dravcli, const std::string& mdb, bool text,
                 std::size_t n, double value_mib, const std::string& dir)
{
    const std::string db = "drav_long_bench_" + std::to_string(::getpid());
    const run_figures d = run({dravcli, "--src=" + mdb, "--dest=" + db, "--mode=0", "--mssqlh=" + s.host,
                               "--mssqlu=" + s.user, "--mssqlp=" + s.password},
                              dir + "/dravcli-direct.out");
    const std::string length =
        d.status == 0 ? server_sql(s, db, text ? "SELECT LEN(Notes + N'.') - 1 FROM Long" : "SELECT DATALENGTH(Picture) FROM Long",
                                   dir)
                      : "";
    server_sql(s, "", "DROP DATABASE " + db, dir);
    const bool whole = std::strtoull(length.c_str() + length.find_first_not_of(" \n"), nullptr, 10) == n;
    if (d.status != 0 || !whole) {
        std::printf("  direct     : failed (exit %d, value length on the server \"%s\"): see %s/dravcli-direct.out*\n",
                    d.status, length.c_str(), dir.c_str());
        return false;
    }
    std::printf("  direct     : peak %8.1f MiB  %5.2f x  (%.1f s)\n", mib(d.peak_kib), mib(d.peak_kib) / value_mib,
                d.seconds);
    const bool ok = mib(d.peak_kib) <= 2 * value_mib + 16;
    std::printf("  target     : <= 2 x + 16 MiB = %.1f MiB: %s\n", 2 * value_mib + 16, ok ? "met" : "NOT met");
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s path/to/dravcli [SIZE_MB] [WORK_DIR]\n", argv[0]);
        return 2;
    }
    // A file-size limit fails the write (EFBIG), reported, instead of ending the process mid-flush.
    std::signal(SIGXFSZ, SIG_IGN);
    const std::string dravcli = std::filesystem::absolute(argv[1]).string();
    const std::size_t mb = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 100;
    const std::size_t n = mb * 1000 * 1000;
    std::string dir;
    if (argc > 3) {
        dir = argv[3];
        std::filesystem::create_directories(dir);
    } else {
        std::string t = (std::filesystem::temp_directory_path() / "drav-long-XXXXXX").string();
        if (!::mkdtemp(t.data())) {
            std::perror("mkdtemp");
            return 1;
        }
        dir = t;
    }
    ::setenv("DRAV_REGISTRY_FILE", (dir + "/registry").c_str(), 1);
    std::printf("value of %zu million; peak resident memory; ratio = peak / value in memory\n", mb);
    bool met = true;
    for (const bool text : {true, false}) {
        const std::string mdb = dir + (text ? "/memo" : "/ole") + std::to_string(mb) + ".mdb";
        if (!std::filesystem::exists(mdb) && !write_apart(mdb, text, n))
            return 1;
        const std::string script = dir + "/long.sql";
        const run_figures d = run({dravcli, "--src=" + mdb, "--dest=" + script, "--script"}, dir + "/dravcli.out");
        if (d.status != 0) {
            std::fprintf(stderr, "dravcli failed (exit %d): see %s/dravcli.out*\n", d.status, dir.c_str());
            return 1;
        }
        const double script_mib = static_cast<double>(std::filesystem::file_size(script)) / 1048576.0;
        std::filesystem::remove(script);
        const run_figures m = run({"mdb-export", "-b", "hex", mdb, "Long"}, dir + "/mdb-export.csv");
        // mdbtools reads long values of less than 16 MiB only (a 24-bit length): its peak is then no peer.
        const bool exported = std::filesystem::file_size(dir + "/mdb-export.csv") >= n;
        std::filesystem::remove(dir + "/mdb-export.csv");
        // In memory a text takes 4 bytes a character (UTF-32), a binary value its bytes.
        const double value_mib = static_cast<double>(text ? 4 * n : n) / 1048576.0;
        std::printf("%-5s %zu %s = %.1f MiB in memory, script %.1f MiB\n", text ? "memo" : "OLE", n,
                    text ? "characters" : "bytes", value_mib, script_mib);
        std::printf("  script     : peak %8.1f MiB  %5.2f x  (%.1f s)\n", mib(d.peak_kib), mib(d.peak_kib) / value_mib,
                    d.seconds);
        if (m.status == 0 && !exported)
            std::printf("  mdb-export : did not export the whole value (peak %.1f MiB)\n", mib(m.peak_kib));
        else if (m.status == 0)
            std::printf("  mdb-export : peak %8.1f MiB  %5.2f x  (%.1f s)   dravcli / mdb-export %.2f\n",
                        mib(m.peak_kib), mib(m.peak_kib) / value_mib, m.seconds,
                        static_cast<double>(d.peak_kib) / static_cast<double>(m.peak_kib));
        else
            std::printf("  mdb-export : failed (exit %d)\n", m.status);
        const bool ok = mib(d.peak_kib) <= 2 * value_mib + 16;
        met = met && ok;
        std::printf("  target     : <= 2 x + 16 MiB = %.1f MiB: %s\n", 2 * value_mib + 16, ok ? "met" : "NOT met");
        if (const server_login s = named_server(); !s.host.empty())
            met = direct_road(s, dravcli, mdb, text, n, value_mib, dir) && met;
    }
    if (named_server().host.empty())
        std::printf("direct road: no server named (TSQL_HOST or DRAV_TEST_MSSQL_SERVER), not measured\n");
    if (argc <= 3)
        std::filesystem::remove_all(dir);
    return met ? 0 : 1;
}

// Reads a table into typed values, every value touched, and compares the rate with mdb-export reading
// the same table, run one after the other on the same machine. Target: 50 times mdb-export's rows/s.
//
//   jet_bench [FILE TABLE ...]
//
// Without arguments: table Wide of the million-row files that bench/conv_bench.sh makes (in
// $BENCH_DIR, default /tmp/drav_bench, when they are there) and table Big of the shared bench files.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/jet/jet_database.h"

namespace {

using clock_type = std::chrono::steady_clock;

long peak_rss_kib()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// Heap bytes in use now.
std::size_t heap_in_use() { return mallinfo2().uordblks; }

// Largest heap use seen by the row loop (sampled every 1,000 rows).
std::size_t heap_peak = 0;

// Reads every row into typed values; returns the row count. A checksum keeps the work observable.
std::uint64_t read_all(const std::string& path, const std::wstring& table, std::uint64_t& checksum)
{
    auto db = jet::database::open(path);
    auto cur = db->rows(table);
    std::uint64_t rows = 0;
    while (cur.next()) {
        if (++rows % 1000 == 0) heap_peak = std::max(heap_peak, heap_in_use());
        for (const auto& v : cur.values()) {
            switch (v.type()) {
            case jet::value::text_k: checksum += v.as_text().size(); break;
            case jet::value::int32_k: checksum += static_cast<std::uint32_t>(v.as_int32()); break;
            case jet::value::currency_k: checksum += static_cast<std::uint64_t>(v.as_currency().scaled); break;
            case jet::value::boolean_k: checksum += v.as_bool(); break;
            case jet::value::int16_k: checksum += static_cast<std::uint16_t>(v.as_int16()); break;
            case jet::value::int64_k: checksum += static_cast<std::uint64_t>(v.as_int64()); break;
            case jet::value::double_k: checksum += static_cast<std::uint64_t>(v.as_double()); break;
            case jet::value::datetime_k: checksum += static_cast<std::uint64_t>(v.as_datetime().days); break;
            case jet::value::decimal_k: checksum += v.as_decimal().lo; break;
            case jet::value::guid_k: checksum += v.as_guid().bytes[0]; break;
            case jet::value::binary_k: checksum += v.as_binary().size(); break;
            default: checksum += v.type(); break;
            }
        }
    }
    return rows;
}

// Runs mdb-export on the table with its output counted; returns the seconds taken (-1 when it fails).
double time_mdb_export(const std::string& path, const std::string& table, std::uint64_t& lines)
{
    int fds[2];
    if (pipe(fds) != 0) return -1;
    auto t0 = clock_type::now();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        execlp("mdb-export", "mdb-export", path.c_str(), table.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char buf[1 << 16];
    lines = 0;
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        for (ssize_t i = 0; i < n; ++i) lines += buf[i] == '\n';
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    auto t1 = clock_type::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return std::chrono::duration<double>(t1 - t0).count();
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::pair<std::string, std::string>> jobs;   // file, table
    for (int i = 1; i + 1 < argc; i += 2)
        jobs.emplace_back(argv[i], argv[i + 1]);
    if (jobs.empty()) {
        const char* env = std::getenv("BENCH_DIR");
        const std::string bench_dir = env && *env ? env : "/tmp/drav_bench";
        for (const char* f : {"wide1000000.mdb", "wide1000000.accdb"})
            jobs.emplace_back(bench_dir + "/" + f, "Wide");
        for (const char* f : {"bench/bench100k_V2003.mdb", "bench/bench100k_V2010.accdb"})
            jobs.emplace_back(std::string(DRAV_TESTDATA_DIR) + "/" + f, "Big");
    }
    int status = 0;
    for (const auto& [path, table_name] : jobs) {
        if (!std::filesystem::exists(path)) {
            std::printf("%s: not found, skipped\n", path.c_str());
            continue;
        }
        const std::wstring table(table_name.begin(), table_name.end());
        try {
            std::uint64_t checksum = 0, rows = 0;
            long rss_before = peak_rss_kib();
            std::size_t heap_before = heap_in_use();
            heap_peak = heap_before;
            double best = 1e30;
            for (int run = 0; run < 3; ++run) {
                auto t0 = clock_type::now();
                rows = read_all(path, table, checksum);
                best = std::min(best, std::chrono::duration<double>(clock_type::now() - t0).count());
            }
            long rss_after = peak_rss_kib();
            std::uint64_t lines = 0;
            double mdb = time_mdb_export(path, table_name, lines);
            double ours_rate = static_cast<double>(rows) / best;
            std::printf("%s, table %s: %llu rows\n", path.c_str(), table_name.c_str(),
                        static_cast<unsigned long long>(rows));
            std::printf("  drav_jet     %10.0f rows/s  (%.3f s; heap growth while reading %+lld KiB; "
                        "resident set growth %+ld KiB; checksum %llu)\n",
                        ours_rate, best, (static_cast<long long>(heap_peak) - static_cast<long long>(heap_before)) / 1024,
                        rss_after - rss_before, static_cast<unsigned long long>(checksum % 1000000));
            if (mdb > 0 && lines > 0) {
                double mdb_rate = static_cast<double>(lines - 1) / mdb;   // minus the header line
                std::printf("  mdb-export   %10.0f rows/s  (%.3f s)\n", mdb_rate, mdb);
                std::printf("  ratio        %10.1fx (target 50x: %s)\n", ours_rate / mdb_rate,
                            ours_rate / mdb_rate >= 50 ? "reached" : "not reached");
            } else {
                std::printf("  mdb-export   not available\n");
            }
        } catch (const std::exception& e) {
            std::printf("%s: %s\n", path.c_str(), e.what());
            status = 1;
        }
    }
    return status;
}

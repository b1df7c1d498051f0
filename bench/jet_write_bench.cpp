// Writes table Big into new Jet4 and ACE files with our writer: 1,000,000 generated rows (rows/s and
// peak memory), and the 100,000 rows of the benchmark files read back and written again, the file's size
// beside the size Access gave the same rows. Targets: 300,000 rows/s, flat memory, at most 1.25 times
// Access's size.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include "platform/jet/jet_database.h"
#include "platform/jet/jet_writer.h"
#include "writer_tables.h"

namespace {

using clock_type = std::chrono::steady_clock;
using jet::column_type;

long peak_rss_kib()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

std::size_t heap_in_use() { return mallinfo2().uordblks; }

// Big as Access made it: counter key, text, currency, double, date, Yes/No, integer, decimal(18,4),
// GUID, memo.
std::unique_ptr<jet::database_writer> new_big(const std::string& path, jet::file_format f)
{
    return drav_test::new_keyed_table(path, f, L"Big", {drav_test::counter_id(), drav_test::col(L"Name", column_type::text, 100),
                                  drav_test::col(L"Amount", column_type::currency), drav_test::col(L"Ratio", column_type::double_),
                                  drav_test::col(L"Created", column_type::datetime), drav_test::col(L"Flag", column_type::boolean),
                                  drav_test::col(L"Qty", column_type::integer), drav_test::decimal_18_4(L"Price"),
                                  drav_test::col(L"Guid", column_type::guid), drav_test::col(L"Notes", column_type::memo)});
}

struct result {
    double seconds = 0;
    std::size_t heap_first = 0, heap_last = 0;
};

result write_generated(const std::string& path, jet::file_format f, std::uint64_t rows)
{
    auto w = new_big(path, f);
    std::vector<jet::value> row(10);
    result r;
    auto t0 = clock_type::now();
    for (std::uint64_t i = 0; i < rows; ++i) {
        row[0] = jet::value();
        row[1] = jet::value(L"Name " + std::to_wstring(i) + L" \u00e9\u00e8");
        row[2] = jet::value(jet::currency{static_cast<std::int64_t>(i * 7919 % 100000000)});
        row[3] = jet::value(static_cast<double>(i) / 7.0);
        row[4] = jet::value(jet::date_time{36000.0 + static_cast<double>(i % 9000) + 0.25});
        row[5] = jet::value(i % 2 == 0);
        row[6] = jet::value(static_cast<std::int16_t>(i % 30000));
        jet::decimal d;
        d.scale = 4;
        d.lo = i * 12345;
        row[7] = jet::value(d);
        jet::guid g;
        for (int k = 0; k < 8; ++k) g.bytes[k] = static_cast<std::uint8_t>(i >> (k % 4 * 8));
        row[8] = jet::value(g);
        row[9] = jet::value(L"memo " + std::to_wstring(i));
        w->append(L"Big", row);
        if (i == rows / 10) r.heap_first = heap_in_use();
    }
    r.heap_last = heap_in_use();
    w->flush();
    w.reset();
    r.seconds = std::chrono::duration<double>(clock_type::now() - t0).count();
    return r;
}

// Big of an Access file written again by us; the size of what we wrote.
std::uintmax_t copy_big(const std::string& from, const std::string& to, jet::file_format f)
{
    auto src = jet::database::open(from);
    auto w = new_big(to, f);
    auto cur = src->rows(L"Big");
    std::vector<jet::value> row;
    while (cur.next()) {
        row = cur.values();
        w->append(L"Big", row);
    }
    w->flush();
    w.reset();
    return std::filesystem::file_size(to);
}

} // namespace

int main(int argc, char** argv)
{
    // A file-size limit fails the write (EFBIG), reported below, instead of ending the process mid-flush.
    std::signal(SIGXFSZ, SIG_IGN);
    const std::uint64_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const std::string dir = std::filesystem::temp_directory_path() / ("jet_write_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string data = DRAV_TESTDATA_DIR;
    struct { jet::file_format f; const char* name; const char* access; } runs[] = {
        {jet::file_format::jet4, "Jet4", "/bench/bench100k_V2003.mdb"},
        {jet::file_format::ace, "ACE", "/bench/bench100k_V2010.accdb"},
    };
    try {
        for (const auto& r : runs) {
            const std::string out = dir + "/big." + (r.f == jet::file_format::ace ? "accdb" : "mdb");
            result g = write_generated(out, r.f, rows);
            std::printf("%-4s %llu rows in %.2f s: %.0f rows/s (target 300000), heap at 10%%: %.1f MiB, at end: %.1f MiB, "
                        "file %.1f MiB\n",
                        r.name, static_cast<unsigned long long>(rows), g.seconds, static_cast<double>(rows) / g.seconds,
                        static_cast<double>(g.heap_first) / 1048576.0, static_cast<double>(g.heap_last) / 1048576.0,
                        static_cast<double>(std::filesystem::file_size(out)) / 1048576.0);
            std::filesystem::remove(out);
            const std::string access = data + r.access;
            if (std::filesystem::exists(access)) {
                std::uintmax_t ours = copy_big(access, out, r.f), theirs = std::filesystem::file_size(access);
                std::printf("%-4s Big's 100,000 rows: ours %ju bytes, Access %ju bytes, ratio %.2f (target <= 1.25)\n", r.name,
                            ours, theirs, static_cast<double>(ours) / static_cast<double>(theirs));
                std::filesystem::remove(out);
            } else {
                std::printf("%-4s size comparison skipped: %s not found\n", r.name, access.c_str());
            }
        }
    } catch (const std::exception& e) {
        // A failed write (a full disk, a file-size limit): the file holds its last flush.
        std::fprintf(stderr, "jet_write_bench: %s\n", e.what());
        std::filesystem::remove_all(dir);
        return 1;
    }
    std::printf("peak resident memory: %.1f MiB\n", static_cast<double>(peak_rss_kib()) / 1024.0);
    std::filesystem::remove_all(dir);
    return 0;
}

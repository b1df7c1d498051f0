// Writes the conversion benchmark's table into a new Access file with our writer: table Wide of
// ROWS rows (default 1,000,000) and 10 columns: auto-number key, long, double, currency, date, text of
// about 20 and about 60 characters, Yes/No, decimal(18,4), and a memo of about 200 characters on every
// tenth row (NULL on the others). The format follows the name: .mdb is Jet4, .accdb is ACE.
//
//   big_table_gen OUT.mdb|OUT.accdb [ROWS]
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/jet/jet_writer.h"
#include "writer_tables.h"

namespace {

using jet::column_type;

std::unique_ptr<jet::database_writer> new_wide(const std::string& path, jet::file_format f)
{
    return drav_test::new_keyed_table(path, f, L"Wide", {drav_test::counter_id(), drav_test::col(L"Quantity", column_type::long_integer),
                                  drav_test::col(L"Ratio", column_type::double_), drav_test::col(L"Amount", column_type::currency),
                                  drav_test::col(L"Created", column_type::datetime), drav_test::col(L"Name", column_type::text, 50),
                                  drav_test::col(L"Address", column_type::text, 120), drav_test::col(L"Active", column_type::boolean),
                                  drav_test::decimal_18_4(L"Price"), drav_test::col(L"Notes", column_type::memo)});
}

// Deterministic pseudo-random numbers (so both files hold the same values).
std::uint64_t mix(std::uint64_t x)
{
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    return x ^ (x >> 33);
}

const wchar_t* const streets[] = {L"Main Street", L"Rue de l'\u00c9glise", L"Hauptstra\u00dfe", L"Oak Avenue",
                                  L"Church Lane", L"Via Roma", L"Station Road", L"Market Square"};
const wchar_t* const towns[] = {L"Springfield", L"Montr\u00e9al", L"M\u00fcnchen", L"Bristol", L"Lyon",
                                L"Torino", L"Leeds", L"Utrecht"};

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUT.mdb|OUT.accdb [ROWS]\n", argv[0]);
        return 2;
    }
    // A file-size limit fails the write (EFBIG), reported below, instead of ending the process mid-flush.
    std::signal(SIGXFSZ, SIG_IGN);
    const std::string path = argv[1];
    const std::uint64_t rows = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000000;
    const jet::file_format f = path.ends_with(".accdb") ? jet::file_format::ace : jet::file_format::jet4;
    try {
        auto w = new_wide(path, f);
        std::vector<jet::value> row(10);
        std::wstring memo;
        for (std::uint64_t i = 0; i < rows; ++i) {
            const std::uint64_t r = mix(i);
            row[0] = jet::value();
            row[1] = jet::value(static_cast<std::int32_t>(r % 2000000) - 1000000);
            row[2] = jet::value(static_cast<double>(r % 100000000) / 997.0);
            row[3] = jet::value(jet::currency{static_cast<std::int64_t>(r % 10000000000ULL) - 2000000000LL});
            row[4] = jet::value(jet::date_time{33000.0 + static_cast<double>(r % 12000) +
                                               static_cast<double>((r >> 20) % 86400) / 86400.0});
            row[5] = jet::value(L"Customer " + std::to_wstring(100000 + r % 900000) + L" \u00e9t\u00e9");
            row[6] = jet::value(std::to_wstring(1 + r % 999) + L" " + streets[r % 8] + L", " +
                                std::to_wstring(10000 + (r >> 8) % 89999) + L" " + towns[(r >> 4) % 8] +
                                L", floor " + std::to_wstring((r >> 12) % 20));
            row[7] = jet::value((r >> 3) % 2 == 0);
            jet::decimal d;
            d.scale = 4;
            d.precision = 18;
            d.negative = (r >> 7) % 4 == 0;
            d.lo = (r >> 5) % 100000000000000ULL;
            row[8] = jet::value(d);
            if (i % 10 == 0) {
                memo = L"Note " + std::to_wstring(i) + L": ";
                while (memo.size() < 200)
                    memo += L"delivered on time, customer's signature on file; ";
                memo.resize(200);
                row[9] = jet::value(memo);
            } else {
                row[9] = jet::value();
            }
            w->append(L"Wide", row);
        }
        w->flush();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), e.what());
        return 1;
    }
    std::printf("%s: %llu rows\n", path.c_str(), static_cast<unsigned long long>(rows));
    return 0;
}

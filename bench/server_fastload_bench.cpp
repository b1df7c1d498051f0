// Loads the table Big of a benchmark database into a fresh database of a T-SQL server through
// the fast-load rowset (the driver's bulk copy) and prints the rows per second of the load.
//
//   server_fastload_bench <source.mdb> <server[,port]> <user> <password> <database>
//
// The database is made by the program (dropped first when it exists) and left behind.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "MSS/mss_db.h"
#include "MSS/mss_engi.h"
#include "TK/tk_excep.h"
#include "TK/tk_utils.h"
#include "UDB/udb_db.h"
#include "dao/dao_engi.h"

int main(int argc, char** argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s source.mdb server[,port] user password database\n", argv[0]);
        return 2;
    }
    const std::wstring source = tk_utf8_to_wstring(argv[1]), server = tk_utf8_to_wstring(argv[2]);
    const std::wstring user = tk_utf8_to_wstring(argv[3]), password = tk_utf8_to_wstring(argv[4]);
    const std::wstring database = tk_utf8_to_wstring(argv[5]);
    try {
        dao_engine dao(1, 0);
        dao.set_version_smart(source);
        dao.set_anonymous_sys_db();
        std::unique_ptr<udb_database> src_db = dao.open_db(source, 0x81, std::wstring());
        std::unique_ptr<udb_recordset> src = src_db->get_table(L"Big", 1);

        mss_engine engine(1);
        engine.connect(server, user, password, true);
        if (engine.is_db_exist(database))
            engine.delete_db(database);
        std::unique_ptr<mss_database> dst_db(engine.create_db(database));
        dst_db->enable_fast_load(true);
        std::unique_ptr<udb_recordset> dst = dst_db->create_table(L"Big", src->get_schema(), udb_indexes());

        const auto start = std::chrono::steady_clock::now();
        std::uint64_t rows = 0;
        for (src->reset(); !src->is_eof(); src->next(), ++rows)
            dst->append_record(*src->get_item());
        dst.reset();   // the last batch and the end of the load
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%llu %.3f\n", static_cast<unsigned long long>(rows), secs);
        return 0;
    } catch (const tk_exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}

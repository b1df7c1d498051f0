// Round trip over the shared corpus: every table of every file read through the Access reader classes
// and written through the Access write operations into a new Jet4 and a new ACE database, then read
// back and compared value by value. The type map changes some kinds on purpose (listed in `same`).
#include <cmath>
#include <filesystem>
#include <map>
#include <memory>

#include "tests/dao/dao_test_env.h"
#include "tests/support/access_check.h"
#include "tests/support/index_check.h"
#include "tests/support/sample.h"

using drav_test::scratch_dir;
using daotests::to_value;
using daotests::wide;

namespace {

struct table_copy {
    std::wstring name;
    udb_schema schema;
    udb_indexes indexes;
    std::vector<std::vector<ole_variant>> rows;
};

std::vector<table_copy> read_source(const std::string& path, std::string& skipped)
{
    std::vector<table_copy> out;
    dao_engine engine(1, 0);
    auto db = daotests::open_corpus(engine, path);
    for (const auto& name : db->get_tables()) {
        auto rs = db->get_table(name, 1);
        if (!rs) continue;
        table_copy t;
        t.name = name;
        t.schema = rs->get_schema();
        t.indexes = rs->get_indexes();
        for (; !rs->is_eof(); rs->next()) {
            udb_record* r = rs->get_item();
            std::vector<ole_variant> row;
            for (const udb_field* f : *r) row.push_back(f->value());
            t.rows.push_back(std::move(row));
        }
        out.push_back(std::move(t));
    }
    (void)skipped;
    return out;
}

// Whether the written value is the read one, allowing for what the type map changes on purpose:
// decimals, unsigned and 64-bit integers become doubles; VT_I1 becomes a 16-bit integer, VT_UI2 a
// 32-bit one; dates travel as their text (whole seconds... and the milliseconds the text keeps).
bool same(const ole_variant& a, const ole_variant& b, std::wstring& why)
{
    const jet::value va = to_value(a), vb = to_value(b);
    if (va == vb) return true;
    const VARTYPE ta = a.get_type(), tb = b.get_type();
    if (tb == VT_R8 && (ta == VT_DECIMAL || ta == VT_I8 || ta == VT_UI8 || ta == VT_UI4 || ta == VT_R8)) {
        double x = a.to_double(), y = b.to_double();
        if (x == y || std::fabs(x - y) <= 1e-15 * std::fabs(x)) return true;
    }
    if (ta == VT_DATE && tb == VT_DATE) {
        double x = va.as_datetime().days, y = vb.as_datetime().days;
        if (std::fabs(x - y) * 86400.0 < 0.0005) return true;
    }
    why = va.to_wstring() + L" (vt " + std::to_wstring(ta) + L") became " + vb.to_wstring() + L" (vt " +
          std::to_wstring(tb) + L")";
    return false;
}

void write_copy(dao_engine& engine, int version, const std::string& path, const std::vector<table_copy>& tables)
{
    ASSERT_TRUE(engine.set_version_if(version));
    auto db = engine.create_db(wide(path));
    for (const auto& t : tables) {
        auto rs = db->create_table(t.name, t.schema, t.indexes);
        for (const auto& row : t.rows) {
            udb_record r;
            for (std::size_t i = 0; i < row.size(); ++i)
                r.push_back(new udb_field(t.schema[i]->name, t.schema[i]->size, row[i]));
            rs->append_record(r);
        }
    }
}

void compare(const std::string& path, const std::vector<table_copy>& tables, int& cells)
{
    dao_engine engine(1, 0);
    auto db = daotests::open_corpus(engine, path);
    for (const auto& t : tables) {
        SCOPED_TRACE(tk_to_utf8(t.name));
        auto rs = db->get_table(t.name, 1);
        ASSERT_NE(rs, nullptr);
        ASSERT_EQ(rs->get_schema().size(), t.schema.size());
        std::size_t n = 0;
        for (; !rs->is_eof(); rs->next(), ++n) {
            ASSERT_LT(n, t.rows.size());
            udb_record* r = rs->get_item();
            for (std::size_t i = 0; i < r->size(); ++i) {
                std::wstring why;
                if (!same(t.rows[n][i], (*r)[i]->value(), why))
                    ADD_FAILURE() << "row " << n << " column " << i << ": " << tk_to_utf8(why);
                ++cells;
            }
        }
        EXPECT_EQ(n, t.rows.size());
    }
}

} // namespace

TEST(RoundTrip, EveryCorpusTableWrittenInBothFormatsReadsBackEqual)
{
    const std::filesystem::path root = drav_test::testdata_dir();
    if (!std::filesystem::exists(root)) GTEST_SKIP() << "test data not found";
    int files = 0, cells = 0;
    scratch_dir outputs("roundtrip");
    std::vector<std::string> written;
    std::map<std::string, std::vector<std::pair<std::string, long>>> expected_counts;
    const auto sources = drav_test::access_files(root, 4, [](const std::string& rel) {
        return rel.find("encryption/") != std::string::npos || rel.find("with-password") != std::string::npos ||
               rel.rfind("bench/", 0) == 0 || rel.find("/bench/") != std::string::npos;
    });
    for (const std::filesystem::path& file : sources) {
        const std::string p = file.string();
        SCOPED_TRACE(p);
        std::vector<table_copy> tables;
        std::string skipped;
        try {
            scratch_dir src_dir("roundtrip");
            tables = read_source(p, skipped);
        } catch (const std::exception& x) {
            ADD_FAILURE() << "cannot read: " << x.what();
            continue;
        }
        for (int version : {0, 3}) {
            SCOPED_TRACE(version);
            scratch_dir dir("roundtrip");
            const std::string out = outputs.str(std::to_string(files) + (version == 0 ? ".mdb" : ".accdb"));
            try {
                dao_engine engine(1, 0);
                write_copy(engine, version, out, tables);
            } catch (const std::exception& x) {
                ADD_FAILURE() << "cannot write: " << x.what();
                continue;
            }
            compare(out, tables, cells);
            auto jdb = jet::database::open(out);
            for (const auto* t : jdb->tables()) drav_test::expect_indexes_match_rows(*jdb, t->name);
            written.push_back(out);
            for (const auto& t : tables) expected_counts[out].emplace_back(tk_to_utf8(t.name), static_cast<long>(t.rows.size()));
        }
        ++files;
    }
    // The independent reader over every file written, in one run.
    auto others = drav_test::mdb_reader_read_all(written);
    for (const auto& path : written) {
        SCOPED_TRACE(path);
        auto& other = others[path];
        if (!other.available) continue;
        EXPECT_TRUE(other.ok) << other.error;
        for (const auto& [name, rows] : expected_counts[path]) EXPECT_EQ(other.counts[name], rows) << name;
    }
    EXPECT_GT(files, drav_test::full_or(30, 7));
    EXPECT_GT(cells, drav_test::full_or(1000, 200));
}

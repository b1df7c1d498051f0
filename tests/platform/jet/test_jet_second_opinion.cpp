// A second opinion on the two 100,000-row benchmark files, which have no expected results of their own:
// every value of table Big against mdb-export (Debian mdbtools), allowing for mdbtools' known text faults.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/jet/jet_database.h"
#include "tests/support/testdata.h"

namespace {

// Reads one CSV record (quoted fields may hold commas, doubled quotes and line breaks).
bool read_record(std::FILE* in, std::vector<std::string>& fields)
{
    fields.clear();
    std::string cur;
    bool quoted = false, any = false;
    int c;
    while ((c = std::fgetc(in)) != EOF) {
        any = true;
        if (quoted) {
            if (c == '"') {
                int d = std::fgetc(in);
                if (d == '"') {
                    cur.push_back('"');
                } else {
                    quoted = false;
                    if (d != EOF) std::ungetc(d, in);
                }
            } else {
                cur.push_back(static_cast<char>(c));
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.push_back(cur);
            cur.clear();
        } else if (c == '\n') {
            fields.push_back(cur);
            return true;
        } else {
            cur.push_back(static_cast<char>(c));
        }
    }
    if (any) fields.push_back(cur);
    return any;
}

std::wstring from_utf8(const std::string& s)
{
    std::wstring out;
    for (std::size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        char32_t u;
        int extra;
        if (c < 0x80) { u = c; extra = 0; }
        else if (c < 0xE0) { u = c & 0x1F; extra = 1; }
        else if (c < 0xF0) { u = c & 0x0F; extra = 2; }
        else { u = c & 0x07; extra = 3; }
        ++i;
        for (int k = 0; k < extra && i < s.size(); ++k) u = (u << 6) | (static_cast<unsigned char>(s[i++]) & 0x3F);
        out.push_back(static_cast<wchar_t>(u));
    }
    return out;
}

void compare_with_mdb_export(const std::string& path)
{
    if (std::system("command -v mdb-export >/dev/null 2>&1") != 0) GTEST_SKIP() << "mdb-export not installed";
    std::string cmd = "mdb-export -T '%Y-%m-%d %H:%M:%S' '" + path + "' Big";
    std::FILE* in = ::popen(cmd.c_str(), "r");
    ASSERT_NE(in, nullptr);
    auto db = jet::database::open(path);
    auto def = db->table(L"Big");
    auto cur = db->rows(def);
    std::vector<std::string> fields;
    ASSERT_TRUE(read_record(in, fields));
    ASSERT_EQ(fields.size(), def->columns.size());
    for (std::size_t i = 0; i < fields.size(); ++i) EXPECT_EQ(from_utf8(fields[i]), def->columns[i].name);

    std::size_t rows = 0, memo_cut = 0, failures = 0;
    while (read_record(in, fields)) {
        ASSERT_TRUE(cur.next()) << "fewer rows than mdb-export after " << rows;
        ASSERT_EQ(fields.size(), def->columns.size());
        for (std::size_t i = 0; i < fields.size() && failures < 20; ++i) {
            const jet::value& v = cur[i];
            const std::string& theirs = fields[i];
            bool same = true;
            if (v.is_null()) {
                same = theirs.empty();
            } else {
                switch (v.type()) {
                case jet::value::double_k: {
                    double t = std::strtod(theirs.c_str(), nullptr);
                    same = std::fabs(t - v.as_double()) <= 1e-14 * std::fabs(v.as_double());
                    break;
                }
                case jet::value::boolean_k: same = theirs == (v.as_bool() ? "1" : "0"); break;
                case jet::value::datetime_k: {
                    jet::date_parts p = jet::split_date(v.as_datetime().days);
                    char buf[32];
                    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day, p.hour,
                                  p.minute, p.second);
                    same = theirs == buf;
                    break;
                }
                case jet::value::guid_k: {
                    // mdbtools leaves out the dash before the last group.
                    std::wstring g = v.as_guid().to_wstring();
                    g.erase(24, 1);
                    same = from_utf8(theirs) == g;
                    break;
                }
                case jet::value::text_k: {
                    std::wstring t = from_utf8(theirs);
                    same = t == v.as_text();
                    // mdbtools fault: long memo text comes out cut short.
                    if (!same && t.size() < v.as_text().size() && v.as_text().compare(0, t.size(), t) == 0) {
                        same = true;
                        ++memo_cut;
                    }
                    break;
                }
                default: same = from_utf8(theirs) == v.to_wstring(); break;
                }
            }
            if (!same) {
                ++failures;
                ADD_FAILURE() << "row " << rows << " column " << i << ": mdb-export says '" << theirs.substr(0, 80)
                              << "'";
            }
        }
        ++rows;
    }
    ::pclose(in);
    EXPECT_FALSE(cur.next()) << "more rows than mdb-export";
    EXPECT_EQ(rows, 100000u);
    ::testing::Test::RecordProperty("memo_values_cut_by_mdbtools", static_cast<int>(memo_cut));
}

TEST(JetSecondOpinion, BigTableOfTheJet4BenchmarkFile)
{
    DRAV_TESTDATA_OR_SKIP(f, "bench/bench100k_V2003.mdb");
    compare_with_mdb_export(f);
}

TEST(JetSecondOpinion, BigTableOfTheAceBenchmarkFile)
{
    DRAV_TESTDATA_OR_SKIP(f, "bench/bench100k_V2010.accdb");
    compare_with_mdb_export(f);
}

} // namespace

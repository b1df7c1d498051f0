// Every value of every shared Access file survives a whole conversion into a T-SQL script: the INSERT
// literals are read back and compared with the expected values, the CREATE TABLE types with the
// expected schema.
// Differences the script makes on purpose, checked as such value kind by value kind:
// - dates are written to the millisecond (Date/Time Extended values lose digits past the third);
// - a GUID is written bare, without braces, for the uniqueidentifier column;
// - a complex column becomes one value: the first attachment's data, the multi-value items joined
//   by "; ", the newest text of an append-only memo; none at all is NULL;
// - a table whose name SQL Server would not take bare (Access's "~TMPCLP..." tables) gets a leading "_".
#include <cwchar>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cwctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "TK/tk_errh.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "common/acc_conv.h"
#include "tests/common/fidelity_compare.h"
#include "tests/support/complex_expected.h"
#include "tests/support/run_observers.h"
#include "tests/support/scratch.h"
#include "tests/support/testdata.h"

namespace fs = std::filesystem;
using expected::json;

namespace {

using namespace fidelity;

using drav_test::quiet_frontend;
using drav_test::recording_handler;

// What a script says about one table: column types and the rows of its INSERT statements.
struct script_table {
    std::vector<std::pair<std::wstring, std::wstring>> columns;  // name, type text as written
    std::vector<bool> not_null;
    std::vector<std::vector<literal>> rows;
};

// A small T-SQL reader for the statements the script destination writes.
class script_reader {
public:
    explicit script_reader(std::wstring s) : s_(std::move(s)) {}

    std::map<std::wstring, script_table> read()
    {
        std::map<std::wstring, script_table> out;
        for (std::size_t p = 0; p < s_.size();) {
            const std::size_t create = s_.find(L"CREATE TABLE [dbo].", p);
            const std::size_t insert = s_.find(L"INSERT INTO [dbo].", p);
            if (create == std::wstring::npos && insert == std::wstring::npos)
                break;
            if (create < insert) {
                i_ = create + 19;
                read_create(out[name()]);
            } else {
                i_ = insert + 18;
                read_insert(out[name()]);
            }
            p = i_;
        }
        return out;
    }

private:
    std::wstring name()
    {
        std::wstring n;
        if (i_ >= s_.size() || s_[i_] != L'[')
            throw std::runtime_error("name expected");
        for (++i_; i_ < s_.size(); ++i_) {
            if (s_[i_] == L']') {
                if (i_ + 1 < s_.size() && s_[i_ + 1] == L']') {
                    n += L']';
                    ++i_;
                    continue;
                }
                ++i_;
                return n;
            }
            n += s_[i_];
        }
        throw std::runtime_error("open name");
    }
    void skip()
    {
        while (i_ < s_.size() && std::iswspace(static_cast<wint_t>(s_[i_])))
            ++i_;
    }
    void read_create(script_table& t)
    {
        const std::size_t end = s_.find(L"\n)", i_);
        while (true) {
            const std::size_t line = s_.find(L"\n\t[", i_);
            if (line == std::wstring::npos || line > end)
                break;
            i_ = line + 2;
            std::wstring col = name();
            const std::size_t stop = s_.find_first_of(L"\r\n", i_);
            std::wstring rest = s_.substr(i_, stop - i_);
            t.not_null.push_back(rest.find(L" NOT NULL") != std::wstring::npos);
            for (const wchar_t* cut : {L" NOT NULL", L" DEFAULT", L" NULL"})
                if (const auto at = rest.find(cut); at != std::wstring::npos)
                    rest.erase(at);
            while (!rest.empty() && (rest.back() == L',' || rest.back() == L' '))
                rest.pop_back();
            while (!rest.empty() && rest.front() == L' ')
                rest.erase(0, 1);
            t.columns.emplace_back(col, rest);
            i_ = stop;
        }
    }
    void read_insert(script_table& t)
    {
        i_ = s_.find(L") VALUES ", i_);
        if (i_ == std::wstring::npos)
            throw std::runtime_error("VALUES expected");
        i_ += 9;
        while (true) {
            skip();
            if (i_ >= s_.size() || s_[i_] != L'(')
                return;
            ++i_;
            std::vector<literal> row;
            while (true) {
                skip();
                row.push_back(value());
                skip();
                if (i_ < s_.size() && s_[i_] == L',') {
                    ++i_;
                    continue;
                }
                if (i_ < s_.size() && s_[i_] == L')') {
                    ++i_;
                    break;
                }
                throw std::runtime_error("bad VALUES list");
            }
            t.rows.push_back(std::move(row));
            skip();
            if (i_ < s_.size() && s_[i_] == L',')
                ++i_;
            else
                return;
        }
    }
    // The body of one quoted piece at i_ (the quote itself), appended to text.
    void quoted_piece(std::wstring& text)
    {
        for (++i_; i_ < s_.size(); ++i_) {
            if (s_[i_] == L'\'') {
                if (i_ + 1 < s_.size() && s_[i_ + 1] == L'\'') {
                    text += L'\'';
                    ++i_;
                    continue;
                }
                ++i_;
                return;
            }
            text += s_[i_];
        }
        throw std::runtime_error("open literal");
    }
    bool at(const wchar_t* w) const { return s_.compare(i_, std::wcslen(w), w) == 0; }

    // "(CAST(N'' AS NVARCHAR(MAX)) + N'..' + NCHAR(10) + ... )": a text written in pieces.
    literal concatenation()
    {
        literal v;
        v.type = literal::text_k;
        v.n_prefix = at(L"(CAST(N'");
        const std::size_t head = s_.find(L"(MAX))", i_);
        if (head == std::wstring::npos)
            throw std::runtime_error("bad concatenation");
        i_ = head + 6;
        while (at(L" + ")) {
            i_ += 3;
            if (at(L"NCHAR(") || at(L"CHAR(")) {
                i_ = s_.find(L'(', i_) + 1;
                const std::size_t end = s_.find(L')', i_);
                v.text += static_cast<wchar_t>(std::stoul(s_.substr(i_, end - i_)));
                i_ = end + 1;
                continue;
            }
            if (s_[i_] == L'N')
                ++i_;
            quoted_piece(v.text);
        }
        if (!at(L")"))
            throw std::runtime_error("open concatenation");
        ++i_;
        return v;
    }

    literal value()
    {
        if (at(L"(CAST("))
            return concatenation();
        literal v;
        if (s_[i_] == L'N' && i_ + 1 < s_.size() && s_[i_ + 1] == L'\'') {
            v.n_prefix = true;
            ++i_;
        }
        if (s_[i_] == L'\'') {
            v.type = literal::text_k;
            quoted_piece(v.text);
            return v;
        }
        // Anything else runs to the next comma or closing parenthesis outside parentheses and quotes
        // (numbers, NULL, 0x.., function forms).
        int depth = 0;
        bool quoted = false;
        for (; i_ < s_.size(); ++i_) {
            const wchar_t c = s_[i_];
            if (quoted) {
                if (c == L'\'')
                    quoted = false;
            } else if (c == L'\'') {
                quoted = true;
            } else if (c == L'(') {
                ++depth;
            } else if ((c == L',' || c == L')') && depth == 0) {
                break;
            } else if (c == L')') {
                --depth;
            }
            v.text += c;
        }
        while (!v.text.empty() && std::iswspace(static_cast<wint_t>(v.text.back())))
            v.text.pop_back();
        if (v.text == L"NULL")
            v.type = literal::null_k;
        else if (v.text.size() >= 2 && v.text[0] == L'0' && (v.text[1] == L'x' || v.text[1] == L'X'))
            v.type = literal::binary_k;
        return v;
    }

    std::wstring s_;
    std::size_t i_ = 0;
};


struct fidelity_stats {
    int values = 0, mismatches = 0, tables = 0, rows = 0;
};


// The column type that the expected schema's column must become ("" when it depends on more than
// the schema tells, such as the Format of a date column).
std::wstring expected_type(const json& c, const std::wstring& written, bool jet3)
{
    const std::string t = narrow(c["type"].text);
    const bool is_auto = c["auto"].type == json::bool_k && c["auto"].b;
    const long len = static_cast<long>(c["len"].number);
    if (t == "BYTE" || t == "INT" || t == "LONG")
        return is_auto ? L"INT IDENTITY" : L"INT";
    if (t == "BIG_INT")
        return L"BIGINT";
    if (t == "DOUBLE")
        return L"FLOAT";
    if (t == "FLOAT")
        return L"REAL";
    if (t == "BOOLEAN")
        return L"BIT";
    if (t == "MONEY")
        return L"NUMERIC(19,4)";
    if (t == "NUMERIC")
        return L"NUMERIC(" + std::to_wstring(static_cast<long>(c["prec"].number)) + L"," +
               std::to_wstring(static_cast<long>(c["scale"].number)) + L")";
    if (t == "GUID")
        return L"uniqueidentifier";
    if (t == "MEMO")
        return L"NVARCHAR(MAX)";
    if (t == "OLE")
        return L"VARBINARY(MAX)";
    if (t == "SHORT_DATE_TIME" || t == "EXT_DATE_TIME")
        return written == L"DATE" || written == L"TIME" ? written : L"DATETIME2";
    if (t == "TEXT") {
        // The schema gives bytes; the files of Access 2000 and later keep two bytes a character.
        const long chars = jet3 ? len : len / 2;
        return chars >= 1 && chars <= 3999 ? L"NVARCHAR(" + std::to_wstring(chars) + L")" : L"NVARCHAR(MAX)";
    }
    if (t == "BINARY")
        return L"VARBINARY(" + std::to_wstring(len) + L")";
    return written;
}

class Fidelity : public ::testing::Test {
protected:
    std::string convert(const std::string& src, bool definitions_only = false)
    {
        dravlen_convertor conv(true);
        conv.set_frontend(&frontend);
        conv.only_definitions = definitions_only;
        conv.source = tk_utf8_to_wstring(src);
        conv.destination = tk_utf8_to_wstring((dir / "out.sql").string());
        conv.direct = false;
        conv();
        EXPECT_TRUE(conv.finished) << src;
        return drav_test::read_file(dir / "out.sql");
    }

    drav_test::scratch_dir scratch{"fid"};
    const fs::path& dir = scratch.path();
    tk_logger logger{nullptr, false, 3, false};
    recording_handler handler;
    quiet_frontend frontend;
};


} // namespace

TEST_F(Fidelity, EveryValueOfEveryFileArrivesIntact)
{
    if (drav_test::testdata("expected/values").empty())
        GTEST_SKIP() << "test data not found";
    fidelity_stats stats;
    int files = 0;
    for (const std::string& rel : value_files()) {
        const std::string src = drav_test::testdata(rel);
        if (src.empty())
            continue;
        ++files;
        handler.messages.clear();
        std::map<std::wstring, script_table> script;
        try {
            script = script_reader(tk_utf8_to_wstring(convert(src))).read();
        } catch (const std::exception& e) {
            ADD_FAILURE() << rel << ": script unreadable: " << e.what();
            continue;
        }
        const auto lines = expected::read_lines(drav_test::testdata("expected/values/" + rel + ".jsonl"));
        std::map<std::wstring, std::vector<std::string>> types;
        for (const json& line : lines) {
            const std::wstring table = line["table"].text;
            if (line.get("error"))
                continue;  // a linked table whose target is absent
            if (line.get("columns")) {
                ++stats.tables;
                for (const json& c : line["columns"].items)
                    types[table].push_back(narrow(c.items[1].text));
                continue;
            }
            const long r = static_cast<long>(line["row"].number);
            ++stats.rows;
            auto t = script.find(table);
            if (t == script.end())
                t = script.find(L"_" + table);  // a name SQL Server would not take bare gets a leading "_"
            if (t == script.end() || r >= static_cast<long>(t->second.rows.size())) {
                ADD_FAILURE() << rel << " table " << narrow(table) << ": row " << r << " missing";
                continue;
            }
            const auto& got = t->second.rows[static_cast<std::size_t>(r)];
            const auto& want = line["values"].items;
            if (got.size() != want.size()) {
                ADD_FAILURE() << rel << " table " << narrow(table) << " row " << r << ": " << got.size()
                              << " values, expected " << want.size();
                continue;
            }
            for (std::size_t i = 0; i < want.size(); ++i) {
                ++stats.values;
                // A NULL into a NOT NULL column would stop the whole statement on the server.
                EXPECT_FALSE(got[i].type == literal::null_k && i < t->second.not_null.size() && t->second.not_null[i])
                    << rel << " table " << narrow(table) << " row " << r << " column "
                    << narrow(t->second.columns[i].first) << ": NULL into a NOT NULL column";
                const std::string diff = compare(types[table][i], want[i], got[i]);
                if (!diff.empty()) {
                    ++stats.mismatches;
                    ADD_FAILURE() << rel << " table " << narrow(table) << " row " << r << " column "
                                  << narrow(t->second.columns.size() > i ? t->second.columns[i].first : L"?")
                                  << " (" << types[table][i] << "): " << diff;
                }
            }
        }
        for (const auto& [table, t] : script) {
            long want = 0;
            for (const json& line : lines)
                if (line["table"].text == table && line.get("row"))
                    ++want;
            if (types.count(table)) {
                EXPECT_EQ(static_cast<long>(t.rows.size()), want) << rel << " table " << narrow(table);
            }
        }
    }
    EXPECT_GT(files, 40);
    EXPECT_EQ(stats.mismatches, 0);
    std::printf("%d files, %d tables, %d rows, %d values compared\n", files, stats.tables, stats.rows, stats.values);
}

TEST_F(Fidelity, ColumnTypesFollowTheSchema)
{
    const std::string schema_path = drav_test::testdata("expected/schema.jsonl");
    if (schema_path.empty())
        GTEST_SKIP() << "test data not found";
    int columns = 0;
    for (const json& file : expected::read_lines(schema_path)) {
        const std::string rel = narrow(file["file"].text);
        if (rel.find("with-password") != std::string::npos || rel.find("encryption") != std::string::npos ||
            file.get("tables") == nullptr)
            continue;
        const std::string src = drav_test::testdata(rel);
        if (src.empty())
            continue;
        const bool jet3 = file["format"].text.find(L"VERSION_3") != std::wstring::npos;
        const auto script = script_reader(tk_utf8_to_wstring(convert(src, true))).read();
        for (const json& t : file["tables"].items) {
            auto st = script.find(t["name"].text);
            if (st == script.end())
                st = script.find(L"_" + t["name"].text);
            if (st == script.end())
                continue;  // system, linked or unreadable tables are checked elsewhere
            for (const json& c : t["columns"].items) {
                const std::wstring name = c["name"].text;
                const auto at = std::find_if(st->second.columns.begin(), st->second.columns.end(),
                                             [&](const auto& p) { return p.first == name; });
                if (at == st->second.columns.end()) {
                    ADD_FAILURE() << rel << " " << narrow(t["name"].text) << "." << narrow(name) << " missing";
                    continue;
                }
                ++columns;
                const json& type = c["type"];
                if (type.text == L"COMPLEX_TYPE")
                    continue;
                if (c["calc"].type == json::bool_k && c["calc"].b && type.text == L"NUMERIC") {
                    // Its values carry scales of their own; a fixed NUMERIC would round them.
                    EXPECT_EQ(narrow(at->second), "FLOAT") << rel << " " << narrow(name);
                    continue;
                }
                EXPECT_EQ(narrow(at->second), narrow(expected_type(c, at->second, jet3)))
                    << rel << " " << narrow(t["name"].text) << "." << narrow(name);
            }
        }
    }
    EXPECT_GT(columns, 100);
}

TEST_F(Fidelity, BenchDecimalKeepsItsPrecision)
{
    DRAV_TESTDATA_OR_SKIP(src, "bench/bench100k_V2003.mdb");
    const auto script = script_reader(tk_utf8_to_wstring(convert(src, true))).read();
    ASSERT_TRUE(script.count(L"Big"));
    std::map<std::wstring, std::wstring> cols(script.at(L"Big").columns.begin(), script.at(L"Big").columns.end());
    EXPECT_EQ(cols[L"Price"], L"NUMERIC(18,4)");
    EXPECT_EQ(cols[L"Amount"], L"NUMERIC(19,4)");
    EXPECT_EQ(cols[L"Ratio"], L"FLOAT");
    EXPECT_EQ(cols[L"ID"], L"INT IDENTITY");
}

// Access SQL to SQLite: a tokenizer and a recursive-descent parser that writes the SQLite text as it goes.
#include "platform/dao/dao_accsql.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <map>

#include "platform/com/oleauto.h"

namespace daoimpl {

namespace {

enum class tk { end, word, bracket, string, number, date, op };

struct token {
    tk kind = tk::end;
    std::wstring text; // word/bracket/string content, operator text, number text, date text
    std::size_t pos = 0;
};

bool same(const std::wstring& a, const wchar_t* b)
{
    std::size_t n = 0;
    for (; b[n]; ++n)
        if (n >= a.size() || std::towupper(a[n]) != std::towupper(b[n])) return false;
    return n == a.size();
}

std::vector<token> tokenize(const std::wstring& s)
{
    std::vector<token> out;
    std::size_t i = 0;
    auto bad = [&](std::size_t at) { throw sql_error{3141, s.substr(at, 20)}; };
    while (i < s.size()) {
        wchar_t c = s[i];
        if (std::iswspace(c)) { ++i; continue; }
        token t;
        t.pos = i;
        if (c == L'[') {
            std::size_t e = s.find(L']', i + 1);
            if (e == std::wstring::npos) bad(i);
            t.kind = tk::bracket;
            t.text = s.substr(i + 1, e - i - 1);
            i = e + 1;
        } else if (c == L'\'' || c == L'"') {
            t.kind = tk::string;
            std::size_t j = i + 1;
            for (;;) {
                if (j >= s.size()) bad(i);
                if (s[j] == c) {
                    if (j + 1 < s.size() && s[j + 1] == c) { t.text += c; j += 2; continue; }
                    break;
                }
                t.text += s[j++];
            }
            i = j + 1;
        } else if (c == L'{' && s.compare(i, 7, L"{guid {") == 0) {
            // A GUID literal, compared as the text DAO gives GUID values.
            std::size_t e = s.find(L"}}", i);
            if (e == std::wstring::npos) bad(i);
            t.kind = tk::string;
            t.text = s.substr(i, e + 2 - i);
            std::wstring inner = t.text.substr(7, t.text.size() - 9);
            for (auto& ch : inner) ch = static_cast<wchar_t>(std::towupper(ch));
            t.text = L"{guid {" + inner + L"}}";
            i = e + 2;
        } else if (c == L'#') {
            std::size_t e = s.find(L'#', i + 1);
            if (e == std::wstring::npos) bad(i);
            t.kind = tk::date;
            t.text = s.substr(i + 1, e - i - 1);
            i = e + 1;
        } else if (std::iswdigit(c) || (c == L'.' && i + 1 < s.size() && std::iswdigit(s[i + 1]))) {
            std::size_t j = i;
            while (j < s.size() && (std::iswdigit(s[j]) || s[j] == L'.')) ++j;
            if (j < s.size() && (s[j] == L'e' || s[j] == L'E') && j + 1 < s.size() &&
                (std::iswdigit(s[j + 1]) || ((s[j + 1] == L'-' || s[j + 1] == L'+') && j + 2 < s.size() && std::iswdigit(s[j + 2])))) {
                j += 2;
                while (j < s.size() && std::iswdigit(s[j])) ++j;
            }
            t.kind = tk::number;
            t.text = s.substr(i, j - i);
            i = j;
        } else if (std::iswalpha(c) || c == L'_' || c > 0x7F) {
            std::size_t j = i;
            while (j < s.size() && (std::iswalnum(s[j]) || s[j] == L'_' || s[j] == L'$' || s[j] > 0x7F)) ++j;
            t.kind = tk::word;
            t.text = s.substr(i, j - i);
            i = j;
        } else {
            static const wchar_t* two[] = {L"<>", L"<=", L">=", L"!="};
            t.kind = tk::op;
            bool found = false;
            for (const wchar_t* o : two)
                if (s.compare(i, 2, o) == 0) { t.text = o; i += 2; found = true; break; }
            if (!found) {
                if (std::wstring(L"(),.!;*+-/\\^&=<>?").find(c) == std::wstring::npos) bad(i);
                t.text = std::wstring(1, c);
                ++i;
            }
        }
        out.push_back(std::move(t));
    }
    token e;
    e.pos = s.size();
    out.push_back(e);
    return out;
}

std::wstring quote_name(const std::wstring& n)
{
    std::wstring q = L"\"";
    for (wchar_t c : n) {
        if (c == L'"') q += L'"';
        q += c;
    }
    return q + L"\"";
}

std::wstring quote_text(const std::wstring& s)
{
    std::wstring q = L"'";
    for (wchar_t c : s) {
        if (c == L'\'') q += L'\'';
        q += c;
    }
    return q + L"'";
}

struct expr {
    std::wstring sql;
    sql_hint hint = sql_hint::unknown;
    bool colref = false;
    std::wstring column;     // bare column name of a column reference
    bool aggregate = false;
    std::wstring agg_name;   // Sum, Count ... over a column reference: Access names the result SumOfX
    std::wstring agg_column;
    std::wstring arg_sql;    // same_as_arg
};

// Function translation: SQLite text from the translated arguments.
struct func_def {
    int min_args, max_args;
    sql_hint hint;
    std::function<std::wstring(const std::vector<expr>&)> emit;
    bool aggregate = false;
};

std::wstring call(const wchar_t* f, const std::vector<expr>& a)
{
    std::wstring s = f;
    s += L"(";
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (i) s += L", ";
        s += a[i].sql;
    }
    return s + L")";
}

const std::map<std::wstring, func_def>& functions()
{
    static const std::map<std::wstring, func_def> m = [] {
        std::map<std::wstring, func_def> f;
        auto simple = [&](const wchar_t* name, const wchar_t* target, int lo, int hi, sql_hint h) {
            std::wstring t = target;
            f[name] = {lo, hi, h, [t](const std::vector<expr>& a) { return call(t.c_str(), a); }};
        };
        f[L"IIF"] = {3, 3, sql_hint::unknown, [](const std::vector<expr>& a) {
                         return L"(CASE WHEN " + a[0].sql + L" THEN " + a[1].sql + L" ELSE " + a[2].sql + L" END)";
                     }};
        f[L"NZ"] = {1, 2, sql_hint::unknown, [](const std::vector<expr>& a) {
                        return L"COALESCE(" + a[0].sql + L", " + (a.size() > 1 ? a[1].sql : L"''") + L")";
                    }};
        simple(L"LEN", L"dao_len", 1, 1, sql_hint::long_);
        simple(L"LEFT", L"dao_left", 2, 2, sql_hint::text);
        simple(L"RIGHT", L"dao_right", 2, 2, sql_hint::text);
        simple(L"MID", L"dao_mid", 2, 3, sql_hint::text);
        simple(L"INSTR", L"dao_instr", 2, 4, sql_hint::long_);
        simple(L"UCASE", L"dao_upper", 1, 1, sql_hint::text);
        simple(L"LCASE", L"dao_lower", 1, 1, sql_hint::text);
        simple(L"TRIM", L"dao_trim", 1, 1, sql_hint::text);
        simple(L"LTRIM", L"dao_ltrim", 1, 1, sql_hint::text);
        simple(L"RTRIM", L"dao_rtrim", 1, 1, sql_hint::text);
        simple(L"SPACE", L"dao_space", 1, 1, sql_hint::text);
        simple(L"CHR", L"dao_chr", 1, 1, sql_hint::text);
        simple(L"ASC", L"dao_asc", 1, 1, sql_hint::long_);
        simple(L"STRCOMP", L"dao_strcomp", 2, 3, sql_hint::long_);
        simple(L"REPLACE", L"dao_replace", 3, 3, sql_hint::text);
        simple(L"FORMAT", L"dao_format", 1, 2, sql_hint::text);
        simple(L"YEAR", L"dao_year", 1, 1, sql_hint::long_);
        simple(L"MONTH", L"dao_month", 1, 1, sql_hint::long_);
        simple(L"DAY", L"dao_day", 1, 1, sql_hint::long_);
        simple(L"HOUR", L"dao_hour", 1, 1, sql_hint::long_);
        simple(L"MINUTE", L"dao_minute", 1, 1, sql_hint::long_);
        simple(L"SECOND", L"dao_second", 1, 1, sql_hint::long_);
        simple(L"WEEKDAY", L"dao_weekday", 1, 2, sql_hint::long_);
        simple(L"DATE", L"dao_today", 0, 0, sql_hint::date);
        simple(L"NOW", L"dao_now", 0, 0, sql_hint::date);
        simple(L"TIME", L"dao_time", 0, 0, sql_hint::date);
        simple(L"DATEADD", L"dao_dateadd", 3, 3, sql_hint::date);
        simple(L"DATEDIFF", L"dao_datediff", 3, 5, sql_hint::long_);
        simple(L"DATEPART", L"dao_datepart", 2, 4, sql_hint::long_);
        simple(L"DATESERIAL", L"dao_dateserial", 3, 3, sql_hint::date);
        simple(L"TIMESERIAL", L"dao_timeserial", 3, 3, sql_hint::date);
        simple(L"DATEVALUE", L"dao_datevalue", 1, 1, sql_hint::date);
        simple(L"CINT", L"dao_cint", 1, 1, sql_hint::long_);
        simple(L"CLNG", L"dao_clng", 1, 1, sql_hint::long_);
        simple(L"CDBL", L"dao_cdbl", 1, 1, sql_hint::double_);
        simple(L"CSNG", L"dao_cdbl", 1, 1, sql_hint::double_);
        simple(L"CSTR", L"dao_cstr", 1, 1, sql_hint::text);
        simple(L"CDATE", L"dao_cdate", 1, 1, sql_hint::date);
        simple(L"CVDATE", L"dao_cdate", 1, 1, sql_hint::date);
        simple(L"CBOOL", L"dao_cbool", 1, 1, sql_hint::boolean);
        simple(L"CCUR", L"dao_ccur", 1, 1, sql_hint::currency);
        simple(L"VAL", L"dao_val", 1, 1, sql_hint::double_);
        simple(L"ABS", L"abs", 1, 1, sql_hint::unknown);
        simple(L"INT", L"dao_int", 1, 1, sql_hint::unknown);
        simple(L"FIX", L"dao_fix", 1, 1, sql_hint::unknown);
        simple(L"ROUND", L"dao_round", 1, 2, sql_hint::double_);
        simple(L"SGN", L"dao_sgn", 1, 1, sql_hint::long_);
        simple(L"SQR", L"dao_sqr", 1, 1, sql_hint::double_);
        simple(L"ISNULL", L"dao_isnull", 1, 1, sql_hint::boolean);
        simple(L"ISNUMERIC", L"dao_isnumeric", 1, 1, sql_hint::boolean);
        simple(L"ISDATE", L"dao_isdate", 1, 1, sql_hint::boolean);
        // Aggregates.
        auto agg = [&](const wchar_t* name, const wchar_t* target, sql_hint h) {
            std::wstring t = target;
            f[name] = {1, 1, h, [t](const std::vector<expr>& a) { return call(t.c_str(), a); }, true};
        };
        agg(L"COUNT", L"count", sql_hint::long_);
        agg(L"SUM", L"sum", sql_hint::same_as_arg);
        agg(L"AVG", L"avg", sql_hint::double_);
        agg(L"MIN", L"min", sql_hint::same_as_arg);
        agg(L"MAX", L"max", sql_hint::same_as_arg);
        agg(L"FIRST", L"dao_first", sql_hint::same_as_arg);
        agg(L"LAST", L"dao_last", sql_hint::same_as_arg);
        agg(L"STDEV", L"dao_stdev", sql_hint::double_);
        agg(L"STDEVP", L"dao_stdevp", sql_hint::double_);
        agg(L"VAR", L"dao_var", sql_hint::double_);
        agg(L"VARP", L"dao_varp", sql_hint::double_);
        return f;
    }();
    return m;
}

class parser {
public:
    parser(const std::wstring& text, const sql_resolver& resolve) : src_(text), t_(tokenize(text)), resolve_(resolve) {}

    translated_sql statement()
    {
        translated_sql out;
        // PARAMETERS a Text, b Long; declarations: the names stay unknown and are reported as missing.
        if (is_word(L"PARAMETERS")) {
            while (!at_end() && !is_op(L";")) ++i_;
            if (!accept_op(L";")) throw sql_error{3141, {}};
        }
        expr agg;
        if (accept_word(L"TRANSFORM")) {
            // Crosstab: the aggregate is computed once per pivot value (see translated_sql).
            out.crosstab = true;
            crosstab_ = true;
            pivot_mode_ = true;
            expr_start_ = cur().pos;
            agg = expression();
            pivot_mode_ = false;
            if (!agg.aggregate) throw sql_error{3141, {}};
            if (accept_word(L"AS")) {
                if (!name_token()) throw sql_error{3141, {}};
                take_name();
            }
            if (!is_word(L"SELECT")) throw sql_error{3141, {}};
        } else if (!is_word(L"SELECT") && !is_op(L"(")) {
            throw sql_error{3129, {}};
        }
        top_ = true;
        std::wstring s = compound(out);
        if (out.crosstab) {
            if (!accept_word(L"PIVOT")) throw sql_error{3141, {}};
            expr_start_ = cur().pos;
            expr pivot = concat(); // below comparisons: IN here starts the list of pivot values
            if (accept_word(L"IN")) {
                expect_op(L"(", 3141);
                do {
                    const token& t = cur();
                    std::wstring name = t.kind == tk::string || t.kind == tk::bracket ? t.text : t.text;
                    out.in_values.push_back(to_utf8(expression().sql));
                    out.in_names.push_back(name);
                } while (accept_op(L","));
                expect_op(L")", 3141);
            }
            std::wstring a = agg.sql;
            for (std::size_t p = a.find(L"\x01P\x01"); p != std::wstring::npos; p = a.find(L"\x01P\x01", p))
                a.replace(p, 3, L"(" + pivot.sql + L")"), p += pivot.sql.size() + 2;
            out.agg_sql = to_utf8(a);
            s.insert(outer_list_end_, L"\x01K\x01");
            out.values_sql = to_utf8(L"SELECT DISTINCT " + pivot.sql + L" AS v " + outer_from_ + outer_where_ + L" ORDER BY 1");
        }
        accept_op(L";");
        if (!at_end()) throw sql_error{3141, {}};
        // A statement that reads more than one table (joins, subqueries) reads each table once into a
        // temporary copy, which SQLite can index for the join; a single table is read straight.
        if (!ctes_.empty()) {
            std::wstring with = L"WITH ";
            for (std::size_t k = 0; k < ctes_.size(); ++k) {
                if (k) with += L", ";
                with += quote_name(L"m_" + ctes_[k]) + L" AS " + (table_refs_ > 1 ? L"MATERIALIZED " : L"") +
                        L"(SELECT * FROM " + quote_name(ctes_[k]) + L")";
            }
            s = with + L" " + s;
            out.with_sql = to_utf8(with + L" ");
        }
        out.sql = to_utf8(s);
        if (out.crosstab) out.values_sql = out.with_sql + out.values_sql;
        return out;
    }

private:
    // ---- token helpers
    const token& cur() const { return t_[i_]; }
    bool at_end() const { return cur().kind == tk::end; }
    bool is_word(const wchar_t* w) const { return cur().kind == tk::word && same(cur().text, w); }
    bool is_word_at(std::size_t k, const wchar_t* w) const
    {
        return i_ + k < t_.size() && t_[i_ + k].kind == tk::word && same(t_[i_ + k].text, w);
    }
    bool is_op(const wchar_t* o) const { return cur().kind == tk::op && cur().text == o; }
    bool accept_word(const wchar_t* w)
    {
        if (!is_word(w)) return false;
        ++i_;
        return true;
    }
    bool accept_op(const wchar_t* o)
    {
        if (!is_op(o)) return false;
        ++i_;
        return true;
    }
    void expect_op(const wchar_t* o, long err)
    {
        if (!accept_op(o)) throw sql_error{err, context()};
    }
    std::wstring context() const
    {
        std::size_t a = expr_start_ < src_.size() ? expr_start_ : 0;
        std::size_t b = cur().pos;
        if (b <= a) b = std::min(src_.size(), a + 40);
        // Up to the end of the current clause.
        for (std::size_t k = i_; k < t_.size(); ++k) {
            if (t_[k].kind == tk::end) { b = src_.size(); break; }
            if (t_[k].kind == tk::word && is_clause_word(t_[k].text)) { b = t_[k].pos; break; }
            if (t_[k].kind == tk::op && (t_[k].text == L"," || t_[k].text == L";")) { b = t_[k].pos; break; }
        }
        std::wstring s = src_.substr(a, b > a ? b - a : 0);
        while (!s.empty() && std::iswspace(s.back())) s.pop_back();
        return s;
    }
    // The source text of the item that starts at `from` and ends before the current token.
    std::wstring context_from(std::size_t from) const
    {
        std::size_t b = cur().pos;
        std::wstring t = b > from ? src_.substr(from, b - from) : std::wstring();
        while (!t.empty() && std::iswspace(t.back())) t.pop_back();
        return t;
    }
    static bool is_clause_word(const std::wstring& w)
    {
        for (const wchar_t* k : {L"FROM", L"WHERE", L"GROUP", L"HAVING", L"ORDER", L"UNION"})
            if (same(w, k)) return true;
        return false;
    }
    static bool reserved(const std::wstring& w)
    {
        for (const wchar_t* k : {L"SELECT", L"FROM", L"WHERE", L"GROUP", L"HAVING", L"ORDER", L"UNION", L"ON", L"INNER",
                                 L"LEFT", L"RIGHT", L"JOIN", L"AS", L"AND", L"OR", L"NOT", L"BY", L"IN", L"IS", L"LIKE",
                                 L"BETWEEN", L"OUTER", L"XOR", L"EQV", L"IMP", L"MOD", L"ASC", L"DESC", L"TOP", L"DISTINCT",
                                 L"DISTINCTROW", L"ALL", L"PERCENT", L"WITH", L"OWNERACCESS", L"OPTION", L"ALIKE"})
            if (same(w, k)) return true;
        return false;
    }
    bool name_token() const
    {
        return cur().kind == tk::bracket || (cur().kind == tk::word && !reserved(cur().text));
    }
    std::wstring take_name()
    {
        std::wstring n = cur().text;
        ++i_;
        return n;
    }

    // ---- statements
    std::wstring compound(translated_sql& out)
    {
        std::wstring s = core(&out);
        bool unioned = false;
        while (accept_word(L"UNION")) {
            unioned = true;
            bool all = accept_word(L"ALL");
            s += all ? L" UNION ALL " : L" UNION ";
            s += core(nullptr);
        }
        if (is_word(L"ORDER")) s += order_by(unioned);
        if (accept_word(L"WITH")) {
            if (!accept_word(L"OWNERACCESS") || !accept_word(L"OPTION")) throw sql_error{3141, {}};
        }
        return s;
    }

    std::wstring core(translated_sql* out)
    {
        nest n(depth_);
        if (accept_op(L"(")) {
            std::wstring s = core(out);
            expect_op(L")", 3141);
            return s;
        }
        if (!accept_word(L"SELECT")) throw sql_error{3141, {}};
        bool outer = out != nullptr && top_;
        top_ = false;
        // Grouping check state of this SELECT (nested ones keep their own).
        int saved_bare = bare_cols_, saved_aggs = aggs_, saved_depth = agg_depth_;
        bare_cols_ = aggs_ = agg_depth_ = 0;
        struct item_use {
            std::wstring sql, text;
            int bare;
        };
        std::vector<item_use> uses;
        std::wstring s = L"SELECT ";
        bool distinct = false;
        if (accept_word(L"DISTINCT")) {
            s += L"DISTINCT ";
            distinct = true;
        }
        bool distinctrow = false;
        if (!distinct) {
            if (accept_word(L"DISTINCTROW")) distinctrow = true;
            else accept_word(L"ALL");
        }
        int saved_tables = core_tables_;
        core_tables_ = 0;
        std::wstring limit;
        long top_n = 0;
        if (accept_word(L"TOP")) {
            if (cur().kind != tk::number) throw sql_error{3141, {}};
            std::wstring n = take_name();
            top_n = static_cast<long>(std::wcstod(n.c_str(), nullptr));
            if (accept_word(L"PERCENT")) {
                if (outer) out->top_percent = std::wcstod(n.c_str(), nullptr);
            } else {
                limit = L" LIMIT " + std::to_wstring(static_cast<long long>(std::wcstod(n.c_str(), nullptr)));
            }
        }
        // Select list.
        std::vector<sql_column> cols;
        std::wstring list;
        int k = 0;
        do {
            if (k++) list += L", ";
            expr_start_ = cur().pos;
            sql_column c;
            if (accept_op(L"*")) {
                list += L"*";
                c.star = true;
            } else if (name_token() && i_ + 2 < t_.size() && t_[i_ + 1].kind == tk::op &&
                       (t_[i_ + 1].text == L"." || t_[i_ + 1].text == L"!") && t_[i_ + 2].kind == tk::op && t_[i_ + 2].text == L"*") {
                list += quote_name(take_name()) + L".*";
                i_ += 2;
                c.star = true;
            } else {
                int before = bare_cols_;
                expr e = expression();
                uses.push_back({e.sql, context_from(expr_start_), bare_cols_ - before});
                std::wstring alias;
                if (accept_word(L"AS")) {
                    if (!name_token() && cur().kind != tk::string) throw sql_error{3141, {}};
                    alias = take_name();
                } else if (cur().kind == tk::bracket) {
                    alias = take_name();
                }
                if (!alias.empty()) c.name = alias;
                else if (e.colref) c.name = e.column;
                else if (e.aggregate && !e.agg_column.empty()) c.name = e.agg_name + L"Of" + e.agg_column;
                else c.name = L"Expr" + std::to_wstring(1000 + expr_counter_++);
                c.hint = e.hint;
                c.arg_sql = to_utf8(e.arg_sql);
                list += e.sql + L" AS " + quote_name(c.name);
            }
            cols.push_back(std::move(c));
        } while (accept_op(L","));
        s += list;
        if (outer) outer_list_end_ = s.size();
        if (accept_word(L"INTO")) throw sql_error{3129, {}};
        std::wstring from;
        if (accept_word(L"FROM")) {
            from = L" FROM ";
            int n = 0;
            do {
                if (n++) from += L", ";
                from += from_item();
            } while (accept_op(L","));
            if (accept_word(L"IN")) throw sql_error{3251, {}};
            s += from;
        }
        if (accept_word(L"WHERE")) {
            expr_start_ = cur().pos;
            std::wstring w = L" WHERE " + expression().sql;
            s += w;
            if (outer) outer_where_ = w;
        }
        if (outer) outer_from_ = from;
        int select_aggs = aggs_;
        bool star_item = false;
        for (const auto& c : cols) star_item = star_item || c.star;
        std::vector<std::wstring> groups;
        if (accept_word(L"GROUP")) {
            if (!accept_word(L"BY")) throw sql_error{3141, {}};
            s += L" GROUP BY ";
            int n = 0;
            do {
                if (n++) s += L", ";
                expr_start_ = cur().pos;
                groups.push_back(expression().sql);
                s += groups.back();
            } while (accept_op(L","));
        }
        if (accept_word(L"HAVING")) {
            expr_start_ = cur().pos;
            s += L" HAVING " + expression().sql;
            select_aggs = aggs_;
        }
        // Every column of a grouped SELECT must be grouped or aggregated.
        if (select_aggs > 0 || !groups.empty()) {
            if (star_item && !groups.empty()) throw sql_error{3122, L"*"};
            for (const auto& u : uses) {
                if (u.bare == 0) continue;
                bool grouped = false;
                for (const auto& g : groups) grouped = grouped || g == u.sql;
                if (!grouped) throw sql_error{3122, u.text};
            }
        }
        // DISTINCTROW: whole records, not the rows a join repeats. Over one table that is every row; over
        // a join it is read as DISTINCT on the columns chosen (exact when they include a key).
        if (distinctrow && core_tables_ > 1 && select_aggs == 0 && groups.empty()) {
            s.insert(7, L"DISTINCT ");
            if (outer) outer_list_end_ += 9;
            distinct = true;
        }
        core_tables_ = saved_tables;
        bare_cols_ = saved_bare;
        aggs_ = saved_aggs;
        agg_depth_ = saved_depth;
        if (!limit.empty() && is_word(L"ORDER")) {
            if (outer && !distinct && !crosstab_ && top_n > 0) {
                // Rows that tie with the last one are kept: the caller cuts by the sort keys.
                std::vector<std::wstring> keys;
                s += order_by(false, &keys);
                std::wstring extra;
                for (std::size_t k = 0; k < keys.size(); ++k)
                    extra += L", " + keys[k] + L" AS " + quote_name(L"\x01o" + std::to_wstring(k));
                s.insert(outer_list_end_, extra);
                out->top_n = top_n;
                out->hidden = static_cast<int>(keys.size());
                limit.clear();
            } else {
                s += order_by(false);
            }
        }
        s += limit;
        if (outer) {
            out->columns = std::move(cols);
            out->from_sql = to_utf8(from);
        }
        return s;
    }

    std::wstring order_by(bool unioned, std::vector<std::wstring>* keys = nullptr)
    {
        accept_word(L"ORDER");
        if (!accept_word(L"BY")) throw sql_error{3141, {}};
        std::wstring s = L" ORDER BY ";
        int n = 0;
        do {
            if (n++) s += L", ";
            expr_start_ = cur().pos;
            expr e = expression();
            // After a UNION the sort refers to the result's column names.
            s += (unioned && e.colref) ? quote_name(e.column) : e.sql;
            if (keys) keys->push_back(e.sql);
            if (accept_word(L"DESC")) s += L" DESC";
            else accept_word(L"ASC");
        } while (accept_op(L","));
        return s;
    }

    std::wstring from_item()
    {
        nest n(depth_);
        std::wstring s = from_primary();
        for (;;) {
            std::wstring kind;
            if (accept_word(L"INNER")) kind = L" INNER JOIN ";
            else if (accept_word(L"LEFT")) { accept_word(L"OUTER"); kind = L" LEFT JOIN "; }
            else if (accept_word(L"RIGHT")) { accept_word(L"OUTER"); kind = L" RIGHT JOIN "; }
            else break;
            if (!accept_word(L"JOIN")) throw sql_error{3131, {}};
            std::wstring right = from_primary();
            if (!accept_word(L"ON")) throw sql_error{3131, {}};
            expr_start_ = cur().pos;
            expr on;
            try {
                on = expression();
            } catch (const sql_error& e) {
                throw sql_error{3131, e.arg};
            }
            s += kind + right + L" ON " + on.sql;
        }
        return s;
    }

    std::wstring from_primary()
    {
        std::wstring s;
        if (accept_op(L"(")) {
            if (is_word(L"SELECT")) {
                translated_sql dummy;
                bool saved = top_;
                top_ = false;
                s = L"(" + compound(dummy) + L")";
                accept_op(L";"); // a saved query's text keeps its semicolon inside the parentheses
                top_ = saved;
            } else {
                s = L"(" + from_item() + L")";
            }
            if (!accept_op(L")")) throw sql_error{3131, {}};
        } else if (name_token()) {
            std::wstring name = take_name();
            sql_source src = resolve_(name);
            if (src.table) {
                // Tables are read through a common table expression; see statement().
                std::wstring cte = L"m_" + src.name;
                if (std::find(ctes_.begin(), ctes_.end(), src.name) == ctes_.end()) ctes_.push_back(src.name);
                ++table_refs_;
                ++core_tables_;
                s = quote_name(cte);
            } else {
                ++table_refs_;
                ++core_tables_;
                s = quote_name(src.name);
            }
            // Without an alias the table keeps its own name for qualified references.
            if (!is_word(L"AS") && !name_token()) s += L" AS " + quote_name(name);
        } else {
            throw sql_error{3131, {}};
        }
        if (accept_word(L"AS")) {
            if (!name_token()) throw sql_error{3131, {}};
            s += L" AS " + quote_name(take_name());
        } else if (name_token()) {
            s += L" AS " + quote_name(take_name());
        }
        return s;
    }

    // ---- expressions
    // Nesting is bounded: a statement nested deeper than this is refused, not a stack overflow.
    struct nest {
        int& d;
        explicit nest(int& depth) : d(depth)
        {
            if (++d > 200) throw sql_error{3360, {}};
        }
        ~nest() { --d; }
    };

    expr expression()
    {
        nest n(depth_);
        return binary_chain(0);
    }

    // Levels: 0 IMP, 1 EQV, 2 XOR, 3 OR, 4 AND.
    expr binary_chain(int level)
    {
        if (level == 5) return negation();
        static const wchar_t* ops[] = {L"IMP", L"EQV", L"XOR", L"OR", L"AND"};
        expr l = binary_chain(level + 1);
        while (accept_word(ops[level])) {
            expr r = binary_chain(level + 1);
            expr x;
            x.hint = sql_hint::boolean;
            switch (level) {
            case 0: x.sql = L"dao_imp(" + l.sql + L", " + r.sql + L")"; break;
            case 1: x.sql = L"dao_eqv(" + l.sql + L", " + r.sql + L")"; break;
            case 2: x.sql = L"dao_xor(" + l.sql + L", " + r.sql + L")"; break;
            case 3: x.sql = L"(" + l.sql + L" OR " + r.sql + L")"; break;
            default: x.sql = L"(" + l.sql + L" AND " + r.sql + L")"; break;
            }
            l = std::move(x);
        }
        return l;
    }

    expr negation()
    {
        if (accept_word(L"NOT")) {
            expr e = negation();
            expr x;
            x.hint = sql_hint::boolean;
            x.sql = L"(NOT " + e.sql + L")";
            return x;
        }
        return comparison();
    }

    expr comparison()
    {
        expr l = concat();
        for (;;) {
            static const wchar_t* cmp[] = {L"=", L"<>", L"<", L">", L"<=", L">=", L"!="};
            bool matched = false;
            for (const wchar_t* o : cmp)
                if (is_op(o)) {
                    ++i_;
                    expr r = concat();
                    std::wstring op = o;
                    if (op == L"!=") op = L"<>";
                    l = boolean(L"(" + l.sql + L" " + op + L" " + r.sql + L")");
                    matched = true;
                    break;
                }
            if (matched) continue;
            bool neg = false;
            if (is_word(L"NOT") && (is_word_at(1, L"LIKE") || is_word_at(1, L"ALIKE") || is_word_at(1, L"BETWEEN") || is_word_at(1, L"IN"))) {
                ++i_;
                neg = true;
            }
            std::wstring n = neg ? L"NOT " : L"";
            if (accept_word(L"LIKE")) {
                expr r = concat();
                l = boolean(L"(" + n + L"dao_like(" + l.sql + L", " + r.sql + L"))");
            } else if (accept_word(L"ALIKE")) {
                expr r = concat();
                l = boolean(L"(" + l.sql + L" " + n + L"LIKE " + r.sql + L")");
            } else if (accept_word(L"BETWEEN")) {
                expr a = concat();
                if (!accept_word(L"AND")) throw sql_error{3075, context()};
                expr b = concat();
                l = boolean(L"(" + l.sql + L" " + n + L"BETWEEN " + a.sql + L" AND " + b.sql + L")");
            } else if (accept_word(L"IN")) {
                expect_op(L"(", 3075);
                std::wstring list;
                if (is_word(L"SELECT")) {
                    translated_sql dummy;
                    list = compound(dummy);
                } else {
                    int k = 0;
                    do {
                        if (k++) list += L", ";
                        list += expression().sql;
                    } while (accept_op(L","));
                }
                expect_op(L")", 3075);
                l = boolean(L"(" + l.sql + L" " + n + L"IN (" + list + L"))");
            } else if (!neg && accept_word(L"IS")) {
                bool isnot = accept_word(L"NOT");
                if (!accept_word(L"NULL")) throw sql_error{3075, context()};
                l = boolean(L"(" + l.sql + (isnot ? L" IS NOT NULL)" : L" IS NULL)"));
            } else {
                if (neg) throw sql_error{3075, context()};
                break;
            }
        }
        return l;
    }

    static expr boolean(std::wstring s)
    {
        expr x;
        x.sql = s; // 1/0 in SQLite; a boolean result column turns it into True/False
        x.hint = sql_hint::boolean;
        return x;
    }

    expr concat()
    {
        expr l = additive();
        while (accept_op(L"&")) {
            expr r = additive();
            expr x;
            x.sql = L"dao_cat(" + l.sql + L", " + r.sql + L")";
            x.hint = sql_hint::text;
            l = std::move(x);
        }
        return l;
    }

    expr additive()
    {
        expr l = modulo();
        for (;;) {
            if (accept_op(L"+")) {
                expr r = modulo();
                expr x;
                x.sql = L"dao_add(" + l.sql + L", " + r.sql + L")";
                x.hint = l.hint == sql_hint::date || r.hint == sql_hint::date ? sql_hint::date
                         : (l.hint == sql_hint::text && r.hint == sql_hint::text) ? sql_hint::text : sql_hint::unknown;
                typed_by_column(x, l, r);
                l = std::move(x);
            } else if (accept_op(L"-")) {
                expr r = modulo();
                expr x;
                x.sql = L"(" + l.sql + L" - " + r.sql + L")";
                x.hint = (l.hint == sql_hint::date && r.hint != sql_hint::date) ? sql_hint::date : sql_hint::unknown;
                if (!(l.colref && r.colref)) typed_by_column(x, l, r);
                l = std::move(x);
            } else {
                return l;
            }
        }
    }

    // A column plus or minus a number takes the column's type (dates stay dates, currency stays currency).
    static void typed_by_column(expr& x, const expr& l, const expr& r)
    {
        if (x.hint != sql_hint::unknown) return;
        const expr* c = l.colref && (r.hint == sql_hint::long_ || r.hint == sql_hint::double_) ? &l
                        : r.colref && (l.hint == sql_hint::long_ || l.hint == sql_hint::double_) ? &r : nullptr;
        if (!c) return;
        x.hint = sql_hint::same_as_arg;
        x.arg_sql = c->sql;
    }

    expr modulo()
    {
        expr l = int_div();
        while (accept_word(L"MOD")) {
            expr r = int_div();
            expr x;
            x.sql = L"dao_mod(" + l.sql + L", " + r.sql + L")";
            x.hint = sql_hint::long_;
            l = std::move(x);
        }
        return l;
    }

    expr int_div()
    {
        expr l = multiplicative();
        while (accept_op(L"\\")) {
            expr r = multiplicative();
            expr x;
            x.sql = L"dao_idiv(" + l.sql + L", " + r.sql + L")";
            x.hint = sql_hint::long_;
            l = std::move(x);
        }
        return l;
    }

    expr multiplicative()
    {
        expr l = unary();
        for (;;) {
            if (accept_op(L"*")) {
                expr r = unary();
                expr x;
                x.sql = L"(" + l.sql + L" * " + r.sql + L")";
                l = std::move(x);
            } else if (accept_op(L"/")) {
                expr r = unary();
                expr x;
                x.sql = L"dao_div(" + l.sql + L", " + r.sql + L")";
                x.hint = sql_hint::double_;
                l = std::move(x);
            } else {
                return l;
            }
        }
    }

    expr unary()
    {
        nest n(depth_);
        if (accept_op(L"-")) {
            expr e = unary();
            e.sql = L"(-" + e.sql + L")";
            e.colref = false;
            e.aggregate = false;
            return e;
        }
        if (accept_op(L"+")) return unary();
        return power();
    }

    expr power()
    {
        expr l = primary();
        while (accept_op(L"^")) {
            expr r = primary();
            expr x;
            x.sql = L"dao_pow(" + l.sql + L", " + r.sql + L")";
            x.hint = sql_hint::double_;
            l = std::move(x);
        }
        return l;
    }

    expr primary()
    {
        expr e;
        const token& t = cur();
        switch (t.kind) {
        case tk::number: {
            e.sql = t.text;
            e.hint = t.text.find_first_of(L".eE") == std::wstring::npos ? sql_hint::long_ : sql_hint::double_;
            ++i_;
            return e;
        }
        case tk::string:
            e.sql = quote_text(t.text);
            e.hint = sql_hint::text;
            ++i_;
            return e;
        case tk::date: {
            double d = 0;
            if (!parse_date_literal(t.text, d)) throw sql_error{3075, context()};
            char buf[40];
            std::snprintf(buf, sizeof buf, "%.17g", d);
            e.sql = std::wstring(buf, buf + std::strlen(buf));
            if (e.sql.find_first_of(L".e") == std::wstring::npos) e.sql += L".0";
            e.sql = L"dao_dl(" + e.sql + L")";
            e.hint = sql_hint::date;
            ++i_;
            return e;
        }
        case tk::op:
            if (t.text == L"(") {
                ++i_;
                if (is_word(L"SELECT")) {
                    translated_sql dummy;
                    e.sql = L"(" + compound(dummy) + L")";
                } else {
                    expr in = expression();
                    e = in;
                    e.sql = L"(" + in.sql + L")";
                    e.colref = false;
                }
                expect_op(L")", 3075);
                return e;
            }
            throw sql_error{3075, context()};
        case tk::word:
            if (same(t.text, L"TRUE")) { ++i_; e.sql = L"-1"; e.hint = sql_hint::boolean; return e; }
            if (same(t.text, L"FALSE")) { ++i_; e.sql = L"0"; e.hint = sql_hint::boolean; return e; }
            if (same(t.text, L"NULL")) { ++i_; e.sql = L"NULL"; return e; }
            if (same(t.text, L"EXISTS")) {
                ++i_;
                expect_op(L"(", 3075);
                translated_sql dummy;
                e.sql = L"(EXISTS (" + compound(dummy) + L"))";
                expect_op(L")", 3075);
                e.hint = sql_hint::boolean;
                return e;
            }
            if (i_ + 1 < t_.size() && t_[i_ + 1].kind == tk::op && t_[i_ + 1].text == L"(") return function();
            if (reserved(t.text)) throw sql_error{3075, context()};
            return column();
        case tk::bracket:
            return column();
        default:
            throw sql_error{3075, context()};
        }
    }

    expr column()
    {
        if (agg_depth_ == 0) ++bare_cols_;
        std::vector<std::wstring> parts{take_name()};
        while ((is_op(L".") || is_op(L"!")) && i_ + 1 < t_.size() &&
               (t_[i_ + 1].kind == tk::bracket || t_[i_ + 1].kind == tk::word)) {
            ++i_;
            parts.push_back(take_name());
        }
        expr e;
        for (std::size_t k = 0; k < parts.size(); ++k) {
            if (k) e.sql += L".";
            e.sql += quote_name(parts[k]);
        }
        e.colref = true;
        e.column = parts.back();
        return e;
    }

    expr function()
    {
        std::wstring name = take_name();
        std::wstring key;
        for (wchar_t c : name)
            if (c != L'$') key += static_cast<wchar_t>(std::towupper(c));
        ++i_; // (
        auto it = functions().find(key);
        if (it == functions().end()) throw sql_error{3085, name};
        const func_def& f = it->second;
        std::vector<expr> args;
        bool count_star = false;
        if (f.aggregate) {
            ++aggs_;
            ++agg_depth_;
        }
        struct leave {
            int& d;
            bool on;
            ~leave() { if (on) --d; }
        } guard{agg_depth_, f.aggregate};
        if (!is_op(L")")) {
            do {
                if (key == L"COUNT" && is_op(L"*")) {
                    ++i_;
                    count_star = true;
                    break;
                }
                args.push_back(expression());
            } while (accept_op(L","));
        }
        expect_op(L")", 3075);
        expr e;
        bool pivoted = pivot_mode_ && f.aggregate && agg_depth_ == 1;
        if (pivoted && count_star) {
            e.sql = L"count(CASE WHEN \x01P\x01 IS \x01V\x01 THEN 1 END)";
            e.aggregate = true;
            e.hint = sql_hint::long_;
            return e;
        }
        if (pivoted && !args.empty())
            args[0].sql = L"(CASE WHEN \x01P\x01 IS \x01V\x01 THEN " + args[0].sql + L" END)";
        if (count_star) {
            e.sql = L"count(*)";
            e.aggregate = true;
            e.hint = sql_hint::long_;
            return e;
        }
        if (static_cast<int>(args.size()) < f.min_args || static_cast<int>(args.size()) > f.max_args)
            throw sql_error{3075, context()};
        e.sql = f.emit(args);
        e.hint = f.hint;
        e.aggregate = f.aggregate;
        if (f.aggregate && args.size() == 1 && args[0].colref) {
            static const std::map<std::wstring, std::wstring> names = {
                {L"SUM", L"Sum"}, {L"AVG", L"Avg"}, {L"MIN", L"Min"}, {L"MAX", L"Max"}, {L"COUNT", L"Count"},
                {L"FIRST", L"First"}, {L"LAST", L"Last"}, {L"STDEV", L"StDev"}, {L"STDEVP", L"StDevP"},
                {L"VAR", L"Var"}, {L"VARP", L"VarP"}};
            e.agg_name = names.at(key);
            e.agg_column = args[0].column;
        }
        if (f.hint == sql_hint::same_as_arg) {
            if (args.size() == 1 && args[0].hint != sql_hint::unknown && args[0].hint != sql_hint::same_as_arg) e.hint = args[0].hint;
            else if (args.size() == 1) e.arg_sql = args[0].sql;
            else e.hint = sql_hint::unknown;
        }
        if (key == L"IIF" || key == L"NZ") {
            // Typed by the branches when they agree.
            sql_hint h = args[1 % args.size()].hint;
            e.hint = (key == L"NZ" && args.size() == 1) ? args[0].hint : h;
        }
        if ((key == L"ABS" || key == L"INT" || key == L"FIX") && !args.empty()) e.hint = args[0].hint;
        return e;
    }

    const std::wstring& src_;
    std::vector<token> t_;
    std::size_t i_ = 0;
    const sql_resolver& resolve_;
    int expr_counter_ = 0;
    int bare_cols_ = 0, aggs_ = 0, agg_depth_ = 0;
    std::vector<std::wstring> ctes_; // tables used, by SQLite name
    int table_refs_ = 0;
    int depth_ = 0;
    bool pivot_mode_ = false;
    bool crosstab_ = false;
    int core_tables_ = 0;
    std::size_t outer_list_end_ = 0;
    std::wstring outer_from_, outer_where_;
    bool top_ = false;
    std::size_t expr_start_ = 0;
};

int to_int(const std::wstring& s, std::size_t b, std::size_t e, bool& ok)
{
    if (b >= e) { ok = false; return 0; }
    int v = 0;
    for (std::size_t i = b; i < e; ++i) {
        if (!std::iswdigit(s[i])) { ok = false; return 0; }
        v = v * 10 + (s[i] - L'0');
        if (v > 100000) { ok = false; return 0; }
    }
    return v;
}

} // namespace

bool parse_date_literal(const std::wstring& raw, double& out)
{
    std::wstring s;
    for (wchar_t c : raw) s += c;
    while (!s.empty() && std::iswspace(s.front())) s.erase(s.begin());
    while (!s.empty() && std::iswspace(s.back())) s.pop_back();
    SYSTEMTIME st{};
    st.wYear = 1899;
    st.wMonth = 12;
    st.wDay = 30;
    bool ok = true;
    std::size_t i = 0;
    // Date part: m/d/y or y-m-d.
    std::size_t sp = s.find(L' ');
    std::wstring date = s.substr(0, sp), time;
    if (date.find(L':') != std::wstring::npos) {
        time = s;
        date.clear();
    } else if (sp != std::wstring::npos) {
        time = s.substr(sp + 1);
    }
    if (!date.empty()) {
        wchar_t sep = date.find(L'/') != std::wstring::npos ? L'/' : L'-';
        std::size_t a = date.find(sep), b = a == std::wstring::npos ? a : date.find(sep, a + 1);
        if (a == std::wstring::npos || b == std::wstring::npos) return false;
        int x = to_int(date, 0, a, ok), y = to_int(date, a + 1, b, ok), z = to_int(date, b + 1, date.size(), ok);
        if (!ok) return false;
        int year, month, day;
        if (sep == L'-' || x > 31) { year = x; month = y; day = z; }
        else { month = x; day = y; year = z; }
        std::size_t ylen = (sep == L'-' || x > 31) ? a : date.size() - (b + 1);
        if (ylen <= 2) year += year < 30 ? 2000 : 1900;
        st.wYear = static_cast<WORD>(year);
        st.wMonth = static_cast<WORD>(month);
        st.wDay = static_cast<WORD>(day);
    }
    if (!time.empty()) {
        while (!time.empty() && std::iswspace(time.back())) time.pop_back();
        bool pm = false, am = false;
        if (time.size() > 2) {
            std::wstring suf = time.substr(time.size() - 2);
            if (same(suf, L"PM")) pm = true;
            if (same(suf, L"AM")) am = true;
            if (pm || am) {
                time.resize(time.size() - 2);
                while (!time.empty() && std::iswspace(time.back())) time.pop_back();
            }
        }
        std::size_t a = time.find(L':');
        if (a == std::wstring::npos) return false;
        std::size_t b = time.find(L':', a + 1);
        int h = to_int(time, 0, a, ok);
        int m = to_int(time, a + 1, b == std::wstring::npos ? time.size() : b, ok);
        int sec = b == std::wstring::npos ? 0 : to_int(time, b + 1, time.size(), ok);
        if (!ok) return false;
        if (pm && h < 12) h += 12;
        if (am && h == 12) h = 0;
        st.wHour = static_cast<WORD>(h);
        st.wMinute = static_cast<WORD>(m);
        st.wSecond = static_cast<WORD>(sec);
    }
    (void)i;
    DATE d = 0;
    if (!SystemTimeToVariantTime(&st, &d)) return false;
    out = d;
    return true;
}

translated_sql translate_select(const std::wstring& access_sql, const sql_resolver& resolve)
{
    parser p(access_sql, resolve);
    return p.statement();
}

} // namespace daoimpl

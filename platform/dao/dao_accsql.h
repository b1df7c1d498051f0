// Translation of Access SELECT statements into SQLite statements over the reader's virtual tables.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace daoimpl {

// UTF-8 form of a wide text (SQLite's and the file system's encoding).
std::string to_utf8(const std::wstring& w);

// What the translation knows about a result column's type.
enum class sql_hint { unknown, text, long_, double_, date, boolean, currency, same_as_arg };

// One column of the select list of the outermost query, as the translation names it.
struct sql_column {
    std::wstring name;        // Access's name of the column (alias, column name, SumOfX, Expr1000 ...)
    bool star = false;        // a * or t.* item: names come from SQLite
    sql_hint hint = sql_hint::unknown;
    std::string arg_sql;      // same_as_arg: the SQLite text of the argument whose type the column takes
};

struct translated_sql {
    std::string sql;                  // UTF-8 SQLite text
    std::vector<sql_column> columns;  // of the first SELECT
    std::string from_sql;             // the outermost FROM clause as emitted (for type probes)
    std::string with_sql;             // the WITH clause the FROM clause needs ("" or "WITH ... ")
    double top_percent = 0;           // TOP n PERCENT of the outermost query (0: none)
    // TOP n with ORDER BY keeps the rows that tie with the n-th: the sort keys come as `hidden` extra
    // columns after the select list, and the caller stops after row n at the first row whose keys differ.
    long top_n = 0;
    int hidden = 0;

    // A crosstab (TRANSFORM ... PIVOT): sql holds the marker "\x01K\x01" where the pivoted columns go,
    // one per pivot value, each agg_sql with "\x01V\x01" replaced by the value's literal.
    bool crosstab = false;
    std::string agg_sql;
    std::string values_sql;                 // the distinct pivot values, when no IN list is given
    std::vector<std::string> in_values;     // IN list: literals
    std::vector<std::wstring> in_names;     // IN list: column names
};

// A failure of translation with the engine's error number and its argument (expression text or name).
struct sql_error {
    long number;
    std::wstring arg;
};

// What a table or query name used in FROM stands for in SQLite.
struct sql_source {
    std::wstring name;   // the SQLite table or view
    bool table = false;  // a table read through the reader (joins read it once into a temporary copy)
};

// Resolves a table or query name used in FROM (creating what is needed); throws sql_error (3078) when
// there is no such table or query.
using sql_resolver = std::function<sql_source(const std::wstring& name)>;

// Translates one Access SELECT (UNION, PARAMETERS, subqueries ...). Throws sql_error: 3129 for a
// statement that is not a SELECT, 3075/3131/3141 for syntax errors, 3085 for unknown functions.
translated_sql translate_select(const std::wstring& access_sql, const sql_resolver& resolve);

// Reads the text between # signs of a date literal (US month/day order, or year-month-day) into an
// automation date; false when it is not a date.
bool parse_date_literal(const std::wstring& text, double& out);

} // namespace daoimpl

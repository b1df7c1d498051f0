// Saved queries: the SQL text of a query rebuilt from its rows in MSysQueries, as the SQL view shows it.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace jet {

// One row of MSysQueries. Absent (NULL) cells are empty optionals; an empty text is not NULL.
struct query_row {
    int attribute = 0;                    // what the row describes (see query_attribute)
    std::optional<std::wstring> expression;
    std::optional<int> flag;
    std::optional<std::int32_t> extra;    // LvExtra
    std::optional<std::wstring> name1;
    std::optional<std::wstring> name2;
    std::int32_t object_id = 0;
};

// The Attribute column's values.
enum query_attribute : int {
    qa_start = 0,
    qa_type = 1,        // Flag: the query kind; Name1/Name2/Expression: target, remote database, statement
    qa_parameter = 2,   // Name1 the name, Flag the data type, LvExtra the text size
    qa_flags = 3,       // Flag: DISTINCT, TOP, ...; Name1 the TOP count; for unions the UNION/UNION ALL bit
    qa_remote_db = 4,   // Name1 the path, Expression the database type of FROM ... IN
    qa_table = 5,       // Name1 the table, Name2 its alias; for unions Expression holds one part
    qa_column = 6,      // Expression the value, Name1 its alias, Name2 the target column
    qa_join = 7,        // Name1 and Name2 the tables, Expression the ON condition, Flag the join kind
    qa_where = 8,
    qa_group_by = 9,
    qa_having = 10,
    qa_order_by = 11,   // Name1 "D" for descending
    qa_end = 255,
};

// The kinds of saved query, numbered as the type row stores them.
enum class query_kind : int {
    unknown = 0,
    select = 1,
    make_table = 2,
    append = 3,
    update = 4,
    delete_ = 5,
    crosstab = 6,
    data_definition = 7,
    pass_through = 8,
    union_ = 9,
};

// "SELECT", "MAKE_TABLE", "APPEND", "UPDATE", "DELETE", "CROSS_TAB", "DATA_DEFINITION", "PASSTHROUGH",
// "UNION" or "UNKNOWN".
const char* query_kind_name(query_kind k);

// The kind from the type row, else from the catalogue's object flags (MSysObjects.Flags; -1 when unknown).
query_kind query_kind_of(const std::vector<query_row>& rows, int object_flags = -1);

// The query's SQL text, lines separated by `newline`. Rows are those of one query in stored order.
// Throws jet::error (err_corrupt) naming the query when the rows do not describe a query that can be
// written out (an unknown kind or join kind, a union without its parts).
std::wstring query_sql(const std::wstring& query_name, const std::vector<query_row>& rows,
                       int object_flags = -1, const std::wstring& newline = L"\r\n");

} // namespace jet

namespace jet {

class database;

// One saved query of a database, in catalogue order.
struct saved_query {
    std::wstring name;
    query_kind kind = query_kind::unknown;
    std::wstring sql;          // empty when `error` is set
    std::string error;         // why the text could not be rebuilt
    std::uint32_t flags = 0;   // MSysObjects.Flags (hidden, system, kind)
};

// Every saved query with its SQL text. A query whose rows cannot be written out keeps its name and
// carries the reason in `error`; the others still come back.
std::vector<saved_query> read_queries(const database& db, const std::wstring& newline = L"\r\n");

} // namespace jet

// Hands an error of the SQL Server destination to the process-wide error handler.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "TK/tk_excep.h"
#include "UDB/udb_idx.h"

struct t_ftd;

// Logs the error and, when an error handler exists, counts it as something the run did not
// convert and reports it there with the given context (empty: the handler's current one).
// May raise the user's Abort.
void mss_report_error(const std::wstring& context, const tk_exception& e, bool is_final);

// The same for one row of a table that could not be stored ("<table>, record #<n>").
void mss_report_row_error(const std::wstring& table, std::uint64_t row, const tk_exception& e);

// Why a destination leaves an index of the source out: the server does not get an index on such
// a column, nor one whose key can pass 900 bytes.
enum class mss_index_gap { yes_no_column, long_column, key_too_long, missing_column, no_columns, repeated_column };

// Why an index cannot hold `column`, its key being `key_bytes` long up to and with it; none
// when it can. Both destinations, the server and the script, leave indexes out by this rule.
std::optional<mss_index_gap> mss_index_gap_of(const t_ftd& column, std::uint64_t key_bytes);

// Leaves out, and reports as below, an index that no server can create whatever its columns: one
// with no columns, or one that names a column twice. True when it did.
bool mss_leave_out_malformed_index(const std::wstring& table, const udb_index& index);

// Reports an index left out by that rule as something the run did not convert: the table, the
// index (with its kind: primary key, unique index) and the reason; `column` is the column that
// made it so (none for a key that is too long).
void mss_report_index_left_out(const std::wstring& table, const udb_index& index, mss_index_gap why,
                               const std::wstring& column);

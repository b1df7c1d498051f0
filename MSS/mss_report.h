// Hands an error of the SQL Server destination to the process-wide error handler.
#pragma once
#include <cstdint>
#include <string>

#include "TK/tk_excep.h"

// Logs the error and, when an error handler exists, counts it as something the run did not
// convert and reports it there with the given context (empty: the handler's current one).
// May raise the user's Abort.
void mss_report_error(const std::wstring& context, const tk_exception& e, bool is_final);

// The same for one row of a table that could not be stored ("<table>, record #<n>").
void mss_report_row_error(const std::wstring& table, std::uint64_t row, const tk_exception& e);

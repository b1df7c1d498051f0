// Date text of the automation substitute, shared by its conversion code (not for system code).
#pragma once

#include "platform/com/oleauto.h"

#include <string>

namespace oleauto_detail {

// Reads a date and/or time; DISP_E_TYPEMISMATCH when the text is not one.
HRESULT date_from_text(const std::wstring& text, DATE* out);
// "YYYY-MM-DD", "HH:MM:SS" or both; the date alone when the time is midnight, the time alone on
// day 0 (1899-12-30). flags: VAR_DATEVALUEONLY, VAR_TIMEVALUEONLY.
HRESULT date_to_text(DATE d, ULONG flags, std::wstring* out);
// True when d lies in the valid range (years 100 to 9999).
bool date_in_range(double d);

} // namespace oleauto_detail

// Name comparison rules shared by the database model: names of tables,
// fields, indexes and keys compare ignoring case unless told otherwise.
#pragma once
#include <string>
#include <vector>

// True when the two names are equal ignoring case in the user's locale.
bool udb_same_name(const std::wstring& a, const std::wstring& b);

// Exact (code unit and length) comparison when case_sensitive, else as above.
bool udb_same_name(const std::wstring& a, const std::wstring& b, bool case_sensitive);

// Position of the first entry equal to name ignoring case, or -1.
int udb_find_name(const std::vector<std::wstring>& names, const std::wstring& name);

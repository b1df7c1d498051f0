// Names that Access accepts for columns and indexes, and safe replacements for the rest.
#pragma once
#include <string>

#include "UDB/udb_db.h"
#include "UDB/udb_idx.h"
#include "UDB/udb_vali.h"

// Access names: no length limit here, none of ` ! [ ] . / ', not empty, no blank at either end.
class dao_validator : public udb_validator {
public:
    dao_validator();
    bool is_acceptable(const std::wstring& name) override;
    // Removes the brackets, trims blanks at both ends, then the base's safe name.
    std::wstring get_safe_name(const std::wstring& name) override;
};

// Column names of one table: the names of the given schema are in use.
class dao_fn_validator : public dao_validator {
public:
    explicit dao_fn_validator(const udb_schema& schema);
};

// Index names of one table: ":" is refused too, and the given index names are in use.
class dao_in_validator : public dao_validator {
public:
    explicit dao_in_validator(const udb_indexes& indexes);
};

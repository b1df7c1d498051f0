// SQL Server rules for table and field names: which names are acceptable, and unused variants.
#pragma once
#include <string>
#include <vector>
#include "UDB/udb_vali.h"

struct t_ftd;

// Name rules shared by the SQL Server field and table validators.
class mss_validator : public udb_validator {
public:
    mss_validator() : udb_validator(0) {}
    bool is_acceptable(const std::wstring& name) override;
    std::wstring get_safe_name(const std::wstring& name) override;
};

// Field names of one table: every acceptable column name is in use.
class mss_fn_validator : public mss_validator {
public:
    explicit mss_fn_validator(const std::vector<t_ftd*>& columns);
};

// Table names of one database: every given name is in use.
class mss_tn_validator : public mss_validator {
public:
    mss_tn_validator(const std::vector<std::wstring>& tables, const std::vector<std::wstring>& others);
};

// Engine settings for the T-SQL tests: installed for one scope, the previous ones restored after.
#pragma once
#include <vector>
#include <gtest/gtest.h>
#include "MSS/mss_dump.h"
#include "MSS/mss_util.h"

class mss_test_engine {
public:
    explicit mss_test_engine(bool unicode = true, unsigned version = 0, const std::wstring& user = L"")
    {
        mss_engine_flags f;
        f.unicode = unicode;
        f.version = version;
        f.user = user;
        stack().push_back(f);
        install();
    }
    ~mss_test_engine()
    {
        stack().pop_back();
        install();
    }
    mss_test_engine(const mss_test_engine&) = delete;
    mss_test_engine& operator=(const mss_test_engine&) = delete;

private:
    static std::vector<mss_engine_flags>& stack()
    {
        static std::vector<mss_engine_flags> s;
        return s;
    }
    static void install()
    {
        if (stack().empty()) {
            mss_set_engine_flags_source({});
            return;
        }
        const mss_engine_flags f = stack().back();
        mss_set_engine_flags_source([f] { return f; });
    }
};

#include "UDB/udb_db.h"

// A field whose value is empty but which answers its column's type, as the Access
// reader's fields do.
class typed_empty_field : public udb_field {
public:
    typed_empty_field(const std::wstring& name, VARTYPE column_type)
        : udb_field(name, 4, ole_variant()), type_(column_type) {}
    VARTYPE get_type() const override { return type_; }

private:
    VARTYPE type_;
};

// A NULL value.
inline ole_variant null_variant()
{
    ole_variant v;
    v.set_null();
    return v;
}

// A script destination completed when it goes, after the recordsets declared after it have
// written their last statements (as the run completes it after the last entry).
class completed_dump : public mss_dmp_database {
public:
    using mss_dmp_database::mss_dmp_database;
    ~completed_dump() override
    {
        try {
            finish();
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
        }
    }
};

// Engine settings for the T-SQL tests: installed for one scope, the previous ones restored after.
#pragma once
#include <vector>
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

#include "OLE/ole_var.h"

// A value of the given type holding nothing (VT_NULL) or the given integer.
inline ole_variant make_variant(VARTYPE vt, long long value)
{
    return ole_variant::make(vt, value);
}

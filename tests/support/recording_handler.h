// An error handler for tests: it keeps every report instead of showing or ending anything.
#pragma once
#include <string>
#include <vector>

#include "TK/tk_errco.h"
#include "TK/tk_errh.h"

namespace drav_test {

class recording_handler : public error_handler {
public:
    recording_handler() : error_handler(tk_sql_error_count, tk_sql_error_table) {}
    void handle(const tk_exception& e, bool is_final) override
    {
        messages.push_back(build_message(e));
        levels.push_back(e.level());
        finals.push_back(is_final);
    }
    std::vector<std::string> messages;
    std::vector<int> levels;
    std::vector<bool> finals;
};

} // namespace drav_test

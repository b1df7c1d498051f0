// What a test puts in place of the user around a conversion run: an error handler that keeps the
// reports and a front end that shows nothing and notes a failed run.
#pragma once
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/acc_conv.h"
#include "tests/support/recording_handler.h"

namespace drav_test {

class quiet_frontend : public run_frontend {
public:
    void database_started(const std::wstring&, std::uint32_t) override {}
    void table_missing(const std::wstring&) override {}
    void table_started(const std::wstring&, std::uint64_t) override {}
    void engine_required() override {}
    void unexpected(const std::exception& e) override { ADD_FAILURE() << e.what(); }
    void run_failed() override { failed = true; }
    bool failed = false;
};

} // namespace drav_test

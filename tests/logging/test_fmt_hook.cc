// SPDX-License-Identifier: Apache-2.0
// The stack-trace hook linked into a program: every fmt format error leaves
// a stack trace on standard error before the exception travels on.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include <fmt/format.h>
#include <spdlog/logger.h>

#include "log.h"
#include "logging_test_util.h"

namespace {

struct bad_format_case_s {
    const char *name;
    std::string (*format)();
};

class FmtHook : public ::testing::TestWithParam<bad_format_case_s> {};

TEST_P(FmtHook, TraceIsWrittenBeforeTheErrorArrives) {
    fd_capture_s err(2);
    std::string seen_at_catch;
    bool caught = false;
    try {
        GetParam().format();
    } catch (const fmt::format_error &) {
        caught = true;
        seen_at_catch = err.peek();
    }
    err.finish();
    ASSERT_TRUE(caught);
    EXPECT_EQ(seen_at_catch.rfind("stack trace:\n", 0), 0u) << seen_at_catch;
    // The throwing frame is named: the trace starts inside the hook's caller.
    EXPECT_NE(seen_at_catch.find("\n  "), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, FmtHook,
    ::testing::Values(bad_format_case_s{"StringAsNumber", [] { return fmt::format(fmt::runtime("{:d}"), "x"); }},
                      bad_format_case_s{"Unterminated", [] { return fmt::format(fmt::runtime("{"), 1); }},
                      bad_format_case_s{"NegativePrecision",
                                        [] { return fmt::format(fmt::runtime("{:.{}f}"), 1.0, -1); }}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(FmtHookOthers, GoodFormatsAndOtherExceptionsLeaveNoTrace) {
    fd_capture_s err(2);
    EXPECT_EQ(fmt::format(fmt::runtime("{:d}"), 42), "42");
    EXPECT_THROW(throw std::runtime_error("not a format error"), std::runtime_error);
    EXPECT_EQ(err.finish(), "");
}

TEST(FmtHookOthers, LoggerReportsAfterTheTrace) {
    temp_dir dir;
    env_guard_s env("PERSISTENT_LOG_DIR", dir.path.c_str());
    const std::string path = dir / "main.log";
    utils::log *lg =
        utils::log::factory("fu-hook-test", 1, sdk::types::LOG_MODE_SYNC, false, nullptr, path.c_str(), 4096, 1,
                            TRACE_LEVEL_ERROR, TRACE_LEVEL_DEBUG, sdk::types::SYSLOG_LEVEL_NONE, true);
    ASSERT_NE(lg, nullptr);
    fd_capture_s err(2);
    lg->logger()->info(fmt::runtime("{:d}"), "x");  // spdlog catches the error itself
    std::string text = err.finish();
    utils::log::destroy(lg);
    size_t trace_at = text.find("stack trace:\n");
    size_t report_at = text.find("LOG ERROR");
    ASSERT_NE(trace_at, std::string::npos) << text;
    ASSERT_NE(report_at, std::string::npos) << text;
    EXPECT_LT(trace_at, report_at);
}

}  // namespace

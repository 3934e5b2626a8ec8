// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>

#include <spdlog/async_logger.h>
#include <spdlog/logger.h>

#include "log.h"
#include "logging_test_util.h"

namespace {

using sdk::types::LOG_MODE_ASYNC;
using sdk::types::LOG_MODE_SYNC;

const std::string BANNER_5 = "*** Boot #5 ***";

struct log_deleter_s {
    void operator()(utils::log *instance) const { utils::log::destroy(instance); }
};
using log_ptr = std::unique_ptr<utils::log, log_deleter_s>;

log_ptr file_log_new(const std::string &err_path, const std::string &path, unsigned long max_size = 0x500000,
                     unsigned long max_files = 1, trace_level_e level = TRACE_LEVEL_VERBOSE) {
    return log_ptr(utils::log::factory("fu-test", 1, LOG_MODE_SYNC, false,
                                       err_path.empty() ? nullptr : err_path.c_str(),
                                       path.empty() ? nullptr : path.c_str(), max_size, max_files, TRACE_LEVEL_ERROR,
                                       level, sdk::types::SYSLOG_LEVEL_NONE, true));
}

class Logger : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path.empty());
        write_file(dir / "boot_count.txt", "5\n");
        setenv("PERSISTENT_LOG_DIR", dir.path.c_str(), 1);
    }
    temp_dir dir;
    env_guard_s env{"PERSISTENT_LOG_DIR", nullptr};  // restored afterwards
    void boot_set(int n) { write_file(dir / "boot_count.txt", std::to_string(n) + "\n"); }
};

TEST_F(Logger, FileStartsWithBannerAndLinesCarryBootLevelTimeAndThread) {
    log_ptr lg = file_log_new("", dir / "main.log");
    ASSERT_TRUE(lg);
    lg->logger()->warn("{}", "disk {nearly} full");
    lg->flush();

    std::vector<std::string> lines = split_lines(file_text(dir / "main.log"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], BANNER_5);
    ASSERT_TRUE(log_line_is(lines[1], 'W', 5, "disk {nearly} full")) << lines[1];
    EXPECT_EQ(log_line_parse(lines[1])->tid, static_cast<long>(syscall(SYS_gettid)));
}

TEST_F(Logger, EveryLevelHasItsLetter) {
    log_ptr lg = file_log_new("", dir / "main.log");
    ASSERT_TRUE(lg);
    auto l = lg->logger();
    l->trace("t");
    l->debug("d");
    l->info("i");
    l->warn("w");
    l->error("e");
    l->critical("c");
    lg->flush();
    std::string letters;
    for (const std::string &line : split_lines(file_text(dir / "main.log"))) {
        if (line != BANNER_5) {
            letters += line.substr(0, 2);
        }
    }
    EXPECT_EQ(letters, "T D I W E C ");
}

TEST_F(Logger, ErrorLogReceivesErrorsOnly) {
    std::string err_path = dir / "flash-update-err.log";
    std::string path = dir / "flash-update.log";
    utils::trace_params_s params{};
    params.name = "flash-update";
    params.cpu_mask = 1;
    params.sync = true;
    params.err_log_file = err_path.c_str();
    params.log_file = path.c_str();
    params.max_file_size = 0x500000;
    params.max_files = 1;
    params.trace_level = TRACE_LEVEL_DEBUG;
    log_ptr lg(utils::trace_init(&params));
    ASSERT_TRUE(lg);
    EXPECT_FALSE(lg->is_syslog());
    auto l = lg->logger();
    for (auto level : {spdlog::level::trace, spdlog::level::debug, spdlog::level::info, spdlog::level::warn,
                       spdlog::level::err, spdlog::level::critical}) {
        l->log(level, "level {}", static_cast<int>(level));
    }
    // Errors reach the files at once, without an explicit flush.
    std::vector<std::string> err_lines = split_lines(file_text(err_path));
    ASSERT_EQ(err_lines.size(), 3u);
    EXPECT_EQ(err_lines[0], BANNER_5);
    EXPECT_TRUE(log_line_is(err_lines[1], 'E', 5, "level 4")) << err_lines[1];
    EXPECT_TRUE(log_line_is(err_lines[2], 'C', 5, "level 5")) << err_lines[2];

    std::vector<std::string> lines = split_lines(file_text(path));
    ASSERT_EQ(lines.size(), 6u);  // banner, then debug to critical; trace is below level 4
    EXPECT_TRUE(log_line_is(lines[1], 'D', 5, "level 1")) << lines[1];
}

TEST_F(Logger, OnlyErrorLogGiven) {
    log_ptr lg = file_log_new(dir / "err.log", "");
    ASSERT_TRUE(lg);
    lg->logger()->debug("quiet");
    lg->logger()->error("loud");
    lg->flush();
    std::vector<std::string> lines = split_lines(file_text(dir / "err.log"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(log_line_is(lines[1], 'E', 5, "loud"));
    EXPECT_EQ(lg->log_path(), "");
    EXPECT_EQ(lg->err_log_path(), dir / "err.log");
}

TEST_F(Logger, TraceLevelTwoHidesInfoAndDebugSyslogLevelChangesNothing) {
    log_ptr lg = file_log_new("", dir / "main.log", 0x500000, 1, TRACE_LEVEL_DEBUG);
    ASSERT_TRUE(lg);
    lg->set_trace_level(TRACE_LEVEL_WARN);
    EXPECT_EQ(lg->trace_level(), TRACE_LEVEL_WARN);
    lg->set_syslog_level(sdk::types::SYSLOG_LEVEL_DEBUG);
    EXPECT_EQ(lg->syslog_level(), sdk::types::SYSLOG_LEVEL_NONE);
    auto l = lg->logger();
    l->debug("d");
    l->info("i");
    l->warn("w");
    lg->flush();
    std::vector<std::string> lines = split_lines(file_text(dir / "main.log"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].substr(0, 3), "W [");
}

// Length of one line "message NN" written by this thread with boot 5.
size_t line_length(const temp_dir &dir) {
    log_ptr lg = file_log_new("", dir / "measure.log");
    lg->logger()->info("message 00");
    lg->flush();
    return file_text(dir / "measure.log").size() - (BANNER_5.size() + 1);
}

TEST_F(Logger, RotationKeepsPathDot1AndStartsFreshFileWithBanner) {
    const size_t line_len = line_length(dir);
    const std::string path = dir / "flash-update.log";
    // Three lines fit exactly; they would not if banners were counted.
    log_ptr lg = file_log_new("", path, 3 * line_len, 1);
    ASSERT_TRUE(lg);
    auto l = lg->logger();
    for (int i = 0; i < 7; ++i) {
        if (i == 3) {
            boot_set(6);
        }
        if (i == 6) {
            boot_set(7);
        }
        l->info("message {:02}", i);
    }
    lg->flush();

    std::vector<std::string> rotated = split_lines(file_text(path + ".1"));
    ASSERT_EQ(rotated.size(), 4u);
    EXPECT_EQ(rotated[0], "*** Boot #6 ***");
    for (int i = 0; i < 3; ++i) {
        // Lines keep the boot number the logger was built with.
        EXPECT_TRUE(log_line_is(rotated[i + 1], 'I', 5, "message 0" + std::to_string(i + 3))) << rotated[i + 1];
    }
    std::vector<std::string> current = split_lines(file_text(path));
    ASSERT_EQ(current.size(), 2u);
    EXPECT_EQ(current[0], "*** Boot #7 ***");
    EXPECT_TRUE(log_line_is(current[1], 'I', 5, "message 06")) << current[1];
    EXPECT_FALSE(file_exists(path + ".2"));
    EXPECT_FALSE(file_exists(dir / "flash-update.1.log"));
}

TEST_F(Logger, RotationShiftsOlderFiles) {
    const size_t line_len = line_length(dir);
    const std::string path = dir / "shift.log";
    log_ptr lg = file_log_new("", path, line_len, 2);
    ASSERT_TRUE(lg);
    for (int i = 0; i < 4; ++i) {
        lg->logger()->info("message {:02}", i);
    }
    lg->flush();
    const char *expected[] = {"message 03", "message 02", "message 01"};
    for (int i = 0; i < 3; ++i) {
        const std::string name = i == 0 ? path : path + "." + std::to_string(i);
        std::vector<std::string> lines = split_lines(file_text(name));
        ASSERT_EQ(lines.size(), 2u) << name;
        EXPECT_EQ(lines[0], BANNER_5);
        EXPECT_TRUE(log_line_is(lines[1], 'I', 5, expected[i])) << lines[1];
    }
    EXPECT_FALSE(file_exists(path + ".3"));
}

TEST_F(Logger, AppendingCountsExistingBytesAndAddsBanner) {
    const size_t line_len = line_length(dir);
    const std::string path = dir / "old.log";
    write_file(path, "old line\n");
    log_ptr lg = file_log_new("", path, line_len, 1);
    ASSERT_TRUE(lg);
    lg->flush();
    EXPECT_EQ(file_text(path), "old line\n" + BANNER_5 + "\n");
    lg->logger()->info("message 00");
    lg->flush();
    EXPECT_EQ(file_text(path + ".1"), "old line\n" + BANNER_5 + "\n");
    std::vector<std::string> lines = split_lines(file_text(path));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], BANNER_5);
}

TEST_F(Logger, FactoryRefusals) {
    const std::string ok = dir / "ok.log";
    EXPECT_EQ(utils::log::factory(nullptr, 1, LOG_MODE_SYNC, false, nullptr, ok.c_str(), 4096, 1, TRACE_LEVEL_ERROR,
                                  TRACE_LEVEL_DEBUG, sdk::types::SYSLOG_LEVEL_NONE, true),
              nullptr);
    EXPECT_EQ(utils::log::factory("fu-test", 1, LOG_MODE_SYNC, false, nullptr, nullptr, 4096, 1, TRACE_LEVEL_ERROR,
                                  TRACE_LEVEL_DEBUG, sdk::types::SYSLOG_LEVEL_NONE, true),
              nullptr);
    EXPECT_FALSE(file_exists(ok));

    // A log file that cannot be opened (here: a directory) gives no logger
    // and leaves the program running.
    fd_capture_s err(2);
    EXPECT_EQ(file_log_new("", dir.path), nullptr);
    EXPECT_EQ(file_log_new(dir.path, ok), nullptr);
    std::string text = err.finish();
    EXPECT_NE(text.find("Failed opening file " + dir.path + " for writing"), std::string::npos) << text;
}

TEST(LoggerParams, TraceInitRefusesMissingFields) {
    EXPECT_EQ(utils::trace_init(nullptr), nullptr);
    utils::trace_params_s params{};
    params.log_file = "/tmp/never-written.log";
    EXPECT_EQ(utils::trace_init(&params), nullptr);  // no name
    params.name = "fu-test";
    params.log_file = nullptr;
    EXPECT_EQ(utils::trace_init(&params), nullptr);
    utils::flush_logs(nullptr);
    utils::trace_cleanup(nullptr);
    utils::trace_update(TRACE_LEVEL_INFO, nullptr);
}

TEST(LoggerSyslog, SyncAndAsyncConstructLogAndChangeOnlySyslogLevel) {
    const std::string name = "fu-test-syslog-" + std::to_string(getpid());
    for (auto mode : {LOG_MODE_SYNC, LOG_MODE_ASYNC}) {
        log_ptr lg(utils::log::factory(name.c_str(), 1, mode, true, nullptr, "unused", 0, 0, TRACE_LEVEL_ERROR,
                                       TRACE_LEVEL_DEBUG, sdk::types::SYSLOG_LEVEL_INFO, true));
        ASSERT_TRUE(lg) << "mode " << mode;
        EXPECT_TRUE(lg->is_syslog());
        auto l = lg->logger();
        EXPECT_EQ(dynamic_cast<spdlog::async_logger *>(l.get()) != nullptr, mode == LOG_MODE_ASYNC);
        EXPECT_EQ(l->level(), spdlog::level::info);
        lg->set_trace_level(TRACE_LEVEL_VERBOSE);
        EXPECT_EQ(lg->trace_level(), TRACE_LEVEL_DEBUG);
        EXPECT_EQ(l->level(), spdlog::level::info);
        lg->set_syslog_level(sdk::types::SYSLOG_LEVEL_ERR);
        EXPECT_EQ(lg->syslog_level(), sdk::types::SYSLOG_LEVEL_ERR);
        EXPECT_EQ(l->level(), spdlog::level::err);
        l->error("flash-update logging test {}", static_cast<int>(mode));
        lg->flush();
    }
}

TEST(LoggerAffinity, PinsToTheMaskedCpus) {
    const uint64_t saved = utils::g_logger_cpu_mask;
    utils::g_logger_cpu_mask = 1;
    int rc = -1;
    bool only_cpu0 = false;
    std::thread worker([&] {
        rc = utils::log::set_cpu_affinity();
        cpu_set_t set;
        CPU_ZERO(&set);
        if (sched_getaffinity(0, sizeof(set), &set) == 0) {
            only_cpu0 = CPU_COUNT(&set) == 1 && CPU_ISSET(0, &set);
        }
    });
    worker.join();
    utils::g_logger_cpu_mask = saved;
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(only_cpu0);
}

}  // namespace

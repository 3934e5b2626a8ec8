// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "log.h"
#include "logging_test_util.h"
#include "trace.h"

namespace {

// Each test starts without a logger and leaves none behind.
class Trace : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path.empty());
        ASSERT_EQ(g_trace_logger, nullptr);
    }
    void TearDown() override {
        utils::trace_cleanup(g_trace_logger);
        g_trace_logger = nullptr;
    }
    // Both logs (and the boot-count file) in the temporary directory.
    void logs_in_temp_dir() {
        setenv("NON_PERSISTENT_LOG_DIR", (dir.path + "/").c_str(), 1);
        setenv("PERSISTENT_LOG_DIR", (dir.path + "/").c_str(), 1);
        ASSERT_EQ(trace_init("0000:03:00.0"), 0);
        ASSERT_NE(g_trace_logger, nullptr);
    }
    std::string main_log() {
        flush_logs();
        return file_text(dir / "flash-update.log");
    }

    temp_dir dir;
    env_guard_s main_env{"NON_PERSISTENT_LOG_DIR", nullptr};
    env_guard_s err_env{"PERSISTENT_LOG_DIR", nullptr};
};

// A card address of this process alone, so parallel runs never share
// /tmp/korvex/<bdf>/.
std::string own_bdf() {
    char bdf[16];
    snprintf(bdf, sizeof(bdf), "%04x:fe:1f.7", static_cast<unsigned>(getpid()) & 0xffffu);
    return bdf;
}

TEST_F(Trace, DefaultDirectoryIsPerCardUnderKorvex) {
    mkdir(TRACE_DEFAULT_LOG_DIR, 0755);  // the front end expects it to exist
    const std::string card_dir = std::string(TRACE_DEFAULT_LOG_DIR) + own_bdf() + "/";
    std::filesystem::remove_all(card_dir);
    mode_t old_mask = umask(022);
    int rc = trace_init(own_bdf().c_str());
    umask(old_mask);
    ASSERT_EQ(rc, 0);
    ASSERT_NE(g_trace_logger, nullptr);
    trace_log_cb(nullptr, TRACE_LEVEL_ERROR, "[%s:%u] broken", "main", 561u);

    struct stat st {};
    EXPECT_EQ(stat(card_dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_NE(file_text(card_dir + "flash-update.log").find("] broken"), std::string::npos);
    EXPECT_NE(file_text(card_dir + "flash-update-err.log").find("] broken"), std::string::npos);
    utils::trace_cleanup(g_trace_logger);
    g_trace_logger = nullptr;
    std::filesystem::remove_all(card_dir);
}

TEST_F(Trace, PersistentDirTakesOnlyTheErrorLog) {
    mkdir(TRACE_DEFAULT_LOG_DIR, 0755);
    const std::string card_dir = std::string(TRACE_DEFAULT_LOG_DIR) + own_bdf() + "/";
    setenv("PERSISTENT_LOG_DIR", (dir.path + "/").c_str(), 1);
    ASSERT_EQ(trace_init(own_bdf().c_str()), 0);
    EXPECT_TRUE(file_exists(card_dir + "flash-update.log"));
    EXPECT_FALSE(file_exists(card_dir + "flash-update-err.log"));
    EXPECT_TRUE(file_exists(dir / "flash-update-err.log"));
    EXPECT_FALSE(file_exists(dir / "flash-update.log"));
    utils::trace_cleanup(g_trace_logger);
    g_trace_logger = nullptr;
    std::filesystem::remove_all(card_dir);
}

TEST_F(Trace, DirectoryIsAPrefixAsGiven) {
    setenv("NON_PERSISTENT_LOG_DIR", (dir / "var").c_str(), 1);
    setenv("PERSISTENT_LOG_DIR", (dir.path + "/").c_str(), 1);
    ASSERT_EQ(trace_init("0000:03:00.0"), 0);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "var"));
    EXPECT_TRUE(file_exists(dir / "varflash-update.log"));
}

struct dir_failure_case_s {
    const char *name;
    const char *main_dir;  // relative to the temporary directory
    bool make_file;        // main_dir exists as a plain file
};

class TraceDirFailure : public Trace, public ::testing::WithParamInterface<dir_failure_case_s> {};

TEST_P(TraceDirFailure, ReportsAndGivesNoLogger) {
    const std::string main_dir = dir / GetParam().main_dir;
    if (GetParam().make_file) {
        write_file(main_dir, "");
    }
    setenv("NON_PERSISTENT_LOG_DIR", main_dir.c_str(), 1);
    setenv("PERSISTENT_LOG_DIR", (dir.path + "/").c_str(), 1);
    fd_capture_s err(2);
    EXPECT_EQ(trace_init("0000:03:00.0"), 255);
    EXPECT_EQ(err.finish(), "Error: failed to create log dir " + main_dir + "\n");
    EXPECT_EQ(g_trace_logger, nullptr);
    EXPECT_FALSE(file_exists(dir / "flash-update-err.log"));
    trace_log_cb(nullptr, TRACE_LEVEL_ERROR, "dropped");  // no logger: silently nothing
    EXPECT_EQ(trace_level_get(), TRACE_LEVEL_NONE);
    flush_logs();
}

INSTANTIATE_TEST_SUITE_P(Dirs, TraceDirFailure,
                         ::testing::Values(dir_failure_case_s{"MissingParent", "missing/korvex/", false},
                                           dir_failure_case_s{"NotADirectory", "plain", true}),
                         [](const auto &info) { return std::string(info.param.name); });

// access(W_OK) never fails for root on a writable file system, so the check
// runs in a child that has given up root.
TEST_F(Trace, ReadOnlyDirectoryIsRefused) {
    const std::string ro_dir = dir / "ro/";
    ASSERT_EQ(mkdir(ro_dir.c_str(), 0555), 0);
    ASSERT_EQ(chmod(ro_dir.c_str(), 0555), 0);
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    setenv("NON_PERSISTENT_LOG_DIR", ro_dir.c_str(), 1);
    setenv("PERSISTENT_LOG_DIR", ro_dir.c_str(), 1);
    const std::string err_file = dir / "stderr";

    constexpr int CANNOT_DROP_ROOT = 77;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        FILE *err = fopen(err_file.c_str(), "w");
        if (err == nullptr || dup2(fileno(err), 2) < 0) {
            _exit(CANNOT_DROP_ROOT + 1);
        }
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(CANNOT_DROP_ROOT);
        }
        int rc = trace_init("0000:03:00.0");
        _exit(g_trace_logger == nullptr ? rc : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == CANNOT_DROP_ROOT) {
        GTEST_SKIP() << "cannot give up root here (no CAP_SETUID), so no directory is read-only";
    }
    EXPECT_EQ(WEXITSTATUS(status), 255);
    const std::string msg = "No permissions to create log file in " + ro_dir + "\n";
    EXPECT_EQ(file_text(err_file), msg + msg);
}

TEST_F(Trace, UnopenableLogFileLeavesNoLoggerButSucceeds) {
    ASSERT_EQ(mkdir((dir / "flash-update.log").c_str(), 0755), 0);
    setenv("NON_PERSISTENT_LOG_DIR", (dir.path + "/").c_str(), 1);
    setenv("PERSISTENT_LOG_DIR", (dir.path + "/").c_str(), 1);
    fd_capture_s err(2);
    EXPECT_EQ(trace_init("0000:03:00.0"), 0);
    err.finish();
    EXPECT_EQ(g_trace_logger, nullptr);
    trace_log_cb(nullptr, TRACE_LEVEL_ERROR, "dropped");
}

struct gate_case_s {
    trace_level_e configured;
    int message;
    const char *letter;  // nullptr: not written
};

class TraceGate : public Trace, public ::testing::WithParamInterface<gate_case_s> {};

TEST_P(TraceGate, MessageWrittenWhenConfiguredLevelAdmitsIt) {
    logs_in_temp_dir();
    trace_update(GetParam().configured);
    EXPECT_EQ(trace_level_get(), GetParam().configured);
    trace_log_cb(nullptr, static_cast<trace_level_e>(GetParam().message), "gate %d", GetParam().message);
    {
        fd_capture_s out(1);  // rfc_trace_log_cb also prints level 3
        rfc_trace_log_cb(nullptr, GetParam().message, "gate %d", GetParam().message);
    }
    std::vector<std::string> lines = split_lines(main_log());
    ASSERT_FALSE(lines.empty());
    lines.erase(lines.begin());  // banner
    if (GetParam().letter == nullptr) {
        EXPECT_TRUE(lines.empty()) << lines[0];
        return;
    }
    ASSERT_EQ(lines.size(), 2u);
    for (const std::string &line : lines) {
        EXPECT_EQ(line.substr(0, 2), std::string(GetParam().letter) + " ");
        EXPECT_TRUE(line.ends_with(") gate " + std::to_string(GetParam().message))) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Levels, TraceGate,
    ::testing::Values(gate_case_s{TRACE_LEVEL_DEBUG, 1, "E"}, gate_case_s{TRACE_LEVEL_DEBUG, 2, "W"},
                      gate_case_s{TRACE_LEVEL_DEBUG, 3, "I"}, gate_case_s{TRACE_LEVEL_DEBUG, 4, "D"},
                      gate_case_s{TRACE_LEVEL_DEBUG, 5, nullptr}, gate_case_s{TRACE_LEVEL_VERBOSE, 5, "T"},
                      gate_case_s{TRACE_LEVEL_INFO, 4, nullptr}, gate_case_s{TRACE_LEVEL_INFO, 3, "I"},
                      gate_case_s{TRACE_LEVEL_WARN, 3, nullptr}, gate_case_s{TRACE_LEVEL_ERROR, 1, "E"},
                      gate_case_s{TRACE_LEVEL_NONE, 1, nullptr}, gate_case_s{TRACE_LEVEL_VERBOSE, 0, nullptr},
                      gate_case_s{TRACE_LEVEL_VERBOSE, 6, nullptr}));

TEST_F(Trace, LongMessageIsCutTo1023Characters) {
    logs_in_temp_dir();
    const std::string text(2000, 'x');
    trace_log_cb(nullptr, TRACE_LEVEL_ERROR, "%s", text.c_str());
    std::vector<std::string> lines = split_lines(main_log());
    ASSERT_EQ(lines.size(), 2u);
    const std::string expected = ") " + std::string(1023, 'x');
    ASSERT_GE(lines[1].size(), expected.size());
    EXPECT_EQ(lines[1].substr(lines[1].size() - expected.size()), expected);
}

TEST_F(Trace, BracesInTheTextArePrintedAsTheyAre) {
    logs_in_temp_dir();
    fd_capture_s err(2);
    trace_log_cb(nullptr, TRACE_LEVEL_INFO, "[%s] {} {:d} {", "x");
    EXPECT_EQ(err.finish(), "");
    std::vector<std::string> lines = split_lines(main_log());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(log_line_is(lines[1], 'I', 0, "[x] {} {:d} {")) << lines[1];
}

TEST_F(Trace, BannerAndLinesCarryTheBootNumber) {
    write_file(dir / "boot_count.txt", "7\n");
    logs_in_temp_dir();
    trace_log_cb(nullptr, TRACE_LEVEL_ERROR, "[%s:%u] exiting..", "atexit_handler", 425u);
    for (const char *name : {"flash-update.log", "flash-update-err.log"}) {
        std::vector<std::string> lines = split_lines(file_text(dir / name));
        ASSERT_EQ(lines.size(), 2u) << name;
        EXPECT_EQ(lines[0], "*** Boot #7 ***");
        EXPECT_TRUE(log_line_is(lines[1], 'E', 7, "[atexit_handler:425] exiting..")) << lines[1];
    }
}

TEST_F(Trace, ClientInfoLinesReachStandardOutput) {
    {
        fd_capture_s out(1);
        rfc_trace_log_cb(nullptr, TRACE_LEVEL_INFO, "[%s] verified %d", "ts", 1);
        rfc_trace_log_cb(nullptr, TRACE_LEVEL_ERROR, "[%s] not shown", "ts");
        EXPECT_EQ(out.finish(), "[ts] verified 1\n");  // no logger at all
    }
    logs_in_temp_dir();
    trace_update(TRACE_LEVEL_WARN);
    fd_capture_s out(1);
    rfc_trace_log_cb(nullptr, TRACE_LEVEL_INFO, "[%s] result", "ts");
    trace_log_cb(nullptr, TRACE_LEVEL_INFO, "front end line");
    rfc_trace_log_cb(nullptr, TRACE_LEVEL_DEBUG, "[%s] debug", "ts");
    EXPECT_EQ(out.finish(), "[ts] result\n");
    EXPECT_EQ(split_lines(main_log()).size(), 1u);  // the banner only
}

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// The log files: the per-card log directory is used only when it is a real
// directory of ours that nobody else can write, and no log file is ever
// opened (appended, truncated) through a symbolic link.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include <spdlog/logger.h>

#include "log.h"
#include "safety_util.h"
#include "trace.h"

namespace {

// Sets (or with nullptr unsets) a variable for the lifetime of the guard.
struct env_guard_s {
    std::string name;
    bool had = false;
    std::string old;
    env_guard_s(const char *var, const char *value) : name(var) {
        if (const char *cur = getenv(var)) {
            had = true;
            old = cur;
        }
        if (value != nullptr) {
            setenv(var, value, 1);
        } else {
            unsetenv(var);
        }
    }
    ~env_guard_s() {
        if (had) {
            setenv(name.c_str(), old.c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
};

// A card address of this process alone, so parallel runs never share
// /tmp/korvex/<bdf>/.
std::string own_bdf() {
    char bdf[16];
    snprintf(bdf, sizeof(bdf), "%04x:5a:1e.6", static_cast<unsigned>(getpid()) & 0xffffu);
    return bdf;
}

class LogDir : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(elsewhere.path.empty());
        ASSERT_EQ(chmod(elsewhere.path.c_str(), 0755), 0);
        mkdir(TRACE_DEFAULT_LOG_DIR, 0755);
        std::filesystem::remove_all(card_dir_link);
        ASSERT_EQ(g_trace_logger, nullptr);
    }
    void TearDown() override {
        utils::trace_cleanup(g_trace_logger);
        g_trace_logger = nullptr;
        std::error_code ec;
        std::filesystem::remove_all(card_dir_link, ec);  // a link itself, never its target
    }
    // The per-card directory made as trace_init makes it.
    void make_card_dir() {
        ASSERT_EQ(mkdir(card_dir_link.c_str(), 0755), 0);
        ASSERT_EQ(chmod(card_dir_link.c_str(), 0755), 0);
    }

    const std::string bdf = own_bdf();
    const std::string card_dir = std::string(TRACE_DEFAULT_LOG_DIR) + bdf + "/";
    const std::string card_dir_link = std::string(TRACE_DEFAULT_LOG_DIR) + bdf;
    safety_dir_s elsewhere;
    env_guard_s main_env{"NON_PERSISTENT_LOG_DIR", nullptr};
    env_guard_s err_env{"PERSISTENT_LOG_DIR", nullptr};
};

TEST_F(LogDir, OwnDirectoryIsUsed) {
    const mode_t old_mask = umask(022);
    const int rc = trace_init(bdf.c_str());
    umask(old_mask);
    ASSERT_EQ(rc, 0);
    ASSERT_NE(g_trace_logger, nullptr);
    EXPECT_EQ(safety_mode(card_dir_link), 0755);
    EXPECT_EQ(safety_mode(card_dir + "flash-update.log"), 0644);
    EXPECT_EQ(safety_mode(card_dir + "flash-update-err.log"), 0644);
}

struct dir_case_s {
    const char *name;
    void (*plant)(const std::string &card_dir_link, const std::string &elsewhere);
    const char *reason;  // null: the owner's reason, built from the uids
};

const dir_case_s k_dir_cases[] = {
    {"Symlink",
     [](const std::string &link, const std::string &elsewhere) {
         ASSERT_EQ(symlink(elsewhere.c_str(), link.c_str()), 0);
     },
     "it is a symbolic link"},
    {"WritableByOthers",
     [](const std::string &dir, const std::string &) {
         ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
         ASSERT_EQ(chmod(dir.c_str(), 01777), 0);
     },
     "it is writable by group or others (mode 777)"},
    {"WritableByGroup",
     [](const std::string &dir, const std::string &) {
         ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
         ASSERT_EQ(chmod(dir.c_str(), 0770), 0);
     },
     "it is writable by group or others (mode 770)"},
    {"OwnedByAnotherUser",
     [](const std::string &dir, const std::string &) {
         ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
         ASSERT_EQ(chown(dir.c_str(), k_safety_other_uid, k_safety_other_uid), 0);
     },
     nullptr},
};

class LogDirRefusal : public LogDir, public ::testing::WithParamInterface<dir_case_s> {};

// Both logs live in the per-card directory, so both path steps say so; the
// program then runs without a logger.
TEST_P(LogDirRefusal, UnusableWithoutLogger) {
    const dir_case_s &c = GetParam();
    if (c.reason == nullptr && geteuid() != 0) {
        GTEST_SKIP() << "needs root: gives a directory to another user";
    }
    c.plant(card_dir_link, elsewhere.path);
    const std::string reason = c.reason != nullptr ? c.reason
                                                   : "it is owned by uid " + std::to_string(k_safety_other_uid) +
                                                         ", not " + std::to_string(geteuid());
    const std::string line = "Error: unusable log directory " + card_dir + ": " + reason + "\n";

    safety_stderr_capture_s err;
    EXPECT_EQ(trace_init(bdf.c_str()), 255);
    EXPECT_EQ(err.finish(), line + line);
    EXPECT_EQ(g_trace_logger, nullptr);
    trace_log_cb(nullptr, TRACE_LEVEL_ERROR, "dropped");
    EXPECT_EQ(safety_entries(elsewhere.path), 0u);
    EXPECT_FALSE(safety_exists(card_dir + "flash-update.log"));
    EXPECT_FALSE(safety_exists(card_dir + "flash-update-err.log"));
}

INSTANTIATE_TEST_SUITE_P(Plants, LogDirRefusal, ::testing::ValuesIn(k_dir_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(LogDir, LogFileSymlinkInOwnDirectory) {
    make_card_dir();
    safety_write(elsewhere / "victim", "untouched\n");
    ASSERT_EQ(symlink((elsewhere / "victim").c_str(), (card_dir + "flash-update.log").c_str()), 0);

    safety_stderr_capture_s err;
    EXPECT_EQ(trace_init(bdf.c_str()), 255);
    EXPECT_EQ(err.finish(), "Error: unusable log directory " + card_dir + ": flash-update.log is a symbolic link\n");
    EXPECT_EQ(g_trace_logger, nullptr);
    EXPECT_EQ(safety_read(elsewhere / "victim"), "untouched\n");
    EXPECT_FALSE(safety_exists(card_dir + "flash-update-err.log"));
}

// Directories the operator names are trusted as they are (here a link to a
// directory anybody may write); their log files still must not be links.
TEST_F(LogDir, OperatorDirectoriesAreTrustedButNotTheirFileLinks) {
    safety_dir_s shared;
    ASSERT_EQ(chmod(shared.path.c_str(), 01777), 0);
    const std::string via_link = elsewhere / "logs";
    ASSERT_EQ(symlink(shared.path.c_str(), via_link.c_str()), 0);
    env_guard_s main_dir("NON_PERSISTENT_LOG_DIR", (via_link + "/").c_str());
    env_guard_s err_dir("PERSISTENT_LOG_DIR", (elsewhere.path + "/").c_str());
    ASSERT_EQ(trace_init(bdf.c_str()), 0);
    ASSERT_NE(g_trace_logger, nullptr);
    trace_log_cb(nullptr, TRACE_LEVEL_ERROR, "through the operator's link");
    EXPECT_NE(safety_read(shared / "flash-update.log").find("through the operator's link"), std::string::npos);
    utils::trace_cleanup(g_trace_logger);
    g_trace_logger = nullptr;

    std::filesystem::remove(elsewhere / "flash-update-err.log");
    safety_write(shared / "victim", "untouched\n");
    ASSERT_EQ(symlink((shared / "victim").c_str(), (elsewhere / "flash-update-err.log").c_str()), 0);
    safety_stderr_capture_s err;
    EXPECT_EQ(trace_init(bdf.c_str()), 255);
    EXPECT_EQ(err.finish(),
              "Error: unusable log directory " + elsewhere.path + "/: flash-update-err.log is a symbolic link\n");
    EXPECT_EQ(g_trace_logger, nullptr);
    EXPECT_EQ(safety_read(shared / "victim"), "untouched\n");
}

struct log_deleter_s {
    void operator()(utils::log *instance) const { utils::log::destroy(instance); }
};
using log_ptr = std::unique_ptr<utils::log, log_deleter_s>;

log_ptr file_log_new(const std::string &path, unsigned long max_size, unsigned long max_files) {
    return log_ptr(utils::log::factory("fu-safety", 1, sdk::types::LOG_MODE_SYNC, false, nullptr, path.c_str(),
                                       max_size, max_files, TRACE_LEVEL_ERROR, TRACE_LEVEL_VERBOSE,
                                       sdk::types::SYSLOG_LEVEL_NONE, true));
}

// The sink itself refuses a link, whoever made the logger.
TEST(LogSink, RefusesASymlinkAtStart) {
    safety_dir_s dir;
    safety_write(dir / "victim", "untouched\n");
    ASSERT_EQ(symlink((dir / "victim").c_str(), (dir / "main.log").c_str()), 0);
    safety_stderr_capture_s err;
    EXPECT_EQ(file_log_new(dir / "main.log", 4096, 1), nullptr);
    EXPECT_EQ(err.finish(), "Failed opening file " + (dir / "main.log") + " for writing: it is a symbolic link\n");
    EXPECT_EQ(safety_read(dir / "victim"), "untouched\n");
}

// Without rotated files a rotation only reopens the log emptied; a link put
// in its place meanwhile is not followed, so its target is not truncated.
TEST(LogSink, RotationDoesNotTruncateThroughASymlink) {
    safety_dir_s dir;
    const std::string path = dir / "main.log";
    log_ptr lg = file_log_new(path, 200, 0);
    ASSERT_TRUE(lg);
    lg->logger()->info("{}", "first line");
    lg->flush();
    ASSERT_NE(safety_read(path).find("first line"), std::string::npos);

    ASSERT_EQ(unlink(path.c_str()), 0);
    safety_write(dir / "victim", "untouched\n");
    ASSERT_EQ(symlink((dir / "victim").c_str(), path.c_str()), 0);
    safety_stderr_capture_s err;
    lg->logger()->info("{}", std::string(300, 'x'));  // past max_size: rotates
    lg->flush();
    const std::string text = err.finish();
    EXPECT_NE(text.find("Failed opening file " + path + " for writing: it is a symbolic link"), std::string::npos)
        << text;
    EXPECT_EQ(safety_read(dir / "victim"), "untouched\n");
    EXPECT_TRUE(safety_is_link(path));
}

}  // namespace

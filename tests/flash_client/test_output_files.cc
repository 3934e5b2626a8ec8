// SPDX-License-Identifier: Apache-2.0
// The client's output files: opened like fopen "w+" in the per-card directory,
// but never through a symbolic link and never in a directory that another
// user can write.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "rfc_internal.h"
#include "safety_util.h"

namespace {

struct message_s {
    int level;
    std::string text;
};
std::vector<message_s> g_messages;

int capture_cb(void *, int level, const char *fmt, ...) {
    char text[1024];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    g_messages.push_back({level, text});
    return 0;
}

// The text of the only message, with the timestamp cut off ("[...] " kept out).
std::string only_message() {
    if (g_messages.size() != 1) {
        return "(" + std::to_string(g_messages.size()) + " messages)";
    }
    const std::string &text = g_messages[0].text;
    const size_t end = text.find("] ");
    return end == std::string::npos ? text : text.substr(end + 2);
}

// A scratch root laid out like the front end's: "<root>/" as scratch
// directory, so the prefix is "<root>//card/" with its doubled slash.
class OutputFile : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(root.path.empty());
        ASSERT_EQ(mkdir(card_dir.c_str(), 0755), 0);
        ASSERT_EQ(chmod(card_dir.c_str(), 0755), 0);
        rfc_init_params_s params{};
        snprintf(params.bdf, sizeof(params.bdf), "card");
        snprintf(params.scratch_dir, sizeof(params.scratch_dir), "%s/", root.path.c_str());
        params.trace_level = TRACE_LEVEL_DEBUG;
        params.trace_cb = capture_cb;
        ASSERT_EQ(rfc_init(&params), 0);
        g_messages.clear();
        old_umask = umask(022);
        path = rfc_output_path("card_info");  // "<root>//card/card_info.txt"
    }
    void TearDown() override {
        umask(old_umask);
        rfc_init_params_s params{};
        rfc_init(&params);
    }

    safety_dir_s root;
    const std::string card_dir = root / "card";
    std::string path;
    mode_t old_umask = 0;
};

TEST_F(OutputFile, CreatesLikeFopenWritePlus) {
    ASSERT_EQ(path, root.path + "//card/card_info.txt");  // through the doubled slash
    umask(027);
    FILE *file = rfc_open_output(path.c_str());
    ASSERT_NE(file, nullptr) << strerror(errno);
    // Read and write, like "w+".
    ASSERT_GE(fputs("written\n", file), 0);
    rewind(file);
    char line[32] = {};
    ASSERT_NE(fgets(line, sizeof(line), file), nullptr);
    EXPECT_STREQ(line, "written\n");
    fclose(file);
    EXPECT_EQ(safety_mode(card_dir + "/card_info.txt"), 0640);
    EXPECT_TRUE(g_messages.empty());
}

TEST_F(OutputFile, TruncatesAnExistingFile) {
    safety_write(card_dir + "/card_info.txt", "an older and longer text\n");
    FILE *file = rfc_open_output(path.c_str());
    ASSERT_NE(file, nullptr);
    fputs("new\n", file);
    fclose(file);
    EXPECT_EQ(safety_read(card_dir + "/card_info.txt"), "new\n");
}

TEST_F(OutputFile, MissingDirectoryFailsWithoutRefusal) {
    std::filesystem::remove(card_dir);
    errno = 0;
    EXPECT_EQ(rfc_open_output(path.c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(g_messages.empty());
}

// Each way the file or its directory can be turned against the tool.
struct refusal_case_s {
    const char *name;
    void (*plant)(const std::string &card_dir, const std::string &elsewhere);
    const char *reason;  // after "refusing <path>: "
};

const refusal_case_s k_refusals[] = {
    {"FileIsSymlinkToAFile",
     [](const std::string &card_dir, const std::string &elsewhere) {
         safety_write(elsewhere + "/victim", "untouched\n");
         ASSERT_EQ(symlink((elsewhere + "/victim").c_str(), (card_dir + "/card_info.txt").c_str()), 0);
     },
     "it is a symbolic link"},
    {"FileIsDanglingSymlink",
     [](const std::string &card_dir, const std::string &elsewhere) {
         ASSERT_EQ(symlink((elsewhere + "/victim").c_str(), (card_dir + "/card_info.txt").c_str()), 0);
     },
     "it is a symbolic link"},
    {"DirectoryIsSymlink",
     [](const std::string &card_dir, const std::string &elsewhere) {
         ASSERT_EQ(rmdir(card_dir.c_str()), 0);
         ASSERT_EQ(symlink(elsewhere.c_str(), card_dir.c_str()), 0);
     },
     "its directory is a symbolic link"},
    {"DirectoryWritableByOthers",
     [](const std::string &card_dir, const std::string &) { ASSERT_EQ(chmod(card_dir.c_str(), 0777), 0); },
     "its directory is writable by group or others (mode 777)"},
    {"DirectoryWritableByGroup",
     [](const std::string &card_dir, const std::string &) { ASSERT_EQ(chmod(card_dir.c_str(), 0775), 0); },
     "its directory is writable by group or others (mode 775)"},
    {"DirectoryOfAnotherUser",
     [](const std::string &card_dir, const std::string &) {
         ASSERT_EQ(chown(card_dir.c_str(), k_safety_other_uid, k_safety_other_uid), 0);
     },
     nullptr},  // reason built from the uids
    {"FileIsAFifo",
     [](const std::string &card_dir, const std::string &) {
         ASSERT_EQ(mkfifo((card_dir + "/card_info.txt").c_str(), 0600), 0);
     },
     "it is not a regular file"},
};

class OutputFileRefusal : public OutputFile, public ::testing::WithParamInterface<refusal_case_s> {};

TEST_P(OutputFileRefusal, NothingIsWrittenAndTheReasonIsNamed) {
    const refusal_case_s &c = GetParam();
    if (c.reason == nullptr && geteuid() != 0) {
        GTEST_SKIP() << "needs root: gives a directory to another user";
    }
    safety_dir_s elsewhere;
    ASSERT_EQ(chmod(elsewhere.path.c_str(), 0755), 0);
    c.plant(card_dir, elsewhere.path);
    const size_t entries_before = safety_entries(elsewhere.path);
    const std::string victim_before = safety_read(elsewhere / "victim");

    errno = 0;
    EXPECT_EQ(rfc_open_output(path.c_str()), nullptr);
    EXPECT_NE(errno, 0);

    std::string reason = c.reason != nullptr ? c.reason : "";
    if (c.reason == nullptr) {
        reason = "its directory is owned by uid " + std::to_string(k_safety_other_uid) + ", not " +
                 std::to_string(geteuid());
    }
    EXPECT_EQ(only_message(), "refusing " + path + ": " + reason);
    ASSERT_FALSE(g_messages.empty());
    EXPECT_EQ(g_messages[0].level, TRACE_LEVEL_ERROR);
    EXPECT_EQ(safety_entries(elsewhere.path), entries_before);
    EXPECT_EQ(safety_read(elsewhere / "victim"), victim_before);
}

INSTANTIATE_TEST_SUITE_P(Plants, OutputFileRefusal, ::testing::ValuesIn(k_refusals),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace

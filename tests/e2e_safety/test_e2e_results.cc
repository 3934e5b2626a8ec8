// SPDX-License-Identifier: Apache-2.0
// What the client refuses or reports as failed, seen from outside: the real
// flash-update on the virtual card.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "e2e_harness.h"

namespace {

using Strings = std::vector<std::string>;

bool text_has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// A private mount namespace for the tool, so that its scratch directory can
// be a small full tmpfs without touching anyone else's view of /tmp.
bool can_unshare() {
    return system("unshare -m true >/dev/null 2>&1") == 0;
}

// The tool's logs go to the work directory: the scratch directory, where
// they live by default, is full.
e2e_result_s run_on_full_scratch(const e2e_card_s &card, const Strings &args) {
    // 8 KiB of tmpfs, filled up; mode 0755 like the directory it covers.
    Strings argv = {"unshare",
                    "-m",
                    "sh",
                    "-c",
                    "mount -t tmpfs -o size=8k,mode=0755 tmpfs \"$1\" && "
                    "{ dd if=/dev/zero of=\"$1/fill\" bs=4096 count=16 2>/dev/null; shift; exec \"$@\"; }",
                    "sh",
                    card.scratch_dir,
                    e2e_tool_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(card.bdf);
    e2e_options_s opt;
    opt.env = {"NON_PERSISTENT_LOG_DIR=" + card.work_dir + "/", "PERSISTENT_LOG_DIR=" + card.work_dir + "/"};
    return e2e_run_command(card, argv, opt);
}

// A result file that cannot be written completely is a failure with its
// reason, never exit 0 beside an empty file.
TEST(E2eClientSafety, ResultFilesOnAFullFileSystemFail) {
    if (!can_unshare()) {
        GTEST_SKIP() << (geteuid() != 0 ? "needs root: " : "no private mount namespace here (in a chroot?): ")
                     << "a mount namespace of its own for a full file system";
    }
    struct row_s {
        Strings args;
        std::string file;
    };
    const row_s rows[] = {
        {{"--get-card-info"}, "card_info.txt"},
        {{"--get-partition-info"}, "partition_info.txt"},
        {{"--list-firmware", "fw-a"}, "fw-a.txt"},
        {{"--secure-info", "bl1"}, "secure_info_bl1.txt"},
        {{"--get-signed-data", "fw-a"}, "fw-a_signed.txt"},
        {{"--verify-startup-image", "fw-a"}, "fw-a.txt"},
    };
    for (const row_s &row : rows) {
        SCOPED_TRACE(row.args[0]);
        e2e_card_guard g;
        const e2e_result_s r = run_on_full_scratch(g.card, row.args);
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        std::string log;
        ASSERT_TRUE(e2e_read_file(g.card.work_dir + "/flash-update-err.log", log));
        EXPECT_TRUE(
            text_has(log, "failed to write /tmp/korvex//" + g.card.bdf + "/" + row.file + ": No space left on device"))
            << log;
    }
}

// A sector count that wraps to 0 would erase nothing and report success.
TEST(E2eClientSafety, SectorEraseSizesThatOverflowAreRefused) {
    for (const char *size : {"0xffffffffffffffff", "0xfffffffffffff001"}) {
        SCOPED_TRACE(size);
        e2e_card_guard g;
        const e2e_result_s r = e2e_run(g.card, {"--erase-sector", "fw-a", size});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(e2e_requests(g.card).empty());
        EXPECT_TRUE(e2e_log_contains(g.card, "flash partition erase size is not valid"));
    }
}

// A FIFO with no writer must not hang the tool in open, and neither it nor a
// directory has a size to send.
TEST(E2eClientSafety, ImagesThatAreNotFilesAreRefused) {
    struct row_s {
        Strings args;  // "IMAGE" stands for the path
    };
    const row_s rows[] = {
        {{"--install", "fw-a", "IMAGE"}},
        {{"--verify-checksum", "fw-a", "IMAGE", std::string(128, '0')}},
    };
    for (const row_s &row : rows) {
        for (const char *kind : {"fifo", "dir"}) {
            SCOPED_TRACE(row.args[0] + " " + kind);
            e2e_card_guard g;
            const std::string path = g.card.work_dir + "/image";
            ASSERT_EQ(std::string(kind) == "fifo" ? mkfifo(path.c_str(), 0600) : mkdir(path.c_str(), 0700), 0);
            Strings args = row.args;
            for (std::string &a : args) {
                if (a == "IMAGE") a = path;
            }
            e2e_options_s opt;
            opt.timeout_s = 20;
            const e2e_result_s r = e2e_run(g.card, args, opt);
            EXPECT_FALSE(r.timed_out);
            EXPECT_EQ(r.status, 1);
            EXPECT_TRUE(e2e_requests(g.card).empty());
            EXPECT_TRUE(e2e_log_contains(g.card, "invalid size"));
        }
    }
}

}  // namespace

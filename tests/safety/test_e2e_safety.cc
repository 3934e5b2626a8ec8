// SPDX-License-Identifier: Apache-2.0
// The real flash-update on the virtual card: output and log files that were
// turned into links or placed in a directory others control are refused, and
// commands that change a card do not run beside each other.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "fwupdate_msgs.h"
#include "safety_util.h"

namespace {

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

std::vector<uint8_t> pattern_bytes(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return bytes;
}

std::string sha512_of(const std::string &path) {
    const std::string cmd = "sha512sum '" + path + "'";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        return "";
    }
    char buf[256] = {};
    const bool ok = fgets(buf, sizeof(buf), p) != nullptr;
    pclose(p);
    return ok ? std::string(buf).substr(0, 128) : "";
}

// The card's scratch directory without its trailing slash (a link is
// replaced or made under this name).
std::string scratch_entry(const e2e_card_s &card) {
    return card.scratch_dir.substr(0, card.scratch_dir.size() - 1);
}

// The path the client builds for an output file ("/tmp/korvex/" + "/" + bdf + "/" + name).
std::string client_path(const e2e_card_s &card, const std::string &name) {
    return "/tmp/korvex//" + card.bdf + "/" + name;
}

// ---------------------------------------------------------------------------
// Output files

struct output_case_s {
    const char *name;
    std::vector<std::string> args;
    const char *file;
};

const output_case_s k_outputs[] = {
    {"CardInfo", {"--get-card-info"}, "card_info.txt"},
    {"PartitionInfo", {"--get-partition-info"}, "partition_info.txt"},
    {"FirmwareList", {"--list-firmware", "fw-a"}, "fw-a.txt"},
    {"StartupImage", {"--verify-startup-image", "fw-a"}, "fw-a.txt"},
    {"SecureInfo", {"--secure-info", "bl1"}, "secure_info_bl1.txt"},
    {"SignedData", {"--get-signed-data", "fw-a"}, "fw-a_signed.txt"},
};

class OutputLink : public ::testing::TestWithParam<output_case_s> {};

TEST_P(OutputLink, RefusedAndTargetUntouched) {
    const output_case_s &c = GetParam();
    e2e_card_guard g;
    const std::string victim = e2e_work_file(g.card, "victim", {'k', 'e', 'e', 'p', '\n'});
    const std::string planted = g.card.scratch_dir + c.file;
    ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);

    const e2e_result_s r = e2e_run(g.card, c.args);
    EXPECT_EQ(r.status, 1) << r.err;
    std::string text;
    ASSERT_TRUE(e2e_read_file(victim, text));
    EXPECT_EQ(text, "keep\n");
    EXPECT_TRUE(safety_is_link(planted));
    const std::string path = client_path(g.card, c.file);
    EXPECT_TRUE(e2e_log_contains(g.card, "refusing " + path + ": it is a symbolic link"));
    EXPECT_TRUE(e2e_log_contains(g.card, "Failed to open file " + path));
}

INSTANTIATE_TEST_SUITE_P(Commands, OutputLink, ::testing::ValuesIn(k_outputs),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(OutputFiles, DanglingLinkCreatesNothing) {
    e2e_card_guard g;
    const std::string missing = g.card.work_dir + "/created-through-link";
    ASSERT_EQ(symlink(missing.c_str(), (g.card.scratch_dir + "card_info.txt").c_str()), 0);
    const e2e_result_s r = e2e_run(g.card, {"--get-card-info"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(safety_exists(missing));
}

// Same names, same modes (0666 less the umask, like fopen) as ever.
TEST(OutputFiles, NormalFilesKeepNameAndMode) {
    e2e_card_guard g;
    const mode_t old_mask = umask(027);
    const e2e_result_s r = e2e_run(g.card, {"--get-card-info"});
    umask(old_mask);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(safety_mode(g.card.scratch_dir + "card_info.txt"), 0640);
    EXPECT_EQ(safety_mode(g.card.scratch_dir + "flash-update.log"), 0640);
    EXPECT_EQ(safety_mode(g.card.scratch_dir + "flash-update-err.log"), 0640);
    EXPECT_TRUE(contains(safety_read(g.card.scratch_dir + "card_info.txt"), "\"asic\": \"larch\",\n"));
}

// ---------------------------------------------------------------------------
// The per-card directory

struct dir_case_s {
    const char *name;
    void (*spoil)(const std::string &scratch, const std::string &elsewhere);
    const char *reason;  // null: the owner's reason, built from the uids
};

const dir_case_s k_dirs[] = {
    {"Symlink",
     [](const std::string &scratch, const std::string &elsewhere) {
         ASSERT_EQ(rmdir(scratch.c_str()), 0);
         ASSERT_EQ(symlink(elsewhere.c_str(), scratch.c_str()), 0);
     },
     "it is a symbolic link"},
    {"WritableByOthers",
     [](const std::string &scratch, const std::string &) { ASSERT_EQ(chmod(scratch.c_str(), 01777), 0); },
     "it is writable by group or others (mode 777)"},
    {"OwnedByAnotherUser",
     [](const std::string &scratch, const std::string &) {
         ASSERT_EQ(chown(scratch.c_str(), k_safety_other_uid, k_safety_other_uid), 0);
     },
     nullptr},
};

class CardDirectory : public ::testing::TestWithParam<dir_case_s> {};

// No log and no output file is written, in the directory or where it points;
// the command still reaches the card.
TEST_P(CardDirectory, RefusedAndTheToolStillRuns) {
    const dir_case_s &c = GetParam();
    if (c.reason == nullptr && geteuid() != 0) {
        GTEST_SKIP() << "needs root: gives a directory to another user";
    }
    e2e_card_guard g;
    const std::string elsewhere = g.card.work_dir + "/elsewhere";
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
    c.spoil(scratch_entry(g.card), elsewhere);

    const e2e_result_s r = e2e_run(g.card, {"--get-card-info"});
    const std::string reason = c.reason != nullptr ? c.reason
                                                   : "it is owned by uid " + std::to_string(k_safety_other_uid) +
                                                         ", not " + std::to_string(geteuid());
    const std::string line = "Error: unusable log directory " + g.card.scratch_dir + ": " + reason + "\n";
    EXPECT_EQ(r.err, line + line);
    EXPECT_EQ(r.status, 1);  // card_info.txt refused as well
    const std::vector<e2e_request_s> reqs = e2e_requests(g.card);
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].msg, FWUPDATE_MSG_GET_CARD_INFO);
    EXPECT_EQ(safety_entries(elsewhere), 0u);
    EXPECT_EQ(safety_entries(g.card.scratch_dir), 0u);
}

INSTANTIATE_TEST_SUITE_P(Spoiled, CardDirectory, ::testing::ValuesIn(k_dirs),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The card lock

// One flash-update run of a script: its environment and arguments (the tool
// itself is prepended).
struct tool_line_s {
    std::vector<std::string> env;
    std::vector<std::string> args;
    bool as_other_user = false;  // runs as uid and gid 65534
};

std::string quoted(const std::string &text) {
    return "'" + text + "'";
}

// A shell script run under the card: a first flash-update in the background,
// and once it holds the card's lock (its record lock in /proc/locks), each
// further run in turn. Prints "<i>=<status>" per further run, then "one=" and
// "pid=" of the first; the further runs' output goes to work_dir/<i>.out and
// <i>.err.
std::string beside_script(const tool_line_s &first, const std::vector<tool_line_s> &further,
                          const std::string &prelude) {
    auto line = [](const tool_line_s &run) {
        std::string text = run.as_other_user ? "setpriv --reuid=65534 --regid=65534 --clear-groups env" : "env";
        for (const std::string &e : run.env) {
            text += " " + quoted(e);
        }
        text += " \"$T\"";
        for (const std::string &a : run.args) {
            text += " " + quoted(a);
        }
        return text;
    };
    std::string script = "T=$1; W=$2\n" + prelude + line(first) + " >\"$W/one.out\" 2>\"$W/one.err\" &\n" + R"sh(one=$!
n=0
until grep -Eq "POSIX +ADVISORY +READ +$one " /proc/locks; do
  n=$((n + 1))
  if [ $n -gt 3000 ]; then echo "never locked"; break; fi
  sleep 0.01
done
)sh";
    for (size_t i = 0; i < further.size(); ++i) {
        const std::string n = std::to_string(i);
        script += line(further[i]) + " >\"$W/" + n + ".out\" 2>\"$W/" + n + ".err\"; echo \"" + n + "=$?\"\n";
    }
    script += "wait $one; echo \"one=$?\"\necho \"pid=$one\"\n";
    return script;
}

struct beside_result_s {
    e2e_result_s run;
    std::string pid;  // the first run's
};

// The first run's first install chunk is answered late (3 s), so it certainly
// holds the card while the further runs start. (Stopping it with SIGSTOP
// instead would stall the emulated device for every other process whenever
// the stop fell inside an exchange.)
beside_result_s run_beside(const e2e_card_s &card, const tool_line_s &first, const std::vector<tool_line_s> &further,
                           e2e_options_s options = {}, const std::string &prelude = "") {
    options.faults.push_back("write@1:delay=3000");
    beside_result_s r;
    r.run = e2e_run_command(
        card, {"/bin/sh", "-c", beside_script(first, further, prelude), "sh", e2e_tool_path(), card.work_dir}, options);
    const size_t at = r.run.out.find("pid=");
    if (at != std::string::npos) {
        r.pid = r.run.out.substr(at + 4, r.run.out.find('\n', at) - at - 4);
    }
    return r;
}

std::string work_text(const e2e_card_s &card, const std::string &name) {
    std::string text;
    return e2e_read_file(card.work_dir + "/" + name, text) ? text : "<missing>";
}

std::string busy_line(const std::string &card, const std::string &pid) {
    return "flash-update: card " + card + " is busy: another flash-update (pid " + pid + ") holds its lock\n";
}

TEST(CardLock, EveryChangingCommandFailsFastWhileHeld) {
    e2e_card_guard g;
    const std::string image = e2e_work_file(g.card, "image.bin", pattern_bytes(100, 1));
    const std::string bdf = g.card.bdf;
    const std::vector<tool_line_s> further = {
        {{}, {"--erase", "fw-b", "0x1000", bdf}},
        {{}, {"--erase-sector", "fw-b", "0x1000", bdf}},
        {{}, {"--install", "fw-b", image, bdf}},
        {{}, {"--set-boot-options", "fw-b", bdf}},
        {{}, {"--secure-boot", "enable", bdf}},
        {{}, {"--secure-image-update", "bl1", "boot-alt-partition", bdf}},
        // Commands that only read do not wait for the lock.
        {{}, {"--get-card-info", bdf}},
        {{}, {"--get-partition-info", bdf}},
        {{}, {"--secure-info", "lcs", bdf}},
        {{}, {"--list-firmware", "fw-a", bdf}},
    };
    const beside_result_s r = run_beside(g.card, {{}, {"--install", "fw-a", image, bdf}}, further);
    ASSERT_EQ(r.run.status, 0) << r.run.err;
    EXPECT_EQ(r.run.out, "0=1\n1=1\n2=1\n3=1\n4=1\n5=1\n6=0\n7=0\n8=0\n9=0\none=0\npid=" + r.pid + "\n");
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(work_text(g.card, std::to_string(i) + ".err"), busy_line(bdf, r.pid)) << further[i].args[0];
        EXPECT_EQ(work_text(g.card, std::to_string(i) + ".out"), "") << further[i].args[0];
    }
    // Only the holder's chunks and the readers' requests reached the card.
    for (const e2e_request_s &req : e2e_requests(g.card)) {
        EXPECT_NE(req.msg, FWUPDATE_MSG_FLASH_ERASE);
        EXPECT_NE(req.msg, FWUPDATE_MSG_SET_STARTUP_IMAGE);
        EXPECT_NE(req.msg, FWUPDATE_MSG_FLASH_SECTOR_ERASE);
        EXPECT_NE(req.msg, FWUPDATE_MSG_SECURE_BOOT_UPDATE);
        EXPECT_NE(req.msg, FWUPDATE_MSG_SECURE_IMAGE_UPDATE);
    }

    const e2e_result_s after = e2e_run(g.card, {"--set-boot-options", "fw-b"});
    EXPECT_EQ(after.status, 0) << after.err;
}

// However each run names the card, two runs that change it never overlap.
struct naming_case_s {
    const char *name;
    bool no_misc;
    bool first_by_address;  // else without address (CRD_BDF or the default node)
    bool crd_bdf;           // the run without address names the card in CRD_BDF
};

const naming_case_s k_namings[] = {
    {"AddressThenCrdBdf", false, true, true},         {"AddressThenDefaultNode", false, true, false},
    {"DefaultNodeThenAddress", false, false, false},  {"CrdBdfThenAddress", false, false, true},
    {"FwctlOnlyAddressThenCrdBdf", true, true, true}, {"FwctlOnlyCrdBdfThenAddress", true, false, true},
};

class CardNaming : public ::testing::TestWithParam<naming_case_s> {};

TEST_P(CardNaming, SecondRunIsRefused) {
    const naming_case_s &c = GetParam();
    e2e_card_guard g;
    const std::string image = e2e_work_file(g.card, "image.bin", pattern_bytes(100, 3));
    // Runs without an address log into this card's directory, not 00.0.0/.
    tool_line_s by_address{{}, {g.card.bdf}};
    tool_line_s unnamed{{"NON_PERSISTENT_LOG_DIR=" + g.card.scratch_dir, "PERSISTENT_LOG_DIR=" + g.card.scratch_dir},
                        {}};
    if (c.crd_bdf) {
        unnamed.env.push_back("CRD_BDF=" + g.card.bdf);
    }
    tool_line_s first = c.first_by_address ? by_address : unnamed;
    tool_line_s second = c.first_by_address ? unnamed : by_address;
    first.args.insert(first.args.begin(), {"--install", "fw-a", image});
    second.args.insert(second.args.begin(), {"--erase", "fw-a", "0x1000"});
    e2e_options_s options;
    options.no_misc = c.no_misc;

    const beside_result_s r = run_beside(g.card, first, {second}, options);
    ASSERT_EQ(r.run.status, 0) << r.run.err;
    EXPECT_EQ(r.run.out, "0=1\none=0\npid=" + r.pid + "\n") << work_text(g.card, "one.err");
    EXPECT_EQ(work_text(g.card, "0.err"), busy_line(c.first_by_address ? "00.0.0" : g.card.bdf, r.pid));
    for (const e2e_request_s &req : e2e_requests(g.card)) {
        EXPECT_EQ(req.msg, FWUPDATE_MSG_FLASH_WRITE);
    }
}

INSTANTIATE_TEST_SUITE_P(Names, CardNaming, ::testing::ValuesIn(k_namings),
                         [](const auto &info) { return std::string(info.param.name); });

// The card's misc node made usable by group 65534, as a host gives a group
// the card: root and that group's users then meet on the same lock.
TEST(CardLock, RootAndAnotherUserMeet) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: runs flash-update as root and as another user";
    for (const bool user_first : {true, false}) {
        SCOPED_TRACE(user_first ? "user first" : "root first");
        e2e_card_guard g;
        // The user reaches the image, and logs where it may write.
        const std::string logs = g.card.work_dir + "/user-logs/";
        ASSERT_EQ(chmod(g.card.work_dir.substr(0, g.card.work_dir.rfind('/')).c_str(), 0755), 0);
        ASSERT_EQ(mkdir(logs.c_str(), 0777), 0);
        ASSERT_EQ(chmod(logs.c_str(), 0777), 0);
        const std::string image = e2e_work_file(g.card, "image.bin", pattern_bytes(100, 7));
        const std::string share = R"sh(chmod go+rx "$UMOCKDEV_DIR"
find "$UMOCKDEV_DIR" -type d -exec chmod go+rx {} +
find "$UMOCKDEV_DIR" -type s -exec chmod 777 {} +
chgrp 65534 "$UMOCKDEV_DIR/dev/velaipcdev0" && chmod 660 "$UMOCKDEV_DIR/dev/velaipcdev0"
)sh";
        const std::vector<std::string> user_env = {"NON_PERSISTENT_LOG_DIR=" + logs, "PERSISTENT_LOG_DIR=" + logs};
        const tool_line_s install{
            user_first ? user_env : std::vector<std::string>{}, {"--install", "fw-a", image, g.card.bdf}, user_first};
        const tool_line_s erase{
            user_first ? std::vector<std::string>{} : user_env, {"--erase", "fw-a", "0x1000", g.card.bdf}, !user_first};
        const beside_result_s r = run_beside(g.card, install, {erase}, {}, share);
        ASSERT_EQ(r.run.status, 0) << r.run.err;
        EXPECT_EQ(r.run.out, "0=1\none=0\npid=" + r.pid + "\n") << work_text(g.card, "one.err");
        EXPECT_EQ(work_text(g.card, "0.err"), busy_line(g.card.bdf, r.pid));
    }
}

TEST(CardLock, AnotherCardIsNotHeld) {
    e2e_card_guard g;
    const std::string image = e2e_work_file(g.card, "image.bin", pattern_bytes(100, 5));
    e2e_options_s two_cards;
    two_cards.cards = 2;
    const beside_result_s r = run_beside(g.card, {{}, {"--install", "fw-a", image, g.card.bdf}},
                                         {{{}, {"--erase", "fw-a", "0x1000", g.card.bdf2}}}, two_cards);
    ASSERT_EQ(r.run.status, 0) << r.run.err;
    EXPECT_EQ(r.run.out, "0=0\none=0\npid=" + r.pid + "\n") << work_text(g.card, "0.err");
}

// Two installs started at once on one card. The card answers the first
// install's first chunk late (3 s), so it certainly holds the card while the
// second starts: that one fails at once, a reader runs through, and the flash
// ends up holding exactly the first image. (Stopping the first with SIGSTOP
// instead would stall the emulated device for every other process whenever
// the stop fell inside an exchange.)
TEST(CardLock, TwoInstallsAtOnce) {
    e2e_card_guard g;
    const std::vector<uint8_t> one = pattern_bytes(2000, 0x11);
    const std::vector<uint8_t> two = pattern_bytes(2000, 0x80);
    const std::string one_path = e2e_work_file(g.card, "one.bin", one);
    const std::string two_path = e2e_work_file(g.card, "two.bin", two);
    const std::string script = R"sh(
T=$1; B=$2; W=$3
"$T" --install fw-a "$W/one.bin" "$B" >"$W/one.out" 2>"$W/one.err" &
one=$!
n=0
until grep -Eq "POSIX +ADVISORY +READ +$one " /proc/locks; do
  n=$((n + 1))
  if [ $n -gt 3000 ]; then echo "never locked"; break; fi
  sleep 0.01
done
"$T" --install fw-a "$W/two.bin" "$B" >"$W/two.out" 2>"$W/two.err"; echo "two=$?"
"$T" --get-card-info "$B" >/dev/null 2>&1; echo "reader=$?"
kill -0 $one 2>/dev/null && echo "one still running"
wait $one; echo "one=$?"
echo "pid=$one"
)sh";
    e2e_options_s slow_first_chunk;
    slow_first_chunk.faults = {"write@1:delay=3000"};
    const e2e_result_s r = e2e_run_command(
        g.card, {"/bin/sh", "-c", script, "sh", e2e_tool_path(), g.card.bdf, g.card.work_dir}, slow_first_chunk);
    ASSERT_EQ(r.status, 0) << r.err;
    const size_t at = r.out.find("pid=");
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string pid = r.out.substr(at + 4, r.out.find('\n', at) - at - 4);
    EXPECT_EQ(r.out, "two=1\nreader=0\none still running\none=0\npid=" + pid + "\n");

    std::string text;
    ASSERT_TRUE(e2e_read_file(g.card.work_dir + "/two.err", text));
    EXPECT_EQ(text,
              "flash-update: card " + g.card.bdf + " is busy: another flash-update (pid " + pid + ") holds its lock\n");
    ASSERT_TRUE(e2e_read_file(g.card.work_dir + "/two.out", text));
    EXPECT_EQ(text, "");

    // What reached the card: the first image's three chunks and the reader's request.
    size_t writes = 0;
    for (const e2e_request_s &req : e2e_requests(g.card)) {
        if (req.msg == FWUPDATE_MSG_GET_CARD_INFO) {
            continue;
        }
        ASSERT_EQ(req.msg, FWUPDATE_MSG_FLASH_WRITE);
        ASSERT_GE(req.bytes.size(), 26u);
        uint64_t offset = 0, length = 0;
        for (int i = 7; i >= 0; --i) {
            offset = (offset << 8) | req.bytes[8 + i];
            length = (length << 8) | req.bytes[16 + i];
        }
        ASSERT_LE(offset + length, one.size());
        ASSERT_GE(req.bytes.size(), 26 + length);
        EXPECT_TRUE(std::equal(one.begin() + static_cast<long>(offset),
                               one.begin() + static_cast<long>(offset + length), req.bytes.begin() + 26))
            << "chunk at " << offset;
        ++writes;
    }
    EXPECT_EQ(writes, 3u);

    e2e_result_s check = e2e_run(g.card, {"--verify-checksum", "fw-a", one_path, sha512_of(one_path)});
    EXPECT_EQ(check.status, 0) << check.err;
    check = e2e_run(g.card, {"--verify-checksum", "fw-a", two_path, sha512_of(two_path)});
    EXPECT_EQ(check.status, 1);
}

// ---------------------------------------------------------------------------
// Descriptors

// The startup-image check runs "grep" through PATH (as root): a grep planted
// there lists what it inherited. The card's device is not among it.
TEST(Descriptors, GrepInheritsNoDeviceOfTheCard) {
    for (const bool no_misc : {false, true}) {
        SCOPED_TRACE(no_misc ? "fwctl" : "misc");
        e2e_card_guard g;
        const std::string bin = g.card.work_dir + "/bin";
        const std::string seen = g.card.work_dir + "/inherited.txt";
        ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
        safety_write(bin + "/grep",
                     "#!/bin/sh\n{ echo ran; ls -l /proc/$$/fd; } >> '" + seen + "'\nexec /bin/grep \"$@\"\n");
        ASSERT_EQ(chmod((bin + "/grep").c_str(), 0755), 0);
        e2e_options_s o;
        o.no_misc = no_misc;
        o.env = {"PATH=" + bin + ":/usr/bin:/bin"};

        const e2e_result_s r = e2e_run(g.card, {"--verify-startup-image", "fw-a"}, o);
        EXPECT_EQ(r.status, 0) << r.err;
        const std::string fds = safety_read(seen);
        EXPECT_TRUE(contains(fds, "ran\n")) << "the planted grep did not run";
        EXPECT_FALSE(contains(fds, "velaipcdev")) << fds;
        EXPECT_FALSE(contains(fds, "fwctl")) << fds;
    }
}

}  // namespace

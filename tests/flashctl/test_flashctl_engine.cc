// SPDX-License-Identifier: Apache-2.0
// The update and rollback transactions in-process over a fake card: the
// paths the virtual card cannot easily provoke (a busy lock, failing erase or
// install, a selection that does not stick, a signal between two steps,
// deadline arithmetic), and the command line's refusals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "fake_card.h"
#include "flashctl.h"
#include "test_support.h"

using nlohmann::json;

namespace {

using fake::g_card;
using fake::Strings;
const fc_card_ops_s &k_fake_ops = fake::k_ops;
std::string g_image;  // the image the test updates with

// The image grows by a few bytes, or another file takes its name.
void append_to_image() {
    FILE *f = fopen(g_image.c_str(), "a");
    fputs("appended", f);
    fclose(f);
}
void replace_image() {
    const std::string other = g_image + ".new";
    test_support::write_file(other, "an image of a few bytez");
    rename(other.c_str(), g_image.c_str());
}

class Engine : public testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        ASSERT_FALSE(dir_.path.empty());
        image_ = dir_ / "img.bin";
        g_image = image_;
        ASSERT_TRUE(test_support::write_file(image_, "an image of a few bytes"));
        std::string error;
        uint64_t size = 0;
        ASSERT_TRUE(fc_sha512_file(image_, &size, &image_sha_, &error));
    }
    test_support::temp_dir dir_{"flashctl-engine"};
    std::string image_;
    std::string image_sha_;
};

std::string phases_text(const fc_update_report_s &rep) {
    std::string out;
    for (const auto &p : rep.phases)
        out += (out.empty() ? "" : " ") + p.name + ":" + fc_phase_status_name(p.status);
    return out;
}

struct update_case_s {
    const char *name;
    std::function<void(const std::string &image_sha)> setup;
    bool activate;
    unsigned timeout_s;
    const char *result;
    int status;
    Strings calls;
    const char *state;
    const char *phases;
};

class Update : public Engine, public testing::WithParamInterface<update_case_s> {};

TEST_P(Update, EndsAsPlanned) {
    const update_case_s &c = GetParam();
    c.setup(image_sha_);
    fc_update_request_s req;
    req.card = "0000:03:00.0";
    req.partition = "fw-b";
    req.image_path = image_;
    req.activate = c.activate;
    req.timeout_s = c.timeout_s;
    const fc_update_report_s rep = fc_update(k_fake_ops, req);
    EXPECT_STREQ(fc_result_name(rep.result), c.result) << rep.error.message;
    EXPECT_EQ(fc_exit_status(rep.result), c.status);
    EXPECT_EQ(g_card.calls, c.calls);
    EXPECT_STREQ(fc_partition_state_name(rep.partition_state), c.state);
    EXPECT_EQ(phases_text(rep), c.phases);
}

INSTANTIATE_TEST_SUITE_P(
    Flashctl, Update,
    testing::Values(
        update_case_s{"busy",
                      [](const std::string &) { g_card.lock = CARD_LOCK_BUSY; },
                      true,
                      0,
                      "busy",
                      3,
                      {},
                      "untouched",
                      "plan:failed erase:skipped install:skipped verify_checksum:skipped verify_signature:skipped "
                      "activate:skipped"},
        update_case_s{"activate_only",
                      [](const std::string &sha) { g_card.checksum_hex = sha; },
                      true,
                      0,
                      "updated",
                      0,
                      {"set_startup fw-b"},
                      "untouched",
                      "plan:ok erase:skipped install:skipped verify_checksum:skipped verify_signature:skipped "
                      "activate:ok"},
        update_case_s{"erase_fails",
                      [](const std::string &) { g_card.erase_result = RFC_EFAIL; },
                      true,
                      0,
                      "failed",
                      1,
                      {"erase fw-b"},
                      "erased",
                      "plan:ok erase:failed install:skipped verify_checksum:skipped verify_signature:skipped "
                      "activate:skipped"},
        update_case_s{"install_fails",
                      [](const std::string &) { g_card.write_result = RFC_EFAIL; },
                      true,
                      0,
                      "failed",
                      1,
                      {"erase fw-b", "write fw-b"},
                      "partially_written",
                      "plan:ok erase:ok install:failed verify_checksum:skipped verify_signature:skipped "
                      "activate:skipped"},
        update_case_s{"selection_does_not_stick",
                      [](const std::string &) { g_card.startup_sticks = false; },
                      true,
                      0,
                      "failed",
                      1,
                      {"erase fw-b", "write fw-b", "set_startup fw-b"},
                      "verified",
                      "plan:ok erase:ok install:ok verify_checksum:ok verify_signature:skipped activate:failed"},
        // What is sent is what was hashed, from one open file; a file that
        // changes under the run fails it before anything is selected.
        update_case_s{"appended_while_planned",
                      [](const std::string &) { g_card.during_checksum = append_to_image; },
                      true,
                      0,
                      "refused",
                      2,
                      {},
                      "untouched",
                      "plan:failed erase:skipped install:skipped verify_checksum:skipped verify_signature:skipped "
                      "activate:skipped"},
        update_case_s{"appended_while_installed",
                      [](const std::string &) { g_card.during_write = append_to_image; },
                      true,
                      0,
                      "failed",
                      1,
                      {"erase fw-b", "write fw-b"},
                      "written_unverified",
                      "plan:ok erase:ok install:failed verify_checksum:skipped verify_signature:skipped "
                      "activate:skipped"},
        update_case_s{"replaced_while_installed",
                      [](const std::string &) { g_card.during_write = replace_image; },
                      true,
                      0,
                      "failed",
                      1,
                      {"erase fw-b", "write fw-b"},
                      "written_unverified",
                      "plan:ok erase:ok install:failed verify_checksum:skipped verify_signature:skipped "
                      "activate:skipped"},
        // The install ends well, but a SIGTERM came during it: nothing after it runs.
        update_case_s{"signal_between_steps",
                      [](const std::string &) { g_card.during_write = [] { fc_on_signal(SIGTERM); }; },
                      true,
                      0,
                      "interrupted",
                      130,
                      {"erase fw-b", "write fw-b"},
                      "written_unverified",
                      "plan:ok erase:ok install:ok verify_checksum:interrupted verify_signature:skipped "
                      "activate:skipped"}),
    [](const testing::TestParamInfo<update_case_s> &i) { return std::string(i.param.name); });

// The waits before the erase's polls: soon at first, then doubling up to a
// second, never past the phase's deadline, and none after a stop came
// during one (the sleeper returns half of the third wait unslept).
struct poll_case_s {
    const char *name;
    unsigned erase_polls;
    unsigned timeout_s;
    bool stop_in_third_wait;
    std::vector<double> waits;
    const char *result;
    double erase_seconds;
};

class PollSchedule : public Engine, public testing::WithParamInterface<poll_case_s> {};

TEST_P(PollSchedule, WaitsAsScheduled) {
    const poll_case_s &c = GetParam();
    g_card.erase_polls = c.erase_polls;
    if (c.stop_in_third_wait) {
        g_fc_session.sleeper = [](double s) {
            fake::g_sleeps.push_back(s);
            if (fake::g_sleeps.size() < 3) return 0.0;
            fc_on_signal(SIGTERM);
            return s / 2;
        };
    }
    fc_update_request_s req;
    req.card = "0000:03:00.0";
    req.partition = "fw-b";
    req.image_path = image_;
    req.timeout_s = c.timeout_s;
    const fc_update_report_s rep = fc_update(k_fake_ops, req);
    ASSERT_EQ(fake::g_sleeps.size(), c.waits.size());
    for (size_t i = 0; i < c.waits.size(); ++i)
        EXPECT_NEAR(fake::g_sleeps[i], c.waits[i], 1e-9) << "wait " << i;
    EXPECT_STREQ(fc_result_name(rep.result), c.result) << rep.error.message;
    EXPECT_NEAR(rep.phases[1].seconds, c.erase_seconds, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Engine, PollSchedule,
    testing::Values(poll_case_s{"ends", 7, 0, false, {0.1, 0.2, 0.4, 0.8, 1, 1, 1}, "updated", 4.5},
                    poll_case_s{"deadline", 1000, 3, false, {0.1, 0.2, 0.4, 0.8, 1, 0.5}, "timeout", 3},
                    poll_case_s{"stop", 1000, 0, true, {0.1, 0.2, 0.4}, "interrupted", 0.5}),
    [](const testing::TestParamInfo<poll_case_s> &i) { return std::string(i.param.name); });

// How the take of the card's lock ends is how the command ends, before any
// request that changes the card: a card still held when the wait ends is
// busy, as one whose holder is not waited for. A change holds it
// exclusively, a dry run shared, each waiting its plan's time; the card stays
// held until the command returns (record_change sees every change locked).
struct lock_case_s {
    const char *name;
    bool rollback;
    bool dry_run;
    unsigned timeout_s;
    card_lock_result_e lock;
    card_lock_mode_e mode;
    double wait_s;
    const char *result;
    const char *code;  // "" none
    const char *message;
};

class Lock : public Engine, public testing::WithParamInterface<lock_case_s> {};

TEST_P(Lock, TheTakeEndsTheCommandOrHoldsTheCardUntilItReturns) {
    const lock_case_s &c = GetParam();
    g_card.lock = c.lock;
    g_card.checksum_hex = image_sha_;  // fw-b holds the image: an update only activates it
    fc_result_e result = FC_RESULT_NONE;
    fc_error_s error;
    if (c.rollback) {
        const fc_rollback_report_s rep = fc_rollback(k_fake_ops, "0000:03:00.0", c.dry_run, c.timeout_s);
        result = rep.result;
        error = rep.error;
    } else {
        fc_update_request_s req;
        req.card = "0000:03:00.0";
        req.partition = "fw-b";
        req.image_path = image_;
        req.activate = true;
        req.dry_run = c.dry_run;
        req.timeout_s = c.timeout_s;
        const fc_update_report_s rep = fc_update(k_fake_ops, req);
        result = rep.result;
        error = rep.error;
    }
    EXPECT_STREQ(fc_result_name(result), c.result) << error.message;
    EXPECT_STREQ(*c.code != '\0' ? doc_error_code_name(error.code) : "", c.code);
    EXPECT_EQ(error.message, c.message);
    EXPECT_EQ(g_card.lock_takes, (std::vector<std::pair<card_lock_mode_e, double>>{{c.mode, c.wait_s}}));
    const bool changes = c.lock == CARD_LOCK_HELD && !c.dry_run;
    EXPECT_EQ(g_card.calls, changes ? Strings{"set_startup fw-b"} : Strings{});
    if (c.lock == CARD_LOCK_HELD) {
        EXPECT_EQ(fcntl(g_card.lock_fd, F_GETFD), -1) << "still held after the command";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Flashctl, Lock,
    testing::Values(
        lock_case_s{"update_held", false, false, 0, CARD_LOCK_HELD, CARD_LOCK_EXCLUSIVE, 60, "updated", "", ""},
        lock_case_s{"update_busy", false, false, 0, CARD_LOCK_BUSY, CARD_LOCK_EXCLUSIVE, 60, "busy", "busy",
                    "card 0000:03:00.0 is busy: another flash-update (pid 4242) holds its lock"},
        lock_case_s{"update_readers_stay", false, false, 5, CARD_LOCK_TIMED_OUT, CARD_LOCK_EXCLUSIVE, 5, "busy", "busy",
                    "card 0000:03:00.0 is busy: another flash-update (pid 4242) holds its lock"},
        lock_case_s{"update_cannot_lock", false, false, 0, CARD_LOCK_FAILED, CARD_LOCK_EXCLUSIVE, 60, "failed", "io",
                    "cannot lock card 0000:03:00.0: no lock directory"},
        lock_case_s{"update_stopped", false, false, 0, CARD_LOCK_STOPPED, CARD_LOCK_EXCLUSIVE, 60, "interrupted",
                    "interrupted", "stopped by signal 15 during plan"},
        lock_case_s{"dry_run_shares", false, true, 7, CARD_LOCK_HELD, CARD_LOCK_SHARED, 7, "unchanged", "", ""},
        lock_case_s{"rollback_held", true, false, 0, CARD_LOCK_HELD, CARD_LOCK_EXCLUSIVE, 60, "updated", "", ""},
        lock_case_s{"rollback_busy", true, false, 9, CARD_LOCK_BUSY, CARD_LOCK_EXCLUSIVE, 9, "busy", "busy",
                    "card 0000:03:00.0 is busy: another flash-update (pid 4242) holds its lock"},
        lock_case_s{"rollback_stopped", true, true, 0, CARD_LOCK_STOPPED, CARD_LOCK_SHARED, 60, "interrupted",
                    "interrupted", "stopped by signal 15 during plan"}),
    [](const testing::TestParamInfo<lock_case_s> &i) { return std::string(i.param.name); });

struct rollback_case_s {
    const char *name;
    firmware_image_type_e startup;
    bool verifies;
    const char *result;
    int status;
    Strings calls;
    const char *message;
};

class Rollback : public Engine, public testing::WithParamInterface<rollback_case_s> {};

TEST_P(Rollback, SelectsTheOtherSlotOnlyWhenItVerifies) {
    const rollback_case_s &c = GetParam();
    g_card.startup = c.startup;
    g_card.startup_verifies = c.verifies;
    const fc_rollback_report_s rep = fc_rollback(k_fake_ops, "0000:03:00.0", false, 0);
    EXPECT_STREQ(fc_result_name(rep.result), c.result);
    EXPECT_EQ(fc_exit_status(rep.result), c.status);
    EXPECT_EQ(g_card.calls, c.calls);
    EXPECT_EQ(rep.error.message, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Flashctl, Rollback,
    testing::Values(rollback_case_s{"does_not_verify",
                                    FIRMWARE_IMAGE_FW_B,
                                    false,
                                    "refused",
                                    2,
                                    {},
                                    "the image in fw-a does not verify: the card keeps starting fw-b"},
                    rollback_case_s{"gold",
                                    FIRMWARE_IMAGE_A35_GOLDFW,
                                    true,
                                    "refused",
                                    2,
                                    {},
                                    "the card starts gold, not a fw slot: nothing to roll back to"}),
    [](const testing::TestParamInfo<rollback_case_s> &i) { return std::string(i.param.name); });

using fake::run_main;

struct usage_case_s {
    const char *name;
    Strings args;
    const char *message;
};

class Usage : public testing::TestWithParam<usage_case_s> {};

TEST_P(Usage, RefusedAsUsageErrors) {
    std::string out;
    Strings args = GetParam().args;
    args.push_back("--json");
    EXPECT_EQ(run_main(args, &out), 2);
    EXPECT_EQ(json::parse(out), json::parse(fc_dump(fc_error_json(DOC_ERROR_USAGE, GetParam().message))));
}

INSTANTIATE_TEST_SUITE_P(
    Flashctl, Usage,
    testing::Values(
        usage_case_s{"no_command", {}, "no command given"},
        usage_case_s{"unknown_command", {"flash"}, "unknown command 'flash'"},
        usage_case_s{"unknown_option", {"inventory", "--force"}, "unknown option '--force'"},
        usage_case_s{"foreign_option", {"inventory", "--activate"}, "option '--activate' does not apply to inventory"},
        usage_case_s{"arguments",
                     {"update", "0000:03:00.0", "fw-b"},
                     "usage: flashctl update CARD PARTITION IMAGE [--sha512 HEX] [--activate] [--dry-run] "
                     "[--allow-running] [--timeout SECONDS]"},
        usage_case_s{"timeout",
                     {"update", "0000:03:00.0", "fw-b", "x", "--timeout=0"},
                     "--timeout takes a number of seconds from 1 to 86400"},
        usage_case_s{"sha512",
                     {"update", "0000:03:00.0", "fw-b", "x", "--sha512", "abc"},
                     "--sha512 takes 128 hexadecimal digits"},
        usage_case_s{"progress", {"history", "--progress=yes"}, "--progress takes json, bar or none"},
        usage_case_s{"timeout_blank",
                     {"update", "0000:03:00.0", "fw-b", "x", "--timeout", " 5"},
                     "--timeout takes a number of seconds from 1 to 86400"},
        usage_case_s{"timeout_sign",
                     {"update", "0000:03:00.0", "fw-b", "x", "--timeout=+5"},
                     "--timeout takes a number of seconds from 1 to 86400"},
        usage_case_s{"option_as_value",
                     {"history", "--history"},
                     "option '--history' needs a value (use --history=VALUE for a value that begins with --)"},
        usage_case_s{"verify_card",
                     {"history", "0000:03:00.0", "--verify"},
                     "--verify checks the whole journal, not one card's lines"}),
    [](const testing::TestParamInfo<usage_case_s> &i) { return std::string(i.param.name); });

// After "--" every word is an argument, "--json" too; card addresses are
// taken in sysfs's lower case, and a card named twice is read once.
TEST_F(Engine, InventoryTakesWordsAfterTheEndOfOptionsAndEachCardOnce) {
    std::string out;
    EXPECT_EQ(run_main({"inventory", "--", "--json"}, &out), 1);
    EXPECT_NE(out.find("card --json\n  error: invalid card address '--json'"), std::string::npos) << out;
    EXPECT_EQ(run_main({"inventory", "0000:0A:00.0", "0000:0a:00.0", "--json"}, &out), 0);
    const json doc = json::parse(out);
    ASSERT_EQ(doc["cards"].size(), 1u);
    EXPECT_EQ(doc["cards"][0]["card"], "0000:0a:00.0");
}

// A metrics file that cannot be written fails the inventory with its reason.
TEST_F(Engine, InventoryMetricsFileThatCannotBeWrittenFailsTheRun) {
    test_support::temp_dir dir;
    std::string out;
    const std::string missing = dir / "no/cards.prom";
    EXPECT_EQ(run_main({"inventory", "0000:0a:00.0", "--prometheus", missing, "--json"}, &out), 1);
    EXPECT_EQ(
        json::parse(out),
        json::parse(fc_dump(fc_error_json(DOC_ERROR_IO, "cannot write " + missing + ": No such file or directory"))));
}

}  // namespace

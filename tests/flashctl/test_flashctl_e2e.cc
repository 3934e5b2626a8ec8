// SPDX-License-Identifier: Apache-2.0
// flashctl end to end: the real program against virtual cards, judged by its
// JSON documents, exit statuses and what each card recorded in requests.log.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bundle_test_util.h"
#include "e2e_harness.h"
#include "fwkeys_guard.h"
#include "fwupdate_msgs.h"
#include "test_support.h"

using nlohmann::json;

using test_support::image_bytes;

namespace {

using Strings = std::vector<std::string>;

// Requests that change a card's flash or boot state.
constexpr uint32_t k_mutating[] = {FWUPDATE_MSG_FLASH_ERASE,        FWUPDATE_MSG_FLASH_WRITE,
                                   FWUPDATE_MSG_SET_STARTUP_IMAGE,  FWUPDATE_MSG_FLASH_SECTOR_ERASE,
                                   FWUPDATE_MSG_SECURE_BOOT_UPDATE, FWUPDATE_MSG_SECURE_IMAGE_UPDATE};

std::string history_path(const e2e_card_s &card) {
    return card.work_dir + "/history.jsonl";
}

// flashctl ARGS... --json under the launcher, an update's history kept with
// the test unless ARGS name one.
e2e_result_s flashctl(const e2e_card_s &card, Strings args, const e2e_options_s &options = {}) {
    if ((args[0] == "update" || args[0] == "apply" || args[0] == "history") &&
        std::find(args.begin(), args.end(), "--history") == args.end())
        args.insert(args.end(), {"--history", history_path(card)});
    args.insert(args.begin(), FLASHCTL);
    args.push_back("--json");
    return e2e_run_command(card, args, options);
}

json document(const e2e_result_s &r) {
    json doc = json::parse(r.out, nullptr, false);
    EXPECT_FALSE(doc.is_discarded()) << "not one JSON document: " << r.out << "\nstderr: " << r.err;
    return doc;
}

Strings mutating_requests(const std::vector<e2e_request_s> &reqs) {
    Strings out;
    for (const auto &q : reqs)
        for (uint32_t m : k_mutating)
            if (q.msg == m) out.push_back(std::to_string(q.msg));
    return out;
}

bool received(const e2e_card_s &card, uint32_t msg) {
    for (const auto &q : e2e_requests(card))
        if (q.msg == msg) return true;
    return false;
}

std::string phase_status(const json &doc, const std::string &name) {
    for (const auto &p : doc["phases"])
        if (p["name"] == name) return p["status"];
    return "absent";
}

// Runs flashctl update with JSON progress in the background and, when the
// install's first progress line arrives, runs `action` (the card is then
// mid-install), then lets flashctl end. Prints ACTION_STATUS=<n> and
// FLASHCTL_STATUS=<n>; flashctl's document is left in work/out.json.
// `mounts`, when given, runs first in a private mount namespace of the run.
e2e_result_s during_install(const e2e_card_s &card, const std::string &image, const std::string &action,
                            const e2e_options_s &options, const std::string &history = "",
                            const std::string &mounts = "") {
    const std::string w = card.work_dir;
    const std::string script =
        mounts + "\nmkfifo " + w + "/progress || exit 99\n" + FLASHCTL + " update " + card.bdf + " fw-b " + image +
        " --activate --json --progress=json --history " + (history.empty() ? history_path(card) : history) + " >" + w +
        "/out.json 2>" + w +
        "/progress &\n"
        "pid=$!\n"
        "exec 3<" +
        w +
        "/progress\n"
        "while read -r line <&3; do case \"$line\" in *'\"phase\":\"install\"'*) break;; esac; done\n" +
        action +
        "\n"
        "echo ACTION_STATUS=$?\n"
        "cat <&3 >/dev/null\n"
        "wait $pid; echo FLASHCTL_STATUS=$?\n";
    if (mounts.empty()) return e2e_run_command(card, {"sh", "-c", script}, options);
    return e2e_run_command(card, {"unshare", "-m", "sh", "-c", script}, options);
}

json read_json_file(const std::string &path) {
    std::string text;
    EXPECT_TRUE(e2e_read_file(path, text)) << path;
    return json::parse(text, nullptr, false);
}

// --- plans that change nothing -------------------------------------------------

struct no_change_case_s {
    const char *name;
    Strings args;  // {BDF} and {IMAGE} stand for the card and a 64 KiB image
    int status;
    const char *result;
    const char *code;     // error code, "" none
    const char *message;  // part of the error message
};

class NoChange : public testing::TestWithParam<no_change_case_s> {};

TEST_P(NoChange, ReportsAndSendsNoMutatingRequest) {
    const no_change_case_s &c = GetParam();
    e2e_card_guard g;
    const std::string image = e2e_work_file(g.card, "img.bin", image_bytes(64 * 1024, 1));
    const std::string oversize = e2e_work_file(g.card, "big.bin", image_bytes(1024 * 1024 + 1, 2));
    const std::string rows = e2e_work_file(g.card, "rows.bin", image_bytes(4097, 3));
    Strings args;
    for (const std::string &a : c.args)
        args.push_back(a == "{BDF}"     ? g.card.bdf
                       : a == "{IMAGE}" ? image
                       : a == "{BIG}"   ? oversize
                       : a == "{ROWS}"  ? rows
                                        : a);
    const e2e_result_s r = flashctl(g.card, args);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    const json doc = document(r);
    EXPECT_EQ(doc.value("result", ""), c.result);
    EXPECT_EQ(doc.value("changed", true), false);
    if (c.code[0] != '\0') {
        EXPECT_EQ(doc["error"].value("code", ""), c.code);
        EXPECT_NE(doc["error"].value("message", "").find(c.message), std::string::npos) << doc.dump();
    } else {
        EXPECT_FALSE(doc.contains("error")) << doc.dump();
    }
    EXPECT_EQ(mutating_requests(e2e_requests(g.card)), Strings{});
}

const std::string k_zero_sha(128, '0');

INSTANTIATE_TEST_SUITE_P(
    Flashctl, NoChange,
    testing::Values(
        no_change_case_s{"oversize",
                         {"update", "{BDF}", "bastionfw-1", "{BIG}"},
                         2,
                         "refused",
                         "refused",
                         "image of 1048577 bytes does not fit partition bastionfw-1 of 1048576 bytes"},
        no_change_case_s{"running",
                         {"update", "{BDF}", "fw-a", "{IMAGE}"},
                         2,
                         "refused",
                         "refused",
                         "partition fw-a holds the running image; --allow-running overwrites it"},
        no_change_case_s{"sha512",
                         {"update", "{BDF}", "fw-b", "{IMAGE}", "--sha512", k_zero_sha},
                         2,
                         "refused",
                         "refused",
                         "does not match --sha512"},
        no_change_case_s{
            "partition", {"update", "{BDF}", "fw-c", "{IMAGE}"}, 2, "refused", "refused", "unknown partition 'fw-c'"},
        no_change_case_s{"address",
                         {"update", "0000:03:00", "fw-b", "{IMAGE}"},
                         2,
                         "refused",
                         "invalid_card",
                         "invalid card address '0000:03:00'"},
        no_change_case_s{"cpld_rows",
                         {"update", "{BDF}", "cpld", "{ROWS}"},
                         2,
                         "refused",
                         "refused",
                         "image of 4097 bytes is not a whole number of 16-byte rows"},
        no_change_case_s{
            "dry_run", {"update", "{BDF}", "fw-b", "{IMAGE}", "--activate", "--dry-run"}, 0, "unchanged", "", ""}),
    [](const testing::TestParamInfo<no_change_case_s> &i) { return std::string(i.param.name); });

// --- a whole life: install, again, activation, rollback ---------------------------

TEST(Flashctl, ActivatesIsIdempotentAndRollsBack) {
    e2e_card_guard g;
    const std::string image = e2e_work_file(g.card, "img.bin", image_bytes(100000, 3));
    // A fresh card recorded no image in fw-b: nothing to roll back to.
    e2e_result_s r = flashctl(g.card, {"rollback", g.card.bdf});
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_EQ(document(r)["error"]["message"], "the card recorded no image in fw-b: the card keeps starting fw-a");
    // The running slot gets an image too, so that it can be rolled back to.
    const std::string previous = e2e_work_file(g.card, "prev.bin", image_bytes(70000, 9));
    ASSERT_EQ(flashctl(g.card, {"update", g.card.bdf, "fw-a", previous, "--allow-running"}).status, 0);

    r = flashctl(g.card, {"update", g.card.bdf, "fw-b", image, "--activate"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    json doc = document(r);
    EXPECT_EQ(doc["result"], "updated");
    EXPECT_EQ(doc["changed"], true);
    EXPECT_EQ(doc["activated"], true);
    EXPECT_EQ(doc["partition_state"], "verified");
    EXPECT_EQ(doc["before"]["startup_image"], "fw-a");
    EXPECT_EQ(doc["after"]["startup_image"], "fw-b");
    // The card's own tool agrees: its exit status is the startup image (1: fw-b).
    EXPECT_EQ(e2e_run(g.card, {"--get-firmware-image", "startup"}).status, 1);

    e2e_clear_records(g.card);
    r = flashctl(g.card, {"update", g.card.bdf, "fw-b", image, "--activate"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    doc = document(r);
    EXPECT_EQ(doc["result"], "unchanged");
    EXPECT_EQ(doc["changed"], false);
    EXPECT_EQ(mutating_requests(e2e_requests(g.card)), Strings{});

    r = flashctl(g.card, {"rollback", g.card.bdf});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    doc = document(r);
    EXPECT_EQ(doc["from"], "fw-b");
    EXPECT_EQ(doc["to"], "fw-a");
    EXPECT_EQ(doc["result"], "updated");
    EXPECT_EQ(e2e_run(g.card, {"--get-firmware-image", "startup"}).status, 0);

    // Both updates are on record; history filters by card.
    r = flashctl(g.card, {"history", g.card.bdf});
    doc = document(r);
    ASSERT_EQ(doc["transactions"].size(), 3u);
    EXPECT_EQ(doc["transactions"][1]["result"], "updated");
    EXPECT_EQ(doc["transactions"][2]["result"], "unchanged");
    EXPECT_EQ(doc["transactions"][1]["image"]["size"], 100000);
}

// --- verification failures --------------------------------------------------------

struct failure_case_s {
    const char *name;
    const char *fault;
    const char *phase;
    const char *state;
    bool keys;  // the host holds the card's public keys
};

class VerifyFailure : public testing::TestWithParam<failure_case_s> {};

// The card's public keys in the host's key directory, for the signature checks.
void put_card_keys(const e2e_card_s &card, fwkeys_guard &keys) {
    const std::string dir = card.work_dir + "/keys";
    ASSERT_EQ(e2e_run_launcher({"keys", dir}).status, 0);
    for (const char *name : {"eng_key-pub.pem", "prod_key-pub.pem"}) {
        std::string pem;
        ASSERT_TRUE(e2e_read_file(dir + "/" + name, pem));
        ASSERT_TRUE(keys.put(name, pem));
    }
}

TEST_P(VerifyFailure, FailsWithoutSelecting) {
    const failure_case_s &c = GetParam();
    e2e_card_guard g;
    std::unique_ptr<fwkeys_guard> keys;
    if (c.keys) {
        keys = std::make_unique<fwkeys_guard>();
        if (!keys->usable) GTEST_SKIP() << keys->skip_reason;
        put_card_keys(g.card, *keys);
    }
    const std::string image = e2e_work_file(g.card, "img.bin", image_bytes(50000, 4));
    e2e_options_s options;
    options.faults = {c.fault};
    const e2e_result_s r = flashctl(g.card, {"update", g.card.bdf, "fw-b", image, "--activate"}, options);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const json doc = document(r);
    EXPECT_EQ(doc["result"], "failed");
    EXPECT_EQ(doc["error"]["code"], "failed");
    EXPECT_EQ(phase_status(doc, c.phase), "failed");
    EXPECT_EQ(phase_status(doc, "activate"), "skipped");
    EXPECT_EQ(doc["partition_state"], c.state);
    EXPECT_EQ(doc["activated"], false);
    EXPECT_FALSE(received(g.card, FWUPDATE_MSG_SET_STARTUP_IMAGE));
}

INSTANTIATE_TEST_SUITE_P(
    Flashctl, VerifyFailure,
    testing::Values(
        // The first checksum is the plan's question whether the card holds the image.
        failure_case_s{"checksum", "checksum@2:status=5", "verify_checksum", "written_unverified", false},
        failure_case_s{"signature", "verify-signature:status-word=129", "verify_signature", "verified", true}),
    [](const testing::TestParamInfo<failure_case_s> &i) { return std::string(i.param.name); });

// A second run skips the erase and the install of an image the card holds,
// never its verification: the card's refusal of the signature stands, and
// neither the retry nor a rollback selects the slot.
TEST(Flashctl, RetryAndRollbackNeverSelectAnImageWhoseSignatureTheCardRefused) {
    e2e_card_guard g;
    fwkeys_guard keys;
    if (!keys.usable) GTEST_SKIP() << keys.skip_reason;
    put_card_keys(g.card, keys);
    const std::string image = e2e_work_file(g.card, "img.bin", image_bytes(50000, 4));
    const std::string previous = e2e_work_file(g.card, "prev.bin", image_bytes(30000, 5));
    ASSERT_EQ(flashctl(g.card, {"update", g.card.bdf, "fw-a", previous, "--allow-running"}).status, 0);
    e2e_options_s options;
    options.faults = {"verify-signature:status-word=129"};
    EXPECT_EQ(flashctl(g.card, {"update", g.card.bdf, "fw-b", image, "--activate"}, options).status, 1);

    e2e_clear_records(g.card);
    e2e_result_s r = flashctl(g.card, {"update", g.card.bdf, "fw-b", image, "--activate"}, options);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    json doc = document(r);
    EXPECT_EQ(doc["result"], "failed");
    EXPECT_EQ(phase_status(doc, "erase"), "skipped");
    EXPECT_EQ(phase_status(doc, "verify_signature"), "failed");
    EXPECT_TRUE(received(g.card, FWUPDATE_MSG_VERIFY_SIGNATURE));
    EXPECT_EQ(mutating_requests(e2e_requests(g.card)), Strings{});

    // Rolled back to from fw-a, the slot is refused as well.
    r = flashctl(g.card, {"rollback", g.card.bdf}, options);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(document(r)["error"]["message"].get<std::string>().find("refused the signature of the image in fw-b"),
              std::string::npos);
    EXPECT_EQ(e2e_run(g.card, {"--get-firmware-image", "startup"}).status, 0);
}

// An image that is only the beginning of what the partition holds has the
// same checksum over its length, but not the card's record of the partition.
TEST(Flashctl, AnImageThatPrefixesThePartitionIsWritten) {
    e2e_card_guard g;
    const std::vector<uint8_t> whole = image_bytes(200000, 10);
    const std::string image = e2e_work_file(g.card, "whole.bin", whole);
    const std::string prefix = e2e_work_file(g.card, "prefix.bin", {whole.begin(), whole.begin() + 100000});
    ASSERT_EQ(flashctl(g.card, {"update", g.card.bdf, "fw-b", image}).status, 0);
    e2e_clear_records(g.card);
    const e2e_result_s r = flashctl(g.card, {"update", g.card.bdf, "fw-b", prefix});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const json doc = document(r);
    EXPECT_EQ(doc["result"], "updated");
    EXPECT_EQ(doc["partition_state"], "verified");
    EXPECT_TRUE(received(g.card, FWUPDATE_MSG_FLASH_WRITE));
}

// --- bounded and interruptible ------------------------------------------------------

// A card that stops answering in the middle of an exchange holds the client
// inside it; the run still ends at the phase's deadline, or soon after a
// signal, and names the phase that waited.
struct silence_case_s {
    const char *name;
    const char *action;  // run once the install is under way ("" none)
    const char *result;
    const char *phase_status;
    int status;
};

class Silence : public testing::TestWithParam<silence_case_s> {};

TEST_P(Silence, EndsTheRunAndNamesThePhase) {
    const silence_case_s &c = GetParam();
    e2e_card_guard g;
    e2e_options_s options;
    options.faults = {"write@20:delay=25000"};
    const std::string image = e2e_work_file(g.card, "img.bin", image_bytes(200000, 11));
    const std::string script = std::string("start=$(date +%s); ") + FLASHCTL + " update " + g.card.bdf + " fw-b " +
                               image + " --activate --json --timeout 2 --history " + history_path(g.card) + " >" +
                               g.card.work_dir + "/out.json & pid=$!; sleep 1; " + c.action +
                               "; wait $pid; echo STATUS=$? SECONDS=$(( $(date +%s) - start ))";
    options.fake_sleep = false;
    const e2e_result_s r = e2e_run_command(g.card, {"sh", "-c", script}, options);
    EXPECT_NE(r.out.find("STATUS=" + std::to_string(c.status)), std::string::npos) << r.out << r.err;
    const size_t at = r.out.find("SECONDS=");
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_LT(std::stoi(r.out.substr(at + 8)), 10) << r.out;
    const json doc = read_json_file(g.card.work_dir + "/out.json");
    EXPECT_EQ(doc["result"], c.result) << doc.dump();
    EXPECT_EQ(phase_status(doc, "install"), c.phase_status);
    EXPECT_NE(doc["error"]["message"].get<std::string>().find("install"), std::string::npos) << doc.dump();
    EXPECT_EQ(doc["partition_state"], "partially_written");
    EXPECT_FALSE(received(g.card, FWUPDATE_MSG_SET_STARTUP_IMAGE));
    // The journal has its line.
    EXPECT_NE(test_support::file_text(history_path(g.card)).find("\"result\":\"" + std::string(c.result)),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Flashctl, Silence,
                         testing::Values(silence_case_s{"deadline", "true", "timeout", "timeout", 1},
                                         silence_case_s{"sigterm", "kill -TERM $pid", "interrupted", "interrupted",
                                                        130}),
                         [](const testing::TestParamInfo<silence_case_s> &i) { return std::string(i.param.name); });

TEST(Flashctl, EraseThatNeverEndsTimesOutWithinItsDeadline) {
    e2e_card_guard g;
    const std::string image = e2e_work_file(g.card, "img.bin", image_bytes(4096, 5));
    e2e_options_s options;
    options.erase_polls = 1000000;
    const e2e_result_s r =
        flashctl(g.card, {"update", g.card.bdf, "fw-b", image, "--activate", "--timeout", "45"}, options);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const json doc = document(r);
    EXPECT_EQ(doc["result"], "timeout");
    EXPECT_EQ(doc["error"]["code"], "timeout");
    EXPECT_EQ(phase_status(doc, "erase"), "timeout");
    // The waits fill the deadline, less the time the exchanges took, and stop there.
    const double slept = e2e_slept_s(g.card);
    EXPECT_GE(slept, 44.0);
    EXPECT_LE(slept, 45.0 + 1e-3);
    EXPECT_FALSE(received(g.card, FWUPDATE_MSG_SET_STARTUP_IMAGE));
}

// Whatever stops an install (SIGTERM, SIGHUP of a closed terminal, the reader
// of the progress going away), the run ends at its next safe point with a
// document and a journal line.
struct stop_case_s {
    const char *name;
    const char *action;  // the shell's, once the install is under way
};

class StopDuringInstall : public testing::TestWithParam<stop_case_s> {};

TEST_P(StopDuringInstall, InterruptsWithADocumentAndAJournalLine) {
    e2e_card_guard g;
    // Answers a millisecond late, so the install is still under way when the stop comes.
    e2e_options_s options;
    options.faults = {"write:delay=1"};
    const std::string image = e2e_work_file(g.card, "img.bin", image_bytes(4 * 1024 * 1024, 6));
    const e2e_result_s r = during_install(g.card, image, GetParam().action, options);
    EXPECT_NE(r.out.find("FLASHCTL_STATUS=130"), std::string::npos) << r.out << r.err;
    const json doc = read_json_file(g.card.work_dir + "/out.json");
    EXPECT_EQ(doc["result"], "interrupted");
    EXPECT_EQ(doc["error"]["code"], "interrupted");
    EXPECT_EQ(phase_status(doc, "install"), "interrupted");
    EXPECT_EQ(doc["partition_state"], "partially_written");
    EXPECT_FALSE(received(g.card, FWUPDATE_MSG_SET_STARTUP_IMAGE));
    EXPECT_EQ(e2e_run(g.card, {"--get-firmware-image", "startup"}).status, 0);
    EXPECT_NE(test_support::file_text(history_path(g.card)).find("\"result\":\"interrupted\""), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Flashctl, StopDuringInstall,
                         testing::Values(stop_case_s{"sigterm", "kill -TERM $pid"},
                                         stop_case_s{"sighup", "kill -HUP $pid"},
                                         stop_case_s{"reader_gone", "exec 3<&-"}),
                         [](const testing::TestParamInfo<stop_case_s> &i) { return std::string(i.param.name); });

TEST(Flashctl, MutatingFlashUpdateIsBusyWhileUpdateRuns) {
    e2e_card_guard g;
    // Answers a millisecond late: the install lasts seconds, however slowly flash-update starts.
    e2e_options_s options;
    options.faults = {"write:delay=1"};
    const std::string image = e2e_work_file(g.card, "img.bin", image_bytes(2 * 1024 * 1024, 7));
    const e2e_result_s r = during_install(
        g.card, image, e2e_tool_path() + " --erase fw-b 0x1000 " + g.card.bdf + " 2>" + g.card.work_dir + "/fu.err",
        options);
    EXPECT_NE(r.out.find("ACTION_STATUS=1"), std::string::npos) << r.out << r.err;
    EXPECT_NE(r.out.find("FLASHCTL_STATUS=0"), std::string::npos) << r.out << r.err;
    std::string fu_err;
    ASSERT_TRUE(e2e_read_file(g.card.work_dir + "/fu.err", fu_err));
    EXPECT_NE(fu_err.find("is busy"), std::string::npos) << fu_err;
    // Only flashctl's own erase reached the card.
    unsigned erases = 0;
    for (const auto &q : e2e_requests(g.card))
        erases += q.msg == FWUPDATE_MSG_FLASH_ERASE;
    EXPECT_EQ(erases, 1u);
}

// The card computes one checksum at a time: a request for another one
// restarts it. Dry runs that keep asking for theirs hold the card shared, so
// an update waits for them once, keeps new ones out, and completes.
TEST(Flashctl, AnUpdateCompletesUnderAStreamOfDryRuns) {
    e2e_card_guard g;
    e2e_options_s options;
    options.verify_polls = 50;
    const std::string w = g.card.work_dir;
    const std::string image = e2e_work_file(g.card, "img.bin", image_bytes(8192, 12));
    const std::string other = e2e_work_file(g.card, "other.bin", image_bytes(4096, 13));
    const std::string reader = std::string("while [ ! -e ") + w + "/stop ]; do " + FLASHCTL + " update " + g.card.bdf +
                               " fw-a " + other + " --allow-running --dry-run --json >/dev/null 2>&1; done";
    const std::string script = "(" + reader + ") & (" + reader + ") & sleep 0.3; " + FLASHCTL + " update " +
                               g.card.bdf + " fw-b " + image + " --json --history " + history_path(g.card) + " >" + w +
                               "/out.json; echo UPDATE=$?; touch " + w + "/stop; wait";
    const e2e_result_s r = e2e_run_command(g.card, {"sh", "-c", script}, options);
    EXPECT_NE(r.out.find("UPDATE=0"), std::string::npos) << r.out << r.err;
    const json doc = read_json_file(w + "/out.json");
    EXPECT_EQ(doc["result"], "updated") << doc.dump();
    EXPECT_EQ(doc["partition_state"], "verified");
}

TEST(Flashctl, DrawsABarPerPhaseOnATerminal) {
    e2e_card_guard g;
    const std::string image = e2e_work_file(g.card, "img.bin", image_bytes(200000, 8));
    e2e_options_s options;
    options.stderr_tty = true;
    options.erase_polls = 1;
    const e2e_result_s r = flashctl(g.card, {"update", g.card.bdf, "fw-b", image}, options);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.err.find("\rerase            waiting on the card"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\rinstall          [##############################] 100%"), std::string::npos) << r.err;
    // The document on standard output carries nothing of it.
    EXPECT_EQ(document(r)["result"], "updated");
}

// --- the journal ---------------------------------------------------------------------

TEST(Flashctl, JournalThatCannotTakeALineRefusesBeforeTheCard) {
    e2e_card_guard g;
    const std::string image = e2e_work_file(g.card, "img.bin", image_bytes(4096, 9));
    // The journal's directory is a file.
    const std::string journal = image + "/history.jsonl";
    const e2e_result_s r = flashctl(g.card, {"update", g.card.bdf, "fw-b", image, "--activate", "--history", journal});
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    const json doc = document(r);
    EXPECT_EQ(doc["result"], "refused");
    EXPECT_EQ(doc["changed"], false);
    EXPECT_EQ(doc["error"]["code"], "journal");
    EXPECT_EQ(doc["error"]["message"],
              "the journal cannot take the transaction's line, so the card is left alone: "
              "cannot make directory " +
                  image + " for journal " + journal + ": Not a directory");
    // Not even a question reached the card.
    EXPECT_EQ(e2e_requests(g.card).size(), 0u);
}

// The journal's file system fills while the card is written: the card is
// changed, the document says how it stands and that its line is missing.
TEST(Flashctl, JournalThatFillsDuringTheUpdateFailsIt) {
    if (system("unshare -m true >/dev/null 2>&1") != 0) GTEST_SKIP() << "no private mount namespace here";
    e2e_card_guard g;
    e2e_options_s options;
    options.faults = {"write:delay=1"};
    const std::string image = e2e_work_file(g.card, "img.bin", image_bytes(1024 * 1024, 10));
    const std::string dir = g.card.work_dir + "/journal";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    const std::string journal = dir + "/history.jsonl";
    const e2e_result_s r =
        during_install(g.card, image, "dd if=/dev/zero of=" + dir + "/fill bs=4096 count=1000 2>/dev/null", options,
                       journal, "mount -t tmpfs -o size=256k,mode=0755 tmpfs " + dir + " || exit 98");
    EXPECT_NE(r.out.find("FLASHCTL_STATUS=1"), std::string::npos) << r.out << r.err;
    const json doc = read_json_file(g.card.work_dir + "/out.json");
    EXPECT_EQ(doc["result"], "updated");
    EXPECT_EQ(doc["changed"], true);
    EXPECT_EQ(doc["activated"], true);
    EXPECT_EQ(doc["after"]["startup_image"], "fw-b");
    const std::string why = "cannot record the transaction in " + journal + ": No space left on device";
    EXPECT_EQ(doc["error"], json({{"code", "journal"}, {"message", why}}));
    EXPECT_EQ(doc["journal"], json({{"code", "journal"}, {"message", why}}));
}

// --- a release -----------------------------------------------------------------------

// A release from its key pair to the card: made and signed, planned, applied
// as planned with its activation, pending until the card starts again,
// applied again without a write, and on the journal.
TEST(Flashctl, ReleaseIsPlannedAppliedCheckedAndJournaled) {
    e2e_card_guard g;
    const std::string w = g.card.work_dir;
    ASSERT_EQ(mkdir((w + "/images").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((w + "/trust").c_str(), 0755), 0);
    const std::vector<bundle_test::image_s> images = bundle_test::images();
    for (const auto &i : images)
        ASSERT_TRUE(test_support::write_file(w + "/images/" + i.file, i.bytes));
    ASSERT_TRUE(test_support::write_file(w + "/manifest.json", bundle_test::k_manifest));
    e2e_result_s r = flashctl(g.card, {"bundle", "keygen", w + "/release.key", w + "/trust/release.pem"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string signer = document(r)["fingerprint"];
    r = flashctl(g.card, {"bundle", "create", "--manifest", w + "/manifest.json", "--images", w + "/images", "--key",
                          w + "/release.key", "-o", w + "/release.tar"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const Strings release = {w + "/release.tar", g.card.bdf, "--trust", w + "/trust"};
    const auto run = [&](const char *command, Strings more) {
        Strings args = {command};
        args.insert(args.end(), release.begin(), release.end());
        args.insert(args.end(), more.begin(), more.end());
        return flashctl(g.card, args);
    };

    r = run("plan", {"--allow-single-slot"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const json plan = document(r);
    EXPECT_EQ(plan["cards"][0]["verdict"], "apply");
    EXPECT_EQ(mutating_requests(e2e_requests(g.card)), Strings{});
    ASSERT_TRUE(test_support::write_file(w + "/plan.json", r.out));

    e2e_clear_records(g.card);
    r = run("apply", {"--allow-single-slot", "--activate", "--plan", w + "/plan.json"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    json doc = document(r)["cards"][0];
    EXPECT_EQ(doc["result"], "updated");
    EXPECT_EQ(doc["activated"], true);
    // The card received each image whole into the slot it does not run, the
    // selection of that slot last.
    Strings order;
    std::map<uint32_t, std::string> written;
    for (const e2e_request_s &q : e2e_requests(g.card)) {
        if (q.msg != FWUPDATE_MSG_FLASH_ERASE && q.msg != FWUPDATE_MSG_FLASH_WRITE &&
            q.msg != FWUPDATE_MSG_SET_STARTUP_IMAGE)
            continue;
        const std::string step = (q.msg == FWUPDATE_MSG_FLASH_ERASE   ? "erase "
                                  : q.msg == FWUPDATE_MSG_FLASH_WRITE ? "write "
                                                                      : "select ") +
                                 std::to_string(q.bytes.at(0));
        if (order.empty() || order.back() != step) order.push_back(step);
        if (q.msg != FWUPDATE_MSG_FLASH_WRITE || q.bytes.at(25) != 0) continue;  // a verify pass compares
        uint64_t offset = 0, length = 0;
        memcpy(&offset, &q.bytes[8], 8);
        memcpy(&length, &q.bytes[16], 8);
        std::string &image = written[q.bytes[0]];
        image.resize(std::max<size_t>(image.size(), offset + length));
        image.replace(offset, length, reinterpret_cast<const char *>(&q.bytes[26]), length);
    }
    EXPECT_EQ(order, (Strings{"erase 7", "write 7", "erase 9", "write 9", "erase 17", "write 17", "select 1"}));
    EXPECT_TRUE(written[7] == images[0].bytes && written[9] == images[1].bytes && written[17] == images[2].bytes);
    EXPECT_EQ(e2e_run(g.card, {"--get-firmware-image", "startup"}).status, 1);

    r = run("check", {"--prometheus", w + "/release.prom"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    doc = document(r)["cards"][0];
    EXPECT_EQ(doc["state"], "pending");
    EXPECT_NE(test_support::file_text(w + "/release.prom")
                  .find("flash_update_card_release_state{card=\"" + g.card.bdf +
                        "\",release=\"larch-fw\",version=\"2.15.0\",state=\"pending\"} 1\n"),
              std::string::npos);

    e2e_clear_records(g.card);
    r = run("apply", {"--allow-single-slot", "--activate"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(document(r)["cards"][0]["result"], "unchanged");
    EXPECT_EQ(mutating_requests(e2e_requests(g.card)), Strings{});

    r = flashctl(g.card, {"history", g.card.bdf});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const json lines = document(r)["transactions"];
    ASSERT_EQ(lines.size(), 2u) << r.out;
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(lines[i]["release"], json({{"name", "larch-fw"}, {"version", "2.15.0"}}));
        EXPECT_EQ(lines[i]["manifest_sha256"], plan["bundle"]["manifest_sha256"]);
        EXPECT_EQ(lines[i]["signer"], signer);
        EXPECT_EQ(lines[i]["result"], i == 0 ? "updated" : "unchanged");
    }
}

// --- a rehearsal at the card's pace ------------------------------------------------

// A card's journal says its erases took 0.5 s/MiB, its writes 1 s/MiB and
// its checksums 0.25 s/MiB; plan predicts the apply of an 8 MiB release from
// it, and the card's twin, at that pace a hundred times faster, takes what
// it stands for within a tenth of the prediction.
TEST(Flashctl, TwinAtTheCardsPaceTakesThePredictedTime) {
    constexpr uint64_t mib = 1024 * 1024;
    constexpr double scale = 0.01;
    e2e_card_guard real, twin;
    const std::string w = real.card.work_dir;
    ASSERT_EQ(mkdir((w + "/images").c_str(), 0755), 0);
    const std::vector<uint8_t> fw = image_bytes(8 * mib, 7);
    ASSERT_TRUE(test_support::write_file(w + "/images/fw.bin", std::string(fw.begin(), fw.end())));
    ASSERT_TRUE(test_support::write_file(
        w + "/manifest.json",
        R"({"bundle_format": 1, "release": {"name": "larch-fw", "version": "2.15.0"},
            "compatible": {"boards": ["0x00010042"], "asics": ["larch"]},
            "components": [{"file": "fw.bin", "target": ["fw-a", "fw-b"]}]})"));
    const json phases = {{{"name", "erase"}, {"status", "ok"}, {"seconds", 16.0}, {"bytes", 32 * mib}},
                         {{"name", "install"}, {"status", "ok"}, {"seconds", 8.0}, {"bytes", 8 * mib}},
                         {{"name", "verify_checksum"}, {"status", "ok"}, {"seconds", 2.0}, {"bytes", 8 * mib}}};
    ASSERT_TRUE(test_support::write_file(history_path(real.card),
                                         json({{"card", real.card.bdf}, {"phases", phases}}).dump() + "\n"));
    e2e_result_s r = flashctl(real.card, {"bundle", "create", "--manifest", w + "/manifest.json", "--images",
                                          w + "/images", "--allow-unsigned", "-o", w + "/release.tar"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    r = flashctl(real.card, {"inventory", real.card.bdf});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_TRUE(test_support::write_file(w + "/inventory.json", r.out));
    r = flashctl(real.card, {"plan", w + "/release.tar", real.card.bdf, "--allow-unsigned", "--history",
                             history_path(real.card)});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const json planned = document(r)["cards"][0];
    EXPECT_EQ(planned["prediction"], "journal");
    // Erase of the 32 MiB slot, write and two checksums (the look, the verification) of 8 MiB.
    const double predicted = planned["predicted_seconds"];
    EXPECT_DOUBLE_EQ(predicted, 16 + 8 + 2 * 2);

    e2e_options_s o;
    o.fake_sleep = false;
    o.launcher_args = {"--twin", w + "/inventory.json", "--timing", history_path(real.card), "--time-scale", "0.01"};
    r = flashctl(twin.card, {"apply", w + "/release.tar", twin.card.bdf, "--allow-unsigned"}, o);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(document(r)["cards"][0]["result"], "updated");
    EXPECT_NE(r.err.find("card " + twin.card.bdf + " at the pace of " + real.card.bdf + " in " +
                         history_path(real.card) + ": erase 0.500, write 1.000, checksum 0.250 s/MiB (journal lines: 1)\n"),
              std::string::npos)
        << r.err;
    const std::string head = "flash-update-vcard: card " + twin.card.bdf + ": ";
    const size_t at = r.err.find(head);
    ASSERT_NE(at, std::string::npos) << r.err;
    double spent = 0, stands_for = 0;
    ASSERT_EQ(sscanf(r.err.c_str() + at + head.size(), "%lf s at time scale 0.01 stands for %lf s", &spent, &stands_for),
              2)
        << r.err;
    EXPECT_NEAR(stands_for, predicted, predicted / 10) << r.err;
    // The twin waited its scaled time, and ran far faster than the card.
    EXPECT_GE(spent, 0.9 * scale * predicted) << r.err;
    EXPECT_LT(spent, predicted / 4) << r.err;
}

// --- inventory -----------------------------------------------------------------------

TEST(Flashctl, InventoryListsEveryCardAndReportsTheOneThatFails) {
    e2e_card_guard g;
    e2e_options_s options;
    options.cards = 3;
    // The second card answers its first card-info request, here from
    // flash-update; its second, from flashctl, goes unanswered.
    options.faults = {"card-info@2:no-answer"};
    const std::string bdf3 = g.card.bdf.substr(0, 5) + "23:00.0";
    const std::string metrics = g.card.work_dir + "/cards.prom";
    const std::string script = e2e_tool_path() + " --get-card-info " + g.card.bdf2 + " >/dev/null 2>&1; " + FLASHCTL +
                               " inventory --json " + g.card.bdf + " " + g.card.bdf2 + " " + bdf3 + " --prometheus " +
                               metrics;
    const e2e_result_s r = e2e_run_command(g.card, {"sh", "-c", script}, options);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const json doc = document(r);
    ASSERT_EQ(doc["cards"].size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const json &card = doc["cards"][i];
        EXPECT_EQ(card["card"], (Strings{g.card.bdf, g.card.bdf2, bdf3}[i]));
        if (i == 1) {
            EXPECT_EQ(card["ok"], false);
            EXPECT_EQ(card["error"]["code"], "io");
            continue;
        }
        EXPECT_EQ(card["ok"], true);
        EXPECT_EQ(card["identity"]["asic"], "larch");
        EXPECT_EQ(card["running_image"], "fw-a");
        ASSERT_EQ(card["partitions"].size(), 25u);
        EXPECT_EQ(card["partitions"][6]["name"], "fw-a");
        EXPECT_EQ(card["partitions"][6]["running"], true);
        EXPECT_EQ(card["secure"]["lcs"]["lcs_boot_state"], "open");
    }
    // Read-only: no request that changes a card, no file in its scratch directory.
    EXPECT_EQ(mutating_requests(e2e_requests(g.card)), Strings{});
    EXPECT_TRUE(std::filesystem::is_empty(g.card.scratch_dir));
    // The metrics file stands complete, without its temporary.
    std::string text;
    ASSERT_TRUE(e2e_read_file(metrics, text));
    EXPECT_NE(text.find("flash_update_card_inventory_success{card=\"" + g.card.bdf2 + "\"} 0"), std::string::npos)
        << text;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(g.card.work_dir), {}), 1);
}

TEST(Flashctl, InventoryFindsTheHostsCardsInSysfs) {
    e2e_card_guard g;
    e2e_options_s options;
    options.cards = 2;
    const e2e_result_s r = flashctl(g.card, {"inventory"}, options);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const json doc = document(r);
    ASSERT_EQ(doc["cards"].size(), 2u);
    EXPECT_EQ(doc["cards"][0]["card"], g.card.bdf);
    EXPECT_EQ(doc["cards"][1]["card"], g.card.bdf2);
}

}  // namespace

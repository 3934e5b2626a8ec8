// SPDX-License-Identifier: Apache-2.0
// Releases in-process over the fake card: the plan's verdicts and refusals,
// the transaction failing at each component, its refusals before any write,
// the compliance states, and the documents made of them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include "bundle_test_util.h"
#include "fake_card.h"
#include "journal.h"
#include "release.h"

using nlohmann::json;

namespace {

using fake::g_card;
using fake::Strings;

const std::string k_card = "0000:03:00.0";
// Every request a fresh card gets from an activating apply, in order.
const Strings k_apply_calls = {"erase fw-b", "write fw-b", "verify_signature fw-b", "erase dtb-b", "write dtb-b",
                               "erase cpld", "write cpld", "set_startup fw-b"};

class Release : public testing::Test {
  public:
    void SetUp() override {
        fake::reset();
        g_card.identity.board_id = 0x00010042;
        g_card.identity.asic = "larch";
        g_card.identity.ipc_version = 5;
        g_card.identity.life_cycle_name = "open";
        g_card.partitions = {{6, 1, "fw-a", "firmware", 4 << 20, 0, true, true, "2.14.0"},
                             {7, 1, "fw-b", "firmware", 4 << 20, 1, false, false, "2.13.2"},
                             {8, 2, "dtb", "dtb", 64 << 10, 0, false, false, "dtb-1.6.0"},
                             {9, 2, "dtb-b", "dtb", 64 << 10, 1, false, false, "dtb-1.6.0"},
                             {17, 3, "cpld", "cpld", 4096, 0, false, false, "cpld-3.7"}};
        g_card.keys = true;
        ASSERT_TRUE(make(keys_.private_key, dir_ / "release.tar", &bundle_));
        req_.allow_single_slot = true;
    }
    // The examples' bundle, signed with key ("" unsigned), opened as the program opens it.
    bool make(const std::string &key, const std::string &out, bundle_s *b, bundle_form_e form = BUNDLE_FORM_TAR) {
        const std::string images = dir_ / "images";
        mkdir(images.c_str(), 0755);
        for (const bundle_test::image_s &i : bundle_test::images())
            test_support::write_file(images + "/" + i.file, i.bytes);
        test_support::write_file(dir_ / "manifest.json", bundle_test::k_manifest);
        bundle_error_s error;
        EXPECT_TRUE(bundle_create(dir_ / "manifest.json", images, key, out, &error, form)) << error.message;
        return b == nullptr || bundle_open(out, {keys_.trust, false, dir_.path}, b, &error);
    }
    fc_card_release_s on_card(decltype(&fc_release_plan_card) step) {
        fc_card_release_s c;
        c.card = k_card;
        step(fake::k_ops, bundle_, req_, c);
        return c;
    }
    fc_release_report_s report(const char *command, const fc_card_release_s &c) { return {command, &bundle_, {c}}; }
    // The card's partitions hold the components (fw, dtb, cpld) there.
    void hold(uint32_t fw, uint32_t dtb, bool cpld = true) {
        g_card.held[fw] = bundle_.images[0].sha512;
        g_card.held[dtb] = bundle_.images[1].sha512;
        if (cpld) g_card.held[17] = bundle_.images[2].sha512;
    }

    test_support::temp_dir dir_{"flashctl-release"};
    bundle_test::keys_s keys_;
    bundle_s bundle_;
    fc_release_request_s req_;
};
using setup_fn = std::function<void(Release &)>;

void runs_fw_b(Release &) {
    g_card.running = g_card.startup = FIRMWARE_IMAGE_FW_B;
    g_card.partitions[0].running = false;
    g_card.partitions[1].running = true;
}

template <typename F>
std::string joined(const fc_card_release_s &c, F f) {
    std::string out;
    for (const fc_component_s &comp : c.components)
        out += (out.empty() ? "" : " ") + std::string(f(comp));
    return out;
}

// --- plan ----------------------------------------------------------------------

struct plan_case_s {
    const char *name;
    setup_fn setup;
    const char *plan;     // verdict [refused_by] and per component partition:write|held|refusal check
    const char *refusal;  // the first refused component's message
};

class Plan : public Release, public testing::WithParamInterface<plan_case_s> {};

TEST_P(Plan, DecidesEveryComponentAndTheVerdictReadOnly) {
    GetParam().setup(*this);
    const fc_card_release_s c = on_card(fc_release_plan_card);
    std::string plan = fc_verdict_name(c.verdict) + std::string(" [");
    for (const std::string &r : c.refused_by)
        plan += (plan.back() == '[' ? "" : ", ") + r;
    plan += "]";
    std::string refusal;
    for (const fc_component_s &x : c.components) {
        plan += " " + (x.partition.empty() ? "-" : x.partition) + ":" +
                (!x.refusal_check.empty() ? x.refusal_check
                 : x.holds                ? "held"
                                          : "write");
        if (refusal.empty()) refusal = x.refusal;
    }
    EXPECT_EQ(plan, GetParam().plan);
    EXPECT_EQ(refusal, GetParam().refusal);
    EXPECT_EQ(g_card.calls, Strings{});
    EXPECT_EQ(g_card.lock_takes, (std::vector<std::pair<card_lock_mode_e, double>>{{CARD_LOCK_SHARED, 60}}));
}

INSTANTIATE_TEST_SUITE_P(
    Flashctl, Plan,
    testing::Values(
        plan_case_s{"fresh", [](Release &) {}, "apply [] fw-b:write dtb-b:write cpld:write", ""},
        plan_case_s{"runs_fw_b", runs_fw_b, "apply [] fw-a:write dtb:write cpld:write", ""},
        plan_case_s{"holds_all", [](Release &t) { t.hold(7, 9); }, "nothing_to_do [] fw-b:held dtb-b:held cpld:held",
                    ""},
        // The checksum over the image's length matches, the card's record of the install does not.
        plan_case_s{"record_differs", [](Release &t) { t.hold(7, 9), g_card.recorded[9] = std::string(128, 'f'); },
                    "apply [] fw-b:held dtb-b:write cpld:held", ""},
        plan_case_s{"single_slot_without_flag", [](Release &t) { t.req_.allow_single_slot = false; },
                    "refused [cpld.bin: single_slot] fw-b:write dtb-b:write cpld:single_slot",
                    "partition cpld is written in place, which no slot protects: --allow-single-slot writes it"},
        plan_case_s{"does_not_fit", [](Release &) { g_card.partitions[3].size = 1024; },
                    "refused [dtb.bin: fits] fw-b:write dtb-b:fits cpld:write",
                    "image of 4096 bytes does not fit partition dtb-b of 1024 bytes"},
        plan_case_s{"running_partition", [](Release &) { g_card.partitions[4].running = true; },
                    "refused [cpld.bin: running] fw-b:write dtb-b:write cpld:running",
                    "partition cpld holds the running image"},
        plan_case_s{"gold", [](Release &) { g_card.running = FIRMWARE_IMAGE_A35_GOLDFW; },
                    "refused [fw.bin: slot, dtb.bin: slot] -:slot -:slot cpld:write",
                    "the card runs gold, whose slot is neither of the family's: no slot is free to write"},
        plan_case_s{"rules",
                    [](Release &) { g_card.identity.life_cycle_name = "rip", g_card.identity.ipc_version = 4; },
                    "refused [lc-not-rip, layout-5] fw-b:write dtb-b:write cpld:write", ""}),
    [](const testing::TestParamInfo<plan_case_s> &i) { return std::string(i.param.name); });

TEST_F(Release, PlanDocumentShowsEachRuleWithTheCardsFactAndDigestsWhatItRead) {
    g_card.identity.life_cycle_name = "rip";
    const fc_card_release_s c = on_card(fc_release_plan_card);
    const json doc = fc_release_json(report("plan", c));
    EXPECT_EQ(doc["bundle"]["signer"], keys_.fingerprint);
    EXPECT_EQ(doc["cards"][0]["rules"],
              json::parse(R"([{"id": "lc-not-rip", "field": "identity.life_cycle", "op": "ne", "value": "rip",
                                "fact": "rip", "pass": false},
                               {"id": "layout-5", "field": "identity.ipc_version", "op": "ge", "value": 5,
                                "fact": 5, "pass": true}])"));
    EXPECT_EQ(doc["cards"][0]["components"][2], json({{"file", "cpld.bin"},
                                                      {"target", "cpld"},
                                                      {"size", 48},
                                                      {"sha512", bundle_.images[2].sha512},
                                                      {"partition", "cpld"},
                                                      {"holds", false},
                                                      {"action", "write"}}));
    EXPECT_EQ(fc_release_exit_status(report("plan", c)), 2);
    // The digest stands while the card does, and moves with it.
    EXPECT_EQ(doc["cards"][0]["plan_digest"], on_card(fc_release_plan_card).plan_digest);
    EXPECT_EQ(c.plan_digest.size(), 64u);
    g_card.startup = FIRMWARE_IMAGE_FW_B;
    EXPECT_NE(on_card(fc_release_plan_card).plan_digest, c.plan_digest);
}

// --- apply ---------------------------------------------------------------------

TEST_F(Release, ApplyWritesInManifestOrderSelectsLastAndAgainWritesNothing) {
    req_.activate = true;
    fc_card_release_s c = on_card(fc_release_apply_card);
    EXPECT_STREQ(fc_result_name(c.result), "updated") << c.error.message;
    EXPECT_EQ(g_card.calls, k_apply_calls);
    EXPECT_TRUE(c.activated);
    EXPECT_EQ(g_card.startup, FIRMWARE_IMAGE_FW_B);
    // The journal's line: the release, who signed it, and how each component ended.
    json line = json::parse(fc_release_history_line(report("apply", c), c));
    line.erase("time");
    // Each phase with the bytes it went over: the erase the whole partition.
    json comps = json::array();
    const uint64_t partition_sizes[] = {4 << 20, 64 << 10, 4 << 10};
    for (size_t i = 0; i < 3; ++i) {
        const uint64_t size = bundle_.images[i].size;
        json phases = {{{"name", "erase"}, {"status", "ok"}, {"seconds", 0.0}, {"bytes", partition_sizes[i]}},
                       {{"name", "install"}, {"status", "ok"}, {"seconds", 0.0}, {"bytes", size}},
                       {{"name", "verify_checksum"}, {"status", "ok"}, {"seconds", 0.0}, {"bytes", size}}};
        if (i == 0) phases.push_back({{"name", "verify_signature"}, {"status", "ok"}, {"seconds", 0.0}});
        comps.push_back({{"file", bundle_.images[i].component.file},
                         {"partition", Strings{"fw-b", "dtb-b", "cpld"}[i]},
                         {"size", size},
                         {"sha512", bundle_.images[i].sha512},
                         {"held", false},
                         {"partition_state", "verified"},
                         {"phases", phases}});
    }
    EXPECT_EQ(line, json({{"card", k_card},
                          {"serial_number", "SN1"},
                          {"release", {{"name", "larch-fw"}, {"version", "2.15.0"}}},
                          {"manifest_sha256", bundle_.manifest_sha256},
                          {"signer", keys_.fingerprint},
                          {"before", {{"version", ""}, {"running_image", "fw-a"}, {"startup_image", "fw-a"}}},
                          {"after", {{"version", ""}, {"running_image", "fw-a"}, {"startup_image", "fw-b"}}},
                          {"components", comps},
                          {"activated", true},
                          {"result", "updated"}}));

    g_card.calls.clear();
    c = on_card(fc_release_apply_card);
    EXPECT_STREQ(fc_result_name(c.result), "unchanged") << c.error.message;
    EXPECT_FALSE(c.changed);
    // A component the card holds is still verified by its signature.
    EXPECT_EQ(g_card.calls, Strings{"verify_signature fw-b"});
}

struct failure_case_s {
    const char *name;
    std::function<int(const std::string &request)> fault;
    const char *last_call;  // the transaction's requests end with it
    const char *outcome;    // result, exit status: each component's partition state
    const char *message;
};

class ApplyFailure : public Release, public testing::WithParamInterface<failure_case_s> {};

TEST_P(ApplyFailure, LeavesTheSelectionAndSaysHowFarEachPartitionGot) {
    const failure_case_s &f = GetParam();
    g_card.fault = f.fault;
    req_.activate = true;
    req_.timeout_s = 25;
    const fc_card_release_s c = on_card(fc_release_apply_card);
    EXPECT_EQ(fc_result_name(c.result) + (" " + std::to_string(fc_release_exit_status(report("apply", c)))) + ": " +
                  joined(c, [](auto &x) { return fc_partition_state_name(x.state); }),
              f.outcome);
    EXPECT_EQ(c.error.message, f.message);
    const auto last = std::find(k_apply_calls.begin(), k_apply_calls.end(), f.last_call);
    EXPECT_EQ(g_card.calls, Strings(k_apply_calls.begin(), last + 1));
    EXPECT_FALSE(c.activated);
    EXPECT_EQ(g_card.startup, FIRMWARE_IMAGE_FW_A);
    EXPECT_EQ(c.after.startup_image, "fw-a");
}

std::function<int(const std::string &)> fails(const std::string &which) {
    return [which](const std::string &r) { return r == which ? RFC_EFAIL : RFC_OK; };
}

INSTANTIATE_TEST_SUITE_P(
    Flashctl, ApplyFailure,
    testing::Values(failure_case_s{"erase_fw", fails("erase fw-b"), "erase fw-b",
                                   "failed 1: erased untouched untouched", "fw.bin: erase of fw-b failed (result 255)"},
                    failure_case_s{"signature_fw", fails("verify_signature fw-b"), "verify_signature fw-b",
                                   "failed 1: verified untouched untouched",
                                   "fw.bin: the card refused the signature of the image in fw-b (result 255)"},
                    failure_case_s{"write_dtb", fails("write dtb-b"), "write dtb-b",
                                   "failed 1: verified partially_written untouched",
                                   "dtb.bin: install into dtb-b failed (result 255)"},
                    failure_case_s{"checksum_cpld", fails("checksum cpld"), "write cpld",
                                   "failed 1: verified verified written_unverified",
                                   "cpld.bin: the card's checksum of cpld failed (result 255)"},
                    failure_case_s{"erase_cpld_never_ends",
                                   [](const std::string &r) {
                                       if (r == "erase cpld") g_card.erase_polls = 1000;
                                       return RFC_OK;
                                   },
                                   "erase cpld", "timeout 1: verified verified erased",
                                   "erase did not finish within 25 seconds"},
                    failure_case_s{"signal_during_dtb",
                                   [](const std::string &r) {
                                       if (r == "write dtb-b") fc_on_signal(SIGTERM);
                                       return RFC_OK;
                                   },
                                   "write dtb-b", "interrupted 130: verified written_unverified untouched",
                                   "stopped by signal 15 during verify_checksum"},
                    failure_case_s{"selection_fails", fails("set_startup fw-b"), "set_startup fw-b",
                                   "failed 1: verified verified verified",
                                   "selecting fw-b as the startup image failed (result 255)"}),
    [](const testing::TestParamInfo<failure_case_s> &i) { return std::string(i.param.name); });

// Refusals before the first write; a card not in the plan is not even asked.
struct refusal_case_s {
    const char *name;
    setup_fn setup;
    const char *code;
    const char *message;
};

class ApplyRefusal : public Release, public testing::WithParamInterface<refusal_case_s> {};

void planned(Release &t) {
    t.req_.plan = fc_release_json(t.report("plan", t.on_card(fc_release_plan_card)));
    t.req_.plan_path = "plan.json";
    g_card.asked = 0;
}

TEST_P(ApplyRefusal, ChangesNothing) {
    GetParam().setup(*this);
    const fc_card_release_s c = on_card(fc_release_apply_card);
    EXPECT_STREQ(doc_error_code_name(c.error.code), GetParam().code);
    EXPECT_EQ(c.error.message, GetParam().message);
    EXPECT_EQ(g_card.calls, Strings{});
    EXPECT_EQ(g_card.asked == 0, GetParam().code == std::string("not_planned"));
}

INSTANTIATE_TEST_SUITE_P(
    Flashctl, ApplyRefusal,
    testing::Values(refusal_case_s{"drifted", [](Release &t) { planned(t), g_card.startup = FIRMWARE_IMAGE_FW_B; },
                                   "drifted",
                                   "card 0000:03:00.0 is no longer what was planned in plan.json: plan it again"},
                    refusal_case_s{"not_planned",
                                   [](Release &t) { planned(t), t.req_.plan["cards"][0]["card"] = "0000:04:00.0"; },
                                   "not_planned", "card 0000:03:00.0 is not in the plan plan.json"},
                    refusal_case_s{"incompatible", [](Release &) { g_card.identity.asic = "birch"; }, "refused",
                                   "the release does not apply to card 0000:03:00.0: compatible"},
                    refusal_case_s{"busy", [](Release &) { g_card.lock = CARD_LOCK_BUSY; }, "busy",
                                   "card 0000:03:00.0 is busy: another flash-update (pid 4242) holds its lock"}),
    [](const testing::TestParamInfo<refusal_case_s> &i) { return std::string(i.param.name); });

TEST_F(Release, ApplyWithAPlanOfTheCardAsItStandsWrites) {
    planned(*this);
    EXPECT_STREQ(fc_result_name(on_card(fc_release_apply_card).result), "updated");
}

// --- check ---------------------------------------------------------------------

struct check_case_s {
    const char *name;
    setup_fn setup;
    const char *state;
    const char *held;  // per component, "-" nowhere
};

class Check : public Release, public testing::WithParamInterface<check_case_s> {};

TEST_P(Check, NamesTheCardsCompliance) {
    const check_case_s &k = GetParam();
    k.setup(*this);
    const fc_card_release_s c = on_card(fc_release_check_card);
    EXPECT_STREQ(fc_release_state_name(c.state), k.state);
    EXPECT_EQ(joined(c, [](auto &x) { return x.held.empty() ? "-" : x.held; }), k.held);
    EXPECT_EQ(fc_release_exit_status(report("check", c)), std::string(k.state) == "compliant" ? 0 : 1);
    EXPECT_EQ(g_card.calls, Strings{});
}

void selects_fw_b(Release &) {
    g_card.startup = FIRMWARE_IMAGE_FW_B;
}

INSTANTIATE_TEST_SUITE_P(
    Flashctl, Check,
    testing::Values(
        check_case_s{"compliant", [](Release &t) { t.hold(6, 8); }, "compliant", "running running in_place"},
        check_case_s{"compliant_on_fw_b", [](Release &t) { runs_fw_b(t), t.hold(7, 9); }, "compliant",
                     "running running in_place"},
        check_case_s{"pending", [](Release &t) { selects_fw_b(t), t.hold(7, 9); }, "pending", "other other in_place"},
        check_case_s{"staged", [](Release &t) { t.hold(7, 9); }, "staged", "other other in_place"},
        check_case_s{"outdated", [](Release &) {}, "outdated", "- - -"},
        check_case_s{"outdated_single_partition", [](Release &t) { selects_fw_b(t), t.hold(7, 9, false); }, "outdated",
                     "other other -"},
        check_case_s{"incompatible_board", [](Release &) { g_card.identity.board_id = 7; }, "incompatible", "- - -"},
        check_case_s{"incompatible_rule", [](Release &) { g_card.identity.life_cycle_name = "rip"; }, "incompatible",
                     "- - -"},
        check_case_s{"unknown", [](Release &) { g_card.fault = fails("identity"); }, "unknown", ""}),
    [](const testing::TestParamInfo<check_case_s> &i) { return std::string(i.param.name); });

// --- the run's documents ---------------------------------------------------------

TEST_F(Release, ExitStatusIsTheWorstCards) {
    const auto status = [this](const char *command, std::vector<std::function<void(fc_card_release_s &)>> cards) {
        fc_release_report_s rep{command, &bundle_, std::vector<fc_card_release_s>(cards.size())};
        for (size_t i = 0; i < cards.size(); ++i)
            rep.cards[i].answered = true, cards[i](rep.cards[i]);
        return fc_release_exit_status(rep);
    };
    const auto verdict = [](fc_verdict_e v) { return [v](fc_card_release_s &c) { c.verdict = v; }; };
    const auto result = [](fc_result_e r) { return [r](fc_card_release_s &c) { c.result = r; }; };
    EXPECT_EQ(status("plan", {verdict(FC_VERDICT_APPLY), verdict(FC_VERDICT_NOTHING_TO_DO)}), 0);
    EXPECT_EQ(status("plan", {verdict(FC_VERDICT_APPLY), verdict(FC_VERDICT_REFUSED)}), 2);
    EXPECT_EQ(status("plan", {verdict(FC_VERDICT_REFUSED), [](fc_card_release_s &c) { c.answered = false; }}), 1);
    EXPECT_EQ(status("apply", {result(FC_RESULT_UNCHANGED), result(FC_RESULT_REFUSED), result(FC_RESULT_BUSY)}), 3);
    EXPECT_EQ(status("apply", {result(FC_RESULT_BUSY), result(FC_RESULT_TIMEOUT)}), 1);
    EXPECT_EQ(status("apply", {result(FC_RESULT_INTERRUPTED), result(FC_RESULT_FAILED)}), 130);
}

TEST_F(Release, PrometheusTextHasOneSampleOfEveryCard) {
    fc_release_report_s rep{"check", &bundle_, std::vector<fc_card_release_s>(2)};
    rep.cards[0].card = "0000:03:00.0", rep.cards[0].state = FC_STATE_PENDING;
    rep.cards[1].card = "0000:04:00.0", rep.cards[1].state = FC_STATE_UNKNOWN;
    EXPECT_EQ(fc_release_prometheus_text(rep),
              "# HELP flash_update_card_release_state The card's compliance with the release: compliant, pending, "
              "staged, outdated, incompatible or unknown.\n"
              "# TYPE flash_update_card_release_state gauge\n"
              "flash_update_card_release_state{card=\"0000:03:00.0\",release=\"larch-fw\",version=\"2.15.0\","
              "state=\"pending\"} 1\n"
              "flash_update_card_release_state{card=\"0000:04:00.0\",release=\"larch-fw\",version=\"2.15.0\","
              "state=\"unknown\"} 1\n");
}

// --- bad input: no card is asked -------------------------------------------------

struct input_case_s {
    const char *name;
    std::function<std::string(Release &)> bundle;  // makes it, returns its path
    const char *check;
};

class BadInput : public Release, public testing::WithParamInterface<input_case_s> {};

TEST_P(BadInput, IsRefusedBeforeAnyCard) {
    const std::string bundle = GetParam().bundle(*this);
    std::string out;
    EXPECT_EQ(
        fake::run_main({"apply", bundle, k_card, "--trust", keys_.trust, "--history", dir_ / "h", "--json"}, &out), 2);
    const json doc = json::parse(out);
    EXPECT_EQ(doc["error"]["code"], "bundle");
    EXPECT_EQ(doc["error"]["check"], GetParam().check);
    EXPECT_EQ(g_card.asked, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Flashctl, BadInput,
    testing::Values(input_case_s{"unsigned",
                                 [](Release &t) { return t.make("", t.dir_ / "u.tar", nullptr), t.dir_ / "u.tar"; },
                                 "unsigned"},
                    input_case_s{"other_key",
                                 [](Release &t) {
                                     bundle_test::keys_s other;
                                     return t.make(other.private_key, t.dir_ / "o.tar", nullptr), t.dir_ / "o.tar";
                                 },
                                 "untrusted"},
                    input_case_s{"image_changed",
                                 [](Release &t) {
                                     t.make(t.keys_.private_key, t.dir_ / "d", nullptr, BUNDLE_FORM_DIRECTORY);
                                     test_support::write_file(t.dir_ / "d/dtb.bin", std::string(4096, 'x'));
                                     return t.dir_ / "d";
                                 },
                                 "sha512"}),
    [](const testing::TestParamInfo<input_case_s> &i) { return std::string(i.param.name); });

// --- several cards at once -------------------------------------------------------

const Strings k_cards = {"0000:03:00.0", "0000:04:00.0", "0000:05:00.0"};

// Holds each card's thread at one request until every card reached it: a
// run that took the cards one after another would never pass it. The last
// to arrive runs on_met before the others go on.
struct rendezvous_s {
    std::mutex m;
    std::condition_variable cv;
    size_t arrived = 0;
    bool met = true;
    std::function<void()> on_met;
    // Once per card: a card asked again after the meeting goes on.
    void arrive() {
        std::unique_lock<std::mutex> lk(m);
        if (arrived == k_cards.size()) return;
        if (++arrived == k_cards.size() && on_met) on_met();
        cv.notify_all();
        // Bounded only so that a run of one card at a time fails instead of hanging.
        if (!cv.wait_for(lk, std::chrono::seconds(30), [this] { return arrived == k_cards.size(); })) met = false;
    }
};

class SeveralCards : public Release {
  public:
    // Every card is the fixture's; it meets the others at its identity
    // request, and answers each request as then says.
    void cards(std::function<int(size_t card, const std::string &request)> then = nullptr) {
        for (size_t i = 0; i < k_cards.size(); ++i)
            fake::g_cards[k_cards[i]] = g_card;
        for (size_t i = 0; i < k_cards.size(); ++i)
            fake::g_cards[k_cards[i]].fault = [this, i, then](const std::string &request) {
                if (request == "identity") meet_.arrive();
                return then ? then(i, request) : RFC_OK;
            };
    }
    int run(Strings args, json *doc) {
        args.insert(args.begin() + (args[0] == "inventory" ? 1 : 2), k_cards.begin(), k_cards.end());
        args.insert(args.end(), {"--json", "--trust", keys_.trust});
        std::string out;
        const int status = fake::run_main(args, &out);
        *doc = json::parse(out);
        return status;
    }
    // The journal's lines as "card result", in card order, and whether its chain holds.
    Strings journal(bool *chained) {
        fc_journal_verdict_s verdict;
        std::string error;
        *chained = fc_journal_verify(history_, &verdict, &error) && verdict.break_line == 0;
        Strings lines;
        std::istringstream in(test_support::file_text(history_));
        for (std::string line; std::getline(in, line);) {
            const json j = json::parse(line);
            lines.push_back(j["card"].get<std::string>() + " " + j["result"].get<std::string>());
        }
        std::sort(lines.begin(), lines.end());
        return lines;
    }
    Strings field(const json &doc, const char *name) {
        Strings values;
        for (const json &c : doc["cards"])
            values.push_back(c.contains(name) ? c[name].dump() : "-");
        return values;
    }

    rendezvous_s meet_;
    std::string history_ = dir_ / "history.jsonl";
};

TEST_F(SeveralCards, ApplyRunsThemAtOnceAndOneFailingLeavesTheOthers) {
    cards([](size_t i, const std::string &request) { return i == 1 && request == "write dtb-b" ? 5 : RFC_OK; });
    json doc;
    EXPECT_EQ(run({"apply", dir_ / "release.tar", "--activate", "--allow-single-slot", "--history", history_}, &doc),
              1);
    EXPECT_TRUE(meet_.met);
    EXPECT_EQ(field(doc, "card"), (Strings{"\"0000:03:00.0\"", "\"0000:04:00.0\"", "\"0000:05:00.0\""}));
    EXPECT_EQ(field(doc, "result"), (Strings{"\"updated\"", "\"failed\"", "\"updated\""}));
    EXPECT_EQ(fake::g_cards[k_cards[0]].calls, k_apply_calls);
    EXPECT_EQ(fake::g_cards[k_cards[1]].calls,
              (Strings{"erase fw-b", "write fw-b", "verify_signature fw-b", "erase dtb-b", "write dtb-b"}));
    EXPECT_EQ(fake::g_cards[k_cards[2]].calls, k_apply_calls);
    EXPECT_EQ(fake::g_cards[k_cards[1]].startup, FIRMWARE_IMAGE_FW_A);
    bool chained = false;
    EXPECT_EQ(journal(&chained), (Strings{"0000:03:00.0 updated", "0000:04:00.0 failed", "0000:05:00.0 updated"}));
    EXPECT_TRUE(chained);
}

TEST_F(SeveralCards, AStopInterruptsEveryCard) {
    cards();
    // Raised once every card is under way: each ends at its next safe point.
    meet_.on_met = [] { fc_reader_gone(); };
    json doc;
    EXPECT_EQ(run({"apply", dir_ / "release.tar", "--allow-single-slot", "--history", history_}, &doc), 130);
    EXPECT_TRUE(meet_.met);
    EXPECT_EQ(field(doc, "result"), Strings(3, "\"interrupted\""));
    for (const json &c : doc["cards"])
        EXPECT_EQ(c["error"]["message"], "stopped during plan: the reader of the output went away");
    for (const std::string &card : k_cards)
        EXPECT_EQ(fake::g_cards[card].calls, Strings{});
    bool chained = false;
    EXPECT_EQ(journal(&chained),
              (Strings{"0000:03:00.0 interrupted", "0000:04:00.0 interrupted", "0000:05:00.0 interrupted"}));
    EXPECT_TRUE(chained);
}

TEST_F(SeveralCards, InventoryReadsThemAtOnceAndListsThemInOrder) {
    cards([](size_t i, const std::string &request) { return i == 1 && request == "identity" ? 5 : RFC_OK; });
    json doc;
    EXPECT_EQ(run({"inventory", "--bundle", dir_ / "release.tar"}, &doc), 1);
    EXPECT_TRUE(meet_.met);
    EXPECT_EQ(field(doc, "card"), (Strings{"\"0000:03:00.0\"", "\"0000:04:00.0\"", "\"0000:05:00.0\""}));
    EXPECT_EQ(field(doc, "ok"), (Strings{"true", "false", "true"}));
    EXPECT_EQ(doc["cards"][1]["error"],
              json({{"code", "io"}, {"message", "cannot read the card's identity (result 5)"}}));
    Strings states;
    for (const json &c : doc["cards"])
        states.push_back(c["release"]["state"]);
    EXPECT_EQ(states, (Strings{"outdated", "unknown", "outdated"}));
}

}  // namespace

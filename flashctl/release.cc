// SPDX-License-Identifier: Apache-2.0
// Plans, transactions and compliance of a release, card by card, over the
// table of card operations.
#include "release.h"

#include <algorithm>

#include "journal.h"
#include "prometheus.h"

namespace {

const char *const k_verdict_names[FC_VERDICT_COUNT] = {"apply", "nothing_to_do", "refused"};
const char *const k_state_names[FC_STATE_COUNT] = {"compliant", "pending",      "staged",
                                                   "outdated",  "incompatible", "unknown"};
const char *const k_steps[] = {"erase", "install", "verify_checksum", "verify_signature"};
enum step_e { STEP_ERASE, STEP_INSTALL, STEP_CHECKSUM, STEP_SIGNATURE, STEP_COUNT };

constexpr uint64_t k_mib = 1024 * 1024;

double deadline(const fc_release_request_s &req, double fallback) {
    return req.timeout_s > 0 ? req.timeout_s : fallback;
}

const doc_partition_s *partition_named(const doc_card_s &entry, const std::string &name) {
    for (const doc_partition_s &p : entry.partitions)
        if (p.name == name) return &p;
    return nullptr;
}

// The slot the card runs: that of the partition of its running fw image.
int running_slot(const doc_card_s &entry) {
    const doc_partition_s *p = partition_named(entry, entry.running_image);
    return p != nullptr ? p->slot : -1;
}

// The fw image that starts a slot: slot 0 is fw-a's, 1 fw-b's.
std::string image_of_slot(int slot) {
    return slot == 0 ? "fw-a" : slot == 1 ? "fw-b" : "";
}

bool rules_pass(const fc_card_release_s &card) {
    return std::all_of(card.rules.begin(), card.rules.end(), [](const bundle_rule_result_s &r) { return r.pass; });
}

void refuse_component(fc_component_s &c, const char *check, const std::string &why) {
    if (!c.refusal_check.empty()) return;
    c.refusal_check = check;
    c.refusal = why;
}

// Reads the card and decides where each component goes. Nothing is asked
// of the card but its inventory.
bool read_card(const fc_card_ops_s &ops, const bundle_s &bundle, const fc_release_request_s &req,
               fc_card_release_s &card, doc_card_s &entry) {
    const char *bdf = card.card.c_str();
    fc_phase_start(deadline(req, FC_PLAN_DEADLINE_S));
    entry = fc_inventory_card(ops, card.card);
    if (!entry.ok) {
        card.error = entry.error;
        return false;
    }
    card.answered = true;
    card.serial_number = entry.identity.serial_number;
    card.compatibility = bundle_compatible(bundle.manifest, entry);
    card.rules = bundle_rules_evaluate(bundle.manifest, entry);
    const int running = running_slot(entry);
    const int free_slot = running == 0 ? 1 : running == 1 ? 0 : -1;
    card.slot = image_of_slot(free_slot);
    card.components.clear();
    for (const bundle_image_s &image : bundle.images) {
        fc_component_s c;
        c.file = image.component.file;
        c.target = image.component.target;
        c.family = image.component.family;
        c.version = image.component.version;
        c.size = image.size;
        c.sha512 = image.sha512;
        bundle_error_s error;
        if (!bundle_target_on_card(image.component, entry, &error)) {
            refuse_component(c, error.check.c_str(), error.message);
        } else if (c.family) {
            for (const std::string &name : c.target) {
                const doc_partition_s *p = partition_named(entry, name);
                if (p != nullptr && static_cast<int>(p->slot) == free_slot) c.partition = name;
            }
            if (c.partition.empty())
                refuse_component(c, "slot",
                                 "the card runs " + entry.running_image +
                                     ", whose slot is neither of the family's: no slot is free to write");
        } else {
            c.partition = c.target[0];
            if (!req.allow_single_slot)
                refuse_component(c, "single_slot",
                                 "partition " + c.partition +
                                     " is written in place, which no slot protects: --allow-single-slot writes it");
        }
        const doc_partition_s *p = c.partition.empty() ? nullptr : partition_named(entry, c.partition);
        if (p != nullptr) c.partition_size = p->size;
        if (p != nullptr && p->size < c.size)
            refuse_component(c, "fits",
                             "image of " + std::to_string(c.size) + " bytes does not fit partition " + c.partition +
                                 " of " + std::to_string(p->size) + " bytes");
        if (p != nullptr && p->running)
            refuse_component(c, "running", "partition " + c.partition + " holds the running image");
        if (p != nullptr && rfc_partition_is_cpld_group(p->id) && c.size % RFC_CPLD_ROW != 0)
            refuse_component(c, "rows",
                             "image of " + std::to_string(c.size) + " bytes is not a whole number of " +
                                 std::to_string(RFC_CPLD_ROW) + "-byte rows, as partition " + c.partition +
                                 " is programmed");
        card.components.push_back(std::move(c));
    }
    (void)bdf;
    return true;
}

// Whether the partition named holds the component, by the card's checksum
// and record.
bool holds(const fc_card_ops_s &ops, const fc_release_request_s &req, const fc_card_release_s &card,
           const std::string &partition, const fc_component_s &c) {
    return fc_card_holds(ops, rfc_partition_from_name(partition.c_str()), c.size, c.sha512, card.card.c_str(),
                         deadline(req, FC_CHECKSUM_DEADLINE_S), deadline(req, FC_STARTUP_VERIFY_DEADLINE_S));
}

void decide(const bundle_s &bundle, const doc_card_s &entry, fc_card_release_s &card) {
    card.refused_by.clear();
    if (!card.compatibility.compatible()) card.refused_by.push_back("compatible");
    for (const bundle_rule_result_s &r : card.rules)
        if (!r.pass) card.refused_by.push_back(r.id);
    bool all_held = true;
    for (const fc_component_s &c : card.components) {
        if (!c.refusal_check.empty()) card.refused_by.push_back(c.file + ": " + c.refusal_check);
        all_held = all_held && c.holds;
    }
    card.verdict = !card.refused_by.empty() ? FC_VERDICT_REFUSED
                   : all_held               ? FC_VERDICT_NOTHING_TO_DO
                                            : FC_VERDICT_APPLY;
    // What the plan acted on: the release and the card as it read.
    card.plan_digest = bundle_sha256_hex(bundle.manifest_sha256 + "\n" + doc_dump(doc_json(entry)));
}

// Reads the card, asks it which components it holds, and decides.
void evaluate(const fc_card_ops_s &ops, const bundle_s &bundle, const fc_release_request_s &req,
              fc_card_release_s &card) {
    doc_card_s entry;
    if (!read_card(ops, bundle, req, card, entry)) return;
    for (fc_component_s &c : card.components) {
        if (!c.refusal_check.empty() || c.partition.empty()) continue;
        g_fc_session.phase = "plan";
        c.holds = holds(ops, req, card, c.partition, c);
        if (fc_check_stop()) return;
    }
    card.before = {true, "", entry.running_image, entry.startup_image};
    decide(bundle, entry, card);
}

// Ends a card whose run stopped or whose card call failed.
void fail_card(fc_card_release_s &card, const char *step, const std::string &message) {
    if (fc_session_s::signal != 0 || fc_session_s::reader_gone) {
        card.result = FC_RESULT_INTERRUPTED;
        card.error = {DOC_ERROR_INTERRUPTED, fc_stop_reason(step)};
    } else if (g_fc_session.timed_out) {
        card.result = FC_RESULT_TIMEOUT;
        card.error = {DOC_ERROR_TIMEOUT, std::string(step) + " did not finish within " +
                                             std::to_string(static_cast<long>(g_fc_session.deadline_s)) + " seconds"};
    } else {
        card.result = FC_RESULT_FAILED;
        card.error = {DOC_ERROR_FAILED, message};
    }
}

fc_phase_status_e status_of(const fc_card_release_s &card) {
    return card.result == FC_RESULT_INTERRUPTED ? FC_PHASE_INTERRUPTED
           : card.result == FC_RESULT_TIMEOUT   ? FC_PHASE_TIMEOUT
                                                : FC_PHASE_FAILED;
}

// One step of a component: its phase record, deadline and stop.
struct step_run_s {
    fc_card_release_s &card;
    fc_component_s &c;
    step_e step;
    double t0;

    step_run_s(fc_card_release_s &card_, fc_component_s &c_, step_e s, double deadline_s)
        : card(card_), c(c_), step(s), t0(fc_now()) {
        fc_unblock_stops();
        fc_phase_start(deadline_s);
        g_fc_session.phase = k_steps[s];
        c.phases.push_back({k_steps[s], FC_PHASE_SKIPPED, 0});
    }
    bool stopped() {
        if (!fc_check_stop()) return false;
        fail("stopped");
        return true;
    }
    void end(fc_phase_status_e status) {
        c.phases.back().status = status;
        c.phases.back().seconds = fc_now() - t0 + g_fc_session.sleep_credit;
    }
    bool fail(const std::string &message) {
        fail_card(card, k_steps[step], c.file + ": " + message);
        end(status_of(card));
        return false;
    }
};

// Erase, install and the card's checksum of one component; false after a
// failure (recorded in the card).
bool install(const fc_card_ops_s &ops, const fc_release_request_s &req, fc_card_release_s &card, fc_component_s &c,
             const bundle_image_s &image) {
    // The partition's size as the card's table gave it to the plan, read
    // under the same hold of the card.
    const uint64_t partition_size = c.partition_size;
    const char *bdf = card.card.c_str();
    const flash_partition_e partition = rfc_partition_from_name(c.partition.c_str());
    {
        step_run_s s(card, c, STEP_ERASE, deadline(req, FC_ERASE_DEADLINE_S));
        if (s.stopped()) return false;
        c.state = FC_PARTITION_ERASED;
        card.changed = true;
        c.phases.back().bytes = partition_size;
        const int r = ops.erase(partition, partition_size, bdf, g_fc_session.stop);
        if (r != RFC_OK) return s.fail(fc_result_text("erase of " + c.partition + " failed", r));
        s.end(FC_PHASE_OK);
    }
    {
        const double install_deadline =
            FC_INSTALL_DEADLINE_BASE_S +
            static_cast<double>(FC_INSTALL_DEADLINE_PER_MIB_S) * static_cast<double>((c.size + k_mib - 1) / k_mib);
        step_run_s s(card, c, STEP_INSTALL, deadline(req, install_deadline));
        if (s.stopped()) return false;
        c.state = FC_PARTITION_PARTIALLY_WRITTEN;
        c.phases.back().bytes = c.size;
        const int r = ops.write(partition, image.fd.fd, c.size, bdf, g_fc_session.stop);
        if (r != RFC_OK) return s.fail(fc_result_text("install into " + c.partition + " failed", r));
        c.state = FC_PARTITION_WRITTEN_UNVERIFIED;
        if (const std::string why = bundle_image_changed(image); !why.empty()) return s.fail(why);
        s.end(FC_PHASE_OK);
    }
    {
        step_run_s s(card, c, STEP_CHECKSUM, deadline(req, FC_CHECKSUM_DEADLINE_S));
        if (s.stopped()) return false;
        uint8_t digest[RFC_SHA512_LEN] = {};
        c.phases.back().bytes = c.size;
        const int r = ops.read_checksum(partition, c.size, bdf, g_fc_session.stop, digest);
        if (r != RFC_OK) return s.fail(fc_result_text("the card's checksum of " + c.partition + " failed", r));
        const std::string got = fc_hex(digest, sizeof digest);
        if (got != c.sha512)
            return s.fail("the card's checksum of " + c.partition + " " + got + " does not match the image's " +
                          c.sha512);
        c.state = FC_PARTITION_VERIFIED;
        s.end(FC_PHASE_OK);
    }
    return true;
}

// The card's signature check of a component it holds, where it signs the
// partition and the host holds keys; true when none is due.
bool verify_signature(const fc_card_ops_s &ops, const fc_release_request_s &req, fc_card_release_s &card,
                      fc_component_s &c) {
    const flash_partition_e partition = rfc_partition_from_name(c.partition.c_str());
    if (!rfc_partition_is_signed(partition) || !ops.keys_present()) return true;
    step_run_s s(card, c, STEP_SIGNATURE, deadline(req, FC_SIGNATURE_DEADLINE_S));
    if (s.stopped()) return false;
    const int r = ops.verify_signature(partition, card.card.c_str());
    if (r != RFC_OK) return s.fail(fc_result_text("the card refused the signature of the image in " + c.partition, r));
    s.end(FC_PHASE_OK);
    return true;
}

const doc_json *planned_card(const doc_json &plan, const std::string &card) {
    const auto cards = plan.find("cards");
    if (cards == plan.end() || !cards->is_array()) return nullptr;
    for (const doc_json &c : *cards) {
        const auto address = c.find("card");
        if (address != c.end() && address->is_string() && address->get<std::string>() == card) return &c;
    }
    return nullptr;
}

void read_selection_after(const fc_card_ops_s &ops, fc_card_release_s &card) {
    firmware_image_type_e running = FIRMWARE_IMAGE_INVALID, startup = FIRMWARE_IMAGE_INVALID;
    const char *bdf = card.card.c_str();
    if (ops.read_image(FWUPDATE_IMAGE_RUNNING, bdf, &running) != RFC_OK) return;
    if (ops.read_image(FWUPDATE_IMAGE_STARTUP, bdf, &startup) != RFC_OK) return;
    card.after = {true, "", fc_image_name(running), fc_image_name(startup)};
}

}  // namespace

const char *fc_verdict_name(fc_verdict_e verdict) {
    return verdict >= 0 && verdict < FC_VERDICT_COUNT ? k_verdict_names[verdict] : "";
}

const char *fc_release_state_name(fc_release_state_e state) {
    return state >= 0 && state < FC_STATE_COUNT ? k_state_names[state] : "";
}

void fc_release_plan_card(const fc_card_ops_s &ops, const bundle_s &bundle, const fc_release_request_s &req,
                          fc_card_release_s &card) {
    g_fc_session.phase = "plan";
    if (!ops.address_valid(card.card.c_str())) {
        card.error = {DOC_ERROR_INVALID_CARD, "invalid card address '" + card.card + "' (expected dddd:bb:dd.f)"};
        card.result = FC_RESULT_REFUSED;
        return;
    }
    ops.select_card(card.card.c_str());
    // The card computes one checksum at a time: a plan holds it shared.
    card_lock_s lock;
    card.result =
        fc_take_card(ops, card.card.c_str(), true, deadline(req, FC_PLAN_DEADLINE_S), card.card, lock, &card.error);
    if (card.result != FC_RESULT_NONE) return;
    evaluate(ops, bundle, req, card);
    if (fc_check_stop()) return fail_card(card, "plan", "stopped");
    if (req.timing == nullptr || !card.answered || card.verdict == FC_VERDICT_REFUSED) return;
    const fc_timing_s pace = req.timing->of(card.card);
    card.predicted_seconds = 0;
    for (const fc_component_s &c : card.components)
        card.predicted_seconds += fc_timing_component_seconds(pace, c.partition_size, c.size, !c.holds);
    card.prediction = pace.transactions > 0 ? "journal" : "default";
}

void fc_release_check_card(const fc_card_ops_s &ops, const bundle_s &bundle, const fc_release_request_s &req,
                           fc_card_release_s &card) {
    g_fc_session.phase = "check";
    card.state = FC_STATE_UNKNOWN;
    if (!ops.address_valid(card.card.c_str())) {
        card.error = {DOC_ERROR_INVALID_CARD, "invalid card address '" + card.card + "' (expected dddd:bb:dd.f)"};
        return;
    }
    ops.select_card(card.card.c_str());
    card_lock_s lock;
    if (fc_take_card(ops, card.card.c_str(), true, deadline(req, FC_PLAN_DEADLINE_S), card.card, lock, &card.error) !=
        FC_RESULT_NONE)
        return;
    doc_card_s entry;
    if (!read_card(ops, bundle, req, card, entry)) return;
    card.before = {true, "", entry.running_image, entry.startup_image};
    if (!card.compatibility.compatible() || !rules_pass(card)) {
        card.state = FC_STATE_INCOMPATIBLE;
        return;
    }
    // The running slot first: a compliant card needs one look per component.
    const int running = running_slot(entry);
    bool in_running = true;
    for (fc_component_s &c : card.components) {
        std::string where;
        for (const std::string &name : c.target) {
            const doc_partition_s *p = partition_named(entry, name);
            if (p != nullptr && (!c.family || static_cast<int>(p->slot) == running)) where = name;
        }
        const bool held = !where.empty() && holds(ops, req, card, where, c);
        if (fc_check_stop()) return;
        if (held) c.held = c.family ? "running" : "in_place";
        in_running = in_running && held;
    }
    if (in_running) {
        card.state = FC_STATE_COMPLIANT;
        return;
    }
    // Otherwise the other slot must hold every family component, and every
    // single partition its own.
    bool in_other = true;
    for (fc_component_s &c : card.components) {
        if (!c.family) {
            in_other = in_other && c.held == "in_place";
            continue;
        }
        const bool held = !c.partition.empty() && holds(ops, req, card, c.partition, c);
        if (fc_check_stop()) return;
        if (held) c.held = "other";
        in_other = in_other && held;
    }
    if (!in_other) {
        card.state = FC_STATE_OUTDATED;
        return;
    }
    card.state = entry.startup_image == card.slot ? FC_STATE_PENDING : FC_STATE_STAGED;
}

void fc_release_apply_card(const fc_card_ops_s &ops, const bundle_s &bundle, const fc_release_request_s &req,
                           fc_card_release_s &card) {
    g_fc_session.phase = "plan";
    card.time = fc_utc_now();
    const char *bdf = card.card.c_str();
    if (!ops.address_valid(bdf)) {
        card.error = {DOC_ERROR_INVALID_CARD, "invalid card address '" + card.card + "' (expected dddd:bb:dd.f)"};
        card.result = FC_RESULT_REFUSED;
        return;
    }
    if (!req.journal.empty()) {
        std::string why;
        if (!fc_journal_check(req.journal, &why)) {
            card.result = FC_RESULT_REFUSED;
            card.error = {DOC_ERROR_JOURNAL,
                          "the journal cannot take the transaction's line, so the card is left alone: " + why};
            return;
        }
    }
    const doc_json *planned = nullptr;
    if (!req.plan_path.empty()) {
        planned = planned_card(req.plan, card.card);
        if (planned == nullptr) {
            card.result = FC_RESULT_REFUSED;
            card.error = {DOC_ERROR_NOT_PLANNED, "card " + card.card + " is not in the plan " + req.plan_path};
            return;
        }
    }
    ops.select_card(bdf);
    card_lock_s lock;
    card.result = fc_take_card(ops, bdf, false, deadline(req, FC_PLAN_DEADLINE_S), card.card, lock, &card.error);
    if (card.result != FC_RESULT_NONE) return;
    evaluate(ops, bundle, req, card);
    if (fc_check_stop()) return fail_card(card, "plan", "stopped");
    if (!card.answered) {
        card.result = FC_RESULT_FAILED;
        return;
    }
    if (planned != nullptr) {
        const auto digest = planned->find("plan_digest");
        if (digest == planned->end() || !digest->is_string() || digest->get<std::string>() != card.plan_digest) {
            card.result = FC_RESULT_REFUSED;
            card.error = {DOC_ERROR_DRIFTED, "card " + card.card + " is no longer what was planned in " +
                                                 req.plan_path + ": plan it again"};
            return;
        }
    }
    if (card.verdict == FC_VERDICT_REFUSED) {
        std::string why;
        for (const std::string &r : card.refused_by)
            why += (why.empty() ? "" : ", ") + r;
        card.result = FC_RESULT_REFUSED;
        card.error = {DOC_ERROR_REFUSED, "the release does not apply to card " + card.card + ": " + why};
        return;
    }

    // Every component the card does not hold is written and verified, in
    // manifest order; one it holds is verified by the card's signature check
    // as well. The first failure ends the transaction.
    bool has_family = false;
    for (size_t i = 0; i < card.components.size(); ++i) {
        fc_component_s &c = card.components[i];
        has_family = has_family || c.family;
        if (!c.holds && !install(ops, req, card, c, bundle.images[i])) return read_selection_after(ops, card);
        if (!verify_signature(ops, req, card, c)) return read_selection_after(ops, card);
    }
    // The startup selection changes last, only with every component verified.
    if (req.activate && has_family && !card.slot.empty() && card.before.startup_image != card.slot) {
        fc_unblock_stops();
        fc_phase_start(deadline(req, FC_ACTIVATE_DEADLINE_S));
        g_fc_session.phase = "activate";
        if (fc_check_stop()) {
            fail_card(card, "activate", "stopped");
            return read_selection_after(ops, card);
        }
        const firmware_image_type_e slot = card.slot == "fw-a" ? FIRMWARE_IMAGE_FW_A : FIRMWARE_IMAGE_FW_B;
        int r = ops.set_startup(slot, bdf);
        firmware_image_type_e now = FIRMWARE_IMAGE_INVALID;
        if (r == RFC_OK) r = ops.read_image(FWUPDATE_IMAGE_STARTUP, bdf, &now);
        card.changed = true;
        if (r != RFC_OK || now != slot) {
            fail_card(card, "activate",
                      r != RFC_OK
                          ? fc_result_text("selecting " + card.slot + " as the startup image failed", r)
                          : "the card starts " + std::string(fc_image_name(now)) + " after selecting " + card.slot);
            return read_selection_after(ops, card);
        }
        card.activated = true;
    }
    card.result = card.changed ? FC_RESULT_UPDATED : FC_RESULT_UNCHANGED;
    read_selection_after(ops, card);
}

void fc_release_abandon(fc_card_release_s &card, fc_abandon_e why) {
    const std::string phase = g_fc_session.phase;
    fc_abandon_outcome(why, phase.c_str(), &card.result, &card.error);
    card.state = FC_STATE_UNKNOWN;
    for (fc_component_s &c : card.components)
        if (!c.phases.empty() && c.phases.back().status == FC_PHASE_SKIPPED)
            c.phases.back().status = why == FC_ABANDON_STOP ? FC_PHASE_INTERRUPTED : FC_PHASE_TIMEOUT;
    // A selection sent whose answer never came may have taken effect.
    if (phase == "activate") card.changed = true;
}

// --- documents -------------------------------------------------------------------

namespace {

doc_json component_json(const std::string &command, const fc_component_s &c) {
    doc_json j = {{"file", c.file}, {"target", c.family ? doc_json(c.target) : doc_json(c.target[0])}};
    if (!c.version.empty()) j["version"] = c.version;
    j["size"] = c.size;
    j["sha512"] = c.sha512;
    j["partition"] = c.partition;
    if (command == "check") {
        j["held"] = c.held.empty() ? doc_json(nullptr) : doc_json(c.held);
        return j;
    }
    j["holds"] = c.holds;
    j["action"] = !c.refusal_check.empty() ? "refused" : c.holds ? "none" : "write";
    if (!c.refusal_check.empty()) j["refusal"] = {{"check", c.refusal_check}, {"message", c.refusal}};
    if (command == "apply") {
        j["partition_state"] = fc_partition_state_name(c.state);
        j["phases"] = c.phases;
    }
    return j;
}

doc_json card_json(const std::string &command, const fc_card_release_s &card) {
    doc_json j = {{"card", card.card}};
    if (command == "check") j["state"] = fc_release_state_name(card.state);
    if (command == "apply") {
        j["result"] = fc_result_name(card.result);
        j["changed"] = card.changed;
        j["activated"] = card.activated;
    }
    if (card.answered) {
        j["serial_number"] = card.serial_number;
        j["compatible"] = card.compatibility;
        j["rules"] = card.rules;
        if (command != "check") {
            j["verdict"] = fc_verdict_name(card.verdict);
            j["refused_by"] = card.refused_by;
            j["plan_digest"] = card.plan_digest;
        }
        if (!card.prediction.empty()) {
            j["predicted_seconds"] = card.predicted_seconds;
            j["prediction"] = card.prediction;
        }
        j["slot"] = card.slot;
        if (card.before.read) j["before"] = card.before;
        if (card.after.read) j["after"] = card.after;
        doc_json comps = doc_json::array();
        for (const fc_component_s &c : card.components)
            comps.push_back(component_json(command, c));
        j["components"] = comps;
    }
    if (!card.error.empty()) j["error"] = card.error;
    if (!card.journal_error.empty()) j["journal"] = doc_error_s{DOC_ERROR_JOURNAL, card.journal_error};
    return j;
}

doc_json bundle_json(const bundle_s &b) {
    return {{"path", b.path},
            {"release", b.manifest.release},
            {"manifest_sha256", b.manifest_sha256},
            {"signed", b.is_signed},
            {"signer", b.signer}};
}

}  // namespace

doc_json fc_release_json(const fc_release_report_s &rep) {
    doc_json j = {{"schema_version", FC_SCHEMA_VERSION}, {"command", rep.command}};
    if (rep.bundle != nullptr) j["bundle"] = bundle_json(*rep.bundle);
    doc_json cards = doc_json::array();
    for (const fc_card_release_s &c : rep.cards)
        cards.push_back(card_json(rep.command, c));
    j["cards"] = cards;
    return j;
}

std::string fc_release_text(const fc_release_report_s &rep) {
    std::string out;
    if (rep.bundle != nullptr)
        out += "release " + fc_visible_text(rep.bundle->manifest.release.name) + " " +
               fc_visible_text(rep.bundle->manifest.release.version) + " (manifest " +
               rep.bundle->manifest_sha256.substr(0, 16) + "..., signer " + rep.bundle->signer + ")\n";
    for (const fc_card_release_s &card : rep.cards) {
        out += "card " + fc_visible_text(card.card) + ": ";
        if (rep.command == "check")
            out += fc_release_state_name(card.state);
        else if (rep.command == "apply")
            out += fc_result_name(card.result);
        else
            out += card.answered ? fc_verdict_name(card.verdict) : "unknown";
        if (!card.prediction.empty()) {
            char predicted[96];
            snprintf(predicted, sizeof predicted, " (predicted %.1f s, %s)", card.predicted_seconds,
                     card.prediction == "journal" ? "at the card's pace in the journal" : "at the default pace");
            out += predicted;
        }
        out += "\n";
        for (const bundle_rule_result_s &r : card.rules)
            if (!r.pass)
                out += "  rule " + fc_visible_text(r.id) + " fails: " + fc_visible_text(doc_dump(r.fact)) + "\n";
        if (card.answered && !card.compatibility.compatible())
            out += "  not compatible: board " + card.compatibility.board_id + ", asic " +
                   fc_visible_text(card.compatibility.asic) + "\n";
        for (const fc_component_s &c : card.components) {
            out += "  " + fc_visible_text(c.file) + " -> " + (c.partition.empty() ? "?" : c.partition) + ": ";
            if (!c.refusal_check.empty())
                out += "refused: " + fc_visible_text(c.refusal);
            else if (rep.command == "check")
                out += c.held.empty() ? "not held" : "held (" + c.held + ")";
            else if (rep.command == "apply")
                out += c.holds ? "held" : fc_partition_state_name(c.state);
            else
                out += c.holds ? "held" : "write";
            out += "\n";
        }
        if (!card.error.empty()) out += "  error: " + fc_visible_text(card.error.message) + "\n";
    }
    return out;
}

int fc_release_exit_status(const fc_release_report_s &rep) {
    int status = FC_EXIT_OK;
    const auto worse = [&status](int s) {
        const auto rank = [](int x) {
            return x == FC_EXIT_INTERRUPTED ? 4
                   : x == FC_EXIT_FAILED    ? 3
                   : x == FC_EXIT_BUSY      ? 2
                   : x == FC_EXIT_REFUSED   ? 1
                                            : 0;
        };
        if (rank(s) > rank(status)) status = s;
    };
    for (const fc_card_release_s &c : rep.cards) {
        if (rep.command == "check") {
            if (c.state != FC_STATE_COMPLIANT) worse(FC_EXIT_FAILED);
        } else if (rep.command == "apply") {
            worse(fc_exit_status(c.result));
        } else if (!c.answered || (c.result != FC_RESULT_NONE && c.result != FC_RESULT_UNCHANGED)) {
            worse(c.result == FC_RESULT_NONE ? FC_EXIT_FAILED : fc_exit_status(c.result));
        } else if (c.verdict == FC_VERDICT_REFUSED) {
            worse(FC_EXIT_REFUSED);
        }
    }
    return status;
}

std::string fc_release_history_line(const fc_release_report_s &rep, const fc_card_release_s &card) {
    doc_json comps = doc_json::array();
    for (const fc_component_s &c : card.components)
        comps.push_back({{"file", c.file},
                         {"partition", c.partition},
                         {"size", c.size},
                         {"sha512", c.sha512},
                         {"held", c.holds},
                         {"partition_state", fc_partition_state_name(c.state)},
                         {"phases", c.phases}});
    doc_json line = {{"time", card.time}, {"card", card.card}, {"serial_number", card.serial_number}};
    if (rep.bundle != nullptr) {
        line["release"] = rep.bundle->manifest.release;
        line["manifest_sha256"] = rep.bundle->manifest_sha256;
        line["signer"] = rep.bundle->signer;
    }
    line["before"] = card.before;
    line["after"] = card.after;
    line["components"] = comps;
    line["activated"] = card.activated;
    line["result"] = fc_result_name(card.result);
    if (!card.error.empty()) line["error"] = card.error;
    return doc_dump(line);
}

std::string fc_release_prometheus_text(const fc_release_report_s &rep) {
    std::string out =
        "# HELP flash_update_card_release_state The card's compliance with the release: compliant, pending, staged, "
        "outdated, incompatible or unknown.\n"
        "# TYPE flash_update_card_release_state gauge\n";
    for (const fc_card_release_s &c : rep.cards)
        out += "flash_update_card_release_state{card=\"" + fc_prometheus_label(c.card) + "\",release=\"" +
               fc_prometheus_label(rep.bundle != nullptr ? rep.bundle->manifest.release.name : "") + "\",version=\"" +
               fc_prometheus_label(rep.bundle != nullptr ? rep.bundle->manifest.release.version : "") + "\",state=\"" +
               fc_release_state_name(c.state) + "\"} 1\n";
    return out;
}

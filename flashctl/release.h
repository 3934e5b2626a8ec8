// SPDX-License-Identifier: Apache-2.0
// Releases: a signed bundle of images tested together, brought to the cards
// of a host as one transaction per card, and the cards' compliance with it.
//
// plan only reads: for every card its compatibility, every rule with the
// card's fact, and for every component the partition it would write and
// whether the card holds it already (its checksum and its record of the
// partition, as an update decides). apply writes, under the card's lock,
// every component the card does not hold, in manifest order, verifying each
// on the card, and only when all verified (and with --activate) selects the
// written slot. check says, from the card's checksums alone, whether the card
// runs the release, will run it at its next start, holds it unselected, or
// not.
#pragma once

#include <string>
#include <vector>

#include "bundle.h"
#include "flashctl.h"
#include "timing.h"

// What a plan decides for a card.
enum fc_verdict_e : int { FC_VERDICT_APPLY = 0, FC_VERDICT_NOTHING_TO_DO, FC_VERDICT_REFUSED, FC_VERDICT_COUNT };
// A card's compliance with a release.
enum fc_release_state_e : int {
    FC_STATE_COMPLIANT = 0,  // the running slot holds every component
    FC_STATE_PENDING,        // the other slot holds it and is selected for the next start
    FC_STATE_STAGED,         // the other slot holds it, not selected
    FC_STATE_OUTDATED,       // a component is held nowhere it counts
    FC_STATE_INCOMPATIBLE,   // not listed as compatible, or a rule fails
    FC_STATE_UNKNOWN,        // the card did not answer
    FC_STATE_COUNT
};
const char *fc_verdict_name(fc_verdict_e verdict);
const char *fc_release_state_name(fc_release_state_e state);

// One component of the release against one card.
struct fc_component_s {
    std::string file;
    std::vector<std::string> target;
    bool family = false;
    std::string version;
    uint64_t size = 0;
    std::string sha512;
    std::string partition;  // where it goes on this card ("" when none can be chosen)
    uint64_t partition_size = 0;
    bool holds = false;     // the card holds it there already
    std::string refusal;    // why it cannot go there ("" it can): the check, then the reason
    std::string refusal_check;
    // check: where the card holds it ("running", "other", "in_place", "" nowhere)
    std::string held;
    // apply
    fc_partition_state_e state = FC_PARTITION_UNTOUCHED;
    std::vector<fc_phase_s> phases;
};

// One card's plan, transaction or compliance.
struct fc_card_release_s {
    std::string card;
    std::string serial_number;
    bool answered = false;
    fc_error_s error;
    bundle_compatibility_s compatibility;
    std::vector<bundle_rule_result_s> rules;
    std::vector<fc_component_s> components;
    std::string slot;  // the A/B slot a family writes, by the fw image of that slot (fw-a, fw-b)
    fc_verdict_e verdict = FC_VERDICT_REFUSED;
    std::vector<std::string> refused_by;  // failing rule ids, "compatible", component checks
    std::string plan_digest;
    // plan: the seconds the card's apply would take at its pace in the
    // journal (its own, or the defaults: prediction "journal" or "default";
    // "" none predicted: a card refused or not read)
    double predicted_seconds = 0;
    std::string prediction;
    // apply
    fc_result_e result = FC_RESULT_NONE;
    bool changed = false;
    bool activated = false;
    fc_selection_s before;
    fc_selection_s after;
    std::string time;           // UTC, for the journal
    std::string journal_error;  // why the card's line is not in the journal ("" it is)
    // check
    fc_release_state_e state = FC_STATE_UNKNOWN;
};

struct fc_release_request_s {
    std::vector<std::string> cards;  // addresses; empty: every card of the host
    bool activate = false;
    bool allow_single_slot = false;
    unsigned timeout_s = 0;  // 0: the default deadlines
    std::string plan_path;   // apply --plan: refuse cards that drifted from it
    doc_json plan;           // that plan, read
    std::string journal;     // apply: the journal ("" none)
    // plan: the cards' pace, from the journal (null: no prediction)
    const fc_timing_table_s *timing = nullptr;
};

struct fc_release_report_s {
    std::string command;  // plan, apply, check
    const bundle_s *bundle = nullptr;
    std::vector<fc_card_release_s> cards;  // each card's on its own thread
};

// The plan of one card (read-only; holds the card shared while it asks the
// card for checksums).
void fc_release_plan_card(const fc_card_ops_s &ops, const bundle_s &bundle, const fc_release_request_s &request,
                          fc_card_release_s &card);
// One card's transaction (holds the card exclusively).
void fc_release_apply_card(const fc_card_ops_s &ops, const bundle_s &bundle, const fc_release_request_s &request,
                           fc_card_release_s &card);
// One card's compliance (read-only).
void fc_release_check_card(const fc_card_ops_s &ops, const bundle_s &bundle, const fc_release_request_s &request,
                           fc_card_release_s &card);
// Completes a card when the watch gives up on its answer (the session that
// of the card's thread).
void fc_release_abandon(fc_card_release_s &card, fc_abandon_e why);

// The documents (schema version 1): {"schema_version", "command", "bundle"
// {path, release, manifest_sha256, signed, signer}, "cards" [...]}.
doc_json fc_release_json(const fc_release_report_s &report);
std::string fc_release_text(const fc_release_report_s &report);
// The exit status: plan 0 unless a card is refused (2) or did not answer
// (1); check 0 when every card is compliant, 1 otherwise; apply the worst of
// the cards' (130 interrupted, 1 failed or timed out, 3 busy, 2 refused).
int fc_release_exit_status(const fc_release_report_s &report);
// The journal line of one card's apply (without its line break and "prev").
std::string fc_release_history_line(const fc_release_report_s &report, const fc_card_release_s &card);
// flash_update_card_release_state{card,release,version,state} 1 per card.
std::string fc_release_prometheus_text(const fc_release_report_s &report);

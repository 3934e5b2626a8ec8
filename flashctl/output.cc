// SPDX-License-Identifier: Apache-2.0
// The documents flashctl prints: its reports as typed records with one
// to_json (and from_json where a document is read back), JSON of schema
// version 1 in the documented order of members, and the same content as
// text for a person. Also one card's inventory, read into its record.
#include <cinttypes>
#include <cstdio>

#include "flashctl.h"
#include "prometheus.h"

namespace {

const char *const k_result_names[FC_RESULT_COUNT] = {"",       "updated",     "unchanged", "refused",
                                                     "failed", "interrupted", "timeout",   "busy"};
const char *const k_phase_status_names[FC_PHASE_STATUS_COUNT] = {"skipped", "ok", "failed", "timeout", "interrupted"};
const char *const k_partition_state_names[FC_PARTITION_STATE_COUNT] = {"untouched", "erased", "partially_written",
                                                                       "written_unverified", "verified"};

template <typename E, size_t N>
const char *name_of(E value, const char *const (&names)[N]) {
    return value >= 0 && static_cast<size_t>(value) < N ? names[value] : "";
}

template <typename E, size_t N>
E from_name(const std::string &name, const char *const (&names)[N], E fallback) {
    for (size_t i = 0; i < N; ++i)
        if (name == names[i]) return static_cast<E>(i);
    return fallback;
}

// A member of the type asked for, or nothing: a document read back can hold anything.
std::string text_of(const doc_json &obj, const char *key) {
    const auto it = obj.find(key);
    return it != obj.end() && it->is_string() ? it->get<std::string>() : std::string();
}

template <typename T>
void read_secure(const fc_card_ops_s &ops, const char *bdf, secure_image_type_e type, T *component,
                 rfc_secure_info_s *info) {
    const int r = ops.read_secure(type, bdf, info);
    if (r != RFC_OK)
        component->error = {DOC_ERROR_IO, "the card refused the secure information (result " + std::to_string(r) + ")"};
}

doc_secure_s secure_of(const fc_card_ops_s &ops, const char *bdf) {
    doc_secure_s s;
    rfc_secure_info_s info;
    read_secure(ops, bdf, SECURE_IMAGE_LCS, &s.lcs, &info);
    if (s.lcs.error.empty()) {
        s.lcs.lcs_boot_state = rfc_lcs_name(info.lcs_boot_state);
        s.lcs.lcs_next_state = rfc_lcs_name(info.lcs_next_state);
        s.lcs.fuse = info.fuse;
    }
    info = {};
    read_secure(ops, bdf, SECURE_IMAGE_BL1, &s.bl1, &info);
    if (s.bl1.error.empty())
        s.bl1 = {{},
                 info.current_boot_partition,
                 info.next_boot_partition,
                 info.bl1_version,
                 info.bl1_ar_version,
                 info.bl1_ar_nv_count};
    info = {};
    read_secure(ops, bdf, SECURE_IMAGE_BL31, &s.bl31, &info);
    if (s.bl31.error.empty()) s.bl31.version = info.bl31_version;
    info = {};
    read_secure(ops, bdf, SECURE_IMAGE_BASTION, &s.bastion, &info);
    if (s.bastion.error.empty())
        s.bastion = {{},
                     info.current_boot_partition,
                     info.next_boot_partition,
                     info.bastionfw_version,
                     info.bastion_ar_version,
                     info.bastion_ar_nv_count};
    return s;
}

doc_card_s card_failed(const std::string &card, doc_error_code_e code, const std::string &message) {
    doc_card_s c;
    c.card = card;
    c.error = {code, message};
    return c;
}

}  // namespace

const char *fc_result_name(fc_result_e result) {
    return name_of(result, k_result_names);
}
const char *fc_phase_status_name(fc_phase_status_e status) {
    return name_of(status, k_phase_status_names);
}
const char *fc_partition_state_name(fc_partition_state_e state) {
    return name_of(state, k_partition_state_names);
}

int fc_exit_status(fc_result_e result) {
    switch (result) {
        case FC_RESULT_UPDATED:
        case FC_RESULT_UNCHANGED:
            return FC_EXIT_OK;
        case FC_RESULT_REFUSED:
            return FC_EXIT_REFUSED;
        case FC_RESULT_BUSY:
            return FC_EXIT_BUSY;
        case FC_RESULT_INTERRUPTED:
            return FC_EXIT_INTERRUPTED;
        default:
            return FC_EXIT_FAILED;
    }
}

std::string fc_dump(const doc_json &doc) {
    return doc_dump(doc);
}

doc_json fc_error_json(doc_error_code_e code, const std::string &message) {
    return {{"schema_version", FC_SCHEMA_VERSION}, {"error", doc_error_s{code, message}}};
}

// One exchange per query it reports: identity, running and startup image, the
// partition table (summary and one per entry), four secure components.
doc_card_s fc_inventory_card(const fc_card_ops_s &ops, const std::string &card) {
    const char *bdf = card.c_str();
    if (!ops.address_valid(bdf))
        return card_failed(card, DOC_ERROR_INVALID_CARD, "invalid card address '" + card + "'");
    ops.select_card(bdf);
    rfc_card_identity_s id;
    int r = ops.read_identity(bdf, &id);
    if (r != RFC_OK)
        return card_failed(card, DOC_ERROR_IO, "cannot read the card's identity (result " + std::to_string(r) + ")");
    firmware_image_type_e running = FIRMWARE_IMAGE_INVALID;
    firmware_image_type_e startup = FIRMWARE_IMAGE_INVALID;
    r = ops.read_image(FWUPDATE_IMAGE_RUNNING, bdf, &running);
    if (r == RFC_OK) r = ops.read_image(FWUPDATE_IMAGE_STARTUP, bdf, &startup);
    if (r != RFC_OK)
        return card_failed(card, DOC_ERROR_IO,
                           "cannot read the card's running and startup images (result " + std::to_string(r) + ")");
    std::vector<rfc_partition_s> table;
    r = ops.read_partitions(bdf, &table);
    if (r != RFC_OK)
        return card_failed(card, DOC_ERROR_IO,
                           "cannot read the card's partition table (result " + std::to_string(r) + ")");

    doc_card_s c;
    c.card = card;
    c.ok = true;
    c.identity = {ops.serial_number(bdf),
                  id.board_id,
                  id.asic,
                  id.ipc_version,
                  id.sw_version,
                  id.life_cycle_name,
                  id.board_secure_boot == 1,
                  id.board_keyname,
                  id.cpld_version,
                  id.boot0_version};
    c.running_image = fc_image_name(running);
    c.startup_image = fc_image_name(startup);
    for (const auto &p : table)
        c.partitions.push_back({p.id, p.name, p.type_id, p.type_name, p.size, p.slot, p.running, p.startup, p.version});
    c.secure = secure_of(ops, bdf);
    return c;
}

void to_json(doc_json &j, const fc_selection_s &sel) {
    if (!sel.read) {
        j = doc_json::object();
        return;
    }
    j = {{"version", sel.version}, {"running_image", sel.running_image}, {"startup_image", sel.startup_image}};
}

void from_json(const doc_json &j, fc_selection_s &sel) {
    sel.read = j.is_object() && !j.empty();
    if (!sel.read) return;
    sel.version = text_of(j, "version");
    sel.running_image = text_of(j, "running_image");
    sel.startup_image = text_of(j, "startup_image");
}

void to_json(doc_json &j, const fc_phase_s &p) {
    j = {{"name", p.name}, {"status", fc_phase_status_name(p.status)}, {"seconds", p.seconds}};
    if (p.bytes > 0) j["bytes"] = p.bytes;
}

void from_json(const doc_json &j, fc_phase_s &p) {
    if (!j.is_object()) return;
    const auto name = j.find("name");
    if (name != j.end() && name->is_string()) p.name = name->get<std::string>();
    const auto status = j.find("status");
    if (status != j.end() && status->is_string())
        p.status = from_name(status->get<std::string>(), k_phase_status_names, FC_PHASE_SKIPPED);
    const auto seconds = j.find("seconds");
    if (seconds != j.end() && seconds->is_number()) p.seconds = seconds->get<double>();
    const auto bytes = j.find("bytes");
    if (bytes != j.end() && bytes->is_number_unsigned()) p.bytes = bytes->get<uint64_t>();
}

void to_json(doc_json &j, const fc_update_report_s &rep) {
    j = {{"schema_version", FC_SCHEMA_VERSION},
         {"card", rep.card},
         {"partition", rep.partition},
         {"image", {{"path", rep.image_path}, {"size", rep.image_size}, {"sha512", rep.image_sha512}}},
         {"changed", rep.changed},
         {"dry_run", rep.dry_run}};
    if (rep.dry_run) j["would_change"] = rep.would_change;
    j["activated"] = rep.activated;
    j["result"] = fc_result_name(rep.result);
    if (rep.before.read) j["before"] = rep.before;
    if (rep.after.read) j["after"] = rep.after;
    j["phases"] = rep.phases;
    j["partition_state"] = fc_partition_state_name(rep.partition_state);
    j["plan"] = {{"actions", rep.plan_actions}};
    if (!rep.error.empty()) j["error"] = rep.error;
    if (!rep.journal_error.empty()) j["journal"] = doc_error_s{DOC_ERROR_JOURNAL, rep.journal_error};
}

void to_json(doc_json &j, const fc_rollback_report_s &rep) {
    j = {{"schema_version", FC_SCHEMA_VERSION},
         {"card", rep.card},
         {"from", rep.from},
         {"to", rep.to},
         {"changed", rep.changed},
         {"dry_run", rep.dry_run},
         {"result", fc_result_name(rep.result)}};
    if (!rep.error.empty()) j["error"] = rep.error;
}

void to_json(doc_json &j, const fc_history_record_s &rec) {
    j = {{"time", rec.time},
         {"card", rec.card},
         {"serial_number", rec.serial_number},
         {"partition", rec.partition},
         {"image", {{"path", rec.image_path}, {"size", rec.image_size}, {"sha512", rec.image_sha512}}},
         {"before", rec.before},
         {"after", rec.after},
         {"phases", rec.phases},
         {"result", rec.result}};
}

void from_json(const doc_json &j, fc_history_record_s &rec) {
    if (!j.is_object()) return;
    const auto text = text_of;
    rec.time = text(j, "time");
    rec.card = text(j, "card");
    rec.serial_number = text(j, "serial_number");
    rec.partition = text(j, "partition");
    rec.result = text(j, "result");
    const auto image = j.find("image");
    if (image != j.end() && image->is_object()) {
        rec.image_path = text(*image, "path");
        rec.image_sha512 = text(*image, "sha512");
        const auto size = image->find("size");
        rec.image_size_known = size != image->end() && size->is_number_unsigned();
        if (rec.image_size_known) rec.image_size = size->get<uint64_t>();
    }
    for (const char *key : {"before", "after"}) {
        const auto sel = j.find(key);
        if (sel != j.end() && sel->is_object()) from_json(*sel, std::string(key) == "before" ? rec.before : rec.after);
    }
    const auto phases = j.find("phases");
    if (phases != j.end() && phases->is_array())
        for (const auto &p : *phases)
            rec.phases.push_back(p.get<fc_phase_s>());
}

fc_history_record_s fc_history_record(const fc_update_report_s &rep) {
    return {rep.time, rep.card,         rep.serial_number, rep.partition, rep.image_path, rep.image_size,
            true,     rep.image_sha512, rep.before,        rep.after,     rep.phases,     fc_result_name(rep.result)};
}

std::string fc_history_line(const fc_update_report_s &rep) {
    return fc_dump(doc_json(fc_history_record(rep)));
}

namespace {

// Text output shows what comes from outside flashctl through fc_visible_text:
// a card's names, versions and messages (and what an operator typed, which
// error messages quote) reach a terminal as visible text, never as escape
// sequences or carriage returns that repaint it. Every string of an
// inventory document goes through it; of a report, the names flashctl itself
// gives (phases, results, images) are shown as they are.
std::string shown(const std::string &text) {
    return fc_visible_text(text);
}

// printf's %-Ns for text of any length: the text, then blanks up to width.
std::string left(const std::string &text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string selection_text(const char *when, const fc_selection_s &sel) {
    return std::string(when) + ": version " + shown(sel.version) + ", running " + sel.running_image + ", startup " +
           sel.startup_image + "\n";
}

std::string error_text(const fc_error_s &error) {
    return error.empty() ? "" : "error: " + shown(error.message) + "\n";
}

}  // namespace

std::string fc_update_text(const fc_update_report_s &rep) {
    std::string out = "card " + shown(rep.card) + " partition " + shown(rep.partition) + " image " +
                      shown(rep.image_path) + " (" + std::to_string(rep.image_size) + " bytes)\n";
    if (!rep.image_sha512.empty()) out += "sha512 " + rep.image_sha512 + "\n";
    if (rep.before.read) out += selection_text("before", rep.before);
    if (rep.dry_run && rep.result == FC_RESULT_UNCHANGED) {
        out += "dry run: ";
        if (rep.plan_actions.empty()) out += "nothing to do";
        for (size_t i = 0; i < rep.plan_actions.size(); ++i)
            out += (i == 0 ? "would " : ", ") + rep.plan_actions[i];
        out += "\n";
    }
    for (const auto &p : rep.phases) {
        if (p.status == FC_PHASE_SKIPPED) continue;
        char line[128];
        snprintf(line, sizeof line, "  %-17s %-11s %.2f s\n", p.name.c_str(), fc_phase_status_name(p.status),
                 p.seconds);
        out += line;
    }
    if (rep.after.read) out += selection_text("after", rep.after);
    out += std::string("result: ") + fc_result_name(rep.result);
    if (rep.result != FC_RESULT_UPDATED && rep.result != FC_RESULT_UNCHANGED)
        out += std::string(" (partition ") + fc_partition_state_name(rep.partition_state) + ")";
    out += "\n";
    out += error_text(rep.error);
    if (!rep.journal_error.empty() && rep.error.code != DOC_ERROR_JOURNAL)
        out += "journal: " + shown(rep.journal_error) + "\n";
    return out;
}

std::string fc_rollback_text(const fc_rollback_report_s &rep) {
    std::string out = "card " + shown(rep.card);
    if (!rep.from.empty()) out += ": startup " + rep.from + (rep.to.empty() ? "" : " -> " + rep.to);
    out += (rep.dry_run ? " (dry run)" : "") + std::string("\nresult: ") + fc_result_name(rep.result) + "\n";
    return out + error_text(rep.error);
}

std::string fc_inventory_text(const doc_inventory_s &inventory) {
    std::string out;
    for (const doc_card_s &card : inventory.cards) {
        out += "card " + shown(card.card) + "\n";
        if (!card.ok) {
            out += "  error: " + shown(card.error.message) + "\n";
            continue;
        }
        const doc_json id = card.identity;
        out += "  serial " + shown(card.identity.serial_number) + "  board " + shown(text_of(id, "board_id")) +
               "  asic " + shown(card.identity.asic) + "  ipc " + std::to_string(card.identity.ipc_version) + "  sw " +
               shown(card.identity.sw_version) + "\n  life cycle " + shown(card.identity.life_cycle) +
               "  secure boot " + (card.identity.secure_boot ? "on" : "off") + "  key " +
               shown(card.identity.key_name) + "\n";
        out += "  running " + shown(card.running_image) + "  startup " + shown(card.startup_image) + "\n";
        out += "  id  name             size         slot  r/s  version\n";
        for (const doc_partition_s &p : card.partitions) {
            const std::string flags = std::string(p.running ? "R" : "-") + (p.startup ? "S" : "-");
            out += "  " + left(std::to_string(p.id), 3) + " " + left(shown(p.name), 16) + " " +
                   left(std::to_string(p.size), 12) + " " + left(std::to_string(p.slot), 5) + " " + left(flags, 4) +
                   " " + shown(p.version) + "\n";
        }
        // The components and their members in the document's order.
        const doc_json secure = card.secure;
        for (const auto &[name, comp] : secure.items()) {
            out += "  secure " + name + ": ";
            if (comp.contains("error")) {
                out += "error: " + shown(text_of(comp["error"], "message")) + "\n";
                continue;
            }
            std::string fields;
            for (const auto &[k, v] : comp.items())
                fields +=
                    (fields.empty() ? "" : ", ") + k + " " + (v.is_string() ? shown(v.get<std::string>()) : fc_dump(v));
            out += fields + "\n";
        }
    }
    return out;
}

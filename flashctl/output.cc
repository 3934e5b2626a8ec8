// The documents flashctl prints: JSON of schema version 1, and the same
// content as text for a person. Also one card's inventory, which is read
// straight into its document.
#include <cinttypes>
#include <cstdio>

#include "flashctl.h"
#include "prometheus.h"
#include "rfc_internal.h"

using nlohmann::json;

namespace {

std::string hex32(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

json selection_json(const fc_selection_s &sel) {
    return {{"version", sel.version}, {"running_image", sel.running_image}, {"startup_image", sel.startup_image}};
}

json phases_json(const std::vector<fc_phase_s> &phases) {
    json out = json::array();
    for (const auto &p : phases)
        out.push_back({{"name", p.name}, {"status", p.status}, {"seconds", p.seconds}});
    return out;
}

json secure_json(const fc_card_ops_s &ops, const char *bdf, secure_image_type_e type) {
    rfc_secure_info_s info;
    const int r = ops.read_secure(type, bdf, &info);
    if (r != RFC_OK)
        return {{"error",
                 {{"code", "io"},
                  {"message", "the card refused the secure information (result " + std::to_string(r) + ")"}}}};
    switch (type) {
        case SECURE_IMAGE_LCS: {
            char fuse[16];
            snprintf(fuse, sizeof fuse, "0x%x", info.fuse);
            return {{"lcs_boot_state", rfc_lcs_name(info.lcs_boot_state)},
                    {"lcs_next_state", rfc_lcs_name(info.lcs_next_state)},
                    {"fuse", fuse}};
        }
        case SECURE_IMAGE_BL1:
            return {{"current_boot_partition", info.current_boot_partition},
                    {"next_boot_partition", info.next_boot_partition},
                    {"version", info.bl1_version},
                    {"ar_version", info.bl1_ar_version},
                    {"ar_nv_count", info.bl1_ar_nv_count}};
        case SECURE_IMAGE_BL31:
            return {{"version", info.bl31_version}};
        default:
            return {{"current_boot_partition", info.current_boot_partition},
                    {"next_boot_partition", info.next_boot_partition},
                    {"version", info.bastionfw_version},
                    {"ar_version", info.bastion_ar_version},
                    {"ar_nv_count", info.bastion_ar_nv_count}};
    }
}

json card_failed(const std::string &card, const std::string &code, const std::string &message) {
    return {{"card", card}, {"ok", false}, {"error", {{"code", code}, {"message", message}}}};
}

}  // namespace

std::string fc_dump(const json &doc) {
    return doc.dump(-1, ' ', false, json::error_handler_t::replace);
}

json fc_error_json(const std::string &code, const std::string &message) {
    return {{"schema_version", FC_SCHEMA_VERSION}, {"error", {{"code", code}, {"message", message}}}};
}

// One exchange per query it reports: identity, running and startup image, the
// partition table (summary and one per entry), four secure components.
json fc_inventory_card(const fc_card_ops_s &ops, const std::string &card) {
    const char *bdf = card.c_str();
    if (!ops.address_valid(bdf)) return card_failed(card, "invalid_card", "invalid card address '" + card + "'");
    ops.select_card(bdf);
    rfc_card_identity_s id;
    int r = ops.read_identity(bdf, &id);
    if (r != RFC_OK)
        return card_failed(card, "io", "cannot read the card's identity (result " + std::to_string(r) + ")");
    firmware_image_type_e running = FIRMWARE_IMAGE_INVALID;
    firmware_image_type_e startup = FIRMWARE_IMAGE_INVALID;
    r = ops.read_image(FWUPDATE_IMAGE_RUNNING, bdf, &running);
    if (r == RFC_OK) r = ops.read_image(FWUPDATE_IMAGE_STARTUP, bdf, &startup);
    if (r != RFC_OK)
        return card_failed(card, "io",
                           "cannot read the card's running and startup images (result " + std::to_string(r) + ")");
    std::vector<rfc_partition_s> table;
    r = ops.read_partitions(bdf, &table);
    if (r != RFC_OK)
        return card_failed(card, "io", "cannot read the card's partition table (result " + std::to_string(r) + ")");

    json doc = {{"card", card}, {"ok", true}};
    doc["identity"] = {{"serial_number", ops.serial_number(bdf)},
                       {"board_id", hex32(id.board_id)},
                       {"asic", id.asic},
                       {"ipc_version", id.ipc_version},
                       {"sw_version", id.sw_version},
                       {"life_cycle", id.life_cycle_name},
                       {"secure_boot", id.board_secure_boot == 1},
                       {"key_name", id.board_keyname},
                       {"cpld_version", id.cpld_version},
                       {"boot0_version", id.boot0_version}};
    doc["running_image"] = fc_image_name(running);
    doc["startup_image"] = fc_image_name(startup);
    json parts = json::array();
    for (const auto &p : table)
        parts.push_back({{"id", p.id},
                         {"name", p.name},
                         {"type_id", p.type_id},
                         {"type_name", p.type_name},
                         {"size", p.size},
                         {"slot", p.slot},
                         {"running", p.running},
                         {"startup", p.startup},
                         {"version", p.version}});
    doc["partitions"] = parts;
    doc["secure"] = {{"lcs", secure_json(ops, bdf, SECURE_IMAGE_LCS)},
                     {"bl1", secure_json(ops, bdf, SECURE_IMAGE_BL1)},
                     {"bl31", secure_json(ops, bdf, SECURE_IMAGE_BL31)},
                     {"bastion", secure_json(ops, bdf, SECURE_IMAGE_BASTION)}};
    return doc;
}

json fc_update_json(const fc_update_report_s &rep) {
    json doc = {{"schema_version", FC_SCHEMA_VERSION},
                {"card", rep.card},
                {"partition", rep.partition},
                {"image", {{"path", rep.image_path}, {"size", rep.image_size}, {"sha512", rep.image_sha512}}},
                {"changed", rep.changed},
                {"dry_run", rep.dry_run},
                {"activated", rep.activated},
                {"result", rep.result}};
    if (rep.dry_run) doc["would_change"] = rep.would_change;
    if (rep.before.read) doc["before"] = selection_json(rep.before);
    if (rep.after.read) doc["after"] = selection_json(rep.after);
    doc["phases"] = phases_json(rep.phases);
    doc["partition_state"] = rep.partition_state;
    doc["plan"] = {{"actions", rep.plan_actions}};
    if (!rep.error.code.empty()) doc["error"] = {{"code", rep.error.code}, {"message", rep.error.message}};
    if (!rep.journal_error.empty()) doc["journal"] = {{"code", "journal"}, {"message", rep.journal_error}};
    return doc;
}

json fc_rollback_json(const fc_rollback_report_s &rep) {
    json doc = {{"schema_version", FC_SCHEMA_VERSION},
                {"card", rep.card},
                {"from", rep.from},
                {"to", rep.to},
                {"changed", rep.changed},
                {"dry_run", rep.dry_run},
                {"result", rep.result}};
    if (!rep.error.code.empty()) doc["error"] = {{"code", rep.error.code}, {"message", rep.error.message}};
    return doc;
}

std::string fc_history_line(const fc_update_report_s &rep) {
    json line = {{"time", rep.time},
                 {"card", rep.card},
                 {"serial_number", rep.serial_number},
                 {"partition", rep.partition},
                 {"image", {{"path", rep.image_path}, {"size", rep.image_size}, {"sha512", rep.image_sha512}}},
                 {"before", rep.before.read ? selection_json(rep.before) : json::object()},
                 {"after", rep.after.read ? selection_json(rep.after) : json::object()},
                 {"phases", phases_json(rep.phases)},
                 {"result", rep.result}};
    return fc_dump(line);
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
    return error.code.empty() ? "" : "error: " + shown(error.message) + "\n";
}

}  // namespace

std::string fc_update_text(const fc_update_report_s &rep) {
    std::string out = "card " + shown(rep.card) + " partition " + shown(rep.partition) + " image " +
                      shown(rep.image_path) + " (" + std::to_string(rep.image_size) + " bytes)\n";
    if (!rep.image_sha512.empty()) out += "sha512 " + rep.image_sha512 + "\n";
    if (rep.before.read) out += selection_text("before", rep.before);
    if (rep.dry_run && rep.result == "unchanged") {
        out += "dry run: ";
        if (rep.plan_actions.empty()) out += "nothing to do";
        for (size_t i = 0; i < rep.plan_actions.size(); ++i)
            out += (i == 0 ? "would " : ", ") + rep.plan_actions[i];
        out += "\n";
    }
    for (const auto &p : rep.phases) {
        if (p.status == "skipped") continue;
        char line[128];
        snprintf(line, sizeof line, "  %-17s %-11s %.2f s\n", p.name.c_str(), p.status.c_str(), p.seconds);
        out += line;
    }
    if (rep.after.read) out += selection_text("after", rep.after);
    out += "result: " + rep.result;
    if (rep.result != "updated" && rep.result != "unchanged") out += " (partition " + rep.partition_state + ")";
    out += "\n";
    out += error_text(rep.error);
    if (!rep.journal_error.empty() && rep.error.code != "journal") out += "journal: " + shown(rep.journal_error) + "\n";
    return out;
}

std::string fc_rollback_text(const fc_rollback_report_s &rep) {
    std::string out = "card " + shown(rep.card);
    if (!rep.from.empty()) out += ": startup " + rep.from + (rep.to.empty() ? "" : " -> " + rep.to);
    out += (rep.dry_run ? " (dry run)" : "") + std::string("\nresult: ") + rep.result + "\n";
    return out + error_text(rep.error);
}

std::string fc_inventory_text(const json &inventory) {
    const auto text = [](const json &value) { return shown(value.get<std::string>()); };
    std::string out;
    for (const auto &card : inventory["cards"]) {
        out += "card " + shown(card.value("card", std::string())) + "\n";
        if (!card.value("ok", false)) {
            out += "  error: " + shown(card["error"].value("message", std::string())) + "\n";
            continue;
        }
        const json &id = card["identity"];
        out += "  serial " + text(id["serial_number"]) + "  board " + text(id["board_id"]) + "  asic " +
               text(id["asic"]) + "  ipc " + std::to_string(id["ipc_version"].get<int>()) + "  sw " +
               text(id["sw_version"]) + "\n  life cycle " + text(id["life_cycle"]) + "  secure boot " +
               (id["secure_boot"].get<bool>() ? "on" : "off") + "  key " + text(id["key_name"]) + "\n";
        out += "  running " + text(card["running_image"]) + "  startup " + text(card["startup_image"]) + "\n";
        out += "  id  name             size         slot  r/s  version\n";
        for (const auto &p : card["partitions"]) {
            const std::string flags =
                std::string(p["running"].get<bool>() ? "R" : "-") + (p["startup"].get<bool>() ? "S" : "-");
            out += "  " + left(std::to_string(p["id"].get<unsigned>()), 3) + " " + left(text(p["name"]), 16) + " " +
                   left(std::to_string(p["size"].get<uint64_t>()), 12) + " " +
                   left(std::to_string(p["slot"].get<unsigned>()), 5) + " " + left(flags, 4) + " " +
                   text(p["version"]) + "\n";
        }
        for (const auto &[name, comp] : card["secure"].items()) {
            out += "  secure " + shown(name) + ": ";
            if (comp.contains("error")) {
                out += "error: " + shown(comp["error"].value("message", std::string())) + "\n";
                continue;
            }
            std::string fields;
            for (const auto &[k, v] : comp.items())
                fields += (fields.empty() ? "" : ", ") + shown(k) + " " + (v.is_string() ? text(v) : fc_dump(v));
            out += fields + "\n";
        }
    }
    return out;
}

// The documents flashctl prints: JSON of schema version 1, and the same
// content as text for a person. Also one card's inventory, which is read
// straight into its document.
#include <cinttypes>
#include <cstdio>

#include "flashctl.h"
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

std::string fc_update_text(const fc_update_report_s &rep) {
    std::string out;
    char line[512];
    snprintf(line, sizeof line, "card %s partition %s image %s (%" PRIu64 " bytes)\n", rep.card.c_str(),
             rep.partition.c_str(), rep.image_path.c_str(), rep.image_size);
    out += line;
    if (!rep.image_sha512.empty()) out += "sha512 " + rep.image_sha512 + "\n";
    if (rep.before.read)
        out += "before: version " + rep.before.version + ", running " + rep.before.running_image + ", startup " +
               rep.before.startup_image + "\n";
    if (rep.dry_run && rep.result == "unchanged") {
        out += "dry run: ";
        if (rep.plan_actions.empty()) out += "nothing to do";
        for (size_t i = 0; i < rep.plan_actions.size(); ++i)
            out += (i == 0 ? "would " : ", ") + rep.plan_actions[i];
        out += "\n";
    }
    for (const auto &p : rep.phases) {
        if (p.status == "skipped") continue;
        snprintf(line, sizeof line, "  %-17s %-11s %.2f s\n", p.name.c_str(), p.status.c_str(), p.seconds);
        out += line;
    }
    if (rep.after.read)
        out += "after: version " + rep.after.version + ", running " + rep.after.running_image + ", startup " +
               rep.after.startup_image + "\n";
    out += "result: " + rep.result;
    if (rep.result != "updated" && rep.result != "unchanged") out += " (partition " + rep.partition_state + ")";
    out += "\n";
    if (!rep.error.code.empty()) out += "error: " + rep.error.message + "\n";
    if (!rep.journal_error.empty() && rep.error.code != "journal") out += "journal: " + rep.journal_error + "\n";
    return out;
}

std::string fc_rollback_text(const fc_rollback_report_s &rep) {
    std::string out = "card " + rep.card;
    if (!rep.from.empty()) out += ": startup " + rep.from + (rep.to.empty() ? "" : " -> " + rep.to);
    out += (rep.dry_run ? " (dry run)" : "") + std::string("\nresult: ") + rep.result + "\n";
    if (!rep.error.code.empty()) out += "error: " + rep.error.message + "\n";
    return out;
}

std::string fc_inventory_text(const json &inventory) {
    std::string out;
    char line[512];
    for (const auto &card : inventory["cards"]) {
        out += "card " + card.value("card", std::string()) + "\n";
        if (!card.value("ok", false)) {
            out += "  error: " + card["error"].value("message", std::string()) + "\n";
            continue;
        }
        const json &id = card["identity"];
        snprintf(line, sizeof line,
                 "  serial %s  board %s  asic %s  ipc %d  sw %s\n  life cycle %s  secure boot %s  key %s\n",
                 id["serial_number"].get<std::string>().c_str(), id["board_id"].get<std::string>().c_str(),
                 id["asic"].get<std::string>().c_str(), id["ipc_version"].get<int>(),
                 id["sw_version"].get<std::string>().c_str(), id["life_cycle"].get<std::string>().c_str(),
                 id["secure_boot"].get<bool>() ? "on" : "off", id["key_name"].get<std::string>().c_str());
        out += line;
        out += "  running " + card["running_image"].get<std::string>() + "  startup " +
               card["startup_image"].get<std::string>() + "\n";
        snprintf(line, sizeof line, "  %-3s %-16s %-12s %-5s %-4s %s\n", "id", "name", "size", "slot", "r/s",
                 "version");
        out += line;
        for (const auto &p : card["partitions"]) {
            const std::string flags =
                std::string(p["running"].get<bool>() ? "R" : "-") + (p["startup"].get<bool>() ? "S" : "-");
            snprintf(line, sizeof line, "  %-3u %-16s %-12" PRIu64 " %-5u %-4s %s\n", p["id"].get<unsigned>(),
                     p["name"].get<std::string>().c_str(), p["size"].get<uint64_t>(), p["slot"].get<unsigned>(),
                     flags.c_str(), p["version"].get<std::string>().c_str());
            out += line;
        }
        for (const auto &[name, comp] : card["secure"].items()) {
            out += "  secure " + name + ": ";
            if (comp.contains("error")) {
                out += "error: " + comp["error"].value("message", std::string()) + "\n";
                continue;
            }
            std::string fields;
            for (const auto &[k, v] : comp.items())
                fields += (fields.empty() ? "" : ", ") + k + " " + (v.is_string() ? v.get<std::string>() : fc_dump(v));
            out += fields + "\n";
        }
    }
    return out;
}

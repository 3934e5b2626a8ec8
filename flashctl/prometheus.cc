// SPDX-License-Identifier: Apache-2.0
// Inventory to node_exporter textfile metrics. Every series of one metric
// family is written together under its HELP and TYPE lines, as the text
// format requires; node_exporter drops the whole file when one line is off.
#include "prometheus.h"

#include <cstdio>
#include <string_view>
#include <vector>

namespace {

// Length of the valid UTF-8 sequence at text[i], 0 when it is not one.
size_t utf8_sequence(std::string_view text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) return 1;
    size_t len = 0;
    unsigned min = 0;
    unsigned cp = 0;
    if ((lead & 0xE0) == 0xC0) {
        len = 2, min = 0x80, cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        len = 3, min = 0x800, cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        len = 4, min = 0x10000, cp = lead & 0x07;
    } else {
        return 0;
    }
    if (i + len > text.size()) return 0;
    for (size_t k = 1; k < len; k++) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

// Whether the character of len bytes at text[i] is one a terminal acts on
// rather than shows: C0 (below 0x20), DEL, or C1 (U+0080 to U+009F, which
// UTF-8 spells C2 80 to C2 9F).
bool control_character(std::string_view text, size_t i, size_t len) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (len == 1) return lead < 0x20 || lead == 0x7F;
    return len == 2 && lead == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
}

// Appends prefix and two lower-case hex digits per byte.
void append_hex_bytes(std::string &out, std::string_view bytes, const char *prefix) {
    static const char k_digits[] = "0123456789abcdef";
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += prefix;
        out += k_digits[b >> 4];
        out += k_digits[b & 0x0F];
    }
}

// A label value as the exposition format quotes it. Card texts are raw
// bytes from the card: a byte that is not UTF-8 becomes U+FFFD, a control
// character the visible text \xHH per byte (\\xHH in the file).
std::string label_value(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const size_t len = utf8_sequence(text, i);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            i++;
            continue;
        }
        const char c = text[i];
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else if (control_character(text, i, len))
            append_hex_bytes(out, std::string_view(text).substr(i, len), "\\\\x");
        else
            out.append(text, i, len);
        i += len;
    }
    return out;
}

struct label_s {
    const char *name;
    std::string value;
};

struct family_s {
    const char *name;
    const char *help;
    std::string series;

    void add(const std::vector<label_s> &labels, const std::string &value) {
        series += name;
        if (!labels.empty()) {
            series += '{';
            for (size_t i = 0; i < labels.size(); i++) {
                if (i > 0) series += ',';
                series += labels[i].name;
                series += "=\"";
                series += labels[i].value;
                series += '"';
            }
            series += '}';
        }
        series += ' ';
        series += value;
        series += '\n';
    }

    void write(std::string &out) const {
        out += std::string("# HELP ") + name + " " + help + "\n";
        out += std::string("# TYPE ") + name + " gauge\n";
        out += series;
    }
};

}  // namespace

std::string fc_visible_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const size_t len = utf8_sequence(text, i);
        if (len == 0 || control_character(text, i, len)) {
            const size_t n = len == 0 ? 1 : len;
            append_hex_bytes(out, text.substr(i, n), "\\x");
            i += n;
            continue;
        }
        if (text[i] == '\\')
            out += "\\\\";
        else
            out.append(text.substr(i, len));
        i += len;
    }
    return out;
}

std::string fc_prometheus_label(std::string_view text) {
    return label_value(text);
}

std::string flashctl_prometheus_text(const doc_inventory_s &inventory, long long unix_time) {
    family_s card_info{"flash_update_card_info",
                       "Identity and firmware image selection of a card that answered the last inventory.",
                       {}};
    family_s partition_info{"flash_update_partition_info", "Version each partition of a card holds.", {}};
    family_s secure_boot{"flash_update_card_secure_boot_enabled", "Whether secure boot is enabled on the card.", {}};
    family_s success{"flash_update_card_inventory_success", "Whether the card answered the last inventory.", {}};
    family_s timestamp{"flash_update_inventory_timestamp_seconds", "When the last inventory was taken.", {}};

    for (const doc_card_s &card : inventory.cards) {
        const std::string address = label_value(card.card);
        success.add({{"card", address}}, card.ok ? "1" : "0");
        if (!card.ok) continue;
        char board_id[16];
        snprintf(board_id, sizeof board_id, "0x%08x", card.identity.board_id);
        card_info.add({{"card", address},
                       {"serial_number", label_value(card.identity.serial_number)},
                       {"board_id", board_id},
                       {"asic", label_value(card.identity.asic)},
                       {"sw_version", label_value(card.identity.sw_version)},
                       {"life_cycle", label_value(card.identity.life_cycle)},
                       {"running_image", label_value(card.running_image)},
                       {"startup_image", label_value(card.startup_image)}},
                      "1");
        secure_boot.add({{"card", address}}, card.identity.secure_boot ? "1" : "0");
        for (const doc_partition_s &p : card.partitions)
            partition_info.add({{"card", address},
                                {"partition", label_value(p.name)},
                                {"id", std::to_string(p.id)},
                                {"slot", std::to_string(p.slot)},
                                {"version", label_value(p.version)}},
                               "1");
    }
    timestamp.add({}, std::to_string(unix_time));

    std::string out;
    for (const family_s *f : {&card_info, &partition_info, &secure_boot, &success, &timestamp})
        if (!f->series.empty()) f->write(out);
    return out;
}

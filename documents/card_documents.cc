// SPDX-License-Identifier: Apache-2.0
#include "card_documents.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

namespace {

// One walk over a record's members, for both readers: from_json takes what
// has the right type and passes over the rest; a strict read stops at the
// first member of the wrong type and names it by its path.
struct reader_s {
    bool strict = false;
    const doc_card_s *card_defaults = nullptr;  // what a card's absent members read as
    std::string path;                           // of the object being read, "" at the top
    std::string error;

    bool failed() const { return !error.empty(); }
    std::string at(const char *key) const { return path.empty() ? key : path + "." + key; }
    // "cards[0].partitions[3]: \"version\" is not text"
    void fail(const char *key, const char *what) {
        if (strict && error.empty()) error = (path.empty() ? "" : path + ": ") + "\"" + key + "\" " + what;
    }
};

const doc_json *member(const doc_json &obj, const char *key) {
    if (!obj.is_object()) return nullptr;
    const auto it = obj.find(key);
    return it == obj.end() ? nullptr : &*it;
}

void read(const doc_json &obj, const char *key, std::string &out, reader_s &r) {
    const doc_json *v = member(obj, key);
    if (v == nullptr) return;
    if (v->is_string())
        out = v->get_ref<const std::string &>();
    else
        r.fail(key, "is not text");
}

void read(const doc_json &obj, const char *key, bool &out, reader_s &r) {
    const doc_json *v = member(obj, key);
    if (v == nullptr) return;
    if (v->is_boolean())
        out = v->get<bool>();
    else
        r.fail(key, "is not true or false");
}

template <typename T>
void read(const doc_json &obj, const char *key, T &out, reader_s &r, uint64_t max = UINT64_MAX) {
    static_assert(std::is_unsigned_v<T>);
    const doc_json *v = member(obj, key);
    if (v == nullptr) return;
    uint64_t n = 0;
    if (!doc_whole_number(*v, &n))
        r.fail(key, "is not a number");
    else if (n > max || n > std::numeric_limits<T>::max())
        r.fail(key, "is out of range");
    else
        out = static_cast<T>(n);
}

template <typename T>
void read_fields(const doc_json &j, T &rec, reader_s &r);

// A record of a list before its members are read.
template <typename T>
T fresh(const reader_s &) {
    return T{};
}
template <>
doc_card_s fresh(const reader_s &r) {
    return r.card_defaults != nullptr ? *r.card_defaults : doc_card_s{};
}

template <typename T>
void read_object(const doc_json &obj, const char *key, T &rec, reader_s &r) {
    const doc_json *v = member(obj, key);
    if (v == nullptr) return;
    if (!v->is_object()) {
        r.fail(key, "is not an object");
        return;
    }
    const std::string outer = r.path;
    r.path = r.at(key);
    read_fields(*v, rec, r);
    r.path = outer;
}

template <typename T>
void read_list(const doc_json &obj, const char *key, std::vector<T> &list, reader_s &r) {
    const doc_json *v = member(obj, key);
    if (v == nullptr) return;
    if (!v->is_array()) {
        r.fail(key, "is not a list");
        return;
    }
    list.clear();
    const std::string outer = r.path;
    for (size_t i = 0; i < v->size() && !r.failed(); ++i) {
        r.path = r.at(key) + "[" + std::to_string(i) + "]";
        const doc_json &item = (*v)[i];
        if (!item.is_object()) {
            if (r.strict) r.error = r.path + " is not an object";
            r.path = outer;
            return;
        }
        T rec = fresh<T>(r);
        read_fields(item, rec, r);
        list.push_back(std::move(rec));
    }
    r.path = outer;
}

template <>
void read_fields(const doc_json &j, doc_error_s &e, reader_s &r) {
    std::string code;
    read(j, "code", code, r);
    e.code = doc_error_code_from_name(code);
    read(j, "message", e.message, r);
}

template <>
void read_fields(const doc_json &j, doc_identity_s &id, reader_s &r) {
    read(j, "serial_number", id.serial_number, r);
    read(j, "board_id", id.board_id, r);
    read(j, "asic", id.asic, r);
    read(j, "ipc_version", id.ipc_version, r, 255);
    read(j, "sw_version", id.sw_version, r);
    read(j, "life_cycle", id.life_cycle, r);
    read(j, "secure_boot", id.secure_boot, r);
    read(j, "key_name", id.key_name, r);
    read(j, "cpld_version", id.cpld_version, r, 255);
    read(j, "boot0_version", id.boot0_version, r, 255);
}

template <>
void read_fields(const doc_json &j, doc_partition_s &p, reader_s &r) {
    read(j, "id", p.id, r);
    read(j, "name", p.name, r);
    read(j, "type_id", p.type_id, r);
    read(j, "type_name", p.type_name, r);
    read(j, "size", p.size, r);
    read(j, "slot", p.slot, r, 255);
    read(j, "running", p.running, r);
    read(j, "startup", p.startup, r);
    read(j, "version", p.version, r);
}

template <>
void read_fields(const doc_json &j, doc_lcs_s &c, reader_s &r) {
    read_object(j, "error", c.error, r);
    read(j, "lcs_boot_state", c.lcs_boot_state, r);
    read(j, "lcs_next_state", c.lcs_next_state, r);
    read(j, "fuse", c.fuse, r);
}

template <>
void read_fields(const doc_json &j, doc_boot_slots_s &c, reader_s &r) {
    read_object(j, "error", c.error, r);
    read(j, "current_boot_partition", c.current_boot_partition, r, 255);
    read(j, "next_boot_partition", c.next_boot_partition, r, 255);
    read(j, "version", c.version, r);
    read(j, "ar_version", c.ar_version, r, 255);
    read(j, "ar_nv_count", c.ar_nv_count, r);
}

template <>
void read_fields(const doc_json &j, doc_bl31_s &c, reader_s &r) {
    read_object(j, "error", c.error, r);
    read(j, "version", c.version, r);
}

template <>
void read_fields(const doc_json &j, doc_secure_s &s, reader_s &r) {
    read_object(j, "lcs", s.lcs, r);
    read_object(j, "bl1", s.bl1, r);
    read_object(j, "bl31", s.bl31, r);
    read_object(j, "bastion", s.bastion, r);
}

template <>
void read_fields(const doc_json &j, doc_card_s &c, reader_s &r) {
    read(j, "card", c.card, r);
    read(j, "ok", c.ok, r);
    read_object(j, "error", c.error, r);
    read_object(j, "identity", c.identity, r);
    read(j, "running_image", c.running_image, r);
    read(j, "startup_image", c.startup_image, r);
    read_list(j, "partitions", c.partitions, r);
    read_object(j, "secure", c.secure, r);
}

template <>
void read_fields(const doc_json &j, doc_inventory_s &inv, reader_s &r) {
    uint64_t version = static_cast<uint64_t>(inv.schema_version);
    read(j, "schema_version", version, r, 1000);
    inv.schema_version = static_cast<int>(version);
    read_list(j, "cards", inv.cards, r);
}

template <typename T>
void lenient(const doc_json &j, T &rec) {
    reader_s r;
    read_fields(j, rec, r);
}

std::string hex(uint32_t value, const char *format) {
    char text[16];
    snprintf(text, sizeof text, format, value);
    return text;
}

const char *const k_error_code_names[DOC_ERROR_COUNT] = {
    "",        "usage",    "invalid_card", "io",          "busy",   "refused", "failed", "timeout", "interrupted",
    "journal", "not_read", "drifted",      "not_planned", "bundle", "other"};
static_assert(sizeof k_error_code_names / sizeof k_error_code_names[0] == DOC_ERROR_COUNT);

}  // namespace

const char *doc_error_code_name(doc_error_code_e code) {
    return code >= 0 && code < DOC_ERROR_COUNT ? k_error_code_names[code] : "other";
}

doc_error_code_e doc_error_code_from_name(const std::string &name) {
    if (name.empty()) return DOC_ERROR_NONE;
    for (int c = DOC_ERROR_USAGE; c < DOC_ERROR_COUNT; ++c)
        if (name == k_error_code_names[c]) return static_cast<doc_error_code_e>(c);
    return DOC_ERROR_OTHER;
}

bool doc_whole_number(const doc_json &v, uint64_t *n) {
    if (v.is_number_unsigned()) {
        *n = v.get<uint64_t>();
        return true;
    }
    if (v.is_number_integer()) {
        if (v.get<int64_t>() < 0) return false;
        *n = static_cast<uint64_t>(v.get<int64_t>());
        return true;
    }
    if (!v.is_string()) return false;
    const std::string &text = v.get_ref<const std::string &>();
    if (text.empty() || text[0] == '-' || text[0] == '+' || isspace(static_cast<unsigned char>(text[0]))) return false;
    char *end = nullptr;
    errno = 0;
    *n = strtoull(text.c_str(), &end, 0);
    return errno == 0 && *end == '\0';
}

void to_json(doc_json &j, const doc_error_s &e) {
    j = {{"code", doc_error_code_name(e.code)}, {"message", e.message}};
}
void from_json(const doc_json &j, doc_error_s &e) {
    lenient(j, e);
}

void to_json(doc_json &j, const doc_identity_s &id) {
    j = {{"serial_number", id.serial_number},
         {"board_id", hex(id.board_id, "0x%08x")},
         {"asic", id.asic},
         {"ipc_version", id.ipc_version},
         {"sw_version", id.sw_version},
         {"life_cycle", id.life_cycle},
         {"secure_boot", id.secure_boot},
         {"key_name", id.key_name},
         {"cpld_version", id.cpld_version},
         {"boot0_version", id.boot0_version}};
}
void from_json(const doc_json &j, doc_identity_s &id) {
    lenient(j, id);
}

void to_json(doc_json &j, const doc_partition_s &p) {
    j = {{"id", p.id},     {"name", p.name},       {"type_id", p.type_id}, {"type_name", p.type_name}, {"size", p.size},
         {"slot", p.slot}, {"running", p.running}, {"startup", p.startup}, {"version", p.version}};
}
void from_json(const doc_json &j, doc_partition_s &p) {
    lenient(j, p);
}

void to_json(doc_json &j, const doc_lcs_s &c) {
    if (!c.error.empty()) {
        j = {{"error", c.error}};
        return;
    }
    j = {{"lcs_boot_state", c.lcs_boot_state}, {"lcs_next_state", c.lcs_next_state}, {"fuse", hex(c.fuse, "0x%x")}};
}
void from_json(const doc_json &j, doc_lcs_s &c) {
    lenient(j, c);
}

void to_json(doc_json &j, const doc_boot_slots_s &c) {
    if (!c.error.empty()) {
        j = {{"error", c.error}};
        return;
    }
    j = {{"current_boot_partition", c.current_boot_partition},
         {"next_boot_partition", c.next_boot_partition},
         {"version", c.version},
         {"ar_version", c.ar_version},
         {"ar_nv_count", c.ar_nv_count}};
}
void from_json(const doc_json &j, doc_boot_slots_s &c) {
    lenient(j, c);
}

void to_json(doc_json &j, const doc_bl31_s &c) {
    if (!c.error.empty()) {
        j = {{"error", c.error}};
        return;
    }
    j = {{"version", c.version}};
}
void from_json(const doc_json &j, doc_bl31_s &c) {
    lenient(j, c);
}

void to_json(doc_json &j, const doc_secure_s &s) {
    j = {{"lcs", s.lcs}, {"bl1", s.bl1}, {"bl31", s.bl31}, {"bastion", s.bastion}};
}
void from_json(const doc_json &j, doc_secure_s &s) {
    lenient(j, s);
}

void to_json(doc_json &j, const doc_card_s &c) {
    j = {{"card", c.card}, {"ok", c.ok}};
    if (!c.ok) {
        j["error"] = c.error;
        return;
    }
    j["identity"] = c.identity;
    j["running_image"] = c.running_image;
    j["startup_image"] = c.startup_image;
    j["partitions"] = c.partitions;
    j["secure"] = c.secure;
}
void from_json(const doc_json &j, doc_card_s &c) {
    lenient(j, c);
}

void to_json(doc_json &j, const doc_inventory_s &inv) {
    j = {{"schema_version", inv.schema_version}, {"cards", inv.cards}};
}
void from_json(const doc_json &j, doc_inventory_s &inv) {
    lenient(j, inv);
}

std::string doc_dump(const doc_json &doc) {
    return doc.dump(-1, ' ', false, doc_json::error_handler_t::replace);
}

unsigned doc_nesting_depth(const std::string &text) {
    unsigned depth = 0, deepest = 0;
    bool in_string = false, escaped = false;
    for (char c : text) {
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            depth--;
        }
    }
    return deepest;
}

bool doc_parse_bounded(const std::string &text, doc_json *doc, std::string *error) {
    if (text.size() > DOC_MAX_BYTES) {
        *error = "is over 16 MiB";
        return false;
    }
    // The depth is counted before the parser sees the text: nothing deeper
    // than the limit is ever built or walked.
    if (doc_nesting_depth(text) > DOC_MAX_DEPTH) {
        *error = "nests deeper than " + std::to_string(DOC_MAX_DEPTH) + " levels";
        return false;
    }
    *doc = doc_json::parse(text, nullptr, false);
    if (doc->is_discarded()) {
        *error = "is not JSON";
        return false;
    }
    return true;
}

bool doc_read_file(const std::string &path, std::string *text, std::string *error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    text->clear();
    char buf[65536];
    while (text->size() <= DOC_MAX_BYTES) {
        const ssize_t n = read(fd, buf, std::min(sizeof buf, DOC_MAX_BYTES + 1 - text->size()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = "cannot read " + path + ": " + strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0) break;
        text->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    if (text->size() > DOC_MAX_BYTES) {
        *error = path + " is over 16 MiB; an inventory is far smaller";
        return false;
    }
    return true;
}

bool doc_inventory_parse(const doc_json &doc, doc_inventory_s *inventory, std::string *error,
                         const doc_card_s *card_defaults) {
    const doc_json *cards = member(doc, "cards");
    if (cards == nullptr || !cards->is_array()) {
        *error = "is not an inventory document (no \"cards\" list)";
        return false;
    }
    reader_s r;
    r.strict = true;
    r.card_defaults = card_defaults;
    doc_inventory_s inv;
    read_fields(doc, inv, r);
    if (r.failed()) {
        *error = r.error;
        return false;
    }
    *inventory = std::move(inv);
    return true;
}

bool doc_inventory_load(const std::string &path, doc_inventory_s *inventory, std::string *error,
                        const doc_card_s *card_defaults) {
    std::string text;
    if (!doc_read_file(path, &text, error)) return false;
    doc_json doc;
    std::string why;
    if (!doc_parse_bounded(text, &doc, &why)) {
        *error = path + " " + why;
        return false;
    }
    if (!doc_inventory_parse(doc, inventory, &why, card_defaults)) {
        *error = path + (why.starts_with("is ") ? " " : ": ") + why;
        return false;
    }
    return true;
}

// SPDX-License-Identifier: Apache-2.0
// The manifest: its record and its two readers (lenient from_json, checked
// parse), what a well-formed manifest must be, and the inventory fields its
// rules may name.
#include <algorithm>
#include <set>

#include "bundle.h"
#include "bundle_internal.h"
#include "rfc.h"

namespace {

// The A/B pairs of the flash. Everything else is written in place.
constexpr flash_partition_e k_families[][2] = {
    {FLASH_PARTITION_FW_A, FLASH_PARTITION_FW_B},           {FLASH_PARTITION_UBOOT_A, FLASH_PARTITION_UBOOT_B},
    {FLASH_PARTITION_DTB, FLASH_PARTITION_DTB_B},           {FLASH_PARTITION_FW_CFG, FLASH_PARTITION_FW_CFG_B},
    {FLASH_PARTITION_A35_BL1_0, FLASH_PARTITION_A35_BL1_1}, {FLASH_PARTITION_BASTIONFW_0, FLASH_PARTITION_BASTIONFW_1},
    {FLASH_PARTITION_SOFTROM_0, FLASH_PARTITION_SOFTROM_1},
};

constexpr const char *k_ops[] = {"eq", "ne", "in", "ge", "le"};

// One walk over the manifest for both readers: the lenient one takes what
// has the expected type; the checked one stops at the first member that is
// missing or of the wrong type and names its place.
struct reader_s {
    bundle_error_s *error = nullptr;  // null: lenient

    bool failed() const { return error != nullptr && !error->empty(); }
    void fail(const std::string &place, const std::string &what, const char *check = "manifest") {
        if (error != nullptr && error->empty()) *error = {check, "manifest.json: " + place + " " + what};
    }
};

std::string at(const std::string &place, const char *key) {
    return place.empty() ? key : place + "." + key;
}

const doc_json *member(const doc_json &obj, const char *key) {
    if (!obj.is_object()) return nullptr;
    const auto it = obj.find(key);
    return it == obj.end() ? nullptr : &*it;
}

void read_text(const doc_json &obj, const char *key, const std::string &place, std::string &out, reader_s &r,
               bool required) {
    const doc_json *v = member(obj, key);
    if (v == nullptr) {
        if (required) r.fail(at(place, key), "is missing");
    } else if (v->is_string()) {
        out = v->get_ref<const std::string &>();
    } else {
        r.fail(at(place, key), "is not text");
    }
}

void read_texts(const doc_json &obj, const char *key, const std::string &place, std::vector<std::string> &out,
                reader_s &r) {
    const doc_json *v = member(obj, key);
    if (v == nullptr) {
        r.fail(at(place, key), "is missing");
        return;
    }
    if (!v->is_array()) {
        r.fail(at(place, key), "is not a list");
        return;
    }
    out.clear();
    for (size_t i = 0; i < v->size(); ++i) {
        if ((*v)[i].is_string())
            out.push_back((*v)[i].get<std::string>());
        else
            r.fail(at(place, key) + "[" + std::to_string(i) + "]", "is not text");
    }
}

const doc_json *read_object(const doc_json &obj, const char *key, const std::string &place, reader_s &r) {
    const doc_json *v = member(obj, key);
    if (v == nullptr) {
        r.fail(at(place, key), "is missing");
        return nullptr;
    }
    if (!v->is_object()) {
        r.fail(at(place, key), "is not an object");
        return nullptr;
    }
    return v;
}

// The objects of a list member, each with its place ("components[2]").
template <typename F>
void read_list(const doc_json &obj, const char *key, bool required, reader_s &r, F each) {
    const doc_json *v = member(obj, key);
    if (v == nullptr) {
        if (required) r.fail(key, "is missing");
        return;
    }
    if (!v->is_array()) {
        r.fail(key, "is not a list");
        return;
    }
    for (size_t i = 0; i < v->size() && !r.failed(); ++i) {
        const std::string place = std::string(key) + "[" + std::to_string(i) + "]";
        if (!(*v)[i].is_object())
            r.fail(place, "is not an object");
        else
            each((*v)[i], place);
    }
}

void read_release(const doc_json &j, const std::string &place, bundle_release_s &rel, reader_s &r) {
    read_text(j, "name", place, rel.name, r, true);
    read_text(j, "version", place, rel.version, r, true);
}

void read_compatible(const doc_json &j, const std::string &place, bundle_compatible_s &c, reader_s &r) {
    read_texts(j, "boards", place, c.boards, r);
    read_texts(j, "asics", place, c.asics, r);
}

void read_rule(const doc_json &j, const std::string &place, bundle_rule_s &rule, reader_s &r) {
    read_text(j, "id", place, rule.id, r, true);
    read_text(j, "field", place, rule.field, r, true);
    read_text(j, "op", place, rule.op, r, true);
    const doc_json *v = member(j, "value");
    if (v == nullptr)
        r.fail(at(place, "value"), "is missing", "rule");
    else
        rule.value = *v;
}

void read_component(const doc_json &j, const std::string &place, bundle_component_s &c, reader_s &r) {
    read_text(j, "file", place, c.file, r, true);
    const doc_json *t = member(j, "target");
    if (t == nullptr) {
        r.fail(at(place, "target"), "is missing");
    } else if (t->is_string()) {
        c.target = {t->get<std::string>()};
        c.family = false;
    } else if (t->is_array() && std::all_of(t->begin(), t->end(), [](const doc_json &e) { return e.is_string(); })) {
        c.target.clear();
        for (const doc_json &e : *t)
            c.target.push_back(e.get<std::string>());
        c.family = true;
    } else {
        r.fail(at(place, "target"), "is neither a partition name nor a list of partition names");
    }
    read_text(j, "version", place, c.version, r, false);
    if (const doc_json *s = member(j, "size"); s != nullptr) {
        if (s->is_number_unsigned()) {
            c.size = s->get<uint64_t>();
            c.has_size = true;
        } else {
            r.fail(at(place, "size"), "is not a whole number of bytes");
        }
    }
    read_text(j, "sha512", place, c.sha512, r, false);
}

void read_manifest(const doc_json &j, bundle_manifest_s &m, reader_s &r) {
    if (!j.is_object()) {
        r.fail("the manifest", "is not a JSON object");
        return;
    }
    // The format first: a manifest of another format may have any shape.
    const doc_json *format = member(j, "bundle_format");
    if (format == nullptr)
        r.fail("bundle_format", "is missing", "format");
    else if (!format->is_number_integer())
        r.fail("bundle_format", "is not a number", "format");
    else
        m.bundle_format = format->get<int64_t>() == BUNDLE_FORMAT ? BUNDLE_FORMAT : -1;
    if (r.failed() || m.bundle_format != BUNDLE_FORMAT) return;
    if (const doc_json *rel = read_object(j, "release", "", r)) read_release(*rel, "release", m.release, r);
    if (const doc_json *c = read_object(j, "compatible", "", r)) read_compatible(*c, "compatible", m.compatible, r);
    m.rules.clear();
    read_list(j, "requires", false, r, [&](const doc_json &item, const std::string &place) {
        bundle_rule_s rule;
        read_rule(item, place, rule, r);
        m.rules.push_back(std::move(rule));
    });
    m.components.clear();
    read_list(j, "components", true, r, [&](const doc_json &item, const std::string &place) {
        bundle_component_s c;
        read_component(item, place, c, r);
        m.components.push_back(std::move(c));
    });
}

bool is_lower_hex(const std::string &text, size_t len) {
    return text.size() == len && std::all_of(text.begin(), text.end(),
                                             [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// A name that stands for itself in any directory: no separator, not a
// directory's own names, no control character, not one of the bundle's own
// files.
bool plain_file_name(const std::string &name) {
    if (name.empty() || name.size() > BUNDLE_FILE_NAME_MAX || name == "." || name == "..") return false;
    if (name == BUNDLE_MANIFEST_NAME || name == BUNDLE_SIGNATURE_NAME) return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return c == '/' || u < 0x20 || u == 0x7f;
    });
}

bool is_board_id(const std::string &text) {
    uint64_t n = 0;
    return doc_whole_number(doc_json(text), &n) && n <= UINT32_MAX;
}

std::string quoted(const std::string &text) {
    return doc_dump(doc_json(text));
}

std::string component_place(size_t i, const bundle_component_s &c) {
    return "components[" + std::to_string(i) + "] " + quoted(c.file);
}

std::string families_text() {
    std::string text;
    for (const auto &pair : k_families) {
        if (!text.empty()) text += ", ";
        text += std::string(rfc_partition_name(pair[0])) + "/" + rfc_partition_name(pair[1]);
    }
    return text;
}

bool check_rules(const bundle_manifest_s &m, bundle_error_s *error) {
    std::set<std::string> ids;
    for (size_t i = 0; i < m.rules.size(); ++i) {
        const bundle_rule_s &rule = m.rules[i];
        const std::string place = "manifest.json: requires[" + std::to_string(i) + "] ";
        if (rule.id.empty()) return bundle_fail(error, "rule", place + "has an empty id");
        if (!ids.insert(rule.id).second) return bundle_fail(error, "rule", place + "repeats the id " + quoted(rule.id));
        const std::string named = place + quoted(rule.id) + " ";
        if (std::find(std::begin(k_ops), std::end(k_ops), rule.op) == std::end(k_ops))
            return bundle_fail(error, "rule",
                               named + "has the op " + quoted(rule.op) + ", not one of eq, ne, in, ge, le");
        if (rule.op == "in" && (!rule.value.is_array() || rule.value.empty()))
            return bundle_fail(error, "rule", named + "uses \"in\" without a list of values");
        if ((rule.op == "ge" || rule.op == "le") && !rule.value.is_number_unsigned())
            return bundle_fail(error, "rule", named + "uses " + quoted(rule.op) + " without a whole number");
        if (!bundle_field_exists(rule.field))
            return bundle_fail(error, "rule_field",
                               named + "names " + quoted(rule.field) + ", which no card's inventory has");
    }
    return true;
}

bool check_component(size_t i, const bundle_component_s &c, bool require_digests, bundle_error_s *error) {
    const std::string place = "manifest.json: " + component_place(i, c) + " ";
    if (!plain_file_name(c.file))
        return bundle_fail(error, "file_name",
                           "manifest.json: components[" + std::to_string(i) + "] file " + quoted(c.file) +
                               " is not a plain file name");
    for (const std::string &name : c.target)
        if (rfc_partition_from_name(name.c_str()) == FLASH_PARTITION_ALL)
            return bundle_fail(error, "unknown_partition",
                               place + "targets " + quoted(name) + ", which is no partition");
    if (c.target.empty()) return bundle_fail(error, "family", place + "has an empty target list");
    if (c.family && (c.target.size() != 2 || !bundle_family_known(c.target[0], c.target[1])))
        return bundle_fail(error, "family",
                           place + "targets " + doc_dump(doc_json(c.target)) + ", which is not one A/B pair (" +
                               families_text() + ")");
    if (require_digests && !c.has_size)
        return bundle_fail(error, "size", place + "has no size; a signed bundle needs one");
    if (c.sha512.empty()) {
        if (require_digests) return bundle_fail(error, "sha512", place + "has no sha512; a signed bundle needs one");
    } else if (!is_lower_hex(c.sha512, 128)) {
        return bundle_fail(error, "sha512", place + "has a sha512 that is not 128 lower-case hex digits");
    }
    return true;
}

bool check_components(const bundle_manifest_s &m, bool require_digests, bundle_error_s *error) {
    if (m.components.empty()) return bundle_fail(error, "manifest", "manifest.json: components is empty");
    std::set<std::string> files;
    std::vector<int> owner(FLASH_PARTITION_ALL, -1);  // component index per partition
    for (size_t i = 0; i < m.components.size(); ++i) {
        const bundle_component_s &c = m.components[i];
        if (!check_component(i, c, require_digests, error)) return false;
        if (!files.insert(c.file).second)
            return bundle_fail(error, "duplicate_component",
                               "manifest.json: " + component_place(i, c) + " names a file an earlier component names");
        for (const std::string &name : c.target) {
            const flash_partition_e p = rfc_partition_from_name(name.c_str());
            if (owner[p] >= 0 && owner[p] != static_cast<int>(i))
                return bundle_fail(error, "duplicate_component",
                                   "manifest.json: " + component_place(i, c) + " and " +
                                       component_place(static_cast<size_t>(owner[p]), m.components[owner[p]]) +
                                       " both target " + name);
            owner[p] = static_cast<int>(i);
        }
    }
    return true;
}

// The members an inventory entry's record writes, in a default record.
std::set<std::string> keys_of(const doc_json &j) {
    std::set<std::string> keys;
    for (const auto &item : j.items())
        keys.insert(item.key());
    return keys;
}

}  // namespace

flash_partition_e bundle_partition_of(const std::string &name) {
    const flash_partition_e word = rfc_partition_from_name(name.c_str());
    if (word != FLASH_PARTITION_ALL) return word;
    for (uint32_t p = 0; p < FLASH_PARTITION_ALL; ++p)
        if (p != FLASH_PARTITION_UNKNOWN && name == rfc_partition_name(p)) return static_cast<flash_partition_e>(p);
    return FLASH_PARTITION_ALL;
}

std::vector<std::string> bundle_split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

bool bundle_fail(bundle_error_s *error, const char *check, const std::string &message) {
    *error = {check, message};
    return false;
}

void to_json(doc_json &j, const bundle_error_s &e) {
    j = {{"check", e.check}, {"message", e.message}};
}

void to_json(doc_json &j, const bundle_release_s &r) {
    j = {{"name", r.name}, {"version", r.version}};
}
void from_json(const doc_json &j, bundle_release_s &r) {
    reader_s lenient;
    read_release(j, "", r, lenient);
}

void to_json(doc_json &j, const bundle_compatible_s &c) {
    j = {{"boards", c.boards}, {"asics", c.asics}};
}
void from_json(const doc_json &j, bundle_compatible_s &c) {
    reader_s lenient;
    read_compatible(j, "", c, lenient);
}

void to_json(doc_json &j, const bundle_rule_s &r) {
    j = {{"id", r.id}, {"field", r.field}, {"op", r.op}, {"value", r.value}};
}
void from_json(const doc_json &j, bundle_rule_s &r) {
    reader_s lenient;
    read_rule(j, "", r, lenient);
}

void to_json(doc_json &j, const bundle_component_s &c) {
    j = {{"file", c.file}};
    if (c.family)
        j["target"] = c.target;
    else
        j["target"] = c.target.empty() ? std::string() : c.target[0];
    if (!c.version.empty()) j["version"] = c.version;
    if (c.has_size) j["size"] = c.size;
    if (!c.sha512.empty()) j["sha512"] = c.sha512;
}
void from_json(const doc_json &j, bundle_component_s &c) {
    reader_s lenient;
    read_component(j, "", c, lenient);
}

void to_json(doc_json &j, const bundle_manifest_s &m) {
    j = {{"bundle_format", m.bundle_format},
         {"release", m.release},
         {"compatible", m.compatible},
         {"requires", m.rules},
         {"components", m.components}};
}
void from_json(const doc_json &j, bundle_manifest_s &m) {
    reader_s lenient;
    read_manifest(j, m, lenient);
}

bool bundle_manifest_parse(std::string_view text, bool require_digests, bundle_manifest_s *manifest,
                           bundle_error_s *error) {
    if (text.size() > BUNDLE_MANIFEST_MAX)
        return bundle_fail(
            error, "manifest",
            "manifest.json holds " + std::to_string(text.size()) + " bytes, more than a manifest may (1 MiB)");
    doc_json doc;
    std::string why;
    if (!doc_parse_bounded(std::string(text), &doc, &why))
        return bundle_fail(error, "manifest", "manifest.json " + why);
    bundle_manifest_s m;
    bundle_error_s found;
    reader_s r;
    r.error = &found;
    read_manifest(doc, m, r);
    if (!found.empty()) {
        *error = std::move(found);
        return false;
    }
    if (!bundle_manifest_check(m, require_digests, error)) return false;
    *manifest = std::move(m);
    return true;
}

bool bundle_manifest_check(const bundle_manifest_s &m, bool require_digests, bundle_error_s *error) {
    if (m.bundle_format != BUNDLE_FORMAT)
        return bundle_fail(error, "format", "manifest.json: bundle_format is not 1, the one this program reads");
    if (m.release.name.empty()) return bundle_fail(error, "manifest", "manifest.json: release.name is empty");
    if (m.release.version.empty()) return bundle_fail(error, "manifest", "manifest.json: release.version is empty");
    if (m.compatible.boards.empty())
        return bundle_fail(error, "manifest",
                           "manifest.json: compatible.boards is empty; a bundle names the boards it is for");
    if (m.compatible.asics.empty())
        return bundle_fail(error, "manifest",
                           "manifest.json: compatible.asics is empty; a bundle names the ASICs it is for");
    for (size_t i = 0; i < m.compatible.boards.size(); ++i)
        if (!is_board_id(m.compatible.boards[i]))
            return bundle_fail(error, "manifest",
                               "manifest.json: compatible.boards[" + std::to_string(i) + "] " +
                                   quoted(m.compatible.boards[i]) +
                                   " is not a board id (a number such as \"0x00010042\")");
    for (size_t i = 0; i < m.compatible.asics.size(); ++i)
        if (m.compatible.asics[i].empty())
            return bundle_fail(error, "manifest",
                               "manifest.json: compatible.asics[" + std::to_string(i) + "] is empty");
    return check_rules(m, error) && check_components(m, require_digests, error);
}

bool bundle_field_exists(const std::string &field) {
    const std::vector<std::string> parts = bundle_split(field, '.');
    if (parts.size() == 1) return parts[0] == "running_image" || parts[0] == "startup_image";
    if (parts.size() == 2 && parts[0] == "identity") return keys_of(doc_json(doc_identity_s{})).count(parts[1]) == 1;
    if (parts.size() != 3) return false;
    if (parts[0] == "partitions")
        return bundle_partition_of(parts[1]) != FLASH_PARTITION_ALL &&
               keys_of(doc_json(doc_partition_s{})).count(parts[2]) == 1;
    if (parts[0] == "secure") {
        const doc_json secure = doc_secure_s{};
        const doc_json *component = member(secure, parts[1].c_str());
        return component != nullptr && member(*component, parts[2].c_str()) != nullptr;
    }
    return false;
}

bool bundle_family_known(const std::string &first, const std::string &second) {
    const flash_partition_e a = rfc_partition_from_name(first.c_str());
    const flash_partition_e b = rfc_partition_from_name(second.c_str());
    for (const auto &pair : k_families)
        if ((a == pair[0] && b == pair[1]) || (a == pair[1] && b == pair[0])) return true;
    return false;
}

bool bundle_target_on_card(const bundle_component_s &component, const doc_card_s &card, bundle_error_s *error) {
    std::vector<const doc_partition_s *> found;
    for (const std::string &name : component.target) {
        const doc_partition_s *p = bundle_card_partition(card, name);
        if (p == nullptr)
            return bundle_fail(error, "card_partition", component.file + ": the card has no partition " + name);
        found.push_back(p);
    }
    if (component.family && found.size() == 2 &&
        (found[0]->type_id != found[1]->type_id || found[0]->slot == found[1]->slot))
        return bundle_fail(error, "family",
                           component.file + ": the card's " + component.target[0] + " and " + component.target[1] +
                               " are not one A/B pair (types " + std::to_string(found[0]->type_id) + " and " +
                               std::to_string(found[1]->type_id) + ", slots " + std::to_string(found[0]->slot) +
                               " and " + std::to_string(found[1]->slot) + ")");
    return true;
}

const doc_partition_s *bundle_card_partition(const doc_card_s &card, const std::string &name) {
    const flash_partition_e id = bundle_partition_of(name);
    for (const doc_partition_s &p : card.partitions)
        if (p.name == name || (id != FLASH_PARTITION_ALL && p.id == id)) return &p;
    return nullptr;
}

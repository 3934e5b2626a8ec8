// SPDX-License-Identifier: Apache-2.0
// A card's inventory entry against a manifest: the facts its rules name,
// whether each rule holds, and whether the card is one the bundle is for.
#include <cstdio>

#include "bundle_internal.h"

namespace {

const doc_json *member(const doc_json &obj, const std::string &key) {
    if (!obj.is_object()) return nullptr;
    const auto it = obj.find(key);
    return it == obj.end() ? nullptr : &*it;
}

// The partition entry of that name, or of the name's catalogue number.
const doc_json *partition_entry(const doc_json &card, const std::string &name) {
    const doc_json *list = member(card, "partitions");
    if (list == nullptr || !list->is_array()) return nullptr;
    const flash_partition_e id = bundle_partition_of(name);
    for (const doc_json &p : *list) {
        const doc_json *n = member(p, "name");
        const doc_json *i = member(p, "id");
        if (n != nullptr && n->is_string() && n->get_ref<const std::string &>() == name) return &p;
        if (id != FLASH_PARTITION_ALL && i != nullptr && i->is_number_unsigned() && i->get<uint64_t>() == id) return &p;
    }
    return nullptr;
}

bool equal(const doc_json &fact, const doc_json &value) {
    if (fact == value) return true;
    uint64_t a = 0, b = 0;
    return doc_whole_number(fact, &a) && doc_whole_number(value, &b) && a == b;
}

}  // namespace

doc_json bundle_fact(const doc_json &card, const std::string &field) {
    const std::vector<std::string> parts = bundle_split(field, '.');
    const doc_json *at = &card;
    size_t next = 0;
    if (parts.size() == 3 && parts[0] == "partitions") {
        at = partition_entry(card, parts[1]);
        next = 2;
    }
    for (size_t i = next; at != nullptr && i < parts.size(); ++i)
        at = member(*at, parts[i]);
    if (at == nullptr || at->is_object() || at->is_array()) return nullptr;
    return *at;
}

bool bundle_rule_holds(const bundle_rule_s &rule, const doc_json &fact) {
    if (fact.is_null()) return false;
    if (rule.op == "eq") return equal(fact, rule.value);
    if (rule.op == "ne") return !equal(fact, rule.value);
    if (rule.op == "in") {
        if (!rule.value.is_array()) return false;
        for (const doc_json &v : rule.value)
            if (equal(fact, v)) return true;
        return false;
    }
    uint64_t have = 0, bound = 0;
    if (!doc_whole_number(fact, &have) || !rule.value.is_number_unsigned()) return false;
    bound = rule.value.get<uint64_t>();
    if (rule.op == "ge") return have >= bound;
    if (rule.op == "le") return have <= bound;
    return false;
}

void to_json(doc_json &j, const bundle_rule_result_s &r) {
    j = {{"id", r.id}, {"field", r.field}, {"op", r.op}, {"value", r.value}, {"fact", r.fact}, {"pass", r.pass}};
}

std::vector<bundle_rule_result_s> bundle_rules_evaluate(const bundle_manifest_s &manifest, const doc_json &card) {
    std::vector<bundle_rule_result_s> results;
    for (const bundle_rule_s &rule : manifest.rules) {
        bundle_rule_result_s r{rule.id, rule.field, rule.op, rule.value, bundle_fact(card, rule.field), false};
        r.pass = bundle_rule_holds(rule, r.fact);
        results.push_back(std::move(r));
    }
    return results;
}

std::vector<bundle_rule_result_s> bundle_rules_evaluate(const bundle_manifest_s &manifest, const doc_card_s &card) {
    return bundle_rules_evaluate(manifest, doc_json(card));
}

void to_json(doc_json &j, const bundle_compatibility_s &c) {
    j = {{"board_id", c.board_id},
         {"board_listed", c.board_listed},
         {"asic", c.asic},
         {"asic_listed", c.asic_listed},
         {"compatible", c.compatible()}};
}

bundle_compatibility_s bundle_compatible(const bundle_manifest_s &manifest, const doc_card_s &card) {
    bundle_compatibility_s c;
    char text[16];
    snprintf(text, sizeof text, "0x%08x", card.identity.board_id);
    c.board_id = text;
    c.asic = card.identity.asic;
    if (!card.ok) return c;  // a card that did not answer is for no bundle
    for (const std::string &board : manifest.compatible.boards) {
        uint64_t n = 0;
        if (doc_whole_number(doc_json(board), &n) && n == card.identity.board_id) c.board_listed = true;
    }
    for (const std::string &asic : manifest.compatible.asics)
        if (asic == card.identity.asic) c.asic_listed = true;
    return c;
}

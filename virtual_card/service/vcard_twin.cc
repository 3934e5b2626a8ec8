// SPDX-License-Identifier: Apache-2.0
// Virtual twins: a card state made from an inventory document.
//
// The document is read into the inventory records every program shares
// (bounded in size and depth, each member checked for its type), so a
// malformed file is a refusal with a reason. What the virtual card keeps
// fixed (board, ASIC, software version, bl31) is not state and stays the
// virtual card's own.
#include "vcard_twin.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "card_documents.h"
#include "fu_vocabulary.h"
#include "vcard_internal.h"

namespace {

// A text as the error line shows it: JSON text, control characters escaped.
std::string shown(const std::string &text) {
    return doc_dump(doc_json(text));
}

const auto &k_life_cycles = FU_LIFE_CYCLE_NAMES;
const auto &k_images = FU_IMAGE_NAMES;

bool life_cycle(const std::string &name, const char *key, uint8_t &out, std::string &err) {
    const auto &k_names = k_life_cycles;
    for (uint8_t i = 0; i < sizeof k_names / sizeof k_names[0]; i++) {
        if (name == k_names[i]) {
            out = i;
            return true;
        }
    }
    err = std::string("\"") + key + "\" is not a life-cycle state: " + shown(name);
    return false;
}

bool firmware_image(const std::string &name, const char *key, uint32_t &out, std::string &err) {
    for (uint32_t i = 0; i < FU_IMAGE_COUNT; i++) {
        if (name == k_images[i]) {
            out = i;
            return true;
        }
    }
    if (name == FU_GOLDEN_IMAGE_CATALOGUE_NAME) {
        out = FU_IMAGE_COUNT - 1;
        return true;
    }
    err = std::string("\"") + key + "\" is not fw-a, fw-b or gold: " + shown(name);
    return false;
}

// A component the card refused is an error in the document: the twin keeps
// the virtual card's own state for it.
bool secure_component(const doc_boot_slots_s &doc, const char *name, vcard_secure_comp_s &c, std::string &err) {
    if (!doc.error.empty()) return true;
    if (doc.current_boot_partition > 1 || doc.next_boot_partition > 1) {
        err = std::string("secure.") + name + ": a boot partition is 0 or 1";
        return false;
    }
    c.current_partition = static_cast<uint8_t>(doc.current_boot_partition);
    c.next_partition = static_cast<uint8_t>(doc.next_boot_partition);
    c.version = doc.version;
    c.ar_version = static_cast<uint8_t>(doc.ar_version);
    c.ar_nv_count = doc.ar_nv_count;
    return true;
}

bool partitions(const doc_card_s &card, vcard_state_s &st, std::string &err) {
    for (const doc_partition_s &p : card.partitions) {
        const vcard_partition_def_s *def = vcard_partition_find(p.id);
        if (def == nullptr || p.name != def->id_name || p.size != def->size) {
            err = "partition " + doc_dump(doc_json(p)) +
                  " is not one the virtual card has (id, name and size must match)";
            return false;
        }
        // The version reaches the state file and the card's text answers,
        // both made of lines.
        if (std::any_of(p.version.begin(), p.version.end(),
                        [](char c) { return std::iscntrl(static_cast<unsigned char>(c)); })) {
            err = "partition " + std::string(def->id_name) +
                  ": \"version\" holds a control character: " + shown(p.version);
            return false;
        }
        // The card's version field holds 63 characters and a terminator.
        st.parts[def->id].version = p.version.substr(0, 63);
    }
    return true;
}

bool twin_state(const doc_card_s &card, vcard_state_s &st, std::string &err) {
    st.fwupdate_ipc_version = card.identity.ipc_version;
    st.secure_boot = card.identity.secure_boot;
    if (!life_cycle(card.identity.life_cycle, "life_cycle", st.life_cycle, err)) return false;
    if (!firmware_image(card.running_image, "running_image", st.running_fw, err) ||
        !firmware_image(card.startup_image, "startup_image", st.startup_fw, err))
        return false;
    if (card.secure.lcs.error.empty()) {
        if (!life_cycle(card.secure.lcs.lcs_boot_state, "lcs_boot_state", st.lcs_boot_state, err) ||
            !life_cycle(card.secure.lcs.lcs_next_state, "lcs_next_state", st.life_cycle, err))
            return false;
    }
    if (!secure_component(card.secure.bl1, "bl1", st.bl1, err) ||
        !secure_component(card.secure.bastion, "bastion", st.bastion, err))
        return false;
    return partitions(card, st, err);
}

doc_boot_slots_s slots_of(const vcard_secure_comp_s &c) {
    return {{}, c.current_partition, c.next_partition, c.version, c.ar_version, c.ar_nv_count};
}

// A new virtual card as its inventory entry would read: what a document
// leaves out of a card stays as the virtual card has it.
doc_card_s factory_card() {
    const vcard_state_s st;
    doc_card_s c;
    c.identity.ipc_version = st.fwupdate_ipc_version;
    c.identity.secure_boot = st.secure_boot;
    c.identity.life_cycle = k_life_cycles[st.life_cycle];
    c.running_image = k_images[st.running_fw];
    c.startup_image = k_images[st.startup_fw];
    c.secure.lcs.lcs_boot_state = k_life_cycles[st.lcs_boot_state];
    c.secure.lcs.lcs_next_state = k_life_cycles[st.life_cycle];
    c.secure.bl1 = slots_of(st.bl1);
    c.secure.bastion = slots_of(st.bastion);
    return c;
}

// The cards of the document that answered its inventory.
bool answered_cards(const std::string &path, std::vector<doc_card_s> &cards, std::string &err) {
    doc_inventory_s inventory;
    const doc_card_s defaults = factory_card();
    if (!doc_inventory_load(path, &inventory, &err, &defaults)) return false;
    cards.clear();
    for (doc_card_s &card : inventory.cards)
        if (card.ok) cards.push_back(std::move(card));
    return true;
}

}  // namespace

bool vcard_twin_cards(const std::string &inventory_path, std::vector<std::string> &addresses, std::string &err) {
    std::vector<doc_card_s> cards;
    if (!answered_cards(inventory_path, cards, err)) return false;
    addresses.clear();
    for (const doc_card_s &card : cards)
        addresses.push_back(card.card);
    return true;
}

bool vcard_twin_create(const std::string &inventory_path, const std::vector<std::string> &state_dirs,
                       std::string &err) {
    std::vector<doc_card_s> cards;
    if (!answered_cards(inventory_path, cards, err)) return false;
    if (cards.size() != state_dirs.size()) {
        err = inventory_path + " has " + std::to_string(cards.size()) + " cards that answered, not " +
              std::to_string(state_dirs.size());
        return false;
    }
    std::vector<vcard_state_s> states(cards.size());
    for (size_t i = 0; i < cards.size(); i++) {
        const std::string &dir = state_dirs[i];
        struct stat sb {};
        if (stat((dir + "/state.txt").c_str(), &sb) == 0) {
            err = dir + " already holds a card; a twin is made in a new state folder";
            return false;
        }
        // Without a state file this is the factory state: whatever the
        // document leaves out stays as a new virtual card has it.
        std::string why;
        if (!vcard_state_load(dir, states[i], why) || !twin_state(cards[i], states[i], why)) {
            err = "card " + shown(cards[i].card) + ": " + why;
            return false;
        }
    }
    for (size_t i = 0; i < states.size(); i++) {
        if (mkdir(state_dirs[i].c_str(), 0755) != 0 && errno != EEXIST) {
            err = "cannot create " + state_dirs[i] + ": " + std::strerror(errno);
            return false;
        }
        if (!vcard_state_save(state_dirs[i], states[i])) {
            err = "cannot write " + state_dirs[i] + "/state.txt";
            return false;
        }
    }
    return true;
}

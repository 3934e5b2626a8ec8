// Virtual twins: a card state made from an inventory document.
//
// The document is read without exceptions (nlohmann's non-throwing parse and
// explicit type checks), so a malformed file is a refusal with a reason.
// What the virtual card keeps fixed (board, ASIC, software version, bl31)
// is not state and stays the virtual card's own.
#include "vcard_twin.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "vcard_internal.h"

namespace {

using json = nlohmann::json;

const json *member(const json &object, const char *key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

// An inventory of eight cards is some tens of kilobytes, nested five deep.
constexpr size_t k_max_document = 16u << 20;
constexpr unsigned k_max_depth = 64;

// A value as the error line shows it: JSON text, control characters escaped.
std::string shown(const json &v) {
    return v.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Reads at most the limit and one byte more, whatever the path names (a
// device that never ends, a pipe).
bool read_document(const std::string &path, std::string &text, std::string &err) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    text.clear();
    char buf[65536];
    while (text.size() <= k_max_document) {
        ssize_t n = read(fd, buf, std::min(sizeof buf, k_max_document + 1 - text.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err = "cannot read " + path + ": " + std::strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    if (text.size() > k_max_document) {
        err = path + " is over 16 MiB; an inventory is far smaller";
        return false;
    }
    return true;
}

// The deepest nesting of arrays and objects, counted on the text before it
// is parsed: brackets inside strings do not count.
unsigned nesting_depth(const std::string &text) {
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

bool load_document(const std::string &path, json &doc, std::string &err) {
    std::string text;
    if (!read_document(path, text, err)) return false;
    if (nesting_depth(text) > k_max_depth) {
        err = path + " nests deeper than " + std::to_string(k_max_depth) + " levels; an inventory is not";
        return false;
    }
    doc = json::parse(text, nullptr, false);
    if (doc.is_discarded()) {
        err = path + " is not JSON";
        return false;
    }
    const json *cards = member(doc, "cards");
    if (cards == nullptr || !cards->is_array()) {
        err = path + " is not an inventory document (no \"cards\" list)";
        return false;
    }
    return true;
}

bool answered(const json &card) {
    const json *ok = member(card, "ok");
    return ok != nullptr && ok->is_boolean() && ok->get<bool>();
}

// A number given as a JSON number or as text ("0x20003000100" or decimal).
bool get_u64(const json &object, const char *key, uint64_t max, uint64_t &out, std::string &err) {
    const json *v = member(object, key);
    if (v == nullptr) return true;
    uint64_t n = 0;
    if (v->is_number_unsigned()) {
        n = v->get<uint64_t>();
    } else if (v->is_string()) {
        const std::string &text = v->get_ref<const std::string &>();
        char *end = nullptr;
        errno = 0;
        n = std::strtoull(text.c_str(), &end, 0);
        if (text.empty() || text[0] == '-' || errno != 0 || *end != '\0') {
            err = std::string("\"") + key + "\" is not a number: " + shown(*v);
            return false;
        }
    } else {
        err = std::string("\"") + key + "\" is not a number";
        return false;
    }
    if (n > max) {
        err = std::string("\"") + key + "\" is out of range: " + std::to_string(n);
        return false;
    }
    out = n;
    return true;
}

// Life-cycle states by the names the host's tools give them.
bool life_cycle(const json &object, const char *key, uint8_t &out, std::string &err) {
    static const char *const k_names[] = {"disabled", "open", "soft_prod", "prod", "rip"};
    const json *v = member(object, key);
    if (v == nullptr) return true;
    if (v->is_string()) {
        for (uint8_t i = 0; i < sizeof k_names / sizeof k_names[0]; i++) {
            if (v->get_ref<const std::string &>() == k_names[i]) {
                out = i;
                return true;
            }
        }
    }
    uint64_t n = 0;
    if (v->is_number_unsigned() && get_u64(object, key, 255, n, err)) {
        out = static_cast<uint8_t>(n);
        return true;
    }
    err = std::string("\"") + key + "\" is not a life-cycle state: " + shown(*v);
    return false;
}

bool firmware_image(const json &card, const char *key, uint32_t &out, std::string &err) {
    static const char *const k_names[] = {"fw-a", "fw-b", "gold"};
    const json *v = member(card, key);
    if (v == nullptr) return true;
    for (uint32_t i = 0; i < 3; i++) {
        if (v->is_string() && v->get_ref<const std::string &>() == k_names[i]) {
            out = i;
            return true;
        }
    }
    err = std::string("\"") + key + "\" is not fw-a, fw-b or gold: " + shown(*v);
    return false;
}

// A component the card refused is an error object in the document: the
// twin keeps the virtual card's own state for it.
bool secure_component(const json &secure, const char *name, vcard_secure_comp_s &c, std::string &err) {
    const json *comp = member(secure, name);
    if (comp == nullptr || member(*comp, "error") != nullptr) return true;
    uint64_t cur = c.current_partition, next = c.next_partition, arv = c.ar_version;
    bool ok = get_u64(*comp, "current_boot_partition", 1, cur, err) &&
              get_u64(*comp, "next_boot_partition", 1, next, err) &&
              get_u64(*comp, "version", UINT64_MAX, c.version, err) && get_u64(*comp, "ar_version", 255, arv, err) &&
              get_u64(*comp, "ar_nv_count", UINT64_MAX, c.ar_nv_count, err);
    if (!ok) {
        err = std::string("secure.") + name + ": " + err;
        return false;
    }
    c.current_partition = static_cast<uint8_t>(cur);
    c.next_partition = static_cast<uint8_t>(next);
    c.ar_version = static_cast<uint8_t>(arv);
    return true;
}

bool partitions(const json &card, vcard_state_s &st, std::string &err) {
    const json *list = member(card, "partitions");
    if (list == nullptr) return true;
    if (!list->is_array()) {
        err = "\"partitions\" is not a list";
        return false;
    }
    for (const json &p : *list) {
        uint64_t id = UINT64_MAX, size = 0;
        const json *name = member(p, "name");
        const json *version = member(p, "version");
        if (!get_u64(p, "id", UINT32_MAX, id, err) || !get_u64(p, "size", UINT64_MAX, size, err)) return false;
        const vcard_partition_def_s *def = id == UINT64_MAX ? nullptr : vcard_partition_find(static_cast<uint32_t>(id));
        if (def == nullptr || name == nullptr || !name->is_string() ||
            name->get_ref<const std::string &>() != def->id_name || size != def->size) {
            err = "partition " + shown(p) + " is not one the virtual card has (id, name and size must match)";
            return false;
        }
        if (version != nullptr) {
            if (!version->is_string()) {
                err = "partition " + std::string(def->id_name) + ": \"version\" is not text";
                return false;
            }
            // The version reaches the state file and the card's text answers,
            // both made of lines.
            const std::string &text = version->get_ref<const std::string &>();
            if (std::any_of(text.begin(), text.end(),
                            [](char c) { return std::iscntrl(static_cast<unsigned char>(c)); })) {
                err = "partition " + std::string(def->id_name) +
                      ": \"version\" holds a control character: " + shown(*version);
                return false;
            }
            // The card's version field holds 63 characters and a terminator.
            st.parts[def->id].version = text.substr(0, 63);
        }
    }
    return true;
}

bool twin_state(const json &card, vcard_state_s &st, std::string &err) {
    static const json k_none;
    const json *identity = member(card, "identity");
    const json &id = identity != nullptr ? *identity : k_none;
    uint64_t ipc = st.fwupdate_ipc_version;
    if (!get_u64(id, "ipc_version", 255, ipc, err)) return false;
    st.fwupdate_ipc_version = static_cast<unsigned>(ipc);
    const json *secure_boot = member(id, "secure_boot");
    if (secure_boot != nullptr) {
        if (!secure_boot->is_boolean()) {
            err = "\"secure_boot\" is not true or false";
            return false;
        }
        st.secure_boot = secure_boot->get<bool>();
    }
    if (!life_cycle(id, "life_cycle", st.life_cycle, err)) return false;
    if (!firmware_image(card, "running_image", st.running_fw, err) ||
        !firmware_image(card, "startup_image", st.startup_fw, err))
        return false;
    const json *secure = member(card, "secure");
    if (secure != nullptr) {
        const json *lcs = member(*secure, "lcs");
        if (lcs != nullptr && member(*lcs, "error") == nullptr) {
            if (!life_cycle(*lcs, "lcs_boot_state", st.lcs_boot_state, err) ||
                !life_cycle(*lcs, "lcs_next_state", st.life_cycle, err))
                return false;
        }
        if (!secure_component(*secure, "bl1", st.bl1, err) || !secure_component(*secure, "bastion", st.bastion, err))
            return false;
    }
    return partitions(card, st, err);
}

}  // namespace

bool vcard_twin_cards(const std::string &inventory_path, std::vector<std::string> &addresses, std::string &err) {
    json doc;
    if (!load_document(inventory_path, doc, err)) return false;
    addresses.clear();
    for (const json &card : doc["cards"]) {
        if (!answered(card)) continue;
        const json *address = member(card, "card");
        addresses.push_back(address != nullptr && address->is_string() ? address->get<std::string>() : "");
    }
    return true;
}

bool vcard_twin_create(const std::string &inventory_path, const std::vector<std::string> &state_dirs,
                       std::string &err) {
    json doc;
    if (!load_document(inventory_path, doc, err)) return false;
    std::vector<const json *> cards;
    for (const json &card : doc["cards"])
        if (answered(card)) cards.push_back(&card);
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
        if (!vcard_state_load(dir, states[i], why) || !twin_state(*cards[i], states[i], why)) {
            const json *address = member(*cards[i], "card");
            err = "card " + (address != nullptr ? shown(*address) : std::string("?")) + ": " + why;
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

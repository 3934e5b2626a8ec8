// SPDX-License-Identifier: Apache-2.0
// The documents the project's programs exchange about cards: a card's
// inventory entry and the inventory of a host, as typed records.
//
// Each record has one to_json and one from_json (found by nlohmann through
// argument-dependent lookup); ordered_json keeps the members in the order
// the manual documents them. Reading never throws: from_json takes what has
// the expected type and leaves the rest at its default, and
// doc_inventory_parse, for a document that comes from a file, refuses one
// that is oversized, nested too deep, not JSON, or has a member of the wrong
// type, naming the member. The metrics, the text inventory and the virtual
// card's twins all read an inventory through these records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

using doc_json = nlohmann::ordered_json;

inline constexpr int DOC_SCHEMA_VERSION = 1;
// A document from a file is refused past these: an inventory of eight cards
// is some tens of kilobytes, nested five deep.
inline constexpr size_t DOC_MAX_BYTES = 16u << 20;
inline constexpr unsigned DOC_MAX_DEPTH = 64;

// What went wrong, as every document names it ("code" of an error object).
enum doc_error_code_e : int {
    DOC_ERROR_NONE = 0,
    DOC_ERROR_USAGE,         // a command line that does not parse
    DOC_ERROR_INVALID_CARD,  // not a card address
    DOC_ERROR_IO,            // the card or a file could not be read or written
    DOC_ERROR_BUSY,          // another program holds the card
    DOC_ERROR_REFUSED,       // the plan refused: nothing was sent
    DOC_ERROR_FAILED,        // a step on the card failed
    DOC_ERROR_TIMEOUT,       // a phase passed its deadline
    DOC_ERROR_INTERRUPTED,   // a signal, or the reader of the output went away
    DOC_ERROR_JOURNAL,       // the journal cannot take or did not take the record
    DOC_ERROR_NOT_READ,      // a card not read because an earlier one did not answer
    DOC_ERROR_DRIFTED,       // a card no longer as its plan read it
    DOC_ERROR_NOT_PLANNED,   // a card the plan does not name
    DOC_ERROR_BUNDLE,        // a release bundle refused (the check names why)
    DOC_ERROR_OTHER,         // a code this program does not know (a newer document)
    DOC_ERROR_COUNT
};
// "usage", "invalid_card", ...; "" for DOC_ERROR_NONE.
const char *doc_error_code_name(doc_error_code_e code);
doc_error_code_e doc_error_code_from_name(const std::string &name);

struct doc_error_s {
    doc_error_code_e code = DOC_ERROR_NONE;
    std::string message;
    bool empty() const { return code == DOC_ERROR_NONE; }
};

struct doc_identity_s {
    std::string serial_number;
    uint32_t board_id = 0;  // "0x%08x" in the document
    std::string asic;
    unsigned ipc_version = 0;
    std::string sw_version;
    std::string life_cycle;
    bool secure_boot = false;
    std::string key_name;
    unsigned cpld_version = 0;
    unsigned boot0_version = 0;
};

struct doc_partition_s {
    uint32_t id = 0;
    std::string name;
    uint32_t type_id = 0;
    std::string type_name;
    uint64_t size = 0;
    unsigned slot = 0;
    bool running = false;
    bool startup = false;
    std::string version;
};

// The secure components; one the card refused carries only its error.
struct doc_lcs_s {
    doc_error_s error;
    std::string lcs_boot_state;
    std::string lcs_next_state;
    uint32_t fuse = 0;  // "0x%x" in the document
};
struct doc_boot_slots_s {  // bl1 and bastion
    doc_error_s error;
    unsigned current_boot_partition = 0;
    unsigned next_boot_partition = 0;
    uint64_t version = 0;
    unsigned ar_version = 0;
    uint64_t ar_nv_count = 0;
};
struct doc_bl31_s {
    doc_error_s error;
    std::string version;
};
struct doc_secure_s {
    doc_lcs_s lcs;
    doc_boot_slots_s bl1;
    doc_bl31_s bl31;
    doc_boot_slots_s bastion;
};

// One card of an inventory. A card that did not answer has ok false and its
// error, nothing else.
struct doc_card_s {
    std::string card;
    bool ok = false;
    doc_error_s error;
    doc_identity_s identity;
    std::string running_image;  // fw-a, fw-b, gold, unknown
    std::string startup_image;
    std::vector<doc_partition_s> partitions;
    doc_secure_s secure;
};

struct doc_inventory_s {
    int schema_version = DOC_SCHEMA_VERSION;
    std::vector<doc_card_s> cards;
};

void to_json(doc_json &j, const doc_error_s &r);
void from_json(const doc_json &j, doc_error_s &r);
void to_json(doc_json &j, const doc_identity_s &r);
void from_json(const doc_json &j, doc_identity_s &r);
void to_json(doc_json &j, const doc_partition_s &r);
void from_json(const doc_json &j, doc_partition_s &r);
void to_json(doc_json &j, const doc_lcs_s &r);
void from_json(const doc_json &j, doc_lcs_s &r);
void to_json(doc_json &j, const doc_boot_slots_s &r);
void from_json(const doc_json &j, doc_boot_slots_s &r);
void to_json(doc_json &j, const doc_bl31_s &r);
void from_json(const doc_json &j, doc_bl31_s &r);
void to_json(doc_json &j, const doc_secure_s &r);
void from_json(const doc_json &j, doc_secure_s &r);
void to_json(doc_json &j, const doc_card_s &r);
void from_json(const doc_json &j, doc_card_s &r);
void to_json(doc_json &j, const doc_inventory_s &r);
void from_json(const doc_json &j, doc_inventory_s &r);

// A whole number, as a JSON number or as its text ("0x1f", "31"): hand-made
// documents write the card's wide numbers either way. False for anything
// else (a negative number, a fraction, text with other characters).
bool doc_whole_number(const doc_json &v, uint64_t *n);

// Compact JSON text; bytes that are not UTF-8 (a card's texts are raw
// bytes) become U+FFFD.
std::string doc_dump(const doc_json &doc);

// JSON text of at most DOC_MAX_BYTES nested at most DOC_MAX_DEPTH deep into
// *doc; false with the reason in *error ("is not JSON", "nests deeper than
// 64 levels"), worded to follow the document's name.
bool doc_parse_bounded(const std::string &text, doc_json *doc, std::string *error);
// The deepest nesting of arrays and objects in JSON text, brackets inside
// strings not counted.
unsigned doc_nesting_depth(const std::string &text);
// The file's text, at most DOC_MAX_BYTES (more is an error): a path that
// names a device that never ends reads no further than that.
bool doc_read_file(const std::string &path, std::string *text, std::string *error);

// An inventory document from a file: bounded, parsed, and every member of
// every card checked for its type (a wrong one is refused with its place,
// e.g. 'cards[0].partitions[3]: "version" is not text'). A member a card
// leaves out reads as in card_defaults (default records without them).
bool doc_inventory_load(const std::string &path, doc_inventory_s *inventory, std::string *error,
                        const doc_card_s *card_defaults = nullptr);
bool doc_inventory_parse(const doc_json &doc, doc_inventory_s *inventory, std::string *error,
                         const doc_card_s *card_defaults = nullptr);

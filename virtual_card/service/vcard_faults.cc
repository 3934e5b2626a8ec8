// SPDX-License-Identifier: Apache-2.0
// Fault specifications of the virtual card.
//
//   MSG[@N]:KIND[=VALUE]
//
// MSG   the message: a number ("0x10002", "65538"), a short name ("erase"),
//       its constant name ("FWUPDATE_MSG_FLASH_ERASE"), or "*" for all.
// @N    only the N-th call of that message since the card was opened
//       (1-based, counted per message); without it, every call.
// KIND  what goes wrong with the answer:
//   status-word=V   the service status word (rsp_errno) is V
//   status=V        the status byte is V (erase, sector erase, checksum,
//                   startup verification: offset 72; secure info: the
//                   32-bit command status; any other message: byte 0)
//   no-answer       transport error: the response never comes
//   short           a response message of fewer than 8 bytes
//   bad-type        driver header type 2 instead of 3
//   bad-magic       payload magic other than "IPCM"
//   bad-version     payload version 2
//   bad-msg         the message number of another request
//   oversize        pld_len beyond every response capacity (1024 data bytes)
//   truncated       pld_len claims 16 bytes more than the message carries
//   rsp-len=N       exactly N response data bytes (cut, or zero-filled)
//   next-offset=V   write answer: next offset V
//   text-len=V      startup text_len / firmware list data_len / signed
//                   data_len set to V (beyond their areas when above them)
//   no-nul          texts fill their fields to the last byte (repeated
//                   or cut) with no terminator
//   bad-json        signed metadata that is not valid JSON
//   no-key-name     signed metadata without "key_name"
//   key-name=TEXT   signed metadata whose "key_name" is TEXT (may be empty)
//   count=N         partition summary: entry count N
//   ipc-version=N   card information: fwupdate_ipc_version byte N
//   delay=MS        the answer comes MS milliseconds late
//
// Faults change the answer only: the card has done the request's work
// (an erase erased, a chunk was written) whatever the answer says.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "fwupdate_msgs.h"
#include "vcard_internal.h"

namespace {

enum value_e { NO_VALUE, NUMBER, TEXT };

struct kind_def_s {
    const char *name;
    vcard_fault_kind_e kind;
    value_e value;
    uint32_t only_msgs[3];  // messages the kind applies to; all zero: any message
};

const kind_def_s k_kinds[] = {
    {"status-word", VCARD_FAULT_STATUS_WORD, NUMBER, {}},
    {"status", VCARD_FAULT_STATUS, NUMBER, {}},
    {"no-answer", VCARD_FAULT_NO_ANSWER, NO_VALUE, {}},
    {"short", VCARD_FAULT_SHORT, NO_VALUE, {}},
    {"bad-type", VCARD_FAULT_BAD_TYPE, NO_VALUE, {}},
    {"bad-magic", VCARD_FAULT_BAD_MAGIC, NO_VALUE, {}},
    {"bad-version", VCARD_FAULT_BAD_VERSION, NO_VALUE, {}},
    {"bad-msg", VCARD_FAULT_BAD_MSG, NO_VALUE, {}},
    {"oversize", VCARD_FAULT_OVERSIZE, NO_VALUE, {}},
    {"truncated", VCARD_FAULT_TRUNCATED, NO_VALUE, {}},
    {"rsp-len", VCARD_FAULT_RSP_LEN, NUMBER, {}},
    {"next-offset", VCARD_FAULT_NEXT_OFFSET, NUMBER, {FWUPDATE_MSG_FLASH_WRITE}},
    {"text-len",
     VCARD_FAULT_TEXT_LEN,
     NUMBER,
     {FWUPDATE_MSG_VERIFY_STARTUP_IMAGE, FWUPDATE_MSG_GET_FW_LIST, FWUPDATE_MSG_GET_SIGNED_DATA}},
    {"no-nul", VCARD_FAULT_NO_NUL, NO_VALUE, {}},
    {"bad-json", VCARD_FAULT_BAD_JSON, NO_VALUE, {FWUPDATE_MSG_GET_SIGNED_DATA}},
    {"no-key-name", VCARD_FAULT_NO_KEY_NAME, NO_VALUE, {FWUPDATE_MSG_GET_SIGNED_DATA}},
    {"key-name", VCARD_FAULT_KEY_NAME, TEXT, {FWUPDATE_MSG_GET_SIGNED_DATA}},
    {"count", VCARD_FAULT_COUNT, NUMBER, {FWUPDATE_MSG_GET_PARTITION_INFO}},
    {"ipc-version", VCARD_FAULT_IPC_VERSION, NUMBER, {FWUPDATE_MSG_GET_CARD_INFO}},
    {"delay", VCARD_FAULT_DELAY, NUMBER, {}},
};

bool parse_msg(const std::string &text, uint32_t &msg) {
    if (text == "*") {
        msg = 0;
        return true;
    }
    for (const fwupdate_msg_def_s &def : k_fwupdate_msgs) {
        if (text == def.name || text == def.const_name) {
            msg = def.msg;
            return true;
        }
    }
    uint64_t v = 0;
    if (!vcard_parse_u64(text, v) || v == 0 || v > 0xFFFFFFFFULL) return false;
    msg = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

bool vcard_fault_parse(const std::string &spec, vcard_fault_s &fault, std::string &err) {
    fault = vcard_fault_s{};
    size_t colon = spec.find(':');
    if (colon == std::string::npos) {
        err = "fault \"" + spec + "\": expected MSG[@N]:KIND[=VALUE]";
        return false;
    }
    std::string target = spec.substr(0, colon);
    std::string what = spec.substr(colon + 1);
    size_t at = target.find('@');
    std::string msg_text = target.substr(0, at);
    if (!parse_msg(msg_text, fault.msg)) {
        err = "fault \"" + spec + "\": unknown message \"" + msg_text + "\"";
        return false;
    }
    if (at != std::string::npos) {
        uint64_t n = 0;
        if (!vcard_parse_u64(target.substr(at + 1), n) || n == 0 || n > 0xFFFFFFFFULL) {
            err = "fault \"" + spec + "\": call number must be 1 or more";
            return false;
        }
        fault.call = static_cast<unsigned>(n);
    }
    size_t eq = what.find('=');
    std::string kind_text = what.substr(0, eq);
    const kind_def_s *def = nullptr;
    for (const auto &k : k_kinds)
        if (kind_text == k.name) def = &k;
    if (def == nullptr) {
        err = "fault \"" + spec + "\": unknown kind \"" + kind_text + "\"";
        return false;
    }
    fault.kind = def->kind;
    bool has_value = eq != std::string::npos;
    std::string value = has_value ? what.substr(eq + 1) : std::string();
    if (def->value == NO_VALUE && has_value) {
        err = "fault \"" + spec + "\": " + def->name + " takes no value";
        return false;
    }
    if (def->value == NUMBER && (!has_value || !vcard_parse_u64(value, fault.value))) {
        err = "fault \"" + spec + "\": " + def->name + " needs a number";
        return false;
    }
    if (def->value == TEXT) {
        if (!has_value) {
            err = "fault \"" + spec + "\": " + def->name + " needs a text";
            return false;
        }
        fault.text = value;
    }
    if (def->only_msgs[0] != 0 && fault.msg != 0) {
        bool fits = false;
        for (uint32_t m : def->only_msgs)
            fits = fits || (m != 0 && m == fault.msg);
        if (!fits) {
            err = "fault \"" + spec + "\": " + def->name + " does not apply to that message";
            return false;
        }
    }
    return true;
}

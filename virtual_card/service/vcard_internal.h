// SPDX-License-Identifier: Apache-2.0
// Inner parts of the virtual card's firmware update service: the partition
// table, the persisted card state, the flash store, the fault table and the
// crypto helpers. Only the service's own sources include this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "vcard_service.h"

// ---- partition table ----------------------------------------------------

struct vcard_partition_def_s {
    uint32_t id;
    uint32_t type_id;
    const char *id_name;  // the client's name of the partition
    const char *type_name;
    uint64_t size;
    uint8_t slot_id;
    bool secure;          // carries signed metadata and a manifest signature
    const char *version;  // version of the factory image
};

// Every partition of the card in table order (ids 0 to 25 without 22).
const std::vector<vcard_partition_def_s> &vcard_partition_table();
const vcard_partition_def_s *vcard_partition_find(uint32_t id);

// ---- persisted state -----------------------------------------------------

inline constexpr size_t VCARD_SIG_LEN = 64;  // Ed25519 signature

struct vcard_part_state_s {
    uint64_t image_len = 0;             // bytes of the image last installed
    std::string version;                // version text of that image
    std::vector<uint8_t> install_hash;  // SHA-512 recorded at install (64 bytes)
    std::string key_name;               // key the partition's images are signed with
    std::vector<uint8_t> signature;     // manifest signature made at install
};

struct vcard_secure_comp_s {
    uint8_t current_partition = 0;
    uint8_t next_partition = 0;
    uint64_t version = 0;
    uint8_t ar_version = 0;
    uint64_t ar_nv_count = 0;
};

struct vcard_state_s {
    unsigned fwupdate_ipc_version = 5;
    uint32_t running_fw = 0;  // firmware_image_type_e
    uint32_t startup_fw = 0;
    bool secure_boot = false;
    uint8_t lcs_boot_state = 1;  // state the running boot started in
    uint8_t life_cycle = 1;      // state held by the fuses now
    uint64_t lcs_fuses = 0x1;
    vcard_secure_comp_s bl1;
    vcard_secure_comp_s bastion;
    std::map<uint32_t, vcard_part_state_s> parts;
};

// Loads state_dir/state.txt (a missing file gives the factory state);
// false with a message in err when the file cannot be read.
bool vcard_state_load(const std::string &dir, vcard_state_s &st, std::string &err);
// Writes state.txt through a temporary file and a rename.
bool vcard_state_save(const std::string &dir, const vcard_state_s &st);
// Fills in what the factory state carries for every partition (key names,
// signatures over the empty factory image).
void vcard_state_complete(vcard_state_s &st);

// ---- flash store ----------------------------------------------------------
// One sparse file per partition, flash/<id_name>.bin. Bytes are stored
// inverted, so a hole (or a missing file, or the part past the file's end)
// reads back as erased flash, 0xFF: erasing costs no disk, it punches holes.

bool vcard_flash_read(const std::string &dir, const vcard_partition_def_s &p, uint64_t off, uint8_t *buf, size_t len);
bool vcard_flash_write(const std::string &dir, const vcard_partition_def_s &p, uint64_t off, const uint8_t *buf,
                       size_t len);
bool vcard_flash_erase(const std::string &dir, const vcard_partition_def_s &p, uint64_t off, uint64_t len);
// SHA-512 of the first len bytes of the partition.
bool vcard_flash_sha512(const std::string &dir, const vcard_partition_def_s &p, uint64_t len, uint8_t digest[64]);

// ---- crypto ---------------------------------------------------------------

bool vcard_sha512(const uint8_t *data, size_t len, uint8_t digest[64]);
// The signed manifest of an image: partition, length and SHA-512.
std::vector<uint8_t> vcard_manifest(uint32_t partition, uint64_t image_len, const uint8_t digest[64]);
// Signs with the card's key of that name ("eng" or "prod"); empty on failure.
std::vector<uint8_t> vcard_sign(const std::string &key_name, const std::vector<uint8_t> &msg);
enum vcard_verify_e { VCARD_VERIFY_OK, VCARD_VERIFY_BAD_KEY, VCARD_VERIFY_MISMATCH };
// Verifies sig over msg with a PEM public key as the host sent it.
vcard_verify_e vcard_verify(const uint8_t *pem, size_t pem_len, const std::vector<uint8_t> &msg,
                            const std::vector<uint8_t> &sig);
std::string vcard_public_key_pem(const std::string &key_name);
std::string vcard_hex(const uint8_t *data, size_t len);
bool vcard_unhex(const std::string &text, std::vector<uint8_t> &out);

// ---- faults ---------------------------------------------------------------

enum vcard_fault_kind_e {
    VCARD_FAULT_STATUS_WORD,
    VCARD_FAULT_STATUS,
    VCARD_FAULT_NO_ANSWER,
    VCARD_FAULT_SHORT,
    VCARD_FAULT_BAD_TYPE,
    VCARD_FAULT_BAD_MAGIC,
    VCARD_FAULT_BAD_VERSION,
    VCARD_FAULT_BAD_MSG,
    VCARD_FAULT_OVERSIZE,
    VCARD_FAULT_TRUNCATED,
    VCARD_FAULT_RSP_LEN,
    VCARD_FAULT_NEXT_OFFSET,
    VCARD_FAULT_TEXT_LEN,
    VCARD_FAULT_NO_NUL,
    VCARD_FAULT_BAD_JSON,
    VCARD_FAULT_NO_KEY_NAME,
    VCARD_FAULT_KEY_NAME,
    VCARD_FAULT_COUNT,
    VCARD_FAULT_IPC_VERSION,
    VCARD_FAULT_DELAY,
};

struct vcard_fault_s {
    uint32_t msg = 0;   // 0: every message
    unsigned call = 0;  // 1-based call of that message; 0: every call
    vcard_fault_kind_e kind = VCARD_FAULT_STATUS_WORD;
    uint64_t value = 0;
    std::string text;  // key-name=TEXT
};

bool vcard_fault_parse(const std::string &spec, vcard_fault_s &fault, std::string &err);

// What the faults of one call ask of the message handlers.
struct vcard_call_faults_s {
    bool no_nul = false;
    bool bad_json = false;
    bool no_key_name = false;
    bool key_name = false;
    std::string key_name_text;
    bool text_len = false;
    uint32_t text_len_value = 0;
    bool count = false;
    uint8_t count_value = 0;
    bool ipc_version = false;
    uint8_t ipc_version_value = 0;
};

// ---- the card -------------------------------------------------------------

// A long operation under way: the request that started it, the number of
// in-progress answers still to give and when (monotonic seconds) it is done.
struct vcard_pending_s {
    std::vector<uint8_t> req;
    unsigned polls_left = 0;
    double done_at = 0;
    double unscaled_s = 0;  // the seconds the time scale took off its wait
};

struct vcard_s {
    std::mutex lock;
    std::string dir;
    vcard_options_s options;
    vcard_state_s state;
    std::vector<vcard_fault_s> faults;
    std::map<uint32_t, unsigned> calls;           // calls so far per message
    std::map<uint32_t, vcard_pending_s> pending;  // per message
    vcard_clock_s clock;
    double last_write_answer = 0;  // monotonic seconds: when the last paced write was answered
};

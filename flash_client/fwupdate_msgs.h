// SPDX-License-Identifier: Apache-2.0
// Messages of the card's firmware update service (endpoint 12): numbers,
// sizes and the packed little-endian records of every request and response.
// The client fills them from one side, the virtual card from the other.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t IPC_EP_FWUPDATE = 12;

inline constexpr uint32_t FWUPDATE_MSG_GET_RUNNING_IMAGE = 0x10001;
inline constexpr uint32_t FWUPDATE_MSG_FLASH_ERASE = 0x10002;
inline constexpr uint32_t FWUPDATE_MSG_FLASH_WRITE = 0x10003;
inline constexpr uint32_t FWUPDATE_MSG_SET_STARTUP_IMAGE = 0x10004;
inline constexpr uint32_t FWUPDATE_MSG_GET_CHECKSUM = 0x10005;
inline constexpr uint32_t FWUPDATE_MSG_GET_FW_LIST = 0x10006;
inline constexpr uint32_t FWUPDATE_MSG_VERIFY_STARTUP_IMAGE = 0x10007;
inline constexpr uint32_t FWUPDATE_MSG_GET_CARD_INFO = 0x10008;
inline constexpr uint32_t FWUPDATE_MSG_GET_PARTITION_INFO = 0x10009;
inline constexpr uint32_t FWUPDATE_MSG_FLASH_SECTOR_ERASE = 0x1000A;
inline constexpr uint32_t FWUPDATE_MSG_SECURE_BOOT_UPDATE = 0x1000B;
inline constexpr uint32_t FWUPDATE_MSG_GET_SECURE_INFO = 0x1000C;
inline constexpr uint32_t FWUPDATE_MSG_SECURE_IMAGE_UPDATE = 0x1000D;
inline constexpr uint32_t FWUPDATE_MSG_GET_SIGNED_DATA = 0x1000E;
inline constexpr uint32_t FWUPDATE_MSG_VERIFY_SIGNATURE = 0x10010;

// Status byte of long operations; any other value means done.
inline constexpr uint8_t FWUPDATE_STATUS_ERASE_IN_PROGRESS = 3;
inline constexpr uint8_t FWUPDATE_STATUS_VERIFY_IN_PROGRESS = 4;
inline constexpr uint8_t FWUPDATE_STATUS_FAILED = 5;

inline constexpr uint64_t FLASH_SECTOR_SIZE = 4096;
inline constexpr size_t FLASH_WRITE_BUF_SIZE = 1016;
inline constexpr size_t FLASH_WRITE_CHUNK_SIZE = 960;  // 60 x 16
inline constexpr size_t FWUPDATE_SHA512_LEN = 64;

// 0x10001 request: image type (0 running, 1 startup); response: firmware type.
struct __attribute__((packed)) fwupdate_running_image_req_s {
    uint32_t image_type;
};
struct __attribute__((packed)) fwupdate_running_image_rsp_s {
    uint32_t firmware_type;
};
static_assert(sizeof(fwupdate_running_image_req_s) == 4);
static_assert(sizeof(fwupdate_running_image_rsp_s) == 4);

// 0x10002, 16 bytes; response: 1 status byte.
struct __attribute__((packed)) fwupdate_erase_req_s {
    uint32_t image_id;
    uint32_t rsvd;
    uint64_t size;
};
static_assert(sizeof(fwupdate_erase_req_s) == 16);
static_assert(offsetof(fwupdate_erase_req_s, size) == 8);

// 0x1000A, 24 bytes; response: 1 byte, 0 erased.
struct __attribute__((packed)) fwupdate_sector_erase_req_s {
    uint32_t image_id;
    uint32_t rsvd;
    uint64_t offset;
    uint64_t length;
};
static_assert(sizeof(fwupdate_sector_erase_req_s) == 24);
static_assert(offsetof(fwupdate_sector_erase_req_s, offset) == 8);
static_assert(offsetof(fwupdate_sector_erase_req_s, length) == 16);

// 0x10003: 26-byte header, the data, 6 zero bytes (request = data + 32).
struct __attribute__((packed)) fwupdate_write_req_s {
    uint32_t image_id;
    uint32_t rsvd;
    uint64_t offset;
    uint64_t length;
    uint8_t last;
    uint8_t verify;
    uint8_t data[];
};
static_assert(sizeof(fwupdate_write_req_s) == 26);
static_assert(offsetof(fwupdate_write_req_s, offset) == 8);
static_assert(offsetof(fwupdate_write_req_s, length) == 16);
static_assert(offsetof(fwupdate_write_req_s, last) == 24);
static_assert(offsetof(fwupdate_write_req_s, verify) == 25);
static_assert(offsetof(fwupdate_write_req_s, data) == 26);
inline constexpr size_t FWUPDATE_WRITE_REQ_OVERHEAD = 32;

struct __attribute__((packed)) fwupdate_write_rsp_s {
    uint64_t next_offset;
};
static_assert(sizeof(fwupdate_write_rsp_s) == 8);

// 0x10004 request; response 1 byte, not read.
struct __attribute__((packed)) fwupdate_set_startup_req_s {
    uint32_t firmware_type;
};
static_assert(sizeof(fwupdate_set_startup_req_s) == 4);

// 0x10005, 16 bytes; response 65 bytes.
struct __attribute__((packed)) fwupdate_checksum_req_s {
    uint32_t image_id;
    uint32_t rsvd;
    uint64_t size;
};
static_assert(sizeof(fwupdate_checksum_req_s) == 16);
static_assert(offsetof(fwupdate_checksum_req_s, size) == 8);

struct __attribute__((packed)) fwupdate_checksum_rsp_s {
    uint8_t status;
    uint8_t digest[FWUPDATE_SHA512_LEN];
};
static_assert(sizeof(fwupdate_checksum_rsp_s) == 65);
static_assert(offsetof(fwupdate_checksum_rsp_s, digest) == 1);

// 0x10006 request: image id (4 bytes); response 1004 bytes.
inline constexpr size_t FWUPDATE_FW_LIST_DATA_LEN = 900;
struct __attribute__((packed)) fwupdate_fw_list_rsp_s {
    uint32_t image_id;
    char version[32];
    char profile_name[64];
    uint32_t data_len;
    uint8_t data[FWUPDATE_FW_LIST_DATA_LEN];
};
static_assert(sizeof(fwupdate_fw_list_rsp_s) == 1004);
static_assert(offsetof(fwupdate_fw_list_rsp_s, version) == 4);
static_assert(offsetof(fwupdate_fw_list_rsp_s, profile_name) == 36);
static_assert(offsetof(fwupdate_fw_list_rsp_s, data_len) == 100);
static_assert(offsetof(fwupdate_fw_list_rsp_s, data) == 104);

// 0x10007 request: image id (4 bytes, from a 976-byte buffer); response 976 bytes.
inline constexpr size_t FWUPDATE_STARTUP_TEXT_LEN = 903;
struct __attribute__((packed)) fwupdate_startup_verify_rsp_s {
    uint32_t rsvd;
    uint8_t digest[FWUPDATE_SHA512_LEN];
    uint32_t text_len;
    uint8_t status;
    char text[FWUPDATE_STARTUP_TEXT_LEN];
};
static_assert(sizeof(fwupdate_startup_verify_rsp_s) == 976);
static_assert(offsetof(fwupdate_startup_verify_rsp_s, digest) == 4);
static_assert(offsetof(fwupdate_startup_verify_rsp_s, text_len) == 68);
static_assert(offsetof(fwupdate_startup_verify_rsp_s, status) == 72);
static_assert(offsetof(fwupdate_startup_verify_rsp_s, text) == 73);

// 0x10008 request: 1 zero byte; response 512 bytes.
struct __attribute__((packed)) fwupdate_card_info_rsp_s {
    char sw_version[64];
    uint32_t board_id;
    uint8_t asic;
    uint8_t cpld_id;
    uint8_t cpld_image;
    uint8_t cpld_version;
    uint8_t cpld_minor_version;
    uint8_t date[5];
    uint8_t boot0_version;
    uint8_t fwupdate_ipc_version;
    uint8_t board_hw_fuse;
    uint32_t board_sigchk;
    char board_keyname[64];
    uint8_t board_secure_enable;
    uint8_t board_secure_boot;
    uint8_t bl1_slot_num;
    uint8_t bastion_slot_num;
    uint8_t life_cycle_state;
    uint64_t life_cycle_state_fuses;
    uint8_t rsvd[350];
};
static_assert(sizeof(fwupdate_card_info_rsp_s) == 512);
static_assert(offsetof(fwupdate_card_info_rsp_s, board_id) == 64);
static_assert(offsetof(fwupdate_card_info_rsp_s, asic) == 68);
static_assert(offsetof(fwupdate_card_info_rsp_s, cpld_id) == 69);
static_assert(offsetof(fwupdate_card_info_rsp_s, cpld_image) == 70);
static_assert(offsetof(fwupdate_card_info_rsp_s, cpld_version) == 71);
static_assert(offsetof(fwupdate_card_info_rsp_s, cpld_minor_version) == 72);
static_assert(offsetof(fwupdate_card_info_rsp_s, date) == 73);
static_assert(offsetof(fwupdate_card_info_rsp_s, boot0_version) == 78);
static_assert(offsetof(fwupdate_card_info_rsp_s, fwupdate_ipc_version) == 79);
static_assert(offsetof(fwupdate_card_info_rsp_s, board_hw_fuse) == 80);
static_assert(offsetof(fwupdate_card_info_rsp_s, board_sigchk) == 81);
static_assert(offsetof(fwupdate_card_info_rsp_s, board_keyname) == 85);
static_assert(offsetof(fwupdate_card_info_rsp_s, board_secure_enable) == 149);
static_assert(offsetof(fwupdate_card_info_rsp_s, board_secure_boot) == 150);
static_assert(offsetof(fwupdate_card_info_rsp_s, bl1_slot_num) == 151);
static_assert(offsetof(fwupdate_card_info_rsp_s, bastion_slot_num) == 152);
static_assert(offsetof(fwupdate_card_info_rsp_s, life_cycle_state) == 153);
static_assert(offsetof(fwupdate_card_info_rsp_s, life_cycle_state_fuses) == 154);
static_assert(offsetof(fwupdate_card_info_rsp_s, rsvd) == 162);

// 0x10009, 8 bytes; response: summary (byte 0 = entry count, up to 1016
// bytes) or one entry (116 bytes).
struct __attribute__((packed)) fwupdate_partition_info_req_s {
    uint8_t index;
    uint8_t rsvd[3];
    uint32_t detail;  // 0 summary, 1 the entry at index
};
static_assert(sizeof(fwupdate_partition_info_req_s) == 8);
static_assert(offsetof(fwupdate_partition_info_req_s, detail) == 4);
inline constexpr size_t FWUPDATE_PARTITION_SUMMARY_LEN = 1016;

struct __attribute__((packed)) fwupdate_partition_info_rsp_s {
    uint8_t rsvd;
    uint32_t id;
    uint32_t type_id;
    char id_name[16];
    char type_name[16];
    uint64_t partition_size;
    uint8_t slot_id;
    uint8_t is_running;
    uint8_t is_startup;
    char version[64];
};
static_assert(sizeof(fwupdate_partition_info_rsp_s) == 116);
static_assert(offsetof(fwupdate_partition_info_rsp_s, id) == 1);
static_assert(offsetof(fwupdate_partition_info_rsp_s, type_id) == 5);
static_assert(offsetof(fwupdate_partition_info_rsp_s, id_name) == 9);
static_assert(offsetof(fwupdate_partition_info_rsp_s, type_name) == 25);
static_assert(offsetof(fwupdate_partition_info_rsp_s, partition_size) == 41);
static_assert(offsetof(fwupdate_partition_info_rsp_s, slot_id) == 49);
static_assert(offsetof(fwupdate_partition_info_rsp_s, is_running) == 50);
static_assert(offsetof(fwupdate_partition_info_rsp_s, is_startup) == 51);
static_assert(offsetof(fwupdate_partition_info_rsp_s, version) == 52);

// 0x1000B, 904 bytes both ways; the response is not read.
struct __attribute__((packed)) fwupdate_secure_boot_update_req_s {
    uint32_t option;
    uint8_t rsvd[900];
};
static_assert(sizeof(fwupdate_secure_boot_update_req_s) == 904);

// 0x1000D, 136 bytes; response 4 bytes, not read.
struct __attribute__((packed)) fwupdate_secure_image_update_req_s {
    uint32_t type;
    uint32_t opcode;
    uint8_t rsvd[128];
};
static_assert(sizeof(fwupdate_secure_image_update_req_s) == 136);
static_assert(offsetof(fwupdate_secure_image_update_req_s, opcode) == 4);
inline constexpr size_t FWUPDATE_SECURE_IMAGE_UPDATE_RSP_LEN = 4;

// 0x1000C request: component (4 bytes); response 628 bytes, multi-byte
// fields at odd offsets.
inline constexpr size_t FWUPDATE_BL31_VERSION_LEN = 256;
struct __attribute__((packed)) fwupdate_secure_info_rsp_s {
    uint32_t status;
    uint64_t bl1_version;
    uint8_t bl1_ar_version;
    uint8_t lcs_boot_state;
    uint8_t lcs_next_state;
    uint64_t bl1_ar_nv_count;
    uint64_t bastionfw_version;
    uint8_t bastion_ar_version;
    uint64_t bastion_ar_nv_count;
    uint8_t secure_ipc_version;
    uint8_t next_boot_partition;
    uint8_t current_boot_partition;
    uint8_t rsvd0[72];
    char bl31_version[FWUPDATE_BL31_VERSION_LEN];
    uint32_t fuse;
    uint8_t bastion_enable;
    uint8_t bootloader1_current_fuse;
    uint8_t rsvd1[251];
};
static_assert(sizeof(fwupdate_secure_info_rsp_s) == 628);
static_assert(offsetof(fwupdate_secure_info_rsp_s, bl1_version) == 4);
static_assert(offsetof(fwupdate_secure_info_rsp_s, bl1_ar_version) == 12);
static_assert(offsetof(fwupdate_secure_info_rsp_s, lcs_boot_state) == 13);
static_assert(offsetof(fwupdate_secure_info_rsp_s, lcs_next_state) == 14);
static_assert(offsetof(fwupdate_secure_info_rsp_s, bl1_ar_nv_count) == 15);
static_assert(offsetof(fwupdate_secure_info_rsp_s, bastionfw_version) == 23);
static_assert(offsetof(fwupdate_secure_info_rsp_s, bastion_ar_version) == 31);
static_assert(offsetof(fwupdate_secure_info_rsp_s, bastion_ar_nv_count) == 32);
static_assert(offsetof(fwupdate_secure_info_rsp_s, secure_ipc_version) == 40);
static_assert(offsetof(fwupdate_secure_info_rsp_s, next_boot_partition) == 41);
static_assert(offsetof(fwupdate_secure_info_rsp_s, current_boot_partition) == 42);
static_assert(offsetof(fwupdate_secure_info_rsp_s, rsvd0) == 43);
static_assert(offsetof(fwupdate_secure_info_rsp_s, bl31_version) == 115);
static_assert(offsetof(fwupdate_secure_info_rsp_s, fuse) == 371);
static_assert(offsetof(fwupdate_secure_info_rsp_s, bastion_enable) == 375);
static_assert(offsetof(fwupdate_secure_info_rsp_s, bootloader1_current_fuse) == 376);
static_assert(offsetof(fwupdate_secure_info_rsp_s, rsvd1) == 377);

// 0x1000E request: partition (4 bytes, from a 912-byte buffer); response 912 bytes.
inline constexpr size_t FWUPDATE_SIGNED_DATA_LEN = 900;
struct __attribute__((packed)) fwupdate_signed_data_rsp_s {
    uint32_t rsvd0;
    uint32_t data_len;
    uint32_t rsvd1;
    char data[FWUPDATE_SIGNED_DATA_LEN];
};
static_assert(sizeof(fwupdate_signed_data_rsp_s) == 912);
static_assert(offsetof(fwupdate_signed_data_rsp_s, data_len) == 4);
static_assert(offsetof(fwupdate_signed_data_rsp_s, data) == 12);

// 0x10010: operation 3, partition, key length n, the key; sent length n + 80
// from a 1016-byte buffer; response 72 bytes, not read.
inline constexpr uint32_t FWUPDATE_VERIFY_SIGNATURE_OP = 3;
inline constexpr size_t FWUPDATE_VERIFY_SIGNATURE_BUF_LEN = 1016;
inline constexpr size_t FWUPDATE_VERIFY_SIGNATURE_OVERHEAD = 80;
inline constexpr size_t FWUPDATE_VERIFY_SIGNATURE_MAX_KEY =
    FWUPDATE_VERIFY_SIGNATURE_BUF_LEN - FWUPDATE_VERIFY_SIGNATURE_OVERHEAD;  // 936
inline constexpr size_t FWUPDATE_VERIFY_SIGNATURE_RSP_LEN = 72;
struct __attribute__((packed)) fwupdate_verify_signature_req_s {
    uint32_t op;
    uint32_t partition;
    uint32_t key_len;
    uint8_t key[];
};
static_assert(sizeof(fwupdate_verify_signature_req_s) == 12);
static_assert(offsetof(fwupdate_verify_signature_req_s, key) == 12);

// Largest message either way: a write chunk, a signature verification and
// the partition summary fill 1016 bytes.
inline constexpr size_t FWUPDATE_MAX_MSG_LEN = 1016;

// What the service's messages are: number, the short name the virtual card's
// fault strings use, the constant's name, the exact request length (0: the
// length follows from the content, a write chunk or a key) and the answer
// length. The partition information answer is one entry (116 bytes) or, for
// the summary request, FWUPDATE_PARTITION_SUMMARY_LEN bytes.
struct fwupdate_msg_def_s {
    uint32_t msg;
    const char *name;
    const char *const_name;
    size_t req_len;
    size_t rsp_len;
};

inline constexpr fwupdate_msg_def_s k_fwupdate_msgs[] = {
    {FWUPDATE_MSG_GET_RUNNING_IMAGE, "running-image", "FWUPDATE_MSG_GET_RUNNING_IMAGE",
     sizeof(fwupdate_running_image_req_s), sizeof(fwupdate_running_image_rsp_s)},
    {FWUPDATE_MSG_FLASH_ERASE, "erase", "FWUPDATE_MSG_FLASH_ERASE", sizeof(fwupdate_erase_req_s), 1},
    {FWUPDATE_MSG_FLASH_WRITE, "write", "FWUPDATE_MSG_FLASH_WRITE", 0, sizeof(fwupdate_write_rsp_s)},
    {FWUPDATE_MSG_SET_STARTUP_IMAGE, "set-startup", "FWUPDATE_MSG_SET_STARTUP_IMAGE",
     sizeof(fwupdate_set_startup_req_s), 1},
    {FWUPDATE_MSG_GET_CHECKSUM, "checksum", "FWUPDATE_MSG_GET_CHECKSUM", sizeof(fwupdate_checksum_req_s),
     sizeof(fwupdate_checksum_rsp_s)},
    {FWUPDATE_MSG_GET_FW_LIST, "fw-list", "FWUPDATE_MSG_GET_FW_LIST", sizeof(uint32_t), sizeof(fwupdate_fw_list_rsp_s)},
    {FWUPDATE_MSG_VERIFY_STARTUP_IMAGE, "verify-startup", "FWUPDATE_MSG_VERIFY_STARTUP_IMAGE", sizeof(uint32_t),
     sizeof(fwupdate_startup_verify_rsp_s)},
    {FWUPDATE_MSG_GET_CARD_INFO, "card-info", "FWUPDATE_MSG_GET_CARD_INFO", 1, sizeof(fwupdate_card_info_rsp_s)},
    {FWUPDATE_MSG_GET_PARTITION_INFO, "partition-info", "FWUPDATE_MSG_GET_PARTITION_INFO",
     sizeof(fwupdate_partition_info_req_s), sizeof(fwupdate_partition_info_rsp_s)},
    {FWUPDATE_MSG_FLASH_SECTOR_ERASE, "sector-erase", "FWUPDATE_MSG_FLASH_SECTOR_ERASE",
     sizeof(fwupdate_sector_erase_req_s), 1},
    {FWUPDATE_MSG_SECURE_BOOT_UPDATE, "secure-boot", "FWUPDATE_MSG_SECURE_BOOT_UPDATE",
     sizeof(fwupdate_secure_boot_update_req_s), sizeof(fwupdate_secure_boot_update_req_s)},
    {FWUPDATE_MSG_GET_SECURE_INFO, "secure-info", "FWUPDATE_MSG_GET_SECURE_INFO", sizeof(uint32_t),
     sizeof(fwupdate_secure_info_rsp_s)},
    {FWUPDATE_MSG_SECURE_IMAGE_UPDATE, "secure-image-update", "FWUPDATE_MSG_SECURE_IMAGE_UPDATE",
     sizeof(fwupdate_secure_image_update_req_s), FWUPDATE_SECURE_IMAGE_UPDATE_RSP_LEN},
    {FWUPDATE_MSG_GET_SIGNED_DATA, "signed-data", "FWUPDATE_MSG_GET_SIGNED_DATA", sizeof(uint32_t),
     sizeof(fwupdate_signed_data_rsp_s)},
    {FWUPDATE_MSG_VERIFY_SIGNATURE, "verify-signature", "FWUPDATE_MSG_VERIFY_SIGNATURE", 0,
     FWUPDATE_VERIFY_SIGNATURE_RSP_LEN},
};

// Lengths of a message, 0 for one the service does not know. (No pointer
// comparison: gcc 12 with UBSan rejects it in a constant expression.)
constexpr size_t fwupdate_req_len(uint32_t msg) {
    for (const fwupdate_msg_def_s &def : k_fwupdate_msgs) {
        if (def.msg == msg) {
            return def.req_len;
        }
    }
    return 0;
}
constexpr size_t fwupdate_rsp_len(uint32_t msg) {
    for (const fwupdate_msg_def_s &def : k_fwupdate_msgs) {
        if (def.msg == msg) {
            return def.rsp_len;
        }
    }
    return 0;
}

// SPDX-License-Identifier: Apache-2.0
// Remote flash client: operations on the card's flash, each one or more
// requests to the card's firmware update service.
#pragma once

#include <cstdint>
#include <string>

#include "rfc_types.h"

// printf-style trace callback; the client always passes its timestamp text as
// the first format argument.
using rfc_trace_cb_t = int (*)(void *ctxt, int level, const char *fmt, ...);

inline constexpr unsigned RFC_BDF_LEN = 33;
inline constexpr unsigned RFC_PATH_LEN = 4096;
inline constexpr unsigned RFC_FILE_PATH_LEN = 128;  // output file paths are cut at 127 characters

struct rfc_init_params_s {
    char bdf[RFC_BDF_LEN];
    char scratch_dir[RFC_PATH_LEN];
    int32_t trace_level;
    rfc_trace_cb_t trace_cb;
    void *trace_cb_ctxt;
};

// Card identity as rfc_card_info_get delivers it to a caller's record.
struct rfc_card_info_s {
    std::string life_cycle_state;
    std::string asic;
    std::string cpld_image;
    std::string sw_version;
    std::string board_keyname;
    std::string spare_text;
    std::string secure_life_cycle_state;
    std::string board_id;
    uint8_t cpld_id;
    uint8_t board_secure_boot;
    uint8_t board_hw_fuse;
    uint8_t board_sigchk;
    uint8_t boot0_version;
    uint64_t life_cycle_state_fuses;
    uint8_t board_secure_enable;
    uint8_t cpld_version;
    uint8_t cpld_minor_version;
    uint8_t bl1_slot_num;
    uint8_t bastion_slot_num;
};

// Client results that recur across operations.
inline constexpr int RFC_OK = 0;
inline constexpr int RFC_EINVAL = 2;     // argument refused before any exchange
inline constexpr int RFC_ESECTOR = 5;    // a sector refused by the card
inline constexpr int RFC_ETIMEOUT = 39;  // stopped by the caller's timeout flag
inline constexpr int RFC_EFILE = 51;     // a file cannot be opened
inline constexpr int RFC_EFAIL = 255;    // general failure, also a failed device open

int rfc_init(rfc_init_params_s *params);
int rfc_cleanup();

// Front-end name catalogue (word -> number, number -> client name).
flash_partition_e rfc_partition_from_name(const char *name);
const char *rfc_partition_name(uint32_t partition);
secure_image_type_e rfc_secure_type_from_name(const char *word);
fwupdate_image_type_e rfc_image_type_from_name(const char *word);
firmware_image_type_e rfc_firmware_image_from_name(const char *word);
secure_boot_option_e rfc_secure_boot_option_from_name(const char *word);
// 0 when the word begins with none of the operation keywords.
uint32_t rfc_secure_update_opcode_from_name(const char *word);
const char *rfc_secure_type_label(uint32_t type);

// Erase.
int rfc_flash_erase(flash_partition_e partition, uint64_t size, const char *bdf, const bool &timeout);
int rfc_flash_sector_erase(flash_partition_e partition, uint64_t size, const char *bdf);

// Install.
// The CPLD group (cpld, cpld-g, ufm1, ufm2) is programmed in rows of
// RFC_CPLD_ROW bytes: its images are a whole number of rows, and each
// install is followed by a verify pass over the same bytes.
inline constexpr uint64_t RFC_CPLD_ROW = 16;
bool rfc_partition_is_cpld_group(uint32_t partition);
// Whether path is an image the install can read: RFC_OK with its size,
// RFC_EFILE when it cannot be opened, RFC_EINVAL when it is neither a regular
// file nor a block device (a FIFO, a directory). Opens without blocking and
// reports nothing, so a front end can check the image before it takes the
// card; the install itself makes the same checks with its messages.
[[nodiscard]] int rfc_image_check(const char *path, uint64_t *size);
int rfc_flash_write(flash_partition_e partition, const char *image_path, const char *bdf, const bool &timeout);
int rfc_flash_write_helper(uint32_t partition, const char *image_path, int verify, const char *bdf,
                           const bool *timeout);
// The same install from an image already open: exactly size bytes from
// offset 0 of image_fd (read by position, the descriptor's offset is left
// alone), so that what is sent is what the caller measured and hashed from
// that descriptor, whatever happens to the file's path meanwhile. A file
// that no longer holds size bytes fails with "failed to read data".
int rfc_flash_write_fd(flash_partition_e partition, int image_fd, uint64_t size, const char *bdf, const bool &timeout);

// Verification.
int rfc_verify_checksum(flash_partition_e partition, const char *image_path, const char *hash, const char *bdf,
                        const bool &timeout);
int rfc_validate_startup_image(flash_partition_e partition, const char *bdf);

// Boot selection and listings.
int rfc_firmware_type(fwupdate_image_type_e type, const char *bdf);
int rfc_set_startup_image(firmware_image_type_e image, const char *bdf);
int rfc_partition_metadata(flash_partition_e partition, const char *bdf);
int rfc_partition_info(const char *bdf, flash_partition_e partition, bool &found);

// Card information.
int rfc_card_info_get(const char *bdf, const char *file_name, rfc_card_info_s *info);

// Secure boot.
int rfc_secure_boot_update(secure_boot_option_e option, const char *bdf);
int rfc_secure_image_info_update(secure_image_type_e type, secure_image_update_opcode_e opcode, const char *bdf);
int rfc_secure_image_info(const char *name, secure_image_type_e type, const char *bdf);

// Signed metadata and signature verification.
int rfc_partition_signed_metadata(flash_partition_e partition, const char *bdf);
int rfc_image_signature_verify(flash_partition_e partition, const char *bdf);

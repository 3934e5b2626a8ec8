// SPDX-License-Identifier: Apache-2.0
// Numbers the remote flash client and the card's firmware update service
// share: partitions, image and component kinds, trace levels.
#pragma once

#include <cstdint>

#include "flash-update/logging/trace_level.h"

// Partition number, sent to the card as the image id of a request.
enum flash_partition_e : uint32_t {
    FLASH_PARTITION_BOOT0 = 0,
    FLASH_PARTITION_A35_BL1_0 = 1,
    FLASH_PARTITION_A35_BL1_1 = 2,
    FLASH_PARTITION_A35_GOLDFIP = 3,
    FLASH_PARTITION_UBOOT_A = 4,
    FLASH_PARTITION_UBOOT_B = 5,
    FLASH_PARTITION_FW_A = 6,
    FLASH_PARTITION_FW_B = 7,
    FLASH_PARTITION_DTB = 8,
    FLASH_PARTITION_DTB_B = 9,
    FLASH_PARTITION_A35_GOLDUBOOT = 10,
    FLASH_PARTITION_FW_CFG = 11,
    FLASH_PARTITION_FW_CFG_B = 12,
    FLASH_PARTITION_BASTIONFW_0 = 13,
    FLASH_PARTITION_BASTIONFW_1 = 14,
    FLASH_PARTITION_SOFTROM_0 = 15,
    FLASH_PARTITION_SOFTROM_1 = 16,
    FLASH_PARTITION_CPLD = 17,
    FLASH_PARTITION_CPLD_G = 18,
    FLASH_PARTITION_UFM1 = 19,
    FLASH_PARTITION_UFM2 = 20,
    FLASH_PARTITION_OPROM = 21,
    FLASH_PARTITION_UNKNOWN = 22,
    FLASH_PARTITION_BOOT_FAULT_LOG = 23,
    FLASH_PARTITION_RUNTIME_LOG = 24,
    FLASH_PARTITION_COREDUMP = 25,
    FLASH_PARTITION_ALL = 26,  // unknown name, and "all partitions" for the listing
};

// --get-firmware-image: which image to ask about.
enum fwupdate_image_type_e : uint32_t {
    FWUPDATE_IMAGE_RUNNING = 0,
    FWUPDATE_IMAGE_STARTUP = 1,
    FWUPDATE_IMAGE_INVALID = 2,
};

// The card's firmware images.
enum firmware_image_type_e : uint32_t {
    FIRMWARE_IMAGE_FW_A = 0,
    FIRMWARE_IMAGE_FW_B = 1,
    FIRMWARE_IMAGE_A35_GOLDFW = 2,
    FIRMWARE_IMAGE_INVALID = 3,
};

enum secure_boot_option_e : uint32_t {
    SECURE_BOOT_ENABLE = 1,
    SECURE_BOOT_DISABLE = 2,
    SECURE_BOOT_INVALID = 4,
};

enum secure_image_type_e : uint32_t {
    SECURE_IMAGE_NONE = 0,
    SECURE_IMAGE_LCS = 1,
    SECURE_IMAGE_BL1 = 2,
    SECURE_IMAGE_BL31 = 3,
    SECURE_IMAGE_BASTION = 4,
};

enum secure_image_update_opcode_e : uint32_t {
    SECURE_UPDATE_BOOT_ALT_PARTITION = 1,
    SECURE_UPDATE_SET_AR_COUNTER = 2,
    SECURE_UPDATE_SET_PRODUCTION = 3,
};

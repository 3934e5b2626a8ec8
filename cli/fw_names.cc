// SPDX-License-Identifier: Apache-2.0
// Firmware name catalogue: the words users type for partitions, secure-boot
// components and command arguments, and the numbers the card knows them by.
//
// Every parser compares whole words, case-sensitively; a word that matches
// nothing gets the enumeration's catch-all value.
#include <cstring>

#include "rfc.h"

namespace {

template <typename E>
struct word_s {
    const char *word;
    E value;
};

// Exact lookup of word in table, fallback when absent (a null word included).
template <typename E, size_t N>
E lookup(const word_s<E> (&table)[N], const char *word, E fallback) {
    if (word == nullptr) {
        return fallback;
    }
    for (const word_s<E> &entry : table) {
        if (strcmp(entry.word, word) == 0) {
            return entry.value;
        }
    }
    return fallback;
}

// Partition names accepted on the command line. No word gives 22; the two
// log partitions are typed with hyphens although the client's own names for
// them use underscores.
constexpr word_s<flash_partition_e> k_partition_words[] = {
    {"boot0", FLASH_PARTITION_BOOT0},
    {"a35-bl1-0", FLASH_PARTITION_A35_BL1_0},
    {"a35-bl1-1", FLASH_PARTITION_A35_BL1_1},
    {"a35-goldfip", FLASH_PARTITION_A35_GOLDFIP},
    {"uboot-a", FLASH_PARTITION_UBOOT_A},
    {"uboot-b", FLASH_PARTITION_UBOOT_B},
    {"fw-a", FLASH_PARTITION_FW_A},
    {"fw-b", FLASH_PARTITION_FW_B},
    {"dtb", FLASH_PARTITION_DTB},
    {"dtb-b", FLASH_PARTITION_DTB_B},
    {"a35-golduboot", FLASH_PARTITION_A35_GOLDUBOOT},
    {"fw_cfg", FLASH_PARTITION_FW_CFG},
    {"fw_cfg-b", FLASH_PARTITION_FW_CFG_B},
    {"bastionfw-0", FLASH_PARTITION_BASTIONFW_0},
    {"bastionfw-1", FLASH_PARTITION_BASTIONFW_1},
    {"softrom-0", FLASH_PARTITION_SOFTROM_0},
    {"softrom-1", FLASH_PARTITION_SOFTROM_1},
    {"cpld", FLASH_PARTITION_CPLD},
    {"cpld-g", FLASH_PARTITION_CPLD_G},
    {"ufm1", FLASH_PARTITION_UFM1},
    {"ufm2", FLASH_PARTITION_UFM2},
    {"oprom", FLASH_PARTITION_OPROM},
    {"boot-fault-log", FLASH_PARTITION_BOOT_FAULT_LOG},
    {"runtime-log", FLASH_PARTITION_RUNTIME_LOG},
    {"coredump", FLASH_PARTITION_COREDUMP},
};

// Names the client uses in file names and messages, indexed by partition.
constexpr const char *k_partition_names[] = {
    "boot0",       "a35-bl1-0", "a35-bl1-1",      "a35-goldfip",   "uboot-a",  "uboot-b",  "fw-a",
    "fw-b",        "dtb",       "dtb-b",          "a35-golduboot", "fw_cfg",   "fw_cfg-b", "bastionfw-0",
    "bastionfw-1", "softrom-0", "softrom-1",      "cpld",          "cpld-g",   "ufm1",     "ufm2",
    "oprom",       "unknown",   "boot_fault_log", "runtime_log",   "coredump",
};
static_assert(sizeof(k_partition_names) / sizeof(k_partition_names[0]) == FLASH_PARTITION_ALL);

constexpr word_s<secure_image_type_e> k_secure_type_words[] = {
    {"lcs", SECURE_IMAGE_LCS},
    {"bl1", SECURE_IMAGE_BL1},
    {"bl31", SECURE_IMAGE_BL31},
    {"bastion", SECURE_IMAGE_BASTION},
};

constexpr word_s<fwupdate_image_type_e> k_image_type_words[] = {
    {"running", FWUPDATE_IMAGE_RUNNING},
    {"startup", FWUPDATE_IMAGE_STARTUP},
};

constexpr word_s<firmware_image_type_e> k_firmware_image_words[] = {
    {"fw-a", FIRMWARE_IMAGE_FW_A},
    {"fw-b", FIRMWARE_IMAGE_FW_B},
    {"a35-goldfw", FIRMWARE_IMAGE_A35_GOLDFW},
};

constexpr word_s<secure_boot_option_e> k_secure_boot_words[] = {
    {"enable", SECURE_BOOT_ENABLE},
    {"disable", SECURE_BOOT_DISABLE},
};

// Operation keywords are matched as prefixes of the argument, in this order.
constexpr word_s<secure_image_update_opcode_e> k_secure_update_keywords[] = {
    {"boot-alt-partition", SECURE_UPDATE_BOOT_ALT_PARTITION},
    {"set-ar-counter", SECURE_UPDATE_SET_AR_COUNTER},
    {"set-production", SECURE_UPDATE_SET_PRODUCTION},
};

}  // namespace

flash_partition_e rfc_partition_from_name(const char *name) {
    return lookup(k_partition_words, name, FLASH_PARTITION_ALL);
}

const char *rfc_partition_name(uint32_t partition) {
    if (partition >= FLASH_PARTITION_ALL) {
        return "unknown";
    }
    return k_partition_names[partition];
}

secure_image_type_e rfc_secure_type_from_name(const char *word) {
    return lookup(k_secure_type_words, word, SECURE_IMAGE_NONE);
}

fwupdate_image_type_e rfc_image_type_from_name(const char *word) {
    return lookup(k_image_type_words, word, FWUPDATE_IMAGE_INVALID);
}

firmware_image_type_e rfc_firmware_image_from_name(const char *word) {
    return lookup(k_firmware_image_words, word, FIRMWARE_IMAGE_INVALID);
}

secure_boot_option_e rfc_secure_boot_option_from_name(const char *word) {
    return lookup(k_secure_boot_words, word, SECURE_BOOT_INVALID);
}

uint32_t rfc_secure_update_opcode_from_name(const char *word) {
    if (word == nullptr) {
        return 0;
    }
    for (const auto &keyword : k_secure_update_keywords) {
        if (strncmp(word, keyword.word, strlen(keyword.word)) == 0) {
            return keyword.value;
        }
    }
    return 0;
}

const char *rfc_secure_type_label(uint32_t type) {
    switch (type) {
        case SECURE_IMAGE_LCS:
            return "lcs";
        case SECURE_IMAGE_BL1:
            return "bl1";
        case SECURE_IMAGE_BL31:
            return "bl31";
        case SECURE_IMAGE_BASTION:
            return "bastion";
        default:
            return "unknown";
    }
}

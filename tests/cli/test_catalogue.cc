// SPDX-License-Identifier: Apache-2.0
// Word tables: every name both ways, and the words that must not match.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>

#include "rfc.h"

namespace {

struct partition_row_s {
    uint32_t value;
    const char *command_line;  // nullptr: no word gives this value
    const char *client_name;
};

// Value, the word typed on the command line, the name the client writes.
const partition_row_s k_partitions[] = {
    {0, "boot0", "boot0"},
    {1, "a35-bl1-0", "a35-bl1-0"},
    {2, "a35-bl1-1", "a35-bl1-1"},
    {3, "a35-goldfip", "a35-goldfip"},
    {4, "uboot-a", "uboot-a"},
    {5, "uboot-b", "uboot-b"},
    {6, "fw-a", "fw-a"},
    {7, "fw-b", "fw-b"},
    {8, "dtb", "dtb"},
    {9, "dtb-b", "dtb-b"},
    {10, "a35-golduboot", "a35-golduboot"},
    {11, "fw_cfg", "fw_cfg"},
    {12, "fw_cfg-b", "fw_cfg-b"},
    {13, "bastionfw-0", "bastionfw-0"},
    {14, "bastionfw-1", "bastionfw-1"},
    {15, "softrom-0", "softrom-0"},
    {16, "softrom-1", "softrom-1"},
    {17, "cpld", "cpld"},
    {18, "cpld-g", "cpld-g"},
    {19, "ufm1", "ufm1"},
    {20, "ufm2", "ufm2"},
    {21, "oprom", "oprom"},
    {22, nullptr, "unknown"},
    {23, "boot-fault-log", "boot_fault_log"},
    {24, "runtime-log", "runtime_log"},
    {25, "coredump", "coredump"},
    {26, nullptr, "unknown"},
};

TEST(PartitionCatalogue, EveryNameBothWays) {
    for (const partition_row_s &row : k_partitions) {
        SCOPED_TRACE(row.value);
        EXPECT_STREQ(rfc_partition_name(row.value), row.client_name);
        if (row.command_line != nullptr) {
            EXPECT_EQ(rfc_partition_from_name(row.command_line), row.value);
        }
    }
}

TEST(PartitionCatalogue, UnknownWordsGiveAllPartitions) {
    const char *const unknown[] = {
        "FW-A",
        "fw-a ",
        " fw-a",
        "boot",
        "boot00",
        "",
        "boot_fault_log",
        "runtime_log",
        "unknown",
        // Listed in the usage text, but not partitions the card knows by these words.
        "a35-goldfw",
        "goldfw",
        "mainfwa",
        "mainfwb",
        "n1-boot0",
        "n1-kernel-g",
        "n1-uboot-a",
        "n1-uboot-b",
        "n1-uboot-g",
    };
    for (const char *word : unknown) {
        EXPECT_EQ(rfc_partition_from_name(word), FLASH_PARTITION_ALL) << '"' << word << '"';
    }
    EXPECT_EQ(rfc_partition_from_name(nullptr), FLASH_PARTITION_ALL);
}

TEST(PartitionCatalogue, NoWordNamesTwentyTwo) {
    std::set<uint32_t> reached;
    for (const partition_row_s &row : k_partitions) {
        if (row.command_line != nullptr) {
            reached.insert(rfc_partition_from_name(row.command_line));
        }
    }
    EXPECT_EQ(reached.size(), 25u);
    EXPECT_EQ(reached.count(FLASH_PARTITION_UNKNOWN), 0u);
}

TEST(PartitionCatalogue, ValuesPastTheTableAreUnknown) {
    for (const uint32_t value : {27u, 100u, 1000u, 0x80000000u, 0xffffffffu}) {
        EXPECT_STREQ(rfc_partition_name(value), "unknown") << value;
    }
}

TEST(SecureComponentCatalogue, WordsAndLabels) {
    const struct {
        const char *word;
        uint32_t value;
        const char *label;
    } rows[] = {
        {"lcs", 1, "lcs"},
        {"bl1", 2, "bl1"},
        {"bl31", 3, "bl31"},
        {"bastion", 4, "bastion"},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(rfc_secure_type_from_name(row.word), row.value) << row.word;
        EXPECT_STREQ(rfc_secure_type_label(row.value), row.label);
    }
    for (const char *word : {"", "bl3", "BL1", "bl1 ", "bastionfw-0", "lcs1"}) {
        EXPECT_EQ(rfc_secure_type_from_name(word), SECURE_IMAGE_NONE) << '"' << word << '"';
    }
    for (const uint32_t value : {0u, 5u, 1000u}) {
        EXPECT_STREQ(rfc_secure_type_label(value), "unknown") << value;
    }
}

TEST(ArgumentWords, ImageTypes) {
    EXPECT_EQ(rfc_image_type_from_name("running"), FWUPDATE_IMAGE_RUNNING);
    EXPECT_EQ(rfc_image_type_from_name("startup"), FWUPDATE_IMAGE_STARTUP);
    for (const char *word : {"n1-startup", "", "Running", "startup "}) {
        EXPECT_EQ(rfc_image_type_from_name(word), FWUPDATE_IMAGE_INVALID) << '"' << word << '"';
    }
}

TEST(ArgumentWords, StartupImages) {
    EXPECT_EQ(rfc_firmware_image_from_name("fw-a"), FIRMWARE_IMAGE_FW_A);
    EXPECT_EQ(rfc_firmware_image_from_name("fw-b"), FIRMWARE_IMAGE_FW_B);
    // Meaningful here although it names no partition.
    EXPECT_EQ(rfc_firmware_image_from_name("a35-goldfw"), FIRMWARE_IMAGE_A35_GOLDFW);
    EXPECT_EQ(rfc_partition_from_name("a35-goldfw"), FLASH_PARTITION_ALL);
    for (const char *word : {"goldfw", "", "fw-c", "a35-goldfip"}) {
        EXPECT_EQ(rfc_firmware_image_from_name(word), FIRMWARE_IMAGE_INVALID) << '"' << word << '"';
    }
}

TEST(ArgumentWords, SecureBootOptions) {
    EXPECT_EQ(rfc_secure_boot_option_from_name("enable"), SECURE_BOOT_ENABLE);
    EXPECT_EQ(rfc_secure_boot_option_from_name("disable"), SECURE_BOOT_DISABLE);
    for (const char *word : {"", "enabled", "Enable", "on"}) {
        EXPECT_EQ(rfc_secure_boot_option_from_name(word), SECURE_BOOT_INVALID) << '"' << word << '"';
    }
}

TEST(ArgumentWords, SecureUpdateOperationsMatchByPrefix) {
    const struct {
        const char *word;
        uint32_t opcode;
    } rows[] = {
        {"boot-alt-partition", 1},
        {"boot-alt-partitionX", 1},
        {"set-ar-counter", 2},
        {"set-ar-counter=5", 2},
        {"set-production", 3},
        {"set-productions", 3},
        // Shorter than a keyword, or differing inside it: no operation.
        {"boot-alt-partitio", 0},
        {"set-ar", 0},
        {"Set-production", 0},
        {"enable", 0},
        {"", 0},
        {" boot-alt-partition", 0},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(rfc_secure_update_opcode_from_name(row.word), row.opcode) << '"' << row.word << '"';
    }
}

}  // namespace

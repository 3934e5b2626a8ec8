// SPDX-License-Identifier: Apache-2.0
// Typed reads: the card's answers decoded into records, with nothing printed
// and no file written. One table per record family against a canned card,
// whose answers carry the odd bytes (unterminated texts, stated lengths past
// their areas, fields of older layouts) that the decoding must bound.
#include <cstring>
#include <filesystem>

#include "info_fixture.h"
#include "rfc_reads.h"

namespace {

class ReadsTest : public ClientInfoTest {
  protected:
    // A fresh client and canned card for the next row of a table.
    void serve(const std::vector<canned_reply_s> &replies) {
        TearDown();
        SetUp();
        start_canned(replies);
    }
    // Nothing reached standard output and no file appeared.
    void expect_no_presentation(const std::string &out) {
        EXPECT_EQ(out, "");
        EXPECT_TRUE(std::filesystem::is_empty(card_dir_));
    }
};

template <typename T>
canned_reply_s answer(const T &rec, uint32_t rsp_errno = 0) {
    return {rsp_errno, bytes_of_record(rec), false};
}

TEST_F(ReadsTest, CardIdentityOfEachLayout) {
    struct row_s {
        uint8_t ipc_version;
        const char *keyname;
        uint32_t sigchk;
        uint8_t secure_boot;
        uint8_t bl1_slot;
        const char *life_cycle_name;
        uint64_t fuses;
    };
    const row_s rows[] = {
        {5, "prod", 0x1234, 1, 1, "rip", 0x1f},
        {4, "prod", 0x1234, 1, 3, "disabled", 0},  // slots and life cycle came later
        {1, "none", 0, 0, 3, "disabled", 0},       // so did key, signature check and secure boot
    };
    for (const row_s &row : rows) {
        fwupdate_card_info_rsp_s rsp{};
        memset(rsp.sw_version, 'v', sizeof(rsp.sw_version));  // no terminator
        rsp.board_id = 0x10042;
        rsp.asic = 4;
        rsp.cpld_image = 1;
        const uint8_t date[5] = {0x30, 0x14, 0x25, 0x12, 0x24};
        memcpy(rsp.date, date, sizeof(date));
        rsp.fwupdate_ipc_version = row.ipc_version;
        rsp.board_sigchk = 0x1234;
        memcpy(rsp.board_keyname, "prod", 4);
        rsp.board_secure_boot = 1;
        rsp.bl1_slot_num = 1;
        rsp.life_cycle_state = 4;
        rsp.life_cycle_state_fuses = 0x1f;
        serve({answer(rsp)});
        rfc_card_identity_s id;
        const std::string out = stdout_of([&] { EXPECT_EQ(rfc_read_card_identity(bdf_, &id), RFC_OK); });
        SCOPED_TRACE(static_cast<int>(row.ipc_version));
        EXPECT_EQ(id.ipc_version, row.ipc_version);
        EXPECT_EQ(id.sw_version, std::string(64, 'v'));
        EXPECT_EQ(id.board_id, 0x10042u);
        EXPECT_EQ(id.asic, "larch");
        EXPECT_TRUE(id.cpld_gold);
        EXPECT_EQ(id.date, "12-25-24 14:30");
        EXPECT_EQ(id.board_keyname, row.keyname);
        EXPECT_EQ(id.board_sigchk, row.sigchk);
        EXPECT_EQ(id.board_secure_boot, row.secure_boot);
        EXPECT_EQ(id.bl1_slot_num, row.bl1_slot);
        EXPECT_EQ(id.life_cycle_name, row.life_cycle_name);
        EXPECT_EQ(id.life_cycle_state_fuses, row.fuses);
        expect_no_presentation(out);
    }
}

fwupdate_partition_info_rsp_s entry_answer(uint32_t id, const char *name, uint8_t running) {
    fwupdate_partition_info_rsp_s rsp{};
    rsp.id = id;
    rsp.type_id = 4;
    memcpy(rsp.id_name, name, strnlen(name, sizeof(rsp.id_name)));
    memset(rsp.type_name, 't', sizeof(rsp.type_name));  // no terminator
    rsp.partition_size = 0x2000000;
    rsp.slot_id = 1;
    rsp.is_running = running;
    memcpy(rsp.version, "2.14.0-E-42", 11);
    return rsp;
}

TEST_F(ReadsTest, PartitionTableSummaryThenEveryEntry) {
    std::vector<uint8_t> summary(FWUPDATE_PARTITION_SUMMARY_LEN, 0);
    summary[0] = 2;
    struct row_s {
        std::vector<canned_reply_s> replies;
        int result;
        size_t entries;  // in the table after the read
        size_t requests;
    };
    const row_s rows[] = {
        {{{0, summary}, answer(entry_answer(6, "fw-a", 2)), answer(entry_answer(7, "fw-b-16-chars-xx", 0))},
         RFC_OK,
         2,
         3},
        // A table cut short by a refused entry is no table.
        {{{0, summary}, answer(entry_answer(6, "fw-a", 1)), answer(entry_answer(7, "fw-b", 0), 22)}, RFC_EFAIL, 0, 3},
        // A refused summary hands back the exchange's result.
        {{{22, summary}}, static_cast<int>(FWUPDATE_PARTITION_SUMMARY_LEN), 0, 1},
    };
    for (const row_s &row : rows) {
        serve(row.replies);
        std::vector<rfc_partition_s> table;
        const std::string out = stdout_of([&] { EXPECT_EQ(rfc_read_partition_table(bdf_, &table), row.result); });
        ASSERT_EQ(table.size(), row.entries);
        EXPECT_EQ(requests().size(), row.requests);
        expect_no_presentation(out);
        if (row.entries == 0) {
            continue;
        }
        const auto reqs = requests();
        EXPECT_EQ(hex_of(reqs[0].bytes), "0000000000000000");
        EXPECT_EQ(hex_of(reqs[2].bytes), "0100000001000000");
        EXPECT_EQ(table[0].id, 6u);
        EXPECT_EQ(table[0].name, "fw-a");
        EXPECT_EQ(table[0].type_name, std::string(16, 't'));
        EXPECT_EQ(table[0].size, 0x2000000u);
        EXPECT_EQ(table[0].slot, 1);
        EXPECT_TRUE(table[0].running);
        EXPECT_FALSE(table[0].startup);
        EXPECT_EQ(table[0].version, "2.14.0-E-42");
        EXPECT_EQ(table[1].name, "fw-b-16-chars-xx");
        EXPECT_FALSE(table[1].running);
    }
}

TEST_F(ReadsTest, FirmwareListAndProfile) {
    struct row_s {
        flash_partition_e partition;
        uint32_t answered_id;
        uint32_t data_len;
        bool has_profile;
        size_t data_size;
    };
    const row_s rows[] = {
        {FLASH_PARTITION_FW_A, FLASH_PARTITION_FW_A, 5, false, 5},
        {FLASH_PARTITION_FW_A, FLASH_PARTITION_FW_A, 5000, false, FWUPDATE_FW_LIST_DATA_LEN},  // bounded
        {FLASH_PARTITION_DTB, FLASH_PARTITION_DTB, 0, true, 0},
        {FLASH_PARTITION_FW_A, FLASH_PARTITION_FW_CFG_B, 0, true, 0},  // the answer decides
    };
    for (const row_s &row : rows) {
        fwupdate_fw_list_rsp_s rsp{};
        rsp.image_id = row.answered_id;
        memcpy(rsp.version, "1.2.3", 5);
        memset(rsp.profile_name, 'p', sizeof(rsp.profile_name));  // no terminator
        rsp.data_len = row.data_len;
        memset(rsp.data, 'd', sizeof(rsp.data));
        serve({answer(rsp)});
        rfc_fw_list_s list;
        const std::string out = stdout_of([&] { EXPECT_EQ(rfc_read_fw_list(row.partition, bdf_, &list), RFC_OK); });
        EXPECT_EQ(hex_of(requests().at(0).bytes), hex_of(le32(row.partition)));
        EXPECT_EQ(list.image_id, row.answered_id);
        EXPECT_EQ(list.has_profile, row.has_profile);
        EXPECT_EQ(list.version, "1.2.3");
        EXPECT_EQ(list.profile_name, std::string(64, 'p'));
        EXPECT_EQ(list.data, std::string(row.data_size, 'd'));
        expect_no_presentation(out);
    }
}

TEST_F(ReadsTest, SecureInfoOfEachComponent) {
    struct row_s {
        secure_image_type_e type;
        uint32_t status;  // the card's command status
        uint32_t rsp_errno;
        int result;
        size_t requests;
    };
    const row_s rows[] = {
        {SECURE_IMAGE_BL1, 0, 0, RFC_OK, 1},
        {SECURE_IMAGE_LCS, 0, 0, RFC_OK, 1},
        {SECURE_IMAGE_BL31, 7, 0, 7, 1},             // the command status is the result
        {SECURE_IMAGE_BASTION, 0, 5, RFC_EFAIL, 1},  // a zero command status never reads as success
        {SECURE_IMAGE_NONE, 0, 0, RFC_EINVAL, 0},
    };
    for (const row_s &row : rows) {
        fwupdate_secure_info_rsp_s rsp{};
        rsp.status = row.status;
        rsp.bl1_version = 0x0102030405060708;
        rsp.bastion_ar_nv_count = 9;
        rsp.current_boot_partition = 1;
        memset(rsp.bl31_version, 'b', sizeof(rsp.bl31_version));  // no terminator
        rsp.fuse = 0xabcd;
        rsp.lcs_boot_state = 3;
        serve({answer(rsp, row.rsp_errno)});
        rfc_secure_info_s info;
        const std::string out = stdout_of([&] { EXPECT_EQ(rfc_read_secure_info(row.type, bdf_, &info), row.result); });
        ASSERT_EQ(requests().size(), row.requests);
        expect_no_presentation(out);
        if (row.result != RFC_OK) {
            EXPECT_EQ(info.bl1_version, 0u);
            continue;
        }
        EXPECT_EQ(hex_of(requests()[0].bytes), hex_of(le32(row.type)));
        EXPECT_EQ(info.bl1_version, 0x0102030405060708u);
        EXPECT_EQ(info.bastion_ar_nv_count, 9u);
        EXPECT_EQ(info.current_boot_partition, 1);
        EXPECT_EQ(info.bl31_version, std::string(FWUPDATE_BL31_VERSION_LEN, 'b'));
        EXPECT_EQ(info.fuse, 0xabcdu);
        EXPECT_EQ(info.lcs_boot_state, 3);
    }
}

TEST_F(ReadsTest, SignedMetadataAndItsKeyName) {
    struct row_s {
        flash_partition_e partition;
        const char *json;
        uint32_t data_len;
        int result;
        bool has_key;
        const char *key_or_error;
    };
    const row_s rows[] = {
        {FLASH_PARTITION_FW_B, "{\"key_name\": \"prod\"}", 20, RFC_OK, true, "prod"},
        // The stated length cuts the text, even inside the JSON.
        {FLASH_PARTITION_A35_BL1_0, "{\"key_name\": \"eng\"}", 5, RFC_OK, false,
         "<unspecified file>(1): unterminated string"},
        {FLASH_PARTITION_BASTIONFW_1, "{\"other\": 1}", 12, RFC_OK, false, "no key_name"},
        {FLASH_PARTITION_UBOOT_A, "", 0, RFC_EINVAL, false, ""},
    };
    for (const row_s &row : rows) {
        fwupdate_signed_data_rsp_s rsp{};
        rsp.data_len = row.data_len;
        memcpy(rsp.data, row.json, strlen(row.json));
        serve({answer(rsp)});
        std::string text;
        const std::string out =
            stdout_of([&] { EXPECT_EQ(rfc_read_signed_metadata(row.partition, bdf_, &text), row.result); });
        expect_no_presentation(out);
        EXPECT_EQ(rfc_partition_is_signed(row.partition), row.result != RFC_EINVAL);
        if (row.result != RFC_OK) {
            EXPECT_TRUE(requests().empty());
            continue;
        }
        EXPECT_EQ(text, std::string(row.json, row.data_len));
        std::string key;
        std::string error;
        EXPECT_EQ(rfc_metadata_key_name(text, &key, &error), row.has_key);
        EXPECT_EQ(row.has_key ? key : error, row.key_or_error);
    }
}

TEST_F(ReadsTest, RunningAndStartupImage) {
    struct row_s {
        fwupdate_image_type_e which;
        uint32_t rsp_errno;
        int result;
        firmware_image_type_e image;
        size_t requests;
    };
    const row_s rows[] = {
        {FWUPDATE_IMAGE_RUNNING, 0, RFC_OK, FIRMWARE_IMAGE_FW_B, 1},
        {FWUPDATE_IMAGE_STARTUP, 0, RFC_OK, FIRMWARE_IMAGE_FW_B, 1},
        {FWUPDATE_IMAGE_RUNNING, 22, RFC_EFAIL, FIRMWARE_IMAGE_INVALID, 1},
        {FWUPDATE_IMAGE_INVALID, 0, RFC_EINVAL, FIRMWARE_IMAGE_INVALID, 0},
    };
    for (const row_s &row : rows) {
        serve({{row.rsp_errno, le32(FIRMWARE_IMAGE_FW_B), false}});
        firmware_image_type_e image = FIRMWARE_IMAGE_INVALID;
        const std::string out =
            stdout_of([&] { EXPECT_EQ(rfc_read_firmware_image(row.which, bdf_, &image), row.result); });
        EXPECT_EQ(image, row.image);
        ASSERT_EQ(requests().size(), row.requests);
        if (row.requests > 0) {
            EXPECT_EQ(hex_of(requests()[0].bytes), hex_of(le32(row.which)));
        }
        expect_no_presentation(out);
    }
}

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// Running/startup image, boot selection, firmware lists and the partition table.
#include "info_fixture.h"
#include "test_support.h"

namespace {

using BootTest = ClientInfoTest;

const std::string k_dashes(140, '-');
const std::string k_table_header =
    "Id         Name                 Type       Type Name  Size       Slot       Running    Startup    "
    "Version                                           \n";
const std::string k_boot0_line =
    "id: 0  id_name:boot0                 type_id:0   type_name:boot        partition_size:100000 slot_id:0  "
    "is_running:0   is_startup:0  version:boot0-1.2.0         \n";
const std::string k_bl1_line =
    "id: 1  id_name:a35-bl1-0             type_id:1   type_name:bl1         partition_size:40000 slot_id:0  "
    "is_running:0   is_startup:0  version:bl1-2.3.1           \n";
const std::string k_boot0_row =
    "0          boot0                0          boot       100000     0          N          N          "
    "boot0-1.2.0                                       \n";
const std::string k_bl1_row =
    "1          a35-bl1-0            1          bl1        40000      0          N          N          "
    "bl1-2.3.1                                         \n";

// ---- rfc_firmware_type --------------------------------------------------------

struct firmware_type_case_s {
    fwupdate_image_type_e type;
    int expected;
};

TEST_F(BootTest, FirmwareTypeReportsWhatTheCardHolds) {
    start_card({}, "running_fw=2\nstartup_fw=1\n");
    for (const auto &c : {firmware_type_case_s{FWUPDATE_IMAGE_RUNNING, 2}, {FWUPDATE_IMAGE_STARTUP, 1}}) {
        EXPECT_EQ(rfc_firmware_type(c.type, bdf_), c.expected) << c.type;
    }
    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].endpoint, IPC_EP_FWUPDATE);
    EXPECT_EQ(reqs[0].msg, FWUPDATE_MSG_GET_RUNNING_IMAGE);
    EXPECT_EQ(hex_of(reqs[0].bytes), "00000000");
    EXPECT_EQ(hex_of(reqs[1].bytes), "01000000");
    EXPECT_TRUE(texts(TRACE_LEVEL_ERROR).empty());
}

TEST_F(BootTest, FirmwareTypeRefusesTheInvalidTypeWithoutTheCard) {
    start_card();
    EXPECT_EQ(rfc_firmware_type(FWUPDATE_IMAGE_INVALID, bdf_), 3);
    EXPECT_TRUE(requests().empty());
    EXPECT_TRUE(messages().empty());
}

TEST_F(BootTest, FirmwareTypeFailures) {
    struct failure_case_s {
        std::string fault;
        std::string message;
    };
    for (const auto &c : {failure_case_s{"running-image:status-word=5", "ipc err 5, ipc ret 4"},
                          {"running-image:no-answer", "ipc err 0, ipc ret -1"},
                          {"running-image:rsp-len=0", "ipc err 0, ipc ret 0"}}) {
        SCOPED_TRACE(c.fault);
        TearDown();
        SetUp();
        start_card({c.fault});
        EXPECT_EQ(rfc_firmware_type(FWUPDATE_IMAGE_RUNNING, bdf_), 3);
        EXPECT_EQ(texts(TRACE_LEVEL_ERROR), std::vector<std::string>{"Failed to get running image, " + c.message});
    }
}

TEST_F(BootTest, FirmwareTypeWithoutCardIsThree) {
    no_card();
    EXPECT_EQ(rfc_firmware_type(FWUPDATE_IMAGE_STARTUP, bdf_), 3);
}

// ---- rfc_set_startup_image ----------------------------------------------------

TEST_F(BootTest, SetStartupImageSelectsTheNextImage) {
    start_card();
    EXPECT_EQ(rfc_set_startup_image(FIRMWARE_IMAGE_FW_B, bdf_), 0);
    EXPECT_EQ(rfc_firmware_type(FWUPDATE_IMAGE_STARTUP, bdf_), 1);
    EXPECT_EQ(rfc_firmware_type(FWUPDATE_IMAGE_RUNNING, bdf_), 0);

    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[0].msg, FWUPDATE_MSG_SET_STARTUP_IMAGE);
    EXPECT_EQ(hex_of(reqs[0].bytes), "01000000");
    EXPECT_EQ(texts(TRACE_LEVEL_DEBUG), (std::vector<std::string>{"sending ipc for setting boot options, image 1",
                                                                  "setting boot options completed"}));
}

TEST_F(BootTest, SetStartupImageRefusesImageThree) {
    start_card();
    EXPECT_EQ(rfc_set_startup_image(FIRMWARE_IMAGE_INVALID, bdf_), 255);
    EXPECT_EQ(texts(TRACE_LEVEL_ERROR), std::vector<std::string>{"firmware type is invalid 3\n"});
    EXPECT_TRUE(requests().empty());
}

TEST_F(BootTest, SetStartupImageFailuresReturnTheExchangeResult) {
    struct failure_case_s {
        std::string fault;
        int result;
        std::string message;
    };
    // A card that answers with no bytes and status 0 must not read as success.
    for (const auto &c : {failure_case_s{"set-startup:status-word=5", 1, "ipc err 5, ipc ret 1"},
                          {"set-startup:no-answer", -1, "ipc err 0, ipc ret -1"},
                          {"set-startup:rsp-len=0", 255, "ipc err 0, ipc ret 0"}}) {
        SCOPED_TRACE(c.fault);
        TearDown();
        SetUp();
        start_card({c.fault});
        EXPECT_EQ(rfc_set_startup_image(FIRMWARE_IMAGE_A35_GOLDFW, bdf_), c.result);
        EXPECT_EQ(texts(TRACE_LEVEL_ERROR), std::vector<std::string>{"failed to set boot options, " + c.message});
    }
}

TEST_F(BootTest, SetStartupImageWithoutCard) {
    no_card();
    EXPECT_EQ(rfc_set_startup_image(FIRMWARE_IMAGE_FW_A, bdf_), 255);
}

// ---- rfc_partition_metadata -----------------------------------------------------

TEST_F(BootTest, FirmwareListOfDeviceTreeIsJson) {
    start_card();
    EXPECT_EQ(rfc_partition_metadata(FLASH_PARTITION_DTB, bdf_), 0);
    std::string text;
    ASSERT_TRUE(scratch_read("dtb.txt", text));
    EXPECT_EQ(text, "{\n\"profile_name\": \"larch-ref-dual-100g\",\n\"version\": \"dtb-1.6.0\"\n}\n");
    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].msg, FWUPDATE_MSG_GET_FW_LIST);
    EXPECT_EQ(hex_of(reqs[0].bytes), "08000000");
}

TEST_F(BootTest, FirmwareListIsTheRawData) {
    struct list_case_s {
        flash_partition_e partition;
        std::string file;
        std::string content;
    };
    start_card();
    for (const auto &c :
         {list_case_s{FLASH_PARTITION_FW_A, "fw-a.txt", "image: fw-a\nversion: 2.14.0-E-42\nsize: 0\nslot: 0\n"},
          {FLASH_PARTITION_BOOT_FAULT_LOG, "boot_fault_log.txt",
           "image: boot_fault_log\nversion: log-1\nsize: 0\nslot: 0\n"}}) {
        EXPECT_EQ(rfc_partition_metadata(c.partition, bdf_), 0);
        std::string text;
        ASSERT_TRUE(scratch_read(c.file, text)) << c.file;
        EXPECT_EQ(text, c.content);
    }
}

TEST_F(BootTest, FirmwareListDataLengthIsBoundedToTheDataArea) {
    start_card({"fw-list:text-len=5000"});
    EXPECT_EQ(rfc_partition_metadata(FLASH_PARTITION_FW_B, bdf_), 0);
    std::string text;
    ASSERT_TRUE(scratch_read("fw-b.txt", text));
    const std::string listed = "image: fw-b\nversion: 2.13.2-E-17\nsize: 0\nslot: 1\n";
    EXPECT_EQ(text, listed + std::string(900 - listed.size(), '\0'));
}

TEST_F(BootTest, FirmwareListOfLengthZeroIsAnEmptyFile) {
    start_card({"fw-list:text-len=0"});
    EXPECT_EQ(rfc_partition_metadata(FLASH_PARTITION_FW_A, bdf_), 0);
    std::string text = "x";
    ASSERT_TRUE(scratch_read("fw-a.txt", text));
    EXPECT_EQ(text, "");
}

TEST_F(BootTest, FirmwareListTextsWithoutTerminatorEndAtTheirFields) {
    start_card({"fw-list:no-nul"});
    EXPECT_EQ(rfc_partition_metadata(FLASH_PARTITION_FW_CFG, bdf_), 0);
    std::string text;
    ASSERT_TRUE(scratch_read("fw_cfg.txt", text));
    const std::string profile = "larch-ref-dual-100g";
    const std::string version = "cfg-3.1.0";
    EXPECT_EQ(text, "{\n\"profile_name\": \"" + test_support::field_filled(profile, 64) + "\",\n\"version\": \"" +
                        test_support::field_filled(version, 32) + "\"\n}\n");
}

TEST_F(BootTest, FirmwareListForAllPartitionsIsNamedUnknown) {
    // The virtual card knows no partition 26; this card answers it.
    fwupdate_fw_list_rsp_s rsp{};
    rsp.image_id = FLASH_PARTITION_ALL;
    rsp.data_len = 3;
    memcpy(rsp.data, "abc", 3);
    start_canned({{0, bytes_of_record(rsp)}});
    EXPECT_EQ(rfc_partition_metadata(FLASH_PARTITION_ALL, bdf_), 0);
    std::string text;
    ASSERT_TRUE(scratch_read("unknown.txt", text));
    EXPECT_EQ(text, "abc");
    EXPECT_EQ(hex_of(requests().at(0).bytes), "1a000000");
}

TEST_F(BootTest, FirmwareListFailures) {
    struct failure_case_s {
        std::vector<std::string> faults;
        flash_partition_e partition;
        int result;
        std::string message;
    };
    for (const auto &c : {
             failure_case_s{{"fw-list:status-word=5"},
                            FLASH_PARTITION_FW_A,
                            1004,
                            "failed to read fw list for fw-a, ipc err 5, ipc ret 1004"},
             // The card refuses partition 26 with a status word and a zeroed
             // answer of the full length: the result is the received length.
             {{}, FLASH_PARTITION_ALL, 1004, "failed to read fw list for unknown, ipc err 2, ipc ret 1004"},
             // An exchange that delivered nothing with status word 0.
             {{"fw-list:rsp-len=0"}, FLASH_PARTITION_DTB, 255, "failed to read fw list for dtb, ipc err 0, ipc ret 0"},
             {{"fw-list:no-answer"}, FLASH_PARTITION_DTB, -1, "failed to read fw list for dtb, ipc err 0, ipc ret -1"},
         }) {
        SCOPED_TRACE(c.message);
        TearDown();
        SetUp();
        start_card(c.faults);
        EXPECT_EQ(rfc_partition_metadata(c.partition, bdf_), c.result);
        EXPECT_EQ(texts(TRACE_LEVEL_ERROR), std::vector<std::string>{c.message});
        EXPECT_FALSE(scratch_exists(std::string(rfc_partition_name(c.partition)) + ".txt"));
    }
}

TEST_F(BootTest, FirmwareListFileThatCannotBeOpened) {
    start_card();
    remove_scratch_dir();
    EXPECT_EQ(rfc_partition_metadata(FLASH_PARTITION_FW_A, bdf_), 51);
    EXPECT_EQ(texts(TRACE_LEVEL_ERROR), std::vector<std::string>{"Failed to open file " + scratch_path("fw-a.txt")});
}

TEST_F(BootTest, FirmwareListWithoutCard) {
    no_card();
    EXPECT_EQ(rfc_partition_metadata(FLASH_PARTITION_FW_A, bdf_), 255);
}

// ---- rfc_partition_info -----------------------------------------------------------

TEST_F(BootTest, PartitionTableForAllPartitions) {
    start_card({"partition-info@1:count=2"});
    bool found = false;
    int result = -1;
    const std::string out = stdout_of([&] { result = rfc_partition_info(bdf_, FLASH_PARTITION_ALL, found); });
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(found);
    std::string text;
    ASSERT_TRUE(scratch_read("partition_info.txt", text));
    EXPECT_EQ(text, k_boot0_line + k_bl1_line);
    EXPECT_EQ(out, k_dashes + "\n" + k_table_header + k_dashes + "\n" + k_boot0_row + k_bl1_row);

    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 3u);
    for (const auto &r : reqs) {
        EXPECT_EQ(r.msg, FWUPDATE_MSG_GET_PARTITION_INFO);
    }
    EXPECT_EQ(hex_of(reqs[0].bytes), "0000000000000000");
    EXPECT_EQ(hex_of(reqs[1].bytes), "0000000001000000");
    EXPECT_EQ(hex_of(reqs[2].bytes), "0100000001000000");
}

TEST_F(BootTest, PartitionTableMarksRunningAndStartupImages) {
    start_card({}, "running_fw=0\nstartup_fw=1\n");
    bool found = false;
    const std::string out = stdout_of([&] { EXPECT_EQ(rfc_partition_info(bdf_, FLASH_PARTITION_ALL, found), 0); });
    std::string text;
    ASSERT_TRUE(scratch_read("partition_info.txt", text));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 25);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 28);
    EXPECT_NE(out.find("\n6          fw-a                 4          firmware   2000000    0          Y          N"),
              std::string::npos);
    EXPECT_NE(out.find("\n7          fw-b                 4          firmware   2000000    1          N          Y"),
              std::string::npos);
    EXPECT_NE(text.find("is_running:1   is_startup:0  version:2.14.0-E-42"), std::string::npos);
}

TEST_F(BootTest, PartitionLookupSetsFoundAndPrintsNothing) {
    start_card();
    bool found = false;
    const std::string out = stdout_of([&] { EXPECT_EQ(rfc_partition_info(bdf_, FLASH_PARTITION_FW_A, found), 0); });
    EXPECT_TRUE(found);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(scratch_exists("partition_info.txt"));

    // Partition 22 exists nowhere: found keeps the caller's value.
    found = false;
    EXPECT_EQ(rfc_partition_info(bdf_, FLASH_PARTITION_UNKNOWN, found), 0);
    EXPECT_FALSE(found);
}

TEST_F(BootTest, PartitionTableWithNoEntries) {
    start_card({"partition-info:count=0"});
    bool found = false;
    const std::string out = stdout_of([&] { EXPECT_EQ(rfc_partition_info(bdf_, FLASH_PARTITION_ALL, found), 0); });
    EXPECT_EQ(out, "");
    std::string text = "x";
    ASSERT_TRUE(scratch_read("partition_info.txt", text));
    EXPECT_EQ(text, "");
    EXPECT_EQ(requests().size(), 1u);
}

TEST_F(BootTest, PartitionTableEntryFailureKeepsTheLinesWritten) {
    start_card({"partition-info@1:count=3", "partition-info@3:status-word=5"});
    bool found = false;
    const std::string out = stdout_of([&] { EXPECT_EQ(rfc_partition_info(bdf_, FLASH_PARTITION_ALL, found), 255); });
    EXPECT_EQ(out, "");
    std::string text;
    ASSERT_TRUE(scratch_read("partition_info.txt", text));
    EXPECT_EQ(text, k_boot0_line);
    EXPECT_EQ(texts(TRACE_LEVEL_ERROR), std::vector<std::string>{"failed in ipc send err 5, ret 116"});
    EXPECT_EQ(requests().size(), 3u);
}

TEST_F(BootTest, PartitionSummaryFailures) {
    struct failure_case_s {
        std::string fault;
        int result;
        std::string message;
    };
    for (const auto &c : {failure_case_s{"partition-info@1:status-word=5", 1016, "failed in ipc send err 5, ret 1016"},
                          {"partition-info@1:rsp-len=0", 255, "failed in ipc send err 0, ret 0"},
                          {"partition-info@1:no-answer", -1, "failed in ipc send err 0, ret -1"}}) {
        SCOPED_TRACE(c.fault);
        TearDown();
        SetUp();
        start_card({c.fault});
        bool found = false;
        EXPECT_EQ(rfc_partition_info(bdf_, FLASH_PARTITION_ALL, found), c.result);
        EXPECT_EQ(texts(TRACE_LEVEL_ERROR), std::vector<std::string>{c.message});
        EXPECT_FALSE(scratch_exists("partition_info.txt"));
    }
}

TEST_F(BootTest, PartitionTableFileThatCannotBeOpened) {
    start_card();
    remove_scratch_dir();
    bool found = false;
    EXPECT_EQ(rfc_partition_info(bdf_, FLASH_PARTITION_ALL, found), 51);
    EXPECT_EQ(texts(TRACE_LEVEL_ERROR),
              std::vector<std::string>{"Failed to open file " + scratch_path("partition_info.txt")});
    EXPECT_EQ(requests().size(), 1u);
}

TEST_F(BootTest, PartitionRecordsThatCannotBeAllocated) {
    start_card();
    bool found = false;
    fail_next_nothrow_array_new();
    EXPECT_EQ(rfc_partition_info(bdf_, FLASH_PARTITION_ALL, found), 255);
    EXPECT_EQ(texts(TRACE_LEVEL_ERROR), std::vector<std::string>{"failed to allocate 25 partition records"});
    EXPECT_FALSE(scratch_exists("partition_info.txt"));
}

TEST_F(BootTest, PartitionTableWithoutCard) {
    no_card();
    bool found = false;
    EXPECT_EQ(rfc_partition_info(bdf_, FLASH_PARTITION_ALL, found), 255);
}

TEST_F(BootTest, PartitionFlagsAndUnterminatedTexts) {
    // Running flag 2 is "Y" in the table and 2 in the file; names that fill
    // their fields end at the field.
    fwupdate_partition_info_rsp_s entry{};
    entry.id = 6;
    entry.type_id = 4;
    memcpy(entry.id_name, "fw-a-with-16char", 16);
    memcpy(entry.type_name, "firmware-16chars", 16);
    entry.partition_size = 0x2000000;
    entry.slot_id = 0;
    entry.is_running = 2;
    entry.is_startup = 0;
    memset(entry.version, 'v', sizeof(entry.version));
    std::vector<uint8_t> summary(FWUPDATE_PARTITION_SUMMARY_LEN, 0);
    summary[0] = 1;
    start_canned({{0, summary}, {0, bytes_of_record(entry)}});

    bool found = false;
    const std::string out = stdout_of([&] { EXPECT_EQ(rfc_partition_info(bdf_, FLASH_PARTITION_ALL, found), 0); });
    const std::string version(64, 'v');
    std::string text;
    ASSERT_TRUE(scratch_read("partition_info.txt", text));
    EXPECT_EQ(text,
              "id: 6  id_name:fw-a-with-16char      type_id:4   type_name:firmware-16chars  "
              "partition_size:2000000 slot_id:0  is_running:2   is_startup:0  version:" +
                  version + "\n");
    EXPECT_EQ(out, k_dashes + "\n" + k_table_header + k_dashes + "\n" +
                       "6          fw-a-with-16char     4          firmware-16chars 2000000    0          Y          "
                       "N          " +
                       version + "\n");
}

TEST_F(BootTest, PartitionNamesFromTheVirtualCardWithoutTerminator) {
    start_card({"partition-info@1:count=1", "partition-info:no-nul"});
    bool found = false;
    EXPECT_EQ(rfc_partition_info(bdf_, FLASH_PARTITION_BOOT0, found), 0);
    EXPECT_TRUE(found);
    std::string text;
    ASSERT_TRUE(scratch_read("partition_info.txt", text));
    EXPECT_EQ(text,
              "id: 0  id_name:boot0boot0boot0b      type_id:0   type_name:bootbootbootboot  "
              "partition_size:100000 slot_id:0  is_running:0   is_startup:0  version:" +
                  test_support::field_filled("boot0-1.2.0", 64) + "\n");
}

}  // namespace

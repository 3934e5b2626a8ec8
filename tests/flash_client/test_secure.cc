// SPDX-License-Identifier: Apache-2.0
// Secure boot: switching it, updating a component, reporting a component.
#include <cerrno>

#include "info_fixture.h"
#include "test_support.h"

namespace {

using SecureTest = ClientInfoTest;

const std::string k_bl1_doc =
    "{\n"
    "\"secure_ipc_version\": \"2\",\n"
    "\"current_boot_partition\": \"0\",\n"
    "\"next_boot_partition\": \"0\",\n"
    "\"bl1_ar_nv_count\": \"2\",\n"
    "\"bl1_ar_version\": \"3\",\n"
    "\"bl1_version\": \"2199073587456\"\n"
    "}\n";

// ---- rfc_secure_boot_update ---------------------------------------------------

TEST_F(SecureTest, SecureBootEnableAndDisable) {
    start_card();
    EXPECT_EQ(rfc_secure_boot_update(SECURE_BOOT_ENABLE, bdf_), 0);
    rfc_card_info_s info{};
    ASSERT_EQ(rfc_card_info_get(bdf_, nullptr, &info), 0);
    EXPECT_EQ(info.board_secure_boot, 1);
    EXPECT_EQ(rfc_secure_boot_update(SECURE_BOOT_DISABLE, bdf_), 0);
    ASSERT_EQ(rfc_card_info_get(bdf_, nullptr, &info), 0);
    EXPECT_EQ(info.board_secure_boot, 0);

    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 4u);
    EXPECT_EQ(reqs[0].msg, FWUPDATE_MSG_SECURE_BOOT_UPDATE);
    EXPECT_EQ(reqs[0].bytes, concat({le32(1), std::vector<uint8_t>(900, 0)}));
    EXPECT_EQ(reqs[2].bytes, concat({le32(2), std::vector<uint8_t>(900, 0)}));
    EXPECT_TRUE(texts(TRACE_LEVEL_ERROR).empty());
}

TEST_F(SecureTest, SecureBootInvalidOptionNeverReachesTheCard) {
    start_card();
    EXPECT_EQ(rfc_secure_boot_update(SECURE_BOOT_INVALID, bdf_), -1);
    EXPECT_EQ(texts(TRACE_LEVEL_ERROR), std::vector<std::string>{"Invalid secure boot update option"});
    EXPECT_TRUE(requests().empty());
}

TEST_F(SecureTest, SecureBootFailures) {
    struct failure_case_s {
        std::vector<std::string> faults;
        uint32_t option;
        std::string message;
    };
    for (const auto &c : {
             // Option 3 goes to the card unchanged; the card refuses it with
             // its whole answer, zeroed.
             failure_case_s{{}, 3, "Failed to update secure boot option, err 22, status code 904 "},
             {{"secure-boot:status-word=1"},
              SECURE_BOOT_ENABLE,
              "Failed to update secure boot option, err 1, status code 904 "},
             {{"secure-boot:no-answer"},
              SECURE_BOOT_ENABLE,
              "Failed to update secure boot option, err 0, status code -1 Input/output error"},
         }) {
        SCOPED_TRACE(c.message);
        TearDown();
        SetUp();
        start_card(c.faults);
        EXPECT_EQ(rfc_secure_boot_update(static_cast<secure_boot_option_e>(c.option), bdf_), 255);
        const auto errors = texts(TRACE_LEVEL_ERROR);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].rfind(c.message, 0), 0u) << errors[0];
        EXPECT_EQ(hex_of(requests().at(0).bytes).substr(0, 8), hex_of(le32(c.option)));
    }
}

TEST_F(SecureTest, SecureBootWithoutCard) {
    no_card();
    EXPECT_EQ(rfc_secure_boot_update(SECURE_BOOT_ENABLE, bdf_), 255);
}

// ---- rfc_secure_image_info_update -----------------------------------------------

TEST_F(SecureTest, ComponentUpdatesChangeWhatTheCardReports) {
    start_card();
    EXPECT_EQ(rfc_secure_image_info_update(SECURE_IMAGE_BL1, SECURE_UPDATE_BOOT_ALT_PARTITION, bdf_), 0);
    EXPECT_EQ(rfc_secure_image_info_update(SECURE_IMAGE_LCS, SECURE_UPDATE_SET_PRODUCTION, bdf_), 0);
    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].msg, FWUPDATE_MSG_SECURE_IMAGE_UPDATE);
    EXPECT_EQ(reqs[0].bytes, concat({le32(2), le32(1), std::vector<uint8_t>(128, 0)}));
    EXPECT_EQ(reqs[1].bytes, concat({le32(1), le32(3), std::vector<uint8_t>(128, 0)}));

    EXPECT_EQ(rfc_secure_image_info("secure_info_bl1", SECURE_IMAGE_BL1, bdf_), 0);
    std::string text;
    ASSERT_TRUE(scratch_read("secure_info_bl1.txt", text));
    EXPECT_NE(text.find("\"next_boot_partition\": \"1\",\n"), std::string::npos) << text;
    EXPECT_EQ(rfc_secure_image_info("secure_info_lcs", SECURE_IMAGE_LCS, bdf_), 0);
    ASSERT_TRUE(scratch_read("secure_info_lcs.txt", text));
    EXPECT_NE(text.find("\"lcs_boot_state\": \"open\",\n\"lcs_next_state\": \"prod\"\n"), std::string::npos) << text;
}

TEST_F(SecureTest, ComponentUpdateRefusesComponentZero) {
    start_card();
    EXPECT_EQ(rfc_secure_image_info_update(SECURE_IMAGE_NONE, SECURE_UPDATE_SET_AR_COUNTER, bdf_), 2);
    EXPECT_EQ(texts(TRACE_LEVEL_ERROR), std::vector<std::string>{"Invalid secure image type 0"});
    EXPECT_TRUE(requests().empty());
}

TEST_F(SecureTest, ComponentUpdateFailures) {
    struct failure_case_s {
        std::vector<std::string> faults;
        secure_image_type_e type;
        secure_image_update_opcode_e opcode;
        std::string message;
    };
    const std::string text = "Failed in ipc send to update partition num for secure image, ";
    for (const auto &c : {
             // The card refuses the pairing with its 4-byte answer, zeroed.
             failure_case_s{{}, SECURE_IMAGE_LCS, SECURE_UPDATE_BOOT_ALT_PARTITION, text + "err 22, status code 4, "},
             // An exchange that delivered nothing with status word 0.
             {{"secure-image-update:rsp-len=0"},
              SECURE_IMAGE_BL1,
              SECURE_UPDATE_SET_AR_COUNTER,
              text + "err 0, status code 0, "},
             {{"secure-image-update:no-answer"},
              SECURE_IMAGE_BASTION,
              SECURE_UPDATE_SET_AR_COUNTER,
              text + "err 0, status code -1, Input/output error"},
         }) {
        SCOPED_TRACE(c.message);
        TearDown();
        SetUp();
        start_card(c.faults);
        EXPECT_EQ(rfc_secure_image_info_update(c.type, c.opcode, bdf_), 255);
        const auto errors = texts(TRACE_LEVEL_ERROR);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].rfind(c.message, 0), 0u) << errors[0];
    }
}

TEST_F(SecureTest, ComponentUpdateWithoutCard) {
    no_card();
    EXPECT_EQ(rfc_secure_image_info_update(SECURE_IMAGE_BL1, SECURE_UPDATE_SET_AR_COUNTER, bdf_), 255);
}

// ---- rfc_secure_image_info -----------------------------------------------------

TEST_F(SecureTest, ComponentDocuments) {
    struct doc_case_s {
        secure_image_type_e type;
        std::string name;
        std::string doc;
    };
    start_card();
    for (const auto &c : {
             doc_case_s{SECURE_IMAGE_BL1, "secure_info_bl1", k_bl1_doc},
             {SECURE_IMAGE_BASTION, "secure_info_bastion",
              "{\n"
              "\"secure_ipc_version\": \"2\",\n"
              "\"current_boot_partition\": \"0\",\n"
              "\"next_boot_partition\": \"0\",\n"
              "\"bastionfw_version\": \"1099662623232\",\n"
              "\"bastion_ar_nv_count\": \"5\",\n"
              "\"bastion_ar_version\": \"6\"\n"
              "}\n"},
             {SECURE_IMAGE_BL31, "secure_info_bl31",
              "{\n"
              "\"secure_ipc_version\": \"2\",\n"
              "\"bl31 version\": \"v2.8(release):larch-2.8.1-g4c1d2e3\"\n"
              "}\n"},
             {SECURE_IMAGE_LCS, "secure_info_lcs",
              "{\n"
              "\"secure_ipc_version\": \"2\",\n"
              "\"fuse\": \"0x10\",\n"
              "\"bootloader1_current_fuse\": \"0x0\",\n"
              "\"bastion_enable\": \"0x0\",\n"
              "\"lcs_boot_state\": \"open\",\n"
              "\"lcs_next_state\": \"open\"\n"
              "}\n"},
         }) {
        EXPECT_EQ(rfc_secure_image_info(c.name.c_str(), c.type, bdf_), 0);
        std::string text;
        ASSERT_TRUE(scratch_read(c.name + ".txt", text)) << c.name;
        EXPECT_EQ(text, c.doc);
    }
    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 4u);
    EXPECT_EQ(reqs[0].msg, FWUPDATE_MSG_GET_SECURE_INFO);
    EXPECT_EQ(hex_of(reqs[0].bytes), "02000000");
    EXPECT_EQ(hex_of(reqs[3].bytes), "01000000");
    EXPECT_TRUE(messages().empty());
}

TEST_F(SecureTest, LifeCycleStatesAndFuses) {
    // Boot state 5 has no name; with nothing blown the fuse word is 0x0.
    start_card({}, "lcs_boot_state=5\nlife_cycle=0\nsecure_boot=0\n");
    EXPECT_EQ(rfc_secure_image_info("lcs", SECURE_IMAGE_LCS, bdf_), 0);
    std::string text;
    ASSERT_TRUE(scratch_read("lcs.txt", text));
    EXPECT_EQ(text,
              "{\n"
              "\"secure_ipc_version\": \"2\",\n"
              "\"fuse\": \"0x0\",\n"
              "\"bootloader1_current_fuse\": \"0x0\",\n"
              "\"bastion_enable\": \"0x0\",\n"
              "\"lcs_boot_state\": \"unknown\",\n"
              "\"lcs_next_state\": \"disabled\"\n"
              "}\n");
}

TEST_F(SecureTest, UnsupportedComponentTheCardAccepts) {
    fwupdate_secure_info_rsp_s rsp{};
    rsp.secure_ipc_version = 9;
    start_canned({{0, bytes_of_record(rsp)}});
    EXPECT_EQ(rfc_secure_image_info("secure_info_unknown", static_cast<secure_image_type_e>(5), bdf_), 0);
    std::string text;
    ASSERT_TRUE(scratch_read("secure_info_unknown.txt", text));
    EXPECT_EQ(text, "{\n\"secure_ipc_version\": \"9\",\n}\n");
    EXPECT_EQ(texts(TRACE_LEVEL_ERROR), std::vector<std::string>{"Image type is not supported 5"});
    EXPECT_EQ(hex_of(requests().at(0).bytes), "05000000");
}

TEST_F(SecureTest, ComponentZeroIsRefused) {
    start_card();
    EXPECT_EQ(rfc_secure_image_info("secure_info_unknown", SECURE_IMAGE_NONE, bdf_), 2);
    EXPECT_EQ(texts(TRACE_LEVEL_ERROR), std::vector<std::string>{"Invalid secure image type 0"});
    EXPECT_TRUE(requests().empty());
    EXPECT_FALSE(scratch_exists("secure_info_unknown.txt"));
}

TEST_F(SecureTest, SecureInfoFailuresReturnTheCommandStatus) {
    struct failure_case_s {
        std::vector<std::string> faults;
        int result;
        std::string head;  // the message up to the errno text
        std::string tail;  // the message after it
        secure_image_type_e type = SECURE_IMAGE_BL1;
    };
    const std::string text = "Failed in ipc send to get secure info, ";
    for (const auto &c : {
             failure_case_s{{"secure-info:status=7"}, 7, text + "err 0, status code 628, ", " cmd rsp 7"},
             // A failed exchange whose status word reads 0 must not read as success.
             {{"secure-info:status-word=5"}, 255, text + "err 5, status code 628, ", " cmd rsp 0"},
             // A component the card refuses: its answer carries the error in
             // the command status too.
             {{}, EINVAL, text + "err 22, status code 628, ", " cmd rsp 22", static_cast<secure_image_type_e>(5)},
             {{"secure-info:rsp-len=0"}, 2, text + "err 0, status code 0, ", " cmd rsp 2"},
             // Nothing came back: the word still holds the component sent.
             {{"secure-info:no-answer"}, 2, text + "err 0, status code -1, Input/output error", " cmd rsp 2"},
         }) {
        SCOPED_TRACE(c.head + c.tail);
        TearDown();
        SetUp();
        start_card(c.faults);
        EXPECT_EQ(rfc_secure_image_info("secure_info_bl1", c.type, bdf_), c.result);
        const auto errors = texts(TRACE_LEVEL_ERROR);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].rfind(c.head, 0), 0u) << errors[0];
        EXPECT_EQ(errors[0].substr(errors[0].size() - c.tail.size()), c.tail) << errors[0];
        EXPECT_FALSE(scratch_exists("secure_info_bl1.txt"));
    }
}

TEST_F(SecureTest, SecureInfoFileThatCannotBeOpened) {
    start_card();
    remove_scratch_dir();
    EXPECT_EQ(rfc_secure_image_info("secure_info_bl1", SECURE_IMAGE_BL1, bdf_), 51);
    EXPECT_EQ(texts(TRACE_LEVEL_ERROR),
              std::vector<std::string>{"Failed to open file " + scratch_path("secure_info_bl1.txt")});
}

TEST_F(SecureTest, LongNameIsCutAt127Characters) {
    start_card();
    const std::string name(200, 'n');
    EXPECT_EQ(rfc_secure_image_info(name.c_str(), SECURE_IMAGE_BL1, bdf_), 0);
    const std::string cut = name.substr(0, 127 - card_dir_.size());
    std::string text;
    ASSERT_TRUE(scratch_read(cut, text));
    EXPECT_EQ(text, k_bl1_doc);
}

TEST_F(SecureTest, Bl31VersionWithoutTerminatorEndsAtItsField) {
    start_card({"secure-info:no-nul"});
    EXPECT_EQ(rfc_secure_image_info("bl31", SECURE_IMAGE_BL31, bdf_), 0);
    std::string text;
    ASSERT_TRUE(scratch_read("bl31.txt", text));
    const std::string version = "v2.8(release):larch-2.8.1-g4c1d2e3";
    EXPECT_EQ(text, "{\n\"secure_ipc_version\": \"2\",\n\"bl31 version\": \"" +
                        test_support::field_filled(version, 256) + "\"\n}\n");
}

TEST_F(SecureTest, SecureInfoWithoutCard) {
    no_card();
    EXPECT_EQ(rfc_secure_image_info("secure_info_bl1", SECURE_IMAGE_BL1, bdf_), 255);
}

}  // namespace

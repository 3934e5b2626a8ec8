// SPDX-License-Identifier: Apache-2.0
// Card information: the JSON document, the caller's record, the layout
// versions of older services and the failure paths.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>

#include "info_fixture.h"
#include "test_support.h"

namespace {

using CardInfoTest = ClientInfoTest;

const std::string k_head =
    "{\n"
    "\"fwupdate_ipc_version\": \"5\",\n"
    "\"sw_version\": \"larch-fw 2.14.0-E-42\",\n"
    "\"board_id\": \"0x00010042\",\n"
    "\"asic\": \"larch\",\n";
const std::string k_tail =
    "\"boot0_version\": \"2\",\n"
    "\"cpld_id\": \"33\",\n"
    "\"cpld_image\": \"primary\",\n"
    "\"cpld_version\": \"3\",\n"
    "\"cpld_minor_version\": \"7\",\n"
    "\"date\": \"12-25-24 14:30\"\n"
    "}\n";

TEST_F(CardInfoTest, DocumentOfCurrentService) {
    start_card();
    EXPECT_EQ(rfc_card_info_get(bdf_, "card_info", nullptr), 0);
    std::string text;
    ASSERT_TRUE(scratch_read("card_info.txt", text));
    EXPECT_EQ(text, k_head +
                        "\"board_hw_fuse\": \"1\",\n"
                        "\"board_sigchk\": \"1\",\n"
                        "\"board_keyname\": \"eng\",\n"
                        "\"board_secure_enable\": \"1\",\n"
                        "\"board_secure_boot\": \"0\",\n" +
                        k_tail);
    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].msg, FWUPDATE_MSG_GET_CARD_INFO);
    EXPECT_EQ(hex_of(reqs[0].bytes), "00");
    EXPECT_TRUE(messages().empty());
}

TEST_F(CardInfoTest, SecureBootAddsSlotAndLifeCycleLines) {
    start_card({}, "secure_boot=1\nlife_cycle=4\nlcs_fuses=0x1f\nbl1.current_partition=1\n");
    EXPECT_EQ(rfc_card_info_get(bdf_, "card_info", nullptr), 0);
    std::string text;
    ASSERT_TRUE(scratch_read("card_info.txt", text));
    EXPECT_EQ(text, k_head +
                        "\"board_hw_fuse\": \"1\",\n"
                        "\"board_sigchk\": \"1\",\n"
                        "\"board_keyname\": \"prod\",\n"
                        "\"board_secure_enable\": \"1\",\n"
                        "\"board_secure_boot\": \"1\",\n"
                        "\"bl1_slot_num\": \"1\",\n"
                        "\"bastion_slot_num\": \"0\",\n"
                        "\"life_cycle_state\": \"rip\",\n"
                        "\"life_cycle_state_fuses\": \"0x1f\",\n" +
                        k_tail);
}

// An older service leaves the later fields to chance: the client overrides
// them, here over a card that filled them all.
TEST_F(CardInfoTest, LayoutVersionsOverrideWhatOlderServicesLack) {
    struct version_case_s {
        unsigned version;
        std::string middle;
    };
    const std::string secure_lines_default =
        "\"bl1_slot_num\": \"3\",\n"
        "\"bastion_slot_num\": \"3\",\n"
        "\"life_cycle_state\": \"disabled\",\n"
        "\"life_cycle_state_fuses\": \"0x0\",\n";
    const std::string all_off =
        "\"board_hw_fuse\": \"0\",\n"
        "\"board_sigchk\": \"0\",\n"
        "\"board_keyname\": \"none\",\n"
        "\"board_secure_enable\": \"0\",\n"
        "\"board_secure_boot\": \"0\",\n";
    for (const auto &c : {
             version_case_s{0, all_off},
             {1, all_off},
             {2,
              "\"board_hw_fuse\": \"1\",\n\"board_sigchk\": \"1\",\n\"board_keyname\": \"eng\",\n"
              "\"board_secure_enable\": \"0\",\n\"board_secure_boot\": \"0\",\n"},
             {3,
              "\"board_hw_fuse\": \"1\",\n\"board_sigchk\": \"1\",\n\"board_keyname\": \"eng\",\n"
              "\"board_secure_enable\": \"1\",\n\"board_secure_boot\": \"0\",\n"},
             {4,
              "\"board_hw_fuse\": \"1\",\n\"board_sigchk\": \"1\",\n\"board_keyname\": \"eng\",\n"
              "\"board_secure_enable\": \"1\",\n\"board_secure_boot\": \"1\",\n" +
                  secure_lines_default},
             {6,
              "\"board_hw_fuse\": \"1\",\n\"board_sigchk\": \"1\",\n\"board_keyname\": \"eng\",\n"
              "\"board_secure_enable\": \"1\",\n\"board_secure_boot\": \"1\",\n"
              "\"bl1_slot_num\": \"0\",\n\"bastion_slot_num\": \"0\",\n\"life_cycle_state\": \"open\",\n"
              "\"life_cycle_state_fuses\": \"0x1\",\n"},
         }) {
        SCOPED_TRACE(c.version);
        TearDown();
        SetUp();
        start_card({"card-info:ipc-version=" + std::to_string(c.version)}, "secure_boot=1\n");
        EXPECT_EQ(rfc_card_info_get(bdf_, "card_info", nullptr), 0);
        std::string text;
        ASSERT_TRUE(scratch_read("card_info.txt", text));
        std::string head = k_head;
        head.replace(head.find("\"5\""), 3, "\"" + std::to_string(c.version) + "\"");
        EXPECT_EQ(text, head + c.middle + k_tail);
    }
}

TEST_F(CardInfoTest, RecordIsFilled) {
    start_card({}, "secure_boot=1\nlife_cycle=2\nlcs_fuses=0x3\nbastion.current_partition=1\n");
    rfc_card_info_s info{};
    EXPECT_EQ(rfc_card_info_get(bdf_, nullptr, &info), 0);
    EXPECT_EQ(info.life_cycle_state, "soft_prod");
    EXPECT_EQ(info.asic, "larch");
    EXPECT_EQ(info.cpld_image, "primary");
    EXPECT_EQ(info.sw_version, "larch-fw 2.14.0-E-42");
    EXPECT_EQ(info.board_keyname, "eng");
    EXPECT_EQ(info.spare_text, "");
    EXPECT_EQ(info.secure_life_cycle_state, "soft_prod");
    EXPECT_EQ(info.board_id, "0x00010042");
    EXPECT_EQ(info.cpld_id, 0x21);
    EXPECT_EQ(info.board_secure_boot, 1);
    EXPECT_EQ(info.board_hw_fuse, 1);
    EXPECT_EQ(info.board_sigchk, 1);
    EXPECT_EQ(info.boot0_version, 2);
    EXPECT_EQ(info.life_cycle_state_fuses, 0x3u);
    EXPECT_EQ(info.board_secure_enable, 1);
    EXPECT_EQ(info.cpld_version, 3);
    EXPECT_EQ(info.cpld_minor_version, 7);
    EXPECT_EQ(info.bl1_slot_num, 0);
    EXPECT_EQ(info.bastion_slot_num, 1);
    EXPECT_FALSE(scratch_exists("card_info.txt"));
}

TEST_F(CardInfoTest, RecordKeepsSecureFieldsWithoutSecureBoot) {
    start_card();
    rfc_card_info_s info{};
    info.secure_life_cycle_state = "before";
    info.bl1_slot_num = 7;
    info.bastion_slot_num = 9;
    EXPECT_EQ(rfc_card_info_get(bdf_, nullptr, &info), 0);
    EXPECT_EQ(info.life_cycle_state, "open");
    EXPECT_EQ(info.secure_life_cycle_state, "before");
    EXPECT_EQ(info.bl1_slot_num, 7);
    EXPECT_EQ(info.bastion_slot_num, 9);
}

TEST_F(CardInfoTest, FileNameWinsOverRecordAndNeitherStillAsks) {
    start_card();
    rfc_card_info_s info{};
    info.asic = "untouched";
    EXPECT_EQ(rfc_card_info_get(bdf_, "card_info", &info), 0);
    EXPECT_EQ(info.asic, "untouched");
    EXPECT_EQ(rfc_card_info_get(bdf_, nullptr, nullptr), 0);
    EXPECT_EQ(requests().size(), 2u);
}

// Renderings the virtual card never produces, from a card that answers
// exactly these bytes.
TEST_F(CardInfoTest, NamesNumbersAndDateRendering) {
    struct render_case_s {
        uint8_t asic;
        uint8_t life_cycle;
        std::string asic_name;
        std::string life_cycle_name;
    };
    for (const auto &c : {render_case_s{0, 0, "unknown", "disabled"},
                          {1, 1, "alder", "open"},
                          {2, 2, "birch", "soft_prod"},
                          {3, 3, "cedar", "prod"},
                          {4, 4, "larch", "rip"},
                          {5, 5, "unknown", "unknown"},
                          {255, 9, "unknown", "unknown"}}) {
        SCOPED_TRACE(c.asic_name + " " + std::to_string(c.asic));
        TearDown();
        SetUp();
        fwupdate_card_info_rsp_s rsp{};
        memcpy(rsp.sw_version, "sw", 2);
        rsp.board_id = 0xabc;
        rsp.asic = c.asic;
        rsp.cpld_id = 200;
        rsp.cpld_image = 7;
        rsp.cpld_version = 1;
        rsp.cpld_minor_version = 0;
        const uint8_t date[5] = {0x30, 0x14, 0x25, 0x12, 0x24};
        memcpy(rsp.date, date, sizeof(date));
        rsp.boot0_version = 255;
        rsp.fwupdate_ipc_version = 5;
        rsp.board_hw_fuse = 0xab;
        rsp.board_sigchk = 0x1234;
        memcpy(rsp.board_keyname, "k", 1);
        rsp.board_secure_enable = 0x10;
        rsp.board_secure_boot = 1;
        rsp.bl1_slot_num = 0x1a;
        rsp.bastion_slot_num = 2;
        rsp.life_cycle_state = c.life_cycle;
        rsp.life_cycle_state_fuses = 0xfedcba9876543210ULL;
        start_canned({{0, bytes_of_record(rsp)}, {0, bytes_of_record(rsp)}});

        EXPECT_EQ(rfc_card_info_get(bdf_, "info", nullptr), 0);
        std::string text;
        ASSERT_TRUE(scratch_read("info.txt", text));
        EXPECT_EQ(text,
                  "{\n"
                  "\"fwupdate_ipc_version\": \"5\",\n"
                  "\"sw_version\": \"sw\",\n"
                  "\"board_id\": \"0x00000abc\",\n"
                  "\"asic\": \"" +
                      c.asic_name +
                      "\",\n"
                      "\"board_hw_fuse\": \"ab\",\n"
                      "\"board_sigchk\": \"1234\",\n"
                      "\"board_keyname\": \"k\",\n"
                      "\"board_secure_enable\": \"10\",\n"
                      "\"board_secure_boot\": \"1\",\n"
                      "\"bl1_slot_num\": \"1a\",\n"
                      "\"bastion_slot_num\": \"2\",\n"
                      "\"life_cycle_state\": \"" +
                      c.life_cycle_name +
                      "\",\n"
                      "\"life_cycle_state_fuses\": \"0xfedcba9876543210\",\n"
                      "\"boot0_version\": \"255\",\n"
                      "\"cpld_id\": \"200\",\n"
                      "\"cpld_image\": \"gold\",\n"
                      "\"cpld_version\": \"1\",\n"
                      "\"cpld_minor_version\": \"0\",\n"
                      "\"date\": \"12-25-24 14:30\"\n"
                      "}\n");

        rfc_card_info_s info{};
        EXPECT_EQ(rfc_card_info_get(bdf_, nullptr, &info), 0);
        EXPECT_EQ(info.asic, c.asic_name);
        EXPECT_EQ(info.life_cycle_state, c.life_cycle_name);
        EXPECT_EQ(info.board_id, "0x00000abc");
        EXPECT_EQ(info.board_sigchk, 0x34);
        EXPECT_EQ(info.cpld_image, "gold");
    }
}

TEST_F(CardInfoTest, TextsWithoutTerminatorEndAtTheirFields) {
    start_card({"card-info:no-nul"});
    rfc_card_info_s info{};
    EXPECT_EQ(rfc_card_info_get(bdf_, nullptr, &info), 0);
    EXPECT_EQ(info.sw_version, test_support::field_filled("larch-fw 2.14.0-E-42", 64));
    EXPECT_EQ(info.board_keyname, test_support::field_filled("eng", 64));
}

TEST_F(CardInfoTest, ExchangeFailures) {
    struct failure_case_s {
        std::string fault;
        std::string message;
    };
    for (const auto &c : {failure_case_s{"card-info:status-word=5", "failed in ipc send err 5, ret 512 "},
                          {"card-info:rsp-len=0", "failed in ipc send err 0, ret 0 "},
                          {"card-info:no-answer", "failed in ipc send err 0, ret -1 Input/output error"}}) {
        SCOPED_TRACE(c.fault);
        TearDown();
        SetUp();
        start_card({c.fault});
        std::ofstream(scratch_path("card_info.txt")) << "earlier";
        EXPECT_EQ(rfc_card_info_get(bdf_, "card_info", nullptr), 255);
        const auto errors = texts(TRACE_LEVEL_ERROR);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].rfind(c.message, 0), 0u) << errors[0];
        std::string text;
        ASSERT_TRUE(scratch_read("card_info.txt", text));
        EXPECT_EQ(text, "earlier");
    }
}

TEST_F(CardInfoTest, FileThatCannotBeOpened) {
    start_card();
    remove_scratch_dir();
    EXPECT_EQ(rfc_card_info_get(bdf_, "card_info", nullptr), 255);
    EXPECT_EQ(texts(TRACE_LEVEL_ERROR),
              std::vector<std::string>{"Failed to open file " + scratch_path("card_info.txt")});
}

// The directory above the per-card directory decides where the files land
// as much as the per-card directory itself: another user's, a shared
// writable or a linked one is refused before anything is opened.
TEST_F(CardInfoTest, UnsafeScratchRootIsRefused) {
    struct row_s {
        const char *label;
        std::function<void(const std::string &scratch)> spoil;
        std::string reason;  // after "<scratch> "
    };
    const row_s rows[] = {
        {"shared", [](const std::string &d) { chmod(d.c_str(), 0777); }, "is writable by group or others (mode 777)"},
        {"link",
         [](const std::string &d) {
             std::filesystem::rename(d, d + ".real");
             std::filesystem::create_directory_symlink(d + ".real", d);
         },
         "is a symbolic link"},
        {"foreign", [](const std::string &d) { (void)!chown(d.c_str(), 4321, static_cast<gid_t>(-1)); },
         "is owned by uid 4321, not " + std::to_string(geteuid())},
    };
    for (const row_s &row : rows) {
        SCOPED_TRACE(row.label);
        TearDown();
        SetUp();
        if (std::string(row.label) == "foreign" && geteuid() != 0) {
            continue;  // only root can hand a directory to another user
        }
        const std::string scratch = root_ + "/scratch";
        row.spoil(scratch);
        start_card();
        EXPECT_EQ(rfc_card_info_get(bdf_, "card_info", nullptr), 255);
        const std::string path = scratch_path("card_info.txt");
        EXPECT_EQ(texts(TRACE_LEVEL_ERROR),
                  (std::vector<std::string>{"refusing " + path + ": " + scratch + " " + row.reason,
                                            "Failed to open file " + path}));
        EXPECT_FALSE(scratch_exists("card_info.txt"));
    }
}

TEST_F(CardInfoTest, WithoutCard) {
    no_card();
    EXPECT_EQ(rfc_card_info_get(bdf_, "card_info", nullptr), 255);
    EXPECT_FALSE(scratch_exists("card_info.txt"));
}

}  // namespace

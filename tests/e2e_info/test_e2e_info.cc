// SPDX-License-Identifier: Apache-2.0
// flash-update's reporting, boot-selection and secure-boot commands, run as
// the real program against the virtual card.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "fwkeys_guard.h"
#include "fwupdate_msgs.h"

namespace {

const std::string k_dashes(140, '-');

size_t line_count(const std::string &text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

std::string scratch(const e2e_card_s &card, const std::string &name) {
    std::string text;
    EXPECT_TRUE(e2e_scratch_read(card, name, text)) << name;
    return text;
}

// Messages of the requests the card saw, oldest first.
std::vector<uint32_t> request_msgs(const e2e_card_s &card) {
    std::vector<uint32_t> msgs;
    for (const auto &r : e2e_requests(card)) {
        msgs.push_back(r.msg);
    }
    return msgs;
}

TEST(E2eInfo, CardInformationDocument) {
    e2e_card_guard g;
    e2e_result_s r = e2e_run(g.card, {"--get-card-info"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(scratch(g.card, "card_info.txt"),
              "{\n"
              "\"fwupdate_ipc_version\": \"5\",\n"
              "\"sw_version\": \"larch-fw 2.14.0-E-42\",\n"
              "\"board_id\": \"0x00010042\",\n"
              "\"asic\": \"larch\",\n"
              "\"board_hw_fuse\": \"1\",\n"
              "\"board_sigchk\": \"1\",\n"
              "\"board_keyname\": \"eng\",\n"
              "\"board_secure_enable\": \"1\",\n"
              "\"board_secure_boot\": \"0\",\n"
              "\"boot0_version\": \"2\",\n"
              "\"cpld_id\": \"33\",\n"
              "\"cpld_image\": \"primary\",\n"
              "\"cpld_version\": \"3\",\n"
              "\"cpld_minor_version\": \"7\",\n"
              "\"date\": \"12-25-24 14:30\"\n"
              "}\n");
    EXPECT_EQ(request_msgs(g.card), std::vector<uint32_t>{FWUPDATE_MSG_GET_CARD_INFO});

    // A service of layout version 1 supplies no key name.
    e2e_options_s old;
    old.ipc_version = 1;
    r = e2e_run(g.card, {"--get-card-info"}, old);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(scratch(g.card, "card_info.txt"), "\"fwupdate_ipc_version\": \"1\",\n"));
    EXPECT_TRUE(contains(scratch(g.card, "card_info.txt"), "\"board_keyname\": \"none\",\n"));
}

TEST(E2eInfo, PartitionTableOnStandardOutput) {
    e2e_card_guard g;
    const e2e_result_s r = e2e_run(g.card, {"--get-partition-info"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string header =
        "Id         Name                 Type       Type Name  Size       Slot       Running    Startup    "
        "Version                                           \n";
    const std::string table_head = k_dashes + "\n" + header + k_dashes + "\n";
    const size_t at = r.out.find(table_head);
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string rows = r.out.substr(at + table_head.size());
    EXPECT_EQ(line_count(rows), 25u) << rows;
    EXPECT_EQ(rows.rfind("0          boot0                0          boot       100000     0          N          N"
                         "          boot0-1.2.0",
                         0),
              0u)
        << rows;
    EXPECT_TRUE(contains(rows,
                         "\n6          fw-a                 4          firmware   2000000    0          Y"
                         "          Y          2.14.0-E-42"));
    EXPECT_TRUE(contains(rows,
                         "\n25         coredump             13         coredump   1000000    0          N"
                         "          N          coredump-1"));

    const std::string file = scratch(g.card, "partition_info.txt");
    EXPECT_EQ(line_count(file), 25u);
    EXPECT_EQ(file.rfind("id: 0  id_name:boot0                 type_id:0   type_name:boot        "
                         "partition_size:100000 slot_id:0  is_running:0   is_startup:0  version:boot0-1.2.0",
                         0),
              0u)
        << file;
    EXPECT_EQ(e2e_requests(g.card).size(), 26u);
}

TEST(E2eInfo, BootSelectionAcrossRuns) {
    e2e_card_guard g;
    struct step_s {
        std::vector<std::string> args;
        int status;
    };
    // The exit status of --get-firmware-image is the firmware type itself.
    for (const auto &s : {step_s{{"--get-firmware-image", "running"}, 0},
                          {{"--get-firmware-image", "startup"}, 0},
                          {{"--set-boot-options", "fw-b"}, 0},
                          {{"--get-firmware-image", "startup"}, 1},
                          {{"--get-firmware-image", "running"}, 0},
                          {{"--set-boot-options", "a35-goldfw"}, 0},
                          {{"--get-firmware-image", "startup"}, 2},
                          {{"--get-firmware-image", "n1-startup"}, 3}}) {
        const e2e_result_s r = e2e_run(g.card, s.args);
        EXPECT_EQ(r.status, s.status) << s.args[0] << " " << s.args[1] << "\n" << r.err;
    }
    const auto reqs = e2e_requests(g.card);
    ASSERT_EQ(reqs.size(), 7u);
    EXPECT_EQ(reqs[2].msg, FWUPDATE_MSG_SET_STARTUP_IMAGE);
    EXPECT_EQ(e2e_hex(reqs[2].bytes), "01000000");
    EXPECT_EQ(e2e_hex(reqs[5].bytes), "02000000");

    // The running image does not change until the card restarts; the table
    // shows the selection.
    const e2e_result_s table = e2e_run(g.card, {"--get-partition-info"});
    ASSERT_EQ(table.status, 0);
    EXPECT_TRUE(contains(table.out,
                         "\n6          fw-a                 4          firmware   2000000    0          Y"
                         "          N "));
    EXPECT_TRUE(contains(table.out,
                         "\n3          a35-goldfip          2          fip        400000     2          N"
                         "          Y "));

    // An image name the card cannot start is refused before the card.
    e2e_clear_records(g.card);
    const e2e_result_s refused = e2e_run(g.card, {"--set-boot-options", "fw-c"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(e2e_requests(g.card).empty());
    EXPECT_TRUE(e2e_log_contains(g.card, "firmware type is invalid 3"));
}

TEST(E2eInfo, FirmwareLists) {
    e2e_card_guard g;
    e2e_result_s r = e2e_run(g.card, {"--list-firmware", "dtb"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(scratch(g.card, "dtb.txt"),
              "{\n\"profile_name\": \"larch-ref-dual-100g\",\n\"version\": \"dtb-1.6.0\"\n}\n");

    r = e2e_run(g.card, {"--list-firmware", "boot-fault-log"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(scratch(g.card, "boot_fault_log.txt"), "image: boot_fault_log\nversion: log-1\nsize: 0\nslot: 0\n");

    // The card knows no partition by an unknown name: the request carries 26,
    // the card refuses it with its whole answer zeroed, and no file appears.
    r = e2e_run(g.card, {"--list-firmware", "mainfwa"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(e2e_hex(e2e_requests(g.card).back().bytes), "1a000000");
    EXPECT_TRUE(e2e_log_contains(g.card, "failed to read fw list for unknown, ipc err 2, ipc ret 1004"));
    EXPECT_FALSE(e2e_scratch_exists(g.card, "unknown.txt"));
}

TEST(E2eInfo, SecureBootStateAcrossRuns) {
    e2e_card_guard g;
    e2e_result_s r = e2e_run(g.card, {"--secure-info", "lcs"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(scratch(g.card, "secure_info_lcs.txt"),
              "{\n"
              "\"secure_ipc_version\": \"2\",\n"
              "\"fuse\": \"0x10\",\n"
              "\"bootloader1_current_fuse\": \"0x0\",\n"
              "\"bastion_enable\": \"0x0\",\n"
              "\"lcs_boot_state\": \"open\",\n"
              "\"lcs_next_state\": \"open\"\n"
              "}\n");

    r = e2e_run(g.card, {"--secure-boot", "enable"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = e2e_run(g.card, {"--secure-info", "lcs"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string lcs = scratch(g.card, "secure_info_lcs.txt");
    EXPECT_TRUE(contains(lcs, "\"fuse\": \"0x11\",\n")) << lcs;
    EXPECT_TRUE(contains(lcs, "\"bastion_enable\": \"0x1\",\n")) << lcs;
    r = e2e_run(g.card, {"--get-card-info"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(
        contains(scratch(g.card, "card_info.txt"), "\"board_secure_boot\": \"1\",\n\"bl1_slot_num\": \"0\",\n"));

    // Words the tool does not know never reach the card.
    e2e_clear_records(g.card);
    r = e2e_run(g.card, {"--secure-boot", "on"});
    EXPECT_EQ(r.status, 1);
    r = e2e_run(g.card, {"--secure-info", "bl3"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(e2e_scratch_exists(g.card, "secure_info_unknown.txt"));
    EXPECT_TRUE(e2e_requests(g.card).empty());
    EXPECT_TRUE(e2e_log_contains(g.card, "Invalid secure boot update option"));
    EXPECT_TRUE(e2e_log_contains(g.card, "Invalid secure image type 0"));
}

TEST(E2eInfo, SecureImageUpdates) {
    e2e_card_guard g;
    e2e_result_s r = e2e_run(g.card, {"--secure-image-update", "bl1", "boot-alt-partition"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = e2e_run(g.card, {"--secure-image-update", "lcs", "set-production"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto reqs = e2e_requests(g.card);
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].msg, FWUPDATE_MSG_SECURE_IMAGE_UPDATE);
    EXPECT_EQ(e2e_hex(reqs[0].bytes), "0200000001000000" + std::string(256, '0'));
    EXPECT_EQ(e2e_hex(reqs[1].bytes), "0100000003000000" + std::string(256, '0'));

    r = e2e_run(g.card, {"--secure-info", "bl1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(scratch(g.card, "secure_info_bl1.txt"),
              "{\n"
              "\"secure_ipc_version\": \"2\",\n"
              "\"current_boot_partition\": \"0\",\n"
              "\"next_boot_partition\": \"1\",\n"
              "\"bl1_ar_nv_count\": \"2\",\n"
              "\"bl1_ar_version\": \"3\",\n"
              "\"bl1_version\": \"2199073587456\"\n"
              "}\n");
    r = e2e_run(g.card, {"--secure-info", "lcs"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(scratch(g.card, "secure_info_lcs.txt"), "\"lcs_next_state\": \"prod\"\n"));

    // The card refuses an alternate partition for the life cycle.
    r = e2e_run(g.card, {"--secure-image-update", "lcs", "boot-alt-partition"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(e2e_log_contains(
        g.card, "Failed in ipc send to update partition num for secure image, err 22, status code 4, "));
}

TEST(E2eInfo, SignedMetadataFile) {
    e2e_card_guard g;
    e2e_result_s r = e2e_run(g.card, {"--get-signed-data", "fw-a"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(scratch(g.card, "fw-a_signed.txt"),
              "{\"key_name\": \"prod\", \"image\": \"fw-a\", \"version\": \"2.14.0-E-42\", \"size\": 0, "
              "\"hash_alg\": \"sha512\", \"hash\": "
              "\"cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f63b9"
              "31bd47417a81a538327af927da3e\"}");
    EXPECT_EQ(e2e_hex(e2e_requests(g.card).at(0).bytes), "06000000");

    r = e2e_run(g.card, {"--get-signed-data", "uboot-a"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(e2e_log_contains(g.card, "read signed meta data not supported for 4"));
    EXPECT_EQ(e2e_requests(g.card).size(), 1u);
}

TEST(E2eInfo, SignatureVerification) {
    fwkeys_guard keys;
    if (!keys.usable) {
        GTEST_SKIP() << keys.skip_reason;
    }
    e2e_card_guard g;
    const std::string key_dir = g.card.work_dir + "/keys";
    const e2e_result_s made = e2e_run_launcher({"keys", key_dir});
    ASSERT_EQ(made.status, 0) << made.err;
    std::string prod, eng;
    ASSERT_TRUE(e2e_read_file(key_dir + "/prod_key-pub.pem", prod));
    ASSERT_TRUE(e2e_read_file(key_dir + "/eng_key-pub.pem", eng));
    ASSERT_NE(prod, eng);
    ASSERT_TRUE(keys.put("prod_key-pub.pem", prod));
    ASSERT_TRUE(keys.put("eng_key-pub.pem", eng));

    e2e_result_s r = e2e_run(g.card, {"--verify-image-signature", "bastionfw-0"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "manifest signature verification success for bastionfw-0")) << r.out;
    const auto reqs = e2e_requests(g.card);
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[1].msg, FWUPDATE_MSG_VERIFY_SIGNATURE);
    EXPECT_EQ(reqs[1].bytes.size(), prod.size() + 80);
    EXPECT_EQ(std::string(reqs[1].bytes.begin() + 12, reqs[1].bytes.begin() + 12 + prod.size()), prod);

    // The other key under the expected name: the card rejects the signature.
    ASSERT_TRUE(keys.put("prod_key-pub.pem", eng));
    r = e2e_run(g.card, {"--verify-image-signature", "bastionfw-0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(contains(r.out, "verification success"));
    EXPECT_TRUE(e2e_log_contains(g.card, "manifest signature verification failed for bastionfw-0, ipc err"));

    // No key file at all.
    keys.remove("prod_key-pub.pem");
    r = e2e_run(g.card, {"--verify-image-signature", "bastionfw-0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(e2e_log_contains(g.card, "Failed to open file /etc/orv/korvex/larch/fwkeys/prod_key-pub.pem"));
}

}  // namespace

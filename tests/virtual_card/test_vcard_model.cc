// SPDX-License-Identifier: Apache-2.0
// The card model through vcard_handle: partition table, boot selection,
// erase, install, checksum, startup verification, firmware list, card
// information, persistence and the request record.
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "vcard_internal.h"
#include "vcard_test_util.h"

using namespace vcard_test;

namespace {

const std::string k_ff_1m_sha = [] {
    bytes ff(1 << 20, 0xFF);
    return sha512_hex_upper(ff.data(), ff.size());
}();

class VcardModel : public CardTest {
  protected:
    void SetUp() override {
        CardTest::SetUp();
        open_card();
    }
    fwupdate_partition_info_rsp_s entry(uint8_t index) {
        fwupdate_partition_info_req_s q{};
        q.index = index;
        q.detail = 1;
        vcard_reply_s r = call(FWUPDATE_MSG_GET_PARTITION_INFO, as_bytes(q), 116);
        EXPECT_EQ(r.rsp_errno, 0u);
        EXPECT_EQ(r.data.size(), 116u);
        return as_record<fwupdate_partition_info_rsp_s>(r.data);
    }
    uint32_t image_of(uint32_t type) {
        vcard_reply_s r = call(FWUPDATE_MSG_GET_RUNNING_IMAGE, u32(type), 4);
        EXPECT_EQ(r.rsp_errno, 0u);
        EXPECT_EQ(r.data.size(), 4u);
        return as_record<uint32_t>(r.data);
    }
    uint8_t erase(uint32_t part, uint64_t size) {
        fwupdate_erase_req_s q{};
        q.image_id = part;
        q.size = size;
        vcard_reply_s r = call(FWUPDATE_MSG_FLASH_ERASE, as_bytes(q), 1);
        EXPECT_EQ(r.rsp_errno, 0u);
        EXPECT_EQ(r.data.size(), 1u);
        return r.data.empty() ? 0xEE : r.data[0];
    }
    uint8_t sector_erase(uint32_t part, uint64_t off, uint64_t len = 4096) {
        fwupdate_sector_erase_req_s q{};
        q.image_id = part;
        q.offset = off;
        q.length = len;
        vcard_reply_s r = call(FWUPDATE_MSG_FLASH_SECTOR_ERASE, as_bytes(q), 1);
        EXPECT_EQ(r.rsp_errno, 0u);
        EXPECT_EQ(r.data.size(), 1u);
        return r.data.empty() ? 0xEE : r.data[0];
    }
    fwupdate_startup_verify_rsp_s startup(uint32_t part) {
        vcard_reply_s r = call(FWUPDATE_MSG_VERIFY_STARTUP_IMAGE, u32(part), 976);
        EXPECT_EQ(r.rsp_errno, 0u);
        EXPECT_EQ(r.data.size(), 976u);
        return as_record<fwupdate_startup_verify_rsp_s>(r.data);
    }
};

struct entry_case_s {
    uint8_t index;
    uint32_t id;
    const char *id_name;
    const char *type_name;
    uint64_t size;
    uint8_t slot;
    uint8_t running;
    uint8_t startup;
};

TEST_F(VcardModel, SummaryCountsEveryPartitionButTheUnnamedOne) {
    fwupdate_partition_info_req_s q{};
    vcard_reply_s r = call(FWUPDATE_MSG_GET_PARTITION_INFO, as_bytes(q), 1016);
    ASSERT_EQ(r.rsp_errno, 0u);
    ASSERT_EQ(r.data.size(), 1016u);
    EXPECT_EQ(r.data[0], 25);
    for (uint8_t i = 0; i < 25; i++) {
        fwupdate_partition_info_rsp_s e = entry(i);
        EXPECT_EQ(e.id, i < 22 ? i : i + 1u) << int(i);
        EXPECT_EQ(r.data[1 + i], e.id);
        EXPECT_EQ(e.rsvd, 0);
        EXPECT_NE(memchr(e.id_name, 0, sizeof e.id_name), nullptr);
        EXPECT_NE(memchr(e.type_name, 0, sizeof e.type_name), nullptr);
        EXPECT_NE(memchr(e.version, 0, sizeof e.version), nullptr);
        EXPECT_GT(e.partition_size, 0u);
    }
}

TEST_F(VcardModel, EntriesCarryNameSizeSlotAndBootFlags) {
    const entry_case_s cases[] = {
        {0, 0, "boot0", "boot", 1 << 20, 0, 0, 0},
        {6, 6, "fw-a", "firmware", 32 << 20, 0, 1, 1},
        {7, 7, "fw-b", "firmware", 32 << 20, 1, 0, 0},
        {17, 17, "cpld", "cpld", 256 << 10, 0, 0, 0},
        {22, 23, "boot_fault_log", "log", 256 << 10, 0, 0, 0},
        {24, 25, "coredump", "coredump", 16 << 20, 0, 0, 0},
    };
    for (const auto &c : cases) {
        fwupdate_partition_info_rsp_s e = entry(c.index);
        EXPECT_EQ(e.id, c.id);
        EXPECT_STREQ(e.id_name, c.id_name);
        EXPECT_STREQ(e.type_name, c.type_name);
        EXPECT_EQ(e.partition_size, c.size) << c.id_name;
        EXPECT_EQ(e.slot_id, c.slot) << c.id_name;
        EXPECT_EQ(e.is_running, c.running) << c.id_name;
        EXPECT_EQ(e.is_startup, c.startup) << c.id_name;
    }
    EXPECT_STREQ(entry(6).version, "2.14.0-E-42");
}

TEST_F(VcardModel, PartitionInfoRefusesIndexBeyondTableAndUnknownDetail) {
    fwupdate_partition_info_req_s q{};
    q.index = 25;
    q.detail = 1;
    EXPECT_EQ(call(FWUPDATE_MSG_GET_PARTITION_INFO, as_bytes(q)).rsp_errno, uint32_t(ENOENT));
    q.index = 0;
    q.detail = 2;
    EXPECT_EQ(call(FWUPDATE_MSG_GET_PARTITION_INFO, as_bytes(q)).rsp_errno, uint32_t(EINVAL));
}

TEST_F(VcardModel, StartupSelectionPersistsAndMovesTheFlag) {
    EXPECT_EQ(image_of(0), 0u);
    EXPECT_EQ(image_of(1), 0u);
    vcard_reply_s r = call(FWUPDATE_MSG_SET_STARTUP_IMAGE, u32(1), 1);
    ASSERT_EQ(r.rsp_errno, 0u);
    EXPECT_EQ(r.data, bytes{0});
    reopen();
    EXPECT_EQ(image_of(0), 0u);
    EXPECT_EQ(image_of(1), 1u);
    EXPECT_EQ(entry(6).is_startup, 0);
    EXPECT_EQ(entry(6).is_running, 1);
    EXPECT_EQ(entry(7).is_startup, 1);
    ASSERT_EQ(call(FWUPDATE_MSG_SET_STARTUP_IMAGE, u32(2), 1).rsp_errno, 0u);
    EXPECT_EQ(image_of(1), 2u);
    EXPECT_EQ(entry(3).is_startup, 1);  // the gold image lives in a35-goldfip
}

TEST_F(VcardModel, BootQueriesRefuseInvalidValues) {
    EXPECT_EQ(call(FWUPDATE_MSG_GET_RUNNING_IMAGE, u32(2), 4).rsp_errno, uint32_t(EINVAL));
    EXPECT_EQ(call(FWUPDATE_MSG_SET_STARTUP_IMAGE, u32(3), 1).rsp_errno, uint32_t(EINVAL));
    EXPECT_EQ(image_of(1), 0u);
}

TEST_F(VcardModel, InstalledChunksChecksumAsTheImageAcrossReopen) {
    bytes image = pattern(960 * 3 + 17, 3);
    install(6, image);
    EXPECT_EQ(checksum_hex(6, image.size()), sha512_hex_upper(image.data(), image.size()));
    reopen();
    EXPECT_EQ(checksum_hex(6, image.size()), sha512_hex_upper(image.data(), image.size()));
    // Beyond the image the partition is still erased flash.
    bytes more = image;
    more.resize(image.size() + 100, 0xFF);
    EXPECT_EQ(checksum_hex(6, more.size()), sha512_hex_upper(more.data(), more.size()));
}

TEST_F(VcardModel, WriteAnswersNextOffsetAndHonoursTheChunkOffset) {
    vcard_reply_s r = write_chunk(4, 4096, bytes{1, 2, 3}, false);
    ASSERT_EQ(r.rsp_errno, 0u);
    EXPECT_EQ(r.data, (bytes{0x03, 0x10, 0, 0, 0, 0, 0, 0}));
    bytes expect(4099, 0xFF);
    expect[4096] = 1;
    expect[4097] = 2;
    expect[4098] = 3;
    EXPECT_EQ(checksum_hex(4, expect.size()), sha512_hex_upper(expect.data(), expect.size()));
}

TEST_F(VcardModel, WriteRefusesChunksOutsideThePartitionOrTheRequest) {
    // cpld is 256 KiB: the chunk ending exactly at the end fits, one byte more does not.
    EXPECT_EQ(write_chunk(17, (256 << 10) - 16, bytes(16, 1), true).rsp_errno, 0u);
    EXPECT_EQ(write_chunk(17, (256 << 10) - 15, bytes(16, 1), true).rsp_errno, uint32_t(ENOSPC));
    EXPECT_EQ(write_chunk(22, 0, bytes(16, 1), true).rsp_errno, uint32_t(ENOENT));
    // length field larger than the data carried
    fwupdate_write_req_s h{};
    h.image_id = 6;
    h.length = 40;
    bytes req = as_bytes(h);
    req.resize(req.size() + 39, 0);
    EXPECT_EQ(call(FWUPDATE_MSG_FLASH_WRITE, req).rsp_errno, uint32_t(EINVAL));
    EXPECT_EQ(call(FWUPDATE_MSG_FLASH_WRITE, bytes(25, 0)).rsp_errno, uint32_t(EINVAL));
}

TEST_F(VcardModel, WriteRefusesMalformedChunks) {
    struct chunk_case_s {
        const char *what;
        uint64_t length;    // the length field
        size_t data_bytes;  // bytes between the header and the 6 padding bytes
        uint32_t rsp_errno;
    };
    const chunk_case_s cases[] = {
        {"one padding byte missing", 4, 3, EINVAL},
        {"one byte more than the padding", 4, 5, EINVAL},
        {"empty chunk", 0, 0, EINVAL},
        {"more than 960 bytes", 961, 961, EINVAL},
        {"length that wraps with the header", ~uint64_t{0}, 0, EINVAL},
        {"largest chunk", 960, 960, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fwupdate_write_req_s h{};
        h.image_id = 8;
        h.length = c.length;
        bytes req = as_bytes(h);
        req.resize(req.size() + c.data_bytes + 6, 0x42);
        vcard_reply_s r = call(FWUPDATE_MSG_FLASH_WRITE, req, 8);
        EXPECT_EQ(r.rsp_errno, c.rsp_errno);
        EXPECT_EQ(r.data.size(), 8u);
        if (c.rsp_errno != 0) {
            EXPECT_EQ(r.data, bytes(8, 0));
            EXPECT_EQ(checksum_hex(8, 4), sha512_hex_upper(bytes(4, 0xFF).data(), 4));  // nothing written
        } else {
            EXPECT_EQ(as_record<fwupdate_write_rsp_s>(r.data).next_offset, 960u);
        }
    }
    // A request shorter than the header.
    EXPECT_EQ(call(FWUPDATE_MSG_FLASH_WRITE, bytes(25, 0)).rsp_errno, uint32_t(EINVAL));
}

TEST_F(VcardModel, VerifyPassComparesWithoutWriting) {
    bytes image = pattern(112, 9);
    install(17, image);
    install(17, image, true);
    bytes other = image;
    other[100] ^= 1;
    vcard_reply_s r = write_chunk(17, 0, other, true, true);
    EXPECT_EQ(r.rsp_errno, uint32_t(EBADMSG));
    EXPECT_EQ(checksum_hex(17, image.size()), sha512_hex_upper(image.data(), image.size()));
}

TEST_F(VcardModel, EraseReadsBackErasedFlashAndCostsNoDisk) {
    bytes image = pattern(1 << 20, 5);
    install(6, image);
    EXPECT_EQ(erase(6, 0), 0);
    EXPECT_EQ(checksum_hex(6, 1 << 20), k_ff_1m_sha);
    struct stat sb {};
    std::string file = opts_.state_dir + "/flash/fw-a.bin";
    EXPECT_TRUE(stat(file.c_str(), &sb) != 0 || sb.st_blocks == 0);
}

TEST_F(VcardModel, EraseOfASizeErasesWholeSectorsFromTheStart) {
    bytes image = pattern(3 * 4096, 1);
    install(8, image);
    EXPECT_EQ(erase(8, 4097), 0);
    bytes expect = image;
    std::fill(expect.begin(), expect.begin() + 8192, 0xFF);
    EXPECT_EQ(checksum_hex(8, expect.size()), sha512_hex_upper(expect.data(), expect.size()));
}

TEST_F(VcardModel, ErasePollsThenCompletesAndFailsBeyondThePartition) {
    opts_.erase_polls = 2;
    reopen();
    install(7, pattern(4096, 2));
    EXPECT_EQ(erase(7, 0x100000), FWUPDATE_STATUS_ERASE_IN_PROGRESS);
    EXPECT_EQ(erase(7, 0x100000), FWUPDATE_STATUS_ERASE_IN_PROGRESS);
    EXPECT_EQ(erase(7, 0x100000), 0);
    // the next identical request is a new erase
    EXPECT_EQ(erase(7, 0x100000), FWUPDATE_STATUS_ERASE_IN_PROGRESS);
    EXPECT_EQ(erase(7, (32u << 20) + 1), FWUPDATE_STATUS_FAILED);
    EXPECT_EQ(erase(11, 65536), FWUPDATE_STATUS_ERASE_IN_PROGRESS);
    bytes ff(4096, 0xFF);
    EXPECT_EQ(checksum_hex(7, 4096), sha512_hex_upper(ff.data(), ff.size()));
}

// Timed, scaled down: a 2 MiB erase at 20 ms per MiB answers "in progress"
// until 40 ms after the request that started it; a write exchange of at
// least 2500 us answers 2 ms late and spends the rest in the card.
TEST_F(VcardModel, TimedEraseAndWriteTakeTheirRealTime) {
    opts_.erase_ms_per_mib = 20;
    opts_.write_us = 2500;
    reopen();
    using clock = std::chrono::steady_clock;
    const auto t0 = clock::now();
    unsigned busy = 0;
    while (erase(7, 2 << 20) == FWUPDATE_STATUS_ERASE_IN_PROGRESS) {
        ++busy;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const double erase_ms = std::chrono::duration<double, std::milli>(clock::now() - t0).count();
    EXPECT_GE(erase_ms, 40.0);
    EXPECT_GE(busy, 1u);
    const auto t1 = clock::now();
    const vcard_reply_s r = write_chunk(7, 0, bytes(960, 0x5A), false);
    const double write_us = std::chrono::duration<double, std::micro>(clock::now() - t1).count();
    EXPECT_EQ(r.rsp_errno, 0u);
    EXPECT_EQ(r.delay_ms, 2u);
    EXPECT_GE(write_us + 1000.0 * r.delay_ms, 2500.0);
}

TEST_F(VcardModel, SectorEraseErasesOneSectorAndRefusesOutsideOnes) {
    bytes image = pattern(3 * 4096, 4);
    install(19, image);
    EXPECT_EQ(sector_erase(19, 4096), 0);
    bytes expect = image;
    std::fill(expect.begin() + 4096, expect.begin() + 8192, 0xFF);
    EXPECT_EQ(checksum_hex(19, expect.size()), sha512_hex_upper(expect.data(), expect.size()));
    EXPECT_EQ(sector_erase(19, (128 << 10) - 4096), 0);
    EXPECT_NE(sector_erase(19, 128 << 10), 0);
    EXPECT_NE(sector_erase(19, 100), 0);
    EXPECT_NE(sector_erase(19, 0, 0), 0);
    fwupdate_sector_erase_req_s q{};
    q.image_id = 22;
    q.length = 4096;
    EXPECT_EQ(call(FWUPDATE_MSG_FLASH_SECTOR_ERASE, as_bytes(q)).rsp_errno, uint32_t(ENOENT));
}

TEST_F(VcardModel, ChecksumPollsAndFailsBeyondThePartition) {
    opts_.verify_polls = 2;
    reopen();
    fwupdate_checksum_req_s q{};
    q.image_id = 11;
    q.size = 16;
    for (int i = 0; i < 2; i++) {
        vcard_reply_s r = call(FWUPDATE_MSG_GET_CHECKSUM, as_bytes(q), 65);
        ASSERT_EQ(r.data.size(), 65u);
        EXPECT_EQ(r.data[0], FWUPDATE_STATUS_VERIFY_IN_PROGRESS);
    }
    vcard_reply_s r = call(FWUPDATE_MSG_GET_CHECKSUM, as_bytes(q), 65);
    bytes ff(16, 0xFF);
    EXPECT_EQ(r.data[0], 0);
    EXPECT_EQ(hex(r.data.data() + 1, 64), sha512_hex_upper(ff.data(), ff.size()));
    q.size = (64 << 10) + 1;
    r = call(FWUPDATE_MSG_GET_CHECKSUM, as_bytes(q), 65);
    EXPECT_EQ(r.data[0], FWUPDATE_STATUS_FAILED);
    q.image_id = 26;
    EXPECT_EQ(call(FWUPDATE_MSG_GET_CHECKSUM, as_bytes(q), 65).rsp_errno, uint32_t(ENOENT));
}

TEST_F(VcardModel, StartupVerificationDescribesTheInstalledImage) {
    bytes image = pattern(2000, 7);
    install(6, image);
    std::string sha = sha512_hex_upper(image.data(), image.size());
    fwupdate_startup_verify_rsp_s rsp = startup(6);
    EXPECT_EQ(rsp.status, 0);
    EXPECT_EQ(hex(rsp.digest, 64), sha);
    std::string version = "installed-" + sha.substr(0, 8);
    std::string text = "image: fw-a\nversion: " + version + "\nsize: 2000\nhash: " + sha + "\n";
    EXPECT_EQ(rsp.text_len, text.size());
    EXPECT_EQ(std::string(rsp.text, rsp.text_len), text);
    EXPECT_EQ(rsp.text[rsp.text_len], '\0');
    EXPECT_STREQ(entry(6).version, version.c_str());
}

// A virtual-card image names its version in a first-line tag; anything
// else, a malformed tag included, gets the version made of its hash.
TEST_F(VcardModel, TaggedImagesReportTheirVersion) {
    struct tag_case_s {
        std::string head;
        std::string version;  // "" the hash-made one
    };
    const tag_case_s cases[] = {{"FUVC-VERSION=2.15.0-E-3\n", "2.15.0-E-3"},
                                {"FUVC-VERSION=2.15 rc\n", ""},
                                {"FUVC-VERSION=\n", ""},
                                {"FUVC-VERSION=" + std::string(64, 'v') + "\n", ""},
                                {"fuvc-version=2.15\n", ""}};
    for (const tag_case_s &c : cases) {
        bytes image(c.head.begin(), c.head.end());
        const bytes rest = pattern(3000, 9);
        image.insert(image.end(), rest.begin(), rest.end());
        install(7, image);
        const std::string sha = sha512_hex_upper(image.data(), image.size());
        EXPECT_STREQ(entry(7).version, (c.version.empty() ? "installed-" + sha.substr(0, 8) : c.version).c_str())
            << c.head;
    }
}

TEST_F(VcardModel, StartupVerificationSeesFlashChangedAfterInstall) {
    bytes image = pattern(5000, 8);
    install(7, image);
    ASSERT_EQ(sector_erase(7, 0), 0);
    fwupdate_startup_verify_rsp_s rsp = startup(7);
    std::string text(rsp.text, rsp.text_len);
    std::string recorded = sha512_hex_upper(image.data(), image.size());
    EXPECT_NE(text.find("hash: " + recorded + "\n"), std::string::npos);
    EXPECT_NE(hex(rsp.digest, 64), recorded);
}

TEST_F(VcardModel, StartupVerificationPollsWithStatusFour) {
    opts_.verify_polls = 1;
    reopen();
    EXPECT_EQ(startup(6).status, FWUPDATE_STATUS_VERIFY_IN_PROGRESS);
    fwupdate_startup_verify_rsp_s rsp = startup(6);
    EXPECT_EQ(rsp.status, 0);
    // the factory image is empty
    EXPECT_EQ(hex(rsp.digest, 64), sha512_hex_upper(nullptr, 0));
    EXPECT_EQ(call(FWUPDATE_MSG_VERIFY_STARTUP_IMAGE, u32(22), 976).rsp_errno, uint32_t(ENOENT));
}

TEST_F(VcardModel, FirmwareListGivesProfileRecordOrVersionText) {
    for (uint32_t id : {8u, 9u, 11u, 12u}) {
        vcard_reply_s r = call(FWUPDATE_MSG_GET_FW_LIST, u32(id), 1004);
        ASSERT_EQ(r.rsp_errno, 0u);
        ASSERT_EQ(r.data.size(), 1004u);
        auto rsp = as_record<fwupdate_fw_list_rsp_s>(r.data);
        EXPECT_EQ(rsp.image_id, id);
        EXPECT_STREQ(rsp.profile_name, "larch-ref-dual-100g");
        EXPECT_STRNE(rsp.version, "");
        EXPECT_EQ(rsp.data_len, 0u);
    }
    vcard_reply_s r = call(FWUPDATE_MSG_GET_FW_LIST, u32(23), 1004);
    auto rsp = as_record<fwupdate_fw_list_rsp_s>(r.data);
    EXPECT_EQ(rsp.image_id, 23u);
    std::string text = "image: boot_fault_log\nversion: log-1\nsize: 0\nslot: 0\n";
    EXPECT_EQ(rsp.data_len, text.size());
    EXPECT_EQ(std::string(reinterpret_cast<char *>(rsp.data), rsp.data_len), text);
    EXPECT_STREQ(rsp.version, "log-1");
    EXPECT_EQ(call(FWUPDATE_MSG_GET_FW_LIST, u32(26), 1004).rsp_errno, uint32_t(ENOENT));
}

TEST_F(VcardModel, CardInfoDescribesALarchCard) {
    vcard_reply_s r = call(FWUPDATE_MSG_GET_CARD_INFO, bytes{0}, 512);
    ASSERT_EQ(r.rsp_errno, 0u);
    ASSERT_EQ(r.data.size(), 512u);
    auto ci = as_record<fwupdate_card_info_rsp_s>(r.data);
    EXPECT_STREQ(ci.sw_version, "larch-fw 2.14.0-E-42");
    EXPECT_EQ(ci.board_id, 0x00010042u);
    EXPECT_EQ(ci.asic, 4);
    EXPECT_EQ(ci.fwupdate_ipc_version, 5);
    EXPECT_EQ(bytes(ci.date, ci.date + 5), (bytes{0x30, 0x14, 0x25, 0x12, 0x24}));
    EXPECT_STREQ(ci.board_keyname, "eng");
    EXPECT_EQ(ci.board_secure_enable, 1);
    EXPECT_EQ(ci.board_secure_boot, 0);
    EXPECT_EQ(ci.life_cycle_state, 1);
    EXPECT_EQ(ci.life_cycle_state_fuses, 1u);
    EXPECT_EQ(r.data[79], 5);  // fwupdate_ipc_version on the wire
}

TEST_F(VcardModel, OlderLayoutVersionsLeaveLaterFieldsOutAndPersist) {
    opts_.fwupdate_ipc_version = 2;
    reopen();
    auto ci = as_record<fwupdate_card_info_rsp_s>(call(FWUPDATE_MSG_GET_CARD_INFO, bytes{0}, 512).data);
    EXPECT_EQ(ci.fwupdate_ipc_version, 2);
    EXPECT_STREQ(ci.board_keyname, "eng");
    EXPECT_EQ(ci.board_secure_enable, 0);
    EXPECT_EQ(ci.life_cycle_state, 0);
    opts_.fwupdate_ipc_version = -1;
    reopen();
    ci = as_record<fwupdate_card_info_rsp_s>(call(FWUPDATE_MSG_GET_CARD_INFO, bytes{0}, 512).data);
    EXPECT_EQ(ci.fwupdate_ipc_version, 2);
}

TEST_F(VcardModel, UnknownMessageOrEndpointGetsAStatusWord) {
    // The service answers a message it does not know with one byte; another
    // endpoint is not the service's and gets no data.
    // The numbers in the table's gap and just outside it.
    for (uint32_t msg :
         {FWUPDATE_MSG_GET_SIGNED_DATA + 1, FWUPDATE_MSG_VERIFY_SIGNATURE + 1, FWUPDATE_MSG_GET_RUNNING_IMAGE - 1}) {
        vcard_reply_s r = call(msg, bytes{0});
        EXPECT_EQ(r.rsp_errno, uint32_t(ENOSYS)) << msg;
        EXPECT_EQ(r.data, bytes{0}) << msg;
    }
    uint8_t b = 0;
    vcard_reply_s r = vcard_handle(card_, 7, FWUPDATE_MSG_GET_CARD_INFO, &b, 1, 512);
    EXPECT_EQ(r.rsp_errno, uint32_t(ENXIO));
    EXPECT_TRUE(r.data.empty());
}

// Every answer carries data: a refused request comes back with the message's
// answer length in zeros (the secure information with the error as its
// command status), cut to the capacity.
TEST_F(VcardModel, RefusedRequestsAreAnsweredWithTheMessagesLength) {
    struct refusal_case_s {
        uint32_t msg;
        bytes req;
        uint32_t rsp_errno;
        bytes data;
    };
    fwupdate_erase_req_s erase{};
    erase.image_id = 22;
    fwupdate_write_req_s write{};
    write.image_id = 22;
    write.length = 1;
    bytes write_req = as_bytes(write);
    write_req.resize(33, 0);
    fwupdate_checksum_req_s checksum{};
    checksum.image_id = 26;
    fwupdate_partition_info_req_s beyond{};
    beyond.index = 25;
    beyond.detail = 1;
    fwupdate_partition_info_req_s detail2{};
    detail2.detail = 2;
    fwupdate_sector_erase_req_s sector{};
    sector.image_id = 22;
    fwupdate_secure_image_update_req_s update{};
    update.type = 1;
    update.opcode = 1;
    bytes verify_req(80 + 9, 0);
    const fwupdate_verify_signature_req_s verify{3, 6, 9};
    memcpy(verify_req.data(), &verify, sizeof verify);
    memcpy(verify_req.data() + 12, "not a key", 9);
    bytes secure_info_rsp(628, 0);
    secure_info_rsp[0] = EINVAL;
    const refusal_case_s cases[] = {
        {FWUPDATE_MSG_GET_RUNNING_IMAGE, u32(2), EINVAL, bytes(4, 0)},
        {FWUPDATE_MSG_FLASH_ERASE, as_bytes(erase), ENOENT, bytes(1, 0)},
        {FWUPDATE_MSG_FLASH_WRITE, write_req, ENOENT, bytes(8, 0)},
        {FWUPDATE_MSG_SET_STARTUP_IMAGE, u32(3), EINVAL, bytes(1, 0)},
        {FWUPDATE_MSG_GET_CHECKSUM, as_bytes(checksum), ENOENT, bytes(65, 0)},
        {FWUPDATE_MSG_GET_FW_LIST, u32(26), ENOENT, bytes(1004, 0)},
        {FWUPDATE_MSG_VERIFY_STARTUP_IMAGE, u32(22), ENOENT, bytes(976, 0)},
        {FWUPDATE_MSG_GET_CARD_INFO, bytes{0, 0}, EINVAL, bytes(512, 0)},
        {FWUPDATE_MSG_GET_PARTITION_INFO, bytes(7, 0), EINVAL, bytes(1016, 0)},
        {FWUPDATE_MSG_GET_PARTITION_INFO, as_bytes(beyond), ENOENT, bytes(116, 0)},
        {FWUPDATE_MSG_GET_PARTITION_INFO, as_bytes(detail2), EINVAL, bytes(116, 0)},
        {FWUPDATE_MSG_FLASH_SECTOR_ERASE, as_bytes(sector), ENOENT, bytes(1, 0)},
        {FWUPDATE_MSG_SECURE_BOOT_UPDATE, bytes(904, 0), EINVAL, bytes(904, 0)},
        {FWUPDATE_MSG_GET_SECURE_INFO, u32(5), EINVAL, secure_info_rsp},
        {FWUPDATE_MSG_SECURE_IMAGE_UPDATE, as_bytes(update), EINVAL, bytes(4, 0)},
        {FWUPDATE_MSG_GET_SIGNED_DATA, u32(0), EINVAL, bytes(912, 0)},
        {FWUPDATE_MSG_VERIFY_SIGNATURE, verify_req, EINVAL, bytes(72, 0)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.msg);
        vcard_reply_s r = call(c.msg, c.req, 1024);
        EXPECT_EQ(r.rsp_errno, c.rsp_errno);
        EXPECT_EQ(r.data, c.data);
        // Cut to a smaller capacity like any answer.
        r = call(c.msg, c.req, 3);
        EXPECT_EQ(r.data, bytes(c.data.begin(), c.data.begin() + std::min<size_t>(3, c.data.size())));
    }
}

TEST_F(VcardModel, AnswerLengthFaultStillCutsARefusalToNothing) {
    opts_.faults = {"fw-list:rsp-len=0", "secure-info:rsp-len=2"};
    reopen();
    vcard_reply_s r = call(FWUPDATE_MSG_GET_FW_LIST, u32(26), 1004);
    EXPECT_EQ(r.rsp_errno, uint32_t(ENOENT));
    EXPECT_TRUE(r.data.empty());
    r = call(FWUPDATE_MSG_GET_SECURE_INFO, u32(0), 628);
    EXPECT_EQ(r.rsp_errno, uint32_t(EINVAL));
    EXPECT_EQ(r.data, (bytes{EINVAL, 0}));
}

// Requests of a fixed size are taken only at that size; any other length is
// refused before the card does any work.
TEST_F(VcardModel, FixedSizeRequestsOfAnotherLengthAreRefused) {
    fwupdate_erase_req_s erase{};
    erase.image_id = 11;
    erase.size = 4096;
    fwupdate_checksum_req_s checksum{};
    checksum.image_id = 6;
    checksum.size = 16;
    fwupdate_sector_erase_req_s sector{};
    sector.image_id = 6;
    sector.length = 4096;
    fwupdate_secure_boot_update_req_s secure_boot{};
    secure_boot.option = 1;
    fwupdate_secure_image_update_req_s update{};
    update.type = 2;
    update.opcode = 2;
    const std::vector<std::pair<uint32_t, bytes>> good = {
        {FWUPDATE_MSG_GET_RUNNING_IMAGE, u32(0)},
        {FWUPDATE_MSG_FLASH_ERASE, as_bytes(erase)},
        {FWUPDATE_MSG_SET_STARTUP_IMAGE, u32(1)},
        {FWUPDATE_MSG_GET_CHECKSUM, as_bytes(checksum)},
        {FWUPDATE_MSG_GET_FW_LIST, u32(6)},
        {FWUPDATE_MSG_VERIFY_STARTUP_IMAGE, u32(6)},
        {FWUPDATE_MSG_GET_CARD_INFO, bytes{0}},
        {FWUPDATE_MSG_GET_PARTITION_INFO, bytes(8, 0)},
        {FWUPDATE_MSG_FLASH_SECTOR_ERASE, as_bytes(sector)},
        {FWUPDATE_MSG_SECURE_BOOT_UPDATE, as_bytes(secure_boot)},
        {FWUPDATE_MSG_GET_SECURE_INFO, u32(2)},
        {FWUPDATE_MSG_SECURE_IMAGE_UPDATE, as_bytes(update)},
        {FWUPDATE_MSG_GET_SIGNED_DATA, u32(6)},
    };
    const size_t exact[] = {4, 16, 4, 16, 4, 4, 1, 8, 24, 904, 4, 136, 4};
    ASSERT_EQ(good.size(), std::size(exact));
    install(6, pattern(4096, 3));
    for (size_t i = 0; i < good.size(); i++) {
        const auto &[msg, req] = good[i];
        SCOPED_TRACE(msg);
        ASSERT_EQ(req.size(), exact[i]);
        bytes shorter(req.begin(), req.end() - 1);
        bytes longer = req;
        longer.push_back(0);
        EXPECT_EQ(call(msg, shorter).rsp_errno, uint32_t(EINVAL));
        EXPECT_EQ(call(msg, longer).rsp_errno, uint32_t(EINVAL));
    }
    // None of them did its work: the selection, the secure state and the
    // flash are as before.
    EXPECT_EQ(image_of(1), 0u);
    auto ci = as_record<fwupdate_card_info_rsp_s>(call(FWUPDATE_MSG_GET_CARD_INFO, bytes{0}, 512).data);
    EXPECT_EQ(ci.board_secure_boot, 0);
    bytes image = pattern(4096, 3);
    EXPECT_EQ(checksum_hex(6, 4096), sha512_hex_upper(image.data(), image.size()));
    for (const auto &[msg, req] : good)
        EXPECT_EQ(call(msg, req).rsp_errno, 0u) << msg;
    EXPECT_EQ(image_of(1), 1u);
}

TEST_F(VcardModel, AnswersAreCutToTheCapacity) {
    vcard_reply_s r = call(FWUPDATE_MSG_GET_CARD_INFO, bytes{0}, 100);
    EXPECT_EQ(r.data.size(), 100u);
}

TEST_F(VcardModel, EveryRequestIsRecordedWithItsExactBytes) {
    call(FWUPDATE_MSG_GET_RUNNING_IMAGE, u32(1), 4);
    fwupdate_erase_req_s q{};
    q.image_id = 6;
    q.size = 0x100000;
    call(FWUPDATE_MSG_FLASH_ERASE, as_bytes(q), 1);
    uint8_t b = 0;
    vcard_handle(card_, 9, FWUPDATE_MSG_FLASH_SECTOR_ERASE, &b, 0, 1);
    EXPECT_EQ(file_text(vcard_requests_path(card_)),
              "12 0x10001 01000000\n"
              "12 0x10002 06000000000000000000100000000000\n"
              "9 0x1000a \n");
    EXPECT_EQ(vcard_requests_path(card_), opts_.state_dir + "/requests.log");
}

TEST_F(VcardModel, StateDirectoryIsCreatedAndUnusableOnesAreRefused) {
    vcard_options_s o;
    o.state_dir = dir_ + "/a/b/c";
    vcard_s *c = vcard_open(o);
    ASSERT_NE(c, nullptr);
    vcard_close(c);
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/a/b/c/state.txt"));
    std::ofstream(dir_ + "/file") << "x";
    o.state_dir = dir_ + "/file";
    EXPECT_EQ(vcard_open(o), nullptr);
    o.state_dir = "";
    EXPECT_EQ(vcard_open(o), nullptr);
}

TEST_F(VcardModel, TwoCardsOnDistinctDirectoriesKeepTheirOwnFlash) {
    vcard_options_s o;
    o.state_dir = dir_ + "/other";
    vcard_s *other = vcard_open(o);
    ASSERT_NE(other, nullptr);
    install(6, pattern(100, 1));
    fwupdate_checksum_req_s q{};
    q.image_id = 6;
    q.size = 100;
    vcard_reply_s r =
        vcard_handle(other, IPC_EP_FWUPDATE, FWUPDATE_MSG_GET_CHECKSUM, reinterpret_cast<uint8_t *>(&q), sizeof q, 65);
    bytes ff(100, 0xFF);
    EXPECT_EQ(hex(r.data.data() + 1, 64), sha512_hex_upper(ff.data(), ff.size()));
    vcard_close(other);
}

TEST_F(VcardModel, StateFileValuesNeverStartAKeyOfTheirOwn) {
    struct value_case_s {
        std::string value;
        std::string stored;  // after "part.fw-a.version="
    };
    const value_case_s cases[] = {
        {"1\nsecure_boot=0", "1\\nsecure_boot=0"},
        {"2\r\nstartup_fw=2\n", "2\\r\\nstartup_fw=2\\n"},
        {"a=b", "a=b"},
        {"c:\\n\\x41", "c:\\\\n\\\\x41"},
        {std::string("nul\0tab\tdel\x7f", 12), "nul\\x00tab\\x09del\\x7f"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.stored);
        const std::string dir = dir_ + "/values";
        std::filesystem::remove_all(dir);
        ASSERT_TRUE(std::filesystem::create_directory(dir));
        vcard_state_s st;
        std::string err;
        ASSERT_TRUE(vcard_state_load(dir, st, err)) << err;
        st.secure_boot = true;
        st.parts[6].version = c.value;
        st.parts[6].key_name = c.value;
        ASSERT_TRUE(vcard_state_save(dir, st));
        const std::vector<std::string> lines = test_support::split_lines(file_text(dir + "/state.txt"));
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "part.fw-a.version=" + c.stored), 1);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "part.fw-a.key=" + c.stored), 1);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "secure_boot=1"), 1);
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string &l) {
                                    return l.rfind("secure_boot=", 0) == 0 || l.rfind("startup_fw=", 0) == 0;
                                }),
                  2);
        vcard_state_s back;
        ASSERT_TRUE(vcard_state_load(dir, back, err)) << err;
        EXPECT_EQ(back.parts[6].version, c.value);
        EXPECT_EQ(back.parts[6].key_name, c.value);
        EXPECT_TRUE(back.secure_boot);
        EXPECT_EQ(back.startup_fw, 0u);
    }
}

}  // namespace

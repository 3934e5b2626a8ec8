// SPDX-License-Identifier: Apache-2.0
// Partition erase and sector erase against the in-process virtual card.
#include "flash_fixture.h"

using Strings = std::vector<std::string>;

namespace {

std::string erase_req(uint32_t id, uint64_t size) {
    return le_hex(id, 4) + le_hex(0, 4) + le_hex(size, 8);
}

std::string sector_req(uint32_t id, uint64_t offset) {
    return le_hex(id, 4) + le_hex(0, 4) + le_hex(offset, 8) + le_hex(4096, 8);
}

const bool k_no_timeout = false;

}  // namespace

TEST_F(FlashClientTest, EraseCompletesOnFirstAnswer) {
    start_card();
    EXPECT_EQ(rfc_flash_erase(FLASH_PARTITION_FW_A, 0x100000, bdf_.c_str(), k_no_timeout), 0);
    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].endpoint, 12u);
    EXPECT_EQ(reqs[0].msg, FWUPDATE_MSG_FLASH_ERASE);
    EXPECT_EQ(reqs[0].hex, erase_req(6, 0x100000));
    EXPECT_TRUE(g_test_sleeps.empty());
    EXPECT_EQ(messages(), (Strings{"D sending ipc for erase flash, image id 6 size 1048576",
                                   "I Erase partition in progress...", "D erase operation completed"}));
}

TEST_F(FlashClientTest, ErasePollsEveryTenSecondsWithTheSameRequest) {
    start_card({}, 2);
    EXPECT_EQ(rfc_flash_erase(FLASH_PARTITION_FW_B, 0x2000, bdf_.c_str(), k_no_timeout), 0);
    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 3u);
    for (const auto &r : reqs)
        EXPECT_EQ(r.hex, erase_req(7, 0x2000));
    EXPECT_EQ(g_test_sleeps, (std::vector<unsigned>{10, 10}));
}

TEST_F(FlashClientTest, EraseSizeZeroIsSentAsIs) {
    start_card();
    EXPECT_EQ(rfc_flash_erase(FLASH_PARTITION_DTB, 0, bdf_.c_str(), k_no_timeout), 0);
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_EQ(requests()[0].hex, erase_req(8, 0));
}

// Every status but 3 (running) and 5 (failed) means the erase is done.
TEST_F(FlashClientTest, EraseStatusOtherThanRunningOrFailedCompletes) {
    for (unsigned status : {0u, 1u, 2u, 4u, 6u, 255u}) {
        SCOPED_TRACE(status);
        start_card({"erase:status=" + std::to_string(status)});
        EXPECT_EQ(rfc_flash_erase(FLASH_PARTITION_FW_A, 4096, bdf_.c_str(), k_no_timeout), 0);
        EXPECT_EQ(requests().size(), 1u);
        EXPECT_TRUE(g_test_sleeps.empty());
        restart();
    }
}

TEST_F(FlashClientTest, EraseStatusFailed) {
    start_card({"erase@2:status=5"}, 3);
    EXPECT_EQ(rfc_flash_erase(FLASH_PARTITION_FW_A, 4096, bdf_.c_str(), k_no_timeout), 255);
    EXPECT_EQ(requests().size(), 2u);
    EXPECT_EQ(g_test_sleeps, (std::vector<unsigned>{10}));
    EXPECT_EQ(messages().back(), "E erase operation failed");
}

struct erase_fault_case_s {
    const char *fault;
    const char *message;
};

// A failed exchange ends the erase at once, whatever the status byte says.
TEST_F(FlashClientTest, EraseExchangeFailures) {
    const erase_fault_case_s cases[] = {
        {"erase:status-word=22", "E ipc send failed ret 1, ipc err 22 cmd rsp 3"},
        {"erase:no-answer", "E ipc send failed ret -1, ipc err 0 cmd rsp 6"},
        {"erase:short", "E ipc send failed ret -1, ipc err 0 cmd rsp 6"},
        {"erase:rsp-len=0", "E ipc send failed ret 0, ipc err 0 cmd rsp 6"},
        {"erase:bad-msg", "E ipc send failed ret -1, ipc err 0 cmd rsp 6"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        start_card({c.fault}, 1);  // the first answer would be status 3
        EXPECT_EQ(rfc_flash_erase(FLASH_PARTITION_FW_A, 4096, bdf_.c_str(), k_no_timeout), 255);
        EXPECT_EQ(requests().size(), 1u);
        EXPECT_TRUE(g_test_sleeps.empty());
        EXPECT_EQ(messages().back(), c.message);
        restart();
    }
}

TEST_F(FlashClientTest, EraseInvalidPartitionSendsNothing) {
    start_card();
    EXPECT_EQ(rfc_flash_erase(FLASH_PARTITION_ALL, 4096, bdf_.c_str(), k_no_timeout), 255);
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(messages(), (Strings{"E flash partition is not valid"}));
}

TEST_F(FlashClientTest, EraseTimeoutBeforeFirstRequest) {
    start_card();
    const bool timeout = true;
    EXPECT_EQ(rfc_flash_erase(FLASH_PARTITION_FW_A, 4096, bdf_.c_str(), timeout), 39);
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(messages(), (Strings{"D sending ipc for erase flash, image id 6 size 4096",
                                   "I Erase partition in progress...", "E Erase operation aborted due to timeout"}));
}

TEST_F(FlashClientTest, EraseTimeoutAfterAWait) {
    start_card({}, 5);
    bool timeout = false;
    g_test_on_sleep = [&timeout]() { timeout = true; };
    EXPECT_EQ(rfc_flash_erase(FLASH_PARTITION_FW_A, 4096, bdf_.c_str(), timeout), 39);
    EXPECT_EQ(requests().size(), 1u);
    EXPECT_EQ(g_test_sleeps, (std::vector<unsigned>{10}));
    EXPECT_EQ(messages().back(), "E Erase operation aborted due to timeout");
}

TEST_F(FlashClientTest, EraseOpenStepFailure) {
    start_card();
    close_client();
    EXPECT_EQ(rfc_flash_erase(FLASH_PARTITION_FW_A, 4096, "ffff:fe:1f.7", k_no_timeout), 255);
    EXPECT_TRUE(requests().empty());
}

struct sector_case_s {
    uint64_t size;
    std::vector<uint64_t> offsets;
};

TEST_F(FlashClientTest, SectorEraseOneRequestPerSector) {
    const sector_case_s cases[] = {
        {1, {0}},
        {4096, {0}},
        {4097, {0, 4096}},
        {3 * 4096, {0, 4096, 8192}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        start_card();
        EXPECT_EQ(rfc_flash_sector_erase(FLASH_PARTITION_FW_CFG, c.size, bdf_.c_str()), 0);
        const auto reqs = requests();
        ASSERT_EQ(reqs.size(), c.offsets.size());
        for (size_t i = 0; i < reqs.size(); ++i) {
            EXPECT_EQ(reqs[i].msg, FWUPDATE_MSG_FLASH_SECTOR_ERASE);
            EXPECT_EQ(reqs[i].hex, sector_req(11, c.offsets[i]));
        }
        const std::string count = std::to_string(c.offsets.size());
        EXPECT_EQ(messages(), (Strings{"D sending ipc for erase flash sector , image id 11 size " +
                                           std::to_string(c.size) + " sector_count " + count,
                                       "I Erase partition in progress...."}));
        restart();
    }
}

TEST_F(FlashClientTest, SectorEraseSizeZeroComesBeforePartitionCheck) {
    start_card();
    EXPECT_EQ(rfc_flash_sector_erase(FLASH_PARTITION_ALL, 0, bdf_.c_str()), 2);
    EXPECT_EQ(messages(), (Strings{"E flash partition erase size is not valid"}));
    EXPECT_EQ(rfc_flash_sector_erase(FLASH_PARTITION_ALL, 1, bdf_.c_str()), 255);
    EXPECT_EQ(messages().back(), "E flash partition is not valid");
    EXPECT_TRUE(requests().empty());
}

TEST_F(FlashClientTest, SectorEraseStopsAtRefusedSector) {
    start_card({"sector-erase@2:status=1"});
    EXPECT_EQ(rfc_flash_sector_erase(FLASH_PARTITION_FW_A, 3 * 4096, bdf_.c_str()), 5);
    EXPECT_EQ(requests().size(), 2u);
    EXPECT_EQ(messages().back(), "E failed in erase flash sector size :1000 offset :1000");
}

TEST_F(FlashClientTest, SectorEraseExchangeFailures) {
    const erase_fault_case_s cases[] = {
        {"sector-erase@2:status-word=5", "E ipc send failed ret 1, ipc err 5"},
        {"sector-erase@2:no-answer", "E ipc send failed ret -1, ipc err 0"},
        {"sector-erase@2:rsp-len=0", "E ipc send failed ret 0, ipc err 0"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        start_card({c.fault});
        EXPECT_EQ(rfc_flash_sector_erase(FLASH_PARTITION_FW_A, 3 * 4096, bdf_.c_str()), 255);
        EXPECT_EQ(requests().size(), 2u);
        EXPECT_EQ(messages().back(), c.message);
        restart();
    }
}

TEST_F(FlashClientTest, SectorEraseOpenStepFailure) {
    start_card();
    close_client();
    EXPECT_EQ(rfc_flash_sector_erase(FLASH_PARTITION_FW_A, 4096, "ffff:fe:1f.7"), 255);
    EXPECT_TRUE(requests().empty());
}

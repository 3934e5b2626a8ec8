// SPDX-License-Identifier: Apache-2.0
// Image install against the in-process virtual card.
#include <sys/stat.h>
#include <unistd.h>

#include "flash_fixture.h"

using Strings = std::vector<std::string>;

namespace {

const bool k_no_timeout = false;

std::string chunk_req(uint32_t id, uint64_t offset, const std::vector<uint8_t> &data, bool last, bool verify) {
    return le_hex(id, 4) + le_hex(0, 4) + le_hex(offset, 8) + le_hex(data.size(), 8) + (last ? "01" : "00") +
           (verify ? "01" : "00") + bytes_hex(data) + "000000000000";
}

std::vector<uint8_t> slice(const std::vector<uint8_t> &b, size_t from, size_t len) {
    return std::vector<uint8_t>(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + len));
}

}  // namespace

TEST_F(FlashClientTest, InstallOneFullChunk) {
    start_card();
    const auto img = image_bytes(960);
    const std::string path = work_file("img.bin", img);
    EXPECT_EQ(rfc_flash_write(FLASH_PARTITION_FW_A, path.c_str(), bdf_.c_str(), k_no_timeout), 0);
    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].msg, FWUPDATE_MSG_FLASH_WRITE);
    EXPECT_EQ(reqs[0].hex, chunk_req(6, 0, img, true, false));
    EXPECT_EQ(messages(), (Strings{"D sending ipc for flash write (1 chunks), image id 6",
                                   "I Write flash in progress...", "D write flash completed"}));
}

TEST_F(FlashClientTest, InstallSecondChunkTakesTheCardsOffset) {
    // The card asks for the second chunk at 4096, not at 960.
    start_card({"write@1:next-offset=4096"});
    const auto img = image_bytes(961);
    const std::string path = work_file("img.bin", img);
    EXPECT_EQ(rfc_flash_write(FLASH_PARTITION_FW_B, path.c_str(), bdf_.c_str(), k_no_timeout), 0);
    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].hex, chunk_req(7, 0, slice(img, 0, 960), false, false));
    // last is judged from the card's offset: 4096 + 1 is not the size.
    EXPECT_EQ(reqs[1].hex, chunk_req(7, 4096, slice(img, 960, 1), false, false));
}

TEST_F(FlashClientTest, InstallTwoChunksSecondIsLast) {
    start_card();
    const auto img = image_bytes(961);
    const std::string path = work_file("img.bin", img);
    EXPECT_EQ(rfc_flash_write(FLASH_PARTITION_FW_B, path.c_str(), bdf_.c_str(), k_no_timeout), 0);
    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].hex, chunk_req(7, 0, slice(img, 0, 960), false, false));
    EXPECT_EQ(reqs[1].hex, chunk_req(7, 960, slice(img, 960, 1), true, false));
    EXPECT_EQ(messages().front(), "D sending ipc for flash write (2 chunks), image id 7");
}

TEST_F(FlashClientTest, InstallCpldRunsWritePassThenVerifyPass) {
    for (flash_partition_e part :
         {FLASH_PARTITION_CPLD, FLASH_PARTITION_CPLD_G, FLASH_PARTITION_UFM1, FLASH_PARTITION_UFM2}) {
        SCOPED_TRACE(part);
        start_card();
        const auto img = image_bytes(112);
        const std::string path = work_file("cpld.bin", img);
        EXPECT_EQ(rfc_flash_write(part, path.c_str(), bdf_.c_str(), k_no_timeout), 0);
        const auto reqs = requests();
        ASSERT_EQ(reqs.size(), 2u);
        EXPECT_EQ(reqs[0].hex, chunk_req(part, 0, img, true, false));
        EXPECT_EQ(reqs[1].hex, chunk_req(part, 0, img, true, true));
        const std::string id = std::to_string(part);
        EXPECT_EQ(messages(),
                  (Strings{"D sending ipc for flash write (1 chunks), image id " + id, "I Write flash in progress...",
                           "D write flash completed", "D sending ipc for flash write (1 chunks), image id " + id,
                           "I Verify flash in progress...", "D write flash completed"}));
        restart();
    }
}

TEST_F(FlashClientTest, InstallCpldSizeNotMultipleOf16) {
    start_card();
    const std::string path = work_file("cpld.bin", image_bytes(100));
    EXPECT_EQ(rfc_flash_write(FLASH_PARTITION_CPLD, path.c_str(), bdf_.c_str(), k_no_timeout), 2);
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(messages(), (Strings{"E CPLD file size should be multiple of 16", "E failed in write flash ret 2"}));
}

TEST_F(FlashClientTest, InstallOtherPartitionIgnoresMultipleOf16) {
    start_card();
    const std::string path = work_file("img.bin", image_bytes(100));
    EXPECT_EQ(rfc_flash_write(FLASH_PARTITION_OPROM, path.c_str(), bdf_.c_str(), k_no_timeout), 0);
    EXPECT_EQ(requests().size(), 1u);
}

TEST_F(FlashClientTest, InstallCpldVerifyMismatchFailsInstall) {
    start_card({"write@2:status-word=74"});
    const std::string path = work_file("cpld.bin", image_bytes(16));
    EXPECT_EQ(rfc_flash_write(FLASH_PARTITION_UFM2, path.c_str(), bdf_.c_str(), k_no_timeout), 255);
    EXPECT_EQ(requests().size(), 2u);
    const auto m = messages();
    ASSERT_GE(m.size(), 2u);
    EXPECT_EQ(m[m.size() - 2], "E failed to write flash, image id 20, ipc err 74, ipc ret 8");
    EXPECT_EQ(m.back(), "E failed in write flash ret 255");
}

TEST_F(FlashClientTest, InstallCpldFailedWritePassSkipsVerify) {
    start_card({"write@1:status-word=5"});
    const std::string path = work_file("cpld.bin", image_bytes(32));
    EXPECT_EQ(rfc_flash_write(FLASH_PARTITION_CPLD, path.c_str(), bdf_.c_str(), k_no_timeout), 255);
    EXPECT_EQ(requests().size(), 1u);
}

struct write_fault_case_s {
    const char *fault;
    const char *message;
};

// No chunk is retried: the first failed exchange ends the install.
TEST_F(FlashClientTest, InstallExchangeFailures) {
    const write_fault_case_s cases[] = {
        {"write@2:rsp-len=7", "E failed to write flash, image id 6, ipc err 0, ipc ret 7"},
        {"write@2:rsp-len=0", "E failed to write flash, image id 6, ipc err 0, ipc ret 0"},
        {"write@2:status-word=28", "E failed to write flash, image id 6, ipc err 28, ipc ret 8"},
        {"write@2:no-answer", "E failed to write flash, image id 6, ipc err 0, ipc ret -1"},
        {"write@2:truncated", "E failed to write flash, image id 6, ipc err 0, ipc ret -1"},
        {"write@2:oversize", "E failed to write flash, image id 6, ipc err 0, ipc ret -1"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        start_card({c.fault});
        const std::string path = work_file("img.bin", image_bytes(3 * 960));
        EXPECT_EQ(rfc_flash_write(FLASH_PARTITION_FW_A, path.c_str(), bdf_.c_str(), k_no_timeout), 255);
        EXPECT_EQ(requests().size(), 2u);
        const auto m = messages();
        ASSERT_GE(m.size(), 2u);
        EXPECT_EQ(m[m.size() - 2], c.message);
        EXPECT_EQ(m.back(), "E failed in write flash ret 255");
        restart();
    }
}

TEST_F(FlashClientTest, InstallTimeoutBeforeFirstChunk) {
    start_card();
    const std::string path = work_file("img.bin", image_bytes(2000));
    const bool timeout = true;
    EXPECT_EQ(rfc_flash_write(FLASH_PARTITION_FW_A, path.c_str(), bdf_.c_str(), timeout), 39);
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(messages(),
              (Strings{"D sending ipc for flash write (3 chunks), image id 6", "I Write flash in progress...",
                       "E Write operation aborted due to timeout", "E failed in write flash ret 39"}));
}

TEST_F(FlashClientTest, InstallInvalidPartitionDoesNotOpenTheFile) {
    start_card();
    EXPECT_EQ(rfc_flash_write(FLASH_PARTITION_ALL, "/nonexistent/img.bin", bdf_.c_str(), k_no_timeout), -1);
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(messages(), (Strings{"E flash partition is not valid"}));
}

TEST_F(FlashClientTest, InstallUnopenableImage) {
    start_card();
    const std::string path = root_ + "/missing.bin";
    EXPECT_EQ(rfc_flash_write(FLASH_PARTITION_FW_A, path.c_str(), bdf_.c_str(), k_no_timeout), 51);
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(messages(), (Strings{"E Failed to open file " + path, "E failed in write flash ret 51"}));
}

// An empty image is refused like the other size checks, before any request.
TEST_F(FlashClientTest, InstallEmptyImageIsInvalidSize) {
    start_card();
    const std::string path = work_file("empty.bin", {});
    EXPECT_EQ(rfc_flash_write(FLASH_PARTITION_FW_A, path.c_str(), bdf_.c_str(), k_no_timeout), 2);
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(messages(), (Strings{"E invalid size", "E failed in write flash ret 2"}));
}

// A pipe opens for reading but has no size to stream.
TEST_F(FlashClientTest, InstallImageWithoutSizeIsInvalidSize) {
    start_card();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string path = "/proc/self/fd/" + std::to_string(fds[0]);
    EXPECT_EQ(rfc_flash_write(FLASH_PARTITION_FW_A, path.c_str(), bdf_.c_str(), k_no_timeout), 2);
    close(fds[0]);
    close(fds[1]);
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(messages(), (Strings{"E invalid size", "E failed in write flash ret 2"}));
}

TEST_F(FlashClientTest, InstallOpenStepFailure) {
    start_card();
    close_client();
    const std::string path = work_file("img.bin", image_bytes(10));
    EXPECT_EQ(rfc_flash_write(FLASH_PARTITION_FW_A, path.c_str(), "ffff:fe:1f.7", k_no_timeout), 255);
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(messages().back(), "E failed in write flash ret 255");
}

struct shrink_case_s {
    size_t shrink_to;
    size_t chunks_sent;
};

// The image shrinks on disk while it is being sent (the card truncates it
// while answering the first chunk): the chunk that cannot be read in full
// ends the install, the last chunk included.
TEST_F(FlashClientTest, InstallImageShrinkingWhileSent) {
    // Far beyond what the client reads ahead.
    const size_t size = 1000 * 960;
    const shrink_case_s cases[] = {
        {size - 100, 999},  // last chunk short
        {500000, 520},      // chunk 521 (499200..500160) short
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.shrink_to);
        const std::string path = root_ + "/img.bin";
        const size_t shrink_to = c.shrink_to;
        start_scripted_card([path, shrink_to](unsigned n, uint32_t, flash_scripted_answer_s &) {
            if (n == 1) {
                EXPECT_EQ(truncate(path.c_str(), static_cast<off_t>(shrink_to)), 0);
            }
            return false;
        });
        work_file("img.bin", image_bytes(size));
        EXPECT_EQ(rfc_flash_write(FLASH_PARTITION_FW_A, path.c_str(), bdf_.c_str(), k_no_timeout), 255);
        EXPECT_EQ(requests().size(), c.chunks_sent);
        const auto m = messages();
        ASSERT_GE(m.size(), 2u);
        EXPECT_EQ(m[m.size() - 2], "E failed to read data");
        EXPECT_EQ(m.back(), "E failed in write flash ret 255");
        restart();
    }
}

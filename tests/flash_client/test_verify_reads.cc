// SPDX-License-Identifier: Apache-2.0
// Typed reads of the long verifications: the card's digest of a partition and
// its description of the startup image, polled every 2 seconds, delivered as
// records with nothing printed and no file written.
#include <filesystem>

#include "flash_fixture.h"
#include "rfc_reads.h"

namespace {

class VerifyReadsTest : public FlashClientTest {
  protected:
    void install(const std::vector<uint8_t> &img) {
        const std::string path = work_file("img.bin", img);
        ASSERT_EQ(rfc_flash_write(FLASH_PARTITION_FW_A, path.c_str(), bdf_.c_str(), false), 0);
        clear_records();
    }
};

TEST_F(VerifyReadsTest, ChecksumPolledIntoADigest) {
    struct row_s {
        std::vector<std::string> faults;
        unsigned polls;
        bool stop_at_first_sleep;
        int result;
        std::vector<unsigned> sleeps;
    };
    const row_s rows[] = {
        {{}, 0, false, RFC_OK, {}},
        {{}, 2, false, RFC_OK, {2, 2}},
        {{}, 2, true, RFC_ETIMEOUT, {2}},
        {{"checksum:status=5"}, 0, false, RFC_EFAIL, {}},
        {{"checksum:status-word=22"}, 0, false, RFC_EFAIL, {}},
    };
    const auto img = image_bytes(3000);
    for (const row_s &row : rows) {
        restart();
        start_card(row.faults, 0, row.polls);
        install(img);
        bool timeout = false;
        g_test_on_sleep = [&] { timeout = row.stop_at_first_sleep; };
        uint8_t digest[RFC_SHA512_LEN] = {};
        EXPECT_EQ(rfc_read_checksum(FLASH_PARTITION_FW_A, img.size(), bdf_.c_str(), timeout, digest), row.result);
        g_test_on_sleep = nullptr;
        EXPECT_EQ(g_test_sleeps, row.sleeps);
        EXPECT_EQ(rfc_digest_hex(digest), row.result == RFC_OK ? sha512_hex(img, true) : std::string(128, '0'));
        EXPECT_TRUE(std::filesystem::is_empty(client_dir()));
    }
}

TEST_F(VerifyReadsTest, StartupImageAndItsHashLine) {
    start_card({}, 0, 1);
    const auto img = image_bytes(1500);
    install(img);
    rfc_startup_image_s image;
    ASSERT_EQ(rfc_read_startup_image(FLASH_PARTITION_FW_A, bdf_.c_str(), nullptr, &image), RFC_OK);
    EXPECT_EQ(g_test_sleeps, (std::vector<unsigned>{2}));
    EXPECT_EQ(rfc_digest_hex(image.digest), sha512_hex(img, true));
    EXPECT_NE(image.text.find("hash: " + sha512_hex(img, false) + "\n"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_empty(client_dir()));

    const std::string hex = sha512_hex(img, false);
    struct row_s {
        std::string text;
        bool matches;
    };
    const row_s rows[] = {
        {image.text, true},
        {"hash: " + sha512_hex(img, true), true},            // any case, no line end
        {"size: 1\nhash: 00\ndigest " + hex + "\n", false},  // the digest is not on a hash line
        {"hash: " + hex.substr(0, 127) + "\n", false},
        {"", false},
    };
    for (const row_s &row : rows) {
        image.text = row.text;
        EXPECT_EQ(rfc_startup_image_matches(image), row.matches) << row.text;
    }
}

}  // namespace

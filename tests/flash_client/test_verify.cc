// SPDX-License-Identifier: Apache-2.0
// Checksum and startup-image verification against the in-process virtual card.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "flash_fixture.h"

using Strings = std::vector<std::string>;

namespace {

const bool k_no_timeout = false;

std::string checksum_req(uint32_t id, uint64_t size) {
    return le_hex(id, 4) + le_hex(0, 4) + le_hex(size, 8);
}

std::string upper(std::string s) {
    for (char &c : s)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

// The card's description of an installed image, as its service writes it.
std::string startup_text(const char *name, const std::vector<uint8_t> &img) {
    const std::string hash = sha512_hex(img, false);
    return std::string("image: ") + name + "\nversion: installed-" + hash.substr(0, 8) +
           "\nsize: " + std::to_string(img.size()) + "\nhash: " + hash + "\n";
}

std::vector<uint8_t> startup_answer(const std::vector<uint8_t> &digest, const std::string &text) {
    fwupdate_startup_verify_rsp_s rsp{};
    memcpy(rsp.digest, digest.data(), sizeof(rsp.digest));
    rsp.text_len = static_cast<uint32_t>(text.size());
    memcpy(rsp.text, text.data(), std::min(text.size(), sizeof(rsp.text)));
    const auto *p = reinterpret_cast<const uint8_t *>(&rsp);
    return std::vector<uint8_t>(p, p + sizeof(rsp));
}

}  // namespace

// ---- checksum ----------------------------------------------------------------

class ChecksumTest : public FlashClientTest {
  protected:
    void install(const std::vector<uint8_t> &img) {
        path_ = work_file("img.bin", img);
        ASSERT_EQ(rfc_flash_write(FLASH_PARTITION_FW_A, path_.c_str(), bdf_.c_str(), k_no_timeout), 0);
        clear_records();
    }
    std::string path_;
};

TEST_F(ChecksumTest, LowerCaseDigestMatchesCardsUpperCase) {
    start_card();
    const auto img = image_bytes(5000);
    install(img);
    EXPECT_EQ(rfc_verify_checksum(FLASH_PARTITION_FW_A, path_.c_str(), sha512_hex(img, false).c_str(), bdf_.c_str(),
                                  k_no_timeout),
              0);
    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].msg, FWUPDATE_MSG_GET_CHECKSUM);
    EXPECT_EQ(reqs[0].hex, checksum_req(6, 5000));
    EXPECT_EQ(messages(), (Strings{"D Sending IPC to get checksum, image id 6", "D sha512 " + sha512_hex(img, true),
                                   "I Verify checksum succeeded"}));
}

TEST_F(ChecksumTest, DigestsThatDifferFail) {
    start_card();
    const auto img = image_bytes(100);
    install(img);
    const std::string good = sha512_hex(img, true);
    for (const std::string &expected : {good + " ", good.substr(0, 127), std::string(), sha512_hex({1}, true)}) {
        SCOPED_TRACE(expected);
        clear_records();
        EXPECT_EQ(
            rfc_verify_checksum(FLASH_PARTITION_FW_A, path_.c_str(), expected.c_str(), bdf_.c_str(), k_no_timeout),
            255);
        EXPECT_EQ(messages().back(), "I Verify checksum failed");
    }
}

TEST_F(ChecksumTest, EmptyImageSendsSizeZeroAndStillCompares) {
    start_card();
    const std::string path = work_file("empty.bin", {});
    EXPECT_EQ(rfc_verify_checksum(FLASH_PARTITION_FW_B, path.c_str(), sha512_hex({}, false).c_str(), bdf_.c_str(),
                                  k_no_timeout),
              0);
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_EQ(requests()[0].hex, checksum_req(7, 0));
}

TEST_F(ChecksumTest, PollsEveryTwoSecondsWithTheSameRequest) {
    start_card({}, 0, 2);
    const auto img = image_bytes(2048);
    install(img);
    EXPECT_EQ(rfc_verify_checksum(FLASH_PARTITION_FW_A, path_.c_str(), sha512_hex(img, true).c_str(), bdf_.c_str(),
                                  k_no_timeout),
              0);
    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 3u);
    for (const auto &r : reqs)
        EXPECT_EQ(r.hex, checksum_req(6, 2048));
    EXPECT_EQ(g_test_sleeps, (std::vector<unsigned>{2, 2}));
}

TEST_F(ChecksumTest, InvalidPartition) {
    start_card();
    const std::string path = work_file("img.bin", image_bytes(10));
    EXPECT_EQ(rfc_verify_checksum(FLASH_PARTITION_ALL, path.c_str(), "", bdf_.c_str(), k_no_timeout), 255);
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(messages(), (Strings{"E flash partition is not valid"}));
}

TEST_F(ChecksumTest, UnopenableImageIs255) {
    start_card();
    const std::string path = root_ + "/missing.bin";
    EXPECT_EQ(rfc_verify_checksum(FLASH_PARTITION_FW_A, path.c_str(), "", bdf_.c_str(), k_no_timeout), 255);
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(messages(), (Strings{"E Failed to open file " + path}));
}

// A pipe opens for reading but has no size to send.
TEST_F(ChecksumTest, ImageWithoutSizeIs255) {
    start_card();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string path = "/proc/self/fd/" + std::to_string(fds[0]);
    EXPECT_EQ(rfc_verify_checksum(FLASH_PARTITION_FW_A, path.c_str(), "", bdf_.c_str(), k_no_timeout), 255);
    close(fds[0]);
    close(fds[1]);
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(messages(), (Strings{"E invalid size"}));
}

TEST_F(ChecksumTest, TimeoutBeforeFirstRequest) {
    start_card();
    const std::string path = work_file("img.bin", image_bytes(10));
    const bool timeout = true;
    EXPECT_EQ(rfc_verify_checksum(FLASH_PARTITION_FW_A, path.c_str(), "", bdf_.c_str(), timeout), 39);
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(messages(),
              (Strings{"D Sending IPC to get checksum, image id 6", "E Verify operation aborted due to timeout"}));
}

TEST_F(ChecksumTest, TimeoutAfterAWait) {
    start_card({}, 0, 3);
    const std::string path = work_file("img.bin", image_bytes(10));
    bool timeout = false;
    g_test_on_sleep = [&timeout]() { timeout = true; };
    EXPECT_EQ(rfc_verify_checksum(FLASH_PARTITION_FW_A, path.c_str(), "", bdf_.c_str(), timeout), 39);
    EXPECT_EQ(requests().size(), 1u);
    EXPECT_EQ(g_test_sleeps, (std::vector<unsigned>{2}));
    EXPECT_EQ(messages().back(), "E Verify operation aborted due to timeout");
}

TEST_F(ChecksumTest, StatusFailed) {
    start_card({"checksum@2:status=5"}, 0, 2);
    const std::string path = work_file("img.bin", image_bytes(10));
    EXPECT_EQ(rfc_verify_checksum(FLASH_PARTITION_FW_A, path.c_str(), "", bdf_.c_str(), k_no_timeout), 255);
    EXPECT_EQ(requests().size(), 2u);
    EXPECT_EQ(messages().back(), "E verify checksum failed");
}

TEST_F(ChecksumTest, ExchangeFailures) {
    struct {
        const char *fault;
        const char *message;
    } const cases[] = {
        {"checksum:status-word=22", "E failed to get checksum, ipc err 22, ipc ret 65"},
        {"checksum:no-answer", "E failed to get checksum, ipc err 0, ipc ret -1"},
        {"checksum:rsp-len=0", "E failed to get checksum, ipc err 0, ipc ret 0"},
        {"checksum:bad-magic", "E failed to get checksum, ipc err 0, ipc ret -1"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        start_card({c.fault}, 0, 1);  // the first answer would be status 4
        const std::string path = work_file("img.bin", image_bytes(10));
        EXPECT_EQ(rfc_verify_checksum(FLASH_PARTITION_FW_A, path.c_str(), "", bdf_.c_str(), k_no_timeout), 255);
        EXPECT_EQ(requests().size(), 1u);
        EXPECT_TRUE(g_test_sleeps.empty());
        EXPECT_EQ(messages().back(), c.message);
        restart();
    }
}

TEST_F(ChecksumTest, OpenStepFailure) {
    start_card();
    close_client();
    const std::string path = work_file("img.bin", image_bytes(10));
    EXPECT_EQ(rfc_verify_checksum(FLASH_PARTITION_FW_A, path.c_str(), "", "ffff:fe:1f.7", k_no_timeout), 255);
    EXPECT_TRUE(requests().empty());
}

// ---- startup image -------------------------------------------------------------

class StartupTest : public FlashClientTest {
  protected:
    std::string text_path(const char *name) const { return client_dir() + name + ".txt"; }
    std::string final_report(const char *name, unsigned err, int ret) const {
        return "E failed to verify startup image for " + std::string(name) + ", ipc err " + std::to_string(err) +
               ", ipc ret " + std::to_string(ret);
    }
};

TEST_F(StartupTest, InstalledImageVerifies) {
    start_card();
    const auto img = image_bytes(3000, 3);
    const std::string path = work_file("img.bin", img);
    ASSERT_EQ(rfc_flash_write(FLASH_PARTITION_FW_A, path.c_str(), bdf_.c_str(), k_no_timeout), 0);
    clear_records();

    EXPECT_EQ(rfc_validate_startup_image(FLASH_PARTITION_FW_A, bdf_.c_str()), 0);
    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].msg, FWUPDATE_MSG_VERIFY_STARTUP_IMAGE);
    EXPECT_EQ(reqs[0].hex, "06000000");
    const std::string text = startup_text("fw-a", img);
    std::string file;
    ASSERT_TRUE(read_file(text_path("fw-a"), file));
    EXPECT_EQ(file, text);
    EXPECT_EQ(messages(), (Strings{"D Sending IPC for verify startup image, image id 6",
                                   "I Verify startup image in progress...", "D sha512      " + sha512_hex(img, true),
                                   "D hash_buffer hash: " + sha512_hex(img, false) + "\n"}));
}

TEST_F(StartupTest, PollsEveryTwoSeconds) {
    start_card({}, 0, 2);
    EXPECT_EQ(rfc_validate_startup_image(FLASH_PARTITION_FW_B, bdf_.c_str()), 0);
    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 3u);
    for (const auto &r : reqs)
        EXPECT_EQ(r.hex, "07000000");
    EXPECT_EQ(g_test_sleeps, (std::vector<unsigned>{2, 2}));
}

TEST_F(StartupTest, RecordedHashDiffersFromFlash) {
    // The card's record says the image hashed to all zeros.
    std::filesystem::create_directories(state_dir_);
    std::ofstream(state_dir_ + "/state.txt") << "part.fw-b.hash=" << std::string(128, '0') << "\n";
    start_card();
    EXPECT_EQ(rfc_validate_startup_image(FLASH_PARTITION_FW_B, bdf_.c_str()), 255);
    const auto m = messages();
    ASSERT_GE(m.size(), 2u);
    EXPECT_EQ(m[m.size() - 2], "E Hash value does not match for fw-b\n");
    EXPECT_EQ(m.back(), final_report("fw-b", 0, 976));
}

TEST_F(StartupTest, TextShorterThanHashLineLeavesLineEmpty) {
    start_card({"verify-startup:text-len=20"});
    EXPECT_EQ(rfc_validate_startup_image(FLASH_PARTITION_FW_A, bdf_.c_str()), 255);
    std::string file;
    ASSERT_TRUE(read_file(text_path("fw-a"), file));
    EXPECT_EQ(file, "image: fw-a\nversion:");
    const auto m = messages();
    ASSERT_GE(m.size(), 3u);
    EXPECT_EQ(m[m.size() - 3], "D hash_buffer ");
    EXPECT_EQ(m[m.size() - 2], "E Hash value does not match for fw-a\n");
}

// The text area holds 903 bytes; a larger length is cut to the area.
TEST_F(StartupTest, TextLengthBeyondAreaIsBounded) {
    start_card({"verify-startup:text-len=5000"});
    rfc_validate_startup_image(FLASH_PARTITION_FW_A, bdf_.c_str());
    std::string file;
    ASSERT_TRUE(read_file(text_path("fw-a"), file));
    ASSERT_EQ(file.size(), 903u);
    EXPECT_EQ(file.substr(0, 12), "image: fw-a\n");
    EXPECT_EQ(file.back(), '\0');
}

TEST_F(StartupTest, StatusFailed) {
    start_card({"verify-startup@2:status=5"}, 0, 1);
    EXPECT_EQ(rfc_validate_startup_image(FLASH_PARTITION_FW_A, bdf_.c_str()), 255);
    EXPECT_EQ(requests().size(), 2u);
    const auto m = messages();
    ASSERT_GE(m.size(), 2u);
    EXPECT_EQ(m[m.size() - 2], "E verify checksum failed");
    EXPECT_EQ(m.back(), final_report("fw-a", 0, 976));
    EXPECT_FALSE(std::filesystem::exists(text_path("fw-a")));
}

TEST_F(StartupTest, ExchangeFailures) {
    struct {
        const char *fault;
        unsigned err;
        int ret;
    } const cases[] = {
        {"verify-startup:status-word=22", 22, 976},
        {"verify-startup:no-answer", 0, -1},
        {"verify-startup:rsp-len=0", 0, 0},
        {"verify-startup:bad-version", 0, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        start_card({c.fault});
        EXPECT_EQ(rfc_validate_startup_image(FLASH_PARTITION_FW_A, bdf_.c_str()), 255);
        EXPECT_EQ(requests().size(), 1u);
        const auto m = messages();
        ASSERT_GE(m.size(), 2u);
        EXPECT_EQ(m[m.size() - 2], "E Verify startup image failed err " + std::to_string(c.err) + "\n");
        EXPECT_EQ(m.back(), final_report("fw-a", c.err, c.ret));
        restart();
    }
}

// Partition 26 is not refused here: the card itself answers that it has no
// such partition, with its whole (zeroed) answer.
TEST_F(StartupTest, UnknownPartitionIsAskedFor) {
    start_card();
    EXPECT_EQ(rfc_validate_startup_image(FLASH_PARTITION_ALL, bdf_.c_str()), 255);
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_EQ(requests()[0].hex, "1a000000");
    EXPECT_EQ(messages().back(), final_report("unknown", 2, 976));
}

TEST_F(StartupTest, OpenStepFailureStillReports) {
    start_card();
    close_client();
    EXPECT_EQ(rfc_validate_startup_image(FLASH_PARTITION_FW_A, "ffff:fe:1f.7"), 255);
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(messages().back(), final_report("fw-a", 0, 255));
}

TEST_F(StartupTest, TextFileCannotBeOpened) {
    start_card();
    std::filesystem::remove_all(client_dir());
    EXPECT_EQ(rfc_validate_startup_image(FLASH_PARTITION_FW_A, bdf_.c_str()), 255);
    const auto m = messages();
    ASSERT_GE(m.size(), 2u);
    EXPECT_EQ(m[m.size() - 2], "E Failed to open file " + text_path("fw-a"));
    EXPECT_EQ(m.back(), final_report("fw-a", 0, 976));
}

// A grep command cut at 96 characters would search another file.
TEST_F(StartupTest, GrepCommandTooLongIsRefused) {
    start_card();
    // Prefix of 90 characters: the text file's path fits in 127, the command not in 95.
    const std::string long_scratch = root_ + "/" + std::string(90 - root_.size() - 2 - bdf_.size() - 1, 'd');
    std::filesystem::create_directories(long_scratch + "/" + bdf_);
    rfc_init_params_s params{};
    snprintf(params.bdf, sizeof(params.bdf), "%s", bdf_.c_str());
    snprintf(params.scratch_dir, sizeof(params.scratch_dir), "%s", long_scratch.c_str());
    params.trace_level = TRACE_LEVEL_DEBUG;
    params.trace_cb = g_rfc_trace_cb;
    ASSERT_EQ(rfc_init(&params), 0);
    const std::string prefix = long_scratch + "/" + bdf_ + "/";
    ASSERT_EQ(prefix.size(), 90u);

    EXPECT_EQ(rfc_validate_startup_image(FLASH_PARTITION_FW_A, bdf_.c_str()), 255);
    EXPECT_TRUE(std::filesystem::exists(prefix + "fw-a.txt"));
    const auto m = messages();
    ASSERT_GE(m.size(), 2u);
    EXPECT_EQ(m[m.size() - 2], "E grep command too long for " + prefix + "fw-a.txt");
    EXPECT_EQ(m.back(), final_report("fw-a", 0, 976));
}

struct hash_line_case_s {
    const char *what;
    std::string text;
    int result;
};

// Only the last line that grep prints counts, and only the part of it that
// fits the 256-byte line buffer.
TEST_F(StartupTest, LastHashLineDecides) {
    const std::vector<uint8_t> digest = sha512_bytes({'a', 'b', 'c'});
    const std::string lower = bytes_hex(digest);
    const std::string upper_hex = upper(lower);
    const hash_line_case_s cases[] = {
        {"lower-case digest", "image: fw-a\nhash: " + lower + "\n", 0},
        {"digest in last of two hash lines", "hash: 00\nhash: " + lower + "\n", 0},
        {"digest only in earlier hash line", "hash: " + upper_hex + "\nhash: 00\n", 255},
        {"no hash line", "image: fw-a\nsize: 3\n", 255},
        {"no final newline", "hash:" + upper_hex, 0},
        {"digest beyond 255 characters of the line", "hash: " + std::string(200, 'x') + lower + "\n", 255},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<uint8_t> answer = startup_answer(digest, c.text);
        start_scripted_card([answer](unsigned, uint32_t, flash_scripted_answer_s &a) {
            a.data = answer;
            return true;
        });
        EXPECT_EQ(rfc_validate_startup_image(FLASH_PARTITION_FW_A, bdf_.c_str()), c.result);
        std::string file;
        ASSERT_TRUE(read_file(text_path("fw-a"), file));
        EXPECT_EQ(file, c.text);
        restart();
    }
}

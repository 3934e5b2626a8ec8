// SPDX-License-Identifier: Apache-2.0
// The erase, install and verification commands of the real flash-update
// binary against the virtual card.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "fwupdate_msgs.h"
#include "test_support.h"

namespace {

using Strings = std::vector<std::string>;

std::string le_hex(uint64_t value, unsigned width) {
    std::vector<uint8_t> b;
    for (unsigned i = 0; i < width; ++i)
        b.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return e2e_hex(b);
}

using test_support::image_bytes;

// Text after the leading "[...] " (timestamp or function label and line).
std::string without_prefix(const std::string &line) {
    const size_t end = line.find("] ");
    return line.empty() || line[0] != '[' || end == std::string::npos ? line : line.substr(end + 2);
}

// Log records of the given level letter ('E', 'I', 'D'), prefix removed.
Strings logged(const e2e_card_s &card, char level) {
    Strings out;
    for (const std::string &line : e2e_log_lines(card)) {
        if (line.size() < 2 || line[0] != level || line[1] != ' ') continue;
        const size_t close = line.find("] (");
        if (close == std::string::npos) continue;
        const size_t end = line.find(") ", close + 3);
        if (end == std::string::npos) continue;
        out.push_back(without_prefix(line.substr(end + 2)));
    }
    return out;
}

bool contains(const Strings &lines, const std::string &text) {
    for (const auto &l : lines)
        if (l == text) return true;
    return false;
}

Strings stdout_lines(const e2e_result_s &r) {
    Strings out;
    size_t pos = 0;
    while (pos < r.out.size()) {
        size_t nl = r.out.find('\n', pos);
        if (nl == std::string::npos) nl = r.out.size();
        out.push_back(without_prefix(r.out.substr(pos, nl - pos)));
        pos = nl + 1;
    }
    return out;
}

std::string chunk_head(uint32_t id, uint64_t offset, uint64_t len, bool last, bool verify) {
    return le_hex(id, 4) + le_hex(0, 4) + le_hex(offset, 8) + le_hex(len, 8) + (last ? "01" : "00") +
           (verify ? "01" : "00");
}

std::string sha512sum_of(const std::string &path) {
    const std::string cmd = "sha512sum '" + path + "'";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) return "";
    char buf[256] = {};
    const bool ok = fgets(buf, sizeof(buf), p) != nullptr;
    pclose(p);
    return ok ? std::string(buf).substr(0, 128) : "";
}

}  // namespace

TEST(E2eFlash, EraseWaitsForTheCard) {
    e2e_card_guard g;
    e2e_options_s opt;
    opt.erase_polls = 2;
    const e2e_result_s r = e2e_run(g.card, {"--erase", "fw-a", "0x100000"}, opt);
    EXPECT_EQ(r.status, 0) << r.err;
    const auto reqs = e2e_requests(g.card);
    ASSERT_EQ(reqs.size(), 3u);
    for (const auto &q : reqs) {
        EXPECT_EQ(q.endpoint, 12u);
        EXPECT_EQ(q.msg, FWUPDATE_MSG_FLASH_ERASE);
        EXPECT_EQ(e2e_hex(q.bytes), "0600000000000000" + le_hex(0x100000, 8));
    }
    EXPECT_EQ(e2e_sleeps(g.card), (std::vector<unsigned>{10, 10}));
    EXPECT_TRUE(contains(stdout_lines(r), "Erase partition in progress..."));
    const Strings dbg = logged(g.card, 'D');
    EXPECT_TRUE(contains(dbg, "sending ipc for erase flash, image id 6 size 1048576"));
    EXPECT_TRUE(contains(dbg, "erase operation completed"));
}

TEST(E2eFlash, EraseFailures) {
    e2e_card_guard g;
    e2e_options_s opt;
    opt.erase_polls = 0;
    opt.faults = {"erase:status=5"};
    e2e_result_s r = e2e_run(g.card, {"--erase", "fw-b", "4096"}, opt);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(logged(g.card, 'E'), "erase operation failed"));

    e2e_clear_records(g.card);
    opt.faults = {"erase:status-word=16"};
    r = e2e_run(g.card, {"--erase", "fw-b", "4096"}, opt);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(logged(g.card, 'E'), "ipc send failed ret 1, ipc err 16 cmd rsp 0"));

    e2e_clear_records(g.card);
    r = e2e_run(g.card, {"--erase", "fw-z", "4096"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(logged(g.card, 'E'), "flash partition is not valid"));
    EXPECT_TRUE(e2e_requests(g.card).empty());
}

TEST(E2eFlash, SectorErase) {
    e2e_card_guard g;
    e2e_result_s r = e2e_run(g.card, {"--erase-sector", "fw_cfg", "0x1001"});
    EXPECT_EQ(r.status, 0) << r.err;
    auto reqs = e2e_requests(g.card);
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].msg, FWUPDATE_MSG_FLASH_SECTOR_ERASE);
    EXPECT_EQ(e2e_hex(reqs[0].bytes), "0b00000000000000" + le_hex(0, 8) + le_hex(4096, 8));
    EXPECT_EQ(e2e_hex(reqs[1].bytes), "0b00000000000000" + le_hex(4096, 8) + le_hex(4096, 8));
    EXPECT_TRUE(contains(stdout_lines(r), "Erase partition in progress...."));
    EXPECT_TRUE(e2e_sleeps(g.card).empty());

    e2e_clear_records(g.card);
    e2e_options_s opt;
    opt.faults = {"sector-erase@2:status=1"};
    r = e2e_run(g.card, {"--erase-sector", "fw-a", "0x3000"}, opt);
    EXPECT_EQ(r.status, 1);  // result 5
    EXPECT_EQ(e2e_requests(g.card).size(), 2u);
    EXPECT_TRUE(contains(logged(g.card, 'E'), "failed in erase flash sector size :1000 offset :1000"));

    e2e_clear_records(g.card);
    r = e2e_run(g.card, {"--erase-sector", "fw-a", "0"});
    EXPECT_EQ(r.status, 1);  // result 2
    EXPECT_TRUE(e2e_requests(g.card).empty());
    EXPECT_TRUE(contains(logged(g.card, 'E'), "flash partition erase size is not valid"));
}

// What a new user does: erase a partition, install a fresh image, check it
// with the digest sha512sum gives, and see a wrong digest refused.
TEST(E2eFlash, RoundTripEraseInstallVerify) {
    e2e_card_guard g;
    const size_t size = 8u << 20;
    const std::string image = e2e_work_file(g.card, "fw-b.bin", image_bytes(size, 42));
    const std::string digest = sha512sum_of(image);
    ASSERT_EQ(digest.size(), 128u);

    e2e_result_s r = e2e_run(g.card, {"--erase", "fw-b", "0x2000000"});
    ASSERT_EQ(r.status, 0) << r.err;

    e2e_clear_records(g.card);
    r = e2e_run(g.card, {"--install", "fw-b", image});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(stdout_lines(r), "Write flash in progress..."));
    auto reqs = e2e_requests(g.card);
    const size_t chunks = (size + 959) / 960;
    ASSERT_EQ(reqs.size(), chunks);
    EXPECT_EQ(e2e_hex(reqs[0].bytes).substr(0, 52), chunk_head(7, 0, 960, false, false));
    EXPECT_EQ(reqs[0].bytes.size(), 992u);
    const uint64_t last_off = (chunks - 1) * 960;
    EXPECT_EQ(e2e_hex(reqs.back().bytes).substr(0, 52), chunk_head(7, last_off, size - last_off, true, false));
    EXPECT_EQ(reqs.back().bytes.size(), size - last_off + 32);
    EXPECT_TRUE(contains(logged(g.card, 'D'),
                         "sending ipc for flash write (" + std::to_string(chunks) + " chunks), image id 7"));

    e2e_clear_records(g.card);
    r = e2e_run(g.card, {"--verify-checksum", "fw-b", image, digest});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(stdout_lines(r), "Verify checksum succeeded"));
    reqs = e2e_requests(g.card);
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(e2e_hex(reqs[0].bytes), "0700000000000000" + le_hex(size, 8));

    std::string wrong = digest;
    wrong[5] = wrong[5] == '0' ? '1' : '0';
    r = e2e_run(g.card, {"--verify-checksum", "fw-b", image, wrong});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(stdout_lines(r), "Verify checksum failed"));
}

TEST(E2eFlash, CpldInstallRunsVerifyPass) {
    e2e_card_guard g;
    const auto img = image_bytes(112, 5);
    e2e_result_s r = e2e_run(g.card, {"--install", "cpld", e2e_work_file(g.card, "cpld.bin", img)});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto reqs = e2e_requests(g.card);
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(e2e_hex(reqs[0].bytes), chunk_head(17, 0, 112, true, false) + e2e_hex(img) + "000000000000");
    EXPECT_EQ(e2e_hex(reqs[1].bytes), chunk_head(17, 0, 112, true, true) + e2e_hex(img) + "000000000000");
    EXPECT_EQ(stdout_lines(r), (Strings{"Write flash in progress...", "Verify flash in progress..."}));

    e2e_clear_records(g.card);
    r = e2e_run(g.card, {"--install", "cpld", e2e_work_file(g.card, "cpld100.bin", image_bytes(100, 5))});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(e2e_requests(g.card).empty());
    const Strings err = logged(g.card, 'E');
    EXPECT_TRUE(contains(err, "CPLD file size should be multiple of 16"));
    EXPECT_TRUE(contains(err, "failed in write flash ret 2"));
}

TEST(E2eFlash, InstallRefusals) {
    e2e_card_guard g;
    // An empty image: refused before any request.
    e2e_result_s r = e2e_run(g.card, {"--install", "fw-a", e2e_work_file(g.card, "empty.bin", {})});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(e2e_requests(g.card).empty());
    Strings err = logged(g.card, 'E');
    EXPECT_TRUE(contains(err, "invalid size"));
    EXPECT_TRUE(contains(err, "failed in write flash ret 2"));

    const std::string missing = g.card.work_dir + "/missing.bin";
    r = e2e_run(g.card, {"--install", "fw-a", missing});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(logged(g.card, 'E'), "Failed to open file " + missing));
    EXPECT_TRUE(contains(logged(g.card, 'E'), "failed in write flash ret 51"));

    r = e2e_run(g.card, {"--install", "n1-boot0", e2e_work_file(g.card, "img.bin", image_bytes(10, 1))});
    EXPECT_EQ(r.status, 1);  // result -1
    EXPECT_TRUE(e2e_requests(g.card).empty());
}

TEST(E2eFlash, InstallExchangeFailure) {
    e2e_card_guard g;
    e2e_options_s opt;
    opt.faults = {"write@2:no-answer"};
    const e2e_result_s r =
        e2e_run(g.card, {"--install", "fw-a", e2e_work_file(g.card, "img.bin", image_bytes(3000, 2))}, opt);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(e2e_requests(g.card).size(), 2u);
    const Strings err = logged(g.card, 'E');
    EXPECT_TRUE(contains(err, "failed to write flash, image id 6, ipc err 0, ipc ret -1"));
    EXPECT_TRUE(contains(err, "failed in write flash ret 255"));
    // Errors also reach the error log.
    bool in_err_log = false;
    for (const auto &l : e2e_err_log_lines(g.card))
        in_err_log = in_err_log || l.find("failed in write flash ret 255") != std::string::npos;
    EXPECT_TRUE(in_err_log);
}

TEST(E2eFlash, ChecksumPollsAndFailures) {
    e2e_card_guard g;
    const auto img = image_bytes(4000, 9);
    const std::string path = e2e_work_file(g.card, "img.bin", img);
    ASSERT_EQ(e2e_run(g.card, {"--install", "dtb", path}).status, 0);
    const std::string digest = sha512sum_of(path);

    e2e_clear_records(g.card);
    e2e_options_s opt;
    opt.verify_polls = 2;
    e2e_result_s r = e2e_run(g.card, {"--verify-checksum", "dtb", path, digest}, opt);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(e2e_requests(g.card).size(), 3u);
    EXPECT_EQ(e2e_sleeps(g.card), (std::vector<unsigned>{2, 2}));

    e2e_clear_records(g.card);
    opt.verify_polls = 0;
    opt.faults = {"checksum:status-word=5"};
    r = e2e_run(g.card, {"--verify-checksum", "dtb", path, digest}, opt);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(logged(g.card, 'E'), "failed to get checksum, ipc err 5, ipc ret 65"));

    opt.faults = {"checksum:status=5"};
    r = e2e_run(g.card, {"--verify-checksum", "dtb", path, digest}, opt);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(logged(g.card, 'E'), "verify checksum failed"));
}

TEST(E2eFlash, StartupImageVerification) {
    e2e_card_guard g;
    const auto img = image_bytes(2500, 11);
    const std::string path = e2e_work_file(g.card, "img.bin", img);
    ASSERT_EQ(e2e_run(g.card, {"--install", "fw-a", path}).status, 0);
    const std::string digest = sha512sum_of(path);

    e2e_clear_records(g.card);
    e2e_options_s opt;
    opt.verify_polls = 1;
    e2e_result_s r = e2e_run(g.card, {"--verify-startup-image", "fw-a"}, opt);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(e2e_sleeps(g.card), (std::vector<unsigned>{2}));
    const auto reqs = e2e_requests(g.card);
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].msg, FWUPDATE_MSG_VERIFY_STARTUP_IMAGE);
    EXPECT_EQ(e2e_hex(reqs[0].bytes), "06000000");
    std::string text;
    ASSERT_TRUE(e2e_scratch_read(g.card, "fw-a.txt", text));
    EXPECT_NE(text.find("\nhash: " + digest + "\n"), std::string::npos) << text;
    EXPECT_TRUE(contains(stdout_lines(r), "Verify startup image in progress..."));

    e2e_clear_records(g.card);
    opt.verify_polls = 0;
    opt.faults = {"verify-startup:status=5"};
    r = e2e_run(g.card, {"--verify-startup-image", "fw-a"}, opt);
    EXPECT_EQ(r.status, 1);
    Strings err = logged(g.card, 'E');
    EXPECT_TRUE(contains(err, "verify checksum failed"));
    EXPECT_TRUE(contains(err, "failed to verify startup image for fw-a, ipc err 0, ipc ret 976"));

    // The text's hash line no longer matches the flash.
    opt.faults = {"verify-startup:text-len=30"};
    r = e2e_run(g.card, {"--verify-startup-image", "fw-a"}, opt);
    EXPECT_EQ(r.status, 1);
    // The message ends in a line break, which ends the log line.
    EXPECT_TRUE(contains(logged(g.card, 'E'), "Hash value does not match for fw-a"));
}

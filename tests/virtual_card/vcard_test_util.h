// SPDX-License-Identifier: Apache-2.0
// Shared by the virtual card's tests: a card on a temporary state directory
// and helpers that build requests and read answers as the wire records.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fwupdate_msgs.h"
#include "test_support.h"
#include "vcard_service.h"

namespace vcard_test {

using bytes = std::vector<uint8_t>;
using test_support::file_text;

template <typename T>
bytes as_bytes(const T &rec) {
    const auto *p = reinterpret_cast<const uint8_t *>(&rec);
    return bytes(p, p + sizeof rec);
}

template <typename T>
T as_record(const bytes &data) {
    T rec;
    memset(&rec, 0, sizeof rec);
    memcpy(&rec, data.data(), std::min(data.size(), sizeof rec));
    return rec;
}

inline bytes u32(uint32_t v) {
    return as_bytes(v);
}

inline std::string sha512_hex_upper(const uint8_t *data, size_t len) {
    uint8_t d[64];
    unsigned n = 0;
    static const uint8_t empty = 0;
    EVP_Digest(data != nullptr ? data : &empty, len, d, &n, EVP_sha512(), nullptr);
    std::string out;
    char h[3];
    for (unsigned i = 0; i < n; i++) {
        snprintf(h, sizeof h, "%02x", d[i]);
        out += h;
    }
    return out;
}

inline std::string hex(const uint8_t *data, size_t len) {
    std::string out;
    char h[3];
    for (size_t i = 0; i < len; i++) {
        snprintf(h, sizeof h, "%02x", data[i]);
        out += h;
    }
    return out;
}

// A card on its own temporary state directory.
class CardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.empty());
        opts_.state_dir = dir_ + "/state";
    }
    void TearDown() override {
        if (card_ != nullptr) vcard_close(card_);
    }
    void open_card() {
        if (card_ != nullptr) vcard_close(card_);
        card_ = vcard_open(opts_);
        ASSERT_NE(card_, nullptr);
    }
    // Closes and reopens the card on the same state directory.
    void reopen() {
        vcard_close(card_);
        card_ = nullptr;
        open_card();
    }
    vcard_reply_s call(uint32_t msg, const bytes &req, size_t cap = 1024) {
        return vcard_handle(card_, IPC_EP_FWUPDATE, msg, req.data(), req.size(), cap);
    }
    // One chunk of an install, as the client sends it.
    vcard_reply_s write_chunk(uint32_t part, uint64_t off, const bytes &data, bool last, bool verify = false) {
        bytes req(sizeof(fwupdate_write_req_s) + data.size() + 6, 0);
        fwupdate_write_req_s h{};
        h.image_id = part;
        h.offset = off;
        h.length = data.size();
        h.last = last ? 1 : 0;
        h.verify = verify ? 1 : 0;
        memcpy(req.data(), &h, sizeof h);
        if (!data.empty()) memcpy(req.data() + sizeof h, data.data(), data.size());
        return call(FWUPDATE_MSG_FLASH_WRITE, req, 8);
    }
    // Installs an image in 960-byte chunks; fails the test on any refusal.
    void install(uint32_t part, const bytes &image, bool verify = false) {
        uint64_t off = 0;
        size_t sent = 0;
        while (sent < image.size()) {
            size_t n = std::min<size_t>(FLASH_WRITE_CHUNK_SIZE, image.size() - sent);
            bytes chunk(image.begin() + static_cast<long>(sent), image.begin() + static_cast<long>(sent + n));
            vcard_reply_s r = write_chunk(part, off, chunk, sent + n == image.size(), verify);
            ASSERT_EQ(r.rsp_errno, 0u);
            ASSERT_EQ(r.data.size(), 8u);
            off = as_record<fwupdate_write_rsp_s>(r.data).next_offset;
            sent += n;
        }
    }
    std::string checksum_hex(uint32_t part, uint64_t size) {
        fwupdate_checksum_req_s q{};
        q.image_id = part;
        q.size = size;
        vcard_reply_s r = call(FWUPDATE_MSG_GET_CHECKSUM, as_bytes(q), 65);
        EXPECT_EQ(r.rsp_errno, 0u);
        EXPECT_EQ(r.data.size(), 65u);
        auto rsp = as_record<fwupdate_checksum_rsp_s>(r.data);
        EXPECT_EQ(rsp.status, 0);
        return hex(rsp.digest, 64);
    }

    test_support::temp_dir tmp_{"vcard-test"};
    std::string dir_ = tmp_.path;
    vcard_options_s opts_;
    vcard_s *card_ = nullptr;
};

inline bytes pattern(size_t n, uint8_t seed) {
    bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return b;
}

}  // namespace vcard_test

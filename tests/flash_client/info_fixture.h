// SPDX-License-Identifier: Apache-2.0
// In-process card for the client's reporting and secure-boot operations.
//
// Each test gets a temporary root with the card's state directory and the
// client's scratch directory. The card is either the virtual card served on
// a socketpair (start_card, with fault specifications and an optional
// state.txt), or a canned card that answers each request with the next
// reply of a script (start_canned), for response bytes the virtual card
// never produces. Either way the client's handle is put on the socket by
// hand, so the open step finds it open.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "rfc_internal.h"
#include "vcard_service.h"

struct captured_msg_s {
    int level = 0;
    std::string text;  // without the leading "[timestamp] "
};

struct recorded_request_s {
    uint32_t endpoint = 0;
    uint32_t msg = 0;
    std::vector<uint8_t> bytes;
};

// One answer of the canned card: status word and data, or no answer at all
// (an empty message, which the host reads as a failed exchange).
struct canned_reply_s {
    uint32_t rsp_errno = 0;
    std::vector<uint8_t> data;
    bool no_answer = false;
};

struct canned_card_s;

class ClientInfoTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Virtual card with the given faults; state, when not empty, is written
    // as the card's state.txt first ("key=value" lines).
    void start_card(const std::vector<std::string> &faults = {}, const std::string &state = "");
    void start_canned(const std::vector<canned_reply_s> &replies);
    // Leaves the handle closed, with an address no card answers to.
    void no_card();

    // Requests the card received, oldest first.
    std::vector<recorded_request_s> requests() const;
    std::vector<captured_msg_s> messages() const;
    // Messages of the given level, in order.
    std::vector<std::string> texts(int level) const;
    void clear_messages();

    std::string scratch_path(const std::string &name) const { return card_dir_ + name; }
    bool scratch_read(const std::string &name, std::string &text) const;
    bool scratch_exists(const std::string &name) const;
    // Makes the per-card scratch directory disappear, so no output file opens.
    void remove_scratch_dir();

    std::string root_;
    std::string state_dir_;
    std::string card_dir_;  // the client's prefix: <scratch>/<bdf>/
    const char *bdf_ = "0000:e1:00.0";
    vcard_s *card_ = nullptr;
    vcard_peer_s *peer_ = nullptr;
    canned_card_s *canned_ = nullptr;
    int fd_ = -1;
};

// Hex text of bytes, lowercase, no separators.
std::string hex_of(const std::vector<uint8_t> &bytes);
std::vector<uint8_t> le32(uint32_t value);
std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts);
std::vector<uint8_t> bytes_of(const std::string &text);

template <typename T>
std::vector<uint8_t> bytes_of_record(const T &rec) {
    const auto *p = reinterpret_cast<const uint8_t *>(&rec);
    return std::vector<uint8_t>(p, p + sizeof(rec));
}

// Runs fn with standard output captured; returns what it printed.
template <typename Fn>
std::string stdout_of(Fn fn) {
    fflush(stdout);
    ::testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

// Makes the next array new(std::nothrow) of the process fail.
void fail_next_nothrow_array_new();

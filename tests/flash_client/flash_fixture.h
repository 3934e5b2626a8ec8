// SPDX-License-Identifier: Apache-2.0
// In-process virtual card behind a socketpair, wired into the client's
// per-thread handle, with the client's trace hook and poll sleeps recorded.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "rfc_internal.h"
#include "test_support.h"
#include "vcard_service.h"

struct flash_request_s {
    uint32_t endpoint = 0;
    uint32_t msg = 0;
    std::string hex;  // request bytes, lower-case hex
};

// Answer a scripted peer gives instead of the card's own.
struct flash_scripted_answer_s {
    uint32_t rsp_err = 0;
    std::vector<uint8_t> data;
};

// Called by the scripted peer for each request (1-based count), after the
// card has handled it and before the answer goes back. Returning true
// replaces the card's answer with `answer`.
using flash_script_fn = std::function<bool(unsigned n, uint32_t msg, flash_scripted_answer_s &answer)>;

class FlashClientTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the card (with vcard_peer_start) and hands its descriptor to the client.
    void start_card(const std::vector<std::string> &faults = {}, unsigned erase_polls = 0, unsigned verify_polls = 0);
    // The same card, served by a thread of this test that can rewrite answers.
    void start_scripted_card(flash_script_fn script, const std::vector<std::string> &faults = {});
    // Makes the next operation run the real open step (which finds no card here).
    void close_client();
    // A fresh card and client for the next row of a table.
    void restart() {
        TearDown();
        SetUp();
    }

    std::vector<flash_request_s> requests() const;
    // Client messages as "E text", "I text" or "D text", the timestamp removed.
    std::vector<std::string> messages() const;
    void clear_records();

    std::string work_file(const std::string &name, const std::vector<uint8_t> &bytes) const;
    std::string client_dir() const { return scratch_ + "/" + bdf_ + "/"; }

    std::string root_;
    std::string scratch_;
    std::string state_dir_;
    const std::string bdf_ = "0000:03:00.0";
    vcard_s *card_ = nullptr;
    vcard_peer_s *peer_ = nullptr;
    int client_fd_ = -1;
    // Scripted peer.
    int peer_fd_ = -1;
    std::thread peer_thread_;
};

// Poll sleeps the client asked for, and an action to run at each (it may set
// a timeout flag).
extern std::vector<unsigned> g_test_sleeps;
extern std::function<void()> g_test_on_sleep;

// Little-endian hex of an integer of `width` bytes.
std::string le_hex(uint64_t value, unsigned width);
std::string bytes_hex(const std::vector<uint8_t> &bytes);
std::string sha512_hex(const std::vector<uint8_t> &bytes, bool upper);
std::vector<uint8_t> sha512_bytes(const std::vector<uint8_t> &bytes);
using test_support::image_bytes;
using test_support::read_file;

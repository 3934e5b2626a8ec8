// SPDX-License-Identifier: Apache-2.0
// The misc framing (vcard_misc_exchange), every fault switch as the host
// sees it on the wire, and the socketpair peer.
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <functional>

#include "ipc_cmd.h"
#include "vcard_test_util.h"

using namespace vcard_test;

namespace {

// A request message as the host's channel writes it.
bytes frame(uint32_t msg, const bytes &data, uint8_t tag = 0, uint32_t endpoint = IPC_EP_FWUPDATE) {
    bytes m(16 + data.size(), 0);
    uint16_t pld_len = static_cast<uint16_t>(8 + data.size());
    m[0] = 2;
    m[1] = tag;
    m[2] = static_cast<uint8_t>(pld_len);
    m[3] = static_cast<uint8_t>(pld_len >> 8);
    memcpy(&m[4], &endpoint, 4);
    memcpy(&m[8], "IPCM", 4);
    m[12] = 1;
    m[13] = static_cast<uint8_t>(msg >> 16);
    m[14] = static_cast<uint8_t>(msg);
    m[15] = static_cast<uint8_t>(msg >> 8);
    std::copy(data.begin(), data.end(), m.begin() + 16);
    return m;
}

uint16_t pld_len_of(const bytes &m) {
    return static_cast<uint16_t>(m[2] | m[3] << 8);
}

uint32_t errno_of(const bytes &m) {
    uint32_t v;
    memcpy(&v, &m[4], 4);
    return v;
}

class VcardWire : public CardTest {
  protected:
    void SetUp() override {
        CardTest::SetUp();
        open_card();
    }
    // One exchange; the test fails when the driver refuses the message.
    bytes exchange(const bytes &msg, bool *no_answer = nullptr, unsigned *delay = nullptr) {
        bytes out;
        bool na = false;
        unsigned d = 0;
        EXPECT_TRUE(vcard_misc_exchange(card_, msg.data(), msg.size(), out, na, d));
        if (no_answer != nullptr) *no_answer = na;
        if (delay != nullptr) *delay = d;
        return out;
    }
    void with_faults(std::vector<std::string> faults) {
        opts_.faults = std::move(faults);
        open_card();
    }
};

TEST_F(VcardWire, RunningImageExchangeHasTheDocumentedBytes) {
    bytes out = exchange(frame(FWUPDATE_MSG_GET_RUNNING_IMAGE, bytes{1, 0, 0, 0}));
    EXPECT_EQ(out, (bytes{0x03, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x49, 0x50,
                          0x43, 0x4D, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST_F(VcardWire, ResponseKeepsTheTagAndCarriesTheStatusWord) {
    // A refused request is answered with its status byte too, zeroed.
    bytes out = exchange(frame(FWUPDATE_MSG_SET_STARTUP_IMAGE, u32(3), 0xA5));
    ASSERT_EQ(out.size(), 17u);
    EXPECT_EQ(out[0], 3);
    EXPECT_EQ(out[1], 0xA5);
    EXPECT_EQ(pld_len_of(out), 9);
    EXPECT_EQ(errno_of(out), uint32_t(EINVAL));
    EXPECT_EQ(bytes(out.begin() + 13, out.end()), (bytes{0x01, 0x04, 0x00, 0x00}));
}

TEST_F(VcardWire, LargestAnswerFitsOneMessage) {
    fwupdate_partition_info_req_s q{};
    bytes out = exchange(frame(FWUPDATE_MSG_GET_PARTITION_INFO, as_bytes(q)));
    EXPECT_EQ(out.size(), 16u + 1016u);
    EXPECT_EQ(pld_len_of(out), 8 + 1016);
    EXPECT_EQ(out[16], 25);
}

TEST_F(VcardWire, DriverRefusesMalformedRequestMessages) {
    bytes good = frame(FWUPDATE_MSG_GET_CARD_INFO, bytes{0});
    std::vector<std::pair<const char *, bytes>> bad;
    bytes m = good;
    m[0] = 3;
    bad.emplace_back("type 3", m);
    m = good;
    m[0] = 0;
    bad.emplace_back("type 0", m);
    m = good;
    m[2] = 10;
    bad.emplace_back("pld_len short of the write", m);
    m = good;
    m.push_back(0);
    bad.emplace_back("write longer than pld_len", m);
    bad.emplace_back("shorter than both headers", bytes(good.begin(), good.begin() + 15));
    bytes big = frame(FWUPDATE_MSG_FLASH_WRITE, bytes(1025, 0));
    bad.emplace_back("more than 1024 data bytes", big);
    for (const auto &[what, msg] : bad) {
        bytes out;
        bool na = true;
        unsigned d = 1;
        EXPECT_FALSE(vcard_misc_exchange(card_, msg.data(), msg.size(), out, na, d)) << what;
        EXPECT_TRUE(out.empty()) << what;
    }
    EXPECT_EQ(file_text(vcard_requests_path(card_)), "");
}

TEST_F(VcardWire, EndpointRefusesAForeignPayloadHeader) {
    bytes m = frame(FWUPDATE_MSG_GET_CARD_INFO, bytes{0}, 7);
    m[11] = 'X';
    bytes out = exchange(m);
    ASSERT_EQ(out.size(), 16u);
    EXPECT_EQ(out[1], 7);
    EXPECT_EQ(errno_of(out), uint32_t(EPROTO));
    m = frame(FWUPDATE_MSG_GET_CARD_INFO, bytes{0});
    m[12] = 2;
    EXPECT_EQ(errno_of(exchange(m)), uint32_t(EPROTO));
    EXPECT_EQ(file_text(vcard_requests_path(card_)), "");
}

TEST_F(VcardWire, RequestOnAnotherEndpointIsRecordedAndRefused) {
    bytes out = exchange(frame(FWUPDATE_MSG_GET_CARD_INFO, bytes{0}, 0, 3));
    EXPECT_EQ(errno_of(out), uint32_t(ENXIO));
    EXPECT_EQ(file_text(vcard_requests_path(card_)), "3 0x10008 00\n");
}

// ---- fault syntax ----------------------------------------------------------

TEST_F(VcardWire, FaultSpecificationsThatParse) {
    const char *good[] = {
        "erase:status-word=5",
        "0x10002@3:status=3",
        "65538:no-answer",
        "*:delay=10",
        "FWUPDATE_MSG_GET_SIGNED_DATA:key-name=",
        "signed-data:key-name=en",
        "write@1:next-offset=0x10",
        "verify-startup:text-len=904",
        "fw-list:text-len=901",
        "signed-data:text-len=1000",
        "card-info:no-nul",
        "partition-info:count=0",
        "card-info:ipc-version=1",
        "checksum:rsp-len=0",
        "secure-info:truncated",
        "running-image:short",
        "set-startup:bad-type",
        "fw-list:bad-magic",
        "card-info:bad-version",
        "sector-erase:bad-msg",
        "secure-boot:oversize",
        "signed-data:bad-json",
        "signed-data:no-key-name",
        "secure-image-update:status-word=1",
        "verify-signature:status-word=129",
    };
    for (const char *spec : good) {
        vcard_options_s o = opts_;
        o.faults = {spec};
        vcard_s *c = vcard_open(o);
        EXPECT_NE(c, nullptr) << spec;
        if (c != nullptr) vcard_close(c);
    }
}

TEST_F(VcardWire, FaultSpecificationsThatDoNot) {
    const char *bad[] = {
        "erase",                 // no kind
        "erase:",                // empty kind
        "erasure:no-answer",     // unknown message
        "0:no-answer",           // message 0
        "erase@0:no-answer",     // calls count from 1
        "erase@x:no-answer",     // call not a number
        "erase:status-word",     // value missing
        "erase:status-word=x",   // value not a number
        "erase:status-word=-1",  // negative
        "erase:no-answer=1",     // value where none is taken
        "erase:explode",         // unknown kind
        "erase:next-offset=1",   // write only
        "card-info:text-len=1",  // texts with lengths only
        "fw-list:count=1",       // partition summary only
        "write:ipc-version=1",   // card information only
        "erase:key-name=prod",   // signed data only
        "erase:bad-json",
        "erase:key-name",  // text missing
    };
    for (const char *spec : bad) {
        vcard_options_s o = opts_;
        o.faults = {spec};
        vcard_s *c = vcard_open(o);
        EXPECT_EQ(c, nullptr) << spec;
        if (c != nullptr) vcard_close(c);
    }
}

// ---- every fault on the wire ------------------------------------------------

struct wire_case_s {
    const char *fault;
    uint32_t msg;
    bytes req;
    std::function<void(const bytes &out)> check;
};

bytes req_of_checksum() {
    fwupdate_checksum_req_s q{};
    q.image_id = 6;
    q.size = 10;
    return as_bytes(q);
}

bytes req_of_write() {
    bytes r(26 + 4 + 6, 0);
    fwupdate_write_req_s h{};
    h.image_id = 6;
    h.offset = 960;
    h.length = 4;
    memcpy(r.data(), &h, sizeof h);
    return r;
}

std::string text_at(const bytes &out, size_t off, size_t len) {
    return std::string(reinterpret_cast<const char *>(out.data()) + 16 + off, len);
}

TEST_F(VcardWire, EveryFaultIsVisibleOnTheWire) {
    const bytes card_info_req{0};
    fwupdate_partition_info_req_s summary{};
    fwupdate_partition_info_req_s entry0{};
    entry0.detail = 1;
    fwupdate_erase_req_s erase{};
    erase.image_id = 6;
    const std::vector<wire_case_s> cases = {
        {"card-info:status-word=77", FWUPDATE_MSG_GET_CARD_INFO, card_info_req,
         [](const bytes &o) {
             EXPECT_EQ(errno_of(o), 77u);
             EXPECT_EQ(o.size(), 16u + 512u);  // the answer itself stays
         }},
        {"erase:status=5", FWUPDATE_MSG_FLASH_ERASE, as_bytes(erase),
         [](const bytes &o) {
             EXPECT_EQ(o, (bytes{3, 0, 9, 0, 0, 0, 0, 0, 'I', 'P', 'C', 'M', 1, 1, 2, 0, 5}));
         }},
        {"checksum:status=4", FWUPDATE_MSG_GET_CHECKSUM, req_of_checksum(),
         [](const bytes &o) { EXPECT_EQ(o.at(16), 4); }},
        {"verify-startup:status=4", FWUPDATE_MSG_VERIFY_STARTUP_IMAGE, u32(6),
         [](const bytes &o) {
             EXPECT_EQ(o.at(16 + 72), 4);
             EXPECT_EQ(o.at(16), 0);
         }},
        {"secure-info:status=7", FWUPDATE_MSG_GET_SECURE_INFO, u32(2),
         [](const bytes &o) {
             EXPECT_EQ(bytes(o.begin() + 16, o.begin() + 20), (bytes{7, 0, 0, 0}));
         }},
        {"sector-erase:status=1", FWUPDATE_MSG_FLASH_SECTOR_ERASE, bytes(24, 0),
         [](const bytes &o) { EXPECT_EQ(o.at(16), 1); }},
        {"card-info:short", FWUPDATE_MSG_GET_CARD_INFO, card_info_req,
         [](const bytes &o) {
             EXPECT_EQ(o, (bytes{3, 0, 8, 2, 0}));
         }},
        {"card-info:bad-type", FWUPDATE_MSG_GET_CARD_INFO, card_info_req,
         [](const bytes &o) {
             EXPECT_EQ(o.at(0), 2);
             EXPECT_EQ(pld_len_of(o), 520);
         }},
        {"card-info:bad-magic", FWUPDATE_MSG_GET_CARD_INFO, card_info_req,
         [](const bytes &o) {
             EXPECT_EQ(o.at(0), 3);
             EXPECT_NE(std::string(o.begin() + 8, o.begin() + 12), "IPCM");
         }},
        {"card-info:bad-version", FWUPDATE_MSG_GET_CARD_INFO, card_info_req,
         [](const bytes &o) { EXPECT_EQ(o.at(12), 2); }},
        {"card-info:bad-msg", FWUPDATE_MSG_GET_CARD_INFO, card_info_req,
         [](const bytes &o) {
             EXPECT_EQ(o.at(13), 1);
             EXPECT_EQ(o.at(14), 9);
             EXPECT_EQ(o.at(15), 0);
         }},
        {"verify-signature:bad-msg", FWUPDATE_MSG_VERIFY_SIGNATURE, bytes(12, 0),
         [](const bytes &o) { EXPECT_EQ(o.at(14), 1); }},
        {"card-info:oversize", FWUPDATE_MSG_GET_CARD_INFO, card_info_req,
         [](const bytes &o) {
             EXPECT_EQ(o.size(), 1040u);
             EXPECT_EQ(pld_len_of(o), 1032);
         }},
        {"card-info:truncated", FWUPDATE_MSG_GET_CARD_INFO, card_info_req,
         [](const bytes &o) {
             EXPECT_EQ(o.size(), 16u + 512u);
             EXPECT_EQ(pld_len_of(o), 8 + 512 + 16);
         }},
        {"card-info:rsp-len=3", FWUPDATE_MSG_GET_CARD_INFO, card_info_req,
         [](const bytes &o) {
             EXPECT_EQ(o.size(), 19u);
             EXPECT_EQ(pld_len_of(o), 11);
         }},
        {"write:rsp-len=0", FWUPDATE_MSG_FLASH_WRITE, req_of_write(), [](const bytes &o) { EXPECT_EQ(o.size(), 16u); }},
        {"running-image:rsp-len=9", FWUPDATE_MSG_GET_RUNNING_IMAGE, u32(0),
         [](const bytes &o) {
             EXPECT_EQ(o, (bytes{3, 0, 17, 0, 0, 0, 0, 0, 'I', 'P', 'C', 'M', 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
         }},
        {"write:next-offset=0x1234", FWUPDATE_MSG_FLASH_WRITE, req_of_write(),
         [](const bytes &o) {
             EXPECT_EQ(bytes(o.begin() + 16, o.end()), (bytes{0x34, 0x12, 0, 0, 0, 0, 0, 0}));
         }},
        {"verify-startup:text-len=904", FWUPDATE_MSG_VERIFY_STARTUP_IMAGE, u32(6),
         [](const bytes &o) {
             EXPECT_EQ(bytes(o.begin() + 16 + 68, o.begin() + 16 + 72), (bytes{0x88, 3, 0, 0}));
         }},
        {"fw-list:text-len=901", FWUPDATE_MSG_GET_FW_LIST, u32(6),
         [](const bytes &o) {
             EXPECT_EQ(bytes(o.begin() + 16 + 100, o.begin() + 16 + 104), (bytes{0x85, 3, 0, 0}));
         }},
        {"signed-data:text-len=2000", FWUPDATE_MSG_GET_SIGNED_DATA, u32(6),
         [](const bytes &o) {
             EXPECT_EQ(bytes(o.begin() + 16 + 4, o.begin() + 16 + 8), (bytes{0xD0, 7, 0, 0}));
         }},
        {"verify-startup:no-nul", FWUPDATE_MSG_VERIFY_STARTUP_IMAGE, u32(6),
         [](const bytes &o) {
             ASSERT_EQ(o.size(), 16u + 976u);
             EXPECT_EQ(std::find(o.begin() + 16 + 73, o.end(), 0), o.end());
             EXPECT_EQ(bytes(o.begin() + 16 + 68, o.begin() + 16 + 72), (bytes{0x87, 3, 0, 0}));
         }},
        {"fw-list:no-nul", FWUPDATE_MSG_GET_FW_LIST, u32(8),
         [](const bytes &o) {
             EXPECT_EQ(std::find(o.begin() + 16 + 4, o.begin() + 16 + 100, 0), o.begin() + 16 + 100);
         }},
        {"fw-list:no-nul", FWUPDATE_MSG_GET_FW_LIST, u32(6),
         [](const bytes &o) {
             EXPECT_EQ(std::find(o.begin() + 16 + 104, o.end(), 0), o.end());
             EXPECT_EQ(bytes(o.begin() + 16 + 100, o.begin() + 16 + 104), (bytes{0x84, 3, 0, 0}));
         }},
        {"card-info:no-nul", FWUPDATE_MSG_GET_CARD_INFO, card_info_req,
         [](const bytes &o) {
             EXPECT_EQ(std::find(o.begin() + 16, o.begin() + 16 + 64, 0), o.begin() + 16 + 64);
             EXPECT_EQ(std::find(o.begin() + 16 + 85, o.begin() + 16 + 149, 0), o.begin() + 16 + 149);
         }},
        {"partition-info:no-nul", FWUPDATE_MSG_GET_PARTITION_INFO, as_bytes(entry0),
         [](const bytes &o) {
             EXPECT_EQ(text_at(o, 9, 16), "boot0boot0boot0b");
             EXPECT_EQ(std::find(o.begin() + 16 + 25, o.begin() + 16 + 41, 0), o.begin() + 16 + 41);
             EXPECT_EQ(std::find(o.begin() + 16 + 52, o.end(), 0), o.end());
         }},
        {"secure-info:no-nul", FWUPDATE_MSG_GET_SECURE_INFO, u32(3),
         [](const bytes &o) {
             EXPECT_EQ(std::find(o.begin() + 16 + 115, o.begin() + 16 + 371, 0), o.begin() + 16 + 371);
         }},
        {"signed-data:no-nul", FWUPDATE_MSG_GET_SIGNED_DATA, u32(6),
         [](const bytes &o) {
             EXPECT_EQ(std::find(o.begin() + 16 + 12, o.end(), 0), o.end());
             EXPECT_EQ(bytes(o.begin() + 16 + 4, o.begin() + 16 + 8), (bytes{0x84, 3, 0, 0}));
         }},
        {"signed-data:bad-json", FWUPDATE_MSG_GET_SIGNED_DATA, u32(6),
         [](const bytes &o) {
             const std::string cut = "{\"key_name\": \"prod\", \"image\": ";
             EXPECT_EQ(text_at(o, 12, cut.size() + 1), cut + '\0');
             EXPECT_EQ(o.at(16 + 4), cut.size());
         }},
        {"signed-data:no-key-name", FWUPDATE_MSG_GET_SIGNED_DATA, u32(6),
         [](const bytes &o) {
             std::string t(reinterpret_cast<const char *>(o.data()) + 28);
             EXPECT_EQ(t.find("key_name"), std::string::npos);
             EXPECT_EQ(t.rfind("{\"image\": \"fw-a\", ", 0), 0u);
         }},
        {"signed-data:key-name=en", FWUPDATE_MSG_GET_SIGNED_DATA, u32(13),
         [](const bytes &o) { EXPECT_EQ(text_at(o, 12, 17), "{\"key_name\": \"en\""); }},
        {"signed-data:key-name=", FWUPDATE_MSG_GET_SIGNED_DATA, u32(13),
         [](const bytes &o) { EXPECT_EQ(text_at(o, 12, 15), "{\"key_name\": \"\""); }},
        {"partition-info:count=3", FWUPDATE_MSG_GET_PARTITION_INFO, as_bytes(summary),
         [](const bytes &o) { EXPECT_EQ(o.at(16), 3); }},
        {"card-info:ipc-version=1", FWUPDATE_MSG_GET_CARD_INFO, card_info_req,
         [](const bytes &o) {
             EXPECT_EQ(o.at(16 + 79), 1);
             EXPECT_EQ(o.at(16 + 150 + 3), 1);  // the fields themselves stay those of version 5
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        with_faults({c.fault});
        bool no_answer = true;
        bytes out = exchange(frame(c.msg, c.req), &no_answer);
        EXPECT_FALSE(no_answer);
        ASSERT_GE(out.size(), 5u);
        c.check(out);
    }
}

TEST_F(VcardWire, NoAnswerAndDelayComeBackToTheTransport) {
    with_faults({"card-info:no-answer", "running-image:delay=250"});
    bool no_answer = false;
    unsigned delay = 0;
    bytes out = exchange(frame(FWUPDATE_MSG_GET_CARD_INFO, bytes{0}), &no_answer, &delay);
    EXPECT_TRUE(no_answer);
    EXPECT_TRUE(out.empty());
    out = exchange(frame(FWUPDATE_MSG_GET_RUNNING_IMAGE, u32(0)), &no_answer, &delay);
    EXPECT_FALSE(no_answer);
    EXPECT_EQ(delay, 250u);
    EXPECT_EQ(out.size(), 20u);
    vcard_reply_s r = call(FWUPDATE_MSG_GET_RUNNING_IMAGE, u32(0), 4);
    EXPECT_EQ(r.delay_ms, 250u);
    EXPECT_EQ(call(FWUPDATE_MSG_GET_CARD_INFO, bytes{0}).wire_fault, VCARD_WIRE_NO_ANSWER);
}

TEST_F(VcardWire, CallNumberSelectsOneCallOfThatMessageOnly) {
    with_faults({"card-info@2:status-word=9", "0x10001@1:status-word=8"});
    EXPECT_EQ(errno_of(exchange(frame(FWUPDATE_MSG_GET_CARD_INFO, bytes{0}))), 0u);
    EXPECT_EQ(errno_of(exchange(frame(FWUPDATE_MSG_GET_RUNNING_IMAGE, u32(0)))), 8u);
    EXPECT_EQ(errno_of(exchange(frame(FWUPDATE_MSG_GET_CARD_INFO, bytes{0}))), 9u);
    EXPECT_EQ(errno_of(exchange(frame(FWUPDATE_MSG_GET_CARD_INFO, bytes{0}))), 0u);
    EXPECT_EQ(errno_of(exchange(frame(FWUPDATE_MSG_GET_RUNNING_IMAGE, u32(0)))), 0u);
}

TEST_F(VcardWire, StarFaultHitsEveryMessage) {
    with_faults({"*:status-word=3"});
    EXPECT_EQ(errno_of(exchange(frame(FWUPDATE_MSG_GET_CARD_INFO, bytes{0}))), 3u);
    EXPECT_EQ(errno_of(exchange(frame(FWUPDATE_MSG_GET_RUNNING_IMAGE, u32(0)))), 3u);
}

TEST_F(VcardWire, FaultsChangeTheAnswerNotTheWork) {
    with_faults({"write:status-word=5"});
    bytes req = req_of_write();
    req[8] = 0;  // offset 0
    req[9] = 0;
    req[26] = 0x42;
    EXPECT_EQ(errno_of(exchange(frame(FWUPDATE_MSG_FLASH_WRITE, req))), 5u);
    bytes expect{0x42, 0, 0, 0};
    EXPECT_EQ(checksum_hex(6, 4), sha512_hex_upper(expect.data(), expect.size()));
}

// ---- the socketpair peer ------------------------------------------------------

class VcardPeer : public VcardWire {
  protected:
    void start() {
        peer_ = vcard_peer_start(card_, &fd_);
        ASSERT_NE(peer_, nullptr);
        ASSERT_GE(fd_, 0);
    }
    void TearDown() override {
        if (peer_ != nullptr) vcard_peer_stop(peer_);
        if (fd_ >= 0) close(fd_);
        VcardWire::TearDown();
    }
    bytes roundtrip(const bytes &msg) {
        EXPECT_EQ(send(fd_, msg.data(), msg.size(), 0), static_cast<ssize_t>(msg.size()));
        bytes in(2048);
        ssize_t n = recv(fd_, in.data(), in.size(), 0);
        EXPECT_GE(n, 0);
        in.resize(n < 0 ? 0 : static_cast<size_t>(n));
        return in;
    }
    vcard_peer_s *peer_ = nullptr;
    int fd_ = -1;
};

TEST_F(VcardPeer, OneMessageInOneMessageOut) {
    start();
    bytes out = roundtrip(frame(FWUPDATE_MSG_GET_RUNNING_IMAGE, bytes{1, 0, 0, 0}, 0x11));
    EXPECT_EQ(out, (bytes{0x03, 0x11, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x49, 0x50,
                          0x43, 0x4D, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}));
    fwupdate_partition_info_req_s q{};
    out = roundtrip(frame(FWUPDATE_MSG_GET_PARTITION_INFO, as_bytes(q)));
    EXPECT_EQ(out.size(), 1032u);
}

TEST_F(VcardPeer, NoAnswerAndRefusedMessagesArriveAsEmptyMessages) {
    with_faults({"card-info@1:no-answer"});
    start();
    EXPECT_TRUE(roundtrip(frame(FWUPDATE_MSG_GET_CARD_INFO, bytes{0})).empty());
    bytes bad = frame(FWUPDATE_MSG_GET_CARD_INFO, bytes{0});
    bad[0] = 3;
    EXPECT_TRUE(roundtrip(bad).empty());
    // the channel goes on with the next request
    EXPECT_EQ(roundtrip(frame(FWUPDATE_MSG_GET_CARD_INFO, bytes{0})).size(), 16u + 512u);
}

TEST_F(VcardPeer, SlowAnswerComesLate) {
    with_faults({"card-info:delay=150"});
    start();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(roundtrip(frame(FWUPDATE_MSG_GET_CARD_INFO, bytes{0})).size(), 528u);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(150));
}

TEST_F(VcardPeer, StopEndsTheServingThreadAndTheHostSeesTheEnd) {
    start();
    vcard_peer_stop(peer_);
    peer_ = nullptr;
    uint8_t b[16];
    EXPECT_EQ(recv(fd_, b, sizeof b, 0), 0);
}

TEST_F(VcardPeer, HostClosingEndsTheThread) {
    start();
    close(fd_);
    fd_ = -1;
    vcard_peer_stop(peer_);  // joins without hanging
    peer_ = nullptr;
}

// The host's own channel code against the peer, as the client's tests use it.
TEST_F(VcardPeer, HostChannelExchangesAndSeesEveryTransportFault) {
    with_faults({"card-info@2:no-answer", "card-info@3:bad-magic", "card-info@4:oversize", "card-info@5:short",
                 "card-info@6:status-word=42"});
    start();
    ipc_cmd_dev_s dev{fd_, 0};
    auto exchange_card_info = [&](uint32_t &rsp_err) {
        uint8_t buf[512] = {};
        iovec req{buf, 1};
        iovec rsp{buf, sizeof buf};
        return ipc_cmd_send_req_v(&dev, IPC_EP_FWUPDATE, FWUPDATE_MSG_GET_CARD_INFO, &req, 1, &rsp, 1, &rsp_err);
    };
    uint32_t rsp_err = 99;
    EXPECT_EQ(exchange_card_info(rsp_err), 512);
    EXPECT_EQ(rsp_err, 0u);
    const int expected_errno[] = {EIO, EIO, EMSGSIZE, EIO};
    for (int e : expected_errno) {
        rsp_err = 99;
        errno = 0;
        EXPECT_EQ(exchange_card_info(rsp_err), -1);
        EXPECT_EQ(errno, e);
        EXPECT_EQ(rsp_err, 99u);
    }
    EXPECT_EQ(exchange_card_info(rsp_err), 512);
    EXPECT_EQ(rsp_err, 42u);
    EXPECT_EQ(dev.tag, 6);
}

}  // namespace

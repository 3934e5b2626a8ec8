// SPDX-License-Identifier: Apache-2.0
// Driver header accessors: bit layout, field isolation and the refusals.
#include <errno.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "protocol.h"

namespace {

TEST(DriverHeader, TypeIsBitsZeroToTwoOnly) {
    struct Case {
        ipc_drv_hdr_t hdr;
        uint8_t type;
    };
    const Case cases[] = {
        {0x00, 0}, {0xFA, 2}, {0xFB, 3}, {0x07, 7}, {0xFFFFFFFFFFFFFFF8ull, 0}, {0x0102030405060702ull, 2},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ipc_drv_hdr_get_type(c.hdr), c.type) << std::hex << c.hdr;
}

TEST(DriverHeader, GettersReadTheirBytes) {
    const ipc_drv_hdr_t req = 0x44332211'0408A502ull;  // type 2, tag 0xA5, pld_len 0x0408
    EXPECT_EQ(ipc_drv_hdr_get_tag(req), 0xA5);
    EXPECT_EQ(ipc_drv_hdr_get_pld_len(req), 0x0408);
    EXPECT_EQ(ipc_drv_hdr_get_req_endpoint(req), 0x44332211u);

    const ipc_drv_hdr_t rsp = 0xFFFFFFFE'FFFF01FBull;  // type 3 with reserved bits set
    EXPECT_EQ(ipc_drv_hdr_get_tag(rsp), 0x01);
    EXPECT_EQ(ipc_drv_hdr_get_pld_len(rsp), 0xFFFF);
    EXPECT_EQ(ipc_drv_hdr_get_rsp_errno(rsp), 0xFFFFFFFEu);
}

TEST(DriverHeader, SettersChangeOnlyTheirField) {
    struct Case {
        const char *name;
        ipc_drv_hdr_t before;
        void (*set)(ipc_drv_hdr_t *);
        ipc_drv_hdr_t after;
    };
    const Case cases[] = {
        {"type 3 over 2 keeps reserved bits", 0xAAAAAAAA'AAAAAAFAull,
         [](ipc_drv_hdr_t *h) { ipc_drv_hdr_set_type(h, 3); }, 0xAAAAAAAA'AAAAAAFBull},
        {"type 2 keeps tag, length, endpoint", 0x0000000C'0408A503ull,
         [](ipc_drv_hdr_t *h) { ipc_drv_hdr_set_type(h, 2); }, 0x0000000C'0408A502ull},
        {"tag", 0xFFFFFFFF'FFFF0002ull, [](ipc_drv_hdr_t *h) { ipc_drv_hdr_set_tag(h, 0x5C); }, 0xFFFFFFFF'FFFF5C02ull},
        {"pld_len", 0xFFFFFFFF'0000FF03ull, [](ipc_drv_hdr_t *h) { ipc_drv_hdr_set_pld_len(h, 1032); },
         0xFFFFFFFF'0408FF03ull},
        {"req_endpoint", 0x00000000'FFFFFFFAull, [](ipc_drv_hdr_t *h) { ipc_drv_hdr_set_req_endpoint(h, 0x0C); },
         0x0000000C'FFFFFFFAull},
        {"rsp_errno", 0xFFFFFFFF'12345603ull, [](ipc_drv_hdr_t *h) { ipc_drv_hdr_set_rsp_errno(h, 5); },
         0x00000005'12345603ull},
    };
    for (const Case &c : cases) {
        ipc_drv_hdr_t hdr = c.before;
        c.set(&hdr);
        EXPECT_EQ(hdr, c.after) << c.name;
    }
}

TEST(DriverHeader, StoresLittleEndian) {
    ipc_drv_hdr_t hdr = 0;
    ipc_drv_hdr_set_type(&hdr, IPC_DRV_HDR_TYPE_REQ);
    ipc_drv_hdr_set_tag(&hdr, 0x11);
    ipc_drv_hdr_set_req_endpoint(&hdr, 12);
    ipc_drv_hdr_set_pld_len(&hdr, 1032);
    uint8_t bytes[8];
    ipc_drv_hdr_store(bytes, hdr);
    const uint8_t expected[8] = {0x02, 0x11, 0x08, 0x04, 0x0C, 0x00, 0x00, 0x00};
    EXPECT_EQ(0, memcmp(bytes, expected, sizeof(bytes)));
    EXPECT_EQ(ipc_drv_hdr_load(expected), hdr);
}

// The refusal prints its message with no line break, then glibc's assertion
// line: "<program>: <file>:<line>: <function>: Assertion `0' failed."
std::string refusal(const std::string &message, const std::string &accessor) {
    return "^" + message + program_invocation_short_name + ": sdk/platform/ipcdrv/src/protocol:[0-9]+: " + accessor +
           ": Assertion `0' failed\\.";
}

using DriverHeaderDeathTest = ::testing::Test;

TEST_F(DriverHeaderDeathTest, SetTypeRefusesUndefinedTypes) {
    ipc_drv_hdr_t hdr = 0;
    EXPECT_DEATH(ipc_drv_hdr_set_type(&hdr, 0), refusal("undefined hdr_type: 0", "ipc_drv_hdr_set_type"));
    EXPECT_DEATH(ipc_drv_hdr_set_type(&hdr, 1), refusal("undefined hdr_type: 1", "ipc_drv_hdr_set_type"));
    // the message shows all eight bits of the argument, not only bits 0-2
    EXPECT_DEATH(ipc_drv_hdr_set_type(&hdr, 0xFA), refusal("undefined hdr_type: 250", "ipc_drv_hdr_set_type"));
}

TEST_F(DriverHeaderDeathTest, FieldAccessorsRefuseWrongTypes) {
    ipc_drv_hdr_t zero = 0;
    ipc_drv_hdr_t req = 0xFA;  // type 2
    ipc_drv_hdr_t rsp = 0x03;
    ipc_drv_hdr_t seven = 0x0F;  // type 7
    EXPECT_EQ(ipc_drv_hdr_get_type(zero), 0);

    EXPECT_DEATH(ipc_drv_hdr_get_tag(zero), refusal("invalid hdr_type for tag field: 0", "ipc_drv_hdr_get_tag"));
    EXPECT_DEATH(ipc_drv_hdr_set_tag(&seven, 1), refusal("invalid hdr_type for tag field: 7", "ipc_drv_hdr_set_tag"));
    EXPECT_DEATH(ipc_drv_hdr_get_pld_len(zero), refusal("invalid hdr_type for pld len: 0", "ipc_drv_hdr_get_pld_len"));
    EXPECT_DEATH(ipc_drv_hdr_set_pld_len(&zero, 8),
                 refusal("invalid hdr_type for pld len: 0", "ipc_drv_hdr_set_pld_len"));
    EXPECT_DEATH(ipc_drv_hdr_get_req_endpoint(rsp),
                 refusal("invalid hdr_type for endpoint field: 3", "ipc_drv_hdr_get_req_endpoint"));
    EXPECT_DEATH(ipc_drv_hdr_set_req_endpoint(&rsp, 12),
                 refusal("invalid hdr_type for endpoint field: 3", "ipc_drv_hdr_set_req_endpoint"));
    EXPECT_DEATH(ipc_drv_hdr_get_rsp_errno(req),
                 refusal("invalid hdr_type for errno field: 2", "ipc_drv_hdr_get_rsp_errno"));
    EXPECT_DEATH(ipc_drv_hdr_set_rsp_errno(&req, 0),
                 refusal("invalid hdr_type for errno field: 2", "ipc_drv_hdr_set_rsp_errno"));
    EXPECT_DEATH(ipc_drv_hdr_get_rsp_errno(zero),
                 refusal("invalid hdr_type for errno field: 0", "ipc_drv_hdr_get_rsp_errno"));
}

}  // namespace

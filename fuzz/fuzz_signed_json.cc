// SPDX-License-Identifier: Apache-2.0
// The signed metadata's JSON as the signature check reads it: the fuzzer's
// text is the card's answer to the metadata request of
// rfc_image_signature_verify, which parses it with Boost's read_json, picks
// the key by its "key_name" and, for eng or prod, sends that key to the card.
//
// Input: u8 selector (bits 0-2 the partition among those with signed
// metadata, bit 3 the card refuses the signature, bit 4 the verification
// exchange fails), then the metadata text (at most 900 bytes are carried).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_card.h"
#include "fwupdate_msgs.h"
#include "rfc.h"
#include "rfc_seams.h"

namespace {

const char *const k_bdf = "0000:03:00.0";

const flash_partition_e k_signed_partitions[] = {
    FLASH_PARTITION_A35_BL1_0, FLASH_PARTITION_A35_BL1_1,   FLASH_PARTITION_A35_GOLDFIP, FLASH_PARTITION_FW_A,
    FLASH_PARTITION_FW_B,      FLASH_PARTITION_BASTIONFW_0, FLASH_PARTITION_BASTIONFW_1,
};

struct card_s {
    uint8_t selector;
    const uint8_t *text;
    size_t text_len;
};
card_s g_card;

int driver(nic_fwctl_rpc_s &rpc) {
    auto *buf = reinterpret_cast<uint8_t *>(static_cast<uintptr_t>(rpc.rsp_data));
    if (rpc.msg == FWUPDATE_MSG_GET_SIGNED_DATA && rpc.rsp_len >= sizeof(fwupdate_signed_data_rsp_s)) {
        fwupdate_signed_data_rsp_s rsp{};
        const size_t n = std::min(g_card.text_len, sizeof(rsp.data));
        rsp.data_len = static_cast<uint32_t>(n);
        memcpy(rsp.data, g_card.text, n);
        memcpy(buf, &rsp, sizeof(rsp));
        rpc.rsp_len = sizeof(rsp);
        rpc.rsp_errno = 0;
        return 0;
    }
    if (rpc.msg == FWUPDATE_MSG_VERIFY_SIGNATURE) {
        if (g_card.selector & 0x10) {
            errno = EPERM;
            return -1;
        }
        fwupdate_verify_signature_req_s req;
        memcpy(&req, buf, sizeof(req));
        if (req.op != FWUPDATE_VERIFY_SIGNATURE_OP || rpc.req_len != req.key_len + FWUPDATE_VERIFY_SIGNATURE_OVERHEAD) {
            fprintf(stderr, "malformed signature verification request\n");
            abort();
        }
        rpc.rsp_len = FWUPDATE_VERIFY_SIGNATURE_RSP_LEN;
        rpc.rsp_errno = (g_card.selector & 0x08) ? 1 : 0;
        return 0;
    }
    errno = EPERM;
    return -1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_install_public_keys();
    rfc_init_params_s params{};
    snprintf(params.bdf, sizeof(params.bdf), "%s", k_bdf);
    snprintf(params.scratch_dir, sizeof(params.scratch_dir), "%s", fuzz_temp_dir().c_str());
    params.trace_level = TRACE_LEVEL_VERBOSE;
    params.trace_cb = fuzz_trace_cb;
    unsetenv("RFC_TEST_ENV");
    if (rfc_init(&params) != 0) {
        abort();
    }
    fuzz_fwctl_fd();
    g_fuzz_rpc = driver;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_input_s in{data, size, 0};
    g_card.selector = in.u8();
    g_card.text = in.bytes(in.left(), g_card.text_len);
    const flash_partition_e partition = k_signed_partitions[(g_card.selector & 7) % 7];

    nic_ipc_handle_s handle{};
    handle.transport = NIC_IPC_TRANSPORT_FWCTL;
    handle.cmd_dev = {fuzz_fwctl_fd(), 0};
    rfc_attach_transport(handle);
    rfc_image_signature_verify(partition, k_bdf);
    rfc_detach_transport();
    return 0;
}

// SPDX-License-Identifier: Apache-2.0
// The misc channel's exchange (ipc_cmd_send_req_v) against a card whose
// answer is the fuzzer's: the response checks, the bound on the data and the
// scatter into the caller's response segments.
//
// Input: u8 layout (bits 0-2 request segments, bits 3-5 response segments,
// bit 6 repair the payload header, bit 7 repair pld_len), u32 msg, u8 tag,
// u16 length of each request segment, u16 capacity of each response segment,
// then the response message the card sends (nothing: the card hangs up).
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_card.h"
#include "ipc_cmd.h"
#include "protocol.h"

namespace {

constexpr size_t k_max_segments = 7;
constexpr uint8_t k_fill = 0xA5;
constexpr uint32_t k_untouched = 0xDEADBEEF;

#define FUZZ_CHECK(cond)                                                             \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                 \
        }                                                                            \
    } while (0)

// One segment in a heap block of exactly its own size, so that a copy past
// its end is caught.
struct segment_s {
    std::unique_ptr<uint8_t[]> bytes;
    size_t len = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_input_s in{data, size, 0};
    const uint8_t layout = in.u8();
    const uint32_t msg = in.u32();
    const uint8_t tag = in.u8();
    const size_t req_cnt = layout & 7;
    const size_t rsp_cnt = (layout >> 3) & 7;
    static_assert(k_max_segments == 7);

    segment_s req_seg[k_max_segments];
    segment_s rsp_seg[k_max_segments];
    iovec req[k_max_segments] = {};
    iovec rsp[k_max_segments] = {};
    size_t req_len = 0;
    size_t rsp_cap = 0;
    for (size_t i = 0; i < req_cnt; ++i) {
        req_seg[i].len = in.u16() % 1100;
        req_seg[i].bytes.reset(new uint8_t[req_seg[i].len]);
        memset(req_seg[i].bytes.get(), static_cast<int>(i), req_seg[i].len);
        req[i] = {req_seg[i].bytes.get(), req_seg[i].len};
        req_len += req_seg[i].len;
    }
    for (size_t i = 0; i < rsp_cnt; ++i) {
        rsp_seg[i].len = in.u16() % 1100;
        rsp_seg[i].bytes.reset(new uint8_t[rsp_seg[i].len]);
        memset(rsp_seg[i].bytes.get(), k_fill, rsp_seg[i].len);
        rsp[i] = {rsp_seg[i].bytes.get(), rsp_seg[i].len};
        rsp_cap += rsp_seg[i].len;
    }
    size_t answer_len = 0;
    const uint8_t *answer_bytes = in.bytes(in.left(), answer_len);
    std::vector<uint8_t> answer(answer_bytes, answer_bytes + answer_len);
    if ((layout & 0x40) && answer.size() >= IPC_CMD_MSG_OFFSET_DATA) {
        ipc_cmd_pld_hdr_s pld{IPC_CMD_MAGIC, IPC_CMD_VERSION, static_cast<uint8_t>(msg >> 16),
                              static_cast<uint16_t>(msg)};
        memcpy(answer.data() + IPC_DRV_HDR_SIZE, &pld, sizeof(pld));
    }
    if ((layout & 0x80) && answer.size() >= IPC_DRV_HDR_SIZE) {
        const size_t pld_len = answer.size() - IPC_DRV_HDR_SIZE;
        answer[2] = static_cast<uint8_t>(pld_len);
        answer[3] = static_cast<uint8_t>(pld_len >> 8);
    }

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) {
        perror("socketpair");
        abort();
    }
    // The answer waits in the socket before the request goes out; without
    // one the card has hung up and the read meets end of file.
    if (answer.empty()) {
        shutdown(sv[1], SHUT_WR);
    } else if (send(sv[1], answer.data(), answer.size(), MSG_NOSIGNAL) < 0) {
        perror("send");
        abort();
    }

    ipc_cmd_dev_s dev{sv[0], tag};
    uint32_t status = k_untouched;
    errno = 0;
    const ssize_t ret = ipc_cmd_send_req_v(&dev, 12, msg, req, req_cnt, rsp, rsp_cnt, &status);
    const int err = errno;

    uint8_t sent[IPC_CMD_MAX_MSG + 64];
    const ssize_t sent_len = recv(sv[1], sent, sizeof(sent), MSG_DONTWAIT);
    close(sv[0]);
    close(sv[1]);

    if (req_len > IPC_CMD_MAX_DATA) {
        // Refused before anything is sent; the tag is not used.
        FUZZ_CHECK(ret == -1 && err == EMSGSIZE && sent_len < 0 && dev.tag == tag);
    } else {
        FUZZ_CHECK(sent_len == static_cast<ssize_t>(IPC_CMD_MSG_OFFSET_DATA + req_len));
        FUZZ_CHECK(dev.tag == static_cast<uint8_t>(tag + 1));
        const ipc_drv_hdr_t hdr = ipc_drv_hdr_load(sent);
        FUZZ_CHECK(ipc_drv_hdr_get_type(hdr) == IPC_DRV_HDR_TYPE_REQ && ipc_drv_hdr_get_tag(hdr) == tag &&
                   ipc_drv_hdr_get_pld_len(hdr) == req_len + 8 && ipc_drv_hdr_get_req_endpoint(hdr) == 12);
        size_t off = IPC_CMD_MSG_OFFSET_DATA;
        for (size_t i = 0; i < req_cnt; ++i) {
            if (req_seg[i].len > 0) FUZZ_CHECK(memcmp(sent + off, req_seg[i].bytes.get(), req_seg[i].len) == 0);
            off += req_seg[i].len;
        }
    }

    if (ret < 0) {
        FUZZ_CHECK(ret == -1 && status == k_untouched);
        FUZZ_CHECK(err == EIO || err == EMSGSIZE);
        for (size_t i = 0; i < rsp_cnt; ++i)
            for (size_t j = 0; j < rsp_seg[i].len; ++j)
                FUZZ_CHECK(rsp_seg[i].bytes[j] == k_fill);
        return 0;
    }

    // Accepted: a whole response of type 3 whose data fits the capacity.
    const size_t data_len = static_cast<size_t>(ret);
    FUZZ_CHECK(data_len <= rsp_cap && answer.size() >= IPC_CMD_MSG_OFFSET_DATA + data_len);
    const ipc_drv_hdr_t hdr = ipc_drv_hdr_load(answer.data());
    FUZZ_CHECK(ipc_drv_hdr_get_type(hdr) == IPC_DRV_HDR_TYPE_RSP);
    FUZZ_CHECK(ipc_drv_hdr_get_pld_len(hdr) == data_len + 8);
    FUZZ_CHECK(status == ipc_drv_hdr_get_rsp_errno(hdr));
    size_t off = IPC_CMD_MSG_OFFSET_DATA;
    size_t left = data_len;
    for (size_t i = 0; i < rsp_cnt; ++i) {
        const size_t take = std::min(left, rsp_seg[i].len);
        if (take > 0) FUZZ_CHECK(memcmp(rsp_seg[i].bytes.get(), answer.data() + off, take) == 0);
        for (size_t j = take; j < rsp_seg[i].len; ++j)
            FUZZ_CHECK(rsp_seg[i].bytes[j] == k_fill);
        off += take;
        left -= take;
    }
    return 0;
}

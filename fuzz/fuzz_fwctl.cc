// SPDX-License-Identifier: Apache-2.0
// The fwctl exchange (nic_fwctl_ipc_req_rsp, directly or through the IPC
// handle) against a driver whose answer is the fuzzer's: the read-back of
// rsp_len and rsp_errno from the RPC record.
//
// Input: u8 flags (bit 0 through nic_ipc_req_rsp), u32 endpoint, u32 msg,
// u16 request length, u16 response capacity, then one frame (fuzz_card.h).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fuzz_card.h"
#include "nic_ipc.h"

namespace {

constexpr uint8_t k_fill = 0x5A;
constexpr uint32_t k_untouched = 0xDEADBEEF;

#define FUZZ_CHECK(cond)                                                             \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                 \
        }                                                                            \
    } while (0)

struct expected_s {
    uint32_t endpoint;
    uint32_t msg;
    size_t req_len;
    size_t capacity;
    const uint8_t *buf;
    fuzz_input_s *frames;
    bool called;
    int result;
    uint32_t rsp_errno;
    uint32_t rsp_len;
};
expected_s g_expected;

// The driver: checks the record the exchange filled, then answers from the frame.
int driver(nic_fwctl_rpc_s &rpc) {
    expected_s &x = g_expected;
    FUZZ_CHECK(!x.called);
    x.called = true;
    FUZZ_CHECK(rpc.msg == x.msg && rpc.endpoint == x.endpoint && rpc.rsvd0 == 0);
    FUZZ_CHECK(rpc.req_len == static_cast<uint32_t>(x.req_len));
    FUZZ_CHECK(rpc.rsp_len == static_cast<uint32_t>(x.capacity));
    FUZZ_CHECK(rpc.req_data == reinterpret_cast<uintptr_t>(x.buf) && rpc.rsp_data == rpc.req_data);
    FUZZ_CHECK(rpc.rsp_errno == 0 && rpc.rsvd1[0] == 0 && rpc.rsvd1[1] == 0);
    g_fuzz_rpc_frames = x.frames;
    x.result = fuzz_rpc_from_frames(rpc);
    x.rsp_errno = rpc.rsp_errno;
    x.rsp_len = rpc.rsp_len;
    return x.result;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_fwctl_fd();
    g_fuzz_rpc = driver;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_input_s in{data, size, 0};
    const uint8_t flags = in.u8();
    const uint32_t endpoint = in.u32();
    const uint32_t msg = in.u32();
    const size_t req_len = in.u16() % 1100;
    const size_t capacity = in.u16() % 1100;

    // The caller's buffer, exactly as large as the larger of the two.
    const size_t buf_len = std::max(req_len, capacity);
    std::unique_ptr<uint8_t[]> buf(new uint8_t[buf_len]);
    memset(buf.get(), k_fill, buf_len);

    g_expected = expected_s{endpoint, msg, req_len, capacity, buf.get(), &in, false, 0, 0, 0};
    nic_ipc_handle_s handle{};
    handle.transport = NIC_IPC_TRANSPORT_FWCTL;
    handle.cmd_dev.fd = fuzz_fwctl_fd();
    uint32_t status = k_untouched;
    errno = 0;
    const ssize_t ret = (flags & 1)
                            ? nic_ipc_req_rsp(&handle, endpoint, msg, buf.get(), req_len, capacity, &status)
                            : nic_fwctl_ipc_req_rsp(&handle, endpoint, msg, buf.get(), req_len, capacity, &status);
    const int err = errno;
    g_fuzz_rpc_frames = nullptr;

    FUZZ_CHECK(g_expected.called);
    if (g_expected.result != 0) {
        // Whatever the kernel said, the caller sees EIO.
        FUZZ_CHECK(ret == -1 && err == EIO && status == k_untouched);
        return 0;
    }
    if (g_expected.rsp_len > capacity) {
        // The driver claims more than the room it had: refused, nothing handed on.
        FUZZ_CHECK(ret == -1 && status == k_untouched);
        return 0;
    }
    FUZZ_CHECK(ret == static_cast<ssize_t>(g_expected.rsp_len));
    FUZZ_CHECK(status == g_expected.rsp_errno);
    for (size_t i = capacity; i < buf_len; ++i)
        FUZZ_CHECK(buf[i] == k_fill);
    return 0;
}

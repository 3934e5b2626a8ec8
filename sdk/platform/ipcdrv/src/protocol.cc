// SPDX-License-Identifier: Apache-2.0
// Driver header of the misc IPC device: type-checked field accessors.
//
// A field accessed on a header of the wrong type is a programming error in
// the caller, never a condition of the bytes the card sent (readers check
// the type first), so it ends the process: a message with the offending
// type, then a failed assertion naming the accessor.
//
// The refusal calls __assert_fail itself; glibc declares it only without
// NDEBUG, so release builds keep it declared here.
#undef NDEBUG
#include <assert.h>

#include "protocol.h"

#include <cstdio>

namespace {

constexpr ipc_drv_hdr_t k_type_mask = 0x7;
constexpr unsigned k_tag_shift = 8;
constexpr ipc_drv_hdr_t k_tag_mask = 0xffull << k_tag_shift;
constexpr unsigned k_pld_len_shift = 16;
constexpr ipc_drv_hdr_t k_pld_len_mask = 0xffffull << k_pld_len_shift;
constexpr unsigned k_word_shift = 32;  // req_endpoint / rsp_errno
constexpr ipc_drv_hdr_t k_word_mask = 0xffffffffull << k_word_shift;

constexpr const char *k_assert_file = "sdk/platform/ipcdrv/src/protocol";

unsigned hdr_type(ipc_drv_hdr_t hdr) {
    return static_cast<unsigned>(hdr & k_type_mask);
}

bool is_req_or_rsp(unsigned type) {
    return type == IPC_DRV_HDR_TYPE_REQ || type == IPC_DRV_HDR_TYPE_RSP;
}

ipc_drv_hdr_t replace(ipc_drv_hdr_t hdr, ipc_drv_hdr_t mask, unsigned shift, uint64_t value) {
    return (hdr & ~mask) | ((value << shift) & mask);
}

}  // namespace

// Each refusal names its own line and accessor, so the assertion text
// points at the accessor that was misused.
#define IPC_DRV_HDR_REFUSE(fmt, type, accessor)                \
    do {                                                       \
        fprintf(stderr, fmt, static_cast<unsigned>(type));     \
        __assert_fail("0", k_assert_file, __LINE__, accessor); \
    } while (0)

uint8_t ipc_drv_hdr_get_type(ipc_drv_hdr_t hdr) {
    return static_cast<uint8_t>(hdr_type(hdr));
}

void ipc_drv_hdr_set_type(ipc_drv_hdr_t *hdr, uint8_t type) {
    if (!is_req_or_rsp(type)) IPC_DRV_HDR_REFUSE("undefined hdr_type: %u", type, "ipc_drv_hdr_set_type");
    *hdr = replace(*hdr, k_type_mask, 0, type);
}

uint8_t ipc_drv_hdr_get_tag(ipc_drv_hdr_t hdr) {
    if (!is_req_or_rsp(hdr_type(hdr)))
        IPC_DRV_HDR_REFUSE("invalid hdr_type for tag field: %u", hdr_type(hdr), "ipc_drv_hdr_get_tag");
    return static_cast<uint8_t>((hdr & k_tag_mask) >> k_tag_shift);
}

void ipc_drv_hdr_set_tag(ipc_drv_hdr_t *hdr, uint8_t tag) {
    if (!is_req_or_rsp(hdr_type(*hdr)))
        IPC_DRV_HDR_REFUSE("invalid hdr_type for tag field: %u", hdr_type(*hdr), "ipc_drv_hdr_set_tag");
    *hdr = replace(*hdr, k_tag_mask, k_tag_shift, tag);
}

uint16_t ipc_drv_hdr_get_pld_len(ipc_drv_hdr_t hdr) {
    if (!is_req_or_rsp(hdr_type(hdr)))
        IPC_DRV_HDR_REFUSE("invalid hdr_type for pld len: %u", hdr_type(hdr), "ipc_drv_hdr_get_pld_len");
    return static_cast<uint16_t>((hdr & k_pld_len_mask) >> k_pld_len_shift);
}

void ipc_drv_hdr_set_pld_len(ipc_drv_hdr_t *hdr, uint16_t len) {
    if (!is_req_or_rsp(hdr_type(*hdr)))
        IPC_DRV_HDR_REFUSE("invalid hdr_type for pld len: %u", hdr_type(*hdr), "ipc_drv_hdr_set_pld_len");
    *hdr = replace(*hdr, k_pld_len_mask, k_pld_len_shift, len);
}

uint32_t ipc_drv_hdr_get_req_endpoint(ipc_drv_hdr_t hdr) {
    if (hdr_type(hdr) != IPC_DRV_HDR_TYPE_REQ)
        IPC_DRV_HDR_REFUSE("invalid hdr_type for endpoint field: %u", hdr_type(hdr), "ipc_drv_hdr_get_req_endpoint");
    return static_cast<uint32_t>(hdr >> k_word_shift);
}

void ipc_drv_hdr_set_req_endpoint(ipc_drv_hdr_t *hdr, uint32_t endpoint) {
    if (hdr_type(*hdr) != IPC_DRV_HDR_TYPE_REQ)
        IPC_DRV_HDR_REFUSE("invalid hdr_type for endpoint field: %u", hdr_type(*hdr), "ipc_drv_hdr_set_req_endpoint");
    *hdr = replace(*hdr, k_word_mask, k_word_shift, endpoint);
}

uint32_t ipc_drv_hdr_get_rsp_errno(ipc_drv_hdr_t hdr) {
    if (hdr_type(hdr) != IPC_DRV_HDR_TYPE_RSP)
        IPC_DRV_HDR_REFUSE("invalid hdr_type for errno field: %u", hdr_type(hdr), "ipc_drv_hdr_get_rsp_errno");
    return static_cast<uint32_t>(hdr >> k_word_shift);
}

void ipc_drv_hdr_set_rsp_errno(ipc_drv_hdr_t *hdr, uint32_t rsp_errno) {
    if (hdr_type(*hdr) != IPC_DRV_HDR_TYPE_RSP)
        IPC_DRV_HDR_REFUSE("invalid hdr_type for errno field: %u", hdr_type(*hdr), "ipc_drv_hdr_set_rsp_errno");
    *hdr = replace(*hdr, k_word_mask, k_word_shift, rsp_errno);
}

ipc_drv_hdr_t ipc_drv_hdr_load(const void *msg) {
    const auto *bytes = static_cast<const uint8_t *>(msg);
    ipc_drv_hdr_t hdr = 0;
    for (unsigned i = 0; i < IPC_DRV_HDR_SIZE; ++i)
        hdr |= static_cast<ipc_drv_hdr_t>(bytes[i]) << (8 * i);
    return hdr;
}

void ipc_drv_hdr_store(void *msg, ipc_drv_hdr_t hdr) {
    auto *bytes = static_cast<uint8_t *>(msg);
    for (unsigned i = 0; i < IPC_DRV_HDR_SIZE; ++i)
        bytes[i] = static_cast<uint8_t>(hdr >> (8 * i));
}

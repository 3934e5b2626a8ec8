// SPDX-License-Identifier: Apache-2.0
// Driver header of every message on the card's misc IPC device.
//
// The header is one little-endian 64-bit word:
//   bits 0-2   type (2 request, 3 response), bits 3-7 reserved
//   bits 8-15  tag
//   bits 16-31 pld_len: bytes that follow the 8-byte header
//   bits 32-63 req_endpoint (requests) or rsp_errno (responses)
// Every accessor but the type getter refuses a header of the wrong type:
// that is a programming error, so it prints a message and asserts.
#pragma once

#include <cstdint>

using ipc_drv_hdr_t = uint64_t;

inline constexpr uint8_t IPC_DRV_HDR_TYPE_REQ = 2;
inline constexpr uint8_t IPC_DRV_HDR_TYPE_RSP = 3;
inline constexpr unsigned IPC_DRV_HDR_SIZE = 8;

uint8_t ipc_drv_hdr_get_type(ipc_drv_hdr_t hdr);
void ipc_drv_hdr_set_type(ipc_drv_hdr_t *hdr, uint8_t type);
uint8_t ipc_drv_hdr_get_tag(ipc_drv_hdr_t hdr);
void ipc_drv_hdr_set_tag(ipc_drv_hdr_t *hdr, uint8_t tag);
uint16_t ipc_drv_hdr_get_pld_len(ipc_drv_hdr_t hdr);
void ipc_drv_hdr_set_pld_len(ipc_drv_hdr_t *hdr, uint16_t len);
uint32_t ipc_drv_hdr_get_req_endpoint(ipc_drv_hdr_t hdr);
void ipc_drv_hdr_set_req_endpoint(ipc_drv_hdr_t *hdr, uint32_t endpoint);
uint32_t ipc_drv_hdr_get_rsp_errno(ipc_drv_hdr_t hdr);
void ipc_drv_hdr_set_rsp_errno(ipc_drv_hdr_t *hdr, uint32_t rsp_errno);

// Loads/stores the header word from/to a message buffer (little-endian, any alignment).
ipc_drv_hdr_t ipc_drv_hdr_load(const void *msg);
void ipc_drv_hdr_store(void *msg, ipc_drv_hdr_t hdr);

// SPDX-License-Identifier: Apache-2.0
// Records of the Linux fwctl RPC ioctl as the kvc_core driver takes them.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr unsigned long NIC_FWCTL_RPC = 0x9A01;  // FWCTL_RPC: type 0x9A, number 1

// The kernel's own names (struct fwctl_rpc, FWCTL_RPC_DEBUG_*) come from its
// uapi header where the system has it; our copies otherwise stay in
// nic_fwctl:: so that a program including both never sees two definitions.
#if __has_include(<fwctl/fwctl.h>)
#include <fwctl/fwctl.h>
namespace nic_fwctl {
using ::fwctl_rpc;
inline constexpr uint32_t FWCTL_RPC_DEBUG_READ_ONLY = ::FWCTL_RPC_DEBUG_READ_ONLY;
inline constexpr uint32_t FWCTL_RPC_DEBUG_WRITE = ::FWCTL_RPC_DEBUG_WRITE;
}  // namespace nic_fwctl
#else
namespace nic_fwctl {
inline constexpr uint32_t FWCTL_RPC_DEBUG_READ_ONLY = 1;
inline constexpr uint32_t FWCTL_RPC_DEBUG_WRITE = 2;

// The kernel's fwctl_rpc argument record.
struct __attribute__((packed)) fwctl_rpc {
    uint32_t size;
    uint32_t scope;
    uint32_t in_len;
    uint32_t out_len;
    uint64_t in;
    uint64_t out;
};
}  // namespace nic_fwctl
#endif
static_assert(nic_fwctl::FWCTL_RPC_DEBUG_READ_ONLY == 1 && nic_fwctl::FWCTL_RPC_DEBUG_WRITE == 2);
static_assert(sizeof(nic_fwctl::fwctl_rpc) == 32);
static_assert(offsetof(nic_fwctl::fwctl_rpc, scope) == 4);
static_assert(offsetof(nic_fwctl::fwctl_rpc, in_len) == 8);
static_assert(offsetof(nic_fwctl::fwctl_rpc, out_len) == 12);
static_assert(offsetof(nic_fwctl::fwctl_rpc, in) == 16);
static_assert(offsetof(nic_fwctl::fwctl_rpc, out) == 24);

// The driver's RPC record; the same record goes in and comes back.
struct __attribute__((packed)) nic_fwctl_rpc_s {
    uint32_t msg;
    uint32_t endpoint;
    uint32_t rsvd0;
    uint32_t req_len;
    uint64_t req_data;
    uint32_t rsp_errno;
    uint32_t rsvd1[2];
    uint32_t rsp_len;
    uint64_t rsp_data;
};
static_assert(sizeof(nic_fwctl_rpc_s) == 48);
static_assert(offsetof(nic_fwctl_rpc_s, endpoint) == 4);
static_assert(offsetof(nic_fwctl_rpc_s, req_len) == 12);
static_assert(offsetof(nic_fwctl_rpc_s, req_data) == 16);
static_assert(offsetof(nic_fwctl_rpc_s, rsp_errno) == 24);
static_assert(offsetof(nic_fwctl_rpc_s, rsvd1) == 28);
static_assert(offsetof(nic_fwctl_rpc_s, rsp_len) == 36);
static_assert(offsetof(nic_fwctl_rpc_s, rsp_data) == 40);

// Scope for an RPC: 2 when (endpoint << 16 | msg) is one of the driver's
// write-scope keys, otherwise 1.
uint32_t nic_fwctl_rpc_scope(uint32_t endpoint, uint32_t msg);

// SPDX-License-Identifier: Apache-2.0
// The IPC handle: one open channel to one card's firmware services, over the
// misc device of vela_ipc (transport 1) or the fwctl device of kvc_core (2).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "flash-update/ipcdrv/ipc_cmd.h"

inline constexpr int32_t NIC_IPC_TRANSPORT_VELA = 1;
inline constexpr int32_t NIC_IPC_TRANSPORT_FWCTL = 2;
inline constexpr size_t NIC_IPC_PATH_MAX = 4096;

struct nic_ipc_handle_s {
    int32_t transport;  // 0 in a zero-initialised handle: none chosen
    ipc_cmd_dev_s cmd_dev;
};

extern thread_local constinit uint32_t g_ipc_transport;        // preferred transport, initially 1
extern thread_local constinit bool g_use_alternate_transport;  // fall back when no node, initially true

int32_t nic_ipc_init(uint32_t transport, bool use_alternate);
// 0 open; -1 no node on the allowed transports or the node cannot be opened;
// -2 no card address while fwctl is preferred; -3 preferred transport invalid.
int32_t nic_ipc_open(nic_ipc_handle_s *handle, const char *card_bdf);
int32_t nic_ipc_close(nic_ipc_handle_s *handle);
// One request/response on one buffer. Returns the response length or -1 with
// errno; rsp_err is written only on success.
ssize_t nic_ipc_req_rsp(nic_ipc_handle_s *handle, uint32_t endpoint, uint32_t msg, void *buf, size_t req_len,
                        size_t rsp_len, uint32_t *rsp_err);

// Misc-device transport.
int nic_vela_device_path_from_crd_bdf(const char *card_bdf, char *path);
int nic_vela_ipc_open(nic_ipc_handle_s *handle, const char *path);  // null: "/dev/velaipcdev"
int nic_vela_ipc_close(nic_ipc_handle_s *handle);
ssize_t nic_vela_ipc_req_rsp(nic_ipc_handle_s *handle, uint32_t endpoint, uint32_t msg, void *buf, size_t req_len,
                             size_t rsp_len, uint32_t *rsp_err);

// fwctl transport.
int nic_fwctl_device_path_from_crd_bdf(const char *card_bdf, char *path);
int nic_fwctl_ipc_open(nic_ipc_handle_s *handle, const char *path);
int nic_fwctl_ipc_close(nic_ipc_handle_s *handle);
ssize_t nic_fwctl_ipc_req_rsp(nic_ipc_handle_s *handle, uint32_t endpoint, uint32_t msg, void *buf, size_t req_len,
                              size_t rsp_len, uint32_t *rsp_err);

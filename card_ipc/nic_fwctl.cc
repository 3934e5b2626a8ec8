// SPDX-License-Identifier: Apache-2.0
// Transport 2: the fwctl character device that kvc_core registers for the
// card's core function. Each exchange is one FWCTL_RPC ioctl carrying one
// nic_fwctl_rpc_s record; the driver moves the request and response bytes
// itself, so nothing is framed here.
#include <sys/ioctl.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "nic_fwctl.h"
#include "nic_ipc.h"
#include "nic_pci.h"

namespace {

// Keys (endpoint << 16 | msg) that the driver admits only with the write
// scope; every other RPC travels read-only.
constexpr std::array<uint32_t, 14> k_write_scope_keys = {
    0x50006,  0x50007,  0x110007, 0x130003, 0x130005, 0x130014, 0x190000,
    0x190001, 0x190002, 0x190005, 0x190007, 0x190010, 0x190011, 0x1A0004,
};

}  // namespace

uint32_t nic_fwctl_rpc_scope(uint32_t endpoint, uint32_t msg) {
    // msg is not masked: bits 16 and up of the message number land in the
    // endpoint half of the key, which is how the driver forms it too.
    const uint32_t key = (endpoint << 16) | msg;
    for (uint32_t k : k_write_scope_keys) {
        if (k == key) return nic_fwctl::FWCTL_RPC_DEBUG_WRITE;
    }
    return nic_fwctl::FWCTL_RPC_DEBUG_READ_ONLY;
}

// kvc_core lists the fwctl device it registered for the core function under
// the function's driver directory.
int nic_fwctl_device_path_from_crd_bdf(const char *card_bdf, char *path) {
    return nic_pci_device_node(card_bdf, CRD_DEVID_KVC_CORE, "kvc_core", "fwctl", "fwctl", "/dev/fwctl/", path);
}

int nic_fwctl_ipc_open(nic_ipc_handle_s *handle, const char *path) {
    return ipc_cmd_dev_open2(&handle->cmd_dev, path);
}

int nic_fwctl_ipc_close(nic_ipc_handle_s *handle) {
    // Descriptor 0 is never closed: a zero-initialised handle holds 0 and
    // must not close the process's standard input.
    if (handle->cmd_dev.fd > 0) return ipc_cmd_dev_close(&handle->cmd_dev);
    return handle->cmd_dev.fd;
}

ssize_t nic_fwctl_ipc_req_rsp(nic_ipc_handle_s *handle, uint32_t endpoint, uint32_t msg, void *buf, size_t req_len,
                              size_t rsp_len, uint32_t *rsp_err) {
    nic_fwctl_rpc_s rpc;
    memset(&rpc, 0, sizeof rpc);
    rpc.msg = msg;
    rpc.endpoint = endpoint;
    rpc.req_len = static_cast<uint32_t>(req_len);
    rpc.req_data = reinterpret_cast<uintptr_t>(buf);
    rpc.rsp_len = static_cast<uint32_t>(rsp_len);
    rpc.rsp_data = reinterpret_cast<uintptr_t>(buf);

    // The same record goes in and comes back, so the driver's answer
    // (rsp_errno, rsp_len) lands in it.
    nic_fwctl::fwctl_rpc call{};
    call.size = sizeof(call);
    call.scope = nic_fwctl_rpc_scope(endpoint, msg);
    call.in_len = sizeof(nic_fwctl_rpc_s);
    call.out_len = sizeof(nic_fwctl_rpc_s);
    call.in = reinterpret_cast<uintptr_t>(&rpc);
    call.out = reinterpret_cast<uintptr_t>(&rpc);

    if (ioctl(handle->cmd_dev.fd, NIC_FWCTL_RPC, &call) != 0) {
        errno = EIO;
        return -1;
    }
    // A driver that reports more than the room it was given cannot be
    // trusted with the caller's buffer: the caller would read past it.
    if (rpc.rsp_len > rsp_len) {
        errno = EMSGSIZE;
        return -1;
    }
    *rsp_err = rpc.rsp_errno;
    return static_cast<ssize_t>(rpc.rsp_len);
}

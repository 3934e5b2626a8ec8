// SPDX-License-Identifier: Apache-2.0
// The IPC handle: picks the misc-device or the fwctl transport when it is
// opened and hands every exchange to the one it picked.
#include "nic_ipc.h"

thread_local constinit uint32_t g_ipc_transport = NIC_IPC_TRANSPORT_VELA;
thread_local constinit bool g_use_alternate_transport = true;

int32_t nic_ipc_init(uint32_t transport, bool use_alternate) {
    if (transport != NIC_IPC_TRANSPORT_VELA && transport != NIC_IPC_TRANSPORT_FWCTL) return -3;
    g_ipc_transport = transport;
    g_use_alternate_transport = use_alternate;
    return 0;
}

namespace {

int open_vela(nic_ipc_handle_s *handle, const char *path) {
    handle->transport = NIC_IPC_TRANSPORT_VELA;
    return nic_vela_ipc_open(handle, path);
}

int open_fwctl(nic_ipc_handle_s *handle, const char *path) {
    handle->transport = NIC_IPC_TRANSPORT_FWCTL;
    return nic_fwctl_ipc_open(handle, path);
}

}  // namespace

// Only a missing node moves on to the other transport: a node that exists
// but cannot be opened is reported as it is, with transport naming it.
int32_t nic_ipc_open(nic_ipc_handle_s *handle, const char *card_bdf) {
    if (card_bdf == nullptr || card_bdf[0] == '\0') {
        // fwctl nodes are named per card; only the misc device has a default node.
        if (g_ipc_transport == NIC_IPC_TRANSPORT_FWCTL) return -2;
        return open_vela(handle, nullptr);
    }

    char path[NIC_IPC_PATH_MAX];
    if (g_ipc_transport == NIC_IPC_TRANSPORT_VELA) {
        if (nic_vela_device_path_from_crd_bdf(card_bdf, path) == 0) return open_vela(handle, path);
        if (!g_use_alternate_transport) return -1;
        if (nic_fwctl_device_path_from_crd_bdf(card_bdf, path) == 0) return open_fwctl(handle, path);
        return -1;
    }
    if (g_ipc_transport == NIC_IPC_TRANSPORT_FWCTL) {
        if (nic_fwctl_device_path_from_crd_bdf(card_bdf, path) == 0) return open_fwctl(handle, path);
        if (!g_use_alternate_transport) return -1;
        if (nic_vela_device_path_from_crd_bdf(card_bdf, path) == 0) return open_vela(handle, path);
        return -1;
    }
    return -3;
}

int32_t nic_ipc_close(nic_ipc_handle_s *handle) {
    switch (handle->transport) {
        case NIC_IPC_TRANSPORT_FWCTL:
            return nic_fwctl_ipc_close(handle);
        case NIC_IPC_TRANSPORT_VELA:
            return nic_vela_ipc_close(handle);
        default:
            return handle->transport;
    }
}

ssize_t nic_ipc_req_rsp(nic_ipc_handle_s *handle, uint32_t endpoint, uint32_t msg, void *buf, size_t req_len,
                        size_t rsp_len, uint32_t *rsp_err) {
    switch (handle->transport) {
        case NIC_IPC_TRANSPORT_FWCTL:
            return nic_fwctl_ipc_req_rsp(handle, endpoint, msg, buf, req_len, rsp_len, rsp_err);
        case NIC_IPC_TRANSPORT_VELA:
            return nic_vela_ipc_req_rsp(handle, endpoint, msg, buf, req_len, rsp_len, rsp_err);
        default:
            return -1;
    }
}

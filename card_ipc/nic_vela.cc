// SPDX-License-Identifier: Apache-2.0
// Transport 1 of the IPC handle: the misc device of the vela_ipc driver.
#include "nic_ipc.h"
#include "nic_pci.h"

// vela_ipc lists the misc device it created for a function under the
// function's driver directory; the entry's name is the node's name in /dev.
int nic_vela_device_path_from_crd_bdf(const char *card_bdf, char *path) {
    return nic_pci_device_node(card_bdf, CRD_DEVID_VELA_IPC, "vela_ipc", "misc", "velaipcdev", "/dev/", path);
}

int nic_vela_ipc_open(nic_ipc_handle_s *handle, const char *path) {
    return ipc_cmd_dev_open2(&handle->cmd_dev, path);
}

// Descriptor 0 is never closed here: a handle that was never opened holds 0.
int nic_vela_ipc_close(nic_ipc_handle_s *handle) {
    if (handle->cmd_dev.fd > 0) return ipc_cmd_dev_close(&handle->cmd_dev);
    return handle->cmd_dev.fd;
}

ssize_t nic_vela_ipc_req_rsp(nic_ipc_handle_s *handle, uint32_t endpoint, uint32_t msg, void *buf, size_t req_len,
                             size_t rsp_len, uint32_t *rsp_err) {
    const struct iovec req = {buf, req_len};
    const struct iovec rsp = {buf, rsp_len};
    return ipc_cmd_send_req_v(&handle->cmd_dev, endpoint, msg, &req, 1, &rsp, 1, rsp_err);
}

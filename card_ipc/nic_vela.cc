// Transport 1 of the IPC handle: the misc device of the vela_ipc driver.
#include <dirent.h>

#include <cstdio>
#include <cstring>

#include "nic_ipc.h"
#include "nic_pci.h"

// vela_ipc lists the misc device it created for a function under the
// function's driver directory; the entry's name is the node's name in /dev.
int nic_vela_device_path_from_crd_bdf(const char *card_bdf, char *path) {
    char ipc_bdf[NIC_PCI_BDF_LEN];
    int ret = device_bdf_from_crd_bdf(card_bdf, CRD_DEVID_VELA_IPC, ipc_bdf);
    if (ret != 0) return ret;

    char dir_path[NIC_IPC_PATH_MAX];
    int len = snprintf(dir_path, sizeof(dir_path), "%s/vela_ipc/%s/misc", NIC_PCI_SYSFS_DRIVERS, ipc_bdf);
    if (len < 0 || static_cast<size_t>(len) >= sizeof(dir_path)) return -1;

    DIR *dir = opendir(dir_path);
    if (dir == nullptr) return -1;
    ret = -1;
    while (const struct dirent *entry = readdir(dir)) {
        if (strstr(entry->d_name, "velaipcdev") == nullptr) continue;
        snprintf(path, NIC_IPC_PATH_MAX, "/dev/%s", entry->d_name);
        ret = 0;
        break;
    }
    closedir(dir);
    return ret;
}

int nic_vela_ipc_open(nic_ipc_handle_s *handle, const char *path) { return ipc_cmd_dev_open2(&handle->cmd_dev, path); }

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

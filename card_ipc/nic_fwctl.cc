// Placeholder until the fwctl transport lands: no fwctl node is ever found.
#include <cerrno>

#include "nic_fwctl.h"
#include "nic_ipc.h"

int nic_fwctl_device_path_from_crd_bdf(const char *, char *) { return -1; }
int nic_fwctl_ipc_open(nic_ipc_handle_s *handle, const char *path) {
    return ipc_cmd_dev_open2(&handle->cmd_dev, path);
}
int nic_fwctl_ipc_close(nic_ipc_handle_s *handle) {
    if (handle->cmd_dev.fd > 0) return ipc_cmd_dev_close(&handle->cmd_dev);
    return handle->cmd_dev.fd;
}
ssize_t nic_fwctl_ipc_req_rsp(nic_ipc_handle_s *, uint32_t, uint32_t, void *, size_t, size_t, uint32_t *) {
    errno = EIO;
    return -1;
}

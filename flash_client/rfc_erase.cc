// Partition erase (polled every 10 seconds while the card reports it running)
// and sector erase (one request per 4096-byte sector, no polling).
#include <cstdio>
#include <cstring>

#include "rfc_internal.h"
#include "rfc_progress.h"

namespace {

constexpr unsigned k_erase_poll_seconds = 10;

}  // namespace

int rfc_flash_erase(flash_partition_e partition, uint64_t size, const char *bdf, const bool &timeout) {
    if (partition == FLASH_PARTITION_ALL) {
        RFC_ERR("[%s] flash partition is not valid");
        return RFC_EFAIL;
    }
    if (rfc_device_open(bdf) != 0) {
        return RFC_EFAIL;
    }

    fwupdate_erase_req_s req{};
    req.image_id = partition;
    req.size = size;
    uint8_t buf[sizeof(fwupdate_erase_req_s)] = {};

    RFC_DBG("[%s] sending ipc for erase flash, image id %u size %ld", static_cast<unsigned>(partition),
            static_cast<long>(size));
    RFC_INFO("[%s] Erase partition in progress...");
    fflush(stdout);

    unsigned waited_s = 0;
    for (;;) {
        if (timeout) {
            rfc_progress_end();
            RFC_ERR("[%s] Erase operation aborted due to timeout");
            return RFC_ETIMEOUT;
        }
        // The one-byte status of the previous poll lies over the image id.
        memcpy(buf, &req, sizeof(req));
        uint32_t rsp_err = 0;
        const ssize_t ret =
            nic_ipc_req_rsp(&g_rfc_handle, IPC_EP_FWUPDATE, FWUPDATE_MSG_FLASH_ERASE, buf, sizeof(req), 1, &rsp_err);
        if (ret < 1 || rsp_err != 0) {
            rfc_progress_end();
            RFC_ERR("[%s] ipc send failed ret %d, ipc err %d cmd rsp %d", static_cast<int>(ret),
                    static_cast<int>(rsp_err), static_cast<int>(buf[0]));
            return RFC_EFAIL;
        }
        const uint8_t status = buf[0];
        if (status == FWUPDATE_STATUS_ERASE_IN_PROGRESS) {
            rfc_progress_poll("erase", waited_s);
            rfc_sleep(k_erase_poll_seconds);
            waited_s += k_erase_poll_seconds;
            rfc_progress_poll("erase", waited_s);
            continue;
        }
        rfc_progress_end();
        if (status == FWUPDATE_STATUS_FAILED) {
            RFC_ERR("[%s] erase operation failed");
            return RFC_EFAIL;
        }
        RFC_DBG("[%s] erase operation completed");
        return RFC_OK;
    }
}

int rfc_flash_sector_erase(flash_partition_e partition, uint64_t size, const char *bdf) {
    if (size == 0) {
        RFC_ERR("[%s] flash partition erase size is not valid");
        return RFC_EINVAL;
    }
    if (partition == FLASH_PARTITION_ALL) {
        RFC_ERR("[%s] flash partition is not valid");
        return RFC_EFAIL;
    }
    if (rfc_device_open(bdf) != 0) {
        return RFC_EFAIL;
    }

    const uint64_t sector_count = (size + FLASH_SECTOR_SIZE - 1) / FLASH_SECTOR_SIZE;
    RFC_DBG("[%s] sending ipc for erase flash sector , image id %u size %ld sector_count %ld",
            static_cast<unsigned>(partition), static_cast<long>(size), static_cast<long>(sector_count));
    RFC_INFO("[%s] Erase partition in progress....");

    uint32_t rsp_err = 0;
    for (uint64_t i = 0; i < sector_count; ++i) {
        fwupdate_sector_erase_req_s req{};
        req.image_id = partition;
        req.offset = i * FLASH_SECTOR_SIZE;
        req.length = FLASH_SECTOR_SIZE;
        uint8_t buf[sizeof(fwupdate_sector_erase_req_s)] = {};
        memcpy(buf, &req, sizeof(req));

        const ssize_t ret = nic_ipc_req_rsp(&g_rfc_handle, IPC_EP_FWUPDATE, FWUPDATE_MSG_FLASH_SECTOR_ERASE, buf,
                                            sizeof(req), 1, &rsp_err);
        if (ret < 1 || rsp_err != 0) {
            RFC_ERR("[%s] ipc send failed ret %d, ipc err %d", static_cast<int>(ret), static_cast<int>(rsp_err));
            return RFC_EFAIL;
        }
        if (buf[0] != 0) {
            RFC_ERR("[%s] failed in erase flash sector size :%lx offset :%lx", static_cast<unsigned long>(req.length),
                    static_cast<unsigned long>(req.offset));
            return RFC_ESECTOR;
        }
    }
    return RFC_OK;
}

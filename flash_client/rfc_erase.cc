// SPDX-License-Identifier: Apache-2.0
// Partition erase (polled every 10 seconds, or on the front end's schedule,
// while the card reports it running)
// and sector erase (one request per 4096-byte sector, no polling).
#include <cstdio>

#include "rfc_internal.h"

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

    RFC_DBG("[%s] sending ipc for erase flash, image id %u size %ld", static_cast<unsigned>(partition),
            static_cast<long>(size));
    RFC_INFO("[%s] Erase partition in progress...");
    fflush(stdout);

    rfc_poll_s poll;
    for (;;) {
        if (timeout) {
            rfc_progress_end();
            RFC_ERR("[%s] Erase operation aborted due to timeout");
            return RFC_ETIMEOUT;
        }
        // Without an answer the status byte is the image id's first byte.
        uint8_t status = 0;
        const rfc_exchange_s x = rfc_exchange<FWUPDATE_MSG_FLASH_ERASE>(req, status);
        if (!x.answered()) {
            rfc_progress_end();
            RFC_ERR("[%s] ipc send failed ret %d, ipc err %d cmd rsp %d", static_cast<int>(x.ret),
                    static_cast<int>(x.rsp_err), static_cast<int>(status));
            return RFC_EFAIL;
        }
        if (status == FWUPDATE_STATUS_ERASE_IN_PROGRESS) {
            rfc_poll_wait("erase", k_erase_poll_seconds, poll);
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
    // A size within a sector of 2^64 would wrap the sector count to 0 and
    // erase nothing while reporting success.
    if (size == 0 || size > UINT64_MAX - (FLASH_SECTOR_SIZE - 1)) {
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

    for (uint64_t i = 0; i < sector_count; ++i) {
        fwupdate_sector_erase_req_s req{};
        req.image_id = partition;
        req.offset = i * FLASH_SECTOR_SIZE;
        req.length = FLASH_SECTOR_SIZE;
        uint8_t status = 0;
        const rfc_exchange_s x = rfc_exchange<FWUPDATE_MSG_FLASH_SECTOR_ERASE>(req, status);
        if (!x.answered()) {
            RFC_ERR("[%s] ipc send failed ret %d, ipc err %d", static_cast<int>(x.ret), static_cast<int>(x.rsp_err));
            return RFC_EFAIL;
        }
        if (status != 0) {
            RFC_ERR("[%s] failed in erase flash sector size :%lx offset :%lx", static_cast<unsigned long>(req.length),
                    static_cast<unsigned long>(req.offset));
            return RFC_ESECTOR;
        }
    }
    return RFC_OK;
}

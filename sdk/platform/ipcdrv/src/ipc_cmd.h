// SPDX-License-Identifier: Apache-2.0
// Host side of the card's misc IPC channel: one framed request written,
// one framed response read, on the device node of the vela_ipc driver.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "protocol.h"

#include "flash-update/vocabulary/fu_vocabulary.h"

// Payload header that follows the driver header in every message.
struct __attribute__((packed)) ipc_cmd_pld_hdr_s {
    uint32_t magic;   // "IPCM" on the wire
    uint8_t version;  // 1
    uint8_t msg_hi;   // msg bits 16-23
    uint16_t msg_lo;  // msg bits 0-15
};
static_assert(sizeof(ipc_cmd_pld_hdr_s) == 8);
static_assert(offsetof(ipc_cmd_pld_hdr_s, version) == 4);
static_assert(offsetof(ipc_cmd_pld_hdr_s, msg_hi) == 5);
static_assert(offsetof(ipc_cmd_pld_hdr_s, msg_lo) == 6);

inline constexpr uint32_t IPC_CMD_MAGIC = 0x4D435049;  // bytes 'I' 'P' 'C' 'M'
inline constexpr uint8_t IPC_CMD_VERSION = 1;
inline constexpr size_t IPC_CMD_MAX_DATA = 1024;
inline constexpr size_t IPC_CMD_MSG_OFFSET_DATA = 16;                                  // driver header + payload header
inline constexpr size_t IPC_CMD_MAX_MSG = IPC_CMD_MAX_DATA + IPC_CMD_MSG_OFFSET_DATA;  // 1040

inline constexpr const char *IPC_DRV_DEFAULT_NODE = FU_DEFAULT_NODE;
inline constexpr unsigned long IPC_DRV_IOCTL_BIND = 0x40084208;    // _IOW('B', 8, 8 bytes)
inline constexpr unsigned long IPC_DRV_IOCTL_UNBIND = 0x40084209;  // _IOW('B', 9, 8 bytes)

// Channel context. fd is negative after a failed open and -1 after close;
// tag numbers the next request and wraps 255 -> 0.
struct ipc_cmd_dev_s {
    int32_t fd;
    uint8_t tag;
};

// Driver operations.
int ipc_drv_open2(const char *path);  // null: the default node
int ipc_drv_open();
int ipc_drv_close(int fd);
int ipc_drv_bind(int fd, uint32_t endpoint);
int ipc_drv_unbind(int fd, uint32_t endpoint);

// Channel operations.
int ipc_cmd_dev_open2(ipc_cmd_dev_s *dev, const char *path);
int ipc_cmd_dev_open(ipc_cmd_dev_s *dev);
int ipc_cmd_dev_close(ipc_cmd_dev_s *dev);
int ipc_cmd_dev_bind(ipc_cmd_dev_s *dev, uint32_t endpoint);
int ipc_cmd_dev_unbind(ipc_cmd_dev_s *dev, uint32_t endpoint);

// One exchange: gathers the request segments, scatters the response data
// into the response segments. Returns the response data length, or -1 with
// errno (EMSGSIZE, EIO, or that of the failed write/read). rsp_err receives
// the responder's status word only on success.
ssize_t ipc_cmd_send_req_v(ipc_cmd_dev_s *dev, uint32_t endpoint, uint32_t msg, const struct iovec *req, size_t req_cnt,
                           const struct iovec *rsp, size_t rsp_cnt, uint32_t *rsp_err);

// SPDX-License-Identifier: Apache-2.0
// Host side of the vela_ipc misc device: framing, one write per request,
// one read per response, and the checks that tie a response to its request.
#include "ipc_cmd.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

static_assert(std::endian::native == std::endian::little, "the payload header is copied as a little-endian record");
static_assert(IPC_CMD_MAX_MSG == 1040);

namespace {

// Sum of segment lengths, saturating: a wrapped sum must not slip under the
// 1024-byte limit.
size_t total_len(const struct iovec *seg, size_t cnt) {
    size_t total = 0;
    for (size_t i = 0; i < cnt; ++i) {
        if (seg[i].iov_len > SIZE_MAX - total) return SIZE_MAX;
        total += seg[i].iov_len;
    }
    return total;
}

uint8_t msg_hi(uint32_t msg) {
    return static_cast<uint8_t>(msg >> 16);
}
uint16_t msg_lo(uint32_t msg) {
    return static_cast<uint16_t>(msg);
}

}  // namespace

int ipc_drv_open2(const char *path) {
    // Close-on-exec: the helpers the client runs (grep, lspci) must not hold the card.
    return open(path != nullptr ? path : IPC_DRV_DEFAULT_NODE, O_RDWR | O_CLOEXEC);
}

int ipc_drv_open() {
    return ipc_drv_open2(nullptr);
}

int ipc_drv_close(int fd) {
    return close(fd);
}

// The driver takes the endpoint number itself as the argument, although the
// request code is encoded with an 8-byte size.
int ipc_drv_bind(int fd, uint32_t endpoint) {
    return ioctl(fd, IPC_DRV_IOCTL_BIND, static_cast<unsigned long>(endpoint));
}

int ipc_drv_unbind(int fd, uint32_t endpoint) {
    return ioctl(fd, IPC_DRV_IOCTL_UNBIND, static_cast<unsigned long>(endpoint));
}

int ipc_cmd_dev_open2(ipc_cmd_dev_s *dev, const char *path) {
    dev->fd = ipc_drv_open2(path);
    if (dev->fd < 0) return -1;
    dev->tag = 0;
    return 0;
}

int ipc_cmd_dev_open(ipc_cmd_dev_s *dev) {
    return ipc_cmd_dev_open2(dev, nullptr);
}

int ipc_cmd_dev_close(ipc_cmd_dev_s *dev) {
    int ret = ipc_drv_close(dev->fd);
    dev->fd = -1;
    return ret;
}

int ipc_cmd_dev_bind(ipc_cmd_dev_s *dev, uint32_t endpoint) {
    return ipc_drv_bind(dev->fd, endpoint);
}

int ipc_cmd_dev_unbind(ipc_cmd_dev_s *dev, uint32_t endpoint) {
    return ipc_drv_unbind(dev->fd, endpoint);
}

ssize_t ipc_cmd_send_req_v(ipc_cmd_dev_s *dev, uint32_t endpoint, uint32_t msg, const struct iovec *req, size_t req_cnt,
                           const struct iovec *rsp, size_t rsp_cnt, uint32_t *rsp_err) {
    const int saved_errno = errno;
    const size_t req_len = total_len(req, req_cnt);
    const size_t rsp_cap = total_len(rsp, rsp_cnt);

    if (req_len > IPC_CMD_MAX_DATA) {
        errno = EMSGSIZE;
        return -1;
    }

    uint8_t buf[IPC_CMD_MAX_MSG] = {};

    ipc_drv_hdr_t hdr = 0;
    ipc_drv_hdr_set_type(&hdr, IPC_DRV_HDR_TYPE_REQ);
    const uint8_t tag = dev->tag;
    dev->tag = static_cast<uint8_t>(tag + 1);
    ipc_drv_hdr_set_tag(&hdr, tag);
    ipc_drv_hdr_set_req_endpoint(&hdr, endpoint);
    ipc_drv_hdr_set_pld_len(&hdr, static_cast<uint16_t>(req_len + sizeof(ipc_cmd_pld_hdr_s)));
    ipc_drv_hdr_store(buf, hdr);

    ipc_cmd_pld_hdr_s pld = {};
    pld.magic = IPC_CMD_MAGIC;
    pld.version = IPC_CMD_VERSION;
    pld.msg_hi = msg_hi(msg);
    pld.msg_lo = msg_lo(msg);
    memcpy(buf + IPC_DRV_HDR_SIZE, &pld, sizeof(pld));

    size_t off = IPC_CMD_MSG_OFFSET_DATA;
    for (size_t i = 0; i < req_cnt; ++i) {
        if (req[i].iov_len == 0) continue;
        memcpy(buf + off, req[i].iov_base, req[i].iov_len);
        off += req[i].iov_len;
    }

    ssize_t n;
    do {
        n = write(dev->fd, buf, IPC_CMD_MSG_OFFSET_DATA + req_len);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;

    // The driver blocks until the card answers; there is no time-out on this read.
    do {
        n = read(dev->fd, buf, sizeof(buf));
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;

    const size_t got = static_cast<size_t>(n);
    if (got < IPC_DRV_HDR_SIZE) {
        errno = EIO;
        return -1;
    }
    hdr = ipc_drv_hdr_load(buf);
    if (ipc_drv_hdr_get_type(hdr) != IPC_DRV_HDR_TYPE_RSP) {
        errno = EIO;
        return -1;
    }
    const size_t pld_len = ipc_drv_hdr_get_pld_len(hdr);
    // A response that delivers fewer bytes than its header announces is
    // refused before anything else in the buffer is looked at: the bytes
    // behind the short read are still the request's, not the card's.
    if (pld_len < sizeof(ipc_cmd_pld_hdr_s) || got < IPC_DRV_HDR_SIZE + pld_len) {
        errno = EIO;
        return -1;
    }
    memcpy(&pld, buf + IPC_DRV_HDR_SIZE, sizeof(pld));
    if (pld.magic != IPC_CMD_MAGIC || pld.version != IPC_CMD_VERSION || pld.msg_lo != msg_lo(msg) ||
        pld.msg_hi != msg_hi(msg)) {
        errno = EIO;
        return -1;
    }

    // got <= sizeof(buf), so the data never reaches past the buffer.
    const size_t data_len = pld_len - sizeof(ipc_cmd_pld_hdr_s);
    if (data_len > rsp_cap) {
        errno = EMSGSIZE;
        return -1;
    }

    if (rsp_err != nullptr) *rsp_err = ipc_drv_hdr_get_rsp_errno(hdr);

    size_t left = data_len;
    off = IPC_CMD_MSG_OFFSET_DATA;
    for (size_t i = 0; i < rsp_cnt && left > 0; ++i) {
        const size_t take = std::min(rsp[i].iov_len, left);
        if (take == 0) continue;
        memcpy(rsp[i].iov_base, buf + off, take);
        off += take;
        left -= take;
    }

    errno = saved_errno;
    return static_cast<ssize_t>(data_len);
}

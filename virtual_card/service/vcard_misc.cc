// SPDX-License-Identifier: Apache-2.0
// Misc-device framing of the virtual card, and the in-process peer that
// serves it on a socketpair.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "ipc_cmd.h"
#include "protocol.h"
#include "vcard_internal.h"

namespace {

// Status word of a message whose payload header the card's IPC endpoint
// does not accept (wrong magic or version).
constexpr uint32_t ERR_PROTO = EPROTO;

// The card's IPC endpoint does not know how much the caller can take, so
// the service may answer up to the channel's data limit.
constexpr size_t MISC_RSP_CAP = IPC_CMD_MAX_DATA;

uint32_t msg_of(const ipc_cmd_pld_hdr_s &h) {
    return static_cast<uint32_t>(h.msg_hi) << 16 | h.msg_lo;
}

void build_response(uint8_t tag, uint32_t rsp_errno, const ipc_cmd_pld_hdr_s &req_pld, const vcard_reply_s &reply,
                    std::vector<uint8_t> &out) {
    size_t data_len = std::min(reply.data.size(), IPC_CMD_MAX_DATA);
    size_t pld_len = sizeof(ipc_cmd_pld_hdr_s) + data_len;
    out.assign(IPC_CMD_MSG_OFFSET_DATA + data_len, 0);
    ipc_drv_hdr_t hdr = 0;
    ipc_drv_hdr_set_type(&hdr, IPC_DRV_HDR_TYPE_RSP);
    ipc_drv_hdr_set_tag(&hdr, tag);
    ipc_drv_hdr_set_pld_len(&hdr, static_cast<uint16_t>(pld_len));
    ipc_drv_hdr_set_rsp_errno(&hdr, rsp_errno);
    ipc_cmd_pld_hdr_s pld{};
    pld.magic = IPC_CMD_MAGIC;
    pld.version = IPC_CMD_VERSION;
    pld.msg_hi = req_pld.msg_hi;
    pld.msg_lo = req_pld.msg_lo;
    switch (reply.wire_fault) {
        case VCARD_WIRE_BAD_TYPE:
            // Keeps tag, length and status: only the type bits change.
            hdr = (hdr & ~uint64_t{0x7}) | IPC_DRV_HDR_TYPE_REQ;
            break;
        case VCARD_WIRE_BAD_MAGIC:
            pld.magic = 0x58435049;  // "IPCX"
            break;
        case VCARD_WIRE_BAD_VERSION:
            pld.version = IPC_CMD_VERSION + 1;
            break;
        case VCARD_WIRE_BAD_MSG:
            // The number of the next message of the service (0x10010 wraps to 0x10001).
            pld.msg_lo = static_cast<uint16_t>(pld.msg_lo % 0x10 + 1);
            break;
        case VCARD_WIRE_OVERSIZE:
            // A full-size answer: more data than any caller takes (at most 1016).
            out.resize(IPC_CMD_MAX_MSG, 0);
            ipc_drv_hdr_set_pld_len(&hdr, static_cast<uint16_t>(sizeof(ipc_cmd_pld_hdr_s) + IPC_CMD_MAX_DATA));
            break;
        case VCARD_WIRE_TRUNCATED:
            ipc_drv_hdr_set_pld_len(&hdr, static_cast<uint16_t>(pld_len + 16));
            break;
        default:
            break;
    }
    ipc_drv_hdr_store(out.data(), hdr);
    memcpy(out.data() + IPC_DRV_HDR_SIZE, &pld, sizeof pld);
    if (data_len != 0) memcpy(out.data() + IPC_CMD_MSG_OFFSET_DATA, reply.data.data(), data_len);
    if (reply.wire_fault == VCARD_WIRE_SHORT) out.resize(5);
}

struct peer_thread_s {
    vcard_s *card;
    int fd;
};

void serve(peer_thread_s p) {
    std::vector<uint8_t> in(IPC_CMD_MAX_MSG + 64);
    std::vector<uint8_t> out;
    for (;;) {
        ssize_t n = recv(p.fd, in.data(), in.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the host end closed, or the peer is stopping
        bool no_answer = false;
        unsigned delay_ms = 0;
        if (!vcard_misc_exchange(p.card, in.data(), static_cast<size_t>(n), out, no_answer, delay_ms)) {
            // The driver refuses the write; over a socket the host sees it
            // as an empty answer.
            out.clear();
        }
        if (delay_ms != 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        if (no_answer) out.clear();
        // An empty message makes the host's read return 0 bytes, which it
        // takes as a failed exchange (EIO).
        ssize_t sent;
        do {
            sent = send(p.fd, out.data(), out.size(), MSG_NOSIGNAL);
        } while (sent < 0 && errno == EINTR);
        if (sent < 0) return;
    }
}

}  // namespace

bool vcard_misc_exchange(vcard_s *card, const uint8_t *msg, size_t len, std::vector<uint8_t> &out, bool &no_answer,
                         unsigned &delay_ms) {
    out.clear();
    no_answer = false;
    delay_ms = 0;
    // What the vela_ipc driver checks before the message reaches the card.
    if (msg == nullptr || len < IPC_CMD_MSG_OFFSET_DATA || len > IPC_CMD_MAX_MSG) return false;
    ipc_drv_hdr_t hdr = ipc_drv_hdr_load(msg);
    if (ipc_drv_hdr_get_type(hdr) != IPC_DRV_HDR_TYPE_REQ) return false;
    if (ipc_drv_hdr_get_pld_len(hdr) != len - IPC_DRV_HDR_SIZE) return false;
    uint8_t tag = ipc_drv_hdr_get_tag(hdr);
    uint32_t endpoint = ipc_drv_hdr_get_req_endpoint(hdr);
    ipc_cmd_pld_hdr_s pld;
    memcpy(&pld, msg + IPC_DRV_HDR_SIZE, sizeof pld);
    // The card's IPC endpoint answers a payload header it does not accept
    // with an error and no data.
    if (pld.magic != IPC_CMD_MAGIC || pld.version != IPC_CMD_VERSION) {
        build_response(tag, ERR_PROTO, pld, vcard_reply_s{}, out);
        return true;
    }
    vcard_reply_s reply = vcard_handle(card, endpoint, msg_of(pld), msg + IPC_CMD_MSG_OFFSET_DATA,
                                       len - IPC_CMD_MSG_OFFSET_DATA, MISC_RSP_CAP);
    delay_ms = reply.delay_ms;
    if (reply.wire_fault == VCARD_WIRE_NO_ANSWER) {
        no_answer = true;
        return true;
    }
    build_response(tag, reply.rsp_errno, pld, reply, out);
    return true;
}

struct vcard_peer_s {
    int fd = -1;
    std::thread thread;
};

vcard_peer_s *vcard_peer_start(vcard_s *card, int *client_fd) {
    int sv[2];
    if (client_fd != nullptr) *client_fd = -1;
    if (card == nullptr || client_fd == nullptr || socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0)
        return nullptr;
    auto *peer = new vcard_peer_s;
    peer->fd = sv[1];
    peer->thread = std::thread(serve, peer_thread_s{card, sv[1]});
    *client_fd = sv[0];
    return peer;
}

void vcard_peer_stop(vcard_peer_s *peer) {
    if (peer == nullptr) return;
    // Wakes the thread from its recv; the host end stays the caller's.
    shutdown(peer->fd, SHUT_RDWR);
    if (peer->thread.joinable()) peer->thread.join();
    close(peer->fd);
    delete peer;
}

// SPDX-License-Identifier: Apache-2.0
// The fuzzer-driven card (see fuzz_card.h), the key files it needs, and the
// in-process answer to the startup check's "grep".
#include "fuzz_card.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ipc_cmd.h"
#include "protocol.h"
#include "test_support.h"
#include "vcard_service.h"

int g_fuzz_fwctl_fd = -1;
fuzz_rpc_fn g_fuzz_rpc = nullptr;
fuzz_input_s *g_fuzz_rpc_frames = nullptr;

namespace {

// A message a little longer than the channel's limit, so that the client's
// read meets truncated records too.
constexpr size_t k_max_answer = IPC_CMD_MAX_MSG + 60;

constexpr const char *k_key_dir = "/etc/orv/korvex/larch/fwkeys";
constexpr const char *k_key_lock = "/tmp/flash-update-fwkeys.lock";

std::vector<uint8_t> misc_answer(const uint8_t *req, size_t req_len, const fuzz_frame_s &frame) {
    if (frame.mode & FUZZ_FRAME_RAW) {
        return std::vector<uint8_t>(frame.data, frame.data + std::min(frame.len, k_max_answer));
    }
    const size_t len = std::min(frame.len, k_max_answer - IPC_CMD_MSG_OFFSET_DATA);
    std::vector<uint8_t> out(IPC_CMD_MSG_OFFSET_DATA + len, 0);
    ipc_drv_hdr_t hdr = 0;
    ipc_drv_hdr_set_type(&hdr, IPC_DRV_HDR_TYPE_RSP);
    if (req_len >= IPC_DRV_HDR_SIZE) {
        const ipc_drv_hdr_t req_hdr = ipc_drv_hdr_load(req);
        if (ipc_drv_hdr_get_type(req_hdr) == IPC_DRV_HDR_TYPE_REQ) {
            ipc_drv_hdr_set_tag(&hdr, ipc_drv_hdr_get_tag(req_hdr));
        }
    }
    const uint32_t pld_len = (frame.mode & FUZZ_FRAME_LENGTH) ? frame.length : sizeof(ipc_cmd_pld_hdr_s) + len;
    ipc_drv_hdr_set_pld_len(&hdr, static_cast<uint16_t>(pld_len));
    ipc_drv_hdr_set_rsp_errno(&hdr, frame.rsp_errno);
    ipc_drv_hdr_store(out.data(), hdr);
    if (req_len >= IPC_CMD_MSG_OFFSET_DATA) {
        memcpy(out.data() + IPC_DRV_HDR_SIZE, req + IPC_DRV_HDR_SIZE, sizeof(ipc_cmd_pld_hdr_s));
    }
    if (len > 0) {
        memcpy(out.data() + IPC_CMD_MSG_OFFSET_DATA, frame.data, len);
    }
    return out;
}

void serve_misc(int fd, fuzz_input_s *frames) {
    std::vector<uint8_t> req(k_max_answer);
    bool answering = true;
    for (;;) {
        const ssize_t got = recv(fd, req.data(), req.size(), 0);
        if (got <= 0) {
            return;
        }
        if (!answering) {
            continue;
        }
        fuzz_frame_s frame;
        if (!fuzz_next_frame(*frames, frame)) {
            // No answer left: the client's next read meets end of file.
            shutdown(fd, SHUT_WR);
            answering = false;
            continue;
        }
        const std::vector<uint8_t> out = misc_answer(req.data(), static_cast<size_t>(got), frame);
        if (send(fd, out.data(), out.size(), MSG_NOSIGNAL) < 0) {
            return;
        }
    }
}

// popen streams answered in-process, with the buffers behind them.
std::mutex g_streams_lock;
std::map<FILE *, std::string *> g_streams;

}  // namespace

bool fuzz_next_frame(fuzz_input_s &in, fuzz_frame_s &frame) {
    if (in.left() == 0) {
        return false;
    }
    frame = fuzz_frame_s{};
    frame.mode = in.u8();
    const uint16_t len = in.u16();
    if (frame.mode & FUZZ_FRAME_ERRNO) {
        frame.rsp_errno = in.u32();
    }
    if (frame.mode & FUZZ_FRAME_LENGTH) {
        frame.length = in.u32();
    }
    frame.data = in.bytes(len, frame.len);
    return true;
}

bool fuzz_misc_card_start(fuzz_misc_card_s &card, fuzz_input_s &frames) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) {
        return false;
    }
    card.client_fd = sv[0];
    card.peer_fd = sv[1];
    card.peer = std::thread(serve_misc, sv[1], &frames);
    return true;
}

void fuzz_misc_card_stop(fuzz_misc_card_s &card) {
    if (card.client_fd >= 0) {
        shutdown(card.client_fd, SHUT_RDWR);
    }
    if (card.peer.joinable()) {
        card.peer.join();
    }
    if (card.client_fd >= 0) {
        close(card.client_fd);
    }
    if (card.peer_fd >= 0) {
        close(card.peer_fd);
    }
    card.client_fd = -1;
    card.peer_fd = -1;
}

int fuzz_rpc_from_frames(nic_fwctl_rpc_s &rpc) {
    fuzz_frame_s frame;
    if (g_fuzz_rpc_frames == nullptr || !fuzz_next_frame(*g_fuzz_rpc_frames, frame) || (frame.mode & FUZZ_FRAME_RAW)) {
        errno = EPERM;
        return -1;
    }
    const size_t capacity = rpc.rsp_len;
    const size_t n = std::min(frame.len, capacity);
    if (n > 0) {
        memcpy(reinterpret_cast<void *>(static_cast<uintptr_t>(rpc.rsp_data)), frame.data, n);
    }
    rpc.rsp_errno = frame.rsp_errno;
    rpc.rsp_len = (frame.mode & FUZZ_FRAME_LENGTH) ? frame.length : static_cast<uint32_t>(frame.len);
    return 0;
}

int fuzz_fwctl_fd() {
    if (g_fuzz_fwctl_fd < 0) {
        g_fuzz_fwctl_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    }
    return g_fuzz_fwctl_fd;
}

extern "C" int __real_ioctl(int fd, unsigned long request, void *arg);

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (fd != g_fuzz_fwctl_fd || fd < 0 || request != NIC_FWCTL_RPC || g_fuzz_rpc == nullptr) {
        return __real_ioctl(fd, request, arg);
    }
    // What the kvc_core driver insists on before it touches the record.
    const auto *call = static_cast<const nic_fwctl::fwctl_rpc *>(arg);
    if (call->size != sizeof(nic_fwctl::fwctl_rpc) || call->in_len != sizeof(nic_fwctl_rpc_s) ||
        call->out_len != sizeof(nic_fwctl_rpc_s) || call->in != call->out ||
        (call->scope != nic_fwctl::FWCTL_RPC_DEBUG_READ_ONLY && call->scope != nic_fwctl::FWCTL_RPC_DEBUG_WRITE)) {
        fprintf(stderr, "fwctl_rpc record refused: size %u scope %u in_len %u out_len %u\n", call->size, call->scope,
                call->in_len, call->out_len);
        abort();
    }
    auto *rpc = reinterpret_cast<nic_fwctl_rpc_s *>(static_cast<uintptr_t>(call->in));
    return g_fuzz_rpc(*rpc);
}

// "grep hash FILE" from the startup-image check, answered without a shell:
// the lines of FILE that contain "hash".
extern "C" FILE *__real_popen(const char *command, const char *mode);
extern "C" int __real_pclose(FILE *stream);

extern "C" FILE *__wrap_popen(const char *command, const char *mode) {
    static constexpr char k_grep[] = "grep hash ";
    if (strncmp(command, k_grep, sizeof(k_grep) - 1) != 0 || strcmp(mode, "r") != 0) {
        return __real_popen(command, mode);
    }
    FILE *in = fopen(command + sizeof(k_grep) - 1, "r");
    if (in == nullptr) {
        return fopen("/dev/null", "r");
    }
    auto *matches = new std::string;
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    while ((n = getline(&line, &cap, in)) > 0) {
        if (memmem(line, static_cast<size_t>(n), "hash", 4) != nullptr) {
            matches->append(line, static_cast<size_t>(n));
        }
    }
    free(line);
    fclose(in);
    if (matches->empty()) {
        delete matches;
        return fopen("/dev/null", "r");
    }
    FILE *out = fmemopen(matches->data(), matches->size(), "r");
    if (out == nullptr) {
        delete matches;
        return nullptr;
    }
    std::lock_guard<std::mutex> hold(g_streams_lock);
    g_streams[out] = matches;
    return out;
}

extern "C" int __wrap_pclose(FILE *stream) {
    std::string *buffer = nullptr;
    {
        std::lock_guard<std::mutex> hold(g_streams_lock);
        const auto it = g_streams.find(stream);
        if (it != g_streams.end()) {
            buffer = it->second;
            g_streams.erase(it);
        }
    }
    if (buffer == nullptr) {
        // Our /dev/null streams, or a real pipe.
        struct stat st {};
        if (fstat(fileno(stream), &st) == 0 && S_ISCHR(st.st_mode)) {
            return fclose(stream);
        }
        return __real_pclose(stream);
    }
    fclose(stream);
    delete buffer;
    return 0;
}

void fuzz_install_public_keys() {
    const int lock = test_support::lock_file_take(k_key_lock);
    if (lock < 0) {
        fprintf(stderr, "fuzz: cannot lock %s, signature checks will miss their keys\n", k_key_lock);
        return;
    }
    const std::string eng = std::string(k_key_dir) + "/eng_key-pub.pem";
    const std::string prod = std::string(k_key_dir) + "/prod_key-pub.pem";
    if (access(eng.c_str(), R_OK) != 0 || access(prod.c_str(), R_OK) != 0) {
        std::error_code ec;
        std::filesystem::create_directories(k_key_dir, ec);
        if (ec || vcard_write_public_keys(k_key_dir) != 0) {
            fprintf(stderr, "fuzz: cannot write the public keys into %s, signature checks will miss them\n", k_key_dir);
        }
    }
    test_support::lock_file_release(k_key_lock, lock);
}

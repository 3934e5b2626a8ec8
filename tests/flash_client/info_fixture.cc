// SPDX-License-Identifier: Apache-2.0
#include "info_fixture.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <new>
#include <sstream>
#include <thread>

#include "ipc_cmd.h"
#include "protocol.h"

namespace {

std::mutex g_msgs_lock;
std::vector<captured_msg_s> g_msgs;

int capture_cb(void *, int level, const char *fmt, ...) {
    char text[4096];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);
    std::string s = text;
    // Every client message begins with "[<timestamp>] ".
    const size_t end = s.find("] ");
    if (s.rfind("[", 0) == 0 && end != std::string::npos) {
        s = s.substr(end + 2);
    } else {
        s = "<no timestamp> " + s;
    }
    std::lock_guard<std::mutex> guard(g_msgs_lock);
    g_msgs.push_back({level, s});
    return 0;
}

std::atomic<bool> g_fail_nothrow_array_new{false};

}  // namespace

// The client allocates its partition records with new(std::nothrow); this
// replacement lets a test make that allocation fail.
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    if (g_fail_nothrow_array_new.exchange(false)) {
        return nullptr;
    }
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

void fail_next_nothrow_array_new() {
    g_fail_nothrow_array_new = true;
}

// ---- canned card ------------------------------------------------------------

struct canned_card_s {
    int fd = -1;
    std::thread thread;
    std::mutex lock;
    std::vector<canned_reply_s> replies;
    std::vector<recorded_request_s> seen;
};

namespace {

void canned_serve(canned_card_s *c) {
    std::vector<uint8_t> in(IPC_CMD_MAX_MSG);
    for (size_t next = 0;; ++next) {
        const ssize_t n = recv(c->fd, in.data(), in.size(), 0);
        if (n < static_cast<ssize_t>(IPC_CMD_MSG_OFFSET_DATA)) {
            return;
        }
        const ipc_drv_hdr_t req_hdr = ipc_drv_hdr_load(in.data());
        ipc_cmd_pld_hdr_s pld{};
        memcpy(&pld, in.data() + IPC_DRV_HDR_SIZE, sizeof(pld));
        canned_reply_s reply;
        {
            std::lock_guard<std::mutex> guard(c->lock);
            c->seen.push_back({ipc_drv_hdr_get_req_endpoint(req_hdr),
                               static_cast<uint32_t>(pld.msg_hi) << 16 | pld.msg_lo,
                               std::vector<uint8_t>(in.begin() + IPC_CMD_MSG_OFFSET_DATA, in.begin() + n)});
            if (next < c->replies.size()) {
                reply = c->replies[next];
            } else {
                reply.no_answer = true;
            }
        }
        std::vector<uint8_t> out;
        if (!reply.no_answer) {
            out.assign(IPC_CMD_MSG_OFFSET_DATA, 0);
            ipc_drv_hdr_t hdr = 0;
            ipc_drv_hdr_set_type(&hdr, IPC_DRV_HDR_TYPE_RSP);
            ipc_drv_hdr_set_tag(&hdr, ipc_drv_hdr_get_tag(req_hdr));
            ipc_drv_hdr_set_pld_len(&hdr, static_cast<uint16_t>(sizeof(pld) + reply.data.size()));
            ipc_drv_hdr_set_rsp_errno(&hdr, reply.rsp_errno);
            ipc_drv_hdr_store(out.data(), hdr);
            memcpy(out.data() + IPC_DRV_HDR_SIZE, &pld, sizeof(pld));
            out.insert(out.end(), reply.data.begin(), reply.data.end());
        }
        if (send(c->fd, out.data(), out.size(), MSG_NOSIGNAL) < 0) {
            return;
        }
    }
}

}  // namespace

// ---- fixture ----------------------------------------------------------------

void ClientInfoTest::SetUp() {
    char tmpl[] = "/tmp/fu_client_info_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr) << strerror(errno);
    root_ = tmpl;
    state_dir_ = root_ + "/card";
    const std::string scratch = root_ + "/scratch";
    card_dir_ = scratch + "/" + bdf_ + "/";
    std::filesystem::create_directories(card_dir_);

    rfc_init_params_s params{};
    snprintf(params.bdf, sizeof(params.bdf), "%s", bdf_);
    snprintf(params.scratch_dir, sizeof(params.scratch_dir), "%s", scratch.c_str());
    params.trace_level = TRACE_LEVEL_DEBUG;
    params.trace_cb = capture_cb;
    params.trace_cb_ctxt = nullptr;
    rfc_init(&params);
    ASSERT_EQ(std::string(g_rfc_prefix), card_dir_);
    clear_messages();
}

void ClientInfoTest::TearDown() {
    if (peer_ != nullptr) {
        vcard_peer_stop(peer_);
        peer_ = nullptr;
    }
    if (canned_ != nullptr) {
        shutdown(canned_->fd, SHUT_RDWR);
        canned_->thread.join();
        close(canned_->fd);
        delete canned_;
        canned_ = nullptr;
    }
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    if (card_ != nullptr) {
        vcard_close(card_);
        card_ = nullptr;
    }
    g_rfc_opened = false;
    g_rfc_handle = nic_ipc_handle_s{};
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

void ClientInfoTest::start_card(const std::vector<std::string> &faults, const std::string &state) {
    std::filesystem::create_directories(state_dir_);
    if (!state.empty()) {
        std::ofstream(state_dir_ + "/state.txt") << state;
    }
    vcard_options_s options;
    options.state_dir = state_dir_;
    options.faults = faults;
    card_ = vcard_open(options);
    ASSERT_NE(card_, nullptr);
    peer_ = vcard_peer_start(card_, &fd_);
    ASSERT_NE(peer_, nullptr);
    g_rfc_handle.transport = NIC_IPC_TRANSPORT_VELA;
    g_rfc_handle.cmd_dev = ipc_cmd_dev_s{fd_, 0};
    g_rfc_opened = true;
}

void ClientInfoTest::start_canned(const std::vector<canned_reply_s> &replies) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
    canned_ = new canned_card_s;
    canned_->fd = sv[1];
    canned_->replies = replies;
    canned_->thread = std::thread(canned_serve, canned_);
    fd_ = sv[0];
    g_rfc_handle.transport = NIC_IPC_TRANSPORT_VELA;
    g_rfc_handle.cmd_dev = ipc_cmd_dev_s{fd_, 0};
    g_rfc_opened = true;
}

void ClientInfoTest::no_card() {
    g_rfc_opened = false;
    g_rfc_handle = nic_ipc_handle_s{};
}

std::vector<recorded_request_s> ClientInfoTest::requests() const {
    if (canned_ != nullptr) {
        std::lock_guard<std::mutex> guard(canned_->lock);
        return canned_->seen;
    }
    std::vector<recorded_request_s> out;
    if (card_ == nullptr) {
        return out;
    }
    std::ifstream in(vcard_requests_path(card_));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        recorded_request_s r;
        std::string msg, hex;
        fields >> r.endpoint >> msg >> hex;
        r.msg = static_cast<uint32_t>(std::stoul(msg, nullptr, 16));
        for (size_t i = 0; i + 1 < hex.size(); i += 2) {
            r.bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
        }
        out.push_back(r);
    }
    return out;
}

std::vector<captured_msg_s> ClientInfoTest::messages() const {
    std::lock_guard<std::mutex> guard(g_msgs_lock);
    return g_msgs;
}

std::vector<std::string> ClientInfoTest::texts(int level) const {
    std::vector<std::string> out;
    for (const auto &m : messages()) {
        if (m.level == level) {
            out.push_back(m.text);
        }
    }
    return out;
}

void ClientInfoTest::clear_messages() {
    std::lock_guard<std::mutex> guard(g_msgs_lock);
    g_msgs.clear();
}

bool ClientInfoTest::scratch_read(const std::string &name, std::string &text) const {
    std::ifstream in(scratch_path(name), std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream s;
    s << in.rdbuf();
    text = s.str();
    return true;
}

bool ClientInfoTest::scratch_exists(const std::string &name) const {
    struct stat sb {};
    return stat(scratch_path(name).c_str(), &sb) == 0;
}

void ClientInfoTest::remove_scratch_dir() {
    std::error_code ec;
    std::filesystem::remove_all(card_dir_, ec);
}

// ---- helpers ------------------------------------------------------------------

std::string hex_of(const std::vector<uint8_t> &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0xf]);
    }
    return out;
}

std::vector<uint8_t> le32(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto &p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

std::vector<uint8_t> bytes_of(const std::string &text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

// SPDX-License-Identifier: Apache-2.0
#include "flash_fixture.h"

#include <openssl/evp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ipc_cmd.h"
#include "protocol.h"

std::vector<unsigned> g_test_sleeps;
std::function<void()> g_test_on_sleep;

namespace {

struct captured_s {
    int level;
    std::string text;
};
std::vector<captured_s> g_captured;

int capture_trace(void *, int level, const char *fmt, ...) {
    char buf[8192];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    std::string text(buf);
    // Every client message begins with "[timestamp] ".
    const size_t end = text.find("] ");
    if (text.empty() || text[0] != '[' || end == std::string::npos) {
        ADD_FAILURE() << "client message without timestamp prefix: " << text;
        g_captured.push_back({level, text});
        return 0;
    }
    g_captured.push_back({level, text.substr(end + 2)});
    return 0;
}

unsigned record_sleep(unsigned seconds) {
    g_test_sleeps.push_back(seconds);
    if (g_test_on_sleep) g_test_on_sleep();
    return 0;
}

}  // namespace

std::string le_hex(uint64_t value, unsigned width) {
    std::vector<uint8_t> b;
    for (unsigned i = 0; i < width; ++i)
        b.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return bytes_hex(b);
}

std::string bytes_hex(const std::vector<uint8_t> &bytes) {
    static const char k_hex[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(k_hex[b >> 4]);
        out.push_back(k_hex[b & 15]);
    }
    return out;
}

std::vector<uint8_t> sha512_bytes(const std::vector<uint8_t> &bytes) {
    std::vector<uint8_t> d(64);
    unsigned len = 0;
    EVP_Digest(bytes.data(), bytes.size(), d.data(), &len, EVP_sha512(), nullptr);
    return d;
}

std::string sha512_hex(const std::vector<uint8_t> &bytes, bool upper) {
    std::string h = bytes_hex(sha512_bytes(bytes));
    if (upper)
        for (char &c : h)
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return h;
}

void FlashClientTest::SetUp() {
    char tmpl[] = "/tmp/fu-cflash-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    scratch_ = root_ + "/scratch";
    state_dir_ = root_ + "/card";
    std::filesystem::create_directories(client_dir());

    g_captured.clear();
    g_test_sleeps.clear();
    g_test_on_sleep = nullptr;
    g_rfc_sleep = record_sleep;

    rfc_init_params_s params{};
    snprintf(params.bdf, sizeof(params.bdf), "%s", bdf_.c_str());
    snprintf(params.scratch_dir, sizeof(params.scratch_dir), "%s", scratch_.c_str());
    params.trace_level = TRACE_LEVEL_DEBUG;
    params.trace_cb = capture_trace;
    params.trace_cb_ctxt = nullptr;
    unsetenv("RFC_TEST_ENV");
    ASSERT_EQ(rfc_init(&params), 0);
}

void FlashClientTest::TearDown() {
    g_rfc_opened = false;
    g_rfc_handle = nic_ipc_handle_s{};
    if (peer_ != nullptr) vcard_peer_stop(peer_);
    peer_ = nullptr;
    if (peer_fd_ >= 0) shutdown(peer_fd_, SHUT_RDWR);
    if (peer_thread_.joinable()) peer_thread_.join();
    if (peer_fd_ >= 0) close(peer_fd_);
    peer_fd_ = -1;
    if (client_fd_ >= 0) close(client_fd_);
    client_fd_ = -1;
    if (card_ != nullptr) vcard_close(card_);
    card_ = nullptr;
    g_test_on_sleep = nullptr;
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

void FlashClientTest::start_card(const std::vector<std::string> &faults, unsigned erase_polls, unsigned verify_polls) {
    vcard_options_s opts;
    opts.state_dir = state_dir_;
    opts.erase_polls = erase_polls;
    opts.verify_polls = verify_polls;
    opts.faults = faults;
    card_ = vcard_open(opts);
    ASSERT_NE(card_, nullptr);
    peer_ = vcard_peer_start(card_, &client_fd_);
    ASSERT_NE(peer_, nullptr);
    g_rfc_handle.transport = NIC_IPC_TRANSPORT_VELA;
    g_rfc_handle.cmd_dev = {client_fd_, 0};
    g_rfc_opened = true;
}

void FlashClientTest::start_scripted_card(flash_script_fn script, const std::vector<std::string> &faults) {
    vcard_options_s opts;
    opts.state_dir = state_dir_;
    opts.faults = faults;
    card_ = vcard_open(opts);
    ASSERT_NE(card_, nullptr);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
    client_fd_ = sv[0];
    peer_fd_ = sv[1];
    vcard_s *card = card_;
    const int fd = peer_fd_;
    peer_thread_ = std::thread([card, fd, script]() {
        std::vector<uint8_t> in(IPC_CMD_MAX_MSG + 64);
        std::vector<uint8_t> out;
        for (unsigned n = 1;; ++n) {
            const ssize_t got = recv(fd, in.data(), in.size(), 0);
            if (got <= 0) return;
            bool no_answer = false;
            unsigned delay_ms = 0;
            if (!vcard_misc_exchange(card, in.data(), static_cast<size_t>(got), out, no_answer, delay_ms) || no_answer)
                out.clear();
            const ipc_drv_hdr_t req_hdr = ipc_drv_hdr_load(in.data());
            ipc_cmd_pld_hdr_s pld;
            memcpy(&pld, in.data() + IPC_DRV_HDR_SIZE, sizeof(pld));
            const uint32_t msg = static_cast<uint32_t>(pld.msg_hi) << 16 | pld.msg_lo;
            flash_scripted_answer_s answer;
            if (script(n, msg, answer)) {
                out.assign(IPC_CMD_MSG_OFFSET_DATA + answer.data.size(), 0);
                ipc_drv_hdr_t hdr = 0;
                ipc_drv_hdr_set_type(&hdr, IPC_DRV_HDR_TYPE_RSP);
                ipc_drv_hdr_set_tag(&hdr, ipc_drv_hdr_get_tag(req_hdr));
                ipc_drv_hdr_set_pld_len(&hdr, static_cast<uint16_t>(sizeof(pld) + answer.data.size()));
                ipc_drv_hdr_set_rsp_errno(&hdr, answer.rsp_err);
                ipc_drv_hdr_store(out.data(), hdr);
                memcpy(out.data() + IPC_DRV_HDR_SIZE, &pld, sizeof(pld));
                if (!answer.data.empty())
                    memcpy(out.data() + IPC_CMD_MSG_OFFSET_DATA, answer.data.data(), answer.data.size());
            }
            if (send(fd, out.data(), out.size(), MSG_NOSIGNAL) < 0) return;
        }
    });
    g_rfc_handle.transport = NIC_IPC_TRANSPORT_VELA;
    g_rfc_handle.cmd_dev = {client_fd_, 0};
    g_rfc_opened = true;
}

void FlashClientTest::close_client() {
    g_rfc_opened = false;
    g_rfc_handle = nic_ipc_handle_s{};
}

std::vector<flash_request_s> FlashClientTest::requests() const {
    std::vector<flash_request_s> out;
    if (card_ == nullptr) return out;
    std::ifstream in(vcard_requests_path(card_));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        flash_request_s r;
        std::string msg;
        ls >> r.endpoint >> msg >> r.hex;
        r.msg = static_cast<uint32_t>(strtoul(msg.c_str(), nullptr, 16));
        out.push_back(r);
    }
    return out;
}

std::vector<std::string> FlashClientTest::messages() const {
    std::vector<std::string> out;
    for (const auto &c : g_captured) {
        const char *tag = c.level == 1 ? "E " : c.level == 3 ? "I " : c.level == 4 ? "D " : "? ";
        out.push_back(tag + c.text);
    }
    return out;
}

void FlashClientTest::clear_records() {
    g_captured.clear();
    g_test_sleeps.clear();
    if (card_ != nullptr) unlink(vcard_requests_path(card_).c_str());
}

std::string FlashClientTest::work_file(const std::string &name, const std::vector<uint8_t> &bytes) const {
    const std::string path = root_ + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

// SPDX-License-Identifier: Apache-2.0
// The misc-device channel and the handle's dispatch, driven over an
// AF_UNIX/SOCK_SEQPACKET socketpair whose far end plays the card: like the
// misc device, one write there is one message and one read returns one.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fwupdate_msgs.h"
#include "ipc_cmd.h"
#include "nic_ipc.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t k_ep = 12;
constexpr uint32_t k_msg = FWUPDATE_MSG_FLASH_WRITE;
constexpr uint32_t k_untouched = 0xDEADBEEF;

struct Response {
    uint8_t type = 3;
    uint8_t tag = 0;
    uint32_t rsp_errno = 0;
    uint32_t magic = 0x4D435049;
    uint8_t version = 1;
    uint8_t msg_hi = static_cast<uint8_t>(k_msg >> 16);
    uint16_t msg_lo = static_cast<uint16_t>(k_msg);
    Bytes data;
    int pld_len = -1;  // -1: 8 + data size
};

void put_le(Bytes &out, uint64_t value, unsigned size) {
    for (unsigned i = 0; i < size; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

Bytes encode(const Response &r) {
    Bytes out;
    out.push_back(r.type);
    out.push_back(r.tag);
    put_le(out, r.pld_len >= 0 ? static_cast<uint64_t>(r.pld_len) : 8 + r.data.size(), 2);
    put_le(out, r.rsp_errno, 4);
    put_le(out, r.magic, 4);
    out.push_back(r.version);
    out.push_back(r.msg_hi);
    put_le(out, r.msg_lo, 2);
    out.insert(out.end(), r.data.begin(), r.data.end());
    return out;
}

Bytes answer(Bytes data, uint32_t rsp_errno = 0, uint32_t msg = k_msg) {
    Response r;
    r.data = std::move(data);
    r.rsp_errno = rsp_errno;
    r.msg_hi = static_cast<uint8_t>(msg >> 16);
    r.msg_lo = static_cast<uint16_t>(msg);
    return encode(r);
}

Bytes head(const Bytes &b, size_t n) {
    return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
}

Bytes iota_bytes(size_t n, uint8_t first) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(first + i);
    return b;
}

Bytes recv_msg(int fd, int flags = 0) {
    Bytes buf(4096);
    ssize_t n = recv(fd, buf.data(), buf.size(), flags);
    if (n < 0) return {};
    buf.resize(static_cast<size_t>(n));
    return buf;
}

class Channel : public ::testing::Test {
  protected:
    void SetUp() override {
        int sv[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv));
        host_fd_ = sv[0];
        card_fd_ = sv[1];
        // the card gives up instead of hanging when the host never sends
        const timeval limit = {10, 0};
        ASSERT_EQ(0, setsockopt(card_fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit)));
        handle_.transport = NIC_IPC_TRANSPORT_VELA;
        handle_.cmd_dev.fd = host_fd_;
        handle_.cmd_dev.tag = 0;
    }
    void TearDown() override {
        if (card_.joinable()) card_.join();
        close(host_fd_);
        if (card_fd_ >= 0) close(card_fd_);
    }

    // The card answers `count` requests; each reply is computed from the
    // request it answers. Requests are kept in sent_.
    void serve(std::function<Bytes(const Bytes &)> reply, size_t count = 1) {
        card_ = std::thread([this, reply, count] {
            for (size_t i = 0; i < count; ++i) {
                Bytes req = recv_msg(card_fd_);
                sent_.push_back(req);
                Bytes rsp = reply(req);
                ASSERT_EQ(static_cast<ssize_t>(rsp.size()), send(card_fd_, rsp.data(), rsp.size(), 0));
            }
        });
    }
    void serve_bytes(Bytes rsp) {
        serve([rsp](const Bytes &) { return rsp; });
    }
    void finish() {
        if (card_.joinable()) card_.join();
    }

    ssize_t send_v(const std::vector<iovec> &req, const std::vector<iovec> &rsp, uint32_t *rsp_err,
                   uint32_t msg = k_msg) {
        return ipc_cmd_send_req_v(&handle_.cmd_dev, k_ep, msg, req.data(), req.size(), rsp.data(), rsp.size(), rsp_err);
    }

    int host_fd_ = -1;
    int card_fd_ = -1;
    nic_ipc_handle_s handle_{};
    std::thread card_;
    std::vector<Bytes> sent_;
};

TEST_F(Channel, ExampleRequestAndItsAnswer) {
    uint8_t buf[4] = {0xd0, 0xd1, 0xd2, 0xd3};
    serve_bytes({0x03, 0x77, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x49, 0x50,
                 0x43, 0x4D, 0x01, 0x01, 0x01, 0x00, 0xa0, 0xa1, 0xa2, 0xa3});
    uint32_t rsp_err = k_untouched;
    errno = 4242;
    EXPECT_EQ(4, nic_ipc_req_rsp(&handle_, IPC_EP_FWUPDATE, FWUPDATE_MSG_GET_RUNNING_IMAGE, buf, 4, 4, &rsp_err));
    EXPECT_EQ(4242, errno);
    finish();
    const Bytes expected = {0x02, 0x00, 0x0C, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x49, 0x50,
                            0x43, 0x4D, 0x01, 0x01, 0x01, 0x00, 0xd0, 0xd1, 0xd2, 0xd3};
    ASSERT_EQ(1u, sent_.size());
    EXPECT_EQ(expected, sent_[0]);
    EXPECT_EQ(0u, rsp_err);
    EXPECT_EQ(Bytes({0xa0, 0xa1, 0xa2, 0xa3}), Bytes(buf, buf + 4));
    EXPECT_EQ(1, handle_.cmd_dev.tag);
}

TEST_F(Channel, TagsCountUpAndWrapIgnoringTheResponseTag) {
    Response r;
    r.tag = 0xEE;
    serve([r](const Bytes &) { return encode(r); }, 257);
    for (int i = 0; i < 257; ++i) {
        uint32_t rsp_err = k_untouched;
        ASSERT_EQ(0, send_v({}, {}, &rsp_err)) << i;
    }
    finish();
    ASSERT_EQ(257u, sent_.size());
    for (size_t i = 0; i < sent_.size(); ++i)
        EXPECT_EQ(i % 256, sent_[i][1]) << i;
    EXPECT_EQ(1, handle_.cmd_dev.tag);
}

TEST_F(Channel, LargestRequestFillsTheWholeMessage) {
    Bytes data = iota_bytes(1024, 7);
    handle_.cmd_dev.tag = 0x42;
    serve_bytes(answer({}, 0, FWUPDATE_MSG_VERIFY_SIGNATURE));
    uint32_t rsp_err = k_untouched;
    EXPECT_EQ(0, send_v({{data.data(), 1024}}, {}, &rsp_err, FWUPDATE_MSG_VERIFY_SIGNATURE));
    finish();
    ASSERT_EQ(1040u, sent_[0].size());
    EXPECT_EQ(Bytes({0x02, 0x42, 0x08, 0x04, 0x0C, 0x00, 0x00, 0x00, 'I', 'P', 'C', 'M', 0x01, 0x01, 0x10, 0x00}),
              Bytes(sent_[0].begin(), sent_[0].begin() + 16));
    EXPECT_EQ(data, Bytes(sent_[0].begin() + 16, sent_[0].end()));
}

TEST_F(Channel, OversizedRequestIsRefusedBeforeAnythingIsSent) {
    Bytes data(1025, 0x5A);
    struct Case {
        const char *name;
        std::vector<iovec> req;
    };
    const Case cases[] = {
        {"1025 bytes in one segment", {{data.data(), 1025}}},
        {"1025 bytes in two segments", {{data.data(), 1000}, {data.data() + 1000, 25}}},
        // a sum that wraps around must not look small; the pointers are never read
        {"lengths that wrap", {{data.data(), SIZE_MAX}, {data.data(), 2}}},
    };
    for (const Case &c : cases) {
        handle_.cmd_dev.tag = 77;
        uint32_t rsp_err = k_untouched;
        errno = 0;
        EXPECT_EQ(-1, send_v(c.req, {}, &rsp_err)) << c.name;
        EXPECT_EQ(EMSGSIZE, errno) << c.name;
        EXPECT_EQ(77, handle_.cmd_dev.tag) << c.name;
        EXPECT_EQ(k_untouched, rsp_err) << c.name;
    }
    errno = 0;
    EXPECT_TRUE(recv_msg(card_fd_, MSG_DONTWAIT).empty());
    EXPECT_EQ(EAGAIN, errno);
}

TEST_F(Channel, GathersRequestSegmentsInOrder) {
    Bytes a = {1, 2, 3};
    Bytes b = {4};
    Bytes c = {5, 6};
    serve_bytes(answer({}));
    uint32_t rsp_err = k_untouched;
    EXPECT_EQ(0, send_v({{a.data(), 3}, {nullptr, 0}, {b.data(), 1}, {c.data(), 2}}, {}, &rsp_err));
    finish();
    ASSERT_EQ(22u, sent_[0].size());
    EXPECT_EQ(14, sent_[0][2]);
    EXPECT_EQ(Bytes({1, 2, 3, 4, 5, 6}), Bytes(sent_[0].begin() + 16, sent_[0].end()));
}

TEST_F(Channel, NoSegmentsEitherWay) {
    serve_bytes(answer({}, 7));
    uint32_t rsp_err = k_untouched;
    EXPECT_EQ(0, send_v({}, {}, &rsp_err));
    finish();
    EXPECT_EQ(Bytes({0x02, 0x00, 0x08, 0x00, 0x0C, 0x00, 0x00, 0x00, 'I', 'P', 'C', 'M', 0x01, 0x01, 0x03, 0x00}),
              sent_[0]);
    EXPECT_EQ(7u, rsp_err);
}

TEST_F(Channel, MessageBits24To31AreNeitherSentNorCompared) {
    serve_bytes(answer({0x99}));
    uint8_t out = 0;
    uint32_t rsp_err = k_untouched;
    EXPECT_EQ(1, send_v({}, {{&out, 1}}, &rsp_err, 0xAB000000 | k_msg));
    finish();
    EXPECT_EQ(Bytes({0x01, 0x03, 0x00}), Bytes(sent_[0].begin() + 13, sent_[0].begin() + 16));
    EXPECT_EQ(0x99, out);
}

TEST_F(Channel, ServiceErrorIsASuccessfulExchange) {
    serve_bytes(answer({1, 2}, 22));
    uint8_t out[2] = {};
    uint32_t rsp_err = k_untouched;
    EXPECT_EQ(2, send_v({}, {{out, 2}}, &rsp_err));
    EXPECT_EQ(22u, rsp_err);
}

// Every refused response: -1 with EIO, the status word and the caller's
// buffer untouched, the tag spent.
TEST_F(Channel, MalformedResponsesAreRefusedWithEio) {
    auto with = [](auto change) {
        Response r;
        r.data = {0xA0, 0xA1, 0xA2, 0xA3};
        change(r);
        return encode(r);
    };
    Bytes oversize = with([](Response &r) { r.data = Bytes(1100 - 16, 0xCC); });
    struct Case {
        const char *name;
        Bytes rsp;
    };
    const Case cases[] = {
        {"empty", {}},
        {"seven bytes", head(with([](Response &) {}), 7)},
        {"type 2", with([](Response &r) { r.type = 2; })},
        {"type 0", with([](Response &r) { r.type = 0; })},
        {"type 7", with([](Response &r) { r.type = 7; })},
        {"pld_len 7", with([](Response &r) { r.pld_len = 7; })},
        {"pld_len 0", with([](Response &r) { r.pld_len = 0; })},
        {"magic", with([](Response &r) { r.magic = 0x4E435049; })},
        {"version 0", with([](Response &r) { r.version = 0; })},
        {"version 2", with([](Response &r) { r.version = 2; })},
        {"msg lo", with([](Response &r) { r.msg_lo = 0x0004; })},
        {"msg hi", with([](Response &r) { r.msg_hi = 0x02; })},
        {"fewer data bytes than pld_len", with([](Response &r) { r.pld_len = 8 + 5; })},
        // bytes 8-15 of the buffer still hold the request's payload header here
        {"header only, pld_len 8", head(with([](Response &r) { r.pld_len = 8; }), 8)},
        // the read stops at 1040 bytes; the rest of the message is lost
        {"longer than 1040 bytes", oversize},
    };
    for (const Case &c : cases) {
        handle_.cmd_dev.tag = 9;
        serve_bytes(c.rsp);
        uint8_t buf[2048];
        memset(buf, 0x55, sizeof(buf));
        uint32_t rsp_err = k_untouched;
        errno = 0;
        EXPECT_EQ(-1, send_v({{buf, 4}}, {{buf, sizeof(buf)}}, &rsp_err)) << c.name;
        EXPECT_EQ(EIO, errno) << c.name;
        EXPECT_EQ(k_untouched, rsp_err) << c.name;
        EXPECT_EQ(Bytes(sizeof(buf), 0x55), Bytes(buf, buf + sizeof(buf))) << c.name;
        EXPECT_EQ(10, handle_.cmd_dev.tag) << c.name;
        finish();
    }
}

TEST_F(Channel, ResponseBeyondCapacityIsRefusedWithEmsgsize) {
    struct Case {
        size_t data_len;
        std::vector<size_t> segments;
    };
    const Case cases[] = {{5, {4}}, {6, {3, 2}}, {1, {}}, {1024, {1023}}};
    for (const Case &c : cases) {
        serve_bytes(answer(Bytes(c.data_len, 0xEE)));
        uint8_t buf[1024];
        memset(buf, 0x55, sizeof(buf));
        std::vector<iovec> rsp;
        size_t off = 0;
        for (size_t len : c.segments) {
            rsp.push_back({buf + off, len});
            off += len;
        }
        uint32_t rsp_err = k_untouched;
        errno = 0;
        EXPECT_EQ(-1, send_v({}, rsp, &rsp_err)) << c.data_len;
        EXPECT_EQ(EMSGSIZE, errno) << c.data_len;
        EXPECT_EQ(k_untouched, rsp_err) << c.data_len;
        EXPECT_EQ(Bytes(sizeof(buf), 0x55), Bytes(buf, buf + sizeof(buf))) << c.data_len;
        finish();
    }
}

TEST_F(Channel, LargestResponseFitsExactly) {
    Bytes data = iota_bytes(1024, 3);
    serve_bytes(answer(data));
    Bytes out(1024);
    uint32_t rsp_err = k_untouched;
    EXPECT_EQ(1024, send_v({}, {{out.data(), 1024}}, &rsp_err));
    EXPECT_EQ(data, out);
}

TEST_F(Channel, ScattersIntoSegmentsAndLeavesTheRestAlone) {
    serve_bytes(answer({1, 2, 3, 4, 5}));
    uint8_t a[2], b[2], c[4], d[3];
    memset(a, 0xAA, sizeof(a));
    memset(b, 0xBB, sizeof(b));
    memset(c, 0xCC, sizeof(c));
    memset(d, 0xDD, sizeof(d));
    uint32_t rsp_err = k_untouched;
    EXPECT_EQ(5, send_v({}, {{a, 2}, {nullptr, 0}, {b, 2}, {c, 4}, {d, 3}}, &rsp_err));
    EXPECT_EQ(Bytes({1, 2}), Bytes(a, a + 2));
    EXPECT_EQ(Bytes({3, 4}), Bytes(b, b + 2));
    EXPECT_EQ(Bytes({5, 0xCC, 0xCC, 0xCC}), Bytes(c, c + 4));
    EXPECT_EQ(Bytes(3, 0xDD), Bytes(d, d + 3));
}

TEST_F(Channel, ShortAnswerKeepsTheRequestBytesInTheSharedBuffer) {
    serve_bytes(answer({0xF1, 0xF2, 0xF3}));
    uint8_t buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint32_t rsp_err = k_untouched;
    EXPECT_EQ(3, nic_vela_ipc_req_rsp(&handle_, k_ep, k_msg, buf, 8, 8, &rsp_err));
    finish();
    EXPECT_EQ(Bytes({0xF1, 0xF2, 0xF3, 4, 5, 6, 7, 8}), Bytes(buf, buf + 8));
    EXPECT_EQ(Bytes({1, 2, 3, 4, 5, 6, 7, 8}), Bytes(sent_[0].begin() + 16, sent_[0].end()));
}

TEST_F(Channel, CardHangingUpIsAShortResponse) {
    card_ = std::thread([this] {
        recv_msg(card_fd_);
        shutdown(card_fd_, SHUT_WR);
    });
    uint32_t rsp_err = k_untouched;
    errno = 0;
    EXPECT_EQ(-1, send_v({}, {}, &rsp_err));
    EXPECT_EQ(EIO, errno);
    EXPECT_EQ(k_untouched, rsp_err);
}

TEST(ChannelDevice, WriteAndReadFailuresKeepTheirErrno) {
    int pipe_fds[2];
    ASSERT_EQ(0, pipe(pipe_fds));
    for (int fd : pipe_fds) {
        // the read end refuses the write; the write end takes the write and refuses the read
        ipc_cmd_dev_s dev = {fd, 3};
        uint32_t rsp_err = k_untouched;
        errno = 0;
        EXPECT_EQ(-1, ipc_cmd_send_req_v(&dev, k_ep, k_msg, nullptr, 0, nullptr, 0, &rsp_err));
        EXPECT_EQ(EBADF, errno);
        EXPECT_EQ(4, dev.tag);
        EXPECT_EQ(k_untouched, rsp_err);
    }
    Bytes written(64);
    EXPECT_EQ(16, read(pipe_fds[0], written.data(), written.size()));
    close(pipe_fds[0]);
    close(pipe_fds[1]);
}

// --- EINTR: the host thread is interrupted while it is blocked in the call.

std::atomic<int> g_signals{0};
void count_signal(int) {
    g_signals.fetch_add(1);
}

// Waits until thread tid sits in system call nr (read from procfs). A
// broken retry loop must fail the test, not hang it: give up after 10 s.
bool wait_blocked_in(pid_t tid, long nr) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream f(path);
        long current = -1;
        if (f >> current && current == nr) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// Signals the thread `times` times, each time once it is blocked in nr and
// after the previous signal was handled; then waits for it to block again.
bool interrupt(pthread_t thread, pid_t tid, long nr, int times) {
    for (int i = 0; i < times; ++i) {
        if (!wait_blocked_in(tid, nr)) return false;
        const int before = g_signals.load();
        pthread_kill(thread, SIGUSR1);
        while (g_signals.load() == before)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return wait_blocked_in(tid, nr);
}

class ChannelInterrupted : public Channel {
  protected:
    void SetUp() override {
        Channel::SetUp();
        struct sigaction sa = {};
        sa.sa_handler = count_signal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;  // no SA_RESTART: blocked calls return EINTR
        ASSERT_EQ(0, sigaction(SIGUSR1, &sa, &old_));
        g_signals = 0;
    }
    void TearDown() override {
        Channel::TearDown();
        sigaction(SIGUSR1, &old_, nullptr);
    }
    struct sigaction old_ = {};
    std::atomic<bool> interrupted_{false};
};

TEST_F(ChannelInterrupted, ReadIsRetried) {
    const pthread_t self = pthread_self();
    const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
    card_ = std::thread([this, self, tid] {
        sent_.push_back(recv_msg(card_fd_));
        interrupted_ = interrupt(self, tid, SYS_read, 3);
        Bytes rsp = answer({0x42});
        send(card_fd_, rsp.data(), rsp.size(), 0);
    });
    uint8_t out = 0;
    uint32_t rsp_err = k_untouched;
    errno = 4242;
    EXPECT_EQ(1, send_v({}, {{&out, 1}}, &rsp_err));
    EXPECT_EQ(4242, errno);
    finish();
    EXPECT_TRUE(interrupted_);
    EXPECT_EQ(3, g_signals.load());
    EXPECT_EQ(0x42, out);
    EXPECT_EQ(1, handle_.cmd_dev.tag);
}

TEST_F(ChannelInterrupted, WriteIsRetried) {
    // Fill the card's receive queue so that the request's write blocks.
    const Bytes filler(16, 0xF0);
    int queued = 0;
    while (send(host_fd_, filler.data(), filler.size(), MSG_DONTWAIT) == static_cast<ssize_t>(filler.size()))
        ++queued;
    ASSERT_EQ(EAGAIN, errno);
    ASSERT_GT(queued, 0);

    const pthread_t self = pthread_self();
    const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
    card_ = std::thread([this, self, tid, queued] {
        interrupted_ = interrupt(self, tid, SYS_write, 2);
        for (int i = 0; i < queued; ++i)
            recv_msg(card_fd_);
        sent_.push_back(recv_msg(card_fd_));
        Bytes rsp = answer({});
        send(card_fd_, rsp.data(), rsp.size(), 0);
    });
    uint8_t data[3] = {7, 8, 9};
    uint32_t rsp_err = k_untouched;
    EXPECT_EQ(0, send_v({{data, 3}}, {}, &rsp_err));
    finish();
    EXPECT_TRUE(interrupted_);
    EXPECT_EQ(2, g_signals.load());
    ASSERT_EQ(1u, sent_.size());
    EXPECT_EQ(19u, sent_[0].size());
    EXPECT_EQ(Bytes({7, 8, 9}), Bytes(sent_[0].begin() + 16, sent_[0].end()));
}

// --- Opening and closing the device, and the handle's dispatch.

std::string scratch_file() {
    char path[] = "/tmp/test_ipc_node.XXXXXX";
    int fd = mkstemp(path);
    if (fd >= 0) close(fd);
    return path;
}

TEST(ChannelDevice, OpenResetsTheTagAndCloseForgetsTheDescriptor) {
    const std::string node = scratch_file();
    ipc_cmd_dev_s dev = {-7, 9};
    ASSERT_EQ(0, ipc_cmd_dev_open2(&dev, node.c_str()));
    EXPECT_GE(dev.fd, 0);
    EXPECT_EQ(0, dev.tag);
    EXPECT_EQ(O_RDWR, fcntl(dev.fd, F_GETFL) & (O_ACCMODE | O_APPEND | O_NONBLOCK | O_CLOEXEC));
    const int fd = dev.fd;
    EXPECT_EQ(0, ipc_cmd_dev_close(&dev));
    EXPECT_EQ(-1, dev.fd);
    EXPECT_EQ(-1, fcntl(fd, F_GETFD));
    unlink(node.c_str());

    dev = {5, 9};
    EXPECT_EQ(-1, ipc_cmd_dev_open2(&dev, (node + ".missing").c_str()));
    EXPECT_EQ(-1, dev.fd);
    EXPECT_EQ(9, dev.tag);
}

TEST(ChannelDevice, CloseIsSkippedForDescriptorsUpToZero) {
    const int stdin_flags = fcntl(0, F_GETFD);
    nic_ipc_handle_s handle{};
    handle.transport = NIC_IPC_TRANSPORT_VELA;
    EXPECT_EQ(0, nic_ipc_close(&handle));
    EXPECT_EQ(0, handle.cmd_dev.fd);
    EXPECT_EQ(stdin_flags, fcntl(0, F_GETFD));

    const std::string node = scratch_file();
    ASSERT_EQ(0, nic_vela_ipc_open(&handle, node.c_str()));
    unlink(node.c_str());
    handle.cmd_dev.tag = 4;
    EXPECT_EQ(0, nic_ipc_close(&handle));
    EXPECT_EQ(-1, handle.cmd_dev.fd);
    EXPECT_EQ(-1, nic_ipc_close(&handle));  // the stored fd, no second close
    EXPECT_EQ(NIC_IPC_TRANSPORT_VELA, handle.transport);
    EXPECT_EQ(4, handle.cmd_dev.tag);
}

TEST(Handle, NoTransportMeansNoExchangeAndNoClose) {
    for (int32_t transport : {0, 3, -1}) {
        nic_ipc_handle_s handle{};
        handle.transport = transport;
        uint8_t buf[4] = {1, 2, 3, 4};
        uint32_t rsp_err = k_untouched;
        errno = 1234;
        EXPECT_EQ(-1, nic_ipc_req_rsp(&handle, k_ep, k_msg, buf, 4, 4, &rsp_err));
        EXPECT_EQ(1234, errno);
        EXPECT_EQ(k_untouched, rsp_err);
        EXPECT_EQ(Bytes({1, 2, 3, 4}), Bytes(buf, buf + 4));
        EXPECT_EQ(transport, nic_ipc_close(&handle));
    }
}

TEST_F(Channel, FwctlHandleDoesNotUseTheMiscFraming) {
    handle_.transport = NIC_IPC_TRANSPORT_FWCTL;
    uint8_t buf[4] = {};
    uint32_t rsp_err = k_untouched;
    errno = 0;
    // a socket knows no fwctl ioctl
    EXPECT_EQ(-1, nic_ipc_req_rsp(&handle_, k_ep, k_msg, buf, 4, 4, &rsp_err));
    EXPECT_EQ(EIO, errno);
    EXPECT_EQ(k_untouched, rsp_err);
    EXPECT_EQ(0, handle_.cmd_dev.tag);
    EXPECT_TRUE(recv_msg(card_fd_, MSG_DONTWAIT).empty());
}

TEST(Handle, InitAcceptsOnlyKnownTransportsPerThread) {
    ASSERT_EQ(1u, g_ipc_transport);
    ASSERT_TRUE(g_use_alternate_transport);
    EXPECT_EQ(-3, nic_ipc_init(0, false));
    EXPECT_EQ(-3, nic_ipc_init(3, false));
    EXPECT_EQ(1u, g_ipc_transport);
    EXPECT_TRUE(g_use_alternate_transport);

    EXPECT_EQ(0, nic_ipc_init(2, false));
    EXPECT_EQ(2u, g_ipc_transport);
    EXPECT_FALSE(g_use_alternate_transport);
    uint32_t other_transport = 0;
    bool other_alternate = false;
    std::thread([&] {
        other_transport = g_ipc_transport;
        other_alternate = g_use_alternate_transport;
    }).join();
    EXPECT_EQ(1u, other_transport);
    EXPECT_TRUE(other_alternate);
    EXPECT_EQ(0, nic_ipc_init(1, true));
}

}  // namespace

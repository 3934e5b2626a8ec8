// SPDX-License-Identifier: Apache-2.0
// The launcher's end of the misc nodes' direct channel: a listening
// SOCK_SEQPACKET socket per node and a thread per connection (one connection
// per open of the node), so that a card's writes wait for nothing but the
// card itself; the service's lock orders them with the umockdev handlers'.
#include "misc_channel.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>

#include "ipc_cmd.h"
#include "misc_channel_wire.h"

static_assert(MISC_CHANNEL_MAX_RESPONSE == IPC_CMD_MAX_MSG, "a response message is at most the driver's limit");

namespace {

struct connection_s {
    int fd = -1;  // -1 once the thread has closed it
    std::thread thread;
};

}  // namespace

struct misc_channel_s {
    std::string dir;
    std::vector<std::string> paths;
    std::vector<int> listen_fds;
    std::vector<vcard_s *> cards;  // per listening socket
    int stop_pipe[2] = {-1, -1};
    std::thread listener;
    std::mutex lock;
    std::vector<connection_s *> connections;
    bool stopping = false;
};

namespace {

bool send_all_or_none(int fd, const uint8_t *data, size_t len) {
    ssize_t sent;
    do {
        sent = send(fd, data, len, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(len);
}

// One write of the node after another: the node's answer to the write and
// the response its next read returns, as vcard_misc_exchange gives them.
void serve_connection(misc_channel_s *channel, connection_s *conn, vcard_s *card) {
    std::vector<uint8_t> in(sizeof(misc_channel_write_s) + MISC_CHANNEL_MAX_WRITE);
    std::vector<uint8_t> reply(sizeof(misc_channel_reply_s) + MISC_CHANNEL_MAX_RESPONSE);
    std::vector<uint8_t> response;
    const int fd = conn->fd;
    for (;;) {
        ssize_t n = misc_channel_recv(fd, in.data(), in.size());
        if (n < static_cast<ssize_t>(sizeof(misc_channel_write_s))) break;  // closed, or the channel stops
        misc_channel_write_s w;
        std::memcpy(&w, in.data(), sizeof w);
        const size_t got = static_cast<size_t>(n) - sizeof w;
        misc_channel_reply_s r{};
        bool no_answer = false;
        unsigned delay_ms = 0;
        // A write longer than the channel carries is longer than the driver takes.
        if (w.count != got || !vcard_misc_exchange(card, in.data() + sizeof w, got, response, no_answer, delay_ms)) {
            r.result = -EINVAL;
        } else {
            r.result = static_cast<int32_t>(got);
            r.no_answer = no_answer ? 1 : 0;
            r.delay_ms = delay_ms;
            r.len = static_cast<uint32_t>(std::min(response.size(), MISC_CHANNEL_MAX_RESPONSE));
            if (r.len > 0) std::memcpy(reply.data() + sizeof r, response.data(), r.len);
        }
        std::memcpy(reply.data(), &r, sizeof r);
        if (!send_all_or_none(fd, reply.data(), sizeof r + r.len)) break;
    }
    std::lock_guard<std::mutex> guard(channel->lock);
    close(conn->fd);
    conn->fd = -1;
}

void listen_loop(misc_channel_s *channel) {
    std::vector<pollfd> fds;
    for (int fd : channel->listen_fds)
        fds.push_back({fd, POLLIN, 0});
    fds.push_back({channel->stop_pipe[0], POLLIN, 0});
    for (;;) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds.back().revents != 0) return;
        for (size_t i = 0; i + 1 < fds.size(); i++) {
            if ((fds[i].revents & POLLIN) == 0) continue;
            int fd = accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            std::lock_guard<std::mutex> guard(channel->lock);
            if (channel->stopping) {
                close(fd);
                continue;
            }
            auto *conn = new connection_s;
            conn->fd = fd;
            conn->thread = std::thread(serve_connection, channel, conn, channel->cards[i]);
            channel->connections.push_back(conn);
        }
    }
}

void close_sockets(misc_channel_s *channel) {
    for (int fd : channel->listen_fds)
        close(fd);
    for (const std::string &path : channel->paths)
        unlink(path.c_str());
    if (!channel->dir.empty()) rmdir(channel->dir.c_str());
    for (int fd : channel->stop_pipe)
        if (fd >= 0) close(fd);
}

}  // namespace

misc_channel_s *misc_channel_start(const std::string &root,
                                   const std::vector<std::pair<std::string, vcard_s *>> &nodes) {
    auto *channel = new misc_channel_s;
    channel->dir = root + "/" + MISC_CHANNEL_DIR;
    bool ok = mkdir(channel->dir.c_str(), 0755) == 0 && pipe2(channel->stop_pipe, O_CLOEXEC) == 0;
    if (!ok) channel->dir.clear();
    for (size_t i = 0; ok && i < nodes.size(); i++) {
        const std::string &node = nodes[i].first;
        const std::string path = channel->dir + "/" + node.substr(node.rfind('/') + 1);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (path.size() >= sizeof addr.sun_path) {
            ok = false;
            break;
        }
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            ok = false;
            break;
        }
        channel->listen_fds.push_back(fd);
        channel->cards.push_back(nodes[i].second);
        ok = bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0 && listen(fd, 16) == 0;
        if (ok) channel->paths.push_back(path);
    }
    if (!ok) {
        close_sockets(channel);
        delete channel;
        return nullptr;
    }
    channel->listener = std::thread(listen_loop, channel);
    return channel;
}

void misc_channel_stop(misc_channel_s *channel) {
    if (channel == nullptr) return;
    const char stop = 1;
    (void)!write(channel->stop_pipe[1], &stop, 1);
    channel->listener.join();
    std::vector<connection_s *> connections;
    {
        std::lock_guard<std::mutex> guard(channel->lock);
        channel->stopping = true;
        connections = channel->connections;
        // Wakes each thread from its recv; the thread closes its socket.
        for (connection_s *conn : connections)
            if (conn->fd >= 0) shutdown(conn->fd, SHUT_RDWR);
    }
    for (connection_s *conn : connections) {
        conn->thread.join();
        delete conn;
    }
    close_sockets(channel);
    delete channel;
}

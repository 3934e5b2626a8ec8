// SPDX-License-Identifier: Apache-2.0
// libfu-vcard-misc.so: preloaded by flash-update-vcard in front of umockdev's
// library into the command it runs. An open of a misc node (/dev/NAME with a
// channel at $UMOCKDEV_DIR/vcard-misc/NAME) goes on to umockdev as before and
// connects the descriptor to the launcher's channel; the descriptor's writes
// and reads then go to the channel, everything else (ioctl, fstat, poll,
// close) still to umockdev. One write is one round trip: the channel answers
// it and hands over the response, which waits here, per open descriptor, in
// the order of the writes, until a read takes it. The node keeps what
// umockdev's emulation of it shows: a read with nothing waiting blocks until
// the next write, the command takes no signals while a call runs, a read
// returns at most the bytes asked for.
//
// Preloaded into every program the command starts (a shell, lspci), so it
// uses the C library only: no C++ runtime, no exceptions, no sanitizers.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "misc_channel_wire.h"

namespace {

struct response_s {
    response_s *next;
    bool no_answer;
    unsigned delay_ms;
    size_t len;
    uint8_t message[MISC_CHANNEL_MAX_RESPONSE];
};

// One open descriptor of a misc node. Held by the table and by each call
// under way on it, freed by the last.
struct node_fd_s {
    int fd;
    int channel;
    int refs;                  // under g_lock
    pthread_mutex_t exchange;  // one write's round trip at a time
    pthread_mutex_t lock;      // the responses
    pthread_cond_t ready;
    response_s *first, *last;  // oldest first
};

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
node_fd_s **g_nodes;  // g_node_count of them, under g_lock
size_t g_node_count, g_node_cap;
// Read without the lock: most calls are on other descriptors.
int g_any_node;

template <typename F>
F next_fn(F *slot, const char *name) {
    F fn = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (fn == nullptr) {
        fn = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
        __atomic_store_n(slot, fn, __ATOMIC_RELEASE);
    }
    return fn;
}

using open_fn = int (*)(const char *, int, ...);
using openat_fn = int (*)(int, const char *, int, ...);
using open2_fn = int (*)(const char *, int);
using read_fn = ssize_t (*)(int, void *, size_t);
using write_fn = ssize_t (*)(int, const void *, size_t);
using close_fn = int (*)(int);
open_fn g_open, g_open64;
openat_fn g_openat, g_openat64;
open2_fn g_open_2, g_open64_2;
read_fn g_read;
write_fn g_write;
close_fn g_close;

void node_unref(node_fd_s *node) {
    pthread_mutex_lock(&g_lock);
    bool last = --node->refs == 0;
    pthread_mutex_unlock(&g_lock);
    if (!last) return;
    syscall(SYS_close, node->channel);
    for (response_s *r = node->first; r != nullptr;) {
        response_s *next = r->next;
        free(r);
        r = next;
    }
    pthread_mutex_destroy(&node->exchange);
    pthread_mutex_destroy(&node->lock);
    pthread_cond_destroy(&node->ready);
    free(node);
}

// Takes fd out of the table; the caller drops the table's reference.
node_fd_s *take_locked(int fd) {
    for (size_t i = 0; i < g_node_count; i++) {
        if (g_nodes[i]->fd != fd) continue;
        node_fd_s *node = g_nodes[i];
        g_nodes[i] = g_nodes[--g_node_count];
        __atomic_store_n(&g_any_node, g_node_count != 0, __ATOMIC_RELEASE);
        return node;
    }
    return nullptr;
}

node_fd_s *find(int fd) {
    if (!__atomic_load_n(&g_any_node, __ATOMIC_ACQUIRE)) return nullptr;
    node_fd_s *found = nullptr;
    pthread_mutex_lock(&g_lock);
    for (size_t i = 0; i < g_node_count && found == nullptr; i++)
        if (g_nodes[i]->fd == fd) found = g_nodes[i];
    if (found != nullptr) found->refs++;
    pthread_mutex_unlock(&g_lock);
    return found;
}

void forget(int fd) {
    if (!__atomic_load_n(&g_any_node, __ATOMIC_ACQUIRE)) return;
    pthread_mutex_lock(&g_lock);
    node_fd_s *node = take_locked(fd);
    pthread_mutex_unlock(&g_lock);
    if (node != nullptr) node_unref(node);
}

// A descriptor umockdev opened on /dev/NAME joins the table when NAME has a
// channel. The channel's socket is not a descriptor of the program's.
void attach(int fd, const char *path) {
    if (fd < 0 || path == nullptr || strncmp(path, "/dev/", 5) != 0) return;
    const char *name = path + 5;
    if (*name == '\0' || strchr(name, '/') != nullptr) return;
    const char *root = getenv("UMOCKDEV_DIR");
    if (root == nullptr) return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    int len = snprintf(addr.sun_path, sizeof addr.sun_path, "%s/%s/%s", root, MISC_CHANNEL_DIR, name);
    if (len < 0 || static_cast<size_t>(len) >= sizeof addr.sun_path) return;
    const int saved_errno = errno;
    int channel = static_cast<int>(syscall(SYS_socket, AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (channel >= 0 && syscall(SYS_connect, channel, &addr, sizeof addr) != 0) {
        syscall(SYS_close, channel);
        channel = -1;
    }
    auto *node = channel >= 0 ? static_cast<node_fd_s *>(calloc(1, sizeof(node_fd_s))) : nullptr;
    if (node == nullptr) {
        if (channel >= 0) syscall(SYS_close, channel);
        errno = saved_errno;
        return;
    }
    node->fd = fd;
    node->channel = channel;
    node->refs = 1;
    pthread_mutex_init(&node->exchange, nullptr);
    pthread_mutex_init(&node->lock, nullptr);
    pthread_cond_init(&node->ready, nullptr);
    pthread_mutex_lock(&g_lock);
    // A descriptor number the program reused without closing it here (dup2
    // onto it) names the new open only.
    node_fd_s *stale = take_locked(fd);
    bool room = g_node_count < g_node_cap;
    if (!room) {
        size_t cap = g_node_cap == 0 ? 8 : g_node_cap * 2;
        auto **grown = static_cast<node_fd_s **>(realloc(g_nodes, cap * sizeof(node_fd_s *)));
        if (grown != nullptr) {
            g_nodes = grown;
            g_node_cap = cap;
            room = true;
        }
    }
    if (room) {
        g_nodes[g_node_count++] = node;
        __atomic_store_n(&g_any_node, 1, __ATOMIC_RELEASE);
    }
    pthread_mutex_unlock(&g_lock);
    if (stale != nullptr) node_unref(stale);
    if (!room) node_unref(node);  // umockdev alone serves this descriptor
    errno = saved_errno;
}

// While an emulated call runs the command takes no signals, as under
// umockdev: they wait until the call has returned.
struct signals_held_s {
    sigset_t saved;
    signals_held_s() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &saved);
    }
    ~signals_held_s() { pthread_sigmask(SIG_SETMASK, &saved, nullptr); }
};

ssize_t exchange_write(node_fd_s *node, const void *buf, size_t count, int *err) {
    signals_held_s held;
    pthread_mutex_lock(&node->exchange);
    misc_channel_write_s w{count};
    iovec iov[2] = {{&w, sizeof w},
                    {const_cast<void *>(buf), count < MISC_CHANNEL_MAX_WRITE ? count : MISC_CHANNEL_MAX_WRITE}};
    msghdr mh{};
    mh.msg_iov = iov;
    mh.msg_iovlen = count > 0 ? 2 : 1;
    ssize_t n;
    do {
        n = syscall(SYS_sendmsg, node->channel, &mh, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    auto *r = n >= 0 ? static_cast<response_s *>(malloc(sizeof(response_s))) : nullptr;
    uint8_t in[sizeof(misc_channel_reply_s) + MISC_CHANNEL_MAX_RESPONSE];
    if (n >= 0 && r != nullptr) {
        n = misc_channel_recv(node->channel, in, sizeof in);
    }
    pthread_mutex_unlock(&node->exchange);
    ssize_t result = -1;
    if (n < 0 && errno == EFAULT) {
        *err = EFAULT;  // the buffer is not the program's
    } else if (r == nullptr || n < static_cast<ssize_t>(sizeof(misc_channel_reply_s))) {
        *err = EIO;  // the launcher is gone
    } else {
        misc_channel_reply_s reply;
        memcpy(&reply, in, sizeof reply);
        if (reply.result < 0) {
            *err = -reply.result;
        } else {
            size_t len = static_cast<size_t>(n) - sizeof reply;
            r->next = nullptr;
            r->no_answer = reply.no_answer != 0;
            r->delay_ms = reply.delay_ms;
            r->len = reply.len < len ? reply.len : len;
            memcpy(r->message, in + sizeof reply, r->len);
            pthread_mutex_lock(&node->lock);
            if (node->last != nullptr)
                node->last->next = r;
            else
                node->first = r;
            node->last = r;
            pthread_cond_broadcast(&node->ready);
            pthread_mutex_unlock(&node->lock);
            r = nullptr;
            result = reply.result;
        }
    }
    free(r);
    return result;
}

void sleep_ms(unsigned ms) {
    timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

ssize_t exchange_read(node_fd_s *node, void *buf, size_t count, int *err) {
    response_s *r;
    {
        signals_held_s held;
        pthread_mutex_lock(&node->lock);
        while (node->first == nullptr)
            pthread_cond_wait(&node->ready, &node->lock);
        r = node->first;
        node->first = r->next;
        if (node->first == nullptr) node->last = nullptr;
        pthread_mutex_unlock(&node->lock);
        if (r->delay_ms != 0) sleep_ms(r->delay_ms);
    }
    ssize_t result = -1;
    if (r->no_answer) {
        *err = EIO;
    } else {
        size_t n = count < r->len ? count : r->len;
        if (n > 0) memcpy(buf, r->message, n);
        result = static_cast<ssize_t>(n);
    }
    free(r);
    return result;
}

bool needs_mode(int flags) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    if (needs_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    int fd = next_fn(&g_open, "open")(path, flags, mode);
    attach(fd, path);
    return fd;
}

__attribute__((visibility("default"))) int open64(const char *path, int flags, ...) {
    mode_t mode = 0;
    if (needs_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    int fd = next_fn(&g_open64, "open64")(path, flags, mode);
    attach(fd, path);
    return fd;
}

__attribute__((visibility("default"))) int openat(int dirfd, const char *path, int flags, ...) {
    mode_t mode = 0;
    if (needs_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    int fd = next_fn(&g_openat, "openat")(dirfd, path, flags, mode);
    attach(fd, path);  // only an absolute path names a node
    return fd;
}

__attribute__((visibility("default"))) int openat64(int dirfd, const char *path, int flags, ...) {
    mode_t mode = 0;
    if (needs_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    int fd = next_fn(&g_openat64, "openat64")(dirfd, path, flags, mode);
    attach(fd, path);
    return fd;
}

__attribute__((visibility("default"))) int __open_2(const char *path, int flags) {
    int fd = next_fn(&g_open_2, "__open_2")(path, flags);
    attach(fd, path);
    return fd;
}

__attribute__((visibility("default"))) int __open64_2(const char *path, int flags) {
    int fd = next_fn(&g_open64_2, "__open64_2")(path, flags);
    attach(fd, path);
    return fd;
}

__attribute__((visibility("default"))) ssize_t write(int fd, const void *buf, size_t count) {
    node_fd_s *node = find(fd);
    if (node == nullptr) return next_fn(&g_write, "write")(fd, buf, count);
    int err = 0;
    ssize_t n = exchange_write(node, buf, count, &err);
    node_unref(node);
    if (n < 0) errno = err;
    return n;
}

__attribute__((visibility("default"))) ssize_t read(int fd, void *buf, size_t count) {
    node_fd_s *node = find(fd);
    if (node == nullptr) return next_fn(&g_read, "read")(fd, buf, count);
    int err = 0;
    ssize_t n = exchange_read(node, buf, count, &err);
    node_unref(node);
    if (n < 0) errno = err;
    return n;
}

__attribute__((visibility("default"))) int close(int fd) {
    forget(fd);
    return next_fn(&g_close, "close")(fd);
}

}  // extern "C"

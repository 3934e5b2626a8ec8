// SPDX-License-Identifier: Apache-2.0
// The misc node's direct channel: the records that pass between the
// launcher's channel (misc_channel.h) and the preload library in the command
// (misc_preload.cc), one SOCK_SEQPACKET message each way per write.
//
// umockdev moves one write and one read over its socket in five messages
// and two round trips, through the testbed's GLib main loop; the channel
// takes one round trip for the write, and the read is answered from the
// command's own queue. The card and the node behave the same either way.
#pragma once

#include <errno.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

// The channel of node /dev/NAME listens at $UMOCKDEV_DIR/vcard-misc/NAME.
inline constexpr const char *MISC_CHANNEL_DIR = "vcard-misc";

// Written bytes the channel carries; the driver refuses any message longer
// than 1040 bytes, so a longer write needs only its length.
inline constexpr size_t MISC_CHANNEL_MAX_WRITE = 4096;

// A write: its length, then its first min(count, MISC_CHANNEL_MAX_WRITE) bytes.
struct misc_channel_write_s {
    uint64_t count;
};
static_assert(sizeof(misc_channel_write_s) == 8);

// The node's answer to the write, then `len` bytes of the response message
// that the next read returns (none when the write failed).
struct misc_channel_reply_s {
    int32_t result;      // bytes written, or -errno: the write fails
    uint32_t no_answer;  // 1: the read that takes this response fails with EIO
    uint32_t delay_ms;   // the read that takes it returns this late
    uint32_t len;
};
static_assert(sizeof(misc_channel_reply_s) == 16);

// The largest response message: a full data area behind the headers.
inline constexpr size_t MISC_CHANNEL_MAX_RESPONSE = 1040;

// How long a side looks for the other's message before it sleeps. During an
// update the next message comes within some tens of microseconds, and on a
// virtual machine a processor that went idle takes about as long again to
// wake for it; each look yields the processor to anything else ready to run,
// so a busy machine loses little to it.
inline constexpr long MISC_CHANNEL_SPIN_NS = 50'000;

// One message from fd (a recvfrom through the system call itself: the
// preload library must not reach umockdev's own recv).
inline ssize_t misc_channel_recv(int fd, void *buf, size_t len) {
    timespec start{}, now{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        ssize_t n = syscall(SYS_recvfrom, fd, buf, len, MSG_DONTWAIT, nullptr, nullptr);
        if (n >= 0 || (errno != EAGAIN && errno != EINTR)) return n;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if ((now.tv_sec - start.tv_sec) * 1'000'000'000L + (now.tv_nsec - start.tv_nsec) > MISC_CHANNEL_SPIN_NS) break;
        sched_yield();
    }
    ssize_t n;
    do {
        n = syscall(SYS_recvfrom, fd, buf, len, 0, nullptr, nullptr);
    } while (n < 0 && errno == EINTR);
    return n;
}

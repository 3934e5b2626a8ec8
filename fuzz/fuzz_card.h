// SPDX-License-Identifier: Apache-2.0
// The fuzzer as the card: its bytes become the answers to the client's
// requests, on the misc channel (a socketpair served by a peer thread) or on
// the fwctl device (an ioctl interposed at link time with --wrap=ioctl).
//
// Frame, one answer to one request (all numbers little-endian):
//   u8 mode, u16 len, [u32 rsp_errno if mode & 1], [u32 length if mode & 2],
//   then len data bytes (fewer when the input ends first).
// Misc channel: a response message with type 3, the request's tag and
// payload header, status rsp_errno and the data; `length` replaces pld_len.
// With mode & 4 the data is sent verbatim as the whole message instead.
// fwctl: the driver writes the data into the response buffer (never more
// than its capacity) and reports rsp_errno and len, or `length`; with
// mode & 4 the ioctl fails. When the frames run out the card stops
// answering: the misc read meets end of file, the ioctl fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "nic_fwctl.h"

inline constexpr uint8_t FUZZ_FRAME_ERRNO = 0x01;
inline constexpr uint8_t FUZZ_FRAME_LENGTH = 0x02;
inline constexpr uint8_t FUZZ_FRAME_RAW = 0x04;

// Reads an input front to back; past its end every number reads as 0.
struct fuzz_input_s {
    const uint8_t *data = nullptr;
    size_t size = 0;
    size_t pos = 0;

    size_t left() const { return size - pos; }
    uint8_t u8() { return pos < size ? data[pos++] : 0; }
    uint16_t u16() {
        const uint16_t lo = u8();
        return static_cast<uint16_t>(lo | u8() << 8);
    }
    uint32_t u32() {
        const uint32_t lo = u16();
        return lo | static_cast<uint32_t>(u16()) << 16;
    }
    // Up to n bytes; len receives how many there were.
    const uint8_t *bytes(size_t n, size_t &len) {
        len = n < left() ? n : left();
        const uint8_t *p = data + pos;
        pos += len;
        return p;
    }
};

struct fuzz_frame_s {
    uint8_t mode = 0;
    uint32_t rsp_errno = 0;
    uint32_t length = 0;
    const uint8_t *data = nullptr;
    size_t len = 0;
};

// False when the input holds no further frame.
bool fuzz_next_frame(fuzz_input_s &in, fuzz_frame_s &frame);

// Misc channel: a socketpair whose far end answers each request with the
// next frame. client_fd goes into the handle's cmd_dev.
struct fuzz_misc_card_s {
    int client_fd = -1;
    int peer_fd = -1;
    std::thread peer;
};
bool fuzz_misc_card_start(fuzz_misc_card_s &card, fuzz_input_s &frames);
void fuzz_misc_card_stop(fuzz_misc_card_s &card);

// fwctl device: FWCTL_RPC ioctls on g_fuzz_fwctl_fd go to g_fuzz_rpc, which
// returns the ioctl's result; any other ioctl goes to the system.
using fuzz_rpc_fn = int (*)(nic_fwctl_rpc_s &rpc);
extern int g_fuzz_fwctl_fd;
extern fuzz_rpc_fn g_fuzz_rpc;
// The frame-driven driver: answers from *g_fuzz_rpc_frames.
extern fuzz_input_s *g_fuzz_rpc_frames;
int fuzz_rpc_from_frames(nic_fwctl_rpc_s &rpc);
// A descriptor that stands for the fwctl node (opened on /dev/null once).
int fuzz_fwctl_fd();

// Where the targets keep their files: /dev/shm, else /tmp.
const char *fuzz_temp_base();
// A private directory for this process, removed at exit.
const std::string &fuzz_temp_dir();
// Standard output to /dev/null: the partition table and the usage text
// would otherwise be printed once per input.
void fuzz_quiet_stdout();
// Formats every client message, as the real hook does, and drops it.
int fuzz_trace_cb(void *ctxt, int level, const char *fmt, ...);
// The eng and prod public key files in the host's key directory, written
// from the virtual card's keys when missing, under the lock the tests take
// for that directory. They stay there afterwards: they are the public keys
// every virtual card signs with.
void fuzz_install_public_keys();

// The client operations fuzz_client_ops runs, by the first byte of its input;
// make_corpus writes its seeds with the same numbers.
enum fuzz_op_e : uint8_t {
    OP_ERASE,
    OP_SECTOR_ERASE,
    OP_WRITE,
    OP_WRITE_VERIFY_PASS,
    OP_VERIFY_CHECKSUM,
    OP_VALIDATE_STARTUP,
    OP_FIRMWARE_TYPE,
    OP_SET_STARTUP,
    OP_PARTITION_METADATA,
    OP_PARTITION_INFO,
    OP_CARD_INFO,
    OP_SECURE_BOOT_UPDATE,
    OP_SECURE_IMAGE_UPDATE,
    OP_SECURE_IMAGE_INFO,
    OP_SIGNED_METADATA,
    OP_SIGNATURE_VERIFY,
    OP_COUNT,
};

// SPDX-License-Identifier: Apache-2.0
// The virtual card's firmware update service: a model of the card's flash,
// partition table and secure-boot state that answers the firmware update
// messages. Transport-agnostic: the misc node, the fwctl node and the
// in-process socketpair all hand it endpoint, message, request bytes and
// response capacity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct vcard_options_s {
    std::string state_dir;      // persisted flash contents and state; created when missing
    unsigned erase_polls = 0;   // status-3 answers before an erase completes
    unsigned verify_polls = 0;  // status-4 answers before a checksum/startup verification completes
    // Real time the long operations take (0: none), counted from the request
    // that starts one: an erase per MiB erased, a checksum or startup
    // verification per MiB digested. With a count as well, both must pass.
    unsigned erase_ms_per_mib = 0;
    unsigned checksum_ms_per_mib = 0;
    unsigned write_us = 0;            // the least time a write exchange takes, microseconds
    // The timed waits above take this part of their time (0 < scale <= 1):
    // a card ten times faster than the one it stands for at 0.1. The card's
    // clock (vcard_clock) tells the time the run stands for.
    double time_scale = 1.0;
    int fwupdate_ipc_version = -1;    // card-info layout version; -1: keep the persisted one (default 5)
    std::vector<std::string> faults;  // fault strings "MSG[@N]:KIND[=VALUE]", see virtual_card/README.md
};

// What the transport must do to the framed response (misc node / socketpair)
// or to the RPC record (fwctl) instead of a normal answer.
enum vcard_wire_fault_e {
    VCARD_WIRE_NONE = 0,
    VCARD_WIRE_NO_ANSWER,  // transport error: misc node fails the read with EIO, fwctl ioctl fails
    VCARD_WIRE_SHORT,      // fewer than 8 bytes (misc), or rsp_len = 0 (fwctl)
    VCARD_WIRE_BAD_TYPE,   // header type 2 instead of 3
    VCARD_WIRE_BAD_MAGIC,
    VCARD_WIRE_BAD_VERSION,
    VCARD_WIRE_BAD_MSG,    // message number of another request
    VCARD_WIRE_OVERSIZE,   // pld_len / rsp_len beyond the response capacity
    VCARD_WIRE_TRUNCATED,  // pld_len claims more bytes than the message carries
};

struct vcard_reply_s {
    uint32_t rsp_errno = 0;     // service status word
    std::vector<uint8_t> data;  // response data, at most the capacity unless a fault says otherwise
    vcard_wire_fault_e wire_fault = VCARD_WIRE_NONE;
    unsigned delay_ms = 0;  // answer this late (slow-answer fault)
};

// The card's time in a run: from its first request to its last answer,
// and the seconds its timed waits would have taken beyond what they took at
// the time scale. A run stands for span + unscaled seconds: the waits at
// their full length, everything else (the host's work, the exchanges, the
// host's polls after a wait ended) as it went.
struct vcard_clock_s {
    uint64_t requests = 0;
    double first_request = 0;  // monotonic seconds
    double last_answer = 0;
    double unscaled = 0;
};

struct vcard_s;

// Opens (creating when missing) the card state in options.state_dir.
// Returns null with a message on standard error when the state is unusable
// or a fault specification does not parse.
vcard_s *vcard_open(const vcard_options_s &options);
void vcard_close(vcard_s *card);
vcard_clock_s vcard_clock(vcard_s *card);

// One request. Records it (see vcard_requests_path) and answers it.
vcard_reply_s vcard_handle(vcard_s *card, uint32_t endpoint, uint32_t msg, const uint8_t *req, size_t req_len,
                           size_t rsp_cap);

// Misc-device framing, as the vela_ipc driver and the card's IPC endpoint
// do it: takes one written request message (driver header + payload header +
// data), answers with one response message (at most 1040 bytes) with the
// wire fault applied. Returns false when the message is refused by the driver
// (bad type, length): the write fails with EINVAL then.
bool vcard_misc_exchange(vcard_s *card, const uint8_t *msg, size_t len, std::vector<uint8_t> &out, bool &no_answer,
                         unsigned &delay_ms);

// Every request received, one line each, appended:
// "<endpoint> 0x<msg hex> <hex of the request bytes>\n"
std::string vcard_requests_path(const vcard_s *card);

// Small helpers the service, the device emulation and the launcher share.
// A whole unsigned number (decimal, 0x hexadecimal, leading-zero octal), no
// sign or blank.
bool vcard_parse_u64(const std::string &text, uint64_t &out);
// Creates path and its missing parents with mode; false when a level cannot
// be made or path is not a directory in the end (*failed names the level,
// errno says why).
bool vcard_make_dirs(const std::string &path, unsigned mode, std::string *failed);

// Writes the public halves of the card's two signing keys, as PEM files
// "eng_key-pub.pem" and "prod_key-pub.pem", into dir (which must exist).
// The keys are the same on every virtual card. Returns 0, or -1.
int vcard_write_public_keys(const std::string &dir);

// In-process card for unit tests and benchmarks: an AF_UNIX SOCK_SEQPACKET
// socketpair whose far end a thread serves with the misc framing.
// Returns the near end's descriptor (for ipc_cmd_dev_s.fd), -1 on failure.
struct vcard_peer_s;
vcard_peer_s *vcard_peer_start(vcard_s *card, int *client_fd);
void vcard_peer_stop(vcard_peer_s *peer);  // closes the far end and joins the thread

// SPDX-License-Identifier: Apache-2.0
// The client's common frame: per-thread context, open step, timestamp,
// trace hook, and the one point through which poll waits sleep.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "fwupdate_msgs.h"
#include "nic_ipc.h"
#include "rfc.h"
#include "rfc_seams.h"

extern thread_local constinit rfc_trace_cb_t g_rfc_trace_cb;
extern thread_local constinit int32_t g_trace_level;
// constinit: no dynamic initialisation, so other translation units reach
// these directly instead of through a TLS wrapper (gcc 12 with UBSan can
// report a read through that wrapper as a null load).
extern thread_local constinit char g_rfc_prefix[RFC_PATH_LEN];
extern thread_local constinit bool g_rfc_opened;
extern thread_local constinit nic_ipc_handle_s g_rfc_handle;
extern thread_local constinit void *g_rfc_trace_cb_ctxt;
extern thread_local constinit uint8_t g_rfc_test_env;

// 0 when the handle is open, 255 otherwise.
[[nodiscard]] int rfc_device_open(const char *bdf);
// "%Y-%m-%d %H:%M:%S" in local time, ".", microseconds without padding.
std::string rfc_timestamp();

// Poll waits go through here; tests replace it so that nothing waits for real.
extern rfc_sleep_fn_t g_rfc_sleep;
void rfc_sleep(unsigned seconds);
extern rfc_poll_wait_fn_t g_rfc_poll_wait;

// The transport's open and close and the clock of the timestamps go through
// here; tests replace them to drive the open step and pin the time.
using rfc_ipc_open_fn_t = int32_t (*)(nic_ipc_handle_s *handle, const char *card_bdf);
using rfc_ipc_close_fn_t = int32_t (*)(nic_ipc_handle_s *handle);
using rfc_clock_fn_t = int (*)(struct timeval *now);
extern rfc_ipc_open_fn_t g_rfc_ipc_open;
extern rfc_ipc_close_fn_t g_rfc_ipc_close;
extern rfc_clock_fn_t g_rfc_clock;

struct rfc_file_closer {
    void operator()(FILE *fp) const { fclose(fp); }
};
// Owner of every stdio file the client opens; closing without a check is for
// files read, or written files abandoned on a failure path.
using rfc_file_ptr = std::unique_ptr<FILE, rfc_file_closer>;

// Outcome of one exchange with the card's firmware update service.
struct rfc_exchange_s {
    ssize_t ret = -1;      // the transport's result: answer length, or -1
    uint32_t rsp_err = 0;  // the service's status word; 0 when none was delivered
    int err = 0;           // errno as the transport left it
    // Answered: at least min_len bytes came back and the service took the request.
    [[nodiscard]] bool answered(ssize_t min_len = 1) const { return ret >= min_len && rsp_err == 0; }
};

// One request to the service on endpoint 12: req_len bytes of req go out from
// a zeroed buffer, at most rsp_len bytes of answer come back over them, and
// the first rsp_len bytes of that buffer (the answer, and whatever of the
// request it did not cover) land in rsp. Both lengths are at most
// FWUPDATE_MAX_MSG_LEN.
[[nodiscard]] rfc_exchange_s rfc_exchange_raw(uint32_t msg, const void *req, size_t req_len, void *rsp, size_t rsp_len);
// A message of fixed lengths, with the request and answer records the
// message table gives their sizes to.
template <uint32_t Msg, typename Req, typename Rsp>
[[nodiscard]] rfc_exchange_s rfc_exchange(const Req &req, Rsp &rsp) {
    static_assert(fwupdate_req_len(Msg) == sizeof(Req), "request record and message table disagree");
    static_assert(fwupdate_rsp_len(Msg) == sizeof(Rsp), "answer record and message table disagree");
    return rfc_exchange_raw(Msg, &req, sizeof(Req), &rsp, sizeof(Rsp));
}

// Output file path: prefix + base + suffix, cut at 127 characters.
std::string rfc_output_path(const char *base, const char *suffix = ".txt");
// Opens an output file like fopen(path, "w+"), but only in a directory that
// is a real directory owned by this user and writable by no one else, and
// never through a symbolic link: the tool runs as root under the
// world-writable /tmp. Null when refused (with an error message naming the
// reason) or when the file cannot be opened (errno set, no message).
FILE *rfc_open_output(const char *path);

// A result file in the scratch directory, written in pieces and complete only
// once rfc_output_close has said so: a full file system or an I/O error shows
// at the latest when the stream is flushed and closed.
struct rfc_output_s {
    std::string path;
    rfc_file_ptr file;
    int err = 0;  // first write error
};
// Opens prefix + base + suffix; false after "Failed to open file".
[[nodiscard]] bool rfc_output_open(rfc_output_s &out, const char *base, const char *suffix = ".txt");
__attribute__((format(printf, 2, 3))) void rfc_output_printf(rfc_output_s &out, const char *fmt, ...);
void rfc_output_write(rfc_output_s &out, const void *data, size_t len);
// RFC_OK, or RFC_EFILE after "failed to write" when any byte did not reach the file.
[[nodiscard]] int rfc_output_close(rfc_output_s &out);

// Lets the compiler check every client format against its arguments.
__attribute__((format(printf, 1, 2))) inline void rfc_format_check(const char *, ...) {}

// Client message: formatted only when the hook is set and the level passes.
#define RFC_TRACE(level, fmt, ...)                                                                       \
    do {                                                                                                 \
        if (false) rfc_format_check((fmt), "", ##__VA_ARGS__);                                           \
        if (g_rfc_trace_cb != nullptr && g_trace_level > (level)-1) {                                    \
            g_rfc_trace_cb(g_rfc_trace_cb_ctxt, (level), (fmt), rfc_timestamp().c_str(), ##__VA_ARGS__); \
        }                                                                                                \
    } while (0)
#define RFC_ERR(fmt, ...) RFC_TRACE(TRACE_LEVEL_ERROR, fmt, ##__VA_ARGS__)
#define RFC_INFO(fmt, ...) RFC_TRACE(TRACE_LEVEL_INFO, fmt, ##__VA_ARGS__)
#define RFC_DBG(fmt, ...) RFC_TRACE(TRACE_LEVEL_DEBUG, fmt, ##__VA_ARGS__)

// Result of an operation whose exchange failed and that hands the exchange's
// result to its caller: a card that answers with no bytes and a zero status
// word must not read as success.
[[nodiscard]] int rfc_failed_result(ssize_t ret);

// Size of an open file, which is left positioned at its start; false when
// the size cannot be read (a pipe, a failed seek).
[[nodiscard]] bool rfc_file_size(FILE *fp, uint64_t *size);

// An image to read: opened without blocking (a FIFO with no writer must not
// hang the tool) and close-on-exec. RFC_EFILE when it cannot be opened (no
// message); RFC_EINVAL when it is neither a regular file nor a block device,
// or its size cannot be read.
[[nodiscard]] int rfc_image_open(const char *path, rfc_file_ptr *file, uint64_t *size);

// Progress events to the front end's callback, if one is set.
void rfc_progress_begin(const char *phase, uint64_t total);
void rfc_progress_update(uint64_t done);
void rfc_progress_poll(const char *label, unsigned elapsed_s);
void rfc_progress_end();
// One long operation's polls so far: the in-progress answers and the
// seconds waited after them.
struct rfc_poll_s {
    unsigned polls = 0;
    double waited_s = 0;
};
// One wait between two polls of a long operation (the front end's schedule
// for its interval), reported before and after to the progress callback.
void rfc_poll_wait(const char *label, unsigned interval_s, rfc_poll_s &poll);

// Bounded reads of what the card sends.
// A length the card states for an area of area bytes, trusted only as far as
// the area reaches.
size_t rfc_bounded_len(uint64_t len, size_t area);
// Text of a fixed-size field: up to the first NUL or the end of the field.
std::string rfc_field_text(const char *field, size_t field_size);

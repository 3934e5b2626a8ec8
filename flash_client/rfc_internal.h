// The client's common frame: per-thread context, open step, timestamp,
// trace hook, and the one point through which poll waits sleep.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "fwupdate_msgs.h"
#include "nic_ipc.h"
#include "rfc.h"

extern rfc_trace_cb_t g_rfc_trace_cb;
extern int32_t g_trace_level;
// constinit: no dynamic initialisation, so other translation units reach
// these directly instead of through a TLS wrapper (gcc 12 with UBSan can
// report a read through that wrapper as a null load).
extern thread_local constinit char g_rfc_prefix[RFC_PATH_LEN];
extern thread_local constinit bool g_rfc_opened;
extern thread_local constinit nic_ipc_handle_s g_rfc_handle;
extern thread_local constinit void *g_rfc_trace_cb_ctxt;
extern thread_local constinit uint8_t g_rfc_test_env;

// 0 when the handle is open, 255 otherwise.
int rfc_device_open(const char *bdf);
// "%Y-%m-%d %H:%M:%S" in local time, ".", microseconds without padding.
std::string rfc_timestamp();

// Poll waits go through here; tests replace it so that nothing waits for real.
using rfc_sleep_fn_t = unsigned (*)(unsigned seconds);
extern rfc_sleep_fn_t g_rfc_sleep;
void rfc_sleep(unsigned seconds);

// Output file path: prefix + base + suffix, cut at 127 characters.
std::string rfc_output_path(const char *base, const char *suffix = ".txt");
// Opens an output file like fopen(path, "w+"), but only in a directory that
// is a real directory owned by this user and writable by no one else, and
// never through a symbolic link: the tool runs as root under the
// world-writable /tmp. Null when refused (with an error message naming the
// reason) or when the file cannot be opened (errno set, no message).
FILE *rfc_open_output(const char *path);

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
int rfc_failed_result(ssize_t ret);
// Name of a life-cycle state as the card reports it ("unknown" past "rip").
const char *rfc_lcs_name(uint8_t state);

// Size of an open file, which is left positioned at its start; false when
// the size cannot be read (a pipe, a failed seek).
bool rfc_file_size(FILE *fp, uint64_t *size);

// Bounded reads of what the card sends.
// A length the card states for an area of area bytes, trusted only as far as
// the area reaches.
size_t rfc_bounded_len(uint64_t len, size_t area);
// Text of a fixed-size field: up to the first NUL or the end of the field.
std::string rfc_field_text(const char *field, size_t field_size);

// SPDX-License-Identifier: Apache-2.0
// Program-level tracing: the process-wide logger and the printf-style
// callbacks through which the front end and the client report.
#pragma once

#include "flash-update/vocabulary/fu_vocabulary.h"
#include <cstdio>

#include "trace_level.h"

namespace utils {
class log;
}

using trace_log_cb_t = int (*)(void *ctxt, trace_level_e level, const char *fmt, ...);

extern utils::log *g_trace_logger;
extern trace_log_cb_t g_trace_cb;

inline constexpr const char *TRACE_DEFAULT_LOG_DIR = FU_SCRATCH_DIR;
inline constexpr const char *TRACE_LOG_FILE = "flash-update.log";
inline constexpr const char *TRACE_ERR_LOG_FILE = "flash-update-err.log";
inline constexpr unsigned long TRACE_MAX_FILE_SIZE = 0x500000;
inline constexpr unsigned long TRACE_MAX_FILES = 1;

// 0 when the log paths could be prepared, 255 when a log directory is unusable.
int trace_init(const char *bdf);
void trace_update(trace_level_e level);
void flush_logs();
// Current trace level of g_trace_logger, TRACE_LEVEL_NONE without one.
trace_level_e trace_level_get();

__attribute__((format(printf, 3, 4))) int trace_log_cb(void *ctxt, trace_level_e level, const char *fmt, ...);
// Also prints level-3 messages on standard output.
__attribute__((format(printf, 3, 4))) int rfc_trace_log_cb(void *ctxt, int level, const char *fmt, ...);

// Writes the calling thread's stack on out; attached to the formatting
// library's error path.
void write_stack_trace(FILE *out);

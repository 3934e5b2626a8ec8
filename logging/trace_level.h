// SPDX-License-Identifier: Apache-2.0
// How much the logger and the trace callbacks write.
#pragma once

#include <cstdint>

// Message and configuration levels; a message is written when the configured
// level is at least its own.
enum trace_level_e : int32_t {
    TRACE_LEVEL_NONE = 0,
    TRACE_LEVEL_ERROR = 1,
    TRACE_LEVEL_WARN = 2,
    TRACE_LEVEL_INFO = 3,
    TRACE_LEVEL_DEBUG = 4,
    TRACE_LEVEL_VERBOSE = 5,
};

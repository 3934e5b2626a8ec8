// SPDX-License-Identifier: Apache-2.0
// The program's logger: one spdlog logger writing either to a main log and an
// error log, both rotated by size, or to syslog, synchronously or through a
// worker thread. Trace levels and syslog levels are translated here into the
// logger's own levels.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <spdlog/common.h>

#include "trace_level.h"

namespace spdlog {
class logger;
}

namespace sdk::types {

enum log_mode_e : uint32_t {
    LOG_MODE_SYNC = 0,
    LOG_MODE_ASYNC = 1,
};

// The eight syslog priorities, emergency to debug, counted from 1; 0 is none.
enum syslog_level_e : uint32_t {
    SYSLOG_LEVEL_NONE = 0,
    SYSLOG_LEVEL_EMERG = 1,
    SYSLOG_LEVEL_ALERT = 2,
    SYSLOG_LEVEL_CRIT = 3,
    SYSLOG_LEVEL_ERR = 4,
    SYSLOG_LEVEL_WARNING = 5,
    SYSLOG_LEVEL_NOTICE = 6,
    SYSLOG_LEVEL_INFO = 7,
    SYSLOG_LEVEL_DEBUG = 8,
};

}  // namespace sdk::types

namespace utils {

// CPUs the asynchronous worker pins itself to (bit n = CPU n); the first
// init that finds it 0 sets it.
extern uint64_t g_logger_cpu_mask;

// Line format of every log file; %Q is the boot number of the logger.
inline constexpr const char *LOG_PATTERN = "%L [%Q %Y-%m-%d %H:%M:%S.%f] (%t) %v";

class log {
  public:
    static constexpr uint32_t k_async_qsize_ = 0x20000;      // power of two
    static constexpr uint32_t k_async_overflow_policy_ = 1;  // 1: drop when full, 0: block
    static constexpr uint32_t k_flush_intvl_ms_ = 50;

    // A new instance, or null when name is null, both paths are null, memory
    // runs out or a log file cannot be opened. The final flag has no effect.
    static log *factory(const char *name, unsigned long cpu_mask, sdk::types::log_mode_e mode, bool syslog,
                        const char *err_log_file, const char *log_file, unsigned long max_file_size,
                        unsigned long max_files, trace_level_e err_trace_level, trace_level_e trace_level,
                        sdk::types::syslog_level_e syslog_level, bool flag);
    static void destroy(log *instance);

    // Configures a zero-filled instance; true when a logger exists afterwards.
    bool init(const char *name, unsigned long cpu_mask, sdk::types::log_mode_e mode, bool syslog,
              const char *err_log_file, const char *log_file, unsigned long max_file_size, unsigned long max_files,
              trace_level_e err_trace_level, trace_level_e trace_level, sdk::types::syslog_level_e syslog_level,
              bool flag);

    std::shared_ptr<spdlog::logger> logger();
    void set_trace_level(trace_level_e level);
    void set_syslog_level(sdk::types::syslog_level_e level);
    void flush();

    trace_level_e trace_level() const { return trace_level_.load(std::memory_order_relaxed); }
    sdk::types::syslog_level_e syslog_level() const { return syslog_level_.load(std::memory_order_relaxed); }
    bool is_syslog() const { return syslog_; }
    const std::string &err_log_path() const { return err_log_path_; }
    const std::string &log_path() const { return log_path_; }

    static spdlog::level::level_enum trace_level_to_spdlog_level(trace_level_e level);
    static spdlog::level::level_enum syslog_level_to_spdlog_level(sdk::types::syslog_level_e level);

    // Pins the calling thread to the CPUs of g_logger_cpu_mask; the system
    // call's result.
    static int set_cpu_affinity();

  private:
    log() = default;
    ~log() = default;
    log(const log &) = delete;
    log &operator=(const log &) = delete;

    bool syslog_ = false;
    std::atomic<trace_level_e> trace_level_{TRACE_LEVEL_NONE};
    std::atomic<sdk::types::syslog_level_e> syslog_level_{sdk::types::SYSLOG_LEVEL_NONE};
    std::shared_ptr<spdlog::logger> logger_;
    std::string err_log_path_;
    std::string log_path_;
};

struct trace_params_s {
    const char *name;
    uint64_t cpu_mask;
    bool sync;
    const char *err_log_file;
    const char *log_file;
    uint64_t max_file_size;
    uint64_t max_files;
    trace_level_e trace_level;
};

// File-mode logger with an error log that receives errors only; null for a
// null record, name or log_file, or when the logger cannot be created.
log *trace_init(trace_params_s *params);
// The instance must not be null.
void trace_update(trace_level_e level, log *instance);
void flush_logs(log *instance);
void trace_cleanup(log *instance);

}  // namespace utils

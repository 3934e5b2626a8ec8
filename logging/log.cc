// SPDX-License-Identifier: Apache-2.0
#include "log.h"

#include <pthread.h>
#include <sched.h>
#include <syslog.h>

#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <thread>

#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/details/registry.h>
#include <spdlog/details/thread_pool.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/syslog_sink.h>

#include "log_sinks.h"

namespace utils {

uint64_t g_logger_cpu_mask = 0;

namespace {

// Never block the caller on a full queue. Debian's spdlog 1.10 knows only
// "block" (0) and "overrun the oldest entry" (1): a full queue loses a
// message either way, the oldest queued one rather than the new one.
constexpr spdlog::async_overflow_policy async_policy() {
    return log::k_async_overflow_policy_ != 0 ? spdlog::async_overflow_policy::overrun_oldest
                                              : spdlog::async_overflow_policy::block;
}

// Flushes every registered logger every k_flush_intvl_ms_ (spdlog's own
// periodic flusher counts in whole seconds).
class periodic_flusher {
  public:
    periodic_flusher()
        : thread_([this] {
              std::unique_lock<std::mutex> lock(mutex_);
              while (!stop_) {
                  if (cv_.wait_for(lock, std::chrono::milliseconds(log::k_flush_intvl_ms_), [this] { return stop_; })) {
                      break;
                  }
                  lock.unlock();
                  spdlog::details::registry::instance().flush_all();
                  lock.lock();
              }
          }) {}
    ~periodic_flusher() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;
};

// Registry defaults of the asynchronous mode: one worker with a bounded
// queue that pins itself to g_logger_cpu_mask, flushed periodically. Set once;
// replacing the pool would strand the loggers already using it.
std::shared_ptr<spdlog::details::thread_pool> async_defaults_set() {
    auto &registry = spdlog::details::registry::instance();
    std::lock_guard<std::recursive_mutex> lock(registry.tp_mutex());
    std::shared_ptr<spdlog::details::thread_pool> pool = registry.get_tp();
    if (!pool) {
        pool = std::make_shared<spdlog::details::thread_pool>(
            log::k_async_qsize_, 1, [] { log::set_cpu_affinity(); }, [] {});
        registry.set_tp(pool);
        static periodic_flusher flusher;
    }
    return pool;
}

std::shared_ptr<spdlog::logger> syslog_logger_new(const std::string &name, bool async) {
    auto sink = std::make_shared<spdlog::sinks::syslog_sink_mt>(name, LOG_PID, LOG_USER, false);
    std::shared_ptr<spdlog::logger> logger;
    if (async) {
        logger = std::make_shared<spdlog::async_logger>(name, std::move(sink), async_defaults_set(), async_policy());
    } else {
        logger = std::make_shared<spdlog::logger>(name, std::move(sink));
    }
    // Throws when a logger of that name is registered already.
    spdlog::details::registry::instance().initialize_logger(logger);
    return logger;
}

std::shared_ptr<spdlog::logger> file_logger_new(const std::string &name, const std::string &err_log_path,
                                                const std::string &log_path, unsigned long max_file_size,
                                                unsigned long max_files, trace_level_e err_trace_level) {
    auto dist = std::make_shared<spdlog::sinks::dist_sink_mt>();
    if (!err_log_path.empty()) {
        auto err_sink = std::make_shared<rotating_file_sink>(err_log_path, max_file_size, max_files);
        err_sink->set_level(log::trace_level_to_spdlog_level(err_trace_level));
        dist->add_sink(std::move(err_sink));
    }
    if (!log_path.empty()) {
        auto main_sink = std::make_shared<rotating_file_sink>(log_path, max_file_size, max_files);
        main_sink->set_level(spdlog::level::trace);
        dist->add_sink(std::move(main_sink));
    }
    return std::make_shared<spdlog::logger>(name, std::move(dist));
}

}  // namespace

log *log::factory(const char *name, unsigned long cpu_mask, sdk::types::log_mode_e mode, bool syslog,
                  const char *err_log_file, const char *log_file, unsigned long max_file_size, unsigned long max_files,
                  trace_level_e err_trace_level, trace_level_e trace_level, sdk::types::syslog_level_e syslog_level,
                  bool flag) {
    if (name == nullptr || (err_log_file == nullptr && log_file == nullptr)) {
        return nullptr;
    }
    void *mem = calloc(1, sizeof(log));
    if (mem == nullptr) {
        return nullptr;
    }
    log *instance = new (mem) log();
    if (!instance->init(name, cpu_mask, mode, syslog, err_log_file, log_file, max_file_size, max_files, err_trace_level,
                        trace_level, syslog_level, flag)) {
        destroy(instance);
        return nullptr;
    }
    return instance;
}

void log::destroy(log *instance) {
    if (instance == nullptr) {
        return;
    }
    // A syslog logger sits in the registry under its name; take it out so the
    // name can be used again.
    if (instance->syslog_ && instance->logger_) {
        auto &registry = spdlog::details::registry::instance();
        if (registry.get(instance->logger_->name()) == instance->logger_) {
            registry.drop(instance->logger_->name());
        }
    }
    instance->~log();
    free(instance);
}

bool log::init(const char *name, unsigned long cpu_mask, sdk::types::log_mode_e mode, bool syslog,
               const char *err_log_file, const char *log_file, unsigned long max_file_size, unsigned long max_files,
               trace_level_e err_trace_level, trace_level_e trace_level, sdk::types::syslog_level_e syslog_level,
               bool /* flag */) {
    if (g_logger_cpu_mask == 0) {
        g_logger_cpu_mask = cpu_mask;
    }
    syslog_ = syslog;
    trace_level_ = trace_level;
    syslog_level_ = syslog_level;

    // spdlog reports a log file it cannot open (and a registry name clash) by
    // throwing; the program must go on, without this logger.
    try {
        err_log_path_ = err_log_file != nullptr ? err_log_file : "";
        log_path_ = log_file != nullptr ? log_file : "";
        std::string logger_name = name != nullptr ? name : "";

        if (syslog_) {
            logger_ = syslog_logger_new(logger_name, mode == sdk::types::LOG_MODE_ASYNC);
        } else {
            // File loggers are never created through the registry, so they
            // stay synchronous whatever the mode.
            logger_ = file_logger_new(logger_name, err_log_path_, log_path_, max_file_size, max_files, err_trace_level);
        }
        if (!logger_) {
            return false;
        }

        logger_->set_formatter(log_formatter_new());
        logger_->set_level(syslog_ ? syslog_level_to_spdlog_level(syslog_level_)
                                   : trace_level_to_spdlog_level(trace_level_));
        logger_->flush_on(spdlog::level::err);
        return true;
    } catch (const std::exception &e) {
        fprintf(stderr, "%s\n", e.what());
        logger_.reset();
        return false;
    }
}

std::shared_ptr<spdlog::logger> log::logger() {
    return logger_;
}

void log::set_trace_level(trace_level_e level) {
    if (syslog_) {
        return;
    }
    if (logger_) {
        logger_->set_level(trace_level_to_spdlog_level(level));
    }
    trace_level_ = level;
}

void log::set_syslog_level(sdk::types::syslog_level_e level) {
    if (!syslog_) {
        return;
    }
    if (logger_) {
        logger_->set_level(syslog_level_to_spdlog_level(level));
    }
    syslog_level_ = level;
}

void log::flush() {
    if (logger_) {
        logger_->flush();
    }
}

spdlog::level::level_enum log::trace_level_to_spdlog_level(trace_level_e level) {
    switch (level) {
        case TRACE_LEVEL_ERROR:
            return spdlog::level::err;
        case TRACE_LEVEL_WARN:
            return spdlog::level::warn;
        case TRACE_LEVEL_INFO:
            return spdlog::level::info;
        case TRACE_LEVEL_DEBUG:
            return spdlog::level::debug;
        case TRACE_LEVEL_VERBOSE:
            return spdlog::level::trace;
        default:
            return spdlog::level::off;
    }
}

spdlog::level::level_enum log::syslog_level_to_spdlog_level(sdk::types::syslog_level_e level) {
    switch (level) {
        case sdk::types::SYSLOG_LEVEL_EMERG:
        case sdk::types::SYSLOG_LEVEL_ALERT:
        case sdk::types::SYSLOG_LEVEL_CRIT:
            return spdlog::level::critical;
        case sdk::types::SYSLOG_LEVEL_ERR:
            return spdlog::level::err;
        case sdk::types::SYSLOG_LEVEL_WARNING:
            return spdlog::level::warn;
        case sdk::types::SYSLOG_LEVEL_NOTICE:
        case sdk::types::SYSLOG_LEVEL_INFO:
            return spdlog::level::info;
        case sdk::types::SYSLOG_LEVEL_DEBUG:
            return spdlog::level::debug;
        default:
            return spdlog::level::off;
    }
}

int log::set_cpu_affinity() {
    cpu_set_t *set = CPU_ALLOC(1024);
    if (set == nullptr) {
        return ENOMEM;
    }
    size_t set_size = CPU_ALLOC_SIZE(1024);
    CPU_ZERO_S(set_size, set);
    for (unsigned cpu = 0; cpu < 64; ++cpu) {
        if ((g_logger_cpu_mask >> cpu) & 1u) {
            CPU_SET_S(cpu, set_size, set);
        }
    }
    int rc = pthread_setaffinity_np(pthread_self(), set_size, set);
    CPU_FREE(set);
    return rc;
}

log *trace_init(trace_params_s *params) {
    if (params == nullptr || params->name == nullptr || params->log_file == nullptr) {
        return nullptr;
    }
    return log::factory(params->name, params->cpu_mask,
                        params->sync ? sdk::types::LOG_MODE_SYNC : sdk::types::LOG_MODE_ASYNC, false,
                        params->err_log_file, params->log_file, params->max_file_size, params->max_files,
                        TRACE_LEVEL_ERROR, params->trace_level, sdk::types::SYSLOG_LEVEL_NONE, true);
}

void trace_update(trace_level_e level, log *instance) {
    if (instance != nullptr) {
        instance->set_trace_level(level);
    }
}

void flush_logs(log *instance) {
    if (instance != nullptr) {
        instance->flush();
    }
}

void trace_cleanup(log *instance) {
    log::destroy(instance);
}

}  // namespace utils

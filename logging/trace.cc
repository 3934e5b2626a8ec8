// SPDX-License-Identifier: Apache-2.0
#include "trace.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <spdlog/logger.h>

#include "log.h"
#include "safe_dir.h"

utils::log *g_trace_logger = nullptr;
trace_log_cb_t g_trace_cb = nullptr;

namespace {

constexpr size_t TRACE_MSG_MAX = 1024;
constexpr size_t TRACE_DIR_MAX = 32;

// Why a log directory or its log file must not be used, or empty. The
// per-card directory (own_dir) lives under the world-writable /tmp: as root
// the tool writes there only when no other user can rename or plant entries
// in it. Directories the operator names are trusted; in every directory a log
// file that is a symbolic link is refused, so that nothing is appended to the
// file it points at.
std::string log_dir_refusal(const char *dir, const char *file, bool own_dir) {
    if (own_dir) {
        std::string reason = safe_dir_reason(safe_dir_check_path(dir), {.show_errno = false});
        if (!reason.empty()) {
            return reason;
        }
    }
    char reason[128];
    struct stat st {};
    const std::string file_path = std::string(dir) + file;
    if (lstat(file_path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        snprintf(reason, sizeof(reason), "%s is a symbolic link", file);
        return reason;
    }
    return {};
}

// The log path dir + file, creating dir (one level) when it is missing;
// empty when the directory is unusable.
std::string log_path_prepare(const char *dir, const char *file, bool own_dir) {
    errno = 0;
    if (dir == nullptr) {
        return file;
    }
    if (mkdir(dir, 0755) != 0) {
        struct stat st {};
        if (errno == EEXIST && stat(dir, &st) == 0 && S_ISDIR(st.st_mode)) {
            if (access(dir, W_OK) != 0) {
                fprintf(stderr, "No permissions to create log file in %s\n", dir);
                return {};
            }
        } else {
            fprintf(stderr, "Error: failed to create log dir %s\n", dir);
            return {};
        }
    }
    const std::string refusal = log_dir_refusal(dir, file, own_dir);
    if (!refusal.empty()) {
        fprintf(stderr, "Error: unusable log directory %s: %s\n", dir, refusal.c_str());
        return {};
    }
    return std::string(dir) + file;
}

// Logs text at a trace level through g_trace_logger, honouring its trace
// level (except for verbose messages, which only the logger's own level
// filters), and flushes so the files are complete if the process dies.
void trace_emit(int level, const char *text) {
    if (level <= TRACE_LEVEL_NONE || level > TRACE_LEVEL_VERBOSE || g_trace_logger == nullptr) {
        return;
    }
    std::shared_ptr<spdlog::logger> logger = g_trace_logger->logger();
    if (!logger) {
        return;
    }
    if (level != TRACE_LEVEL_VERBOSE && g_trace_logger->trace_level() < level) {
        return;
    }
    logger->log(utils::log::trace_level_to_spdlog_level(static_cast<trace_level_e>(level)), "{}", text);
    logger->flush();
}

}  // namespace

int trace_init(const char *bdf) {
    const char *main_dir = getenv("NON_PERSISTENT_LOG_DIR");
    const char *err_dir = getenv("PERSISTENT_LOG_DIR");

    char default_dir[TRACE_DIR_MAX];
    snprintf(default_dir, sizeof(default_dir), "%s%s/", TRACE_DEFAULT_LOG_DIR, bdf != nullptr ? bdf : "");

    std::string log_path =
        log_path_prepare(main_dir != nullptr ? main_dir : default_dir, TRACE_LOG_FILE, main_dir == nullptr);
    std::string err_log_path =
        log_path_prepare(err_dir != nullptr ? err_dir : default_dir, TRACE_ERR_LOG_FILE, err_dir == nullptr);
    if (log_path.empty() || err_log_path.empty()) {
        return 255;
    }

    utils::trace_params_s params{};
    params.name = "flash-update";
    params.cpu_mask = 1;
    params.sync = true;
    params.err_log_file = err_log_path.c_str();
    params.log_file = log_path.c_str();
    params.max_file_size = TRACE_MAX_FILE_SIZE;
    params.max_files = TRACE_MAX_FILES;
    params.trace_level = TRACE_LEVEL_DEBUG;
    g_trace_logger = utils::trace_init(&params);
    return 0;
}

void trace_update(trace_level_e level) {
    utils::trace_update(level, g_trace_logger);
}

void flush_logs() {
    utils::flush_logs(g_trace_logger);
}

trace_level_e trace_level_get() {
    return g_trace_logger != nullptr ? g_trace_logger->trace_level() : TRACE_LEVEL_NONE;
}

int trace_log_cb(void * /* ctxt */, trace_level_e level, const char *fmt, ...) {
    char text[TRACE_MSG_MAX];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    trace_emit(level, text);
    return 0;
}

int rfc_trace_log_cb(void * /* ctxt */, int level, const char *fmt, ...) {
    char text[TRACE_MSG_MAX];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    // Results meant for the user reach the terminal whatever is logged.
    if (level == TRACE_LEVEL_INFO) {
        puts(text);
    }
    trace_emit(level, text);
    return 0;
}

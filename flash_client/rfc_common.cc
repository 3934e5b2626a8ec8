// SPDX-License-Identifier: Apache-2.0
// The client's common frame: initialisation, the per-thread context with its
// lazily opened IPC handle, the timestamp that leads every client message,
// and the small helpers every operation shares.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "rfc_internal.h"
#include "safe_dir.h"
#include "fu_vocabulary.h"

thread_local constinit rfc_trace_cb_t g_rfc_trace_cb = nullptr;
thread_local constinit int32_t g_trace_level = TRACE_LEVEL_NONE;
thread_local constinit char g_rfc_prefix[RFC_PATH_LEN] = {};
thread_local constinit bool g_rfc_opened = false;
thread_local constinit nic_ipc_handle_s g_rfc_handle = {};
thread_local constinit void *g_rfc_trace_cb_ctxt = nullptr;
thread_local constinit uint8_t g_rfc_test_env = 0;

rfc_sleep_fn_t g_rfc_sleep = ::sleep;
rfc_poll_wait_fn_t g_rfc_poll_wait = nullptr;
rfc_ipc_open_fn_t g_rfc_ipc_open = nic_ipc_open;
rfc_ipc_close_fn_t g_rfc_ipc_close = nic_ipc_close;
rfc_clock_fn_t g_rfc_clock = [](timeval *now) { return gettimeofday(now, nullptr); };

namespace {

// Card address that stands for "none given": the open step then takes the
// address from the environment, or lets the transport pick its default node.
constexpr const char *k_no_bdf = FU_NO_CARD;
constexpr const char *k_env_card_bdf = "CRD_BDF";
constexpr const char *k_env_test = "RFC_TEST_ENV";
constexpr uint8_t k_test_init_failure = 1;

}  // namespace

int rfc_init(rfc_init_params_s *params) {
    if (params == nullptr) {
        return RFC_EFAIL;
    }
    // The precisions keep the reads inside the record's fields even when a
    // caller filled one to the last byte without a terminator.
    // A prefix too long for the buffer is cut; so are the paths built on it.
    if (snprintf(g_rfc_prefix, sizeof(g_rfc_prefix), "%.*s/%.*s/", static_cast<int>(sizeof(params->scratch_dir)),
                 params->scratch_dir, static_cast<int>(sizeof(params->bdf)), params->bdf) < 0) {
        g_rfc_prefix[0] = '\0';
    }

    // The hook is in place before the failure test, so that its message goes out.
    g_rfc_trace_cb = params->trace_cb;
    g_trace_level = params->trace_level;
    g_rfc_trace_cb_ctxt = params->trace_cb_ctxt;

    // Sticky for the thread: an unset variable keeps the earlier setting.
    const char *test_env = getenv(k_env_test);
    if (test_env != nullptr) {
        g_rfc_test_env = static_cast<uint8_t>(strtol(test_env, nullptr, 10) & 0xff);
    }
    if (g_rfc_test_env == k_test_init_failure) {
        RFC_ERR("[%s] Simulated remote flash client init failure");
        return RFC_EFAIL;
    }
    return RFC_OK;
}

int rfc_cleanup() {
    if (g_rfc_opened) {
        g_rfc_ipc_close(&g_rfc_handle);
        g_rfc_opened = false;
    }
    return RFC_OK;
}

int rfc_device_open(const char *bdf) {
    if (g_rfc_opened) {
        return RFC_OK;
    }
    const char *address = bdf != nullptr ? bdf : "";
    if (strcmp(address, k_no_bdf) == 0) {
        const char *env_bdf = getenv(k_env_card_bdf);
        address = env_bdf != nullptr ? env_bdf : "";
    }
    const int32_t ret = g_rfc_ipc_open(&g_rfc_handle, address);
    if (ret != 0) {
        RFC_ERR("[%s] device open failed, ret %d", static_cast<int>(ret));
        return RFC_EFAIL;
    }
    RFC_DBG("[%s] device open success, bdf %s", address);
    g_rfc_opened = true;
    return RFC_OK;
}

std::string rfc_timestamp() {
    timeval now{};
    g_rfc_clock(&now);
    const time_t seconds = now.tv_sec;
    tm local{};
    localtime_r(&seconds, &local);
    char text[256];
    if (strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local) == 0) {
        text[0] = '\0';
    }
    char fraction[32];
    snprintf(fraction, sizeof(fraction), ".%ld", static_cast<long>(now.tv_usec));
    return std::string(text) + fraction;
}

rfc_exchange_s rfc_exchange_raw(uint32_t msg, const void *req, size_t req_len, void *rsp, size_t rsp_len) {
    rfc_exchange_s x;
    uint8_t buf[FWUPDATE_MAX_MSG_LEN] = {};
    if (req_len > sizeof(buf) || rsp_len > sizeof(buf) || (req_len > 0 && req == nullptr) ||
        (rsp_len > 0 && rsp == nullptr)) {
        x.err = EMSGSIZE;
        errno = x.err;
        return x;
    }
    if (req_len > 0) {
        memcpy(buf, req, req_len);
    }
    // errno is left as it was before the call: a service error beside a
    // delivered answer reports whatever the transport left there.
    x.ret = nic_ipc_req_rsp(&g_rfc_handle, IPC_EP_FWUPDATE, msg, buf, req_len, rsp_len, &x.rsp_err);
    x.err = errno;
    if (rsp_len > 0) {
        memcpy(rsp, buf, rsp_len);
    }
    errno = x.err;
    return x;
}

void rfc_sleep(unsigned seconds) {
    (g_rfc_sleep != nullptr ? g_rfc_sleep : ::sleep)(seconds);
}

void rfc_set_sleep(rfc_sleep_fn_t sleeper) {
    g_rfc_sleep = sleeper != nullptr ? sleeper : ::sleep;
}

void rfc_set_poll_wait(rfc_poll_wait_fn_t wait) {
    g_rfc_poll_wait = wait;
}

void rfc_attach_transport(const nic_ipc_handle_s &handle) {
    g_rfc_handle = handle;
    g_rfc_opened = true;
}

void rfc_detach_transport() {
    g_rfc_opened = false;
    g_rfc_handle = nic_ipc_handle_s{};
}

std::string rfc_output_path(const char *base, const char *suffix) {
    char path[RFC_FILE_PATH_LEN];
    // A longer path is cut to the buffer (127 characters).
    if (snprintf(path, sizeof(path), "%s%s%s", g_rfc_prefix, base != nullptr ? base : "",
                 suffix != nullptr ? suffix : "") < 0) {
        return {};
    }
    return path;
}

FILE *rfc_open_output(const char *path) {
    if (path == nullptr || path[0] == '\0') {
        errno = ENOENT;
        return nullptr;
    }
    const char *slash = strrchr(path, '/');
    const char *base = slash != nullptr ? slash + 1 : path;
    // The directory without its trailing slashes, which would make the open
    // below follow a symbolic link ("/" stays "/").
    size_t dir_len = slash != nullptr ? static_cast<size_t>(slash - path) : 0;
    while (dir_len > 0 && path[dir_len - 1] == '/') {
        --dir_len;
    }
    const std::string dir = slash == nullptr ? std::string(".") : std::string(path, dir_len > 0 ? dir_len : 1);
    if (base[0] == '\0') {
        errno = EISDIR;
        return nullptr;
    }

    const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir_fd < 0) {
        const int err = errno;
        struct stat st {};
        if (lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            RFC_ERR("[%s] refusing %s: its directory is a symbolic link", path);
        }
        errno = err;
        return nullptr;
    }
    const std::string refusal = safe_dir_reason(safe_dir_check_fd(dir_fd), {.subject = "its directory"});
    if (!refusal.empty()) {
        RFC_ERR("[%s] refusing %s: %s", path, refusal.c_str());
        close(dir_fd);
        errno = EPERM;
        return nullptr;
    }

    // "w+": read and write, created 0666 less the umask, truncated.
    const int fd = openat(dir_fd, base, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    const int open_errno = errno;
    close(dir_fd);
    if (fd < 0) {
        if (open_errno == ELOOP) {
            RFC_ERR("[%s] refusing %s: it is a symbolic link", path);
        }
        errno = open_errno;
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        RFC_ERR("[%s] refusing %s: it is not a regular file", path);
        close(fd);
        errno = EPERM;
        return nullptr;
    }
    FILE *file = fdopen(fd, "w+");
    if (file == nullptr) {
        const int err = errno;
        close(fd);
        errno = err;
    }
    return file;
}

namespace {

// The directory that holds the per-card directories ("/tmp/korvex"): whoever
// may replace the per-card directory in it could point the tool's files
// anywhere, so it is judged like the per-card directory, except that root may
// own it (the system creates it at boot). Empty when the prefix has no parent.
std::string scratch_root_refusal() {
    std::string root(g_rfc_prefix);
    while (!root.empty() && root.back() == '/') {
        root.pop_back();
    }
    const size_t slash = root.rfind('/');
    if (slash == std::string::npos) {
        return {};
    }
    root.resize(slash);
    while (!root.empty() && root.back() == '/') {
        root.pop_back();
    }
    if (root.empty()) {
        return {};
    }
    return safe_dir_reason(safe_dir_check_path(root.c_str(), {.allow_root_owner = true}), {.subject = root.c_str()});
}

}  // namespace

bool rfc_output_open(rfc_output_s &out, const char *base, const char *suffix) {
    out.path = rfc_output_path(base, suffix);
    out.err = 0;
    const std::string refusal = scratch_root_refusal();
    if (!refusal.empty()) {
        RFC_ERR("[%s] refusing %s: %s", out.path.c_str(), refusal.c_str());
    } else {
        out.file.reset(rfc_open_output(out.path.c_str()));
    }
    if (!out.file) {
        RFC_ERR("[%s] Failed to open file %s", out.path.c_str());
        return false;
    }
    return true;
}

void rfc_output_printf(rfc_output_s &out, const char *fmt, ...) {
    if (!out.file) {
        return;
    }
    va_list args;
    va_start(args, fmt);
    const int n = vfprintf(out.file.get(), fmt, args);
    va_end(args);
    if (n < 0 && out.err == 0) {
        out.err = errno != 0 ? errno : EIO;
    }
}

void rfc_output_write(rfc_output_s &out, const void *data, size_t len) {
    if (!out.file || len == 0) {
        return;
    }
    if (fwrite(data, 1, len, out.file.get()) != len && out.err == 0) {
        out.err = errno != 0 ? errno : EIO;
    }
}

int rfc_output_close(rfc_output_s &out) {
    if (!out.file) {
        return RFC_EFILE;
    }
    // Buffered bytes meet a full file system only here.
    errno = 0;
    if (fflush(out.file.get()) != 0 && out.err == 0) {
        out.err = errno != 0 ? errno : EIO;
    }
    if (ferror(out.file.get()) != 0 && out.err == 0) {
        out.err = EIO;
    }
    errno = 0;
    if (fclose(out.file.release()) != 0 && out.err == 0) {
        out.err = errno != 0 ? errno : EIO;
    }
    if (out.err != 0) {
        RFC_ERR("[%s] failed to write %s: %s", out.path.c_str(), strerror(out.err));
        return RFC_EFILE;
    }
    return RFC_OK;
}

int rfc_image_open(const char *path, rfc_file_ptr *file, uint64_t *size) {
    const int fd = open(path != nullptr ? path : "", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return RFC_EFILE;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))) {
        close(fd);
        return RFC_EINVAL;
    }
    // Reads of a regular file or a disk never wait; the flag only mattered
    // for the open.
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) {
        (void)fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    rfc_file_ptr fp(fdopen(fd, "rb"));
    if (!fp) {
        close(fd);
        return RFC_EFILE;
    }
    if (!rfc_file_size(fp.get(), size)) {
        return RFC_EINVAL;
    }
    *file = std::move(fp);
    return RFC_OK;
}

int rfc_image_check(const char *path, uint64_t *size) {
    rfc_file_ptr file;
    uint64_t image_size = 0;
    const int ret = rfc_image_open(path, &file, &image_size);
    if (ret == RFC_OK && size != nullptr) {
        *size = image_size;
    }
    return ret;
}

bool rfc_file_size(FILE *fp, uint64_t *size) {
    if (fp == nullptr || size == nullptr || fseeko(fp, 0, SEEK_END) != 0) {
        return false;
    }
    const off_t end = ftello(fp);
    if (end < 0 || fseeko(fp, 0, SEEK_SET) != 0) {
        return false;
    }
    *size = static_cast<uint64_t>(end);
    return true;
}

size_t rfc_bounded_len(uint64_t len, size_t area) {
    return len < area ? static_cast<size_t>(len) : area;
}

std::string rfc_field_text(const char *field, size_t field_size) {
    if (field == nullptr) {
        return {};
    }
    return std::string(field, strnlen(field, field_size));
}

int rfc_failed_result(ssize_t ret) {
    return ret == 0 ? RFC_EFAIL : static_cast<int>(ret);
}

const char *rfc_lcs_name(uint8_t state) {
    return state < FU_LIFE_CYCLE_COUNT ? FU_LIFE_CYCLE_NAMES[state] : "unknown";
}

// The client's common frame: initialisation, the per-thread context with its
// lazily opened IPC handle, the timestamp that leads every client message,
// and the small helpers every operation shares.
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "rfc_internal.h"

rfc_trace_cb_t g_rfc_trace_cb = nullptr;
int32_t g_trace_level = TRACE_LEVEL_NONE;
thread_local constinit char g_rfc_prefix[RFC_PATH_LEN] = {};
thread_local constinit bool g_rfc_opened = false;
thread_local constinit nic_ipc_handle_s g_rfc_handle = {};
thread_local constinit void *g_rfc_trace_cb_ctxt = nullptr;
thread_local constinit uint8_t g_rfc_test_env = 0;

rfc_sleep_fn_t g_rfc_sleep = ::sleep;

namespace {

// Card address that stands for "none given": the open step then takes the
// address from the environment, or lets the transport pick its default node.
constexpr const char *k_no_bdf = "00.0.0";
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
        nic_ipc_close(&g_rfc_handle);
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
    const int32_t ret = nic_ipc_open(&g_rfc_handle, address);
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
    gettimeofday(&now, nullptr);
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

void rfc_sleep(unsigned seconds) {
    (g_rfc_sleep != nullptr ? g_rfc_sleep : ::sleep)(seconds);
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

bool rfc_copy_bounded(void *dst, size_t dst_size, const void *src, size_t src_size, size_t n) {
    if (n > dst_size || n > src_size) {
        return false;
    }
    if (n == 0) {
        return true;
    }
    if (dst == nullptr || src == nullptr) {
        return false;
    }
    memcpy(dst, src, n);
    return true;
}

std::string rfc_field_text(const char *field, size_t field_size) {
    if (field == nullptr) {
        return {};
    }
    return std::string(field, strnlen(field, field_size));
}

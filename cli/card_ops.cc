// SPDX-License-Identifier: Apache-2.0
// The real program's side of the command line: the logger, the client on
// the card, the card lock.
#include <cstdio>
#include <cstring>
#include <utility>

#include "card_lock.h"
#include "cli_run.h"
#include "terminal_progress.h"
#include "trace.h"
#include "fu_vocabulary.h"

namespace {

// The client writes its per-card files under this directory.
constexpr const char *k_scratch_dir = FU_SCRATCH_DIR;

int trace_start(const char *bdf) {
    const int result = trace_init(bdf);
    g_trace_cb = trace_log_cb;
    return result;
}

bool trace_enabled(trace_level_e level) {
    return g_trace_logger != nullptr && g_trace_cb != nullptr && trace_level_get() >= level;
}

int client_init(const char *bdf) {
    rfc_init_params_s params;
    memset(&params, 0, sizeof(params));
    strncpy(params.bdf, bdf, sizeof(params.bdf) - 1);
    strncpy(params.scratch_dir, k_scratch_dir, sizeof(params.scratch_dir) - 1);
    params.trace_level = TRACE_LEVEL_DEBUG;
    params.trace_cb = rfc_trace_log_cb;
    const int result = rfc_init(&params);
    rfc_set_progress_cb(cli_terminal_progress, nullptr);
    return result;
}

bool image_usable(const char *path) {
    uint64_t size = 0;
    return rfc_image_check(path, &size) == RFC_OK;
}

// The card's lock while this process lives: never released nor destroyed,
// so that it outlasts the exit handlers that still write the logs.
card_lock_s *g_held_card = nullptr;

// The front end's step before a command that changes the card: takes the
// card's lock and keeps it until the process ends. A card without a node this
// user can open is not locked (the client's open reports it). Busy also while
// readers share the card (the pid is then a reader's).
bool card_lock_hold(const char *bdf) {
    card_lock_s lock = card_lock_acquire(bdf);
    switch (lock.result) {
        case CARD_LOCK_HELD:
            g_held_card = new card_lock_s(std::move(lock));
            return true;
        case CARD_LOCK_BUSY:
            if (lock.holder > 0) {
                fprintf(stderr, "flash-update: card %s is busy: another flash-update (pid %d) holds its lock\n", bdf,
                        static_cast<int>(lock.holder));
            } else {
                fprintf(stderr, "flash-update: card %s is busy: another flash-update holds its lock\n", bdf);
            }
            return false;
        case CARD_LOCK_FAILED:
        default:
            if (lock.no_device) {
                // Nothing this user can reach to protect; the client's open says why.
                return true;
            }
            fprintf(stderr, "flash-update: cannot lock card %s: %s\n", bdf != nullptr ? bdf : "(none)",
                    lock.reason.c_str());
            return false;
    }
}

}  // namespace

const cli_ops_s k_cli_card_ops = {
    .at_exit = atexit,
    .set_signal = signal,
    .trace_start = trace_start,
    .trace_enabled = trace_enabled,
    .trace = trace_log_cb,
    .trace_flush = flush_logs,
    .client_init = client_init,
    .image_usable = image_usable,
    .card_lock_hold = card_lock_hold,
    .firmware_type = rfc_firmware_type,
    .flash_erase = rfc_flash_erase,
    .flash_write = rfc_flash_write,
    .set_startup_image = rfc_set_startup_image,
    .verify_checksum = rfc_verify_checksum,
    .partition_metadata = rfc_partition_metadata,
    .validate_startup_image = rfc_validate_startup_image,
    .card_info_get = rfc_card_info_get,
    .partition_info = rfc_partition_info,
    .flash_sector_erase = rfc_flash_sector_erase,
    .secure_boot_update = rfc_secure_boot_update,
    .secure_image_info = rfc_secure_image_info,
    .secure_image_info_update = rfc_secure_image_info_update,
    .partition_signed_metadata = rfc_partition_signed_metadata,
    .image_signature_verify = rfc_image_signature_verify,
};

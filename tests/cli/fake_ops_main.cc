// SPDX-License-Identifier: Apache-2.0
// flash-update over stand-in operations (fake_ops.h), as a program: the real
// process set-up, logs and image check, operations that print what they were
// handed. Only this test program reads these variables:
//   FAKE_OP_RESULT   what every operation returns (0 when unset)
//   FAKE_OP_SIGNALS  set: each operation also lists the signals ignored
//   FAKE_LOCK        "print": each lock taken prints "card_lock_hold bdf=...";
//                    "busy": the card's lock is held elsewhere
#include <cstdlib>
#include <cstring>

#include "fake_ops.h"

int main(int argc, char **argv) {
    cli_ops_s ops = cli_fake_ops();
    ops.at_exit = k_cli_card_ops.at_exit;
    ops.set_signal = k_cli_card_ops.set_signal;
    ops.trace_start = k_cli_card_ops.trace_start;
    ops.trace_enabled = k_cli_card_ops.trace_enabled;
    ops.trace = k_cli_card_ops.trace;
    ops.trace_flush = k_cli_card_ops.trace_flush;
    ops.image_usable = k_cli_card_ops.image_usable;

    const char *result = getenv("FAKE_OP_RESULT");
    const char *lock = getenv("FAKE_LOCK");
    g_cli_fake.result = result != nullptr ? atoi(result) : 0;
    g_cli_fake.print = true;
    g_cli_fake.print_signals = getenv("FAKE_OP_SIGNALS") != nullptr;
    g_cli_fake.print_lock = lock != nullptr && strcmp(lock, "print") == 0;
    g_cli_fake.lock_busy = lock != nullptr && strcmp(lock, "busy") == 0;
    return cli_run(argc, argv, ops);
}

// SPDX-License-Identifier: Apache-2.0
// Stand-ins for everything flash-update's command line drives, shared by the
// command-line tests and the command-line fuzzer. Each operation checks that
// the texts it is handed are whole strings, records the call as one line
// ("rfc_flash_erase partition=6 size=65536 bdf=... timeout=0") and returns
// the chosen result.
#pragma once

#include <string>

#include "cli_run.h"

struct cli_fake_state_s {
    int result = 0;              // what every operation returns
    bool lock_busy = false;      // the card's lock is held elsewhere
    bool print = false;          // each call's line also goes to standard output
    bool print_lock = false;     // so does "card_lock_hold bdf=..." for each lock taken
    bool print_signals = false;  // and, after an operation's line, the signals it runs with ignored
    int calls = 0;               // operations called
    int locks = 0;               // locks asked for
    bool firmware_type_called = false;
    std::string last_call;
    void (*exit_handler)() = nullptr;  // what at_exit was given
};

extern cli_fake_state_s g_cli_fake;

// Every member a stand-in: no logger, no client, no card, no process-wide
// set-up (at_exit notes the handler, set_signal changes nothing).
cli_ops_s cli_fake_ops();

// SPDX-License-Identifier: Apache-2.0
// End-to-end runs of the real flash-update binary against the virtual card.
//
// Every test takes a card of its own (e2e_card_new): a fresh state directory
// and a card address in a PCI domain no other running test or suite uses, so
// its scratch directory /tmp/korvex/<bdf>/ is its alone. e2e_run starts
// flash-update under flash-update-vcard with that card, a hard time-out and
// the sleep shim, and returns what the process left behind: exit status,
// standard output and error. The card's own record of what reached it
// (requests.log) and the poll sleeps the tool asked for are read afterwards.
//
//     e2e_card_s card = e2e_card_new();
//     e2e_result_s r = e2e_run(card, {"--get-card-info"});      // BDF appended
//     EXPECT_EQ(r.status, 0);
//     std::vector<e2e_request_s> reqs = e2e_requests(card);      // what the card saw
//     std::string info;
//     EXPECT_TRUE(e2e_scratch_read(card, "card_info.txt", info));
//     e2e_card_free(card);                                       // or let e2e_card_guard do it
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// How the virtual card behaves for one run. Unset numbers keep the card's
// own default (or what its state directory holds).
struct e2e_options_s {
    std::vector<std::string> faults;  // each one "--fault SPEC" to the launcher
    std::vector<std::string> launcher_args;  // more options to the launcher (--timing FILE, ...)
    int erase_polls = -1;             // --erase-polls N
    int verify_polls = -1;            // --verify-polls N
    int ipc_version = -1;             // --ipc-version N (card-info layout)
    bool no_misc = false;             // card without misc node: only fwctl reaches it
    unsigned cards = 1;               // --cards N
    unsigned timeout_s = 60;          // SIGKILL to the tool after this many seconds
    bool fake_sleep = true;           // sleep() returns at once and is recorded
    std::vector<std::string> env;     // extra "NAME=value" for the tool's environment
    std::string stdin_text;           // fed to the tool's standard input
    bool stderr_tty = false;          // standard error is a pseudo-terminal (raw mode: the
                                      // bytes written arrive untranslated in e2e_result_s::err)
};

// One test's card. The state directory persists the card's flash between runs
// of the same test, so a test can install and then verify.
struct e2e_card_s {
    std::string bdf;          // card address, e.g. "4d2a:03:00.0"
    std::string bdf2;         // second card's address when run with cards = 2
    std::string state_dir;    // the card's state (flash, requests.log); temporary
    std::string scratch_dir;  // "/tmp/korvex/" + bdf + "/"
    std::string sleep_log;    // where the sleep shim records durations
    std::string work_dir;     // temporary directory for the test's own files
};

struct e2e_result_s {
    int status = -1;  // exit status; 128 + n when signal n killed it; -1 when it could not run
    int signal = 0;   // the signal that killed it (the launcher dies of the command's); 0 when it exited
    bool timed_out = false;
    std::string out;  // standard output
    std::string err;  // standard error (what reached the terminal with stderr_tty)
};

// One request as the card recorded it.
struct e2e_request_s {
    uint32_t endpoint = 0;
    uint32_t msg = 0;
    std::vector<uint8_t> bytes;  // the request data, without any framing
};

// A fresh card: unique address (claimed by creating /tmp/korvex/<bdf>/),
// empty state and work directories. Aborts the test program when the
// temporary directories cannot be made.
e2e_card_s e2e_card_new();
// Removes the state, work and scratch directories (also the second card's).
void e2e_card_free(const e2e_card_s &card);

// Frees the card when the test's scope ends.
struct e2e_card_guard {
    e2e_card_s card = e2e_card_new();
    e2e_card_guard() = default;
    e2e_card_guard(const e2e_card_guard &) = delete;
    e2e_card_guard &operator=(const e2e_card_guard &) = delete;
    ~e2e_card_guard() { e2e_card_free(card); }
};

// flash-update ARGS... BDF (the card's address appended as the last argument).
e2e_result_s e2e_run(const e2e_card_s &card, const std::vector<std::string> &args, const e2e_options_s &options = {});
// flash-update ARGS... exactly as given (for tests of the address argument).
e2e_result_s e2e_run_argv(const e2e_card_s &card, const std::vector<std::string> &args,
                          const e2e_options_s &options = {});
// Any COMMAND ARGS... under the launcher with the card up (args[0] is the program).
e2e_result_s e2e_run_command(const e2e_card_s &card, const std::vector<std::string> &args,
                             const e2e_options_s &options = {});
// The launcher itself with ARGS... exactly as given (keys, --help, refusals).
e2e_result_s e2e_run_launcher(const std::vector<std::string> &args, unsigned timeout_s = 60);

// Paths of the programs under test.
std::string e2e_tool_path();      // flash-update ("" when it is not built)
std::string e2e_launcher_path();  // flash-update-vcard
std::string e2e_probe_path();     // e2e_probe: raw sysfs/misc/fwctl access (see e2e_probe.cc)

// Whole file into text; false when it cannot be read.
bool e2e_read_file(const std::string &path, std::string &text);
// A file in the card's scratch directory /tmp/korvex/<bdf>/ (e.g. "card_info.txt").
bool e2e_scratch_read(const e2e_card_s &card, const std::string &name, std::string &text);
bool e2e_scratch_exists(const e2e_card_s &card, const std::string &name);
// Writes a file into the card's work directory; returns its path.
std::string e2e_work_file(const e2e_card_s &card, const std::string &name, const std::vector<uint8_t> &bytes);

// Lines of /tmp/korvex/<bdf>/flash-update.log (and -err.log), whole.
std::vector<std::string> e2e_log_lines(const e2e_card_s &card);
std::vector<std::string> e2e_err_log_lines(const e2e_card_s &card);
// The message part of each log record (after "] (<thread>) "); banner lines
// and lines without that shape are left out.
std::vector<std::string> e2e_log_messages(const e2e_card_s &card);
// True when some main-log message contains the text.
bool e2e_log_contains(const e2e_card_s &card, const std::string &text);

// Requests the card recorded, oldest first, across all runs on this card.
std::vector<e2e_request_s> e2e_requests(const e2e_card_s &card);
// Forgets the recorded requests and sleeps (before the run under test).
void e2e_clear_records(const e2e_card_s &card);
// Durations (seconds) the tool passed to sleep(), oldest first.
std::vector<unsigned> e2e_sleeps(const e2e_card_s &card);
// Seconds of every wait recorded, fractional ones (flashctl's) included.
double e2e_slept_s(const e2e_card_s &card);

// Hex text of bytes, lowercase, no separators ("0c000000").
std::string e2e_hex(const std::vector<uint8_t> &bytes);

// SPDX-License-Identifier: Apache-2.0
// flashctl: a card's whole state as data, and one safe, idempotent,
// interruptible firmware update per call.
//
// The transaction engine talks to the card only through a table of card
// operations (fc_card_ops_s): the program fills it with the remote flash
// client's typed reads and operations, tests with a fake card. Everything a
// command decides (plan, refusals, phases, results, exit status) is a plain
// record, rendered as text or as the JSON document of schema version 1.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "card_documents.h"
#include "card_lock.h"
#include "rfc_reads.h"
#include "fu_vocabulary.h"

inline constexpr int FC_SCHEMA_VERSION = DOC_SCHEMA_VERSION;

// Exit statuses.
inline constexpr int FC_EXIT_OK = 0;
inline constexpr int FC_EXIT_FAILED = 1;
inline constexpr int FC_EXIT_REFUSED = 2;  // also a command line that does not parse
inline constexpr int FC_EXIT_BUSY = 3;
inline constexpr int FC_EXIT_INTERRUPTED = 130;

// Per-phase deadlines, seconds. An install's grows with the image: a card
// takes one 960-byte chunk per exchange.
inline constexpr unsigned FC_ERASE_DEADLINE_S = 600;
inline constexpr unsigned FC_CHECKSUM_DEADLINE_S = 300;
inline constexpr unsigned FC_INSTALL_DEADLINE_BASE_S = 60;
inline constexpr unsigned FC_INSTALL_DEADLINE_PER_MIB_S = 30;
inline constexpr unsigned FC_STARTUP_VERIFY_DEADLINE_S = 300;
// The plan's reads and the wait for the card's lock; a signature check or a
// startup selection, each one exchange.
inline constexpr unsigned FC_PLAN_DEADLINE_S = 60;
inline constexpr unsigned FC_SIGNATURE_DEADLINE_S = 300;
inline constexpr unsigned FC_ACTIVATE_DEADLINE_S = 60;
// How long past its phase's deadline, or past a stop, a card call may still
// run before the run is ended without it (one exchange takes milliseconds).
inline constexpr double FC_CARD_CALL_GRACE_S = 1.0;

inline constexpr const char *FC_HISTORY_FILE = "/var/lib/flash-update/history.jsonl";
inline constexpr const char *FC_KEY_DIR = FU_KEY_DIR;

// Everything flashctl asks of a card and of the host around it.
struct fc_card_ops_s {
    bool (*address_valid)(const char *bdf);
    // Points the client at a card (the client keeps one open card per thread).
    void (*select_card)(const char *bdf);
    // Takes the card's lock (the one flash-update's mutating commands take),
    // held while the returned guard lives: exclusive for a change, waiting up
    // to wait_s for readers to leave; shared for a read-only command that
    // starts a long card operation, waiting up to wait_s for a change to end.
    // Cut short by a stop.
    card_lock_s (*take_lock)(const char *bdf, card_lock_mode_e mode, double wait_s);
    // Serial number from the card's PCI function ("" when it cannot be read).
    std::string (*serial_number)(const char *bdf);
    int (*read_image)(fwupdate_image_type_e which, const char *bdf, firmware_image_type_e *image);
    int (*read_identity)(const char *bdf, rfc_card_identity_s *identity);
    int (*read_partitions)(const char *bdf, std::vector<rfc_partition_s> *table);
    int (*read_secure)(secure_image_type_e type, const char *bdf, rfc_secure_info_s *info);
    int (*read_checksum)(flash_partition_e partition, uint64_t size, const char *bdf, const bool &timeout,
                         uint8_t (&digest)[RFC_SHA512_LEN]);
    int (*read_startup_image)(flash_partition_e partition, const char *bdf, const bool *timeout,
                              rfc_startup_image_s *image);
    int (*erase)(flash_partition_e partition, uint64_t size, const char *bdf, const bool &timeout);
    // Installs exactly size bytes from offset 0 of the open image.
    int (*write)(flash_partition_e partition, int image_fd, uint64_t size, const char *bdf, const bool &timeout);
    int (*verify_signature)(flash_partition_e partition, const char *bdf);
    int (*set_startup)(firmware_image_type_e image, const char *bdf);
    // Whether the host holds a public key the card's signatures can be checked with.
    bool (*keys_present)();
    // Addresses of the card bridges on this host, as sysfs lists them.
    std::vector<std::string> (*list_cards)();
};

// The program's table: the remote flash client and the card lock.
const fc_card_ops_s &fc_real_ops();

// --- stop conditions: deadlines and signals --------------------------------

// The stop flag of a card's work, and the state of its phase. The client
// reads `stop` (its timeout flag) before every request and after every
// wait; it is raised, on the card's thread, after SIGINT/SIGTERM/SIGHUP,
// after a failed write to standard output or error (the reader went away),
// or when the current phase's deadline passes.
//
// Each card's work runs on a thread of its own, so the session is per
// thread: its phase, deadline and stop are the card's. What stops a run
// (a signal, the reader's going away) and the seams of the tests (the clock
// and the sleep) are the process's, static members shared by every thread.
struct fc_session_s {
    bool stop = false;
    bool timed_out = false;
    double phase_start = 0;
    double deadline_s = 0;  // 0: no deadline
    // Seconds a sleep was asked for but not spent in real time (a sleep cut
    // short by a recorder in tests): counted as elapsed, so a deadline holds
    // whether the sleeps are real or not.
    double sleep_credit = 0;
    const char *phase = "plan";   // the step under way, as progress names it
    char client_error[512] = {};  // the client's last error message, for the report ("" none)

    static inline volatile sig_atomic_t signal = 0;       // the signal that stopped the run, 0 if none
    static inline volatile sig_atomic_t reader_gone = 0;  // a write to standard output or error failed
    // Waits up to seconds and returns the seconds left unslept (null: the
    // system's wait, cut short by a stop signal).
    static inline double (*sleeper)(double seconds) = nullptr;
    static inline double (*clock)() = nullptr;  // null: the monotonic clock
};
// constinit: reached directly from every translation unit, without the
// wrapper of a thread_local that has a dynamic initialisation.
extern thread_local constinit fc_session_s g_fc_session;
// A fresh session on this thread and for the process: no stop, no signal,
// the system's clock and sleep (between the runs of a test).
void fc_session_reset();

// The session's clock, seconds.
double fc_now();
// Clears the stop flag's deadline state and starts a phase with its deadline.
void fc_phase_start(double deadline_s);
// Seconds the current phase has run (slept seconds included).
double fc_phase_elapsed();
// Raises the stop flag when the phase's deadline has passed; true when stopped.
bool fc_check_stop();
// flashctl's wait before a long operation's next poll (the client's poll
// wait seam): the first after FC_POLL_FIRST_S, each following one twice as
// long up to FC_POLL_LONGEST_S and never longer than the operation's own
// interval, so that the end of an operation is seen within a second.
inline constexpr double FC_POLL_FIRST_S = 0.1;
inline constexpr double FC_POLL_LONGEST_S = 1.0;
double fc_poll_wait(unsigned interval_s, unsigned polls);
// SIGINT/SIGTERM/SIGHUP handler: raises the stop flag at the next safe point.
void fc_on_signal(int signo);
// A write to standard output or error failed: stops like a signal.
void fc_reader_gone();
// Installs fc_on_signal for SIGINT, SIGTERM and SIGHUP, ignores SIGPIPE (a
// failed write says it), and makes fc_poll_wait the client's wait between polls.
void fc_session_install();

// The watch over a command that talks to a card. A card that stops answering
// holds the client inside one exchange, out of reach of the stop flag; the
// watch, on a thread of its own, sees the phase's deadline (or a stop) pass
// by FC_CARD_CALL_GRACE_S while the card's thread waits on the card, and
// gives up on it: it calls abandon, with that thread's phase and deadline as
// its own session's, which completes the report as a timeout or an
// interruption of the phase under way. For a command of one card abandon
// also records and prints the report and returns the exit status, with which
// the process then exits; for one card of several (fc_run_cards) it returns
// FC_WATCH_GO_ON and the other cards go on.
enum fc_abandon_e : int { FC_ABANDON_TIMEOUT, FC_ABANDON_STOP };
inline constexpr int FC_WATCH_GO_ON = -1;
using fc_abandon_fn = std::function<int(fc_abandon_e why)>;
// Starts watching this thread until fc_watch_end; returns the table to run
// the command with: ops with every call made a card call, during which the
// watch may act.
const fc_card_ops_s &fc_watch_begin(const fc_card_ops_s &ops, fc_abandon_fn abandon);
void fc_watch_end();

// Several cards at once: each card's work on a thread of its own (the
// client keeps one card per thread, the lock is per card), each thread under
// the watch. A stop reaches every card; a card that fails or stops
// answering leaves the others' work alone.
struct fc_card_run_s {
    // Card i's work, on its thread, over the watched table.
    std::function<void(size_t i, const fc_card_ops_s &ops)> run;
    // Completes card i, whose card call did not answer (on the watch's thread).
    std::function<void(size_t i, fc_abandon_e why)> abandon;
    // Card i was not reached: no thread could be had for it (why).
    std::function<void(size_t i, const std::string &why)> not_started;
    // Once every card ended or was given up: records and prints the run,
    // returns its exit status.
    std::function<int()> finish;
};
// Runs count cards and returns finish's status. When a card was given up,
// its thread still waits on the card: the process exits with the status.
int fc_run_cards(const fc_card_ops_s &ops, size_t count, const fc_card_run_s &run);
// Opens this thread's signal mask to SIGINT and SIGTERM again. Called when a
// step starts: a library that saves and restores the mask around its calls
// from several threads (the virtual card's device emulation does) can leave
// this thread with another thread's mask, which would hold a stop back for
// the rest of the run.
void fc_unblock_stops();

// --- records -----------------------------------------------------------------

// How a command ended, as its document's "result" names it.
enum fc_result_e : int {
    FC_RESULT_NONE = 0,  // not ended yet
    FC_RESULT_UPDATED,
    FC_RESULT_UNCHANGED,
    FC_RESULT_REFUSED,
    FC_RESULT_FAILED,
    FC_RESULT_INTERRUPTED,
    FC_RESULT_TIMEOUT,
    FC_RESULT_BUSY,
    FC_RESULT_COUNT
};
// How a phase of a transaction ended.
enum fc_phase_status_e : int {
    FC_PHASE_SKIPPED = 0,
    FC_PHASE_OK,
    FC_PHASE_FAILED,
    FC_PHASE_TIMEOUT,
    FC_PHASE_INTERRUPTED,
    FC_PHASE_STATUS_COUNT
};
// How far the partition got: each state follows the one before it.
enum fc_partition_state_e : int {
    FC_PARTITION_UNTOUCHED = 0,
    FC_PARTITION_ERASED,
    FC_PARTITION_PARTIALLY_WRITTEN,
    FC_PARTITION_WRITTEN_UNVERIFIED,
    FC_PARTITION_VERIFIED,
    FC_PARTITION_STATE_COUNT
};
// The names the documents give them; "" for FC_RESULT_NONE.
const char *fc_result_name(fc_result_e result);
const char *fc_phase_status_name(fc_phase_status_e status);
const char *fc_partition_state_name(fc_partition_state_e state);
// The exit status of a command that ended so: 0 updated or unchanged,
// 2 refused, 3 busy, 130 interrupted, 1 otherwise.
int fc_exit_status(fc_result_e result);

using fc_error_s = doc_error_s;

struct fc_phase_s {
    std::string name;
    fc_phase_status_e status = FC_PHASE_SKIPPED;
    double seconds = 0;
    // The bytes the phase asked the card to go over: the erase's (the whole
    // partition), the install's and the checksum's (the image); 0 for the
    // others and for a phase that did not start.
    uint64_t bytes = 0;
};

struct fc_selection_s {
    bool read = false;
    std::string version;
    std::string running_image;  // fw-a, fw-b, gold, unknown
    std::string startup_image;
};

struct fc_update_request_s {
    std::string card;
    std::string partition;
    std::string image_path;
    std::string sha512;  // expected, as given ("" none)
    bool activate = false;
    bool dry_run = false;
    bool allow_running = false;
    unsigned timeout_s = 0;  // 0: the default deadlines
    // The journal that takes the transaction's line: an update it cannot
    // take is refused before the card is touched ("" none, a dry run).
    std::string journal;
};

struct fc_update_report_s {
    std::string card;
    std::string serial_number;
    std::string partition;
    std::string image_path;  // absolute
    uint64_t image_size = 0;
    std::string image_sha512;  // lower-case hex, "" when not hashed
    bool changed = false;
    bool dry_run = false;
    bool would_change = false;
    bool activated = false;
    fc_result_e result = FC_RESULT_NONE;
    fc_selection_s before;
    fc_selection_s after;
    std::vector<fc_phase_s> phases;
    fc_partition_state_e partition_state = FC_PARTITION_UNTOUCHED;
    std::vector<std::string> plan_actions;
    fc_error_s error;
    std::string time;           // UTC, for the history
    std::string journal_error;  // why the transaction has no line in the journal ("" when it has one)
};

// One line of the journal: what an update did to a card. Read back from a
// file of any origin, members of the wrong type are left empty.
struct fc_history_record_s {
    std::string time;
    std::string card;
    std::string serial_number;
    std::string partition;
    std::string image_path;
    uint64_t image_size = 0;
    bool image_size_known = false;
    std::string image_sha512;
    fc_selection_s before;
    fc_selection_s after;
    std::vector<fc_phase_s> phases;
    std::string result;  // as written: a newer flashctl may know more results
};

struct fc_rollback_report_s {
    std::string card;
    std::string from;
    std::string to;
    bool changed = false;
    bool dry_run = false;
    fc_result_e result = FC_RESULT_NONE;
    fc_error_s error;
};

// --- engine ------------------------------------------------------------------

fc_update_report_s fc_update(const fc_card_ops_s &ops, const fc_update_request_s &request);
// The same, building the report in place: what a watch reads while the
// transaction waits on the card.
void fc_update(const fc_card_ops_s &ops, const fc_update_request_s &request, fc_update_report_s &report);
// timeout_s: the deadline of each step (0: the defaults).
fc_rollback_report_s fc_rollback(const fc_card_ops_s &ops, const std::string &card, bool dry_run, unsigned timeout_s);
void fc_rollback(const fc_card_ops_s &ops, const std::string &card, bool dry_run, unsigned timeout_s,
                 fc_rollback_report_s &report);
// One card's inventory entry (an error entry when it fails to answer).
doc_card_s fc_inventory_card(const fc_card_ops_s &ops, const std::string &card);

// Host SHA-512 of a file, streamed; false with errno's text in *error.
// cancel, when given and set, stops it at the next block.
bool fc_sha512_file(const std::string &path, uint64_t *size, std::string *hex, std::string *error,
                    const std::atomic<bool> *cancel = nullptr);
// SHA-512 of exactly the first size bytes of an open file, read by position;
// false when the file holds fewer (it changed) or cannot be read.
bool fc_sha512_fd(int fd, uint64_t size, std::string *hex, std::string *error,
                  const std::atomic<bool> *cancel = nullptr);
// Completes an update report whose phase under way will not finish: the
// watch gave up on the card's answer (why), the phase named by the session.
void fc_update_abandon(fc_update_report_s &report, fc_abandon_e why);
void fc_rollback_abandon(fc_rollback_report_s &report, fc_abandon_e why);
// "fw-a", "fw-b", "gold" or "unknown".
const char *fc_image_name(firmware_image_type_e image);

// The steps a release's transaction shares with an update's.
// Takes the card's lock into guard: FC_RESULT_NONE once held, otherwise how
// the command ends, with its error.
fc_result_e fc_take_card(const fc_card_ops_s &ops, const char *bdf, bool shared, double wait_s, const std::string &card,
                         card_lock_s &guard, fc_error_s *error);
// Whether the partition holds exactly this image: the card's checksum over
// size bytes and its record of the partition (the digest over the length it
// recorded at the install) are both sha512 (lower-case hex).
bool fc_card_holds(const fc_card_ops_s &ops, flash_partition_e partition, uint64_t size, const std::string &sha512,
                   const char *bdf, double checksum_deadline_s, double verify_deadline_s);
std::string fc_hex(const uint8_t *bytes, size_t len);  // lower-case
// "stopped by signal 15 during install" or the reader's going away.
std::string fc_stop_reason(const char *phase);
// How a command ends whose card call in phase never answered: interrupted
// (why: a stop) or timed out, with its error.
void fc_abandon_outcome(fc_abandon_e why, const char *phase, fc_result_e *result, fc_error_s *error);
// "what (result 255): the client's own message".
std::string fc_result_text(const std::string &what, int result);
std::string fc_utc_now();  // "2026-12-09T01:02:03Z"

// --- output ------------------------------------------------------------------

// Compact JSON text; bytes from the card that are not UTF-8 become U+FFFD.
std::string fc_dump(const doc_json &doc);
// The document of a command that failed before it had a report.
doc_json fc_error_json(doc_error_code_e code, const std::string &message);
// The reports as their documents (schema version 1, members in the order
// the manual lists them).
void to_json(doc_json &j, const fc_selection_s &selection);
void from_json(const doc_json &j, fc_selection_s &selection);
void to_json(doc_json &j, const fc_phase_s &phase);
void from_json(const doc_json &j, fc_phase_s &phase);
void to_json(doc_json &j, const fc_update_report_s &report);
void to_json(doc_json &j, const fc_rollback_report_s &report);
void to_json(doc_json &j, const fc_history_record_s &record);
void from_json(const doc_json &j, fc_history_record_s &record);
// An update's journal record.
fc_history_record_s fc_history_record(const fc_update_report_s &report);
// One journal record as text (without its line break and its "prev").
std::string fc_history_line(const fc_update_report_s &report);
std::string fc_update_text(const fc_update_report_s &report);
std::string fc_rollback_text(const fc_rollback_report_s &report);
std::string fc_inventory_text(const doc_inventory_s &inventory);

// --- command line --------------------------------------------------------------

// Runs one command line; returns the exit status. Output goes to the given
// streams (standard output, standard error).
int fc_main(const fc_card_ops_s &ops, int argc, char **argv, FILE *out, FILE *err);

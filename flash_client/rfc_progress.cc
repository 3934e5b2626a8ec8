// SPDX-License-Identifier: Apache-2.0
// Progress of the long operations, handed to the front end's callback as
// events: the client itself never draws, so another front end (or none) can
// take the same operations.
#include "rfc_internal.h"
#include "rfc_reads.h"

namespace {

rfc_progress_cb_t g_progress_cb = nullptr;
void *g_progress_ctxt = nullptr;
// The pass under way on this thread (each thread talks to a card of its
// own), so that each update carries its phase and total.
thread_local constinit const char *g_pass_phase = "";
thread_local constinit uint64_t g_pass_total = 0;

void report(rfc_progress_kind_e kind, const char *phase, uint64_t done, uint64_t total, unsigned elapsed_s) {
    if (g_progress_cb == nullptr) {
        return;
    }
    rfc_progress_s p;
    p.kind = kind;
    p.phase = phase != nullptr ? phase : "";
    p.done = done;
    p.total = total;
    p.elapsed_s = elapsed_s;
    g_progress_cb(g_progress_ctxt, p);
}

}  // namespace

void rfc_set_progress_cb(rfc_progress_cb_t cb, void *ctxt) {
    g_progress_cb = cb;
    g_progress_ctxt = ctxt;
}

void rfc_progress_begin(const char *phase, uint64_t total) {
    g_pass_phase = phase != nullptr ? phase : "";
    g_pass_total = total;
    report(RFC_PROGRESS_BEGIN, g_pass_phase, 0, total, 0);
}

void rfc_progress_update(uint64_t done) {
    report(RFC_PROGRESS_UPDATE, g_pass_phase, done, g_pass_total, 0);
}

void rfc_progress_poll(const char *label, unsigned elapsed_s) {
    report(RFC_PROGRESS_POLL, label, 0, 0, elapsed_s);
}

void rfc_progress_end() {
    report(RFC_PROGRESS_END, "", 0, 0, 0);
}

void rfc_poll_wait(const char *label, unsigned interval_s, rfc_poll_s &poll) {
    rfc_progress_poll(label, static_cast<unsigned>(poll.waited_s));
    ++poll.polls;
    if (g_rfc_poll_wait != nullptr) {
        poll.waited_s += g_rfc_poll_wait(interval_s, poll.polls);
    } else {
        rfc_sleep(interval_s);
        poll.waited_s += interval_s;
    }
    rfc_progress_poll(label, static_cast<unsigned>(poll.waited_s));
}

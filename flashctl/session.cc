// Stop conditions of a run: the deadline of the current phase and
// SIGINT/SIGTERM, both turned into the client's timeout flag, which the
// client reads between chunks and between polls (its safe points).
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>

#include "flashctl.h"
#include "rfc_internal.h"

fc_session_s g_fc_session;

namespace {

double monotonic_s() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double now_s() {
    return g_fc_session.clock != nullptr ? g_fc_session.clock() : monotonic_s();
}

}  // namespace

double fc_now() {
    return now_s();
}

void fc_phase_start(double deadline_s) {
    g_fc_session.phase_start = now_s();
    g_fc_session.sleep_credit = 0;
    g_fc_session.deadline_s = deadline_s;
    g_fc_session.client_error.clear();
}

double fc_phase_elapsed() {
    return now_s() - g_fc_session.phase_start + g_fc_session.sleep_credit;
}

bool fc_check_stop() {
    if (g_fc_session.signal != 0) g_fc_session.stop = true;
    if (!g_fc_session.stop && g_fc_session.deadline_s > 0 && fc_phase_elapsed() >= g_fc_session.deadline_s) {
        g_fc_session.timed_out = true;
        g_fc_session.stop = true;
    }
    return g_fc_session.stop;
}

unsigned fc_sleep(unsigned seconds) {
    if (fc_check_stop()) return seconds;
    unsigned asked = seconds;
    if (g_fc_session.deadline_s > 0) {
        const double left = g_fc_session.deadline_s - fc_phase_elapsed();
        asked = static_cast<unsigned>(std::min<double>(seconds, std::max(0.0, std::ceil(left))));
    }
    const double t0 = now_s();
    // A signal ends the system's sleep early (the handler runs, sleep returns
    // what was left), so a stop never waits out a whole poll interval.
    const unsigned left = g_fc_session.sleeper != nullptr ? g_fc_session.sleeper(asked) : ::sleep(asked);
    const double spent = now_s() - t0;
    const double slept = static_cast<double>(asked - std::min(left, asked));
    if (slept > spent) g_fc_session.sleep_credit += slept - spent;
    fc_check_stop();
    return 0;
}

void fc_on_signal(int signo) {
    g_fc_session.signal = signo;
    g_fc_session.stop = true;
}

void fc_unblock_stops() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
}

void fc_session_install() {
    struct sigaction sa {};
    sa.sa_handler = fc_on_signal;
    sigemptyset(&sa.sa_mask);
    // Reads and writes on the card's node restart: a request in flight is
    // finished, and the stop takes effect before the next one.
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    g_rfc_sleep = fc_sleep;
}

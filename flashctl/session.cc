// Stop conditions of a run: the deadline of the current phase, SIGINT,
// SIGTERM and SIGHUP, and a reader of the output that went away, all turned
// into the client's timeout flag, which the client reads between chunks and
// between polls (its safe points). A card that stops answering holds the
// client inside one exchange, where no safe point comes: the watch ends the
// run from another thread once the phase's deadline or a stop is overdue.
#include <poll.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

#include "fe_io.h"
#include "flashctl.h"
#include "rfc_seams.h"

fc_session_s g_fc_session;

namespace {

// Raised with the session's signal or reader_gone; read by the watch, which
// runs on its own thread.
std::atomic<bool> g_stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler sets it");

double now_s() {
    return g_fc_session.clock != nullptr ? g_fc_session.clock() : fe_monotonic_s();
}

// The watch over a command's card calls. The command's thread holds `m`
// while it runs host code and lets go of it for each card call, so the
// watch's thread can take it only while the command waits on the card, and
// then reads the report and the phase as they stand.
struct watch_s {
    std::mutex m;
    bool active = false;          // a command is under watch (under m)
    double phase_real_start = 0;  // monotonic seconds (under m)
    double stop_seen = 0;         // when the watch first saw the stop (under m)
    fc_abandon_fn abandon;        // under m
    const fc_card_ops_s *inner = nullptr;
    pthread_t command_thread{};  // under m
    bool forwarded = false;      // the stop signal was passed to the command's thread (under m)
};
// Never destroyed: the watch's thread may still run while the process exits.
watch_s *const g_watch = new watch_s;
thread_local bool t_holding = false;  // this thread holds g_watch->m

// Lets go of the watch for one card call, takes it back afterwards.
struct card_call_scope_s {
    bool held = t_holding;
    card_call_scope_s() {
        if (held) {
            t_holding = false;
            g_watch->m.unlock();
        }
    }
    ~card_call_scope_s() {
        if (held) {
            g_watch->m.lock();
            t_holding = true;
        }
    }
    card_call_scope_s(const card_call_scope_s &) = delete;
    card_call_scope_s &operator=(const card_call_scope_s &) = delete;
};

template <auto Member>
struct card_call;
template <typename R, typename... A, R (*fc_card_ops_s::*Member)(A...)>
struct card_call<Member> {
    static R call(A... args) {
        card_call_scope_s scope;
        return (g_watch->inner->*Member)(args...);
    }
};

const fc_card_ops_s k_watched_ops = {
    .address_valid = card_call<&fc_card_ops_s::address_valid>::call,
    .select_card = card_call<&fc_card_ops_s::select_card>::call,
    .take_lock = card_call<&fc_card_ops_s::take_lock>::call,
    .serial_number = card_call<&fc_card_ops_s::serial_number>::call,
    .read_image = card_call<&fc_card_ops_s::read_image>::call,
    .read_identity = card_call<&fc_card_ops_s::read_identity>::call,
    .read_partitions = card_call<&fc_card_ops_s::read_partitions>::call,
    .read_secure = card_call<&fc_card_ops_s::read_secure>::call,
    .read_checksum = card_call<&fc_card_ops_s::read_checksum>::call,
    .read_startup_image = card_call<&fc_card_ops_s::read_startup_image>::call,
    .erase = card_call<&fc_card_ops_s::erase>::call,
    .write = card_call<&fc_card_ops_s::write>::call,
    .verify_signature = card_call<&fc_card_ops_s::verify_signature>::call,
    .set_startup = card_call<&fc_card_ops_s::set_startup>::call,
    .keys_present = card_call<&fc_card_ops_s::keys_present>::call,
    .list_cards = card_call<&fc_card_ops_s::list_cards>::call,
};

// Whether the command's wait on the card is overdue: the phase's deadline
// passed, or a stop was asked for, more than the grace ago (a card that
// answers takes milliseconds per exchange). Under m.
bool overdue(double now, fc_abandon_e *why) {
    if (g_stop_requested.load()) {
        if (g_watch->stop_seen == 0) g_watch->stop_seen = now;
        if (now - g_watch->stop_seen >= FC_CARD_CALL_GRACE_S) {
            *why = FC_ABANDON_STOP;
            return true;
        }
    }
    const double deadline = g_fc_session.deadline_s;
    if (deadline > 0 && now - g_watch->phase_real_start >= deadline + FC_CARD_CALL_GRACE_S) {
        *why = FC_ABANDON_TIMEOUT;
        return true;
    }
    return false;
}

void watch_loop() {
    for (;;) {
        struct timespec tick = {0, 100 * 1000 * 1000};
        nanosleep(&tick, nullptr);
        std::unique_lock<std::mutex> lk(g_watch->m);
        if (!g_watch->active) continue;
        // While the device emulation serves a call it blocks the caller's
        // signals, and a stop signal lands here instead: the command's
        // thread gets it too, to cut its poll sleep short once it can.
        const int signo = g_fc_session.signal;
        if (signo != 0 && !g_watch->forwarded) {
            g_watch->forwarded = true;
            pthread_kill(g_watch->command_thread, signo);
        }
        lk.unlock();
        lk = std::unique_lock<std::mutex>(g_watch->m, std::try_to_lock);
        // Not taken: the command runs host code and reaches its safe point itself.
        if (!lk.owns_lock() || !g_watch->active) continue;
        fc_abandon_e why = FC_ABANDON_TIMEOUT;
        if (!overdue(fe_monotonic_s(), &why)) continue;
        const int status = g_watch->abandon ? g_watch->abandon(why) : FC_EXIT_FAILED;
        fflush(stdout);
        fflush(stderr);
        // The command's thread is still inside the card call; nothing of the
        // process may run on after this.
        _exit(status);
    }
}

// The system's wait of up to seconds, cut short by a stop signal: the stops
// are held back while the stop flag is read and let in only inside ppoll, so
// a signal that comes just before the wait ends it at once. Seconds left.
double wait_unless_stopped(double seconds) {
    sigset_t stops, before;
    sigemptyset(&stops);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stops, s);
    pthread_sigmask(SIG_BLOCK, &stops, &before);
    const double t0 = fe_monotonic_s();
    double left = seconds;
    if (g_fc_session.signal == 0 && seconds > 0) {
        const double whole = std::floor(seconds);
        const struct timespec ts = {static_cast<time_t>(whole), static_cast<long>((seconds - whole) * 1e9)};
        // 0: the whole wait passed; otherwise a signal cut it short.
        left = ppoll(nullptr, 0, &ts, &before) == 0 ? 0 : std::max(0.0, seconds - (fe_monotonic_s() - t0));
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return left;
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
    if (t_holding) g_watch->phase_real_start = fe_monotonic_s();
}

double fc_phase_elapsed() {
    return now_s() - g_fc_session.phase_start + g_fc_session.sleep_credit;
}

bool fc_check_stop() {
    if (g_fc_session.signal != 0 || g_fc_session.reader_gone) g_fc_session.stop = true;
    // Fractional waits add up with rounding: a microsecond short is there.
    if (!g_fc_session.stop && g_fc_session.deadline_s > 0 && fc_phase_elapsed() >= g_fc_session.deadline_s - 1e-6) {
        g_fc_session.timed_out = true;
        g_fc_session.stop = true;
    }
    return g_fc_session.stop;
}

double fc_sleep(double seconds) {
    if (fc_check_stop()) return 0;
    double asked = seconds;
    if (g_fc_session.deadline_s > 0)
        asked = std::min(seconds, std::max(0.0, g_fc_session.deadline_s - fc_phase_elapsed()));
    const double t0 = now_s();
    const double left = g_fc_session.sleeper != nullptr ? g_fc_session.sleeper(asked) : wait_unless_stopped(asked);
    const double spent = now_s() - t0;
    const double slept = asked - std::clamp(left, 0.0, asked);
    if (slept > spent) g_fc_session.sleep_credit += slept - spent;
    fc_check_stop();
    return slept;
}

double fc_poll_wait(unsigned interval_s, unsigned polls) {
    // Doubling from the first wait up to the longest, never longer than the
    // operation's own interval.
    const int doublings = static_cast<int>(std::min(polls > 0 ? polls - 1 : 0u, 16u));
    const double wait =
        std::min({std::ldexp(FC_POLL_FIRST_S, doublings), FC_POLL_LONGEST_S, static_cast<double>(interval_s)});
    return fc_sleep(wait);
}

void fc_on_signal(int signo) {
    g_fc_session.signal = signo;
    g_stop_requested.store(true);
}

void fc_reader_gone() {
    g_fc_session.reader_gone = 1;
    g_stop_requested.store(true);
}

void fc_unblock_stops() {
    sigset_t stops;
    sigemptyset(&stops);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stops, s);
    pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
}

void fc_session_install() {
    struct sigaction sa {};
    sa.sa_handler = fc_on_signal;
    sigemptyset(&sa.sa_mask);
    // Reads and writes on the card's node restart: a request in flight is
    // finished, and the stop takes effect before the next one.
    sa.sa_flags = SA_RESTART;
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaction(s, &sa, nullptr);
    // A reader that went away shows as a failed write, handled as a stop.
    signal(SIGPIPE, SIG_IGN);
    rfc_set_poll_wait(fc_poll_wait);
}

const fc_card_ops_s &fc_watch_begin(const fc_card_ops_s &ops, fc_abandon_fn abandon) {
    static std::once_flag started;
    std::call_once(started, [] {
        // Of the signals the watch takes only the stops, and those only when
        // the command's thread blocks them.
        sigset_t others, before;
        sigfillset(&others);
        for (int sig : {SIGINT, SIGTERM, SIGHUP})
            sigdelset(&others, sig);
        pthread_sigmask(SIG_SETMASK, &others, &before);
        try {
            std::thread(watch_loop).detach();
        } catch (const std::system_error &) {
            // No thread to be had: the run keeps its safe points, without the watch.
        }
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    });
    g_watch->m.lock();
    t_holding = true;
    g_watch->inner = &ops;
    g_watch->abandon = std::move(abandon);
    g_watch->active = true;
    g_watch->stop_seen = 0;
    g_watch->forwarded = false;
    g_watch->command_thread = pthread_self();
    g_watch->phase_real_start = fe_monotonic_s();
    return k_watched_ops;
}

void fc_watch_end() {
    if (!t_holding) return;
    g_watch->active = false;
    g_watch->abandon = nullptr;
    t_holding = false;
    g_watch->m.unlock();
}

// SPDX-License-Identifier: Apache-2.0
// Stop conditions of a run: the deadline of the current phase, SIGINT,
// SIGTERM and SIGHUP, and a reader of the output that went away, all turned
// into the client's timeout flag, which the client reads between chunks and
// between polls (its safe points). A card that stops answering holds the
// client inside one exchange, where no safe point comes: the watch gives up
// on that card from another thread once the phase's deadline or a stop is
// overdue. Each card's work runs on a thread of its own, with its own
// session; the stops are the process's.
#include <poll.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "fe_io.h"
#include "flashctl.h"
#include "rfc_seams.h"

thread_local constinit fc_session_s g_fc_session;

namespace {

// Raised with the session's signal or reader_gone; read by the watch, which
// runs on its own thread.
std::atomic<bool> g_stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler sets it");

double now_s() {
    return fc_session_s::clock != nullptr ? fc_session_s::clock() : fe_monotonic_s();
}

// One thread's card calls under the watch. The thread holds `m` while it
// runs host code and lets go of it for each card call, so the watch's thread
// can take it only while that thread waits on the card, and then reads its
// report and its phase as they stand.
struct watched_s {
    std::mutex m;
    const fc_session_s *session = nullptr;  // the thread's (its phase and deadline under m)
    double phase_real_start = 0;            // monotonic seconds (under m)
    double stop_seen = 0;                   // when the watch first saw the stop (the watch's)
    fc_abandon_fn abandon;                  // under m
    pthread_t thread{};
    bool forwarded = false;  // the stop signal was passed to the thread (under the watch's list_m)
};

struct watch_s {
    std::mutex list_m;
    std::vector<watched_s *> threads;  // under list_m
    // The table the card calls go to: set before the threads it serves start.
    const fc_card_ops_s *inner = nullptr;
};
// Never destroyed: the watch's thread may still run while the process exits.
watch_s *const g_watch = new watch_s;
thread_local watched_s *t_watched = nullptr;
thread_local bool t_holding = false;  // this thread holds t_watched->m

// Lets go of the watch for one card call, takes it back afterwards. A thread
// the watch gave up on never takes it back: it waits there until the
// process exits.
struct card_call_scope_s {
    bool held = t_holding;
    card_call_scope_s() {
        if (held) {
            t_holding = false;
            t_watched->m.unlock();
        }
    }
    ~card_call_scope_s() {
        if (held) {
            t_watched->m.lock();
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

// Whether a thread's wait on the card is overdue: its phase's deadline
// passed, or a stop was asked for, more than the grace ago (a card that
// answers takes milliseconds per exchange). Under w.m.
bool overdue(watched_s &w, double now, fc_abandon_e *why) {
    if (g_stop_requested.load()) {
        if (w.stop_seen == 0) w.stop_seen = now;
        if (now - w.stop_seen >= FC_CARD_CALL_GRACE_S) {
            *why = FC_ABANDON_STOP;
            return true;
        }
    }
    const double deadline = w.session->deadline_s;
    if (deadline > 0 && now - w.phase_real_start >= deadline + FC_CARD_CALL_GRACE_S) {
        *why = FC_ABANDON_TIMEOUT;
        return true;
    }
    return false;
}

// Gives up on the thread of w, which waits on its card: abandon completes
// its report with the thread's phase and deadline as this thread's. Under
// list_m and w.m; w.m stays held, so the thread never runs on.
void give_up(watched_s &w, fc_abandon_e why) {
    g_fc_session = fc_session_s{};
    g_fc_session.phase = w.session->phase;
    g_fc_session.phase_start = w.session->phase_start;
    g_fc_session.deadline_s = w.session->deadline_s;
    const int status = w.abandon ? w.abandon(why) : FC_EXIT_FAILED;
    if (status != FC_WATCH_GO_ON) {
        fflush(stdout);
        fflush(stderr);
        // The thread is still inside the card call; nothing of the process
        // may run on after this.
        _exit(status);
    }
    auto &list = g_watch->threads;
    list.erase(std::remove(list.begin(), list.end(), &w), list.end());
}

void watch_loop() {
    for (;;) {
        struct timespec tick = {0, 100 * 1000 * 1000};
        nanosleep(&tick, nullptr);
        std::lock_guard<std::mutex> list_lock(g_watch->list_m);
        // While the device emulation serves a call it blocks the caller's
        // signals, and a stop signal lands here instead; a card's poll sleep
        // is cut short only by a signal on its own thread: every watched
        // thread gets it, to cut its sleep short once it can.
        const int signo = fc_session_s::signal;
        for (watched_s *w : g_watch->threads)
            if (signo != 0 && !w->forwarded) {
                w->forwarded = true;
                pthread_kill(w->thread, signo);
            }
        const std::vector<watched_s *> threads = g_watch->threads;
        for (watched_s *w : threads) {
            std::unique_lock<std::mutex> lk(w->m, std::try_to_lock);
            // Not taken: the thread runs host code and reaches its safe point itself.
            if (!lk.owns_lock()) continue;
            fc_abandon_e why = FC_ABANDON_TIMEOUT;
            if (!overdue(*w, fe_monotonic_s(), &why)) continue;
            give_up(*w, why);
            lk.release();
        }
    }
}

void start_watch() {
    static std::once_flag started;
    std::call_once(started, [] {
        // Of the signals the watch takes only the stops, and those only when
        // the command's threads block them.
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
}

// Puts this thread under the watch, holding its mutex, until unwatch.
void watch_this_thread(watched_s &w, fc_abandon_fn abandon) {
    w.session = &g_fc_session;
    w.abandon = std::move(abandon);
    w.thread = pthread_self();
    w.phase_real_start = fe_monotonic_s();
    w.stop_seen = 0;
    w.m.lock();
    t_watched = &w;
    t_holding = true;
    std::lock_guard<std::mutex> list_lock(g_watch->list_m);
    w.forwarded = false;
    g_watch->threads.push_back(&w);
}

void unwatch_this_thread() {
    if (!t_holding) return;
    {
        std::lock_guard<std::mutex> list_lock(g_watch->list_m);
        auto &list = g_watch->threads;
        list.erase(std::remove(list.begin(), list.end(), t_watched), list.end());
    }
    t_watched->abandon = nullptr;
    t_holding = false;
    t_watched->m.unlock();
    t_watched = nullptr;
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
    if (fc_session_s::signal == 0 && seconds > 0) {
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
    g_fc_session.client_error[0] = '\0';
    if (t_holding) t_watched->phase_real_start = fe_monotonic_s();
}

double fc_phase_elapsed() {
    return now_s() - g_fc_session.phase_start + g_fc_session.sleep_credit;
}

bool fc_check_stop() {
    if (fc_session_s::signal != 0 || fc_session_s::reader_gone) g_fc_session.stop = true;
    // Fractional waits add up with rounding: a microsecond short is there.
    if (!g_fc_session.stop && g_fc_session.deadline_s > 0 && fc_phase_elapsed() >= g_fc_session.deadline_s - 1e-6) {
        g_fc_session.timed_out = true;
        g_fc_session.stop = true;
    }
    return g_fc_session.stop;
}

// A wait of up to seconds, never past the phase's deadline and cut short by a
// stop; the seconds it waited.
static double fc_sleep(double seconds) {
    if (fc_check_stop()) return 0;
    double asked = seconds;
    if (g_fc_session.deadline_s > 0)
        asked = std::min(seconds, std::max(0.0, g_fc_session.deadline_s - fc_phase_elapsed()));
    const double t0 = now_s();
    const double left =
        fc_session_s::sleeper != nullptr ? fc_session_s::sleeper(asked) : wait_unless_stopped(asked);
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
    fc_session_s::signal = signo;
    g_stop_requested.store(true);
}

void fc_reader_gone() {
    fc_session_s::reader_gone = 1;
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

void fc_session_reset() {
    g_fc_session = fc_session_s{};
    fc_session_s::signal = 0;
    fc_session_s::reader_gone = 0;
    fc_session_s::sleeper = nullptr;
    fc_session_s::clock = nullptr;
    g_stop_requested.store(false);
}

const fc_card_ops_s &fc_watch_begin(const fc_card_ops_s &ops, fc_abandon_fn abandon) {
    start_watch();
    g_watch->inner = &ops;
    static watched_s *const command = new watched_s;  // one command at a time
    watch_this_thread(*command, std::move(abandon));
    return k_watched_ops;
}

void fc_watch_end() {
    unwatch_this_thread();
}

int fc_run_cards(const fc_card_ops_s &ops, size_t count, const fc_card_run_s &run) {
    start_watch();
    g_watch->inner = &ops;
    std::mutex m;
    std::condition_variable ended_cv;
    size_t ended = 0;      // cards ended or given up (under m)
    bool gave_up = false;  // under m
    const auto end_card = [&](bool given_up) {
        {
            std::lock_guard<std::mutex> lk(m);
            ++ended;
            gave_up = gave_up || given_up;
        }
        ended_cv.notify_all();
    };
    std::vector<std::unique_ptr<watched_s>> watched;
    for (size_t i = 0; i < count; ++i)
        watched.push_back(std::make_unique<watched_s>());
    const auto work = [&](size_t i) {
        watch_this_thread(*watched[i], [&, i](fc_abandon_e why) {
            run.abandon(i, why);
            end_card(true);
            return FC_WATCH_GO_ON;
        });
        run.run(i, k_watched_ops);
        unwatch_this_thread();
        end_card(false);
    };
    std::vector<std::thread> threads(count);
    for (size_t i = 0; i < count; ++i) {
        try {
            threads[i] = std::thread(work, i);
        } catch (const std::system_error &e) {
            run.not_started(i, e.what());
            end_card(false);
        }
    }
    std::unique_lock<std::mutex> lk(m);
    ended_cv.wait(lk, [&] { return ended == count; });
    if (!gave_up) {
        lk.unlock();
        for (std::thread &t : threads)
            if (t.joinable()) t.join();
        return run.finish();
    }
    // A thread given up on still waits on its card, holding what it holds:
    // the run ends here, as a command of one card does.
    const int status = run.finish();
    fflush(stdout);
    fflush(stderr);
    _exit(status);
}

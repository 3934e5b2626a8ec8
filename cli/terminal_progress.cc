// One progress line on standard error, redrawn in place with a carriage
// return and finished with a line break when the pass or the poll ends. An
// install streams thousands of 960-byte chunks a second, so the line is
// redrawn at most ten times a second, and without a terminal nothing is done
// beyond one comparison per chunk.
#include "terminal_progress.h"

#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr int64_t k_redraw_interval_ns = 100'000'000;
constexpr int64_t k_ns_per_s = 1'000'000'000;
constexpr size_t k_line_len = 128;
constexpr size_t k_name_len = 32;
constexpr double k_kib = 1024.0;
constexpr double k_mib = 1024.0 * 1024.0;

enum progress_line_e { PROGRESS_NONE, PROGRESS_PASS, PROGRESS_POLL };

struct progress_s {
    progress_line_e line;  // kind of the line on the terminal, without its line break yet
    char name[k_name_len];
    uint64_t total;
    uint64_t done;
    int64_t start_ns;
    int64_t last_draw_ns;
    unsigned elapsed_s;
    size_t width;  // length of the text last drawn
};

progress_s g_progress = {};

// Asked once: redirecting standard error in the middle of a run is not a case.
bool stderr_is_terminal() {
    static const bool tty = isatty(STDERR_FILENO) == 1;
    return tty;
}

int64_t monotonic_ns() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * k_ns_per_s + ts.tv_nsec;
}

// Straight to the descriptor: one write per redraw, so that nothing of the
// line waits in a stdio buffer.
void emit(const char *text, size_t len) {
    while (len > 0) {
        const ssize_t n = write(STDERR_FILENO, text, len);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        text += n;
        len -= static_cast<size_t>(n);
    }
}

// Back to the start of the line, the text, and blanks over what a longer
// previous text left behind.
void draw(const char *text) {
    char out[1 + 2 * k_line_len];
    const size_t len = strnlen(text, k_line_len - 1);
    size_t n = 0;
    out[n++] = '\r';
    memcpy(out + n, text, len);
    n += len;
    for (size_t i = len; i < g_progress.width; ++i) {
        out[n++] = ' ';
    }
    g_progress.width = len;
    emit(out, n);
}

unsigned percent_of(uint64_t done, uint64_t total) {
    if (total == 0 || done >= total) {
        return 100;
    }
    const auto percent = static_cast<unsigned>(static_cast<double>(done) * 100.0 / static_cast<double>(total));
    return percent > 99 ? 99 : percent;  // 100 only once the last byte is through
}

void draw_pass(int64_t now_ns) {
    char text[k_line_len];
    const int n =
        snprintf(text, sizeof(text), "%-6s %3u%% %llu/%llu bytes", g_progress.name,
                 percent_of(g_progress.done, g_progress.total), static_cast<unsigned long long>(g_progress.done),
                 static_cast<unsigned long long>(g_progress.total));
    const int64_t elapsed_ns = now_ns - g_progress.start_ns;
    if (n > 0 && static_cast<size_t>(n) < sizeof(text) && g_progress.done > 0 && elapsed_ns > 0) {
        const double rate = static_cast<double>(g_progress.done) * k_ns_per_s / static_cast<double>(elapsed_ns);
        const bool mib = rate >= k_mib;
        snprintf(text + n, sizeof(text) - static_cast<size_t>(n), " %.1f %s", rate / (mib ? k_mib : k_kib),
                 mib ? "MiB/s" : "KiB/s");
    }
    draw(text);
    g_progress.last_draw_ns = now_ns;
}

void draw_poll() {
    char text[k_line_len];
    snprintf(text, sizeof(text), "%s: %u s elapsed", g_progress.name, g_progress.elapsed_s);
    draw(text);
}

void set_name(const char *name) {
    snprintf(g_progress.name, sizeof(g_progress.name), "%s", name != nullptr ? name : "");
}

void progress_end() {
    if (g_progress.line == PROGRESS_NONE) {
        return;
    }
    if (g_progress.line == PROGRESS_PASS) {
        draw_pass(monotonic_ns());
    }
    emit("\n", 1);
    g_progress.line = PROGRESS_NONE;
    g_progress.width = 0;
}

void progress_begin(const char *kind, uint64_t total) {
    if (!stderr_is_terminal()) {
        return;
    }
    progress_end();
    g_progress.line = PROGRESS_PASS;
    set_name(kind);
    g_progress.total = total;
    g_progress.done = 0;
    g_progress.start_ns = monotonic_ns();
    draw_pass(g_progress.start_ns);
}

void progress_update(uint64_t done) {
    // Without a terminal no pass line is ever open: this is all it costs.
    if (g_progress.line != PROGRESS_PASS) {
        return;
    }
    g_progress.done = done;
    const int64_t now = monotonic_ns();
    if (now - g_progress.last_draw_ns >= k_redraw_interval_ns) {
        draw_pass(now);
    }
}

void progress_poll(const char *label, unsigned elapsed_s) {
    if (!stderr_is_terminal()) {
        return;
    }
    const char *name = label != nullptr ? label : "";
    const bool same_line = g_progress.line == PROGRESS_POLL && strncmp(g_progress.name, name, k_name_len - 1) == 0;
    if (same_line && g_progress.elapsed_s == elapsed_s) {
        return;
    }
    if (!same_line) {
        progress_end();
        g_progress.line = PROGRESS_POLL;
        set_name(name);
    }
    g_progress.elapsed_s = elapsed_s;
    draw_poll();
}

}  // namespace

void cli_terminal_progress(void *, const rfc_progress_s &p) {
    switch (p.kind) {
        case RFC_PROGRESS_BEGIN:
            progress_begin(p.phase, p.total);
            break;
        case RFC_PROGRESS_UPDATE:
            progress_update(p.done);
            break;
        case RFC_PROGRESS_POLL:
            progress_poll(p.phase, p.elapsed_s);
            break;
        case RFC_PROGRESS_END:
            progress_end();
            break;
    }
}

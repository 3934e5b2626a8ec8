// SPDX-License-Identifier: Apache-2.0
// An install streams thousands of 960-byte chunks a second, so a pass line is
// redrawn at its style's rate at most; without a style nothing is done beyond
// one comparison per chunk.
#include "fe_progress.h"

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "fe_io.h"

namespace {

constexpr double k_ns_per_s = 1e9;
constexpr size_t k_line_len = 127;  // of a bar line's text
constexpr size_t k_name_len = 31;   // of a phase name shown
constexpr double k_kib = 1024.0;
constexpr double k_mib = 1024.0 * 1024.0;

int64_t now_ns(const fe_progress_s &p) {
    return p.clock_ns != nullptr ? p.clock_ns() : fe_monotonic_ns();
}

template <typename... A>
void append(std::string &text, const char *format, A... args) {
    char part[k_line_len + 1];
    const int n = snprintf(part, sizeof(part), format, args...);
    if (n > 0) text.append(part, std::min(static_cast<size_t>(n), k_line_len));
}

unsigned percent_of(uint64_t done, uint64_t total) {
    if (total == 0 || done >= total) return 100;
    const auto percent = static_cast<unsigned>(static_cast<double>(done) * 100.0 / static_cast<double>(total));
    return percent > 99 ? 99 : percent;  // 100 only once the last byte is through
}

void append_seconds(std::string &text, const fe_progress_style_s &s, double seconds) {
    append(text, "%*.*f s", static_cast<int>(s.seconds_width), static_cast<int>(s.seconds_decimals), seconds);
}

std::string pass_text(const fe_progress_s &p, int64_t now) {
    const fe_progress_style_s &s = *p.style;
    const fe_progress_line_s &l = p.line;
    std::string text = p.card.empty() ? "" : p.card + " ";
    append(text, "%-*s", static_cast<int>(s.pass_name_width), l.name.c_str());
    if (s.bar_width > 0) {
        const auto filled = l.total > 0
                                ? static_cast<unsigned>(s.bar_width * static_cast<double>(std::min(l.done, l.total)) /
                                                        static_cast<double>(l.total))
                                : 0;
        text += " [" + std::string(filled, '#') + std::string(s.bar_width - filled, '.') + "]";
    }
    append(text, " %3u%%", percent_of(l.done, l.total));
    if (s.bytes) {
        append(text, " %llu/%llu bytes", static_cast<unsigned long long>(l.done),
               static_cast<unsigned long long>(l.total));
        const int64_t elapsed_ns = now - l.start_ns;
        if (l.done > 0 && elapsed_ns > 0) {
            const double rate = static_cast<double>(l.done) * k_ns_per_s / static_cast<double>(elapsed_ns);
            const bool mib = rate >= k_mib;
            append(text, " %.1f %s", rate / (mib ? k_mib : k_kib), mib ? "MiB/s" : "KiB/s");
        }
    }
    if (s.pass_seconds) {
        text += ' ';
        append_seconds(text, s, l.seconds);
    }
    return text.substr(0, k_line_len);
}

std::string poll_text(const fe_progress_s &p) {
    const fe_progress_style_s &s = *p.style;
    std::string text = p.card.empty() ? "" : p.card + " ";
    append(text, "%-*s", static_cast<int>(s.poll_name_width), p.line.name.c_str());
    text += s.poll_words;
    append_seconds(text, s, p.line.seconds);
    text += s.poll_tail;
    return text.substr(0, k_line_len);
}

std::string json_text(const fe_progress_s &p) {
    const fe_progress_line_s &l = p.line;
    const bool pass = l.kind == FE_LINE_PASS;
    nlohmann::ordered_json line;
    if (!p.card.empty()) line["card"] = p.card;
    line["phase"] = l.name;
    line["done"] = pass ? l.done : 0;
    line["total"] = pass ? l.total : 0;
    line["elapsed"] = l.seconds;
    return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// What the line shows now, in the style's mode.
std::string line_text(const fe_progress_s &p, int64_t now) {
    if (p.style->mode == FE_PROGRESS_JSON) return json_text(p);
    return p.line.kind == FE_LINE_PASS ? pass_text(p, now) : poll_text(p);
}

void write_out(fe_progress_s &p, const std::string &bytes) {
    if (fe_write_all(p.fd, bytes) || p.reader_gone == nullptr) return;
    p.style = nullptr;
    p.reader_gone();
}

// What the descriptor's line shows: this line's last drawing, or another
// card's since.
const std::string &shown(const fe_progress_s &p) {
    return p.screen != nullptr ? *p.screen : p.line.drawn;
}

// A bar goes back to the start of the line and blanks what a longer earlier
// text left; a JSON line is a line of its own. One write for each, so that
// nothing of a drawing waits in a buffer.
void draw(fe_progress_s &p, const std::string &text, int64_t now, bool finish) {
    std::string out;
    if (p.style->mode == FE_PROGRESS_JSON) {
        out = text + "\n";
    } else {
        out = "\r" + text;
        if (text.size() < shown(p).size()) out.append(shown(p).size() - text.size(), ' ');
        if (finish) out += '\n';
    }
    p.line.drawn = text;
    if (p.screen != nullptr) *p.screen = finish || p.style->mode == FE_PROGRESS_JSON ? "" : text;
    p.line.last_draw_ns = now;
    write_out(p, out);
}

void take_seconds(fe_progress_s &p) {
    if (p.seconds != nullptr) p.line.seconds = p.seconds();
}

// A pass line is drawn a last time with its final count; a poll line only
// when it changed since (a JSON poll always closes with a line).
void end(fe_progress_s &p) {
    if (p.line.kind == FE_LINE_NONE) return;
    take_seconds(p);
    const int64_t now = now_ns(p);
    const std::string text = line_text(p, now);
    const bool json = p.style->mode == FE_PROGRESS_JSON;
    if (p.line.kind == FE_LINE_PASS || json || text != shown(p)) {
        draw(p, text, now, true);
    } else {
        write_out(p, "\n");
        if (p.screen != nullptr) p.screen->clear();
    }
    p.line = fe_progress_line_s{};
}

std::string shown_name(const char *name) {
    return std::string(name != nullptr ? name : "").substr(0, k_name_len);
}

void begin(fe_progress_s &p, const char *name, uint64_t total) {
    end(p);
    if (p.style == nullptr) return;
    p.line.kind = FE_LINE_PASS;
    p.line.name = shown_name(name);
    p.line.total = total;
    p.line.start_ns = now_ns(p);
    take_seconds(p);
    draw(p, line_text(p, p.line.start_ns), p.line.start_ns, false);
}

void update(fe_progress_s &p, uint64_t done) {
    if (p.line.kind != FE_LINE_PASS) return;
    p.line.done = done;
    const int64_t now = now_ns(p);
    if (now - p.line.last_draw_ns < p.style->pass_interval_ns) return;
    take_seconds(p);
    draw(p, line_text(p, now), now, false);
}

void poll(fe_progress_s &p, const char *label, unsigned elapsed_s) {
    const std::string name = shown_name(label);
    const bool first = p.line.kind != FE_LINE_POLL || p.line.name != name;
    if (first) {
        end(p);
        if (p.style == nullptr) return;
        p.line.kind = FE_LINE_POLL;
        p.line.name = name;
    }
    p.line.seconds = elapsed_s;
    take_seconds(p);
    const int64_t now = now_ns(p);
    const std::string text = line_text(p, now);
    if (!first && (text == shown(p) || now - p.line.last_draw_ns < p.style->poll_interval_ns)) return;
    draw(p, text, now, false);
}

}  // namespace

void fe_progress_report(fe_progress_s &progress, const rfc_progress_s &event) {
    if (progress.style == nullptr) return;
    switch (event.kind) {
        case RFC_PROGRESS_BEGIN:
            begin(progress, event.phase, event.total);
            break;
        case RFC_PROGRESS_UPDATE:
            update(progress, event.done);
            break;
        case RFC_PROGRESS_POLL:
            poll(progress, event.phase, event.elapsed_s);
            break;
        case RFC_PROGRESS_END:
            end(progress);
            break;
    }
}

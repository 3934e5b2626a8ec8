// SPDX-License-Identifier: Apache-2.0
// Progress of the client's long operations (install passes, erase and
// verification polls) on a descriptor, for both programs: one line redrawn
// in place for a person at a terminal, or one JSON object per line for a
// program that drives the tool. A program picks a style (its widths, words
// and redraw rates); the drawing is the same for all.
#pragma once

#include <cstdint>
#include <string>

#include "rfc_reads.h"

enum fe_progress_mode_e { FE_PROGRESS_BAR, FE_PROGRESS_JSON };

// A pass line and a poll line as a bar draws them:
//   <name>[ [<bar_width of # and .>]] <percent, 3 wide>%[ <done>/<total> bytes[ <rate> KiB/s|MiB/s]][ <seconds> s]
//   <name><poll_words><seconds> s<poll_tail>
// The name is padded to its width; the seconds are printed "%*.*f" with
// seconds_width and seconds_decimals. A JSON line is
//   {"phase":<name>,"done":<bytes>,"total":<bytes>,"elapsed":<seconds>}
// with done and total 0 for a poll. A progress that names its card (several
// cards at once) leads a bar's text with the card and a space, and a JSON
// line with {"card":<card>,...}.
struct fe_progress_style_s {
    fe_progress_mode_e mode;
    unsigned pass_name_width;
    unsigned bar_width;  // 0: no bar
    bool bytes;          // the byte counts, and the rate once bytes went through
    bool pass_seconds;   // the phase's seconds at the end of a pass line
    unsigned poll_name_width;
    const char *poll_words;
    const char *poll_tail;
    unsigned seconds_width;
    unsigned seconds_decimals;
    // A pass line is drawn again at most this often; a poll line likewise,
    // and only when what it shows changed. The first and the last drawing of
    // a line are never held back.
    int64_t pass_interval_ns;
    int64_t poll_interval_ns;
};

inline constexpr int64_t FE_MS = 1'000'000;

// flash-update on a terminal: "write   42% 403200/960000 bytes 1.3 MiB/s",
// "erase: 20 s elapsed".
inline constexpr fe_progress_style_s FE_STYLE_FLASH_UPDATE = {FE_PROGRESS_BAR, 6, 0, true,        false, 0, ": ",
                                                              " elapsed",      0, 0, 100 * FE_MS, 0};
// flashctl's bar: "install          [#########.....................]  30%   12.5 s",
// "erase            waiting on the card   20.0 s".
inline constexpr fe_progress_style_s FE_STYLE_FLASHCTL_BAR = {
    FE_PROGRESS_BAR, 16, 30, false, true, 16, " waiting on the card ", "", 6, 1, 100 * FE_MS, 100 * FE_MS};
// flashctl --progress=json.
inline constexpr fe_progress_style_s FE_STYLE_FLASHCTL_JSON = {FE_PROGRESS_JSON, 0, 0, false, false, 0, "", "", 0, 0,
                                                               500 * FE_MS,      0};

enum fe_progress_line_e { FE_LINE_NONE, FE_LINE_PASS, FE_LINE_POLL };

// The line being drawn.
struct fe_progress_line_s {
    fe_progress_line_e kind = FE_LINE_NONE;  // without its line break yet
    std::string name;
    uint64_t total = 0;
    uint64_t done = 0;
    double seconds = 0;
    int64_t start_ns = 0;
    int64_t last_draw_ns = 0;
    std::string drawn;  // the text last drawn
};

struct fe_progress_s {
    const fe_progress_style_s *style = nullptr;  // null: nothing is drawn
    int fd = 2;
    // The phase's seconds as the program counts them; null: a poll's own
    // elapsed_s.
    double (*seconds)() = nullptr;
    // A failed write means the reader went away: drawing stops and this is
    // called. Null: a failed write is let go and drawing goes on.
    void (*reader_gone)() = nullptr;
    int64_t (*clock_ns)() = nullptr;  // null: fe_monotonic_ns
    std::string card;                 // "": the lines name no card
    // The text the descriptor's current line shows, when several progresses
    // draw on one descriptor (one per card, each drawing under the caller's
    // lock): a bar then blanks what another card's longer text left. Null:
    // this progress alone draws there.
    std::string *screen = nullptr;
    fe_progress_line_s line;
};

// Draws one event of the client (rfc_set_progress_cb). Without a style this
// is one comparison, as cheap as the thousands of chunks of an install need.
void fe_progress_report(fe_progress_s &progress, const rfc_progress_s &event);

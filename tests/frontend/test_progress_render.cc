// SPDX-License-Identifier: Apache-2.0
// The progress renderer on a scripted clock: the exact bytes each style
// writes and what its rate limits hold back.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fe_progress.h"

namespace {

struct event_s {
    int64_t at_ms;
    rfc_progress_kind_e kind;
    const char *phase;
    uint64_t bytes;   // BEGIN: the total; UPDATE: done
    double seconds;   // the program's phase seconds then, or a poll's elapsed_s
    size_t card = 0;  // whose progress, of two cards drawing on one descriptor
};

int64_t g_now_ns = 0;
double g_seconds = 0;

struct render_case_s {
    const char *name;
    const fe_progress_style_s *style;
    bool program_seconds;  // flashctl counts the phase's seconds itself
    std::vector<event_s> events;
    std::string bytes;
    bool two_cards = false;  // two progresses name their cards and share the line
};

const std::string k_install = "\rinstall          [";

const render_case_s k_cases[] = {
    // An update within 100 ms of the last drawing is held back; the end draws
    // the count reached, not the total. A poll is redrawn when it changed and
    // 100 ms passed; at its end an unchanged line only gets its line break.
    {"FlashctlBar",
     &FE_STYLE_FLASHCTL_BAR,
     true,
     {{0, RFC_PROGRESS_BEGIN, "install", 1000, 0.0},
      {50, RFC_PROGRESS_UPDATE, "", 100, 0.05},
      {120, RFC_PROGRESS_UPDATE, "", 300, 0.12},
      {200, RFC_PROGRESS_END, "", 0, 0.2},
      {300, RFC_PROGRESS_POLL, "erase", 0, 0.0},
      {350, RFC_PROGRESS_POLL, "erase", 0, 10.0},
      {450, RFC_PROGRESS_POLL, "erase", 0, 10.0},
      {600, RFC_PROGRESS_POLL, "erase", 0, 10.0},
      {610, RFC_PROGRESS_END, "", 0, 10.0}},
     k_install + std::string(30, '.') + "]   0%    0.0 s" + k_install + std::string(9, '#') + std::string(21, '.') +
         "]  30%    0.1 s" + k_install + std::string(9, '#') + std::string(21, '.') + "]  30%    0.2 s\n" +
         "\rerase            waiting on the card    0.0 s\rerase            waiting on the card   10.0 s\n"},
    // Updates at most every 500 ms, every change of a poll, a closing line
    // for each phase, nothing for an end without one.
    {"FlashctlJson",
     &FE_STYLE_FLASHCTL_JSON,
     true,
     {{0, RFC_PROGRESS_END, "", 0, 0.0},
      {0, RFC_PROGRESS_BEGIN, "install", 2000, 1.5},
      {100, RFC_PROGRESS_UPDATE, "", 960, 1.6},
      {600, RFC_PROGRESS_UPDATE, "", 1920, 2.0},
      {700, RFC_PROGRESS_END, "", 0, 2.25},
      {800, RFC_PROGRESS_POLL, "checksum", 0, 0.5},
      {810, RFC_PROGRESS_POLL, "checksum", 0, 0.5},
      {820, RFC_PROGRESS_POLL, "checksum", 0, 2.5},
      {830, RFC_PROGRESS_END, "", 0, 2.5}},
     "{\"phase\":\"install\",\"done\":0,\"total\":2000,\"elapsed\":1.5}\n"
     "{\"phase\":\"install\",\"done\":1920,\"total\":2000,\"elapsed\":2.0}\n"
     "{\"phase\":\"install\",\"done\":1920,\"total\":2000,\"elapsed\":2.25}\n"
     "{\"phase\":\"checksum\",\"done\":0,\"total\":0,\"elapsed\":0.5}\n"
     "{\"phase\":\"checksum\",\"done\":0,\"total\":0,\"elapsed\":2.5}\n"
     "{\"phase\":\"checksum\",\"done\":0,\"total\":0,\"elapsed\":2.5}\n"},
    // A rate one digit shorter leaves no digit of the longer text behind; a
    // poll of another name ends the open line first.
    {"FlashUpdate",
     &FE_STYLE_FLASH_UPDATE,
     false,
     {{0, RFC_PROGRESS_BEGIN, "write", 100000, 0},
      {2000, RFC_PROGRESS_UPDATE, "", 20480, 0},
      {3200, RFC_PROGRESS_UPDATE, "", 30000, 0},
      {3200, RFC_PROGRESS_POLL, "verify checksum", 0, 0},
      {3300, RFC_PROGRESS_POLL, "verify checksum", 0, 0},
      {3400, RFC_PROGRESS_POLL, "verify checksum", 0, 2},
      {3500, RFC_PROGRESS_END, "", 0, 0}},
     "\rwrite    0% 0/100000 bytes\rwrite   20% 20480/100000 bytes 10.0 KiB/s"
     "\rwrite   30% 30000/100000 bytes 9.2 KiB/s \rwrite   30% 30000/100000 bytes 9.2 KiB/s\n"
     "\rverify checksum: 0 s elapsed\rverify checksum: 2 s elapsed\n"},
    // Two cards at once: each line leads with its card; a bar blanks what the
    // other card's longer text left on the line, and redraws a poll the
    // other card's drawing covered.
    {"FlashctlBarTwoCards",
     &FE_STYLE_FLASHCTL_BAR,
     true,
     {{0, RFC_PROGRESS_BEGIN, "install", 1000, 0.0, 0},
      {10, RFC_PROGRESS_POLL, "erase", 0, 1.0, 1},
      {200, RFC_PROGRESS_POLL, "erase", 0, 1.0, 1},
      {300, RFC_PROGRESS_UPDATE, "", 500, 0.3, 0},
      {400, RFC_PROGRESS_POLL, "erase", 0, 1.0, 1},
      {500, RFC_PROGRESS_END, "", 0, 0.5, 0},
      {600, RFC_PROGRESS_END, "", 0, 1.0, 1}},
     "\r0000:03:00.0 install          [" + std::string(30, '.') + "]   0%    0.0 s" +
         "\r0000:04:00.0 erase            waiting on the card    1.0 s" + std::string(18, ' ') +
         "\r0000:03:00.0 install          [" + std::string(15, '#') + std::string(15, '.') + "]  50%    0.3 s" +
         "\r0000:04:00.0 erase            waiting on the card    1.0 s" + std::string(18, ' ') +
         "\r0000:03:00.0 install          [" + std::string(15, '#') + std::string(15, '.') + "]  50%    0.5 s\n" +
         "\r0000:04:00.0 erase            waiting on the card    1.0 s\n",
     true},
    {"FlashctlJsonTwoCards",
     &FE_STYLE_FLASHCTL_JSON,
     true,
     {{0, RFC_PROGRESS_BEGIN, "install", 1000, 0.0, 0},
      {10, RFC_PROGRESS_POLL, "erase", 0, 1.0, 1},
      {500, RFC_PROGRESS_END, "", 0, 0.5, 0}},
     "{\"card\":\"0000:03:00.0\",\"phase\":\"install\",\"done\":0,\"total\":1000,\"elapsed\":0.0}\n"
     "{\"card\":\"0000:04:00.0\",\"phase\":\"erase\",\"done\":0,\"total\":0,\"elapsed\":1.0}\n"
     "{\"card\":\"0000:03:00.0\",\"phase\":\"install\",\"done\":0,\"total\":1000,\"elapsed\":0.5}\n",
     true},
};

void PrintTo(const render_case_s &c, std::ostream *os) {
    *os << c.name;
}

class Render : public testing::TestWithParam<render_case_s> {};

TEST_P(Render, WritesExactlyTheseBytes) {
    const render_case_s &c = GetParam();
    const int fd = memfd_create("progress", MFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    fe_progress_s progress[2];
    std::string screen;
    for (size_t i = 0; i < 2; ++i) {
        fe_progress_s &p = progress[i];
        p.style = c.style;
        p.fd = fd;
        p.clock_ns = [] { return g_now_ns; };
        if (c.program_seconds) p.seconds = [] { return g_seconds; };
        if (!c.two_cards) continue;
        p.card = i == 0 ? "0000:03:00.0" : "0000:04:00.0";
        p.screen = &screen;
    }
    for (const event_s &e : c.events) {
        fe_progress_s &p = progress[e.card];
        g_now_ns = e.at_ms * FE_MS;
        g_seconds = e.seconds;
        const rfc_progress_s r = {e.kind, e.phase, e.kind == RFC_PROGRESS_UPDATE ? e.bytes : 0,
                                  e.kind == RFC_PROGRESS_BEGIN ? e.bytes : 0, static_cast<unsigned>(e.seconds)};
        fe_progress_report(p, r);
    }
    std::string out(static_cast<size_t>(lseek(fd, 0, SEEK_CUR)), '\0');
    EXPECT_EQ(pread(fd, out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
    close(fd);
    EXPECT_EQ(out, c.bytes);
}

INSTANTIATE_TEST_SUITE_P(Progress, Render, testing::ValuesIn(k_cases),
                         [](const testing::TestParamInfo<render_case_s> &i) { return std::string(i.param.name); });

}  // namespace

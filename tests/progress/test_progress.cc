// SPDX-License-Identifier: Apache-2.0
// Progress of installs and polls on standard error: the real flash-update
// binary against the virtual card, each command run once with standard error
// a pipe and once with a terminal. The terminal gets the progress line; the
// pipe gets nothing; standard output, the logs, the output files and what the
// card saw are the same both ways.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "test_support.h"

namespace {

using Strings = std::vector<std::string>;

using test_support::image_bytes;

std::string sha512sum_of(const std::string &path) {
    const std::string cmd = "sha512sum '" + path + "'";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) return "";
    char buf[256] = {};
    const bool ok = fgets(buf, sizeof(buf), p) != nullptr;
    pclose(p);
    return ok ? std::string(buf).substr(0, 128) : "";
}

// Length of the client's "[YYYY-MM-DD HH:MM:SS.us] " at pos, 0 when there is none.
size_t stamp_at(const std::string &text, size_t pos) {
    static const char shape[] = "[dddd-dd-dd dd:dd:dd.";
    const size_t start = pos;
    for (size_t i = 0; shape[i] != '\0'; ++i, ++pos) {
        if (pos >= text.size()) return 0;
        const bool digit = std::isdigit(static_cast<unsigned char>(text[pos])) != 0;
        if (shape[i] == 'd' ? !digit : text[pos] != shape[i]) return 0;
    }
    const size_t micro = pos;
    while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])) != 0)
        ++pos;
    if (pos == micro || text.compare(pos, 2, "] ") != 0) return 0;
    return pos + 2 - start;
}

// That timestamp at the start of a line is the only part of the client's
// output that differs from run to run.
std::string mask_timestamps(const std::string &text) {
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        if (const size_t len = stamp_at(text, pos); len > 0) {
            out += "[time] ";
            pos += len;
        }
        const size_t nl = text.find('\n', pos);
        const size_t end = nl == std::string::npos ? text.size() : nl + 1;
        out.append(text, pos, end - pos);
        pos = end;
    }
    return out;
}

// Message part of log records ("%L [...] (%t) %v"), timestamps masked.
Strings messages(const Strings &lines) {
    Strings out;
    for (const std::string &line : lines) {
        const size_t close = line.find("] (");
        if (close == std::string::npos) continue;
        const size_t end = line.find(") ", close + 3);
        if (end == std::string::npos) continue;
        out.push_back(line.substr(0, 2) + mask_timestamps(line.substr(end + 2)));
    }
    return out;
}

Strings tail_from(const Strings &all, size_t from) {
    return from >= all.size() ? Strings{} : Strings(all.begin() + static_cast<long>(from), all.end());
}

bool is_log(const std::string &name) {
    return name.rfind("flash-update", 0) == 0 && name.find(".log") != std::string::npos;
}

// Every file in the card's scratch directory but the logs.
std::map<std::string, std::string> output_files(const e2e_card_s &card) {
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(card.scratch_dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (!entry.is_regular_file() || is_log(name)) continue;
        std::string text;
        e2e_read_file(entry.path().string(), text);
        files[name] = text;
    }
    return files;
}

void remove_output_files(const e2e_card_s &card) {
    for (const auto &[name, text] : output_files(card))
        std::filesystem::remove(card.scratch_dir + name);
}

// Standard error without the note a leak-checking launcher prints about the
// suppressions it used (the card's crypto library keeps some memory for good).
std::string without_suppression_note(const std::string &err) {
    const std::string rule = "-----------------------------------------------------\n";
    const size_t note = err.find(rule + "Suppressions used:\n");
    if (note == std::string::npos) return err;
    const size_t end = err.find(rule, note + rule.size());
    if (end == std::string::npos) return err;
    size_t after = end + rule.size();
    while (after < err.size() && err[after] == '\n')
        after++;
    return err.substr(0, note) + err.substr(after);
}

// Everything one run left behind.
struct observed_run_s {
    e2e_result_s result;
    Strings log;
    Strings err_log;
    std::map<std::string, std::string> files;
    Strings requests;
    std::vector<unsigned> sleeps;
};

observed_run_s observe(const e2e_card_s &card, const Strings &args, const e2e_options_s &options) {
    const size_t log_from = e2e_log_lines(card).size();
    const size_t err_log_from = e2e_err_log_lines(card).size();
    e2e_clear_records(card);
    remove_output_files(card);
    observed_run_s run;
    run.result = e2e_run(card, args, options);
    run.result.err = without_suppression_note(run.result.err);
    run.log = messages(tail_from(e2e_log_lines(card), log_from));
    run.err_log = messages(tail_from(e2e_err_log_lines(card), err_log_from));
    run.files = output_files(card);
    for (const e2e_request_s &r : e2e_requests(card))
        run.requests.push_back(std::to_string(r.endpoint) + " " + std::to_string(r.msg) + " " + e2e_hex(r.bytes));
    run.sleeps = e2e_sleeps(card);
    return run;
}

// Control characters spelled out, for failure messages.
std::string visible(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

Strings split(const std::string &text, char sep) {
    Strings parts;
    size_t pos = 0;
    for (;;) {
        const size_t at = text.find(sep, pos);
        parts.push_back(text.substr(pos, at == std::string::npos ? std::string::npos : at - pos));
        if (at == std::string::npos) return parts;
        pos = at + 1;
    }
}

bool all_digits(const std::string &text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// One drawing of a pass line:
// "<kind, 6 wide> <percent, 3 wide>% <done>/<total> bytes[ <r.r> KiB/s|MiB/s]<blanks>".
struct pass_draw_s {
    bool ok = false;
    unsigned percent = 0;
    uint64_t done = 0;
    bool rated = false;
};

pass_draw_s parse_pass_draw(std::string draw, const std::string &kind, uint64_t total) {
    pass_draw_s d;
    while (!draw.empty() && draw.back() == ' ')
        draw.pop_back();  // blanks over a longer earlier drawing
    std::string label = kind;
    label.resize(6, ' ');
    if (draw.size() < 12 || draw.compare(0, 7, label + " ") != 0 || draw.compare(10, 2, "% ") != 0) return d;
    std::string percent = draw.substr(7, 3);
    percent.erase(0, percent.find_first_not_of(' '));
    const Strings words = split(draw.substr(12), ' ');
    const Strings counts = words.empty() ? Strings{} : split(words[0], '/');
    if (!all_digits(percent) || counts.size() != 2 || !all_digits(counts[0]) || counts[1] != std::to_string(total) ||
        words.size() < 2 || words[1] != "bytes")
        return d;
    d.percent = static_cast<unsigned>(std::stoul(percent));
    d.done = std::stoull(counts[0]);
    if (words.size() == 4) {
        const Strings rate = split(words[2], '.');
        if (rate.size() != 2 || !all_digits(rate[0]) || rate[1].size() != 1 || !all_digits(rate[1]) ||
            (words[3] != "KiB/s" && words[3] != "MiB/s"))
            return d;
        d.rated = true;
    } else if (words.size() != 2) {
        return d;
    }
    d.ok = true;
    return d;
}

// One install pass as the terminal shows it: `stop` of `total` bytes went
// through before the pass ended.
struct pass_s {
    std::string kind;
    uint64_t total;
    uint64_t stop;
};

// Empty when the terminal got exactly the passes, each one line: first drawn
// at 0 % without a rate, redrawn any number of times with growing counts,
// last drawn at `stop` with its rate, and ended by a line break.
std::string check_passes(const std::string &terminal, const std::vector<pass_s> &passes) {
    Strings lines = split(terminal, '\n');
    if (lines.back() != "") return "the last line is not finished";
    lines.pop_back();
    if (lines.size() != passes.size()) return std::to_string(lines.size()) + " lines";
    for (size_t i = 0; i < passes.size(); ++i) {
        const pass_s &p = passes[i];
        const Strings draws = split(lines[i], '\r');
        std::string label = p.kind;
        label.resize(6, ' ');
        if (draws.size() < 3 || draws[0] != "") return "line " + std::to_string(i) + ": not redrawn in place";
        if (draws[1] != label + "   0% 0/" + std::to_string(p.total) + " bytes") return "first drawing " + draws[1];
        uint64_t done = 0;
        for (size_t k = 2; k < draws.size(); ++k) {
            const pass_draw_s d = parse_pass_draw(draws[k], p.kind, p.total);
            if (!d.ok || !d.rated || d.done < done || d.done > p.stop ||
                d.percent != (d.done == p.total ? 100 : d.done * 100 / p.total))
                return "drawing " + draws[k];
            done = d.done;
        }
        if (done != p.stop) return "last drawing " + draws.back();
    }
    return "";
}

std::string poll_text(const std::string &label, unsigned step, unsigned polls) {
    std::string out;
    for (unsigned i = 0; i <= polls; ++i)
        out += "\r" + label + ": " + std::to_string(i * step) + " s elapsed";
    return out + "\n";
}

struct progress_case_s {
    const char *name;
    const char *installed;  // partition the image is installed into before the runs, or nullptr
    size_t image_size;      // 0: no image
    Strings args;           // "IMAGE" and "DIGEST" stand for the image's path and SHA-512
    int erase_polls;
    int verify_polls;
    Strings faults;
    int status;
    std::vector<pass_s> passes;  // what the terminal shows, when the command streams an image
    std::string polls;           // otherwise all that reaches the terminal
};

const progress_case_s k_cases[] = {
    {"InstallWritePass", nullptr, 3000, {"--install", "fw-a", "IMAGE"}, -1, -1, {}, 0, {{"write", 3000, 3000}}, ""},
    {"CpldInstallWriteThenVerify",
     nullptr,
     112,
     {"--install", "cpld", "IMAGE"},
     -1,
     -1,
     {},
     0,
     {{"write", 112, 112}, {"verify", 112, 112}},
     ""},
    // The line ends where the card stopped answering, and still ends.
    {"InstallStoppedByTheCard",
     nullptr,
     3000,
     {"--install", "fw-a", "IMAGE"},
     -1,
     -1,
     {"write@2:no-answer"},
     1,
     {{"write", 3000, 960}},
     ""},
    {"CpldImageRefusedBeforeAnyPass", nullptr, 100, {"--install", "cpld", "IMAGE"}, -1, -1, {}, 1, {}, ""},
    {"ErasePolls", nullptr, 0, {"--erase", "fw-a", "0x100000"}, 2, -1, {}, 0, {}, poll_text("erase", 10, 2)},
    {"EraseDoneAtOnce", nullptr, 0, {"--erase", "fw-a", "0x100000"}, 0, -1, {}, 0, {}, ""},
    {"EraseFailsAfterPolls",
     nullptr,
     0,
     {"--erase", "fw-b", "4096"},
     1,
     -1,
     {"erase@2:status=5"},
     1,
     {},
     poll_text("erase", 10, 1)},
    {"ChecksumPolls",
     "dtb",
     4000,
     {"--verify-checksum", "dtb", "IMAGE", "DIGEST"},
     -1,
     2,
     {},
     0,
     {},
     poll_text("verify checksum", 2, 2)},
    {"ChecksumMismatchAfterPolls",
     "dtb",
     4000,
     {"--verify-checksum", "dtb", "IMAGE", "00"},
     -1,
     1,
     {},
     1,
     {},
     poll_text("verify checksum", 2, 1)},
    {"StartupImagePolls",
     "fw-a",
     2500,
     {"--verify-startup-image", "fw-a"},
     -1,
     2,
     {},
     0,
     {},
     poll_text("verify startup image", 2, 2)},
    {"CardInfoHasNoProgress", nullptr, 0, {"--get-card-info"}, -1, -1, {}, 0, {}, ""},
};

void PrintTo(const progress_case_s &c, std::ostream *os) {
    *os << c.name;
}

class ProgressOnTerminal : public testing::TestWithParam<progress_case_s> {};

TEST_P(ProgressOnTerminal, OnlyTheTerminalSeesIt) {
    const progress_case_s &c = GetParam();
    e2e_card_guard g;
    std::string image, digest;
    if (c.image_size > 0) {
        image = e2e_work_file(g.card, "img.bin", image_bytes(c.image_size, 7));
        digest = sha512sum_of(image);
        ASSERT_EQ(digest.size(), 128u);
    }
    if (c.installed != nullptr) {
        const e2e_result_s r = e2e_run(g.card, {"--install", c.installed, image});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    Strings args = c.args;
    for (std::string &a : args) {
        if (a == "IMAGE") a = image;
        if (a == "DIGEST") a = digest;
    }
    e2e_options_s options;
    options.erase_polls = c.erase_polls;
    options.verify_polls = c.verify_polls;
    options.faults = c.faults;

    const observed_run_s piped = observe(g.card, args, options);
    options.stderr_tty = true;
    const observed_run_s tty = observe(g.card, args, options);

    EXPECT_EQ(piped.result.status, c.status);
    EXPECT_EQ(tty.result.status, c.status);
    EXPECT_EQ(piped.result.err, "");
    if (c.passes.empty())
        EXPECT_EQ(visible(tty.result.err), visible(c.polls));
    else
        EXPECT_EQ(check_passes(tty.result.err, c.passes), "") << visible(tty.result.err);

    EXPECT_EQ(mask_timestamps(piped.result.out), mask_timestamps(tty.result.out));
    EXPECT_FALSE(piped.log.empty());
    EXPECT_EQ(piped.log, tty.log);
    EXPECT_EQ(piped.err_log, tty.err_log);
    EXPECT_EQ(piped.files, tty.files);
    EXPECT_EQ(piped.requests, tty.requests);
    EXPECT_EQ(piped.sleeps, tty.sleeps);
}

INSTANTIATE_TEST_SUITE_P(Commands, ProgressOnTerminal, testing::ValuesIn(k_cases),
                         [](const testing::TestParamInfo<progress_case_s> &info) { return info.param.name; });

// Thousands of chunks a second must not mean thousands of redraws: at most
// ten a second, besides the first line and the last.
TEST(ProgressOnTerminal, RedrawsAtMostTenTimesASecond) {
    e2e_card_guard g;
    const size_t size = 4u << 20;
    const std::string image = e2e_work_file(g.card, "big.bin", image_bytes(size, 3));
    e2e_options_s options;
    options.stderr_tty = true;
    const auto start = std::chrono::steady_clock::now();
    e2e_result_s r = e2e_run(g.card, {"--install", "fw-b", image}, options);
    r.err = without_suppression_note(r.err);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(r.status, 0) << r.err;
    const auto redraws = static_cast<double>(std::count(r.err.begin(), r.err.end(), '\r'));
    EXPECT_LE(redraws, 2 + 10 * seconds + 1) << seconds << " s";
    EXPECT_EQ(check_passes(r.err, {{"write", size, size}}), "");
}

}  // namespace

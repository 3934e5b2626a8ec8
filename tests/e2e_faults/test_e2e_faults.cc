// SPDX-License-Identifier: Apache-2.0
// Failure survival of the real flash-update binary: every way a command can
// fail, provoked through the virtual card's faults (or the host around the
// tool), checked for the exit status, the exact messages in the main and the
// error log and on standard output, and what the run left in the card's
// scratch directory.
//
// One row per failure: the command, the card's faults and options, and what
// must come out. The rows of one test run side by side, each with a card of
// its own, so the whole matrix takes a few seconds.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "e2e_harness.h"
#include "test_support.h"
#include "fwkeys_guard.h"
#include "fwupdate_msgs.h"

namespace {

// What stands last on the command line.
enum class address_e {
    card,     // the card's own BDF
    nowhere,  // a BDF with no card behind it; its logs go to a directory of its own
    not_bdf,  // a text that is no BDF; the logs are sent to the card's directory
};

// What happens around the run besides the card's faults.
enum class around_e {
    none,
    shrink_image,  // the image is emptied once its first chunk has reached the card
    no_shell,      // /bin/sh cannot be executed (a mount namespace of the tool's own)
};

// Texts in rows may hold {bdf}, {work} (the row's own directory), {scratch}
// (the client's prefix, "/tmp/korvex//<bdf>/") and {nowhere} (the address
// without a card). Expected messages may also hold {n} (a number) and {any}.
struct row_s {
    const char *name;
    std::vector<std::string> args;
    std::vector<std::string> faults;
    bool no_misc = false;
    int erase_polls = -1;
    int verify_polls = -1;
    address_e address = address_e::card;
    std::vector<std::string> env;
    std::vector<std::pair<std::string, size_t>> images;        // work files: name, size
    std::vector<std::string> blocked;                          // scratch names taken by a directory beforehand
    std::vector<std::pair<std::string, std::string>> present;  // scratch files from an earlier run, kept unchanged
    around_e around = around_e::none;
    int status = 0;
    std::vector<std::string> errors;  // every error record, in order
    std::vector<std::string> out;     // every line on standard output, in order (timestamp removed)
    std::vector<std::string> logged;  // records that must be there as well, any level
    std::vector<std::string> files;   // what the scratch directory holds besides the logs and present files
    std::vector<std::pair<std::string, size_t>> file_lines;  // scratch file and its line count
    int requests = -1;                                       // requests the card saw; -1: not counted
};

const char *const k_main_log = "flash-update.log";
const char *const k_err_log = "flash-update-err.log";
const char *const k_eio = "Input/output error";
const char *const k_emsgsize = "Message too long";

struct vars_s {
    std::string bdf, work, scratch, nowhere;
};

std::string substitute(const std::string &text, const vars_s &v) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '{') {
            const size_t end = text.find('}', i);
            const std::string name = end == std::string::npos ? "" : text.substr(i + 1, end - i - 1);
            const std::string *value = name == "bdf"       ? &v.bdf
                                       : name == "work"    ? &v.work
                                       : name == "scratch" ? &v.scratch
                                       : name == "nowhere" ? &v.nowhere
                                                           : nullptr;
            if (value != nullptr) {
                out += *value;
                i = end;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

// Whether text[ti..] matches pattern[pi..]: literal text except {n} (a
// number, optionally negative) and {any} (any text).
bool wild_match(const std::string &text, size_t ti, const std::string &pattern, size_t pi) {
    if (pi == pattern.size()) return ti == text.size();
    if (pattern.compare(pi, 5, "{any}") == 0) {
        for (size_t end = text.size() + 1; end-- > ti;)
            if (wild_match(text, end, pattern, pi + 5)) return true;
        return false;
    }
    if (pattern.compare(pi, 3, "{n}") == 0) {
        size_t digits = ti < text.size() && text[ti] == '-' ? ti + 1 : ti;
        size_t end = digits;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9')
            end++;
        for (; end > digits; end--)
            if (wild_match(text, end, pattern, pi + 3)) return true;
        return false;
    }
    return ti < text.size() && text[ti] == pattern[pi] && wild_match(text, ti + 1, pattern, pi + 1);
}

bool matches(const std::string &text, const std::string &pattern, const vars_s &v) {
    return wild_match(text, 0, substitute(pattern, v), 0);
}

std::string shell_quote(const std::string &s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

using test_support::split_lines;

// The text after the leading "[timestamp] " or "[function:line] ".
std::string without_prefix(const std::string &text) {
    const size_t end = text.find("] ");
    return !text.empty() && text[0] == '[' && end != std::string::npos ? text.substr(end + 2) : text;
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

struct record_s {
    char level;
    std::string text;  // prefix removed; a message with line ends keeps them
};

// Records of a log file "L [boot date time] (thread) message"; lines of
// another shape continue the record before them (a message that ends in a
// line end leaves one empty line); the banner before the first record is
// left out.
std::vector<record_s> read_log(const std::string &path) {
    std::vector<record_s> records;
    std::string text;
    if (!e2e_read_file(path, text)) return records;
    for (const std::string &line : split_lines(text)) {
        // "L [" ... "] (" digits ") " message
        const size_t close = line.find("] (");
        const size_t end = close == std::string::npos ? close : line.find(") ", close + 3);
        const bool head = line.size() > 3 && std::string("TDIWEC").find(line[0]) != std::string::npos &&
                          line.compare(1, 2, " [") == 0 && end != std::string::npos &&
                          line.find_first_not_of("0123456789", close + 3) == end && end > close + 3;
        if (head) {
            records.push_back({line[0], without_prefix(line.substr(end + 2))});
        } else if (!records.empty()) {
            records.back().text += "\n" + line;
        }
    }
    return records;
}

std::vector<std::string> list_dir(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return names;
    while (const dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::string joined(const std::vector<std::string> &lines) {
    std::string all;
    for (const std::string &l : lines)
        all += "  [" + l + "]\n";
    return all.empty() ? "  (none)\n" : all;
}

std::vector<uint8_t> image_bytes(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; i++)
        bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    return bytes;
}

struct run_s {
    const row_s *row = nullptr;
    e2e_card_s card;
    e2e_card_s nowhere;  // claimed only for rows whose address has no card
    vars_s vars;
    e2e_result_s result;
};

// Empties the image once the card has recorded the first write request; the
// card holds that answer back (a delay fault), so the tool reads on only
// after the file shrank.
void shrink_after_first_chunk(const run_s &run, const std::string &image, const std::atomic<bool> &done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    const auto is_write = [](const e2e_request_s &r) { return r.msg == FWUPDATE_MSG_FLASH_WRITE; };
    while (!done && std::chrono::steady_clock::now() < deadline) {
        const std::vector<e2e_request_s> requests = e2e_requests(run.card);
        if (std::any_of(requests.begin(), requests.end(), is_write)) {
            truncate(image.c_str(), 0);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

const char *const k_unshare = "/usr/bin/unshare";

// Runs the tool in a mount namespace of its own where /bin/sh cannot be
// executed, so that starting grep through the shell fails.
e2e_result_s run_without_shell(const run_s &run, const std::vector<std::string> &argv, const e2e_options_s &o) {
    std::string script = "mount --bind /dev/null /bin/sh || exit 125; exec " + shell_quote(e2e_tool_path());
    for (const std::string &a : argv)
        script += " " + shell_quote(a);
    return e2e_run_command(run.card, {k_unshare, "-m", "--propagation", "private", "/bin/sh", "-c", script}, o);
}

// Whether this host lets a test hide /bin/sh in a mount namespace.
bool shell_can_be_hidden() {
    if (access(k_unshare, X_OK) != 0) return false;
    const std::string probe = std::string(k_unshare) +
                              " -m --propagation private /bin/sh -c 'mount --bind /dev/null /bin/sh' >/dev/null 2>&1";
    return std::system(probe.c_str()) == 0;
}

void execute(run_s &run) {
    const row_s &row = *run.row;
    const vars_s &v = run.vars;
    e2e_options_s o;
    o.faults = row.faults;
    o.no_misc = row.no_misc;
    o.erase_polls = row.erase_polls;
    o.verify_polls = row.verify_polls;
    for (const std::string &e : row.env)
        o.env.push_back(substitute(e, v));
    if (row.address == address_e::not_bdf) {
        o.env.push_back("NON_PERSISTENT_LOG_DIR=" + run.card.scratch_dir);
        o.env.push_back("PERSISTENT_LOG_DIR=" + run.card.scratch_dir);
    }
    for (const auto &[name, size] : row.images)
        e2e_work_file(run.card, name, image_bytes(size));
    for (const std::string &name : row.blocked)
        mkdir((run.card.scratch_dir + name).c_str(), 0755);
    for (const auto &[name, text] : row.present) {
        FILE *f = std::fopen((run.card.scratch_dir + name).c_str(), "w");
        if (f != nullptr) {
            std::fputs(text.c_str(), f);
            std::fclose(f);
        }
    }

    std::vector<std::string> argv;
    for (const std::string &a : row.args)
        argv.push_back(substitute(a, v));
    switch (row.address) {
        case address_e::card:
            argv.push_back(run.card.bdf);
            break;
        case address_e::nowhere:
            argv.push_back(run.nowhere.bdf);
            break;
        case address_e::not_bdf:
            argv.push_back(run.card.bdf.substr(0, 11) + "8");  // function 8 does not exist
            break;
    }

    switch (row.around) {
        case around_e::none:
            run.result = e2e_run_argv(run.card, argv, o);
            break;
        case around_e::no_shell:
            run.result = run_without_shell(run, argv, o);
            break;
        case around_e::shrink_image: {
            std::atomic<bool> done{false};
            const std::string image = run.card.work_dir + "/" + row.images.at(0).first;
            std::thread watcher(shrink_after_first_chunk, std::cref(run), image, std::cref(done));
            run.result = e2e_run_argv(run.card, argv, o);
            done = true;
            watcher.join();
            break;
        }
    }
}

void check(const run_s &run) {
    const row_s &row = *run.row;
    const vars_s &v = run.vars;
    const e2e_result_s &r = run.result;
    SCOPED_TRACE(row.name);
    const std::string output = "\nstdout:\n" + r.out + "\nstderr:\n" + r.err;

    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, row.status) << output;
    // Nothing on standard error: a sanitizer report would land there.
    EXPECT_EQ(without_suppression_note(r.err), "");

    const std::string log_dir = row.address == address_e::nowhere ? run.nowhere.scratch_dir : run.card.scratch_dir;
    const std::vector<record_s> records = read_log(log_dir + k_main_log);
    // The tool came to its normal end: the exit handler's line is the last one.
    EXPECT_TRUE(!records.empty() && records.back().level == 'I' && records.back().text == "exiting..")
        << "main log in " << log_dir << " does not end with the exit handler's line";

    // Every error, exactly and in order; the error log holds the same ones.
    std::vector<std::string> errors;
    for (const record_s &rec : records)
        if (rec.level == 'E') errors.push_back(rec.text);
    bool errors_ok = errors.size() == row.errors.size();
    for (size_t i = 0; errors_ok && i < errors.size(); i++)
        errors_ok = matches(errors[i], row.errors[i], v);
    EXPECT_TRUE(errors_ok) << "errors logged:\n" << joined(errors) << "expected:\n" << joined(row.errors);
    std::vector<std::string> err_log;
    for (const record_s &rec : read_log(log_dir + k_err_log)) {
        EXPECT_EQ(rec.level, 'E') << rec.text;
        err_log.push_back(rec.text);
    }
    EXPECT_EQ(err_log, errors);

    // Standard output: the client's information lines and nothing else.
    std::vector<std::string> out;
    for (const std::string &line : split_lines(r.out))
        out.push_back(without_prefix(line));
    bool out_ok = out.size() == row.out.size();
    for (size_t i = 0; out_ok && i < out.size(); i++)
        out_ok = matches(out[i], row.out[i], v);
    EXPECT_TRUE(out_ok) << "stdout:\n" << joined(out) << "expected:\n" << joined(row.out);
    for (const std::string &line : out) {
        const bool in_log = std::any_of(records.begin(), records.end(),
                                        [&](const record_s &rec) { return rec.level == 'I' && rec.text == line; });
        EXPECT_TRUE(in_log) << "stdout line not in the log: " << line;
    }

    for (const std::string &pattern : row.logged) {
        const bool found = std::any_of(records.begin(), records.end(),
                                       [&](const record_s &rec) { return matches(rec.text, pattern, v); });
        if (!found) {
            std::vector<std::string> texts;
            for (const record_s &rec : records)
                texts.push_back(std::string(1, rec.level) + " " + rec.text);
            ADD_FAILURE() << "no record " << pattern << " in:\n" << joined(texts);
        }
    }

    std::vector<std::string> expected_files = row.files;
    for (const auto &[name, text] : row.present) {
        expected_files.push_back(name);
        std::string now;
        EXPECT_TRUE(e2e_scratch_read(run.card, name, now)) << name;
        EXPECT_EQ(now, text) << name;
    }
    expected_files.push_back(k_main_log);
    expected_files.push_back(k_err_log);
    std::sort(expected_files.begin(), expected_files.end());
    EXPECT_EQ(list_dir(log_dir), expected_files) << "in " << log_dir;
    if (row.address == address_e::nowhere) {
        // The card that is up saw nothing and got no file.
        EXPECT_EQ(list_dir(run.card.scratch_dir), std::vector<std::string>{});
        EXPECT_TRUE(e2e_requests(run.card).empty());
    }

    for (const auto &[name, count] : row.file_lines) {
        std::string text;
        EXPECT_TRUE(e2e_scratch_read(run.card, name, text)) << name;
        EXPECT_EQ(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')), count) << name << ":\n" << text;
    }
    if (row.requests >= 0) {
        EXPECT_EQ(e2e_requests(run.card).size(), static_cast<size_t>(row.requests));
    }
}

// Runs the rows side by side, then checks each one.
void run_rows(const std::vector<row_s> &rows) {
    if (e2e_tool_path().empty()) GTEST_SKIP() << "flash-update is not built in this tree";
    // Cards are claimed here, on one thread; the runs only use them.
    std::vector<run_s> runs(rows.size());
    for (size_t i = 0; i < rows.size(); i++) {
        run_s &run = runs[i];
        run.row = &rows[i];
        run.card = e2e_card_new();
        const bool needs_nowhere = rows[i].address == address_e::nowhere ||
                                   std::any_of(rows[i].env.begin(), rows[i].env.end(), [](const std::string &e) {
                                       return e.find("{nowhere}") != std::string::npos;
                                   });
        if (needs_nowhere) run.nowhere = e2e_card_new();
        run.vars = {run.card.bdf, run.card.work_dir, "/tmp/korvex//" + run.card.bdf + "/", run.nowhere.bdf};
    }

    std::atomic<size_t> next{0};
    const size_t workers = std::min<size_t>(rows.size(), 3);
    std::vector<std::thread> pool;
    for (size_t w = 0; w < workers; w++) {
        pool.emplace_back([&] {
            for (size_t i = next++; i < runs.size(); i = next++)
                execute(runs[i]);
        });
    }
    for (std::thread &t : pool)
        t.join();

    for (const run_s &run : runs)
        check(run);
    for (const run_s &run : runs) {
        e2e_card_free(run.card);
        if (!run.nowhere.state_dir.empty()) e2e_card_free(run.nowhere);
    }
}

// ---------------------------------------------------------------------------
// Partition erase and sector erase

TEST(E2eFaults, Erase) {
    run_rows({
        {.name = "erase of an unknown partition",
         .args = {"--erase", "nosuch", "0x1000"},
         .status = 1,
         .errors = {"flash partition is not valid"},
         .requests = 0},
        {.name = "erase without a card",
         .args = {"--erase", "fw-a", "0x1000"},
         .address = address_e::nowhere,
         .status = 1,
         .errors = {"device open failed, ret -1"}},
        {.name = "erase answered with a service error",
         .args = {"--erase", "fw-a", "0x1000"},
         .faults = {"erase:status-word=5"},
         .status = 1,
         .errors = {"ipc send failed ret 1, ipc err 5 cmd rsp 0"},
         .out = {"Erase partition in progress..."},
         .requests = 1},
        {.name = "erase service error while the status reads running",
         .args = {"--erase", "fw-b", "0x1000"},
         .faults = {"erase@2:status-word=16"},
         .erase_polls = 3,
         .status = 1,
         .errors = {"ipc send failed ret 1, ipc err 16 cmd rsp 3"},
         .out = {"Erase partition in progress..."},
         .requests = 2},
        {.name = "erase without answer",
         .args = {"--erase", "fw-a", "0x1000"},
         .faults = {"erase:no-answer"},
         .status = 1,
         .errors = {"ipc send failed ret -1, ipc err 0 cmd rsp 6"},  // the image id is still at offset 0
         .out = {"Erase partition in progress..."},
         .requests = 1},
        {.name = "erase answered with no byte",
         .args = {"--erase", "fw-a", "0x1000"},
         .faults = {"erase:rsp-len=0"},
         .status = 1,
         .errors = {"ipc send failed ret 0, ipc err 0 cmd rsp 6"},
         .out = {"Erase partition in progress..."},
         .requests = 1},
        {.name = "erase that the card reports failed",
         .args = {"--erase", "fw-a", "0x1000"},
         .faults = {"erase@2:status=5"},
         .erase_polls = 3,
         .status = 1,
         .errors = {"erase operation failed"},
         .out = {"Erase partition in progress..."},
         .requests = 2},
        {.name = "sector erase of an unknown partition",
         .args = {"--erase-sector", "nosuch", "0x1000"},
         .status = 1,
         .errors = {"flash partition is not valid"},
         .requests = 0},
        {.name = "sector erase of size 0 comes before the partition test",
         .args = {"--erase-sector", "nosuch", "0"},
         .status = 1,
         .errors = {"flash partition erase size is not valid"},
         .requests = 0},
        {.name = "sector erase without a card",
         .args = {"--erase-sector", "fw-a", "0x1000"},
         .address = address_e::nowhere,
         .status = 1,
         .errors = {"device open failed, ret -1"}},
        {.name = "sector erase answered with a service error",
         .args = {"--erase-sector", "fw-a", "0x3000"},
         .faults = {"sector-erase@2:status-word=5"},
         .status = 1,
         .errors = {"ipc send failed ret 1, ipc err 5"},
         .out = {"Erase partition in progress...."},
         .requests = 2},
        {.name = "sector erase without answer",
         .args = {"--erase-sector", "fw-a", "0x3000"},
         .faults = {"sector-erase@2:no-answer"},
         .status = 1,
         .errors = {"ipc send failed ret -1, ipc err 0"},
         .out = {"Erase partition in progress...."},
         .requests = 2},
        {.name = "sector refused by the card",
         .args = {"--erase-sector", "fw-a", "0x3000"},
         .faults = {"sector-erase@2:status=1"},
         .status = 1,
         .errors = {"failed in erase flash sector size :1000 offset :1000"},
         .out = {"Erase partition in progress...."},
         .requests = 2},
    });
}

// ---------------------------------------------------------------------------
// Image install

TEST(E2eFaults, Install) {
    run_rows({
        {.name = "install to an unknown partition",
         .args = {"--install", "nosuch", "{work}/img"},
         .images = {{"img", 2000}},
         .status = 1,
         .errors = {"flash partition is not valid"},
         .requests = 0},
        {.name = "install of a missing image",
         .args = {"--install", "fw-a", "{work}/missing.bin"},
         .status = 1,
         .errors = {"Failed to open file {work}/missing.bin", "failed in write flash ret 51"},
         .requests = 0},
        {.name = "install without a card",
         .args = {"--install", "fw-a", "{work}/img"},
         .address = address_e::nowhere,
         .images = {{"img", 2000}},
         .status = 1,
         .errors = {"device open failed, ret -1", "failed in write flash ret 255"}},
        {.name = "CPLD image not a multiple of 16",
         .args = {"--install", "cpld", "{work}/img"},
         .images = {{"img", 100}},
         .status = 1,
         .errors = {"CPLD file size should be multiple of 16", "failed in write flash ret 2"},
         .requests = 0},
        {.name = "empty image",
         .args = {"--install", "fw-a", "{work}/img"},
         .images = {{"img", 0}},
         .status = 1,
         .errors = {"invalid size", "failed in write flash ret 2"},
         .requests = 0},
        {.name = "chunk answered with a service error",
         .args = {"--install", "fw-a", "{work}/img"},
         .faults = {"write@2:status-word=28"},
         .images = {{"img", 2000}},
         .status = 1,
         .errors = {"failed to write flash, image id 6, ipc err 28, ipc ret 8", "failed in write flash ret 255"},
         .out = {"Write flash in progress..."},
         .requests = 2},
        {.name = "chunk answered with fewer than 8 bytes",
         .args = {"--install", "fw-a", "{work}/img"},
         .faults = {"write:rsp-len=4"},
         .images = {{"img", 2000}},
         .status = 1,
         .errors = {"failed to write flash, image id 6, ipc err 0, ipc ret 4", "failed in write flash ret 255"},
         .out = {"Write flash in progress..."},
         .requests = 1},
        {.name = "chunk without answer",
         .args = {"--install", "fw-b", "{work}/img"},
         .faults = {"write@3:no-answer"},
         .images = {{"img", 2000}},
         .status = 1,
         .errors = {"failed to write flash, image id 7, ipc err 0, ipc ret -1", "failed in write flash ret 255"},
         .out = {"Write flash in progress..."},
         .requests = 3},
        {.name = "failed CPLD write pass has no verify pass",
         .args = {"--install", "cpld", "{work}/img"},
         .faults = {"write:status-word=5"},
         .images = {{"img", 112}},
         .status = 1,
         .errors = {"failed to write flash, image id 17, ipc err 5, ipc ret 8", "failed in write flash ret 255"},
         .out = {"Write flash in progress..."},
         .requests = 1},
        {.name = "failed CPLD verify pass",
         .args = {"--install", "ufm2", "{work}/img"},
         .faults = {"write@2:status-word=74"},
         .images = {{"img", 112}},
         .status = 1,
         .errors = {"failed to write flash, image id 20, ipc err 74, ipc ret 8", "failed in write flash ret 255"},
         .out = {"Write flash in progress...", "Verify flash in progress..."},
         .requests = 2},
        {.name = "image that shrinks while it is sent",
         .args = {"--install", "fw-a", "{work}/img"},
         .faults = {"write@1:delay=2000"},
         .images = {{"img", 1024 * 1024}},  // far more than the tool reads ahead
         .around = around_e::shrink_image,
         .status = 1,
         .errors = {"failed to read data", "failed in write flash ret 255"},
         .out = {"Write flash in progress..."}},
    });
}

// ---------------------------------------------------------------------------
// Checksum and startup-image verification

TEST(E2eFaults, Verification) {
    const std::string report = "failed to verify startup image for fw-a, ipc err 0, ipc ret 976";
    run_rows({
        {.name = "checksum of an unknown partition",
         .args = {"--verify-checksum", "nosuch", "{work}/img", "00"},
         .images = {{"img", 100}},
         .status = 1,
         .errors = {"flash partition is not valid"},
         .requests = 0},
        {.name = "checksum of a missing image",
         .args = {"--verify-checksum", "fw-a", "{work}/missing.bin", "00"},
         .status = 1,
         .errors = {"Failed to open file {work}/missing.bin"},
         .requests = 0},
        {.name = "checksum without a card",
         .args = {"--verify-checksum", "fw-a", "{work}/img", "00"},
         .address = address_e::nowhere,
         .images = {{"img", 100}},
         .status = 1,
         .errors = {"device open failed, ret -1"}},
        {.name = "checksum answered with a service error",
         .args = {"--verify-checksum", "fw-a", "{work}/img", "00"},
         .faults = {"checksum:status-word=5"},
         .images = {{"img", 100}},
         .status = 1,
         .errors = {"failed to get checksum, ipc err 5, ipc ret 65"},
         .requests = 1},
        {.name = "checksum without answer",
         .args = {"--verify-checksum", "fw-a", "{work}/img", "00"},
         .faults = {"checksum@2:no-answer"},
         .verify_polls = 3,
         .images = {{"img", 100}},
         .status = 1,
         .errors = {"failed to get checksum, ipc err 0, ipc ret -1"},
         .requests = 2},
        {.name = "checksum that the card reports failed",
         .args = {"--verify-checksum", "fw-a", "{work}/img", "00"},
         .faults = {"checksum@2:status=5"},
         .verify_polls = 3,
         .images = {{"img", 100}},
         .status = 1,
         .errors = {"verify checksum failed"},
         .requests = 2},
        {.name = "digests that differ",
         .args = {"--verify-checksum", "fw-a", "{work}/img", "00"},
         .images = {{"img", 100}},
         .status = 1,
         .out = {"Verify checksum failed"},
         .requests = 1},
        {.name = "startup verification without a card",
         .args = {"--verify-startup-image", "fw-a"},
         .address = address_e::nowhere,
         .status = 1,
         .errors = {"device open failed, ret -1", "failed to verify startup image for fw-a, ipc err 0, ipc ret 255"}},
        {.name = "startup verification answered with a service error",
         .args = {"--verify-startup-image", "fw-a"},
         .faults = {"verify-startup:status-word=5"},
         .status = 1,
         .errors = {"Verify startup image failed err 5\n",
                    "failed to verify startup image for fw-a, ipc err 5, ipc ret 976"},
         .out = {"Verify startup image in progress..."},
         .requests = 1},
        {.name = "startup verification without answer",
         .args = {"--verify-startup-image", "fw-a"},
         .faults = {"verify-startup@2:no-answer"},
         .verify_polls = 2,
         .status = 1,
         .errors = {"Verify startup image failed err 0\n",
                    "failed to verify startup image for fw-a, ipc err 0, ipc ret -1"},
         .out = {"Verify startup image in progress..."},
         .requests = 2},
        {.name = "startup verification that the card reports failed",
         .args = {"--verify-startup-image", "fw-a"},
         .faults = {"verify-startup:status=5"},
         .status = 1,
         .errors = {"verify checksum failed", report},
         .out = {"Verify startup image in progress..."},
         .requests = 1},
        {.name = "startup text file that cannot be opened",
         .args = {"--verify-startup-image", "fw-a"},
         .blocked = {"fw-a.txt"},
         .status = 1,
         .errors = {"Failed to open file {scratch}fw-a.txt", report},
         .out = {"Verify startup image in progress..."},
         .files = {"fw-a.txt"},
         .requests = 1},
        {.name = "hash line without the digest",
         .args = {"--verify-startup-image", "fw-a"},
         .faults = {"verify-startup:text-len=0"},
         .status = 1,
         .errors = {"Hash value does not match for fw-a\n", report},
         .out = {"Verify startup image in progress..."},
         .files = {"fw-a.txt"},
         .file_lines = {{"fw-a.txt", 0}},
         .requests = 1},
    });
}

TEST(E2eFaults, GrepCannotStart) {
    if (!shell_can_be_hidden())
        GTEST_SKIP() << (geteuid() != 0 ? "needs root: " : "no private mount namespace here (in a chroot?): ")
                     << "a mount namespace of its own to hide /bin/sh in";
    run_rows({
        {.name = "grep that cannot be started",
         .args = {"--verify-startup-image", "fw-a"},
         .around = around_e::no_shell,
         .status = 1,
         .errors = {"popen failed for path grep hash {scratch}fw-a.txt",
                    "failed to verify startup image for fw-a, ipc err 0, ipc ret 976"},
         .out = {"Verify startup image in progress..."},
         .files = {"fw-a.txt"},
         .file_lines = {{"fw-a.txt", 4}}},
    });
}

// ---------------------------------------------------------------------------
// Boot selection and firmware listing

TEST(E2eFaults, BootAndListing) {
    run_rows({
        {.name = "image type the card is not asked for",
         .args = {"--get-firmware-image", "n1-startup"},
         .status = 3,
         .requests = 0},
        {.name = "running image without a card",
         .args = {"--get-firmware-image", "running"},
         .address = address_e::nowhere,
         .status = 3,
         .errors = {"device open failed, ret -1"}},
        {.name = "running image answered with a service error",
         .args = {"--get-firmware-image", "startup"},
         .faults = {"running-image:status-word=5"},
         .status = 3,
         .errors = {"Failed to get running image, ipc err 5, ipc ret 4"},
         .requests = 1},
        {.name = "running image without answer",
         .args = {"--get-firmware-image", "running"},
         .faults = {"running-image:no-answer"},
         .status = 3,
         .errors = {"Failed to get running image, ipc err 0, ipc ret -1"},
         .requests = 1},
        {.name = "running image answered with no byte",
         .args = {"--get-firmware-image", "running"},
         .faults = {"running-image:rsp-len=0"},
         .status = 3,
         .errors = {"Failed to get running image, ipc err 0, ipc ret 0"},
         .requests = 1},
        {.name = "boot image the card cannot start",
         .args = {"--set-boot-options", "fw-c"},
         .status = 1,
         .errors = {"firmware type is invalid 3\n"},
         .requests = 0},
        {.name = "boot selection without a card",
         .args = {"--set-boot-options", "fw-b"},
         .address = address_e::nowhere,
         .status = 1,
         .errors = {"device open failed, ret -1"}},
        {.name = "boot selection answered with a service error",
         .args = {"--set-boot-options", "fw-b"},
         .faults = {"set-startup:status-word=5"},
         .status = 1,
         .errors = {"failed to set boot options, ipc err 5, ipc ret 1"},
         .requests = 1},
        {.name = "boot selection without answer",
         .args = {"--set-boot-options", "fw-b"},
         .faults = {"set-startup:no-answer"},
         .status = 1,
         .errors = {"failed to set boot options, ipc err 0, ipc ret -1"},
         .requests = 1},
        {.name = "boot selection answered with no byte",
         .args = {"--set-boot-options", "fw-b"},
         .faults = {"set-startup:rsp-len=0"},
         .status = 1,
         .errors = {"failed to set boot options, ipc err 0, ipc ret 0"},
         .requests = 1},
        {.name = "firmware list without a card",
         .args = {"--list-firmware", "fw-a"},
         .address = address_e::nowhere,
         .status = 1,
         .errors = {"device open failed, ret -1"}},
        {.name = "firmware list answered with a service error",
         .args = {"--list-firmware", "fw-a"},
         .faults = {"fw-list:status-word=5"},
         .status = 1,
         .errors = {"failed to read fw list for fw-a, ipc err 5, ipc ret 1004"},
         .requests = 1},
        {.name = "firmware list without answer",
         .args = {"--list-firmware", "dtb"},
         .faults = {"fw-list:no-answer"},
         .status = 1,
         .errors = {"failed to read fw list for dtb, ipc err 0, ipc ret -1"},
         .requests = 1},
        {.name = "firmware list failure whose answer holds 99 bytes: exit status 99",
         .args = {"--list-firmware", "fw-a"},
         .faults = {"fw-list:rsp-len=99", "fw-list:status-word=5"},
         .status = 99,
         .errors = {"failed to read fw list for fw-a, ipc err 5, ipc ret 99"},
         .requests = 1},
        {.name = "failed firmware list keeps the earlier list",
         .args = {"--list-firmware", "fw-b"},
         .faults = {"fw-list:no-answer"},
         .present = {{"fw-b.txt", "image: fw-b\nversion: 1\n"}},
         .status = 1,
         .errors = {"failed to read fw list for fw-b, ipc err 0, ipc ret -1"},
         .requests = 1},
        {.name = "firmware list file that cannot be opened",
         .args = {"--list-firmware", "fw-a"},
         .blocked = {"fw-a.txt"},
         .status = 1,
         .errors = {"Failed to open file {scratch}fw-a.txt"},
         .files = {"fw-a.txt"},
         .requests = 1},
        {.name = "partition table without a card",
         .args = {"--get-partition-info"},
         .address = address_e::nowhere,
         .status = 1,
         .errors = {"device open failed, ret -1"}},
        {.name = "partition summary answered with a service error",
         .args = {"--get-partition-info"},
         .faults = {"partition-info@1:status-word=5"},
         .status = 1,
         .errors = {"failed in ipc send err 5, ret 1016"},
         .requests = 1},
        {.name = "partition summary without answer",
         .args = {"--get-partition-info"},
         .faults = {"partition-info@1:no-answer"},
         .status = 1,
         .errors = {"failed in ipc send err 0, ret -1"},
         .requests = 1},
        {.name = "failed partition summary keeps the earlier table",
         .args = {"--get-partition-info"},
         .faults = {"partition-info@1:status-word=5"},
         .present = {{"partition_info.txt", "id: 0  id_name:boot0\n"}},
         .status = 1,
         .errors = {"failed in ipc send err 5, ret 1016"},
         .requests = 1},
        {.name = "partition table file that cannot be opened",
         .args = {"--get-partition-info"},
         .blocked = {"partition_info.txt"},
         .status = 1,
         .errors = {"Failed to open file {scratch}partition_info.txt"},
         .files = {"partition_info.txt"},
         .requests = 1},
        {.name = "second partition entry answered with a service error",
         .args = {"--get-partition-info"},
         .faults = {"partition-info@3:status-word=5"},
         .status = 1,
         .errors = {"failed in ipc send err 5, ret 116"},
         .files = {"partition_info.txt"},
         .file_lines = {{"partition_info.txt", 1}},
         .requests = 3},
        {.name = "first partition entry without answer",
         .args = {"--get-partition-info"},
         .faults = {"partition-info@2:no-answer"},
         .status = 1,
         .errors = {"failed in ipc send err 0, ret -1"},
         .files = {"partition_info.txt"},
         .file_lines = {{"partition_info.txt", 0}},
         .requests = 2},
    });
}

// ---------------------------------------------------------------------------
// Card information

TEST(E2eFaults, CardInformation) {
    run_rows({
        {.name = "card information without a card",
         .args = {"--get-card-info"},
         .address = address_e::nowhere,
         .status = 1,
         .errors = {"device open failed, ret -1"}},
        {.name = "card information answered with a service error",
         .args = {"--get-card-info"},
         .faults = {"card-info:status-word=5"},
         .status = 1,
         .errors = {"failed in ipc send err 5, ret 512 {any}"},
         .requests = 1},
        {.name = "card information answered with no byte",
         .args = {"--get-card-info"},
         .faults = {"card-info:rsp-len=0"},
         .status = 1,
         .errors = {"failed in ipc send err 0, ret 0 {any}"},
         .requests = 1},
        {.name = "failed card information keeps the earlier document",
         .args = {"--get-card-info"},
         .faults = {"card-info:no-answer"},
         .present = {{"card_info.txt", "{\n\"sw_version\": \"old\"\n}\n"}},
         .status = 1,
         .errors = {std::string("failed in ipc send err 0, ret -1 ") + k_eio},
         .requests = 1},
        {.name = "card information file that cannot be opened",
         .args = {"--get-card-info"},
         .blocked = {"card_info.txt"},
         .status = 1,
         .errors = {"Failed to open file {scratch}card_info.txt"},
         .files = {"card_info.txt"},
         .requests = 1},
    });
}

// ---------------------------------------------------------------------------
// Secure boot management

TEST(E2eFaults, SecureBoot) {
    run_rows({
        {.name = "secure boot option the tool does not know",
         .args = {"--secure-boot", "on"},
         .status = 1,
         .errors = {"Invalid secure boot update option"},
         .requests = 0},
        {.name = "secure boot without a card",
         .args = {"--secure-boot", "enable"},
         .address = address_e::nowhere,
         .status = 1,
         .errors = {"device open failed, ret -1"}},
        {.name = "secure boot answered with a service error",
         .args = {"--secure-boot", "enable"},
         .faults = {"secure-boot:status-word=1"},
         .status = 1,
         .errors = {"Failed to update secure boot option, err 1, status code 904 {any}"},
         .requests = 1},
        {.name = "secure boot without answer",
         .args = {"--secure-boot", "disable"},
         .faults = {"secure-boot:no-answer"},
         .status = 1,
         .errors = {std::string("Failed to update secure boot option, err 0, status code -1 ") + k_eio},
         .requests = 1},
        {.name = "secure update of an unknown component",
         .args = {"--secure-image-update", "bl2", "set-ar-counter"},
         .status = 1,
         .errors = {"Invalid secure image type 0"},
         .requests = 0},
        {.name = "secure update without a card",
         .args = {"--secure-image-update", "bl1", "set-ar-counter"},
         .address = address_e::nowhere,
         .status = 1,
         .errors = {"device open failed, ret -1"}},
        {.name = "secure update answered with a service error",
         .args = {"--secure-image-update", "bl1", "boot-alt-partition"},
         .faults = {"secure-image-update:status-word=22"},
         .status = 1,
         .errors = {"Failed in ipc send to update partition num for secure image, err 22, status code 4, {any}"},
         .requests = 1},
        {.name = "secure update without answer",
         .args = {"--secure-image-update", "lcs", "set-production"},
         .faults = {"secure-image-update:no-answer"},
         .status = 1,
         .errors = {std::string("Failed in ipc send to update partition num for secure image, err 0, "
                                "status code -1, ") +
                    k_eio},
         .requests = 1},
        {.name = "secure information of an unknown component",
         .args = {"--secure-info", "bl3"},
         .status = 1,
         .errors = {"Invalid secure image type 0"},
         .requests = 0},
        {.name = "secure information without a card",
         .args = {"--secure-info", "bl1"},
         .address = address_e::nowhere,
         .status = 1,
         .errors = {"device open failed, ret -1"}},
        {.name = "secure information with a failed command status",
         .args = {"--secure-info", "bl1"},
         .faults = {"secure-info:status=7"},
         .status = 1,
         .errors = {"Failed in ipc send to get secure info, err 0, status code 628, {any} cmd rsp 7"},
         .requests = 1},
        {.name = "secure information answered with a service error",
         .args = {"--secure-info", "bastion"},
         .faults = {"secure-info:status-word=5"},
         .status = 1,
         .errors = {"Failed in ipc send to get secure info, err 5, status code 628, {any} cmd rsp 0"},
         .requests = 1},
        {.name = "secure information without answer",
         .args = {"--secure-info", "bl31"},
         .faults = {"secure-info:no-answer"},
         .status = 1,
         // Nothing came back: the word still holds the component the request carried.
         .errors = {std::string("Failed in ipc send to get secure info, err 0, status code -1, ") + k_eio +
                    " cmd rsp 3"},
         .requests = 1},
        {.name = "failed secure information keeps the earlier file",
         .args = {"--secure-info", "bl1"},
         .faults = {"secure-info:status=7"},
         .present = {{"secure_info_bl1.txt", "{\n}\n"}},
         .status = 1,
         .errors = {"Failed in ipc send to get secure info, err 0, status code 628, {any} cmd rsp 7"},
         .requests = 1},
        {.name = "secure information file that cannot be opened",
         .args = {"--secure-info", "lcs"},
         .blocked = {"secure_info_lcs.txt"},
         .status = 1,
         .errors = {"Failed to open file {scratch}secure_info_lcs.txt"},
         .files = {"secure_info_lcs.txt"},
         .requests = 1},
    });
}

// ---------------------------------------------------------------------------
// Signed metadata and signature verification (those that never reach the key directory)

TEST(E2eFaults, SignedData) {
    run_rows({
        {.name = "signed data of a partition without it",
         .args = {"--get-signed-data", "uboot-a"},
         .status = 1,
         .errors = {"read signed meta data not supported for 4"},
         .logged = {"device open success, bdf {bdf}"},
         .requests = 0},
        {.name = "signed data of a partition without it and without a card",
         .args = {"--get-signed-data", "uboot-a"},
         .address = address_e::nowhere,
         .status = 1,
         .errors = {"device open failed, ret -1"}},
        {.name = "signed data answered with a service error",
         .args = {"--get-signed-data", "fw-a"},
         .faults = {"signed-data:status-word=5"},
         .status = 1,
         .errors = {"failed to read signed data for fw-a, ipc err 5, ipc ret 912"},
         .requests = 1},
        {.name = "signed data without answer",
         .args = {"--get-signed-data", "bastionfw-1"},
         .faults = {"signed-data:no-answer"},
         .status = 1,
         .errors = {"failed to read signed data for bastionfw-1, ipc err 0, ipc ret -1"},
         .requests = 1},
        {.name = "failed signed data keeps the earlier file",
         .args = {"--get-signed-data", "fw-a"},
         .faults = {"signed-data:status-word=5"},
         .present = {{"fw-a_signed.txt", "{\"key_name\": \"prod\"}"}},
         .status = 1,
         .errors = {"failed to read signed data for fw-a, ipc err 5, ipc ret 912"},
         .requests = 1},
        {.name = "signed data file that cannot be opened",
         .args = {"--get-signed-data", "fw-a"},
         .blocked = {"fw-a_signed.txt"},
         .status = 1,
         .errors = {"Failed to open file {scratch}fw-a_signed.txt"},
         .files = {"fw-a_signed.txt"},
         .requests = 1},
        {.name = "signature of a partition without signed data",
         .args = {"--verify-image-signature", "boot0"},
         .status = 1,
         .errors = {"read signed meta data not supported for 0"},
         .requests = 0},
        {.name = "signature without a card",
         .args = {"--verify-image-signature", "fw-a"},
         .address = address_e::nowhere,
         .status = 1,
         .errors = {"device open failed, ret -1"}},
        {.name = "signature whose metadata is answered with a service error",
         .args = {"--verify-image-signature", "a35-bl1-0"},
         .faults = {"signed-data:status-word=2"},
         .status = 1,
         .errors = {"failed to read signed data for a35-bl1-0, ipc err 2, ipc ret 912"},
         .requests = 1},
        {.name = "signature whose metadata names an unknown key",
         .args = {"--verify-image-signature", "fw-a"},
         .faults = {"signed-data:key-name=en"},
         .status = 1,
         .errors = {"invalid key name en"},
         .requests = 1},
        {.name = "signature whose metadata names an empty key",
         .args = {"--verify-image-signature", "fw-b"},
         .faults = {"signed-data:key-name="},
         .status = 1,
         .errors = {"invalid key name "},
         .requests = 1},
        {.name = "signature whose metadata is no JSON",
         .args = {"--verify-image-signature", "fw-a"},
         .faults = {"signed-data:bad-json"},
         .status = 1,
         .errors = {"invalid signed meta data for fw-a: {any}"},
         .requests = 1},
        {.name = "signature whose metadata names no key",
         .args = {"--verify-image-signature", "bastionfw-0"},
         .faults = {"signed-data:no-key-name"},
         .status = 1,
         .errors = {"invalid signed meta data for bastionfw-0: no key_name"},
         .requests = 1},
    });
}

// The rows that read the host's key directory hold it for their whole run.
class E2eFaultsKeys : public ::testing::Test {
  protected:
    void SetUp() override {
        if (e2e_tool_path().empty()) GTEST_SKIP() << "flash-update is not built in this tree";
        if (!keys.usable) {
            GTEST_SKIP() << keys.skip_reason;
        }
        e2e_card_guard g;
        const std::string dir = g.card.work_dir + "/keys";
        const e2e_result_s made = e2e_run_launcher({"keys", dir});
        ASSERT_EQ(made.status, 0) << made.err;
        ASSERT_TRUE(e2e_read_file(dir + "/prod_key-pub.pem", prod));
    }
    fwkeys_guard keys;
    std::string prod;
};

TEST_F(E2eFaultsKeys, SignatureVerification) {
    ASSERT_TRUE(keys.put("prod_key-pub.pem", prod));
    keys.remove("eng_key-pub.pem");
    run_rows({
        {.name = "signature verified",
         .args = {"--verify-image-signature", "fw-a"},
         .out = {"manifest signature verification success for fw-a"},
         .requests = 2},
        {.name = "signature with a missing key file",
         .args = {"--verify-image-signature", "fw-a"},
         .faults = {"signed-data:key-name=eng"},
         .status = 1,
         .errors = {"Failed to open file /etc/orv/korvex/larch/fwkeys/eng_key-pub.pem"},
         .requests = 1},
        {.name = "signature answered with a service error",
         .args = {"--verify-image-signature", "fw-b"},
         .faults = {"verify-signature:status-word=129"},
         .status = 1,
         .errors = {"manifest signature verification failed for fw-b, ipc err 129, ipc ret 72"},
         .requests = 2},
        {.name = "signature without answer",
         .args = {"--verify-image-signature", "a35-bl1-1"},
         .faults = {"verify-signature:no-answer"},
         .status = 1,
         .errors = {"manifest signature verification failed for a35-bl1-1, ipc err 0, ipc ret -1"},
         .requests = 2},
    });
}

TEST_F(E2eFaultsKeys, KeyTooLargeForTheRequest) {
    // 936 bytes fill the request to its 1016 bytes; one more does not fit.
    ASSERT_TRUE(keys.put("prod_key-pub.pem", std::string(937, 'k')));
    run_rows({
        {.name = "key file too large",
         .args = {"--verify-image-signature", "fw-a"},
         .status = 1,
         .errors = {"key file /etc/orv/korvex/larch/fwkeys/prod_key-pub.pem too large, 937 bytes, at most 936 fit the "
                    "request"},
         .requests = 1},
    });
}

// ---------------------------------------------------------------------------
// The misc-device channel: answers the host refuses

TEST(E2eFaults, MiscChannel) {
    std::vector<row_s> rows;
    // Misframed answers end the exchange with EIO; one beyond the caller's
    // room with EMSGSIZE. Card information shows the errno in its message.
    const std::pair<const char *, const char *> wire[] = {
        {"card-info:short", k_eio},       {"card-info:bad-type", k_eio},      {"card-info:bad-magic", k_eio},
        {"card-info:bad-version", k_eio}, {"card-info:bad-msg", k_eio},       {"card-info:truncated", k_eio},
        {"card-info:no-answer", k_eio},   {"card-info:oversize", k_emsgsize},
    };
    for (const auto &[fault, text] : wire) {
        rows.push_back({.name = fault,
                        .args = {"--get-card-info"},
                        .faults = {fault},
                        .status = 1,
                        .errors = {std::string("failed in ipc send err 0, ret -1 ") + text},
                        .requests = 1});
    }
    rows.push_back({.name = "oversized answer to a secure boot update",
                    .args = {"--secure-boot", "enable"},
                    .faults = {"secure-boot:oversize"},
                    .status = 1,
                    .errors = {std::string("Failed to update secure boot option, err 0, status code -1 ") + k_emsgsize},
                    .requests = 1});
    rows.push_back({.name = "answer to another message",
                    .args = {"--secure-image-update", "bastion", "set-ar-counter"},
                    .faults = {"secure-image-update:bad-msg"},
                    .status = 1,
                    .errors = {std::string("Failed in ipc send to update partition num for secure image, err 0, "
                                           "status code -1, ") +
                               k_eio},
                    .requests = 1});
    rows.push_back({.name = "misframed answer while polling",
                    .args = {"--erase", "fw-b", "0x2000"},
                    .faults = {"erase@3:bad-magic"},
                    .erase_polls = 4,
                    .status = 1,
                    .errors = {"ipc send failed ret -1, ipc err 0 cmd rsp 7"},
                    .out = {"Erase partition in progress..."},
                    .requests = 3});
    run_rows(rows);
}

// ---------------------------------------------------------------------------
// The fwctl device: a card without misc node

TEST(E2eFaults, Fwctl) {
    run_rows({
        {.name = "card information over fwctl",
         .args = {"--get-card-info"},
         .no_misc = true,
         .logged = {"device open success, bdf {bdf}"},
         .files = {"card_info.txt"},
         .file_lines = {{"card_info.txt", 17}},
         .requests = 1},
        {.name = "RPC that fails",
         .args = {"--get-card-info"},
         .faults = {"card-info:no-answer"},
         .no_misc = true,
         .status = 1,
         .errors = {std::string("failed in ipc send err 0, ret -1 ") + k_eio},
         .requests = 1},
        {.name = "RPC reporting more than the room given",
         .args = {"--get-card-info"},
         .faults = {"card-info:oversize"},
         .no_misc = true,
         .status = 1,
         .errors = {std::string("failed in ipc send err 0, ret -1 ") + k_emsgsize},
         .requests = 1},
        {.name = "RPC reporting no byte",
         .args = {"--get-card-info"},
         .faults = {"card-info:short"},
         .no_misc = true,
         .status = 1,
         .errors = {"failed in ipc send err 0, ret 0 {any}"},
         .requests = 1},
        {.name = "RPC with a service error",
         .args = {"--secure-boot", "disable"},
         .faults = {"secure-boot:status-word=1"},
         .no_misc = true,
         .status = 1,
         .errors = {"Failed to update secure boot option, err 1, status code 904 {any}"},
         .requests = 1},
        {.name = "RPC that fails while polling",
         .args = {"--verify-checksum", "fw-a", "{work}/img", "00"},
         .faults = {"checksum@2:no-answer"},
         .no_misc = true,
         .verify_polls = 2,
         .images = {{"img", 100}},
         .status = 1,
         .errors = {"failed to get checksum, ipc err 0, ipc ret -1"},
         .requests = 2},
    });
}

// ---------------------------------------------------------------------------
// Opening the card

TEST(E2eFaults, Open) {
    run_rows({
        {.name = "no card at the address",
         .args = {"--get-card-info"},
         .address = address_e::nowhere,
         .status = 1,
         .errors = {"device open failed, ret -1"},
         .logged = {"pcie-bdf {nowhere}"}},
        {.name = "address that is no BDF, CRD_BDF names the card",
         .args = {"--get-firmware-image", "running"},
         .address = address_e::not_bdf,
         .env = {"CRD_BDF={bdf}"},
         .logged = {"pcie-bdf 00.0.0", "device open success, bdf {bdf}"},
         .requests = 1},
        {.name = "address that is no BDF, CRD_BDF names a card on fwctl only",
         .args = {"--get-firmware-image", "startup"},
         .no_misc = true,
         .address = address_e::not_bdf,
         .env = {"CRD_BDF={bdf}"},
         .logged = {"pcie-bdf 00.0.0", "device open success, bdf {bdf}"},
         .requests = 1},
        {.name = "address that is no BDF, CRD_BDF names no card",
         .args = {"--get-firmware-image", "running"},
         .address = address_e::not_bdf,
         .env = {"CRD_BDF={nowhere}"},
         .status = 3,
         .errors = {"device open failed, ret -1"},
         .requests = 0},
        {.name = "address that is no BDF, no CRD_BDF: the default node",
         .args = {"--get-firmware-image", "running"},
         .address = address_e::not_bdf,
         .logged = {"device open success, bdf "},
         .requests = 1},
        {.name = "address that is no BDF, no CRD_BDF and no default node",
         .args = {"--get-firmware-image", "running"},
         .no_misc = true,
         .address = address_e::not_bdf,
         .status = 3,
         .errors = {"device open failed, ret -1"},
         .requests = 0},
        {.name = "card without misc node falls back to fwctl",
         .args = {"--set-boot-options", "fw-b"},
         .no_misc = true,
         .logged = {"device open success, bdf {bdf}"},
         .requests = 1},
        {.name = "simulated client init failure: the command still runs",
         .args = {"--get-firmware-image", "running"},
         .env = {"RFC_TEST_ENV=257"},
         .errors = {"Simulated remote flash client init failure"},
         .requests = 1},
    });
}

}  // namespace

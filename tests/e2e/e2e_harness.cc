// SPDX-License-Identifier: Apache-2.0
// Runs the real flash-update under flash-update-vcard and reads back what it
// left: exit status, output, scratch files, logs, the card's request record
// and the sleeps the tool asked for.
#include "e2e_harness.h"

#include "test_support.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <pty.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

extern char **environ;

namespace {

const char *const k_scratch_root = "/tmp/korvex/";
const char *const k_sleep_log_var = "FU_E2E_SLEEP_LOG";
// Variables of the tool that a developer's shell may hold; a test sets them
// explicitly through e2e_options_s::env when it wants them.
const char *const k_tool_vars[] = {"CRD_BDF",      "RFC_TEST_ENV", "NON_PERSISTENT_LOG_DIR", "PERSISTENT_LOG_DIR",
                                   "UMOCKDEV_DIR", "LD_PRELOAD"};
// Grace beyond the launcher's own time-out before the harness kills it too.
constexpr unsigned k_grace_s = 15;

[[noreturn]] void die(const char *what) {
    std::fprintf(stderr, "e2e harness: %s: %s\n", what, std::strerror(errno));
    std::abort();
}

// Each test makes and removes a card state; tmpfs keeps that cheap on a busy
// machine.
std::string make_temp_dir() {
    const char *tmp = std::getenv("TMPDIR");
    std::string base = (tmp != nullptr && tmp[0] == '/' && std::strlen(tmp) < 40) ? tmp : "/tmp";
    if (access("/dev/shm", W_OK | X_OK) == 0) base = "/dev/shm";
    std::string pattern = base + "/fu-e2e-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) die("mkdtemp");
    return buf.data();
}

// Claims a card address no other test, here or in another suite run, holds:
// the domain starts from the pid, and creating the card's scratch directory
// is the claim.
std::string claim_bdf() {
    static unsigned counter = 0;
    unsigned start = static_cast<unsigned>(getpid()) * 7u + counter++;
    for (unsigned i = 0, tries = 0; i < 0xe000; i++) {
        // The root goes when a suite's closing check finds it empty: made again.
        if (mkdir(k_scratch_root, 0755) == 0) chmod(k_scratch_root, 0755);
        unsigned domain = 0x1000 + (start + i) % 0xe000;
        char bdf[16];
        std::snprintf(bdf, sizeof bdf, "%04x:03:00.0", domain);
        std::string dir = std::string(k_scratch_root) + bdf;
        if (mkdir(dir.c_str(), 0755) == 0) {
            chmod(dir.c_str(), 0755);
            return bdf;
        }
        if (errno == ENOENT && tries++ < 100) {
            i--;
            continue;
        }
        if (errno != EEXIST) die("mkdir /tmp/korvex/<bdf>");
    }
    errno = EAGAIN;
    die("no free card address");
}

void remove_tree(const std::string &path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string dir_of_temp(const e2e_card_s &card) {
    return std::filesystem::path(card.state_dir).parent_path().string();
}

std::vector<std::string> base_env(const e2e_options_s &options, const e2e_card_s &card) {
    std::vector<std::string> env;
    std::string asan_options;
    for (char **e = environ; *e != nullptr; e++) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool drop = false;
        for (const char *v : k_tool_vars)
            drop = drop || name == v;
        if (name == k_sleep_log_var || name == "ASAN_OPTIONS") drop = true;
        if (name == "ASAN_OPTIONS") asan_options = entry.substr(entry.find('=') + 1);
        if (!drop) env.push_back(entry);
    }
    // The shim is preloaded ahead of an AddressSanitizer runtime linked into
    // the launcher and the tool; the runtime must not refuse that.
    if (!asan_options.empty()) asan_options += ":";
    asan_options += "verify_asan_link_order=0";
    env.push_back("ASAN_OPTIONS=" + asan_options);
    if (options.fake_sleep) {
        env.push_back(std::string("LD_PRELOAD=") + FU_E2E_FAKE_SLEEP);
        env.push_back(std::string(k_sleep_log_var) + "=" + card.sleep_log);
    }
    for (const std::string &extra : options.env)
        env.push_back(extra);
    return env;
}

// A pseudo-terminal in place of the error pipe: [0] the master the harness
// reads, [1] the terminal the command writes to. Raw mode, so that a line
// break is not turned into a carriage return and a line feed.
void open_err_tty(int (&fds)[2]) {
    if (openpty(&fds[0], &fds[1], nullptr, nullptr, nullptr) != 0) die("openpty");
    struct termios mode {};
    if (tcgetattr(fds[1], &mode) != 0) die("tcgetattr");
    cfmakeraw(&mode);
    if (tcsetattr(fds[1], TCSANOW, &mode) != 0) die("tcsetattr");
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);
}

// Runs argv with env; collects output; kills the whole process group at the
// deadline.
e2e_result_s spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                   const std::string &stdin_text, unsigned deadline_s, bool err_tty = false) {
    e2e_result_s result;
    int out_pipe[2], err_pipe[2], in_pipe[2];
    if (err_tty) open_err_tty(err_pipe);
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || (!err_tty && pipe2(err_pipe, O_CLOEXEC) != 0) ||
        pipe2(in_pipe, O_CLOEXEC) != 0)
        die("pipe");
    std::vector<char *> cargv, cenv;
    for (const std::string &a : argv)
        cargv.push_back(const_cast<char *>(a.c_str()));
    cargv.push_back(nullptr);
    for (const std::string &e : env)
        cenv.push_back(const_cast<char *>(e.c_str()));
    cenv.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) die("fork");
    if (pid == 0) {
        setpgid(0, 0);
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        execve(cargv[0], cargv.data(), cenv.data());
        std::fprintf(stderr, "e2e harness: cannot run %s: %s\n", cargv[0], std::strerror(errno));
        _exit(127);
    }
    setpgid(pid, pid);
    close(out_pipe[1]);
    close(err_pipe[1]);
    close(in_pipe[0]);
    if (!stdin_text.empty()) {
        signal(SIGPIPE, SIG_IGN);
        ssize_t ignored = write(in_pipe[1], stdin_text.data(), stdin_text.size());
        (void)ignored;
    }
    close(in_pipe[1]);

    struct timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    bool out_open = true, err_open = true, killed = false;
    char buf[4096];
    while (out_open || err_open) {
        struct timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsed_ms = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        long left = static_cast<long>(deadline_s) * 1000 - elapsed_ms;
        if (left <= 0) {
            kill(-pid, SIGKILL);
            killed = true;
            break;
        }
        struct pollfd fds[2] = {{out_open ? out_pipe[0] : -1, POLLIN, 0}, {err_open ? err_pipe[0] : -1, POLLIN, 0}};
        int n = poll(fds, 2, static_cast<int>(left));
        if (n < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; i++) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(got));
            } else {
                (i == 0 ? out_open : err_open) = false;
            }
        }
    }
    close(out_pipe[0]);
    close(err_pipe[0]);
    int wstatus = 0;
    if (waitpid(pid, &wstatus, 0) == pid) {
        if (WIFEXITED(wstatus))
            result.status = WEXITSTATUS(wstatus);
        else if (WIFSIGNALED(wstatus)) {
            result.signal = WTERMSIG(wstatus);
            result.status = 128 + result.signal;
        }
    }
    // Anything the command left in its group (a stuck tool) goes too.
    kill(-pid, SIGKILL);
    if (killed) result.timed_out = true;
    return result;
}

std::vector<std::string> launcher_argv(const e2e_card_s &card, const e2e_options_s &options) {
    std::vector<std::string> argv = {e2e_launcher_path(),
                                     "--state",
                                     card.state_dir,
                                     "--bdf",
                                     card.bdf,
                                     "--timeout",
                                     std::to_string(options.timeout_s)};
    if (options.no_misc) argv.push_back("--no-misc");
    if (options.cards != 1) {
        argv.push_back("--cards");
        argv.push_back(std::to_string(options.cards));
    }
    if (options.erase_polls >= 0) {
        argv.push_back("--erase-polls");
        argv.push_back(std::to_string(options.erase_polls));
    }
    if (options.verify_polls >= 0) {
        argv.push_back("--verify-polls");
        argv.push_back(std::to_string(options.verify_polls));
    }
    if (options.ipc_version >= 0) {
        argv.push_back("--ipc-version");
        argv.push_back(std::to_string(options.ipc_version));
    }
    for (const std::string &f : options.faults) {
        argv.push_back("--fault");
        argv.push_back(f);
    }
    argv.insert(argv.end(), options.launcher_args.begin(), options.launcher_args.end());
    argv.push_back("--");
    return argv;
}

}  // namespace

#ifdef FU_E2E_TOOL
std::string e2e_tool_path() {
    return FU_E2E_TOOL;
}
#else
std::string e2e_tool_path() {
    return "";
}
#endif
std::string e2e_probe_path() {
    return FU_E2E_PROBE;
}
std::string e2e_launcher_path() {
    return FU_E2E_LAUNCHER;
}

e2e_card_s e2e_card_new() {
    e2e_card_s card;
    std::string root = make_temp_dir();
    card.bdf = claim_bdf();
    card.bdf2 = card.bdf.substr(0, 5) + "13:00.0";
    card.state_dir = root + "/state";
    card.work_dir = root + "/work";
    card.sleep_log = root + "/sleeps";
    card.scratch_dir = std::string(k_scratch_root) + card.bdf + "/";
    if (mkdir(card.state_dir.c_str(), 0755) != 0 || mkdir(card.work_dir.c_str(), 0755) != 0) die("mkdir state/work");
    return card;
}

void e2e_card_free(const e2e_card_s &card) {
    if (card.state_dir.empty()) return;
    remove_tree(dir_of_temp(card));
    // By its name without the closing slash: a test may have put a link
    // there, which goes, not what it points to.
    remove_tree(std::string(k_scratch_root) + card.bdf);
    if (!card.bdf2.empty()) remove_tree(std::string(k_scratch_root) + card.bdf2);
    // The tool leaves its per-card lock file behind on purpose; the tests' cards are gone.
    for (const std::string &bdf : {card.bdf, card.bdf2}) {
        if (!bdf.empty()) unlink(("/run/lock/flash-update/" + bdf + ".lock").c_str());
    }
}

e2e_result_s e2e_run_command(const e2e_card_s &card, const std::vector<std::string> &args,
                             const e2e_options_s &options) {
    std::vector<std::string> argv = launcher_argv(card, options);
    argv.insert(argv.end(), args.begin(), args.end());
    return spawn(argv, base_env(options, card), options.stdin_text, options.timeout_s + k_grace_s, options.stderr_tty);
}

e2e_result_s e2e_run_argv(const e2e_card_s &card, const std::vector<std::string> &args, const e2e_options_s &options) {
    std::vector<std::string> argv = {e2e_tool_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return e2e_run_command(card, argv, options);
}

e2e_result_s e2e_run(const e2e_card_s &card, const std::vector<std::string> &args, const e2e_options_s &options) {
    std::vector<std::string> argv = args;
    argv.push_back(card.bdf);
    return e2e_run_argv(card, argv, options);
}

e2e_result_s e2e_run_launcher(const std::vector<std::string> &args, unsigned timeout_s) {
    std::vector<std::string> argv = {e2e_launcher_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    e2e_options_s options;
    options.fake_sleep = false;
    e2e_card_s none;
    return spawn(argv, base_env(options, none), "", timeout_s);
}

bool e2e_read_file(const std::string &path, std::string &text) {
    return test_support::read_file(path, text);
}

bool e2e_scratch_read(const e2e_card_s &card, const std::string &name, std::string &text) {
    return e2e_read_file(card.scratch_dir + name, text);
}

bool e2e_scratch_exists(const e2e_card_s &card, const std::string &name) {
    return test_support::file_exists(card.scratch_dir + name);
}

std::string e2e_work_file(const e2e_card_s &card, const std::string &name, const std::vector<uint8_t> &bytes) {
    std::string path = card.work_dir + "/" + name;
    test_support::write_file(path, std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size()));
    return path;
}

std::vector<std::string> e2e_log_lines(const e2e_card_s &card) {
    std::string text;
    if (!e2e_scratch_read(card, "flash-update.log", text)) return {};
    return test_support::split_lines(text);
}

std::vector<std::string> e2e_err_log_lines(const e2e_card_s &card) {
    std::string text;
    if (!e2e_scratch_read(card, "flash-update-err.log", text)) return {};
    return test_support::split_lines(text);
}

std::vector<std::string> e2e_log_messages(const e2e_card_s &card) {
    // "%L [%Q %Y-%m-%d %H:%M:%S.%f] (%t) %v"
    std::vector<std::string> messages;
    for (const std::string &line : e2e_log_lines(card)) {
        size_t close = line.find("] (");
        if (close == std::string::npos) continue;
        size_t end = line.find(") ", close + 3);
        if (end == std::string::npos) continue;
        messages.push_back(line.substr(end + 2));
    }
    return messages;
}

bool e2e_log_contains(const e2e_card_s &card, const std::string &text) {
    for (const std::string &m : e2e_log_messages(card))
        if (m.find(text) != std::string::npos) return true;
    return false;
}

std::vector<e2e_request_s> e2e_requests(const e2e_card_s &card) {
    // "<endpoint> 0x<msg hex> <hex of the request bytes>"
    std::vector<e2e_request_s> requests;
    std::string text;
    if (!e2e_read_file(card.state_dir + "/requests.log", text)) return requests;
    for (const std::string &line : test_support::split_lines(text)) {
        std::istringstream in(line);
        std::string ep, msg, hex;
        if (!(in >> ep >> msg)) continue;
        in >> hex;
        e2e_request_s r;
        r.endpoint = static_cast<uint32_t>(std::strtoul(ep.c_str(), nullptr, 10));
        r.msg = static_cast<uint32_t>(std::strtoul(msg.c_str(), nullptr, 16));
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            r.bytes.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
        requests.push_back(std::move(r));
    }
    return requests;
}

void e2e_clear_records(const e2e_card_s &card) {
    unlink((card.state_dir + "/requests.log").c_str());
    unlink(card.sleep_log.c_str());
}

std::vector<unsigned> e2e_sleeps(const e2e_card_s &card) {
    std::vector<unsigned> sleeps;
    std::string text;
    if (!e2e_read_file(card.sleep_log, text)) return sleeps;
    for (const std::string &line : test_support::split_lines(text))
        if (!line.empty()) sleeps.push_back(static_cast<unsigned>(std::strtoul(line.c_str(), nullptr, 10)));
    return sleeps;
}

double e2e_slept_s(const e2e_card_s &card) {
    double total = 0;
    std::string text;
    if (!e2e_read_file(card.sleep_log, text)) return total;
    for (const std::string &line : test_support::split_lines(text))
        total += std::strtod(line.c_str(), nullptr);
    return total;
}

std::string e2e_hex(const std::vector<uint8_t> &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

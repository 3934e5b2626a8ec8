// SPDX-License-Identifier: Apache-2.0
// flash-update-vcard: runs a command against the virtual card.
//
// The card's sysfs and device nodes live in a umockdev testbed served by this
// process; the command runs as a child under the umockdev preload library,
// which redirects its /sys and /dev into the testbed. The launcher ends as the
// command did: with its exit status, or killed by the signal that killed it
// (124 after --timeout). SIGINT, SIGTERM and SIGHUP go on to the command.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "card_address.h"
#include "fe_io.h"
#include "fwupdate_msgs.h"
#include "timing.h"
#include "vcard_bed.h"
#include "vcard_service.h"
#include "vcard_twin.h"
#include "fu_vocabulary.h"

namespace {

const char *const k_preload = "libumockdev-preload.so.0";
const char *const k_misc_preload = "libfu-vcard-misc.so";
const char *const k_scratch_root = FU_SCRATCH_DIR;
constexpr int k_exit_timeout = 124;
constexpr int k_exit_usage = 2;
// The testbed's handler sockets live under TMPDIR; their paths must fit a
// socket address (107 characters), so a long TMPDIR is not used for it.
constexpr size_t k_tmpdir_max = 40;
// A testbed is some hundred small files made and removed per run: on tmpfs
// that costs milliseconds, on a busy disk a good part of a second.
const char *const k_fast_tmp = "/dev/shm";

void usage(FILE *out, const char *prog) {
    std::fprintf(out,
                 "Usage: %s [options] [--] COMMAND [ARGS...]\n"
                 "       %s serve [options]\n"
                 "       %s keys DIR\n"
                 "\n"
                 "Runs COMMAND against a virtual card: its PCI functions in sysfs, the vela_ipc\n"
                 "misc node and the kvc_core fwctl node, emulated with umockdev and answered by\n"
                 "the card's firmware update service model.\n"
                 "\n"
                 "Ends as COMMAND ended: with its exit status, or, when signal n killed\n"
                 "COMMAND, killed by n itself (a shell's $? is 128+n either way; a wait status\n"
                 "tells an exit with 130 from death by SIGINT); 124 when --timeout killed it.\n"
                 "SIGINT, SIGTERM and SIGHUP to the launcher go on to COMMAND (one the terminal\n"
                 "sent to the whole process group is not sent again). COMMAND starts with every\n"
                 "signal at its default action and none blocked, SIGPIPE included.\n"
                 "\n"
                 "  serve      keep the card up and print the environment that reaches it:\n"
                 "               %s serve > /tmp/vcard.env &\n"
                 "               . /tmp/vcard.env; flash-update --get-card-info 0000:03:00.0\n"
                 "             stop it with kill %%1 (SIGTERM or SIGINT).\n"
                 "  keys DIR   write the card's public key files (<name>_key-pub.pem) into DIR\n"
                 "             (flash-update reads them from /etc/orv/korvex/larch/fwkeys).\n"
                 "\n"
                 "Options:\n"
                 "  --state DIR        the card's state (flash contents, requests.log); default\n"
                 "                     $XDG_STATE_HOME/flash-update-vcard/<bdf> or\n"
                 "                     ~/.local/state/flash-update-vcard/<bdf>; card n >= 2 of\n"
                 "                     --cards uses DIR/card<n>\n"
                 "  --bdf BDF          the card's PCI address (default 0000:03:00.0)\n"
                 "  --no-misc          the card has no misc node: only fwctl reaches it\n"
                 "  --cards N          N cards, card n at the first card's bus + 0x10*(n-1)\n"
                 "  --erase-polls N    answers 'erase in progress' N times before an erase ends\n"
                 "  --verify-polls N   answers 'verify in progress' N times before a verify ends\n"
                 "  --erase-ms-per-mib N\n"
                 "                     an erase takes N milliseconds per MiB erased: 'erase in\n"
                 "                     progress' until that long after the request started it\n"
                 "  --checksum-ms-per-mib N\n"
                 "                     a checksum or startup verification takes N milliseconds\n"
                 "                     per MiB digested, answering 'verify in progress' meanwhile\n"
                 "  --write-us N       each write exchange takes at least N microseconds (from\n"
                 "                     the write before's answer when it follows at once)\n"
                 "  --timing FILE      each card takes the pace of its card in FILE, a flashctl\n"
                 "                     journal (history.jsonl): its erase, write and checksum\n"
                 "                     seconds per MiB (with --twin, of the card it is a twin\n"
                 "                     of), or flashctl's defaults for a card FILE has no\n"
                 "                     lines of; --erase-ms-per-mib, --checksum-ms-per-mib\n"
                 "                     and --write-us given as well win\n"
                 "  --time-scale F     the timed waits take F of their time (0 < F <= 1); at\n"
                 "                     the end a line per card says the time the run stands for\n"
                 "  --ipc-version N    card-info layout version the card reports\n"
                 "  --fault SPEC       make the card misbehave (repeatable). SPEC is\n"
                 "                     MSG[@N]:KIND[=VALUE]: MSG a message number, short name\n"
                 "                     (erase, write, checksum, card-info, ...) or '*'; @N only\n"
                 "                     its N-th call; KIND e.g. status-word=V, status=V,\n"
                 "                     no-answer, short, oversize, bad-magic, delay=MS\n"
                 "                     (the full list is in the card's fault table)\n"
                 "  --timeout SEC      kill COMMAND with SIGKILL after SEC seconds\n"
                 "  --twin FILE        first make the cards twins of the cards that answered in\n"
                 "                     FILE, a 'flashctl inventory --json' document: their\n"
                 "                     partition versions, running/startup image and secure\n"
                 "                     state. The state folders must not hold a card yet.\n"
                 "                     --cards defaults to the number of cards; give later\n"
                 "                     runs the same --cards and --bdf\n"
                 "  -h, --help         this text\n"
                 "\n"
                 "flash-update needs /tmp/korvex/ for its logs; it is created when missing.\n",
                 prog, prog, prog, prog);
}

struct launcher_opts_s {
    vcard_bed_options_s bed;
    bool state_given = false;
    bool cards_given = false;
    long timeout_s = 0;
    std::string twin;  // inventory document the cards are made twins of
    std::vector<std::string> twin_addresses;  // its cards that answered, as twin_cards read them
    std::string timing;  // journal the cards take their pace from
    bool time_scale_given = false;
    bool erase_ms_given = false;
    bool checksum_ms_given = false;
    bool write_us_given = false;
};

// --time-scale: a number above 0 and at most 1.
bool parse_scale(const char *text, double &value) {
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(v) || !(v > 0) || v > 1) return false;
    value = v;
    return true;
}

bool parse_unsigned(const char *text, unsigned long max, unsigned long &value) {
    char *end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || v > max) return false;
    value = v;
    return true;
}

// Parses the options; returns the index of the first non-option argument,
// -1 after an error (message printed), -2 after --help.
int parse_options(int argc, char **argv, launcher_opts_s &o) {
    enum {
        OPT_STATE = 1000,
        OPT_BDF,
        OPT_NO_MISC,
        OPT_CARDS,
        OPT_ERASE_POLLS,
        OPT_VERIFY_POLLS,
        OPT_ERASE_MS,
        OPT_CHECKSUM_MS,
        OPT_WRITE_US,
        OPT_IPC_VERSION,
        OPT_FAULT,
        OPT_TIMEOUT,
        OPT_TWIN,
        OPT_TIMING,
        OPT_TIME_SCALE
    };
    static const option k_options[] = {
        {"state", required_argument, nullptr, OPT_STATE},
        {"bdf", required_argument, nullptr, OPT_BDF},
        {"no-misc", no_argument, nullptr, OPT_NO_MISC},
        {"cards", required_argument, nullptr, OPT_CARDS},
        {"erase-polls", required_argument, nullptr, OPT_ERASE_POLLS},
        {"verify-polls", required_argument, nullptr, OPT_VERIFY_POLLS},
        {"erase-ms-per-mib", required_argument, nullptr, OPT_ERASE_MS},
        {"checksum-ms-per-mib", required_argument, nullptr, OPT_CHECKSUM_MS},
        {"write-us", required_argument, nullptr, OPT_WRITE_US},
        {"ipc-version", required_argument, nullptr, OPT_IPC_VERSION},
        {"fault", required_argument, nullptr, OPT_FAULT},
        {"timeout", required_argument, nullptr, OPT_TIMEOUT},
        {"twin", required_argument, nullptr, OPT_TWIN},
        {"timing", required_argument, nullptr, OPT_TIMING},
        {"time-scale", required_argument, nullptr, OPT_TIME_SCALE},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    optind = 1;
    for (;;) {
        int c = getopt_long(argc, argv, "+h", k_options, nullptr);
        if (c == -1) break;
        unsigned long v = 0;
        switch (c) {
            case OPT_STATE:
                o.bed.state_dir = optarg;
                o.state_given = true;
                break;
            case OPT_BDF:
                if (!card_address_valid(optarg)) {
                    std::fprintf(stderr, "flash-update-vcard: --bdf %s is not dddd:bb:dd.f\n", optarg);
                    return -1;
                }
                o.bed.bdf = optarg;
                break;
            case OPT_NO_MISC:
                o.bed.no_misc = true;
                break;
            case OPT_CARDS:
                if (!parse_unsigned(optarg, 8, v) || v == 0) {
                    std::fprintf(stderr, "flash-update-vcard: --cards takes 1 to 8\n");
                    return -1;
                }
                o.bed.cards = static_cast<unsigned>(v);
                o.cards_given = true;
                break;
            case OPT_ERASE_POLLS:
            case OPT_VERIFY_POLLS:
                if (!parse_unsigned(optarg, 1000000, v)) {
                    std::fprintf(stderr, "flash-update-vcard: %s takes a count\n", argv[optind - 1]);
                    return -1;
                }
                (c == OPT_ERASE_POLLS ? o.bed.service.erase_polls : o.bed.service.verify_polls) =
                    static_cast<unsigned>(v);
                break;
            case OPT_ERASE_MS:
            case OPT_CHECKSUM_MS:
            case OPT_WRITE_US:
                if (!parse_unsigned(optarg, 1000000, v)) {
                    std::fprintf(stderr, "flash-update-vcard: %s takes 0 to 1000000\n", argv[optind - 1]);
                    return -1;
                }
                (c == OPT_ERASE_MS      ? o.bed.service.erase_ms_per_mib
                 : c == OPT_CHECKSUM_MS ? o.bed.service.checksum_ms_per_mib
                                        : o.bed.service.write_us) = static_cast<unsigned>(v);
                (c == OPT_ERASE_MS ? o.erase_ms_given : c == OPT_CHECKSUM_MS ? o.checksum_ms_given : o.write_us_given) =
                    true;
                break;
            case OPT_IPC_VERSION:
                if (!parse_unsigned(optarg, 255, v)) {
                    std::fprintf(stderr, "flash-update-vcard: --ipc-version takes 0 to 255\n");
                    return -1;
                }
                o.bed.service.fwupdate_ipc_version = static_cast<int>(v);
                break;
            case OPT_FAULT:
                o.bed.service.faults.push_back(optarg);
                break;
            case OPT_TIMEOUT:
                if (!parse_unsigned(optarg, 86400, v) || v == 0) {
                    std::fprintf(stderr, "flash-update-vcard: --timeout takes 1 to 86400 seconds\n");
                    return -1;
                }
                o.timeout_s = static_cast<long>(v);
                break;
            case OPT_TWIN:
                o.twin = optarg;
                break;
            case OPT_TIMING:
                o.timing = optarg;
                break;
            case OPT_TIME_SCALE:
                if (!parse_scale(optarg, o.bed.service.time_scale)) {
                    std::fprintf(stderr,
                                 "flash-update-vcard: --time-scale takes a number above 0 and at most 1 (0.1: ten "
                                 "times faster), not '%s'\n",
                                 optarg);
                    return -1;
                }
                o.time_scale_given = true;
                break;
            case 'h':
                return -2;
            default:
                return -1;
        }
    }
    return optind;
}

std::string testbed_tmpdir(const char *tmpdir) {
    struct stat st {};
    if (stat(k_fast_tmp, &st) == 0 && S_ISDIR(st.st_mode) && access(k_fast_tmp, W_OK | X_OK) == 0) return k_fast_tmp;
    if (tmpdir != nullptr && tmpdir[0] == '/' && std::strlen(tmpdir) <= k_tmpdir_max) return tmpdir;
    return "/tmp";
}

std::string default_state_dir(const std::string &bdf) {
    const char *xdg = std::getenv("XDG_STATE_HOME");
    if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/flash-update-vcard/" + bdf;
    const char *home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/flash-update-vcard/" + bdf;
    return "/tmp/flash-update-vcard-" + std::to_string(getuid()) + "/" + bdf;
}

bool make_dirs(const std::string &path, mode_t mode) {
    std::string failed;
    if (!vcard_make_dirs(path, mode, &failed)) {
        std::fprintf(stderr, "flash-update-vcard: cannot create %s: %s\n", failed.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

// flash-update writes its logs into /tmp/korvex/<bdf>/ and creates only the
// last level itself.
void ensure_scratch_root() {
    struct stat st {};
    if (stat(k_scratch_root, &st) == 0) return;
    if (mkdir(k_scratch_root, 0755) == 0)
        chmod(k_scratch_root, 0755);
    else if (errno != EEXIST)
        std::fprintf(stderr, "flash-update-vcard: cannot create %s: %s\n", k_scratch_root, std::strerror(errno));
}

// The misc nodes' direct channel in the command (misc_preload.cc), built
// beside the launcher; empty when it is not there, and the nodes are then
// served through umockdev alone.
std::string misc_preload_path() {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return "";
    std::string path(exe, static_cast<size_t>(n));
    path = path.substr(0, path.rfind('/') + 1) + k_misc_preload;
    return access(path.c_str(), R_OK) == 0 ? path : "";
}

// The preload libraries must be loaded when the command starts: the misc
// channel's in front of umockdev's, whose write and read it answers for the
// misc nodes. An AddressSanitizer runtime already preloaded must stay first;
// anything else preloaded (a test's shim) follows.
std::string child_preload(bool misc_channel) {
    std::vector<std::string> asan, rest;
    const char *old = std::getenv("LD_PRELOAD");
    if (old != nullptr) {
        std::string text = old;
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find_first_of(": ", start);
            if (end == std::string::npos) end = text.size();
            std::string entry = text.substr(start, end - start);
            if (!entry.empty() && entry.find("libumockdev-preload") == std::string::npos &&
                entry.find(k_misc_preload) == std::string::npos) {
                if (entry.find("libasan") != std::string::npos || entry.find("clang_rt.asan") != std::string::npos)
                    asan.push_back(entry);
                else
                    rest.push_back(entry);
            }
            start = end + 1;
        }
    }
    std::string out;
    for (const std::string &e : asan)
        out += e + ":";
    const std::string channel = misc_channel ? misc_preload_path() : "";
    if (!channel.empty()) out += channel + ":";
    out += k_preload;
    for (const std::string &e : rest)
        out += ":" + e;
    return out;
}

// The serve mode's environment reaches the card through umockdev alone: a
// shell that sources it may outlive or never meet the launcher's channel.
std::vector<std::pair<std::string, std::string>> child_env(bool misc_channel) {
    std::vector<std::pair<std::string, std::string>> env = {{"LD_PRELOAD", child_preload(misc_channel)}};
#if defined(__SANITIZE_ADDRESS__)
    // This launcher is an AddressSanitizer build, and so is the flash-update
    // beside it: its runtime cannot come first with the preload in front.
    const char *asan = std::getenv("ASAN_OPTIONS");
    std::string opts = asan != nullptr ? asan : "";
    if (opts.find("verify_asan_link_order") == std::string::npos) {
        if (!opts.empty()) opts += ":";
        opts += "verify_asan_link_order=0";
        env.emplace_back("ASAN_OPTIONS", opts);
    }
#endif
    return env;
}

// The command's environment: the launcher's, with the testbed's overrides
// and TMPDIR as the launcher found it. Built as a list for execve, never by
// changing the launcher's own environment: umockdev's worker thread and the
// misc channel's threads run by then, and setenv beside a getenv in another
// thread reads a freed array.
std::vector<std::string> child_environment(const char *tmpdir) {
    std::vector<std::pair<std::string, std::string>> overrides = child_env(true);
    overrides.emplace_back("TMPDIR", tmpdir != nullptr ? tmpdir : "");
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; e++) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto &o : overrides)
            replaced = replaced || o.first == name;
        if (!replaced) env.push_back(entry);
    }
    for (const auto &[name, value] : overrides)
        if (name != "TMPDIR" || tmpdir != nullptr) env.push_back(name + "=" + value);
    return env;
}

int pidfd_open_child(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// How the command ended: its exit status, or the signal that killed it.
struct child_end_s {
    int status = 1;
    int signal = 0;
};

child_end_s end_of(int wstatus) {
    child_end_s end;
    if (WIFEXITED(wstatus)) end.status = WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) {
        end.signal = WTERMSIG(wstatus);
        end.status = 128 + end.signal;
    }
    return end;
}

// The command starts as from a login shell, whatever the launcher inherited
// or its libraries changed: every signal at its default action (an ignored
// SIGPIPE would turn a closed reader into write errors) and none blocked.
void reset_signals_for_exec() {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int s = 1; s < NSIG; s++)
        if (s != SIGKILL && s != SIGSTOP) sigaction(s, &dfl, nullptr);  // the C library's own refuse: fine
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// A stop signal the kernel sent (the terminal's ^C, a hang-up) went to the
// whole process group: a command still in the launcher's group has it
// already. Anything else (kill from another process) is passed on.
bool forward_stop(const signalfd_siginfo &si, pid_t pid) {
    return si.ssi_code != SI_KERNEL || getpgid(pid) != getpgrp();
}

// Runs the command and waits for it. A stop signal to the launcher goes on to
// the command as it is; only the deadline kills it.
child_end_s run_child(char **argv, const std::vector<std::string> &environment, int sig_fd, long timeout_s) {
    std::vector<char *> envp;
    for (const std::string &e : environment)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        std::fprintf(stderr, "flash-update-vcard: fork: %s\n", std::strerror(errno));
        return {};
    }
    if (pid == 0) {
        reset_signals_for_exec();
        // umockdev's preload sleeps for 0 µs after each call it emulates, to
        // let signals held during the call in; with the default timer slack
        // of 50 µs that sleep alone costs some 50 to 100 µs per call. The
        // slack is inherited by the command and whatever it starts.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        execvpe(argv[0], argv, envp.data());
        std::fprintf(stderr, "flash-update-vcard: cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    int pid_fd = pidfd_open_child(pid);
    const int64_t start_ns = fe_monotonic_ns();
    for (;;) {
        int wstatus = 0;
        pid_t done = waitpid(pid, &wstatus, WNOHANG);
        if (done == pid) {
            if (pid_fd >= 0) close(pid_fd);
            return end_of(wstatus);
        }
        int wait_ms = -1;
        if (timeout_s > 0) {
            const long elapsed_ms = static_cast<long>((fe_monotonic_ns() - start_ns) / 1'000'000);
            long left = timeout_s * 1000 - elapsed_ms;
            if (left <= 0) {
                // An emulated read blocks signals: only SIGKILL ends it.
                kill(pid, SIGKILL);
                waitpid(pid, &wstatus, 0);
                if (pid_fd >= 0) close(pid_fd);
                std::fprintf(stderr, "flash-update-vcard: %s killed after %ld s\n", argv[0], timeout_s);
                return {k_exit_timeout, 0};
            }
            wait_ms = static_cast<int>(left);
        }
        if (pid_fd < 0 && (wait_ms < 0 || wait_ms > 10)) wait_ms = 10;  // no pidfd: poll the child
        struct pollfd fds[2] = {{pid_fd, POLLIN, 0}, {sig_fd, POLLIN, 0}};
        int n = poll(fds, 2, wait_ms);
        if (n > 0 && (fds[1].revents & POLLIN) != 0) {
            signalfd_siginfo si{};
            if (read(sig_fd, &si, sizeof si) == static_cast<ssize_t>(sizeof si) && forward_stop(si, pid))
                kill(pid, static_cast<int>(si.ssi_signo));
        }
    }
}

// Ends the launcher the way the command ended, so that its own parent sees
// a command killed by signal n as killed by n, never as an exit with 128+n.
// Core dumps are off first: the command's core, if any, is the command's.
[[noreturn]] void die_like(int signo) {
    struct rlimit none {};
    setrlimit(RLIMIT_CORE, &none);
    std::fflush(stdout);
    std::fflush(stderr);
    signal(signo, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(signo);
    _exit(128 + signo);  // a signal whose default action is not to end the process
}

// The card count a twin takes from its inventory unless --cards names it.
bool twin_cards(launcher_opts_s &o) {
    std::vector<std::string> &addresses = o.twin_addresses;
    std::string err;
    if (!vcard_twin_cards(o.twin, addresses, err)) {
        std::fprintf(stderr, "flash-update-vcard: --twin: %s\n", err.c_str());
        return false;
    }
    if (addresses.empty() || addresses.size() > 8) {
        std::fprintf(stderr, "flash-update-vcard: --twin: %s has %zu cards that answered; twins are made of 1 to 8\n",
                     o.twin.c_str(), addresses.size());
        return false;
    }
    if (!o.cards_given) o.bed.cards = static_cast<unsigned>(addresses.size());
    return true;
}

bool make_twins(const launcher_opts_s &o) {
    std::vector<std::string> dirs = {o.bed.state_dir};
    for (unsigned n = 2; n <= o.bed.cards; n++)
        dirs.push_back(o.bed.state_dir + "/card" + std::to_string(n));
    std::string err;
    if (!vcard_twin_create(o.twin, dirs, err)) {
        std::fprintf(stderr, "flash-update-vcard: --twin: %s\n", err.c_str());
        return false;
    }
    return true;
}

// The timed options of a card at a pace of seconds per MiB, as the launcher's
// options count them: milliseconds per MiB, microseconds per write exchange.
unsigned ms_per_mib(double s_per_mib) {
    return static_cast<unsigned>(std::min(1e6, std::lround(s_per_mib * 1000.0) * 1.0));
}
unsigned us_per_write(double s_per_mib) {
    return static_cast<unsigned>(
        std::min(1e6, std::lround(s_per_mib * 1e6 * static_cast<double>(FLASH_WRITE_CHUNK_SIZE) / (1024.0 * 1024.0)) *
                          1.0));
}

// --timing: each card's pace from the journal, by the address of the card it
// stands for (the inventory's with --twin, its own otherwise); the timed
// options given on the command line win. Says each card's pace on standard
// error.
bool apply_timing(launcher_opts_s &o) {
    struct stat st {};
    if (stat(o.timing.c_str(), &st) != 0) {
        std::fprintf(stderr, "flash-update-vcard: --timing %s: %s\n", o.timing.c_str(), std::strerror(errno));
        return false;
    }
    fc_timing_table_s table;
    std::string err;
    if (!fc_timing_read(o.timing, &table, &err)) {
        std::fprintf(stderr, "flash-update-vcard: --timing: %s\n", err.c_str());
        return false;
    }
    const std::vector<std::string> &originals = o.twin_addresses;
    std::vector<fc_timing_s> paces;
    for (unsigned i = 0; i < o.bed.cards; i++) {
        const std::string bdf = vcard_bed_card_bdf(o.bed.bdf, i);
        const std::string original = i < originals.size() ? originals[i] : bdf;
        const fc_timing_s pace = table.of(original);
        paces.push_back(pace);
        std::fprintf(stderr,
                     "flash-update-vcard: card %s at the pace of %s in %s: erase %.3f, write %.3f, checksum %.3f "
                     "s/MiB (%s)\n",
                     bdf.c_str(), original.c_str(), o.timing.c_str(), pace.erase_s_per_mib, pace.write_s_per_mib,
                     pace.checksum_s_per_mib,
                     pace.transactions > 0 ? ("journal lines: " + std::to_string(pace.transactions)).c_str()
                                           : "no journal lines: the defaults");
    }
    const bool erase_given = o.erase_ms_given, checksum_given = o.checksum_ms_given, write_given = o.write_us_given;
    o.bed.per_card = [paces, erase_given, checksum_given, write_given](unsigned index, vcard_options_s &service) {
        if (index >= paces.size()) return;
        if (!erase_given) service.erase_ms_per_mib = ms_per_mib(paces[index].erase_s_per_mib);
        if (!checksum_given) service.checksum_ms_per_mib = ms_per_mib(paces[index].checksum_s_per_mib);
        if (!write_given) service.write_us = us_per_write(paces[index].write_s_per_mib);
    };
    return true;
}

// "8:00:00" for 28800 seconds.
std::string clock_text(double seconds) {
    const long s = std::lround(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    return text;
}

// After a timed run: per card that was asked anything, its time in the run
// and the time that stands for (its timed waits at their full length).
void report_clocks(const vcard_bed_s *bed, double scale) {
    const std::vector<vcard_bed_card_s> &cards = vcard_bed_cards(bed);
    for (unsigned i = 0; i < cards.size(); i++) {
        const vcard_clock_s c = vcard_bed_clock(bed, i);
        if (c.requests == 0) continue;
        const double span = c.last_answer - c.first_request;
        const double stands_for = span + c.unscaled;
        std::fprintf(stderr, "flash-update-vcard: card %s: %.3f s at time scale %g stands for %.3f s (%s)\n",
                     cards[i].bdf.c_str(), span, scale, stands_for, clock_text(stands_for).c_str());
    }
}

int serve(const vcard_bed_s *bed, int sig_fd) {
    std::printf("export UMOCKDEV_DIR=%s\n", vcard_bed_root(bed).c_str());
    for (const auto &[name, value] : child_env(false))
        std::printf("export %s=%s\n", name.c_str(), value.c_str());
    for (const vcard_bed_card_s &card : vcard_bed_cards(bed)) {
        std::printf("# card %s serial %s: misc %s, fwctl %s, state %s\n", card.bdf.c_str(), card.serial.c_str(),
                    card.misc_node.empty() ? "(none)" : card.misc_node.c_str(), card.fwctl_node.c_str(),
                    card.state_dir.c_str());
    }
    std::fflush(stdout);
    struct pollfd fd = {sig_fd, POLLIN, 0};
    for (;;) {
        if (poll(&fd, 1, -1) > 0) {
            signalfd_siginfo si{};
            if (read(sig_fd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) return 0;
        }
    }
}

}  // namespace

// libcrypto keeps per-thread state for umockdev's worker thread, which the
// launcher never joins; LeakSanitizer builds would report it at exit now and
// then. It is OpenSSL's, not the card's, so it is not a finding.
extern "C" const char *__lsan_default_suppressions() {
    return "leak:libcrypto.so\n";
}
extern "C" const char *__lsan_default_options() {
    return "print_suppressions=0";
}

int main(int argc, char **argv) {
    const char *prog = "flash-update-vcard";
    if (argc >= 2 && std::strcmp(argv[1], "keys") == 0) {
        if (argc != 3) {
            usage(stderr, prog);
            return k_exit_usage;
        }
        if (!make_dirs(argv[2], 0755)) return 1;
        return vcard_write_public_keys(argv[2]) == 0 ? 0 : 1;
    }
    bool serve_mode = argc >= 2 && std::strcmp(argv[1], "serve") == 0;
    launcher_opts_s o;
    int first = parse_options(argc - (serve_mode ? 1 : 0), argv + (serve_mode ? 1 : 0), o);
    if (first == -2) {
        usage(stdout, prog);
        return 0;
    }
    if (first < 0) {
        usage(stderr, prog);
        return k_exit_usage;
    }
    if (serve_mode) first += 1;
    if (serve_mode ? first != argc : first >= argc) {
        usage(stderr, prog);
        return k_exit_usage;
    }
    if (!o.twin.empty() && !twin_cards(o)) return 1;
    if (!o.timing.empty() && !apply_timing(o)) return 1;
    if (!o.state_given) o.bed.state_dir = default_state_dir(o.bed.bdf);
    if (!make_dirs(o.bed.state_dir, 0755)) return 1;
    if (!o.twin.empty() && !make_twins(o)) return 1;
    ensure_scratch_root();

    // Signals that stop the launcher arrive through a descriptor; they are
    // blocked before the testbed starts its thread so that no thread takes them.
    sigset_t stop_set;
    sigemptyset(&stop_set);
    sigaddset(&stop_set, SIGINT);
    sigaddset(&stop_set, SIGTERM);
    sigaddset(&stop_set, SIGHUP);
    sigprocmask(SIG_BLOCK, &stop_set, nullptr);
    // A write's pace is kept by sleeps of some microseconds on the card's
    // threads, which inherit this slack: with the default 50 µs each would
    // overshoot by as much again as a scaled write exchange takes.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    int sig_fd = signalfd(-1, &stop_set, SFD_CLOEXEC);

    // The testbed makes its directory under TMPDIR; the command gets the
    // launcher's own back (child_environment).
    const char *tmpdir = std::getenv("TMPDIR");
    const bool had_tmpdir = tmpdir != nullptr;
    const std::string saved_tmpdir = had_tmpdir ? tmpdir : "";
    setenv("TMPDIR", testbed_tmpdir(tmpdir).c_str(), 1);
    vcard_bed_s *bed = vcard_bed_start(o.bed);
    if (bed == nullptr) return 1;

    child_end_s end;
    if (serve_mode) {
        end.status = serve(bed, sig_fd);
    } else {
        end = run_child(argv + first, child_environment(had_tmpdir ? saved_tmpdir.c_str() : nullptr), sig_fd,
                        o.timeout_s);
    }
    if (o.time_scale_given || !o.timing.empty()) report_clocks(bed, o.bed.service.time_scale);
    vcard_bed_stop(bed);
    if (end.signal != 0) die_like(end.signal);
    return end.status;
}

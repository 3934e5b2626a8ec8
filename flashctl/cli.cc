// flashctl's command line: subcommands with options anywhere, a table of
// options, progress on standard error, the transaction history and the
// metrics file.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <algorithm>

#include "flashctl.h"
#include "journal.h"
#include "prometheus.h"

#ifndef FLASHCTL_VERSION
#define FLASHCTL_VERSION "0"
#endif

using json = doc_json;

namespace {

enum command_e : unsigned {
    CMD_NONE = 0,
    CMD_INVENTORY = 1u << 0,
    CMD_UPDATE = 1u << 1,
    CMD_ROLLBACK = 1u << 2,
    CMD_HISTORY = 1u << 3,
    CMD_ANY = CMD_INVENTORY | CMD_UPDATE | CMD_ROLLBACK | CMD_HISTORY,
};

struct command_def_s {
    const char *name;
    command_e command;
    unsigned min_args;
    unsigned max_args;
    const char *synopsis;
};

const command_def_s k_commands[] = {
    {"inventory", CMD_INVENTORY, 0, 255, "inventory [CARD...] [--prometheus FILE] [--timeout SECONDS]"},
    {"update", CMD_UPDATE, 3, 3,
     "update CARD PARTITION IMAGE [--sha512 HEX] [--activate] [--dry-run] [--allow-running] [--timeout SECONDS]"},
    {"rollback", CMD_ROLLBACK, 1, 1, "rollback CARD [--dry-run] [--timeout SECONDS]"},
    {"history", CMD_HISTORY, 0, 1, "history [CARD] [--verify]"},
};

enum option_e {
    OPT_JSON,
    OPT_PROGRESS,
    OPT_HELP,
    OPT_VERSION,
    OPT_SHA512,
    OPT_ACTIVATE,
    OPT_DRY_RUN,
    OPT_ALLOW_RUNNING,
    OPT_TIMEOUT,
    OPT_HISTORY,
    OPT_PROMETHEUS,
    OPT_VERIFY,
    OPT_COUNT
};

struct option_def_s {
    const char *name;
    bool takes_value;
    unsigned commands;  // which commands take it
};

const option_def_s k_options[OPT_COUNT] = {
    {"json", false, CMD_ANY},
    {"progress", true, CMD_ANY},
    {"help", false, CMD_ANY},
    {"version", false, CMD_ANY},
    {"sha512", true, CMD_UPDATE},
    {"activate", false, CMD_UPDATE},
    {"dry-run", false, CMD_UPDATE | CMD_ROLLBACK},
    {"allow-running", false, CMD_UPDATE},
    {"timeout", true, CMD_INVENTORY | CMD_UPDATE | CMD_ROLLBACK},
    {"history", true, CMD_UPDATE | CMD_HISTORY},
    {"prometheus", true, CMD_INVENTORY},
    {"verify", false, CMD_HISTORY},
};

struct args_s {
    const command_def_s *command = nullptr;
    std::vector<std::string> words;
    bool given[OPT_COUNT] = {};
    std::string value[OPT_COUNT];
};

// false with the reason in *error.
bool parse_args(int argc, char **argv, args_s *args, std::string *error) {
    bool options_end = false;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (options_end || word.size() < 2 || word[0] != '-') {
            positional.push_back(word);
            continue;
        }
        if (word == "--") {
            options_end = true;
            continue;
        }
        if (word == "-h") {
            args->given[OPT_HELP] = true;
            continue;
        }
        if (word.compare(0, 2, "--") != 0) {
            *error = "unknown option '" + word + "'";
            return false;
        }
        const size_t eq = word.find('=');
        const std::string name = word.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
        int found = -1;
        for (int o = 0; o < OPT_COUNT; ++o)
            if (name == k_options[o].name) found = o;
        if (found < 0) {
            *error = "unknown option '--" + name + "'";
            return false;
        }
        if (k_options[found].takes_value) {
            if (eq != std::string::npos) {
                args->value[found] = word.substr(eq + 1);
            } else if (i + 1 < argc && std::string(argv[i + 1]).compare(0, 2, "--") != 0) {
                args->value[found] = argv[++i];
            } else {
                // "--history --json" names no file: the next word is an option.
                *error = "option '--" + name + "' needs a value";
                if (i + 1 < argc) *error += " (use --" + name + "=VALUE for a value that begins with --)";
                return false;
            }
        } else if (eq != std::string::npos) {
            *error = "option '--" + name + "' takes no value";
            return false;
        }
        args->given[found] = true;
    }
    if (args->given[OPT_HELP] || args->given[OPT_VERSION]) return true;
    if (positional.empty()) {
        *error = "no command given";
        return false;
    }
    for (const auto &c : k_commands)
        if (positional[0] == c.name) args->command = &c;
    if (args->command == nullptr) {
        *error = "unknown command '" + positional[0] + "'";
        return false;
    }
    args->words.assign(positional.begin() + 1, positional.end());
    if (args->words.size() < args->command->min_args || args->words.size() > args->command->max_args) {
        *error = std::string("usage: flashctl ") + args->command->synopsis;
        return false;
    }
    for (int o = 0; o < OPT_COUNT; ++o) {
        if (args->given[o] && (k_options[o].commands & args->command->command) == 0) {
            *error = std::string("option '--") + k_options[o].name + "' does not apply to " + args->command->name;
            return false;
        }
    }
    if (args->given[OPT_PROGRESS] && args->value[OPT_PROGRESS] != "json" && args->value[OPT_PROGRESS] != "bar" &&
        args->value[OPT_PROGRESS] != "none") {
        *error = "--progress takes json, bar or none";
        return false;
    }
    return true;
}

void print_help(FILE *out) {
    fprintf(out, "Usage: flashctl COMMAND [ARGUMENT...] [OPTION...]\n\nCommands:\n");
    for (const auto &c : k_commands)
        fprintf(out, "  flashctl %s\n", c.synopsis);
    fprintf(out,
            "\nOptions (anywhere on the line):\n"
            "  --json               one JSON document on standard output (schema version %d)\n"
            "  --progress=MODE      json: JSON lines on standard error; bar: a bar per phase\n"
            "                       (the default on a terminal); none\n"
            "  --sha512 HEX         the image's expected SHA-512 (update)\n"
            "  --activate           select the updated fw slot as the startup image (update)\n"
            "  --dry-run            plan only: read-only requests (update, rollback)\n"
            "  --allow-running      allow overwriting the running image (update)\n"
            "  --timeout SECONDS    deadline of each phase (defaults: erase %u, install %u + %u per MiB,\n"
            "                       checksum %u)\n"
            "  --history FILE       the journal of transactions (default %s)\n"
            "  --verify             check the journal's chain of line hashes (history)\n"
            "  --prometheus FILE    also write node_exporter textfile metrics (inventory)\n"
            "  --help, --version\n"
            "\nExit status: 0 done (changed or not), 1 failed, 2 refused or usage, 3 card busy, 130 interrupted.\n",
            FC_SCHEMA_VERSION, FC_ERASE_DEADLINE_S, FC_INSTALL_DEADLINE_BASE_S, FC_INSTALL_DEADLINE_PER_MIB_S,
            FC_CHECKSUM_DEADLINE_S, FC_HISTORY_FILE);
}

// --- progress ----------------------------------------------------------------

enum progress_mode_e { PROGRESS_NONE, PROGRESS_BAR, PROGRESS_JSON };

struct progress_s {
    FILE *err = nullptr;
    progress_mode_e mode = PROGRESS_NONE;
    uint64_t total = 0;
    double last_emit = -1;
    bool line_open = false;
};
progress_s g_progress;

double monotonic_s() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A write that fails (EPIPE with SIGPIPE ignored, a closed terminal) means
// the reader went away: the run stops at its next safe point.
void progress_flush() {
    if (fflush(g_progress.err) != 0 || ferror(g_progress.err)) {
        clearerr(g_progress.err);
        g_progress.mode = PROGRESS_NONE;
        fc_reader_gone();
    }
}

void progress_emit(uint64_t done, uint64_t total, bool final) {
    const double elapsed = fc_phase_elapsed();
    if (g_progress.mode == PROGRESS_JSON) {
        const json line = {{"phase", g_fc_session.phase}, {"done", done}, {"total", total}, {"elapsed", elapsed}};
        fprintf(g_progress.err, "%s\n", fc_dump(line).c_str());
        progress_flush();
        return;
    }
    constexpr int k_width = 30;
    const int filled =
        total > 0 ? static_cast<int>(k_width * static_cast<double>(done) / static_cast<double>(total)) : 0;
    char bar[k_width + 1];
    for (int i = 0; i < k_width; ++i)
        bar[i] = i < filled ? '#' : '.';
    bar[k_width] = '\0';
    if (total > 0)
        fprintf(g_progress.err, "\r%-16s [%s] %3d%% %6.1f s", g_fc_session.phase, bar,
                static_cast<int>(100.0 * static_cast<double>(done) / static_cast<double>(total)), elapsed);
    else
        fprintf(g_progress.err, "\r%-16s waiting on the card %6.1f s", g_fc_session.phase, elapsed);
    g_progress.line_open = !final;
    if (final) fputc('\n', g_progress.err);
    progress_flush();
}

// Every progress report of the client is also a safe point: the install's
// deadline is checked between chunks here.
void on_progress(void *, const rfc_progress_s &p) {
    fc_check_stop();
    if (g_progress.mode == PROGRESS_NONE) return;
    const double now = monotonic_s();
    switch (p.kind) {
        case RFC_PROGRESS_BEGIN:
            g_progress.total = p.total;
            g_progress.last_emit = now;
            progress_emit(0, p.total, false);
            break;
        case RFC_PROGRESS_UPDATE: {
            const double interval = g_progress.mode == PROGRESS_JSON ? 0.5 : 0.1;
            if (now - g_progress.last_emit < interval) break;
            g_progress.last_emit = now;
            progress_emit(p.done, g_progress.total, false);
            break;
        }
        case RFC_PROGRESS_POLL:
            if (now - g_progress.last_emit < 0.1 && g_progress.mode == PROGRESS_BAR) break;
            g_progress.last_emit = now;
            progress_emit(0, 0, false);
            break;
        case RFC_PROGRESS_END:
            progress_emit(g_progress.total, g_progress.total, true);
            g_progress.total = 0;
            break;
    }
}

void progress_setup(const args_s &args, FILE *err) {
    g_progress = progress_s{};
    g_progress.err = err;
    if (args.given[OPT_PROGRESS]) {
        const std::string &m = args.value[OPT_PROGRESS];
        g_progress.mode = m == "json" ? PROGRESS_JSON : m == "bar" ? PROGRESS_BAR : PROGRESS_NONE;
    } else if (isatty(fileno(err)) == 1) {
        g_progress.mode = PROGRESS_BAR;
    }
    rfc_set_progress_cb(on_progress, nullptr);
}

// --- files -------------------------------------------------------------------

bool write_all(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Temporary file beside the target, synced, then renamed over it: a reader
// (node_exporter) sees the old file or the new one, never a part.
bool write_atomically(const std::string &path, const std::string &text, std::string *error) {
    std::string tmp = path + ".XXXXXX";
    const int fd = mkstemp(tmp.data());
    if (fd < 0) {
        *error = strerror(errno);
        return false;
    }
    bool ok = fchmod(fd, 0644) == 0 && write_all(fd, text) && fsync(fd) == 0;
    if (!ok) *error = strerror(errno);
    close(fd);
    if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
        *error = strerror(errno);
        ok = false;
    }
    if (!ok) unlink(tmp.c_str());
    return ok;
}

// --- commands ------------------------------------------------------------------

struct output_s {
    FILE *out;
    FILE *err;
    bool json;
};

// The command's document (or text) on standard output. A reader that went
// away makes a run that would have succeeded fail: its caller did not get
// the result.
int emit(const output_s &o, const std::string &text, int status) {
    const bool written = fputs(text.c_str(), o.out) >= 0 && fflush(o.out) == 0 && !ferror(o.out);
    return written || status != FC_EXIT_OK ? status : FC_EXIT_FAILED;
}

// Card addresses as sysfs spells them: hex digits in lower case. A word
// that is no address stays as typed, for its refusal to quote.
std::string card_word(const fc_card_ops_s &ops, const std::string &word) {
    std::string lower = word;
    for (char &c : lower)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return ops.address_valid(lower.c_str()) ? lower : word;
}

int fail_usage(const output_s &o, const std::string &message) {
    if (o.json)
        fprintf(o.out, "%s\n", fc_dump(fc_error_json(DOC_ERROR_USAGE, message)).c_str());
    else
        fprintf(o.err, "flashctl: %s\n", message.c_str());
    return FC_EXIT_REFUSED;
}

constexpr const char *k_timeout_usage = "--timeout takes a number of seconds from 1 to 86400";

// false when --timeout is given without a number of seconds in range.
bool parse_timeout(const args_s &args, unsigned *timeout_s) {
    *timeout_s = 0;
    if (!args.given[OPT_TIMEOUT]) return true;
    const std::string &text = args.value[OPT_TIMEOUT];
    // Digits only: strtoul alone would take " 5", "+5" and "-1".
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long t = strtoul(text.c_str(), nullptr, 10);
    if (t == 0 || t > 86400) return false;
    *timeout_s = static_cast<unsigned>(t);
    return true;
}

int run_inventory(const fc_card_ops_s &ops, const args_s &args, const output_s &o) {
    std::vector<std::string> cards;
    for (const std::string &word : args.words.empty() ? ops.list_cards() : args.words) {
        const std::string card = card_word(ops, word);
        // A card named twice is read once: one entry, one set of metrics.
        if (std::find(cards.begin(), cards.end(), card) == cards.end()) cards.push_back(card);
    }
    doc_inventory_s inventory;
    auto finish = [&]() {
        bool any_failed = false;
        for (const doc_card_s &card : inventory.cards)
            any_failed = any_failed || !card.ok;
        if (args.given[OPT_PROMETHEUS]) {
            std::string error;
            if (!write_atomically(args.value[OPT_PROMETHEUS],
                                  flashctl_prometheus_text(inventory, static_cast<long long>(time(nullptr))), &error)) {
                const std::string message = "cannot write " + args.value[OPT_PROMETHEUS] + ": " + error;
                if (o.json) return emit(o, fc_dump(fc_error_json(DOC_ERROR_IO, message)) + "\n", FC_EXIT_FAILED);
                fprintf(o.err, "flashctl: %s\n", message.c_str());
                return FC_EXIT_FAILED;
            }
        }
        return emit(o, o.json ? fc_dump(doc_json(inventory)) + "\n" : fc_inventory_text(inventory),
                    any_failed ? FC_EXIT_FAILED : FC_EXIT_OK);
    };
    unsigned timeout_s = 0;
    if (!parse_timeout(args, &timeout_s)) return fail_usage(o, k_timeout_usage);
    const double deadline = timeout_s > 0 ? timeout_s : FC_PLAN_DEADLINE_S;
    size_t next = 0;
    // A card that stops answering ends the inventory: the cards read so far
    // keep their entries, it and the ones after it get error entries.
    const fc_card_ops_s &watched = fc_watch_begin(ops, [&](fc_abandon_e why) {
        for (size_t i = next; i < cards.size(); ++i) {
            const bool stuck = i == next;
            const std::string message =
                stuck ? (why == FC_ABANDON_STOP ? "stopped while the card did not answer"
                                                : "the card did not answer within " +
                                                      std::to_string(static_cast<long>(deadline)) + " seconds")
                      : "not read: an earlier card did not answer";
            doc_card_s entry;
            entry.card = cards[i];
            entry.error = {stuck ? DOC_ERROR_TIMEOUT : DOC_ERROR_NOT_READ, message};
            inventory.cards.push_back(std::move(entry));
        }
        return finish();
    });
    for (; next < cards.size(); ++next) {
        fc_phase_start(deadline);
        inventory.cards.push_back(fc_inventory_card(watched, cards[next]));
    }
    fc_watch_end();
    return finish();
}

int run_update(const fc_card_ops_s &ops, const args_s &args, const output_s &o) {
    fc_update_request_s req;
    req.card = card_word(ops, args.words[0]);
    req.partition = args.words[1];
    req.image_path = args.words[2];
    req.sha512 = args.value[OPT_SHA512];
    req.activate = args.given[OPT_ACTIVATE];
    req.dry_run = args.given[OPT_DRY_RUN];
    req.allow_running = args.given[OPT_ALLOW_RUNNING];
    if (!parse_timeout(args, &req.timeout_s)) return fail_usage(o, k_timeout_usage);
    if (args.given[OPT_SHA512] && args.value[OPT_SHA512].size() != 2 * RFC_SHA512_LEN)
        return fail_usage(o, "--sha512 takes 128 hexadecimal digits");

    const std::string journal = args.given[OPT_HISTORY] ? args.value[OPT_HISTORY] : FC_HISTORY_FILE;
    req.journal = journal;
    fc_update_report_s rep;
    // Whatever ends the transaction, the card's change is recorded, then
    // reported.
    auto finish = [&]() {
        fc_journal_record(journal, &rep);
        return emit(o, o.json ? fc_dump(doc_json(rep)) + "\n" : fc_update_text(rep), fc_journal_exit_status(rep));
    };
    const fc_card_ops_s &watched = fc_watch_begin(ops, [&](fc_abandon_e why) {
        fc_update_abandon(rep, why);
        return finish();
    });
    fc_update(watched, req, rep);
    fc_watch_end();
    return finish();
}

int run_rollback(const fc_card_ops_s &ops, const args_s &args, const output_s &o) {
    unsigned timeout_s = 0;
    if (!parse_timeout(args, &timeout_s)) return fail_usage(o, k_timeout_usage);
    fc_rollback_report_s rep;
    auto finish = [&]() {
        return emit(o, o.json ? fc_dump(doc_json(rep)) + "\n" : fc_rollback_text(rep), fc_exit_status(rep.result));
    };
    const fc_card_ops_s &watched = fc_watch_begin(ops, [&](fc_abandon_e why) {
        fc_rollback_abandon(rep, why);
        return finish();
    });
    fc_rollback(watched, card_word(ops, args.words[0]), args.given[OPT_DRY_RUN], timeout_s, rep);
    fc_watch_end();
    return finish();
}

int run_history(const args_s &args, const output_s &o) {
    const std::string path = args.given[OPT_HISTORY] ? args.value[OPT_HISTORY] : FC_HISTORY_FILE;
    if (!args.given[OPT_VERIFY])
        return fc_history_list(path, args.words.empty() ? "" : args.words[0], o.json, o.out, o.err);
    if (!args.words.empty()) return fail_usage(o, "--verify checks the whole journal, not one card's lines");
    return fc_history_verify(path, o.json, o.out, o.err);
}

}  // namespace

int fc_main(const fc_card_ops_s &ops, int argc, char **argv, FILE *out, FILE *err) {
    args_s args;
    std::string error;
    bool json_out = false;
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i)
        if (strcmp(argv[i], "--json") == 0) json_out = true;
    const output_s o{out, err, json_out};
    if (!parse_args(argc, argv, &args, &error)) return fail_usage(o, error);
    if (args.given[OPT_HELP]) {
        print_help(out);
        return FC_EXIT_OK;
    }
    if (args.given[OPT_VERSION]) {
        if (json_out)
            fprintf(out, "%s\n",
                    fc_dump(doc_json{{"schema_version", FC_SCHEMA_VERSION}, {"version", FLASHCTL_VERSION}}).c_str());
        else
            fprintf(out, "flashctl %s\n", FLASHCTL_VERSION);
        return FC_EXIT_OK;
    }
    progress_setup(args, err);
    if ((args.command->command & (CMD_UPDATE | CMD_ROLLBACK)) == 0) {
        // Only a transaction has safe points to stop at; the rest end at once.
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
    }
    switch (args.command->command) {
        case CMD_INVENTORY:
            return run_inventory(ops, args, o);
        case CMD_UPDATE:
            return run_update(ops, args, o);
        case CMD_ROLLBACK:
            return run_rollback(ops, args, o);
        default:
            return run_history(args, o);
    }
}

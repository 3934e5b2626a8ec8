// SPDX-License-Identifier: Apache-2.0
// flashctl's command line: subcommands with options anywhere, one table of
// commands and one of options (which command takes what, and the help text),
// progress on standard error and the metrics file.
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <mutex>
#include <sstream>
#include <utility>

#include "fe_io.h"
#include "fe_progress.h"
#include "flashctl.h"
#include "journal.h"
#include "prometheus.h"
#include "release.h"

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
    CMD_PLAN = 1u << 4,
    CMD_APPLY = 1u << 5,
    CMD_CHECK = 1u << 6,
    CMD_BUNDLE = 1u << 7,
    CMD_RELEASE = CMD_PLAN | CMD_APPLY | CMD_CHECK,
    CMD_ANY = CMD_INVENTORY | CMD_UPDATE | CMD_ROLLBACK | CMD_HISTORY | CMD_RELEASE | CMD_BUNDLE,
};

struct command_def_s {
    const char *name;
    command_e command;
    unsigned min_args;
    unsigned max_args;
    const char *arguments;  // as the usage line names them
};

const command_def_s k_commands[] = {
    {"inventory", CMD_INVENTORY, 0, 255, "[CARD...]"},
    {"update", CMD_UPDATE, 3, 3, "CARD PARTITION IMAGE"},
    {"rollback", CMD_ROLLBACK, 1, 1, "CARD"},
    {"history", CMD_HISTORY, 0, 1, "[CARD]"},
    {"plan", CMD_PLAN, 1, 255, "BUNDLE [CARD...]"},
    {"apply", CMD_APPLY, 1, 255, "BUNDLE [CARD...]"},
    {"check", CMD_CHECK, 1, 255, "BUNDLE [CARD...]"},
    {"bundle", CMD_BUNDLE, 1, 3, "create|verify BUNDLE|show BUNDLE|keygen PRIVATE PUBLIC"},
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
    OPT_PROMETHEUS,
    OPT_TIMEOUT,
    OPT_HISTORY,
    OPT_VERIFY,
    OPT_BUNDLE,
    OPT_TRUST,
    OPT_ALLOW_UNSIGNED,
    OPT_ALLOW_SINGLE_SLOT,
    OPT_PLAN,
    OPT_MANIFEST,
    OPT_IMAGES,
    OPT_KEY,
    OPT_OUTPUT,
    OPT_COUNT
};

enum value_e { VALUE_NONE, VALUE_WORD, VALUE_FILE, VALUE_CHOICE };
const char *const k_value_names[] = {"none", "word", "file", "choice"};

struct option_def_s {
    const char *name;
    value_e value;
    const char *value_name;  // how the help and the usage lines call the value
    const char *choices;     // VALUE_CHOICE: the words it takes; "" for the others
    unsigned commands;       // which commands take it
    bool in_usage;           // named in its commands' usage lines
    const char *help;        // {...}: the defaults of help_text()
};

// The manual page's OPTIONS, the bash completion and the Ansible modules are
// checked against this table (flashctl --help --json).
const option_def_s k_options[OPT_COUNT] = {
    {"json", VALUE_NONE, nullptr, "", CMD_ANY, false,
     "one JSON document on standard output (schema version {schema_version})"},
    {"progress", VALUE_CHOICE, "MODE", "json bar none", CMD_ANY, false,
     "json: JSON lines on standard error; bar: a bar per phase (the default on a terminal); none"},
    {"help", VALUE_NONE, nullptr, "", CMD_ANY, false,
     "this text; with --json, the commands and options as a JSON document"},
    {"version", VALUE_NONE, nullptr, "", CMD_ANY, false, "the version; with --json, as a JSON document"},
    {"sha512", VALUE_WORD, "HEX", "", CMD_UPDATE, true, "the image's expected SHA-512"},
    {"activate", VALUE_NONE, nullptr, "", CMD_UPDATE | CMD_APPLY, true,
     "select the updated fw slot as the startup image (apply: once every component verified)"},
    {"dry-run", VALUE_NONE, nullptr, "", CMD_UPDATE | CMD_ROLLBACK, true, "plan only: read-only requests"},
    {"allow-running", VALUE_NONE, nullptr, "", CMD_UPDATE, true, "allow overwriting the running image"},
    {"prometheus", VALUE_FILE, "FILE", "", CMD_INVENTORY | CMD_CHECK, true,
     "also write node_exporter textfile metrics"},
    {"timeout", VALUE_WORD, "SECONDS", "", CMD_INVENTORY | CMD_UPDATE | CMD_ROLLBACK | CMD_RELEASE, true,
     "deadline of each phase (defaults: erase {erase}, install {install} + {install_per_mib} per MiB, checksum "
     "{checksum}; inventory {plan} per card)"},
    {"history", VALUE_FILE, "FILE", "", CMD_UPDATE | CMD_APPLY | CMD_HISTORY | CMD_PLAN, false,
     "the journal of transactions (default {history_file}); plan predicts from it"},
    {"verify", VALUE_NONE, nullptr, "", CMD_HISTORY, true, "check the journal's chain of line hashes"},
    {"bundle", VALUE_FILE, "FILE", "", CMD_INVENTORY, true, "also the release each card complies with"},
    {"trust", VALUE_FILE, "DIR", "", CMD_INVENTORY | CMD_RELEASE | CMD_BUNDLE, false,
     "the trusted public keys of release bundles (default {trust_dir})"},
    {"allow-unsigned", VALUE_NONE, nullptr, "", CMD_INVENTORY | CMD_RELEASE | CMD_BUNDLE, false,
     "accept a bundle without a signature (lab use: recorded in the journal)"},
    {"allow-single-slot", VALUE_NONE, nullptr, "", CMD_PLAN | CMD_APPLY, true,
     "write components into partitions no A/B slot protects"},
    {"plan", VALUE_FILE, "FILE", "", CMD_APPLY, true, "refuse a card that drifted from this plan (plan --json)"},
    {"manifest", VALUE_FILE, "FILE", "", CMD_BUNDLE, true, "bundle create: the manifest"},
    {"images", VALUE_FILE, "DIR", "", CMD_BUNDLE, true, "bundle create: the directory of the images"},
    {"key", VALUE_FILE, "FILE", "", CMD_BUNDLE, true, "bundle create: the private key that signs"},
    {"output", VALUE_FILE, "FILE", "", CMD_BUNDLE, true, "bundle create: the bundle to write (also -o)"},
};

std::string help_text(const option_def_s &o) {
    const std::pair<std::string, std::string> defaults[] = {
        {"{schema_version}", std::to_string(FC_SCHEMA_VERSION)},
        {"{erase}", std::to_string(FC_ERASE_DEADLINE_S)},
        {"{install}", std::to_string(FC_INSTALL_DEADLINE_BASE_S)},
        {"{install_per_mib}", std::to_string(FC_INSTALL_DEADLINE_PER_MIB_S)},
        {"{checksum}", std::to_string(FC_CHECKSUM_DEADLINE_S)},
        {"{plan}", std::to_string(FC_PLAN_DEADLINE_S)},
        {"{history_file}", FC_HISTORY_FILE},
        {"{trust_dir}", BUNDLE_TRUST_DIR},
    };
    std::string text = o.help;
    for (const auto &[name, value] : defaults)
        for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + value.size()))
            text.replace(at, name.size(), value);
    return text;
}

std::vector<std::string> words_of(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

// "--sha512 HEX", "--activate".
std::string option_usage(const option_def_s &o) {
    return std::string("--") + o.name + (o.value != VALUE_NONE ? std::string(" ") + o.value_name : "");
}

// "update CARD PARTITION IMAGE [--sha512 HEX] ...".
std::string usage_line(const command_def_s &c) {
    std::string line = std::string(c.name) + " " + c.arguments;
    for (const option_def_s &o : k_options)
        if (o.in_usage && (o.commands & c.command) != 0) line += " [" + option_usage(o) + "]";
    return line;
}

// "(update, rollback)" for an option that not every command takes.
std::string commands_of(const option_def_s &o) {
    if (o.commands == CMD_ANY) return "";
    std::string names;
    for (const command_def_s &c : k_commands)
        if ((o.commands & c.command) != 0) names += (names.empty() ? "" : ", ") + std::string(c.name);
    return " (" + names + ")";
}

struct args_s {
    const command_def_s *command = nullptr;
    std::vector<std::string> words;
    bool given[OPT_COUNT] = {};
    std::string value[OPT_COUNT];
};

// "json, bar or none".
std::string choice_list(const option_def_s &o) {
    const std::vector<std::string> words = words_of(o.choices);
    std::string list;
    for (size_t i = 0; i < words.size(); ++i)
        list += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
    return list;
}

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
        if (word == "-o" && i + 1 < argc) {
            args->given[OPT_OUTPUT] = true;
            args->value[OPT_OUTPUT] = argv[++i];
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
        if (k_options[found].value != VALUE_NONE) {
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
        *error = "usage: flashctl " + usage_line(*args->command);
        return false;
    }
    for (int o = 0; o < OPT_COUNT; ++o) {
        const option_def_s &def = k_options[o];
        if (!args->given[o]) continue;
        if ((def.commands & args->command->command) == 0) {
            *error = std::string("option '--") + def.name + "' does not apply to " + args->command->name;
            return false;
        }
        const std::vector<std::string> choices = words_of(def.choices);
        if (def.value == VALUE_CHOICE && std::find(choices.begin(), choices.end(), args->value[o]) == choices.end()) {
            *error = std::string("--") + def.name + " takes " + choice_list(def);
            return false;
        }
    }
    return true;
}

// Words of text folded into lines of at most width columns.
std::vector<std::string> folded(const std::string &text, size_t width) {
    std::vector<std::string> lines(1);
    for (const std::string &word : words_of(text)) {
        if (!lines.back().empty() && lines.back().size() + 1 + word.size() > width) lines.emplace_back();
        lines.back() += (lines.back().empty() ? "" : " ") + word;
    }
    return lines;
}

void print_help(FILE *out) {
    constexpr int k_name_column = 20;
    constexpr size_t k_width = 78;
    fprintf(out, "Usage: flashctl COMMAND [ARGUMENT...] [OPTION...]\n\nCommands:\n");
    for (const auto &c : k_commands)
        fprintf(out, "  flashctl %s\n", usage_line(c).c_str());
    fprintf(out, "\nOptions (anywhere on the line):\n");
    for (const option_def_s &o : k_options) {
        const std::vector<std::string> lines = folded(help_text(o) + commands_of(o), k_width - k_name_column - 3);
        for (size_t i = 0; i < lines.size(); ++i)
            fprintf(out, "  %-*s %s\n", k_name_column, i == 0 ? option_usage(o).c_str() : "", lines[i].c_str());
    }
    fprintf(out,
            "\nExit status: 0 done (changed or not), 1 failed, 2 refused or usage, 3 card busy, 130 interrupted.\n");
}

// The same as a document, for programs and for the checks of the manual,
// the completion and the Ansible modules.
json help_document() {
    json commands = json::array();
    for (const command_def_s &c : k_commands) {
        json options = json::array();
        for (const option_def_s &o : k_options)
            if ((o.commands & c.command) != 0) options.push_back(std::string("--") + o.name);
        commands.push_back({{"name", c.name}, {"usage", "flashctl " + usage_line(c)}, {"options", options}});
    }
    json options = json::array();
    for (const option_def_s &o : k_options) {
        json names = json::array();
        for (const command_def_s &c : k_commands)
            if ((o.commands & c.command) != 0) names.push_back(c.name);
        options.push_back({{"name", std::string("--") + o.name},
                           {"value", k_value_names[o.value]},
                           {"value_name", o.value_name != nullptr ? json(o.value_name) : json(nullptr)},
                           {"choices", words_of(o.choices)},
                           {"commands", names},
                           {"help", help_text(o)}});
    }
    return {{"schema_version", FC_SCHEMA_VERSION}, {"commands", commands}, {"options", options}};
}

// --- progress ----------------------------------------------------------------

fe_progress_s g_progress;
// Several cards at once: each card's thread draws its own progress, which
// names the card, on the one descriptor, a drawing at a time.
thread_local fe_progress_s *t_card_progress = nullptr;
std::mutex g_progress_m;
std::string g_progress_screen;  // under g_progress_m

// Every progress report of the client is also a safe point: the install's
// deadline is checked between chunks here. flashctl names its own phases.
void on_progress(void *, const rfc_progress_s &p) {
    fc_check_stop();
    fe_progress_s &progress = t_card_progress != nullptr ? *t_card_progress : g_progress;
    if (progress.style == nullptr) return;  // the thread's own: no lock for nothing to draw
    rfc_progress_s event = p;
    event.phase = g_fc_session.phase;
    std::lock_guard<std::mutex> lk(g_progress_m);
    fe_progress_report(progress, event);
}

// Card's progress on this thread, when several cards run; none for one.
struct card_progress_s {
    fe_progress_s progress;
    card_progress_s(size_t cards, const std::string &card) : progress(g_progress) {
        if (cards < 2) return;
        progress.card = card;
        progress.screen = &g_progress_screen;
        t_card_progress = &progress;
    }
    ~card_progress_s() {
        if (t_card_progress != &progress) return;
        // A line left open (a phase that ended without its end event) ends here.
        std::lock_guard<std::mutex> lk(g_progress_m);
        fe_progress_report(progress, rfc_progress_s{RFC_PROGRESS_END, "", 0, 0, 0});
        t_card_progress = nullptr;
    }
    card_progress_s(const card_progress_s &) = delete;
    card_progress_s &operator=(const card_progress_s &) = delete;
};

// A write that fails (EPIPE with SIGPIPE ignored, a closed terminal) means
// the reader went away: the run stops at its next safe point.
void progress_setup(const args_s &args, FILE *err) {
    g_progress = fe_progress_s{};
    g_progress_screen.clear();
    g_progress.fd = fileno(err);
    g_progress.seconds = fc_phase_elapsed;
    g_progress.reader_gone = fc_reader_gone;
    const std::string &mode = args.value[OPT_PROGRESS];
    if (args.given[OPT_PROGRESS] ? mode == "bar" : isatty(fileno(err)) == 1)
        g_progress.style = &FE_STYLE_FLASHCTL_BAR;
    else if (mode == "json")
        g_progress.style = &FE_STYLE_FLASHCTL_JSON;
    rfc_set_progress_cb(on_progress, nullptr);
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

int fail_bundle(const output_s &o, const bundle_error_s &e);
bundle_options_s bundle_options(const args_s &args);

int run_inventory(const fc_card_ops_s &ops, const args_s &args, const output_s &o) {
    std::vector<std::string> cards;
    for (const std::string &word : args.words.empty() ? ops.list_cards() : args.words) {
        const std::string card = card_word(ops, word);
        // A card named twice is read once: one entry, one set of metrics.
        if (std::find(cards.begin(), cards.end(), card) == cards.end()) cards.push_back(card);
    }
    doc_inventory_s inventory;
    // With --bundle, each card's compliance with that release beside its entry.
    bundle_s bundle;
    if (args.given[OPT_BUNDLE]) {
        bundle_error_s error;
        if (!bundle_open(args.value[OPT_BUNDLE], bundle_options(args), &bundle, &error)) return fail_bundle(o, error);
    }
    std::vector<fc_card_release_s> compliance;
    auto finish = [&]() {
        bool any_failed = false;
        for (const doc_card_s &card : inventory.cards)
            any_failed = any_failed || !card.ok;
        if (args.given[OPT_PROMETHEUS]) {
            std::string error;
            // node_exporter reads the old file or the new one, never a part.
            if (!fe_write_file_atomic(args.value[OPT_PROMETHEUS],
                                      flashctl_prometheus_text(inventory, static_cast<long long>(time(nullptr))), 0644,
                                      &error)) {
                const std::string message = "cannot write " + args.value[OPT_PROMETHEUS] + ": " + error;
                if (o.json) return emit(o, fc_dump(fc_error_json(DOC_ERROR_IO, message)) + "\n", FC_EXIT_FAILED);
                fprintf(o.err, "flashctl: %s\n", message.c_str());
                return FC_EXIT_FAILED;
            }
        }
        doc_json doc = inventory;
        std::string text = fc_inventory_text(inventory);
        for (size_t i = 0; i < compliance.size() && i < inventory.cards.size(); ++i) {
            const char *state = fc_release_state_name(compliance[i].state);
            doc["cards"][i]["release"] = {
                {"name", bundle.manifest.release.name}, {"version", bundle.manifest.release.version}, {"state", state}};
        }
        if (!compliance.empty()) {
            text.clear();
            for (size_t i = 0; i < inventory.cards.size(); ++i) {
                doc_inventory_s one;
                one.cards = {inventory.cards[i]};
                text += fc_inventory_text(one);
                if (i < compliance.size())
                    text += "  release " + fc_visible_text(bundle.manifest.release.name) + " " +
                            fc_visible_text(bundle.manifest.release.version) + ": " +
                            fc_release_state_name(compliance[i].state) + "\n";
            }
        }
        return emit(o, o.json ? fc_dump(doc) + "\n" : text, any_failed ? FC_EXIT_FAILED : FC_EXIT_OK);
    };
    unsigned timeout_s = 0;
    if (!parse_timeout(args, &timeout_s)) return fail_usage(o, k_timeout_usage);
    const double deadline = timeout_s > 0 ? timeout_s : FC_PLAN_DEADLINE_S;
    // Every card is read at once, each on its thread, into its own entry.
    inventory.cards.resize(cards.size());
    if (args.given[OPT_BUNDLE]) compliance.resize(cards.size());
    std::vector<char> entry_read(cards.size(), 0);  // card i's entry stands; its compliance may be under way
    fc_card_run_s run;
    run.run = [&](size_t i, const fc_card_ops_s &watched) {
        card_progress_s progress(cards.size(), cards[i]);
        fc_phase_start(deadline);
        inventory.cards[i] = fc_inventory_card(watched, cards[i]);
        entry_read[i] = 1;
        if (!args.given[OPT_BUNDLE]) return;
        fc_release_request_s req;
        req.timeout_s = timeout_s;
        compliance[i].card = cards[i];
        fc_release_check_card(watched, bundle, req, compliance[i]);
    };
    // A card that stops answering gets an error entry after its deadline;
    // the others keep theirs. One stuck in its compliance check has its
    // entry already.
    run.abandon = [&](size_t i, fc_abandon_e why) {
        if (args.given[OPT_BUNDLE]) compliance[i].state = FC_STATE_UNKNOWN;
        if (entry_read[i]) return;
        doc_card_s entry;
        entry.card = cards[i];
        entry.error = {DOC_ERROR_TIMEOUT, why == FC_ABANDON_STOP
                                              ? "stopped while the card did not answer"
                                              : "the card did not answer within " +
                                                    std::to_string(static_cast<long>(deadline)) + " seconds"};
        inventory.cards[i] = std::move(entry);
    };
    run.not_started = [&](size_t i, const std::string &why) {
        inventory.cards[i].card = cards[i];
        inventory.cards[i].error = {DOC_ERROR_NOT_READ, "not read: " + why};
    };
    run.finish = finish;
    return fc_run_cards(ops, cards.size(), run);
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

// --- releases ----------------------------------------------------------------------

// A refused bundle: the document names the check that refused it; nothing
// reached a card.
int fail_bundle(const output_s &o, const bundle_error_s &e) {
    if (o.json) {
        doc_json doc = fc_error_json(DOC_ERROR_BUNDLE, e.message);
        doc["error"]["check"] = e.check;
        return emit(o, fc_dump(doc) + "\n", FC_EXIT_REFUSED);
    }
    fprintf(o.err, "flashctl: %s\n", e.message.c_str());
    return FC_EXIT_REFUSED;
}

bundle_options_s bundle_options(const args_s &args) {
    bundle_options_s options;
    if (args.given[OPT_TRUST]) options.trust_dir = args.value[OPT_TRUST];
    options.allow_unsigned = args.given[OPT_ALLOW_UNSIGNED];
    return options;
}

std::vector<std::string> cards_of(const fc_card_ops_s &ops, const std::vector<std::string> &words) {
    std::vector<std::string> cards;
    for (const std::string &word : words.empty() ? ops.list_cards() : words) {
        const std::string card = card_word(ops, word);
        if (std::find(cards.begin(), cards.end(), card) == cards.end()) cards.push_back(card);
    }
    return cards;
}

int run_release(const fc_card_ops_s &ops, const args_s &args, const output_s &o) {
    fc_release_request_s req;
    if (!parse_timeout(args, &req.timeout_s)) return fail_usage(o, k_timeout_usage);
    req.activate = args.given[OPT_ACTIVATE];
    req.allow_single_slot = args.given[OPT_ALLOW_SINGLE_SLOT];
    const bool apply = args.command->command == CMD_APPLY;
    const std::string journal = args.given[OPT_HISTORY] ? args.value[OPT_HISTORY] : FC_HISTORY_FILE;
    if (apply) req.journal = journal;
    bundle_s bundle;
    bundle_error_s error;
    // Everything about the bundle is checked before any card is asked.
    if (!bundle_open(args.words[0], bundle_options(args), &bundle, &error)) return fail_bundle(o, error);
    if (args.given[OPT_PLAN]) {
        req.plan_path = args.value[OPT_PLAN];
        std::string text, why;
        if (!doc_read_file(req.plan_path, &text, &why) || !doc_parse_bounded(text, &req.plan, &why))
            return fail_usage(o, "--plan " + req.plan_path + ": " + (text.empty() ? why : "the plan " + why));
        // A plan of another release (or another bundle of it) proves nothing.
        const auto planned = req.plan.is_object() ? req.plan.find("bundle") : req.plan.end();
        const bool same = planned != req.plan.end() && planned->is_object() && planned->contains("manifest_sha256") &&
                          (*planned)["manifest_sha256"] == bundle.manifest_sha256;
        if (!same) return fail_usage(o, "--plan " + req.plan_path + " is the plan of another release");
    }
    // A plan predicts each card's apply at the card's pace in the journal; a
    // journal it cannot read leaves the defaults, and says so.
    fc_timing_table_s timing;
    if (args.command->command == CMD_PLAN) {
        std::string why;
        if (!fc_timing_read(journal, &timing, &why))
            fprintf(o.err, "flashctl: %s: the predictions take the default pace\n", why.c_str());
        req.timing = &timing;
    }
    fc_release_report_s rep;
    rep.command = args.command->name;
    rep.bundle = &bundle;
    for (const std::string &card : cards_of(ops, std::vector<std::string>(args.words.begin() + 1, args.words.end()))) {
        fc_card_release_s c;
        c.card = card;
        rep.cards.push_back(std::move(c));
    }
    // One journal line per card an apply reached, whatever ended it.
    std::vector<char> recorded(rep.cards.size(), 0);
    auto record = [&](size_t i) {
        fc_card_release_s &c = rep.cards[i];
        if (!apply || recorded[i] || c.error.code == DOC_ERROR_INVALID_CARD || c.error.code == DOC_ERROR_NOT_READ ||
            (c.error.code == DOC_ERROR_JOURNAL && !c.changed))
            return;
        recorded[i] = 1;
        std::string why;
        if (fc_journal_append(req.journal, fc_release_history_line(rep, c), &why)) return;
        c.journal_error = "cannot record the transaction in " + req.journal + ": " + why;
        if (c.error.empty()) c.error = {DOC_ERROR_JOURNAL, c.journal_error};
        if (c.changed && fc_exit_status(c.result) == FC_EXIT_OK) c.result = FC_RESULT_FAILED;
    };
    fc_card_run_s run;
    // Every card at once, each on its thread; its journal line as it ends.
    run.run = [&](size_t i, const fc_card_ops_s &watched) {
        fc_card_release_s &c = rep.cards[i];
        card_progress_s progress(rep.cards.size(), c.card);
        // A stop before the card's turn came leaves it alone.
        if (fc_check_stop()) {
            c.error = {DOC_ERROR_NOT_READ, "not reached: the run was stopped"};
            return;
        }
        if (args.command->command == CMD_PLAN)
            fc_release_plan_card(watched, bundle, req, c);
        else if (apply)
            fc_release_apply_card(watched, bundle, req, c);
        else
            fc_release_check_card(watched, bundle, req, c);
        record(i);
    };
    run.abandon = [&](size_t i, fc_abandon_e why) { fc_release_abandon(rep.cards[i], why); };
    run.not_started = [&](size_t i, const std::string &why) {
        rep.cards[i].error = {DOC_ERROR_NOT_READ, "not reached: " + why};
    };
    run.finish = [&]() {
        for (size_t i = 0; i < rep.cards.size(); ++i)
            record(i);
        if (args.given[OPT_PROMETHEUS]) {
            std::string why;
            if (!fe_write_file_atomic(args.value[OPT_PROMETHEUS], fc_release_prometheus_text(rep), 0644, &why)) {
                const std::string message = "cannot write " + args.value[OPT_PROMETHEUS] + ": " + why;
                if (o.json) return emit(o, fc_dump(fc_error_json(DOC_ERROR_IO, message)) + "\n", FC_EXIT_FAILED);
                fprintf(o.err, "flashctl: %s\n", message.c_str());
                return FC_EXIT_FAILED;
            }
        }
        return emit(o, o.json ? fc_dump(fc_release_json(rep)) + "\n" : fc_release_text(rep),
                    fc_release_exit_status(rep));
    };
    return fc_run_cards(ops, rep.cards.size(), run);
}

int run_bundle(const args_s &args, const output_s &o) {
    const std::string &verb = args.words[0];
    bundle_error_s error;
    if (verb == "keygen") {
        if (args.words.size() != 3) return fail_usage(o, "usage: flashctl bundle keygen PRIVATE PUBLIC");
        std::string fingerprint;
        if (!bundle_keygen(args.words[1], args.words[2], &fingerprint, &error)) return fail_bundle(o, error);
        const doc_json doc = {{"schema_version", FC_SCHEMA_VERSION},
                              {"private_key", args.words[1]},
                              {"public_key", args.words[2]},
                              {"fingerprint", fingerprint}};
        return emit(o,
                    o.json ? fc_dump(doc) + "\n"
                           : "key pair " + args.words[1] + ", " + args.words[2] + ": " + fingerprint + "\n",
                    FC_EXIT_OK);
    }
    bundle_s bundle;
    if (verb == "create") {
        if (args.words.size() != 1 || !args.given[OPT_MANIFEST] || !args.given[OPT_IMAGES] || !args.given[OPT_OUTPUT])
            return fail_usage(o, "usage: flashctl bundle create --manifest FILE --images DIR --key FILE -o BUNDLE");
        if (!args.given[OPT_KEY] && !args.given[OPT_ALLOW_UNSIGNED])
            return fail_usage(o, "bundle create signs with --key; --allow-unsigned makes an unsigned bundle");
        if (!bundle_create(args.value[OPT_MANIFEST], args.value[OPT_IMAGES], args.value[OPT_KEY],
                           args.value[OPT_OUTPUT], &error, BUNDLE_FORM_TAR, &bundle))
            return fail_bundle(o, error);
    } else if (verb == "verify" || verb == "show") {
        if (args.words.size() != 2) return fail_usage(o, "usage: flashctl bundle " + verb + " BUNDLE");
        if (!bundle_open(args.words[1], bundle_options(args), &bundle, &error)) return fail_bundle(o, error);
    } else {
        return fail_usage(o, "unknown bundle command '" + verb + "' (create, verify, show, keygen)");
    }
    doc_json doc = {{"schema_version", FC_SCHEMA_VERSION}, {"verified", verb != "create"}};
    doc["bundle"] = bundle_show(bundle);
    std::string text = "bundle " + fc_visible_text(bundle.path) + ": release " +
                       fc_visible_text(bundle.manifest.release.name) + " " +
                       fc_visible_text(bundle.manifest.release.version) + ", signer " + bundle.signer + ", " +
                       std::to_string(bundle.manifest.components.size()) + " components\n";
    if (verb != "verify")
        for (const bundle_component_s &c : bundle.manifest.components)
            text += "  " + fc_visible_text(c.file) + " -> " +
                    doc_dump(c.family ? doc_json(c.target) : doc_json(c.target[0])) + " " + std::to_string(c.size) +
                    " bytes sha512 " + c.sha512.substr(0, 16) + "...\n";
    return emit(o, o.json ? fc_dump(doc) + "\n" : text, FC_EXIT_OK);
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
        if (json_out)
            fprintf(out, "%s\n", fc_dump(help_document()).c_str());
        else
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
    if ((args.command->command & (CMD_UPDATE | CMD_ROLLBACK | CMD_APPLY)) == 0) {
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
        case CMD_PLAN:
        case CMD_APPLY:
        case CMD_CHECK:
            return run_release(ops, args, o);
        case CMD_BUNDLE:
            return run_bundle(args, o);
        default:
            return run_history(args, o);
    }
}

// SPDX-License-Identifier: Apache-2.0
#include "cli_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char **environ;

namespace {

const char *const k_tool_variables[] = {"CRD_BDF", "RFC_TEST_ENV", "NON_PERSISTENT_LOG_DIR", "PERSISTENT_LOG_DIR"};
constexpr const char *k_scratch_root = "/tmp/korvex/";

bool is_tool_variable(const char *entry) {
    for (const char *name : k_tool_variables) {
        const size_t len = strlen(name);
        if (strncmp(entry, name, len) == 0 && entry[len] == '=') {
            return true;
        }
    }
    return false;
}

std::string make_temp_dir() {
    char pattern[] = "/tmp/fu-cli-test-XXXXXX";
    const char *dir = mkdtemp(pattern);
    return dir != nullptr ? dir : "";
}

}  // namespace

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string with_bdf(std::string text, const std::string &bdf) {
    for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + bdf.size())) {
        text.replace(at, 1, bdf);
    }
    const size_t at = text.find('$');
    if (at != std::string::npos) {
        text.replace(at, 1, std::to_string(strtoul(bdf.c_str(), nullptr, 0)));
    }
    return text;
}

std::vector<std::string> with_bdf(std::vector<std::string> args, const std::string &bdf) {
    for (std::string &arg : args) {
        arg = with_bdf(arg, bdf);
    }
    return args;
}

run_result_s run_tool(const std::string &program, const std::vector<std::string> &args,
                      const std::vector<std::pair<std::string, std::string>> &extra_env) {
    run_result_s result;
    const std::string dir = make_temp_dir();
    if (dir.empty()) {
        return result;
    }
    const std::string out_path = dir + "/out";
    const std::string err_path = dir + "/err";

    std::vector<std::string> env_text;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        if (!is_tool_variable(*entry)) {
            env_text.emplace_back(*entry);
        }
    }
    for (const auto &[name, value] : extra_env) {
        env_text.push_back(name + "=" + value);
    }
    std::vector<char *> envp;
    for (std::string &entry : env_text) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    std::vector<std::string> argv_text{program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &arg : argv_text) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // The child starts with every signal at its default, whatever the test runner ignores.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(&attr, &all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned == 0) {
        int wstatus = 0;
        while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(wstatus)) {
            result.status = WEXITSTATUS(wstatus);
        }
        result.out = read_file(out_path);
        result.err = read_file(err_path);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return result;
}

std::string own_bdf(unsigned bus, unsigned function) {
    char text[32];
    snprintf(text, sizeof(text), "%04x:%02x:00.%u", static_cast<unsigned>(getpid()) & 0xffffu, bus & 0xffu,
             function & 7u);
    return text;
}

namespace {

// One record "%L [%Q %Y-%m-%d %H:%M:%S.%f] (%t) %v": the level letter and
// the message; false for anything else (the boot banner).
bool parse_record(const std::string &line, log_line_s &record) {
    if (line.size() < 3 || !isupper(static_cast<unsigned char>(line[0])) || line[1] != ' ' || line[2] != '[') {
        return false;
    }
    const size_t tid = line.find("] (", 3);
    if (tid == std::string::npos) {
        return false;
    }
    size_t at = tid + 3;
    const size_t digits = at;
    while (at < line.size() && isdigit(static_cast<unsigned char>(line[at])))
        ++at;
    if (at == digits || line.compare(at, 2, ") ") != 0) {
        return false;
    }
    record = {line[0], line.substr(at + 2)};
    return true;
}

// "[label:line] ", label in lower case and underscores.
bool is_front_end(const std::string &message) {
    size_t at = 1;
    if (message.empty() || message[0] != '[') return false;
    while (at < message.size() && (islower(static_cast<unsigned char>(message[at])) || message[at] == '_'))
        ++at;
    if (at == 1 || at >= message.size() || message[at] != ':') return false;
    const size_t digits = ++at;
    while (at < message.size() && isdigit(static_cast<unsigned char>(message[at])))
        ++at;
    return at > digits && message.compare(at, 2, "] ") == 0;
}

}  // namespace

std::vector<log_line_s> read_log(const std::string &path) {
    std::vector<log_line_s> lines;
    std::istringstream in(read_file(path));
    std::string line;
    while (std::getline(in, line)) {
        log_line_s record;
        if (parse_record(line, record)) {
            lines.push_back(record);
        }
    }
    return lines;
}

std::vector<log_line_s> front_end_lines(const std::vector<log_line_s> &lines) {
    std::vector<log_line_s> selected;
    for (const log_line_s &line : lines) {
        if (is_front_end(line.message)) {
            selected.push_back(line);
        }
    }
    return selected;
}

card_scratch::card_scratch(std::string bdf) : bdf_(std::move(bdf)) {
    // The tool creates only the per-card level below the shared root.
    mkdir(k_scratch_root, 0755);
    std::error_code ignored;
    std::filesystem::remove_all(dir(), ignored);
}

card_scratch::~card_scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(dir(), ignored);
}

std::string card_scratch::dir() const {
    return std::string(k_scratch_root) + bdf_ + "/";
}
std::string card_scratch::log() const {
    return dir() + "flash-update.log";
}
std::string card_scratch::err_log() const {
    return dir() + "flash-update-err.log";
}

log_dir::log_dir() : path_(make_temp_dir() + "/") {}

log_dir::~log_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::pair<std::string, std::string>> log_dir::env() const {
    return {{"NON_PERSISTENT_LOG_DIR", path_}, {"PERSISTENT_LOG_DIR", path_}};
}

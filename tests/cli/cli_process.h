// SPDX-License-Identifier: Apache-2.0
// Runs a flash-update binary as a child process and reads what it left:
// exit status, standard output and error, and its trace log.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct run_result_s {
    int status = -1;  // exit status, or -1 when the process did not exit normally
    std::string out;
    std::string err;
};

// Runs program with argv[0] = program and the given arguments. The child's
// environment is this process's without the variables the tool reads
// (CRD_BDF, RFC_TEST_ENV and the two log directories), plus extra_env.
run_result_s run_tool(const std::string &program, const std::vector<std::string> &args,
                      const std::vector<std::pair<std::string, std::string>> &extra_env = {});

// A card address of this process's own: the PCI domain comes from the pid so
// that parallel runs never share a scratch directory.
std::string own_bdf(unsigned bus, unsigned function = 0);

struct log_line_s {
    char level;           // 'I', 'E', 'D', ...
    std::string message;  // the text after the thread id
};

// The trace records of a log file in order; banner lines are left out.
std::vector<log_line_s> read_log(const std::string &path);
// Front-end records only: messages that begin with "[label:line] ".
std::vector<log_line_s> front_end_lines(const std::vector<log_line_s> &lines);

std::string read_file(const std::string &path);

// In argument lists and expected texts "@" stands for the card address of the
// run and "$" for that address read as a size (strtoul, base 0: the digits of
// the domain up to the first one outside its base).
std::string with_bdf(std::string text, const std::string &bdf);
std::vector<std::string> with_bdf(std::vector<std::string> args, const std::string &bdf);

// /tmp/korvex/<bdf>/, removed again when the guard ends.
class card_scratch {
  public:
    explicit card_scratch(std::string bdf);
    ~card_scratch();
    card_scratch(const card_scratch &) = delete;
    card_scratch &operator=(const card_scratch &) = delete;
    const std::string &bdf() const { return bdf_; }
    std::string dir() const;
    std::string log() const;
    std::string err_log() const;

  private:
    std::string bdf_;
};

// A private directory for the logs of runs without a card address (passed
// as NON_PERSISTENT_LOG_DIR and PERSISTENT_LOG_DIR, with a trailing slash).
class log_dir {
  public:
    log_dir();
    ~log_dir();
    log_dir(const log_dir &) = delete;
    log_dir &operator=(const log_dir &) = delete;
    const std::string &path() const { return path_; }  // ends in '/'
    std::vector<std::pair<std::string, std::string>> env() const;
    std::string log() const { return path_ + "flash-update.log"; }

  private:
    std::string path_;
};

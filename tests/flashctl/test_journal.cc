// SPDX-License-Identifier: Apache-2.0
// The journal in-process: the exact bytes an append leaves, the chain of
// "prev" hashes and what --verify makes of edits and cuts, what history
// skips, the paths it refuses, and an append that fails.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "journal.h"
#include "test_support.h"
#include "timing.h"

using nlohmann::json;
using test_support::file_text;
using test_support::split_lines;
using test_support::write_file;

namespace {

using Strings = std::vector<std::string>;

// A document as plain JSON, to compare whatever the order of its members.
template <typename T>
json as_json(const T &record) {
    return json::parse(fc_dump(doc_json(record)));
}

const std::string k_zeros(64, '0');
const std::string k_sha256_abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

std::string sha256(const std::string &text) {
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EXPECT_EQ(EVP_Digest(text.data(), text.size(), digest, &len, EVP_sha256(), nullptr), 1);
    std::string hex;
    char pair[3];
    for (unsigned i = 0; i < len; ++i) {
        snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

struct printed_s {
    int status = -1;
    std::string out;
    std::string err;
};

// A command's exit status and what it wrote on each stream.
printed_s run(const std::function<int(FILE *, FILE *)> &command) {
    char *out = nullptr;
    char *err = nullptr;
    size_t out_len = 0;
    size_t err_len = 0;
    FILE *o = open_memstream(&out, &out_len);
    FILE *e = open_memstream(&err, &err_len);
    printed_s p;
    p.status = command(o, e);
    fclose(o);
    fclose(e);
    p.out.assign(out, out_len);
    p.err.assign(err, err_len);
    free(out);
    free(err);
    return p;
}

printed_s verify(const std::string &path, bool json_out = true) {
    return run([&](FILE *o, FILE *e) { return fc_history_verify(path, json_out, o, e); });
}

printed_s history(const std::string &path, const std::string &card = "", bool json_out = true) {
    return run([&](FILE *o, FILE *e) { return fc_history_list(path, card, json_out, o, e); });
}

class Journal : public testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(dir_.path.empty()); }
    test_support::temp_dir dir_{"flashctl-journal"};
    const std::string path_ = dir_ / "history.jsonl";
};

// --- appending -------------------------------------------------------------------

struct append_case_s {
    const char *name;
    const char *before;  // the file's bytes, nullptr: no file
    const char *after;   // {PREV} stands for the expected prev
    std::string prev;
};

class Append : public Journal, public testing::WithParamInterface<append_case_s> {};

TEST_P(Append, StartsOnAFreshLineAndChainsToTheLastOne) {
    const append_case_s &c = GetParam();
    const std::string path = dir_ / "var/lib/history.jsonl";  // directories made as needed
    if (c.before != nullptr) {
        ASSERT_EQ(mkdir((dir_ / "var").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((dir_ / "var/lib").c_str(), 0755), 0);
        ASSERT_TRUE(write_file(path, c.before));
    }
    std::string error;
    ASSERT_TRUE(fc_journal_append(path, "{\"card\":\"0000:03:00.0\"}", &error)) << error;
    std::string expected = c.after;
    expected.replace(expected.find("{PREV}"), 6, c.prev);
    EXPECT_EQ(file_text(path), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Flashctl, Append,
    testing::Values(append_case_s{"missing", nullptr, "{\"prev\":\"{PREV}\",\"card\":\"0000:03:00.0\"}\n", k_zeros},
                    append_case_s{"empty", "", "{\"prev\":\"{PREV}\",\"card\":\"0000:03:00.0\"}\n", k_zeros},
                    append_case_s{"whole_line", "x\nabc\n", "x\nabc\n{\"prev\":\"{PREV}\",\"card\":\"0000:03:00.0\"}\n",
                                  k_sha256_abc},
                    // A crash mid-append cut the last line: the record must not be glued to it.
                    append_case_s{"cut_line", "x\nabc", "x\nabc\n{\"prev\":\"{PREV}\",\"card\":\"0000:03:00.0\"}\n",
                                  k_sha256_abc},
                    append_case_s{"only_a_cut_line", "abc", "abc\n{\"prev\":\"{PREV}\",\"card\":\"0000:03:00.0\"}\n",
                                  k_sha256_abc}),
    [](const testing::TestParamInfo<append_case_s> &i) { return std::string(i.param.name); });

// Runs of flashctl on different cards append at once: every line whole, and
// every prev the hash of the line before, which only holds when reading the
// last line and appending after it is one step.
TEST_F(Journal, ConcurrentAppendsChainAndNeverInterleave) {
    constexpr int k_writers = 4;
    constexpr int k_records = 50;
    std::vector<pid_t> children;
    for (int w = 0; w < k_writers; ++w) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::string error;
            for (int i = 0; i < k_records; ++i) {
                const std::string record = "{\"card\":\"000" + std::to_string(w) +
                                           ":03:00.0\",\"n\":" + std::to_string(i) + ",\"pad\":\"" +
                                           std::string(2000, 'p') + "\"}";
                if (!fc_journal_append(path_, record, &error)) {
                    fprintf(stderr, "writer %d, record %d: %s\n", w, i, error.c_str());
                    _exit(1);
                }
            }
            _exit(0);
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    }
    const Strings lines = split_lines(file_text(path_));
    ASSERT_EQ(lines.size(), static_cast<size_t>(k_writers * k_records));
    std::string prev = k_zeros;
    for (size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE("line " + std::to_string(i + 1));
        ASSERT_EQ(lines[i].substr(0, 76), "{\"prev\":\"" + prev + "\",\"");
        EXPECT_TRUE(json::accept(lines[i]));
        prev = sha256(lines[i]);
    }
}

TEST_F(Journal, AnAppendCutShortIsUndone) {
    ASSERT_TRUE(write_file(path_, "abc\n"));
    // The file may grow by 10 bytes: the write stops there, as on a disk that fills.
    struct rlimit before {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    const struct rlimit small = {14, before.rlim_max};
    const sighandler_t xfsz = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string error;
    const bool ok = fc_journal_append(path_, "{\"card\":\"0000:03:00.0\"}", &error);
    setrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, xfsz);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, "only 10 of 98 bytes written");
    EXPECT_EQ(file_text(path_), "abc\n");
}

struct record_case_s {
    const char *name;
    fc_result_e result;
    bool changed;
    fc_error_s own;  // the transaction's own error
    fc_error_s error;
    int status;
};

class Record : public Journal, public testing::WithParamInterface<record_case_s> {};

// The journal is a file where a directory should be: the line cannot be appended.
TEST_P(Record, AFailedAppendIsInTheDocument) {
    const record_case_s &c = GetParam();
    ASSERT_TRUE(write_file(dir_ / "var", ""));
    const std::string path = dir_ / "var/history.jsonl";
    const std::string why = "cannot record the transaction in " + path + ": cannot make directory " + dir_.path +
                            "/var for journal " + path + ": Not a directory";
    fc_update_report_s rep;
    rep.result = c.result;
    rep.changed = c.changed;
    rep.error = c.own;
    fc_journal_record(path, &rep);
    EXPECT_EQ(rep.journal_error, why);
    EXPECT_EQ(rep.error.code, c.error.code);
    EXPECT_EQ(rep.error.message, c.error.message[0] == '\0' ? why : c.error.message);
    EXPECT_EQ(as_json(rep)["journal"], json({{"code", "journal"}, {"message", why}}));
    EXPECT_EQ(fc_journal_exit_status(rep), c.status);
}

INSTANTIATE_TEST_SUITE_P(Flashctl, Record,
                         testing::Values(
                             // The transaction's own error stays; the journal's is beside it.
                             record_case_s{"failed_after_a_change",
                                           FC_RESULT_FAILED,
                                           true,
                                           {DOC_ERROR_FAILED, "erase failed"},
                                           {DOC_ERROR_FAILED, "erase failed"},
                                           1},
                             record_case_s{"interrupted",
                                           FC_RESULT_INTERRUPTED,
                                           true,
                                           {DOC_ERROR_INTERRUPTED, "stopped"},
                                           {DOC_ERROR_INTERRUPTED, "stopped"},
                                           130},
                             // Nothing changed on the card: its state is as asked, the status stays.
                             record_case_s{"unchanged", FC_RESULT_UNCHANGED, false, {}, {DOC_ERROR_JOURNAL, ""}, 0}),
                         [](const testing::TestParamInfo<record_case_s> &i) { return std::string(i.param.name); });

TEST_F(Journal, DryRunsAndInvalidAddressesLeaveNoLine) {
    fc_update_report_s rep;
    rep.dry_run = true;
    fc_journal_record(path_, &rep);
    rep.dry_run = false;
    rep.error = {DOC_ERROR_INVALID_CARD, "invalid card address"};
    fc_journal_record(path_, &rep);
    EXPECT_FALSE(test_support::file_exists(path_));
    EXPECT_EQ(rep.journal_error, "");
}

// --- the check before an update ----------------------------------------------------

struct check_case_s {
    const char *name;
    std::function<void(const std::string &dir)> setup;
    const char *path;     // under the test's directory
    const char *message;  // {DIR} and {PATH} stand for the test's directory and the journal
};

class Check : public Journal, public testing::WithParamInterface<check_case_s> {};

TEST_P(Check, RefusesAJournalThatCannotTakeALine) {
    const check_case_s &c = GetParam();
    c.setup(dir_.path);
    const std::string path = dir_ / c.path;
    std::string message = c.message;
    for (const auto &[key, value] : {std::pair<std::string, std::string>{"{PATH}", path}, {"{DIR}", dir_.path}})
        for (size_t at; (at = message.find(key)) != std::string::npos;)
            message.replace(at, key.size(), value);
    std::string error;
    EXPECT_FALSE(fc_journal_check(path, &error));
    EXPECT_EQ(error, message);
    // An append is refused for the same reason.
    EXPECT_FALSE(fc_journal_append(path, "{}", &error));
    EXPECT_EQ(error, message);
}

INSTANTIATE_TEST_SUITE_P(
    Flashctl, Check,
    testing::Values(check_case_s{"directory", [](const std::string &d) { mkdir((d + "/j").c_str(), 0755); }, "j",
                                 "journal {PATH} is a directory, not a regular file"},
                    check_case_s{"fifo", [](const std::string &d) { mkfifo((d + "/j").c_str(), 0644); }, "j",
                                 "journal {PATH} is a FIFO, not a regular file"},
                    check_case_s{"symlink", [](const std::string &d) { symlink("/dev/null", (d + "/j").c_str()); }, "j",
                                 "journal {PATH} is a symbolic link, not a regular file"},
                    check_case_s{"parent_is_a_file", [](const std::string &d) { write_file(d + "/f", ""); }, "f/j",
                                 "cannot make directory {DIR}/f for journal {PATH}: Not a directory"}),
    [](const testing::TestParamInfo<check_case_s> &i) { return std::string(i.param.name); });

TEST_F(Journal, CheckAsksForRoomForARecord) {
    std::string error;
    EXPECT_TRUE(fc_journal_check(path_, &error)) << error;
    EXPECT_EQ(file_text(path_), "");  // created, empty
    EXPECT_FALSE(fc_journal_check(path_, &error, UINT64_MAX));
    EXPECT_TRUE(error.starts_with("the file system of journal " + path_ + " has ")) << error;
    EXPECT_TRUE(error.ends_with(" bytes free, a record needs 18446744073709551615")) << error;
}

TEST_F(Journal, AnUpdateIsRefusedBeforeTheCardWhenTheJournalCannotTakeItsLine) {
    ASSERT_EQ(mkdir(path_.c_str(), 0755), 0);
    fc_card_ops_s ops{};
    ops.address_valid = [](const char *bdf) { return std::string(bdf) == "0000:03:00.0"; };
    fc_session_s::clock = [] { return 0.0; };
    fc_update_request_s req;
    req.card = "0000:03:00.0";
    req.partition = "fw-b";
    req.image_path = "/srv/fw.bin";
    req.activate = true;
    req.journal = path_;
    // No other operation of the card is there: the refusal comes before any.
    const fc_update_report_s rep = fc_update(ops, req);
    EXPECT_EQ(fc_journal_exit_status(rep), 2);
    const std::string why = "journal " + path_ + " is a directory, not a regular file";
    EXPECT_EQ(as_json(rep), json::parse(R"({"schema_version":1,"card":"0000:03:00.0","partition":"fw-b",
        "image":{"path":"/srv/fw.bin","size":0,"sha512":""},"changed":false,"dry_run":false,"activated":false,
        "result":"refused","phases":[{"name":"plan","status":"failed","seconds":0},
        {"name":"erase","status":"skipped","seconds":0},{"name":"install","status":"skipped","seconds":0},
        {"name":"verify_checksum","status":"skipped","seconds":0},
        {"name":"verify_signature","status":"skipped","seconds":0},
        {"name":"activate","status":"skipped","seconds":0}],"partition_state":"untouched","plan":{"actions":[]},
        "error":{"code":"journal","message":"the journal cannot take the transaction's line, so the card is left alone: )" +
                                        why + R"("},"journal":{"code":"journal","message":")" + why + R"("}})"));
    fc_session_reset();
}

// --- verification ----------------------------------------------------------------------

struct verify_case_s {
    const char *name;
    // Changes the lines of a journal of four chained records {"n":1} to {"n":4}.
    std::function<void(const std::string &path, Strings &lines)> change;
    uint64_t lines;  // checked
    std::vector<uint64_t> cut_lines;
    bool cut_last_line;
    uint64_t break_line;  // 0: none
    const char *reason;
    const char *message;
};

class Verify : public Journal, public testing::WithParamInterface<verify_case_s> {};

TEST_P(Verify, FindsTheFirstBreakAndToleratesCuts) {
    const verify_case_s &c = GetParam();
    std::string error;
    for (int n = 1; n <= 4; ++n)
        ASSERT_TRUE(fc_journal_append(path_, "{\"n\":" + std::to_string(n) + "}", &error)) << error;
    Strings lines = split_lines(file_text(path_));
    c.change(path_, lines);
    const printed_s p = verify(path_);
    EXPECT_EQ(p.status, c.break_line == 0 ? 0 : 1) << p.out;
    json expected = {{"schema_version", 1},      {"path", path_},
                     {"lines", c.lines},         {"intact", c.break_line == 0},
                     {"cut_lines", c.cut_lines}, {"cut_last_line", c.cut_last_line}};
    if (c.break_line != 0) expected["break"] = {{"line", c.break_line}, {"reason", c.reason}, {"message", c.message}};
    EXPECT_EQ(json::parse(p.out, nullptr, false), expected) << p.out;
}

// The lines joined again; the last one with a line feed or without.
void rewrite(const std::string &path, const Strings &lines, bool last_lf = true) {
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i)
        text += lines[i] + (i + 1 < lines.size() || last_lf ? "\n" : "");
    ASSERT_TRUE(write_file(path, text));
}

const char *const k_prev_2 =
    "the prev of line 2 is not the SHA-256 of line 1: one of them was edited, or lines between them were removed or "
    "inserted";
const char *const k_prev_3 =
    "the prev of line 3 is not the SHA-256 of line 2: one of them was edited, or lines between them were removed or "
    "inserted";

INSTANTIATE_TEST_SUITE_P(
    Flashctl, Verify,
    testing::Values(verify_case_s{"intact", [](const std::string &, Strings &) {}, 4, {}, false, 0, "", ""},
                    verify_case_s{"edited_middle_line",
                                  [](const std::string &p, Strings &l) {
                                      l[1].replace(l[1].find("\"n\":2"), 5, "\"n\":9");
                                      rewrite(p, l);
                                  },
                                  3,
                                  {},
                                  false,
                                  3,
                                  "prev",
                                  k_prev_3},
                    verify_case_s{"middle_line_removed",
                                  [](const std::string &p, Strings &l) {
                                      l.erase(l.begin() + 1);
                                      rewrite(p, l);
                                  },
                                  2,
                                  {},
                                  false,
                                  2,
                                  "prev",
                                  k_prev_2},
                    verify_case_s{
                        "first_line_removed",
                        [](const std::string &p, Strings &l) {
                            l.erase(l.begin());
                            rewrite(p, l);
                        },
                        1,
                        {},
                        false,
                        1,
                        "start",
                        "line 1 does not start a journal: its prev is not 64 zeros (lines before it were removed)"},
                    verify_case_s{"line_inserted",
                                  [](const std::string &p, Strings &l) {
                                      l.insert(l.begin() + 2, "{\"prev\":\"00\",\"n\":");
                                      rewrite(p, l);
                                  },
                                  3,
                                  {},
                                  false,
                                  3,
                                  "record",
                                  "line 3 is not a journal record: not JSON"},
                    verify_case_s{"record_without_prev",
                                  [](const std::string &p, Strings &l) {
                                      l.push_back("{\"n\":5}");
                                      rewrite(p, l);
                                  },
                                  5,
                                  {},
                                  false,
                                  5,
                                  "record",
                                  "line 5 has no prev (written by an older flashctl, or edited)"},
                    // A crash mid-append: the last line is the start of a record.
                    verify_case_s{"cut_last_line",
                                  [](const std::string &p, Strings &l) {
                                      l[3].resize(40);
                                      rewrite(p, l, false);
                                  },
                                  4,
                                  {4},
                                  true,
                                  0,
                                  "",
                                  ""},
                    // The same, and a later update appended after it.
                    verify_case_s{"cut_line_chained_over",
                                  [](const std::string &p, Strings &l) {
                                      l[3].resize(80);
                                      rewrite(p, l, false);
                                      std::string error;
                                      ASSERT_TRUE(fc_journal_append(p, "{\"n\":5}", &error)) << error;
                                  },
                                  5,
                                  {4},
                                  false,
                                  0,
                                  "",
                                  ""},
                    // Cut at the end, but not the start of the record that belongs there.
                    verify_case_s{"last_line_edited_into_garbage",
                                  [](const std::string &p, Strings &l) {
                                      l[3][12] = 'x';
                                      l[3].resize(40);
                                      rewrite(p, l, false);
                                  },
                                  4,
                                  {},
                                  false,
                                  4,
                                  "record",
                                  "line 4 is not a journal record: not JSON"}),
    [](const testing::TestParamInfo<verify_case_s> &i) { return std::string(i.param.name); });

TEST_F(Journal, VerifyNamesCutLinesInText) {
    std::string error;
    ASSERT_TRUE(fc_journal_append(path_, "{\"n\":1}", &error)) << error;
    const std::string first = file_text(path_);
    ASSERT_TRUE(write_file(path_, first + "{\"prev\":\"" + sha256(first.substr(0, first.size() - 1)).substr(0, 5)));
    printed_s p = verify(path_, false);
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.out, "journal " + path_ +
                         ": 2 lines, the chain holds\n"
                         "  line 2 (the last) is cut short: an append did not finish; the next update starts a fresh "
                         "line after it\n");
    ASSERT_TRUE(fc_journal_append(path_, "{\"n\":2}", &error)) << error;
    ASSERT_TRUE(write_file(path_, file_text(path_) + "{\"n\":3}\n"));
    p = verify(path_, false);
    EXPECT_EQ(p.status, 1);
    EXPECT_EQ(p.out,
              "journal " + path_ +
                  ": the chain breaks at line 4: line 4 has no prev (written by an older flashctl, or edited)\n");
}

// --- reading -----------------------------------------------------------------------------

// {"a":{"a":...1...}} nested depth objects deep.
std::string nested(unsigned depth) {
    std::string text;
    for (unsigned i = 0; i < depth; ++i)
        text += "{\"a\":";
    text += "1";
    return text + std::string(depth, '}');
}

// An object of exactly size bytes.
std::string padded(const std::string &card, size_t size) {
    const std::string head = "{\"card\":\"" + card + "\",\"pad\":\"";
    return head + std::string(size - head.size() - 2, 'p') + "\"}";
}

TEST_F(Journal, HistorySkipsWhatItCannotReadAndShowsTheRest) {
    const std::string a = "{\"card\":\"0000:03:00.0\",\"result\":\"updated\"}";
    const std::string wrong_types = R"({"card":5,"time":[],"image":"x","after":{"version":7},"result":null})";
    const std::string b = R"({"time":"2026-01-02T03:04:05Z","card":"0000:04:00.0","partition":"fw-b",)"
                          R"("image":{"path":"/srv/fw.bin","size":100000,"sha512":"abcdef0123456789ff"},)"
                          R"("after":{"version":"2.15"},"result":"failed"})";
    const std::string longest = padded("0000:03:00.0", FC_JOURNAL_LINE_MAX);
    const Strings lines = {a,
                           wrong_types,
                           "{\"card\":\"0000:03:00.0\",\"res",
                           "[1,2]",
                           nested(FC_JOURNAL_DEPTH_MAX + 1),
                           nested(FC_JOURNAL_DEPTH_MAX),
                           padded("0000:03:00.0", FC_JOURNAL_LINE_MAX + 1),
                           longest,
                           "[" + std::string(30000, '[') + std::string(30000, ']') + "]",
                           b};
    std::string text;
    for (const auto &l : lines)
        text += l + "\n";
    ASSERT_TRUE(write_file(path_, text));
    const std::string skips = "flashctl: " + path_ + ": line 3 skipped: not JSON\n" + "flashctl: " + path_ +
                              ": line 4 skipped: not a JSON object\n" + "flashctl: " + path_ +
                              ": line 5 skipped: nested deeper than 16 levels\n" + "flashctl: " + path_ +
                              ": line 7 skipped: longer than 65536 bytes\n" + "flashctl: " + path_ +
                              ": line 9 skipped: nested deeper than 16 levels\n";

    printed_s p = history(path_);
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.err, skips);
    // Shown as written, members in their order.
    auto dumped = [](const std::string &line) { return doc_json::parse(line).dump(); };
    EXPECT_EQ(p.out, "{\"schema_version\":1,\"transactions\":[" + dumped(a) + "," + dumped(wrong_types) + "," +
                         dumped(nested(FC_JOURNAL_DEPTH_MAX)) + "," + dumped(longest) + "," + dumped(b) +
                         "],\"skipped_lines\":5}\n");

    p = history(path_, "0000:03:00.0");
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.out, "{\"schema_version\":1,\"transactions\":[" + dumped(a) + "," + dumped(longest) +
                         "],\"skipped_lines\":5}\n");

    // Text takes from each line what has the type it wants.
    p = history(path_, "", false);
    EXPECT_EQ(p.status, 0);
    const Strings out = split_lines(p.out);
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[1], std::string(30, ' ') + "(? bytes, sha512 ...)  now ");
    EXPECT_EQ(out[4],
              "2026-01-02T03:04:05Z  0000:04:00.0  fw-b         failed      /srv/fw.bin (100000 bytes, sha512 "
              "abcdef0123456789...)  now 2.15");
}

TEST_F(Journal, HistoryNamesTenSkippedLinesAndCountsTheRest) {
    std::string text;
    for (int i = 0; i < 12; ++i)
        text += "x\n";
    ASSERT_TRUE(write_file(path_, text));
    const printed_s p = history(path_);
    EXPECT_EQ(p.out, "{\"schema_version\":1,\"transactions\":[],\"skipped_lines\":12}\n");
    const Strings err = split_lines(p.err);
    ASSERT_EQ(err.size(), 11u);
    EXPECT_EQ(err[9], "flashctl: " + path_ + ": line 10 skipped: not JSON");
    EXPECT_EQ(err[10], "flashctl: " + path_ + ": 12 lines skipped in all");
}

TEST_F(Journal, ReaderKeepsAtMostTheLineBound) {
    ASSERT_TRUE(write_file(path_, std::string(3 * FC_JOURNAL_LINE_MAX, 'x') + "\nabc"));
    fc_journal_reader_s reader;
    reader.hash = true;
    std::string error;
    ASSERT_TRUE(fc_journal_open(path_, &reader, &error)) << error;
    fc_journal_line_s line;
    ASSERT_TRUE(fc_journal_next(&reader, &line));
    EXPECT_EQ(line.size, 3 * FC_JOURNAL_LINE_MAX);
    EXPECT_EQ(line.text.size(), FC_JOURNAL_LINE_MAX);
    EXPECT_TRUE(line.too_long);
    EXPECT_TRUE(line.terminated);
    EXPECT_EQ(line.sha256, sha256(std::string(3 * FC_JOURNAL_LINE_MAX, 'x')));
    ASSERT_TRUE(fc_journal_next(&reader, &line));
    EXPECT_EQ(line.text, "abc");
    EXPECT_EQ(line.number, 2u);
    EXPECT_FALSE(line.terminated);
    EXPECT_EQ(line.sha256, k_sha256_abc);
    EXPECT_FALSE(fc_journal_next(&reader, &line));
}

TEST_F(Journal, ReadersRefuseAFifoOrADirectoryAndReadNothingAsEmpty) {
    ASSERT_EQ(mkfifo(path_.c_str(), 0644), 0);  // no writer: an open that blocked would hang here
    const std::string dir = dir_ / "d";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    for (const auto &[path, kind] : {std::pair<std::string, std::string>{path_, "a FIFO"}, {dir, "a directory"}}) {
        for (const printed_s &p : {history(path), verify(path)}) {
            EXPECT_EQ(p.status, 1);
            EXPECT_EQ(json::parse(p.out, nullptr, false),
                      as_json(fc_error_json(DOC_ERROR_IO, "journal " + path + " is " + kind + ", not a regular file")));
        }
    }
    const printed_s p = history(dir_ / "none");
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.out, "{\"schema_version\":1,\"transactions\":[],\"skipped_lines\":0}\n");
}

// --- a card's pace from its lines ------------------------------------------------------

constexpr uint64_t k_mib = 1024 * 1024;

json phase(const char *name, double seconds, uint64_t bytes, const char *status = "ok") {
    json p = {{"name", name}, {"status", status}, {"seconds", seconds}};
    if (bytes > 0) p["bytes"] = bytes;
    return p;
}

// An update's line of card with an image of image_mib.
std::string update_line(const char *card, uint64_t image_mib, const json &phases) {
    return json({{"prev", k_zeros},
                 {"card", card},
                 {"image", {{"path", "/i.bin"}, {"size", image_mib * k_mib}, {"sha512", ""}}},
                 {"phases", phases},
                 {"result", "updated"}})
        .dump();
}

// An update of 8 MiB into a 32 MiB partition at erase 0.5, write 1 and
// checksum 0.25 s/MiB.
const std::string k_card_line = update_line("0000:03:00.0", 8,
                                            {phase("plan", 0.3, 0), phase("erase", 16, 32 * k_mib),
                                             phase("install", 8, 8 * k_mib), phase("verify_checksum", 2, 8 * k_mib)});

struct timing_case_s {
    const char *name;
    Strings lines;
    double erase, write, checksum;  // of card 0000:03:00.0
    uint64_t transactions;
    uint64_t skipped;
};

class Timing : public Journal, public testing::WithParamInterface<timing_case_s> {};

TEST_P(Timing, RatesAreTheCardsSecondsOverItsMiB) {
    const timing_case_s &c = GetParam();
    std::string text;
    for (const std::string &line : c.lines)
        text += line + "\n";
    ASSERT_TRUE(write_file(path_, text));
    fc_timing_table_s table;
    std::string error;
    ASSERT_TRUE(fc_timing_read(path_, &table, &error)) << error;
    const fc_timing_s t = table.of("0000:03:00.0");
    EXPECT_DOUBLE_EQ(t.erase_s_per_mib, c.erase);
    EXPECT_DOUBLE_EQ(t.write_s_per_mib, c.write);
    EXPECT_DOUBLE_EQ(t.checksum_s_per_mib, c.checksum);
    EXPECT_EQ(t.transactions, c.transactions);
    EXPECT_EQ(table.skipped_lines, c.skipped);
}

const double k_de = FC_TIMING_DEFAULT_ERASE_S_PER_MIB, k_dw = FC_TIMING_DEFAULT_WRITE_S_PER_MIB,
             k_dc = FC_TIMING_DEFAULT_CHECKSUM_S_PER_MIB;

INSTANTIATE_TEST_SUITE_P(
    Cases, Timing,
    testing::Values(
        // 24 s over 64 MiB erased, 12 s over 12 MiB written, 3 s over 12 MiB digested.
        timing_case_s{"TotalsOfTwoUpdates",
                      {k_card_line, update_line("0000:03:00.0", 4,
                                                {phase("erase", 8, 32 * k_mib), phase("install", 4, 4 * k_mib),
                                                 phase("verify_checksum", 1, 4 * k_mib)})},
                      0.375, 1, 0.25, 2, 0},
        timing_case_s{"NoLinesOfTheCardTakeTheDefaults",
                      {update_line("0000:13:00.0", 8, {phase("erase", 1, 32 * k_mib)})},
                      k_de, k_dw, k_dc, 0, 0},
        timing_case_s{"OtherCardsLinesAreIgnored",
                      {update_line("0000:13:00.0", 1, {phase("erase", 99, k_mib), phase("install", 99, k_mib)}),
                       k_card_line},
                      0.5, 1, 0.25, 1, 0},
        timing_case_s{"LinesThatAreNotRecordsAreSkipped",
                      {"not json", "[1]", "{\"prev\":\"00", k_card_line, std::string(70000, ' ')},
                      0.5, 1, 0.25, 1, 4},
        // A phase that failed or timed out measured nothing; the erase before it did.
        timing_case_s{"OnlyPhasesThatEndedOkCount",
                      {update_line("0000:03:00.0", 8,
                                   {phase("erase", 16, 32 * k_mib), phase("install", 90, 8 * k_mib, "timeout")})},
                      0.5, k_dw, k_dc, 1, 0},
        timing_case_s{"ALineWithoutPhaseBytesCountsTheImage",
                      {update_line("0000:03:00.0", 8, {phase("erase", 8, 0), phase("install", 4, 0)})},
                      1, 0.5, k_dc, 1, 0},
        timing_case_s{"AReleasesComponents",
                      {json({{"card", "0000:03:00.0"},
                             {"release", {{"name", "r"}, {"version", "1"}}},
                             {"components",
                              {{{"file", "fw.bin"},
                                {"size", 8 * k_mib},
                                {"phases",
                                 {phase("erase", 16, 32 * k_mib), phase("install", 8, 8 * k_mib),
                                  phase("verify_checksum", 2, 8 * k_mib)}}},
                               {{"file", "held.bin"}, {"size", k_mib}, {"phases", json::array()}}}},
                             {"result", "updated"}})
                           .dump()},
                      0.5, 1, 0.25, 1, 0}),
    [](const testing::TestParamInfo<timing_case_s> &info) { return std::string(info.param.name); });

}  // namespace

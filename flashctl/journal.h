// SPDX-License-Identifier: Apache-2.0
// flashctl's journal: one JSON line per update transaction that is not a
// dry run, in /var/lib/flash-update/history.jsonl or the --history file.
//
// Every line begins with "prev", the SHA-256 (lower-case hex) of the bytes of
// the line before it without its line feed; the first line's is 64 zeros.
// An edit, a removal or an insertion anywhere but after the last line breaks
// the chain at the next line. A line an append left cut short (a crash, a
// full disk) is a prefix of a record; the next append starts a fresh line
// after it and chains over it, so it is told apart from an edit.
//
// An update asks, before it changes the card, whether the journal can take
// its line (fc_journal_precheck), and refuses when it cannot; it appends its
// line in one write under an exclusive flock of the file, synced
// (fc_journal_record). Readers take a line at a time, bounded in length and
// depth, so that a journal of any size or content is read in bounded memory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "flashctl.h"

// A line longer than this is not a record (flashctl's own are a few KiB at
// most: a path of PATH_MAX bytes, escaped).
inline constexpr size_t FC_JOURNAL_LINE_MAX = 64 * 1024;
// A line nested deeper than this is not a record (a record nests 3 deep).
inline constexpr unsigned FC_JOURNAL_DEPTH_MAX = 16;
// Free bytes the journal's file system must have before an update changes a
// card: a record of the longest kind, with room to spare.
inline constexpr uint64_t FC_JOURNAL_ROOM = 64 * 1024;
// "prev" of the first line.
inline constexpr const char *FC_JOURNAL_FIRST_PREV = "0000000000000000000000000000000000000000000000000000000000000000";

// --- writing -------------------------------------------------------------------

// Whether the journal at path can take a line: its directories can be made,
// the file opens for appending (it is created when missing) and is a regular
// file, and its file system has `room` bytes free. false with the reason.
bool fc_journal_check(const std::string &path, std::string *error, uint64_t room = FC_JOURNAL_ROOM);

// Appends record (a JSON object on one line) with "prev" put first, on a
// fresh line whatever the file ends with, in one write under an exclusive
// flock, synced. A write that fails part way is undone. false with the reason.
bool fc_journal_append(const std::string &path, const std::string &record, std::string *error);

// After an update: appends its line (every update but a dry run, an invalid
// address and a refusal by the journal). When that fails, the report says so:
// journal_error, and the error "journal" when it had no error of its own.
void fc_journal_record(const std::string &path, fc_update_report_s *report);

// The update's exit status: 1 where it would be 0 but the card changed and
// its line is not in the journal.
int fc_journal_exit_status(const fc_update_report_s &report);

// --- reading -------------------------------------------------------------------

struct fc_journal_line_s {
    uint64_t number = 0;      // 1 for the first line
    std::string text;         // its bytes without the line feed, at most FC_JOURNAL_LINE_MAX of them
    uint64_t size = 0;        // its length in bytes
    bool too_long = false;    // size > FC_JOURNAL_LINE_MAX
    bool terminated = false;  // ends in a line feed (false: the file's last bytes)
    std::string sha256;       // lower-case hex of all its bytes, when the reader hashes
};

// A journal open for reading, a line at a time; closes it when destroyed.
struct fc_journal_reader_s {
    int fd = -1;  // -1: a missing journal, read as empty
    bool hash = false;
    int error = 0;  // errno of a read that failed
    uint64_t lines = 0;
    std::vector<char> buffer = std::vector<char>(64 * 1024);
    size_t pos = 0;
    size_t len = 0;
    bool eof = false;
    struct evp_md_ctx_st *sha = nullptr;

    fc_journal_reader_s() = default;
    fc_journal_reader_s(const fc_journal_reader_s &) = delete;
    fc_journal_reader_s &operator=(const fc_journal_reader_s &) = delete;
    ~fc_journal_reader_s();
};

// Opens the journal: a missing file is an empty journal; a FIFO, a directory
// or anything else that is not a regular file is refused (opened without
// blocking, judged by fstat). false with the reason.
bool fc_journal_open(const std::string &path, fc_journal_reader_s *reader, std::string *error);
// The next line; false at the end of the file or on a read error (reader->error).
bool fc_journal_next(fc_journal_reader_s *reader, fc_journal_line_s *line);
// What a failed read of the journal at path says: "cannot read journal PATH: why".
std::string fc_journal_read_error(const std::string &path, int error);
// The line as a record: nullptr with *entry the object, or why it is not
// one ("longer than 65536 bytes", "nested deeper than 16 levels", "not
// JSON", "not a JSON object"). Depth is counted before the line is parsed.
const char *fc_journal_parse(const fc_journal_line_s &line, doc_json *entry);

// --- the history command ---------------------------------------------------------

// flashctl history [CARD]: the records, all or card's, written as they are
// read (text, or one JSON document {"schema_version":1,"transactions":[...],
// "skipped_lines":N}); every line that is not a record is skipped and said
// on err. Returns the exit status.
int fc_history_list(const std::string &path, const std::string &card, bool json, FILE *out, FILE *err);

struct fc_journal_verdict_s {
    uint64_t lines = 0;               // lines checked (up to the break)
    std::vector<uint64_t> cut_lines;  // records an append left cut short
    bool cut_last_line = false;       // the last line is one of them
    uint64_t break_line = 0;          // 0: the chain holds
    std::string break_reason;         // start, prev or record
    std::string break_message;
};

// Walks the chain to its first break. false (with the reason) when the
// journal cannot be read.
bool fc_journal_verify(const std::string &path, fc_journal_verdict_s *verdict, std::string *error);
// flashctl history --verify: the verdict as text or JSON; 0 when the chain
// holds (cut lines included), 1 at a break or when the journal cannot be read.
int fc_history_verify(const std::string &path, bool json, FILE *out, FILE *err);

// SPDX-License-Identifier: Apache-2.0
// The journal of update transactions: the check before an update, the
// chained append after it, and the bounded readers of `history`.
#include "journal.h"

#include "fe_io.h"
#include "prometheus.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <memory>

using json = doc_json;

namespace {

constexpr size_t k_io_block = 64 * 1024;
// Lines history names on standard error one by one; the rest are counted.
constexpr uint64_t k_skips_named = 10;

using evp_ctx_ptr = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

std::string sha256_hex(EVP_MD_CTX *ctx) {
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (EVP_DigestFinal_ex(ctx, digest, &len) != 1) return "";
    std::string hex;
    char pair[3];
    for (unsigned i = 0; i < len; ++i) {
        snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

const char *kind_of(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

std::string not_regular(const std::string &path, mode_t mode) {
    return "journal " + path + " is " + kind_of(mode) + ", not a regular file";
}

bool make_parent_dirs(const std::string &path, std::string *error) {
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        const std::string dir = path.substr(0, pos);
        struct stat st {};
        if (mkdir(dir.c_str(), 0755) != 0 && (errno != EEXIST || stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
            *error = "cannot make directory " + dir + " for journal " + path + ": " +
                     strerror(errno == EEXIST || errno == 0 ? ENOTDIR : errno);
            return false;
        }
    }
    return true;
}

// Opens the journal for appending (created when missing), without following a
// symbolic link and without blocking on a FIFO; -1 with the reason when it is
// not a regular file.
int open_for_append(const std::string &path, int access, std::string *error) {
    if (!make_parent_dirs(path, error)) return -1;
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        *error = not_regular(path, st.st_mode);
        return -1;
    }
    const int fd = open(path.c_str(), access | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0) {
        *error = "cannot open journal " + path + " for appending: " + strerror(errno);
        return -1;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = not_regular(path, st.st_mode);
        close(fd);
        return -1;
    }
    return fd;
}

bool pread_all(int fd, char *buf, size_t len, off_t at) {
    while (len > 0) {
        const ssize_t n = pread(fd, buf, len, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buf += n;
        len -= static_cast<size_t>(n);
        at += n;
    }
    return true;
}

// The SHA-256 of the file's last line (FC_JOURNAL_FIRST_PREV for an empty
// file) and whether the file ends in a line feed. Reads backwards from the
// end in blocks, so a line of any length costs one block of memory.
bool last_line(int fd, off_t size, std::string *prev, bool *ends_in_lf, std::string *error) {
    *prev = FC_JOURNAL_FIRST_PREV;
    *ends_in_lf = true;
    if (size == 0) return true;
    char buf[k_io_block];
    if (!pread_all(fd, buf, 1, size - 1)) {
        *error = std::string("cannot read the journal's last line: ") + strerror(errno);
        return false;
    }
    *ends_in_lf = buf[0] == '\n';
    const off_t end = *ends_in_lf ? size - 1 : size;
    off_t start = 0;
    for (off_t at = end; at > 0 && start == 0;) {
        const size_t n = static_cast<size_t>(std::min<off_t>(at, static_cast<off_t>(sizeof buf)));
        at -= static_cast<off_t>(n);
        if (!pread_all(fd, buf, n, at)) {
            *error = std::string("cannot read the journal's last line: ") + strerror(errno);
            return false;
        }
        const void *lf = memrchr(buf, '\n', n);
        if (lf != nullptr) start = at + (static_cast<const char *>(lf) - buf) + 1;
    }
    evp_ctx_ptr ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
    for (off_t at = start; ok && at < end;) {
        const size_t n = static_cast<size_t>(std::min<off_t>(end - at, static_cast<off_t>(sizeof buf)));
        ok = pread_all(fd, buf, n, at) && EVP_DigestUpdate(ctx.get(), buf, n) == 1;
        at += static_cast<off_t>(n);
    }
    if (ok) *prev = sha256_hex(ctx.get());
    if (!ok || prev->empty()) {
        *error = std::string("cannot hash the journal's last line: ") + strerror(errno);
        return false;
    }
    return true;
}

// Nesting of [ and { outside strings, counted up to limit + 1.
unsigned json_depth(const std::string &text, unsigned limit) {
    unsigned depth = 0;
    unsigned deepest = 0;
    bool in_string = false;
    bool escaped = false;
    for (const char c : text) {
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[') {
            deepest = std::max(deepest, ++depth);
            if (deepest > limit) break;
        } else if ((c == '}' || c == ']') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

// A member of the type the text wants, or its default: a record can hold
// anything.
std::string text_member(const json &obj, const char *key) {
    const auto it = obj.find(key);
    return it != obj.end() && it->is_string() ? it->get<std::string>() : std::string();
}

const json &object_member(const json &obj, const char *key) {
    static const json k_empty = json::object();
    const auto it = obj.find(key);
    return it != obj.end() && it->is_object() ? *it : k_empty;
}

// A text of the record in the text output: bytes from the card (a version)
// and from whoever wrote the file are shown escaped, never sent raw to a
// terminal.
std::string shown_member(const json &obj, const char *key) {
    return fc_visible_text(text_member(obj, key));
}

void print_history_line(const json &e, FILE *out) {
    // A release's line: one per card per apply, its components listed.
    if (e.contains("release")) {
        const json &release = object_member(e, "release");
        const auto comps = e.find("components");
        std::string parts;
        if (comps != e.end() && comps->is_array())
            for (const json &c : *comps)
                parts += (parts.empty() ? "" : ", ") + shown_member(c, "partition") + " " +
                         shown_member(c, "partition_state");
        fprintf(out, "%s  %s  release %s %s  %-11s %s (signer %s)\n", shown_member(e, "time").c_str(),
                shown_member(e, "card").c_str(), shown_member(release, "name").c_str(),
                shown_member(release, "version").c_str(), shown_member(e, "result").c_str(), parts.c_str(),
                shown_member(e, "signer").c_str());
        return;
    }
    const json &image = object_member(e, "image");
    const json &after = object_member(e, "after");
    const auto size = image.find("size");
    fprintf(out, "%s  %s  %-12s %-11s %s (%s bytes, sha512 %.16s...)%s%s\n", shown_member(e, "time").c_str(),
            shown_member(e, "card").c_str(), shown_member(e, "partition").c_str(), shown_member(e, "result").c_str(),
            shown_member(image, "path").c_str(),
            size != image.end() && size->is_number() ? fc_dump(*size).c_str() : "?",
            shown_member(image, "sha512").c_str(), after.contains("version") ? "  now " : "",
            shown_member(after, "version").c_str());
}

int history_error(const std::string &message, bool json_out, FILE *out, FILE *err) {
    if (json_out)
        fprintf(out, "%s\n", fc_dump(fc_error_json(DOC_ERROR_IO, message)).c_str());
    else
        fprintf(err, "flashctl: %s\n", message.c_str());
    return FC_EXIT_FAILED;
}

}  // namespace

// --- writing -------------------------------------------------------------------

bool fc_journal_check(const std::string &path, std::string *error, uint64_t room) {
    const int fd = open_for_append(path, O_WRONLY, error);
    if (fd < 0) return false;
    struct statvfs fs {};
    const bool measured = fstatvfs(fd, &fs) == 0;
    const int saved = errno;
    close(fd);
    if (!measured) {
        *error = "cannot measure the free space of journal " + path + ": " + strerror(saved);
        return false;
    }
    const uint64_t free_bytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    if (free_bytes < room) {
        *error = "the file system of journal " + path + " has " + std::to_string(free_bytes) +
                 " bytes free, a record needs " + std::to_string(room);
        return false;
    }
    return true;
}

bool fc_journal_append(const std::string &path, const std::string &record, std::string *error) {
    if (record.size() < 2 || record.front() != '{' || record.back() != '}' || record.find('\n') != std::string::npos) {
        *error = "a journal record is a JSON object on one line";
        return false;
    }
    const int fd = open_for_append(path, O_RDWR, error);
    if (fd < 0) return false;
    // The lock makes reading the last line and appending after it one step
    // against every other flashctl.
    int r;
    do {
        r = flock(fd, LOCK_EX);
    } while (r != 0 && errno == EINTR);
    struct stat st {};
    if (r != 0 || fstat(fd, &st) != 0) {
        *error = "cannot lock journal " + path + ": " + strerror(errno);
        close(fd);
        return false;
    }
    std::string prev;
    bool ends_in_lf = true;
    if (!last_line(fd, st.st_size, &prev, &ends_in_lf, error)) {
        *error = "journal " + path + ": " + *error;
        close(fd);
        return false;
    }
    const std::string line = std::string(ends_in_lf ? "" : "\n") + "{\"prev\":\"" + prev + "\"" +
                             (record.size() == 2 ? "" : ",") + record.substr(1) + "\n";
    size_t n = 0;
    bool ok = fe_write_all(fd, line.data(), line.size(), &n);
    if (!ok) {
        *error = n == 0 ? strerror(errno)
                        : "only " + std::to_string(n) + " of " + std::to_string(line.size()) + " bytes written";
        // A part of a line would be a cut record; the file goes back to what it was.
        if (n > 0 && ftruncate(fd, st.st_size) != 0) *error += " (and the part written stays)";
    } else if (fsync(fd) != 0) {
        *error = std::string("cannot sync: ") + strerror(errno);
        ok = false;
    }
    close(fd);
    return ok;
}

void fc_journal_record(const std::string &path, fc_update_report_s *rep) {
    if (rep->dry_run || rep->error.code == DOC_ERROR_INVALID_CARD || !rep->journal_error.empty()) return;
    std::string error;
    if (fc_journal_append(path, fc_history_line(*rep), &error)) return;
    rep->journal_error = "cannot record the transaction in " + path + ": " + error;
    if (rep->error.empty()) rep->error = {DOC_ERROR_JOURNAL, rep->journal_error};
}

int fc_journal_exit_status(const fc_update_report_s &rep) {
    const int status = fc_exit_status(rep.result);
    return status == FC_EXIT_OK && rep.changed && !rep.journal_error.empty() ? FC_EXIT_FAILED : status;
}

// --- reading -------------------------------------------------------------------

fc_journal_reader_s::~fc_journal_reader_s() {
    if (fd >= 0) close(fd);
    EVP_MD_CTX_free(sha);
}

bool fc_journal_open(const std::string &path, fc_journal_reader_s *reader, std::string *error) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return true;
        *error = fc_journal_read_error(path, errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = not_regular(path, st.st_mode);
        close(fd);
        return false;
    }
    if (reader->hash && reader->sha == nullptr) reader->sha = EVP_MD_CTX_new();
    if (reader->hash && reader->sha == nullptr) {
        *error = "cannot hash journal " + path;
        close(fd);
        return false;
    }
    reader->fd = fd;
    return true;
}

std::string fc_journal_read_error(const std::string &path, int error) {
    return "cannot read journal " + path + ": " + strerror(error);
}

bool fc_journal_next(fc_journal_reader_s *r, fc_journal_line_s *line) {
    if (r->fd < 0 || r->error != 0) return false;
    line->text.clear();
    line->size = 0;
    line->too_long = false;
    line->terminated = false;
    line->sha256.clear();
    if (r->hash) EVP_DigestInit_ex(r->sha, EVP_sha256(), nullptr);
    while (!line->terminated) {
        if (r->pos == r->len) {
            if (r->eof) break;
            ssize_t n;
            do {
                n = read(r->fd, r->buffer.data(), r->buffer.size());
            } while (n < 0 && errno == EINTR);
            if (n < 0) {
                r->error = errno;
                return false;
            }
            r->pos = 0;
            r->len = static_cast<size_t>(n);
            if (n == 0) {
                r->eof = true;
                break;
            }
        }
        const char *begin = r->buffer.data() + r->pos;
        const char *lf = static_cast<const char *>(memchr(begin, '\n', r->len - r->pos));
        const size_t n = lf != nullptr ? static_cast<size_t>(lf - begin) : r->len - r->pos;
        if (line->text.size() < FC_JOURNAL_LINE_MAX)
            line->text.append(begin, std::min(n, FC_JOURNAL_LINE_MAX - line->text.size()));
        if (r->hash) EVP_DigestUpdate(r->sha, begin, n);
        line->size += n;
        r->pos += n + (lf != nullptr ? 1 : 0);
        line->terminated = lf != nullptr;
    }
    if (line->size == 0 && !line->terminated) return false;
    line->too_long = line->size > FC_JOURNAL_LINE_MAX;
    line->number = ++r->lines;
    if (r->hash) line->sha256 = sha256_hex(r->sha);
    return true;
}

const char *fc_journal_parse(const fc_journal_line_s &line, json *entry) {
    if (line.too_long) return "longer than 65536 bytes";
    if (json_depth(line.text, FC_JOURNAL_DEPTH_MAX) > FC_JOURNAL_DEPTH_MAX) return "nested deeper than 16 levels";
    *entry = json::parse(line.text, nullptr, false);
    if (entry->is_discarded()) return "not JSON";
    if (!entry->is_object()) return "not a JSON object";
    return nullptr;
}

// --- the history command ---------------------------------------------------------

int fc_history_list(const std::string &path, const std::string &card, bool json_out, FILE *out, FILE *err) {
    fc_journal_reader_s reader;
    std::string error;
    if (!fc_journal_open(path, &reader, &error)) return history_error(error, json_out, out, err);
    if (json_out) fprintf(out, "{\"schema_version\":%d,\"transactions\":[", FC_SCHEMA_VERSION);
    uint64_t skipped = 0;
    bool first = true;
    fc_journal_line_s line;
    json entry;
    while (fc_journal_next(&reader, &line)) {
        const char *why = fc_journal_parse(line, &entry);
        if (why != nullptr) {
            if (++skipped <= k_skips_named)
                fprintf(err, "flashctl: %s: line %" PRIu64 " skipped: %s\n", path.c_str(), line.number, why);
            continue;
        }
        if (!card.empty() && text_member(entry, "card") != card) continue;
        if (json_out)
            fprintf(out, "%s%s", first ? "" : ",", fc_dump(entry).c_str());
        else
            print_history_line(entry, out);
        first = false;
        // The reader went away (SIGPIPE is ignored): nothing more to say.
        if (ferror(out)) return FC_EXIT_FAILED;
    }
    if (skipped > k_skips_named)
        fprintf(err, "flashctl: %s: %" PRIu64 " lines skipped in all\n", path.c_str(), skipped);
    if (reader.error != 0) {
        const std::string message = fc_journal_read_error(path, reader.error);
        if (!json_out) return history_error(message, false, out, err);
        fprintf(out, "],\"skipped_lines\":%" PRIu64 ",\"error\":%s}\n", skipped,
                fc_dump({{"code", "io"}, {"message", message}}).c_str());
        return FC_EXIT_FAILED;
    }
    if (json_out) fprintf(out, "],\"skipped_lines\":%" PRIu64 "}\n", skipped);
    return FC_EXIT_OK;
}

bool fc_journal_verify(const std::string &path, fc_journal_verdict_s *v, std::string *error) {
    *v = fc_journal_verdict_s{};
    fc_journal_reader_s reader;
    reader.hash = true;
    if (!fc_journal_open(path, &reader, error)) return false;
    std::string expected = FC_JOURNAL_FIRST_PREV;
    fc_journal_line_s line;
    json entry;
    auto breaks = [v, &line](const char *reason, const std::string &message) {
        v->break_line = line.number;
        v->break_reason = reason;
        v->break_message = message;
    };
    while (v->break_line == 0 && fc_journal_next(&reader, &line)) {
        v->lines = line.number;
        v->cut_last_line = false;
        const std::string n = std::to_string(line.number);
        const char *why = fc_journal_parse(line, &entry);
        if (why == nullptr) {
            const auto prev = entry.find("prev");
            if (prev == entry.end() || !prev->is_string())
                breaks("record", "line " + n + " has no prev (written by an older flashctl, or edited)");
            else if (*prev != expected && line.number == 1)
                breaks("start",
                       "line 1 does not start a journal: its prev is not 64 zeros (lines before it were "
                       "removed)");
            else if (*prev != expected)
                breaks("prev", "the prev of line " + n + " is not the SHA-256 of line " +
                                   std::to_string(line.number - 1) +
                                   ": one of them was edited, or lines between them were removed or inserted");
        } else {
            // An append cut short left the start of a record: its prev, as far
            // as it got, is the one expected here.
            const std::string head = "{\"prev\":\"" + expected + "\"";
            const std::string &t = line.text;
            const bool cut = !t.empty() && !line.too_long &&
                             (t.size() <= head.size() ? head.compare(0, t.size(), t) == 0 : t.starts_with(head));
            if (!cut) {
                breaks("record", "line " + n + " is not a journal record: " + why);
            } else {
                v->cut_lines.push_back(line.number);
                v->cut_last_line = true;
            }
        }
        expected = line.sha256;
    }
    if (v->break_line != 0) v->cut_last_line = false;
    if (reader.error != 0) {
        *error = fc_journal_read_error(path, reader.error);
        return false;
    }
    return true;
}

int fc_history_verify(const std::string &path, bool json_out, FILE *out, FILE *err) {
    fc_journal_verdict_s v;
    std::string error;
    if (!fc_journal_verify(path, &v, &error)) return history_error(error, json_out, out, err);
    if (json_out) {
        json doc = {{"schema_version", FC_SCHEMA_VERSION},
                    {"path", path},
                    {"lines", v.lines},
                    {"intact", v.break_line == 0},
                    {"cut_lines", v.cut_lines},
                    {"cut_last_line", v.cut_last_line}};
        if (v.break_line != 0)
            doc["break"] = {{"line", v.break_line}, {"reason", v.break_reason}, {"message", v.break_message}};
        fprintf(out, "%s\n", fc_dump(doc).c_str());
    } else if (v.break_line != 0) {
        fprintf(out, "journal %s: the chain breaks at line %" PRIu64 ": %s\n", path.c_str(), v.break_line,
                v.break_message.c_str());
    } else {
        fprintf(out, "journal %s: %" PRIu64 " lines, the chain holds\n", path.c_str(), v.lines);
        for (const uint64_t n : v.cut_lines) {
            if (v.cut_last_line && n == v.lines)
                fprintf(out,
                        "  line %" PRIu64
                        " (the last) is cut short: an append did not finish; the next update "
                        "starts a fresh line after it\n",
                        n);
            else
                fprintf(out,
                        "  line %" PRIu64
                        " is cut short: an append did not finish; the line after it chains "
                        "over it\n",
                        n);
        }
    }
    return v.break_line == 0 ? FC_EXIT_OK : FC_EXIT_FAILED;
}

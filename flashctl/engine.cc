// SPDX-License-Identifier: Apache-2.0
// The update transaction, the rollback and one card's inventory, over the
// table of card operations.
//
// An update plans first, with read-only requests only, and refuses before
// anything reaches the card's flash; it then applies erase, install,
// checksum verification, signature verification and activation in that
// order, stopping at the first failure. The startup selection is only ever
// changed as the very last step, so a failed, timed-out or interrupted
// transaction leaves the card starting what it started before.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>

#include "flashctl.h"
#include "journal.h"

namespace {

constexpr uint64_t k_mib = 1024 * 1024;
constexpr size_t k_hash_block = 1024 * 1024;

const char *const k_phase_names[] = {"plan", "erase", "install", "verify_checksum", "verify_signature", "activate"};
enum phase_e { PHASE_PLAN, PHASE_ERASE, PHASE_INSTALL, PHASE_CHECKSUM, PHASE_SIGNATURE, PHASE_ACTIVATE, PHASE_COUNT };

std::string utc_now() {
    const time_t t = time(nullptr);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string lower_hex(const uint8_t *bytes, size_t len) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * len);
    for (size_t i = 0; i < len; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xf];
    }
    return out;
}

bool is_sha512_hex(const std::string &text) {
    if (text.size() != 2 * RFC_SHA512_LEN) return false;
    for (char c : text)
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

std::string absolute_path(const std::string &path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return path;
    return std::string(cwd) + "/" + path;
}

// The fw slot a partition holds, FIRMWARE_IMAGE_INVALID for the others.
firmware_image_type_e slot_of(flash_partition_e partition) {
    if (partition == FLASH_PARTITION_FW_A) return FIRMWARE_IMAGE_FW_A;
    if (partition == FLASH_PARTITION_FW_B) return FIRMWARE_IMAGE_FW_B;
    if (partition == FLASH_PARTITION_A35_GOLDFIP) return FIRMWARE_IMAGE_A35_GOLDFW;
    return FIRMWARE_IMAGE_INVALID;
}

flash_partition_e partition_of(firmware_image_type_e image) {
    if (image == FIRMWARE_IMAGE_FW_A) return FLASH_PARTITION_FW_A;
    if (image == FIRMWARE_IMAGE_FW_B) return FLASH_PARTITION_FW_B;
    if (image == FIRMWARE_IMAGE_A35_GOLDFW) return FLASH_PARTITION_A35_GOLDFIP;
    return FLASH_PARTITION_ALL;
}

// The client's own account of the failure, when it gave one, follows.
std::string result_text(const std::string &what, int result) {
    std::string text = what + " (result " + std::to_string(result) + ")";
    if (g_fc_session.client_error[0] != '\0') text += std::string(": ") + g_fc_session.client_error;
    g_fc_session.client_error[0] = '\0';
    return text;
}

// What stops a run, as its report says it.
std::string stop_reason(const char *phase) {
    if (fc_session_s::signal != 0)
        return std::string("stopped by signal ") + std::to_string(fc_session_s::signal) + " during " + phase;
    return std::string("stopped during ") + phase + ": the reader of the output went away";
}

// One transaction under way.
struct txn_s {
    const fc_card_ops_s &ops;
    const fc_update_request_s &req;
    fc_update_report_s &rep;
    double phase_t0 = 0;
    phase_e phase = PHASE_PLAN;
    card_lock_s lock{};  // the card's, from the plan until the transaction returns

    void begin(phase_e p, double deadline_s) {
        fc_unblock_stops();
        phase = p;
        phase_t0 = fc_now();
        fc_phase_start(deadline_s);
        g_fc_session.phase = k_phase_names[p];
    }
    void end(fc_phase_status_e status) {
        rep.phases[phase].status = status;
        // Slept seconds count, also where a test's recorder cut them short.
        rep.phases[phase].seconds = fc_now() - phase_t0 + g_fc_session.sleep_credit;
    }
    double deadline(double fallback) const { return req.timeout_s > 0 ? req.timeout_s : fallback; }

    void refuse(doc_error_code_e code, const std::string &message) {
        rep.result = FC_RESULT_REFUSED;
        rep.error = {code, message};
        end(FC_PHASE_FAILED);
    }
    // Ends the phase for a client result that is not 0: a stop raised by a
    // signal or the deadline reads as such, whatever the client returned.
    void fail(const std::string &message) {
        if (fc_session_s::signal != 0 || fc_session_s::reader_gone) {
            rep.result = FC_RESULT_INTERRUPTED;
            rep.error = {DOC_ERROR_INTERRUPTED, stop_reason(k_phase_names[phase])};
            end(FC_PHASE_INTERRUPTED);
        } else if (g_fc_session.timed_out) {
            rep.result = FC_RESULT_TIMEOUT;
            rep.error = {DOC_ERROR_TIMEOUT, std::string(k_phase_names[phase]) + " did not finish within " +
                                                std::to_string(static_cast<long>(g_fc_session.deadline_s)) +
                                                " seconds"};
            end(FC_PHASE_TIMEOUT);
        } else {
            rep.result = FC_RESULT_FAILED;
            rep.error = {DOC_ERROR_FAILED, message};
            end(FC_PHASE_FAILED);
        }
    }
    // Starts the next step unless a stop came since the last one.
    bool start(phase_e p, double deadline_s) {
        begin(p, deadline_s);
        return !stopped();
    }
    bool stopped() {
        if (!fc_check_stop()) return false;
        fail("stopped");
        return true;
    }
};

// The image, opened once: hashed, measured and sent from this one open file,
// so that what the card receives is what was hashed, whatever happens to the
// path meanwhile. A file that changes under the run (bytes appended, written
// over, another file renamed over the path) is noticed and fails the run.
struct image_file_s {
    int fd = -1;
    struct stat st {};
    std::string path;

    image_file_s() = default;
    image_file_s(const image_file_s &) = delete;
    image_file_s &operator=(const image_file_s &) = delete;
    ~image_file_s() {
        if (fd >= 0) close(fd);
    }
    // false with the reason in *error.
    bool open_image(const std::string &image, std::string *error) {
        path = image;
        // Without blocking: a FIFO with no writer must not hang the plan.
        fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            *error = "cannot open image " + path + ": " + strerror(errno);
            return false;
        }
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            *error = "image " + path + " is not a regular file";
            return false;
        }
        return true;
    }
    uint64_t size() const { return static_cast<uint64_t>(st.st_size); }
    // Why the file is no longer the one measured, "" when it still is.
    std::string changed() const {
        struct stat now {};
        if (fstat(fd, &now) != 0 || now.st_size != st.st_size || now.st_mtim.tv_sec != st.st_mtim.tv_sec ||
            now.st_mtim.tv_nsec != st.st_mtim.tv_nsec || now.st_ctim.tv_sec != st.st_ctim.tv_sec ||
            now.st_ctim.tv_nsec != st.st_ctim.tv_nsec)
            return "image " + path + " changed during the run";
        struct stat named {};
        if (stat(path.c_str(), &named) != 0 || named.st_dev != st.st_dev || named.st_ino != st.st_ino)
            return "image " + path + " was replaced during the run";
        return "";
    }
};

// The image's SHA-512, computed on a thread of its own; destroyed early
// (a refusal), it stops hashing at the next block.
struct host_hash_s {
    int fd;
    uint64_t size;
    std::string hex;
    std::string error;
    bool ok = false;
    std::atomic<bool> cancel{false};
    std::thread worker;

    host_hash_s(int image_fd, uint64_t image_size) : fd(image_fd), size(image_size) {
        // The worker starts with the stop signals blocked, so that they reach
        // the main thread and cut its poll sleep short.
        sigset_t stops, before;
        sigemptyset(&stops);
        for (int sig : {SIGINT, SIGTERM, SIGHUP})
            sigaddset(&stops, sig);
        pthread_sigmask(SIG_BLOCK, &stops, &before);
        try {
            worker = std::thread([this] { run(); });
        } catch (const std::system_error &) {
            pthread_sigmask(SIG_SETMASK, &before, nullptr);
            run();  // no thread to be had: hash here
        }
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }
    host_hash_s(const host_hash_s &) = delete;
    host_hash_s &operator=(const host_hash_s &) = delete;
    ~host_hash_s() {
        cancel = true;
        wait();
    }
    void run() { ok = fc_sha512_fd(fd, size, &hex, &error, &cancel); }
    void wait() {
        if (worker.joinable()) worker.join();
    }
};

bool read_selection(const fc_card_ops_s &ops, const char *bdf, fc_selection_s *sel, int *result) {
    firmware_image_type_e running = FIRMWARE_IMAGE_INVALID;
    firmware_image_type_e startup = FIRMWARE_IMAGE_INVALID;
    *result = ops.read_image(FWUPDATE_IMAGE_RUNNING, bdf, &running);
    if (*result == RFC_OK) *result = ops.read_image(FWUPDATE_IMAGE_STARTUP, bdf, &startup);
    if (*result != RFC_OK) return false;
    sel->running_image = fc_image_name(running);
    sel->startup_image = fc_image_name(startup);
    return true;
}

const rfc_partition_s *find_entry(const std::vector<rfc_partition_s> &table, flash_partition_e partition) {
    for (const auto &e : table)
        if (e.id == partition) return &e;
    return nullptr;
}

void read_after(const fc_card_ops_s &ops, const char *bdf, flash_partition_e partition, fc_selection_s *after) {
    std::vector<rfc_partition_s> table;
    int result = 0;
    if (ops.read_partitions(bdf, &table) != RFC_OK) return;
    const rfc_partition_s *entry = find_entry(table, partition);
    if (entry != nullptr) after->version = entry->version;
    after->read = read_selection(ops, bdf, after, &result);
}

}  // namespace

const char *fc_image_name(firmware_image_type_e image) {
    const auto n = static_cast<size_t>(image);
    return n < FU_IMAGE_COUNT ? FU_IMAGE_NAMES[n] : "unknown";
}

bool fc_sha512_fd(int fd, uint64_t size, std::string *hex, std::string *error, const std::atomic<bool> *cancel) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx.get(), EVP_sha512(), nullptr) == 1;
    std::unique_ptr<uint8_t[]> buf(new uint8_t[k_hash_block]);
    uint64_t done = 0;
    while (ok && done < size) {
        if (cancel != nullptr && *cancel) {
            *error = "hashing cancelled";
            ok = false;
            break;
        }
        const size_t want = static_cast<size_t>(std::min<uint64_t>(k_hash_block, size - done));
        const ssize_t n = pread(fd, buf.get(), want, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = std::string("cannot read the image: ") + strerror(errno);
            ok = false;
            break;
        }
        if (n == 0) {
            *error = "the image shrank while it was read";
            ok = false;
            break;
        }
        done += static_cast<uint64_t>(n);
        ok = EVP_DigestUpdate(ctx.get(), buf.get(), static_cast<size_t>(n)) == 1;
    }
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (ok) ok = EVP_DigestFinal_ex(ctx.get(), digest, &len) == 1 && len == RFC_SHA512_LEN;
    if (!ok) {
        if (error->empty()) *error = "cannot hash the image";
        return false;
    }
    *hex = lower_hex(digest, len);
    return true;
}

bool fc_sha512_file(const std::string &path, uint64_t *size, std::string *hex, std::string *error,
                    const std::atomic<bool> *cancel) {
    image_file_s image;
    if (!image.open_image(path, error)) return false;
    if (!fc_sha512_fd(image.fd, image.size(), hex, error, cancel)) {
        *error = "image " + path + ": " + *error;
        return false;
    }
    *size = image.size();
    return true;
}

namespace {

// The card's record of what a partition holds: the digest it computes over
// the length it recorded when the image was installed. Equal to the image's
// SHA-512 only when the partition holds exactly this image, not a longer
// image that merely begins with it.
bool card_records_image(const fc_card_ops_s &ops, flash_partition_e partition, const char *bdf,
                        const std::string &sha512) {
    rfc_startup_image_s recorded;
    if (ops.read_startup_image(partition, bdf, &g_fc_session.stop, &recorded) != RFC_OK) return false;
    return lower_hex(recorded.digest, sizeof recorded.digest) == sha512;
}

// SHA-512 of no bytes: what a card reports for a slot it recorded no image in.
constexpr const char *k_empty_sha512 =
    "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
    "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e";

// Takes the card's lock into guard: FC_RESULT_NONE once held, otherwise how
// the command ends, with its error. A card still held when the wait ends is
// busy, as one held by a taker that is not waited for.
fc_result_e take_card(const fc_card_ops_s &ops, const char *bdf, bool shared, double wait_s, const std::string &card,
                      card_lock_s &guard, fc_error_s *error) {
    guard = ops.take_lock(bdf, shared ? CARD_LOCK_SHARED : CARD_LOCK_EXCLUSIVE, wait_s);
    switch (guard.result) {
        case CARD_LOCK_HELD:
            return FC_RESULT_NONE;
        case CARD_LOCK_BUSY:
        case CARD_LOCK_TIMED_OUT:
            *error = {DOC_ERROR_BUSY, "card " + card + " is busy: another flash-update (pid " +
                                          std::to_string(guard.holder) + ") holds its lock"};
            return FC_RESULT_BUSY;
        case CARD_LOCK_STOPPED:
            *error = {DOC_ERROR_INTERRUPTED, stop_reason("plan")};
            return FC_RESULT_INTERRUPTED;
        case CARD_LOCK_FAILED:
        default:
            *error = {DOC_ERROR_IO, "cannot lock card " + card + ": " + guard.reason};
            return FC_RESULT_FAILED;
    }
}

}  // namespace

fc_update_report_s fc_update(const fc_card_ops_s &ops, const fc_update_request_s &req) {
    fc_update_report_s rep;
    fc_update(ops, req, rep);
    return rep;
}

void fc_update(const fc_card_ops_s &ops, const fc_update_request_s &req, fc_update_report_s &rep) {
    rep = fc_update_report_s{};
    rep.card = req.card;
    rep.partition = req.partition;
    rep.image_path = absolute_path(req.image_path);
    rep.dry_run = req.dry_run;
    rep.time = utc_now();
    for (const char *name : k_phase_names)
        rep.phases.push_back({name, FC_PHASE_SKIPPED, 0});
    txn_s t{ops, req, rep};
    const char *bdf = req.card.c_str();

    // Plan: read-only.
    t.begin(PHASE_PLAN, t.deadline(FC_PLAN_DEADLINE_S));
    if (!ops.address_valid(bdf)) {
        t.refuse(DOC_ERROR_INVALID_CARD, "invalid card address '" + req.card + "' (expected dddd:bb:dd.f)");
        return;
    }
    if (!req.dry_run && !req.journal.empty()) {
        std::string why;
        if (!fc_journal_check(req.journal, &why)) {
            rep.journal_error = why;
            t.refuse(DOC_ERROR_JOURNAL,
                     "the journal cannot take the transaction's line, so the card is left alone: " + why);
            return;
        }
    }
    ops.select_card(bdf);
    const flash_partition_e partition = rfc_partition_from_name(req.partition.c_str());
    if (partition == FLASH_PARTITION_ALL) {
        t.refuse(DOC_ERROR_REFUSED, "unknown partition '" + req.partition + "'");
        return;
    }
    const firmware_image_type_e slot = slot_of(partition);
    if (req.activate && slot != FIRMWARE_IMAGE_FW_A && slot != FIRMWARE_IMAGE_FW_B) {
        t.refuse(DOC_ERROR_REFUSED, "--activate selects fw-a or fw-b only, not " + req.partition);
        return;
    }
    image_file_s image;
    std::string image_error;
    if (!image.open_image(rep.image_path, &image_error)) {
        t.refuse(DOC_ERROR_IO, image_error);
        return;
    }
    rep.image_size = image.size();
    if (rep.image_size == 0) {
        t.refuse(DOC_ERROR_REFUSED, "image " + rep.image_path + " is empty");
        return;
    }
    if (rfc_partition_is_cpld_group(partition) && rep.image_size % RFC_CPLD_ROW != 0) {
        t.refuse(DOC_ERROR_REFUSED, "image of " + std::to_string(rep.image_size) + " bytes is not a whole number of " +
                                        std::to_string(RFC_CPLD_ROW) + "-byte rows, as partition " + req.partition +
                                        " is programmed");
        return;
    }
    // The host hashes the image while the card is asked about it: the
    // card's checksum of the partition takes about as long as the host's.
    host_hash_s hash(image.fd, rep.image_size);
    // A dry run still asks the card for a checksum, which the card computes
    // one at a time: it holds the card shared, so that it never restarts an
    // update's checksum, and an update waits for it.
    if (const fc_result_e result =
            take_card(ops, bdf, req.dry_run, t.deadline(FC_PLAN_DEADLINE_S), req.card, t.lock, &rep.error)) {
        rep.result = result;
        t.end(FC_PHASE_FAILED);
        return;
    }
    if (t.stopped()) return;
    rep.serial_number = ops.serial_number(bdf);
    std::vector<rfc_partition_s> table;
    int r = ops.read_partitions(bdf, &table);
    if (r != RFC_OK) {
        t.fail(result_text("cannot read the card's partition table", r));
        if (rep.result == FC_RESULT_FAILED) rep.error.code = DOC_ERROR_IO;
        return;
    }
    const rfc_partition_s *entry = find_entry(table, partition);
    if (entry == nullptr) {
        t.refuse(DOC_ERROR_REFUSED, "partition " + req.partition + " does not exist on card " + req.card);
        return;
    }
    if (entry->size < rep.image_size) {
        t.refuse(DOC_ERROR_REFUSED, "image of " + std::to_string(rep.image_size) + " bytes does not fit partition " +
                                        req.partition + " of " + std::to_string(entry->size) + " bytes");
        return;
    }
    const uint64_t partition_size = entry->size;
    rep.before.version = entry->version;
    if (!read_selection(ops, bdf, &rep.before, &r)) {
        t.fail(result_text("cannot read the card's running and startup images", r));
        if (rep.result == FC_RESULT_FAILED) rep.error.code = DOC_ERROR_IO;
        return;
    }
    rep.before.read = true;

    // The card holds the image already when its checksum over the image's
    // length is the host's, and its record of the partition (the digest over
    // the length it recorded at the install) is too.
    fc_phase_start(t.deadline(FC_CHECKSUM_DEADLINE_S));
    uint8_t digest[RFC_SHA512_LEN] = {};
    const bool answered = ops.read_checksum(partition, rep.image_size, bdf, g_fc_session.stop, digest) == RFC_OK;
    if (t.stopped()) return;
    hash.wait();
    if (!hash.ok) {
        t.refuse(DOC_ERROR_IO, "image " + rep.image_path + ": " + hash.error);
        return;
    }
    if (const std::string why = image.changed(); !why.empty()) {
        t.refuse(DOC_ERROR_IO, why);
        return;
    }
    rep.image_sha512 = hash.hex;
    if (!req.sha512.empty() &&
        (!is_sha512_hex(req.sha512) || strcasecmp(req.sha512.c_str(), rep.image_sha512.c_str()) != 0)) {
        t.refuse(DOC_ERROR_REFUSED, "image SHA-512 " + rep.image_sha512 + " does not match --sha512 " + req.sha512);
        return;
    }
    bool holds = answered && lower_hex(digest, sizeof digest) == rep.image_sha512;
    if (holds) {
        fc_phase_start(t.deadline(FC_STARTUP_VERIFY_DEADLINE_S));
        holds = card_records_image(ops, partition, bdf, rep.image_sha512);
        if (t.stopped()) return;
    }
    g_fc_session.deadline_s = 0;

    const bool need_write = !holds;
    const bool need_activate = req.activate && rep.before.startup_image != fc_image_name(slot);
    if (need_write && !req.allow_running && slot != FIRMWARE_IMAGE_INVALID &&
        rep.before.running_image == fc_image_name(slot)) {
        t.refuse(DOC_ERROR_REFUSED,
                 "partition " + req.partition + " holds the running image; --allow-running overwrites it");
        return;
    }
    // The card checks the signature whether or not the image was written
    // now: an image it once refused must not pass on a second run.
    const bool check_signature = rfc_partition_is_signed(partition) && ops.keys_present();
    if (need_write) rep.plan_actions = {"erase", "install", "verify_checksum"};
    if (check_signature) rep.plan_actions.push_back("verify_signature");
    if (need_activate) rep.plan_actions.push_back("activate");
    t.end(FC_PHASE_OK);

    if (req.dry_run) {
        rep.result = FC_RESULT_UNCHANGED;
        rep.would_change = need_write || need_activate;
        return;
    }

    // Apply.
    if (need_write) {
        if (!t.start(PHASE_ERASE, t.deadline(FC_ERASE_DEADLINE_S))) return;
        // From the first erase request on, the partition is no longer what it was.
        rep.partition_state = FC_PARTITION_ERASED;
        rep.changed = true;
        rep.phases[PHASE_ERASE].bytes = partition_size;
        r = ops.erase(partition, partition_size, bdf, g_fc_session.stop);
        if (r != RFC_OK) {
            t.fail(result_text("erase of " + req.partition + " failed", r));
            return;
        }
        t.end(FC_PHASE_OK);

        if (!t.start(PHASE_INSTALL,
                     t.deadline(FC_INSTALL_DEADLINE_BASE_S + static_cast<double>(FC_INSTALL_DEADLINE_PER_MIB_S) *
                                                                 ((rep.image_size + k_mib - 1) / k_mib))))
            return;
        rep.partition_state = FC_PARTITION_PARTIALLY_WRITTEN;
        rep.phases[PHASE_INSTALL].bytes = rep.image_size;
        r = ops.write(partition, image.fd, rep.image_size, bdf, g_fc_session.stop);
        if (r != RFC_OK) {
            t.fail(result_text("install of " + rep.image_path + " into " + req.partition + " failed", r));
            return;
        }
        rep.partition_state = FC_PARTITION_WRITTEN_UNVERIFIED;
        if (const std::string why = image.changed(); !why.empty()) {
            t.fail(why);
            read_after(ops, bdf, partition, &rep.after);
            return;
        }
        t.end(FC_PHASE_OK);

        if (!t.start(PHASE_CHECKSUM, t.deadline(FC_CHECKSUM_DEADLINE_S))) return;
        rep.phases[PHASE_CHECKSUM].bytes = rep.image_size;
        r = ops.read_checksum(partition, rep.image_size, bdf, g_fc_session.stop, digest);
        if (r != RFC_OK) {
            t.fail(result_text("the card's checksum of " + req.partition + " failed", r));
            read_after(ops, bdf, partition, &rep.after);
            return;
        }
        if (lower_hex(digest, sizeof digest) != rep.image_sha512) {
            t.fail("the card's checksum of " + req.partition + " " + lower_hex(digest, sizeof digest) +
                   " does not match the image's " + rep.image_sha512);
            read_after(ops, bdf, partition, &rep.after);
            return;
        }
        rep.partition_state = FC_PARTITION_VERIFIED;
        t.end(FC_PHASE_OK);
    }
    if (check_signature) {
        if (!t.start(PHASE_SIGNATURE, t.deadline(FC_SIGNATURE_DEADLINE_S))) return;
        r = ops.verify_signature(partition, bdf);
        if (r != RFC_OK) {
            t.fail(result_text("the card refused the signature of the image in " + req.partition, r));
            read_after(ops, bdf, partition, &rep.after);
            return;
        }
        t.end(FC_PHASE_OK);
    }
    if (need_activate) {
        if (!t.start(PHASE_ACTIVATE, t.deadline(FC_ACTIVATE_DEADLINE_S))) return;
        r = ops.set_startup(slot, bdf);
        firmware_image_type_e now = FIRMWARE_IMAGE_INVALID;
        if (r == RFC_OK) r = ops.read_image(FWUPDATE_IMAGE_STARTUP, bdf, &now);
        if (r != RFC_OK || now != slot) {
            rep.changed = true;
            t.fail(r != RFC_OK
                       ? result_text("selecting " + req.partition + " as the startup image failed", r)
                       : "the card starts " + std::string(fc_image_name(now)) + " after selecting " + req.partition);
            read_after(ops, bdf, partition, &rep.after);
            return;
        }
        rep.activated = true;
        rep.changed = true;
        t.end(FC_PHASE_OK);
    }
    rep.result = rep.changed ? FC_RESULT_UPDATED : FC_RESULT_UNCHANGED;
    read_after(ops, bdf, partition, &rep.after);
    return;
}

void fc_update_abandon(fc_update_report_s &rep, fc_abandon_e why) {
    const char *phase = g_fc_session.phase;
    for (auto &p : rep.phases) {
        if (p.name != phase) continue;
        p.status = why == FC_ABANDON_STOP ? FC_PHASE_INTERRUPTED : FC_PHASE_TIMEOUT;
        p.seconds = fc_phase_elapsed();
    }
    fc_abandon_outcome(why, phase, &rep.result, &rep.error);
}

fc_rollback_report_s fc_rollback(const fc_card_ops_s &ops, const std::string &card, bool dry_run, unsigned timeout_s) {
    fc_rollback_report_s rep;
    fc_rollback(ops, card, dry_run, timeout_s, rep);
    return rep;
}

void fc_rollback(const fc_card_ops_s &ops, const std::string &card, bool dry_run, unsigned timeout_s,
                 fc_rollback_report_s &rep) {
    rep = fc_rollback_report_s{};
    rep.card = card;
    rep.dry_run = dry_run;
    const char *bdf = card.c_str();
    const auto deadline = [timeout_s](double fallback) { return timeout_s > 0 ? timeout_s : fallback; };
    auto refuse = [&rep](doc_error_code_e code, const std::string &message) {
        rep.result = FC_RESULT_REFUSED;
        rep.error = {code, message};
    };
    auto stopped = [&rep](const char *what) {
        if (fc_session_s::signal != 0 || fc_session_s::reader_gone) {
            rep.result = FC_RESULT_INTERRUPTED;
            rep.error = {DOC_ERROR_INTERRUPTED, stop_reason(what)};
            return true;
        }
        if (g_fc_session.timed_out) {
            rep.result = FC_RESULT_TIMEOUT;
            rep.error = {DOC_ERROR_TIMEOUT, std::string(what) + " did not finish"};
            return true;
        }
        return false;
    };
    g_fc_session.phase = "plan";
    fc_phase_start(deadline(FC_PLAN_DEADLINE_S));
    if (!ops.address_valid(bdf))
        return refuse(DOC_ERROR_INVALID_CARD, "invalid card address '" + card + "' (expected dddd:bb:dd.f)");
    ops.select_card(bdf);
    // Even a dry run asks the card to verify an image, which would restart an
    // update's checksum: it holds the card shared.
    // Held until the rollback returns.
    card_lock_s lock;
    if (const fc_result_e result = take_card(ops, bdf, dry_run, deadline(FC_PLAN_DEADLINE_S), card, lock, &rep.error)) {
        rep.result = result;
        return;
    }
    if (fc_check_stop() && stopped("plan")) return;
    firmware_image_type_e startup = FIRMWARE_IMAGE_INVALID;
    int r = ops.read_image(FWUPDATE_IMAGE_STARTUP, bdf, &startup);
    if (r != RFC_OK) {
        rep.result = FC_RESULT_FAILED;
        rep.error = {DOC_ERROR_IO, result_text("cannot read the card's startup image", r)};
        return;
    }
    rep.from = fc_image_name(startup);
    if (startup != FIRMWARE_IMAGE_FW_A && startup != FIRMWARE_IMAGE_FW_B)
        return refuse(DOC_ERROR_REFUSED, "the card starts " + rep.from + ", not a fw slot: nothing to roll back to");
    const firmware_image_type_e other = startup == FIRMWARE_IMAGE_FW_A ? FIRMWARE_IMAGE_FW_B : FIRMWARE_IMAGE_FW_A;
    const flash_partition_e other_partition = partition_of(other);
    rep.to = fc_image_name(other);

    g_fc_session.phase = "verify_startup_image";
    fc_phase_start(deadline(FC_STARTUP_VERIFY_DEADLINE_S));
    rfc_startup_image_s image;
    r = ops.read_startup_image(other_partition, bdf, &g_fc_session.stop, &image);
    if (stopped(("verification of " + rep.to).c_str())) return;
    if (r == RFC_ETIMEOUT) {
        rep.result = FC_RESULT_TIMEOUT;
        rep.error = {DOC_ERROR_TIMEOUT, "verification of " + rep.to + " did not finish"};
        return;
    }
    if (r == RFC_OK && lower_hex(image.digest, sizeof image.digest) == k_empty_sha512)
        return refuse(DOC_ERROR_REFUSED,
                      "the card recorded no image in " + rep.to + ": the card keeps starting " + rep.from);
    if (r != RFC_OK || !rfc_startup_image_matches(image))
        return refuse(DOC_ERROR_REFUSED,
                      "the image in " + rep.to + " does not verify: the card keeps starting " + rep.from);
    // The image the card is to start must pass the card's signature check
    // as an update's does, before it is selected.
    if (rfc_partition_is_signed(other_partition) && ops.keys_present()) {
        g_fc_session.phase = "verify_signature";
        fc_phase_start(deadline(FC_SIGNATURE_DEADLINE_S));
        r = ops.verify_signature(other_partition, bdf);
        if (r != RFC_OK)
            return refuse(DOC_ERROR_REFUSED,
                          result_text("the card refused the signature of the image in " + rep.to, r) +
                              ": the card keeps starting " + rep.from);
    }
    if (dry_run) {
        rep.result = FC_RESULT_UNCHANGED;
        return;
    }
    if (fc_check_stop() && stopped("activate")) return;
    g_fc_session.phase = "activate";
    fc_phase_start(deadline(FC_ACTIVATE_DEADLINE_S));
    r = ops.set_startup(other, bdf);
    firmware_image_type_e now = FIRMWARE_IMAGE_INVALID;
    if (r == RFC_OK) r = ops.read_image(FWUPDATE_IMAGE_STARTUP, bdf, &now);
    if (r != RFC_OK || now != other) {
        rep.result = FC_RESULT_FAILED;
        rep.changed = r == RFC_OK;
        rep.error = {DOC_ERROR_FAILED,
                     r != RFC_OK ? result_text("selecting " + rep.to + " failed", r)
                                 : "the card starts " + std::string(fc_image_name(now)) + " after selecting " + rep.to};
        return;
    }
    rep.changed = true;
    rep.result = FC_RESULT_UPDATED;
    return;
}

void fc_rollback_abandon(fc_rollback_report_s &rep, fc_abandon_e why) {
    const char *phase = g_fc_session.phase;
    fc_abandon_outcome(why, phase, &rep.result, &rep.error);
    // A selection sent whose answer never came may have taken effect.
    if (std::string(phase) == "activate") rep.changed = true;
}

// --- the steps a release shares with an update ----------------------------------

fc_result_e fc_take_card(const fc_card_ops_s &ops, const char *bdf, bool shared, double wait_s, const std::string &card,
                         card_lock_s &guard, fc_error_s *error) {
    return take_card(ops, bdf, shared, wait_s, card, guard, error);
}

bool fc_card_holds(const fc_card_ops_s &ops, flash_partition_e partition, uint64_t size, const std::string &sha512,
                   const char *bdf, double checksum_deadline_s, double verify_deadline_s) {
    fc_phase_start(checksum_deadline_s);
    uint8_t digest[RFC_SHA512_LEN] = {};
    if (ops.read_checksum(partition, size, bdf, g_fc_session.stop, digest) != RFC_OK) return false;
    if (lower_hex(digest, sizeof digest) != sha512) return false;
    fc_phase_start(verify_deadline_s);
    return card_records_image(ops, partition, bdf, sha512);
}

std::string fc_hex(const uint8_t *bytes, size_t len) {
    return lower_hex(bytes, len);
}

std::string fc_stop_reason(const char *phase) {
    return stop_reason(phase);
}

void fc_abandon_outcome(fc_abandon_e why, const char *phase, fc_result_e *result, fc_error_s *error) {
    if (why == FC_ABANDON_STOP) {
        *result = FC_RESULT_INTERRUPTED;
        *error = {DOC_ERROR_INTERRUPTED, stop_reason(phase) + "; the card did not answer"};
    } else {
        *result = FC_RESULT_TIMEOUT;
        *error = {DOC_ERROR_TIMEOUT, std::string(phase) + " did not finish within " +
                                         std::to_string(static_cast<long>(g_fc_session.deadline_s)) +
                                         " seconds: the card did not answer"};
    }
}

std::string fc_result_text(const std::string &what, int result) {
    return result_text(what, result);
}

std::string fc_utc_now() {
    return utc_now();
}

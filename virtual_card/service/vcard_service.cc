// SPDX-License-Identifier: Apache-2.0
// The virtual card's firmware update service: answers the messages of
// endpoint 12 from the card model (partition table, flash store, boot and
// secure-boot state) and applies the configured faults to the answers.
#include "vcard_service.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iterator>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "fe_io.h"
#include "fwupdate_msgs.h"
#include "rfc_types.h"
#include "vcard_internal.h"

namespace {

// Service status words.
constexpr uint32_t ERR_PERM = EPERM;
constexpr uint32_t ERR_NOENT = ENOENT;
constexpr uint32_t ERR_IO = EIO;
constexpr uint32_t ERR_NO_ENDPOINT = ENXIO;
constexpr uint32_t ERR_INVAL = EINVAL;
constexpr uint32_t ERR_NOSPC = ENOSPC;
constexpr uint32_t ERR_NOSYS = ENOSYS;
constexpr uint32_t ERR_BADMSG = EBADMSG;
constexpr uint32_t ERR_KEYREJECTED = EKEYREJECTED;

// Sector erase answers.
constexpr uint8_t SECTOR_ERASED = 0;
constexpr uint8_t SECTOR_OUT_OF_RANGE = 1;
constexpr uint8_t SECTOR_MISALIGNED = 2;

constexpr const char *k_sw_version = "larch-fw 2.14.0-E-42";
constexpr const char *k_bl31_version = "v2.8(release):larch-2.8.1-g4c1d2e3";
constexpr const char *k_profile_name = "larch-ref-dual-100g";

// Copies the request into a zeroed record; bytes the host did not send stay 0.
template <typename T>
T load_req(const uint8_t *req, size_t len) {
    T rec;
    memset(&rec, 0, sizeof rec);
    memcpy(&rec, req, std::min(len, sizeof rec));
    return rec;
}

template <typename T>
void put_rsp(vcard_reply_s &r, const T &rec) {
    const auto *p = reinterpret_cast<const uint8_t *>(&rec);
    r.data.assign(p, p + sizeof rec);
}

// A text into a fixed field: NUL-terminated when it fits. With no_nul the
// text fills the field to its last byte with no terminator, as a name as
// long as its field would: a longer text is cut, a shorter one repeated, so
// a reader that stops at the field's end has the card's own characters and
// no padding. An empty text stays empty.
void put_text(char *field, size_t width, const std::string &text, bool no_nul) {
    memset(field, 0, width);
    if (!no_nul || text.empty()) {
        memcpy(field, text.data(), std::min(text.size(), width - 1));
        return;
    }
    for (size_t i = 0; i < width; i++)
        field[i] = text[i % text.size()];
}

// A JSON object into a fixed field. With no_nul it is widened to end at the
// field's last byte, with blanks before its closing brace: still one object,
// nothing after it. Anything else (a cut object) is filled as a text.
void put_object(char *field, size_t width, const std::string &object, bool no_nul) {
    if (no_nul && !object.empty() && object.back() == '}' && object.size() < width) {
        std::string wide = object.substr(0, object.size() - 1) + std::string(width - object.size(), ' ') + "}";
        memcpy(field, wide.data(), width);
        return;
    }
    put_text(field, width, object, no_nul);
}

uint32_t part_id_of_fw(uint32_t fw) {
    switch (fw) {
        case FIRMWARE_IMAGE_FW_A:
            return FLASH_PARTITION_FW_A;
        case FIRMWARE_IMAGE_FW_B:
            return FLASH_PARTITION_FW_B;
        default:
            return FLASH_PARTITION_A35_GOLDFIP;
    }
}

bool save(vcard_s *c, vcard_reply_s &r) {
    if (vcard_state_save(c->dir, c->state)) return true;
    r.rsp_errno = ERR_IO;
    r.data.clear();
    return false;
}

// Long operations: the first request starts the operation, identical
// requests poll it. Gives `polls` in-progress answers, and more until
// `busy_s` seconds have passed since the start, then the result.
// Returns true while the operation is still busy; *started (when asked for)
// tells whether this request began a new operation.
bool poll_step(vcard_s *c, uint32_t msg, const uint8_t *req, size_t len, unsigned polls, double busy_s,
               bool *started = nullptr) {
    std::vector<uint8_t> key(req, req + len);
    auto it = c->pending.find(msg);
    bool same = it != c->pending.end() && it->second.req == key;
    if (started != nullptr) *started = !same;
    if (same) {
        if (it->second.polls_left > 0) {
            it->second.polls_left--;
            return true;
        }
        if (fe_monotonic_s() < it->second.done_at) return true;
        c->clock.unscaled += it->second.unscaled_s;
        c->pending.erase(it);
        return false;
    }
    if (polls == 0 && busy_s <= 0) {
        c->pending.erase(msg);
        return false;
    }
    const double scaled_s = busy_s * c->options.time_scale;
    c->pending[msg] = vcard_pending_s{key, polls > 0 ? polls - 1 : 0, fe_monotonic_s() + scaled_s, busy_s - scaled_s};
    return true;
}

// Seconds an operation over bytes takes at ms_per_mib.
double busy_seconds(unsigned ms_per_mib, uint64_t bytes) {
    return static_cast<double>(ms_per_mib) / 1000.0 * static_cast<double>(bytes) / (1024.0 * 1024.0);
}

// A write exchange takes at least write_us (at the time scale): counted from
// the answer of the write before it when the host sent this one within
// write_us of that answer (the writes of one install: the host's turnaround
// is part of the card's pace, as it is in a real card's), otherwise from this
// request. The whole milliseconds left come as a late answer (the
// transport's timer, so that other cards are served meanwhile), the rest is
// spent here.
void pace_write(vcard_s *c, double started, vcard_reply_s &r) {
    const double write_s = c->options.write_us / 1e6;
    const bool back_to_back = c->last_write_answer > 0 && started - c->last_write_answer < write_s;
    const double from = back_to_back ? c->last_write_answer : started;
    const double spent_s = fe_monotonic_s() - from;
    const double full_s = std::max(0.0, write_s - spent_s);
    const double left_s = std::max(0.0, write_s * c->options.time_scale - spent_s);
    c->clock.unscaled += full_s - left_s;
    const unsigned whole_ms = static_cast<unsigned>(left_s * 1000);
    r.delay_ms += whole_ms;
    const double rest_s = left_s - whole_ms / 1000.0;
    if (rest_s > 0) std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long>(std::ceil(rest_s * 1e6))));
    c->last_write_answer = fe_monotonic_s() + r.delay_ms / 1000.0;
}

// ---- messages --------------------------------------------------------------

void on_running_image(vcard_s *c, const uint8_t *req, size_t len, const vcard_call_faults_s &, vcard_reply_s &r) {
    auto q = load_req<fwupdate_running_image_req_s>(req, len);
    if (q.image_type > FWUPDATE_IMAGE_STARTUP) {
        r.rsp_errno = ERR_INVAL;
        return;
    }
    fwupdate_running_image_rsp_s rsp{};
    rsp.firmware_type = q.image_type == FWUPDATE_IMAGE_RUNNING ? c->state.running_fw : c->state.startup_fw;
    put_rsp(r, rsp);
}

void on_erase(vcard_s *c, const uint8_t *req, size_t len, const vcard_call_faults_s &, vcard_reply_s &r) {
    auto q = load_req<fwupdate_erase_req_s>(req, len);
    const vcard_partition_def_s *p = vcard_partition_find(q.image_id);
    if (p == nullptr) {
        r.rsp_errno = ERR_NOENT;
        return;
    }
    if (q.size > p->size) {
        c->pending.erase(FWUPDATE_MSG_FLASH_ERASE);
        r.data.assign(1, FWUPDATE_STATUS_FAILED);
        return;
    }
    // Size 0 erases the whole partition; flash erases whole sectors.
    uint64_t n = q.size == 0 ? p->size : (q.size + FLASH_SECTOR_SIZE - 1) / FLASH_SECTOR_SIZE * FLASH_SECTOR_SIZE;
    n = std::min(n, p->size);
    bool started = false;
    bool busy = poll_step(c, FWUPDATE_MSG_FLASH_ERASE, req, len, c->options.erase_polls,
                          busy_seconds(c->options.erase_ms_per_mib, n), &started);
    if (started) {
        if (!vcard_flash_erase(c->dir, *p, 0, n)) {
            c->pending.erase(FWUPDATE_MSG_FLASH_ERASE);
            r.data.assign(1, FWUPDATE_STATUS_FAILED);
            return;
        }
    }
    r.data.assign(1, busy ? FWUPDATE_STATUS_ERASE_IN_PROGRESS : 0);
}

void on_sector_erase(vcard_s *c, const uint8_t *req, size_t len, const vcard_call_faults_s &, vcard_reply_s &r) {
    auto q = load_req<fwupdate_sector_erase_req_s>(req, len);
    const vcard_partition_def_s *p = vcard_partition_find(q.image_id);
    if (p == nullptr) {
        r.rsp_errno = ERR_NOENT;
        return;
    }
    uint8_t result = SECTOR_ERASED;
    if (q.offset % FLASH_SECTOR_SIZE != 0 || q.length == 0 || q.length % FLASH_SECTOR_SIZE != 0)
        result = SECTOR_MISALIGNED;
    else if (q.offset >= p->size || q.length > p->size - q.offset)
        result = SECTOR_OUT_OF_RANGE;
    else if (!vcard_flash_erase(c->dir, *p, q.offset, q.length))
        result = SECTOR_OUT_OF_RANGE;
    r.data.assign(1, result);
}

// The version the card reports for a partition after an install: the one a
// virtual-card image carries in its first line ("FUVC-VERSION=2.15.0-E-3",
// printable, at most the 63 characters the version field holds), otherwise
// one made of the image's hash. Real images are never tagged: a real card
// reports whatever its firmware says.
std::string installed_version(vcard_s *c, const vcard_partition_def_s &p, uint64_t image_len, const uint8_t *digest) {
    static const std::string k_tag = "FUVC-VERSION=";
    char head[80] = {};
    const size_t n = static_cast<size_t>(std::min<uint64_t>(image_len, sizeof head));
    if (n > k_tag.size() && vcard_flash_read(c->dir, p, 0, reinterpret_cast<uint8_t *>(head), n) &&
        std::string(head, k_tag.size()) == k_tag) {
        std::string version;
        for (size_t i = k_tag.size(); i < n && head[i] != '\n'; ++i)
            version += head[i];
        const bool printable =
            std::all_of(version.begin(), version.end(), [](char ch) { return ch > ' ' && ch < 0x7f; });
        if (!version.empty() && version.size() <= 63 && printable) return version;
    }
    return "installed-" + vcard_hex(digest, 4);
}

void on_write(vcard_s *c, const uint8_t *req, size_t len, const vcard_call_faults_s &, vcard_reply_s &r) {
    auto q = load_req<fwupdate_write_req_s>(req, len);
    // The 26-byte header, 1 to 960 data bytes and 6 padding bytes (a request
    // shorter than the header fails here too: its length is below 32).
    if (q.length == 0 || q.length > FLASH_WRITE_CHUNK_SIZE || len != q.length + FWUPDATE_WRITE_REQ_OVERHEAD) {
        r.rsp_errno = ERR_INVAL;
        return;
    }
    const vcard_partition_def_s *p = vcard_partition_find(q.image_id);
    if (p == nullptr) {
        r.rsp_errno = ERR_NOENT;
        return;
    }
    if (q.offset > p->size || q.length > p->size - q.offset) {
        r.rsp_errno = ERR_NOSPC;
        return;
    }
    const uint8_t *data = req + sizeof(fwupdate_write_req_s);
    size_t n = static_cast<size_t>(q.length);
    if (q.verify != 0) {
        std::vector<uint8_t> flash(n);
        if (!vcard_flash_read(c->dir, *p, q.offset, flash.data(), n)) {
            r.rsp_errno = ERR_IO;
            return;
        }
        if (memcmp(flash.data(), data, n) != 0) {
            r.rsp_errno = ERR_BADMSG;
            return;
        }
    } else {
        if (!vcard_flash_write(c->dir, *p, q.offset, data, n)) {
            r.rsp_errno = ERR_IO;
            return;
        }
        if (q.last != 0) {
            // The image is complete: record it, and sign its manifest with
            // the partition's key as the image's own manifest would be.
            vcard_part_state_s &ps = c->state.parts[p->id];
            uint8_t digest[64];
            ps.image_len = q.offset + q.length;
            if (!vcard_flash_sha512(c->dir, *p, ps.image_len, digest)) {
                r.rsp_errno = ERR_IO;
                return;
            }
            ps.install_hash.assign(digest, digest + 64);
            ps.version = installed_version(c, *p, ps.image_len, digest);
            if (p->secure) ps.signature = vcard_sign(ps.key_name, vcard_manifest(p->id, ps.image_len, digest));
            if (!save(c, r)) return;
        }
    }
    fwupdate_write_rsp_s rsp{};
    rsp.next_offset = q.offset + q.length;
    put_rsp(r, rsp);
}

void on_set_startup(vcard_s *c, const uint8_t *req, size_t len, const vcard_call_faults_s &, vcard_reply_s &r) {
    auto q = load_req<fwupdate_set_startup_req_s>(req, len);
    if (q.firmware_type > FIRMWARE_IMAGE_A35_GOLDFW) {
        r.rsp_errno = ERR_INVAL;
        return;
    }
    c->state.startup_fw = q.firmware_type;
    if (save(c, r)) r.data.assign(1, 0);
}

void on_checksum(vcard_s *c, const uint8_t *req, size_t len, const vcard_call_faults_s &, vcard_reply_s &r) {
    auto q = load_req<fwupdate_checksum_req_s>(req, len);
    const vcard_partition_def_s *p = vcard_partition_find(q.image_id);
    if (p == nullptr) {
        r.rsp_errno = ERR_NOENT;
        return;
    }
    fwupdate_checksum_rsp_s rsp{};
    if (q.size > p->size) {
        c->pending.erase(FWUPDATE_MSG_GET_CHECKSUM);
        rsp.status = FWUPDATE_STATUS_FAILED;
    } else if (poll_step(c, FWUPDATE_MSG_GET_CHECKSUM, req, len, c->options.verify_polls,
                         busy_seconds(c->options.checksum_ms_per_mib, q.size))) {
        rsp.status = FWUPDATE_STATUS_VERIFY_IN_PROGRESS;
    } else if (!vcard_flash_sha512(c->dir, *p, q.size, rsp.digest)) {
        rsp.status = FWUPDATE_STATUS_FAILED;
    }
    put_rsp(r, rsp);
}

void on_fw_list(vcard_s *c, const uint8_t *req, size_t len, const vcard_call_faults_s &f, vcard_reply_s &r) {
    uint32_t id = load_req<uint32_t>(req, len);
    const vcard_partition_def_s *p = vcard_partition_find(id);
    if (p == nullptr) {
        r.rsp_errno = ERR_NOENT;
        return;
    }
    const vcard_part_state_s &ps = c->state.parts[p->id];
    fwupdate_fw_list_rsp_s rsp{};
    rsp.image_id = p->id;
    put_text(rsp.version, sizeof rsp.version, ps.version, f.no_nul);
    // Device-tree and firmware-configuration partitions carry a profile
    // record; the others list their versions as text.
    bool profile = p->id == FLASH_PARTITION_DTB || p->id == FLASH_PARTITION_DTB_B || p->id == FLASH_PARTITION_FW_CFG ||
                   p->id == FLASH_PARTITION_FW_CFG_B;
    put_text(rsp.profile_name, sizeof rsp.profile_name, profile ? k_profile_name : "", f.no_nul);
    if (!profile) {
        char text[FWUPDATE_FW_LIST_DATA_LEN];
        snprintf(text, sizeof text, "image: %s\nversion: %s\nsize: %llu\nslot: %u\n", p->id_name, ps.version.c_str(),
                 static_cast<unsigned long long>(ps.image_len), unsigned(p->slot_id));
        put_text(reinterpret_cast<char *>(rsp.data), sizeof rsp.data, text, f.no_nul);
        rsp.data_len = f.no_nul ? sizeof rsp.data : static_cast<uint32_t>(strlen(text));
    }
    if (f.text_len) rsp.data_len = f.text_len_value;
    put_rsp(r, rsp);
}

void on_verify_startup(vcard_s *c, const uint8_t *req, size_t len, const vcard_call_faults_s &f, vcard_reply_s &r) {
    uint32_t id = load_req<uint32_t>(req, len);
    const vcard_partition_def_s *p = vcard_partition_find(id);
    if (p == nullptr) {
        r.rsp_errno = ERR_NOENT;
        return;
    }
    fwupdate_startup_verify_rsp_s rsp{};
    const vcard_part_state_s &ps = c->state.parts[p->id];
    if (poll_step(c, FWUPDATE_MSG_VERIFY_STARTUP_IMAGE, req, len, c->options.verify_polls,
                  busy_seconds(c->options.checksum_ms_per_mib, ps.image_len))) {
        rsp.status = FWUPDATE_STATUS_VERIFY_IN_PROGRESS;
        put_rsp(r, rsp);
        return;
    }
    if (!vcard_flash_sha512(c->dir, *p, ps.image_len, rsp.digest)) {
        rsp.status = FWUPDATE_STATUS_FAILED;
        put_rsp(r, rsp);
        return;
    }
    // The description records the hash taken when the image was installed;
    // the digest is what the flash holds now.
    std::string text = std::string("image: ") + p->id_name + "\nversion: " + ps.version +
                       "\nsize: " + std::to_string(ps.image_len) +
                       "\nhash: " + vcard_hex(ps.install_hash.data(), ps.install_hash.size()) + "\n";
    put_text(rsp.text, sizeof rsp.text, text, f.no_nul);
    rsp.text_len = f.no_nul ? sizeof rsp.text : static_cast<uint32_t>(std::min(text.size(), sizeof rsp.text - 1));
    if (f.text_len) rsp.text_len = f.text_len_value;
    put_rsp(r, rsp);
}

void on_card_info(vcard_s *c, const uint8_t *, size_t, const vcard_call_faults_s &f, vcard_reply_s &r) {
    const vcard_state_s &st = c->state;
    fwupdate_card_info_rsp_s rsp{};
    put_text(rsp.sw_version, sizeof rsp.sw_version, k_sw_version, f.no_nul);
    rsp.board_id = 0x00010042;
    rsp.asic = 4;  // larch
    rsp.cpld_id = 0x21;
    rsp.cpld_image = 0;
    rsp.cpld_version = 3;
    rsp.cpld_minor_version = 7;
    // Build date 12-25-24 14:30, in BCD: minute, hour, day, month, year.
    const uint8_t date[5] = {0x30, 0x14, 0x25, 0x12, 0x24};
    memcpy(rsp.date, date, sizeof date);
    rsp.boot0_version = 2;
    unsigned v = st.fwupdate_ipc_version;
    rsp.fwupdate_ipc_version = static_cast<uint8_t>(v);
    // A service of an older layout version leaves the later fields out.
    if (v >= 2) {
        rsp.board_hw_fuse = 1;
        rsp.board_sigchk = 0x1;
        put_text(rsp.board_keyname, sizeof rsp.board_keyname, st.life_cycle >= 3 ? "prod" : "eng", f.no_nul);
    }
    if (v >= 3) rsp.board_secure_enable = 1;
    if (v >= 4) rsp.board_secure_boot = st.secure_boot ? 1 : 0;
    if (v >= 5) {
        rsp.bl1_slot_num = st.bl1.current_partition;
        rsp.bastion_slot_num = st.bastion.current_partition;
        rsp.life_cycle_state = st.life_cycle;
        rsp.life_cycle_state_fuses = st.lcs_fuses;
    }
    if (f.ipc_version) rsp.fwupdate_ipc_version = f.ipc_version_value;
    put_rsp(r, rsp);
}

void on_partition_info(vcard_s *c, const uint8_t *req, size_t len, const vcard_call_faults_s &f, vcard_reply_s &r) {
    auto q = load_req<fwupdate_partition_info_req_s>(req, len);
    const auto &table = vcard_partition_table();
    if (q.detail > 1) {
        r.rsp_errno = ERR_INVAL;
        return;
    }
    if (q.detail == 0) {
        // Summary: entry count, then the id of every entry.
        r.data.assign(FWUPDATE_PARTITION_SUMMARY_LEN, 0);
        r.data[0] = f.count ? f.count_value : static_cast<uint8_t>(table.size());
        for (size_t i = 0; i < table.size(); i++)
            r.data[1 + i] = static_cast<uint8_t>(table[i].id);
        return;
    }
    if (q.index >= table.size()) {
        r.rsp_errno = ERR_NOENT;
        return;
    }
    const vcard_partition_def_s &p = table[q.index];
    const vcard_part_state_s &ps = c->state.parts[p.id];
    fwupdate_partition_info_rsp_s rsp{};
    rsp.id = p.id;
    rsp.type_id = p.type_id;
    put_text(rsp.id_name, sizeof rsp.id_name, p.id_name, f.no_nul);
    put_text(rsp.type_name, sizeof rsp.type_name, p.type_name, f.no_nul);
    rsp.partition_size = p.size;
    rsp.slot_id = p.slot_id;
    rsp.is_running = part_id_of_fw(c->state.running_fw) == p.id ? 1 : 0;
    rsp.is_startup = part_id_of_fw(c->state.startup_fw) == p.id ? 1 : 0;
    put_text(rsp.version, sizeof rsp.version, ps.version, f.no_nul);
    put_rsp(r, rsp);
}

void on_secure_boot_update(vcard_s *c, const uint8_t *req, size_t len, const vcard_call_faults_s &, vcard_reply_s &r) {
    auto q = load_req<fwupdate_secure_boot_update_req_s>(req, len);
    if (q.option != SECURE_BOOT_ENABLE && q.option != SECURE_BOOT_DISABLE) {
        r.rsp_errno = ERR_INVAL;
        return;
    }
    // A card in production keeps secure boot on.
    if (q.option == SECURE_BOOT_DISABLE && c->state.life_cycle >= 3) {
        r.rsp_errno = ERR_PERM;
        return;
    }
    c->state.secure_boot = q.option == SECURE_BOOT_ENABLE;
    if (!save(c, r)) return;
    fwupdate_secure_boot_update_req_s rsp{};
    rsp.option = q.option;
    put_rsp(r, rsp);
}

void on_secure_info(vcard_s *c, const uint8_t *req, size_t len, const vcard_call_faults_s &f, vcard_reply_s &r) {
    uint32_t comp = load_req<uint32_t>(req, len);
    if (comp < SECURE_IMAGE_LCS || comp > SECURE_IMAGE_BASTION) {
        r.rsp_errno = ERR_INVAL;
        return;
    }
    const vcard_state_s &st = c->state;
    fwupdate_secure_info_rsp_s rsp{};
    rsp.status = 0;
    rsp.bl1_version = st.bl1.version;
    rsp.bl1_ar_version = st.bl1.ar_version;
    rsp.lcs_boot_state = st.lcs_boot_state;
    rsp.lcs_next_state = st.life_cycle;
    rsp.bl1_ar_nv_count = st.bl1.ar_nv_count;
    rsp.bastionfw_version = st.bastion.version;
    rsp.bastion_ar_version = st.bastion.ar_version;
    rsp.bastion_ar_nv_count = st.bastion.ar_nv_count;
    rsp.secure_ipc_version = 2;
    const vcard_secure_comp_s *sc = comp == SECURE_IMAGE_BL1       ? &st.bl1
                                    : comp == SECURE_IMAGE_BASTION ? &st.bastion
                                                                   : nullptr;
    if (sc != nullptr) {
        rsp.next_boot_partition = sc->next_partition;
        rsp.current_boot_partition = sc->current_partition;
    }
    put_text(rsp.bl31_version, sizeof rsp.bl31_version, k_bl31_version, f.no_nul);
    // Fuse word: bit 0 secure boot, bits 4-7 life cycle.
    rsp.fuse = (st.secure_boot ? 0x1u : 0u) | (static_cast<uint32_t>(st.life_cycle) << 4);
    rsp.bastion_enable = st.secure_boot ? 1 : 0;
    rsp.bootloader1_current_fuse = st.bl1.current_partition;
    put_rsp(r, rsp);
}

void on_secure_image_update(vcard_s *c, const uint8_t *req, size_t len, const vcard_call_faults_s &, vcard_reply_s &r) {
    auto q = load_req<fwupdate_secure_image_update_req_s>(req, len);
    vcard_state_s &st = c->state;
    vcard_secure_comp_s *sc = q.type == SECURE_IMAGE_BL1       ? &st.bl1
                              : q.type == SECURE_IMAGE_BASTION ? &st.bastion
                                                               : nullptr;
    switch (q.opcode) {
        case SECURE_UPDATE_BOOT_ALT_PARTITION:
            if (sc == nullptr) {
                r.rsp_errno = ERR_INVAL;
                return;
            }
            sc->next_partition = sc->current_partition == 0 ? 1 : 0;
            break;
        case SECURE_UPDATE_SET_AR_COUNTER:
            if (sc == nullptr) {
                r.rsp_errno = ERR_INVAL;
                return;
            }
            sc->ar_nv_count = sc->ar_version;
            break;
        case SECURE_UPDATE_SET_PRODUCTION:
            if (q.type != SECURE_IMAGE_LCS) {
                r.rsp_errno = ERR_INVAL;
                return;
            }
            if (st.life_cycle > 3) {  // rip: no way back
                r.rsp_errno = ERR_PERM;
                return;
            }
            // The production fuses are blown at once; the running boot keeps
            // the state it started in.
            st.life_cycle = 3;
            st.lcs_fuses |= 0x4;
            break;
        default:
            r.rsp_errno = ERR_INVAL;
            return;
    }
    if (save(c, r)) r.data.assign(FWUPDATE_SECURE_IMAGE_UPDATE_RSP_LEN, 0);
}

std::string json_escape(const std::string &text) {
    std::string out;
    for (char ch : text) {
        if (ch == '"' || ch == '\\') out.push_back('\\');
        out.push_back(ch);
    }
    return out;
}

void on_signed_data(vcard_s *c, const uint8_t *req, size_t len, const vcard_call_faults_s &f, vcard_reply_s &r) {
    uint32_t id = load_req<uint32_t>(req, len);
    const vcard_partition_def_s *p = vcard_partition_find(id);
    if (p == nullptr || !p->secure) {
        r.rsp_errno = p != nullptr ? ERR_INVAL : ERR_NOENT;
        return;
    }
    const vcard_part_state_s &ps = c->state.parts[p->id];
    std::string key = f.key_name ? f.key_name_text : ps.key_name;
    std::string json = "{";
    if (!f.no_key_name) json += "\"key_name\": \"" + json_escape(key) + "\", ";
    json += std::string("\"image\": \"") + p->id_name + "\", \"version\": \"" + json_escape(ps.version) +
            "\", \"size\": " + std::to_string(ps.image_len) + ", \"hash_alg\": \"sha512\", \"hash\": \"" +
            vcard_hex(ps.install_hash.data(), ps.install_hash.size()) + "\"}";
    if (f.bad_json) json = "{\"key_name\": \"" + json_escape(key) + "\", \"image\": ";
    fwupdate_signed_data_rsp_s rsp{};
    rsp.rsvd1 = 1;  // metadata format
    put_object(rsp.data, sizeof rsp.data, json, f.no_nul);
    rsp.data_len = f.no_nul ? sizeof rsp.data : static_cast<uint32_t>(std::min(json.size(), sizeof rsp.data - 1));
    if (f.text_len) rsp.data_len = f.text_len_value;
    put_rsp(r, rsp);
}

void on_verify_signature(vcard_s *c, const uint8_t *req, size_t len, const vcard_call_faults_s &, vcard_reply_s &r) {
    auto q = load_req<fwupdate_verify_signature_req_s>(req, len);
    // The key, then 68 bytes the host leaves unset: 80 bytes besides the key,
    // and the whole request within the host's 1016-byte buffer.
    if (q.key_len > FWUPDATE_VERIFY_SIGNATURE_MAX_KEY || len != q.key_len + FWUPDATE_VERIFY_SIGNATURE_OVERHEAD) {
        r.rsp_errno = ERR_INVAL;
        return;
    }
    const vcard_partition_def_s *p = vcard_partition_find(q.partition);
    if (q.op != FWUPDATE_VERIFY_SIGNATURE_OP || p == nullptr || !p->secure) {
        r.rsp_errno = p == nullptr ? ERR_NOENT : ERR_INVAL;
        return;
    }
    const vcard_part_state_s &ps = c->state.parts[p->id];
    uint8_t digest[64];
    if (!vcard_flash_sha512(c->dir, *p, ps.image_len, digest)) {
        r.rsp_errno = ERR_IO;
        return;
    }
    vcard_verify_e v = vcard_verify(req + sizeof(fwupdate_verify_signature_req_s), q.key_len,
                                    vcard_manifest(p->id, ps.image_len, digest), ps.signature);
    if (v != VCARD_VERIFY_OK) {
        r.rsp_errno = v == VCARD_VERIFY_BAD_KEY ? ERR_INVAL : ERR_KEYREJECTED;
        return;
    }
    r.data.assign(FWUPDATE_VERIFY_SIGNATURE_RSP_LEN, 0);
    memcpy(r.data.data(), &q.op, 4);
    memcpy(r.data.data() + 4, &q.partition, 4);
}

// ---- request and answer sizes ------------------------------------------------

// Length of the message's answer; a refused request is answered with that
// many bytes too (zeros), so every answer carries data. The partition
// summary is longer than an entry; a message the service does not know gets
// one byte.
size_t response_len(uint32_t msg, const uint8_t *req, size_t len) {
    if (msg == FWUPDATE_MSG_GET_PARTITION_INFO && load_req<fwupdate_partition_info_req_s>(req, len).detail == 0)
        return FWUPDATE_PARTITION_SUMMARY_LEN;
    const size_t rsp_len = fwupdate_rsp_len(msg);
    return rsp_len != 0 ? rsp_len : 1;
}

// The answer to a refused request: zeros of the message's answer length.
// The secure information answer also carries the error in its command status.
void fill_error_answer(uint32_t msg, const uint8_t *req, size_t len, vcard_reply_s &r) {
    r.data.assign(response_len(msg, req, len), 0);
    if (msg == FWUPDATE_MSG_GET_SECURE_INFO)
        memcpy(r.data.data() + offsetof(fwupdate_secure_info_rsp_s, status), &r.rsp_errno, sizeof r.rsp_errno);
}

// ---- faults ----------------------------------------------------------------

void collect_faults(vcard_s *c, uint32_t msg, unsigned call, vcard_call_faults_s &f,
                    std::vector<const vcard_fault_s *> &late) {
    for (const auto &fault : c->faults) {
        if ((fault.msg != 0 && fault.msg != msg) || (fault.call != 0 && fault.call != call)) continue;
        switch (fault.kind) {
            case VCARD_FAULT_NO_NUL:
                f.no_nul = true;
                break;
            case VCARD_FAULT_BAD_JSON:
                f.bad_json = true;
                break;
            case VCARD_FAULT_NO_KEY_NAME:
                f.no_key_name = true;
                break;
            case VCARD_FAULT_KEY_NAME:
                f.key_name = true;
                f.key_name_text = fault.text;
                break;
            case VCARD_FAULT_TEXT_LEN:
                f.text_len = true;
                f.text_len_value = static_cast<uint32_t>(fault.value);
                break;
            case VCARD_FAULT_COUNT:
                f.count = true;
                f.count_value = static_cast<uint8_t>(fault.value);
                break;
            case VCARD_FAULT_IPC_VERSION:
                f.ipc_version = true;
                f.ipc_version_value = static_cast<uint8_t>(fault.value);
                break;
            default:
                late.push_back(&fault);
                break;
        }
    }
}

void apply_late_fault(uint32_t msg, const vcard_fault_s &fault, vcard_reply_s &r) {
    switch (fault.kind) {
        case VCARD_FAULT_STATUS_WORD:
            r.rsp_errno = static_cast<uint32_t>(fault.value);
            break;
        case VCARD_FAULT_STATUS: {
            if (msg == FWUPDATE_MSG_GET_SECURE_INFO) {
                if (r.data.size() < 4) r.data.resize(4, 0);
                uint32_t v = static_cast<uint32_t>(fault.value);
                memcpy(r.data.data(), &v, 4);
                break;
            }
            size_t off = msg == FWUPDATE_MSG_VERIFY_STARTUP_IMAGE ? offsetof(fwupdate_startup_verify_rsp_s, status) : 0;
            if (r.data.size() <= off) r.data.resize(off + 1, 0);
            r.data[off] = static_cast<uint8_t>(fault.value);
            break;
        }
        case VCARD_FAULT_NEXT_OFFSET:
            if (r.data.size() < sizeof(fwupdate_write_rsp_s)) r.data.resize(sizeof(fwupdate_write_rsp_s), 0);
            memcpy(r.data.data(), &fault.value, sizeof fault.value);
            break;
        case VCARD_FAULT_RSP_LEN:
            r.data.resize(static_cast<size_t>(std::min<uint64_t>(fault.value, 1u << 16)), 0);
            break;
        case VCARD_FAULT_DELAY:
            r.delay_ms = static_cast<unsigned>(std::min<uint64_t>(fault.value, 600000));
            break;
        case VCARD_FAULT_NO_ANSWER:
            r.wire_fault = VCARD_WIRE_NO_ANSWER;
            break;
        case VCARD_FAULT_SHORT:
            r.wire_fault = VCARD_WIRE_SHORT;
            break;
        case VCARD_FAULT_BAD_TYPE:
            r.wire_fault = VCARD_WIRE_BAD_TYPE;
            break;
        case VCARD_FAULT_BAD_MAGIC:
            r.wire_fault = VCARD_WIRE_BAD_MAGIC;
            break;
        case VCARD_FAULT_BAD_VERSION:
            r.wire_fault = VCARD_WIRE_BAD_VERSION;
            break;
        case VCARD_FAULT_BAD_MSG:
            r.wire_fault = VCARD_WIRE_BAD_MSG;
            break;
        case VCARD_FAULT_OVERSIZE:
            r.wire_fault = VCARD_WIRE_OVERSIZE;
            break;
        case VCARD_FAULT_TRUNCATED:
            r.wire_fault = VCARD_WIRE_TRUNCATED;
            break;
        default:
            break;
    }
}

using handler_fn = void (*)(vcard_s *c, const uint8_t *req, size_t len, const vcard_call_faults_s &f, vcard_reply_s &r);
struct handler_s {
    uint32_t msg;
    handler_fn fn;
};
const handler_s k_handlers[] = {
    {FWUPDATE_MSG_GET_RUNNING_IMAGE, on_running_image},
    {FWUPDATE_MSG_FLASH_ERASE, on_erase},
    {FWUPDATE_MSG_FLASH_WRITE, on_write},
    {FWUPDATE_MSG_SET_STARTUP_IMAGE, on_set_startup},
    {FWUPDATE_MSG_GET_CHECKSUM, on_checksum},
    {FWUPDATE_MSG_GET_FW_LIST, on_fw_list},
    {FWUPDATE_MSG_VERIFY_STARTUP_IMAGE, on_verify_startup},
    {FWUPDATE_MSG_GET_CARD_INFO, on_card_info},
    {FWUPDATE_MSG_GET_PARTITION_INFO, on_partition_info},
    {FWUPDATE_MSG_FLASH_SECTOR_ERASE, on_sector_erase},
    {FWUPDATE_MSG_SECURE_BOOT_UPDATE, on_secure_boot_update},
    {FWUPDATE_MSG_GET_SECURE_INFO, on_secure_info},
    {FWUPDATE_MSG_SECURE_IMAGE_UPDATE, on_secure_image_update},
    {FWUPDATE_MSG_GET_SIGNED_DATA, on_signed_data},
    {FWUPDATE_MSG_VERIFY_SIGNATURE, on_verify_signature},
};
static_assert(std::size(k_handlers) == std::size(k_fwupdate_msgs), "every message of the service has its handler");

// One request of the right size to its message's handler.
void dispatch(vcard_s *c, uint32_t msg, const uint8_t *req, size_t len, const vcard_call_faults_s &f,
              vcard_reply_s &r) {
    for (const handler_s &h : k_handlers) {
        if (h.msg == msg) {
            h.fn(c, req, len, f, r);
            return;
        }
    }
    r.rsp_errno = ERR_NOSYS;
}

void log_request(vcard_s *c, uint32_t endpoint, uint32_t msg, const uint8_t *req, size_t len) {
    char head[48];
    snprintf(head, sizeof head, "%u 0x%x ", endpoint, msg);
    std::string line = head + vcard_hex(req, len) + "\n";
    int fd = open(vcard_requests_path(c).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    // One write per line (O_APPEND): concurrent writers never interleave
    // inside a line. A log that cannot take it loses the line, not the answer.
    (void)fe_write_all(fd, line);
    close(fd);
}

}  // namespace

vcard_s *vcard_open(const vcard_options_s &options) {
    if (options.state_dir.empty()) {
        fprintf(stderr, "vcard: no state directory\n");
        return nullptr;
    }
    if (!(options.time_scale > 0 && options.time_scale <= 1)) {
        fprintf(stderr, "vcard: time scale %g is not above 0 and at most 1\n", options.time_scale);
        return nullptr;
    }
    auto *c = new vcard_s;
    c->dir = options.state_dir;
    c->options = options;
    for (const auto &spec : options.faults) {
        vcard_fault_s fault;
        std::string err;
        if (!vcard_fault_parse(spec, fault, err)) {
            fprintf(stderr, "vcard: %s\n", err.c_str());
            delete c;
            return nullptr;
        }
        c->faults.push_back(fault);
    }
    std::string err;
    if (!vcard_make_dirs(c->dir + "/flash", 0755, nullptr)) {
        fprintf(stderr, "vcard: cannot create %s/flash: %s\n", c->dir.c_str(), strerror(errno));
        delete c;
        return nullptr;
    }
    if (!vcard_state_load(c->dir, c->state, err)) {
        fprintf(stderr, "vcard: %s\n", err.c_str());
        delete c;
        return nullptr;
    }
    if (options.fwupdate_ipc_version >= 0)
        c->state.fwupdate_ipc_version = static_cast<unsigned>(std::min(options.fwupdate_ipc_version, 255));
    if (!vcard_state_save(c->dir, c->state)) {
        fprintf(stderr, "vcard: cannot write %s/state.txt\n", c->dir.c_str());
        delete c;
        return nullptr;
    }
    return c;
}

void vcard_close(vcard_s *card) {
    delete card;
}

std::string vcard_requests_path(const vcard_s *card) {
    return card->dir + "/requests.log";
}

vcard_reply_s vcard_handle(vcard_s *card, uint32_t endpoint, uint32_t msg, const uint8_t *req, size_t req_len,
                           size_t rsp_cap) {
    static const uint8_t empty = 0;
    if (req == nullptr) req = &empty;
    const double started = fe_monotonic_s();
    std::lock_guard<std::mutex> guard(card->lock);
    log_request(card, endpoint, msg, req, req_len);
    vcard_reply_s r;
    if (endpoint != IPC_EP_FWUPDATE) {
        r.rsp_errno = ERR_NO_ENDPOINT;
        return r;
    }
    unsigned call = ++card->calls[msg];
    vcard_call_faults_s f;
    std::vector<const vcard_fault_s *> late;
    collect_faults(card, msg, call, f, late);
    // Fixed-size requests of another length are refused before any work.
    size_t exact_len = fwupdate_req_len(msg);
    if (exact_len != 0 && req_len != exact_len)
        r.rsp_errno = ERR_INVAL;
    else
        dispatch(card, msg, req, req_len, f, r);
    if (r.rsp_errno != 0 && r.data.empty()) fill_error_answer(msg, req, req_len, r);
    if (r.data.size() > rsp_cap) r.data.resize(rsp_cap);
    for (const vcard_fault_s *fault : late)
        apply_late_fault(msg, *fault, r);
    if (msg == FWUPDATE_MSG_FLASH_WRITE && card->options.write_us != 0) pace_write(card, started, r);
    if (card->clock.requests++ == 0) card->clock.first_request = started;
    card->clock.last_answer = fe_monotonic_s() + r.delay_ms / 1000.0;
    return r;
}

vcard_clock_s vcard_clock(vcard_s *card) {
    std::lock_guard<std::mutex> guard(card->lock);
    return card->clock;
}

// SPDX-License-Identifier: Apache-2.0
// The card's partition table, its persisted state (state.txt) and its
// flash store (one sparse file per partition).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "fe_io.h"
#include "vcard_internal.h"

namespace {

constexpr uint64_t KiB = 1024;
constexpr uint64_t MiB = 1024 * 1024;

// Type numbers of the card's partition kinds.
enum : uint32_t {
    PT_BOOT = 0,
    PT_BL1 = 1,
    PT_FIP = 2,
    PT_UBOOT = 3,
    PT_FW = 4,
    PT_DTB = 5,
    PT_FW_CFG = 6,
    PT_BASTION = 7,
    PT_SOFTROM = 8,
    PT_CPLD = 9,
    PT_UFM = 10,
    PT_OPROM = 11,
    PT_LOG = 12,
    PT_COREDUMP = 13,
};

const std::vector<vcard_partition_def_s> k_partitions = {
    {0, PT_BOOT, "boot0", "boot", 1 * MiB, 0, false, "boot0-1.2.0"},
    {1, PT_BL1, "a35-bl1-0", "bl1", 256 * KiB, 0, true, "bl1-2.3.1"},
    {2, PT_BL1, "a35-bl1-1", "bl1", 256 * KiB, 1, true, "bl1-2.3.1"},
    {3, PT_FIP, "a35-goldfip", "fip", 4 * MiB, 2, true, "goldfip-1.0.4"},
    {4, PT_UBOOT, "uboot-a", "uboot", 2 * MiB, 0, false, "uboot-2023.04-larch3"},
    {5, PT_UBOOT, "uboot-b", "uboot", 2 * MiB, 1, false, "uboot-2023.04-larch3"},
    {6, PT_FW, "fw-a", "firmware", 32 * MiB, 0, true, "2.14.0-E-42"},
    {7, PT_FW, "fw-b", "firmware", 32 * MiB, 1, true, "2.13.2-E-17"},
    {8, PT_DTB, "dtb", "dtb", 256 * KiB, 0, false, "dtb-1.6.0"},
    {9, PT_DTB, "dtb-b", "dtb", 256 * KiB, 1, false, "dtb-1.6.0"},
    {10, PT_UBOOT, "a35-golduboot", "uboot", 2 * MiB, 2, false, "uboot-2022.01-gold1"},
    {11, PT_FW_CFG, "fw_cfg", "fw_cfg", 64 * KiB, 0, false, "cfg-3.1.0"},
    {12, PT_FW_CFG, "fw_cfg-b", "fw_cfg", 64 * KiB, 1, false, "cfg-3.1.0"},
    {13, PT_BASTION, "bastionfw-0", "bastion", 1 * MiB, 0, true, "bastion-1.9.2"},
    {14, PT_BASTION, "bastionfw-1", "bastion", 1 * MiB, 1, true, "bastion-1.9.2"},
    {15, PT_SOFTROM, "softrom-0", "softrom", 512 * KiB, 0, false, "softrom-1.1.0"},
    {16, PT_SOFTROM, "softrom-1", "softrom", 512 * KiB, 1, false, "softrom-1.1.0"},
    {17, PT_CPLD, "cpld", "cpld", 256 * KiB, 0, false, "cpld-3.7"},
    {18, PT_CPLD, "cpld-g", "cpld", 256 * KiB, 1, false, "cpld-3.5"},
    {19, PT_UFM, "ufm1", "ufm", 128 * KiB, 0, false, "ufm-1.0"},
    {20, PT_UFM, "ufm2", "ufm", 128 * KiB, 1, false, "ufm-1.0"},
    {21, PT_OPROM, "oprom", "oprom", 1 * MiB, 0, false, "oprom-0.9.8"},
    {23, PT_LOG, "boot_fault_log", "log", 256 * KiB, 0, false, "log-1"},
    {24, PT_LOG, "runtime_log", "log", 4 * MiB, 0, false, "log-1"},
    {25, PT_COREDUMP, "coredump", "coredump", 16 * MiB, 0, false, "coredump-1"},
};

std::string flash_path(const std::string &dir, const vcard_partition_def_s &p) {
    return dir + "/flash/" + p.id_name + ".bin";
}

// Reads exactly len bytes at off; bytes past the end of the file are zero
// (stored form of erased flash).
bool pread_full(int fd, uint8_t *buf, size_t len, uint64_t off) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = pread(fd, buf + done, len - done, static_cast<off_t>(off + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            memset(buf + done, 0, len - done);
            return true;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// state.txt holds one key=value a line; a value is cut at the line's end
// only. Backslashes, line breaks and every other control character are
// escaped (\\, \n, \r, \xHH), so that no value can end its line and start
// a key of its own.
std::string escaped(const std::string &value) {
    std::string out;
    for (char c : value) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (b < 0x20 || b == 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", b);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The reverse of escaped(); a backslash that starts no escape stays as it is
// (a file written by hand).
std::string unescaped(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (text[i] != '\\') {
            out += text[i];
        } else if (next == '\\' || next == 'n' || next == 'r') {
            out += next == 'n' ? '\n' : next == 'r' ? '\r' : '\\';
            i++;
        } else if (next == 'x' && i + 3 < text.size() && hex_digit(text[i + 2]) >= 0 && hex_digit(text[i + 3]) >= 0) {
            out += static_cast<char>(hex_digit(text[i + 2]) * 16 + hex_digit(text[i + 3]));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

void load_comp(const std::map<std::string, std::string> &kv, const std::string &name, vcard_secure_comp_s &c) {
    uint64_t v = 0;
    auto get = [&](const char *field, uint64_t &out) {
        auto it = kv.find(name + "." + field);
        if (it != kv.end() && vcard_parse_u64(it->second, v)) out = v;
    };
    uint64_t cur = c.current_partition, next = c.next_partition, arv = c.ar_version;
    get("current_partition", cur);
    get("next_partition", next);
    get("version", c.version);
    get("ar_version", arv);
    get("ar_nv_count", c.ar_nv_count);
    c.current_partition = static_cast<uint8_t>(cur);
    c.next_partition = static_cast<uint8_t>(next);
    c.ar_version = static_cast<uint8_t>(arv);
}

void save_comp(std::ostream &os, const std::string &name, const vcard_secure_comp_s &c) {
    os << name << ".current_partition=" << unsigned(c.current_partition) << "\n";
    os << name << ".next_partition=" << unsigned(c.next_partition) << "\n";
    os << name << ".version=" << c.version << "\n";
    os << name << ".ar_version=" << unsigned(c.ar_version) << "\n";
    os << name << ".ar_nv_count=" << c.ar_nv_count << "\n";
}

void factory_state(vcard_state_s &st) {
    st = vcard_state_s{};
    st.bl1 = {0, 0, 0x00020003000100ULL, 3, 2};
    st.bastion = {0, 0, 0x00010009000200ULL, 6, 5};
    for (const auto &p : k_partitions) {
        vcard_part_state_s ps;
        ps.version = p.version;
        st.parts[p.id] = ps;
    }
}

}  // namespace

const std::vector<vcard_partition_def_s> &vcard_partition_table() {
    return k_partitions;
}

const vcard_partition_def_s *vcard_partition_find(uint32_t id) {
    for (const auto &p : k_partitions)
        if (p.id == id) return &p;
    return nullptr;
}

void vcard_state_complete(vcard_state_s &st) {
    for (const auto &p : k_partitions) {
        vcard_part_state_s &ps = st.parts[p.id];
        if (ps.install_hash.size() != 64) {
            // The factory image of the virtual card is empty: its recorded
            // hash is that of zero bytes.
            uint8_t digest[64];
            vcard_sha512(nullptr, 0, digest);
            ps.install_hash.assign(digest, digest + 64);
            ps.image_len = 0;
        }
        if (ps.key_name.empty()) ps.key_name = "prod";
        if (p.secure && ps.signature.size() != VCARD_SIG_LEN)
            ps.signature = vcard_sign(ps.key_name, vcard_manifest(p.id, ps.image_len, ps.install_hash.data()));
    }
}

bool vcard_state_load(const std::string &dir, vcard_state_s &st, std::string &err) {
    factory_state(st);
    std::ifstream in(dir + "/state.txt");
    if (!in) {
        if (access((dir + "/state.txt").c_str(), F_OK) == 0) {
            err = "cannot read " + dir + "/state.txt";
            return false;
        }
        vcard_state_complete(st);
        return true;
    }
    std::map<std::string, std::string> kv;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        kv[line.substr(0, eq)] = unescaped(line.substr(eq + 1));
    }
    uint64_t v = 0;
    auto num = [&](const char *key, auto &field) {
        auto it = kv.find(key);
        if (it != kv.end() && vcard_parse_u64(it->second, v))
            field = static_cast<std::remove_reference_t<decltype(field)>>(v);
    };
    num("fwupdate_ipc_version", st.fwupdate_ipc_version);
    num("running_fw", st.running_fw);
    num("startup_fw", st.startup_fw);
    num("secure_boot", st.secure_boot);
    num("lcs_boot_state", st.lcs_boot_state);
    num("life_cycle", st.life_cycle);
    num("lcs_fuses", st.lcs_fuses);
    load_comp(kv, "bl1", st.bl1);
    load_comp(kv, "bastion", st.bastion);
    for (const auto &p : k_partitions) {
        vcard_part_state_s &ps = st.parts[p.id];
        std::string base = std::string("part.") + p.id_name + ".";
        auto it = kv.find(base + "image_len");
        if (it != kv.end() && vcard_parse_u64(it->second, v)) ps.image_len = std::min<uint64_t>(v, p.size);
        it = kv.find(base + "version");
        if (it != kv.end()) ps.version = it->second.substr(0, 63);
        it = kv.find(base + "hash");
        if (it != kv.end() && (!vcard_unhex(it->second, ps.install_hash) || ps.install_hash.size() != 64))
            ps.install_hash.clear();
        it = kv.find(base + "key");
        if (it != kv.end()) ps.key_name = it->second;
        it = kv.find(base + "signature");
        if (it != kv.end() && (!vcard_unhex(it->second, ps.signature) || ps.signature.size() != VCARD_SIG_LEN))
            ps.signature.clear();
    }
    vcard_state_complete(st);
    return true;
}

bool vcard_state_save(const std::string &dir, const vcard_state_s &st) {
    std::ostringstream os;
    os << "# virtual card state; one key=value a line\n";
    os << "format=1\n";
    os << "fwupdate_ipc_version=" << st.fwupdate_ipc_version << "\n";
    os << "running_fw=" << st.running_fw << "\n";
    os << "startup_fw=" << st.startup_fw << "\n";
    os << "secure_boot=" << (st.secure_boot ? 1 : 0) << "\n";
    os << "lcs_boot_state=" << unsigned(st.lcs_boot_state) << "\n";
    os << "life_cycle=" << unsigned(st.life_cycle) << "\n";
    char fuses[32];
    snprintf(fuses, sizeof fuses, "0x%llx", static_cast<unsigned long long>(st.lcs_fuses));
    os << "lcs_fuses=" << fuses << "\n";
    save_comp(os, "bl1", st.bl1);
    save_comp(os, "bastion", st.bastion);
    for (const auto &p : k_partitions) {
        auto it = st.parts.find(p.id);
        if (it == st.parts.end()) continue;
        const vcard_part_state_s &ps = it->second;
        std::string base = std::string("part.") + p.id_name + ".";
        os << base << "image_len=" << ps.image_len << "\n";
        os << base << "version=" << escaped(ps.version) << "\n";
        os << base << "hash=" << vcard_hex(ps.install_hash.data(), ps.install_hash.size()) << "\n";
        os << base << "key=" << escaped(ps.key_name) << "\n";
        if (!ps.signature.empty())
            os << base << "signature=" << vcard_hex(ps.signature.data(), ps.signature.size()) << "\n";
    }
    // A card whose host or launcher dies mid-save keeps its previous state,
    // and two cards on one directory never write into each other's file.
    std::string error;
    return fe_write_file_atomic(dir + "/state.txt", os.str(), 0644, &error);
}

bool vcard_flash_read(const std::string &dir, const vcard_partition_def_s &p, uint64_t off, uint8_t *buf, size_t len) {
    if (off > p.size || len > p.size - off) return false;
    int fd = open(flash_path(dir, p).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) return false;
        memset(buf, 0xFF, len);
        return true;
    }
    bool ok = pread_full(fd, buf, len, off);
    close(fd);
    for (size_t i = 0; i < len; i++)
        buf[i] = static_cast<uint8_t>(~buf[i]);
    return ok;
}

bool vcard_flash_write(const std::string &dir, const vcard_partition_def_s &p, uint64_t off, const uint8_t *buf,
                       size_t len) {
    if (off > p.size || len > p.size - off) return false;
    int fd = open(flash_path(dir, p).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::vector<uint8_t> inv(buf, buf + len);
    for (auto &b : inv)
        b = static_cast<uint8_t>(~b);
    bool ok = fe_pwrite_all(fd, inv.data(), inv.size(), off);
    close(fd);
    return ok;
}

bool vcard_flash_erase(const std::string &dir, const vcard_partition_def_s &p, uint64_t off, uint64_t len) {
    if (off > p.size || len > p.size - off) return false;
    std::string path = flash_path(dir, p);
    if (off == 0 && len == p.size) {
        if (unlink(path.c_str()) != 0 && errno != ENOENT) return false;
        return true;
    }
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT;
    struct stat sb {};
    bool ok = fstat(fd, &sb) == 0;
    uint64_t file_len = ok ? static_cast<uint64_t>(sb.st_size) : 0;
    if (ok && off < file_len) {
        uint64_t end = std::min(off + len, file_len);
        if (end == file_len) {
            ok = ftruncate(fd, static_cast<off_t>(off)) == 0;
        } else if (fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(off),
                             static_cast<off_t>(end - off)) != 0) {
            // File systems without hole punching get zeros written instead.
            static const uint8_t zeros[4096] = {};
            for (uint64_t pos = off; ok && pos < end; pos += sizeof zeros)
                ok = fe_pwrite_all(fd, zeros, std::min<uint64_t>(sizeof zeros, end - pos), pos);
        }
    }
    close(fd);
    return ok;
}

bool vcard_parse_u64(const std::string &text, uint64_t &out) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    errno = 0;
    char *end = nullptr;
    const unsigned long long v = strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == nullptr || *end != '\0') return false;
    out = v;
    return true;
}

bool vcard_make_dirs(const std::string &path, unsigned mode, std::string *failed) {
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        const std::string level = path.substr(0, pos);
        if (level.empty()) continue;
        if (mkdir(level.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) {
            if (failed != nullptr) *failed = level;
            return false;
        }
    }
    struct stat sb {};
    if (stat(path.c_str(), &sb) == 0 && S_ISDIR(sb.st_mode)) return true;
    if (errno == 0) errno = ENOTDIR;
    if (failed != nullptr) *failed = path;
    return false;
}

// SPDX-License-Identifier: Apache-2.0
// Discovery queries over PCI sysfs and lspci: which of the card's functions
// and device nodes exist, the card's serial number and the UUID made from it,
// and the card behind a UUID.
#include "nic_ipc_discovery.h"

#include <dirent.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "card_address.h"

namespace {

constexpr unsigned k_list_capacity = 16;  // functions listed per ID by the UUID lookups
constexpr size_t k_lspci_line_len = 80;
constexpr size_t k_serial_line_len = 128;
constexpr size_t k_resource_line_len = 128;
constexpr size_t k_serial_chars = NIC_IPC_SERIAL_LEN - 1;  // 11
constexpr size_t k_uuid_chars = NIC_IPC_UUID_LEN - 1;      // 36

using serial_map = std::map<std::string, std::string>;

// The command ran to its end and said so with status 0.
bool command_succeeded(int status) {
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Functions of the maker with the given device ID; a failed listing counts
// as none.
int list_functions(uint16_t device, char (*bdfs)[NIC_PCI_BDF_LEN]) {
    const int count = nic_ipc_card_pcie_devices(CRD_PCI_VENDOR_ID, device, bdfs, k_list_capacity);
    return count < 0 ? 0 : count;
}

// Serial number of every listed function, keyed by serial number. A function
// whose serial number cannot be read is left out; of two functions with one
// serial number the later one stays.
serial_map serials_of_functions(const char (*bdfs)[NIC_PCI_BDF_LEN], int count) {
    serial_map map;
    for (int i = 0; i < count; ++i) {
        char serial[NIC_IPC_SERIAL_LEN] = {};
        if (nic_ipc_card_serial_read(bdfs[i], serial) == 0) map[serial] = bdfs[i];
    }
    return map;
}

// Copies at most max characters of src into dst and ends it there; dst holds
// at least max + 1 bytes.
void copy_text(char *dst, const char *src, size_t max) {
    const size_t len = strnlen(src, max);
    memcpy(dst, src, len);
    dst[len] = '\0';
}

int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

int nic_ipc_card_pcie_devices(uint16_t vendor, uint16_t device, char (*bdfs)[NIC_PCI_BDF_LEN], uint8_t capacity) {
    char command[k_lspci_line_len];
    snprintf(command, sizeof command, "lspci -Dn -d %04x:%04x", vendor, device);
    FILE *out = popen(command, "r");
    if (out == nullptr) return -1;

    int filled = 0;
    char line[k_lspci_line_len];
    // The output is read to its end even when the entries are full, so that
    // lspci never dies writing into a closed pipe.
    while (fgets(line, sizeof line, out) != nullptr) {
        if (filled >= capacity) continue;
        line[strcspn(line, " \t\n")] = '\0';
        char *entry = bdfs[filled];
        copy_text(entry, line, NIC_PCI_BDF_LEN - 1);
        entry[NIC_PCI_BDF_LEN - 1] = '\0';
        ++filled;
    }
    if (!command_succeeded(pclose(out))) return -1;
    return filled;
}

int nic_ipc_get_card_device_info(const char *card_bdf, nic_ipc_card_device_info_s *info) {
    if (device_bdf_from_crd_bdf(card_bdf, CRD_DEVID_RSC, info->rsc_bdf) == 0) info->flags |= NIC_IPC_CARD_RSC_FOUND;
    if (device_bdf_from_crd_bdf(card_bdf, CRD_DEVID_FUNC_A, info->func_a_bdf) == 0)
        info->flags |= NIC_IPC_CARD_FUNC_A_FOUND;
    if (device_bdf_from_crd_bdf(card_bdf, CRD_DEVID_FUNC_B, info->func_b_bdf) == 0)
        info->flags |= NIC_IPC_CARD_FUNC_B_FOUND;
    if (device_bdf_from_crd_bdf(card_bdf, CRD_DEVID_VELA_IPC, info->ipc_bdf) == 0 &&
        nic_vela_device_path_from_crd_bdf(card_bdf, info->ipc_dev_path) == 0)
        info->flags |= NIC_IPC_CARD_IPC_FOUND;
    if (device_bdf_from_crd_bdf(card_bdf, CRD_DEVID_KVC_CORE, info->core_bdf) == 0 &&
        nic_fwctl_device_path_from_crd_bdf(card_bdf, info->fwctl_dev_path) == 0)
        info->flags |= NIC_IPC_CARD_CORE_FOUND;
    return 0;
}

int nic_ipc_get_card_info(const char *card_bdf, nic_ipc_card_info_s *info) {
    nic_ipc_get_card_device_info(card_bdf, &info->dev_info);
    const char *serial_source = nullptr;
    if (info->dev_info.flags & NIC_IPC_CARD_IPC_FOUND)
        serial_source = info->dev_info.ipc_bdf;
    else if (info->dev_info.flags & NIC_IPC_CARD_CORE_FOUND)
        serial_source = info->dev_info.core_bdf;
    if (serial_source != nullptr && nic_ipc_card_serial_read(serial_source, info->serial_num) != 0) return -1;

    // The caller's serial_num may come without a NUL when it was not read.
    char serial[NIC_IPC_SERIAL_LEN];
    copy_text(serial, info->serial_num, k_serial_chars);
    nic_ipc_uuid_from_serial(serial, info->uuid);
    info->uuid[k_uuid_chars] = '\0';
    return 0;
}

int nic_ipc_card_device_list_get(const char *card_bdf, char (*bdfs)[NIC_PCI_BDF_LEN], uint32_t *count) {
    return nic_ipc_card_device_list_get(card_bdf, bdfs, UINT32_MAX, count);
}

int nic_ipc_card_device_list_get(const char *card_bdf, char (*bdfs)[NIC_PCI_BDF_LEN], uint32_t capacity,
                                 uint32_t *count) {
    *count = 0;
    unsigned long secondary = 0;
    unsigned long subordinate = 0;
    if (nic_pci_read_attr(card_bdf, "secondary_bus_number", 10, &secondary) != 0 ||
        nic_pci_read_attr(card_bdf, "subordinate_bus_number", 10, &subordinate) != 0)
        return -1;

    DIR *dir = opendir(NIC_PCI_SYSFS_DEVICES);
    if (dir == nullptr) return -1;
    uint32_t found = 0;
    while (const dirent *entry = readdir(dir)) {
        if (found >= capacity) break;
        const char *name = entry->d_name;
        if (strlen(name) <= 11 || name[0] == '.') continue;
        const char bus_text[3] = {name[5], name[6], '\0'};
        const unsigned long bus = strtoul(bus_text, nullptr, 16);
        if (bus < secondary || bus > subordinate) continue;
        unsigned long vendor = 0;
        if (nic_pci_read_attr(name, "vendor", 16, &vendor) != 0 || vendor != CRD_PCI_VENDOR_ID) continue;
        memset(bdfs[found], 0, NIC_PCI_BDF_LEN);
        copy_text(bdfs[found], name, NIC_PCI_BDF_LEN - 2);
        ++found;
    }
    closedir(dir);
    *count = found;
    return 0;
}

int nic_ipc_is_device_bar_map_valid(const char *bdf) {
    char path[NIC_IPC_PATH_MAX];
    const int n = snprintf(path, sizeof path, "%s%s/resource", NIC_PCI_SYSFS_DEVICES, bdf);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) return 0;
    FILE *f = fopen(path, "re");
    if (f == nullptr) return 0;

    int valid = 0;
    char line[k_resource_line_len];
    while (fgets(line, sizeof line, f) != nullptr) {
        unsigned long start = 0;
        unsigned long end = 0;
        unsigned long flags = 0;
        if (sscanf(line, "%lx %lx %lx", &start, &end, &flags) != 3) {
            valid = 0;
            break;
        }
        // Unused regions carry flags 0; odd flags mark I/O-port regions.
        if (flags == 0 || (flags & 1) != 0) continue;
        if (start == 0 && end == 0) {
            valid = 0;
            break;
        }
        valid = 1;
    }
    fclose(f);
    return valid;
}

int nic_ipc_card_bdf_from_uuid(const char *uuid, char *card_bdf) {
    char functions[k_list_capacity][NIC_PCI_BDF_LEN] = {};
    int function_count = list_functions(CRD_DEVID_VELA_IPC, functions);
    if (function_count == 0) function_count = list_functions(CRD_DEVID_KVC_CORE, functions);
    if (function_count == 0) return -1;
    const serial_map serials = serials_of_functions(functions, function_count);

    char serial[NIC_IPC_SERIAL_LEN] = {};
    if (nic_ipc_serial_from_uuid(uuid, serial) != 0) return -1;
    const auto match = serials.find(serial);
    if (match == serials.end()) return -1;
    const std::string &function_bdf = match->second;

    char cards[k_list_capacity][NIC_PCI_BDF_LEN] = {};
    const int card_count = list_functions(static_cast<uint16_t>(nic_ipc_asic_pcie_device_id()), cards);
    for (int i = 0; i < card_count; ++i) {
        char function[NIC_PCI_BDF_LEN] = {};
        if (device_bdf_from_crd_bdf(cards[i], CRD_DEVID_VELA_IPC, function) != 0 &&
            device_bdf_from_crd_bdf(cards[i], CRD_DEVID_KVC_CORE, function) != 0)
            continue;
        if (strncmp(function, function_bdf.c_str(), NIC_PCI_BDF_LEN - 1) != 0) continue;
        memset(card_bdf, 0, NIC_PCI_BDF_LEN - 1);
        copy_text(card_bdf, cards[i], NIC_PCI_BDF_LEN - 1);
        card_bdf[NIC_PCI_BDF_LEN - 1] = '\0';
        return 0;
    }
    return -1;
}

int nic_ipc_card_rsc_bdf_from_uuid(const char *uuid, char *rsc_bdf) {
    char functions[k_list_capacity][NIC_PCI_BDF_LEN] = {};
    const serial_map serials = serials_of_functions(functions, list_functions(CRD_DEVID_RSC, functions));
    char serial[NIC_IPC_SERIAL_LEN] = {};
    if (nic_ipc_serial_from_uuid(uuid, serial) != 0) return -1;
    const auto match = serials.find(serial);
    if (match == serials.end()) return -1;
    strncpy(rsc_bdf, match->second.c_str(), NIC_PCI_BDF_LEN - 1);
    return 0;
}

int nic_ipc_card_serial_read(const char *bdf, char *serial) {
    memset(serial, 0, k_serial_chars);
    // The address is pasted into a shell command line.
    if (!card_address_valid(bdf)) return -1;

    // The card keeps its serial number in the function's VPD; lspci -vvv
    // prints that keyword as "[SN] Serial number: <text>", so the fourth field
    // is the text. (The PCIe Device Serial Number capability prints as
    // "Device Serial Number xx-xx-..." and is not what is read here.)
    char command[k_serial_line_len];
    snprintf(command, sizeof command, "lspci -s %s -vvv | grep 'Serial number' | awk '{print $4}'", bdf);
    FILE *out = popen(command, "r");
    if (out == nullptr) return -1;

    char line[k_serial_line_len];
    const bool have_line = fgets(line, sizeof line, out) != nullptr;
    // Drain the rest, so the pipeline ends on its own status rather than on
    // a write into a closed pipe.
    char rest[k_serial_line_len];
    while (fgets(rest, sizeof rest, out) != nullptr) {
    }
    const int status = pclose(out);
    if (!have_line || !command_succeeded(status)) return -1;

    const size_t len = strlen(line);
    if (len > 0 && line[len - 1] == '\n') line[len - 1] = '\0';
    copy_text(serial, line, k_serial_chars);
    serial[k_serial_chars] = '\0';
    return 0;
}

int nic_ipc_uuid_from_serial(const char *serial, char *uuid) {
    // "4242", two digits per serial character ("00" past its end), "000000",
    // grouped 8-4-4-4-12.
    char digits[33] = "4242";
    size_t pos = 4;
    bool ended = false;
    for (size_t i = 0; i < k_serial_chars; ++i) {
        if (!ended && serial[i] == '\0') ended = true;
        const unsigned code = ended ? 0 : static_cast<unsigned char>(serial[i]);
        snprintf(digits + pos, sizeof digits - pos, "%02x", code);
        pos += 2;
    }
    memcpy(digits + pos, "000000", 6);
    digits[32] = '\0';
    snprintf(uuid, NIC_IPC_UUID_LEN, "%.8s-%.4s-%.4s-%.4s-%.12s", digits, digits + 8, digits + 12, digits + 16,
             digits + 20);
    return 0;
}

int nic_ipc_serial_from_uuid(const char *uuid, char *serial) {
    if (strnlen(uuid, k_uuid_chars) < k_uuid_chars) return -1;
    if (strncmp(uuid, "4242", 4) != 0 || strncmp(uuid + 30, "000000", 6) != 0) return -1;
    memset(serial, 0, k_serial_chars);

    char digits[2 * k_serial_chars + 1] = {};
    size_t kept = 0;
    for (const char *p = uuid + 4; *p != '\0' && kept < 2 * k_serial_chars; ++p) {
        if (*p != '-') digits[kept++] = *p;
    }
    if (kept % 2 != 0) return -1;

    size_t out = 0;
    for (size_t i = 0; i < kept; i += 2) {
        // A pair reads as the hexadecimal number at its start: one digit
        // followed by something else still counts.
        const int hi = hex_digit_value(digits[i]);
        if (hi < 0) return -1;
        const int lo = hex_digit_value(digits[i + 1]);
        const int value = lo < 0 ? hi : hi * 16 + lo;
        if (value != 0) serial[out++] = static_cast<char>(value);
    }
    serial[k_serial_chars] = '\0';
    return 0;
}

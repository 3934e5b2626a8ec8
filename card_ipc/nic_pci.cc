// SPDX-License-Identifier: Apache-2.0
// Finding one of the card's functions on the buses behind its bridge.
#include "nic_pci.h"

#include <dirent.h>
#include <glob.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nic_ipc.h"

namespace {

constexpr size_t k_bus_pattern_len = 32;

// glob() walks directories through the public directory calls, so that
// whatever stands in for /sys in the process (a test bed's preload) is seen.
void *glob_opendir(const char *path) {
    return opendir(path);
}
struct dirent *glob_readdir(void *dir) {
    return readdir(static_cast<DIR *>(dir));
}
void glob_closedir(void *dir) {
    closedir(static_cast<DIR *>(dir));
}

}  // namespace

int nic_pci_read_attr(const char *bdf, const char *attr, int base, unsigned long *out) {
    char path[NIC_IPC_PATH_MAX];
    const int len = snprintf(path, sizeof(path), "%s%s/%s", NIC_PCI_SYSFS_DEVICES, bdf, attr);
    if (len < 0 || static_cast<size_t>(len) >= sizeof(path)) return -1;
    FILE *f = fopen(path, "re");
    if (f == nullptr) return -1;
    char line[64] = {};
    *out = fgets(line, sizeof(line), f) != nullptr ? strtoul(line, nullptr, base) : 0;
    fclose(f);
    return 0;
}

int device_bdf_from_crd_bdf(const char *crd_bdf, uint32_t devid, char *bdf_out) {
    if (crd_bdf == nullptr) return -1;

    unsigned long secondary = 0;
    unsigned long subordinate = 0;
    if (nic_pci_read_attr(crd_bdf, "secondary_bus_number", 10, &secondary) != 0) return -1;
    if (nic_pci_read_attr(crd_bdf, "subordinate_bus_number", 10, &subordinate) != 0) return -1;

    const char *colon = strchr(crd_bdf, ':');
    if (secondary == 0 || subordinate == 0 || colon == nullptr || secondary > subordinate ||
        subordinate > 0xff) {  // bus numbers are 8-bit; anything else is not a bridge
        return -1;
    }

    char domain[NIC_PCI_BDF_LEN] = {};
    snprintf(domain, sizeof(domain), "%.*s", static_cast<int>(colon - crd_bdf), crd_bdf);

    for (unsigned long bus = secondary; bus <= subordinate; ++bus) {
        char pattern[k_bus_pattern_len];
        // A domain longer than four digits cuts the pattern, which then matches nothing.
        if (snprintf(pattern, sizeof(pattern), "%s/%4s:%02lx:*", NIC_PCI_SYSFS_DEVICES, domain, bus) < 0) {
            continue;
        }

        glob_t matches;
        memset(&matches, 0, sizeof(matches));
        matches.gl_opendir = glob_opendir;
        matches.gl_readdir = glob_readdir;
        matches.gl_closedir = glob_closedir;
        matches.gl_stat = stat;
        matches.gl_lstat = lstat;
        if (glob(pattern, GLOB_ALTDIRFUNC | GLOB_NOSORT, nullptr, &matches) != 0) {
            globfree(&matches);
            continue;
        }

        for (size_t i = 0; i < matches.gl_pathc; ++i) {
            const char *slash = strrchr(matches.gl_pathv[i], '/');
            const char *bdf = slash != nullptr ? slash + 1 : matches.gl_pathv[i];
            unsigned long device = 0;
            if (nic_pci_read_attr(bdf, "device", 16, &device) != 0) continue;
            if (device != devid) continue;

            memset(bdf_out, 0, NIC_PCI_BDF_LEN - 1);
            snprintf(bdf_out, NIC_PCI_BDF_LEN - 1, "%s", bdf);
            bdf_out[NIC_PCI_BDF_LEN - 1] = '\0';
            globfree(&matches);
            return 0;
        }
        globfree(&matches);
    }
    return -1;
}

int nic_pci_device_node(const char *crd_bdf, uint32_t devid, const char *driver, const char *subdir, const char *marker,
                        const char *node_dir, char *path) {
    char fn_bdf[NIC_PCI_BDF_LEN] = {};
    const int rc = device_bdf_from_crd_bdf(crd_bdf, devid, fn_bdf);
    if (rc != 0) return rc;

    char dir_path[NIC_IPC_PATH_MAX];
    const int n = snprintf(dir_path, sizeof(dir_path), "%s/%s/%s/%s", NIC_PCI_SYSFS_DRIVERS, driver, fn_bdf, subdir);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(dir_path)) return -1;

    DIR *dir = opendir(dir_path);
    if (dir == nullptr) return -1;
    int result = -1;
    while (const dirent *entry = readdir(dir)) {
        if (strstr(entry->d_name, marker) == nullptr) continue;
        snprintf(path, NIC_IPC_PATH_MAX, "%s%s", node_dir, entry->d_name);
        result = 0;
        break;
    }
    closedir(dir);
    return result;
}

int nic_ipc_kvc_core_bdf_from_card_bdf(const char *crd_bdf, char *bdf_out) {
    return device_bdf_from_crd_bdf(crd_bdf, CRD_DEVID_KVC_CORE, bdf_out);
}

uint32_t nic_ipc_asic_pcie_device_id() {
    return CRD_DEVID_ASIC;
}

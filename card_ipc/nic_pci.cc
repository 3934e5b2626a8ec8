// Finding one of the card's functions on the buses behind its bridge.
#include "nic_pci.h"

#include <dirent.h>
#include <glob.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t k_sysfs_path_max = 512;
constexpr size_t k_bus_pattern_len = 32;

// Reads the first line of a sysfs attribute as a number in base. -1 when the
// attribute cannot be opened; text that is no number reads as 0.
int read_sysfs_number(const char *path, int base, unsigned long *value) {
    FILE *f = fopen(path, "r");
    if (f == nullptr) return -1;
    char line[64] = {};
    *value = fgets(line, sizeof(line), f) != nullptr ? strtoul(line, nullptr, base) : 0;
    fclose(f);
    return 0;
}

int read_device_attr(const char *bdf, const char *attr, int base, unsigned long *value) {
    char path[k_sysfs_path_max];
    int len = snprintf(path, sizeof(path), "%s%s/%s", NIC_PCI_SYSFS_DEVICES, bdf, attr);
    if (len < 0 || static_cast<size_t>(len) >= sizeof(path)) return -1;
    return read_sysfs_number(path, base, value);
}

// glob() walks directories through the public directory calls, so that
// whatever stands in for /sys in the process (a test bed's preload) is seen.
void *glob_opendir(const char *path) { return opendir(path); }
struct dirent *glob_readdir(void *dir) { return readdir(static_cast<DIR *>(dir)); }
void glob_closedir(void *dir) { closedir(static_cast<DIR *>(dir)); }

}  // namespace

int device_bdf_from_crd_bdf(const char *crd_bdf, uint32_t devid, char *bdf_out) {
    if (crd_bdf == nullptr) return -1;

    unsigned long secondary = 0;
    unsigned long subordinate = 0;
    if (read_device_attr(crd_bdf, "secondary_bus_number", 10, &secondary) != 0) return -1;
    if (read_device_attr(crd_bdf, "subordinate_bus_number", 10, &subordinate) != 0) return -1;

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
            if (read_device_attr(bdf, "device", 16, &device) != 0) continue;
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

int nic_ipc_kvc_core_bdf_from_card_bdf(const char *crd_bdf, char *bdf_out) {
    return device_bdf_from_crd_bdf(crd_bdf, CRD_DEVID_KVC_CORE, bdf_out);
}

uint32_t nic_ipc_asic_pcie_device_id() { return CRD_DEVID_ASIC; }

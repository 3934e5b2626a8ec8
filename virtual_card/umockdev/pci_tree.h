// SPDX-License-Identifier: Apache-2.0
// PCI functions in a umockdev test bed as the kernel shows them in sysfs:
// text attributes, the binary config space and VPD that lspci reads, the
// resource table, and the driver directory links card lookup follows.
// Shared by the virtual card and the card_ipc tests' fake trees.
#pragma once

#include <umockdev.h>

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct pci_tree_function_s {
    std::string name;                                             // below /sys/devices, e.g. "pci1234:00/1234:03:00.0"
    std::vector<std::pair<std::string, std::string>> attributes;  // text attributes, in order
    std::vector<std::pair<std::string, std::string>> properties;  // udev properties
    std::vector<uint8_t> config;                                  // "config"; empty: none
    std::vector<uint8_t> vpd;                                     // "vpd"; empty: none
    std::string resource;                                         // "resource"; empty: none
};

// Adds the function; its sysfs path (/sys/devices/...), empty on failure.
std::string pci_tree_add(UMockdevTestbed *testbed, const pci_tree_function_s &function);

// /sys/bus/pci/drivers/<driver>/<bdf> -> the function, and the function's
// "driver" link back; false with the reason on standard error.
bool pci_tree_bind_driver(UMockdevTestbed *testbed, const std::string &devpath, const std::string &bdf,
                          const std::string &driver);

// Lines "0x%016lx 0x%016lx 0x%016lx" (start, end, flags) as the kernel writes
// the resource table.
std::string pci_tree_resource_text(const std::vector<std::array<uint64_t, 3>> &regions);

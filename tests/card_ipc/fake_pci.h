// SPDX-License-Identifier: Apache-2.0
// A fake PCI tree in a umockdev test bed: card bridges, card functions with
// the config space and VPD that lspci reads, driver directories with the
// device-node entries the resolvers look for, and an emulated fwctl node.
#pragma once

#include <umockdev.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "nic_fwctl.h"

namespace fake_pci {

struct function_spec {
    std::string bdf;
    std::string parent_devpath;  // empty: a root bus device
    uint16_t vendor = 0;
    uint16_t device = 0;
    std::optional<std::string> serial;  // VPD [SN]; none: no VPD capability
    int secondary = -1;                 // a bridge when not -1
    int subordinate = -1;
    std::string resource;  // sysfs resource text; empty: one 1 MiB memory region
};

// The test bed of this process; created once, before any other thread.
UMockdevTestbed *testbed();
std::string root_dir();

// PCI domain of this process's fake devices, derived from the pid.
unsigned domain();
std::string bdf(unsigned bus, unsigned dev, unsigned fn);

// Adds the function; returns its sysfs device path (/sys/devices/...).
std::string add_function(const function_spec &spec);
// Makes /sys/bus/pci/drivers/<driver>/<bdf> point at the function and adds
// the named entries to <sub_dir> below it (e.g. "misc", "fwctl").
void bind_driver(const std::string &devpath, const std::string &bdf, const std::string &driver,
                 const std::string &sub_dir, const std::vector<std::string> &entries);
// Lines "0x%016lx 0x%016lx 0x%016lx" as the kernel writes them.
std::string resource_text(const std::vector<std::array<unsigned long, 3>> &regions);

// What the fake kvc_core driver saw in its last FWCTL_RPC, and how it answers.
struct fwctl_call {
    unsigned long request = 0;
    nic_fwctl::fwctl_rpc rpc{};
    nic_fwctl_rpc_s in{};
    std::vector<uint8_t> request_bytes;
};
struct fwctl_answer {
    int fail_errno = 0;      // nonzero: the ioctl fails with it
    bool report_len = true;  // false: rsp_len is left as it came
    uint32_t rsp_errno = 0;
    uint32_t rsp_len = 0;
    std::vector<uint8_t> data = {};  // written to rsp_data, within the capacity given
};
// Creates /dev/<node> and answers FWCTL_RPC on it.
void attach_fwctl_node(const std::string &node);
void set_fwctl_answer(const fwctl_answer &answer);
std::vector<fwctl_call> fwctl_calls();  // and forgets them

}  // namespace fake_pci

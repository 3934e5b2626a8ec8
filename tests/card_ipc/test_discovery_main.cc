// SPDX-License-Identifier: Apache-2.0
// Builds the fake PCI tree once, before anything else runs, then the tests.
#include <gtest/gtest.h>

#include <cstdio>

#include "card_layout.h"
#include "nic_pci.h"

namespace {

std::string g_loose_devpath;
std::string g_card1_bridge_path, g_card3_bridge_path;
std::string g_card1_ipc_path, g_card3_ipc_path;

constexpr uint16_t k_vendor = CRD_PCI_VENDOR_ID;
constexpr uint16_t k_foreign_vendor = 0x8086;

std::string add(const std::string &bdf, const std::string &parent, uint16_t vendor, uint32_t device,
                const char *serial = nullptr) {
    fake_pci::function_spec spec;
    spec.bdf = bdf;
    spec.parent_devpath = parent;
    spec.vendor = vendor;
    spec.device = static_cast<uint16_t>(device);
    if (serial != nullptr) spec.serial = serial;
    return fake_pci::add_function(spec);
}

std::string add_bridge(const std::string &bdf, int secondary, int subordinate) {
    fake_pci::function_spec spec;
    spec.bdf = bdf;
    spec.vendor = k_vendor;
    spec.device = CRD_DEVID_ASIC;
    spec.secondary = secondary;
    spec.subordinate = subordinate;
    return fake_pci::add_function(spec);
}

// Names only depend on the domain, so the test tables can use them before
// the tree exists.
card_layout_s make_names() {
    using fake_pci::bdf;
    card_layout_s c;
    c.card1 = bdf(0x03, 0, 0);
    c.card1_rsc = bdf(0x04, 0, 0);
    c.card1_ipc = bdf(0x04, 0, 1);
    c.card1_core = bdf(0x04, 0, 2);
    c.card1_func_a = bdf(0x05, 0, 0);
    c.card1_func_b = bdf(0x05, 0, 1);
    c.card1_foreign = bdf(0x05, 0, 2);
    c.card2 = bdf(0x08, 0, 0);
    c.card2_core = bdf(0x09, 0, 0);
    c.card2_rsc = bdf(0x09, 0, 1);
    c.card3 = bdf(0x0b, 0, 0);
    c.card3_ipc = bdf(0x0c, 0, 0);
    c.card3_core = bdf(0x0c, 0, 1);
    c.card3_rsc = bdf(0x0c, 0, 2);
    c.card4 = bdf(0x0e, 0, 0);
    c.card4_func_a = bdf(0x0f, 0, 0);
    c.loose = bdf(0x30, 0, 0);
    return c;
}

void build_layout() {
    const card_layout_s &c = cards();
    g_card1_bridge_path = add_bridge(c.card1, 4, 5);
    add(c.card1_rsc, g_card1_bridge_path, k_vendor, CRD_DEVID_RSC, k_card1_serial);
    const std::string core1 = add(c.card1_core, g_card1_bridge_path, k_vendor, CRD_DEVID_KVC_CORE, k_card1_serial);
    fake_pci::bind_driver(core1, c.card1_core, "kvc_core", "fwctl", {"fwctl0"});
    fake_pci::attach_fwctl_node("/dev/fwctl/fwctl0");
    add(c.card1_func_a, g_card1_bridge_path, k_vendor, CRD_DEVID_FUNC_A);
    add(c.card1_func_b, g_card1_bridge_path, k_vendor, CRD_DEVID_FUNC_B);
    add(c.card1_foreign, g_card1_bridge_path, k_foreign_vendor, 0x1234);

    const std::string bridge2 = add_bridge(c.card2, 9, 9);
    const std::string core2 = add(c.card2_core, bridge2, k_vendor, CRD_DEVID_KVC_CORE, k_card2_serial);
    fake_pci::bind_driver(core2, c.card2_core, "kvc_core", "fwctl",
                          {"power", "fwctl9", "aux_fwctl", "fwctl2", "uevent"});
    add(c.card2_rsc, bridge2, k_vendor, CRD_DEVID_RSC, k_card2_serial);

    g_card3_bridge_path = add_bridge(c.card3, 0x0c, 0x0c);
    add(c.card3_core, g_card3_bridge_path, k_vendor, CRD_DEVID_KVC_CORE);
    add(c.card3_rsc, g_card3_bridge_path, k_vendor, CRD_DEVID_RSC, k_card1_serial);

    const std::string bridge4 = add_bridge(c.card4, 0x0f, 0x0f);
    add(c.card4_func_a, bridge4, k_vendor, CRD_DEVID_FUNC_A);

    g_loose_devpath = add(c.loose, "", k_foreign_vendor, 0x1234);

    add_ipc_functions();
}

}  // namespace

const card_layout_s &cards() {
    static const card_layout_s names = make_names();
    return names;
}

const std::string &loose_devpath() {
    return g_loose_devpath;
}

void add_ipc_functions() {
    g_card1_ipc_path = add(cards().card1_ipc, g_card1_bridge_path, k_vendor, CRD_DEVID_VELA_IPC, k_card1_serial);
    fake_pci::bind_driver(g_card1_ipc_path, cards().card1_ipc, "vela_ipc", "misc", {"velaipcdev3"});
    g_card3_ipc_path = add(cards().card3_ipc, g_card3_bridge_path, k_vendor, CRD_DEVID_VELA_IPC);
    fake_pci::bind_driver(g_card3_ipc_path, cards().card3_ipc, "vela_ipc", "misc", {"velaipcdev7"});
}

void remove_ipc_functions() {
    umockdev_testbed_remove_device(fake_pci::testbed(), g_card1_ipc_path.c_str());
    umockdev_testbed_remove_device(fake_pci::testbed(), g_card3_ipc_path.c_str());
}

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!GTEST_FLAG_GET(list_tests)) {
        fake_pci::testbed();  // sets UMOCKDEV_DIR, which the preload then follows
        if (!umockdev_in_mock_environment()) {
            fprintf(stderr, "run under LD_PRELOAD=libumockdev-preload.so.0\n");
            return 1;
        }
        build_layout();
    }
    const int result = RUN_ALL_TESTS();
    g_object_unref(fake_pci::testbed());
    return result;
}

// SPDX-License-Identifier: Apache-2.0
// Discovery queries on a fake sysfs with the real lspci, and with stand-in
// lspci programs for what the real one cannot be made to do.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "card_layout.h"
#include "nic_ipc_discovery.h"

namespace {

using bdf_entry = char[NIC_PCI_BDF_LEN];

// PATH for the duration of a test: a directory with grep and awk and, when
// given, a stand-in lspci that records its arguments and runs the script.
class fake_path {
  public:
    explicit fake_path(const char *lspci_script = nullptr) {
        char dir[] = "/tmp/fu-lspci-XXXXXX";
        dir_ = mkdtemp(dir);
        symlink("/usr/bin/grep", (dir_ + "/grep").c_str());
        symlink("/usr/bin/awk", (dir_ + "/awk").c_str());
        if (lspci_script != nullptr) {
            std::ofstream(dir_ + "/lspci") << "#!/bin/sh\nprintf '%s\\n' \"$*\" >> " << args_file() << "\n"
                                           << lspci_script << "\n";
            chmod((dir_ + "/lspci").c_str(), 0755);
        }
        saved_ = getenv("PATH");
        setenv("PATH", dir_.c_str(), 1);
    }
    ~fake_path() {
        setenv("PATH", saved_.c_str(), 1);
        for (const char *name : {"grep", "awk", "lspci", "args"})
            unlink((dir_ + "/" + name).c_str());
        rmdir(dir_.c_str());
    }
    std::string args_file() const { return dir_ + "/args"; }
    // Arguments of every lspci run, one line each; empty when none ran.
    std::string lspci_args() const {
        std::ifstream in(args_file());
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

  private:
    std::string dir_;
    std::string saved_;
};

std::set<std::string> entries(const bdf_entry *bdfs, uint32_t count) {
    std::set<std::string> set;
    for (uint32_t i = 0; i < count; ++i)
        set.insert(bdfs[i]);
    return set;
}

// --- listing by ID ---

TEST(PcieDevices, ListsEveryCardBridgeInLspciOrder) {
    bdf_entry bdfs[16];
    memset(bdfs, 'x', sizeof bdfs);
    ASSERT_EQ(nic_ipc_card_pcie_devices(CRD_PCI_VENDOR_ID, CRD_DEVID_ASIC, bdfs, 16), 4);
    EXPECT_STREQ(bdfs[0], cards().card1.c_str());
    EXPECT_STREQ(bdfs[1], cards().card2.c_str());
    EXPECT_STREQ(bdfs[2], cards().card3.c_str());
    EXPECT_STREQ(bdfs[3], cards().card4.c_str());
    EXPECT_EQ(bdfs[0][32], '\0');
    EXPECT_EQ(bdfs[4][0], 'x');
}

TEST(PcieDevices, FillsNoMoreThanCapacity) {
    bdf_entry bdfs[3];
    memset(bdfs, 'x', sizeof bdfs);
    ASSERT_EQ(nic_ipc_card_pcie_devices(CRD_PCI_VENDOR_ID, CRD_DEVID_ASIC, bdfs, 2), 2);
    EXPECT_STREQ(bdfs[1], cards().card2.c_str());
    EXPECT_EQ(bdfs[2][0], 'x');
    EXPECT_EQ(nic_ipc_card_pcie_devices(CRD_PCI_VENDOR_ID, CRD_DEVID_ASIC, bdfs, 0), 0);
}

TEST(PcieDevices, CutsLinesAtTheFirstBlankAnd32Characters) {
    fake_path path("printf '%s\\n' 0000:01:00.0 'ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 0200: 1e5a:00ab'");
    bdf_entry bdfs[4] = {};
    ASSERT_EQ(nic_ipc_card_pcie_devices(0x1e5a, 0xab, bdfs, 4), 2);
    EXPECT_STREQ(bdfs[0], "0000:01:00.0");
    EXPECT_STREQ(bdfs[1], "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345");
    EXPECT_EQ(path.lspci_args(), "-Dn -d 1e5a:00ab\n");
}

struct failing_lspci {
    const char *name;
    const char *script;  // null: no lspci on PATH
};

class PcieDevicesFailure : public testing::TestWithParam<failing_lspci> {};

TEST_P(PcieDevicesFailure, IsMinusOne) {
    fake_path path(GetParam().script);
    bdf_entry bdfs[4] = {};
    EXPECT_EQ(nic_ipc_card_pcie_devices(CRD_PCI_VENDOR_ID, CRD_DEVID_ASIC, bdfs, 4), -1);
}

INSTANTIATE_TEST_SUITE_P(Lspci, PcieDevicesFailure,
                         testing::Values(failing_lspci{"Absent", nullptr},
                                         failing_lspci{"ExitStatus", "echo 0000:01:00.0; exit 1"},
                                         failing_lspci{"Signal", "echo 0000:01:00.0; kill -9 $$"}),
                         [](const auto &info) { return std::string(info.param.name); });

// --- functions and nodes of one card ---

struct device_info_case {
    const char *name;
    std::string card;
    uint32_t preset_flags;
    uint32_t flags;
    std::string rsc, ipc, core, func_a, func_b, ipc_path;
    bool fwctl_path;
};

class DeviceInfo : public testing::TestWithParam<device_info_case> {};

TEST_P(DeviceInfo, SetsTheBitsOfWhatWasFound) {
    const device_info_case &c = GetParam();
    auto info = std::make_unique<nic_ipc_card_device_info_s>();
    info->flags = c.preset_flags;
    EXPECT_EQ(nic_ipc_get_card_device_info(c.card.c_str(), info.get()), 0);
    EXPECT_EQ(info->flags, c.flags);
    EXPECT_EQ(info->rsc_bdf, c.rsc);
    EXPECT_EQ(info->ipc_bdf, c.ipc);
    EXPECT_EQ(info->core_bdf, c.core);
    EXPECT_EQ(info->func_a_bdf, c.func_a);
    EXPECT_EQ(info->func_b_bdf, c.func_b);
    EXPECT_EQ(info->ipc_dev_path, c.ipc_path);
    EXPECT_EQ(strncmp(info->fwctl_dev_path, "/dev/fwctl/fwctl", 16) == 0, c.fwctl_path);
}

INSTANTIATE_TEST_SUITE_P(
    Cards, DeviceInfo,
    testing::Values(
        device_info_case{"Complete", cards().card1, 0, 0x1f, cards().card1_rsc, cards().card1_ipc, cards().card1_core,
                         cards().card1_func_a, cards().card1_func_b, "/dev/velaipcdev3", true},
        // Bits the caller set stay, also bit 1 of an ipc function that is absent.
        device_info_case{"CoreOnly", cards().card2, 0x102, 0x107, cards().card2_rsc, "", cards().card2_core, "", "", "",
                         true},
        // A core function without its driver's node does not count.
        device_info_case{"CoreWithoutNode", cards().card3, 0, 0x3, cards().card3_rsc, cards().card3_ipc,
                         cards().card3_core, "", "", "/dev/velaipcdev7", false},
        device_info_case{"FunctionA", cards().card4, 0, 0x8, "", "", "", cards().card4_func_a, "", "", false},
        device_info_case{"NoSuchCard", "ffff:ff:1f.7", 0x10, 0x10, "", "", "", "", "", "", false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(CardInfo, SerialNumberAndUuidFromTheIpcFunction) {
    auto info = std::make_unique<nic_ipc_card_info_s>();
    ASSERT_EQ(nic_ipc_get_card_info(cards().card1.c_str(), info.get()), 0);
    EXPECT_STREQ(info->serial_num, k_card1_serial);
    EXPECT_STREQ(info->uuid, k_card1_uuid);
}

TEST(CardInfo, SerialNumberFromTheCoreFunctionWithoutIpc) {
    auto info = std::make_unique<nic_ipc_card_info_s>();
    ASSERT_EQ(nic_ipc_get_card_info(cards().card2.c_str(), info.get()), 0);
    EXPECT_STREQ(info->serial_num, k_card2_serial);
    EXPECT_STREQ(info->uuid, k_card2_uuid);
}

TEST(CardInfo, UnreadableSerialNumberFails) {
    auto info = std::make_unique<nic_ipc_card_info_s>();
    EXPECT_EQ(nic_ipc_get_card_info(cards().card3.c_str(), info.get()), -1);
    EXPECT_EQ(info->uuid[0], '\0');
}

TEST(CardInfo, WithoutNodesTheCallersSerialNumberMakesTheUuid) {
    auto info = std::make_unique<nic_ipc_card_info_s>();
    strcpy(info->serial_num, "XYZ");
    ASSERT_EQ(nic_ipc_get_card_info(cards().card4.c_str(), info.get()), 0);
    EXPECT_STREQ(info->serial_num, "XYZ");
    EXPECT_STREQ(info->uuid, "42425859-5a00-0000-0000-000000000000");
}

// --- serial numbers ---

TEST(SerialRead, ReadsTheVpdSerialNumberThroughLspci) {
    char serial[NIC_IPC_SERIAL_LEN];
    ASSERT_EQ(nic_ipc_card_serial_read(cards().card1_ipc.c_str(), serial), 0);
    EXPECT_STREQ(serial, k_card1_serial);
    ASSERT_EQ(nic_ipc_card_serial_read(cards().card2_core.c_str(), serial), 0);
    EXPECT_STREQ(serial, k_card2_serial);
}

TEST(SerialRead, FunctionWithoutSerialNumberFailsCleared) {
    char serial[NIC_IPC_SERIAL_LEN];
    memset(serial, 'x', sizeof serial);
    EXPECT_EQ(nic_ipc_card_serial_read(cards().card3_ipc.c_str(), serial), -1);
    EXPECT_EQ(std::string(serial, 11), std::string(11, '\0'));
}

TEST(SerialRead, KeepsElevenCharactersOfTheFourthField) {
    fake_path path("printf '\\t\\t\\t[SN] Serial number: ABCDEFGHIJKLMNOP\\n\\t\\t\\t[SN] Serial number: 2nd\\n'");
    char serial[NIC_IPC_SERIAL_LEN];
    ASSERT_EQ(nic_ipc_card_serial_read("0000:01:00.7", serial), 0);
    EXPECT_STREQ(serial, "ABCDEFGHIJK");
    EXPECT_EQ(path.lspci_args(), "-s 0000:01:00.7 -vvv\n");
}

TEST(SerialRead, LspciAbsentFails) {
    fake_path path;
    char serial[NIC_IPC_SERIAL_LEN];
    EXPECT_EQ(nic_ipc_card_serial_read(cards().card1_ipc.c_str(), serial), -1);
}

class SerialReadRefused : public testing::TestWithParam<const char *> {};

TEST_P(SerialReadRefused, NeverReachesAShell) {
    fake_path path("echo '[SN] Serial number: LEAKED'");
    char serial[NIC_IPC_SERIAL_LEN];
    memset(serial, 'x', sizeof serial);
    EXPECT_EQ(nic_ipc_card_serial_read(GetParam(), serial), -1);
    EXPECT_EQ(std::string(serial, 11), std::string(11, '\0'));
    EXPECT_EQ(path.lspci_args(), "");
}

INSTANTIATE_TEST_SUITE_P(Addresses, SerialReadRefused,
                         testing::Values("", "0000:04:00.8", "000:04:00.0", "0000:04:00.01", "g000:04:00.0",
                                         "0000-04:00.0", "0000:04:00,0", "0000:04:00.0 ", "0000:04:00.0;touch /tmp/x"));

struct uuid_case {
    std::string serial;
    const char *uuid;
};

class UuidFromSerial : public testing::TestWithParam<uuid_case> {};

TEST_P(UuidFromSerial, FourTwoFourTwoHexCharactersZeros) {
    char uuid[NIC_IPC_UUID_LEN];
    memset(uuid, 'x', sizeof uuid);
    ASSERT_EQ(nic_ipc_uuid_from_serial(GetParam().serial.c_str(), uuid), 0);
    EXPECT_EQ(std::string(uuid, sizeof uuid), std::string(GetParam().uuid) + '\0');
}

INSTANTIATE_TEST_SUITE_P(Serials, UuidFromSerial,
                         testing::Values(uuid_case{"ABCDEFGHIJK", "42424142-4344-4546-4748-494a4b000000"},
                                         uuid_case{"KRV7", "42424b52-5637-0000-0000-000000000000"},
                                         uuid_case{"", "42420000-0000-0000-0000-000000000000"},
                                         uuid_case{"\xff\x01", "4242ff01-0000-0000-0000-000000000000"},
                                         uuid_case{"ABCDEFGHIJKLM", "42424142-4344-4546-4748-494a4b000000"}));

class SerialFromUuid : public testing::TestWithParam<uuid_case> {};

TEST_P(SerialFromUuid, ReadsTheCharacterPairsBack) {
    char serial[NIC_IPC_SERIAL_LEN];
    memset(serial, 'x', sizeof serial);
    ASSERT_EQ(nic_ipc_serial_from_uuid(GetParam().uuid, serial), 0);
    EXPECT_EQ(std::string(serial), GetParam().serial);
    EXPECT_EQ(serial[11], '\0');
}

INSTANTIATE_TEST_SUITE_P(Uuids, SerialFromUuid,
                         testing::Values(uuid_case{"ABCDEFGHIJK", "42424142-4344-4546-4748-494a4b000000"},
                                         uuid_case{"ABCDEFGHIJK", "42424142-4344-4546-4748-494A4B000000"},
                                         uuid_case{"KRV7", "42424b52-5637-0000-0000-000000000000"},
                                         uuid_case{"AB", "42424100-4200-0000-0000-000000000000"},
                                         uuid_case{"", "42420000-0000-0000-0000-000000000000"}));

class SerialFromUuidRefused : public testing::TestWithParam<const char *> {};

TEST_P(SerialFromUuidRefused, IsMinusOne) {
    char serial[NIC_IPC_SERIAL_LEN] = {};
    EXPECT_EQ(nic_ipc_serial_from_uuid(GetParam(), serial), -1);
}

INSTANTIATE_TEST_SUITE_P(Uuids, SerialFromUuidRefused,
                         testing::Values("42434142-4344-4546-4748-494a4b000000",  // not 4242
                                         "42424142-4344-4546-4748-494a4b000001",  // not ...000000
                                         "42424142-4344-4546-4748-494a4b00000",   // 35 characters
                                         "", "4242zz42-4344-4546-4748-494a4b000000",
                                         "42424-------------------------000000"));  // one digit left over

// --- cards by UUID ---

TEST(CardByUuid, FindsTheCardWhoseIpcFunctionHasTheSerialNumber) {
    char card[NIC_PCI_BDF_LEN];
    memset(card, 'x', sizeof card);
    ASSERT_EQ(nic_ipc_card_bdf_from_uuid(k_card1_uuid, card), 0);
    EXPECT_EQ(std::string(card, sizeof card),
              cards().card1 + std::string(NIC_PCI_BDF_LEN - cards().card1.size(), '\0'));
}

TEST(CardByUuid, ConsultsOnlyIpcFunctionsWhileAnyIsListed) {
    char card[NIC_PCI_BDF_LEN] = {};
    EXPECT_EQ(nic_ipc_card_bdf_from_uuid(k_card2_uuid, card), -1);
}

TEST(CardByUuid, FallsBackToCoreFunctionsWithoutIpcFunctions) {
    remove_ipc_functions();
    char card2[NIC_PCI_BDF_LEN] = {};
    char card1[NIC_PCI_BDF_LEN] = {};
    const int found2 = nic_ipc_card_bdf_from_uuid(k_card2_uuid, card2);
    const int found1 = nic_ipc_card_bdf_from_uuid(k_card1_uuid, card1);
    add_ipc_functions();
    EXPECT_EQ(found2, 0);
    EXPECT_EQ(card2, cards().card2);
    EXPECT_EQ(found1, 0);
    EXPECT_EQ(card1, cards().card1);
}

TEST(CardByUuid, UnknownOrMalformedUuidFails) {
    char card[NIC_PCI_BDF_LEN] = {};
    EXPECT_EQ(nic_ipc_card_bdf_from_uuid("42425a5a-0000-0000-0000-000000000000", card), -1);
    EXPECT_EQ(nic_ipc_card_bdf_from_uuid("00004142-4344-4546-4748-494a4b000000", card), -1);
    EXPECT_EQ(card[0], '\0');
}

TEST(CardByUuid, LspciAbsentFails) {
    fake_path path;
    char card[NIC_PCI_BDF_LEN] = {};
    EXPECT_EQ(nic_ipc_card_bdf_from_uuid(k_card1_uuid, card), -1);
    EXPECT_EQ(nic_ipc_card_rsc_bdf_from_uuid(k_card2_uuid, card), -1);
}

TEST(RscByUuid, CopiesThirtyTwoBytesPaddedWithZeros) {
    char rsc[NIC_PCI_BDF_LEN];
    memset(rsc, 'x', sizeof rsc);
    ASSERT_EQ(nic_ipc_card_rsc_bdf_from_uuid(k_card2_uuid, rsc), 0);
    EXPECT_EQ(std::string(rsc, 32), cards().card2_rsc + std::string(32 - cards().card2_rsc.size(), '\0'));
    EXPECT_EQ(rsc[32], 'x');
}

TEST(RscByUuid, OfTwoWithOneSerialNumberTheLaterListedWins) {
    char rsc[NIC_PCI_BDF_LEN] = {};
    ASSERT_EQ(nic_ipc_card_rsc_bdf_from_uuid(k_card1_uuid, rsc), 0);
    EXPECT_EQ(rsc, cards().card3_rsc);
    EXPECT_EQ(nic_ipc_card_rsc_bdf_from_uuid("42425a5a-0000-0000-0000-000000000000", rsc), -1);
}

// --- functions behind a card ---

TEST(DeviceList, ListsTheMakersFunctionsOnTheCardsBuses) {
    bdf_entry bdfs[8] = {};
    uint32_t count = 99;
    ASSERT_EQ(nic_ipc_card_device_list_get(cards().card1.c_str(), bdfs, &count), 0);
    EXPECT_EQ(entries(bdfs, count), (std::set<std::string>{cards().card1_rsc, cards().card1_ipc, cards().card1_core,
                                                           cards().card1_func_a, cards().card1_func_b}));
    ASSERT_EQ(nic_ipc_card_device_list_get(cards().card2.c_str(), bdfs, &count), 0);
    EXPECT_EQ(entries(bdfs, count), (std::set<std::string>{cards().card2_core, cards().card2_rsc}));
}

TEST(DeviceList, StopsAtCapacity) {
    bdf_entry bdfs[3];
    memset(bdfs, 'x', sizeof bdfs);
    uint32_t count = 99;
    ASSERT_EQ(nic_ipc_card_device_list_get(cards().card1.c_str(), bdfs, 2, &count), 0);
    ASSERT_EQ(count, 2u);
    const std::set<std::string> all = {cards().card1_rsc, cards().card1_ipc, cards().card1_core, cards().card1_func_a,
                                       cards().card1_func_b};
    EXPECT_TRUE(all.count(bdfs[0]) && all.count(bdfs[1]) && std::string(bdfs[0]) != bdfs[1]);
    EXPECT_EQ(bdfs[2][0], 'x');
    ASSERT_EQ(nic_ipc_card_device_list_get(cards().card1.c_str(), bdfs, 0, &count), 0);
    EXPECT_EQ(count, 0u);
}

TEST(DeviceList, CardWithoutBusNumbersFails) {
    bdf_entry bdfs[2] = {};
    uint32_t count = 99;
    EXPECT_EQ(nic_ipc_card_device_list_get(cards().card1_rsc.c_str(), bdfs, &count), -1);
    EXPECT_EQ(count, 0u);
}

// --- memory regions ---

struct region_case {
    const char *name;
    std::vector<std::array<unsigned long, 3>> regions;
    const char *extra;  // appended as it stands
    int valid;
};

class BarMap : public testing::TestWithParam<region_case> {};

TEST_P(BarMap, OneMappedMemoryRegionAndNoUnmappedOne) {
    const std::string text = fake_pci::resource_text(GetParam().regions) + GetParam().extra;
    umockdev_testbed_set_attribute(fake_pci::testbed(), loose_devpath().c_str(), "resource", text.c_str());
    EXPECT_EQ(nic_ipc_is_device_bar_map_valid(cards().loose.c_str()), GetParam().valid);
}

constexpr std::array<unsigned long, 3> k_mem = {0xf0000000, 0xf00fffff, 0x40200};
constexpr std::array<unsigned long, 3> k_mem64 = {0x38000000000, 0x380001fffff, 0x14220c};
constexpr std::array<unsigned long, 3> k_io = {0xe000, 0xe0ff, 0x40101};
constexpr std::array<unsigned long, 3> k_unused = {0, 0, 0};
constexpr std::array<unsigned long, 3> k_unmapped = {0, 0, 0x40200};

INSTANTIATE_TEST_SUITE_P(ResourceFiles, BarMap,
                         testing::Values(region_case{"Memory", {k_mem, k_unused, k_unused}, "", 1},
                                         region_case{"Memory64AfterIo", {k_io, k_unused, k_mem64}, "", 1},
                                         region_case{"AllUnused", {k_unused, k_unused, k_unused}, "", 0},
                                         region_case{"IoOnly", {k_io, k_unused}, "", 0},
                                         region_case{"UnmappedAfterMapped", {k_mem, k_unmapped}, "", 0},
                                         region_case{"MalformedAfterMapped", {k_mem}, "0x0 0x0\n", 0},
                                         region_case{"Empty", {}, "", 0}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(BarMapMissing, NoResourceFileIsNotValid) {
    EXPECT_EQ(nic_ipc_is_device_bar_map_valid("ffff:ff:1f.7"), 0);
}

}  // namespace

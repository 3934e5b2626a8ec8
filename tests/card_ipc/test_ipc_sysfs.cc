// SPDX-License-Identifier: Apache-2.0
// Card function lookup, the misc node resolver and the handle's open order,
// against fake PCI sysfs trees and device nodes of an in-process umockdev
// test bed (the process runs with libumockdev-preload.so.0 preloaded).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fnmatch.h>
#include <mutex>
#include <string>
#include <vector>

#include "fwupdate_msgs.h"
#include "nic_ipc.h"
#include "nic_pci.h"

namespace {

UMockdevTestbed *g_bed = nullptr;
std::string g_root;

class BedEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        const char *preload = getenv("LD_PRELOAD");
        ASSERT_TRUE(preload != nullptr && strstr(preload, "libumockdev-preload") != nullptr)
            << "run with LD_PRELOAD=libumockdev-preload.so.0 (ctest sets it)";
        // Created before any other thread: the test bed sets UMOCKDEV_DIR in
        // this process's environment, which the preload reads.
        g_bed = umockdev_testbed_new();
        gchar *root = umockdev_testbed_get_root_dir(g_bed);
        g_root = root;
        g_free(root);
    }
    void TearDown() override { g_object_unref(g_bed); }
};

// --- Building fake cards. Every card gets its own PCI domain, so tests share
// the one test bed without seeing each other's functions.

struct Card {
    std::string domain;   // four hex digits
    std::string bdf;      // the bridge: domain:03:00.0
    std::string devpath;  // below /sys/devices
};

std::string next_domain() {
    static unsigned next = 0x0a00;
    char domain[8];
    snprintf(domain, sizeof(domain), "%04x", next++);
    return domain;
}

std::string add_pci(const std::string &devpath, const std::vector<std::string> &attrs) {
    std::vector<gchar *> attr_ptrs;
    for (const std::string &a : attrs)
        attr_ptrs.push_back(const_cast<gchar *>(a.c_str()));
    attr_ptrs.push_back(nullptr);
    gchar *no_props[] = {nullptr};
    gchar *sys = umockdev_testbed_add_devicev(g_bed, "pci", devpath.c_str(), nullptr, attr_ptrs.data(), no_props);
    std::string syspath = sys != nullptr ? sys : "";
    g_free(sys);
    return syspath;
}

Card add_card(const std::string &secondary, const std::string &subordinate) {
    Card card;
    card.domain = next_domain();
    card.bdf = card.domain + ":03:00.0";
    card.devpath = "pci" + card.domain + ":00/" + card.bdf;
    add_pci(card.devpath, {"vendor", "0x1e5a", "device", "0x0100", "secondary_bus_number", secondary,
                           "subordinate_bus_number", subordinate});
    return card;
}

// Adds a function "domain:<bus_dev_fn>" behind the card; "" leaves out the attribute.
std::string add_function(const Card &card, const std::string &bus_dev_fn, const std::string &device,
                         const std::string &vendor = "0x1e5a") {
    const std::string bdf = card.domain + ":" + bus_dev_fn;
    std::vector<std::string> attrs;
    if (!vendor.empty()) attrs.insert(attrs.end(), {"vendor", vendor});
    if (!device.empty()) attrs.insert(attrs.end(), {"device", device});
    if (attrs.empty()) attrs = {"class", "0x020000"};
    add_pci(card.devpath + "/" + bdf, attrs);
    return bdf;
}

// vela_ipc's view of a function: /sys/bus/pci/drivers/vela_ipc/<bdf> -> the
// function, whose misc/ folder lists the nodes created for it.
void bind_vela_ipc(const Card &card, const std::string &fn_bdf, const std::vector<std::string> &misc_entries) {
    const std::string fn_dir = g_root + "/sys/devices/" + card.devpath + "/" + fn_bdf;
    mkdir((fn_dir + "/misc").c_str(), 0755);
    for (const std::string &e : misc_entries)
        mkdir((fn_dir + "/misc/" + e).c_str(), 0755);
    const std::string drivers = g_root + "/sys/bus/pci/drivers";
    mkdir(drivers.c_str(), 0755);
    mkdir((drivers + "/vela_ipc").c_str(), 0755);
    symlink(fn_dir.c_str(), (drivers + "/vela_ipc/" + fn_bdf).c_str());
}

// A plain file in the test bed's /dev stands in for a node; its contents tell
// which node a descriptor opened.
void add_node(const std::string &name, const std::string &marker) {
    mkdir((g_root + "/dev").c_str(), 0755);
    FILE *f = fopen((g_root + "/dev/" + name).c_str(), "w");
    ASSERT_NE(nullptr, f);
    fputs(marker.c_str(), f);
    fclose(f);
}

std::string read_marker(int fd) {
    char buf[64] = {};
    ssize_t n = pread(fd, buf, sizeof(buf) - 1, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// The address the lookup must return, as 33 bytes.
std::string bdf_bytes(const std::string &bdf) {
    std::string out(NIC_PCI_BDF_LEN, '\0');
    std::copy(bdf.begin(), bdf.end(), out.begin());
    return out;
}

std::string lookup(const std::string &card_bdf, uint32_t devid, int *ret) {
    char out[NIC_PCI_BDF_LEN];
    memset(out, 0xAA, sizeof(out));
    *ret = device_bdf_from_crd_bdf(card_bdf.c_str(), devid, out);
    return std::string(out, sizeof(out));
}

// --- device_bdf_from_crd_bdf

TEST(FunctionLookup, FindsTheFunctionWithTheDeviceId) {
    Card card = add_card("4", "4");
    add_function(card, "04:00.0", "0x0103");
    const std::string ipc = add_function(card, "04:00.1", "0x0101");
    int ret = 1;
    EXPECT_EQ(bdf_bytes(ipc), lookup(card.bdf, CRD_DEVID_VELA_IPC, &ret));
    EXPECT_EQ(0, ret);
    lookup(card.bdf, CRD_DEVID_KVC_CORE, &ret);
    EXPECT_EQ(-1, ret);
}

TEST(FunctionLookup, LowestBusWinsAndLaterBusesAreScanned) {
    Card card = add_card("4", "6");
    const std::string core4 = add_function(card, "04:00.3", "0x0102");
    add_function(card, "05:00.0", "0x0102");
    const std::string ipc6 = add_function(card, "06:00.0", "0x0101");
    int ret = 1;
    EXPECT_EQ(bdf_bytes(core4), lookup(card.bdf, CRD_DEVID_KVC_CORE, &ret));
    EXPECT_EQ(0, ret);
    char out[NIC_PCI_BDF_LEN];
    EXPECT_EQ(0, nic_ipc_kvc_core_bdf_from_card_bdf(card.bdf.c_str(), out));
    EXPECT_STREQ(core4.c_str(), out);
    EXPECT_EQ(bdf_bytes(ipc6), lookup(card.bdf, CRD_DEVID_VELA_IPC, &ret));
    EXPECT_EQ(0, ret);
}

TEST(FunctionLookup, SameIdOnOneBusTakesTheFirstInDirectoryOrder) {
    Card card = add_card("4", "4");
    const std::vector<std::string> twins = {add_function(card, "04:00.1", "0x0101"),
                                            add_function(card, "04:00.2", "0x0101"),
                                            add_function(card, "04:01.0", "0x0101")};
    // the directory order of the fake sysfs is whatever its file system keeps
    std::string first;
    DIR *dir = opendir("/sys/bus/pci/devices");
    ASSERT_NE(nullptr, dir);
    while (const dirent *e = readdir(dir)) {
        if (std::find(twins.begin(), twins.end(), e->d_name) != twins.end()) {
            first = e->d_name;
            break;
        }
    }
    closedir(dir);
    int ret = 1;
    EXPECT_EQ(bdf_bytes(first), lookup(card.bdf, CRD_DEVID_VELA_IPC, &ret));
    EXPECT_EQ(0, ret);
}

TEST(FunctionLookup, VendorIsNotConsulted) {
    Card card = add_card("4", "4");
    const std::string ipc = add_function(card, "04:00.0", "0x0101", "0x8086");
    int ret = 1;
    EXPECT_EQ(bdf_bytes(ipc), lookup(card.bdf, CRD_DEVID_VELA_IPC, &ret));
    EXPECT_EQ(0, ret);
}

TEST(FunctionLookup, BusNumbersAreDecimalAndPatternsHex) {
    Card card = add_card("10", "10");
    const std::string ipc = add_function(card, "0a:00.0", "0x0101");
    add_function(card, "10:00.0", "0x0101");
    int ret = 1;
    EXPECT_EQ(bdf_bytes(ipc), lookup(card.bdf, CRD_DEVID_VELA_IPC, &ret));
    EXPECT_EQ(0, ret);
}

TEST(FunctionLookup, FunctionWithoutDeviceAttributeIsSkipped) {
    Card card = add_card("4", "5");
    add_function(card, "04:00.0", "");
    const std::string ipc = add_function(card, "05:00.0", "0x0101");
    int ret = 1;
    EXPECT_EQ(bdf_bytes(ipc), lookup(card.bdf, CRD_DEVID_VELA_IPC, &ret));
    EXPECT_EQ(0, ret);
}

TEST(FunctionLookup, RefusedCardsLeaveTheOutputAlone) {
    struct Case {
        const char *name;
        std::string card_bdf;
    };
    std::vector<Case> cases;
    {
        Card c = add_card("0", "5");
        add_function(c, "00:00.0", "0x0101");
        cases.push_back({"secondary 0", c.bdf});
    }
    {
        Card c = add_card("4", "0");
        add_function(c, "04:00.0", "0x0101");
        cases.push_back({"subordinate 0", c.bdf});
    }
    {
        Card c = add_card("5", "4");
        add_function(c, "04:00.0", "0x0101");
        add_function(c, "05:00.0", "0x0101");
        cases.push_back({"secondary above subordinate", c.bdf});
    }
    {
        Card c = add_card("4", "4");
        add_function(c, "04:00.0", "0x0103");
        cases.push_back({"no function with the id", c.bdf});
    }
    {
        Card c = add_card("4", "4");
        add_function(c, "04:00.0", "0x0101");
        // the same card under a name without ':'
        const std::string alias = "card" + c.domain;
        symlink((g_root + "/sys/devices/" + c.devpath).c_str(), (g_root + "/sys/bus/pci/devices/" + alias).c_str());
        struct stat st;
        ASSERT_EQ(0, stat(("/sys/bus/pci/devices/" + alias + "/secondary_bus_number").c_str(), &st));
        cases.push_back({"address without ':'", alias});
    }
    {
        Card c = add_card("4", "4");
        add_function(c, "04:00.0", "0x0101");
        unlink((g_root + "/sys/devices/" + c.devpath + "/subordinate_bus_number").c_str());
        cases.push_back({"no subordinate_bus_number", c.bdf});
    }
    cases.push_back({"no such card", next_domain() + ":03:00.0"});
    for (const Case &c : cases) {
        int ret = 1;
        EXPECT_EQ(std::string(NIC_PCI_BDF_LEN, '\xAA'), lookup(c.card_bdf, CRD_DEVID_VELA_IPC, &ret)) << c.name;
        EXPECT_EQ(-1, ret) << c.name;
    }
    EXPECT_EQ(CRD_DEVID_ASIC, nic_ipc_asic_pcie_device_id());
}

// --- nic_vela_device_path_from_crd_bdf

TEST(MiscNodeResolver, FirstEntryNamingTheNode) {
    Card card = add_card("4", "4");
    const std::string ipc = add_function(card, "04:00.0", "0x0101");
    const std::string node = "velaipcdev-" + card.domain;
    bind_vela_ipc(card, ipc, {"unrelated", "x" + node});
    char path[NIC_IPC_PATH_MAX];
    memset(path, 0xAA, sizeof(path));
    EXPECT_EQ(0, nic_vela_device_path_from_crd_bdf(card.bdf.c_str(), path));
    EXPECT_STREQ(("/dev/x" + node).c_str(), path);
}

TEST(MiscNodeResolver, NoNodeNoPath) {
    Card card = add_card("4", "5");
    const std::string without_entry = add_function(card, "04:00.0", "0x0101");
    bind_vela_ipc(card, without_entry, {"velaipc", "ipcdev0"});
    Card unbound = add_card("4", "4");
    add_function(unbound, "04:00.0", "0x0101");
    Card no_function = add_card("4", "4");
    add_function(no_function, "04:00.0", "0x0102");
    for (const Card *c : {&card, &unbound, &no_function}) {
        char path[NIC_IPC_PATH_MAX];
        memset(path, 0xAA, sizeof(path));
        EXPECT_EQ(-1, nic_vela_device_path_from_crd_bdf(c->bdf.c_str(), path)) << c->bdf;
        EXPECT_EQ('\xAA', path[0]) << c->bdf;
    }
}

// --- nic_ipc_open

class HandleOpen : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(0, nic_ipc_init(1, true)); }
    void TearDown() override {
        if (handle_.cmd_dev.fd > 0) close(handle_.cmd_dev.fd);
        nic_ipc_init(1, true);
    }
    // A card whose IPC function lists node `node` (created in /dev unless
    // `create` is false).
    Card card_with_misc_node(std::string *node, bool create = true) {
        Card card = add_card("4", "4");
        const std::string ipc = add_function(card, "04:00.0", "0x0101");
        *node = "velaipcdev" + card.domain;
        bind_vela_ipc(card, ipc, {*node});
        if (create) add_node(*node, "node " + *node);
        return card;
    }
    void expect_untouched() {
        EXPECT_EQ(-5, handle_.transport);
        EXPECT_EQ(-6, handle_.cmd_dev.fd);
        EXPECT_EQ(7, handle_.cmd_dev.tag);
    }
    nic_ipc_handle_s handle_{-5, {-6, 7}};
};

TEST_F(HandleOpen, NoCardAddressOpensTheDefaultNode) {
    add_node("velaipcdev", "default node");
    for (const char *bdf : {static_cast<const char *>(nullptr), ""}) {
        handle_ = {0, {0, 7}};
        ASSERT_EQ(0, nic_ipc_open(&handle_, bdf));
        EXPECT_EQ(NIC_IPC_TRANSPORT_VELA, handle_.transport);
        EXPECT_EQ(0, handle_.cmd_dev.tag);
        EXPECT_EQ("default node", read_marker(handle_.cmd_dev.fd));
        EXPECT_EQ(0, nic_ipc_close(&handle_));
        EXPECT_EQ(-1, handle_.cmd_dev.fd);
        EXPECT_EQ(-1, nic_ipc_close(&handle_));
    }
}

TEST_F(HandleOpen, NoCardAddressWithFwctlPreferred) {
    ASSERT_EQ(0, nic_ipc_init(2, true));
    EXPECT_EQ(-2, nic_ipc_open(&handle_, nullptr));
    EXPECT_EQ(-2, nic_ipc_open(&handle_, ""));
    expect_untouched();
}

TEST_F(HandleOpen, UnknownPreferredTransport) {
    std::string node;
    Card card = card_with_misc_node(&node);
    g_ipc_transport = 9;
    EXPECT_EQ(-3, nic_ipc_open(&handle_, card.bdf.c_str()));
    expect_untouched();
}

TEST_F(HandleOpen, MiscNodeOfTheCard) {
    std::string node;
    Card card = card_with_misc_node(&node);
    ASSERT_EQ(0, nic_ipc_open(&handle_, card.bdf.c_str()));
    EXPECT_EQ(NIC_IPC_TRANSPORT_VELA, handle_.transport);
    EXPECT_EQ(0, handle_.cmd_dev.tag);
    EXPECT_EQ("node " + node, read_marker(handle_.cmd_dev.fd));
}

TEST_F(HandleOpen, FwctlPreferredFallsBackToTheMiscNode) {
    std::string node;
    Card card = card_with_misc_node(&node);
    ASSERT_EQ(0, nic_ipc_init(2, true));
    ASSERT_EQ(0, nic_ipc_open(&handle_, card.bdf.c_str()));
    EXPECT_EQ(NIC_IPC_TRANSPORT_VELA, handle_.transport);
    EXPECT_EQ("node " + node, read_marker(handle_.cmd_dev.fd));
    EXPECT_EQ(0, nic_ipc_close(&handle_));

    handle_ = {-5, {-6, 7}};
    ASSERT_EQ(0, nic_ipc_init(2, false));
    EXPECT_EQ(-1, nic_ipc_open(&handle_, card.bdf.c_str()));
    expect_untouched();
}

TEST_F(HandleOpen, NoNodeOnEitherTransport) {
    Card card = add_card("4", "4");
    add_function(card, "04:00.0", "0x0101");
    add_function(card, "04:00.1", "0x0102");
    for (bool fallback : {true, false}) {
        ASSERT_EQ(0, nic_ipc_init(1, fallback));
        EXPECT_EQ(-1, nic_ipc_open(&handle_, card.bdf.c_str())) << fallback;
        expect_untouched();
    }
}

TEST_F(HandleOpen, NodeThatCannotBeOpenedIsNotPassedOver) {
    std::string node;
    Card card = card_with_misc_node(&node, false);
    mkdir((g_root + "/dev/" + node).c_str(), 0755);  // a directory: open(O_RDWR) fails
    EXPECT_EQ(-1, nic_ipc_open(&handle_, card.bdf.c_str()));
    EXPECT_EQ(NIC_IPC_TRANSPORT_VELA, handle_.transport);
    EXPECT_EQ(-1, handle_.cmd_dev.fd);
    EXPECT_EQ(7, handle_.cmd_dev.tag);
    EXPECT_EQ(-1, nic_ipc_close(&handle_));
}

// --- The misc node as the driver offers it: bind/unbind ioctls and one
// exchange, answered by an emulated device.

struct FakeMisc {
    UMockdevIoctlBase parent;
};
struct FakeMiscClass {
    UMockdevIoctlBaseClass parent_class;
};

struct FakeMiscLog {
    std::mutex lock;
    std::vector<std::pair<unsigned long, unsigned long>> ioctls;
    std::vector<uint8_t> written;
};
FakeMiscLog g_fake_misc;

G_DEFINE_TYPE(FakeMisc, fake_misc, UMOCKDEV_TYPE_IOCTL_BASE)

gboolean fake_misc_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client) {
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    unsigned long value = 0;
    memcpy(&value, arg->data, std::min(sizeof(value), static_cast<size_t>(arg->data_len)));
    {
        std::lock_guard<std::mutex> guard(g_fake_misc.lock);
        g_fake_misc.ioctls.emplace_back(umockdev_ioctl_client_get_request(client), value);
    }
    umockdev_ioctl_client_complete(client, 0, 0);
    return TRUE;
}

gboolean fake_misc_write(UMockdevIoctlBase *, UMockdevIoctlClient *client) {
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    {
        std::lock_guard<std::mutex> guard(g_fake_misc.lock);
        g_fake_misc.written.assign(arg->data, arg->data + arg->data_len);
    }
    umockdev_ioctl_client_complete(client, arg->data_len, 0);
    return TRUE;
}

// Answers with status 0x11 and the request's data reversed.
gboolean fake_misc_read(UMockdevIoctlBase *, UMockdevIoctlClient *client) {
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    std::vector<uint8_t> rsp;
    {
        std::lock_guard<std::mutex> guard(g_fake_misc.lock);
        rsp = g_fake_misc.written;
    }
    if (rsp.size() < 16 || static_cast<size_t>(arg->data_len) < rsp.size()) {
        umockdev_ioctl_client_complete(client, -1, EIO);
        return TRUE;
    }
    rsp[0] = 3;
    rsp[4] = 0x11;
    rsp[5] = rsp[6] = rsp[7] = 0;
    std::reverse(rsp.begin() + 16, rsp.end());
    memcpy(arg->data, rsp.data(), rsp.size());
    umockdev_ioctl_client_complete(client, static_cast<glong>(rsp.size()), 0);
    return TRUE;
}

void fake_misc_class_init(FakeMiscClass *klass) {
    klass->parent_class.handle_ioctl = fake_misc_ioctl;
    klass->parent_class.handle_write = fake_misc_write;
    klass->parent_class.handle_read = fake_misc_read;
}
void fake_misc_init(FakeMisc *) {}

TEST_F(HandleOpen, EmulatedMiscDevice) {
    std::string node;
    Card card = card_with_misc_node(&node);
    UMockdevIoctlBase *fake = static_cast<UMockdevIoctlBase *>(g_object_new(fake_misc_get_type(), nullptr));
    GError *error = nullptr;
    ASSERT_TRUE(umockdev_testbed_attach_ioctl(g_bed, ("/dev/" + node).c_str(), fake, &error))
        << (error != nullptr ? error->message : "");

    ASSERT_EQ(0, nic_ipc_open(&handle_, card.bdf.c_str()));
    EXPECT_EQ(0, ipc_cmd_dev_bind(&handle_.cmd_dev, 12));
    EXPECT_EQ(0, ipc_cmd_dev_unbind(&handle_.cmd_dev, 0xFFFFFFFF));
    {
        std::lock_guard<std::mutex> guard(g_fake_misc.lock);
        const std::vector<std::pair<unsigned long, unsigned long>> expected = {{0x40084208, 12},
                                                                               {0x40084209, 0xFFFFFFFF}};
        EXPECT_EQ(expected, g_fake_misc.ioctls);
    }

    uint8_t buf[6] = {1, 2, 3, 4, 0xEE, 0xEE};
    uint32_t rsp_err = 0;
    EXPECT_EQ(4, nic_ipc_req_rsp(&handle_, IPC_EP_FWUPDATE, FWUPDATE_MSG_GET_CHECKSUM, buf, 4, 6, &rsp_err));
    EXPECT_EQ(0x11u, rsp_err);
    EXPECT_EQ(std::vector<uint8_t>({4, 3, 2, 1, 0xEE, 0xEE}), std::vector<uint8_t>(buf, buf + 6));
    EXPECT_EQ(0, nic_ipc_close(&handle_));

    umockdev_testbed_detach_ioctl(g_bed, ("/dev/" + node).c_str(), nullptr);
    g_object_unref(fake);
}

}  // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new BedEnvironment);
    return RUN_ALL_TESTS();
}

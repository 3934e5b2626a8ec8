// SPDX-License-Identifier: Apache-2.0
#include "fake_pci.h"

#include "pci_tree.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace fake_pci {
namespace {

constexpr size_t k_config_size = 256;

std::mutex g_fwctl_mutex;
fwctl_answer g_fwctl_answer;
std::vector<fwctl_call> g_fwctl_calls;

// Type-0 or type-1 header; functions with a serial number get a VPD
// capability at 0x40, which makes lspci -vvv decode the "vpd" attribute.
std::vector<uint8_t> config_space(const function_spec &spec) {
    std::vector<uint8_t> cfg(k_config_size, 0);
    cfg[0x00] = spec.vendor & 0xff;
    cfg[0x01] = spec.vendor >> 8;
    cfg[0x02] = spec.device & 0xff;
    cfg[0x03] = spec.device >> 8;
    if (spec.secondary >= 0) {
        cfg[0x0a] = 0x04;  // PCI-to-PCI bridge
        cfg[0x0b] = 0x06;
        cfg[0x0e] = 0x01;
        cfg[0x19] = static_cast<uint8_t>(spec.secondary);
        cfg[0x1a] = static_cast<uint8_t>(spec.subordinate);
    } else {
        cfg[0x0b] = 0x02;  // network controller
    }
    if (spec.serial) {
        cfg[0x06] = 0x10;  // status: capability list
        cfg[0x34] = 0x40;
        cfg[0x40] = 0x03;  // VPD, last in the list
    }
    return cfg;
}

// Identifier string, a read-only section holding [SN], end tag.
std::vector<uint8_t> vpd(const std::string &serial) {
    const std::string name = "Korvex card";
    std::vector<uint8_t> v = {0x82, static_cast<uint8_t>(name.size()), 0};
    v.insert(v.end(), name.begin(), name.end());
    v.insert(v.end(),
             {0x90, static_cast<uint8_t>(3 + serial.size()), 0, 'S', 'N', static_cast<uint8_t>(serial.size())});
    v.insert(v.end(), serial.begin(), serial.end());
    v.push_back(0x78);
    return v;
}

std::string hex_attr(unsigned value, int digits) {
    char text[16];
    snprintf(text, sizeof text, "0x%0*x\n", digits, value);
    return text;
}

void make_dirs(const std::string &path) {
    g_mkdir_with_parents(path.c_str(), 0755);
}

// The fake kvc_core driver. The records are copies that umockdev writes back
// whole; in and out name the same memory, so answers go through out only.
struct fwctl_handler {
    UMockdevIoctlBase parent;
};
struct fwctl_handler_class {
    UMockdevIoctlBaseClass parent_class;
};

GType fwctl_handler_get_type();

UMockdevIoctlData *resolve(UMockdevIoctlData *data, size_t offset, size_t len) {
    if (len == 0) return nullptr;
    GError *error = nullptr;
    UMockdevIoctlData *child = umockdev_ioctl_data_resolve(data, offset, len, &error);
    if (error != nullptr) g_error_free(error);
    return child;
}

gboolean handle_fwctl_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client) {
    std::lock_guard lock(g_fwctl_mutex);
    fwctl_call call;
    call.request = umockdev_ioctl_client_get_request(client);
    if (call.request != NIC_FWCTL_RPC) {
        g_fwctl_calls.push_back(call);
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData *rpc = resolve(arg, 0, sizeof(nic_fwctl::fwctl_rpc));
    memcpy(&call.rpc, rpc->data, sizeof call.rpc);
    UMockdevIoctlData *in = resolve(rpc, offsetof(nic_fwctl::fwctl_rpc, in), sizeof(nic_fwctl_rpc_s));
    UMockdevIoctlData *out = resolve(rpc, offsetof(nic_fwctl::fwctl_rpc, out), sizeof(nic_fwctl_rpc_s));
    memcpy(&call.in, in->data, sizeof call.in);
    if (UMockdevIoctlData *req = resolve(in, offsetof(nic_fwctl_rpc_s, req_data), call.in.req_len)) {
        call.request_bytes.assign(req->data, req->data + req->data_len);
        umockdev_ioctl_data_unref(req);
    }
    g_fwctl_calls.push_back(call);

    const fwctl_answer &answer = g_fwctl_answer;
    if (answer.fail_errno != 0) {
        umockdev_ioctl_client_complete(client, -1, answer.fail_errno);
    } else {
        const uint32_t capacity = call.in.rsp_len;
        if (UMockdevIoctlData *rsp = resolve(out, offsetof(nic_fwctl_rpc_s, rsp_data), capacity)) {
            std::vector<uint8_t> bytes(answer.data.begin(),
                                       answer.data.begin() + std::min<size_t>(answer.data.size(), capacity));
            if (!bytes.empty()) umockdev_ioctl_data_update(rsp, 0, bytes.data(), static_cast<int>(bytes.size()));
            umockdev_ioctl_data_unref(rsp);
        }
        umockdev_ioctl_data_update(out, offsetof(nic_fwctl_rpc_s, rsp_errno),
                                   const_cast<uint8_t *>(reinterpret_cast<const uint8_t *>(&answer.rsp_errno)), 4);
        if (answer.report_len)
            umockdev_ioctl_data_update(out, offsetof(nic_fwctl_rpc_s, rsp_len),
                                       const_cast<uint8_t *>(reinterpret_cast<const uint8_t *>(&answer.rsp_len)), 4);
        umockdev_ioctl_client_complete(client, 0, 0);
    }
    umockdev_ioctl_data_unref(out);
    umockdev_ioctl_data_unref(in);
    umockdev_ioctl_data_unref(rpc);
    return TRUE;
}

void fwctl_handler_class_init(gpointer klass, gpointer) {
    UMOCKDEV_IOCTL_BASE_CLASS(klass)->handle_ioctl = handle_fwctl_ioctl;
}

GType fwctl_handler_get_type() {
    static GType type =
        g_type_register_static_simple(UMOCKDEV_TYPE_IOCTL_BASE, "FakeKvcCoreFwctl", sizeof(fwctl_handler_class),
                                      fwctl_handler_class_init, sizeof(fwctl_handler), nullptr, GTypeFlags(0));
    return type;
}

}  // namespace

UMockdevTestbed *testbed() {
    static UMockdevTestbed *tb = umockdev_testbed_new();
    return tb;
}

std::string root_dir() {
    gchar *dir = umockdev_testbed_get_root_dir(testbed());
    std::string root = dir;
    g_free(dir);
    return root;
}

unsigned domain() {
    return 0x1000 + static_cast<unsigned>(getpid()) % 0xe000;
}

std::string bdf(unsigned bus, unsigned dev, unsigned fn) {
    char text[32];
    snprintf(text, sizeof text, "%04x:%02x:%02x.%x", domain(), bus, dev, fn);
    return text;
}

std::string resource_text(const std::vector<std::array<unsigned long, 3>> &regions) {
    return pci_tree_resource_text(regions);
}

std::string add_function(const function_spec &spec) {
    char bus_root[16];
    snprintf(bus_root, sizeof bus_root, "pci%04x:00", domain());
    const std::string name = spec.parent_devpath.empty()
                                 ? std::string(bus_root) + "/" + spec.bdf
                                 : spec.parent_devpath.substr(strlen("/sys/devices/")) + "/" + spec.bdf;
    pci_tree_function_s fn;
    fn.name = name;
    fn.attributes = {{"vendor", hex_attr(spec.vendor, 4)},
                     {"device", hex_attr(spec.device, 4)},
                     {"class", hex_attr(spec.secondary >= 0 ? 0x060400 : 0x020000, 6)},
                     {"irq", "0\n"}};
    if (spec.secondary >= 0) {
        fn.attributes.insert(fn.attributes.end(),
                             {{"secondary_bus_number", std::to_string(spec.secondary) + "\n"},
                              {"subordinate_bus_number", std::to_string(spec.subordinate) + "\n"}});
    }
    fn.config = config_space(spec);
    if (spec.serial) fn.vpd = vpd(*spec.serial);
    if (!spec.resource.empty()) {
        fn.resource = spec.resource;
    } else {
        std::vector<std::array<unsigned long, 3>> regions(13, {0, 0, 0});
        regions[0] = {0xf0000000, 0xf00fffff, 0x40200};
        fn.resource = resource_text(regions);
    }
    const std::string path = pci_tree_add(testbed(), fn);
    return path;
}

void bind_driver(const std::string &devpath, const std::string &bdf, const std::string &driver,
                 const std::string &sub_dir, const std::vector<std::string> &entries) {
    pci_tree_bind_driver(testbed(), devpath, bdf, driver);
    for (const auto &entry : entries)
        make_dirs(root_dir() + devpath + "/" + sub_dir + "/" + entry);
    if (entries.empty()) make_dirs(root_dir() + devpath + "/" + sub_dir);
}

void attach_fwctl_node(const std::string &node) {
    const std::string path = root_dir() + node;
    make_dirs(path.substr(0, path.rfind('/')));
    if (FILE *f = fopen(path.c_str(), "w")) fclose(f);
    auto *handler = static_cast<UMockdevIoctlBase *>(g_object_new(fwctl_handler_get_type(), nullptr));
    GError *error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed(), node.c_str(), handler, &error)) {
        fprintf(stderr, "attach %s: %s\n", node.c_str(), error ? error->message : "?");
        if (error != nullptr) g_error_free(error);
    }
    g_object_unref(handler);
}

void set_fwctl_answer(const fwctl_answer &answer) {
    std::lock_guard lock(g_fwctl_mutex);
    g_fwctl_answer = answer;
}

std::vector<fwctl_call> fwctl_calls() {
    std::lock_guard lock(g_fwctl_mutex);
    std::vector<fwctl_call> calls;
    calls.swap(g_fwctl_calls);
    return calls;
}

}  // namespace fake_pci

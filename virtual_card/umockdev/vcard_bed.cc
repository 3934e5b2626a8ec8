// SPDX-License-Identifier: Apache-2.0
// umockdev presentation of the virtual card. Sysfs is laid out as the kernel
// shows a card behind its bridge; the misc and fwctl nodes are answered by
// handlers that run on umockdev's worker thread, one per testbed, so no
// handler may block: a delayed answer is a timer on that thread's context.
#include "vcard_bed.h"

#include <errno.h>
#include <glib.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <utility>

#include "card_address.h"
#include "misc_channel.h"
#include "nic_fwctl.h"
#include "nic_pci.h"
#include "pci_tree.h"
#include "fu_vocabulary.h"

namespace {

// ---------------------------------------------------------------------------
// Per-card handler state shared by both node handlers.

struct bed_card_s {
    vcard_bed_card_s pub;
    vcard_s *service = nullptr;
};

// ---------------------------------------------------------------------------
// Misc node (vela_ipc): one write of a framed request, one read of the framed
// response. Responses wait in the order of their requests until they are
// read; a read with none waiting is held until the next write comes, as the
// driver's blocking read does.

struct misc_response_s {
    std::vector<uint8_t> message;
    bool no_answer = false;  // the read fails
    unsigned delay_ms = 0;   // the read completes this late
};

struct misc_client_state_s {
    std::deque<misc_response_s> responses;     // oldest first
    UMockdevIoctlClient *held_read = nullptr;  // a reference while held
};

struct VcardMiscNode {
    UMockdevIoctlBase parent_instance;
    bed_card_s *card;
};
struct VcardMiscNodeClass {
    UMockdevIoctlBaseClass parent_class;
};

G_DEFINE_TYPE(VcardMiscNode, vcard_misc_node, UMOCKDEV_TYPE_IOCTL_BASE)

const char *const k_misc_state_key = "vcard-misc-state";

misc_client_state_s *misc_state(UMockdevIoctlClient *client) {
    auto *state = static_cast<misc_client_state_s *>(g_object_get_data(G_OBJECT(client), k_misc_state_key));
    if (state == nullptr) {
        state = new misc_client_state_s;
        g_object_set_data_full(G_OBJECT(client), k_misc_state_key, state, [](gpointer p) {
            auto *s = static_cast<misc_client_state_s *>(p);
            if (s->held_read != nullptr) g_object_unref(s->held_read);
            delete s;
        });
    }
    return state;
}

// Completes a read with a response (or fails it for a card that does not
// answer).
void misc_deliver(UMockdevIoctlClient *client, misc_response_s &response) {
    if (response.no_answer) {
        umockdev_ioctl_client_complete(client, -1, EIO);
        return;
    }
    UMockdevIoctlData *buf = umockdev_ioctl_client_get_arg(client);
    size_t cap = buf->data_len > 0 ? static_cast<size_t>(buf->data_len) : 0;
    size_t n = response.message.size() < cap ? response.message.size() : cap;
    if (n > 0) umockdev_ioctl_data_update(buf, 0, response.message.data(), static_cast<gint>(n));
    umockdev_ioctl_client_complete(client, static_cast<glong>(n), 0);
}

struct delayed_read_s {
    UMockdevIoctlClient *client;  // a reference
    misc_response_s response;
};

gboolean misc_delayed_read(gpointer p) {
    auto *d = static_cast<delayed_read_s *>(p);
    if (umockdev_ioctl_client_get_connected(d->client)) misc_deliver(d->client, d->response);
    g_object_unref(d->client);
    delete d;
    return G_SOURCE_REMOVE;
}

// Answers a read with the oldest waiting response.
void misc_serve_read(UMockdevIoctlClient *client, misc_client_state_s *state) {
    misc_response_s response = std::move(state->responses.front());
    state->responses.pop_front();
    if (response.delay_ms == 0) {
        misc_deliver(client, response);
        return;
    }
    unsigned delay = response.delay_ms;
    auto *d = new delayed_read_s{static_cast<UMockdevIoctlClient *>(g_object_ref(client)), std::move(response)};
    GSource *timer = g_timeout_source_new(delay);
    g_source_set_callback(timer, misc_delayed_read, d, nullptr);
    g_source_attach(timer, g_main_context_get_thread_default());
    g_source_unref(timer);
}

gboolean misc_handle_write(UMockdevIoctlBase *base, UMockdevIoctlClient *client) {
    auto *self = reinterpret_cast<VcardMiscNode *>(base);
    misc_client_state_s *state = misc_state(client);
    UMockdevIoctlData *buf = umockdev_ioctl_client_get_arg(client);
    size_t len = buf->data_len > 0 ? static_cast<size_t>(buf->data_len) : 0;
    std::vector<uint8_t> out;
    bool no_answer = false;
    unsigned delay_ms = 0;
    if (!vcard_misc_exchange(self->card->service, buf->data, len, out, no_answer, delay_ms)) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return TRUE;
    }
    state->responses.push_back(misc_response_s{std::move(out), no_answer, delay_ms});
    umockdev_ioctl_client_complete(client, static_cast<glong>(len), 0);
    if (state->held_read != nullptr) {
        UMockdevIoctlClient *held = state->held_read;
        state->held_read = nullptr;
        misc_serve_read(held, state);
        g_object_unref(held);
    }
    return TRUE;
}

gboolean misc_handle_read(UMockdevIoctlBase *, UMockdevIoctlClient *client) {
    misc_client_state_s *state = misc_state(client);
    if (state->responses.empty()) {
        if (state->held_read == nullptr) state->held_read = static_cast<UMockdevIoctlClient *>(g_object_ref(client));
        return TRUE;
    }
    misc_serve_read(client, state);
    return TRUE;
}

gboolean misc_handle_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client) {
    // Endpoint bind/unbind belong to programs that serve an endpoint; the
    // virtual card serves them all itself and accepts both.
    unsigned long request = umockdev_ioctl_client_get_request(client);
    if (request == 0x40084208UL || request == 0x40084209UL) {
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    umockdev_ioctl_client_complete(client, -1, ENOTTY);
    return TRUE;
}

void vcard_misc_node_class_init(VcardMiscNodeClass *klass) {
    UMockdevIoctlBaseClass *base = UMOCKDEV_IOCTL_BASE_CLASS(klass);
    base->handle_write = misc_handle_write;
    base->handle_read = misc_handle_read;
    base->handle_ioctl = misc_handle_ioctl;
}

void vcard_misc_node_init(VcardMiscNode *self) {
    self->card = nullptr;
}

// ---------------------------------------------------------------------------
// fwctl node (kvc_core): FWCTL_RPC with the driver's 48-byte RPC record,
// named by both the in and the out pointer of the fwctl_rpc record.

struct VcardFwctlNode {
    UMockdevIoctlBase parent_instance;
    bed_card_s *card;
};
struct VcardFwctlNodeClass {
    UMockdevIoctlBaseClass parent_class;
};

G_DEFINE_TYPE(VcardFwctlNode, vcard_fwctl_node, UMOCKDEV_TYPE_IOCTL_BASE)

struct fwctl_pending_s {
    UMockdevIoctlClient *client;  // references, all four
    UMockdevIoctlData *out;
    UMockdevIoctlData *rsp;  // null without response buffer
    int result;
    int err;
};

void fwctl_pending_free(fwctl_pending_s *p) {
    if (p->rsp != nullptr) g_object_unref(p->rsp);
    if (p->out != nullptr) g_object_unref(p->out);
    g_object_unref(p->client);
    delete p;
}

gboolean fwctl_delayed_complete(gpointer data) {
    auto *p = static_cast<fwctl_pending_s *>(data);
    if (umockdev_ioctl_client_get_connected(p->client)) umockdev_ioctl_client_complete(p->client, p->result, p->err);
    fwctl_pending_free(p);
    return G_SOURCE_REMOVE;
}

// RPCs that change the card need the write scope: the driver's keys
// (endpoint << 16 | msg, msg not masked). Every other RPC is read-only.
constexpr uint32_t k_write_scope_keys[] = {
    0x50006,  0x50007,  0x110007, 0x130003, 0x130005, 0x130014, 0x190000,
    0x190001, 0x190002, 0x190005, 0x190007, 0x190010, 0x190011, 0x1A0004,
};

uint32_t fwctl_expected_scope(uint32_t endpoint, uint32_t msg) {
    uint32_t key = endpoint << 16 | msg;
    for (uint32_t k : k_write_scope_keys)
        if (k == key) return nic_fwctl::FWCTL_RPC_DEBUG_WRITE;
    return nic_fwctl::FWCTL_RPC_DEBUG_READ_ONLY;
}

// The most the driver moves either way in one RPC.
constexpr uint32_t k_fwctl_max_len = 1024;

uint32_t load_u32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void store_u32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

gboolean fwctl_handle_ioctl(UMockdevIoctlBase *base, UMockdevIoctlClient *client) {
    auto *self = reinterpret_cast<VcardFwctlNode *>(base);
    if (umockdev_ioctl_client_get_request(client) != NIC_FWCTL_RPC) {
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    GError *error = nullptr;
    UMockdevIoctlData *rpc = umockdev_ioctl_data_resolve(arg, 0, sizeof(nic_fwctl::fwctl_rpc), &error);
    if (rpc == nullptr) {
        g_clear_error(&error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return TRUE;
    }
    const uint8_t *r = rpc->data;
    if (load_u32(r + offsetof(nic_fwctl::fwctl_rpc, size)) < sizeof(nic_fwctl::fwctl_rpc) ||
        load_u32(r + offsetof(nic_fwctl::fwctl_rpc, in_len)) < sizeof(nic_fwctl_rpc_s) ||
        load_u32(r + offsetof(nic_fwctl::fwctl_rpc, out_len)) < sizeof(nic_fwctl_rpc_s)) {
        g_object_unref(rpc);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return TRUE;
    }
    const uint32_t scope = load_u32(r + offsetof(nic_fwctl::fwctl_rpc, scope));
    UMockdevIoctlData *in =
        umockdev_ioctl_data_resolve(rpc, offsetof(nic_fwctl::fwctl_rpc, in), sizeof(nic_fwctl_rpc_s), &error);
    g_clear_error(&error);
    UMockdevIoctlData *out =
        umockdev_ioctl_data_resolve(rpc, offsetof(nic_fwctl::fwctl_rpc, out), sizeof(nic_fwctl_rpc_s), &error);
    g_clear_error(&error);
    g_object_unref(rpc);
    if (in == nullptr || out == nullptr) {
        if (in != nullptr) g_object_unref(in);
        if (out != nullptr) g_object_unref(out);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return TRUE;
    }
    nic_fwctl_rpc_s rec{};
    std::memcpy(&rec, in->data, sizeof rec);

    // The driver refuses lengths beyond what it moves, and an RPC whose scope
    // is not the one its endpoint and message call for; neither reaches the card.
    int refused = 0;
    if (rec.req_len > k_fwctl_max_len || rec.rsp_len > k_fwctl_max_len)
        refused = EINVAL;
    else if (scope != fwctl_expected_scope(rec.endpoint, rec.msg))
        refused = EPERM;
    if (refused != 0) {
        g_object_unref(in);
        g_object_unref(out);
        umockdev_ioctl_client_complete(client, -1, refused);
        return TRUE;
    }

    // The request and response buffers may be one buffer; every resolved
    // copy is written back whole, so the request is copied out and its copy
    // left unchanged, and the answer goes only through the response copy.
    std::vector<uint8_t> req;
    if (rec.req_len > 0) {
        UMockdevIoctlData *req_data =
            umockdev_ioctl_data_resolve(in, offsetof(nic_fwctl_rpc_s, req_data), rec.req_len, &error);
        g_clear_error(&error);
        if (req_data == nullptr) {
            g_object_unref(in);
            g_object_unref(out);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        req.assign(req_data->data, req_data->data + rec.req_len);
        g_object_unref(req_data);
    }
    UMockdevIoctlData *rsp = nullptr;
    if (rec.rsp_len > 0) {
        rsp = umockdev_ioctl_data_resolve(out, offsetof(nic_fwctl_rpc_s, rsp_data), rec.rsp_len, &error);
        g_clear_error(&error);
        if (rsp == nullptr) {
            g_object_unref(in);
            g_object_unref(out);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
    }
    g_object_unref(in);

    size_t rsp_cap = rec.rsp_len;
    vcard_reply_s reply = vcard_handle(self->card->service, rec.endpoint, rec.msg, req.data(), req.size(), rsp_cap);

    auto *pending = new fwctl_pending_s{static_cast<UMockdevIoctlClient *>(g_object_ref(client)), out, rsp, 0, 0};
    if (reply.wire_fault == VCARD_WIRE_NO_ANSWER) {
        pending->result = -1;
        pending->err = EIO;
    } else {
        size_t n = reply.data.size() < rsp_cap ? reply.data.size() : rsp_cap;
        if (n > 0 && rsp != nullptr) umockdev_ioctl_data_update(rsp, 0, reply.data.data(), static_cast<gint>(n));
        uint32_t rsp_len = static_cast<uint32_t>(reply.data.size());
        if (reply.wire_fault == VCARD_WIRE_SHORT) rsp_len = 0;
        if (reply.wire_fault == VCARD_WIRE_OVERSIZE && rsp_len <= rsp_cap) rsp_len = static_cast<uint32_t>(rsp_cap + 1);
        uint8_t fields[4];
        store_u32(fields, reply.rsp_errno);
        umockdev_ioctl_data_update(out, offsetof(nic_fwctl_rpc_s, rsp_errno), fields, 4);
        store_u32(fields, rsp_len);
        umockdev_ioctl_data_update(out, offsetof(nic_fwctl_rpc_s, rsp_len), fields, 4);
    }
    if (reply.delay_ms == 0) {
        umockdev_ioctl_client_complete(client, pending->result, pending->err);
        fwctl_pending_free(pending);
        return TRUE;
    }
    GSource *timer = g_timeout_source_new(reply.delay_ms);
    g_source_set_callback(timer, fwctl_delayed_complete, pending, nullptr);
    g_source_attach(timer, g_main_context_get_thread_default());
    g_source_unref(timer);
    return TRUE;
}

void vcard_fwctl_node_class_init(VcardFwctlNodeClass *klass) {
    UMOCKDEV_IOCTL_BASE_CLASS(klass)->handle_ioctl = fwctl_handle_ioctl;
}

void vcard_fwctl_node_init(VcardFwctlNode *self) {
    self->card = nullptr;
}

// ---------------------------------------------------------------------------
// PCI configuration space and sysfs attributes.

struct pci_addr_s {
    unsigned domain = 0, bus = 0, dev = 0, fn = 0;
};

bool parse_bdf(const std::string &bdf, pci_addr_s &a) {
    if (!card_address_valid(bdf.c_str())) return false;
    a.domain = static_cast<unsigned>(std::strtoul(bdf.substr(0, 4).c_str(), nullptr, 16));
    a.bus = static_cast<unsigned>(std::strtoul(bdf.substr(5, 2).c_str(), nullptr, 16));
    a.dev = static_cast<unsigned>(std::strtoul(bdf.substr(8, 2).c_str(), nullptr, 16));
    a.fn = static_cast<unsigned>(bdf[11] - '0');
    return true;
}

std::string format_bdf(const pci_addr_s &a) {
    char text[32];
    std::snprintf(text, sizeof text, "%04x:%02x:%02x.%u", a.domain, a.bus, a.dev, a.fn);
    return text;
}

void put16(std::vector<uint8_t> &c, size_t off, unsigned v) {
    c[off] = static_cast<uint8_t>(v);
    c[off + 1] = static_cast<uint8_t>(v >> 8);
}

void put32(std::vector<uint8_t> &c, size_t off, uint32_t v) {
    store_u32(&c[off], v);
}

constexpr size_t k_config_size = 4096;
constexpr uint8_t k_cap_pcie = 0x10, k_cap_vpd = 0x03;
constexpr unsigned k_ext_cap_dsn = 0x0003;

// Configuration space of one function: standard header, PCI Express and
// VPD capabilities, and the Device Serial Number extended capability.
std::vector<uint8_t> config_space(unsigned device_id, uint32_t class_code, bool bridge, const pci_addr_s &bridge_addr,
                                  unsigned secondary, uint64_t bar, const std::string &serial) {
    std::vector<uint8_t> c(k_config_size, 0);
    put16(c, 0x00, CRD_PCI_VENDOR_ID);
    put16(c, 0x02, device_id);
    put16(c, 0x04, 0x0006);  // memory space, bus master
    put16(c, 0x06, 0x0010);  // capability list
    put32(c, 0x08, class_code << 8 | 0x01);
    c[0x0e] = bridge ? 0x01 : 0x00;
    if (bridge) {
        c[0x18] = static_cast<uint8_t>(bridge_addr.bus);
        c[0x19] = static_cast<uint8_t>(secondary);
        c[0x1a] = static_cast<uint8_t>(secondary);
        c[0x1c] = 0xf0;  // no I/O, memory or prefetchable window: base above limit
        put16(c, 0x20, 0xfff0);
        put16(c, 0x24, 0xfff0);
    } else {
        put32(c, 0x10, static_cast<uint32_t>(bar) | 0x0c);  // 64-bit prefetchable memory
        put32(c, 0x14, static_cast<uint32_t>(bar >> 32));
        put16(c, 0x2c, CRD_PCI_VENDOR_ID);
        put16(c, 0x2e, device_id);
    }
    c[0x34] = 0x40;
    c[0x40] = k_cap_pcie;
    c[0x41] = bridge ? 0x00 : 0x80;
    put16(c, 0x42, bridge ? 0x0052 : 0x0002);  // version 2; upstream port or endpoint
    if (!bridge) {
        c[0x80] = k_cap_vpd;
        c[0x81] = 0x00;
    }
    std::memcpy(&c[0x100 + 4], serial.data() + 3, 8);  // DSN: serial characters 4-11
    put32(c, 0x100, k_ext_cap_dsn | 1u << 16);
    return c;
}

// Vital product data: identifier string, read-only section with the serial
// number ("[SN] Serial number: ..." in lspci -vvv) and checksum, end tag.
std::vector<uint8_t> vpd_data(const std::string &serial) {
    const std::string ident = "Korvex virtual card";
    std::vector<uint8_t> v;
    v.push_back(0x82);
    v.push_back(static_cast<uint8_t>(ident.size()));
    v.push_back(0);
    v.insert(v.end(), ident.begin(), ident.end());
    std::vector<uint8_t> ro;
    ro.push_back('S');
    ro.push_back('N');
    ro.push_back(static_cast<uint8_t>(serial.size()));
    ro.insert(ro.end(), serial.begin(), serial.end());
    ro.push_back('R');
    ro.push_back('V');
    ro.push_back(1);
    ro.push_back(0);  // checksum, set below
    v.push_back(0x90);
    v.push_back(static_cast<uint8_t>(ro.size()));
    v.push_back(0);
    v.insert(v.end(), ro.begin(), ro.end());
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < v.size(); i++)
        sum = static_cast<uint8_t>(sum + v[i]);
    v.back() = static_cast<uint8_t>(0x100 - sum);
    v.push_back(0x78);
    return v;
}

// The first region is the function's memory; the kernel lists 13.
std::string resource_text(uint64_t bar, uint64_t size) {
    std::vector<std::array<uint64_t, 3>> regions(13, {0, 0, 0});
    if (size > 0) regions[0] = {bar, bar + size - 1, 0x14220c};
    return pci_tree_resource_text(regions);
}

struct function_s {
    unsigned fn;
    unsigned device_id;
    uint32_t class_code;
    const char *driver;  // bound host driver or null
};

const function_s k_functions[] = {
    {0, CRD_DEVID_VELA_IPC, 0x0b4000, "vela_ipc"}, {1, CRD_DEVID_KVC_CORE, 0x120000, "kvc_core"},
    {2, CRD_DEVID_RSC, 0x058000, nullptr},         {3, CRD_DEVID_FUNC_A, 0x020000, nullptr},
    {4, CRD_DEVID_FUNC_B, 0x020000, nullptr},
};

bool write_file(const std::string &path, const std::string &text) {
    GError *error = nullptr;
    if (!g_file_set_contents(path.c_str(), text.data(), static_cast<gssize>(text.size()), &error)) {
        std::fprintf(stderr, "flash-update-vcard: %s\n", error->message);
        g_error_free(error);
        return false;
    }
    return true;
}

bool make_dirs(const std::string &path) {
    std::string failed;
    if (!vcard_make_dirs(path, 0755, &failed)) {
        std::fprintf(stderr, "flash-update-vcard: cannot create %s: %s\n", failed.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

std::string dirname_of(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace

struct vcard_bed_s {
    UMockdevTestbed *testbed = nullptr;
    std::string root;
    std::vector<bed_card_s *> cards;
    std::vector<vcard_bed_card_s> pub;
    std::vector<std::string> attached;  // device nodes with handlers
    std::vector<UMockdevIoctlBase *> handlers;
    misc_channel_s *channel = nullptr;  // null: the misc nodes through umockdev only
};

std::string vcard_bed_card_bdf(const std::string &first_bdf, unsigned index) {
    pci_addr_s a;
    if (!parse_bdf(first_bdf, a)) return "";
    a.bus += 0x10 * index;
    if (a.bus > 0xfe) return "";
    return format_bdf(a);
}

std::string vcard_bed_serial(const std::string &first_bdf, unsigned index) {
    pci_addr_s a;
    parse_bdf(first_bdf, a);
    char text[16];
    std::snprintf(text, sizeof text, "VC%04X%02X%03u", a.domain & 0xffff, a.bus & 0xff, (index + 1) % 1000);
    return text;
}

namespace {

bool attach(vcard_bed_s *bed, const std::string &node, UMockdevIoctlBase *handler) {
    // The node is a plain file in the testbed until a handler takes it over.
    std::string file = bed->root + node;
    if (!make_dirs(dirname_of(file)) || !write_file(file, "")) return false;
    GError *error = nullptr;
    if (!umockdev_testbed_attach_ioctl(bed->testbed, node.c_str(), handler, &error)) {
        std::fprintf(stderr, "flash-update-vcard: cannot emulate %s: %s\n", node.c_str(),
                     error != nullptr ? error->message : "?");
        g_clear_error(&error);
        return false;
    }
    bed->attached.push_back(node);
    return true;
}

bool add_card(vcard_bed_s *bed, bed_card_s *card, unsigned index, bool no_misc) {
    pci_addr_s bridge;
    parse_bdf(card->pub.bdf, bridge);
    unsigned secondary = bridge.bus + 1;
    char text[64];

    std::snprintf(text, sizeof text, "pci%04x:00/%s", bridge.domain, card->pub.bdf.c_str());
    const std::string bridge_name = text;
    std::snprintf(text, sizeof text, "%u", secondary);
    const std::string bus_text = text;
    pci_tree_function_s bridge_fn;
    bridge_fn.name = bridge_name;
    char bridge_vendor[16], bridge_device[16], bridge_id[16];
    std::snprintf(bridge_vendor, sizeof bridge_vendor, "0x%04x", CRD_PCI_VENDOR_ID);
    std::snprintf(bridge_device, sizeof bridge_device, "0x%04x", CRD_DEVID_ASIC);
    std::snprintf(bridge_id, sizeof bridge_id, "%04X:%04X", CRD_PCI_VENDOR_ID, CRD_DEVID_ASIC);
    bridge_fn.attributes = {{"vendor", bridge_vendor},
                            {"device", bridge_device},
                            {"class", "0x060400"},
                            {"revision", "0x01"},
                            {"irq", "0"},
                            {"secondary_bus_number", bus_text},
                            {"subordinate_bus_number", bus_text}};
    bridge_fn.properties = {{"PCI_SLOT_NAME", card->pub.bdf}, {"PCI_ID", bridge_id}};
    bridge_fn.config = config_space(CRD_DEVID_ASIC, 0x060400, true, bridge, secondary, 0, card->pub.serial);
    bridge_fn.resource = resource_text(0, 0);
    if (pci_tree_add(bed->testbed, bridge_fn).empty()) return false;

    for (const function_s &f : k_functions) {
        pci_addr_s fa{bridge.domain, secondary, 0, f.fn};
        std::string bdf = format_bdf(fa);
        char vendor[16], device[16], klass[16], pci_id[16];
        std::snprintf(vendor, sizeof vendor, "0x%04x", CRD_PCI_VENDOR_ID);
        std::snprintf(device, sizeof device, "0x%04x", f.device_id);
        std::snprintf(klass, sizeof klass, "0x%06x", f.class_code);
        std::snprintf(pci_id, sizeof pci_id, "%04X:%04X", CRD_PCI_VENDOR_ID, f.device_id);
        uint64_t bar = 0xe0000000ull + (static_cast<uint64_t>(bridge.domain) << 32) +
                       (static_cast<uint64_t>(secondary) << 24) + (static_cast<uint64_t>(f.fn) << 20);
        pci_tree_function_s fn;
        fn.name = bridge_name + "/" + bdf;
        fn.attributes = {{"vendor", vendor},
                         {"device", device},
                         {"subsystem_vendor", vendor},
                         {"subsystem_device", device},
                         {"class", klass},
                         {"revision", "0x01"},
                         {"irq", "0"}};
        fn.properties = {{"PCI_SLOT_NAME", bdf}, {"PCI_ID", pci_id}};
        if (f.driver != nullptr) fn.properties.push_back({"DRIVER", f.driver});
        fn.config = config_space(f.device_id, f.class_code, false, bridge, 0, bar, card->pub.serial);
        fn.vpd = vpd_data(card->pub.serial);
        fn.resource = resource_text(bar, 0x100000);
        const std::string path_text = pci_tree_add(bed->testbed, fn);
        if (path_text.empty()) return false;
        const char *path = path_text.c_str();
        if (f.driver != nullptr && !pci_tree_bind_driver(bed->testbed, path_text, bdf, f.driver)) return false;
        if (f.device_id == CRD_DEVID_VELA_IPC && !no_misc) {
            std::snprintf(text, sizeof text, "velaipcdev%u", index);
            card->pub.misc_node = std::string("/dev/") + text;
            umockdev_testbed_set_attribute(bed->testbed, path, (std::string("misc/") + text + "/dev").c_str(), "10:58");
        }
        if (f.device_id == CRD_DEVID_KVC_CORE) {
            std::snprintf(text, sizeof text, "fwctl%u", index);
            card->pub.fwctl_node = std::string("/dev/fwctl/") + text;
            char devnum[16];
            std::snprintf(devnum, sizeof devnum, "%u:%u", 236u, index);
            umockdev_testbed_set_attribute(bed->testbed, path, (std::string("fwctl/") + text + "/dev").c_str(), devnum);
        }
    }

    if (!card->pub.misc_node.empty()) {
        auto *misc = static_cast<VcardMiscNode *>(g_object_new(vcard_misc_node_get_type(), nullptr));
        misc->card = card;
        bed->handlers.push_back(UMOCKDEV_IOCTL_BASE(misc));
        if (!attach(bed, card->pub.misc_node, UMOCKDEV_IOCTL_BASE(misc))) return false;
        if (index == 0) {
            // The driver's default node reaches the first card.
            auto *dflt = static_cast<VcardMiscNode *>(g_object_new(vcard_misc_node_get_type(), nullptr));
            dflt->card = card;
            bed->handlers.push_back(UMOCKDEV_IOCTL_BASE(dflt));
            if (!attach(bed, FU_DEFAULT_NODE, UMOCKDEV_IOCTL_BASE(dflt))) return false;
        }
    }
    auto *fwctl = static_cast<VcardFwctlNode *>(g_object_new(vcard_fwctl_node_get_type(), nullptr));
    fwctl->card = card;
    bed->handlers.push_back(UMOCKDEV_IOCTL_BASE(fwctl));
    return attach(bed, card->pub.fwctl_node, UMOCKDEV_IOCTL_BASE(fwctl));
}

}  // namespace

vcard_bed_s *vcard_bed_start(const vcard_bed_options_s &options) {
    if (!card_address_valid(options.bdf.c_str())) {
        std::fprintf(stderr, "flash-update-vcard: invalid card address %s\n", options.bdf.c_str());
        return nullptr;
    }
    if (options.cards < 1 || vcard_bed_card_bdf(options.bdf, options.cards - 1).empty()) {
        std::fprintf(stderr, "flash-update-vcard: no room for %u cards behind %s\n", options.cards,
                     options.bdf.c_str());
        return nullptr;
    }
    auto *bed = new vcard_bed_s;
    for (unsigned i = 0; i < options.cards; i++) {
        auto *card = new bed_card_s;
        card->pub.bdf = vcard_bed_card_bdf(options.bdf, i);
        card->pub.serial = vcard_bed_serial(options.bdf, i);
        card->pub.state_dir = i == 0 ? options.state_dir : options.state_dir + "/card" + std::to_string(i + 1);
        vcard_options_s service = options.service;
        service.state_dir = card->pub.state_dir;
        if (options.per_card) options.per_card(i, service);
        card->service = vcard_open(service);
        bed->cards.push_back(card);
        if (card->service == nullptr) {
            vcard_bed_stop(bed);
            return nullptr;
        }
    }
    bed->testbed = umockdev_testbed_new();
    gchar *root = umockdev_testbed_get_root_dir(bed->testbed);
    bed->root = root;
    g_free(root);
    for (unsigned i = 0; i < options.cards; i++) {
        if (!add_card(bed, bed->cards[i], i, options.no_misc)) {
            vcard_bed_stop(bed);
            return nullptr;
        }
        bed->pub.push_back(bed->cards[i]->pub);
    }
    std::vector<std::pair<std::string, vcard_s *>> misc_nodes;
    for (size_t i = 0; i < bed->cards.size(); i++) {
        if (bed->cards[i]->pub.misc_node.empty()) continue;
        misc_nodes.emplace_back(bed->cards[i]->pub.misc_node, bed->cards[i]->service);
        if (i == 0) misc_nodes.emplace_back(FU_DEFAULT_NODE, bed->cards[i]->service);
    }
    if (!misc_nodes.empty()) bed->channel = misc_channel_start(bed->root, misc_nodes);
    return bed;
}

std::string vcard_bed_root(const vcard_bed_s *bed) {
    return bed->root;
}

const std::vector<vcard_bed_card_s> &vcard_bed_cards(const vcard_bed_s *bed) {
    return bed->pub;
}

vcard_clock_s vcard_bed_clock(const vcard_bed_s *bed, unsigned index) {
    return index < bed->cards.size() && bed->cards[index]->service != nullptr ? vcard_clock(bed->cards[index]->service)
                                                                              : vcard_clock_s{};
}

void vcard_bed_stop(vcard_bed_s *bed) {
    if (bed == nullptr) return;
    misc_channel_stop(bed->channel);
    if (bed->testbed != nullptr) {
        for (const std::string &node : bed->attached)
            umockdev_testbed_detach_ioctl(bed->testbed, node.c_str(), nullptr);
        g_object_unref(bed->testbed);  // removes the testbed directory
    }
    for (UMockdevIoctlBase *handler : bed->handlers)
        g_object_unref(handler);
    for (bed_card_s *card : bed->cards) {
        if (card->service != nullptr) vcard_close(card->service);
        delete card;
    }
    delete bed;
}

// SPDX-License-Identifier: Apache-2.0
// Reaches the virtual card's emulated sysfs and nodes the way the host
// drivers' users do, without flash-update's layers, and prints what it saw.
// Run under flash-update-vcard:
//   e2e_probe sysfs CARD_BDF
//   e2e_probe misc NODE ENDPOINT MSG REQ_HEX   (one framed write, one read unless the write failed)
//   e2e_probe queue NODE ENDPOINT MSG REQ_HEX [MSG REQ_HEX]...
//                                               (every framed write first, then one read each)
//   e2e_probe fwctl NODE ENDPOINT MSG REQ_HEX CAP [SCOPE]   (scope 1 unless given)
//   e2e_probe time NODE COUNT REQ_LEN          (misc exchanges, microseconds each)
//   e2e_probe sleep SECONDS...                 (calls sleep() with each)
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fwupdate_msgs.h"
#include "nic_fwctl.h"

namespace {

std::string read_text(const std::string &path) {
    FILE *f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return "(missing)";
    char buf[256] = {};
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    std::string text(buf, n);
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

std::vector<uint8_t> unhex(const char *hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2) {
        char pair[3] = {hex[i], hex[i + 1], 0};
        out.push_back(static_cast<uint8_t>(std::strtoul(pair, nullptr, 16)));
    }
    return out;
}

std::string hex(const uint8_t *p, size_t n) {
    std::string out;
    char b[3];
    for (size_t i = 0; i < n; i++) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        out += b;
    }
    return out;
}

void list_dir(const char *label, const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        std::printf("%s (no directory)\n", label);
        return;
    }
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') std::printf("%s %s\n", label, e->d_name);
    closedir(d);
}

int probe_sysfs(const std::string &card) {
    const std::string devices = "/sys/bus/pci/devices/";
    std::string sec = read_text(devices + card + "/secondary_bus_number");
    std::string sub = read_text(devices + card + "/subordinate_bus_number");
    std::printf("bridge %s vendor %s device %s secondary %s subordinate %s\n", card.c_str(),
                read_text(devices + card + "/vendor").c_str(), read_text(devices + card + "/device").c_str(),
                sec.c_str(), sub.c_str());
    unsigned bus = static_cast<unsigned>(std::strtoul(sec.c_str(), nullptr, 10));
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%s:%02x:", card.substr(0, 4).c_str(), bus);
    std::vector<std::string> functions;
    if (DIR *d = opendir(devices.c_str())) {
        while (dirent *e = readdir(d))
            if (std::strncmp(e->d_name, prefix, std::strlen(prefix)) == 0) functions.push_back(e->d_name);
        closedir(d);
    }
    std::sort(functions.begin(), functions.end());
    for (const std::string &f : functions) {
        std::printf("function %s vendor %s device %s\n", f.c_str(), read_text(devices + f + "/vendor").c_str(),
                    read_text(devices + f + "/device").c_str());
        std::printf("resource0 %s\n", read_text(devices + f + "/resource").substr(0, 56).c_str());
    }
    for (const std::string &f : functions) {
        list_dir("misc", "/sys/bus/pci/drivers/vela_ipc/" + f + "/misc");
        list_dir("fwctl", "/sys/bus/pci/drivers/kvc_core/" + f + "/fwctl");
    }
    return 0;
}

std::vector<uint8_t> frame(uint8_t tag, uint32_t endpoint, uint32_t msg, const std::vector<uint8_t> &req) {
    std::vector<uint8_t> m(16 + req.size(), 0);
    size_t pld = req.size() + 8;
    m[0] = 2;
    m[1] = tag;
    m[2] = static_cast<uint8_t>(pld);
    m[3] = static_cast<uint8_t>(pld >> 8);
    for (int i = 0; i < 4; i++)
        m[4 + i] = static_cast<uint8_t>(endpoint >> (8 * i));
    std::memcpy(&m[8], "IPCM", 4);
    m[12] = 1;
    m[13] = static_cast<uint8_t>(msg >> 16);
    m[14] = static_cast<uint8_t>(msg);
    m[15] = static_cast<uint8_t>(msg >> 8);
    if (!req.empty()) std::memcpy(&m[16], req.data(), req.size());
    return m;
}

int probe_misc(const char *node, uint32_t endpoint, uint32_t msg, const char *req_hex) {
    int fd = open(node, O_RDWR);
    if (fd < 0) {
        std::printf("open -1 errno %d\n", errno);
        return 1;
    }
    std::vector<uint8_t> m = frame(0, endpoint, msg, unhex(req_hex));
    ssize_t w = write(fd, m.data(), m.size());
    std::printf("write %zd errno %d\n", w, w < 0 ? errno : 0);
    // A refused write leaves no answer: a read would wait for ever.
    if (w < 0) {
        close(fd);
        return 0;
    }
    uint8_t buf[1040];
    ssize_t r = read(fd, buf, sizeof buf);
    if (r < 0)
        std::printf("read -1 errno %d\n", errno);
    else
        std::printf("read %zd %s\n", r, hex(buf, static_cast<size_t>(r)).c_str());
    close(fd);
    return 0;
}

int probe_queue(const char *node, uint32_t endpoint, int pairs, char **args) {
    int fd = open(node, O_RDWR);
    if (fd < 0) {
        std::printf("open -1 errno %d\n", errno);
        return 1;
    }
    for (int i = 0; i < pairs; i++) {
        uint32_t msg = static_cast<uint32_t>(std::strtoul(args[2 * i], nullptr, 0));
        std::vector<uint8_t> m = frame(static_cast<uint8_t>(i), endpoint, msg, unhex(args[2 * i + 1]));
        ssize_t w = write(fd, m.data(), m.size());
        std::printf("write %zd errno %d\n", w, w < 0 ? errno : 0);
    }
    for (int i = 0; i < pairs; i++) {
        uint8_t buf[1040];
        ssize_t r = read(fd, buf, sizeof buf);
        if (r < 0)
            std::printf("read -1 errno %d\n", errno);
        else
            std::printf("read %zd %s\n", r, hex(buf, static_cast<size_t>(r)).c_str());
    }
    close(fd);
    return 0;
}

int probe_fwctl(const char *node, uint32_t endpoint, uint32_t msg, const char *req_hex, size_t cap, uint32_t scope) {
    int fd = open(node, O_RDWR);
    if (fd < 0) {
        std::printf("open -1 errno %d\n", errno);
        return 1;
    }
    std::vector<uint8_t> req = unhex(req_hex);
    // One buffer for both directions, as the tool passes it.
    std::vector<uint8_t> buf(std::max(req.size(), cap) + 16, 0xee);
    if (!req.empty()) std::memcpy(buf.data(), req.data(), req.size());
    nic_fwctl_rpc_s rec{};
    rec.msg = msg;
    rec.endpoint = endpoint;
    rec.req_len = static_cast<uint32_t>(req.size());
    rec.req_data = reinterpret_cast<uintptr_t>(buf.data());
    rec.rsp_len = static_cast<uint32_t>(cap);
    rec.rsp_data = reinterpret_cast<uintptr_t>(buf.data());
    nic_fwctl::fwctl_rpc rpc{};
    rpc.size = sizeof rpc;
    rpc.scope = scope;
    rpc.in_len = sizeof rec;
    rpc.out_len = sizeof rec;
    rpc.in = reinterpret_cast<uintptr_t>(&rec);
    rpc.out = reinterpret_cast<uintptr_t>(&rec);
    int r = ioctl(fd, NIC_FWCTL_RPC, &rpc);
    int err = r < 0 ? errno : 0;
    std::printf("ioctl %d errno %d rsp_errno %u rsp_len %u msg 0x%x endpoint %u\n", r, err, rec.rsp_errno, rec.rsp_len,
                rec.msg, rec.endpoint);
    std::printf("buf %s\n", hex(buf.data(), buf.size()).c_str());
    close(fd);
    return 0;
}

int probe_time(const char *node, unsigned count, size_t req_len) {
    int fd = open(node, O_RDWR);
    if (fd < 0) return 1;
    std::vector<uint8_t> req(req_len, 0);
    std::vector<uint8_t> m = frame(0, IPC_EP_FWUPDATE, FWUPDATE_MSG_GET_RUNNING_IMAGE, req);
    uint8_t buf[1040];
    timespec a{}, b{};
    clock_gettime(CLOCK_MONOTONIC, &a);
    for (unsigned i = 0; i < count; i++) {
        if (write(fd, m.data(), m.size()) < 0 || read(fd, buf, sizeof buf) < 0) return 1;
    }
    clock_gettime(CLOCK_MONOTONIC, &b);
    double us = ((b.tv_sec - a.tv_sec) * 1e9 + (b.tv_nsec - a.tv_nsec)) / 1e3 / count;
    std::printf("exchange %.1f us\n", us);
    close(fd);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "sysfs") == 0) return probe_sysfs(argv[2]);
    if (argc == 6 && std::strcmp(argv[1], "misc") == 0)
        return probe_misc(argv[2], static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 0)),
                          static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 0)), argv[5]);
    if (argc >= 6 && argc % 2 == 0 && std::strcmp(argv[1], "queue") == 0)
        return probe_queue(argv[2], static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 0)), (argc - 4) / 2, argv + 4);
    if ((argc == 7 || argc == 8) && std::strcmp(argv[1], "fwctl") == 0)
        return probe_fwctl(argv[2], static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 0)),
                           static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 0)), argv[5],
                           std::strtoul(argv[6], nullptr, 0),
                           argc == 8 ? static_cast<uint32_t>(std::strtoul(argv[7], nullptr, 0)) : 1u);
    if (argc == 5 && std::strcmp(argv[1], "time") == 0)
        return probe_time(argv[2], static_cast<unsigned>(std::strtoul(argv[3], nullptr, 0)),
                          std::strtoul(argv[4], nullptr, 0));
    if (argc >= 3 && std::strcmp(argv[1], "sleep") == 0) {
        for (int i = 2; i < argc; i++)
            sleep(static_cast<unsigned>(std::strtoul(argv[i], nullptr, 0)));
        return 0;
    }
    std::fprintf(stderr,
                 "usage: e2e_probe sysfs BDF | misc NODE EP MSG HEX | queue NODE EP MSG HEX [MSG HEX]... | "
                 "fwctl NODE EP MSG HEX CAP [SCOPE] | time NODE N LEN | sleep S...\n");
    return 2;
}

// SPDX-License-Identifier: Apache-2.0
#include "bench_card.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "rfc.h"
#include "rfc_seams.h"

bool bench_make_image(const std::string &path, uint64_t size, uint32_t seed) {
    FILE *fp = fopen(path.c_str(), "wb");
    if (fp == nullptr) return false;
    std::vector<uint8_t> buf(k_bench_mib);
    uint32_t x = 88172645u ^ seed;
    for (uint64_t done = 0; done < size;) {
        for (auto &b : buf) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = static_cast<uint8_t>(x);
        }
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - done));
        if (fwrite(buf.data(), 1, n, fp) != n) {
            fclose(fp);
            return false;
        }
        done += n;
    }
    return fclose(fp) == 0;
}

bool bench_card_start(const std::string &state_dir, const std::vector<std::string> &faults, bool log_requests,
                      bench_card_s &bc) {
    vcard_options_s opts;
    opts.state_dir = state_dir;
    opts.faults = faults;
    return bench_card_start(opts, log_requests, bc);
}

bool bench_card_start(const vcard_options_s &opts, bool log_requests, bench_card_s &bc) {
    std::filesystem::create_directories(opts.state_dir);
    std::error_code ec;
    if (!log_requests) std::filesystem::create_symlink("/dev/null", opts.state_dir + "/requests.log", ec);
    bc.card = vcard_open(opts);
    if (bc.card == nullptr) return false;
    bc.peer = vcard_peer_start(bc.card, &bc.fd);
    return bc.peer != nullptr;
}

void bench_card_stop(bench_card_s &bc) {
    if (bc.peer != nullptr) vcard_peer_stop(bc.peer);
    if (bc.fd >= 0) close(bc.fd);
    if (bc.card != nullptr) vcard_close(bc.card);
    bc = bench_card_s{};
}

void bench_client_attach(const bench_card_s &bc, const char *bdf, const std::string &scratch) {
    rfc_init_params_s params{};
    snprintf(params.bdf, sizeof(params.bdf), "%s", bdf);
    snprintf(params.scratch_dir, sizeof(params.scratch_dir), "%s", scratch.c_str());
    params.trace_level = TRACE_LEVEL_NONE;
    (void)rfc_init(&params);
    nic_ipc_handle_s handle{};
    handle.transport = NIC_IPC_TRANSPORT_VELA;
    handle.cmd_dev = {bc.fd, 0};
    rfc_attach_transport(handle);
}

double bench_seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

long bench_vm_hwm_kib() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0) return strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

double bench_median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

bench_ratio_s bench_paired_ratio(const std::vector<double> &a, const std::vector<double> &b) {
    bench_ratio_s r;
    std::vector<double> ratios;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (b[i] > 0) ratios.push_back(a[i] / b[i]);
    if (ratios.empty()) return r;
    r.pairs = ratios.size();
    r.low = *std::min_element(ratios.begin(), ratios.end());
    r.high = *std::max_element(ratios.begin(), ratios.end());
    r.median = bench_median(ratios);
    return r;
}

std::string bench_temp_dir(const char *name) {
    std::string path = std::string("/tmp/") + name + "-XXXXXX";
    if (mkdtemp(path.data()) == nullptr) {
        perror("mkdtemp");
        return "";
    }
    return path;
}

std::string bench_load_average() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

int bench_pairs_argument(int argc, char **argv) {
    const int pairs = argc > 1 ? atoi(argv[1]) : 7;
    if (pairs >= 7) return pairs;
    fprintf(stderr, "usage: %s [pairs, at least 7]\n", argv[0]);
    return -1;
}

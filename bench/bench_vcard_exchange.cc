// SPDX-License-Identifier: Apache-2.0
// The virtual card's cost per exchange through its device emulation: each run
// starts flash-update-vcard on a new card and, under it, this program again,
// which writes an image's worth of 960-byte chunks through the misc node
// with the client's own exchange (ipc_cmd_send_req_v). Prints each run's
// median per exchange (over batches of 256), then the median of the runs,
// and the load average at start and end.
//
//   bench_vcard_exchange [--runs N] [--exchanges N] [--launcher PATH]
//   (inner, under the launcher) bench_vcard_exchange --inner NODE EXCHANGES
#include <stdlib.h>
#include <sys/uio.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_card.h"
#include "fwupdate_msgs.h"
#include "ipc_cmd.h"
#include "rfc_types.h"

namespace {

constexpr size_t k_batch = 256;

int inner(const char *node, unsigned exchanges) {
    ipc_cmd_dev_s dev{};
    if (ipc_cmd_dev_open2(&dev, node) < 0) {
        std::fprintf(stderr, "bench_vcard_exchange: cannot open %s\n", node);
        return 1;
    }
    std::vector<uint8_t> chunk(FLASH_WRITE_CHUNK_SIZE);
    uint32_t x = 0x9e3779b9u;
    for (auto &b : chunk) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    const uint8_t pad[FWUPDATE_WRITE_REQ_OVERHEAD - sizeof(fwupdate_write_req_s)] = {};
    std::vector<double> per_exchange_us;
    auto t0 = std::chrono::steady_clock::now();
    for (unsigned i = 0; i < exchanges; i++) {
        fwupdate_write_req_s req{};
        req.image_id = FLASH_PARTITION_FW_B;
        req.offset = static_cast<uint64_t>(i) * FLASH_WRITE_CHUNK_SIZE;
        req.length = FLASH_WRITE_CHUNK_SIZE;
        req.last = i + 1 == exchanges ? 1 : 0;
        const iovec in[3] = {
            {&req, sizeof req}, {chunk.data(), chunk.size()}, {const_cast<uint8_t *>(pad), sizeof pad}};
        fwupdate_write_rsp_s rsp{};
        const iovec out[1] = {{&rsp, sizeof rsp}};
        uint32_t status = 0;
        ssize_t n = ipc_cmd_send_req_v(&dev, IPC_EP_FWUPDATE, FWUPDATE_MSG_FLASH_WRITE, in, 3, out, 1, &status);
        if (n != static_cast<ssize_t>(sizeof rsp) || status != 0 || rsp.next_offset != req.offset + req.length) {
            std::fprintf(stderr, "bench_vcard_exchange: write %u failed (%zd, status %u)\n", i, n, status);
            return 1;
        }
        if ((i + 1) % k_batch == 0) {
            per_exchange_us.push_back(bench_seconds_since(t0) * 1e6 / k_batch);
            t0 = std::chrono::steady_clock::now();
        }
    }
    ipc_cmd_dev_close(&dev);
    std::printf("exchange %.1f us\n", bench_median(per_exchange_us));
    return 0;
}

std::string self_path() {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    return n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string();
}

// One launcher run on a new card; the inner program's median, -1 on failure.
double one_run(const std::string &launcher, const std::string &dir, unsigned exchanges) {
    const std::string bdf = "0000:5e:00.0";
    const std::string cmd = "'" + launcher + "' --state '" + dir + "/card' --bdf " + bdf + " --timeout 600 -- '" +
                            self_path() + "' --inner /dev/velaipcdev0 " + std::to_string(exchanges);
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) return -1;
    char line[256];
    double us = -1;
    while (std::fgets(line, sizeof line, p) != nullptr)
        if (std::sscanf(line, "exchange %lf us", &us) != 1) us = -1;
    if (pclose(p) != 0) return -1;
    return us;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 4 && std::strcmp(argv[1], "--inner") == 0)
        return inner(argv[2], static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)));
    unsigned runs = 7, exchanges = 8738;  // 8 MiB in 960-byte chunks
    std::string launcher = FU_BENCH_LAUNCHER;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--runs") == 0)
            runs = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        else if (std::strcmp(argv[i], "--exchanges") == 0)
            exchanges = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        else if (std::strcmp(argv[i], "--launcher") == 0)
            launcher = argv[i + 1];
    }
    if (runs == 0 || exchanges < k_batch) {
        std::fprintf(stderr, "bench_vcard_exchange: at least one run of %zu exchanges\n", k_batch);
        return 2;
    }
    char tmpl[] = "/tmp/bench_vcard_exchange.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    const std::string dir = tmpl;
    std::printf("launcher %s\n%u runs of %u write exchanges of %zu bytes\nload average at start: %s\n",
                launcher.c_str(), runs, exchanges, FLASH_WRITE_CHUNK_SIZE, bench_load_average().c_str());
    std::vector<double> medians;
    for (unsigned r = 0; r < runs; r++) {
        std::system(("rm -rf '" + dir + "/card'").c_str());
        double us = one_run(launcher, dir, exchanges);
        if (us < 0) {
            std::fprintf(stderr, "bench_vcard_exchange: run %u failed\n", r + 1);
            return 1;
        }
        medians.push_back(us);
        std::printf("run %u: %.1f us per exchange\n", r + 1, us);
    }
    std::system(("rm -rf '" + dir + "'").c_str());
    std::printf("median of %u runs: %.1f us per exchange (%.2f s for 32 MiB)\nload average at end: %s\n", runs,
                bench_median(medians), bench_median(medians) * 1e-6 * (32 * k_bench_mib / FLASH_WRITE_CHUNK_SIZE + 1),
                bench_load_average().c_str());
    return 0;
}

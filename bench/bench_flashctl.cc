// SPDX-License-Identifier: Apache-2.0
// Cost of a flashctl update and of an inventory, measured against the
// virtual card served in-process on a socketpair.
//
// 1. Time: `update` of a 32 MiB image, the virtual card's whole fw-b (the
//    whole transaction: host SHA-512, plan with its checksum question,
//    erase, install, checksum verification) against what an operator runs
//    with flash-update: the image's SHA-512 on the host, --install and
//    --verify-checksum. The two sides run in interleaved pairs (A B, B A,
//    ...), at least 7, and the figure is the median of the pairs' ratios,
//    with their spread: at most 1.10. Before every timed run the partition
//    is erased (untimed), so that no update finds the image already there.
//    An image larger than the partition would measure a refusal, so the
//    size is at most the partition's.
// 2. Memory: the peak resident size of a process updating with a 32 MiB
//    image may exceed that of one updating with a 1 MiB image by less than
//    1 MiB.
// 3. Exchanges: an inventory of one card makes exactly one exchange per
//    query it reports: card identity 1, running and startup image 2,
//    partition table 1 + entries, secure state of four components 4.
//
// The load average at the start and at the end says what else ran.
//
// Usage: bench_flashctl [time-MiB [pairs [memory-MiB]]]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "flashctl.h"
#include "rfc.h"
#include "rfc_reads.h"
#include "bench_card.h"
#include "bench_flashctl_ops.h"
#include "vcard_service.h"

namespace {

constexpr uint64_t k_mib = k_bench_mib;
constexpr uint64_t k_card_partition = k_bench_card_partition;
const char *const k_bdf = "0000:03:00.0";

uint64_t &g_partition_size = g_bench_partition_size;
fc_card_ops_s bench_ops() {
    return bench_flashctl_ops();
}

fc_update_request_s update_request(const std::string &image) {
    fc_update_request_s req;
    req.card = k_bdf;
    req.partition = "fw-b";
    req.image_path = image;
    return req;
}

struct peak_s {
    long vm_hwm_kib = -1;
    long maxrss_kib = -1;
    bool updated = false;
};

// One update in a child process of its own; its peak memory.
peak_s peak_of_update(const std::string &dir, const std::string &image, uint64_t size) {
    peak_s peak;
    int fds[2];
    if (pipe(fds) != 0) return peak;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        bench_card_s bc;
        peak_s p;
        if (bench_card_start(dir + "/card", {}, false, bc)) {
            bench_client_attach(bc, k_bdf, dir + "/scratch");
            g_partition_size = size;
            const fc_update_report_s rep = fc_update(bench_ops(), update_request(image));
            p.updated = rep.result == FC_RESULT_UPDATED;
            p.vm_hwm_kib = bench_vm_hwm_kib();
            rusage ru{};
            getrusage(RUSAGE_SELF, &ru);
            p.maxrss_kib = ru.ru_maxrss;
        }
        bench_card_stop(bc);
        const ssize_t w = write(fds[1], &p, sizeof(p));
        _exit(w == static_cast<ssize_t>(sizeof(p)) ? 0 : 1);
    }
    close(fds[1]);
    if (pid > 0) {
        if (read(fds[0], &peak, sizeof(peak)) != static_cast<ssize_t>(sizeof(peak))) peak = peak_s{};
        int status = 0;
        waitpid(pid, &status, 0);
    }
    close(fds[0]);
    return peak;
}

struct timing_s {
    std::vector<double> update_s, baseline_s;
    std::string phases;  // seconds of each phase in the fastest update
    bool ok = true;
};

// Interleaved pairs of timed runs of the update and of hash + install +
// verify, each after an untimed erase of the partition.
timing_s time_update(const std::string &dir, const std::string &image, uint64_t size, int pairs) {
    timing_s t;
    bench_card_s bc;
    if (!bench_card_start(dir, {}, false, bc)) {
        t.ok = false;
        return t;
    }
    bench_client_attach(bc, k_bdf, dir + "/scratch");
    g_partition_size = size;
    const fc_card_ops_s ops = bench_ops();
    const bool timeout = false;
    std::vector<double> &upd = t.update_s, &base = t.baseline_s;
    auto erase = [&] { t.ok = rfc_flash_erase(FLASH_PARTITION_FW_B, 0, k_bdf, timeout) == 0 && t.ok; };
    auto run_update = [&] {
        erase();
        const auto t0 = std::chrono::steady_clock::now();
        const fc_update_report_s rep = fc_update(ops, update_request(image));
        upd.push_back(bench_seconds_since(t0));
        if (upd.back() <= *std::min_element(upd.begin(), upd.end())) {
            t.phases.clear();
            for (const auto &p : rep.phases) {
                char text[64];
                snprintf(text, sizeof text, "%s%s %.3f", t.phases.empty() ? "" : ", ", p.name.c_str(), p.seconds);
                t.phases += text;
            }
        }
        if (rep.result != FC_RESULT_UPDATED) {
            fprintf(stderr, "update: %s: %s\n", fc_result_name(rep.result), rep.error.message.c_str());
            t.ok = false;
        }
    };
    auto run_baseline = [&] {
        erase();
        const auto t0 = std::chrono::steady_clock::now();
        uint64_t n = 0;
        std::string hex, error;
        bool ok = fc_sha512_file(image, &n, &hex, &error);
        ok = rfc_flash_write(FLASH_PARTITION_FW_B, image.c_str(), k_bdf, timeout) == 0 && ok;
        const int verified = rfc_verify_checksum(FLASH_PARTITION_FW_B, image.c_str(), hex.c_str(), k_bdf, timeout);
        base.push_back(bench_seconds_since(t0));
        if (!ok || verified != 0) t.ok = false;
    };
    run_update();  // warms the page cache and the card's files
    run_baseline();
    upd.clear();
    base.clear();
    for (int i = 0; i < pairs; ++i) {
        if (i % 2 == 0) {
            run_update();
            run_baseline();
        } else {
            run_baseline();
            run_update();
        }
    }
    bench_card_stop(bc);
    return t;
}

// Requests of one inventory, as the card recorded them.
int inventory_exchanges(const std::string &dir, size_t *entries) {
    bench_card_s bc;
    if (!bench_card_start(dir, {}, true, bc)) return -1;
    bench_client_attach(bc, k_bdf, dir + "/scratch");
    const doc_card_s card = fc_inventory_card(bench_ops(), k_bdf);
    bench_card_stop(bc);
    if (!card.ok) return -1;
    *entries = card.partitions.size();
    std::ifstream in(dir + "/requests.log");
    int lines = 0;
    std::string line;
    while (std::getline(in, line))
        ++lines;
    return lines;
}

}  // namespace

int main(int argc, char **argv) {
    const uint64_t card_mib = k_card_partition / k_mib;
    const uint64_t time_mib = argc > 1 ? strtoull(argv[1], nullptr, 0) : card_mib;
    const int pairs = argc > 2 ? atoi(argv[2]) : 7;
    const uint64_t big_mib = argc > 3 ? strtoull(argv[3], nullptr, 0) : card_mib;
    if (time_mib == 0 || time_mib > card_mib || pairs < 1 || big_mib == 0 || big_mib > card_mib) {
        fprintf(stderr, "usage: %s [time-MiB [pairs [memory-MiB]]] (MiB from 1 to the card's %llu)\n", argv[0],
                static_cast<unsigned long long>(card_mib));
        return 2;
    }
    const std::string root = bench_temp_dir("fc-bench");
    if (root.empty()) return 2;
    printf("load average at start: %s\n", bench_load_average().c_str());
    fflush(stdout);  // the memory runs' children would print it again
    int rc = 0;

    // Memory first, from a process with no thread and no large allocation.
    const std::string small_img = root + "/small.bin";
    const std::string big_img = root + "/big.bin";
    if (!bench_make_image(small_img, k_mib, 1) || !bench_make_image(big_img, big_mib * k_mib, 2)) {
        fprintf(stderr, "cannot write the images under %s\n", root.c_str());
        std::filesystem::remove_all(root);
        return 2;
    }
    const peak_s small = peak_of_update(root + "/mem-small", small_img, k_mib);
    const peak_s big = peak_of_update(root + "/mem-big", big_img, big_mib * k_mib);
    std::filesystem::remove(big_img);
    if (!small.updated || !big.updated) {
        fprintf(stderr, "update in the memory runs failed\n");
        rc = 1;
    }
    const long hwm_diff = big.vm_hwm_kib - small.vm_hwm_kib;
    const long rss_diff = big.maxrss_kib - small.maxrss_kib;
    printf("peak memory: 1 MiB update VmHWM %ld KiB (maxrss %ld KiB), %llu MiB update VmHWM %ld KiB (maxrss %ld KiB)\n",
           small.vm_hwm_kib, small.maxrss_kib, static_cast<unsigned long long>(big_mib), big.vm_hwm_kib,
           big.maxrss_kib);
    printf("peak memory growth: VmHWM %+ld KiB, maxrss %+ld KiB (limit < 1024 KiB)\n", hwm_diff, rss_diff);
    if (!(hwm_diff < 1024 && rss_diff < 1024)) rc = 1;

    size_t entries = 0;
    const int exchanges = inventory_exchanges(root + "/inventory-card", &entries);
    const int expected = 1 + 2 + 1 + static_cast<int>(entries) + 4;
    printf(
        "inventory of one card: %d exchanges; its queries need %d (identity 1, running and startup image 2, "
        "partition table 1 + %zu entries, secure state 4)\n",
        exchanges, expected, entries);
    if (exchanges != expected) rc = 1;

    const uint64_t size = time_mib * k_mib;
    const std::string image = root + "/time.bin";
    if (!bench_make_image(image, size, 3)) {
        fprintf(stderr, "cannot write %s\n", image.c_str());
        rc = 1;
    } else {
        const timing_s t = time_update(root + "/time-card", image, size, pairs);
        if (!t.ok) rc = 1;
        const bench_ratio_s r = bench_paired_ratio(t.update_s, t.baseline_s);
        printf(
            "update %llu MiB: flashctl update median %.3f s, hash + install + verify-checksum median %.3f s, "
            "%zu pairs\n",
            static_cast<unsigned long long>(time_mib), bench_median(t.update_s), bench_median(t.baseline_s), r.pairs);
        printf("update phases (fastest run): %s\n", t.phases.c_str());
        printf("update cost ratio: median %.4f (pairs from %.4f to %.4f; limit 1.10)\n", r.median, r.low, r.high);
        if (r.pairs == 0 || r.median > 1.10) rc = 1;
    }
    printf("load average at end: %s\n", bench_load_average().c_str());
    std::filesystem::remove_all(root);
#if defined(__SANITIZE_ADDRESS__)
    printf("note: built with AddressSanitizer; its allocator and shadow memory distort both figures\n");
#endif
    printf("%s\n", rc == 0 ? "PASS" : "FAIL");
    return rc;
}

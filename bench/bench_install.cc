// SPDX-License-Identifier: Apache-2.0
// Cost of an image install on the host side, measured against the virtual
// card served in-process on a socketpair.
//
// 1. Time: installing a 32 MiB image (the card's whole fw-a) with
//    rfc_flash_write against a bare loop that sends the identical write
//    requests, prebuilt in memory, with one write() and one read() each, to
//    the same card. The two run in interleaved pairs (A B, B A, ...), at
//    least 7; the figure is the median of the pairs' ratios, with their
//    spread: at most 1.05.
// 2. Memory: the peak resident size of a process that installs a 32 MiB
//    image may exceed that of one installing a 1 MiB image by less than
//    1 MiB (the file is streamed, never held whole). Each install runs in a
//    child process of its own.
//
// Every install is a real one: each chunk at its offset, within the
// partition. The card's request record goes to /dev/null so that the runs
// do not write a log of every chunk to disk; both loops see the same card.
// The load average at the start and at the end says what else ran.
//
// Usage: bench_install [time-MiB [small-MiB big-MiB [pairs]]]
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ipc_cmd.h"
#include "protocol.h"
#include "fwupdate_msgs.h"
#include "rfc.h"
#include "bench_card.h"
#include "vcard_service.h"

namespace {

constexpr uint64_t k_mib = k_bench_mib;
const char *const k_bdf = "0000:03:00.0";
constexpr uint64_t k_card_partition = 32 * k_mib;  // fw-a on the virtual card

// The framed messages rfc_flash_write sends for the image.
std::vector<std::vector<uint8_t>> prebuild(const std::string &image) {
    std::vector<std::vector<uint8_t>> msgs;
    std::ifstream in(image, std::ios::binary);
    const uint64_t size = std::filesystem::file_size(image);
    uint8_t tag = 0;
    for (uint64_t sent = 0; sent < size; ++tag) {
        const size_t len = static_cast<size_t>(std::min<uint64_t>(FLASH_WRITE_CHUNK_SIZE, size - sent));
        const size_t req_len = len + FWUPDATE_WRITE_REQ_OVERHEAD;
        std::vector<uint8_t> m(IPC_CMD_MSG_OFFSET_DATA + req_len, 0);
        ipc_drv_hdr_t hdr = 0;
        ipc_drv_hdr_set_type(&hdr, IPC_DRV_HDR_TYPE_REQ);
        ipc_drv_hdr_set_tag(&hdr, tag);
        ipc_drv_hdr_set_req_endpoint(&hdr, IPC_EP_FWUPDATE);
        ipc_drv_hdr_set_pld_len(&hdr, static_cast<uint16_t>(sizeof(ipc_cmd_pld_hdr_s) + req_len));
        ipc_drv_hdr_store(m.data(), hdr);
        ipc_cmd_pld_hdr_s pld{};
        pld.magic = IPC_CMD_MAGIC;
        pld.version = IPC_CMD_VERSION;
        pld.msg_hi = static_cast<uint8_t>(FWUPDATE_MSG_FLASH_WRITE >> 16);
        pld.msg_lo = static_cast<uint16_t>(FWUPDATE_MSG_FLASH_WRITE);
        memcpy(m.data() + IPC_DRV_HDR_SIZE, &pld, sizeof(pld));
        fwupdate_write_req_s req{};
        req.image_id = FLASH_PARTITION_FW_A;
        req.offset = sent;
        req.length = len;
        req.last = (req.offset + len == size) ? 1 : 0;
        memcpy(m.data() + IPC_CMD_MSG_OFFSET_DATA, &req, sizeof(req));
        in.read(reinterpret_cast<char *>(m.data() + IPC_CMD_MSG_OFFSET_DATA + sizeof(req)),
                static_cast<std::streamsize>(len));
        msgs.push_back(std::move(m));
        sent += len;
    }
    return msgs;
}

// One write and one read per prebuilt message; false on any answer that is
// not a full, error-free write answer.
bool bare_loop(int fd, const std::vector<std::vector<uint8_t>> &msgs) {
    uint8_t rsp[IPC_CMD_MAX_MSG];
    for (const auto &m : msgs) {
        if (write(fd, m.data(), m.size()) != static_cast<ssize_t>(m.size())) return false;
        const ssize_t n = read(fd, rsp, sizeof(rsp));
        if (n != static_cast<ssize_t>(IPC_CMD_MSG_OFFSET_DATA + sizeof(fwupdate_write_rsp_s))) return false;
        if (ipc_drv_hdr_get_rsp_errno(ipc_drv_hdr_load(rsp)) != 0) return false;
    }
    return true;
}

struct peak_s {
    long vm_hwm_kib = -1;
    long maxrss_kib = -1;
    int result = -1;
};

// Installs the image in a child process and reports its peak memory.
peak_s peak_of_install(const std::string &dir, const std::string &image) {
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
            const bool timeout = false;
            p.result = rfc_flash_write(FLASH_PARTITION_FW_A, image.c_str(), k_bdf, timeout);
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

}  // namespace

int main(int argc, char **argv) {
    const uint64_t card_mib = k_card_partition / k_mib;
    const uint64_t time_mib = argc > 1 ? strtoull(argv[1], nullptr, 0) : card_mib;
    const uint64_t small_mib = argc > 3 ? strtoull(argv[2], nullptr, 0) : 1;
    const uint64_t big_mib = argc > 3 ? strtoull(argv[3], nullptr, 0) : card_mib;
    const int runs = argc > 4 ? atoi(argv[4]) : 7;
    const auto fits = [card_mib](uint64_t mib) { return mib > 0 && mib <= card_mib; };
    if (!fits(time_mib) || !fits(small_mib) || !fits(big_mib) || runs < 1) {
        fprintf(stderr, "usage: %s [time-MiB [small-MiB big-MiB [pairs]]] (MiB from 1 to the card's %llu)\n", argv[0],
                static_cast<unsigned long long>(card_mib));
        return 2;
    }

    const std::string root = bench_temp_dir("fu-bench");
    if (root.empty()) return 2;
    const std::string small_img = root + "/small.bin";
    const std::string big_img = root + "/big.bin";
    const std::string time_img = root + "/time.bin";
    printf("load average at start: %s\n", bench_load_average().c_str());
    fflush(stdout);  // the memory runs' children would print it again
    int rc = 0;

    // Memory first: the children fork from a process with no thread and no
    // large allocation of its own.
    if (!bench_make_image(small_img, small_mib * k_mib) || !bench_make_image(big_img, big_mib * k_mib)) {
        fprintf(stderr, "cannot write the images under %s\n", root.c_str());
        std::filesystem::remove_all(root);
        return 2;
    }
    const peak_s small = peak_of_install(root + "/mem-small", small_img);
    const peak_s big = peak_of_install(root + "/mem-big", big_img);
    std::filesystem::remove(big_img);
    if (small.result != 0 || big.result != 0) {
        fprintf(stderr, "install in the memory runs failed: %d %d\n", small.result, big.result);
        rc = 1;
    }
    const long hwm_diff = big.vm_hwm_kib - small.vm_hwm_kib;
    const long rss_diff = big.maxrss_kib - small.maxrss_kib;
    printf(
        "peak memory: %llu MiB install VmHWM %ld KiB (maxrss %ld KiB), %llu MiB install VmHWM %ld KiB "
        "(maxrss %ld KiB)\n",
        static_cast<unsigned long long>(small_mib), small.vm_hwm_kib, small.maxrss_kib,
        static_cast<unsigned long long>(big_mib), big.vm_hwm_kib, big.maxrss_kib);
    printf("peak memory growth: VmHWM %+ld KiB, maxrss %+ld KiB (limit < 1024 KiB)\n", hwm_diff, rss_diff);
    if (!(hwm_diff < 1024 && rss_diff < 1024)) rc = 1;

    // Time.
    if (!bench_make_image(time_img, time_mib * k_mib)) {
        fprintf(stderr, "cannot write %s\n", time_img.c_str());
        std::filesystem::remove_all(root);
        return 2;
    }
    const auto msgs = prebuild(time_img);
    bench_card_s bc;
    if (!bench_card_start(root + "/time-card", {}, false, bc)) {
        fprintf(stderr, "cannot start the virtual card\n");
        std::filesystem::remove_all(root);
        return 2;
    }
    bench_client_attach(bc, k_bdf, root + "/scratch");
    std::vector<double> t_client;
    std::vector<double> t_bare;
    const bool timeout = false;
    auto time_client = [&]() {
        const auto t0 = std::chrono::steady_clock::now();
        if (rfc_flash_write(FLASH_PARTITION_FW_A, time_img.c_str(), k_bdf, timeout) != 0) rc = 1;
        t_client.push_back(bench_seconds_since(t0));
    };
    auto time_bare = [&]() {
        const auto t0 = std::chrono::steady_clock::now();
        if (!bare_loop(bc.fd, msgs)) rc = 1;
        t_bare.push_back(bench_seconds_since(t0));
    };
    // One untimed round of each warms the page cache and the card's files;
    // the order alternates so that neither loop always runs first.
    time_client();
    time_bare();
    t_client.clear();
    t_bare.clear();
    for (int i = 0; i < runs; ++i) {
        if (i % 2 == 0) {
            time_client();
            time_bare();
        } else {
            time_bare();
            time_client();
        }
    }
    bench_card_stop(bc);
    std::filesystem::remove_all(root);

    const bench_ratio_s r = bench_paired_ratio(t_client, t_bare);
    const double c_med = bench_median(t_client), b_med = bench_median(t_bare);
    printf("install %llu MiB (%zu chunks): rfc_flash_write median %.3f s, bare loop median %.3f s, %zu pairs\n",
           static_cast<unsigned long long>(time_mib), msgs.size(), c_med, b_med, r.pairs);
    printf("install cost ratio: median %.4f (pairs from %.4f to %.4f; limit 1.05); per chunk %.2f us against %.2f us\n",
           r.median, r.low, r.high, c_med * 1e6 / static_cast<double>(msgs.size()),
           b_med * 1e6 / static_cast<double>(msgs.size()));
    if (r.pairs == 0 || r.median > 1.05) rc = 1;
    printf("load average at end: %s\n", bench_load_average().c_str());
#if defined(__SANITIZE_ADDRESS__)
    printf("note: built with AddressSanitizer; its allocator and shadow memory distort both figures\n");
#endif
    printf("%s\n", rc == 0 ? "PASS" : "FAIL");
    return rc;
}

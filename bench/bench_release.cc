// SPDX-License-Identifier: Apache-2.0
// Cost of a release's apply, measured against the virtual card served
// in-process on a socketpair.
//
// 1. Time: `apply` of a bundle of fw (8 MiB), uboot (1 MiB) and dtb (64 KiB)
//    — the bundle opened and checked (signature, every image hashed), each
//    component erased, written and verified on the card — against the same
//    three images brought by three `update` calls one after another.
//    Interleaved (A B A B ...), at least 7 pairs, each after an untimed
//    erase of the three partitions; the median of the pairs' ratios with its
//    spread, at most 1.05.
// 2. Memory: the peak resident size of a process applying a bundle whose fw
//    image is 32 MiB may exceed that of one whose fw image is 1 MiB by less
//    than 1 MiB.
// 3. Exchanges: a compliance check of a card, as the card recorded them.
//
// Usage: bench_release [pairs]
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_card.h"
#include "bench_flashctl_ops.h"
#include "bundle.h"
#include "release.h"
#include "rfc.h"

namespace {

constexpr uint64_t k_mib = k_bench_mib;
const char *const k_bdf = "0000:03:00.0";

struct component_s {
    const char *file;
    const char *family_a;
    const char *family_b;  // the member written on a card running slot 0
    uint64_t size;
};
const component_s k_components[] = {{"fw.bin", "fw-a", "fw-b", 8 * k_mib},
                                    {"uboot.bin", "uboot-a", "uboot-b", 1 * k_mib},
                                    {"dtb.bin", "dtb", "dtb-b", 64 * 1024}};

// A signed bundle of the three images (fw of fw_size) under dir; its trust
// directory is dir/trust.
bool make_bundle(const std::string &dir, uint64_t fw_size, std::string *bundle_path) {
    std::filesystem::create_directories(dir + "/images");
    std::filesystem::create_directories(dir + "/trust");
    std::string manifest =
        "{\"bundle_format\": 1, \"release\": {\"name\": \"bench\", \"version\": \"1\"},"
        " \"compatible\": {\"boards\": [\"0x00010042\"], \"asics\": [\"larch\"]}, \"requires\": [],"
        " \"components\": [";
    uint32_t seed = 10;
    for (const component_s &c : k_components) {
        if (!bench_make_image(dir + "/images/" + c.file, c.file == std::string("fw.bin") ? fw_size : c.size, seed++))
            return false;
        manifest += std::string(c.file == std::string("fw.bin") ? "" : ", ") + "{\"file\": \"" + c.file +
                    "\", \"target\": [\"" + c.family_a + "\", \"" + c.family_b + "\"]}";
    }
    manifest += "]}";
    std::ofstream(dir + "/manifest.json") << manifest;
    bundle_error_s error;
    std::string fingerprint;
    *bundle_path = dir + "/release.fub";
    const bool ok = bundle_keygen(dir + "/key.pem", dir + "/trust/key.pem", &fingerprint, &error) &&
                    bundle_create(dir + "/manifest.json", dir + "/images", dir + "/key.pem", *bundle_path, &error);
    if (!ok) fprintf(stderr, "bundle: %s\n", error.message.c_str());
    return ok;
}

bool open_bundle(const std::string &dir, const std::string &path, bundle_s *bundle) {
    bundle_options_s options;
    options.trust_dir = dir + "/trust";
    bundle_error_s error;
    if (bundle_open(path, options, bundle, &error)) return true;
    fprintf(stderr, "bundle: %s\n", error.message.c_str());
    return false;
}

bool apply_once(const std::string &dir, const std::string &path) {
    bundle_s bundle;
    if (!open_bundle(dir, path, &bundle)) return false;
    fc_release_request_s req;
    fc_card_release_s card;
    card.card = k_bdf;
    fc_release_apply_card(bench_flashctl_ops(), bundle, req, card);
    if (card.result != FC_RESULT_UPDATED) fprintf(stderr, "apply: %s\n", card.error.message.c_str());
    return card.result == FC_RESULT_UPDATED;
}

bool updates_once(const std::string &dir) {
    bool ok = true;
    for (const component_s &c : k_components) {
        fc_update_request_s req;
        req.card = k_bdf;
        req.partition = c.family_b;
        req.image_path = dir + "/images/" + c.file;
        const fc_update_report_s rep = fc_update(bench_flashctl_ops(), req);
        if (rep.result != FC_RESULT_UPDATED) {
            fprintf(stderr, "update %s: %s\n", c.family_b, rep.error.message.c_str());
            ok = false;
        }
    }
    return ok;
}

bool erase_all() {
    const bool timeout = false;
    bool ok = true;
    for (const component_s &c : k_components)
        ok = rfc_flash_erase(rfc_partition_from_name(c.family_b), 0, k_bdf, timeout) == 0 && ok;
    return ok;
}

// The peak memory of one apply in a process of its own.
long peak_of_apply(const std::string &dir, uint64_t fw_size) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        long peak = -1;
        std::string path;
        bench_card_s bc;
        if (make_bundle(dir, fw_size, &path) && bench_card_start(dir + "/card", {}, false, bc)) {
            bench_client_attach(bc, k_bdf, dir + "/scratch");
            if (apply_once(dir, path)) peak = bench_vm_hwm_kib();
        }
        bench_card_stop(bc);
        _exit(write(fds[1], &peak, sizeof peak) == static_cast<ssize_t>(sizeof peak) ? 0 : 1);
    }
    close(fds[1]);
    long peak = -1;
    if (pid > 0) {
        if (read(fds[0], &peak, sizeof peak) != static_cast<ssize_t>(sizeof peak)) peak = -1;
        waitpid(pid, nullptr, 0);
    }
    close(fds[0]);
    return peak;
}

}  // namespace

int main(int argc, char **argv) {
    const int pairs = bench_pairs_argument(argc, argv);
    if (pairs < 0) return 2;
    const std::string root = bench_temp_dir("fc-bench-release");
    if (root.empty()) return 2;
    printf("load average at start: %s\n", bench_load_average().c_str());
    fflush(stdout);  // the children of the memory runs would print it again
    int rc = 0;

    const long small = peak_of_apply(root + "/mem-small", 1 * k_mib);
    const long big = peak_of_apply(root + "/mem-big", 32 * k_mib);
    printf("peak memory: apply with a 1 MiB fw image VmHWM %ld KiB, with 32 MiB %ld KiB: %+ld KiB (limit < 1024 KiB)\n",
           small, big, big - small);
    if (small < 0 || big < 0 || big - small >= 1024) rc = 1;

    std::string path;
    bench_card_s bc;
    if (!make_bundle(root + "/time", 8 * k_mib, &path) || !bench_card_start(root + "/time/card", {}, false, bc)) {
        fprintf(stderr, "cannot set up the timed runs under %s\n", root.c_str());
        std::filesystem::remove_all(root);
        return 2;
    }
    bench_client_attach(bc, k_bdf, root + "/time/scratch");
    std::vector<double> apply_s, update_s;
    auto timed = [&](bool apply) {
        if (!erase_all()) rc = 1;
        const auto t0 = std::chrono::steady_clock::now();
        const bool ok = apply ? apply_once(root + "/time", path) : updates_once(root + "/time");
        (apply ? apply_s : update_s).push_back(bench_seconds_since(t0));
        if (!ok) rc = 1;
    };
    timed(true);  // warms the page cache and the card's files
    timed(false);
    apply_s.clear();
    update_s.clear();
    for (int i = 0; i < pairs; ++i) {
        timed(true);
        timed(false);
    }
    const bench_ratio_s r = bench_paired_ratio(apply_s, update_s);
    printf("apply of fw 8 MiB + uboot 1 MiB + dtb 64 KiB: median %.3f s; three updates: median %.3f s; %zu pairs\n",
           bench_median(apply_s), bench_median(update_s), r.pairs);
    printf("apply / updates: median ratio %.4f (pairs from %.4f to %.4f; limit 1.05)\n", r.median, r.low, r.high);
    if (r.median > 1.05) rc = 1;
    bench_card_stop(bc);

    // A check's exchanges, on a card holding the release in its other slot.
    bench_card_s logged;
    if (bench_card_start(root + "/check/card", {}, true, logged)) {
        bench_client_attach(logged, k_bdf, root + "/check/scratch");
        bool ok = apply_once(root + "/time", path);
        std::filesystem::remove(root + "/check/card/requests.log");
        bundle_s bundle;
        ok = ok && open_bundle(root + "/time", path, &bundle);
        fc_release_request_s req;
        fc_card_release_s card;
        card.card = k_bdf;
        if (ok) fc_release_check_card(bench_flashctl_ops(), bundle, req, card);
        bench_card_stop(logged);
        std::ifstream in(root + "/check/card/requests.log");
        int lines = 0;
        for (std::string line; std::getline(in, line);)
            ++lines;
        printf("check of a card (%s): %d exchanges for %zu components\n", fc_release_state_name(card.state), lines,
               bundle.images.size());
    }
    printf("load average at end: %s\n", bench_load_average().c_str());
    std::filesystem::remove_all(root);
    printf("%s\n", rc == 0 ? "PASS" : "FAIL");
    return rc;
}

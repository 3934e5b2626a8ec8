// SPDX-License-Identifier: Apache-2.0
// A host's cards at once: `flashctl apply` of a release whose fw image is
// 8 MiB to four virtual cards against the same apply to one, each card
// served in-process on a socketpair of its own. Each write exchange takes
// the card k_card_write_us, as a card's flash takes its time to program: an
// in-process card that answers at once measures only the host's CPU, which
// on a machine with fewer cores than cards bounds the wall time whatever
// the threads do (the CPU-bound figure printed at the end says by how much).
//
// The whole command runs as the program runs it (fc_main: the bundle opened
// and checked, each card read, planned, erased, written and verified, its
// journal line appended and synced, the document written). Four cards may
// take at most 1.3 times the wall time of one. The sides run in interleaved
// pairs (one card, four cards, ...), at least 7, each after an untimed erase
// of every card's fw-b; the figure is the median of the pairs' ratios with
// their spread. The load average at the start and at the end says what else
// ran, and the process's CPU seconds per side what the cards' emulation
// itself costs: on a machine with fewer cores than cards and emulations
// together, CPU time bounds the wall time.
//
// Usage: bench_parallel [pairs]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench_card.h"
#include "bench_flashctl_ops.h"
#include "bundle.h"
#include "flashctl.h"
#include "rfc.h"

namespace {

constexpr uint64_t k_mib = k_bench_mib;
constexpr size_t k_cards = 4;
// What one 960-byte write exchange takes on the card: 8 MiB in about 2.2 s.
constexpr unsigned k_card_write_us = 250;
const char *const k_bdfs[k_cards] = {"0000:03:00.0", "0000:04:00.0", "0000:05:00.0", "0000:06:00.0"};

// The in-process cards by address, and the scratch directory of the client.
std::map<std::string, bench_card_s> g_cards;
std::string g_scratch;

// The bench's ops, but selecting a card points this thread's client at it:
// each card's thread talks to its own card.
fc_card_ops_s parallel_ops() {
    fc_card_ops_s ops = bench_flashctl_ops();
    ops.select_card = [](const char *bdf) { bench_client_attach(g_cards.at(bdf), bdf, g_scratch); };
    return ops;
}

// A signed bundle of one fw image of size bytes under dir (trust: dir/trust).
bool make_bundle(const std::string &dir, uint64_t size, std::string *path) {
    std::filesystem::create_directories(dir + "/images");
    std::filesystem::create_directories(dir + "/trust");
    if (!bench_make_image(dir + "/images/fw.bin", size, 23)) return false;
    std::ofstream(dir + "/manifest.json")
        << "{\"bundle_format\": 1, \"release\": {\"name\": \"bench\", \"version\": \"1\"},"
           " \"compatible\": {\"boards\": [\"0x00010042\"], \"asics\": [\"larch\"]}, \"requires\": [],"
           " \"components\": [{\"file\": \"fw.bin\", \"target\": [\"fw-a\", \"fw-b\"]}]}";
    bundle_error_s error;
    std::string fingerprint;
    *path = dir + "/release.fub";
    const bool ok = bundle_keygen(dir + "/key.pem", dir + "/trust/key.pem", &fingerprint, &error) &&
                    bundle_create(dir + "/manifest.json", dir + "/images", dir + "/key.pem", *path, &error);
    if (!ok) fprintf(stderr, "bundle: %s\n", error.message.c_str());
    return ok;
}

// flashctl apply of the bundle to the first n cards; true when every card updated.
bool apply(const std::string &dir, const std::string &bundle, size_t n) {
    std::vector<std::string> args = {"flashctl", "apply", bundle};
    for (size_t i = 0; i < n; ++i)
        args.push_back(k_bdfs[i]);
    for (const std::string &a : std::vector<std::string>{"--trust", dir + "/trust", "--history", dir + "/history.jsonl",
                                                         "--json", "--progress=none"})
        args.push_back(a);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    char *text = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&text, &len);
    FILE *err = fopen("/dev/null", "w");
    const int status = fc_main(parallel_ops(), static_cast<int>(argv.size()), argv.data(), out, err);
    fclose(out);
    fclose(err);
    const std::string doc(text, len);
    free(text);
    size_t updated = 0;
    for (size_t at = doc.find("\"result\":\"updated\""); at != std::string::npos;
         at = doc.find("\"result\":\"updated\"", at + 1))
        ++updated;
    if (status != 0 || updated != n) fprintf(stderr, "apply to %zu cards: status %d: %s\n", n, status, doc.c_str());
    return status == 0 && updated == n;
}

// fw-b of every card erased, from this thread, so that each apply writes.
bool erase_all() {
    bool ok = true;
    const bool timeout = false;
    for (const char *bdf : k_bdfs) {
        bench_client_attach(g_cards.at(bdf), bdf, g_scratch);
        ok = rfc_flash_erase(FLASH_PARTITION_FW_B, 0, bdf, timeout) == 0 && ok;
    }
    return ok;
}

double cpu_seconds() {
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char **argv) {
    const int pairs = bench_pairs_argument(argc, argv);
    if (pairs < 0) return 2;
    const std::string root = bench_temp_dir("fc-bench-parallel");
    if (root.empty()) return 2;
    g_scratch = root + "/scratch";
    printf("load average at start: %s\n", bench_load_average().c_str());
    std::string bundle;
    bool ready = make_bundle(root, 8 * k_mib, &bundle);
    for (const char *bdf : k_bdfs)
    {
        vcard_options_s options;
        options.state_dir = root + "/card-" + bdf;
        options.write_us = k_card_write_us;
        ready = ready && bench_card_start(options, false, g_cards[bdf]);
    }
    if (!ready) {
        fprintf(stderr, "cannot set up the cards under %s\n", root.c_str());
        for (auto &[bdf, card] : g_cards)
            bench_card_stop(card);
        std::filesystem::remove_all(root);
        return 2;
    }
    int rc = 0;
    std::vector<double> one_s, four_s, one_cpu, four_cpu;
    auto timed = [&](size_t n) {
        if (!erase_all()) rc = 1;
        const double cpu0 = cpu_seconds();
        const auto t0 = std::chrono::steady_clock::now();
        if (!apply(root, bundle, n)) rc = 1;
        (n == 1 ? one_s : four_s).push_back(bench_seconds_since(t0));
        (n == 1 ? one_cpu : four_cpu).push_back(cpu_seconds() - cpu0);
    };
    timed(1);  // warms the page cache and the cards' files
    timed(k_cards);
    one_s.clear(), four_s.clear(), one_cpu.clear(), four_cpu.clear();
    for (int i = 0; i < pairs; ++i) {
        timed(1);
        timed(k_cards);
    }
    const bench_ratio_s r = bench_paired_ratio(four_s, one_s);
    printf(
        "apply of an 8 MiB fw image, %u us per write exchange on the card: one card median %.3f s (CPU %.3f s), %zu cards median %.3f s (CPU %.3f s); "
        "%zu pairs\n",
        k_card_write_us, bench_median(one_s), bench_median(one_cpu), k_cards, bench_median(four_s), bench_median(four_cpu), r.pairs);
    printf("%zu cards / one card: median ratio %.4f (pairs from %.4f to %.4f; limit 1.3)\n", k_cards, r.median, r.low,
           r.high);
    // The best the machine can do when the cards' work is CPU-bound: the
    // four cards' CPU seconds spread over every core, against one card's wall time.
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    printf("CPU bound: %zu cards' CPU %.3f s over %u cores / one card's wall time = %.4f\n", k_cards,
           bench_median(four_cpu), cores, bench_median(four_cpu) / cores / bench_median(one_s));
    if (r.median > 1.3) rc = 1;
    for (auto &[bdf, card] : g_cards)
        bench_card_stop(card);
    printf("load average at end: %s\n", bench_load_average().c_str());
    std::filesystem::remove_all(root);
    printf("%s\n", rc == 0 ? "PASS" : "FAIL");
    return rc;
}

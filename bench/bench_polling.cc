// SPDX-License-Identifier: Apache-2.0
// How soon flashctl notices that a long card operation has ended, against
// the virtual card served in-process on a socketpair.
//
// 1. Erase: the card takes 3 s of real time to erase fw-b (94 ms per MiB
//    of its 32 MiB, 3.008 s); a flashctl update of a 1 MiB image ends its
//    erase phase less than 1 s after the card finished.
// 2. Checksum: the card takes 3 s per MiB digested; the update's
//    verify_checksum phase of the 1 MiB image ends less than 1 s after the
//    card finished.
// 3. Counts: the card answers "in progress" twice to an erase and to each
//    checksum (--erase-polls 2 --verify-polls 2); the whole 1 MiB update
//    takes less than 5 s.
//
// With --compare the same runs follow on flash-update's schedule (the
// client's own 10 s and 2 s intervals), for the figures before the change.
//
// Usage: bench_polling [--compare]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench_card.h"
#include "bench_flashctl_ops.h"
#include "flashctl.h"
#include "rfc_seams.h"
#include "vcard_service.h"

namespace {

constexpr uint64_t k_mib = k_bench_mib;
const char *const k_bdf = "0000:03:00.0";

struct run_s {
    bool ok = false;
    double total_s = 0;
    double plan_s = 0, erase_s = 0, checksum_s = 0;
};

// One update of image on a fresh card with these options.
run_s update_on(const std::string &dir, const std::string &image, vcard_options_s options) {
    run_s run;
    options.state_dir = dir;
    bench_card_s bc;
    if (!bench_card_start(options, false, bc)) return run;
    bench_client_attach(bc, k_bdf, dir + "/scratch");
    fc_update_request_s req;
    req.card = k_bdf;
    req.partition = "fw-b";
    req.image_path = image;
    g_fc_session = fc_session_s{};
    const auto t0 = std::chrono::steady_clock::now();
    const fc_update_report_s rep = fc_update(bench_flashctl_ops(), req);
    run.total_s = bench_seconds_since(t0);
    bench_card_stop(bc);
    run.ok = rep.result == FC_RESULT_UPDATED;
    if (!run.ok) fprintf(stderr, "update: %s: %s\n", fc_result_name(rep.result), rep.error.message.c_str());
    for (const auto &p : rep.phases) {
        if (p.name == "plan") run.plan_s = p.seconds;
        if (p.name == "erase") run.erase_s = p.seconds;
        if (p.name == "verify_checksum") run.checksum_s = p.seconds;
    }
    return run;
}

struct figures_s {
    double erase_lag_s = 0, checksum_lag_s = 0, counts_s = 0;
    bool ok = true;
};

figures_s measure(const std::string &root, const std::string &image, const char *schedule) {
    figures_s f;
    vcard_options_s erase_timed;
    erase_timed.erase_ms_per_mib = 94;
    const double card_erase_s = 94.0 / 1000 * static_cast<double>(k_bench_card_partition / k_mib);
    const run_s e = update_on(root + "/erase-" + schedule, image, erase_timed);
    f.erase_lag_s = e.erase_s - card_erase_s;
    printf("%s: erase of %.3f s on the card: erase phase %.3f s, %.3f s after the card finished\n", schedule,
           card_erase_s, e.erase_s, f.erase_lag_s);

    vcard_options_s checksum_timed;
    checksum_timed.checksum_ms_per_mib = 3000;
    const double card_checksum_s = 3.0;
    const run_s c = update_on(root + "/checksum-" + schedule, image, checksum_timed);
    f.checksum_lag_s = c.checksum_s - card_checksum_s;
    printf("%s: checksum of %.3f s on the card: verify_checksum phase %.3f s, %.3f s after the card finished\n",
           schedule, card_checksum_s, c.checksum_s, f.checksum_lag_s);

    vcard_options_s counted;
    counted.erase_polls = 2;
    counted.verify_polls = 2;
    const run_s n = update_on(root + "/counts-" + schedule, image, counted);
    f.counts_s = n.total_s;
    printf(
        "%s: 1 MiB update on --erase-polls 2 --verify-polls 2: %.3f s (plan %.3f, erase %.3f, verify_checksum %.3f)\n",
        schedule, n.total_s, n.plan_s, n.erase_s, n.checksum_s);
    f.ok = e.ok && c.ok && n.ok;
    fflush(stdout);
    return f;
}

}  // namespace

int main(int argc, char **argv) {
    const bool compare = argc == 2 && strcmp(argv[1], "--compare") == 0;
    if (argc > 2 || (argc == 2 && !compare)) {
        fprintf(stderr, "usage: %s [--compare]\n", argv[0]);
        return 2;
    }
    const std::string root = bench_temp_dir("fc-poll");
    if (root.empty()) return 2;
    const std::string image = root + "/image.bin";
    if (!bench_make_image(image, k_mib, 4)) {
        fprintf(stderr, "cannot write %s\n", image.c_str());
        std::filesystem::remove_all(root);
        return 2;
    }
    printf("load average at start: %s\n", bench_load_average().c_str());
    fc_session_install();
    const figures_s f = measure(root, image, "flashctl");
    int rc = f.ok ? 0 : 1;
    printf("erase lag %.3f s (limit 1 s), checksum lag %.3f s (limit 1 s), counted update %.3f s (limit 5 s)\n",
           f.erase_lag_s, f.checksum_lag_s, f.counts_s);
    if (!(f.erase_lag_s < 1.0 && f.checksum_lag_s < 1.0 && f.counts_s < 5.0)) rc = 1;
    if (compare) {
        rfc_set_poll_wait(nullptr);
        rfc_set_sleep(nullptr);
        if (!measure(root, image, "flash-update's schedule").ok) rc = 1;
    }
    printf("load average at end: %s\n", bench_load_average().c_str());
    std::filesystem::remove_all(root);
    printf("%s\n", rc == 0 ? "PASS" : "FAIL");
    return rc;
}

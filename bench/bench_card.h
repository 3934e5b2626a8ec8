// SPDX-License-Identifier: Apache-2.0
// What the benchmarks share: the virtual card served in-process on a
// socketpair with the client's handle pointed at it, generated images, and
// the clock and peak-memory readings.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "vcard_service.h"

inline constexpr uint64_t k_bench_mib = 1024 * 1024;

struct bench_card_s {
    vcard_s *card = nullptr;
    vcard_peer_s *peer = nullptr;
    int fd = -1;
};

// A file of size pseudo-random bytes (xorshift, varied by seed), written a
// MiB at a time.
bool bench_make_image(const std::string &path, uint64_t size, uint32_t seed = 0);
// Opens a card in state_dir and serves it on a socketpair. log_requests
// false: the request record goes to /dev/null, so that timed runs do not
// write hundreds of megabytes to disk.
bool bench_card_start(const std::string &state_dir, const std::vector<std::string> &faults, bool log_requests,
                      bench_card_s &bc);
// The same with every option of the card (its state_dir included).
bool bench_card_start(const vcard_options_s &options, bool log_requests, bench_card_s &bc);
void bench_card_stop(bench_card_s &bc);
// Points the client's handle at the card and initialises it silently.
void bench_client_attach(const bench_card_s &bc, const char *bdf, const std::string &scratch);

double bench_seconds_since(std::chrono::steady_clock::time_point t0);
// This process's peak resident size (VmHWM), -1 when unreadable.
long bench_vm_hwm_kib();

// Interleaved runs of two sides (A B A B ...): the median of the ratios of
// each pair and their spread, so that what the machine does meanwhile
// weighs on both sides of a pair alike.
struct bench_ratio_s {
    double median = 0;
    double low = 0;   // smallest pair ratio
    double high = 0;  // largest pair ratio
    size_t pairs = 0;
};
bench_ratio_s bench_paired_ratio(const std::vector<double> &a, const std::vector<double> &b);
double bench_median(std::vector<double> values);
// A new directory /tmp/NAME-XXXXXX of the run's files; "" (and why, on
// standard error) when none can be made.
std::string bench_temp_dir(const char *name);
// The machine's load average as /proc/loadavg gives it ("0.52 0.60 0.71").
std::string bench_load_average();
// The pairs a benchmark whose only argument is their number runs (7 when it
// has none); -1, after the usage line on standard error, below 7.
int bench_pairs_argument(int argc, char **argv);

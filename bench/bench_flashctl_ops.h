// SPDX-License-Identifier: Apache-2.0
// flashctl's card operations for the benchmarks: the program's own, but on
// the card the bench attached in-process, with no re-selection, no card lock
// (the bench's card has no node), no lspci and no keys; the partition table
// as large as an image beyond the card needs, and the erase no larger than
// the card's partition.
#pragma once

#include <cstdint>

#include "flashctl.h"

inline constexpr uint64_t k_bench_card_partition = 32ull << 20;  // fw-b on the virtual card

// fw-b reads as at least this large (0: as the card says).
extern uint64_t g_bench_partition_size;
fc_card_ops_s bench_flashctl_ops();

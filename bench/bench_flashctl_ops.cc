// SPDX-License-Identifier: Apache-2.0
#include "bench_flashctl_ops.h"

#include <algorithm>

#include "rfc.h"
#include "rfc_reads.h"

uint64_t g_bench_partition_size = 0;

fc_card_ops_s bench_flashctl_ops() {
    fc_card_ops_s ops = fc_real_ops();
    ops.select_card = [](const char *) {};
    ops.take_lock = [](const char *, card_lock_mode_e, double) {
        card_lock_s held;  // holds nothing: the bench's card has no node
        held.result = CARD_LOCK_HELD;
        return held;
    };
    ops.serial_number = [](const char *) { return std::string(); };
    ops.keys_present = [] { return false; };
    ops.erase = [](flash_partition_e partition, uint64_t size, const char *bdf, const bool &timeout) {
        return rfc_flash_erase(partition, std::min(size, k_bench_card_partition), bdf, timeout);
    };
    ops.read_partitions = [](const char *bdf, std::vector<rfc_partition_s> *table) {
        const int r = rfc_read_partition_table(bdf, table);
        for (auto &p : *table)
            if (p.id == FLASH_PARTITION_FW_B) p.size = std::max(p.size, g_bench_partition_size);
        return r;
    };
    return ops;
}

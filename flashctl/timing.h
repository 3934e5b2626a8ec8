// SPDX-License-Identifier: Apache-2.0
// How long a card takes, from its journal: the seconds per MiB of its
// erases, installs and checksums. flashctl plan predicts a release's
// duration with them; the virtual card's launcher (--timing) gives a twin
// the same pace, so that a rehearsal takes as long as the rollout would.
//
// A card's rate of a kind is the total seconds of its phases of that kind
// that ended ok, over the total MiB they went over: an erase's the bytes it
// erased (the whole partition), an install's and a checksum's the image's.
// Every journal line of the card counts, an update's or a release's, whatever
// the transaction's result (an erase that ended ok measured the card's pace
// even when a later step failed); a line written before phases carried their
// bytes counts the image's size for each. A kind the card has no measure of
// keeps its default.
#pragma once

#include <cstdint>
#include <map>
#include <string>

// The rates of a card the journal has nothing on, seconds per MiB: a
// cautious guess at a card never measured, which the journal's figures
// replace.
inline constexpr double FC_TIMING_DEFAULT_ERASE_S_PER_MIB = 2.0;
inline constexpr double FC_TIMING_DEFAULT_WRITE_S_PER_MIB = 2.0;
inline constexpr double FC_TIMING_DEFAULT_CHECKSUM_S_PER_MIB = 0.1;

struct fc_timing_s {
    double erase_s_per_mib = FC_TIMING_DEFAULT_ERASE_S_PER_MIB;
    double write_s_per_mib = FC_TIMING_DEFAULT_WRITE_S_PER_MIB;
    double checksum_s_per_mib = FC_TIMING_DEFAULT_CHECKSUM_S_PER_MIB;
    uint64_t transactions = 0;  // the card's journal lines that measured a phase (0: the defaults)
};

struct fc_timing_table_s {
    std::map<std::string, fc_timing_s> cards;  // by card address
    uint64_t skipped_lines = 0;                // lines that are not records
    // The card's rates; the defaults for a card the journal does not measure.
    fc_timing_s of(const std::string &card) const;
};

// Reads the journal at path (the one journal reader: lines that are not
// records are skipped and counted). A missing journal is an empty table.
// false with the reason when it cannot be read.
bool fc_timing_read(const std::string &path, fc_timing_table_s *table, std::string *error);

// Seconds a release's apply takes on a card at these rates for a component
// it writes (erase of the partition, install and checksum of the image) or,
// written = false, holds already; either way the apply first looks whether
// the card holds it: one more checksum of the image.
double fc_timing_component_seconds(const fc_timing_s &timing, uint64_t partition_bytes, uint64_t image_bytes,
                                   bool written);

// SPDX-License-Identifier: Apache-2.0
// A card's pace from its journal lines.
#include "timing.h"


#include "journal.h"

namespace {

constexpr double k_mib = 1024.0 * 1024.0;

enum kind_e { KIND_ERASE, KIND_WRITE, KIND_CHECKSUM, KIND_COUNT };

struct sums_s {
    double seconds[KIND_COUNT] = {};
    double mib[KIND_COUNT] = {};
    uint64_t transactions = 0;
};

int kind_of(const std::string &phase) {
    return phase == "erase" ? KIND_ERASE : phase == "install" ? KIND_WRITE : phase == "verify_checksum" ? KIND_CHECKSUM
                                                                                                         : -1;
}

// Adds the phases of one transaction (or one component of a release's) that
// ended ok; image_size stands for a phase's bytes when the line has none.
bool add_phases(const std::vector<fc_phase_s> &phases, uint64_t image_size, sums_s &sums) {
    bool measured = false;
    for (const fc_phase_s &p : phases) {
        const int kind = kind_of(p.name);
        const uint64_t bytes = p.bytes > 0 ? p.bytes : image_size;
        if (kind < 0 || p.status != FC_PHASE_OK || bytes == 0 || p.seconds < 0) continue;
        sums.seconds[kind] += p.seconds;
        sums.mib[kind] += static_cast<double>(bytes) / k_mib;
        measured = true;
    }
    return measured;
}

// The phases of a release line's component, read as the apply wrote them.
bool add_release_line(const doc_json &components, sums_s &sums) {
    bool measured = false;
    for (const doc_json &c : components) {
        if (!c.is_object()) continue;
        const auto size = c.find("size");
        const auto phases = c.find("phases");
        if (phases == c.end() || !phases->is_array()) continue;
        std::vector<fc_phase_s> list;
        for (const doc_json &p : *phases)
            list.push_back(p.get<fc_phase_s>());
        const uint64_t image_size = size != c.end() && size->is_number_unsigned() ? size->get<uint64_t>() : 0;
        measured = add_phases(list, image_size, sums) || measured;
    }
    return measured;
}

}  // namespace

fc_timing_s fc_timing_table_s::of(const std::string &card) const {
    const auto it = cards.find(card);
    return it != cards.end() ? it->second : fc_timing_s{};
}

bool fc_timing_read(const std::string &path, fc_timing_table_s *table, std::string *error) {
    *table = fc_timing_table_s{};
    fc_journal_reader_s reader;
    if (!fc_journal_open(path, &reader, error)) return false;
    std::map<std::string, sums_s> sums;
    fc_journal_line_s line;
    doc_json entry;
    while (fc_journal_next(&reader, &line)) {
        if (fc_journal_parse(line, &entry) != nullptr) {
            ++table->skipped_lines;
            continue;
        }
        const fc_history_record_s record = entry.get<fc_history_record_s>();
        if (record.card.empty()) continue;
        sums_s &s = sums[record.card];
        const auto comps = entry.find("components");
        const bool measured = comps != entry.end() && comps->is_array()
                                  ? add_release_line(*comps, s)
                                  : add_phases(record.phases, record.image_size, s);
        if (measured) ++s.transactions;
    }
    if (reader.error != 0) {
        *error = fc_journal_read_error(path, reader.error);
        return false;
    }
    for (const auto &[card, s] : sums) {
        if (s.transactions == 0) continue;
        fc_timing_s t;
        double *rates[KIND_COUNT] = {&t.erase_s_per_mib, &t.write_s_per_mib, &t.checksum_s_per_mib};
        for (int k = 0; k < KIND_COUNT; ++k)
            if (s.mib[k] > 0) *rates[k] = s.seconds[k] / s.mib[k];
        t.transactions = s.transactions;
        table->cards[card] = t;
    }
    return true;
}

double fc_timing_component_seconds(const fc_timing_s &t, uint64_t partition_bytes, uint64_t image_bytes,
                                   bool written) {
    const double image_mib = static_cast<double>(image_bytes) / k_mib;
    // The look whether the card holds it, then the verification: of the
    // written image, or the card's record of the image it holds.
    double seconds = 2 * t.checksum_s_per_mib * image_mib;
    if (written)
        seconds += t.erase_s_per_mib * static_cast<double>(partition_bytes) / k_mib + t.write_s_per_mib * image_mib;
    return seconds;
}

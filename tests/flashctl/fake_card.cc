// SPDX-License-Identifier: Apache-2.0
#include "fake_card.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace fake {

card_s g_card;
std::map<std::string, card_s> g_cards;
std::vector<double> g_sleeps;

card_s &card_at(const char *bdf) {
    const auto it = g_cards.find(bdf);
    return it != g_cards.end() ? it->second : g_card;
}

namespace {

std::mutex g_sleeps_m;

int fault(card_s &card, const std::string &request) {
    return card.fault ? card.fault(request) : RFC_OK;
}

// A request that changes the card, as the card saw it: outside the lock it
// is named so, and no expected list has it.
void record_change(card_s &card, const std::string &call) {
    const bool locked = card.lock_fd >= 0 && fcntl(card.lock_fd, F_GETFD) != -1;
    card.calls.push_back(std::string(locked ? "" : "unlocked ") + call);
}

double record_sleep(double s) {
    std::lock_guard<std::mutex> lk(g_sleeps_m);
    g_sleeps.push_back(s);
    return 0;
}
double frozen_clock() {
    return 1000.0;
}

void hex_to_digest(const std::string &hex, uint8_t (&digest)[RFC_SHA512_LEN]) {
    for (size_t i = 0; i < RFC_SHA512_LEN; ++i)
        digest[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
}

const std::string &checksum_of(const card_s &card, uint32_t id) {
    const auto it = card.held.find(id);
    return it != card.held.end() ? it->second : card.checksum_hex;
}

}  // namespace

std::string partition_name(uint32_t id) {
    for (const rfc_partition_s &p : g_card.partitions)
        if (p.id == id) return p.name;
    return std::to_string(id);
}

const fc_card_ops_s k_ops = {
    .address_valid = [](const char *bdf) { return std::string(bdf).size() == 12; },
    .select_card = [](const char *) {},
    .take_lock =
        [](const char *bdf, card_lock_mode_e mode, double wait_s) {
            card_s &card = card_at(bdf);
            ++card.asked;
            card.lock_takes.emplace_back(mode, wait_s);
            card_lock_s guard;
            guard.result = card.lock;
            if (guard.result == CARD_LOCK_HELD) {
                // A descriptor stands for the card's node: the guard closes it.
                int ends[2];
                if (pipe(ends) == 0) {
                    close(ends[1]);
                    guard.fds.push_back(card.lock_fd = ends[0]);
                }
                return guard;
            }
            if (guard.result == CARD_LOCK_STOPPED) fc_session_s::signal = SIGTERM;
            guard.holder = 4242;
            guard.reason = "no lock directory";
            return guard;
        },
    .serial_number = [](const char *) { return std::string("SN1"); },
    .read_image =
        [](fwupdate_image_type_e which, const char *bdf, firmware_image_type_e *image) {
            card_s &card = card_at(bdf);
            ++card.asked;
            *image = which == FWUPDATE_IMAGE_RUNNING ? card.running : card.startup;
            return RFC_OK;
        },
    .read_identity =
        [](const char *bdf, rfc_card_identity_s *identity) {
            card_s &card = card_at(bdf);
            ++card.asked;
            *identity = card.identity;
            return fault(card, "identity");
        },
    .read_partitions =
        [](const char *bdf, std::vector<rfc_partition_s> *table) {
            card_s &card = card_at(bdf);
            ++card.asked;
            *table = card.partitions;
            return RFC_OK;
        },
    .read_secure =
        [](secure_image_type_e, const char *bdf, rfc_secure_info_s *) {
            card_s &card = card_at(bdf);
            ++card.asked;
            return RFC_OK;
        },
    .read_checksum =
        [](flash_partition_e p, uint64_t, const char *bdf, const bool &, uint8_t (&digest)[RFC_SHA512_LEN]) {
            card_s &card = card_at(bdf);
            ++card.asked;
            if (card.during_checksum) std::exchange(card.during_checksum, nullptr)();
            hex_to_digest(checksum_of(card, p), digest);
            return fault(card, "checksum " + partition_name(p));
        },
    .read_startup_image =
        [](flash_partition_e p, const char *bdf, const bool *, rfc_startup_image_s *image) {
            card_s &card = card_at(bdf);
            ++card.asked;
            const auto it = card.recorded.find(p);
            hex_to_digest(it != card.recorded.end() ? it->second : checksum_of(card, p), image->digest);
            image->text = "hash: " + (card.startup_verifies ? rfc_digest_hex(image->digest) : "0000") + "\n";
            return RFC_OK;
        },
    .erase =
        [](flash_partition_e p, uint64_t, const char *bdf, const bool &timeout) {
            card_s &card = card_at(bdf);
            ++card.asked;
            record_change(card, "erase " + partition_name(p));
            if (const int r = fault(card, "erase " + partition_name(p)); r != RFC_OK) return r;
            for (unsigned i = 0; i < card.erase_polls; ++i) {
                if (timeout) return RFC_ETIMEOUT;
                fc_poll_wait(10, i + 1);
            }
            return timeout ? RFC_ETIMEOUT : card.erase_result;
        },
    .write =
        [](flash_partition_e p, int fd, uint64_t size, const char *bdf, const bool &) {
            card_s &card = card_at(bdf);
            ++card.asked;
            record_change(card, "write " + partition_name(p));
            if (card.during_write) card.during_write();
            int r = fault(card, "write " + partition_name(p));
            if (r == RFC_OK) r = card.write_result;
            std::string error;
            if (r == RFC_OK) fc_sha512_fd(fd, size, &card.held[p], &error);
            return r;
        },
    .verify_signature =
        [](flash_partition_e p, const char *bdf) {
            card_s &card = card_at(bdf);
            ++card.asked;
            record_change(card, "verify_signature " + partition_name(p));
            return fault(card, "verify_signature " + partition_name(p));
        },
    .set_startup =
        [](firmware_image_type_e image, const char *bdf) {
            card_s &card = card_at(bdf);
            ++card.asked;
            record_change(card, std::string("set_startup ") + fc_image_name(image));
            if (const int r = fault(card, std::string("set_startup ") + fc_image_name(image)); r != RFC_OK) return r;
            if (card.startup_sticks) card.startup = image;
            return RFC_OK;
        },
    .keys_present = [] { return g_card.keys; },
    .list_cards = [] { return Strings{}; },
};

void reset() {
    g_card = card_s{};
    g_cards.clear();
    g_sleeps.clear();
    fc_session_reset();
    fc_session_s::sleeper = record_sleep;
    fc_session_s::clock = frozen_clock;
}

int run_main(Strings args, std::string *out) {
    args.insert(args.begin(), "flashctl");
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    char *buf = nullptr;
    size_t len = 0;
    FILE *mem = open_memstream(&buf, &len);
    FILE *err = fopen("/dev/null", "w");
    const int status = fc_main(k_ops, static_cast<int>(argv.size()), argv.data(), mem, err);
    fclose(mem);
    fclose(err);
    *out = std::string(buf, len);
    free(buf);
    return status;
}

}  // namespace fake

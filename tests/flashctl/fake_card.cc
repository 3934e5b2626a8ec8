#include "fake_card.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace fake {

card_s g_card;
std::vector<double> g_sleeps;

namespace {

int fault(const std::string &request) {
    return g_card.fault ? g_card.fault(request) : RFC_OK;
}

// A request that changes the card, as the card saw it: outside the lock it
// is named so, and no expected list has it.
void record_change(const std::string &call) {
    const bool locked = g_card.lock_fd >= 0 && fcntl(g_card.lock_fd, F_GETFD) != -1;
    g_card.calls.push_back(std::string(locked ? "" : "unlocked ") + call);
}

double record_sleep(double s) {
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

const std::string &checksum_of(uint32_t id) {
    const auto it = g_card.held.find(id);
    return it != g_card.held.end() ? it->second : g_card.checksum_hex;
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
        [](const char *, card_lock_mode_e mode, double wait_s) {
            ++g_card.asked;
            g_card.lock_takes.emplace_back(mode, wait_s);
            card_lock_s guard;
            guard.result = g_card.lock;
            if (guard.result == CARD_LOCK_HELD) {
                // A descriptor stands for the card's node: the guard closes it.
                int ends[2];
                if (pipe(ends) == 0) {
                    close(ends[1]);
                    guard.fds.push_back(g_card.lock_fd = ends[0]);
                }
                return guard;
            }
            if (guard.result == CARD_LOCK_STOPPED) g_fc_session.signal = SIGTERM;
            guard.holder = 4242;
            guard.reason = "no lock directory";
            return guard;
        },
    .serial_number = [](const char *) { return std::string("SN1"); },
    .read_image =
        [](fwupdate_image_type_e which, const char *, firmware_image_type_e *image) {
            ++g_card.asked;
            *image = which == FWUPDATE_IMAGE_RUNNING ? g_card.running : g_card.startup;
            return RFC_OK;
        },
    .read_identity =
        [](const char *, rfc_card_identity_s *identity) {
            ++g_card.asked;
            *identity = g_card.identity;
            return fault("identity");
        },
    .read_partitions =
        [](const char *, std::vector<rfc_partition_s> *table) {
            ++g_card.asked;
            *table = g_card.partitions;
            return RFC_OK;
        },
    .read_secure =
        [](secure_image_type_e, const char *, rfc_secure_info_s *) {
            ++g_card.asked;
            return RFC_OK;
        },
    .read_checksum =
        [](flash_partition_e p, uint64_t, const char *, const bool &, uint8_t (&digest)[RFC_SHA512_LEN]) {
            ++g_card.asked;
            if (g_card.during_checksum) std::exchange(g_card.during_checksum, nullptr)();
            hex_to_digest(checksum_of(p), digest);
            return fault("checksum " + partition_name(p));
        },
    .read_startup_image =
        [](flash_partition_e p, const char *, const bool *, rfc_startup_image_s *image) {
            ++g_card.asked;
            const auto it = g_card.recorded.find(p);
            hex_to_digest(it != g_card.recorded.end() ? it->second : checksum_of(p), image->digest);
            image->text = "hash: " + (g_card.startup_verifies ? rfc_digest_hex(image->digest) : "0000") + "\n";
            return RFC_OK;
        },
    .erase =
        [](flash_partition_e p, uint64_t, const char *, const bool &timeout) {
            ++g_card.asked;
            record_change("erase " + partition_name(p));
            if (const int r = fault("erase " + partition_name(p)); r != RFC_OK) return r;
            for (unsigned i = 0; i < g_card.erase_polls; ++i) {
                if (timeout) return RFC_ETIMEOUT;
                fc_poll_wait(10, i + 1);
            }
            return timeout ? RFC_ETIMEOUT : g_card.erase_result;
        },
    .write =
        [](flash_partition_e p, int fd, uint64_t size, const char *, const bool &) {
            ++g_card.asked;
            record_change("write " + partition_name(p));
            if (g_card.during_write) g_card.during_write();
            int r = fault("write " + partition_name(p));
            if (r == RFC_OK) r = g_card.write_result;
            std::string error;
            if (r == RFC_OK) fc_sha512_fd(fd, size, &g_card.held[p], &error);
            return r;
        },
    .verify_signature =
        [](flash_partition_e p, const char *) {
            ++g_card.asked;
            record_change("verify_signature " + partition_name(p));
            return fault("verify_signature " + partition_name(p));
        },
    .set_startup =
        [](firmware_image_type_e image, const char *) {
            ++g_card.asked;
            record_change(std::string("set_startup ") + fc_image_name(image));
            if (const int r = fault(std::string("set_startup ") + fc_image_name(image)); r != RFC_OK) return r;
            if (g_card.startup_sticks) g_card.startup = image;
            return RFC_OK;
        },
    .keys_present = [] { return g_card.keys; },
    .list_cards = [] { return Strings{}; },
};

void reset() {
    g_card = card_s{};
    g_sleeps.clear();
    g_fc_session = fc_session_s{};
    g_fc_session.sleeper = record_sleep;
    g_fc_session.clock = frozen_clock;
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

// SPDX-License-Identifier: Apache-2.0
// The program's card operations: the remote flash client's typed reads and
// operations, the card lock shared with flash-update, and sysfs.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "card_address.h"
#include "card_lock.h"
#include "flashctl.h"
#include "nic_ipc_discovery.h"
#include "fu_vocabulary.h"

namespace {

// The card's PCI maker and its bridge: a card's address is its bridge's.

constexpr const char *k_pci_devices = "/sys/bus/pci/devices";

// The client's error messages ("[timestamp] erase operation failed"): the
// last one, without its timestamp, goes to the session the hook was given
// with the card (that of the card's thread), for the report of a failed step.
int client_trace(void *ctxt, int level, const char *fmt, ...) {
    if (level > TRACE_LEVEL_ERROR) return 0;
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n < 0) return 0;
    std::string message = text;
    if (!message.empty() && message[0] == '[') {
        const size_t end = message.find("] ");
        if (end != std::string::npos) message.erase(0, end + 2);
    }
    while (!message.empty() && isspace(static_cast<unsigned char>(message.back())))
        message.pop_back();
    fc_session_s *session = static_cast<fc_session_s *>(ctxt);
    if (session != nullptr) snprintf(session->client_error, sizeof session->client_error, "%s", message.c_str());
    return 0;
}

void select_card(const char *bdf) {
    (void)rfc_cleanup();
    rfc_init_params_s params{};
    snprintf(params.bdf, sizeof params.bdf, "%s", bdf);
    snprintf(params.scratch_dir, sizeof params.scratch_dir, "%s", FU_SCRATCH_DIR);
    params.trace_level = TRACE_LEVEL_ERROR;
    params.trace_cb = client_trace;
    params.trace_cb_ctxt = &g_fc_session;
    (void)rfc_init(&params);
}

card_lock_s take_lock(const char *bdf, card_lock_mode_e mode, double wait_s) {
    return card_lock_acquire_wait(bdf, mode, wait_s, &fc_session_s::signal);
}

std::string serial_number(const char *bdf) {
    nic_ipc_card_info_s info{};
    if (nic_ipc_get_card_info(bdf, &info) != 0) return "";
    return std::string(info.serial_num, strnlen(info.serial_num, sizeof info.serial_num));
}

bool keys_present() {
    for (const char *key : {"prod", "eng"}) {
        const std::string path = std::string(FC_KEY_DIR) + "/" + key + "_key-pub.pem";
        if (access(path.c_str(), R_OK) == 0) return true;
    }
    return false;
}

std::string first_line(const std::string &path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    std::transform(line.begin(), line.end(), line.begin(), [](unsigned char c) { return std::tolower(c); });
    return line;
}

// A PCI id as sysfs writes it ("0x1e5a").
std::string hex_id(uint32_t id) {
    char text[16];
    snprintf(text, sizeof text, "0x%04x", id);
    return text;
}

std::vector<std::string> list_cards() {
    std::vector<std::string> cards;
    DIR *dir = opendir(k_pci_devices);
    if (dir == nullptr) return cards;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const std::string base = std::string(k_pci_devices) + "/" + entry->d_name;
        if (first_line(base + "/vendor") == hex_id(CRD_PCI_VENDOR_ID) &&
            first_line(base + "/device") == hex_id(CRD_DEVID_ASIC))
            cards.emplace_back(entry->d_name);
    }
    closedir(dir);
    std::sort(cards.begin(), cards.end());
    return cards;
}

int read_partitions(const char *bdf, std::vector<rfc_partition_s> *table) {
    return rfc_read_partition_table(bdf, table);
}

int read_startup_image(flash_partition_e partition, const char *bdf, const bool *timeout, rfc_startup_image_s *image) {
    return rfc_read_startup_image(partition, bdf, timeout, image);
}

const fc_card_ops_s k_real_ops = {
    .address_valid = card_address_valid,
    .select_card = select_card,
    .take_lock = take_lock,
    .serial_number = serial_number,
    .read_image = rfc_read_firmware_image,
    .read_identity = rfc_read_card_identity,
    .read_partitions = read_partitions,
    .read_secure = rfc_read_secure_info,
    .read_checksum = rfc_read_checksum,
    .read_startup_image = read_startup_image,
    .erase = rfc_flash_erase,
    .write = rfc_flash_write_fd,
    .verify_signature = rfc_image_signature_verify,
    .set_startup = rfc_set_startup_image,
    .keys_present = keys_present,
    .list_cards = list_cards,
};

}  // namespace

const fc_card_ops_s &fc_real_ops() {
    return k_real_ops;
}

// SPDX-License-Identifier: Apache-2.0
// Every client operation, the real code, against a card whose answers are
// the fuzzer's: each request is answered with the next frame (fuzz_card.h),
// on the misc channel or on the fwctl device.
//
// Input: u8 operation (k_ops), u8 flags (bit 0 fwctl, bit 1 timeout flag set
// from the start, bit 2 set at the first poll wait, bit 3 card information
// into a record instead of a file), u8 argument (partition, image type,
// option or component), u8 variant (image file, hash, opcode), u32 size,
// then the frames.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz_card.h"
#include "rfc.h"
#include "rfc_seams.h"

namespace {

const char *const k_bdf = "0000:03:00.0";

// Image files the install and checksum operations read: empty, one CPLD
// row, one whole chunk, a chunk and a byte, three chunks; the last is missing.
const size_t k_image_sizes[] = {0, 16, 960, 961, 2880};
std::vector<std::string> g_images;

// Hashes for the checksum comparison: a digest of zero bytes, one of 0xAB
// bytes in lower case (the card's text is upper case), a short one.
std::vector<std::string> g_hashes;

bool g_timeout = false;
bool g_timeout_at_sleep = false;

unsigned no_wait(unsigned) {
    if (g_timeout_at_sleep) {
        g_timeout = true;
    }
    return 0;
}

const char *image(uint8_t variant) {
    return g_images[variant % g_images.size()].c_str();
}

int run(fuzz_op_e op, uint8_t arg, uint8_t variant, uint64_t size, bool card_info_record) {
    const auto partition = static_cast<flash_partition_e>(arg);
    switch (op) {
        case OP_ERASE:
            return rfc_flash_erase(partition, size, k_bdf, g_timeout);
        case OP_SECTOR_ERASE:
            return rfc_flash_sector_erase(partition, size, k_bdf);
        case OP_WRITE:
            return rfc_flash_write(partition, image(variant), k_bdf, g_timeout);
        case OP_WRITE_VERIFY_PASS:
            return rfc_flash_write_helper(partition, image(variant), 1, k_bdf, &g_timeout);
        case OP_VERIFY_CHECKSUM:
            return rfc_verify_checksum(partition, image(variant), g_hashes[(variant >> 4) % g_hashes.size()].c_str(),
                                       k_bdf, g_timeout);
        case OP_VALIDATE_STARTUP:
            return rfc_validate_startup_image(partition, k_bdf);
        case OP_FIRMWARE_TYPE:
            return rfc_firmware_type(static_cast<fwupdate_image_type_e>(arg % 4), k_bdf);
        case OP_SET_STARTUP:
            return rfc_set_startup_image(static_cast<firmware_image_type_e>(arg % 5), k_bdf);
        case OP_PARTITION_METADATA:
            return rfc_partition_metadata(partition, k_bdf);
        case OP_PARTITION_INFO: {
            bool found = false;
            return rfc_partition_info(k_bdf, partition, found);
        }
        case OP_CARD_INFO: {
            if (!card_info_record) {
                return rfc_card_info_get(k_bdf, "card_info", nullptr);
            }
            rfc_card_info_s info{};
            return rfc_card_info_get(k_bdf, nullptr, &info);
        }
        case OP_SECURE_BOOT_UPDATE:
            return rfc_secure_boot_update(static_cast<secure_boot_option_e>(arg % 6), k_bdf);
        case OP_SECURE_IMAGE_UPDATE:
            return rfc_secure_image_info_update(static_cast<secure_image_type_e>(arg % 6),
                                                static_cast<secure_image_update_opcode_e>(variant % 5), k_bdf);
        case OP_SECURE_IMAGE_INFO: {
            const auto type = static_cast<secure_image_type_e>(arg % 6);
            const std::string name = std::string("secure_info_") + rfc_secure_type_label(type);
            return rfc_secure_image_info(name.c_str(), type, k_bdf);
        }
        case OP_SIGNED_METADATA:
            return rfc_partition_signed_metadata(partition, k_bdf);
        case OP_SIGNATURE_VERIFY:
            return rfc_image_signature_verify(partition, k_bdf);
        case OP_COUNT:
            break;
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_quiet_stdout();
    fuzz_install_public_keys();
    const std::string &root = fuzz_temp_dir();
    const std::string scratch = root + "/scratch";
    std::filesystem::create_directories(scratch + "/" + k_bdf);
    for (size_t i = 0; i < sizeof(k_image_sizes) / sizeof(k_image_sizes[0]); ++i) {
        const std::string path = root + "/image" + std::to_string(i) + ".bin";
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        for (size_t j = 0; j < k_image_sizes[i]; ++j)
            out.put(static_cast<char>(j * 7));
        g_images.push_back(path);
    }
    g_images.push_back(root + "/missing.bin");
    g_hashes.push_back(std::string(128, '0'));
    std::string lower;
    for (int i = 0; i < 64; ++i)
        lower += "ab";
    g_hashes.push_back(lower);
    g_hashes.push_back("00");

    rfc_init_params_s params{};
    snprintf(params.bdf, sizeof(params.bdf), "%s", k_bdf);
    snprintf(params.scratch_dir, sizeof(params.scratch_dir), "%s", scratch.c_str());
    params.trace_level = TRACE_LEVEL_VERBOSE;
    params.trace_cb = fuzz_trace_cb;
    unsetenv("RFC_TEST_ENV");
    if (rfc_init(&params) != 0) {
        abort();
    }
    rfc_set_sleep(no_wait);
    fuzz_fwctl_fd();
    g_fuzz_rpc = fuzz_rpc_from_frames;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_input_s in{data, size, 0};
    const auto op = static_cast<fuzz_op_e>(in.u8() % OP_COUNT);
    const uint8_t flags = in.u8();
    const uint8_t arg = in.u8();
    const uint8_t variant = in.u8();
    const uint64_t op_size = in.u32();
    const bool fwctl = flags & 1;
    g_timeout = (flags & 2) != 0;
    g_timeout_at_sleep = (flags & 4) != 0;

    fuzz_misc_card_s card;
    nic_ipc_handle_s handle{};
    if (fwctl) {
        handle.transport = NIC_IPC_TRANSPORT_FWCTL;
        handle.cmd_dev = {fuzz_fwctl_fd(), 0};
        g_fuzz_rpc_frames = &in;
    } else {
        if (!fuzz_misc_card_start(card, in)) {
            abort();
        }
        handle.transport = NIC_IPC_TRANSPORT_VELA;
        handle.cmd_dev = {card.client_fd, 0};
    }
    rfc_attach_transport(handle);

    run(op, arg, variant, op_size, (flags & 8) != 0);

    if (fwctl) {
        g_fuzz_rpc_frames = nullptr;
    } else {
        fuzz_misc_card_stop(card);
    }
    rfc_detach_transport();
    return 0;
}

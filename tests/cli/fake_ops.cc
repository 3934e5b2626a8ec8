// Operations of a test build of flash-update: each prints the arguments it
// was handed, one line on standard output, and returns the result named by
// FAKE_OP_RESULT (0 when unset). With FAKE_OP_SIGNALS set, a second line lists
// the signals ignored while the operation runs. Only this test program reads
// these variables.
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "rfc.h"

namespace {

int fake_result() {
    if (getenv("FAKE_OP_SIGNALS") != nullptr) {
        printf("ignored");
        for (int sig = 1; sig < 32; ++sig) {
            struct sigaction action {};
            if (sigaction(sig, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
                printf(" %d", sig);
            }
        }
        printf("\n");
    }
    const char *text = getenv("FAKE_OP_RESULT");
    return text != nullptr ? atoi(text) : 0;
}

unsigned u(uint32_t value) {
    return static_cast<unsigned>(value);
}

}  // namespace

int rfc_firmware_type(fwupdate_image_type_e type, const char *bdf) {
    printf("rfc_firmware_type type=%u bdf=%s\n", u(type), bdf);
    return fake_result();
}

int rfc_flash_erase(flash_partition_e partition, uint64_t size, const char *bdf, const bool &timeout) {
    printf("rfc_flash_erase partition=%u size=%llu bdf=%s timeout=%d\n", u(partition),
           static_cast<unsigned long long>(size), bdf, timeout ? 1 : 0);
    return fake_result();
}

int rfc_flash_sector_erase(flash_partition_e partition, uint64_t size, const char *bdf) {
    printf("rfc_flash_sector_erase partition=%u size=%llu bdf=%s\n", u(partition),
           static_cast<unsigned long long>(size), bdf);
    return fake_result();
}

int rfc_flash_write(flash_partition_e partition, const char *image_path, const char *bdf, const bool &timeout) {
    printf("rfc_flash_write partition=%u image=%s bdf=%s timeout=%d\n", u(partition), image_path, bdf, timeout ? 1 : 0);
    return fake_result();
}

int rfc_set_startup_image(firmware_image_type_e image, const char *bdf) {
    printf("rfc_set_startup_image image=%u bdf=%s\n", u(image), bdf);
    return fake_result();
}

int rfc_verify_checksum(flash_partition_e partition, const char *image_path, const char *hash, const char *bdf,
                        const bool &timeout) {
    printf("rfc_verify_checksum partition=%u image=%s hash=%s bdf=%s timeout=%d\n", u(partition), image_path, hash, bdf,
           timeout ? 1 : 0);
    return fake_result();
}

int rfc_partition_metadata(flash_partition_e partition, const char *bdf) {
    printf("rfc_partition_metadata partition=%u bdf=%s\n", u(partition), bdf);
    return fake_result();
}

int rfc_validate_startup_image(flash_partition_e partition, const char *bdf) {
    printf("rfc_validate_startup_image partition=%u bdf=%s\n", u(partition), bdf);
    return fake_result();
}

int rfc_card_info_get(const char *bdf, const char *file_name, rfc_card_info_s *info) {
    printf("rfc_card_info_get bdf=%s file=%s info=%s\n", bdf, file_name, info == nullptr ? "null" : "set");
    return fake_result();
}

int rfc_partition_info(const char *bdf, flash_partition_e partition, bool &found) {
    printf("rfc_partition_info bdf=%s partition=%u found=%d\n", bdf, u(partition), found ? 1 : 0);
    return fake_result();
}

int rfc_secure_boot_update(secure_boot_option_e option, const char *bdf) {
    printf("rfc_secure_boot_update option=%u bdf=%s\n", u(option), bdf);
    return fake_result();
}

int rfc_secure_image_info(const char *name, secure_image_type_e type, const char *bdf) {
    printf("rfc_secure_image_info file=%s type=%u bdf=%s\n", name, u(type), bdf);
    return fake_result();
}

int rfc_secure_image_info_update(secure_image_type_e type, secure_image_update_opcode_e opcode, const char *bdf) {
    printf("rfc_secure_image_info_update type=%u opcode=%u bdf=%s\n", u(type), u(opcode), bdf);
    return fake_result();
}

int rfc_partition_signed_metadata(flash_partition_e partition, const char *bdf) {
    printf("rfc_partition_signed_metadata partition=%u bdf=%s\n", u(partition), bdf);
    return fake_result();
}

int rfc_image_signature_verify(flash_partition_e partition, const char *bdf) {
    printf("rfc_image_signature_verify partition=%u bdf=%s\n", u(partition), bdf);
    return fake_result();
}

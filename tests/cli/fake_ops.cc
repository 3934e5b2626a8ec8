// SPDX-License-Identifier: Apache-2.0
#include "fake_ops.h"

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

cli_fake_state_s g_cli_fake;

namespace {

// A text handed to an operation must be a whole string; under ASan a read
// past its end is reported.
const char *checked(const char *text) {
    if (text == nullptr) {
        fprintf(stderr, "fake operation handed a null text\n");
        abort();
    }
    volatile size_t n = strlen(text);
    (void)n;
    return text;
}

unsigned u(uint32_t value) {
    return static_cast<unsigned>(value);
}

__attribute__((format(printf, 1, 2))) int called(const char *fmt, ...) {
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    ++g_cli_fake.calls;
    g_cli_fake.last_call = line;
    if (g_cli_fake.print) {
        printf("%s\n", line);
        if (g_cli_fake.print_signals) {
            printf("ignored");
            for (int sig = 1; sig < 32; ++sig) {
                struct sigaction action {};
                if (sigaction(sig, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
                    printf(" %d", sig);
                }
            }
            printf("\n");
        }
    }
    return g_cli_fake.result;
}

// The lines are still formatted with their arguments.
int fake_trace(void *, trace_level_e, const char *fmt, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);
    return n;
}

const char *flag(bool value) {
    return value ? "1" : "0";
}

}  // namespace

cli_ops_s cli_fake_ops() {
    cli_ops_s ops{};
    ops.at_exit = [](void (*handler)()) {
        g_cli_fake.exit_handler = handler;
        return 0;
    };
    ops.set_signal = [](int, sighandler_t) { return SIG_DFL; };
    ops.trace_start = [](const char *bdf) {
        checked(bdf);
        return 0;
    };
    ops.trace_enabled = [](trace_level_e) { return true; };
    ops.trace = fake_trace;
    ops.trace_flush = [] {};
    ops.client_init = [](const char *bdf) {
        checked(bdf);
        return 0;
    };
    ops.image_usable = [](const char *path) { return checked(path)[0] != '\0'; };
    ops.card_lock_hold = [](const char *bdf) {
        ++g_cli_fake.locks;
        if (g_cli_fake.print_lock) {
            printf("card_lock_hold bdf=%s\n", checked(bdf));
        }
        return !g_cli_fake.lock_busy;
    };
    ops.firmware_type = [](fwupdate_image_type_e type, const char *bdf) {
        g_cli_fake.firmware_type_called = true;
        return called("rfc_firmware_type type=%u bdf=%s", u(type), checked(bdf));
    };
    ops.flash_erase = [](flash_partition_e partition, uint64_t size, const char *bdf, const bool &timeout) {
        return called("rfc_flash_erase partition=%u size=%llu bdf=%s timeout=%s", u(partition),
                      static_cast<unsigned long long>(size), checked(bdf), flag(timeout));
    };
    ops.flash_write = [](flash_partition_e partition, const char *image, const char *bdf, const bool &timeout) {
        return called("rfc_flash_write partition=%u image=%s bdf=%s timeout=%s", u(partition), checked(image),
                      checked(bdf), flag(timeout));
    };
    ops.set_startup_image = [](firmware_image_type_e image, const char *bdf) {
        return called("rfc_set_startup_image image=%u bdf=%s", u(image), checked(bdf));
    };
    ops.verify_checksum = [](flash_partition_e partition, const char *image, const char *hash, const char *bdf,
                             const bool &timeout) {
        return called("rfc_verify_checksum partition=%u image=%s hash=%s bdf=%s timeout=%s", u(partition),
                      checked(image), checked(hash), checked(bdf), flag(timeout));
    };
    ops.partition_metadata = [](flash_partition_e partition, const char *bdf) {
        return called("rfc_partition_metadata partition=%u bdf=%s", u(partition), checked(bdf));
    };
    ops.validate_startup_image = [](flash_partition_e partition, const char *bdf) {
        return called("rfc_validate_startup_image partition=%u bdf=%s", u(partition), checked(bdf));
    };
    ops.card_info_get = [](const char *bdf, const char *file_name, rfc_card_info_s *info) {
        return called("rfc_card_info_get bdf=%s file=%s info=%s", checked(bdf), checked(file_name),
                      info == nullptr ? "null" : "set");
    };
    ops.partition_info = [](const char *bdf, flash_partition_e partition, bool &found) {
        return called("rfc_partition_info bdf=%s partition=%u found=%s", checked(bdf), u(partition), flag(found));
    };
    ops.flash_sector_erase = [](flash_partition_e partition, uint64_t size, const char *bdf) {
        return called("rfc_flash_sector_erase partition=%u size=%llu bdf=%s", u(partition),
                      static_cast<unsigned long long>(size), checked(bdf));
    };
    ops.secure_boot_update = [](secure_boot_option_e option, const char *bdf) {
        return called("rfc_secure_boot_update option=%u bdf=%s", u(option), checked(bdf));
    };
    ops.secure_image_info = [](const char *name, secure_image_type_e type, const char *bdf) {
        return called("rfc_secure_image_info file=%s type=%u bdf=%s", checked(name), u(type), checked(bdf));
    };
    ops.secure_image_info_update = [](secure_image_type_e type, secure_image_update_opcode_e opcode, const char *bdf) {
        return called("rfc_secure_image_info_update type=%u opcode=%u bdf=%s", u(type), u(opcode), checked(bdf));
    };
    ops.partition_signed_metadata = [](flash_partition_e partition, const char *bdf) {
        return called("rfc_partition_signed_metadata partition=%u bdf=%s", u(partition), checked(bdf));
    };
    ops.image_signature_verify = [](flash_partition_e partition, const char *bdf) {
        return called("rfc_image_signature_verify partition=%u bdf=%s", u(partition), checked(bdf));
    };
    return ops;
}

// flash-update: one operation on a card's flash per run.
//
//   flash-update --<command> [argument...] <bdf>
//
// The card's PCIe address is always the last argument. One long option names
// the command; its further arguments are read straight from the argument
// vector after it. The selected client operation's result becomes the exit
// status.
#include <getopt.h>
#include <regex.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "card_lock.h"
#include "rfc.h"
#include "terminal_progress.h"
#include "trace.h"

namespace {

// Stands for "no card address given"; the client then asks the environment.
constexpr const char *k_no_bdf = "00.0.0";
constexpr const char *k_bdf_pattern = "^[0-9a-fA-F]{4}:[0-9a-fA-F]{2}:[0-9a-fA-F]{2}\\.[0-7]$";
constexpr const char *k_scratch_dir = "/tmp/korvex/";
constexpr size_t k_secure_info_file_len = 128;

// Signals the tool ignores so that an interrupted terminal or a parent going
// away cannot cut a flash operation short; children are reaped by the system.
constexpr int k_ignored_signals[] = {SIGHUP, SIGQUIT, SIGINT, SIGUSR1, SIGCHLD, SIGURG, SIGUSR2, SIGTERM, SIGPIPE};

// Values getopt_long returns for the commands.
enum command_e : int {
    CMD_GET_FIRMWARE_IMAGE = 'f',
    CMD_ERASE = 'e',
    CMD_INSTALL = 'i',
    CMD_SET_BOOT_OPTIONS = 'b',
    CMD_VERIFY_CHECKSUM = 'c',
    CMD_LIST_FIRMWARE = 'l',
    CMD_VERIFY_STARTUP_IMAGE = 's',
    CMD_GET_CARD_INFO = 'C',
    CMD_GET_PARTITION_INFO = 'p',
    CMD_ERASE_SECTOR = 'E',
    CMD_SECURE_BOOT = 'B',
    CMD_SECURE_INFO = 'S',
    CMD_SECURE_IMAGE_UPDATE = 'u',
    CMD_GET_SIGNED_DATA = 'd',
    CMD_VERIFY_IMAGE_SIGNATURE = 'v',
};

const option k_long_options[] = {
    {"get-firmware-image", required_argument, nullptr, CMD_GET_FIRMWARE_IMAGE},
    {"erase", required_argument, nullptr, CMD_ERASE},
    {"install", required_argument, nullptr, CMD_INSTALL},
    {"set-boot-options", required_argument, nullptr, CMD_SET_BOOT_OPTIONS},
    {"verify-checksum", required_argument, nullptr, CMD_VERIFY_CHECKSUM},
    {"list-firmware", required_argument, nullptr, CMD_LIST_FIRMWARE},
    {"verify-startup-image", required_argument, nullptr, CMD_VERIFY_STARTUP_IMAGE},
    {"get-card-info", no_argument, nullptr, CMD_GET_CARD_INFO},
    {"get-partition-info", no_argument, nullptr, CMD_GET_PARTITION_INFO},
    {"erase-sector", required_argument, nullptr, CMD_ERASE_SECTOR},
    {"secure-boot", required_argument, nullptr, CMD_SECURE_BOOT},
    {"secure-info", required_argument, nullptr, CMD_SECURE_INFO},
    {"secure-image-update", required_argument, nullptr, CMD_SECURE_IMAGE_UPDATE},
    {"get-signed-data", required_argument, nullptr, CMD_GET_SIGNED_DATA},
    {"verify-image-signature", required_argument, nullptr, CMD_VERIFY_IMAGE_SIGNATURE},
    {nullptr, 0, nullptr, 0},
};

// A usage line: a command synopsis or a firmware name, and what it does.
struct usage_entry_s {
    const char *term;
    const char *description;
};

constexpr usage_entry_s k_usage_commands[] = {
    {"--get-firmware-image <running|startup|n1-startup>", "Get details about running or startup firmware"},
    {"--erase <firmware name> <size>", "Erase firmware partition"},
    {"--install <firmware name> <image>", "Install firmware image"},
    {"--set-boot-options <firmware name>", "Set firmware image to startup"},
    {"--verify-checksum <firmware name> <image> <hash>", "Verify image checksum with provided hash"},
    {"--list-firmware <firmware name>", "List information about the specified firmware"},
    {"--get-card-info", "Get card information"},
    {"--get-partition-info", "Get firmware partition information"},
    {"--erase-sector <firmware name> <size>", "Erase firmware partition sector"},
    {"--secure-boot <enable|disable>", "Enable or disable secure boot"},
    {"--secure-info <bastion|bl1|bl31|lcs>", "Get details about a secure boot component"},
    {"--secure-image-update bastion <boot-alt-partition|set-ar-counter>",
     "Update bastion boot alternate partition or AR counter"},
    {"--secure-image-update bl1 <boot-alt-partition|set-ar-counter>",
     "Update BL1 boot alternate partition or AR counter"},
    {"--secure-image-update lcs set-production", "Set secure boot life cycle state to production mode"},
    {"--get-signed-data <secure firmware name>", "Get firmware signature information"},
    {"--verify-image-signature <secure firmware name>", "Verify secure firmware image"},
};
constexpr int k_usage_synopsis_width = 56;

// The list users choose from; which of these the parser knows is the
// catalogue's business.
constexpr usage_entry_s k_usage_firmware_names[] = {
    {"a35-bl1-0", "Boot loader 0"},
    {"a35-bl1-1", "Boot loader 1"},
    {"a35-goldfw", "Golden firmware"},
    {"cpld", "Main CPLD"},
    {"cpld-g", "Golden CPLD"},
    {"dtb", "Device Tree Blob"},
    {"fw-a", "Main firmware A"},
    {"fw-b", "Main firmware B"},
    {"fw_cfg", "Firmware configuration"},
    {"goldfw", "N1 golden firmware"},
    {"mainfwa", "N1 main firmware A"},
    {"mainfwb", "N1 main firmware B"},
    {"n1-boot0", "N1 boot0"},
    {"n1-kernel-g", "N1 kernel image"},
    {"n1-uboot-a", "N1 U-Boot A"},
    {"n1-uboot-b", "N1 U-Boot B"},
    {"n1-uboot-g", "N1 golden U-Boot"},
    {"bastionfw-0", "Bastion firmware 0"},
    {"bastionfw-1", "Bastion firmware 1"},
    {"uboot-a", "U-Boot A"},
    {"uboot-b", "U-Boot B"},
    {"ufm1", "UFM 1"},
    {"ufm2", "UFM 2"},
    {"oprom", "OPROM"},
    {"boot-fault-log", "Boot fault log"},
    {"runtime-log", "Runtime log"},
    {"coredump", "Coredump"},
};
constexpr int k_usage_name_width = 17;

void print_usage(const char *program) {
    printf("Usage: %s cmd [opts] [bdf]\n", program);
    printf("\n");
    printf("Commands:\n");
    for (const usage_entry_s &entry : k_usage_commands) {
        if (static_cast<int>(strlen(entry.term)) > k_usage_synopsis_width) {
            printf("  %s -\n\t\t\t\t\t\t\t    %s\n", entry.term, entry.description);
        } else {
            printf("  %-*s- %s\n", k_usage_synopsis_width, entry.term, entry.description);
        }
    }
    printf("\n");
    printf("  Available firmware names:\n");
    for (const usage_entry_s &entry : k_usage_firmware_names) {
        printf("    %-*s- %s\n", k_usage_name_width, entry.term, entry.description);
    }
    printf("\n");
    printf("  Secure firmware names:\n");
    printf("    a35-bl1-0, a35-bl1-1, bastionfw-0, bastionfw-1, fw-a, fw-b, a35-goldfw\n");
}

// Lets the compiler check each front-end format against its arguments.
__attribute__((format(printf, 1, 2))) inline void trace_format_check(const char *, ...) {}

bool trace_enabled(trace_level_e level) {
    return g_trace_logger != nullptr && g_trace_cb != nullptr && trace_level_get() >= level;
}

// Front-end trace line: "[label:line] ..." written only when the logger is
// there and its level takes the message, then flushed at once.
#define FU_TRACE(level, label, line, fmt, ...)                                            \
    do {                                                                                  \
        if (false) trace_format_check("[%s:%u] " fmt, (label), (line), ##__VA_ARGS__);    \
        if (trace_enabled(level)) {                                                       \
            g_trace_cb(nullptr, (level), "[%s:%u] " fmt, (label), (line), ##__VA_ARGS__); \
            flush_logs();                                                                 \
        }                                                                                 \
    } while (0)
#define FU_INFO(label, line, fmt, ...) FU_TRACE(TRACE_LEVEL_INFO, label, line, fmt, ##__VA_ARGS__)
#define FU_ERR(label, line, fmt, ...) FU_TRACE(TRACE_LEVEL_ERROR, label, line, fmt, ##__VA_ARGS__)

void atexit_handler() {
    FU_INFO("atexit_handler", 425u, "exiting..");
    flush_logs();
    fflush(stdout);
}

// The card address: the last argument when it is a PCIe address, otherwise
// the placeholder that lets the client look elsewhere.
const char *card_address(const char *last_arg) {
    regex_t re;
    if (regcomp(&re, k_bdf_pattern, REG_EXTENDED | REG_NOSUB) != 0) {
        return k_no_bdf;
    }
    const bool valid = regexec(&re, last_arg, 0, nullptr, 0) == 0;
    regfree(&re);
    return valid ? last_arg : k_no_bdf;
}

// A further argument of a command: present and not an option.
const char *further_argument(int argc, char **argv, int index) {
    if (index >= argc || argv[index][0] == '-') {
        return nullptr;
    }
    return argv[index];
}

// Every command but --get-firmware-image reports only success, 99 or failure.
int exit_status(int result) {
    if (result == 0 || result == 99) {
        return result;
    }
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {  // also an empty argument vector, which has no program name
        print_usage(argc > 0 ? argv[0] : "flash-update");
        return 1;
    }

    atexit(atexit_handler);
    for (const int sig : k_ignored_signals) {
        signal(sig, SIG_IGN);
    }

    const char *bdf = card_address(argv[argc - 1]);

    trace_init(bdf);
    g_trace_cb = trace_log_cb;

    rfc_init_params_s params;
    memset(&params, 0, sizeof(params));
    strncpy(params.bdf, bdf, sizeof(params.bdf) - 1);
    strncpy(params.scratch_dir, k_scratch_dir, sizeof(params.scratch_dir) - 1);
    params.trace_level = TRACE_LEVEL_DEBUG;
    params.trace_cb = rfc_trace_log_cb;
    rfc_init(&params);
    rfc_set_progress_cb(cli_terminal_progress, nullptr);

    FU_INFO("main", 561u, "pcie-bdf %s", bdf);

    // The front end never times an operation out; the flag only has to exist.
    bool timeout = false;
    bool partition_found = false;
    int option_index = 0;
    const int command = getopt_long(argc, argv, "", k_long_options, &option_index);

    switch (command) {
        case -1:
            return 0;

        case CMD_GET_FIRMWARE_IMAGE: {
            FU_INFO("get_running_or_startup_image", 203u, "Get %s image information bdf %s", optarg, bdf);
            // The exit status carries the firmware type the card reports.
            return rfc_firmware_type(rfc_image_type_from_name(optarg), bdf);
        }

        case CMD_ERASE: {
            const char *size_arg = further_argument(argc, argv, optind);
            if (size_arg == nullptr) {
                return 1;
            }
            const unsigned long size = strtoul(size_arg, nullptr, 0);
            FU_INFO("erase_partition", 214u, "Erasing partition %s size %ld bdf %s", optarg, static_cast<long>(size),
                    bdf);
            if (!card_lock_hold(bdf)) {
                return 1;
            }
            return exit_status(rfc_flash_erase(rfc_partition_from_name(optarg), size, bdf, timeout));
        }

        case CMD_INSTALL: {
            const char *image = further_argument(argc, argv, optind);
            if (image == nullptr) {
                return 1;
            }
            FU_INFO("install_image", 226u, "Installing image from %s to partition %s bdf %s", image, optarg, bdf);
            if (!card_lock_hold(bdf)) {
                return 1;
            }
            return exit_status(rfc_flash_write(rfc_partition_from_name(optarg), image, bdf, timeout));
        }

        case CMD_SET_BOOT_OPTIONS: {
            FU_INFO("set_boot_option", 237u, "Updating boot settings %s bdf %s", optarg, bdf);
            if (!card_lock_hold(bdf)) {
                return 1;
            }
            return exit_status(rfc_set_startup_image(rfc_firmware_image_from_name(optarg), bdf));
        }

        case CMD_VERIFY_CHECKSUM: {
            const char *image = further_argument(argc, argv, optind);
            if (image == nullptr) {
                return 1;
            }
            ++optind;
            const char *hash = further_argument(argc, argv, optind);
            if (hash == nullptr) {
                return 1;
            }
            ++optind;
            FU_INFO("verify_image", 248u, "Verifying image in partition %s bdf %s", optarg, bdf);
            return exit_status(rfc_verify_checksum(rfc_partition_from_name(optarg), image, hash, bdf, timeout));
        }

        case CMD_LIST_FIRMWARE: {
            FU_INFO("get_firmware_list", 259u, "List firmware information of %s bdf %s", optarg, bdf);
            return exit_status(rfc_partition_metadata(rfc_partition_from_name(optarg), bdf));
        }

        case CMD_VERIFY_STARTUP_IMAGE: {
            FU_INFO("verify_startup_image", 269u, "Verify startup image of %s bdf %s", optarg, bdf);
            return exit_status(rfc_validate_startup_image(rfc_partition_from_name(optarg), bdf));
        }

        case CMD_GET_CARD_INFO: {
            FU_INFO("get_card_info", 280u, "Get card information bdf %s", bdf);
            return exit_status(rfc_card_info_get(bdf, "card_info", nullptr));
        }

        case CMD_GET_PARTITION_INFO: {
            FU_INFO("get_partition_info", 291u, "Get partition information bdf %s", bdf);
            return exit_status(rfc_partition_info(bdf, FLASH_PARTITION_ALL, partition_found));
        }

        case CMD_ERASE_SECTOR: {
            const char *size_arg = further_argument(argc, argv, optind);
            if (size_arg == nullptr) {
                return 1;
            }
            const unsigned long size = strtoul(size_arg, nullptr, 0);
            FU_INFO("erase_flash_sector", 303u, "Erase %s flash sector of size %lx bdf %s", optarg, size, bdf);
            if (!card_lock_hold(bdf)) {
                return 1;
            }
            return exit_status(rfc_flash_sector_erase(rfc_partition_from_name(optarg), size, bdf));
        }

        case CMD_SECURE_BOOT: {
            FU_INFO("secure_boot_update", 314u, "Secure boot update to %s bdf %s", optarg, bdf);
            if (!card_lock_hold(bdf)) {
                return 1;
            }
            return exit_status(rfc_secure_boot_update(rfc_secure_boot_option_from_name(optarg), bdf));
        }

        case CMD_SECURE_INFO: {
            const secure_image_type_e component = rfc_secure_type_from_name(optarg);
            char file_name[k_secure_info_file_len];
            snprintf(file_name, sizeof(file_name), "%s_%s", "secure_info", rfc_secure_type_label(component));
            FU_INFO("secure_image_info", 332u, "Get secure image information of %s bdf %s file %s", optarg, bdf,
                    file_name);
            return exit_status(rfc_secure_image_info(file_name, component, bdf));
        }

        case CMD_SECURE_IMAGE_UPDATE: {
            const char *operation = further_argument(argc, argv, optind);
            if (operation == nullptr) {
                return 1;
            }
            const uint32_t opcode = rfc_secure_update_opcode_from_name(operation);
            if (opcode == 0) {
                FU_ERR("secure_image_info_update", 354u, "Invalid secure update operation %s", operation);
                return 1;
            }
            FU_INFO("secure_image_info_update", 359u, "Secure image %s update %s bdf %s", optarg, operation, bdf);
            if (!card_lock_hold(bdf)) {
                return 1;
            }
            return exit_status(rfc_secure_image_info_update(rfc_secure_type_from_name(optarg),
                                                            static_cast<secure_image_update_opcode_e>(opcode), bdf));
        }

        case CMD_GET_SIGNED_DATA: {
            FU_INFO("get_signed_data", 370u, "Get image %s signature information bdf %s", optarg, bdf);
            return exit_status(rfc_partition_signed_metadata(rfc_partition_from_name(optarg), bdf));
        }

        case CMD_VERIFY_IMAGE_SIGNATURE: {
            FU_INFO("verify_image_signature", 382u, "Verify image %s signature bdf %s", optarg, bdf);
            return exit_status(rfc_image_signature_verify(rfc_partition_from_name(optarg), bdf));
        }

        default:
            // getopt_long has already said what was wrong on standard error.
            print_usage(argv[0]);
            return 1;
    }
}

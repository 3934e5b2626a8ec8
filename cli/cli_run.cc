// SPDX-License-Identifier: Apache-2.0
#include "cli_run.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "card_address.h"
#include "fu_vocabulary.h"

namespace {

// Stands for "no card address given"; the client then asks the environment.
constexpr const char *k_no_bdf = FU_NO_CARD;
constexpr size_t k_secure_info_file_len = 128;

// Signals the tool ignores so that an interrupted terminal or a parent going
// away cannot cut a flash operation short; children are reaped by the system.
constexpr int k_ignored_signals[] = {SIGHUP, SIGQUIT, SIGINT, SIGUSR1, SIGCHLD, SIGURG, SIGUSR2, SIGTERM, SIGPIPE};

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

// Front-end trace line: "[label:line] ..." written only when the logger is
// there and its level takes the message, then flushed at once.
#define CLI_TRACE(ops, level, label, line, fmt, ...)                                       \
    do {                                                                                   \
        if (false) trace_format_check("[%s:%u] " fmt, (label), (line), ##__VA_ARGS__);     \
        if ((ops).trace_enabled(level)) {                                                  \
            (ops).trace(nullptr, (level), "[%s:%u] " fmt, (label), (line), ##__VA_ARGS__); \
            (ops).trace_flush();                                                           \
        }                                                                                  \
    } while (0)
// A command's own line, with the label and line number of its table row.
#define COMMAND_INFO(fmt, ...) CLI_TRACE(ops, TRACE_LEVEL_INFO, cmd.label, cmd.line, fmt, ##__VA_ARGS__)

// What a command reads from the argument vector after its option.
enum further_e {
    FURTHER_NONE,
    FURTHER_SIZE,        // a size: a number in base 10, 0x hexadecimal or 0 octal
    FURTHER_IMAGE,       // an image path
    FURTHER_IMAGE_HASH,  // an image path and a hash
    FURTHER_OPERATION,   // a secure image update's operation word
};

// One command's arguments as the run gathered them.
struct cli_call_s {
    const char *arg = nullptr;  // the option argument
    const char *bdf = nullptr;  // the card address, or "00.0.0"
    unsigned long size = 0;
    const char *image = nullptr;
    const char *hash = nullptr;
    const char *operation = nullptr;
    secure_image_update_opcode_e opcode{};
    secure_image_type_e component{};
    char file_name[k_secure_info_file_len] = {};
    bool timeout = false;  // the front end never times an operation out; the flag only has to exist
    bool partition_found = false;
};

struct command_s;
using command_trace_fn = void (*)(cli_call_s &c, const command_s &cmd, const cli_ops_s &ops);
using command_call_fn = int (*)(cli_call_s &c, const cli_ops_s &ops);

struct command_s {
    const char *option;
    int has_arg;  // getopt_long's required_argument or no_argument
    const char *label;
    unsigned line;
    further_e further;
    // Changes the card: runs under the card's lock, and a last argument that
    // was meant as an address but is none is refused.
    bool changes_card;
    // The operation's result is the exit status (the firmware type).
    bool result_is_status;
    command_trace_fn trace;  // writes the command's line
    command_call_fn call;    // runs its operation
};

// The commands, in the order getopt_long is given them.
const command_s k_commands[] = {
    {"get-firmware-image", required_argument, "get_running_or_startup_image", 203u, FURTHER_NONE, false, true,
     [](cli_call_s &c, const command_s &cmd, const cli_ops_s &ops) {
         COMMAND_INFO("Get %s image information bdf %s", c.arg, c.bdf);
     },
     [](cli_call_s &c, const cli_ops_s &ops) { return ops.firmware_type(rfc_image_type_from_name(c.arg), c.bdf); }},
    {"erase", required_argument, "erase_partition", 214u, FURTHER_SIZE, true, false,
     [](cli_call_s &c, const command_s &cmd, const cli_ops_s &ops) {
         COMMAND_INFO("Erasing partition %s size %ld bdf %s", c.arg, static_cast<long>(c.size), c.bdf);
     },
     [](cli_call_s &c, const cli_ops_s &ops) {
         return ops.flash_erase(rfc_partition_from_name(c.arg), c.size, c.bdf, c.timeout);
     }},
    {"install", required_argument, "install_image", 226u, FURTHER_IMAGE, true, false,
     [](cli_call_s &c, const command_s &cmd, const cli_ops_s &ops) {
         COMMAND_INFO("Installing image from %s to partition %s bdf %s", c.image, c.arg, c.bdf);
     },
     [](cli_call_s &c, const cli_ops_s &ops) {
         return ops.flash_write(rfc_partition_from_name(c.arg), c.image, c.bdf, c.timeout);
     }},
    {"set-boot-options", required_argument, "set_boot_option", 237u, FURTHER_NONE, true, false,
     [](cli_call_s &c, const command_s &cmd, const cli_ops_s &ops) {
         COMMAND_INFO("Updating boot settings %s bdf %s", c.arg, c.bdf);
     },
     [](cli_call_s &c, const cli_ops_s &ops) {
         return ops.set_startup_image(rfc_firmware_image_from_name(c.arg), c.bdf);
     }},
    {"verify-checksum", required_argument, "verify_image", 248u, FURTHER_IMAGE_HASH, false, false,
     [](cli_call_s &c, const command_s &cmd, const cli_ops_s &ops) {
         COMMAND_INFO("Verifying image in partition %s bdf %s", c.arg, c.bdf);
     },
     [](cli_call_s &c, const cli_ops_s &ops) {
         return ops.verify_checksum(rfc_partition_from_name(c.arg), c.image, c.hash, c.bdf, c.timeout);
     }},
    {"list-firmware", required_argument, "get_firmware_list", 259u, FURTHER_NONE, false, false,
     [](cli_call_s &c, const command_s &cmd, const cli_ops_s &ops) {
         COMMAND_INFO("List firmware information of %s bdf %s", c.arg, c.bdf);
     },
     [](cli_call_s &c, const cli_ops_s &ops) { return ops.partition_metadata(rfc_partition_from_name(c.arg), c.bdf); }},
    {"verify-startup-image", required_argument, "verify_startup_image", 269u, FURTHER_NONE, false, false,
     [](cli_call_s &c, const command_s &cmd, const cli_ops_s &ops) {
         COMMAND_INFO("Verify startup image of %s bdf %s", c.arg, c.bdf);
     },
     [](cli_call_s &c, const cli_ops_s &ops) {
         return ops.validate_startup_image(rfc_partition_from_name(c.arg), c.bdf);
     }},
    {"get-card-info", no_argument, "get_card_info", 280u, FURTHER_NONE, false, false,
     [](cli_call_s &c, const command_s &cmd, const cli_ops_s &ops) {
         COMMAND_INFO("Get card information bdf %s", c.bdf);
     },
     [](cli_call_s &c, const cli_ops_s &ops) { return ops.card_info_get(c.bdf, "card_info", nullptr); }},
    {"get-partition-info", no_argument, "get_partition_info", 291u, FURTHER_NONE, false, false,
     [](cli_call_s &c, const command_s &cmd, const cli_ops_s &ops) {
         COMMAND_INFO("Get partition information bdf %s", c.bdf);
     },
     [](cli_call_s &c, const cli_ops_s &ops) {
         return ops.partition_info(c.bdf, FLASH_PARTITION_ALL, c.partition_found);
     }},
    {"erase-sector", required_argument, "erase_flash_sector", 303u, FURTHER_SIZE, true, false,
     [](cli_call_s &c, const command_s &cmd, const cli_ops_s &ops) {
         COMMAND_INFO("Erase %s flash sector of size %lx bdf %s", c.arg, c.size, c.bdf);
     },
     [](cli_call_s &c, const cli_ops_s &ops) {
         return ops.flash_sector_erase(rfc_partition_from_name(c.arg), c.size, c.bdf);
     }},
    {"secure-boot", required_argument, "secure_boot_update", 314u, FURTHER_NONE, true, false,
     [](cli_call_s &c, const command_s &cmd, const cli_ops_s &ops) {
         COMMAND_INFO("Secure boot update to %s bdf %s", c.arg, c.bdf);
     },
     [](cli_call_s &c, const cli_ops_s &ops) {
         return ops.secure_boot_update(rfc_secure_boot_option_from_name(c.arg), c.bdf);
     }},
    {"secure-info", required_argument, "secure_image_info", 332u, FURTHER_NONE, false, false,
     [](cli_call_s &c, const command_s &cmd, const cli_ops_s &ops) {
         // The file is named after the component as the catalogue knows it.
         c.component = rfc_secure_type_from_name(c.arg);
         snprintf(c.file_name, sizeof(c.file_name), "%s_%s", "secure_info", rfc_secure_type_label(c.component));
         COMMAND_INFO("Get secure image information of %s bdf %s file %s", c.arg, c.bdf, c.file_name);
     },
     [](cli_call_s &c, const cli_ops_s &ops) { return ops.secure_image_info(c.file_name, c.component, c.bdf); }},
    {"secure-image-update", required_argument, "secure_image_info_update", 359u, FURTHER_OPERATION, true, false,
     [](cli_call_s &c, const command_s &cmd, const cli_ops_s &ops) {
         COMMAND_INFO("Secure image %s update %s bdf %s", c.arg, c.operation, c.bdf);
     },
     [](cli_call_s &c, const cli_ops_s &ops) {
         return ops.secure_image_info_update(rfc_secure_type_from_name(c.arg), c.opcode, c.bdf);
     }},
    {"get-signed-data", required_argument, "get_signed_data", 370u, FURTHER_NONE, false, false,
     [](cli_call_s &c, const command_s &cmd, const cli_ops_s &ops) {
         COMMAND_INFO("Get image %s signature information bdf %s", c.arg, c.bdf);
     },
     [](cli_call_s &c, const cli_ops_s &ops) {
         return ops.partition_signed_metadata(rfc_partition_from_name(c.arg), c.bdf);
     }},
    {"verify-image-signature", required_argument, "verify_image_signature", 382u, FURTHER_NONE, false, false,
     [](cli_call_s &c, const command_s &cmd, const cli_ops_s &ops) {
         COMMAND_INFO("Verify image %s signature bdf %s", c.arg, c.bdf);
     },
     [](cli_call_s &c, const cli_ops_s &ops) {
         return ops.image_signature_verify(rfc_partition_from_name(c.arg), c.bdf);
     }},
};
constexpr size_t k_command_count = sizeof(k_commands) / sizeof(k_commands[0]);

// getopt_long's code of command i; far from '?' and every character.
constexpr int k_command_code_base = 0x1000;

// getopt_long's view of the table.
const option *long_options() {
    static option options[k_command_count + 1] = {};
    if (options[0].name == nullptr) {
        for (size_t i = 0; i < k_command_count; ++i) {
            options[i] = {k_commands[i].option, k_commands[i].has_arg, nullptr,
                          k_command_code_base + static_cast<int>(i)};
        }
    }
    return options;
}

const command_s *command_of(int code) {
    const int index = code - k_command_code_base;
    return index >= 0 && static_cast<size_t>(index) < k_command_count ? &k_commands[index] : nullptr;
}

// The command the argument vector names, found without a word on standard
// error and without disturbing the parse that follows.
const command_s *peek_command(int argc, char **argv) {
    const int saved_opterr = opterr;
    opterr = 0;
    int option_index = 0;
    const int code = getopt_long(argc, argv, "", long_options(), &option_index);
    opterr = saved_opterr;
    optind = 0;  // the real parse starts afresh
    return command_of(code);
}

// The exit handler runs after the caller's operations may be gone: it keeps
// a copy of them.
cli_ops_s g_exit_ops{};
bool g_exit_ops_set = false;

void exit_handler() {
    if (g_exit_ops_set) {
        CLI_TRACE(g_exit_ops, TRACE_LEVEL_INFO, "atexit_handler", 425u, "exiting..");
        g_exit_ops.trace_flush();
    }
    fflush(stdout);
}

// A last argument made only of what addresses are made of, with a colon, was
// meant as a card address even when it is none (function 8, a trailing blank,
// a short domain).
bool meant_as_address(const char *text) {
    return strchr(text, ':') != nullptr && text[strspn(text, "0123456789abcdefABCDEF:. \t")] == '\0';
}

// A size is a whole number: decimal, 0x hexadecimal or 0 octal, within range.
bool size_valid(const char *text) {
    const char *digits = text;
    const char *allowed = "0123456789";
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        digits = text + 2;
        allowed = "0123456789abcdefABCDEF";
    } else if (text[0] == '0') {
        allowed = "01234567";
    }
    if (digits[0] == '\0' || digits[strspn(digits, allowed)] != '\0') {
        return false;
    }
    errno = 0;
    (void)strtoul(text, nullptr, 0);
    return errno != ERANGE;
}

// A further argument of a command: present and not an option.
const char *further_argument(int argc, char **argv, int index) {
    if (index >= argc || argv[index][0] == '-') {
        return nullptr;
    }
    return argv[index];
}

// Reads the command's further arguments; false when the run ends with
// status 1 (what is wrong has been said, where anything is said).
bool gather_further(const command_s &cmd, cli_call_s &c, int argc, char **argv, const cli_ops_s &ops) {
    switch (cmd.further) {
        case FURTHER_NONE:
            return true;
        case FURTHER_SIZE: {
            const char *text = further_argument(argc, argv, optind);
            if (text == nullptr) {
                return false;
            }
            if (!size_valid(text)) {
                fprintf(stderr, "flash-update: invalid size \"%s\": not a decimal, 0x hexadecimal or 0 octal number\n",
                        text);
                return false;
            }
            c.size = strtoul(text, nullptr, 0);
            return true;
        }
        case FURTHER_IMAGE:
            c.image = further_argument(argc, argv, optind);
            return c.image != nullptr;
        case FURTHER_IMAGE_HASH:
            c.image = further_argument(argc, argv, optind);
            if (c.image == nullptr) {
                return false;
            }
            ++optind;
            c.hash = further_argument(argc, argv, optind);
            if (c.hash == nullptr) {
                return false;
            }
            ++optind;
            return true;
        case FURTHER_OPERATION: {
            c.operation = further_argument(argc, argv, optind);
            if (c.operation == nullptr) {
                return false;
            }
            const uint32_t opcode = rfc_secure_update_opcode_from_name(c.operation);
            if (opcode == 0) {
                CLI_TRACE(ops, TRACE_LEVEL_ERROR, cmd.label, 354u, "Invalid secure update operation %s", c.operation);
                return false;
            }
            c.opcode = static_cast<secure_image_update_opcode_e>(opcode);
            return true;
        }
    }
    return false;
}

// Every command but --get-firmware-image reports only success, 99 or failure.
int exit_status(int result) {
    if (result == 0 || result == 99) {
        return result;
    }
    return 1;
}

}  // namespace

int cli_run(int argc, char **argv, const cli_ops_s &ops) {
    if (argc < 2) {  // also an empty argument vector, which has no program name
        print_usage(argc > 0 ? argv[0] : "flash-update");
        return 1;
    }

    g_exit_ops = ops;
    g_exit_ops_set = true;
    ops.at_exit(exit_handler);
    for (const int sig : k_ignored_signals) {
        ops.set_signal(sig, SIG_IGN);
    }

    const char *last = argv[argc - 1];
    const char *bdf = card_address_valid(last) ? last : k_no_bdf;
    if (bdf == k_no_bdf && meant_as_address(last)) {
        const command_s *cmd = peek_command(argc, argv);
        if (cmd != nullptr && cmd->changes_card) {
            // Standing for CRD_BDF or the default node, it could reach another card.
            fprintf(stderr, "flash-update: invalid card address \"%s\": expected dddd:bb:dd.f\n", last);
            return 1;
        }
    }

    ops.trace_start(bdf);

    ops.client_init(bdf);

    CLI_TRACE(ops, TRACE_LEVEL_INFO, "main", 561u, "pcie-bdf %s", bdf);

    int option_index = 0;
    const int code = getopt_long(argc, argv, "", long_options(), &option_index);
    if (code == -1) {
        return 0;
    }
    const command_s *cmd = command_of(code);
    if (cmd == nullptr) {
        // getopt_long has already said what was wrong on standard error.
        print_usage(argv[0]);
        return 1;
    }

    cli_call_s c;
    c.arg = optarg;
    c.bdf = bdf;
    if (!gather_further(*cmd, c, argc, argv, ops)) {
        return 1;
    }
    cmd->trace(c, *cmd, ops);
    // An install image that cannot be read is the client's to report; the
    // card is not held for it (a FIFO without a writer would keep it).
    const bool lock = cmd->changes_card && (cmd->further != FURTHER_IMAGE || ops.image_usable(c.image));
    if (lock && !ops.card_lock_hold(bdf)) {
        return 1;
    }
    const int result = cmd->call(c, ops);
    return cmd->result_is_status ? result : exit_status(result);
}

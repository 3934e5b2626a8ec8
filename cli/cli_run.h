// SPDX-License-Identifier: Apache-2.0
// flash-update's command line: one run of the program over a set of
// operations.
//
//   flash-update --<command> [argument...] <bdf>
//
// The card's PCIe address is always the last argument. One long option names
// the command; its further arguments are read straight from the argument
// vector after it. The selected operation's result becomes the exit status.
//
// Everything a run reaches outside the command line itself (process set-up,
// the trace facility, the client, the card lock and the client operations)
// comes through a cli_ops_s, so tests and fuzzers run the same dispatcher over
// stand-ins.
#pragma once

#include <csignal>
#include <cstdint>

#include "rfc.h"
#include "trace_level.h"

struct cli_ops_s {
    // Process set-up (atexit, signal).
    int (*at_exit)(void (*handler)());
    sighandler_t (*set_signal)(int sig, sighandler_t handler);

    // The trace facility: start it for the card, whether a front-end line of
    // this level is written, write one (printf-style), flush the logs.
    int (*trace_start)(const char *bdf);
    bool (*trace_enabled)(trace_level_e level);
    int (*trace)(void *ctxt, trace_level_e level, const char *fmt, ...);
    void (*trace_flush)();

    // Initialises the client for the card; the result is not looked at.
    int (*client_init)(const char *bdf);
    // True when the install image can be read without blocking (a regular
    // file or a block device); the card is locked only for such an image.
    bool (*image_usable)(const char *path);
    // Takes the card's lock for the rest of the process; false after a
    // message on standard error.
    bool (*card_lock_hold)(const char *bdf);

    // The client operations.
    int (*firmware_type)(fwupdate_image_type_e type, const char *bdf);
    int (*flash_erase)(flash_partition_e partition, uint64_t size, const char *bdf, const bool &timeout);
    int (*flash_write)(flash_partition_e partition, const char *image_path, const char *bdf, const bool &timeout);
    int (*set_startup_image)(firmware_image_type_e image, const char *bdf);
    int (*verify_checksum)(flash_partition_e partition, const char *image_path, const char *hash, const char *bdf,
                           const bool &timeout);
    int (*partition_metadata)(flash_partition_e partition, const char *bdf);
    int (*validate_startup_image)(flash_partition_e partition, const char *bdf);
    int (*card_info_get)(const char *bdf, const char *file_name, rfc_card_info_s *info);
    int (*partition_info)(const char *bdf, flash_partition_e partition, bool &found);
    int (*flash_sector_erase)(flash_partition_e partition, uint64_t size, const char *bdf);
    int (*secure_boot_update)(secure_boot_option_e option, const char *bdf);
    int (*secure_image_info)(const char *name, secure_image_type_e type, const char *bdf);
    int (*secure_image_info_update)(secure_image_type_e type, secure_image_update_opcode_e opcode, const char *bdf);
    int (*partition_signed_metadata)(flash_partition_e partition, const char *bdf);
    int (*image_signature_verify)(flash_partition_e partition, const char *bdf);
};

// The real program: the logger, the client on the card, the card lock.
extern const cli_ops_s k_cli_card_ops;

// One run of flash-update with argv; returns the exit status. Uses getopt, so
// a caller that runs it again resets optind to 0 first.
int cli_run(int argc, char **argv, const cli_ops_s &ops);

// SPDX-License-Identifier: Apache-2.0
// What each command hands its operation, and how the operation's result
// becomes the exit status. The program under test is the real front end
// over operations that only report their arguments (fake_ops.cc).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "cli_process.h"

namespace {

const std::string k_tool = FLASH_UPDATE_FAKE_OPS;

struct call_row_s {
    std::vector<std::string> args;  // "@" stands for the card address
    std::string call;               // the operation's report, "@" likewise
};

run_result_s run_with(const std::vector<std::string> &args, const std::string &bdf, int result = 0) {
    log_dir logs;
    auto env = logs.env();
    env.emplace_back("FAKE_OP_RESULT", std::to_string(result));
    return run_tool(k_tool, with_bdf(args, bdf), env);
}

const call_row_s k_calls[] = {
    {{"--get-firmware-image", "running", "@"}, "rfc_firmware_type type=0 bdf=@"},
    {{"--get-firmware-image", "startup", "@"}, "rfc_firmware_type type=1 bdf=@"},
    {{"--get-firmware-image", "n1-startup", "@"}, "rfc_firmware_type type=2 bdf=@"},
    {{"--get-firmware-image=", "@"}, "rfc_firmware_type type=2 bdf=@"},
    {{"--erase", "fw-a", "0x10000", "@"}, "rfc_flash_erase partition=6 size=65536 bdf=@ timeout=0"},
    {{"--erase", "boot-fault-log", "017", "@"}, "rfc_flash_erase partition=23 size=15 bdf=@ timeout=0"},
    {{"--erase", "n1-boot0", "4096", "@"}, "rfc_flash_erase partition=26 size=4096 bdf=@ timeout=0"},
    {{"--erase", "fw-a", "0", "@"}, "rfc_flash_erase partition=6 size=0 bdf=@ timeout=0"},
    {{"--erase", "fw-a", "0X1f", "@"}, "rfc_flash_erase partition=6 size=31 bdf=@ timeout=0"},
    {{"--erase", "fw-a", "18446744073709551615", "@"},
     "rfc_flash_erase partition=6 size=18446744073709551615 bdf=@ timeout=0"},
    {{"--erase-sector", "fw-a", "0xffffffffffffffff", "@"},
     "rfc_flash_sector_erase partition=6 size=18446744073709551615 bdf=@"},
    {{"--install", "cpld", "/tmp/image.bin", "@"}, "rfc_flash_write partition=17 image=/tmp/image.bin bdf=@ timeout=0"},
    {{"--install", "fw-b", "@"}, "rfc_flash_write partition=7 image=@ bdf=@ timeout=0"},
    {{"--set-boot-options", "fw-a", "@"}, "rfc_set_startup_image image=0 bdf=@"},
    {{"--set-boot-options", "fw-b", "@"}, "rfc_set_startup_image image=1 bdf=@"},
    {{"--set-boot-options", "a35-goldfw", "@"}, "rfc_set_startup_image image=2 bdf=@"},
    {{"--set-boot-options", "fw_cfg", "@"}, "rfc_set_startup_image image=3 bdf=@"},
    {{"--verify-checksum", "fw-b", "image.bin", "cafe", "@"},
     "rfc_verify_checksum partition=7 image=image.bin hash=cafe bdf=@ timeout=0"},
    {{"--list-firmware", "runtime-log", "@"}, "rfc_partition_metadata partition=24 bdf=@"},
    {{"--list-firmware", "@"}, "rfc_partition_metadata partition=26 bdf=@"},
    {{"--verify-startup-image", "a35-goldfip", "@"}, "rfc_validate_startup_image partition=3 bdf=@"},
    {{"--get-card-info", "@"}, "rfc_card_info_get bdf=@ file=card_info info=null"},
    {{"--get-partition-info", "@"}, "rfc_partition_info bdf=@ partition=26 found=0"},
    {{"--erase-sector", "ufm2", "0x1000", "@"}, "rfc_flash_sector_erase partition=20 size=4096 bdf=@"},
    {{"--secure-boot", "enable", "@"}, "rfc_secure_boot_update option=1 bdf=@"},
    {{"--secure-boot", "disable", "@"}, "rfc_secure_boot_update option=2 bdf=@"},
    {{"--secure-boot", "on", "@"}, "rfc_secure_boot_update option=4 bdf=@"},
    {{"--secure-info", "bastion", "@"}, "rfc_secure_image_info file=secure_info_bastion type=4 bdf=@"},
    {{"--secure-info", "lcs", "@"}, "rfc_secure_image_info file=secure_info_lcs type=1 bdf=@"},
    {{"--secure-info", "BL1", "@"}, "rfc_secure_image_info file=secure_info_unknown type=0 bdf=@"},
    {{"--secure-image-update", "bastion", "set-ar-counter", "@"}, "rfc_secure_image_info_update type=4 opcode=2 bdf=@"},
    {{"--secure-image-update", "bl1", "boot-alt-partitionX", "@"},
     "rfc_secure_image_info_update type=2 opcode=1 bdf=@"},
    {{"--secure-image-update", "lcs", "set-production", "@"}, "rfc_secure_image_info_update type=1 opcode=3 bdf=@"},
    {{"--secure-image-update", "bl2", "boot-alt-partition", "@"}, "rfc_secure_image_info_update type=0 opcode=1 bdf=@"},
    {{"--get-signed-data", "a35-bl1-0", "@"}, "rfc_partition_signed_metadata partition=1 bdf=@"},
    {{"--verify-image-signature", "bastionfw-1", "@"}, "rfc_image_signature_verify partition=14 bdf=@"},
    {{"--verify-im", "fw-b", "@"}, "rfc_image_signature_verify partition=7 bdf=@"},
};

TEST(CommandOperations, EachCommandCallsItsOperationOnceWithConvertedArguments) {
    const std::string bdf = own_bdf(0x80);
    for (const call_row_s &row : k_calls) {
        SCOPED_TRACE(row.call);
        const run_result_s run = run_with(row.args, bdf);
        EXPECT_EQ(run.out, with_bdf(row.call, bdf) + "\n");
        EXPECT_EQ(run.err, "");
    }
}

TEST(CommandOperations, WithoutBdfTheOperationGetsThePlaceholder) {
    const run_result_s run = run_with({"--get-card-info"}, "");
    EXPECT_EQ(run.out, "rfc_card_info_get bdf=00.0.0 file=card_info info=null\n");
    const run_result_s erase = run_with({"--erase", "fw-a", "1", "fw-a"}, "");
    EXPECT_EQ(erase.out, "rfc_flash_erase partition=6 size=1 bdf=00.0.0 timeout=0\n");
}

TEST(CommandOperations, ResultsBecomeSuccessNinetyNineOrOne) {
    const std::string bdf = own_bdf(0x81);
    const struct {
        int result;
        int status;
    } mapping[] = {{0, 0}, {99, 99}, {255, 1}, {1, 1}, {2, 1}, {39, 1}, {51, 1}, {98, 1}, {100, 1}, {-1, 1}};
    for (const call_row_s &row : k_calls) {
        if (row.args[0].rfind("--get-firmware-image", 0) == 0) continue;
        for (const auto &m : mapping) {
            SCOPED_TRACE(row.call + " result " + std::to_string(m.result));
            EXPECT_EQ(run_with(row.args, bdf, m.result).status, m.status);
        }
    }
}

TEST(CommandOperations, FirmwareImageResultIsTheExitStatus) {
    const std::string bdf = own_bdf(0x82);
    for (const int result : {0, 1, 2, 3, 99, 255}) {
        SCOPED_TRACE(result);
        EXPECT_EQ(run_with({"--get-firmware-image", "running", "@"}, bdf, result).status, result);
    }
}

TEST(CommandOperations, OperationsRunWithTheNineSignalsIgnored) {
    log_dir logs;
    auto env = logs.env();
    env.emplace_back("FAKE_OP_SIGNALS", "1");
    const std::string bdf = own_bdf(0x84);
    const run_result_s run = run_tool(k_tool, {"--get-card-info", bdf}, env);
    EXPECT_EQ(run.status, 0);
    // SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGPIPE, SIGTERM, SIGCHLD, SIGURG.
    EXPECT_EQ(run.out, "rfc_card_info_get bdf=" + bdf + " file=card_info info=null\nignored 1 2 3 10 12 13 15 17 23\n");
}

TEST(CommandOperations, RefusedArgumentsCallNoOperation) {
    const std::string bdf = own_bdf(0x83);
    const std::vector<std::vector<std::string>> rows = {
        {"--erase", "fw-a", "-5", "@"},
        {"--secure-image-update", "bl1", "enable", "@"},
        {"--secure-image-update", "bl1", "boot-alt", "@"},
        {"--verify-checksum", "fw-a", "image.bin", "-", "@"},
        {"--secure", "@"},
        {"@"},
    };
    for (const std::vector<std::string> &args : rows) {
        SCOPED_TRACE(args[0]);
        const run_result_s run = run_with(args, bdf);
        EXPECT_EQ(run.out.find("rfc_"), std::string::npos) << run.out;
    }
}

// Sizes are whole numbers or nothing: what is refused never reaches the
// lock or the operation.
TEST(CommandOperations, SizesThatAreNoWholeNumberAreRefused) {
    const std::string bdf = own_bdf(0x85);
    const std::vector<std::string> sizes = {
        "",  "abc", "1e9", "64k", "12abc", "xyz", "0x", "08", "0x1g", "+5", " 5", "5 ", "18446744073709551616",
        "@",  // a forgotten size takes the address
    };
    for (const char *command : {"--erase", "--erase-sector"}) {
        for (const std::string &size : sizes) {
            SCOPED_TRACE(std::string(command) + " \"" + size + "\"");
            log_dir logs;
            auto env = logs.env();
            env.emplace_back("FAKE_LOCK", "print");
            const run_result_s run = run_tool(k_tool, with_bdf({command, "fw-a", size, "@"}, bdf), env);
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(run.err, "flash-update: invalid size \"" + with_bdf(size, bdf) +
                                   "\": not a decimal, 0x hexadecimal or 0 octal number\n");
        }
    }
    // Without the address the size is the address.
    log_dir logs;
    const run_result_s run = run_tool(k_tool, {"--erase", "fw-a", "0000:03:00.0"}, logs.env());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "flash-update: invalid size \"0000:03:00.0\": not a decimal, 0x hexadecimal or 0 octal number\n");
}

// A last argument meant as an address that is none would stand for CRD_BDF or
// the default node: a command that changes the card refuses it before any
// file is opened; a query goes on without an address as ever.
TEST(CommandOperations, MalformedAddressesAreRefusedByCommandsThatChangeTheCard) {
    const std::string good = own_bdf(0x86);
    const std::string domain = good.substr(0, 4);
    const std::vector<std::string> malformed = {
        domain + ":86:00.8", good + " ", domain.substr(2) + ":86:00.0", domain + ":86:00", domain + ":86:0.0", ":",
    };
    const std::vector<std::vector<std::string>> changing = {
        {"--erase", "fw-a", "0x1000"},
        {"--erase-sector", "fw-a", "0x1000"},
        {"--install", "fw-a", "/tmp/image.bin"},
        {"--set-boot-options", "fw-a"},
        {"--secure-boot", "enable"},
        {"--secure-image-update", "bl1", "boot-alt-partition"},
        {"--erase-s", "fw-a", "0x1000"},  // abbreviated
    };
    for (const std::string &address : malformed) {
        for (std::vector<std::string> args : changing) {
            SCOPED_TRACE(args[0] + " \"" + address + "\"");
            args.push_back(address);
            log_dir logs;
            const run_result_s run = run_tool(k_tool, args, logs.env());
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(run.err, "flash-update: invalid card address \"" + address + "\": expected dddd:bb:dd.f\n");
            struct stat st {};
            EXPECT_NE(stat(logs.log().c_str(), &st), 0);
        }
        SCOPED_TRACE(address);
        const run_result_s query = run_with({"--list-firmware", "fw-a", address}, "");
        EXPECT_EQ(query.out, "rfc_partition_metadata partition=6 bdf=00.0.0\n");
        EXPECT_EQ(query.err, "");
    }
}

// Which commands run under the card's lock, taken after their arguments are
// judged; an install image that cannot be read (a directory, a FIFO with no
// writer, a missing file) leaves the card unlocked and goes to the client.
TEST(CommandOperations, ChangingCommandsTakeTheLockBeforeTheirOperation) {
    const std::string bdf = own_bdf(0x87);
    log_dir logs;
    const std::string image = logs.path() + "image.bin";
    const std::string fifo = logs.path() + "fifo";
    { std::ofstream(image) << "image"; }
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::vector<std::string> args;
        bool locks;
    } rows[] = {
        {{"--erase", "fw-a", "0x10", "@"}, true},
        {{"--erase-sector", "ufm2", "0x1000", "@"}, true},
        {{"--install", "cpld", image, "@"}, true},
        {{"--install", "cpld", logs.path(), "@"}, false},
        {{"--install", "cpld", fifo, "@"}, false},
        {{"--install", "cpld", logs.path() + "missing.bin", "@"}, false},
        {{"--set-boot-options", "fw-a", "@"}, true},
        {{"--secure-boot", "enable", "@"}, true},
        {{"--secure-image-update", "bl1", "set-ar-counter", "@"}, true},
        {{"--get-firmware-image", "running", "@"}, false},
        {{"--verify-checksum", "fw-a", image, "ab", "@"}, false},
        {{"--list-firmware", "fw-a", "@"}, false},
        {{"--verify-startup-image", "fw-a", "@"}, false},
        {{"--get-card-info", "@"}, false},
        {{"--get-partition-info", "@"}, false},
        {{"--secure-info", "bl1", "@"}, false},
        {{"--get-signed-data", "fw-a", "@"}, false},
        {{"--verify-image-signature", "fw-a", "@"}, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.args[0] + " " + row.args[1]);
        auto env = logs.env();
        env.emplace_back("FAKE_LOCK", "print");
        const run_result_s run = run_tool(k_tool, with_bdf(row.args, bdf), env);
        EXPECT_EQ(run.status, 0);
        const size_t op = run.out.find("rfc_");
        ASSERT_NE(op, std::string::npos) << run.out;
        EXPECT_EQ(run.out.substr(0, op), row.locks ? "card_lock_hold bdf=" + bdf + "\n" : "");

        // A lock held elsewhere ends a changing command before its operation.
        env.back().second = "busy";
        const run_result_s busy = run_tool(k_tool, with_bdf(row.args, bdf), env);
        EXPECT_EQ(busy.status, row.locks ? 1 : 0);
        EXPECT_EQ(busy.out.find("rfc_") == std::string::npos, row.locks) << busy.out;
    }
}

}  // namespace

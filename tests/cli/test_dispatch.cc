// SPDX-License-Identifier: Apache-2.0
// The flash-update program as a process, without a card: usage text, exit
// statuses, argument rules and the front end's trace lines in the log.
// Commands that reach their operation fail to open a card here (exit 1).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "cli_process.h"

namespace {

const std::string k_tool = FLASH_UPDATE_TOOL;

const char *const k_usage_body =
    "Commands:\n"
    "  --get-firmware-image <running|startup|n1-startup>       - Get details about running or startup firmware\n"
    "  --erase <firmware name> <size>                          - Erase firmware partition\n"
    "  --install <firmware name> <image>                       - Install firmware image\n"
    "  --set-boot-options <firmware name>                      - Set firmware image to startup\n"
    "  --verify-checksum <firmware name> <image> <hash>        - Verify image checksum with provided hash\n"
    "  --list-firmware <firmware name>                         - List information about the specified firmware\n"
    "  --get-card-info                                         - Get card information\n"
    "  --get-partition-info                                    - Get firmware partition information\n"
    "  --erase-sector <firmware name> <size>                   - Erase firmware partition sector\n"
    "  --secure-boot <enable|disable>                          - Enable or disable secure boot\n"
    "  --secure-info <bastion|bl1|bl31|lcs>                    - Get details about a secure boot component\n"
    "  --secure-image-update bastion <boot-alt-partition|set-ar-counter> -\n"
    "\t\t\t\t\t\t\t    Update bastion boot alternate partition or AR counter\n"
    "  --secure-image-update bl1 <boot-alt-partition|set-ar-counter> -\n"
    "\t\t\t\t\t\t\t    Update BL1 boot alternate partition or AR counter\n"
    "  --secure-image-update lcs set-production                - Set secure boot life cycle state to production mode\n"
    "  --get-signed-data <secure firmware name>                - Get firmware signature information\n"
    "  --verify-image-signature <secure firmware name>         - Verify secure firmware image\n"
    "\n"
    "  Available firmware names:\n"
    "    a35-bl1-0        - Boot loader 0\n"
    "    a35-bl1-1        - Boot loader 1\n"
    "    a35-goldfw       - Golden firmware\n"
    "    cpld             - Main CPLD\n"
    "    cpld-g           - Golden CPLD\n"
    "    dtb              - Device Tree Blob\n"
    "    fw-a             - Main firmware A\n"
    "    fw-b             - Main firmware B\n"
    "    fw_cfg           - Firmware configuration\n"
    "    goldfw           - N1 golden firmware\n"
    "    mainfwa          - N1 main firmware A\n"
    "    mainfwb          - N1 main firmware B\n"
    "    n1-boot0         - N1 boot0\n"
    "    n1-kernel-g      - N1 kernel image\n"
    "    n1-uboot-a       - N1 U-Boot A\n"
    "    n1-uboot-b       - N1 U-Boot B\n"
    "    n1-uboot-g       - N1 golden U-Boot\n"
    "    bastionfw-0      - Bastion firmware 0\n"
    "    bastionfw-1      - Bastion firmware 1\n"
    "    uboot-a          - U-Boot A\n"
    "    uboot-b          - U-Boot B\n"
    "    ufm1             - UFM 1\n"
    "    ufm2             - UFM 2\n"
    "    oprom            - OPROM\n"
    "    boot-fault-log   - Boot fault log\n"
    "    runtime-log      - Runtime log\n"
    "    coredump         - Coredump\n"
    "\n"
    "  Secure firmware names:\n"
    "    a35-bl1-0, a35-bl1-1, bastionfw-0, bastionfw-1, fw-a, fw-b, a35-goldfw\n";

std::string usage_text() {
    return "Usage: " + k_tool + " cmd [opts] [bdf]\n\n" + k_usage_body;
}

std::vector<std::string> messages(const std::vector<log_line_s> &lines) {
    std::vector<std::string> texts;
    for (const log_line_s &line : lines) {
        texts.push_back(std::string(1, line.level) + " " + line.message);
    }
    return texts;
}

// Front-end lines of a run that got past start-up: the address line, the
// command's own lines, the exit line.
std::vector<std::string> expected_front_end(const std::string &bdf, const std::vector<std::string> &middle) {
    std::vector<std::string> lines{"I [main:561] pcie-bdf " + bdf};
    for (const std::string &line : middle) {
        lines.push_back(with_bdf(line, bdf));
    }
    lines.push_back("I [atexit_handler:425] exiting..");
    return lines;
}

bool exists(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

TEST(Dispatcher, NoArgumentsPrintsTheUsageAndNothingElse) {
    log_dir logs;
    const run_result_s run = run_tool(k_tool, {}, logs.env());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, usage_text());
    EXPECT_EQ(run.err, "");
    // No tracing was started, so not even the exit line was written.
    EXPECT_FALSE(exists(logs.log()));
}

TEST(Dispatcher, OnlyABdfRunsNoCommand) {
    card_scratch card(own_bdf(1));
    const run_result_s run = run_tool(k_tool, {card.bdf()});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(messages(front_end_lines(read_log(card.log()))), expected_front_end(card.bdf(), {}));
}

struct command_row_s {
    std::vector<std::string> args;
    const char *line;  // the command's trace line, "@" for the card address
    int status;
};

// Every command reaches its operation with its trace line; without a card
// the operation fails, except that --get-firmware-image passes its result on.
TEST(Dispatcher, EachCommandWritesItsLineAndRunsItsOperation) {
    const command_row_s rows[] = {
        {{"--get-firmware-image", "running", "@"},
         "I [get_running_or_startup_image:203] Get running image information bdf @",
         3},
        {{"--get-firmware-image", "n1-startup", "@"},
         "I [get_running_or_startup_image:203] Get n1-startup image information bdf @",
         3},
        {{"--erase", "fw-a", "0x10000", "@"}, "I [erase_partition:214] Erasing partition fw-a size 65536 bdf @", 1},
        {{"--erase=fw-b", "010", "@"}, "I [erase_partition:214] Erasing partition fw-b size 8 bdf @", 1},
        {{"--install", "fw-b", "/nonexistent/fw.bin", "@"},
         "I [install_image:226] Installing image from /nonexistent/fw.bin to partition fw-b bdf @",
         1},
        {{"--install", "fw-b", "@"}, "I [install_image:226] Installing image from @ to partition fw-b bdf @", 1},
        {{"--set-boot-options", "a35-goldfw", "@"},
         "I [set_boot_option:237] Updating boot settings a35-goldfw bdf @",
         1},
        {{"--verify-checksum", "fw-a", "/nonexistent/fw.bin", "ab12", "@"},
         "I [verify_image:248] Verifying image in partition fw-a bdf @",
         1},
        // getopt_long takes the address as the firmware name.
        {{"--list-firmware", "@"}, "I [get_firmware_list:259] List firmware information of @ bdf @", 1},
        {{"--verify-startup-image", "fw-b", "@"}, "I [verify_startup_image:269] Verify startup image of fw-b bdf @", 1},
        {{"--get-card-info", "@"}, "I [get_card_info:280] Get card information bdf @", 1},
        {{"--get-card", "@"}, "I [get_card_info:280] Get card information bdf @", 1},
        {{"--get-partition-info", "@"}, "I [get_partition_info:291] Get partition information bdf @", 1},
        {{"--erase-sector", "cpld", "0x2000", "@"},
         "I [erase_flash_sector:303] Erase cpld flash sector of size 2000 bdf @",
         1},
        {{"--secure-boot", "enable", "@"}, "I [secure_boot_update:314] Secure boot update to enable bdf @", 1},
        {{"--secure-info", "bl1", "@"},
         "I [secure_image_info:332] Get secure image information of bl1 bdf @ file secure_info_bl1",
         1},
        {{"--secure-info", "bl3", "@"},
         "I [secure_image_info:332] Get secure image information of bl3 bdf @ file secure_info_unknown",
         1},
        {{"--secure-image-update", "bl1", "boot-alt-partitionX", "@"},
         "I [secure_image_info_update:359] Secure image bl1 update boot-alt-partitionX bdf @",
         1},
        {{"--secure-image-update", "lcs", "set-production", "@"},
         "I [secure_image_info_update:359] Secure image lcs update set-production bdf @",
         1},
        {{"--get-signed-data", "fw-a", "@"}, "I [get_signed_data:370] Get image fw-a signature information bdf @", 1},
        {{"--verify-image-signature", "bastionfw-0", "@"},
         "I [verify_image_signature:382] Verify image bastionfw-0 signature bdf @",
         1},
    };
    unsigned bus = 0x10;
    for (const command_row_s &row : rows) {
        card_scratch card(own_bdf(bus++));
        SCOPED_TRACE(with_bdf(row.line, card.bdf()));
        const run_result_s run = run_tool(k_tool, with_bdf(row.args, card.bdf()));
        EXPECT_EQ(run.status, row.status);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(messages(front_end_lines(read_log(card.log()))), expected_front_end(card.bdf(), {row.line}));
    }
}

// A missing further argument, or one that looks like an option, ends the run
// quietly; so does the operation word of a secure image update being unknown,
// except for its error line.
TEST(Dispatcher, RefusedFurtherArgumentsEndWithStatusOne) {
    const command_row_s rows[] = {
        {{"--erase", "fw-a", "-5", "@"}, nullptr, 1},
        {{"--erase-sector", "fw-a", "-0x1000", "@"}, nullptr, 1},
        {{"--install", "fw-a", "-image.bin", "@"}, nullptr, 1},
        {{"--verify-checksum", "fw-a", "-image.bin", "ab12", "@"}, nullptr, 1},
        {{"--verify-checksum", "fw-a", "image.bin", "-ab12", "@"}, nullptr, 1},
        {{"--secure-image-update", "bl1", "-boot-alt-partition", "@"}, nullptr, 1},
        {{"--secure-image-update", "bl1", "enable", "@"},
         "E [secure_image_info_update:354] Invalid secure update operation enable",
         1},
        {{"--secure-image-update", "bastion", "set-ar", "@"},
         "E [secure_image_info_update:354] Invalid secure update operation set-ar",
         1},
    };
    unsigned bus = 0x40;
    for (const command_row_s &row : rows) {
        card_scratch card(own_bdf(bus++));
        SCOPED_TRACE(row.args[0] + " " + row.args[1] + " " + row.args[2]);
        const run_result_s run = run_tool(k_tool, with_bdf(row.args, card.bdf()));
        EXPECT_EQ(run.status, row.status);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "");
        std::vector<std::string> middle;
        if (row.line != nullptr) middle.push_back(row.line);
        const std::vector<log_line_s> lines = read_log(card.log());
        EXPECT_EQ(messages(front_end_lines(lines)), expected_front_end(card.bdf(), middle));
        // Nothing reached the client.
        EXPECT_EQ(lines.size(), middle.size() + 2);
    }
}

// Without an address the last argument is a command argument, which is then
// missing for the command itself.
TEST(Dispatcher, MissingFurtherArgumentsWithoutBdf) {
    const std::vector<std::vector<std::string>> rows = {
        {"--erase", "fw-a"},
        {"--erase-sector", "fw-a"},
        {"--install", "fw-a"},
        {"--verify-checksum", "fw-a", "image.bin"},
        {"--secure-image-update", "bl1"},
    };
    for (const std::vector<std::string> &args : rows) {
        SCOPED_TRACE(args[0]);
        log_dir logs;
        const run_result_s run = run_tool(k_tool, args, logs.env());
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(messages(front_end_lines(read_log(logs.log()))), expected_front_end("00.0.0", {}));
    }
}

TEST(Dispatcher, OptionErrorsShowGetoptsMessageAndTheUsage) {
    const struct {
        std::vector<std::string> args;
        std::string message;
    } rows[] = {
        {{"--secure", "@"}, "option '--secure' is ambiguous"},
        {{"--bogus", "@"}, "unrecognized option '--bogus'"},
        {{"--get-card-info=x", "@"}, "option '--get-card-info' doesn't allow an argument"},
        {{"-e", "fw-a", "0x10", "@"}, "invalid option -- 'e'"},
    };
    unsigned bus = 0x60;
    for (const auto &row : rows) {
        card_scratch card(own_bdf(bus++));
        SCOPED_TRACE(row.message);
        const run_result_s run = run_tool(k_tool, with_bdf(row.args, card.bdf()));
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, usage_text());
        EXPECT_EQ(run.err.rfind(k_tool + ": " + row.message, 0), 0u) << run.err;
        EXPECT_EQ(messages(front_end_lines(read_log(card.log()))), expected_front_end(card.bdf(), {}));
    }
}

TEST(Dispatcher, MissingOptionArgumentShowsTheUsage) {
    log_dir logs;
    const run_result_s run = run_tool(k_tool, {"--erase"}, logs.env());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, usage_text());
    EXPECT_EQ(run.err, k_tool + ": option '--erase' requires an argument\n");
}

TEST(Dispatcher, UpperCaseHexDigitsMakeAValidBdf) {
    std::string bdf = own_bdf(0xab, 7);
    std::transform(bdf.begin(), bdf.end(), bdf.begin(), [](unsigned char c) { return std::toupper(c); });
    card_scratch card(bdf);
    const run_result_s run = run_tool(k_tool, {bdf});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(messages(front_end_lines(read_log(card.log()))), expected_front_end(bdf, {}));
}

TEST(Dispatcher, MalformedBdfBecomesThePlaceholder) {
    const std::string good = own_bdf(3);  // dddd:03:00.0
    const std::string domain = good.substr(0, 4);
    const std::vector<std::string> malformed = {
        domain + ":03:00.8",            // function digit out of range
        domain.substr(2) + ":03:00.0",  // two-digit domain
        domain + ":03:00.",             // no function digit
        domain + ":03:00",
        domain + ":03:00.0x",  // trailing text
        " " + good,
        domain + ":3:00.0",
        domain + ":03:0g.0",
    };
    for (const std::string &text : malformed) {
        SCOPED_TRACE(text);
        log_dir logs;
        const run_result_s run = run_tool(k_tool, {text}, logs.env());
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(messages(front_end_lines(read_log(logs.log()))), expected_front_end("00.0.0", {}));
        EXPECT_FALSE(exists("/tmp/korvex/" + text));
    }
}

TEST(Dispatcher, CommandWithoutBdfUsesThePlaceholder) {
    log_dir logs;
    // No CRD_BDF: the client asks for the default device, which this host lacks.
    const run_result_s run = run_tool(k_tool, {"--erase", "fw-a", "0x1000"}, logs.env());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(messages(front_end_lines(read_log(logs.log()))),
              expected_front_end("00.0.0", {"I [erase_partition:214] Erasing partition fw-a size 4096 bdf @"}));
}

// Client lines carry "[timestamp] " instead of "[label:line] ".
bool has_client_line(const std::vector<log_line_s> &lines, char level, const std::string &text) {
    return std::any_of(lines.begin(), lines.end(), [&](const log_line_s &line) {
        return line.level == level && line.message.size() > text.size() + 3 && line.message[0] == '[' &&
               line.message.compare(line.message.size() - text.size(), text.size(), text) == 0 &&
               line.message.compare(line.message.size() - text.size() - 2, 2, "] ") == 0;
    });
}

TEST(Dispatcher, FailedDeviceOpenIsLoggedAndGivesStatusOne) {
    card_scratch card(own_bdf(0x70));
    const run_result_s run = run_tool(k_tool, {"--erase", "fw-a", "0x1000", card.bdf()});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(has_client_line(read_log(card.log()), 'E', "device open failed, ret -1")) << read_file(card.log());
    // The error log carries the error records only.
    const std::vector<log_line_s> errors = read_log(card.err_log());
    EXPECT_TRUE(has_client_line(errors, 'E', "device open failed, ret -1")) << read_file(card.err_log());
}

TEST(Dispatcher, SimulatedInitFailureStillRunsTheCommand) {
    card_scratch card(own_bdf(0x71));
    const run_result_s run = run_tool(k_tool, {"--get-card-info", card.bdf()}, {{"RFC_TEST_ENV", "1"}});
    EXPECT_EQ(run.status, 1);
    const std::vector<log_line_s> lines = read_log(card.log());
    EXPECT_TRUE(has_client_line(lines, 'E', "Simulated remote flash client init failure")) << read_file(card.log());
    EXPECT_EQ(messages(front_end_lines(lines)),
              expected_front_end(card.bdf(), {"I [get_card_info:280] Get card information bdf @"}));
}

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// The textfile metrics of an inventory: exact text, label escaping, and the
// Prometheus tooling's own check of a whole card's file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "prometheus.h"

namespace {

using json = doc_json;

// The metrics of an inventory document as flashctl reads one.
std::string metrics(const json &inventory, long long unix_time) {
    return flashctl_prometheus_text(inventory.get<doc_inventory_s>(), unix_time);
}

json answered_card(const std::string &address, int partitions) {
    json card = {{"card", address},
                 {"ok", true},
                 {"identity",
                  {{"serial_number", "KX2412A0001"},
                   {"board_id", "0x00010042"},
                   {"asic", "larch"},
                   {"ipc_version", 5},
                   {"sw_version", "larch-fw 2.14.0-E-42"},
                   {"life_cycle", "open"},
                   {"secure_boot", true}}},
                 {"running_image", "fw-a"},
                 {"startup_image", "fw-b"},
                 {"partitions", json::array()}};
    for (int i = 0; i < partitions; i++)
        card["partitions"].push_back({{"id", 6 + i},
                                      {"name", i == 0 ? "fw-a" : "p" + std::to_string(i)},
                                      {"slot", i % 2},
                                      {"size", 4096},
                                      {"version", "v" + std::to_string(i)}});
    return card;
}

TEST(FleetPrometheus, InventoryGivesOneSeriesPerCardAndPartition) {
    json inv = {{"schema_version", 1},
                {"cards",
                 {answered_card("0000:03:00.0", 2),
                  {{"card", "0000:13:00.0"}, {"ok", false}, {"error", {{"code", "io"}, {"message", "x"}}}}}}};
    EXPECT_EQ(metrics(inv, 1796713200),
              "# HELP flash_update_card_info Identity and firmware image selection of a card that answered the "
              "last inventory.\n"
              "# TYPE flash_update_card_info gauge\n"
              "flash_update_card_info{card=\"0000:03:00.0\",serial_number=\"KX2412A0001\",board_id=\"0x00010042\","
              "asic=\"larch\",sw_version=\"larch-fw 2.14.0-E-42\",life_cycle=\"open\",running_image=\"fw-a\","
              "startup_image=\"fw-b\"} 1\n"
              "# HELP flash_update_partition_info Version each partition of a card holds.\n"
              "# TYPE flash_update_partition_info gauge\n"
              "flash_update_partition_info{card=\"0000:03:00.0\",partition=\"fw-a\",id=\"6\",slot=\"0\","
              "version=\"v0\"} 1\n"
              "flash_update_partition_info{card=\"0000:03:00.0\",partition=\"p1\",id=\"7\",slot=\"1\","
              "version=\"v1\"} 1\n"
              "# HELP flash_update_card_secure_boot_enabled Whether secure boot is enabled on the card.\n"
              "# TYPE flash_update_card_secure_boot_enabled gauge\n"
              "flash_update_card_secure_boot_enabled{card=\"0000:03:00.0\"} 1\n"
              "# HELP flash_update_card_inventory_success Whether the card answered the last inventory.\n"
              "# TYPE flash_update_card_inventory_success gauge\n"
              "flash_update_card_inventory_success{card=\"0000:03:00.0\"} 1\n"
              "flash_update_card_inventory_success{card=\"0000:13:00.0\"} 0\n"
              "# HELP flash_update_inventory_timestamp_seconds When the last inventory was taken.\n"
              "# TYPE flash_update_inventory_timestamp_seconds gauge\n"
              "flash_update_inventory_timestamp_seconds 1796713200\n");
}

struct escape_case_s {
    const char *name;
    json version;
    const char *label;
};

class FleetPrometheusEscape : public testing::TestWithParam<escape_case_s> {};

TEST_P(FleetPrometheusEscape, PartitionVersionLabel) {
    json card = answered_card("0000:03:00.0", 1);
    card["partitions"][0]["version"] = GetParam().version;
    const std::string text = metrics({{"cards", {card}}}, 0);
    const std::string want = std::string("id=\"6\",slot=\"0\",version=\"") + GetParam().label + "\"} 1\n";
    EXPECT_NE(text.find(want), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Labels, FleetPrometheusEscape,
    testing::Values(escape_case_s{"quote", "2.1 \"rc\"", "2.1 \\\"rc\\\""},
                    escape_case_s{"backslash", "a\\b", "a\\\\b"}, escape_case_s{"newline", "a\nb", "a\\nb"},
                    escape_case_s{"utf8_kept", "v\xC3\xA9", "v\xC3\xA9"},
                    escape_case_s{"stray_byte",
                                  std::string("v\xFF"
                                              "1"),
                                  "v\xEF\xBF\xBD"
                                  "1"},
                    escape_case_s{"cut_sequence", std::string("v\xE2\x82"), "v\xEF\xBF\xBD\xEF\xBF\xBD"},
                    escape_case_s{"overlong", std::string("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD"},
                    // Control bytes become the visible text \xHH, which the
                    // format carries with its backslash escaped.
                    escape_case_s{"clear_screen", "\x1b[2J\x1b[H2.15", "\\\\x1b[2J\\\\x1b[H2.15"},
                    escape_case_s{"carriage_return", "a\rb", "a\\\\x0db"}, escape_case_s{"tab", "a\tb", "a\\\\x09b"},
                    escape_case_s{"nul", std::string("a\0b", 3), "a\\\\x00b"},
                    escape_case_s{"del", "a\x7f", "a\\\\x7f"},
                    escape_case_s{"c1_csi",
                                  "\xC2\x9B"
                                  "31m",
                                  "\\\\xc2\\\\x9b31m"},
                    escape_case_s{"first_after_c1", "\xC2\xA0", "\xC2\xA0"}, escape_case_s{"number", 42, ""},
                    escape_case_s{"missing", nullptr, ""}),
    [](const testing::TestParamInfo<escape_case_s> &info) { return std::string(info.param.name); });

struct malformed_case_s {
    const char *name;
    json inventory;
};

class FleetPrometheusMalformed : public testing::TestWithParam<malformed_case_s> {};

// Whatever shape the document has, only what it carries is written and the
// file stays well formed.
TEST_P(FleetPrometheusMalformed, OnlyTheTimestamp) {
    EXPECT_EQ(metrics(GetParam().inventory, 7),
              "# HELP flash_update_inventory_timestamp_seconds When the last inventory was taken.\n"
              "# TYPE flash_update_inventory_timestamp_seconds gauge\n"
              "flash_update_inventory_timestamp_seconds 7\n");
}

INSTANTIATE_TEST_SUITE_P(Shapes, FleetPrometheusMalformed,
                         testing::Values(malformed_case_s{"array", json::array({1, 2})},
                                         malformed_case_s{"error_document", {{"error", {{"code", "io"}}}}},
                                         malformed_case_s{"cards_not_array", {{"cards", "x"}}},
                                         malformed_case_s{"card_not_object", {{"cards", {1, "a", nullptr}}}}),
                         [](const testing::TestParamInfo<malformed_case_s> &info) {
                             return std::string(info.param.name);
                         });

TEST(FleetPrometheus, CardWithoutIdentityOrPartitions) {
    json card = {{"card", "0000:03:00.0"}, {"ok", true}, {"partitions", "none"}};
    const std::string text = metrics({{"cards", {card}}}, 0);
    EXPECT_NE(
        text.find("flash_update_card_info{card=\"0000:03:00.0\",serial_number=\"\",board_id=\"0x00000000\",asic=\"\","
                  "sw_version=\"\",life_cycle=\"\",running_image=\"\",startup_image=\"\"} 1\n"),
        std::string::npos);
    EXPECT_EQ(text.find("flash_update_partition_info"), std::string::npos);
    EXPECT_NE(text.find("flash_update_card_secure_boot_enabled{card=\"0000:03:00.0\"} 0\n"), std::string::npos);
}

#ifdef FU_FLEET_PROMTOOL
TEST(FleetPrometheus, PromtoolAcceptsTwoCardsFile) {
    json inv = {{"schema_version", 1},
                {"cards", {answered_card("0000:03:00.0", 25), answered_card("0000:13:00.0", 25)}}};
    inv["cards"][1]["partitions"][3]["version"] = "odd \"v\"\\\n\xFF";
    inv["cards"][1]["partitions"][4]["version"] =
        "\x1b[2J\r\t\x7f\xC2\x9B"
        "1";
    char path[] = "/tmp/fu-fleet-prom-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << metrics(inv, 1796713200);
    const std::string cmd = std::string(FU_FLEET_PROMTOOL) + " check metrics < " + path + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string output;
    char buf[256];
    while (fgets(buf, sizeof buf, p) != nullptr)
        output += buf;
    const int status = pclose(p);
    unlink(path);
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(output, "");
}
#endif

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// The cards' documents: the exact text an inventory record writes (members
// in the documented order), the record read back from it, and what a strict
// read of a file's document refuses, with the member's place.
#include <gtest/gtest.h>

#include <string>

#include "card_documents.h"

namespace {

doc_card_s sample_card() {
    doc_card_s c;
    c.card = "0000:03:00.0";
    c.ok = true;
    c.identity = {"KX1", 0x10042, "larch", 5, "2.14", "open", true, "eng", 3, 2};
    c.running_image = "fw-a";
    c.startup_image = "fw-b";
    c.partitions = {{6, "fw-a", 2, "fw", 33554432, 0, true, false, "2.14"}};
    c.secure.lcs = {{}, "open", "open", 0x1};
    c.secure.bl1 = {{}, 0, 1, 7, 2, 3};
    c.secure.bl31.error = {DOC_ERROR_IO, "refused"};
    return c;
}

TEST(Documents, AnInventoryWritesItsMembersInTheDocumentedOrderAndReadsBack) {
    doc_inventory_s inv;
    inv.cards = {sample_card()};
    doc_card_s failed;
    failed.card = "0000:13:00.0";
    failed.error = {DOC_ERROR_TIMEOUT, "the card did not answer"};
    inv.cards.push_back(failed);
    const std::string text = doc_dump(doc_json(inv));
    EXPECT_EQ(text,
              R"({"schema_version":1,"cards":[{"card":"0000:03:00.0","ok":true,"identity":{"serial_number":"KX1",)"
              R"("board_id":"0x00010042","asic":"larch","ipc_version":5,"sw_version":"2.14","life_cycle":"open",)"
              R"("secure_boot":true,"key_name":"eng","cpld_version":3,"boot0_version":2},"running_image":"fw-a",)"
              R"("startup_image":"fw-b","partitions":[{"id":6,"name":"fw-a","type_id":2,"type_name":"fw",)"
              R"("size":33554432,"slot":0,"running":true,"startup":false,"version":"2.14"}],"secure":{"lcs":)"
              R"({"lcs_boot_state":"open","lcs_next_state":"open","fuse":"0x1"},"bl1":{"current_boot_partition":0,)"
              R"("next_boot_partition":1,"version":7,"ar_version":2,"ar_nv_count":3},"bl31":{"error":{"code":"io",)"
              R"("message":"refused"}},"bastion":{"current_boot_partition":0,"next_boot_partition":0,"version":0,)"
              R"("ar_version":0,"ar_nv_count":0}}},{"card":"0000:13:00.0","ok":false,"error":{"code":"timeout",)"
              R"("message":"the card did not answer"}}]})");
    doc_inventory_s back;
    std::string error;
    ASSERT_TRUE(doc_inventory_parse(doc_json::parse(text), &back, &error)) << error;
    EXPECT_EQ(doc_dump(doc_json(back)), text);
}

struct refusal_case_s {
    const char *name;
    const char *document;
    const char *error;
};

class DocumentsRefuse : public testing::TestWithParam<refusal_case_s> {};

TEST_P(DocumentsRefuse, NamesTheMember) {
    doc_inventory_s inv;
    std::string error;
    EXPECT_FALSE(doc_inventory_parse(doc_json::parse(GetParam().document), &inv, &error));
    EXPECT_EQ(error, GetParam().error);
    // Read leniently, the same document gives what has the right type.
    EXPECT_NO_FATAL_FAILURE((void)doc_json::parse(GetParam().document).get<doc_inventory_s>());
}

INSTANTIATE_TEST_SUITE_P(
    Strict, DocumentsRefuse,
    testing::Values(refusal_case_s{"no_cards", R"({"schema_version":1})",
                                   R"(is not an inventory document (no "cards" list))"},
                    refusal_case_s{"card_not_object", R"({"cards":[1]})", "cards[0] is not an object"},
                    refusal_case_s{"version_not_text", R"({"cards":[{"partitions":[{"version":7}]}]})",
                                   R"(cards[0].partitions[0]: "version" is not text)"},
                    refusal_case_s{"negative", R"({"cards":[{"identity":{"ipc_version":-1}}]})",
                                   R"(cards[0].identity: "ipc_version" is not a number)"},
                    refusal_case_s{"too_wide", R"({"cards":[{"identity":{"ipc_version":256}}]})",
                                   R"(cards[0].identity: "ipc_version" is out of range)"},
                    refusal_case_s{"flag", R"({"cards":[{"ok":"yes"}]})", R"(cards[0]: "ok" is not true or false)"},
                    refusal_case_s{"secure_not_object", R"({"cards":[{"secure":{"bl1":[]}}]})",
                                   R"(cards[0].secure: "bl1" is not an object)"}),
    [](const testing::TestParamInfo<refusal_case_s> &i) { return std::string(i.param.name); });

TEST(Documents, NumbersAsTextAndAbsentMembersTakeTheDefaults) {
    doc_card_s defaults;
    defaults.identity.ipc_version = 5;
    defaults.identity.life_cycle = "open";
    doc_inventory_s inv;
    std::string error;
    ASSERT_TRUE(
        doc_inventory_parse(doc_json::parse(R"({"cards":[{"ok":true,"secure":{"bl1":{"version":"0x20003000100"}}}]})"),
                            &inv, &error, &defaults))
        << error;
    ASSERT_EQ(inv.cards.size(), 1u);
    EXPECT_EQ(inv.cards[0].secure.bl1.version, 0x20003000100u);
    EXPECT_EQ(inv.cards[0].identity.ipc_version, 5u);
    EXPECT_EQ(inv.cards[0].identity.life_cycle, "open");
}

TEST(Documents, BoundedParseCountsNestingOutsideStrings) {
    doc_json doc;
    std::string error;
    EXPECT_FALSE(doc_parse_bounded(std::string(65, '[') + std::string(65, ']'), &doc, &error));
    EXPECT_EQ(error, "nests deeper than 64 levels");
    EXPECT_TRUE(doc_parse_bounded("[\"" + std::string(100, '[') + "\"]", &doc, &error));
    EXPECT_FALSE(doc_parse_bounded("{", &doc, &error));
    EXPECT_EQ(error, "is not JSON");
}

}  // namespace

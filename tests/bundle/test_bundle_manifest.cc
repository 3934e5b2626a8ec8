// SPDX-License-Identifier: Apache-2.0
// The manifest in-process: its exact form, every refusal with its check and
// line, the inventory fields rules may name, rules and compatibility
// against a card's inventory entry.
#include <gtest/gtest.h>

#include "bundle_test_util.h"

namespace {

using bundle_test::k_manifest;

doc_json example() {
    return doc_json::parse(k_manifest);
}

TEST(BundleManifest, ReadsTheExampleAndWritesItsMembersInTheDocumentedOrder) {
    bundle_manifest_s m;
    bundle_error_s error;
    ASSERT_TRUE(bundle_manifest_parse(k_manifest, false, &m, &error)) << error.message;
    EXPECT_EQ(doc_dump(doc_json(m)),
              R"({"bundle_format":1,"release":{"name":"larch-fw","version":"2.15.0"},)"
              R"("compatible":{"boards":["0x00010042"],"asics":["larch"]},)"
              R"("requires":[{"id":"lc-not-rip","field":"identity.life_cycle","op":"ne","value":"rip"},)"
              R"({"id":"layout-5","field":"identity.ipc_version","op":"ge","value":5}],)"
              R"("components":[{"file":"fw.bin","target":["fw-a","fw-b"],"version":"2.15.0-E-3"},)"
              R"({"file":"dtb.bin","target":["dtb","dtb-b"]},{"file":"cpld.bin","target":"cpld"}]})");
    bundle_manifest_s back = doc_json(m).get<bundle_manifest_s>();
    EXPECT_EQ(doc_dump(doc_json(back)), doc_dump(doc_json(m)));
}

struct refusal_s {
    const char *name;
    void (*change)(doc_json &m);
    const char *check;
    const char *message;
    bool require_digests = false;
};
void PrintTo(const refusal_s &c, std::ostream *os) {
    *os << c.name;
}

const refusal_s k_refusals[] = {
    {"NoFormat", [](doc_json &m) { m.erase("bundle_format"); }, "format", "manifest.json: bundle_format is missing"},
    {"FormatTwo", [](doc_json &m) { m["bundle_format"] = 2; }, "format",
     "manifest.json: bundle_format is not 1, the one this program reads"},
    {"FormatText", [](doc_json &m) { m["bundle_format"] = "1"; }, "format",
     "manifest.json: bundle_format is not a number"},
    {"NotAnObject", [](doc_json &m) { m = doc_json::array(); }, "manifest",
     "manifest.json: the manifest is not a JSON object"},
    {"NoRelease", [](doc_json &m) { m.erase("release"); }, "manifest", "manifest.json: release is missing"},
    {"VersionNotText", [](doc_json &m) { m["release"]["version"] = 2; }, "manifest",
     "manifest.json: release.version is not text"},
    {"EmptyName", [](doc_json &m) { m["release"]["name"] = ""; }, "manifest", "manifest.json: release.name is empty"},
    {"NoBoards", [](doc_json &m) { m["compatible"]["boards"] = doc_json::array(); }, "manifest",
     "manifest.json: compatible.boards is empty; a bundle names the boards it is for"},
    {"NoAsics", [](doc_json &m) { m["compatible"].erase("asics"); }, "manifest",
     "manifest.json: compatible.asics is missing"},
    {"BoardNotANumber", [](doc_json &m) { m["compatible"]["boards"][0] = "larch"; }, "manifest",
     R"(manifest.json: compatible.boards[0] "larch" is not a board id (a number such as "0x00010042"))"},
    {"NoComponents", [](doc_json &m) { m["components"] = doc_json::array(); }, "manifest",
     "manifest.json: components is empty"},
    {"ComponentNotObject", [](doc_json &m) { m["components"][1] = "dtb.bin"; }, "manifest",
     "manifest.json: components[1] is not an object"},
    {"TargetNumber", [](doc_json &m) { m["components"][2]["target"] = 17; }, "manifest",
     "manifest.json: components[2].target is neither a partition name nor a list of partition names"},
    {"SizeNegative", [](doc_json &m) { m["components"][0]["size"] = -1; }, "manifest",
     "manifest.json: components[0].size is not a whole number of bytes"},
    {"FileClimbs", [](doc_json &m) { m["components"][0]["file"] = "../fw.bin"; }, "file_name",
     R"(manifest.json: components[0] file "../fw.bin" is not a plain file name)"},
    {"FileInDirectory", [](doc_json &m) { m["components"][0]["file"] = "img/fw.bin"; }, "file_name",
     R"(manifest.json: components[0] file "img/fw.bin" is not a plain file name)"},
    {"FileIsTheManifest", [](doc_json &m) { m["components"][1]["file"] = "manifest.json"; }, "file_name",
     R"(manifest.json: components[1] file "manifest.json" is not a plain file name)"},
    {"SameFileTwice", [](doc_json &m) { m["components"][2]["file"] = "fw.bin"; }, "duplicate_component",
     R"(manifest.json: components[2] "fw.bin" names a file an earlier component names)"},
    {"TargetsOverlap", [](doc_json &m) { m["components"][2]["target"] = "dtb-b"; }, "duplicate_component",
     R"(manifest.json: components[2] "cpld.bin" and components[1] "dtb.bin" both target dtb-b)"},
    {"UnknownPartition", [](doc_json &m) { m["components"][2]["target"] = "cpld-x"; }, "unknown_partition",
     R"(manifest.json: components[2] "cpld.bin" targets "cpld-x", which is no partition)"},
    {"UnknownInFamily", [](doc_json &m) { m["components"][0]["target"][1] = "fw-c"; }, "unknown_partition",
     R"(manifest.json: components[0] "fw.bin" targets "fw-c", which is no partition)"},
    {"FamilyOfTwoKinds", [](doc_json &m) { m["components"][0]["target"][1] = "uboot-b"; }, "family",
     R"(manifest.json: components[0] "fw.bin" targets ["fw-a","uboot-b"], which is not one A/B pair (fw-a/fw-b, )"
     R"(uboot-a/uboot-b, dtb/dtb-b, fw_cfg/fw_cfg-b, a35-bl1-0/a35-bl1-1, bastionfw-0/bastionfw-1, softrom-0/softrom-1))"},
    {"FamilyOfOne", [](doc_json &m) { m["components"][2]["target"] = {"cpld"}; }, "family",
     R"(manifest.json: components[2] "cpld.bin" targets ["cpld"], which is not one A/B pair (fw-a/fw-b, )"
     R"(uboot-a/uboot-b, dtb/dtb-b, fw_cfg/fw_cfg-b, a35-bl1-0/a35-bl1-1, bastionfw-0/bastionfw-1, softrom-0/softrom-1))"},
    {"CpldGroupIsNoFamily",
     [](doc_json &m) {
         m["components"][2]["target"] = {"cpld", "cpld-g"};
     },
     "family",
     R"(manifest.json: components[2] "cpld.bin" targets ["cpld","cpld-g"], which is not one A/B pair (fw-a/fw-b, )"
     R"(uboot-a/uboot-b, dtb/dtb-b, fw_cfg/fw_cfg-b, a35-bl1-0/a35-bl1-1, bastionfw-0/bastionfw-1, softrom-0/softrom-1))"},
    {"UnknownOp", [](doc_json &m) { m["requires"][0]["op"] = "gt"; }, "rule",
     R"(manifest.json: requires[0] "lc-not-rip" has the op "gt", not one of eq, ne, in, ge, le)"},
    {"InWithoutList", [](doc_json &m) { m["requires"][0]["op"] = "in"; }, "rule",
     R"(manifest.json: requires[0] "lc-not-rip" uses "in" without a list of values)"},
    {"GeWithText", [](doc_json &m) { m["requires"][1]["value"] = "5"; }, "rule",
     R"(manifest.json: requires[1] "layout-5" uses "ge" without a whole number)"},
    {"LeNegative",
     [](doc_json &m) {
         m["requires"][1] = {{"id", "x"}, {"field", "identity.ipc_version"}, {"op", "le"}, {"value", -1}};
     },
     "rule", R"(manifest.json: requires[1] "x" uses "le" without a whole number)"},
    {"RuleIdTwice", [](doc_json &m) { m["requires"][1]["id"] = "lc-not-rip"; }, "rule",
     R"(manifest.json: requires[1] repeats the id "lc-not-rip")"},
    {"RuleWithoutValue", [](doc_json &m) { m["requires"][0].erase("value"); }, "rule",
     "manifest.json: requires[0].value is missing"},
    {"FieldNotInIdentity", [](doc_json &m) { m["requires"][0]["field"] = "identity.colour"; }, "rule_field",
     R"(manifest.json: requires[0] "lc-not-rip" names "identity.colour", which no card's inventory has)"},
    {"FieldOfUnknownPartition", [](doc_json &m) { m["requires"][0]["field"] = "partitions.fw-c.version"; },
     "rule_field",
     R"(manifest.json: requires[0] "lc-not-rip" names "partitions.fw-c.version", which no card's inventory has)"},
    {"FieldNotOfPartitions", [](doc_json &m) { m["requires"][0]["field"] = "partitions.fw-a.colour"; }, "rule_field",
     R"(manifest.json: requires[0] "lc-not-rip" names "partitions.fw-a.colour", which no card's inventory has)"},
    {"FieldOfUnknownSecure", [](doc_json &m) { m["requires"][0]["field"] = "secure.tpm.version"; }, "rule_field",
     R"(manifest.json: requires[0] "lc-not-rip" names "secure.tpm.version", which no card's inventory has)"},
    {"FieldAnObject", [](doc_json &m) { m["requires"][0]["field"] = "identity"; }, "rule_field",
     R"(manifest.json: requires[0] "lc-not-rip" names "identity", which no card's inventory has)"},
    {"SignedWithoutSize", [](doc_json &) {}, "size",
     R"(manifest.json: components[0] "fw.bin" has no size; a signed bundle needs one)", true},
    {"SignedWithoutDigest",
     [](doc_json &m) {
         for (auto &c : m["components"])
             c["size"] = 1;
     },
     "sha512", R"(manifest.json: components[0] "fw.bin" has no sha512; a signed bundle needs one)", true},
    {"DigestUpperCase", [](doc_json &m) { m["components"][1]["sha512"] = std::string(128, 'A'); }, "sha512",
     R"(manifest.json: components[1] "dtb.bin" has a sha512 that is not 128 lower-case hex digits)"},
};

class BundleManifestRefuses : public testing::TestWithParam<refusal_s> {};

TEST_P(BundleManifestRefuses, WithItsCheckAndOneLine) {
    doc_json m = example();
    GetParam().change(m);
    bundle_manifest_s out;
    bundle_error_s error;
    EXPECT_FALSE(bundle_manifest_parse(m.dump(), GetParam().require_digests, &out, &error));
    EXPECT_EQ(error.check, GetParam().check);
    EXPECT_EQ(error.message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Cases, BundleManifestRefuses, testing::ValuesIn(k_refusals),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(BundleManifest, RefusesTextThatIsNotJsonOrOverOneMebibyte) {
    bundle_manifest_s m;
    bundle_error_s error;
    EXPECT_FALSE(bundle_manifest_parse("{\"bundle_format\": 1", false, &m, &error));
    EXPECT_EQ(error.check, "manifest");
    EXPECT_EQ(error.message, "manifest.json is not JSON");
    std::string big = k_manifest;
    big.append(BUNDLE_MANIFEST_MAX + 1 - big.size(), ' ');
    EXPECT_FALSE(bundle_manifest_parse(big, false, &m, &error));
    EXPECT_EQ(error.message, "manifest.json holds 1048577 bytes, more than a manifest may (1 MiB)");
    big.pop_back();
    EXPECT_TRUE(bundle_manifest_parse(big, false, &m, &error)) << error.message;
}

TEST(BundleManifest, RulesMayNameEveryValueOfAnInventoryEntryAndNothingElse) {
    for (const char *field :
         {"identity.board_id", "identity.life_cycle", "running_image", "startup_image", "partitions.uboot-a.version",
          "partitions.boot-fault-log.size", "partitions.boot_fault_log.version", "secure.lcs.fuse",
          "secure.bl1.ar_version", "secure.bl31.version"})
        EXPECT_TRUE(bundle_field_exists(field)) << field;
    for (const char *field : {"", "card", "ok", "identity", "identity.", "partitions.fw-a", "partitions.unknown.size",
                              "partitions..size", "secure.bl31.ar_version", "secure.lcs.error", "identity.asic.x"})
        EXPECT_FALSE(bundle_field_exists(field)) << field;
}

doc_card_s sample_card() {
    doc_card_s c;
    c.card = "0000:03:00.0";
    c.ok = true;
    c.identity = {"KX1", 0x10042, "larch", 5, "2.14", "open", true, "eng", 3, 2};
    c.running_image = "fw-a";
    c.startup_image = "fw-a";
    c.partitions = {{4, "uboot-a", 3, "uboot", 2097152, 0, false, false, "uboot-2023.04"},
                    {6, "fw-a", 4, "firmware", 33554432, 0, true, true, "2.14.0-E-42"},
                    {7, "fw-b", 4, "firmware", 33554432, 1, false, false, "2.13.2-E-17"},
                    {8, "dtb", 5, "dtb", 262144, 0, false, false, "dtb-1.6.0"},
                    {9, "dtb-b", 6, "dtb", 262144, 1, false, false, "dtb-1.6.0"},
                    {23, "boot_fault_log", 12, "log", 262144, 0, false, false, "log-1"}};
    c.secure.lcs = {{}, "open", "open", 0x1};
    c.secure.bl31.error = {DOC_ERROR_IO, "refused"};
    return c;
}

struct rule_case_s {
    const char *field;
    const char *op;
    const char *value;  // JSON
    const char *fact;   // JSON
    bool pass;
};
void PrintTo(const rule_case_s &c, std::ostream *os) {
    *os << c.op << " " << c.field;
}

const rule_case_s k_rules[] = {
    {"identity.asic", "eq", R"("larch")", R"("larch")", true},
    {"identity.asic", "eq", R"("Larch")", R"("larch")", false},
    {"identity.board_id", "eq", R"("0x10042")", R"("0x00010042")", true},
    {"identity.secure_boot", "eq", "true", "true", true},
    {"identity.life_cycle", "ne", R"("rip")", R"("open")", true},
    {"identity.life_cycle", "ne", R"("open")", R"("open")", false},
    {"identity.life_cycle", "in", R"(["secure","open"])", R"("open")", true},
    {"identity.life_cycle", "in", R"(["rip"])", R"("open")", false},
    {"identity.ipc_version", "ge", "5", "5", true},
    {"identity.ipc_version", "ge", "6", "5", false},
    {"identity.ipc_version", "le", "5", "5", true},
    {"identity.ipc_version", "le", "4", "5", false},
    {"secure.lcs.fuse", "ge", "1", R"("0x1")", true},
    {"identity.asic", "ge", "1", R"("larch")", false},
    {"partitions.uboot-a.version", "eq", R"("uboot-2023.04")", R"("uboot-2023.04")", true},
    {"partitions.fw-b.version", "ne", R"("2.15.0-E-3")", R"("2.13.2-E-17")", true},
    {"partitions.boot-fault-log.size", "ge", "262144", "262144", true},
    {"partitions.uboot-b.version", "ne", R"("x")", "null", false},
    {"secure.bl31.version", "eq", R"("2.9")", "null", false},
    {"running_image", "in", R"(["fw-a","fw-b"])", R"("fw-a")", true},
};

class BundleRules : public testing::TestWithParam<rule_case_s> {};

TEST_P(BundleRules, GiveTheCardsFactAndWhetherItHolds) {
    const rule_case_s &t = GetParam();
    bundle_manifest_s m;
    m.rules = {{"r", t.field, t.op, doc_json::parse(t.value)}};
    const std::vector<bundle_rule_result_s> results = bundle_rules_evaluate(m, sample_card());
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(doc_dump(results[0].fact), t.fact);
    EXPECT_EQ(results[0].pass, t.pass);
}

INSTANTIATE_TEST_SUITE_P(Cases, BundleRules, testing::ValuesIn(k_rules), [](const auto &info) {
    std::string name = std::string(info.param.op) + "_" + info.param.field + "_" + std::to_string(info.index);
    for (char &c : name)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
});

TEST(BundleRules, ReportEachRuleInTheManifestsOrder) {
    bundle_manifest_s m;
    bundle_error_s error;
    ASSERT_TRUE(bundle_manifest_parse(k_manifest, false, &m, &error));
    doc_card_s rip = sample_card();
    rip.identity.life_cycle = "rip";
    EXPECT_EQ(doc_dump(doc_json(bundle_rules_evaluate(m, rip))),
              R"([{"id":"lc-not-rip","field":"identity.life_cycle","op":"ne","value":"rip","fact":"rip","pass":false},)"
              R"({"id":"layout-5","field":"identity.ipc_version","op":"ge","value":5,"fact":5,"pass":true}])");
}

TEST(BundleRules, ACardIsCompatibleWhenBothItsBoardAndItsAsicAreListed) {
    bundle_manifest_s m;
    m.compatible = {{"0x10042", "0x00020001"}, {"larch", "birch"}};
    doc_card_s card = sample_card();
    EXPECT_EQ(doc_dump(doc_json(bundle_compatible(m, card))),
              R"({"board_id":"0x00010042","board_listed":true,"asic":"larch","asic_listed":true,"compatible":true})");
    card.identity.board_id = 0x10043;
    EXPECT_FALSE(bundle_compatible(m, card).board_listed);
    EXPECT_TRUE(bundle_compatible(m, card).asic_listed);
    card = sample_card();
    card.identity.asic = "oak";
    EXPECT_FALSE(bundle_compatible(m, card).compatible());
    card = sample_card();
    card.ok = false;  // did not answer
    EXPECT_FALSE(bundle_compatible(m, card).compatible());
}

bundle_component_s family(const char *file, const char *a, const char *b) {
    bundle_component_s c;
    c.file = file;
    c.target = {a, b};
    c.family = true;
    return c;
}

TEST(BundleManifest, AFamilyMustBeOnePairOnTheCard) {
    doc_card_s card = sample_card();
    bundle_error_s error;
    EXPECT_TRUE(bundle_target_on_card(family("fw.bin", "fw-a", "fw-b"), card, &error));
    EXPECT_FALSE(bundle_target_on_card(family("u.bin", "uboot-a", "uboot-b"), card, &error));
    EXPECT_EQ(error.check, "card_partition");
    EXPECT_EQ(error.message, "u.bin: the card has no partition uboot-b");
    EXPECT_FALSE(bundle_target_on_card(family("dtb.bin", "dtb", "dtb-b"), card, &error));
    EXPECT_EQ(error.check, "family");
    EXPECT_EQ(error.message, "dtb.bin: the card's dtb and dtb-b are not one A/B pair (types 5 and 6, slots 0 and 1)");
}

}  // namespace

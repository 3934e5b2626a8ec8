// SPDX-License-Identifier: Apache-2.0
// The text output of inventory, update and rollback: every text a card (or
// an operator) hands in reaches the terminal visibly escaped, byte for byte,
// in every place the renderers show one, and the layout around it holds.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "flashctl.h"

namespace {

struct card_text_case_s {
    const char *name;
    std::string text;   // as the card sends it
    std::string shown;  // as the terminal receives it
};

void PrintTo(const card_text_case_s &c, std::ostream *os) {
    *os << c.name;
}

class FlashctlText : public testing::TestWithParam<card_text_case_s> {};

doc_inventory_s inventory_of(const std::string &t) {
    doc_card_s ok;
    ok.card = "0000:03:00.0";
    ok.ok = true;
    ok.identity.serial_number = t;
    ok.identity.board_id = 0x00010042;
    ok.identity.asic = "larch";
    ok.identity.ipc_version = 5;
    ok.identity.sw_version = t;
    ok.identity.life_cycle = "open";
    ok.identity.secure_boot = true;
    ok.identity.key_name = t;
    ok.running_image = "fw-a";
    ok.startup_image = "fw-b";
    ok.partitions = {{6, t, 0, "", 4096, 0, true, false, t}};
    ok.secure.lcs.error = {DOC_ERROR_IO, t};
    ok.secure.bl1.ar_version = 3;
    ok.secure.bl31.version = t;
    doc_card_s failed;
    failed.card = t;
    failed.error = {DOC_ERROR_INVALID_CARD, t};
    doc_inventory_s inv;
    inv.cards = {ok, failed};
    return inv;
}

// The expected text: each '@' stands for the shown text, each '#' for the
// same padded to a 16-column field.
std::string expected(const char *layout, const std::string &shown) {
    std::string out;
    for (const char *c = layout; *c != '\0'; ++c) {
        if (*c == '@')
            out += shown;
        else if (*c == '#')
            out += shown + std::string(shown.size() < 16 ? 16 - shown.size() : 0, ' ');
        else
            out += *c;
    }
    return out;
}

TEST_P(FlashctlText, Inventory) {
    EXPECT_EQ(fc_inventory_text(inventory_of(GetParam().text)),
              expected("card 0000:03:00.0\n"
                       "  serial @  board 0x00010042  asic larch  ipc 5  sw @\n"
                       "  life cycle open  secure boot on  key @\n"
                       "  running fw-a  startup fw-b\n"
                       "  id  name             size         slot  r/s  version\n"
                       "  6   # 4096         0     R-   @\n"
                       "  secure lcs: error: @\n"
                       "  secure bl1: current_boot_partition 0, next_boot_partition 0, version 0, ar_version 3, "
                       "ar_nv_count 0\n"
                       "  secure bl31: version @\n"
                       "  secure bastion: current_boot_partition 0, next_boot_partition 0, version 0, ar_version 0, "
                       "ar_nv_count 0\n"
                       "card @\n"
                       "  error: @\n",
                       GetParam().shown));
}

TEST_P(FlashctlText, Update) {
    const std::string &t = GetParam().text;
    fc_update_report_s rep;
    rep.card = "0000:03:00.0";
    rep.partition = t;
    rep.image_path = "/img/" + t;
    rep.image_size = 4096;
    rep.before = {true, t, "fw-a", "fw-a"};
    rep.after = {true, t, "fw-a", "fw-b"};
    rep.phases = {{"plan", FC_PHASE_OK, 0.01}, {"erase", FC_PHASE_SKIPPED, 0}};
    rep.result = FC_RESULT_FAILED;
    rep.error = {DOC_ERROR_FAILED, "the card answered " + t};
    EXPECT_EQ(fc_update_text(rep), expected("card 0000:03:00.0 partition @ image /img/@ (4096 bytes)\n"
                                            "before: version @, running fw-a, startup fw-a\n"
                                            "  plan              ok          0.01 s\n"
                                            "after: version @, running fw-a, startup fw-b\n"
                                            "result: failed (partition untouched)\n"
                                            "error: the card answered @\n",
                                            GetParam().shown));
}

TEST_P(FlashctlText, Rollback) {
    fc_rollback_report_s rep;
    rep.card = GetParam().text;
    rep.from = "fw-a";
    rep.to = "fw-b";
    rep.dry_run = true;
    rep.result = FC_RESULT_REFUSED;
    rep.error = {DOC_ERROR_REFUSED, GetParam().text};
    EXPECT_EQ(fc_rollback_text(rep), expected("card @: startup fw-a -> fw-b (dry run)\n"
                                              "result: refused\n"
                                              "error: @\n",
                                              GetParam().shown));
}

INSTANTIATE_TEST_SUITE_P(
    CardTexts, FlashctlText,
    testing::Values(card_text_case_s{"plain", "2.14.0-E-42", "2.14.0-E-42"},
                    card_text_case_s{"utf8_kept", "v\xC3\xA9 \xE2\x82\xAC", "v\xC3\xA9 \xE2\x82\xAC"},
                    card_text_case_s{"clear_screen", "\x1b[2J\x1b[H2.15.0", "\\x1b[2J\\x1b[H2.15.0"},
                    card_text_case_s{"window_title", "\x1b]0;ok\x07", "\\x1b]0;ok\\x07"},
                    card_text_case_s{"carriage_return", "2.13.2\r2.15.0", "2.13.2\\x0d2.15.0"},
                    card_text_case_s{"tab", "a\tb", "a\\x09b"}, card_text_case_s{"line_break", "a\nb", "a\\x0ab"},
                    card_text_case_s{"nul", std::string("a\0b", 3), "a\\x00b"},
                    card_text_case_s{"del", "a\x7f", "a\\x7f"},
                    card_text_case_s{"c1_csi",
                                     "\xC2\x9B"
                                     "31m",
                                     "\\xc2\\x9b31m"},
                    card_text_case_s{"first_after_c1", "\xC2\xA0", "\xC2\xA0"},
                    card_text_case_s{"backslash", "a\\b", "a\\\\b"},
                    card_text_case_s{"escape_lookalike", "\\x1b", "\\\\x1b"},
                    card_text_case_s{"stray_byte",
                                     "v\xFF"
                                     "1",
                                     "v\\xff1"},
                    card_text_case_s{"cut_sequence", "v\xE2\x82", "v\\xe2\\x82"},
                    card_text_case_s{"overlong", "\xC0\xAF", "\\xc0\\xaf"},
                    card_text_case_s{"surrogate", "\xED\xA0\x80", "\\xed\\xa0\\x80"}),
    [](const testing::TestParamInfo<card_text_case_s> &info) { return std::string(info.param.name); });

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// The misc nodes' direct channel: a command the launcher runs reaches the
// misc nodes through it, and every exchange gives the bytes, lengths and
// errors that umockdev's emulation of the node alone gives (the serve mode's
// environment, here a command with the channel's library taken out of its
// preload list).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_harness.h"

namespace {

const char *const k_without_channel =
    "LD_PRELOAD=$(echo \"$LD_PRELOAD\" | tr ':' '\\n' | grep -v libfu-vcard-misc | paste -sd: -) ";

std::string quoted(const std::vector<std::string> &words) {
    std::string out;
    for (const std::string &w : words)
        out += " '" + w + "'";
    return out;
}

e2e_result_s probe(const e2e_card_s &card, const std::vector<std::string> &args, bool channel,
                   const std::vector<std::string> &faults) {
    e2e_options_s o;
    o.faults = faults;
    return e2e_run_command(
        card, {"/bin/sh", "-c", std::string(channel ? "" : k_without_channel) + e2e_probe_path() + quoted(args)}, o);
}

TEST(E2eMiscChannel, LaunchedCommandsPreloadItAndEachMiscNodeHasOne) {
    e2e_card_guard g;
    e2e_result_s r = e2e_run_command(
        g.card,
        {"/bin/sh", "-c", "echo \"$LD_PRELOAD\" | cut -d: -f1 | sed 's|.*/||'; ls \"$UMOCKDEV_DIR/vcard-misc\""});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "libfu-vcard-misc.so\nvelaipcdev\nvelaipcdev0\n");
}

struct channel_case {
    const char *name;
    std::vector<std::string> args;
    std::vector<std::string> faults;
    const char *out;  // what both paths print
};

class E2eMiscChannelAlike : public ::testing::TestWithParam<channel_case> {};

TEST_P(E2eMiscChannelAlike, AnswersAsUmockdevAlone) {
    const channel_case &c = GetParam();
    e2e_card_guard g;
    e2e_result_s direct = probe(g.card, c.args, true, c.faults);
    e2e_result_s alone = probe(g.card, c.args, false, c.faults);
    ASSERT_EQ(direct.status, 0) << direct.err;
    ASSERT_EQ(alone.status, 0) << alone.err;
    EXPECT_EQ(direct.out, c.out);
    EXPECT_EQ(alone.out, c.out);
}

const std::string k_long_request(2 * 1030, '0');  // 1046 bytes framed: the driver takes 1040

INSTANTIATE_TEST_SUITE_P(
    Exchanges, E2eMiscChannelAlike,
    ::testing::Values(channel_case{"one_write_one_read",
                                   {"misc", "/dev/velaipcdev0", "12", "0x10001", "01000000"},
                                   {},
                                   "write 20 errno 0\nread 20 03000c00000000004950434d0101010000000000\n"},
                      channel_case{"default_node",
                                   {"misc", "/dev/velaipcdev", "12", "0x10001", "00000000"},
                                   {},
                                   "write 20 errno 0\nread 20 03000c00000000004950434d0101010000000000\n"},
                      channel_case{
                          "answers_wait_in_order",
                          {"queue", "/dev/velaipcdev0", "12", "0x10001", "01000000", "0x10004", "03000000"},
                          {},
                          "write 20 errno 0\nwrite 20 errno 0\nread 20 03000c00000000004950434d0101010000000000\n"
                          "read 17 03010900160000004950434d0101040000\n"},
                      channel_case{"no_answer_fails_the_read",
                                   {"misc", "/dev/velaipcdev0", "12", "0x10001", "01000000"},
                                   {"*:no-answer"},
                                   "write 20 errno 0\nread -1 errno 5\n"},
                      channel_case{"short_answer",
                                   {"misc", "/dev/velaipcdev0", "12", "0x10001", "01000000"},
                                   {"*:short"},
                                   "write 20 errno 0\nread 5 03000c0000\n"},
                      channel_case{"another_endpoint",
                                   {"misc", "/dev/velaipcdev0", "7", "0x10001", "01000000"},
                                   {},
                                   "write 20 errno 0\nread 16 0300080006000000"
                                   "4950434d01010100\n"},
                      channel_case{"message_longer_than_the_driver_takes",
                                   {"misc", "/dev/velaipcdev0", "12", "0x10003", k_long_request},
                                   {},
                                   "write -1 errno 22\n"}),
    [](const ::testing::TestParamInfo<channel_case> &info) { return std::string(info.param.name); });

}  // namespace

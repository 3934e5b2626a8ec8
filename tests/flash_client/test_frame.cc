// SPDX-License-Identifier: Apache-2.0
// The client's common frame in-process: scratch prefix, simulated init
// failure, trace hook and its level gate, the lazy open step and the
// timestamp. The transport's open/close and the clock are replaced through
// the client's seams.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "rfc_internal.h"

// ---- the client's seams ----------------------------------------------------------

namespace {

struct fake_transport_s {
    bool forward = false;  // hand opens to the real transport
    int32_t open_result = 0;
    std::vector<std::string> open_addresses;  // "<null>" for a null address
    int close_calls = 0;
};
fake_transport_s g_fake;

timeval g_pinned_time{};

}  // namespace

int32_t fake_nic_ipc_open(nic_ipc_handle_s *handle, const char *card_bdf) {
    g_fake.open_addresses.emplace_back(card_bdf != nullptr ? card_bdf : "<null>");
    if (g_fake.forward) {
        return nic_ipc_open(handle, card_bdf);
    }
    return g_fake.open_result;
}

int32_t fake_nic_ipc_close(nic_ipc_handle_s *) {
    ++g_fake.close_calls;
    return 0;
}

int pinned_clock(timeval *now) {
    *now = g_pinned_time;
    return 0;
}

// ---- trace capture ------------------------------------------------------------

namespace {

struct trace_call_s {
    void *ctxt;
    int level;
    std::string text;
};

std::vector<trace_call_s> g_calls_a;
std::vector<trace_call_s> g_calls_b;

void record(std::vector<trace_call_s> &calls, void *ctxt, int level, const char *fmt, va_list args) {
    char text[1024];
    vsnprintf(text, sizeof(text), fmt, args);
    calls.push_back({ctxt, level, text});
}

int capture_a(void *ctxt, int level, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    record(g_calls_a, ctxt, level, fmt, args);
    va_end(args);
    return 0;
}

int capture_b(void *ctxt, int level, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    record(g_calls_b, ctxt, level, fmt, args);
    va_end(args);
    return 0;
}

constexpr time_t k_pinned_seconds = 1700000000;

// The date part every message carries while the clock is pinned.
std::string local_date(time_t seconds) {
    tm local{};
    localtime_r(&seconds, &local);
    char text[64];
    strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

rfc_init_params_s make_params(const char *bdf, int32_t level = TRACE_LEVEL_DEBUG, rfc_trace_cb_t cb = capture_a,
                              void *ctxt = nullptr, const char *scratch_dir = "/tmp/korvex/") {
    rfc_init_params_s params;
    memset(&params, 0, sizeof(params));
    strncpy(params.bdf, bdf, sizeof(params.bdf) - 1);
    strncpy(params.scratch_dir, scratch_dir, sizeof(params.scratch_dir) - 1);
    params.trace_level = level;
    params.trace_cb = cb;
    params.trace_cb_ctxt = ctxt;
    return params;
}

class ClientFrame : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("RFC_TEST_ENV");
        unsetenv("CRD_BDF");
        g_fake = fake_transport_s{};
        g_calls_a.clear();
        g_calls_b.clear();
        g_pinned_time = {k_pinned_seconds, 5};
        g_rfc_ipc_open = fake_nic_ipc_open;
        g_rfc_ipc_close = fake_nic_ipc_close;
        g_rfc_clock = pinned_clock;
        // Each test starts from a thread's first state.
        g_rfc_opened = false;
        g_rfc_test_env = 0;
        g_rfc_prefix[0] = '\0';
    }
    void TearDown() override {
        unsetenv("RFC_TEST_ENV");
        unsetenv("CRD_BDF");
        g_rfc_ipc_open = nic_ipc_open;
        g_rfc_ipc_close = nic_ipc_close;
        g_rfc_clock = [](timeval *now) { return gettimeofday(now, nullptr); };
        g_rfc_trace_cb = nullptr;
        g_rfc_opened = false;
        g_rfc_test_env = 0;
    }

    int init(const char *bdf, int32_t level = TRACE_LEVEL_DEBUG, rfc_trace_cb_t cb = capture_a, void *ctxt = nullptr) {
        rfc_init_params_s params = make_params(bdf, level, cb, ctxt);
        return rfc_init(&params);
    }

    static std::string message(const char *text) { return "[" + local_date(k_pinned_seconds) + ".5] " + text; }
};

// ---- scratch prefix and output paths ----------------------------------------

TEST_F(ClientFrame, PrefixJoinsScratchDirAndBdfWithSlashes) {
    ASSERT_EQ(init("0000:03:00.0"), 0);
    EXPECT_STREQ(g_rfc_prefix, "/tmp/korvex//0000:03:00.0/");
    EXPECT_EQ(rfc_output_path("card_info"), "/tmp/korvex//0000:03:00.0/card_info.txt");
    EXPECT_EQ(rfc_output_path("fw-a", "_signed.txt"), "/tmp/korvex//0000:03:00.0/fw-a_signed.txt");
}

TEST_F(ClientFrame, OutputPathIsCutAt127Characters) {
    const std::string dir(150, 'd');
    rfc_init_params_s params = make_params("0000:03:00.0", TRACE_LEVEL_DEBUG, capture_a, nullptr, dir.c_str());
    ASSERT_EQ(rfc_init(&params), 0);
    const std::string full = dir + "/0000:03:00.0/partition_info.txt";
    EXPECT_EQ(rfc_output_path("partition_info"), full.substr(0, 127));
}

TEST_F(ClientFrame, PrefixReadsNoFurtherThanAnUnterminatedBdfField) {
    rfc_init_params_s params = make_params("", TRACE_LEVEL_DEBUG, capture_a, nullptr, "/s");
    memset(params.bdf, 'b', sizeof(params.bdf));  // no terminator: scratch_dir follows in memory
    ASSERT_EQ(rfc_init(&params), 0);
    EXPECT_EQ(std::string(g_rfc_prefix), "/s/" + std::string(sizeof(params.bdf), 'b') + "/");
}

TEST_F(ClientFrame, NullParamsAreRefused) {
    EXPECT_EQ(rfc_init(nullptr), 255);
}

// ---- simulated init failure ---------------------------------------------------

TEST_F(ClientFrame, TestEnvironmentUsesTheLowEightBitsOfItsNumber) {
    const struct {
        const char *value;
        bool fails;
    } rows[] = {
        {"1", true},  {"257", true},  {"1x", true},   {"-255", true}, {"2", false},
        {"0", false}, {"256", false}, {"abc", false}, {"", false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.value);
        g_rfc_test_env = 0;
        g_calls_a.clear();
        setenv("RFC_TEST_ENV", row.value, 1);
        int marker = 0;
        const int ret = init("0000:03:00.0", TRACE_LEVEL_DEBUG, capture_a, &marker);
        if (row.fails) {
            EXPECT_EQ(ret, 255);
            ASSERT_EQ(g_calls_a.size(), 1u);
            EXPECT_EQ(g_calls_a[0].level, TRACE_LEVEL_ERROR);
            EXPECT_EQ(g_calls_a[0].ctxt, &marker);
            EXPECT_EQ(g_calls_a[0].text, message("Simulated remote flash client init failure"));
        } else {
            EXPECT_EQ(ret, 0);
            EXPECT_TRUE(g_calls_a.empty());
        }
        // The context is set up either way.
        EXPECT_STREQ(g_rfc_prefix, "/tmp/korvex//0000:03:00.0/");
    }
}

TEST_F(ClientFrame, FailureSettingStaysUntilTheVariableSaysOtherwise) {
    setenv("RFC_TEST_ENV", "1", 1);
    EXPECT_EQ(init("0000:03:00.0"), 255);
    unsetenv("RFC_TEST_ENV");
    EXPECT_EQ(init("0000:03:00.0"), 255);
    EXPECT_EQ(g_calls_a.size(), 2u);
    setenv("RFC_TEST_ENV", "2", 1);
    EXPECT_EQ(init("0000:03:00.0"), 0);
    unsetenv("RFC_TEST_ENV");
    EXPECT_EQ(init("0000:03:00.0"), 0);
}

TEST_F(ClientFrame, FailureSettingBelongsToTheThread) {
    setenv("RFC_TEST_ENV", "1", 1);
    EXPECT_EQ(init("0000:03:00.0"), 255);
    unsetenv("RFC_TEST_ENV");
    int other = -1;
    std::thread([&] {
        rfc_init_params_s params = make_params("0000:03:00.0", TRACE_LEVEL_NONE, nullptr);
        other = rfc_init(&params);
    }).join();
    EXPECT_EQ(other, 0);
}

TEST_F(ClientFrame, NewHookReportsTheFailureOfItsOwnInit) {
    ASSERT_EQ(init("0000:03:00.0", TRACE_LEVEL_DEBUG, capture_a), 0);
    setenv("RFC_TEST_ENV", "1", 1);
    int marker = 0;
    EXPECT_EQ(init("0000:03:00.0", TRACE_LEVEL_ERROR, capture_b, &marker), 255);
    EXPECT_TRUE(g_calls_a.empty());
    ASSERT_EQ(g_calls_b.size(), 1u);
    EXPECT_EQ(g_calls_b[0].ctxt, &marker);
}

// ---- level gate -----------------------------------------------------------------

// An init failure (error), a failed open (error) and a good open (debug).
void provoke_three_messages(int32_t level, rfc_trace_cb_t cb) {
    setenv("RFC_TEST_ENV", "1", 1);
    rfc_init_params_s params = make_params("0000:03:00.0", level, cb);
    EXPECT_EQ(rfc_init(&params), 255);
    g_fake.open_result = -1;
    EXPECT_EQ(rfc_device_open("0000:03:00.0"), 255);
    g_fake.open_result = 0;
    EXPECT_EQ(rfc_device_open("0000:03:00.0"), 0);
}

TEST_F(ClientFrame, LevelGateLetsThroughWhatTheLevelCovers) {
    const struct {
        int32_t level;
        std::vector<int> written;
    } rows[] = {
        {TRACE_LEVEL_NONE, {}},         {TRACE_LEVEL_ERROR, {1, 1}},      {TRACE_LEVEL_INFO, {1, 1}},
        {TRACE_LEVEL_DEBUG, {1, 1, 4}}, {TRACE_LEVEL_VERBOSE, {1, 1, 4}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.level);
        g_calls_a.clear();
        g_rfc_opened = false;
        g_rfc_test_env = 0;
        provoke_three_messages(row.level, capture_a);
        std::vector<int> written;
        for (const trace_call_s &call : g_calls_a) {
            written.push_back(call.level);
        }
        EXPECT_EQ(written, row.written);
    }
}

TEST_F(ClientFrame, NullHookIsSilentWithTheSameResults) {
    provoke_three_messages(TRACE_LEVEL_DEBUG, nullptr);
    EXPECT_TRUE(g_calls_a.empty());
    EXPECT_TRUE(g_rfc_opened);
}

// ---- open step ------------------------------------------------------------------

TEST_F(ClientFrame, OpenHandsTheBdfToTheTransportAndReportsIt) {
    ASSERT_EQ(init("0000:03:00.0"), 0);
    EXPECT_EQ(rfc_device_open("0000:03:00.0"), 0);
    EXPECT_EQ(g_fake.open_addresses, std::vector<std::string>{"0000:03:00.0"});
    EXPECT_TRUE(g_rfc_opened);
    ASSERT_EQ(g_calls_a.size(), 1u);
    EXPECT_EQ(g_calls_a[0].level, TRACE_LEVEL_DEBUG);
    EXPECT_EQ(g_calls_a[0].text, message("device open success, bdf 0000:03:00.0"));
}

TEST_F(ClientFrame, OpenHandleIsReusedWhateverTheNextBdf) {
    ASSERT_EQ(init("0000:03:00.0"), 0);
    ASSERT_EQ(rfc_device_open("0000:03:00.0"), 0);
    g_calls_a.clear();
    g_fake.open_result = -1;  // a second open would fail
    EXPECT_EQ(rfc_device_open("0000:04:00.0"), 0);
    EXPECT_EQ(g_fake.open_addresses.size(), 1u);
    EXPECT_TRUE(g_calls_a.empty());
}

TEST_F(ClientFrame, FailedOpenIsReportedAndTriedAgainNextTime) {
    ASSERT_EQ(init("0000:03:00.0"), 0);
    g_fake.open_result = -2;
    EXPECT_EQ(rfc_device_open("0000:03:00.0"), 255);
    EXPECT_FALSE(g_rfc_opened);
    ASSERT_EQ(g_calls_a.size(), 1u);
    EXPECT_EQ(g_calls_a[0].level, TRACE_LEVEL_ERROR);
    EXPECT_EQ(g_calls_a[0].text, message("device open failed, ret -2"));

    g_fake.open_result = 0;
    EXPECT_EQ(rfc_device_open("0000:03:00.0"), 0);
    EXPECT_EQ(g_fake.open_addresses.size(), 2u);
    EXPECT_TRUE(g_rfc_opened);
}

TEST_F(ClientFrame, NoBdfTakesTheCardFromTheEnvironmentButKeepsThePrefix) {
    setenv("CRD_BDF", "0000:05:00.0", 1);
    ASSERT_EQ(init("00.0.0"), 0);
    EXPECT_EQ(rfc_device_open("00.0.0"), 0);
    EXPECT_EQ(g_fake.open_addresses, std::vector<std::string>{"0000:05:00.0"});
    ASSERT_EQ(g_calls_a.size(), 1u);
    EXPECT_EQ(g_calls_a[0].text, message("device open success, bdf 0000:05:00.0"));
    EXPECT_STREQ(g_rfc_prefix, "/tmp/korvex//00.0.0/");
    EXPECT_EQ(rfc_output_path("card_info"), "/tmp/korvex//00.0.0/card_info.txt");
}

TEST_F(ClientFrame, NoBdfWithoutEnvironmentAsksForTheDefaultDevice) {
    for (const char *crd_bdf : {static_cast<const char *>(nullptr), ""}) {
        SCOPED_TRACE(crd_bdf == nullptr ? "unset" : "empty");
        g_fake.open_addresses.clear();
        g_calls_a.clear();
        g_rfc_opened = false;
        if (crd_bdf != nullptr) setenv("CRD_BDF", crd_bdf, 1);
        ASSERT_EQ(init("00.0.0"), 0);
        EXPECT_EQ(rfc_device_open("00.0.0"), 0);
        EXPECT_EQ(g_fake.open_addresses, std::vector<std::string>{""});
        ASSERT_EQ(g_calls_a.size(), 1u);
        EXPECT_EQ(g_calls_a[0].text, message("device open success, bdf "));
    }
}

TEST_F(ClientFrame, OnlyTheExactPlaceholderConsultsTheEnvironment) {
    setenv("CRD_BDF", "0000:05:00.0", 1);
    ASSERT_EQ(init("00.0.0"), 0);
    for (const char *bdf : {"00.0.0.1", "00.0.0 ", "0000:03:00.0"}) {
        g_rfc_opened = false;
        g_fake.open_addresses.clear();
        EXPECT_EQ(rfc_device_open(bdf), 0);
        EXPECT_EQ(g_fake.open_addresses, std::vector<std::string>{bdf});
    }
}

TEST_F(ClientFrame, SecondInitKeepsTheOpenHandle) {
    ASSERT_EQ(init("0000:03:00.0"), 0);
    ASSERT_EQ(rfc_device_open("0000:03:00.0"), 0);
    ASSERT_EQ(init("0000:04:00.0"), 0);
    EXPECT_TRUE(g_rfc_opened);
    EXPECT_EQ(rfc_device_open("0000:04:00.0"), 0);
    EXPECT_EQ(g_fake.open_addresses.size(), 1u);
    EXPECT_STREQ(g_rfc_prefix, "/tmp/korvex//0000:04:00.0/");
}

TEST_F(ClientFrame, HandleBelongsToTheThread) {
    ASSERT_EQ(init("0000:03:00.0"), 0);
    ASSERT_EQ(rfc_device_open("0000:03:00.0"), 0);
    bool opened_elsewhere = true;
    std::thread([&] { opened_elsewhere = g_rfc_opened; }).join();
    EXPECT_FALSE(opened_elsewhere);
}

TEST_F(ClientFrame, CleanupClosesOnlyAnOpenHandle) {
    ASSERT_EQ(init("0000:03:00.0"), 0);
    EXPECT_EQ(rfc_cleanup(), 0);
    EXPECT_EQ(g_fake.close_calls, 0);

    ASSERT_EQ(rfc_device_open("0000:03:00.0"), 0);
    EXPECT_EQ(rfc_cleanup(), 0);
    EXPECT_EQ(g_fake.close_calls, 1);
    EXPECT_FALSE(g_rfc_opened);
    EXPECT_EQ(rfc_cleanup(), 0);
    EXPECT_EQ(g_fake.close_calls, 1);

    EXPECT_EQ(rfc_device_open("0000:03:00.0"), 0);
    EXPECT_EQ(g_fake.open_addresses.size(), 2u);
}

TEST_F(ClientFrame, DefaultDeviceMissingFailsTheOpen) {
    struct stat st {};
    if (stat("/dev/velaipcdev", &st) == 0) {
        GTEST_SKIP() << "a default IPC device exists on this host";
    }
    g_fake.forward = true;
    ASSERT_EQ(init("00.0.0"), 0);
    EXPECT_EQ(rfc_device_open("00.0.0"), 255);
    EXPECT_FALSE(g_rfc_opened);
    EXPECT_EQ(g_fake.open_addresses, std::vector<std::string>{""});
    ASSERT_EQ(g_calls_a.size(), 1u);
    EXPECT_EQ(g_calls_a[0].level, TRACE_LEVEL_ERROR);
    EXPECT_EQ(g_calls_a[0].text.rfind(message("device open failed, ret -"), 0), 0u) << g_calls_a[0].text;
}

// ---- timestamp --------------------------------------------------------------

TEST_F(ClientFrame, TimestampMicrosecondsAreNotPadded) {
    const struct {
        suseconds_t usec;
        const char *fraction;
    } rows[] = {
        {5, ".5"}, {0, ".0"}, {50, ".50"}, {123456, ".123456"}, {999999, ".999999"}, {10, ".10"},
    };
    for (const auto &row : rows) {
        g_pinned_time = {k_pinned_seconds, row.usec};
        EXPECT_EQ(rfc_timestamp(), local_date(k_pinned_seconds) + row.fraction);
    }
}

// ---- sleep seam and bounded copies -------------------------------------------

unsigned g_slept = 0;
unsigned record_sleep(unsigned seconds) {
    g_slept += seconds;
    return 0;
}

TEST_F(ClientFrame, PollWaitsGoThroughTheReplaceableSleep) {
    EXPECT_EQ(g_rfc_sleep, &::sleep);
    const rfc_sleep_fn_t saved = g_rfc_sleep;
    g_rfc_sleep = record_sleep;
    rfc_sleep(10);
    rfc_sleep(2);
    g_rfc_sleep = saved;
    EXPECT_EQ(g_slept, 12u);
}

TEST(FieldText, StopsAtTheFirstNulOrTheFieldEnd) {
    const char full[4] = {'a', 'b', 'c', 'd'};
    const char cut[4] = {'a', 'b', '\0', 'd'};
    EXPECT_EQ(rfc_field_text(full, sizeof(full)), "abcd");
    EXPECT_EQ(rfc_field_text(cut, sizeof(cut)), "ab");
    EXPECT_EQ(rfc_field_text(full, 0), "");
}

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// flash-update's command line (cli_run) on fuzzer-made argument vectors, over
// the stand-in operations the command-line tests use (tests/cli/fake_ops.h):
// they check what they are handed and return a result the fuzzer picks. One
// process runs input after input: getopt is reset before each, and the
// stand-ins register no exit handler and leave the signals alone.
//
// Input: u8 operation result (bits 0-6, k_results; bit 7 the card's lock is
// held elsewhere), then the arguments separated by NUL bytes; argv[0] is
// "flash-update".
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fake_ops.h"

namespace {

constexpr size_t k_max_args = 24;
const int k_results[] = {0, 99, 1, 2, 5, 39, 51, 255, -1, 3};

#define FUZZ_CHECK(cond)                                                             \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                 \
        }                                                                            \
    } while (0)

cli_ops_s g_ops;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The usage text would be printed for most inputs. (Refusals go to
    // standard error beside the fuzzer's own report; -close_fd_mask=2 quiets them.)
    fflush(stdout);
    if (freopen("/dev/null", "w", stdout) == nullptr) {
        abort();
    }
    unsetenv("RFC_TEST_ENV");
    unsetenv("CRD_BDF");
    g_ops = cli_fake_ops();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) {
        return 0;
    }
    g_cli_fake = cli_fake_state_s{};
    g_cli_fake.result = k_results[(data[0] & 0x7f) % (sizeof(k_results) / sizeof(k_results[0]))];
    g_cli_fake.lock_busy = (data[0] & 0x80) != 0;

    // Each argument in a block of its own exact size.
    std::vector<std::vector<char>> args;
    args.push_back(std::vector<char>{'f', 'l', 'a', 's', 'h', '-', 'u', 'p', 'd', 'a', 't', 'e', '\0'});
    size_t start = 1;
    for (size_t i = 1; size > 1 && i <= size && args.size() < k_max_args; ++i) {
        if (i == size || data[i] == '\0') {
            std::vector<char> arg(data + start, data + i);
            arg.push_back('\0');
            args.push_back(std::move(arg));
            start = i + 1;
        }
    }
    std::vector<char *> argv;
    for (auto &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(args.size());

    optind = 0;  // a fresh getopt, as in a new process
    opterr = 0;  // its complaints would fill the fuzzer's log
    const int status = cli_run(argc, argv.data(), g_ops);
    if (g_cli_fake.exit_handler != nullptr) {
        g_cli_fake.exit_handler();
    }

    // At most one operation, never one past a busy lock; only
    // --get-firmware-image hands its result on, every other exit status is
    // 0, 99 or 1.
    FUZZ_CHECK(g_cli_fake.calls <= 1);
    FUZZ_CHECK(g_cli_fake.locks <= 1);
    FUZZ_CHECK(!(g_cli_fake.lock_busy && g_cli_fake.locks == 1 && g_cli_fake.calls == 1));
    if (g_cli_fake.firmware_type_called) {
        FUZZ_CHECK(status == g_cli_fake.result);
    } else {
        FUZZ_CHECK(status == 0 || status == 1 || status == 99);
        FUZZ_CHECK(g_cli_fake.calls == 0 ||
                   status == (g_cli_fake.result == 0 || g_cli_fake.result == 99 ? g_cli_fake.result : 1));
    }
    return 0;
}

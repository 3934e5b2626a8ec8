// The command-line dispatcher (cli/main.cc, main renamed) on fuzzer-made
// argument vectors, over operations that check what they are handed and
// return a result the fuzzer picks. One process runs input after input:
// getopt is reset, atexit and signal are interposed (-Wl,--wrap) so that
// nothing piles up or stays ignored, and exit() returns here by longjmp.
//
// Input: u8 operation result (bits 0-6, k_results; bit 7 the card's lock is
// held elsewhere), then the arguments separated by NUL bytes; argv[0] is
// "flash-update".
#include <getopt.h>
#include <setjmp.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "rfc.h"
#include "trace.h"
#if __has_include("card_lock.h")
#include "card_lock.h"
#define FUZZ_CARD_LOCK 1
#endif

int flash_update_main(int argc, char **argv);

namespace {

constexpr size_t k_max_args = 24;
const int k_results[] = {0, 99, 1, 2, 5, 39, 51, 255, -1, 3};

int g_result = 0;
bool g_lock_busy = false;
int g_calls = 0;
bool g_firmware_type_called = false;

bool g_in_main = false;
jmp_buf g_exit_jump;
int g_exit_status = 0;

#define FUZZ_CHECK(cond)                                                             \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                 \
        }                                                                            \
    } while (0)

// Every text an operation is handed must be a whole string; ASan reports a
// read past its end.
void check_text(const char *text) {
    FUZZ_CHECK(text != nullptr);
    volatile size_t n = strlen(text);
    (void)n;
}

int op_result() {
    ++g_calls;
    FUZZ_CHECK(g_calls == 1);
    return g_result;
}

// A stand-in for the logger object; the front end only compares the pointer.
alignas(16) char g_fake_logger[16];

}  // namespace

// The trace facility, without log files: the front end's lines are still
// formatted with their arguments.
utils::log *g_trace_logger = nullptr;
trace_log_cb_t g_trace_cb = nullptr;

int trace_init(const char *bdf) {
    check_text(bdf);
    g_trace_logger = reinterpret_cast<utils::log *>(g_fake_logger);
    return 0;
}
void trace_update(trace_level_e) {}
void flush_logs() {}
trace_level_e trace_level_get() {
    return g_trace_logger != nullptr ? TRACE_LEVEL_DEBUG : TRACE_LEVEL_NONE;
}

int trace_log_cb(void *, trace_level_e, const char *fmt, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);
    return 0;
}

int rfc_trace_log_cb(void *, int, const char *fmt, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);
    return 0;
}

#ifdef FUZZ_CARD_LOCK
// The card's lock: the real one keeps a descriptor open per call for the
// life of the process. The input says whether another process holds it.
bool card_lock_hold(const char *bdf, const char *scratch_dir) {
    check_text(bdf);
    check_text(scratch_dir);
    return !g_lock_busy;
}
#endif

// The operations.
int rfc_firmware_type(fwupdate_image_type_e, const char *bdf) {
    check_text(bdf);
    g_firmware_type_called = true;
    return op_result();
}
int rfc_flash_erase(flash_partition_e, uint64_t, const char *bdf, const bool &timeout) {
    check_text(bdf);
    FUZZ_CHECK(!timeout);
    return op_result();
}
int rfc_flash_sector_erase(flash_partition_e, uint64_t, const char *bdf) {
    check_text(bdf);
    return op_result();
}
int rfc_flash_write(flash_partition_e, const char *image_path, const char *bdf, const bool &timeout) {
    check_text(image_path);
    check_text(bdf);
    FUZZ_CHECK(!timeout);
    return op_result();
}
int rfc_set_startup_image(firmware_image_type_e, const char *bdf) {
    check_text(bdf);
    return op_result();
}
int rfc_verify_checksum(flash_partition_e, const char *image_path, const char *hash, const char *bdf,
                        const bool &timeout) {
    check_text(image_path);
    check_text(hash);
    check_text(bdf);
    FUZZ_CHECK(!timeout);
    return op_result();
}
int rfc_partition_metadata(flash_partition_e, const char *bdf) {
    check_text(bdf);
    return op_result();
}
int rfc_validate_startup_image(flash_partition_e, const char *bdf) {
    check_text(bdf);
    return op_result();
}
int rfc_card_info_get(const char *bdf, const char *file_name, rfc_card_info_s *) {
    check_text(bdf);
    check_text(file_name);
    return op_result();
}
int rfc_partition_info(const char *bdf, flash_partition_e, bool &found) {
    check_text(bdf);
    FUZZ_CHECK(!found);
    return op_result();
}
int rfc_secure_boot_update(secure_boot_option_e, const char *bdf) {
    check_text(bdf);
    return op_result();
}
int rfc_secure_image_info(const char *name, secure_image_type_e, const char *bdf) {
    check_text(name);
    check_text(bdf);
    return op_result();
}
int rfc_secure_image_info_update(secure_image_type_e, secure_image_update_opcode_e opcode, const char *bdf) {
    check_text(bdf);
    FUZZ_CHECK(opcode >= SECURE_UPDATE_BOOT_ALT_PARTITION && opcode <= SECURE_UPDATE_SET_PRODUCTION);
    return op_result();
}
int rfc_partition_signed_metadata(flash_partition_e, const char *bdf) {
    check_text(bdf);
    return op_result();
}
int rfc_image_signature_verify(flash_partition_e, const char *bdf) {
    check_text(bdf);
    return op_result();
}

// Interposed for the dispatcher: its exit handler is taken note of, not
// registered once per input; signal dispositions stay the fuzzer's; exit()
// ends only the dispatcher.
extern "C" int __real_atexit(void (*fn)());
extern "C" int __wrap_atexit(void (*fn)()) {
    if (g_in_main) {
        FUZZ_CHECK(fn != nullptr);
        return 0;
    }
    return __real_atexit(fn);
}

extern "C" sighandler_t __real_signal(int sig, sighandler_t handler);
extern "C" sighandler_t __wrap_signal(int sig, sighandler_t handler) {
    if (g_in_main) {
        FUZZ_CHECK(sig > 0 && sig < NSIG);
        return SIG_DFL;
    }
    return __real_signal(sig, handler);
}

extern "C" [[noreturn]] void __real_exit(int status);
extern "C" [[noreturn]] void __wrap_exit(int status) {
    if (g_in_main) {
        g_exit_status = status;
        longjmp(g_exit_jump, 1);
    }
    __real_exit(status);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The usage text would be printed for most inputs.
    fflush(stdout);
    if (freopen("/dev/null", "w", stdout) == nullptr) {
        abort();
    }
    unsetenv("RFC_TEST_ENV");
    unsetenv("CRD_BDF");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) {
        return 0;
    }
    g_result = k_results[(data[0] & 0x7f) % (sizeof(k_results) / sizeof(k_results[0]))];
    g_lock_busy = (data[0] & 0x80) != 0;

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

    g_calls = 0;
    g_firmware_type_called = false;
    g_trace_logger = nullptr;
    g_trace_cb = nullptr;
    optind = 0;  // a fresh getopt, as in a new process
    opterr = 0;  // its complaints would fill the fuzzer's log

    int status;
    g_in_main = true;
    if (setjmp(g_exit_jump) == 0) {
        status = flash_update_main(argc, argv.data());
    } else {
        status = g_exit_status;
    }
    g_in_main = false;

    // Only --get-firmware-image hands its operation's result on; every other
    // exit status is 0, 99 or 1.
    if (g_firmware_type_called) {
        FUZZ_CHECK(status == g_result);
    } else {
        FUZZ_CHECK(status == 0 || status == 1 || status == 99);
        FUZZ_CHECK(g_calls == 0 || status == (g_result == 0 || g_result == 99 ? g_result : 1));
    }
    return 0;
}

// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "logging_test_util.h"
#include "trace.h"

// Exported (the test program is linked with -rdynamic) so its frame has a name.
__attribute__((noinline)) void stack_trace_probe(FILE *out) {
    write_stack_trace(out);
    asm volatile("");  // keeps the call from becoming a tail call
}

namespace {

// AddressSanitizer wraps backtrace(), so there the wrapper is the frame that
// is skipped and the printer's own frame is the first one written.
#ifdef __SANITIZE_ADDRESS__
constexpr size_t PROBE_LINE = 2;
#else
constexpr size_t PROBE_LINE = 1;
#endif

TEST(StackTrace, SkipsItsOwnFrameAndDemanglesNames) {
    temp_dir dir;
    FILE *out = fopen((dir / "trace").c_str(), "w");
    ASSERT_NE(out, nullptr);
    stack_trace_probe(out);
    fclose(out);

    std::vector<std::string> lines = split_lines(file_text(dir / "trace"));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "stack trace:");
    bool probe_seen = false;
    bool raw_seen = false;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string &line = lines[i];
        ASSERT_EQ(line.rfind("  ", 0), 0u) << line;
        if (i != PROBE_LINE - 1) {
            EXPECT_EQ(line.find("write_stack_trace"), std::string::npos) << line;
        }
        size_t sep = line.find(" : ");
        if (sep == std::string::npos) {
            // Written whole: no "(name+offset)" in it.
            EXPECT_EQ(line.back(), ']') << line;
            continue;
        }
        // "  module : name+0xoffset", the module cut off at its "(".
        EXPECT_EQ(line.substr(0, sep).find('('), std::string::npos) << line;
        size_t plus = line.rfind("+0x");
        ASSERT_NE(plus, std::string::npos) << line;
        EXPECT_GT(plus, sep) << line;
        EXPECT_EQ(line.find_first_not_of("0123456789abcdef", plus + 3), std::string::npos) << line;
        const std::string probe = " : stack_trace_probe(_IO_FILE*)+0x";
        if (line.compare(sep, probe.size(), probe) == 0) {
            EXPECT_EQ(i, PROBE_LINE) << "the probe is the first frame after the printer's own";
            probe_seen = true;
        }
        raw_seen = raw_seen || line.compare(plus - 2, 2, "()") == 0;
    }
    EXPECT_TRUE(probe_seen);
    EXPECT_TRUE(raw_seen) << "C functions such as main have no mangled name and print as name()";
}

}  // namespace

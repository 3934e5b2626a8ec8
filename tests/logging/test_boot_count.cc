// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>

#include "boot_count.h"
#include "logging_test_util.h"

namespace {

struct boot_line_case_s {
    const char *content;
    int32_t expected;
};

class BootCountFile : public ::testing::TestWithParam<boot_line_case_s> {};

TEST_P(BootCountFile, FirstLineReadsAsDecimalOrZero) {
    temp_dir dir;
    env_guard_s env("PERSISTENT_LOG_DIR", dir.path.c_str());
    write_file(dir / "boot_count.txt", GetParam().content);
    EXPECT_EQ(utils::boot_count_get(), GetParam().expected) << '"' << GetParam().content << '"';
}

INSTANTIATE_TEST_SUITE_P(Lines, BootCountFile,
                         ::testing::Values(boot_line_case_s{"7\n", 7}, boot_line_case_s{"12 boots since install\n", 12},
                                           boot_line_case_s{"  42\n", 42}, boot_line_case_s{"+5", 5},
                                           boot_line_case_s{"-3\n", -3}, boot_line_case_s{"2147483647\n", INT32_MAX},
                                           boot_line_case_s{"-2147483648\n", INT32_MIN},
                                           // Unusable first lines read as boot 0, never end the program.
                                           boot_line_case_s{"", 0}, boot_line_case_s{"\n12\n", 0},
                                           boot_line_case_s{"boot\n", 0}, boot_line_case_s{"2147483648\n", 0},
                                           boot_line_case_s{"-2147483649\n", 0},
                                           boot_line_case_s{"99999999999999999999999\n", 0}));

TEST(BootCount, MissingFileIsBootZero) {
    temp_dir dir;
    env_guard_s env("PERSISTENT_LOG_DIR", dir.path.c_str());
    EXPECT_EQ(utils::boot_count_get(), 0);
}

TEST(BootCount, PathFollowsPersistentLogDir) {
    {
        env_guard_s env("PERSISTENT_LOG_DIR", nullptr);
        EXPECT_EQ(utils::boot_count_path(), "/obfl/boot_count.txt");
    }
    env_guard_s env("PERSISTENT_LOG_DIR", "/data/");
    EXPECT_EQ(utils::boot_count_path(), "/data//boot_count.txt");
}

TEST(BootCount, DoubledSlashStillFindsTheFile) {
    temp_dir dir;
    env_guard_s env("PERSISTENT_LOG_DIR", (dir.path + "/").c_str());
    write_file(dir / "boot_count.txt", "31\n");
    EXPECT_EQ(utils::boot_count_get(), 31);
}

TEST(BootCount, BannerPrintsTheNumberUnsigned) {
    temp_dir dir;
    env_guard_s env("PERSISTENT_LOG_DIR", dir.path.c_str());
    write_file(dir / "boot_count.txt", "-3\n");
    FILE *out = fopen((dir / "banner").c_str(), "w");
    ASSERT_NE(out, nullptr);
    utils::boot_banner_write(out);
    fclose(out);
    EXPECT_EQ(file_text(dir / "banner"), "*** Boot #4294967293 ***\n");
}

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// Files replaced whole: what stands at the path afterwards, what a holder of
// the old file still reads, and what a failure leaves behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include "fe_io.h"
#include "test_support.h"

namespace {

using test_support::file_text;

std::set<std::string> names_in(const std::string &dir) {
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

// Renamed over the old file, not written into it: a link to the old one keeps
// it whole. Mode as asked, no temporary left.
TEST(FileWrite, ReplacesTheFileWhole) {
    test_support::temp_dir dir;
    ASSERT_TRUE(test_support::write_file(dir / "state.txt", "old contents\n"));
    ASSERT_EQ(link((dir / "state.txt").c_str(), (dir / "held").c_str()), 0);
    std::string error;
    ASSERT_TRUE(fe_write_file_atomic(dir / "state.txt", "new\n", 0640, &error)) << error;
    EXPECT_EQ(file_text(dir / "state.txt"), "new\n");
    EXPECT_EQ(file_text(dir / "held"), "old contents\n");
    struct stat st {};
    ASSERT_EQ(stat((dir / "state.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(names_in(dir.path), (std::set<std::string>{"held", "state.txt"}));
}

TEST(FileWrite, FailsWithTheReasonAndWithoutATemporary) {
    test_support::temp_dir dir;
    ASSERT_EQ(mkdir((dir / "a-directory").c_str(), 0755), 0);
    for (const auto &[path, reason] :
         {std::pair{"no/such/file", "No such file or directory"}, std::pair{"a-directory", "Is a directory"}}) {
        std::string error;
        EXPECT_FALSE(fe_write_file_atomic(dir / path, "x", 0644, &error));
        EXPECT_EQ(error, reason);
        EXPECT_EQ(names_in(dir.path), std::set<std::string>{"a-directory"});
        EXPECT_TRUE(std::filesystem::is_empty(dir / "a-directory"));
    }
}

}  // namespace

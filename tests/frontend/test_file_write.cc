// Files replaced whole: what stands at the path afterwards, what a reader
// that had the old file open still sees, and what a failure leaves.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "fe_io.h"
#include "test_support.h"

namespace {

using test_support::file_text;
using test_support::write_file;

std::vector<std::string> names_in(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(FileWrite, ANewFileHasTheContentsAndTheModeAndNoTemporaryStays) {
    test_support::temp_dir dir;
    std::string error;
    ASSERT_TRUE(fe_write_file_atomic(dir / "cards.prom", "a 1\n", 0640, &error)) << error;
    EXPECT_EQ(file_text(dir / "cards.prom"), "a 1\n");
    struct stat st {};
    ASSERT_EQ(stat((dir / "cards.prom").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"cards.prom"});
}

// A new file is renamed over the old one: whoever holds the old one (a link,
// an open descriptor) keeps reading it whole, never a mix.
TEST(FileWrite, TheOldFileIsReplacedNotWrittenOver) {
    test_support::temp_dir dir;
    ASSERT_TRUE(write_file(dir / "state.txt", "old contents\n"));
    ASSERT_EQ(link((dir / "state.txt").c_str(), (dir / "held").c_str()), 0);
    std::string error;
    ASSERT_TRUE(fe_write_file_atomic(dir / "state.txt", "new\n", 0644, &error)) << error;
    EXPECT_EQ(file_text(dir / "state.txt"), "new\n");
    EXPECT_EQ(file_text(dir / "held"), "old contents\n");
    EXPECT_EQ(names_in(dir.path), (std::vector<std::string>{"held", "state.txt"}));
}

struct failure_case_s {
    const char *name;
    const char *path;  // below the temporary directory
    const char *error;
};

class FileWriteFails : public testing::TestWithParam<failure_case_s> {};

TEST_P(FileWriteFails, WithTheReasonAndWithoutATemporary) {
    test_support::temp_dir dir;
    ASSERT_EQ(mkdir((dir / "a-directory").c_str(), 0755), 0);
    std::string error;
    EXPECT_FALSE(fe_write_file_atomic(dir / GetParam().path, "x", 0644, &error));
    EXPECT_EQ(error, GetParam().error);
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"a-directory"});
    EXPECT_TRUE(std::filesystem::is_empty(dir / "a-directory"));
}

INSTANTIATE_TEST_SUITE_P(FileWrite, FileWriteFails,
                         testing::Values(failure_case_s{"missing_directory", "no/such/dir/file",
                                                        "No such file or directory"},
                                         failure_case_s{"directory_at_the_path", "a-directory", "Is a directory"}),
                         [](const testing::TestParamInfo<failure_case_s> &i) { return std::string(i.param.name); });

}  // namespace

// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ostream>
#include <string>
#include <utility>

#include "logging_test_util.h"
#include "safe_dir.h"

namespace {

// Owner given to "someone else's" directory when the suite runs as root.
constexpr uid_t k_other_uid = 4242;

enum class entry_kind { own_dir, link_to_dir, plain_file, missing, foreign_dir };

struct safe_dir_case {
    const char *name;
    entry_kind kind;
    mode_t mode;
    const char *suffix;  // appended to the path checked
    safe_dir_wording wording;
    safe_dir_fault fault;
    std::string reason;  // {path} and {euid} stand for the path checked and our uid
};

// Test names stay readable in listings.
void PrintTo(const safe_dir_case &c, std::ostream *os) {
    *os << c.name;
}

std::string euid_text() {
    return std::to_string(geteuid());
}

class SafeDir : public ::testing::TestWithParam<safe_dir_case> {};

TEST_P(SafeDir, VerdictAndReason) {
    const safe_dir_case &c = GetParam();
    temp_dir root;
    const std::string real = root / "real";
    const std::string path = root / "entry";
    ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
    switch (c.kind) {
        case entry_kind::own_dir:
        case entry_kind::foreign_dir:
            ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
            ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
            if (c.kind == entry_kind::foreign_dir) {
                if (geteuid() != 0) {
                    GTEST_SKIP() << "needs root: gives a directory to another user";
                }
                ASSERT_EQ(chown(path.c_str(), k_other_uid, 0), 0);
            }
            break;
        case entry_kind::link_to_dir:
            ASSERT_EQ(symlink(real.c_str(), path.c_str()), 0);
            break;
        case entry_kind::plain_file:
            write_file(path, "x");
            break;
        case entry_kind::missing:
            break;
    }
    const std::string checked = path + c.suffix;
    const safe_dir_verdict verdict = safe_dir_check_path(checked.c_str());
    EXPECT_EQ(verdict.fault, c.fault);
    std::string want = c.reason;
    for (const auto &[mark, text] : {std::pair<std::string, std::string>{"{path}", checked}, {"{euid}", euid_text()}}) {
        if (const size_t at = want.find(mark); at != std::string::npos) {
            want.replace(at, mark.size(), text);
        }
    }
    safe_dir_wording wording = c.wording;
    if (wording.subject != nullptr && std::string(wording.subject) == "{path}") {
        wording.subject = checked.c_str();
    }
    EXPECT_EQ(safe_dir_reason(verdict, wording), want);

    // The descriptor check agrees for whatever can be opened as a directory
    // (with a trailing slash the open itself would look through a link).
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        EXPECT_EQ(safe_dir_check_fd(fd).fault, c.fault);
        close(fd);
    }
}

constexpr safe_dir_wording k_path_no_mode{.subject = "{path}", .show_mode = false};
constexpr safe_dir_wording k_its_dir{.subject = "its directory"};
constexpr safe_dir_wording k_it_no_errno{.show_errno = false};

INSTANTIATE_TEST_SUITE_P(
    Entries, SafeDir,
    ::testing::Values(
        safe_dir_case{"own", entry_kind::own_dir, 0755, "", {}, safe_dir_fault::none, ""},
        safe_dir_case{"own_slash", entry_kind::own_dir, 0700, "/", {}, safe_dir_fault::none, ""},
        safe_dir_case{"group_writable", entry_kind::own_dir, 0775, "", k_its_dir, safe_dir_fault::shared_write,
                      "its directory is writable by group or others (mode 775)"},
        safe_dir_case{"sticky_world_writable",
                      entry_kind::own_dir,
                      01777,
                      "",
                      {},
                      safe_dir_fault::shared_write,
                      "it is writable by group or others (mode 777)"},
        safe_dir_case{"others_writable_no_mode", entry_kind::own_dir, 0702, "", k_path_no_mode,
                      safe_dir_fault::shared_write, "{path} is writable by group or others"},
        safe_dir_case{"link", entry_kind::link_to_dir, 0, "", {}, safe_dir_fault::symlink, "it is a symbolic link"},
        // A trailing slash would make lstat look through the link.
        safe_dir_case{
            "link_slashes", entry_kind::link_to_dir, 0, "//", {}, safe_dir_fault::symlink, "it is a symbolic link"},
        safe_dir_case{
            "file", entry_kind::plain_file, 0, "", {}, safe_dir_fault::not_directory, "it is not a directory"},
        safe_dir_case{"missing",
                      entry_kind::missing,
                      0,
                      "",
                      {},
                      safe_dir_fault::unexaminable,
                      "it cannot be examined: No such file or directory"},
        safe_dir_case{"missing_quiet", entry_kind::missing, 0, "", k_it_no_errno, safe_dir_fault::unexaminable,
                      "it cannot be examined"},
        safe_dir_case{"foreign", entry_kind::foreign_dir, 0755, "", k_its_dir, safe_dir_fault::foreign_owner,
                      "its directory is owned by uid 4242, not {euid}"},
        safe_dir_case{"foreign_no_mode", entry_kind::foreign_dir, 0777, "", k_path_no_mode,
                      safe_dir_fault::foreign_owner, "{path} is owned by uid 4242, not {euid}"}),
    [](const ::testing::TestParamInfo<safe_dir_case> &info) { return std::string(info.param.name); });

// Root owns /, which no other user can write: allowed only when asked.
TEST(SafeDirPolicy, RootOwnerOnlyWhenAllowed) {
    EXPECT_EQ(safe_dir_check_path("/", {.allow_root_owner = true}).fault, safe_dir_fault::none);
    EXPECT_EQ(safe_dir_check_path("/").fault, geteuid() == 0 ? safe_dir_fault::none : safe_dir_fault::foreign_owner);
}

}  // namespace

// The per-card lock: one holder per card, the second taker is told who holds
// it, the lock ends with its process, and its file is kept where nobody else
// can swap it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "card_lock.h"
#include "safety_util.h"

namespace {

const char *const k_bdf = "0000:03:00.0";

// The lock file's text, read through the holder's own descriptor: closing any
// other descriptor of the file would drop this process's record lock.
std::string held_text(const card_lock_s &lock) {
    char text[64] = {};
    const ssize_t n = pread(lock.fd, text, sizeof(text) - 1, 0);
    return n > 0 ? std::string(text, static_cast<size_t>(n)) : "";
}

class CardLock : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(run.path.empty());
        ASSERT_FALSE(scratch.path.empty());
        ASSERT_EQ(chmod(run.path.c_str(), 01777), 0);  // like /run/lock
        ASSERT_EQ(chmod(scratch.path.c_str(), 0755), 0);
    }
    void TearDown() override {
        if (lock.fd >= 0) {
            close(lock.fd);
        }
    }
    card_lock_result_e take() { return card_lock_take(k_bdf, run.path.c_str(), scratch.path.c_str(), lock); }
    std::string run_lock_file() const { return run / "flash-update/" + std::string(k_bdf) + ".lock"; }

    safety_dir_s run;
    safety_dir_s scratch;  // the card's scratch directory
    card_lock_s lock;
};

// What card_lock_take says in a separate process: its result, and the holder
// it names (through a pipe).
struct child_take_s {
    int result = -1;
    pid_t holder = 0;
    std::string path;
};

child_take_s take_in_child(const std::string &run_dir, const std::string &scratch_dir) {
    int fds[2];
    child_take_s out;
    if (pipe(fds) != 0) {
        return out;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        card_lock_s lock;
        const card_lock_result_e r = card_lock_take(k_bdf, run_dir.c_str(), scratch_dir.c_str(), lock);
        const std::string text = std::to_string(static_cast<int>(lock.holder)) + " " + lock.path;
        if (write(fds[1], text.data(), text.size()) < 0) {
            _exit(100);
        }
        _exit(static_cast<int>(r));
    }
    close(fds[1]);
    char buf[512] = {};
    size_t got = 0;
    for (ssize_t n; (n = read(fds[0], buf + got, sizeof(buf) - 1 - got)) > 0;) {
        got += static_cast<size_t>(n);
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    out.result = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const std::string text(buf);
    const size_t space = text.find(' ');
    out.holder = static_cast<pid_t>(atoi(text.substr(0, space).c_str()));
    out.path = space == std::string::npos ? "" : text.substr(space + 1);
    return out;
}

TEST_F(CardLock, HeldInTheRunDirectoryWithThePid) {
    ASSERT_EQ(take(), CARD_LOCK_HELD) << lock.reason;
    EXPECT_GE(lock.fd, 0);
    EXPECT_EQ(lock.path, run_lock_file());
    EXPECT_EQ(held_text(lock), std::to_string(getpid()) + "\n");
    EXPECT_EQ(safety_mode(run / "flash-update") & 0022, 0);
    EXPECT_FALSE(safety_exists(scratch / ".lock"));
}

TEST_F(CardLock, SecondTakerIsToldTheHolder) {
    ASSERT_EQ(take(), CARD_LOCK_HELD) << lock.reason;
    const child_take_s other = take_in_child(run.path, scratch.path);
    EXPECT_EQ(other.result, CARD_LOCK_BUSY);
    EXPECT_EQ(other.holder, getpid());
    EXPECT_EQ(other.path, run_lock_file());
    // The refused taker did not disturb the holder's record.
    EXPECT_EQ(held_text(lock), std::to_string(getpid()) + "\n");
}

TEST_F(CardLock, OtherCardsAreNotHeld) {
    ASSERT_EQ(take(), CARD_LOCK_HELD) << lock.reason;
    card_lock_s other;
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(card_lock_take("0000:04:00.0", run.path.c_str(), scratch.path.c_str(), other));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == CARD_LOCK_HELD);
}

TEST_F(CardLock, EndsWithItsProcess) {
    // A holder that is killed, not one that cleans up.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        close(ready[0]);
        card_lock_s held;
        const char ok = card_lock_take(k_bdf, run.path.c_str(), scratch.path.c_str(), held) == CARD_LOCK_HELD;
        if (write(ready[1], &ok, 1) != 1) {
            _exit(1);
        }
        pause();
        _exit(0);
    }
    close(ready[1]);
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    close(ready[0]);
    ASSERT_TRUE(ok);

    EXPECT_EQ(take(), CARD_LOCK_BUSY);
    EXPECT_EQ(lock.holder, holder);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(take(), CARD_LOCK_HELD) << lock.reason;
    EXPECT_EQ(held_text(lock), std::to_string(getpid()) + "\n");
}

// Ways the run directory can be unusable; the scratch directory then holds the lock.
struct fallback_case_s {
    const char *name;
    void (*spoil)(const std::string &run_dir, const std::string &elsewhere);
};

const fallback_case_s k_fallbacks[] = {
    {"RunDirMissing", [](const std::string &run_dir, const std::string &) { rmdir(run_dir.c_str()); }},
    {"LockDirIsSymlink",
     [](const std::string &run_dir, const std::string &elsewhere) {
         ASSERT_EQ(symlink(elsewhere.c_str(), (run_dir + "/flash-update").c_str()), 0);
     }},
    {"LockDirWritableByOthers",
     [](const std::string &run_dir, const std::string &) {
         ASSERT_EQ(mkdir((run_dir + "/flash-update").c_str(), 0700), 0);
         ASSERT_EQ(chmod((run_dir + "/flash-update").c_str(), 0777), 0);
     }},
    {"LockDirOfAnotherUser",
     [](const std::string &run_dir, const std::string &) {
         ASSERT_EQ(mkdir((run_dir + "/flash-update").c_str(), 0755), 0);
         ASSERT_EQ(chown((run_dir + "/flash-update").c_str(), k_safety_other_uid, k_safety_other_uid), 0);
     }},
    {"LockFileIsSymlink",
     [](const std::string &run_dir, const std::string &elsewhere) {
         ASSERT_EQ(mkdir((run_dir + "/flash-update").c_str(), 0755), 0);
         ASSERT_EQ(symlink((elsewhere + "/victim").c_str(),
                           (run_dir + "/flash-update/" + std::string(k_bdf) + ".lock").c_str()),
                   0);
     }},
};

class CardLockFallback : public CardLock, public ::testing::WithParamInterface<fallback_case_s> {};

TEST_P(CardLockFallback, ScratchDirectoryHoldsTheLock) {
    safety_dir_s elsewhere;
    GetParam().spoil(run.path, elsewhere.path);
    ASSERT_EQ(take(), CARD_LOCK_HELD) << lock.reason;
    EXPECT_EQ(lock.path, scratch / ".lock");
    EXPECT_EQ(held_text(lock), std::to_string(getpid()) + "\n");
    EXPECT_EQ(safety_entries(elsewhere.path), 0u);
    // A second process finds it there too.
    const child_take_s other = take_in_child(run.path, scratch.path);
    EXPECT_EQ(other.result, CARD_LOCK_BUSY);
    EXPECT_EQ(other.holder, getpid());
}

INSTANTIATE_TEST_SUITE_P(Spoiled, CardLockFallback, ::testing::ValuesIn(k_fallbacks),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(CardLock, NoUsableDirectoryFails) {
    ASSERT_EQ(rmdir(run.path.c_str()), 0);
    safety_dir_s elsewhere;
    ASSERT_EQ(rmdir(scratch.path.c_str()), 0);
    ASSERT_EQ(symlink(elsewhere.path.c_str(), scratch.path.c_str()), 0);
    EXPECT_EQ(take(), CARD_LOCK_FAILED);
    EXPECT_EQ(lock.fd, -1);
    EXPECT_EQ(lock.reason, run.path + ": No such file or directory; " + scratch.path + ": it is a symbolic link");
    EXPECT_EQ(safety_entries(elsewhere.path), 0u);
    unlink(scratch.path.c_str());
}

TEST_F(CardLock, FallbackFileSymlinkIsRefused) {
    ASSERT_EQ(rmdir(run.path.c_str()), 0);
    safety_write(scratch / "victim", "untouched\n");
    ASSERT_EQ(symlink((scratch / "victim").c_str(), (scratch / ".lock").c_str()), 0);
    EXPECT_EQ(take(), CARD_LOCK_FAILED);
    EXPECT_EQ(lock.reason, run.path + ": No such file or directory; " + scratch.path + "/.lock: it is a symbolic link");
    EXPECT_EQ(safety_read(scratch / "victim"), "untouched\n");
}

TEST_F(CardLock, AddressThatIsNoFileNameFails) {
    for (const char *bdf : {"", ".", "..", "0000:03/00.0"}) {
        card_lock_s bad;
        EXPECT_EQ(card_lock_take(bdf, run.path.c_str(), scratch.path.c_str(), bad), CARD_LOCK_FAILED) << bdf;
        EXPECT_EQ(bad.reason, "no usable card address for a lock file name");
    }
    EXPECT_EQ(safety_entries(run.path), 0u);
}

}  // namespace

// The card lock on device nodes (plain files stand in for them here): one
// holder per node, the second taker is told who holds it, root and other
// users meet on it, who cannot open the node cannot hold it, and the lock
// ends with its process.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "card_lock.h"
#include "safety_util.h"

namespace {

struct child_take_s {
    int result = -1;
    pid_t holder = 0;
};

// card_lock_take_nodes in a separate process, optionally as another user:
// its result and the holder it names.
child_take_s take_in_child(const std::vector<std::string> &nodes, uid_t uid = 0) {
    int fds[2];
    child_take_s out;
    if (pipe(fds) != 0) {
        return out;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0)) {
            _exit(100);
        }
        card_lock_s lock;
        const card_lock_result_e r = card_lock_take_nodes(nodes, lock);
        const int holder = static_cast<int>(lock.holder);
        if (write(fds[1], &holder, sizeof(holder)) != sizeof(holder)) {
            _exit(101);
        }
        _exit(static_cast<int>(r));
    }
    close(fds[1]);
    int holder = 0;
    if (read(fds[0], &holder, sizeof(holder)) == sizeof(holder)) {
        out.holder = holder;
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    out.result = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

// A process that holds nodes (as uid when not 0) until it is killed.
struct holder_process_s {
    pid_t pid = -1;
    bool held = false;
    holder_process_s(const std::vector<std::string> &nodes, uid_t uid = 0) {
        int ready[2];
        if (pipe(ready) != 0) {
            return;
        }
        pid = fork();
        if (pid == 0) {
            close(ready[0]);
            if (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0)) {
                _exit(100);
            }
            card_lock_s lock;
            const char ok = card_lock_take_nodes(nodes, lock) == CARD_LOCK_HELD;
            if (write(ready[1], &ok, 1) != 1) {
                _exit(1);
            }
            pause();
            _exit(0);
        }
        close(ready[1]);
        char ok = 0;
        held = read(ready[0], &ok, 1) == 1 && ok != 0;
        close(ready[0]);
    }
    void kill_now() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
    ~holder_process_s() { kill_now(); }
    holder_process_s(const holder_process_s &) = delete;
    holder_process_s &operator=(const holder_process_s &) = delete;
};

class CardLock : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path.empty());
        ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);  // other users reach the nodes
        node = make_node("velaipcdev0", 0660);
        other = make_node("velaipcdev1", 0660);
    }
    void TearDown() override { card_lock_release(lock); }
    std::string make_node(const std::string &name, mode_t mode) {
        const std::string path = dir / name;
        safety_write(path, "");
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }

    safety_dir_s dir;
    std::string node;
    std::string other;
    card_lock_s lock;
};

TEST_F(CardLock, SecondTakerIsToldTheHolder) {
    ASSERT_EQ(card_lock_take_nodes({node}, lock), CARD_LOCK_HELD) << lock.reason;
    EXPECT_GE(lock.fd, 0);
    EXPECT_EQ(lock.path, node);
    const child_take_s second = take_in_child({node});
    EXPECT_EQ(second.result, CARD_LOCK_BUSY);
    EXPECT_EQ(second.holder, getpid());
    // Another card is not held.
    EXPECT_EQ(take_in_child({other}).result, CARD_LOCK_HELD);
    // The node's contents are not the lock's business.
    EXPECT_EQ(safety_read(node), "");
}

TEST_F(CardLock, ReleaseAndProcessEndDropIt) {
    ASSERT_EQ(card_lock_take_nodes({node}, lock), CARD_LOCK_HELD);
    card_lock_release(lock);
    EXPECT_EQ(lock.fd, -1);
    EXPECT_EQ(take_in_child({node}).result, CARD_LOCK_HELD);

    // A holder that is killed, not one that cleans up.
    holder_process_s killed({node});
    ASSERT_TRUE(killed.held);
    card_lock_s busy;
    EXPECT_EQ(card_lock_take_nodes({node}, busy), CARD_LOCK_BUSY);
    EXPECT_EQ(busy.holder, killed.pid);
    EXPECT_EQ(busy.path, node);
    killed.kill_now();
    EXPECT_EQ(card_lock_take_nodes({node}, lock), CARD_LOCK_HELD) << lock.reason;
}

// The client opens the same node and may close it again: the lock stays.
TEST_F(CardLock, SurvivesAnotherDescriptorOfTheNodeClosing) {
    ASSERT_EQ(card_lock_take_nodes({node}, lock), CARD_LOCK_HELD);
    const int client = open(node.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(client, 0);
    close(client);
    EXPECT_EQ(take_in_child({node}).result, CARD_LOCK_BUSY);
}

TEST_F(CardLock, AllNodesOrNone) {
    holder_process_s holds_other({other});
    ASSERT_TRUE(holds_other.held);
    const child_take_s both = take_in_child({node, other});
    EXPECT_EQ(both.result, CARD_LOCK_BUSY);
    EXPECT_EQ(both.holder, holds_other.pid);
    // The refused taker left the first node free.
    EXPECT_EQ(card_lock_take_nodes({node}, lock), CARD_LOCK_HELD);
}

TEST_F(CardLock, RootAndOtherUsersMeet) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: gives the node to another user's group and takes it as that user";
    ASSERT_EQ(chown(node.c_str(), 0, k_safety_other_uid), 0);  // the card's group may use it
    ASSERT_EQ(card_lock_take_nodes({node}, lock), CARD_LOCK_HELD);
    const child_take_s user = take_in_child({node}, k_safety_other_uid);
    EXPECT_EQ(user.result, CARD_LOCK_BUSY);
    EXPECT_EQ(user.holder, getpid());
    card_lock_release(lock);

    holder_process_s user_holds({node}, k_safety_other_uid);
    ASSERT_TRUE(user_holds.held);
    card_lock_s root;
    EXPECT_EQ(card_lock_take_nodes({node}, root), CARD_LOCK_BUSY);
    EXPECT_EQ(root.holder, user_holds.pid);
}

TEST_F(CardLock, WhoCannotOpenTheNodeCannotHoldIt) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: tries the node as another user";
    ASSERT_EQ(chmod(node.c_str(), 0600), 0);
    holder_process_s outsider({node}, k_safety_other_uid);
    EXPECT_FALSE(outsider.held);
    EXPECT_EQ(card_lock_take_nodes({node}, lock), CARD_LOCK_HELD) << lock.reason;
}

TEST_F(CardLock, NoNodeIsNoDevice) {
    EXPECT_EQ(card_lock_take_nodes({}, lock), CARD_LOCK_FAILED);
    EXPECT_TRUE(lock.no_device);
    EXPECT_EQ(card_lock_take_nodes({dir / "missing"}, lock), CARD_LOCK_FAILED);
    EXPECT_TRUE(lock.no_device);
    EXPECT_EQ(lock.reason, dir / "missing" + ": No such file or directory");
    // A further node out of reach is another card's: the first is held.
    EXPECT_EQ(card_lock_take_nodes({node, dir / "missing"}, lock), CARD_LOCK_HELD);
    EXPECT_EQ(lock.fds.size(), 1u);
}

TEST(CardAddress, Pattern) {
    const struct {
        const char *text;
        bool valid;
    } rows[] = {
        {"0000:03:00.0", true},   {"ABCD:Ef:1f.7", true}, {"0000:03:00.8", false},
        {"000:03:00.0", false},   {"0000:03:00", false},  {"0000:03:00.0 ", false},
        {" 0000:03:00.0", false}, {"00.0.0", false},      {"", false},
        {"0000:3:00.0", false},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(card_address_valid(row.text), row.valid) << '"' << row.text << '"';
    }
    EXPECT_FALSE(card_address_valid(nullptr));
}

}  // namespace

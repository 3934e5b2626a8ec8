// SPDX-License-Identifier: Apache-2.0
// The card lock on device nodes (plain files stand in for them here): one
// exclusive holder per node or readers together, the second taker is told who
// holds it, waiting takers wait for what they should and no longer, new
// readers queue behind a waiting updater, root and other users meet on it,
// who cannot open the node cannot hold it, and the lock ends with its guard
// or its process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "card_address.h"
#include "card_lock.h"
#include "test_support.h"

namespace {

// A user that is not us (nobody), for nodes of another user's group.
constexpr uid_t k_other_uid = 65534;

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
        const card_lock_s lock = card_lock_take_nodes(nodes);
        const int holder = static_cast<int>(lock.holder);
        if (write(fds[1], &holder, sizeof(holder)) != sizeof(holder)) {
            _exit(101);
        }
        _exit(static_cast<int>(lock.result));
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

void nap(double seconds) {
    timespec t{};
    t.tv_sec = static_cast<time_t>(seconds);
    t.tv_nsec = static_cast<long>((seconds - static_cast<double>(t.tv_sec)) * 1e9);
    while (nanosleep(&t, &t) != 0) {
    }
}

double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// How a process takes the card: as flash-update does, as a flashctl reader,
// or as a flashctl update that waits for readers.
enum how_e { HOW_EXCLUSIVE, HOW_SHARED, HOW_WAITING_EXCLUSIVE };

card_lock_s take_as(how_e how, const std::vector<std::string> &nodes, double wait_s,
                    const volatile sig_atomic_t *stop = nullptr) {
    if (how == HOW_EXCLUSIVE) {
        return card_lock_take_nodes(nodes);
    }
    const card_lock_mode_e mode = how == HOW_SHARED ? CARD_LOCK_SHARED : CARD_LOCK_EXCLUSIVE;
    return card_lock_take_nodes_wait(nodes, mode, wait_s, stop);
}

struct holder_spec_s {
    how_e how = HOW_EXCLUSIVE;
    uid_t uid = 0;       // another user when not 0
    double wait_s = 0;   // how long a waiting kind waits
    bool churn = false;  // lets go and comes back again and again
    double hold_s = 0;   // how long a churning holder holds (then 1 ms away)
    bool await = true;   // the constructor waits for the take's result
};

// A process that takes the nodes its arguments name and holds them until it is killed.
struct holder_process_s {
    pid_t pid = -1;
    bool held = false;
    int ready = -1;
    int taken = -1;  // the take's card_lock_result_e, -1 until known
    holder_process_s(const std::vector<std::string> &nodes, uid_t uid = 0)
        : holder_process_s(nodes, holder_spec_s{.uid = uid}) {}
    holder_process_s(const std::vector<std::string> &nodes, const holder_spec_s &spec) {
        int fds[2];
        if (pipe(fds) != 0) {
            return;
        }
        pid = fork();
        if (pid == 0) {
            close(fds[0]);
            if (spec.uid != 0 && (setgid(spec.uid) != 0 || setuid(spec.uid) != 0)) {
                _exit(100);
            }
            card_lock_s lock = take_as(spec.how, nodes, spec.wait_s);
            const char r = static_cast<char>(lock.result);
            if (write(fds[1], &r, 1) != 1) {
                _exit(1);
            }
            while (spec.churn) {
                nap(spec.hold_s);
                lock.release();
                nap(0.001);
                lock = take_as(spec.how, nodes, 5.0);
            }
            for (;;) {
                pause();
            }
        }
        close(fds[1]);
        ready = fds[0];
        if (spec.await) {
            result();
        }
    }
    // The take's result, waiting for it if need be.
    int result() {
        char r = 0;
        if (ready >= 0) {
            taken = read(ready, &r, 1) == 1 ? r : -1;
            held = taken == CARD_LOCK_HELD;
            close(ready);
            ready = -1;
        }
        return taken;
    }
    void kill_now() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
        if (ready >= 0) {
            close(ready);
            ready = -1;
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
    std::string make_node(const std::string &name, mode_t mode) {
        const std::string path = dir / name;
        EXPECT_TRUE(test_support::write_file(path, ""));
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }
    // Entries of the directory the nodes are in.
    size_t entries() const {
        const std::filesystem::directory_iterator it(dir.path);
        return static_cast<size_t>(std::distance(std::filesystem::begin(it), std::filesystem::end(it)));
    }

    test_support::temp_dir dir{"fu-card-lock"};
    std::string node;
    std::string other;
    card_lock_s lock;
};

TEST_F(CardLock, SecondTakerIsToldTheHolder) {
    lock = card_lock_take_nodes({node});
    ASSERT_EQ(lock.result, CARD_LOCK_HELD) << lock.reason;
    ASSERT_EQ(lock.fds.size(), 1u);
    EXPECT_EQ(lock.path, node);
    const child_take_s second = take_in_child({node});
    EXPECT_EQ(second.result, CARD_LOCK_BUSY);
    EXPECT_EQ(second.holder, getpid());
    // Another card is not held.
    EXPECT_EQ(take_in_child({other}).result, CARD_LOCK_HELD);
    // The node's contents are not the lock's business.
    EXPECT_EQ(test_support::file_text(node), "");
}

// The guard lets go when released, when it goes out of scope and when what
// it holds is replaced; a move hands the card on without letting go.
TEST_F(CardLock, TheGuardLetsGoAtReleaseScopeEndAndReplacement) {
    lock = card_lock_take_nodes({node});
    ASSERT_EQ(lock.result, CARD_LOCK_HELD);
    const int fd = lock.fds.front();
    lock.release();
    EXPECT_TRUE(lock.fds.empty());
    EXPECT_EQ(lock.result, CARD_LOCK_HELD);  // what the take gave
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(take_in_child({node}).result, CARD_LOCK_HELD);
    lock.release();  // nothing held: nothing to do

    {
        card_lock_s scoped = card_lock_take_nodes({node});
        ASSERT_EQ(scoped.result, CARD_LOCK_HELD);
        card_lock_s moved(std::move(scoped));
        EXPECT_TRUE(scoped.fds.empty());
        EXPECT_EQ(take_in_child({node}).result, CARD_LOCK_BUSY);
        lock = std::move(moved);
    }
    EXPECT_EQ(take_in_child({node}).result, CARD_LOCK_BUSY);  // lock holds it now
    lock = card_lock_take_nodes({other});
    EXPECT_EQ(take_in_child({node}).result, CARD_LOCK_HELD);
    EXPECT_EQ(take_in_child({other}).result, CARD_LOCK_BUSY);
    {
        const card_lock_s scoped = card_lock_take_nodes({node});
        ASSERT_EQ(scoped.result, CARD_LOCK_HELD);
    }
    EXPECT_EQ(take_in_child({node}).result, CARD_LOCK_HELD);
}

TEST_F(CardLock, ProcessEndDropsIt) {
    // A holder that is killed, not one that cleans up.
    holder_process_s killed({node});
    ASSERT_TRUE(killed.held);
    const card_lock_s busy = card_lock_take_nodes({node});
    EXPECT_EQ(busy.result, CARD_LOCK_BUSY);
    EXPECT_EQ(busy.holder, killed.pid);
    EXPECT_EQ(busy.path, node);
    EXPECT_TRUE(busy.fds.empty());
    killed.kill_now();
    lock = card_lock_take_nodes({node});
    EXPECT_EQ(lock.result, CARD_LOCK_HELD) << lock.reason;
}

// The client opens the same node and may close it again: the lock stays.
TEST_F(CardLock, SurvivesAnotherDescriptorOfTheNodeClosing) {
    lock = card_lock_take_nodes({node});
    ASSERT_EQ(lock.result, CARD_LOCK_HELD);
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
    EXPECT_EQ(card_lock_take_nodes({node}).result, CARD_LOCK_HELD);
}

// Another process holds the card (or, for the all-or-none rows, the second
// of two nodes) in one mode; this one takes it in another.
TEST_F(CardLock, ReadersShareAndExclusiveTakersWaitOrNot) {
    ASSERT_EQ(chown(node.c_str(), 0, k_other_uid), 0);  // the card's group may use it
    ASSERT_EQ(chown(other.c_str(), 0, k_other_uid), 0);
    const uid_t user = k_other_uid;
    const struct {
        const char *name;
        how_e holder;
        uid_t holder_uid;
        bool holds_other;  // the holder holds other, the taker takes node and other
        how_e taker;
        double wait_s;
        card_lock_result_e result;
    } rows[] = {
        {"two readers together", HOW_SHARED, user, false, HOW_SHARED, 0, CARD_LOCK_HELD},
        {"a reader keeps flash-update out", HOW_SHARED, 0, false, HOW_EXCLUSIVE, 0, CARD_LOCK_BUSY},
        {"an update waits for a reader", HOW_SHARED, user, false, HOW_WAITING_EXCLUSIVE, 0.12, CARD_LOCK_TIMED_OUT},
        {"a reader waits for an exclusive holder", HOW_EXCLUSIVE, user, false, HOW_SHARED, 0.12, CARD_LOCK_TIMED_OUT},
        {"an update does not wait for another", HOW_EXCLUSIVE, 0, false, HOW_WAITING_EXCLUSIVE, 5, CARD_LOCK_BUSY},
        {"a reader waits for every node", HOW_EXCLUSIVE, 0, true, HOW_SHARED, 0.12, CARD_LOCK_TIMED_OUT},
        {"an update waits for every node", HOW_SHARED, 0, true, HOW_WAITING_EXCLUSIVE, 0.12, CARD_LOCK_TIMED_OUT},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const std::vector<std::string> held_nodes{row.holds_other ? other : node};
        const std::vector<std::string> nodes = row.holds_other ? std::vector{node, other} : held_nodes;
        holder_process_s holder(held_nodes, holder_spec_s{.how = row.holder, .uid = row.holder_uid});
        ASSERT_TRUE(holder.held);
        const double start = now_s();
        card_lock_s taken = take_as(row.taker, nodes, row.wait_s);
        const double elapsed = now_s() - start;
        EXPECT_EQ(taken.result, row.result);
        if (row.result == CARD_LOCK_HELD) {
            EXPECT_EQ(taken.holder, 0);
            EXPECT_EQ(taken.fds.size(), nodes.size());
        } else {
            EXPECT_EQ(taken.holder, holder.pid);
            EXPECT_EQ(taken.path, held_nodes.front());
            EXPECT_TRUE(taken.fds.empty());
        }
        // Waited its whole time when it waits, not at all otherwise.
        const double waited = row.result == CARD_LOCK_TIMED_OUT ? row.wait_s : 0.0;
        EXPECT_GE(elapsed, waited);
        EXPECT_LT(elapsed, waited + 0.5);
        taken.release();
        if (row.holds_other) {
            EXPECT_EQ(take_in_child({node}).result, CARD_LOCK_HELD);  // the refused taker left node free
        }
        holder.kill_now();
        EXPECT_EQ(take_in_child(nodes).result, CARD_LOCK_HELD);
    }
    EXPECT_EQ(test_support::file_text(node), "");
    EXPECT_EQ(entries(), 2u);
}

// A reader waiting for one node of the card holds none of the others
// meanwhile: an update waiting for it there would otherwise wait for ever.
TEST_F(CardLock, AWaitingReaderHoldsNoOtherNode) {
    holder_process_s holds_other({other});
    ASSERT_TRUE(holds_other.held);
    holder_process_s reader({node, other}, holder_spec_s{.how = HOW_SHARED, .wait_s = 5, .await = false});
    nap(0.02);
    // Free but for the moments of the reader's tries.
    bool free = false;
    for (int i = 0; i < 5 && !free; ++i) {
        free = card_lock_take_nodes({node}).result == CARD_LOCK_HELD;
        nap(0.007);
    }
    EXPECT_TRUE(free);
    holds_other.kill_now();
    EXPECT_EQ(reader.result(), CARD_LOCK_HELD);
}

// A waiting update keeps new readers out, and gets the card when the reader
// inside is killed.
TEST_F(CardLock, NewReadersQueueBehindAWaitingUpdate) {
    holder_process_s reader({node}, holder_spec_s{.how = HOW_SHARED});
    ASSERT_TRUE(reader.held);
    holder_process_s update({node}, holder_spec_s{.how = HOW_WAITING_EXCLUSIVE, .wait_s = 5, .await = false});
    // Once the update waits, a new reader is kept out and told whom it waits for.
    bool queued = false;
    for (int i = 0; i < 400 && !queued; ++i) {
        const card_lock_s probe = take_as(HOW_SHARED, {node}, 0);
        queued = probe.result == CARD_LOCK_TIMED_OUT && probe.holder == update.pid;
        nap(queued ? 0 : 0.005);
    }
    ASSERT_TRUE(queued);
    // Another update is busy at once because of the waiting one, flash-update
    // because of the reader.
    const card_lock_s second = take_as(HOW_WAITING_EXCLUSIVE, {node}, 5);
    EXPECT_EQ(second.result, CARD_LOCK_BUSY);
    EXPECT_EQ(second.holder, update.pid);
    const card_lock_s third = card_lock_take_nodes({node});
    EXPECT_EQ(third.result, CARD_LOCK_BUSY);
    EXPECT_EQ(third.holder, reader.pid);

    reader.kill_now();
    EXPECT_EQ(update.result(), CARD_LOCK_HELD);
    EXPECT_EQ(take_in_child({node}).holder, update.pid);
    update.kill_now();
    EXPECT_EQ(take_as(HOW_SHARED, {node}, 0).result, CARD_LOCK_HELD);
}

// Readers that keep coming (a dry run every few ms), always at least one
// inside: the update still gets the card well within its wait.
TEST_F(CardLock, AStreamOfReadersDoesNotStarveAnUpdate) {
    std::vector<std::unique_ptr<holder_process_s>> readers;
    for (int i = 0; i < 3; ++i) {
        readers.push_back(std::make_unique<holder_process_s>(
            std::vector{node}, holder_spec_s{.how = HOW_SHARED, .wait_s = 5, .churn = true, .hold_s = 0.02}));
        ASSERT_TRUE(readers.back()->held);
        nap(0.007);
    }
    EXPECT_EQ(card_lock_take_nodes({node}).result, CARD_LOCK_BUSY);
    const double start = now_s();
    lock = take_as(HOW_WAITING_EXCLUSIVE, {node}, 1.5);
    EXPECT_EQ(lock.result, CARD_LOCK_HELD) << "reader " << lock.holder;
    EXPECT_LT(now_s() - start, 1.0);
}

volatile sig_atomic_t g_stop = 0;

void raise_stop(int) {
    g_stop = 1;
}

// A signal raises the stop 80 ms into a 5 s wait.
TEST_F(CardLock, AStopCutsAWaitShort) {
    struct sigaction on_alarm {};
    on_alarm.sa_handler = raise_stop;
    sigemptyset(&on_alarm.sa_mask);
    struct sigaction saved {};
    ASSERT_EQ(sigaction(SIGALRM, &on_alarm, &saved), 0);
    holder_process_s holder({node});
    ASSERT_TRUE(holder.held);
    itimerval in_80ms{};
    in_80ms.it_value.tv_usec = 80000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &in_80ms, nullptr), 0);
    const double start = now_s();
    lock = take_as(HOW_SHARED, {node}, 5, &g_stop);
    EXPECT_EQ(lock.result, CARD_LOCK_STOPPED);
    EXPECT_GE(now_s() - start, 0.07);
    EXPECT_LT(now_s() - start, 0.5);
    EXPECT_EQ(lock.holder, holder.pid);
    EXPECT_TRUE(lock.fds.empty());
    sigaction(SIGALRM, &saved, nullptr);
}

TEST_F(CardLock, RootAndOtherUsersMeet) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: gives the node to another user's group and takes it as that user";
    ASSERT_EQ(chown(node.c_str(), 0, k_other_uid), 0);  // the card's group may use it
    lock = card_lock_take_nodes({node});
    ASSERT_EQ(lock.result, CARD_LOCK_HELD);
    const child_take_s user = take_in_child({node}, k_other_uid);
    EXPECT_EQ(user.result, CARD_LOCK_BUSY);
    EXPECT_EQ(user.holder, getpid());
    lock.release();

    holder_process_s user_holds({node}, k_other_uid);
    ASSERT_TRUE(user_holds.held);
    const card_lock_s root = card_lock_take_nodes({node});
    EXPECT_EQ(root.result, CARD_LOCK_BUSY);
    EXPECT_EQ(root.holder, user_holds.pid);
}

TEST_F(CardLock, WhoCannotOpenTheNodeCannotHoldIt) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: tries the node as another user";
    ASSERT_EQ(chmod(node.c_str(), 0600), 0);
    holder_process_s outsider({node}, k_other_uid);
    EXPECT_FALSE(outsider.held);
    lock = card_lock_take_nodes({node});
    EXPECT_EQ(lock.result, CARD_LOCK_HELD) << lock.reason;
}

TEST_F(CardLock, NoNodeIsNoDevice) {
    lock = card_lock_take_nodes({});
    EXPECT_EQ(lock.result, CARD_LOCK_FAILED);
    EXPECT_TRUE(lock.no_device);
    EXPECT_EQ(lock.reason, "no device node found for the card");
    lock = card_lock_take_nodes({dir / "missing"});
    EXPECT_EQ(lock.result, CARD_LOCK_FAILED);
    EXPECT_TRUE(lock.no_device);
    EXPECT_EQ(lock.reason, dir / "missing" + ": No such file or directory");
    // A further node out of reach is another card's: the first is held.
    lock = card_lock_take_nodes({node, dir / "missing"});
    EXPECT_EQ(lock.result, CARD_LOCK_HELD);
    EXPECT_EQ(lock.fds.size(), 1u);
}

// The one address check of every program: flash-update's last argument,
// the serial number's lspci line, the lock's driver directories, flashctl
// and the virtual card's --bdf.
TEST(CardAddress, Pattern) {
    const struct {
        const char *text;
        bool valid;
    } rows[] = {
        {"0000:03:00.0", true},     {"ABCD:Ef:1f.7", true},
        {"0000:03:00.8", false},    {"000:03:00.0", false},
        {"0000:03:00", false},      {"0000:03:00.0 ", false},
        {" 0000:03:00.0", false},   {"0000:03:00.0\n", false},
        {"00.0.0", false},          {"", false},
        {"0000:3:00.0", false},     {"0000:03:00.00", false},
        {"0000.03:00.0", false},    {"0000:03:00:0", false},
        {"g000:03:00.0", false},    {"0000:03:00.0;ls", false},
        {"0000:03:0\xe0.0", false},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(card_address_valid(row.text), row.valid) << '"' << row.text << '"';
    }
    EXPECT_FALSE(card_address_valid(nullptr));
    static_assert(card_address_valid("0000:03:00.0"), "usable in constant expressions");
}

}  // namespace

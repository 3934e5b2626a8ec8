// SPDX-License-Identifier: Apache-2.0
// The lock of a physical card, taken by every program before it changes the
// card's flash or boot state, and shared by the commands that only start a
// long card operation (a checksum of a partition) without changing anything.
// It lives with the card's device nodes, below every front end: flash-update,
// flashctl and any other program that links this library meet on it.
//
// Two such commands on one card at once would interleave their requests (an
// erase under an install, two installs writing alternate chunks), and the
// card computes one checksum at a time: a second checksum request restarts
// the pending one, so a steady stream of them starves an update's. The lock
// is therefore held on the card's device node itself, not on a file named
// after the address the user typed: every spelling of the card (its address,
// CRD_BDF, the default node, misc or fwctl transport) leads to the same node,
// root and other users meet on it, only someone who can open the card's
// device can hold it, and it ends with the last descriptor, so a killed holder
// leaves nothing behind.
//
// On each node, four bytes:
//  - byte 0, the exclusion byte: an open-file-description write lock keeps
//    everyone else out (an exclusive holder), open-file-description read
//    locks let readers hold the card together while keeping exclusive takers
//    out. These locks survive the client opening and closing the same node.
//  - byte 1: a classic record read lock names a holder's pid to the next taker
//    (classic record locks are the only kind that reports its owner); readers
//    set it too. It ends when the holder closes any descriptor of the node,
//    after which the holder is still kept out but no longer named.
//  - byte 2, the turnstile: an updater that waits for readers to leave holds
//    an open-file-description write lock on it; readers take a read lock on it
//    only while they take byte 0, so new readers queue behind a waiting
//    updater instead of keeping it out for ever. It opens once the updater
//    holds byte 0.
//  - byte 3: the waiting updater's classic read lock, naming it.
//
// Holding the lock is a guard (card_lock_s): every take returns one with its
// result, and the guard lets go of what it holds when it goes out of scope or
// at release(), so no early return keeps a card. A program that holds a card
// until it ends keeps its guard alive until then.
//
// A taker that does not wait (flash-update's mutating commands) only tries
// byte 0: any holder, reader or exclusive, makes it busy at once.
#pragma once

#include "flash-update/vocabulary/fu_vocabulary.h"

#include <sys/types.h>

#include <csignal>
#include <string>
#include <vector>

// The misc IPC driver's node for a run without a card address.
inline constexpr const char *CARD_LOCK_DEFAULT_NODE = FU_DEFAULT_NODE;

enum card_lock_result_e : int {
    CARD_LOCK_HELD = 0,       // this process holds the card
    CARD_LOCK_BUSY = 1,       // another process holds it (holder, path set)
    CARD_LOCK_FAILED = 2,     // the card could not be locked (reason set)
    CARD_LOCK_TIMED_OUT = 3,  // waited its time and the card is still held (holder, path set)
    CARD_LOCK_STOPPED = 4,    // the stop was raised while waiting (holder, path set)
};

// How a card is held: alone, by a command that changes it, or together with
// other readers, by commands that start a long card operation but change
// nothing.
enum card_lock_mode_e : int {
    CARD_LOCK_EXCLUSIVE = 0,
    CARD_LOCK_SHARED = 1,
};

// A take of a card's lock: what it gave, and while HELD the descriptors that
// hold the card. Move-only; destroying it or release() lets go of the card.
// A default guard holds nothing (a stand-in card returns one with the result
// it wants).
struct card_lock_s {
    card_lock_result_e result = CARD_LOCK_FAILED;
    pid_t holder = 0;        // the process holding the card when not held (0: unknown)
    std::string path;        // first node held, or the node found busy
    std::string reason;      // why the card could not be locked
    bool no_device = false;  // FAILED because no node of the card can be opened by this user
    std::vector<int> fds;    // every node held (empty once released); closing them drops the lock

    card_lock_s() = default;
    card_lock_s(card_lock_s &&other) noexcept;
    card_lock_s &operator=(card_lock_s &&other) noexcept;
    card_lock_s(const card_lock_s &) = delete;
    card_lock_s &operator=(const card_lock_s &) = delete;
    ~card_lock_s();

    // Lets go of every node it holds (without an address more than one node
    // may be held); nothing when it holds none. result stays what the take
    // gave.
    void release();
};

// Takes exclusively, without waiting, the lock of the physical card behind
// bdf (a card address, or "00.0.0" for CRD_BDF / the default node): the
// lock flash-update's mutating commands take. holder set when BUSY, reason
// (and no_device) when FAILED.
[[nodiscard]] card_lock_s card_lock_acquire(const char *bdf);

// Takes the lock of the card behind bdf (as card_lock_acquire) in mode,
// waiting up to wait_s seconds (0: one try) while the card is held in a way
// this taker waits for, trying again every 50 ms. When stop is not null, a
// refused try finding *stop non-zero ends the wait (a signal handler may
// raise it; the signal also cuts the current 50 ms short). All nodes or none.
//  - CARD_LOCK_SHARED waits while an exclusive holder or a waiting updater
//    holds the card; TIMED_OUT/STOPPED name that holder (0: unknown).
//  - CARD_LOCK_EXCLUSIVE waits only for readers to leave, and keeps new
//    readers out meanwhile; TIMED_OUT/STOPPED name one of the readers (0:
//    unknown). An exclusive holder or another waiting updater makes it BUSY
//    at once, naming it as card_lock_acquire does.
// FAILED as card_lock_acquire (no_device when the first node cannot be
// opened). Nothing is held unless HELD.
[[nodiscard]] card_lock_s card_lock_acquire_wait(const char *bdf, card_lock_mode_e mode, double wait_s,
                                                 const volatile sig_atomic_t *stop);

// The device nodes whose locks stand for the card behind bdf, the first one
// the node the client opens. Without an address (and without CRD_BDF) the
// default node, mapped to its card when sysfs tells which one, otherwise
// together with every card's nodes. Empty when the card has no node.
std::vector<std::string> card_lock_nodes(const char *bdf);

// card_lock_acquire and card_lock_acquire_wait on the given nodes: all or
// none, the first of them the one that must open.
[[nodiscard]] card_lock_s card_lock_take_nodes(const std::vector<std::string> &nodes);
[[nodiscard]] card_lock_s card_lock_take_nodes_wait(const std::vector<std::string> &nodes, card_lock_mode_e mode,
                                                    double wait_s, const volatile sig_atomic_t *stop);

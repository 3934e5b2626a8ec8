// The lock of a physical card, taken by the commands that change its flash or
// boot state.
//
// Two such commands on one card at once would interleave their requests (an
// erase under an install, two installs writing alternate chunks). The lock is
// therefore held on the card's device node itself, not on a file named after
// the address the user typed: every spelling of the card (its address,
// CRD_BDF, the default node, misc or fwctl transport) leads to the same node,
// root and other users meet on it, only someone who can open the card's
// device can hold it, and it ends with the last descriptor, so a killed holder
// leaves nothing behind.
//
// On each node: an open-file-description write lock on byte 0 keeps others
// out (it survives the client opening and closing the same node), and a
// classic record read lock on byte 1 names the holder's pid to the next
// taker (classic record locks are the only kind that reports its owner). The
// latter ends when the holder closes any descriptor of the node, after which
// the holder is still kept out but no longer named.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// The misc IPC driver's node for a run without a card address.
inline constexpr const char *CARD_LOCK_DEFAULT_NODE = "/dev/velaipcdev";

enum card_lock_result_e : int {
    CARD_LOCK_HELD = 0,    // this process holds the card
    CARD_LOCK_BUSY = 1,    // another process holds it (holder, path set)
    CARD_LOCK_FAILED = 2,  // the card could not be locked (reason set)
};

struct card_lock_s {
    int fd = -1;             // the card's node while held (first of fds)
    std::vector<int> fds;    // every node held; closing them all drops the lock
    pid_t holder = 0;        // the process holding the card when busy (0: unknown)
    std::string path;        // node held, or the node found busy
    std::string reason;      // why the card could not be locked
    bool no_device = false;  // FAILED because no node of the card can be opened by this user
};

// Takes, without waiting, the lock of the physical card behind bdf (a valid
// address, or "00.0.0" for CRD_BDF / the default node): the same lock
// flash-update's mutating commands take. Held until card_lock_release or the
// end of the process; holder set when BUSY, reason when FAILED.
card_lock_result_e card_lock_acquire(const char *bdf, card_lock_s &lock);

// Drops a held lock (closes all its descriptors: without an address more
// than one node may be held); nothing when not held.
void card_lock_release(card_lock_s &lock);

// True when text is a card address dddd:bb:dd.f (hex digits, function 0-7).
bool card_address_valid(const char *text);

// The device nodes whose locks stand for the card behind bdf, the first one
// the node the client opens. Without an address (and without CRD_BDF) the
// default node, mapped to its card when sysfs tells which one, otherwise
// together with every card's nodes. Empty when the card has no node.
std::vector<std::string> card_lock_nodes(const char *bdf);

// Takes the lock on each of nodes in turn, all or none.
card_lock_result_e card_lock_take_nodes(const std::vector<std::string> &nodes, card_lock_s &lock);

// The front end's step before a command that changes the card: takes the
// card's lock and keeps it until the process ends. A card without a node this
// user can open is not locked (the client's open reports it). False after a
// message on standard error:
//   "flash-update: card %s is busy: another flash-update (pid %d) holds its lock\n"
//   "flash-update: cannot lock card %s: %s\n"
bool card_lock_hold(const char *bdf);

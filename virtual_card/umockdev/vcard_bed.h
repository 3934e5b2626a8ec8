// SPDX-License-Identifier: Apache-2.0
// The virtual card as the host sees it: PCI functions in sysfs, the vela_ipc
// misc node and the kvc_core fwctl node, emulated with a umockdev testbed
// whose device handlers pass every request to the card's service model.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "vcard_service.h"

struct vcard_bed_card_s {
    std::string bdf;         // the card's bridge, e.g. "0000:03:00.0"
    std::string state_dir;   // the service's state
    std::string serial;      // 11 characters, in VPD and the Device Serial Number capability
    std::string misc_node;   // "/dev/velaipcdev<n>", empty without misc node
    std::string fwctl_node;  // "/dev/fwctl/fwctl<n>"
};

struct vcard_bed_options_s {
    std::string bdf = "0000:03:00.0";  // first card
    std::string state_dir;             // first card's state; card n >= 2 uses <state_dir>/card<n>
    unsigned cards = 1;
    bool no_misc = false;     // the IPC function has no misc node (and no default node)
    vcard_options_s service;  // polls, layout version, faults; state_dir is set per card
    // Changes card index's options (its address: vcard_bed_card_bdf) from the service's above
    // (null: every card takes them as they are).
    std::function<void(unsigned index, vcard_options_s &options)> per_card;
};

struct vcard_bed_s;

// Address of the n-th card (0-based): the first card's bus plus 0x10 per card.
// Empty when the address is malformed or the bus would pass 0xfe.
std::string vcard_bed_card_bdf(const std::string &first_bdf, unsigned index);
// The serial number that card index of the card at bdf reports.
std::string vcard_bed_serial(const std::string &first_bdf, unsigned index);

// Creates the testbed (which sets UMOCKDEV_DIR in this process's
// environment), opens each card's service, attaches the node handlers and
// starts the misc nodes' direct channel (misc_channel.h). Must run before this process starts any thread of its own. Null with a
// message on standard error on failure.
vcard_bed_s *vcard_bed_start(const vcard_bed_options_s &options);
// Root directory of the testbed (the value of UMOCKDEV_DIR).
std::string vcard_bed_root(const vcard_bed_s *bed);
const std::vector<vcard_bed_card_s> &vcard_bed_cards(const vcard_bed_s *bed);
// The clock of card index (vcard_clock): its time in the run so far.
vcard_clock_s vcard_bed_clock(const vcard_bed_s *bed, unsigned index);
// Detaches the handlers, closes the services and removes the testbed.
void vcard_bed_stop(vcard_bed_s *bed);

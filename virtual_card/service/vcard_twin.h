// SPDX-License-Identifier: Apache-2.0
// Virtual twins: a virtual card made from what an inventory of a real card
// reported (`flashctl inventory --json`), so that a rollout can be rehearsed
// on copies of the fleet's own state before a real card is touched.
#pragma once

#include <string>
#include <vector>

// Reads the inventory document at path and writes the state of one virtual
// card per card that answered, in order, into state_dirs (created when
// missing; a directory that already holds a card state is refused, never
// overwritten). Carried over: the partition versions, the running and
// startup image, the service's layout version, secure boot, the life-cycle
// states and the bl1 and bastion boot partitions, versions and counters.
// A partition the virtual card does not have, or has with another name or
// size, is refused, and so are a document over 16 MiB (at most that and a
// byte are read), nested deeper than 64 levels, and a partition version
// holding a control character. False with the reason, one line, in err.
bool vcard_twin_create(const std::string &inventory_path, const std::vector<std::string> &state_dirs, std::string &err);

// Addresses of the cards that answered in the inventory document at path, in
// order; false with the reason in err when the document cannot be read.
bool vcard_twin_cards(const std::string &inventory_path, std::vector<std::string> &addresses, std::string &err);

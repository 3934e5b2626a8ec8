// SPDX-License-Identifier: Apache-2.0
// The misc nodes' direct channel, served by the launcher beside the umockdev
// testbed: the preload library that the launcher puts in front of umockdev's
// (libfu-vcard-misc.so) sends each write on a misc node here and gets the
// node's answer and the response in one round trip. The nodes' umockdev
// handlers stay: a command that runs under umockdev's preload alone (the
// serve mode's environment) reaches the same card through them.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "vcard_service.h"

struct misc_channel_s;

// One listening socket per node ("/dev/velaipcdev0" listens at
// root/vcard-misc/velaipcdev0) and a thread per connection, each passing
// writes to vcard_misc_exchange of its node's card. Null, with nothing left
// behind, when a socket cannot be made (a path too long for a socket
// address): the nodes are then reached through umockdev only.
misc_channel_s *misc_channel_start(const std::string &root,
                                   const std::vector<std::pair<std::string, vcard_s *>> &nodes);
// Closes the sockets and joins the threads; before the cards close.
void misc_channel_stop(misc_channel_s *channel);

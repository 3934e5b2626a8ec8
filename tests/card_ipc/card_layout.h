// SPDX-License-Identifier: Apache-2.0
// The cards of this test process's fake PCI tree, all in one pid-derived
// domain:
//   card 1 bridge :03 (buses 04-05): rsc, ipc (misc node), core (fwctl node,
//     emulated), function A, function B and a function of another vendor;
//     serial ABCDEFGHIJK on rsc, ipc and core.
//   card 2 bridge :08 (bus 09): core (several entries in its fwctl directory)
//     and rsc, serial KRV7; no ipc function.
//   card 3 bridge :0b (bus 0c): ipc (misc node) without a serial number, core
//     without a driver, rsc with card 1's serial number.
//   card 4 bridge :0e (bus 0f): function A only.
//   loose function :30:00.0 of another vendor, for resource files.
#pragma once

#include <string>

#include "fake_pci.h"

struct card_layout_s {
    std::string card1, card1_rsc, card1_ipc, card1_core, card1_func_a, card1_func_b, card1_foreign;
    std::string card2, card2_core, card2_rsc;
    std::string card3, card3_ipc, card3_core, card3_rsc;
    std::string card4, card4_func_a;
    std::string loose;
};

inline constexpr const char *k_card1_serial = "ABCDEFGHIJK";
inline constexpr const char *k_card1_uuid = "42424142-4344-4546-4748-494a4b000000";
inline constexpr const char *k_card2_serial = "KRV7";
inline constexpr const char *k_card2_uuid = "42424b52-5637-0000-0000-000000000000";

const card_layout_s &cards();
const std::string &loose_devpath();  // sysfs path of the loose function
// The ipc functions come and go for the lookups that fall back to core.
void remove_ipc_functions();
void add_ipc_functions();

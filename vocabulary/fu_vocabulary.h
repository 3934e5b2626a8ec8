// SPDX-License-Identifier: Apache-2.0
// The names and constants that flash-update, flashctl, the virtual card and
// the fleet tooling share, each defined once: where the programs keep their
// files, how the card shows on the PCI bus, and the names its states and
// images go by in the documents.
#pragma once

#include <cstddef>
#include <cstdint>

// Per-card scratch directories live under this one ("/tmp/korvex/<bdf>/").
inline constexpr const char *FU_SCRATCH_DIR = "/tmp/korvex/";
// Public keys for the card's signature checks ("<name>_key-pub.pem").
inline constexpr const char *FU_KEY_DIR = "/etc/orv/korvex/larch/fwkeys";
// The card address of a run that names none (CRD_BDF or the default node).
inline constexpr const char *FU_NO_CARD = "00.0.0";
// The misc IPC driver's node for a run without a card address.
inline constexpr const char *FU_DEFAULT_NODE = "/dev/velaipcdev";

// The card on the PCI bus: its maker, and the functions behind its bridge.
// A card's address is its bridge's.
inline constexpr uint32_t CRD_PCI_VENDOR_ID = 0x1e5a;
inline constexpr uint32_t CRD_DEVID_ASIC = 0x0100;      // the card's bridge
inline constexpr uint32_t CRD_DEVID_VELA_IPC = 0x0101;  // IPC function, vela_ipc misc node
inline constexpr uint32_t CRD_DEVID_KVC_CORE = 0x0102;  // core function, kvc_core fwctl node
inline constexpr uint32_t CRD_DEVID_RSC = 0x0103;
inline constexpr uint32_t CRD_DEVID_FUNC_A = 0x0104;
inline constexpr uint32_t CRD_DEVID_FUNC_B = 0x0105;

// Life-cycle states by number, as the card reports them.
inline constexpr const char *const FU_LIFE_CYCLE_NAMES[] = {"disabled", "open", "soft_prod", "prod", "rip"};
inline constexpr size_t FU_LIFE_CYCLE_COUNT = sizeof FU_LIFE_CYCLE_NAMES / sizeof FU_LIFE_CYCLE_NAMES[0];

// The firmware images by their number (firmware_image_type_e), as flashctl's
// documents (schema version 1) name them: "gold" is the golden image the
// command line's catalogue calls "a35-goldfw". Readers of a document take
// either name for it.
inline constexpr const char *const FU_IMAGE_NAMES[] = {"fw-a", "fw-b", "gold"};
inline constexpr const char *FU_GOLDEN_IMAGE_CATALOGUE_NAME = "a35-goldfw";
inline constexpr size_t FU_IMAGE_COUNT = sizeof FU_IMAGE_NAMES / sizeof FU_IMAGE_NAMES[0];

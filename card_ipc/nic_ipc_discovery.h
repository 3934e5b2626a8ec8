// SPDX-License-Identifier: Apache-2.0
// Discovery queries for programs that manage several cards.
#pragma once

#include <cstdint>

#include "nic_ipc.h"
#include "nic_pci.h"

inline constexpr uint32_t NIC_IPC_CARD_RSC_FOUND = 0x1;
inline constexpr uint32_t NIC_IPC_CARD_IPC_FOUND = 0x2;
inline constexpr uint32_t NIC_IPC_CARD_CORE_FOUND = 0x4;
inline constexpr uint32_t NIC_IPC_CARD_FUNC_A_FOUND = 0x8;
inline constexpr uint32_t NIC_IPC_CARD_FUNC_B_FOUND = 0x10;

inline constexpr unsigned NIC_IPC_SERIAL_LEN = 12;  // 11 characters and a NUL
inline constexpr unsigned NIC_IPC_UUID_LEN = 37;    // 36 characters and a NUL

struct nic_ipc_card_device_info_s {
    uint32_t flags;
    char rsc_bdf[NIC_PCI_BDF_LEN];
    char ipc_bdf[NIC_PCI_BDF_LEN];
    char core_bdf[NIC_PCI_BDF_LEN];
    char func_a_bdf[NIC_PCI_BDF_LEN];
    char func_b_bdf[NIC_PCI_BDF_LEN];
    char ipc_dev_path[NIC_IPC_PATH_MAX];
    char fwctl_dev_path[NIC_IPC_PATH_MAX];
};

struct nic_ipc_card_info_s {
    char uuid[NIC_IPC_UUID_LEN];
    char serial_num[NIC_IPC_SERIAL_LEN];
    nic_ipc_card_device_info_s dev_info;
};

int nic_ipc_card_pcie_devices(uint16_t vendor, uint16_t device, char (*bdfs)[NIC_PCI_BDF_LEN], uint8_t capacity);
int nic_ipc_get_card_device_info(const char *card_bdf, nic_ipc_card_device_info_s *info);
int nic_ipc_get_card_info(const char *card_bdf, nic_ipc_card_info_s *info);
// The caller provides room for every function of the maker behind the card.
int nic_ipc_card_device_list_get(const char *card_bdf, char (*bdfs)[NIC_PCI_BDF_LEN], uint32_t *count);
// The same, stopping after capacity entries.
int nic_ipc_card_device_list_get(const char *card_bdf, char (*bdfs)[NIC_PCI_BDF_LEN], uint32_t capacity,
                                 uint32_t *count);
int nic_ipc_is_device_bar_map_valid(const char *bdf);
int nic_ipc_card_bdf_from_uuid(const char *uuid, char *card_bdf);     // 33 bytes
int nic_ipc_card_rsc_bdf_from_uuid(const char *uuid, char *rsc_bdf);  // 32 bytes

int nic_ipc_card_serial_read(const char *bdf, char *serial);   // 12 bytes
int nic_ipc_uuid_from_serial(const char *serial, char *uuid);  // 37 bytes
int nic_ipc_serial_from_uuid(const char *uuid, char *serial);  // 12 bytes

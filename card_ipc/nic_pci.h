// SPDX-License-Identifier: Apache-2.0
// Finding the card's PCI functions behind its bridge in sysfs.
#pragma once

#include <cstdint>

// The card maker's identifiers (CRD_PCI_VENDOR_ID, CRD_DEVID_*). The vendor ID
// is not listed in pci.ids, so lspci shows the raw numbers; the host drivers
// bind to the IPC and core IDs.
#include "flash-update/vocabulary/fu_vocabulary.h"

inline constexpr unsigned NIC_PCI_BDF_LEN = 33;  // 32 characters and a NUL
inline constexpr const char *NIC_PCI_SYSFS_DEVICES = "/sys/bus/pci/devices/";
inline constexpr const char *NIC_PCI_SYSFS_DRIVERS = "/sys/bus/pci/drivers/";

// Address of the first function with device ID devid on the buses behind the
// card's bridge. 0 found (written to bdf_out, 33 bytes), -1 otherwise.
int device_bdf_from_crd_bdf(const char *crd_bdf, uint32_t devid, char *bdf_out);
// Reads the first line of the sysfs attribute attr of function bdf as a
// number in base. 0 read (text that is no number reads as 0), -1 when the
// attribute cannot be opened.
int nic_pci_read_attr(const char *bdf, const char *attr, int base, unsigned long *out);
// Device node that a driver created for the card's function with device ID
// devid: the first entry whose name holds marker in the driver's directory
// <driver>/<function>/<subdir>, as node_dir followed by the entry's name.
// 0 found (written to path, NIC_IPC_PATH_MAX bytes), -1 otherwise.
int nic_pci_device_node(const char *crd_bdf, uint32_t devid, const char *driver, const char *subdir, const char *marker,
                        const char *node_dir, char *path);
int nic_ipc_kvc_core_bdf_from_card_bdf(const char *crd_bdf, char *bdf_out);
uint32_t nic_ipc_asic_pcie_device_id();

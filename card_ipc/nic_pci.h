// Finding the card's PCI functions behind its bridge in sysfs.
#pragma once

#include <cstdint>

// The card maker's identifiers. The vendor ID is not listed in pci.ids, so
// lspci shows the raw numbers; the host drivers bind to the IPC and core IDs.
inline constexpr uint32_t CRD_PCI_VENDOR_ID = 0x1e5a;
inline constexpr uint32_t CRD_DEVID_ASIC = 0x0100;      // the card's bridge
inline constexpr uint32_t CRD_DEVID_VELA_IPC = 0x0101;  // IPC function, vela_ipc misc node
inline constexpr uint32_t CRD_DEVID_KVC_CORE = 0x0102;  // core function, kvc_core fwctl node
inline constexpr uint32_t CRD_DEVID_RSC = 0x0103;
inline constexpr uint32_t CRD_DEVID_FUNC_A = 0x0104;
inline constexpr uint32_t CRD_DEVID_FUNC_B = 0x0105;

inline constexpr unsigned NIC_PCI_BDF_LEN = 33;  // 32 characters and a NUL
inline constexpr const char *NIC_PCI_SYSFS_DEVICES = "/sys/bus/pci/devices/";
inline constexpr const char *NIC_PCI_SYSFS_DRIVERS = "/sys/bus/pci/drivers/";

// Address of the first function with device ID devid on the buses behind the
// card's bridge. 0 found (written to bdf_out, 33 bytes), -1 otherwise.
int device_bdf_from_crd_bdf(const char *crd_bdf, uint32_t devid, char *bdf_out);
int nic_ipc_kvc_core_bdf_from_card_bdf(const char *crd_bdf, char *bdf_out);
uint32_t nic_ipc_asic_pcie_device_id();

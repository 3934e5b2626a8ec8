// SPDX-License-Identifier: Apache-2.0
// Secure boot management: switching secure boot, updating a secure
// component (alternate boot partition, anti-rollback counter, production
// life cycle) and reporting a component's secure state.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "rfc_internal.h"
#include "rfc_reads.h"

namespace {

void write_secure_info(rfc_output_s &out, secure_image_type_e type, const rfc_secure_info_s &info) {
    rfc_output_printf(out, "{\n");
    rfc_output_printf(out, "\"secure_ipc_version\": \"%u\",\n", info.secure_ipc_version);
    switch (type) {
        case SECURE_IMAGE_BL1:
            rfc_output_printf(out, "\"current_boot_partition\": \"%u\",\n", info.current_boot_partition);
            rfc_output_printf(out, "\"next_boot_partition\": \"%u\",\n", info.next_boot_partition);
            rfc_output_printf(out, "\"bl1_ar_nv_count\": \"%lu\",\n", static_cast<unsigned long>(info.bl1_ar_nv_count));
            rfc_output_printf(out, "\"bl1_ar_version\": \"%u\",\n", info.bl1_ar_version);
            rfc_output_printf(out, "\"bl1_version\": \"%lu\"\n", static_cast<unsigned long>(info.bl1_version));
            break;
        case SECURE_IMAGE_BASTION:
            rfc_output_printf(out, "\"current_boot_partition\": \"%u\",\n", info.current_boot_partition);
            rfc_output_printf(out, "\"next_boot_partition\": \"%u\",\n", info.next_boot_partition);
            rfc_output_printf(out, "\"bastionfw_version\": \"%lu\",\n",
                              static_cast<unsigned long>(info.bastionfw_version));
            rfc_output_printf(out, "\"bastion_ar_nv_count\": \"%lu\",\n",
                              static_cast<unsigned long>(info.bastion_ar_nv_count));
            rfc_output_printf(out, "\"bastion_ar_version\": \"%u\"\n", info.bastion_ar_version);
            break;
        case SECURE_IMAGE_BL31:
            rfc_output_printf(out, "\"bl31 version\": \"%s\"\n", info.bl31_version.c_str());
            break;
        case SECURE_IMAGE_LCS:
            rfc_output_printf(out, "\"fuse\": \"0x%x\",\n", static_cast<unsigned>(info.fuse));
            rfc_output_printf(out, "\"bootloader1_current_fuse\": \"0x%x\",\n", info.bootloader1_current_fuse);
            rfc_output_printf(out, "\"bastion_enable\": \"0x%x\",\n", info.bastion_enable);
            rfc_output_printf(out, "\"lcs_boot_state\": \"%s\",\n", rfc_lcs_name(info.lcs_boot_state));
            rfc_output_printf(out, "\"lcs_next_state\": \"%s\"\n", rfc_lcs_name(info.lcs_next_state));
            break;
        default:
            RFC_ERR("[%s] Image type is not supported %u", static_cast<unsigned>(type));
            break;
    }
    rfc_output_printf(out, "}\n");
}

void fill_secure_info(const fwupdate_secure_info_rsp_s &rsp, rfc_secure_info_s &info) {
    info.secure_ipc_version = rsp.secure_ipc_version;
    info.current_boot_partition = rsp.current_boot_partition;
    info.next_boot_partition = rsp.next_boot_partition;
    info.bl1_version = rsp.bl1_version;
    info.bl1_ar_version = rsp.bl1_ar_version;
    info.bl1_ar_nv_count = rsp.bl1_ar_nv_count;
    info.bastionfw_version = rsp.bastionfw_version;
    info.bastion_ar_version = rsp.bastion_ar_version;
    info.bastion_ar_nv_count = rsp.bastion_ar_nv_count;
    info.bl31_version = rfc_field_text(rsp.bl31_version, sizeof(rsp.bl31_version));
    info.fuse = rsp.fuse;
    info.bastion_enable = rsp.bastion_enable;
    info.bootloader1_current_fuse = rsp.bootloader1_current_fuse;
    info.lcs_boot_state = rsp.lcs_boot_state;
    info.lcs_next_state = rsp.lcs_next_state;
}

}  // namespace

int rfc_secure_boot_update(secure_boot_option_e option, const char *bdf) {
    if (option == SECURE_BOOT_INVALID) {
        RFC_ERR("[%s] Invalid secure boot update option");
        return -1;
    }
    if (rfc_device_open(bdf) != 0) {
        return RFC_EFAIL;
    }

    fwupdate_secure_boot_update_req_s req{};
    req.option = option;
    fwupdate_secure_boot_update_req_s rsp{};
    const rfc_exchange_s x = rfc_exchange<FWUPDATE_MSG_SECURE_BOOT_UPDATE>(req, rsp);
    if (!x.answered()) {
        RFC_ERR("[%s] Failed to update secure boot option, err %u, status code %ld %s",
                static_cast<unsigned>(x.rsp_err), static_cast<long>(x.ret), strerror(x.err));
        return RFC_EFAIL;
    }
    return RFC_OK;
}

int rfc_secure_image_info_update(secure_image_type_e type, secure_image_update_opcode_e opcode, const char *bdf) {
    if (type == SECURE_IMAGE_NONE) {
        RFC_ERR("[%s] Invalid secure image type %u", static_cast<unsigned>(type));
        return RFC_EINVAL;
    }
    if (rfc_device_open(bdf) != 0) {
        return RFC_EFAIL;
    }

    fwupdate_secure_image_update_req_s req{};
    req.type = type;
    req.opcode = opcode;
    uint32_t rsp = 0;
    static_assert(sizeof(rsp) == FWUPDATE_SECURE_IMAGE_UPDATE_RSP_LEN);
    const rfc_exchange_s x = rfc_exchange<FWUPDATE_MSG_SECURE_IMAGE_UPDATE>(req, rsp);
    if (!x.answered()) {
        RFC_ERR("[%s] Failed in ipc send to update partition num for secure image, err %u, status code %ld, %s",
                static_cast<unsigned>(x.rsp_err), static_cast<long>(x.ret), strerror(x.err));
        return RFC_EFAIL;
    }
    return RFC_OK;
}

int rfc_read_secure_info(secure_image_type_e type, const char *bdf, rfc_secure_info_s *info) {
    if (type == SECURE_IMAGE_NONE) {
        RFC_ERR("[%s] Invalid secure image type %u", static_cast<unsigned>(type));
        return RFC_EINVAL;
    }
    if (rfc_device_open(bdf) != 0) {
        return RFC_EFAIL;
    }

    // The component goes out in the word that comes back as the command status.
    const uint32_t component = type;
    fwupdate_secure_info_rsp_s rsp{};
    const rfc_exchange_s x = rfc_exchange<FWUPDATE_MSG_GET_SECURE_INFO>(component, rsp);
    if (!x.answered() || rsp.status != 0) {
        RFC_ERR("[%s] Failed in ipc send to get secure info, err %u, status code %ld, %s cmd rsp %d",
                static_cast<unsigned>(x.rsp_err), static_cast<long>(x.ret), strerror(x.err),
                static_cast<int>(rsp.status));
        // A zero status word beside a failed exchange must not read as success.
        return rsp.status != 0 ? static_cast<int>(rsp.status) : RFC_EFAIL;
    }
    if (info != nullptr) {
        fill_secure_info(rsp, *info);
    }
    return RFC_OK;
}

int rfc_secure_image_info(const char *name, secure_image_type_e type, const char *bdf) {
    rfc_secure_info_s info;
    const int ret = rfc_read_secure_info(type, bdf, &info);
    if (ret != RFC_OK) {
        return ret;
    }
    rfc_output_s out;
    if (!rfc_output_open(out, name)) {
        return RFC_EFILE;
    }
    write_secure_info(out, type, info);
    return rfc_output_close(out);
}

// Secure boot management: switching secure boot, updating a secure
// component (alternate boot partition, anti-rollback counter, production
// life cycle) and reporting a component's secure state.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "rfc_internal.h"

namespace {

void write_secure_info(FILE *file, secure_image_type_e type, const fwupdate_secure_info_rsp_s &rsp) {
    fprintf(file, "{\n");
    fprintf(file, "\"secure_ipc_version\": \"%u\",\n", rsp.secure_ipc_version);
    switch (type) {
        case SECURE_IMAGE_BL1:
            fprintf(file, "\"current_boot_partition\": \"%u\",\n", rsp.current_boot_partition);
            fprintf(file, "\"next_boot_partition\": \"%u\",\n", rsp.next_boot_partition);
            fprintf(file, "\"bl1_ar_nv_count\": \"%lu\",\n", static_cast<unsigned long>(rsp.bl1_ar_nv_count));
            fprintf(file, "\"bl1_ar_version\": \"%u\",\n", rsp.bl1_ar_version);
            fprintf(file, "\"bl1_version\": \"%lu\"\n", static_cast<unsigned long>(rsp.bl1_version));
            break;
        case SECURE_IMAGE_BASTION:
            fprintf(file, "\"current_boot_partition\": \"%u\",\n", rsp.current_boot_partition);
            fprintf(file, "\"next_boot_partition\": \"%u\",\n", rsp.next_boot_partition);
            fprintf(file, "\"bastionfw_version\": \"%lu\",\n", static_cast<unsigned long>(rsp.bastionfw_version));
            fprintf(file, "\"bastion_ar_nv_count\": \"%lu\",\n", static_cast<unsigned long>(rsp.bastion_ar_nv_count));
            fprintf(file, "\"bastion_ar_version\": \"%u\"\n", rsp.bastion_ar_version);
            break;
        case SECURE_IMAGE_BL31:
            fprintf(file, "\"bl31 version\": \"%s\"\n",
                    rfc_field_text(rsp.bl31_version, sizeof(rsp.bl31_version)).c_str());
            break;
        case SECURE_IMAGE_LCS:
            fprintf(file, "\"fuse\": \"0x%x\",\n", static_cast<unsigned>(rsp.fuse));
            fprintf(file, "\"bootloader1_current_fuse\": \"0x%x\",\n", rsp.bootloader1_current_fuse);
            fprintf(file, "\"bastion_enable\": \"0x%x\",\n", rsp.bastion_enable);
            fprintf(file, "\"lcs_boot_state\": \"%s\",\n", rfc_lcs_name(rsp.lcs_boot_state));
            fprintf(file, "\"lcs_next_state\": \"%s\"\n", rfc_lcs_name(rsp.lcs_next_state));
            break;
        default:
            RFC_ERR("[%s] Image type is not supported %u", static_cast<unsigned>(type));
            break;
    }
    fprintf(file, "}\n");
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
    uint32_t rsp_err = 0;
    const ssize_t ret = nic_ipc_req_rsp(&g_rfc_handle, IPC_EP_FWUPDATE, FWUPDATE_MSG_SECURE_BOOT_UPDATE, &req,
                                        sizeof(req), sizeof(req), &rsp_err);
    const int exchange_errno = errno;
    if (ret < 1 || rsp_err != 0) {
        RFC_ERR("[%s] Failed to update secure boot option, err %u, status code %ld %s", static_cast<unsigned>(rsp_err),
                static_cast<long>(ret), strerror(exchange_errno));
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
    uint32_t rsp_err = 0;
    const ssize_t ret = nic_ipc_req_rsp(&g_rfc_handle, IPC_EP_FWUPDATE, FWUPDATE_MSG_SECURE_IMAGE_UPDATE, &req,
                                        sizeof(req), FWUPDATE_SECURE_IMAGE_UPDATE_RSP_LEN, &rsp_err);
    const int exchange_errno = errno;
    if (ret < 1 || rsp_err != 0) {
        RFC_ERR("[%s] Failed in ipc send to update partition num for secure image, err %u, status code %ld, %s",
                static_cast<unsigned>(rsp_err), static_cast<long>(ret), strerror(exchange_errno));
        return RFC_EFAIL;
    }
    return RFC_OK;
}

int rfc_secure_image_info(const char *name, secure_image_type_e type, const char *bdf) {
    if (type == SECURE_IMAGE_NONE) {
        RFC_ERR("[%s] Invalid secure image type %u", static_cast<unsigned>(type));
        return RFC_EINVAL;
    }
    if (rfc_device_open(bdf) != 0) {
        return RFC_EFAIL;
    }

    fwupdate_secure_info_rsp_s rsp{};
    // The component goes out in the word that comes back as the command status.
    rsp.status = type;
    uint32_t rsp_err = 0;
    const ssize_t ret = nic_ipc_req_rsp(&g_rfc_handle, IPC_EP_FWUPDATE, FWUPDATE_MSG_GET_SECURE_INFO, &rsp,
                                        sizeof(uint32_t), sizeof(rsp), &rsp_err);
    const int exchange_errno = errno;
    if (ret < 1 || rsp_err != 0 || rsp.status != 0) {
        RFC_ERR("[%s] Failed in ipc send to get secure info, err %u, status code %ld, %s cmd rsp %d",
                static_cast<unsigned>(rsp_err), static_cast<long>(ret), strerror(exchange_errno),
                static_cast<int>(rsp.status));
        // A zero status word beside a failed exchange must not read as success.
        return rsp.status != 0 ? static_cast<int>(rsp.status) : RFC_EFAIL;
    }

    const std::string path = rfc_output_path(name);
    FILE *file = rfc_open_output(path.c_str());
    if (file == nullptr) {
        RFC_ERR("[%s] Failed to open file %s", path.c_str());
        return RFC_EFILE;
    }
    write_secure_info(file, type, rsp);
    fclose(file);
    return RFC_OK;
}

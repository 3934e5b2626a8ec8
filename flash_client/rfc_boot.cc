// Boot selection and firmware listing: the running or startup image, the
// choice of the next startup image, a partition's firmware list and the
// card's partition table.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "rfc_internal.h"

namespace {

// The device-tree and firmware-configuration partitions carry a version and
// profile instead of a firmware list; the card tells which by the image id it
// answers with.
bool is_profile_partition(uint32_t image_id) {
    return image_id == FLASH_PARTITION_DTB || image_id == FLASH_PARTITION_DTB_B || image_id == FLASH_PARTITION_FW_CFG ||
           image_id == FLASH_PARTITION_FW_CFG_B;
}

const char *yes_no(uint8_t flag) {
    return flag != 0 ? "Y" : "N";
}

void print_dashes() {
    char line[141];
    memset(line, '-', 140);
    line[140] = '\0';
    printf("%s\n", line);
}

void print_partition_table(const rfc_partition_record_s *records, unsigned count) {
    print_dashes();
    printf("%-10s %-20s %-10s %-10s %-10s %-10s %-10s %-10s %-50s\n", "Id", "Name", "Type", "Type Name", "Size", "Slot",
           "Running", "Startup", "Version");
    print_dashes();
    for (unsigned i = 0; i < count; ++i) {
        const rfc_partition_record_s &r = records[i];
        printf("%-10d %-20s %-10d %-10s %-10lx %-10d %-10s %-10s %-50s\n", static_cast<int>(r.id),
               rfc_field_text(r.id_name, sizeof(r.id_name)).c_str(), static_cast<int>(r.type_id),
               rfc_field_text(r.type_name, sizeof(r.type_name)).c_str(), static_cast<unsigned long>(r.partition_size),
               static_cast<int>(r.slot_id), yes_no(r.is_running), yes_no(r.is_startup),
               rfc_field_text(r.version, sizeof(r.version)).c_str());
    }
    fflush(stdout);
}

}  // namespace

int rfc_firmware_type(fwupdate_image_type_e type, const char *bdf) {
    if (type == FWUPDATE_IMAGE_INVALID) {
        return FIRMWARE_IMAGE_INVALID;
    }
    if (rfc_device_open(bdf) != 0) {
        return FIRMWARE_IMAGE_INVALID;
    }

    uint8_t buf[sizeof(fwupdate_running_image_req_s)] = {};
    const fwupdate_running_image_req_s req{type};
    memcpy(buf, &req, sizeof(req));
    uint32_t rsp_err = 0;
    const ssize_t ret = nic_ipc_req_rsp(&g_rfc_handle, IPC_EP_FWUPDATE, FWUPDATE_MSG_GET_RUNNING_IMAGE, buf,
                                        sizeof(req), sizeof(fwupdate_running_image_rsp_s), &rsp_err);
    if (ret < 1 || rsp_err != 0) {
        RFC_ERR("[%s] Failed to get running image, ipc err %d, ipc ret %d", static_cast<int>(rsp_err),
                static_cast<int>(ret));
        return FIRMWARE_IMAGE_INVALID;
    }
    fwupdate_running_image_rsp_s rsp{};
    memcpy(&rsp, buf, sizeof(rsp));
    return static_cast<int>(rsp.firmware_type);
}

int rfc_set_startup_image(firmware_image_type_e image, const char *bdf) {
    if (image == FIRMWARE_IMAGE_INVALID) {
        RFC_ERR("[%s] firmware type is invalid %d\n", static_cast<int>(image));
        return RFC_EFAIL;
    }
    if (rfc_device_open(bdf) != 0) {
        return RFC_EFAIL;
    }

    RFC_DBG("[%s] sending ipc for setting boot options, image %u", static_cast<unsigned>(image));
    uint8_t buf[sizeof(fwupdate_set_startup_req_s)] = {};
    const fwupdate_set_startup_req_s req{image};
    memcpy(buf, &req, sizeof(req));
    uint32_t rsp_err = 0;
    const ssize_t ret =
        nic_ipc_req_rsp(&g_rfc_handle, IPC_EP_FWUPDATE, FWUPDATE_MSG_SET_STARTUP_IMAGE, buf, sizeof(req), 1, &rsp_err);
    if (ret < 1 || rsp_err != 0) {
        RFC_ERR("[%s] failed to set boot options, ipc err %d, ipc ret %d", static_cast<int>(rsp_err),
                static_cast<int>(ret));
        return rfc_failed_result(ret);
    }
    RFC_DBG("[%s] setting boot options completed");
    return RFC_OK;
}

int rfc_partition_metadata(flash_partition_e partition, const char *bdf) {
    fwupdate_fw_list_rsp_s rsp{};
    if (rfc_device_open(bdf) != 0) {
        return RFC_EFAIL;
    }

    rsp.image_id = partition;
    const char *name = rfc_partition_name(partition);
    uint32_t rsp_err = 0;
    const ssize_t ret = nic_ipc_req_rsp(&g_rfc_handle, IPC_EP_FWUPDATE, FWUPDATE_MSG_GET_FW_LIST, &rsp,
                                        sizeof(uint32_t), sizeof(rsp), &rsp_err);
    if (ret < 1 || rsp_err != 0) {
        RFC_ERR("[%s] failed to read fw list for %s, ipc err %u, ipc ret %d", name, static_cast<unsigned>(rsp_err),
                static_cast<int>(ret));
        return rfc_failed_result(ret);
    }

    const std::string path = rfc_output_path(name);
    FILE *file = rfc_open_output(path.c_str());
    if (file == nullptr) {
        RFC_ERR("[%s] Failed to open file %s", path.c_str());
        return RFC_EFILE;
    }
    if (is_profile_partition(rsp.image_id)) {
        fprintf(file, "{\n");
        fprintf(file, "\"profile_name\": \"%s\",\n",
                rfc_field_text(rsp.profile_name, sizeof(rsp.profile_name)).c_str());
        fprintf(file, "\"version\": \"%s\"\n", rfc_field_text(rsp.version, sizeof(rsp.version)).c_str());
        fprintf(file, "}\n");
    } else {
        // The card's length is trusted only as far as its data area reaches.
        const size_t len = rfc_bounded_len(rsp.data_len, sizeof(rsp.data));
        if (len > 0) {
            fwrite(rsp.data, 1, len, file);
        }
    }
    fclose(file);
    return RFC_OK;
}

int rfc_partition_info(const char *bdf, flash_partition_e partition, bool &found) {
    if (rfc_device_open(bdf) != 0) {
        return RFC_EFAIL;
    }

    uint8_t buf[FWUPDATE_PARTITION_SUMMARY_LEN] = {};
    uint32_t rsp_err = 0;
    ssize_t ret = nic_ipc_req_rsp(&g_rfc_handle, IPC_EP_FWUPDATE, FWUPDATE_MSG_GET_PARTITION_INFO, buf,
                                  sizeof(fwupdate_partition_info_req_s), sizeof(buf), &rsp_err);
    if (ret < 1 || rsp_err != 0) {
        RFC_ERR("[%s] failed in ipc send err %u, ret %d", static_cast<unsigned>(rsp_err), static_cast<int>(ret));
        return rfc_failed_result(ret);
    }

    const unsigned count = buf[0];
    rfc_partition_record_s *records = new (std::nothrow) rfc_partition_record_s[count]();
    if (records == nullptr) {
        RFC_ERR("[%s] failed to allocate %u partition records", count);
        return RFC_EFAIL;
    }

    const std::string path = rfc_output_path("partition_info");
    FILE *file = rfc_open_output(path.c_str());
    if (file == nullptr) {
        RFC_ERR("[%s] Failed to open file %s", path.c_str());
        delete[] records;
        return RFC_EFILE;
    }

    for (unsigned i = 0; i < count; ++i) {
        memset(buf, 0, sizeof(buf));
        fwupdate_partition_info_req_s req{};
        req.index = static_cast<uint8_t>(i);
        req.detail = 1;
        memcpy(buf, &req, sizeof(req));
        ret = nic_ipc_req_rsp(&g_rfc_handle, IPC_EP_FWUPDATE, FWUPDATE_MSG_GET_PARTITION_INFO, buf, sizeof(req),
                              sizeof(fwupdate_partition_info_rsp_s), &rsp_err);
        if (ret < 1 || rsp_err != 0) {
            RFC_ERR("[%s] failed in ipc send err %u, ret %d", static_cast<unsigned>(rsp_err), static_cast<int>(ret));
            fclose(file);
            delete[] records;
            return RFC_EFAIL;
        }

        rfc_partition_record_s &rec = records[i];
        // The record is the answer without its leading reserved byte.
        static_assert(offsetof(fwupdate_partition_info_rsp_s, id) + sizeof(rec) <= sizeof(buf));
        memcpy(&rec, buf + offsetof(fwupdate_partition_info_rsp_s, id), sizeof(rec));
        fprintf(file,
                "id: %-2d id_name:%-20s  type_id:%-2d  type_name:%-10s  partition_size:%lx slot_id:%-2d "
                "is_running:%-2d  is_startup:%-2d version:%-20s\n",
                static_cast<int>(rec.id), rfc_field_text(rec.id_name, sizeof(rec.id_name)).c_str(),
                static_cast<int>(rec.type_id), rfc_field_text(rec.type_name, sizeof(rec.type_name)).c_str(),
                static_cast<unsigned long>(rec.partition_size), static_cast<int>(rec.slot_id),
                static_cast<int>(rec.is_running), static_cast<int>(rec.is_startup),
                rfc_field_text(rec.version, sizeof(rec.version)).c_str());
        if (partition != FLASH_PARTITION_ALL && partition == rec.id) {
            found = true;
        }
    }
    fclose(file);

    if (partition == FLASH_PARTITION_ALL && count > 0) {
        print_partition_table(records, count);
    }
    delete[] records;
    return RFC_OK;
}

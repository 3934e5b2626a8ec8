// SPDX-License-Identifier: Apache-2.0
// Boot selection and firmware listing: the running or startup image, the
// choice of the next startup image, a partition's firmware list and the
// card's partition table.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "rfc_internal.h"
#include "rfc_reads.h"

namespace {

// The device-tree and firmware-configuration partitions carry a version and
// profile instead of a firmware list; the card tells which by the image id it
// answers with.
bool is_profile_partition(uint32_t image_id) {
    return image_id == FLASH_PARTITION_DTB || image_id == FLASH_PARTITION_DTB_B || image_id == FLASH_PARTITION_FW_CFG ||
           image_id == FLASH_PARTITION_FW_CFG_B;
}

const char *yes_no(bool flag) {
    return flag ? "Y" : "N";
}

void print_dashes() {
    char line[141];
    memset(line, '-', 140);
    line[140] = '\0';
    printf("%s\n", line);
}

void print_partition_table(const rfc_partition_s *records, unsigned count) {
    print_dashes();
    printf("%-10s %-20s %-10s %-10s %-10s %-10s %-10s %-10s %-50s\n", "Id", "Name", "Type", "Type Name", "Size", "Slot",
           "Running", "Startup", "Version");
    print_dashes();
    for (unsigned i = 0; i < count; ++i) {
        const rfc_partition_s &r = records[i];
        printf("%-10d %-20s %-10d %-10s %-10lx %-10d %-10s %-10s %-50s\n", static_cast<int>(r.id), r.name.c_str(),
               static_cast<int>(r.type_id), r.type_name.c_str(), static_cast<unsigned long>(r.size),
               static_cast<int>(r.slot), yes_no(r.running), yes_no(r.startup), r.version.c_str());
    }
    fflush(stdout);
}

// The summary exchange; after a failure the exchange's result (never 0).
int read_partition_count(unsigned *count) {
    const fwupdate_partition_info_req_s req{};
    uint8_t summary[FWUPDATE_PARTITION_SUMMARY_LEN] = {};
    const rfc_exchange_s x =
        rfc_exchange_raw(FWUPDATE_MSG_GET_PARTITION_INFO, &req, sizeof(req), summary, sizeof(summary));
    if (!x.answered()) {
        RFC_ERR("[%s] failed in ipc send err %u, ret %d", static_cast<unsigned>(x.rsp_err), static_cast<int>(x.ret));
        return rfc_failed_result(x.ret);
    }
    *count = summary[0];
    return RFC_OK;
}

// The entry at index, with the flags as the card sent them (a running flag
// of 2 stays 2 in the partition_info file).
int read_partition_entry(unsigned index, fwupdate_partition_info_rsp_s &rsp) {
    fwupdate_partition_info_req_s req{};
    req.index = static_cast<uint8_t>(index);
    req.detail = 1;
    const rfc_exchange_s x = rfc_exchange<FWUPDATE_MSG_GET_PARTITION_INFO>(req, rsp);
    if (!x.answered()) {
        RFC_ERR("[%s] failed in ipc send err %u, ret %d", static_cast<unsigned>(x.rsp_err), static_cast<int>(x.ret));
        return RFC_EFAIL;
    }
    return RFC_OK;
}

void fill_partition(const fwupdate_partition_info_rsp_s &rsp, rfc_partition_s *entry) {
    entry->id = rsp.id;
    entry->type_id = rsp.type_id;
    entry->name = rfc_field_text(rsp.id_name, sizeof(rsp.id_name));
    entry->type_name = rfc_field_text(rsp.type_name, sizeof(rsp.type_name));
    entry->size = rsp.partition_size;
    entry->slot = rsp.slot_id;
    entry->running = rsp.is_running != 0;
    entry->startup = rsp.is_startup != 0;
    entry->version = rfc_field_text(rsp.version, sizeof(rsp.version));
}

}  // namespace

int rfc_read_firmware_image(fwupdate_image_type_e which, const char *bdf, firmware_image_type_e *image) {
    if (which == FWUPDATE_IMAGE_INVALID) {
        return RFC_EINVAL;
    }
    if (rfc_device_open(bdf) != 0) {
        return RFC_EFAIL;
    }
    const fwupdate_running_image_req_s req{which};
    fwupdate_running_image_rsp_s rsp{};
    const rfc_exchange_s x = rfc_exchange<FWUPDATE_MSG_GET_RUNNING_IMAGE>(req, rsp);
    if (!x.answered()) {
        RFC_ERR("[%s] Failed to get running image, ipc err %d, ipc ret %d", static_cast<int>(x.rsp_err),
                static_cast<int>(x.ret));
        return RFC_EFAIL;
    }
    if (image != nullptr) {
        *image = static_cast<firmware_image_type_e>(rsp.firmware_type);
    }
    return RFC_OK;
}

int rfc_firmware_type(fwupdate_image_type_e type, const char *bdf) {
    firmware_image_type_e image = FIRMWARE_IMAGE_INVALID;
    if (rfc_read_firmware_image(type, bdf, &image) != RFC_OK) {
        return FIRMWARE_IMAGE_INVALID;
    }
    return static_cast<int>(image);
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
    const fwupdate_set_startup_req_s req{image};
    uint8_t status = 0;
    const rfc_exchange_s x = rfc_exchange<FWUPDATE_MSG_SET_STARTUP_IMAGE>(req, status);
    if (!x.answered()) {
        RFC_ERR("[%s] failed to set boot options, ipc err %d, ipc ret %d", static_cast<int>(x.rsp_err),
                static_cast<int>(x.ret));
        return rfc_failed_result(x.ret);
    }
    RFC_DBG("[%s] setting boot options completed");
    return RFC_OK;
}

int rfc_read_fw_list(flash_partition_e partition, const char *bdf, rfc_fw_list_s *list) {
    if (rfc_device_open(bdf) != 0) {
        return RFC_EFAIL;
    }
    const uint32_t image_id = partition;
    fwupdate_fw_list_rsp_s rsp{};
    const rfc_exchange_s x = rfc_exchange<FWUPDATE_MSG_GET_FW_LIST>(image_id, rsp);
    if (!x.answered()) {
        RFC_ERR("[%s] failed to read fw list for %s, ipc err %u, ipc ret %d", rfc_partition_name(partition),
                static_cast<unsigned>(x.rsp_err), static_cast<int>(x.ret));
        return rfc_failed_result(x.ret);
    }
    if (list != nullptr) {
        list->image_id = rsp.image_id;
        list->has_profile = is_profile_partition(rsp.image_id);
        list->profile_name = rfc_field_text(rsp.profile_name, sizeof(rsp.profile_name));
        list->version = rfc_field_text(rsp.version, sizeof(rsp.version));
        // The card's length is trusted only as far as its data area reaches.
        list->data.assign(reinterpret_cast<const char *>(rsp.data), rfc_bounded_len(rsp.data_len, sizeof(rsp.data)));
    }
    return RFC_OK;
}

int rfc_partition_metadata(flash_partition_e partition, const char *bdf) {
    rfc_fw_list_s list;
    const int ret = rfc_read_fw_list(partition, bdf, &list);
    if (ret != RFC_OK) {
        return ret;
    }
    rfc_output_s out;
    if (!rfc_output_open(out, rfc_partition_name(partition))) {
        return RFC_EFILE;
    }
    if (list.has_profile) {
        rfc_output_printf(out, "{\n");
        rfc_output_printf(out, "\"profile_name\": \"%s\",\n", list.profile_name.c_str());
        rfc_output_printf(out, "\"version\": \"%s\"\n", list.version.c_str());
        rfc_output_printf(out, "}\n");
    } else {
        rfc_output_write(out, list.data.data(), list.data.size());
    }
    return rfc_output_close(out);
}

int rfc_read_partition_count(const char *bdf, unsigned *count) {
    if (rfc_device_open(bdf) != 0) {
        return RFC_EFAIL;
    }
    unsigned n = 0;
    const int ret = read_partition_count(&n);
    if (ret == RFC_OK && count != nullptr) {
        *count = n;
    }
    return ret;
}

int rfc_read_partition_entry(const char *bdf, unsigned index, rfc_partition_s *entry) {
    if (rfc_device_open(bdf) != 0) {
        return RFC_EFAIL;
    }
    fwupdate_partition_info_rsp_s rsp{};
    const int ret = read_partition_entry(index, rsp);
    if (ret == RFC_OK && entry != nullptr) {
        fill_partition(rsp, entry);
    }
    return ret;
}

int rfc_read_partition_table(const char *bdf, std::vector<rfc_partition_s> *table) {
    unsigned count = 0;
    int ret = rfc_read_partition_count(bdf, &count);
    if (ret != RFC_OK) {
        return ret;
    }
    std::vector<rfc_partition_s> entries(count);
    for (unsigned i = 0; i < count; ++i) {
        ret = rfc_read_partition_entry(bdf, i, &entries[i]);
        if (ret != RFC_OK) {
            return ret;
        }
    }
    if (table != nullptr) {
        *table = std::move(entries);
    }
    return RFC_OK;
}

int rfc_partition_info(const char *bdf, flash_partition_e partition, bool &found) {
    if (rfc_device_open(bdf) != 0) {
        return RFC_EFAIL;
    }
    unsigned count = 0;
    const int ret = read_partition_count(&count);
    if (ret != RFC_OK) {
        return ret;
    }

    std::unique_ptr<rfc_partition_s[]> records(new (std::nothrow) rfc_partition_s[count]);
    if (!records) {
        RFC_ERR("[%s] failed to allocate %u partition records", count);
        return RFC_EFAIL;
    }

    // The file is opened before the entries are asked for, and a table cut
    // short by a failed exchange keeps the lines of the entries before it.
    rfc_output_s out;
    if (!rfc_output_open(out, "partition_info")) {
        return RFC_EFILE;
    }
    for (unsigned i = 0; i < count; ++i) {
        fwupdate_partition_info_rsp_s rsp{};
        if (read_partition_entry(i, rsp) != RFC_OK) {
            return RFC_EFAIL;
        }
        fill_partition(rsp, &records[i]);
        const rfc_partition_s &rec = records[i];
        rfc_output_printf(out,
                          "id: %-2d id_name:%-20s  type_id:%-2d  type_name:%-10s  partition_size:%lx slot_id:%-2d "
                          "is_running:%-2d  is_startup:%-2d version:%-20s\n",
                          static_cast<int>(rec.id), rec.name.c_str(), static_cast<int>(rec.type_id),
                          rec.type_name.c_str(), static_cast<unsigned long>(rec.size), static_cast<int>(rec.slot),
                          static_cast<int>(rsp.is_running), static_cast<int>(rsp.is_startup), rec.version.c_str());
        if (partition != FLASH_PARTITION_ALL && partition == rec.id) {
            found = true;
        }
    }
    const int closed = rfc_output_close(out);
    if (closed != RFC_OK) {
        return closed;
    }

    if (partition == FLASH_PARTITION_ALL && count > 0) {
        print_partition_table(records.get(), count);
    }
    return RFC_OK;
}

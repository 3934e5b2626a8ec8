// Card information: the card's identity, versions and fuse state in one
// exchange, written as a small JSON document or handed to a caller's record.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "rfc_internal.h"

namespace {

const char *asic_name(uint8_t asic) {
    switch (asic) {
        case 1:
            return "alder";
        case 2:
            return "birch";
        case 3:
            return "cedar";
        case 4:
            return "larch";
        default:
            return "unknown";
    }
}

// An older service leaves the fields added after its layout version as
// whatever its buffer held; they are given their "not supported" values.
void apply_layout_version(fwupdate_card_info_rsp_s &rsp) {
    const uint8_t version = rsp.fwupdate_ipc_version;
    if (version >= 5) {
        return;
    }
    rsp.life_cycle_state = 0;
    rsp.life_cycle_state_fuses = 0;
    rsp.bl1_slot_num = 3;
    rsp.bastion_slot_num = 3;
    if (version >= 4) {
        return;
    }
    rsp.board_secure_boot = 0;
    if (version >= 3) {
        return;
    }
    rsp.board_secure_enable = 0;
    if (version >= 2) {
        return;
    }
    rsp.board_hw_fuse = 0;
    rsp.board_sigchk = 0;
    memset(rsp.board_keyname, 0, sizeof(rsp.board_keyname));
    memcpy(rsp.board_keyname, "none", 4);
}

std::string date_text(const fwupdate_card_info_rsp_s &rsp) {
    char text[16] = {};
    snprintf(text, sizeof(text), "%02x-%02x-%02x %02x:%02x", rsp.date[3], rsp.date[2], rsp.date[4], rsp.date[1],
             rsp.date[0]);
    return text;
}

std::string board_id_text(uint32_t board_id) {
    char text[16] = {};
    snprintf(text, sizeof(text), "0x%08x", board_id);
    return text;
}

void write_card_info(FILE *file, const fwupdate_card_info_rsp_s &rsp, const std::string &date) {
    fprintf(file, "{\n");
    fprintf(file, "\"fwupdate_ipc_version\": \"%u\",\n", rsp.fwupdate_ipc_version);
    fprintf(file, "\"sw_version\": \"%s\",\n", rfc_field_text(rsp.sw_version, sizeof(rsp.sw_version)).c_str());
    fprintf(file, "\"board_id\": \"0x%08x\",\n", static_cast<unsigned>(rsp.board_id));
    fprintf(file, "\"asic\": \"%s\",\n", asic_name(rsp.asic));
    fprintf(file, "\"board_hw_fuse\": \"%x\",\n", rsp.board_hw_fuse);
    fprintf(file, "\"board_sigchk\": \"%x\",\n", static_cast<unsigned>(rsp.board_sigchk));
    fprintf(file, "\"board_keyname\": \"%s\",\n", rfc_field_text(rsp.board_keyname, sizeof(rsp.board_keyname)).c_str());
    fprintf(file, "\"board_secure_enable\": \"%x\",\n", rsp.board_secure_enable);
    fprintf(file, "\"board_secure_boot\": \"%x\",\n", rsp.board_secure_boot);
    if (rsp.board_secure_boot == 1) {
        fprintf(file, "\"bl1_slot_num\": \"%x\",\n", rsp.bl1_slot_num);
        fprintf(file, "\"bastion_slot_num\": \"%x\",\n", rsp.bastion_slot_num);
        fprintf(file, "\"life_cycle_state\": \"%s\",\n", rfc_lcs_name(rsp.life_cycle_state));
        fprintf(file, "\"life_cycle_state_fuses\": \"0x%lx\",\n",
                static_cast<unsigned long>(rsp.life_cycle_state_fuses));
    }
    fprintf(file, "\"boot0_version\": \"%u\",\n", rsp.boot0_version);
    fprintf(file, "\"cpld_id\": \"%u\",\n", rsp.cpld_id);
    fprintf(file, rsp.cpld_image != 0 ? "\"cpld_image\": \"gold\",\n" : "\"cpld_image\": \"primary\",\n");
    fprintf(file, "\"cpld_version\": \"%u\",\n", rsp.cpld_version);
    fprintf(file, "\"cpld_minor_version\": \"%u\",\n", rsp.cpld_minor_version);
    fprintf(file, "\"date\": \"%s\"\n", date.c_str());
    fprintf(file, "}\n");
}

void fill_record(rfc_card_info_s &info, const fwupdate_card_info_rsp_s &rsp) {
    info.life_cycle_state = rfc_lcs_name(rsp.life_cycle_state);
    info.asic = asic_name(rsp.asic);
    info.cpld_image = rsp.cpld_image != 0 ? "gold" : "primary";
    info.sw_version = rfc_field_text(rsp.sw_version, sizeof(rsp.sw_version));
    info.board_keyname = rfc_field_text(rsp.board_keyname, sizeof(rsp.board_keyname));
    info.board_id = board_id_text(rsp.board_id);
    info.cpld_id = rsp.cpld_id;
    info.board_secure_boot = rsp.board_secure_boot;
    info.board_hw_fuse = rsp.board_hw_fuse;
    info.board_sigchk = static_cast<uint8_t>(rsp.board_sigchk & 0xff);
    info.boot0_version = rsp.boot0_version;
    info.life_cycle_state_fuses = rsp.life_cycle_state_fuses;
    info.board_secure_enable = rsp.board_secure_enable;
    info.cpld_version = rsp.cpld_version;
    info.cpld_minor_version = rsp.cpld_minor_version;
    if (rsp.board_secure_boot == 1) {
        info.secure_life_cycle_state = rfc_lcs_name(rsp.life_cycle_state);
        info.bl1_slot_num = rsp.bl1_slot_num;
        info.bastion_slot_num = rsp.bastion_slot_num;
    }
}

}  // namespace

int rfc_card_info_get(const char *bdf, const char *file_name, rfc_card_info_s *info) {
    fwupdate_card_info_rsp_s rsp{};
    if (rfc_device_open(bdf) != 0) {
        return RFC_EFAIL;
    }

    // The request is the single zero byte at the start of the cleared buffer.
    uint32_t rsp_err = 0;
    const ssize_t ret =
        nic_ipc_req_rsp(&g_rfc_handle, IPC_EP_FWUPDATE, FWUPDATE_MSG_GET_CARD_INFO, &rsp, 1, sizeof(rsp), &rsp_err);
    const int exchange_errno = errno;
    if (ret <= 0 || rsp_err != 0) {
        RFC_ERR("[%s] failed in ipc send err %d, ret %d %s", static_cast<int>(rsp_err), static_cast<int>(ret),
                strerror(exchange_errno));
        return RFC_EFAIL;
    }

    const std::string date = date_text(rsp);
    apply_layout_version(rsp);

    if (file_name != nullptr) {
        const std::string path = rfc_output_path(file_name);
        FILE *file = rfc_open_output(path.c_str());
        if (file == nullptr) {
            RFC_ERR("[%s] Failed to open file %s", path.c_str());
            return RFC_EFAIL;
        }
        write_card_info(file, rsp, date);
        fclose(file);
        return RFC_OK;
    }
    if (info != nullptr) {
        fill_record(*info, rsp);
    }
    return RFC_OK;
}

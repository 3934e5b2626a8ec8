// SPDX-License-Identifier: Apache-2.0
// Card information: the card's identity, versions and fuse state in one
// exchange, written as a small JSON document or handed to a caller's record.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "rfc_internal.h"
#include "rfc_reads.h"

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

void fill_identity(const fwupdate_card_info_rsp_s &rsp, const std::string &date, rfc_card_identity_s &id) {
    id.ipc_version = rsp.fwupdate_ipc_version;
    id.sw_version = rfc_field_text(rsp.sw_version, sizeof(rsp.sw_version));
    id.board_id = rsp.board_id;
    id.asic = asic_name(rsp.asic);
    id.cpld_id = rsp.cpld_id;
    id.cpld_gold = rsp.cpld_image != 0;
    id.cpld_version = rsp.cpld_version;
    id.cpld_minor_version = rsp.cpld_minor_version;
    id.date = date;
    id.boot0_version = rsp.boot0_version;
    id.board_hw_fuse = rsp.board_hw_fuse;
    id.board_sigchk = rsp.board_sigchk;
    id.board_keyname = rfc_field_text(rsp.board_keyname, sizeof(rsp.board_keyname));
    id.board_secure_enable = rsp.board_secure_enable;
    id.board_secure_boot = rsp.board_secure_boot;
    id.bl1_slot_num = rsp.bl1_slot_num;
    id.bastion_slot_num = rsp.bastion_slot_num;
    id.life_cycle_state = rsp.life_cycle_state;
    id.life_cycle_name = rfc_lcs_name(rsp.life_cycle_state);
    id.life_cycle_state_fuses = rsp.life_cycle_state_fuses;
}

void write_card_info(rfc_output_s &out, const rfc_card_identity_s &id) {
    rfc_output_printf(out, "{\n");
    rfc_output_printf(out, "\"fwupdate_ipc_version\": \"%u\",\n", id.ipc_version);
    rfc_output_printf(out, "\"sw_version\": \"%s\",\n", id.sw_version.c_str());
    rfc_output_printf(out, "\"board_id\": \"0x%08x\",\n", static_cast<unsigned>(id.board_id));
    rfc_output_printf(out, "\"asic\": \"%s\",\n", id.asic.c_str());
    rfc_output_printf(out, "\"board_hw_fuse\": \"%x\",\n", id.board_hw_fuse);
    rfc_output_printf(out, "\"board_sigchk\": \"%x\",\n", static_cast<unsigned>(id.board_sigchk));
    rfc_output_printf(out, "\"board_keyname\": \"%s\",\n", id.board_keyname.c_str());
    rfc_output_printf(out, "\"board_secure_enable\": \"%x\",\n", id.board_secure_enable);
    rfc_output_printf(out, "\"board_secure_boot\": \"%x\",\n", id.board_secure_boot);
    if (id.board_secure_boot == 1) {
        rfc_output_printf(out, "\"bl1_slot_num\": \"%x\",\n", id.bl1_slot_num);
        rfc_output_printf(out, "\"bastion_slot_num\": \"%x\",\n", id.bastion_slot_num);
        rfc_output_printf(out, "\"life_cycle_state\": \"%s\",\n", id.life_cycle_name.c_str());
        rfc_output_printf(out, "\"life_cycle_state_fuses\": \"0x%lx\",\n",
                          static_cast<unsigned long>(id.life_cycle_state_fuses));
    }
    rfc_output_printf(out, "\"boot0_version\": \"%u\",\n", id.boot0_version);
    rfc_output_printf(out, "\"cpld_id\": \"%u\",\n", id.cpld_id);
    rfc_output_printf(out, id.cpld_gold ? "\"cpld_image\": \"gold\",\n" : "\"cpld_image\": \"primary\",\n");
    rfc_output_printf(out, "\"cpld_version\": \"%u\",\n", id.cpld_version);
    rfc_output_printf(out, "\"cpld_minor_version\": \"%u\",\n", id.cpld_minor_version);
    rfc_output_printf(out, "\"date\": \"%s\"\n", id.date.c_str());
    rfc_output_printf(out, "}\n");
}

void fill_record(rfc_card_info_s &info, const rfc_card_identity_s &id) {
    info.life_cycle_state = id.life_cycle_name;
    info.asic = id.asic;
    info.cpld_image = id.cpld_gold ? "gold" : "primary";
    info.sw_version = id.sw_version;
    info.board_keyname = id.board_keyname;
    info.board_id = board_id_text(id.board_id);
    info.cpld_id = id.cpld_id;
    info.board_secure_boot = id.board_secure_boot;
    info.board_hw_fuse = id.board_hw_fuse;
    info.board_sigchk = static_cast<uint8_t>(id.board_sigchk & 0xff);
    info.boot0_version = id.boot0_version;
    info.life_cycle_state_fuses = id.life_cycle_state_fuses;
    info.board_secure_enable = id.board_secure_enable;
    info.cpld_version = id.cpld_version;
    info.cpld_minor_version = id.cpld_minor_version;
    if (id.board_secure_boot == 1) {
        info.secure_life_cycle_state = id.life_cycle_name;
        info.bl1_slot_num = id.bl1_slot_num;
        info.bastion_slot_num = id.bastion_slot_num;
    }
}

}  // namespace

int rfc_read_card_identity(const char *bdf, rfc_card_identity_s *identity) {
    if (rfc_device_open(bdf) != 0) {
        return RFC_EFAIL;
    }
    // The request is a single zero byte.
    const uint8_t req = 0;
    fwupdate_card_info_rsp_s rsp{};
    const rfc_exchange_s x = rfc_exchange<FWUPDATE_MSG_GET_CARD_INFO>(req, rsp);
    if (!x.answered()) {
        RFC_ERR("[%s] failed in ipc send err %d, ret %d %s", static_cast<int>(x.rsp_err), static_cast<int>(x.ret),
                strerror(x.err));
        return RFC_EFAIL;
    }
    // The date is read before the layout version clears what an older
    // service left undefined.
    const std::string date = date_text(rsp);
    apply_layout_version(rsp);
    if (identity != nullptr) {
        fill_identity(rsp, date, *identity);
    }
    return RFC_OK;
}

int rfc_card_info_get(const char *bdf, const char *file_name, rfc_card_info_s *info) {
    rfc_card_identity_s id;
    const int ret = rfc_read_card_identity(bdf, &id);
    if (ret != RFC_OK) {
        return ret;
    }
    if (file_name != nullptr) {
        rfc_output_s out;
        if (!rfc_output_open(out, file_name)) {
            return RFC_EFAIL;
        }
        write_card_info(out, id);
        return rfc_output_close(out);
    }
    if (info != nullptr) {
        fill_record(*info, id);
    }
    return RFC_OK;
}

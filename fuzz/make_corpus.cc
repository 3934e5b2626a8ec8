// SPDX-License-Identifier: Apache-2.0
// Writes the seed corpus of every fuzz target into the directory given:
// small valid inputs, the card's answers built from the message records.
//   build/fuzz/fuzz_make_corpus fuzz/corpus
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz_card.h"
#include "fwupdate_msgs.h"
#include "ipc_cmd.h"
#include "rfc_types.h"

namespace {

using bytes_t = std::vector<uint8_t>;

std::string g_root;

struct writer_s {
    bytes_t out;
    writer_s &u8(uint8_t v) {
        out.push_back(v);
        return *this;
    }
    writer_s &u16(uint16_t v) { return u8(static_cast<uint8_t>(v)).u8(static_cast<uint8_t>(v >> 8)); }
    writer_s &u32(uint32_t v) { return u16(static_cast<uint16_t>(v)).u16(static_cast<uint16_t>(v >> 16)); }
    writer_s &raw(const bytes_t &b) {
        out.insert(out.end(), b.begin(), b.end());
        return *this;
    }
    writer_s &text(const std::string &s) { return raw(bytes_t(s.begin(), s.end())); }
    // One answer of the fuzzer-driven card (fuzz_card.h).
    writer_s &frame(const bytes_t &data, uint32_t rsp_errno = 0) {
        u8(rsp_errno != 0 ? FUZZ_FRAME_ERRNO : 0).u16(static_cast<uint16_t>(data.size()));
        if (rsp_errno != 0) u32(rsp_errno);
        return raw(data);
    }
};

template <typename T>
bytes_t record(const T &rec) {
    bytes_t b(sizeof(T));
    memcpy(b.data(), &rec, sizeof(T));
    return b;
}

void put(const std::string &target, const std::string &name, const bytes_t &data) {
    const std::string dir = g_root + "/" + target;
    mkdir(g_root.c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    std::ofstream(dir + "/" + name, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
}

// A misc-channel message: driver header, payload header, data.
bytes_t message(uint8_t type, uint16_t pld_len, uint32_t rsp_errno, uint32_t magic, uint8_t version, uint32_t msg,
                const bytes_t &data) {
    writer_s w;
    w.u8(type).u8(0).u16(pld_len).u32(rsp_errno);
    w.u32(magic).u8(version).u8(static_cast<uint8_t>(msg >> 16)).u16(static_cast<uint16_t>(msg));
    return w.raw(data).out;
}
bytes_t answer(uint32_t msg, const bytes_t &data, uint32_t rsp_errno = 0) {
    return message(3, static_cast<uint16_t>(8 + data.size()), rsp_errno, IPC_CMD_MAGIC, 1, msg, data);
}

void ipc_channel() {
    const std::string t = "ipc_channel";
    const bytes_t four = {0xd0, 0xd1, 0xd2, 0xd3};
    auto seed = [&](uint8_t layout, uint32_t msg, const std::vector<uint16_t> &req, const std::vector<uint16_t> &rsp,
                    const bytes_t &msg_bytes) {
        writer_s w;
        w.u8(static_cast<uint8_t>(layout | req.size() | rsp.size() << 3)).u32(msg).u8(0);
        for (uint16_t n : req)
            w.u16(n);
        for (uint16_t n : rsp)
            w.u16(n);
        return w.raw(msg_bytes).out;
    };
    const uint32_t m = FWUPDATE_MSG_GET_RUNNING_IMAGE;
    put(t, "answer-4-bytes", seed(0, m, {4}, {4}, answer(m, four)));
    put(t, "answer-status", seed(0, m, {4}, {4}, answer(m, four, 22)));
    put(t, "answer-shorter-than-capacity", seed(0, m, {4}, {64}, answer(m, {1})));
    put(t, "answer-empty", seed(0, m, {}, {}, answer(m, {})));
    put(t, "answer-scattered",
        seed(0, FWUPDATE_MSG_GET_CARD_INFO, {1}, {10, 0, 20, 7},
             answer(FWUPDATE_MSG_GET_CARD_INFO, bytes_t(30, 0x42))));
    put(t, "answer-1024",
        seed(0, FWUPDATE_MSG_GET_FW_LIST, {4}, {1024}, answer(FWUPDATE_MSG_GET_FW_LIST, bytes_t(1024, 0x17))));
    put(t, "answer-over-capacity", seed(0, m, {4}, {3}, answer(m, four)));
    put(t, "answer-wrong-type", seed(0, m, {4}, {4}, message(2, 12, 0, IPC_CMD_MAGIC, 1, m, four)));
    put(t, "answer-wrong-magic", seed(0, m, {4}, {4}, message(3, 12, 0, 0x4D435050, 1, m, four)));
    put(t, "answer-wrong-version", seed(0, m, {4}, {4}, message(3, 12, 0, IPC_CMD_MAGIC, 2, m, four)));
    put(t, "answer-other-msg-hi", seed(0, m, {4}, {4}, message(3, 12, 0, IPC_CMD_MAGIC, 1, 0x20001, four)));
    put(t, "answer-truncated", seed(0, m, {4}, {64}, message(3, 40, 0, IPC_CMD_MAGIC, 1, m, four)));
    put(t, "answer-pld-len-short", seed(0, m, {4}, {4}, message(3, 7, 0, IPC_CMD_MAGIC, 1, m, four)));
    put(t, "answer-7-bytes", seed(0, m, {4}, {4}, bytes_t{3, 0, 8, 0, 0, 0, 0}));
    put(t, "no-answer", seed(0, m, {4}, {4}, {}));
    put(t, "request-1024",
        seed(0, FWUPDATE_MSG_FLASH_WRITE, {1000, 24}, {8}, answer(FWUPDATE_MSG_FLASH_WRITE, bytes_t(8, 0))));
    put(t, "request-1025",
        seed(0, FWUPDATE_MSG_FLASH_WRITE, {1000, 25}, {8}, answer(FWUPDATE_MSG_FLASH_WRITE, bytes_t(8, 0))));
    put(t, "repaired-header", seed(0xC0, m, {4}, {8}, bytes_t(20, 0x03)));
}

void fwctl() {
    const std::string t = "fwctl";
    auto seed = [&](uint8_t flags, uint32_t endpoint, uint32_t msg, uint16_t req, uint16_t cap, const bytes_t &frame) {
        writer_s w;
        w.u8(flags).u32(endpoint).u32(msg).u16(req).u16(cap);
        return w.raw(frame).out;
    };
    const uint32_t m = FWUPDATE_MSG_GET_RUNNING_IMAGE;
    put(t, "answer-4-bytes", seed(0, 12, m, 4, 4, writer_s().frame({1, 0, 0, 0}).out));
    put(t, "answer-status", seed(1, 12, m, 4, 4, writer_s().frame({1, 0, 0, 0}, 5).out));
    put(t, "answer-shorter", seed(0, 12, FWUPDATE_MSG_GET_CARD_INFO, 1, 512, writer_s().frame(bytes_t(100, 7)).out));
    put(t, "answer-claims-more",
        seed(1, 12, m, 4, 4, writer_s().u8(FUZZ_FRAME_LENGTH).u16(4).u32(4096).raw({1, 2, 3, 4}).out));
    put(t, "ioctl-fails", seed(0, 12, m, 4, 4, writer_s().u8(FUZZ_FRAME_RAW).u16(0).out));
    put(t, "write-scope", seed(1, 25, 1, 8, 8, writer_s().frame(bytes_t(8, 0)).out));
    put(t, "no-answer", seed(0, 12, m, 4, 4, {}));
}

// ---- client operations -------------------------------------------------------

writer_s op(uint8_t which, uint8_t flags, uint8_t arg, uint8_t variant, uint32_t size) {
    writer_s w;
    w.u8(which).u8(flags).u8(arg).u8(variant).u32(size);
    return w;
}

std::string factory_metadata(const std::string &key, const std::string &image, const std::string &version) {
    return "{\"key_name\": \"" + key + "\", \"image\": \"" + image + "\", \"version\": \"" + version +
           "\", \"size\": 0, \"hash_alg\": \"sha512\", \"hash\": \"cf83e1357eefb8bdf1542850d66d8007d620e405\"}";
}

bytes_t signed_data(const std::string &text) {
    fwupdate_signed_data_rsp_s rsp{};
    rsp.data_len = static_cast<uint32_t>(text.size());
    memcpy(rsp.data, text.data(), std::min(text.size(), sizeof(rsp.data)));
    return record(rsp);
}

void client_ops() {
    const std::string t = "client_ops";
    for (uint8_t transport : {0, 1}) {
        const std::string suffix = transport ? "-fwctl" : "-misc";
        auto seed = [&](const std::string &name, writer_s w) { put(t, name + suffix, w.out); };

        seed("erase-polled", op(OP_ERASE, transport, FLASH_PARTITION_FW_A, 0, 0x100000)
                                 .frame({FWUPDATE_STATUS_ERASE_IN_PROGRESS})
                                 .frame({0}));
        seed("erase-failed", op(OP_ERASE, transport, FLASH_PARTITION_FW_B, 0, 0x1000).frame({FWUPDATE_STATUS_FAILED}));
        seed("sector-erase", op(OP_SECTOR_ERASE, transport, FLASH_PARTITION_UBOOT_A, 0, 8192).frame({0}).frame({0}));
        seed("sector-refused", op(OP_SECTOR_ERASE, transport, FLASH_PARTITION_UBOOT_A, 0, 4096).frame({1}));

        auto next = [](uint64_t offset) {
            fwupdate_write_rsp_s rsp{offset};
            return record(rsp);
        };
        seed("install-one-chunk", op(OP_WRITE, transport, FLASH_PARTITION_FW_A, 2, 0).frame(next(960)));
        seed("install-three-chunks",
             op(OP_WRITE, transport, FLASH_PARTITION_FW_B, 4, 0).frame(next(960)).frame(next(1920)).frame(next(2880)));
        seed("install-cpld", op(OP_WRITE, transport, FLASH_PARTITION_CPLD, 1, 0).frame(next(16)).frame(next(16)));
        seed("install-verify-pass",
             op(OP_WRITE_VERIFY_PASS, transport, FLASH_PARTITION_UFM1, 3, 0).frame(next(960)).frame(next(961)));

        fwupdate_checksum_rsp_s sum{};
        sum.status = FWUPDATE_STATUS_VERIFY_IN_PROGRESS;
        const bytes_t busy = record(sum);
        sum.status = 0;
        seed("checksum-match",
             op(OP_VERIFY_CHECKSUM, transport, FLASH_PARTITION_FW_A, 0x02, 0).frame(busy).frame(record(sum)));
        memset(sum.digest, 0xab, sizeof(sum.digest));
        seed("checksum-lower-case",
             op(OP_VERIFY_CHECKSUM, transport, FLASH_PARTITION_FW_A, 0x12, 0).frame(record(sum)));

        fwupdate_startup_verify_rsp_s startup{};
        const std::string text = "image: fw-a\nversion: 2.14.0\nhash: " + std::string(128, '0') + "\n";
        startup.text_len = static_cast<uint32_t>(text.size());
        memcpy(startup.text, text.data(), text.size());
        seed("startup-image", op(OP_VALIDATE_STARTUP, transport, FLASH_PARTITION_FW_A, 0, 0).frame(record(startup)));

        seed("running-image", op(OP_FIRMWARE_TYPE, transport, FWUPDATE_IMAGE_RUNNING, 0, 0).frame({1, 0, 0, 0}));
        seed("set-startup", op(OP_SET_STARTUP, transport, FIRMWARE_IMAGE_FW_B, 0, 0).frame({0}));
        seed("set-startup-refused", op(OP_SET_STARTUP, transport, FIRMWARE_IMAGE_FW_A, 0, 0).frame({0}, 22));

        fwupdate_fw_list_rsp_s list{};
        list.image_id = FLASH_PARTITION_FW_A;
        const std::string fw = "{\"firmware\": [\"fw-a\", \"2.14.0-E-42\"]}\n";
        list.data_len = static_cast<uint32_t>(fw.size());
        memcpy(list.data, fw.data(), fw.size());
        seed("firmware-list", op(OP_PARTITION_METADATA, transport, FLASH_PARTITION_FW_A, 0, 0).frame(record(list)));
        list = fwupdate_fw_list_rsp_s{};
        list.image_id = FLASH_PARTITION_DTB;
        memcpy(list.version, "dtb-1.2.0", 9);
        memcpy(list.profile_name, "larch-2x100g", 12);
        seed("profile", op(OP_PARTITION_METADATA, transport, FLASH_PARTITION_DTB, 0, 0).frame(record(list)));

        writer_s info = op(OP_PARTITION_INFO, transport, FLASH_PARTITION_ALL, 0, 0);
        bytes_t summary(FWUPDATE_PARTITION_SUMMARY_LEN, 0);
        summary[0] = 3;
        info.frame(summary);
        const char *names[] = {"boot0", "fw-a", "fw-b"};
        for (uint32_t i = 0; i < 3; ++i) {
            fwupdate_partition_info_rsp_s entry{};
            entry.id = i == 0 ? 0 : 5 + i;
            entry.type_id = i;
            memcpy(entry.id_name, names[i], strlen(names[i]));
            memcpy(entry.type_name, "firmware", 8);
            entry.partition_size = 0x2000000;
            entry.slot_id = static_cast<uint8_t>(i);
            entry.is_running = i == 1;
            entry.is_startup = i == 1;
            memcpy(entry.version, "2.14.0-E-42", 11);
            info.frame(record(entry));
        }
        seed("partition-table", info);

        fwupdate_card_info_rsp_s card{};
        memcpy(card.sw_version, "2.14.0-E-42", 11);
        card.board_id = 0x1234;
        card.asic = 4;
        card.cpld_id = 2;
        card.cpld_version = 7;
        const uint8_t date[5] = {0x30, 0x12, 0x15, 0x06, 0x24};
        memcpy(card.date, date, sizeof(date));
        card.fwupdate_ipc_version = 5;
        card.board_hw_fuse = 1;
        card.board_sigchk = 1;
        memcpy(card.board_keyname, "prod", 4);
        card.board_secure_enable = 1;
        card.board_secure_boot = 1;
        card.bl1_slot_num = 1;
        card.life_cycle_state = 3;
        card.life_cycle_state_fuses = 0xf;
        seed("card-info", op(OP_CARD_INFO, transport, 0, 0, 0).frame(record(card)));
        card.fwupdate_ipc_version = 1;
        seed("card-info-layout-1", op(OP_CARD_INFO, transport | 8, 0, 0, 0).frame(record(card)));

        seed("secure-boot-enable", op(OP_SECURE_BOOT_UPDATE, transport, SECURE_BOOT_ENABLE, 0, 0).frame({0, 0, 0, 0}));
        seed("secure-image-update",
             op(OP_SECURE_IMAGE_UPDATE, transport, SECURE_IMAGE_BL1, SECURE_UPDATE_SET_AR_COUNTER, 0)
                 .frame({0, 0, 0, 0}));
        for (uint8_t type : {SECURE_IMAGE_LCS, SECURE_IMAGE_BL1, SECURE_IMAGE_BL31, SECURE_IMAGE_BASTION}) {
            fwupdate_secure_info_rsp_s sec{};
            sec.bl1_version = 0x10203;
            sec.bl1_ar_version = 2;
            sec.lcs_boot_state = 3;
            sec.lcs_next_state = 3;
            sec.bl1_ar_nv_count = 2;
            sec.bastionfw_version = 0x10902;
            sec.bastion_ar_nv_count = 1;
            sec.secure_ipc_version = 1;
            sec.next_boot_partition = 1;
            memcpy(sec.bl31_version, "v2.9(release):bl31-2.9.1", 24);
            sec.fuse = 0x3;
            sec.bastion_enable = 1;
            seed("secure-info-" + std::to_string(type),
                 op(OP_SECURE_IMAGE_INFO, transport, type, 0, 0).frame(record(sec)));
        }
        seed("signed-metadata", op(OP_SIGNED_METADATA, transport, FLASH_PARTITION_FW_A, 0, 0)
                                    .frame(signed_data(factory_metadata("prod", "fw-a", "2.14.0-E-42"))));
        seed("signature-verify", op(OP_SIGNATURE_VERIFY, transport, FLASH_PARTITION_BASTIONFW_0, 0, 0)
                                     .frame(signed_data(factory_metadata("eng", "bastionfw-0", "bastion-1.9.2")))
                                     .frame(bytes_t(FWUPDATE_VERIFY_SIGNATURE_RSP_LEN, 0)));
        seed("signature-refused", op(OP_SIGNATURE_VERIFY, transport, FLASH_PARTITION_A35_BL1_0, 0, 0)
                                      .frame(signed_data(factory_metadata("prod", "a35-bl1-0", "bl1-2.3.1")))
                                      .frame(bytes_t(FWUPDATE_VERIFY_SIGNATURE_RSP_LEN, 0), 1));
    }
}

void signed_json() {
    const std::string t = "signed_json";
    auto seed = [&](const std::string &name, uint8_t selector, const std::string &text) {
        put(t, name, writer_s().u8(selector).text(text).out);
    };
    seed("factory-prod", 3, factory_metadata("prod", "fw-a", "2.14.0-E-42"));
    seed("factory-eng", 5, factory_metadata("eng", "bastionfw-0", "bastion-1.9.2"));
    seed("refused", 0x08, factory_metadata("prod", "a35-bl1-0", "bl1-2.3.1"));
    seed("exchange-fails", 0x10, factory_metadata("eng", "fw-b", "2.13.2-E-17"));
    seed("unknown-key", 4, factory_metadata("test", "fw-b", "2.13.2-E-17"));
    seed("no-key-name", 1, "{\"image\": \"fw-a\", \"version\": \"1\"}");
    seed("key-name-object", 2, "{\"key_name\": {\"id\": \"prod\"}}");
    seed("key-name-array", 2, "{\"key_name\": [\"prod\", \"eng\"], \"x\": null, \"y\": true, \"z\": -1.5e3}");
    seed("escapes", 6, "{\"key_name\": \"pr\\u006fd\", \"note\": \"tab\\tquote\\\" slash\\/ \\ud83d\\ude00\"}");
    seed("top-level-array", 0, "[{\"key_name\": \"prod\"}]");
    seed("empty", 0, "");
    seed("trailing-garbage", 0, "{\"key_name\": \"prod\"} x");
}

void boot_count() {
    const std::string t = "boot_count";
    auto seed = [&](const std::string &name, const std::string &text) {
        put(t, name, bytes_t(text.begin(), text.end()));
    };
    seed("number", "12\n");
    seed("zero", "0\n");
    seed("negative", "-3\n");
    seed("blanks-and-words", "  42 boots since install\n");
    seed("empty-first-line", "\n7\n");
    seed("int32-max", "2147483647\n");
    seed("int32-over", "2147483648\n");
    seed("word", "boot\n");
    seed("no-newline", "99");
    seed("empty", "");
}

void cli_args() {
    const std::string t = "cli_args";
    auto seed = [&](const std::string &name, uint8_t result, const std::vector<std::string> &args) {
        writer_s w;
        w.u8(result);
        for (size_t i = 0; i < args.size(); ++i) {
            if (i > 0) w.u8(0);
            w.text(args[i]);
        }
        put(t, name, w.out);
    };
    const std::string bdf = "0000:03:00.0";
    seed("no-arguments", 0, {});
    seed("get-firmware-image", 1, {"--get-firmware-image", "running", bdf});
    seed("erase", 0, {"--erase", "fw-a", "0x100000", bdf});
    seed("erase-missing-size", 0, {"--erase", "fw-a", bdf});
    seed("install", 0, {"--install", "fw-b", "/tmp/image.bin", bdf});
    seed("set-boot-options", 0, {"--set-boot-options", "a35-goldfw", bdf});
    seed("verify-checksum", 2, {"--verify-checksum", "fw-a", "/tmp/image.bin", std::string(128, 'A'), bdf});
    seed("list-firmware", 0, {"--list-firmware", "dtb", bdf});
    seed("verify-startup-image", 0, {"--verify-startup-image", "fw-a", bdf});
    seed("get-card-info", 0, {"--get-card-info", bdf});
    seed("get-partition-info", 7, {"--get-partition-info", bdf});
    seed("erase-sector", 0, {"--erase-sector", "uboot-a", "8192", bdf});
    seed("secure-boot", 0, {"--secure-boot", "enable", bdf});
    seed("secure-info", 0, {"--secure-info", "bastion", bdf});
    seed("secure-image-update", 0, {"--secure-image-update", "bl1", "set-ar-counter", bdf});
    seed("secure-image-update-bad", 0, {"--secure-image-update", "lcs", "production", bdf});
    seed("get-signed-data", 0, {"--get-signed-data", "bastionfw-0", bdf});
    seed("verify-image-signature", 6, {"--verify-image-signature", "fw-b", bdf});
    seed("abbreviated-option", 0, {"--get-card", bdf});
    seed("option-equals", 0, {"--erase=fw-a", "4096", bdf});
    seed("unknown-option", 0, {"--flash", bdf});
    seed("no-bdf", 0, {"--get-card-info"});
    seed("bdf-only", 0, {bdf});
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    g_root = argv[1];
    ipc_channel();
    fwctl();
    client_ops();
    signed_json();
    boot_count();
    cli_args();
    return 0;
}

// SPDX-License-Identifier: Apache-2.0
// Secure-boot state, secure information, signed metadata and manifest
// signature verification of the virtual card.
#include "vcard_test_util.h"

using namespace vcard_test;

namespace {

const std::string k_eng_pem =
    "-----BEGIN PUBLIC KEY-----\n"
    "MCowBQYDK2VwAyEANhDmI5ype3wa6UrZkRyyPOuxu3v4MHSmdjJWRREs3jw=\n"
    "-----END PUBLIC KEY-----\n";
const std::string k_prod_pem =
    "-----BEGIN PUBLIC KEY-----\n"
    "MCowBQYDK2VwAyEAIRtlwiD7wJ73JyVKGwbPJ5HfzuCEZLqtK71MHAet31k=\n"
    "-----END PUBLIC KEY-----\n";

class VcardSecure : public CardTest {
  protected:
    void SetUp() override {
        CardTest::SetUp();
        open_card();
    }
    uint32_t secure_boot(uint32_t option) {
        fwupdate_secure_boot_update_req_s q{};
        q.option = option;
        vcard_reply_s r = call(FWUPDATE_MSG_SECURE_BOOT_UPDATE, as_bytes(q), 904);
        if (r.rsp_errno == 0) {
            EXPECT_EQ(r.data.size(), 904u);
        }
        return r.rsp_errno;
    }
    uint32_t image_update(uint32_t type, uint32_t opcode) {
        fwupdate_secure_image_update_req_s q{};
        q.type = type;
        q.opcode = opcode;
        vcard_reply_s r = call(FWUPDATE_MSG_SECURE_IMAGE_UPDATE, as_bytes(q), 4);
        if (r.rsp_errno == 0) {
            EXPECT_EQ(r.data, bytes(4, 0));
        }
        return r.rsp_errno;
    }
    bytes secure_info_raw(uint32_t comp) {
        vcard_reply_s r = call(FWUPDATE_MSG_GET_SECURE_INFO, u32(comp), 628);
        EXPECT_EQ(r.rsp_errno, 0u);
        EXPECT_EQ(r.data.size(), 628u);
        return r.data;
    }
    fwupdate_card_info_rsp_s card_info() {
        return as_record<fwupdate_card_info_rsp_s>(call(FWUPDATE_MSG_GET_CARD_INFO, bytes{0}, 512).data);
    }
    uint32_t verify(uint32_t part, const std::string &pem, uint32_t op = 3) {
        bytes req(pem.size() + 80, 0);
        fwupdate_verify_signature_req_s h{};
        h.op = op;
        h.partition = part;
        h.key_len = static_cast<uint32_t>(pem.size());
        memcpy(req.data(), &h, sizeof h);
        memcpy(req.data() + sizeof h, pem.data(), pem.size());
        vcard_reply_s r = call(FWUPDATE_MSG_VERIFY_SIGNATURE, req, 72);
        if (r.rsp_errno == 0) {
            EXPECT_EQ(r.data.size(), 72u);
        }
        return r.rsp_errno;
    }
    std::string signed_text(uint32_t part) {
        vcard_reply_s r = call(FWUPDATE_MSG_GET_SIGNED_DATA, u32(part), 912);
        EXPECT_EQ(r.rsp_errno, 0u);
        EXPECT_EQ(r.data.size(), 912u);
        auto rsp = as_record<fwupdate_signed_data_rsp_s>(r.data);
        EXPECT_LT(rsp.data_len, 900u);
        EXPECT_EQ(rsp.data[rsp.data_len], '\0');
        return std::string(rsp.data, std::min<size_t>(rsp.data_len, 900));
    }
};

template <typename T>
T at(const bytes &b, size_t off) {
    T v;
    memcpy(&v, b.data() + off, sizeof v);
    return v;
}

TEST_F(VcardSecure, SecureInfoFieldsStandAtTheirPackedOffsets) {
    bytes b = secure_info_raw(2);
    EXPECT_EQ(at<uint32_t>(b, 0), 0u);
    EXPECT_EQ(at<uint64_t>(b, 4), 0x00020003000100ULL);   // bl1_version
    EXPECT_EQ(b[12], 3);                                  // bl1_ar_version
    EXPECT_EQ(b[13], 1);                                  // lcs_boot_state: open
    EXPECT_EQ(b[14], 1);                                  // lcs_next_state
    EXPECT_EQ(at<uint64_t>(b, 15), 2u);                   // bl1_ar_nv_count
    EXPECT_EQ(at<uint64_t>(b, 23), 0x00010009000200ULL);  // bastionfw_version
    EXPECT_EQ(b[31], 6);                                  // bastion_ar_version
    EXPECT_EQ(at<uint64_t>(b, 32), 5u);                   // bastion_ar_nv_count
    EXPECT_EQ(b[40], 2);                                  // secure_ipc_version
    EXPECT_EQ(b[41], 0);
    EXPECT_EQ(b[42], 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&b[115])), "v2.8(release):larch-2.8.1-g4c1d2e3");
    EXPECT_EQ(at<uint32_t>(b, 371), 0x10u);  // fuse: life cycle open, secure boot off
    EXPECT_EQ(b[375], 0);                    // bastion_enable
    EXPECT_EQ(b[376], 0);
}

TEST_F(VcardSecure, SecureInfoRefusesUnknownComponents) {
    // The whole answer comes back, its command status the error too.
    for (uint32_t comp : {0u, 5u, 0xFFFFFFFFu}) {
        vcard_reply_s r = call(FWUPDATE_MSG_GET_SECURE_INFO, u32(comp), 628);
        EXPECT_EQ(r.rsp_errno, uint32_t(EINVAL)) << comp;
        ASSERT_EQ(r.data.size(), 628u) << comp;
        EXPECT_EQ(at<uint32_t>(r.data, 0), uint32_t(EINVAL)) << comp;
    }
}

TEST_F(VcardSecure, SecureBootSwitchIsPersistedAndShown) {
    ASSERT_EQ(secure_boot(1), 0u);
    reopen();
    EXPECT_EQ(card_info().board_secure_boot, 1);
    bytes b = secure_info_raw(1);
    EXPECT_EQ(at<uint32_t>(b, 371), 0x11u);
    EXPECT_EQ(b[375], 1);
    ASSERT_EQ(secure_boot(2), 0u);
    EXPECT_EQ(card_info().board_secure_boot, 0);
}

TEST_F(VcardSecure, SecureBootRefusesOtherOptionsAndDisablingInProduction) {
    for (uint32_t opt : {0u, 3u, 4u})
        EXPECT_EQ(secure_boot(opt), uint32_t(EINVAL)) << opt;
    ASSERT_EQ(secure_boot(1), 0u);
    ASSERT_EQ(image_update(1, 3), 0u);
    EXPECT_EQ(secure_boot(2), uint32_t(EPERM));
    EXPECT_EQ(card_info().board_secure_boot, 1);
}

struct update_case_s {
    uint32_t type;
    uint32_t opcode;
    uint32_t rsp_errno;
};

TEST_F(VcardSecure, ImageUpdatesAcceptOnlyTheirComponents) {
    const update_case_s cases[] = {
        {2, 1, 0},      {4, 1, 0},      {2, 2, 0},      {4, 2, 0},      {1, 3, 0},      {1, 1, EINVAL},
        {3, 1, EINVAL}, {1, 2, EINVAL}, {3, 2, EINVAL}, {2, 3, EINVAL}, {4, 3, EINVAL}, {3, 3, EINVAL},
        {0, 1, EINVAL}, {5, 1, EINVAL}, {2, 0, EINVAL}, {2, 4, EINVAL},
    };
    for (const auto &c : cases)
        EXPECT_EQ(image_update(c.type, c.opcode), c.rsp_errno) << c.type << "/" << c.opcode;
}

TEST_F(VcardSecure, BootAltPartitionAndArCounterChangeTheComponent) {
    ASSERT_EQ(image_update(2, 1), 0u);
    ASSERT_EQ(image_update(4, 2), 0u);
    reopen();
    bytes bl1 = secure_info_raw(2);
    EXPECT_EQ(bl1[41], 1);  // next_boot_partition
    EXPECT_EQ(bl1[42], 0);  // current_boot_partition
    EXPECT_EQ(at<uint64_t>(bl1, 15), 2u);
    bytes bastion = secure_info_raw(4);
    EXPECT_EQ(bastion[41], 0);
    EXPECT_EQ(at<uint64_t>(bastion, 32), 6u);  // counter now at the image's version
    ASSERT_EQ(image_update(2, 2), 0u);
    EXPECT_EQ(at<uint64_t>(secure_info_raw(2), 15), 3u);
}

TEST_F(VcardSecure, SetProductionMovesTheLifeCycle) {
    ASSERT_EQ(secure_boot(1), 0u);
    ASSERT_EQ(image_update(1, 3), 0u);
    reopen();
    bytes b = secure_info_raw(1);
    EXPECT_EQ(b[13], 1);  // this boot started open
    EXPECT_EQ(b[14], 3);  // prod from the next one
    fwupdate_card_info_rsp_s ci = card_info();
    EXPECT_EQ(ci.life_cycle_state, 3);
    EXPECT_EQ(ci.life_cycle_state_fuses, 0x5u);
    EXPECT_STREQ(ci.board_keyname, "prod");
    EXPECT_EQ(ci.board_secure_boot, 1);
}

TEST_F(VcardSecure, SignedMetadataNamesKeyImageAndHash) {
    bytes image = pattern(1500, 2);
    install(13, image);
    std::string sha = sha512_hex_upper(image.data(), image.size());
    EXPECT_EQ(signed_text(13), "{\"key_name\": \"prod\", \"image\": \"bastionfw-0\", \"version\": \"installed-" +
                                   sha.substr(0, 8) + "\", \"size\": 1500, \"hash_alg\": \"sha512\", \"hash\": \"" +
                                   sha + "\"}");
    for (uint32_t part : {1u, 2u, 3u, 6u, 7u, 14u})
        EXPECT_EQ(signed_text(part).rfind("{\"key_name\": \"prod\", ", 0), 0u) << part;
}

TEST_F(VcardSecure, SignedMetadataOnlyForSecurePartitions) {
    for (uint32_t part : {0u, 4u, 8u, 17u, 25u})
        EXPECT_EQ(call(FWUPDATE_MSG_GET_SIGNED_DATA, u32(part), 912).rsp_errno, uint32_t(EINVAL)) << part;
    EXPECT_EQ(call(FWUPDATE_MSG_GET_SIGNED_DATA, u32(22), 912).rsp_errno, uint32_t(ENOENT));
}

TEST_F(VcardSecure, PublicKeyFilesAreTheSameOnEveryCard) {
    ASSERT_EQ(vcard_write_public_keys(dir_), 0);
    EXPECT_EQ(file_text(dir_ + "/eng_key-pub.pem"), k_eng_pem);
    EXPECT_EQ(file_text(dir_ + "/prod_key-pub.pem"), k_prod_pem);
    EXPECT_EQ(vcard_write_public_keys(dir_ + "/missing"), -1);
}

TEST_F(VcardSecure, SignatureVerifiesWithThePartitionKeyOnly) {
    EXPECT_EQ(verify(6, k_prod_pem), 0u);  // factory image
    install(6, pattern(3000, 4));
    EXPECT_EQ(verify(6, k_prod_pem), 0u);
    EXPECT_EQ(verify(6, k_eng_pem), uint32_t(EKEYREJECTED));
    reopen();
    EXPECT_EQ(verify(6, k_prod_pem), 0u);
}

TEST_F(VcardSecure, SignatureFailsOnceTheImageChanged) {
    install(7, pattern(5000, 6));
    ASSERT_EQ(verify(7, k_prod_pem), 0u);
    fwupdate_sector_erase_req_s q{};
    q.image_id = 7;
    q.offset = 4096;
    q.length = 4096;
    ASSERT_EQ(call(FWUPDATE_MSG_FLASH_SECTOR_ERASE, as_bytes(q), 1).data, bytes{0});
    EXPECT_EQ(verify(7, k_prod_pem), uint32_t(EKEYREJECTED));
    install(7, pattern(5000, 6));
    EXPECT_EQ(verify(7, k_prod_pem), 0u);
    // a chunk rewritten without a last flag changes the flash, not the manifest
    ASSERT_EQ(write_chunk(7, 0, bytes{1}, false).rsp_errno, 0u);
    EXPECT_EQ(verify(7, k_prod_pem), uint32_t(EKEYREJECTED));
}

TEST_F(VcardSecure, SignatureVerificationRefusesMalformedRequests) {
    EXPECT_EQ(verify(6, "not a key"), uint32_t(EINVAL));
    EXPECT_EQ(verify(6, k_prod_pem.substr(0, 60)), uint32_t(EINVAL));
    EXPECT_EQ(verify(6, ""), uint32_t(EINVAL));
    EXPECT_EQ(verify(6, k_prod_pem, 2), uint32_t(EINVAL));
    EXPECT_EQ(verify(4, k_prod_pem), uint32_t(EINVAL));
    EXPECT_EQ(verify(22, k_prod_pem), uint32_t(ENOENT));
    // The request is the key and 80 bytes besides, the key at most 936
    // bytes: a good key in a request of any other length is refused.
    struct length_case_s {
        const char *what;
        uint32_t key_len;
        size_t req_len;
    };
    const uint32_t n = static_cast<uint32_t>(k_prod_pem.size());
    const length_case_s cases[] = {
        {"key length beyond the bytes sent", 21, 12 + 20},
        {"one byte short", n, n + 79},
        {"one byte over", n, n + 81},
        {"key longer than the request buffer takes", 937, 937 + 80},
    };
    for (const auto &c : cases) {
        bytes req(std::max(c.req_len, 12 + k_prod_pem.size()), 0);
        fwupdate_verify_signature_req_s h{3, 6, c.key_len};
        memcpy(req.data(), &h, sizeof h);
        memcpy(req.data() + 12, k_prod_pem.data(), k_prod_pem.size());
        req.resize(c.req_len);
        vcard_reply_s r = call(FWUPDATE_MSG_VERIFY_SIGNATURE, req, 72);
        EXPECT_EQ(r.rsp_errno, uint32_t(EINVAL)) << c.what;
        EXPECT_EQ(r.data, bytes(72, 0)) << c.what;
    }
    EXPECT_EQ(call(FWUPDATE_MSG_VERIFY_SIGNATURE, bytes(11, 0), 72).rsp_errno, uint32_t(EINVAL));
    EXPECT_EQ(verify(6, k_prod_pem), 0u);  // the same key at n + 80 bytes
}

TEST_F(VcardSecure, StateFileChoosesThePartitionKeyAndToleratesStrayLines) {
    vcard_close(card_);
    card_ = nullptr;
    std::ofstream(opts_.state_dir + "/state.txt")
        << "garbage line\nsecure_boot=1\nlife_cycle=x\npart.fw-b.key=eng\npart.fw-b.signature=zz\n";
    open_card();
    EXPECT_EQ(card_info().board_secure_boot, 1);
    EXPECT_EQ(card_info().life_cycle_state, 1);
    EXPECT_EQ(signed_text(7).rfind("{\"key_name\": \"eng\", ", 0), 0u);
    EXPECT_EQ(verify(7, k_eng_pem), 0u);
    install(7, pattern(100, 1));
    EXPECT_EQ(verify(7, k_eng_pem), 0u);
    EXPECT_EQ(verify(7, k_prod_pem), uint32_t(EKEYREJECTED));
}

TEST_F(VcardSecure, AKeyOfAnotherAlgorithmIsRefused) {
    const std::string p256 =
        "-----BEGIN PUBLIC KEY-----\n"
        "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEAqC7LjPB7NeYmzJxNdFpuhr82DTc\n"
        "lM1w1Hn437x6/K9MkGI2NQyC0jW9KyItP9cnlLgtPtt+kJXsCdoByN+SkA==\n"
        "-----END PUBLIC KEY-----\n";
    EXPECT_EQ(verify(6, p256), uint32_t(EINVAL));
}

}  // namespace

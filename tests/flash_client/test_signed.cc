// SPDX-License-Identifier: Apache-2.0
// Signed metadata of the secure partitions and the card's signature check.
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "fwkeys_guard.h"
#include "info_fixture.h"

namespace {

const std::string k_empty_sha512 =
    "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a5"
    "38327af927da3e";

std::string factory_metadata(const std::string &image, const std::string &version) {
    return "{\"key_name\": \"prod\", \"image\": \"" + image + "\", \"version\": \"" + version +
           "\", \"size\": 0, \"hash_alg\": \"sha512\", \"hash\": \"" + k_empty_sha512 + "\"}";
}

class SignedTest : public ClientInfoTest {
  protected:
    // The public key file of the card's key of that name, as a host keeps it.
    std::string card_key(const std::string &name) {
        const std::string dir = root_ + "/keys";
        std::filesystem::create_directories(dir);
        EXPECT_EQ(vcard_write_public_keys(dir), 0);
        std::ifstream in(dir + "/" + name + "_key-pub.pem", std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        EXPECT_FALSE(text.str().empty());
        return text.str();
    }

    // The verification request the card received last.
    std::vector<uint8_t> verify_request() {
        for (const auto &r : requests()) {
            if (r.msg == FWUPDATE_MSG_VERIFY_SIGNATURE) {
                return r.bytes;
            }
        }
        return {};
    }
};

#define REQUIRE_KEY_DIR(guard)                                    \
    do {                                                          \
        if (!(guard).usable) GTEST_SKIP() << (guard).skip_reason; \
    } while (0)

// ---- rfc_partition_signed_metadata ---------------------------------------------

TEST_F(SignedTest, MetadataFileHoldsTheCardsTextUnchanged) {
    struct metadata_case_s {
        flash_partition_e partition;
        std::string name;
        std::string version;
    };
    start_card();
    for (const auto &c : {metadata_case_s{FLASH_PARTITION_A35_BL1_0, "a35-bl1-0", "bl1-2.3.1"},
                          {FLASH_PARTITION_A35_BL1_1, "a35-bl1-1", "bl1-2.3.1"},
                          {FLASH_PARTITION_A35_GOLDFIP, "a35-goldfip", "goldfip-1.0.4"},
                          {FLASH_PARTITION_FW_A, "fw-a", "2.14.0-E-42"},
                          {FLASH_PARTITION_FW_B, "fw-b", "2.13.2-E-17"},
                          {FLASH_PARTITION_BASTIONFW_0, "bastionfw-0", "bastion-1.9.2"},
                          {FLASH_PARTITION_BASTIONFW_1, "bastionfw-1", "bastion-1.9.2"}}) {
        EXPECT_EQ(rfc_partition_signed_metadata(c.partition, bdf_), 0) << c.name;
        std::string text;
        ASSERT_TRUE(scratch_read(c.name + "_signed.txt", text)) << c.name;
        EXPECT_EQ(text, factory_metadata(c.name, c.version));
        const auto last = requests().back();
        EXPECT_EQ(last.msg, FWUPDATE_MSG_GET_SIGNED_DATA);
        EXPECT_EQ(last.bytes, le32(c.partition));
    }
    EXPECT_TRUE(messages().empty());
}

TEST_F(SignedTest, UnsupportedPartitionsAreRefusedAfterTheOpen) {
    start_card();
    for (const uint32_t partition : {0u, 4u, 8u, 22u, 26u}) {
        clear_messages();
        EXPECT_EQ(rfc_partition_signed_metadata(static_cast<flash_partition_e>(partition), bdf_), 2);
        EXPECT_EQ(rfc_image_signature_verify(static_cast<flash_partition_e>(partition), bdf_), 2);
        const std::string message = "read signed meta data not supported for " + std::to_string(partition);
        EXPECT_EQ(texts(TRACE_LEVEL_ERROR), (std::vector<std::string>{message, message}));
    }
    EXPECT_TRUE(requests().empty());

    // The card is opened before the partition is judged.
    no_card();
    EXPECT_EQ(rfc_partition_signed_metadata(FLASH_PARTITION_BOOT0, bdf_), 255);
    EXPECT_EQ(rfc_image_signature_verify(FLASH_PARTITION_UBOOT_A, bdf_), 255);
}

TEST_F(SignedTest, MetadataLengthZeroAndAboveTheArea) {
    struct length_case_s {
        std::string fault;
        std::string expected;
    };
    const std::string text = factory_metadata("fw-b", "2.13.2-E-17");
    for (const auto &c : {length_case_s{"signed-data:text-len=0", ""},
                          {"signed-data:text-len=5000", text + std::string(900 - text.size(), '\0')}}) {
        SCOPED_TRACE(c.fault);
        TearDown();
        SetUp();
        start_card({c.fault});
        EXPECT_EQ(rfc_partition_signed_metadata(FLASH_PARTITION_FW_B, bdf_), 0);
        std::string file = "x";
        ASSERT_TRUE(scratch_read("fw-b_signed.txt", file));
        EXPECT_EQ(file, c.expected);
    }
}

TEST_F(SignedTest, MetadataFailures) {
    struct failure_case_s {
        std::string fault;
        int result;
        std::string message;
    };
    for (const auto &c :
         {failure_case_s{"signed-data:status-word=5", 912,
                         "failed to read signed data for fw-a, ipc err 5, ipc ret 912"},
          {"signed-data:rsp-len=0", 255, "failed to read signed data for fw-a, ipc err 0, ipc ret 0"},
          {"signed-data:no-answer", -1, "failed to read signed data for fw-a, ipc err 0, ipc ret -1"}}) {
        SCOPED_TRACE(c.fault);
        TearDown();
        SetUp();
        start_card({c.fault});
        EXPECT_EQ(rfc_partition_signed_metadata(FLASH_PARTITION_FW_A, bdf_), c.result);
        EXPECT_EQ(texts(TRACE_LEVEL_ERROR), std::vector<std::string>{c.message});
        EXPECT_FALSE(scratch_exists("fw-a_signed.txt"));

        // The verification stops at the same point with the same result.
        clear_messages();
        EXPECT_EQ(rfc_image_signature_verify(FLASH_PARTITION_FW_A, bdf_), c.result);
        EXPECT_EQ(texts(TRACE_LEVEL_ERROR), std::vector<std::string>{c.message});
        EXPECT_TRUE(verify_request().empty());
    }
}

TEST_F(SignedTest, MetadataFileThatCannotBeOpened) {
    start_card();
    remove_scratch_dir();
    EXPECT_EQ(rfc_partition_signed_metadata(FLASH_PARTITION_BASTIONFW_0, bdf_), 51);
    EXPECT_EQ(texts(TRACE_LEVEL_ERROR),
              std::vector<std::string>{"Failed to open file " + scratch_path("bastionfw-0_signed.txt")});
}

// ---- rfc_image_signature_verify ---------------------------------------------------

TEST_F(SignedTest, VerificationWithTheNamedKeySucceeds) {
    fwkeys_guard keys;
    REQUIRE_KEY_DIR(keys);
    const std::string pem = card_key("prod");
    ASSERT_TRUE(keys.put("prod_key-pub.pem", pem));
    ASSERT_TRUE(keys.put("eng_key-pub.pem", card_key("eng")));
    start_card();
    EXPECT_EQ(rfc_image_signature_verify(FLASH_PARTITION_FW_A, bdf_), 0);
    EXPECT_EQ(texts(TRACE_LEVEL_INFO), std::vector<std::string>{"manifest signature verification success for fw-a"});
    EXPECT_TRUE(texts(TRACE_LEVEL_ERROR).empty());

    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].msg, FWUPDATE_MSG_GET_SIGNED_DATA);
    EXPECT_EQ(reqs[1].msg, FWUPDATE_MSG_VERIFY_SIGNATURE);
    EXPECT_EQ(reqs[1].bytes, concat({le32(3), le32(6), le32(static_cast<uint32_t>(pem.size())), bytes_of(pem),
                                     std::vector<uint8_t>(68, 0)}));
    EXPECT_FALSE(scratch_exists("fw-a_signed.txt"));
}

TEST_F(SignedTest, VerificationWithTheWrongKeyFails) {
    fwkeys_guard keys;
    REQUIRE_KEY_DIR(keys);
    // The card rejects the key with a status word and its 72-byte answer:
    // the operation fails with the received length.
    struct wrong_key_case_s {
        std::vector<std::string> faults;
        std::string file;
        std::string content_of;
    };
    for (const auto &c :
         {wrong_key_case_s{{}, "prod_key-pub.pem", "eng"}, {{"signed-data:key-name=eng"}, "eng_key-pub.pem", "eng"}}) {
        SCOPED_TRACE(c.file);
        TearDown();
        SetUp();
        const std::string pem = card_key(c.content_of);
        ASSERT_TRUE(keys.put(c.file, pem));
        start_card(c.faults);
        EXPECT_EQ(rfc_image_signature_verify(FLASH_PARTITION_BASTIONFW_1, bdf_), 72);
        EXPECT_EQ(texts(TRACE_LEVEL_ERROR),
                  std::vector<std::string>{"manifest signature verification failed for bastionfw-1, ipc err " +
                                           std::to_string(EKEYREJECTED) + ", ipc ret 72"});
        EXPECT_TRUE(texts(TRACE_LEVEL_INFO).empty());
        EXPECT_EQ(verify_request(), concat({le32(3), le32(14), le32(static_cast<uint32_t>(pem.size())), bytes_of(pem),
                                            std::vector<uint8_t>(68, 0)}));
    }
}

TEST_F(SignedTest, VerificationStatusWordWithDataReturnsTheLength) {
    fwkeys_guard keys;
    REQUIRE_KEY_DIR(keys);
    ASSERT_TRUE(keys.put("prod_key-pub.pem", card_key("prod")));
    start_card({"verify-signature:status-word=9"});
    EXPECT_EQ(rfc_image_signature_verify(FLASH_PARTITION_FW_A, bdf_), 72);
    EXPECT_EQ(texts(TRACE_LEVEL_ERROR),
              std::vector<std::string>{"manifest signature verification failed for fw-a, ipc err 9, ipc ret 72"});
}

// An exchange that delivered nothing with status word 0 must not come back
// as success (nor as its result 0).
TEST_F(SignedTest, VerificationAnswerWithoutDataFails) {
    fwkeys_guard keys;
    REQUIRE_KEY_DIR(keys);
    ASSERT_TRUE(keys.put("prod_key-pub.pem", card_key("prod")));
    start_card({"verify-signature:rsp-len=0"});
    EXPECT_EQ(rfc_image_signature_verify(FLASH_PARTITION_FW_A, bdf_), 255);
    EXPECT_EQ(texts(TRACE_LEVEL_ERROR),
              std::vector<std::string>{"manifest signature verification failed for fw-a, ipc err 0, ipc ret 0"});
    EXPECT_TRUE(texts(TRACE_LEVEL_INFO).empty());
}

TEST_F(SignedTest, VerificationTransportFailure) {
    fwkeys_guard keys;
    REQUIRE_KEY_DIR(keys);
    ASSERT_TRUE(keys.put("prod_key-pub.pem", card_key("prod")));
    start_card({"verify-signature:no-answer"});
    EXPECT_EQ(rfc_image_signature_verify(FLASH_PARTITION_FW_A, bdf_), -1);
    EXPECT_EQ(texts(TRACE_LEVEL_ERROR),
              std::vector<std::string>{"manifest signature verification failed for fw-a, ipc err 0, ipc ret -1"});
}

TEST_F(SignedTest, InvalidKeyNamesReturnTheMetadataResult) {
    for (const std::string name : {"en", "production", "", "Prod"}) {
        SCOPED_TRACE(name);
        TearDown();
        SetUp();
        start_card({"signed-data:key-name=" + name});
        EXPECT_EQ(rfc_image_signature_verify(FLASH_PARTITION_FW_A, bdf_), 912);
        EXPECT_EQ(texts(TRACE_LEVEL_ERROR), std::vector<std::string>{"invalid key name " + name});
        EXPECT_EQ(requests().size(), 1u);
    }
}

TEST_F(SignedTest, MetadataThatIsNotUsableJsonFails) {
    struct json_case_s {
        std::string fault;
        std::string message_head;
    };
    for (const auto &c : {json_case_s{"signed-data:bad-json", "invalid signed meta data for fw-b: "},
                          {"signed-data:no-key-name", "invalid signed meta data for fw-b: no key_name"}}) {
        SCOPED_TRACE(c.fault);
        TearDown();
        SetUp();
        start_card({c.fault});
        EXPECT_EQ(rfc_image_signature_verify(FLASH_PARTITION_FW_B, bdf_), 255);
        const auto errors = texts(TRACE_LEVEL_ERROR);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].rfind(c.message_head, 0), 0u) << errors[0];
        EXPECT_EQ(requests().size(), 1u);
    }
}

TEST_F(SignedTest, MetadataWithoutTerminatorIsReadToTheAreaEnd) {
    fwkeys_guard keys;
    REQUIRE_KEY_DIR(keys);
    ASSERT_TRUE(keys.put("prod_key-pub.pem", card_key("prod")));
    // The object is widened to end at its area's last byte: still one object.
    start_card({"signed-data:no-nul"});
    EXPECT_EQ(rfc_image_signature_verify(FLASH_PARTITION_A35_BL1_1, bdf_), 0);
    EXPECT_EQ(rfc_partition_signed_metadata(FLASH_PARTITION_A35_BL1_1, bdf_), 0);
    std::string file;
    ASSERT_TRUE(scratch_read("a35-bl1-1_signed.txt", file));
    const std::string text = factory_metadata("a35-bl1-1", "bl1-2.3.1");
    EXPECT_EQ(file, text.substr(0, text.size() - 1) + std::string(900 - text.size(), ' ') + "}");
}

TEST_F(SignedTest, MissingKeyFile) {
    fwkeys_guard keys;
    REQUIRE_KEY_DIR(keys);
    keys.remove("prod_key-pub.pem");
    start_card();
    EXPECT_EQ(rfc_image_signature_verify(FLASH_PARTITION_FW_A, bdf_), 51);
    EXPECT_EQ(texts(TRACE_LEVEL_ERROR),
              std::vector<std::string>{"Failed to open file /etc/orv/korvex/larch/fwkeys/prod_key-pub.pem"});
    EXPECT_TRUE(verify_request().empty());
}

TEST_F(SignedTest, KeyFileSizesAndTheRequestLength) {
    fwkeys_guard keys;
    REQUIRE_KEY_DIR(keys);
    struct size_case_s {
        size_t size;
    };
    for (const auto &c : {size_case_s{451}, {936}, {0}}) {
        SCOPED_TRACE(c.size);
        TearDown();
        SetUp();
        const std::string key(c.size, 'k');
        ASSERT_TRUE(keys.put("prod_key-pub.pem", key));
        start_card();
        // Not a key the card can use: it refuses it with a status word and
        // its 72-byte answer.
        EXPECT_EQ(rfc_image_signature_verify(FLASH_PARTITION_FW_A, bdf_), 72);
        const auto req = verify_request();
        ASSERT_EQ(req.size(), c.size + 80);
        EXPECT_EQ(req, concat({le32(3), le32(6), le32(static_cast<uint32_t>(c.size)), bytes_of(key),
                               std::vector<uint8_t>(68, 0)}));
    }
}

TEST_F(SignedTest, KeyFileTooLargeForTheRequestIsRefused) {
    fwkeys_guard keys;
    REQUIRE_KEY_DIR(keys);
    ASSERT_TRUE(keys.put("prod_key-pub.pem", std::string(937, 'k')));
    start_card();
    EXPECT_EQ(rfc_image_signature_verify(FLASH_PARTITION_FW_A, bdf_), 51);
    EXPECT_EQ(texts(TRACE_LEVEL_ERROR),
              std::vector<std::string>{"key file /etc/orv/korvex/larch/fwkeys/prod_key-pub.pem too large, 937 bytes, "
                                       "at most 936 fit the request"});
    EXPECT_TRUE(verify_request().empty());
}

TEST_F(SignedTest, VerificationWithoutCard) {
    no_card();
    EXPECT_EQ(rfc_image_signature_verify(FLASH_PARTITION_FW_A, bdf_), 255);
}

}  // namespace

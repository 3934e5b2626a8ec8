// SPDX-License-Identifier: Apache-2.0
// Signed metadata of the secure partitions, and the card's check of an
// image's manifest signature with the public key the metadata names.
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

// Quiets the JSON reader's note about boost::bind placeholders.
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "rfc_internal.h"
#include "rfc_reads.h"
#include "fu_vocabulary.h"

namespace {

constexpr const char *k_key_dir = FU_KEY_DIR;

// Opens the card, checks the partition and fetches its signed metadata into
// rsp. Returns 0 with the exchange's result in ret, or the operation's result.
int fetch_signed_data(flash_partition_e partition, const char *bdf, fwupdate_signed_data_rsp_s &rsp, ssize_t &ret) {
    if (rfc_device_open(bdf) != 0) {
        return RFC_EFAIL;
    }
    if (!rfc_partition_is_signed(partition)) {
        RFC_ERR("[%s] read signed meta data not supported for %u", static_cast<unsigned>(partition));
        return RFC_EINVAL;
    }
    const uint32_t request = partition;
    const rfc_exchange_s x = rfc_exchange<FWUPDATE_MSG_GET_SIGNED_DATA>(request, rsp);
    ret = x.ret;
    if (!x.answered()) {
        RFC_ERR("[%s] failed to read signed data for %s, ipc err %u, ipc ret %d", rfc_partition_name(partition),
                static_cast<unsigned>(x.rsp_err), static_cast<int>(x.ret));
        return rfc_failed_result(x.ret);
    }
    return RFC_OK;
}

}  // namespace

bool rfc_partition_is_signed(flash_partition_e partition) {
    switch (partition) {
        case FLASH_PARTITION_A35_BL1_0:
        case FLASH_PARTITION_A35_BL1_1:
        case FLASH_PARTITION_A35_GOLDFIP:
        case FLASH_PARTITION_FW_A:
        case FLASH_PARTITION_FW_B:
        case FLASH_PARTITION_BASTIONFW_0:
        case FLASH_PARTITION_BASTIONFW_1:
            return true;
        default:
            return false;
    }
}

bool rfc_metadata_key_name(const std::string &text, std::string *key_name, std::string *error) {
    boost::property_tree::ptree tree;
    try {
        std::istringstream in(text);
        boost::property_tree::read_json(in, tree);
    } catch (const boost::property_tree::ptree_error &e) {
        if (error != nullptr) {
            *error = e.what();
        }
        return false;
    }
    const auto member = tree.find("key_name");
    if (member == tree.not_found()) {
        if (error != nullptr) {
            *error = "no key_name";
        }
        return false;
    }
    if (key_name != nullptr) {
        *key_name = member->second.data();
    }
    return true;
}

int rfc_read_signed_metadata(flash_partition_e partition, const char *bdf, std::string *text) {
    fwupdate_signed_data_rsp_s rsp{};
    ssize_t ret = 0;
    const int result = fetch_signed_data(partition, bdf, rsp, ret);
    if (result == RFC_OK && text != nullptr) {
        // The card's length is trusted only as far as the metadata area reaches.
        text->assign(rsp.data, rfc_bounded_len(rsp.data_len, sizeof(rsp.data)));
    }
    return result;
}

int rfc_partition_signed_metadata(flash_partition_e partition, const char *bdf) {
    std::string text;
    const int result = rfc_read_signed_metadata(partition, bdf, &text);
    if (result != RFC_OK) {
        return result;
    }
    rfc_output_s out;
    if (!rfc_output_open(out, rfc_partition_name(partition), "_signed.txt")) {
        return RFC_EFILE;
    }
    rfc_output_write(out, text.data(), text.size());
    return rfc_output_close(out);
}

int rfc_image_signature_verify(flash_partition_e partition, const char *bdf) {
    const char *name = rfc_partition_name(partition);
    fwupdate_signed_data_rsp_s rsp{};
    ssize_t metadata_ret = 0;
    const int result = fetch_signed_data(partition, bdf, rsp, metadata_ret);
    if (result != RFC_OK) {
        return result;
    }

    // The key is named by the text up to its terminator, whatever length the
    // card states.
    std::string key_name;
    std::string error;
    if (!rfc_metadata_key_name(rfc_field_text(rsp.data, sizeof(rsp.data)), &key_name, &error)) {
        RFC_ERR("[%s] invalid signed meta data for %s: %s", name, error.c_str());
        return RFC_EFAIL;
    }
    if (key_name != "eng" && key_name != "prod") {
        RFC_ERR("[%s] invalid key name %s", key_name.c_str());
        return static_cast<int>(metadata_ret);
    }

    char key_path[RFC_FILE_PATH_LEN] = {};
    snprintf(key_path, sizeof(key_path), "%s/%s_key-pub.pem", k_key_dir, key_name.c_str());
    rfc_file_ptr key_file(fopen(key_path, "re"));
    uint64_t key_size = 0;
    if (!key_file || !rfc_file_size(key_file.get(), &key_size)) {
        RFC_ERR("[%s] Failed to open file %s", key_path);
        return RFC_EFILE;
    }
    // The key travels inside one request of at most 1016 bytes.
    if (key_size > FWUPDATE_VERIFY_SIGNATURE_MAX_KEY) {
        RFC_ERR("[%s] key file %s too large, %llu bytes, at most %u fit the request", key_path,
                static_cast<unsigned long long>(key_size), static_cast<unsigned>(FWUPDATE_VERIFY_SIGNATURE_MAX_KEY));
        return RFC_EFILE;
    }

    uint8_t buf[FWUPDATE_VERIFY_SIGNATURE_BUF_LEN] = {};
    const size_t key_len =
        fread(buf + sizeof(fwupdate_verify_signature_req_s), 1, static_cast<size_t>(key_size), key_file.get());
    key_file.reset();
    fwupdate_verify_signature_req_s req{};
    req.op = FWUPDATE_VERIFY_SIGNATURE_OP;
    req.partition = partition;
    req.key_len = static_cast<uint32_t>(key_len);
    memcpy(buf, &req, sizeof(req));

    uint8_t answer[FWUPDATE_VERIFY_SIGNATURE_RSP_LEN];
    const rfc_exchange_s x = rfc_exchange_raw(FWUPDATE_MSG_VERIFY_SIGNATURE, buf,
                                              key_len + FWUPDATE_VERIFY_SIGNATURE_OVERHEAD, answer, sizeof(answer));
    if (!x.answered()) {
        RFC_ERR("[%s] manifest signature verification failed for %s, ipc err %u, ipc ret %d", name,
                static_cast<unsigned>(x.rsp_err), static_cast<int>(x.ret));
        return rfc_failed_result(x.ret);
    }
    RFC_INFO("[%s] manifest signature verification success for %s", name);
    return RFC_OK;
}

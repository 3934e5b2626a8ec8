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

namespace {

constexpr const char *k_key_dir = "/etc/orv/korvex/larch/fwkeys";

bool has_signed_metadata(flash_partition_e partition) {
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

// Opens the card, checks the partition and fetches its signed metadata into
// rsp. Returns 0 with the exchange's result in ret, or the operation's result.
int fetch_signed_data(flash_partition_e partition, const char *bdf, const char *name, fwupdate_signed_data_rsp_s &rsp,
                      ssize_t &ret) {
    if (rfc_device_open(bdf) != 0) {
        return RFC_EFAIL;
    }
    if (!has_signed_metadata(partition)) {
        RFC_ERR("[%s] read signed meta data not supported for %u", static_cast<unsigned>(partition));
        return RFC_EINVAL;
    }
    rsp = fwupdate_signed_data_rsp_s{};
    const uint32_t request = partition;
    memcpy(&rsp, &request, sizeof(request));
    uint32_t rsp_err = 0;
    ret = nic_ipc_req_rsp(&g_rfc_handle, IPC_EP_FWUPDATE, FWUPDATE_MSG_GET_SIGNED_DATA, &rsp, sizeof(request),
                          sizeof(rsp), &rsp_err);
    if (ret < 1 || rsp_err != 0) {
        RFC_ERR("[%s] failed to read signed data for %s, ipc err %u, ipc ret %d", name, static_cast<unsigned>(rsp_err),
                static_cast<int>(ret));
        return rfc_failed_result(ret);
    }
    return RFC_OK;
}

// The key name of the metadata's JSON object; false (after an error
// message) when the text does not parse or names no key.
bool metadata_key_name(const std::string &text, const char *name, std::string &key_name) {
    boost::property_tree::ptree tree;
    try {
        std::istringstream in(text);
        boost::property_tree::read_json(in, tree);
    } catch (const boost::property_tree::ptree_error &e) {
        RFC_ERR("[%s] invalid signed meta data for %s: %s", name, e.what());
        return false;
    }
    const auto member = tree.find("key_name");
    if (member == tree.not_found()) {
        RFC_ERR("[%s] invalid signed meta data for %s: no key_name", name);
        return false;
    }
    key_name = member->second.data();
    return true;
}

}  // namespace

int rfc_partition_signed_metadata(flash_partition_e partition, const char *bdf) {
    const char *name = rfc_partition_name(partition);
    fwupdate_signed_data_rsp_s rsp{};
    ssize_t ret = 0;
    const int result = fetch_signed_data(partition, bdf, name, rsp, ret);
    if (result != RFC_OK) {
        return result;
    }

    const std::string path = rfc_output_path(name, "_signed.txt");
    FILE *file = rfc_open_output(path.c_str());
    if (file == nullptr) {
        RFC_ERR("[%s] Failed to open file %s", path.c_str());
        return RFC_EFILE;
    }
    // The card's length is trusted only as far as the metadata area reaches.
    const size_t len = rfc_bounded_len(rsp.data_len, sizeof(rsp.data));
    if (len > 0) {
        fwrite(rsp.data, 1, len, file);
    }
    fclose(file);
    return RFC_OK;
}

int rfc_image_signature_verify(flash_partition_e partition, const char *bdf) {
    const char *name = rfc_partition_name(partition);
    fwupdate_signed_data_rsp_s rsp{};
    ssize_t metadata_ret = 0;
    const int result = fetch_signed_data(partition, bdf, name, rsp, metadata_ret);
    if (result != RFC_OK) {
        return result;
    }

    std::string key_name;
    if (!metadata_key_name(rfc_field_text(rsp.data, sizeof(rsp.data)), name, key_name)) {
        return RFC_EFAIL;
    }
    if (key_name != "eng" && key_name != "prod") {
        RFC_ERR("[%s] invalid key name %s", key_name.c_str());
        return static_cast<int>(metadata_ret);
    }

    char key_path[RFC_FILE_PATH_LEN] = {};
    snprintf(key_path, sizeof(key_path), "%s/%s_key-pub.pem", k_key_dir, key_name.c_str());
    FILE *key_file = fopen(key_path, "r");
    if (key_file == nullptr) {
        RFC_ERR("[%s] Failed to open file %s", key_path);
        return RFC_EFILE;
    }
    uint64_t key_size = 0;
    if (!rfc_file_size(key_file, &key_size)) {
        RFC_ERR("[%s] Failed to open file %s", key_path);
        fclose(key_file);
        return RFC_EFILE;
    }
    // The key travels inside one request of at most 1016 bytes.
    if (key_size > FWUPDATE_VERIFY_SIGNATURE_MAX_KEY) {
        RFC_ERR("[%s] key file %s too large, %llu bytes, at most %u fit the request", key_path,
                static_cast<unsigned long long>(key_size), static_cast<unsigned>(FWUPDATE_VERIFY_SIGNATURE_MAX_KEY));
        fclose(key_file);
        return RFC_EFILE;
    }

    uint8_t buf[FWUPDATE_VERIFY_SIGNATURE_BUF_LEN] = {};
    const size_t key_len =
        fread(buf + sizeof(fwupdate_verify_signature_req_s), 1, static_cast<size_t>(key_size), key_file);
    fclose(key_file);
    fwupdate_verify_signature_req_s req{};
    req.op = FWUPDATE_VERIFY_SIGNATURE_OP;
    req.partition = partition;
    req.key_len = static_cast<uint32_t>(key_len);
    memcpy(buf, &req, sizeof(req));

    uint32_t rsp_err = 0;
    const ssize_t ret =
        nic_ipc_req_rsp(&g_rfc_handle, IPC_EP_FWUPDATE, FWUPDATE_MSG_VERIFY_SIGNATURE, buf,
                        key_len + FWUPDATE_VERIFY_SIGNATURE_OVERHEAD, FWUPDATE_VERIFY_SIGNATURE_RSP_LEN, &rsp_err);
    if (ret < 1 || rsp_err != 0) {
        RFC_ERR("[%s] manifest signature verification failed for %s, ipc err %u, ipc ret %d", name,
                static_cast<unsigned>(rsp_err), static_cast<int>(ret));
        return rfc_failed_result(ret);
    }
    RFC_INFO("[%s] manifest signature verification success for %s", name);
    return RFC_OK;
}

// SPDX-License-Identifier: Apache-2.0
// Flash content checks without reading the flash back: the card computes a
// SHA-512 digest and the host compares it, either with a digest the user
// supplies or with the hash line of the card's own description of its
// startup image.
#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "rfc_internal.h"
#include "rfc_reads.h"

namespace {

constexpr unsigned k_verify_poll_seconds = 2;
constexpr size_t k_grep_cmd_len = 96;
constexpr size_t k_grep_line_len = 256;

static_assert(RFC_SHA512_LEN == FWUPDATE_SHA512_LEN);

// The startup-image exchange, polled while the card is still verifying; the
// last exchange is left in x for the caller's report.
int read_startup_image(flash_partition_e partition, const bool *timeout, fwupdate_startup_verify_rsp_s &rsp,
                       rfc_exchange_s &x) {
    const uint32_t image_id = partition;
    for (rfc_poll_s poll;;) {
        if (timeout != nullptr && *timeout) {
            rfc_progress_end();
            RFC_ERR("[%s] Verify operation aborted due to timeout");
            return RFC_ETIMEOUT;
        }
        x = rfc_exchange<FWUPDATE_MSG_VERIFY_STARTUP_IMAGE>(image_id, rsp);
        if (!x.answered()) {
            rfc_progress_end();
            RFC_ERR("[%s] Verify startup image failed err %u\n", x.rsp_err);
            return RFC_EFAIL;
        }
        if (rsp.status == FWUPDATE_STATUS_VERIFY_IN_PROGRESS) {
            rfc_poll_wait("verify startup image", k_verify_poll_seconds, poll);
            continue;
        }
        rfc_progress_end();
        if (rsp.status == FWUPDATE_STATUS_FAILED) {
            RFC_ERR("[%s] verify checksum failed");
            return RFC_EFAIL;
        }
        return RFC_OK;
    }
}

void fill_startup_image(const fwupdate_startup_verify_rsp_s &rsp, rfc_startup_image_s *image) {
    memcpy(image->digest, rsp.digest, sizeof(image->digest));
    // The card's length is trusted only as far as its text area reaches.
    image->text.assign(rsp.text, rfc_bounded_len(rsp.text_len, sizeof(rsp.text)));
}

// The last line grep prints for "hash" in the startup text file, as far as
// it fits the line buffer.
bool grep_hash_line(const char *name, char (&line)[k_grep_line_len]) {
    char cmd[k_grep_cmd_len];
    const int n = snprintf(cmd, sizeof(cmd), "grep hash %s%s.txt", g_rfc_prefix, name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(cmd)) {
        // A cut command would search some other file.
        RFC_ERR("[%s] grep command too long for %s%s.txt", g_rfc_prefix, name);
        return false;
    }
    FILE *pipe = popen(cmd, "re");
    if (pipe == nullptr) {
        RFC_ERR("[%s] popen failed for path %s", cmd);
        return false;
    }
    while (fgets(line, sizeof(line), pipe) != nullptr) {
    }
    pclose(pipe);
    return true;
}

}  // namespace

std::string rfc_digest_hex(const uint8_t (&digest)[RFC_SHA512_LEN]) {
    static constexpr char k_hex[] = "0123456789ABCDEF";
    std::string text(2 * RFC_SHA512_LEN, '0');
    for (size_t i = 0; i < RFC_SHA512_LEN; ++i) {
        text[2 * i] = k_hex[digest[i] >> 4];
        text[2 * i + 1] = k_hex[digest[i] & 0x0f];
    }
    return text;
}

int rfc_read_checksum(flash_partition_e partition, uint64_t size, const char *bdf, const bool &timeout,
                      uint8_t (&digest)[RFC_SHA512_LEN]) {
    if (rfc_device_open(bdf) != 0) {
        return RFC_EFAIL;
    }
    RFC_DBG("[%s] Sending IPC to get checksum, image id %u", static_cast<unsigned>(partition));
    if (timeout) {
        RFC_ERR("[%s] Verify operation aborted due to timeout");
        return RFC_ETIMEOUT;
    }

    fwupdate_checksum_req_s req{};
    req.image_id = partition;
    req.size = size;
    for (rfc_poll_s poll;;) {
        fwupdate_checksum_rsp_s rsp{};
        const rfc_exchange_s x = rfc_exchange<FWUPDATE_MSG_GET_CHECKSUM>(req, rsp);
        if (!x.answered()) {
            rfc_progress_end();
            RFC_ERR("[%s] failed to get checksum, ipc err %u, ipc ret %d", x.rsp_err, static_cast<int>(x.ret));
            return RFC_EFAIL;
        }
        if (rsp.status == FWUPDATE_STATUS_VERIFY_IN_PROGRESS) {
            rfc_poll_wait("verify checksum", k_verify_poll_seconds, poll);
            if (timeout) {
                rfc_progress_end();
                RFC_ERR("[%s] Verify operation aborted due to timeout");
                return RFC_ETIMEOUT;
            }
            continue;
        }
        rfc_progress_end();
        if (rsp.status == FWUPDATE_STATUS_FAILED) {
            RFC_ERR("[%s] verify checksum failed");
            return RFC_EFAIL;
        }
        memcpy(digest, rsp.digest, sizeof(digest));
        return RFC_OK;
    }
}

int rfc_verify_checksum(flash_partition_e partition, const char *image_path, const char *hash, const char *bdf,
                        const bool &timeout) {
    if (partition == FLASH_PARTITION_ALL) {
        RFC_ERR("[%s] flash partition is not valid");
        return RFC_EFAIL;
    }

    // Only the image's size travels: the card digests that many bytes of the
    // partition.
    uint64_t size = 0;
    {
        rfc_file_ptr image;
        const int opened = rfc_image_open(image_path, &image, &size);
        if (opened == RFC_EFILE) {
            RFC_ERR("[%s] Failed to open file %s", image_path);
            return RFC_EFAIL;
        }
        if (opened != RFC_OK) {
            RFC_ERR("[%s] invalid size");
            return RFC_EFAIL;
        }
    }

    uint8_t digest[RFC_SHA512_LEN] = {};
    const int ret = rfc_read_checksum(partition, size, bdf, timeout, digest);
    if (ret != RFC_OK) {
        return ret;
    }
    const std::string text = rfc_digest_hex(digest);
    RFC_DBG("[%s] sha512 %s", text.c_str());
    if (hash != nullptr && strcasecmp(text.c_str(), hash) == 0) {
        RFC_INFO("[%s] Verify checksum succeeded");
        return RFC_OK;
    }
    RFC_INFO("[%s] Verify checksum failed");
    return RFC_EFAIL;
}

int rfc_read_startup_image(flash_partition_e partition, const char *bdf, const bool *timeout,
                           rfc_startup_image_s *image) {
    if (rfc_device_open(bdf) != 0) {
        return RFC_EFAIL;
    }
    RFC_DBG("[%s] Sending IPC for verify startup image, image id %u", static_cast<unsigned>(partition));
    fwupdate_startup_verify_rsp_s rsp{};
    rfc_exchange_s x;
    const int ret = read_startup_image(partition, timeout, rsp, x);
    if (ret == RFC_OK && image != nullptr) {
        fill_startup_image(rsp, image);
    }
    return ret;
}

bool rfc_startup_image_matches(const rfc_startup_image_s &image) {
    const std::string digest = rfc_digest_hex(image.digest);
    size_t start = 0;
    while (start < image.text.size()) {
        size_t end = image.text.find('\n', start);
        if (end == std::string::npos) {
            end = image.text.size();
        }
        const std::string line = image.text.substr(start, end - start);
        if (line.find("hash") != std::string::npos && strcasestr(line.c_str(), digest.c_str()) != nullptr) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

int rfc_validate_startup_image(flash_partition_e partition, const char *bdf) {
    const char *name = rfc_partition_name(partition);
    rfc_exchange_s x;
    // Before any exchange the report shows the general failure as the result.
    x.ret = RFC_EFAIL;
    const int failed = [&]() {
        if (rfc_device_open(bdf) != 0) {
            return RFC_EFAIL;
        }
        RFC_DBG("[%s] Sending IPC for verify startup image, image id %u", static_cast<unsigned>(partition));
        RFC_INFO("[%s] Verify startup image in progress...");
        fwupdate_startup_verify_rsp_s rsp{};
        if (read_startup_image(partition, nullptr, rsp, x) != RFC_OK) {
            return RFC_EFAIL;
        }
        rfc_startup_image_s image;
        fill_startup_image(rsp, &image);

        rfc_output_s out;
        if (!rfc_output_open(out, name)) {
            return RFC_EFAIL;
        }
        rfc_output_write(out, image.text.data(), image.text.size());
        if (rfc_output_close(out) != RFC_OK) {
            return RFC_EFAIL;
        }

        char line[k_grep_line_len] = {};
        if (!grep_hash_line(name, line)) {
            return RFC_EFAIL;
        }
        const std::string digest = rfc_digest_hex(image.digest);
        RFC_DBG("[%s] sha512      %s", digest.c_str());
        RFC_DBG("[%s] hash_buffer %s", line);
        if (strcasestr(line, digest.c_str()) != nullptr) {
            return RFC_OK;
        }
        RFC_ERR("[%s] Hash value does not match for %s\n", name);
        return RFC_EFAIL;
    }();
    if (failed == RFC_OK) {
        return RFC_OK;
    }
    RFC_ERR("[%s] failed to verify startup image for %s, ipc err %u, ipc ret %d", name, x.rsp_err,
            static_cast<int>(x.ret));
    return RFC_EFAIL;
}

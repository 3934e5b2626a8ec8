// Flash content checks without reading the flash back: the card computes a
// SHA-512 digest and the host compares it, either with a digest the user
// supplies or with the hash line of the card's own description of its
// startup image.
#include <strings.h>

#include <cstdio>
#include <cstring>

#include "rfc_internal.h"
#include "rfc_progress.h"

namespace {

constexpr unsigned k_verify_poll_seconds = 2;
constexpr size_t k_digest_text_len = FWUPDATE_SHA512_LEN * 2;
constexpr size_t k_grep_cmd_len = 96;
constexpr size_t k_grep_line_len = 256;

// The digest as the card's tools print it: 128 upper-case hex digits.
void digest_text(const uint8_t (&digest)[FWUPDATE_SHA512_LEN], char (&text)[k_digest_text_len + 1]) {
    static constexpr char k_hex[] = "0123456789ABCDEF";
    for (size_t i = 0; i < FWUPDATE_SHA512_LEN; ++i) {
        text[2 * i] = k_hex[digest[i] >> 4];
        text[2 * i + 1] = k_hex[digest[i] & 0x0f];
    }
    text[k_digest_text_len] = '\0';
}

}  // namespace

int rfc_verify_checksum(flash_partition_e partition, const char *image_path, const char *hash, const char *bdf,
                        const bool &timeout) {
    fwupdate_checksum_req_s req{};
    req.image_id = partition;
    if (partition == FLASH_PARTITION_ALL) {
        RFC_ERR("[%s] flash partition is not valid");
        return RFC_EFAIL;
    }

    // Only the image's size travels: the card digests that many bytes of the
    // partition.
    FILE *fp = fopen(image_path, "rb");
    if (fp == nullptr) {
        RFC_ERR("[%s] Failed to open file %s", image_path);
        return RFC_EFAIL;
    }
    uint64_t size = 0;
    const bool sized = rfc_file_size(fp, &size);
    fclose(fp);
    if (!sized) {
        RFC_ERR("[%s] invalid size");
        return RFC_EFAIL;
    }
    req.size = size;

    if (rfc_device_open(bdf) != 0) {
        return RFC_EFAIL;
    }
    RFC_DBG("[%s] Sending IPC to get checksum, image id %u", static_cast<unsigned>(partition));
    if (timeout) {
        RFC_ERR("[%s] Verify operation aborted due to timeout");
        return RFC_ETIMEOUT;
    }

    uint8_t buf[sizeof(fwupdate_checksum_rsp_s)];
    static_assert(sizeof(buf) >= sizeof(fwupdate_checksum_req_s));
    fwupdate_checksum_rsp_s rsp{};
    unsigned waited_s = 0;
    for (;;) {
        memset(buf, 0, sizeof(buf));
        memcpy(buf, &req, sizeof(req));
        uint32_t rsp_err = 0;
        const ssize_t ret = nic_ipc_req_rsp(&g_rfc_handle, IPC_EP_FWUPDATE, FWUPDATE_MSG_GET_CHECKSUM, buf, sizeof(req),
                                            sizeof(buf), &rsp_err);
        if (ret <= 0 || rsp_err != 0) {
            rfc_progress_end();
            RFC_ERR("[%s] failed to get checksum, ipc err %u, ipc ret %d", rsp_err, static_cast<int>(ret));
            return RFC_EFAIL;
        }
        memcpy(&rsp, buf, sizeof(rsp));
        if (rsp.status == FWUPDATE_STATUS_VERIFY_IN_PROGRESS) {
            rfc_progress_poll("verify checksum", waited_s);
            rfc_sleep(k_verify_poll_seconds);
            waited_s += k_verify_poll_seconds;
            rfc_progress_poll("verify checksum", waited_s);
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
        break;
    }

    char digest[k_digest_text_len + 1];
    digest_text(rsp.digest, digest);
    RFC_DBG("[%s] sha512 %s", digest);
    if (hash != nullptr && strcasecmp(digest, hash) == 0) {
        RFC_INFO("[%s] Verify checksum succeeded");
        return RFC_OK;
    }
    RFC_INFO("[%s] Verify checksum failed");
    return RFC_EFAIL;
}

int rfc_validate_startup_image(flash_partition_e partition, const char *bdf) {
    const char *name = rfc_partition_name(partition);
    uint8_t buf[sizeof(fwupdate_startup_verify_rsp_s)];
    fwupdate_startup_verify_rsp_s rsp{};
    char line[k_grep_line_len] = {};
    uint32_t rsp_err = 0;
    ssize_t ret = RFC_EFAIL;

    if (rfc_device_open(bdf) != 0) {
        goto report;
    }
    RFC_DBG("[%s] Sending IPC for verify startup image, image id %u", static_cast<unsigned>(partition));
    RFC_INFO("[%s] Verify startup image in progress...");

    for (unsigned waited_s = 0;;) {
        const uint32_t image_id = partition;
        memset(buf, 0, sizeof(buf));
        memcpy(buf, &image_id, sizeof(image_id));
        rsp_err = 0;
        ret = nic_ipc_req_rsp(&g_rfc_handle, IPC_EP_FWUPDATE, FWUPDATE_MSG_VERIFY_STARTUP_IMAGE, buf, sizeof(image_id),
                              sizeof(buf), &rsp_err);
        if (ret <= 0 || rsp_err != 0) {
            rfc_progress_end();
            RFC_ERR("[%s] Verify startup image failed err %u\n", rsp_err);
            goto report;
        }
        memcpy(&rsp, buf, sizeof(rsp));
        if (rsp.status == FWUPDATE_STATUS_VERIFY_IN_PROGRESS) {
            rfc_progress_poll("verify startup image", waited_s);
            rfc_sleep(k_verify_poll_seconds);
            waited_s += k_verify_poll_seconds;
            rfc_progress_poll("verify startup image", waited_s);
            continue;
        }
        rfc_progress_end();
        if (rsp.status == FWUPDATE_STATUS_FAILED) {
            RFC_ERR("[%s] verify checksum failed");
            goto report;
        }
        break;
    }

    {
        const std::string path = rfc_output_path(name);
        FILE *fp = rfc_open_output(path.c_str());
        if (fp == nullptr) {
            RFC_ERR("[%s] Failed to open file %s", path.c_str());
            goto report;
        }
        // The card's length is trusted only as far as its text area reaches.
        const size_t text_len = rfc_bounded_len(rsp.text_len, sizeof(rsp.text));
        fwrite(rsp.text, 1, text_len, fp);
        fclose(fp);
    }

    {
        char cmd[k_grep_cmd_len];
        const int n = snprintf(cmd, sizeof(cmd), "grep hash %s%s.txt", g_rfc_prefix, name);
        if (n < 0 || static_cast<size_t>(n) >= sizeof(cmd)) {
            // A cut command would search some other file.
            RFC_ERR("[%s] grep command too long for %s%s.txt", g_rfc_prefix, name);
            goto report;
        }
        FILE *pipe = popen(cmd, "r");
        if (pipe == nullptr) {
            RFC_ERR("[%s] popen failed for path %s", cmd);
            goto report;
        }
        while (fgets(line, sizeof(line), pipe) != nullptr) {
        }
        pclose(pipe);
    }

    {
        char digest[k_digest_text_len + 1];
        digest_text(rsp.digest, digest);
        RFC_DBG("[%s] sha512      %s", digest);
        RFC_DBG("[%s] hash_buffer %s", line);
        if (strcasestr(line, digest) != nullptr) {
            return RFC_OK;
        }
        RFC_ERR("[%s] Hash value does not match for %s\n", name);
    }

report:
    RFC_ERR("[%s] failed to verify startup image for %s, ipc err %u, ipc ret %d", name, rsp_err, static_cast<int>(ret));
    return RFC_EFAIL;
}

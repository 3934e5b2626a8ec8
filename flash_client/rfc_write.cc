// SPDX-License-Identifier: Apache-2.0
// Image install: the file is streamed to the card in chunks of at most 960
// bytes, each acknowledged with the offset of the next chunk. The CPLD
// partitions are streamed a second time with the verify flag set, so that the
// card compares its flash with the image.
#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "rfc_internal.h"

namespace {

bool is_cpld_group(uint32_t partition) {
    return rfc_partition_is_cpld_group(partition);
}

constexpr uint64_t k_cpld_row = RFC_CPLD_ROW;

constexpr size_t k_stream_buf_size = 64 * 1024;

// Where the chunks come from: a stream read in order (an image named by its
// path), or an open descriptor read by position from offset 0, so that the
// caller's descriptor keeps its own offset and a second pass starts over.
struct image_source_s {
    FILE *fp = nullptr;
    int fd = -1;
    uint64_t pos = 0;

    bool read(uint8_t *dst, size_t len) {
        if (fp != nullptr) return fread(dst, 1, len, fp) == len;
        size_t got = 0;
        while (got < len) {
            const ssize_t n = pread(fd, dst + got, len - got, static_cast<off_t>(pos + got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            got += static_cast<size_t>(n);
        }
        pos += got;
        return true;
    }
};

// Streams size bytes of the source to the card, the card's answer to each
// chunk naming the offset of the next.
int send_image(uint32_t partition, image_source_s &src, uint64_t size, int verify, const bool *timeout) {
    if (is_cpld_group(partition) && size % k_cpld_row != 0) {
        RFC_ERR("[%s] CPLD file size should be multiple of 16");
        return RFC_EINVAL;
    }

    uint64_t chunks = (size + FLASH_WRITE_CHUNK_SIZE - 1) / FLASH_WRITE_CHUNK_SIZE;
    RFC_DBG("[%s] sending ipc for flash write (%lu chunks), image id %u", static_cast<unsigned long>(chunks),
            partition);
    if (verify != 0) {
        RFC_INFO("[%s] Verify flash in progress...");
    } else {
        RFC_INFO("[%s] Write flash in progress...");
    }
    rfc_progress_begin(verify != 0 ? "verify" : "write", size);

    uint8_t buf[FLASH_WRITE_BUF_SIZE];
    static_assert(sizeof(fwupdate_write_req_s) + FLASH_WRITE_CHUNK_SIZE + 6 <= FLASH_WRITE_BUF_SIZE);
    static_assert(FLASH_WRITE_BUF_SIZE <= FWUPDATE_MAX_MSG_LEN);

    uint64_t offset = 0;
    uint64_t sent = 0;
    while (chunks > 0) {
        if (timeout != nullptr && *timeout) {
            rfc_progress_end();
            RFC_ERR("[%s] Write operation aborted due to timeout");
            return RFC_ETIMEOUT;
        }
        memset(buf, 0, sizeof(buf));
        const uint64_t remaining = size - sent;
        const size_t length =
            remaining < FLASH_WRITE_CHUNK_SIZE ? static_cast<size_t>(remaining) : FLASH_WRITE_CHUNK_SIZE;
        fwupdate_write_req_s hdr{};
        hdr.image_id = partition;
        hdr.offset = offset;
        hdr.length = length;
        hdr.last = (offset + length == size) ? 1 : 0;
        hdr.verify = static_cast<uint8_t>(verify);
        memcpy(buf, &hdr, sizeof(hdr));

        // A file that shrank while it was being sent would otherwise leave
        // zeros in the card's copy.
        if (!src.read(buf + sizeof(hdr), length)) {
            rfc_progress_end();
            RFC_ERR("[%s] failed to read data");
            return RFC_EFAIL;
        }

        fwupdate_write_rsp_s rsp{};
        const rfc_exchange_s x =
            rfc_exchange_raw(FWUPDATE_MSG_FLASH_WRITE, buf, length + FWUPDATE_WRITE_REQ_OVERHEAD, &rsp, sizeof(rsp));
        // The answer is exactly the next offset.
        if (!x.answered(sizeof(fwupdate_write_rsp_s))) {
            rfc_progress_end();
            RFC_ERR("[%s] failed to write flash, image id %u, ipc err %u, ipc ret %d", partition, x.rsp_err,
                    static_cast<int>(x.ret));
            return RFC_EFAIL;
        }
        sent += length;
        --chunks;
        rfc_progress_update(sent);
        offset = rsp.next_offset;
    }
    rfc_progress_end();
    RFC_DBG("[%s] write flash completed");
    return RFC_OK;
}

// The install's passes: the write, and for the CPLD group the verify pass.
template <typename Pass>
int write_passes(flash_partition_e partition, Pass pass) {
    if (partition == FLASH_PARTITION_ALL) {
        RFC_ERR("[%s] flash partition is not valid");
        return -1;
    }
    int ret = pass(0);
    if (ret != 0) {
        RFC_ERR("[%s] failed in write flash ret %d", ret);
        return ret;
    }
    if (is_cpld_group(partition)) {
        ret = pass(1);
        if (ret != 0) {
            RFC_ERR("[%s] failed in write flash ret %d", ret);
            return ret;
        }
    }
    return RFC_OK;
}

}  // namespace

bool rfc_partition_is_cpld_group(uint32_t partition) {
    return partition >= FLASH_PARTITION_CPLD && partition <= FLASH_PARTITION_UFM2;
}

int rfc_flash_write_helper(uint32_t partition, const char *image_path, int verify, const char *bdf,
                           const bool *timeout) {
    // Chunks are small; a larger stream buffer spares a read per few chunks.
    // Declared before the file, so that it outlives the stream that uses it.
    // Without it the stream keeps its own buffer.
    std::unique_ptr<char[]> stream_buf(new (std::nothrow) char[k_stream_buf_size]);
    rfc_file_ptr fp;
    uint64_t size = 0;
    const int opened = rfc_image_open(image_path, &fp, &size);
    if (opened == RFC_EFILE) {
        RFC_ERR("[%s] Failed to open file %s", image_path);
        return RFC_EFILE;
    }
    if (rfc_device_open(bdf) != 0) {
        return RFC_EFAIL;
    }
    if (stream_buf && fp) {
        setvbuf(fp.get(), stream_buf.get(), _IOFBF, k_stream_buf_size);
    }

    // An empty image would install nothing and still report success; refuse
    // it like the other size checks do. So is what is not a file or a disk.
    if (opened != RFC_OK || size == 0) {
        RFC_ERR("[%s] invalid size");
        return RFC_EINVAL;
    }
    image_source_s src;
    src.fp = fp.get();
    return send_image(partition, src, size, verify, timeout);
}

int rfc_flash_write_fd(flash_partition_e partition, int image_fd, uint64_t size, const char *bdf, const bool &timeout) {
    return write_passes(partition, [&](int verify) {
        if (rfc_device_open(bdf) != 0) {
            return static_cast<int>(RFC_EFAIL);
        }
        if (image_fd < 0 || size == 0) {
            RFC_ERR("[%s] invalid size");
            return static_cast<int>(RFC_EINVAL);
        }
        image_source_s src;
        src.fd = image_fd;
        return send_image(partition, src, size, verify, &timeout);
    });
}

int rfc_flash_write(flash_partition_e partition, const char *image_path, const char *bdf, const bool &timeout) {
    return write_passes(
        partition, [&](int verify) { return rfc_flash_write_helper(partition, image_path, verify, bdf, &timeout); });
}

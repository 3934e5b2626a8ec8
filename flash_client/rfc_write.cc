// Image install: the file is streamed to the card in chunks of at most 960
// bytes, each acknowledged with the offset of the next chunk. The CPLD
// partitions are streamed a second time with the verify flag set, so that the
// card compares its flash with the image.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "rfc_internal.h"

namespace {

bool is_cpld_group(uint32_t partition) {
    return partition >= FLASH_PARTITION_CPLD && partition <= FLASH_PARTITION_UFM2;
}

// CPLD images are programmed in 16-byte rows.
constexpr uint64_t k_cpld_row = 16;

constexpr size_t k_stream_buf_size = 64 * 1024;

}  // namespace

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
        if (fread(buf + sizeof(hdr), 1, length, fp.get()) != length) {
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

int rfc_flash_write(flash_partition_e partition, const char *image_path, const char *bdf, const bool &timeout) {
    if (partition == FLASH_PARTITION_ALL) {
        RFC_ERR("[%s] flash partition is not valid");
        return -1;
    }
    int ret = rfc_flash_write_helper(partition, image_path, 0, bdf, &timeout);
    if (ret != 0) {
        RFC_ERR("[%s] failed in write flash ret %d", ret);
        return ret;
    }
    if (is_cpld_group(partition)) {
        ret = rfc_flash_write_helper(partition, image_path, 1, bdf, &timeout);
        if (ret != 0) {
            RFC_ERR("[%s] failed in write flash ret %d", ret);
            return ret;
        }
    }
    return RFC_OK;
}

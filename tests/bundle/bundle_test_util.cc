// SPDX-License-Identifier: Apache-2.0
#include "bundle_test_util.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <memory>

namespace bundle_test {

std::vector<image_s> images() {
    auto bytes = [](size_t size, unsigned seed) {
        const std::vector<uint8_t> b = test_support::image_bytes(size, seed);
        return std::string(b.begin(), b.end());
    };
    return {{"fw.bin", bytes(5u << 19, 1)}, {"dtb.bin", bytes(4096, 2)}, {"cpld.bin", bytes(48, 3)}};
}

keys_s::keys_s() {
    bundle_error_s error;
    if (!bundle_keygen(private_key, public_key, &fingerprint, &error)) return;
    mkdir(trust.c_str(), 0755);
    test_support::write_file(trust + "/release.pem", test_support::file_text(public_key));
}

bool write_tar(const std::string &path, const std::vector<entry_s> &entries, bool gzip) {
    std::unique_ptr<archive, decltype(&archive_write_free)> a(archive_write_new(), archive_write_free);
    archive_write_set_format_pax_restricted(a.get());
    if (gzip) archive_write_add_filter_gzip(a.get());
    if (archive_write_open_filename(a.get(), path.c_str()) != ARCHIVE_OK) return false;
    for (const entry_s &in : entries) {
        std::unique_ptr<archive_entry, decltype(&archive_entry_free)> e(archive_entry_new(), archive_entry_free);
        archive_entry_set_pathname(e.get(), in.name.c_str());
        archive_entry_set_filetype(e.get(), in.type != 0 ? in.type : AE_IFREG);
        archive_entry_set_perm(e.get(), 0644);
        if (in.type == AE_IFLNK) archive_entry_set_symlink(e.get(), in.link.c_str());
        if (in.hardlink) archive_entry_set_hardlink(e.get(), in.link.c_str());
        if (in.type == AE_IFCHR) archive_entry_set_rdev(e.get(), 0x0103);
        archive_entry_set_size(e.get(), in.type == 0 ? static_cast<la_int64_t>(in.bytes.size()) : 0);
        if (archive_write_header(a.get(), e.get()) != ARCHIVE_OK) return false;
        if (in.type == 0 && !in.bytes.empty() &&
            archive_write_data(a.get(), in.bytes.data(), in.bytes.size()) != static_cast<la_ssize_t>(in.bytes.size()))
            return false;
    }
    return archive_write_close(a.get()) == ARCHIVE_OK;
}

}  // namespace bundle_test

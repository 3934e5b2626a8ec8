// SPDX-License-Identifier: Apache-2.0
// What the bundle tests share: the manifest of the examples, its images, a
// key pair with its trust directory, and tar archives built entry by entry.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "bundle.h"
#include "test_support.h"

namespace bundle_test {

// The manifest of the examples, as an operator writes it: no sizes, no
// digests.
inline const char *const k_manifest =
    R"({"bundle_format": 1,
 "release": {"name": "larch-fw", "version": "2.15.0"},
 "compatible": {"boards": ["0x00010042"], "asics": ["larch"]},
 "requires": [{"id": "lc-not-rip", "field": "identity.life_cycle", "op": "ne", "value": "rip"},
              {"id": "layout-5", "field": "identity.ipc_version", "op": "ge", "value": 5}],
 "components": [{"file": "fw.bin", "target": ["fw-a", "fw-b"], "version": "2.15.0-E-3"},
                {"file": "dtb.bin", "target": ["dtb", "dtb-b"]},
                {"file": "cpld.bin", "target": "cpld"}]})";

// The images: fw.bin spans blocks (2.5 MiB), the others are small.
struct image_s {
    const char *file;
    std::string bytes;
};
std::vector<image_s> images();

// A directory of keys: a pair made by bundle_keygen, and trust.d holding
// its public half.
struct keys_s {
    test_support::temp_dir dir{"fu-bundle-keys"};
    std::string private_key = dir / "release.key";
    std::string public_key = dir / "release.pem";
    std::string trust = dir / "trust.d";
    std::string fingerprint;
    keys_s();
};

// A tar entry: a regular file unless type says otherwise (AE_IFLNK with
// link as target, AE_IFCHR, AE_IFIFO, AE_IFDIR; hardlink for a hard link).
struct entry_s {
    std::string name;
    std::string bytes;
    unsigned type;  // 0: regular
    std::string link;
    bool hardlink;
    entry_s(std::string name_, std::string bytes_ = "", unsigned type_ = 0, std::string link_ = "",
            bool hardlink_ = false)
        : name(std::move(name_)), bytes(std::move(bytes_)), type(type_), link(std::move(link_)), hardlink(hardlink_) {}
};
// Writes the entries as a tar (gzip-compressed when gzip); false on failure.
bool write_tar(const std::string &path, const std::vector<entry_s> &entries, bool gzip = false);

}  // namespace bundle_test

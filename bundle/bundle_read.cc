// SPDX-License-Identifier: Apache-2.0
// Reading a bundle: an archive through libarchive, or a directory. The
// manifest and its signature are checked before any image is read; every
// image is then streamed once through SHA-512 and held open, so that what a
// card later receives is exactly what was checked.
#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>

#include "bundle_internal.h"

namespace {

using archive_ptr = std::unique_ptr<archive, decltype(&archive_read_free)>;

int64_t ns_of(const struct timespec &t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void record_file(bundle_image_s &image, const struct stat &st) {
    image.dev = st.st_dev;
    image.ino = st.st_ino;
    image.mtime_ns = ns_of(st.st_mtim);
    image.ctime_ns = ns_of(st.st_ctim);
}

bool signature_size_refusal(const std::string &size, bundle_error_s *error) {
    return bundle_fail(error, "signature", "manifest.json.sig holds " + size + " bytes, not an Ed25519 signature (64)");
}

// The signature decides what the manifest must hold: a signed bundle states
// every image's size and digest.
bool check_manifest(const std::string &bytes, const std::string *signature, const bundle_options_s &options,
                    bundle_s *b, bundle_error_s *error) {
    if (signature == nullptr) {
        if (!options.allow_unsigned)
            return bundle_fail(error, "unsigned",
                               b->form == "tar"
                                   ? "the bundle is unsigned (no manifest.json.sig follows manifest.json), "
                                     "and unsigned bundles are not allowed"
                                   : "the bundle is unsigned (no manifest.json.sig), and unsigned "
                                     "bundles are not allowed");
        b->is_signed = false;
        b->signer = BUNDLE_UNSIGNED;
    } else {
        if (signature->size() != BUNDLE_SIGNATURE_LEN)
            return signature_size_refusal(std::to_string(signature->size()), error);
        std::vector<bundle_key_s> keys;
        bundle_error_s trust;
        if (!bundle_trust_load(options.trust_dir, &keys, &trust)) {
            if (trust.check != "io") {
                *error = std::move(trust);
                return false;
            }
            return bundle_fail(error, "untrusted", "the bundle is signed, but no key is trusted: " + trust.message);
        }
        if (keys.empty())
            return bundle_fail(error, "untrusted", "the bundle is signed, but " + options.trust_dir + " holds no key (no file named *.pem)");
        const bundle_key_s *signer = bundle_signer(keys, bytes, *signature);
        if (signer == nullptr)
            return bundle_fail(error, "untrusted",
                               "manifest.json's signature verifies with none of the keys in " + options.trust_dir);
        b->is_signed = true;
        b->signer = signer->fingerprint;
        b->signer_key_path = signer->path;
    }
    if (!bundle_manifest_parse(bytes, b->is_signed, &b->manifest, error)) return false;
    b->manifest_bytes = bytes;
    b->manifest_sha256 = bundle_sha256_hex(bytes);
    b->images.clear();
    b->images.resize(b->manifest.components.size());
    for (size_t i = 0; i < b->images.size(); ++i)
        b->images[i].component = b->manifest.components[i];
    return true;
}

// The component of that file; -1 for none.
int component_of(const std::map<std::string, size_t> &index, const std::string &file) {
    const auto it = index.find(file);
    return it == index.end() ? -1 : static_cast<int>(it->second);
}

std::map<std::string, size_t> index_of(const bundle_s &b) {
    std::map<std::string, size_t> index;
    for (size_t i = 0; i < b.manifest.components.size(); ++i)
        index[b.manifest.components[i].file] = i;
    return index;
}

// The size and digest the image has against what the manifest states.
bool check_image(bundle_image_s &image, bundle_error_s *error) {
    const bundle_component_s &c = image.component;
    if (c.has_size && image.size != c.size)
        return bundle_fail(
            error, "size",
            c.file + " holds " + std::to_string(image.size) + " bytes, the manifest says " + std::to_string(c.size));
    if (!c.sha512.empty() && image.sha512 != c.sha512)
        return bundle_fail(error, "sha512",
                           c.file + ": its SHA-512 " + image.sha512 + " differs from the manifest's " + c.sha512);
    return true;
}

bool check_all_present(const bundle_s &b, bundle_error_s *error) {
    for (const bundle_image_s &image : b.images)
        if (image.fd.fd < 0)
            return bundle_fail(error, "missing_image",
                               image.component.file + " is named by the manifest but not in the bundle");
    return true;
}

// An unlinked file that nothing but the descriptor reaches.
int temp_file(const bundle_options_s &options, std::string *error) {
    std::string dir = options.temp_dir;
    if (dir.empty()) {
        const char *env = getenv("TMPDIR");
        dir = env != nullptr && env[0] != '\0' ? env : "/tmp";
    }
    int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        *error = "cannot make a temporary file in " + dir + ": " + strerror(errno);
        return -1;
    }
    std::string name = dir + "/fu-bundle-XXXXXX";
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot make a temporary file in " + dir + ": " + strerror(errno);
        return -1;
    }
    unlink(name.c_str());
    return fd;
}

// --- archives ----------------------------------------------------------------

struct archive_reader_s {
    const bundle_options_s &options;
    bundle_s &b;
    bundle_error_s *error;
    archive *a = nullptr;
    std::string top;  // the top directory every entry lies in ("" none)
    bool top_known = false;
    unsigned entries = 0;

    enum stage_e { WANT_MANIFEST, WANT_SIGNATURE, IMAGES } stage = WANT_MANIFEST;
    std::string manifest;
    std::map<std::string, size_t> index;  // component per file name

    archive_reader_s(const bundle_options_s &options_, bundle_s &b_, bundle_error_s *error_)
        : options(options_), b(b_), error(error_) {}

    bool library_failure(const char *doing) {
        const char *text = archive_error_string(a);
        const std::string why = text != nullptr ? text : "unreadable";
        if (entries == 0 && stage == WANT_MANIFEST)
            return bundle_fail(error, "archive", b.path + " is not a tar archive this program reads: " + why);
        if (why.find("runcated") != std::string::npos || why.find("nexpected EOF") != std::string::npos ||
            why.find("remature end") != std::string::npos)
            return bundle_fail(error, "truncated", b.path + " ends early (" + doing + "): " + why);
        return bundle_fail(error, "archive", b.path + ": " + doing + ": " + why);
    }

    // The entry's name within the bundle: "" for the top directory itself.
    bool name_of(archive_entry *e, std::string *name) {
        const char *path = archive_entry_pathname(e);
        const std::string shown = path != nullptr ? bundle_printable(path) : "?";
        auto refuse = [&](const std::string &why) {
            return bundle_fail(error, "archive_entry", "entry " + shown + why);
        };
        if (path == nullptr || path[0] == '\0') return refuse(" has no name");
        if (path[0] == '/') return refuse(" is an absolute path");
        std::vector<std::string> parts = bundle_split(path, '/');
        for (const std::string &part : parts)
            if (part == "..") return refuse(" climbs out of the bundle with \"..\"");
        if (parts.size() > 1 && parts.back().empty()) parts.pop_back();  // "top/"
        for (const std::string &part : parts)
            if (part.empty()) return refuse(" has an empty path component");
        if (parts.size() > 2) return refuse(" lies deeper than the bundle's top directory");
        const bool is_dir = archive_entry_filetype(e) == AE_IFDIR;
        const std::string entry_top = parts.size() == 2 || is_dir ? parts[0] : "";
        if (!top_known) {
            top = entry_top;
            top_known = true;
        } else if (entry_top != top) {
            return refuse(" lies outside the bundle's top directory " + (top.empty() ? "(none)" : top));
        }
        if (is_dir && parts.size() == 2) return refuse(" is a directory inside the bundle");
        *name = is_dir ? "" : parts.back();
        return true;
    }

    bool kind_ok(archive_entry *e, const std::string &name) {
        const std::string shown = "entry " + bundle_printable(archive_entry_pathname(e));
        if (archive_entry_hardlink(e) != nullptr)
            return bundle_fail(error, "archive_entry", shown + " is a hard link; a bundle holds regular files only");
        switch (archive_entry_filetype(e)) {
            case AE_IFREG:
                return true;
            case AE_IFDIR:
                return name.empty() || bundle_fail(error, "archive_entry", shown + " is a directory inside the bundle");
            case AE_IFLNK:
                return bundle_fail(error, "archive_entry",
                                   shown + " is a symbolic link; a bundle holds regular files only");
            case AE_IFCHR:
            case AE_IFBLK:
                return bundle_fail(error, "archive_entry", shown + " is a device; a bundle holds regular files only");
            case AE_IFIFO:
                return bundle_fail(error, "archive_entry", shown + " is a FIFO; a bundle holds regular files only");
            default:
                return bundle_fail(error, "archive_entry", shown + " is not a regular file");
        }
    }

    // The whole (small) entry into *bytes.
    bool read_small(const std::string &name, size_t max, std::string *bytes) {
        bytes->clear();
        char buf[65536];
        for (;;) {
            const la_ssize_t n = archive_read_data(a, buf, sizeof buf);
            if (n < 0) return library_failure(("reading " + name).c_str());
            if (n == 0) return true;
            if (bytes->size() + static_cast<size_t>(n) > max) return true;  // the caller sees the size
            bytes->append(buf, static_cast<size_t>(n));
        }
    }

    bool extract_image(archive_entry *e, const std::string &name) {
        if (index.empty()) index = index_of(b);
        const int found = component_of(index, name);
        if (found < 0)
            return bundle_fail(error, "extra_image",
                               bundle_printable(name) + " is in the bundle but not in the manifest");
        bundle_image_s &image = b.images[static_cast<size_t>(found)];
        if (image.fd.fd >= 0) return bundle_fail(error, "archive_entry", "entry " + name + " appears twice");
        const uint64_t stated = archive_entry_size_is_set(e) ? static_cast<uint64_t>(archive_entry_size(e)) : 0;
        if (image.component.has_size && stated != image.component.size)
            return bundle_fail(error, "size",
                               name + " holds " + std::to_string(stated) + " bytes, the manifest says " +
                                   std::to_string(image.component.size));
        std::string why;
        bundle_fd_s out(temp_file(options, &why));
        if (out.fd < 0) return bundle_fail(error, "io", why);
        std::unique_ptr<uint8_t[]> buf(new uint8_t[BUNDLE_BLOCK]);
        bundle_sha512_s hash;
        uint64_t done = 0;
        for (;;) {
            const la_ssize_t n = archive_read_data(a, buf.get(), BUNDLE_BLOCK);
            if (n < 0) return library_failure(("reading " + name).c_str());
            if (n == 0) break;
            for (la_ssize_t put = 0; put < n;) {
                const ssize_t w = pwrite(out.fd, buf.get() + put, static_cast<size_t>(n - put),
                                         static_cast<off_t>(done + static_cast<uint64_t>(put)));
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0)
                    return bundle_fail(error, "io",
                                       "cannot keep a copy of " + name + ": " + strerror(w < 0 ? errno : ENOSPC));
                put += w;
            }
            hash.update(buf.get(), static_cast<size_t>(n));
            done += static_cast<uint64_t>(n);
        }
        if (done != stated)
            return bundle_fail(error, "truncated",
                               b.path + " ends inside " + name + " (" + std::to_string(done) + " of " +
                                   std::to_string(stated) + " bytes)");
        image.size = done;
        image.sha512 = hash.finish();
        if (image.sha512.empty()) return bundle_fail(error, "io", "cannot hash " + name);
        struct stat st {};
        if (fstat(out.fd, &st) == 0) record_file(image, st);
        image.fd = std::move(out);
        return check_image(image, error);
    }

    bool entry(archive_entry *e) {
        std::string name;
        if (!name_of(e, &name) || !kind_ok(e, name)) return false;
        if (name.empty()) return true;  // the top directory
        if (name == BUNDLE_MANIFEST_NAME) {
            if (stage != WANT_MANIFEST) return bundle_fail(error, "archive_entry", "entry manifest.json appears twice");
            if (archive_entry_size(e) > static_cast<la_int64_t>(BUNDLE_MANIFEST_MAX))
                return bundle_fail(error, "manifest",
                                   "manifest.json holds " + std::to_string(archive_entry_size(e)) +
                                       " bytes, more than a manifest may (1 MiB)");
            if (!read_small(name, BUNDLE_MANIFEST_MAX, &manifest)) return false;
            stage = WANT_SIGNATURE;
            return true;
        }
        if (stage == WANT_MANIFEST)
            return bundle_fail(
                error, "archive_entry",
                "entry " + bundle_printable(name) + " comes before manifest.json; a bundle begins with its manifest");
        if (name == BUNDLE_SIGNATURE_NAME) {
            if (stage != WANT_SIGNATURE)
                return bundle_fail(error, "archive_entry",
                                   "entry manifest.json.sig comes after the images; it follows manifest.json");
            if (archive_entry_size(e) != static_cast<la_int64_t>(BUNDLE_SIGNATURE_LEN))
                return signature_size_refusal(std::to_string(archive_entry_size(e)), error);
            std::string signature;
            if (!read_small(name, BUNDLE_SIGNATURE_LEN, &signature)) return false;
            stage = IMAGES;
            return check_manifest(manifest, &signature, options, &b, error);
        }
        if (stage == WANT_SIGNATURE) {
            stage = IMAGES;
            if (!check_manifest(manifest, nullptr, options, &b, error)) return false;
        }
        return extract_image(e, name);
    }

    bool run(int fd) {
        archive_ptr owner(archive_read_new(), archive_read_free);
        a = owner.get();
        if (a == nullptr) return bundle_fail(error, "io", "cannot read archives (out of memory)");
        archive_read_support_format_tar(a);
        archive_read_support_filter_gzip(a);
        archive_read_support_filter_bzip2(a);
        archive_read_support_filter_xz(a);
        archive_read_support_filter_zstd(a);
        if (archive_read_open_fd(a, fd, 65536) != ARCHIVE_OK) return library_failure("opening it");
        for (;;) {
            archive_entry *e = nullptr;
            const int r = archive_read_next_header(a, &e);
            if (r == ARCHIVE_EOF) break;
            if (r != ARCHIVE_OK && r != ARCHIVE_WARN) return library_failure("reading the next entry");
            ++entries;
            if (!entry(e)) return false;
        }
        if (stage == WANT_MANIFEST) return bundle_fail(error, "manifest", "the bundle holds no manifest.json");
        if (stage == WANT_SIGNATURE && !check_manifest(manifest, nullptr, options, &b, error)) return false;
        return check_all_present(b, error);
    }
};

// --- directories -------------------------------------------------------------

bool entry_refusal(int err, const std::string &name, const char *missing_check, bundle_error_s *error) {
    if (err == ENOENT && name == BUNDLE_MANIFEST_NAME)
        return bundle_fail(error, missing_check, "the bundle holds no manifest.json");
    if (err == ENOENT)
        return bundle_fail(error, missing_check, name + " is named by the manifest but not in the bundle");
    if (err == ELOOP)
        return bundle_fail(error, "archive_entry", name + " is a symbolic link; a bundle holds regular files only");
    if (err == EINVAL) return bundle_fail(error, "archive_entry", name + " is not a regular file");
    return bundle_fail(error, "io", "cannot read " + name + ": " + strerror(err));
}

bool read_directory(int dfd, const bundle_options_s &options, bundle_s &b, bundle_error_s *error) {
    std::string manifest, signature;
    int err = bundle_read_small(dfd, BUNDLE_MANIFEST_NAME, BUNDLE_MANIFEST_MAX, false, &manifest);
    if (err == EFBIG) return bundle_fail(error, "manifest", "manifest.json holds more than a manifest may (1 MiB)");
    if (err != 0) return entry_refusal(err, BUNDLE_MANIFEST_NAME, "manifest", error);
    err = bundle_read_small(dfd, BUNDLE_SIGNATURE_NAME, BUNDLE_SIGNATURE_LEN, false, &signature);
    if (err == EFBIG) return signature_size_refusal("more than 64", error);
    if (err != 0 && err != ENOENT) return entry_refusal(err, BUNDLE_SIGNATURE_NAME, "signature", error);
    if (!check_manifest(manifest, err == ENOENT ? nullptr : &signature, options, &b, error)) return false;

    DIR *d = fdopendir(dup(dfd));
    if (d == nullptr) return bundle_fail(error, "io", "cannot list " + b.path + ": " + strerror(errno));
    const std::map<std::string, size_t> index = index_of(b);
    std::string extra;
    while (const dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == ".." || name == BUNDLE_MANIFEST_NAME || name == BUNDLE_SIGNATURE_NAME) continue;
        if (component_of(index, name) < 0 && (extra.empty() || name < extra)) extra = name;
    }
    closedir(d);
    if (!extra.empty())
        return bundle_fail(error, "extra_image", bundle_printable(extra) + " is in the bundle but not in the manifest");

    for (bundle_image_s &image : b.images) {
        const std::string &name = image.component.file;
        bundle_fd_s fd(openat(dfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (fd.fd < 0) return entry_refusal(errno, name, "missing_image", error);
        struct stat st {};
        if (fstat(fd.fd, &st) != 0) return entry_refusal(errno, name, "missing_image", error);
        if (!S_ISREG(st.st_mode)) return entry_refusal(EINVAL, name, "missing_image", error);
        image.size = static_cast<uint64_t>(st.st_size);
        if (image.component.has_size && image.size != image.component.size) return check_image(image, error);
        std::string why;
        image.sha512 = bundle_sha512_fd(fd.fd, image.size, -1, &why);
        if (image.sha512.empty()) return bundle_fail(error, "io", name + " " + why);
        record_file(image, st);
        image.fd = std::move(fd);
        if (!check_image(image, error)) return false;
    }
    return true;
}

}  // namespace

bundle_fd_s::bundle_fd_s(bundle_fd_s &&other) noexcept : fd(std::exchange(other.fd, -1)) {}

bundle_fd_s &bundle_fd_s::operator=(bundle_fd_s &&other) noexcept {
    if (this != &other) {
        if (fd >= 0) close(fd);
        fd = std::exchange(other.fd, -1);
    }
    return *this;
}

bundle_fd_s::~bundle_fd_s() {
    if (fd >= 0) close(fd);
}

std::string bundle_image_changed(const bundle_image_s &image) {
    struct stat st {};
    if (image.fd.fd < 0 || fstat(image.fd.fd, &st) != 0) return image.component.file + " is no longer open";
    if (static_cast<uint64_t>(st.st_size) != image.size || st.st_dev != image.dev || st.st_ino != image.ino ||
        ns_of(st.st_mtim) != image.mtime_ns || ns_of(st.st_ctim) != image.ctime_ns)
        return image.component.file + " changed after it was checked";
    return "";
}

bool bundle_open(const std::string &path, const bundle_options_s &options, bundle_s *bundle, bundle_error_s *error) {
    bundle_s b;
    b.path = path;
    bundle_fd_s fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.fd < 0) return bundle_fail(error, "io", "cannot open the bundle " + path + ": " + strerror(errno));
    struct stat st {};
    if (fstat(fd.fd, &st) != 0) return bundle_fail(error, "io", "cannot read " + path + ": " + strerror(errno));
    bool ok = false;
    if (S_ISDIR(st.st_mode)) {
        b.form = "directory";
        ok = read_directory(fd.fd, options, b, error);
    } else if (S_ISREG(st.st_mode)) {
        b.form = "tar";
        archive_reader_s reader(options, b, error);
        ok = reader.run(fd.fd);
    } else {
        return bundle_fail(error, "io", path + " is neither an archive nor a directory");
    }
    if (!ok) return false;
    *bundle = std::move(b);
    return true;
}

doc_json bundle_show(const bundle_s &b) {
    doc_json components = doc_json::array();
    for (const bundle_image_s &image : b.images) {
        const bundle_component_s &c = image.component;
        doc_json target = c.target;
        if (!c.family) target = c.target.empty() ? std::string() : c.target[0];
        components.push_back({{"file", c.file},
                              {"target", std::move(target)},
                              {"version", c.version},
                              {"size", image.size},
                              {"sha512", image.sha512}});
    }
    return {{"path", b.path},
            {"form", b.form},
            {"release", b.manifest.release},
            {"manifest_sha256", b.manifest_sha256},
            {"signed", b.is_signed},
            {"signer", b.signer},
            {"compatible", b.manifest.compatible},
            {"requires", b.manifest.rules},
            {"components", std::move(components)}};
}

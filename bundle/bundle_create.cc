// SPDX-License-Identifier: Apache-2.0
// Making a bundle: the manifest completed with every image's size and
// digest, signed, and written with its images as a deterministic tar (or a
// directory) beside the output, then renamed onto it.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bundle_internal.h"

namespace {

using archive_writer_ptr = std::unique_ptr<archive, decltype(&archive_write_free)>;

// An image to be put in the bundle, open once: hashed, then copied from the
// same descriptor and hashed again on the way, so that a file that changes
// meanwhile is refused rather than bundled under the wrong digest.
struct source_s {
    std::string name;
    bundle_fd_s fd;
    uint64_t size = 0;
    std::string sha512;
};

bool open_sources(const bundle_manifest_s &m, const std::string &images_dir, std::vector<source_s> *sources,
                  bundle_error_s *error) {
    for (const bundle_component_s &c : m.components) {
        source_s s;
        s.name = c.file;
        const std::string path = images_dir + "/" + c.file;
        s.fd = bundle_fd_s(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (s.fd.fd < 0 && errno == ENOENT)
            return bundle_fail(error, "missing_image", c.file + " is named by the manifest but not in " + images_dir);
        if (s.fd.fd < 0) return bundle_fail(error, "io", "cannot open " + path + ": " + strerror(errno));
        struct stat st {};
        if (fstat(s.fd.fd, &st) != 0 || !S_ISREG(st.st_mode))
            return bundle_fail(error, "io", path + " is not a regular file");
        s.size = static_cast<uint64_t>(st.st_size);
        if (c.has_size && c.size != s.size)
            return bundle_fail(
                error, "size",
                c.file + " holds " + std::to_string(s.size) + " bytes, the manifest says " + std::to_string(c.size));
        std::string why;
        s.sha512 = bundle_sha512_fd(s.fd.fd, s.size, -1, &why);
        if (s.sha512.empty()) return bundle_fail(error, "io", path + " " + why);
        if (!c.sha512.empty() && c.sha512 != s.sha512)
            return bundle_fail(error, "sha512",
                               c.file + ": its SHA-512 " + s.sha512 + " differs from the manifest's " + c.sha512);
        sources->push_back(std::move(s));
    }
    return true;
}

// The input's components with size and sha512 in their documented place
// (after file, target and version), every other member kept where it was.
void complete(doc_json &doc, const std::vector<source_s> &sources) {
    doc_json &components = doc["components"];
    for (size_t i = 0; i < components.size() && i < sources.size(); ++i) {
        const doc_json &in = components[i];
        doc_json out = doc_json::object();
        for (const char *key : {"file", "target", "version"})
            if (in.contains(key)) out[key] = in[key];
        out["size"] = sources[i].size;
        out["sha512"] = sources[i].sha512;
        for (const auto &item : in.items())
            if (!out.contains(item.key())) out[item.key()] = item.value();
        components[i] = std::move(out);
    }
}

bool changed_refusal(const std::string &name, const std::string &why, bundle_error_s *error) {
    return bundle_fail(error, "io", name + " " + why + " while the bundle was made");
}

// --- tar ---------------------------------------------------------------------

struct tar_writer_s {
    archive *a;
    bundle_error_s *error;

    bool failure(const std::string &doing) {
        const char *why = archive_error_string(a);
        return bundle_fail(error, "io", "cannot write " + doing + ": " + (why != nullptr ? why : "unknown error"));
    }

    bool header(const std::string &name, uint64_t size) {
        std::unique_ptr<archive_entry, decltype(&archive_entry_free)> e(archive_entry_new(), archive_entry_free);
        if (e == nullptr) return bundle_fail(error, "io", "cannot write " + name + " (out of memory)");
        archive_entry_set_pathname(e.get(), name.c_str());
        archive_entry_set_filetype(e.get(), AE_IFREG);
        archive_entry_set_perm(e.get(), 0644);
        archive_entry_set_size(e.get(), static_cast<la_int64_t>(size));
        archive_entry_set_mtime(e.get(), 0, 0);
        archive_entry_set_uid(e.get(), 0);
        archive_entry_set_gid(e.get(), 0);
        return archive_write_header(a, e.get()) == ARCHIVE_OK || failure(name);
    }

    bool data(const std::string &name, const void *bytes, size_t len) {
        return archive_write_data(a, bytes, len) == static_cast<la_ssize_t>(len) || failure(name);
    }

    bool small(const std::string &name, const std::string &bytes) {
        return header(name, bytes.size()) && data(name, bytes.data(), bytes.size());
    }

    bool image(const source_s &s) {
        if (!header(s.name, s.size)) return false;
        std::unique_ptr<uint8_t[]> buf(new uint8_t[BUNDLE_BLOCK]);
        bundle_sha512_s hash;
        for (uint64_t done = 0; done < s.size;) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(BUNDLE_BLOCK, s.size - done));
            const ssize_t n = pread(s.fd.fd, buf.get(), want, static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return changed_refusal(s.name, n < 0 ? strerror(errno) : "shrank", error);
            if (!data(s.name, buf.get(), static_cast<size_t>(n))) return false;
            hash.update(buf.get(), static_cast<size_t>(n));
            done += static_cast<uint64_t>(n);
        }
        return hash.finish() == s.sha512 || changed_refusal(s.name, "changed", error);
    }
};

bool write_tar(int fd, const std::string &manifest, const std::string *signature, const std::vector<source_s> &sources,
               bundle_error_s *error) {
    archive_writer_ptr owner(archive_write_new(), archive_write_free);
    archive *a = owner.get();
    if (a == nullptr) return bundle_fail(error, "io", "cannot write archives (out of memory)");
    tar_writer_s w{a, error};
    if (archive_write_set_format_pax_restricted(a) != ARCHIVE_OK || archive_write_add_filter_none(a) != ARCHIVE_OK ||
        archive_write_open_fd(a, fd) != ARCHIVE_OK)
        return w.failure("the archive");
    if (!w.small(BUNDLE_MANIFEST_NAME, manifest)) return false;
    if (signature != nullptr && !w.small(BUNDLE_SIGNATURE_NAME, *signature)) return false;
    for (const source_s &s : sources)
        if (!w.image(s)) return false;
    return archive_write_close(a) == ARCHIVE_OK || w.failure("the archive's end");
}

// --- directory ---------------------------------------------------------------

bool write_file_at(int dfd, const std::string &name, const std::string &bytes, bundle_error_s *error) {
    bundle_fd_s fd(openat(dfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
    bool ok = fd.fd >= 0 && fchmod(fd.fd, 0644) == 0;
    for (size_t done = 0; ok && done < bytes.size();) {
        const ssize_t n = write(fd.fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    if (ok) ok = fsync(fd.fd) == 0;
    return ok || bundle_fail(error, "io", "cannot write " + name + ": " + strerror(errno));
}

bool write_directory(int dfd, const std::string &manifest, const std::string *signature,
                     const std::vector<source_s> &sources, bundle_error_s *error) {
    if (!write_file_at(dfd, BUNDLE_MANIFEST_NAME, manifest, error)) return false;
    if (signature != nullptr && !write_file_at(dfd, BUNDLE_SIGNATURE_NAME, *signature, error)) return false;
    for (const source_s &s : sources) {
        bundle_fd_s out(openat(dfd, s.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
        if (out.fd < 0 || fchmod(out.fd, 0644) != 0)
            return bundle_fail(error, "io", "cannot write " + s.name + ": " + strerror(errno));
        std::string why;
        const std::string copied = bundle_sha512_fd(s.fd.fd, s.size, out.fd, &why);
        if (copied.empty()) return changed_refusal(s.name, why, error);
        if (copied != s.sha512) return changed_refusal(s.name, "changed", error);
        if (fsync(out.fd) != 0) return bundle_fail(error, "io", "cannot write " + s.name + ": " + strerror(errno));
    }
    return true;
}

void remove_directory(const std::string &dir, const bundle_manifest_s &m) {
    for (const bundle_component_s &c : m.components)
        unlink((dir + "/" + c.file).c_str());
    unlink((dir + "/" + BUNDLE_MANIFEST_NAME).c_str());
    unlink((dir + "/" + BUNDLE_SIGNATURE_NAME).c_str());
    rmdir(dir.c_str());
}

// The directory output lies in, for its fsync after the rename.
void sync_parent(const std::string &output) {
    const size_t slash = output.rfind('/');
    const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : output.substr(0, slash);
    const int fd = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

}  // namespace

bool bundle_create(const std::string &manifest_path, const std::string &images_dir, const std::string &private_key_path,
                   const std::string &output, bundle_error_s *error, bundle_form_e form, bundle_s *made) {
    std::string text;
    const int err = bundle_read_small(AT_FDCWD, manifest_path, BUNDLE_MANIFEST_MAX, true, &text);
    if (err == EFBIG) return bundle_fail(error, "manifest", manifest_path + " holds more than a manifest may (1 MiB)");
    if (err != 0) return bundle_fail(error, "io", "cannot read " + manifest_path + ": " + strerror(err));
    bundle_manifest_s input;
    if (!bundle_manifest_parse(text, false, &input, error)) return false;
    doc_json doc;
    std::string why;
    if (!doc_parse_bounded(text, &doc, &why)) return bundle_fail(error, "manifest", "manifest.json " + why);

    std::vector<source_s> sources;
    if (!open_sources(input, images_dir, &sources, error)) return false;
    complete(doc, sources);
    const std::string manifest = doc.dump(2, ' ', false, doc_json::error_handler_t::replace) + "\n";
    const bool signing = !private_key_path.empty();
    bundle_s result;
    if (!bundle_manifest_parse(manifest, signing, &result.manifest, error)) return false;
    std::string signature;
    result.signer = BUNDLE_UNSIGNED;
    if (signing && !bundle_sign(private_key_path, manifest, &signature, &result.signer, error)) return false;
    result.is_signed = signing;

    struct stat st {};
    if (lstat(output.c_str(), &st) == 0 && (form == BUNDLE_FORM_DIRECTORY || S_ISDIR(st.st_mode)))
        return bundle_fail(error, "io", output + " exists already");
    const std::string *sig = signing ? &signature : nullptr;
    std::string temp = output + ".XXXXXX";
    if (form == BUNDLE_FORM_TAR) {
        bundle_fd_s fd(mkostemp(temp.data(), O_CLOEXEC));
        if (fd.fd < 0) return bundle_fail(error, "io", "cannot write beside " + output + ": " + strerror(errno));
        bool ok = fchmod(fd.fd, 0644) == 0 || bundle_fail(error, "io", "cannot write " + temp + ": " + strerror(errno));
        ok = ok && write_tar(fd.fd, manifest, sig, sources, error);
        if (ok && fsync(fd.fd) != 0) ok = bundle_fail(error, "io", "cannot write " + temp + ": " + strerror(errno));
        if (ok && rename(temp.c_str(), output.c_str()) != 0)
            ok = bundle_fail(error, "io", "cannot rename the bundle onto " + output + ": " + strerror(errno));
        if (!ok) {
            unlink(temp.c_str());
            return false;
        }
    } else {
        if (mkdtemp(temp.data()) == nullptr)
            return bundle_fail(error, "io", "cannot write beside " + output + ": " + strerror(errno));
        bundle_fd_s dfd(open(temp.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        bool ok = (dfd.fd >= 0 && chmod(temp.c_str(), 0755) == 0) ||
                  bundle_fail(error, "io", "cannot write " + temp + ": " + strerror(errno));
        ok = ok && write_directory(dfd.fd, manifest, sig, sources, error);
        if (ok && rename(temp.c_str(), output.c_str()) != 0)
            ok = bundle_fail(error, "io", "cannot rename the bundle onto " + output + ": " + strerror(errno));
        if (!ok) {
            remove_directory(temp, input);
            return false;
        }
    }
    sync_parent(output);

    if (made != nullptr) {
        result.path = output;
        result.form = form == BUNDLE_FORM_TAR ? "tar" : "directory";
        result.manifest_bytes = manifest;
        result.manifest_sha256 = bundle_sha256_hex(manifest);
        for (size_t i = 0; i < sources.size(); ++i) {
            bundle_image_s image;
            image.component = result.manifest.components[i];
            image.size = sources[i].size;
            image.sha512 = sources[i].sha512;
            result.images.push_back(std::move(image));
        }
        *made = std::move(result);
    }
    return true;
}

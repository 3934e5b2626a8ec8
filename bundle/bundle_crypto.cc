// SPDX-License-Identifier: Apache-2.0
// Digests, Ed25519 keys and signatures, through OpenSSL's EVP interface.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bundle_internal.h"

namespace {

using pkey_ptr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using md_ctx_ptr = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;
using bio_ptr = std::unique_ptr<BIO, decltype(&BIO_free)>;

// A key file with a passphrase is refused, never asked about on a terminal.
int no_passphrase(char *, int, int, void *) {
    return 0;
}

std::string digest_hex(const EVP_MD *md, std::string_view bytes) {
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &len, md, nullptr) != 1) return "";
    return bundle_lower_hex(digest, len);
}

// The key of a PEM file's text; what it holds instead, when it is no
// Ed25519 key, in *what ("an RSA key", "no key").
pkey_ptr read_pem_key(const std::string &pem, bool want_private, std::string *what) {
    bio_ptr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    pkey_ptr key(nullptr, EVP_PKEY_free);
    if (bio != nullptr)
        key.reset(want_private ? PEM_read_bio_PrivateKey(bio.get(), nullptr, no_passphrase, nullptr)
                               : PEM_read_bio_PUBKEY(bio.get(), nullptr, no_passphrase, nullptr));
    ERR_clear_error();
    if (key == nullptr) {
        *what = "no readable key";
        return key;
    }
    if (EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) {
        const char *type = EVP_PKEY_get0_type_name(key.get());
        *what = std::string("a key of type ") + (type != nullptr ? type : "unknown");
        key.reset();
    }
    return key;
}

std::string raw_public(EVP_PKEY *key) {
    uint8_t raw[BUNDLE_PUBLIC_KEY_LEN];
    size_t len = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(key, raw, &len) != 1 || len != sizeof raw) {
        ERR_clear_error();
        return "";
    }
    return std::string(reinterpret_cast<const char *>(raw), len);
}

bool read_key_file(const std::string &path, std::string *pem, bundle_error_s *error) {
    const int err = bundle_read_small(AT_FDCWD, path, BUNDLE_KEY_FILE_MAX, true, pem);
    if (err == 0) return true;
    if (err == EINVAL || err == EFBIG) return bundle_fail(error, "key", path + " is not a key file");
    return bundle_fail(error, "io", "cannot read " + path + ": " + strerror(err));
}

// The PEM text of a key, public or private half.
std::string pem_text(EVP_PKEY *key, bool private_half) {
    bio_ptr bio(BIO_new(BIO_s_mem()), BIO_free);
    if (bio == nullptr) return "";
    const int ok = private_half ? PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)
                                : PEM_write_bio_PUBKEY(bio.get(), key);
    char *data = nullptr;
    const long len = BIO_get_mem_data(bio.get(), &data);
    if (ok != 1 || len <= 0) return "";
    return std::string(data, static_cast<size_t>(len));
}

// A new file holding bytes, with exactly that mode; errno's text on failure.
bool write_new_file(const std::string &path, const std::string &bytes, mode_t mode, std::string *error) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        *error = "cannot create " + path + ": " + strerror(errno);
        return false;
    }
    bool ok = fchmod(fd, mode) == 0;
    for (size_t done = 0; ok && done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    if (ok) ok = fsync(fd) == 0;
    const int saved = errno;
    close(fd);
    if (!ok) {
        *error = "cannot write " + path + ": " + strerror(saved);
        unlink(path.c_str());
    }
    return ok;
}

}  // namespace

struct bundle_sha512_s::state_s {
    md_ctx_ptr ctx{EVP_MD_CTX_new(), EVP_MD_CTX_free};
    bool ok = false;
};

bundle_sha512_s::bundle_sha512_s() : state(new state_s) {
    state->ok = state->ctx != nullptr && EVP_DigestInit_ex(state->ctx.get(), EVP_sha512(), nullptr) == 1;
}
bundle_sha512_s::~bundle_sha512_s() = default;

bool bundle_sha512_s::update(const void *bytes, size_t len) {
    if (state->ok) state->ok = EVP_DigestUpdate(state->ctx.get(), bytes, len) == 1;
    return state->ok;
}

std::string bundle_sha512_s::finish() {
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (!state->ok || EVP_DigestFinal_ex(state->ctx.get(), digest, &len) != 1) return "";
    state->ok = false;
    return bundle_lower_hex(digest, len);
}

std::string bundle_lower_hex(const uint8_t *bytes, size_t len) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * len);
    for (size_t i = 0; i < len; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xf];
    }
    return out;
}

std::string bundle_printable(std::string_view name) {
    std::string out;
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7f) {
            out += c;
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", u);
            out += hex;
        }
    }
    return out;
}

std::string bundle_sha512_fd(int fd, uint64_t size, int out, std::string *error) {
    std::unique_ptr<uint8_t[]> buf(new uint8_t[BUNDLE_BLOCK]);
    bundle_sha512_s hash;
    for (uint64_t done = 0; done < size;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(BUNDLE_BLOCK, size - done));
        const ssize_t n = pread(fd, buf.get(), want, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = n < 0 ? std::string("cannot be read: ") + strerror(errno) : "shrank while it was read";
            return "";
        }
        for (size_t put = 0; out >= 0 && put < static_cast<size_t>(n);) {
            const ssize_t w =
                pwrite(out, buf.get() + put, static_cast<size_t>(n) - put, static_cast<off_t>(done + put));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                *error = std::string("cannot be copied: ") + strerror(w < 0 ? errno : ENOSPC);
                return "";
            }
            put += static_cast<size_t>(w);
        }
        if (!hash.update(buf.get(), static_cast<size_t>(n))) break;
        done += static_cast<uint64_t>(n);
    }
    std::string hex = hash.finish();
    if (hex.empty()) *error = "cannot be hashed";
    return hex;
}

int bundle_read_small(int dirfd, const std::string &name, size_t max, bool follow, std::string *bytes) {
    const int fd = openat(dirfd, name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
    if (fd < 0) return errno;
    struct stat st {};
    int err = 0;
    if (fstat(fd, &st) != 0)
        err = errno;
    else if (!S_ISREG(st.st_mode))
        err = EINVAL;
    else if (static_cast<uint64_t>(st.st_size) > max)
        err = EFBIG;
    bytes->clear();
    char buf[65536];
    while (err == 0) {
        const ssize_t n = read(fd, buf, std::min(sizeof buf, max + 1 - bytes->size()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) err = errno;
        if (n <= 0) break;
        bytes->append(buf, static_cast<size_t>(n));
        if (bytes->size() > max) err = EFBIG;  // it grew since fstat
    }
    close(fd);
    return err;
}

std::string bundle_sha256_hex(std::string_view bytes) {
    return digest_hex(EVP_sha256(), bytes);
}

std::string bundle_sha512_hex(std::string_view bytes) {
    return digest_hex(EVP_sha512(), bytes);
}

std::string bundle_fingerprint(std::string_view raw_public_key) {
    return "ed25519:" + bundle_sha256_hex(raw_public_key);
}

bool bundle_public_key_load(const std::string &path, bundle_key_s *key, bundle_error_s *error) {
    std::string pem, what;
    if (!read_key_file(path, &pem, error)) return false;
    pkey_ptr pkey = read_pem_key(pem, false, &what);
    if (pkey == nullptr)
        return bundle_fail(error, "key", path + " is not an Ed25519 public key (PEM) but holds " + what);
    key->path = path;
    key->raw = raw_public(pkey.get());
    if (key->raw.empty()) return bundle_fail(error, "key", path + ": the key's public bytes cannot be read");
    key->fingerprint = bundle_fingerprint(key->raw);
    return true;
}

bool bundle_trust_load(const std::string &dir, std::vector<bundle_key_s> *keys, bundle_error_s *error) {
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return bundle_fail(error, "io", "cannot read the trusted keys in " + dir + ": " + strerror(errno));
    std::vector<std::string> names;
    while (const dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() > 4 && name.ends_with(".pem")) names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    std::vector<bundle_key_s> found;
    for (const std::string &name : names) {
        bundle_key_s key;
        if (!bundle_public_key_load(dir + "/" + name, &key, error)) return false;
        found.push_back(std::move(key));
    }
    *keys = std::move(found);
    return true;
}

bool bundle_sign(const std::string &private_key_path, std::string_view message, std::string *signature,
                 std::string *fingerprint, bundle_error_s *error) {
    std::string pem, what;
    if (!read_key_file(private_key_path, &pem, error)) return false;
    pkey_ptr key = read_pem_key(pem, true, &what);
    if (key == nullptr)
        return bundle_fail(error, "key",
                           private_key_path + " is not an unencrypted Ed25519 private key (PEM) but holds " + what);
    md_ctx_ptr ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    uint8_t sig[BUNDLE_SIGNATURE_LEN];
    size_t len = sizeof sig;
    const bool ok =
        ctx != nullptr && EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
        EVP_DigestSign(ctx.get(), sig, &len, reinterpret_cast<const uint8_t *>(message.data()), message.size()) == 1 &&
        len == sizeof sig;
    ERR_clear_error();
    if (!ok) return bundle_fail(error, "key", "cannot sign with " + private_key_path);
    *signature = std::string(reinterpret_cast<const char *>(sig), len);
    *fingerprint = bundle_fingerprint(raw_public(key.get()));
    return true;
}

const bundle_key_s *bundle_signer(const std::vector<bundle_key_s> &keys, std::string_view message,
                                  std::string_view signature) {
    if (signature.size() != BUNDLE_SIGNATURE_LEN) return nullptr;
    for (const bundle_key_s &key : keys) {
        pkey_ptr pkey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                                  reinterpret_cast<const uint8_t *>(key.raw.data()), key.raw.size()),
                      EVP_PKEY_free);
        md_ctx_ptr ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
        const bool verified =
            pkey != nullptr && ctx != nullptr &&
            EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) == 1 &&
            EVP_DigestVerify(ctx.get(), reinterpret_cast<const uint8_t *>(signature.data()), signature.size(),
                             reinterpret_cast<const uint8_t *>(message.data()), message.size()) == 1;
        ERR_clear_error();
        if (verified) return &key;
    }
    return nullptr;
}

bool bundle_keygen(const std::string &private_path, const std::string &public_path, std::string *fingerprint,
                   bundle_error_s *error) {
    pkey_ptr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), EVP_PKEY_free);
    ERR_clear_error();
    if (key == nullptr) return bundle_fail(error, "key", "cannot make an Ed25519 key");
    const std::string private_pem = pem_text(key.get(), true);
    const std::string public_pem = pem_text(key.get(), false);
    const std::string raw = raw_public(key.get());
    if (private_pem.empty() || public_pem.empty() || raw.empty())
        return bundle_fail(error, "key", "cannot write the new key as PEM");
    std::string why;
    if (!write_new_file(private_path, private_pem, 0600, &why)) return bundle_fail(error, "io", why);
    if (!write_new_file(public_path, public_pem, 0644, &why)) {
        unlink(private_path.c_str());
        return bundle_fail(error, "io", why);
    }
    *fingerprint = bundle_fingerprint(raw);
    return true;
}

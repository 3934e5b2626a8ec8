// SPDX-License-Identifier: Apache-2.0
// Digests and manifest signatures of the virtual card.
//
// The card holds two Ed25519 signing keys, "eng" and "prod". Their private
// halves come from fixed seeds, so every virtual card has the same key
// pairs and the public key files a host keeps for them never change.
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "fe_io.h"
#include "vcard_internal.h"

namespace {

EVP_PKEY *signing_key(const std::string &key_name) {
    if (key_name != "eng" && key_name != "prod") return nullptr;
    std::string label = "korvex larch firmware signing key: " + key_name;
    uint8_t seed[32];
    unsigned seed_len = 0;
    if (EVP_Digest(label.data(), label.size(), seed, &seed_len, EVP_sha256(), nullptr) != 1 || seed_len != sizeof seed)
        return nullptr;
    return EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed, sizeof seed);
}

}  // namespace

bool vcard_sha512(const uint8_t *data, size_t len, uint8_t digest[64]) {
    static const uint8_t empty = 0;
    unsigned out_len = 0;
    return EVP_Digest(data != nullptr ? data : &empty, len, digest, &out_len, EVP_sha512(), nullptr) == 1 &&
           out_len == 64;
}

bool vcard_flash_sha512(const std::string &dir, const vcard_partition_def_s &p, uint64_t len, uint8_t digest[64]) {
    if (len > p.size) return false;
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    if (ctx == nullptr) return false;
    bool ok = EVP_DigestInit_ex(ctx, EVP_sha512(), nullptr) == 1;
    std::vector<uint8_t> buf(1 << 20);
    for (uint64_t pos = 0; ok && pos < len;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), len - pos));
        ok = vcard_flash_read(dir, p, pos, buf.data(), n) && EVP_DigestUpdate(ctx, buf.data(), n) == 1;
        pos += n;
    }
    unsigned out_len = 0;
    ok = ok && EVP_DigestFinal_ex(ctx, digest, &out_len) == 1 && out_len == 64;
    EVP_MD_CTX_free(ctx);
    return ok;
}

std::vector<uint8_t> vcard_manifest(uint32_t partition, uint64_t image_len, const uint8_t digest[64]) {
    // "larch-manifest-1", partition (LE 32), image length (LE 64), SHA-512.
    static const char tag[] = "larch-manifest-1";
    std::vector<uint8_t> m(tag, tag + sizeof tag - 1);
    for (int i = 0; i < 4; i++)
        m.push_back(static_cast<uint8_t>(partition >> (8 * i)));
    for (int i = 0; i < 8; i++)
        m.push_back(static_cast<uint8_t>(image_len >> (8 * i)));
    m.insert(m.end(), digest, digest + 64);
    return m;
}

std::vector<uint8_t> vcard_sign(const std::string &key_name, const std::vector<uint8_t> &msg) {
    std::vector<uint8_t> sig;
    EVP_PKEY *key = signing_key(key_name);
    if (key == nullptr) return sig;
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    size_t sig_len = VCARD_SIG_LEN;
    sig.resize(VCARD_SIG_LEN);
    if (ctx == nullptr || EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key) != 1 ||
        EVP_DigestSign(ctx, sig.data(), &sig_len, msg.data(), msg.size()) != 1 || sig_len != VCARD_SIG_LEN)
        sig.clear();
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    return sig;
}

vcard_verify_e vcard_verify(const uint8_t *pem, size_t pem_len, const std::vector<uint8_t> &msg,
                            const std::vector<uint8_t> &sig) {
    if (pem_len == 0 || pem_len > 64 * 1024) return VCARD_VERIFY_BAD_KEY;
    BIO *bio = BIO_new_mem_buf(pem, static_cast<int>(pem_len));
    if (bio == nullptr) return VCARD_VERIFY_BAD_KEY;
    EVP_PKEY *key = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (key == nullptr) return VCARD_VERIFY_BAD_KEY;
    vcard_verify_e result = VCARD_VERIFY_BAD_KEY;
    if (EVP_PKEY_get_base_id(key) == EVP_PKEY_ED25519) {
        EVP_MD_CTX *ctx = EVP_MD_CTX_new();
        result = VCARD_VERIFY_MISMATCH;
        if (ctx != nullptr && sig.size() == VCARD_SIG_LEN &&
            EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
            EVP_DigestVerify(ctx, sig.data(), sig.size(), msg.data(), msg.size()) == 1)
            result = VCARD_VERIFY_OK;
        EVP_MD_CTX_free(ctx);
    }
    EVP_PKEY_free(key);
    return result;
}

std::string vcard_public_key_pem(const std::string &key_name) {
    std::string pem;
    EVP_PKEY *key = signing_key(key_name);
    if (key == nullptr) return pem;
    BIO *bio = BIO_new(BIO_s_mem());
    if (bio != nullptr && PEM_write_bio_PUBKEY(bio, key) == 1) {
        char *data = nullptr;
        long n = BIO_get_mem_data(bio, &data);
        if (n > 0 && data != nullptr) pem.assign(data, static_cast<size_t>(n));
    }
    BIO_free(bio);
    EVP_PKEY_free(key);
    return pem;
}

int vcard_write_public_keys(const std::string &dir) {
    for (const char *name : {"eng", "prod"}) {
        std::string pem = vcard_public_key_pem(name);
        if (pem.empty()) return -1;
        std::string error;
        if (!fe_write_file_atomic(dir + "/" + name + "_key-pub.pem", pem, 0644, &error)) return -1;
    }
    return 0;
}

std::string vcard_hex(const uint8_t *data, size_t len) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(len * 2);
    for (size_t i = 0; i < len; i++) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 0xF]);
    }
    return out;
}

bool vcard_unhex(const std::string &text, std::vector<uint8_t> &out) {
    out.clear();
    if (text.size() % 2 != 0) return false;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = nibble(text[i]), lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

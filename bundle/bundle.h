// SPDX-License-Identifier: Apache-2.0
// Release bundles: the manifest of a release, the archive or directory that
// carries it with its images and its detached signature, the keys that may
// sign it, and the rules it sets on a card's inventory entry.
//
// A bundle is a tar archive (plain, or compressed with gzip, bzip2, xz or
// zstd) or a directory holding manifest.json, manifest.json.sig (an Ed25519
// signature over the manifest's exact bytes, 64 raw bytes) and the images the
// manifest names, nothing else. In an archive the manifest comes first and
// its signature second, so that the signature is checked before a single
// byte of an image is read; every entry may sit under one top directory.
//
// Every refusal is a bundle_error_s: a check name a program can act on and
// one line for the operator. Nothing here throws, prints or touches a card.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "card_documents.h"

inline constexpr int BUNDLE_FORMAT = 1;
// A manifest is some kilobytes; past this it is refused unread.
inline constexpr size_t BUNDLE_MANIFEST_MAX = 1u << 20;
inline constexpr size_t BUNDLE_SIGNATURE_LEN = 64;   // Ed25519
inline constexpr size_t BUNDLE_PUBLIC_KEY_LEN = 32;  // Ed25519, raw
inline constexpr size_t BUNDLE_FILE_NAME_MAX = 255;  // a component's file name, bytes
inline constexpr const char *BUNDLE_MANIFEST_NAME = "manifest.json";
inline constexpr const char *BUNDLE_SIGNATURE_NAME = "manifest.json.sig";
inline constexpr const char *BUNDLE_TRUST_DIR = "/etc/flash-update/trust.d";
// What a bundle without a signature records as its signer.
inline constexpr const char *BUNDLE_UNSIGNED = "unsigned";

// Why a bundle, a manifest or a key was refused. The checks:
//   manifest             not JSON, over 1 MiB, not an object, a member missing
//                        or of the wrong type (named by its place)
//   format               bundle_format missing or not 1
//   rule                 a rule without an id, an id given twice, an op that is
//                        not eq/ne/in/ge/le, "in" without a list, ge/le without
//                        a whole number
//   rule_field           a rule's field that no inventory entry has
//   file_name            a component's file that is not a plain file name
//   duplicate_component  a file named twice, or two targets sharing a partition
//   unknown_partition    a target naming no partition of the catalogue
//   family               a list target that is not one A/B pair
//   card_partition       (against a card) a target partition the card lacks
//   size, sha512         missing where required, or not what the image holds
//   archive              not a tar archive this library reads
//   archive_entry        an entry with "..", an absolute path, a second
//                        directory level, a link, a device, a FIFO, an entry
//                        twice, the manifest or its signature out of place;
//                        in a directory bundle, an entry that is no regular file
//   missing_image        an image of the manifest that the bundle lacks
//   extra_image          a file in the bundle that the manifest does not name
//   truncated            the archive ends inside an entry
//   signature            a signature file that is not 64 bytes
//   unsigned             no signature, and unsigned bundles not allowed
//   untrusted            a signature that no trusted key verifies (another
//                        key, or a manifest changed after signing)
//   key                  a key file that is not an Ed25519 key of the kind
//                        expected (a public key in trust.d, a private key to
//                        sign with)
//   io                   a file or directory that cannot be read or written
struct bundle_error_s {
    std::string check;
    std::string message;
    bool empty() const { return check.empty(); }
};
void to_json(doc_json &j, const bundle_error_s &e);  // {"check", "message"}

// --- the manifest ------------------------------------------------------------

struct bundle_release_s {
    std::string name;
    std::string version;
};

// A card is compatible when its board id is among boards and its ASIC among
// asics. Both lists are required and not empty: a bundle states what it is
// for. Board ids are text ("0x00010042"), compared as numbers.
struct bundle_compatible_s {
    std::vector<std::string> boards;
    std::vector<std::string> asics;
};

// One rule of "requires". field is a dotted path into a card's inventory
// entry (see bundle_field_exists).
struct bundle_rule_s {
    std::string id;
    std::string field;
    std::string op;  // eq, ne, in, ge, le
    doc_json value;
};

// One image and where it goes. A target written as a list is an A/B family
// (the image goes into the member whose slot the card does not run); one
// written as text is a single partition, written in place.
struct bundle_component_s {
    std::string file;
    std::vector<std::string> target;  // one partition, or the two of a family
    bool family = false;              // written as a list
    std::string version;              // what the card should report; "" absent
    bool has_size = false;
    uint64_t size = 0;
    std::string sha512;  // lower-case hex; "" absent
};

struct bundle_manifest_s {
    int bundle_format = BUNDLE_FORMAT;
    bundle_release_s release;
    bundle_compatible_s compatible;
    std::vector<bundle_rule_s> rules;            // "requires"
    std::vector<bundle_component_s> components;  // in install order
};

// The members in the order of the manifest's documented form; version, size
// and sha512 of a component only when present. from_json takes what has the
// expected type and leaves the rest; bundle_manifest_parse is the checked read.
void to_json(doc_json &j, const bundle_release_s &r);
void from_json(const doc_json &j, bundle_release_s &r);
void to_json(doc_json &j, const bundle_compatible_s &c);
void from_json(const doc_json &j, bundle_compatible_s &c);
void to_json(doc_json &j, const bundle_rule_s &r);
void from_json(const doc_json &j, bundle_rule_s &r);
void to_json(doc_json &j, const bundle_component_s &c);
void from_json(const doc_json &j, bundle_component_s &c);
void to_json(doc_json &j, const bundle_manifest_s &m);
void from_json(const doc_json &j, bundle_manifest_s &m);

// The manifest's text: at most BUNDLE_MANIFEST_MAX bytes, JSON, every member
// of the expected type, then bundle_manifest_check. Members this version does
// not know are passed over. false with the refusal in *error.
[[nodiscard]] bool bundle_manifest_parse(std::string_view text, bool require_digests, bundle_manifest_s *manifest,
                                         bundle_error_s *error);
// What a well-typed manifest must also be: bundle_format 1; a release name
// and version; both compatible lists, board ids that read as 32-bit numbers;
// rules with distinct ids, a known op, a list for "in", a whole number for
// ge/le and an existing field; components with plain, distinct file names,
// targets naming catalogue partitions (bundle_family_known for a list) with
// no partition in two components; size and sha512 of every component when
// require_digests (a signed bundle).
[[nodiscard]] bool bundle_manifest_check(const bundle_manifest_s &manifest, bool require_digests,
                                         bundle_error_s *error);

// Whether field names a value of a card's inventory entry:
//   identity.<member>                     a member of the identity record
//   running_image, startup_image
//   partitions.<partition>.<member>       a catalogue partition (as typed on
//                                         the command line, or as the card
//                                         names it) and a partition member
//   secure.<lcs|bl1|bl31|bastion>.<member>
// The members are those the inventory documents write.
bool bundle_field_exists(const std::string &field);
// Whether the two names are one A/B pair of the flash: fw-a/fw-b,
// uboot-a/uboot-b, dtb/dtb-b, fw_cfg/fw_cfg-b, a35-bl1-0/a35-bl1-1,
// bastionfw-0/bastionfw-1, softrom-0/softrom-1, in either order. The gold
// partitions and the CPLD group (cpld, cpld-g, ufm1, ufm2) have no partner:
// a bundle writes them as single partitions.
bool bundle_family_known(const std::string &first, const std::string &second);
// Whether the card's partition table has every partition of the target and,
// for a family, both members of one type in different slots; "card_partition"
// or "family" otherwise.
[[nodiscard]] bool bundle_target_on_card(const bundle_component_s &component, const doc_card_s &card,
                                         bundle_error_s *error);

// --- keys and digests --------------------------------------------------------

// Lower-case hex of SHA-256 / SHA-512 of the bytes.
std::string bundle_sha256_hex(std::string_view bytes);
std::string bundle_sha512_hex(std::string_view bytes);
// A key's fingerprint: "ed25519:" and the lower-case hex SHA-256 of its 32
// raw public bytes (the last 32 bytes of the PEM's DER), the same for the
// private and the public half.
std::string bundle_fingerprint(std::string_view raw_public_key);

struct bundle_key_s {
    std::string path;
    std::string fingerprint;
    std::string raw;  // the 32 public bytes
};
// An Ed25519 public key from a PEM file ("BEGIN PUBLIC KEY", as written by
// `openssl pkey -pubout`); "key" for anything else, "io" when unreadable.
[[nodiscard]] bool bundle_public_key_load(const std::string &path, bundle_key_s *key, bundle_error_s *error);
// Every *.pem file of the directory, in name order; other names are passed
// over. One that is not an Ed25519 public key refuses the whole set ("key"):
// a trust store is read whole or not at all. "io" when the directory cannot
// be read.
[[nodiscard]] bool bundle_trust_load(const std::string &dir, std::vector<bundle_key_s> *keys, bundle_error_s *error);
// The signature over message with the Ed25519 private key of a PEM file
// ("BEGIN PRIVATE KEY", as `openssl genpkey -algorithm ed25519` writes it),
// and that key's fingerprint.
[[nodiscard]] bool bundle_sign(const std::string &private_key_path, std::string_view message, std::string *signature,
                               std::string *fingerprint, bundle_error_s *error);
// The first key that verifies signature over message; nullptr when none does.
const bundle_key_s *bundle_signer(const std::vector<bundle_key_s> &keys, std::string_view message,
                                  std::string_view signature);
// A new key pair: the private key (PKCS#8 PEM, mode 0600) and the public key
// (SubjectPublicKeyInfo PEM, mode 0644), neither path existing before; the
// fingerprint in *fingerprint. Nothing is left behind on failure.
[[nodiscard]] bool bundle_keygen(const std::string &private_path, const std::string &public_path,
                                 std::string *fingerprint, bundle_error_s *error);

// --- reading a bundle --------------------------------------------------------

// An open descriptor, closed with its record.
struct bundle_fd_s {
    int fd = -1;
    bundle_fd_s() = default;
    explicit bundle_fd_s(int fd_) : fd(fd_) {}
    bundle_fd_s(bundle_fd_s &&other) noexcept;
    bundle_fd_s &operator=(bundle_fd_s &&other) noexcept;
    bundle_fd_s(const bundle_fd_s &) = delete;
    bundle_fd_s &operator=(const bundle_fd_s &) = delete;
    ~bundle_fd_s();
};

// One component as checked: exactly size bytes at offset 0 of fd hash to
// sha512. Read it by position (pread): the descriptor's offset means
// nothing. An image of an archive is an unlinked temporary file that nothing
// else can reach; one of a directory is the directory's file, opened once.
struct bundle_image_s {
    bundle_component_s component;
    uint64_t size = 0;
    std::string sha512;
    bundle_fd_s fd;
    // What the file was when it was hashed, for bundle_image_changed.
    uint64_t dev = 0, ino = 0;
    int64_t mtime_ns = 0, ctime_ns = 0;
};
// Why the image's file is no longer what was hashed, "" while it is.
std::string bundle_image_changed(const bundle_image_s &image);

struct bundle_options_s {
    std::string trust_dir = BUNDLE_TRUST_DIR;
    bool allow_unsigned = false;  // lab use: the result says "unsigned"
    std::string temp_dir;         // for an archive's images; "" is $TMPDIR, then /tmp
};

// A bundle as verified.
struct bundle_s {
    std::string path;
    std::string form;  // "tar" or "directory"
    bundle_manifest_s manifest;
    std::string manifest_bytes;   // exactly as signed
    std::string manifest_sha256;  // bundle_sha256_hex(manifest_bytes)
    bool is_signed = false;
    std::string signer;                  // fingerprint of the trusted key, or "unsigned"
    std::string signer_key_path;         // the trusted key's file; "" unsigned
    std::vector<bundle_image_s> images;  // one per component, in manifest order
};

// Reads and checks the bundle at path (a directory or an archive): the
// trusted keys, the manifest's bytes, its signature (before any image), the
// manifest, then every image, streamed in blocks through SHA-512 (into a
// temporary file, for an archive) and held open. false with the first
// refusal; nothing of a refused bundle stays open.
[[nodiscard]] bool bundle_open(const std::string &path, const bundle_options_s &options, bundle_s *bundle,
                               bundle_error_s *error);

// What was verified, as a document (members in this order): path, form,
// release {name, version}, manifest_sha256, signed, signer, compatible,
// requires, components [{file, target, version, size, sha512}].
doc_json bundle_show(const bundle_s &bundle);

// --- making a bundle ---------------------------------------------------------

enum bundle_form_e { BUNDLE_FORM_TAR, BUNDLE_FORM_DIRECTORY };

// Makes a bundle from a manifest and a directory of its images: each
// component's size and sha512 filled in where the manifest leaves them out
// (and checked where it gives them), the other members kept as written, the
// manifest written as indented JSON and signed with the private key (an
// empty key path makes an unsigned bundle, for the lab). A tar is written
// deterministically (manifest, signature, images in manifest order; mode
// 0644, owner 0, mtime 0); a directory bundle likewise. Either is made
// beside output and renamed onto it: a tar replaces a file of that name, a
// directory bundle needs a name that does not exist yet.
// On success *made holds what bundle_open would return for it, without
// descriptors, when made is given.
[[nodiscard]] bool bundle_create(const std::string &manifest_path, const std::string &images_dir,
                                 const std::string &private_key_path, const std::string &output, bundle_error_s *error,
                                 bundle_form_e form = BUNDLE_FORM_TAR, bundle_s *made = nullptr);

// --- a card against the manifest ---------------------------------------------

// The value at a dotted path of an inventory entry (as doc_json of a
// doc_card_s); null when the entry has none (a partition the card lacks, a
// secure component that refused). partitions.<name> finds the partition
// whose name or catalogue number matches.
doc_json bundle_fact(const doc_json &card, const std::string &field);

// Whether the fact satisfies the rule:
//   eq  equal JSON values, or both whole numbers (a JSON number or a text
//       such as "0x1f") of one value
//   ne  not eq (an absent fact fails every rule, ne included)
//   in  eq to one element of the list
//   ge, le  the fact a whole number (or its text) at least / at most value
bool bundle_rule_holds(const bundle_rule_s &rule, const doc_json &fact);

struct bundle_rule_result_s {
    std::string id;
    std::string field;
    std::string op;
    doc_json value;
    doc_json fact;  // null when absent
    bool pass = false;
};
void to_json(doc_json &j, const bundle_rule_result_s &r);  // id, field, op, value, fact, pass

// Every rule of the manifest, in its order, against one card.
std::vector<bundle_rule_result_s> bundle_rules_evaluate(const bundle_manifest_s &manifest, const doc_json &card);
std::vector<bundle_rule_result_s> bundle_rules_evaluate(const bundle_manifest_s &manifest, const doc_card_s &card);

struct bundle_compatibility_s {
    std::string board_id;  // the card's, "0x%08x"
    std::string asic;
    bool board_listed = false;
    bool asic_listed = false;
    bool compatible() const { return board_listed && asic_listed; }
};
void to_json(doc_json &j, const bundle_compatibility_s &c);  // board_id, board_listed, asic, asic_listed, compatible
bundle_compatibility_s bundle_compatible(const bundle_manifest_s &manifest, const doc_card_s &card);

// Signed packages. A signature entry (type "PSIG", variant 0) holds a
// manifest of every other entry of the package, in container order, and an
// Ed25519 signature over the manifest by the key it names; big-endian, as
// the container is:
//
//   manifest: magic "VSM1" | key id [8] | count u32 | count x entry
//   entry:    type u32 | variant u32 | size u64 | digest [32]
//   then:     signature [64]
//
// The digest is BLAKE2b-256 of the entry's data; the key id is the first 8
// bytes of the BLAKE2b-256 digest of the public key. A package may carry
// several signature entries; one that verifies is enough. The cryptography
// is libsodium's.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "package/bpk.h"
#include "package/signature_hooks.h"

constexpr uint32_t bpk_type_signature = 0x50534947;  // "PSIG"

using PublicKey = std::array<unsigned char, 32>;
using SecretKey = std::array<unsigned char, 64>;
using KeyId = std::array<unsigned char, 8>;
using Signature = std::array<unsigned char, 64>;

struct ManifestEntry {
  uint32_t type = 0;
  uint32_t variant = 0;
  uint64_t size = 0;
  Digest digest{};
};

struct Manifest {
  KeyId key_id{};
  std::vector<ManifestEntry> entries;
};

KeyId key_id_of(const PublicKey& key);

// The most signature entries a package may hold: a keyed device refuses a
// package with more.
constexpr size_t signature_entries_limit = 16;

// The manifest as the signature entry holds it.
std::string manifest_bytes(const Manifest& manifest);

// A signature entry's data: nullopt unless it is exactly one manifest
// followed by a signature.
struct SignatureEntry {
  Manifest manifest;
  std::string signed_bytes;  // the manifest as stored
  Signature signature{};
};
std::optional<SignatureEntry> signature_entry_parse(const std::string& data);

// The manifest of the package as it is (signature entries left out), read
// whole: nullopt when an entry cannot be read.
std::optional<Manifest> manifest_of(PackageFile* package);

// The checks for a set of trusted keys, for validate_package; with
// min_version (four numbers), a package must also carry a signed version
// entry (type "FWV\0", variant 0) whose numbers are at or above it, compared
// as compare_versions does: the "+" and the kind letter take no part.
SignatureHooks signature_hooks(const PublicKey* keys, size_t count,
                               const uint32_t* min_version = nullptr);

// The workstation's side (package/signing.cpp; a device program links none
// of it): libsodium started (false without a random source), key ids as
// text, a signature entry's data signed with key, and key files: one key
// per line as hexadecimal digits (64 for a public key, 128 for
// a secret key: the 32-byte seed, then the public key); empty lines and lines
// starting with "#" are left out.
bool signature_library_ready();
std::string key_id_text(const KeyId& id);
std::string signature_entry_bytes(const Manifest& manifest,
                                  const SecretKey& key);
bool key_pair_new(PublicKey* public_key, SecretKey* secret_key);
std::optional<std::vector<PublicKey>> public_keys_read(const char* path);
// The same from a key file's text; and from its key lines.
std::optional<std::vector<PublicKey>> public_keys_parse(std::string_view text);
std::optional<std::vector<PublicKey>> public_keys_of(
    const std::vector<std::string>& lines);
std::optional<SecretKey> secret_key_read(const char* path);
// A secret key from text in the key file's form (standard input, an
// environment variable).
std::optional<SecretKey> secret_key_parse(std::string_view text);
// Whether the secret key's public half is the one its seed makes.
bool secret_key_consistent(const SecretKey& key);
std::string key_text(const unsigned char* bytes, size_t length);

#include "package/signature.h"

#include <fcntl.h>
#include <sodium.h>

#include <algorithm>

#include "common/emit_line.h"
#include "package/big_endian.h"
#include "package/validate.h"
#include "package/version.h"

namespace {

constexpr char manifest_magic[] = "VSM1";
constexpr size_t manifest_head = 4 + 8 + 4;
constexpr size_t manifest_entry = 4 + 4 + 8 + 32;
// A signature entry larger than this is no signature (a manifest lists at
// most a few thousand entries).
constexpr uint64_t signature_entry_limit = 1 << 20;
constexpr size_t listed_limit =
    (signature_entry_limit - manifest_head - 64) / manifest_entry;

static_assert(sizeof(crypto_generichash_blake2b_state) <= sizeof(DigestState));
static_assert(alignof(crypto_generichash_blake2b_state) <=
              alignof(DigestState));
static_assert(crypto_generichash_blake2b_BYTES == std::tuple_size_v<Digest>);
static_assert(crypto_sign_PUBLICKEYBYTES == std::tuple_size_v<PublicKey>);
static_assert(crypto_sign_SECRETKEYBYTES == std::tuple_size_v<SecretKey>);
static_assert(crypto_sign_BYTES == std::tuple_size_v<Signature>);

crypto_generichash_blake2b_state* library_state(DigestState* state) {
  return reinterpret_cast<crypto_generichash_blake2b_state*>(state->bytes);
}

void digest_start(DigestState* state) {
  crypto_generichash_blake2b_init(library_state(state), nullptr, 0,
                                  sizeof(Digest));
}
void digest_feed(DigestState* state, const void* data, size_t length) {
  crypto_generichash_blake2b_update(
      library_state(state), static_cast<const unsigned char*>(data), length);
}
void digest_finish(DigestState* state, Digest* out) {
  crypto_generichash_blake2b_final(library_state(state), out->data(),
                                   out->size());
}

}  // namespace

std::string manifest_bytes(const Manifest& manifest) {
  std::string out(manifest_magic, 4);
  out.append(reinterpret_cast<const char*>(manifest.key_id.data()),
             manifest.key_id.size());
  append_be32(&out, static_cast<uint32_t>(manifest.entries.size()));
  for (const ManifestEntry& e : manifest.entries) {
    append_be32(&out, e.type);
    append_be32(&out, e.variant);
    append_be64(&out, e.size);
    out.append(reinterpret_cast<const char*>(e.digest.data()), e.digest.size());
  }
  return out;
}

namespace {

// The selected entry's data, read whole (it is small), or its digest.
std::optional<std::string> entry_data(PackageFile* package, uint64_t size) {
  std::string data(size, '\0');
  if (bpk_read(package, data.data(), size) != size) return std::nullopt;
  return data;
}
bool entry_digest(PackageFile* package, uint64_t size, Digest* out) {
  DigestState state;
  digest_start(&state);
  char buffer[bpk_chunk * 8];
  while (size != 0) {
    uint64_t want = std::min<uint64_t>(size, sizeof buffer);
    uint64_t got = bpk_read(package, buffer, want);
    if (got == 0) return false;
    digest_feed(&state, buffer, got);
    size -= got;
  }
  digest_finish(&state, out);
  return true;
}

// The package's entries in container order, as a manifest would list them
// (digests not yet taken), and the sizes of its signature entries, whose
// data is read one at a time when it is checked.
struct Listing {
  std::vector<ManifestEntry> entries;
  std::vector<uint64_t> signatures;
};

bool is_signature(uint32_t type, uint32_t variant) {
  return type == bpk_type_signature && variant == 0;
}

std::optional<Listing> list_entries(PackageFile* package) {
  Listing listing;
  if (bpk_rewind(package) < 0) return std::nullopt;
  uint32_t type, crc, variant;
  uint64_t size;
  while (bpk_next_entry(package, &type, &size, &crc, &variant) == 0) {
    if (is_signature(type, variant)) {
      listing.signatures.push_back(size);
    } else {
      listing.entries.push_back({type, variant, size, {}});
    }
    // More than any signature entry can list, or than anyone signs with:
    // refused before a card's million empty entries fill the memory.
    if (listing.entries.size() > listed_limit ||
        listing.signatures.size() > signature_entries_limit) {
      return std::nullopt;
    }
  }
  return listing;
}

// The data of the nth signature entry; one that cannot be read whole, or
// is larger than any signature, is empty (it does not verify).
std::string signature_data(PackageFile* package, size_t n) {
  if (bpk_rewind(package) < 0) return {};
  uint32_t type, crc, variant;
  uint64_t size;
  size_t seen = 0;
  while (bpk_next_entry(package, &type, &size, &crc, &variant) == 0) {
    if (!is_signature(type, variant) || seen++ != n) continue;
    if (size > signature_entry_limit) return {};
    return entry_data(package, size).value_or(std::string());
  }
  return {};
}

// Walks the entries once, in container order, handing visit(n, entry) each
// that is not a signature entry, with the stream at its data; false when
// visit does, or when the walk does not meet exactly count of them. Once
// through, whatever the number of entries: a digest taken by walking again
// from the first entry each time would cost the square of it.
template <typename Visit>
bool walk_listed(PackageFile* package, size_t count, Visit visit) {
  if (bpk_rewind(package) < 0) return false;
  uint32_t crc;
  ManifestEntry entry;
  size_t n = 0;
  while (bpk_next_entry(package, &entry.type, &entry.size, &crc,
                        &entry.variant) == 0) {
    if (is_signature(entry.type, entry.variant)) continue;
    if (n == count || !visit(n++, entry)) return false;
  }
  return n == count;
}

// The version entry is read whole, and its digest taken of the very bytes
// the version floor then reads: a medium that serves other bytes on another
// read cannot pass one version to the signature and another to the floor.
constexpr uint64_t version_text_limit = 4096;
bool version_digest(PackageFile* package, uint64_t size, Digest* out,
                    std::optional<std::string>* text) {
  if (size > version_text_limit) return entry_digest(package, size, out);
  std::optional<std::string> data = entry_data(package, size);
  if (!data) return false;
  DigestState state;
  digest_start(&state);
  digest_feed(&state, data->data(), data->size());
  digest_finish(&state, out);
  *text = std::move(data);
  return true;
}

// Whether a signed version text is at or above the floor.
bool at_floor(const std::optional<std::string>& text, const uint32_t* floor) {
  FirmwareVersion version, least;
  if (!text || parse_version_bytes(text->data(), text->size(), &version) != 0)
    return false;
  std::copy_n(floor, 4, least.numbers);
  return compare_versions(&version, &least) >= 0;
}

bool trusted(const SignatureHooks* hooks, const KeyId& id,
             const PublicKey** key) {
  for (size_t i = 0; i < hooks->key_count; ++i) {
    if (key_id_of(hooks->keys[i]) == id) {
      *key = &hooks->keys[i];
      return true;
    }
  }
  return false;
}

// Whether one signature entry, by a trusted key, covers the listing; the
// text of the version entry it covers (the first of variant 0) in *version.
bool covers(const SignatureHooks* hooks, PackageFile* package,
            const std::string& data, const Listing& listing,
            const ValidatedPackage& images,
            std::optional<std::string>* version) {
  std::optional<SignatureEntry> entry = signature_entry_parse(data);
  const PublicKey* key = nullptr;
  if (!entry || !trusted(hooks, entry->manifest.key_id, &key) ||
      crypto_sign_ed25519_verify_detached(
          entry->signature.data(),
          reinterpret_cast<const unsigned char*>(entry->signed_bytes.data()),
          entry->signed_bytes.size(), key->data()) != 0) {
    return false;
  }
  const std::vector<ManifestEntry>& listed = entry->manifest.entries;
  if (listed.size() != listing.entries.size()) return false;
  for (size_t i = 0; i < listed.size(); ++i) {
    const ManifestEntry& want = listed[i];
    const ManifestEntry& have = listing.entries[i];
    if (want.type != have.type || want.variant != have.variant ||
        want.size != have.size) {
      return false;
    }
  }
  // Only now, with every size as the key's owner signed it, is any data
  // read again: the images' digests come from validation's own reads. The
  // walk meets the entries the listing did, or the package changed.
  bool kernel_seen = false, rootfs_seen = false, version_seen = false;
  return walk_listed(
      package, listed.size(), [&](size_t i, const ManifestEntry& have) {
        const ManifestEntry& want = listed[i];
        if (want.type != have.type || want.variant != have.variant ||
            want.size != have.size) {
          return false;
        }
        Digest digest;
        if (want.type == bpk_type_kernel && want.variant == 0 && !kernel_seen) {
          kernel_seen = true;
          digest = images.kernel.digest;
        } else if (want.type == bpk_type_rootfs && want.variant == 0 &&
                   !rootfs_seen) {
          rootfs_seen = true;
          digest = images.rootfs.digest;
        } else if (want.type == bpk_type_version && want.variant == 0 &&
                   !version_seen) {
          version_seen = true;
          if (!version_digest(package, want.size, &digest, version))
            return false;
        } else if (!entry_digest(package, want.size, &digest)) {
          return false;
        }
        return digest == want.digest;
      });
}

int verify(const SignatureHooks* hooks, PackageFile* package,
           const ValidatedPackage& images) {
  std::optional<Listing> listing = list_entries(package);
  if (listing && listing->signatures.empty()) {
    emit_line(2, "Failed to find signature partition");
    return -1;
  }
  if (listing) {
    for (size_t n = 0; n < listing->signatures.size(); ++n) {
      std::optional<std::string> version;
      std::string data = signature_data(package, n);
      if (!covers(hooks, package, data, *listing, images, &version)) continue;
      if (hooks->min_version != nullptr &&
          !at_floor(version, hooks->min_version)) {
        emit_line(2, "Failed to validate version");
        return -1;
      }
      return 0;
    }
  }
  emit_line(2, "Failed to validate signature");
  return -1;
}

}  // namespace

KeyId key_id_of(const PublicKey& key) {
  Digest digest;
  crypto_generichash_blake2b(digest.data(), digest.size(), key.data(),
                             key.size(), nullptr, 0);
  KeyId id;
  std::copy_n(digest.begin(), id.size(), id.begin());
  return id;
}

std::optional<SignatureEntry> signature_entry_parse(const std::string& data) {
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  if (data.size() < manifest_head + std::tuple_size_v<Signature> ||
      data.compare(0, 4, manifest_magic) != 0) {
    return std::nullopt;
  }
  uint32_t count = get_be32(p + 12);
  uint64_t manifest_size = manifest_head + uint64_t{count} * manifest_entry;
  if (manifest_size + std::tuple_size_v<Signature> != data.size()) {
    return std::nullopt;
  }
  SignatureEntry entry;
  std::copy_n(p + 4, entry.manifest.key_id.size(),
              entry.manifest.key_id.begin());
  for (uint32_t i = 0; i < count; ++i) {
    const unsigned char* e = p + manifest_head + i * manifest_entry;
    ManifestEntry m{get_be32(e), get_be32(e + 4), get_be64(e + 8), {}};
    std::copy_n(e + 16, m.digest.size(), m.digest.begin());
    entry.manifest.entries.push_back(m);
  }
  entry.signed_bytes = data.substr(0, manifest_size);
  std::copy_n(p + manifest_size, entry.signature.size(),
              entry.signature.begin());
  return entry;
}

std::optional<Manifest> manifest_of(PackageFile* package) {
  std::optional<Listing> listing = list_entries(package);
  if (!listing) return std::nullopt;
  Manifest manifest;
  manifest.entries = listing->entries;
  if (!walk_listed(package, manifest.entries.size(),
                   [&](size_t i, const ManifestEntry& entry) {
                     ManifestEntry& listed = manifest.entries[i];
                     return entry.type == listed.type &&
                            entry.variant == listed.variant &&
                            entry.size == listed.size &&
                            entry_digest(package, entry.size, &listed.digest);
                   })) {
    return std::nullopt;
  }
  return manifest;
}

SignatureHooks signature_hooks(const PublicKey* keys, size_t count,
                               const uint32_t* min_version) {
  return {digest_start, digest_feed, digest_finish, verify,
          keys,         count,       min_version};
}

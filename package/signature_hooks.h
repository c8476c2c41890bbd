// What a program built with trusted keys adds to the package checks: a
// digest of each image, computed on the reads already made for its CRC (at
// validation) and for its volume (at installation), and the verdict on the
// package's signature. The cryptography lives in package/signature.cpp
// (libsodium); these are plain calls into it, so that a program built
// without keys carries none of it and checks the CRCs alone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

struct PackageFile;
struct ValidatedPackage;

using Digest = std::array<unsigned char, 32>;

// A running digest's state, whatever the library keeps in it.
struct alignas(64) DigestState {
  unsigned char bytes[384];
};

struct SignatureHooks {
  void (*digest_start)(DigestState* state);
  void (*digest_feed)(DigestState* state, const void* data, size_t length);
  void (*digest_finish)(DigestState* state, Digest* out);
  // 0 when a signature entry by one of the keys lists every other entry of
  // the package with its digest (the images' as validation found them) and,
  // with a version floor, the version entry it signed is at or above the
  // floor; otherwise -1 and the reason on stderr.
  int (*verify)(const SignatureHooks* hooks, PackageFile* package,
                const ValidatedPackage& images);
  const std::array<unsigned char, 32>* keys;
  size_t key_count;
  // The version floor's four numbers, or null: none.
  const uint32_t* min_version;
};

// The checks this program was built with: null unless it links a set of
// trusted keys (package/trusted_keys.cpp), which replaces the default.
const SignatureHooks* trusted_signatures();

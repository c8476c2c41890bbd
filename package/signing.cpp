// What the workstation does with signatures: keys, their files, signing.
#include <sodium.h>

#include <algorithm>
#include <fstream>

#include "package/signature.h"

namespace {

bool parse_hex(const std::string& text, unsigned char* out, size_t length) {
  size_t used = 0;
  return text.size() == length * 2 &&
         sodium_hex2bin(out, length, text.data(), text.size(), nullptr, &used,
                        nullptr) == 0 &&
         used == length;
}

// The key lines of a key file.
std::optional<std::vector<std::string>> key_lines(const char* path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
      line.pop_back();
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  }
  if (in.bad()) return std::nullopt;
  return lines;
}

}  // namespace

bool signature_library_ready() { return sodium_init() >= 0; }

std::string key_text(const unsigned char* bytes, size_t length) {
  std::string text(length * 2 + 1, '\0');
  sodium_bin2hex(text.data(), text.size(), bytes, length);
  text.pop_back();
  return text;
}

std::string key_id_text(const KeyId& id) {
  return key_text(id.data(), id.size());
}

std::string signature_entry_bytes(const Manifest& manifest,
                                  const SecretKey& key) {
  std::string bytes = manifest_bytes(manifest);
  Signature signature;
  crypto_sign_detached(signature.data(), nullptr,
                       reinterpret_cast<const unsigned char*>(bytes.data()),
                       bytes.size(), key.data());
  bytes.append(reinterpret_cast<const char*>(signature.data()),
               signature.size());
  return bytes;
}

bool key_pair_new(PublicKey* public_key, SecretKey* secret_key) {
  return crypto_sign_keypair(public_key->data(), secret_key->data()) == 0;
}

std::optional<std::vector<PublicKey>> public_keys_read(const char* path) {
  std::optional<std::vector<std::string>> lines = key_lines(path);
  if (!lines || lines->empty()) return std::nullopt;
  std::vector<PublicKey> keys;
  for (const std::string& line : *lines) {
    PublicKey key;
    if (!parse_hex(line, key.data(), key.size())) return std::nullopt;
    keys.push_back(key);
  }
  return keys;
}

std::optional<SecretKey> secret_key_read(const char* path) {
  std::optional<std::vector<std::string>> lines = key_lines(path);
  SecretKey key;
  if (!lines || lines->size() != 1 ||
      !parse_hex(lines->front(), key.data(), key.size())) {
    return std::nullopt;
  }
  return key;
}

bool secret_key_consistent(const SecretKey& key) {
  PublicKey derived;
  SecretKey again;
  return crypto_sign_seed_keypair(derived.data(), again.data(), key.data()) ==
             0 &&
         std::equal(derived.begin(), derived.end(), key.begin() + 32);
}

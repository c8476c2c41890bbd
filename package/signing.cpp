// What the workstation does with signatures: keys, their files, signing.
#include <sodium.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string_view>

#include "package/signature.h"

namespace {

bool parse_hex(const std::string& text, unsigned char* out, size_t length) {
  size_t used = 0;
  return text.size() == length * 2 &&
         sodium_hex2bin(out, length, text.data(), text.size(), nullptr, &used,
                        nullptr) == 0 &&
         used == length;
}

// The key lines of a key file's text, by the rule the device build's
// reading follows too (cmake/key_file.cmake): a byte order mark at the
// start is skipped, each line is stripped of white space at both ends, and
// empty lines and lines then starting with "#" are left out.
std::vector<std::string> key_lines_of(std::string_view text) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  std::vector<std::string> lines;
  constexpr std::string_view blanks = " \t\r\n\v\f";
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    size_t first = line.find_first_not_of(blanks);
    if (first == std::string_view::npos) continue;
    line = line.substr(first, line.find_last_not_of(blanks) - first + 1);
    if (line[0] != '#') lines.emplace_back(line);
  }
  return lines;
}

std::optional<std::vector<std::string>> key_lines(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(in)),
                   std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return key_lines_of(text);
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
  if (!lines) return std::nullopt;
  return public_keys_of(*lines);
}

std::optional<std::vector<PublicKey>> public_keys_parse(std::string_view text) {
  return public_keys_of(key_lines_of(text));
}

std::optional<std::vector<PublicKey>> public_keys_of(
    const std::vector<std::string>& lines) {
  if (lines.empty()) return std::nullopt;
  std::vector<PublicKey> keys;
  for (const std::string& line : lines) {
    PublicKey key;
    if (!parse_hex(line, key.data(), key.size())) return std::nullopt;
    keys.push_back(key);
  }
  return keys;
}

std::optional<SecretKey> secret_key_parse(std::string_view text) {
  std::vector<std::string> lines = key_lines_of(text);
  SecretKey key;
  if (lines.size() != 1 || !parse_hex(lines.front(), key.data(), key.size()))
    return std::nullopt;
  return key;
}

std::optional<SecretKey> secret_key_read(const char* path) {
  std::optional<std::vector<std::string>> lines = key_lines(path);
  if (!lines || lines->size() != 1) return std::nullopt;
  return secret_key_parse(lines->front());
}

bool secret_key_consistent(const SecretKey& key) {
  PublicKey derived;
  SecretKey again;
  return crypto_sign_seed_keypair(derived.data(), again.data(), key.data()) ==
             0 &&
         std::equal(derived.begin(), derived.end(), key.begin() + 32);
}

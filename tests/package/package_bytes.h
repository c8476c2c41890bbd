// Container bytes built by hand, field by field, apart from the library's
// layout code (only its big-endian helpers are shared), for tests.
#pragma once

#include <cstdint>
#include <string>

#include "package/big_endian.h"
#include "package/bpk.h"

namespace test_bytes {

// The reference CRC-32, bit by bit.
inline uint32_t crc32(const std::string& data) {
  uint32_t c = 0xFFFFFFFF;
  for (unsigned char b : data) {
    c ^= b;
    for (int i = 0; i < 8; ++i) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
  }
  return ~c;
}

// Four bytes that, appended to prefix, make the CRC-32 of the whole equal
// target: the table indices the last four steps need are found from the end
// backwards (each top byte of the table is unique), then the bytes that
// select them from the register the prefix leaves.
inline std::string crc_forcing_tail(const std::string& prefix,
                                    uint32_t target) {
  uint32_t table[256];
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    table[i] = c;
  }
  uint32_t index[4] = {};
  uint32_t reg = ~target;
  for (int j = 3; j >= 0; --j) {
    for (uint32_t i = 0; i < 256; ++i) {
      if ((table[i] >> 24) == (reg >> 24)) index[j] = i;
    }
    reg = (reg ^ table[index[j]]) << 8;
  }
  uint32_t state = ~crc32(prefix);
  std::string tail;
  for (uint32_t i : index) {
    tail += static_cast<char>((state ^ i) & 0xFF);
    state = (state >> 8) ^ table[i];
  }
  return tail;
}

struct Entry {
  uint32_t type;
  std::string data;
  uint32_t variant = 0;
};

inline std::string entry_header(const Entry& e) {
  std::string h;
  append_be32(&h, e.type);
  append_be64(&h, e.data.size());
  append_be32(&h, crc32(e.data));
  append_be32(&h, e.variant);
  append_be32(&h, 0);
  return h;
}

// A whole, sound container.
inline std::string container(const std::vector<Entry>& entries,
                             uint32_t version = 0x00010000) {
  std::string headers, body;
  uint64_t length = 28;
  for (const Entry& e : entries) {
    headers += entry_header(e);
    body += entry_header(e) + e.data;
    length += 24 + e.data.size();
  }
  std::string h = "VLNR";
  append_be32(&h, version);
  append_be64(&h, length);
  std::string crc_input = h + std::string(12, '\0') + headers;
  append_be32(&h, crc32(crc_input));
  append_be32(&h, 0);
  append_be32(&h, 0);
  return h + body;
}

// Recomputes the container CRC of hand-edited bytes.
inline void reseal(std::string& bytes) {
  std::string input =
      bytes.substr(0, 16) + std::string(4, '\0') + bytes.substr(20, 8);
  uint64_t length = 0;
  for (int i = 0; i < 8; ++i)
    length = length << 8 | static_cast<unsigned char>(bytes[8 + i]);
  size_t pos = 28;
  while (pos + 24 <= bytes.size() && pos < length) {
    input += bytes.substr(pos, 24);
    uint64_t size = 0;
    for (int i = 0; i < 8; ++i)
      size = size << 8 | static_cast<unsigned char>(bytes[pos + 4 + i]);
    pos += 24 + size;
  }
  uint32_t crc = crc32(input);
  for (int i = 0; i < 4; ++i)
    bytes[16 + i] = static_cast<char>(crc >> (24 - 8 * i));
}

}  // namespace test_bytes

// The standard CRC-32 (ITU-T V.42, reflected polynomial 0xEDB88320), with no
// library behind it: the device carries its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace crc32_detail {

// tables[0][i] is the reflected CRC of the byte i; tables[k][i] that of i
// followed by k zero bytes. Four of them let the register take four bytes a
// step (slicing by 4), for runs too short for the braids (below) and their
// last bytes: 4 KiB.
using Tables = std::array<std::array<uint32_t, 256>, 4>;

constexpr Tables make_tables() {
  Tables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit)
      c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (size_t k = 1; k < t.size(); ++k)
    for (uint32_t i = 0; i < 256; ++i)
      t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  return t;
}

inline constexpr Tables tables = make_tables();
inline constexpr const std::array<uint32_t, 256>& table = tables[0];

// Little-endian, whatever the machine: the reflected CRC takes the lowest
// byte first.
inline uint32_t load_le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The register after bytes, with no complement before or after: four bytes
// a step, then byte by byte.
inline uint32_t crc32_slice(uint32_t c, const unsigned char* p, size_t length) {
  for (; length >= 4; p += 4, length -= 4) {
    uint32_t w = load_le32(p) ^ c;
    c = tables[3][w & 0xFF] ^ tables[2][(w >> 8) & 0xFF] ^
        tables[1][(w >> 16) & 0xFF] ^ tables[0][w >> 24];
  }
  for (; length > 0; ++p, --length) c = tables[0][(c ^ *p) & 0xFF] ^ (c >> 8);
  return c;
}

// The same, faster from eight words on (64 bytes; 32 on the device): the
// run's words go through four registers side by side (braids), folded into
// one at the end.
uint32_t crc32_update(uint32_t c, const unsigned char* p, size_t length);

}  // namespace crc32_detail

// The bare register step: no complement before or after. A length of 0 or
// less leaves the register as it is.
uint32_t crc32_feed(const void* bytes, long length, uint32_t register_value);

// The standard CRC-32 (ITU-T V.42, reflected polynomial 0xEDB88320), with no
// library behind it: the device carries its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace crc32_detail {

constexpr std::array<uint32_t, 256> make_table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit)
      c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

// Entry i is the reflected CRC of the byte i.
inline constexpr std::array<uint32_t, 256> table = make_table();

}  // namespace crc32_detail

// The bare register step: no complement before or after. A length of 0 or
// less leaves the register as it is.
uint32_t crc32_feed(const void* bytes, long length, uint32_t register_value);

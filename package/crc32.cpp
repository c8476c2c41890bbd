#include "package/crc32.h"

uint32_t crc32_feed(const void* bytes, long length, uint32_t register_value) {
  const auto* p = static_cast<const unsigned char*>(bytes);
  for (long i = 0; i < length; ++i) {
    register_value = crc32_detail::table[(register_value ^ p[i]) & 0xFF] ^
                     (register_value >> 8);
  }
  return register_value;
}

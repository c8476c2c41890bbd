#include "package/crc32.h"

namespace crc32_detail {
namespace {

// Arithmetic on polynomials over GF(2) modulo the CRC polynomial, in the
// reflected order the register uses (x^0 is the top bit).
constexpr uint32_t poly = 0xEDB88320u;

constexpr uint32_t multiply(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (uint32_t m = 1u << 31; m != 0; m >>= 1) {
    if (a & m) product ^= b;
    b = (b & 1) ? (b >> 1) ^ poly : b >> 1;
  }
  return product;
}

// x^(2^k) for k = 0..31.
constexpr std::array<uint32_t, 32> make_powers() {
  std::array<uint32_t, 32> p{};
  p[0] = 1u << 30;  // x^1
  for (size_t k = 1; k < p.size(); ++k) p[k] = multiply(p[k - 1], p[k - 1]);
  return p;
}
constexpr std::array<uint32_t, 32> powers = make_powers();

// x^(8n): what carries a register over n zero bytes.
uint32_t zeros_operator(size_t n) {
  uint32_t x = 1u << 31;  // x^0
  for (size_t k = 3; n != 0; n >>= 1, ++k)
    if (n & 1) x = multiply(powers[k % 32], x);
  return x;
}

}  // namespace

uint32_t crc32_update(uint32_t c, const unsigned char* p, size_t length) {
  // Four dependency chains instead of one: each step waits for the step
  // before it, so the processor can run the four at once.
  constexpr size_t lanes = 4;
  size_t part = length / (lanes * 16) * 16;
  if (part < 256) return crc32_slice(c, p, length);
  uint32_t r[lanes] = {c};
  for (size_t at = 0; at < part; at += 16)
    for (size_t j = 0; j < lanes; ++j)
      r[j] = crc32_step16(r[j], p + j * part + at);
  // The register is linear: the run's register is each part's, carried
  // over the bytes behind it. Callers feed runs of one size over and over
  // (a chunk, a block), so the carrying operators are kept for the last.
  thread_local size_t carried_part = 0;
  thread_local uint32_t carry[lanes - 1];
  if (part != carried_part) {
    for (size_t j = 0; j + 1 < lanes; ++j)
      carry[j] = zeros_operator((lanes - 1 - j) * part);
    carried_part = part;
  }
  c = r[lanes - 1];
  for (size_t j = 0; j + 1 < lanes; ++j) c ^= multiply(carry[j], r[j]);
  return crc32_slice(c, p + lanes * part, length - lanes * part);
}

}  // namespace crc32_detail

uint32_t crc32_feed(const void* bytes, long length, uint32_t register_value) {
  if (length <= 0) return register_value;
  return crc32_detail::crc32_update(register_value,
                                    static_cast<const unsigned char*>(bytes),
                                    static_cast<size_t>(length));
}

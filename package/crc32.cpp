#include "package/crc32.h"

#include <bit>
#include <cstring>
#include <utility>

namespace crc32_detail {
namespace {

// Braids: the run is read as words of the machine's size, dealt in turn to
// four registers, each of which sees every fourth word. The four chains of
// table lookups do not wait for each other, so the processor runs them side
// by side (four measured faster than five here); at the end of the run the
// four are folded into one with the same tables. No multiplying of
// polynomials to join them, so short runs (the 2048 and 4096 bytes the
// installation feeds) gain as much as long ones.
using Word = size_t;
constexpr size_t braids = 4;
constexpr size_t word_bytes = sizeof(Word);

// braid_tables[k][v]: the register that byte v at position k of a word
// (the rest of the word zero) leaves braids * word_bytes bytes on, where
// the same braid's next word begins. 8 KiB with 64-bit words, 4 KiB with
// 32-bit ones (the device).
using BraidTables = std::array<std::array<uint32_t, 256>, word_bytes>;

constexpr BraidTables make_braid_tables() {
  BraidTables t{};
  for (size_t k = 0; k < word_bytes; ++k) {
    for (uint32_t v = 0; v < 256; ++v) {
      uint32_t reg = 0;
      for (size_t i = 0; i < braids * word_bytes; ++i) {
        uint32_t byte = i == k ? v : 0;
        reg = (reg >> 8) ^ table[(reg ^ byte) & 0xFF];
      }
      t[k][v] = reg;
    }
  }
  return t;
}
constexpr BraidTables braid_tables = make_braid_tables();

Word load_word(const unsigned char* p) {
  Word w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// One braid's word carried to where the braid's next word begins: a lookup
// a byte, written out so that every compiler unrolls it.
template <size_t... k>
[[gnu::always_inline]] inline uint32_t braid_lookups(
    Word word, std::index_sequence<k...>) {
  return (braid_tables[k][(word >> (8 * k)) & 0xFF] ^ ...);
}
[[gnu::always_inline]] inline uint32_t braid_step(Word word) {
  return braid_lookups(word, std::make_index_sequence<word_bytes>());
}

}  // namespace

uint32_t crc32_update(uint32_t c, const unsigned char* p, size_t length) {
  constexpr size_t block = braids * word_bytes;
  // Words are read as the machine stores them: the braids need the
  // register's lowest byte first, as a little-endian machine has it.
  if constexpr (std::endian::native != std::endian::little) {
    return crc32_slice(c, p, length);
  }
  if (length < 2 * block) return crc32_slice(c, p, length);
  size_t blocks = length / block;
  uint32_t crc0 = c, crc1 = 0, crc2 = 0, crc3 = 0;
  for (size_t b = 0; b + 1 < blocks; ++b, p += block) {
    crc0 = braid_step(crc0 ^ load_word(p));
    crc1 = braid_step(crc1 ^ load_word(p + word_bytes));
    crc2 = braid_step(crc2 ^ load_word(p + 2 * word_bytes));
    crc3 = braid_step(crc3 ^ load_word(p + 3 * word_bytes));
  }
  // The last block folds the braids into one register. The CRC is linear:
  // the register at the block's end is the first braid's word carried over
  // the block (one braid step, as in the loop) plus the rest of the block
  // taken from a zero register, each braid's word with the register so far,
  // four bytes a lookup round. The step runs beside that chain, which is
  // one word shorter than a fold of all four.
  uint32_t rest = crc32_slice(crc1, p + word_bytes, word_bytes);
  rest = crc32_slice(crc2 ^ rest, p + 2 * word_bytes, word_bytes);
  rest = crc32_slice(crc3 ^ rest, p + 3 * word_bytes, word_bytes);
  uint32_t folded = braid_step(crc0 ^ load_word(p)) ^ rest;
  p += block;
  return crc32_slice(folded, p, length - blocks * block);
}

}  // namespace crc32_detail

uint32_t crc32_feed(const void* bytes, long length, uint32_t register_value) {
  if (length <= 0) return register_value;
  return crc32_detail::crc32_update(register_value,
                                    static_cast<const unsigned char*>(bytes),
                                    static_cast<size_t>(length));
}

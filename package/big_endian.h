// Big-endian numbers, as every byte layout of a package holds them (the
// container and entry headers, the signature entry and its manifest).
#pragma once

#include <cstdint>
#include <string>

inline void put_be32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}
inline void put_be64(unsigned char* p, uint64_t v) {
  put_be32(p, static_cast<uint32_t>(v >> 32));
  put_be32(p + 4, static_cast<uint32_t>(v));
}
inline uint32_t get_be32(const unsigned char* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 |
         uint32_t{p[3]};
}
inline uint64_t get_be64(const unsigned char* p) {
  return uint64_t{get_be32(p)} << 32 | get_be32(p + 4);
}
inline void append_be32(std::string* out, uint32_t v) {
  unsigned char b[4];
  put_be32(b, v);
  out->append(reinterpret_cast<const char*>(b), sizeof b);
}
inline void append_be64(std::string* out, uint64_t v) {
  unsigned char b[8];
  put_be64(b, v);
  out->append(reinterpret_cast<const char*>(b), sizeof b);
}

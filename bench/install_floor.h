// The least an installation of a package does, with plain files: the
// package read twice (once to check the image's CRC, once to copy it), the
// image written once to a new file and read back once with its CRC, the
// CRCs being zlib's. install_bench measures velnor-sim install against it.
#pragma once

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <memory>

// How a floor reads, writes and feeds the CRC: plain files in 128 KiB
// calls, or the calls the installation itself makes (the package checked
// 64 KiB a read and 2048 bytes a CRC call, the image copied one erase block
// of the volume at a time, read back 4 KiB a read and a CRC call).
struct Calls {
  size_t check_read, check_crc, copy, read_back;
};
constexpr Calls plain_calls = {128 << 10, 128 << 10, 128 << 10, 128 << 10};
constexpr Calls installation_calls = {64 << 10, 2048, 129024, 4096};

// Reads the file through in reads of size bytes, feeding zlib's CRC crc
// bytes a call when crc is not 0; copies it to out when out is open.
inline uLong pass(const std::filesystem::path& path, size_t size, size_t crc,
                  int out = -1) {
  int in = open(path.c_str(), O_RDONLY);
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[size]);
  uLong c = 0;
  for (ssize_t n; (n = read(in, buffer.get(), size)) > 0;) {
    for (size_t at = 0; crc != 0 && at < static_cast<size_t>(n); at += crc) {
      c = crc32(c, buffer.get() + at,
                static_cast<uInt>(std::min(crc, static_cast<size_t>(n) - at)));
    }
    if (out >= 0 && write(out, buffer.get(), static_cast<size_t>(n)) != n)
      break;
  }
  close(in);
  return c;
}

// What any installation of the package must at least do, with plain files.
inline uLong floor_install(const std::filesystem::path& package,
                           const std::filesystem::path& image,
                           const Calls& calls = plain_calls) {
  uLong checked = pass(package, calls.check_read, calls.check_crc);
  int out = open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pass(package, calls.copy, 0, out);
  close(out);
  return checked ^ pass(image, calls.read_back, calls.read_back);
}

#include "package/hex_word.h"

#include <fcntl.h>

#include "common/emit_line.h"
#include "common/os.h"
#include "common/unique_fd.h"

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int corrupted(const char* path) {
  emit_line(2, "Corrupted file: ", path);
  return -1;
}

}  // namespace

int read_hex_word_file(const char* path, uint32_t* value) {
  if (path == nullptr || value == nullptr) return -1;
  unique_fd fd(os::open(path, O_RDONLY));
  if (!fd.ok()) {
    emit_line(2, "Failed to open file ", path);
    return -1;
  }
  *value = 0;
  char text[11];
  ssize_t got = os::read(fd.get(), text, sizeof text);
  if (got < 10) return corrupted(path);
  if (text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) {
    emit_line(2, "Couldn't find '0x' pattern in file: ", path);
    return corrupted(path);
  }
  for (int i = 2; i < 10; ++i) {
    int digit = hex_digit(text[i]);
    if (digit < 0) return corrupted(path);
    *value = *value << 4 | static_cast<uint32_t>(digit);
  }
  if (got == 11 && text[10] != '\0' && text[10] != '\n' && text[10] != '\r' &&
      text[10] != ' ') {
    return corrupted(path);
  }
  return 0;
}

int write_hex_word_file(const char* path, uint32_t value) {
  if (path == nullptr) return -1;
  unique_fd fd(os::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0655));
  if (!fd.ok()) {
    emit_line(2, "Failed to create file ", path);
    return -1;
  }
  static const char digits[] = "0123456789ABCDEF";
  char text[11] = {'0', 'x'};
  for (int i = 0; i < 8; ++i)
    text[2 + i] = digits[(value >> (28 - 4 * i)) & 0xF];
  text[10] = '\n';
  return os::write(fd.get(), text, sizeof text) == sizeof text ? 0 : -1;
}

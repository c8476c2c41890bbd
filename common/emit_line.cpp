#include "common/emit_line.h"

#include <cerrno>
#include <cstring>

#include "common/os.h"

void emit_pieces(int fd, std::initializer_list<std::string_view> pieces) {
  for (std::string_view piece : pieces) {
    (void)!os::write(fd, piece.data(), piece.size());
  }
  (void)!os::write(fd, "\n", 1);
}

const char* errno_text() { return std::strerror(errno); }

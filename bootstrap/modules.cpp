#include "bootstrap/modules.h"

#include <fcntl.h>

#include <cstring>

#include "common/emit_line.h"
#include "common/os.h"
#include "common/run_program.h"
#include "common/unique_fd.h"

namespace {
constexpr size_t cmdline_limit = 4096;
}

int load_modules() {
  static const char* const argv[] = {"/sbin/modprobe", "bootstrap", nullptr};
  static const char* const envp[] = {nullptr};
  return run_program(argv, envp);
}

std::string find_init() {
  const std::string fallback = "/sbin/init";
  unique_fd fd(os::open("/proc/cmdline", O_RDONLY));
  if (!fd.ok()) return fallback;
  char text[cmdline_limit + 1];
  ssize_t got = os::read(fd.get(), text, cmdline_limit);
  if (got <= 0) return fallback;
  text[got] = '\0';
  // The first "init=" that is a parameter of its own (at the start or after
  // white space, where the kernel splits its parameters), not the end of a
  // longer name such as "rdinit=".
  constexpr char blanks[] = " \t\n\v\f\r";
  char* value = text;
  while ((value = std::strstr(value, "init=")) != nullptr && value != text &&
         std::strchr(blanks, value[-1]) == nullptr) {
    ++value;
  }
  if (value == nullptr) return fallback;
  value += 5;
  if (*value == '"') ++value;
  // White space (the line feed that ends the command line among it) or a
  // closing quote ends the value.
  value[std::strcspn(value, " \t\n\v\f\r\"")] = '\0';
  emit_line(1, "Using ", value, " as init");
  return value;
}

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

std::optional<std::string> cmdline_init(std::string_view cmdline) {
  // The first "init=" that is a parameter of its own (at the start or after
  // white space, where the kernel splits its parameters), not the end of a
  // longer name such as "rdinit=".
  constexpr std::string_view blanks = " \t\n\v\f\r";
  cmdline = cmdline.substr(0, cmdline.find('\0'));  // the text ends there
  size_t at = 0;
  while ((at = cmdline.find("init=", at)) != std::string_view::npos &&
         at != 0 && blanks.find(cmdline[at - 1]) == std::string_view::npos) {
    ++at;
  }
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view value = cmdline.substr(at + 5);
  if (value.starts_with('"')) value.remove_prefix(1);
  // White space (the line feed that ends the command line among it) or a
  // closing quote ends the value.
  return std::string(value.substr(0, value.find_first_of(" \t\n\v\f\r\"")));
}

std::string find_init() {
  const std::string fallback = "/sbin/init";
  unique_fd fd(os::open("/proc/cmdline", O_RDONLY));
  if (!fd.ok()) return fallback;
  char text[cmdline_limit];
  ssize_t got = os::read(fd.get(), text, cmdline_limit);
  if (got <= 0) return fallback;
  std::optional<std::string> init =
      cmdline_init(std::string_view(text, static_cast<size_t>(got)));
  if (!init) return fallback;
  emit_line(1, "Using ", *init, " as init");
  return *init;
}

// Arbitrary bytes as the kernel's command line: the init= search.
#include <cstdint>
#include <string>
#include <string_view>

#include "bootstrap/modules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<std::string> init = cmdline_init(text);
  if (!init) return 0;
  // The value holds no white space, quote or NUL, and is found in the text
  // after a parameter "init=" of its own.
  if (init->find_first_of(std::string_view(" \t\n\v\f\r\"\0", 8)) !=
      std::string::npos) {
    __builtin_trap();
  }
  size_t at = text.find("init=" + *init);
  size_t quoted = text.find("init=\"" + *init);
  if (at == std::string_view::npos && quoted == std::string_view::npos) {
    __builtin_trap();
  }
  return 0;
}

#include "bootstrap/leds.h"

#include <fcntl.h>

#include <cstring>
#include <string>

#include "common/decimal.h"
#include "common/emit_line.h"
#include "common/os.h"
#include "common/unique_fd.h"

namespace {

int write_attribute(const char* name, const char* attribute,
                    const char* value) {
  std::string path = std::string("/sys/class/leds/") + name + "/" + attribute;
  return led_write(path.c_str(), value);
}

// Writes (attribute, value) pairs in order, stopping at the first failure.
int write_all(
    const char* name,
    std::initializer_list<std::pair<const char*, const char*>> pairs) {
  for (const auto& [attribute, value] : pairs) {
    if (write_attribute(name, attribute, value) != 0) return -1;
  }
  return 0;
}

}  // namespace

int led_write(const char* path, const char* value) {
  unique_fd fd(os::open(path, O_WRONLY));
  size_t length = std::strlen(value);
  if (!fd.ok() ||
      os::write(fd.get(), value, length) != static_cast<ssize_t>(length)) {
    emit_line(2, "Failed to led_write on ", path, " with ", value);
    return -1;
  }
  return 0;
}

int led_timer(const char* name, uint32_t on_ms, uint32_t off_ms) {
  char on[11], off[11];
  format_decimal(on, on_ms);
  format_decimal(off, off_ms);
  return write_all(name, {{"brightness", "255"},
                          {"trigger", "timer\n"},
                          {"delay_on", on},
                          {"delay_off", off}});
}

int led_heartbeat(const char* name) {
  return write_all(name, {{"brightness", "255"}, {"trigger", "heartbeat\n"}});
}

int led_on(const char* name) {
  return write_all(name, {{"brightness", "255"}, {"trigger", "default-on\n"}});
}

int led_off(const char* name) {
  return write_all(name, {{"brightness", "0"}, {"trigger", "none\n"}});
}

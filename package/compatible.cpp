#include "package/compatible.h"

#include <cstring>
#include <string>

#include "boards/board.h"
#include "common/emit_line.h"

bool compatible_name_valid(std::string_view text) {
  if (text.empty() || text.size() > compatible_name_max) return false;
  for (char c : text) {
    bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                   (c >= '0' && c <= '9') || std::strchr("._,+-", c) != nullptr;
    if (!allowed || c == '\0') return false;
  }
  return true;
}

[[gnu::weak]] const char* device_compatible() {
  return device_board().compatible;
}

std::string compatible_entry_name(PackageFile* package, uint64_t size,
                                  uint32_t crc) {
  if (size == 0 || size > compatible_name_max) return "";
  uint32_t actual = 0;
  if (bpk_entry_crc_checked(package, &actual) != 0 || actual != crc) return "";
  std::string text(size, '\0');
  if (bpk_read(package, text.data(), size) != size) return "";
  return compatible_name_valid(text) ? text : "";
}

int check_compatible(PackageFile* package, const char* board) {
  if (board == nullptr) return 0;
  bool named = false, matches = false;
  bpk_rewind(package);
  uint64_t size;
  uint32_t crc, variant, type;
  while (bpk_next_entry(package, &type, &size, &crc, &variant) == 0) {
    if (type != bpk_type_compatible) continue;
    named = true;
    matches = matches || compatible_entry_name(package, size, crc) == board;
  }
  bpk_rewind(package);
  if (!named || matches) return 0;
  emit_line(2, "Failed to validate compatible");
  return -1;
}

#include "common/progress.h"

#include <optional>

#include "common/decimal.h"
#include "common/os.h"

namespace {
// Settled once, on the first step of the process.
std::optional<bool> stdout_is_terminal;

void (*progress_hook)() = nullptr;
uint64_t moved_since_notice = 0;
}  // namespace

void set_progress_hook(void (*hook)()) {
  progress_hook = hook;
  moved_since_notice = 0;
}

void note_progress(size_t bytes) {
  if (progress_hook == nullptr) return;
  moved_since_notice += bytes;
  if (moved_since_notice < progress_notice_bytes) return;
  moved_since_notice = 0;
  progress_hook();
}

void show_progress_forget_terminal() { stdout_is_terminal.reset(); }

uint32_t show_progress(uint32_t remaining, uint32_t total,
                       uint32_t previous_width) {
  if (!stdout_is_terminal) stdout_is_terminal = os::isatty(1) == 1;
  if (!*stdout_is_terminal) {
    (void)!os::write(1, ".", 1);
    return 0;
  }
  for (uint32_t i = 0; i < previous_width; ++i) (void)!os::write(1, "\b", 1);
  uint64_t done = remaining < total ? total - remaining : 0;
  auto percent = static_cast<uint32_t>(done * 100 / total);
  char digits[11];
  int count = format_decimal(digits, percent);
  (void)!os::write(1, digits, static_cast<size_t>(count));
  (void)!os::write(1, "%", 1);
  return static_cast<uint32_t>(count) + 1;
}

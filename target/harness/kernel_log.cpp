#include "target/harness/kernel_log.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

KernelLog::KernelLog()
    : fd_(open("/dev/kmsg", O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {
  if (fd_.ok()) lseek(fd_.get(), 0, SEEK_END);
}

bool KernelLog::saw(const char* text) {
  bool found = false;
  char record[8192];
  for (;;) {
    ssize_t n = read(fd_.get(), record, sizeof record - 1);
    if (n < 0 && errno == EPIPE) continue;  // overwritten: read on
    if (n <= 0) return found;
    record[n] = '\0';
    if (std::strstr(record, text) != nullptr) found = true;
  }
}

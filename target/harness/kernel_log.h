// The kernel's log from the moment it is opened, for the harness: UBI says
// when it emulates a power cut, softdog when its timer ran out.
#pragma once

#include "common/unique_fd.h"

class KernelLog {
 public:
  KernelLog();
  bool ok() const { return fd_.ok(); }
  // Whether a record logged since the last call holds text.
  bool saw(const char* text);

 private:
  unique_fd fd_;
};

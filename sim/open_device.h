// What lies behind a descriptor of the simulated device that is not a plain
// host file: an open device node or a kernel socket. Each model of the board
// derives from OpenDevice; drivers.cpp maps device numbers to models.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <memory>

#include "sim/kernel_state.h"
#include "sim/nodes.h"

namespace sim {

class OpenDevice {
 public:
  virtual ~OpenDevice() = default;
  // Each returns as the system call would, with errno set on failure.
  virtual ssize_t read(void*, size_t) { return fail(EINVAL); }
  virtual ssize_t write(const void*, size_t) { return fail(EINVAL); }
  virtual off_t lseek(off_t, int) { return fail(ESPIPE); }
  virtual int ioctl(unsigned long, void*) { return fail(ENOTTY); }
  virtual void* mmap(size_t, int, int, off_t) {
    errno = ENODEV;
    return reinterpret_cast<void*>(-1);
  }
  virtual int bind(const void*, size_t) { return fail(ENOTSOCK); }
  virtual ssize_t recv(void*, size_t, int) { return fail(ENOTSOCK); }
  // Whether a read would not block now (called with the kernel state locked).
  virtual bool readable(const KernelState&) { return true; }

 protected:
  static int fail(int error) {
    errno = error;
    return -1;
  }
};

// Opens the model behind a node; null with errno set (ENXIO when no driver
// serves that number, as the kernel answers).
std::unique_ptr<OpenDevice> open_node(const NodeId& id, int flags);

}  // namespace sim

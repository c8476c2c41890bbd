// velnor-bootstrap: the first process of the device.
#include <exception>

#include "bootstrap/boot_sequence.h"
#include "common/emit_line.h"

// As PID 1 it must never die: the kernel would panic. Whatever escapes the
// boot sequence ends in a restart instead.
int main(int argc, char** argv) {
  try {
    return boot_main(argc, argv);
  } catch (const std::exception& e) {
    emit_line(2, "Boot failed: ", e.what());
  } catch (...) {
    emit_line(2, "Boot failed");
  }
  restart_system();
  return 0;
}

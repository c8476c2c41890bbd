// The board's device drivers, by node type and number.
#include <sys/stat.h>

#include "sim/board.h"
#include "sim/flash_devices.h"
#include "sim/flash_model.h"
#include "sim/open_device.h"
#include "sim/watchdog_device.h"

namespace sim {

std::unique_ptr<OpenDevice> open_node(const NodeId& id, int flags) {
  if (id.type == S_IFCHR) {
    if (id.major == ubi_ctrl_major && id.minor == ubi_ctrl_minor) {
      return open_ubi_ctrl(flags);
    }
    if (id.major == watchdog_major && id.minor == watchdog_minor) {
      return open_watchdog(flags);
    }
    if (id.major == mtd_char_major) return open_mtd_char(id.minor, flags);
    if (id.major == 1 && id.minor == 1) return open_mem(flags);
    if (id.major <= ubi_major_base && id.major > ubi_major_base - 32) {
      return open_ubi_node(id.major, id.minor, flags);
    }
  } else if (id.major == mtd_block_major) {
    return open_mtd_block(id.minor, flags);
  } else if (id.major == ubiblock_major) {
    return open_ubi_block(id.minor, flags);
  } else if (std::optional<Medium> m = medium_of_device(id.major, id.minor)) {
    return open_medium(*m, flags);
  }
  errno = ENXIO;
  return nullptr;
}

}  // namespace sim

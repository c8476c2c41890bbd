// The board's device drivers, by node type and number.
#include "sim/open_device.h"

namespace sim {

std::unique_ptr<OpenDevice> open_node(const NodeId&, int) {
  errno = ENXIO;
  return nullptr;
}

}  // namespace sim

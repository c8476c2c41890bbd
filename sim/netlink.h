// The kernel's device-event socket (NETLINK_KOBJECT_UEVENT) on the simulated
// device: it receives the events posted after it was bound.
#pragma once

#include <memory>

#include "sim/open_device.h"

namespace sim {

std::unique_ptr<OpenDevice> open_uevent_socket();

}  // namespace sim

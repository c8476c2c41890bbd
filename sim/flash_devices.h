// The flash's device nodes: the UBI control node, UBI devices and volumes,
// MTD character and block devices, UBI block devices.
#pragma once

#include <memory>

#include "sim/open_device.h"

namespace sim {

std::unique_ptr<OpenDevice> open_ubi_ctrl(int flags);
std::unique_ptr<OpenDevice> open_ubi_node(unsigned major, unsigned minor,
                                          int flags);
std::unique_ptr<OpenDevice> open_mtd_char(unsigned minor, int flags);
std::unique_ptr<OpenDevice> open_mtd_block(unsigned minor, int flags);
std::unique_ptr<OpenDevice> open_ubi_block(unsigned minor, int flags);

}  // namespace sim

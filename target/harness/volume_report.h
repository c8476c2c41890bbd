// What the flash holds, as the next boot would find it: the harness attaches
// the UBI partition, reads every volume and detaches again.
#pragma once

#include <string>
#include <vector>

// One line per volume, by name: "volume NAME: BYTES bytes, crc 0xCRC", then
// ", corrupted" and ", update marker" when the kernel says so; or one line
// that tells why there is nothing to read.
std::vector<std::string> report_volumes();

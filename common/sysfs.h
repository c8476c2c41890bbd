// Readers for sysfs attributes: directory + "/" + name, read as text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The attribute's bytes up to the first NUL, line feed or carriage return, or
// to the end of the file; at most 2047 characters. Failures to open or read
// are reported; an over-long value gives nullopt silently.
std::optional<std::string> sysfs_read_string(std::string_view directory,
                                             std::string_view name);

// 1 when the attribute holds the single digit 0, 0 when it holds anything
// else, -1 on failure (reported).
int sysfs_attr_is_zero(std::string_view directory, std::string_view name);

// A signed decimal number: 0, or -1 when unreadable (reported) or when it
// holds no digit (not reported; result then 0).
int sysfs_read_int64(std::string_view directory, std::string_view name,
                     int64_t* result);

// As sysfs_read_int64, keeping the low 32 bits; result untouched on failure.
int sysfs_read_int(std::string_view directory, std::string_view name,
                   int32_t* result);

// The device number in the directory's "dev" attribute ("major:minor"),
// encoded as mknod takes it.
int sysfs_read_devnum(std::string_view directory, uint32_t* result);

// Making a missing device node from its sysfs directory's "dev" attribute:
// the step that failed, so that each caller prints its own lines. The
// reader's own failure line has been written for no_number; errno holds
// mknod's error for no_node.
enum class NodeMade { made, no_number, no_node };
[[nodiscard]] NodeMade make_node_from_sysfs(const char* path,
                                            std::string_view sysfs_dir,
                                            unsigned mode);

// The kernel's 32-bit device number encoding.
constexpr uint32_t encode_devnum(uint32_t major, uint32_t minor) {
  return (minor & 0xFF) | ((major & 0xFFF) << 8) |
         (((minor >> 8) & 0xFFF) << 20);
}

// Permissions and file types of the device nodes the system creates.
constexpr unsigned char_node_mode = 8630;    // character device, 0666
constexpr unsigned block_node_mode = 25014;  // block device, 0666

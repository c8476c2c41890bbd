// The rest of the board around the flash: the boot flag register behind
// /dev/mem, the LEDs, the MMC card and the USB stick, the mounts, and what a
// restart resets.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "boards/board.h"
#include "sim/open_device.h"

namespace sim {

// ---- the board ----
// The board the device in dir was made as (velnor-sim init --board).
const Board& board_of(const std::string& dir);

// ---- boot flag register ----
// The register's page of the device's board, kept in a file.
std::string bootflag_file(const std::string& dir);
std::optional<uint32_t> bootflag_get(const std::string& dir);
bool bootflag_set(const std::string& dir, uint32_t value);
std::unique_ptr<OpenDevice> open_mem(int flags);

// ---- removable media ----
enum class Medium { mmc, usb };
struct MediumState {
  bool present = false;
  std::string fstype;  // empty: not formatted
  uint32_t late_ms = 0;
  // Faults of a bad medium (0: none).
  uint64_t capacity = 0;       // bytes its files may take in all
  uint64_t read_error_at = 0;  // reads of a file reaching this offset fail
  uint64_t removed_after = 0;  // gone once a file has given this many bytes
  // From its second read through one descriptor on, the five bytes of a file
  // at this offset read otherwise, with the file's CRC-32 unchanged.
  uint64_t reread_differs_at = 0;
};
const char* medium_name(Medium m);
MediumState medium_get(const std::string& dir, Medium m);
void medium_set(const std::string& dir, Medium m, const MediumState& state);
std::string medium_files(const std::string& dir, Medium m);
std::optional<Medium> medium_of_device(unsigned major, unsigned minor);
std::unique_ptr<OpenDevice> open_medium(Medium m, int flags);
std::optional<Medium> medium_of_mount(uint32_t dev);

// ---- mounts ----
int board_mount(const char* source, const char* target, const char* fstype,
                unsigned long flags);
int board_umount(const char* target);

// ---- LEDs ----
// Applies the LED class's reaction to a write of an attribute at path.
void led_attribute_written(const std::string& device_path);

// ---- restart ----
// Puts the board in the state of a fresh power-on with the flash, the
// register and the media as they are: clock, processes, mounts, watchdog,
// kernel state of the flash, /dev, /tmp, LEDs and the kernel command line.
void board_reset(const std::string& dir, const std::string& cmdline);

}  // namespace sim

// The facts of the boards velnor runs on: everything that differs from one
// board to another, in one place. A device build selects its board
// (-DVELNOR_BOARD=NAME; "reference", the board this system was first built
// for, by default); the simulated device can be made as any of them
// (velnor-sim init --board NAME). docs/PORTING.md adds a board.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

// A removable medium: its partition's device node and sysfs directory, the
// file system it is mounted with, and (for the simulated device) the device
// number the kernel gives it.
struct BoardMedium {
  const char* device;
  const char* sysfs;
  const char* fstype;
  uint32_t major;
  uint32_t minor;
};

struct Board {
  const char* name;
  // The board name packages carry (compatible entries); null: the board
  // has none, and ignores what packages name.
  const char* compatible;
  // The boot flag register: 32 bits at this physical address, in a page
  // that /dev/mem maps.
  uint64_t bootflag_address;
  const char* ubi_partition;  // the MTD partition of the UBI device
  BoardMedium card;           // the SD card, ext3
  BoardMedium stick;          // the USB stick, vfat
  const char* led_red;        // /sys/class/leds/<name>
  const char* led_green;
  const char* watchdog_device;
  const char* watchdog_sysfs;
};

inline constexpr Board boards[] = {
    {"reference",
     nullptr,
     0xFFFFFD58,
     "nand0.ubi",
     {"/dev/mmcblk0p1", "/sys/class/block/mmcblk0p1", "ext3", 179, 1},
     {"/dev/sda1", "/sys/class/block/sda1", "vfat", 8, 1},
     "err_red",
     "pwr_green",
     "/dev/watchdog",
     "/sys/class/misc/watchdog"},
    // A second board, on the same emulated machine: its own partition
    // name, its register on another page, the card in the second of two SD
    // slots, its LEDs named as the kernel's LED class suggests.
    {"virt-b",
     "velnor-virt-b",
     0xBFFFF010,
     "firmware",
     {"/dev/mmcblk1p1", "/sys/class/block/mmcblk1p1", "ext3", 179, 9},
     {"/dev/sda1", "/sys/class/block/sda1", "vfat", 8, 1},
     "red:status",
     "green:power",
     "/dev/watchdog",
     "/sys/class/misc/watchdog"},
};

// The index of the board of that name in boards, or the count of boards.
constexpr size_t board_index(std::string_view name) {
  size_t i = 0;
  while (i < std::size(boards) && name != boards[i].name) ++i;
  return i;
}

// The board of that name, or null.
constexpr const Board* find_board(std::string_view name) {
  size_t i = board_index(name);
  return i < std::size(boards) ? &boards[i] : nullptr;
}

// The board this program acts for. A device program built for a board
// links board_selected.cpp (velnor_board in boards/CMakeLists.txt), whose
// definition replaces the default: the reference board, or the one a tool
// chose with choose_board (velnor-sim, for the device it works on).
const Board& device_board();
void choose_board(const Board* board);

// The register's page and the register's offset in it.
constexpr uint64_t bootflag_page_of(const Board& b) {
  return b.bootflag_address & ~uint64_t{0xFFF};
}
constexpr uint64_t bootflag_offset_of(const Board& b) {
  return b.bootflag_address & 0xFFF;
}

// The boot flag register: 32 bits at the board's physical address
// (boards/board.h) that survive a restart. The high half is the boot request,
// the low half a second value.
#pragma once

#include <cstdint>

constexpr uint16_t BOOTFLAG_NONE = 0x0000;
constexpr uint16_t BOOTFLAG_UPDATE = 0x5550;
constexpr uint16_t BOOTFLAG_RESCUE = 0x5245;
constexpr uint16_t BOOTFLAG_USB = 0x5542;
constexpr uint16_t BOOTFLAG_USB_DONE = 0xB002;
// Written only by a bootstrap built with trial boots: the request in the
// low half failed as often as the device tries one, and was given up.
constexpr uint16_t BOOTFLAG_DROPPED = 0x4452;

// The low half's marks in a bootstrap built with trial boots, in the high
// byte, with a count in the low byte: with BOOTFLAG_NONE or
// BOOTFLAG_USB_DONE, "on trial" and the boots left; with a request the
// firmware asked for, how often it has failed.
constexpr uint8_t bootflag_trial_mark = 0x54;
constexpr uint8_t bootflag_failed_mark = 0x46;

constexpr uint16_t bootflag_mark(uint8_t mark, unsigned count) {
  return static_cast<uint16_t>(mark << 8 | (count & 0xFF));
}
constexpr bool bootflag_marked(uint16_t low, uint8_t mark) {
  return low >> 8 == mark;
}
constexpr bool bootflag_is_request(uint16_t high) {
  return high == BOOTFLAG_UPDATE || high == BOOTFLAG_RESCUE ||
         high == BOOTFLAG_USB;
}
// New firmware that has not yet confirmed that it runs.
constexpr bool bootflag_on_trial(uint16_t high, uint16_t low) {
  return (high == BOOTFLAG_NONE || high == BOOTFLAG_USB_DONE) &&
         bootflag_marked(low, bootflag_trial_mark);
}

// "/dev/mem" and the mapped page, for one read or write.
struct BootFlagMap {
  int fd = -1;
  void* page = nullptr;
};

// Opens "/dev/mem" and maps the register's page: 0, or -1 (reported, errno
// from the failing call) with nothing left open. The map is the caller's
// until bootflag_close, which releases what it holds and may be called on
// a map that is not open.
int bootflag_open(BootFlagMap* map);
void bootflag_close(BootFlagMap* map);

// Reads or writes the register through a mapping of its own: 0, or -1 when
// it cannot be mapped (reported by bootflag_open). Either output of the
// read may be null; outputs are untouched on failure.
int bootflag_read(uint16_t* high, uint16_t* low);
int bootflag_write(uint16_t high, uint16_t low);

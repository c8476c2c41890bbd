// The boot flag register: 32 bits at physical 0xFFFFFD58 that survive a
// restart. The high half is the boot request, the low half a second value.
#pragma once

#include <cstdint>

constexpr uint16_t BOOTFLAG_NONE = 0x0000;
constexpr uint16_t BOOTFLAG_UPDATE = 0x5550;
constexpr uint16_t BOOTFLAG_RESCUE = 0x5245;
constexpr uint16_t BOOTFLAG_USB = 0x5542;
constexpr uint16_t BOOTFLAG_USB_DONE = 0xB002;

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

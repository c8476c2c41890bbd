#include "bootstrap/bootflag.h"

#include <fcntl.h>
#include <sys/mman.h>

#include "boards/board.h"
#include "common/emit_line.h"
#include "common/os.h"

namespace {

constexpr size_t page_size = 4096;
constexpr int open_flags = O_RDWR | O_DSYNC;  // 0x1002

volatile uint32_t* bootflag_register(const BootFlagMap& map) {
  return reinterpret_cast<volatile uint32_t*>(
      static_cast<char*>(map.page) + bootflag_offset_of(device_board()));
}

// The map is released on every path.
struct MappedBootFlag {
  BootFlagMap map;
  bool ok;
  MappedBootFlag() : ok(bootflag_open(&map) == 0) {}
  ~MappedBootFlag() {
    if (ok) bootflag_close(&map);
  }
};

}  // namespace

int bootflag_open(BootFlagMap* map) {
  int fd = os::open("/dev/mem", open_flags);
  if (fd < 0) {
    emit_line(2, "Failed to open /dev/mem: ", errno_text());
    return -1;
  }
  void* page =
      os::mmap(nullptr, page_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
               static_cast<off_t>(bootflag_page_of(device_board())));
  if (page == MAP_FAILED) {
    emit_line(2, "Failed to mmap bootflag register: ", errno_text());
    os::close(fd);
    return -1;
  }
  map->fd = fd;
  map->page = page;
  return 0;
}

void bootflag_close(BootFlagMap* map) {
  if (map == nullptr || map->page == nullptr) return;
  os::munmap(map->page, page_size);
  os::close(map->fd);
  map->page = nullptr;
  map->fd = -1;
}

int bootflag_read(uint16_t* high, uint16_t* low) {
  MappedBootFlag mapped;
  if (!mapped.ok) return -1;
  uint32_t word = *bootflag_register(mapped.map);
  if (high != nullptr) *high = static_cast<uint16_t>(word >> 16);
  if (low != nullptr) *low = static_cast<uint16_t>(word & 0xFFFF);
  return 0;
}

int bootflag_write(uint16_t high, uint16_t low) {
  MappedBootFlag mapped;
  if (!mapped.ok) return -1;
  *bootflag_register(mapped.map) = uint32_t{high} << 16 | low;
  return 0;
}

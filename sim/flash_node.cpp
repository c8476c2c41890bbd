#include "sim/flash_node.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "sim/kernel_state.h"
#include "sim/sim.h"

namespace sim {
namespace {

// Every operation on the flash counts towards a power cut, done or not.
template <typename F>
auto counted(F&& op) {
  auto result = op();
  int saved = errno;
  kernel_flash_op();
  errno = saved;
  return result;
}

}  // namespace

ssize_t FlashNode::write(const void* buffer, size_t count) {
  return counted([&] { return write_op(buffer, count); });
}

int FlashNode::ioctl(unsigned long request, void* arg) {
  return counted([&] { return ioctl_op(request, arg); });
}

void chip_busy(uint64_t ms) {
  if (ms == 0) return;
  uint64_t until = now_ns() + ms * 1000000;
  while (kernel_block(until, [](const KernelState&) { return false; }) !=
         Wake::deadline) {
  }
}

bool any_opener(const FlashRuntime& rt, int ubi_num, int vol_id) {
  return std::any_of(
      rt.openers.begin(), rt.openers.end(), [&](const VolumeOpener& o) {
        return o.ubi_num == ubi_num && (vol_id < 0 || o.vol_id == vol_id);
      });
}

void drop_opener(FlashRuntime& rt, int ubi_num, int vol_id, OpenKind kind) {
  pid_t self = self_pid();
  auto it = std::find_if(rt.openers.begin(), rt.openers.end(),
                         [&](const VolumeOpener& o) {
                           return o.pid == self && o.ubi_num == ubi_num &&
                                  o.vol_id == vol_id && o.kind == kind;
                         });
  if (it != rt.openers.end()) rt.openers.erase(it);
}

std::string data_path(int partition, int vol_id) {
  return volume_data_path(device_dir(), partition, vol_id);
}

ssize_t read_volume(int partition, const SimVolume& v, uint64_t limit,
                    uint64_t pos, void* buffer, size_t count) {
  if (pos >= limit) return 0;
  count = static_cast<size_t>(std::min<uint64_t>(count, limit - pos));
  std::memset(buffer, 0xFF, count);
  std::ifstream in(data_path(partition, v.id), std::ios::binary);
  in.seekg(static_cast<std::streamoff>(pos));
  in.read(static_cast<char*>(buffer), static_cast<std::streamsize>(count));
  return static_cast<ssize_t>(count);
}

// A device's lseek from the start or from where it is.
off_t seek(uint64_t* pos, off_t offset, int whence) {
  if (whence == SEEK_SET && offset >= 0) {
    *pos = static_cast<uint64_t>(offset);
  } else if (whence == SEEK_CUR && static_cast<int64_t>(*pos) + offset >= 0) {
    *pos += static_cast<uint64_t>(offset);
  } else {
    return fail(EINVAL);
  }
  return static_cast<off_t>(*pos);
}

}  // namespace sim

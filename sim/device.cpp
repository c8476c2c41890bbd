// Making a device directory, attaching to it, its faults and its clock.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "sim/board.h"
#include "sim/flash_model.h"
#include "sim/kernel_state.h"
#include "sim/sim.h"

namespace sim {
namespace {

std::string attached_dir;
std::string attached_root;

// The directories every device has from the start.
const char* const skeleton[] = {
    "root",     "root/dev",  "root/sys",      "root/proc",    "root/mnt",
    "root/tmp", "root/sbin", "root/usr/sbin", "root/usr/bin", "state",
};

bool join(const std::string& dir, bool controller) {
  std::error_code ec;
  std::string absolute = std::filesystem::absolute(dir, ec).lexically_normal();
  if (ec) return false;
  while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
  if (!kernel_open((absolute + "/state/kernel").c_str(), controller)) {
    return false;
  }
  attached_dir = absolute;
  attached_root = absolute + "/root";
  ::setenv("VELNOR_SIM_DIR", absolute.c_str(), 1);
  return true;
}

// Attaches by itself when started on a device by another process. There is
// no detach at exit: a process that has ended no longer counts as running.
struct AutoAttach {
  AutoAttach() {
    if (const char* dir = std::getenv("VELNOR_SIM_DIR")) join(dir, false);
  }
} auto_attach;

Flash make_flash(const NandOptions& nand, const Board& board) {
  Flash f;
  f.geometry.size = nand.size;
  f.geometry.erasesize = nand.erasesize;
  f.geometry.pagesize = nand.pagesize;
  f.geometry.subpage = nand.subpage;
  f.badblock_ioctl = nand.badblock_ioctl;
  f.badblock_errno = nand.badblock_errno;
  f.gluebi = nand.gluebi;
  f.mtdblock_volumes = nand.mtdblock_volumes;
  f.ubiblock = nand.ubiblock;
  f.bad_blocks.insert(nand.bad_blocks.begin(), nand.bad_blocks.end());
  std::vector<std::pair<std::string, uint64_t>> parts = nand.partitions;
  if (parts.empty()) parts.emplace_back(board.ubi_partition, 0);
  uint64_t offset = 0;
  for (const auto& [name, size] : parts) {
    SimPartition p;
    p.name = name;
    p.offset = offset;
    p.size = size != 0 ? size : nand.size - offset;
    p.content = nand.foreign_data ? Content::foreign : Content::erased;
    offset += p.size;
    f.partitions.push_back(p);
  }
  return f;
}

}  // namespace

bool inject_fault(const std::string& call, const std::string& path,
                  uint32_t nth, int error) {
  bool placed = false;
  kernel_locked([&](KernelState& s) {
    for (SimFault& f : s.faults) {
      if (f.used) continue;
      f = SimFault{};
      f.used = 1;
      f.nth = nth;
      f.error = error;
      std::snprintf(f.call, sizeof f.call, "%s", call.c_str());
      std::snprintf(f.path, sizeof f.path, "%s", path.c_str());
      placed = true;
      return;
    }
  });
  return placed;
}

WatchdogState watchdog_state() {
  WatchdogState out{};
  kernel_locked([&](KernelState& s) {
    const SimWatchdog& w = s.watchdog;
    out.armed = w.armed;
    out.timeout_s = w.timeout_s;
    out.last_keepalive_ns = w.last_keepalive_ns;
    out.keepalives = w.keepalives;
    out.fired = w.fired;
    out.fired_at_ns = w.fired_at_ns;
    out.nonzero_bytes = w.nonzero_bytes;
    uint64_t first = w.keepalives > 32 ? w.keepalives - 32 : 0;
    for (uint64_t i = first; i < w.keepalives; ++i)
      out.recent.push_back(w.recent[i % 32]);
  });
  return out;
}

// The initramfs's programs: the simulated builds, run on the device.
void install_programs(const std::string& dir, const std::string& programs,
                      const std::string& sim_program) {
  auto script = [&](const std::string& path, const std::string& command) {
    std::string host = dir + "/root" + path;
    std::ofstream(host, std::ios::trunc)
        << "#!/bin/sh\nexec $VELNOR_SIM_EMULATOR " << command << " \"$@\"\n";
    std::filesystem::permissions(host, std::filesystem::perms(0755));
  };
  std::string sim =
      "'" + (sim_program.empty() ? programs + "/velnor-sim" : sim_program) +
      "'";
  script("/sbin/velnor-bootstrap", "'" + programs + "/velnor-bootstrap-sim'");
  // The keyed bootstrap of dry runs (velnor-sim boot --trusted-keys).
  if (std::filesystem::exists(programs + "/velnor-bootstrap-keyfile-sim")) {
    script("/sbin/velnor-bootstrap-keyfile",
           "'" + programs + "/velnor-bootstrap-keyfile-sim'");
  }
  script("/usr/sbin/velnor-wdog", "'" + programs + "/velnor-wdog-sim'");
  // The installed firmware's tool for the register.
  script("/usr/bin/velnor-bootflag", "'" + programs + "/velnor-bootflag-sim'");
  script("/sbin/modprobe", sim + " board modprobe");
  script("/sbin/mke2fs", sim + " board mke2fs");
  script("/sbin/switch_root", sim + " board switch_root");
}

bool create_device(const std::string& dir, const DeviceOptions& options) {
  std::error_code ec;
  for (const char* sub : skeleton) {
    std::filesystem::create_directories(dir + "/" + sub, ec);
    if (ec) {
      errno = ec.value();
      return false;
    }
  }
  const Board* board = find_board(options.board);
  if (board == nullptr) {
    errno = EINVAL;
    return false;
  }
  if (!kernel_create((dir + "/state/kernel").c_str())) return false;
  std::ofstream(dir + "/state/board") << board->name << "\n";
  // The watchdog driver's class entry.
  std::string watchdog = dir + "/root" + board->watchdog_sysfs;
  std::error_code wec;
  std::filesystem::create_directories(watchdog, wec);
  std::ofstream(watchdog + "/dev") << "10:130\n";
  if (options.bootflag) {
    std::ofstream(bootflag_file(dir), std::ios::binary)
        << std::string(4096, '\0');
  }
  medium_set(dir, Medium::mmc, {});
  medium_set(dir, Medium::usb, {});
  if (!options.programs_dir.empty())
    install_programs(dir, options.programs_dir, options.sim_program);
  board_reset(dir, default_cmdline);
  return flash_create(dir, make_flash(options.nand, *board));
}

void flash_stall_writes(bool on) {
  flash_transaction([&](Flash& f, FlashRuntime&) {
    f.stall_writes = on;
    return true;
  });
}

void flash_write_delay(uint32_t ms) {
  flash_transaction([&](Flash& f, FlashRuntime&) {
    f.write_delay_ms = ms;
    return true;
  });
}

void flash_read_delay(uint32_t ms) {
  flash_transaction([&](Flash& f, FlashRuntime&) {
    f.read_delay_ms = ms;
    return true;
  });
}

void flash_fail_writes(bool on) {
  flash_transaction([&](Flash& f, FlashRuntime&) {
    f.fail_writes = on;
    return true;
  });
}

bool flash_rot_volume(const std::string& name) {
  bool found = false;
  flash_transaction([&](Flash& f, FlashRuntime&) {
    for (size_t i = 0; i < f.partitions.size(); ++i) {
      for (SimVolume& v : f.partitions[i].volumes) {
        if (v.name != name || v.dynamic || v.data_bytes == 0) continue;
        std::string data =
            volume_data_path(attached_dir, static_cast<int>(i), v.id);
        std::fstream file(data,
                          std::ios::in | std::ios::out | std::ios::binary);
        char byte = 0;
        file.seekg(0);
        file.get(byte);
        file.seekp(0);
        file.put(static_cast<char>(byte ^ 0x10));
        found = v.rotten = static_cast<bool>(file);
        return found;
      }
    }
    return false;
  });
  return found;
}

void flash_corrupt_writes(bool on) {
  flash_transaction([&](Flash& f, FlashRuntime&) {
    f.corrupt_writes = on;
    return true;
  });
}

bool attach(const std::string& dir) { return join(dir, true); }

void detach() {
  kernel_close();
  attached_dir.clear();
  attached_root.clear();
  ::unsetenv("VELNOR_SIM_DIR");
}

bool device_in(const std::string& dir) {
  std::string kernel = dir + "/state/kernel";
  return ::access(kernel.c_str(), F_OK) == 0 &&
         !kernel_other_version(kernel.c_str());
}

void say_no_device(const std::string& dir) {
  if (kernel_other_version((dir + "/state/kernel").c_str())) {
    std::fprintf(stderr,
                 "velnor-sim: %s holds a device of another version of "
                 "velnor-sim: make it again (velnor-sim init)\n",
                 dir.c_str());
  } else {
    std::fprintf(stderr, "velnor-sim: no device in %s\n", dir.c_str());
  }
}

const std::string& device_dir() { return attached_dir; }
const std::string& device_root() { return attached_root; }

uint64_t now_ns() {
  uint64_t now = 0;
  kernel_locked([&](KernelState& s) { now = s.now_ns; });
  return now;
}

bool schedule_event(uint32_t delay_ms, const std::string& dev_path,
                    const std::vector<Attribute>& attributes) {
  std::string lines;
  for (const Attribute& a : attributes) {
    lines.append(a.name).append("=").append(a.value).append("\n");
  }
  bool placed = false;
  kernel_locked([&](KernelState& s) {
    for (SimTimer& t : s.timers) {
      if (t.used) continue;
      if (dev_path.size() >= sizeof t.dev_path ||
          lines.size() >= sizeof t.attributes) {
        break;
      }
      t.used = 1;
      t.at_ns = s.now_ns + uint64_t{delay_ms} * 1000000;
      dev_path.copy(t.dev_path, dev_path.size());
      t.dev_path[dev_path.size()] = '\0';
      lines.copy(t.attributes, lines.size());
      t.attributes[lines.size()] = '\0';
      placed = true;
      break;
    }
  });
  if (!placed) errno = ENOSPC;
  return placed;
}

}  // namespace sim

// Device paths resolved to host paths: through the device's mounts (a card
// or stick mounted from elsewhere on the host), its symbolic links and "..",
// as the kernel's path walk does.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "sim/kernel_state.h"
#include "sim/sim.h"

namespace sim {
namespace {

// The initramfs: what "/" lies on before anything is mounted.
constexpr uint32_t root_dev = 0x00000001;

std::deque<std::string> split(const std::string& path) {
  std::deque<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// The mount table as this thread last copied it, with its epoch: copied
// again under the lock only when the epoch has moved (a program resolves
// dozens of paths and mounts a few times at most).
const std::vector<SimMount>& mount_table() {
  struct Known {
    std::string dir;
    uint64_t epoch = 0;
    std::vector<SimMount> mounts;
  };
  thread_local Known known;
  std::atomic_ref<uint64_t> epoch(kernel_state().mounts_epoch);
  if (known.dir != device_dir() ||
      known.epoch != epoch.load(std::memory_order_acquire)) {
    known.mounts.clear();
    kernel_locked([&](KernelState& s) {
      for (const SimMount& m : s.mounts) {
        if (m.used) known.mounts.push_back(m);
      }
      known.epoch = epoch.load(std::memory_order_relaxed);
    });
    known.dir = device_dir();
  }
  return known.mounts;
}

// Whether the host path meets no symbolic link on its way (its last
// component counts only when followed): one host call, where looking at
// each component takes one each. False when it may meet one, or when the
// host cannot tell (a kernel before 5.6).
bool free_of_links(const std::string& host, bool follow_last) {
  static std::atomic<bool> unsupported = false;
  if (unsupported.load(std::memory_order_relaxed)) return false;
  int saved = errno;
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC | (follow_last ? 0 : O_NOFOLLOW);
  how.resolve = RESOLVE_NO_SYMLINKS;
  long fd = ::syscall(SYS_openat2, AT_FDCWD, host.c_str(), &how, sizeof how);
  // A component that is missing, or not a directory, ends the way before
  // any link on it.
  bool free = fd >= 0 || errno == ENOENT || errno == ENOTDIR;
  if (fd >= 0) ::close(static_cast<int>(fd));
  if (fd < 0 && errno == ENOSYS) unsupported = true;
  errno = saved;
  return free;
}

// Whether the device's root itself lies on the host with no link on its
// way (a temporary directory reached through one would make every look at a
// path under it fail): looked at once per device.
bool root_free_of_links() {
  thread_local std::string looked_at;
  thread_local bool free = false;
  if (looked_at != device_root()) {
    free = free_of_links(device_root(), true);
    looked_at = device_root();
  }
  return free;
}

bool covers(const SimMount& m, const std::string& path) {
  size_t len = std::strlen(m.target);
  return path.compare(0, len, m.target) == 0 &&
         (path.size() == len || path[len] == '/' || len == 1);
}

}  // namespace

std::optional<Resolved> resolve_path(const std::string& device_path,
                                     bool follow_last) {
  const std::vector<SimMount>& mounts = mount_table();
  auto mount_of = [&](const std::string& path) -> const SimMount* {
    const SimMount* best = nullptr;
    size_t best_len = 0;
    for (const SimMount& m : mounts) {
      size_t len = std::strlen(m.target);
      if (covers(m, path) && len >= best_len) {
        best = &m;
        best_len = len;
      }
    }
    return best;
  };
  auto device_of = [](const std::deque<std::string>& parts) {
    std::string path;
    for (const std::string& part : parts) path.append("/").append(part);
    return path.empty() ? std::string("/") : path;
  };
  auto host_of = [&](const std::string& path) {
    const SimMount* m = mount_of(path);
    if (m == nullptr || m->backing[0] == '\0') {
      return device_root() + (path == "/" ? "" : path);
    }
    size_t len = std::strlen(m->target);
    return std::string(m->backing) + path.substr(len == 1 ? 0 : len);
  };

  std::deque<std::string> todo = split(device_path);
  std::deque<std::string> done;
  // Most paths hold no "." or "..", cross no mount that lies elsewhere on
  // the host and meet no link: then the device's tree maps onto the host's
  // one to one, and one look at the whole path does.
  bool plain = std::none_of(todo.begin(), todo.end(), [](const auto& part) {
    return part == "." || part == "..";
  });
  if (plain) {
    std::string whole = device_of(todo);
    plain = std::none_of(mounts.begin(), mounts.end(), [&](const SimMount& m) {
      return m.backing[0] != '\0' && covers(m, whole);
    });
    if (plain && root_free_of_links() &&
        free_of_links(device_root() + whole, follow_last))
      done.swap(todo);
  }
  int links = 0;
  while (!todo.empty()) {
    std::string part = std::move(todo.front());
    todo.pop_front();
    if (part == ".") continue;
    if (part == "..") {
      if (!done.empty()) done.pop_back();
      continue;
    }
    done.push_back(part);
    if (!todo.empty() || follow_last) {
      std::string candidate = host_of(device_of(done));
      struct stat st;
      if (::lstat(candidate.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (++links > 40) {
          errno = ELOOP;
          return std::nullopt;
        }
        std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
        ssize_t got =
            ::readlink(candidate.c_str(), target.data(), target.size());
        if (got < 0) return std::nullopt;
        target.resize(static_cast<size_t>(got));
        done.pop_back();
        if (!target.empty() && target[0] == '/') done.clear();
        std::deque<std::string> more = split(target);
        todo.insert(todo.begin(), more.begin(), more.end());
      }
    }
  }
  Resolved r;
  r.device = device_of(done);
  r.host = host_of(r.device);
  const SimMount* m = mount_of(r.device);
  r.dev = m != nullptr ? m->dev : root_dev;
  r.readonly = m != nullptr && (m->flags & MS_RDONLY);
  if (!device_path.empty() && device_path.back() == '/') {
    r.host.push_back('/');
    if (r.device != "/") r.device.push_back('/');
  }
  return r;
}

std::optional<std::string> host_path(const std::string& device_path,
                                     bool follow_last) {
  std::optional<Resolved> r = resolve_path(device_path, follow_last);
  if (!r) return std::nullopt;
  return r->host;
}

}  // namespace sim

// The simulated device's own files on the host: its state, and the trees it
// shows its programs.
#pragma once

#include <optional>
#include <string>

namespace sim {

// A descriptor of the host's own, closed on every path.
struct HostFd {
  explicit HostFd(int f) : fd(f) {}
  HostFd(const HostFd&) = delete;
  HostFd& operator=(const HostFd&) = delete;
  ~HostFd();
  // Closes what it holds, then holds f.
  void reset(int f = -1);
  int fd;
};

// A file's whole text; nullopt when it cannot be read.
std::optional<std::string> read_state(const std::string& path);

// Rewrites a file in place (made when missing): written over, then cut to
// the text's length when it was longer.
void rewrite_file(const std::string& path, const std::string& text);

}  // namespace sim

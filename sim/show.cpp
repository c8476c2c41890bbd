// velnor-sim show: the device's state as JSON.
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "sim/json.h"
#include "sim/kernel_state.h"
#include "sim/nodes.h"
#include "sim/sim.h"

namespace sim {
namespace {

std::string kernel_json(const std::string& dir) {
  std::string out;
  bool ok = kernel_peek((dir + "/state/kernel").c_str(), [&](KernelState& s) {
    out += "\"clock_ns\": " + std::to_string(s.now_ns) + ",\n";
    out += "  \"events_posted\": " + std::to_string(s.event_seq) + ",\n";
    out += "  \"pending_events\": [";
    const char* sep = "";
    for (const SimTimer& t : s.timers) {
      if (!t.used) continue;
      out += sep;
      out += "{\"at_ns\": " + std::to_string(t.at_ns) +
             ", \"path\": " + json_string(t.dev_path) + "}";
      sep = ", ";
    }
    out += "],\n";
  });
  return ok ? out : std::string();
}

std::string nodes_json(const std::string& dir) {
  std::string out = "[";
  const char* sep = "";
  std::error_code ec;
  std::filesystem::path root = dir + "/root";
  for (auto it =
           std::filesystem::recursive_directory_iterator(root / "dev", ec);
       !ec && it != std::filesystem::recursive_directory_iterator();
       it.increment(ec)) {
    std::optional<NodeId> node = read_node(it->path().string());
    if (!node) continue;
    out += sep;
    out += "{\"path\": " +
           json_string("/" + it->path().lexically_relative(root).string()) +
           ", \"type\": " + (node->type == S_IFCHR ? "\"char\"" : "\"block\"") +
           ", \"major\": " + std::to_string(node->major) +
           ", \"minor\": " + std::to_string(node->minor) + "}";
    sep = ", ";
  }
  return out + "]";
}

}  // namespace

std::string show_json(const std::string& dir) {
  std::string kernel = kernel_json(dir);
  if (kernel.empty()) return {};
  return "{\n  " + kernel + "  \"nodes\": " + nodes_json(dir) + "\n}\n";
}

}  // namespace sim

// velnor-sim show: the device's state as JSON.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "package/crc32.h"
#include "sim/board.h"
#include "sim/flash_model.h"
#include "sim/json.h"
#include "sim/kernel_state.h"
#include "sim/nodes.h"
#include "sim/sim.h"

namespace sim {
namespace {

std::string kernel_json(const std::string& dir) {
  std::string out;
  bool ok = kernel_peek((dir + "/state/kernel").c_str(), [&](KernelState& s) {
    out += "  \"clock_ns\": " + std::to_string(s.now_ns) + ",\n";
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
    const SimWatchdog& w = s.watchdog;
    out += "  \"watchdog\": {\"armed\": " +
           std::string(w.armed ? "true" : "false") +
           ", \"timeout\": " + std::to_string(w.timeout_s) +
           ", \"last_keepalive_ns\": " + std::to_string(w.last_keepalive_ns) +
           ", \"keepalives\": " + std::to_string(w.keepalives) +
           ", \"fired\": " + (w.fired ? "true" : "false") +
           ", \"fired_at_ns\": " + std::to_string(w.fired_at_ns) + "},\n";
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

// CRC-32 of the first length bytes of a file (erased flash beyond it).
uint32_t content_crc(const std::string& path, uint64_t length) {
  std::ifstream in(path, std::ios::binary);
  std::unique_ptr<char[]> buffer(new char[1 << 16]);
  uint32_t c = 0xFFFFFFFF;
  while (length > 0) {
    auto want =
        static_cast<std::streamsize>(std::min<uint64_t>(length, 1 << 16));
    in.read(buffer.get(), want);
    std::streamsize got = in.gcount();
    for (std::streamsize i = got; i < want; ++i)
      buffer[static_cast<size_t>(i)] = '\xff';
    c = crc32_detail::crc32_slice(
        c, reinterpret_cast<const unsigned char*>(buffer.get()),
        static_cast<size_t>(want));
    length -= static_cast<uint64_t>(want);
  }
  return ~c;
}

std::string flash_json(const std::string& dir) {
  Flash f;
  if (!flash_read(dir, &f)) return "  \"mtd\": [],\n  \"volumes\": [],\n";
  std::string mtd = "[";
  const char* sep = "";
  std::error_code ec;
  // The MTD devices as the kernel lists them now.
  std::filesystem::path cls = dir + "/root/sys/class/mtd";
  std::vector<std::pair<int, std::string>> entries;
  for (const auto& e : std::filesystem::directory_iterator(cls, ec)) {
    std::string n = e.path().filename();
    if (n.size() > 3 && n.find("ro") == std::string::npos) {
      entries.emplace_back(std::stoi(n.substr(3)), n);
    }
  }
  std::sort(entries.begin(), entries.end());
  auto read_attr = [&](const std::string& entry, const char* name) {
    std::ifstream in(cls / entry / name);
    std::string v;
    std::getline(in, v);
    return v;
  };
  for (const auto& [index, entry] : entries) {
    mtd += sep;
    mtd += "{\"index\": " + std::to_string(index) +
           ", \"name\": " + json_string(read_attr(entry, "name")) +
           ", \"type\": " + json_string(read_attr(entry, "type")) +
           ", \"size\": " + read_attr(entry, "size") + "}";
    sep = ", ";
  }
  mtd += "]";

  std::string vols = "[";
  sep = "";
  for (size_t i = 0; i < f.partitions.size(); ++i) {
    const SimPartition& p = f.partitions[i];
    if (p.name != "nand0.ubi" || p.content != Content::ubi) continue;
    uint32_t leb = leb_size(f, p.vid_hdr_offset);
    std::vector<SimVolume> sorted = p.volumes;
    std::sort(
        sorted.begin(), sorted.end(),
        [](const SimVolume& a, const SimVolume& b) { return a.id < b.id; });
    for (const SimVolume& v : sorted) {
      uint64_t bytes = volume_bytes(v, leb);
      char crc[9];
      std::snprintf(
          crc, sizeof crc, "%08x",
          content_crc(volume_data_path(dir, static_cast<int>(i), v.id), bytes));
      vols += sep;
      vols += "{\"name\": " + json_string(v.name) +
              ", \"id\": " + std::to_string(v.id) +
              ", \"type\": " + (v.dynamic ? "\"dynamic\"" : "\"static\"") +
              ", \"data_bytes\": " + std::to_string(bytes) + ", \"crc32\": \"" +
              crc + "\", \"upd_marker\": " + (v.upd_marker ? "true" : "false") +
              ", \"corrupted\": " + (v.corrupted ? "true" : "false") + "}";
      sep = ", ";
    }
  }
  vols += "]";
  std::string content = "erased";
  for (const SimPartition& p : f.partitions) {
    if (p.name == "nand0.ubi") {
      content = p.content == Content::ubi       ? "ubi"
                : p.content == Content::foreign ? "foreign"
                                                : "erased";
    }
  }
  return "  \"mtd\": " + mtd + ",\n  \"flash\": " + json_string(content) +
         ",\n  \"volumes\": " + vols + ",\n";
}

std::string line_of(const std::string& path, int n = 0) {
  std::ifstream in(path);
  std::string line;
  for (int i = 0; i <= n; ++i) {
    if (!std::getline(in, line)) return {};
  }
  return line;
}

std::string board_json(const std::string& dir) {
  std::string out;
  // How the last boot ended.
  std::string outcome = line_of(dir + "/state/boot");
  out += "  \"boot\": ";
  if (outcome.empty()) {
    out += "null,\n";
  } else {
    out += "{\"outcome\": " + json_string(outcome) +
           ", \"reason\": " + json_string(line_of(dir + "/state/boot", 1));
    if (outcome == "switch_root") {
      out += ", \"argv\": " + json_lines(dir + "/state/switch_root") +
             ", \"env\": " + json_lines(dir + "/state/switch_root_env");
    }
    out += "},\n";
  }
  // The arguments mke2fs last ran with (null: it never ran).
  out += "  \"mke2fs\": " +
         (std::filesystem::exists(dir + "/state/mke2fs")
              ? json_lines(dir + "/state/mke2fs")
              : std::string("null")) +
         ",\n";
  std::optional<uint32_t> flag = bootflag_get(dir);
  out += "  \"flag\": " + (flag ? std::to_string(*flag) : std::string("null")) +
         ",\n";
  out += "  \"leds\": {";
  const char* sep = "";
  for (const char* led : {"err_red", "pwr_green"}) {
    out += sep;
    out += json_string(led) + ": {";
    const char* asep = "";
    for (const char* a : {"brightness", "trigger", "delay_on", "delay_off"}) {
      std::string path = dir + "/root/sys/class/leds/" + led + "/" + a;
      if (!std::filesystem::exists(path)) continue;
      out += asep + json_string(a) + ": " + json_string(line_of(path));
      asep = ", ";
    }
    out += "}";
    sep = ", ";
  }
  out += "},\n";
  out += "  \"media\": {";
  sep = "";
  for (Medium m : {Medium::mmc, Medium::usb}) {
    MediumState s = medium_get(dir, m);
    out += sep + json_string(medium_name(m)) +
           ": {\"present\": " + (s.present ? "true" : "false") +
           ", \"fstype\": " + json_string(s.fstype) +
           ", \"late_ms\": " + std::to_string(s.late_ms) + "}";
    sep = ", ";
  }
  out += "},\n";
  return out;
}

std::string mounts_json(const std::string& dir) {
  std::string out = "  \"mounts\": [";
  const char* sep = "";
  kernel_peek((dir + "/state/kernel").c_str(), [&](KernelState& s) {
    for (const SimMount& m : s.mounts) {
      if (!m.used) continue;
      out += sep;
      out += "{\"target\": " + json_string(m.target) +
             ", \"source\": " + json_string(m.source) +
             ", \"fstype\": " + json_string(m.fstype) +
             ", \"readonly\": " + ((m.flags & 1) ? "true" : "false") +
             ", \"what\": " + json_string(m.note) + "}";
      sep = ", ";
    }
  });
  return out + "],\n";
}

}  // namespace

std::string show_json(const std::string& dir) {
  std::string kernel = kernel_json(dir);
  if (kernel.empty()) return {};
  return "{\n" + kernel + flash_json(dir) + board_json(dir) + mounts_json(dir) +
         "  \"nodes\": " + nodes_json(dir) + "\n}\n";
}

}  // namespace sim

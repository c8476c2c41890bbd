// velnor-sim show: the device's state as JSON.
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/board.h"
#include "sim/flash_model.h"
#include "sim/kernel_state.h"
#include "sim/nodes.h"
#include "sim/sim.h"

namespace sim {
namespace {

using Json = nlohmann::ordered_json;

// The lines of a file as an array of strings ([] when it cannot be read).
Json file_lines(const std::string& path) {
  Json lines = Json::array();
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool add_kernel(const std::string& dir, Json& out) {
  return kernel_peek((dir + "/state/kernel").c_str(), [&](KernelState& s) {
    out["clock_ns"] = s.now_ns;
    out["events_posted"] = s.event_seq;
    Json pending = Json::array();
    for (const SimTimer& t : s.timers) {
      if (t.used) pending.push_back({{"at_ns", t.at_ns}, {"path", t.dev_path}});
    }
    out["pending_events"] = pending;
    const SimWatchdog& w = s.watchdog;
    out["watchdog"] = {{"armed", w.armed != 0},
                       {"timeout", w.timeout_s},
                       {"last_keepalive_ns", w.last_keepalive_ns},
                       {"keepalives", w.keepalives},
                       {"fired", w.fired != 0},
                       {"fired_at_ns", w.fired_at_ns}};
  });
}

Json nodes(const std::string& dir) {
  Json out = Json::array();
  std::error_code ec;
  std::filesystem::path root = dir + "/root";
  for (auto it =
           std::filesystem::recursive_directory_iterator(root / "dev", ec);
       !ec && it != std::filesystem::recursive_directory_iterator();
       it.increment(ec)) {
    std::optional<NodeId> node = read_node(it->path().string());
    if (!node) continue;
    out.push_back({{"path", "/" + it->path().lexically_relative(root).string()},
                   {"type", node->type == S_IFCHR ? "char" : "block"},
                   {"major", node->major},
                   {"minor", node->minor}});
  }
  return out;
}

// CRC-32 of the first length bytes of a file (erased flash beyond it).
uint32_t content_crc(const std::string& path, uint64_t length) {
  std::ifstream in(path, std::ios::binary);
  std::unique_ptr<char[]> buffer(new char[1 << 16]);
  uLong c = crc32(0L, Z_NULL, 0);
  while (length > 0) {
    auto want =
        static_cast<std::streamsize>(std::min<uint64_t>(length, 1 << 16));
    in.read(buffer.get(), want);
    std::streamsize got = in.gcount();
    for (std::streamsize i = got; i < want; ++i)
      buffer[static_cast<size_t>(i)] = '\xff';
    c = crc32(c, reinterpret_cast<const Bytef*>(buffer.get()),
              static_cast<uInt>(want));
    length -= static_cast<uint64_t>(want);
  }
  return static_cast<uint32_t>(c);
}

void add_flash(const std::string& dir, Json& out) {
  Json mtd = Json::array(), vols = Json::array();
  Flash f;
  std::string content = "erased";
  if (!flash_read(dir, &f)) {
    out["mtd"] = mtd;
    out["volumes"] = vols;
    return;
  }
  // The MTD devices as the kernel lists them now.
  std::error_code ec;
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
    mtd.push_back({{"index", index},
                   {"name", read_attr(entry, "name")},
                   {"type", read_attr(entry, "type")},
                   {"size", std::stoull("0" + read_attr(entry, "size"))}});
  }
  // The board's UBI partition; "missing" when the flash has none of that
  // name (a device made with other --partitions).
  const char* partition = board_of(dir).ubi_partition;
  out["ubi_partition"] = partition;
  content = "missing";
  for (size_t i = 0; i < f.partitions.size(); ++i) {
    const SimPartition& p = f.partitions[i];
    if (p.name != partition) continue;
    content = p.content == Content::ubi       ? "ubi"
              : p.content == Content::foreign ? "foreign"
                                              : "erased";
    if (p.content != Content::ubi) continue;
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
      vols.push_back({{"name", v.name},
                      {"id", v.id},
                      {"type", v.dynamic ? "dynamic" : "static"},
                      {"data_bytes", bytes},
                      {"crc32", crc},
                      {"upd_marker", v.upd_marker},
                      {"corrupted", v.corrupted}});
    }
  }
  out["mtd"] = mtd;
  out["flash"] = content;
  // The faults the flash holds until they are switched off.
  out["flash_faults"] = {{"corrupt_writes", f.corrupt_writes},
                         {"fail_writes", f.fail_writes},
                         {"stall_writes", f.stall_writes},
                         {"write_delay_ms", f.write_delay_ms},
                         {"read_delay_ms", f.read_delay_ms}};
  out["volumes"] = vols;
}

std::string line_of(const std::string& path, int n = 0) {
  std::ifstream in(path);
  std::string line;
  for (int i = 0; i <= n; ++i) {
    if (!std::getline(in, line)) return {};
  }
  return line;
}

void add_board(const std::string& dir, Json& out) {
  // How the last boot ended.
  std::string outcome = line_of(dir + "/state/boot");
  Json boot = nullptr;
  if (!outcome.empty()) {
    boot = {{"outcome", outcome}, {"reason", line_of(dir + "/state/boot", 1)}};
    if (outcome == "switch_root") {
      boot["argv"] = file_lines(dir + "/state/switch_root");
      boot["env"] = file_lines(dir + "/state/switch_root_env");
    }
  }
  out["boot"] = boot;
  // The arguments mke2fs last ran with (null: it never ran).
  out["mke2fs"] = std::filesystem::exists(dir + "/state/mke2fs")
                      ? file_lines(dir + "/state/mke2fs")
                      : Json(nullptr);
  std::optional<uint32_t> flag = bootflag_get(dir);
  out["flag"] = flag ? Json(*flag) : Json(nullptr);
  Json leds = Json::object();
  out["board"] = board_of(dir).name;
  for (const char* led : {board_of(dir).led_red, board_of(dir).led_green}) {
    Json attrs = Json::object();
    for (const char* a : {"brightness", "trigger", "delay_on", "delay_off"}) {
      std::string path = dir + "/root/sys/class/leds/" + led + "/" + a;
      if (std::filesystem::exists(path)) attrs[a] = line_of(path);
    }
    leds[led] = attrs;
  }
  out["leds"] = leds;
  Json media = Json::object();
  for (Medium m : {Medium::mmc, Medium::usb}) {
    MediumState s = medium_get(dir, m);
    // Every setting, the faults among them (0: none).
    media[medium_name(m)] = {{"present", s.present},
                             {"fstype", s.fstype},
                             {"late_ms", s.late_ms},
                             {"capacity", s.capacity},
                             {"read_error_at", s.read_error_at},
                             {"removed_after", s.removed_after},
                             {"reread_differs_at", s.reread_differs_at}};
  }
  out["media"] = media;
}

void add_mounts(const std::string& dir, Json& out) {
  Json mounts = Json::array();
  kernel_peek((dir + "/state/kernel").c_str(), [&](KernelState& s) {
    for (const SimMount& m : s.mounts) {
      if (!m.used) continue;
      mounts.push_back({{"target", m.target},
                        {"source", m.source},
                        {"fstype", m.fstype},
                        {"readonly", (m.flags & 1) != 0},
                        {"what", m.note}});
    }
  });
  out["mounts"] = mounts;
}

}  // namespace

std::string show_json(const std::string& dir) {
  // The document's shape: a field's meaning changes only with the number.
  Json state = {{"schema", 1}};
  if (!add_kernel(dir, state)) return {};
  add_flash(dir, state);
  add_board(dir, state);
  add_mounts(dir, state);
  state["nodes"] = nodes(dir);
  return state.dump(2) + "\n";
}

}  // namespace sim

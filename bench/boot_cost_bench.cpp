// The normal boot's own cost on the simulated device: the system calls the
// bootstrap makes from its start to switch_root, and its CPU time, children
// (the watchdog daemon, modprobe) excluded.
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench.h"

namespace fs = std::filesystem;

namespace {

struct BootCost {
  uint64_t cpu_us = 0;
  uint64_t calls = 0;
  std::map<std::string, uint64_t> by_call;   // by call name
  std::map<std::string, uint64_t> listings;  // opendir by path
};

// The bootstrap's log: the one that ends in the switch to the real root.
bool bootstrap_cost(const fs::path& dir, BootCost* cost) {
  for (const auto& e : fs::directory_iterator(dir)) {
    std::ifstream in(e.path());
    std::string text((std::istreambuf_iterator<char>(in)), {});
    if (text.find(" execve /sbin/switch_root") == std::string::npos) continue;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream words(line);
      std::string first, name, path;
      words >> first >> name >> path;
      if (first == "cpu_us") {
        cost->cpu_us = std::stoull(name);
        continue;
      }
      uint64_t n = std::stoull(first);
      cost->calls += n;
      cost->by_call[name] += n;
      if (name == "opendir") cost->listings[path] += n;
    }
    return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: boot_cost_bench BIN_DIR\n");
    return 2;
  }
  std::string bin = argv[1];
  fs::path dir = scratch_dir();
  {
    // A root image that the board takes for squashfs.
    std::ofstream(dir / "rootfs.img", std::ios::binary) << "hsqs";
    random_file(dir / "noise", 100000, 1);
    std::ifstream noise(dir / "noise", std::ios::binary);
    std::ofstream(dir / "rootfs.img", std::ios::binary | std::ios::app)
        << noise.rdbuf();
    random_file(dir / "kernel.img", 70000, 2);
  }
  fs::path device = dir / "device", calls = dir / "calls";
  fs::create_directories(calls);
  bool ok = run_program(dir, {bin + "/velnor-pack", "create", "--force",
                              dir / "fw.bpk2", "--kernel", dir / "kernel.img",
                              "--rootfs", dir / "rootfs.img", "--version",
                              "1.0.0.0"}) >= 0 &&
            run_program(dir, {bin + "/velnor-sim", "init", device}) >= 0 &&
            run_program(dir, {bin + "/velnor-sim", "install", device,
                              dir / "fw.bpk2"}) >= 0;
  // The best of five boots for the CPU time; the calls are the same each time.
  BootCost best;
  for (int i = 0; ok && i < 5; ++i) {
    fs::remove_all(calls);
    fs::create_directories(calls);
    BootCost cost;
    ok = run_program(dir, {bin + "/velnor-sim", "boot", device},
                     {"VELNOR_SIM_CALLS=" + calls.string()}) >= 0 &&
         bootstrap_cost(calls, &cost);
    if (ok && (i == 0 || cost.cpu_us < best.cpu_us)) best = cost;
  }
  fs::remove_all(dir);
  if (!ok) {
    std::printf("boot cost: the normal boot did not reach switch_root\n");
    return 1;
  }
  std::printf(
      "%-24s %llu system calls, %llu us CPU (the simulator's work "
      "included), children excluded\n",
      "normal boot cost", static_cast<unsigned long long>(best.calls),
      static_cast<unsigned long long>(best.cpu_us));
  std::string by;
  for (const auto& [name, n] : best.by_call)
    by += " " + name + " " + std::to_string(n);
  std::printf("%-24s%s\n", "  by call:", by.c_str());
  std::string listed;
  for (const auto& [path, n] : best.listings)
    listed += " " + path + " x" + std::to_string(n);
  std::printf("%-24s%s\n", "  directory listings:", listed.c_str());
  return 0;
}

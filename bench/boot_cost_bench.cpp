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

bool run(const std::vector<std::string>& args,
         const std::string& calls_dir = {}) {
  pid_t pid = fork();
  if (pid == 0) {
    if (!calls_dir.empty()) setenv("VELNOR_SIM_CALLS", calls_dir.c_str(), 1);
    freopen("/dev/null", "w", stdout);
    freopen("/dev/null", "w", stderr);
    std::vector<char*> argv;
    for (const std::string& a : args)
      argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

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
  std::string tmpl =
      (fs::temp_directory_path() / "velnor-bench-XXXXXX").string();
  fs::path dir = mkdtemp(tmpl.data());
  {
    std::mt19937 gen(1);
    std::ofstream r(dir / "rootfs.img", std::ios::binary);
    r << "hsqs";
    for (int i = 0; i < 100000; ++i) r.put(static_cast<char>(gen()));
    std::ofstream(dir / "kernel.img", std::ios::binary)
        << std::string(70000, 'k');
  }
  fs::path device = dir / "device", calls = dir / "calls";
  fs::create_directories(calls);
  bool ok = run({bin + "/velnor-pack", "create", dir / "fw.bpk2", "--kernel",
                 dir / "kernel.img", "--rootfs", dir / "rootfs.img",
                 "--version", "1.0.0.0"}) &&
            run({bin + "/velnor-sim", "init", device}) &&
            run({bin + "/velnor-sim", "install", device, dir / "fw.bpk2"});
  // The best of five boots for the CPU time; the calls are the same each time.
  BootCost best;
  for (int i = 0; ok && i < 5; ++i) {
    fs::remove_all(calls);
    fs::create_directories(calls);
    BootCost cost;
    ok = run({bin + "/velnor-sim", "boot", device}, calls) &&
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

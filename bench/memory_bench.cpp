// Peak memory of an installation: velnor-sim install with a 256 MiB root
// file system image (on a NAND big enough for it) against one of 1 MiB.
// Nothing of an image may be held whole, so the two peaks must be close.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/bench.h"

namespace fs = std::filesystem;

namespace {

void random_file(const fs::path& path, size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::ofstream out(path, std::ios::binary);
  std::vector<uint32_t> words(1 << 16);
  for (size_t done = 0; done < size;) {
    for (uint32_t& w : words) w = gen();
    size_t n = std::min(words.size() * 4, size - done);
    out.write(reinterpret_cast<const char*>(words.data()),
              static_cast<std::streamsize>(n));
    done += n;
  }
}

// Runs a program with its output thrown away; its peak memory in KiB, or
// -1 when it failed.
long run(const std::vector<std::string>& args) {
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char*> argv;
    for (const std::string& a : args)
      argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? usage.ru_maxrss : -1;
}

long install_peak(const std::string& bin, const fs::path& dir, size_t size,
                  const char* nand) {
  fs::path device = dir / ("device-" + std::to_string(size));
  fs::path pkg = dir / "fw.bpk2";
  random_file(dir / "rootfs.img", size, 1);
  random_file(dir / "kernel.img", 70000, 2);
  if (run({bin + "/velnor-pack", "create", pkg, "--kernel", dir / "kernel.img",
           "--rootfs", dir / "rootfs.img", "--version", "1.0.0.0"}) < 0 ||
      run({bin + "/velnor-sim", "init", device, "--nand-size", nand}) < 0)
    return -1;
  fs::remove(dir / "rootfs.img");
  long peak = run({bin + "/velnor-sim", "install", device, pkg});
  fs::remove_all(device);
  fs::remove(pkg);
  return peak;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: memory_bench BIN_DIR\n");
    return 2;
  }
  std::string tmpl =
      (fs::temp_directory_path() / "velnor-bench-XXXXXX").string();
  fs::path dir = mkdtemp(tmpl.data());
  long small = install_peak(argv[1], dir, 1 << 20, "128M");
  long large = install_peak(argv[1], dir, 256 << 20, "512M");
  fs::remove_all(dir);
  if (small < 0 || large < 0) {
    std::printf("memory: an installation failed\n");
    return 1;
  }
  long grew = large - small;
  return report("install peak memory",
                "256 MiB image " + std::to_string(large) +
                    " KiB, 1 MiB image " + std::to_string(small) +
                    " KiB: " + std::to_string(grew) + " KiB more",
                static_cast<double>(large) / static_cast<double>(small),
                "at most 64 KiB more", grew <= 64)
             ? 0
             : 1;
}

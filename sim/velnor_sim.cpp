// velnor-sim: makes and inspects simulated devices.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "sim/sim.h"

namespace {

const char usage[] =
    "usage: velnor-sim init DIR\n"
    "       velnor-sim show DIR\n"
    "\n"
    "  init DIR   make a new simulated device in DIR (empty or missing)\n"
    "  show DIR   print the device's state as JSON\n";

int init(const std::string& dir) {
  if (!sim::create_device(dir)) {
    std::fprintf(stderr, "velnor-sim: cannot make a device in %s: %s\n",
                 dir.c_str(), std::strerror(errno));
    return 1;
  }
  return 0;
}

int show(const std::string& dir) {
  std::string json = sim::show_json(dir);
  if (json.empty()) {
    std::fprintf(stderr, "velnor-sim: no device in %s: %s\n", dir.c_str(),
                 std::strerror(errno));
    return 1;
  }
  std::fputs(json.c_str(), stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 ||
                    std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(usage, stdout);
    return 0;
  }
  if (argc != 3) {
    std::fputs(usage, stderr);
    return 2;
  }
  std::string command = argv[1];
  if (command == "init") return init(argv[2]);
  if (command == "show") return show(argv[2]);
  std::fputs(usage, stderr);
  return 2;
}

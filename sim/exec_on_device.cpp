#include "sim/exec_on_device.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "sim/sim.h"

namespace sim {
namespace {

bool is_elf(const std::string& host) {
  std::ifstream in(host, std::ios::binary);
  char head[4] = {};
  in.read(head, 4);
  return in.gcount() == 4 && std::memcmp(head,
                                         "\x7f"
                                         "ELF",
                                         4) == 0;
}

}  // namespace

int exec_on_device(const std::string& host, const char* path,
                   char* const argv[], char* const envp[]) {
  // The program runs on the same device: it inherits the attachment.
  std::vector<std::string> env;
  // What the program itself passed, for the board's programs to record.
  std::string passed = "VELNOR_SIM_EXEC_ENV=";
  for (char* const* e = envp; e != nullptr && *e != nullptr; ++e) {
    env.emplace_back(*e);
    passed.append(*e).append("\n");
  }
  env.push_back(passed);
  env.push_back("VELNOR_SIM_DIR=" + device_dir());
  const char* emulator = std::getenv("VELNOR_SIM_EMULATOR");
  if (emulator != nullptr)
    env.push_back(std::string("VELNOR_SIM_EMULATOR=") + emulator);
  if (const char* calls = std::getenv("VELNOR_SIM_CALLS"))
    env.push_back(std::string("VELNOR_SIM_CALLS=") + calls);
  std::vector<char*> envs;
  for (std::string& e : env) envs.push_back(e.data());
  envs.push_back(nullptr);

  std::vector<char*> args;
  std::string run = host;
  std::string program = host;
  std::string argv0 = argv != nullptr && argv[0] != nullptr ? argv[0] : path;
  std::string dash0 = "-0";
  if (emulator != nullptr && *emulator != '\0' && is_elf(host)) {
    // Programs built for another machine run under its user-mode emulator.
    run = emulator;
    args = {run.data(), dash0.data(), argv0.data(), program.data()};
  } else {
    args = {argv0.data()};
  }
  for (char* const* a = argv != nullptr && argv[0] != nullptr ? argv + 1 : argv;
       a != nullptr && *a != nullptr; ++a) {
    args.push_back(*a);
  }
  args.push_back(nullptr);
  return ::execve(run.c_str(), args.data(), envs.data());
}

}  // namespace sim

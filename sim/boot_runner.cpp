#include "sim/boot_runner.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "common/os.h"
#include "sim/board.h"
#include "sim/flash_model.h"
#include "sim/kernel_state.h"
#include "sim/nodes.h"
#include "sim/sim.h"

namespace fs = std::filesystem;

namespace sim {
namespace {

std::string read_first_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// Whatever still runs on the device when the boot has ended.
void end_device_processes() {
  kernel_locked([](KernelState& s) {
    for (SimProcess& p : s.processes) {
      if (p.pid != 0 && !p.controller) ::kill(p.pid, SIGKILL);
    }
  });
}

}  // namespace

int run_boot(const std::string& dir, const std::string& cmdline,
             const std::vector<std::string>& args,
             const std::vector<BootFault>& faults, uint32_t power_cut_after,
             const std::string& init, const std::string& firmware_init) {
  if (!device_in(dir)) {
    say_no_device(dir);
    return 1;
  }
  board_reset(dir, cmdline);
  if (!firmware_init.empty()) {
    std::ofstream(dir + "/state/firmware_init", std::ios::trunc)
        << firmware_init << "\n";
  }
  if (!attach(dir)) {
    std::perror("velnor-sim: cannot attach");
    return 1;
  }
  flash_transaction([](Flash&, FlashRuntime&) { return true; });  // sysfs
  for (const BootFault& f : faults)
    inject_fault(f.call, f.path, f.nth, f.error);
  kernel_locked([&](KernelState& s) { s.power_cut_after = power_cut_after; });
  const Board& board = board_of(dir);
  for (auto [medium, b] : {std::pair{Medium::mmc, &board.card},
                           std::pair{Medium::usb, &board.stick}}) {
    MediumState state = medium_get(dir, medium);
    if (state.present && state.late_ms > 0) {
      schedule_event(
          state.late_ms, b->sysfs,
          {{"dev", std::to_string(b->major) + ":" + std::to_string(b->minor)}});
    }
  }

  std::vector<std::string> argv_text = {init};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  pid_t child = os::fork();
  if (child == 0) {
    std::vector<char*> argv;
    for (std::string& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    char* const envp[] = {nullptr};
    os::execve(init.c_str(), argv.data(), envp);
    std::fprintf(stderr, "velnor-sim: cannot start %s: %s\n", init.c_str(),
                 std::strerror(errno));
    std::vector<char*>().swap(argv);  // _exit runs no destructors
    os::exit(127);
  }
  if (child < 0) {
    std::perror("velnor-sim: fork");
    return 1;
  }
  int status = 0;
  while (os::wait4(child, &status, 0, nullptr) < 0 && errno == EINTR) {
  }
  end_device_processes();

  std::string outcome = read_first_line(dir + "/state/outcome");
  std::string reason;
  if (outcome == "watchdog") {
    outcome = "restart";
    reason = "watchdog";
  } else if (outcome == "restart" || outcome == "power_off" ||
             outcome == "halt") {
    reason = "reboot";
  } else if (outcome == "power_cut") {
    reason =
        "power lost after flash operation " + std::to_string(power_cut_after);
  } else if (outcome != "switch_root") {
    // The first process ended by itself: the kernel would panic.
    outcome = "panic";
    reason = WIFSIGNALED(status)
                 ? "killed by signal " + std::to_string(WTERMSIG(status))
                 : "exit status " + std::to_string(WEXITSTATUS(status));
  }
  std::ofstream(dir + "/state/boot", std::ios::trunc) << outcome << "\n"
                                                      << reason << "\n";
  detach();
  return 0;
}

int board_program(const std::string& name,
                  const std::vector<std::string>& args) {
  const std::string& dir = device_dir();
  if (dir.empty()) {
    std::fprintf(stderr, "%s: not on a simulated device\n", name.c_str());
    return 1;
  }
  if (name == "modprobe") return 0;
  if (name == "hang") {
    // A program that never returns: sleeps for ever, in device time.
    for (;;) {
      timespec day{86400, 0};
      os::nanosleep(&day, nullptr);
    }
  }
  // The environment the bootstrap gave the program (the shell between adds
  // its own).
  const char* passed = std::getenv("VELNOR_SIM_EXEC_ENV");
  if (name == "switch_root") {
    // The argument vector and environment as they arrived; the boot ends
    // here.
    std::ofstream out(dir + "/state/switch_root", std::ios::trunc);
    out << "/sbin/switch_root\n";
    for (const std::string& a : args) out << a << "\n";
    out.close();
    std::ofstream(dir + "/state/switch_root_env", std::ios::trunc)
        << (passed != nullptr ? passed : "");
    // The firmware's init, when the boot goes on past the handover.
    std::string then = read_first_line(dir + "/state/firmware_init");
    if (then == "exit") return 1;  // the kernel panics
    std::ofstream(dir + "/state/outcome", std::ios::trunc) << "switch_root\n";
    if (then == "hang") return board_program("hang", {});
    if (then == "confirm") {
      char* const argv[] = {const_cast<char*>("velnor-bootflag"),
                            const_cast<char*>("confirm"), nullptr};
      char* const envp[] = {nullptr};
      os::execve("/usr/bin/velnor-bootflag", argv, envp);
      std::perror("velnor-sim: /usr/bin/velnor-bootflag");
      return 127;
    }
    return 0;
  }
  if (name == "mke2fs") {
    std::ofstream record(dir + "/state/mke2fs", std::ios::trunc);
    for (const std::string& a : args) record << a << "\n";
    record.close();
    std::string device = args.empty() ? "" : args.back();
    struct stat st;
    if (device.empty() || os::stat(device.c_str(), &st) != 0 ||
        !S_ISBLK(st.st_mode)) {
      std::fprintf(stderr, "mke2fs: %s: not a block device\n", device.c_str());
      return 1;
    }
    std::optional<Medium> m =
        medium_of_device(major(st.st_rdev), minor(st.st_rdev));
    if (!m || !medium_get(dir, *m).present) {
      std::fprintf(stderr, "mke2fs: %s: No medium found\n", device.c_str());
      return 1;
    }
    MediumState state = medium_get(dir, *m);
    state.fstype = "ext3";
    medium_set(dir, *m, state);
    std::error_code ec;
    fs::remove_all(medium_files(dir, *m), ec);
    fs::create_directories(medium_files(dir, *m), ec);
    return 0;
  }
  std::fprintf(stderr, "velnor-sim: no board program %s\n", name.c_str());
  return 1;
}

}  // namespace sim

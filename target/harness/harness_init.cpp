// The emulated device's test harness: PID 1 of the test kernel.
//
// It stands in for what the real board does around the device's own first
// process. It loads the board's modules (built into the real board's kernel),
// then boots the device: a fresh copy of the device's initramfs ("/device")
// becomes the root of a new PID and mount namespace whose first process is
// the program under test. The program's reboot(2) ends only that namespace,
// so the harness sees how the boot ended (restart, power-off, exit, crash)
// and can start the next boot on the same kernel, with the NAND flash and the
// boot flag register as the program left them, as a real restart would.
//
// This is test equipment for the real kernel only: it calls the kernel
// directly, not through the programs' seam.
//
// Set by kernel parameters (the kernel passes parameters with a dot to no
// one, so neither the harness nor the device sees them as arguments):
//   velnor.boots=N          boots at most N times (default 1); a boot that
//                           ends other than by a restart or exit status 0
//                           is the last
//   velnor.flag=0xVALUE     boot flag register value before the first boot
//   velnor.programs=P1,P2   the device's first process in boot 1, 2, ...;
//                           the last one for the boots after (default
//                           "/init"); P:A:B runs P with arguments A and B
//   velnor.hang=PATH        the device's program PATH never returns
//   velnor.media=A,B        block devices (mmcblk0p1, sda1) that are in
//                           their slots at power-on: waited for before the
//                           first boot, as the board has them by then
//   velnor.board=NAME       the board's modules from /harness/modules-NAME
//                           ("stock": Debian's kernel with its own modules)
//                           instead of /harness/modules
//   velnor.setflag=B:VALUE  sets the boot flag register before boot B (a
//                           list, comma-separated), as a service tool would
//   velnor.foreign=BLOCKS   the UBI partition's first BLOCKS erase blocks
//                           hold data of another system at power-on
//   velnor.cut=B:N          power is lost inside UBI in boot B, after N
//                           header writes (power_cut.h); the boots go on
//                           from what the flash then holds
//   velnor.report=1         after the last boot, what the volumes hold
//   velnor.watchdog=harness softdog only reports its expiry: the harness
//                           ends the boot there ("watchdog") and the boots
//                           go on, as after the board's reset
// Words the kernel passes to its init are the first boot's arguments.
#include <dirent.h>
#include <fcntl.h>
#include <linux/uleds.h>
#include <mtd/mtd-user.h>
#include <mtd/ubi-user.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "boards/board.h"
#include "common/unique_fd.h"
#include "target/harness/kernel_log.h"
#include "target/harness/power_cut.h"
#include "target/harness/volume_report.h"

namespace {

constexpr char device_tree[] = "/device";
constexpr char boot_root[] = "/run/boot";

void say(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::string text = std::string("velnor-harness: ") + line + "\n";
  // One write: the line must not interleave with the kernel's.
  if (write(1, text.data(), text.size()) < 0) {
  }
}

std::string read_text(const char* path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::optional<std::string> kernel_parameter(const std::string& cmdline,
                                            const std::string& name) {
  std::istringstream words(cmdline);
  std::string word;
  while (words >> word)
    if (word.compare(0, name.size() + 1, name + "=") == 0)
      return word.substr(name.size() + 1);
  return std::nullopt;
}

// Runs a program of the device's busybox and waits for it.
int run(const std::vector<std::string>& args) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    char* envp[] = {nullptr};
    execve(argv[0], argv.data(), envp);
    _exit(127);
  }
  int status;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The board's modules, one per line of the list with its parameters; a
// line that starts with "/" names a module file of its own, loaded as it is.
// watchdog_reports: softdog only reports its expiry (soft_noboot=1).
bool load_board_modules(const std::string& path, bool watchdog_reports) {
  std::ifstream list(path);
  if (!list) {
    say("no module list %s", path.c_str());
    return false;
  }
  std::string line;
  while (std::getline(list, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> args = {"/sbin/modprobe"};
    if (line[0] == '/') args = {"/bin/busybox", "insmod"};
    // A parameter's value may hold spaces ("mtdparts=NAND 128MiB ..."): the
    // line is module, then parameters separated by " | ".
    size_t at = line.find(' ');
    std::string module = line.substr(0, at);
    args.push_back(module);
    while (at != std::string::npos) {
      size_t start = line.find_first_not_of(" |", at);
      if (start == std::string::npos) break;
      at = line.find(" | ", start);
      args.push_back(line.substr(
          start, at == std::string::npos ? std::string::npos : at - start));
      if (watchdog_reports && args.back() == "soft_noboot=0") {
        args.back() = "soft_noboot=1";
      }
      // The partition's name is the board's.
      if (size_t name = args.back().find("@UBI_PARTITION@");
          name != std::string::npos) {
        args.back().replace(name, std::strlen("@UBI_PARTITION@"),
                            device_board().ubi_partition);
      }
    }
    if (run(args) != 0) {
      say("failed to load module %s", module.c_str());
      return false;
    }
  }
  return true;
}

// The board's two LEDs, as LED class devices made from user space; they
// stay for as long as their descriptors are open, which is as long as the
// harness runs.
bool make_leds() {
  static unique_fd leds[2];
  const char* names[] = {device_board().led_red, device_board().led_green};
  for (int i = 0; i < 2; ++i) {
    leds[i].reset(open("/dev/uleds", O_RDWR | O_CLOEXEC));
    if (!leds[i].ok()) return false;
    uleds_user_dev led{};
    snprintf(led.name, sizeof led.name, "%s", names[i]);
    led.max_brightness = 255;
    if (write(leds[i].get(), &led, sizeof led) !=
        static_cast<ssize_t>(sizeof led))
      return false;
  }
  return true;
}

// The boot flag register, mapped once for as long as the harness runs.
volatile uint32_t* bootflag_register() {
  static volatile uint32_t* reg = [] {
    unique_fd mem(open("/dev/mem", O_RDWR | O_SYNC | O_CLOEXEC));
    if (!mem.ok()) return static_cast<volatile uint32_t*>(nullptr);
    void* page =
        mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, mem.get(),
             static_cast<off_t>(bootflag_page_of(device_board())));
    if (page == MAP_FAILED) return static_cast<volatile uint32_t*>(nullptr);
    return reinterpret_cast<volatile uint32_t*>(
        static_cast<char*>(page) + bootflag_offset_of(device_board()));
  }();
  return reg;
}

// Reads the boot flag register, after writing it when set holds a value.
std::optional<uint32_t> bootflag(std::optional<uint32_t> set = std::nullopt) {
  volatile uint32_t* reg = bootflag_register();
  if (reg == nullptr) return std::nullopt;
  if (set) *reg = *set;
  return *reg;
}

// Data of another system in the UBI partition's first blocks: UBI refuses
// to attach once more than one block in twenty is neither UBI nor erased.
bool write_foreign_data(int blocks) {
  std::ifstream mtd("/proc/mtd");
  std::string line;
  int index = -1;
  while (std::getline(mtd, line))
    if (line.find(std::string("\"") + device_board().ubi_partition + "\"") !=
        std::string::npos)
      std::sscanf(line.c_str(), "mtd%d:", &index);
  unique_fd dev(
      open(("/dev/mtd" + std::to_string(index)).c_str(), O_RDWR | O_CLOEXEC));
  mtd_info_user info{};
  if (index < 0 || !dev.ok() || ioctl(dev.get(), MEMGETINFO, &info) < 0)
    return false;
  std::string block(info.erasesize, '\0');
  for (size_t i = 0; i < block.size(); ++i)
    block[i] = "foreign data, not UBI. "[i % 23];
  for (int b = 0; b < blocks; ++b)
    if (write(dev.get(), block.data(), block.size()) !=
        static_cast<ssize_t>(block.size()))
      return false;
  return true;
}

// What a restart of the board resets besides the processes: the UBI device
// is detached, the watchdog disarmed.
void reset_board() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    bool busy = false;
    unique_dir dir(opendir("/sys/class/ubi"));
    unique_fd ctrl(open("/dev/ubi_ctrl", O_RDONLY | O_CLOEXEC));
    while (dir.get() != nullptr && ctrl.ok()) {
      dirent* entry = readdir(dir.get());
      if (entry == nullptr) break;
      int number;
      char rest;
      if (sscanf(entry->d_name, "ubi%d%c", &number, &rest) != 1) continue;
      int32_t n = number;
      if (ioctl(ctrl.get(), UBI_IOCDET, &n) < 0) {
        busy = true;
        if (attempt == 49)
          say("cannot detach ubi%d: %s", number, strerror(errno));
      }
    }
    if (!busy) break;
    usleep(100 * 1000);
  }
  unique_fd wd(open(device_board().watchdog_device, O_WRONLY | O_CLOEXEC));
  // The magic close: the timer stops.
  if (wd.ok() && write(wd.get(), "V", 1) < 0) {
  }
}

// Waits up to 20 s for each named block device to show up.
bool wait_for_media(const std::string& names) {
  std::istringstream list(names);
  for (std::string name; std::getline(list, name, ',');) {
    std::string path = "/sys/class/block/" + name;
    int tries = 0;
    while (access(path.c_str(), F_OK) != 0) {
      if (++tries > 200) {
        say("no %s", name.c_str());
        return false;
      }
      usleep(100 * 1000);
    }
  }
  return true;
}

struct Boot {
  std::string program;
  std::vector<std::string> args;
  std::optional<std::string> hang;
  std::optional<PowerCut> cut;    // in this boot
  bool watchdog_reports = false;  // velnor.watchdog=harness
};

int enter_device(void* arg) {
  auto* boot = static_cast<Boot*>(arg);
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0 ||
      chroot(boot_root) < 0 || chdir("/") < 0) {
    say("cannot enter the device's root: %s", strerror(errno));
    _exit(126);
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(boot->program.c_str()));
  for (auto& a : boot->args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  char* envp[] = {const_cast<char*>("HOME=/"), const_cast<char*>("TERM=linux"),
                  nullptr};
  // Traced from its exec on: the harness stops it at each system call.
  if (boot->cut && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) < 0) {
    say("cannot trace the device's first process: %s", strerror(errno));
    _exit(126);
  }
  execve(argv[0], argv.data(), envp);
  say("cannot start %s: %s", argv[0], strerror(errno));
  _exit(127);
}

// One boot; returns how it ended.
std::string boot_device(Boot& boot) {
  mkdir(boot_root, 0755);
  if (mount("tmpfs", boot_root, "tmpfs", 0, "mode=0755") < 0)
    return std::string("harness failure: tmpfs: ") + strerror(errno);
  if (run({"/bin/busybox", "cp", "-a", std::string(device_tree) + "/.",
           boot_root}) != 0)
    return "harness failure: copying the device";
  if (boot.hang) {
    std::string path = std::string(boot_root) + *boot.hang;
    unlink(path.c_str());
    std::ofstream(path) << "#!/bin/sh\nexec /bin/sleep 1000000\n";
    chmod(path.c_str(), 0755);
  }

  static std::vector<char> stack(256 * 1024);
  pid_t pid = clone(enter_device, stack.data() + stack.size(),
                    CLONE_NEWPID | CLONE_NEWNS | SIGCHLD, &boot);
  if (pid < 0) return std::string("harness failure: clone: ") + strerror(errno);
  int status;
  bool cut = false;
  bool watchdog = false;
  if (boot.cut) {
    std::string failure;
    status = run_to_power_cut(
        pid, *boot.cut, [] { return bootflag().value_or(0); },
        [](uint32_t value) { bootflag(value); }, &cut, &failure);
    if (!failure.empty()) say("power cut: %s", failure.c_str());
    if (status < 0) return "harness failure: tracing";
  } else {
    // softdog loaded with soft_noboot=1 (velnor.watchdog=harness) only says
    // that its timer ran out:
    // the harness then restarts the device as the board's watchdog would,
    // and the boots go on with the flash and the register as they are.
    KernelLog log;
    constexpr char expired[] = "softdog: Triggered - Reboot ignored";
    for (;;) {
      pid_t ended = waitpid(pid, &status, WNOHANG);
      if (ended < 0 && errno != EINTR) return "harness failure: wait";
      if (ended == pid) break;
      if (log.ok() && log.saw(expired)) {
        kill(pid, SIGKILL);  // and with it, every process of the boot
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        watchdog = true;
        break;
      }
      usleep(50 * 1000);
    }
    // A first process that dies (the firmware's init crashed, switch_root
    // could not run it) is a kernel panic on the board, which hangs: the
    // watchdog the bootstrap left armed restarts it. The harness waits for
    // that as the board does.
    bool died = (WIFSIGNALED(status) && WTERMSIG(status) != SIGHUP &&
                 WTERMSIG(status) != SIGINT) ||
                (WIFEXITED(status) && WEXITSTATUS(status) != 0);
    if (!watchdog && boot.watchdog_reports && died) {
      say("the device's first process died: a panic");
      for (int waited = 0; waited < 400 && !watchdog; ++waited) {
        watchdog = log.ok() && log.saw(expired);
        if (!watchdog) usleep(50 * 1000);
      }
    }
  }
  umount2(boot_root, MNT_DETACH);

  if (cut) return "power cut";
  if (watchdog) return "watchdog";
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  // The kernel ends a namespace whose init calls reboot(2) as if by a
  // signal: SIGHUP for a restart, SIGINT for a power-off or halt.
  switch (WTERMSIG(status)) {
    case SIGHUP:
      return "restart";
    case SIGINT:
      return "power-off";
    default:
      return std::string("killed by signal ") + strsignal(WTERMSIG(status));
  }
}

}  // namespace

int main(int argc, char** argv) {
  mkdir("/proc", 0755);
  mkdir("/sys", 0755);
  mkdir("/dev", 0755);
  mkdir("/run", 0755);
  mount("proc", "/proc", "proc", 0, nullptr);
  mount("sysfs", "/sys", "sysfs", 0, nullptr);
  mount("devtmpfs", "/dev", "devtmpfs", 0, nullptr);
  mount("debugfs", "/sys/kernel/debug", "debugfs", 0, nullptr);

  std::string cmdline = read_text("/proc/cmdline");
  int boots = std::atoi(
      kernel_parameter(cmdline, "velnor.boots").value_or("1").c_str());
  std::vector<std::string> programs;
  {
    std::istringstream list(
        kernel_parameter(cmdline, "velnor.programs").value_or("/init"));
    std::string program;
    while (std::getline(list, program, ',')) programs.push_back(program);
  }
  Boot boot{{}, {}, kernel_parameter(cmdline, "velnor.hang"), {}};
  auto choose_program = [&](size_t n) {
    std::istringstream words(programs[std::min(n, programs.size() - 1)]);
    std::getline(words, boot.program, ':');
    boot.args.clear();
    for (std::string arg; std::getline(words, arg, ':');)
      boot.args.push_back(arg);
  };
  choose_program(0);
  for (int i = 1; i < argc; ++i) boot.args.push_back(argv[i]);
  // B:VALUE pairs, comma-separated: the cut's boot and writes, register
  // values by boot.
  auto by_boot = [&](const char* name) {
    std::vector<std::pair<int, uint32_t>> pairs;
    std::istringstream list(kernel_parameter(cmdline, name).value_or(""));
    for (std::string item; std::getline(list, item, ',');) {
      size_t colon = item.find(':');
      if (colon == std::string::npos) continue;
      pairs.emplace_back(std::atoi(item.c_str()),
                         std::strtoul(item.c_str() + colon + 1, nullptr, 0));
    }
    return pairs;
  };
  auto cuts = by_boot("velnor.cut");
  auto flags = by_boot("velnor.setflag");

  std::optional<std::string> board = kernel_parameter(cmdline, "velnor.board");
  boot.watchdog_reports =
      kernel_parameter(cmdline, "velnor.watchdog") == "harness";
  bool ready = load_board_modules(
      board ? "/harness/modules-" + *board : "/harness/modules",
      boot.watchdog_reports);
  if (ready && !make_leds()) {
    say("cannot make the LEDs: %s", strerror(errno));
    ready = false;
  }
  if (ready)
    ready =
        wait_for_media(kernel_parameter(cmdline, "velnor.media").value_or(""));
  if (ready) {
    if (auto flag = kernel_parameter(cmdline, "velnor.flag")) {
      uint32_t value = std::strtoul(flag->c_str(), nullptr, 0);
      if (!bootflag(value)) {
        say("cannot set the boot flag register: %s", strerror(errno));
        ready = false;
      }
    }
  }
  if (ready) {
    if (auto blocks = kernel_parameter(cmdline, "velnor.foreign")) {
      if (!write_foreign_data(std::atoi(blocks->c_str()))) {
        say("cannot write foreign data: %s", strerror(errno));
        ready = false;
      }
    }
  }
  if (ready) {
    say("board ready");
    for (int n = 1; n <= boots; ++n) {
      for (auto [at, value] : flags)
        if (at == n) bootflag(value);
      boot.cut.reset();
      for (auto [at, writes] : cuts)
        if (at == n) boot.cut = PowerCut{writes};
      say("boot %d", n);
      std::string end = boot_device(boot);
      char flag_text[16] = "unreadable";
      if (auto flag = bootflag())
        snprintf(flag_text, sizeof flag_text, "0x%08x", *flag);
      say("boot %d ended: %s; boot flag %s", n, end.c_str(), flag_text);
      if (end != "restart" && end != "exit 0" && end != "power cut" &&
          end != "watchdog") {
        break;
      }
      reset_board();
      // Only the first boot gets the kernel's words, as from a boot loader
      // that adds them once.
      choose_program(static_cast<size_t>(n));
    }
  }
  if (ready && kernel_parameter(cmdline, "velnor.report")) {
    reset_board();
    for (const std::string& line : report_volumes()) say("%s", line.c_str());
  }
  say("power off");
  sync();
  reboot(RB_POWER_OFF);
  for (;;) pause();
}

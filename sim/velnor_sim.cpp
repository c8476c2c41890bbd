// velnor-sim: makes and inspects simulated devices.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "package/install.h"
#ifdef VELNOR_SIM_KEYS
#include "package/signature.h"
#endif
#include "sim/board.h"
#include "sim/boot_runner.h"
#include "sim/sim.h"

namespace {

const char usage[] =
    "usage: velnor-sim init DIR [--board NAME] [--no-bootflag] [NAND OPTIONS]\n"
    "       velnor-sim --help | --version\n"
    "       velnor-sim show DIR\n"
    "       velnor-sim install DIR PKG\n"
    "       velnor-sim card DIR (--remove | --unformatted | [--late MS] "
    "[--fstype TYPE] FILE[=NAME]...)\n"
    "       velnor-sim usb DIR (--remove | [--late MS] FILE[=NAME]...)\n"
    "       velnor-sim flag DIR [VALUE]\n"
    "       velnor-sim fault DIR (corrupt-writes|fail-writes|stall-writes) "
    "(on|off)\n"
    "       velnor-sim fault DIR rot VOLUME\n"
    "       velnor-sim fault DIR (slow-writes|slow-reads) MS\n"
    "       velnor-sim boot DIR [--cmdline TEXT] [--fail "
    "CALL:PATH:N:ERRNO]...\n"
    "                           [--power-cut-after N] [--init PATH]\n"
    "                           [--firmware-init confirm|hang|exit]\n"
    "                           [--trusted-keys FILE]\n"
    "                           [--expect OUTCOME[,OUTCOME...]]\n"
    "                           [-- ARG...]\n"
    "\n"
    "  init DIR          make a new simulated device in DIR (empty or "
    "missing)\n"
    "  show DIR          print the device's state as JSON\n"
    "  install DIR PKG   install the firmware package PKG into the device's\n"
    "                    flash, as an update does, with the device's console;\n"
    "                    exit 0 when it was installed and verified\n"
    "  card, usb         insert a medium holding the files (NAME: the path on\n"
    "                    the medium, the file's own name by default), one\n"
    "                    that shows up MS ms after power-on, an unformatted\n"
    "                    card, or take the medium out\n"
    "  flag DIR [VALUE]  print, or set, the 32-bit boot flag register\n"
    "  fault DIR ...     make the flash store damaged data, refuse, or hang "
    "on\n"
    "                    volume writes; rot: change a static volume's data\n"
    "                    behind UBI's back (found at its first open);\n"
    "                    slow-writes: each erase block a volume update\n"
    "                    writes takes MS ms of device time (0: none);\n"
    "                    slow-reads: each erase block the check of a static\n"
    "                    volume reads at its first open takes MS ms\n"
    "  boot DIR          power the device on: velnor-bootstrap runs (with the\n"
    "                    ARGs) until the device restarts or hands over to\n"
    "                    switch_root; its console is this one. --fail makes\n"
    "                    the Nth call of open, stat, mount, umount2, opendir,\n"
    "                    readlink or mkdir on PATH (empty: any), or of "
    "reboot,\n"
    "                    ioctl, mmap, fork, wait4, pipe, clock_gettime or\n"
    "                    write (PATH empty) fail with the error number, or\n"
    "                    never return (ERRNO \"hang\");\n"
    "                    --power-cut-after cuts the power right after the Nth\n"
    "                    operation on the flash (UBI and MTD ioctls, writes "
    "to\n"
    "                    volume and MTD nodes); --init runs the device\n"
    "                    program PATH in place of velnor-bootstrap;\n"
    "                    --firmware-init: past the handover, the firmware's\n"
    "                    init runs \"velnor-bootflag confirm\", never feeds\n"
    "                    the watchdog (which restarts the device), or exits\n"
    "                    (the kernel panics); --expect: exit 0 only when the\n"
    "                    boot ended as one of the OUTCOMEs (switch_root,\n"
    "                    restart, watchdog, panic, power_cut, power_off,\n"
    "                    halt), else 3: a dry run in a pipeline fails there;\n"
    "                    --trusted-keys: the bootstrap of a device built with\n"
    "                    the public keys of FILE (a dry run of a signed\n"
    "                    update: it installs only what they signed)\n"
    "\n"
    "Medium options:\n"
    "  --late MS               it shows up MS ms after power-on\n"
    "  --fstype TYPE           the file system it holds (the card: ext3, the\n"
    "                          stick: vfat; another, such as vfat or ntfs on\n"
    "                          the card, does not mount as the device asks)\n"
    "  --capacity BYTES        its files may take this much in all (then "
    "ENOSPC)\n"
    "  --read-error-at OFFSET  reads of any file reaching OFFSET fail (EIO)\n"
    "  --removed-after BYTES   it is pulled out once a file has given BYTES\n"
    "  --reread-differs-at OFFSET\n"
    "                          read a second time through one descriptor, the\n"
    "                          five bytes of a file at OFFSET are others (its\n"
    "                          CRC-32 the same)\n"
    "\n"
    "init's --board NAME: the board (boards/board.h; default reference): its\n"
    "partition name, register address, media and LEDs.\n"
    "\n"
    "NAND options (default: the emulated target's board, a 128M chip with\n"
    "2K pages, 128K erase blocks, 512-byte sub-pages, one partition\n"
    "(\"nand0.ubi\" on the reference board), erased):\n"
    "  --nand-size SIZE        chip size (suffix K, M or G)\n"
    "  --erasesize SIZE        erase block size\n"
    "  --pagesize SIZE         page size\n"
    "  --subpage SIZE          sub-page size\n"
    "  --bad N[,N...]          erase blocks that are bad\n"
    "  --no-badblock-check     an older kernel: the bad-block test answers\n"
    "                          EOPNOTSUPP (current kernels answer 0 where a\n"
    "                          chip has no bad-block test)\n"
    "  --foreign-data          the flash holds data that UBI cannot attach\n"
    "  --partition NAME:SIZE   a partition (repeat, in order; SIZE 0 for the\n"
    "                          rest of the chip)\n"
    "  --no-bootflag           a board without the boot flag register\n"
    "  --no-gluebi             a kernel that offers no MTD view of volumes\n"
    "                          (Debian's: the root image then comes from\n"
    "                          the volume's UBI block device)\n"
    "  --no-mtdblock-volumes   MTD views of volumes, but no mtdblock device\n"
    "                          of them (kernels since 6.8, and 6.1.x)\n"
    "  --no-ubiblock           a kernel without UBI block devices\n"
    "\n"
    "Exit status: 0 done, 1 a device, package or file that is missing or\n"
    "refused (an installation that failed), 2 usage, 3 a boot that ended\n"
    "otherwise than --expect says.\n";

int usage_error(const char* why) {
  std::fprintf(stderr, "velnor-sim: %s\n%s", why, usage);
  return 2;
}

std::optional<uint64_t> parse_size(const std::string& text) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0) return std::nullopt;
  std::string suffix = end;
  if (suffix == "K" || suffix == "k")
    v <<= 10;
  else if (suffix == "M")
    v <<= 20;
  else if (suffix == "G")
    v <<= 30;
  else if (!suffix.empty())
    return std::nullopt;
  return v;
}

int init(const std::string& dir, const std::vector<std::string>& args) {
  sim::DeviceOptions options;
  sim::NandOptions& nand = options.nand;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& flag = args[i];
    if (flag == "--no-badblock-check") {
      nand.badblock_ioctl = false;
      continue;
    }
    if (flag == "--foreign-data") {
      nand.foreign_data = true;
      continue;
    }
    if (flag == "--no-gluebi") {
      nand.gluebi = false;
      continue;
    }
    if (flag == "--no-mtdblock-volumes") {
      nand.mtdblock_volumes = false;
      continue;
    }
    if (flag == "--no-ubiblock") {
      nand.ubiblock = false;
      continue;
    }
    if (flag == "--no-bootflag") {
      options.bootflag = false;
      continue;
    }
    if (i + 1 >= args.size())
      return usage_error(("missing value for " + flag).c_str());
    const std::string& value = args[++i];
    std::optional<uint64_t> size = parse_size(value);
    if (flag == "--nand-size" && size) {
      nand.size = *size;
    } else if (flag == "--erasesize" && size) {
      nand.erasesize = static_cast<uint32_t>(*size);
    } else if (flag == "--pagesize" && size) {
      nand.pagesize = static_cast<uint32_t>(*size);
    } else if (flag == "--subpage" && size) {
      nand.subpage = static_cast<uint32_t>(*size);
    } else if (flag == "--bad") {
      size_t start = 0;
      while (start <= value.size()) {
        size_t comma = value.find(',', start);
        if (comma == std::string::npos) comma = value.size();
        std::optional<uint64_t> block =
            parse_size(value.substr(start, comma - start));
        if (!block) return usage_error("bad --bad list");
        nand.bad_blocks.push_back(static_cast<uint32_t>(*block));
        start = comma + 1;
      }
    } else if (flag == "--board") {
      if (find_board(value) == nullptr)
        return usage_error(("no board " + value).c_str());
      options.board = value;
    } else if (flag == "--partition") {
      size_t colon = value.rfind(':');
      std::optional<uint64_t> psize = colon == std::string::npos
                                          ? std::nullopt
                                          : parse_size(value.substr(colon + 1));
      if (!psize || colon == 0)
        return usage_error("bad --partition (NAME:SIZE)");
      nand.partitions.emplace_back(value.substr(0, colon), *psize);
    } else {
      return usage_error(
          ("bad option or value: " + flag + " " + value).c_str());
    }
  }
  if (nand.erasesize == 0 || nand.pagesize == 0 || nand.subpage == 0 ||
      nand.size % nand.erasesize != 0 || nand.erasesize % nand.pagesize != 0) {
    return usage_error("the chip must be whole erase blocks of whole pages");
  }
  uint64_t total = 0;
  for (const auto& p : nand.partitions) {
    if (p.second % nand.erasesize != 0) {
      return usage_error("partitions must be whole erase blocks");
    }
    total += p.second;
  }
  if (total > nand.size) return usage_error("the partitions exceed the chip");
  // The simulated device programs lie beside velnor-sim in a build tree,
  // and in its libexec directory once installed.
  std::error_code ec;
  std::filesystem::path self =
      std::filesystem::read_symlink("/proc/self/exe", ec);
  options.sim_program = self.string();
  options.programs_dir = self.parent_path().string();
  if (!std::filesystem::exists(self.parent_path() / "velnor-bootstrap-sim")) {
    options.programs_dir = std::filesystem::weakly_canonical(
                               self.parent_path() / VELNOR_LIBEXEC_FROM_BIN, ec)
                               .string();
  }
  if (!sim::create_device(dir, options)) {
    std::fprintf(stderr, "velnor-sim: cannot make a device in %s: %s\n",
                 dir.c_str(), std::strerror(errno));
    return 1;
  }
  return 0;
}

int show(const std::string& dir) {
  std::string json = sim::show_json(dir);
  if (json.empty()) {
    sim::say_no_device(dir);
    return 1;
  }
  std::fputs(json.c_str(), stdout);
  return 0;
}

// The package goes onto the device (linked where it can be, copied where
// not), is installed from there, and is removed again.
int install(const std::string& dir, const std::string& pkg) {
  if (!sim::attach(dir)) {
    sim::say_no_device(dir);
    return 1;
  }
  const char device_path[] = "/tmp/velnor-sim-install.bpk2";
  std::string host = sim::device_root() + device_path;
  std::error_code ec;
  std::filesystem::remove(host, ec);
  std::filesystem::create_hard_link(pkg, host, ec);
  if (ec) {
    ec.clear();
    std::filesystem::copy_file(pkg, host, ec);
  }
  if (ec) {
    std::fprintf(stderr, "velnor-sim: cannot read %s: %s\n", pkg.c_str(),
                 ec.message().c_str());
    return 1;
  }
  // As the device's board's own bootstrap would: its partition, its name.
  choose_board(&sim::board_of(sim::device_dir()));
  int rc = install_package(device_path);
  std::filesystem::remove(host, ec);
  sim::detach();
  return rc == 0 ? 0 : 1;
}

int medium(const std::string& which, const std::string& dir,
           const std::vector<std::string>& args) {
  sim::Medium m = which == "card" ? sim::Medium::mmc : sim::Medium::usb;
  if (!sim::device_in(dir)) {
    sim::say_no_device(dir);
    return 1;
  }
  sim::MediumState state;
  std::vector<std::pair<std::string, std::string>> files;
  bool remove = false, unformatted = false;
  std::string fstype = m == sim::Medium::mmc ? "ext3" : "vfat";
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--remove") {
      remove = true;
    } else if (args[i] == "--fstype" && i + 1 < args.size()) {
      fstype = args[++i];
      if (fstype.empty() || fstype.find_first_of(" \t\n-") != std::string::npos)
        return usage_error("bad --fstype");
    } else if (args[i] == "--unformatted" && m == sim::Medium::mmc) {
      unformatted = true;
    } else if ((args[i] == "--capacity" || args[i] == "--read-error-at" ||
                args[i] == "--removed-after" ||
                args[i] == "--reread-differs-at") &&
               i + 1 < args.size()) {
      std::optional<uint64_t> bytes = parse_size(args[i + 1]);
      if (!bytes || *bytes == 0) return usage_error(("bad " + args[i]).c_str());
      (args[i] == "--capacity"        ? state.capacity
       : args[i] == "--read-error-at" ? state.read_error_at
       : args[i] == "--removed-after" ? state.removed_after
                                      : state.reread_differs_at) = *bytes;
      ++i;
    } else if (args[i] == "--late" && i + 1 < args.size()) {
      std::optional<uint64_t> ms = parse_size(args[++i]);
      if (!ms || *ms == 0 || *ms > 0xFFFFFFFF) return usage_error("bad --late");
      state.late_ms = static_cast<uint32_t>(*ms);
    } else if (!args[i].empty() && args[i][0] != '-') {
      size_t eq = args[i].find('=');
      std::string file = args[i].substr(0, eq);
      std::string name = eq == std::string::npos
                             ? std::filesystem::path(file).filename().string()
                             : args[i].substr(eq + 1);
      if (name.empty() || name[0] == '/' ||
          name.find("..") != std::string::npos) {
        return usage_error(("bad name on the medium: " + args[i]).c_str());
      }
      files.emplace_back(file, name);
    } else {
      return usage_error(("bad option: " + args[i]).c_str());
    }
  }
  if (remove + unformatted > 1 || ((remove || unformatted) && !files.empty())) {
    return usage_error("--remove, --unformatted and files do not go together");
  }
  std::string root = sim::medium_files(dir, m);
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  std::filesystem::create_directories(root, ec);
  state.present = !remove;
  if (!remove && !unformatted) state.fstype = fstype;
  for (const auto& [file, name] : files) {
    std::filesystem::path target = std::filesystem::path(root) / name;
    std::filesystem::create_directories(target.parent_path(), ec);
    std::filesystem::copy_file(file, target, ec);
    if (ec) {
      std::fprintf(stderr, "velnor-sim: cannot copy %s: %s\n", file.c_str(),
                   ec.message().c_str());
      return 1;
    }
  }
  sim::medium_set(dir, m, state);
  return 0;
}

int flag(const std::string& dir, const std::vector<std::string>& args) {
  if (args.size() > 1) return usage_error("flag takes at most one VALUE");
  if (args.empty()) {
    std::optional<uint32_t> value = sim::bootflag_get(dir);
    if (!value) {
      std::fprintf(stderr,
                   "velnor-sim: the device in %s has no boot flag register\n",
                   dir.c_str());
      return 1;
    }
    std::printf("0x%08x\n", *value);
    return 0;
  }
  std::optional<uint64_t> value = parse_size(args[0]);
  if (!value || *value > 0xFFFFFFFF) return usage_error("bad VALUE");
  if (!sim::bootflag_set(dir, static_cast<uint32_t>(*value))) {
    std::fprintf(stderr,
                 "velnor-sim: the device in %s has no boot flag register\n",
                 dir.c_str());
    return 1;
  }
  return 0;
}

// Faults of the flash that stay until switched off, and data that rot in
// a volume.
int fault(const std::string& dir, const std::vector<std::string>& args) {
  if (args.size() == 2 && args[0] == "rot") {
    if (!sim::attach(dir)) {
      sim::say_no_device(dir);
      return 1;
    }
    bool rotten = sim::flash_rot_volume(args[1]);
    sim::detach();
    if (!rotten) {
      std::fprintf(stderr, "velnor-sim: no static volume %s with data\n",
                   args[1].c_str());
      return 1;
    }
    return 0;
  }
  if (args.size() == 2 &&
      (args[0] == "slow-writes" || args[0] == "slow-reads")) {
    std::optional<uint64_t> ms = parse_size(args[1]);
    if (!ms || *ms > UINT32_MAX)
      return usage_error((args[0] + " takes MS").c_str());
    if (!sim::attach(dir)) {
      sim::say_no_device(dir);
      return 1;
    }
    (args[0] == "slow-writes" ? sim::flash_write_delay : sim::flash_read_delay)(
        static_cast<uint32_t>(*ms));
    sim::detach();
    return 0;
  }
  if (args.size() != 2 || (args[1] != "on" && args[1] != "off")) {
    return usage_error("fault DIR NAME on|off");
  }
  bool on = args[1] == "on";
  void (*set)(bool) = args[0] == "corrupt-writes" ? sim::flash_corrupt_writes
                      : args[0] == "fail-writes"  ? sim::flash_fail_writes
                      : args[0] == "stall-writes" ? sim::flash_stall_writes
                                                  : nullptr;
  if (set == nullptr) return usage_error("unknown fault");
  if (!sim::attach(dir)) {
    sim::say_no_device(dir);
    return 1;
  }
  set(on);
  sim::detach();
  return 0;
}

// How a boot can end, as --expect names it.
const char* const boot_outcomes[] = {"switch_root", "restart",   "watchdog",
                                     "panic",       "power_cut", "power_off",
                                     "halt"};

std::string args_joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& w : words) text += (text.empty() ? "" : " or ") + w;
  return text;
}

// Whether a file of trusted keys holds at least one key, as the device
// build reads it.
bool keys_hold_a_key([[maybe_unused]] const std::string& text) {
#ifdef VELNOR_SIM_KEYS
  return public_keys_parse(text).has_value();
#else
  return false;  // no keyed bootstrap without libsodium
#endif
}

int boot(const std::string& dir, const std::vector<std::string>& args) {
  std::string cmdline = sim::default_cmdline;
  std::vector<std::string> boot_args;
  std::vector<sim::BootFault> faults;
  uint32_t power_cut_after = 0;
  std::string init = "/sbin/velnor-bootstrap";
  std::string firmware_init;
  std::vector<std::string> expected;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--cmdline" && i + 1 < args.size()) {
      cmdline = args[++i];
    } else if (args[i] == "--init" && i + 1 < args.size()) {
      init = args[++i];
    } else if (args[i] == "--trusted-keys" && i + 1 < args.size()) {
      // A dry run of a keyed device: the keyed bootstrap, trusting FILE.
      std::string keys = args[++i];
      std::ifstream in(keys, std::ios::binary);
      std::string text((std::istreambuf_iterator<char>(in)),
                       std::istreambuf_iterator<char>());
      if (!in || !keys_hold_a_key(text)) {
        std::fprintf(stderr, "velnor-sim: %s holds no public key\n",
                     keys.c_str());
        return 1;
      }
      init = "/sbin/velnor-bootstrap-keyfile";
      if (!std::filesystem::exists(dir + "/root" + init)) {
        std::fprintf(stderr,
                     "velnor-sim: the device in %s has no keyed bootstrap "
                     "(made by a velnor-sim built without libsodium)\n",
                     dir.c_str());
        return 1;
      }
      std::filesystem::create_directories(dir + "/root/etc/velnor");
      std::ofstream(dir + "/root/etc/velnor/trusted-keys", std::ios::binary)
          << text;
    } else if (args[i] == "--expect" && i + 1 < args.size()) {
      std::istringstream list(args[++i]);
      for (std::string outcome; std::getline(list, outcome, ',');) {
        if (std::find(std::begin(boot_outcomes), std::end(boot_outcomes),
                      outcome) == std::end(boot_outcomes)) {
          return usage_error(("bad --expect outcome: " + outcome).c_str());
        }
        expected.push_back(outcome);
      }
    } else if (args[i] == "--firmware-init" && i + 1 < args.size()) {
      firmware_init = args[++i];
      if (firmware_init != "confirm" && firmware_init != "hang" &&
          firmware_init != "exit") {
        return usage_error("bad --firmware-init (confirm, hang or exit)");
      }
    } else if (args[i] == "--power-cut-after" && i + 1 < args.size()) {
      std::optional<uint64_t> n = parse_size(args[++i]);
      if (!n || *n == 0 || *n > 0xFFFFFFFF)
        return usage_error("bad --power-cut-after");
      power_cut_after = static_cast<uint32_t>(*n);
    } else if (args[i] == "--fail" && i + 1 < args.size()) {
      // CALL:PATH:N:ERRNO
      std::string spec = args[++i];
      size_t a = spec.find(':'), c = spec.rfind(':');
      size_t b = c == std::string::npos || c == 0 ? std::string::npos
                                                  : spec.rfind(':', c - 1);
      if (a == std::string::npos || b == std::string::npos || b < a) {
        return usage_error("bad --fail (CALL:PATH:N:ERRNO)");
      }
      std::optional<uint64_t> nth = parse_size(spec.substr(b + 1, c - b - 1));
      std::string text = spec.substr(c + 1);
      std::optional<uint64_t> error =
          text == "hang" ? std::optional<uint64_t>(0) : parse_size(text);
      if (!nth || !error) return usage_error("bad --fail (CALL:PATH:N:ERRNO)");
      faults.push_back(
          {spec.substr(0, a), spec.substr(a + 1, b - a - 1),
           static_cast<uint32_t>(*nth),
           text == "hang" ? sim::fault_hang : static_cast<int>(*error)});
    } else if (args[i] == "--") {
      boot_args.assign(args.begin() + static_cast<long>(i) + 1, args.end());
      break;
    } else {
      return usage_error(("bad option: " + args[i]).c_str());
    }
  }
  int status = sim::run_boot(dir, cmdline, boot_args, faults, power_cut_after,
                             init, firmware_init);
  if (status != 0 || expected.empty()) return status;
  // How the boot ended, in --expect's words: a restart by the watchdog is
  // one of its own.
  std::ifstream record(dir + "/state/boot");
  std::string outcome, reason;
  std::getline(record, outcome);
  std::getline(record, reason);
  std::string ended =
      outcome == "restart" && reason == "watchdog" ? "watchdog" : outcome;
  if (std::find(expected.begin(), expected.end(), ended) != expected.end()) {
    return 0;
  }
  std::fprintf(stderr, "velnor-sim: the boot ended in %s (%s), expected %s\n",
               ended.c_str(), reason.c_str(), args_joined(expected).c_str());
  return 3;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(usage, stdout);
    return 0;
  }
  if (!args.empty() && args[0] == "--version") {
    std::puts("velnor-sim " VELNOR_VERSION);
    return 0;
  }
  if (args.size() >= 2 && args[0] == "board") {
    // Run as one of the board's programs, on the device that started it.
    return sim::board_program(
        args[1], std::vector<std::string>(args.begin() + 2, args.end()));
  }
  if (args.size() < 2) return usage_error("missing command or DIR");
  const std::string& command = args[0];
  const std::string& dir = args[1];
  std::vector<std::string> rest(args.begin() + 2, args.end());
  if (command == "init") return init(dir, rest);
  if (command == "show" && rest.empty()) return show(dir);
  if (command == "install" && rest.size() == 1) return install(dir, rest[0]);
  if (command == "card" || command == "usb") return medium(command, dir, rest);
  if (command == "flag") return flag(dir, rest);
  if (command == "fault") return fault(dir, rest);
  if (command == "boot") return boot(dir, rest);
  return usage_error("unknown command");
}

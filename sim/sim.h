// The simulated device: what tests and velnor-sim use to make a device, point
// the seam at it, and steer what happens on it.
//
// A device is a directory. DIR/root is the device's file system ("/" for the
// programs); DIR/state holds the models behind it: the shared kernel state
// (clock, processes, device events) that every process running on the device
// maps, and the board's persistent parts added by the subsystems.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sim {

// The board's NAND flash. The default is the emulated target's: a 128 MiB
// chip, 2 KiB pages, 128 KiB erase blocks, 512-byte sub-pages, and one
// partition (the board's, "nand0.ubi" on the reference board) over all of
// it, erased.
struct NandOptions {
  uint64_t size = 128ull << 20;
  uint32_t erasesize = 128 << 10;
  uint32_t pagesize = 2048;
  uint32_t subpage = 512;
  std::vector<uint32_t> bad_blocks;  // erase block numbers
  bool badblock_ioctl = true;        // false: the bad-block test is refused
  int badblock_errno = 0;            // the bad-block test fails with this
  bool foreign_data = false;         // holds data that UBI cannot attach
  bool gluebi = true;                // the kernel offers volumes as MTDs
  // mtdblock takes the MTDs of volumes (kernels since the upstream change
  // of 6.8, and 6.1.x with it backported, do not).
  bool mtdblock_volumes = true;
  bool ubiblock = true;  // the kernel has UBI block devices (UBI_IOCVOLCRBLK)
  // Name and size of each partition, in order (size 0: the rest of the
  // chip); empty for the board's single partition.
  std::vector<std::pair<std::string, uint64_t>> partitions;
};

struct DeviceOptions {
  NandOptions nand;
  // The board the device is (boards/board.h): its partition name, register
  // address, media, LEDs.
  std::string board = "reference";
  bool bootflag = true;  // the board has its boot flag register
  // Where the simulated programs are (velnor-bootstrap-sim, velnor-wdog-sim):
  // installed as the initramfs's programs when set, with velnor-sim (the
  // board's own programs) at sim_program.
  std::string programs_dir;
  std::string sim_program;
};

// What the kernel command line says when a boot is given none.
inline constexpr char default_cmdline[] = "console=ttyAMA0 quiet";

// Makes a new device in dir (which may exist and must be empty). Returns
// false with errno set on failure.
bool create_device(const std::string& dir, const DeviceOptions& options = {});

// Makes volume writes of the attached device store damaged data, as failing
// flash would (read-back checks then fail).
void flash_corrupt_writes(bool on);

// Makes volume writes of the attached device fail (EIO).
void flash_fail_writes(bool on);

// Makes volume writes of the attached device hang.
void flash_stall_writes(bool on);

// Makes each erase block a volume update writes take ms of device time, as
// a slow chip's programming does (0: no time).
void flash_write_delay(uint32_t ms);

// Makes each erase block the check of a static volume reads (at its first
// open after an attach) take ms of device time, as a slow chip's reads do.
void flash_read_delay(uint32_t ms);

// Changes a byte of the static volume's data behind UBI's back: the data no
// longer match the CRCs stored with them, which the kernel finds at the
// volume's first open after an attach. False when there is no such static
// volume with data.
bool flash_rot_volume(const std::string& name);

// Points this process's seam at the device in dir; children started through
// the seam inherit it (the environment variable VELNOR_SIM_DIR). A process
// started with that variable set attaches by itself.
bool attach(const std::string& dir);
void detach();

// Whether dir holds a device this simulator can work on: one it made, not
// one of another version.
bool device_in(const std::string& dir);

// Says on standard error why dir holds no device to work on: none, or one
// made by another version of the simulator.
void say_no_device(const std::string& dir);

// The attached device's directory and its root ("/" of the programs).
const std::string& device_dir();
const std::string& device_root();

// A device path resolved: where it lives on the host, its canonical device
// path, and the file system it lies on.
struct Resolved {
  std::string host;
  std::string device;
  uint32_t dev;   // st_dev of the file system (mknod encoding)
  bool readonly;  // mounted read-only
};

// Resolves a device path, following symbolic links inside the device and
// crossing mounts; nullopt (errno set) when a link loops.
std::optional<Resolved> resolve_path(const std::string& device_path,
                                     bool follow_last = true);

// The host path behind a device path.
std::optional<std::string> host_path(const std::string& device_path,
                                     bool follow_last = true);

// The device's monotonic clock. It advances only while every process on the
// device is blocked (sleeping or waiting), straight to the next wake-up, so
// minutes of device time cost no real time.
uint64_t now_ns();

// Schedules a kernel device event delay_ms from now. With a path, the event
// makes the directory dev_path appear first (with parents), holding the
// given attribute files ("dev" → "179:1"): a device arriving. Without one,
// it is an unrelated event.
struct Attribute {
  std::string name;
  std::string value;
};
bool schedule_event(uint32_t delay_ms, const std::string& dev_path = {},
                    const std::vector<Attribute>& attributes = {});

// The console as a test sees it: while captured, writes to descriptors 1 and
// 2 of this process are kept (one entry per write call) instead of written.
struct ConsoleWrite {
  int fd;
  std::string bytes;
};
void capture_console(bool on);
const std::vector<ConsoleWrite>& console_writes();
void clear_console();

// Whether descriptor 1 and 2 count as a terminal (default: as they are).
void set_console_terminal(std::optional<bool> terminal);

// Makes the nth call of a system call fail with error: open, stat, mount,
// umount2, opendir, readlink and mkdir on path (as the program names it;
// empty: any), and reboot, ioctl, mmap, fork, wait4, pipe, clock_gettime and
// write (path empty; writes to descriptors above 2). "short-write" makes the
// nth write take only the first half of its bytes (error: any non-zero).
// Counted across every process of the device. The error fault_hang makes
// the call never return instead (a driver that hangs), in device time.
inline constexpr int fault_hang = -1;
bool inject_fault(const std::string& call, const std::string& path,
                  uint32_t nth, int error);

// The hardware watchdog as the board sees it.
struct WatchdogState {
  bool armed;
  uint32_t timeout_s;
  uint64_t last_keepalive_ns;
  uint64_t keepalives;
  std::vector<uint64_t> recent;  // the latest keepalive times, oldest first
  bool fired;                    // it restarted the machine
  uint64_t fired_at_ns;
  uint64_t nonzero_bytes;  // written bytes that were not the keepalive 0
};
WatchdogState watchdog_state();

// The device's state as JSON, for velnor-sim show.
std::string show_json(const std::string& dir);

}  // namespace sim

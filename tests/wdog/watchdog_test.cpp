// The watchdog daemon as a separate process on the simulated device, and the
// bootstrap's link to it. Device time passes; real time hardly does.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "bootstrap/watchdog_link.h"
#include "common/os.h"
#include "tests/sim_device.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t s = 1000000000;

void sleep_device(uint64_t seconds) {
  timespec t{static_cast<time_t>(seconds), 0};
  ASSERT_EQ(os::nanosleep(&t, nullptr), 0);
}

// The daemon installed on the device, started by hand with its own pipe.
class Daemon {
 public:
  explicit Daemon(SimDevice& device) : device_(device) {
    int fds[2];
    EXPECT_EQ(os::pipe(fds), 0);
    out_ = device.host("/tmp/wdog.out");
    err_ = device.host("/tmp/wdog.err");
    pid_ = os::fork();
    if (pid_ == 0) {
      os::close(fds[1]);
      os::dup2(fds[0], 0);
      int o = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int e = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(o, 1);
      ::dup2(e, 2);
      char* const argv[] = {const_cast<char*>("/usr/sbin/velnor-wdog"),
                            nullptr};
      char* const envp[] = {nullptr};
      os::execve("/usr/sbin/velnor-wdog", argv, envp);
      os::exit(127);
    }
    os::close(fds[0]);
    pipe_ = fds[1];
  }
  ~Daemon() {
    if (pipe_ >= 0) os::close(pipe_);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  void send(int32_t seconds) { ASSERT_EQ(os::write(pipe_, &seconds, 4), 4); }
  int pipe() const { return pipe_; }
  void close_pipe() {
    os::close(pipe_);
    pipe_ = -1;
  }
  void term() { os::kill(pid_, SIGTERM); }
  // The exit status, or -signal.
  int wait() {
    int status = 0;
    EXPECT_EQ(os::wait4(pid_, &status, 0, nullptr), pid_);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }
  std::string out() const { return slurp(out_); }
  std::string err() const { return slurp(err_); }

 private:
  static std::string slurp(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  SimDevice& device_;
  pid_t pid_ = -1;
  int pipe_ = -1;
  std::string out_, err_;
};

class Watchdog : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::copy_file(VELNOR_WDOG_SIM, device.host("/usr/sbin/velnor-wdog"));
    old_umask = ::umask(0);
  }
  void TearDown() override { ::umask(old_umask); }

  // Every keepalive is at most 5 seconds after the one before.
  static void expect_fed_throughout(const sim::WatchdogState& w,
                                    uint64_t until) {
    ASSERT_FALSE(w.recent.empty());
    for (size_t i = 1; i < w.recent.size(); ++i) {
      EXPECT_LE(w.recent[i] - w.recent[i - 1], 5 * s);
    }
    EXPECT_GE(w.recent.back() + 5 * s, until);
  }

  SimDevice device;
  mode_t old_umask;
};

}  // namespace

TEST_F(Watchdog, FeedsWithoutLimitBeforeTheFirstRequest) {
  Daemon daemon(device);
  sleep_device(60);
  sim::WatchdogState w = sim::watchdog_state();
  EXPECT_TRUE(w.armed);
  EXPECT_EQ(w.timeout_s, 10u);
  EXPECT_FALSE(w.fired);
  expect_fed_throughout(w, 60 * s);
  daemon.close_pipe();
  EXPECT_EQ(daemon.wait(), 0);
  EXPECT_EQ(daemon.out(),
            "Starting watchdog process\nStopping watchdog process\n");
  EXPECT_EQ(daemon.err(), "Watchdog pipe closed\n");
  // It leaves the watchdog armed, with a last keepalive at the stop.
  w = sim::watchdog_state();
  EXPECT_TRUE(w.armed);
  EXPECT_EQ(w.last_keepalive_ns, sim::now_ns());
}

TEST_F(Watchdog, ARequestOf10ThenSilenceLetsTheHardwareRestart) {
  Daemon daemon(device);
  sleep_device(1);
  uint64_t sent = sim::now_ns();
  daemon.send(10);
  sleep_device(60);
  sim::WatchdogState w = sim::watchdog_state();
  ASSERT_TRUE(w.fired);
  EXPECT_LT(w.last_keepalive_ns, sent + 10 * s);
  EXPECT_GE(w.last_keepalive_ns + 5 * s, sent + 10 * s);  // fed until then
  EXPECT_EQ(w.fired_at_ns, w.last_keepalive_ns + 10 * s);
  EXPECT_EQ(daemon.wait(), -SIGKILL);  // the machine restarted under it
  EXPECT_EQ(device.get("/../state/outcome"), "watchdog\n");
}

TEST_F(Watchdog, ALaterRequestBeforeTheRestartFeedsAgainAtOnce) {
  Daemon daemon(device);
  daemon.send(10);
  sleep_device(12);  // starving since 10, restart due at 15
  ASSERT_FALSE(sim::watchdog_state().fired);
  uint64_t sent = sim::now_ns();
  daemon.send(300);
  sleep_device(100);
  sim::WatchdogState w = sim::watchdog_state();
  EXPECT_FALSE(w.fired);
  std::vector<uint64_t> since;
  for (uint64_t t : w.recent) {
    if (t >= sent) since.push_back(t);
  }
  ASSERT_FALSE(since.empty());
  EXPECT_EQ(since.front(), sent);  // at once
  w.recent = since;
  expect_fed_throughout(w, sim::now_ns());
  daemon.close_pipe();
  EXPECT_EQ(daemon.wait(), 0);
}

TEST_F(Watchdog, ZeroAndNegativeRequestsFeedWithoutLimit) {
  Daemon daemon(device);
  daemon.send(10);
  daemon.send(0);
  sleep_device(60);
  EXPECT_FALSE(sim::watchdog_state().fired);
  daemon.send(10);
  daemon.send(-7);
  sleep_device(60);
  EXPECT_FALSE(sim::watchdog_state().fired);
  // The last of several requests wins.
  daemon.send(-1);
  daemon.send(10);
  sleep_device(60);
  EXPECT_TRUE(sim::watchdog_state().fired);
}

TEST_F(Watchdog, RequestsWrittenJustBeforeTheCloseAreRead) {
  Daemon daemon(device);
  daemon.send(10);
  daemon.send(300);
  daemon.close_pipe();
  EXPECT_EQ(daemon.wait(), 0);
  EXPECT_EQ(daemon.err(), "Watchdog pipe closed\n");  // no failed read
  EXPECT_EQ(daemon.out(),
            "Starting watchdog process\nStopping watchdog process\n");
}

TEST_F(Watchdog, SigtermStopsWithoutThePipeMessage) {
  Daemon daemon(device);
  sleep_device(7);
  daemon.term();
  EXPECT_EQ(daemon.wait(), 0);
  EXPECT_EQ(daemon.out(),
            "Starting watchdog process\nStopping watchdog process\n");
  EXPECT_EQ(daemon.err(), "");
  EXPECT_EQ(sim::watchdog_state().last_keepalive_ns, sim::now_ns());
  // Every keepalive was the byte 0, the last one included.
  EXPECT_GE(sim::watchdog_state().keepalives, 3u);
  EXPECT_EQ(sim::watchdog_state().nonzero_bytes, 0u);
}

TEST_F(Watchdog, RefusedSettingsAndAShortRequestAreReported) {
  // The driver refuses both settings; the daemon feeds all the same.
  ASSERT_TRUE(sim::inject_fault("ioctl", "", 1, EINVAL));
  ASSERT_TRUE(sim::inject_fault("ioctl", "", 2, EINVAL));
  Daemon daemon(device);
  sleep_device(1);
  char half[2] = {1, 0};
  ASSERT_EQ(os::write(daemon.pipe(), half, 2), 2);
  sleep_device(1);
  daemon.close_pipe();
  EXPECT_EQ(daemon.wait(), 0);
  EXPECT_EQ(daemon.err(),
            "Failed to enable watchdog\n"
            "Failed to settimeout: Invalid argument\n"
            "Failed to read from watchdog pipe\n"
            "Watchdog pipe closed\n");
  EXPECT_GE(sim::watchdog_state().keepalives, 2u);
}

TEST_F(Watchdog, AStopIsSilentWhicheverEndItSeesFirst) {
  // The link's stop: SIGTERM, then the pipe closed at once. The daemons'
  // standard error is a file here.
  int saved = ::dup(2);
  int err = ::open(device.host("/tmp/wdog.err").c_str(),
                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ::dup2(err, 2);
  ::close(err);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(watchdog_reset(10), 0);
    EXPECT_EQ(watchdog_stop(), 0);
  }
  ::dup2(saved, 2);
  ::close(saved);
  EXPECT_EQ(device.get("/tmp/wdog.err"), "");
}

TEST_F(Watchdog, AnEndOfFileIsTheClose) {
  // Standard input that is not a pipe reads as an end of file at once: the
  // daemon stops, it does not spin on short reads.
  device.put("/tmp/empty", "");
  pid_t pid = os::fork();
  if (pid == 0) {
    int in = os::open("/tmp/empty", O_RDONLY);
    os::dup2(in, 0);
    int err = ::open(device.host("/tmp/wdog.err").c_str(),
                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(err, 2);
    char* const argv[] = {const_cast<char*>("/usr/sbin/velnor-wdog"), nullptr};
    char* const envp[] = {nullptr};
    os::execve("/usr/sbin/velnor-wdog", argv, envp);
    os::exit(127);
  }
  int status = 0;
  ASSERT_EQ(os::wait4(pid, &status, 0, nullptr), pid);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(device.get("/tmp/wdog.err"), "Watchdog pipe closed\n");
}

TEST_F(Watchdog, MissingNodeIsMadeFromSysfs) {
  ASSERT_FALSE(fs::exists(device.host("/dev/watchdog")));
  Daemon daemon(device);
  daemon.close_pipe();
  EXPECT_EQ(daemon.wait(), 0);
  struct stat st;
  ASSERT_EQ(os::stat("/dev/watchdog", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0666u);
  EXPECT_EQ(st.st_rdev, makedev(10, 130));
}

TEST_F(Watchdog, NoSysfsEntryAndNoDevice) {
  fs::remove_all(device.host("/sys/class/misc/watchdog"));
  Daemon daemon(device);
  EXPECT_EQ(daemon.wait(), 255);
  EXPECT_EQ(daemon.out(), "Starting watchdog process\n");
  EXPECT_EQ(
      daemon.err(),
      "Failed to open file /sys/class/misc/watchdog/dev error: No such file "
      "or directory\n"
      "dev_str is null\n"
      "Failed to find watchdog sysfs entry\n"
      "Failed to open watchdog: No such file or directory\n");
}

TEST_F(Watchdog, ANodeThatCannotBeMade) {
  fs::remove_all(device.host("/dev"));
  Daemon daemon(device);
  EXPECT_EQ(daemon.wait(), 255);
  EXPECT_EQ(daemon.err(),
            "Failed to create watchdog device\n"
            "Failed to open watchdog: No such file or directory\n");
}

TEST_F(Watchdog,
       ADeviceThatCannotBeOpenedEndsTheDaemonAndTheNextRequestSaysSo) {
  ASSERT_EQ(os::mknod("/dev/watchdog", S_IFCHR | 0666, makedev(10, 131)), 0);
  EXPECT_EQ(watchdog_start(), 0);
  // Wait (in real time) for the daemon to give up.
  for (int i = 0; i < 200 && !fs::exists(device.host("/tmp/none")); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (watchdog_reset(10),
        SimDevice::console(2).find("Failed to reset") != std::string::npos) {
      break;
    }
  }
  // The request to a daemon that has gone fails with EPIPE; the bootstrap
  // lives on.
  EXPECT_NE(
      SimDevice::console(2).find("Failed to reset watchdog: Broken pipe\n"),
      std::string::npos);
  EXPECT_EQ(watchdog_stop(), 0);
}

namespace {

// A stand-in daemon that records what it is sent, with its process id.
void install_recorder(SimDevice& device) {
  device.put("/usr/sbin/velnor-wdog",
             "#!/bin/sh\n"
             "trap '' TERM\n"
             "od -An -tx1 -N4 | tr -d ' \\n' >> " +
                 device.host("/tmp/received") + "; echo \" $$\" >> " +
                 device.host("/tmp/received") + "\nexec cat > /dev/null\n",
             0755);
}

// Waits (real time) until the recorder has written n lines.
void await_lines(SimDevice& device, long n) {
  for (int i = 0; i < 500; ++i) {
    std::string text = device.get("/tmp/received");
    if (std::count(text.begin(), text.end(), '\n') >= n) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

TEST_F(Watchdog, TheLinkSendsFourBytesInTheProcessorsOrder) {
  install_recorder(device);
  EXPECT_EQ(watchdog_reset(10), 0);
  EXPECT_EQ(SimDevice::console(1), "Resetting watchdog\n");
  EXPECT_EQ(watchdog_start(), 0);  // already running: nothing happens
  await_lines(device, 1);
  EXPECT_EQ(watchdog_stop(), 0);
  EXPECT_EQ(watchdog_stop(), 0);  // none running
  std::string received = device.get("/tmp/received");
  EXPECT_EQ(received.substr(0, 8), "0a000000");
  EXPECT_EQ(std::count(received.begin(), received.end(), '\n'), 1);

  // After a stop, a request starts a new daemon on a fresh pipe.
  EXPECT_EQ(watchdog_reset(300), 0);
  await_lines(device, 2);
  EXPECT_EQ(watchdog_stop(), 0);
  received = device.get("/tmp/received");
  size_t second = received.find('\n') + 1;
  EXPECT_EQ(received.substr(second, 8), "2c010000");
  EXPECT_NE(
      received.substr(9, received.find('\n') - 9),
      received.substr(second + 9, received.find('\n', second) - second - 9));
}

TEST_F(Watchdog, TheLinkStopsTheRealDaemon) {
  EXPECT_EQ(watchdog_reset(10), 0);
  sleep_device(3);
  EXPECT_EQ(watchdog_stop(), 0);
  sim::WatchdogState w = sim::watchdog_state();
  EXPECT_TRUE(w.armed);  // it stays armed for what runs next
  EXPECT_FALSE(w.fired);
}

TEST_F(Watchdog, AStopRightAfterTheStartStillArmsAndFeeds) {
  // The stop may reach the daemon before it has even started its program:
  // it must still arm the watchdog and feed it once more before it ends.
  EXPECT_EQ(watchdog_start(), 0);
  EXPECT_EQ(watchdog_stop(), 0);
  sim::WatchdogState w = sim::watchdog_state();
  EXPECT_TRUE(w.armed);
  EXPECT_EQ(w.timeout_s, 10u);
  EXPECT_GE(w.keepalives, 2u);
}

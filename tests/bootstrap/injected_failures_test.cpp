// The failures of system calls that the simulated device cannot produce by
// itself, injected through the seam: each row's line and result.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <filesystem>
#include <functional>

#include "bootstrap/bootflag.h"
#include "bootstrap/watchdog_link.h"
#include "common/file_ops.h"
#include "common/os.h"
#include "common/run_program.h"
#include "tests/sim_device.h"
#include "wdog/watchdog_daemon.h"

namespace {

struct Row {
  const char* call;
  const char* path;  // "" for calls without one
  int error;
  std::function<int()> run;
  int result;
  const char* line;  // on stderr
};

int true_program() {
  static const char* const argv[] = {"/bin/true", nullptr};
  return run_program(argv, nullptr);
}

const Row rows[] = {
    {"mmap", "", ENOMEM, [] { return bootflag_read(nullptr, nullptr); }, -1,
     "Failed to mmap bootflag register: Cannot allocate memory\n"},
    {"pipe", "", EMFILE, [] { return watchdog_start(); }, -1,
     "Failed to open watchdog pipe: Too many open files\n"},
    {"fork", "", EAGAIN, true_program, -1,
     "Failed to start /bin/true: Resource temporarily unavailable\n"},
    {"wait4", "", ECHILD, true_program, -1, "Waitpid failed\n"},
    // No daemon counts as running: the next request tries again.
    {"fork", "", EAGAIN, watchdog_start, 0,
     "Failed to start watchdog: Resource temporarily unavailable\n"},
    {"readlink", "/link", EACCES, [] { return copy_file("/link", "/copy"); },
     -1, "Failed to readlink /link: Permission denied\n"},
    {"mkdir", "/a/", EROFS, [] { return make_dirs("/a/b", 0755); }, -1,
     "Failed to create /a/\n"},
    {"clock_gettime", "", EINVAL,
     [] { return static_cast<int>(monotonic_seconds()); }, 0,
     "Failed to get monotonic clock\n"},
};

class InjectedFailures : public ::testing::TestWithParam<Row> {};

void PrintTo(const Row& r, std::ostream* out) { *out << r.call; }

}  // namespace

TEST_P(InjectedFailures, ReportTheirLine) {
  const Row& row = GetParam();
  SimDevice device;
  std::filesystem::create_symlink("/target", device.host("/link"));
  ASSERT_TRUE(sim::inject_fault(row.call, row.path, 1, row.error));
  EXPECT_EQ(row.run(), row.result);
  EXPECT_EQ(SimDevice::console(2), row.line);
  // A child whose wait was made to fail is still running on the device:
  // it ends before the device is taken away.
  while (::waitpid(-1, nullptr, 0) > 0) {
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, InjectedFailures, ::testing::ValuesIn(rows),
                         [](const auto& info) {
                           return std::string(info.param.call) + "_" +
                                  std::to_string(info.index);
                         });

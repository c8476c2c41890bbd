// Every package the fuzzers kept, through the builder's check and a whole
// installation on the simulated device: no crash, no hang, and nothing
// written to the flash for a package that is not sound.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs a program with a time limit; its exit status, or -signal.
int run(std::vector<std::string> args, const std::string& out = "/dev/null") {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::unsetenv("VELNOR_SIM_DIR");
    int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(o, 1);
    ::dup2(null, 2);
    ::alarm(60);  // a hang ends as SIGALRM
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

}  // namespace

TEST(HostilePackages, NoneCrashesOrTouchesTheFlash) {
  std::string tmpl =
      (fs::temp_directory_path() / "velnor-hostile-XXXXXX").string();
  fs::path work = ::mkdtemp(tmpl.data());
  std::string dev = (work / "device").string();
  ASSERT_EQ(run({VELNOR_BIN "/velnor-sim", "init", dev}), 0);
  auto volumes = [&] {
    run({VELNOR_BIN "/velnor-sim", "show", dev}, (work / "show").string());
    std::string json = slurp(work / "show");
    size_t at = json.find("\"volumes\"");
    return json.substr(at, json.find('\n', at) - at) +
           slurp(dev + "/state/flash");
  };
  int sound = 0, refused = 0;
  for (const char* corpus : {VELNOR_CORPUS "/bpk", VELNOR_CORPUS "/version"}) {
    for (const auto& entry : fs::directory_iterator(corpus)) {
      std::string pkg = entry.path().string();
      int verify = run({VELNOR_BIN "/velnor-pack", "verify", pkg});
      ASSERT_TRUE(verify == 0 || verify == 1) << pkg << ": " << verify;
      std::string before = volumes();
      int install = run({VELNOR_BIN "/velnor-sim", "install", dev, pkg});
      ASSERT_TRUE(install == 0 || install == 1) << pkg << ": " << install;
      if (verify != 0) {
        EXPECT_EQ(install, 1) << pkg;
        EXPECT_EQ(volumes(), before) << pkg;
        ++refused;
      } else {
        ++sound;
      }
    }
  }
  EXPECT_GT(refused, 0);
  std::printf("corpus: %d sound packages installed, %d refused\n", sound,
              refused);
  fs::remove_all(work);
}

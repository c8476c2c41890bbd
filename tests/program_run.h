// Running one of the project's programs from a test, as a user would: its
// exit status, both output streams, and its peak memory.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

struct ProgramRun {
  int status;  // the exit status, or minus the signal that ended it
  std::string out;
  std::string err;
  long max_rss_kb;
};

inline std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// args[0] is the program's path. Output goes through files in dir. With a
// time limit, a program that hangs ends by SIGALRM. env: variables added to
// the program's environment ("NAME=value").
inline ProgramRun run_program_in(const std::filesystem::path& dir,
                                 std::vector<std::string> args,
                                 unsigned time_limit_s = 0,
                                 std::vector<std::string> env = {}) {
  std::string out = dir / ".out", err = dir / ".err";
  pid_t pid = ::fork();
  if (pid == 0) {
    ::unsetenv("VELNOR_SIM_DIR");  // the test's own device is not the program's
    for (std::string& e : env) ::putenv(e.data());
    int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(o, 1);
    ::dup2(e, 2);
    if (time_limit_s != 0) ::alarm(time_limit_s);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status),
          slurp(out), slurp(err), usage.ru_maxrss};
}

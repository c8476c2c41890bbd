#include "common/run_program.h"

#include <sys/wait.h>

#include <cerrno>

#include "common/emit_line.h"
#include "common/os.h"

int run_program(const char* const argv[], const char* const envp[]) {
  static const char* const no_environment[] = {nullptr};
  if (envp == nullptr) envp = no_environment;

  pid_t child = os::fork();
  if (child < 0) {
    emit_line(2, "Failed to start ", argv[0], ": ", errno_text());
    return -1;
  }
  if (child == 0) {
    // execve's prototype is older than const; it changes neither list.
    os::execve(argv[0], const_cast<char* const*>(argv),
               const_cast<char* const*>(envp));
    os::exit(255);
  }

  // Only this child is waited for: the watchdog daemon is a child too.
  int status = 0;
  pid_t waited;
  do {
    waited = os::wait4(child, &status, 0, nullptr);
  } while (waited < 0 && errno == EINTR);
  if (waited != child) {
    emit_line(2, "Waitpid failed");
    return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  emit_line(2, argv[0], " killed by signal");
  return -1;
}

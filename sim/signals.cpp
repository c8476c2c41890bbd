#include "sim/signals.h"

#include <cerrno>

#include "sim/kernel_state.h"

namespace sim {
namespace {

struct sigaction handlers[NSIG];

void trampoline(int sig) {
  kernel_note_signal();
  handlers[sig].sa_handler(sig);
}
void trampoline_info(int sig, siginfo_t* info, void* context) {
  kernel_note_signal();
  handlers[sig].sa_sigaction(sig, info, context);
}

}  // namespace

int install_handler(int sig, const struct sigaction* act,
                    struct sigaction* old) {
  if (sig <= 0 || sig >= NSIG) {
    errno = EINVAL;
    return -1;
  }
  struct sigaction previous = handlers[sig];
  if (act == nullptr || act->sa_handler == SIG_IGN ||
      act->sa_handler == SIG_DFL) {
    int rc = ::sigaction(sig, act, old);
    if (rc == 0 && act != nullptr) handlers[sig] = *act;
    return rc;
  }
  struct sigaction wrapped = *act;
  if (act->sa_flags & SA_SIGINFO) {
    wrapped.sa_sigaction = trampoline_info;
  } else {
    wrapped.sa_handler = trampoline;
  }
  struct sigaction host_old;
  if (::sigaction(sig, &wrapped, &host_old) != 0) return -1;
  handlers[sig] = *act;
  if (old != nullptr) {
    // The program sees its own handler, not the trampoline.
    *old = host_old;
    if (host_old.sa_handler == trampoline ||
        (host_old.sa_flags & SA_SIGINFO &&
         host_old.sa_sigaction == trampoline_info)) {
      *old = previous;
    }
  }
  return 0;
}

}  // namespace sim

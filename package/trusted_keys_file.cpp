// The simulated device's keyed bootstrap for dry runs (velnor-sim boot
// --trusted-keys FILE): the same checks as a device built with trusted
// keys, the keys read from the file velnor-sim put on the device, through
// the seam, at the first check. No device program links this: a device's
// keys are compiled in (trusted_keys.cpp).
#include <fcntl.h>

#include <string>
#include <vector>

#include "common/os.h"
#include "common/unique_fd.h"
#include "package/signature.h"

namespace {

constexpr char keys_path[] = "/etc/velnor/trusted-keys";

std::vector<PublicKey> read_keys() {
  unique_fd fd(os::open(keys_path, O_RDONLY));
  std::string text;
  char buffer[4096];
  for (ssize_t got;
       fd.ok() && (got = os::read(fd.get(), buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<size_t>(got));
  }
  // No key read: a keyed device that trusts nothing refuses every package.
  return public_keys_parse(text).value_or(std::vector<PublicKey>{});
}

}  // namespace

const SignatureHooks* trusted_signatures() {
  static const std::vector<PublicKey> keys = read_keys();
  static const SignatureHooks hooks =
      signature_hooks(keys.data(), keys.size(), nullptr);
  return &hooks;
}

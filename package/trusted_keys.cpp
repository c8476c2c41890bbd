// The trusted keys a program was built with (velnor_trusted_keys in
// package/CMakeLists.txt): this definition replaces the default, which has
// none.
#include <iterator>

#include "package/signature.h"

namespace {

const PublicKey keys[] = {
#include VELNOR_KEYS_FILE
};

}  // namespace

const SignatureHooks* trusted_signatures() {
  static const SignatureHooks hooks = [] {
    // Without it libsodium still verifies, with its portable code.
    signature_library_ready();
    return signature_hooks(keys, std::size(keys));
  }();
  return &hooks;
}

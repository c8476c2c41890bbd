// The trusted keys a program was built with (velnor_trusted_keys in
// package/CMakeLists.txt): this definition replaces the default, which has
// none.
#include <cstdlib>
#include <iterator>

#include "package/signature.h"

namespace {

const PublicKey keys[] = {
#include VELNOR_KEYS_FILE
};

}  // namespace

const SignatureHooks* trusted_signatures() {
  // No sodium_init: checking a signature needs no random source (which
  // could make the first process wait for the kernel's entropy at boot) and
  // no choice among the library's implementations, whose code would all
  // come along; the portable ones verify.
  static const SignatureHooks hooks = signature_hooks(keys, std::size(keys));
  return &hooks;
}

// libsodium's answer to a misuse (an impossible argument) is to abort. Its
// own definition shares a section with sodium_init, which would bring every
// implementation the library can choose among into the program (20 KiB on
// the device); this one is the same abort.
extern "C" [[noreturn]] void sodium_misuse(void) { std::abort(); }

// The trusted keys a program was built with (velnor_trusted_keys in
// package/CMakeLists.txt), and its version floor if it has one: this
// definition replaces the default, which has none.
#include <cstdlib>
#include <iterator>

#include "package/signature.h"

namespace {

const PublicKey keys[] = {
#include VELNOR_KEYS_FILE
};

#ifdef VELNOR_MIN_VERSION_NUMBERS
// The version floor (velnor_trusted_keys' MIN_VERSION): no package whose
// signed version is lower installs.
const uint32_t min_version[4] = {VELNOR_MIN_VERSION_NUMBERS};
#else
const uint32_t* const min_version = nullptr;
#endif

}  // namespace

const SignatureHooks* trusted_signatures() {
  // No sodium_init: checking a signature needs no random source (which
  // could make the first process wait for the kernel's entropy at boot) and
  // no choice among the library's implementations, whose code would all
  // come along; the portable ones verify.
  static const SignatureHooks hooks =
      signature_hooks(keys, std::size(keys), min_version);
  return &hooks;
}

// libsodium's answer to a misuse (an impossible argument) is to abort. Its
// own definition shares a section with sodium_init, which would bring every
// implementation the library can choose among into the program (20 KiB on
// the device); this one is the same abort.
extern "C" [[noreturn]] void sodium_misuse(void) { std::abort(); }

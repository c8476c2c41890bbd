// Linked into the device programs only. An exception that escapes ends the
// program as std::terminate always does, by abort(), but without printing
// the exception's demangled type name first: the demangler is 30 KiB of a
// 400 KiB static program, for a message no device console is watched for.
#include <cstdlib>

namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

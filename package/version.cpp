#include "package/version.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "common/os.h"
#include "common/unique_fd.h"
#include "package/bpk.h"

namespace {

constexpr uint64_t max_version_text = 4096;

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

// The grammar over [p, end).
int parse_range(const char* p, const char* end, FirmwareVersion* version) {
  auto digit = [&] { return p != end && *p >= '0' && *p <= '9'; };
  for (int i = 0; i < 4; ++i) {
    if (!digit()) {
      version->numbers[i] = 0;
      return -EILSEQ;
    }
    uint32_t n = 0;
    while (digit()) n = n * 10 + static_cast<uint32_t>(*p++ - '0');
    version->numbers[i] = n;
    if (i < 3 && (p == end || *p++ != '.')) return -EILSEQ;
  }
  version->plus = 0;
  version->kind = 3;
  for (; p != end; ++p) {
    if (is_space(*p)) continue;
    if (*p == '+') {
      if (version->plus) return -EILSEQ;
      version->plus = 1;
    } else if (*p == 'r' || *p == 't' || *p == 'x') {
      if (version->kind != 3) return -EILSEQ;
      version->kind = *p == 'r' ? 2 : *p == 't' ? 1 : 0;
    } else {
      return -EILSEQ;
    }
  }
  return 0;
}

}  // namespace

int parse_version(const char* text, FirmwareVersion* version) {
  if (text == nullptr || version == nullptr) return -EINVAL;
  return parse_range(text, text + std::strlen(text), version);
}

int parse_version_bytes(const char* bytes, size_t size,
                        FirmwareVersion* version) {
  if (bytes == nullptr || version == nullptr) return -EINVAL;
  if (std::memchr(bytes, '\0', size) != nullptr) return -EILSEQ;
  return parse_range(bytes, bytes + size, version);
}

int read_version_file(const char* path, FirmwareVersion* version) {
  if (path == nullptr || version == nullptr) return -EINVAL;
  // Opened without blocking and read only when it is a regular file: a
  // FIFO would otherwise wait for a writer forever.
  struct stat st;
  unique_fd fd(os::open(path, O_RDONLY | O_NONBLOCK));
  if (!fd.ok() || os::fstat(fd.get(), &st) != 0) return -ENOENT;
  if (!S_ISREG(st.st_mode)) return -EILSEQ;
  if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > max_version_text) {
    return -EILSEQ;
  }
  auto size = static_cast<size_t>(st.st_size);
  std::unique_ptr<char[]> text(new (std::nothrow) char[size ? size : 1]);
  if (!text) return -ENOMEM;
  if (os::read(fd.get(), text.get(), size) != static_cast<ssize_t>(size)) {
    return -EILSEQ;
  }
  return parse_version_bytes(text.get(), size, version);
}

int read_package_version(const char* path, FirmwareVersion* version) {
  if (path == nullptr || version == nullptr) return -EINVAL;
  PackagePtr package = bpk_open(path, false);
  if (!package) return -ENOENT;
  uint64_t size = 0;
  if (bpk_find(package.get(), bpk_type_version, 0, &size, nullptr) != 0) {
    return -ENODATA;
  }
  if (size > max_version_text) return -EILSEQ;
  std::unique_ptr<char[]> text(new (std::nothrow) char[size ? size : 1]);
  if (!text) return -ENOMEM;
  if (bpk_read(package.get(), text.get(), size) != size) return -EILSEQ;
  return parse_version_bytes(text.get(), size, version);
}

int compare_versions(const FirmwareVersion* a, const FirmwareVersion* b) {
  if (a == nullptr || b == nullptr) return -2;
  for (int i = 0; i < 4; ++i) {
    if (a->numbers[i] != b->numbers[i]) {
      return a->numbers[i] > b->numbers[i] ? 1 : -1;
    }
  }
  return 0;
}

// The fuzzer's input as a package file on disk, where the library reads it.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

// One file per process and name, removed when the process ends.
struct FuzzFile {
  explicit FuzzFile(const char* name)
      : path("/tmp/velnor-fuzz-" + std::to_string(::getpid()) + "-" + name) {}
  ~FuzzFile() { ::unlink(path.c_str()); }
  std::string path;
};

inline const std::string& fuzz_path(const char* name) {
  static FuzzFile pkg("pkg"), out("out"), version("version");
  const std::string n = name;
  return n == "pkg" ? pkg.path : n == "out" ? out.path : version.path;
}

inline bool write_fuzz_file(const std::string& path, const uint8_t* data,
                            size_t size) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return false;
  bool ok = ::write(fd, data, size) == static_cast<ssize_t>(size);
  ::close(fd);
  return ok;
}

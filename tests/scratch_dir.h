// A scratch directory of one test's own.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace test_support {

namespace fs = std::filesystem;

// A directory of one test's own, removed with all it holds when the test
// ends, however it ends.
class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = (fs::temp_directory_path() / "velnor-XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data());
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const fs::path& path() const { return path_; }
  std::string operator/(const std::string& name) const {
    return (path_ / name).string();
  }
  // Writes a file here and returns its path.
  std::string put(const std::string& name, const std::string& content) const {
    std::ofstream(path_ / name, std::ios::binary | std::ios::trunc) << content;
    return *this / name;
  }

 private:
  fs::path path_;
};

}  // namespace test_support

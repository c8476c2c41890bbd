// A fresh simulated device for one test, attached for its duration.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "tests/scratch_dir.h"

class SimDevice {
 public:
  explicit SimDevice(const sim::DeviceOptions& options = {}) {
    EXPECT_TRUE(sim::create_device(dir_, options));
    EXPECT_TRUE(sim::attach(dir_));
    sim::capture_console(true);
    sim::clear_console();
  }
  ~SimDevice() {
    sim::capture_console(false);
    sim::clear_console();
    sim::set_console_terminal(std::nullopt);
    sim::detach();
  }
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  const std::string& dir() const { return dir_; }
  std::string host(const std::string& device_path) const {
    return dir_ + "/root" + device_path;
  }

  // Writes a file on the device (parents made as needed).
  void put(const std::string& device_path, const std::string& content,
           mode_t mode = 0644) const {
    std::filesystem::path p = host(device_path);
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << content;
    std::filesystem::permissions(p, static_cast<std::filesystem::perms>(mode));
  }

  // The device's state as velnor-sim show gives it, typed.
  nlohmann::json show() const {
    return nlohmann::json::parse(sim::show_json(dir_));
  }

  std::string get(const std::string& device_path) const {
    std::ifstream in(host(device_path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // The console as written: every captured write, both descriptors.
  static std::string console(int fd) {
    std::string out;
    for (const sim::ConsoleWrite& w : sim::console_writes()) {
      if (w.fd == fd) out += w.bytes;
    }
    return out;
  }
  static std::vector<std::string> writes(int fd) {
    std::vector<std::string> out;
    for (const sim::ConsoleWrite& w : sim::console_writes()) {
      if (w.fd == fd) out.push_back(w.bytes);
    }
    return out;
  }

 private:
  test_support::ScratchDir scratch_;  // removed after the detach
  std::string dir_ = scratch_.path().string();
};

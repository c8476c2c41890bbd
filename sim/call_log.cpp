#include "sim/call_log.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

namespace sim {
namespace {

struct CallLog {
  bool on = false;
  std::string dir;
  std::map<std::string, uint64_t> counts;
};

CallLog& call_log() {
  static CallLog* log = [] {
    auto* l = new CallLog;
    if (const char* dir = std::getenv("VELNOR_SIM_CALLS")) {
      l->on = *dir != '\0';
      l->dir = dir;
      if (l->on) std::atexit(write_call_log);
    }
    return l;
  }();
  return *log;
}

}  // namespace

void note_call(const char* name, const char* path) {
  CallLog& log = call_log();
  if (!log.on) return;
  std::string key = name;
  if (path != nullptr) key += std::string(" ") + path;
  ++log.counts[key];
}

void write_call_log() {
  CallLog& log = call_log();
  if (!log.on) return;
  rusage self{};
  ::getrusage(RUSAGE_SELF, &self);
  auto us = [](const timeval& t) {
    return static_cast<uint64_t>(t.tv_sec) * 1000000 +
           static_cast<uint64_t>(t.tv_usec);
  };
  std::ofstream out(log.dir + "/calls." + std::to_string(::getpid()));
  out << "cpu_us " << us(self.ru_utime) + us(self.ru_stime) << "\n";
  for (const auto& [key, count] : log.counts)
    out << count << " " << key << "\n";
  log.counts.clear();
}

void call_log_forget() { call_log().counts.clear(); }

}  // namespace sim

#include "sim/json.h"

#include <cstdio>
#include <fstream>

namespace sim {

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += "\"";
  return out;
}

std::string json_lines(const std::string& path) {
  std::ifstream in(path);
  std::string out = "[", line;
  const char* sep = "";
  while (std::getline(in, line)) {
    out += sep + json_string(line);
    sep = ", ";
  }
  return out + "]";
}

}  // namespace sim

// A small JSON writer for velnor-sim's reports.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sim {

std::string json_string(std::string_view text);
// The lines of a file as an array of strings ([] when it cannot be read).
std::string json_lines(const std::string& path);

}  // namespace sim

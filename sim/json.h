// A small JSON writer for velnor-sim's reports.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sim {

std::string json_string(std::string_view text);

}  // namespace sim

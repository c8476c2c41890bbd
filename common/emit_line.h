// Message lines: the one way any part of the system writes a message.
#pragma once

#include <initializer_list>
#include <string_view>

// Writes the pieces back to back and then a line feed, each with its own
// write call on the descriptor (1 for information, 2 for failures). Nothing is
// assembled in memory, so lines from the two programs sharing the console can
// interleave piece by piece. Write failures are ignored.
void emit_pieces(int fd, std::initializer_list<std::string_view> pieces);

template <typename... Rest>
void emit_line(int fd, std::string_view first, const Rest&... rest) {
  emit_pieces(fd, {first, std::string_view(rest)...});
}

// The system's standard message for the current error number.
const char* errno_text();

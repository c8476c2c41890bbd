// A 32-bit value kept as text in a file: "0x", eight hex digits, line feed.
#pragma once

#include <cstdint>

int read_hex_word_file(const char* path, uint32_t* value);
int write_hex_word_file(const char* path, uint32_t value);

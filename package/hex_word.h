// A 32-bit value kept as text in a file: "0x", eight hex digits, line feed.
#pragma once

#include <cstdint>

// Reads the word: 0; -1 for a missing argument, a file that cannot be
// opened (reported) or text that is not such a word ("Corrupted file: ";
// value then holds the digits taken so far).
int read_hex_word_file(const char* path, uint32_t* value);
// Writes the word's eleven bytes in one write: 0, or -1 when the file cannot
// be opened or the write falls short.
int write_hex_word_file(const char* path, uint32_t value);

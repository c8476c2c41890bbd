// Decimal text for unsigned 32-bit numbers, without the C library's locale,
// sign or white-space handling.
#pragma once

#include <cstdint>

// Writes the digits of value and a NUL into buffer (at least 11 bytes) and
// returns the digit count (1 to 10). A null buffer only counts.
int format_decimal(char* buffer, uint32_t value);

// Reads the run of digits at the very start of text; returns how many were
// read. result, when not null, receives the value (0 without digits). More
// than ten digits wrap around in 32 bits.
int parse_decimal(const char* text, uint32_t* result);

#include "common/decimal.h"

#include <cstring>

int format_decimal(char* buffer, uint32_t value) {
  char scratch[40];
  char* end = scratch + sizeof scratch;
  char* p = end;
  do {
    *--p = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  int count = static_cast<int>(end - p);
  if (buffer != nullptr) {
    std::memcpy(buffer, p, static_cast<size_t>(count));
    buffer[count] = '\0';
  }
  return count;
}

int parse_decimal(const char* text, uint32_t* result) {
  uint32_t value = 0;
  int count = 0;
  while (text[count] >= '0' && text[count] <= '9') {
    value = value * 10 + static_cast<uint32_t>(text[count] - '0');
    ++count;
  }
  if (result != nullptr) *result = value;
  return count;
}

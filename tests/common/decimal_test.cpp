#include "common/decimal.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(FormatDecimal, WritesDigitsAndCountsThem) {
  struct Row {
    uint32_t value;
    const char* text;
  } rows[] = {{0, "0"}, {1000, "1000"}, {4294967295u, "4294967295"}};
  for (const Row& row : rows) {
    char buffer[11];
    int length = static_cast<int>(std::strlen(row.text));
    EXPECT_EQ(format_decimal(buffer, row.value), length) << row.text;
    EXPECT_STREQ(buffer, row.text);
    EXPECT_EQ(format_decimal(nullptr, row.value), length) << row.text;
  }
}

// Only the leading digits count; past ten digits the value wraps in 32 bits
// (the callers read sysfs numbers of at most ten).
TEST(ParseDecimal, ReadsOnlyTheLeadingDigits) {
  struct Row {
    const char* text;
    int consumed;
    uint32_t value;
  } rows[] = {
      {"254:0", 3, 254},
      {":12", 0, 0},
      {"-5", 0, 0},
      {" 5", 0, 0},
      {"", 0, 0},
      {"42", 2, 42},
      {"4294967296", 10, 0},
      {"12345678901", 11, static_cast<uint32_t>(12345678901ull)},
  };
  for (const Row& row : rows) {
    uint32_t value = 99;
    EXPECT_EQ(parse_decimal(row.text, &value), row.consumed) << row.text;
    EXPECT_EQ(value, row.value) << row.text;
    EXPECT_EQ(parse_decimal(row.text, nullptr), row.consumed) << row.text;
  }
}

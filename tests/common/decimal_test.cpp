#include "common/decimal.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(FormatDecimal, WritesDigitsAndCountsThem) {
  char buffer[11];
  EXPECT_EQ(format_decimal(buffer, 0), 1);
  EXPECT_STREQ(buffer, "0");
  EXPECT_EQ(format_decimal(buffer, 4294967295u), 10);
  EXPECT_STREQ(buffer, "4294967295");
  EXPECT_EQ(format_decimal(buffer, 1000), 4);
  EXPECT_STREQ(buffer, "1000");
  EXPECT_EQ(format_decimal(nullptr, 12345), 5);
}

TEST(ParseDecimal, ReadsOnlyTheLeadingDigits) {
  uint32_t value = 99;
  EXPECT_EQ(parse_decimal("254:0", &value), 3);
  EXPECT_EQ(value, 254u);
  EXPECT_EQ(parse_decimal(":12", &value), 0);
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(parse_decimal("-5", &value), 0);
  EXPECT_EQ(parse_decimal(" 5", &value), 0);
  EXPECT_EQ(parse_decimal("", &value), 0);
  EXPECT_EQ(parse_decimal("42", nullptr), 2);
}

TEST(ParseDecimal, WrapsPastTenDigitsIn32Bits) {
  uint32_t value;
  EXPECT_EQ(parse_decimal("4294967296", &value), 10);
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(parse_decimal("12345678901", &value), 11);
  EXPECT_EQ(value, static_cast<uint32_t>(12345678901ull));
}

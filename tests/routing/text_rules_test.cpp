// The number conversion and the letter-case rule.
#include <gtest/gtest.h>

#include <climits>

#include "routing/text_rules.h"

using namespace vantelo::routing;

namespace {

TEST(TextToInt, FollowsTheConversionRules) {
  EXPECT_EQ(TextToInt("25"), 25);
  EXPECT_EQ(TextToInt("  25"), 25);
  EXPECT_EQ(TextToInt("+25"), 25);
  EXPECT_EQ(TextToInt("-7"), -7);
  EXPECT_EQ(TextToInt("$19"), 25);
  EXPECT_EQ(TextToInt("0x19"), 25);
  EXPECT_EQ(TextToInt("X1a"), 26);
  EXPECT_EQ(TextToInt("2147483647"), INT_MAX);
  EXPECT_EQ(TextToInt("-2147483648"), INT_MIN);
  EXPECT_EQ(TextToInt("$7FFFFFFF"), INT_MAX);
  for (const char* bad : {"", " ", "25 ", "2 5", "x", "-$19", "0x", "2147483648", "25a", "\t25",
                          "-2147483649", "99999999999999999999"}) {
    EXPECT_EQ(TextToInt(bad), std::nullopt) << "'" << bad << "'";
  }
}

// Hexadecimal values that do not fit a signed 32-bit integer used to wrap
// round to negative numbers.
TEST(TextToInt, RefusesHexadecimalBeyondTheSignedRange) {
  for (const char* bad : {"$80000000", "$FFFFFFFF", "0xFFFFFFFF", "x100000000"}) {
    EXPECT_EQ(TextToInt(bad), std::nullopt) << bad;
  }
}

// A port outside 1 to 65535 used to reach the socket's low 16 bits: "70000"
// went to 4464, "-5" to 65531, "0" to a port nobody is told.
TEST(TextToPort, OnlyOneTo65535) {
  EXPECT_EQ(TextToPort("1"), 1);
  EXPECT_EQ(TextToPort("65535"), 65535);
  EXPECT_EQ(TextToPort(" $19"), 25);
  for (const char* bad : {"0", "-5", "-65511", "65536", "70000", "$FFFFFFFF", "25 ", ""}) {
    EXPECT_EQ(TextToPort(bad), std::nullopt) << bad;
  }
}

TEST(SameText, IgnoresOnlyAsciiLetterCase) {
  EXPECT_TRUE(SameText("SmtpPort", "smtpPORT"));
  EXPECT_TRUE(SameText("", ""));
  EXPECT_FALSE(SameText("dial", "dia"));
  EXPECT_FALSE(SameText("[", "{"));  // 0x5B and 0x7B differ by the case bit but are not letters
  EXPECT_FALSE(SameText("\xC9", "\xE9"));
}

}  // namespace

#include "soap/answer.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace velmora::detail {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

TEST(DecimalRule, AcceptsSignedAsciiDigitsAcrossTheWholeRange) {
  EXPECT_EQ(readDecimal("42"), 42);
  EXPECT_EQ(readDecimal("+42"), 42);
  EXPECT_EQ(readDecimal("-42"), -42);
  EXPECT_EQ(readDecimal("007"), 7);
  EXPECT_EQ(readDecimal("-0"), 0);
  EXPECT_EQ(readDecimal("9223372036854775807"), kMax);
  EXPECT_EQ(readDecimal("+0009223372036854775807"), kMax);
  EXPECT_EQ(readDecimal("-9223372036854775808"), kMin);
}

TEST(DecimalRule, RefusesEverythingElse) {
  const char* const refused[] = {
      "", "+", "-", "+-5", "-+5", "--5", "4 2", " 42", "42\n", "42.0", "0x2A", "1e3", "42abc",
      "1,000", "9223372036854775808", "-9223372036854775809", "99999999999999999999",
      // 42 in Arabic-Indic, Persian and full-width digits.
      "\xd9\xa4\xd9\xa2", "\xdb\xb4\xdb\xb2", "\xef\xbc\x94\xef\xbc\x92"};
  for (const char* text : refused) EXPECT_EQ(readDecimal(text), std::nullopt) << '"' << text << '"';
}

TEST(TrimXmlSpace, RemovesOnlyXmlWhiteSpaceAtBothEnds) {
  EXPECT_EQ(trimXmlSpace(" \t\r\n4 2 \n"), "4 2");
  EXPECT_EQ(trimXmlSpace(" \n\t "), "");
  // Vertical tab and no-break space are not XML white space.
  EXPECT_EQ(trimXmlSpace("\v42\xc2\xa0"), "\v42\xc2\xa0");
}

}  // namespace
}  // namespace velmora::detail

#include "text/utf8.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmora::detail {
namespace {

// Every row and boundary of the well-formed UTF-8 byte sequences (Unicode, chapter 3).
TEST(Utf8, AcceptsExactlyTheWellFormedByteSequences) {
  struct Range {
    unsigned char low, high;
  };
  const std::vector<std::vector<Range>> rows{
      {{0x00, 0x7F}},
      {{0xC2, 0xDF}, {0x80, 0xBF}},
      {{0xE0, 0xE0}, {0xA0, 0xBF}, {0x80, 0xBF}},
      {{0xE1, 0xEC}, {0x80, 0xBF}, {0x80, 0xBF}},
      {{0xED, 0xED}, {0x80, 0x9F}, {0x80, 0xBF}},
      {{0xEE, 0xEF}, {0x80, 0xBF}, {0x80, 0xBF}},
      {{0xF0, 0xF0}, {0x90, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}},
      {{0xF1, 0xF3}, {0x80, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}},
      {{0xF4, 0xF4}, {0x80, 0x8F}, {0x80, 0xBF}, {0x80, 0xBF}},
  };
  const auto valid = [](const std::string& bytes) {
    return isValidUtf8(bytes) && isValidUtf8("a" + bytes + "z");
  };
  const auto hex = [](const std::string& bytes) { return ::testing::PrintToString(bytes); };
  for (const auto& row : rows) {
    const std::size_t n = row.size();
    // Every combination of the low and high boundaries of each byte is accepted.
    for (unsigned corners = 0; corners < (1u << n); ++corners) {
      std::string bytes;
      for (std::size_t i = 0; i < n; ++i) {
        bytes += static_cast<char>((corners >> i) & 1u ? row[i].high : row[i].low);
      }
      EXPECT_TRUE(valid(bytes)) << hex(bytes);
    }
    std::string lowest;
    for (const Range& r : row) lowest += static_cast<char>(r.low);
    // The first value past each boundary of a continuation byte is refused.
    for (std::size_t i = 1; i < n; ++i) {
      for (const int past : {row[i].low - 1, row[i].high + 1}) {
        std::string bytes = lowest;
        bytes[i] = static_cast<char>(past);
        EXPECT_FALSE(isValidUtf8(bytes)) << hex(bytes);
      }
    }
    // A sequence cut short at the end of the text is refused.
    for (std::size_t cut = 1; cut < n; ++cut) {
      EXPECT_FALSE(isValidUtf8("a" + lowest.substr(0, cut))) << hex(lowest) << " / " << cut;
    }
  }
  // Bytes that begin no sequence, and the ceiling of the code space.
  for (const int lead : {0x80, 0xBF, 0xC0, 0xC1, 0xF5, 0xFF}) {
    EXPECT_FALSE(isValidUtf8(std::string{static_cast<char>(lead), '\x80', '\x80', '\x80'})) << lead;
  }
  EXPECT_TRUE(isValidUtf8("\xF4\x8F\xBF\xBF"));
  EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));
}

}  // namespace
}  // namespace velmora::detail

#include "text/utf8.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "velmora/text.hpp"

namespace velmora::detail {
namespace {

struct Range {
  unsigned char low, high;
};

// Every row of the well-formed UTF-8 byte sequences (Unicode, chapter 3): the range of each byte.
std::vector<std::vector<Range>> wellFormedRows() {
  return {
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
}

// Every row and boundary of the well-formed UTF-8 byte sequences.
TEST(Utf8, AcceptsExactlyTheWellFormedByteSequences) {
  const auto rows = wellFormedRows();
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

// The public functions read UTF-8 as the client does; the sequence length looks at the first
// sequence only, whatever follows it.
TEST(Utf8, PublicSequenceLengthIsThatOfTheFirstWellFormedSequence) {
  const auto hex = [](const std::string& bytes) { return testing::PrintToString(bytes); };
  for (const auto& row : wellFormedRows()) {
    const std::size_t n = row.size();
    std::string lowest;
    std::string highest;
    for (const Range& r : row) {
      lowest += static_cast<char>(r.low);
      highest += static_cast<char>(r.high);
    }
    for (const std::string& bytes : {lowest, highest}) {
      EXPECT_EQ(velmora::utf8SequenceLength(bytes), n) << hex(bytes);
      EXPECT_EQ(velmora::utf8SequenceLength(bytes + "\xFF"), n) << hex(bytes);
      EXPECT_EQ(velmora::utf8SequenceLength(bytes + lowest), n) << hex(bytes);
      EXPECT_TRUE(velmora::isValidUtf8(bytes + highest)) << hex(bytes);
      EXPECT_FALSE(velmora::isValidUtf8(bytes + "\xFF")) << hex(bytes);
    }
    for (std::size_t i = 1; i < n; ++i) {
      for (const int past : {row[i].low - 1, row[i].high + 1}) {
        std::string bytes = lowest;
        bytes[i] = static_cast<char>(past);
        EXPECT_EQ(velmora::utf8SequenceLength(bytes + "a"), 0u) << hex(bytes);
      }
    }
    for (std::size_t cut = 1; cut < n; ++cut) {
      EXPECT_EQ(velmora::utf8SequenceLength(lowest.substr(0, cut)), 0u) << hex(lowest) << cut;
    }
  }
  for (const int lead : {0x80, 0xBF, 0xC0, 0xC1, 0xF5, 0xFF}) {
    EXPECT_EQ(
        velmora::utf8SequenceLength(std::string{static_cast<char>(lead), '\x80', '\x80', '\x80'}),
        0u)
        << lead;
  }
  EXPECT_EQ(velmora::utf8SequenceLength("\xF4\x90\x80\x80"), 0u);  // past U+10FFFF
  EXPECT_EQ(velmora::utf8SequenceLength(""), 0u);
  EXPECT_TRUE(velmora::isValidUtf8(""));
}

}  // namespace
}  // namespace velmora::detail

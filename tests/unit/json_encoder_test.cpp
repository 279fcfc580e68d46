#include "rest/json_encoder.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "support/message_records.hpp"

namespace velmora::detail {
namespace {

using test::makeRecord;

std::string escaped(std::string_view text) {
  std::string out = "prefix:";
  JsonEncoder().appendEscaped(out, text);
  return out;
}

TEST(JsonEncoder, EscapesOnlyWhatJsonRequiresPlusSolidus) {
  EXPECT_EQ(escaped(""), "prefix:");
  EXPECT_EQ(escaped("plain 0912 text"), "prefix:plain 0912 text");
  EXPECT_EQ(escaped("a\"b\\c/d"), R"(prefix:a\"b\\c\/d)");
  EXPECT_EQ(escaped("\b\f\n\r\t"), R"(prefix:\b\f\n\r\t)");
  EXPECT_EQ(escaped(std::string("\0\x01\x0b\x1f", 4)), R"(prefix:\u0000\u0001\u000b\u001f)");
  // Space and DEL are not control characters that JSON asks to escape.
  EXPECT_EQ(escaped(" \x7f"), "prefix: \x7f");
  // Non-ASCII letters stay as their UTF-8 bytes.
  EXPECT_EQ(escaped("سلام é 😀"), "prefix:سلام é 😀");
  // Escapes at both ends and next to each other, where run bookkeeping goes wrong.
  EXPECT_EQ(escaped("\"\"x\n"), R"(prefix:\"\"x\n)");
}

TEST(JsonEncoder, EveryByteRoundTripsThroughAJsonParser) {
  std::string all;
  for (int c = 0; c < 0x80; ++c) all.push_back(static_cast<char>(c));
  all += "ÿ€😀";
  const std::string encoded = JsonEncoder().encode(std::vector<std::string>{all});
  EXPECT_EQ(nlohmann::json::parse(encoded), nlohmann::json::array({all}));
}

TEST(JsonEncoder, RecordListsAreCompactObjectsWithLowerCaseMembers) {
  const JsonEncoder encoder;
  EXPECT_EQ(encoder.encode(std::vector<RecipientsMessage>{}), "[]");
  EXPECT_EQ(encoder.encode(std::vector<RecipientsMessage>{RecipientsMessage()}),
            R"([{"id":"","message":"","mobile":""}])");
  EXPECT_EQ(encoder.encode({makeRecord("1", "hi", "0912"), makeRecord("2", "say \"yo\"", "0935")}),
            R"([{"id":"1","message":"hi","mobile":"0912"},)"
            R"({"id":"2","message":"say \"yo\"","mobile":"0935"}])");
}

TEST(JsonEncoder, PlainSizeIsExactForTextsThatNeedNoEscaping) {
  const std::vector<std::string> texts{"", "0912", "abc"};
  const std::vector<RecipientsMessage> records{makeRecord("1", "hi", "0912"), RecipientsMessage()};
  const JsonEncoder encoder;
  EXPECT_EQ(JsonEncoder::plainSize(texts), encoder.encode(texts).size());
  EXPECT_EQ(JsonEncoder::plainSize(std::vector<std::string>{}), 2u);
  EXPECT_EQ(JsonEncoder::plainSize(records), encoder.encode(records).size());
}

}  // namespace
}  // namespace velmora::detail

#include "velmora/messages.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

#include "support/message_records.hpp"

namespace velmora {
namespace {

using nlohmann::json;
using test::makeRecord;

// Decodes `j` and returns the error text, or "" when it decoded.
std::string decodeError(const json& j) {
  try {
    (void)j.get<RecipientsMessage>();
    return "";
  } catch (const json::out_of_range& e) {
    return "out_of_range " + std::to_string(e.id) + ": " + e.what();
  } catch (const json::type_error& e) {
    return "type_error " + std::to_string(e.id) + ": " + e.what();
  }
}

TEST(RecipientsMessage, EncodesAllThreeMembersEvenWhenEmpty) {
  EXPECT_EQ(json(RecipientsMessage()).dump(), R"({"id":"","message":"","mobile":""})");
  EXPECT_EQ(json(makeRecord("1", "hi", "0912")),
            json::parse(R"({"id":"1","message":"hi","mobile":"0912"})"));
  EXPECT_EQ(json(std::vector<RecipientsMessage>{}).dump(), "[]");
}

TEST(RecipientsMessage, DecodingIgnoresExtraMembers) {
  const auto m =
      json::parse(R"({"mobile":"3","extra":1,"message":"2","id":"1"})").get<RecipientsMessage>();
  EXPECT_EQ(m, makeRecord("1", "2", "3"));
}

TEST(RecipientsMessage, DecodingTellsMissingNullAndMistypedMembersApart) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      // Member names are matched with their case: capitalised names leave "id" missing.
      {R"({"Id":"1","Message":"2","Mobile":"3"})", {"out_of_range 403", "'id'"}},
      {R"({"id":"1","message":"2","mobile":null})",
       {"type_error 302", "value not found", "'mobile'"}},
      {R"({"id":"1","message":"2","mobile":912})", {"type_error 302", "type mismatch", "'mobile'"}},
      // The first bad member is the one reported, in the order id, message, mobile.
      {R"({"id":1,"message":null})", {"type mismatch: member 'id'"}},
      {R"(["1","2","3"])", {"type_error 302"}},
  };
  for (const auto& [text, parts] : cases) {
    const std::string error = decodeError(json::parse(text));
    for (const std::string& part : parts) EXPECT_NE(error.find(part), std::string::npos) << error;
  }
}

TEST(RecipientsMessage, FailedDecodingLeavesTheTargetUnchanged) {
  RecipientsMessage target = makeRecord("a", "b", "c");
  EXPECT_THROW(from_json(json::parse(R"({"id":"1","message":"2"})"), target), json::exception);
  EXPECT_EQ(target, makeRecord("a", "b", "c"));
}

TEST(ReceivedMsgs, ToStringIsOneLineEvenForAwkwardTexts) {
  ReceivedMsgs m;
  m.setMsgBody("two\nlines \"quoted\"");
  m.setMobile(std::string("\xff", 1));
  m.setDates(1700000000);
  const std::string text = m.toString();
  EXPECT_EQ(text.find('\n'), std::string::npos) << text;
  EXPECT_NE(text.find("1700000000"), std::string::npos) << text;
  EXPECT_NE(text.find(R"(two\nlines \"quoted\")"), std::string::npos) << text;
}

}  // namespace
}  // namespace velmora

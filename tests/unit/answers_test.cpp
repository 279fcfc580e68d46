// The typed payload readers: the shapes the service sends, numbers written as digit strings,
// and every way a payload can fail to be what it should, named by where it went wrong.

#include "velmora/answers.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "call/failure_scope.hpp"

namespace velmora {
namespace {

using nlohmann::json;

std::shared_ptr<Result> success(const char* payload) {
  auto result = std::make_shared<Result>();
  result->setPayload(json::parse(payload));
  return result;
}

TEST(Answers, ReadTheServiceShapesWithNumbersAsDigitsAndExtraMembersIgnored) {
  const auto receipt = readSendReceipt(
      success(R"({"GroupMessageId":1000,"MessageIds":["1001",1002],"Cost":"200","Extra":[1]})"));
  ASSERT_TRUE(receipt) << receipt.error;
  EXPECT_EQ(receipt.value->groupMessageId, "1000");
  EXPECT_EQ(receipt.value->messageIds, (std::vector<std::string>{"1001", "1002"}));
  EXPECT_EQ(receipt.value->cost, 200);
  EXPECT_EQ(receipt.value->creditLeft, std::nullopt);

  const auto states = readDeliveryStates(success(
      R"([{"MessageId":"7","Mobile":"0912","Status":"27"},{"MessageId":8,"Mobile":"","Status":5}])"));
  ASSERT_TRUE(states) << states.error;
  ASSERT_EQ(states.value->size(), 2u);
  EXPECT_EQ((*states.value)[0].status, StatusCode::NumberError);
  // A state this version does not know is kept as its number, never mapped to a near one.
  EXPECT_EQ((*states.value)[1].status, std::nullopt);
  EXPECT_EQ((*states.value)[1].rawStatus, 5);
  EXPECT_EQ((*states.value)[1].messageId, "8");

  const auto inbox = readInboxPage(
      success(R"([{"MsgBody":"hi","Mobile":"3000","Dates":"1700000000","Seen":true}])"));
  ASSERT_TRUE(inbox) << inbox.error;
  EXPECT_EQ(inbox.value->at(0)->MsgBody(), "hi");
  EXPECT_EQ(inbox.value->at(0)->Dates(), 1700000000);
  EXPECT_TRUE(readInboxPage(success("[]")).value->empty());

  EXPECT_EQ(readCredit(success(R"("-5")")).value, -5);
  EXPECT_EQ(readCredit(success("99800.0")).value, 99800);
  EXPECT_EQ(readGroupMessageId(success(R"("1000")")).value, "1000");
  const auto prices = readPrices(success(
      R"({"AsciiPartPrice":100,"UnicodePartPrice":"120","AsciiPartLength":160,
          "UnicodePartLength":70,"MaxParts":8})"));
  ASSERT_TRUE(prices) << prices.error;
  EXPECT_EQ(prices.value->unicodePartPrice, 120);
  EXPECT_EQ(prices.value->maxParts, 8);
  const auto list = readWhiteList(success(R"([{"Mobile":"0912","InWhiteList":true}])"));
  ASSERT_TRUE(list) << list.error;
  EXPECT_TRUE(list.value->at(0).inWhiteList);
}

TEST(Answers, NameWhereAPayloadIsNotWhatItShouldBe) {
  struct Case {
    std::function<std::string(std::shared_ptr<Result>)> read;
    const char* payload;
    const char* error;
  };
  const auto errorOf = [](auto reader) {
    return [reader](std::shared_ptr<Result> r) {
      const auto read = reader(r);
      EXPECT_FALSE(read.value.has_value());
      return read.error;
    };
  };
  const Case cases[] = {
      {errorOf(readSendReceipt), R"({"MessageIds":[]})", "Result.GroupMessageId is missing"},
      {errorOf(readSendReceipt), R"({"GroupMessageId":"","MessageIds":[]})",
       "Result.GroupMessageId is empty"},
      {errorOf(readSendReceipt), R"({"GroupMessageId":"1","MessageIds":["2",2.5]})",
       "Result.MessageIds[1] is not a whole number"},
      {errorOf(readSendReceipt), R"({"GroupMessageId":"1","MessageIds":[],"Cost":"2e3"})",
       "Result.Cost is a string that is not a whole decimal number"},
      {errorOf(readDeliveryStates), R"({"MessageId":"1"})", "Result is not an array"},
      {errorOf(readDeliveryStates), R"([{"MessageId":"1","Mobile":912,"Status":1}])",
       "Result[0].Mobile is not a string"},
      {errorOf(readDeliveryStates), R"([{"MessageId":"1","Mobile":"","Status":null}])",
       "Result[0].Status is null"},
      {errorOf(readInboxPage), R"([{"MsgBody":"a","Mobile":"1","Dates":1},7])",
       "Result[1] is not an object"},
      {errorOf(readCredit), "18446744073709551615", "Result is outside the signed 64-bit range"},
      {errorOf(readCredit), R"("")", "Result is a string that is not a whole decimal number"},
      {errorOf(readGroupMessageId), "true", "Result is neither a number nor a string of digits"},
      {errorOf(readGroupMessageId), "-7", "Result is not a positive number"},
      {errorOf(readGroupMessageId), "0", "Result is not a positive number"},
      {errorOf(readSendReceipt), R"({"GroupMessageId":"1","MessageIds":[-2002]})",
       "Result.MessageIds[0] is not a positive number"},
      {errorOf(readPrices), R"({"AsciiPartPrice":1})", "Result.UnicodePartPrice is missing"},
      {errorOf(readWhiteList), R"([{"Mobile":"1","InWhiteList":1}])",
       "Result[0].InWhiteList is neither true nor false"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload);
    EXPECT_EQ(c.read(success(c.payload)), c.error);
  }
  // A new record's payload is the empty string, which no reader takes for a value.
  EXPECT_FALSE(readWhiteList(std::make_shared<Result>()));
}

TEST(Answers, AFailedCallOrARefusalIsNoValue) {
  EXPECT_EQ(readCredit(nullptr).error, "the call failed");
  Failure failure;
  failure.kind = FailureKind::Connect;
  failure.message = "Connection refused";
  failure.requestMayHaveArrived = false;
  {
    detail::FailureScope inCompletion(&failure, failure.attempts);
    EXPECT_EQ(readSendReceipt(nullptr).error, "the call failed: Connection refused");
  }
  auto refused = success("1000");
  refused->setCode(ResultCode::CreditError);
  refused->setMessage("credit short");
  EXPECT_EQ(readCredit(refused).error, "the service answered CreditError (3003): credit short");
  // A code this version does not know never passes for Success.
  refused->setCode(static_cast<ResultCode>(4242));
  refused->setMessage("");
  EXPECT_EQ(readCredit(refused).error, "the service answered Unknown (4242)");
}

TEST(Answers, OnlySettledStatesAreFinalAndOnlySendedIsDelivered) {
  const std::pair<StatusCode, bool> finality[] = {
      {StatusCode::Unknown, false},
      {StatusCode::Sended, true},
      {StatusCode::InQueue, false},
      {StatusCode::Filtered, true},
      {StatusCode::InTelecommunication, false},
      {StatusCode::NotInTelecommunication, true},
      {StatusCode::NumberError, true},
      {StatusCode::ServerFull, false},
  };
  for (const auto& [status, final] : finality) {
    SCOPED_TRACE(name(status));
    EXPECT_EQ(isFinal(status), final);
    EXPECT_EQ(isDelivered(status), status == StatusCode::Sended);
  }
  EXPECT_STREQ(name(FailureKind::MalformedAnswer), "MalformedAnswer");
  EXPECT_STREQ(name(static_cast<FailureKind>(99)), "");
}

}  // namespace
}  // namespace velmora

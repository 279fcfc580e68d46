// The typed operations on the scripted transport: the same bytes as the members they stand on,
// and one Outcome that keeps the value or the whole reason, read after the completion too.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/through.hpp"
#include "velmora/future.hpp"
#include "velmora/testing.hpp"
#include "velmora/velmora.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using testing::reply;

using test::through;

RecipientsMessage record(const char* id, const char* text, const char* mobile) {
  RecipientsMessage m;
  m.setId(id);
  m.setMessage(text);
  m.setMobile(mobile);
  return m;
}

// Each typed form puts its fields where the member's positional arguments go: a swapped pair
// (dates, ports, group and line) changes the bytes.
TEST(TypedOperations, SendTheSameRequestsAsTheMembers) {
  const std::vector<RecipientsMessage> each = {record("1", "a", "0912"), record("2", "b", "0935")};
  const auto at = std::chrono::system_clock::time_point(1'700'000'000'500ms);
  using Start = std::function<void(Velmora&)>;
  const std::vector<std::pair<Start, Start>> pairs = {
      {[&](Velmora& c) {
         c.send({"3000", "hi", {"0912", "0935"}, "g7", at}, {});
       },
       [](Velmora& c) {
         c.SendMessage("3000", "hi", {"0912", "0935"}, "g7", 1'700'000'000, {});
       }},
      {[&](Velmora& c) {
         c.sendEach({"3000", each, "g7"}, {});
       },
       [&](Velmora& c) { c.SendCorrespondingMessage("3000", each, "g7", {}); }},
      {[&](Velmora& c) {
         c.sendToPort({"3000", 11, 22, each, "g7"}, {});
       },
       [&](Velmora& c) { c.SendMessageToPort("3000", 11, 22, "g7", each, {}); }},
      {[](Velmora& c) { c.groupStatus("77", {}); },
       [](Velmora& c) { c.GroupMessageStatus("77", {}); }},
      {[](Velmora& c) {
         c.messageStatus({"5", "6"}, {});
       },
       [](Velmora& c) {
         c.CorrespondingMessageStatus({"5", "6"}, {});
       }},
      {[](Velmora& c) { c.groupMessageId("g7", {}); },
       [](Velmora& c) { c.GetGroupMessageId("g7", {}); }},
      {[](Velmora& c) {
         c.inbox({"3000", 100, 200, 3}, {});
       },
       [](Velmora& c) { c.ReceiveMessages("3000", 100, 200, 3, {}); }},
      {[](Velmora& c) { c.credit({}); }, [](Velmora& c) { c.GetCredit({}); }},
      {[](Velmora& c) { c.prices({}); }, [](Velmora& c) { c.GetPrices({}); }},
      {[](Velmora& c) { c.whiteList({"0912"}, {}); },
       [](Velmora& c) { c.ShowWhiteList({"0912"}, {}); }},
      {[](Velmora& c) { c.sendCode("0912", "shop", {}); },
       [](Velmora& c) { c.AutoSendCode("0912", "shop", {}); }},
      {[](Velmora& c) { c.checkCode("0912", "4711", {}); },
       [](Velmora& c) { c.CheckSendCode("0912", "4711", {}); }},
      {[](Velmora& c) { c.sendWithCode("0912", "4711", {}); },
       [](Velmora& c) { c.SendMessageWithCode("0912", "4711", {}); }},
  };
  for (const auto& [typed, member] : pairs) {
    auto transport = std::make_shared<testing::ScriptedTransport>();
    transport->keepCredentials();
    Velmora client("user", "secret", through(transport));
    typed(client);
    member(client);
    client.drain(5s);
    const auto requests = transport->requests();
    ASSERT_EQ(requests.size(), 2u);
    SCOPED_TRACE(requests[1].operation);
    EXPECT_EQ(requests[0].operation, requests[1].operation);
    EXPECT_EQ(requests[0].request.url, requests[1].request.url);
    EXPECT_EQ(requests[0].request.headers, requests[1].request.headers);
    EXPECT_EQ(requests[0].request.body, requests[1].request.body);
  }
}

class Typed : public ::testing::Test {
 protected:
  std::shared_ptr<testing::ScriptedTransport> transport =
      std::make_shared<testing::ScriptedTransport>();
  Velmora client{"user", "secret", through(transport)};
};

TEST_F(Typed, ValuesAreReadIntoTheirTypes) {
  transport->answer("SendMessage", reply(200, R"({"Code":0,"Result":{"GroupMessageId":"g-1",)"
                                              R"("MessageIds":[11,"12"],"Cost":2}})"));
  transport->answer("GetCredit", reply(200, R"({"Code":0,"Result":"1500"})"));
  transport->answer("ReceiveMessages",
                    reply(200, R"({"Code":0,"Result":[{"MsgBody":"yes","Mobile":"0912",)"
                               R"("Dates":170}]})"));
  transport->answer("CheckSendCode", reply(200, "<Envelope><Body><R>false</R></Body></Envelope>"));

  const Outcome<SendReceipt> sent =
      toFuture(client, &Velmora::send, SendRequest{"3000", "hi", {"0912", "0935"}}).get();
  ASSERT_TRUE(sent) << sent.failure->message;
  EXPECT_EQ(sent.value.groupMessageId, "g-1");
  EXPECT_EQ(sent.value.messageIds, (std::vector<std::string>{"11", "12"}));
  EXPECT_EQ(sent.value.cost, 2);

  const Outcome<Credit> credit = toFuture(client, &Velmora::credit).get();
  ASSERT_TRUE(credit);
  EXPECT_EQ(credit.value.amount, 1500);

  const Outcome<InboxPage> page =
      toFuture(client, &Velmora::inbox, InboxRequest{"3000", 100, 200, 4}).get();
  ASSERT_TRUE(page);
  EXPECT_EQ(page.value.page, 4);
  ASSERT_EQ(page.value.messages.size(), 1u);
  EXPECT_EQ(page.value.messages[0].MsgBody(), "yes");
  EXPECT_EQ(page.value.messages[0].Dates(), 170);

  // "false" is a verdict, not a failure.
  const Outcome<CodeCheck> check = toFuture(client, &Velmora::checkCode, "0912", "1").get();
  ASSERT_TRUE(check);
  EXPECT_FALSE(check.value.matches);
}

// Read after `get()`, off the completion thread, the refusal still says everything.
TEST_F(Typed, ARefusalCarriesTheServiceCodeAndMessage) {
  transport->answerInTurn("GetCredit", {reply(200, R"({"Code":"3003","Message":"top up"})"),
                                        reply(200, R"({"Code":4242})")});
  const Outcome<Credit> low = toFuture(client, &Velmora::credit).get();
  ASSERT_FALSE(low);
  EXPECT_EQ(low.failure->kind, FailureKind::ServiceRefused);
  EXPECT_EQ(low.failure->code, ResultCode::CreditError);
  EXPECT_EQ(low.failure->rawCode, 3003);
  EXPECT_EQ(low.failure->serviceMessage, "top up");
  EXPECT_TRUE(low.failure->requestMayHaveArrived);
  EXPECT_EQ(low.failure->attempts, 1);
  EXPECT_EQ(scopeOf(*low.failure->code), RefusalScope::Account);

  // A code this version does not know is kept, not turned into a success or a known case.
  const Outcome<Credit> odd = toFuture(client, &Velmora::credit).get();
  ASSERT_FALSE(odd);
  EXPECT_EQ(rawValue(*odd.failure->code), 4242);
  EXPECT_EQ(scopeOf(*odd.failure->code), RefusalScope::Unknown);
}

TEST_F(Typed, AFailedCallKeepsKindArrivalAndTries) {
  auto refusing = std::make_shared<testing::ScriptedTransport>();
  refusing->answerAll(testing::failure(FailureKind::Connect, false, "Connection refused"));
  Options o = through(refusing);
  o.retry.attempts = 2;
  o.retry.firstBackoff = 1ms;
  Velmora retrying("user", "secret", o);
  const Outcome<std::vector<DeliveryEntry>> states =
      toFuture(retrying, &Velmora::groupStatus, "77").get();
  ASSERT_FALSE(states);
  EXPECT_EQ(states.failure->kind, FailureKind::Connect);
  EXPECT_FALSE(states.failure->requestMayHaveArrived);
  EXPECT_EQ(states.failure->attempts, 2);
  EXPECT_NE(states.failure->message.find("Connection refused"), std::string::npos);
}

// A reader used in a member's completion hands on how often the call was tried, as the typed
// operation does: a refusal that came on the second try says so.
TEST_F(Typed, AReaderInACompletionKeepsTheTries) {
  auto flaky = std::make_shared<testing::ScriptedTransport>();
  flaky->answerInTurn("GetCredit", {reply(503, "busy"), reply(200, R"({"Code":2002})")});
  Options o = through(flaky);
  o.retry.reads = true;
  o.retry.attempts = 2;
  o.retry.firstBackoff = 1ms;
  Velmora client("user", "secret", o);
  std::promise<Answer<std::int64_t>> read;
  client.GetCredit([&](std::shared_ptr<Result> result) { read.set_value(readCredit(result)); });
  const Answer<std::int64_t> credit = read.get_future().get();
  ASSERT_FALSE(credit);
  EXPECT_EQ(credit.failure->kind, FailureKind::ServiceRefused);
  EXPECT_EQ(credit.failure->attempts, 2);
}

TEST_F(Typed, APayloadOfTheWrongShapeNamesTheMember) {
  transport->answer("SendMessage",
                    reply(200, R"({"Code":0,"Result":{"GroupMessageId":-7,"MessageIds":[]}})"));
  const Outcome<SendReceipt> sent =
      toFuture(client, &Velmora::send, SendRequest{"3000", "hi", {"0912"}}).get();
  ASSERT_FALSE(sent);
  EXPECT_EQ(sent.failure->kind, FailureKind::MalformedAnswer);
  EXPECT_EQ(sent.failure->member, "Result.GroupMessageId");
  EXPECT_TRUE(sent.failure->requestMayHaveArrived);
}

// What the verification-code operations answer is the service's number: only a positive one
// names a message; any other is handed on raw, with no name of the library's.
TEST_F(Typed, OnlyAPositiveNumberIsAMessageId) {
  const auto envelope = [](const char* number) {
    return reply(200, std::string("<Envelope><Body><R>") + number + "</R></Body></Envelope>");
  };
  transport->answerInTurn("AutoSendCode", {envelope("17"), envelope("-2002"), envelope("0")});
  const Outcome<CodeSent> sent = toFuture(client, &Velmora::sendCode, "0912", "shop").get();
  ASSERT_TRUE(sent);
  EXPECT_EQ(sent.value.messageId, 17);
  for (const std::int64_t refusal : {-2002, 0}) {
    const Outcome<CodeSent> refused = toFuture(client, &Velmora::sendCode, "0912", "shop").get();
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.failure->kind, FailureKind::ServiceRefused);
    EXPECT_EQ(refused.failure->rawCode, refusal);
    EXPECT_FALSE(refused.failure->code);
  }
}

// The future helpers made for the members hand a typed Outcome on as it is, never wrapped.
TEST_F(Typed, FutureHelpersGiveTheTypedOutcome) {
  static_assert(std::is_same_v<decltype(toOutcomeFuture(client, &Velmora::credit)),
                               std::future<Outcome<Credit>>>);
  static_assert(
      std::is_same_v<decltype(toFuture(client, &Velmora::credit)), std::future<Outcome<Credit>>>);
  transport->answer("GetCredit", reply(200, R"({"Code":0,"Result":5})"));
  EXPECT_EQ(toOutcomeFuture(client, &Velmora::credit).get().value.amount, 5);
}

// --- The inbox pager -------------------------------------------------------------------------

// Answers a page with `perPage` messages up to page `last`, then an empty page.
testing::ScriptedTransport::Handler pagesUpTo(int last, int perPage = 2) {
  return [last, perPage](const testing::RecordedRequest& r) {
    const int page = nlohmann::json::parse(r.request.body).at("Page").get<int>();
    nlohmann::json result = nlohmann::json::array();
    for (int i = 0; page <= last && i < perPage; ++i) {
      result.push_back({{"MsgBody", std::to_string(page) + "." + std::to_string(i)},
                        {"Mobile", "0912"},
                        {"Dates", page}});
    }
    return reply(200, nlohmann::json{{"Code", 0}, {"Result", result}}.dump());
  };
}

Outcome<std::vector<ReceivedMsgs>> wholeInbox(Velmora& client, std::int64_t first = 1) {
  return toFuture(client, &Velmora::wholeInbox, InboxRequest{"3000", 100, 200, first}).get();
}

TEST_F(Typed, ThePagerReadsFromTheFirstPageAskedToThePastTheEnd) {
  transport->answerWith("ReceiveMessages", pagesUpTo(3));
  const auto all = wholeInbox(client, 2);
  ASSERT_TRUE(all) << all.failure->message;
  std::vector<std::string> texts;
  for (const ReceivedMsgs& m : all.value) texts.push_back(m.MsgBody());
  EXPECT_EQ(texts, (std::vector<std::string>{"2.0", "2.1", "3.0", "3.1"}));
  EXPECT_EQ(transport->requests().size(), 3u);  // pages 2, 3 and the empty 4
}

TEST_F(Typed, ThePagerEndsAtTheFirstFailedPageAndNamesIt) {
  transport->answerInTurn("ReceiveMessages", {reply(200, R"({"Code":0,"Result":[{"MsgBody":"a",)"
                                                         R"("Mobile":"1","Dates":1}]})"),
                                              reply(200, R"({"Code":2008})")});
  const auto all = wholeInbox(client);
  ASSERT_FALSE(all);
  EXPECT_EQ(all.failure->kind, FailureKind::ServiceRefused);
  EXPECT_EQ(all.failure->code, ResultCode::PageError);
  EXPECT_EQ(all.failure->message.rfind("page 2: ", 0), 0u) << all.failure->message;
}

// A service that never sends an empty page cannot keep the read going for ever.
TEST_F(Typed, ThePagerStopsAtItsPageLimit) {
  transport->answerWith("ReceiveMessages", pagesUpTo(1 << 30, 1));
  const auto all = wholeInbox(client);
  ASSERT_FALSE(all);
  EXPECT_EQ(all.failure->kind, FailureKind::MalformedAnswer);
  EXPECT_EQ(transport->requests().size(), static_cast<std::size_t>(Velmora::kMostInboxPages));
}

// The pager asks its next page through the client: once the client is gone it asks nothing
// more and still completes once.
TEST(TypedPager, StopsWhenTheClientIsDestroyed) {
  auto transport = std::make_shared<testing::ScriptedTransport>();
  std::promise<void> released;
  std::shared_future<void> release = released.get_future().share();
  transport->answerWith("ReceiveMessages", [release, pages = pagesUpTo(5)](const auto& r) {
    release.wait();  // holds the first page until the client is gone
    return pages(r);
  });
  std::promise<Outcome<std::vector<ReceivedMsgs>>> done;
  int calls = 0;
  {
    Velmora client("user", "secret", through(transport));
    client.wholeInbox({"3000", 100, 200}, [&](Outcome<std::vector<ReceivedMsgs>> all) {
      ++calls;
      done.set_value(std::move(all));
    });
  }
  released.set_value();
  const auto all = done.get_future().get();
  transport->drain();
  EXPECT_EQ(calls, 1);
  ASSERT_FALSE(all);
  EXPECT_EQ(all.failure->kind, FailureKind::Shutdown);
  EXPECT_FALSE(all.failure->requestMayHaveArrived);
  EXPECT_EQ(transport->requests().size(), 1u);
}

}  // namespace
}  // namespace velmora

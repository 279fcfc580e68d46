// The public scripted transport, as an application's tests meet it: answers chosen per
// operation (fixed, in turn, or computed by a handler), requests recorded without the
// credentials, completions exactly once.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "velmora/testing.hpp"
#include "velmora/velmora.hpp"

namespace velmora {
namespace {

using testing::RecordedRequest;

Options through(const std::shared_ptr<testing::ScriptedTransport>& transport) {
  Options o;
  o.restBaseUrl = "https://rest.test";
  o.soapUrl = "http://soap.test/fastsend.asmx";
  o.soapNamespace = "http://velmora.test/";
  o.transport = transport;
  o.diagnostics = [](const Diagnostic&) {};
  return o;
}

HttpResponse creditAnswer(int credit) {
  return testing::reply(200, R"({"Code":0,"Result":)" + std::to_string(credit) + "}");
}

// The credit the client reads, or -1 when it reads none.
std::int64_t creditOf(Velmora& client) {
  const auto credit = readCredit(toFuture([&](ResultCompletion d) { client.GetCredit(d); }).get());
  return credit ? *credit.value : -1;
}

HttpResponse deliveryAnswer(StatusCode status) {
  return testing::reply(200, R"({"Code":0,"Result":[{"MessageId":"1001","Mobile":"09120000001",)"
                             R"("Status":)" +
                                 std::to_string(static_cast<int>(status)) + "}]}");
}

// The name of the one delivery state the client reads for group "1000", or why there is none.
std::string stateOf(Velmora& client) {
  const auto states = readDeliveryStates(
      toFuture([&](ResultCompletion d) { client.GroupMessageStatus("1000", d); }).get());
  if (!states) return states.error;
  if (states.value->size() != 1 || !states.value->front().status) return "not one known state";
  return name(*states.value->front().status);
}

TEST(ScriptedTransport, AnswersPerOperationAndRecordsWithoutCredentials) {
  auto transport = std::make_shared<testing::ScriptedTransport>();
  transport->answerAll(testing::reply(200, R"({"Code":0,"Result":"all"})"));
  transport->answer("GetCredit", testing::reply(200, R"({"Code":0,"Result":12})"));
  transport->answer("CheckSendCode", testing::reply(200, "<a>true</a>"));
  Velmora client("user", "secret", through(transport));

  EXPECT_EQ(toFuture([&](ResultCompletion d) { client.GetCredit(d); }).get()->Payload(), 12);
  EXPECT_EQ(toFuture([&](ResultCompletion d) { client.GetPrices(d); }).get()->Payload(), "all");
  EXPECT_EQ(toFuture([&](TruthCompletion d) { client.CheckSendCode("0912", "1", d); }).get(), true);

  const auto requests = transport->requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].operation, "GetCredit");
  EXPECT_EQ(requests[1].operation, "GetPrices");
  EXPECT_EQ(requests[2].operation, "CheckSendCode");
  EXPECT_EQ(requests[0].request.headers,
            std::vector<std::string>{"Content-Type: application/json"});

  transport->keepCredentials();
  toFuture([&](ResultCompletion d) { client.GetPrices(d); }).get();
  EXPECT_EQ(transport->requests().back().request.headers.at(1),
            "Authorization: " + client.getAuthHeader());
}

// Dropping the client and the transport with calls queued still runs each completion once;
// so does a completion that destroys the transport it runs on.
TEST(ScriptedTransport, CompletionsRunOnceWhenTheTransportGoesFirst) {
  std::atomic<int> calls{0};
  {
    auto transport = std::make_shared<testing::ScriptedTransport>();
    Velmora client("user", "secret", through(transport));
    for (int i = 0; i < 50; ++i) client.GetPrices([&](std::shared_ptr<Result>) { ++calls; });
  }
  EXPECT_EQ(calls.load(), 50);

  auto transport = std::make_shared<testing::ScriptedTransport>();
  auto client = std::make_unique<Velmora>("user", "secret", through(transport));
  std::promise<void> bothCalled;
  std::promise<void> gone;
  client->GetPrices([&](std::shared_ptr<Result>) {
    bothCalled.get_future().wait();
    client.reset();
    transport.reset();  // the last owner, on the transport's own completion thread
    gone.set_value();
  });
  client->GetPrices([&](std::shared_ptr<Result>) { ++calls; });
  bothCalled.set_value();
  ASSERT_EQ(gone.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  for (int i = 0; i < 100 && calls.load() < 51; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(calls.load(), 51);
}

// A status followed to its end: the service says InQueue, then Sended for good. Another
// operation's requests take no turn, and an empty list changes nothing.
TEST(ScriptedTransport, AnswersInTurnThenRepeatsTheLast) {
  auto transport = std::make_shared<testing::ScriptedTransport>();
  transport->answerInTurn("GroupMessageStatus", {deliveryAnswer(StatusCode::InQueue),
                                                 deliveryAnswer(StatusCode::Sended)});
  transport->answer("GetCredit", creditAnswer(7));
  Velmora client("user", "secret", through(transport));

  EXPECT_EQ(stateOf(client), "InQueue");
  EXPECT_EQ(creditOf(client), 7);
  EXPECT_EQ(stateOf(client), "Sended");
  EXPECT_EQ(stateOf(client), "Sended");
  EXPECT_EQ(stateOf(client), "Sended");

  EXPECT_THROW(transport->answerInTurn("GroupMessageStatus", {}), std::invalid_argument);
  EXPECT_EQ(stateOf(client), "Sended");
  EXPECT_EQ(transport->requests().size(), 6u);
}

// A fake service that numbers the messages of each send: the handler reads the request's body,
// keeps its count across calls, and runs on the completion thread.
TEST(ScriptedTransport, AHandlerAnswersFromTheRequest) {
  auto transport = std::make_shared<testing::ScriptedTransport>();
  std::vector<bool> onCompletionThread;
  std::vector<std::vector<std::string>> headersSeen;
  transport->answerWith("SendMessage", [&, last = 1000](const RecordedRequest& r) mutable {
    onCompletionThread.push_back(transport->onCompletionThread());
    headersSeen.push_back(r.request.headers);
    nlohmann::json ids = nlohmann::json::array();
    for (std::size_t i = 0; i < nlohmann::json::parse(r.request.body).at("Mobiles").size(); ++i) {
      ids.push_back(std::to_string(++last));
    }
    const nlohmann::json answer = {
        {"Code", 0}, {"Result", {{"GroupMessageId", std::to_string(++last)}, {"MessageIds", ids}}}};
    return testing::reply(200, answer.dump());
  });
  Velmora client("user", "secret", through(transport));
  const auto send = [&](const std::vector<std::string>& mobiles) {
    return readSendReceipt(toFuture([&](ResultCompletion d) {
                             client.SendMessage("3000", "hi", mobiles, "", 0, d);
                           }).get());
  };

  const auto first = send({"09120000001", "09120000002"});
  ASSERT_TRUE(first) << first.error;
  EXPECT_EQ(first.value->messageIds, (std::vector<std::string>{"1001", "1002"}));
  EXPECT_EQ(first.value->groupMessageId, "1003");
  const auto second = send({"09120000003"});
  ASSERT_TRUE(second) << second.error;
  EXPECT_EQ(second.value->messageIds, std::vector<std::string>{"1004"});
  EXPECT_EQ(second.value->groupMessageId, "1005");

  EXPECT_EQ(onCompletionThread, (std::vector<bool>{true, true}));
  ASSERT_EQ(headersSeen.size(), 2u);
  EXPECT_EQ(headersSeen[0], std::vector<std::string>{"Content-Type: application/json"});
}

// What a handler throws becomes a failed exchange: the completion runs once, with the absent
// value and a transport failure that names the operation, and the transport goes on answering.
TEST(ScriptedTransport, AThrowingHandlerCompletesOnceWithATransportFailure) {
  auto transport = std::make_shared<testing::ScriptedTransport>();
  transport->answerWith("GetCredit", [](const RecordedRequest&) -> HttpResponse {
    throw std::runtime_error("no credit today");
  });
  transport->answerWith("GetPrices", [](const RecordedRequest&) -> HttpResponse { throw 7; });
  Velmora client("user", "secret", through(transport));

  std::atomic<int> calls{0};
  const auto outcomeOf = [&](auto start) {
    auto [completion, future] = makeOutcomeFuture<std::shared_ptr<Result>>();
    start([&calls, completion = completion](std::shared_ptr<Result> r) {
      if (++calls == 1) completion(std::move(r));
    });
    auto outcome = future.get();
    transport->drain();  // a second completion would have run by now
    EXPECT_EQ(calls.exchange(0), 1);
    return outcome;
  };

  const auto credit = outcomeOf([&](ResultCompletion d) { client.GetCredit(d); });
  EXPECT_EQ(credit.value, nullptr);
  ASSERT_TRUE(credit.failure);
  EXPECT_EQ(credit.failure->kind, FailureKind::Transport);
  EXPECT_TRUE(credit.failure->requestMayHaveArrived);
  EXPECT_NE(credit.failure->message.find("GetCredit"), std::string::npos)
      << credit.failure->message;
  EXPECT_NE(credit.failure->message.find("no credit today"), std::string::npos)
      << credit.failure->message;

  const auto prices = outcomeOf([&](ResultCompletion d) { client.GetPrices(d); });
  EXPECT_EQ(prices.value, nullptr);
  ASSERT_TRUE(prices.failure);
  EXPECT_EQ(prices.failure->kind, FailureKind::Transport);
  EXPECT_NE(prices.failure->message.find("GetPrices"), std::string::npos)
      << prices.failure->message;

  transport->answer("GetCredit", creditAnswer(5));
  EXPECT_EQ(creditOf(client), 5);
}

// Each kind of script replaces the operation's earlier one for the requests that follow; a
// request already received keeps what it met; a script for all drops those of single
// operations; an empty handler is refused and changes nothing.
TEST(ScriptedTransport, ALaterScriptReplacesTheEarlierOne) {
  auto transport = std::make_shared<testing::ScriptedTransport>();
  transport->answer("GetCredit", creditAnswer(1));
  Velmora client("user", "secret", through(transport));

  std::promise<void> open;
  transport->post([gate = open.get_future().share()] { gate.wait(); });
  auto held = toFuture([&](ResultCompletion d) { client.GetCredit(d); });
  ASSERT_EQ(transport->requests().size(), 1u);
  transport->answerInTurn("GetCredit", {creditAnswer(2), creditAnswer(3)});
  open.set_value();
  EXPECT_EQ(readCredit(held.get()).value, 1);
  EXPECT_EQ(creditOf(client), 2);
  EXPECT_EQ(creditOf(client), 3);

  transport->answerWith("GetCredit", [](const RecordedRequest&) { return creditAnswer(4); });
  EXPECT_EQ(creditOf(client), 4);
  transport->answer("GetCredit", creditAnswer(5));
  EXPECT_EQ(creditOf(client), 5);
  transport->answerInTurn("GetCredit", {creditAnswer(6)});
  EXPECT_EQ(creditOf(client), 6);

  transport->answerAll(creditAnswer(8));
  EXPECT_EQ(creditOf(client), 8);
  transport->answerAllWith([](const RecordedRequest& r) {
    return r.operation == "GetCredit" ? creditAnswer(9) : creditAnswer(0);
  });
  EXPECT_EQ(creditOf(client), 9);

  EXPECT_THROW(transport->answerWith("GetCredit", nullptr), std::invalid_argument);
  EXPECT_THROW(transport->answerAllWith(nullptr), std::invalid_argument);
  EXPECT_EQ(creditOf(client), 9);
}

}  // namespace
}  // namespace velmora

// The public scripted transport, as an application's tests meet it: answers chosen per
// operation, requests recorded without the credentials, completions exactly once.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "velmora/testing.hpp"
#include "velmora/velmora.hpp"

namespace velmora {
namespace {

Options through(const std::shared_ptr<testing::ScriptedTransport>& transport) {
  Options o;
  o.restBaseUrl = "https://rest.test";
  o.soapUrl = "http://soap.test/fastsend.asmx";
  o.soapNamespace = "http://velmora.test/";
  o.transport = transport;
  o.diagnostics = [](const Diagnostic&) {};
  return o;
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

}  // namespace
}  // namespace velmora

// A client's retries and limits through the libcurl session, counted at a loopback server: what
// is tried again for each kind of failure, the in-flight limit as the server sees it, and a
// paced run that loses nothing.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "support/fault_server.hpp"
#include "support/lines.hpp"
#include "velmora/future.hpp"
#include "velmora/velmora.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::FaultConnection;
using test::FaultServer;

// Three tries allowed, short pauses.
Options retryingAt(const std::string& baseUrl, const std::string& caFile,
                   const test::Diagnostics& printed) {
  Options o = test::clientOptions(baseUrl, caFile, 5s, printed);
  o.retry.attempts = 3;
  o.retry.firstBackoff = 20ms;
  return o;
}

Outcome<std::shared_ptr<Result>> whiteList(Velmora& client, const std::string& number) {
  return toOutcomeFuture<std::shared_ptr<Result>>(
             [&](ResultCompletion done) { client.ShowWhiteList({number}, std::move(done)); })
      .get();
}

TEST(ClientRetryAtServer, EachKindOfFailureIsTriedAgainOnlyWhenNothingLeft) {
  FaultServer server(FaultServer::Tls{});
  test::Diagnostics printed;
  struct Case {
    const char* name;
    test::FaultScript script;
    FailureKind kind;
    std::size_t requests;  // what the server read, with three tries allowed
    int attempts;
    bool trusted = true;
  };
  const Case cases[] = {
      {"untrusted certificate", test::answerWith(test::httpAnswer(200, "{}")), FailureKind::Connect,
       0, 3, false},
      {"closed after reading", test::closeAfterRequest(), FailureKind::Transport, 1, 1},
      {"status 503", test::answerWith(test::httpAnswer(503, "busy")), FailureKind::HttpStatus, 1,
       1},
      {"not JSON", test::answerWith(test::httpAnswer(200, "<html/>")), FailureKind::MalformedAnswer,
       1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server.setScript(c.script);
    Options o = retryingAt(server.baseUrl(), c.trusted ? server.caFile() : "", printed);
    Velmora client("u", "p", o);
    const std::string marker = std::string("case-") + c.name;
    const std::size_t connectionsBefore = server.connections();
    const auto outcome = whiteList(client, marker);
    ASSERT_TRUE(outcome.failure);
    EXPECT_EQ(outcome.failure->kind, c.kind) << outcome.failure->message;
    EXPECT_EQ(outcome.failure->attempts, c.attempts);
    EXPECT_EQ(test::countCarrying(server.requests(), marker), c.requests);
    if (!c.trusted) {
      EXPECT_EQ(server.connections() - connectionsBefore, 3u);  // three handshakes refused
    }
  }
}

// A refused connection is tried each time: counted by the command-line tests ("tried 3 times").
TEST(ClientRetryAtServer, RefusedInputIsNeverTried) {
  test::Diagnostics printed;
  FaultServer server(FaultServer::Tls{});
  Velmora client("u", "p", retryingAt(server.baseUrl(), server.caFile(), printed));
  const auto input = whiteList(client, "\xff");
  ASSERT_TRUE(input.failure);
  EXPECT_EQ(input.failure->kind, FailureKind::RefusedInput);
  EXPECT_EQ(input.failure->attempts, 0);
  EXPECT_EQ(server.connections(), 0u);
}

TEST(ClientLimitsAtServer, NoMoreInFlightThanAllowed) {
  constexpr int kLimit = 3;
  constexpr int kCalls = 12;
  FaultServer server(FaultServer::Tls{});
  std::atomic<int> now{0};
  std::atomic<int> peak{0};
  server.setScript([&, answer = test::keepAliveAnswer(R"({"Code":0})")](FaultConnection& c) {
    while (!c.readRequest().empty()) {
      const int current = ++now;
      int seen = peak.load();
      while (current > seen && !peak.compare_exchange_weak(seen, current)) {
      }
      c.stall(50ms);
      --now;  // before the answer leaves: the client may send the next one once it arrives
      if (!c.send(answer)) return;
    }
  });
  test::Diagnostics printed;
  Options o = test::clientOptions(server.baseUrl(), server.caFile(), 5s, printed);
  o.maxInFlight = kLimit;
  Velmora client("u", "p", o);
  std::atomic<int> succeeded{0};
  for (int i = 0; i < kCalls; ++i) {
    client.GetPrices([&](std::shared_ptr<Result> r) { succeeded += r != nullptr; });
  }
  EXPECT_EQ(client.drain(20s), 0u);
  EXPECT_EQ(succeeded.load(), kCalls);
  EXPECT_EQ(peak.load(), kLimit);  // reached, never passed
}

// The rate itself is measured by bench/pace over a long run; here only that a paced run sends
// every call once and completes each.
TEST(ClientLimitsAtServer, APacedRunLosesNothing) {
  constexpr int kCalls = 250;  // half a second of pacing, its timers kept by the I/O thread
  FaultServer server(FaultServer::Tls{});
  server.setScript(test::answerEach(R"({"Code":0})"));
  test::Diagnostics printed;
  Options o = test::clientOptions(server.baseUrl(), server.caFile(), 5s, printed);
  o.maxRequestsPerSecond = 500;
  Velmora client("u", "p", o);
  std::atomic<int> succeeded{0};
  for (int i = 0; i < kCalls; ++i) {
    client.GetPrices([&](std::shared_ptr<Result> r) { succeeded += r != nullptr; });
  }
  EXPECT_EQ(client.drain(30s), 0u);
  EXPECT_EQ(succeeded.load(), kCalls);
  EXPECT_EQ(test::countCarrying(server.requests(), "/api/smsAPI/GetPrices"),
            static_cast<std::size_t>(kCalls));
}

}  // namespace
}  // namespace velmora

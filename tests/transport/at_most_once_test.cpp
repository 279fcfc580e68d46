// A request leaves the process at most once: when a connection dies after the request went out
// and before any answer, libcurl would send it again on a fresh connection; the session stops
// that, and the call reports that the request may have arrived. Counted on the server's side.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <optional>

#include "support/fault_server.hpp"
#include "support/lines.hpp"
#include "velmora/velmora.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::FaultServer;

// What the calls ended with, gathered on the completion thread.
struct Outcomes {
  std::mutex mutex;
  int answered = 0;
  int failed = 0;
  int failedMayHaveArrived = 0;
  std::vector<std::string> reasons;

  void record(bool hasValue) {
    std::lock_guard<std::mutex> lock(mutex);
    if (hasValue) {
      ++answered;
      return;
    }
    ++failed;
    const Failure* why = currentFailure();
    if (why != nullptr && why->requestMayHaveArrived) ++failedMayHaveArrived;
    if (why != nullptr) reasons.push_back(why->message);
  }
};

struct Protocol {
  const char* name;
  bool tls;
  const char* answer;
  // Starts call `i`, whose request carries test::marker(i); `done` gets whether a value came.
  std::function<void(Velmora&, int, std::function<void(bool)>)> call;
};

std::string marker(int i) {
  return "m-" + std::to_string(i) + "-";
}

std::vector<Protocol> protocols() {
  return {
      {"JSON over TLS", true, R"({"Code":0,"Message":"ok","Result":1})",
       [](Velmora& client, int i, std::function<void(bool)> done) {
         client.SendMessage("3000", marker(i), {"0912"}, "", 0,
                            [done](std::shared_ptr<Result> r) { done(r != nullptr); });
       }},
      {"SOAP over plain HTTP", false, "<r>42</r>",
       [](Velmora& client, int i, std::function<void(bool)> done) {
         client.AutoSendCode(marker(i), "footer",
                             [done](std::optional<std::int64_t> code) { done(code.has_value()); });
       }},
  };
}

// A server for `p` whose connections die after reading their second request.
std::unique_ptr<FaultServer> dyingServer(const Protocol& p) {
  auto server =
      p.tls ? std::make_unique<FaultServer>(FaultServer::Tls{}) : std::make_unique<FaultServer>();
  server->setScript(test::answerFirstThenCloseOnNext(p.answer));
  return server;
}

class AtMostOnce : public ::testing::TestWithParam<Protocol> {};

// One call after another: every second call reuses a connection that dies after reading it.
// Each request reaches the server exactly once, and each call the server read but never
// answered fails as "may have arrived".
TEST_P(AtMostOnce, ConnectionDyingAfterTheRequestIsNeverResent) {
  const Protocol& p = GetParam();
  auto server = dyingServer(p);
  test::Diagnostics printed;
  Velmora client("u", "p", test::clientOptions(server->baseUrl(), server->caFile(), 5s, printed));
  constexpr int kCalls = 12;
  Outcomes outcomes;
  for (int i = 0; i < kCalls; ++i) {
    test::Latch latch;
    p.call(client, i, [&](bool value) {
      outcomes.record(value);
      latch.done();
    });
    ASSERT_TRUE(latch.wait(20s)) << "call " << i;
  }
  const auto requests = server->requests();
  for (int i = 0; i < kCalls; ++i) {
    EXPECT_EQ(test::countCarrying(requests, marker(i)), 1u) << "call " << i;
  }
  EXPECT_EQ(outcomes.answered + outcomes.failed, kCalls);
  EXPECT_GE(outcomes.failed, kCalls / 3);  // every second call met a dying connection
  EXPECT_EQ(outcomes.failedMayHaveArrived, outcomes.failed);
  for (const std::string& reason : outcomes.reasons) {
    EXPECT_NE(reason.find("was not sent again"), std::string::npos) << reason;
  }
}

// The connection dies after the request went out and the server is gone when libcurl tries a
// fresh connection for its resend: the failed connect says nothing about the request already
// sent, so the call must not read as "never reached the service" (Connect).
TEST_P(AtMostOnce, ServerGoneAfterTheRequestIsNotAConnectFailure) {
  const Protocol& p = GetParam();
  auto server =
      p.tls ? std::make_unique<FaultServer>(FaultServer::Tls{}) : std::make_unique<FaultServer>();
  server->setScript(test::answerFirstThenGoDown(p.answer));
  test::Diagnostics printed;
  Velmora client("u", "p", test::clientOptions(server->baseUrl(), server->caFile(), 5s, printed));
  Outcomes outcomes;
  std::optional<Failure> second;
  for (int i = 0; i < 2; ++i) {
    test::Latch latch;
    p.call(client, i, [&](bool value) {
      outcomes.record(value);
      if (const Failure* why = currentFailure()) second = *why;
      latch.done();
    });
    ASSERT_TRUE(latch.wait(20s)) << "call " << i;
  }
  EXPECT_EQ(outcomes.answered, 1);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->kind, FailureKind::Transport) << second->message;
  EXPECT_TRUE(second->requestMayHaveArrived);
  EXPECT_EQ(test::countCarrying(server->requests(), marker(1)), 1u);
}

// Many calls at once over several connections that each die after their second request.
TEST_P(AtMostOnce, ConcurrentCallsOnDyingConnectionsAreEachSentOnce) {
  const Protocol& p = GetParam();
  auto server = dyingServer(p);
  test::Diagnostics printed;
  Velmora client("u", "p", test::clientOptions(server->baseUrl(), server->caFile(), 5s, printed));
  constexpr int kCalls = 48;
  Outcomes outcomes;
  test::Latch latch(kCalls);
  for (int i = 0; i < kCalls; ++i) {
    p.call(client, i, [&](bool value) {
      outcomes.record(value);
      latch.done();
    });
  }
  ASSERT_TRUE(latch.wait(30s));
  const auto requests = server->requests();
  std::size_t received = 0;
  for (int i = 0; i < kCalls; ++i) {
    const std::size_t times = test::countCarrying(requests, marker(i));
    EXPECT_LE(times, 1u) << "call " << i;
    received += times;
  }
  EXPECT_EQ(outcomes.answered + outcomes.failed, kCalls);
  EXPECT_EQ(outcomes.failedMayHaveArrived, outcomes.failed);
  // A call that failed without reaching the server would have said so.
  EXPECT_EQ(received, static_cast<std::size_t>(kCalls));
}

INSTANTIATE_TEST_SUITE_P(Protocols, AtMostOnce, ::testing::ValuesIn(protocols()),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

}  // namespace
}  // namespace velmora

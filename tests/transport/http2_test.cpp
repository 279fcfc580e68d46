// HTTP/2 against a real server (nginx, passing requests to a counting backend): requests that a
// GOAWAY proves unprocessed go out again and succeed, none twice; an origin is widened to its
// stream window at the handshake; an HTTP/1.1 origin keeps its connections while few of its
// calls are under way; bodies larger than libcurl's upload buffer arrive whole.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/fault_server.hpp"
#include "support/lines.hpp"
#include "support/nginx.hpp"
#include "velmora/velmora.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::FaultServer;

constexpr const char* kAnswer = R"({"Code":0,"Message":"ok","Result":1})";

std::string marker(int i) {
  return "m-" + std::to_string(i) + "-";
}

// Sends `count` texts at once, each carrying marker(i); returns how many got a Result.
int sendAtOnce(Velmora& client, int count, std::chrono::seconds limit = 60s) {
  auto answered = std::make_shared<std::atomic<int>>(0);
  auto latch = std::make_shared<test::Latch>(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    client.SendMessage("3000", marker(i), {"0912"}, "", 0,
                       [answered, latch](std::shared_ptr<Result> r) {
                         if (r) ++*answered;
                         latch->done();
                       });
  }
  EXPECT_TRUE(latch->wait(limit));
  return answered->load();
}

// The distinct failure lines among what the client printed, each with how often it came.
std::map<std::string, int> failureLines(const test::Diagnostics& printed) {
  std::map<std::string, int> lines;
  for (const auto& line : printed.all()) {
    if (line.kind != DiagnosticKind::RequestBody) ++lines[line.text];
  }
  return lines;
}

#define SKIP_WITHOUT_NGINX() \
  if (!test::Nginx::available()) GTEST_SKIP() << "nginx is not installed (scripts/install-deps)"

// nginx ends each connection with a GOAWAY after five (or fifty) requests; the streams above its
// last stream id were never processed and go out again on another connection.
TEST(Http2, StreamsRefusedByGoawayAreSentAgainAndNoneTwice) {
  SKIP_WITHOUT_NGINX();
  for (const char* directive : {"keepalive_requests 5;", "keepalive_requests 50;"}) {
    SCOPED_TRACE(directive);
    FaultServer backend;
    backend.setScript(test::answerEach(kAnswer));
    test::Nginx nginx(backend.port(), directive);
    ASSERT_TRUE(nginx.ready());
    test::Diagnostics printed;
    Velmora client("u", "p", test::clientOptions(nginx.baseUrl(), nginx.caFile(), 20s, printed));
    const int calls = test::kThreadSanitizer ? 200 : 1000;
    EXPECT_EQ(sendAtOnce(client, calls), calls) << ::testing::PrintToString(failureLines(printed));
    const auto requests = backend.requests();
    ASSERT_EQ(requests.size(), static_cast<std::size_t>(calls));
    for (int i = 0; i < calls; ++i) {
      ASSERT_EQ(test::countCarrying(requests, marker(i)), 1u) << "call " << i;
    }
  }
}

// Rounds of calls at once through connections that nginx ends every five requests: each call
// is answered, none twice, none left waiting for a fresh connection libcurl never makes.
TEST(Http2, RoundsOfCallsThroughShortConnectionsAllEndAnswered) {
  SKIP_WITHOUT_NGINX();
  FaultServer backend;
  backend.setScript(test::answerEach(kAnswer));
  test::Nginx nginx(backend.port(), "keepalive_requests 5;");
  ASSERT_TRUE(nginx.ready());
  test::Diagnostics printed;
  const int rounds = 7;
  const int calls = 300;
  for (int round = 0; round < rounds; ++round) {
    Velmora client("u", "p", test::clientOptions(nginx.baseUrl(), nginx.caFile(), 5s, printed));
    EXPECT_EQ(sendAtOnce(client, calls), calls)
        << "round " << round << ::testing::PrintToString(failureLines(printed));
  }
  EXPECT_EQ(backend.requests().size(), static_cast<std::size_t>(rounds * calls));
}

// Every request is held by the server until more have arrived than HTTP/1.1 would carry at once
// (16): only an origin widened to its stream window at the handshake, before any answer, sends
// them; otherwise the first ones wait out the gate's 5 s.
TEST(Http2, OriginIsWidenedAtTheHandshake) {
  SKIP_WITHOUT_NGINX();
  struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    int arrived = 0;
    bool firstSawCompany = false;
  };
  auto gate = std::make_shared<Gate>();
  FaultServer backend;
  backend.setScript(test::answerEach(kAnswer, [gate] {
    std::unique_lock<std::mutex> lock(gate->mutex);
    const bool first = ++gate->arrived == 1;
    gate->cv.notify_all();
    const bool company = gate->cv.wait_for(lock, 5s, [&] { return gate->arrived > 16; });
    if (first) gate->firstSawCompany = company;
  }));
  test::Nginx nginx(backend.port(), "");
  ASSERT_TRUE(nginx.ready());
  test::Diagnostics printed;
  Velmora client("u", "p", test::clientOptions(nginx.baseUrl(), nginx.caFile(), 20s, printed));
  EXPECT_EQ(sendAtOnce(client, 40), 40);
  std::lock_guard<std::mutex> lock(gate->mutex);
  EXPECT_TRUE(gate->firstSawCompany);
}

// One HTTP/2 connection carries at most 100 streams: a client that allows 150 gets a second
// connection, and a server that never answers sees exactly 150 requests.
TEST(Http2, AStalledOriginGetsExactlyTheStreamsItsClientSet) {
  SKIP_WITHOUT_NGINX();
  constexpr std::size_t kLimit = 150;
  FaultServer backend;
  backend.setScript(test::stallAfterRequest());
  auto nginx = std::make_unique<test::Nginx>(backend.port(), "");
  ASSERT_TRUE(nginx->ready());
  test::Diagnostics printed;
  Options options = test::clientOptions(nginx->baseUrl(), nginx->caFile(), 60s, printed);
  options.maxStreamsPerOrigin = static_cast<int>(kLimit);
  Velmora client("u", "p", options);
  auto ended = std::make_shared<test::Latch>(200);
  for (int i = 0; i < 200; ++i)
    client.GetCredit([ended](std::shared_ptr<Result>) { ended->done(); });

  test::awaitRequests(backend, kLimit);
  EXPECT_EQ(backend.requests().size(), kLimit);
  nginx.reset();
  EXPECT_TRUE(ended->wait(60s));
}

// An origin's connections outlive the moments when few of its calls are under way: callers
// that send in rounds (sixteen calls, wait for their answers, sixteen more) reuse them, as do
// callers whose completions make the next call.
TEST(Http1, ConnectionsAreKeptBetweenRoundsOfCalls) {
  FaultServer server(FaultServer::Tls{});
  // Each answer waits a little, so that every call of a round is under way at once.
  server.setScript(test::answerEach(kAnswer, [] { std::this_thread::sleep_for(20ms); }));
  test::Diagnostics printed;
  Velmora client("u", "p", test::clientOptions(server.baseUrl(), server.caFile(), 20s, printed));
  constexpr int kRounds = 8;
  constexpr int kWindow = 16;
  for (int round = 0; round < kRounds; ++round) ASSERT_EQ(sendAtOnce(client, kWindow), kWindow);
  EXPECT_LE(server.connections(), static_cast<std::size_t>(kWindow));
}

// A send to many numbers is a body several times larger than libcurl's upload buffer: it goes
// out in pieces and must arrive whole, over either protocol, with other such calls under way.
TEST(LargeBodies, ArriveWholeOverBothProtocols) {
  std::vector<std::string> mobiles;
  for (int i = 0; i < 8000; ++i) mobiles.push_back("0912" + std::to_string(1000000 + i));
  const std::string last = "\"" + mobiles.back() + "\"]";
  auto sendEach = [&](const std::string& baseUrl, const std::string& caFile) {
    test::Diagnostics printed;
    Velmora client("u", "p", test::clientOptions(baseUrl, caFile, 20s, printed));
    auto latch = std::make_shared<test::Latch>(4);
    auto answered = std::make_shared<std::atomic<int>>(0);
    for (int i = 0; i < 4; ++i) {
      client.SendMessage("3000", marker(i), mobiles, "", 0, [answered, latch](auto r) {
        if (r) ++*answered;
        latch->done();
      });
    }
    EXPECT_TRUE(latch->wait(30s));
    return answered->load();
  };
  auto expectWhole = [&](const FaultServer& server) {
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    for (int i = 0; i < 4; ++i) {
      ASSERT_EQ(test::countCarrying(requests, marker(i)), 1u);
      ASSERT_EQ(test::countCarrying(requests, last), 4u);
    }
  };
  FaultServer direct(FaultServer::Tls{});
  direct.setScript(test::answerEach(kAnswer));
  EXPECT_EQ(sendEach(direct.baseUrl(), direct.caFile()), 4);
  expectWhole(direct);

  SKIP_WITHOUT_NGINX();
  FaultServer backend;
  backend.setScript(test::answerEach(kAnswer));
  test::Nginx nginx(backend.port(), "");
  ASSERT_TRUE(nginx.ready());
  EXPECT_EQ(sendEach(nginx.baseUrl(), nginx.caFile()), 4);
  expectWhole(backend);
}

}  // namespace
}  // namespace velmora

// How requests are admitted, at real servers: a slow completion delays no other request, one
// stalled origin delays no other, an origin keeps to the connections its client set and widens
// on its own only while its service is slow, and a forked child gets a session. The time limits
// themselves, on a hand-moved clock: loop_clock_test.cpp.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "support/fault_server.hpp"
#include "support/lines.hpp"
#include "transport/session.hpp"
#include "velmora/velmora.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::FaultConnection;
using test::FaultServer;

TEST(Admission, SlowCompletionMakesNoOtherRequestTimeOut) {
  FaultServer server(FaultServer::Tls{});
  server.setScript([](FaultConnection& c) {
    const std::string request = c.readRequest();
    if (request.rfind("POST /api/smsAPI/GetPrices ", 0) == 0) c.stall(1500ms);
    c.send(test::httpAnswer(200, R"({"Code":0})"));
  });
  Velmora client("u", "p", test::clientOptions(server.baseUrl(), server.caFile(), 2s));
  test::Latch latch(2);
  std::atomic<bool> answered{false};
  client.GetCredit([&](std::shared_ptr<Result>) {
    std::this_thread::sleep_for(2500ms);
    latch.done();
  });
  client.GetPrices([&](std::shared_ptr<Result> r) {
    answered = r != nullptr;
    latch.done();
  });
  ASSERT_TRUE(latch.wait(20s));
  EXPECT_TRUE(answered);
}

TEST(Admission, StalledOriginDelaysNoOtherAndQueuedRequestsAreNeverSent) {
  constexpr int kStalled = 64;
  FaultServer stalled(FaultServer::Tls{});
  stalled.setScript(test::stallAfterRequest());
  FaultServer healthy(FaultServer::Tls{});
  struct Shared {
    test::Latch latch{kStalled};
    std::mutex mutex;
    std::vector<HttpResponse> responses;
  };
  auto shared = std::make_shared<Shared>();
  for (int i = 0; i < kStalled; ++i) {
    HttpRequest request = test::requestTo(stalled, "/x", 10s);
    request.deadline = 5s;
    detail::Session::shared().submit(std::move(request), [shared](HttpResponse& r) {
      std::lock_guard<std::mutex> lock(shared->mutex);
      shared->responses.push_back(r);
      shared->latch.done();
    });
  }
  test::eventually([&] { return !stalled.requests().empty(); }, 1s);

  Velmora other("u", "p", test::clientOptions(healthy.baseUrl(), healthy.caFile(), 5s));
  test::Latch answered(1);
  const auto start = Clock::now();
  Clock::duration took{};
  other.GetCredit([&](std::shared_ptr<Result> r) {
    took = Clock::now() - start;
    EXPECT_NE(r, nullptr);
    answered.done();
  });
  ASSERT_TRUE(answered.wait(10s));
  // Well before the stalled requests' deadline, however busy the machine: had it queued behind
  // them, it would have waited for their 5 s.
  EXPECT_LT(took, 3500ms);

  // All end at their deadline; only those admitted reached the server and say so.
  ASSERT_TRUE(shared->latch.wait(20s));
  std::lock_guard<std::mutex> lock(shared->mutex);
  std::size_t mayHaveArrived = 0;
  for (const HttpResponse& r : shared->responses) {
    EXPECT_EQ(r.kind, FailureKind::Deadline) << r.error;
    mayHaveArrived += r.requestMayHaveArrived;
  }
  EXPECT_EQ(mayHaveArrived, stalled.requests().size());
  EXPECT_LE(mayHaveArrived, 16u);
  EXPECT_GT(mayHaveArrived, 0u);
}

// Makes `count` GetCredit calls at once and waits for every completion.
void creditAtOnce(Velmora& client, int count) {
  auto ended = std::make_shared<test::Latch>(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i)
    client.GetCredit([ended](std::shared_ptr<Result>) { ended->done(); });
  EXPECT_TRUE(ended->wait(60s));
}

TEST(Admission, AStalledOriginGetsExactlyTheConnectionsItsClientSet) {
  constexpr std::size_t kLimit = 40;
  auto server = std::make_unique<FaultServer>(FaultServer::Tls{});
  server->setScript(test::stallAfterRequest());
  test::Diagnostics printed;
  Options options = test::clientOptions(server->baseUrl(), server->caFile(), 60s, printed);
  options.maxConnectionsPerOrigin = static_cast<int>(kLimit);
  Velmora client("u", "p", options);
  auto ended = std::make_shared<test::Latch>(100);
  for (int i = 0; i < 100; ++i)
    client.GetCredit([ended](std::shared_ptr<Result>) { ended->done(); });

  test::awaitRequests(*server, kLimit);
  EXPECT_EQ(server->requests().size(), kLimit);
  EXPECT_EQ(server->connections(), kLimit);
  server.reset();  // ends the calls: the stalled ones fail, the queued ones find no server
  EXPECT_TRUE(ended->wait(60s));
}

// libcurl closes idle connections beyond its cache size whenever a transfer ends: its cache
// must grow with what an origin may keep, or each round of calls pays for new handshakes.
TEST(Admission, ARaisedLimitKeepsItsConnectionsBetweenRounds) {
  constexpr int kLimit = 100;
  FaultServer server(FaultServer::Tls{});
  server.setScript(test::answerEach(R"({"Code":0})", [] { std::this_thread::sleep_for(20ms); }));
  test::Diagnostics printed;
  Options options = test::clientOptions(server.baseUrl(), server.caFile(), 20s, printed);
  options.maxConnectionsPerOrigin = kLimit;
  Velmora client("u", "p", options);
  for (int round = 0; round < 3; ++round) creditAtOnce(client, kLimit);
  EXPECT_EQ(server.requests().size(), 3u * kLimit);
  EXPECT_LE(server.connections(), static_cast<std::size_t>(kLimit));
  EXPECT_GT(server.connections(), 16u);
}

// A service that takes 150 ms an answer: the origin, left to itself, opens more than its first
// 16 connections, and every call still goes out once.
TEST(Admission, ASlowServiceWidensItsOriginOnItsOwn) {
  auto peak = std::make_shared<test::PeakCount>();
  FaultServer server(FaultServer::Tls{});
  server.setScript(test::answerEachAfter(R"({"Code":0})", 150ms, peak));
  test::Diagnostics printed;
  Velmora client("u", "p", test::clientOptions(server.baseUrl(), server.caFile(), 20s, printed));
  creditAtOnce(client, 300);
  EXPECT_EQ(server.requests().size(), 300u);
  EXPECT_GT(peak->most.load(), 16);
  EXPECT_LE(peak->most.load(), 256);
}

TEST(Admission, ForkedChildGetsASessionOfItsOwn) {
  if (test::kThreadSanitizer) GTEST_SKIP() << "ThreadSanitizer does not follow fork()";
  FaultServer server(FaultServer::Tls{});
  Velmora client("u", "p", test::clientOptions(server.baseUrl(), server.caFile(), 5s));
  test::Latch parentDone(1);
  client.GetCredit([&](std::shared_ptr<Result>) { parentDone.done(); });  // the session runs
  ASSERT_TRUE(parentDone.wait(10s));
  // The completion may run while the I/O thread still reads what followed the answer (a TLS
  // session ticket) under OpenSSL's locks; a fork at that moment could leave them held in the
  // child. The test is about a fork made while the library is idle.
  std::this_thread::sleep_for(200ms);

  const pid_t child = fork();
  if (child == 0) {
    test::Latch childDone(1);
    std::atomic<bool> value{false};
    client.GetCredit([&](std::shared_ptr<Result> r) {
      value = r != nullptr;
      childDone.done();
    });
    _exit(childDone.wait(10s) && value ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  int status = -1;
  for (int i = 0; waitpid(child, &status, WNOHANG) != child; ++i) {
    if (i == 1500) {  // a child whose completion never comes is ended, and the test fails
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(server.requests().size(), 2u);
}

}  // namespace
}  // namespace velmora

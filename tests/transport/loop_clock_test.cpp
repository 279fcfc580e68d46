// The I/O loop on a hand-moved clock: idle time-outs, deadlines and timers end exactly when that
// clock says so, to the millisecond, whatever the real time. Each test takes milliseconds, and
// no busy machine can make one fail.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "support/fault_server.hpp"
#include "transport/private/io_loop.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using detail::Clock;
using test::FaultServer;

class HandClock {
 public:
  detail::LoopClock clock() {
    return [this] { return now(); };
  }
  Clock::time_point now() const { return start_ + Clock::duration(elapsed_.load()); }
  void advance(Clock::duration by) { elapsed_ += by.count(); }

 private:
  const Clock::time_point start_ = Clock::now();
  std::atomic<Clock::rep> elapsed_{0};
};

class LoopOnHandClock : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(loop.start(), ""); }

  // Submits `request`; its completion runs on the loop's thread.
  std::shared_future<HttpResponse> send(HttpRequest request) {
    auto answer = std::make_shared<std::promise<HttpResponse>>();
    detail::Pending work;
    work.originKey = detail::originKeyOf(request);
    work.request = std::move(request);
    work.direct = true;
    work.onDone = [answer](HttpResponse& response) { answer->set_value(response); };
    loop.submit(std::move(work));
    return answer->get_future().share();
  }

  // Moves the clock on, and returns once the loop has gone round at the new time: whatever
  // that time ends has ended, and its completion has run.
  void advance(Clock::duration by) {
    time.advance(by);
    for (int round = 0; round < 2; ++round) {
      std::promise<void> ran;
      loop.at(time.now(), [&ran] { ran.set_value(); });
      ASSERT_EQ(ran.get_future().wait_for(30s), std::future_status::ready);
    }
  }

  static bool ended(const std::shared_future<HttpResponse>& answer) {
    return answer.wait_for(0s) == std::future_status::ready;
  }

  HandClock time;
  detail::CompletionQueue completions;
  detail::IoLoop loop{completions, time.clock()};
};

// Each case brings the exchange to its last byte, then the clock moves on. The status line
// comes 20 s after the request, so its limit counts from the status line.
TEST_F(LoopOnHandClock, IdleTimeOutEndsAnExchangeOnlyOnceItMovedNoByteForLonger) {
  FaultServer plain;
  FaultServer tls(FaultServer::Tls{});
  std::atomic<bool> sendStatusLine{false};
  std::atomic<bool> statusLineDelivered{false};
  const auto stallInHandshake = [](test::FaultConnection& c) {
    c.readRawBytes();
    c.stall();
  };
  const auto stallAfterStatusLine = [&](test::FaultConnection& c) {
    if (c.readRequest().empty() || !test::eventually([&] { return sendStatusLine.load(); }) ||
        !c.send("HTTP/1.1 200 OK\r\n")) {
      return;
    }
    statusLineDelivered = c.awaitAcknowledged();
    c.stall();
  };
  const auto connected = [&, before = tls.connections()] {
    return test::eventually([&] { return tls.connections() > before; });
  };
  const auto requested = [&] {
    return test::eventually([&] { return plain.requests().size() == 1; });
  };
  const auto statusLineLater = [&] {
    if (!test::eventually([&] { return plain.requests().size() == 2; })) return false;
    advance(20s);
    sendStatusLine = true;
    return test::eventually([&] { return statusLineDelivered.load(); });
  };
  struct Case {
    const char* name;
    FaultServer* server;
    test::FaultScript script;
    std::function<bool()> toLastByte;
    bool mayHaveArrived;
  };
  const Case cases[] = {
      {"stall inside the TLS handshake", &tls, stallInHandshake, connected, false},
      {"stall after the request", &plain, test::stallAfterRequest(), requested, true},
      {"stall after the status line", &plain, stallAfterStatusLine, statusLineLater, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.server->setScript(c.script);
    const std::size_t requests = c.server->requests().size();
    // A limit far beyond the test's real time: only the hand-moved clock can reach it.
    const auto answer = send(test::requestTo(*c.server, "/x", 30s));
    ASSERT_TRUE(c.toLastByte());
    // The loop takes in what reached its socket before the clock moves on: the limit counts
    // from the client's last byte, not from a time the clock has already jumped to.
    advance(0s);
    advance(30s);
    EXPECT_FALSE(ended(answer)) << "ended at the limit, not past it";
    advance(1ms);
    ASSERT_TRUE(ended(answer));
    const HttpResponse& r = answer.get();
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(r.kind, FailureKind::Timeout);
    EXPECT_EQ(r.error, "The request timed out: no progress for 30000 ms");
    EXPECT_EQ(r.requestMayHaveArrived, c.mayHaveArrived);
    EXPECT_EQ(c.server->requests().size() - requests, c.mayHaveArrived ? 1u : 0u);
  }
}

// One connection for the origin: the second request waits in its queue while the first one
// stalls. Each ends at its own deadline; the queued one never leaves the process.
TEST_F(LoopOnHandClock, DeadlinesEndRunningAndQueuedRequestsAndAQueuedOneIsNeverSent) {
  FaultServer server;
  server.setScript(test::stallAfterRequest());
  auto request = [&](std::chrono::milliseconds deadline, const char* path) {
    HttpRequest r = test::requestTo(server, path, 10min);
    r.deadline = deadline;
    r.connectionsPerOrigin = 1;
    return r;
  };
  const auto running = send(request(5s, "/running"));
  ASSERT_TRUE(test::eventually([&] { return server.requests().size() == 1; }));
  const auto queued = send(request(2s, "/queued"));

  // Moves the clock to 1 ms before `answer`'s deadline, then onto it.
  const auto endsAtItsDeadline = [&](const std::shared_future<HttpResponse>& answer,
                                     Clock::duration left, const char* reason, bool arrived) {
    advance(left - 1ms);
    EXPECT_FALSE(ended(answer)) << reason;
    advance(1ms);
    ASSERT_TRUE(ended(answer)) << reason;
    EXPECT_EQ(answer.get().kind, FailureKind::Deadline);
    EXPECT_EQ(answer.get().error, reason);
    EXPECT_EQ(answer.get().requestMayHaveArrived, arrived);
  };
  endsAtItsDeadline(queued, 2s, "The request passed its deadline of 2000 ms", false);
  endsAtItsDeadline(running, 3s, "The request passed its deadline of 5000 ms", true);
  EXPECT_EQ(test::countCarrying(server.requests(), "/queued"), 0u);
}

// The idle time-out counts only while a request is out: one that waited in its queue for far
// longer, behind a slow answer, is sent once and answered.
TEST_F(LoopOnHandClock, WaitingInTheQueueNeverCountsTowardTheIdleTimeOut) {
  FaultServer server;
  std::promise<void> release;
  server.setScript([held = release.get_future().share()](test::FaultConnection& c) {
    if (c.readRequest().empty()) return;
    held.wait_for(std::chrono::seconds(30));
    c.send(test::httpAnswer(200, "{}"));
  });
  auto request = [&](std::chrono::milliseconds timeout, const char* path) {
    HttpRequest r = test::requestTo(server, path, timeout);
    r.connectionsPerOrigin = 1;
    return r;
  };
  const auto first = send(request(10min, "/first"));
  ASSERT_TRUE(test::eventually([&] { return server.requests().size() == 1; }));
  const auto queued = send(request(1s, "/queued"));
  advance(30s);
  EXPECT_FALSE(ended(queued));
  release.set_value();
  ASSERT_TRUE(test::eventually([&] { return ended(first) && ended(queued); }));
  EXPECT_FALSE(first.get().failed) << first.get().error;
  EXPECT_FALSE(queued.get().failed) << queued.get().error;
  EXPECT_EQ(test::countCarrying(server.requests(), "/first"), 1u);
  EXPECT_EQ(test::countCarrying(server.requests(), "/queued"), 1u);
}

TEST_F(LoopOnHandClock, TimersRunWhenTheClockReachesThemInTheOrderTheyWereSet) {
  std::vector<int> ran;  // touched by the loop's thread, read after advance() returned
  const auto start = time.now();
  loop.at(start + 100ms, [&ran] { ran.push_back(2); });
  loop.at(start + 50ms, [&ran] { ran.push_back(1); });
  loop.at(start + 100ms, [&ran] { ran.push_back(3); });
  advance(49ms);
  EXPECT_EQ(ran, std::vector<int>{});
  advance(1ms);
  EXPECT_EQ(ran, std::vector<int>{1});
  advance(49ms);
  EXPECT_EQ(ran, std::vector<int>{1});
  advance(1ms);
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

}  // namespace
}  // namespace velmora

// How an origin's width follows its service: one left to itself widens only when every exchange
// since its calls started waiting was slow (not while one was fast, not while none ends); one
// with a limit of its own takes it as calls need it; HTTP/2 widens one connection at a time.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/private/origin_queue.hpp"

namespace velmora::detail {
namespace {

using std::chrono::milliseconds;

// One origin's queues on a clock of the test's own.
struct Queues {
  explicit Queues(Protocol protocol, int limit = 0) : protocol(protocol), limit(limit) {}

  // Queues `count` requests and admits what the origin takes; returns how many it admitted.
  std::size_t submit(int count) {
    for (int i = 0; i < count; ++i) {
      Pending p;
      p.request.url = "https://slow.test/x";
      p.request.connectionsPerOrigin = limit;
      p.request.streamsPerOrigin = limit;
      p.originKey = originKeyOf(p.request);
      p.deadlineAt = now + std::chrono::hours(1);
      queues.add(std::move(p), now);
    }
    std::size_t first = 0;
    if (origin == nullptr) {  // the first request's handshake tells the protocol
      first = admitOne();
      queues.setProtocol(*origin, protocol, now);
    }
    return first + admitAll();
  }

  std::size_t admitAll() {
    std::size_t count = 0;
    while (admitOne()) ++count;
    return count;
  }

  bool admitOne() {
    Pending p;
    Origin* taken = queues.takeNext(p);
    if (taken == nullptr) return false;
    origin = taken;
    running.push_back(std::move(p));
    if (protocol == Protocol::Http1 && sendAtOnce) queues.started(*origin, running.back(), -1, now);
    return true;
  }

  // Ends the oldest `count` exchanges now, and admits what waits.
  void end(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      queues.release(*origin, running.front(), now);
      running.erase(running.begin());
    }
    admitAll();
  }

  // Sends every admitted request not yet sent on libcurl's connection `connection`.
  void sendOn(std::int64_t connection) {
    for (Pending& p : running) {
      if (p.sentAt == Clock::time_point()) queues.started(*origin, p, connection, now);
    }
  }

  // Lets `took` pass and ends every exchange under way.
  void answerAfter(milliseconds took) {
    now += took;
    end(running.size());
  }

  // Lets `step` pass and gives the origin its chance to widen; returns what it admitted.
  std::size_t pass(milliseconds step) {
    now += step;
    queues.widen(now);
    return admitAll();
  }

  Protocol protocol;
  int limit;
  bool sendAtOnce = true;  // HTTP/1.1 requests go out as they are admitted
  Clock::time_point now = Clock::now();
  OriginQueues queues;
  Origin* origin = nullptr;
  std::vector<Pending> running;
};

TEST(OriginWidening, Http1WidensToItsLimitOnceEveryAnswerIsSlow) {
  Queues q(Protocol::Http1);
  EXPECT_EQ(q.submit(1000), 16u);
  // Not before an answer came back, however long the calls wait.
  EXPECT_EQ(q.pass(milliseconds(100)), 0u);
  // Every answer took 120 ms: slow. To the whole limit at once.
  q.answerAfter(milliseconds(20));
  EXPECT_EQ(q.pass(milliseconds(0)), 240u);
  EXPECT_EQ(q.origin->capacity, 256u);
  EXPECT_EQ(q.queues.connectionsAllowed(), 256u);
}

TEST(OriginWidening, SlowMeansAHundredMillisecondsOrMore) {
  for (const int took : {99, 100}) {
    Queues q(Protocol::Http1);
    q.submit(1000);
    q.answerAfter(milliseconds(took));
    EXPECT_EQ(q.pass(milliseconds(0)), took >= 100 ? 240u : 0u) << took;
  }
}

TEST(OriginWidening, Http1KeepsItsWidthWhenOneAnswerIsFastOrNoneComes) {
  Queues busy(Protocol::Http1);
  busy.submit(1000);
  // A busy machine delays most answers, but one came back in 10 ms.
  busy.now += milliseconds(10);
  busy.end(1);
  for (int i = 0; i < 20; ++i) {
    busy.answerAfter(milliseconds(200));
    EXPECT_EQ(busy.pass(milliseconds(50)), 0u);
  }

  // A service that answers nothing for seconds is stalled, not slow.
  Queues stalled(Protocol::Http1);
  stalled.submit(1000);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(stalled.pass(milliseconds(50)), 0u);
  EXPECT_EQ(stalled.origin->capacity, 16u);
}

TEST(OriginWidening, AnExchangeCountsFromItsRequestNotFromItsHandshake) {
  Queues q(Protocol::Http1);
  q.sendAtOnce = false;
  q.submit(1000);
  // A busy machine takes 150 ms over the handshakes; the service then answers in 50 ms.
  q.now += milliseconds(150);
  q.sendOn(-1);
  q.now += milliseconds(50);
  q.end(16);
  q.sendOn(-1);
  EXPECT_EQ(q.pass(milliseconds(0)), 0u);
  EXPECT_EQ(q.origin->capacity, 16u);
}

TEST(OriginWidening, OnlyAnswersSinceTheCallsStartedWaitingCount) {
  Queues q(Protocol::Http1);
  q.submit(16);
  // Slow answers while nothing waited, long ago, say nothing of a burst that comes now.
  q.answerAfter(milliseconds(120));
  q.now += milliseconds(500);
  q.submit(100);
  EXPECT_EQ(q.pass(milliseconds(60)), 0u);
  // The burst's own answers are fast: the origin stays narrow.
  q.answerAfter(milliseconds(1));
  EXPECT_EQ(q.pass(milliseconds(60)), 0u);
  EXPECT_EQ(q.origin->capacity, 16u);
}

TEST(OriginWidening, AFixedLimitIsTakenAsCallsNeedIt) {
  Queues low(Protocol::Http1, 4);
  EXPECT_EQ(low.submit(100), 4u);
  EXPECT_EQ(low.pass(milliseconds(500)), 0u);

  Queues high(Protocol::Http1, 40);
  EXPECT_EQ(high.submit(30), 30u);
  EXPECT_EQ(high.submit(100), 10u);
}

TEST(OriginWidening, Http2OpensOneConnectionAtATime) {
  Queues q(Protocol::Http2);
  EXPECT_EQ(q.submit(1000), 100u);
  q.sendOn(1);
  q.answerAfter(milliseconds(120));
  q.sendOn(1);
  // Slow: one request beyond the full connection, to make libcurl open another.
  EXPECT_EQ(q.pass(milliseconds(0)), 1u);
  EXPECT_EQ(q.pass(milliseconds(50)), 0u);  // nothing more until it is in use

  // A second connection in use: its streams follow, then the next probe at once on the same
  // evidence, up to 256.
  q.sendOn(2);
  EXPECT_EQ(q.admitAll(), 99u);
  q.sendOn(2);
  EXPECT_EQ(q.pass(milliseconds(0)), 1u);
  q.sendOn(3);
  EXPECT_EQ(q.admitAll(), 55u);
  EXPECT_EQ(q.origin->capacity, 256u);
  EXPECT_EQ(q.queues.connectionsAllowed(), 3u);
}

TEST(OriginWidening, Http2CountsConnectionsNotWhichRequestProbed) {
  Queues q(Protocol::Http2, 300);
  q.submit(1000);
  q.sendOn(1);
  // A limit of its own: the probe goes out at once, no window needed.
  EXPECT_EQ(q.pass(milliseconds(0)), 1u);
  // A stream had just ended: libcurl puts the probe there, on a connection already counted.
  q.end(1);
  q.queues.started(*q.origin, q.running[q.running.size() - 2], 1, q.now);
  EXPECT_EQ(q.origin->capacity, 101u);
  // The request admitted in that stream's place opens the new connection.
  q.sendOn(2);
  EXPECT_EQ(q.origin->capacity, 200u);
  EXPECT_FALSE(q.origin->probing);
  // Every stream that ends leaves its connection's count.
  q.end(q.running.size());
  EXPECT_TRUE(q.origin->streamsOn.empty());
}

}  // namespace
}  // namespace velmora::detail

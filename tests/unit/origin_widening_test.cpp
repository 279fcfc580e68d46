// How an origin's width follows its service: one left to itself widens only while every
// exchange of a window is slow (not while some are fast, not while none ends); one with a limit
// of its own takes it as calls need it; HTTP/2 widens one connection at a time.

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
    Origin* taken = queues.takeNext(p, now);
    if (taken == nullptr) return false;
    origin = taken;
    running.push_back(std::move(p));
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
  Clock::time_point now = Clock::now();
  OriginQueues queues;
  Origin* origin = nullptr;
  std::vector<Pending> running;
};

TEST(OriginWidening, Http1WidensOnlyWhileEveryAnswerOfAWindowIsSlow) {
  Queues q(Protocol::Http1);
  EXPECT_EQ(q.submit(1000), 16u);

  // Answers after 120 ms: slow. Fourfold after a window of them, and again, up to 256.
  q.answerAfter(milliseconds(120));
  EXPECT_EQ(q.pass(milliseconds(50)), 48u);
  q.answerAfter(milliseconds(120));
  EXPECT_EQ(q.pass(milliseconds(50)), 192u);
  q.answerAfter(milliseconds(120));
  EXPECT_EQ(q.pass(milliseconds(50)), 0u);
  EXPECT_EQ(q.origin->capacity, 256u);
}

TEST(OriginWidening, Http1KeepsItsWidthWhenOneAnswerIsFastOrNoneComes) {
  Queues q(Protocol::Http1);
  q.submit(1000);
  // A busy machine delays most answers, but one in the window came back in 10 ms.
  q.now += milliseconds(10);
  q.end(1);
  q.now += milliseconds(190);
  q.end(15);
  EXPECT_EQ(q.pass(milliseconds(50)), 0u);

  // A service that answers nothing for seconds is stalled, not slow.
  for (int i = 0; i < 40; ++i) EXPECT_EQ(q.pass(milliseconds(50)), 0u);
  EXPECT_EQ(q.origin->capacity, 16u);
}

TEST(OriginWidening, TheWindowStartsWhenTheQueueFills) {
  Queues q(Protocol::Http1);
  q.submit(16);
  // Exchanges of 120 ms while nothing waited, long ago, say nothing of a burst that comes now.
  q.answerAfter(milliseconds(120));
  q.now += milliseconds(500);
  q.submit(100);
  EXPECT_EQ(q.pass(milliseconds(1)), 0u);
  // The burst's own answers are fast: the origin stays narrow.
  q.answerAfter(milliseconds(1));
  EXPECT_EQ(q.pass(milliseconds(120)), 0u);
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
  q.now += milliseconds(120);
  q.end(100);
  // Slow: one request beyond the full connection, to make libcurl open another.
  EXPECT_EQ(q.pass(milliseconds(50)), 1u);
  EXPECT_TRUE(q.running.back().opensConnection);
  EXPECT_EQ(q.pass(milliseconds(50)), 0u);  // nothing more until it is up

  // It went out on a connection of its own: that connection's streams follow, then the next
  // probe at once on the same evidence, up to 256.
  q.queues.probeStarted(*q.origin, true);
  EXPECT_EQ(q.admitAll(), 99u);
  EXPECT_EQ(q.pass(milliseconds(0)), 1u);
  q.queues.probeStarted(*q.origin, true);
  EXPECT_EQ(q.admitAll(), 55u);
  EXPECT_EQ(q.origin->capacity, 256u);
  EXPECT_EQ(q.queues.connectionsAllowed(), 3u);
}

TEST(OriginWidening, AnHttp2ProbeThatFoundRoomOrEndedEarlyOpensNothing) {
  Queues q(Protocol::Http2, 300);
  q.submit(1000);
  // A limit of its own: the probe goes out at once, no window needed.
  EXPECT_EQ(q.pass(milliseconds(0)), 1u);
  // libcurl put it on a connection with room: it keeps that place only.
  q.queues.probeStarted(*q.origin, false);
  EXPECT_EQ(q.origin->capacity, 101u);
  EXPECT_EQ(q.pass(milliseconds(0)), 1u);
  // This one failed before it was sent: its place goes too.
  q.queues.release(*q.origin, q.running.back(), q.now);
  EXPECT_EQ(q.origin->capacity, 101u);
  EXPECT_FALSE(q.origin->probing);
}

}  // namespace
}  // namespace velmora::detail

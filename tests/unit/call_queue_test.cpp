// A client's queue on a hand-moved clock: back-off within the deadline, the token bucket, the
// in-flight limit and the deadline of a waiting call, each to the millisecond and with no sleep.
// Everything runs on the test thread: the transport holds requests until the test answers them.

#include "call/call_queue.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <mutex>
#include <vector>

#include "velmora/testing.hpp"

namespace velmora::detail {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

// Time that moves only when the test says; timers run on the test thread as it passes them.
class ManualTime final : public CallTime {
 public:
  SteadyClock::time_point now() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
  }
  void at(SteadyClock::time_point when, std::function<void()> task) override {
    std::lock_guard<std::mutex> lock(mutex_);
    timers_.push_back({when, ++order_, std::move(task)});
  }
  /// Moves the clock on by `step`, running each timer at its own time, earliest first.
  void advance(SteadyClock::duration step) {
    const SteadyClock::time_point target = now() + step;
    for (;;) {
      std::unique_lock<std::mutex> lock(mutex_);
      auto next =
          std::min_element(timers_.begin(), timers_.end(), [](const auto& a, const auto& b) {
            return a.when != b.when ? a.when < b.when : a.order < b.order;
          });
      if (next == timers_.end() || next->when > target) break;
      now_ = std::max(now_, next->when);
      std::function<void()> task = std::move(next->task);
      timers_.erase(next);
      lock.unlock();
      task();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    now_ = target;
  }
  /// Milliseconds since the clock started.
  long elapsed() const { return static_cast<long>((now() - start_) / 1ms); }
  /// Drops the timers not yet due (they hold the queue that set them).
  void dropTimers() {
    std::lock_guard<std::mutex> lock(mutex_);
    timers_.clear();
  }

 private:
  struct Timer {
    SteadyClock::time_point when;
    unsigned long long order;
    std::function<void()> task;
  };
  const SteadyClock::time_point start_ = SteadyClock::time_point() + 1h;
  mutable std::mutex mutex_;
  SteadyClock::time_point now_ = start_;
  std::vector<Timer> timers_;
  unsigned long long order_ = 0;
};

// Holds requests and posted tasks until the test answers or runs them.
class HeldTransport final : public Transport {
 public:
  explicit HeldTransport(const ManualTime& time) : time_(time) {}
  struct Held {
    HttpRequest request;
    std::function<void(HttpResponse&)> onDone;
    long sentAt;  // ms on the manual clock
  };
  void submit(HttpRequest request, std::function<void(HttpResponse&)> onDone) override {
    held.push_back({std::move(request), std::move(onDone), time_.elapsed()});
    sentAt.push_back(time_.elapsed());
  }
  void post(std::function<void()> task) override { posted.push_back(std::move(task)); }
  bool onCompletionThread() const override { return false; }

  /// Answers the oldest held request with `response`.
  void answer(HttpResponse response) {
    Held oldest = std::move(held.front());
    held.pop_front();
    oldest.onDone(response);
  }
  void runPosted() {
    while (!posted.empty()) {
      auto task = std::move(posted.front());
      posted.pop_front();
      task();
    }
  }

  std::deque<Held> held;
  std::deque<std::function<void()>> posted;
  std::vector<long> sentAt;  // every request, in order

 private:
  const ManualTime& time_;
};

struct Fixture {
  explicit Fixture(CallLimits limits)
      : queue(std::make_shared<CallQueue>(transport, limits, Executor(), time)) {}
  // Requests never answered and timers never run hold the queue, which holds them.
  ~Fixture() {
    transport->held.clear();
    transport->posted.clear();
    time->dropTimers();
  }
  /// Submits a call with `deadline`; its answer lands in `ended`, its tries in `tries`.
  void call(milliseconds deadline, Repeat repeat = Repeat::IfNeverSent) {
    HttpRequest request;
    request.deadline = deadline;
    queue->submit(
        std::move(request), CallContext{},
        [this](HttpResponse& r, const CallContext& context) {
          ended.push_back(r);
          tries.push_back(context.attempts);
        },
        repeat);
  }
  std::shared_ptr<ManualTime> time = std::make_shared<ManualTime>();
  std::shared_ptr<HeldTransport> transport = std::make_shared<HeldTransport>(*time);
  std::shared_ptr<CallQueue> queue;
  std::vector<HttpResponse> ended;
  std::vector<int> tries;
};

CallLimits retrying(int attempts, milliseconds pause) {
  CallLimits limits;
  limits.retry.attempts = attempts;
  limits.retry.firstBackoff = pause;
  limits.retry.multiplier = 1;
  limits.retry.jitter = 0;
  return limits;
}

// Pauses of 100 ms within a 350 ms deadline: tries at 0, 100, 200 and 300 ms, none whose pause
// would end past the deadline, each handed exactly what is left of the deadline.
TEST(CallQueueTime, TriesAgainAfterEachPauseAndNeverPastTheDeadline) {
  Fixture f(retrying(10, 100ms));
  f.call(350ms);
  const HttpResponse refused = testing::failure(FailureKind::Connect, false, "refused");
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(f.transport->held.size(), 1u) << "try " << i + 1;
    EXPECT_EQ(f.transport->held.front().request.deadline, 350ms - i * 100ms);
    f.transport->answer(refused);
    f.time->advance(99ms);
    EXPECT_TRUE(f.transport->held.empty());  // still pausing
    f.time->advance(1ms);
  }
  EXPECT_EQ(f.transport->sentAt, (std::vector<long>{0, 100, 200, 300}));
  ASSERT_EQ(f.ended.size(), 1u);  // the fourth pause would have ended at 400 ms
  EXPECT_EQ(f.ended[0].kind, FailureKind::Connect);
  EXPECT_EQ(f.tries[0], 4);
  f.time->advance(1h);
  EXPECT_EQ(f.ended.size(), 1u);
  EXPECT_EQ(f.queue->drain(0ms), 0u);
}

// Five a second: one at once, then one every 200 ms. 500 a second: the bucket's ten tokens go
// at once after a quiet spell, then one every 2 ms.
TEST(CallQueueTime, PacingKeepsTheRateAndLetsTheBucketsBurstGo) {
  struct Case {
    double rate;
    std::vector<long> sentAt;  // of twelve calls made at once
  };
  const Case cases[] = {
      {5, {0, 200, 400, 600, 800, 1000, 1200, 1400, 1600, 1800, 2000, 2200}},
      {500, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 4}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    CallLimits limits;
    limits.maxRequestsPerSecond = c.rate;
    Fixture f(limits);
    for (int i = 0; i < 12; ++i) f.call(10s);
    for (int ms = 0; ms <= 2200; ++ms) f.time->advance(1ms);
    EXPECT_EQ(f.transport->sentAt, c.sentAt);
  }
}

// Two at once; a waiting call whose deadline passes ends then, nothing sent, through the
// transport's thread; the other goes the moment one ends, handed what is left of its deadline.
TEST(CallQueueTime, InFlightLimitHoldsCallsUntilOneEndsOrTheirDeadlinePasses) {
  CallLimits limits;
  limits.maxInFlight = 2;
  Fixture f(limits);
  f.call(10s);
  f.call(10s);
  f.call(10s);
  f.call(300ms);
  EXPECT_EQ(f.transport->held.size(), 2u);
  f.time->advance(299ms);
  EXPECT_TRUE(f.transport->posted.empty());
  f.time->advance(1ms);
  ASSERT_EQ(f.transport->posted.size(), 1u);
  EXPECT_TRUE(f.ended.empty());  // never inside the timer: only once the transport runs it
  f.transport->runPosted();
  ASSERT_EQ(f.ended.size(), 1u);
  EXPECT_EQ(f.ended[0].kind, FailureKind::Deadline);
  EXPECT_FALSE(f.ended[0].requestMayHaveArrived);
  EXPECT_EQ(f.tries[0], 0);
  f.time->advance(100ms);
  f.transport->answer(testing::reply(200, "{}"));
  ASSERT_EQ(f.transport->held.size(), 2u);
  EXPECT_EQ(f.transport->held.back().request.deadline, 10s - 400ms);
  EXPECT_EQ(f.transport->sentAt, (std::vector<long>{0, 0, 400}));
  EXPECT_EQ(f.queue->drain(0ms), 2u);
}

// A client with an executor gets every completion through it, the answer and the refusal alike;
// each counts for drain until its task has run, and drain inside one does not wait.
TEST(CallQueueExecutor, EveryCompletionGoesThroughItAndCountsUntilRun) {
  auto time = std::make_shared<ManualTime>();
  auto transport = std::make_shared<HeldTransport>(*time);
  std::vector<std::function<void()>> tasks;
  auto queue = std::make_shared<CallQueue>(
      transport, CallLimits{}, [&](std::function<void()> task) { tasks.push_back(task); }, time);
  std::vector<std::string> ran;
  queue->submit(HttpRequest(), CallContext{},
                [&](HttpResponse&, const CallContext&) { ran.push_back("answer"); });
  queue->post([&] {
    ran.push_back("refusal");
    EXPECT_EQ(queue->drain(10s), 1u);  // returns at once, counting itself
  });
  transport->answer(testing::reply(200, "{}"));
  transport->runPosted();
  EXPECT_TRUE(ran.empty());
  ASSERT_EQ(tasks.size(), 2u);
  EXPECT_EQ(queue->drain(0ms), 2u);
  for (auto& task : tasks) task();
  EXPECT_EQ(ran, (std::vector<std::string>{"answer", "refusal"}));
  EXPECT_EQ(queue->drain(0ms), 0u);
}

}  // namespace
}  // namespace velmora::detail

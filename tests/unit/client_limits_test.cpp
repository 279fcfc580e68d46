// A client's own limits on the scripted transport: which failures are tried again, refused
// limits, and drain. Their timing (pauses, pacing, in-flight, deadlines) is tested on a
// hand-moved clock in call_queue_test.cpp.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include "support/lines.hpp"
#include "support/through.hpp"
#include "velmora/future.hpp"
#include "velmora/testing.hpp"
#include "velmora/velmora.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using test::through;

Options retrying(std::shared_ptr<Transport> transport, int attempts) {
  Options o = through(std::move(transport));
  o.retry.attempts = attempts;
  o.retry.firstBackoff = 1ms;
  return o;
}

Outcome<std::shared_ptr<Result>> credit(Velmora& client) {
  return toOutcomeFuture<std::shared_ptr<Result>>(
             [&](ResultCompletion done) { client.GetCredit(std::move(done)); })
      .get();
}

// Holds every request until the test answers it; completions run on a scripted transport's
// thread, as the real session runs them on its own.
class GatedTransport final : public Transport {
 public:
  void submit(HttpRequest request, std::function<void(HttpResponse&)> onDone) override {
    std::lock_guard<std::mutex> lock(mutex_);
    held_.push_back({std::move(request), std::move(onDone)});
    ++received_;
    arrived_.notify_all();
  }
  void post(std::function<void()> task) override { runner_->post(std::move(task)); }
  bool onCompletionThread() const override { return runner_->onCompletionThread(); }

  /// Waits until `count` requests arrived in all; false after two seconds.
  bool waitForRequests(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, 2s, [&] { return received_ >= count; });
  }
  /// Answers the oldest held request with a success; returns its request.
  HttpRequest answerOldest() {
    std::unique_lock<std::mutex> lock(mutex_);
    Held held = std::move(held_.front());
    held_.pop_front();
    lock.unlock();
    runner_->post([onDone = std::move(held.onDone)] {
      HttpResponse ok = testing::reply(200, R"({"Code":0})");
      onDone(ok);
    });
    return held.request;
  }
  std::size_t held() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_.size();
  }
  std::size_t received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

 private:
  struct Held {
    HttpRequest request;
    std::function<void(HttpResponse&)> onDone;
  };
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<Held> held_;
  std::size_t received_ = 0;
  std::shared_ptr<testing::ScriptedTransport> runner_ =
      std::make_shared<testing::ScriptedTransport>();
};

// --- Retries ---------------------------------------------------------------------------------

// A send goes again only when it provably never left; a read, when the policy asks, after any
// failure that is not final, since repeating it cannot deliver anything.
TEST(ClientRetry, SendsGoAgainOnlyWhenNothingLeftReadsWhenNothingIsFinal) {
  struct Case {
    const char* name;
    HttpResponse response;
    std::size_t sends;  // what the transport saw of a send with three tries allowed
    std::size_t reads;  // the same for a read, with `reads` set
  };
  // Time-outs, lost exchanges and statuses are tried at a real server (ClientRetryAtServer);
  // these are the edges a server cannot stage.
  const Case cases[] = {
      {"connection refused", testing::failure(FailureKind::Connect, false, "refused"), 3, 3},
      {"connected, then lost", testing::failure(FailureKind::Connect, true, "lost"), 1, 3},
      {"timed out", testing::failure(FailureKind::Timeout, true, "slow"), 1, 3},
      {"service unavailable", testing::reply(503, ""), 1, 3},
      {"too many requests", testing::reply(429, ""), 1, 3},
      {"bad request", testing::reply(400, ""), 1, 1},
      {"refused by the service", testing::reply(200, R"({"Code":2002})"), 1, 1},
      {"deadline before sending", testing::failure(FailureKind::Deadline, false, "late"), 1, 1},
      {"shutting down", testing::failure(FailureKind::Shutdown, false, "exit"), 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto transport = std::make_shared<testing::ScriptedTransport>();
    transport->answerAll(c.response);
    Options o = retrying(transport, 3);
    o.retry.reads = true;
    Velmora client("user", "secret", o);
    const Outcome<Credit> read = toFuture(client, &Velmora::credit).get();
    EXPECT_EQ(transport->requests().size(), c.reads);
    ASSERT_TRUE(read.failure);
    EXPECT_EQ(read.failure->attempts, static_cast<int>(c.reads));
    const Outcome<SendReceipt> sent =
        toFuture(client, &Velmora::send, SendRequest{"3000", "hi", {"0912"}}).get();
    EXPECT_EQ(transport->requests().size(), c.reads + c.sends);
    ASSERT_TRUE(sent.failure);
    EXPECT_EQ(sent.failure->attempts, static_cast<int>(c.sends));
  }
}

// Without `reads`, a read is held to the rule of a send.
TEST(ClientRetry, ReadsAreTriedAgainOnlyWhenThePolicyAsks) {
  auto transport = std::make_shared<testing::ScriptedTransport>();
  transport->answerAll(testing::failure(FailureKind::Timeout, true, "slow"));
  Velmora client("user", "secret", retrying(transport, 3));
  EXPECT_EQ(credit(client).failure->attempts, 1);
  EXPECT_EQ(transport->requests().size(), 1u);
}

// Refuses the first two connections, then answers every request with `body`.
class RefusingTwiceTransport final : public Transport {
 public:
  explicit RefusingTwiceTransport(std::string body) : body_(std::move(body)) {}
  void submit(HttpRequest, std::function<void(HttpResponse&)> onDone) override {
    HttpResponse response = ++tries_ <= 2 ? testing::failure(FailureKind::Connect, false, "refused")
                                          : testing::reply(200, body_);
    runner_->post([onDone = std::move(onDone), response]() mutable { onDone(response); });
  }
  void post(std::function<void()> task) override { runner_->post(std::move(task)); }
  bool onCompletionThread() const override { return runner_->onCompletionThread(); }

 private:
  std::string body_;
  std::atomic<int> tries_{0};
  std::shared_ptr<testing::ScriptedTransport> runner_ =
      std::make_shared<testing::ScriptedTransport>();
};

// An answer that cannot be read still came after every try made: both kinds of call say so.
TEST(ClientRetry, AnUnreadableAnswerCountsEveryTry) {
  const std::string unreadable = "<not json nor xml";
  Velmora rest("user", "secret", retrying(std::make_shared<RefusingTwiceTransport>(unreadable), 3));
  const auto json = credit(rest);
  Velmora soap("user", "secret", retrying(std::make_shared<RefusingTwiceTransport>(unreadable), 3));
  const auto xml = toOutcomeFuture<std::optional<bool>>([&](TruthCompletion done) {
                     soap.CheckSendCode("09120000000", "1234", std::move(done));
                   }).get();
  for (const auto* failure : {&json.failure, &xml.failure}) {
    ASSERT_TRUE(*failure);
    EXPECT_EQ((*failure)->kind, FailureKind::MalformedAnswer);
    EXPECT_EQ((*failure)->attempts, 3);
  }
}

TEST(ClientRetry, LimitsOutOfRulesSendNothing) {
  const std::pair<const char*, void (*)(Options&)> cases[] = {
      {"retry.attempts must be 1 to 10", [](Options& o) { o.retry.attempts = 11; }},
      {"retry.attempts must be 1 to 10", [](Options& o) { o.retry.attempts = 0; }},
      {"retry.firstBackoff", [](Options& o) { o.retry.firstBackoff = -1ms; }},
      {"retry.multiplier", [](Options& o) { o.retry.multiplier = 0.5; }},
      {"retry.jitter", [](Options& o) { o.retry.jitter = 1.5; }},
      {"maxRequestsPerSecond", [](Options& o) { o.maxRequestsPerSecond = -1; }},
      {"maxInFlight", [](Options& o) { o.maxInFlight = -1; }},
      {"maxConnectionsPerOrigin must be 0 (automatic) to 1024",
       [](Options& o) { o.maxConnectionsPerOrigin = -1; }},
      {"maxConnectionsPerOrigin", [](Options& o) { o.maxConnectionsPerOrigin = 1025; }},
      {"maxStreamsPerOrigin must be 0 (automatic) to 1024",
       [](Options& o) { o.maxStreamsPerOrigin = 1025; }},
  };
  for (const auto& [line, spoil] : cases) {
    SCOPED_TRACE(line);
    auto transport = std::make_shared<testing::ScriptedTransport>();
    test::Diagnostics printed;
    Options o = through(transport);
    o.diagnostics = printed.sink();
    spoil(o);
    Velmora client("user", "secret", o);
    const auto outcome = credit(client);
    ASSERT_TRUE(outcome.failure);
    EXPECT_EQ(outcome.failure->kind, FailureKind::RefusedInput);
    EXPECT_NE(outcome.failure->message.find(line), std::string::npos) << outcome.failure->message;
    EXPECT_TRUE(transport->requests().empty());
  }
}

// --- Drain ----------------------------------------------------------------

TEST(ClientDrain, WaitsForEveryCompletionRefusedOnesIncluded) {
  auto transport = std::make_shared<GatedTransport>();
  Velmora client("user", "secret", through(transport));
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> done{0};
  for (int i = 0; i < 3; ++i) client.GetPrices([&](std::shared_ptr<Result>) { ++done; });
  // A refusal is queued behind a completion that blocks until the test lets it go.
  client.SendMessage("3000", "\xff", {"0912"}, "", 0, [&](std::shared_ptr<Result>) {
    released.wait();
    ++done;
  });
  ASSERT_TRUE(transport->waitForRequests(3));
  EXPECT_EQ(client.drain(50ms), 4u);
  release.set_value();
  EXPECT_EQ(client.drain(50ms), 3u);
  for (int i = 0; i < 3; ++i) transport->answerOldest();
  EXPECT_EQ(client.drain(2s), 0u);
  EXPECT_EQ(done.load(), 4);  // every completion had returned
}

TEST(ClientDrain, InsideACompletionReturnsAtOnceCountingItsOwnCall) {
  auto transport = std::make_shared<testing::ScriptedTransport>();
  Velmora client("user", "secret", through(transport));
  std::promise<std::size_t> seen;
  client.GetPrices([&](std::shared_ptr<Result>) {
    client.GetCredit({});  // queued behind this completion: it cannot have run yet
    seen.set_value(client.drain(10s));
  });
  auto future = seen.get_future();
  ASSERT_EQ(future.wait_for(2s), std::future_status::ready);
  EXPECT_EQ(future.get(), 2u);
  EXPECT_EQ(client.drain(2s), 0u);
}

}  // namespace
}  // namespace velmora

#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <queue>
#include <vector>

#include "call/call_context.hpp"
#include "call/call_time.hpp"
#include "velmora/options.hpp"
#include "velmora/transport.hpp"

namespace velmora::detail {

/// Which failed tries a call may repeat.
enum class Repeat {
  IfNeverSent,  ///< only a try whose request provably never left (a send)
  IfTransient,  ///< also one that may have arrived, when the policy allows (a read)
};

/// What a client allows its own calls: retries, a rate, and how many at once.
struct CallLimits {
  RetryPolicy retry;
  double maxRequestsPerSecond = 0;  ///< 0: no limit
  int maxInFlight = 0;              ///< 0: no limit
};

/// One client's way to its transport: counts its calls for `drain`, holds calls over the rate or
/// over the in-flight limit, tries again what never left, and hands completions to the client's
/// executor. It never runs a completion inside a call: one that ends here (its deadline passed
/// while it waited) ends through the transport's `post`, or, with an executor, a timer due at
/// once. Without an executor every completion runs on the transport's completion thread; with
/// one, the session hands answers over on its I/O thread. Outlives the client while any of its
/// calls waits or runs.
class CallQueue final : public std::enable_shared_from_this<CallQueue> {
 public:
  /// `fixed`: the transport of every call; null: the shared session, looked up per call so that
  /// a child made by fork() uses its own. `executor`: where completions run; empty: the
  /// transport's completion thread. `time`: the clock and timers of pacing and back-off.
  CallQueue(std::shared_ptr<Transport> fixed, CallLimits limits, Executor executor = {},
            std::shared_ptr<CallTime> time = realTime());

  /// What a call's completion gets: the exchange's end, and the call with its tries counted.
  using Done = std::function<void(HttpResponse&, const CallContext&)>;

  /// Sends `request` (now, or when the limits allow) for the call `context`, repeating failed
  /// tries as `repeat` allows, and runs `onDone` once, after the last try. The call's deadline
  /// runs from here.
  void submit(HttpRequest request, CallContext context, Done onDone,
              Repeat repeat = Repeat::IfNeverSent);
  /// Runs `task` as one of this client's completions, soon and never inside this call; it counts
  /// as a call until it returned.
  void post(std::function<void()> task);

  /// Waits until no call of this queue runs or `timeout` passed; returns how many still run.
  /// Inside a completion (of any client) or on the transport's completion thread it does not
  /// wait (see `Velmora::drain`).
  std::size_t drain(std::chrono::milliseconds timeout);

 private:
  struct Call;
  struct Sooner {
    bool operator()(const std::shared_ptr<Call>& a, const std::shared_ptr<Call>& b) const;
  };
  using Batch = std::vector<std::shared_ptr<Call>>;

  std::shared_ptr<Transport> downstream() const;
  /// Hands `request` to the transport, its answer delivered where the executor wants it.
  void transmit(HttpRequest request, std::function<void(HttpResponse&)> onDone);
  /// Runs `step` soon, never inside the calling function: on the transport's completion thread,
  /// or, with an executor, where answers are handed to it.
  void later(std::function<void()> step);
  void admit(std::shared_ptr<Call> call);
  void send(const std::shared_ptr<Call>& call);
  /// A paced call's exchange ended (or never started): room for the next one.
  void leaveFlight();
  void onExchangeEnd(const std::shared_ptr<Call>& call, HttpResponse& response);
  bool retryLater(const std::shared_ptr<Call>& call, const HttpResponse& response);
  void complete(const std::shared_ptr<Call>& call, HttpResponse& response);

  void expire(const std::shared_ptr<Call>& call);
  /// Under `mutex_`: takes from `waiting_` what may go now and what has expired.
  void release(SteadyClock::time_point now, Batch& ready, Batch& expired);
  void arm(SteadyClock::time_point when);
  void onTimer(SteadyClock::time_point when);
  void pumpAndDispatch();
  void dispatch(const Batch& ready, const Batch& expired);

  const std::shared_ptr<Transport> fixed_;
  const CallLimits limits_;
  const Executor executor_;
  const std::shared_ptr<CallTime> time_;
  const bool paced_;                       // a rate or an in-flight limit is set
  const SteadyClock::duration interval_;   // between two requests at the set rate; 0: no rate
  const SteadyClock::duration tolerance_;  // how far ahead of the rate the bucket lets a burst go

  /// The calls that have not completed yet, and the waits for none. Apart from the queue, so
  /// that a call that only counts (no limit set) keeps no transport alive: a transport dropped
  /// by its last owner still runs what it holds at once.
  struct Count {
    std::atomic<std::size_t> running{0};
    std::atomic<int> draining{0};
    std::mutex mutex;
    std::condition_variable idle;
    void finished();
  };
  const std::shared_ptr<Count> count_ = std::make_shared<Count>();

  std::mutex mutex_;
  std::priority_queue<std::shared_ptr<Call>, Batch, Sooner> waiting_;
  int inFlight_ = 0;
  SteadyClock::time_point nextSlot_{};  // when the next request conforms to the rate
  std::optional<SteadyClock::time_point> armed_;
  unsigned long long order_ = 0;
};

}  // namespace velmora::detail

#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace velmora::detail {

/// The clock of every pause and deadline the calls keep themselves.
using SteadyClock = std::chrono::steady_clock;

/// Where a client's queue reads the time and sets its timers (pacing, back-off, deadlines of
/// waiting calls). The real one is the steady clock with timers on the session's I/O thread;
/// tests put a hand-moved clock in its place.
class CallTime {
 public:
  virtual ~CallTime() = default;
  /// The current time. Any thread.
  virtual SteadyClock::time_point now() const = 0;
  /// Runs `task` at `when` or soon after, never inside this call. Tasks are short: they only
  /// hand requests on. Any thread.
  virtual void at(SteadyClock::time_point when, std::function<void()> task) = 0;
};

/// The steady clock, with timers run by the libcurl session's I/O thread (started on first use;
/// a child made by fork() gets its own, and the parent's pending timers are not carried over).
std::shared_ptr<CallTime> realTime();

}  // namespace velmora::detail
